// Python surface of characterisation: LutConfig, TransistorLut, DesignResult
// and the cache functions.
#include "python/lut.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/text.h"
#include "gm_id/design.h"
#include "lut/cache.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/numpy.h"
#include "python/register.h"

namespace morva::python {
namespace {

// ---- argument conversion (beyond the shared helpers) ----

bool to_bool(nb::handle o, const char* name) {
    if (o.ptr() == Py_True) return true;
    if (o.ptr() == Py_False) return false;
    const std::string type =
        text_of(nb::getattr(o.type(), "__module__")) + "." + text_of(nb::getattr(o.type(), "__qualname__"));
    if (type == "numpy.bool_" || type == "numpy.bool") {
        const int truth = PyObject_IsTrue(o.ptr());
        if (truth < 0) raise_conversion_error(name);
        return truth != 0;
    }
    raise_wrong_type(o, name, "PyBool");
}

template <class T, class F>
std::optional<T> optional_of(nb::handle o, F&& convert) {
    if (o.is_none()) return std::nullopt;
    return convert(o);
}

// A tuple of exactly three items.
nb::tuple to_triple(nb::handle o, const char* name) {
    if (!PyTuple_Check(o.ptr())) raise_wrong_type(o, name, "PyTuple");
    nb::tuple t = nb::borrow<nb::tuple>(o);
    if (t.size() != 3)
        raise_conversion_error(name,
                               fmt::cat("expected tuple of length 3, but got tuple of length ", t.size()));
    return t;
}

lut::SweepRange to_sweep(nb::handle o, const char* name) {
    nb::tuple t = to_triple(o, name);
    return {to_f64(t[0], name), to_f64(t[1], name), to_f64(t[2], name)};
}

std::vector<double> to_f64_list(nb::handle o, const char* name) {
    return to_list(o, name, [name](nb::handle h) { return to_f64(h, name); });
}

std::optional<double> to_optional_f64(nb::handle o, const char* name) {
    return optional_of<double>(o, [name](nb::handle h) { return to_f64(h, name); });
}

// ---- LutConfig ----

struct PyLutConfig {
    std::string device_type;  // as passed; checked by to_lut_config
    lut::LutConfig config;
};

PyLutConfig make_lut_config(nb::handle device_type, nb::handle width, nb::handle length, nb::handle lengths,
                            nb::handle lengths_log, nb::handle lengths_values, nb::handle widths_values,
                            nb::handle vgs, nb::handle vds, nb::handle vbs, nb::handle vbs_values,
                            nb::handle model_card, nb::handle model_file, nb::handle model_section,
                            nb::handle model_name, nb::handle subcircuit, nb::handle width_param,
                            nb::handle length_param, nb::handle model_includes, nb::handle device_name,
                            nb::handle op_params, nb::handle use_native_bsim4, nb::handle subcircuit_name,
                            nb::handle use_dc_solver) {
    auto str_of = [](const char* name) { return [name](nb::handle h) { return to_str(h, name); }; };
    lut::LutConfigRequest r;
    r.device_type = to_str(device_type, "device_type");
    r.width = to_f64(width, "width");
    r.length = to_f64(length, "length");
    r.lengths = optional_of<lut::SweepRange>(lengths, [](nb::handle h) { return to_sweep(h, "lengths"); });
    r.lengths_log = optional_of<lut::LutConfigRequest::LogLengths>(lengths_log, [](nb::handle h) {
        nb::tuple t = to_triple(h, "lengths_log");
        return lut::LutConfigRequest::LogLengths{to_f64(t[0], "lengths_log"), to_f64(t[1], "lengths_log"),
                                                 to_u64(t[2], "lengths_log")};
    });
    r.lengths_values = optional_of<std::vector<double>>(
        lengths_values, [](nb::handle h) { return to_f64_list(h, "lengths_values"); });
    r.widths_values = optional_of<std::vector<double>>(
        widths_values, [](nb::handle h) { return to_f64_list(h, "widths_values"); });
    r.vgs = to_sweep(vgs, "vgs");
    r.vds = to_sweep(vds, "vds");
    r.vbs = to_f64(vbs, "vbs");
    r.vbs_values = optional_of<std::vector<double>>(
        vbs_values, [](nb::handle h) { return to_f64_list(h, "vbs_values"); });
    r.model_card = to_str(model_card, "model_card");
    r.model_file = optional_of<std::string>(model_file, str_of("model_file"));
    r.model_section = optional_of<std::string>(model_section, str_of("model_section"));
    r.model_name = optional_of<std::string>(model_name, str_of("model_name"));
    r.subcircuit = to_bool(subcircuit, "subcircuit");
    r.width_param = to_str(width_param, "width_param");
    r.length_param = to_str(length_param, "length_param");
    if (!model_includes.is_none())
        r.model_includes = to_list(model_includes, "model_includes", [](nb::handle h) {
            if (!PyTuple_Check(h.ptr())) raise_wrong_type(h, "model_includes", "PyTuple");
            nb::tuple t = nb::borrow<nb::tuple>(h);
            if (t.size() != 2)
                raise_conversion_error(
                    "model_includes",
                    fmt::cat("expected tuple of length 2, but got tuple of length ", t.size()));
            return std::pair<std::string, std::string>(to_str(t[0], "model_includes"),
                                                       to_str(t[1], "model_includes"));
        });
    r.device_name = to_str(device_name, "device_name");
    if (!op_params.is_none()) r.op_params = to_list(op_params, "op_params", str_of("op_params"));
    r.use_native_bsim4 = to_bool(use_native_bsim4, "use_native_bsim4");
    r.subcircuit_name = optional_of<std::string>(subcircuit_name, str_of("subcircuit_name"));
    r.use_dc_solver = to_bool(use_dc_solver, "use_dc_solver");

    auto resolved = lut::resolve_config(r);
    if (!resolved.ok()) throw_py(PyExc_ValueError, resolved.error());
    return PyLutConfig{std::move(r.device_type), std::move(resolved).value()};
}

// A new list of `items`, a pair as a tuple.
template <class T>
nb::list new_list(const std::vector<T>& items) {
    nb::list out;
    for (const T& item : items) {
        if constexpr (requires { item.second; })
            out.append(nb::make_tuple(item.first, item.second));
        else
            out.append(item);
    }
    return out;
}

// A list property: None for a single value, else a new list.
nb::object list_or_none(const std::vector<double>& values) {
    if (values.size() == 1) return nb::none();
    return new_list(values);
}

nb::tuple sweep_tuple(const lut::SweepRange& r) { return nb::make_tuple(r.start, r.stop, r.step); }

std::string lut_config_repr(const PyLutConfig& self) {
    const lut::LutConfig& c = self.config;
    if (c.widths.size() > 1 || c.lengths.size() > 1 || c.vbs_values.size() > 1)
        return fmt::cat("LutConfig(device_type='", self.device_type, "', model_name='", c.model_name,
                        "', n_w=", c.widths.size(), ", n_vbs=", c.vbs_values.size(),
                        ", L=", fmt::exp(c.lengths.front(), 3), "..", fmt::exp(c.lengths.back(), 3), " (",
                        c.lengths.size(), " pts))");
    return fmt::cat("LutConfig(device_type='", self.device_type, "', model_name='", c.model_name,
                    "', W=", fmt::exp(c.widths.front(), 3), ", L=", fmt::exp(c.lengths.front(), 3), ")");
}

constexpr const char* kLutConfigDoc = R"(Transistor characterisation configuration.

Describes one MOSFET (polarity, model source, model name, instance naming),
the sweep grid (widths, bulk-source voltages, lengths, Vgs and Vds sweeps)
and the operating-point quantities to extract. Axis lists are resolved and
checked once, here: a (start, stop, step) sweep (``vgs``, ``vds``,
``lengths``) needs a finite nonzero step that points from start towards
stop (negative for a descending sweep), else ValueError names it.

Usage::

