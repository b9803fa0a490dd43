// The viewer's state, signal tree and waveform endpoint, without sockets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/format.h"
#include "psf/file.h"
#include "psf/open_any.h"
#include "test_psf_writer.h"
#include "viewer/state.h"

using namespace morva;
using namespace morva::psf;
using namespace morva::viewer;

namespace {

void put_u32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A stored (uncompressed) Blosc1 frame of float64 values.
std::string frame(const std::vector<double>& values) {
    const auto nbytes = static_cast<std::uint32_t>(8 * values.size());
    std::string f(16, '\0');
    f[0] = 2;
    f[1] = 1;
    f[2] = 0x02;  // stored as is
    f[3] = 8;
    put_u32(f, 4, nbytes);
    put_u32(f, 8, nbytes ? nbytes : 8);
    put_u32(f, 12, 16 + nbytes);
    f.append(reinterpret_cast<const char*>(values.data()), nbytes);
    return f;
}

// A record with its own time and value frames. The trailing zero byte keeps
// sample bytes from running into the text of the next tag.
std::string pair_record(std::uint64_t id, const std::vector<double>& time,
                        const std::vector<double>& values) {
    return fmt::cat("3:", fmt::hex(id), ":0:", fmt::hex(values.size()), ":0:22\n") + frame(time) +
           frame(values) + std::string(1, '\0');
}

// A record without a decodable stream.
std::string inline_record(std::uint64_t id) {
    return fmt::cat("3:", fmt::hex(id), ":0:5:0:10\n", "\x01\x02");
}

psfxl::NgpsfFile make_file(const std::string& records, std::string path = "/tmp/run/wave.psfxl") {
    auto file = psfxl::NgpsfFile::from_bytes(std::move(path), "!ngpsf-1.4\n" + records);
    EXPECT_TRUE(file.ok());
    return std::move(file).value();
}

RecordInfo named(std::uint64_t id, std::optional<std::string> name, bool decodable = true) {
    RecordInfo r;
    r.record_id = id;
    r.name = std::move(name);
    r.sample_count = 3;
    r.codec = psfxl::Codec::from_byte(decodable ? 0x22 : 0x10);
    r.decodable = decodable;
    return r;
}

std::string tree_text(const std::vector<RecordInfo>& records) {
    std::string out;
    write_node_json(build_tree(records), out);
    return out;
}

// "label(children...)" outline of a tree, leaves as "label#id".
std::string outline(const JsonNode& node) {
    std::string out = node.label;
    if (node.leaf) return out + "#" + std::to_string(node.id.value_or(0));
    out += "(";
    for (std::size_t i = 0; i < node.children.size(); ++i) out += (i ? "," : "") + outline(node.children[i]);
    return out + ")";
}

std::string wave(const ViewerState& state, std::string id) {
    auto r = handle_wave(QueryMap{{"id", std::move(id)}}, state);
    return r ? std::move(r).value() : "error: " + r.error().text();
}

}  // namespace

TEST(ViewerTree, FoldersFromDottedNames) {
    JsonNode root = build_tree({named(1, "a.b.c"), named(2, "a.b.d")});
    EXPECT_EQ(outline(root), "/(a(b(c#1,d#2)))");
    const JsonNode& b = root.children[0].children[0];
    EXPECT_EQ(root.children[0].path, "a");
    EXPECT_EQ(b.path, "a.b");
    EXPECT_EQ(b.children[0].path, "a.b.c");
    EXPECT_EQ(b.children[1].path, "a.b.d");
}

TEST(ViewerTree, EdgeNames) {
    // A leaf and a folder of the same name; the folder first.
    EXPECT_EQ(outline(build_tree({named(1, "a"), named(2, "a.b")})), "/(a(b#2),a#1)");
    // Equal names give two leaves; empty parts are folders too.
    EXPECT_EQ(outline(build_tree({named(1, "x"), named(2, "x")})), "/(x#1,x#2)");
    JsonNode root = build_tree({named(1, "a..b")});
    EXPECT_EQ(outline(root), "/(a((b#1)))");
    EXPECT_EQ(root.children[0].children[0].path, "a.");
    EXPECT_EQ(outline(build_tree({named(1, ""), named(2, ".")})), "/((#2),#1)");
}

