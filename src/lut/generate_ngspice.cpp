#include "lut/generate_ngspice.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/io.h"
#include "common/memory.h"
#include "common/task_set.h"
#include "common/text.h"
#include "lut/generate_native.h"
#include "lut/model_check.h"
#include "lut/model_files.h"
#include "lut/report.h"
#include "lut/series.h"
#include "lut/slopes.h"
#include "ngspice/pool.h"
#include "ngspice/worker.h"

namespace morva::lut::generate_ngspice {
namespace {

using Clock = std::chrono::steady_clock;

u128 ns_since(Clock::time_point start) {
    const auto d = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return d < 0 ? 0 : static_cast<u128>(d);
}

std::string known_names_list() {
    std::string out = "[";
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (k) out += ", ";
        out += fmt::cat('"', KNOWN_OP_PARAMS[k], '"');
    }
    return out + "]";
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
            messages.out(fmt::cat("  warning: unknown OP parameter '", name,
                                  "' — known names: ", known_names_list(), "\n"));
    }
    return mask;
}

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

bool any(const ParamMask& mask) {
    for (bool f : mask) {
        if (f) return true;
    }
    return false;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What the table gives for gm and gds in place of the channel's slopes:
// differences of Id over the grid steps, and along an axis of one point
// (which has no step) `instead`.
std::string differences_phrase(std::size_t n_vgs, std::size_t n_vds, std::string_view instead) {
    if (n_vgs > 1 && n_vds > 1) return "gm and gds are differences of Id over the grid steps";
    if (n_vgs == 1 && n_vds == 1) return fmt::cat("gm and gds are ", instead, " (both axes have one point)");
    const bool vgs_single = n_vgs == 1;
    return fmt::cat(vgs_single ? "gds is" : "gm is", " the difference of Id over the ",
                    vgs_single ? "Vds" : "Vgs", " step and ", vgs_single ? "gm " : "gds ", instead, " (the ",
                    vgs_single ? "Vgs" : "Vds", " axis has one point)");
}

// Why a block's slopes through the series resistances could not be had
// (SmallSignal::unfitted): the resistances do not follow the drops, or
// what a subcircuit wrapper carries at the drain could not be swept.
constexpr char kUnfitted = 1;
constexpr char kWrapperUnswept = 2;

// One part of what the drain carries beyond the channel's values at one
// point of the rows, in the table's frame, summed as the shifted sweeps sum
// it.
struct BeyondRows {
    using Terms = std::vector<std::pair<std::size_t, double>>;  // indices into the plan's vectors
    bool drain_current = true;
    Terms terms;
    std::optional<Terms> reverse;

    BeyondRows(const SmallSignalPlan& plan, const BeyondTerms& part) : drain_current(part.drain_current) {
        const auto take = [&plan](const BeyondTerms::Terms& from, Terms& to) {
            for (const auto& [name, coefficient] : from) {
                if (auto k = plan.index_of(name)) to.emplace_back(*k, coefficient);
            }
        };
        take(part.vectors, terms);
        if (part.reverse) take(part.reverse->vectors, reverse.emplace());
    }
    // At point `p`, where the channel runs in reverse or not.
    double at(const VbsData& d, std::size_t p, bool reversed) const {
        double sum = drain_current ? d.id[p] : 0.0;
        const Terms& taken = reversed && reverse ? *reverse : terms;
        for (const auto& [k, coefficient] : taken) sum += coefficient * d.small_signal[k][p];
        return sum;
    }
};

std::vector<BeyondRows> rest_rows(const SmallSignalPlan& plan) {
    std::vector<BeyondRows> out;
    for (const BeyondTerms& part : plan.rest) out.emplace_back(plan, part);
    return out;
}

// The share of a current beyond channel and junction entering at `node`
// (signed as there) in what the drain resistance (`drain`) or the source
// resistance carries towards its terminal, where the channel runs in
// reverse or not.
double carried(RestNode node, bool drain, bool reversed) {
    switch (node) {
        case RestNode::Drain: return drain ? 1.0 : 0.0;
        case RestNode::Source: return drain ? 0.0 : 1.0;
        // In reverse the channel's drain is the internal source node, and
        // its source the internal drain node.
        case RestNode::ChannelDrain:
            if (reversed) return drain ? 0.0 : -1.0;
            return drain ? 1.0 : 0.0;
        case RestNode::ChannelSource:
            if (reversed) return drain ? -1.0 : 0.0;
            return drain ? 0.0 : 1.0;
    }
    return 0.0;
}

// The rows of a device with series resistances, read in the n-channel
// frame (the table's voltages and currents times the polarity).
struct SeriesRows {
    const SmallSignalPlan* plan = nullptr;
    const TransistorLut* axes = nullptr;  // its axes only
    double polarity = 1.0;
    // The rest, one part per node it enters (the plan's `rest_nodes`).
    std::vector<BeyondRows> rest;
    // The fitted resistances of each [w][vbs][l] block (none where the fit
    // failed).
    std::vector<std::optional<SeriesResistances>> fits;

    SeriesRows(const SmallSignalPlan& p, const TransistorLut& t, double pol)
        : plan(&p), axes(&t), polarity(pol), rest(rest_rows(p)) {}

    // Part `part` of the rest, table's frame (0 for a part the device lacks).
    double rest_at(std::size_t part, const VbsData& d, std::size_t at, bool reversed) const {
        return part < rest.size() ? rest[part].at(d, at, reversed) : 0.0;
    }
    // Point `at` of rows `d` at Vbs index v, Vgs index row, Vds index col.
    SeriesPoint point(const VbsData& d, std::size_t at, std::size_t v, std::size_t row,
                      std::size_t col) const {
        SeriesPoint pt;
        pt.vg = polarity * axes->vgs[row];
        pt.vd = polarity * axes->vds[col];
        pt.vb = polarity * axes->vbs_values[v];
        pt.node_d = plan->drain_node ? polarity * d.small_signal[*plan->drain_node][at] : pt.vd;
        pt.node_s = plan->source_node ? polarity * d.small_signal[*plan->source_node][at] : 0.0;
        pt.gm = d.small_signal[plan->gm][at];
        pt.gds = d.small_signal[plan->gds][at];
        pt.gmbs = d.small_signal[*plan->gmbs][at];
        pt.gbd = d.small_signal[plan->gbd][at];
        pt.gbs = d.small_signal[plan->gbs][at];
        return pt;
    }
    // What the drain resistance (`drain`) or the source resistance carries,
    // from what enters the device's drain (n-channel frame): the drain
    // terminal's current less what a subcircuit wrapper carries there
    // (`wrapper`, table's frame). The terminal's current is settled with the
    // internal nodes' voltages the drops come from; the device's currents
    // are settled only to ngspice's tolerance (about 1e-4 of Id near
    // Vds = 0), so only those beside the channel are taken from them.
    double pin_current(const VbsData& d, std::size_t at, const SeriesPoint& pt, bool drain,
                       double wrapper) const {
        const double pin = polarity * (d.id[at] - wrapper);
        return drain ? pin : pin - resistance_current(d, at, pt, true) + resistance_current(d, at, pt, false);
    }
    // What the drain resistance (`drain`) or the source resistance carries
    // towards its terminal at point `pt` (`at` of rows `d`), by the balance
    // at its internal node: the channel current, the junction's and the
    // rest's parts that enter there. The terminals' own currents would also
    // hold what a subcircuit wrapper puts between the terminals.
    double resistance_current(const VbsData& d, std::size_t at, const SeriesPoint& pt, bool drain) const {
        const bool reversed = pt.reverse();
        double sum = (reversed ? -1.0 : 1.0) * d.small_signal[plan->channel][at] +
                     (drain ? -d.small_signal[plan->ibd][at] : d.small_signal[plan->ibs][at]);
        for (std::size_t q = 0; q < rest.size() && q < plan->rest_nodes.size(); ++q) {
            const double share = carried(plan->rest_nodes[q], drain, reversed);
            if (share != 0.0) sum += share * polarity * rest[q].at(d, at, reversed);
        }
        return sum;
    }
};

// The share of the slope of a current beyond channel and junction entering
// at `node` that reaches the drain terminal.
double share(RestNode node, const TerminalSlopes& slopes) {
    switch (node) {
        case RestNode::Drain: return slopes.transfer;
        case RestNode::Source: return slopes.transfer_source;
        case RestNode::ChannelDrain: return slopes.transfer_channel_drain();
        case RestNode::ChannelSource: return slopes.transfer_channel_source();
    }
    return slopes.transfer;
}

// Whether rows `d` of `r` lie within the table and carry every small-signal
// vector whole.
bool series_rows_whole(const TransistorLut& t, const ChunkResult& r, const VbsData& d, std::size_t v,
                       const std::vector<Chunk>& chunks, std::size_t n_vectors) {
    if (r.chunk_index >= chunks.size() || r.w_index >= t.widths.size() || r.l_index >= t.lengths.size() ||
        v >= t.vbs_values.size() || d.small_signal.size() != n_vectors)
        return false;
    const Chunk& chunk = chunks[r.chunk_index];
    if (chunk.second >= t.vgs.size() || d.id.size() != (chunk.second - chunk.first + 1) * t.vds.size())
        return false;
    for (const auto& rows : d.small_signal) {
        if (rows.size() != d.id.size()) return false;
    }
    return true;
}

// What a subcircuit wrapper alone carries at the drain: per (W, L) pair
// (wi * n_l + li) its current and slopes at every point of the grid
// (extract_wrapper_slopes), nothing for a pair whose sweeps failed (said in
// one line). A time-out ends the generation.
using WrapperSlopes = std::vector<std::optional<std::vector<double>>>;

// A pair's own sweep for the fit where the table's blocks hold too few
// points (fit_grid): per (W, L) pair its rows at each Vbs value, nothing
// where the sweep failed or none was asked; `axes` holds their grid.
struct FitGrids {
    TransistorLut axes;  // vgs, vds and vbs_values only
    std::vector<std::optional<std::vector<VbsData>>> rows;
};

// The columns of a grid whose rows serve a fit: a row that starts away from
// Vds = 0 (where the channel may conduct) has its second point settled only
// to ngspice's tolerance, its drops and currents do not meet, and that
// column stays out while others remain.
std::vector<std::size_t> fit_columns(const std::vector<double>& vds, const std::vector<char>& served) {
    const bool second_loose = vds.size() > 2 && vds.front() != 0.0;
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < vds.size() && j < served.size(); ++j) {
        if (served[j] && !(second_loose && j == 1)) out.push_back(j);
    }
    return out;
}

