// libFuzzer target: model libraries and design-kit corners. The bytes are a
// library text: its logical lines, `.param` values, cards, sections, card
// selection and subcircuit defaults are read from memory, and the same text
// is flattened from a file whose redirects may name it again.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "common/text.h"
#include "pdk/flatten.h"
#include "spice/model_parser.h"

namespace mp = morva::spice::model_parser;

namespace {

// One file per fuzzing process, rewritten for every input.
const std::string& library_path() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz_model_library_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        return std::string(name);
    }();
    return path;
}

void write_library(const std::string& text) {
    if (FILE* f = std::fopen(library_path().c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = morva::utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
    const mp::LogicalLines lines = mp::join_continuation_lines(text);
    const mp::ParamMap params = mp::collect_dot_params(lines);
    const auto cards = mp::extract_models(lines, params);
    for (const double length : {1e-7, 5e-7, 1e-5, std::nan("")})
        (void)mp::select_card_for_length(cards, "nch", length, 1e-6);
    for (const char* section : {"tt", "ss"}) {
        std::unordered_set<std::string> visited;
        mp::LogicalLines collected;
        mp::collect_section_recursive(lines, section, visited, collected);
        (void)mp::extract_models(collected, mp::collect_dot_params(collected));
    }
    if (auto defaults = mp::extract_subcircuit_defaults_from_lines(lines, "nch_mac"))
        (void)defaults->compute_instance_params({{"w", 1e-6}, {"l", 1e-7}});
    for (const std::string& line : lines) (void)mp::parse_value(line, params);

    write_library(text);
    (void)morva::pdk::flatten_pdk(library_path(), "tt");
    return 0;
}
