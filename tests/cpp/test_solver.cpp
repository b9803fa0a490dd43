// The DC operating-point solver: its stages, its trace line, and its operating points against
// ngspice .op on the same transistor (tight tolerances).
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "bsim4/solver.h"
#include "test_bsim4_support.h"

using namespace bsim4_test;
using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::UniqueInstance;
namespace solver = morva::bsim4::solver;

namespace {

// Terminal voltages in the n-channel frame.
struct Bias {
    double vg, vd, vs, vb;
};

// What ngspice reports at one bias: the channel current and the intrinsic voltages (n-channel frame).
struct OpPoint {
    double id, vgs, vds, vbs;
};

// ngspice .op of one transistor at each bias, with tolerances tight enough to compare at 1e-5.
// `terminal_ohms` is the resistance ngspice keeps between each terminal and the bias-dependent
// one (rsh x nrs, at least 1 mOhm).
std::vector<OpPoint> ngspice_op_once(const Card& card, const Device& dev, const std::vector<Bias>& biases,
                                     double terminal_ohms) {
    TempDir dir;
    const int s = card.sign();
    std::ostringstream deck;
    deck << "solver comparison\n.model mdl " << card.type << " level=54 rsh=" << number(terminal_ohms)
         << "\n";
    for (const auto& [name, value] : card.params) deck << "+ " << name << "=" << number(value) << "\n";
    deck << "m1 d g s b mdl nrs=1 nrd=1 w=" << number(dev.w) << " l=" << number(dev.l);
    for (const auto& [name, value] : dev.inst) deck << " " << name << "=" << number(value);
    deck << "\nvg g 0 0\nvd d 0 0\nvs s 0 0\nvb b 0 0\n";
    deck << ".options reltol=1e-6 abstol=1e-15 vntol=1e-9\n.control\nset appendwrite\nset numdgt=17\n";
    const std::string vectors = "@m1[id] @m1[vgs] @m1[vds] @m1[vbs]";
    deck << "save " << vectors << "\n";
    const std::string out = (dir.path / "out.txt").string();
    for (const Bias& b : biases) {
        deck << "alter vg dc = " << number(s * b.vg) << "\nalter vd dc = " << number(s * b.vd)
             << "\nalter vs dc = " << number(s * b.vs) << "\nalter vb dc = " << number(s * b.vb) << "\n";
        deck << "op\nwrdata " << out << " " << vectors << "\n";
    }
    deck << ".endc\n.end\n";
    std::ofstream(dir.path / "deck.cir") << deck.str();
    const std::string cmd = "cd '" + dir.path.string() + "' && ngspice -b deck.cir >log.txt 2>&1";
    (void)std::system(cmd.c_str());  // exits 1 even after a clean run
    std::vector<OpPoint> points;
    std::ifstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        double c[8];  // (scale, value) pairs
        int n = 0;
        while (n < 8 && (row >> c[n])) ++n;
        if (n == 8) points.push_back({c[1], c[3], c[5], c[7]});
    }
    EXPECT_EQ(points.size(), biases.size()) << deck.str();
    return points;
}

// The operating points without ngspice's terminal resistances: runs with 1 and 0.5 mOhm,
// extrapolated to 0.
std::vector<OpPoint> ngspice_op(const Card& card, const Device& dev, const std::vector<Bias>& biases) {
    const auto full = ngspice_op_once(card, dev, biases, 1e-3);
    auto half = ngspice_op_once(card, dev, biases, 0.5e-3);
    if (full.size() != half.size()) return {};
    for (std::size_t k = 0; k < half.size(); ++k) {
        half[k].id = 2.0 * half[k].id - full[k].id;
        half[k].vgs = 2.0 * half[k].vgs - full[k].vgs;
        half[k].vds = 2.0 * half[k].vds - full[k].vds;
        half[k].vbs = 2.0 * half[k].vbs - full[k].vbs;
    }
    return half;
}

struct Solver {
    Bsim4Model model;
    UniqueInstance instance;
};

Solver make_solver(const Card& card, const Device& dev = {}) {
    auto model = Bsim4Model::from_params(card.type, card.params);
    EXPECT_TRUE(model);
    UniqueInstance inst(model->instance_with_params(dev.inst, dev.w, dev.l));
    EXPECT_TRUE(inst);
    return {std::move(*model), std::move(inst)};
}

