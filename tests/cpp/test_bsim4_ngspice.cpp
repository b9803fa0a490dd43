// The native evaluator against ngspice 39.3 on the same cards.
#include "test_bsim4_support.h"

using namespace bsim4_test;
using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::UniqueInstance;

namespace {

// Sweeps start at 0 V so that the zero points are exact (ngspice accumulates its steps).
const std::vector<double> kVbs = {-1.2, -0.6, 0.0, 0.3};
const std::vector<Sweep> kDefaultGrid = {
    {0.0, 1.5, 0.1, 0.0, 1.2, 0.1, kVbs},      {0.0, 1.5, 0.1, 0.0, -1.2, -0.1, kVbs},
    {0.0, -0.3, -0.1, 0.0, 1.2, 0.2, kVbs},    {0.0, -0.3, -0.1, 0.0, -1.2, -0.2, kVbs},
    {0.0, 1.5, 0.3, 1e-6, -1e-6, -2e-6, kVbs},
};

void expect_agreement(const Card& card, const Device& dev, const std::vector<Sweep>& grid, double temp_c,
                      const std::string& label, Tolerances tol = {}) {
    auto model = Bsim4Model::from_params(card.type, card.params);
    ASSERT_TRUE(model);
    UniqueInstance inst(bsim4_instance_alloc(model->handle(), dev.nf, dev.w, dev.l));
    ASSERT_TRUE(inst);
    for (const auto& [name, value] : dev.inst) bsim4_instance_set_inst_param(inst.get(), name.c_str(), value);
    ASSERT_EQ(bsim4_instance_setup(inst.get()), 0);
    const auto points = ngspice_sweeps(card, dev, grid, temp_c);
    compare_with_ngspice(inst.get(), card.sign(), points, temp_c, label, tol);
}

}  // namespace

TEST(Bsim4Ngspice, DefaultsOnlyCards) {
    if (!ngspice_available()) GTEST_SKIP() << "ngspice not installed";
    for (const char* type : {"nmos", "pmos"}) {
        SCOPED_TRACE(type);
        expect_agreement({type, {}}, {}, kDefaultGrid, 27.0, type);
    }
}

namespace {

// Geometries of the sample cards' test specification.
const std::vector<std::pair<double, double>> kSampleSizes = {
    {10e-6, 0.06e-6}, {10e-6, 0.1e-6},   {10e-6, 0.24e-6}, {1e-6, 0.06e-6},  {1e-6, 0.1e-6},
    {1e-6, 0.24e-6},  {0.6e-6, 0.06e-6}, {0.6e-6, 0.1e-6}, {0.6e-6, 0.24e-6}};

const std::vector<Sweep> kSampleGrid = {
    {0.0, 1.2, 0.1, 0.0, 1.2, 0.1, {-0.2, 0.0, 0.3}},
    {0.0, 1.2, 0.2, 0.0, -1.2, -0.2, {-0.2, 0.0}},
};

// The sample card as ngspice should see it: gate and body resistance networks off (the
// evaluator collapses those nodes; they change no intrinsic equation).
std::optional<Card> comparable_sample(const std::string& type) {
    auto card = sample_card(type);
    if (!card) return card;
    set_param(card->params, "rbodymod", 0);
    set_param(card->params, "rgatemod", 0);
    return card;
}

}  // namespace

TEST(Bsim4Ngspice, SampleCardsAtThreeTemperatures) {
    if (!ngspice_available()) GTEST_SKIP() << "ngspice not installed";
    for (const char* type : {"nmos", "pmos"}) {
        auto card = comparable_sample(type);
        if (!card) GTEST_SKIP() << "sample cards not available";
        for (double temp : {-50.0, 27.0, 150.0}) {
            for (const auto& [w, l] : kSampleSizes) {
                const std::string label =
                    std::string(type) + " T=" + number(temp) + " W=" + number(w) + " L=" + number(l);
                SCOPED_TRACE(label);
                expect_agreement(*card, {w, l, 1, {}}, kSampleGrid, temp, label);
            }
        }
    }
}
