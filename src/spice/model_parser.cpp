#include "spice/model_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <unordered_map>

#include "common/decimal.h"
#include "common/format.h"
#include "common/io.h"
#include "common/text.h"
#include "spice/kit_chain.h"
#include "spice/param_order.h"
#include "spice/spice_numbers.h"

namespace morva::spice::model_parser {

using spice_expr::first_word;
using spice_expr::split_whitespace;
using spice_expr::strip_quotes;
using spice_expr::trim;
using spice_expr::whitespace_at;

namespace {

// How the readers' cycle messages name their reading.
constexpr std::string_view kReadingActivity = "reading model file";

Result<LogicalLines, Bsim4Error> read_logical_lines(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return err(Bsim4Error::from_io(std::move(bytes).error()));
    return join_continuation_lines(utf8_lossy(spice_numbers::latin1_micro_signs_as_utf8(std::move(*bytes))));
}

// Scans `s` keeping track of single-quoted text and of () / {} groups; calls
// `at_top(i)` for every position outside all of them and stops when it
// returns true. Returns the stopping position, or s.size().
template <class F>
std::size_t scan_top_level(std::string_view s, std::size_t from, F&& at_top) {
    bool quoted = false;
    int depth = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        const char c = s[i];
        if (quoted) {
            quoted = c != '\'';
        } else if (c == '\'') {
            quoted = true;
        } else if (c == '(' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == '}') && depth > 0) {
            --depth;
        } else if (depth == 0 && at_top(i)) {
            return i;
        }
    }
    return s.size();
}

