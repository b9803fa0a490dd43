// Python surface of the behavioural models: PdsdmResult, SarResult and the
// five model functions.
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "common/format.h"
#include "pdsdm/pdsdm.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy.h"
#include "python/register.h"

namespace morva::python {
namespace {

using BitstreamView = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A one-dimensional C-contiguous NumPy array of int32, taken as it is: no
// dtype conversion and no copy.
BitstreamView to_bitstream(nb::handle value, const char* name) {
    nb::object numpy = nb::steal(PyImport_GetModule(nb::str("numpy").ptr()));
    if (!numpy.is_valid() && PyErr_Occurred()) raise_conversion_error(name);
    const bool is_array = numpy.is_valid() && nb::isinstance(value, numpy.attr("ndarray"));
    BitstreamView view;
    if (is_array && nb::try_cast(value, view, /*convert=*/false)) return view;
    std::string got;
    if (is_array) {
        got = fmt::cat("an array of dtype ", text_of(value.attr("dtype")), " with shape ",
                       text_of(value.attr("shape")));
        if (!nb::cast<bool>(value.attr("flags").attr("c_contiguous"))) got += ", not contiguous";
    } else {
        got = fmt::cat("'", nb::type_name(value.type()).c_str(), "'");
    }
    raise_conversion_error(
        name, fmt::cat("expected a one-dimensional contiguous numpy array of dtype int32, got ", got));
}

// ---- errors ------------------------------------------------------------------

template <class T>
T take(Result<T, pdsdm::PdsdmError>&& result) {
    if (!result.ok()) {
        const pdsdm::PdsdmError& e = result.error();
        throw_py(e.kind == pdsdm::PdsdmError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError,
                 e.text());
    }
    return std::move(result).value();
}

// ---- result classes --------------------------------------------------------

struct PyPdsdmResult {
    pdsdm::LoopRun run;
};

struct PySarResult {
    pdsdm::SarTrim trim;
};

constexpr char kPdsdmResultName[] = "PdsdmResult";
constexpr char kSarResultName[] = "SarResult";

template <class T>
nb::object array_copy(const std::vector<T>& values) {
    std::vector<T> copy = values;
    const std::size_t n = copy.size();
    return numpy_array(std::move(copy), {n});
}

pdsdm::LoopInputs loop_inputs(nb::handle phi_etf, nb::handle v_etf_pp, nb::handle f_drive, nb::handle gm,
                              nb::handle c_int, nb::handle n_cycles, nb::handle phi_dac_0,
                              nb::handle phi_dac_1, nb::handle v_os_gm, nb::handle i_dac, nb::handle vdd,
                              nb::handle vcm) {
    pdsdm::LoopInputs in{};
    in.phi_etf = to_f64(phi_etf, "phi_etf");
    in.v_etf_pp = to_f64(v_etf_pp, "v_etf_pp");
    in.f_drive = to_f64(f_drive, "f_drive");
    in.gm = to_f64(gm, "gm");
    in.c_int = to_f64(c_int, "c_int");
    in.n_cycles = to_usize(n_cycles, "n_cycles");
    in.phi_dac_0 = to_f64(phi_dac_0, "phi_dac_0");
    in.phi_dac_1 = to_f64(phi_dac_1, "phi_dac_1");
    in.v_os_gm = to_f64(v_os_gm, "v_os_gm");
    in.i_dac = to_f64(i_dac, "i_dac");
    in.vdd = to_f64(vdd, "vdd");
    in.vcm = to_f64(vcm, "vcm");
    return in;
}

// Runs a loop model with the interpreter lock released: it touches only its
// own inputs and results. On the main thread it stops for Ctrl-C, whose
// KeyboardInterrupt is then pending.
template <class Model>
PyPdsdmResult run_unlocked(Model&& model) {
    const bool main_thread = on_main_thread();
    Result<pdsdm::LoopRun, pdsdm::PdsdmError> run = [&] {
        LockReleased unlocked(main_thread);
        return model(main_thread ? pdsdm::StopRequested(interrupted) : pdsdm::StopRequested());
    }();
    if (!run.ok() && run.error().kind == pdsdm::PdsdmError::Kind::Stopped) throw nb::python_error();
    return PyPdsdmResult{take(std::move(run))};
}

const char* const kRunPdsdmDoc =
    "Run the analytical (1-sample-per-cycle) PDSDM simulation.\n"
    "\n"
    "Uses the closed-form coherent-detection result:\n"
    "    i_demod = (2/\u03c0) \u00d7 Gm \u00d7 V_amp \u00d7 sin(\u03c6_etf \u2212 \u03c6_fb)\n"
    "\n"
    "Returns a :class:`PdsdmResult`.";

}  // namespace

void register_pdsdm(nb::module_& m) {
    nb::class_<PyPdsdmResult>(
        m, "PdsdmResult", "Result of a PDSDM simulation (returned by `run_pdsdm` / `run_pdsdm_oversampled`).",
        nb::type_slots(no_constructor_slots<kPdsdmResultName>))
        .def_prop_ro(
            "time", [](const PyPdsdmResult& r) { return array_copy(r.run.time); },
            nb::sig("def time(self) -> " MORVA_F64_ARRAY), "Time axis in seconds (float64).")
        .def_prop_ro(
            "v_int", [](const PyPdsdmResult& r) { return array_copy(r.run.v_int); },
            nb::sig("def v_int(self) -> " MORVA_F64_ARRAY),
            "Integrator voltage sampled at end of each cycle (float64).")
        .def_prop_ro(
            "bitstream", [](const PyPdsdmResult& r) { return array_copy(r.run.bitstream); },
            nb::sig("def bitstream(self) -> " MORVA_I32_ARRAY),
            "Bitstream as a 1-D int32 numpy array (0 or 1 per cycle).")
        .def(
            "bitstream_mean", [](const PyPdsdmResult& r) { return pdsdm::bitstream_mean(r.run.bitstream); },
            nb::sig("def bitstream_mean(self)"), "Bitstream mean (convenience).")
        .def("__len__", [](const PyPdsdmResult& r) { return r.run.bitstream.size(); })
        .def("__repr__", [](const PyPdsdmResult& r) {
            return fmt::cat("PdsdmResult(n_cycles=", r.run.bitstream.size(),
                            ", bs_mean=", fmt::fixed(pdsdm::bitstream_mean(r.run.bitstream), 4), ")");
        });

    nb::class_<PySarResult>(m, "SarResult", "Result of the SAR trim algorithm.",
                            nb::type_slots(no_constructor_slots<kSarResultName>))
        .def_prop_ro(
            "code", [](const PySarResult& r) { return r.trim.code; }, "Final DAC code (int).")
        .def_prop_ro(
            "dac_current", [](const PySarResult& r) { return r.trim.dac_current; },
            "Final DAC output current (A).")
        .def_prop_ro(
            "history",
            [](const PySarResult& r) {
                nb::list steps;
                for (const pdsdm::SarStep& s : r.trim.history)
                    steps.append(nb::make_tuple(s.bit_index, s.trial_code, s.trial_current, s.residual));
                return steps;
            },
            nb::sig("def history(self) -> list[tuple[int, int, float, float]]"),
            "Per-step history as list of (bit_index, trial_code, trial_current, residual).")
        .def("__repr__", [](const PySarResult& r) {
            return fmt::cat("SarResult(code=", r.trim.code, ", dac_current=", fmt::exp(r.trim.dac_current, 3),
                            ")");
        });

    m.def(
        "run_pdsdm",
        [](nb::handle phi_etf, nb::handle v_etf_pp, nb::handle f_drive, nb::handle gm, nb::handle c_int,
           nb::handle n_cycles, nb::handle phi_dac_0, nb::handle phi_dac_1, nb::handle v_os_gm,
           nb::handle i_dac, nb::handle vdd, nb::handle vcm) {
            const pdsdm::LoopInputs in = loop_inputs(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles,
                                                     phi_dac_0, phi_dac_1, v_os_gm, i_dac, vdd, vcm);
            return run_unlocked([&](const pdsdm::StopRequested& stop) { return pdsdm::run_pdsdm(in, stop); });
        },
        arg("phi_etf"), arg("v_etf_pp"), arg("f_drive"), arg("gm"), arg("c_int"), arg("n_cycles"),
        arg("phi_dac_0"), arg("phi_dac_1"), arg("v_os_gm") = 0.0, arg("i_dac") = 0.0, arg("vdd") = 1.2,
        arg("vcm") = 0.6,
        nb::sig("def run_pdsdm(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, phi_dac_1, "
                "v_os_gm=0.0, i_dac=0.0, vdd=1.2, vcm=0.6)"),
        kRunPdsdmDoc);

    m.def(
        "run_pdsdm_oversampled",
        [](nb::handle phi_etf, nb::handle v_etf_pp, nb::handle f_drive, nb::handle gm, nb::handle c_int,
           nb::handle n_cycles, nb::handle phi_dac_0, nb::handle phi_dac_1, nb::handle v_os_gm,
           nb::handle i_dac, nb::handle vdd, nb::handle vcm, nb::handle n_oversample) {
            const pdsdm::LoopInputs in = loop_inputs(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles,
                                                     phi_dac_0, phi_dac_1, v_os_gm, i_dac, vdd, vcm);
            const std::size_t n_sub = to_usize(n_oversample, "n_oversample");
            return run_unlocked([&](const pdsdm::StopRequested& stop) {
                return pdsdm::run_pdsdm_oversampled(in, n_sub, stop);
            });
        },
        arg("phi_etf"), arg("v_etf_pp"), arg("f_drive"), arg("gm"), arg("c_int"), arg("n_cycles"),
        arg("phi_dac_0"), arg("phi_dac_1"), arg("v_os_gm") = 0.0, arg("i_dac") = 0.0, arg("vdd") = 1.2,
        arg("vcm") = 0.6, arg("n_oversample") = 100,
        nb::sig("def run_pdsdm_oversampled(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, "
                "phi_dac_1, v_os_gm=0.0, i_dac=0.0, vdd=1.2, vcm=0.6, n_oversample=100)"),
        "Run the oversampled PDSDM simulation (N sub-points per clock period).\n"
        "\n"
        "Returns a :class:`PdsdmResult`.");

    m.def(
        "run_sar_trim",
        [](nb::handle offset_current, nb::handle i_lsb, nb::handle n_bits) {
            const double offset = to_f64(offset_current, "offset_current");
            const double lsb = to_f64(i_lsb, "i_lsb");
            const std::uint32_t bits = to_u32(n_bits, "n_bits");
            return PySarResult{take(pdsdm::run_sar_trim(offset, lsb, bits))};
        },
        arg("offset_current"), arg("i_lsb"), arg("n_bits") = 8,
        nb::sig("def run_sar_trim(offset_current, i_lsb, n_bits=8)"),
        "Run the SAR successive-approximation trim algorithm.\n"
        "\n"
        "Returns a :class:`SarResult`.");

    m.def(
        "decimate_bitstream",
        [](nb::handle bitstream, nb::handle osr) {
            // The array stays referenced, and the interpreter lock held, for
            // the whole read.
            const BitstreamView bits = to_bitstream(bitstream, "bitstream");
            const std::size_t block = to_usize(osr, "osr");
            return numpy_vector(take(pdsdm::decimate_bitstream({bits.data(), bits.shape(0)}, block)));
        },
        arg("bitstream"), arg("osr"), nb::sig("def decimate_bitstream(bitstream, osr)"),
        "Decimate a bitstream by block averaging.\n"
        "\n"
        "Returns a 1-D float64 numpy array.");

    m.def(
        "bs_to_phase",
        [](nb::handle bs_mean, nb::handle phi_dac_0, nb::handle phi_dac_1) {
            const double mean = to_f64(bs_mean, "bs_mean");
            const double phase_0 = to_f64(phi_dac_0, "phi_dac_0");
            const double phase_1 = to_f64(phi_dac_1, "phi_dac_1");
            return pdsdm::bs_to_phase(mean, phase_0, phase_1);
        },
        arg("bs_mean"), arg("phi_dac_0"), arg("phi_dac_1"),
        nb::sig("def bs_to_phase(bs_mean, phi_dac_0, phi_dac_1)"),
        "Convert bitstream mean to phase estimate (degrees).");
}

}  // namespace morva::python
