// The flat evaluator interface and the model wrapper: lifecycle, failure codes, temperatures,
// instances sharing a model, threads.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bsim4/native.h"
#include "bsim4_model/bsim4.h"
#include "bsim4_model/model.h"
#include "test_bsim4_support.h"

using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::ParamList;
using morva::bsim4::native::UniqueInstance;

namespace {

constexpr double kRoom = 300.15;

bool same(const Bsim4DcResults& a, const Bsim4DcResults& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Bsim4DcResults eval(Bsim4InstanceHandle inst, double vgs, double vds, double vbs, double temp = kRoom) {
    Bsim4DcResults r{};
    EXPECT_EQ(bsim4_eval_dc(inst, &r, vgs, vds, vbs, temp), BSIM4_OK);
    return r;
}

const ParamList kCard = {{"toxe", 2e-9}, {"vth0", 0.4}, {"k1", 0.5}, {"k2", -0.02}, {"u0", 0.03},
                         {"vsat", 1e5},  {"a2", 2.0},   {"a1", 0.1}, {"rdsw", 150}, {"jsws", 1e-10}};

}  // namespace

TEST(Bsim4Eval, NullHandlesAndBadArguments) {
    Bsim4DcResults r{};
    EXPECT_EQ(bsim4_eval_dc(nullptr, &r, 1, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc_intrinsic(nullptr, &r, 1, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_instance_setup(nullptr), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_instance_alloc(nullptr, 1, 1e-6, 1e-6), nullptr);
    EXPECT_EQ(bsim4_instance_create(nullptr, 1, 1e-6, 1e-6), nullptr);
    bsim4_instance_free(nullptr);
    bsim4_model_free(nullptr);
    bsim4_model_set_type(nullptr, "pmos");

    auto model = Bsim4Model::from_params("nmos", {});
    ASSERT_TRUE(model);
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    ASSERT_TRUE(inst);
    EXPECT_EQ(bsim4_eval_dc(inst.get(), nullptr, 1, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    for (double temp : {0.0, -10.0, nan, inf})
        EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, 1, 1, 0, temp), BSIM4_ERR_ARGUMENT) << temp;
    EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, nan, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, 1, inf, 0, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, 1, 1, -inf, kRoom), BSIM4_ERR_ARGUMENT);

    // An instance that was never set up cannot be evaluated.
    Bsim4InstanceHandle raw = bsim4_instance_alloc(model->handle(), 1, 1e-6, 1e-6);
    EXPECT_EQ(bsim4_eval_dc(raw, &r, 1, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    bsim4_instance_free(raw);
}

TEST(Bsim4Eval, ZeroBiasIsEvaluatedAtZeroBias) {
    for (const char* type : {"nmos", "pmos"}) {
        auto model = Bsim4Model::from_params(type, kCard);
        UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.18e-6));
        const Bsim4DcResults r = eval(inst.get(), 0.0, 0.0, 0.0);
        EXPECT_EQ(r.ids, 0.0) << type;
        EXPECT_EQ(r.gm, 0.0);
        EXPECT_GT(r.gds, 0.0);
        EXPECT_EQ(r.cbs, 0.0);
        // Any nonzero component is evaluated where it is.
        EXPECT_NE(eval(inst.get(), 1e-300, 0.0, 0.0).gds, 0.0);
    }
}

TEST(Bsim4Eval, OrientationAndFingers) {
    auto model = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance one(bsim4_instance_create(model->handle(), 1, 1e-6, 0.2e-6));
    UniqueInstance three(bsim4_instance_create(model->handle(), 3, 3e-6, 0.2e-6));
    // Reverse orientation: the swapped device, current still reported positive.
    const Bsim4DcResults fwd = eval(one.get(), 1.0 + 0.5, 0.5, -0.3 + 0.5);
    const Bsim4DcResults rev = eval(one.get(), 1.0, -0.5, -0.3);
    EXPECT_GT(rev.ids, 0.0);
    EXPECT_NEAR(rev.ids, fwd.ids, 1e-12 * fwd.ids);
    EXPECT_NEAR(rev.vth, fwd.vth, 1e-15);
    // Three fingers of the same finger width: three times the current, the same voltages.
    const Bsim4DcResults a = eval(one.get(), 1.0, 0.8, -0.2);
    const Bsim4DcResults b = eval(three.get(), 1.0, 0.8, -0.2);
    EXPECT_NEAR(b.ids, 3 * a.ids, 1e-12 * a.ids);
    EXPECT_NEAR(b.gm, 3 * a.gm, 1e-12 * a.gm);
    EXPECT_NEAR(b.gds, 3 * a.gds, 1e-12 * a.gds);
    EXPECT_NEAR(b.vth, a.vth, 1e-15);
    EXPECT_NEAR(b.vdsat, a.vdsat, 1e-15);
    // A finger count below one counts as one.
    for (int nf : {0, -4}) {
        UniqueInstance z(bsim4_instance_create(model->handle(), nf, 1e-6, 0.2e-6));
        ASSERT_TRUE(z);
        EXPECT_EQ(z->nf, 1.0);
        EXPECT_TRUE(same(eval(z.get(), 1.0, 0.8, -0.2), a));
    }
}

// gm, gds and gmbs are compared with ngspice's over whole grids (test_bsim4_ngspice.cpp).

TEST(Bsim4Eval, TemperatureUpdatesAndBlockRebuild) {
    auto model = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.18e-6));
    auto& m = *model->handle();
    EXPECT_EQ(m.t.temp, kRoom);
    eval(inst.get(), 1, 1, 0, kRoom + 0.0005);
    EXPECT_EQ(m.t.temp, kRoom);  // within 1e-3 K: the last update stands
    eval(inst.get(), 1, 1, 0, kRoom + 0.002);
    EXPECT_EQ(m.t.temp, kRoom + 0.002);

    // At another temperature the size blocks are rebuilt, so the result does not depend on the
    // temperature the instance was set up at.
    const Bsim4DcResults hot = eval(inst.get(), 1.0, 1.0, 0.0, 350.0);
    auto fresh = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance other(bsim4_instance_create(fresh->handle(), 1, 1e-6, 0.18e-6));
    eval(other.get(), 0.3, 0.3, 0.0, 250.0);
    EXPECT_TRUE(same(eval(other.get(), 1.0, 1.0, 0.0, 350.0), hot));
    EXPECT_FALSE(same(eval(other.get(), 1.0, 1.0, 0.0, kRoom), hot));
    // Back at 300.15 K the results are those of the set-up temperature again.
    EXPECT_TRUE(same(eval(other.get(), 1.0, 1.0, 0.0, kRoom), eval(inst.get(), 1.0, 1.0, 0.0, kRoom)));
}

