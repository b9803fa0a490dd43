#include <gtest/gtest.h>

#include <cmath>

#include "psf/mod.h"
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
    return w ? *w : std::vector<double>{};
}

// A swept file with a time axis and FLOAT traces a and b.
constexpr const char* kSwept =
    "HEADER \"title\" \"t\"\n"
    "TYPE \"sweep\" FLOAT DOUBLE \"V\" FLOAT DOUBLE PROP( \"units\" \"V\" )\n"
    "SWEEP \"time\" \"sweep\"\n"
    "TRACE \"a\" \"V\" \"b\" \"V\"\n"
    "VALUE\n";

}  // namespace

TEST(PsfAscii, HeaderValuesAndTokens) {
    const PsfAscii f = parse(
        "HEADER \"s\" \"x\" \"i\" 12 \"r\" 12.0 \"e\" 1e3 \"big\" 12345678901234567890 \"plus\" +5 "
        "\"wrap\" 4294967297 \"neg\" 2147483648 \"dot\" .5");
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
    // An empty header, and a file holding only HEADER.
    const PsfAscii empty = parse("HEADER TYPE");
    EXPECT_TRUE(empty.header.empty());
    const PsfAscii only = parse("  \n HEADER");
    EXPECT_TRUE(only.types.empty() && only.sweeps.empty() && only.traces.empty() && only.values.empty());
}

TEST(PsfAscii, NumbersAreCorrectlyRounded) {
    const PsfAscii f = parse(
        "HEADER \"a\" 0.1 \"b\" 2.2250738585072011e-308 \"c\" 1e400 \"d\" -1e-400 \"e\" 9007199254740993 "
        "\"f\" 1.7976931348623157e308 \"g\" 4.9e-324 \"h\" 1.");
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
        "\"\xC3\xA9t\xC3\xA9\" "
        "\"open\" \"unterminated\\");
    ASSERT_EQ(f.header.size(), 3u);
    EXPECT_EQ(std::get<std::string>(f.header[0].value.value), "a\"b\n\t\rx");
    EXPECT_EQ(std::get<std::string>(f.header[1].value.value), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(std::get<std::string>(f.header[2].value.value), "unterminated\\");
}

TEST(PsfAscii, TokenizerErrors) {
    EXPECT_EQ(parse_error("HEADER\n/\n"), "unexpected character '/' at byte 7");
    EXPECT_EQ(parse_error("HEADER !"), "unexpected character '!' at byte 7");
    EXPECT_EQ(parse_error("HEADER '"), "unexpected character '\\'' at byte 7");
    EXPECT_EQ(parse_error("HEADER \x01"), "unexpected character '\\u{1}' at byte 7");
    EXPECT_EQ(parse_error("HEADER \"a\" \xC3\xA9"), "unexpected character '\xC3\x83' at byte 11");
    EXPECT_EQ(parse_error("HEADER \"a\" -"), "bad numeric \"-\": invalid float literal");
    EXPECT_EQ(parse_error("HEADER \"a\" 1.2.3"), "bad numeric \"1.2.3\": invalid float literal");
    EXPECT_EQ(parse_error("HEADER \"a\" 1e"), "bad numeric \"1e\": invalid float literal");
    EXPECT_EQ(parse_error("HEADER \"a\" -x"), "bad numeric \"-\": invalid float literal");
}

