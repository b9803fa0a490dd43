// The texts characterisation sends to the simulator workers: the model
// section, the characterisation and probe netlists, the command lists that
// fold Vbs values and Vgs chunks into one run, the vectors asked back, the
// chunk split, the directory pre-command, and the scan of a listing for the
// flattened device name. All pure functions of the configuration.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lut/config.h"
#include "lut/table.h"
#include "ngspice/protocol.h"
#include "spice/spice_numbers.h"

namespace morva::lut::generate_ngspice {

// Twelve flags indexed by KNOWN_OP_PARAMS.
using ParamMask = std::array<bool, kOpParamCount>;

// The channel's own small-signal values the simulator reports per point
// (`@m1[gm]`, ...), saved beside the drain branch so that the table's gm and
// gds need no differences over the grid steps: the transconductance, the
// output conductance and the channel current.
inline constexpr std::array<std::string_view, 3> SMALL_SIGNAL_PARAMS = {"gm", "gds", "id"};

// What a device whose drain and source reach the channel through series
// resistances adds to them: the body transconductance and the junctions'
// conductances (the channel's slopes at the internal nodes and the
// junctions' meet the resistances there), the junctions' currents (with the
// channel current and the currents below, what each resistance carries, by
// the balance at its internal node: the terminals' currents also carry what
// a subcircuit wrapper puts between them), the internal nodes' voltages
// ("{device}#drain", "{device}#source": a device without series resistances
// has neither), and the currents its drain and source carry beyond the
// channel and the junctions.
inline constexpr std::array<std::string_view, 5> SERIES_PARAMS = {"gmbs", "gbd", "gbs", "ibd", "ibs"};
inline constexpr std::array<std::string_view, 2> INTERNAL_NODES = {"drain", "source"};

// Where a current beyond channel and junction enters: the internal drain
// node, the internal source node, or whichever of the two the channel takes
// as its drain or its source (they change places where the internal drain
// lies below the internal source): the substrate current of impact
// ionisation arises where the channel ends, and the simulator shares the
// gate's current into the channel between the channel's ends.
enum class RestNode : std::uint8_t { Drain, Source, ChannelDrain, ChannelSource };

// A current the device reports at one internal node beyond its channel and
// junction, with its sign there (at the drain node positive into the node
// from the terminal side, at the source node positive into the node from
// the gate or the body, in the n-channel frame; a ChannelDrain current as
// at the drain node, a ChannelSource current as at the source node).
struct RestCurrent {
    std::string_view name;
    RestNode node;
    double sign;
};
inline constexpr std::array<RestCurrent, 7> REST_CURRENTS = {{{"isub", RestNode::ChannelDrain, 1.0},
                                                              {"igidl", RestNode::Drain, 1.0},
                                                              {"igd", RestNode::Drain, -1.0},
                                                              {"igcd", RestNode::ChannelDrain, -1.0},
                                                              {"igs", RestNode::Source, 1.0},
                                                              {"igcs", RestNode::ChannelSource, 1.0},
                                                              {"igisl", RestNode::Source, -1.0}}};

// "{device}#{node}": the voltage of one of a device's internal nodes.
std::string internal_node_vector(std::string_view device_path, std::string_view node);

// What the drain carries beyond what the channel's reported values account
// for, as the table's rows and the shifted sweeps read it: the drain current
// (-vds#branch, when `drain_current`) plus each vector times its
// coefficient, in the table's frame. The simulator reports the channel
// current and its slopes for the way the channel runs (from the lower of
// drain and source to the higher, in the n-channel frame); a part that holds
// them has other terms where the channel runs from the source side to the
// drain side: `reverse`, chosen point by point by its two node voltages.
struct BeyondTerms {
    using Terms = std::vector<std::pair<std::string, double>>;
    struct Reverse {
        Terms vectors;
        // The voltages that say which way the channel runs: it runs in
        // reverse where polarity * (drain - source) < 0.
        std::string drain, source;
        double polarity = 1.0;