    # The built-in Level-3 NMOS model, W = 10 um, L = 500 nm.
    cfg = LutConfig()

    # An external model library.
    cfg = LutConfig(
        model_file="models/ptm65.lib",
        model_name="nch",
        width=1e-6,
        length=150e-9,
        vgs=(0.0, 1.8, 0.05),
        vds=(0.0, 1.8, 0.05),
    )
)";

constexpr const char* kLutConfigSig =
    "def __init__(self, device_type='nmos', width=10e-6, length=500e-9, lengths=None, lengths_log=None, "
    "lengths_values=None, widths_values=None, vgs=(0.0, 1.8, 0.05), vds=(0.0, 1.8, 0.05), vbs=0.0, "
    "vbs_values=None, model_card='', model_file=None, model_section=None, model_name=None, subcircuit=False, "
    "width_param='W', length_param='L', model_includes=None, device_name='m0', op_params=None, "
    "use_native_bsim4=False, subcircuit_name=None, use_dc_solver=False) -> None";

void register_lut_config(nb::module_& m) {
    nb::class_<PyLutConfig> cls(m, "LutConfig", kLutConfigDoc);
    cls.def(
        "__init__",
        [](PyLutConfig* self, nb::handle device_type, nb::handle width, nb::handle length, nb::handle lengths,
           nb::handle lengths_log, nb::handle lengths_values, nb::handle widths_values, nb::handle vgs,
           nb::handle vds, nb::handle vbs, nb::handle vbs_values, nb::handle model_card,
           nb::handle model_file, nb::handle model_section, nb::handle model_name, nb::handle subcircuit,
           nb::handle width_param, nb::handle length_param, nb::handle model_includes, nb::handle device_name,
           nb::handle op_params, nb::handle use_native_bsim4, nb::handle subcircuit_name,
           nb::handle use_dc_solver) {
            new (self) PyLutConfig(make_lut_config(
                device_type, width, length, lengths, lengths_log, lengths_values, widths_values, vgs, vds,
                vbs, vbs_values, model_card, model_file, model_section, model_name, subcircuit, width_param,
                length_param, model_includes, device_name, op_params, use_native_bsim4, subcircuit_name,
                use_dc_solver));
        },
        arg("device_type") = "nmos", arg("width") = 10e-6, arg("length") = 500e-9,
        arg("lengths") = nb::none(), arg("lengths_log") = nb::none(), arg("lengths_values") = nb::none(),
        arg("widths_values") = nb::none(), arg("vgs") = nb::make_tuple(0.0, 1.8, 0.05),
        arg("vds") = nb::make_tuple(0.0, 1.8, 0.05), arg("vbs") = 0.0, arg("vbs_values") = nb::none(),
        arg("model_card") = "", arg("model_file") = nb::none(), arg("model_section") = nb::none(),
        arg("model_name") = nb::none(), arg("subcircuit") = false, arg("width_param") = "W",
        arg("length_param") = "L", arg("model_includes") = nb::none(), arg("device_name") = "m0",
        arg("op_params") = nb::none(), nb::arg("use_native_bsim4").none() = false,
        arg("subcircuit_name") = nb::none(), arg("use_dc_solver") = false, nb::sig(kLutConfigSig));

    cls.def_prop_ro("device_type", [](const PyLutConfig& s) { return s.device_type; });
    cls.def_prop_ro(
        "width", [](const PyLutConfig& s) { return s.config.widths.front(); },
        "First (or only) gate width in metres (scalar shortcut).");
    cls.def_prop_ro(
        "widths", [](const PyLutConfig& s) { return list_or_none(s.config.widths); },
        nb::sig("def widths(self) -> list[float] | None"),
        "All W sweep values.  Returns ``None`` when a single width was specified\n"
        "(backward-compatible with code that checks ``if cfg.widths is None``).");
    cls.def_prop_ro(
        "length", [](const PyLutConfig& s) { return s.config.lengths.front(); },
        "First (or only) length value in metres.");
    cls.def_prop_ro(
        "lengths", [](const PyLutConfig& s) { return list_or_none(s.config.lengths); },
        nb::sig("def lengths(self) -> list[float] | None"),
        "All L sweep values as a list in metres.  Returns ``None`` when a\n"
        "single length was specified (for backwards compatibility with code\n"
        "that checks ``if cfg.lengths is None``).");
    cls.def_prop_ro(
        "vgs", [](const PyLutConfig& s) { return sweep_tuple(s.config.vgs); },
        nb::sig("def vgs(self) -> tuple[float, float, float]"));
    cls.def_prop_ro(
        "vds", [](const PyLutConfig& s) { return sweep_tuple(s.config.vds); },
        nb::sig("def vds(self) -> tuple[float, float, float]"));
    cls.def_prop_ro(
        "vbs", [](const PyLutConfig& s) { return s.config.vbs_values.front(); },
        "First (or only) bulk-source voltage in volts (scalar shortcut).");
    cls.def_prop_ro(
        "vbs_values", [](const PyLutConfig& s) { return list_or_none(s.config.vbs_values); },
        nb::sig("def vbs_values(self) -> list[float] | None"),
        "All Vbs sweep values.  Returns ``None`` when a single Vbs was specified.");
    cls.def_prop_ro("model_card", [](const PyLutConfig& s) { return s.config.model_card; });
    cls.def_prop_ro("model_file", [](const PyLutConfig& s) { return s.config.model_file; });
    cls.def_prop_ro("model_section", [](const PyLutConfig& s) { return s.config.model_section; });
    cls.def_prop_ro("model_name", [](const PyLutConfig& s) { return s.config.model_name; });
    cls.def_prop_ro("subcircuit", [](const PyLutConfig& s) { return s.config.subcircuit; });
    cls.def_prop_ro("width_param", [](const PyLutConfig& s) { return s.config.width_param; });
    cls.def_prop_ro("length_param", [](const PyLutConfig& s) { return s.config.length_param; });
    cls.def_prop_ro(
        "model_includes", [](const PyLutConfig& s) { return new_list(s.config.model_includes); },
        nb::sig("def model_includes(self) -> list[tuple[str, str]]"));
    cls.def_prop_ro("device_name", [](const PyLutConfig& s) { return s.config.device_name; });
    cls.def_prop_ro(
        "op_params", [](const PyLutConfig& s) { return new_list(s.config.op_params); },
        nb::sig("def op_params(self) -> list[str]"));
    cls.def_prop_ro("use_native_bsim4", [](const PyLutConfig& s) { return s.config.use_native_bsim4; });
    cls.def_prop_ro("use_dc_solver", [](const PyLutConfig& s) { return s.config.use_dc_solver; });
    cls.def("__repr__", &lut_config_repr);
}

// ---- TransistorLut ----

struct PyTransistorLut {
    lut::TransistorLut table;
};

constexpr char kTransistorLutName[] = "TransistorLut";
constexpr char kDesignResultName[] = "DesignResult";

nb::object axis_or_none(const std::vector<double>& axis) {
    if (axis.size() == 1) return nb::none();
    return numpy_vector(std::vector<double>(axis));
}

std::string transistor_lut_repr(const PyTransistorLut& self) {
    const lut::TransistorLut& t = self.table;
    const auto n = t.shape();
    if (n[0] == 1 && n[1] == 1 && n[2] == 1)
        return fmt::cat("TransistorLut(W=", fmt::exp(t.widths[0], 3), ", Vbs=", fmt::exp(t.vbs_values[0], 3),
                        ", L=", fmt::exp(t.lengths[0], 3), ", n_vgs=", n[3], ", n_vds=", n[4], ")");
    return fmt::cat("TransistorLut(shape=(", n[0], ", ", n[1], ", ", n[2], ", ", n[3], ", ", n[4], "))");
}

nb::object transistor_lut_ft(const PyTransistorLut& self) {
    const lut::TransistorLut& t = self.table;
    std::string missing;
    for (const char* name : {"cgs", "cgd"}) {
        bool found = false;
        for (const std::string& p : t.extracted_op_params) found = found || p == name;
        if (!found) missing += fmt::cat(missing.empty() ? "" : ", ", "\"", name, "\"");
    }
    if (!missing.empty())
        throw_py(PyExc_ValueError,
                 fmt::cat("Lut.ft requires both 'cgs' and 'cgd' to have been extracted; missing: [", missing,
                          "].  Regenerate the LUT with op_params=['cgs', 'cgd']."));
    auto ft = t.ft();
    if (!ft) throw_py(PyExc_ValueError, "cgs/cgd grids are empty — LUT generation did not populate them");
    return lut_field_to_py(*ft);
}

nb::object transistor_lut_slice(const PyTransistorLut& self, nb::handle width, nb::handle vbs,
                                nb::handle length) {
    const auto w = to_optional_f64(width, "width");
    const auto v = to_optional_f64(vbs, "vbs");
    const auto l = to_optional_f64(length, "length");
    auto sliced = lut::select(self.table, w, v, l);
    if (!sliced.ok()) throw_py(PyExc_ValueError, sliced.error());
    return transistor_lut_to_py(std::move(sliced).value());
}

void transistor_lut_to_csv(const PyTransistorLut& self, nb::handle path) {
    const std::string file = to_str(path, "path");
    auto written = self.table.write_csv(file);
    if (!written.ok()) throw_file_error(written.error(), "writing CSV file", file);
}

constexpr const char* kTransistorLutDoc = R"(A fully characterised transistor look-up table.

Grid properties (``id``, ``gm``, ``gds`` and the operating-point grids) are
NumPy float64 arrays indexed ``[w][vbs][l][vgs][vds]`` with the collapsed
axes dropped:

- With a single length (one width, one Vbs), ``id``, ``gm`` and ``gds`` are
  2-D arrays of shape ``(n_vgs, n_vds)`` and ``lengths`` is ``None``::

