// The one mapping from this system's errors to Python exceptions.
#pragma once

#include <string>
#include <string_view>

#include "error/error.h"

namespace morva::python {

// Raises the Python exception for `error` (always throws).
[[noreturn]] void throw_py_err(const Error& error);

// Raises the Python exception of a PSF reader failure: OSError for `Io`,
// ValueError with the display text otherwise. `filename` names the file when
// the error itself does not. The OSError's text is the I/O error's own, led by
// `action` and the file as throw_file_error leads it when `action` is given.
[[noreturn]] void throw_psf_err(const psf::PsfError& error, const std::string& filename = {},
                                std::string_view action = {});

// Raises the OSError of an I/O failure on a file as throw_os_error does, with
// the text "{action} {file}: {the failure's own text}" ("reading PSF file
// run.tran: No such file or directory (os error 2)"); the file is the error's
// path, else `filename`. A failure without an errno keeps its own text.
[[noreturn]] void throw_file_error(const IoError& io, std::string_view action, const std::string& filename);

// Raises the OSError of an I/O failure with `message` as its text: for an
// errno, the subclass Python picks for it (FileNotFoundError, ...) with errno,
// strerror and filename set (the error's path, else `filename`); an instance
// of `also` (a PyObject* exception class) too, when given.
[[noreturn]] void throw_os_error(const IoError& io, const std::string& message,
                                 const std::string& filename = {}, void* also = nullptr);

// Raises a Python exception of the given built-in class with `message`.
[[noreturn]] void throw_py(void* exception_type /* PyObject* */, const std::string& message);

}  // namespace morva::python
