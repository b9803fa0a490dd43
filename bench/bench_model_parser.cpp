// Timing of the model-library parser, for bench/bench_model_parser.py.
//
// Usage: bench_model_parser LIB SECTION
// Prints "BENCH name seconds count" lines: the best of five runs of parsing the whole file,
// parsing one section, and 1000 card selections by length and width.
#include <cstdio>
#include <string>

#include "spice/model_parser.h"
#include "timing.h"

namespace mp = morva::spice::model_parser;
using morva::bench::best_seconds;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_model_parser LIB SECTION\n");
        return 2;
    }
    const char* path = argv[1];
    const char* section = argv[2];
    if (!mp::parse_lib_file(path) || !mp::parse_lib_file_section(path, section)) {
        std::fprintf(stderr, "cannot parse %s section %s\n", path, section);
        return 1;
    }
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
    return 0;
}
