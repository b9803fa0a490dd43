#include "psf/psfxl.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "blosc/blosc1.h"
#include "common/format.h"
#include "common/io.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morva::psf::psfxl {
namespace {

using fmt::cat;
using Kind = Codec::Kind;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view kMagic = "!ngpsf-";
constexpr std::uint64_t kFrameHeader = 16;
constexpr std::uint64_t kF64 = 8;
// How far after a record's payload start its first frame is looked for.
constexpr std::uint64_t kFrameWindow = 256;
constexpr std::uint64_t kRawTimeFrameWindow = 4096;
// The frame search for a record may run this far into the next tag's area.
constexpr std::uint64_t kWindowPastNextTag = 16;
// Raw values of a StandaloneBloscTime record without a length word are looked
// for this far past its time frame.
constexpr std::uint64_t kRawValuesAllowance = 2048;

struct CodecText {
    const char* debug;
    const char* name;
};
// Indexed by Codec::Kind.
constexpr CodecText kCodecTexts[] = {
    {"Inline", "inline"},
    {"StandalonePair", "standalone_pair"},
    {"StandaloneBloscTime", "standalone_blosc_time"},
    {"StandaloneRawTime", "standalone_raw_time"},
    {"BackReferenced", "back_referenced"},
    {"BackReferencedImplicit", "back_referenced_implicit"},
    {"BackReferencedRaw", "back_referenced_raw"},
    {"Aliased", "aliased"},
    {"Unknown", "unknown"},
};

struct CodecByte {
    std::uint8_t byte;
    Kind kind;
};
// Every byte not listed is Unknown.
constexpr CodecByte kCodecBytes[] = {
    {0x22, Kind::StandalonePair},
    {0x20, Kind::StandaloneBloscTime},
    {0x02, Kind::StandaloneRawTime},
    {0xA2, Kind::BackReferenced},
    {0x82, Kind::BackReferencedImplicit},
    {0x80, Kind::BackReferencedRaw},
    {0x90, Kind::BackReferencedRaw},
    {0xA0, Kind::BackReferencedRaw},
    {0x88, Kind::Aliased},
    {0x98, Kind::Aliased},
    {0x99, Kind::Aliased},
    {0x10, Kind::Inline},
    {0x11, Kind::Inline},
    {0x19, Kind::Inline},
    {0x81, Kind::Inline},
};

PsfError fail(std::string message) { return PsfError::other(std::move(message)); }

// A Blosc frame's values; its decoder's complaint becomes this reader's.
Result<std::vector<double>, PsfError> decode_frame(std::span<const std::uint8_t> frame) {
    auto values = blosc::blosc1::decompress_f64(frame);
    if (!values) return err(fail(std::move(values).error().message));
    return std::move(values).value();
}

std::string hex2(std::uint8_t byte) {
    constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[byte >> 4], kDigits[byte & 15]};
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) { return b != 0 && a > kMax / b ? kMax : a * b; }

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The Blosc1 signature at `pos`; the caller guarantees pos + 4 <= view size.
bool signature_at(ByteView view, std::uint64_t pos) {
    return view[pos] == 2 && view[pos + 1] == 1 && view[pos + 3] == 8;
}

// The first k >= from with k + 4 <= limit where the signature holds.
std::optional<std::uint64_t> find_signature(ByteView view, std::uint64_t from, std::uint64_t limit) {
    if (limit < 4 || limit - 4 < from) return std::nullopt;
    const std::uint8_t* const base = view.data();
    const std::uint8_t* p = base + from;
    const std::uint8_t* const last = base + (limit - 4);  // last candidate start
    while (p <= last) {
        const void* hit = std::memchr(p, 2, static_cast<std::size_t>(last - p) + 1);
        if (!hit) return std::nullopt;
        const auto k = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (signature_at(view, k)) return k;
        p = base + k + 1;
    }
    return std::nullopt;
}