// The circuit's temperatures (a kit's .temp and .options tnom): instances are set up, and their
// checks run, at the circuit's temperature, and a card without tnom takes the circuit's TNOM.
TEST(Bsim4Eval, CircuitTemperatures) {
    using morva::bsim4::native::Temperatures;
    const double hot = 398.15, nominal = 323.15;
    const auto ids_at = [&](const ParamList& card, const Temperatures& t, std::string* problem = nullptr) {
        auto model = Bsim4Model::from_params("nmos", card, t);
        EXPECT_TRUE(model);
        UniqueInstance inst(model->instance_with_params({}, 1e-6, 0.18e-6, problem));
        return inst ? std::optional(eval(inst.get(), 1.0, 1.0, 0.0, hot)) : std::nullopt;
    };
    // Evaluated at the same temperature, an instance set up at another gives the same values.
    const auto set_up_hot = ids_at(kCard, {hot, kRoom});
    ASSERT_TRUE(set_up_hot);
    EXPECT_TRUE(same(*set_up_hot, *ids_at(kCard, {})));
    // The circuit's TNOM is the card's tnom when the card gives none.
    ParamList with_tnom = kCard;
    with_tnom.emplace_back("tnom", nominal - 273.15);
    const auto circuit_tnom = ids_at(kCard, {hot, nominal});
    EXPECT_TRUE(same(*circuit_tnom, *ids_at(with_tnom, {})));
    EXPECT_TRUE(same(*ids_at(with_tnom, {hot, kRoom}), *circuit_tnom));
    EXPECT_FALSE(same(*circuit_tnom, *set_up_hot));
    // Checks run at the set-up temperature: vsat - at (T/Tnom - 1) turns negative above about 1200 K.
    ParamList fast_falling = kCard;
    fast_falling.emplace_back("at", 3.3e4);
    std::string problem;
    EXPECT_TRUE(ids_at(fast_falling, {}, &problem));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ids_at(fast_falling, {1500.0, kRoom}, &problem));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(problem.rfind("Vsat at current temperature = ", 0), 0u) << problem;

    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto model = Bsim4Model::from_params("nmos", kCard);
    for (const auto& [temp, tnom] : {std::pair{0.0, kRoom}, {kRoom, -1.0}, {nan, kRoom}, {kRoom, nan}})
        EXPECT_EQ(bsim4_model_set_temperatures(model->handle(), temp, tnom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_model_set_temperatures(nullptr, kRoom, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_FALSE(Bsim4Model::from_params("nmos", kCard, {-1.0, kRoom}));
    EXPECT_EQ(Temperatures::from_celsius(125.0, std::nullopt).temp_k, 125.0 + 273.15);
    EXPECT_EQ(Temperatures::celsius_problem(-300.0, std::nullopt),
              "temperature -300 °C is not above absolute zero");
    EXPECT_EQ(Temperatures::celsius_problem(27.0, -273.15),
              "nominal temperature -273.15 °C is not above absolute zero");
    EXPECT_EQ(Temperatures::celsius_problem(-273.0, std::nullopt), std::nullopt);
    EXPECT_EQ(Temperatures::celsius_problem(HUGE_VAL, std::nullopt),
              "temperature inf °C is not a finite number");
}

TEST(Bsim4Eval, InstancesSharingAModel) {
    auto model = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance a(bsim4_instance_create(model->handle(), 1, 1e-6, 0.18e-6));
    const Bsim4DcResults ra = eval(a.get(), 1.0, 1.0, -0.5);
    UniqueInstance b(bsim4_instance_create(model->handle(), 1, 1e-6, 0.18e-6));
    UniqueInstance c(bsim4_instance_create(model->handle(), 2, 2e-6, 0.36e-6));
    UniqueInstance d(bsim4_instance_create(model->handle(), 1, std::nextafter(1e-6, 1.0), 0.18e-6));
    EXPECT_EQ(a->size, b->size);  // equal (L, W, NF) share a block
    EXPECT_NE(a->size, d->size);  // a width one ulp apart does not
    EXPECT_TRUE(same(eval(b.get(), 1.0, 1.0, -0.5), ra));
    eval(c.get(), 0.5, -0.2, 0.1);
    EXPECT_TRUE(same(eval(a.get(), 1.0, 1.0, -0.5), ra));
    a.reset();
    EXPECT_TRUE(same(eval(b.get(), 1.0, 1.0, -0.5), ra));
    b.reset();
    c.reset();
    d.reset();
    EXPECT_TRUE(model->handle()->sizes.empty());  // the last instance took the blocks with it
}

TEST(Bsim4Eval, TwoModelsFromOneCardAgree) {
    // a2 = 2 is corrected by the parameter checks: both models must get the correction.
    auto m1 = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance i1(bsim4_instance_create(m1->handle(), 1, 1e-6, 0.18e-6));
    auto m2 = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance i2(bsim4_instance_create(m2->handle(), 1, 1e-6, 0.18e-6));
    EXPECT_EQ(i1->size->b.a2, 1.0);
    EXPECT_EQ(i2->size->b.a2, 1.0);
    EXPECT_EQ(i2->size->b.a1, 0.0);
    for (double vds : {-1.0, 0.0, 0.05, 1.2})
        EXPECT_TRUE(same(eval(i1.get(), 1.1, vds, -0.4), eval(i2.get(), 1.1, vds, -0.4))) << vds;
}

TEST(Bsim4Eval, FatalChecksFailInstanceCreation) {
    ParamList card = kCard;
    card.emplace_back("toxe", 0.0);
    auto model = Bsim4Model::from_params("nmos", card);
    testing::internal::CaptureStderr();
    EXPECT_EQ(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6), nullptr);
    EXPECT_EQ(model->instance_with_params({}, 1e-6, 1e-6), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Fatal error(s) detected"), std::string::npos);
    EXPECT_EQ(model->handle()->instances, nullptr);

    auto good = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance ok(bsim4_instance_create(good->handle(), 1, 1e-6, 1e-6));
    ASSERT_TRUE(ok);
    testing::internal::CaptureStderr();
    // Effective sizes <= 0: length, width, and the C-V length through dlc.
    EXPECT_EQ(bsim4_instance_create(good->handle(), 1, 1e-6, 0.0), nullptr);
    EXPECT_EQ(bsim4_instance_create(good->handle(), 1, -1e-6, 1e-6), nullptr);
    Bsim4InstanceHandle bad = bsim4_instance_alloc(good->handle(), 1, 1e-6, -5e-9);
    EXPECT_EQ(bsim4_instance_setup(bad), BSIM4_ERR_BAD_PARAMETER);
    Bsim4DcResults r{};
    r.ids = 42;
    EXPECT_EQ(bsim4_eval_dc(bad, &r, 1, 1, 0, kRoom), BSIM4_ERR_BAD_PARAMETER);
    EXPECT_EQ(bsim4_eval_dc(bad, &r, 1, 1, 0, 350.0), BSIM4_ERR_BAD_PARAMETER);
    EXPECT_EQ(r.ids, 42);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("BSIM4: BSIM4: mosfet m0, model bsim4_standalone: Effective channel length <= 0"),
              std::string::npos);
    EXPECT_NE(err.find("Effective channel width <= 0"), std::string::npos);
    // The good instance is unaffected by its failing neighbour, at any temperature.
    EXPECT_EQ(bsim4_eval_dc(ok.get(), &r, 1, 1, 0, 350.0), BSIM4_OK);
    bsim4_instance_free(bad);
}

// A failed setup says which check failed, in BSIM4's words (ngspice prints "Fatal: " before them).
TEST(Bsim4Eval, FailedSetupsNameTheirCheck) {
    testing::internal::CaptureStderr();
    const struct {
        ParamList card, instance;
        double l;
        const char* problem;
    } cases[] = {
        {{{"toxe", 0.0}}, {}, 1e-6, "Toxe = 0 is not positive"},
        {{}, {{"mulu0", 0.0}}, 1e-6, "u0 at current temperature = 0 is not positive"},
        {{}, {{"mulu0", -1.0}}, 1e-6, "u0 at current temperature = -0.03 is not positive"},
        {{{"saref", 0.0}}, {{"sa", 1e-6}, {"sb", 1e-6}}, 1e-6, "SAref = 0 is not positive"},
        {{}, {}, -5e-9, "Effective channel length <= 0"},
        {{}, {}, 1e-6, ""},
    };
    for (const auto& c : cases) {
        ParamList card = kCard;
        card.insert(card.end(), c.card.begin(), c.card.end());
        auto model = Bsim4Model::from_params("nmos", card);
        std::string problem = "unset";
        UniqueInstance inst(model->instance_with_params(c.instance, 1e-6, c.l, &problem));
        EXPECT_EQ(inst == nullptr, *c.problem != '\0') << c.problem;
        EXPECT_EQ(problem, c.problem);
    }
    EXPECT_STREQ(bsim4_instance_problem(nullptr), "");
    testing::internal::GetCapturedStderr();
}

// Stress terms are summed finger by finger: a finger count ngspice never ends summing fails the
// setup at once, and any finite count is handled without undefined behaviour.
TEST(Bsim4Eval, HugeFingerCountsEndWell) {
    testing::internal::CaptureStderr();
    const double inf = std::numeric_limits<double>::infinity();
    const ParamList stress = {{"sa", 1e-6}, {"sb", 1e-6}, {"sd", 1e-6}};
    for (double nf : {2147483647.5, 3e9, 1e19, 1e300, inf}) {
        auto model = Bsim4Model::from_params("nmos", kCard);
        ParamList params = stress;
        params.emplace_back("nf", nf);
        std::string problem;
        EXPECT_EQ(model->instance_with_params(params, 1e-6, 1e-6, &problem), nullptr) << nf;
        EXPECT_TRUE(problem.starts_with("Number of finger = ")) << problem;
        EXPECT_NE(problem.find("with SA, SB, SD given is above 2147483647"), std::string::npos) << problem;
    }
    // Without sd several fingers sum no stress terms: ngspice evaluates such a device (its
    // diffusions then split by the fingers' parity, even for any count above 2^53).
    for (double nf : {3e9, 1e19, 1e300}) {
        auto model = Bsim4Model::from_params("nmos", kCard);
        UniqueInstance inst(
            model->instance_with_params({{"sa", 1e-6}, {"sb", 1e-6}, {"nf", nf}}, 1e-6, 1e-6));
        if (!inst) continue;  // an effective width below resolution may fail a check: no matter
        Bsim4DcResults r{};
        const int code = bsim4_eval_dc(inst.get(), &r, 1.0, 1.0, 0.0, kRoom);
        EXPECT_TRUE(code == BSIM4_OK || code == BSIM4_ERR_NOT_FINITE) << nf << ": " << code;
    }
    testing::internal::GetCapturedStderr();
}

TEST(Bsim4Eval, NonFiniteOutputsAreReported) {
    // diomod 0 has no exponential limit: a strongly forward junction overflows.
    ParamList card = kCard;
    card.emplace_back("diomod", 0);
    auto model = Bsim4Model::from_params("nmos", card);
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    Bsim4DcResults r{};
    r.ids = 7;
    EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, 1.0, 1.0, 40.0, kRoom), BSIM4_ERR_NOT_FINITE);
    EXPECT_EQ(r.ids, 7);
    EXPECT_EQ(bsim4_eval_dc(inst.get(), &r, 1.0, 1.0, 0.3, kRoom), BSIM4_OK);
}

