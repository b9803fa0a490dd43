#include "psf/file.h"

#include <algorithm>
#include <optional>

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

// The table of contents at the end of the file, before the trailer.
Result<std::vector<TocEntry>, PsfError> read_toc(std::string_view bytes) {
    const std::uint64_t size = bytes.size();
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
    std::vector<TocEntry> toc;
    toc.reserve(toc_bytes / 8);
    for (std::uint64_t at = toc_start; at < toc_start + toc_bytes; at += 8)
        toc.push_back({be32_at(bytes, at), be32_at(bytes, at + 4)});
    return toc;
}

// The sections of a file without a table of contents, found by following the
// container ends from the header's container at offset 4 to a container left
// open (end 0xFFFFFFFF); nothing when the file is not laid out so. Only the
// chain is checked here: the sections themselves are read as for any file.
std::optional<std::vector<TocEntry>> chained_sections(std::string_view bytes) {
    constexpr std::uint64_t kContainerBytes = 8;  // container word and end
    constexpr std::uint32_t kOpenEnd = 0xffffffff;
    const std::uint64_t size = bytes.size();
    std::vector<TocEntry> toc;
    std::uint64_t pos = 4;
    std::uint32_t id = section::kHeader;
    while (true) {
        if (pos + kContainerBytes > size || be32_at(bytes, pos) != chunk::kContainer) return std::nullopt;
        const std::uint32_t end = be32_at(bytes, pos + 4);
        toc.push_back({id, static_cast<std::uint32_t>(pos)});
        if (end == kOpenEnd) return toc;
        // The next id must stand after this container's own words, and the
        // next container must fit: positions strictly increase, so the walk
        // ends within size / 12 steps.
        if (end < pos + kContainerBytes + 4 || end + kContainerBytes > size) return std::nullopt;
        id = be32_at(bytes, end - 4);
        pos = end;
    }
}

// The header section right after the first word, as every PSF writer puts it.
bool header_at_offset_4(std::string_view bytes, const std::vector<TocEntry>& toc) {
    const TocEntry* header = find_section(toc, section::kHeader);
    return header && header->offset == 4 && bytes.size() >= 8 && be32_at(bytes, 4) == chunk::kContainer;
}

}  // namespace

Result<PsfFile, PsfError> PsfFile::from_bytes(std::string path, std::string bytes) {
    const std::uint64_t size = bytes.size();
    if (size < 16) return err(PsfError::too_small(size));
    PsfFile file;
    const std::uint32_t signature = be32_at(bytes, 0);
    if (std::string_view(bytes).substr(size - kTrailerBytes, kTrailer.size()) == kTrailer) {
        auto toc = read_toc(bytes);
        // Header-only files (info, primitives) may start with any word, 0
        // among them: the layout, not the word, makes them PSF.
        if (!known_signature(signature) && !(toc && header_at_offset_4(bytes, *toc)))
            return err(PsfError::bad_signature(signature));
        if (!toc) return err(std::move(toc).error());
        file.toc = std::move(toc).value();
    } else if (auto chained = chained_sections(bytes)) {
        if (!known_signature(signature)) return err(PsfError::bad_signature(signature));
        file.toc = std::move(*chained);
        file.layout = SectionLayout::Chained;
    } else {
        return err(PsfError::missing_trailer());
    }

    const TocEntry* header = find_section(file.toc, section::kHeader);
    if (!header) return err(PsfError::unknown_section(section::kHeader));
    MORVA_ASSIGN(file.header, read_header_section(bytes, header->offset));
    MORVA_ASSIGN(file.types, read_optional<DataTypeDef>(bytes, file.toc, section::kType, read_type_section));
    MORVA_ASSIGN(file.sweeps,
                 read_optional<DataTypeRef>(bytes, file.toc, section::kSweep, read_sweep_section));
    const bool psfxl_records = file.layout == SectionLayout::Chained;
    MORVA_ASSIGN(file.traces, read_optional<TraceNode>(bytes, file.toc, section::kTrace,
                                                       [&](std::string_view b, std::uint64_t offset) {
                                                           return read_trace_section(b, offset,
                                                                                     psfxl_records);
                                                       }));

    file.path = std::move(path);
    file.data = std::move(bytes);
    file.signature = signature;
    return file;
}

bool PsfFile::is_psfxl() const {
    // Signature 0x300 marks PSFXL metadata, unless the file holds its own
    // value section, as some simulators write it.
    return layout == SectionLayout::Chained || (signature == 0x300 && !find_section(toc, section::kValue));
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