// The end of the group that opens at `s[i]` ("{", "(" or a single quote):
// the position after it, or npos when it is not closed.
std::size_t group_end(std::string_view s, std::size_t i) {
    bool quoted = false;
    int depth = 0;
    for (std::size_t k = i; k < s.size(); ++k) {
        const char c = s[k];
        if (quoted) {
            if (c != '\'') continue;
            quoted = false;
            if (depth == 0) return k + 1;
        } else if (c == '\'') {
            quoted = true;
        } else if (c == '(' || c == '{') {
            ++depth;
        } else if (c == ')' || c == '}') {
            if (--depth <= 0) return depth == 0 ? k + 1 : std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

// A name must start like one: a letter (any non-ASCII character counts as
// one) or "_".
bool starts_like_name(std::string_view name) {
    if (name.empty()) return false;
    const unsigned char c = static_cast<unsigned char>(name[0]);
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= 0x80 && whitespace_at(name, 0) == 0);
}

struct RawPair {
    std::string name;   // as written
    std::string value;  // as written; one read inside double quotes, in them
};

// Which pairs a text holds besides "name=value".
enum class PairForms {
    Assigned,  // only those with "=": .param lines, subcircuit headers, device lines
    Card,      // also "name value" for a value that starts like a number, as a card reads it
};

// The name=value pairs of a text before evaluation, tokenised as ngspice
// reads a card: blanks, commas and double quotes separate (a double-quoted
// text is read in place, its values not evaluated), "=" may stand with or
// without blanks around it ("a=1", "a = 1", "a =1", "a= 1", also across
// joined continuation lines), and a pair repeated is read again. A value is
// a group ({...}, '...') with what is glued to it, a number's token with
// what is glued to it ("0.42+0.01": which of it counts is site_value's
// matter), or else an expression up to the next blank (commas and "="
// included: "a=b*2,c=1" is one value, as ngspice's expression reader takes
// it). A name that does not start like one gives no pair.
std::vector<RawPair> raw_pairs(std::string_view s, PairForms forms) {
    std::vector<RawPair> pairs;
    bool quoted = false;  // inside double quotes
    std::size_t i = 0;
    const auto blank = [&](std::size_t k) { return whitespace_at(s, k) != 0; };
    // Skips separators: blanks, commas, stray ")" and, with `equals`, "=";
    // double quotes toggle `quoted`, and are counted in `quotes`.
    std::size_t quotes = 0;
    const auto skip = [&](bool equals) {
        while (i < s.size()) {
            if (const std::size_t n = whitespace_at(s, i)) {
                i += n;
                continue;
            }
            const char c = s[i];
            if (c == '"') {
                quoted = !quoted;
                ++quotes;
            } else if (c != ',' && c != ')' && !(equals && c == '=')) {
                return;
            }
            ++i;
        }
    };
    // What is glued to a value from `k`: up to a blank, comma, ")" or double quote.
    const auto glued_end = [&](std::size_t k) {
        while (k < s.size() && !blank(k) && s[k] != ',' && s[k] != ')' && s[k] != '"') ++k;
        return k;
    };
    for (;;) {
        skip(true);
        if (i >= s.size()) return pairs;
        const std::size_t name_start = i;
        i = scan_top_level(s, i, [&](std::size_t k) {
            return blank(k) || s[k] == '=' || s[k] == ',' || s[k] == '"' || s[k] == ')';
        });
        if (i == name_start) {  // an unmatched "}" at the top level
            ++i;
            continue;
        }
        const std::string_view name = s.substr(name_start, i - name_start);
        std::size_t after_name = i;
        while (after_name < s.size() && blank(after_name)) after_name += whitespace_at(s, after_name);
        if (after_name < s.size() && s[after_name] == '=') {
            i = after_name;
            quotes = 0;
            skip(true);
            // An empty quoted text: a value without a number.
            if (!quoted && quotes > 0) {
                if (starts_like_name(name)) pairs.push_back({std::string(name), "\"\""});
                continue;
            }
        } else {
            if (forms != PairForms::Card) continue;
            const std::size_t back = i;
            const bool was_quoted = quoted;
            skip(false);
            if (i >= s.size() || !spice_expr::starts_like_number(s.substr(i))) {
                i = back;
                quoted = was_quoted;
                continue;
            }
        }
        std::size_t end = i;
        if (i < s.size()) {
            const char c = s[i];
            if (c == '{' || c == '\'') {
                const std::size_t g = group_end(s, i);
                end = g == std::string_view::npos ? s.size() : glued_end(g);
            } else if (spice_expr::starts_like_number(s.substr(i))) {
                // A double quote ends the token as a blank would.
                const std::size_t quote = s.find('"', i);
                const std::string_view token =
                    s.substr(i, quote == std::string_view::npos ? quote : quote - i);
                end = glued_end(i + spice_expr::value_token_end(token));
            } else if (quoted) {
                end = i;
                while (end < s.size() && !blank(end) && s[end] != '"') ++end;
            } else {
                end = scan_top_level(s, i, [&](std::size_t k) { return blank(k) || s[k] == '"'; });
            }
        }
        const std::string_view value = s.substr(i, end - i);
        i = end;
        if (starts_like_name(name))
            pairs.push_back({std::string(name), quoted ? fmt::cat("\"", value, "\"") : std::string(value)});
    }
}

// Evaluates the pairs of `text` in order with `read` and calls `on(name,
// value, text)` for each (value empty when it has none; text as written).
// `params` may grow from inside `on`.
template <class Read, class OnPair>
void for_each_pair(std::string_view text, PairForms forms, const ParamMap& params, Read&& read, OnPair&& on) {
    for (const RawPair& raw : raw_pairs(text, forms))
        on(ascii_lower(raw.name), read(raw.value, params), std::string_view(raw.value));
}

template <class OnPair>
void for_each_pair(std::string_view text, const ParamMap& params, OnPair&& on) {
    for_each_pair(text, PairForms::Assigned, params, parse_value, std::forward<OnPair>(on));
}

std::optional<double> card_value(std::string_view text, const ParamMap& params) {
    return site_value(text, params, ValueSite::Card);
}

// The definitions of a `.param` line's text (after the keyword), or of a
// subcircuit header's, that have a value text.
void add_definitions(std::string_view text, std::vector<param_order::Definition>& definitions) {
    for (RawPair& raw : raw_pairs(text, PairForms::Assigned)) {
        std::string_view unquoted = raw.value;
        while (!unquoted.empty() && unquoted.front() == '\'') unquoted.remove_prefix(1);
        while (!unquoted.empty() && unquoted.back() == '\'') unquoted.remove_suffix(1);
        if (!trim(unquoted).empty()) definitions.push_back({ascii_lower(raw.name), std::move(raw.value)});
    }
}

// Evaluates the definitions in ngspice's order into `scope`, which holds
// what lies outside them: a definition's value replaces the name's there, one
// that cannot be evaluated leaves the name undefined, and so does one left
// out of the order (a cycle). Names in `fixed` keep the value `scope` has.
void evaluate_definitions(const std::vector<param_order::Definition>& definitions,
                          const param_order::Order& order, const ParamMap* fixed, ParamMap& scope) {
    const auto kept = [&](const std::string& name) { return fixed && fixed->count(name); };
    for (const std::size_t k : order.sequence) {
        const param_order::Definition& d = definitions[k];
        if (kept(d.name)) continue;
        // A reference to its own name is to the value outside.
        if (const auto v = parse_value(d.text, scope))
            scope.insert_or_assign(d.name, *v);
        else
            scope.erase(d.name);
    }
    if (!order.refused()) return;
    std::unordered_set<std::string_view> evaluated;
    for (const std::size_t k : order.sequence) evaluated.insert(definitions[k].name);
    for (const param_order::Definition& d : definitions)
        if (!evaluated.count(d.name) && !kept(d.name)) scope.erase(d.name);
}

// A value as written without the double quotes around it.
std::string_view strip_double_quotes(std::string_view text) {
    if (!text.empty() && text.front() == '"') text.remove_prefix(1);
    if (!text.empty() && text.back() == '"') text.remove_suffix(1);
    return text;
}

// Why ngspice cannot take a card value: none when `value` is a number it
// takes, or when the text is empty. A value without a number in it (an
// undefined name, an unknown function, a statistical function with no
// argument or more than three, a syntax error, ".u" bare, or a text in double
// quotes that does not start like a number: "abc", "dvth", "dvth+0.5") is
// refused, though ngspice reads a bare ".u" and a quoted text as 0 (with a
// warning "unrecognized parameter" for a quoted name). An expression that overflows or has no
// number as its value (1/0, sqrt(-1), agauss(0.42,0)) is written by ngspice
// as "inf" or "nan", which its card reader takes for 0 without a word; a
// literal "nan" or "inf" it refuses; 1e309 it reads as an infinity that makes
// every solve fail.
std::optional<std::string> value_problem(std::string_view name, std::optional<double> value,
                                         std::string_view text, const ParamMap& params) {
    const std::string_view shown = trim(text);
    if (value) {
        if (std::isfinite(*value)) return std::nullopt;
        return fmt::cat("cannot evaluate ", name, " = ", shown, " (not a finite number)");
    }
    if (shown.empty()) return std::nullopt;
    if (const auto raw = spice_expr::evaluate_ieee(strip_double_quotes(shown), params);
        raw && !std::isfinite(*raw))
        return fmt::cat("cannot evaluate ", name, " = ", shown, " (not a finite number)");
    return fmt::cat("cannot evaluate ", name, " = ", shown);
}

// Removes the parentheses that enclose a whole card body, keeping those of
// values: "(level=54 x=(1))" gives "level=54 x=(1)".
std::string_view strip_enclosing_parens(std::string_view body) {
    body = trim(body);
    while (!body.empty() && body.front() == '(') body = trim(body.substr(1));
    long balance = 0;
    bool quoted = false;
    for (char c : body) {
        if (c == '\'') quoted = !quoted;
        if (quoted) continue;
        if (c == '(') ++balance;
        if (c == ')') --balance;
    }
    while (balance < 0 && !body.empty() && body.back() == ')') {
        body = trim(body.substr(0, body.size() - 1));
        ++balance;
    }
    return body;
}

// "nmos"/"pmos" for a MOSFET model type ("nmos", "nch", "pfet", ...), empty
// for anything else, bipolar and JFET/MESFET types included.
std::string mosfet_type(std::string_view type_word) {
    const std::string t = ascii_lower(type_word);
    if (t.empty() || (t[0] != 'n' && t[0] != 'p')) return {};
    if (t == "npn" || t == "pnp" || t == "njf" || t == "pjf" || t == "nmf" || t == "pmf") return {};
    return t[0] == 'n' ? "nmos" : "pmos";
}

// The words of a ".model name type body" line.
struct CardText {
    std::string_view name, type_word, body;
};

std::optional<CardText> split_card(std::string_view line) {
    std::string_view rest;
    first_word(line, &rest);  // ".model"
    const std::string_view name = first_word(rest, &rest);
    std::string_view type_word = first_word(rest, &rest);
    if (type_word.empty()) return std::nullopt;
    // The body runs from the end of the type to the end of the line; a "("
    // glued to the type ("nmos(level=54") starts it.
    std::string_view body =
        line.substr(static_cast<std::size_t>(type_word.data() + type_word.size() - line.data()));
    if (const std::size_t paren = type_word.find('('); paren != std::string_view::npos) {
        body = line.substr(static_cast<std::size_t>(type_word.data() + paren - line.data()));
        type_word = type_word.substr(0, paren);
    }
    return CardText{name, type_word, body};
}

std::optional<Bsim4ModelCard> read_card(std::string_view line, const ParamMap& params, std::string* problem) {
    const std::optional<CardText> words = split_card(line);
    if (!words) return std::nullopt;
    const std::string_view body = words->body;
    Bsim4ModelCard card;
    card.model_type = mosfet_type(words->type_word);
    if (card.model_type.empty()) return std::nullopt;
    card.name = std::string(words->name);

    bool level_given = false;
    std::optional<double> level;
    std::string refused;
    for_each_pair(strip_enclosing_parens(body), PairForms::Card, params, card_value,
                  [&](std::string n, std::optional<double> v, std::string_view text) {
                      if (n == "level") {
                          level_given = true;
                          level = v;
                      }
                      if (!v || !std::isfinite(*v)) {
                          if (refused.empty()) {
                              if (auto problem = value_problem(n, v, text, params))
                                  refused = fmt::cat("model '", card.name, "': ", *problem);
                          }
                          return;
                      }
                      if (n == "lmin") card.lmin = v;
                      if (n == "lmax") card.lmax = v;
                      if (n == "wmin") card.wmin = v;
                      if (n == "wmax") card.wmax = v;
                      card.params.emplace_back(std::move(n), *v);
                  });
    // BSIM4 is level 14 in ngspice and 54 in HSPICE; a card without a level
    // is taken as BSIM4 too.
    if (level_given && !(level && (*level == 14.0 || *level == 54.0))) return std::nullopt;
    if (problem) *problem = std::move(refused);
    return card;
}

// The bin limit texts of a ".model" line, for a caller that evaluates them
// alone (a kit's cards hold thousands of values) or several times.
std::optional<SubcircuitDefaults::BodyModel> limit_texts(const std::string& line) {
    const std::optional<CardText> words = split_card(line);
    if (!words) return std::nullopt;
    SubcircuitDefaults::BodyModel model{
        line, std::string(words->name), {}, mosfet_type(words->type_word), false};
    std::optional<std::string> level;
    for (RawPair& raw : raw_pairs(strip_enclosing_parens(words->body), PairForms::Card)) {
        const std::string n = ascii_lower(raw.name);
        const std::size_t k = n == "lmin" ? 0 : n == "lmax" ? 1 : n == "wmin" ? 2 : n == "wmax" ? 3 : 4;
        if (k < 4) model.limits[k] = std::move(raw.value);
        if (n == "level") level = std::move(raw.value);
    }
    // As read_card takes a card; a level is a number, not an instance's value.
    const std::optional<double> number = level ? card_value(*level, {}) : std::nullopt;
    model.bsim4 = !model.model_type.empty() && (!level || number == 14.0 || number == 54.0);
    return model;
}

// The limits as a card reads them: a text this reader cannot evaluate is NaN.
ModelBins evaluate_limits(const SubcircuitDefaults::BodyModel& texts, const ParamMap& params) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    ModelBins model{texts.name, {}, {}, {}, {}};
    std::optional<double>* limits[] = {&model.lmin, &model.lmax, &model.wmin, &model.wmax};
    for (std::size_t k = 0; k < 4; ++k)
        if (texts.limits[k]) *limits[k] = card_value(*texts.limits[k], params).value_or(kNaN);
    return model;
}

// Follows the subcircuit definitions of lines read in order.
class SubcircuitDepth {
public:
    // Whether `line`, the next one, lies in a subcircuit definition, header
    // and ".ends" included.
    bool in_subcircuit(std::string_view line) {
        if (ascii_istarts_with(line, ".subckt")) {
            ++depth_;
            return true;
        }
        if (ascii_istarts_with(line, ".ends")) {
            if (depth_ == 0) return false;
            --depth_;
            return true;
        }
        return depth_ > 0;
    }

private:
    std::size_t depth_ = 0;
};

// Where each section's header is: the first ".lib name" line of each
// lower-case name.
using HeaderIndex = std::unordered_map<std::string, std::size_t>;

bool is_section_header(std::string_view line) { return spice_expr::section_header(line).has_value(); }

HeaderIndex index_headers(const LogicalLines& lines) {
    HeaderIndex index;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (const auto name = spice_expr::section_header(lines[i])) index.emplace(ascii_lower(*name), i);
    return index;
}

// One file's logical lines, its headers and includes indexed when first
// needed.
struct LibraryText {
    LogicalLines lines;
    std::optional<HeaderIndex> headers;
    std::optional<std::vector<std::size_t>> include_lines;

    const HeaderIndex& index() {
        if (!headers) headers = index_headers(lines);
        return *headers;
    }
    const std::vector<std::size_t>& includes() {
        if (!include_lines) {
            include_lines.emplace();
            for (std::size_t i = 0; i < lines.size(); ++i)
                if (spice_expr::include_target(lines[i])) include_lines->push_back(i);
        }
        return *include_lines;
    }
};

// A file as reached: its text, the path it was reached by (relative names
// inside it resolve against that path's directory) and its canonical key.
// A bare list of lines has no path and an empty key.
struct Source {
    LibraryText* text;
    std::string path;
    std::string key;
};

// Gathers the lines of a section or of a whole file into one list, following
// redirects and (when reading files) includes in place.
class Collector {
public:
    // `whole`: every line of every file, whatever section it lies in; else
    // the sections' rules. `files`: redirects name files and includes are
    // followed; else every redirect stays in the same lines.
    Collector(bool whole, bool files, std::string_view activity = kReadingActivity)
        : whole_(whole), files_(files), sections_(std::string(activity)), includes_(std::string(activity)) {}

    // The cycle ngspice would meet following the kit from section `name` of
    // `source` (null: the whole file), named as KitChain names it; none when
    // there is none. ngspice reads a library file (the top file, or one a
    // redirect names) with every include in it brought in place, wherever
    // it stands, so a file that includes itself, directly or through others,
    // recurses without end; and it follows the redirects of a section's
    // lines (also those its includes bring in), so a section reached again
    // through them loops. Nothing is collected; each file and section is
    // checked once.
    std::optional<std::string> find_cycle(const Source& source, const std::string* name) {
        const std::string limit = limit_;  // a limit met here is the walk's to report
        std::optional<std::string> cycle;
        if (name) {
            cycle = section_cycle(source, *name, 0);
        } else if (!(cycle = include_cycle(source, 0))) {
            Targets targets;
            redirects_in(source, 0, false, targets, 0);
            for (const Target& t : targets.list)
                if ((cycle = section_cycle(t.source, t.section, 1))) break;
        }
        limit_ = limit;
        return cycle;
    }

    // Marks (key, section) as collected already; false when it was.
    bool visit(const std::string& key, const std::string& section) {
        return visited_.emplace(key, section).second;
    }
    // Appends section `name` of `source`; false when no header of it was
    // found (a section collected before counts as found).
    bool collect_section(const Source& source, const std::string& name, std::size_t depth) {
        if (!visit(source.key, name)) return true;
        const std::optional<Header> header = find_header(source, name, depth);
        if (!header) return false;
        if (header->source.key != source.key && !visit(header->source.key, name)) return true;
        walk(header->source, header->line + 1, &name, depth);
        return true;
    }

    // Where section `name` of `source` starts, as ngspice finds it: it reads
    // a library's includes in place before it looks, so the first header in
    // that text wins, in the file itself or in a file it includes at any
    // depth.
    struct Header {
        Source source;
        std::size_t line;
    };
    std::optional<Header> find_header(const Source& source, const std::string& name, std::size_t depth) {
        std::set<std::string> searched{source.key};
        return find_header(source, name, depth, searched);
    }
    // Every line of a file: with section structure ignored when whole,
    // with section definitions skipped otherwise.
    void collect_file(const Source& source, std::size_t depth) {
        if (whole_)
            walk_whole(source, depth, false);
        else
            walk(source, 0, nullptr, depth);
    }
    // The whole reading of the top file, whose lines no other part of the
    // call reads (every redirect or include back to it is skipped): they move.
    void collect_top_file(const Source& source) {
        visit(source.key, std::string());
        walk_whole(source, 0, true);
    }

    LogicalLines& lines() { return out_; }
    // Which limit cut the reading short; empty when none did.
    const std::string& limit() const { return limit_; }
    // False once a file named by an include or redirect could not be read.
    bool complete() const { return complete_; }
    // A whole reading's section definitions (see KitText).
    std::vector<std::string>& section_names() { return section_names_; }
    std::vector<std::pair<std::size_t, std::size_t>>& section_spans() { return section_spans_; }
    // The stamps of the files opened, in the order they were first opened.
    std::vector<FileStamp>& stamps() { return stamps_; }
    // Adds the names of the sections collected from bare lines to `names`.
    void visited_names(std::unordered_set<std::string>& names) const {
        for (const auto& [key, section] : visited_)
            if (key.empty()) names.insert(section);
    }

private:
    bool whole_;
    bool files_;
    std::set<std::pair<std::string, std::string>> visited_;
    // What find_cycle follows and has found free of cycles.
    KitChain sections_;
    KitChain includes_;
    std::set<std::pair<std::string, std::string>> acyclic_sections_;
    std::set<std::string> acyclic_files_;
    std::map<std::string, std::unique_ptr<LibraryText>> loaded_;  // by key; null: unreadable
    std::vector<FileStamp> stamps_;
    LogicalLines out_;
    std::size_t out_bytes_ = 0;
    std::string limit_;  // the first limit that cut the reading
    bool complete_ = true;
    std::vector<std::string> section_names_;
    std::vector<std::pair<std::size_t, std::size_t>> section_spans_;
    std::size_t open_sections_ = 0;  // section definitions being read, one per file
    std::size_t span_start_ = 0;

    void append(std::string line) {
        out_bytes_ += line.size();
        out_.push_back(std::move(line));
    }

    std::optional<Header> find_header(const Source& source, const std::string& name, std::size_t depth,
                                      std::set<std::string>& searched) {
        const HeaderIndex& headers = source.text->index();
        const auto own = headers.find(name);
        const std::size_t end = own == headers.end() ? source.text->lines.size() : own->second;
        if (files_) {
            for (const std::size_t i : source.text->includes()) {
                if (i >= end || !may_follow(source, depth)) break;
                const Source to = open(source, *spice_expr::include_target(source.text->lines[i]));
                if (!to.text || !searched.insert(to.key).second) continue;
                if (auto found = find_header(to, name, depth + 1, searched)) return found;
            }
        }
        if (own == headers.end()) return std::nullopt;
        return Header{source, own->second};
    }
    bool may_follow(const Source& from, std::size_t depth) {
        if (depth < kMaxKitNesting && out_bytes_ <= kMaxKitTextBytes) return true;
        if (limit_.empty())
            limit_ = depth >= kMaxKitNesting ? fmt::cat("includes and redirects nested deeper than ",
                                                        kMaxKitNesting, " levels at ", utf8_lossy(from.path))
                                             : fmt::cat("kit text exceeds ", kMaxKitTextBytes, " bytes at ",
                                                        utf8_lossy(from.path));
        return false;
    }

    // The file named by `word` in a line of `from`; a null text when it
    // cannot be read.
    Source open(const Source& from, std::string_view word) {
        Source source{nullptr, kit_file_path(from.path, word), {}};
        source.key = canonical_kit_path(source.path);
        auto [it, added] = loaded_.try_emplace(source.key);
        if (added) {
            stamps_.push_back(file_stamp(source.path));
            if (auto bytes = read_file(source.path))
                it->second = std::make_unique<LibraryText>(
                    LibraryText{join_continuation_lines(
                                    utf8_lossy(spice_numbers::latin1_micro_signs_as_utf8(std::move(*bytes)))),
                                std::nullopt, std::nullopt});
            else
                complete_ = false;
        }
        source.text = it->second.get();
        return source;
    }

    // Every line of a file, section structure ignored, the directive lines
    // followed after they are appended; the spans of the section definitions
    // noted (what they bring in lies in them).
    void walk_whole(const Source& source, std::size_t depth, bool consume) {
        bool defining = false;  // inside a section definition of this file
        for (std::string& line : source.text->lines) {
            const bool lib = ascii_istarts_with(line, ".lib");
            if (lib && !defining) {
                if (const auto name = spice_expr::section_header(line)) {
                    defining = true;
                    open_section(*name);
                }
            }
            const bool ends = defining && spice_expr::is_section_end(line);
            if (lib ? is_section_header(line) : !ascii_istarts_with(line, ".inc")) {
                append(consume ? std::move(line) : line);
            } else {
                const std::string directive = line;
                append(consume ? std::move(line) : line);
                if (lib)
                    redirect(source, directive, depth);
                else
                    include(source, directive, depth);
            }
            if (ends) {
                defining = false;
                close_section();
            }
        }
        if (defining) close_section();
    }

    void open_section(std::string_view name) {
        if (std::none_of(section_names_.begin(), section_names_.end(),
                         [&](const std::string& known) { return ascii_iequals(known, name); }))
            section_names_.emplace_back(name);
        if (open_sections_++ == 0) span_start_ = out_.size();
    }
    void close_section() {
        if (--open_sections_ == 0) section_spans_.emplace_back(span_start_, out_.size());
    }

    // `name` set: the body of that section, from its header to the first
    // ".endl" whatever name that gives, as ngspice closes sections; null: a
    // whole included file, whose section definitions are skipped (their
    // lines count only when a redirect names them).
    void walk(const Source& source, std::size_t first, const std::string* name, std::size_t depth) {
        const LogicalLines& lines = source.text->lines;
        bool skipping = false;
        for (std::size_t i = first; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (spice_expr::is_section_end(line)) {
                if (name) return;
                skipping = false;
                continue;
            }
            if (ascii_istarts_with(line, ".lib")) {
                // A header inside a section opens nothing (ngspice refuses
                // it); the section still ends at the next ".endl".
                if (is_section_header(line)) {
                    skipping = !name;
                } else if (!skipping) {
                    redirect(source, line, depth);
                }
                continue;
            }
            if (skipping) continue;
            append(line);
            if (files_ && line.front() == '.') include(source, line, depth);
        }
    }

    void redirect(const Source& from, std::string_view line, std::size_t depth) {
        const std::optional<spice_expr::Redirect> target = spice_expr::redirect_target(line);
        if (!target || !may_follow(from, depth)) return;
        const std::string section = ascii_lower(strip_quotes(target->section));
        // No header has an empty name (and an empty one marks whole files).
        if (section.empty()) return;
        if (!files_) {
            collect_section(from, section, depth + 1);
            return;
        }
        const Source to = open(from, target->file);
        const Source& where = to.text ? to : from;
        // A whole reading has every line of a file it reads already.
        if (whole_ && visited_.count({where.key, std::string()})) return;
        collect_section(where, section, depth + 1);
    }

    void include(const Source& from, std::string_view line, std::size_t depth) {
        const std::optional<std::string_view> word = spice_expr::include_target(line);
        if (!word || !may_follow(from, depth)) return;
        const Source to = open(from, *word);
        if (to.text && visit(to.key, std::string())) collect_file(to, depth + 1);
    }

    // The section a redirect names in the file it names. None when that
    // file cannot be read: ngspice stops there, where redirect() looks the
    // section up in the file holding the line, once.
    struct Target {
        Source source;
        std::string section;
    };
    std::optional<Target> redirect_to(const Source& from, std::string_view line) {
        const std::optional<spice_expr::Redirect> target = spice_expr::redirect_target(line);
        if (!target) return std::nullopt;
        std::string section = ascii_lower(strip_quotes(target->section));
        if (section.empty()) return std::nullopt;
        Source to = open(from, target->file);
        if (!to.text) return std::nullopt;
        return Target{std::move(to), std::move(section)};
    }

    // Every include of the file, wherever it stands, and theirs.
    std::optional<std::string> include_cycle(const Source& source, std::size_t depth) {
        if (depth >= kMaxKitNesting || acyclic_files_.count(source.key)) return std::nullopt;
        if (auto entered = includes_.enter(source.key, std::nullopt, source.path); !entered)
            return std::move(entered).error();
        for (const std::size_t i : source.text->includes()) {
            const Source to = open(source, *spice_expr::include_target(source.text->lines[i]));
            if (!to.text) continue;
            if (auto cycle = include_cycle(to, depth + 1)) return cycle;  // the chain is done with
        }
        includes_.leave();
        acyclic_files_.insert(source.key);
        return std::nullopt;
    }

    std::optional<std::string> section_cycle(const Source& source, const std::string& name,
                                             std::size_t depth) {
        if (depth >= kMaxKitNesting) return std::nullopt;
        if (auto entered = sections_.enter(source.key, name, source.path); !entered)
            return std::move(entered).error();
        if (!acyclic_sections_.count({source.key, name})) {
            if (auto cycle = include_cycle(source, 0)) return cycle;
            if (const std::optional<Header> header = find_header(source, name, depth)) {
                Targets targets;
                redirects_in(header->source, header->line + 1, true, targets, depth);
                for (const Target& t : targets.list)
                    if (auto cycle = section_cycle(t.source, t.section, depth + 1)) return cycle;
            }
            acyclic_sections_.emplace(source.key, name);
        }
        sections_.leave();
        return std::nullopt;
    }

    // Distinct redirect targets, in the order first met.
    struct Targets {
        std::vector<Target> list;
        std::set<std::pair<std::string, std::string>> seen;
        void add(const Target& t) {
            if (seen.emplace(t.source.key, t.section).second) list.push_back(t);
        }
    };

    // The redirects the walk would follow from line `first` of `source`: to
    // the section's end when `section`, else to the file's end (section
    // definitions skipped unless whole); with those of the files included
    // there, brought in place.
    void redirects_in(const Source& source, std::size_t first, bool section, Targets& out,
                      std::size_t depth) {
        const LogicalLines& lines = source.text->lines;
        const bool skip_definitions = !section && !whole_;
        bool skipping = false;
        for (std::size_t i = first; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (spice_expr::is_section_end(line)) {
                if (section) return;
                skipping = false;
            } else if (ascii_istarts_with(line, ".lib")) {
                if (is_section_header(line)) {
                    skipping = skip_definitions;
                } else if (!skipping) {
                    if (auto target = redirect_to(source, line)) out.add(*target);
                }
            } else if (!skipping && depth < kMaxKitNesting) {
                const std::optional<std::string_view> word = spice_expr::include_target(line);
                if (!word) continue;
                const Source to = open(source, *word);
                if (!to.text) continue;
                for (const Target& t : included_redirects(to, depth + 1).list) out.add(t);
            }
        }
    }

    // The redirects an included file brings in, worked out once per file.
    // Its includes were found free of cycles before (include_cycle), so the
    // recursion ends; the nesting bound ends it regardless.
    const Targets& included_redirects(const Source& source, std::size_t depth) {
        if (const auto it = included_redirects_.find(source.key); it != included_redirects_.end())
            return it->second;
        Targets found;
        redirects_in(source, 0, false, found, depth);
        return included_redirects_.insert_or_assign(source.key, std::move(found)).first->second;
    }
    std::map<std::string, Targets> included_redirects_;  // by file key
};

// The definitions of a subcircuit header's parameters, `rest` being its text
// after the subcircuit's name: every pair, node names having no "=".
std::vector<param_order::Definition> header_definitions(std::string_view rest) {
    std::vector<param_order::Definition> definitions;
    add_definitions(rest, definitions);
    return definitions;
}

std::optional<std::string> scope_refusal(const std::vector<param_order::Definition>& definitions,
                                         std::string_view where) {
    return param_order::refusal_message(definitions, param_order::order_definitions(definitions), where);
}

// The name of the subcircuit a ".subckt" line defines, and its text after it.
std::string_view subcircuit_name(std::string_view line, std::string_view* rest) {
    first_word(line, rest);
    return first_word(*rest, rest);
}

// ngspice orders the defaults of every subcircuit's header on their own
// first, whether the subcircuit is used or not.
std::optional<std::string> header_refusal(std::string_view line) {
    std::string_view rest;
    const std::string_view name = subcircuit_name(line, &rest);
    return scope_refusal(header_definitions(rest), fmt::cat("the header of subcircuit '", name, "'"));
}

// The subcircuit an X line instantiates, as ngspice finds it: the word
// before its first parameter (and before "params:"), else its last word.
std::string_view instantiated_subcircuit(std::string_view line) {
    std::string_view before = line.substr(0, std::min(line.find('='), line.size()));
    if (before.size() < line.size()) {
        before = spice_expr::trim(before);
        while (!before.empty() && whitespace_before(before, before.size()) == 0) before.remove_suffix(1);
    }
    std::vector<std::string_view> words = split_whitespace(before);
    if (!words.empty() && ascii_iequals(words.back(), "params:")) words.pop_back();
    return words.size() < 2 ? std::string_view() : words.back();
}

// The refusal of the subcircuit defined from line `header` to its ".ends",
// or of one defined inside it (each header alone, then whole); the
// subcircuits its lines instantiate are added to `instantiated`.
std::optional<std::string> definition_refusal(const LogicalLines& lines, std::size_t header,
                                              std::vector<std::string>& instantiated) {
    struct Scope {
        std::string where;
        std::vector<param_order::Definition> definitions;
    };
    std::vector<Scope> open;
    for (std::size_t i = header; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (ascii_istarts_with(line, ".subckt")) {
            if (auto problem = header_refusal(line)) return problem;
            std::string_view rest;
            const std::string_view name = subcircuit_name(line, &rest);
            open.push_back({fmt::cat("subcircuit '", name, "'"), header_definitions(rest)});
        } else if (ascii_istarts_with(line, ".ends")) {
            if (auto problem = scope_refusal(open.back().definitions, open.back().where)) return problem;
            open.pop_back();
            if (open.empty()) return std::nullopt;
        } else if (ascii_istarts_with(line, ".param")) {
            add_definitions(std::string_view(line).substr(6), open.back().definitions);
        } else if (line.front() == 'x' || line.front() == 'X') {
            instantiated.emplace_back(instantiated_subcircuit(line));
        }
    }
    // Definitions left open at the end.
    for (auto scope = open.rbegin(); scope != open.rend(); ++scope)
        if (auto problem = scope_refusal(scope->definitions, scope->where)) return problem;
    return std::nullopt;
}

Bsim4Error limit_error(const std::string& path, const std::string& limit) {
    return Bsim4Error::from_io(IoError::from_message(fmt::cat("reading ", utf8_lossy(path), ": ", limit)));
}

// The logical lines of the file at `path` with what it includes and
// redirects to, of one section or (none) of the whole file, with what the
// reading found (see KitText).
Result<KitText, Bsim4Error> read_library(const std::string& path, std::optional<std::string_view> section) {
    FileStamp stamp = file_stamp(path);
    MORVA_ASSIGN(LogicalLines lines, read_logical_lines(path));
    LibraryText text{std::move(lines), std::nullopt, std::nullopt};
    const Source top{&text, path, canonical_kit_path(path)};
    Collector collector(!section, true);
    const std::optional<std::string> name = section ? std::optional(ascii_lower(*section)) : std::nullopt;
    // A kit that ngspice would follow without end is refused whole.
    if (auto cycle = collector.find_cycle(top, name ? &*name : nullptr))
        return err(Bsim4Error::kit_cycle(std::move(*cycle)));
    bool found = true;
    if (name) {
        found = collector.collect_section(top, *name, 0);
    } else {
        collector.collect_top_file(top);
    }
    if (!collector.limit().empty()) return err(limit_error(path, collector.limit()));
    KitText read;
    read.lines = std::move(collector.lines());
    read.section_found = found;
    read.complete = collector.complete();
    read.sections = std::move(collector.section_names());
    read.section_spans = std::move(collector.section_spans());
    read.files.push_back(std::move(stamp));
    for (FileStamp& opened : collector.stamps()) read.files.push_back(std::move(opened));
    // ngspice refuses a deck whose parameters it cannot order (included
    // whole, a library's sections too, before it stops at their headers).
    if (auto refusal = parameter_refusal(read.lines)) return err(Bsim4Error::kit_cycle(std::move(*refusal)));
    return read;
}

std::vector<Bsim4ModelCard> cards_of(const LogicalLines& lines) {
    return extract_models(lines, collect_dot_params(lines));
}

// ngspice takes a size as inside a bin when it lies within 1 nm of either
// bound, so a length computed as 5.000000000000001e-7 still falls in a bin
// ending at 5e-7.
constexpr double kBinEdgeTolerance = 1e-9;

bool in_bin(double value, std::optional<double> lower, std::optional<double> upper) {
    const double lo = lower.value_or(0.0);
    const double hi = upper.value_or(std::numeric_limits<double>::infinity());
    if (std::isnan(lo) || std::isnan(hi)) return false;
    return std::fabs(value - lo) < kBinEdgeTolerance || std::fabs(value - hi) < kBinEdgeTolerance ||
           (lo < value && value < hi);
}

// Bins listed in a refusal; a kit may bin one model a hundred times.
constexpr std::size_t kBinsShown = 12;
// Sections listed in a refusal: foundry kits define some fifty.
constexpr std::size_t kSectionsShown = 64;

// Six significant digits at most, trailing zeros dropped: "2.2e-7" for a
// limit read as 2.1999999999999998e-7.
std::string short_number(double v) {
    std::string text = fmt::exp(v, 5);
    const std::size_t e = text.find('e');
    if (e == std::string::npos) return text;
    std::size_t end = e;
    while (end > 0 && text[end - 1] == '0') --end;
    if (end > 0 && text[end - 1] == '.') --end;
    return text.substr(0, end) + text.substr(e);
}

template <class Card>
std::vector<ModelBins> bins_among(const std::vector<Card>& cards, std::string_view model, BinNaming naming) {
    std::vector<ModelBins> bins;
    for (const Card& card : cards)
        if (is_bin_of(card.name, model, naming))
            bins.push_back({card.name, card.lmin, card.lmax, card.wmin, card.wmax});
    return bins;
}

// Whether a line's first word makes it an option line.
bool is_option_word(std::string_view word) {
    return ascii_iequals(word, ".option") || ascii_iequals(word, ".options") || ascii_iequals(word, ".opt");
}

}  // namespace

