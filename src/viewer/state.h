// The local HTTP waveform viewer of one PSFXL companion file: its shared
// state, the signal tree and waveform endpoints, and the server entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/psfxl.h"
#include "viewer/http.h"
#include "viewer/strip_chart.h"

namespace morva::psf {
struct PsfFile;
}

namespace morva::viewer {

using psf::PsfFile;
using strip_chart::json_string;

// One data record as the viewer shows it.
struct RecordInfo {
    std::optional<std::string> name;  // full dotted signal name
    std::uint64_t record_id = 0;
    std::optional<std::uint32_t> sample_count;
    psfxl::Codec codec;
    bool decodable = false;
};

// One decoded waveform, shared between the cache and the requests using it.
struct Wave {
    std::vector<double> time;
    std::vector<double> values;
    double y_min = 0;  // over the finite values; +inf / -inf when there are none
    double y_max = 0;
};

// Decoded waveforms by record id within a byte budget, the least recently
// used going first. A waveform larger than the whole budget is not kept.
// Not locked itself: `ViewerState::cache_mutex` guards it.
class WaveCache {
public:
    explicit WaveCache(std::uint64_t budget_bytes) : budget_(budget_bytes) {}

    // The waveform under `id`, now the most recently used; null when absent.
    std::shared_ptr<const Wave> find(std::uint64_t id);
    // Keeps `wave` under `id` (replacing an entry), then lets the least
    // recently used go until the rest fits the budget.
    void insert(std::uint64_t id, std::shared_ptr<const Wave> wave);

    std::size_t size() const { return index_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t budget() const { return budget_; }

    // What one waveform holds in memory.
    static std::uint64_t bytes_of(const Wave& wave);

private:
    using Entry = std::pair<std::uint64_t, std::shared_ptr<const Wave>>;
    std::uint64_t budget_;
    std::uint64_t bytes_ = 0;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::uint64_t, std::list<Entry>::iterator> index_;
};

// The cache budget: MORVA_VIEWER_CACHE_BYTES when set to a number, else an
// eighth of the memory ceiling, at most 256 MiB.
std::uint64_t default_cache_budget();

// An answer text shared by the connections sending it.
using SharedBody = Result<std::shared_ptr<const std::string>, PsfError>;

// Answers by key while any connection still sends them, and those being
// built: slow clients of one answer hold one text, not one copy each, and
// clients asking while it is built wait for it.
struct SharedAnswers {
    std::unordered_map<std::uint64_t, std::weak_ptr<const std::string>> bodies;
    std::unordered_map<std::uint64_t, std::shared_future<SharedBody>> building;
};

// Everything the viewer knows about the file; read-only after start except
// the waveform cache and the answers in flight.
struct ViewerState {
    psfxl::NgpsfFile file;
    std::vector<RecordInfo> records;  // by record id, ascending
    std::string path;                 // display form of the file's path
    std::uint64_t file_size = 0;

    mutable std::mutex cache_mutex;  // guards `cache`, `waves` and `trees`
    mutable WaveCache cache;
    mutable SharedAnswers waves;  // /api/wave texts by record id
    mutable SharedAnswers trees;  // the /api/tree text, under key 0

    explicit ViewerState(psfxl::NgpsfFile f, std::uint64_t cache_budget = default_cache_budget())
        : file(std::move(f)), cache(cache_budget) {}
};

// Names a companion PSF file gives to records: by record id, by position
// (trace order, group members in place of their group), and by the record
// offset its signals carry (PSFXL metadata; each signal under its positional
// name).
struct CompanionNames {
    std::unordered_map<std::uint64_t, std::string> by_offset;
    std::unordered_map<std::uint64_t, std::string> by_id;
    std::vector<std::string> by_position;
};

// "\<" becomes "<", then "\>" becomes ">".
std::string unescape_name(std::string_view name);
CompanionNames companion_names(const PsfFile& companion);

// The records of `file` with their names, sorted by record id (stable). When
// the companion's traces carry record offsets, a record is named by the trace
// whose offset is that of the byte before its tag, and a record that no trace
// points at stays unnamed (record ids are not trace ids). Otherwise a record
// takes the name of the trace whose id equals its record id, else the name at
// its position.
std::vector<RecordInfo> build_records(const psfxl::NgpsfFile& file, const CompanionNames* names);
std::shared_ptr<ViewerState> build_state(psfxl::NgpsfFile file, const PsfFile* companion,
                                         std::uint64_t cache_budget = default_cache_budget());

struct BannerCounts {
    std::size_t total = 0;
    std::size_t named = 0;
    std::size_t decodable = 0;
};
BannerCounts banner_counts(const std::vector<RecordInfo>& records);

// The codec name the tree shows ("standalone-pair", "back-ref", "unknown").
std::string_view tree_codec_name(const psfxl::Codec& codec);

// One node of the signal tree: a folder (with children) or a leaf.
struct JsonNode {
    JsonNode() = default;
    JsonNode(JsonNode&&) noexcept = default;
    JsonNode& operator=(JsonNode&&) noexcept = default;
    JsonNode(const JsonNode&) = delete;
    JsonNode& operator=(const JsonNode&) = delete;
    // Frees the subtree without recursion: names can nest very deep.
    ~JsonNode();

    std::string label;
    std::string path;
    std::optional<std::uint64_t> id;
    std::vector<JsonNode> children;
    std::optional<std::uint32_t> samples;
    std::string codec;  // empty for folders
    bool leaf = false;
    bool decodable = false;
};

// The tree of folders (one per dotted name prefix) and leaves; records
// without a name go to the folder "(records without names)". Sorted.
JsonNode build_tree(const std::vector<RecordInfo>& records);
// Orders every folder's children: folders first, then by label byte-wise.
void sort_tree(JsonNode& node);
// Appends the JSON of `node` and its subtree.
void write_node_json(const JsonNode& node, std::string& out);

// The body of /api/tree.
std::string tree_json(const ViewerState& state);
// The same text, shared with every connection answering /api/tree now.
std::shared_ptr<const std::string> shared_tree_json(const ViewerState& state);

// The body of /api/wave for the query's "id", decoding through the cache.
Result<std::string, PsfError> handle_wave(const QueryMap& query, const ViewerState& state);
// The same text, shared with every connection answering the same record now.
SharedBody shared_wave_body(const QueryMap& query, const ViewerState& state);

// Routes one request: "/" and "/index.html", "/api/tree", "/api/wave".
Response route(const Request& request, const ViewerState& state);

// The viewer page served for "/" and "/index.html".
std::string_view viewer_page();

struct ServeOptions {
    // Asked about every 100 ms; serving ends when it returns true.
    std::function<bool()> should_stop;
    ServerLimits limits;
};

// Builds the state, binds 127.0.0.1:port, prints the banner to standard
// error and serves until `should_stop` says so. Fails only when binding
// fails: "bind 127.0.0.1:{port} failed: {os error}".
Result<void, PsfError> serve(psfxl::NgpsfFile file, const PsfFile* companion, std::uint16_t port,
                             const ServeOptions& options = {});

}  // namespace morva::viewer
