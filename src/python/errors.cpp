#include "python/errors.h"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace morva::python {
namespace {

struct PyErrSpec {
    PyObject* type;
    std::string message;
};

PyErrSpec map_ngspice(const NgspiceError& e) {
    using K = NgspiceError::Kind;
    switch (e.kind) {
        case K::Init: return {PyExc_RuntimeError, "ngspice init failed: " + e.detail};
        case K::Simulation: return {PyExc_RuntimeError, "simulation failed: " + e.detail};
        case K::WorkerCrashed: return {PyExc_RuntimeError, "worker crashed: " + e.detail};
        case K::Serialization: return {PyExc_ValueError, "serialization error: " + e.detail};
        case K::Io: return {PyExc_OSError, e.detail};
        case K::SendFailed:
            return {PyExc_RuntimeError, "worker pool exhausted" + (e.detail.empty() ? "" : ": " + e.detail)};
        case K::LoadLibrary: return {PyExc_RuntimeError, "failed to load libngspice: " + e.detail};
        case K::OutOfMemory: return {PyExc_MemoryError, e.detail};
    }
    return {PyExc_RuntimeError, e.text()};
}

PyErrSpec map_error(const Error& error) {
    struct Visitor {
        PyErrSpec operator()(const NgspiceError& e) const { return map_ngspice(e); }
        PyErrSpec operator()(const bsim4::Bsim4Error& e) const { return {PyExc_RuntimeError, e.text()}; }
        PyErrSpec operator()(const psf::PsfError& e) const {
            return {PyExc_RuntimeError, "PSF error: " + e.text()};
        }
        PyErrSpec operator()(const lut::LutError& e) const {
            if (e.kind == lut::LutError::Kind::Io) return {PyExc_OSError, e.io.text()};
            return {PyExc_RuntimeError, e.text()};
        }
        PyErrSpec operator()(const IoError& e) const { return {PyExc_OSError, e.text()}; }
    };
    return std::visit(Visitor{}, error.value);
}

}  // namespace

void throw_py(void* exception_type, const std::string& message) {
    // The whole text, NUL bytes included (names quoted in messages come from
    // callers); a stray invalid byte cannot turn the error into another one.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) throw nb::python_error();
    PyErr_SetObject(static_cast<PyObject*>(exception_type), text);
    Py_DECREF(text);
    throw nb::python_error();
}

void throw_py_err(const Error& error) {
    PyErrSpec spec = map_error(error);
    throw_py(spec.type, spec.message);
}

void throw_psf_err(const psf::PsfError& error) {
    if (error.kind == psf::PsfError::Kind::Io) throw_py(PyExc_OSError, error.io.text());
    throw_py(PyExc_ValueError, error.text());
}

}  // namespace morva::python
