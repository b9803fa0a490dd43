// Helpers of the model-library parser tests: a temporary folder to write
// kits into and look-ups of cards and their parameters.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spice/model_parser.h"

namespace mp = morva::spice::model_parser;
namespace fs = std::filesystem;

namespace {

// A temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "morva_parser_XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string write(const std::string& name, const std::string& text) const {
        const fs::path p = path_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// What a shell command writes to its standard output (empty when it cannot
// be started): how the tests read ngspice's batch runs.
inline std::string command_output(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    ::pclose(pipe);
    return output;
}

// Whether an ngspice to compare against is on the path.
inline bool have_ngspice() { return std::system("command -v ngspice >/dev/null 2>&1") == 0; }

inline const mp::Bsim4ModelCard* card_named(const std::vector<mp::Bsim4ModelCard>& cards,
                                            std::string_view name) {
    for (const auto& c : cards)
        if (c.name == name) return &c;
    return nullptr;
}

inline std::optional<double> param(const mp::Bsim4ModelCard& card, std::string_view name) {
    std::optional<double> v;
    for (const auto& [n, x] : card.params)
        if (n == name) v = x;
    return v;
}

}  // namespace
