#include "psf/property.h"

#include "common/format.h"

namespace morva::psf {

std::string PropertyValue::debug() const {
    switch (kind()) {
        case Kind::String: return fmt::cat("String(", fmt::debug_str(std::get<std::string>(value)), ")");
        case Kind::Int32: return fmt::cat("Int32(", std::get<std::int32_t>(value), ")");
        case Kind::Double: return fmt::cat("Double(", fmt::debug(std::get<double>(value)), ")");
    }
    return {};
}

Result<Property, PsfError> Property::deserialize(Cursor& cursor) {
    MORVA_ASSIGN(std::uint32_t code, cursor.read_u32());
    MORVA_ASSIGN(std::string name, cursor.read_string());
    PropertyValue value;
    switch (code) {
        case chunk::kPropString: {
            MORVA_ASSIGN(value.value, cursor.read_string());
            break;
        }
        case chunk::kPropInt: {
            MORVA_ASSIGN(value.value, cursor.read_i32());
            break;
        }
        case chunk::kPropDouble: {
            MORVA_ASSIGN(value.value, cursor.read_f64());
            break;
        }
        default: return err(PsfError::unknown_property_type(code));
    }
    return Property{std::move(name), std::move(value)};
}

Result<PropertyBlock, PsfError> PropertyBlock::deserialize(Cursor& cursor) {
    PropertyBlock block;
    for (auto code = cursor.peek_u32(); code && is_property_code(*code); code = cursor.peek_u32()) {
        MORVA_ASSIGN(Property p, Property::deserialize(cursor));
        block.properties.push_back(std::move(p));
    }
    return block;
}

std::optional<std::int32_t> sweep_points(const std::vector<Property>& header) {
    for (const Property& p : header) {
        if (p.name != "PSF sweep points") continue;
        if (const auto* n = std::get_if<std::int32_t>(&p.value.value)) return *n;
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace morva::psf
