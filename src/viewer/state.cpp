#include "viewer/state.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include "common/format.h"
#include "common/memory.h"
#include "common/text.h"
#include "psf/file.h"

namespace morva::viewer {
namespace {

using psf::DataTypeRef;
using psf::for_each_signal;
using psf::TraceGroup;
using psf::TraceNode;
using CodecKind = psfxl::Codec::Kind;

constexpr std::string_view kOrphansLabel = "(records without names)";
constexpr std::string_view kOrphansPath = "__orphan__";
// Every folder carries its whole path, so a name with d dots costs d times
// its length; below this many folders the rest of a name stays in its leaf.
constexpr std::size_t kMaxFolderDepth = 128;

// A decimal record id: an optional '+', then digits only, without overflow.
std::optional<std::uint64_t> parse_record_id(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint64_t value = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

JsonNode folder(std::string label, std::string path) {
    JsonNode n;
    n.label = std::move(label);
    n.path = std::move(path);
    return n;
}

JsonNode leaf(std::string label, std::string path, const RecordInfo& record) {
    JsonNode n;
    n.label = std::move(label);
    n.path = std::move(path);
    n.leaf = true;
    n.id = record.record_id;
    n.samples = record.sample_count;
    n.codec = std::string(tree_codec_name(record.codec));
    n.decodable = record.decodable;
    return n;
}

// The tree while it is built: nodes live in one arena and refer to their
// children by index, and each folder indexes its sub-folders by label, so
// that neither depth nor the number of siblings costs recursion or scans.
class TreeBuilder {
public:
    TreeBuilder() { nodes_.push_back({folder("/", ""), {}, {}}); }

    // A node not yet placed in the tree.
    std::size_t create(JsonNode node) {
        nodes_.push_back({std::move(node), {}, {}});
        return nodes_.size() - 1;
    }
    void attach(std::size_t parent, std::size_t child) { nodes_[parent].children.push_back(child); }
    std::size_t add(std::size_t parent, JsonNode node) {
        const std::size_t index = create(std::move(node));
        attach(parent, index);
        return index;
    }

    // The folder labelled `label` under `parent`, created when missing.
    std::size_t folder_child(std::size_t parent, std::string_view label, std::string_view path) {
        auto& index = nodes_[parent].folders;
        if (auto it = index.find(std::string(label)); it != index.end()) return it->second;
        const std::size_t child = add(parent, folder(std::string(label), std::string(path)));
        nodes_[parent].folders.emplace(std::string(label), child);
        return child;
    }

    // Moves every node into its parent; children always come after their
    // parent in the arena, so a backward sweep completes them first.
    JsonNode finish() {
        for (std::size_t i = nodes_.size(); i-- > 0;) {
            Entry& e = nodes_[i];
            e.node.children.reserve(e.children.size());
            for (std::size_t child : e.children) e.node.children.push_back(std::move(nodes_[child].node));
            e.children = {};
            e.folders = {};
        }
        JsonNode root = std::move(nodes_[0].node);
        nodes_.clear();
        return root;
    }

private:
    struct Entry {
        JsonNode node;
        std::vector<std::size_t> children;
        std::unordered_map<std::string, std::size_t> folders;
    };
    std::vector<Entry> nodes_;
};

void write_node_head(const JsonNode& node, std::string& out) {
    out.append("{\"label\":");
    strip_chart::append_json_string(out, node.label);
    out.append(",\"path\":");
    strip_chart::append_json_string(out, node.path);
    if (!node.leaf) {
        out.append(",\"leaf\":false,\"children\":[");
        return;
    }
    out.append(",\"leaf\":true,\"id\":");
    out.append(std::to_string(node.id.value_or(0)));
    out.append(",\"samples\":");
    out.append(node.samples ? std::to_string(*node.samples) : std::string("null"));
    out.append(",\"codec\":");
    strip_chart::append_json_string(out, node.codec);
    out.append(",\"decodable\":");
    out.append(node.decodable ? "true" : "false");
    out.push_back('}');
}

std::string wave_json(const Wave& wave) {
    const std::size_t n = wave.time.size();
    std::string out;
    out.reserve(32 * n + 256);
    out.append("{\"x\":[");
    (void)strip_chart::write_f64_array(out, wave.time);
    out.append("],\"y\":[");
    (void)strip_chart::write_f64_array(out, wave.values);
    out.append("],\"total\":").append(std::to_string(n));
    out.append(",\"shown\":").append(std::to_string(n));
    out.append(",\"x_total_min\":");
    strip_chart::append_json_number(out, n ? wave.time.front() : 0.0);
    out.append(",\"x_total_max\":");
    strip_chart::append_json_number(out, n ? wave.time.back() : 0.0);
    out.append(",\"y_min\":");
    strip_chart::append_json_number(out, wave.y_min);
    out.append(",\"y_max\":");
    strip_chart::append_json_number(out, wave.y_max);
    out.push_back('}');
    return out;
}

std::string error_json(std::string_view message) {
    std::string out = "{\"error\":";
    strip_chart::append_json_string(out, message);
    out.push_back('}');
    return out;
}

}  // namespace

JsonNode::~JsonNode() {
    if (children.empty()) return;
    std::vector<JsonNode> pending = std::move(children);
    while (!pending.empty()) {
        JsonNode last = std::move(pending.back());
        pending.pop_back();
        for (JsonNode& child : last.children) pending.push_back(std::move(child));
        last.children.clear();
    }
}

std::string unescape_name(std::string_view name) {
    // One pass equals replacing "\<" and then "\>": neither replacement can
    // form or break an occurrence of the other.
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size() && (name[i + 1] == '<' || name[i + 1] == '>')) ++i;
        out.push_back(name[i]);
    }
    return out;
}

