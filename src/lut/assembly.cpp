#include "lut/assembly.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/format.h"

namespace morva::lut::generate_ngspice {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// The gmbs grid that swept slopes add to or set: where gmbs is extracted,
// the table's size.
Grid5* swept_gmbs(TransistorLut& table, std::optional<std::size_t> gmbs) {
    return gmbs && table.op[*gmbs].data.size() == table.id.data.size() ? &table.op[*gmbs] : nullptr;
}

// Calls `apply(block, s)` for every [w][vbs][l] block of the pairs whose
// sweeps `per_pair` holds (per Vbs value the current, then the slopes along
// Vgs, Vds, Vbs, as extract_wrapper_slopes gives them), `s` at the block's
// slopes along Vgs.
template <class Apply>
void for_each_swept_block(const std::array<std::size_t, 5>& dims,
                          const std::vector<std::optional<std::vector<double>>>& per_pair, Apply apply) {
    const std::size_t n_points = dims[3] * dims[4];
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            const std::optional<std::vector<double>>& slopes = per_pair[wi * dims[2] + li];
            if (!slopes || slopes->size() != dims[1] * 4 * n_points) continue;
            for (std::size_t v = 0; v < dims[1]; ++v)
                apply((wi * dims[1] + v) * dims[2] + li, slopes->data() + (v * 4 + 1) * n_points);
        }
    }
}

// Adds the wrapper's slopes to those of every block that holds the
// terminal's slopes through the series resistances (the others are
// differences of Id, which hold them already).
void add_wrapper_slopes(TransistorLut& table, const SmallSignal& ss,
                        const std::vector<std::optional<std::vector<double>>>& wrapper,
                        std::optional<std::size_t> gmbs) {
    const std::size_t n_points = table.id.dims[3] * table.id.dims[4];
    Grid5* bs = swept_gmbs(table, gmbs);
    for_each_swept_block(table.id.dims, wrapper, [&](std::size_t block, const double* s) {
        if (block >= ss.exact.size() || !ss.exact[block]) return;
        const std::size_t at0 = block * n_points;
        for (std::size_t p = 0; p < n_points; ++p) {
            table.gm.data[at0 + p] += s[p];
            table.gds.data[at0 + p] += s[n_points + p];
            if (bs) bs->data[at0 + p] += s[2 * n_points + p];
        }
    });
}

