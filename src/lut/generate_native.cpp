#include "lut/generate_native.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "bsim4/native.h"
#include "bsim4/solver.h"
#include "common/format.h"
#include "common/task_set.h"
#include "common/text.h"
#include "lut/generate_ngspice.h"
#include "lut/model_check.h"
#include "lut/netlists.h"
#include "spice/model_parser.h"

namespace morva::lut {
namespace {

namespace parser = spice::model_parser;
using bsim4::native::Bsim4Model;
using bsim4::native::UniqueInstance;
using generate_ngspice::Messages;
using generate_ngspice::ParamMask;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kGmbs = 6, kVth = 9, kVdsat = 10;

// Points per call of the evaluator's grid: between two checks for cancellation.
constexpr std::size_t kGridPoints = 4096;

// One (W, L) pair's transistor: as the configuration gives it, or as the
// device line of the subcircuit wrapping it makes it for the X line the pool
// path writes.
struct Device {
    double w = 0.0, l = 0.0;  // metres, scaled
    // The size its card is chosen by, as ngspice reads it from the device
    // line (w / nf with wnflag), scaled.
    double bin_w = 0.0, bin_l = 0.0;
    // The values the wrapping subcircuit's lines see for this pair: the
    // cards of its body are read in them.
    parser::ParamMap scope;
    double m = 1.0;                       // parallel devices: currents and slopes are m times one's
    parser::ParamList params;             // for the evaluator's instance, scaled
    parser::ParamList given;              // every instance parameter the line gives, for the network report
    std::vector<std::string> unmodelled;  // "name=value" of those the evaluator has no input for
    // For a refusal: the width and length binned, before the scale, and
    // where they come from when a subcircuit's device line sets them.
    double asked_w = 0.0, asked_l = 0.0;
    std::optional<parser::SizeSource> source;
};

// What every work item shares, read only.
struct Plan {
    // Its `.option scale` is the unit of the configured widths and lengths.
    parser::Kit kit;
    std::vector<const parser::Bsim4ModelCard*> bins;  // [wi * n_l + li]
    // The cards of the subcircuit's body that serve the pairs, each read in
    // its pair's scope (bins point into it).
    std::deque<parser::Bsim4ModelCard> scoped_cards;
    std::string model_type;  // of the first bin, for every item
    // +1 or -1: the table holds the pool path's terminal voltages (negative
    // for a conducting p-channel device), the evaluator wants the n-channel
    // frame.
    double type_sign = 1.0;
    std::optional<parser::SubcircuitDefaults> defaults;
    std::vector<Device> devices;  // [wi * n_l + li]
    std::vector<double> lengths, vbs, vgs, vds;
    ParamMask requested{};
    bool use_dc_solver = false;
    // The kit's, as the pool path's netlist sets them.
    bsim4::native::Temperatures temperatures;
    // The settings DcSolver uses, at the kit's temperature.
    bsim4::solver::SolverConfig solver;
};

std::string geometry_text(double w, double l) {
    return fmt::cat("W=", fmt::exp(w, 3), " L=", fmt::exp(l, 3));
}

// The values one bias point contributes, in the pool path's signs: ids as
// the drain terminal's current (what the pool path measures: channel,
// substrate current, GIDL, less the drain junction with gmin), gm, gds and
// gmbs its exact slopes along the table's axes, vth and vdsat as ngspice
// reports them (in the n-channel frame, positive for an enhancement device
// of either type).
struct PointValues {
    double ids, gm, gds, gmbs, vth, vdsat;
};

// `m` parallel devices carry m times one's currents, at one's voltages.
PointValues point_values(const Plan& plan, double m, const Bsim4DcResults& dc,
                         const Bsim4TerminalResults& t) {
    const double s = plan.type_sign;
    return PointValues{m * t.id, m * t.gm, m * t.gds, m * t.gmbs, s * dc.vth, s * dc.vdsat};
}

// The solved operating point's channel current with the side currents and
// slopes of the evaluation at the applied bias.
std::optional<PointValues> solve_point(const Plan& plan, double m, Bsim4InstanceHandle instance, double vgs,
                                       double vds, double vbs) {
    const double s = plan.type_sign;
    const bsim4::solver::DcOpResult r =
        bsim4::solver::dc_operating_point(plan.solver, instance, s * vgs, s * vds, 0.0, s * vbs);
    if (!r.converged) return std::nullopt;
    Bsim4DcResults dc{};
    Bsim4TerminalResults t{};
    if (bsim4_eval_dc_terminal(instance, &dc, &t, s * vgs, s * vds, s * vbs, plan.temperatures.temp_k) !=
        BSIM4_OK)
        return std::nullopt;
    PointValues p = point_values(plan, m, dc, t);
    p.ids = m * (r.ids + (t.id - dc.ids));
    p.vth = s * r.vth;
    p.vdsat = s * r.vdsat;
    return p;
}

// The error of a bias point (table voltages) whose inputs give no finite current, naming the
// parameter that makes it so when a single one does.
NgspiceError not_finite(const Plan& plan, const Device& device, const parser::Bsim4ModelCard& card,
                        double vgs, double vds, double vbs) {
    const double s = plan.type_sign;
    const auto cause =
        bsim4::native::non_finite_cause(plan.model_type, card.params, device.params, device.w, device.l,
                                        s * vgs, s * vds, s * vbs, plan.temperatures);
    std::string who = fmt::cat("card '", card.name, "'");
    if (cause && cause->instance)
        who = fmt::cat(cause->name, " = ", fmt::debug(cause->value), " on the device line of subcircuit '",
                       plan.defaults ? plan.defaults->name : std::string(), "'");
    else if (cause)
        who = fmt::cat(cause->name, " = ", fmt::debug(cause->value), " on ", who);
    return NgspiceError::simulation(fmt::cat(who, " gives no finite drain current at ",
                                             geometry_text(device.w, device.l), " Vgs=", fmt::debug(vgs),
                                             " Vds=", fmt::debug(vds), " Vbs=", fmt::debug(vbs)));
}

// The code of a direct evaluation at the bias (table voltages).
int evaluation_code(const Plan& plan, Bsim4InstanceHandle instance, double vgs, double vds, double vbs) {
    const double s = plan.type_sign;
    Bsim4DcResults dc{};
    Bsim4TerminalResults t{};
    return bsim4_eval_dc_terminal(instance, &dc, &t, s * vgs, s * vds, s * vbs, plan.temperatures.temp_k);
}

// The part of the table one work item evaluates: a (W, L) pair, its Vbs
// values [vbs_first, vbs_first + vbs_count) and Vgs rows [row_first,
// row_first + row_count).
struct Item {
    std::size_t wi = 0, li = 0;
    std::size_t vbs_first = 0, vbs_count = 0;
    std::size_t row_first = 0, row_count = 0;
};

// Vgs rows per call of the evaluator's grid.
std::size_t grid_rows(std::size_t n_vds) {
    return std::max<std::size_t>(1, kGridPoints / std::max<std::size_t>(n_vds, 1));
}

// The table's grids, which every work item writes into, each item only at
// its own (W, Vbs, L, Vgs rows) blocks; null for a grid not extracted.
struct Grids {
    double* id = nullptr;
    double* gm = nullptr;
    double* gds = nullptr;
    std::array<double*, kOpParamCount> op{};
    std::array<std::size_t, 5> dims{};

