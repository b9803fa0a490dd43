#include "spice/kit_chain.h"

#include "common/format.h"
#include "common/text.h"

namespace morva::spice {
namespace {

constexpr std::string_view kCycleDetected = "cycle detected while ";

}  // namespace

std::string kit_place(const std::optional<std::string>& section, std::string_view path) {
    return section ? fmt::cat("section '", *section, "' in ", utf8_lossy(path))
                   : fmt::cat("file ", utf8_lossy(path));
}

Result<void, std::string> KitChain::enter(const std::string& key, const std::optional<std::string>& section,
                                          std::string_view path) {
    Key entry{key, section ? std::optional(ascii_lower(*section)) : std::nullopt};
    if (!followed_.insert(entry).second)
        return err(fmt::cat(kCycleDetected, activity_, ": revisited ", kit_place(section, path)));
    stack_.push_back(std::move(entry));
    return {};
}

void KitChain::leave() {
    if (stack_.empty()) return;
    followed_.erase(stack_.back());
    stack_.pop_back();
}

}  // namespace morva::spice
