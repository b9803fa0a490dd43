// The pipe protocol: request lines, header JSON and frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "ngspice/protocol.h"
#include "ngspice/vector_lookup.h"

using namespace morva;
using namespace morva::ngspice;

namespace {

class StringSink final : public ByteSink {
public:
    Result<void, IoError> write(std::string_view data) override {
        bytes.append(data);
        return {};
    }
    Result<void, IoError> flush() override {
        ++flushes;
        return {};
    }
    std::string bytes;
    int flushes = 0;
};

// Hands out at most `chunk` bytes per read, as a pipe may.
class ChunkedSource final : public ByteSource {
public:
    explicit ChunkedSource(std::string data, std::size_t chunk = 1) : data_(std::move(data)), chunk_(chunk) {}
    Result<std::size_t, IoError> read_some(char* dst, std::size_t max) override {
        const std::size_t n = std::min({max, chunk_, data_.size() - pos_});
        std::memcpy(dst, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    std::size_t consumed() const { return pos_; }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
};

std::string decode_request_error(std::string_view text) {
    auto r = decode_request(text);
    return r ? std::string("<ok>") : r.error().text();
}

std::string decode_header_error(std::string_view text) {
    auto r = decode_header(text);
    return r ? std::string("<ok>") : r.error().text();
}

std::string le32(std::uint32_t n) {
    std::string s(4, '\0');
    for (int k = 0; k < 4; ++k) s[k] = static_cast<char>((n >> (8 * k)) & 0xff);
    return s;
}

std::string frame(const std::string& header_json, const std::string& payload = "") {
    return le32(static_cast<std::uint32_t>(header_json.size())) + header_json + payload;
}

std::string doubles(std::initializer_list<double> values) {
    std::string out;
    for (double v : values) out.append(reinterpret_cast<const char*>(&v), 8);
    return out;
}

}  // namespace

TEST(RequestCodec, WritesOnlyWhatIsPresent) {
    SimulationRequest req{"py-0", "t\n.end", {"run"}, {}, std::nullopt};
    EXPECT_EQ(*encode_request(req), "{\"id\":\"py-0\",\"netlist\":\"t\\n.end\",\"commands\":[\"run\"]}\n");
    req.commands.clear();
    req.pre_commands = {"chdir:/tmp"};
    req.return_vectors.emplace();
    EXPECT_EQ(*encode_request(req),
              "{\"id\":\"py-0\",\"netlist\":\"t\\n.end\",\"commands\":[],\"pre_commands\":[\"chdir:/tmp\"],"
              "\"return_vectors\":[]}\n");
}

TEST(RequestCodec, TextSurvivesTheRoundTripOnOneLine) {
    const std::string netlist =
        "title \"q\" \\ back\ttab\r\nctl\x01\x1f del\x7f \xc2\xb5m \xe2\x82\xac\n.end";
    SimulationRequest req{
        "id/..", netlist, {"run", "print v(out)"}, {"echo x"}, std::vector<std::string>{"OUT"}};
    const std::string line = *encode_request(req);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("\\u0001\\u001f"), std::string::npos);
    EXPECT_NE(line.find("\xc2\xb5m"), std::string::npos);  // non-ASCII stays raw
    auto back = decode_request(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.ok()) << back.error().text();
    EXPECT_EQ(back->id, req.id);
    EXPECT_EQ(back->netlist, netlist);
    EXPECT_EQ(back->commands, req.commands);
    EXPECT_EQ(back->pre_commands, req.pre_commands);
    EXPECT_EQ(back->return_vectors, req.return_vectors);
}

TEST(RequestCodec, RefusesTextThatIsNotUtf8) {
    SimulationRequest req{"a", "bad \xff byte", {"run"}, {}, std::nullopt};
    auto r = encode_request(req);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, NgspiceError::Kind::Serialization);
}

TEST(RequestCodec, DecodesOptionalFieldsAndOtherForms) {
    auto r = decode_request(R"({"commands":["run"],"x":{"deep":[1,{"y":null}]},"netlist":"n","id":"a"})");
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_TRUE(r->pre_commands.empty());
    EXPECT_FALSE(r->return_vectors.has_value());
    r = decode_request(R"({"id":"a","netlist":"n","commands":[],"return_vectors":[]})");
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r->return_vectors.has_value());
    EXPECT_TRUE(r->return_vectors->empty());
    r = decode_request(R"( {"id":"a","netlist":"n","commands":[],"return_vectors":null} )");
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->return_vectors.has_value());
    r = decode_request(R"(["a","n",["run"],[],null])");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->commands, std::vector<std::string>{"run"});
    r = decode_request(R"({"id":"\u00b5\ud83d\ude00\/","netlist":"n","commands":[]})");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->id, "\xc2\xb5\xf0\x9f\x98\x80/");
}

