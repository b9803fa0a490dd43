// Design-kit `.lib` flattening: one corner section with every nested
// ".lib 'file' section" redirect replaced, recursively, by the text of the
// section it names, and every ".include file" by the file's text, as one
// self-contained netlist text.
#pragma once

#include <string>

#include "common/io.h"
#include "common/result.h"

namespace morva::pdk {

// Flattens section `corner` (ASCII case ignored) of the library at `path`.
// The text starts with a comment line naming the call. Every failure is an
// I/O error: unreadable files, a missing section, a cycle of redirects or
// includes, nesting or text beyond the kit limits. A section ends at the
// first ".endl" after its header, bare or naming any section, as in ngspice.
Result<std::string, IoError> flatten_pdk(const std::string& path, const std::string& corner);

}  // namespace morva::pdk