      lut.id[i_vgs, i_vds]          # drain current at one bias point
      lut.gm[:, -1]                 # gm over Vgs at the last Vds

- With an L sweep they are 3-D arrays of shape ``(n_l, n_vgs, n_vds)`` and
  ``lengths`` is a 1-D array::

      lut.id[i_l, i_vgs, i_vds]
      lut.lengths[i_l]              # the length of that slice

- With a W or Vbs sweep every grid is 5-D, ``(n_w, n_vbs, n_l, n_vgs,
  n_vds)``; ``slice(width=..., vbs=...)`` gives back the 2-D/3-D forms.
)";

constexpr const char* kShapeLines =
    "\n\n- Single L: shape ``(n_vgs, n_vds)``\n- L sweep:  shape ``(n_l, n_vgs, n_vds)``";

constexpr const char* kFtDoc = R"(Unity-gain frequency of the short-circuit common-source current gain (Hz).

ft = gm / (2π (|Cgs| + |Cgd|)) at every grid point; NaN where
|Cgs| + |Cgd| is zero. Shaped like ``gm``.

Raises ValueError when 'cgs' or 'cgd' was not extracted (generate the
LUT with ``op_params=['cgs', 'cgd']``).)";

constexpr const char* kSliceDoc = R"(Materialise a slice of the LUT at the nearest grid point for the given
width, Vbs and length.