template <class T>
std::optional<T> parse_unsigned(std::string_view text, unsigned radix) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    T value = 0;
    for (char ch : text) {
        unsigned digit;
        if (ch >= '0' && ch <= '9')
            digit = static_cast<unsigned>(ch - '0');
        else if (radix == 16 && ch >= 'a' && ch <= 'f')
            digit = static_cast<unsigned>(ch - 'a' + 10);
        else if (radix == 16 && ch >= 'A' && ch <= 'F')
            digit = static_cast<unsigned>(ch - 'A' + 10);
        else
            return std::nullopt;
        if (value > (std::numeric_limits<T>::max() - digit) / radix) return std::nullopt;
        value = static_cast<T>(value * radix + digit);
    }
    return value;
}

bool all_digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_printable(std::uint8_t byte) { return static_cast<std::uint8_t>(byte - 0x20) < 0x5F; }

// A tag is a maximal printable run followed by 0x0A, 0x00 or the end of the
// file. Binary payloads are full of short printable runs, so the scan looks
// for the terminators and walks back over the run before each one: every
// byte is visited once and the search itself runs 16 bytes at a time.
std::vector<PsfxlTag> scan_tags(ByteView bytes) {
    std::vector<PsfxlTag> tags;
    const std::uint8_t* const data = bytes.data();
    const std::size_t size = bytes.size();
    auto run_before = [&](std::size_t end) {
        std::size_t start = end;
        std::size_t colons = 0;
        while (start > 0 && is_printable(data[start - 1])) colons += data[--start] == ':';
        if (end - start < 6 || colons < 2) return;
        PsfxlTag tag;
        tag.offset = start;
        tag.text.assign(reinterpret_cast<const char*>(data + start), end - start);
        std::size_t from = 0;
        for (;;) {
            const std::size_t colon = tag.text.find(':', from);
            std::string part =
                tag.text.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
            for (char& c : part)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            tag.parts.push_back(std::move(part));
            if (colon == std::string::npos) break;
            from = colon + 1;
        }
        tags.push_back(std::move(tag));
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i nul = _mm_setzero_si128();
    const __m128i newline = _mm_set1_epi8(0x0A);
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, newline))));
        for (; mask != 0; mask &= mask - 1) run_before(i + static_cast<std::size_t>(__builtin_ctz(mask)));
    }
#endif
    for (; i < size; ++i)
        if (data[i] == 0x00 || data[i] == 0x0A) run_before(i);
    run_before(size);
    return tags;
}

std::optional<std::uint64_t> hex_field(const PsfxlTag& tag, std::size_t index) {
    if (tag.parts.size() <= index) return std::nullopt;
    return parse_hex_u64(tag.parts[index]);
}

bool is_data_tag(const PsfxlTag& tag) {
    const std::string& field0 = tag.parts[0];
    if (field0.empty() || !all_digits(field0)) return false;
    const auto cls = parse_dec_u32(field0);
    return cls && *cls == 3;
}

