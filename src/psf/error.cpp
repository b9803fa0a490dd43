#include "psf/error.h"

#include "common/format.h"

namespace morva::psf {

std::string PsfError::text() const {
    using fmt::cat;
    switch (kind) {
        case Kind::Io: return "I/O error: " + io.text();
        case Kind::TooSmall: return cat("file too small to be a PSF: ", a, " bytes");
        case Kind::MissingTrailer: return "missing Clarissa trailer (not a PSF file)";
        case Kind::BadSignature:
            return cat("unsupported PSF signature 0x", fmt::hex(a),
                       " (expected 0x200 binary, 0x300 PSFXL, 0x400 windowed, 0x500 operating point, or any "
                       "word before a header section at offset 4)");
        case Kind::Truncated:
            return cat("truncated read at offset ", a, " (need ", b, " bytes, have ", c, ")");
        case Kind::UnexpectedChunk: {
            std::string list = "[";
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (i) list.append(", ");
                list.append(std::to_string(expected[i]));
            }
            list.push_back(']');
            return cat("unexpected chunk type ", a, " at offset ", b, " (expected ", list, ")");
        }
        case Kind::UnknownDataType: return cat("unknown data type id ", data_type_id);
        case Kind::UnknownPropertyType: return cat("unknown property type ", a);
        case Kind::UnknownSection: return cat("unknown section index ", a);
        case Kind::StringTooLong: return cat("string length ", a, " exceeds remaining buffer");
        case Kind::Other: return message;
    }
    return message;
}

}  // namespace morva::psf