TEST(ViewerTree, OrphansAndSortOrder) {
    const JsonNode root =
        build_tree({named(1, "a.x"), named(2, std::nullopt), named(3, "B"), named(0x1f, std::nullopt),
                    named(4, "a"), named(5, "(records without names).y")});
    EXPECT_EQ(outline(root),
              "/((records without names)(y#5),(records without names)(record_0x1f#31,record_0x2#2),"
              "a(x#1),B#3,a#4)");
    EXPECT_EQ(root.children[1].path, "__orphan__");
    EXPECT_EQ(root.children[1].children[1].path, "__orphan__.record_0x2");
    // Without any orphan there is no orphans folder.
    EXPECT_EQ(outline(build_tree({named(1, "a")})), "/(a#1)");
    EXPECT_EQ(outline(build_tree({})), "/()");
}

TEST(ViewerTree, NodeJson) {
    RecordInfo no_count = named(7, "top.<b>\"q\"", false);
    no_count.sample_count.reset();
    EXPECT_EQ(
        tree_text({named(18446744073709551615ull, "v"), no_count}),
        R"({"label":"/","path":"","leaf":false,"children":[)"
        R"({"label":"top","path":"top","leaf":false,"children":[)"
        R"({"label":"<b>\"q\"","path":"top.<b>\"q\"","leaf":true,"id":7,"samples":null,"codec":"inline","decodable":false}]},)"
        R"({"label":"v","path":"v","leaf":true,"id":18446744073709551615,"samples":3,"codec":"standalone-pair","decodable":true}]})");
}

TEST(ViewerTree, DeepNamesStopAt128Folders) {
    std::string name = "n0";
    for (int i = 1; i < 200; ++i) name += ".n" + std::to_string(i);
    const JsonNode root = build_tree({named(1, name)});
    const JsonNode* node = &root;
    std::size_t folders = 0;
    while (!node->leaf) {
        ASSERT_EQ(node->children.size(), 1u);
        node = &node->children[0];
        folders += !node->leaf;
    }
    EXPECT_EQ(folders, 128u);
    EXPECT_EQ(node->label.rfind("n128.n129.", 0), 0u);
    EXPECT_EQ(node->path, name);
}

TEST(ViewerTree, DeepAndWideNamesNeedNoRecursion) {
    std::string deep = "n";
    for (int i = 0; i < 20000; ++i) deep += ".n";
    std::vector<RecordInfo> records{named(1, deep)};
    for (std::uint64_t i = 0; i < 100000; ++i) records.push_back(named(i + 2, "wide.s" + std::to_string(i)));
    std::string out;
    {
        JsonNode root = build_tree(records);
        write_node_json(root, out);
    }  // and is freed without recursion
    EXPECT_EQ(out.rfind("{\"label\":\"/\"", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 4), "]}]}");
}

TEST(ViewerTree, CodecNames) {
    const std::vector<std::pair<std::uint8_t, std::string>> cases = {{0x10, "inline"},
                                                                     {0x22, "standalone-pair"},
                                                                     {0x20, "standalone-blosc-time"},
                                                                     {0x02, "standalone-raw-time"},
                                                                     {0xa2, "back-ref"},
                                                                     {0x82, "back-ref-implicit"},
                                                                     {0x80, "back-ref-raw"},
                                                                     {0x88, "aliased"},
                                                                     {0x83, "unknown"}};
    for (const auto& [byte, name] : cases)
        EXPECT_EQ(tree_codec_name(psfxl::Codec::from_byte(byte)), name) << +byte;
}

TEST(ViewerState, CompanionNames) {
    PsfFile companion;
    auto ref = [](std::int32_t id, std::string name) {
        DataTypeRef r;
        r.id = id;
        r.name = std::move(name);
        return r;
    };
    companion.traces.push_back(ref(1, "a\\<3\\>"));
    companion.traces.push_back(TraceGroup{5, "g", {ref(2, "p"), ref(3, "q")}});
    companion.traces.push_back(TraceGroup{4, "h", {ref(9, "r")}});
    companion.traces.push_back(TraceGroup{6, "empty", {}});
    companion.traces.push_back(ref(-1, "neg"));
    companion.traces.push_back(ref(1, "later"));
    std::get<TraceGroup>(companion.traces[1]).members[1].record_offset = 40;
    std::get<DataTypeRef>(companion.traces[5]).record_offset = 7;
    const CompanionNames names = companion_names(companion);
    // A signal found by its offset has its own name, as by position.
    EXPECT_EQ(names.by_offset, (std::unordered_map<std::uint64_t, std::string>{{40, "q"}, {7, "later"}}));
    EXPECT_EQ(names.by_id.at(1), "later");
    EXPECT_EQ(names.by_id.at(2), "g.p");
    EXPECT_EQ(names.by_id.at(3), "g.q");
    EXPECT_EQ(names.by_id.at(4), "r");
    EXPECT_EQ(names.by_id.count(9), 0u);
    EXPECT_EQ(names.by_id.at(0xffffffffffffffffull), "neg");
    EXPECT_EQ(names.by_position, (std::vector<std::string>{"a<3>", "p", "q", "r", "neg", "later"}));
    EXPECT_EQ(unescape_name("\\\\<x\\>>"), "\\<x>>");
}