// Where the payload of a record starting at `start` ends, or nothing when the
// tag must be skipped. `next` is the next tag's offset (or the file size),
// `length_word` the tag's field 4.
std::optional<std::uint64_t> locate_payload_end(ByteView file, Kind kind, std::uint64_t start,
                                                std::uint64_t next, std::uint64_t length_word) {
    const std::uint64_t size = file.size();
    const std::uint64_t to_next = std::min(size, next);
    if (kind < Kind::StandalonePair || kind > Kind::BackReferencedImplicit) return to_next;

    const std::uint64_t window = kind == Kind::StandaloneRawTime ? kRawTimeFrameWindow : kFrameWindow;
    const std::uint64_t search_end = std::min({size, sat_add(next, kWindowPastNextTag), start + window});
    const auto p = find_signature(file, start, search_end);
    if (!p) return to_next;
    const bool header_fits = *p + kFrameHeader <= size;
    const std::uint64_t cbytes = header_fits ? le32(file.data() + *p + 12) : 0;
    switch (kind) {
        case Kind::StandalonePair: {
            if (!header_fits) return std::nullopt;
            const std::uint64_t q = *p + cbytes;
            std::uint64_t end = q;
            if (q + kFrameHeader <= size && signature_at(file, q)) end = q + *read_blosc_cbytes(file, q);
            return std::min(size, end);
        }
        case Kind::StandaloneBloscTime:
            if (!header_fits) return std::nullopt;
            if (length_word != 0) return std::min(size, sat_add(*p + 1, length_word));
            return std::min(size, *p + cbytes + kRawValuesAllowance);
        case Kind::StandaloneRawTime:
            if (length_word != 0) return std::min(size, sat_add(start, sat_add(length_word, kFrameHeader)));
            return to_next;
        default:  // BackReferenced, BackReferencedImplicit
            if (!header_fits) return std::nullopt;
            return std::min(size, *p + cbytes);
    }
}

// The frame whose signature comes first within `limit` bytes of the payload.
std::optional<BloscFrame> first_frame(ByteView payload, std::uint64_t limit) {
    const auto k = find_signature(payload, 0, limit);
    if (!k) return std::nullopt;
    return BloscFrame::parse_at(payload, *k);
}

void locate_frames(PsfxlRecord& record, std::uint64_t length_word) {
    const ByteView payload = record.payload;
    const std::uint64_t n = payload.size();
    switch (record.codec.kind) {
        case Kind::StandalonePair:
        case Kind::StandaloneBloscTime:
            record.primary = first_frame(payload, std::min<std::uint64_t>(n, kFrameHeader));
            if (!record.primary) return;
            if (record.codec.kind == Kind::StandaloneBloscTime) {
                record.value_count = record.primary->nbytes / kF64;
            } else {
                const std::uint64_t s = record.primary->offset + record.primary->cbytes;
                if (s + kFrameHeader <= n && signature_at(payload, s))
                    record.secondary = BloscFrame::parse_at(payload, s);
            }
            return;
        case Kind::StandaloneRawTime:
            record.primary = first_frame(payload, n);
            if (record.primary) record.time_count = record.primary->nbytes / kF64;
            return;
        case Kind::BackReferencedRaw: {
            const std::uint64_t c3 = hex_field(*record.tag, 3).value_or(0);
            record.value_count =
                length_word != 0 && length_word < sat_mul(kF64, c3) ? length_word / kF64 : c3;
            return;
        }
        default: record.primary = first_frame(payload, n); return;
    }
}

}  // namespace

// ---- codecs and frames ----

Codec Codec::from_byte(std::uint8_t byte) {
    for (const CodecByte& entry : kCodecBytes)
        if (entry.byte == byte) return Codec{entry.kind, byte};
    return Codec{Kind::Unknown, byte};
}

std::string Codec::debug() const {
    if (kind == Kind::Unknown) return cat("Unknown(", static_cast<unsigned>(byte), ")");
    return kCodecTexts[static_cast<std::size_t>(kind)].debug;
}

std::string Codec::name() const {
    if (kind == Kind::Unknown) return cat("unknown:0x", hex2(byte));
    return kCodecTexts[static_cast<std::size_t>(kind)].name;
}

std::optional<BloscFrame> BloscFrame::parse_at(ByteView view, std::uint64_t pos) {
    if (pos > view.size() || view.size() - pos < kFrameHeader || !signature_at(view, pos))
        return std::nullopt;
    const std::uint8_t* h = view.data() + pos;
    BloscFrame frame;
    frame.offset = pos;
    frame.nbytes = le32(h + 4);
    frame.blocksize = le32(h + 8);
    frame.cbytes = le32(h + 12);
    frame.data = view.subspan(pos, std::min<std::uint64_t>(frame.cbytes, view.size() - pos));
    return frame;
}

