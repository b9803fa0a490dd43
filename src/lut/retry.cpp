#include "lut/retry.h"

#include <chrono>
#include <utility>

#include "common/format.h"
#include "lut/report.h"
#include "ngspice/worker.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

// Builds one request, timing the work into `build_ns`.
class Ladder {
public:
    Ladder(const LadderContext& ctx, double w, std::size_t wi, double l, std::size_t li)
        : ctx_(ctx), plan_(*ctx.plan), c_(plan_.config), w_(w), wi_(wi), l_(l), li_(li) {}

    // Sends a request, adding its round trip and the worker's phase times.
    SimulationOutcome send(ngspice::SimulationRequest request, TimingSums& timing) const {
        if (aborted()) return err(aborted_error());
        const auto start = Clock::now();
        SimulationOutcome outcome = ctx_.run(std::move(request));
        timing.request_ns = saturating_add(timing.request_ns, ns64_since(start));
        if (outcome) timing.add_worker(outcome->timing);
        return outcome;
    }

    // As send, and the worker keeps the circuit when it can.
    HeldOutcome send_holding(ngspice::SimulationRequest request, TimingSums& timing) const {
        if (aborted()) return {err(aborted_error()), nullptr};
        const auto start = Clock::now();
        HeldOutcome held = ctx_.run_holding(std::move(request));
        timing.request_ns = saturating_add(timing.request_ns, ns64_since(start));
        if (held.outcome) timing.add_worker(held.outcome->timing);
        return held;
    }

    ngspice::SimulationRequest request(std::string id, const SweepRange& vgs, const ParamMask& mask,
                                       double vbs, std::vector<std::string> commands,
                                       std::vector<std::string> vectors,
                                       const std::vector<std::string>& small_signal) const {
        ngspice::SimulationRequest r;
        r.id = std::move(id);
        r.netlist = build_netlist(c_, vgs, mask, plan_.device_path, w_, l_, vbs, saved_with(small_signal));
        r.commands = std::move(commands);
        r.pre_commands = plan_.pre_commands;
        r.return_vectors = std::move(vectors);
        return r;
    }

    // What follow-ups on the circuit read is saved beside the rows' vectors.
    std::vector<std::string> saved_with(const std::vector<std::string>& small_signal) const {
        std::vector<std::string> saved = small_signal;
        if (!small_signal.empty()) saved.insert(saved.end(), plan_.saved.begin(), plan_.saved.end());
        return saved;
    }

    // The id of the first request of the task: the pair's, or the part's.
    std::string first_id() const {
        return plan_.part
                   ? fmt::cat("lut-w", wi_, "-l", li_, "-part-v", plan_.vbs_offset, "-c", plan_.chunk_offset)
                   : fmt::cat("lut-w", wi_, "-l", li_);
    }
    // The Vbs value the task's netlists carry.
    double netlist_vbs() const { return plan_.part ? plan_.netlist_vbs : c_.vbs_values.front(); }

    ngspice::SimulationRequest load(bool listing) const {
        ngspice::SimulationRequest r =
            request(fmt::cat(first_id(), "-load"), chunk_range(c_, plan_.chunks.front()), ParamMask{},
                    netlist_vbs(), {}, {}, {});
        if (listing) r.commands.emplace_back("listing e");
        return r;
    }

    // An aborted task stops between requests without further messages; its
    // outcome is discarded.
    bool aborted() const { return ctx_.cancelled && ctx_.cancelled(); }
    // A request that ended without ngspice's answer (already run again, see
    // FailureLatch) says nothing about the device: it ends the ladder with
    // its error, at any rung.
    static bool failed(const SimulationOutcome& outcome) { return !outcome; }
    static NgspiceError aborted_error() { return NgspiceError::simulation("generation aborted"); }

    std::string wl() const { return fmt::cat("W=", fmt::exp(w_, 3), " L=", fmt::exp(l_, 3)); }
    void retry(const std::string& text) const { ctx_.messages->err(fmt::cat("  [retry] ", text, "\n")); }

