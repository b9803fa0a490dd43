#include "lut/probe.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>

#include "common/format.h"
#include "common/task_set.h"
#include "common/text.h"
#include "lut/assembly.h"
#include "lut/kit_files.h"
#include "ngspice/worker.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;
using VectorLookup = std::function<const ngspice::VectorData*(const std::string&)>;

std::string known_names_list() {
    std::string out = "[";
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (k) out += ", ";
        out += fmt::cat('"', KNOWN_OP_PARAMS[k], '"');
    }
    return out + "]";
}

bool any(const ParamMask& mask) {
    for (bool f : mask) {
        if (f) return true;
    }
    return false;
}

// Above this drain current with the device off, a subcircuit wrapper
// carries current there of its own (a diode carries at least its
// saturation current and gmin's): the device's remainder is kDeviceOff of
// its currents.
constexpr double kWrapperFloor = 1e-15;

// Whether a subcircuit wrapper carries current at the drain terminal beside
// the device, and whether that moves with the gate (a resistor from gate to
// drain): the small-signal probe's sweep with the device off, at three Vgs
// values. Where that cannot be had, what the wrapper carries there is left
// out of the slopes, said on stderr.
struct WrapperUse {
    bool present = false, gate = false;
};

// The wrapper's current from the probe's sweep with the device off
// (nothing where that sweep failed).
WrapperUse wrapper_use(const ngspice::VectorData* v, const std::string& device_path, Messages& messages) {
    // The probe's three Vgs values, each over the same Vds points.
    bool finite = v && !v->real.empty() && v->real.size() % 3 == 0;
    for (std::size_t k = 0; finite && k < v->real.size(); ++k) finite = std::isfinite(v->real[k]);
    if (!finite) {
        messages.err(fmt::cat("  warning: '", device_path,
                              "' could not be swept switched off: what its subcircuit carries at the drain "
                              "beside it is left out of gm, gds and gmbs\n"));
        return {};
    }
    WrapperUse out;
    double largest = 0.0;
    for (double x : v->real) largest = std::max(largest, std::abs(x));
    out.present = largest > kWrapperFloor;
    const std::size_t row = v->real.size() / 3;
    for (std::size_t k = row; k < v->real.size(); ++k)
        out.gate =
            out.gate || std::abs(v->real[k] - v->real[k % row]) > 1e-9 * largest + kWrapperFloor * 1e-3;
    return out;
}