CompanionNames companion_names(const PsfFile& companion) {
    CompanionNames names;
    const auto key = [](std::int32_t id) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(id));
    };
    for (const TraceNode& node : companion.traces) {
        if (const auto* ref = std::get_if<DataTypeRef>(&node)) {
            names.by_id.insert_or_assign(key(ref->id), unescape_name(ref->name));
            continue;
        }
        const auto& group = std::get<TraceGroup>(node);
        if (group.members.size() == 1) {
            names.by_id.insert_or_assign(key(group.id), unescape_name(group.members[0].name));
        } else {
            const std::string prefix = unescape_name(group.name);
            for (const DataTypeRef& member : group.members)
                names.by_id.insert_or_assign(key(member.id),
                                             fmt::cat(prefix, ".", unescape_name(member.name)));
        }
    }
    // A signal found by its record offset takes its own name, as by position.
    for_each_signal(companion.traces, [&names](const DataTypeRef& ref) {
        std::string name = unescape_name(ref.name);
        if (ref.record_offset) names.by_offset.insert_or_assign(*ref.record_offset, name);
        names.by_position.push_back(std::move(name));
    });
    return names;
}

std::vector<RecordInfo> build_records(const psfxl::NgpsfFile& file, const CompanionNames* names) {
    const std::vector<psfxl::PsfxlRecord> parsed = file.parse_data_records();
    std::vector<RecordInfo> records;
    records.reserve(parsed.size());
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        const psfxl::PsfxlRecord& r = parsed[i];
        RecordInfo info;
        if (names && !names->by_offset.empty()) {
            // The tag's first character follows the byte the offset points at.
            if (r.tag && r.tag->offset > 0) {
                if (auto it = names->by_offset.find(r.tag->offset - 1); it != names->by_offset.end())
                    info.name = it->second;
            }
        } else if (names) {
            if (auto it = names->by_id.find(r.record_id); it != names->by_id.end())
                info.name = it->second;
            else if (i < names->by_position.size())
                info.name = names->by_position[i];
        }
        info.record_id = r.record_id;
        if (auto count = r.sample_count()) info.sample_count = static_cast<std::uint32_t>(*count);
        info.codec = r.codec;
        info.decodable = r.codec.decodable();
        records.push_back(std::move(info));
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const RecordInfo& a, const RecordInfo& b) { return a.record_id < b.record_id; });
    return records;
}