    Result<PairRows, NgspiceError> all_chunks(std::optional<EarlyCircuit> early) const {
        const auto& chunks = plan_.chunks;
        const std::size_t n_vbs = c_.vbs_values.size();
        std::vector<std::size_t> rows;
        for (const Chunk& ch : chunks) rows.push_back(ch.second - ch.first + 1);

        TimingSums timing;
        const auto build_start = Clock::now();
        const auto& ss = plan_.small_signal;
        ngspice::SimulationRequest req = request(
            first_id(), chunk_range(c_, chunks.front()), plan_.extract_mask, netlist_vbs(),
            plan_.part ? build_part_commands(c_, chunks, c_.vbs_values,
                                             plan_.chunk_offset == 0 && plan_.vbs_offset == 0)
                       : build_all_chunks_commands(c_, chunks),
            build_return_vectors_all(chunks.size(), n_vbs, plan_.device_path, plan_.extract_mask, ss), ss);
        timing.build_ns = ns64_since(build_start);
        // A whole pair's circuit serves its follow-ups.
        const bool holding = ctx_.run_holding && !plan_.part;
        std::string netlist = holding ? req.netlist : std::string();
        std::optional<HeldOutcome> on_early;
        if (early) {
            add_timing(timing, early->timing);
            if (early->held) on_early = on_early_circuit(*early->held, req, holding, timing);
            early.reset();
        }
        HeldOutcome held = on_early  ? std::move(*on_early)
                           : holding ? send_holding(std::move(req), timing)
                                     : HeldOutcome{send(std::move(req), timing), nullptr};
        SimulationOutcome& outcome = held.outcome;
        if (aborted()) return err(aborted_error());
        if (failed(outcome)) return err(std::move(outcome).error());
        if (outcome) {
            if (!outcome->success) {
                const bool alter = chunks.size() * n_vbs > 1 && is_alter_failure(*outcome);
                retry(fmt::cat(wl(), alter ? ": alter not supported, falling back to per-chunk"
                                           : ": all-chunks request failed, falling back to per-chunk"));
            } else if (auto data = extract_all_chunks_vbs(*outcome, chunks.size(), n_vbs, rows, plan_.n_vds,
                                                          plan_.device_path, plan_.extract_mask, ss)) {
                std::vector<ChunkResult> out(chunks.size());
                for (std::size_t k = 0; k < chunks.size(); ++k) {
                    out[k].vbs_data = std::move((*data)[k]);
                    out[k].vbs_offset = plan_.vbs_offset;
                    out[k].w_index = wi_;
                    out[k].l_index = li_;
                    out[k].chunk_index = plan_.chunk_offset + k;
                }
                out.front().timing = timing;
                PairRows rows_of_pair{std::move(out), std::nullopt};
                if (held.circuit)
                    rows_of_pair.circuit = PairCircuit{std::move(held.circuit), std::move(netlist)};
                return rows_of_pair;
            } else {
                retry(fmt::cat(wl(), ": all-chunks extraction failed, falling back to per-chunk"));
            }
        }
        held.circuit.reset();
        PairRows out;
        out.chunks.reserve(chunks.size());
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            MORVA_ASSIGN(ChunkResult chunk, one_chunk(k, chunk_range(c_, chunks[k]), rows[k]));
            out.chunks.push_back(std::move(chunk));
        }
        return out;
    }

    // The rows' first request on the circuit loaded for it without saves:
    // the saves by command, then its commands; nothing when the circuit is
    // no longer held (nothing ran).
    std::optional<HeldOutcome> on_early_circuit(HeldCircuit& circuit, const ngspice::SimulationRequest& req,
                                                bool holding, TimingSums& timing) const {
        if (aborted()) return HeldOutcome{err(aborted_error()), nullptr};
        ngspice::SimulationRequest follow;
        follow.id = req.id;
        follow.commands =
            build_save_commands(plan_.extract_mask, plan_.device_path, saved_with(plan_.small_signal));
        follow.commands.insert(follow.commands.end(), req.commands.begin(), req.commands.end());
        follow.pre_commands = req.pre_commands;
        follow.return_vectors = req.return_vectors;
        const auto start = Clock::now();
        std::unique_ptr<HeldCircuit> next;
        std::optional<SimulationOutcome> outcome =
            circuit.follow_up(std::move(follow), holding, holding ? &next : nullptr);
        if (!outcome) return std::nullopt;
        timing.request_ns = saturating_add(timing.request_ns, ns64_since(start));
        if (*outcome) timing.add_worker((*outcome)->timing);
        return HeldOutcome{std::move(*outcome), std::move(next)};
    }

    static void add_timing(TimingSums& to, const TimingSums& from) {
        to.build_ns = saturating_add(to.build_ns, from.build_ns);
        to.request_ns = saturating_add(to.request_ns, from.request_ns);
        to.add_worker(from.worker);
    }

    Result<ChunkResult, NgspiceError> one_chunk(std::size_t c, const SweepRange& vgs,
                                                std::size_t n_rows) const {
        // `c` counts the task's own chunks; ids and results carry the index
        // among all chunks.
        ChunkResult out;
        out.w_index = wi_;
        out.l_index = li_;
        out.chunk_index = plan_.chunk_offset + c;
        out.vbs_offset = plan_.vbs_offset;
        const std::size_t n_vbs = c_.vbs_values.size();
        const auto& ss = plan_.small_signal;

        const auto build_start = Clock::now();
        ngspice::SimulationRequest req = request(
            fmt::cat("lut-w", wi_, "-l", li_, "-c", out.chunk_index), vgs, plan_.extract_mask,
            plan_.part ? plan_.netlist_vbs : c_.vbs_values.front(),
            plan_.part ? build_part_commands(c_, {plan_.chunks[c]}, c_.vbs_values, plan_.vbs_offset == 0)
                       : build_multi_vbs_commands(c_, vgs),
            build_return_vectors(n_vbs, plan_.device_path, plan_.extract_mask, ss), ss);
        out.timing.build_ns = saturating_add(out.timing.build_ns, ns64_since(build_start));
        SimulationOutcome outcome = send(std::move(req), out.timing);
        if (aborted()) return err(aborted_error());
        if (failed(outcome)) return err(std::move(outcome).error());
        if (outcome) {
            const std::string where = fmt::cat(wl(), " chunk ", out.chunk_index);
            if (!outcome->success) {
                if (n_vbs == 1)
                    retry(fmt::cat(
                        where, ": full-params sweep crashed, falling back to bisected OP parameter sweeps"));
                else if (is_alter_failure(*outcome))
                    retry(fmt::cat(where, ": alter @Vbs[dc] not supported, retrying per Vbs"));
                else
                    retry(fmt::cat(where, ": multi-Vbs sweep failed, retrying per Vbs"));
            } else if (auto data = extract_all_vbs(*outcome, n_vbs, n_rows, plan_.n_vds, plan_.device_path,
                                                   plan_.extract_mask, ss)) {
                out.vbs_data = std::move(*data);
                return out;
            } else {
                retry(fmt::cat(where, ": multi-plot extraction failed, retrying per Vbs"));
            }
        }
        out.vbs_data.reserve(n_vbs);
        for (std::size_t v = 0; v < n_vbs; ++v) {
            MORVA_ASSIGN(VbsData data, one_vbs(vgs, c_.vbs_values[v], plan_.vbs_offset + v, out.chunk_index,
                                               n_rows, out.timing));
            out.vbs_data.push_back(std::move(data));
        }
        return out;
    }

    Result<VbsData, NgspiceError> one_vbs(const SweepRange& vgs, double vbs, std::size_t v, std::size_t c,
                                          std::size_t n_rows, TimingSums& timing) const {
        const std::string base = fmt::cat("lut-w", wi_, "-l", li_, "-v", v, "-c", c);
        const std::string where = fmt::cat(wl(), " Vbs=", fmt::exp(vbs, 3), " chunk ", c);
        const ParamMask& mask = plan_.extract_mask;
        const auto& ss = plan_.small_signal;

        // Rung 3: every parameter at once.
        {
            auto start = Clock::now();
            ngspice::SimulationRequest req =
                request(base, vgs, mask, vbs, {"run"}, plot_vectors(plan_.device_path, mask, ss), ss);
            timing.build_ns = saturating_add(timing.build_ns, ns64_since(start));
            SimulationOutcome outcome = send(std::move(req), timing);
            if (aborted()) return err(aborted_error());
            if (failed(outcome)) return err(std::move(outcome).error());
            if (outcome && outcome->success) {
                if (auto data =
                        extract_all_vbs(*outcome, 1, n_rows, plan_.n_vds, plan_.device_path, mask, ss))
                    return std::move(data->front());
            }
            retry(fmt::cat(where, ": full-params sweep crashed, falling back to bisect"));
        }

        // Rung 4: the drain current alone; its failure is fatal.
        VbsData result;
        {
            auto start = Clock::now();
            ngspice::SimulationRequest req = request(base + "-idonly", vgs, ParamMask{}, vbs, {"run"},
                                                     plot_vectors(plan_.device_path, ParamMask{}, ss), ss);
            timing.build_ns = saturating_add(timing.build_ns, ns64_since(start));
            MORVA_ASSIGN(ngspice::SimulationResponse response, send(std::move(req), timing));
            if (!response.success) {
                const std::string error = response.error ? *response.error : "(no message)";
                const std::string reason = ngspice::ngspice_error_lines(response.log, error);
                return err(NgspiceError::simulation(
                    fmt::cat(where, " Id-only failed: ", error,
                             reason.empty() ? "" : fmt::cat(" (ngspice: ", reason, ")"))));
            }
            MORVA_ASSIGN(VbsData id_only, extract_chunk_for_prefix(response, "", n_rows, plan_.n_vds,
                                                                   plan_.device_path, ParamMask{}, ss));
            result.id = std::move(id_only.id);
            result.small_signal = std::move(id_only.small_signal);
        }

        // Rung 5: parameters in groups, halved on failure, first half first.
        result.ops = nan_placeholders(mask, n_rows, plan_.n_vds);
        const std::vector<std::size_t> wanted = wanted_indices(mask);
        std::vector<std::vector<std::size_t>> stack;
        if (wanted.size() >= 2) {
            push_halves(stack, wanted);
        } else if (wanted.size() == 1) {
            stack.push_back(wanted);
        }
        while (!stack.empty()) {
            std::vector<std::size_t> group = std::move(stack.back());
            stack.pop_back();
            if (group.empty()) continue;
            ParamMask group_mask{};
            for (std::size_t k : group) group_mask[k] = true;
            auto start = Clock::now();
            ngspice::SimulationRequest req =
                request(fmt::cat(base, "-sub", group.size()), vgs, group_mask, vbs, {"run"},
                        plot_vectors(plan_.device_path, group_mask), {});
            timing.build_ns = saturating_add(timing.build_ns, ns64_since(start));
            SimulationOutcome outcome = send(std::move(req), timing);
            if (aborted()) return err(aborted_error());
            if (failed(outcome)) return err(std::move(outcome).error());
            if (outcome && outcome->success) {
                if (auto data =
                        extract_all_vbs(*outcome, 1, n_rows, plan_.n_vds, plan_.device_path, group_mask)) {
                    for (std::size_t k : group) result.ops[k] = std::move(data->front().ops[k]);
                    continue;
                }
            }
            if (group.size() >= 2) {
                push_halves(stack, group);
            } else {
                retry(fmt::cat(where, ": parameter '", KNOWN_OP_PARAMS[group.front()],
                               "' unavailable — filling with NaN"));
            }
        }
        return result;
    }

    Result<SlopeResult, NgspiceError> slopes(const SlopeJob& job, PairCircuit* circuit) const {
        SlopeResult out;
        out.beyond.resize(job.sweeps.size());
        const std::string base = fmt::cat("lut-w", wi_, "-l", li_, "-slopes");
        MORVA_ASSIGN(Shifted whole, shifted(job.part ? fmt::cat(base, "-p", job.first) : base, job.sweeps,
                                            out.timing, circuit));
        if (whole.beyond) {
            for (std::size_t k = 0; k < job.sweeps.size(); ++k) out.beyond[k] = std::move((*whole.beyond)[k]);
            return out;
        }
        if (job.sweeps.size() > 1) {
            retry(fmt::cat(wl(), ": shifted sweeps failed, retrying one sweep at a time"));
            for (std::size_t k = 0; k < job.sweeps.size(); ++k) {
                MORVA_ASSIGN(Shifted one, shifted(fmt::cat(base, "-s", job.first + k), {job.sweeps[k]},
                                                  out.timing, nullptr));
                if (one.beyond) out.beyond[k] = std::move(one.beyond->front());
            }
        }
        std::size_t failed = 0;
        for (const auto& beyond : out.beyond) failed += beyond ? 0 : 1;
        if (failed)
            retry(fmt::cat(wl(), ": ", failed, " of ", job.sweeps.size(),
                           " shifted sweep(s) failed — their slopes stay differences over the grid steps"));
        return out;
    }

