// A parsed binary PSF (or PSFXL metadata) file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/property.h"
#include "psf/types.h"

namespace morva::psf {

// Section ids of the table of contents.
namespace section {
inline constexpr std::uint32_t kHeader = 0;
inline constexpr std::uint32_t kType = 1;
inline constexpr std::uint32_t kSweep = 2;
inline constexpr std::uint32_t kTrace = 3;
inline constexpr std::uint32_t kValue = 4;  // not read: its presence tells in-file values
}  // namespace section

// Counts of a trace section: plain traces, groups, members over all groups.
struct TraceStructure {
    std::size_t bare_refs = 0;
    std::size_t groups = 0;
    std::size_t children_in_groups = 0;
    bool operator==(const TraceStructure&) const = default;
};

// Walks of a trace list, for both readers: each node is a variant holding a
// plain trace (index 0) or a group with `members` (index 1).

// Calls `visit` for every plain trace and every group member, in order.
template <class Nodes, class Visit>
void for_each_signal(const Nodes& nodes, Visit&& visit) {
    for (const auto& node : nodes) {
        if (node.index() == 0) {
            visit(std::get<0>(node));
        } else {
            for (const auto& member : std::get<1>(node).members) visit(member);
        }
    }
}

template <class Nodes>
std::vector<std::string_view> signal_names_of(const Nodes& nodes) {
    std::vector<std::string_view> names;
    names.reserve(nodes.size());
    for_each_signal(nodes, [&](const auto& ref) { names.push_back(ref.name); });
    return names;
}

template <class Nodes>
TraceStructure count_traces(const Nodes& nodes) {
    TraceStructure s;
    for (const auto& node : nodes) {
        if (node.index() == 0) {
            ++s.bare_refs;
        } else {
            ++s.groups;
            s.children_in_groups += std::get<1>(node).members.size();
        }
    }
    return s;
}

struct TocEntry {
    std::uint32_t id = 0;
    std::uint32_t offset = 0;
    bool operator==(const TocEntry&) const = default;
};

// How a file finds its sections.
enum class SectionLayout {
    // A table of contents before the "Clarissa" trailer.
    Toc,
    // No table of contents and no trailer: each section's container ends
    // where the next one's begins, each container preceded by its section id
    // (the header's by the signature), and the last one (the value section,
    // whose samples live in the companion file) open with an end of
    // 0xFFFFFFFF. PSFXL metadata files are written this way.
    Chained,
};

// Owns every byte of the file and every parsed item; never changes once built.
struct PsfFile {
    std::string path;
    std::string data;
    std::vector<TocEntry> toc;
    std::vector<Property> header;
    std::vector<DataTypeDef> types;
    std::vector<DataTypeRef> sweeps;
    std::vector<TraceNode> traces;
    std::uint32_t signature = 0;
    // `toc` was read from the file's table of contents, or found by following
    // the chained sections.
    SectionLayout layout = SectionLayout::Toc;

    // Parses a whole file held in memory. Only the header, type, sweep and
    // trace sections are read.
    static Result<PsfFile, PsfError> from_bytes(std::string path, std::string bytes);

    // Trace names in trace-section order, groups contributing their members.
    std::vector<std::string_view> signal_names() const { return signal_names_of(traces); }
    TraceStructure trace_structure() const { return count_traces(traces); }
    // The PSFXL metadata kind: the chained layout, which real PSFXL metadata
    // files have whatever their signature, or signature 0x300 without a value
    // section of its own.
    bool is_psfxl() const;
    // The path of the waveform companion of a PSFXL metadata file.
    std::string psfxl_companion() const;
    // Multi-line summary: sizes, header properties and sweep variables.
    std::string describe() const;
};

}  // namespace morva::psf
