#include "lut/generate_ngspice.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/memory.h"
#include "common/text.h"
#include "lut/assembly.h"
#include "lut/cache.h"
#include "lut/generate_native.h"
#include "lut/model_check.h"
#include "lut/model_files.h"
#include "lut/pair_tasks.h"
#include "lut/report.h"
#include "ngspice/pool.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

// The table's point count, nothing when it overflows.
std::optional<std::uint64_t> table_points(const LutConfig& config) {
    std::uint64_t points = 1;
    for (std::size_t n : {config.widths.size(), config.vbs_values.size(), config.lengths.size(),
                          sweep_point_count(config.vgs), sweep_point_count(config.vds)}) {
        if (n != 0 && points > std::numeric_limits<std::uint64_t>::max() / n) return std::nullopt;
        points *= n;
    }
    return points;
}

// Whether a table of a device with series resistances fits in memory with
// its rows: the rows of every vector held until assembly, the table's grids,
// the rest's parts with their shares, and a wrapper's slopes.
bool series_fits_in_memory(const LutConfig& config, const Probed& probed) {
    const std::optional<std::uint64_t> counted = table_points(config);
    if (!counted) return false;
    const std::uint64_t points = *counted;
    std::uint64_t grids = 3 + 1 + probed.small_signal.vectors.size() + 2 * probed.small_signal.rest.size() +
                          (probed.small_signal.wrapper ? 4 : 0);
    for (bool e : probed.extract) grids += e ? 2 : 0;
    return points <= std::numeric_limits<std::uint64_t>::max() / 8 / grids &&
           points * 8 * grids <= physical_memory();
}

// Everything of the configuration that the checks before a generation read
// (model_file_problem, model_problem, card_type_problem): the kit's paths as
// given and as the current directory resolves them, the device and its
// sizes. Empty without model files (nothing is read).
std::string check_key(const LutConfig& config) {
    if (!config.model_file && config.model_includes.empty()) return {};
    const auto path = [](const std::string& p) { return fmt::cat(p, "\n", cache::resolve(p), "\n"); };
    const auto text = [](const std::string& t) { return fmt::cat(t.size(), ":", t, "\n"); };
    std::string key = fmt::cat(device_type_name(config.device_type), "\n");
    key += config.model_file ? "file\n" + path(*config.model_file) : std::string("no file\n");
    key += config.model_section ? "section\n" + text(*config.model_section) : std::string("no section\n");
    for (const auto& [file, section] : config.model_includes) key += "include\n" + path(file) + text(section);
    key += text(config.model_name) + text(config.model_card) + text(config.width_param) +
           text(config.length_param) + text(config.device_name) +
           (config.subcircuit_name ? text(*config.subcircuit_name) : std::string("-\n"));
    key += config.subcircuit ? "subcircuit\n" : "device\n";
    for (const auto* sizes : {&config.widths, &config.lengths}) {
        for (double v : *sizes) key += fmt::hex(std::bit_cast<std::uint64_t>(v)) + " ";
        key += "\n";
    }
    return key;
}

// The files the checks read, when every reading was whole (a reading that
// failed without a refusal leaves what ngspice finds to ngspice: not kept).
std::optional<std::vector<FileStamp>> files_read(
    const LutConfig& config, const std::optional<KitTextReading>& model_text,
    const std::vector<std::optional<spice::model_parser::KitText>>& includes) {
    std::vector<FileStamp> files;
    if (config.model_file) {
        if (!model_text || !*model_text) return std::nullopt;
        files = (*model_text)->files;
    }
    if (includes.size() != config.model_includes.size()) return std::nullopt;
    for (const auto& text : includes) {
        if (!text) return std::nullopt;
        files.insert(files.end(), text->files.begin(), text->files.end());
    }
    return files;
}

// The line that closes the tasks: their count, wall time and rate.
void report_tasks_done(Messages& messages, std::size_t n_tasks, const std::array<std::size_t, 5>& dims,
                       u128 wall_ns) {
    const double wall_s = static_cast<double>(wall_ns) / 1e9;
    const double points = static_cast<double>(Grid5::element_count(dims));
    messages.out(fmt::cat("  all ", n_tasks, " tasks completed in ", fmt::fixed(wall_s * 1e3, 1), "ms  (",
                          fmt::fixed(points / wall_s, 0), " op/s)\n"));
}