    // The offset of point (row, vds index k) of Vbs value `v`'s block of an item.
    std::size_t offset(const Item& item, std::size_t v, std::size_t row, std::size_t k) const {
        return (((item.wi * dims[1] + v) * dims[2] + item.li) * dims[3] + item.row_first + row) * dims[4] + k;
    }

    // Every point of `item` back to NaN.
    void clear(const Item& item) const {
        const std::size_t block = item.row_count * dims[4];
        for (std::size_t v = item.vbs_first; v < item.vbs_first + item.vbs_count; ++v) {
            const std::size_t at = offset(item, v, 0, 0);
            for (double* grid : {id, gm, gds}) std::fill_n(grid + at, block, kNaN);
            for (double* grid : op)
                if (grid) std::fill_n(grid + at, block, kNaN);
        }
    }
};

// One work item: its own model and instance serve every bias point, whose
// values it writes straight into the table (NaN where a point failed to
// evaluate or converge).
Result<std::size_t, NgspiceError> run_work_item(const Plan& plan, const Item& item, std::size_t index,
                                                const Grids& grids, const CancelToken& token) {
    const std::size_t pair = item.wi * plan.lengths.size() + item.li;
    const Device& device = plan.devices[pair];
    const double w = device.w, l = device.l, m = device.m;
    const parser::Bsim4ModelCard& card = *plan.bins[pair];
    std::optional<Bsim4Model> model =
        Bsim4Model::from_params(plan.model_type, card.params, plan.temperatures);
    if (!model) return err(NgspiceError::simulation(fmt::cat("model_create failed ", geometry_text(w, l))));
    // Declared after the model, so freed before it. Without a subcircuit the
    // parameters are none: W and L alone.
    std::string problem;
    UniqueInstance instance(model->instance_with_params(device.params, w, l, &problem));
    if (!instance)
        return err(NgspiceError::simulation(
            fmt::cat("instance_create failed ", geometry_text(w, l), problem.empty() ? "" : ": ", problem)));

    const std::size_t n_vgs = item.row_count, n_vds = plan.vds.size();
    const PointValues failed{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
    const auto store = [&](std::size_t at, const PointValues& p) {
        grids.id[at] = p.ids;
        grids.gm[at] = p.gm;
        grids.gds[at] = p.gds;
        if (double* gmbs = grids.op[kGmbs]) gmbs[at] = p.gmbs;
        if (double* vth = grids.op[kVth]) vth[at] = p.vth;
        if (double* vdsat = grids.op[kVdsat]) vdsat[at] = p.vdsat;
    };
    if (plan.use_dc_solver) {
        for (std::size_t v = item.vbs_first; v < item.vbs_first + item.vbs_count; ++v) {
            const double vbs = plan.vbs[v];
            for (std::size_t row = 0; row < n_vgs; ++row) {
                const double vgs = plan.vgs[item.row_first + row];
                // Results of an aborted set are dropped: stop early.
                if (token.cancelled()) return err(NgspiceError::simulation("cancelled"));
                std::size_t at = grids.offset(item, v, row, 0);
                for (double vds : plan.vds) {
                    const std::optional<PointValues> p = solve_point(plan, m, instance.get(), vgs, vds, vbs);
                    if (!p && evaluation_code(plan, instance.get(), vgs, vds, vbs) == BSIM4_ERR_NOT_FINITE)
                        return err(not_finite(plan, device, card, vgs, vds, vbs));
                    store(at++, p ? *p : failed);
                }
            }
        }
        return index;
    }

    // Rows of Vgs evaluated as one grid, a few thousand points at a time: the evaluator reuses
    // what it computed for a body, gate or junction voltage across a grid.
    const double sign = plan.type_sign;
    const std::size_t rows = grid_rows(n_vds);
    std::vector<double> vgs(n_vgs), vds(n_vds);
    for (std::size_t i = 0; i < n_vgs; ++i) vgs[i] = sign * plan.vgs[item.row_first + i];
    for (std::size_t k = 0; k < n_vds; ++k) vds[k] = sign * plan.vds[k];
    std::vector<Bsim4DcResults> out(std::min(rows, n_vgs) * n_vds);
    std::vector<Bsim4TerminalResults> terminal(out.size());
    std::vector<int> codes(out.size());
    for (std::size_t v = item.vbs_first; v < item.vbs_first + item.vbs_count; ++v) {
        const double vbs = plan.vbs[v];
        for (std::size_t row = 0; row < n_vgs; row += rows) {
            // Results of an aborted set are dropped: stop early.
            if (token.cancelled()) return err(NgspiceError::simulation("cancelled"));
            const std::size_t n_rows = std::min(rows, n_vgs - row);
            const bool evaluated =
                bsim4_eval_dc_terminal_grid(instance.get(), &vgs[row], n_rows, vds.data(), n_vds, sign * vbs,
                                            plan.temperatures.temp_k, out.data(), terminal.data(),
                                            codes.data()) == BSIM4_OK;
            // A point that cannot give a finite current fails the table; one that failed
            // otherwise (a series-resistance loop that did not settle) is NaN.
            for (std::size_t k = 0; evaluated && k < n_rows * n_vds; ++k) {
                if (codes[k] == BSIM4_ERR_NOT_FINITE)
                    return err(not_finite(plan, device, card, plan.vgs[item.row_first + row + k / n_vds],
                                          plan.vds[k % n_vds], vbs));
            }
            std::size_t at = grids.offset(item, v, row, 0);
            for (std::size_t k = 0; k < n_rows * n_vds; ++k, ++at)
                store(at, evaluated && codes[k] == BSIM4_OK ? point_values(plan, m, out[k], terminal[k])
                                                            : failed);
        }
    }
    return index;
}

// The cores this process may run on.
std::size_t usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(std::thread::hardware_concurrency(), 1u);
}

// The work items of a table: one per (W, L) pair when the pairs keep every
// thread busy; else one per pair and Vbs value, and, when those are still
// fewer than four items a thread, per block of Vgs rows as well. Blocks are
// whole multiples of the evaluator's grid calls, so that every point is
// evaluated in the same call as in an unsplit item.
std::vector<Item> split_items(std::size_t n_w, std::size_t n_l, std::size_t n_vbs, std::size_t n_vgs,
                              std::size_t n_vds, std::size_t threads) {
    std::vector<Item> out;
    const std::size_t pairs = n_w * n_l;
    const bool whole = pairs >= threads;
    std::size_t block = n_vgs;
    if (!whole && pairs * n_vbs < 4 * threads && n_vgs > 0) {
        const std::size_t per_plane = (4 * threads + pairs * n_vbs - 1) / (pairs * n_vbs);
        const std::size_t rows = grid_rows(n_vds);
        const std::size_t calls = (n_vgs + rows - 1) / rows;
        block = std::max<std::size_t>(1, (calls + per_plane - 1) / per_plane) * rows;
    }
    for (std::size_t wi = 0; wi < n_w; ++wi) {
        for (std::size_t li = 0; li < n_l; ++li) {
            if (whole) {
                out.push_back({wi, li, 0, n_vbs, 0, n_vgs});
                continue;
            }
            for (std::size_t v = 0; v < n_vbs; ++v) {
                for (std::size_t row = 0; row < n_vgs || row == 0; row += block) {
                    out.push_back({wi, li, v, 1, row, std::min(block, n_vgs - row)});
                    if (n_vgs == 0) break;
                }
            }
        }
    }
    return out;
}

// The product of the axis sizes, or nothing when it overflows.
std::optional<std::size_t> checked_product(std::initializer_list<std::size_t> sizes) {
    std::size_t p = 1;
    for (std::size_t s : sizes) {
        if (s != 0 && p > std::numeric_limits<std::size_t>::max() / s) return std::nullopt;
        p *= s;
    }
    return p;
}

bool dump_requested() {
    const char* value = std::getenv("MORVA_DUMP_NATIVE_PARAMS");
    return value && utf8_valid(std::string_view(value), false);
}

void dump_params(const parser::Bsim4ModelCard& card, Messages& messages) {
    std::map<std::string, double> by_name;
    for (const auto& [name, value] : card.params) by_name[ascii_lower(name)] = value;
    std::string text = fmt::cat("  [native] === Parameters for bin '", card.name, "' ===\n");
    for (std::string_view name : DUMP_PARAM_NAMES) {
        std::string padded(name);
        if (padded.size() < 10) padded.resize(10, ' ');
        const auto it = by_name.find(std::string(name));
        text += fmt::cat("    ", padded, " = ",
                         it == by_name.end() ? std::string("(default)") : fmt::exp(it->second, 6), "\n");
    }
    text += "  [native] === End parameters ===\n";
    messages.err(text);
}

std::string bin_names(const std::vector<const parser::Bsim4ModelCard*>& bins) {
    std::vector<std::string> names;
    for (const parser::Bsim4ModelCard* card : bins) names.push_back(card->name);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string out;
    for (const std::string& name : names) out += fmt::cat(out.empty() ? "" : ", ", name);
    return out;
}

// One line for each network the table's cards ask for that the evaluator does not solve, for each
// instance parameter it has no input for, and for a card version whose equations ngspice runs and
// the evaluator does not, naming every card concerned: once per generation, however many (W, L)
// pairs use a card (the instance parameters are those of the card's first pair).
void report_unsolved_networks(const Plan& plan, Messages& messages) {
    std::vector<std::pair<std::string, std::string>> networks;  // what is not solved, and by whom
    for (std::size_t k = 0; k < plan.bins.size(); ++k) {
        const parser::Bsim4ModelCard* card = plan.bins[k];
        if (std::find(plan.bins.begin(), plan.bins.begin() + k, card) != plan.bins.begin() + k) continue;
        const Device& device = plan.devices[k];
        std::vector<std::string> unsolved = bsim4::native::unsolved_networks(card->params, device.given);
        if (auto version = bsim4::native::version_notice(card->params))
            unsolved.push_back(std::move(*version));
        for (const std::string& given : device.unmodelled)
            unsolved.push_back(
                fmt::cat(given, ": not modelled by the native evaluator; the table is computed without it"));
        for (std::string& network : unsolved) {
            auto same = std::find_if(networks.begin(), networks.end(),
                                     [&](const auto& n) { return n.first == network; });
            if (same == networks.end())
                networks.emplace_back(std::move(network), card->name);
            else if (same->second != card->name)
                same->second += fmt::cat(", ", card->name);
        }
    }
    for (const auto& [network, cards] : networks)
        messages.err(bsim4::native::unsolved_network_line(cards, network));
}

// The model file's lines (of the named section, when there is one), read
// once per generation, and the cards among them.
struct KitReading {
    const parser::LogicalLines& lines;  // where subcircuits are looked up
    parser::Kit kit;
};

// The cards of the text's top level; nothing, with the reason on standard
// error, when the file could not be read.
std::optional<KitReading> read_kit(const LutConfig& config, const KitTextReading& text, Messages& messages) {
    const std::string& model_file = *config.model_file;
    if (config.model_section)
        messages.err(
            fmt::cat("  [native] parsing section '", *config.model_section, "' from ", model_file, "\n"));
    if (!text) {
        messages.err(fmt::cat("  [native] failed to read model file: ", text.error().text(), "\n"));
        return std::nullopt;
    }
    return KitReading{text->lines, parser::kit_from_text(*text)};
}

// The subcircuit `subcircuit_name` names, and the line that says what
// became of it (written once the cards are settled).
struct NamedSubcircuit {
    std::optional<parser::SubcircuitDefaults> defaults;
    std::string note;
};

NamedSubcircuit subcircuit_defaults(const LutConfig& config, const parser::LogicalLines& lines) {
    if (!config.subcircuit_name) return {};
    const std::string& name = *config.subcircuit_name;
    auto found = parser::extract_subcircuit_defaults_from_lines(lines, name);
    if (!found)
        return {std::nullopt, fmt::cat("  [native] subcircuit '", name, "' not found in model file\n")};
    std::string note = fmt::cat("  [native] using subcircuit defaults from '", found->name,
                                "' (inner model: '", found->inner_model, "')\n");
    return {std::move(found), std::move(note)};
}

// The transistor of the (`width`, `length`) pair, or the message refusing its
// device line as ngspice refuses it. A wrapping subcircuit gets `width` and
// `length` as the pool path's X line passes them (under `width_param` and
// `length_param`), and its device line decides the instance, sizes included
// (BSIM4's 5 um when it gives none); without one, or without a device line,
// the instance is `width` x `length` alone. Sizes and diffusion areas and
// perimeters are scaled by the kit's `.option scale` as ngspice scales them.
Result<Device, std::string> make_device(const LutConfig& config, const parser::SubcircuitDefaults* wrapper,
                                        double scale, double width, double length) {
    Device d;
    d.asked_w = width;
    d.asked_l = length;
    d.w = width * scale;
    d.l = length * scale;
    // ngspice bins on the sizes as it reads them from the line the pool path writes.
    d.bin_w = device_line_size(width) * scale;
    d.bin_l = device_line_size(length) * scale;
    if (!wrapper || wrapper->inner_model.empty()) return d;
    // ngspice refuses the netlist that instantiates it.
    if (wrapper->parameter_refusal) return err(*wrapper->parameter_refusal);

    const auto refused = [&](std::string_view why) {
        return fmt::cat("subcircuit '", wrapper->name, "': ", why);
    };
    using bsim4::native::InstanceParamUse;
    d.scope = wrapper->scope(sizes_passed(config, width, length));
    const std::vector<parser::InstanceParam> params =
        parser::SubcircuitDefaults::instance_params(wrapper->device, d.scope);
    for (const parser::InstanceParam& p : params) {
        const InstanceParamUse use = bsim4::native::instance_param_use(p.name);
        if (use == InstanceParamUse::Unknown)
            return err(refused(fmt::cat("unknown instance parameter '", p.name, "' on its device line")));
        if (p.name == "ic") continue;  // initial voltages, a list: for transients
        if (!p.value)
            return err(refused(fmt::cat("cannot evaluate ", p.name, " = ", p.text, " on its device line")));
        // As ngspice reads it, to the bit: a finger count a hair above an integer runs BSIM4's
        // stress loop once more.
        const double v = *p.value;
        if (use != InstanceParamUse::Caller) d.given.emplace_back(p.name, v);
        if (use == InstanceParamUse::Evaluator) {
            d.params.emplace_back(p.name, v);
        } else if (use == InstanceParamUse::Unmodelled) {
            d.unmodelled.push_back(fmt::cat(p.name, "=", fmt::display(v)));
        } else if (p.name == "m") {
            d.m = v;
        }
    }
    // Every value was evaluated above: the size is known.
    const parser::InstanceSize size = parser::instance_size(params);
    const double nf = *size.nf;
    // ngspice's own fatal checks of the instance.
    if (!(nf >= 1.0))
        return err(refused(fmt::cat("number of fingers nf = ", fmt::display(nf), " is smaller than one")));
    const auto given = [&](std::string_view name) {
        double v = 0.0;
        for (const auto& [n, value] : d.params)
            if (n == name) v = value;
        return v;
    };
    if (bsim4_stress_summed(nf, given("sa"), given("sb"), given("sd")) && nf > BSIM4_MAX_STRESS_FINGERS)
        return err(refused(fmt::cat(
            "number of fingers nf = ", fmt::display(nf), " with sa, sb and sd given is above ",
            fmt::display(BSIM4_MAX_STRESS_FINGERS),
            ": ngspice sums the stress terms finger by finger with a 32-bit counter and never finishes")));
    if (!(d.m > 0.0)) return err(refused(fmt::cat("multiplier m = ", fmt::display(d.m), " is not positive")));
    parser::scale_instance_params(d.params, scale);
    // BSIM4's 5 um for a size the line does not give.
    constexpr double kBsim4DefaultSize = 5e-6;
    d.w = size.w ? *size.w * scale : kBsim4DefaultSize;
    d.l = d.bin_l = size.l ? *size.l * scale : kBsim4DefaultSize;
    d.bin_w = *size.binned_width(d.w);
    d.asked_w = size.w ? *size.binned_width(*size.w) : d.bin_w / scale;
    d.asked_l = size.l ? *size.l : d.l / scale;
    d.source = parser::SizeSource{wrapper->name, width, length, wrapper->device_name, *size.fingers_binned()};
    return d;
}

// Every (W, L) pair's transistor, in bins order.
Result<void, NgspiceError> make_devices(Plan& plan, const LutConfig& config) {
    const parser::SubcircuitDefaults* wrapper = plan.defaults ? &*plan.defaults : nullptr;
    for (double w : config.widths) {
        for (double l : config.lengths) {
            auto device = make_device(config, wrapper, plan.kit.scale, w, l);
            if (!device) return err(NgspiceError::simulation(std::move(device).error()));
            plan.devices.push_back(std::move(*device));
        }
    }
    return {};
}

// The model whose cards serve the table, and the subcircuit that wraps it
// when the configuration names the subcircuit.
struct ModelChoice {
    std::string model;
    std::optional<parser::SubcircuitDefaults> wrapper;
};

// Whether the device of `body` naming `model` takes the cards of that body:
// as ngspice decides (SubcircuitDefaults::defines_model), or, loosely named
// ("model.tt"), where the kit's top level has none of it.
bool body_serves(const parser::SubcircuitDefaults& body, std::string_view model,
                 const std::vector<parser::Bsim4ModelCard>& top_level) {
    if (body.defines_model(model)) return true;
    if (parser::has_model(top_level, model)) return false;
    return std::any_of(body.models.begin(), body.models.end(), [&](const auto& m) {
        return parser::names_model(m.name, model, parser::BinNaming::Loose);
    });
}

// Whether the body has BSIM4 cards of `model`.
bool body_has_bsim4(const parser::SubcircuitDefaults& body, std::string_view model) {
    return std::any_of(body.models.begin(), body.models.end(), [&](const auto& m) {
        return m.bsim4 && parser::names_model(m.name, model, parser::BinNaming::Loose);
    });
}

// The subcircuit `name` with the model its device names, when the device
// sees BSIM4 cards of it.
std::optional<ModelChoice> wrapped_model(const std::string& name, const KitReading& reading) {
    auto found = parser::extract_subcircuit_defaults_from_lines(reading.lines, name);
    if (!found || found->inner_model.empty()) return std::nullopt;
    if (body_serves(*found, found->inner_model, reading.kit.cards)
            ? !body_has_bsim4(*found, found->inner_model)
            : !parser::has_model(reading.kit.cards, found->inner_model))
        return std::nullopt;
    std::string model = found->inner_model;
    return ModelChoice{std::move(model), std::move(found)};
}

// The first element of the subcircuit's body beside its transistor that can
// carry current in DC (a resistor in series, a diode or a resistor from the
// drain: the terminals' currents and slopes are then not the transistor's),
// by its instance name; capacitors carry none.
std::optional<std::string> element_beside(const parser::SubcircuitDefaults& body) {
    for (const parser::SubcircuitDefaults::DeviceLine& line : body.devices) {
        const std::string_view name = first_word(line.text);
        if (name.empty() || ascii_iequals(name, body.device_name) || name[0] == 'c' || name[0] == 'C')
            continue;
        return std::string(name);
    }
    return std::nullopt;
}

// The subcircuit of that name when the pool path instantiates it
// (`subcircuit`), else `model_name` itself, else the model inside the
// subcircuit of that name. A name the file does not hold is the pool path's
// to report: never another card.
std::optional<ModelChoice> find_model(const LutConfig& config, const KitReading& reading) {
    if (config.subcircuit) {
        if (auto wrapped = wrapped_model(config.model_name, reading)) return wrapped;
    }
    if (parser::has_model(reading.kit.cards, config.model_name))
        return ModelChoice{config.model_name, std::nullopt};
    return wrapped_model(config.model_name, reading);
}

// As find_model, saying on standard error what it found.
std::optional<ModelChoice> resolve_model(const LutConfig& config, const KitReading& reading,
                                         Messages& messages) {
    std::optional<ModelChoice> choice = find_model(config, reading);
    if (!choice && reading.kit.cards.empty()) {
        messages.err(fmt::cat("  [native] no BSIM4 model cards found in ", *config.model_file, "\n"));
    } else if (!choice) {
        messages.err(fmt::cat(
            "  [native] ", parser::model_not_found(config.model_name, fmt::cat("'", *config.model_file, "'")),
            "\n"));
    } else if (choice->wrapper) {
        messages.err(fmt::cat("  [native] '", config.model_name, "' is a subcircuit (inner model: '",
                              choice->model, "')\n"));
    }
    return choice;
}

// The card of the subcircuit's body that `device` takes, read in its
// scope, as ngspice reads the body's cards for each instance.
Result<const parser::Bsim4ModelCard*, NgspiceError> body_card(Plan& plan, const LutConfig& config,
                                                              const Device& device,
                                                              const std::string& model) {
    const parser::SubcircuitDefaults& body = *plan.defaults;
    const std::vector<parser::ModelBins> bins = body.local_bins(device.scope);
    const parser::ModelBins* bin = parser::select_card(bins, model, device.bin_l, device.bin_w);
    if (!bin)
        return err(NgspiceError::refused(parser::bin_miss_message(
            model, fmt::cat("subcircuit '", body.name, "' of '", *config.model_file, "'"), device.asked_w,
            device.asked_l, plan.kit.scale, parser::bins_of(bins, model, parser::BinNaming::Loose),
            device.source ? &*device.source : nullptr)));
    const std::string& line = body.models[static_cast<std::size_t>(bin - bins.data())].line;
    parser::Kit read;
    read.cards = parser::extract_models({line}, device.scope, &read.refused);
    if (read.cards.empty())
        return err(NgspiceError::simulation(
            fmt::cat("model '", bin->name, "' of subcircuit '", body.name, "' is not a BSIM4 MOSFET card")));
    auto accepted =
        parser::accept_card(read, read.cards.front(), model, device_type_name(config.device_type));
    if (!accepted) return err(NgspiceError::simulation(std::move(accepted).error()));
    return &plan.scoped_cards.emplace_back(std::move(read.cards.front()));
}

// One card per (W, L) pair, chosen by the size of its transistor: kits bin
// in width as well as length. A geometry outside every bin or a card of the
// other type is refused, as ngspice refuses them, before any evaluation.
// With `local`, the cards are those of the wrapping subcircuit's body.
Result<void, NgspiceError> choose_bins(Plan& plan, const LutConfig& config, const std::string& model,
                                       bool local) {
    const std::string_view device_type = device_type_name(config.device_type);
    for (const Device& device : plan.devices) {
        if (local) {
            MORVA_ASSIGN(const parser::Bsim4ModelCard* card, body_card(plan, config, device, model));
            plan.bins.push_back(card);
            continue;
        }
        const parser::Bsim4ModelCard* card =
            parser::select_card_for_length(plan.kit.cards, model, device.bin_l, device.bin_w);
        if (!card)
            return err(NgspiceError::refused(parser::bin_miss_message(
                model, fmt::cat("'", *config.model_file, "'"), device.asked_w, device.asked_l, plan.kit.scale,
                parser::bins_of(plan.kit.cards, model, parser::BinNaming::Loose),
                device.source ? &*device.source : nullptr)));
        auto accepted = parser::accept_card(plan.kit, *card, model, device_type);
        if (!accepted) return err(NgspiceError::simulation(std::move(accepted).error()));
        plan.bins.push_back(card);
    }
    return {};
}

// The texts of the configuration's `model_includes`, read here.
std::vector<std::optional<parser::KitText>> read_includes(const LutConfig& config) {
    std::vector<std::optional<parser::KitText>> out;
    for (const auto& [path, section] : config.model_includes) {
        std::optional<parser::KitText>& kept = out.emplace_back();
        if (auto text = parser::read_kit_text(path, section)) kept.emplace(std::move(*text));
    }
    return out;
}

// The temperatures of the netlist the pool path writes for `config`: the
// model file's lines (of a file read whole, those outside its library
// sections), then each include's, then the subcircuit it instantiates.
parser::KitTemperatures netlist_temperatures(const LutConfig& config, const parser::KitText& text,
                                             const std::vector<std::optional<parser::KitText>>* includes) {
    std::vector<std::optional<parser::KitText>> read;
    if (!includes && !config.model_includes.empty()) {
        read = read_includes(config);
        includes = &read;
    }
    const std::string_view subcircuit = config.subcircuit ? std::string_view(config.model_name) : "";
    const bool more = includes && std::any_of(includes->begin(), includes->end(),
                                              [](const auto& include) { return include.has_value(); });
    if (!more) return parser::kit_temperatures(text, subcircuit);
    parser::LogicalLines lines =
        text.section_spans.empty() ? text.lines : parser::lines_outside_sections(text);
    for (const std::optional<parser::KitText>& include : *includes)
        if (include) lines.insert(lines.end(), include->lines.begin(), include->lines.end());
    return parser::kit_temperatures(lines, subcircuit);
}

// The evaluator's temperatures, the kit's; a kit that sets one at or below
// absolute zero is refused.
Result<void, NgspiceError> take_temperatures(Plan& plan, const LutConfig& config, const parser::KitText& text,
                                             const std::vector<std::optional<parser::KitText>>* includes) {
    const parser::KitTemperatures kit = netlist_temperatures(config, text, includes);
    if (auto problem = bsim4::native::Temperatures::celsius_problem(kit.temp, kit.tnom))
        return err(NgspiceError::refused(fmt::cat("'", *config.model_file, "': ", *problem)));
    plan.temperatures = bsim4::native::Temperatures::from_celsius(kit.temp, kit.tnom);
    plan.solver.temperature_k = plan.temperatures.temp_k;
    return {};
}

// The first card must make a model; later cards fail in their items. Its
// type sets every item's.
bool adopt_first_card(Plan& plan, Messages& messages) {
    const parser::Bsim4ModelCard& bin0 = *plan.bins.front();
    if (!Bsim4Model::from_params(bin0.model_type, bin0.params, plan.temperatures)) {
        messages.err("  [native] Bsim4Model::from_params failed\n");
        return false;
    }
    plan.model_type = bin0.model_type;
    plan.type_sign =
        !bin0.model_type.empty() && (bin0.model_type[0] == 'p' || bin0.model_type[0] == 'P') ? -1.0 : 1.0;
    return true;
}

// Only what the evaluator computes can be extracted: the rest is named in a
// warning.
ParamMask evaluator_params(const LutConfig& config, Messages& messages) {
    ParamMask requested{};
    std::string dropped;
    for (const std::string& name : config.op_params) {
        const std::string lower = ascii_lower(name);
        if (std::find(NATIVE_OP_PARAMS.begin(), NATIVE_OP_PARAMS.end(), lower) != NATIVE_OP_PARAMS.end())
            requested[*op_param_index(lower)] = true;
        else
            dropped += fmt::cat(dropped.empty() ? "" : ", ", "'", name, "'");
    }
    if (!dropped.empty())
        messages.err(fmt::cat("  warning: the native evaluator cannot compute OP parameter(s) ", dropped,
                              " — absent from the LUT (computed: gmbs, vth, vdsat)\n"));
    return requested;
}

// The axes the items evaluate, and how.
void take_axes(Plan& plan, const LutConfig& config) {
    plan.lengths = config.lengths;
    plan.vbs = config.vbs_values;
    plan.vgs = generate_ngspice::sweep_axis(config.vgs);
    plan.vds = generate_ngspice::sweep_axis(config.vds);
    plan.use_dc_solver = config.use_dc_solver;
}

// The table's axes and every grid sized, with `grids` pointing into them
// (so the table stays where it is while the items run). Left unset: the work
// items write every point, each its own, so that their threads fill the
// pages rather than this one.
Result<void, NgspiceError> allocate_table(TransistorLut& table, const LutConfig& config, const Plan& plan,
                                          std::size_t points, Grids& grids) {
    table.widths = config.widths;
    table.vbs_values = config.vbs_values;
    table.lengths = config.lengths;
    table.vgs = plan.vgs;
    table.vds = plan.vds;
    try {
        const auto full = [&](Grid5& g) {
            g.dims = grids.dims;
            g.data.resize(points);
            return g.data.data();
        };
        grids.id = full(table.id);
        grids.gm = full(table.gm);
        grids.gds = full(table.gds);
        for (std::size_t k = 0; k < kOpParamCount; ++k) {
            if (plan.requested[k])
                grids.op[k] = full(table.op[k]);
            else
                table.op[k] = unextracted_grid(grids.dims[0], grids.dims[1], grids.dims[2]);
        }
    } catch (const std::bad_alloc&) {
        return err(
            NgspiceError::simulation(fmt::cat("a table of ", points, " points does not fit in memory")));
    }
    return {};
}

// One work item per (W, L) pair, or, when the pairs are fewer than the
// threads, per Vbs value and block of Vgs rows, each writing its own blocks
// of the table. The table outlives the items: the set waits for running
// items when it ends.
Result<void, NgspiceError> run_work_items(const std::shared_ptr<const Plan>& shared, const Grids& grids,
                                          std::size_t max_threads, Messages& messages,
                                          const std::function<bool()>& stop) {
    const auto [n_w, n_vbs, n_l, n_vgs, n_vds] = grids.dims;
    // More threads than cores would only add their start and end to the run.
    const std::size_t threads = std::min(max_threads, usable_cores());
    const std::vector<Item> plan_items = split_items(n_w, n_l, n_vbs, n_vgs, n_vds, threads);
    std::vector<bool> written(plan_items.size(), false);
    TaskSet<std::size_t, NgspiceError> items(std::min(threads, plan_items.size()));
    for (std::size_t i = 0; i < plan_items.size(); ++i) {
        items.spawn([shared, item = plan_items[i], i, grids](const CancelToken& token) {
            return run_work_item(*shared, item, i, grids, token);
        });
    }
    while (auto end = items.join_next(stop)) {
        if (end->cancelled()) continue;
        if (end->panicked()) {
            const std::string description = fmt::cat("native work item panicked: ", end->panic);
            messages.err(fmt::cat("  [native] join error: ", description, "\n"));
            return err(NgspiceError::worker_crashed(description));
        }
        if (!end->outcome->ok()) {
            NgspiceError e = std::move(*end->outcome).error();
            messages.err(fmt::cat("  [native] task error: ", e.detail, "\n"));
            return err(std::move(e));
        }
        written[end->outcome->value()] = true;
    }
    if (stop && stop()) return err(NgspiceError::simulation(std::string(generate_ngspice::kInterrupted)));
    // An item that never ran left its blocks unset.
    for (std::size_t i = 0; i < plan_items.size(); ++i)
        if (!written[i]) grids.clear(plan_items[i]);
    return {};
}

}  // namespace

NativeOutcome generate_lut_native(const LutConfig& config, Messages& messages, std::size_t max_threads,
                                  const std::function<bool()>& stop) {
    if (!config.model_file) return std::nullopt;
    return generate_lut_native(config, parser::read_kit_text(*config.model_file, config.model_section),
                               messages, max_threads, stop);
}

NativeOutcome generate_lut_native(const LutConfig& config, const KitTextReading& text, Messages& messages,
                                  std::size_t max_threads, const std::function<bool()>& stop,
                                  const std::vector<std::optional<parser::KitText>>* includes) {
    using Clock = std::chrono::steady_clock;

    // 1-2. The cards and the model they come from. A kit that ngspice would
    // follow without end is no use to the pool path either.
    if (!config.model_file) return std::nullopt;
    if (!text) {
        if (auto cycle = parser::kit_cycle_of(text.error()))
            return err(NgspiceError::refused(std::move(*cycle)));
    }
    std::optional<KitReading> reading = read_kit(config, text, messages);
    if (!reading) return std::nullopt;
    std::optional<ModelChoice> chosen = resolve_model(config, *reading, messages);
    if (!chosen) return std::nullopt;
    if (chosen->wrapper) {
        if (auto element = element_beside(*chosen->wrapper)) {
            messages.err(fmt::cat("  [native] subcircuit '", chosen->wrapper->name, "' holds '", *element,
                                  "' beside its transistor, which the evaluator does not solve\n"));
            return std::nullopt;
        }
    }
    auto plan = std::make_shared<Plan>();
    plan->kit = std::move(reading->kit);
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size(),
                      n_vbs = config.vbs_values.size();
    if (n_w == 0 || n_l == 0 || n_vbs == 0)
        return err(NgspiceError::simulation("widths, lengths and vbs_values must not be empty"));

    // 3-6. The transistor and card per pair, the item type, the parameter dump and what can be
    // extracted.
    NamedSubcircuit named = subcircuit_defaults(config, reading->lines);
    plan->defaults = named.defaults ? std::move(named.defaults) : std::move(chosen->wrapper);
    MORVA_TRY(make_devices(*plan, config));
    const bool local = plan->defaults && body_serves(*plan->defaults, chosen->model, plan->kit.cards);
    if (auto bins = choose_bins(*plan, config, chosen->model, local); !bins)
        return err(std::move(bins).error());
    MORVA_TRY(take_temperatures(*plan, config, *text, includes));
    if (!adopt_first_card(*plan, messages)) return std::nullopt;
    if (dump_requested()) dump_params(*plan->bins.front(), messages);
    plan->requested = evaluator_params(config, messages);

    // 7. The axes: the points the pool path's sweeps visit, so that both
    // paths give a configuration the same table.
    take_axes(*plan, config);
    const std::size_t n_vgs = plan->vgs.size(), n_vds = plan->vds.size();
    const std::optional<std::size_t> points = checked_product({n_vgs, n_vds, n_w, n_vbs, n_l});
    if (!points) return err(NgspiceError::simulation("the table has too many points to hold in memory"));

    // 8. The first progress line.
    messages.out(fmt::cat("  [native BSIM4] ", n_w, " W × ", n_vbs, " Vbs × ", n_l, " L × ", n_vgs, " Vgs × ",
                          n_vds, " Vds = ", *points, " points  (model: ", *config.model_file, "  bins: [",
                          bin_names(plan->bins), "])\n"));

    // 9. Subcircuit defaults, and what the evaluator leaves out.
    if (!named.note.empty()) messages.err(named.note);
    report_unsolved_networks(*plan, messages);

    Grids grids;
    grids.dims = {n_w, n_vbs, n_l, n_vgs, n_vds};
    TransistorLut table;
    MORVA_TRY(allocate_table(table, config, *plan, *points, grids));

    // 10-12. The work items.
    const auto start = Clock::now();
    if (auto ran = run_work_items(plan, grids, max_threads, messages, stop); !ran)
        return err(std::move(ran).error());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double n_points = static_cast<double>(*points);
    messages.out(fmt::cat("  [native BSIM4] ", *points, " points in ", fmt::fixed(seconds * 1e3, 1), " ms  (",
                          fmt::fixed(n_points / seconds / 1e6, 0), " Mpts/s)\n"));

    // 13. gm and gds came with Id from the evaluator; a pair whose item did not end keeps NaN.
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (plan->requested[k]) table.extracted_op_params.emplace_back(KNOWN_OP_PARAMS[k]);
    }
    return table;
}