TEST(RequestCodec, ErrorTextsNameTheFieldAndPosition) {
    EXPECT_EQ(decode_request_error("{"), "EOF while parsing an object at line 1 column 1");
    EXPECT_EQ(decode_request_error(""), "EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b"})"),
              "missing field `commands` at line 1 column 24");
    EXPECT_EQ(decode_request_error("{}"), "missing field `id` at line 1 column 2");
    EXPECT_EQ(decode_request_error(R"({"id":"a","id":"b"})"), "duplicate field `id` at line 1 column 14");
    EXPECT_EQ(decode_request_error(R"({"id":5,"netlist":"b","commands":[]})"),
              "invalid type: integer `5`, expected a string at line 1 column 7");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":"run"})"),
              "invalid type: string \"run\", expected a sequence at line 1 column 40");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":[],"pre_commands":null})"),
              "invalid type: null, expected a sequence at line 1 column 57");
    EXPECT_EQ(decode_request_error(R"(["a","b",[]])"),
              "invalid length 3, expected struct SimulationRequest with 5 elements at line 1 column 12");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":[]} x)"),
              "trailing characters at line 1 column 40");
    EXPECT_EQ(decode_request_error("42"),
              "invalid type: integer `42`, expected struct SimulationRequest at line 1 column 2");
    EXPECT_EQ(decode_request_error(R"({"id":"a",})"), "trailing comma at line 1 column 11");
    EXPECT_EQ(decode_request_error(R"({"id" "a"})"), "expected `:` at line 1 column 7");
    EXPECT_EQ(decode_request_error(R"({id:1})"), "key must be a string at line 1 column 2");
    EXPECT_EQ(decode_request_error("{\"id\":\"a\x01\"}"),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9");
    EXPECT_EQ(decode_request_error(R"({"id":"\q"})"), "invalid escape at line 1 column 9");
    EXPECT_EQ(decode_request_error("{\"id\":\n\"a\",\n\"id\":1}"), "duplicate field `id` at line 3 column 4");
    // Separators between members and between elements.
    EXPECT_EQ(decode_request_error(R"({"id":"a" "b"})"), "expected `,` or `}` at line 1 column 11");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":["x" "y"]})"),
              "expected `,` or `]` at line 1 column 41");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":["x",]})"),
              "trailing comma at line 1 column 41");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":["x")"),
              "EOF while parsing a list at line 1 column 39");
    EXPECT_EQ(decode_request_error(R"({"id":"a",)"), "EOF while parsing a value at line 1 column 10");
    EXPECT_EQ(decode_request_error(R"({"id":"a","netlist":"b","commands":[,]})"),
              "expected value at line 1 column 37");
}

TEST(RequestCodec, DeepNestingIsSkippedWithoutRecursion) {
    const std::string deep_list = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(decode_request_error(R"({"x":)" + deep_list + R"(,"id":"a","netlist":"b","commands":[]})"),
              "<ok>");
    EXPECT_EQ(decode_request_error(std::string(200, '[')),
              "invalid type: sequence, expected a string at line 1 column 1");
}