// Waits for a reply from the pool, giving the request up (its worker ended)
// once `give_up` says so, with `gave_up`'s error.
template <class GiveUp, class GaveUp>
SimulationOutcome await_reply(ngspice::ReplyFuture& reply, const GiveUp& give_up, const GaveUp& gave_up) {
    while (!reply.wait_for(std::chrono::milliseconds(50))) {
        if (give_up()) return gave_up();
    }
    return reply.get();
}

// The pool's side of a generation's requests: once stopped, or once the
// generation has failed, a request in flight is dropped and its worker ended
// (it may run for seconds).
struct PoolRequests {
    std::shared_ptr<ngspice::WorkerPool> pool;
    StopRequested stop;
    std::shared_ptr<FailureLatch> failures;

    bool give_up() const { return (stop && stop()) || failures->fired(); }
    SimulationOutcome gave_up() const {
        if (!(stop && stop())) {
            if (auto e = failures->error()) return err(std::move(*e));
        }
        return err(NgspiceError::simulation(std::string(kInterrupted)));
    }
};

// A circuit a pool worker holds.
class PoolCircuit final : public HeldCircuit {
public:
    PoolCircuit(ngspice::CircuitHold hold, std::shared_ptr<const PoolRequests> requests)
        : hold_(std::move(hold)), requests_(std::move(requests)) {}
    std::optional<SimulationOutcome> follow_up(ngspice::SimulationRequest request, bool hold_again,
                                               std::unique_ptr<HeldCircuit>* next) override {
        auto sent = hold_.follow_up(std::move(request), ngspice::OnAbandon::EndWorker, hold_again);
        if (!sent) return std::nullopt;
        const PoolRequests& r = *requests_;
        SimulationOutcome outcome = await_reply(
            sent->reply, [&] { return r.give_up(); }, [&] { return r.gave_up(); });
        // Another worker took the follow-up's place (this one was replaced).
        if (outcome && !outcome->success && outcome->error == std::string(ngspice::kNoCircuitHeld))
            return std::nullopt;
        if (next && sent->hold && outcome && outcome->success)
            *next = std::make_unique<PoolCircuit>(std::move(*sent->hold), requests_);
        return outcome;
    }

private:
    ngspice::CircuitHold hold_;
    std::shared_ptr<const PoolRequests> requests_;
};

}  // namespace

std::optional<std::string> table_memory_problem(const LutConfig& config, std::uint64_t budget_bytes) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size(),
                      n_vbs = config.vbs_values.size();
    const std::size_t n_vgs = sweep_point_count(config.vgs), n_vds = sweep_point_count(config.vds);
    const std::optional<std::uint64_t> counted = table_points(config);
    if (!counted) return std::string("the table has too many points to hold in memory");
    const std::uint64_t points = *counted;
    ParamMask requested{};
    for (const std::string& name : config.op_params) {
        for (std::size_t k = 0; k < kOpParamCount; ++k)
            requested[k] = requested[k] || ascii_iequals(name, KNOWN_OP_PARAMS[k]);
    }
    double grids = 3;
    for (bool r : requested) grids += r ? 1 : 0;
    // Scheduling state of one (W, L) task, a generous round figure.
    constexpr double kTaskBytes = 1024;
    // Twice over: the pool path holds the simulated rows until the table is
    // assembled, the native path may hold finished items beside the table.
    const double needed = static_cast<double>(points) * 8 * grids * 2 +
                          static_cast<double>(n_w) * static_cast<double>(n_l) * kTaskBytes;
    if (needed <= static_cast<double>(budget_bytes)) return std::nullopt;
    constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
    return fmt::cat("a table of ", n_w, " W × ", n_vbs, " Vbs × ", n_l, " L × ", n_vgs, " Vgs × ", n_vds,
                    " Vds = ", points, " points needs ", fmt::fixed(needed / kGiB, 1),
                    " GiB of memory, more than this machine has (", fmt::fixed(budget_bytes / kGiB, 1),
                    " GiB): sweep fewer points");
}

std::optional<std::string> generation_problem(std::size_t n_chunks, const LutConfig& config) {
    if (n_chunks == 0) return std::string("n_chunks must be at least 1");
    if (config.widths.empty() || config.lengths.empty() || config.vbs_values.empty())
        return std::string("widths, lengths and vbs_values must not be empty");
    // Checked when the configuration is made; again for one made otherwise.
    if (auto problem = sweep_shape_problem(config.vgs, "vgs")) return problem;
    if (auto problem = sweep_shape_problem(config.vds, "vds")) return problem;
    if (auto problem = netlist_text_problem(config)) return problem;
    // Refused before anything is allocated or simulated: a table that does
    // not fit would otherwise be filled until the process is killed.
    if (auto problem = table_memory_problem(config, physical_memory())) return problem;
    // The native path reads the model file itself; its fallback checks again.
    if (config.use_native_bsim4) return std::nullopt;
    return netlist_path_problem(config);
}

