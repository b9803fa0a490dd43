// Binary files without a table of contents: the chained sections of PSFXL
// metadata, hand-made and real.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/io.h"
#include "psf/file.h"
#include "psf/open_any.h"
#include "test_psf_writer.h"

using namespace morva;
using namespace morva::psf;
using psf_test::build_chained_file;
using psf_test::kSignatures;
using psf_test::Writer;

namespace {

PsfFile parse(const std::string& bytes) {
    auto r = PsfFile::from_bytes("dir/run.tran", bytes);
    if (!r) ADD_FAILURE() << r.error().text();
    return r ? std::move(r).value() : PsfFile{};
}

std::string error_text(const std::string& bytes) {
    auto r = PsfFile::from_bytes("f", bytes);
    EXPECT_FALSE(r.ok());
    return r.ok() ? std::string() : r.error().text();
}

std::uint32_t word_at(const std::string& bytes, std::size_t at) {
    Writer w;
    w.out = bytes;
    return be32_at(w.out, at);
}

void set_word(std::string& bytes, std::size_t at, std::uint32_t v) {
    Writer w;
    w.out = std::move(bytes);
    w.patch(at, v);
    bytes = std::move(w.out);
}

std::vector<std::string> property_names(const std::vector<Property>& props) {
    std::vector<std::string> names;
    for (const Property& p : props) names.push_back(p.name);
    return names;
}

const std::string kTruncatedMessagePrefix = "truncated read at offset ";
const std::string kNoTrailer = "missing Clarissa trailer (not a PSF file)";

}  // namespace

TEST(PsfChained, ReadsLikeTheSameContentWithATableOfContents) {
    const PsfFile chained = parse(psf_test::chained_sample_file());
    const PsfFile toc = parse(psf_test::sample_file(0x400));
    EXPECT_EQ(chained.layout, SectionLayout::Chained);
    EXPECT_EQ(toc.layout, SectionLayout::Toc);
    EXPECT_EQ(chained.signature, 0x400u);

    EXPECT_EQ(chained.header, toc.header);
    ASSERT_EQ(chained.types.size(), toc.types.size());
    for (std::size_t i = 0; i < toc.types.size(); ++i) {
        EXPECT_EQ(chained.types[i].name, toc.types[i].name);
        EXPECT_EQ(chained.types[i].element_size, toc.types[i].element_size);
        EXPECT_EQ(chained.types[i].properties, toc.types[i].properties);
    }
    ASSERT_EQ(chained.sweeps.size(), 1u);
    EXPECT_EQ(chained.sweeps[0].name, "time");
    EXPECT_EQ(chained.sweeps[0].properties, toc.sweeps[0].properties);
    EXPECT_EQ(chained.signal_names(), toc.signal_names());
    EXPECT_EQ(chained.trace_structure(), (TraceStructure{2, 1, 2}));

    // Properties on both sides of a record chunk belong to the trace.
    const auto& a = std::get<DataTypeRef>(chained.traces[0]);
    EXPECT_EQ(property_names(a.properties), (std::vector<std::string>{"k", "n"}));
    const auto& g = std::get<TraceGroup>(chained.traces[2]);
    EXPECT_EQ(g.id, 22);
    EXPECT_EQ(g.members[1].id, 24);
    EXPECT_EQ(g.members[1].type_id, 2);
    // Each trace keeps the offset of its record chunk (64 bits wide).
    EXPECT_EQ(a.record_offset, 73u);
    EXPECT_EQ(std::get<DataTypeRef>(chained.traces[1]).record_offset, 200u);
    EXPECT_EQ(g.members[0].record_offset, 300u);
    EXPECT_EQ(g.members[1].record_offset, 0x100000190u);
    EXPECT_EQ(std::get<DataTypeRef>(toc.traces[0]).record_offset, std::nullopt);

    // The sections found by the chain: each container preceded by its id,
    // the header's by the signature, and the open value section last.
    ASSERT_EQ(chained.toc.size(), 5u);
    EXPECT_EQ(chained.toc[0], (TocEntry{0, 4}));
    for (std::size_t i = 1; i < chained.toc.size(); ++i) {
        EXPECT_EQ(chained.toc[i].id, i);
        EXPECT_EQ(word_at(chained.data, chained.toc[i].offset - 4), i);
        EXPECT_EQ(word_at(chained.data, chained.toc[i - 1].offset + 4), chained.toc[i].offset);
    }
    EXPECT_EQ(chained.describe().substr(0, chained.describe().find('\n')),
              "PSF dir/run.tran signature=0x400 (" + std::to_string(chained.data.size()) +
                  " bytes) sections=5 types=2 sweep=1 traces=3");
}

TEST(PsfChained, IsPsfxlMetadataWhateverTheSignature) {
    for (std::uint32_t sig : {0x200u, 0x300u, 0x400u, 0x500u}) {
        const PsfFile f = parse(psf_test::chained_sample_file(sig));
        EXPECT_EQ(f.signature, sig);
        EXPECT_TRUE(f.is_psfxl());
        EXPECT_EQ(f.psfxl_companion(), "dir/run.tran.psfxl");
        // With a table of contents only 0x300 is.
        EXPECT_EQ(parse(psf_test::sample_file(sig)).is_psfxl(), sig == 0x300u);
    }
    EXPECT_EQ(error_text(psf_test::chained_sample_file(0x600)),
              "unsupported PSF signature 0x600" + std::string(kSignatures));
}

