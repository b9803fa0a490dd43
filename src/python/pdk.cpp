// flatten_pdk: converts its arguments, flattens, converts the result.
#include <string>

#include "pdk/flatten.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/register.h"

namespace morva::python {
namespace {

std::string not_a_string(nb::handle obj) {
    return "'" + text_of(obj.type().attr("__name__")) + "' object cannot be converted to 'PyString'";
}

// A str or os.PathLike argument as file-system bytes.
std::string path_argument(nb::handle obj, const char* name) {
    nb::object fspath = nb::steal(PyOS_FSPath(obj.ptr()));
    if (!fspath.is_valid()) raise_conversion_error(name);
    if (!PyUnicode_Check(fspath.ptr())) raise_conversion_error(name, not_a_string(fspath));
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(fspath.ptr()));
    if (!encoded.is_valid()) raise_conversion_error(name);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0) raise_conversion_error(name);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string str_argument(nb::handle obj, const char* name) {
    if (!PyUnicode_Check(obj.ptr())) raise_conversion_error(name, not_a_string(obj));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (!data) raise_conversion_error(name);
    return std::string(data, static_cast<std::size_t>(size));
}

constexpr const char* kFlattenPdkDoc =
    "Flatten a named corner section from a PDK .lib file into one netlist text.\n"
    "\n"
    "Every nested .lib redirect inside the corner block (\".lib 'file' section\")\n"
    "is expanded recursively, in place of the redirect, so the result needs no\n"
    "other file. The corner name is matched case-insensitively. Returns the\n"
    "flattened text as one string.\n"
    "\n"
    "Raises IOError (OSError) when a file cannot be read, when the section is\n"
    "not found, or when the file contains a circular chain of .lib redirects.\n"
    "\n"
    "Note: some design kits expect extra top-level parameters (mismatch and\n"
    "Monte-Carlo flags, noise constants) that you must define yourself after\n"
    "including the flattened text.";

}  // namespace

void register_pdk(nb::module_& m) {
    m.def(
        "flatten_pdk",
        [](nb::handle path, nb::handle corner) {
            const std::string path_bytes = path_argument(path, "path");
            const std::string corner_text = str_argument(corner, "corner");
            auto flattened = pdk::flatten_pdk(path_bytes, corner_text);
            if (!flattened) throw_py_err(flattened.error());
            return nb::str(flattened->data(), flattened->size());
        },
        arg("path"), arg("corner"), nb::sig("def flatten_pdk(path, corner) -> str"), kFlattenPdkDoc);
}

}  // namespace morva::python