std::size_t default_chunk_count(const LutConfig& config) {
    const std::size_t points = config.vgs.point_count();
    return std::max<std::size_t>(1, points / 100 + (points % 100 != 0));
}

Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks,
                                                 std::shared_ptr<ngspice::WorkerPool> pool,
                                                 const LutConfig& config, StopRequested stop,
                                                 std::shared_ptr<ProbeMemo> memo) {
    StdMessages messages;
    const std::uint64_t workers = pool ? pool->workers() : 1;
    auto requests = std::make_shared<const PoolRequests>(
        PoolRequests{std::move(pool), stop, std::make_shared<FailureLatch>()});
    const auto run = [requests](ngspice::SimulationRequest r) -> SimulationOutcome {
        if (!requests->pool) return err(NgspiceError::send_failed());
        auto reply = requests->pool->submit(
            std::move(r), [&] { return requests->give_up(); }, ngspice::OnAbandon::EndWorker);
        if (!reply) return requests->gave_up();
        return await_reply(
            *reply, [&] { return requests->give_up(); }, [&] { return requests->gave_up(); });
    };
    const auto run_holding = [requests](ngspice::SimulationRequest r) -> HeldOutcome {
        if (!requests->pool) return {err(NgspiceError::send_failed()), nullptr};
        auto submitted = requests->pool->submit_holding(
            std::move(r), [&] { return requests->give_up(); }, ngspice::OnAbandon::EndWorker);
        if (!submitted) return {requests->gave_up(), nullptr};
        SimulationOutcome outcome = await_reply(
            submitted->first, [&] { return requests->give_up(); }, [&] { return requests->gave_up(); });
        std::unique_ptr<HeldCircuit> circuit;
        if (outcome && outcome->success)
            circuit = std::make_unique<PoolCircuit>(std::move(submitted->second), requests);
        return {std::move(outcome), std::move(circuit)};
    };
    return generate_lut(n_chunks,
                        Simulator{run, workers, stop, requests->failures, run_holding, std::move(memo)},
                        config, messages);
}

