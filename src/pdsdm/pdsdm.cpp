#include "pdsdm/pdsdm.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "common/format.h"
#include "common/memory.h"

namespace morva::pdsdm {
namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kTwoPi = 6.283185307179586;

PdsdmError out_of_memory(const char* count_name, std::uint64_t count) {
    return PdsdmError{PdsdmError::Kind::OutOfMemory, count_name, count};
}

constexpr std::uint64_t kBytesPerCycle = 2 * sizeof(double) + sizeof(std::int32_t);

// Reserves the three per-cycle lists of a run.
Result<LoopRun, PdsdmError> reserve_run(std::size_t n_cycles, std::uint64_t extra_bytes) {
    if (!fits_in_memory(n_cycles, kBytesPerCycle, extra_bytes))
        return err(out_of_memory("n_cycles", n_cycles));
    LoopRun run;
    try {
        run.time.reserve(n_cycles);
        run.v_int.reserve(n_cycles);
        run.bitstream.reserve(n_cycles);
    } catch (const std::bad_alloc&) {
        return err(out_of_memory("n_cycles", n_cycles));
    } catch (const std::length_error&) {
        return err(out_of_memory("n_cycles", n_cycles));
    }
    return run;
}

// Clamps the integrator to [0, vdd] (a NaN passes unchanged), then records
// the cycle and returns its comparator bit.
inline std::int32_t finish_cycle(LoopRun& run, double& v, double t, double vdd, double vcm) {
    // Selects rather than branches: the bits of a running loop alternate
    // unpredictably.
    v = v < 0.0 ? 0.0 : (v > vdd ? vdd : v);
    const std::int32_t bit = v > vcm;
    run.time.push_back(t);
    run.v_int.push_back(v);
    run.bitstream.push_back(bit);
    return bit;
}

// Asks `stop` at most every 100 ms, looking at the clock only between blocks
// of kBlockWork units of work (a millisecond or less), so that the loops run
// as fast as without it.
class StopCheck {
public:
    static constexpr std::size_t kBlockWork = std::size_t{1} << 16;

    explicit StopCheck(const StopRequested& stop) : stop_(stop), last_(Clock::now()) {}
    // After a block: whether to give the run up.
    bool stop_now() {
        if (!stop_) return false;
        const Clock::time_point now = Clock::now();
        if (now - last_ < kInterval) return false;
        last_ = now;
        return stop_();
    }
    // After `work` more units: whether to give the run up.
    bool after(std::size_t work) {
        done_ += work;
        if (done_ < kBlockWork) return false;
        done_ = 0;
        return stop_now();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{100};
    const StopRequested& stop_;
    Clock::time_point last_;
    std::size_t done_ = 0;
};

// A refused value as Python writes it.
std::string value_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return fmt::debug(value);
}

Result<void, PdsdmError> check_positive(const char* argument, double value) {
    if (value > 0.0 && std::isfinite(value)) return {};
    return err(PdsdmError{.kind = PdsdmError::Kind::NotPositive, .argument = argument, .value = value});
}

Result<void, PdsdmError> check_finite(const char* argument, double value) {
    if (std::isfinite(value)) return {};
    return err(PdsdmError{.kind = PdsdmError::Kind::NotFinite, .argument = argument, .value = value});
}

// Sum as a 64-bit integer; wraps (rather than overflowing) only beyond 2^32
// entries of extreme values.
std::int64_t sum_bits(std::span<const std::int32_t> bits) {
    std::uint64_t sum = 0;
    for (const std::int32_t b : bits) sum += static_cast<std::uint64_t>(static_cast<std::int64_t>(b));
    return static_cast<std::int64_t>(sum);
}

}  // namespace

std::string PdsdmError::text() const {
    switch (kind) {
        case Kind::ZeroOversample: return "n_oversample must be >= 1";
        case Kind::ZeroOsr: return "osr must be >= 1";
        case Kind::TooManyBits: return "n_bits must be <= 32";
        case Kind::OutOfMemory: return fmt::cat(count_name, " = ", count, " is too large to allocate");
        case Kind::NotPositive:
            return fmt::cat(argument, " must be positive and finite, got ", value_text(value));
        case Kind::NotFinite: return fmt::cat(argument, " must be finite, got ", value_text(value));
        case Kind::Stopped: return "stopped";
    }
    return "invalid PDSDM model input";
}

