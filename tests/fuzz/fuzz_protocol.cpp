// libFuzzer target: the worker's request decoder, and the pool's frame reader
// (length word, header JSON, vector payloads) on bytes a worker might send.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ngspice/protocol.h"

namespace {

// Hands the input out in small, uneven pieces, as a pipe would.
class PieceSource final : public morva::ngspice::ByteSource {
public:
    PieceSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    morva::Result<std::size_t, morva::IoError> read_some(char* dst, std::size_t max) override {
        const std::size_t n = std::min({max, size_ - pos_, std::size_t{1} + pos_ % 97});
        std::memcpy(dst, data_ + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)morva::ngspice::decode_request(text);
    if (auto header = morva::ngspice::decode_header(text)) {
        // What decodes must encode and decode to the same record.
        const std::string again = morva::ngspice::encode_header(*header);
        if (!morva::ngspice::decode_header(again)) __builtin_trap();
    }
    PieceSource source(data, size);
    (void)morva::ngspice::read_binary_response(source);
    return 0;
}