TEST(HeaderCodec, EncodesMeasuresWithShortestDigitsAndNullForNonFinite) {
    WireHeader h;
    h.id = "r";
    h.success = true;
    h.vecs = {{"time", 3, true, false}};
    h.log = {"stdout x"};
    h.measures = {{"a", 1.5},
                  {"b", std::numeric_limits<double>::quiet_NaN()},
                  {"c", -std::numeric_limits<double>::infinity()},
                  {"d", 0.1},
                  {"e", 6.931531e-07}};
    h.timing.parse_ns = 7;
    EXPECT_EQ(
        encode_header(h),
        "{\"id\":\"r\",\"success\":true,\"vecs\":[{\"name\":\"time\",\"len\":3,\"is_scale\":true,"
        "\"is_complex\":false}],\"log\":[\"stdout x\"],\"measures\":[[\"a\",1.5],[\"b\",null],[\"c\",null],"
        "[\"d\",0.1],[\"e\",6.931531e-7]],\"timing\":{\"parse_ns\":7,\"precmd_ns\":0,\"circ_ns\":0,"
        "\"cmd_ns\":0,\"harvest_ns\":0,\"write_ns\":0,\"destroy_ns\":0,\"fs_write_ns\":0}}");
    h.error = "boom";
    auto back = decode_header(encode_header(h));
    ASSERT_TRUE(back.ok()) << back.error().text();
    EXPECT_EQ(back->error, "boom");
    ASSERT_EQ(back->measures.size(), 5u);
    EXPECT_EQ(back->measures[4].second, 6.931531e-07);
    EXPECT_TRUE(std::isnan(back->measures[1].second));
    EXPECT_EQ(back->timing, h.timing);
}

TEST(HeaderCodec, DefaultsAndRefusals) {
    auto h = decode_header(
        R"({"id":"a","success":false,"vecs":[{"name":"v","len":2,"is_scale":false}],"log":[]})");
    ASSERT_TRUE(h.ok()) << h.error().text();
    EXPECT_FALSE(h->error.has_value());
    EXPECT_TRUE(h->measures.empty());
    EXPECT_EQ(h->timing, WireTiming{});
    EXPECT_FALSE(h->vecs[0].is_complex);
    h = decode_header(R"({"id":"a","success":false,"vecs":[],"log":[],"error":null,"timing":[1,2]})");
    ASSERT_TRUE(h.ok()) << h.error().text();
    EXPECT_FALSE(h->error.has_value());
    EXPECT_EQ(h->timing.precmd_ns, 2u);
    EXPECT_EQ(h->timing.circ_ns, 0u);
    h = decode_header(R"(["a",true,[["v",1,true]],["l"],"e"])");
    ASSERT_TRUE(h.ok()) << h.error().text();
    EXPECT_EQ(h->vecs[0].name, "v");

    EXPECT_EQ(decode_header_error(R"({"id":"a","success":false,"vecs":[]})"),
              "missing field `log` at line 1 column 36");
    EXPECT_EQ(decode_header_error(
                  R"({"id":"a","success":false,"vecs":[{"name":"v","len":-1,"is_scale":false}],"log":[]})"),
              "invalid value: integer `-1`, expected u64 at line 1 column 54");
    EXPECT_EQ(decode_header_error(
                  R"({"id":"a","success":false,"vecs":[{"name":"v","len":1.5,"is_scale":false}],"log":[]})"),
              "invalid type: floating point `1.5`, expected u64 at line 1 column 55");
    EXPECT_EQ(
        decode_header_error(
            R"({"id":"a","success":false,"vecs":[{"name":"v","len":18446744073709551616,"is_scale":false}],"log":[]})")
            .rfind("invalid type: floating point `1.8446744073709552e19`, expected u64", 0),
        0u);
    EXPECT_EQ(decode_header_error(R"({"id":"a","success":false,"vecs":[],"log":[],"measures":[["m"]]})"),
              "invalid length 1, expected a tuple of size 2 at line 1 column 62");
    EXPECT_EQ(decode_header_error(R"({"id":"a","success":false,"vecs":[],"log":[],"timing":null})"),
              "invalid type: null, expected struct WireTiming at line 1 column 58");
    EXPECT_EQ(decode_header_error(R"({"id":"a","success":1,"vecs":[],"log":[]})"),
              "invalid type: integer `1`, expected a boolean at line 1 column 21");
    EXPECT_EQ(decode_header_error(R"(["a",true,[]])"),
              "invalid length 3, expected struct WireHeader with 7 elements at line 1 column 13");
    EXPECT_EQ(decode_header_error("{\"id\":\"\xff\"}"), "invalid unicode code point at line 1 column 9");
    EXPECT_EQ(
        decode_header_error(R"({"id":"a","success":false,"vecs":[],"log":[],"measures":[["m",1e400]]})"),
        "number out of range at line 1 column 67");
}