private:
    // A request for shifted sweeps: their values beyond the channel, or
    // nothing when ngspice failed it.
    struct Shifted {
        std::optional<std::vector<std::vector<double>>> beyond;
    };

    Result<Shifted, NgspiceError> shifted(std::string id, const std::vector<ShiftedSweep>& sweeps,
                                          TimingSums& timing, PairCircuit* circuit) const {
        const auto start = Clock::now();
        ngspice::SimulationRequest r;
        r.id = std::move(id);
        if (!circuit) r.netlist = build_slope_netlist(c_, plan_.rest, w_, l_);
        r.commands = build_slope_commands(c_, sweeps);
        r.pre_commands = plan_.pre_commands;
        r.return_vectors = build_slope_return_vectors(sweeps.size(), plan_.rest);
        timing.build_ns = saturating_add(timing.build_ns, ns64_since(start));
        if (aborted()) return err(aborted_error());
        const auto sent = Clock::now();
        SimulationOutcome outcome =
            circuit ? run_on_circuit(ctx_, *circuit, std::move(r), false) : ctx_.run(std::move(r));
        timing.request_ns = saturating_add(timing.request_ns, ns64_since(sent));
        if (outcome) timing.add_worker(outcome->timing);
        if (aborted()) return err(aborted_error());
        if (failed(outcome)) return err(std::move(outcome).error());
        Shifted out;
        if (outcome->success) out.beyond = extract_beyond(*outcome, sweeps, plan_.rest);
        return out;
    }

    static std::vector<std::size_t> wanted_indices(const ParamMask& mask) {
        std::vector<std::size_t> out;
        for (std::size_t k = 0; k < kOpParamCount; ++k) {
            if (mask[k]) out.push_back(k);
        }
        return out;
    }

    // The second half below the first, so that the first half is tried next.
    static void push_halves(std::vector<std::vector<std::size_t>>& stack,
                            const std::vector<std::size_t>& group) {
        const std::size_t half = group.size() / 2;
        stack.emplace_back(group.begin() + static_cast<std::ptrdiff_t>(half), group.end());
        stack.emplace_back(group.begin(), group.begin() + static_cast<std::ptrdiff_t>(half));
    }

    const LadderContext& ctx_;
    const TaskPlan& plan_;
    const LutConfig& c_;
    double w_;
    std::size_t wi_;
    double l_;
    std::size_t li_;
};

}  // namespace

