#include "psf/open_any.h"

#include "common/format.h"
#include "common/io.h"
#include "common/text.h"

namespace morva::psf {

bool looks_like_psfascii(std::string_view bytes) {
    const bool cut = bytes.size() > 64;
    const std::string_view head = bytes.substr(0, 64);
    if (!utf8_valid(head, cut)) return false;
    return trim_start_whitespace(head).starts_with("HEADER");
}

Result<PsfReader, PsfError> PsfReader::open(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return err(PsfError::from_io(std::move(bytes).error()));
    return from_bytes(path, std::move(bytes).value());
}

Result<PsfReader, PsfError> PsfReader::from_bytes(std::string path, std::string bytes) {
    if (looks_like_psfascii(bytes)) {
        if (auto e = utf8_error_text(bytes))
            return err(PsfError::other("PSFASCII is not valid UTF-8: " + *e));
        MORVA_ASSIGN(PsfAscii ascii, PsfAscii::from_str(std::move(path), bytes));
        return PsfReader{std::move(ascii)};
    }
    MORVA_ASSIGN(PsfFile binary, PsfFile::from_bytes(std::move(path), std::move(bytes)));
    return PsfReader{std::move(binary)};
}

const std::string& PsfReader::path() const {
    return std::visit([](const auto& f) -> const std::string& { return f.path; }, file);
}

std::uint32_t PsfReader::signature() const { return binary() ? binary()->signature : kAsciiSignature; }

const std::vector<Property>& PsfReader::header() const {
    return std::visit([](const auto& f) -> const std::vector<Property>& { return f.header; }, file);
}

std::vector<std::string_view> PsfReader::signal_names() const {
    return std::visit([](const auto& f) { return f.signal_names(); }, file);
}

std::vector<std::string_view> PsfReader::sweep_variables() const {
    std::vector<std::string_view> names;
    std::visit(
        [&](const auto& f) {
            for (const auto& s : f.sweeps) names.push_back(s.name);
        },
        file);
    return names;
}

TraceStructure PsfReader::trace_structure() const {
    return std::visit([](const auto& f) { return f.trace_structure(); }, file);
}

std::string PsfReader::describe() const {
    return std::visit([](const auto& f) { return f.describe(); }, file);
}

std::string PsfReader::repr() const {
    return fmt::cat("PsfFile(path=", fmt::debug_str(path()), ", signature=0x", fmt::hex(signature()),
                    ", signals=", signal_names().size(), ")");
}

}  // namespace morva::psf