// The samples of both resistances at the taken points of rows `d` (Vbs index
// v, the rows from Vgs index `first` on, read through `series`), their
// currents from what enters the device's drain where what a subcircuit
// wrapper carries there is known (none, or `wrapper` at each point of the
// block: its grid), from the device's own currents where it is not.
void add_samples(const SeriesRows& series, const VbsData& d, std::size_t v, std::size_t first,
                 const std::vector<char>& row_taken, const std::vector<char>& col_taken,
                 const double* wrapper, BlockSamples& block) {
    const std::size_t n_vds = series.axes->vds.size();
    const bool known = !series.plan->wrapper || wrapper;
    for (std::size_t at = 0; at < d.id.size(); ++at) {
        const std::size_t row = first + at / n_vds, col = at % n_vds;
        if (row >= row_taken.size() || !row_taken[row] || !col_taken[col]) continue;
        const SeriesPoint pt = series.point(d, at, v, row, col);
        const double beside = wrapper ? wrapper[row * n_vds + col] : 0.0;
        const auto current = [&](bool drain) {
            return known ? series.pin_current(d, at, pt, drain, beside)
                         : series.resistance_current(d, at, pt, drain);
        };
        if (series.plan->drain_node)
            block.drain.push_back({pt.vg - pt.node_d, pt.vb - pt.node_d, current(true), pt.vd - pt.node_d});
        if (series.plan->source_node)
            block.source.push_back({pt.vg - pt.node_s, pt.vb - pt.node_s, current(false), pt.node_s});
    }
}