// Solves each bias and compares with ngspice: ids to 1e-5 relative, intrinsic voltages to 1e-6 V.
void expect_matches_ngspice(const std::string& label, const Card& card, const Device& dev,
                            const std::vector<Bias>& biases) {
    if (!ngspice_available()) GTEST_SKIP() << "ngspice not installed";
    const auto reference = ngspice_op(card, dev, biases);
    ASSERT_EQ(reference.size(), biases.size());
    Solver s = make_solver(card, dev);
    for (std::size_t k = 0; k < biases.size(); ++k) {
        const Bias& b = biases[k];
        const OpPoint& p = reference[k];
        SCOPED_TRACE(label + " vg=" + number(b.vg) + " vd=" + number(b.vd) + " vs=" + number(b.vs) +
                     " vb=" + number(b.vb));
        const auto r = solver::dc_operating_point({}, s.instance.get(), b.vg, b.vd, b.vs, b.vb);
        ASSERT_TRUE(r.converged);
        EXPECT_LE(rel_dev(r.ids, card.sign() * p.id, 1e-12), 1e-5) << r.ids << " vs " << card.sign() * p.id;
        EXPECT_NEAR(r.vgs_int, p.vgs, 1e-6);
        EXPECT_NEAR(r.vds_int, p.vds, 1e-6);
        EXPECT_NEAR(r.vbs_int, p.vbs, 1e-6);
        EXPECT_NEAR(r.vd_int - r.vs_int, r.vds_int, 1e-12);
    }
}

const Card kNmosR{"nmos", {{"rdsmod", 1}}};
const Card kPmosR{"pmos", {{"rdsmod", 1}}};
const Device kDevice{1e-6, 0.18e-6, 1, {}};

}  // namespace

TEST(DcSolver, WithoutSeriesResistanceOneEvaluation) {
    // rdsmod 0, and rdsmod 1 with every resistance coefficient zero.
    for (const Card& card : {Card{"nmos", {}}, Card{"nmos", {{"rdsmod", 1}, {"rdw", 0}, {"rsw", 0}}}}) {
        Solver s = make_solver(card, kDevice);
        solver::SolverConfig config;
        config.trace = true;
        const auto r = solver::dc_operating_point(config, s.instance.get(), 0.9, 0.7, 0.1, -0.2);
        Bsim4DcResults direct{};
        ASSERT_EQ(bsim4_eval_dc_intrinsic(s.instance.get(), &direct, 0.8, 0.6, -0.3, 300.15), 0);
        EXPECT_TRUE(r.converged);
        EXPECT_EQ(r.iterations, 1u);
        EXPECT_EQ(r.evaluations, 1u);
        EXPECT_FALSE(r.trace.has_value());
        EXPECT_EQ(r.vd_int, 0.7);
        EXPECT_EQ(r.vs_int, 0.1);
        EXPECT_EQ(r.vgs_int, 0.9 - 0.1);
        EXPECT_EQ(r.vds_int, 0.7 - 0.1);
        EXPECT_EQ(r.vbs_int, -0.2 - 0.1);
        EXPECT_EQ(r.ids, direct.ids);
        EXPECT_EQ(r.gm, direct.gm);
        EXPECT_EQ(r.vth, direct.vth);
    }
}

TEST(DcSolver, SeriesResistanceMatchesNgspice) {
    const std::vector<Bias> biases = {{0.8, 0.6, 0.0, 0.0}, {1.2, 1.2, 0.0, -0.5}, {0.4, 0.05, 0.0, 0.0},
                                      {1.0, 0.9, 0.2, 0.0}, {0.9, -0.4, 0.0, 0.0}, {1.5, 0.3, 0.1, -0.2},
                                      {0.0, 0.6, 0.0, 0.0}};
    expect_matches_ngspice("nmos", kNmosR, kDevice, biases);
    expect_matches_ngspice("pmos", kPmosR, kDevice, biases);
    // Asymmetric resistances, and a source resistance alone (the drain is the terminal itself).
    expect_matches_ngspice("asymmetric",
                           Card{"nmos", {{"rdsmod", 1}, {"prwg", 0.5}, {"prwb", 0.1}, {"rdswmin", 50}}},
                           {2e-6, 0.1e-6, 1, {}}, biases);
    expect_matches_ngspice("source only",
                           Card{"nmos", {{"rdsmod", 1}, {"rdw", 0}, {"rsw", 300}, {"rswmin", 40}}}, kDevice,
                           biases);
}

