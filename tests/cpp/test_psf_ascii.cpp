#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "common/io.h"
#include "psf/open_any.h"
#include "psf/psfascii.h"
#include "test_psf_writer.h"

using namespace morva;
using namespace morva::psf;

namespace {

std::string parse_error(std::string_view text) {
    auto r = PsfAscii::from_str("p", text);
    EXPECT_FALSE(r.ok()) << text;
    return r.ok() ? std::string() : r.error().text();
}

PsfAscii parse(std::string_view text) {
    auto r = PsfAscii::from_str("p", text);
    if (!r) ADD_FAILURE() << r.error().text();
    return r ? std::move(r).value() : PsfAscii{};
}

std::vector<double> wave(const PsfAscii& f, std::string_view name) {
    auto w = f.waveform(name);
    EXPECT_TRUE(w.has_value()) << name;
    return w ? w->re : std::vector<double>{};
}

// A swept file with a time axis and FLOAT traces a and b.
constexpr const char* kSwept =
    "HEADER \"title\" \"t\"\n"
    "TYPE \"sweep\" FLOAT DOUBLE \"V\" FLOAT DOUBLE PROP( \"units\" \"V\" )\n"
    "SWEEP \"time\" \"sweep\"\n"
    "TRACE \"a\" \"V\" \"b\" \"V\"\n"
    "VALUE\n";
constexpr const char* kIncomplete = ": it is incomplete (cut short or still being written)";

}  // namespace

TEST(PsfAscii, HeaderValuesAndTokens) {
    const PsfAscii f = parse(
        "HEADER \"s\" \"x\" \"i\" 12 \"r\" 12.0 \"e\" 1e3 \"big\" 12345678901234567890 \"plus\" +5 "
        "\"wrap\" 4294967297 \"neg\" 2147483648 \"dot\" .5 END");
    ASSERT_EQ(f.header.size(), 9u);
    const auto debug = [&](std::size_t i) { return f.header[i].value.debug(); };
    EXPECT_EQ(debug(0), "String(\"x\")");
    EXPECT_EQ(debug(1), "Int32(12)");
    EXPECT_EQ(debug(2), "Double(12.0)");
    EXPECT_EQ(debug(3), "Double(1000.0)");
    EXPECT_EQ(debug(4), "Double(1.2345678901234567e19)");
    EXPECT_EQ(debug(5), "Int32(5)");
    EXPECT_EQ(debug(6), "Int32(1)");
    EXPECT_EQ(debug(7), "Int32(-2147483648)");
    EXPECT_EQ(debug(8), "Double(0.5)");
    // An empty header, and a file holding only HEADER; tokens after END are
    // not read.
    const PsfAscii empty = parse("HEADER TYPE END");
    EXPECT_TRUE(empty.header.empty());
    const PsfAscii only = parse("  \n HEADER END \"x\" ( 1");
    EXPECT_TRUE(only.types.empty() && only.sweeps.empty() && only.traces.empty() && only.values.empty());
}

TEST(PsfAscii, NumbersAreCorrectlyRounded) {
    const PsfAscii f = parse(
        "HEADER \"a\" 0.1 \"b\" 2.2250738585072011e-308 \"c\" 1e400 \"d\" -1e-400 \"e\" 9007199254740993 "
        "\"f\" 1.7976931348623157e308 \"g\" 4.9e-324 \"h\" 1. END");
    const auto d = [&](std::size_t i) { return std::get<double>(f.header[i].value.value); };
    EXPECT_EQ(d(0), 0.1);
    EXPECT_EQ(d(1), 2.2250738585072011e-308);
    EXPECT_EQ(d(2), INFINITY);
    EXPECT_EQ(d(3), 0.0);
    EXPECT_TRUE(std::signbit(d(3)));
    EXPECT_EQ(std::get<std::int32_t>(f.header[4].value.value), 1);  // fits in 64 bits: an Int
    EXPECT_EQ(d(5), 1.7976931348623157e308);
    EXPECT_EQ(d(6), 4.9e-324);
    EXPECT_EQ(d(7), 1.0);
}

