// Named PSF properties, shared by the binary and the PSFASCII readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/reader.h"

namespace morva::psf {

// A property's value: text, a 32-bit signed integer or a double, in that case
// order (the variant index is the case).
struct PropertyValue {
    enum class Kind { String, Int32, Double };
    std::variant<std::string, std::int32_t, double> value;

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // `String("x")`, `Int32(3)`, `Double(1.0)`.
    std::string debug() const;
    bool operator==(const PropertyValue&) const = default;
};

struct Property {
    std::string name;
    PropertyValue value;

    // A type code (33, 34 or 35), the name, then the value.
    static Result<Property, PsfError> deserialize(Cursor& cursor);
    bool operator==(const Property&) const = default;
};

// The properties that follow one another in the file as one run.
struct PropertyBlock {
    std::vector<Property> properties;

    // Reads properties while the next word is a property code.
    static Result<PropertyBlock, PsfError> deserialize(Cursor& cursor);
};

// True for the words that open a property.
inline bool is_property_code(std::uint32_t code) {
    return code == chunk::kPropString || code == chunk::kPropInt || code == chunk::kPropDouble;
}

// The value of the first header property named "PSF sweep points", when that
// property is an integer.
std::optional<std::int32_t> sweep_points(const std::vector<Property>& header);

}  // namespace morva::psf
