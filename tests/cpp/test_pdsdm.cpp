#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "pdsdm/pdsdm.h"

using namespace morva;
using pdsdm::PdsdmError;
using pdsdm::SarStep;

namespace {

pdsdm::LoopInputs loop(double phi_etf, std::size_t n_cycles, double phi_dac_0, double phi_dac_1) {
    pdsdm::LoopInputs in{};
    in.phi_etf = phi_etf;
    in.v_etf_pp = 0.1;
    in.f_drive = 1e6;
    in.gm = 1e-4;
    in.c_int = 1e-11;
    in.n_cycles = n_cycles;
    in.phi_dac_0 = phi_dac_0;
    in.phi_dac_1 = phi_dac_1;
    return in;
}

}  // namespace

TEST(PdsdmLoop, EmptyRunHasEmptyLists) {
    for (auto r : {pdsdm::run_pdsdm(loop(0.0, 0, 0.0, 180.0)),
                   pdsdm::run_pdsdm_oversampled(loop(0.0, 0, 0.0, 180.0), 10)}) {
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r->time.empty());
        EXPECT_TRUE(r->v_int.empty());
        EXPECT_TRUE(r->bitstream.empty());
    }
    EXPECT_TRUE(std::isnan(pdsdm::bitstream_mean({})));
}

TEST(PdsdmLoop, BalancedPhaseStaysAtThresholdWithZeroBits) {
    // Zero demodulated current: the integrator never leaves vcm, and a bit
    // needs v strictly above it.
    auto r = pdsdm::run_pdsdm(loop(25.0, 5, 25.0, 90.0));
    ASSERT_TRUE(r.ok());
    for (std::size_t n = 0; n < 5; ++n) {
        EXPECT_EQ(r->v_int[n], 0.6);
        EXPECT_EQ(r->bitstream[n], 0);
        EXPECT_EQ(r->time[n], static_cast<double>(n) * (1.0 / 1e6));
    }
}

TEST(PdsdmLoop, DacCurrentDrivesIntegratorToTheRails) {
    for (const double i_dac : {1.0, -1.0}) {
        auto in = loop(0.0, 20, 0.0, 180.0);
        in.i_dac = i_dac;
        for (auto r : {pdsdm::run_pdsdm(in), pdsdm::run_pdsdm_oversampled(in, 8)}) {
            ASSERT_TRUE(r.ok());
            for (std::size_t n = 0; n < 20; ++n) {
                EXPECT_EQ(r->v_int[n], i_dac > 0 ? 1.2 : 0.0);
                EXPECT_EQ(r->bitstream[n], i_dac > 0 ? 1 : 0);
            }
        }
    }
}

TEST(PdsdmLoop, NanIntegratorPassesClampWithZeroBit) {
    auto in = loop(0.0, 3, 0.0, 180.0);
    in.c_int = 0.0;  // 0 · T / 0
    auto r = pdsdm::run_pdsdm(in);
    ASSERT_TRUE(r.ok());
    for (std::size_t n = 0; n < 3; ++n) {
        EXPECT_TRUE(std::isnan(r->v_int[n]));
        EXPECT_EQ(r->bitstream[n], 0);
    }
}

TEST(PdsdmLoop, RefusesWhatCannotRunOrFit) {
    auto zero = pdsdm::run_pdsdm_oversampled(loop(0.0, 4, 0.0, 180.0), 0);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().text(), "n_oversample must be >= 1");

    const std::size_t huge = std::size_t{1} << 62;
    auto cycles = pdsdm::run_pdsdm(loop(0.0, huge, 0.0, 180.0));
    ASSERT_FALSE(cycles.ok());
    EXPECT_EQ(cycles.error().kind, PdsdmError::Kind::OutOfMemory);
    EXPECT_EQ(cycles.error().text(), "n_cycles = 4611686018427387904 is too large to allocate");
    auto max_cycles = pdsdm::run_pdsdm(loop(0.0, std::numeric_limits<std::size_t>::max(), 0.0, 180.0));
    ASSERT_FALSE(max_cycles.ok());
    EXPECT_EQ(max_cycles.error().kind, PdsdmError::Kind::OutOfMemory);

    auto sub = pdsdm::run_pdsdm_oversampled(loop(0.0, 4, 0.0, 180.0), huge);
    ASSERT_FALSE(sub.ok());
    EXPECT_EQ(sub.error().text(), "n_oversample = 4611686018427387904 is too large to allocate");
}