width: gate width (m); the nearest value of the W axis (default: the first).
vbs: bulk-source voltage (V); the nearest value of the Vbs axis (default:
    the first).
length: gate length (m); the nearest value of the L axis (default: keep
    every length).

Returns a new ``TransistorLut`` with collapsed axes, so that ``id``, ``gm``
and ``gds`` are 2-D (single L) or 3-D (L sweep) for 2-D/3-D code.)";

// ---- gm/Id sizing ----

struct PyDesignResult {
    gm_id::DesignResult result;
};

std::size_t pick_index(const std::vector<double>& axis, std::optional<double> value, const char* name) {
    if (!value) return 0;
    auto i = lut::nearest_index(axis, *value);
    if (!i) throw_py(PyExc_ValueError, fmt::cat(name, " is NaN: no nearest grid point"));
    return *i;
}

nb::object transistor_lut_design(const PyTransistorLut& self, nb::handle gm_id, nb::handle gain,
                                 nb::handle ids, nb::handle vds, nb::handle width, nb::handle vbs,
                                 nb::handle gm_id_min, nb::handle gm_id_max, nb::handle id_min) {
    const auto t_gmid = to_optional_f64(gm_id, "gm_id");
    const auto t_gain = to_optional_f64(gain, "gain");
    const auto t_ids = to_optional_f64(ids, "ids");
    const auto v_ds = to_optional_f64(vds, "vds");
    const auto w = to_optional_f64(width, "width");
    const auto v_bs = to_optional_f64(vbs, "vbs");
    const double lo = to_f64(gm_id_min, "gm_id_min");
    const double hi = to_f64(gm_id_max, "gm_id_max");
    const auto i_min = to_optional_f64(id_min, "id_min");

    std::vector<gm_id::Constraint> constraints;
    if (t_gmid) constraints.push_back({*t_gmid, gm_id::ConstraintKind::GmId});
    if (t_gain) constraints.push_back({*t_gain, gm_id::ConstraintKind::Gain});
    if (t_ids) constraints.push_back({*t_ids, gm_id::ConstraintKind::Ids});
    if (constraints.empty())
        throw_py(PyExc_ValueError, "at least one constraint (gm_id, gain, ids) must be specified");
    if (auto problem = gm_id::arguments_problem(constraints, lo, hi, i_min))
        throw_py(PyExc_ValueError, *problem);
    const lut::TransistorLut& t = self.table;
    const std::size_t iw = pick_index(t.widths, w, "width");
    const std::size_t ib = pick_index(t.vbs_values, v_bs, "vbs");
    if (v_ds && std::isnan(*v_ds)) throw_py(PyExc_ValueError, "vds is NaN: no Vds bias point");
    if (v_ds) {
        if (auto problem = gm_id::vds_problem(t, *v_ds)) throw_py(PyExc_ValueError, *problem);
    }

    auto solved = gm_id::solve_design(t, iw, ib, constraints, v_ds, lo, hi, i_min);
    if (!solved.ok()) throw_py_err(Error(std::move(solved).error()));
    if (auto problem = gm_id::width_problem(solved.value())) throw_py(PyExc_ValueError, *problem);
    return nb::cast(PyDesignResult{std::move(solved).value()}, nb::rv_policy::move);
}

