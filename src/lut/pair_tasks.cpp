#include "lut/pair_tasks.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>

#include "common/format.h"
#include "common/task_set.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

std::vector<std::shared_ptr<const TaskPlan>> split_plan(const std::shared_ptr<const TaskPlan>& base,
                                                        const LutConfig& config, std::size_t n_pairs,
                                                        std::uint64_t workers, const KitPace& pace) {
    const std::size_t n_vbs = config.vbs_values.size();
    const std::vector<Chunk>& chunks = base->chunks;
    const std::size_t points = n_vbs * sweep_point_count(config.vgs) * sweep_point_count(config.vds);
    const std::size_t k = parts_worth(pace, points, n_vbs * chunks.size(), n_pairs, workers);
    std::vector<std::shared_ptr<const TaskPlan>> parts;
    if (k < 2) {
        parts.push_back(base);
        return parts;
    }
    // Groups of Vbs values first, then of chunks within each value: no
    // more groups than k in all, their sizes at most one apart.
    const std::size_t vbs_groups = std::min(k, n_vbs);
    const std::size_t chunk_groups = k <= n_vbs ? 1 : std::min(chunks.size(), k / n_vbs);
    const auto group = [](std::size_t n, std::size_t groups, std::size_t g) { return g * n / groups; };
    for (std::size_t gv = 0; gv < vbs_groups; ++gv) {
        const std::size_t v0 = group(n_vbs, vbs_groups, gv), v1 = group(n_vbs, vbs_groups, gv + 1);
        for (std::size_t gc = 0; gc < chunk_groups; ++gc) {
            const std::size_t c0 = group(chunks.size(), chunk_groups, gc),
                              c1 = group(chunks.size(), chunk_groups, gc + 1);
            auto part = std::make_shared<TaskPlan>(*base);
            part->config.vbs_values.assign(config.vbs_values.begin() + static_cast<std::ptrdiff_t>(v0),
                                           config.vbs_values.begin() + static_cast<std::ptrdiff_t>(v1));
            part->vbs_offset = v0;
            part->chunks.assign(chunks.begin() + static_cast<std::ptrdiff_t>(c0),
                                chunks.begin() + static_cast<std::ptrdiff_t>(c1));
            part->chunk_offset = c0;
            part->part = true;
            part->netlist_vbs = config.vbs_values.front();
            parts.push_back(std::move(part));
        }
    }
    return parts;
}

namespace {

// Where the pairs are fewer than the workers: whether they were split, and
// what a load of the kit takes (the base of the choice).
void report_split(Messages& messages, std::size_t n_pairs, std::uint64_t workers, std::size_t parts,
                  const KitPace& pace) {
    if (n_pairs >= std::max<std::uint64_t>(1, workers)) return;
    const std::string load = pace.load_ns
                                 ? fmt::cat("a load of the kit takes ",
                                            fmt::fixed(static_cast<double>(pace.load_ns) / 1e6, 1), " ms")
                                 : std::string("the time of a load of the kit unknown");
    const std::string split = parts > 1 ? fmt::cat("each split into ", parts, " parts") : "each kept whole";
    messages.out(fmt::cat("  ", n_pairs, " pair(s) on ", workers, " workers: ", split, " (", load, ")\n"));
}

// What every pair's task reads and where it reports.
struct Pairs {
    const Simulator& simulator;
    const LutConfig& config;
    std::shared_ptr<const TaskPlan> plan;
    const SmallSignalPlan& small_signal;
    Assembly& assembly;
    Messages& messages;
    PairSweeps sweeps;