TEST(Bsim4Eval, ModelFreedBeforeItsInstances) {
    Bsim4ModelHandle m = bsim4_model_new();
    Bsim4InstanceHandle a = bsim4_instance_create(m, 1, 1e-6, 1e-6);
    Bsim4InstanceHandle b = bsim4_instance_create(m, 1, 2e-6, 1e-6);
    bsim4_model_free(m);
    Bsim4DcResults r{};
    EXPECT_EQ(bsim4_eval_dc(a, &r, 1, 1, 0, kRoom), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_instance_setup(b), BSIM4_ERR_ARGUMENT);
    bsim4_instance_free(b);
    bsim4_instance_free(a);
}

TEST(Bsim4Eval, RepeatedSetupsWithSelectorsOn) {
    ParamList card = kCard;
    card.emplace_back("trnqsmod", 1);
    card.emplace_back("rgatemod", 3);
    card.emplace_back("rbodymod", 2);
    auto model = Bsim4Model::from_params("nmos", card);
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    UniqueInstance other(bsim4_instance_create(model->handle(), 2, 1e-6, 1e-6));
    const Bsim4DcResults first = eval(inst.get(), 1, 1, 0);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(bsim4_instance_setup(inst.get()), BSIM4_OK);
    EXPECT_TRUE(same(eval(inst.get(), 1, 1, 0), first));
}

