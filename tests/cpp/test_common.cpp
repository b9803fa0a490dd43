#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "common/decimal.h"
#include "common/format.h"
#include "common/io.h"
#include "common/json_text.h"
#include "common/memory.h"
#include "common/result.h"
#include "common/text.h"
#include "error/error.h"

using namespace morva;

TEST(Format, ExponentWithPrecision) {
    // The forms the messages print; every other digit string is checked
    // against printf below.
    EXPECT_EQ(fmt::exp(1e-6, 3), "1.000e-6");
    EXPECT_EQ(fmt::exp(1.8, 6), "1.800000e0");
    EXPECT_EQ(fmt::exp(0.0, 3), "0.000e0");
    EXPECT_EQ(fmt::exp(-0.0, 3), "-0.000e0");
    EXPECT_EQ(fmt::exp(9.9996, 3), "1.000e1");  // carry into the exponent
    EXPECT_EQ(fmt::exp(5e-7, 0), "5e-7");
}

// The exponent form against printf's own digits, on random bit patterns and
// short decimals (ties).
TEST(Format, ExponentAgreesWithPrintf) {
    auto reference = [](double v, int precision) {
        char buf[512];
        std::snprintf(buf, sizeof buf, "%.*e", precision, v);
        std::string s(buf);
        const auto e = s.find('e');
        return s.substr(0, e + 1) + std::to_string(std::atoi(s.c_str() + e + 1));
    };
    std::uint64_t state = 88172645463325252ull;  // xorshift: reproducible bit patterns
    for (int i = 0; i < 20000; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        double v;
        std::memcpy(&v, &state, sizeof v);
        if (!std::isfinite(v)) continue;
        const double short_decimal = static_cast<double>(state % 2000001) * 1e-6 - 1.0;
        for (int precision : {0, 3, 6, 9, 17, 60}) {
            ASSERT_EQ(fmt::exp(v, precision), reference(v, precision)) << v;
            ASSERT_EQ(fmt::exp(short_decimal, precision), reference(short_decimal, precision));
        }
    }
    std::string out = "x=";
    fmt::append_exp(out, 2.5, 1);
    EXPECT_EQ(out, "x=2.5e0");
}

TEST(Format, NonFiniteInEveryForm) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (auto f : {+[](double v) { return fmt::exp(v, 3); }, +[](double v) { return fmt::fixed(v, 4); },
                   +[](double v) { return fmt::display(v); }, +[](double v) { return fmt::debug(v); },
                   +[](double v) { return fmt::exp_shortest(v); }}) {
        EXPECT_EQ(f(nan), "NaN");
        EXPECT_EQ(f(-nan), "NaN");
        EXPECT_EQ(f(inf), "inf");
        EXPECT_EQ(f(-inf), "-inf");
    }
}

TEST(Format, FixedRoundsLikePrintf) {
    EXPECT_EQ(fmt::fixed(0.5, 4), "0.5000");
    EXPECT_EQ(fmt::fixed(2.5, 0), "2");  // ties to even on exact values
    EXPECT_EQ(fmt::fixed(3.5, 0), "4");
    EXPECT_EQ(fmt::fixed(0.125, 2), "0.12");
    EXPECT_EQ(fmt::fixed(1.005, 2), "1.00");  // 1.005 is below the tie in binary
    EXPECT_EQ(fmt::fixed(-0.0, 1), "-0.0");
    EXPECT_EQ(fmt::fixed(-0.04, 1), "-0.0");
    EXPECT_EQ(fmt::fixed(30.0, 2), "30.00");
}

TEST(Format, DisplayIsShortestPositional) {
    EXPECT_EQ(fmt::display(1.0), "1");
    EXPECT_EQ(fmt::display(1e-7), "0.0000001");
    EXPECT_EQ(fmt::display(0.1), "0.1");
    EXPECT_EQ(fmt::display(1e16), "10000000000000000");
    EXPECT_EQ(fmt::display(123.456), "123.456");
    EXPECT_EQ(fmt::display(-0.0), "-0");
    EXPECT_EQ(fmt::display(0.0), "0");
    EXPECT_EQ(fmt::display(5e-324), std::string("0.") + std::string(323, '0') + "5");
    EXPECT_EQ(fmt::display(1.8), "1.8");
    EXPECT_EQ(fmt::display(0.30000000000000004), "0.30000000000000004");
}

