#include "lut/pair_tasks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <mutex>
#include <utility>

#include "common/format.h"
#include "common/task_set.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

u128 ns_since(Clock::time_point start) {
    const auto d = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return d < 0 ? 0 : static_cast<u128>(d);
}

std::uint64_t ns64_since(Clock::time_point start) {
    const auto d = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return d < 0 ? 0 : static_cast<std::uint64_t>(d);
}

// The time from the first of a kind of request's start to the last one's
// end, over every task.
class Span {
public:
    void add(Clock::time_point start, Clock::time_point end) {
        std::lock_guard lock(mutex_);
        first_ = std::min(first_, start);
        last_ = std::max(last_, end);
    }
    u128 ns() const {
        std::lock_guard lock(mutex_);
        if (last_ <= first_) return 0;
        return static_cast<u128>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(last_ - first_).count());
    }

private:
    mutable std::mutex mutex_;  // guards first_ and last_
    Clock::time_point first_ = Clock::time_point::max(), last_ = Clock::time_point::min();
};

// Runs `task(k, cancelled)` for k = 0 .. n - 1 on a task set, `cancelled`
// saying whether to give up (the set aborted or a stop requested), and gives
// each result with its k, in the order the tasks ended. The first error or
// abnormal end aborts the other tasks and is the outcome; a stop request wins
// over it.
template <class T, class Task>
Result<std::vector<std::pair<std::size_t, T>>, NgspiceError> run_task_set(const Simulator& simulator,
                                                                          std::size_t n, const Task& task) {
    using Indexed = std::pair<std::size_t, T>;
    std::vector<typename TaskSet<Indexed, NgspiceError>::Task> tasks;
    tasks.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        tasks.push_back([&simulator, &task, k](const CancelToken& token) -> Result<Indexed, NgspiceError> {
            const auto cancelled = [&token, &simulator] {
                return token.cancelled() || (simulator.stop && simulator.stop());
            };
            Result<T, NgspiceError> value = task(k, cancelled);
            if (!value) return err(std::move(value).error());
            return Indexed(k, std::move(value).value());
        });
    }
    auto ended = run_all<Indexed, NgspiceError>(std::move(tasks), [](const std::string& what) {
        return NgspiceError::worker_crashed(fmt::cat("generation task panicked: ", what));
    });
    if (simulator.stop && simulator.stop()) return err(NgspiceError::simulation(std::string(kInterrupted)));
    return ended;
}

// The whole plan when the (W, L) pairs keep every worker busy; else one part
// per Vbs value, and per chunk when those are still too few. Every plot is
// its own sweep from a fresh operating point, so the split does not change a
// single value.
std::vector<std::shared_ptr<const TaskPlan>> split_plan(const std::shared_ptr<TaskPlan>& base,
                                                        const LutConfig& config, std::size_t n_tasks,
                                                        std::uint64_t simulator_workers) {
    const std::size_t n_vbs = config.vbs_values.size();
    const std::vector<Chunk>& chunks = base->chunks;
    const std::uint64_t workers = std::max<std::uint64_t>(1, simulator_workers);
    std::vector<std::shared_ptr<const TaskPlan>> parts;
    if (n_tasks >= workers || (n_vbs == 1 && chunks.size() == 1)) {
        parts.push_back(base);
        return parts;
    }
    const bool per_chunk = n_tasks * n_vbs < 2 * workers;
    for (std::size_t v = 0; v < n_vbs; ++v) {
        for (std::size_t k = 0; k < (per_chunk ? chunks.size() : 1); ++k) {
            auto part = std::make_shared<TaskPlan>(*base);
            part->config.vbs_values = {config.vbs_values[v]};
            part->vbs_offset = v;
            if (per_chunk) {
                part->chunks = {chunks[k]};
                part->chunk_offset = k;
            }
            part->part = true;
            part->netlist_vbs = config.vbs_values.front();
            parts.push_back(std::move(part));
        }
    }
    return parts;
}

