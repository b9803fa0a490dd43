// Design-kit `.lib` flattening: one corner section with every nested
// ".lib 'file' section" redirect replaced, recursively, by the text of the
// section it names, as one self-contained netlist text.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.h"
#include "error/error.h"

namespace morva::pdk {

// The sections being expanded: (canonical file path, lower-case section name).
using ExpansionChain = std::set<std::pair<std::string, std::string>>;

// Flattens section `corner` (ASCII case ignored) of the library at `path`.
// The text starts with a comment line naming the call. Every failure is an
// I/O error: unreadable files, a missing section, a cycle of redirects.
Result<std::string, Error> flatten_pdk(const std::string& path, const std::string& corner);

// The text of `section` of the file at `path` with its redirects expanded.
// `chain` holds the sections being expanded further up; it is left as given.
Result<std::string, Error> expand_section(const std::string& path, const std::string& section,
                                          ExpansionChain& chain);

// True for a line (leading blanks removed) with more than two words or any
// quote: a redirect ".lib 'file' section", never a section header.
bool is_redirect(std::string_view line);

// The first word after `keyword` (quotes stripped) when the lower-case `line`
// starts with that directive; none otherwise or when no word follows.
std::optional<std::string> directive_arg(std::string_view line, std::string_view keyword);

}  // namespace morva::pdk