TEST(Bsim4Eval, ParameterChangesTakeEffectAtSetup) {
    auto model = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    const Bsim4DcResults before = eval(inst.get(), 1, 1, 0);
    bsim4_model_set_double_param(model->handle(), "vth0", 0.5);
    ASSERT_EQ(bsim4_instance_setup(inst.get()), BSIM4_OK);
    EXPECT_NEAR(eval(inst.get(), 1, 1, 0).vth - before.vth, 0.1, 1e-12);
}

TEST(Bsim4Eval, DistinctModelsOnDistinctThreads) {
    const std::vector<double> vgs = {0.2, 0.6, 1.0, 1.4};
    auto run = [&](std::vector<Bsim4DcResults>& out, double temp) {
        auto model = Bsim4Model::from_params("nmos", kCard);
        UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.1e-6));
        for (int rep = 0; rep < 200; ++rep)
            for (double g : vgs)
                for (double d = -1.0; d <= 1.0; d += 0.25) {
                    Bsim4DcResults r{};
                    bsim4_eval_dc(inst.get(), &r, g, d, -0.2, temp + (rep % 2));
                    if (rep == 0) out.push_back(r);
                }
    };
    std::vector<Bsim4DcResults> expected;
    run(expected, kRoom);
    std::vector<std::vector<Bsim4DcResults>> got(4);
    std::vector<std::thread> threads;
    for (auto& g : got) threads.emplace_back([&] { run(g, kRoom); });
    for (auto& t : threads) t.join();
    for (const auto& g : got) {
        ASSERT_EQ(g.size(), expected.size());
        for (std::size_t i = 0; i < g.size(); ++i) EXPECT_TRUE(same(g[i], expected[i]));
    }
}

TEST(Bsim4Eval, OneModelFromSeveralThreads) {
    auto model = Bsim4Model::from_params("nmos", kCard);
    UniqueInstance a(bsim4_instance_create(model->handle(), 1, 1e-6, 0.1e-6));
    UniqueInstance b(bsim4_instance_create(model->handle(), 1, 2e-6, 0.1e-6));
    const Bsim4DcResults ra = eval(a.get(), 1, 1, 0), rb = eval(b.get(), 0.8, 0.5, -0.1, 320.0);
    std::thread ta([&] {
        for (int i = 0; i < 2000; ++i) EXPECT_TRUE(same(eval(a.get(), 1, 1, 0), ra));
    });
    std::thread tb([&] {
        for (int i = 0; i < 2000; ++i) EXPECT_TRUE(same(eval(b.get(), 0.8, 0.5, -0.1, 320.0), rb));
    });
    ta.join();
    tb.join();
}