std::shared_ptr<const Wave> WaveCache::find(std::uint64_t id) {
    const auto hit = index_.find(id);
    if (hit == index_.end()) return nullptr;
    order_.splice(order_.begin(), order_, hit->second);
    return hit->second->second;
}

void WaveCache::insert(std::uint64_t id, std::shared_ptr<const Wave> wave) {
    if (const auto old = index_.find(id); old != index_.end()) {
        bytes_ -= bytes_of(*old->second->second);
        order_.erase(old->second);
        index_.erase(old);
    }
    const std::uint64_t size = bytes_of(*wave);
    if (size > budget_) return;
    order_.emplace_front(id, std::move(wave));
    index_.emplace(id, order_.begin());
    bytes_ += size;
    while (bytes_ > budget_) {
        bytes_ -= bytes_of(*order_.back().second);
        index_.erase(order_.back().first);
        order_.pop_back();
    }
}

std::uint64_t WaveCache::bytes_of(const Wave& wave) {
    return sizeof(Wave) + (wave.time.capacity() + wave.values.capacity()) * sizeof(double);
}

std::uint64_t default_cache_budget() {
    if (const char* text = std::getenv("MORVA_VIEWER_CACHE_BYTES")) {
        if (auto bytes = parse_record_id(text)) return *bytes;
    }
    return std::min<std::uint64_t>(std::uint64_t{256} << 20, memory_ceiling() / 8);
}

std::shared_ptr<ViewerState> build_state(psfxl::NgpsfFile file, const PsfFile* companion,
                                         std::uint64_t cache_budget) {
    std::optional<CompanionNames> names;
    if (companion) names = companion_names(*companion);
    auto state = std::make_shared<ViewerState>(std::move(file), cache_budget);
    state->records = build_records(state->file, names ? &*names : nullptr);
    state->path = utf8_lossy(state->file.path());
    state->file_size = state->file.size();
    return state;
}

BannerCounts banner_counts(const std::vector<RecordInfo>& records) {
    BannerCounts counts;
    counts.total = records.size();
    for (const RecordInfo& r : records) {
        if (r.name) ++counts.named;
        if (r.decodable) ++counts.decodable;
    }
    return counts;
}

std::string_view tree_codec_name(const psfxl::Codec& codec) {
    switch (codec.kind) {
        case CodecKind::Inline: return "inline";
        case CodecKind::StandalonePair: return "standalone-pair";
        case CodecKind::StandaloneBloscTime: return "standalone-blosc-time";
        case CodecKind::StandaloneRawTime: return "standalone-raw-time";
        case CodecKind::BackReferenced: return "back-ref";
        case CodecKind::BackReferencedImplicit: return "back-ref-implicit";
        case CodecKind::BackReferencedRaw: return "back-ref-raw";
        case CodecKind::Aliased: return "aliased";
        case CodecKind::Unknown: return "unknown";
    }
    return "unknown";
}

JsonNode build_tree(const std::vector<RecordInfo>& records) {
    TreeBuilder tree;
    constexpr std::size_t kRoot = 0;
    std::optional<std::size_t> orphans;
    for (const RecordInfo& r : records) {
        if (!r.name) {
            if (!orphans)
                orphans = tree.create(folder(std::string(kOrphansLabel), std::string(kOrphansPath)));
            std::string label = fmt::cat("record_0x", fmt::hex(r.record_id));
            std::string path = fmt::cat(kOrphansPath, ".", label);
            tree.add(*orphans, leaf(std::move(label), std::move(path), r));
            continue;
        }
        const std::string_view name = *r.name;
        std::size_t at = kRoot;
        std::size_t start = 0;
        std::size_t depth = 0;
        for (std::size_t dot;
             depth < kMaxFolderDepth && (dot = name.find('.', start)) != std::string_view::npos;
             start = dot + 1, ++depth)
            at = tree.folder_child(at, name.substr(start, dot - start), name.substr(0, dot));
        tree.add(at, leaf(std::string(name.substr(start)), std::string(name), r));
    }
    // The orphans folder follows every named entry of the root.
    if (orphans) tree.attach(kRoot, *orphans);
    JsonNode root = tree.finish();
    sort_tree(root);
    return root;
}

