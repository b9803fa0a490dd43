// Module entry: creates `morva.morva` and registers the Python surface in its
// fixed order. Nothing else happens at import (no NumPy, no processes).
//
// The module is made once per process: initialising it again (after it was
// dropped from sys.modules, or by a reload) hands back the same object
// rather than registering every class a second time.
#include "python/gil.h"
#include "python/register.h"

namespace {

namespace nb = nanobind;

constexpr const char* kModuleDoc =
    "morva: ngspice worker pool, transistor characterisation and analog design tools.\n"
    "\n"
    "Main entry points: SimulationPool (the worker pool, wrapping _SimulationPool),\n"
    "LutConfig and TransistorLut (characterisation tables), SimulationResult, and\n"
    "_run_worker() (internal; run by the ngspice-worker console script).";

// m_size 0 rather than -1: a later import calls PyInit_morva again (and gets
// the same module) instead of copying the first module's dictionary.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "morva", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

void register_all(nb::module_& m) {
    using namespace morva::python;
    register_ngspice(m);
    register_lut(m);
    register_results(m);
    register_pdsdm(m);
    register_bsim4(m);
    register_pdk(m);
    register_psf(m);
    remember_main_thread();
    install_exit_gate();
}

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit_morva();

extern "C" PyObject* PyInit_morva() {
    // Both set by the first successful initialisation; the GIL guards them.
    static PyObject* module = nullptr;
    static PyInterpreterState* owner = nullptr;
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (module) {
        if (interpreter != owner) {
            PyErr_SetString(PyExc_ImportError,
                            "morva can only be imported by the interpreter that first loaded it");
            return nullptr;
        }
        Py_INCREF(module);
        return module;
    }
    PyObject* created = PyModule_Create(&module_def);
    if (!created) return nullptr;
    if (!nb::register_module(created)) {
        Py_DECREF(created);
        return nullptr;
    }
    try {
        nb::module_ m = nb::borrow<nb::module_>(created);
        register_all(m);
    } catch (nb::python_error& e) {
        e.restore();
        Py_DECREF(created);
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        Py_DECREF(created);
        return nullptr;
    }
    module = created;  // kept for the life of the process
    owner = interpreter;
    Py_INCREF(module);
    return module;
}