TEST(Bsim4Wrapper, FromParams) {
    auto p = Bsim4Model::from_params("pmos", {});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->handle()->type, -1);
    EXPECT_FALSE(p->handle()->given.vth0);
    UniqueInstance ip(p->instance_with_params({}, 1e-6, 1e-6));
    ASSERT_TRUE(ip);
    EXPECT_EQ(p->handle()->p.u0, 0.025);
    EXPECT_EQ(p->handle()->p.k3, 80.0);

    auto n = Bsim4Model::from_params(
        "nfet", {{"LEVEL", 54}, {"level", 54}, {"w", 1e-6}, {"vth0", 0.3}, {"vth0", 0.45}});
    EXPECT_EQ(n->handle()->type, 1);
    EXPECT_EQ(n->handle()->p.vth0, 0.45);
    EXPECT_EQ(Bsim4Model::from_params("P", {})->handle()->type, -1);
    EXPECT_FALSE(Bsim4Model::from_params(std::string_view("nmos\0x", 6), {}));
    auto skipped = Bsim4Model::from_params("nmos", {{std::string("vth0\0", 5), 0.9}, {"k1", 0.4}});
    EXPECT_FALSE(skipped->handle()->given.vth0);
    EXPECT_EQ(skipped->handle()->p.k1, 0.4);

    UniqueInstance inst(
        n->instance_with_params({{"w", 5e-6}, {"nrs", 4}, {"SA", 1e-6}, {"bogus", 1}}, 1e-6, 0.5e-6));
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->w, 1e-6);
    EXPECT_EQ(inst->nf, 1.0);
    EXPECT_EQ(inst->nrs, 4.0);
    EXPECT_EQ(inst->sa, 1e-6);
}

TEST(Bsim4Eval, SeriesResistanceLoop) {
    auto model = Bsim4Model::from_params("nmos", {{"rdsmod", 1}});
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.1e-6));
    // vds = 0 carries no current; reverse bias is the mirror of forward bias with the resistances
    // exchanged (rsw = rdw here), so the currents agree.
    Bsim4DcResults zero = eval(inst.get(), 1.2, 0.0, -0.3);
    EXPECT_EQ(zero.ids, 0.0);
    EXPECT_GT(zero.rs, 0.0);
    const Bsim4DcResults fwd = eval(inst.get(), 1.2, 0.8, 0.0);
    const Bsim4DcResults rev = eval(inst.get(), 1.2 - 0.8, -0.8, -0.8);
    EXPECT_NEAR(rev.ids, fwd.ids, 1e-5 * fwd.ids);
    EXPECT_NEAR(rev.rs, fwd.rd, 1e-4 * fwd.rd);
    Bsim4DcResults intrinsic{};
    ASSERT_EQ(bsim4_eval_dc_intrinsic(inst.get(), &intrinsic, 1.2, 0.8, 0.0, kRoom), BSIM4_OK);
    EXPECT_GT(intrinsic.ids, fwd.ids);  // the drops lower the current
    EXPECT_GT(intrinsic.rs, 0.0);
    // Tiny drain-source voltages never cross zero.
    EXPECT_GT(eval(inst.get(), 1.5, 1e-9, 0.0).ids, 0.0);
    EXPECT_LT(eval(inst.get(), 1.5, -1e-9, 0.0).ids, 1e-3);

    // Resistances so large that the damped loop cannot settle: a code of its own, record untouched.
    auto huge = Bsim4Model::from_params("nmos", {{"rdsmod", 1}, {"rsw", 1e7}, {"rdw", 1e7}});
    UniqueInstance h(bsim4_instance_create(huge->handle(), 1, 10e-6, 0.1e-6));
    Bsim4DcResults r{};
    r.ids = 5;
    EXPECT_EQ(bsim4_eval_dc(h.get(), &r, 1.5, 1.0, 0.0, kRoom), BSIM4_ERR_NO_CONVERGENCE);
    EXPECT_EQ(r.ids, 5);
    EXPECT_EQ(bsim4_eval_dc_intrinsic(h.get(), &r, 1.5, 1.0, 0.0, kRoom), BSIM4_OK);
}

TEST(Bsim4Eval, CorrectionsAndChecksOfTheTemperatureUpdate) {
    auto model =
        Bsim4Model::from_params("nmos", {{"pbs", 0.05}, {"cjsws", -1e-10}, {"u0", 400}, {"lu0", 0.0}});
    testing::internal::CaptureStderr();
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(inst);
    EXPECT_NE(err.find("Given pbs is less than 0.1. Pbs is set to 0.1.\n"), std::string::npos);
    EXPECT_NE(err.find("CJSWS is negative. Cjsws is clamped to zero.\n"), std::string::npos);
    EXPECT_EQ(model->handle()->p.pbs, 0.1);
    EXPECT_EQ(model->handle()->p.cjsws, 0.0);
    EXPECT_EQ(inst->size->b.u0, 0.04);  // a u0 above 1 is in cm^2/Vs
    auto small = Bsim4Model::from_params("nmos", {{"u0", 0.04}});
    UniqueInstance si(bsim4_instance_create(small->handle(), 1, 1e-6, 1e-6));
    EXPECT_EQ(si->size->b.u0, 0.04);

    // Fatal checks, every model on its own.
    auto fails = [](const ParamList& card) {
        auto m = Bsim4Model::from_params("nmos", card);
        testing::internal::CaptureStderr();
        Bsim4InstanceHandle i = bsim4_instance_create(m->handle(), 1, 1e-6, 1e-6);
        testing::internal::GetCapturedStderr();
        bsim4_instance_free(i);
        return i == nullptr;
    };
    EXPECT_TRUE(fails({{"toxe", 0.0}}));
    EXPECT_TRUE(fails({{"toxe", 0.0}}));  // a second model of the same card is checked as well
    EXPECT_TRUE(fails({{"epsrgate", -1.0}}));
    EXPECT_FALSE(fails({{"epsrgate", 0.0}}));
    EXPECT_TRUE(fails({{"ngcon", 0.5}}));
    EXPECT_FALSE(fails({{"ngcon", 3.0}}));
    EXPECT_TRUE(fails({{"rbps0", 0.0}}));
    EXPECT_FALSE(fails({{"rbps0", 0.0}, {"paramchk", 0}}));
    EXPECT_TRUE(fails({{"pclm", 0.0}}));

    auto mj = Bsim4Model::from_params("nmos", {{"mjs", 0.995}});
    UniqueInstance mi(bsim4_instance_create(mj->handle(), 1, 1e-6, 1e-6));
    EXPECT_EQ(mj->handle()->p.mjs, 0.99);
    auto mj0 = Bsim4Model::from_params("nmos", {{"mjs", 0.995}, {"paramchk", 0}});
    UniqueInstance mi0(bsim4_instance_create(mj0->handle(), 1, 1e-6, 1e-6));
    EXPECT_EQ(mj0->handle()->p.mjs, 0.995);
}