        bool operator==(const Reverse&) const = default;
        bool at(double drain_voltage, double source_voltage) const {
            return polarity * (drain_voltage - source_voltage) < 0.0;
        }
    };

    bool drain_current = true;
    Terms vectors;
    std::optional<Reverse> reverse;

    bool operator==(const BeyondTerms&) const = default;
    // The terms at a point where the channel runs in reverse or not.
    const Terms& terms(bool reversed) const { return reversed && reverse ? reverse->vectors : vectors; }
};

// Id less the channel current `polarity` * @{device}[id]: a device without
// series resistances. With `both_modes` (a Vds axis reaching reverse mode)
// the channel current turns its sign where the terminal drain lies below
// the source.
BeyondTerms channel_beyond(std::string_view device_path, double polarity, bool both_modes = false);

// The vectors of every rest part (those of its reverse terms and their node
// voltages too), each once, in order.
std::vector<std::string> rest_vectors(const std::vector<BeyondTerms>& rest);

// The vectors a characterisation sweep saves beside the drain branch for gm,
// gds and gmbs, and what each of them serves (indices into `vectors`).
struct SmallSignalPlan {
    std::vector<std::string> vectors;
    std::size_t gm = 0, gds = 0;
    // gmbs: with series resistances, and without them where reverse columns
    // take the channel's values for the swapped terminals.
    std::optional<std::size_t> gmbs;
    // With series resistances: gbd, gbs, the channel current and the
    // junctions' currents, and the internal nodes the device has.
    bool series = false;
    std::size_t gbd = 0, gbs = 0, channel = 0, ibd = 0, ibs = 0;
    std::optional<std::size_t> drain_node, source_node;
    // What the drain carries beyond the channel's values, in parts: without
    // series resistances Id less the channel current (channel_beyond); with
    // them the currents beyond channel and junction, one part per node they
    // enter (`rest_nodes`, in RestNode order: the drain node's, even when
    // empty, then those of the others that the device has; table's frame).
    std::vector<BeyondTerms> rest;
    std::vector<RestNode> rest_nodes;
    // A subcircuit wrapper carries current at the drain terminal beside the
    // device: its slopes are swept apart (build_wrapper_commands), along Vgs
    // only where that current moves with the gate.
    bool wrapper = false;
    bool wrapper_gate = false;
    // The series set serves a subcircuit's elements (nodes of its own between
    // the device and the terminals, or current beside it): where no
    // resistance follows their drops, the terminal current's own tight
    // central differences serve instead (build_terminal_commands).
    bool wrapped = false;

    bool empty() const { return vectors.empty(); }
    // Whether series resistances lie between the terminals and the channel,
    // to be fitted: the device has a node of its own at either end (a
    // subcircuit's elements beside it alone put none there).
    bool resistances() const { return series && (drain_node || source_node); }
    // The index of `name` in `vectors`.
    std::optional<std::size_t> index_of(std::string_view name) const;
};

// An inclusive (first, last) pair of positions on the Vgs axis.
using Chunk = std::pair<std::size_t, std::size_t>;

// How far the sweeps that take the slopes of what the drain carries beyond
// the channel are shifted: a one-sided difference over it is within 1e-4 of
// those slopes where they curve most (as fast as Id in weak inversion), and
// far above the rounding of the currents.
inline constexpr double kSlopeShift = 2.5e-5;

// ngspice settles the second point of a DC sweep, and now and then the
// second point of a row, only to its tolerance (about 1e-3 of the current,
// far more than a slope over kSlopeShift can bear) when the sweep starts
// where the device conducts: each row of a shifted sweep starts this many
// Vds steps early, and those points are dropped.
inline constexpr std::size_t kSlopeLeadIn = 2;

// The axis a shifted sweep moves its points along.
enum class SlopeAxis : std::uint8_t { Vds, Vgs, Vbs };

// A rectangle of grid points at one Vbs value (Vgs positions `rows`, Vds
// positions `cols`, both inclusive), swept with every point shifted by
// `slope_shift` along `axis`.
struct ShiftedSweep {
    SlopeAxis axis = SlopeAxis::Vds;
    std::size_t vbs_index = 0;
    Chunk rows;
    Chunk cols;