std::string kit_file_path(const std::string& including, std::string_view word) {
    const std::filesystem::path file(word);
    if (file.is_absolute()) return std::string(word);
    std::filesystem::path base = std::filesystem::path(including).parent_path();
    if (base.empty()) base = ".";
    return (base / file).string();
}

std::string canonical_kit_path(const std::string& path) {
    // The system would read the path only up to a NUL, and so another file.
    if (path_has_nul(path)) return path;
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

LogicalLines join_continuation_lines(std::string_view text) {
    LogicalLines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = next;
        if (end < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);

        line = trim(spice_expr::without_comment(line));
        if (line.empty() || line.front() == '*') continue;
        if (line.front() == '+') {
            if (lines.empty()) continue;
            lines.back().push_back(' ');
            lines.back().append(trim(line.substr(1)));
            continue;
        }
        lines.emplace_back(line);
    }
    return lines;
}

std::optional<std::string> parameter_refusal(const LogicalLines& lines) {
    std::vector<param_order::Definition> top_level;
    SubcircuitDepth depth;
    for (const std::string& line : lines) {
        if (depth.in_subcircuit(line)) {
            // Every subcircuit's header, used or not.
            if (ascii_istarts_with(line, ".subckt"))
                if (auto problem = header_refusal(line)) return problem;
            continue;
        }
        if (ascii_istarts_with(line, ".param")) add_definitions(std::string_view(line).substr(6), top_level);
    }
    return scope_refusal(top_level, "the top level");
}

