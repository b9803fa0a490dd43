#include <gtest/gtest.h>

#include "common/io.h"
#include "psf/file.h"
#include "psf/open_any.h"
#include "psf/sections.h"
#include "test_psf_writer.h"

using namespace morva;
using namespace morva::psf;
using psf_test::build_file;
using psf_test::kSignatures;
using psf_test::Writer;

namespace {

std::string error_text(const std::string& bytes) {
    auto r = PsfFile::from_bytes("f", bytes);
    EXPECT_FALSE(r.ok());
    return r.ok() ? std::string() : r.error().text();
}

PsfFile parse(const std::string& bytes) {
    auto r = PsfFile::from_bytes("f", bytes);
    if (!r) ADD_FAILURE() << r.error().text();
    return r ? std::move(r).value() : PsfFile{};
}

// A file holding only a header section with the given body.
std::string header_only(const std::function<void(Writer&)>& body, std::uint32_t signature = 0x200) {
    return build_file({{0, body}}, signature);
}

// A file of only `payload`, then a trailer whose TOC offset is `toc_offset`.
std::string raw_file(std::uint32_t signature, std::string payload, std::uint32_t toc_offset) {
    Writer w;
    w.u32(signature);
    w.out += payload;
    w.out += "Clarissa";
    w.u32(toc_offset);
    return w.out;
}

}  // namespace

TEST(PsfBinary, ParsesEverySection) {
    const PsfFile f = parse(psf_test::sample_file());
    EXPECT_EQ(f.signature, 0x200u);
    EXPECT_EQ(f.toc.size(), 4u);
    ASSERT_EQ(f.header.size(), 3u);
    EXPECT_EQ(f.header[0].value.debug(), "String(\"1.00\")");
    EXPECT_EQ(f.header[1].value.debug(), "Int32(3)");
    EXPECT_EQ(f.header[2].value.debug(), "Double(0.001)");

    // The loose property is dropped; the one after "V"'s data type id
    // belongs to it.
    ASSERT_EQ(f.types.size(), 2u);
    EXPECT_EQ(f.types[0].name, "V");
    EXPECT_EQ(f.types[0].element_size, 8u);
    ASSERT_EQ(f.types[0].properties.size(), 1u);
    EXPECT_EQ(f.types[0].properties[0].name, "units");
    const DataTypeDef& pair = f.types[1];
    ASSERT_TRUE(pair.struct_def.has_value());
    EXPECT_EQ(pair.struct_def->members.size(), 2u);
    EXPECT_EQ(pair.element_size, 16u);
    EXPECT_TRUE(pair.properties.empty());

    ASSERT_EQ(f.sweeps.size(), 1u);
    EXPECT_EQ(f.sweeps[0].name, "time");
    EXPECT_EQ(f.sweeps[0].id, 10);
    EXPECT_EQ(f.sweeps[0].type_id, 1);

    std::vector<std::string_view> expected{"a", "b", "x", "y"};
    EXPECT_EQ(f.signal_names(), expected);
    EXPECT_EQ(f.trace_structure(), (TraceStructure{2, 1, 2}));
    const auto& group = std::get<TraceGroup>(f.traces[2]);
    EXPECT_EQ(group.id, 22);
    EXPECT_EQ(group.members[1].type_id, 2);
}

TEST(PsfBinary, SizeTrailerAndSignatureChecksInOrder) {
    EXPECT_EQ(error_text(std::string(15, 'x')), "file too small to be a PSF: 15 bytes");
    // 16 bytes: signature, trailer, TOC offset 4 -> empty TOC.
    EXPECT_EQ(error_text(raw_file(0x200, "", 4)), "unknown section index 0");
    // The trailer is tested before the signature.
    std::string no_trailer = raw_file(0x999, "", 4);
    no_trailer[5] = 'X';
    EXPECT_EQ(error_text(no_trailer), "missing Clarissa trailer (not a PSF file)");
    EXPECT_EQ(error_text(raw_file(0x100, "", 4)),
              "unsupported PSF signature 0x100" + std::string(kSignatures));
    EXPECT_EQ(error_text(raw_file(0x201, "", 4)),
              "unsupported PSF signature 0x201" + std::string(kSignatures));
    EXPECT_EQ(error_text(raw_file(0x600, "", 4)),
              "unsupported PSF signature 0x600" + std::string(kSignatures));
    for (std::uint32_t sig : {0x200u, 0x300u, 0x400u, 0x500u}) {
        const PsfFile f = parse(psf_test::sample_file(sig));
        EXPECT_EQ(f.signature, sig);
        EXPECT_EQ(f.is_psfxl(), sig == 0x300u);
    }
}

