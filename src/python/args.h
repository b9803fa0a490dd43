// Argument conversion shared by every binding. Arguments arrive as plain
// objects so that a failed conversion names the argument:
// TypeError "argument '{name}': {reason}".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "common/format.h"

namespace morva::python {

namespace nb = nanobind;

// str(value) as UTF-8.
std::string text_of(nb::handle value);

// Raises TypeError "argument '{name}': {reason}" with the pending Python
// exception's text as the reason (first form) or the given reason.
[[noreturn]] void raise_conversion_error(const char* name);
[[noreturn]] void raise_conversion_error(const char* name, const std::string& reason);
// Raises TypeError "argument '{name}': '{type}' object cannot be converted to
// '{target}'", the refusal of a value of the wrong type.
[[noreturn]] void raise_wrong_type(nb::handle value, const char* name, const char* target);

double to_f64(nb::handle value, const char* name);
// Any failure, a negative or too large value included, is a TypeError naming
// the argument.
std::size_t to_usize(nb::handle value, const char* name);
std::uint32_t to_u32(nb::handle value, const char* name);
// A value that is no integer is a TypeError naming the argument; a negative
// or too large one is Python's own OverflowError.
std::uint64_t to_u64(nb::handle value, const char* name);
// As to_u64; out of 0 to 65535: OverflowError "out of range integral type
// conversion attempted".
std::uint16_t to_u16(nb::handle value, const char* name);
// A str as UTF-8; anything else: "'{type}' object cannot be converted to
// 'PyString'". A lone surrogate fails as a conversion too.
std::string to_str(nb::handle value, const char* name);
// A str or an os.PathLike whose path is a str, as file-system bytes. A bytes
// path is refused like any other non-str.
std::string to_path(nb::handle value, const char* name);
// The str of file-system bytes: the inverse of to_path.
nb::object path_to_py(const std::string& path);

// Any sequence except a str (refused with "Can't extract `str` to `Vec`", so
// that a single text cannot be mistaken for a list of letters), converted
// item by item with `item(element)`.
void check_sequence(nb::handle value, const char* name);
template <class F>
auto to_list(nb::handle value, const char* name, F&& item) {
    check_sequence(value, name);
    std::vector<decltype(item(value))> out;
    nb::object iter = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iter.is_valid()) raise_conversion_error(name);
    while (PyObject* raw = PyIter_Next(iter.ptr())) out.push_back(item(nb::steal(raw)));
    if (PyErr_Occurred()) raise_conversion_error(name);
    return out;
}
std::vector<std::string> to_str_list(nb::handle value, const char* name);

// A keyword argument taken as a plain object (None included), converted by
// the helpers above.
inline auto arg(const char* name) { return nb::arg(name).none(); }

// A type slot that makes calling the class raise TypeError
// "No constructor defined for {kName}": result classes are made only by the
// functions that return them. Use: nb::type_slots(no_constructor_slots<kName>).
template <const char* kName>
PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, fmt::cat("No constructor defined for ", kName).c_str());
    return nullptr;
}
template <const char* kName>
inline PyType_Slot no_constructor_slots[] = {{Py_tp_new, reinterpret_cast<void*>(&no_constructor_new<kName>)},
                                             {0, nullptr}};

}  // namespace morva::python
