// A small writer of binary PSF files for tests, laid out as the readers
// expect: big-endian words, padded strings, section containers, and either a
// table of contents with the "Clarissa" trailer or, as PSFXL metadata files
// are written, chained sections.
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
    // The record chunk PSFXL metadata puts after a trace: companion offset,
    // sample count, x range, y range.
    Writer& trace_record(std::uint64_t offset, std::uint64_t count, double x_min = 0.0, double x_max = 1.0,
                         double y_min = -1.0, double y_max = 1.0) {
        u32(36);
        u32(static_cast<std::uint32_t>(offset >> 32)).u32(static_cast<std::uint32_t>(offset));
        u32(static_cast<std::uint32_t>(count >> 32)).u32(static_cast<std::uint32_t>(count));
        return f64(x_min).f64(x_max).f64(y_min).f64(y_max);
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

// A file without TOC or trailer: the header's container right after the
// signature, every later section's container preceded by its id, each
// container ending where the next begins, and last an open value section
// (id 4, end 0xFFFFFFFF). The first section must be the header. Indexed
// sections carry a small index chunk after their sub-container, as real
// files do.
inline std::string build_chained_file(const std::vector<Section>& sections, std::uint32_t signature = 0x400) {
    Writer w;
    w.u32(signature);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) w.u32(sections[i].id);
        const std::size_t start = w.pos();
        w.u32(21).u32(0);
        const bool indexed = indexed_section(sections[i].id);
        if (indexed) w.u32(22).u32(0);
        sections[i].body(w);
        if (indexed) {
            w.patch(start + 12, static_cast<std::uint32_t>(w.pos()));
            w.u32(19).u32(8).u32(0).u32(0);
        }
        // The next section's id follows; its container is this one's end.
        w.patch(start + 4, static_cast<std::uint32_t>(w.pos() + 4));
    }
    w.u32(4).u32(21).u32(0xffffffff);
    return w.out;
}

// Every section kind: header, two types (one a struct), a sweep variable,
// plain traces and a group. `trace_records` follows each trace with a record
// chunk, as PSFXL metadata does (with properties on both sides of one).
inline std::vector<Section> sample_sections(bool trace_records = false) {
    return {
        {0,
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
        {3, [trace_records](Writer& w) {
             w.ref(20, "a", 1);
             if (trace_records) w.prop("k", "before").trace_record(73, 5).prop("n", std::int32_t{2});
             w.ref(21, "b", 1);
             if (trace_records) w.trace_record(200, 5);
             w.group(22, "g", 2).ref(23, "x", 1);
             if (trace_records) w.trace_record(300, 5);
             w.ref(24, "y", 2);
             if (trace_records) w.trace_record(0x100000190, 5, 0.0, 2.0, -3.0, 3.0);
         }}};
}

inline std::string sample_file(std::uint32_t signature = 0x200) {
    return build_file(sample_sections(), signature);
}

// The same content as PSFXL metadata writes it: chained, with record chunks.
inline std::string chained_sample_file(std::uint32_t signature = 0x400) {
    return build_chained_file(sample_sections(true), signature);
}

// `bytes` of a chained file cut to `n` bytes, with the container of the
// section the cut falls in left open, so that the chain still holds and the
// section's reader meets the short data. Unchanged when the cut falls before
// the header's container words.
inline std::string cut_chained(const std::string& bytes, std::size_t n) {
    const auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    std::size_t section = 4;
    while (true) {
        const std::uint32_t end = word(section + 4);
        if (end == 0xffffffffu || end + 8 > n) break;
        section = end;
    }
    Writer w;
    w.out = bytes.substr(0, n);
    if (section + 8 <= n) w.patch(section + 4, 0xffffffffu);
    return w.out;
}

// What the signature error says is accepted.
inline constexpr const char* kSignatures =
    " (expected 0x200 binary, 0x300 PSFXL, 0x400 windowed, 0x500 operating point, or any word before a "
    "header section at offset 4)";

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