TEST(PsfAscii, GrammarErrors) {
    EXPECT_EQ(parse_error(""), "expected keyword \"HEADER\", got None at token 0");
    EXPECT_EQ(parse_error("TYPE"), "expected keyword \"HEADER\", got Some(Word(\"TYPE\")) at token 0");
    EXPECT_EQ(parse_error("HEADER \"a\" TYPE"), "expected header property value, got Some(Word(\"TYPE\"))");
    EXPECT_EQ(parse_error("HEADER \"a\""), "expected header property value, got None");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" FLOAT SINGLE"),
              "expected keyword \"DOUBLE\", got Some(Word(\"SINGLE\")) at token 4");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" COMPLEX"), "expected keyword \"DOUBLE\", got None at token 4");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" BOOL"),
              "unexpected type keyword Some(Word(\"BOOL\")) in TYPE section");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" 3"), "unexpected type keyword Some(Int(3)) in TYPE section");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" INT 3"), "expected BYTE/INT after INT, got Some(Int(3))");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" STRUCT \"a\""),
              "expected `(` after STRUCT, got Some(String(\"a\"))");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" STRUCT ( 1.5"),
              "unexpected token in STRUCT body: Some(Real(1.5))");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" STRUCT ("), "unexpected token in STRUCT body: None");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" FLOAT DOUBLE PROP \"x\""),
              "expected `(` after PROP, got Some(String(\"x\"))");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" FLOAT DOUBLE PROP ( \"x\" 1"),
              "unexpected token in PROP block: None");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" FLOAT DOUBLE PROP ( *"),
              "unexpected token in PROP block: Some(Star)");
    EXPECT_EQ(parse_error("HEADER TYPE \"t\" FLOAT DOUBLE PROP ( \"x\" ("),
              "expected property value, got Some(LParen)");
    EXPECT_EQ(parse_error("HEADER SWEEP \"s\" 1"), "expected quoted string, got Some(Int(1)) at token 3");
    EXPECT_EQ(parse_error("HEADER TRACE \"s\" END"),
              "expected quoted string, got Some(Word(\"END\")) at token 3");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP 2.5"),
              "expected integer, got Some(Real(2.5)) at token 4");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP \"x\""),
              "expected integer, got Some(String(\"x\")) at token 4");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP 2 \"a\" \"V\""),
              "expected quoted string, got None at token 7");
}

TEST(PsfAscii, TypesAndTraces) {
    const PsfAscii f = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE PROP( \"units\" \"V\" \"n\" 3 )"
        " \"C\" COMPLEX DOUBLE \"B\" INT BYTE"
        " \"S\" STRUCT( \"x\" FLOAT DOUBLE * \"y\" STRUCT( \"z\" INT LONG ) ) PROP( \"key\" \"inst\" )"
        " SWEEP \"time\" \"V\" \"second\" \"V\""
        " TRACE \"a\" \"V\" \"g\" GROUP 2.0 \"x\" \"V\" \"y\" \"C\" PROP( \"k\" 1.5 ) \"b\" \"B\"");
    ASSERT_EQ(f.types.size(), 4u);
    EXPECT_EQ(f.types[0].properties.size(), 2u);
    EXPECT_EQ(f.types[1].kind.tag, AsciiTypeKind::Tag::Complex);
    EXPECT_EQ(f.types[2].kind.tag, AsciiTypeKind::Tag::Int);
    const AsciiTypeDef& s = f.types[3];
    ASSERT_EQ(s.kind.members.size(), 2u);
    EXPECT_EQ(s.kind.members[1].kind.members[0].name, "z");
    EXPECT_EQ(s.properties[0].name, "key");
    EXPECT_EQ(f.sweeps.size(), 2u);
    EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"a", "x", "y", "b"}));
    EXPECT_EQ(f.trace_structure(), (TraceStructure{2, 1, 2}));
    const auto& g = std::get<AsciiTraceGroup>(f.traces[1]);
    EXPECT_EQ(g.members[1].properties[0].value.debug(), "Double(1.5)");
}

