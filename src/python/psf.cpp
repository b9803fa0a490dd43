// PsfFile: the Python face of the binary PSF and PSFASCII readers.
#include <sys/stat.h>

#include <complex>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/format.h"

#include "psf/open_any.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy.h"
#include "python/register.h"

namespace morva::python {
namespace {

struct PyPsfFile {
    psf::PsfReader reader;
};

constexpr const char* kClassDoc =
    "A parsed PSF result file: binary PSF (0x200), PSFXL metadata (signature\n"
    "0x300, or the sections chained without a table of contents) or PSFASCII\n"
    "text. The format is detected from the file contents.\n"
    "\n"
    "Example::\n"
    "\n"
    "    f = PsfFile(\"tran.tran.tran\")\n"
    "    f.is_psfxl, f.is_ascii\n"
    "    f.signal_names()\n"
    "    f.header_properties()\n"
    "    t, v = f.waveform(\"vout\")   # PSFASCII: the data is in the file itself\n";

nb::str py_str(std::string_view s) { return nb::str(s.data(), s.size()); }

nb::list str_list(const std::vector<std::string_view>& items) {
    nb::list out;
    for (std::string_view s : items) out.append(py_str(s));
    return out;
}

nb::object property_value(const psf::PropertyValue& v) {
    switch (v.kind()) {
        case psf::PropertyValue::Kind::String: return py_str(std::get<std::string>(v.value));
        case psf::PropertyValue::Kind::Int32: return nb::int_(std::get<std::int32_t>(v.value));
        case psf::PropertyValue::Kind::Double: return nb::float_(std::get<double>(v.value));
    }
    return nb::none();
}

std::int64_t file_size_now(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

}  // namespace

void register_psf(nb::module_& m) {
    nb::class_<PyPsfFile>(m, "PsfFile", kClassDoc, nb::is_final())
        .def(
            "__init__",
            [](PyPsfFile* self, nb::handle path_obj) {
                std::string path = to_path(path_obj, "path");
                auto opened = [&] {
                    LockReleased unlocked;
                    return psf::PsfReader::open(path);
                }();
                if (!opened) throw_psf_err(opened.error(), path, "reading PSF file");
                new (self) PyPsfFile{std::move(opened).value()};
            },
            arg("path"), nb::sig("def __init__(self, path)"))
        .def_prop_ro(
            "path", [](const PyPsfFile& f) { return path_to_py(f.reader.path()); },
            nb::sig("def path(self) -> str"))
        .def_prop_ro(
            "size",
            [](const PyPsfFile& f) -> std::int64_t {
                if (const psf::PsfFile* b = f.reader.binary())
                    return static_cast<std::int64_t>(b->data.size());
                return file_size_now(f.reader.path());
            },
            "Number of bytes in the underlying file.")
        .def_prop_ro("signature", [](const PyPsfFile& f) { return f.reader.signature(); })
        .def_prop_ro("is_ascii", [](const PyPsfFile& f) { return f.reader.is_ascii(); })
        .def_prop_ro("is_psfxl",
                     [](const PyPsfFile& f) { return f.reader.binary() && f.reader.binary()->is_psfxl(); })
        .def_prop_ro(
            "psfxl_companion",
            [](const PyPsfFile& f) -> nb::object {
                const psf::PsfFile* b = f.reader.binary();
                if (!b || !b->is_psfxl()) return nb::none();
                return path_to_py(b->psfxl_companion());
            },
            nb::sig("def psfxl_companion(self) -> str | None"),
            "Path to the expected PSFXL waveform companion (binary PSFXL only).")
        .def(
            "header_properties",
            [](const PyPsfFile& f) {
                nb::dict out;
                for (const psf::Property& p : f.reader.header())
                    out[py_str(p.name)] = property_value(p.value);
                return out;
            },
            nb::sig("def header_properties(self) -> dict"),
            "Dict of header properties, preserving the native scalar types.")
        .def(
            "signal_names", [](const PyPsfFile& f) { return str_list(f.reader.signal_names()); },
            nb::sig("def signal_names(self) -> list"),
            "Flat list of every signal name in trace order (groups expanded).\n"
            "PSFASCII: a struct's members as `signal.member`, then the values no\n"
            "trace lists (operating points, info files); every name `waveform()`\n"
            "reads.")
        .def(
            "trace_structure",
            [](const PyPsfFile& f) {
                const psf::TraceStructure s = f.reader.trace_structure();
                return nb::make_tuple(s.bare_refs, s.groups, s.children_in_groups);
            },
            nb::sig("def trace_structure(self) -> tuple"),
            "Trace section structural counts: `(n_bare_refs, n_groups, n_children_in_groups)`.")
        .def(
            "sweep_variables", [](const PyPsfFile& f) { return str_list(f.reader.sweep_variables()); },
            nb::sig("def sweep_variables(self) -> list"),
            "Sweep variable names (typically `[\"time\"]` for transient analysis).")
        .def(
            "sweep_points",
            [](const PyPsfFile& f) -> nb::object {
                if (const auto n = psf::sweep_points(f.reader.header())) return nb::int_(*n);
                return nb::none();
            },
            nb::sig("def sweep_points(self) -> int | None"),
            "Number of sweep points declared in the header, if present.")
        .def(
            "sweep_axis",
            [](const PyPsfFile& f) {
                const psf::PsfAscii* a = f.reader.ascii();
                if (!a || a->sweep_values.empty())
                    throw_py(PyExc_ValueError,
                             "sweep axis values not available (binary PSFXL decode not implemented)");
                std::vector<double> axis = a->sweep_values;
                return numpy_vector(std::move(axis));
            },
            nb::sig("def sweep_axis(self)"),
            "Sweep axis as a numpy array (PSFASCII only for now; binary PSFXL\n"
            "waveform decode is pending). Raises `ValueError` if not available.")
        .def(
            "waveform",
            [](const PyPsfFile& f, nb::handle name_obj) {
                const std::string name = to_str(name_obj, "name");
                const psf::PsfAscii* a = f.reader.ascii();
                if (!a)
                    throw_py(PyExc_ValueError,
                             "waveform() only implemented for PSFASCII; binary PSFXL decode pending");
                if (const auto* members = a->struct_members(name)) {
                    std::string list;
                    for (const std::string& m : *members) list += (list.empty() ? "" : ", ") + m;
                    throw_py(PyExc_ValueError, "signal " + fmt::debug_str(name) +
                                                   " is a struct: read its members (" +
                                                   (list.empty() ? std::string("it has none") : list) + ")");
                }
                auto wave = a->waveform(name);
                if (!wave) throw_py(PyExc_KeyError, "signal " + fmt::debug_str(name) + " not found");
                std::vector<double> axis = a->sweep_values;
                nb::object values;
                if (wave->complex) {
                    const std::size_t n = wave->re.size();
                    std::vector<std::complex<double>> z(n);
                    for (std::size_t i = 0; i < n; ++i) z[i] = {wave->re[i], wave->im[i]};
                    values = numpy_array(std::move(z), {n});
                } else {
                    values = numpy_vector(std::move(wave->re));
                }
                return nb::make_tuple(numpy_vector(std::move(axis)), values);
            },
            arg("name"), nb::sig("def waveform(self, name) -> tuple"),
            "Waveform of a signal.  Returns `(sweep_axis, values)` numpy arrays:\n"
            "float64 values, complex128 for a complex signal (AC results).  A\n"
            "struct's members are signals named `signal.member`.  Only available\n"
            "for PSFASCII files at present.")
        .def(
            "describe", [](const PyPsfFile& f) { return f.reader.describe(); },
            nb::sig("def describe(self) -> str"), "Short human-readable summary.")
        .def("__repr__", [](const PyPsfFile& f) { return f.reader.repr(); });
    register_ngpsf(m);
}

}  // namespace morva::python