std::string design_result_repr(const PyDesignResult& self) {
    const gm_id::DesignResult& r = self.result;
    return fmt::cat("DesignResult(W=", fmt::exp(r.w, 3), ", L=", fmt::exp(r.l, 3),
                    ", Vgs=", fmt::fixed(r.vgs, 3), ", Vds=", fmt::fixed(r.vds, 3),
                    ", Id=", fmt::exp(r.id, 3), ", gm/Id=", fmt::fixed(r.gm_over_id, 2),
                    ", gain=", fmt::fixed(r.gain, 1), ")");
}

constexpr const char* kDesignDoc = R"(Size a transistor from the LUT by gm/Id.

Searches the (length, Vgs) plane of one (width, Vbs) slice at a fixed Vds
for the operating point that meets the targets, interpolating the table,
and scales the width so that the drain current meets ``ids``.

gm_id: target gm/Id ratio (V⁻¹, typically 5 to 25).
gain: target intrinsic gain gm/gds (V/V).
ids: target drain current (A), used to compute W.
vds: fixes the Vds bias point (V) (default: the midpoint of the Vds axis).
width, vbs: the W and Vbs slice to size on (nearest grid values; default:
    the first).
gm_id_min: operating points with gm/Id below this are excluded (default 5.0).
gm_id_max: operating points with gm/Id above this are excluded (default 25.0).
id_min: currents below this magnitude (A) are ignored (default 1e-12).

