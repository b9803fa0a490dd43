// Reading characterisation rows out of simulation responses: the drain
// current and the operating-point quantities of one Vgs chunk at one Vbs
// value, of every Vbs value of a chunk, or of every chunk and Vbs value of a
// (W, L) pair; and the unit of work a generation task hands back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "lut/netlists.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::lut::generate_ngspice {

// One Vgs chunk at one Vbs value. Rows are stored flat: n_rows rows of n_vds
// values, Vds fastest.
struct VbsData {
    std::vector<double> id;
    // KNOWN_OP_PARAMS order; empty for a parameter outside the mask.
    std::array<std::vector<double>, kOpParamCount> ops;
    // One row set per small-signal vector asked for, in that order; empty
    // unless every one came back whole.
    std::vector<std::vector<double>> small_signal;
};

// Saturating sums of the worker's phase times.
struct TimingSums {
    ngspice::WireTiming worker;
    std::uint64_t build_ns = 0;
    std::uint64_t request_ns = 0;

    void add_worker(const ngspice::WireTiming& t);
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

// One Vgs chunk of one (W, L) task.
struct ChunkResult {
    std::vector<VbsData> vbs_data;  // one per Vbs value of the task
    std::size_t vbs_offset = 0;     // index of vbs_data[0] among all Vbs values
    std::size_t w_index = 0;
    std::size_t l_index = 0;
    std::size_t chunk_index = 0;
    TimingSums timing;
};

// The rows of one plot of a response, read from "{prefix}vds#branch" (Id is
// its negation) and "{prefix}@{device}[{param}]", each falling back to the
// bare name. Only a missing or wrongly sized drain branch is an error; a
// missing or wrongly sized operating-point vector gives NaN rows. The rows
// of the `small_signal` vectors (full names) are read too, when all of them
// came back whole.
Result<VbsData, NgspiceError> extract_chunk_for_prefix(const ngspice::SimulationResponse& response,
                                                       std::string_view prefix, std::size_t n_rows,
                                                       std::size_t n_vds, std::string_view device_path,
                                                       const ParamMask& mask,
                                                       const std::vector<std::string>& small_signal = {});

// Plots dc1..dc{n_vbs} (unprefixed for one Vbs value); nothing when any
// plot cannot be read.
std::optional<std::vector<VbsData>> extract_all_vbs(const ngspice::SimulationResponse& response,
                                                    std::size_t n_vbs, std::size_t n_rows, std::size_t n_vds,
                                                    std::string_view device_path, const ParamMask& mask,
                                                    const std::vector<std::string>& small_signal = {});

// Chunk-major plots: chunk c at Vbs index v in plot c * n_vbs + v + 1
// (unprefixed when there is only one).
std::optional<std::vector<std::vector<VbsData>>> extract_all_chunks_vbs(
    const ngspice::SimulationResponse& response, std::size_t n_chunks, std::size_t n_vbs,
    const std::vector<std::size_t>& chunk_rows, std::size_t n_vds, std::string_view device_path,
    const ParamMask& mask, const std::vector<std::string>& small_signal = {});

// Per plot of a response to shifted sweeps (unprefixed when there is only
// one), what the drain carries beyond the channel at each point of the
// sweep's rectangle (Vds fastest, lead-in points dropped), summed as each
// `rest` part says (Id = -vds#branch; a part with reverse terms takes them
// where its node voltages say the channel runs in reverse), one part after
// the other. Nothing
// when a plot lacks a vector or holds other than the points swept.
std::optional<std::vector<std::vector<double>>> extract_beyond(const ngspice::SimulationResponse& response,
                                                               const std::vector<ShiftedSweep>& sweeps,
                                                               const std::vector<BeyondTerms>& rest);

// What a subcircuit wrapper alone carries at the drain terminal (Id =
// -vds#branch) from the plots of build_wrapper_commands (`along`): per Vbs
// value its current at each of the grid's `n_points` points (Vds fastest;
// the mean of the first axis's two shifts), then its slopes along Vgs, Vds
// and Vbs, the central differences over the shifts (0 along an axis not
// swept). Nothing when a plot lacks the drain branch or holds other than
// the grid's points.
std::optional<std::vector<double>> extract_wrapper_slopes(const ngspice::SimulationResponse& response,
                                                          std::size_t n_vbs, const WrapperAxes& along,
                                                          std::size_t n_points);

// Whether a failed response looks like an `alter` (or a sweep source
// lookup) the simulator refused.
bool is_alter_failure(const ngspice::SimulationResponse& response);

// n_rows rows of NaN for every flag of the mask, empty lists elsewhere.
std::array<std::vector<double>, kOpParamCount> nan_placeholders(const ParamMask& mask, std::size_t n_rows,
                                                                std::size_t n_vds);

}  // namespace morva::lut::generate_ngspice