TEST(PsfChained, OnlyAnUnbrokenChainEndingOpenIsAccepted) {
    const std::string good = psf_test::chained_sample_file();
    const PsfFile f = parse(good);
    const std::size_t header_end_at = 8;
    const std::size_t last = f.toc.back().offset;

    // The last container must be open.
    std::string closed = good;
    set_word(closed, last + 4, static_cast<std::uint32_t>(good.size()));
    EXPECT_EQ(error_text(closed), kNoTrailer);
    // Ends that point backwards, at the container itself, into its own words,
    // past the file, or at something that is no container.
    for (std::uint32_t end :
         {0u, 4u, 8u, 12u, static_cast<std::uint32_t>(good.size()), 0xfffffffeu, f.toc[1].offset + 4}) {
        std::string bad = good;
        set_word(bad, header_end_at, end);
        EXPECT_EQ(error_text(bad), kNoTrailer) << end;
    }
    std::string no_container = good;
    set_word(no_container, f.toc[2].offset, 22);
    EXPECT_EQ(error_text(no_container), kNoTrailer);
    std::string not_at_four = good;
    set_word(not_at_four, 4, 20);
    EXPECT_EQ(error_text(not_at_four), kNoTrailer);
    // A file that has the trailer is read through its table of contents, even
    // when that fails.
    std::string trailer = good;
    trailer.replace(trailer.size() - 12, 8, "Clarissa");
    EXPECT_EQ(error_text(trailer).rfind("bad TOC offset", 0), 0u) << error_text(trailer);
}

TEST(PsfChained, SmallestChainsAndUnusualIds) {
    // A header left open, with nothing after it but pad.
    Writer open;
    open.u32(0x400).u32(21).u32(0xffffffff).u32(0);
    const PsfFile bare = parse(open.out);
    EXPECT_TRUE(bare.header.empty());
    EXPECT_EQ(bare.toc.size(), 1u);
    EXPECT_TRUE(bare.is_psfxl());
    Writer tiny;
    tiny.u32(0x400).u32(21).u32(0xffffffff);
    EXPECT_EQ(error_text(tiny.out), "file too small to be a PSF: 12 bytes");

    // Unknown ids are passed over; a repeated id's first section is used.
    const std::string file = build_chained_file({{0, [](Writer& w) { w.prop("h", std::int32_t{1}); }},
                                                 {9, [](Writer& w) { w.u32(0xdeadbeef); }},
                                                 {3, [](Writer& w) { w.ref(1, "first", 1); }},
                                                 {3, [](Writer& w) { w.ref(2, "second", 1); }}});
    const PsfFile f = parse(file);
    EXPECT_EQ(f.signal_names(), (std::vector<std::string_view>{"first"}));
    EXPECT_TRUE(f.types.empty());
    EXPECT_TRUE(f.sweeps.empty());
    EXPECT_EQ(f.toc.size(), 5u);
}

TEST(PsfChained, RecordChunksAreBoundedAndOnlyReadInChains) {
    // A record chunk cut short where the file ends.
    const std::string good = psf_test::chained_sample_file();
    const std::size_t record = good.rfind(std::string("\0\0\0\x24", 4));
    ASSERT_NE(record, std::string::npos);
    const std::string cut = psf_test::cut_chained(good, record + 20);
    EXPECT_EQ(error_text(cut),
              kTruncatedMessagePrefix + std::to_string(record) + " (need 52 bytes, have 20)");

    // In a file with a table of contents a record chunk ends the trace list
    // after a plain trace, and breaks a group, as it always has.
    const auto plain =
        psf_test::build_file({{0, [](Writer& w) { w.prop("h", std::int32_t{1}); }},
                              {3, [](Writer& w) { w.ref(1, "a", 1).trace_record(0, 1).ref(2, "b", 1); }}});
    EXPECT_EQ(parse(plain).signal_names(), (std::vector<std::string_view>{"a"}));
    const auto grouped = psf_test::build_file(
        {{0, [](Writer& w) { w.prop("h", std::int32_t{1}); }},
         {3, [](Writer& w) { w.group(1, "g", 2).ref(2, "a", 1).trace_record(0, 1).ref(3, "b", 1); }}});
    EXPECT_EQ(error_text(grouped).rfind("unexpected chunk type 36 at offset ", 0), 0u);
}

TEST(PsfChained, RealPsfxlMetadataFile) {
    const std::filesystem::path root = std::filesystem::path(psf_test::samples_dir()) / "psf";
    const std::filesystem::path meta = root / "psfxl" / "tran1.tran.tran";
    const std::filesystem::path twin = root / "binary" / "tran1.tran.tran";
    if (!std::filesystem::exists(meta) || !std::filesystem::exists(twin))
        GTEST_SKIP() << "sample files not available";
    auto opened = PsfReader::open(meta.string());
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    const PsfFile& f = *opened->binary();
    auto toc_twin = PsfReader::open(twin.string());
    ASSERT_TRUE(toc_twin.ok());
    const PsfFile& t = *toc_twin->binary();

    // Names, structure, header and companion against both twins: test_psf.py.
    EXPECT_EQ(f.layout, SectionLayout::Chained);
    // The same sections at the same places, but for the value section, which
    // holds the samples only in the windowed file.
    ASSERT_EQ(f.toc.size(), t.toc.size());
    for (std::size_t i = 0; i + 1 < f.toc.size(); ++i) EXPECT_EQ(f.toc[i], t.toc[i]);
    EXPECT_EQ(f.toc.back().id, 4u);

    const auto& group = std::get<TraceGroup>(f.traces[0]);
    // The records of "in" and "out" in the PSFXL data file: the byte before
    // each tag.
    EXPECT_EQ(group.members[0].record_offset, 0x48u);
    EXPECT_EQ(group.members[1].record_offset, 0x377u);
}
