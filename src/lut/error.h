// The error of the characterisation-table cache.
#pragma once

#include <string>
#include <utility>

#include "common/io.h"

namespace morva::lut {

struct LutError {
    enum class Kind { Io, Serialization, KeySerialization };

    Kind kind = Kind::Io;
    std::string message;  // Serialization, KeySerialization
    IoError io;           // Io

    static LutError from_io(IoError e) { return {Kind::Io, {}, std::move(e)}; }
    static LutError serialization(std::string m) { return {Kind::Serialization, std::move(m), {}}; }
    static LutError key_serialization(std::string m) { return {Kind::KeySerialization, std::move(m), {}}; }

    std::string text() const {
        switch (kind) {
            case Kind::Io: return "LUT cache I/O error: " + io.text();
            case Kind::Serialization: return "LUT cache serialization error: " + message;
            case Kind::KeySerialization: return "LUT cache key serialization error: " + message;
        }
        return message;
    }
};

}  // namespace morva::lut
