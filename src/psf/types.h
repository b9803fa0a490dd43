// Type definitions, variable references and trace entries of binary PSF files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/property.h"
#include "psf/reader.h"

namespace morva::psf {

// Struct definitions nest; deeper nesting than this is refused so that a
// hostile file cannot exhaust the stack.
inline constexpr int kMaxStructDepth = 64;
inline constexpr const char* kStructTooDeep = "struct nesting deeper than 64 levels";

// Data type ids of the type table.
inline constexpr std::int32_t kDataTypeStruct = 16;

struct DataTypeDef;

struct StructDef {
    std::vector<DataTypeDef> members;
    std::uint64_t size = 0;  // sum of the members' element sizes

    // Members until a struct-end word (consumed) or any other word (not
    // consumed). `depth` counts the structs already open around this one.
    static Result<StructDef, PsfError> deserialize(Cursor& cursor, int depth = 0);
};

struct DataTypeDef {
    std::string name;
    std::vector<Property> properties;
    std::optional<StructDef> struct_def;  // exactly when data_type is 16
    std::uint64_t element_size = 0;
    std::int32_t id = 0;
    std::int32_t data_type = 0;

    static Result<DataTypeDef, PsfError> deserialize(Cursor& cursor, int depth = 0);
};

// A named variable: a sweep variable or a trace.
struct DataTypeRef {
    std::string name;
    std::vector<Property> properties;
    std::int32_t id = 0;
    std::int32_t type_id = 0;  // the id of the DataTypeDef giving its type
    // PSFXL metadata only: where the trace's record lies in the PSFXL data
    // file (the offset of the 0x00 byte just before the record's tag).
    std::optional<std::uint64_t> record_offset;

    static Result<DataTypeRef, PsfError> deserialize(Cursor& cursor);
};

struct TraceGroup {
    std::int32_t id = 0;
    std::string name;
    std::vector<DataTypeRef> members;
};

// One entry of the trace section: a plain trace or a group of traces.
using TraceNode = std::variant<DataTypeRef, TraceGroup>;

// Bytes per element of a scalar data type id, if the id is known.
std::optional<std::uint64_t> element_size_of(std::int32_t data_type);

}  // namespace morva::psf