At least one of ``gm_id``, ``gain`` and ``ids`` is required, each finite
(``ids`` non-zero); a NaN bound or a non-finite ``id_min`` raises
ValueError as well. gm/Id is formed
with |Id|, so n- and p-channel tables size alike and W is always positive.

Example::

    r = lut.design(gm_id=15.0, gain=30.0, ids=100e-6)
    print(r.w, r.l, r.vgs))";

constexpr const char* kDesignResultDoc = R"(Result of a gm/Id transistor sizing.

Example::

    r = lut.design(gm_id=15.0, gain=30.0, ids=100e-6)
    r.w, r.l, r.vgs          # the sized device and its bias
    r.constraint_errors      # [("gm/Id", ...), ("gain", ...), ("Ids", 0.0)]
)";

void register_design_result(nb::module_& m) {
    nb::class_<PyDesignResult> cls(m, "DesignResult", kDesignResultDoc,
                                   nb::type_slots(no_constructor_slots<kDesignResultName>));
    struct Field {
        const char* name;
        double gm_id::DesignResult::*member;
        const char* doc;
    };
    static const Field fields[] = {
        {"w", &gm_id::DesignResult::w,
         "Gate width W, in the unit of the table's widths: metres, or the kit's\n"
         "unit when it sets ``.option scale`` (um for ``scale=1u``)."},
        {"l", &gm_id::DesignResult::l,
         "Gate length L, in the unit of the table's lengths: metres, or the kit's\n"
         "unit when it sets ``.option scale`` (um for ``scale=1u``)."},
        {"id", &gm_id::DesignResult::id, "Drain current at the operating point (A)."},
        {"vgs", &gm_id::DesignResult::vgs, "Gate-source voltage at the operating point (V)."},
        {"vds", &gm_id::DesignResult::vds, "Drain-source voltage used for the sizing (V)."},
        {"gm", &gm_id::DesignResult::gm, "Transconductance gm (S)."},
        {"gds", &gm_id::DesignResult::gds, "Output conductance gds (S)."},
        {"gm_over_id", &gm_id::DesignResult::gm_over_id, "gm/Id efficiency ratio (V⁻¹)."},
        {"gain", &gm_id::DesignResult::gain, "Intrinsic voltage gain gm/gds (V/V)."},
    };
    for (const Field& f : fields) {
        auto member = f.member;
        cls.def_prop_ro(
            f.name, [member](const PyDesignResult& s) { return s.result.*member; }, f.doc);
    }
    cls.def_prop_ro(
        "constraint_errors", [](const PyDesignResult& s) { return new_list(s.result.constraint_errors); },
        nb::sig("def constraint_errors(self) -> list[tuple[str, float]]"),
        "Per-constraint relative errors as a list of (name, error) tuples.");
    cls.def("__repr__", &design_result_repr);
}