ParamMap collect_dot_params(const LogicalLines& lines) {
    std::vector<param_order::Definition> definitions;
    for (const std::string& line : lines)
        if (ascii_istarts_with(line, ".param"))
            add_definitions(std::string_view(line).substr(6), definitions);
    ParamMap params;
    evaluate_definitions(definitions, param_order::order_definitions(definitions), nullptr, params);
    return params;
}

ParamList parse_key_value_pairs(std::string_view text, const ParamMap& params) {
    ParamList pairs;
    for_each_pair(text, params, [&](std::string name, std::optional<double> v, std::string_view) {
        if (v) pairs.emplace_back(std::move(name), *v);
    });
    return pairs;
}

std::optional<double> parse_value(std::string_view text, const ParamMap& params) {
    text = trim(text);
    // A literal first, so that "inf" and "nan" keep their meaning.
    std::string_view unquoted = text;
    while (unquoted.size() >= 2 && unquoted.front() == '\'' && unquoted.back() == '\'')
        unquoted = trim(unquoted.substr(1, unquoted.size() - 2));
    if (auto v = parse_decimal(unquoted)) return v;
    return spice_expr::evaluate(text, params);
}

std::optional<double> site_value(std::string_view text, const ParamMap& params, ValueSite site) {
    text = trim(text);
    // Inside double quotes only the groups are evaluated; the rest is read by
    // the number reader, which skips a "(" as a separator.
    const bool quoted = !text.empty() && text.front() == '"';
    if (quoted) {
        text = trim(strip_double_quotes(text));
        while (!text.empty() && text.front() == '(') text = trim(text.substr(1));
    }
    // What follows a group or a number's token, glued to it, is a token of
    // its own: a parameter a card ignores, one a device line does not know.
    // A ")" separates, as a blank does.
    const auto rest_allowed = [&](std::size_t end) {
        if (site == ValueSite::Card) return true;
        for (std::size_t k = end; k < text.size(); ++k)
            if (text[k] != ')' && whitespace_at(text, k) == 0) return false;
        return true;
    };
    if (!text.empty() && (text.front() == '{' || text.front() == '\'')) {
        const std::size_t end = group_end(text, 0);
        if (end == std::string_view::npos || !rest_allowed(end)) return std::nullopt;
        const std::optional<double> v = parse_value(text.substr(0, end), params);
        if (!v) return std::nullopt;
        return spice_expr::substituted_value(*v);
    }
    if (spice_expr::starts_like_number(text)) {
        const std::size_t end = spice_expr::value_token_end(text);
        if (!rest_allowed(end)) return std::nullopt;
        return spice_expr::leading_number(text.substr(0, end));
    }
    // Quoted text without a number: ngspice reads 0 (and names what follows
    // as a parameter).
    if (quoted) return std::nullopt;
    const std::optional<double> v = parse_value(text, params);
    if (!v) return std::nullopt;
    return spice_expr::substituted_value(*v);
}