std::optional<std::uint32_t> read_blosc_cbytes(ByteView view, std::uint64_t pos) {
    if (pos > view.size() || view.size() - pos < kFrameHeader) return std::nullopt;
    return le32(view.data() + pos + 12);
}

std::vector<double> read_raw_f64(ByteView bytes) {
    std::vector<double> values(bytes.size() / kF64);
    const std::uint8_t* p = bytes.data();
    for (double& v : values) {
        std::uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = word << 8 | p[b];
        std::memcpy(&v, &word, sizeof v);
        p += kF64;
    }
    return values;
}

std::optional<std::uint64_t> parse_hex_u64(std::string_view text) {
    return parse_unsigned<std::uint64_t>(text, 16);
}
std::optional<std::uint8_t> parse_hex_u8(std::string_view text) {
    return parse_unsigned<std::uint8_t>(text, 16);
}
std::optional<std::uint32_t> parse_dec_u32(std::string_view text) {
    return parse_unsigned<std::uint32_t>(text, 10);
}

// ---- records ----

std::optional<std::uint64_t> PsfxlRecord::sample_count() const {
    if (primary) return primary->nbytes / kF64;
    if (value_count) return value_count;
    return tag_sample_field();
}

std::optional<std::uint64_t> PsfxlRecord::time_sample_count() const {
    switch (codec.kind) {
        case Kind::StandaloneRawTime: return time_count;
        case Kind::StandalonePair:
        case Kind::StandaloneBloscTime:
            if (primary) return primary->nbytes / kF64;
            return std::nullopt;
        default: return std::nullopt;
    }
}

std::optional<std::uint64_t> PsfxlRecord::tag_sample_field() const { return hex_field(*tag, 3); }

Result<std::vector<double>, PsfError> PsfxlRecord::decode_values() const {
    switch (codec.kind) {
        case Kind::Inline: return err(fail("inline record has no Blosc stream to decode"));
        case Kind::StandalonePair:
            if (!secondary) return err(fail("0x22: missing secondary (values) Blosc frame"));
            return decode_frame(secondary->data);
        case Kind::StandaloneBloscTime: {
            if (!primary) return err(fail("0x20: missing Blosc time frame"));
            const std::uint64_t count = value_count.value_or(primary->nbytes / kF64);
            const std::uint64_t start = primary->offset + primary->cbytes;
            const std::uint64_t end = start + kF64 * count;  // count < 2^29: no overflow
            if (end > payload.size())
                return err(
                    fail(cat("0x20: raw values ", start, "..", end, " past payload end ", payload.size())));
            return read_raw_f64(payload.subspan(start, end - start));
        }
        case Kind::StandaloneRawTime:
        case Kind::BackReferenced:
        case Kind::BackReferencedImplicit:
            if (!primary) return err(fail(cat("codec ", codec.debug(), ": missing Blosc1 values frame")));
            return decode_frame(primary->data);
        case Kind::BackReferencedRaw: {
            if (!value_count) return err(fail("0xa0: raw value length not recorded"));
            const std::uint64_t needed = sat_mul(kF64, *value_count);
            if (payload.size() <= needed)
                return err(fail(
                    cat("raw-tail f64: payload ", payload.size(), " < needed ", needed, " + 1 trailing")));
            // The payload's last byte is not part of the values.
            return read_raw_f64(payload.subspan(payload.size() - needed - 1, needed));
        }
        case Kind::Aliased: return err(fail("aliased record has no payload; resolve via decode_waveform"));
        case Kind::Unknown: break;
    }
    return err(fail(cat("unknown codec 0x", hex2(codec.byte), "; cannot decode")));
}

