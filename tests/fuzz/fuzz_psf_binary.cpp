// libFuzzer target: the binary PSF reader on arbitrary bytes, and on the same
// bytes used as the section bodies of a chained file (the PSFXL metadata
// layout, split at "||||" into header, type, sweep and trace bodies), so that
// mutations reach the section readers behind a valid chain.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../cpp/test_psf_writer.h"
#include "psf/file.h"

namespace {

void exercise(const std::string& bytes) {
    auto file = morva::psf::PsfFile::from_bytes("fuzz", bytes);
    if (file) {
        (void)file->signal_names();
        (void)file->trace_structure();
        (void)file->describe();
    } else {
        (void)file.error().text();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    exercise(bytes);
    std::vector<psf_test::Section> sections;
    std::size_t start = 0;
    for (std::uint32_t id = 0; id < 4 && start <= bytes.size(); ++id) {
        std::size_t end = id == 3 ? std::string::npos : bytes.find("||||", start);
        if (end == std::string::npos) end = bytes.size();
        std::string body = bytes.substr(start, end - start);
        sections.push_back({id, [body](psf_test::Writer& w) { w.out += body; }});
        start = end + 4;
    }
    exercise(psf_test::build_chained_file(sections));
    return 0;
}
