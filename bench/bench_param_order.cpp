// Timing of a kit's set-up as DcSolver and native characterisation do it,
// for bench/bench_param_order.py: reading the text (files, sections, the
// check of its `.param` values), the top level's cards with their values,
// and a subcircuit's defaults and scope for one instance.
//
// Usage: bench_param_order LIB SECTION SUBCKT W L
//   SECTION "-" reads the whole file; SUBCKT "-" skips the subcircuit.
// Prints "BENCH name seconds count" lines, the best of five runs each.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "spice/model_parser.h"
#include "timing.h"

namespace mp = morva::spice::model_parser;
using morva::bench::best_seconds;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_param_order LIB SECTION SUBCKT W L\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string_view section_arg = argv[2], subckt = argv[3];
    const std::optional<std::string_view> section =
        section_arg == "-" ? std::nullopt : std::optional<std::string_view>(section_arg);
    const auto first = mp::read_kit_text(path, section);
    if (!first) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), first.error().text().c_str());
        return 1;
    }
    std::size_t count = 0;
    const double read = best_seconds(5, [&] { count = mp::read_kit_text(path, section)->lines.size(); });
    std::printf("BENCH read_kit_text %.6f %zu\n", read, count);
    const double cards = best_seconds(5, [&] { count = mp::kit_from_text(*first).cards.size(); });
    std::printf("BENCH kit_from_text %.6f %zu\n", cards, count);
    if (subckt == "-") return 0;
    const mp::ParamMap passed{{"w", std::atof(argv[4])}, {"l", std::atof(argv[5])}};
    const double defaults = best_seconds(5, [&] {
        const auto found = mp::extract_subcircuit_defaults_from_lines(first->lines, subckt);
        count = found ? found->scope(passed).size() : 0;
    });
    std::printf("BENCH subcircuit_scope %.6f %zu\n", defaults, count);
    return 0;
}