Result<void, PdsdmError> check_loop_inputs(const LoopInputs& in) {
    // Argument order, so that the first bad argument is the one named.
    MORVA_TRY(check_finite("phi_etf", in.phi_etf));
    MORVA_TRY(check_finite("v_etf_pp", in.v_etf_pp));
    MORVA_TRY(check_positive("f_drive", in.f_drive));
    MORVA_TRY(check_positive("gm", in.gm));
    MORVA_TRY(check_positive("c_int", in.c_int));
    MORVA_TRY(check_finite("phi_dac_0", in.phi_dac_0));
    MORVA_TRY(check_finite("phi_dac_1", in.phi_dac_1));
    MORVA_TRY(check_finite("v_os_gm", in.v_os_gm));
    MORVA_TRY(check_finite("i_dac", in.i_dac));
    MORVA_TRY(check_positive("vdd", in.vdd));
    return check_finite("vcm", in.vcm);
}

Result<LoopRun, PdsdmError> run_pdsdm(const LoopInputs& in, const StopRequested& stop) {
    MORVA_TRY(check_loop_inputs(in));
    MORVA_ASSIGN(LoopRun run, reserve_run(in.n_cycles, 0));
    const double period = 1.0 / in.f_drive;
    const double amplitude = in.v_etf_pp * 0.5;
    const double k_demod = kTwoOverPi * in.gm * amplitude;
    const double phi_e = in.phi_etf * kDegToRad;
    const double i_offset = in.v_os_gm * in.gm;

    // The feedback phase takes one of two values, so the integrator step does
    // too: both are computed once, with the same operations as per cycle.
    auto step_for = [&](double phi_fb) {
        const double i_demod = k_demod * std::sin(phi_e - phi_fb * kDegToRad);
        return ((i_demod + i_offset) + in.i_dac) * period / in.c_int;
    };
    const double step_after[2] = {step_for(in.phi_dac_0), step_for(in.phi_dac_1)};

    double v = in.vcm;
    std::int32_t bit = 0;
    StopCheck check(stop);
    for (std::size_t first = 0; first < in.n_cycles; first += StopCheck::kBlockWork) {
        if (check.stop_now()) return err(PdsdmError{PdsdmError::Kind::Stopped});
        const std::size_t end = first + std::min(StopCheck::kBlockWork, in.n_cycles - first);
        for (std::size_t n = first; n < end; ++n) {
            const double t = static_cast<double>(n) * period;
            v = v + step_after[bit];
            bit = finish_cycle(run, v, t, in.vdd, in.vcm);
        }
    }
    return run;
}