    LadderContext ladder(std::function<bool()> cancelled, bool holding) const {
        return {simulator.run, plan, &messages, std::move(cancelled),
                holding ? simulator.run_holding : RunHolding{}};
    }
};

// What one pair's task (or one part's) brings back.
struct PairDone {
    std::vector<TimingSums> timing;
    u128 assemble = 0;
};

// One whole pair: the wrapper's sweeps (their own circuit), the rows (whose
// circuit the worker keeps: the one loaded `early` for them when there is
// one), the fit sweep and the shifted sweeps on that circuit, the rows
// placed in between.
Result<PairDone, NgspiceError> whole_pair(Pairs& pairs, std::size_t wi, std::size_t li,
                                          std::function<bool()> cancelled,
                                          std::optional<EarlyCircuit> early) {
    const LutConfig& config = pairs.config;
    const bool follow_ups = !pairs.small_signal.empty();
    const LadderContext ctx = pairs.ladder(std::move(cancelled), follow_ups && pairs.simulator.run_holding);
    PairDone done;
    TimingSums extra;
    std::optional<std::vector<double>> wrapper;
    if (pairs.sweeps.wants_wrapper()) {
        MORVA_ASSIGN(wrapper, pairs.sweeps.wrapper(wi, li, extra));
    }
    MORVA_ASSIGN(PairRows rows,
                 fetch_wl_with_retry(ctx, config.widths[wi], wi, config.lengths[li], li, std::move(early)));
    std::optional<std::vector<VbsData>> fit_rows;
    if (pairs.sweeps.wants_fit_grid()) {
        MORVA_ASSIGN(fit_rows, pairs.sweeps.fit_grid(ctx, wi, li, rows.circuit, extra));
    }
    const auto assemble_start = Clock::now();
    MORVA_TRY(pairs.assembly.place_pair(wi, li, rows.chunks, fit_rows, std::move(wrapper)));
    std::vector<ShiftedSweep> sweeps = pairs.assembly.sweeps(wi, li);
    done.assemble = ns_since(assemble_start);
    for (const ChunkResult& r : rows.chunks) done.timing.push_back(r.timing);
    done.timing.push_back(extra);
    if (!sweeps.empty()) {
        const SlopeJob job{config.widths[wi], wi, config.lengths[li], li, std::move(sweeps), 0, false};
        MORVA_TRY(pairs.sweeps.shifted(ctx, job, rows.circuit ? &*rows.circuit : nullptr, done.timing));
    }
    return done;
}

// Pairs split into parts (fewer pairs than workers): every part's rows, then
// per pair its wrapper's and fit sweeps and its placing, then the shifted
// sweeps of all pairs spread over the workers.
Result<void, NgspiceError> split_pairs(Pairs& pairs,
                                       const std::vector<std::shared_ptr<const TaskPlan>>& parts,
                                       const KitPace& pace, TasksDone& done, EarlyLoads* early) {
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
                         MORVA_ASSIGN(PairRows rows,
                                      fetch_wl_with_retry(ctx, config.widths[wi], wi, config.lengths[li], li,
                                                          early ? early->take(k) : std::nullopt));
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
                if (pairs.sweeps.wants_wrapper()) {
                    MORVA_ASSIGN(wrapper, pairs.sweeps.wrapper(wi, li, extra));
                }
                std::optional<PairCircuit> none;
                std::optional<std::vector<VbsData>> fit_rows;
                if (pairs.sweeps.wants_fit_grid()) {
                    MORVA_ASSIGN(fit_rows, pairs.sweeps.fit_grid(ctx, wi, li, none, extra));
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
    const std::vector<SlopeJob> jobs = pairs.sweeps.jobs(pace);
    // Each point lies in one sweep per axis, so the order in which the jobs
    // end does not matter.
    MORVA_ASSIGN(auto swept,
                 run_task_set<std::vector<TimingSums>>(
                     pairs.simulator, jobs.size(),
                     [&](std::size_t k,
                         std::function<bool()> cancelled) -> Result<std::vector<TimingSums>, NgspiceError> {
                         const LadderContext ctx = pairs.ladder(std::move(cancelled), false);
                         std::vector<TimingSums> timing;
                         MORVA_TRY(pairs.sweeps.shifted(ctx, jobs[k], nullptr, timing));
                         return timing;
                     }));
    for (auto& [k, timing] : swept)
        for (TimingSums& t : timing) done.timing.push_back(t);
    return {};
}

}  // namespace

std::shared_ptr<TaskPlan> skeleton_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                        std::size_t n_vds) {
    auto base = std::make_shared<TaskPlan>();
    base->config = config;
    base->chunks = chunks;
    base->pre_commands = model_dir_pre_commands(config);
    base->n_vds = n_vds;
    return base;
}

