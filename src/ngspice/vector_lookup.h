// Finding result vectors by the names users type: ngspice names the voltage
// of a numbered node "V(1)" and that of a named node by the bare name, so
// "v(out)", "out", "1" and "V(1)" must all work, in any letter case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ngspice/protocol.h"

namespace morva::ngspice {

// The first vector matching, in turn: the name itself; the text inside
// "v(...)"; the name wrapped as "V(...)". ASCII case is ignored. Null when
// none matches.
const VectorData* find_vector(const std::vector<VectorData>& vectors, std::string_view name);

// "vector '{name}' not found; available: [\"a\", \"b\"]".
std::string vector_not_found_message(const std::vector<VectorData>& vectors, std::string_view name);

// Analysis axes. Null when the result has none.
// "time", else a plot-qualified "*.time".
const VectorData* find_time_vector(const std::vector<VectorData>& vectors);
// "frequency" or "freq", else "*.frequency" or "*.freq", else any name
// containing "freq".
const VectorData* find_frequency_vector(const std::vector<VectorData>& vectors);
// A name containing "sweep", else the first vector.
const VectorData* find_sweep_vector(const std::vector<VectorData>& vectors);

}  // namespace morva::ngspice
