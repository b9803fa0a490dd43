// Python surface of the native BSIM4 path: DcResult and DcSolver.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>

#include "bsim4/native.h"
#include "bsim4/solver.h"
#include "common/format.h"
#include "common/memory.h"
#include "common/sweep.h"
#include "common/text.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/register.h"
#include "spice/model_parser.h"

namespace morva::python {
namespace {

namespace solver = bsim4::solver;
using bsim4::native::Bsim4Model;
using bsim4::native::UniqueInstance;

struct PyDcResult {
    solver::DcOpResult result;
};

// Owns one model and one instance of it; the instance goes first.
struct PyDcSolver {
    Bsim4Model model;
    UniqueInstance instance;
    solver::SolverConfig config;
};

constexpr char kDcResultName[] = "DcResult";

std::string dc_result_repr(const solver::DcOpResult& r) {
    if (!r.converged) return fmt::cat("DcResult(converged=False, iters=", r.iterations, ")");
    return fmt::cat("DcResult(converged=True, ids=", fmt::exp(r.ids, 4), ", gm=", fmt::exp(r.gm, 4),
                    ", gds=", fmt::exp(r.gds, 4), ", vth=", fmt::fixed(r.vth, 4),
                    ", vds_int=", fmt::fixed(r.vds_int, 4), ", iters=", r.iterations, ")");
}

// What construction found, before any Python exception is raised.
struct Construction {
    Construction(std::optional<PyDcSolver> s, std::string e, std::optional<IoError> i = std::nullopt)
        : solver(std::move(s)), error(std::move(e)), io(std::move(i)) {}

