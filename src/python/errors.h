// The one mapping from this system's errors to Python exceptions.
#pragma once

#include <string>

#include "error/error.h"

namespace morva::python {

// Raises the Python exception for `error` (always throws).
[[noreturn]] void throw_py_err(const Error& error);

// Raises the Python exception of a PSF reader failure: OSError with the I/O
// error's own text for `Io`, ValueError with the display text otherwise.
[[noreturn]] void throw_psf_err(const psf::PsfError& error);

// Raises a Python exception of the given built-in class with `message`.
[[noreturn]] void throw_py(void* exception_type /* PyObject* */, const std::string& message);

}  // namespace morva::python