TEST(Bsim4Eval, JunctionsWithoutDiffusion) {
    auto model = Bsim4Model::from_params("nmos", {{"jsws", 1e-9}, {"diomod", 1}, {"ijthsfwd", 1e-6}});
    UniqueInstance none(
        model->instance_with_params({{"as", 0}, {"ad", 0}, {"ps", 0}, {"pd", 0}}, 1e-6, 1e-6));
    const Bsim4DcResults r = eval(none.get(), 0.5, 0.3, 0.4);
    EXPECT_EQ(r.gbs, 1e-12);
    EXPECT_EQ(r.gbd, 1e-12);
    EXPECT_EQ(r.cbs, 1e-12 * 0.4);
    EXPECT_EQ(r.cbd, 1e-12 * (0.4 - 0.3));
    // Without ps the sidewall is the junction width: a forward junction conducts, and beyond the
    // forward limit (about 0.5 V here) it continues linearly.
    UniqueInstance sidewall(model->instance_with_params({}, 1e-6, 1e-6));
    const Bsim4DcResults a = eval(sidewall.get(), 0.5, 0.0, 0.7), b = eval(sidewall.get(), 0.5, 0.0, 0.8);
    EXPECT_GT(a.cbs, 1e-7);
    EXPECT_NEAR((b.cbs - a.cbs) / 0.1, a.gbs, 1e-9 * a.gbs);
    EXPECT_EQ(a.gbs, b.gbs);
    testing::internal::CaptureStdout();
    UniqueInstance negative(model->instance_with_params({{"ps", -1e-6}}, 1e-6, 1e-6));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Source Perimeter is specified as negative, it is set to zero.\n");
    EXPECT_EQ(negative->source.perimeter, 0.0);
}

// ---- the drain terminal's current against ngspice ------------------------------------------

namespace {

using bsim4_test::Card;

// ngspice's terminal and side currents at each point: -i(vd), @m[isub], @m[igidl], @m[igisl].
struct TerminalPoint {
    double vgs, vds, vbs, id, isub, igidl, igisl;
};

std::vector<TerminalPoint> ngspice_terminal(const Card& card, double w, double l, double vgs_stop,
                                            double vds_stop, const std::vector<double>& vbs) {
    bsim4_test::TempDir dir;
    const int s = card.sign();
    const auto n = bsim4_test::number;
    std::ostringstream deck;
    deck << "terminal currents\n.model mdl " << card.type << " level=54 version=4.8.2\n";
    for (const auto& [name, value] : card.params) deck << "+ " << name << "=" << n(value) << "\n";
    // A sweep's currents are good to reltol where a device limits its voltage steps: tighten it.
    deck << "m0 d g 0 b mdl w=" << n(w) << " l=" << n(l) << "\nvd d 0 0\nvg g 0 0\nvb b 0 0\n"
         << ".options reltol=1e-10 abstol=1e-20\n";
    deck << ".control\nset wr_singlescale\nset appendwrite\nset numdgt=17\n";
    const std::string vectors = "v(g) v(d) v(b) i(vd) @m0[isub] @m0[igidl] @m0[igisl]";
    deck << "save " << vectors << "\n";
    for (double vb : vbs) {
        // Vds from -0.3 V up and Vgs from -1.2 V up: both orientations, GIDL and GISL.
        deck << "alter vb dc = " << n(s * vb) << "\ndc vd " << n(s * -0.3) << " " << n(s * vds_stop) << " "
             << n(s * 0.1) << " vg " << n(s * -1.2) << " " << n(s * vgs_stop) << " " << n(s * 0.1)
             << "\nwrdata " << (dir.path / "out.txt").string() << " " << vectors << "\n";
    }
    deck << ".endc\n.end\n";
    std::ofstream(dir.path / "deck.cir") << deck.str();
    (void)std::system(("cd '" + dir.path.string() + "' && ngspice -b deck.cir >log.txt 2>&1").c_str());
    std::vector<TerminalPoint> points;
    std::ifstream in(dir.path / "out.txt");
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        double c[8];
        int k = 0;
        while (k < 8 && (row >> c[k])) ++k;
        if (k == 8) points.push_back({s * c[1], s * c[2], s * c[3], -c[4], c[5], c[6], c[7]});
    }
    return points;
}