std::vector<Bsim4ModelCard> extract_models(const LogicalLines& lines, const ParamMap& params,
                                           std::map<std::string, std::string>* refused, CardScope scope) {
    std::vector<Bsim4ModelCard> cards;
    std::string problem;
    SubcircuitDepth depth;
    for (const std::string& line : lines) {
        if (depth.in_subcircuit(line) && scope == CardScope::TopLevel) continue;
        if (!ascii_istarts_with(line, ".model")) continue;
        if (auto card = read_card(line, params, &problem)) {
            if (refused && !problem.empty()) refused->emplace(ascii_lower(card->name), std::move(problem));
            cards.push_back(std::move(*card));
        }
    }
    return cards;
}

std::vector<ModelBins> list_models(const LogicalLines& lines, const ParamMap& params, CardScope scope) {
    std::vector<ModelBins> models;
    SubcircuitDepth depth;
    for (const std::string& line : lines) {
        if (depth.in_subcircuit(line) && scope == CardScope::TopLevel) continue;
        if (!ascii_istarts_with(line, ".model")) continue;
        if (auto texts = limit_texts(line)) models.push_back(evaluate_limits(*texts, params));
    }
    return models;
}

void collect_section_recursive(const LogicalLines& lines, std::string_view section,
                               std::unordered_set<std::string>& visited, LogicalLines& out) {
    LibraryText text{lines, std::nullopt, std::nullopt};
    Collector collector(false, false);
    for (const std::string& name : visited) collector.visit(std::string(), name);
    collector.collect_section(Source{&text, std::string(), std::string()}, ascii_lower(section), 0);
    collector.visited_names(visited);
    LogicalLines& collected = collector.lines();
    out.insert(out.end(), std::make_move_iterator(collected.begin()),
               std::make_move_iterator(collected.end()));
}

