// libFuzzer target: what a client or a file hands the viewer. The input is
// read as a request (its first line and its query), and its lines as signal
// names for the tree, with ids, sample counts and codecs from their bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "viewer/state.h"

using namespace morva;
using namespace morva::psf;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const viewer::Request request = viewer::parse_request_line(text.substr(0, text.find('\n')));
    (void)viewer::url_decode(text);
    (void)viewer::is_loopback_host(text);

    std::vector<viewer::RecordInfo> records;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        viewer::RecordInfo info;
        const auto first = line.empty() ? 0u : static_cast<unsigned char>(line.front());
        if (first % 5 != 0) info.name = std::string(line);
        info.record_id = (records.size() * 2654435761u) % 7;  // repeated ids on purpose
        if (first % 3 == 0) info.sample_count = first;
        info.codec = psfxl::Codec::from_byte(static_cast<std::uint8_t>(first));
        info.decodable = info.codec.decodable();
        records.push_back(std::move(info));
        start = end + 1;
    }
    const viewer::JsonNode root = viewer::build_tree(records);
    std::string out;
    viewer::write_node_json(root, out);
    (void)viewer::banner_counts(records);
    (void)request;
    return 0;
}
