// Entry of the PSF readers: opens a result file of any kind, detecting the
// kind from its content.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/file.h"
#include "psf/psfascii.h"

namespace morva::psf {

// The signature reported for PSFASCII files: "ASCI" read as a big-endian word.
inline constexpr std::uint32_t kAsciiSignature = 0x41534349;

// True when the first bytes of a file mark it as PSFASCII: valid UTF-8 (a
// multi-byte character may be cut by the 64-byte window) that begins, after
// white space, with HEADER.
bool looks_like_psfascii(std::string_view bytes);

struct PsfReader {
    std::variant<PsfFile, PsfAscii> file;

    // Reads the whole file; text files go to the PSFASCII parser, everything
    // else to the binary reader.
    static Result<PsfReader, PsfError> open(const std::string& path);
    // The same on bytes already in memory.
    static Result<PsfReader, PsfError> from_bytes(std::string path, std::string bytes);

    bool is_ascii() const { return std::holds_alternative<PsfAscii>(file); }
    const PsfFile* binary() const { return std::get_if<PsfFile>(&file); }
    const PsfAscii* ascii() const { return std::get_if<PsfAscii>(&file); }

    const std::string& path() const;
    std::uint32_t signature() const;
    const std::vector<Property>& header() const;
    std::vector<std::string_view> signal_names() const;
    std::vector<std::string_view> sweep_variables() const;
    TraceStructure trace_structure() const;
    std::string describe() const;
    // "PsfFile(path=..., signature=0x..., signals=N)".
    std::string repr() const;
};

}  // namespace morva::psf
