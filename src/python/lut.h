// Conversions between the characterisation types and their Python classes,
// for the bindings that produce or consume them (the pool's generate_lut).
#pragma once

#include <nanobind/nanobind.h>

#include "lut/config.h"
#include "lut/table.h"

namespace morva::python {

namespace nb = nanobind;

// The internal configuration of a Python `LutConfig`; raises TypeError when
// `config` is not one and ValueError "device_type must be 'nmos' or 'pmos',
// got '{}'" for another device type.
lut::LutConfig to_lut_config(nb::handle config, const char* arg_name = "config");

// A new Python `TransistorLut` owning `table`. A table that breaks its
// invariants is a bug of whoever built it and raises RuntimeError.
nb::object transistor_lut_to_py(lut::TransistorLut&& table);

}  // namespace morva::python