TEST(DcSolver, ForwardBiasedJunctionsMatchNgspice) {
    // cbs and cbd flow from the bulk into the internal source and drain: with the bulk 0.6 V above
    // the source (and, at the low drain voltage, the drain) the junction currents are a visible
    // part of the balance.
    const Device dev{1e-6, 0.18e-6, 1, {{"as", 1e-11}, {"ad", 1e-11}, {"ps", 4e-6}, {"pd", 4e-6}}};
    const std::vector<Bias> biases = {{0.8, 0.6, 0.0, 0.6}, {0.8, 0.1, 0.0, 0.6}, {1.0, 0.05, 0.0, 0.65}};
    expect_matches_ngspice("nmos junctions", kNmosR, dev, biases);
    expect_matches_ngspice("pmos junctions", kPmosR, dev, biases);
}

TEST(DcSolver, GateTunnellingThroughTheSeriesResistancesMatchesNgspice) {
    // ngspice stamps the overlap and gate-to-channel currents at the internal nodes: through Rd
    // and Rs they move the intrinsic voltages (the sample cards' tunnelling, with impact
    // ionisation and GIDL off, which the node equations do not carry).
    const std::vector<Bias> biases = {{1.5, 0.05, 0.0, 0.0}, {1.2, 1.0, 0.0, -0.3}, {1.5, -0.3, 0.0, 0.0},
                                      {1.4, 0.2, 0.1, 0.0},  {-1.0, 0.5, 0.0, 0.0}, {0.3, 0.05, 0.0, 0.0}};
    for (const char* type : {"nmos", "pmos"}) {
        auto card = sample_card(type);
        if (!card) GTEST_SKIP() << "sample cards not available";
        std::erase_if(card->params, [](const auto& p) { return p.first == "rsh"; });
        for (const auto& [name, value] : std::vector<std::pair<const char*, double>>{{"rbodymod", 0},
                                                                                     {"rgatemod", 0},
                                                                                     {"rdsmod", 1},
                                                                                     {"alpha0", 0},
                                                                                     {"agidl", 0},
                                                                                     {"toxe", 1.4e-9}})
            set_param(card->params, name, value);
        const Device dev{1e-6, 0.1e-6, 1, {}};
        expect_matches_ngspice(std::string(type) + " igcmod 1", *card, dev, biases);
        set_param(card->params, "igcmod", 2);
        std::erase_if(card->params, [](const auto& p) { return p.first == "pigcd"; });
        expect_matches_ngspice(std::string(type) + " igcmod 2 without pigcd", *card, dev, biases);
    }
}

TEST(DcSolver, DegenerateSettingsNeverConverge) {
    Solver s = make_solver(kNmosR, kDevice);
    solver::SolverConfig none;
    none.max_iter = 0;
    auto r = solver::dc_operating_point(none, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.iterations, 0u);

    // A NaN bound never counts as met.
    for (int which = 0; which < 2; ++which) {
        solver::SolverConfig nan_tol;
        (which ? nan_tol.current_tol : nan_tol.voltage_tol) = std::nan("");
        r = solver::dc_operating_point(nan_tol, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
        EXPECT_FALSE(r.converged);
        EXPECT_EQ(r.ids, 0.0);
    }

    // An evaluator error at the applied bias: everything zero.
    r = solver::dc_operating_point({}, s.instance.get(), std::nan(""), 0.6, 0.0, 0.0);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.iterations, 0u);
    EXPECT_EQ(r.vd_int, 0.0);
    EXPECT_EQ(r.vs_int, 0.0);
    EXPECT_FALSE(r.trace.has_value());
    r = solver::dc_operating_point({}, nullptr, 0.8, 0.6, 0.0, 0.0);
    EXPECT_FALSE(r.converged);
}