TEST(PsfAscii, CommentsStringsAndEscapes) {
    const PsfAscii f = parse(
        "# leading comment\nHEADER // trailing\n\"q\" \"a\\\"b\\n\\t\\r\\x\" # more\n\"u\" "
        "\"\xC3\xA9t\xC3\xA9\" \"multi\" \"one\ntwo\" END");
    ASSERT_EQ(f.header.size(), 3u);
    EXPECT_EQ(std::get<std::string>(f.header[0].value.value), "a\"b\n\t\rx");
    EXPECT_EQ(std::get<std::string>(f.header[1].value.value), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(std::get<std::string>(f.header[2].value.value), "one\ntwo");
}

// Messages name what the file shows and where: never the reader's own
// token forms.
TEST(PsfAscii, ErrorsNameWhatTheFileShowsAndTheLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"HEADER\n/\n", "unexpected character '/' at line 2"},
        {"HEADER !", "unexpected character '!' at line 1"},
        {"HEADER '", "unexpected character '\\'' at line 1"},
        {"HEADER \x01", "unexpected character '\\u{1}' at line 1"},
        {"HEADER \"a\" \xC3\xA9", "unexpected character '\xC3\x83' at line 1"},
        {"HEADER \"a\" -", "bad number - at line 1"},
        {"HEADER\n\"a\" 1.2.3", "bad number 1.2.3 at line 2"},
        {"HEADER \"a\" 1e", "bad number 1e at line 1"},
        {"", "expected keyword HEADER, got end of file at line 1"},
        {"\n\nTYPE", "expected keyword HEADER, got TYPE at line 3"},
        {"HEADER \"a\" TYPE", "expected a header property value, got TYPE at line 1"},
        {"HEADER TYPE \"t\" FLOAT LONG", "expected DOUBLE or SINGLE after FLOAT, got LONG at line 1"},
        {"HEADER TYPE \"t\" COMPLEX\n", "expected DOUBLE or SINGLE after COMPLEX, got end of file at line 1"},
        {"HEADER TYPE\n\"t\" BOOL", "unexpected type keyword BOOL at line 2 in TYPE section"},
        {"HEADER TYPE \"t\" 3", "unexpected type keyword 3 at line 1 in TYPE section"},
        {"HEADER TYPE \"t\" INT 3", "expected BYTE or LONG after INT, got 3 at line 1"},
        {"HEADER TYPE \"t\" STRUCT \"a\"", "expected ( after STRUCT, got \"a\" at line 1"},
        {"HEADER TYPE \"t\" STRUCT ( 1.5", "expected a member name or ) in STRUCT body, got 1.5 at line 1"},
        {"HEADER TYPE \"t\" FLOAT DOUBLE PROP \"x\"", "expected ( after PROP, got \"x\" at line 1"},
        {"HEADER TYPE \"t\" FLOAT DOUBLE PROP ( *",
         "expected a property name or ) in PROP block, got * at line 1"},
        {"HEADER TYPE \"t\" FLOAT DOUBLE PROP ( \"x\" (", "expected a property value, got ( at line 1"},
        {"HEADER SWEEP \"s\" 1", "expected a quoted name, got 1 at line 1"},
        {"HEADER TRACE \"g\" GROUP 2.5", "expected a member count after GROUP, got 2.5 at line 1"},
        {"HEADER TRACE \"g\" GROUP -1", "negative GROUP member count -1 at line 1"},
        {"HEADER TRACE \"g\" GROUP -2.0", "negative GROUP member count -2.0 at line 1"},
        {"HEADER TRACE \"s\" \"V\" VALUE \"s\" * END", "expected a value, got * at line 1"},
        {"HEADER VALUE 1 END", "expected a quoted name, got 1 at line 1"},
        {"HEADER TYPE \"t\" FLOAT DOUBLE TRACE \"x\" \"t\" garbage", "expected END, got garbage at line 1"},
        // A file cut short: what is missing and where.
        {"HEADER \"a\" 1\n", std::string("the file ends at line 1 without its closing END") + kIncomplete},
        {"HEADER\n\"a\" \"text\nmore",
         std::string("the file ends inside the string that starts at line 2") + kIncomplete},
        {"HEADER TYPE \"t\" STRUCT (",
         "expected a member name or ) in STRUCT body, got end of file at line 1"},
        {"HEADER TRACE \"g\" GROUP 2 \"a\" \"V\"", "expected a quoted name, got end of file at line 1"},
        {"HEADER TRACE \"g\" GROUP 9223372036854775807 \"a\" \"V\"",
         "expected a quoted name, got end of file at line 1"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

TEST(PsfAscii, TypesAndTraces) {
    const PsfAscii f = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE PROP( \"units\" \"V\" \"n\" 3 )"
        " \"C\" COMPLEX DOUBLE \"B\" INT BYTE"
        " \"S\" STRUCT( \"x\" FLOAT DOUBLE * \"y\" STRUCT( \"z\" INT LONG ) ) PROP( \"key\" \"inst\" )"
        " \"F\" FLOAT SINGLE \"str\" STRING * PROP( \"key\" \"s\" ) \"CS\" COMPLEX SINGLE"
        " SWEEP \"time\" \"V\" \"second\" \"V\""
        " TRACE \"a\" \"V\" \"g\" GROUP 2.0 \"x\" \"V\" \"y\" \"C\" PROP( \"k\" 1.5 ) \"b\" \"B\" \"s\" "
        "\"S\" END");
    ASSERT_EQ(f.types.size(), 7u);
    EXPECT_EQ(f.types[0].properties.size(), 2u);
    EXPECT_EQ(f.types[1].kind.tag, AsciiTypeKind::Tag::Complex);
    EXPECT_EQ(f.types[2].kind.tag, AsciiTypeKind::Tag::Int);
    const AsciiTypeDef& s = f.types[3];
    ASSERT_EQ(s.kind.members.size(), 2u);
    EXPECT_EQ(s.kind.members[1].kind.members[0].name, "z");
    EXPECT_EQ(s.properties[0].name, "key");
    EXPECT_EQ(f.types[4].kind.tag, AsciiTypeKind::Tag::Float);
    EXPECT_EQ(f.types[5].kind.tag, AsciiTypeKind::Tag::String);
    EXPECT_EQ(f.types[5].properties.size(), 1u);
    EXPECT_EQ(f.types[6].kind.tag, AsciiTypeKind::Tag::Complex);
    EXPECT_EQ(f.sweeps.size(), 2u);
    // A struct's members are its signals, nested ones named to the leaf.
    EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"a", "x", "y", "b", "s.x", "s.y.z"}));
    EXPECT_EQ(*f.struct_members("s"), (std::vector<std::string>{"s.x", "s.y.z"}));
    EXPECT_EQ(*f.struct_members("s.y"), (std::vector<std::string>{"s.y.z"}));
    EXPECT_EQ(f.struct_members("a"), nullptr);
    EXPECT_EQ(f.trace_structure(), (TraceStructure{3, 1, 2}));
    const auto& g = std::get<AsciiTraceGroup>(f.traces[1]);
    EXPECT_EQ(g.members[1].properties[0].value.debug(), "Double(1.5)");
    EXPECT_EQ(parse("HEADER TRACE \"g\" GROUP 0 \"a\" \"V\" END").trace_structure(),
              (TraceStructure{1, 1, 0}));
}

