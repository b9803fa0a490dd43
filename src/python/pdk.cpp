// flatten_pdk: converts its arguments, flattens, converts the result.
#include <string>

#include "pdk/flatten.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/register.h"

namespace morva::python {
namespace {

constexpr const char* kFlattenPdkDoc =
    "Flatten a named corner section from a PDK .lib file into one netlist text.\n"
    "\n"
    "Every nested .lib redirect inside the corner block (\".lib 'file' section\")\n"
    "and every .include is expanded recursively, in place of its line, so the\n"
    "result needs no other file. The corner name is matched case-insensitively.\n"
    "Returns the flattened text as one string.\n"
    "\n"
    "Raises IOError (OSError) when a file cannot be read, when the section is\n"
    "not found, or when the file contains a circular chain of redirects or\n"
    "includes.\n"
    "\n"
    "Note: some design kits expect extra top-level parameters (mismatch and\n"
    "Monte-Carlo flags, noise constants) that you must define yourself after\n"
    "including the flattened text.";

}  // namespace

void register_pdk(nb::module_& m) {
    m.def(
        "flatten_pdk",
        [](nb::handle path, nb::handle corner) {
            const std::string path_bytes = to_path(path, "path");
            const std::string corner_text = to_str(corner, "corner");
            auto flattened = pdk::flatten_pdk(path_bytes, corner_text);
            if (!flattened) throw_py_err(flattened.error());
            return nb::str(flattened->data(), flattened->size());
        },
        arg("path"), arg("corner"), nb::sig("def flatten_pdk(path, corner) -> str"), kFlattenPdkDoc);
}

}  // namespace morva::python
