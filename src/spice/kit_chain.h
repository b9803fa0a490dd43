// The sections and files of a design kit being followed, from the top file
// down, kept alike by the model-library reader and by pdk::flatten_pdk: one
// reached again while it is being followed is a cycle, which ngspice would
// follow without end (a section redirecting to itself loops, a file
// including itself recurses until ngspice crashes).
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"

namespace morva::spice {

// Where a message places a section of a file, or a whole file (no section):
// "section '{section}' in {path}" or "file {path}".
std::string kit_place(const std::optional<std::string>& section, std::string_view path);

class KitChain {
public:
    // `activity` names the reading in the cycle message: "cycle detected
    // while {activity}: revisited {place}".
    explicit KitChain(std::string activity) : activity_(std::move(activity)) {}

    // Enters section `section` (ASCII case ignored; none: the whole file) of
    // the file known by `key` (its canonical path) and reached as `path`.
    // Fails with the cycle message when that section or file is being
    // followed already; each entry that succeeds is left by one leave().
    Result<void, std::string> enter(const std::string& key, const std::optional<std::string>& section,
                                    std::string_view path);
    void leave();
    // The sections and files being followed.
    std::size_t depth() const { return stack_.size(); }

private:
    using Key = std::pair<std::string, std::optional<std::string>>;
    std::string activity_;
    std::vector<Key> stack_;
    std::set<Key> followed_;
};

}  // namespace morva::spice
