#include "lut/model_check.h"

#include <cmath>
#include <cstddef>
#include <map>
#include <utility>

#include "common/format.h"
#include "common/text.h"

namespace morva::lut {
namespace {

namespace parser = spice::model_parser;

// ngspice takes a size within 1 nm of a bin's limit as inside it.
constexpr double kBinEdge = 1e-9;
// Bins listed in a refusal; a kit may bin one model a hundred times.
constexpr std::size_t kBinsShown = 12;

using IncludeTexts = std::vector<std::optional<parser::KitText>>;

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

// The kit as the netlist holds it: every line read, in order.
struct Kit {
    const parser::LogicalLines& lines;
    parser::ParamMap globals;  // of the `.param` lines outside subcircuits
    std::vector<parser::ModelBins> models;
    double scale = 1.0;
    // The first definition of each subcircuit (lower-case name): its header
    // line and the line that ends it (lines.size() when none does).
    std::map<std::string, std::pair<std::size_t, std::size_t>> subcircuits;
    // The text has .if branches: every branch's cards and parameters are
    // here, which leaves names right (more of them) but not the values.
    bool conditional = false;
};

bool starts_directive(std::string_view line, std::string_view directive) {
    return ascii_iequals(first_word(line), directive);
}

// The lines of the model file and then of each include, copied only when
// there are includes, into `joined`.
const parser::LogicalLines& all_lines(const parser::KitText& model_file, const IncludeTexts& includes,
                                      parser::LogicalLines& joined) {
    if (includes.empty()) return model_file.lines;
    joined = model_file.lines;
    for (const auto& text : includes) joined.insert(joined.end(), text->lines.begin(), text->lines.end());
    return joined;
}

Kit gather(const parser::LogicalLines& lines) {
    Kit kit{lines, {}, {}, 1.0, {}, false};
    parser::LogicalLines outside;
    std::size_t depth = 0, header = 0;
    std::string name;
    for (std::size_t i = 0; i < kit.lines.size(); ++i) {
        const std::string& line = kit.lines[i];
        if (starts_directive(line, ".if") || starts_directive(line, ".elseif")) kit.conditional = true;
        if (starts_directive(line, ".subckt")) {
            if (depth++ == 0) {
                header = i;
                std::string_view rest;
                first_word(line, &rest);
                name = ascii_lower(first_word(rest));
            }
            continue;
        }
        if (starts_directive(line, ".ends") && depth > 0) {
            if (--depth == 0) kit.subcircuits.emplace(name, std::make_pair(header, i));
            continue;
        }
        if (depth == 0) outside.push_back(line);
    }
    if (depth > 0) kit.subcircuits.emplace(name, std::make_pair(header, kit.lines.size()));
    kit.globals = parser::collect_dot_params(outside);
    kit.models = parser::list_models(kit.lines, kit.globals);
    kit.scale = parser::option_scale(kit.lines);
    return kit;
}

// A bin of `model` as ngspice names them: "model.N", N digits only.
bool is_bin_of(std::string_view card, std::string_view model) {
    if (card.size() <= model.size() + 1 || !ascii_istarts_with(card, model) || card[model.size()] != '.')
        return false;
    for (char c : card.substr(model.size() + 1))
        if (c < '0' || c > '9') return false;
    return true;
}

// A card of `model`: its own name, or one of its bins (with `strict`, as
// ngspice names them; else any "model.*", as the native reader takes them).
bool defines_model(const Kit& kit, std::string_view model, bool strict = true) {
    for (const parser::ModelBins& card : kit.models) {
        if (ascii_iequals(card.name, model)) return true;
        if (strict ? is_bin_of(card.name, model) : ascii_istarts_with(card.name, ascii_lower(model) + "."))
            return true;
    }
    return false;
}

enum class Fit { Holds, Misses, Unknown };

bool within(double v, double lo, double hi) { return lo - kBinEdge <= v && v <= hi + kBinEdge; }

// Whether ngspice finds a card of `model` for a device of `w` x `l` metres
// (scaled): its own card whatever the size, else a bin that gives all four
// limits and holds both.
Fit fit(const Kit& kit, std::string_view model, double w, double l) {
    bool unknown = false;
    for (const parser::ModelBins& card : kit.models) {
        if (ascii_iequals(card.name, model)) return Fit::Holds;
        if (!is_bin_of(card.name, model)) continue;
        if (!card.lmin || !card.lmax || !card.wmin || !card.wmax) continue;
        const double limits[] = {*card.lmin, *card.lmax, *card.wmin, *card.wmax};
        bool all = true;
        for (double x : limits) all = all && !std::isnan(x);
        if (!all) {
            unknown = true;
            continue;
        }
        if (within(l, *card.lmin, *card.lmax) && within(w, *card.wmin, *card.wmax)) return Fit::Holds;
    }
    return unknown ? Fit::Unknown : Fit::Misses;
}

std::vector<BinRange> bins_of(const Kit& kit, std::string_view model) {
    std::vector<BinRange> bins;
    for (const parser::ModelBins& card : kit.models)
        if (is_bin_of(card.name, model))
            bins.push_back({card.name, card.lmin, card.lmax, card.wmin, card.wmax});
    return bins;
}

// Where the model was looked for.
std::string location(const LutConfig& config) {
    return fmt::cat("'", *config.model_file, "'",
                    config.model_includes.empty() ? "" : " or its model_includes");
}

// A word ngspice reads as a name as it stands (no expression, no quotes).
bool plain_word(std::string_view word) {
    for (char c : word)
        if (c == '{' || c == '}' || c == '\'' || c == '"' || c == '(' || c == ')') return false;
    return !word.empty();
}

// A MOSFET line of a subcircuit body: the model it names and the text of
// its parameters, or nothing when the line cannot be followed.
struct DeviceLine {
    std::string name;
    std::string model;
    std::string_view params;
};

// ngspice takes the first word after four nodes that names a model; a line
// where none does (and every candidate is a plain name) names the first.
std::optional<DeviceLine> device_line(const Kit& kit, std::string_view line, std::string* missing) {
    const std::vector<std::string_view> words = split_whitespace(line);
    std::size_t positional = 0;
    while (positional < words.size() && words[positional].find('=') == std::string_view::npos) ++positional;
    if (positional < 6) return std::nullopt;
    for (std::size_t k = 5; k < positional; ++k) {
        if (!plain_word(words[k])) return std::nullopt;
        if (defines_model(kit, words[k])) {
            const char* end = words[k].data() + words[k].size();
            return DeviceLine{std::string(words[0]), std::string(words[k]),
                              line.substr(static_cast<std::size_t>(end - line.data()))};
        }
    }
    *missing = std::string(words[5]);
    return std::nullopt;
}

std::optional<std::string> subcircuit_problem(const LutConfig& config, const Kit& kit) {
    const auto [header, end] = kit.subcircuits.at(ascii_lower(config.model_name));
    // The devices of the body at its own level (a nested definition is not one).
    std::vector<DeviceLine> devices;
    std::vector<std::size_t> params;  // the body's own `.param` lines
    std::size_t depth = 0;
    for (std::size_t i = header + 1; i < end; ++i) {
        const std::string& line = kit.lines[i];
        if (starts_directive(line, ".subckt")) ++depth;
        if (starts_directive(line, ".ends") && depth > 0) --depth;
        if (depth > 0) continue;
        if (ascii_istarts_with(line, ".param")) params.push_back(i);
        if (line.front() != 'm' && line.front() != 'M') continue;
        std::string missing;
        if (auto device = device_line(kit, line, &missing)) {
            devices.push_back(std::move(*device));
        } else if (!missing.empty()) {
            return fmt::cat("model '", missing, "' of subcircuit '", config.model_name, "' not found in ",
                            location(config));
        }
    }
    if (kit.conditional || !(std::isfinite(kit.scale) && kit.scale > 0.0)) return std::nullopt;
    std::string_view header_rest;
    first_word(kit.lines[header], &header_rest);
    first_word(header_rest, &header_rest);
    for (double w : config.widths) {
        for (double l : config.lengths) {
            // What the body sees: the header's defaults, the instance's W and
            // L, then its own parameters in order.
            parser::ParamMap values = kit.globals;
            for (auto& [name, value] : parser::parse_key_value_pairs(header_rest, kit.globals))
                values.insert_or_assign(std::move(name), value);
            values.insert_or_assign(ascii_lower(config.width_param), w);
            values.insert_or_assign(ascii_lower(config.length_param), l);
            for (std::size_t i : params) {
                for (auto& [name, value] :
                     parser::parse_key_value_pairs(std::string_view(kit.lines[i]).substr(6), values))
                    values.insert_or_assign(std::move(name), value);
            }
            for (const DeviceLine& device : devices) {
                std::optional<double> dw, dl;
                for (const auto& [name, value] : parser::parse_key_value_pairs(device.params, values)) {
                    if (name == "w") dw = value;
                    if (name == "l") dl = value;
                }
                // A size that cannot be evaluated here, or none given
                // (ngspice's defaults then): its decision.
                if (!dw || !dl) continue;
                if (fit(kit, device.model, *dw * kit.scale, *dl * kit.scale) != Fit::Misses) continue;
                return bin_miss_message(device.model, location(config), *dw, *dl, kit.scale,
                                        bins_of(kit, device.model),
                                        fmt::cat("that subcircuit '", config.model_name, "' at W = ",
                                                 short_number(w), ", L = ", short_number(l),
                                                 " gives its device '", device.name, "'"));
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> device_problem(const LutConfig& config, const Kit& kit) {
    // The netlist's device line sets the sizes ngspice bins on only under
    // these names; with others ngspice decides.
    if (!ascii_iequals(config.width_param, "w") || !ascii_iequals(config.length_param, "l"))
        return std::nullopt;
    if (kit.conditional || !(std::isfinite(kit.scale) && kit.scale > 0.0)) return std::nullopt;
    for (double w : config.widths) {
        for (double l : config.lengths) {
            if (fit(kit, config.model_name, w * kit.scale, l * kit.scale) == Fit::Misses)
                return bin_miss_message(config.model_name, location(config), w, l, kit.scale,
                                        bins_of(kit, config.model_name));
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> model_problem(const LutConfig& config, const parser::KitText* model_file,
                                         const IncludeTexts& includes, ModelUse use) {
    if (!config.model_file || !model_file || !model_file->complete) return std::nullopt;
    for (const auto& text : includes)
        if (!text || !text->complete) return std::nullopt;
    parser::LogicalLines joined;
    const Kit kit = gather(all_lines(*model_file, includes, joined));
    const std::string& name = config.model_name;
    const bool model = defines_model(kit, name, use == ModelUse::Pool);
    const bool subcircuit = kit.subcircuits.count(ascii_lower(name)) > 0;
    const std::string where = location(config);
    if (use == ModelUse::Native) {
        if (model || subcircuit) return std::nullopt;
        return fmt::cat("model '", name, "' not found in ", where);
    }
    if (!config.subcircuit) {
        if (model) return device_problem(config, kit);
        return fmt::cat("model '", name, "' not found in ", where,
                        subcircuit ? ": it is a subcircuit there, which needs subcircuit=True" : "");
    }
    if (subcircuit) return subcircuit_problem(config, kit);
    return fmt::cat("subcircuit '", name, "' not found in ", where,
                    model ? ": it is a model there, which needs subcircuit=False" : "");
}

std::string bin_miss_message(std::string_view model, std::string_view where, double w, double l, double scale,
                             const std::vector<BinRange>& bins, std::string_view device) {
    const bool scaled = scale != 1.0;
    const char* unit = scaled ? "" : " m";
    std::string text = fmt::cat("no bin of model '", model, "' in ", where, " holds W = ", short_number(w),
                                unit, ", L = ", short_number(l), unit);
    if (!device.empty()) text += fmt::cat(" (the size ", std::string(device), ")");
    if (scaled)
        text += fmt::cat(", made W = ", short_number(w * scale), " m, L = ", short_number(l * scale),
                         " m by the kit's .option scale = ", short_number(scale));
    text += "; its bins (L and W in m): ";
    const auto bound = [](std::optional<double> v) { return v ? short_number(*v) : std::string("none"); };
    for (std::size_t k = 0; k < bins.size() && k < kBinsShown; ++k) {
        const BinRange& b = bins[k];
        text += fmt::cat(k ? "; " : "", b.name, " L ", bound(b.lmin), "..", bound(b.lmax), " W ",
                         bound(b.wmin), "..", bound(b.wmax));
    }
    if (bins.size() > kBinsShown) text += fmt::cat("; ... (", bins.size(), " bins)");
    return text;
}

}  // namespace morva::lut