void sort_tree(JsonNode& node) {
    std::vector<JsonNode*> pending{&node};
    while (!pending.empty()) {
        JsonNode* n = pending.back();
        pending.pop_back();
        std::stable_sort(n->children.begin(), n->children.end(), [](const JsonNode& a, const JsonNode& b) {
            if (a.leaf != b.leaf) return !a.leaf;
            return a.label < b.label;
        });
        for (JsonNode& child : n->children)
            if (!child.leaf) pending.push_back(&child);
    }
}

void write_node_json(const JsonNode& node, std::string& out) {
    write_node_head(node, out);
    if (node.leaf) return;
    struct Frame {
        const JsonNode* node;
        std::size_t next;
    };
    std::vector<Frame> stack{{&node, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.node->children.size()) {
            out.append("]}");
            stack.pop_back();
            continue;
        }
        if (top.next) out.push_back(',');
        const JsonNode& child = top.node->children[top.next++];
        write_node_head(child, out);
        if (!child.leaf) stack.push_back({&child, 0});
    }
}

std::string tree_json(const ViewerState& state) {
    const JsonNode root = build_tree(state.records);
    const BannerCounts counts = banner_counts(state.records);
    std::string out;
    out.reserve(64 * 1024);
    out.append("{\"path\":");
    strip_chart::append_json_string(out, state.path);
    out.append(",\"total_signals\":").append(std::to_string(counts.total));
    out.append(",\"decodable\":").append(std::to_string(counts.decodable));
    out.append(",\"file_size_mb\":");
    strip_chart::append_json_number(out, static_cast<double>(state.file_size) * 0x1p-20);
    out.append(",\"root\":");
    write_node_json(root, out);
    out.push_back('}');
    return out;
}

namespace {

std::shared_ptr<const Wave> cached_wave(std::uint64_t id, const ViewerState& state) {
    std::lock_guard<std::mutex> lock(state.cache_mutex);
    return state.cache.find(id);
}

// Decodes outside the lock; the cache keeps the recently used waveforms.
SharedBody build_wave_body(std::uint64_t id, const ViewerState& state) {
    std::shared_ptr<const Wave> wave = cached_wave(id, state);
    if (!wave) {
        MORVA_ASSIGN(psfxl::Waveform decoded, state.file.decode_waveform(id));
        auto fresh = std::make_shared<Wave>();
        fresh->y_min = std::numeric_limits<double>::infinity();
        fresh->y_max = -std::numeric_limits<double>::infinity();
        for (double v : decoded.values) {
            if (!std::isfinite(v)) continue;
            fresh->y_min = std::min(fresh->y_min, v);
            fresh->y_max = std::max(fresh->y_max, v);
        }
        fresh->time = std::move(decoded.time);
        fresh->values = std::move(decoded.values);
        wave = fresh;
        std::lock_guard<std::mutex> lock(state.cache_mutex);
        state.cache.insert(id, wave);
    }
    return std::make_shared<const std::string>(wave_json(*wave));
}

// The answer under `key` of `answers`: the text another connection is still
// sending, else the one being built (waiting for it), else built here.
template <class Build>
SharedBody share_answer(const ViewerState& state, SharedAnswers& answers, std::uint64_t key, Build&& build) {
    std::promise<SharedBody> promise;
    std::shared_future<SharedBody> other_build;
    {
        std::lock_guard<std::mutex> lock(state.cache_mutex);
        if (auto sent = answers.bodies.find(key); sent != answers.bodies.end()) {
            if (auto body = sent->second.lock()) return body;
            answers.bodies.erase(sent);
        }
        if (auto b = answers.building.find(key); b != answers.building.end())
            other_build = b->second;
        else
            answers.building.emplace(key, promise.get_future().share());
    }
    if (other_build.valid()) return other_build.get();

    std::optional<SharedBody> built;
    try {
        built = build();
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(state.cache_mutex);
            answers.building.erase(key);
        }
        promise.set_exception(std::current_exception());
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(state.cache_mutex);
        if (*built) answers.bodies.insert_or_assign(key, built->value());
        answers.building.erase(key);
    }
    promise.set_value(*built);
    return std::move(*built);
}

}  // namespace