// The jobs of the shifted sweeps of pairs placed in `assembly`: one per pair
// that has any; when those are fewer than the workers, each pair's sweeps
// split into parts of about equal points. Every sweep is its own alter and
// dc, so the split does not change a value.
std::vector<SlopeJob> slope_jobs(const LutConfig& config, const Assembly& assembly,
                                 std::uint64_t simulator_workers) {
    const auto& dims = assembly.table().id.dims;
    std::vector<SlopeJob> pairs;
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            std::vector<ShiftedSweep> sweeps = assembly.sweeps(wi, li);
            if (!sweeps.empty())
                pairs.push_back({config.widths[wi], wi, config.lengths[li], li, std::move(sweeps), 0, false});
        }
    }
    const std::uint64_t workers = std::max<std::uint64_t>(1, simulator_workers);
    if (pairs.empty() || pairs.size() >= workers) return pairs;
    const std::size_t per_pair = static_cast<std::size_t>((workers + pairs.size() - 1) / pairs.size());
    std::vector<SlopeJob> jobs;
    for (SlopeJob& pair : pairs) {
        const std::size_t parts = std::min(per_pair, pair.sweeps.size());
        if (parts < 2) {
            jobs.push_back(std::move(pair));
            continue;
        }
        std::size_t total = 0;
        for (const ShiftedSweep& sweep : pair.sweeps) total += sweep.points();
        std::size_t made = 0, first = 0, done = 0;
        for (std::size_t k = 0; k < pair.sweeps.size(); ++k) {
            done += pair.sweeps[k].points();
            // A part ends once the parts so far hold their share of points.
            if (k + 1 < pair.sweeps.size() && done * parts < total * (made + 1)) continue;
            SlopeJob part = pair;
            part.sweeps.assign(pair.sweeps.begin() + static_cast<std::ptrdiff_t>(first),
                               pair.sweeps.begin() + static_cast<std::ptrdiff_t>(k + 1));
            part.first = first;
            part.part = true;
            jobs.push_back(std::move(part));
            first = k + 1;
            ++made;
        }
    }
    return jobs;
}

// What every pair's task reads and where it reports.
struct Pairs {
    const Simulator& simulator;
    const LutConfig& config;
    std::shared_ptr<const TaskPlan> plan;
    const SmallSignalPlan& small_signal;
    Assembly& assembly;
    Messages& messages;
    // The series resistances' fit sweeps, when the table needs them.
    std::optional<LutConfig> fit;
    // The wrapper's sweeps: along Vgs, Vds, Vbs.
    WrapperAxes along{};
    Span fit_span, wrapper_span, slope_span;
    std::atomic<std::size_t> fit_had{0}, wrapper_failed{0}, slopes{0}, sweeps{0}, slope_requests{0};

    LadderContext ladder(std::function<bool()> cancelled, bool holding) const {
        return {simulator.run, plan, &messages, std::move(cancelled),
                holding ? simulator.run_holding : RunHolding{}};
    }
};

// What one pair's task (or one part's) brings back.
struct PairDone {
    std::vector<ChunkResult> rows;
    std::vector<TimingSums> timing;
    u128 assemble = 0;
};

// Adds what a request took to `timing` (the worker's phases from its
// response, when there is one).
void count(TimingSums& timing, const SimulationOutcome& outcome, Clock::time_point start,
           std::uint64_t build_ns) {
    timing.build_ns = saturating_add(timing.build_ns, build_ns);
    timing.request_ns = saturating_add(timing.request_ns, ns64_since(start));
    if (outcome) timing.add_worker(outcome->timing);
}

