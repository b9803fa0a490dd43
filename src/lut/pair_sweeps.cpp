#include "lut/pair_sweeps.h"

#include <algorithm>
#include <utility>

#include "common/format.h"
#include "common/task_set.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

// Adds what a request took to `timing` (the worker's phases from its
// response, when there is one).
void count(TimingSums& timing, const SimulationOutcome& outcome, Clock::time_point start,
           std::uint64_t build_ns) {
    timing.build_ns = saturating_add(timing.build_ns, build_ns);
    timing.request_ns = saturating_add(timing.request_ns, ns64_since(start));
    if (outcome) timing.add_worker(outcome->timing);
}

// Pair (wi, li)'s grids shifted along `along` by `commands`
// (build_wrapper_commands, build_terminal_commands), returning their plots:
// two per axis swept, per Vbs value.
ngspice::SimulationRequest shifted_grids(std::string id, const LutConfig& config, const TaskPlan& plan,
                                         std::size_t wi, std::size_t li, std::vector<std::string> commands,
                                         const WrapperAxes& along) {
    const auto n_axes = static_cast<std::size_t>(std::count(along.begin(), along.end(), true));
    ngspice::SimulationRequest req;
    req.id = std::move(id);
    req.netlist = build_slope_netlist(config, {}, config.widths[wi], config.lengths[li]);
    req.commands = std::move(commands);
    req.pre_commands = plan.pre_commands;
    req.return_vectors = build_slope_return_vectors(2 * n_axes * config.vbs_values.size(), {});
    return req;
}

}  // namespace

void Span::add(Clock::time_point start, Clock::time_point end) {
    std::lock_guard lock(mutex_);
    first_ = std::min(first_, start);
    last_ = std::max(last_, end);
}

u128 Span::ns() const {
    std::lock_guard lock(mutex_);
    if (last_ <= first_) return 0;
    return static_cast<u128>(std::chrono::duration_cast<std::chrono::nanoseconds>(last_ - first_).count());
}

PairSweeps::PairSweeps(const Simulator& simulator, const LutConfig& config,
                       std::shared_ptr<const TaskPlan> plan, const SmallSignalPlan& small_signal,
                       const ParamMask& extract, Assembly& assembly)
    : simulator_(simulator),
      config_(config),
      plan_(std::move(plan)),
      small_signal_(small_signal),
      assembly_(assembly) {
    if (small_signal.resistances() && needs_fit_grid(config)) fit_ = fit_grid_config(config);
    if (small_signal.wrapper) along_ = {small_signal.wrapper_gate, true, extract[*op_param_index("gmbs")]};
}

Result<std::optional<std::vector<double>>, NgspiceError> PairSweeps::wrapper(std::size_t wi, std::size_t li,
                                                                             TimingSums& timing) {
    const std::size_t n_vbs = config_.vbs_values.size();
    const auto build_start = Clock::now();
    ngspice::SimulationRequest req =
        shifted_grids(fmt::cat("wrapper-w", wi, "-l", li), config_, *plan_, wi, li,
                      build_wrapper_commands(config_, plan_->device_path, along_), along_);
    const std::uint64_t build_ns = ns64_since(build_start);
    const auto start = Clock::now();
    SimulationOutcome outcome = simulator_.run(std::move(req));
    wrapper_span_.add(start, Clock::now());
    count(timing, outcome, start, build_ns);
    if (!outcome) return err(std::move(outcome).error());
    wrapper_asked_.fetch_add(1);
    const auto& dims = assembly_.table().id.dims;
    std::optional<std::vector<double>> out;
    if (outcome->success) out = extract_wrapper_slopes(*outcome, n_vbs, along_, dims[3] * dims[4]);
    if (!out) wrapper_failed_.fetch_add(1);
    return out;
}

Result<std::optional<std::vector<VbsData>>, NgspiceError> PairSweeps::fit_grid(
    const LadderContext& ctx, std::size_t wi, std::size_t li, std::optional<PairCircuit>& circuit,
    TimingSums& timing) {
    const LutConfig& c = *fit_;
    const std::size_t n_vbs = c.vbs_values.size();
    const std::vector<std::string>& vectors = small_signal_.vectors;
    const std::string& device = plan_->device_path;
    const auto build_start = Clock::now();
    ngspice::SimulationRequest req;
    req.id = fmt::cat("fit-w", wi, "-l", li);
    // Every Vbs value by its alter, so that the circuit of any netlist of the
    // pair gives the same values.
    if (!circuit)
        req.netlist = build_netlist(c, c.vgs, ParamMask{}, device, c.widths[wi], c.lengths[li],
                                    c.vbs_values.front(), vectors);
    req.commands = build_vbs_sweep_commands(c);
    req.pre_commands = plan_->pre_commands;
    req.return_vectors = build_return_vectors(n_vbs, device, ParamMask{}, vectors);
    const std::uint64_t build_ns = ns64_since(build_start);
    const auto start = Clock::now();
    SimulationOutcome outcome =
        circuit ? run_on_circuit(ctx, *circuit, std::move(req), true) : ctx.run(std::move(req));
    fit_span_.add(start, Clock::now());
    count(timing, outcome, start, build_ns);
    if (!outcome) return err(std::move(outcome).error());
    fit_asked_.fetch_add(1);
    std::optional<std::vector<VbsData>> out;
    if (outcome->success) {
        const TransistorLut& axes = assembly_.fit_axes();
        out =
            extract_all_vbs(*outcome, n_vbs, axes.vgs.size(), axes.vds.size(), device, ParamMask{}, vectors);
    }
    if (out) fit_had_.fetch_add(1);
    return out;
}

