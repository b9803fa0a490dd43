#include "pdk/flatten.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "bsim4/spice_expr.h"
#include "common/format.h"
#include "common/io.h"
#include "common/text.h"

namespace morva::pdk {

using bsim4::spice_expr::first_word;
using bsim4::spice_expr::split_whitespace;
using bsim4::spice_expr::trim;
using bsim4::spice_expr::trim_start;
using bsim4::spice_expr::whitespace_at;
using bsim4::spice_expr::whitespace_before;

namespace {

// Redirects nested deeper than this count as a cycle, whatever their files.
constexpr std::size_t kMaxNesting = 256;
// A few lines that redirect to the same section twice, level after level,
// would otherwise grow the text exponentially.
constexpr std::size_t kMaxFlattenedBytes = std::size_t{1} << 30;

IoError io_message(std::string message) { return IoError::from_message(std::move(message)); }

std::string canonical_or_same(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

// The lines of a text: split at "\n", a "\r" before it removed; no empty
// line after a final "\n".
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end + 1;
        if (end == std::string_view::npos) end = next = text.size();
        std::string_view line = text.substr(start, end - start);
        if (end < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = next;
    }
    return lines;
}

struct LibFile {
    std::string text;
    std::vector<std::string_view> lines;
};

// One flattening: the chain of sections under way, and each file read once
// (a kit redirects into the same few files many times).
class Flattener {
public:
    explicit Flattener(ExpansionChain& chain) : chain_(chain) {}

    Result<void, Error> expand_into(const std::string& path, const std::string& section, std::string& out);

private:
    ExpansionChain& chain_;
    std::map<std::string, LibFile> files_;

