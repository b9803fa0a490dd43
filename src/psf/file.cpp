#include "psf/file.h"

#include <algorithm>

#include "common/format.h"
#include "psf/sections.h"

namespace morva::psf {
namespace {

constexpr std::string_view kTrailer = "Clarissa";
constexpr std::uint64_t kTrailerBytes = 12;  // "Clarissa" and the TOC offset

// Signatures of binary files: 0x200 plain, 0x300 PSFXL metadata, 0x400 windowed
// transients and 0x500 operating points and info, as current simulators write.
bool known_signature(std::uint32_t signature) {
    return signature == 0x200 || signature == 0x300 || signature == 0x400 || signature == 0x500;
}

const TocEntry* find_section(const std::vector<TocEntry>& toc, std::uint32_t id) {
    const auto it = std::find_if(toc.begin(), toc.end(), [&](const TocEntry& e) { return e.id == id; });
    return it == toc.end() ? nullptr : &*it;
}

// An optional section: empty when the TOC does not list it.
template <class T, class Reader>
Result<std::vector<T>, PsfError> read_optional(std::string_view bytes, const std::vector<TocEntry>& toc,
                                               std::uint32_t id, Reader reader) {
    const TocEntry* entry = find_section(toc, id);
    if (!entry) return std::vector<T>{};
    return reader(bytes, entry->offset);
}

}  // namespace

Result<PsfFile, PsfError> PsfFile::from_bytes(std::string path, std::string bytes) {
    const std::uint64_t size = bytes.size();
    if (size < 16) return err(PsfError::too_small(size));
    if (std::string_view(bytes).substr(size - kTrailerBytes, kTrailer.size()) != kTrailer)
        return err(PsfError::missing_trailer());
    const std::uint32_t signature = be32_at(bytes, 0);
    if (!known_signature(signature)) return err(PsfError::bad_signature(signature));

    const std::uint64_t toc_offset = be32_at(bytes, size - 4);
    if (toc_offset + kTrailerBytes > size)
        return err(PsfError::other(fmt::cat("bad TOC offset ", toc_offset, " (file size ", size, ")")));
    std::uint64_t toc_start = toc_offset;
    std::uint64_t toc_bytes = size - kTrailerBytes - toc_offset;
    if (toc_bytes % 8 == 4) {
        // Windowed files put one word before the usual entries.
        toc_start += 4;
        toc_bytes -= 4;
    } else if (toc_bytes % 8 != 0) {
        return err(PsfError::other(fmt::cat("TOC byte count ", toc_bytes, " not a multiple of 8")));
    }

    PsfFile file;
    file.toc.reserve(toc_bytes / 8);
    for (std::uint64_t at = toc_start; at < toc_start + toc_bytes; at += 8)
        file.toc.push_back({be32_at(bytes, at), be32_at(bytes, at + 4)});

    const TocEntry* header = find_section(file.toc, section::kHeader);
    if (!header) return err(PsfError::unknown_section(section::kHeader));
    MORVA_ASSIGN(file.header, read_header_section(bytes, header->offset));
    MORVA_ASSIGN(file.types, read_optional<DataTypeDef>(bytes, file.toc, section::kType, read_type_section));
    MORVA_ASSIGN(file.sweeps,
                 read_optional<DataTypeRef>(bytes, file.toc, section::kSweep, read_sweep_section));
    MORVA_ASSIGN(file.traces, read_optional<TraceNode>(bytes, file.toc, section::kTrace, read_trace_section));

    file.path = std::move(path);
    file.data = std::move(bytes);
    file.signature = signature;
    return file;
}

std::string PsfFile::psfxl_companion() const {
    // Same directory, last component followed by ".psfxl".
    return path + ".psfxl";
}

std::string PsfFile::describe() const {
    std::string out = fmt::cat("PSF ", path, " signature=0x", fmt::hex(signature), " (", data.size(),
                               " bytes) sections=", toc.size(), " types=", types.size(),
                               " sweep=", sweeps.size(), " traces=", traces.size(), "\n");
    out.append("  header properties:\n");
    for (const Property& p : header) out.append(fmt::cat("    ", p.name, " = ", p.value.debug(), "\n"));
    if (!sweeps.empty()) {
        out.append("  sweep:\n");
        for (const DataTypeRef& s : sweeps)
            out.append(fmt::cat("    id=", s.id, " name=", s.name, " datatypeid=", s.type_id, "\n"));
    }
    return out;
}

}  // namespace morva::psf