TEST(PsfAscii, SweptValues) {
    const PsfAscii f = parse(std::string(kSwept) +
                             "\"time\" 0 \"a\" 1.5 \"b\" 2\n"
                             "\"time\" 1e-9 \"a\" -1 \"b\" 3.25\n"
                             "END \"ignored\" 1 2 (");
    EXPECT_EQ(f.sweep_values, (std::vector<double>{0.0, 1e-9}));
    EXPECT_EQ(wave(f, "a"), (std::vector<double>{1.5, -1.0}));
    EXPECT_EQ(wave(f, "b"), (std::vector<double>{2.0, 3.25}));
    EXPECT_FALSE(f.waveform("a")->complex);
    EXPECT_FALSE(f.waveform("time").has_value());
    EXPECT_EQ(f.describe(), "PSFASCII p (2 signals, 2 sweep points)\n");

    // Complex traces keep both parts; text values give no waveform; an
    // unknown type reads one value; every struct member is a signal.
    const PsfAscii k = parse(
        "HEADER TYPE \"C\" COMPLEX DOUBLE \"S\" STRUCT( \"p\" FLOAT DOUBLE \"q\" COMPLEX DOUBLE )"
        " SWEEP \"f\" \"nope\" \"other\" \"C\" TRACE \"c\" \"C\" \"t\" \"nope\" \"s\" \"S\" \"e\" \"S\" VALUE"
        " \"f\" 1 \"c\" 0.5 -2 \"t\" \"on\" \"s\" 7 8 9 \"e\" 9 10 11"
        " \"f\" 2 \"c\" (1.5 3) \"t\" 4 \"s\" (nan (9 1)) \"e\" (11 (12 13)) PROP( \"model\" \"m\" ) END");
    const auto c = k.waveform("c");
    ASSERT_TRUE(c && c->complex);
    EXPECT_EQ(c->re, (std::vector<double>{0.5, 1.5}));
    EXPECT_EQ(c->im, (std::vector<double>{-2.0, 3.0}));
    EXPECT_FALSE(k.waveform("t").has_value());
    EXPECT_EQ(k.values.at("t").at(0).text, "on");
    const auto sp = wave(k, "s.p");
    ASSERT_EQ(sp.size(), 2u);
    EXPECT_EQ(sp[0], 7.0);
    EXPECT_TRUE(std::isnan(sp[1]));
    EXPECT_EQ(k.waveform("s.q")->im, (std::vector<double>{9.0, 1.0}));
    EXPECT_EQ(wave(k, "e.p"), (std::vector<double>{9.0, 11.0}));
    EXPECT_FALSE(k.waveform("s").has_value());
    EXPECT_EQ(k.signal_names(), (std::vector<std::string_view>{"c", "s.p", "s.q", "e.p", "e.q"}));
}