TEST(PsfAscii, SweptValues) {
    const PsfAscii f = parse(std::string(kSwept) +
                             "\"time\" 0 \"a\" 1.5 \"b\" 2\n"
                             "\"time\" 1e-9 \"a\" -1 \"b\" 3.25\n"
                             "END \"ignored\" 1 2 (");
    EXPECT_EQ(f.sweep_values, (std::vector<double>{0.0, 1e-9}));
    EXPECT_EQ(wave(f, "a"), (std::vector<double>{1.5, -1.0}));
    EXPECT_EQ(wave(f, "b"), (std::vector<double>{2.0, 3.25}));
    EXPECT_FALSE(f.waveform("time").has_value());
    EXPECT_EQ(f.describe(), "PSFASCII p (2 signals, 2 sweep points)\n");

    // Complex traces give their real parts; text values give no waveform;
    // an unknown type reads one value; a struct keeps its first member.
    const PsfAscii k = parse(
        "HEADER TYPE \"C\" COMPLEX DOUBLE \"S\" STRUCT( \"p\" FLOAT DOUBLE \"q\" FLOAT DOUBLE )"
        " SWEEP \"f\" \"nope\" \"other\" \"C\" TRACE \"c\" \"C\" \"t\" \"nope\" \"s\" \"S\" \"e\" \"S\" VALUE"
        " \"f\" 1 \"c\" 0.5 -2 \"t\" \"on\" \"s\" 7 8 \"e\" 9 10"
        " \"f\" 2 \"c\" (1.5 3) \"t\" 4 \"s\" (nan 9) \"e\" (11 12) PROP( \"model\" \"m\" ) END");
    EXPECT_EQ(wave(k, "c"), (std::vector<double>{0.5, 1.5}));
    EXPECT_EQ(k.values.at("c").at(1).im, 3.0);
    EXPECT_EQ(k.values.at("c").at(1).kind, AsciiValue::Kind::Complex);
    EXPECT_FALSE(k.waveform("t").has_value());
    EXPECT_EQ(k.values.at("t").at(0).text, "on");
    const auto s = wave(k, "s");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], 7.0);
    EXPECT_TRUE(std::isnan(s[1]));
    EXPECT_EQ(wave(k, "e"), (std::vector<double>{9.0, 11.0}));
}

TEST(PsfAscii, SweptValueErrors) {
    const std::string swept(kSwept);
    EXPECT_EQ(parse_error(swept + "\"t\" 0"), "expected sweep marker \"time\", got \"t\"");
    EXPECT_EQ(parse_error(swept + "5"), "expected quoted string, got Some(Int(5)) at token 24");
    EXPECT_EQ(parse_error(swept + "\"time\" \"x\""), "expected numeric value, got Some(String(\"x\"))");
    EXPECT_EQ(parse_error(swept + "\"time\" 0 \"a\" 1 END"), "VALUE section truncated at trace \"b\"");
    EXPECT_EQ(parse_error(swept + "\"time\" 0 \"a\" 1"), "VALUE section truncated at trace \"b\"");
    EXPECT_EQ(parse_error(swept + "\"time\" 0 \"b\" 1"), "expected trace \"a\", got \"b\"");
    EXPECT_EQ(parse_error(swept + "\"time\" 0 \"a\" *"), "expected value, got Some(Star)");
    EXPECT_EQ(parse_error(swept + "\"time\" 0 \"a\" (1"), "expected value, got None");
    EXPECT_EQ(parse_error("HEADER TYPE \"C\" COMPLEX DOUBLE SWEEP \"f\" \"x\" TRACE \"c\" \"C\" VALUE \"f\" "
                          "1 \"c\" 1 \"x\""),
              "expected numeric value, got Some(String(\"x\"))");
    EXPECT_EQ(parse_error("HEADER TYPE \"C\" COMPLEX DOUBLE SWEEP \"f\" \"x\" TRACE \"c\" \"C\" VALUE \"f\" "
                          "1 \"c\" (1 2 3)"),
              "expected `)` after complex value, got Some(Int(3))");
}