// What a pair's subcircuit wrapper alone carries at the drain: its own
// request (the device switched off for good in that circuit). Nothing where
// ngspice failed it.
Result<std::optional<std::vector<double>>, NgspiceError> sweep_wrapper(Pairs& pairs, std::size_t wi,
                                                                       std::size_t li, TimingSums& timing) {
    const LutConfig& config = pairs.config;
    const std::size_t n_vbs = config.vbs_values.size();
    const auto n_axes = static_cast<std::size_t>(std::count(pairs.along.begin(), pairs.along.end(), true));
    const auto build_start = Clock::now();
    ngspice::SimulationRequest req;
    req.id = fmt::cat("wrapper-w", wi, "-l", li);
    req.netlist = build_slope_netlist(config, {}, config.widths[wi], config.lengths[li]);
    req.commands = build_wrapper_commands(config, pairs.plan->device_path, pairs.along);
    req.pre_commands = pairs.plan->pre_commands;
    req.return_vectors = build_slope_return_vectors(2 * n_axes * n_vbs, {});
    const std::uint64_t build_ns = ns64_since(build_start);
    const auto start = Clock::now();
    SimulationOutcome outcome = pairs.simulator.run(std::move(req));
    pairs.wrapper_span.add(start, Clock::now());
    count(timing, outcome, start, build_ns);
    if (!outcome) return err(std::move(outcome).error());
    std::optional<std::vector<double>> out;
    if (outcome->success)
        out = extract_wrapper_slopes(*outcome, n_vbs, pairs.along,
                                     pairs.assembly.table().id.dims[3] * pairs.assembly.table().id.dims[4]);
    if (!out) pairs.wrapper_failed.fetch_add(1);
    return out;
}

// The pair's own sweep for the series resistances' fit, at every Vbs value:
// on its held circuit when there is one. Nothing where ngspice failed it.
Result<std::optional<std::vector<VbsData>>, NgspiceError> sweep_fit_grid(Pairs& pairs,
                                                                         const LadderContext& ctx,
                                                                         std::size_t wi, std::size_t li,
                                                                         std::optional<PairCircuit>& circuit,
                                                                         TimingSums& timing) {
    const LutConfig& c = *pairs.fit;
    const std::size_t n_vbs = c.vbs_values.size();
    const std::vector<std::string>& vectors = pairs.small_signal.vectors;
    const std::string& device = pairs.plan->device_path;
    const auto build_start = Clock::now();
    ngspice::SimulationRequest req;
    req.id = fmt::cat("fit-w", wi, "-l", li);
    if (!circuit)
        req.netlist = build_netlist(c, c.vgs, ParamMask{}, device, c.widths[wi], c.lengths[li],
                                    c.vbs_values.front(), vectors);
    req.commands = build_vbs_sweep_commands(c);
    req.pre_commands = pairs.plan->pre_commands;
    req.return_vectors = build_return_vectors(n_vbs, device, ParamMask{}, vectors);
    const std::uint64_t build_ns = ns64_since(build_start);
    const auto start = Clock::now();
    SimulationOutcome outcome =
        circuit ? run_on_circuit(ctx, *circuit, std::move(req), true) : ctx.run(std::move(req));
    pairs.fit_span.add(start, Clock::now());
    count(timing, outcome, start, build_ns);
    if (!outcome) return err(std::move(outcome).error());
    std::optional<std::vector<VbsData>> out;
    if (outcome->success) {
        const TransistorLut& axes = pairs.assembly.fit_axes();
        out =
            extract_all_vbs(*outcome, n_vbs, axes.vgs.size(), axes.vds.size(), device, ParamMask{}, vectors);
    }
    if (out) pairs.fit_had.fetch_add(1);
    return out;
}

// The pair's shifted sweeps in one job (on `circuit` when given), their
// slopes set in the table.
Result<void, NgspiceError> shifted_sweeps(Pairs& pairs, const LadderContext& ctx, const SlopeJob& job,
                                          PairCircuit* circuit, std::vector<TimingSums>& timing) {
    const auto start = Clock::now();
    MORVA_ASSIGN(SlopeResult r, fetch_slopes_with_retry(ctx, job, circuit));
    pairs.slope_span.add(start, Clock::now());
    timing.push_back(r.timing);
    std::size_t set = 0;
    for (std::size_t s = 0; s < job.sweeps.size(); ++s) {
        if (r.beyond[s]) set += pairs.assembly.apply(job.wi, job.li, job.sweeps[s], *r.beyond[s]);
    }
    pairs.slopes.fetch_add(set);
    pairs.sweeps.fetch_add(job.sweeps.size());
    pairs.slope_requests.fetch_add(1);
    return {};
}

