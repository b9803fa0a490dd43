// libFuzzer target: kind detection and the PSFASCII parser on arbitrary bytes.
// Inputs that do not start with HEADER get it prepended so that most runs
// reach the parser.
#include <cstddef>
#include <cstdint>
#include <string>

#include "psf/open_any.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!morva::psf::looks_like_psfascii(bytes)) bytes.insert(0, "HEADER\n");
    auto reader = morva::psf::PsfReader::from_bytes("fuzz", std::move(bytes));
    if (!reader) {
        (void)reader.error().text();
        return 0;
    }
    (void)reader->describe();
    if (const morva::psf::PsfAscii* ascii = reader->ascii()) {
        for (const auto& [name, series] : ascii->values) {
            (void)ascii->waveform(name);
            for (std::size_t i = 0; i < series.size(); ++i) (void)series.at(i);
        }
    }
    return 0;
}