std::optional<std::string> card_type_problem(const LutConfig& config, const parser::KitText& text) {
    const KitReading reading{text.lines, parser::kit_from_text(text)};
    const std::optional<ModelChoice> choice = find_model(config, reading);
    if (!choice) return std::nullopt;
    const std::string& model = choice->model;
    const std::string_view wanted = device_type_name(config.device_type);
    // The cards the device sees, by name and type.
    std::vector<parser::Bsim4ModelCard> seen;
    if (choice->wrapper && body_serves(*choice->wrapper, model, reading.kit.cards)) {
        for (const auto& m : choice->wrapper->models)
            if (m.bsim4) seen.push_back({m.name, m.model_type, {}, {}, {}, {}, {}});
    }
    const std::vector<parser::Bsim4ModelCard>& cards = seen.empty() ? reading.kit.cards : seen;
    const parser::Bsim4ModelCard* other = nullptr;
    for (const parser::Bsim4ModelCard& card : cards) {
        if (!parser::names_model(card.name, model, parser::BinNaming::Loose)) continue;
        if (card.model_type == wanted) return std::nullopt;
        other = &card;
    }
    if (!other) return std::nullopt;
    return parser::card_type_message(model, *other, wanted);
}

bool native_path_serves(const LutConfig& config) {
    if (!config.use_native_bsim4 || !config.model_file) return false;
    const KitTextReading text = parser::read_kit_text(*config.model_file, config.model_section);
    if (!text) return false;
    const KitReading reading{text->lines, parser::kit_from_text(*text)};
    return find_model(config, reading).has_value();
}

NativeOutcome generate_lut_native(const LutConfig& config) {
    generate_ngspice::StdMessages messages;
    return generate_lut_native(config, messages);
}

}  // namespace morva::lut