TEST(PsfBinary, TheLayoutNotTheFirstWordMakesTheKind) {
    // Header-only files with any first word, 0 among them: the header
    // section at offset 4 and the trailer make them PSF.
    for (std::uint32_t sig : {0x0u, 0x600u, 0xffffffffu}) {
        const PsfFile f = parse(header_only([](Writer& w) { w.prop("a", std::int32_t{1}); }, sig));
        EXPECT_EQ(f.signature, sig);
        EXPECT_EQ(f.header.size(), 1u);
        EXPECT_FALSE(f.is_psfxl());
    }
    // A header listed elsewhere leaves the word to decide.
    EXPECT_EQ(error_text(build_file({{1, [](Writer&) {}}, {0, [](Writer&) {}}}, 0)),
              "unsupported PSF signature 0x0" + std::string(kSignatures));
    // 0x300 with a value section of its own holds its values: no companion.
    const auto with_values = [](std::uint32_t sig) {
        auto sections = psf_test::sample_sections();
        sections.push_back({4, [](Writer& w) { w.u32(16).u32(20).f64(1.5); }});
        return build_file(sections, sig);
    };
    EXPECT_FALSE(parse(with_values(0x300)).is_psfxl());
    EXPECT_TRUE(parse(psf_test::sample_file(0x300)).is_psfxl());
}

TEST(PsfBinary, TableOfContentsBounds) {
    EXPECT_EQ(error_text(raw_file(0x200, "", 5)), "bad TOC offset 5 (file size 16)");
    EXPECT_EQ(error_text(raw_file(0x200, "", 0xffffffffu)), "bad TOC offset 4294967295 (file size 16)");
    // 3 and 6 bytes are neither 8k nor 8k + 4.
    EXPECT_EQ(error_text(raw_file(0x200, "abc", 4)), "TOC byte count 3 not a multiple of 8");
    EXPECT_EQ(error_text(raw_file(0x200, "abcdef", 4)), "TOC byte count 6 not a multiple of 8");
    // 4 bytes: a lead word and no entries.
    EXPECT_EQ(error_text(raw_file(0x200, "abcd", 4)), "unknown section index 0");
    // A TOC offset right at the trailer gives an empty TOC.
    EXPECT_EQ(error_text(raw_file(0x200, "abcdefgh", 12)), "unknown section index 0");
}

TEST(PsfBinary, WindowedTocWithLeadWord) {
    const auto sections = std::vector<psf_test::Section>{
        {0, [](Writer& w) { w.prop("a", std::int32_t{1}); }},
        {3, [](Writer& w) { w.group(1, "grp", 2).ref(2, "in", 1).ref(3, "out", 1); }}};
    const PsfFile f = parse(build_file(sections, 0x400, true));
    ASSERT_EQ(f.toc.size(), 2u);
    EXPECT_EQ(f.toc[0].id, 0u);
    EXPECT_EQ(f.toc[0].offset, 4u);
    EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"in", "out"}));
}

TEST(PsfBinary, FirstTocEntryOfAnIdWins) {
    Writer w;
    w.u32(0x200);
    const std::size_t header = w.section([](Writer& s) { s.prop("h", "1"); });
    const std::size_t t1 = w.section([](Writer& s) { s.type_def(1, "first"); }, true);
    const std::size_t t2 = w.section([](Writer& s) { s.type_def(1, "second"); }, true);
    const std::size_t toc = w.pos();
    w.u32(7).u32(12345);  // unknown ids are ignored
    w.u32(1).u32(t1).u32(0).u32(header).u32(1).u32(t2);
    w.out += "Clarissa";
    w.u32(toc);
    const PsfFile f = parse(w.out);
    ASSERT_EQ(f.types.size(), 1u);
    EXPECT_EQ(f.types[0].name, "first");
}

