// A small writer of binary PSF files for tests, laid out as the readers
// expect: big-endian words, padded strings, section containers, a table of
// contents and the "Clarissa" trailer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace psf_test {

class Writer {
public:
    std::string out;

    std::size_t pos() const { return out.size(); }
    Writer& u32(std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xff));
        return *this;
    }
    Writer& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    Writer& f64(double v) {
        const auto bits = std::bit_cast<std::uint64_t>(v);
        u32(static_cast<std::uint32_t>(bits >> 32));
        return u32(static_cast<std::uint32_t>(bits));
    }
    Writer& str(std::string_view s) {
        u32(static_cast<std::uint32_t>(s.size()));
        out.append(s);
        out.append((4 - s.size() % 4) % 4, '\0');
        return *this;
    }
    void patch(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xff);
    }

    Writer& prop(std::string_view name, std::string_view value) { return u32(33).str(name).str(value); }
    Writer& prop(std::string_view name, std::int32_t value) { return u32(34).str(name).i32(value); }
    Writer& prop(std::string_view name, double value) { return u32(35).str(name).f64(value); }

    // A scalar type definition: entry word, id, name, a spare word, data type.
    Writer& type_def(std::int32_t id, std::string_view name, std::int32_t data_type = 11) {
        return u32(16).i32(id).str(name).u32(0).i32(data_type);
    }
    // A reference: entry word, id, name, type id.
    Writer& ref(std::int32_t id, std::string_view name, std::int32_t type_id) {
        return u32(16).i32(id).str(name).i32(type_id);
    }
    Writer& group(std::int32_t id, std::string_view name, std::int32_t count) {
        return u32(17).i32(id).str(name).i32(count);
    }

    // A section container around `body`; `indexed` adds the 22 sub-container
    // of type and trace sections. Returns the section's offset.
    std::size_t section(const std::function<void(Writer&)>& body, bool indexed = false) {
        const std::size_t start = pos();
        u32(21).u32(0);
        std::size_t sub = 0;
        if (indexed) {
            u32(22).u32(0);
            sub = pos() - 4;
        }
        body(*this);
        patch(start + 4, static_cast<std::uint32_t>(pos()));
        if (indexed) patch(sub, static_cast<std::uint32_t>(pos()));
        return start;
    }
};

struct Section {
    std::uint32_t id;
    std::function<void(Writer&)> body;
};

inline bool indexed_section(std::uint32_t id) { return id == 1 || id == 3; }

// A whole file: signature, sections, TOC (optionally led by one extra word,
// as windowed files have) and trailer.
inline std::string build_file(const std::vector<Section>& sections, std::uint32_t signature = 0x200,
                              bool toc_lead_word = false) {
    Writer w;
    w.u32(signature);
    std::vector<std::pair<std::uint32_t, std::size_t>> toc;
    for (const Section& s : sections) toc.emplace_back(s.id, w.section(s.body, indexed_section(s.id)));
    const std::size_t toc_offset = w.pos();
    if (toc_lead_word) w.u32(0x0f);
    for (auto [id, offset] : toc) w.u32(id).u32(static_cast<std::uint32_t>(offset));
    w.out.append("Clarissa");
    w.u32(static_cast<std::uint32_t>(toc_offset));
    return w.out;
}

// A file with every section kind: header, two types (one a struct), a sweep
// variable, plain traces and a group.
inline std::string sample_file(std::uint32_t signature = 0x200) {
    return build_file(
        {{0,
          [](Writer& w) {
              w.prop("PSFversion", "1.00").prop("PSF sweep points", std::int32_t{3}).prop("tolerance", 1e-3);
          }},
         {1,
          [](Writer& w) {
              // A property standing before the definitions describes none of them.
              w.prop("loose", std::int32_t{1});
              w.type_def(1, "V").prop("units", "V");
              w.type_def(2, "pair", 16);
              w.type_def(3, "re").type_def(4, "im").u32(18);
          }},
         {2, [](Writer& w) { w.ref(10, "time", 1).prop("units", "s"); }},
         {3,
          [](Writer& w) {
              w.ref(20, "a", 1).ref(21, "b", 1);
              w.group(22, "g", 2).ref(23, "x", 1).ref(24, "y", 2);
          }}},
        signature);
}

// The shared sample files, when present: MORVA_SAMPLES overrides the build's
// default location.
inline std::string samples_dir() {
    if (const char* env = std::getenv("MORVA_SAMPLES")) return env;
#ifdef MORVA_SAMPLES_DIR
    return MORVA_SAMPLES_DIR;
#else
    return {};
#endif
}

}  // namespace psf_test