Result<std::vector<double>, PsfError> PsfxlRecord::decode_time() const {
    switch (codec.kind) {
        case Kind::StandalonePair:
        case Kind::StandaloneBloscTime:
            if (!primary)
                return err(fail(cat("codec ", codec.debug(), ": missing primary (time) Blosc frame")));
            return decode_frame(primary->data);
        case Kind::StandaloneRawTime: {
            if (!primary) return err(fail("0x02: missing Blosc values frame"));
            const std::uint64_t bytes = kF64 * time_count.value_or(primary->nbytes / kF64);
            // The raw time values end where the values frame begins.
            if (primary->offset < bytes) return err(fail("0x02: raw time stream underflows Blosc marker"));
            return read_raw_f64(payload.subspan(primary->offset - bytes, bytes));
        }
        case Kind::BackReferenced:
        case Kind::BackReferencedImplicit:
        case Kind::BackReferencedRaw:
        case Kind::Aliased: return err(fail("back-ref record: time lives in a prior standalone record"));
        case Kind::Inline:
        case Kind::Unknown: break;
    }
    return err(fail("record has no decodable time stream"));
}

const PsfxlRecord* find_record(const std::vector<PsfxlRecord>& records, std::uint64_t record_id) {
    for (const PsfxlRecord& record : records)
        if (record.record_id == record_id) return &record;
    return nullptr;
}

// ---- the file ----

Result<NgpsfFile, PsfError> NgpsfFile::open(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return err(PsfError::from_io(std::move(bytes).error()));
    return from_bytes(path, std::move(bytes).value());
}

Result<NgpsfFile, PsfError> NgpsfFile::from_bytes(std::string path, std::string bytes) {
    if (bytes.size() <= 8) return err(PsfError::too_small(bytes.size()));
    const std::size_t magic_at = bytes[0] == '\0' ? 1 : 0;
    if (std::string_view(bytes).substr(magic_at, kMagic.size()) != kMagic)
        return err(fail(cat("not an ngpsf file: magic missing at offset ", magic_at)));
    NgpsfFile file(std::move(path), std::move(bytes));
    file.tags_ = scan_tags(file.bytes());
    return file;
}

std::uint64_t NgpsfFile::data_record_count() const {
    return static_cast<std::uint64_t>(std::count_if(
        tags_.begin(), tags_.end(), [](const PsfxlTag& tag) { return all_digits(tag.parts[0]); }));
}

Result<ByteView, PsfError> NgpsfFile::slice(std::uint64_t start, std::uint64_t end) const {
    if (end < start || end > size()) return err(fail("slice bounds out of range"));
    return bytes().subspan(start, end - start);
}

std::vector<PsfxlRecord> NgpsfFile::parse_data_records() const {
    const ByteView file = bytes();
    const std::uint64_t size = file.size();
    std::vector<PsfxlRecord> records;
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        const PsfxlTag& tag = tags_[i];
        if (!is_data_tag(tag)) continue;
        const auto record_id = parse_hex_u64(tag.parts[1]);
        if (!record_id) continue;
        const std::uint64_t payload_start = tag.offset + tag.text.size() + 1;
        if (payload_start >= size) continue;
        const std::uint64_t next = i + 1 < tags_.size() ? tags_[i + 1].offset : size;

        std::optional<std::uint8_t> codec_byte;
        if (tag.parts.size() >= 6) codec_byte = parse_hex_u8(tag.parts[5]);
        const Codec codec = codec_byte ? Codec::from_byte(*codec_byte) : Codec{Kind::Inline, 0};
        const std::uint64_t length_word = hex_field(tag, 4).value_or(0);

        const auto payload_end = locate_payload_end(file, codec.kind, payload_start, next, length_word);
        if (!payload_end || *payload_end <= payload_start) continue;

        PsfxlRecord record;
        record.tag = &tag;
        record.record_id = *record_id;
        record.codec = codec;
        record.payload_start = payload_start;
        record.payload_end = *payload_end;
        record.payload = file.subspan(payload_start, *payload_end - payload_start);
        locate_frames(record, length_word);
        records.push_back(record);
    }
    return records;
}