TEST(DcSolver, SweepPointsStartFromThePreviousOne) {
    // Within the solver's tolerance of a solve from the applied bias alone, in a few Newton
    // iterations, every one reported.
    for (const Card& card : {kNmosR, kPmosR}) {
        Solver s = make_solver(card, kDevice);
        for (const bool gate : {true, false}) {
            SCOPED_TRACE(card.type + (gate ? " vgs sweep" : " vds sweep"));
            solver::SweepStart start;
            std::uint64_t warm_iterations = 0;
            for (int k = 0; k <= 60; ++k) {
                const double vg = gate ? 0.02 * k : 1.0, vd = gate ? 0.6 : 0.02 * k - 0.2;
                const auto cold = solver::dc_operating_point({}, s.instance.get(), vg, vd, 0.0, 0.0);
                const auto r =
                    solver::dc_operating_point({}, s.instance.get(), vg, vd, 0.0, 0.0, start.next());
                ASSERT_TRUE(r.converged && r.internal_nodes) << k;
                EXPECT_LE(std::fabs(r.ids - cold.ids), 1e-6 * std::fabs(cold.ids) + 1e-10) << k;
                EXPECT_NEAR(r.vd_int, cold.vd_int, 1e-7) << k;
                EXPECT_NEAR(r.vs_int, cold.vs_int, 1e-7) << k;
                EXPECT_EQ(cold.evaluations, cold.iterations + 1);
                EXPECT_EQ(start.next() == nullptr, k == 0);
                if (start.next()) {
                    EXPECT_EQ(r.evaluations, r.iterations);
                    warm_iterations += r.iterations;
                }
                start.record(r, vd, 0.0);
            }
            EXPECT_LE(warm_iterations, 190u);  // 44 loads a point without the start
        }
    }

    // A start the evaluator refuses: the solve from the applied bias follows, counted.
    Solver s = make_solver(kNmosR, kDevice);
    const auto cold = solver::dc_operating_point({}, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    const solver::Drops broken{std::nan(""), 0.0};
    const auto r = solver::dc_operating_point({}, s.instance.get(), 0.8, 0.6, 0.0, 0.0, &broken);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.ids, cold.ids);
    EXPECT_EQ(r.iterations, cold.iterations);
    EXPECT_EQ(r.evaluations, cold.evaluations + 1);

    // Nothing to start from after a point without internal nodes or an unconverged one.
    solver::SweepStart start;
    start.record(cold, 0.6, 0.0);
    EXPECT_NE(start.next(), nullptr);
    start.record(solver::dc_operating_point({}, s.instance.get(), 0.8, 1e30, 0, 0), 1e30, 0.0);
    EXPECT_EQ(start.next(), nullptr);
    start.record(cold, 0.6, 0.0);
    Solver plain = make_solver(Card{"nmos", {}}, kDevice);
    start.record(solver::dc_operating_point({}, plain.instance.get(), 0.8, 0.6, 0, 0), 0.6, 0.0);
    EXPECT_EQ(start.next(), nullptr);
}

TEST(DcSolver, BiasBeyondResolutionNeverConverges) {
    // Finite evaluator results at such biases (a threshold of -2e28 V at vd = 1e30) are noise.
    const std::vector<Bias> biases = {{0.8, 1e30, 0.0, 0.0}, {0.8, -1e30, 0.0, 0.0}, {1e12, 0.6, 0.0, 0.0},
                                      {0.8, 0.6, 0.0, -2e9}, {0.8, 0.6, 5e9, 5e9},   {0.8, 1.1e9, 0.0, 0.0}};
    for (const Card& card : {Card{"nmos", {}}, kNmosR, kPmosR}) {
        Solver s = make_solver(card, kDevice);
        for (const Bias& b : biases) {
            const auto r = solver::dc_operating_point({}, s.instance.get(), b.vg, b.vd, b.vs, b.vb);
            EXPECT_FALSE(r.converged)
                << card.type << " " << b.vg << " " << b.vd << " " << b.vs << " " << b.vb;
        }
        EXPECT_TRUE(solver::dc_operating_point({}, s.instance.get(), 0.8, 10.0, 0.0, 0.0).converged);
    }
}

