// Timing of the model-library parser on a kit named by the environment; run
// by bench/bench_model_parser.py, never as part of the test suite.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bsim4/model_parser.h"

namespace mp = morva::bsim4::model_parser;

namespace {

// Best of `repeats` runs of `work`, in seconds.
template <class F>
double best_seconds(int repeats, F&& work) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

TEST(ModelParserBench, DISABLED_ParseKit) {
    const char* path = std::getenv("MORVA_BENCH_LIB");
    const char* section = std::getenv("MORVA_BENCH_SECTION");
    if (!path || !section) GTEST_SKIP() << "MORVA_BENCH_LIB and MORVA_BENCH_SECTION not set";
    std::size_t cards = 0;
    const double whole = best_seconds(5, [&] { cards = mp::parse_lib_file(path)->size(); });
    std::printf("BENCH parse_lib_file %.6f %zu\n", whole, cards);
    const double one = best_seconds(5, [&] { cards = mp::parse_lib_file_section(path, section)->size(); });
    std::printf("BENCH parse_lib_file_section %.6f %zu\n", one, cards);
    const auto all = mp::parse_lib_file_section(path, section);
    std::size_t picks = 0;
    const double select = best_seconds(5, [&] {
        for (int i = 0; i < 1000; ++i)
            picks += mp::select_card_for_length(*all, "nch", 1.8e-7 * (1 + i % 50), 2.2e-7 * (1 + i % 40)) !=
                     nullptr;
    });
    std::printf("BENCH select_card_for_length_x1000 %.6f %zu\n", select, picks);
}
