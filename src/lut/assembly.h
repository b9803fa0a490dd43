// The table of a characterisation through the pool, assembled pair by pair:
// each (W, L) pair's task places its own rows (disjoint blocks of the grids),
// fits its series resistances, marks where its slopes need shifted sweeps and
// applies them, side by side with the other pairs; gm and gds are completed
// once every pair is in.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "lut/config.h"
#include "lut/extract.h"
#include "lut/netlists.h"
#include "lut/series.h"
#include "lut/simulator.h"
#include "lut/slopes.h"
#include "lut/table.h"
#include "ngspice/error.h"

namespace morva::lut::generate_ngspice {

// What the table gives for gm and gds in place of the channel's slopes:
// differences of Id over the grid steps, and along an axis of one point
// (which has no step) `instead`.
std::string differences_phrase(std::size_t n_vgs, std::size_t n_vds, std::string_view instead);

// Below kMinFitPoints points in the columns a fit takes (an axis of one
// point is common), a block's rows do not pin the series resistances' bias
// dependence: each pair sweeps a grid of its own for the fit over the table's
// bias range, kFitAxisPoints along each axis of more than one point (a fit
// over the table's own range meets its points better than one over a wider
// range).
inline constexpr std::size_t kMinFitPoints = 64;
inline constexpr std::size_t kFitAxisPoints = 17;
bool needs_fit_grid(const LutConfig& config);
// The configuration of the fit sweeps: the table's, with the fit's Vgs and
// Vds axes.
LutConfig fit_grid_config(const LutConfig& config);

class Assembly {
public:
    // The table with its axes and empty grids for `plan` (the probe's
    // small-signal plan) and the extracted parameters.
    Assembly(const LutConfig& config, const std::array<std::size_t, 5>& dims, std::vector<Chunk> chunks,
             const SmallSignalPlan& plan, const ParamMask& extract);

    // Places pair (wi, li)'s rows, through its series resistances where the
    // device has them (fitted to the rows and to `fit_rows`, the pair's own
    // fit sweep at each Vbs value, nothing where it has none), with what its
    // subcircuit wrapper carries at the drain (`wrapper`, extract_wrapper_
    // slopes; nothing where it could not be swept), and marks the points
    // whose slopes want shifted sweeps. Pairs may be placed concurrently.
    Result<void, NgspiceError> place_pair(std::size_t wi, std::size_t li,
                                          const std::vector<ChunkResult>& rows,
                                          const std::optional<std::vector<VbsData>>& fit_rows,
                                          std::optional<std::vector<double>> wrapper);
    // The shifted sweeps pair (wi, li) wants, once placed.
    std::vector<ShiftedSweep> sweeps(std::size_t wi, std::size_t li) const;
    // Sets the slopes a sweep of pair (wi, li) gave; how many. Sweeps along
    // different axes mark the same points: one at a time.
    std::size_t apply(std::size_t wi, std::size_t li, const ShiftedSweep& sweep,
                      const std::vector<double>& beyond);

    // The pairs of a device whose subcircuit's elements lie between it and
    // the terminals (SmallSignalPlan::wrapped) with blocks whose series
    // resistances could not be had, once placed.
    std::vector<std::pair<std::size_t, std::size_t>> unfitted_pairs() const;
    // The terminal current's own central differences of pair (wi, li)
    // (extract_wrapper_slopes of build_terminal_commands' sweeps; nothing
    // where they failed): the slopes of those blocks. Pairs may be set
    // concurrently.
    void set_terminal(std::size_t wi, std::size_t li, std::optional<std::vector<double>> slopes);

    // gm and gds of every pair, the wrapper's slopes, the extracted names:
    // the table, once every pair is placed. Says what fell back on stderr.
    TransistorLut finish(Messages& messages);

    const TransistorLut& table() const { return table_; }
    const SmallSignal& small_signal() const { return ss_; }
    const std::vector<Chunk>& chunks() const { return chunks_; }
    // The fit sweeps' axes (their vgs and vds), when the table needs them.
    const TransistorLut& fit_axes() const { return fit_axes_; }

private:
    struct Series;

    const LutConfig& config_;
    std::vector<Chunk> chunks_;
    const SmallSignalPlan& plan_;
    ParamMask extract_;
    std::optional<std::size_t> gmbs_;  // the gmbs grid, when extracted
    double polarity_ = 1.0;
    TransistorLut table_;
    TransistorLut fit_axes_;
    SmallSignal ss_;
    // Per pair (wi * n_l + li): what the wrapper carries, when it was swept.
    std::vector<std::optional<std::vector<double>>> wrapper_;
    // Per pair: the terminal's central differences, where swept.
    std::vector<std::optional<std::vector<double>>> terminal_;
    std::shared_ptr<Series> series_;
    std::mutex apply_mutex_;  // guards the marks and slopes that `apply` sets
};

}  // namespace morva::lut::generate_ngspice