Result<std::vector<Bsim4ModelCard>, Bsim4Error> parse_lib_file(const std::string& path) {
    MORVA_ASSIGN(const KitText text, read_library(path, std::nullopt));
    return cards_of(text.lines);
}

Result<std::vector<Bsim4ModelCard>, Bsim4Error> parse_lib_file_section(const std::string& path,
                                                                       std::string_view section) {
    MORVA_ASSIGN(const KitText text, read_library(path, section));
    return cards_of(text.lines);
}

bool is_bin_of(std::string_view card, std::string_view model, BinNaming naming) {
    if (card.size() <= model.size() + 1 || !ascii_istarts_with(card, model) || card[model.size()] != '.')
        return false;
    if (naming == BinNaming::Loose) return true;
    for (char c : card.substr(model.size() + 1))
        if (c < '0' || c > '9') return false;
    return true;
}

bool names_model(std::string_view card, std::string_view model, BinNaming naming) {
    return ascii_iequals(card, model) || is_bin_of(card, model, naming);
}

bool bin_holds(std::optional<double> lmin, std::optional<double> lmax, std::optional<double> wmin,
               std::optional<double> wmax, double length, double width) {
    return in_bin(length, lmin, lmax) && in_bin(width, wmin, wmax);
}

const Bsim4ModelCard* select_card_for_length(const std::vector<Bsim4ModelCard>& cards, std::string_view model,
                                             double length, double width) {
    return select_card(cards, model, length, width);
}

bool has_model(const std::vector<Bsim4ModelCard>& cards, std::string_view model) {
    return std::any_of(cards.begin(), cards.end(), [&](const Bsim4ModelCard& card) {
        return names_model(card.name, model, BinNaming::Loose);
    });
}

std::vector<ModelBins> bins_of(const std::vector<Bsim4ModelCard>& cards, std::string_view model,
                               BinNaming naming) {
    return bins_among(cards, model, naming);
}

std::vector<ModelBins> bins_of(const std::vector<ModelBins>& cards, std::string_view model,
                               BinNaming naming) {
    return bins_among(cards, model, naming);
}

std::string bin_miss_message(std::string_view model, std::string_view where, double w, double l, double scale,
                             const std::vector<ModelBins>& bins, const SizeSource* source) {
    const bool scaled = scale != 1.0;
    const char* unit = scaled ? "" : " m";
    std::string text = fmt::cat("no bin of model '", model, "' in ", where, " holds W = ", short_number(w),
                                unit, ", L = ", short_number(l), unit);
    if (source) {
        text +=
            fmt::cat(" (the size that subcircuit '", source->subcircuit, "' at W = ", short_number(source->w),
                     ", L = ", short_number(source->l), " gives its device '", source->device, "'");
        // A finger count read back a hair above an integer shows as that integer.
        if (source->fingers != 1.0)
            text +=
                fmt::cat(", W per finger of nf = ", fmt::display(std::round(source->fingers * 1e6) / 1e6));
        text += ")";
    }
    if (scaled)
        text += fmt::cat(", made W = ", short_number(w * scale), " m, L = ", short_number(l * scale),
                         " m by the kit's .option scale = ", short_number(scale));
    text += "; its bins (L and W in m): ";
    const auto bound = [](std::optional<double> v) { return v ? short_number(*v) : std::string("none"); };
    for (std::size_t k = 0; k < bins.size() && k < kBinsShown; ++k) {
        const ModelBins& b = bins[k];
        text += fmt::cat(k ? "; " : "", b.name, " L ", bound(b.lmin), "..", bound(b.lmax), " W ",
                         bound(b.wmin), "..", bound(b.wmax));
    }
    if (bins.size() > kBinsShown) text += fmt::cat("; ... (", bins.size(), " bins)");
    return text;
}

std::string model_not_found(std::string_view model, std::string_view where) {
    return fmt::cat("model '", model, "' not found in ", where);
}

std::string card_type_message(std::string_view model, const Bsim4ModelCard& card, std::string_view wanted) {
    return fmt::cat("model '", model, "' is ", card.model_type, " (card '", card.name, "'), not ",
                    ascii_lower(wanted));
}

Result<const Bsim4ModelCard*, std::string> choose_card(const Kit& kit, std::string_view model,
                                                       std::string_view device_type, double length,
                                                       double width, std::string_view file) {
    const std::string where = fmt::cat("'", file, "'");
    if (!has_model(kit.cards, model)) return err(model_not_found(model, where));
    const Bsim4ModelCard* card =
        select_card_for_length(kit.cards, model, length * kit.scale, width * kit.scale);
    // ngspice: "could not find a valid modelname".
    if (!card)
        return err(bin_miss_message(model, where, width, length, kit.scale,
                                    bins_of(kit.cards, model, BinNaming::Loose)));
    return accept_card(kit, *card, model, device_type);
}

Result<const Bsim4ModelCard*, std::string> accept_card(const Kit& kit, const Bsim4ModelCard& card,
                                                       std::string_view model, std::string_view device_type) {
    // ngspice refuses a card with a value it cannot evaluate.
    if (const auto it = kit.refused.find(ascii_lower(card.name)); it != kit.refused.end())
        return err(it->second);
    if (!device_type.empty() && !ascii_iequals(card.model_type, device_type))
        return err(card_type_message(model, card, device_type));
    return &card;
}

double option_scale(const LogicalLines& lines) {
    double scale = 1.0;
    for (const std::string& line : lines) {
        const std::string_view word = first_word(line);
        if (!is_option_word(word)) continue;
        for (const auto& [name, value] :
             parse_key_value_pairs(std::string_view(line).substr(word.size()), {}))
            if (name == "scale") scale = value;
    }
    return scale;
}

Result<std::optional<std::string>, Bsim4Error> find_kit_cycle(const std::string& path,
                                                              std::optional<std::string_view> section,
                                                              std::string_view activity) {
    MORVA_ASSIGN(LogicalLines lines, read_logical_lines(path));
    LibraryText text{std::move(lines), std::nullopt, std::nullopt};
    Collector collector(!section, true, activity);
    const std::optional<std::string> name = section ? std::optional(ascii_lower(*section)) : std::nullopt;
    return collector.find_cycle(Source{&text, path, canonical_kit_path(path)}, name ? &*name : nullptr);
}

std::optional<std::string> kit_cycle_of(const Bsim4Error& error) {
    if (error.kind != Bsim4Error::Kind::KitCycle) return std::nullopt;
    return error.message;
}

Result<bool, Bsim4Error> has_section(const std::string& path, std::optional<std::string_view> section) {
    MORVA_ASSIGN(LogicalLines lines, read_logical_lines(path));
    LibraryText text{std::move(lines), std::nullopt, std::nullopt};
    const Source top{&text, path, canonical_kit_path(path)};
    Collector collector(!section, true);
    const std::optional<std::string> name = section ? std::optional(ascii_lower(*section)) : std::nullopt;
    if (auto cycle = collector.find_cycle(top, name ? &*name : nullptr))
        return err(Bsim4Error::kit_cycle(std::move(*cycle)));
    if (!name) return true;
    const bool found = collector.find_header(top, *name, 0).has_value();
    if (!found && !collector.limit().empty()) return err(limit_error(path, collector.limit()));
    return found;
}

std::string section_not_found(std::string_view section, const std::string& path) {
    return fmt::cat("section '.LIB ", section, "' not found in ", utf8_lossy(path));
}

Result<KitText, Bsim4Error> read_kit_text(const std::string& path, std::optional<std::string_view> section) {
    return read_library(path, section);
}

Kit kit_from_text(const KitText& text) {
    Kit kit;
    kit.section_found = text.section_found;
    kit.scale = option_scale(text.lines);
    kit.cards =
        extract_models(text.lines, params_outside_subcircuits(text.lines), &kit.refused, CardScope::TopLevel);
    return kit;
}

KitTemperatures kit_temperatures(const KitText& text, std::string_view subcircuit) {
    if (text.section_spans.empty()) return kit_temperatures(text.lines, subcircuit);
    return kit_temperatures(lines_outside_sections(text), subcircuit);
}

