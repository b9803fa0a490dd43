// The error of every PSF reader.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/io.h"

namespace morva::psf {

struct PsfError {
    enum class Kind {
        Io,
        TooSmall,
        MissingTrailer,
        BadSignature,
        Truncated,
        UnexpectedChunk,
        UnknownDataType,
        UnknownPropertyType,
        UnknownSection,
        StringTooLong,
        Other,
    };

    Kind kind = Kind::Other;
    IoError io;                           // Io
    std::uint64_t a = 0, b = 0, c = 0;    // size / signature / offset,need,have / got,offset / index / length
    std::int32_t data_type_id = 0;        // UnknownDataType
    std::vector<std::uint32_t> expected;  // UnexpectedChunk
    std::string message;                  // Other

    static PsfError from_io(IoError e) {
        PsfError r;
        r.kind = Kind::Io;
        r.io = std::move(e);
        return r;
    }
    static PsfError too_small(std::uint64_t size) { return with(Kind::TooSmall, size); }
    static PsfError missing_trailer() { return with(Kind::MissingTrailer); }
    static PsfError bad_signature(std::uint32_t sig) { return with(Kind::BadSignature, sig); }
    static PsfError truncated(std::uint64_t offset, std::uint64_t need, std::uint64_t have) {
        return with(Kind::Truncated, offset, need, have);
    }
    static PsfError unexpected_chunk(std::uint32_t got, std::uint64_t offset,
                                     std::vector<std::uint32_t> expected_codes) {
        PsfError r = with(Kind::UnexpectedChunk, got, offset);
        r.expected = std::move(expected_codes);
        return r;
    }
    static PsfError unknown_data_type(std::int32_t id) {
        PsfError r = with(Kind::UnknownDataType);
        r.data_type_id = id;
        return r;
    }
    static PsfError unknown_property_type(std::uint32_t code) {
        return with(Kind::UnknownPropertyType, code);
    }
    static PsfError unknown_section(std::uint64_t index) { return with(Kind::UnknownSection, index); }
    static PsfError string_too_long(std::uint32_t len) { return with(Kind::StringTooLong, len); }
    static PsfError other(std::string m) {
        PsfError r;
        r.message = std::move(m);
        return r;
    }

    std::string text() const;

private:
    static PsfError with(Kind k, std::uint64_t x = 0, std::uint64_t y = 0, std::uint64_t z = 0) {
        PsfError r;
        r.kind = k;
        r.a = x;
        r.b = y;
        r.c = z;
        return r;
    }
};

}  // namespace morva::psf