// What the device reports of its channel's small-signal values, and how
// the table's sweeps save them, from the probe's sweep (`answered` when it
// succeeded; `find` looks its vectors up; those the device lacks do not come
// back). Without the channel's gm and gds, none (gm and gds are then
// differences of Id); with internal drain or source nodes, the
// series-resistance set, with what a subcircuit wrapper carries at the drain
// (`wrapper`); else gm, gds and the channel current.
SmallSignalPlan small_signal_plan(const LutConfig& config, const std::string& device_path, bool answered,
                                  const VectorLookup& find, const std::function<WrapperUse()>& wrapper,
                                  const WrapperNodes& nodes, Messages& messages) {
    const auto none = [&](std::string_view why) {
        messages.err(fmt::cat(
            "  warning: ", why, ": ",
            differences_phrase(sweep_point_count(config.vgs), sweep_point_count(config.vds), "NaN"), "\n"));
        return SmallSignalPlan{};
    };
    const std::string no_values =
        fmt::cat("the simulator reports no small-signal values for '", device_path, "'");
    SmallSignalPlan plan;
    if (!answered) return none(no_values);
    // A vector that came back with finite values; `nonzero` when any is.
    const auto reported = [&](const std::string& name, bool* nonzero = nullptr) {
        const ngspice::VectorData* v = find(name);
        if (!v || v->real.empty()) return false;
        for (double x : v->real) {
            if (!std::isfinite(x)) return false;
            if (nonzero && x != 0.0) *nonzero = true;
        }
        return true;
    };
    const auto op = [&](std::string_view name) { return op_vector_name(device_path, name); };
    if (!reported(op("gm")) || !reported(op("gds"))) return none(no_values);
    const double polarity = config.device_type == DeviceType::Pmos ? -1.0 : 1.0;
    const bool drain_node = reported(internal_node_vector(device_path, "drain"));
    const bool source_node = reported(internal_node_vector(device_path, "source"));
    plan.vectors = {op("gm"), op("gds")};
    plan.gm = 0;
    plan.gds = 1;
    // A subcircuit that puts elements between the device and its terminals
    // (series resistors), or carries drain current beside it (a resistor or a
    // diode from the drain), makes the terminal's slopes other than the
    // channel's: they are had as through series resistances, the wrapper's
    // between the terminal and the device's own node (or BSIM4's internal
    // node behind it), what it carries beside the device swept apart. A
    // subcircuit that holds the device alone keeps the device's path.
    std::optional<WrapperUse> use;
    if (config.subcircuit && !drain_node && !source_node && !nodes.any() && nodes.beside) use = wrapper();
    const bool wrapped = nodes.any() || (use && use->present);
    if (!drain_node && !source_node && !wrapped) {
        if (!reported(op("id"))) return none(no_values);
        plan.vectors.push_back(op("id"));
        // Reverse columns take the channel's values for the swapped
        // terminals, which need its gmbs too; a device that lacks it leaves
        // them differences of Id.
        bool both_modes = false;
        for (double vds : sweep_axis(config.vds)) both_modes = both_modes || polarity * vds < 0.0;
        both_modes = both_modes && reported(op("gmbs"));
        if (both_modes) {
            plan.gmbs = plan.vectors.size();
            plan.vectors.push_back(op("gmbs"));
        }
        plan.rest = {channel_beyond(device_path, polarity, both_modes)};
        return plan;
    }
    if (!reported(op("id"))) return none(no_values);
    for (std::string_view name : SERIES_PARAMS) {
        if (!reported(op(name)))
            return none(fmt::cat("'", device_path,
                                 "' reaches its channel through series resistances but reports no ", name));
    }
    plan.series = true;
    plan.gmbs = plan.vectors.size();
    plan.vectors.push_back(op("gmbs"));
    plan.gbd = plan.vectors.size();
    plan.vectors.push_back(op("gbd"));
    plan.gbs = plan.vectors.size();
    plan.vectors.push_back(op("gbs"));
    plan.channel = plan.vectors.size();
    plan.vectors.push_back(op("id"));
    plan.ibd = plan.vectors.size();
    plan.vectors.push_back(op("ibd"));
    plan.ibs = plan.vectors.size();
    plan.vectors.push_back(op("ibs"));
    if (drain_node || !nodes.drain.empty()) {
        plan.drain_node = plan.vectors.size();
        plan.vectors.push_back(drain_node ? internal_node_vector(device_path, "drain") : nodes.drain);
    }
    if (source_node || !nodes.source.empty()) {
        plan.source_node = plan.vectors.size();
        plan.vectors.push_back(source_node ? internal_node_vector(device_path, "source") : nodes.source);
    }
    // Only the currents this card gives at all are swept along: each costs
    // as much as a vector of the table.
    constexpr std::array<RestNode, 4> kNodes = {RestNode::Drain, RestNode::Source, RestNode::ChannelDrain,
                                                RestNode::ChannelSource};
    std::array<BeyondTerms, 4> at{BeyondTerms{false, {}, std::nullopt}, BeyondTerms{false, {}, std::nullopt},
                                  BeyondTerms{false, {}, std::nullopt}, BeyondTerms{false, {}, std::nullopt}};
    for (const RestCurrent& rest : REST_CURRENTS) {
        bool nonzero = false;
        if (!reported(op(rest.name), &nonzero) || !nonzero) continue;
        at[static_cast<std::size_t>(rest.node)].vectors.emplace_back(op(rest.name), rest.sign * polarity);
        plan.vectors.push_back(op(rest.name));
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        if (k != 0 && at[k].vectors.empty()) continue;
        plan.rest.push_back(std::move(at[k]));
        plan.rest_nodes.push_back(kNodes[k]);
    }
    if (config.subcircuit) {
        if (!use) use = wrapper();
        plan.wrapper = use->present;
        plan.wrapper_gate = use->gate;
    }
    plan.wrapped = wrapped || plan.wrapper;
    return plan;
}

// The wrapper probe on its own.
WrapperUse probe_wrapper(const Simulator& simulator, const LutConfig& config, const std::string& device_path,
                         Messages& messages) {
    ngspice::SimulationRequest req;
    req.id = "probe-wrapper";
    req.netlist = build_wrapper_probe_netlist(config);
    req.commands = {device_off_command(device_path), "run"};
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::vector<std::string>{"vds#branch"};
    SimulationOutcome outcome = simulator.run(std::move(req));
    // A failed request ends the generation: nothing to warn about.
    if (!outcome) return {};
    return wrapper_use(outcome->success ? find_vector(outcome->vectors, "vds#branch") : nullptr, device_path,
                       messages);
}

