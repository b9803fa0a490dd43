// libFuzzer target: the binary PSF reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "psf/file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto file =
        morva::psf::PsfFile::from_bytes("fuzz", std::string(reinterpret_cast<const char*>(data), size));
    if (file) {
        (void)file->signal_names();
        (void)file->trace_structure();
        (void)file->describe();
    } else {
        (void)file.error().text();
    }
    return 0;
}