// One whole pair: the wrapper's sweeps (their own circuit), the rows (whose
// circuit the worker keeps), the fit sweep and the shifted sweeps on that
// circuit, the rows placed in between.
Result<PairDone, NgspiceError> whole_pair(Pairs& pairs, std::size_t wi, std::size_t li,
                                          std::function<bool()> cancelled) {
    const LutConfig& config = pairs.config;
    const bool follow_ups = !pairs.small_signal.empty();
    const LadderContext ctx = pairs.ladder(std::move(cancelled), follow_ups && pairs.simulator.run_holding);
    PairDone done;
    TimingSums extra;
    std::optional<std::vector<double>> wrapper;
    if (pairs.small_signal.wrapper) {
        MORVA_ASSIGN(wrapper, sweep_wrapper(pairs, wi, li, extra));
    }
    MORVA_ASSIGN(PairRows rows, fetch_wl_with_retry(ctx, config.widths[wi], wi, config.lengths[li], li));
    std::optional<std::vector<VbsData>> fit_rows;
    if (pairs.fit) {
        MORVA_ASSIGN(fit_rows, sweep_fit_grid(pairs, ctx, wi, li, rows.circuit, extra));
    }
    const auto assemble_start = Clock::now();
    MORVA_TRY(pairs.assembly.place_pair(wi, li, rows.chunks, fit_rows, std::move(wrapper)));
    std::vector<ShiftedSweep> sweeps = pairs.assembly.sweeps(wi, li);
    done.assemble = ns_since(assemble_start);
    for (const ChunkResult& r : rows.chunks) done.timing.push_back(r.timing);
    done.timing.push_back(extra);
    if (!sweeps.empty()) {
        const SlopeJob job{config.widths[wi], wi, config.lengths[li], li, std::move(sweeps), 0, false};
        MORVA_TRY(shifted_sweeps(pairs, ctx, job, rows.circuit ? &*rows.circuit : nullptr, done.timing));
    }
    return done;
}

// Pairs split into parts (fewer pairs than workers): every part's rows, then
// per pair its wrapper's and fit sweeps and its placing, then the shifted
// sweeps of all pairs spread over the workers.
Result<void, NgspiceError> split_pairs(Pairs& pairs,
                                       const std::vector<std::shared_ptr<const TaskPlan>>& parts,
                                       TasksDone& done) {
    const LutConfig& config = pairs.config;
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size();
    MORVA_ASSIGN(auto ended,
                 run_task_set<std::vector<ChunkResult>>(
                     pairs.simulator, parts.size() * n_w * n_l,
                     [&](std::size_t k,
                         std::function<bool()> cancelled) -> Result<std::vector<ChunkResult>, NgspiceError> {
                         const std::size_t wi = k / n_l % n_w, li = k % n_l;
                         const LadderContext ctx{pairs.simulator.run, parts[k / (n_w * n_l)], &pairs.messages,
                                                 std::move(cancelled)};
                         MORVA_ASSIGN(PairRows rows, fetch_wl_with_retry(ctx, config.widths[wi], wi,
                                                                         config.lengths[li], li));
                         return std::move(rows.chunks);
                     }));
    std::vector<std::vector<ChunkResult>> of_pair(n_w * n_l);
    for (auto& [k, rows] : ended) {
        for (ChunkResult& r : rows) {
            done.timing.push_back(r.timing);
            of_pair[r.w_index * n_l + r.l_index].push_back(std::move(r));
        }
    }
    MORVA_ASSIGN(
        auto placed,
        run_task_set<PairDone>(
            pairs.simulator, n_w * n_l,
            [&](std::size_t k, std::function<bool()> cancelled) -> Result<PairDone, NgspiceError> {
                const std::size_t wi = k / n_l, li = k % n_l;
                const LadderContext ctx = pairs.ladder(std::move(cancelled), false);
                PairDone out;
                TimingSums extra;
                std::optional<std::vector<double>> wrapper;
                if (pairs.small_signal.wrapper) {
                    MORVA_ASSIGN(wrapper, sweep_wrapper(pairs, wi, li, extra));
                }
                std::optional<PairCircuit> none;
                std::optional<std::vector<VbsData>> fit_rows;
                if (pairs.fit) {
                    MORVA_ASSIGN(fit_rows, sweep_fit_grid(pairs, ctx, wi, li, none, extra));
                }
                out.timing.push_back(extra);
                const auto start = Clock::now();
                MORVA_TRY(pairs.assembly.place_pair(wi, li, of_pair[k], fit_rows, std::move(wrapper)));
                out.assemble = ns_since(start);
                return out;
            }));
    for (auto& [k, pair] : placed) {
        done.assemble += pair.assemble;
        for (TimingSums& t : pair.timing) done.timing.push_back(t);
    }
    const std::vector<SlopeJob> jobs = slope_jobs(config, pairs.assembly, pairs.simulator.workers);
    // Each point lies in one sweep per axis, so the order in which the jobs
    // end does not matter.
    MORVA_ASSIGN(auto swept,
                 run_task_set<std::vector<TimingSums>>(
                     pairs.simulator, jobs.size(),
                     [&](std::size_t k,
                         std::function<bool()> cancelled) -> Result<std::vector<TimingSums>, NgspiceError> {
                         const LadderContext ctx = pairs.ladder(std::move(cancelled), false);
                         std::vector<TimingSums> timing;
                         MORVA_TRY(shifted_sweeps(pairs, ctx, jobs[k], nullptr, timing));
                         return timing;
                     }));
    for (auto& [k, timing] : swept)
        for (TimingSums& t : timing) done.timing.push_back(t);
    return {};
}

}  // namespace