TEST(Frames, RoundTripThroughAPipeThatDeliversByteByByte) {
    std::vector<VectorData> vectors(3);
    vectors[0] = {"time", {0.0, 1e-9, 2e-9}, std::nullopt, true};
    vectors[1] = {"v(out)", {0.5, -1.25, 3.0}, std::nullopt, false};
    vectors[2] = {"ac", {1.0, 3.0}, std::vector<std::complex<double>>{{1.0, 2.0}, {3.0, -4.0}}, false};
    StringSink sink;
    WireTiming timing;
    timing.cmd_ns = 99;
    ASSERT_TRUE(
        write_wire_response(sink, "j", true, vectors, {"l1", "l2"}, std::nullopt, {{"m", 2.5}}, timing).ok());
    EXPECT_EQ(sink.flushes, 1);
    ChunkedSource src(sink.bytes, 1);
    auto r = read_binary_response(src);
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(src.consumed(), sink.bytes.size());
    EXPECT_EQ(r->id, "j");
    EXPECT_TRUE(r->success);
    EXPECT_EQ(r->log, (std::vector<std::string>{"l1", "l2"}));
    EXPECT_EQ(r->measures, (std::vector<Measure>{{"m", 2.5}}));
    EXPECT_EQ(r->timing.cmd_ns, 99u);
    ASSERT_EQ(r->vectors.size(), 3u);
    EXPECT_EQ(r->vectors[0].real, vectors[0].real);
    EXPECT_TRUE(r->vectors[0].is_scale);
    EXPECT_EQ(r->vectors[1].real, vectors[1].real);
    ASSERT_TRUE(r->vectors[2].complex.has_value());
    EXPECT_EQ(*r->vectors[2].complex, *vectors[2].complex);
    EXPECT_EQ(r->vectors[2].real, (std::vector<double>{1.0, 3.0}));
}

TEST(Frames, SizesFollowTheHeader) {
    StringSink sink;
    ASSERT_TRUE(write_wire_response(sink, "e", false, {}, {}, "x", {}, {}).ok());
    const std::uint32_t n =
        static_cast<unsigned char>(sink.bytes[0]) | (static_cast<unsigned char>(sink.bytes[1]) << 8);
    EXPECT_EQ(sink.bytes.size(), 4u + n);
    EXPECT_NE(sink.bytes.find("\"vecs\":[]"), std::string::npos);

    std::vector<VectorData> v(2);
    v[0] = {"c", {1, 2, 3}, std::vector<std::complex<double>>{{1, 0}, {2, 0}, {3, 0}}, false};
    v[1] = {"z", {}, std::vector<std::complex<double>>{}, false};
    StringSink s2;
    ASSERT_TRUE(write_wire_response(s2, "c", true, v, {}, std::nullopt, {}, {}).ok());
    const std::uint32_t n2 =
        static_cast<unsigned char>(s2.bytes[0]) | (static_cast<unsigned char>(s2.bytes[1]) << 8);
    EXPECT_EQ(s2.bytes.size(), 4u + n2 + 48u);
    ChunkedSource src(s2.bytes, 7);
    auto r = read_binary_response(src);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r->vectors[1].complex.has_value());
    EXPECT_TRUE(r->vectors[1].complex->empty());
}

TEST(Frames, ReadFailuresSayWhereTheStreamBroke) {
    const auto read = [](std::string bytes) {
        ChunkedSource src(std::move(bytes), 5);
        auto r = read_binary_response(src);
        EXPECT_FALSE(r.ok());
        return r ? std::string() : r.error().text();
    };
    const std::string hdr_real =
        R"({"id":"a","success":true,"vecs":[{"name":"v","len":2,"is_scale":false}],"log":[]})";
    const std::string hdr_cplx =
        R"({"id":"a","success":true,"vecs":[{"name":"v","len":2,"is_scale":false,"is_complex":true}],"log":[]})";
    EXPECT_EQ(read(""), "worker process crashed: stdout read (header len) failed: early eof");
    EXPECT_EQ(read("\x05\x00"), "worker process crashed: stdout read (header len) failed: early eof");
    EXPECT_EQ(read(le32(100) + "{}"), "worker process crashed: stdout read (header) failed: early eof");
    EXPECT_EQ(read(frame(hdr_real, doubles({1.0}))),
              "worker process crashed: stdout read (vec data) failed: early eof");
    EXPECT_EQ(read(frame(hdr_cplx, doubles({1.0, 2.0, 3.0}))),
              "worker process crashed: stdout read (complex vec) failed: early eof");
    EXPECT_EQ(read(frame("")), "serialization error: EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(read(frame(R"({"id":"a","success":true,"vecs":[]})")),
              "serialization error: missing field `log` at line 1 column 35");
}

