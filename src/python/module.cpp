// Module entry: creates `morva.morva` and registers the Python surface in its
// fixed order. Nothing else happens at import (no NumPy, no processes).
#include "python/register.h"

NB_MODULE(morva, m) {
    m.doc() =
        "morva: ngspice worker pool, transistor characterisation and analog design tools.\n"
        "\n"
        "Main entry points: SimulationPool (the worker pool, wrapping _SimulationPool),\n"
        "LutConfig and TransistorLut (characterisation tables), SimulationResult, and\n"
        "_run_worker() (internal; run by the ngspice-worker console script).";
    using namespace morva::python;
    register_ngspice(m);
    register_lut(m);
    register_results(m);
    register_pdsdm(m);
    register_bsim4(m);
    register_pdk(m);
    register_psf(m);
}
