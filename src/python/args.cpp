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

void raise_wrong_type(nb::handle value, const char* name, const char* target) {
    const std::string type = text_of(nb::getattr(value.type(), "__qualname__"));
    raise_conversion_error(name, fmt::cat("'", type, "' object cannot be converted to '", target, "'"));
}

double to_f64(nb::handle value, const char* name) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise_conversion_error(name);
    return v;
}

namespace {

// operator.index(value); a failure is a TypeError naming the argument.
nb::object index_of(nb::handle value, const char* name) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) raise_conversion_error(name);
    return index;
}

}  // namespace

std::size_t to_usize(nb::handle value, const char* name) {
    nb::object index = index_of(value, name);
    const std::size_t v = PyLong_AsSize_t(index.ptr());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) raise_conversion_error(name);
    return v;
}

std::uint32_t to_u32(nb::handle value, const char* name) {
    const std::size_t v = to_usize(value, name);
    if (v > std::numeric_limits<std::uint32_t>::max())
        raise_conversion_error(name, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
}

std::uint64_t to_u64(nb::handle value, const char* name) {
    nb::object index = index_of(value, name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return v;
}

std::uint16_t to_u16(nb::handle value, const char* name) {
    nb::object index = index_of(value, name);
    const long long v = PyLong_AsLongLong(index.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (v < 0 || v > std::numeric_limits<std::uint16_t>::max())
        throw_py(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint16_t>(v);
}

std::string to_str(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) raise_wrong_type(value, name, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) raise_conversion_error(name);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string to_path(nb::handle value, const char* name) {
    nb::object fspath = nb::steal(PyOS_FSPath(value.ptr()));
    if (!fspath.is_valid()) raise_conversion_error(name);
    if (!PyUnicode_Check(fspath.ptr())) raise_wrong_type(fspath, name, "PyString");
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(fspath.ptr()));
    if (!encoded.is_valid()) raise_conversion_error(name);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0) raise_conversion_error(name);
    return std::string(data, static_cast<std::size_t>(size));
}

nb::object path_to_py(const std::string& path) {
    nb::object text =
        nb::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

void check_sequence(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr())) raise_conversion_error(name, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(value.ptr())) raise_wrong_type(value, name, "Sequence");
}

std::vector<std::string> to_str_list(nb::handle value, const char* name) {
    return to_list(value, name, [name](nb::handle item) { return to_str(item, name); });
}

}  // namespace morva::python
