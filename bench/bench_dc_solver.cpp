// Timing of the DC solver, for bench/bench_dc_solver.py.
//
// Prints "BENCH label seconds-per-solve loads-per-solve unconverged" lines for rdsmod 0 and 1,
// and the time of one evaluator load alone.
#include <chrono>
#include <cstdio>

#include "bsim4/native.h"
#include "bsim4/solver.h"

namespace solver = morva::bsim4::solver;
using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::UniqueInstance;

namespace {

// Solves a 40 x 40 grid of (vgs, vds) `rounds` times; prints seconds per solve and evaluator
// loads per solve.
bool time_solves(const char* label, const morva::bsim4::native::ParamList& card) {
    auto model = Bsim4Model::from_params("nmos", card);
    if (!model) return false;
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.18e-6));
    if (!inst) return false;
    constexpr int kSide = 40, kRounds = 5;
    std::uint64_t solves = 0, loads = 0, converged = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round)
        for (int i = 0; i < kSide; ++i)
            for (int j = 0; j < kSide; ++j) {
                const auto r = solver::dc_operating_point({}, inst.get(), 1.2 * i / (kSide - 1),
                                                          1.2 * j / (kSide - 1), 0.0, 0.0);
                ++solves;
                loads += r.evaluations;
                converged += r.converged;
            }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("BENCH %s %.9f %.3f %llu\n", label, took.count() / static_cast<double>(solves),
                static_cast<double>(loads) / static_cast<double>(solves),
                static_cast<unsigned long long>(solves - converged));

    // One evaluation alone, for scale.
    Bsim4DcResults r{};
    const auto eval_start = std::chrono::steady_clock::now();
    for (int k = 0; k < kRounds * kSide * kSide; ++k)
        bsim4_eval_dc_intrinsic(inst.get(), &r, 0.8, 1.2 * (k % kSide) / (kSide - 1), 0.0, 300.15);
    const std::chrono::duration<double> eval = std::chrono::steady_clock::now() - eval_start;
    std::printf("BENCH %s_load %.9f 1 0\n", label, eval.count() / (kRounds * kSide * kSide));
    return true;
}

}  // namespace

int main() {
    if (time_solves("rdsmod0", {}) && time_solves("rdsmod1", {{"rdsmod", 1}})) return 0;
    std::fprintf(stderr, "cannot set up the default nmos card\n");
    return 1;
}
