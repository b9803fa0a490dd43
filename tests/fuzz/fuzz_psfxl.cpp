// libFuzzer target: companion files, from the tag scan to waveform decoding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "psf/psfxl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto file = morva::psf::psfxl::NgpsfFile::from_bytes(
        "fuzz", std::string(reinterpret_cast<const char*>(data), size));
    if (!file) return 0;
    (void)file->data_record_count();
    for (const auto& record : file->parse_data_records()) {
        (void)record.sample_count();
        (void)record.decode_time();
        (void)file->decode_waveform(record.record_id);
    }
    (void)file->decode_all();
    return 0;
}