    std::optional<PyDcSolver> solver;
    std::string error;
    std::optional<IoError> io;  // a model file that could not be read
};

Construction build_solver(const std::string& model_file, const std::string& model_name,
                          const std::string& device_type, double w, double l,
                          const std::optional<std::string>& model_section) {
    namespace parser = spice::model_parser;
    const auto text = parser::read_kit_text(model_file, model_section);
    if (!text) {
        std::optional<IoError> io;
        if (text.error().kind == bsim4::Bsim4Error::Kind::Io) io = text.error().io;
        return {std::nullopt,
                fmt::cat("failed to parse model file '", model_file, "': ", text.error().text()),
                std::move(io)};
    }
    // A mistyped section would otherwise read as a model the file lacks.
    if (model_section && !text->section_found)
        return {std::nullopt, parser::section_not_found(*model_section, model_file)};
    const parser::Kit kit = parser::kit_from_text(*text);
    if (auto problem = parser::top_level_model_problem(
            *text, kit, model_name, fmt::cat("'", model_file, "'"),
            "which DcSolver does not instantiate (generate_lut does, with subcircuit=True)"))
        return {std::nullopt, std::move(*problem)};
    // As ngspice reads the instance: w and l in the unit of the kit's `.option scale`.
    auto chosen = parser::choose_card(kit, model_name, device_type, l, w, model_file);
    if (!chosen) return {std::nullopt, std::move(chosen).error()};
    w *= kit.scale;
    l *= kit.scale;
    const parser::Bsim4ModelCard* card = *chosen;
    // The solves run at the kit's temperature.
    const parser::KitTemperatures set = parser::kit_temperatures(*text);
    if (auto problem = bsim4::native::Temperatures::celsius_problem(set.temp, set.tnom))
        return {std::nullopt, fmt::cat("'", model_file, "': ", *problem)};
    const auto temperatures = bsim4::native::Temperatures::from_celsius(set.temp, set.tnom);
    std::optional<Bsim4Model> model = Bsim4Model::from_params(card->model_type, card->params, temperatures);
    if (!model) return {std::nullopt, fmt::cat("failed to create BSIM4 model for '", model_name, "'")};
    UniqueInstance instance(bsim4_instance_create(model->handle(), 1, w, l));
    if (!instance)
        return {std::nullopt,
                fmt::cat("failed to create BSIM4 instance W=", fmt::exp(w, 3), " L=", fmt::exp(l, 3))};
    solver::SolverConfig config;
    config.temperature_k = temperatures.temp_k;
    // Once per solver: what the card asks for that the solves leave out.
    std::vector<std::string> notices = bsim4::native::unsolved_networks(card->params);
    if (auto version = bsim4::native::version_notice(card->params)) notices.push_back(std::move(*version));
    for (const std::string& network : notices) {
        const std::string line = bsim4::native::unsolved_network_line(card->name, network);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    return {PyDcSolver{std::move(*model), std::move(instance), config}, {}};
}

// Raises ValueError naming the terminal voltage that is not a finite number,
// when there is one.
void refuse_non_finite(const std::optional<solver::NonFiniteTerminal>& bad) {
    if (!bad) return;
    throw_py(PyExc_ValueError,
             fmt::cat(bad->name, " must be a finite number, got ", fmt::display(bad->value)));
}

// What one point of a sweep holds once it is a Python object: the result and
// the object's own header, with room to spare, and its slot in the list.
constexpr std::uint64_t kSweepPointBytes = sizeof(PyDcResult) + 64;

// Solves the points with the interpreter lock released, a block at a time,
// taking the lock back after each block to turn its results into Python
// objects and to let a pending KeyboardInterrupt through. A sweep whose
// results cannot all be held is refused before the first solve.
nb::list solve_sweep(const PyDcSolver& s, bool sweep_gate, std::uint64_t points, double start, double step,
                     double vg, double vd, double vs, double vb) {
    if (!fits_in_memory(points, kSweepPointBytes))
        throw_py(PyExc_MemoryError, fmt::cat("sweep of ", points, " points does not fit in memory"));
    constexpr std::uint64_t kBlock = 64;
    nb::list out;
    std::vector<solver::DcOpResult> block;
    block.reserve(kBlock);
    // Each point starts from the previous one's solution when there is one.
    solver::SweepStart warm;
    for (std::uint64_t first = 0; first < points; first += kBlock) {
        {
            LockReleased unlocked;
            const std::uint64_t last = std::min(points, first + kBlock);
            for (std::uint64_t i = first; i < last; ++i) {
                const double p = start + static_cast<double>(i) * step;
                const double gate = sweep_gate ? vs + p : vg;
                const double drain = sweep_gate ? vd : vs + p;
                block.push_back(
                    solver::dc_operating_point(s.config, s.instance.get(), gate, drain, vs, vb, warm.next()));
                warm.record(block.back(), drain, vs);
            }
        }
        for (solver::DcOpResult& r : block) out.append(nb::cast(PyDcResult{std::move(r)}));
        block.clear();
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return out;
}

// The first lines give the class its text signature.
const char* const kDcSolverDoc =
    "DcSolver(model_file, model_name, device_type=\"nmos\", w=1e-6, l=130e-9, model_section=None)\n"
    "--\n"
    "\n"
    "Newton-Raphson DC operating-point solver backed by the native BSIM4 evaluator.\n"
    "\n"
    "Solves for the internal drain/source node voltages behind the bias-dependent\n"
    "series resistances (rdsmod = 1) so that the current through each resistance\n"
    "equals the device current at that node, with gmin stepping and a\n"
    "source-stepping fallback; each point of a sweep starts from the previous\n"
    "point's solution and falls back to the ladder only when that fails.\n"
    "Voltages are in the n-channel frame: a p-channel device conducts for\n"
    "positive vg and vd, and its ids is negative. Results with a non-finite\n"
    "value or a voltage beyond 1e9 V are reported as not converged.\n"
    "\n"
    "The card is chosen as ngspice chooses it for a device outside every\n"
    "subcircuit (w and l in the unit of the kit's .option scale; statistical\n"
    "functions such as agauss() at their nominal value), and solved at the\n"
    "temperature the kit sets for it (.temp, .options temp and tnom, as\n"
    "ngspice reads them; 27 °C when it sets none); a model_section the\n"
    "file does not hold, a model that only the file's library sections define\n"
    "when no model_section is given, a card of a subcircuit's body (that\n"
    "subcircuit's own) or a subcircuit's name, a geometry outside every bin, a\n"
    "device_type given that is not the card's, or a card value that cannot be\n"
    "evaluated raises RuntimeError.\n"
    "\n"
    "Example::\n"
    "\n"
    "    solver = morva.DcSolver(model_file, model_name, device_type=\"nmos\", w=1e-6, l=65e-9)\n"
    "    op = solver.solve(vg=0.8, vd=0.6, vs=0.0, vb=0.0)\n"
    "    curve = solver.sweep(\"vgs\", 0.0, 1.2, 0.05, vd=0.6)\n";

const char* const kSolveDoc =
    "Solve for the DC operating point at the given terminal voltages.\n"
    "\n"
    "Args:\n"
    "    vg:  Gate voltage (V).\n"
    "    vd:  Drain voltage (V).\n"
    "    vs:  Source voltage (V, default 0.0).\n"
    "    vb:  Bulk voltage (V, default 0.0).\n"
    "\n"
    "A voltage that is not a finite number raises ValueError naming it; a solve\n"
    "that does not converge returns a result with converged False.\n";

const char* const kSweepDoc =
    "Sweep one terminal voltage, solving at each point.\n"
    "\n"
    "Args:\n"
    "    sweep:  \"vgs\" or \"vds\": which terminal to sweep (relative to vs).\n"
    "    start:  First swept voltage (V).\n"
    "    stop:   Last swept voltage (V).\n"
    "    step:   Voltage step (V).\n"
    "    vg:  Gate voltage (V, default 0.0; overridden when sweeping vgs).\n"
    "    vd:  Drain voltage (V, default 0.0; overridden when sweeping vds).\n"
    "    vs:  Source voltage (V, default 0.0).\n"
    "    vb:  Bulk voltage (V, default 0.0).\n"
    "\n"
    "The points are start + i * step up to stop, rounded to whole steps; step\n"
    "must be finite, nonzero and point from start towards stop (negative for a\n"
    "descending sweep; any sign when start == stop gives that one point), and\n"
    "every voltage used finite, or ValueError names the argument.\n";

}  // namespace

void register_bsim4(nb::module_& m) {
    nb::class_<PyDcResult> result(m, "DcResult", "Result of a single `DcSolver.solve()` call.",
                                  nb::type_slots(no_constructor_slots<kDcResultName>));
    struct Field {
        const char* name;
        double solver::DcOpResult::*member;
        const char* doc;
    };
    static constexpr Field kFields[] = {
        {"ids", &solver::DcOpResult::ids,
         "Channel current from drain to source (A): the current the solver balances at the\n"
         "internal nodes, without the substrate (impact-ionisation), GIDL, junction and\n"
         "gate-tunnelling currents that also flow in the drain terminal, so it can differ\n"
         "from the drain terminal current where those matter (high Vds, Vg near 0 on a GIDL\n"
         "card). No DcResult field carries the terminal current: the native table's ``id``\n"
         "(``generate_lut`` with ``use_native_bsim4=True``) and the pool path's are the\n"
         "drain terminal current, as ngspice's ``-i(vds)``."},
        {"gm", &solver::DcOpResult::gm, "Transconductance (S)."},
        {"gds", &solver::DcOpResult::gds, "Output conductance (S)."},
        {"gmbs", &solver::DcOpResult::gmbs, "Body transconductance (S)."},
        {"vth", &solver::DcOpResult::vth, "Threshold voltage (V)."},
        {"vdsat", &solver::DcOpResult::vdsat, "Saturation voltage (V)."},
        {"vgs_int", &solver::DcOpResult::vgs_int, "Intrinsic gate-source voltage (V)."},
        {"vds_int", &solver::DcOpResult::vds_int, "Intrinsic drain-source voltage (V)."},
        {"vbs_int", &solver::DcOpResult::vbs_int, "Intrinsic bulk-source voltage (V)."},
        {"vd_int", &solver::DcOpResult::vd_int, "Internal drain node voltage (V)."},
        {"vs_int", &solver::DcOpResult::vs_int, "Internal source node voltage (V)."},
    };
    for (const Field& f : kFields) {
        const auto member = f.member;
        result.def_prop_ro(
            f.name, [member](const PyDcResult& r) { return r.result.*member; }, f.doc);
    }
    result
        .def_prop_ro(
            "converged", [](const PyDcResult& r) { return r.result.converged; },
            "Whether the Newton-Raphson iteration converged.")
        .def_prop_ro(
            "iterations", [](const PyDcResult& r) { return r.result.iterations; },
            "Newton iterations of the whole solve, every attempt counted (1 without series resistance).")
        .def("__repr__", [](const PyDcResult& r) { return dc_result_repr(r.result); });

    nb::class_<PyDcSolver>(m, "DcSolver", kDcSolverDoc)
        .def(
            "__init__",
            [](PyDcSolver* self, nb::handle model_file, nb::handle model_name, nb::handle device_type,
               nb::handle w, nb::handle l, nb::handle model_section) {
                const std::string file = to_str(model_file, "model_file");
                const std::string name = to_str(model_name, "model_name");
                // Left out: the card's own type; given: the card must be of it.
                const std::string type =
                    device_type.is_none() ? std::string() : to_str(device_type, "device_type");
                const double width = to_f64(w, "w");
                const double length = to_f64(l, "l");
                std::optional<std::string> section;
                if (!model_section.is_none()) section = to_str(model_section, "model_section");
                Construction built = [&] {
                    LockReleased unlocked;
                    return build_solver(file, name, type, width, length, section);
                }();
                // An unreadable file is also the OSError of its errno.
                if (!built.solver && built.io)
                    throw_os_error(*built.io, built.error, file, PyExc_RuntimeError);
                if (!built.solver) throw_py(PyExc_RuntimeError, built.error);
                new (self) PyDcSolver(std::move(*built.solver));
            },
            arg("model_file"), arg("model_name"), arg("device_type") = nb::none(), arg("w") = 1e-6,
            arg("l") = 130e-9, arg("model_section") = nb::none(),
            nb::sig("def __init__(self, model_file, model_name, device_type=\"nmos\", w=1e-6, l=130e-9, "
                    "model_section=None)"))
        .def(
            "solve",
            [](const PyDcSolver& s, nb::handle vg, nb::handle vd, nb::handle vs, nb::handle vb) {
                const double g = to_f64(vg, "vg"), d = to_f64(vd, "vd");
                const double src = to_f64(vs, "vs"), b = to_f64(vb, "vb");
                refuse_non_finite(solver::non_finite_terminal(g, d, src, b));
                solver::DcOpResult r;
                {
                    LockReleased unlocked;
                    r = solver::dc_operating_point(s.config, s.instance.get(), g, d, src, b);
                }
                return PyDcResult{std::move(r)};
            },
            arg("vg"), arg("vd"), arg("vs") = 0.0, arg("vb") = 0.0,
            nb::sig("def solve(self, vg, vd, vs=0.0, vb=0.0)"), kSolveDoc)
        .def(
            "sweep",
            [](const PyDcSolver& s, nb::handle sweep, nb::handle start, nb::handle stop, nb::handle step,
               nb::handle vg, nb::handle vd, nb::handle vs, nb::handle vb) {
                const std::string name = to_str(sweep, "sweep");
                const double a = to_f64(start, "start"), z = to_f64(stop, "stop"), h = to_f64(step, "step");
                const double g = to_f64(vg, "vg"), d = to_f64(vd, "vd");
                const double src = to_f64(vs, "vs"), b = to_f64(vb, "vb");
                if (auto problem = sweep_shape_problem(a, z, h, "sweep"))
                    throw_py(PyExc_ValueError, *problem);
                const std::optional<std::uint64_t> points = sweep_point_count(a, z, h);
                if (!points) throw_py(PyExc_MemoryError, "sweep has too many points to fit in memory");
                const std::string lower = ascii_lower(name);
                if (lower != "vgs" && lower != "vds")
                    throw_py(PyExc_ValueError, fmt::cat("sweep must be 'vgs' or 'vds', got '", lower, "'"));
                // The swept terminal's own argument is not used.
                const bool gate = lower == "vgs";
                refuse_non_finite(solver::non_finite_terminal(gate ? 0.0 : g, gate ? d : 0.0, src, b));
                return solve_sweep(s, gate, *points, a, h, g, d, src, b);
            },
            arg("sweep"), arg("start"), arg("stop"), arg("step"), arg("vg") = 0.0, arg("vd") = 0.0,
            arg("vs") = 0.0, arg("vb") = 0.0,
            nb::sig("def sweep(self, sweep, start, stop, step, vg=0.0, vd=0.0, vs=0.0, vb=0.0)"), kSweepDoc)
        .def("__repr__", [](const PyDcSolver&) { return "DcSolver(native BSIM4 Newton-Raphson solver)"; });
}

}  // namespace morva::python
