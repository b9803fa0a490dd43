// Python surface of one simulation's result: SimulationResult.
#include "python/results.h"

#include <nanobind/stl/string.h>

#include <complex>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "ngspice/vector_lookup.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/numpy.h"
#include "python/register.h"

namespace morva::python {
namespace {

using ngspice::SimulationResponse;
using ngspice::VectorData;

constexpr char kSimulationResult[] = "SimulationResult";

struct PySimulationResult {
    SimulationResponse response;
};

nb::object real_array(const VectorData* v) {
    return numpy_vector(v ? std::vector<double>(v->real) : std::vector<double>{});
}

const VectorData& lookup(const PySimulationResult& self, nb::handle name_arg, std::string& name) {
    name = to_str(name_arg, "name");
    const VectorData* v = ngspice::find_vector(self.response.vectors, name);
    if (!v) throw_py(PyExc_KeyError, ngspice::vector_not_found_message(self.response.vectors, name));
    return *v;
}

constexpr const char* kClassDoc = R"doc(The outcome of one simulation run by a SimulationPool.

Created by the pool; it cannot be constructed directly and never changes.
Vectors come out as fresh NumPy arrays, looked up by name with ngspice's
naming rules in mind::

    result = pool.run_simulation(netlist, ["run"])
    if not result.success:
        print(result.error)
    else:
        t = result.vector("time")
        v_out = result.vector("v(out)")
        everything = result.vectors_dict()
)doc";

constexpr const char* kVectorDoc =
    R"doc(The named vector as a float64 array (the real parts of a complex vector).

The name is matched without regard to ASCII letter case, first as given,
then the text inside ``v(...)``, then wrapped as ``V(...)``: ngspice names the
voltage of a numbered node ``V(1)`` and that of a named node by the bare
name, so ``"v(out)"``, ``"out"``, ``"1"`` and ``"V(1)"`` all work.

Raises KeyError when no vector matches.)doc";

constexpr const char* kComplexDoc = R"doc(The named vector as a complex128 array.

Lookup as for ``vector``. Raises KeyError when no vector matches and
ValueError when the vector has no complex data (not an AC analysis result).)doc";

}  // namespace

nb::object make_simulation_result(SimulationResponse&& response) {
    return nb::cast(PySimulationResult{std::move(response)}, nb::rv_policy::move);
}

void register_results(nb::module_& m) {
    nb::class_<PySimulationResult> cls(m, kSimulationResult,
                                       nb::type_slots(no_constructor_slots<kSimulationResult>), kClassDoc);
    cls.def_prop_ro(
        "id",
        [](const PySimulationResult& s) { return nb::str(s.response.id.c_str(), s.response.id.size()); },
        nb::sig("def id(self) -> str"), "Correlation ID echoed from the request.");
    cls.def_prop_ro(
        "success", [](const PySimulationResult& s) { return nb::bool_(s.response.success); },
        nb::sig("def success(self) -> bool"), "``True`` if the simulation completed without ngspice errors.");
    cls.def_prop_ro(
        "log",
        [](const PySimulationResult& s) {
            nb::list out;
            for (const std::string& line : s.response.log) out.append(nb::str(line.c_str(), line.size()));
            return out;
        },
        nb::sig("def log(self) -> list[str]"), "ngspice log lines captured during the simulation.");
    cls.def_prop_ro(
        "error",
        [](const PySimulationResult& s) -> nb::object {
            if (!s.response.error) return nb::none();
            return nb::str(s.response.error->c_str(), s.response.error->size());
        },
        nb::sig("def error(self) -> str | None"), "First error message seen, if any.");
    cls.def_prop_ro(
        "measures",
        [](const PySimulationResult& s) {
            nb::dict out;
            for (const auto& [name, value] : s.response.measures) {
                out[nb::str(name.c_str(), name.size())] = nb::float_(value);
            }
            return out;
        },
        nb::sig("def measures(self) -> dict[str, float]"),
        "Parsed ``.meas`` / ``.measure`` results as a dict of str to float; empty when the netlist used no "
        ".measure statements.");

    cls.def(
        "vector",
        [](const PySimulationResult& s, nb::handle name) {
            std::string text;
            return real_array(&lookup(s, name, text));
        },
        arg("name"), nb::sig("def vector(self, name) -> numpy.ndarray"), kVectorDoc);
    cls.def(
        "complex_vector",
        [](const PySimulationResult& s, nb::handle name) {
            std::string text;
            const VectorData& v = lookup(s, name, text);
            if (!v.complex) {
                throw_py(PyExc_ValueError,
                         fmt::cat("vector '", text, "' has no complex data (not an AC analysis result)"));
            }
            const std::size_t n = v.complex->size();
            return numpy_array(std::vector<std::complex<double>>(*v.complex), {n});
        },
        arg("name"), nb::sig("def complex_vector(self, name) -> numpy.ndarray"), kComplexDoc);
    cls.def(
        "vector_names",
        [](const PySimulationResult& s) {
            nb::list out;
            for (const VectorData& v : s.response.vectors) out.append(nb::str(v.name.c_str(), v.name.size()));
            return out;
        },
        nb::sig("def vector_names(self) -> list[str]"), "Names of all vectors, in result order.");
    cls.def(
        "vectors_dict",
        [](const PySimulationResult& s) {
            nb::dict out;
            for (const VectorData& v : s.response.vectors)
                out[nb::str(v.name.c_str(), v.name.size())] = real_array(&v);
            return out;
        },
        nb::sig("def vectors_dict(self) -> dict[str, numpy.ndarray]"),
        "Every vector as a float64 array, by name (a later vector of the same name wins).");
    cls.def(
        "time_vector",
        [](const PySimulationResult& s) { return real_array(ngspice::find_time_vector(s.response.vectors)); },
        nb::sig("def time_vector(self) -> numpy.ndarray"),
        "The transient time axis in seconds (``time``, or a plot-qualified ``*.time``); empty when absent.");
    cls.def(
        "frequency_vector",
        [](const PySimulationResult& s) {
            return real_array(ngspice::find_frequency_vector(s.response.vectors));
        },
        nb::sig("def frequency_vector(self) -> numpy.ndarray"),
        "The AC or noise frequency axis in Hz (``frequency``/``freq``, a plot-qualified form, or any name "
        "containing ``freq``); empty when absent.");
    cls.def(
        "sweep_vector",
        [](const PySimulationResult& s) {
            return real_array(ngspice::find_sweep_vector(s.response.vectors));
        },
        nb::sig("def sweep_vector(self) -> numpy.ndarray"),
        "The DC sweep axis: the first vector whose name contains ``sweep``, else the first vector; empty "
        "when "
        "there are none.");
    cls.def("__repr__", [](const PySimulationResult& s) {
        return fmt::cat("SimulationResult(id='", s.response.id,
                        "', success=", s.response.success ? "true" : "false",
                        ", vectors=", s.response.vectors.size(), ")");
    });
}

}  // namespace morva::python