RecordIndex::RecordIndex(std::span<const PsfxlRecord> records) : records_(records) {
    first_index_.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) first_index_.try_emplace(records[i].record_id, i);
}

std::optional<std::size_t> RecordIndex::first(std::uint64_t record_id) const {
    const auto found = first_index_.find(record_id);
    if (found == first_index_.end()) return std::nullopt;
    return found->second;
}

Result<Waveform, PsfError> NgpsfFile::decode_waveform(std::uint64_t record_id) const {
    const std::vector<PsfxlRecord> records = parse_data_records();
    return decode_waveform(RecordIndex(records), record_id);
}

Result<Waveform, PsfError> NgpsfFile::decode_waveform(const RecordIndex& index, std::uint64_t record_id) {
    const std::span<const PsfxlRecord> records = index.records();
    // Aliases resolve to a record of lower index each time, so this ends.
    std::uint64_t id = record_id;
    std::size_t k;
    for (;;) {
        const auto found = index.first(id);
        if (!found) return err(fail(cat("record 0x", fmt::hex(id), " not found")));
        k = *found;
        if (records[k].codec.kind != Kind::Aliased) break;
        const std::uint64_t count = records[k].tag_sample_field().value_or(0);
        std::optional<std::size_t> target;
        for (std::size_t j = k; j-- > 0;) {
            const PsfxlRecord& candidate = records[j];
            if (candidate.codec.kind < Kind::StandalonePair || candidate.codec.kind > Kind::BackReferencedRaw)
                continue;
            if (candidate.tag_sample_field() == count) {
                target = j;
                break;
            }
        }
        if (!target)
            return err(fail(
                cat("record 0x", fmt::hex(id), ": no prior record to alias (sample_count=", count, ")")));
        id = records[*target].record_id;
    }

    const PsfxlRecord& record = records[k];
    Waveform wave;
    MORVA_ASSIGN(wave.values, record.decode_values());
    if (record.codec.standalone()) {
        MORVA_ASSIGN(wave.time, record.decode_time());
    } else {
        const std::uint64_t n = wave.values.size();
        const PsfxlRecord* source = nullptr;
        for (std::size_t j = k; j-- > 0;) {
            if (records[j].codec.standalone() && records[j].time_sample_count() == n) {
                source = &records[j];
                break;
            }
        }
        if (source) {
            MORVA_ASSIGN(wave.time, source->decode_time());
        } else if (n > 0) {
            // Last resort: a uniform axis over the first standalone record's span.
            const auto first = std::find_if(records.begin(), records.end(),
                                            [](const PsfxlRecord& r) { return r.codec.standalone(); });
            std::vector<double> span;
            if (first != records.end()) {
                auto decoded = first->decode_time();
                if (decoded) span = std::move(decoded).value();
            }
            if (span.empty())
                return err(
                    fail(cat("record 0x", fmt::hex(id), ": no prior standalone with time sample_count=", n,
                             " and no global range to synthesize from")));
            const double t0 = span.front(), t1 = span.back();
            if (n == 1) {
                wave.time = {t1};
            } else {
                const double step = (t1 - t0) / static_cast<double>(n - 1);
                wave.time.resize(n);
                for (std::uint64_t i = 0; i < n; ++i) wave.time[i] = static_cast<double>(i) * step + t0;
            }
        }
    }
    if (wave.time.size() != wave.values.size())
        return err(fail(cat("record 0x", fmt::hex(id), ": time len ", wave.time.size(), " != values len ",
                            wave.values.size())));
    return wave;
}

std::vector<std::pair<std::uint64_t, std::vector<double>>> NgpsfFile::decode_all() const {
    std::vector<std::pair<std::uint64_t, std::vector<double>>> decoded;
    for (const PsfxlRecord& record : parse_data_records()) {
        auto values = record.decode_values();
        if (values) decoded.emplace_back(record.record_id, std::move(values).value());
    }
    return decoded;
}

}  // namespace morva::psf::psfxl