    Result<const LibFile*, Error> file(const std::string& path, const std::string& canonical);
    Result<void, Error> expand_lines(const std::string& path, const std::string& section,
                                     const std::vector<std::string_view>& lines, std::string& out);
};

Result<const LibFile*, Error> Flattener::file(const std::string& path, const std::string& canonical) {
    if (auto it = files_.find(canonical); it != files_.end()) return &it->second;
    auto bytes = read_file(path);
    if (!bytes)
        return err(io_message(fmt::cat("reading PDK file ", utf8_lossy(path), ": ", bytes.error().text())));
    LibFile& f = files_[canonical];
    f.text = utf8_lossy(*bytes);
    f.lines = split_lines(f.text);
    return &f;
}

Result<void, Error> Flattener::expand_into(const std::string& path, const std::string& section,
                                           std::string& out) {
    const std::pair<std::string, std::string> key{canonical_or_same(path), ascii_lower(section)};
    if (chain_.size() >= kMaxNesting || !chain_.insert(key).second) {
        return err(io_message(fmt::cat("cycle detected while flattening PDK: revisited section '", section,
                                       "' in ", utf8_lossy(path))));
    }
    struct Unchain {
        ExpansionChain& chain;
        const std::pair<std::string, std::string>& key;
        ~Unchain() { chain.erase(key); }
    } unchain{chain_, key};

    MORVA_ASSIGN(const LibFile* lib, file(path, key.first));
    const std::string_view target = trim(key.second);

    // Only headers and ends naming the target count; other sections inside
    // it are copied as they stand.
    std::vector<std::string_view> body;
    bool inside = false, found = false;
    int depth = 0;
    for (std::string_view line : lib->lines) {
        const std::string_view t = trim_start(line);
        if (!t.empty() && t.front() == '.') {
            const auto lib = directive_arg(t, ".lib");
            if (lib && ascii_iequals(*lib, target) && !is_redirect(t)) {
                if (inside) ++depth;
                inside = found = true;
                continue;
            }
            const auto endl = directive_arg(t, ".endl");
            if (endl && ascii_iequals(*endl, target)) {
                if (depth > 0) {
                    --depth;
                } else if (inside) {
                    break;
                }
                continue;
            }
        }
        if (inside) body.push_back(line);
    }
    if (!found)
        return err(io_message(fmt::cat("section '.LIB ", section, "' not found in ", utf8_lossy(path))));
    return expand_lines(path, section, body, out);
}

Result<void, Error> Flattener::expand_lines(const std::string& path, const std::string& section,
                                            const std::vector<std::string_view>& lines, std::string& out) {
    std::filesystem::path base = std::filesystem::path(path).parent_path();
    if (base.empty()) base = ".";
    const auto too_large = [&] {
        return io_message(fmt::cat("flattened PDK text exceeds ", kMaxFlattenedBytes,
                                   " bytes while expanding section '", section, "' in ", utf8_lossy(path)));
    };

    for (std::string_view line : lines) {
        const std::string_view t = trim_start(line);
        std::string_view file_word, section_word;
        if (ascii_istarts_with(t, ".lib") && is_redirect(t)) {
            const std::string_view rest = trim_start(t.substr(4));
            std::string_view after;
            if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'')) {
                const std::size_t close = rest.find(rest.front(), 1);
                if (close != std::string_view::npos) {
                    file_word = rest.substr(1, close - 1);
                    after = rest.substr(close + 1);
                }
            } else {
                std::size_t end = 0;
                while (end < rest.size() && whitespace_at(rest, end) == 0) ++end;
                if (end < rest.size()) {
                    file_word = rest.substr(0, end);
                    after = rest.substr(end);
                }
            }
            if (!after.empty()) section_word = first_word(after);
        }
        if (section_word.empty()) {
            out.append(line);
            out.push_back('\n');
        } else {
            const std::filesystem::path file_path(file_word);
            const std::string nested =
                file_path.is_absolute() ? std::string(file_word) : (base / file_path).string();
            out.append(fmt::cat("* >>> nested .lib '", file_word, "' ", section_word, " (expanded)\n"));
            const std::size_t mark = out.size();
            MORVA_TRY(expand_into(nested, std::string(section_word), out));
            while (std::size_t n = whitespace_before(std::string_view(out).substr(mark), out.size() - mark))
                out.resize(out.size() - n);
            out.append(fmt::cat("\n* <<< end ", section_word, "\n"));
        }
        if (out.size() > kMaxFlattenedBytes) return err(too_large());
    }
    return {};
}

}  // namespace

bool is_redirect(std::string_view line) {
    return line.find_first_of("'\"") != std::string_view::npos || split_whitespace(line).size() > 2;
}

std::optional<std::string> directive_arg(std::string_view line, std::string_view keyword) {
    if (!ascii_istarts_with(line, keyword)) return std::nullopt;
    const std::string_view rest = line.substr(keyword.size());
    if (!rest.empty() && whitespace_at(rest, 0) == 0) return std::nullopt;
    std::string_view word = first_word(rest);
    if (word.empty()) return std::nullopt;
    while (!word.empty() && (word.front() == '\'' || word.front() == '"')) word.remove_prefix(1);
    while (!word.empty() && (word.back() == '\'' || word.back() == '"')) word.remove_suffix(1);
    return std::string(word);
}

Result<std::string, Error> expand_section(const std::string& path, const std::string& section,
                                          ExpansionChain& chain) {
    std::string out;
    Flattener flattener(chain);
    MORVA_TRY(flattener.expand_into(path, section, out));
    return out;
}

Result<std::string, Error> flatten_pdk(const std::string& path, const std::string& corner) {
    std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(path.c_str(), nullptr), &std::free);
    if (!canonical) return err(IoError::from_errno(errno));
    std::string out =
        fmt::cat("* morva.flatten_pdk(", utf8_lossy(path), ", ", corner, ") \xE2\x80\x94 auto-flattened\n");
    ExpansionChain chain;
    Flattener flattener(chain);
    MORVA_TRY(flattener.expand_into(canonical.get(), corner, out));
    return out;
}

}  // namespace morva::pdk
