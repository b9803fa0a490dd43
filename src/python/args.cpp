#include "python/args.h"

#include <limits>

#include "python/errors.h"

namespace morva::python {

std::string text_of(nb::handle value) {
    nb::object text = nb::steal(PyObject_Str(value.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(text).c_str();
}

void raise_conversion_error(const char* name) {
    nb::python_error reason;  // takes the pending exception
    throw_py(PyExc_TypeError, fmt::cat("argument '", name, "': ", text_of(reason.value())));
}

void raise_conversion_error(const char* name, const std::string& reason) {
    throw_py(PyExc_TypeError, fmt::cat("argument '", name, "': ", reason));
}

double to_f64(nb::handle value, const char* name) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise_conversion_error(name);
    return v;
}

std::size_t to_usize(nb::handle value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) raise_conversion_error(name);
    const std::size_t v = PyLong_AsSize_t(index);
    Py_DECREF(index);
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) raise_conversion_error(name);
    return v;
}

std::uint32_t to_u32(nb::handle value, const char* name) {
    const std::size_t v = to_usize(value, name);
    if (v > std::numeric_limits<std::uint32_t>::max())
        raise_conversion_error(name, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
}

}  // namespace morva::python