LogicalLines lines_outside_sections(const KitText& text) {
    LogicalLines out;
    std::size_t from = 0;
    const auto copy = [&](std::size_t to) {
        out.insert(out.end(), text.lines.begin() + static_cast<std::ptrdiff_t>(from),
                   text.lines.begin() + static_cast<std::ptrdiff_t>(to));
    };
    for (const auto& [first, last] : text.section_spans) {
        copy(first);
        from = last;
    }
    copy(text.lines.size());
    return out;
}

bool defines_top_level_name(const LogicalLines& lines, std::string_view name) {
    if (has_subcircuit(lines, name)) return true;
    SubcircuitDepth depth;
    for (const std::string& line : lines) {
        if (depth.in_subcircuit(line) || !ascii_istarts_with(line, ".model")) continue;
        if (const auto words = split_card(line); words && names_model(words->name, name, BinNaming::Loose))
            return true;
    }
    return false;
}

std::optional<std::string> section_needed(const KitText& text, std::string_view name,
                                          std::string_view where) {
    if (text.sections.empty() || !defines_top_level_name(text.lines, name) ||
        defines_top_level_name(lines_outside_sections(text), name))
        return std::nullopt;
    std::string sections;
    for (std::size_t k = 0; k < text.sections.size() && k < kSectionsShown; ++k)
        sections += fmt::cat(k ? ", " : "", text.sections[k]);
    if (text.sections.size() > kSectionsShown)
        sections += fmt::cat(", ... (", text.sections.size(), " sections)");
    return fmt::cat("model '", name, "' not found in ", where,
                    " outside its .lib sections; name the section to read with model_section (the file has: ",
                    sections, ")");
}

std::optional<std::string> top_level_model_problem(const KitText& text, const Kit& kit,
                                                   std::string_view model, std::string_view where,
                                                   std::string_view subcircuit_use) {
    if (auto problem = section_needed(text, model, where)) return problem;
    if (has_model(kit.cards, model)) return std::nullopt;
    return model_not_found(model, where) + defined_elsewhere(text.lines, model, subcircuit_use);
}

std::string defined_elsewhere(const LogicalLines& lines, std::string_view model,
                              std::string_view subcircuit_use) {
    if (has_subcircuit(lines, model)) return fmt::cat(": it is a subcircuit there, ", subcircuit_use);
    // The subcircuit whose body defines it at its own level.
    std::vector<std::string> open;  // the subcircuits being defined, outermost first
    for (const std::string& line : lines) {
        if (ascii_istarts_with(line, ".subckt")) {
            std::string_view rest;
            first_word(line, &rest);
            open.emplace_back(first_word(rest));
        } else if (ascii_istarts_with(line, ".ends")) {
            if (!open.empty()) open.pop_back();
        } else if (!open.empty() && ascii_istarts_with(line, ".model")) {
            if (const auto words = split_card(line);
                words && names_model(words->name, model, BinNaming::Loose))
                return fmt::cat(": it is defined inside subcircuit '", open.back(),
                                "' there, which alone sees it");
        }
    }
    return {};
}

Result<Kit, Bsim4Error> parse_kit(const std::string& path, std::optional<std::string_view> section) {
    MORVA_ASSIGN(const KitText text, read_kit_text(path, section));
    return kit_from_text(text);
}

void scale_instance_params(ParamList& params, double scale) {
    for (auto& [name, value] : params) {
        if (name == "ps" || name == "pd") value *= scale;
        if (name == "as" || name == "ad") value *= scale * scale;
    }
}

ParamMap params_outside_subcircuits(const LogicalLines& lines) {
    LogicalLines outside;
    SubcircuitDepth depth;
    for (const std::string& line : lines)
        if (!depth.in_subcircuit(line) && ascii_istarts_with(line, ".param")) outside.push_back(line);
    return collect_dot_params(outside);
}

namespace {

// Every word of the texts that could name a parameter, lower-case: runs of
// letters, digits, "_", "." and non-ASCII bytes (numbers too, harmlessly).
void add_words(std::string_view text, std::unordered_set<std::string>& words) {
    const auto name_char = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || static_cast<unsigned char>(c) >= 0x80;
    };
    for (std::size_t i = 0; i < text.size();) {
        if (!name_char(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && name_char(text[i])) ++i;
        words.insert(ascii_lower(text.substr(start, i - start)));
    }
}

RawParamList raw_param_list(std::string_view text) {
    RawParamList out;
    for (RawPair& raw : raw_pairs(text, PairForms::Assigned))
        if (!trim(raw.value).empty()) out.emplace_back(ascii_lower(raw.name), std::move(raw.value));
    return out;
}

// The header line of subcircuit `name` (lines.size() when none) and, in
// `rest`, its text after the name: the first definition outside every other,
// as one inside a subcircuit is that subcircuit's own.
std::size_t subcircuit_header(const LogicalLines& lines, std::string_view name, std::string_view* rest) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (ascii_istarts_with(lines[i], ".ends")) {
            if (depth > 0) --depth;
            continue;
        }
        if (!ascii_istarts_with(lines[i], ".subckt")) continue;
        std::string_view after;
        first_word(lines[i], &after);
        if (depth++ == 0 && ascii_iequals(first_word(after, &after), name)) {
            if (rest) *rest = after;
            return i;
        }
    }
    return lines.size();
}

// ngspice's refusal of a netlist that instantiates the subcircuit defined at
// line `header`: it orders the definitions of that subcircuit, of those
// defined inside it and of those its lines instantiate, and theirs (each
// once), as it drops only the unused subcircuits of the top level.
std::optional<std::string> subcircuit_refusal(const LogicalLines& lines, std::size_t header) {
    std::vector<std::size_t> pending{header};
    std::unordered_set<std::size_t> seen{header};
    std::vector<std::string> instantiated;
    while (!pending.empty()) {
        const std::size_t at = pending.back();
        pending.pop_back();
        instantiated.clear();
        if (auto problem = definition_refusal(lines, at, instantiated)) return problem;
        for (const std::string& name : instantiated) {
            const std::size_t found = subcircuit_header(lines, name, nullptr);
            if (found < lines.size() && seen.insert(found).second) pending.push_back(found);
        }
    }
    return std::nullopt;
}

// The model a device line of `body` names (lower-case), as ngspice reads a
// MOSFET line: the first word after its four nodes that names a model the
// device sees (a card of the body, a model or subcircuit of the top level),
// else that first word, whatever the nodes are called ("nb" and "ng"
// included). Of another line, or a MOSFET line too short for one, the first
// word that is neither the instance name, a parameter nor a short terminal
// name ("d", "g", "s", "b", "gb", "1"). None when no word qualifies.
std::optional<std::string> device_model(const SubcircuitDefaults& body, const LogicalLines& lines,
                                        std::string_view line) {
    const auto words = split_whitespace(line);
    if (!words.empty() && (words[0].front() == 'm' || words[0].front() == 'M')) {
        std::size_t positional = 0;
        while (positional < words.size() && words[positional].find('=') == std::string_view::npos)
            ++positional;
        constexpr std::size_t kFirstModelWord = 5;  // after the name and four nodes
        if (positional > kFirstModelWord) {
            for (std::size_t k = kFirstModelWord; k < positional; ++k)
                if (body.defines_model(words[k]) || defines_top_level_name(lines, words[k]))
                    return ascii_lower(words[k]);
            return ascii_lower(words[kFirstModelWord]);
        }
    }
    for (std::size_t k = 1; k < words.size(); ++k) {
        if (words[k].find('=') != std::string_view::npos) continue;
        std::string word = ascii_lower(words[k]);
        const bool terminal =
            word.size() <= 2 && word.find_first_not_of("0123456789ndgsb") == std::string::npos;
        if (!terminal) return word;
    }
    return std::nullopt;
}

}  // namespace

bool has_subcircuit(const LogicalLines& lines, std::string_view name) {
    return subcircuit_header(lines, name, nullptr) < lines.size();
}