TEST(PsfAscii, UnsweptValues) {
    // Any order, names that are not traces, two listed traces sharing a name.
    const PsfAscii f = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"C\" COMPLEX DOUBLE TRACE \"a\" \"V\" \"c\" \"C\" \"a\" \"V\" "
        "\"never\" \"V\""
        " VALUE \"c\" 1 2 \"zz\" \"txt\" \"a\" 3 \"a\" 4 \"new\" 5 END");
    EXPECT_TRUE(f.sweep_values.empty());
    EXPECT_EQ(wave(f, "a"), (std::vector<double>{3.0, 4.0}));
    EXPECT_EQ(wave(f, "c"), (std::vector<double>{1.0}));
    EXPECT_EQ(wave(f, "new"), (std::vector<double>{5.0}));
    EXPECT_FALSE(f.waveform("zz").has_value());
    EXPECT_EQ(wave(f, "never"), std::vector<double>{});
    EXPECT_FALSE(f.waveform("missing").has_value());
    EXPECT_EQ(parse_error("HEADER VALUE 1"), "expected quoted string, got Some(Int(1)) at token 2");

    // Operating points: each entry names its type, and struct values come in
    // parentheses with a PROP block.
    const PsfAscii op = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"C\" COMPLEX DOUBLE"
        " \"res\" STRUCT( \"v\" FLOAT DOUBLE \"i\" FLOAT DOUBLE ) PROP( \"key\" \"inst\" )"
        " VALUE \"out\" \"V\" 1.0e+00 \"z\" \"C\" 2 3 \"R1\" \"res\" ( nan 0.0 ) PROP( \"model\" "
        "\"resistor\" )"
        " \"V1\" \"res\" ( 1.5 -inf ) \"u\" \"unknown\" -INF \"t\" \"plain text\" END");
    EXPECT_EQ(wave(op, "out"), (std::vector<double>{1.0}));
    EXPECT_EQ(wave(op, "z"), (std::vector<double>{2.0}));
    EXPECT_TRUE(std::isnan(wave(op, "R1").at(0)));
    EXPECT_EQ(wave(op, "V1"), (std::vector<double>{1.5}));
    EXPECT_EQ(wave(op, "u"), (std::vector<double>{-INFINITY}));
    EXPECT_EQ(op.values.at("t").at(0).text, "plain text");

    // A struct entry whose first member is text reads as before: the text is
    // its value, not a type name, even when a number or "(" follows it.
    const PsfAscii st = parse(
        "HEADER TYPE \"V\" FLOAT DOUBLE \"s\" STRUCT( \"name\" FLOAT DOUBLE \"v\" FLOAT DOUBLE )"
        " TRACE \"x\" \"s\" \"y\" \"s\" VALUE \"x\" \"V\" 2.0 \"y\" \"lbl\" 3 \"x\" \"V\" ( 4 5 ) END");
    ASSERT_EQ(st.values.at("x").size(), 2u);
    EXPECT_EQ(st.values.at("x").at(0).kind, AsciiValue::Kind::Text);
    EXPECT_EQ(st.values.at("x").at(0).text, "V");
    EXPECT_EQ(st.values.at("y").at(0).text, "lbl");
    // Where the text cannot be the first member (a "(" member), it names a type.
    EXPECT_EQ(st.values.at("x").at(1).re, 4.0);
}

TEST(PsfAscii, GroupCountsAndNestingAreBounded) {
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP -1"), "negative group member count -1");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP -2.0"), "negative group member count -2");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP 9223372036854775807 \"a\" \"V\""),
              "expected quoted string, got None at token 7");
    EXPECT_EQ(parse_error("HEADER TRACE \"g\" GROUP 1e300"), "expected quoted string, got None at token 5");
    const PsfAscii empty = parse("HEADER TRACE \"g\" GROUP 0 \"a\" \"V\"");
    EXPECT_EQ(empty.trace_structure(), (TraceStructure{1, 1, 0}));

    const auto nested = [](int levels) {
        std::string t = "HEADER TYPE \"s\" ";
        for (int i = 0; i < levels; ++i) t += "STRUCT( \"m\" ";
        t += "FLOAT DOUBLE";
        for (int i = 0; i < levels; ++i) t += " )";
        return t;
    };
    EXPECT_TRUE(PsfAscii::from_str("p", nested(64)).ok());
    EXPECT_EQ(parse_error(nested(65)), "struct nesting deeper than 64 levels");
    EXPECT_EQ(parse_error(nested(100000)), "struct nesting deeper than 64 levels");
    // Parenthesised values nest no deeper either.
    const std::string deep_value = "HEADER VALUE \"x\" " + std::string(100000, '(');
    EXPECT_EQ(parse_error(deep_value), "struct nesting deeper than 64 levels");
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

    auto ok = PsfReader::from_bytes("p", "HEADER \"" + std::string(55, 'a') + "\xC3\xA9\" \"x\"");
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