    std::size_t points() const { return (rows.second - rows.first + 1) * (cols.second - cols.first + 1); }
    // What ngspice sweeps: each row with its lead-in.
    std::size_t swept_points() const {
        return (rows.second - rows.first + 1) * (cols.second - cols.first + 1 + kSlopeLeadIn);
    }
    bool operator==(const ShiftedSweep&) const = default;
};

// The signed shift along an axis: with the sweep's own direction along Vgs
// and Vds (a p-channel device's negative axes stay in forward mode at
// Vds = 0), towards reverse body bias along Vbs.
double slope_shift(const LutConfig& config, SlopeAxis axis);

// `path` made absolute against the current directory (no normalisation),
// as UTF-8 text.
std::string resolve_path(const std::string& path);

// Why the configuration cannot be written into a netlist safely: a name,
// parameter, section or path holding a line break or another control
// character (it would start a netlist line of its own), or a name or section
// holding a blank (it would read as two words). Nothing when it can.
std::optional<std::string> netlist_text_problem(const LutConfig& config);

// Why ngspice could not read the model paths of the configuration: a ".lib"
// path with blanks outside the model file's directory (ngspice splits a .lib
// line at blanks whatever the quotes), or an ".include" path with both blanks
// and double quotes. Nothing when it can.
std::optional<std::string> netlist_path_problem(const LutConfig& config);

// A number for a netlist line, or for what `reader` names (a command, a
// subcircuit call's parameter): the exponent form with `digits` digits after
// the point when ngspice's reader there reads it back as `value`, else the
// fewest digits that do ("1e-6", where ngspice's netlist reader makes
// 1.0000000000000002e-6 of "1.000e-6"; "2.449489742783178e-7"); see
// spice_numbers::number_text.
std::string exact_number(
    double value, int digits,
    spice::spice_numbers::NumberReader reader = spice::spice_numbers::NumberReader::Netlist);

// The number of points start + i * step of a sweep that lie before `stop`
// or beyond it by no more than ngspice's tolerance (1000 machine epsilons):
// morva::sweep_point_count's rounded count, less its last point when that
// lies beyond, as in ngspice's DC sweep, which truncates a step that does not
// divide the range. At least 1 (a sweep pointing away from its stop is the
// single start point).
std::size_t sweep_point_count(double start, double stop, double step);
inline std::size_t sweep_point_count(const SweepRange& r) {
    return sweep_point_count(r.start, r.stop, r.step);
}

// The first `sweep_point_count` points start + i * step of a range: the axis
// the table holds.
std::vector<double> sweep_axis(const SweepRange& range);

// "{start} {stop} {step}" of one DC sweep with six digits after the point.
// The stop is written so that ngspice, which sweeps by repeated addition,
// visits exactly the points of `sweep_axis`: the axis's last point when that
// suffices, else half a step beyond the value ngspice reaches there.
std::string sweep_text(double start, double stop, double step);

std::string build_model_card(const LutConfig& config);

// `vgs` is the whole configured sweep or one chunk of it. The
// `small_signal` vectors (full names) are saved as well, each once.
std::string build_netlist(const LutConfig& config, const SweepRange& vgs, const ParamMask& mask,
                          std::string_view device_path, double w, double l, double vbs,
                          const std::vector<std::string>& small_signal = {});

std::string build_probe_netlist(const LutConfig& config, std::string_view param,
                                std::string_view device_path);

// The netlist of a pair's shifted sweeps: the characterisation netlist at
// the first Vbs value saving only the drain branch and the vectors of the
// `rest` parts.
std::string build_slope_netlist(const LutConfig& config, const std::vector<BeyondTerms>& rest, double w,
                                double l);

// For each sweep, the alter of the Vbs source (shifted for a Vbs sweep) and
// the dc of its rectangle (shifted along Vgs or Vds), each row from
// kSlopeLeadIn Vds steps before it; sweep k lands in plot k + 1.
std::vector<std::string> build_slope_commands(const LutConfig& config,
                                              const std::vector<ShiftedSweep>& sweeps);

// Per plot the drain branch and the vectors of the `rest` parts, prefixed
// "dc{}." when there are two plots or more, then the bare drain branch.
std::vector<std::string> build_slope_return_vectors(std::size_t n_plots,
                                                    const std::vector<BeyondTerms>& rest);

// Every vector the small-signal probe asks for: SMALL_SIGNAL_PARAMS,
// SERIES_PARAMS, the INTERNAL_NODES and the REST_CURRENTS.
std::vector<std::string> small_signal_probe_vectors(std::string_view device_path);

// The probe netlist saving every small_signal_probe_vectors vector at once,
// over three Vgs points from the sweep's start at five Vds points from the
// middle of the Vds sweep to its end (where the currents beyond the channel
// are largest), or, without `to_vds_stop`, at the middle alone.
std::string build_small_signal_probe_netlist(const LutConfig& config, std::string_view device_path,
                                             bool to_vds_stop = true);

// What a subcircuit wrapper alone carries at the drain terminal beside the
// device (a junction diode or a resistor to the body, say) is had with the
// device's multiplier brought down so far that it carries nothing to speak
// of (ngspice refuses 0 when it first checks the device).
inline constexpr double kDeviceOff = 1e-20;

// The alter that brings `device_path`'s multiplier down to kDeviceOff.
std::string device_off_command(std::string_view device_path);

// The small-signal probe's sweep saving the drain branch alone: with the
// device off, what the wrapper carries there.
std::string build_wrapper_probe_netlist(const LutConfig& config);

// The commands that make a circuit loaded without `.save` lines (built with
// an empty mask and no small-signal vectors) save what build_netlist's lines
// would: the saves asked before deleted, then the drain branch and the same
// vectors in the same order; nothing more than the deletion where the
// netlist would save nothing in particular (then ngspice saves everything).
std::vector<std::string> build_save_commands(const ParamMask& mask, std::string_view device_path,
                                             const std::vector<std::string>& small_signal = {});

// The sweep of build_probe_netlist as a command: three Vgs points from the
// sweep's start at mid Vds.
std::string op_probe_sweep_command(const LutConfig& config);

// The small-signal probe's netlist (build_small_signal_probe_netlist) titled
// after the device as a whole.
std::string build_device_probe_netlist(const LutConfig& config, std::string_view device_path);
// The interactive command of that netlist's own sweep (the same points).
std::string probe_sweep_command(const LutConfig& config);

// The axes a wrapper's sweeps shift along: Vgs, Vds, Vbs.
using WrapperAxes = std::array<bool, 3>;

// How far the sweeps of what a wrapper alone carries are shifted, both ways,
// and how tightly ngspice solves them: a central difference of currents
// settled to ngspice's default tolerance (about 1e-3 of the current, 1e-12 A)
// over twice kSlopeShift is noise where the slope is small beside the current
// (a resistor from drain to source, the device in weak inversion); solved to
// 1e-10 of the current and 1e-14 A, over 0.4 mV, it is within 1e-5 of the
// slope of an exponential current and 1e-10 S of any.
inline constexpr double kWrapperShift = 2e-4;
inline constexpr std::string_view kTightOptions = "option reltol=1e-10 abstol=1e-14";

// The commands of a pair's sweeps of what the wrapper alone carries: the
// device off, tight options (kTightOptions), then for each Vbs value the
// whole grid shifted by +kWrapperShift and by -kWrapperShift along each of
// `along` (Vgs, Vds, Vbs): two plots per axis swept (up, then down), Vbs
// value by Vbs value.
std::vector<std::string> build_wrapper_commands(const LutConfig& config, std::string_view device_path,
                                                const WrapperAxes& along);
// The same with the device as it is (tight options, then the shifted grids):
// the terminal current's own central differences.
std::vector<std::string> build_terminal_commands(const LutConfig& config, const WrapperAxes& along);

// An alter/dc pair for every Vbs value, sweeping the configuration's whole
// grid: plot k + 1 at Vbs value k, whatever the netlist's own sweep (it is
// not run), so that the circuit of any netlist of the device serves.
std::vector<std::string> build_vbs_sweep_commands(const LutConfig& config);

// "run", then an alter/dc pair for every further Vbs value.
std::vector<std::string> build_multi_vbs_commands(const LutConfig& config, const SweepRange& vgs);

// "run", then alter/dc pairs covering every chunk at every Vbs value; chunk
// k at Vbs index v lands in plot k * n_vbs + v + 1.
std::vector<std::string> build_all_chunks_commands(const LutConfig& config, const std::vector<Chunk>& chunks);

// The commands of part of a (W, L) pair: for each of `chunks`, for each of
// `vbs_values`, an alter/dc pair (chunk-major, plots numbered from 1), except
// that with `starts_with_run` the first plot is the netlist's own sweep
// ("run"), which must carry that chunk and Vbs value. Each plot is then
// produced by the very commands the whole pair's request produces it with,
// so that ngspice reads the same Vbs text and computes the same values.
std::vector<std::string> build_part_commands(const LutConfig& config, const std::vector<Chunk>& chunks,
                                             const std::vector<double>& vbs_values, bool starts_with_run);

// Per plot: the drain branch, the `small_signal` vectors, then the masked
// operating-point vectors (each name once).
std::vector<std::string> build_return_vectors(std::size_t n_plots, std::string_view device_path,
                                              const ParamMask& mask,
                                              const std::vector<std::string>& small_signal = {});
// One plot's vectors, as above, without a plot prefix.
std::vector<std::string> plot_vectors(std::string_view device_path, const ParamMask& mask,
                                      const std::vector<std::string>& small_signal = {});
std::vector<std::string> build_return_vectors_all(std::size_t n_chunks, std::size_t n_vbs,
                                                  std::string_view device_path, const ParamMask& mask,
                                                  const std::vector<std::string>& small_signal = {});

// "@{device}[{param}]".
std::string op_vector_name(std::string_view device_path, std::string_view param);

// The Vgs range of positions first..last of the configured sweep.
SweepRange chunk_range(const LutConfig& config, const Chunk& chunk);

// Splits n points into chunks of ceil(n / k) points (the last may be
// shorter); empty for n = 0 or k = 0.
std::vector<Chunk> chunk_indices(std::size_t n, std::size_t k);

// The flattened MOSFET name of the first card line of a "listing e" log
// whose first token looks like one ("m1", "M.X1.MN0"), as written.
std::optional<std::string> extract_mosfet_name(const std::vector<std::string>& log);

// The device's own drain and source nodes where its subcircuit puts elements
// between them and the subcircuit's terminals ("x1.dint"), as a "listing e"
// of a netlist that instantiates it names them: empty for a terminal the
// device takes as it is, and where the listing has no line of the device.
// `beside`: the listing holds elements of the subcircuit beside the device
// that may carry current in DC (any but capacitors).
struct WrapperNodes {
    std::string drain, source;
    bool beside = false;
    bool any() const { return !drain.empty() || !source.empty(); }
    bool operator==(const WrapperNodes&) const = default;
};
WrapperNodes wrapper_nodes(const std::vector<std::string>& log, std::string_view device_path);

// The first vector whose name equals `name` ignoring ASCII case.
const ngspice::VectorData* find_vector(const std::vector<ngspice::VectorData>& vectors,
                                       std::string_view name);

// ["chdir:{dir}"] with the model file's directory, so that relative paths
// inside it resolve; empty without a model file.
std::vector<std::string> model_dir_pre_commands(const LutConfig& config);

}  // namespace morva::lut::generate_ngspice