std::shared_ptr<TaskPlan> base_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                    const Probed& probed, std::size_t n_vds) {
    std::shared_ptr<TaskPlan> base = skeleton_plan(config, chunks, n_vds);
    base->device_path = probed.device_path;
    base->extract_mask = probed.extract;
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

EarlyLoads::EarlyLoads(const Simulator& simulator, const LutConfig& config,
                       std::shared_ptr<const TaskPlan> skeleton)
    : simulator_(simulator), config_(config), skeleton_(std::move(skeleton)) {
    // Whether the pairs split is known once the probe has timed a load: the
    // circuits loaded early are the whole pairs', which serve a split
    // pair's first part as well.
    const std::size_t n_l = config.lengths.size(), n_tasks = config.widths.size() * n_l;
    // The probe netlists' device: the first width, the middle length.
    probe_task_ = n_l / 2;
    const std::uint64_t workers = std::max<std::uint64_t>(1, simulator.workers);
    const auto add = [this](std::size_t k) {
        slots_.push_back(std::make_unique<Slot>());
        slots_.back()->task = k;
    };
    add(probe_task_);
    for (std::size_t k = 0; k < n_tasks && slots_.size() < workers; ++k) {
        if (k != probe_task_) add(k);
    }
}

EarlyLoads::~EarlyLoads() {
    let_go();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

void EarlyLoads::start(bool listing) {
    const std::size_t n_l = config_.lengths.size();
    for (const auto& slot : slots_) {
        const std::size_t k = slot->task, wi = k / n_l, li = k % n_l;
        ngspice::SimulationRequest request = rows_load_request(
            *skeleton_, config_.widths[wi], wi, config_.lengths[li], li, listing && k == probe_task_);
        try {
            Slot* s = slot.get();
            threads_.push_back(
                start_quiet_thread([this, s, r = std::move(request)]() mutable { load(*s, std::move(r)); }));
        } catch (const std::exception&) {
            // No thread to load it on: the task loads its circuit itself.
            std::lock_guard lock(mutex_);
            slot->held = HeldOutcome{ngspice::SimulationResponse{}, nullptr};
            slot->done = true;
        }
    }
    answered_.notify_all();
}

void EarlyLoads::load(Slot& slot, ngspice::SimulationRequest request) {
    const auto start = Clock::now();
    std::optional<HeldOutcome> held;
    try {
        held = simulator_.run_holding(std::move(request));
    } catch (const std::exception& e) {
        held = HeldOutcome{
            err(NgspiceError::worker_crashed(fmt::cat("early load ended abnormally: ", e.what()))), nullptr};
    }
    TimingSums timing;
    timing.request_ns = ns64_since(start);
    if (held->outcome) timing.add_worker(held->outcome->timing);
    std::unique_ptr<HeldCircuit> dropped;
    {
        std::lock_guard lock(mutex_);
        slot.timing = timing;
        slot.held = std::move(held);
        if (let_go_) dropped = std::move(slot.held->circuit);
        slot.done = true;
    }
    answered_.notify_all();
}

EarlyLoads::Slot* EarlyLoads::slot_of(std::size_t k) {
    for (const auto& slot : slots_) {
        if (slot->task == k) return slot.get();
    }
    return nullptr;
}

HeldOutcome EarlyLoads::take() {
    Slot* slot = slot_of(probe_task_);
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [&] { return slot->done || threads_.empty(); });
    if (!slot->done) return HeldOutcome{ngspice::SimulationResponse{}, nullptr};
    HeldOutcome out = std::move(*slot->held);
    slot->held->circuit.reset();
    return out;
}

void EarlyLoads::give_back(std::unique_ptr<HeldCircuit> circuit) {
    Slot* slot = slot_of(probe_task_);
    std::lock_guard lock(mutex_);
    if (!let_go_ && slot->held) slot->held->circuit = std::move(circuit);
}

void EarlyLoads::let_go() {
    std::vector<std::unique_ptr<HeldCircuit>> dropped;
    {
        std::lock_guard lock(mutex_);
        let_go_ = true;
        for (const auto& slot : slots_) {
            if (slot->held && slot->held->circuit) dropped.push_back(std::move(slot->held->circuit));
        }
    }
    answered_.notify_all();
}

std::optional<EarlyCircuit> EarlyLoads::take(std::size_t k) {
    Slot* slot = slot_of(k);
    if (!slot) return std::nullopt;
    std::unique_lock lock(mutex_);
    // Let go, or never started: the task loads its own.
    answered_.wait(lock, [&] { return slot->done || let_go_ || threads_.empty(); });
    if (!slot->done || slot->taken) return std::nullopt;
    slot->taken = true;
    return EarlyCircuit{std::move(slot->held->circuit), slot->timing};
}

Result<TasksDone, NgspiceError> run_pairs(const Simulator& simulator, const LutConfig& config,
                                          const std::shared_ptr<TaskPlan>& base, const Probed& probed,
                                          Assembly& assembly, Messages& messages, EarlyLoads* early) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size();
    const SmallSignalPlan& plan = probed.small_signal;
    Pairs pairs{simulator,
                config,
                base,
                plan,
                assembly,
                messages,
                PairSweeps(simulator, config, base, plan, probed.extract, assembly)};
    TasksDone done;
    const auto start = Clock::now();
    const auto parts = split_plan(base, config, n_w * n_l, simulator.workers, probed.pace);
    report_split(messages, n_w * n_l, simulator.workers, parts.size(), probed.pace);
    if (parts.size() == 1) {
        MORVA_ASSIGN(
            auto ended,
            run_task_set<PairDone>(simulator, n_w * n_l, [&](std::size_t k, std::function<bool()> cancelled) {
                return whole_pair(pairs, k / n_l, k % n_l, std::move(cancelled),
                                  early ? early->take(k) : std::nullopt);
            }));
        for (auto& [k, pair] : ended) {
            done.assemble += pair.assemble;
            for (TimingSums& t : pair.timing) done.timing.push_back(t);
        }
    } else {
        MORVA_TRY(split_pairs(pairs, parts, probed.pace, done, early));
    }
    done.wall = ns_since(start);
    done.sweeps = pairs.sweeps.done();
    return done;
}

}  // namespace morva::lut::generate_ngspice