TEST(Frames, LengthWordsAreNotTrusted) {
    const auto read = [](std::string bytes) {
        ChunkedSource src(std::move(bytes), 4096);
        auto r = read_binary_response(src);
        return r ? std::string() : r.error().text();
    };
    EXPECT_EQ(
        read(le32(0xffffffffu) + "{"),
        "worker process crashed: stdout read (header) failed: header length 4294967295 exceeds the limit of "
        "268435456 bytes");
    // A vector claiming 2^61 samples with a few bytes behind it: the reader
    // fails at the end of the data instead of reserving the claimed size.
    EXPECT_EQ(
        read(frame(
            R"({"id":"a","success":true,"vecs":[{"name":"v","len":2305843009213693951,"is_scale":false}],"log":[]})",
            doubles({1, 2, 3}))),
        "worker process crashed: stdout read (vec data) failed: early eof");
    EXPECT_EQ(
        read(frame(
            R"({"id":"a","success":true,"vecs":[{"name":"v","len":18446744073709551615,"is_scale":false,"is_complex":true}],"log":[]})")),
        "worker process crashed: stdout read (complex vec) failed: vector length 18446744073709551615 is too "
        "large");
}

// ---- vector lookup --------------------------------------------------------------

namespace {
std::vector<VectorData> named(std::initializer_list<const char*> names) {
    std::vector<VectorData> out;
    for (const char* n : names) out.push_back(VectorData{n, {}, std::nullopt, false});
    return out;
}
std::string found(const std::vector<VectorData>& v, std::string_view name) {
    const VectorData* hit = find_vector(v, name);
    return hit ? hit->name : "<none>";
}
std::string axis(const VectorData* v) { return v ? v->name : "<none>"; }
}  // namespace

TEST(VectorLookup, NamesAndVoltageAliases) {
    const auto v = named({"time", "out", "V(1)"});
    EXPECT_EQ(found(v, "OUT"), "out");
    EXPECT_EQ(found(v, "v(out)"), "out");
    EXPECT_EQ(found(v, "V(oUt)"), "out");
    EXPECT_EQ(found(v, "1"), "V(1)");
    EXPECT_EQ(found(v, "v(1)"), "V(1)");
    EXPECT_EQ(found(v, "v(v(1))"), "V(1)");  // rule 2 gives "v(1)", found as "V(1)"
    EXPECT_EQ(found(v, "nope"), "<none>");
    EXPECT_EQ(found(named({"v(out)", "out"}), "v(out)"), "v(out)");  // the name itself first
    EXPECT_EQ(found(named({""}), "v()"), "");
    EXPECT_EQ(found({}, "x"), "<none>");
    EXPECT_EQ(found(named({"\xc3\xa9t\xc3\xa9"}), "\xc3\x89T\xc3\x89"), "<none>");  // ASCII folding only
}

TEST(VectorLookup, NotFoundMessageQuotesEveryName) {
    EXPECT_EQ(vector_not_found_message(named({"time", "a\"b\\c"}), "x"),
              "vector 'x' not found; available: [\"time\", \"a\\\"b\\\\c\"]");
    EXPECT_EQ(vector_not_found_message({}, "x"), "vector 'x' not found; available: []");
}

TEST(VectorLookup, AnalysisAxes) {
    EXPECT_EQ(axis(find_time_vector(named({"tran1.time", "TIME"}))), "TIME");
    EXPECT_EQ(axis(find_time_vector(named({"x", "tran1.time"}))), "tran1.time");
    EXPECT_EQ(axis(find_time_vector(named({"timex"}))), "<none>");
    EXPECT_EQ(axis(find_frequency_vector(named({"xfreq", "ac1.frequency", "Frequency"}))), "Frequency");
    EXPECT_EQ(axis(find_frequency_vector(named({"xfreq", "ac1.freq"}))), "ac1.freq");
    EXPECT_EQ(axis(find_frequency_vector(named({"a", "xFreqy"}))), "xFreqy");
    EXPECT_EQ(axis(find_sweep_vector(named({"v(out)", "v-sweep"}))), "v-sweep");
    EXPECT_EQ(axis(find_sweep_vector(named({"v(out)", "i"}))), "v(out)");
    EXPECT_EQ(axis(find_sweep_vector({})), "<none>");
}