// The sample cards with the networks the evaluator does not solve switched off (and gate
// tunnelling off, then on), and the example's 180 nm card with impact ionisation and GIDL
// switched on.
std::vector<std::pair<Card, std::string>> side_current_cards() {
    std::vector<std::pair<Card, std::string>> cards;
    for (const char* type : {"nmos", "pmos"}) {
        if (auto card = bsim4_test::sample_card(type)) {
            for (const char* name : {"rbodymod", "rgatemod", "igcmod", "igbmod"})
                bsim4_test::set_param(card->params, name, 0);
            cards.emplace_back(*card, std::string("sample ") + type);
            bsim4_test::set_param(card->params, "gidlmod", 1);
            bsim4_test::set_param(card->params, "kgidl", 0.3);
            bsim4_test::set_param(card->params, "fgidl", 0.2);
            bsim4_test::set_param(card->params, "rgisl", 1.3);
            cards.emplace_back(*card, std::string("sample gidlmod=1 ") + type);
            // Gate tunnelling: what reaches the drain of the gate-to-channel current, with its
            // partition constant and bias-dependent, and across the drain overlap.
            bsim4_test::set_param(card->params, "igcmod", 1);
            bsim4_test::set_param(card->params, "igbmod", 1);
            cards.emplace_back(*card, std::string("sample igcmod=1 igbmod=1 ") + type);
            bsim4_test::set_param(card->params, "igcmod", 2);
            std::erase_if(card->params, [](const auto& p) { return p.first == "pigcd"; });
            cards.emplace_back(*card, std::string("sample igcmod=2 without pigcd ") + type);
        }
    }
    const int sign[] = {1, -1};
    const char* types[] = {"nmos", "pmos"};
    for (int k = 0; k < 2; ++k) {
        Card card{types[k],
                  {{"toxe", 4.1e-9},
                   {"toxp", 3.7e-9},
                   {"vth0", 0.42 * sign[k]},
                   {"k1", 0.55},
                   {"u0", 0.035},
                   {"rdsw", 150},
                   {"pclm", 1.3},
                   {"diomod", 1},
                   {"jss", 1e-6},
                   {"jsws", 1e-12},
                   {"alpha0", 1e-6},
                   {"alpha1", 0.5},
                   {"beta0", 20},
                   {"agidl", 1e-8},
                   {"bgidl", 1.5e9},
                   {"cgidl", 0.2},
                   {"egidl", 0.3},
                   {"ngate", 1e20}}};
        cards.emplace_back(card, std::string("180 nm-like ") + types[k]);
    }
    return cards;
}

// The drain terminal's record at one bias; a refused evaluation fails the test.
Bsim4TerminalResults terminal_at(Bsim4InstanceHandle inst, double vgs, double vds, double vbs) {
    Bsim4DcResults dc{};
    Bsim4TerminalResults t{};
    EXPECT_EQ(bsim4_eval_dc_terminal(inst, &dc, &t, vgs, vds, vbs, kRoom), BSIM4_OK);
    return t;
}

// Central differences of the terminal current in vgs, vds and vbs, steps of h.
std::array<double, 3> terminal_slopes(Bsim4InstanceHandle inst, double vgs, double vds, double vbs,
                                      double h) {
    const auto id = [&](double g, double d, double b) { return terminal_at(inst, g, d, b).id; };
    return {(id(vgs + h, vds, vbs) - id(vgs - h, vds, vbs)) / (2 * h),
            (id(vgs, vds + h, vbs) - id(vgs, vds - h, vbs)) / (2 * h),
            (id(vgs, vds, vbs + h) - id(vgs, vds, vbs - h)) / (2 * h)};
}

// Calls `check(card, instance, vgs, vds, vbs)` at every bias of the grid, on a 3 um x 0.1 um
// instance of each card with one finger and with three.
template <class Check>
void at_every_bias(const std::vector<std::pair<Card, std::string>>& cards,
                   std::initializer_list<double> vgs_values, std::initializer_list<double> vds_values,
                   std::initializer_list<double> vbs_values, const Check& check) {
    for (const auto& [card, label] : cards) {
        for (int nf : {1, 3}) {
            SCOPED_TRACE(label + " nf=" + std::to_string(nf));
            auto model = Bsim4Model::from_params(card.type, card.params);
            UniqueInstance inst(bsim4_instance_create(model->handle(), nf, 3e-6, 0.1e-6));
            ASSERT_TRUE(inst);
            for (double vgs : vgs_values)
                for (double vds : vds_values)
                    for (double vbs : vbs_values) check(card, inst.get(), vgs, vds, vbs);
        }
    }
}

}  // namespace

TEST(Bsim4Terminal, DrainTerminalAndSideCurrentsMatchNgspice) {
    if (!bsim4_test::ngspice_available()) GTEST_SKIP() << "ngspice not installed";
    for (const auto& [card, label] : side_current_cards()) {
        SCOPED_TRACE(label);
        const double l = label.starts_with("sample") ? 0.06e-6 : 0.18e-6, w = 1e-6;
        const double supply = label.starts_with("sample") ? 1.2 : 1.8;
        const auto points = ngspice_terminal(card, w, l, supply, supply, {-0.4, 0.0});
        ASSERT_GT(points.size(), 100u);
        auto model = Bsim4Model::from_params(card.type, card.params);
        ASSERT_TRUE(model);
        UniqueInstance inst(bsim4_instance_create(model->handle(), 1, w, l));
        ASSERT_TRUE(inst);
        int failures = 0;
        double largest_isub = 0.0, largest_igidl = 0.0, largest_igisl = 0.0;
        for (const TerminalPoint& p : points) {
            Bsim4DcResults dc{};
            Bsim4TerminalResults t{};
            ASSERT_EQ(bsim4_eval_dc_terminal(inst.get(), &dc, &t, p.vgs, p.vds, p.vbs, kRoom), BSIM4_OK);
            largest_isub = std::max(largest_isub, std::fabs(p.isub / p.id));
            largest_igidl = std::max(largest_igidl, p.igidl);
            largest_igisl = std::max(largest_igisl, p.igisl);
            const auto near = [](double a, double b) {
                return std::fabs(a - b) <= 1e-9 * std::fabs(b) + 1e-18;
            };
            if (!(near(t.id, p.id) && near(t.isub, p.isub) && near(t.igidl, p.igidl) &&
                  near(t.igisl, p.igisl))) {
                ADD_FAILURE() << "vgs=" << p.vgs << " vds=" << p.vds << " vbs=" << p.vbs << ": id " << t.id
                              << " vs " << p.id << ", isub " << t.isub << " vs " << p.isub << ", igidl "
                              << t.igidl << " vs " << p.igidl << ", igisl " << t.igisl << " vs " << p.igisl;
                if (++failures > 5) return;
            }
        }
        // The features are really on at these biases.
        EXPECT_GT(largest_isub, 1e-5);
        EXPECT_GT(largest_igidl, 1e-16);
        EXPECT_GT(largest_igisl, 1e-16);
    }
}