// Says whether a listing named the device (`found`), or which path stands
// in for it.
void say_detected(const std::optional<std::string>& found, const std::string& fallback, Messages& messages) {
    if (found)
        messages.out(fmt::cat("  detected device path: ", *found, "\n"));
    else
        messages.err(fmt::cat("  warning: could not auto-detect flattened device path; falling back to '",
                              fallback, "'\n"));
}

// The plan from the answer of the combined probe (its vectors, and the
// listing in `log`) of the device at `path`, saying first whether the
// listing named it when it was looked for.
SmallSignalPlan answered_plan(const LutConfig& config, const std::string& path, bool detect,
                              const std::optional<std::string>& found,
                              const ngspice::SimulationResponse& answer, const std::vector<std::string>& log,
                              Messages& messages) {
    if (detect) say_detected(found, path, messages);
    const std::string prefix = config.subcircuit ? "dc1." : "";
    const WrapperNodes nodes = config.subcircuit ? wrapper_nodes(log, path) : WrapperNodes{};
    return small_signal_plan(
        config, path, true,
        [&](const std::string& name) { return find_vector(answer.vectors, prefix + name); },
        [&] { return wrapper_use(find_vector(answer.vectors, "dc2.vds#branch"), path, messages); }, nodes,
        messages);
}

// The small-signal probe on its own.
SmallSignalPlan probe_small_signal(const Simulator& simulator, const LutConfig& config,
                                   const std::string& device_path, const WrapperNodes& nodes,
                                   Messages& messages) {
    const auto probe = [&](bool to_vds_stop) {
        ngspice::SimulationRequest req;
        req.id = "probe-small-signal";
        req.netlist = build_small_signal_probe_netlist(config, device_path, to_vds_stop);
        req.commands = {"run"};
        req.pre_commands = model_dir_pre_commands(config);
        req.return_vectors = small_signal_probe_vectors(device_path);
        return simulator.run(std::move(req));
    };
    SimulationOutcome outcome = probe(true);
    // A sweep to the end of the Vds axis in a few large steps may fail
    // where the table's own sweeps do not: then at mid Vds alone.
    if (outcome && !outcome->success) outcome = probe(false);
    // A failed request ends the generation: nothing to warn about.
    if (!outcome) return SmallSignalPlan{};
    return small_signal_plan(
        config, device_path, outcome->success,
        [&](const std::string& name) { return find_vector(outcome->vectors, name); },
        [&] { return probe_wrapper(simulator, config, device_path, messages); }, nodes, messages);
}

// Says which requested OP parameters the model lacks and which are extracted.
void report_op_support(const ParamMask& requested, const ParamMask& extract, Messages& messages) {
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (requested[k] && !extract[k])
            messages.err(fmt::cat("  warning: model does not support OP parameter '", KNOWN_OP_PARAMS[k],
                                  "' — it will be absent from the LUT\n"));
    }
    std::string joined;
    std::size_t count = 0;
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (!extract[k]) continue;
        joined += fmt::cat(count ? ", " : "", KNOWN_OP_PARAMS[k]);
        ++count;
    }
    messages.out(fmt::cat("  → extracting ", count, " OP parameter(s): [", joined, "]\n"));
}

// Whether the model reports parameter k: its own probe (a level-3 device
// makes ngspice crash when some parameters it lacks are saved beside some
// it has, so each is asked alone).
bool op_param_reported(const Simulator& simulator, const LutConfig& config, std::size_t k,
                       const std::string& device_path) {
    const std::string vector = op_vector_name(device_path, KNOWN_OP_PARAMS[k]);
    ngspice::SimulationRequest req;
    req.id = fmt::cat("probe-", KNOWN_OP_PARAMS[k]);
    req.netlist = build_probe_netlist(config, KNOWN_OP_PARAMS[k], device_path);
    req.commands = {"run"};
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::vector<std::string>{vector};
    SimulationOutcome outcome = simulator.run(std::move(req));
    if (!outcome || !outcome->success) return false;
    for (const ngspice::VectorData& v : outcome->vectors) {
        if (ascii_iequals(v.name, vector) && !v.real.empty()) return true;
    }
    return false;
}