// Fits the series resistances of every (W, L) pair to the drops its rows
// carry in the Vds columns `served` (and its own fit sweep's, where it has
// one), per Vbs value where they do not follow one fit. The samples are
// spread over the rows and the columns alike (the highest Vgs and Vds,
// where the drops are largest, included), about kMaxFitSamples a pair.
void fit_pairs(SeriesRows& series, const std::vector<ChunkResult>& results, const std::vector<Chunk>& chunks,
               const std::vector<char>& served, const FitGrids& grids, const WrapperSlopes& wrapper) {
    const TransistorLut& t = *series.axes;
    const std::size_t n_w = t.widths.size(), n_vbs = t.vbs_values.size(), n_l = t.lengths.size();
    const std::size_t n_vgs = t.vgs.size(), n_vds = t.vds.size();
    series.fits.assign(n_w * n_vbs * n_l, std::nullopt);
    const std::vector<std::size_t> columns = fit_columns(t.vds, served);
    if (columns.empty() || n_vbs == 0) return;
    const std::size_t budget = std::max(kMaxFitSamples / n_vbs, kMinBlockSamples);
    const auto [n_rows, n_cols] = sample_grid(n_vgs, columns.size(), budget);
    std::vector<char> row_taken(n_vgs, 0), col_taken(n_vds, 0);
    for (std::size_t i : spread(n_vgs, n_rows)) row_taken[i] = 1;
    for (std::size_t k : spread(columns.size(), n_cols)) col_taken[columns[k]] = 1;

    std::vector<BlockSamples> samples(series.fits.size());
    for (const ChunkResult& r : results) {
        for (std::size_t i = 0; i < r.vbs_data.size(); ++i) {
            const VbsData& d = r.vbs_data[i];
            const std::size_t v = r.vbs_offset + i;
            if (!series_rows_whole(t, r, d, v, chunks, series.plan->vectors.size())) continue;
            // The wrapper's current at the block's points, where it was swept.
            const std::size_t pair = r.w_index * n_l + r.l_index, n_points = n_vgs * n_vds;
            const double* beside = nullptr;
            if (pair < wrapper.size() && wrapper[pair] && wrapper[pair]->size() == n_vbs * 4 * n_points)
                beside = wrapper[pair]->data() + v * 4 * n_points;
            add_samples(series, d, v, chunks[r.chunk_index].first, row_taken, col_taken, beside,
                        samples[(r.w_index * n_vbs + v) * n_l + r.l_index]);
        }
    }
    // Every served point of the pairs' own fit sweeps.
    const SeriesRows fit_rows(*series.plan, grids.axes, series.polarity);
    const std::vector<char> all_rows(grids.axes.vgs.size(), 1);
    std::vector<char> fit_cols(grids.axes.vds.size(), 0);
    for (std::size_t j : fit_columns(grids.axes.vds, std::vector<char>(grids.axes.vds.size(), 1)))
        fit_cols[j] = 1;
    const std::size_t fit_points = grids.axes.vgs.size() * grids.axes.vds.size();
    for (std::size_t k = 0; k < grids.rows.size() && k < n_w * n_l; ++k) {
        if (!grids.rows[k]) continue;
        for (std::size_t v = 0; v < grids.rows[k]->size() && v < n_vbs; ++v) {
            const VbsData& d = (*grids.rows[k])[v];
            bool whole = d.id.size() == fit_points && d.small_signal.size() == series.plan->vectors.size();
            for (const auto& rows : d.small_signal) whole = whole && rows.size() == fit_points;
            if (whole)
                add_samples(fit_rows, d, v, 0, all_rows, fit_cols, nullptr,
                            samples[((k / n_l) * n_vbs + v) * n_l + k % n_l]);
        }
    }
    // The pairs' fits side by side, a few milliseconds each.
    using Fit = std::pair<std::size_t, std::vector<std::optional<SeriesResistances>>>;
    TaskSet<Fit, NgspiceError> fits(std::max(1u, std::thread::hardware_concurrency()));
    for (std::size_t k = 0; k < n_w * n_l; ++k) {
        fits.spawn([&, k](const CancelToken&) -> Result<Fit, NgspiceError> {
            const std::size_t wi = k / n_l, li = k % n_l;
            std::vector<BlockSamples> pair(n_vbs);
            for (std::size_t v = 0; v < n_vbs; ++v) pair[v] = std::move(samples[(wi * n_vbs + v) * n_l + li]);
            return Fit(k, fit_series_blocks(pair, series.plan->drain_node.has_value(),
                                            series.plan->source_node.has_value()));
        });
    }
    // A pair whose fit ended abnormally keeps none: its slopes are
    // differences of Id.
    while (auto end = fits.join_next()) {
        if (!end->finished() || !end->outcome->ok()) continue;
        auto& [k, blocks] = end->outcome->value();
        const std::size_t wi = k / n_l, li = k % n_l;
        for (std::size_t v = 0; v < n_vbs && v < blocks.size(); ++v)
            series.fits[(wi * n_vbs + v) * n_l + li] = std::move(blocks[v]);
    }
}