TEST(PsfAscii, SweptGroupsAsSimulatorsWriteThem) {
    // A group's member values follow the group's name; a group written
    // member by member under their own names reads the same.
    const std::string head =
        "HEADER TYPE \"sweep\" FLOAT DOUBLE \"V\" COMPLEX DOUBLE \"I\" FLOAT SINGLE SWEEP \"freq\" \"sweep\""
        " TRACE \"in\" \"V\" \"group\" GROUP 2 \"out\" \"V\" \"i\" \"I\" VALUE ";
    for (const char* values :
         {"\"freq\" 1 \"in\" (1 0) \"group\" (0.5 -0.25) 1e-3 \"freq\" 2 \"in\" (1 0) \"group\" (0.125 2) 4 "
          "END",
          "\"freq\" 1 \"in\" (1 0) \"out\" (0.5 -0.25) \"i\" 1e-3 \"freq\" 2 \"in\" (1 0) \"out\" (0.125 2) "
          "\"i\" 4 END"}) {
        const PsfAscii f = parse(head + values);
        EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"in", "out", "i"}));
        EXPECT_EQ(f.waveform("out")->im, (std::vector<double>{-0.25, 2.0}));
        EXPECT_EQ(wave(f, "i"), (std::vector<double>{1e-3, 4.0}));
    }
    EXPECT_EQ(parse_error(head + "\"freq\" 1 \"in\" (1 0) \"i\" 1 END"),
              "expected trace \"group\", got \"i\" at line 1");
    EXPECT_EQ(parse_error(head + "\"freq\" 1 \"in\" (1 0) \"out\" (1 0) \"x\" 1 END"),
              "expected trace \"i\", got \"x\" at line 1");
}

TEST(PsfAscii, SweptValueErrors) {
    const std::string swept(kSwept);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"t\" 0", "expected sweep marker \"time\", got \"t\" at line 6"},
        {"5", "expected a quoted name, got 5 at line 6"},
        {"\"time\" \"x\"", "expected a number, got \"x\" at line 6"},
        {"\"time\" 0 \"a\" 1 END", "VALUE section truncated at trace \"b\": got END at line 6"},
        {"\"time\" 0 \"a\" 1\n", "VALUE section truncated at trace \"b\": got end of file at line 6"},
        {"\"time\" 0 \"b\" 1", "expected trace \"a\", got \"b\" at line 6"},
        {"\"time\" 0 \"a\" *", "expected a value, got * at line 6"},
        {"\"time\" 0 \"a\" (1", "expected ) closing the value opened at line 6, got end of file at line 6"},
        // The last value complete but no END: never a partial file.
        {"\"time\" 0 \"a\" 1 \"b\" 0.854647\n",
         std::string("the file ends at line 6 without its closing END") + kIncomplete},
    };
    for (const auto& [tail, message] : cases) EXPECT_EQ(parse_error(swept + tail), message) << tail;
    const std::string complex =
        "HEADER TYPE \"C\" COMPLEX DOUBLE SWEEP \"f\" \"x\" TRACE \"c\" \"C\" VALUE \"f\" 1 ";
    EXPECT_EQ(parse_error(complex + "\"c\" 1 \"x\""), "expected a number, got \"x\" at line 1");
    EXPECT_EQ(parse_error(complex + "\"c\" (1 2 3)"),
              "expected ) closing the value opened at line 1, got 3 at line 1");
    EXPECT_EQ(
        parse_error("HEADER TYPE \"S\" STRUCT( \"p\" FLOAT DOUBLE \"q\" FLOAT DOUBLE ) SWEEP \"f\" \"x\" "
                    "TRACE \"s\" \"S\" VALUE \"f\" 1 \"s\" (1) END"),
        "struct value opened at line 1 ends after 1 of its 2 members at line 1");
}