// gm, gds (and gmbs, when swept) of the blocks whose series resistances
// could not be had, from the terminal current's own central differences
// (`terminal`, per pair as extract_wrapper_slopes gives them, where swept).
void set_terminal_slopes(TransistorLut& table, const SmallSignal& ss,
                         const std::vector<std::optional<std::vector<double>>>& terminal,
                         std::optional<std::size_t> gmbs) {
    const std::size_t n_points = table.id.dims[3] * table.id.dims[4];
    Grid5* bs = swept_gmbs(table, gmbs);
    for_each_swept_block(table.id.dims, terminal, [&](std::size_t block, const double* s) {
        if (block >= ss.unfitted.size() || ss.unfitted[block] != kUnfitted) return;
        const std::size_t at0 = block * n_points;
        std::copy_n(s, n_points, table.gm.data.data() + at0);
        std::copy_n(s + n_points, n_points, table.gds.data.data() + at0);
        if (bs) std::copy_n(s + 2 * n_points, n_points, bs->data.data() + at0);
    });
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

// gm and gds: the simulator's own values completed by the slopes
// of the rest of the drain current, or differences of Id along the
// configured steps where it gave none.
void fill_gm_gds(TransistorLut& table, const SmallSignal& ss, const LutConfig& config, std::size_t covered,
                 Messages& messages) {
    if (!ss.reported()) {
        fill_conductances(table, config.vgs.step, config.vds.step);
        // Along an axis of one point a difference is no slope.
        if (table.vgs.size() == 1) std::fill(table.gm.data.begin(), table.gm.data.end(), kNaN);
        if (table.vds.size() == 1) std::fill(table.gds.data.begin(), table.gds.data.end(), kNaN);
        return;
    }
    const std::size_t all_unfitted =
        static_cast<std::size_t>(std::count(ss.unfitted.begin(), ss.unfitted.end(), kUnfitted));
    const std::size_t unfitted = all_unfitted - covered;
    const std::size_t unswept =
        static_cast<std::size_t>(std::count(ss.unfitted.begin(), ss.unfitted.end(), kWrapperUnswept));
    const std::size_t missing =
        static_cast<std::size_t>(std::count(ss.exact.begin(), ss.exact.end(), char{0})) - all_unfitted -
        unswept;
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

bool needs_fit_grid(const LutConfig& config) {
    const std::vector<double> vds = sweep_axis(config.vds);
    return sweep_point_count(config.vgs) * fit_columns(vds, std::vector<char>(vds.size(), 1)).size() <
           kMinFitPoints;
}

LutConfig fit_grid_config(const LutConfig& config) {
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
    return c;
}

// The series resistances' fits and the points whose samples serve them.
struct Assembly::Series {
    SeriesRows rows;                // the table's
    std::optional<SeriesRows> fit;  // the pairs' own fit sweeps'
    bool usable = false;            // the table has columns a fit takes
    std::vector<char> row_taken, col_taken, fit_cols;

    Series(const SmallSignalPlan& plan, const TransistorLut& table, const TransistorLut& fit_axes,
           double polarity, const std::vector<char>& served)
        : rows(plan, table, polarity) {
        const std::size_t n_w = table.widths.size(), n_vbs = table.vbs_values.size(),
                          n_l = table.lengths.size();
        const std::size_t n_vgs = table.vgs.size(), n_vds = table.vds.size();
        rows.fits.assign(n_w * n_vbs * n_l, std::nullopt);
        const std::vector<std::size_t> columns = fit_columns(table.vds, served);
        usable = !columns.empty() && n_vbs > 0;
        if (!usable) return;
        // The samples are spread over the rows and the columns alike (the
        // highest Vgs and Vds, where the drops are largest, included), about
        // kMaxFitSamples a pair.
        const std::size_t budget = std::max(kMaxFitSamples / n_vbs, kMinBlockSamples);
        const auto [n_rows, n_cols] = sample_grid(n_vgs, columns.size(), budget);
        row_taken.assign(n_vgs, 0);
        col_taken.assign(n_vds, 0);
        for (std::size_t i : spread(n_vgs, n_rows)) row_taken[i] = 1;
        for (std::size_t k : spread(columns.size(), n_cols)) col_taken[columns[k]] = 1;
        if (fit_axes.vgs.empty()) return;
        fit.emplace(plan, fit_axes, polarity);
        fit_cols.assign(fit_axes.vds.size(), 0);
        for (std::size_t j : fit_columns(fit_axes.vds, std::vector<char>(fit_axes.vds.size(), 1)))
            fit_cols[j] = 1;
    }

    // Fits pair (wi, li)'s resistances, per Vbs value where they do not
    // follow one fit, to the drops its rows carry in the served columns and
    // its own fit sweep's, where it has one.
    void fit_pair(std::size_t wi, std::size_t li, const std::vector<const ChunkResult*>& results,
                  const std::vector<Chunk>& chunks, const std::optional<std::vector<VbsData>>& fit_rows,
                  const std::optional<std::vector<double>>& wrapper) {
        const TransistorLut& t = *rows.axes;
        const std::size_t n_vbs = t.vbs_values.size(), n_l = t.lengths.size();
        // A device whose subcircuit puts elements beside it alone: no
        // resistance between terminals and channel.
        if (!rows.plan->resistances()) {
            for (std::size_t v = 0; v < n_vbs; ++v)
                rows.fits[(wi * n_vbs + v) * n_l + li] = SeriesResistances{};
            return;
        }
        if (!usable) return;
        const std::size_t n_points = t.vgs.size() * t.vds.size();
        std::vector<BlockSamples> samples(n_vbs);
        for (const ChunkResult* r : results) {
            for (std::size_t i = 0; i < r->vbs_data.size(); ++i) {
                const VbsData& d = r->vbs_data[i];
                const std::size_t v = r->vbs_offset + i;
                if (!series_rows_whole(t, *r, d, v, chunks, rows.plan->vectors.size())) continue;
                // The wrapper's current at the block's points, where it was swept.
                const double* beside = wrapper && wrapper->size() == n_vbs * 4 * n_points
                                           ? wrapper->data() + v * 4 * n_points
                                           : nullptr;
                add_samples(rows, d, v, chunks[r->chunk_index].first, row_taken, col_taken, beside,
                            samples[v]);
            }
        }
        if (fit && fit_rows) {
            const TransistorLut& axes = *fit->axes;
            const std::vector<char> all_rows(axes.vgs.size(), 1);
            const std::size_t fit_points = axes.vgs.size() * axes.vds.size();
            for (std::size_t v = 0; v < fit_rows->size() && v < n_vbs; ++v) {
                const VbsData& d = (*fit_rows)[v];
                bool whole = d.id.size() == fit_points && d.small_signal.size() == rows.plan->vectors.size();
                for (const auto& r : d.small_signal) whole = whole && r.size() == fit_points;
                if (whole) add_samples(*fit, d, v, 0, all_rows, fit_cols, nullptr, samples[v]);
            }
        }
        std::vector<std::optional<SeriesResistances>> blocks =
            fit_series_blocks(samples, rows.plan->drain_node.has_value(), rows.plan->source_node.has_value());
        for (std::size_t v = 0; v < n_vbs && v < blocks.size(); ++v)
            rows.fits[(wi * n_vbs + v) * n_l + li] = std::move(blocks[v]);
    }
};

Assembly::Assembly(const LutConfig& config, const std::array<std::size_t, 5>& dims, std::vector<Chunk> chunks,
                   const SmallSignalPlan& plan, const ParamMask& extract)
    : config_(config), chunks_(std::move(chunks)), plan_(plan), extract_(extract) {
    const std::size_t n_w = dims[0], n_vbs = dims[1], n_l = dims[2];
    gmbs_ = extract_[*op_param_index("gmbs")] ? op_param_index("gmbs") : std::nullopt;
    polarity_ = config.device_type == DeviceType::Pmos ? -1.0 : 1.0;
    table_.widths = config.widths;
    table_.vbs_values = config.vbs_values;
    table_.lengths = config.lengths;
    table_.vgs = sweep_axis(config.vgs);
    table_.vds = sweep_axis(config.vds);
    table_.id = Grid5(dims, 0.0);
    for (std::size_t k = 0; k < kOpParamCount; ++k)
        table_.op[k] = extract_[k] ? Grid5(dims, 0.0) : unextracted_grid(n_w, n_vbs, n_l);
    if (plan.empty()) return;
    table_.gm = Grid5(dims, 0.0);
    table_.gds = Grid5(dims, 0.0);
    ss_.rest.resize(plan.rest.size());
    for (RestPart& part : ss_.rest) {
        part.values = Grid5(dims, 0.0);
        if (plan.series) part.transfer.assign(table_.id.data.size(), 0.0);
    }
    ss_.exact.assign(n_w * n_vbs * n_l, 1);
    ss_.polarity = polarity_;
    // Through series resistances every column is served: the solve takes
    // the channel either way round; without them the reverse columns are
    // where the device reports gmbs as well.
    for (double vds : table_.vds) ss_.served.push_back(plan.series || plan.gmbs || ss_.polarity * vds >= 0.0);
    ss_.marks.assign(table_.id.data.size(), 0);
    if (plan.wrapper) wrapper_.resize(n_w * n_l);
    if (plan.wrapped && plan.series) terminal_.resize(n_w * n_l);
    if (!plan.series) return;
    ss_.unfitted.assign(ss_.exact.size(), 0);
    if (needs_fit_grid(config)) {
        const LutConfig fit = fit_grid_config(config);
        fit_axes_.vgs = sweep_axis(fit.vgs);
        fit_axes_.vds = sweep_axis(fit.vds);
        fit_axes_.vbs_values = config.vbs_values;
    }
    series_ = std::make_shared<Series>(plan, table_, fit_axes_, polarity_, ss_.served);
}

Result<void, NgspiceError> Assembly::place_pair(std::size_t wi, std::size_t li,
                                                const std::vector<ChunkResult>& rows,
                                                const std::optional<std::vector<VbsData>>& fit_rows,
                                                std::optional<std::vector<double>> wrapper) {
    const auto& dims = table_.id.dims;
    const std::size_t n_vbs = dims[1], n_l = dims[2], pair = wi * n_l + li;
    if (wi >= dims[0] || li >= n_l)
        return err(NgspiceError::simulation("pair out of range — this is a bug in LUT generation"));
    // Chunk and Vbs order, whatever order the parts of the pair came in: the
    // fit takes its samples in this order.
    std::vector<const ChunkResult*> ordered;
    for (const ChunkResult& r : rows) ordered.push_back(&r);
    std::sort(ordered.begin(), ordered.end(), [](const ChunkResult* a, const ChunkResult* b) {
        return std::pair(a->chunk_index, a->vbs_offset) < std::pair(b->chunk_index, b->vbs_offset);
    });
    if (pair < wrapper_.size()) wrapper_[pair] = std::move(wrapper);
    const std::optional<std::vector<double>> none;
    const std::optional<std::vector<double>>& swept = pair < wrapper_.size() ? wrapper_[pair] : none;
    if (series_) {
        series_->fit_pair(wi, li, ordered, chunks_, fit_rows, swept);
        // A pair whose wrapper could not be swept falls back whole.
        if (plan_.wrapper && !swept) {
            for (std::size_t v = 0; v < n_vbs; ++v) {
                const std::size_t block = (wi * n_vbs + v) * n_l + li;
                series_->rows.fits[block].reset();
                ss_.unfitted[block] = kWrapperUnswept;
            }
        }
    }
    for (const ChunkResult* r : ordered) {
        if (r->w_index != wi || r->l_index != li)
            return err(NgspiceError::simulation("rows of another pair — this is a bug in LUT generation"));
        MORVA_TRY(place(table_, *r, chunks_, extract_, polarity_, plan_.empty() ? nullptr : &ss_, &plan_,
                        series_ ? &series_->rows : nullptr));
    }
    if (series_) restore_channel_values(table_, rows, chunks_, extract_, ss_, series_->rows);
    if (ss_.reported()) mark_shifted_slopes(table_, ss_, wi, li, config_.vgs.step, config_.vds.step, gmbs_);
    return {};
}

std::vector<ShiftedSweep> Assembly::sweeps(std::size_t wi, std::size_t li) const {
    if (!ss_.reported()) return {};
    return plan_shifted_sweeps(ss_, table_.id.dims, wi, li, chunks_);
}

std::size_t Assembly::apply(std::size_t wi, std::size_t li, const ShiftedSweep& sweep,
                            const std::vector<double>& beyond) {
    std::lock_guard lock(apply_mutex_);
    return apply_shifted_sweep(table_, ss_, config_, wi, li, sweep, beyond, gmbs_);
}

std::vector<std::pair<std::size_t, std::size_t>> Assembly::unfitted_pairs() const {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    if (terminal_.empty()) return out;
    const auto& dims = table_.id.dims;
    for (std::size_t wi = 0; wi < dims[0]; ++wi) {
        for (std::size_t li = 0; li < dims[2]; ++li) {
            bool any = false;
            for (std::size_t v = 0; v < dims[1]; ++v)
                any = any || ss_.unfitted[(wi * dims[1] + v) * dims[2] + li] == kUnfitted;
            if (any) out.emplace_back(wi, li);
        }
    }
    return out;
}

void Assembly::set_terminal(std::size_t wi, std::size_t li, std::optional<std::vector<double>> slopes) {
    const std::size_t pair = wi * table_.id.dims[2] + li;
    if (pair < terminal_.size()) terminal_[pair] = std::move(slopes);
}

TransistorLut Assembly::finish(Messages& messages) {
    // The blocks whose slopes the terminal's central differences give.
    std::size_t covered = 0;
    const auto& dims = table_.id.dims;
    for (std::size_t pair = 0; pair < terminal_.size(); ++pair) {
        if (!terminal_[pair]) continue;
        const std::size_t wi = pair / dims[2], li = pair % dims[2];
        for (std::size_t v = 0; v < dims[1]; ++v)
            covered += ss_.unfitted[(wi * dims[1] + v) * dims[2] + li] == kUnfitted ? 1 : 0;
    }
    fill_gm_gds(table_, ss_, config_, covered, messages);
    if (!wrapper_.empty()) add_wrapper_slopes(table_, ss_, wrapper_, gmbs_);
    if (covered) {
        set_terminal_slopes(table_, ss_, terminal_, gmbs_);
        messages.out(
            fmt::cat("  ", covered, " of ", ss_.exact.size(),
                     " (W, Vbs, L) blocks: the subcircuit's elements follow no series resistance; gm, "
                     "gds and gmbs are central differences of Id, solved tightly\n"));
    }
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (extract_[k]) table_.extracted_op_params.emplace_back(KNOWN_OP_PARAMS[k]);
    }
    return std::move(table_);
}

}  // namespace morva::lut::generate_ngspice