TEST(Format, DebugSwitchesToExponentOutsideRange) {
    EXPECT_EQ(fmt::debug(1.0), "1.0");
    EXPECT_EQ(fmt::debug(0.0), "0.0");
    EXPECT_EQ(fmt::debug(-0.0), "-0.0");
    EXPECT_EQ(fmt::debug(0.0001), "0.0001");
    EXPECT_EQ(fmt::debug(0.00001), "1e-5");
    EXPECT_EQ(fmt::debug(5e-7), "5e-7");
    EXPECT_EQ(fmt::debug(1.5e-5), "1.5e-5");
    EXPECT_EQ(fmt::debug(1e15), "1000000000000000.0");
    EXPECT_EQ(fmt::debug(1e16), "1e16");
    EXPECT_EQ(fmt::debug(1.8), "1.8");
    EXPECT_EQ(fmt::debug(-2.5e20), "-2.5e20");
}

TEST(Format, ExpShortest) {
    EXPECT_EQ(fmt::exp_shortest(1e-7), "1e-7");
    EXPECT_EQ(fmt::exp_shortest(1.5), "1.5e0");
    EXPECT_EQ(fmt::exp_shortest(0.0), "0e0");
    EXPECT_EQ(fmt::exp_shortest(-123.0), "-1.23e2");
}

TEST(Format, DebugStringEscapes) {
    EXPECT_EQ(fmt::debug_str("nmos"), "\"nmos\"");
    EXPECT_EQ(fmt::debug_str("a\"b\\c\n\t\r"), "\"a\\\"b\\\\c\\n\\t\\r\"");
    EXPECT_EQ(fmt::debug_str(std::string("\0\x01\x7f", 3)), "\"\\0\\u{1}\\u{7f}\"");
    EXPECT_EQ(fmt::debug_str("µ<3>"), "\"µ<3>\"");
}

TEST(Format, CatAndHex) {
    EXPECT_EQ(fmt::cat("a", 1, '-', std::string("b"), -2LL, 3u), "a1-b-23");
    EXPECT_EQ(fmt::hex(0x2a), "2a");
    EXPECT_EQ(fmt::hex(0), "0");
}

TEST(Text, LossyUtf8ReplacesMaximalSubparts) {
    EXPECT_EQ(utf8_lossy("plain"), "plain");
    EXPECT_EQ(utf8_lossy("a\xffz"), "a\xEF\xBF\xBDz");
    // A truncated three-byte sequence is one replacement, not two.
    EXPECT_EQ(utf8_lossy("\xE2\x82z"), "\xEF\xBF\xBDz");
    // Overlong and surrogate encodings are invalid byte by byte.
    EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xE2\x82\xAC"), "\xE2\x82\xAC");
}

TEST(Text, ValidityAllowingACutTail) {
    EXPECT_TRUE(utf8_valid("\xE2\x82\xAC"));
    EXPECT_FALSE(utf8_valid("ab\xE2\x82"));
    EXPECT_TRUE(utf8_valid("ab\xE2\x82", true));
    EXPECT_FALSE(utf8_valid("ab\xE2\x82z", true));
    EXPECT_FALSE(utf8_valid("ab\xff", true));
}

