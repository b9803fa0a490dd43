#include "pdk/flatten.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/io.h"
#include "common/text.h"
#include "spice/kit_chain.h"
#include "spice/model_parser.h"
#include "spice/spice_expr.h"
#include "spice/spice_numbers.h"

namespace morva::pdk {

using spice::spice_expr::include_target;
using spice::spice_expr::Redirect;
using spice::spice_expr::redirect_target;
using spice::spice_expr::strip_quotes;
using spice::spice_expr::trim;
using spice::spice_expr::whitespace_before;
using spice::spice_expr::without_comment;

namespace {

// Redirects and includes nested deeper than this are refused, whatever their
// files.
constexpr std::size_t kMaxNesting = spice::model_parser::kMaxKitNesting;
// Lines that redirect to the same section twice, level after level, grow the
// text exponentially; no real corner comes near this size.
constexpr std::size_t kMaxFlattenedBytes = spice::model_parser::kMaxKitTextBytes;

// Expansions up to this size are kept for reuse; larger ones are rebuilt
// (from their kept parts) when reached again.
constexpr std::size_t kMaxRememberedBytes = std::size_t{16} << 20;

// How cycle messages name this reading.
constexpr char kActivity[] = "flattening PDK";

IoError io_message(std::string message) { return IoError::from_message(std::move(message)); }

using spice::kit_place;

IoError too_large(const std::optional<std::string>& section, const std::string& path) {
    return io_message(
        fmt::cat("flattened PDK text exceeds ", kMaxFlattenedBytes, " bytes at ", kit_place(section, path)));
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

// A line as its directive is read: leading blanks and a trailing comment
// removed (".lib tt ; typical" is the header of tt, as ngspice has it).
std::string_view directive_text(std::string_view line) { return trim(without_comment(line)); }

struct LibFile {
    std::string text;
    std::vector<std::string_view> lines;
    // The first ".lib name" header of each lower-case section name.
    std::unordered_map<std::string, std::size_t> headers;
    // Every ".endl" line, named or not, in file order.
    std::vector<std::size_t> ends;
};

struct Expansion {
    std::string text;    // before the caller trims its end
    std::size_t height;  // deepest nesting of redirects below it
};

// One flattening. Each file is read and indexed once, and each section or
// included file is expanded once: one reached again reuses its text, which
// depends only on the files (a success cannot turn into a cycle in another
// place).
class Flattener {
public:
    // Appends the expansion of `section` of the file, or (none) of the whole
    // file, to `out`; returns its nesting height.
    Result<std::size_t, IoError> expand_into(const std::string& path,
                                             const std::optional<std::string>& section, std::string& out);

private:
    using Key = std::pair<std::string, std::optional<std::string>>;

    // The sections and included files being expanded.
    spice::KitChain chain_{kActivity};
    std::map<std::string, LibFile> files_;
    std::map<std::string, std::string> canonical_paths_;
    std::map<Key, Expansion> done_;

    const std::string& canonical(const std::string& path);
    Result<const LibFile*, IoError> file(const std::string& path, const std::string& canonical);
    Result<std::vector<std::string_view>, IoError> section_body(const LibFile& lib, const std::string& path,
                                                                const std::string& section,
                                                                const std::string& target);
    Result<std::size_t, IoError> expand_lines(const std::string& path,
                                              const std::optional<std::string>& section,
                                              const std::vector<std::string_view>& lines, std::string& out);
};

const std::string& Flattener::canonical(const std::string& path) {
    auto [it, added] = canonical_paths_.try_emplace(path);
    // A path that cannot be resolved fails at reading; until then it stands
    // for itself.
    if (added) it->second = spice::model_parser::canonical_kit_path(path);
    return it->second;
}

Result<const LibFile*, IoError> Flattener::file(const std::string& path, const std::string& canonical) {
    if (auto it = files_.find(canonical); it != files_.end()) return &it->second;
    auto bytes = read_file(path);
    if (!bytes) {
        // The errno and the path stay with the error for the caller.
        IoError e = std::move(bytes).error();
        e.message = fmt::cat("reading PDK file ", utf8_lossy(path), ": ", e.text());
        return err(std::move(e));
    }
    LibFile& f = files_[canonical];
    // ngspice reads a Latin-1 micro sign as "u": kept as one in the text written.
    f.text = utf8_lossy(spice::spice_numbers::latin1_micro_signs_as_utf8(std::move(*bytes)));
    f.lines = split_lines(f.text);
    for (std::size_t i = 0; i < f.lines.size(); ++i) {
        const std::string_view t = directive_text(f.lines[i]);
        if (t.empty() || t.front() != '.') continue;
        if (const auto name = spice::spice_expr::section_header(t)) {
            f.headers.emplace(ascii_lower(*name), i);
        } else if (spice::spice_expr::is_section_end(t)) {
            f.ends.push_back(i);
        }
    }
    return &f;
}

Result<std::size_t, IoError> Flattener::expand_into(const std::string& path,
                                                    const std::optional<std::string>& section,
                                                    std::string& out) {
    const Key key{canonical(path), section ? std::optional(ascii_lower(*section)) : std::nullopt};
    if (chain_.depth() >= kMaxNesting)
        return err(io_message(fmt::cat("flattening PDK: redirects and includes nested deeper than ",
                                       kMaxNesting, " levels at ", kit_place(section, path))));
    if (auto entered = chain_.enter(key.first, section, path); !entered)
        return err(io_message(std::move(entered).error()));
    struct Unchain {
        spice::KitChain& chain;
        ~Unchain() { chain.leave(); }
    } unchain{chain_};

    if (const auto it = done_.find(key);
        it != done_.end() && chain_.depth() + it->second.height <= kMaxNesting) {
        out.append(it->second.text);
        if (out.size() > kMaxFlattenedBytes) return err(too_large(section, path));
        return it->second.height;
    }

    MORVA_ASSIGN(const LibFile* lib, file(path, key.first));
    std::vector<std::string_view> body;
    if (section) {
        MORVA_ASSIGN(body, section_body(*lib, path, *section, *key.second));
    } else {
        body = lib->lines;
    }

    const std::size_t start = out.size();
    MORVA_ASSIGN(const std::size_t height, expand_lines(path, section, body, out));
    if (chain_.depth() > 1 && out.size() - start <= kMaxRememberedBytes)
        done_[key] = Expansion{out.substr(start), height};
    return height;
}

Result<std::vector<std::string_view>, IoError> Flattener::section_body(const LibFile& lib,
                                                                       const std::string& path,
                                                                       const std::string& section,
                                                                       const std::string& target) {
    // As ngspice reads a section: from the first header of that name to the
    // first ".endl" after it, whatever name that ".endl" gives (kits close
    // sections with a bare ".endl" or with another section's name); the
    // file's end when none follows.
    // A quoted section word names the section as an unquoted one does.
    const auto header = lib.headers.find(std::string(strip_quotes(trim(target))));
    if (header == lib.headers.end())
        return err(io_message(spice::model_parser::section_not_found(section, path)));
    const auto end = std::upper_bound(lib.ends.begin(), lib.ends.end(), header->second);
    const std::size_t last = end == lib.ends.end() ? lib.lines.size() : *end;
    return std::vector<std::string_view>(lib.lines.begin() + static_cast<std::ptrdiff_t>(header->second) + 1,
                                         lib.lines.begin() + static_cast<std::ptrdiff_t>(last));
}

Result<std::size_t, IoError> Flattener::expand_lines(const std::string& path,
                                                     const std::optional<std::string>& section,
                                                     const std::vector<std::string_view>& lines,
                                                     std::string& out) {
    std::size_t height = 0;
    for (std::string_view line : lines) {
        const std::string_view t = directive_text(line);
        // A redirect brings in one section of a file, an include the whole
        // file: a relative include left in the text would be looked for next
        // to wherever the flattened text is placed.
        const std::optional<Redirect> redirect = redirect_target(t);
        const std::optional<std::string_view> include = redirect ? std::nullopt : include_target(t);
        if (!redirect && !include) {
            out.append(line);
            out.push_back('\n');
        } else {
            const std::string_view file_word = redirect ? redirect->file : *include;
            const std::string_view end_word = redirect ? redirect->section : file_word;
            const std::string nested = spice::model_parser::kit_file_path(path, file_word);
            if (redirect)
                out.append(
                    fmt::cat("* >>> nested .lib '", file_word, "' ", redirect->section, " (expanded)\n"));
            else
                out.append(fmt::cat("* >>> nested .include '", file_word, "' (expanded)\n"));
            const std::size_t mark = out.size();
            const std::optional<std::string> nested_section =
                redirect ? std::optional(std::string(redirect->section)) : std::nullopt;
            MORVA_ASSIGN(const std::size_t nested_height, expand_into(nested, nested_section, out));
            height = std::max(height, nested_height + 1);
            while (std::size_t n = whitespace_before(std::string_view(out).substr(mark), out.size() - mark))
                out.resize(out.size() - n);
            out.append(fmt::cat("\n* <<< end ", end_word, "\n"));
        }
        if (out.size() > kMaxFlattenedBytes) return err(too_large(section, path));
    }
    return height;
}

}  // namespace

Result<std::string, IoError> flatten_pdk(const std::string& path, const std::string& corner) {
    if (path_has_nul(path)) return err(nul_in_path_error());
    std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(path.c_str(), nullptr), &std::free);
    if (!canonical) {
        IoError e = IoError::from_errno(errno);
        e.path = path;
        e.message = fmt::cat("reading PDK file ", utf8_lossy(path), ": ", e.text());
        return err(std::move(e));
    }
    // The same check as the model-library reader's: a kit that ngspice would
    // follow without end, also where the corner's text does not reach (a
    // file including itself is read whole by ngspice), is refused. A file
    // that cannot be read is the flattening's to report.
    auto cycle = spice::model_parser::find_kit_cycle(canonical.get(), corner, kActivity);
    if (cycle && *cycle) return err(io_message(std::move(**cycle)));
    std::string out =
        fmt::cat("* morva.flatten_pdk(", utf8_lossy(path), ", ", corner, ") \xE2\x80\x94 auto-flattened\n");
    Flattener flattener;
    MORVA_TRY(flattener.expand_into(canonical.get(), std::optional(corner), out));
    return out;
}

}  // namespace morva::pdk
