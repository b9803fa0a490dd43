#include "python/errors.h"

#include <nanobind/nanobind.h>

#include "common/format.h"
#include "common/text.h"

namespace nb = nanobind;

namespace morva::python {
namespace {

struct PyErrSpec {
    PyObject* type;
    std::string message;
    // The I/O failure behind an OSError, for its errno and file name.
    const IoError* io = nullptr;
    // A second exception type the OSError also is.
    PyObject* also = nullptr;
};

PyErrSpec map_ngspice(const NgspiceError& e) {
    using K = NgspiceError::Kind;
    // Refused input was a RuntimeError before it was told apart: the OSError
    // of an unusable file still is one.
    if (e.refused_input && e.kind == K::Io) return {PyExc_OSError, e.detail, &e.io, PyExc_RuntimeError};
    if (e.refused_input) return {PyExc_ValueError, e.detail};
    switch (e.kind) {
        case K::Init: return {PyExc_RuntimeError, "ngspice init failed: " + e.detail};
        case K::Simulation: return {PyExc_RuntimeError, "simulation failed: " + e.detail};
        case K::WorkerCrashed: return {PyExc_RuntimeError, "worker crashed: " + e.detail};
        case K::Serialization: return {PyExc_ValueError, "serialization error: " + e.detail};
        case K::Io: return {PyExc_OSError, e.detail, &e.io};
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
            if (e.kind == lut::LutError::Kind::Io) return {PyExc_OSError, e.io.text(), &e.io};
            return {PyExc_RuntimeError, e.text()};
        }
        PyErrSpec operator()(const IoError& e) const { return {PyExc_OSError, e.text(), &e}; }
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

void throw_os_error(const IoError& io, const std::string& message, const std::string& filename, void* also) {
    if (io.os_code == 0) throw_py(also ? also : PyExc_OSError, message);
    const std::string& name = io.path.empty() ? filename : io.path;
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) throw nb::python_error();
    nb::object py_message = nb::steal(text);
    // File names are bytes to the system: undecodable ones come back as
    // Python's own functions give them.
    nb::object py_name =
        name.empty()
            ? nb::none()
            : nb::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!py_name.is_valid()) throw nb::python_error();
    nb::object make = nb::module_::import_("morva._oserror").attr("os_error");
    nb::object also_type = also ? nb::borrow(static_cast<PyObject*>(also)) : nb::none();
    nb::object exc = make(io.os_code, py_message, py_name, also_type);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

void throw_file_error(const IoError& io, std::string_view action, const std::string& filename) {
    if (io.os_code == 0) throw_os_error(io, io.text(), filename);
    const std::string& name = io.path.empty() ? filename : io.path;
    throw_os_error(io, fmt::cat(action, " ", utf8_lossy(name), ": ", io.text()), name);
}

void throw_py_err(const Error& error) {
    PyErrSpec spec = map_error(error);
    if (spec.io) throw_os_error(*spec.io, spec.message, {}, spec.also);
    throw_py(spec.type, spec.message);
}

void throw_psf_err(const psf::PsfError& error, const std::string& filename, std::string_view action) {
    if (error.kind == psf::PsfError::Kind::Io && !action.empty())
        throw_file_error(error.io, action, filename);
    if (error.kind == psf::PsfError::Kind::Io) throw_os_error(error.io, error.io.text(), filename);
    throw_py(PyExc_ValueError, error.text());
}

}  // namespace morva::python
