// The files a characterisation's model text comes from, for knowing when
// what was learned from them still holds.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace morva::lut
