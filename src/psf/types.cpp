#include "psf/types.h"

namespace morva::psf {
namespace {

Result<void, PsfError> expect_chunk(Cursor& cursor, std::uint32_t code) {
    const std::uint64_t at = cursor.pos();
    MORVA_ASSIGN(std::uint32_t got, cursor.read_u32());
    if (got != code) return err(PsfError::unexpected_chunk(got, at, {code}));
    return {};
}

}  // namespace

std::optional<std::uint64_t> element_size_of(std::int32_t data_type) {
    switch (data_type) {
        case 1:
        case 5: return 4;
        case 11: return 8;
        case 12: return 16;
        default: return std::nullopt;
    }
}

Result<StructDef, PsfError> StructDef::deserialize(Cursor& cursor, int depth) {
    StructDef def;
    while (const auto code = cursor.peek_u32()) {
        if (*code == chunk::kEntry) {
            MORVA_ASSIGN(DataTypeDef member, DataTypeDef::deserialize(cursor, depth));
            // No overflow: every leaf adds at most 16 and takes file bytes.
            def.size += member.element_size;
            def.members.push_back(std::move(member));
        } else {
            if (*code == chunk::kStructEnd) (void)cursor.read_u32();
            break;
        }
    }
    return def;
}

Result<DataTypeDef, PsfError> DataTypeDef::deserialize(Cursor& cursor, int depth) {
    MORVA_TRY(expect_chunk(cursor, chunk::kEntry));
    DataTypeDef def;
    MORVA_ASSIGN(def.id, cursor.read_i32());
    MORVA_ASSIGN(def.name, cursor.read_string());
    MORVA_TRY(cursor.read_u32());  // a word the reader has no use for
    MORVA_ASSIGN(def.data_type, cursor.read_i32());
    if (def.data_type == kDataTypeStruct) {
        if (depth >= kMaxStructDepth) return err(PsfError::other(kStructTooDeep));
        MORVA_ASSIGN(StructDef members, StructDef::deserialize(cursor, depth + 1));
        def.element_size = members.size;
        def.struct_def = std::move(members);
    } else if (const auto size = element_size_of(def.data_type)) {
        def.element_size = *size;
    } else {
        return err(PsfError::unknown_data_type(def.data_type));
    }
    MORVA_ASSIGN(PropertyBlock block, PropertyBlock::deserialize(cursor));
    def.properties = std::move(block.properties);
    return def;
}

Result<DataTypeRef, PsfError> DataTypeRef::deserialize(Cursor& cursor) {
    MORVA_TRY(expect_chunk(cursor, chunk::kEntry));
    DataTypeRef ref;
    MORVA_ASSIGN(ref.id, cursor.read_i32());
    MORVA_ASSIGN(ref.name, cursor.read_string());
    MORVA_ASSIGN(ref.type_id, cursor.read_i32());
    MORVA_ASSIGN(PropertyBlock block, PropertyBlock::deserialize(cursor));
    ref.properties = std::move(block.properties);
    return ref;
}

}  // namespace morva::psf
