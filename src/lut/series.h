// gm, gds and gmbs of a device whose drain and source reach the channel
// through series resistances (BSIM4's rdsmod = 1, or the diffusion
// resistances rsh * nrd and rsh * nrs of an instance): the simulator reports
// the channel's slopes at its internal nodes, while the table's drain current
// is the terminal's. The terminal's slopes follow from the channel's, the
// drain junction's and the two resistances with their own bias dependence,
// which the simulator does not report: it is fitted per (W, L) pair to the
// drops the simulator solved, in the published form of that dependence.
//
// Everything here is in the n-channel frame (voltages and currents times the
// device's polarity), with the source terminal at 0 V.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace morva::lut::generate_ngspice {

// One series resistance: R = r0 + c/2 * (t + sqrt(t^2 + 0.01)) with
// t = 1 / (1 + p * e) - q * b and e = (x + sqrt(x^2 + 1e-4)) / 2, x = a - vf,
// where a and b are the gate's and the body's voltage over the internal node.
// With c = 0 it is a constant resistance.
struct SeriesResistance {
    double r0 = 0.0, c = 0.0, p = 0.0, q = 0.0, vf = 0.0;

    struct Value {
        double r, dr_da, dr_db;
    };
    Value at(double a, double b) const;
};

// One solved operating point seen from one resistance.
struct ResistanceSample {
    double a = 0.0;        // gate over the internal node
    double b = 0.0;        // body over the internal node
    double current = 0.0;  // through the resistance
    double drop = 0.0;     // across it, in the direction of the current
};

// The resistances of one (W, L) pair: none where the device has no internal
// node.
struct SeriesResistances {
    std::optional<SeriesResistance> drain, source;
};

// About this many samples of a resistance are enough for the fit of a
// (W, L) pair (a few hundred already pin its five numbers), and at least
// kMinBlockSamples of each Vbs value: the caller picks them over the rows
// and columns of the grid (see sample_grid), since the fit takes every
// sample it is given.
inline constexpr std::size_t kMaxFitSamples = 1024;
inline constexpr std::size_t kMinBlockSamples = 128;
// Below this many samples of both resistances only constant ones are fitted.
inline constexpr std::size_t kMinSamplesForBias = 24;
// A fit stands when its drops miss the solved ones by at most this much
// (root mean square): kFitAbsolute volts plus kFitRelative of the drops'.
inline constexpr double kFitAbsolute = 1e-6;
inline constexpr double kFitRelative = 1e-3;

// The resistances that give the samples' drops: the drain's and the source's
// share p, q and vf (the gate- and body-bias coefficients and the flat-band
// voltage of one card). Nothing when no resistance of that form gives them
// within the tolerance above, or when a resistance with a node has no
// sample.
std::optional<SeriesResistances> fit_series_resistances(const std::vector<ResistanceSample>& drain,
                                                        const std::vector<ResistanceSample>& source,
                                                        bool drain_node, bool source_node);

// The samples of one Vbs value of a (W, L) pair.
struct BlockSamples {
    std::vector<ResistanceSample> drain, source;
};

// The resistances of each Vbs value of a (W, L) pair: one fit of all their
// samples where it stands; else each Vbs value whose samples a fit of
// their own meets takes the joint fit of all such values when that stands,
// its own otherwise, and the others none. A Vbs value without samples takes
// the fit of all when that stands, none otherwise.
std::vector<std::optional<SeriesResistances>> fit_series_blocks(const std::vector<BlockSamples>& blocks,
                                                                bool drain_node, bool source_node);

// `count` positions spread evenly over 0 .. n - 1, both ends included (the
// last alone for a count of one): every position when count >= n.
std::vector<std::size_t> spread(std::size_t n, std::size_t count);

// How many rows and columns of a grid of `rows` x `cols` points to sample
// for about `budget` samples: each axis its share, an axis shorter than its
// share whole and the other the rest.
std::pair<std::size_t, std::size_t> sample_grid(std::size_t rows, std::size_t cols, std::size_t budget);

// One operating point at the terminals, in either mode.
struct SeriesPoint {
    double vg = 0.0, vd = 0.0, vb = 0.0;  // terminal voltages
    // Internal node voltages (the terminal's where the device has no node).
    double node_d = 0.0, node_s = 0.0;
    // The channel's, at the internal nodes, as the simulator reports them:
    // for the orientation the internal nodes give (with the internal drain
    // below the internal source, for the swapped terminals).
    double gm = 0.0, gds = 0.0, gmbs = 0.0;
    double gbd = 0.0, gbs = 0.0;  // the junctions' conductances

    // Whether the channel runs from the internal source node to the
    // internal drain node.
    bool reverse() const { return node_d < node_s; }
};

struct TerminalSlopes {
    // The drain terminal current's slopes along Vgs, Vds and Vbs, without
    // what the drain carries beyond its channel and junction.
    double gm = 0.0, gds = 0.0, gmbs = 0.0;
    // The share of the slope (along any axis, taken at the terminals) of
    // what the drain carries beyond channel and junction, and of what the
    // source carries beyond the channel, that the drain terminal's slope
    // carries: the resistances and the channel share either out between
    // the terminals.
    double transfer = 1.0;
    double transfer_source = 0.0;
    // Whether the channel runs from the internal source node to the internal
    // drain node (its drain below its source): what arises at the channel's
    // drain then leaves the source node.
    bool reverse = false;

    // The shares for what enters at the channel's drain (signed as at the
    // drain node) and at its source (signed as at the source node): the
    // internal drain and source node where the channel runs forward, the
    // other way round in reverse, with the sign turned.
    double transfer_channel_drain() const { return reverse ? -transfer_source : transfer; }
    double transfer_channel_source() const { return reverse ? -transfer : transfer_source; }
};

// Nothing when the point gives no finite answer (a resistance that is not
// positive there). Without either resistance, the channel's and the drain
// junction's slopes at the terminals.
std::optional<TerminalSlopes> terminal_slopes(const SeriesPoint& point, const SeriesResistances& r);

}  // namespace morva::lut::generate_ngspice