SharedBody shared_wave_body(const QueryMap& query, const ViewerState& state) {
    const auto it = query.find("id");
    if (it == query.end()) return err(PsfError::other("missing 'id' query parameter"));
    const std::optional<std::uint64_t> id = parse_record_id(it->second);
    if (!id) return err(PsfError::other(fmt::cat("invalid record id: ", it->second)));
    return share_answer(state, state.waves, *id, [&] { return build_wave_body(*id, state); });
}

std::shared_ptr<const std::string> shared_tree_json(const ViewerState& state) {
    return share_answer(state, state.trees, 0,
                        [&]() -> SharedBody { return std::make_shared<const std::string>(tree_json(state)); })
        .value();
}

Result<std::string, PsfError> handle_wave(const QueryMap& query, const ViewerState& state) {
    MORVA_ASSIGN(std::shared_ptr<const std::string> body, shared_wave_body(query, state));
    return std::string(*body);
}

Response route(const Request& request, const ViewerState& state) {
    if (request.method != "GET") return {405, "text/plain", "method not allowed"};
    if (request.path == "/" || request.path == "/index.html")
        return {200, "text/html; charset=utf-8", std::string(viewer_page())};
    if (request.path == "/api/tree") return {200, "application/json", shared_tree_json(state)};
    if (request.path == "/api/wave") {
        try {
            auto result = shared_wave_body(request.query, state);
            if (result) return {200, "application/json", std::move(result).value()};
            return {200, "application/json", error_json(result.error().text())};
        } catch (const std::bad_alloc&) {
            return {200, "application/json", error_json("out of memory while decoding the waveform")};
        } catch (const std::exception& e) {
            return {200, "application/json", error_json(e.what())};
        }
    }
    return {404, "text/plain", "not found"};
}

Result<void, PsfError> serve(psfxl::NgpsfFile file, const PsfFile* companion, std::uint16_t port,
                             const ServeOptions& options) {
    std::shared_ptr<const ViewerState> state = build_state(std::move(file), companion);
    auto listener = bind_loopback(port);
    if (!listener)
        return err(PsfError::other(
            fmt::cat("bind 127.0.0.1:", static_cast<unsigned>(port), " failed: ", listener.error().text())));
    const BannerCounts counts = banner_counts(state->records);
    // Port 0 asks the system for a free port: show the one it chose.
    const unsigned shown_port = port != 0 ? port : local_port(listener->get());
    const std::string banner =
        fmt::cat("PSFXL viewer \xE2\x86\x92 http://127.0.0.1:", shown_port, "/  (", counts.total,
                 " records, ", counts.named, " named, ", counts.decodable, " decodable)\n");
    std::fputs(banner.c_str(), stderr);
    std::fflush(stderr);
    auto handler = std::make_shared<const RequestHandler>(
        [state](const Request& request) { return route(request, *state); });
    run_accept_loop(listener->get(), std::move(handler), options.limits, options.should_stop);
    return {};
}

}  // namespace morva::viewer