TEST(PsfAscii, UnsweptValues) {
    // Any order, names that are not traces, two listed traces sharing a name.
    const PsfAscii f = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"C\" COMPLEX DOUBLE TRACE \"a\" \"V\" \"c\" \"C\" \"a\" \"V\" "
        "\"never\" \"V\""
        " VALUE \"c\" 1 2 \"zz\" \"txt\" \"a\" 3 \"a\" 4 \"new\" 5 END");
    EXPECT_TRUE(f.sweep_values.empty());
    EXPECT_EQ(wave(f, "a"), (std::vector<double>{3.0, 4.0}));
    EXPECT_EQ(f.waveform("c")->im, (std::vector<double>{2.0}));
    EXPECT_EQ(wave(f, "new"), (std::vector<double>{5.0}));
    EXPECT_FALSE(f.waveform("zz").has_value());
    EXPECT_EQ(wave(f, "never"), std::vector<double>{});
    EXPECT_FALSE(f.waveform("missing").has_value());
    // Listed: the traces, then the values no trace lists, text left out.
    EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"a", "c", "never", "new"}));

    // Operating points and info files: each entry names its type; struct
    // values come in parentheses; a PROP block may follow any value.
    const PsfAscii op = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"C\" COMPLEX DOUBLE \"string\" STRING * \"F\" FLOAT SINGLE"
        " \"res\" STRUCT( \"v\" FLOAT DOUBLE \"i\" FLOAT DOUBLE ) PROP( \"key\" \"inst\" )"
        " VALUE \"out\" \"V\" 1.0e+00 PROP( \"units\" \"V\" ) \"z\" \"C\" (2 3) \"R1\" \"res\" ( nan 0.0 )"
        " PROP( \"model\" \"resistor\" ) \"V1\" \"res\" ( 1.5 -inf ) \"u\" \"unknown\" -INF"
        " \"t\" \"plain text\" \"log\" \"string\" \"/tmp/x.log\" \"f\" \"F\" 0.5 END");
    EXPECT_EQ(wave(op, "out"), (std::vector<double>{1.0}));
    EXPECT_EQ(op.waveform("z")->im, (std::vector<double>{3.0}));
    EXPECT_TRUE(std::isnan(wave(op, "R1.v").at(0)));
    EXPECT_EQ(wave(op, "R1.i"), (std::vector<double>{0.0}));
    EXPECT_EQ(wave(op, "V1.i"), (std::vector<double>{-INFINITY}));
    EXPECT_EQ(wave(op, "u"), (std::vector<double>{-INFINITY}));
    EXPECT_EQ(op.values.at("t").at(0).text, "plain text");
    EXPECT_EQ(op.values.at("log").at(0).text, "/tmp/x.log");
    EXPECT_EQ(op.signal_names(),
              (std::vector<std::string_view>{"out", "z", "R1.v", "R1.i", "V1.v", "V1.i", "u", "f"}));

    // A struct entry whose first member is text reads as before: the text is
    // its value, not a type name, even when a number or "(" follows it.
    const PsfAscii st = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"s\" STRUCT( \"name\" FLOAT DOUBLE \"v\" FLOAT DOUBLE )"
        " TRACE \"x\" \"s\" \"y\" \"s\" VALUE \"x\" \"V\" 2.0 \"y\" \"lbl\" 3 \"x\" \"V\" ( 4 5 ) END");
    ASSERT_EQ(st.values.at("x.name").size(), 1u);
    EXPECT_EQ(st.values.at("x.name").at(0).text, "V");
    EXPECT_EQ(st.values.at("y.name").at(0).text, "lbl");
    // Where the text cannot be the first member (a "(" member), it names a
    // type: that entry is a "V" value of its own.
    EXPECT_EQ(st.values.at("x").at(0).re, 4.0);
}