TEST(Decimation, BlockMeansDropTheTail) {
    const std::vector<std::int32_t> bits{1, 0, 1, 1, 0};
    EXPECT_EQ(*pdsdm::decimate_bitstream(bits, 2), (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(*pdsdm::decimate_bitstream(bits, 5), (std::vector<double>{0.6}));
    EXPECT_TRUE(pdsdm::decimate_bitstream(bits, 6)->empty());
    EXPECT_EQ(*pdsdm::decimate_bitstream(std::vector<std::int32_t>{-1, 3}, 2), (std::vector<double>{1.0}));
    // Block sums are 64-bit: two extreme values do not overflow.
    const std::int32_t big = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(*pdsdm::decimate_bitstream(std::vector<std::int32_t>{big, big}, 2), (std::vector<double>{big}));
    auto zero = pdsdm::decimate_bitstream(bits, 0);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().text(), "osr must be >= 1");
}

TEST(Decimation, PhaseFromMean) {
    EXPECT_EQ(pdsdm::bs_to_phase(0.5, 10.0, 30.0), 20.0);
    EXPECT_EQ(pdsdm::bs_to_phase(0.0, 10.0, 30.0), 10.0);
    EXPECT_EQ(pdsdm::bs_to_phase(1.0, 10.0, 30.0), 30.0);
    EXPECT_EQ(pdsdm::bs_to_phase(0.25, -90.0, 90.0), -45.0);
}

TEST(SarTrim, TwoBitWalkThrough) {
    auto r = pdsdm::run_sar_trim(0.0, 1.0, 2);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->code, 2u);
    EXPECT_EQ(r->dac_current, 0.0);
    EXPECT_EQ(r->history, (std::vector<SarStep>{{1, 2, 0.0, 0.0}, {0, 3, 1.0, 1.0}}));
}

TEST(SarTrim, ZeroBitsIsMidScaleOfNothing) {
    auto r = pdsdm::run_sar_trim(0.3, 2.0, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->code, 0u);
    EXPECT_EQ(r->dac_current, -1.0);
    EXPECT_TRUE(r->history.empty());
}

TEST(SarTrim, NearestCodeStepAfterSearch) {
    // Every trial (down to code 1) leaves a positive residual: the search ends
    // at 0 (residual -0.7), and code 1 leaves the smaller one (0.3).
    auto high = pdsdm::run_sar_trim(7.3, 1.0, 4);
    ASSERT_TRUE(high.ok());
    EXPECT_EQ(high->code, 1u);
    EXPECT_EQ(high->dac_current, -7.0);
    for (const SarStep& s : high->history) EXPECT_GT(s.residual, 0.0);

    // Offset -2.6 in LSB: the search keeps code 10 (residual -0.6), the next
    // code leaves 0.4, which is nearer.
    auto up = pdsdm::run_sar_trim(-2.6, 1.0, 4);
    ASSERT_TRUE(up.ok());
    EXPECT_EQ(up->code, 11u);
    EXPECT_EQ(up->dac_current, 3.0);
    // On a tie the lower code stays.
    auto tie = pdsdm::run_sar_trim(-2.5, 1.0, 4);
    ASSERT_TRUE(tie.ok());
    EXPECT_EQ(tie->code, 10u);
}

TEST(SarTrim, NanOffsetKeepsCodeZero) {
    auto r = pdsdm::run_sar_trim(std::nan(""), 1.0, 3);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->code, 0u);
    EXPECT_EQ(r->dac_current, -4.0);
    EXPECT_EQ(r->history.size(), 3u);
}

TEST(SarTrim, ThirtyTwoBitsUseTheWholeCode) {
    auto low = pdsdm::run_sar_trim(-1e12, 1.0, 32);  // below full scale: every trial accepted
    ASSERT_TRUE(low.ok());
    EXPECT_EQ(low->code, 4294967295u);
    EXPECT_EQ(low->dac_current, 2147483647.0);
    ASSERT_EQ(low->history.size(), 32u);
    EXPECT_EQ(low->history.front().bit_index, 31u);
    EXPECT_EQ(low->history.front().trial_code, 2147483648u);
    EXPECT_EQ(low->history.front().trial_current, 0.0);  // mid = 2^31 · i_lsb
    EXPECT_EQ(low->history.back().bit_index, 0u);

    auto near_top = pdsdm::run_sar_trim(-2147483645.7, 1.0, 32);
    ASSERT_TRUE(near_top.ok());
    EXPECT_EQ(near_top->code, 4294967294u);  // nearest-code step from 4294967293

    auto refused = pdsdm::run_sar_trim(0.0, 1.0, 33);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().text(), "n_bits must be <= 32");
}