TEST(ViewerState, RecordsNamedByIdThenPositionAndSorted) {
    const std::string records = pair_record(9, {0, 1}, {1, 2}) + inline_record(2) + pair_record(4, {0}, {5}) +
                                pair_record(2, {0}, {7});
    CompanionNames names;
    names.by_id[4] = "byid";
    names.by_position = {"first", "second"};
    const std::vector<RecordInfo> infos = build_records(make_file(records), &names);
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[0].record_id, 2u);
    EXPECT_EQ(infos[0].name, "second");  // position 1 of the file
    EXPECT_FALSE(infos[0].decodable);
    EXPECT_EQ(infos[1].record_id, 2u);
    EXPECT_EQ(infos[1].name, std::nullopt);  // position 3: no positional name left
    EXPECT_EQ(infos[2].name, "byid");
    EXPECT_EQ(infos[3].name, "first");
    EXPECT_EQ(infos[3].sample_count, 2u);
    const BannerCounts counts = banner_counts(infos);
    EXPECT_EQ(counts.total, 4u);
    EXPECT_EQ(counts.named, 3u);
    EXPECT_EQ(counts.decodable, 3u);
}

// Naming by record offset, in hand-made chained metadata and the real sample, is checked
// end to end from Python (test_psf_viewer_names.py).

TEST(ViewerState, TreeEndpoint) {
    auto state = build_state(make_file(pair_record(1, {0}, {1}) + pair_record(2, {0}, {1})), nullptr);
    EXPECT_EQ(state->path, "/tmp/run/wave.psfxl");
    const std::string json = tree_json(*state);
    const std::string mb = fmt::exp(static_cast<double>(state->file_size) / 1048576.0, 9);
    EXPECT_EQ(
        json.rfind(
            R"({"path":"/tmp/run/wave.psfxl","total_signals":2,"decodable":2,"file_size_mb":)" + mb +
                R"x(,"root":{"label":"/","path":"","leaf":false,"children":[{"label":"(records without names)","path":"__orphan__","leaf":false,"children":[{"label":"record_0x1","path":"__orphan__.record_0x1","leaf":true,"id":1,)x",
            0),
        0u)
        << json;
    EXPECT_EQ(banner_counts(state->records).named, 0u);
}

TEST(ViewerState, WaveEndpoint) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto state =
        build_state(make_file(pair_record(42, {0, 1e-9, 2e-9}, {0.5, nan, -inf}) + pair_record(7, {}, {}) +
                              pair_record(8, {1}, {nan}) + inline_record(9)),
                    nullptr);
    const std::string expected =
        R"({"x":[0.000000000e0,1.000000000e-9,2.000000000e-9],"y":[5.000000000e-1,null,null],"total":3,"shown":3,)"
        R"("x_total_min":0.000000000e0,"x_total_max":2.000000000e-9,"y_min":5.000000000e-1,"y_max":5.000000000e-1})";
    EXPECT_EQ(wave(*state, "42"), expected);
    EXPECT_EQ(wave(*state, "+42"), expected);  // served from the cache now
    EXPECT_EQ(state->cache.size(), 1u);
    EXPECT_EQ(wave(*state, "7"),
              R"({"x":[],"y":[],"total":0,"shown":0,"x_total_min":0.000000000e0,"x_total_max":0.000000000e0,)"
              R"("y_min":null,"y_max":null})");
    EXPECT_NE(wave(*state, "8").find(R"("y_min":null,"y_max":null})"), std::string::npos);

    // Routing, and the error answers over a socket, are checked from Python
    // (test_viewer_server.py); here the id forms it does not send.
    EXPECT_EQ(wave(*state, "99"), "error: record 0x63 not found");
    for (const char* bad : {"+", "1 ", "++1", "4\u00a02"})
        EXPECT_EQ(wave(*state, bad), std::string("error: invalid record id: ") + bad);
    EXPECT_EQ(state->cache.size(), 3u);  // failures are not cached
}