void register_transistor_lut(nb::module_& m) {
    nb::class_<PyTransistorLut> cls(m, "TransistorLut", kTransistorLutDoc,
                                    nb::type_slots(no_constructor_slots<kTransistorLutName>));

    cls.def_prop_ro(
        "widths", [](const PyTransistorLut& s) { return axis_or_none(s.table.widths); },
        nb::sig("def widths(self) -> " MORVA_F64_ARRAY " | None"),
        "Gate-width axis values (1-D numpy array) when a W sweep was used,\n"
        "or ``None`` when a single width was specified.");
    cls.def_prop_ro(
        "width", [](const PyTransistorLut& s) { return s.table.widths.front(); },
        "First (or only) gate width used during characterisation (m).");
    cls.def_prop_ro(
        "vbs_values", [](const PyTransistorLut& s) { return axis_or_none(s.table.vbs_values); },
        nb::sig("def vbs_values(self) -> " MORVA_F64_ARRAY " | None"),
        "Bulk-source voltage axis values (1-D numpy array) when a Vbs sweep was\n"
        "used, or ``None`` when a single Vbs was specified.");
    cls.def_prop_ro(
        "vbs", [](const PyTransistorLut& s) { return s.table.vbs_values.front(); },
        "First (or only) bulk-source voltage used during characterisation (V).");
    cls.def_prop_ro(
        "lengths", [](const PyTransistorLut& s) { return axis_or_none(s.table.lengths); },
        nb::sig("def lengths(self) -> " MORVA_F64_ARRAY " | None"),
        "Gate-length axis values (1-D numpy array) when an L sweep was used,\n"
        "or ``None`` when a single length was specified.");
    cls.def_prop_ro(
        "vgs", [](const PyTransistorLut& s) { return numpy_vector(std::vector<double>(s.table.vgs)); },
        nb::sig("def vgs(self) -> " MORVA_F64_ARRAY),
        "Vgs axis values (1-D numpy array, shape ``(n_vgs,)``).");
    cls.def_prop_ro(
        "vds", [](const PyTransistorLut& s) { return numpy_vector(std::vector<double>(s.table.vds)); },
        nb::sig("def vds(self) -> " MORVA_F64_ARRAY),
        "Vds axis values (1-D numpy array, shape ``(n_vds,)``).");

    static const std::string id_doc = std::string("Drain current Id in amperes.") + kShapeLines;
    static const std::string gm_doc = std::string("Transconductance gm = ∂Id/∂Vgs in siemens.") + kShapeLines;
    static const std::string gds_doc =
        std::string("Output conductance gds = ∂Id/∂Vds in siemens.") + kShapeLines;
    static const char* const op_docs[lut::kOpParamCount] = {"Total gate capacitance Cgg (F).",
                                                            "Gate-source capacitance Cgs (F).",
                                                            "Gate-drain capacitance Cgd (F).",
                                                            "Gate-bulk capacitance Cgb (F).",
                                                            "Bulk-source junction capacitance Cbs (F).",
                                                            "Bulk-drain junction capacitance Cbd (F).",
                                                            "Bulk transconductance gmbs (S).",
                                                            "Bulk-drain conductance gbd (S).",
                                                            "Bulk-source conductance gbs (S).",
                                                            "Threshold voltage Vth (V).",
                                                            "Saturation voltage Vdsat (V).",
                                                            "Turn-on voltage Von (V)."};
    const char* grid_docs[lut::kGridCount] = {id_doc.c_str(), gm_doc.c_str(), gds_doc.c_str()};
    for (std::size_t k = 0; k < lut::kOpParamCount; ++k) grid_docs[3 + k] = op_docs[k];
    // Property names and signatures must outlive the module: GRID_NAMES are
    // literals, the signatures static.
    static const auto grid_sigs = [] {
        std::array<std::string, lut::kGridCount> out;
        for (std::size_t i = 0; i < lut::kGridCount; ++i)
            out[i] = fmt::cat("def ", lut::GRID_NAMES[i], "(self) -> ", MORVA_F64_ARRAY);
        return out;
    }();
    for (std::size_t i = 0; i < lut::kGridCount; ++i) {
        cls.def_prop_ro(
            lut::GRID_NAMES[i].data(),
            [i](const PyTransistorLut& s) { return lut_field_to_py(s.table.grid(i)); },
            nb::sig(grid_sigs[i].c_str()), grid_docs[i]);
    }

    cls.def_prop_ro("ft", &transistor_lut_ft, nb::sig("def ft(self) -> " MORVA_F64_ARRAY), kFtDoc);
    cls.def_prop_ro(
        "shape",
        [](const PyTransistorLut& s) {
            const auto n = s.table.shape();
            return nb::make_tuple(n[0], n[1], n[2], n[3], n[4]);
        },
        nb::sig("def shape(self) -> tuple[int, int, int, int, int]"),
        "Shape of the LUT data as ``(n_w, n_vbs, n_l, n_vgs, n_vds)``.");
    cls.def_prop_ro(
        "extracted_op_params", [](const PyTransistorLut& s) { return new_list(s.table.extracted_op_params); },
        nb::sig("def extracted_op_params(self) -> list[str]"),
        "Names of OP parameters that were actually extracted.  Empty when\n"
        "the LUT was generated with the fast DC-only path (no ``op_params``\n"
        "requested).");

    cls.def("slice", &transistor_lut_slice, nb::kw_only(), arg("width") = nb::none(), arg("vbs") = nb::none(),
            arg("length") = nb::none(),
            nb::sig("def slice(self, *, width=None, vbs=None, length=None) -> TransistorLut"), kSliceDoc);
    cls.def("to_csv", &transistor_lut_to_csv, arg("path"), nb::sig("def to_csv(self, path) -> None"),
            "Write the LUT as CSV: a header ``W,Vbs,L,Vgs,Vds,Id,gm,gds`` followed by\n"
            "the extracted OP parameter names, then one row per grid point (Vds\n"
            "fastest), every value in scientific notation.");
    cls.def("design", &transistor_lut_design, nb::kw_only(), arg("gm_id") = nb::none(),
            arg("gain") = nb::none(), arg("ids") = nb::none(), arg("vds") = nb::none(),
            arg("width") = nb::none(), arg("vbs") = nb::none(), arg("gm_id_min") = 5.0,
            arg("gm_id_max") = 25.0, arg("id_min") = nb::none(),
            nb::sig("def design(self, *, gm_id=None, gain=None, ids=None, vds=None, width=None, vbs=None, "
                    "gm_id_min=5.0, gm_id_max=25.0, id_min=None) -> DesignResult"),
            kDesignDoc);
    cls.def("__repr__", &transistor_lut_repr);
    // For the companion layer, before it returns a table read from the cache.
    cls.def(
        "_cache_mismatch",
        [](const PyTransistorLut& self, nb::handle cfg) {
            return lut::cache::table_mismatch(self.table, to_lut_config(cfg, "cfg"));
        },
        arg("cfg"), nb::sig("def _cache_mismatch(self, cfg: LutConfig) -> str | None"),
        "Why this table is not one ``cfg`` could have produced, or None when it may be.");
}

