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

double to_f64(nb::handle value, const char* name);
std::size_t to_usize(nb::handle value, const char* name);
std::uint32_t to_u32(nb::handle value, const char* name);
// A str as UTF-8; anything else: "'{type}' object cannot be converted to
// 'PyString'".
std::string to_str(nb::handle value, const char* name);
// A sequence of str. A str itself is refused ("Can't extract `str` to
// `Vec`"), so a single command cannot be mistaken for a list of letters.
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