// The cache used to keep every waveform ever decoded: a long session on a
// large file ran out of memory. Now it keeps what fits its byte budget, the
// least recently used going first, and answers stay the same.
TEST(ViewerState, CacheKeepsTheRecentlyUsedWithinItsBudget) {
    std::string records;
    for (std::uint64_t id = 1; id <= 40; ++id)
        records += pair_record(id, std::vector<double>(100, 1e-9 * id), std::vector<double>(100, 0.5 * id));
    records += pair_record(99, std::vector<double>(1000, 0.0), std::vector<double>(1000, 1.0));
    const std::uint64_t one = WaveCache::bytes_of(Wave{std::vector<double>(100), std::vector<double>(100)});
    auto small = build_state(make_file(records), nullptr, 3 * one);
    auto large = build_state(make_file(records), nullptr, 1000 * one);
    for (const char* id : {"1", "2", "3", "1", "4", "99"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(wave(*small, id), wave(*large, id));
        EXPECT_LE(small->cache.bytes(), 3 * one);
    }
    // 2 went first: 1 was used again after it. 99 is larger than the budget.
    EXPECT_EQ(small->cache.size(), 3u);
    EXPECT_EQ(small->cache.find(2), nullptr);
    EXPECT_EQ(small->cache.find(99), nullptr);
    for (std::uint64_t id : {1, 3, 4}) EXPECT_NE(small->cache.find(id), nullptr) << id;
    for (std::uint64_t id = 1; id <= 40; ++id) {
        const std::string text = std::to_string(id);
        EXPECT_EQ(wave(*small, text), wave(*large, text)) << id;
    }
    EXPECT_EQ(small->cache.size(), 3u);
    EXPECT_EQ(small->cache.bytes(), 3 * one);
    EXPECT_EQ(large->cache.size(), 41u);
    EXPECT_GT(default_cache_budget(), 0u);
    EXPECT_LE(default_cache_budget(), std::uint64_t{256} << 20);
}

TEST(ViewerState, ConnectionsOfOneRecordShareOneAnswer) {
    auto state =
        build_state(make_file(pair_record(42, {0, 1, 2}, {3, 4, 5}) + pair_record(7, {0}, {1})), nullptr);
    const QueryMap q42{{"id", "42"}};
    // Every answer is held until all are in, as by clients reading slowly.
    std::vector<std::shared_ptr<const std::string>> answers(16);
    std::vector<std::thread> threads;
    for (auto& answer : answers)
        threads.emplace_back([&state, &q42, &answer] { answer = shared_wave_body(q42, *state).value(); });
    for (auto& t : threads) t.join();
    for (const auto& answer : answers) EXPECT_EQ(answer.get(), answers[0].get());
    EXPECT_EQ(*answers[0], wave(*state, "42"));
    EXPECT_NE(shared_wave_body(QueryMap{{"id", "7"}}, *state).value().get(), answers[0].get());
    // Once nobody sends it, the text is let go and made again from the cache.
    const std::string text = *answers[0];
    answers.clear();
    EXPECT_EQ(state->waves.bodies.at(42).lock(), nullptr);
    EXPECT_EQ(*shared_wave_body(q42, *state).value(), text);
    EXPECT_EQ(state->cache.size(), 2u);
    EXPECT_TRUE(state->waves.building.empty());
    // Failures are shared with nobody and leave nothing behind.
    EXPECT_EQ(shared_wave_body(QueryMap{{"id", "5"}}, *state).error().text(), "record 0x5 not found");
    EXPECT_TRUE(state->waves.building.empty());
    EXPECT_EQ(state->waves.bodies.count(5), 0u);
    // The tree likewise.
    const auto tree = shared_tree_json(*state);
    EXPECT_EQ(shared_tree_json(*state).get(), tree.get());
    EXPECT_EQ(*tree, tree_json(*state));
}

TEST(ViewerPage, FixedTexts) {
    const std::string_view page = viewer_page();
    EXPECT_GT(page.size(), 15000u);
    for (const char* text :
         {"<html lang=\"en\">", "<title>PSFXL viewer</title>", MORVA_PLOTLY_JS_URL, "id=\"toggle-sidebar\"",
          "title=\"Toggle tree (S)\">&#9776;</button>", "id=\"file-meta\">loading…<",
          "placeholder=\"Search signals…\"", "id=\"stats-count\">0 signals<",
          "id=\"stats-decodable\">0 decodable<", "Click a signal on the left to add a pane.",
          "this signal has no decodable waveform", "Remove (click signal again)", "--pane-bg: #10131a;",
          "cubic-bezier(.25,.9,.3,1)", "load failed: ", "no matches", "/api/wave?id="})
        EXPECT_NE(page.find(text), std::string_view::npos) << text;
    // File texts never become markup.
    EXPECT_EQ(page.find("innerHTML"), std::string_view::npos);
    EXPECT_EQ(page.find("insertAdjacentHTML"), std::string_view::npos);
}