TEST(PsfAscii, NestingAndStructExpansionAreBounded) {
    const auto nested = [](int levels) {
        std::string t = "HEADER TYPE \"s\" ";
        for (int i = 0; i < levels; ++i) t += "STRUCT( \"m\" ";
        t += "FLOAT DOUBLE";
        for (int i = 0; i < levels; ++i) t += " )";
        return t + " END";
    };
    EXPECT_TRUE(PsfAscii::from_str("p", nested(64)).ok());
    EXPECT_EQ(parse_error(nested(65)), "struct nesting deeper than 64 levels");
    EXPECT_EQ(parse_error(nested(100000)), "struct nesting deeper than 64 levels");
    // Parenthesised values nest no deeper either.
    EXPECT_EQ(parse_error("HEADER VALUE \"x\" " + std::string(100000, '(')),
              "struct nesting deeper than 64 levels");
    // Struct traces cannot multiply into more signals than the file could
    // give values for.
    std::string wide = "HEADER TYPE \"s\" STRUCT(";
    for (int i = 0; i < 300; ++i) wide += " \"m" + std::to_string(i) + "\" FLOAT DOUBLE";
    wide += " ) TRACE";
    for (int i = 0; i < 300; ++i) wide += " \"t" + std::to_string(i) + "\" \"s\"";
    EXPECT_EQ(parse_error(wide + " END"),
              "struct members make more signals than the file has values (over 67044)");
}

// Whatever point a text file is cut at, it is refused: a cut file never
// hands back a shortened number or a partial set of values.
TEST(PsfAscii, EveryCutPointOfTheSampleTextsIsRefused) {
    const std::filesystem::path dir = std::filesystem::path(psf_test::samples_dir()) / "psf" / "ascii";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no samples";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        // Only the results: not another reader's pickles (.cache) or notes.
        if (entry.path().extension() == ".cache" || entry.path().filename().string().front() == '.') continue;
        auto bytes = read_file(entry.path().string());
        ASSERT_TRUE(bytes.ok());
        const std::string& text = bytes.value();
        ASSERT_TRUE(PsfAscii::from_str("p", text).ok()) << entry.path();
        const std::size_t end = text.rfind("END");
        ASSERT_NE(end, std::string::npos);
        ++files;
        for (std::size_t n = 0; n < end + 3; ++n) {
            auto cut = PsfAscii::from_str("p", std::string_view(text).substr(0, n));
            ASSERT_FALSE(cut.ok()) << entry.path() << " cut at " << n;
            EXPECT_NE(cut.error().text().find("line "), std::string::npos) << cut.error().text();
        }
    }
    EXPECT_GT(files, 0);
}

TEST(PsfAscii, KindDetection) {
    const auto detect = [](const std::string& bytes) { return looks_like_psfascii(bytes); };
    EXPECT_TRUE(detect("\n\n  \t\r\nHEADER"));
    EXPECT_TRUE(detect("\xE2\x80\x83HEADER"));  // Unicode white space
    EXPECT_FALSE(detect("# comment\nHEADER"));
    EXPECT_FALSE(detect("header"));
    // A multi-byte character cut by the 64-byte window still reads as text;
    // an invalid sequence there does not.
    std::string cut = "HEADER \"" + std::string(55, 'a') + "\xC3\xA9\"";
    ASSERT_EQ(cut.substr(0, 64).back(), '\xC3');
    EXPECT_TRUE(detect(cut));
    cut[63] = '\xFF';
    EXPECT_FALSE(detect(cut));

    auto ok = PsfReader::from_bytes("p", "HEADER \"" + std::string(55, 'a') + "\xC3\xA9\" \"x\" END");
    ASSERT_TRUE(ok.ok()) << ok.error().text();
    EXPECT_TRUE(ok->is_ascii());

    // Past the first 64 bytes, invalid UTF-8 is an error of the text kind.
    const std::string head = "HEADER \"pad\" \"" + std::string(60, 'p') + "\" ";  // 76 bytes
    auto bad = PsfReader::from_bytes("p", head + "\"b\xFF\"");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().text(),
              "PSFASCII is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 78");
    auto cut_tail = PsfReader::from_bytes("p", head + "\"b\xE2\x82");
    EXPECT_EQ(cut_tail.error().text(),
              "PSFASCII is not valid UTF-8: incomplete utf-8 byte sequence from index 78");
    auto two = PsfReader::from_bytes("p", head + "\"\xE2\x82x\"");
    EXPECT_EQ(two.error().text(),
              "PSFASCII is not valid UTF-8: invalid utf-8 sequence of 2 bytes from index 77");
    // Within the first 64 bytes it makes the file binary.
    EXPECT_EQ(PsfReader::from_bytes("p", "HEADER \"b\xFF\"").error().text(),
              "file too small to be a PSF: 11 bytes");
    // A comment first: treated as binary, which it is not.
    auto comment = PsfReader::from_bytes("p", "# x\nHEADER \"a\" \"b\" \"c\" \"d\"");
    EXPECT_EQ(comment.error().text(), "missing Clarissa trailer (not a PSF file)");
}