// The requested parameters' probes, all at once, and `beside` (when given)
// with them.
ParamMask probe_op_params_beside(const Simulator& simulator, const LutConfig& config,
                                 const ParamMask& requested, const std::string& device_path,
                                 const std::function<void()>* beside) {
    using Probe = std::pair<std::size_t, bool>;
    ParamMask supported{};
    TaskSet<Probe, NgspiceError> probes;
    if (beside) {
        probes.spawn([beside](const CancelToken&) -> Result<Probe, NgspiceError> {
            (*beside)();
            return Probe{kOpParamCount, false};
        });
    }
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (!requested[k]) continue;
        probes.spawn(
            [&simulator, &config, &device_path, k](const CancelToken&) -> Result<Probe, NgspiceError> {
                return Probe{k, op_param_reported(simulator, config, k, device_path)};
            });
    }
    while (auto end = probes.join_next()) {
        if (end->finished() && end->outcome->ok()) {
            const Probe& p = end->outcome->value();
            if (p.first < kOpParamCount) supported[p.first] = p.second;
        }
    }
    return supported;
}

// Forwards lines and keeps them, for the memo to replay.
class Recording final : public Messages {
public:
    explicit Recording(Messages& to) : to_(to) {}
    void out(const std::string& line) override {
        lines.emplace_back(false, line);
        to_.out(line);
    }
    void err(const std::string& line) override {
        lines.emplace_back(true, line);
        to_.err(line);
    }
    std::vector<std::pair<bool, std::string>> lines;

private:
    Messages& to_;
};

// The longest load of the kit's circuit that the probe's requests report
// (the worker's timing of each): the kit's pace, against which the pairs'
// sweeps are weighed before they split (pace.h).
class LoadTimes {
public:
    void note(const SimulationOutcome& outcome) {
        if (!outcome) return;
        const std::uint64_t ns = outcome->timing.circ_ns;
        std::uint64_t seen = longest_.load();
        while (ns > seen && !longest_.compare_exchange_weak(seen, ns)) {
        }
    }
    std::uint64_t longest() const { return longest_.load(); }

    // `simulator`, noting the loads of the requests it runs.
    Simulator timing(const Simulator& simulator) {
        Simulator out = simulator;
        out.run = [this, run = simulator.run](ngspice::SimulationRequest request) {
            SimulationOutcome outcome = run(std::move(request));
            note(outcome);
            return outcome;
        };
        return out;
    }

private:
    std::atomic<std::uint64_t> longest_{0};
};

// `circuit`, noting the load of the probe's circuit.
class TimedCircuit final : public ProbeCircuit {
public:
    TimedCircuit(ProbeCircuit& circuit, LoadTimes& loads) : circuit_(circuit), loads_(loads) {}
    void start(bool listing) override { circuit_.start(listing); }
    HeldOutcome take() override {
        HeldOutcome held = circuit_.take();
        loads_.note(held.outcome);
        return held;
    }
    void give_back(std::unique_ptr<HeldCircuit> circuit) override { circuit_.give_back(std::move(circuit)); }
    void let_go() override { circuit_.let_go(); }

private:
    ProbeCircuit& circuit_;
    LoadTimes& loads_;
};

// Whether the device's name is looked for in a listing: the operating-point
// vectors and a subcircuit's device need it.
bool detection_wanted(const LutConfig& config, const ParamMask& requested) {
    return any(requested) || config.subcircuit;
}

// Each question on its own: the listing (when wanted), the small-signal probe
// and the wrapper's, one probe per requested parameter.
ProbeMemo::Record probe_each(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                             Messages& messages) {
    ProbeMemo::Record record;
    record.device_path = guessed_device_path(config);
    WrapperNodes nodes;
    if (detection_wanted(config, requested))
        record.device_path = detect_device_path(simulator, config, messages, &nodes);
    if (simulator.failures->fired()) return record;
    record.plan = probe_small_signal(simulator, config, record.device_path, nodes, messages);
    if (simulator.failures->fired() || !any(requested)) return record;
    record.supported = probe_op_params(simulator, config, requested, record.device_path);
    return record;
}

