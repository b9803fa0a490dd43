// PSFXL companion files: the ASCII tags, the data records they announce, and
// the decoding of records into waveforms.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/result.h"
#include "psf/error.h"

namespace morva::psf::psfxl {

using ByteView = std::span<const std::uint8_t>;

// One ASCII tag of the file.
struct PsfxlTag {
    std::uint64_t offset = 0;        // file offset of the tag's first character
    std::string text;                // printable ASCII
    std::vector<std::string> parts;  // `text` split at every ':', lower-cased
};

// How a data record's payload is encoded; `byte` is the tag's codec byte (0
// when the tag has none).
struct Codec {
    enum class Kind : std::uint8_t {
        Inline,
        StandalonePair,
        StandaloneBloscTime,
        StandaloneRawTime,
        BackReferenced,
        BackReferencedImplicit,
        BackReferencedRaw,
        Aliased,
        Unknown,
    };
    Kind kind = Kind::Inline;
    std::uint8_t byte = 0;

    static Codec from_byte(std::uint8_t byte);
    // The codecs whose records carry a waveform of their own or by alias.
    bool decodable() const { return kind >= Kind::StandalonePair && kind <= Kind::Aliased; }
    bool standalone() const { return kind >= Kind::StandalonePair && kind <= Kind::StandaloneRawTime; }
    bool back_referenced() const { return kind >= Kind::BackReferenced && kind <= Kind::BackReferencedRaw; }
    // The variant name ("StandalonePair", "Unknown(131)"), as messages print it.
    std::string debug() const;
    // The name given to Python ("standalone_pair", "unknown:0x83").
    std::string name() const;
};

// A view of one Blosc1 frame inside a byte view (the file or a payload).
struct BloscFrame {
    ByteView data;             // from the frame start, clipped to the view
    std::uint64_t offset = 0;  // frame start inside the view
    std::uint32_t nbytes = 0;
    std::uint32_t blocksize = 0;
    std::uint32_t cbytes = 0;

    // The frame at `pos` when its 16-byte header fits in `view` and carries
    // the Blosc1 signature.
    static std::optional<BloscFrame> parse_at(ByteView view, std::uint64_t pos);
};

// The `cbytes` word of a frame header at `pos`, without a signature check.
std::optional<std::uint32_t> read_blosc_cbytes(ByteView view, std::uint64_t pos);
// Consecutive little-endian float64 values; a partial trailing value is ignored.
std::vector<double> read_raw_f64(ByteView bytes);

// One data record; it borrows the file it was parsed from.
struct PsfxlRecord {
    const PsfxlTag* tag = nullptr;
    std::uint64_t record_id = 0;
    Codec codec;
    std::uint64_t payload_start = 0;  // absolute file offsets
    std::uint64_t payload_end = 0;
    ByteView payload;
    std::optional<BloscFrame> primary;    // offsets relative to `payload`
    std::optional<BloscFrame> secondary;  // StandalonePair only
    std::optional<std::uint64_t> time_count;
    std::optional<std::uint64_t> value_count;

    std::optional<std::uint64_t> sample_count() const;
    // Number of time samples a standalone record carries, if known.
    std::optional<std::uint64_t> time_sample_count() const;
    // Tag field 3 read as hexadecimal.
    std::optional<std::uint64_t> tag_sample_field() const;
    bool decodable() const { return codec.decodable(); }

    // The record's own value stream.
    Result<std::vector<double>, PsfError> decode_values() const;
    // The record's own time stream (standalone records only).
    Result<std::vector<double>, PsfError> decode_time() const;
};

struct Waveform {
    std::vector<double> time;
    std::vector<double> values;
};

// Parsed records with the position of the first record of each id, so that
// many waveforms decode without parsing or scanning the records each time.
// Borrows the records (which borrow their file).
class RecordIndex {
public:
    explicit RecordIndex(std::span<const PsfxlRecord> records);
    std::span<const PsfxlRecord> records() const { return records_; }
    // Position of the first record carrying `record_id`.
    std::optional<std::size_t> first(std::uint64_t record_id) const;

private:
    std::span<const PsfxlRecord> records_;
    std::unordered_map<std::uint64_t, std::size_t> first_index_;
};

// A companion file held whole in memory with its tags. Immutable once opened.
class NgpsfFile {
public:
    static Result<NgpsfFile, PsfError> open(const std::string& path);
    // The same checks and tag scan over bytes already in memory.
    static Result<NgpsfFile, PsfError> from_bytes(std::string path, std::string bytes);

    const std::string& path() const { return path_; }
    ByteView bytes() const { return {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()}; }
    std::uint64_t size() const { return bytes_.size(); }
    const std::vector<PsfxlTag>& tags() const { return tags_; }

    // Tags whose field 0 is made of decimal digits only (an empty one counts).
    std::uint64_t data_record_count() const;
    // The file bytes [start, end).
    Result<ByteView, PsfError> slice(std::uint64_t start, std::uint64_t end) const;

    // The data records, in tag order, built afresh on every call; malformed
    // tags are left out.
    std::vector<PsfxlRecord> parse_data_records() const;
    // The (time, values) pair of the first record carrying `record_id`,
    // following aliases and taking back-referenced time axes from earlier
    // standalone records.
    Result<Waveform, PsfError> decode_waveform(std::uint64_t record_id) const;
    // The same over records already parsed from this file.
    static Result<Waveform, PsfError> decode_waveform(const RecordIndex& index, std::uint64_t record_id);
    // The value stream of every record that decodes on its own, with its id;
    // records that fail are left out.
    std::vector<std::pair<std::uint64_t, std::vector<double>>> decode_all() const;

private:
    NgpsfFile(std::string path, std::string bytes) : path_(std::move(path)), bytes_(std::move(bytes)) {}

    std::string path_;
    std::string bytes_;
    std::vector<PsfxlTag> tags_;
};

// The first record of `records` carrying `record_id`.
const PsfxlRecord* find_record(const std::vector<PsfxlRecord>& records, std::uint64_t record_id);

// Tag-field numbers: unsigned hexadecimal or decimal with an optional '+',
// at least one digit, nothing else and no overflow.
std::optional<std::uint64_t> parse_hex_u64(std::string_view text);
std::optional<std::uint8_t> parse_hex_u8(std::string_view text);
std::optional<std::uint32_t> parse_dec_u32(std::string_view text);

}  // namespace morva::psf::psfxl