// gm, gds and gmbs of the terminal current are its slopes: central differences of the evaluator's
// own values agree, in both orientations, with the side currents on and with fingers.
TEST(Bsim4Terminal, SlopesAreTheDerivativesOfTheTerminalCurrent) {
    at_every_bias(side_current_cards(), {-0.2, 0.3, 0.9}, {-0.7, -0.05, 0.05, 0.6, 1.2}, {-0.5, 0.0},
                  [](const Card& card, Bsim4InstanceHandle inst, double vgs, double vds, double vbs) {
                      const Bsim4TerminalResults t = terminal_at(inst, vgs, vds, vbs);
                      const auto slopes = terminal_slopes(inst, vgs, vds, vbs, 1e-6);
                      const double exact[3] = {t.gm, t.gds, t.gmbs};
                      // n-channel frame voltages: the slope of the real current is sign * d/dv.
                      for (int k = 0; k < 3; ++k)
                          EXPECT_NEAR(exact[k], card.sign() * slopes[k],
                                      1e-5 * std::fabs(exact[k]) + 1e-9 * std::fabs(t.id) + 1e-15)
                              << "slope " << k << " at vgs=" << vgs << " vds=" << vds << " vbs=" << vbs;
                  });
}

TEST(Bsim4Terminal, SlopesThroughBiasDependentSeriesResistances) {
    // rdsmod 1: the slopes seen from the applied voltages, through resistances that move with
    // the gate and body bias. The loop settles to about 1e-6 of the current: wide differences.
    for (const char* type : {"nmos", "pmos"}) {
        const double s = type[0] == 'p' ? -1.0 : 1.0;
        auto model = Bsim4Model::from_params(type, {{"rdsmod", 1},
                                                    {"vth0", 0.4 * s},
                                                    {"rdsw", 0},
                                                    {"rsw", 300},
                                                    {"rdw", 500},
                                                    {"prwg", 0.8},
                                                    {"prwb", 0.3},
                                                    {"alpha0", 1e-6},
                                                    {"beta0", 15},
                                                    {"agidl", 1e-9},
                                                    {"egidl", 0.2}});
        UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 2e-6, 0.1e-6));
        ASSERT_TRUE(inst);
        for (double vgs : {0.7, 1.2})
            for (double vds : {-0.6, 0.3, 1.2}) {
                const Bsim4TerminalResults t = terminal_at(inst.get(), vgs, vds, -0.3);
                const auto slopes = terminal_slopes(inst.get(), vgs, vds, -0.3, 2e-3);
                const double exact[3] = {t.gm, t.gds, t.gmbs};
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(exact[k], s * slopes[k], 2e-3 * std::fabs(exact[k]) + 2e-3 * std::fabs(t.id))
                        << type << " slope " << k << " at vgs=" << vgs << " vds=" << vds;
            }
    }
}

// Each gate-tunnelling current's slopes are the derivatives of its value: central differences of
// the evaluator's own currents, in both orientations, from accumulation to inversion, with the
// partition constant and bias-dependent, and with fingers.
TEST(Bsim4Terminal, GateCurrentSlopesAreTheirDerivatives) {
    std::vector<std::pair<Card, std::string>> cards;
    for (const auto& [card, label] : side_current_cards())
        if (label.find("igcmod") != std::string::npos) cards.emplace_back(card, label);
    if (cards.empty()) GTEST_SKIP() << "sample cards not available";
    const auto gate_at = [](Bsim4InstanceHandle inst, double vgs, double vds, double vbs) {
        Bsim4DcResults dc{};
        Bsim4GateResults g{};
        EXPECT_EQ(bsim4_eval_dc_intrinsic_gate(inst, &dc, &g, vgs, vds, vbs, kRoom), BSIM4_OK);
        return g;
    };
    using Member = Bsim4GateCurrent Bsim4GateResults::*;
    const std::pair<Member, const char*> currents[] = {{&Bsim4GateResults::igs, "igs"},
                                                       {&Bsim4GateResults::igd, "igd"},
                                                       {&Bsim4GateResults::igcs, "igcs"},
                                                       {&Bsim4GateResults::igcd, "igcd"},
                                                       {&Bsim4GateResults::igb, "igb"}};
    const double h = 1e-6;
    at_every_bias(
        cards, {-0.8, 0.3, 0.9, 1.3}, {-0.7, -0.05, 0.05, 0.6, 1.2}, {-0.5, 0.1},
        [&](const Card&, Bsim4InstanceHandle inst, double vgs, double vds, double vbs) {
            const Bsim4GateResults g = gate_at(inst, vgs, vds, vbs);
            const Bsim4GateResults shifted[6] = {
                gate_at(inst, vgs + h, vds, vbs), gate_at(inst, vgs - h, vds, vbs),
                gate_at(inst, vgs, vds + h, vbs), gate_at(inst, vgs, vds - h, vbs),
                gate_at(inst, vgs, vds, vbs + h), gate_at(inst, vgs, vds, vbs - h)};
            for (const auto& [member, name] : currents) {
                const Bsim4GateCurrent& c = g.*member;
                const double exact[3] = {c.g, c.d, c.b};
                for (int k = 0; k < 3; ++k) {
                    const double diff =
                        ((shifted[2 * k].*member).i - (shifted[2 * k + 1].*member).i) / (2 * h);
                    EXPECT_NEAR(exact[k], diff, 1e-5 * std::fabs(exact[k]) + 1e-8 * std::fabs(c.i) + 1e-18)
                        << name << " slope " << k << " at vgs=" << vgs << " vds=" << vds << " vbs=" << vbs;
                }
            }
        });
}