// The request that asks the rest at once for the device at `path`: its
// listing, the small-signal probe's sweep, and, for a device inside a
// subcircuit, the same sweep with the device switched off (plot 2).
ngspice::SimulationRequest device_probe(const LutConfig& config, const std::string& path) {
    ngspice::SimulationRequest req;
    req.id = "probe-device";
    req.netlist = build_device_probe_netlist(config, path);
    req.commands = {"listing e", "run"};
    const std::vector<std::string> vectors = small_signal_probe_vectors(path);
    std::vector<std::string> wanted;
    if (config.subcircuit) {
        req.commands.push_back(device_off_command(path));
        req.commands.push_back(probe_sweep_command(config));
        for (const std::string& name : vectors) wanted.push_back("dc1." + name);
        wanted.emplace_back("dc2.vds#branch");
    } else {
        wanted = vectors;
    }
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::move(wanted);
    return req;
}

// The memo's key: the request as the guess writes it, what the detection
// is for, and the identity of every file of the kit.
std::string memo_key(ProbeMemo& memo, const LutConfig& config, const ParamMask& requested, bool detect) {
    const ngspice::SimulationRequest req = device_probe(config, guessed_device_path(config));
    std::string key = req.netlist;
    for (const std::string& c : req.commands) key += "\n" + c;
    for (const std::string& c : req.pre_commands) key += "\n" + c;
    key += detect ? "\ndetect\n" : "\n\n";
    for (std::size_t k = 0; k < kOpParamCount; ++k) key += requested[k] ? '1' : '0';
    return key + "\n" + memo.kits.identity(config);
}

// The listing, the small-signal values and the wrapper in one request, the
// requested parameters' probes beside it, as long as ngspice answers that
// request: nothing when it does not (then each question is asked on its
// own).
std::optional<ProbeMemo::Record> probe_at_once(const Simulator& simulator, const LutConfig& config,
                                               const ParamMask& requested, bool detect, Messages& messages) {
    std::string path = guessed_device_path(config);
    ProbeMemo::Record record;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::optional<SimulationOutcome> main;
        const std::function<void()> ask = [&] { main = simulator.run(device_probe(config, path)); };
        const ParamMask supported = probe_op_params_beside(simulator, config, requested, path, &ask);
        if (!main) {
            main = SimulationOutcome(err(NgspiceError::worker_crashed("probe task ended abnormally")));
            simulator.failures->note(*main);
        }
        SimulationOutcome& outcome = *main;
        // A failed request ends the generation.
        if (!outcome || simulator.failures->fired()) return record;
        const std::optional<std::string> found =
            outcome->log.empty() ? std::nullopt : extract_mosfet_name(outcome->log);
        // The vectors were saved under another name: once more under the
        // listing's.
        if (detect && found && *found != path && attempt == 0) {
            path = *found;
            continue;
        }
        if (!outcome->success) return std::nullopt;
        record.device_path = path;
        record.plan = answered_plan(config, path, detect, found, *outcome, outcome->log, messages);
        record.supported = supported;
        return record;
    }
    return std::nullopt;
}

// The vectors of the small-signal probe's sweep (and, for a subcircuit,
// its wrapper's: the same sweep with the device switched off, plot 2), as
// device_probe asks them back.
std::vector<std::string> device_probe_vectors(const LutConfig& config, const std::string& path) {
    const std::vector<std::string> vectors = small_signal_probe_vectors(path);
    if (!config.subcircuit) return vectors;
    std::vector<std::string> wanted;
    for (const std::string& name : vectors) wanted.push_back("dc1." + name);
    wanted.emplace_back("dc2.vds#branch");
    return wanted;
}

// device_probe's sweeps as a follow-up on a circuit loaded without saves:
// the device's multiplier is read before it is switched off and set back to
// it after, which leaves the circuit's later sweeps as they would be.
ngspice::SimulationRequest device_probe_follow_up(const LutConfig& config, const std::string& path) {
    ngspice::SimulationRequest req;
    req.id = "probe-device";
    std::string save = "save vds#branch";
    for (const std::string& name : small_signal_probe_vectors(path)) save += fmt::cat(" ", name);
    req.commands = {std::move(save), probe_sweep_command(config)};
    if (config.subcircuit) {
        const std::string m = op_vector_name(path, "m");
        req.commands.push_back(fmt::cat("let morva_m = ", m));
        req.commands.push_back(device_off_command(path));
        req.commands.push_back(probe_sweep_command(config));
        req.commands.push_back(fmt::cat(" alter ", m, " = dc1.morva_m"));
    }
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = device_probe_vectors(config, path);
    return req;
}

