#include "psf/sections.h"

#include <algorithm>

#include "common/format.h"

namespace morva::psf {
namespace {

// The index sub-container of the type and trace sections; returns its end.
Result<std::uint64_t, PsfError> read_index_container(Cursor& cursor) {
    const std::uint64_t at = cursor.pos();
    MORVA_ASSIGN(std::uint32_t code, cursor.read_u32());
    if (code != chunk::kIndex) return err(PsfError::unexpected_chunk(code, at, {chunk::kIndex}));
    MORVA_ASSIGN(std::uint32_t end, cursor.read_u32());
    return std::uint64_t{end};
}

// The smallest reference: entry word, id, empty name, type id.
constexpr std::uint64_t kMinRefBytes = 16;

// A trace and, when `psfxl_records`, the record chunks after it (the first
// gives the trace its record offset; the sample count and ranges are not
// kept). Properties may stand on either side of a record chunk; all belong
// to the trace.
Result<DataTypeRef, PsfError> read_trace(Cursor& cursor, bool psfxl_records) {
    MORVA_ASSIGN(DataTypeRef ref, DataTypeRef::deserialize(cursor));
    // Each round consumes a whole chunk, so the file's length bounds the loop.
    while (psfxl_records && cursor.peek_u32() == chunk::kTraceRecord) {
        Cursor record = cursor;  // read once the whole chunk is known to be there
        MORVA_TRY(cursor.skip(chunk::kTraceRecordBytes));
        (void)record.read_u32();
        const auto offset = record.read_u64();
        if (!ref.record_offset && offset) ref.record_offset = *offset;
        MORVA_ASSIGN(PropertyBlock more, PropertyBlock::deserialize(cursor));
        for (Property& p : more.properties) ref.properties.push_back(std::move(p));
    }
    return ref;
}

Result<TraceGroup, PsfError> read_group(Cursor& cursor, bool psfxl_records) {
    (void)cursor.read_u32();  // the group word, already looked at
    TraceGroup group;
    MORVA_ASSIGN(group.id, cursor.read_i32());
    MORVA_ASSIGN(group.name, cursor.read_string());
    MORVA_ASSIGN(std::int32_t count, cursor.read_i32());
    if (count < 0) return err(PsfError::other(fmt::cat("negative group member count ", count)));
    // The count comes from the file: reserve only what the bytes left can hold.
    group.members.reserve(std::min<std::uint64_t>(count, cursor.remaining() / kMinRefBytes));
    for (std::int32_t i = 0; i < count; ++i) {
        MORVA_ASSIGN(DataTypeRef member, read_trace(cursor, psfxl_records));
        group.members.push_back(std::move(member));
    }
    return group;
}

}  // namespace

Result<std::uint64_t, PsfError> read_outer_container(Cursor& cursor, std::uint64_t section_offset) {
    const std::uint64_t at = cursor.pos();
    MORVA_ASSIGN(std::uint32_t code, cursor.read_u32());
    if (code != chunk::kContainer) return err(PsfError::unexpected_chunk(code, at, {chunk::kContainer}));
    MORVA_ASSIGN(std::uint32_t end, cursor.read_u32());
    if (end < section_offset)
        return err(PsfError::other(fmt::cat("container endpos ", end, " < section abspos ", section_offset)));
    return std::uint64_t{end};
}

Result<std::vector<Property>, PsfError> read_header_section(std::string_view bytes, std::uint64_t offset) {
    Cursor cursor(bytes, offset);
    MORVA_ASSIGN(std::uint64_t end, read_outer_container(cursor, offset));
    MORVA_ASSIGN(PropertyBlock block, PropertyBlock::deserialize(cursor));
    if (cursor.pos() > end)
        return err(
            PsfError::other(fmt::cat("header section overran endpos: pos=", cursor.pos(), " endpos=", end)));
    return std::move(block.properties);
}

Result<std::vector<DataTypeDef>, PsfError> read_type_section(std::string_view bytes, std::uint64_t offset) {
    Cursor cursor(bytes, offset);
    MORVA_TRY(read_outer_container(cursor, offset));
    MORVA_ASSIGN(std::uint64_t end, read_index_container(cursor));
    std::vector<DataTypeDef> types;
    while (cursor.pos() < end) {
        const auto code = cursor.peek_u32();
        if (!code) break;
        if (is_property_code(*code)) {
            // Properties between definitions describe nothing this reader keeps.
            MORVA_TRY(Property::deserialize(cursor));
        } else if (*code == chunk::kEntry) {
            MORVA_ASSIGN(DataTypeDef def, DataTypeDef::deserialize(cursor));
            types.push_back(std::move(def));
        } else {
            break;
        }
    }
    return types;
}

Result<std::vector<DataTypeRef>, PsfError> read_sweep_section(std::string_view bytes, std::uint64_t offset) {
    Cursor cursor(bytes, offset);
    MORVA_ASSIGN(std::uint64_t end, read_outer_container(cursor, offset));
    std::vector<DataTypeRef> sweeps;
    while (cursor.pos() < end && cursor.peek_u32() == chunk::kEntry) {
        MORVA_ASSIGN(DataTypeRef ref, DataTypeRef::deserialize(cursor));
        sweeps.push_back(std::move(ref));
    }
    return sweeps;
}

Result<std::vector<TraceNode>, PsfError> read_trace_section(std::string_view bytes, std::uint64_t offset,
                                                            bool psfxl_records) {
    Cursor cursor(bytes, offset);
    MORVA_TRY(read_outer_container(cursor, offset));
    MORVA_ASSIGN(std::uint64_t end, read_index_container(cursor));
    std::vector<TraceNode> traces;
    while (cursor.pos() < end) {
        const auto code = cursor.peek_u32();
        if (code == chunk::kEntry) {
            MORVA_ASSIGN(DataTypeRef ref, read_trace(cursor, psfxl_records));
            traces.emplace_back(std::move(ref));
        } else if (code == chunk::kGroup) {
            MORVA_ASSIGN(TraceGroup group, read_group(cursor, psfxl_records));
            traces.emplace_back(std::move(group));
        } else {
            break;
        }
    }
    return traces;
}

}  // namespace morva::psf