Result<LoopRun, PdsdmError> run_pdsdm_oversampled(const LoopInputs& in, std::size_t n_oversample,
                                                  const StopRequested& stop) {
    MORVA_TRY(check_loop_inputs(in));
    if (n_oversample == 0) return err(PdsdmError{PdsdmError::Kind::ZeroOversample});
    if (!fits_in_memory(n_oversample, sizeof(double)))
        return err(out_of_memory("n_oversample", n_oversample));
    MORVA_ASSIGN(LoopRun run,
                 reserve_run(in.n_cycles, static_cast<std::uint64_t>(n_oversample) * sizeof(double)));

    const double period = 1.0 / in.f_drive;
    const double dt = period / static_cast<double>(n_oversample);
    std::vector<double> offsets;
    try {
        offsets.reserve(n_oversample);
    } catch (const std::bad_alloc&) {
        return err(out_of_memory("n_oversample", n_oversample));
    }
    for (std::size_t k = 0; k < n_oversample; ++k) offsets.push_back(static_cast<double>(k) * dt);
    const double amplitude = in.v_etf_pp * 0.5;
    const double phi_e = in.phi_etf * kDegToRad;
    const double omega = in.f_drive * kTwoPi;
    const double dac_step = in.i_dac * period / in.c_int;

    double v = in.vcm;
    std::int32_t bit = 0;
    StopCheck check(stop);
    for (std::size_t n = 0; n < in.n_cycles; ++n) {
        const double t = static_cast<double>(n) * period;
        const double phi_fb = (bit == 1 ? in.phi_dac_1 : in.phi_dac_0) * kDegToRad;
        double sum = 0.0;
        // The sub-points in blocks, in order, so that a long period can be
        // given up part-way too.
        for (std::size_t first = 0; first < n_oversample; first += StopCheck::kBlockWork) {
            const std::size_t end = first + std::min(StopCheck::kBlockWork, n_oversample - first);
            for (std::size_t k = first; k < end; ++k) {
                const double theta = (offsets[k] + t) * omega;
                const double etf_current = (amplitude * std::cos(phi_e + theta) + in.v_os_gm) * in.gm;
                // Square-wave demodulator; a zero or NaN sine counts as the low half.
                const double sign = std::sin(theta + phi_fb) < 0.0 ? 1.0 : -1.0;
                sum = sum + sign * etf_current;
            }
            if (check.after(end - first)) return err(PdsdmError{PdsdmError::Kind::Stopped});
        }
        v = v + (sum * dt / in.c_int + dac_step);
        bit = finish_cycle(run, v, t, in.vdd, in.vcm);
    }
    return run;
}

Result<std::vector<double>, PdsdmError> decimate_bitstream(std::span<const std::int32_t> bitstream,
                                                           std::size_t osr) {
    if (osr == 0) return err(PdsdmError{PdsdmError::Kind::ZeroOsr});
    const std::size_t n_out = bitstream.size() / osr;
    std::vector<double> out;
    try {
        out.reserve(n_out);
    } catch (const std::bad_alloc&) {
        return err(out_of_memory("bitstream length", bitstream.size()));
    }
    const double block = static_cast<double>(osr);
    for (std::size_t j = 0; j < n_out; ++j) {
        out.push_back(static_cast<double>(sum_bits(bitstream.subspan(j * osr, osr))) / block);
    }
    return out;
}

double bitstream_mean(std::span<const std::int32_t> bitstream) {
    return static_cast<double>(sum_bits(bitstream)) / static_cast<double>(bitstream.size());
}

double bs_to_phase(double bs_mean, double phi_dac_0, double phi_dac_1) {
    return bs_mean * (phi_dac_1 - phi_dac_0) + phi_dac_0;
}

Result<SarTrim, PdsdmError> run_sar_trim(double offset_current, double i_lsb, std::uint32_t n_bits) {
    MORVA_TRY(check_finite("offset_current", offset_current));
    MORVA_TRY(check_positive("i_lsb", i_lsb));
    if (n_bits > 32) return err(PdsdmError{PdsdmError::Kind::TooManyBits});
    const double full_scale = std::ldexp(1.0, static_cast<int>(n_bits));  // 2^n_bits, exact
    const double mid = full_scale * i_lsb * 0.5;
    const std::uint64_t max_code = (std::uint64_t{1} << n_bits) - 1;

    SarTrim trim{0, 0.0, {}};
    trim.history.reserve(n_bits);
    std::uint32_t code = 0;
    for (std::uint32_t bit = n_bits; bit-- > 0;) {
        const std::uint32_t trial = code | (std::uint32_t{1} << bit);
        const double trial_current = static_cast<double>(trial) * i_lsb - mid;
        const double residual = offset_current + trial_current;
        if (residual <= 0.0) code = trial;
        trim.history.push_back(SarStep{bit, trial, trial_current, residual});
    }
    double dac_current = static_cast<double>(code) * i_lsb - mid;

    // The search keeps the largest code whose residual is not positive; the
    // next code up wins when it leaves a strictly smaller residual.
    if (code < max_code) {
        const double up_current = static_cast<double>(code + 1) * i_lsb - mid;
        if (std::fabs(offset_current + dac_current) > std::fabs(offset_current + up_current)) {
            code = code + 1;
            dac_current = up_current;
        }
    }
    trim.code = code;
    trim.dac_current = dac_current;
    return trim;
}

}  // namespace morva::pdsdm
