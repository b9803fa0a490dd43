// The worker process: reads request lines on standard input, runs each in
// its one ngspice instance and answers each with one response frame.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "ngspice/dylib.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::ngspice {

// Serves requests until standard input ends. Frames go to a private
// duplicate of standard output; standard output itself is pointed at
// standard error meanwhile, so that stray prints cannot corrupt the frames.
Result<void, NgspiceError> run_worker();

// ---- pieces of the loop, exposed for tests ----

// The last line of the end-trimmed netlist is ".end" (ASCII case ignored).
bool has_end_card(std::string_view trimmed_netlist);

// The netlist's lines for ngSpice_Circ: split at line feeds, a carriage
// return before each removed, NUL bytes turned into blanks.
std::vector<std::string> netlist_lines(std::string_view trimmed_netlist);

// ".morva_{pid}_{id}.cir" with every byte of the id outside [A-Za-z0-9._-]
// replaced by "_", so ids can neither collide across processes nor reach
// outside the directory.
std::string temp_netlist_name(long pid, std::string_view id);

// The netlist for writing where `prefix` names the directory it was meant
// for: `prefix` goes before the relative file of each ".include" or
// ".lib file section" line outside .control that the working directory does
// not hold (ngspice looks there first, then beside the netlist). Unchanged
// when `prefix` is empty.
std::string anchor_relative_files(std::string_view netlist, std::string_view prefix);

// Why ngspice refused a request, from its log: the lines of its error stream
// that are neither notes nor warnings (nor the worker's own clearing of a
// circuit) nor part of the `known` message, each
// once, the first five, joined by "; ". Empty when there are none.
std::string ngspice_error_lines(const std::vector<std::string>& log, std::string_view known = {});

// MORVA_WORKER_BENCH is on for "1" or "true" in any letter case.
bool bench_enabled(const char* value);

// Measures from captured output lines such as "stdout vmax = 7.1e-01 at= 3e-6".
std::vector<Measure> extract_measures(const std::vector<std::string>& log);

// "time", "frequency" and "v-sweep" (ASCII case ignored) are analysis axes.
bool is_scale_name(std::string_view name);

// Copies one vector out of the library's record under the given name.
VectorData extract_vector_data(const VectorInfo& info, std::string name);

// The running per-phase totals behind the benchmark line.
struct BenchTotals {
    std::chrono::nanoseconds parse{0}, precmd{0}, circ{0}, cmd{0}, harvest{0}, write{0}, destroy{0},
        fs_write{0};
    std::uint64_t n = 0;
};
std::string bench_line(long pid, const BenchTotals& totals);

}  // namespace morva::ngspice