TEST(PsfBinary, StringsArePaddedAndBounded) {
    // Length 5 takes 3 pad bytes, length 8 none: both parse and the next
    // property follows.
    const PsfFile f =
        parse(header_only([](Writer& w) { w.prop("abcde", "12345678").prop("z", std::int32_t{7}); }));
    ASSERT_EQ(f.header.size(), 2u);
    EXPECT_EQ(f.header[0].name, "abcde");
    EXPECT_EQ(f.header[1].value.debug(), "Int32(7)");

    // A string at the very end of the data whose pad is missing.
    {
        Writer w;
        w.u32(33).str("n").u32(5);
        w.out += "abcde";
        Cursor c(w.out, 0);
        auto p = Property::deserialize(c);
        ASSERT_FALSE(p.ok());
        EXPECT_EQ(p.error().text(), "truncated read at offset 21 (need 3 bytes, have 0)");
    }
    // A declared length beyond the end.
    {
        Writer w;
        w.u32(1000).out += "abc";
        Cursor c(w.out, 0);
        auto s = c.read_string();
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().kind, PsfError::Kind::Truncated);
        EXPECT_EQ(s.error().text(), "truncated read at offset 4 (need 1000 bytes, have 3)");
    }
    // A cursor placed beyond the end reads nothing.
    {
        Cursor c("abcd", 100);
        EXPECT_EQ(c.read_u32().error().text(), "truncated read at offset 100 (need 4 bytes, have 0)");
        EXPECT_EQ(c.read_f64().error().text(), "truncated read at offset 100 (need 8 bytes, have 0)");
    }
}

TEST(PsfBinary, InvalidUtf8InNamesIsReplaced) {
    const PsfFile f = parse(header_only([](Writer& w) {
        w.prop(
            "a\xff"
            "b",
            "ok");
    }));
    EXPECT_EQ(f.header[0].name,
              "a\xEF\xBF\xBD"
              "b");
}

TEST(PsfBinary, ChunkAndContainerErrors) {
    // A type section whose container is followed directly by an entry.
    {
        Writer w;
        w.u32(0x200);
        const std::size_t h = w.section([](Writer& s) { s.prop("x", "y"); });
        const std::size_t t = w.pos();
        w.u32(21).u32(t + 100);
        const std::size_t entry = w.pos();
        w.type_def(1, "V");
        const std::size_t toc = w.pos();
        w.u32(0).u32(h).u32(1).u32(t);
        w.out += "Clarissa";
        w.u32(toc);
        EXPECT_EQ(error_text(w.out),
                  "unexpected chunk type 16 at offset " + std::to_string(entry) + " (expected [22])");
    }
    // Header not opened by a container.
    EXPECT_EQ(error_text(raw_file(
                  0x200, std::string("\0\0\0\x16\0\0\0\0", 8) + std::string("\0\0\0\0\0\0\0\x04", 8), 12)),
              "unexpected chunk type 22 at offset 4 (expected [21])");
    // A section end before the section.
    {
        Writer w;
        w.u32(0x200).u32(21).u32(2);
        const std::size_t toc = w.pos();
        w.u32(0).u32(4);
        w.out += "Clarissa";
        w.u32(toc);
        EXPECT_EQ(error_text(w.out), "container endpos 2 < section abspos 4");
    }
    // Header properties running past the section end.
    {
        Writer w;
        w.u32(0x200).u32(21).u32(12);
        w.prop("p", "v");
        const std::size_t toc = w.pos();
        w.u32(0).u32(4);
        w.out += "Clarissa";
        w.u32(toc);
        EXPECT_EQ(error_text(w.out), "header section overran endpos: pos=32 endpos=12");
    }
    // A reference not opened by an entry word.
    {
        Writer w;
        w.u32(99);
        Cursor c(w.out, 0);
        EXPECT_EQ(DataTypeRef::deserialize(c).error().text(),
                  "unexpected chunk type 99 at offset 0 (expected [16])");
    }
}

TEST(PsfBinary, UnknownCodes) {
    const auto types = [](std::int32_t data_type) {
        return build_file({{0, [](Writer& w) { w.prop("a", "b"); }},
                           {1, [=](Writer& w) { w.type_def(1, "T", data_type); }}});
    };
    EXPECT_EQ(error_text(types(7)), "unknown data type id 7");
    EXPECT_EQ(error_text(types(-3)), "unknown data type id -3");
    for (std::int32_t ok : {1, 5, 11, 12})
        EXPECT_EQ(parse(types(ok)).types[0].element_size, *element_size_of(ok));

    Writer w;
    w.u32(36).str("n").u32(0);
    Cursor c(w.out, 0);
    EXPECT_EQ(Property::deserialize(c).error().text(), "unknown property type 36");
}

