// The SimulationResult class: one finished simulation, read-only.
#pragma once

#include <nanobind/nanobind.h>

#include "ngspice/protocol.h"

namespace morva::python {

namespace nb = nanobind;

// A new SimulationResult owning `response`.
nb::object make_simulation_result(ngspice::SimulationResponse&& response);

}  // namespace morva::python