// The requested parameters' probes as one follow-up: each its own sweep,
// saving nothing but the drain branch and that parameter (a level-3 device
// makes ngspice crash when some parameters it lacks are saved beside some it
// has), plot j + 1 for the j-th.
ngspice::SimulationRequest op_params_follow_up(const LutConfig& config, const ParamMask& requested,
                                               const std::string& path, std::vector<std::size_t>& asked) {
    ngspice::SimulationRequest req;
    req.id = "probe-op-params";
    asked.clear();
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (requested[k]) asked.push_back(k);
    }
    std::vector<std::string> wanted;
    for (std::size_t j = 0; j < asked.size(); ++j) {
        const std::string vector = op_vector_name(path, KNOWN_OP_PARAMS[asked[j]]);
        req.commands.emplace_back("delete all");
        req.commands.push_back(fmt::cat("save vds#branch ", vector));
        req.commands.push_back(op_probe_sweep_command(config));
        wanted.push_back(asked.size() == 1 ? vector : fmt::cat("dc", j + 1, ".", vector));
    }
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::move(wanted);
    return req;
}

// How the probing on a task's circuit went.
enum class OnCircuit {
    Answered,  // the record holds every answer
    Failed,    // a request ended without ngspice's answer: the generation ends
    Lost,      // the circuit could not serve: ask as without it
    Refused,   // ngspice failed the small-signal sweep: each question alone
};

// The questions as follow-ups on the probe's circuit (ProbeCircuit): the
// listing came with its load; the small-signal values and the wrapper in one
// follow-up, the requested parameters in another. The circuit goes back for
// its task's rows when it served throughout.
OnCircuit probe_on_circuit(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                           bool detect, ProbeCircuit& source, ProbeMemo::Record& record, Messages& messages) {
    source.start(detect);
    HeldOutcome load = source.take();
    if (!load.outcome) return OnCircuit::Failed;
    if (!load.circuit) return OnCircuit::Lost;
    std::string path = guessed_device_path(config);
    const std::vector<std::string>& log = load.outcome->log;
    const std::optional<std::string> found = log.empty() ? std::nullopt : extract_mosfet_name(log);
    if (detect && found) path = *found;

    std::unique_ptr<HeldCircuit> circuit;
    std::optional<SimulationOutcome> asked =
        load.circuit->follow_up(device_probe_follow_up(config, path), true, &circuit);
    load.circuit.reset();
    if (!asked) return OnCircuit::Lost;
    if (!*asked) return OnCircuit::Failed;
    const ngspice::SimulationResponse& answer = **asked;
    if (!answer.success) return OnCircuit::Refused;
    record.device_path = path;
    record.plan = answered_plan(config, path, detect, found, answer, log, messages);
    if (!any(requested)) {
        source.give_back(std::move(circuit));
        return OnCircuit::Answered;
    }

    std::vector<std::size_t> params;
    ngspice::SimulationRequest op_req = op_params_follow_up(config, requested, path, params);
    std::optional<SimulationOutcome> reported;
    std::unique_ptr<HeldCircuit> after;
    if (circuit) reported = circuit->follow_up(std::move(op_req), true, &after);
    circuit.reset();
    if (reported && !*reported) return OnCircuit::Failed;
    if (!reported || !(*reported)->success) {
        // Asked again one by one, each on a circuit of its own.
        source.let_go();
        record.supported = probe_op_params(simulator, config, requested, path);
        return OnCircuit::Answered;
    }
    for (std::size_t j = 0; j < params.size(); ++j) {
        const std::string vector = op_vector_name(path, KNOWN_OP_PARAMS[params[j]]);
        const std::string name = params.size() == 1 ? vector : fmt::cat("dc", j + 1, ".", vector);
        for (const ngspice::VectorData& v : (*reported)->vectors) {
            if (ascii_iequals(v.name, name) && !v.real.empty()) record.supported[params[j]] = true;
        }
    }
    source.give_back(std::move(after));
    return OnCircuit::Answered;
}

}  // namespace

std::optional<ProbeMemo::Record> ProbeMemo::find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    for (const auto& [k, record] : entries_) {
        if (k == key) return record;
    }
    return std::nullopt;
}

void ProbeMemo::keep(std::string key, Record record) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
    entries_.emplace_back(std::move(key), std::move(record));
    while (entries_.size() > kEntries) entries_.pop_front();
}