TEST(PsfBinary, StructsNestUpToTheCap) {
    const auto nested = [](int levels) {
        return build_file({{0, [](Writer& w) { w.prop("a", "b"); }}, {1, [=](Writer& w) {
                                                                          for (int i = 0; i < levels; ++i)
                                                                              w.type_def(i, "s", 16);
                                                                          w.type_def(levels, "leaf", 12);
                                                                          for (int i = 0; i < levels; ++i)
                                                                              w.u32(18);
                                                                      }}});
    };
    // Inner sizes add up through every level.
    const PsfFile two = parse(nested(2));
    EXPECT_EQ(two.types[0].element_size, 16u);
    EXPECT_EQ(two.types[0].struct_def->members[0].struct_def->members[0].name, "leaf");

    EXPECT_TRUE(PsfFile::from_bytes("f", nested(64)).ok());
    EXPECT_EQ(error_text(nested(65)), "struct nesting deeper than 64 levels");
    // Far deeper than any stack would allow without the cap.
    EXPECT_EQ(error_text(nested(200000)), "struct nesting deeper than 64 levels");
}

TEST(PsfBinary, GroupCountsAreUntrusted) {
    const auto with_group = [](std::int32_t count, int members) {
        return build_file({{0, [](Writer& w) { w.prop("a", "b"); }}, {3, [=](Writer& w) {
                                                                          w.ref(1, "a", 1);
                                                                          w.group(2, "g", count);
                                                                          for (int i = 0; i < members; ++i)
                                                                              w.ref(3 + i, "m", 1);
                                                                      }}});
    };
    const PsfFile empty = parse(with_group(0, 0));
    EXPECT_EQ(empty.signal_names(), (std::vector<std::string_view>{"a"}));
    EXPECT_EQ(empty.trace_structure(), (TraceStructure{1, 1, 0}));

    EXPECT_EQ(error_text(with_group(-1, 0)), "negative group member count -1");
    EXPECT_EQ(error_text(with_group(INT32_MIN, 0)), "negative group member count -2147483648");
    // A huge count runs out of data: a chunk error at the TOC or a truncation,
    // without reserving room for the declared members.
    auto huge = PsfFile::from_bytes("f", with_group(INT32_MAX, 2));
    ASSERT_FALSE(huge.ok());
    EXPECT_TRUE(huge.error().kind == PsfError::Kind::UnexpectedChunk ||
                huge.error().kind == PsfError::Kind::Truncated);
}

TEST(PsfBinary, DescribeLayout) {
    const PsfFile f = parse(psf_test::sample_file());
    const std::string expected_start = "PSF f signature=0x200 (" + std::to_string(f.data.size()) +
                                       " bytes) sections=4 types=2 sweep=1 traces=3\n"
                                       "  header properties:\n"
                                       "    PSFversion = String(\"1.00\")\n"
                                       "    PSF sweep points = Int32(3)\n"
                                       "    tolerance = Double(0.001)\n"
                                       "  sweep:\n"
                                       "    id=10 name=time datatypeid=1\n";
    EXPECT_EQ(f.describe(), expected_start);
    // Without sweep variables it ends after the header lines; without
    // properties it is two lines.
    const PsfFile bare = parse(header_only([](Writer&) {}));
    EXPECT_EQ(bare.describe(), "PSF f signature=0x200 (" + std::to_string(bare.data.size()) +
                                   " bytes) sections=1 types=0 sweep=0 traces=0\n  header properties:\n");
    EXPECT_EQ(parse(psf_test::sample_file(0x300)).psfxl_companion(), "f.psfxl");
}

TEST(PsfBinary, PropertyDebugForms) {
    EXPECT_EQ((PropertyValue{1.0}).debug(), "Double(1.0)");
    EXPECT_EQ((PropertyValue{2.5e-7}).debug(), "Double(2.5e-7)");
    EXPECT_EQ((PropertyValue{std::int32_t{-4}}).debug(), "Int32(-4)");
    EXPECT_EQ((PropertyValue{std::string("a\"b\n")}).debug(), "String(\"a\\\"b\\n\")");
    const std::vector<Property> header{{"PSF sweep points", PropertyValue{std::string("9")}},
                                       {"PSF sweep points", PropertyValue{std::int32_t{4}}}};
    EXPECT_EQ(sweep_points(header), std::nullopt);  // the first one decides
    EXPECT_EQ(sweep_points({header[1]}), 4);
}

TEST(PsfBinary, UnreadableFileIsAnIoError) {
    auto r = PsfReader::open("/nonexistent/dir/run.tran");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, PsfError::Kind::Io);
    EXPECT_EQ(r.error().text(), "I/O error: No such file or directory (os error 2)");
}
