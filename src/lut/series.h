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

// At most this many samples of a resistance take part in its fit (every
// k-th when there are more): a few hundred already pin its five numbers.
inline constexpr std::size_t kMaxFitSamples = 1024;
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

// One operating point in forward mode at the terminals.
struct SeriesPoint {
    double vg = 0.0, vd = 0.0, vb = 0.0;  // terminal voltages
    // Internal node voltages (the terminal's where the device has no node).
    double node_d = 0.0, node_s = 0.0;
    // The channel's, at the internal nodes, as the simulator reports them:
    // for the orientation the internal nodes give (with the internal drain
    // below the internal source, for the swapped terminals).
    double gm = 0.0, gds = 0.0, gmbs = 0.0;
    double gbd = 0.0, gbs = 0.0;  // the junctions' conductances
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
};

// Nothing when the point gives no finite answer (a resistance that is not
// positive there).
std::optional<TerminalSlopes> terminal_slopes(const SeriesPoint& point, const SeriesResistances& r);

}  // namespace morva::lut::generate_ngspice
