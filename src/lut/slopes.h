// gm, gds and gmbs of the pool path. The simulator reports the channel's own
// slopes at every point; the drain also carries currents beyond the channel
// (junctions, gmin, impact ionisation, GIDL, gate tunnelling), whose slopes
// complete them. Where that rest of the drain current is straight over the
// grid, its differences over the grid steps are exact enough; where it
// curves (the substrate current of a high-voltage device grows steeply with
// Vds) sweeps shifted by kSlopeShift measure its slopes at the very points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "lut/config.h"
#include "lut/grid.h"
#include "lut/netlists.h"
#include "lut/table.h"

namespace morva::lut::generate_ngspice {

// Per point: which slopes of the rest of the drain current need a shifted
// sweep (kWant*), and which came in (kHave*, with the table's value set).
enum SlopeMark : std::uint8_t {
    kWantVds = 1,
    kWantVgs = 2,
    kWantVbs = 4,
    kHaveVds = 8,
    kHaveVgs = 16,
    kHaveVbs = 32,
};

// One part of what the drain terminal carries beyond the channel's values:
// its value at every point of the table, and the share of its slope that
// the table's slopes carry there (empty where all of it does).
struct RestPart {
    Grid5 values;
    std::vector<double> transfer;

    double transfer_at(std::size_t at) const { return transfer.empty() ? 1.0 : transfer[at]; }
};

// What the channel's values leave to complete, beside the table whose gm,
// gds (and gmbs) grids hold the channel's own values (through the series
// resistances, where the device has them) until
// `fill_small_signal_conductances`.
struct SmallSignal {
    // Without series resistances one part: Id less the channel current.
    // With them, the currents beyond channel and junction, one part per node
    // they enter (the plan's `rest_nodes`): the resistances share each out
    // between the terminals (near Vds = 0 the channel carries much of the
    // source's to the drain).
    std::vector<RestPart> rest;
    // One flag per [w][vbs][l] block, cleared when any of its rows came back
    // without the channel's values, or when the series resistances of its
    // (W, L) pair could not be had (then `unfitted` is set as well, to say
    // why).
    std::vector<char> exact;
    std::vector<char> unfitted;
    // +1 for nmos, -1 for pmos: the simulator reports the channel current
    // and its slopes in the n-channel frame.
    double polarity = 1.0;
    // Per Vds column: whether the table's gm and gds there are the
    // channel's values completed by the rest: in forward mode; in reverse
    // mode where the device reports gmbs too (its values are the swapped
    // terminals', turned to the table's Id); and in either mode through
    // series resistances, whose solve takes the channel either way round.
    // Elsewhere they are differences of Id.
    std::vector<char> served;
    // SlopeMark bits per point of the table (empty until marked).
    std::vector<std::uint8_t> marks;

    // Whether the table came with the channel's values at all (the blocks are
    // set up only then).
    bool reported() const { return !exact.empty(); }
};

// Below this drain current (A) no shifted sweep is asked for: the slopes
// keep differences over the grid steps there.
inline constexpr double kShiftedSweepFloor = 1e-9;

// Marks the points of every exact block of pair (wi, li) (all its Vbs
// values), in served columns and with |Id| above the floor, where
// differences over the grid steps could miss the slope of the rest of the
// drain current by more than 1e-4 of the whole slope: its second differences
// (its size over a thermal voltage on an axis of fewer than three points)
// against that slope. Along Vbs, whose grid may be one value, wherever the
// rest of the drain current moves along Vgs or Vds by more than 1e-4 of gmbs,
// or is shifted there anyway. `gmbs` is the index of the gmbs grid when the
// table holds it. `ss.marks` must hold one entry per point of the table
// (pairs are marked side by side, each in its own blocks).
void mark_shifted_slopes(const TransistorLut& table, SmallSignal& ss, std::size_t wi, std::size_t li,
                         double vgs_step, double vds_step, std::optional<std::size_t> gmbs);

// The sweeps covering the marked points of one (W, L) pair: per Vbs value,
// chunk and axis, rectangles around bands of rows, a row joining the band
// above when that sweeps fewer points than a sweep of its own.
std::vector<ShiftedSweep> plan_shifted_sweeps(const SmallSignal& ss, const std::array<std::size_t, 5>& dims,
                                              std::size_t wi, std::size_t li,
                                              const std::vector<Chunk>& chunks);

// Sets the slopes of the sweep's marked points from what the drain carries
// beyond the channel there (`beyond`: each rest part's values, Vds fastest,
// one part after the other) and marks them had; returns how many were set.
std::size_t apply_shifted_sweep(TransistorLut& table, SmallSignal& ss, const LutConfig& config,
                                std::size_t wi, std::size_t li, const ShiftedSweep& sweep,
                                const std::vector<double>& beyond, std::optional<std::size_t> gmbs);

// gm and gds of every block: the channel's own values plus the slopes of the
// rest of the drain current, differences over the grid steps where no
// shifted sweep gave them; differences of Id in the columns not served and
// in blocks without the channel's values, except along an axis of one
// point, which keeps the value the table holds there (NaN in columns not
// served). (gmbs keeps the channel's value where no
// shifted sweep gave the rest's slope: the marks leave out only points where
// that rest barely moves.)
void fill_small_signal_conductances(TransistorLut& table, const SmallSignal& ss, double vgs_step,
                                    double vds_step);

}  // namespace morva::lut::generate_ngspice
