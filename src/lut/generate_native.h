// Characterisation without the simulator: the model library is read here,
// one BSIM4 card is chosen per (W, L) pair, and every bias point is evaluated
// by the native evaluator at the kit's temperature, one work item per (W, L)
// pair on its own thread.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "lut/config.h"
#include "lut/model_files.h"
#include "lut/retry.h"
#include "lut/table.h"
#include "ngspice/error.h"

namespace morva::lut {

// Nothing: the native path cannot serve this configuration (no model file,
// unreadable file, no BSIM4 card, first card not buildable) and has said why
// on standard error, so the caller characterises through the pool instead.
// Otherwise the table, or the error that ends the generation: a work item
// that failed, a card the configuration cannot use, or a kit whose includes
// or redirects come back to themselves (refused input).
using NativeOutcome = std::optional<Result<TransistorLut, NgspiceError>>;

// Runs the native characterisation of `config`, at most `max_threads` work
// items at a time (the result does not depend on it). Blocks until done, or
// until `stop` (asked every 50 ms, when given) says so: the error is then
// NgspiceError::Simulation("generation interrupted").
NativeOutcome generate_lut_native(const LutConfig& config, generate_ngspice::Messages& messages,
                                  std::size_t max_threads = 512, const std::function<bool()>& stop = {});
// The same on the model file's `text` already read (see model_file_problem),
// with the texts of the configuration's `model_includes` (`includes`, in
// their order, nothing for one not read) when the caller read them too; else
// they are read here. They give the table its temperature, with the model
// file: the kit's (see model_parser::kit_temperatures) as the pool path's
// netlist reads them.
NativeOutcome generate_lut_native(
    const LutConfig& config, const KitTextReading& text, generate_ngspice::Messages& messages,
    std::size_t max_threads = 512, const std::function<bool()>& stop = {},
    const std::vector<std::optional<spice::model_parser::KitText>>* includes = nullptr);
// The same writing to the standard streams.
NativeOutcome generate_lut_native(const LutConfig& config);

// For the pool path: a message when the BSIM4 cards of the model file's
// `text` give the configuration's model (or the model inside the subcircuit
// of that name) are all of the other type than `device_type`; none otherwise.
std::optional<std::string> card_type_problem(const LutConfig& config,
                                             const spice::model_parser::KitText& text);

// The operating-point parameters the native evaluator computes: of those a
// configuration requests, its tables hold exactly these.
inline constexpr std::array<std::string_view, 3> NATIVE_OP_PARAMS = {"gmbs", "vth", "vdsat"};

// Whether the native path characterises `config` itself rather than handing
// it to the pool: it is asked for, and the model file (read here) holds a
// BSIM4 card of the model, or of the model inside the subcircuit of that
// name.
bool native_path_serves(const LutConfig& config);

// The parameters of the first card written to standard error when
// MORVA_DUMP_NATIVE_PARAMS is set: those that decide a table's shape most.
inline constexpr std::array<std::string_view, 29> DUMP_PARAM_NAMES = {
    "vth0",    "nfactor", "voff", "u0",   "rdsw", "rsw",  "rdw",    "rsh",      "prwg",    "prwb",
    "k1",      "k2",      "k3",   "dvt0", "dvt1", "eta0", "etab",   "dsub",     "pclm",    "pdiblc1",
    "pdiblc2", "drout",   "pvag", "toxe", "xl",   "xw",   "rdsmod", "rgatemod", "rbodymod"};

}  // namespace morva::lut