std::optional<SubcircuitDefaults> extract_subcircuit_defaults_from_lines(const LogicalLines& lines,
                                                                         std::string_view name) {
    std::string_view header_rest;
    const std::size_t header = subcircuit_header(lines, name, &header_rest);
    if (header == lines.size()) return std::nullopt;

    SubcircuitDefaults defaults;
    defaults.name = std::string(name);
    // Header: node names have no "=", so every pair is a parameter default,
    // whatever its name ("sb", "sd" and "nf" included).
    const ParamMap no_params;
    for (const RawPair& raw : raw_pairs(header_rest, PairForms::Assigned)) {
        std::string key = ascii_lower(raw.name);
        std::string_view text = raw.value;
        while (!text.empty() && text.front() == '\'') text.remove_prefix(1);
        while (!text.empty() && text.back() == '\'') text.remove_suffix(1);
        if (text.empty()) continue;
        defaults.header.emplace_back(key, std::string(raw.value));
        if (auto v = parse_value(raw.value, no_params))
            defaults.params.insert_or_assign(std::move(key), *v);
        else
            defaults.exprs.insert_or_assign(std::move(key), std::string(text));
    }

    // The body at its own level: a subcircuit defined inside it is skipped.
    std::size_t depth = 0;
    for (std::size_t i = header + 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (ascii_istarts_with(line, ".ends")) {
            if (depth == 0) break;
            --depth;
            continue;
        }
        if (ascii_istarts_with(line, ".subckt")) ++depth;
        if (depth > 0) continue;
        if (ascii_istarts_with(line, ".param")) {
            for (auto& pair : raw_param_list(std::string_view(line).substr(6))) {
                if (auto v = parse_value(pair.second, no_params)) defaults.params.emplace(pair.first, *v);
                defaults.body_params.push_back(std::move(pair));
            }
            continue;
        }
        if (ascii_istarts_with(line, ".model")) {
            if (auto model = limit_texts(line)) defaults.models.push_back(std::move(*model));
            continue;
        }
        if (line.front() == '.' || line.front() == '*') continue;
        std::string_view rest;
        first_word(line, &rest);
        defaults.devices.push_back({line, raw_param_list(rest)});
    }
    // The body's cards are all known now: the first MOSFET line that names a
    // model gives the inner model (a resistor or diode beside the transistor
    // may stand before it), else the first other device line that names one.
    const auto adopt_first = [&](bool mosfets) {
        for (const SubcircuitDefaults::DeviceLine& device : defaults.devices) {
            const char kind = device.text.empty() ? '\0' : device.text.front();
            if ((kind == 'm' || kind == 'M') != mosfets) continue;
            if (auto model = device_model(defaults, lines, device.text)) {
                defaults.inner_model = std::move(*model);
                defaults.device = device.pairs;
                defaults.device_name = std::string(first_word(device.text));
                return true;
            }
        }
        return false;
    };
    if (!adopt_first(true)) adopt_first(false);
    // Only the kit's values the subcircuit's texts name: a kit holds thousands, and each
    // instance's evaluation starts from a copy of these.
    std::unordered_set<std::string> named;
    for (const RawParamList* pairs : {&defaults.header, &defaults.body_params})
        for (const auto& pair : *pairs) add_words(pair.second, named);
    for (const auto& device : defaults.devices)
        for (const auto& pair : device.pairs) add_words(pair.second, named);
    for (const auto& model : defaults.models) add_words(model.line, named);
    for (auto& [key, value] : params_outside_subcircuits(lines))
        if (named.count(key)) defaults.globals.emplace(key, value);
    defaults.parameter_refusal = subcircuit_refusal(lines, header);
    return defaults;
}

Result<std::optional<SubcircuitDefaults>, Bsim4Error> parse_subcircuit_defaults(const std::string& path,
                                                                                std::string_view name) {
    MORVA_ASSIGN(const KitText text, read_library(path, std::nullopt));
    return extract_subcircuit_defaults_from_lines(text.lines, name);
}

Result<std::optional<SubcircuitDefaults>, Bsim4Error> parse_subcircuit_defaults_section(
    const std::string& path, std::string_view name, std::string_view section) {
    MORVA_ASSIGN(const KitText text, read_library(path, section));
    return extract_subcircuit_defaults_from_lines(text.lines, name);
}

double substituted_value(double value) { return spice_expr::substituted_value(value); }

bool SubcircuitDefaults::defines_model(std::string_view model) const {
    return std::any_of(models.begin(), models.end(), [&](const BodyModel& body) {
        return names_model(body.name, model, BinNaming::Ngspice);
    });
}

std::vector<ModelBins> SubcircuitDefaults::local_bins(const ParamMap& scope) const {
    std::vector<ModelBins> bins;
    bins.reserve(models.size());
    for (const BodyModel& model : models) bins.push_back(evaluate_limits(model, scope));
    return bins;
}

ParamMap SubcircuitDefaults::scope(const ParamMap& passed) const {
    // One scope of the header's defaults and the body's definitions, the
    // last of a name counting, over the values outside the subcircuit; a
    // passed value replaces a definition.
    std::vector<param_order::Definition> definitions;
    definitions.reserve(header.size() + body_params.size());
    for (const RawParamList* pairs : {&header, &body_params})
        for (const auto& [name, text] : *pairs) definitions.push_back({name, text});
    ParamMap scope = globals;
    for (const auto& [name, value] : passed) scope.insert_or_assign(name, value);
    evaluate_definitions(definitions, param_order::order_definitions(definitions), &passed, scope);
    return scope;
}

std::vector<InstanceParam> SubcircuitDefaults::instance_params(const RawParamList& pairs,
                                                               const ParamMap& scope) {
    std::vector<InstanceParam> out;
    out.reserve(pairs.size());
    for (const auto& [name, text] : pairs)
        out.push_back({name, text, site_value(text, scope, ValueSite::DeviceLine),
                       !spice_expr::starts_like_number(trim(text))});
    return out;
}

std::vector<InstanceParam> SubcircuitDefaults::compute_instance_params(const ParamMap& passed) const {
    return instance_params(device, scope(passed));
}

InstanceSize instance_size(const std::vector<InstanceParam>& params) {
    InstanceSize size;
    for (const InstanceParam& p : params) {
        if (p.name == "w") size.w = p.value;
        if (p.name == "l") size.l = p.value;
        if (p.name == "nf") size.nf = p.value;
        if (p.name == "wnflag")
            size.wnflag = p.value ? std::optional<bool>(std::trunc(*p.value) != 0.0) : std::nullopt;
    }
    return size;
}

std::optional<double> InstanceSize::fingers_binned() const {
    if (!wnflag) return std::nullopt;
    if (!*wnflag) return 1.0;
    return nf;
}

std::optional<double> InstanceSize::binned_width(double width) const {
    const std::optional<double> fingers = fingers_binned();
    if (!fingers) return std::nullopt;
    return *wnflag ? width / *fingers : width;
}

namespace {

// The text after a `.temp` directive ("=" dropped), or none for another line.
std::optional<std::string_view> dot_temp_text(std::string_view line) {
    constexpr std::string_view kDirective = ".temp";
    if (!ascii_istarts_with(line, kDirective)) return std::nullopt;
    std::string_view rest = line.substr(kDirective.size());
    if (!rest.empty() && rest.front() != '=' && whitespace_at(rest, 0) == 0) return std::nullopt;
    rest = trim(rest);
    if (!rest.empty() && rest.front() == '=') rest = trim(rest.substr(1));
    return rest;
}

// TEMP as ngspice takes a `.temp` line's text: a group, or a number as a
// whole; nothing is 0, anything else its default.
template <class Params>
double dot_temp_value(std::string_view text, const Params& params) {
    constexpr double kDefaultCelsius = 27.0;
    if (text.empty()) return 0.0;
    std::optional<double> value;
    if (text.front() == '{' || text.front() == '\'')
        value = site_value(text, params(), ValueSite::DeviceLine);
    else if (is_decimal_number(text))
        value = parse_decimal(text);
    return value && std::isfinite(*value) ? *value : kDefaultCelsius;
}

// The value of an option's pair, as ngspice's command language reads it.
template <class Params>
std::optional<double> option_value(std::string_view text, const Params& params) {
    text = trim(text);
    if (!text.empty() && (text.front() == '{' || text.front() == '\''))
        return site_value(text, params(), ValueSite::Card);
    return spice_numbers::command_number(text);
}

}  // namespace

KitTemperatures kit_temperatures(const LogicalLines& lines, std::string_view subcircuit) {
    // A kit holds thousands of values; a temperature seldom names one.
    std::optional<ParamMap> values;
    const auto params = [&]() -> const ParamMap& {
        if (!values) values = params_outside_subcircuits(lines);
        return *values;
    };
    const std::size_t body =
        subcircuit.empty() ? lines.size() : subcircuit_header(lines, subcircuit, nullptr);
    KitTemperatures out;
    std::optional<std::string_view> dot_temp, body_temp;
    std::size_t depth = 0;
    bool in_body = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (ascii_istarts_with(line, ".subckt")) {
            if (depth++ == 0) in_body = i == body;
            continue;
        }
        if (ascii_istarts_with(line, ".ends")) {
            if (depth > 0) --depth;
            continue;
        }
        const bool own_level = depth == 0 || (in_body && depth == 1);
        if (!own_level) continue;
        if (const std::optional<std::string_view> text = dot_temp_text(line)) {
            (depth == 0 ? dot_temp : body_temp) = *text;
            continue;
        }
        std::string_view pairs;
        if (!is_option_word(first_word(line, &pairs))) continue;
        bool temp_seen = false, tnom_seen = false;
        for (const RawPair& raw : raw_pairs(pairs, PairForms::Assigned)) {
            const std::string name = ascii_lower(raw.name);
            bool* seen = name == "temp" ? &temp_seen : name == "tnom" ? &tnom_seen : nullptr;
            if (!seen || *seen) continue;
            *seen = true;
            if (const std::optional<double> v = option_value(raw.value, params))
                (name == "temp" ? out.temp : out.tnom) = *v;
        }
    }
    if (body_temp) dot_temp = body_temp;
    if (dot_temp) out.temp = dot_temp_value(*dot_temp, params);
    return out;
}

}  // namespace morva::spice::model_parser
