// The files a characterisation's model text comes from, for knowing when
// what was learned from them still holds.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/io.h"
#include "lut/config.h"

namespace morva::lut {

inline constexpr std::size_t kMaxKitFiles = 10000;

// One line per file the configuration's model text comes from: the model
// file, each of `model_includes`, and every file their `.include`, `.inc`
// and `.lib file section` lines name, followed as ngspice follows them
// (beside the naming file, and beside the model file), each once: its path
// and its identity (size, modification time in nanoseconds, inode), or that
// there is none. Any edit, replacement or removal of one of them, or a file
// appearing where a line names one, changes the text. Without model files
// it is empty (the model card is in the netlist itself). At most kMaxKitFiles
// files are followed.
std::string kit_identity(const LutConfig& config);

// What a pool learns from a kit's files and keeps while they stay as they
// were (stamps_hold): kit_identity's text, and the configurations whose kit
// passed the checks a generation makes before it simulates. Safe to share
// between generations.
class KitMemo {
public:
    // Kept per pool: a few devices of a few kits.
    static constexpr std::size_t kEntries = 32;

    // kit_identity(config); the files are read again only when one of those
    // it followed changed (or appeared, or went).
    std::string identity(const LutConfig& config);
    // Whether the checks passed under `key` (everything of the configuration
    // they read) while the files they read still hold.
    bool passed(const std::string& key) const;
    // The checks passed under `key`, reading `files` (each stamped before it
    // was read).
    void keep_passed(std::string key, std::vector<FileStamp> files);
    // Drops what is kept of `config`'s files and the checks' verdict under
    // `passed_key`: ngspice's answers say the files changed though their
    // identities did not (an edit in place with its time put back, a file
    // system with coarse times).
    void forget(const LutConfig& config, const std::string& passed_key);

private:
    using Entries = std::deque<std::pair<std::string, std::vector<FileStamp>>>;  // oldest first
    std::optional<std::vector<FileStamp>> find(const Entries& entries, const std::string& key) const;
    void keep(Entries& entries, std::string key, std::vector<FileStamp> files);

    mutable std::mutex mutex_;  // guards the entries
    Entries identities_, passed_;
};

}  // namespace morva::lut