namespace {

// One making of the table, whether it was built on what the pool kept of
// the kit (the checks' verdict, the probe's answers), and the memo's key of
// the probe's answers.
struct Attempt {
    Result<TransistorLut, NgspiceError> table;
    bool kept = false;
    std::string memo_key;
};

// An operating-point parameter the probe found but no sweep gave (NaN at
// every point: each of its requests failed on the ladder) is not listed as
// extracted: it is left out, as one the model lacks.
void unlist_unswept(TransistorLut& table, Messages& messages) {
    const auto [n_w, n_vbs, n_l, n_vgs, n_vds] = table.shape();
    std::erase_if(table.extracted_op_params, [&](const std::string& name) {
        const std::optional<std::size_t> k = op_param_index(name);
        if (!k) return false;
        Grid5& grid = table.op[*k];
        for (double x : grid.data) {
            if (!std::isnan(x)) return false;
        }
        messages.err(fmt::cat("  warning: no sweep gave OP parameter '", name,
                              "' (NaN at every point) — it is absent from the LUT\n"));
        grid = unextracted_grid(n_w, n_vbs, n_l);
        return true;
    });
}

// The checks, the probe, the pairs and the assembly; what the probe
// found is noted in `attempt`.
Result<TransistorLut, NgspiceError> characterise(std::size_t n_chunks, const Simulator& simulator,
                                                 const LutConfig& config, Messages& messages,
                                                 Clock::time_point call_start, Attempt& attempt) {
    // A pool keeps the checks' verdict on a kit whose files it read: while
    // they stay as they were, the same configuration is not read again.
    KitMemo* kits = simulator.memo && !config.use_native_bsim4 ? &simulator.memo->kits : nullptr;
    const std::string checked = kits ? check_key(config) : std::string();
    const bool passed = kits && !checked.empty() && kits->passed(checked);
    attempt.kept = passed;
    // The model file is read here once: its section, its cards and its
    // subcircuits come from this reading, dropped before the simulations.
    std::optional<KitTextReading> kit_text;
    std::vector<std::optional<spice::model_parser::KitText>> include_texts;
    if (!passed) {
        if (auto problem = model_file_problem(config, kit_text, &include_texts)) return err(problem->error());
    }
    // A model the kit lacks, or a size no bin holds, is refused here rather
    // than by ngspice after the probes and every rung of the ladder.
    const spice::model_parser::KitText* model_text = kit_text && *kit_text ? &**kit_text : nullptr;
    const auto refuse_model = [&](ModelUse use) -> std::optional<NgspiceError> {
        if (auto problem = model_problem(config, model_text, include_texts, use))
            return NgspiceError::refused(std::move(*problem));
        return std::nullopt;
    };
    if (passed) {
        // Checked before, on these very files.
    } else if (auto refused = refuse_model(config.use_native_bsim4 ? ModelUse::Native : ModelUse::Pool)) {
        return err(std::move(*refused));
    }

    // 1. The native evaluator, when asked and able.
    if (config.use_native_bsim4) {
        // Without a model file there is no kit to evaluate natively.
        NativeOutcome outcome =
            kit_text ? generate_lut_native(config, *kit_text, messages, 512, simulator.stop, &include_texts)
                     : NativeOutcome{};
        if (outcome) return std::move(*outcome);
        if (auto refused = refuse_model(ModelUse::Pool)) return err(std::move(*refused));
        messages.err("  [native] falling back to ngspice path\n");
        if (auto problem = netlist_path_problem(config)) return err(NgspiceError::simulation(*problem));
    } else if (kit_text && *kit_text) {
        // ngspice would simulate the other type's card under this type's biases.
        if (auto problem = card_type_problem(config, **kit_text))
            return err(NgspiceError::simulation(*problem));
    }
    if (kits && !passed && !checked.empty()) {
        if (auto files = files_read(config, kit_text, include_texts))
            kits->keep_passed(checked, std::move(*files));
    }
    kit_text.reset();
    include_texts.clear();

    // 2. The plan. Point counts are those ngspice's sweeps visit.
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size(),
                      n_vbs = config.vbs_values.size();
    const std::size_t n_vgs = sweep_point_count(config.vgs), n_vds = sweep_point_count(config.vds);
    const std::array<std::size_t, 5> dims{n_w, n_vbs, n_l, n_vgs, n_vds};
    const std::size_t n_tasks = n_w * n_l;
    const std::vector<Chunk> chunks = chunk_indices(n_vgs, n_chunks);
    messages.out(fmt::cat("  ", n_w, " W × ", n_vbs, " Vbs × ", n_l, " L × ", n_vgs, " Vgs × ", n_vds,
                          " Vds  → ", n_tasks, " tasks (", chunks.size(),
                          " Vgs chunk(s) per task, chunks + Vbs folded into each request)\n"));

    // 3-7. Requested parameters, device path, what the simulator reports:
    // asked, where the simulator keeps circuits, on the circuit of the first
    // task, which the first tasks load meanwhile.
    std::optional<EarlyLoads> early;
    if (simulator.run_holding) early.emplace(simulator, config, skeleton_plan(config, chunks, n_vds));
    Probed probed = probe_device(simulator, config, messages, early ? &*early : nullptr);
    attempt.kept = attempt.kept || probed.kept;
    attempt.memo_key = probed.memo_key;
    if (auto e = simulator.failures->error()) return err(std::move(*e));
    // Every request from here on is built on what the probe found.
    simulator.failures->expect_device(probed.device_path);
    // A wrapper's own sweeps come before each pair's rows, on circuits of
    // their own: the workers holding early circuits are wanted for them.
    if (early && probed.small_signal.wrapper) early->let_go();
    if (probed.small_signal.series && !series_fits_in_memory(config, probed)) {
        messages.err(fmt::cat(
            "  warning: the series resistances' values would not fit in memory beside the table: ",
            differences_phrase(sweep_point_count(config.vgs), sweep_point_count(config.vds), "NaN"), "\n"));
        probed.small_signal = SmallSignalPlan{};
    }
    if (probed.small_signal.resistances())
        messages.out("  series resistances: gm, gds and gmbs are the terminal's slopes through them\n");

    // 8-11. The pairs' tasks, each placing its rows in the table.
    Assembly assembly(config, dims, chunks, probed.small_signal, probed.extract);
    const std::shared_ptr<TaskPlan> base = base_plan(config, chunks, probed, n_vds);
    MORVA_ASSIGN(const TasksDone done,
                 run_pairs(simulator, config, base, probed, assembly, messages, early ? &*early : nullptr));
    report_tasks_done(messages, n_tasks, dims, done.wall);
    if (done.sweeps.fit_asked) {
        const TransistorLut& axes = assembly.fit_axes();
        messages.out(
            fmt::cat("  series resistances: too few points per block for their fit, so each pair sweeps ",
                     axes.vgs.size(), " Vgs x ", axes.vds.size(), " Vds of its own (", done.sweeps.fit_had,
                     " of ", done.sweeps.fit_asked, " had, ",
                     fmt::fixed(static_cast<double>(done.sweeps.fit_ns) / 1e6, 1), "ms)\n"));
    }
    if (done.sweeps.wrapper_asked) {
        if (done.sweeps.wrapper_failed)
            messages.err(fmt::cat(
                "  warning: what the subcircuit carries at the drain beside the device could not "
                "be swept for ",
                done.sweeps.wrapper_failed, " of ", done.sweeps.wrapper_asked, " (W, L) pair(s): their ",
                differences_phrase(n_vgs, n_vds, "the channel's own"), ", gmbs the channel's\n"));
        messages.out(fmt::cat("  what the subcircuit carries at the drain beside the device: slopes from ",
                              done.sweeps.wrapper_asked, " request(s) in ",
                              fmt::fixed(static_cast<double>(done.sweeps.wrapper_ns) / 1e6, 1), "ms\n"));
    }
    if (done.sweeps.slope_requests)
        messages.out(fmt::cat("  ", done.sweeps.slopes, " slopes from ", done.sweeps.sweeps,
                              " shifted sweeps (", done.sweeps.slope_requests, " tasks) in ",
                              fmt::fixed(static_cast<double>(done.sweeps.slope_ns) / 1e6, 1), "ms\n"));

    // A wrapped device's pairs whose elements follow no series resistance:
    // the terminal current's own tight central differences.
    MORVA_TRY(sweep_terminals(simulator, config, *base, probed.extract, assembly, messages));

    // 12. gm and gds of every pair, where the channel's values leave them.
    const auto diff_start = Clock::now();
    TransistorLut table = assembly.finish(messages);
    unlist_unswept(table, messages);
    const u128 diff_ns = ns_since(diff_start);

    // 13. The report: the whole call.
    const PhaseTimes phases{.wall = ns_since(call_start),
                            .probe = probed.ns,
                            .assemble = done.assemble,
                            .diff = diff_ns,
                            .n_w = n_w,
                            .n_l = n_l,
                            .n_vbs = n_vbs,
                            .n_workers = simulator.workers};
    messages.out(timing_report(phases, {}, done.timing));
    return table;
}

Attempt make_table(std::size_t n_chunks, const Simulator& simulator, const LutConfig& config,
                   Messages& messages, Clock::time_point call_start) {
    Attempt attempt{err(NgspiceError::simulation("no table")), false, {}};
    attempt.table = characterise(n_chunks, simulator, config, messages, call_start, attempt);
    return attempt;
}

}  // namespace

Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks, const Simulator& given,
                                                 const LutConfig& config, Messages& messages) {
    const auto call_start = Clock::now();
    if (auto problem = generation_problem(n_chunks, config)) return err(NgspiceError::refused(*problem));
    const Simulator simulator = with_failure_rule(given);
    // What the pool kept of the kit no longer holds where ngspice refused
    // the kit or contradicted the probe, whatever the files' identities say:
    // it is dropped.
    const auto stale = [&](const Attempt& attempt) {
        if (attempt.table) return false;
        return simulator.failures->contradicted() ||
               attempt.table.error().detail.starts_with(ngspice::kCircuitRefused);
    };
    const auto forget = [&](const Attempt& attempt) {
        if (!simulator.memo || !stale(attempt)) return;
        simulator.memo->forget(attempt.memo_key);
        simulator.memo->kits.forget(config, check_key(config));
    };
    Attempt first = make_table(n_chunks, simulator, config, messages, call_start);
    forget(first);
    // Where that was built on what the pool kept, the table is made again
    // once, from the kit as it is: checked, probed and loaded afresh.
    if (!first.kept || !stale(first)) return std::move(first.table);
    messages.err(fmt::cat("  warning: ", first.table.error().detail,
                          "; what this pool kept of the kit is stale (its files changed, their identities "
                          "did not): reading and probing it again\n"));
    simulator.failures->reset();
    Attempt again = make_table(n_chunks, simulator, config, messages, call_start);
    forget(again);
    return std::move(again.table);
}

}  // namespace morva::lut::generate_ngspice