TEST(DcSolver, SingleRungLadderAndSourceStepping) {
    Solver s = make_solver(kNmosR, kDevice);
    const auto reference = solver::dc_operating_point({}, s.instance.get(), 1.1, 0.9, 0.0, -0.3);
    ASSERT_TRUE(reference.converged);

    solver::SolverConfig single;
    single.gmin_steps = 0;
    auto r = solver::dc_operating_point(single, s.instance.get(), 1.1, 0.9, 0.0, -0.3);
    ASSERT_TRUE(r.converged);
    EXPECT_NEAR(r.ids, reference.ids, 1e-9 * std::fabs(reference.ids));

    for (std::uint64_t steps : {0u, 1u, 10u}) {
        solver::SolverConfig stepping;
        stepping.source_steps = steps;
        r = solver::source_stepping(stepping, s.instance.get(), 1.1, 0.9, 0.0, -0.3);
        ASSERT_TRUE(r.converged) << steps;
        EXPECT_NEAR(r.ids, reference.ids, 1e-10 * std::fabs(reference.ids));
        EXPECT_NEAR(r.vd_int, reference.vd_int, 1e-9);
    }

    // A Newton attempt from the solution at gmin_final converges at once.
    r = solver::newton_iteration({}, s.instance.get(),
                                 {1.1, 0.9, 0.0, -0.3, 1e-12, reference.vd_int, reference.vs_int});
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.iterations, 1u);
}

