#include "spice/param_order.h"

#include <algorithm>
#include <span>
#include <unordered_map>

#include "common/format.h"
#include "common/text.h"

namespace morva::spice::param_order {
namespace {

bool word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

template <class F>
void for_each_word(std::string_view text, F&& on) {
    for (std::size_t i = 0; i < text.size();) {
        if (!word_char(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && word_char(text[i])) ++i;
        on(text.substr(start, i - start));
    }
}

// Lists of definitions by definition, in one array.
struct Lists {
    std::vector<std::size_t> start{0}, items;
    std::span<const std::size_t> of(std::size_t k) const {
        return {items.data() + start[k], items.data() + start[k + 1]};
    }
};

// ngspice's walk of the references (inp_get_param_level) in a scope without
// a cycle: every definition in file order, each one's references in the order
// of the definitions they name, a counter raised at every step and cleared
// when a definition's level is settled; past kMaxDependencyDepth it stops.
// Without a cycle a definition is entered once, so the walk is linear.
std::optional<std::size_t> walk_too_deep(const Lists& uses) {
    const std::size_t n = uses.start.size() - 1;
    std::vector<bool> settled(n, false);
    struct Frame {
        std::size_t node, next;
    };
    std::vector<Frame> stack;
    std::size_t counter = 0;
    for (std::size_t root = 0; root < n; ++root) {
        if (++counter > kMaxDependencyDepth) return root;
        if (settled[root]) continue;
        stack.push_back({root, 0});
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < uses.of(top.node).size()) {
                const std::size_t used = uses.of(top.node)[top.next++];
                if (++counter > kMaxDependencyDepth) return used;
                if (!settled[used]) stack.push_back({used, 0});
                continue;
            }
            settled[top.node] = true;
            counter = 0;
            stack.pop_back();
        }
    }
    return std::nullopt;
}

}  // namespace

Order order_definitions(const std::vector<Definition>& definitions) {
    const std::size_t n = definitions.size();
    std::unordered_map<std::string_view, std::size_t> last;
    last.reserve(n);
    for (std::size_t i = 0; i < n; ++i) last.insert_or_assign(definitions[i].name, i);
    std::vector<bool> survives(n, false);
    for (const auto& [name, i] : last) survives[i] = true;

    // What each definition names: the last definitions of those names, its
    // own excepted, in their order (ngspice lists them so).
    Lists uses;
    uses.start.reserve(n + 1);
    std::string lower;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t first = uses.items.size();
        for_each_word(definitions[j].text, [&](std::string_view word) {
            // Numbers and their exponents name nothing.
            if (word[0] >= '0' && word[0] <= '9') return;
            lower = ascii_lower(word);
            const auto it = last.find(lower);
            if (it != last.end() && it->second != j) uses.items.push_back(it->second);
        });
        const auto from = uses.items.begin() + static_cast<std::ptrdiff_t>(first);
        std::sort(from, uses.items.end());
        uses.items.erase(std::unique(from, uses.items.end()), uses.items.end());
        uses.start.push_back(uses.items.size());
    }

    // Levels: 0 for a definition naming none, else one above the highest of
    // those it names; settled from the definitions naming none onwards.
    Lists users;
    users.start.assign(n + 1, 0);
    for (const std::size_t i : uses.items) ++users.start[i + 1];
    for (std::size_t k = 1; k <= n; ++k) users.start[k] += users.start[k - 1];
    users.items.resize(uses.items.size());
    std::vector<std::size_t> fill(users.start.begin(), users.start.end() - 1);
    std::vector<std::size_t> waiting(n), level(n, 0), ready;
    for (std::size_t j = 0; j < n; ++j) {
        for (const std::size_t i : uses.of(j)) users.items[fill[i]++] = j;
        waiting[j] = uses.of(j).size();
        if (waiting[j] == 0) ready.push_back(j);
    }
    std::vector<bool> settled(n, false);
    std::size_t settled_count = 0;
    while (!ready.empty()) {
        const std::size_t i = ready.back();
        ready.pop_back();
        settled[i] = true;
        ++settled_count;
        for (const std::size_t user : users.of(i)) {
            level[user] = std::max(level[user], level[i] + 1);
            if (--waiting[user] == 0) ready.push_back(user);
        }
    }

    Order order;
    if (settled_count < n) {
        // Every definition left names one left too: follow those from the
        // first until one comes round again.
        std::size_t at = 0;
        while (settled[at]) ++at;
        std::vector<std::size_t> seen_at(n, n), path;
        while (seen_at[at] == n) {
            seen_at[at] = path.size();
            path.push_back(at);
            for (const std::size_t i : uses.of(at))
                if (!settled[i]) {
                    at = i;
                    break;
                }
        }
        order.cycle.assign(path.begin() + static_cast<std::ptrdiff_t>(seen_at[at]), path.end());
    } else {
        order.too_deep = walk_too_deep(uses);
    }

    // By level, file order within one (a counting sort: levels reach n).
    std::vector<std::size_t> count(n + 1, 0);
    for (std::size_t j = 0; j < n; ++j)
        if (settled[j] && survives[j]) ++count[level[j] + 1];
    for (std::size_t k = 1; k <= n; ++k) count[k] += count[k - 1];
    order.sequence.resize(count[n]);
    for (std::size_t j = 0; j < n; ++j)
        if (settled[j] && survives[j]) order.sequence[count[level[j]]++] = j;
    return order;
}

std::optional<std::string> refusal_message(const std::vector<Definition>& definitions, const Order& order,
                                           std::string_view where) {
    constexpr std::string_view kNgspice =
        "ngspice stops with \"A level depth greater 1000 for dependent parameters is not supported\"";
    const auto line = [&](std::size_t k) {
        return fmt::cat(".param ", definitions[k].name, " = ", definitions[k].text);
    };
    if (!order.cycle.empty()) {
        std::string chain;
        for (const std::size_t k : order.cycle) chain += fmt::cat(definitions[k].name, " -> ");
        chain += definitions[order.cycle.front()].name;
        return fmt::cat("circular parameter dependency in ", where, ": ", chain, " (",
                        line(order.cycle.front()), "); ", kNgspice);
    }
    if (order.too_deep)
        return fmt::cat("parameter dependencies in ", where, " nested deeper than ", kMaxDependencyDepth,
                        " at ", line(*order.too_deep), "; ", kNgspice);
    return std::nullopt;
}

}  // namespace morva::spice::param_order