Result<PairRows, NgspiceError> fetch_wl_with_retry(const LadderContext& ctx, double w, std::size_t wi,
                                                   double l, std::size_t li,
                                                   std::optional<EarlyCircuit> early) {
    return Ladder(ctx, w, wi, l, li).all_chunks(std::move(early));
}

ngspice::SimulationRequest rows_load_request(const TaskPlan& plan, double w, std::size_t wi, double l,
                                             std::size_t li, bool listing) {
    const auto shared = std::make_shared<const TaskPlan>(plan);
    const LadderContext ctx{{}, shared, nullptr, {}};
    return Ladder(ctx, w, wi, l, li).load(listing);
}

Result<SlopeResult, NgspiceError> fetch_slopes_with_retry(const LadderContext& ctx, const SlopeJob& job,
                                                          PairCircuit* circuit) {
    return Ladder(ctx, job.w, job.wi, job.l, job.li).slopes(job, circuit);
}

SimulationOutcome run_on_circuit(const LadderContext& ctx, PairCircuit& circuit,
                                 ngspice::SimulationRequest request, bool hold_again) {
    if (circuit.held) {
        std::unique_ptr<HeldCircuit> next;
        std::optional<SimulationOutcome> outcome =
            circuit.held->follow_up(request, hold_again, hold_again ? &next : nullptr);
        circuit.held = std::move(next);
        if (outcome) return std::move(*outcome);
    }
    // The worker let the circuit go: the same circuit from its text.
    request.netlist = circuit.netlist;
    if (!hold_again || !ctx.run_holding) return ctx.run(std::move(request));
    HeldOutcome fresh = ctx.run_holding(std::move(request));
    circuit.held = std::move(fresh.circuit);
    return std::move(fresh.outcome);
}

Result<ChunkResult, NgspiceError> fetch_chunk_with_retry(const LadderContext& ctx, double w, std::size_t wi,
                                                         double l, std::size_t li, std::size_t chunk_index,
                                                         const SweepRange& vgs, std::size_t n_rows) {
    return Ladder(ctx, w, wi, l, li).one_chunk(chunk_index, vgs, n_rows);
}

Result<VbsData, NgspiceError> fetch_single_vbs_with_bisect(const LadderContext& ctx, const SweepRange& vgs,
                                                           double w, std::size_t wi, double l, std::size_t li,
                                                           double vbs, std::size_t v, std::size_t chunk_index,
                                                           std::size_t n_rows, TimingSums& timing) {
    return Ladder(ctx, w, wi, l, li).one_vbs(vgs, vbs, v, chunk_index, n_rows, timing);
}

}  // namespace morva::lut::generate_ngspice