Result<void, NgspiceError> PairSweeps::shifted(const LadderContext& ctx, const SlopeJob& job,
                                               PairCircuit* circuit, std::vector<TimingSums>& timing) {
    const auto start = Clock::now();
    MORVA_ASSIGN(SlopeResult r, fetch_slopes_with_retry(ctx, job, circuit));
    slope_span_.add(start, Clock::now());
    timing.push_back(r.timing);
    std::size_t set = 0;
    for (std::size_t s = 0; s < job.sweeps.size(); ++s) {
        if (r.beyond[s]) set += assembly_.apply(job.wi, job.li, job.sweeps[s], *r.beyond[s]);
    }
    slopes_.fetch_add(set);
    sweeps_.fetch_add(job.sweeps.size());
    slope_requests_.fetch_add(1);
    return {};
}

PairSweeps::Done PairSweeps::done() const {
    Done d;
    d.fit_asked = fit_asked_.load();
    d.fit_had = fit_had_.load();
    d.fit_ns = fit_span_.ns();
    d.wrapper_asked = wrapper_asked_.load();
    d.wrapper_failed = wrapper_failed_.load();
    d.wrapper_ns = wrapper_span_.ns();
    d.slopes = slopes_.load();
    d.sweeps = sweeps_.load();
    d.slope_requests = slope_requests_.load();
    d.slope_ns = slope_span_.ns();
    return d;
}

std::vector<SlopeJob> PairSweeps::jobs(const KitPace& pace) const {
    const LutConfig& config = config_;
    const Assembly& assembly = assembly_;
    const std::uint64_t simulator_workers = simulator_.workers;
    const auto& dims = assembly.table().id.dims;
    std::vector<SlopeJob> pairs;
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            std::vector<ShiftedSweep> sweeps = assembly.sweeps(wi, li);
            if (!sweeps.empty())
                pairs.push_back({config.widths[wi], wi, config.lengths[li], li, std::move(sweeps), 0, false});
        }
    }
    std::vector<SlopeJob> jobs;
    for (SlopeJob& pair : pairs) {
        std::size_t total = 0;
        for (const ShiftedSweep& sweep : pair.sweeps) total += sweep.points();
        const std::size_t parts =
            parts_worth(pace, total, pair.sweeps.size(), pairs.size(), simulator_workers);
        if (parts < 2) {
            jobs.push_back(std::move(pair));
            continue;
        }
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

Result<void, NgspiceError> sweep_terminals(const Simulator& simulator, const LutConfig& config,
                                           const TaskPlan& plan, const ParamMask& extract, Assembly& assembly,
                                           Messages& messages) {
    const std::vector<std::pair<std::size_t, std::size_t>> pairs = assembly.unfitted_pairs();
    if (pairs.empty()) return {};
    const WrapperAxes along{true, true, extract[*op_param_index("gmbs")]};
    const std::size_t n_vbs = config.vbs_values.size();
    const auto& dims = assembly.table().id.dims;
    const auto start = Clock::now();
    std::atomic<std::size_t> failed{0};
    using Task = TaskSet<std::size_t, NgspiceError>::Task;
    std::vector<Task> tasks;
    for (const auto& [wi, li] : pairs) {
        tasks.push_back([&, wi, li](const CancelToken& token) -> Result<std::size_t, NgspiceError> {
            if (token.cancelled() || (simulator.stop && simulator.stop()))
                return err(NgspiceError::simulation(std::string(kInterrupted)));
            SimulationOutcome outcome =
                simulator.run(shifted_grids(fmt::cat("terminal-w", wi, "-l", li), config, plan, wi, li,
                                            build_terminal_commands(config, along), along));
            if (!outcome) return err(std::move(outcome).error());
            std::optional<std::vector<double>> slopes;
            if (outcome->success) slopes = extract_wrapper_slopes(*outcome, n_vbs, along, dims[3] * dims[4]);
            if (!slopes) failed.fetch_add(1);
            assembly.set_terminal(wi, li, std::move(slopes));
            return wi;
        });
    }
    const auto on_panic = [](const std::string& what) {
        return NgspiceError::worker_crashed(fmt::cat("generation task panicked: ", what));
    };
    MORVA_TRY((run_all<std::size_t, NgspiceError>(std::move(tasks), on_panic)));
    if (simulator.stop && simulator.stop()) return err(NgspiceError::simulation(std::string(kInterrupted)));
    messages.out(fmt::cat("  the subcircuit's elements follow no series resistance in ", pairs.size(),
                          " (W, L) pair(s): their terminal's slopes from tight sweeps (", failed.load(),
                          " failed) in ", fmt::fixed(static_cast<double>(ns_since(start)) / 1e6, 1), "ms\n"));
    return {};
}

}  // namespace morva::lut::generate_ngspice