// ---- cache functions ----

std::string checked_key(nb::handle key) {
    std::string text = to_str(key, "key");
    if (auto problem = lut::cache::key_problem(text)) throw_py(PyExc_ValueError, *problem);
    return text;
}

void register_cache_functions(nb::module_& m) {
    m.def(
        "lut_cache_key",
        [](nb::handle cfg) {
            auto key = lut::cache::cache_key(to_lut_config(cfg, "cfg"));
            if (!key.ok()) throw_py_err(Error(std::move(key).error()));
            return std::move(key).value();
        },
        arg("cfg"), nb::sig("def lut_cache_key(cfg) -> str"),
        "Compute the cache key (SHA-256 hex) for a ``LutConfig``.\n\n"
        "The key is \"v6-\" followed by the SHA-256 of a canonical JSON text of\n"
        "the configuration (model paths made absolute, op_params sorted).");
    m.def(
        "lut_cache_path", [](nb::handle key) { return utf8_lossy(lut::cache::cache_path(checked_key(key))); },
        arg("key"), nb::sig("def lut_cache_path(key) -> str"),
        "Absolute path `~/.cache/morva/<key>.bin` for a cache key.\n\n"
        "Raises ValueError for a key that is not a plain file name.");
    m.def(
        "load_cached_lut",
        [](nb::handle key) -> nb::object {
            auto loaded = lut::cache::load(lut::cache::cache_path(checked_key(key)));
            if (!loaded.ok()) throw_py_err(Error(std::move(loaded).error()));
            if (!loaded->has_value()) return nb::none();
            return transistor_lut_to_py(std::move(**loaded));
        },
        arg("key"), nb::sig("def load_cached_lut(key) -> TransistorLut | None"),
        "Load a cached LUT from disk by key.  Returns ``None`` on cache miss.");
    m.def(
        "save_cached_lut",
        [](nb::handle key, nb::handle table) {
            const std::string path = lut::cache::cache_path(checked_key(key));
            if (!nb::isinstance<PyTransistorLut>(table)) raise_wrong_type(table, "lut", "TransistorLut");
            auto saved = lut::cache::save(path, nb::cast<const PyTransistorLut&>(table).table);
            if (!saved.ok()) throw_py_err(Error(std::move(saved).error()));
        },
        arg("key"), arg("lut"), nb::sig("def save_cached_lut(key, lut) -> None"),
        "Save a LUT to the disk cache under `key`.\n\n"
        "The file is written beside its final name and renamed into place, so\n"
        "a concurrent reader sees the old table or the new one, never a part.");
}

}  // namespace

lut::LutConfig to_lut_config(nb::handle config, const char* arg_name) {
    if (!nb::isinstance<PyLutConfig>(config)) raise_wrong_type(config, arg_name, "LutConfig");
    // LutConfig.__new__ alone makes an object with no configuration in it.
    if (!nb::inst_ready(config)) raise_conversion_error(arg_name, "LutConfig object is not initialised");
    const PyLutConfig& py = nb::cast<const PyLutConfig&>(config);
    auto device = lut::parse_device_type(py.device_type);
    if (!device.ok()) throw_py(PyExc_ValueError, device.error());
    lut::LutConfig out = py.config;
    out.device_type = *device;
    return out;
}

nb::object transistor_lut_to_py(lut::TransistorLut&& table) {
    if (auto problem = table.invariant_violation())
        throw_py(PyExc_RuntimeError,
                 fmt::cat("invalid LUT: ", *problem, " — this is a bug in LUT generation"));
    return nb::cast(PyTransistorLut{std::move(table)}, nb::rv_policy::move);
}

void register_lut(nb::module_& m) {
    register_lut_config(m);
    register_transistor_lut(m);
    register_design_result(m);
    register_cache_functions(m);
}

}  // namespace morva::python
