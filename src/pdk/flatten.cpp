#include "pdk/flatten.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>
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
// Lines that redirect to the same section twice, level after level, grow the
// text exponentially; no real corner comes near this size.
constexpr std::size_t kMaxFlattenedBytes = std::size_t{256} << 20;

// Expansions up to this size are kept for reuse; larger ones are rebuilt
// (from their kept parts) when reached again.
constexpr std::size_t kMaxRememberedBytes = std::size_t{16} << 20;

IoError io_message(std::string message) { return IoError::from_message(std::move(message)); }

IoError too_large(const std::string& section, const std::string& path) {
    return io_message(fmt::cat("flattened PDK text exceeds ", kMaxFlattenedBytes, " bytes at section '",
                               section, "' in ", utf8_lossy(path)));
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

// A ".lib name" header (not a redirect) or an ".endl name" line.
struct Directive {
    std::size_t line;
    bool is_end;
};

struct LibFile {
    std::string text;
    std::vector<std::string_view> lines;
    // Headers and ends by lower-case section name, in file order.
    std::unordered_map<std::string, std::vector<Directive>> directives;
};

struct Expansion {
    std::string text;    // before the caller trims its end
    std::size_t height;  // deepest nesting of redirects below it
};

// One flattening. Each file is read and indexed once, and each section is
// expanded once: a section reached again reuses its text, which depends only
// on the files (a success cannot turn into a cycle in another place).
class Flattener {
public:
    explicit Flattener(ExpansionChain& chain) : chain_(chain) {}

    // Appends the expansion to `out`; returns its nesting height.
    Result<std::size_t, Error> expand_into(const std::string& path, const std::string& section,
                                           std::string& out);

private:
    using Key = std::pair<std::string, std::string>;

    ExpansionChain& chain_;
    std::map<std::string, LibFile> files_;
    std::map<std::string, std::string> canonical_paths_;
    std::map<Key, Expansion> done_;

    const std::string& canonical(const std::string& path);
    Result<const LibFile*, Error> file(const std::string& path, const std::string& canonical);
    Result<std::size_t, Error> expand_lines(const std::string& path, const std::string& section,
                                            const std::vector<std::string_view>& lines, std::string& out);
};

const std::string& Flattener::canonical(const std::string& path) {
    auto [it, added] = canonical_paths_.try_emplace(path);
    if (added) {
        // A path that cannot be resolved fails at reading; until then it
        // stands for itself.
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
        it->second = resolved ? std::string(resolved.get()) : path;
    }
    return it->second;
}

Result<const LibFile*, Error> Flattener::file(const std::string& path, const std::string& canonical) {
    if (auto it = files_.find(canonical); it != files_.end()) return &it->second;
    // Redirects name their files: a device would be read without end and a
    // pipe would block for ever, so only regular files (and directories, for
    // their own error) are opened.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return err(io_message(fmt::cat("reading PDK file ", utf8_lossy(path), ": not a regular file")));
    auto bytes = read_file(path);
    if (!bytes)
        return err(io_message(fmt::cat("reading PDK file ", utf8_lossy(path), ": ", bytes.error().text())));
    LibFile& f = files_[canonical];
    f.text = utf8_lossy(std::move(*bytes));
    f.lines = split_lines(f.text);
    for (std::size_t i = 0; i < f.lines.size(); ++i) {
        const std::string_view t = trim_start(f.lines[i]);
        if (t.empty() || t.front() != '.') continue;
        if (auto name = directive_arg(t, ".lib"); name && !is_redirect(t)) {
            f.directives[ascii_lower(*name)].push_back({i, false});
        } else if (auto end = directive_arg(t, ".endl")) {
            f.directives[ascii_lower(*end)].push_back({i, true});
        }
    }
    return &f;
}

Result<std::size_t, Error> Flattener::expand_into(const std::string& path, const std::string& section,
                                                  std::string& out) {
    const Key key{canonical(path), ascii_lower(section)};
    if (chain_.size() >= kMaxNesting || !chain_.insert(key).second) {
        return err(io_message(fmt::cat("cycle detected while flattening PDK: revisited section '", section,
                                       "' in ", utf8_lossy(path))));
    }
    struct Unchain {
        ExpansionChain& chain;
        const Key& key;
        ~Unchain() { chain.erase(key); }
    } unchain{chain_, key};

    if (const auto it = done_.find(key);
        it != done_.end() && chain_.size() + it->second.height <= kMaxNesting) {
        out.append(it->second.text);
        if (out.size() > kMaxFlattenedBytes) return err(too_large(section, path));
        return it->second.height;
    }

    MORVA_ASSIGN(const LibFile* lib, file(path, key.first));

    // Only headers and ends naming the target count; the lines between them,
    // other sections' headers and ends included, are the body. A nested
    // header of the target raises the depth, so its end does not close it.
    std::vector<std::string_view> body;
    const auto marks = lib->directives.find(std::string(trim(key.second)));
    if (marks == lib->directives.end() || std::none_of(marks->second.begin(), marks->second.end(),
                                                       [](const Directive& d) { return !d.is_end; }))
        return err(io_message(fmt::cat("section '.LIB ", section, "' not found in ", utf8_lossy(path))));
    bool inside = false, closed = false;
    int depth = 0;
    std::size_t from = 0;
    for (const Directive& d : marks->second) {
        if (inside) body.insert(body.end(), lib->lines.begin() + from, lib->lines.begin() + d.line);
        from = d.line + 1;
        if (!d.is_end) {
            if (inside) ++depth;
            inside = true;
        } else if (depth > 0) {
            --depth;
        } else if (inside) {
            closed = true;
            break;
        }
    }
    if (!closed) body.insert(body.end(), lib->lines.begin() + from, lib->lines.end());

    const std::size_t start = out.size();
    MORVA_ASSIGN(const std::size_t height, expand_lines(path, section, body, out));
    if (chain_.size() > 1 && out.size() - start <= kMaxRememberedBytes)
        done_[key] = Expansion{out.substr(start), height};
    return height;
}

Result<std::size_t, Error> Flattener::expand_lines(const std::string& path, const std::string& section,
                                                   const std::vector<std::string_view>& lines,
                                                   std::string& out) {
    std::filesystem::path base = std::filesystem::path(path).parent_path();
    if (base.empty()) base = ".";
    std::size_t height = 0;
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
            MORVA_ASSIGN(const std::size_t nested_height,
                         expand_into(nested, std::string(section_word), out));
            height = std::max(height, nested_height + 1);
            while (std::size_t n = whitespace_before(std::string_view(out).substr(mark), out.size() - mark))
                out.resize(out.size() - n);
            out.append(fmt::cat("\n* <<< end ", section_word, "\n"));
        }
        if (out.size() > kMaxFlattenedBytes) return err(too_large(section, path));
    }
    return height;
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
    if (path_has_nul(path)) return err(nul_in_path_error());
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
