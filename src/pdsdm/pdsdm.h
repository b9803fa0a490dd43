// Behavioural models of a phase-domain sigma-delta modulator (PDSDM) read-out
// and of the SAR search that trims its offset. Pure functions: no I/O, no
// state between calls, every input flows through float64 arithmetic as given
// (the operation order is fixed so that results reproduce bit for bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace morva::pdsdm {

// Why a model refused to run.
struct PdsdmError {
    enum class Kind {
        ZeroOversample,  // n_oversample = 0: a period has no sub-point
        ZeroOsr,         // osr = 0: no block length
        TooManyBits,     // n_bits > 32 does not fit the 32-bit code
        OutOfMemory,     // the results of `count` items cannot be allocated
        NotPositive,     // `value` of `argument` is zero, negative or not finite
        NotFinite,       // `value` of `argument` is NaN or infinite
        Stopped,         // the caller asked the run to stop (Ctrl-C)
    };
    Kind kind;
    const char* count_name = "";  // OutOfMemory: the argument that asked for too much
    std::uint64_t count = 0;
    const char* argument = "";  // NotPositive, NotFinite: the argument refused
    double value = 0.0;

    std::string text() const;
};

// Asked about every 100 ms of a long run whether to give it up; a run given
// up returns Kind::Stopped. Empty: never.
using StopRequested = std::function<bool()>;

// Inputs of one PDSDM run. Phases in degrees, SI units otherwise.
struct LoopInputs {
    double phi_etf;        // phase of the ETF signal
    double v_etf_pp;       // peak-to-peak ETF amplitude
    double f_drive;        // drive and clock frequency
    double gm;             // input transconductance
    double c_int;          // integrator capacitance
    std::size_t n_cycles;  // clock cycles to run
    double phi_dac_0;      // feedback phase after a 0 bit
    double phi_dac_1;      // feedback phase after a 1 bit
    double v_os_gm = 0.0;  // input-referred offset of the transconductor
    double i_dac = 0.0;    // constant DAC current added every cycle
    double vdd = 1.2;      // upper clamp of the integrator
    double vcm = 0.6;      // comparator threshold and initial integrator voltage
};

// One entry per clock cycle n: time n·T, integrator voltage at the end of the
// cycle, and the comparator bit (1 when that voltage exceeds vcm).
struct LoopRun {
    std::vector<double> time;
    std::vector<double> v_int;
    std::vector<std::int32_t> bitstream;
};

// Refuses inputs that describe no circuit: a capacitance, frequency,
// transconductance or supply that is not positive and finite, or a phase,
// amplitude, offset, current or threshold that is not finite.
Result<void, PdsdmError> check_loop_inputs(const LoopInputs& in);

// The loop with the closed-form coherent-detection current
// (2/π)·Gm·A·sin(φ_etf − φ_fb), one sample per cycle.
Result<LoopRun, PdsdmError> run_pdsdm(const LoopInputs& in, const StopRequested& stop = {});

// The loop with the demodulation integrated over `n_oversample` sub-points per
// period: the ETF cosine times a square wave at the feedback phase.
Result<LoopRun, PdsdmError> run_pdsdm_oversampled(const LoopInputs& in, std::size_t n_oversample,
                                                  const StopRequested& stop = {});

// Block means of `osr` consecutive bits; a trailing partial block is dropped.
Result<std::vector<double>, PdsdmError> decimate_bitstream(std::span<const std::int32_t> bitstream,
                                                           std::size_t osr);

// Mean of a bitstream (sum as a 64-bit integer over the length); NaN when empty.
double bitstream_mean(std::span<const std::int32_t> bitstream);

// Phase estimate in degrees: the bitstream mean mapped linearly from
// phi_dac_0 (mean 0) to phi_dac_1 (mean 1).
double bs_to_phase(double bs_mean, double phi_dac_0, double phi_dac_1);

// One trial of the SAR search, most significant bit first.
struct SarStep {
    std::uint32_t bit_index;
    std::uint32_t trial_code;
    double trial_current;
    double residual;

    bool operator==(const SarStep&) const = default;
};

struct SarTrim {
    std::uint32_t code;
    double dac_current;
    std::vector<SarStep> history;
};

// The DAC code (0 … 2^n_bits − 1, mid-scale at zero current) nearest to
// cancelling `offset_current`, the lower one on a tie. The offset must be
// finite and the step `i_lsb` positive and finite.
Result<SarTrim, PdsdmError> run_sar_trim(double offset_current, double i_lsb, std::uint32_t n_bits);

}  // namespace morva::pdsdm