void ProbeMemo::forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
}

std::string guessed_device_path(const LutConfig& config) {
    return config.subcircuit ? fmt::cat("m.x1.", config.device_name) : std::string("m1");
}

std::string detect_device_path(const Simulator& simulator, const LutConfig& config, Messages& messages,
                               WrapperNodes* nodes) {
    const std::string guess = guessed_device_path(config);
    ngspice::SimulationRequest req;
    req.id = "detect-dev-path";
    req.netlist = build_probe_netlist(config, "cgg", guess);
    req.commands = {"listing e", "run"};
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::vector<std::string>{};
    SimulationOutcome outcome = simulator.run(std::move(req));
    // A failed request ends the generation: nothing to warn about.
    if (!outcome) return guess;
    std::optional<std::string> found;
    if (outcome && !outcome->log.empty()) found = extract_mosfet_name(outcome->log);
    // A netlist ngspice refuses makes every probe fail: say why once.
    if (outcome && !outcome->success) {
        if (const std::string reason = ngspice::ngspice_error_lines(outcome->log); !reason.empty())
            messages.err(fmt::cat("  warning: ngspice refused the probe netlist: ", reason, "\n"));
    }
    say_detected(found, guess, messages);
    if (!found) return guess;
    if (nodes && config.subcircuit) *nodes = wrapper_nodes(outcome->log, *found);
    return *found;
}

ParamMask probe_op_params(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                          const std::string& device_path) {
    return probe_op_params_beside(simulator, config, requested, device_path, nullptr);
}

ParamMask requested_mask(const LutConfig& config, Messages& messages) {
    ParamMask mask{};
    for (const std::string& name : config.op_params) {
        bool known = false;
        for (std::size_t k = 0; k < kOpParamCount; ++k) {
            if (ascii_iequals(name, KNOWN_OP_PARAMS[k])) {
                mask[k] = true;
                known = true;
            }
        }
        if (!known)
            messages.err(fmt::cat("  warning: unknown OP parameter '", name,
                                  "' — known names: ", known_names_list(), "\n"));
    }
    return mask;
}

Probed probe_device(const Simulator& simulator, const LutConfig& config, Messages& messages,
                    ProbeCircuit* circuit) {
    const auto start = Clock::now();
    const ParamMask requested = requested_mask(config, messages);
    const bool detect = detection_wanted(config, requested);
    Probed probed;
    std::optional<ProbeMemo::Record> record;
    std::string key;
    if (simulator.memo) {
        key = memo_key(*simulator.memo, config, requested, detect);
        record = simulator.memo->find(key);
        probed.kept = record.has_value();
        probed.memo_key = key;
        if (record) {
            for (const auto& [to_err, line] : record->lines) to_err ? messages.err(line) : messages.out(line);
        }
    }
    if (!record) {
        Recording recording(messages);
        LoadTimes loads;
        const Simulator timed = loads.timing(simulator);
        std::optional<TimedCircuit> timed_circuit;
        if (circuit) timed_circuit.emplace(*circuit, loads);
        OnCircuit on = OnCircuit::Lost;
        if (circuit) {
            record.emplace();
            on = probe_on_circuit(timed, config, requested, detect, *timed_circuit, *record, recording);
            // Each question on its own, on circuits of their own: the
            // workers that hold the tasks' circuits serve them.
            if (on == OnCircuit::Lost || on == OnCircuit::Refused) circuit->let_go();
        }
        if (on == OnCircuit::Lost) record = probe_at_once(timed, config, requested, detect, recording);
        if (on == OnCircuit::Refused || !record) record = probe_each(timed, config, requested, recording);
        record->lines = std::move(recording.lines);
        record->pace.load_ns = loads.longest();
        const bool stopped = simulator.stop && simulator.stop();
        if (simulator.memo && !simulator.failures->fired() && !stopped) simulator.memo->keep(key, *record);
    }
    probed.device_path = record->device_path;
    probed.small_signal = record->plan;
    probed.pace = record->pace;
    if (!simulator.failures->fired() && any(requested)) {
        messages.out("  probing OP parameter support …\n");
        for (std::size_t k = 0; k < kOpParamCount; ++k)
            probed.extract[k] = requested[k] && record->supported[k];
        report_op_support(requested, probed.extract, messages);
    }
    probed.ns = ns_since(start);
    return probed;
}

}  // namespace morva::lut::generate_ngspice