TEST(Text, Utf8ErrorTexts) {
    EXPECT_EQ(utf8_error_text("plain \xc3\xa9 text"), std::nullopt);
    EXPECT_EQ(utf8_error_text(std::string(100, 'a') + "\xff"),
              "invalid utf-8 sequence of 1 bytes from index 100");
    EXPECT_EQ(utf8_error_text("ab\xe2\x82z"), "invalid utf-8 sequence of 2 bytes from index 2");
    EXPECT_EQ(utf8_error_text("\xe0\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");  // overlong
    EXPECT_EQ(utf8_error_text("\xed\xa0\x80"),
              "invalid utf-8 sequence of 1 bytes from index 0");  // surrogate
    EXPECT_EQ(utf8_error_text("x\xf0\x9f\x98"), "incomplete utf-8 byte sequence from index 1");
}

TEST(Text, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(ascii_iequals("V(OUT)", "v(out)"));
    EXPECT_FALSE(ascii_iequals("Ä", "ä"));
    EXPECT_EQ(ascii_lower("NMOS_Ä"), "nmos_Ä");
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

TEST(Text, WhitespaceIsUnicodeWhiteSpace) {
    // Every White_Space character, one by one, by its UTF-8 encoding.
    const char32_t spaces[] = {0x09,   0x0a,   0x0b,   0x0c,   0x0d,   0x20,   0x85,   0xa0,  0x1680,
                               0x2000, 0x2005, 0x200a, 0x2028, 0x2029, 0x202f, 0x205f, 0x3000};
    const auto utf8 = [](char32_t c) {
        std::string s;
        if (c < 0x80) {
            s.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            s.push_back(static_cast<char>(0xc0 | (c >> 6)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else {
            s.push_back(static_cast<char>(0xe0 | (c >> 12)));
            s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
        return s;
    };
    for (char32_t c : spaces) {
        const std::string s = utf8(c);
        EXPECT_EQ(whitespace_at(s, 0), s.size()) << std::hex << static_cast<unsigned>(c);
        EXPECT_EQ(whitespace_before(s, s.size()), s.size());
    }
    // Neighbours that are not whitespace: U+001F, U+00A1, U+180E, U+200B,
    // U+2060, U+FEFF; and stray or cut bytes.
    for (const char* s : {"\x1f", "\xc2\xa1", "\xe1\xa0\x8e", "\xe2\x80\x8b", "\xe2\x81\xa0", "\xef\xbb\xbf",
                          "\x85", "\xa0", "\xc2", "\xe3\x80", "x"}) {
        EXPECT_EQ(whitespace_at(s, 0), 0u) << s;
        EXPECT_EQ(whitespace_before(s, std::strlen(s)), 0u) << s;
    }
    EXPECT_EQ(whitespace_at("ab", 2), 0u);
    EXPECT_EQ(whitespace_before("", 0), 0u);
}

TEST(Text, TrimAndSplitAtWhitespace) {
    EXPECT_EQ(trim_whitespace("\xc2\xa0 x \xe3\x80\x80"), "x");
    EXPECT_EQ(trim_start_whitespace("\t a b \n"), "a b \n");
    EXPECT_EQ(trim_end_whitespace("\t a b \xe2\x80\xa8"), "\t a b");
    EXPECT_EQ(trim_whitespace(" \u2003 "), "");
    // A stray continuation byte at an end stays.
    EXPECT_EQ(trim_whitespace("\xa0x\x85"), "\xa0x\x85");
    EXPECT_EQ(split_whitespace("  .model\u00a0nch\tnmos  (l=1) "),
              (std::vector<std::string_view>{".model", "nch", "nmos", "(l=1)"}));
    EXPECT_TRUE(split_whitespace("\u3000 \n").empty());
    std::string_view rest;
    EXPECT_EQ(first_word("  é\u2009rest of it", &rest), "é");
    EXPECT_EQ(rest, "\u2009rest of it");
    EXPECT_EQ(first_word("   ", &rest), "");
    EXPECT_EQ(rest, "");
}

TEST(JsonText, EscapesQuotesBackslashesAndControlCharacters) {
    using namespace std::string_literals;
    EXPECT_EQ(json::string(""), "\"\"");
    EXPECT_EQ(json::string("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(json::string("\t\n\r\b\f"), R"("\t\n\r\b\f")");
    EXPECT_EQ(json::string("\x01\x1b\x1f"), R"("\u0001\u001b\u001f")");
    EXPECT_EQ(json::string("x\0y"s), R"("x\u0000y")");
    // DEL and non-ASCII bytes (valid or not) pass as they are.
    EXPECT_EQ(json::string("\x7f\xC3\xA9\xff"), "\"\x7f\xC3\xA9\xff\"");
    EXPECT_EQ(json::string("</script>"), "\"</script>\"");
    std::string out = "[";
    json::append_string(out, "a");
    EXPECT_EQ(out, "[\"a\"");
}

TEST(JsonText, LongBackspaceAndFormFeed) {
    const json::StringStyle long_form{.short_backspace_formfeed = false};
    EXPECT_EQ(json::string("\b\f\t", long_form), R"("\u0008\u000c\t")");
}

TEST(JsonText, ScriptSafeForm) {
    const json::StringStyle script{.short_backspace_formfeed = false, .script_safe = true};
    EXPECT_EQ(json::string("a</script>b", script), R"("a<\/script>b")");
    EXPECT_EQ(json::string("<!-- x -->", script), R"("\u003c!-- x -->")");
    EXPECT_EQ(json::string("<<//<", script), R"("<<\//<")");
    EXPECT_EQ(json::string("<!-", script), R"("<!-")");
    EXPECT_EQ(json::string("<\"\n", script), R"("<\"\n")");
}

TEST(Errors, DisplayTexts) {
    EXPECT_EQ(NgspiceError::send_failed().text(), "worker pool send failed: all workers are shut down");
    EXPECT_EQ(NgspiceError::init("x").text(), "ngspice initialization failed: x");
    EXPECT_EQ(NgspiceError::from_io(IoError::from_errno(ENOENT)).text(),
              "I/O error: No such file or directory (os error 2)");
    EXPECT_EQ(bsim4::Bsim4Error::evaluation(-1).text(), "BSIM4 evaluation failed (code -1)");
    EXPECT_EQ(lut::LutError::serialization("io error: unexpected end of file").text(),
              "LUT cache serialization error: io error: unexpected end of file");
    EXPECT_EQ(psf::PsfError::bad_signature(0x1234).text(),
              "unsupported PSF signature 0x1234 (expected 0x200 binary, 0x300 PSFXL, 0x400 windowed, 0x500 "
              "operating point, or any word before a header section at offset 4)");
    EXPECT_EQ(psf::PsfError::unexpected_chunk(3, 40, {21, 22}).text(),
              "unexpected chunk type 3 at offset 40 (expected [21, 22])");
    EXPECT_EQ(psf::PsfError::truncated(1, 2, 3).text(), "truncated read at offset 1 (need 2 bytes, have 3)");
    EXPECT_EQ(Error(psf::PsfError::other("boom")).text(), "boom");
}

namespace {
Result<int, std::string> parse_digit(char c) {
    if (c < '0' || c > '9') return err(std::string("not a digit"));
    return c - '0';
}
Result<int, std::string> sum_digits(const char* s) {
    int total = 0;
    for (; *s; ++s) {
        MORVA_ASSIGN(int d, parse_digit(*s));
        total += d;
    }
    return total;
}
}  // namespace

TEST(ResultType, PropagatesErrors) {
    EXPECT_EQ(sum_digits("123").value(), 6);
    auto r = sum_digits("1x");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "not a digit");
}

TEST(Memory, CeilingAndOverflow) {
    const std::uint64_t physical = morva::physical_memory();
    const std::uint64_t ceiling = morva::memory_ceiling();
    EXPECT_GT(physical, 0u);
    EXPECT_GE(ceiling, physical);
    EXPECT_TRUE(morva::fits_in_memory(0, 8));
    EXPECT_TRUE(morva::fits_in_memory(1, 1 << 20));
    EXPECT_FALSE(morva::fits_in_memory(ceiling, 2));
    // Products and sums past 64 bits never pass for small ones.
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(morva::fits_in_memory(kMax / 2 + 1, 2));
    EXPECT_FALSE(morva::fits_in_memory(1, 8, kMax));
}

TEST(Memory, FileLargerThanMemoryIsNotRead) {
    // A sparse file: it takes no disk space, but claims more than memory.
    char path[] = "/tmp/morva_sparse_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::uint64_t ceiling = morva::memory_ceiling();
    const bool sized = ceiling < static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
                       ::ftruncate(fd, static_cast<off_t>(ceiling + 1)) == 0;
    ::close(fd);
    if (!sized) {
        ::unlink(path);
        GTEST_SKIP() << "no sparse file of that size here";
    }
    auto bytes = morva::read_file(path);
    ::unlink(path);
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().text(), "file too large to read into memory");
}

TEST(DecimalWords, AreReadWithoutTheLocale) {
    EXPECT_EQ(parse_decimal("1.5e-9"), 1.5e-9);
    EXPECT_EQ(parse_decimal("-0"), -0.0);
    EXPECT_EQ(parse_decimal("5."), 5.0);
    EXPECT_EQ(parse_decimal(".5"), 0.5);
    EXPECT_EQ(parse_decimal("Infinity"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_decimal("1e-400"), 0.0);
    EXPECT_EQ(parse_decimal("123456789012345678901234567890"), 1.2345678901234568e29);
    for (const char* bad :
         {"", ".", "e5", "1e", "1e+", "1.5.2", "1,5", "nan(1)", "0x1p3", "1k", " 1", "--1", "infin"}) {
        EXPECT_FALSE(parse_decimal(bad).has_value()) << bad;
    }
}
