// Damaged files: every truncation and a few thousand random byte changes of
// valid files must give a PsfError or a file, never a crash. Run under the
// sanitizer build as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/io.h"
#include "psf/open_any.h"
#include "test_psf_writer.h"

using namespace morva;
using namespace morva::psf;

namespace {

// Opens `bytes` and, when that works, touches everything the Python class
// would read.
void exercise(const std::string& bytes) {
    auto r = PsfReader::from_bytes("damaged", bytes);
    if (!r) {
        EXPECT_FALSE(r.error().text().empty());
        return;
    }
    (void)r->describe();
    (void)r->repr();
    for (std::string_view name : r->signal_names()) {
        if (const PsfAscii* a = r->ascii()) (void)a->waveform(name);
    }
}

std::vector<std::string> binary_seeds() {
    std::vector<std::string> seeds{psf_test::sample_file(0x200), psf_test::sample_file(0x400),
                                   psf_test::chained_sample_file()};
    const std::filesystem::path dir = std::filesystem::path(psf_test::samples_dir()) / "psf";
    for (const char* name : {"binary/myop.dc", "binary/tran1.tran.tran", "psfxl/tran1.tran.tran"}) {
        if (!std::filesystem::exists(dir / name)) continue;
        auto bytes = read_file((dir / name).string());
        if (bytes) seeds.push_back(std::move(bytes).value());
    }
    return seeds;
}

std::uint32_t toc_offset_of(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - 4);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void mutate(std::string& bytes, std::mt19937& rng) {
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < changes; ++i) {
        const std::size_t at = rng() % bytes.size();
        switch (rng() % 3) {
            case 0: bytes[at] = static_cast<char>(bytes[at] ^ (1u << (rng() % 8))); break;
            case 1: bytes[at] = static_cast<char>(rng()); break;
            default: bytes[at] = static_cast<char>(rng() % 2 ? 0xff : 0x00); break;
        }
    }
}

}  // namespace

TEST(PsfRobust, BinaryTruncatedAtEveryOffset) {
    for (const std::string& seed : binary_seeds()) {
        auto parsed = PsfFile::from_bytes("seed", seed);
        ASSERT_TRUE(parsed.ok());
        for (std::size_t n = 0; n < seed.size(); ++n) exercise(seed.substr(0, n));
        // The same cuts inside the body, keeping the TOC and the trailer (or,
        // for chained sections, leaving the cut section open), so that the
        // section readers meet the short data.
        if (parsed->layout == SectionLayout::Chained) {
            for (std::size_t n = 16; n < seed.size(); ++n) exercise(psf_test::cut_chained(seed, n));
            continue;
        }
        const std::uint32_t toc = toc_offset_of(seed);
        const std::string tail = seed.substr(toc);
        for (std::size_t n = 4; n < toc; ++n) {
            std::string cut = seed.substr(0, n) + tail;
            psf_test::Writer w;
            w.u32(static_cast<std::uint32_t>(n));
            cut.replace(cut.size() - 4, 4, w.out);
            exercise(cut);
        }
    }
}

TEST(PsfRobust, BinaryRandomByteChanges) {
    std::mt19937 rng(20240511);
    for (const std::string& seed : binary_seeds()) {
        for (int i = 0; i < 1500; ++i) {
            std::string bytes = seed;
            mutate(bytes, rng);
            exercise(bytes);
        }
    }
}

TEST(PsfRobust, AsciiTruncatedAndChanged) {
    std::vector<std::string> seeds{
        "HEADER \"a\" 1 TYPE \"V\" FLOAT DOUBLE \"C\" COMPLEX DOUBLE \"S\" STRUCT( \"x\" FLOAT DOUBLE "
        "\"y\" INT BYTE ) PROP( \"k\" \"v\" ) SWEEP \"t\" \"V\" TRACE \"a\" \"V\" \"g\" GROUP 2 \"c\" \"C\" "
        "\"s\" \"S\" VALUE \"t\" 0 \"a\" 1 \"c\" (1 2) \"s\" (nan 1) PROP( \"m\" \"r\" ) \"t\" 1e-9 \"a\" -2 "
        "\"c\" 3 4 \"s\" 5 6 END"};
    const std::filesystem::path dir = std::filesystem::path(psf_test::samples_dir()) / "psf" / "ascii";
    if (std::filesystem::is_directory(dir)) {
        for (const char* name : {"myinfo_Oppoint.info", "myac.ac"}) {
            auto bytes = read_file((dir / name).string());
            if (bytes) seeds.push_back(std::move(bytes).value());
        }
    }
    std::mt19937 rng(7);
    for (const std::string& seed : seeds) {
        ASSERT_TRUE(PsfReader::from_bytes("seed", seed).ok());
        for (std::size_t n = 0; n < seed.size(); ++n) exercise(seed.substr(0, n));
        for (int i = 0; i < 1000; ++i) {
            std::string bytes = seed;
            mutate(bytes, rng);
            exercise(bytes);
        }
    }
}