std::shared_ptr<TaskPlan> base_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                    const Probed& probed, std::size_t n_vds) {
    auto base = std::make_shared<TaskPlan>();
    base->config = config;
    base->chunks = chunks;
    base->device_path = probed.device_path;
    base->pre_commands = model_dir_pre_commands(config);
    base->extract_mask = probed.extract;
    base->n_vds = n_vds;
    base->small_signal = probed.small_signal.vectors;
    base->rest = probed.small_signal.rest;
    // Follow-ups on a pair's circuit sweep the rest's vectors: those the
    // rows do not save already.
    for (const std::string& name : rest_vectors(base->rest)) {
        if (std::find(base->small_signal.begin(), base->small_signal.end(), name) == base->small_signal.end())
            base->saved.push_back(name);
    }
    return base;
}

Result<TasksDone, NgspiceError> run_pairs(const Simulator& simulator, const LutConfig& config,
                                          const std::shared_ptr<TaskPlan>& base, const Probed& probed,
                                          Assembly& assembly, Messages& messages) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size();
    const SmallSignalPlan& plan = probed.small_signal;
    Pairs pairs{simulator, config, base, plan, assembly, messages, std::nullopt, {},
                {},        {},     {},   {},   {},       {},       {},           {}};
    if (plan.series && needs_fit_grid(config)) pairs.fit = fit_grid_config(config);
    if (plan.wrapper) pairs.along = {plan.wrapper_gate, true, probed.extract[*op_param_index("gmbs")]};
    TasksDone done;
    const auto start = Clock::now();
    const auto parts = split_plan(base, config, n_w * n_l, simulator.workers);
    if (parts.size() == 1) {
        MORVA_ASSIGN(
            auto ended,
            run_task_set<PairDone>(simulator, n_w * n_l, [&](std::size_t k, std::function<bool()> cancelled) {
                return whole_pair(pairs, k / n_l, k % n_l, std::move(cancelled));
            }));
        for (auto& [k, pair] : ended) {
            done.assemble += pair.assemble;
            for (TimingSums& t : pair.timing) done.timing.push_back(t);
        }
    } else {
        MORVA_TRY(split_pairs(pairs, parts, done));
    }
    done.wall = ns_since(start);
    done.fit_asked = pairs.fit ? n_w * n_l : 0;
    done.fit_had = pairs.fit_had.load();
    done.fit_ns = pairs.fit_span.ns();
    done.wrapper_asked = plan.wrapper ? n_w * n_l : 0;
    done.wrapper_failed = pairs.wrapper_failed.load();
    done.wrapper_ns = pairs.wrapper_span.ns();
    done.slopes = pairs.slopes.load();
    done.sweeps = pairs.sweeps.load();
    done.slope_requests = pairs.slope_requests.load();
    done.slope_ns = pairs.slope_span.ns();
    return done;
}

}  // namespace morva::lut::generate_ngspice