// Copies one task's rows into the grids: chunk rows are contiguous inside
// each [w][vbs][l] block. With series resistances, gm, gds (and gmbs, when
// extracted) are the terminal's slopes through them.
Result<void, NgspiceError> place(TransistorLut& table, const ChunkResult& r, const std::vector<Chunk>& chunks,
                                 const ParamMask& mask, double polarity, SmallSignal* ss,
                                 const SmallSignalPlan* plan, const SeriesRows* series) {
    const auto& dims = table.id.dims;
    const std::size_t n_vds = dims[4];
    if (r.chunk_index >= chunks.size() || r.w_index >= dims[0] || r.l_index >= dims[2] ||
        r.vbs_offset > dims[1] || r.vbs_data.size() > dims[1] - r.vbs_offset)
        return err(NgspiceError::simulation("chunk result out of range — this is a bug in LUT generation"));
    const Chunk& chunk = chunks[r.chunk_index];
    const std::size_t n = (chunk.second - chunk.first + 1) * n_vds;
    const auto copy = [&](Grid5& grid, const std::vector<double>& rows, std::size_t v) {
        std::memcpy(&grid.at(r.w_index, v, r.l_index, chunk.first, 0), rows.data(), n * sizeof(double));
    };
    const std::optional<std::size_t> gmbs = op_param_index("gmbs");
    for (std::size_t i = 0; i < r.vbs_data.size(); ++i) {
        const VbsData& d = r.vbs_data[i];
        const std::size_t v = r.vbs_offset + i;
        if (d.id.size() != n)
            return err(NgspiceError::simulation("ragged chunk rows — this is a bug in LUT generation"));
        copy(table.id, d.id, v);
        for (std::size_t k = 0; k < kOpParamCount; ++k) {
            if (!mask[k]) continue;
            if (d.ops[k].size() != n)
                return err(NgspiceError::simulation("ragged chunk rows — this is a bug in LUT generation"));
            copy(table.op[k], d.ops[k], v);
        }
        // Without series resistances the channel runs in reverse where the
        // drain lies below the source: ngspice's gmbs is then the swapped
        // terminals', the slope of the table's Id with its sign turned.
        if (!series && gmbs && mask[*gmbs]) {
            double* values = &table.op[*gmbs].at(r.w_index, v, r.l_index, chunk.first, 0);
            for (std::size_t p = 0; p < n; ++p) {
                if (polarity * table.vds[p % n_vds] < 0.0) values[p] = -values[p];
            }
        }
        if (!ss || !plan) continue;
        const std::size_t block = (r.w_index * dims[1] + v) * dims[2] + r.l_index;
        bool whole = d.small_signal.size() == plan->vectors.size();
        for (const auto& rows : d.small_signal) whole = whole && rows.size() == n;
        if (!whole) {
            // No value along an axis of one point (see fill_small_signal_conductances).
            ss->exact[block] = 0;
            std::fill_n(&table.gm.at(r.w_index, v, r.l_index, chunk.first, 0), n,
                        std::numeric_limits<double>::quiet_NaN());
            std::fill_n(&table.gds.at(r.w_index, v, r.l_index, chunk.first, 0), n,
                        std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const std::size_t at0 = table.id.index(r.w_index, v, r.l_index, chunk.first, 0);
        if (!series) {
            copy(table.gm, d.small_signal[plan->gm], v);
            copy(table.gds, d.small_signal[plan->gds], v);
            const auto reversed = [&](std::size_t p) { return polarity * table.vds[p % n_vds] < 0.0; };
            if (plan->gmbs) {
                // In reverse the channel's values are the swapped terminals':
                // along the table's Vgs, Vds (which moves the swapped gate,
                // drain and body voltages alike) and Vbs, with the channel
                // current's sign turned.
                const std::vector<double>& gm = d.small_signal[plan->gm];
                const std::vector<double>& gds = d.small_signal[plan->gds];
                const std::vector<double>& gmb = d.small_signal[*plan->gmbs];
                for (std::size_t p = 0; p < n; ++p) {
                    if (!reversed(p)) continue;
                    table.gm.data[at0 + p] = -gm[p];
                    table.gds.data[at0 + p] = gm[p] + gds[p] + gmb[p];
                }
            }
            const std::vector<BeyondRows> rest = rest_rows(*plan);
            // Zero in reverse columns the channel's values do not serve:
            // those points take differences of Id.
            for (std::size_t q = 0; q < rest.size() && q < ss->rest.size(); ++q) {
                double* values = ss->rest[q].values.data.data() + at0;
                for (std::size_t p = 0; p < n; ++p)
                    values[p] = ss->served[p % n_vds] ? rest[q].at(d, p, reversed(p)) : 0.0;
            }
            continue;
        }
        const SeriesResistances* fit =
            block < series->fits.size() && series->fits[block] ? &*series->fits[block] : nullptr;
        if (!fit) {
            ss->exact[block] = 0;
            if (!ss->unfitted[block]) ss->unfitted[block] = kUnfitted;
            continue;
        }
        Grid5* gmbs_grid = gmbs && mask[*gmbs] ? &table.op[*gmbs] : nullptr;
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t at = at0 + p;
            const SeriesPoint pt = series->point(d, p, v, chunk.first + p / n_vds, p % n_vds);
            const std::optional<TerminalSlopes> slopes = terminal_slopes(pt, *fit);
            // The block falls back whole (its gmbs restored after).
            if (!slopes) {
                ss->exact[block] = 0;
                ss->unfitted[block] = kUnfitted;
                break;
            }
            table.gm.data[at] = slopes->gm;
            table.gds.data[at] = slopes->gds;
            if (gmbs_grid) gmbs_grid->data[at] = slopes->gmbs;
            for (std::size_t q = 0; q < ss->rest.size(); ++q) {
                ss->rest[q].values.data[at] = series->rest_at(q, d, p, pt.reverse());
                ss->rest[q].transfer[at] =
                    q < series->plan->rest_nodes.size() ? share(series->plan->rest_nodes[q], *slopes) : 0.0;
            }
        }
    }
    return {};
}

// gm, gds and gmbs of every block whose slopes through the series
// resistances could not all be had, in every chunk of the block (a chunk
// placed before another failed holds the terminal's): the channel's, for
// the table's drain, which in reverse mode are the simulator's values for
// the swapped terminals turned. gm and gds become differences of Id along
// each axis of more than one point (fill_small_signal_conductances).
void restore_channel_values(TransistorLut& table, const std::vector<ChunkResult>& results,
                            const std::vector<Chunk>& chunks, const ParamMask& mask, const SmallSignal& ss,
                            const SeriesRows& series) {
    if (ss.unfitted.empty()) return;
    const std::optional<std::size_t> gmbs = op_param_index("gmbs");
    Grid5* bs = gmbs && mask[*gmbs] ? &table.op[*gmbs] : nullptr;
    const auto& dims = table.id.dims;
    for (const ChunkResult& r : results) {
        for (std::size_t i = 0; i < r.vbs_data.size(); ++i) {
            const VbsData& d = r.vbs_data[i];
            const std::size_t v = r.vbs_offset + i;
            const std::size_t block = (r.w_index * dims[1] + v) * dims[2] + r.l_index;
            if (block >= ss.unfitted.size() || !ss.unfitted[block] ||
                !series_rows_whole(table, r, d, v, chunks, series.plan->vectors.size()))
                continue;
            const std::size_t first = chunks[r.chunk_index].first;
            const std::size_t at0 = table.id.index(r.w_index, v, r.l_index, first, 0);
            for (std::size_t p = 0; p < d.id.size(); ++p) {
                const SeriesPoint pt = series.point(d, p, v, first + p / dims[4], p % dims[4]);
                const bool reverse = pt.reverse();
                table.gm.data[at0 + p] = reverse ? -pt.gm : pt.gm;
                table.gds.data[at0 + p] = reverse ? pt.gm + pt.gds + pt.gmbs : pt.gds;
                if (bs) bs->data[at0 + p] = reverse ? -pt.gmbs : pt.gmbs;
            }
        }
    }
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

WrapperUse probe_wrapper(const Simulator& simulator, const LutConfig& config, const std::string& device_path,
                         Messages& messages) {
    ngspice::SimulationRequest req;
    req.id = "probe-wrapper";
    req.netlist = build_wrapper_probe_netlist(config);
    req.commands = {device_off_command(device_path), "run"};
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::vector<std::string>{"vds#branch"};
    SimulationOutcome outcome = simulator.run(std::move(req));
    if (simulator.timeouts && simulator.timeouts->fired()) return {};
    const ngspice::VectorData* v =
        outcome && outcome->success ? find_vector(outcome->vectors, "vds#branch") : nullptr;
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
// the table's sweeps save them: one short sweep asking for every vector that
// could serve (those the device lacks do not come back). Without the
// channel's gm and gds, none (gm and gds are then differences of Id); with
// internal drain or source nodes, the series-resistance set; else gm, gds
// and the channel current.
SmallSignalPlan probe_small_signal(const Simulator& simulator, const LutConfig& config,
                                   const std::string& device_path, Messages& messages) {
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
    // A time-out ends the generation: nothing to warn about.
    if (simulator.timeouts && simulator.timeouts->fired()) return SmallSignalPlan{};
    const auto none = [&](std::string_view why) {
        messages.err(fmt::cat(
            "  warning: ", why, ": ",
            differences_phrase(sweep_point_count(config.vgs), sweep_point_count(config.vds), "NaN"), "\n"));
        return SmallSignalPlan{};
    };
    const std::string no_values =
        fmt::cat("the simulator reports no small-signal values for '", device_path, "'");
    SmallSignalPlan plan;
    if (!outcome || !outcome->success) return none(no_values);
    // A vector that came back with finite values; `nonzero` when any is.
    const auto reported = [&](const std::string& name, bool* nonzero = nullptr) {
        const ngspice::VectorData* v = find_vector(outcome->vectors, name);
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
    if (!drain_node && !source_node) {
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
    if (drain_node) {
        plan.drain_node = plan.vectors.size();
        plan.vectors.push_back(internal_node_vector(device_path, "drain"));
    }
    if (source_node) {
        plan.source_node = plan.vectors.size();
        plan.vectors.push_back(internal_node_vector(device_path, "source"));
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
        const WrapperUse use = probe_wrapper(simulator, config, device_path, messages);
        plan.wrapper = use.present;
        plan.wrapper_gate = use.gate;
    }
    return plan;
}

}  // namespace

void TimeoutLatch::note(const SimulationOutcome& outcome) {
    if (outcome || !outcome.error().timed_out || fired()) return;
    std::lock_guard lock(mutex_);
    if (error_) return;
    error_ = outcome.error();
    fired_.store(true, std::memory_order_release);
}

std::optional<NgspiceError> TimeoutLatch::error() const {
    if (!fired()) return std::nullopt;
    std::lock_guard lock(mutex_);
    return error_;
}

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

std::string guessed_device_path(const LutConfig& config) {
    return config.subcircuit ? fmt::cat("m.x1.", config.device_name) : std::string("m1");
}

std::string detect_device_path(const Simulator& simulator, const LutConfig& config, Messages& messages) {
    const std::string guess = guessed_device_path(config);
    ngspice::SimulationRequest req;
    req.id = "detect-dev-path";
    req.netlist = build_probe_netlist(config, "cgg", guess);
    req.commands = {"listing e", "run"};
    req.pre_commands = model_dir_pre_commands(config);
    req.return_vectors = std::vector<std::string>{};
    SimulationOutcome outcome = simulator.run(std::move(req));
    // The generation ends with that time-out: nothing to warn about.
    if (!outcome && outcome.error().timed_out) return guess;
    std::optional<std::string> found;
    if (outcome && !outcome->log.empty()) found = extract_mosfet_name(outcome->log);
    // A netlist ngspice refuses makes every probe fail: say why once.
    if (outcome && !outcome->success) {
        if (const std::string reason = ngspice::ngspice_error_lines(outcome->log); !reason.empty())
            messages.out(fmt::cat("  warning: ngspice refused the probe netlist: ", reason, "\n"));
    }
    if (!found) {
        messages.out(fmt::cat("  warning: could not auto-detect flattened device path; falling back to '",
                              guess, "'\n"));
        return guess;
    }
    messages.out(fmt::cat("  detected device path: ", *found, "\n"));
    return *found;
}

ParamMask probe_op_params(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                          const std::string& device_path) {
    using Probe = std::pair<std::size_t, bool>;
    ParamMask supported{};
    TaskSet<Probe, NgspiceError> probes;
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (!requested[k]) continue;
        probes.spawn(
            [&simulator, &config, &device_path, k](const CancelToken&) -> Result<Probe, NgspiceError> {
                const std::string vector = op_vector_name(device_path, KNOWN_OP_PARAMS[k]);
                ngspice::SimulationRequest req;
                req.id = fmt::cat("probe-", KNOWN_OP_PARAMS[k]);
                req.netlist = build_probe_netlist(config, KNOWN_OP_PARAMS[k], device_path);
                req.commands = {"run"};
                req.pre_commands = model_dir_pre_commands(config);
                req.return_vectors = std::vector<std::string>{vector};
                SimulationOutcome outcome = simulator.run(std::move(req));
                bool ok = false;
                if (outcome && outcome->success) {
                    for (const ngspice::VectorData& v : outcome->vectors) {
                        if (ascii_iequals(v.name, vector) && !v.real.empty()) {
                            ok = true;
                            break;
                        }
                    }
                }
                return Probe{k, ok};
            });
    }
    while (auto end = probes.join_next()) {
        if (end->finished() && end->outcome->ok()) {
            const Probe& p = end->outcome->value();
            supported[p.first] = p.second;
        }
    }
    return supported;
}

namespace {

// What the probes found out about the device and what the simulator reports
// for it.
struct Probed {
    std::string device_path;
    SmallSignalPlan small_signal;
    ParamMask extract{};
    u128 ns = 0;
};

// Says which requested OP parameters the model lacks and which are extracted.
void report_op_support(const ParamMask& requested, const ParamMask& extract, Messages& messages) {
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (requested[k] && !extract[k])
            messages.out(fmt::cat("  warning: model does not support OP parameter '", KNOWN_OP_PARAMS[k],
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

// The device's path, whether the simulator reports its small-signal values,
// and which requested OP parameters it reports.
Probed probe_device(const Simulator& simulator, const LutConfig& config, Messages& messages) {
    const ParamMask requested = requested_mask(config, messages);
    Probed probed;
    probed.device_path = guessed_device_path(config);
    // A device inside a subcircuit is found by its flattened name, which the
    // small-signal values need as well.
    const auto timed_out = [&] { return simulator.timeouts && simulator.timeouts->fired(); };
    if (any(requested) || config.subcircuit)
        probed.device_path = detect_device_path(simulator, config, messages);
    if (timed_out()) return probed;
    const auto probe_start = Clock::now();
    probed.small_signal = probe_small_signal(simulator, config, probed.device_path, messages);
    if (timed_out()) return probed;
    probed.ns = ns_since(probe_start);
    if (any(requested)) {
        messages.out("  probing OP parameter support …\n");
        const auto op_probe_start = Clock::now();
        probed.extract = probe_op_params(simulator, config, requested, probed.device_path);
        probed.ns += ns_since(op_probe_start);
        report_op_support(requested, probed.extract, messages);
    }
    if (probed.small_signal.series && !series_fits_in_memory(config, probed)) {
        messages.err(fmt::cat(
            "  warning: the series resistances' values would not fit in memory beside the table: ",
            differences_phrase(sweep_point_count(config.vgs), sweep_point_count(config.vds), "NaN"), "\n"));
        probed.small_signal = SmallSignalPlan{};
    }
    if (probed.small_signal.series)
        messages.out("  series resistances: gm, gds and gmbs are the terminal's slopes through them\n");
    return probed;
}

// What every task of the generation shares.
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
    return base;
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

// Runs one task per part and (W, L) pair, parts outermost so that the first
// tasks started cover every pair.
Result<std::vector<ChunkResult>, NgspiceError> run_tasks(
    const Simulator& simulator, const LutConfig& config,
    const std::vector<std::shared_ptr<const TaskPlan>>& parts, Messages& messages) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size();
    MORVA_ASSIGN(
        auto ended,
        run_task_set<std::vector<ChunkResult>>(
            simulator, parts.size() * n_w * n_l, [&](std::size_t k, std::function<bool()> cancelled) {
                const std::size_t wi = k / n_l % n_w, li = k % n_l;
                const LadderContext ctx{simulator.run, parts[k / (n_w * n_l)], &messages,
                                        std::move(cancelled)};
                return fetch_wl_with_retry(ctx, config.widths[wi], wi, config.lengths[li], li);
            }));
    std::vector<ChunkResult> results;
    for (auto& indexed : ended)
        for (ChunkResult& r : indexed.second) results.push_back(std::move(r));
    return results;
}

// One request per (W, L) pair, `request(wi, li)`, and per pair (wi * n_l +
// li) what `read` makes of its answer: nothing where the request failed. A
// time-out ends the generation.
template <class T, class Request, class Read>
Result<std::vector<std::optional<T>>, NgspiceError> run_per_pair(const Simulator& simulator,
                                                                 const LutConfig& config,
                                                                 const Request& request, const Read& read) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size();
    MORVA_ASSIGN(auto ended, run_task_set<std::optional<T>>(
                                 simulator, n_w * n_l,
                                 [&](std::size_t k,
                                     const std::function<bool()>&) -> Result<std::optional<T>, NgspiceError> {
                                     SimulationOutcome outcome = simulator.run(request(k / n_l, k % n_l));
                                     if (!outcome && outcome.error().timed_out)
                                         return err(std::move(outcome).error());
                                     if (!outcome || !outcome->success) return std::optional<T>{};
                                     return read(*outcome);
                                 }));
    std::vector<std::optional<T>> out(n_w * n_l);
    for (auto& [k, value] : ended) out[k] = std::move(value);
    return out;
}

Result<WrapperSlopes, NgspiceError> sweep_wrapper(const Simulator& simulator, const LutConfig& config,
                                                  const Probed& probed, const WrapperAxes& along,
                                                  std::size_t n_points, Messages& messages) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size(),
                      n_vbs = config.vbs_values.size();
    const auto n_axes = static_cast<std::size_t>(std::count(along.begin(), along.end(), true));
    const auto start = Clock::now();
    MORVA_ASSIGN(WrapperSlopes out,
                 run_per_pair<std::vector<double>>(
                     simulator, config,
                     [&](std::size_t wi, std::size_t li) {
                         ngspice::SimulationRequest req;
                         req.id = fmt::cat("wrapper-w", wi, "-l", li);
                         req.netlist = build_slope_netlist(config, {}, config.widths[wi], config.lengths[li]);
                         req.commands = build_wrapper_commands(config, probed.device_path, along);
                         req.pre_commands = model_dir_pre_commands(config);
                         req.return_vectors = build_slope_return_vectors(2 * n_axes * n_vbs, {});
                         return req;
                     },
                     [&](const ngspice::SimulationResponse& r) {
                         return extract_wrapper_slopes(r, n_vbs, along, n_points);
                     }));
    const auto failed = static_cast<std::size_t>(std::count(out.begin(), out.end(), std::nullopt));
    if (failed)
        messages.err(
            fmt::cat("  warning: what the subcircuit carries at the drain beside the device could not "
                     "be swept for ",
                     failed, " of ", n_w * n_l, " (W, L) pair(s): their ",
                     differences_phrase(sweep_point_count(config.vgs), sweep_point_count(config.vds),
                                        "the channel's own"),
                     ", gmbs the channel's\n"));
    messages.out(fmt::cat("  what the subcircuit carries at the drain beside the device: slopes from ",
                          n_w * n_l, " request(s) in ",
                          fmt::fixed(static_cast<double>(ns_since(start)) / 1e6, 1), "ms\n"));
    return out;
}

// Adds the wrapper's slopes to those of every block that holds the
// terminal's slopes through the series resistances (the others are
// differences of Id, which hold them already).
void add_wrapper_slopes(TransistorLut& table, const SmallSignal& ss, const WrapperSlopes& wrapper,
                        std::optional<std::size_t> gmbs) {
    const auto& dims = table.id.dims;
    const std::size_t n_points = dims[3] * dims[4];
    Grid5* bs = gmbs && table.op[*gmbs].data.size() == table.id.data.size() ? &table.op[*gmbs] : nullptr;
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            const std::optional<std::vector<double>>& slopes = wrapper[wi * dims[2] + li];
            if (!slopes) continue;
            // Per Vbs value the current, then the slopes along Vgs, Vds, Vbs.
            if (slopes->size() != dims[1] * 4 * n_points) continue;
            for (std::size_t v = 0; v < dims[1]; ++v) {
                const std::size_t block = (wi * dims[1] + v) * dims[2] + li;
                if (block >= ss.exact.size() || !ss.exact[block]) continue;
                const std::size_t at0 = block * n_points;
                const double* s = slopes->data() + (v * 4 + 1) * n_points;
                for (std::size_t p = 0; p < n_points; ++p) {
                    table.gm.data[at0 + p] += s[p];
                    table.gds.data[at0 + p] += s[n_points + p];
                    if (bs) bs->data[at0 + p] += s[2 * n_points + p];
                }
            }
        }
    }
}

// Below this many points in the columns a fit takes (an axis of one point is
// common), a block's rows do not pin the series resistances' bias
// dependence: each pair sweeps a grid of its own for the fit over the
// table's bias range, kFitAxisPoints along each axis of more than one point
// (a fit over the table's own range meets its points better than one over
// a wider range).
constexpr std::size_t kMinFitPoints = 64;
constexpr std::size_t kFitAxisPoints = 17;

bool needs_fit_grid(const LutConfig& config) {
    const std::vector<double> vds = sweep_axis(config.vds);
    return sweep_point_count(config.vgs) * fit_columns(vds, std::vector<char>(vds.size(), 1)).size() <
           kMinFitPoints;
}

// A fit sweep's axis over one of the table's: kFitAxisPoints points over its
// range, its point alone where it has one; from 0 V to `wide` instead where
// `widen`.
SweepRange fit_axis(const SweepRange& range, bool widen, double wide) {
    const std::vector<double> axis = sweep_axis(range);
    const double first = widen ? 0.0 : axis.front(), last = widen ? wide : axis.back();
    if (first == last) return {first, last, range.step};
    return {first, last, (last - first) / static_cast<double>(kFitAxisPoints - 1)};
}

// Each pair's own sweep for the fit (see kMinFitPoints), saving what the
// table's rows save for it; a pair whose sweep fails has none (its fit
// takes the table's rows alone). A time-out ends the generation.
Result<FitGrids, NgspiceError> sweep_fit_grids(const Simulator& simulator, const LutConfig& config,
                                               const Probed& probed, Messages& messages) {
    const std::size_t n_w = config.widths.size(), n_l = config.lengths.size(),
                      n_vbs = config.vbs_values.size();
    const double polarity = config.device_type == DeviceType::Pmos ? -1.0 : 1.0;
    // A single Vds of 0 V carries no drop: the drain's voltage runs from 0 V
    // to 0.1 V. With a single point on both axes otherwise, the gate's runs
    // from 0 V to it (to 0.1 V at least).
    const bool no_drop = sweep_point_count(config.vds) == 1 && config.vds.start == 0.0;
    const bool single = sweep_point_count(config.vgs) == 1 && sweep_point_count(config.vds) == 1 && !no_drop;
    const double vgs = config.vgs.start;
    LutConfig c = config;
    c.vgs = fit_axis(config.vgs, single, polarity * vgs > 0.1 ? vgs : polarity * 0.1);
    c.vds = fit_axis(config.vds, no_drop, polarity * 0.1);
    FitGrids out;
    out.axes.vgs = sweep_axis(c.vgs);
    out.axes.vds = sweep_axis(c.vds);
    out.axes.vbs_values = config.vbs_values;
    const std::size_t n_rows = out.axes.vgs.size(), n_cols = out.axes.vds.size();
    const std::vector<std::string>& vectors = probed.small_signal.vectors;
    const auto start = Clock::now();
    MORVA_ASSIGN(
        out.rows,
        run_per_pair<std::vector<VbsData>>(
            simulator, config,
            [&](std::size_t wi, std::size_t li) {
                ngspice::SimulationRequest req;
                req.id = fmt::cat("fit-w", wi, "-l", li);
                req.netlist = build_netlist(c, c.vgs, ParamMask{}, probed.device_path, c.widths[wi],
                                            c.lengths[li], c.vbs_values.front(), vectors);
                req.commands = build_multi_vbs_commands(c, c.vgs);
                req.pre_commands = model_dir_pre_commands(c);
                req.return_vectors = build_return_vectors(n_vbs, probed.device_path, ParamMask{}, vectors);
                return req;
            },
            [&](const ngspice::SimulationResponse& r) {
                return extract_all_vbs(r, n_vbs, n_rows, n_cols, probed.device_path, ParamMask{}, vectors);
            }));
    const std::size_t had = out.rows.size() - static_cast<std::size_t>(
                                                  std::count(out.rows.begin(), out.rows.end(), std::nullopt));
    messages.out(
        fmt::cat("  series resistances: too few points per block for their fit, so each pair sweeps ", n_rows,
                 " Vgs x ", n_cols, " Vds of its own (", had, " of ", n_w * n_l, " had, ",
                 fmt::fixed(static_cast<double>(ns_since(start)) / 1e6, 1), "ms)\n"));
    return out;
}

// The line that closes the tasks: their count, wall time and rate.
void report_tasks_done(Messages& messages, std::size_t n_tasks, const std::array<std::size_t, 5>& dims,
                       u128 wall_ns) {
    const double wall_s = static_cast<double>(wall_ns) / 1e9;
    const double points = static_cast<double>(Grid5::element_count(dims));
    messages.out(fmt::cat("  all ", n_tasks, " tasks completed in ", fmt::fixed(wall_s * 1e3, 1), "ms  (",
                          fmt::fixed(points / wall_s, 0), " op/s)\n"));
}

// The table with every task's rows in place, and, when the simulator reports
// small-signal values, what `ss` needs to complete gm and gds.
Result<TransistorLut, NgspiceError> assemble_table(const LutConfig& config,
                                                   const std::array<std::size_t, 5>& dims,
                                                   const std::vector<Chunk>& chunks, const Probed& probed,
                                                   const std::vector<ChunkResult>& results,
                                                   const FitGrids& grids, const WrapperSlopes& wrapper,
                                                   SmallSignal& ss) {
    const std::size_t n_w = dims[0], n_vbs = dims[1], n_l = dims[2];
    TransistorLut table;
    table.widths = config.widths;
    table.vbs_values = config.vbs_values;
    table.lengths = config.lengths;
    table.vgs = sweep_axis(config.vgs);
    table.vds = sweep_axis(config.vds);
    table.id = Grid5(dims, 0.0);
    for (std::size_t k = 0; k < kOpParamCount; ++k)
        table.op[k] = probed.extract[k] ? Grid5(dims, 0.0) : unextracted_grid(n_w, n_vbs, n_l);
    const SmallSignalPlan& plan = probed.small_signal;
    const double polarity = config.device_type == DeviceType::Pmos ? -1.0 : 1.0;
    std::optional<SeriesRows> series;
    if (!plan.empty()) {
        table.gm = Grid5(dims, 0.0);
        table.gds = Grid5(dims, 0.0);
        ss.rest.resize(plan.rest.size());
        for (RestPart& part : ss.rest) {
            part.values = Grid5(dims, 0.0);
            if (plan.series) part.transfer.assign(table.id.data.size(), 0.0);
        }
        ss.exact.assign(n_w * n_vbs * n_l, 1);
        ss.polarity = polarity;
        // Through series resistances every column is served: the solve
        // takes the channel either way round; without them the reverse
        // columns are where the device reports gmbs as well.
        for (double vds : table.vds)
            ss.served.push_back(plan.series || plan.gmbs || ss.polarity * vds >= 0.0);
        if (plan.series) {
            ss.unfitted.assign(ss.exact.size(), 0);
            series.emplace(plan, table, ss.polarity);
            fit_pairs(*series, results, chunks, ss.served, grids, wrapper);
            // A pair whose wrapper could not be swept falls back whole.
            for (std::size_t k = 0; k < wrapper.size() && plan.wrapper; ++k) {
                if (wrapper[k]) continue;
                for (std::size_t v = 0; v < n_vbs; ++v) {
                    const std::size_t block = ((k / n_l) * n_vbs + v) * n_l + k % n_l;
                    series->fits[block].reset();
                    ss.unfitted[block] = kWrapperUnswept;
                }
            }
        }
    }
    for (const ChunkResult& r : results) {
        MORVA_TRY(place(table, r, chunks, probed.extract, polarity, plan.empty() ? nullptr : &ss, &plan,
                        series ? &*series : nullptr));
    }
    if (series) restore_channel_values(table, results, chunks, probed.extract, ss, *series);
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (probed.extract[k]) table.extracted_op_params.emplace_back(KNOWN_OP_PARAMS[k]);
    }
    return table;
}

// The jobs of the shifted sweeps: one per (W, L) pair that has any; when
// those are fewer than the workers, each pair's sweeps split into parts of
// about equal points. Every sweep is its own alter and dc, so the split does
// not change a value.
std::vector<SlopeJob> slope_jobs(const LutConfig& config, const SmallSignal& ss,
                                 const std::array<std::size_t, 5>& dims, const std::vector<Chunk>& chunks,
                                 std::uint64_t simulator_workers) {
    std::vector<SlopeJob> pairs;
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            std::vector<ShiftedSweep> sweeps = plan_shifted_sweeps(ss, dims, wi, li, chunks);
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

// What the shifted sweeps did, for the progress line and the report.
struct SlopePhase {
    std::vector<TimingSums> timing;
    std::size_t sweeps = 0;
    std::size_t jobs = 0;
    std::size_t slopes = 0;
    u128 wall = 0;
};

// Runs the shifted sweeps of the marked points and sets their slopes; only
// a stop request or an abnormal task end is an error.
// `plan` is the generation's (its configuration, device and pre-commands serve the sweeps).
Result<SlopePhase, NgspiceError> run_shifted_sweeps(const Simulator& simulator,
                                                    const std::shared_ptr<const TaskPlan>& plan,
                                                    TransistorLut& table, SmallSignal& ss,
                                                    std::optional<std::size_t> gmbs, Messages& messages) {
    const LutConfig& config = plan->config;
    SlopePhase phase;
    const auto start = Clock::now();
    const std::vector<SlopeJob> jobs = slope_jobs(config, ss, table.id.dims, plan->chunks, simulator.workers);
    if (jobs.empty()) return phase;
    // Each point lies in one sweep per axis, so the order in which the jobs
    // end does not matter.
    MORVA_ASSIGN(const auto ended,
                 run_task_set<SlopeResult>(
                     simulator, jobs.size(), [&](std::size_t k, std::function<bool()> cancelled) {
                         const LadderContext ctx{simulator.run, plan, &messages, std::move(cancelled)};
                         return fetch_slopes_with_retry(ctx, jobs[k]);
                     }));
    // Once a request has timed out none is sent: every sweep not yet had
    // keeps differences over the grid, said once.
    std::size_t timed_out = 0;
    for (const auto& [k, r] : ended) {
        const SlopeJob& job = jobs[k];
        phase.timing.push_back(r.timing);
        for (std::size_t s = 0; s < job.sweeps.size(); ++s) {
            if (r.beyond[s])
                phase.slopes +=
                    apply_shifted_sweep(table, ss, config, job.wi, job.li, job.sweeps[s], *r.beyond[s], gmbs);
            else if (r.hung)
                ++timed_out;
        }
        phase.sweeps += job.sweeps.size();
    }
    if (timed_out)
        messages.err(fmt::cat("  [retry] a request of shifted sweeps timed out: the slopes of ", timed_out,
                              " of ", phase.sweeps,
                              " shifted sweep(s) stay differences over the grid steps, and no other request "
                              "is sent\n"));
    phase.jobs = jobs.size();
    phase.wall = ns_since(start);
    messages.out(fmt::cat("  ", phase.slopes, " slopes from ", phase.sweeps, " shifted sweeps (", phase.jobs,
                          " tasks) in ", fmt::fixed(static_cast<double>(phase.wall) / 1e6, 1), "ms\n"));
    return phase;
}

// gm and gds: the simulator's own values completed by the slopes
// of the rest of the drain current, or differences of Id along the
// configured steps where it gave none.
void fill_gm_gds(TransistorLut& table, const SmallSignal& ss, const LutConfig& config, Messages& messages) {
    if (!ss.reported()) {
        fill_conductances(table, config.vgs.step, config.vds.step);
        // Along an axis of one point a difference is no slope.
        if (table.vgs.size() == 1) std::fill(table.gm.data.begin(), table.gm.data.end(), kNaN);
        if (table.vds.size() == 1) std::fill(table.gds.data.begin(), table.gds.data.end(), kNaN);
        return;
    }
    const std::size_t unfitted =
        static_cast<std::size_t>(std::count(ss.unfitted.begin(), ss.unfitted.end(), kUnfitted));
    const std::size_t unswept =
        static_cast<std::size_t>(std::count(ss.unfitted.begin(), ss.unfitted.end(), kWrapperUnswept));
    const std::size_t missing =
        static_cast<std::size_t>(std::count(ss.exact.begin(), ss.exact.end(), char{0})) - unfitted - unswept;
    const std::size_t n_vgs = table.vgs.size(), n_vds = table.vds.size();
    if (missing)
        messages.err(fmt::cat("  warning: ", missing, " of ", ss.exact.size(),
                              " (W, Vbs, L) blocks came back without small-signal values: their ",
                              differences_phrase(n_vgs, n_vds, "NaN"), "\n"));
    if (unfitted)
        messages.err(fmt::cat("  warning: in ", unfitted, " of ", ss.exact.size(),
                              " (W, Vbs, L) blocks the series resistances do not follow the drops ngspice "
                              "solved: their ",
                              differences_phrase(n_vgs, n_vds, "the channel's own"),
                              ", gmbs the channel's\n"));
    fill_small_signal_conductances(table, ss, config.vgs.step, config.vds.step);
}

}  // namespace

Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks,
                                                 std::shared_ptr<ngspice::WorkerPool> pool,
                                                 const LutConfig& config, StopRequested stop) {
    StdMessages messages;
    const std::uint64_t workers = pool ? pool->workers() : 1;
    auto timeouts = std::make_shared<TimeoutLatch>();
    const auto run = [pool = std::move(pool), stop,
                      timeouts](ngspice::SimulationRequest r) -> SimulationOutcome {
        if (!pool) return err(NgspiceError::send_failed());
        // Once stopped, or once another request has timed out, the request
        // in flight is dropped and its worker ended: it may run for seconds.
        const auto give_up = [&] { return (stop && stop()) || timeouts->fired(); };
        const auto gave_up = [&]() -> SimulationOutcome {
            if (!(stop && stop())) {
                if (auto e = timeouts->error()) return err(std::move(*e));
            }
            return err(NgspiceError::simulation(std::string(kInterrupted)));
        };
        auto reply = pool->submit(std::move(r), give_up, ngspice::OnAbandon::EndWorker);
        if (!reply) return gave_up();
        while (!reply->wait_for(std::chrono::milliseconds(50))) {
            if (give_up()) return gave_up();
        }
        return reply->get();
    };
    return generate_lut(n_chunks, Simulator{run, workers, stop, timeouts}, config, messages);
}

Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks, const Simulator& given,
                                                 const LutConfig& config, Messages& messages) {
    if (auto problem = generation_problem(n_chunks, config)) return err(NgspiceError::refused(*problem));
    // Every request goes through the latch: after the first time-out none is sent.
    Simulator simulator = given;
    if (!simulator.timeouts) simulator.timeouts = std::make_shared<TimeoutLatch>();
    simulator.run = [run = given.run,
                     latch = simulator.timeouts](ngspice::SimulationRequest r) -> SimulationOutcome {
        if (auto e = latch->error()) return err(std::move(*e));
        SimulationOutcome outcome = run(std::move(r));
        latch->note(outcome);
        return outcome;
    };
    // The model file is read here once: its section, its cards and its
    // subcircuits come from this reading, dropped before the simulations.
    std::optional<KitTextReading> kit_text;
    std::vector<std::optional<spice::model_parser::KitText>> include_texts;
    if (auto problem = model_file_problem(config, kit_text, &include_texts)) return err(problem->error());
    // A model the kit lacks, or a size no bin holds, is refused here rather
    // than by ngspice after the probes and every rung of the ladder.
    const spice::model_parser::KitText* model_text = kit_text && *kit_text ? &**kit_text : nullptr;
    const auto refuse_model = [&](ModelUse use) -> std::optional<NgspiceError> {
        if (auto problem = model_problem(config, model_text, include_texts, use))
            return NgspiceError::refused(std::move(*problem));
        return std::nullopt;
    };
    if (auto refused = refuse_model(config.use_native_bsim4 ? ModelUse::Native : ModelUse::Pool))
        return err(std::move(*refused));

    // 1. The native evaluator, when asked and able.
    if (config.use_native_bsim4) {
        // Without a model file there is no kit to evaluate natively.
        NativeOutcome outcome = kit_text
                                    ? generate_lut_native(config, *kit_text, messages, 512, simulator.stop)
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

    // 3-7. Requested parameters, device path, probes.
    const Probed probed = probe_device(simulator, config, messages);
    if (auto e = simulator.timeouts->error()) return err(std::move(*e));

    // 8-9. The tasks.
    const std::shared_ptr<TaskPlan> base = base_plan(config, chunks, probed, n_vds);
    const auto parts = split_plan(base, config, n_tasks, simulator.workers);
    const auto wall_start = Clock::now();
    MORVA_ASSIGN(const std::vector<ChunkResult> results, run_tasks(simulator, config, parts, messages));
    const u128 wall_ns = ns_since(wall_start);
    report_tasks_done(messages, n_tasks, dims, wall_ns);

    // The series resistances' own fit sweeps, where the table is too small
    // for their fit.
    FitGrids grids;
    if (probed.small_signal.series && needs_fit_grid(config)) {
        MORVA_ASSIGN(grids, sweep_fit_grids(simulator, config, probed, messages));
    }
    // What a subcircuit wrapper carries at the drain beside the device.
    WrapperSlopes wrapper;
    if (probed.small_signal.wrapper) {
        const WrapperAxes along{probed.small_signal.wrapper_gate, true,
                                probed.extract[*op_param_index("gmbs")]};
        MORVA_ASSIGN(wrapper, sweep_wrapper(simulator, config, probed, along, n_vgs * n_vds, messages));
    }

    // 10. Assembly.
    const auto assemble_start = Clock::now();
    SmallSignal ss;
    MORVA_ASSIGN(TransistorLut table,
                 assemble_table(config, dims, chunks, probed, results, grids, wrapper, ss));
    const u128 assemble_ns = ns_since(assemble_start);

    // 11. gm, gds and gmbs: shifted sweeps where the rest of the drain
    // current curves too much for differences over the grid.
    const std::optional<std::size_t> gmbs =
        probed.extract[*op_param_index("gmbs")] ? op_param_index("gmbs") : std::nullopt;
    SlopePhase slopes;
    u128 diff_ns = 0;
    if (ss.reported()) {
        const auto mark_start = Clock::now();
        mark_shifted_slopes(table, ss, config.vgs.step, config.vds.step, gmbs);
        diff_ns += ns_since(mark_start);
        MORVA_ASSIGN(slopes, run_shifted_sweeps(simulator, base, table, ss, gmbs, messages));
    }
    const auto diff_start = Clock::now();
    fill_gm_gds(table, ss, config, messages);
    if (!wrapper.empty()) add_wrapper_slopes(table, ss, wrapper, gmbs);
    diff_ns += ns_since(diff_start);

    // 12. The report.
    const PhaseTimes phases{.wall = wall_ns + slopes.wall,
                            .probe = probed.ns,
                            .assemble = assemble_ns,
                            .diff = diff_ns,
                            .n_w = n_w,
                            .n_l = n_l,
                            .n_vbs = n_vbs,
                            .n_workers = simulator.workers};
    messages.out(timing_report(phases, results, slopes.timing));
    return table;
}

}  // namespace morva::lut::generate_ngspice
