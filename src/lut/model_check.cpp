#include "lut/model_check.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "common/format.h"
#include "common/text.h"
#include "lut/netlists.h"

namespace morva::lut {
namespace {

namespace parser = spice::model_parser;
using parser::BinNaming;

using IncludeTexts = std::vector<std::optional<parser::KitText>>;

// The kit as the netlist holds it: every line read, in order.
struct Kit {
    const parser::LogicalLines& lines;
    std::vector<parser::ModelBins> models;
    double scale = 1.0;
    // The text has .if branches: every branch's cards and parameters are
    // here, which leaves names right (more of them) but not the values.
    bool conditional = false;
};

bool starts_directive(std::string_view line, std::string_view directive) {
    return ascii_iequals(first_word(line), directive);
}

// The lines of the model file (when there is one) and then of each include,
// copied only when there are several texts, into `joined`.
const parser::LogicalLines& all_lines(const parser::KitText* model_file, const IncludeTexts& includes,
                                      parser::LogicalLines& joined) {
    if (includes.empty()) return model_file->lines;
    if (!model_file && includes.size() == 1) return includes.front()->lines;
    if (model_file) joined = model_file->lines;
    for (const auto& text : includes) joined.insert(joined.end(), text->lines.begin(), text->lines.end());
    return joined;
}

Kit gather(const parser::LogicalLines& lines) {
    Kit kit{lines, {}, 1.0, false};
    for (const std::string& line : lines)
        if (starts_directive(line, ".if") || starts_directive(line, ".elseif")) kit.conditional = true;
    kit.models =
        parser::list_models(lines, parser::params_outside_subcircuits(lines), parser::CardScope::TopLevel);
    kit.scale = parser::option_scale(lines);
    return kit;
}

// A card of `model`: its own name, or one of its bins.
bool defines_model(const Kit& kit, std::string_view model, BinNaming naming = BinNaming::Ngspice) {
    for (const parser::ModelBins& card : kit.models)
        if (parser::names_model(card.name, model, naming)) return true;
    return false;
}

// Whether this reader can tell which bin ngspice gives a size: no value is
// left to an .if branch, and the kit's scale is a finite positive number.
bool sizes_binnable(const Kit& kit) {
    return !kit.conditional && std::isfinite(kit.scale) && kit.scale > 0.0;
}

// Whether ngspice finds no card of `model` among `cards` for a device of
// `w` x `l` (in the kit's unit), as far as this reader can tell.
bool misses(const Kit& kit, const std::vector<parser::ModelBins>& cards, std::string_view model, double w,
            double l) {
    bool unknown = false;
    return !parser::ngspice_card(cards, model, l * kit.scale, w * kit.scale, &unknown) && !unknown;
}

// Where the model was looked for.
std::string location(const LutConfig& config) {
    if (config.model_file)
        return fmt::cat("'", *config.model_file, "'",
                        config.model_includes.empty() ? "" : " or its model_includes");
    std::string files;
    for (const auto& include : config.model_includes)
        files += fmt::cat(files.empty() ? "" : ", ", "'", include.first, "'");
    return "model_includes " + files;
}

// A word ngspice reads as a name as it stands (no expression, no quotes).
bool plain_word(std::string_view word) {
    for (char c : word)
        if (c == '{' || c == '}' || c == '\'' || c == '"' || c == '(' || c == ')') return false;
    return !word.empty();
}

// A MOSFET line of a subcircuit body: its instance name, the model it names
// and its pairs.
struct Mosfet {
    std::string name;
    std::string model;
    const parser::RawParamList* pairs;
};

// ngspice takes the first word after four nodes that names a model the
// body's device sees (of the body, or of the top level); a line where none
// does (and every candidate is a plain name) names the first, given in
// `missing`. Nothing when the line cannot be followed.
std::optional<Mosfet> mosfet(const Kit& kit, const parser::SubcircuitDefaults& body,
                             const parser::SubcircuitDefaults::DeviceLine& line, std::string* missing) {
    if (line.text.front() != 'm' && line.text.front() != 'M') return std::nullopt;
    const std::vector<std::string_view> words = split_whitespace(line.text);
    std::size_t positional = 0;
    while (positional < words.size() && words[positional].find('=') == std::string_view::npos) ++positional;
    if (positional < 6) return std::nullopt;
    for (std::size_t k = 5; k < positional; ++k) {
        if (!plain_word(words[k])) return std::nullopt;
        if (body.defines_model(words[k]) || defines_model(kit, words[k]))
            return Mosfet{std::string(words[0]), std::string(words[k]), &line.pairs};
    }
    *missing = std::string(words[5]);
    return std::nullopt;
}

std::optional<std::string> subcircuit_problem(const LutConfig& config, const Kit& kit) {
    const std::optional<parser::SubcircuitDefaults> defaults =
        parser::extract_subcircuit_defaults_from_lines(kit.lines, config.model_name);
    if (!defaults) return std::nullopt;
    std::vector<Mosfet> devices;
    for (const auto& line : defaults->devices) {
        std::string missing;
        if (auto device = mosfet(kit, *defaults, line, &missing)) {
            devices.push_back(std::move(*device));
        } else if (!missing.empty()) {
            return fmt::cat("model '", missing, "' of subcircuit '", config.model_name, "' not found in ",
                            location(config));
        }
    }
    if (!sizes_binnable(kit)) return std::nullopt;
    for (double w : config.widths) {
        for (double l : config.lengths) {
            const parser::ParamMap scope = defaults->scope(sizes_passed(config, w, l));
            // The body's cards, whose limits may use its values.
            const std::vector<parser::ModelBins> local = defaults->local_bins(scope);
            for (const Mosfet& device : devices) {
                const parser::InstanceSize size =
                    parser::instance_size(parser::SubcircuitDefaults::instance_params(*device.pairs, scope));
                // A size that cannot be evaluated here, or none given
                // (ngspice's defaults for a card of that name; no bin
                // without both): ngspice's decision.
                if (!size.w || !size.l) continue;
                const std::optional<double> dw = size.binned_width(*size.w);
                const bool in_body = defaults->defines_model(device.model);
                const std::vector<parser::ModelBins>& cards = in_body ? local : kit.models;
                if (!dw || !misses(kit, cards, device.model, *dw, *size.l)) continue;
                const parser::SizeSource source{config.model_name, w, l, device.name, *size.fingers_binned()};
                const std::string where =
                    in_body ? fmt::cat("subcircuit '", defaults->name, "' of ", location(config))
                            : location(config);
                return parser::bin_miss_message(device.model, where, *dw, *size.l, kit.scale,
                                                parser::bins_of(cards, device.model, BinNaming::Ngspice),
                                                &source);
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
    if (!sizes_binnable(kit)) return std::nullopt;
    for (double w : config.widths) {
        for (double l : config.lengths) {
            if (misses(kit, kit.models, config.model_name, device_line_size(w), device_line_size(l)))
                return parser::bin_miss_message(
                    config.model_name, location(config), w, l, kit.scale,
                    parser::bins_of(kit.models, config.model_name, BinNaming::Ngspice));
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> model_problem(const LutConfig& config, const parser::KitText* model_file,
                                         const IncludeTexts& includes, ModelUse use) {
    // Without a model file, the includes alone are the kit.
    if (config.model_file ? !model_file || !model_file->complete : config.model_includes.empty())
        return std::nullopt;
    if (includes.size() != config.model_includes.size()) return std::nullopt;
    for (const auto& text : includes)
        if (!text || !text->complete) return std::nullopt;
    const std::string& name = config.model_name;
    const std::string where = location(config);
    // Included whole, a library is to ngspice what lies outside its sections.
    if (config.model_file && !config.model_section) {
        const bool included = std::any_of(includes.begin(), includes.end(), [&](const auto& text) {
            return parser::defines_top_level_name(text->lines, name);
        });
        if (!included) {
            if (auto problem = parser::section_needed(*model_file, name, where)) return problem;
        }
    }
    parser::LogicalLines joined;
    const Kit kit = gather(all_lines(config.model_file ? model_file : nullptr, includes, joined));
    const bool model =
        defines_model(kit, name, use == ModelUse::Pool ? BinNaming::Ngspice : BinNaming::Loose);
    const bool subcircuit = parser::has_subcircuit(kit.lines, name);
    if (use == ModelUse::Native) {
        if (model || subcircuit) return std::nullopt;
        return parser::model_not_found(name, where) +
               parser::defined_elsewhere(kit.lines, name, "which needs subcircuit=True");
    }
    if (!config.subcircuit) {
        if (model) return device_problem(config, kit);
        return parser::model_not_found(name, where) +
               parser::defined_elsewhere(kit.lines, name, "which needs subcircuit=True");
    }
    if (subcircuit) return subcircuit_problem(config, kit);
    return fmt::cat("subcircuit '", name, "' not found in ", where,
                    model ? ": it is a model there, which needs subcircuit=False" : "");
}

double device_line_size(double value) {
    return spice::spice_expr::leading_number(generate_ngspice::exact_number(value, 3)).value_or(value);
}

parser::ParamMap sizes_passed(const LutConfig& config, double w, double l) {
    parser::ParamMap passed;
    passed.insert_or_assign(ascii_lower(config.length_param), l);
    passed.insert_or_assign(ascii_lower(config.width_param), w);
    return passed;
}

}  // namespace morva::lut
