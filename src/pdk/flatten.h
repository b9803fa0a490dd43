// Design-kit `.lib` flattening: one corner section with every nested
// ".lib 'file' section" redirect replaced, recursively, by the text of the
// section it names, and every ".include file" by the file's text, as one
// self-contained netlist text.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "common/io.h"
#include "common/result.h"
#include "spice/spice_expr.h"

namespace morva::pdk {

// The sections being expanded: (canonical file path, lower-case section
// name, or none for a whole included file).
using ExpansionChain = std::set<std::pair<std::string, std::optional<std::string>>>;

// Flattens section `corner` (ASCII case ignored) of the library at `path`.
// The text starts with a comment line naming the call. Every failure is an
// I/O error: unreadable files, a missing section, a cycle of redirects or
// includes, nesting or text beyond the kit limits. A section ends at the
// first ".endl" after its header, bare or naming any section, as in ngspice.
Result<std::string, IoError> flatten_pdk(const std::string& path, const std::string& corner);

// The text of `section` of the file at `path` with its redirects expanded,
// after `lead` (counted in the text limit). `chain` holds the sections being
// expanded further up; it is left as given.
Result<std::string, IoError> expand_section(const std::string& path, const std::string& section,
                                            ExpansionChain& chain, std::string lead = {});

// The line rules flattening shares with the model-library reader.
using spice::spice_expr::directive_arg;
using spice::spice_expr::is_redirect;

}  // namespace morva::pdk
