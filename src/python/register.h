// Registration routines of the Python surface, called by the module entry in
// this order: each adds its own classes and functions.
#pragma once

#include <nanobind/nanobind.h>

namespace morva::python {

namespace nb = nanobind;

void register_ngspice(nb::module_& m);  // _SimulationPool, _run_worker
void register_lut(nb::module_& m);      // LutConfig, TransistorLut, DesignResult, cache functions
void register_results(nb::module_& m);  // SimulationResult
void register_pdsdm(nb::module_& m);    // PdsdmResult, SarResult, model functions
void register_bsim4(nb::module_& m);    // DcResult, DcSolver
void register_pdk(nb::module_& m);      // flatten_pdk
void register_psf(nb::module_& m);      // PsfFile, then register_ngpsf
void register_ngpsf(nb::module_& m);    // NgpsfFile

}  // namespace morva::python