TEST(DcSolver, TraceOfTheReturnedAttempt) {
    Solver s = make_solver(kNmosR, kDevice);
    solver::SolverConfig config;
    config.trace = true;
    const auto r = solver::newton_iteration(config, s.instance.get(), {0.8, 0.6, 0.0, 0.0, 1e-12, 0.0, 0.5});
    ASSERT_TRUE(r.converged);
    ASSERT_TRUE(r.trace.has_value());
    ASSERT_EQ(r.trace->size(), r.iterations);
    ASSERT_GE(r.iterations, 3u);
    for (std::size_t k = 0; k < r.trace->size(); ++k) {
        const solver::NewtonTrace& t = (*r.trace)[k];
        EXPECT_EQ(t.iteration, k);
        EXPECT_EQ(t.gmin, 1e-12);
        EXPECT_FALSE(t.limited);
    }
    const solver::NewtonTrace& last = r.trace->back();
    EXPECT_EQ(last.vds, r.vds_int);
    EXPECT_LT(last.residual, 1e-12);
    EXPECT_LT(last.step, 1e-6);
    EXPECT_GT((*r.trace)[0].step, 0.1);

    // A start 10 V away from the applied drain: the first drain-source step is clamped to 3.5 V.
    const auto far =
        solver::newton_iteration(config, s.instance.get(), {0.8, 0.6, 0.0, 0.0, 1e-2, 10.0, 0.0});
    ASSERT_TRUE(far.trace.has_value());
    ASSERT_FALSE(far.trace->empty());
    EXPECT_TRUE((*far.trace)[0].limited);
    EXPECT_DOUBLE_EQ((*far.trace)[0].vds, 6.5);

    // The whole solve keeps only the returned (final) attempt's trace, and counts every
    // iteration: one evaluation at the applied bias, then one per iteration.
    const auto whole = solver::dc_operating_point(config, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    ASSERT_TRUE(whole.trace.has_value());
    EXPECT_LT(whole.trace->size(), whole.iterations);
    EXPECT_EQ(whole.evaluations, whole.iterations + 1);
    for (const auto& t : *whole.trace) EXPECT_EQ(t.gmin, 1e-12);
}

TEST(DcSolver, DebugLineOfAFailedStage) {
    EXPECT_EQ(solver::nr_debug_line(0.01, 100, 0.8, 0.6, 0.0, -0.25, 0.5999, 0.00012),
              "[NR] gmin=1.00e-2 FAILED after 100 iters  vg=0.800 vd=0.600 vs=0.000 vb=-0.250  vd_cur=0.5999 "
              "vs_cur=0.0001\n");
    EXPECT_EQ(solver::nr_debug_line(1e-12, 7, -1.25, 2.0, 0.1, 0.0, -3.0, 0.0),
              "[NR] gmin=1.00e-12 FAILED after 7 iters  vg=-1.250 vd=2.000 vs=0.100 vb=0.000  vd_cur=-3.0000 "
              "vs_cur=0.0000\n");

    // One iteration per attempt: the first stage fails, one line is written, source stepping follows.
    Solver s = make_solver(kNmosR, kDevice);
    solver::SolverConfig config;
    config.max_iter = 1;
    Bsim4DcResults applied{};
    ASSERT_EQ(bsim4_eval_dc_intrinsic(s.instance.get(), &applied, 0.8, 0.6, 0.0, 300.15), 0);
    const double vd_cur = 0.6 - applied.ids / std::max(1.0 / applied.rd, 1e-3);
    const double vs_cur = applied.ids / std::max(1.0 / applied.rs, 1e-3);

    const char* saved = std::getenv("MORVA_NR_DEBUG");
    const std::string saved_value = saved ? saved : "";
    setenv("MORVA_NR_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    const auto r = solver::dc_operating_point(config, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, solver::nr_debug_line(1e-2, 1, 0.8, 0.6, 0.0, 0.0, vd_cur, vs_cur));
    EXPECT_EQ(written.rfind(
                  "[NR] gmin=1.00e-2 FAILED after 1 iters  vg=0.800 vd=0.600 vs=0.000 vb=0.000  vd_cur=", 0),
              0u);
    EXPECT_FALSE(r.converged);
    const auto stepped = solver::source_stepping(config, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    EXPECT_EQ(r.iterations, 1 + stepped.iterations);
    EXPECT_EQ(r.vd_int, stepped.vd_int);

    // A value that is not text counts as unset.
    setenv("MORVA_NR_DEBUG", "\xff", 1);
    testing::internal::CaptureStderr();
    (void)solver::dc_operating_point(config, s.instance.get(), 0.8, 0.6, 0.0, 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (saved)
        setenv("MORVA_NR_DEBUG", saved_value.c_str(), 1);
    else
        unsetenv("MORVA_NR_DEBUG");
}

TEST(DcSolver, ThreadsOnDistinctAndSharedInstances) {
    // Solves on several threads (two sharing one instance) beside plain evaluations of another
    // model give the results of a serial run, bit for bit.
    Solver a = make_solver(kNmosR, kDevice), b = make_solver(kPmosR, kDevice);
    Solver other = make_solver(Card{"nmos", {{"rdsmod", 1}, {"prwg", 1}}}, {3e-6, 0.5e-6, 1, {}});
    auto bias = [](int k) {
        return Bias{0.3 + 0.01 * (k % 90), 0.05 + 0.011 * (k % 97), 0.0, -0.01 * (k % 7)};
    };
    constexpr int kPoints = 200;
    auto run = [&](Bsim4InstanceHandle inst, std::vector<double>& out) {
        out.resize(kPoints);
        for (int k = 0; k < kPoints; ++k) {
            const Bias v = bias(k);
            out[k] = solver::dc_operating_point({}, inst, v.vg, v.vd, v.vs, v.vb).ids;
        }
    };
    std::vector<double> serial_a, serial_b;
    run(a.instance.get(), serial_a);
    run(b.instance.get(), serial_b);

    std::vector<double> out[4];
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread evaluator([&] {
        Bsim4DcResults first{}, again{};
        bsim4_eval_dc(other.instance.get(), &first, 1.0, 1.0, 0.0, 300.15);
        while (!stop) {
            bsim4_eval_dc(other.instance.get(), &again, 1.0, 1.0, 0.0, 300.15);
            if (again.ids != first.ids) ++failures;
        }
    });
    {
        std::jthread t0([&] { run(a.instance.get(), out[0]); });
        std::jthread t1([&] { run(a.instance.get(), out[1]); });
        std::jthread t2([&] { run(b.instance.get(), out[2]); });
        std::jthread t3([&] { run(b.instance.get(), out[3]); });
    }
    stop = true;
    evaluator.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(out[0], serial_a);
    EXPECT_EQ(out[1], serial_a);
    EXPECT_EQ(out[2], serial_b);
    EXPECT_EQ(out[3], serial_b);
}
