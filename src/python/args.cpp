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

namespace {

std::string type_qualname(nb::handle value) {
    return nb::str(nb::getattr(value.type(), "__qualname__")).c_str();
}

}  // namespace

std::string to_str(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) {
        raise_conversion_error(
            name, fmt::cat("'", type_qualname(value), "' object cannot be converted to 'PyString'"));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw nb::python_error();  // a lone surrogate: UnicodeEncodeError as it is
    return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::string> to_str_list(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr())) raise_conversion_error(name, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(value.ptr())) {
        raise_conversion_error(
            name, fmt::cat("'", type_qualname(value), "' object cannot be converted to 'Sequence'"));
    }
    std::vector<std::string> out;
    nb::object iter = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iter.is_valid()) raise_conversion_error(name);
    while (PyObject* raw = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(raw);
        out.push_back(to_str(item, name));
    }
    if (PyErr_Occurred()) raise_conversion_error(name);
    return out;
}

}  // namespace morva::python
