#include "ngspice/protocol.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "common/format.h"
#include "common/json_reader.h"
#include "common/json_text.h"
#include "common/text.h"

namespace morva::ngspice {

namespace {

// ---------------------------------------------------------------------------
// JSON writing: compact, keys in record order, strings escaped the usual way
// (json::append_string), non-ASCII text as raw UTF-8.

using json::append_string;

void append_string_array(std::string& out, const std::vector<std::string>& items) {
    out.push_back('[');
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        append_string(out, items[i]);
    }
    out.push_back(']');
}

void append_key(std::string& out, const char* key, bool first = false) {
    if (!first) out.push_back(',');
    out.push_back('"');
    out.append(key);
    out.append("\":");
}

void append_bool(std::string& out, bool v) { out.append(v ? "true" : "false"); }

// ---------------------------------------------------------------------------
// JSON reading: the protocol records through the strict reader.

using json::Field;
using json::JsonReader;
using Status = JsonReader::Status;

constexpr Field kRequestFields[] = {{"id", true},
                                    {"netlist", true},
                                    {"commands", true},
                                    {"pre_commands", false},
                                    {"return_vectors", false},
                                    {"on_circuit_of", false}};
constexpr Field kHeaderFields[] = {{"id", true},     {"success", true},   {"vecs", true},   {"log", true},
                                   {"error", false}, {"measures", false}, {"timing", false}};
constexpr Field kVecMetaFields[] = {{"name", true}, {"len", true}, {"is_scale", true}, {"is_complex", false}};
constexpr Field kTimingFields[] = {{"parse_ns", false},   {"precmd_ns", false},  {"circ_ns", false},
                                   {"cmd_ns", false},     {"harvest_ns", false}, {"write_ns", false},
                                   {"destroy_ns", false}, {"fs_write_ns", false}};

template <class Timing>
auto* timing_field(Timing& t, std::size_t index) {
    decltype(&t.parse_ns) const fields[] = {&t.parse_ns,   &t.precmd_ns, &t.circ_ns,    &t.cmd_ns,
                                            &t.harvest_ns, &t.write_ns,  &t.destroy_ns, &t.fs_write_ns};
    return fields[index];
}

Status read_timing(JsonReader& r, WireTiming& t) {
    t = WireTiming{};
    return r.read_struct("struct WireTiming", "struct WireTiming", kTimingFields, 0,
                         [&](std::size_t index) { return r.read_u64(*timing_field(t, index)); });
}

Status read_vec_meta(JsonReader& r, WireVecMeta& v) {
    return r.read_struct("struct WireVecMeta", "struct WireVecMeta with 4 elements", kVecMetaFields, 3,
                         [&](std::size_t index) -> Status {
                             switch (index) {
                                 case 0: return r.read_string(v.name);
                                 case 1: return r.read_u64(v.len);
                                 case 2: return r.read_bool(v.is_scale);
                                 default: return r.read_bool(v.is_complex);
                             }
                         });
}

Status read_measure(JsonReader& r, Measure& m) {
    return r.read_seq("a tuple of size 2", 2, 2, "a tuple of size 2", [&](std::size_t index) -> Status {
        if (index == 0) return r.read_string(m.first);
        return r.read_f64_or_null(m.second);
    });
}

// ---------------------------------------------------------------------------
// Frames.

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

std::uint64_t byteswap64(std::uint64_t v) {
    std::uint64_t out = 0;
    for (int k = 0; k < 8; ++k) out = (out << 8) | ((v >> (8 * k)) & 0xff);
    return out;
}

// The float64 values as little-endian bytes, written in bounded pieces.
Result<void, IoError> write_doubles(ByteSink& out, const double* values, std::size_t count) {
    if constexpr (kLittleEndian) {
        return out.write(std::string_view(reinterpret_cast<const char*>(values), count * sizeof(double)));
    } else {
        std::string buf;
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, &values[k], 8);
            bits = byteswap64(bits);
            buf.append(reinterpret_cast<const char*>(&bits), 8);
            if (buf.size() >= 65536) {
                MORVA_TRY(out.write(buf));
                buf.clear();
            }
        }
        return out.write(buf);
    }
}

void doubles_from_le(double* values, std::size_t count) {
    if constexpr (!kLittleEndian) {
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, &values[k], 8);
            bits = byteswap64(bits);
            std::memcpy(&values[k], &bits, 8);
        }
    } else {
        (void)values;
        (void)count;
    }
}

IoError early_eof() { return IoError::from_message("early eof"); }

Result<void, IoError> read_exact(ByteSource& in, char* dst, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        MORVA_ASSIGN(const std::size_t k, in.read_some(dst + got, n - got));
        if (k == 0) return err(early_eof());
        got += k;
    }
    return {};
}

// Reads `count` elements of T into `out`, growing it as data arrives so that
// a length word alone never decides how much memory is taken.
template <class T>
Result<void, IoError> read_elements(ByteSource& in, std::size_t count, std::vector<T>& out) {
    constexpr std::size_t kFirstChunk = 64 * 1024 / sizeof(T);
    const std::size_t total = count * sizeof(T);  // checked by the caller
    out.clear();
    std::size_t got = 0;
    while (got < total) {
        if (got == out.size() * sizeof(T)) {
            out.resize(std::min(count, std::max(out.size() * 2, kFirstChunk)));
        }
        char* base = reinterpret_cast<char*>(out.data());
        MORVA_ASSIGN(const std::size_t k, in.read_some(base + got, out.size() * sizeof(T) - got));
        if (k == 0) return err(early_eof());
        got += k;
    }
    return {};
}

NgspiceError read_failed(const char* what, const IoError& e) {
    return NgspiceError::worker_crashed(fmt::cat("stdout read (", what, ") failed: ", e.text()));
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<std::string> request_text_problem(const SimulationRequest& request) {
    const auto problem = [](const std::string& text, const std::string& field) -> std::optional<std::string> {
        const std::size_t nul = text.find('\0');
        if (nul == std::string::npos) return std::nullopt;
        // Characters, not bytes: the position a caller can index its text with.
        const auto position =
            std::count_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
        return fmt::cat(field, " must not contain NUL characters, found one at position ", position);
    };
    if (auto p = problem(request.netlist, "netlist")) return p;
    for (std::size_t i = 0; i < request.commands.size(); ++i) {
        if (auto p = problem(request.commands[i], fmt::cat("commands[", i, "]"))) return p;
    }
    for (std::size_t i = 0; i < request.pre_commands.size(); ++i) {
        if (auto p = problem(request.pre_commands[i], fmt::cat("pre_commands[", i, "]"))) return p;
    }
    return std::nullopt;
}

Result<std::string, NgspiceError> encode_request(const SimulationRequest& request) {
    const auto check = [](const std::string& text, const char* field) -> Result<void, NgspiceError> {
        if (utf8_valid(text)) return {};
        return err(NgspiceError::serialization(fmt::cat("request field `", field, "` is not valid UTF-8")));
    };
    const auto check_all = [&](const std::vector<std::string>& texts,
                               const char* field) -> Result<void, NgspiceError> {
        for (const auto& t : texts) MORVA_TRY(check(t, field));
        return {};
    };
    MORVA_TRY(check(request.id, "id"));
    MORVA_TRY(check(request.netlist, "netlist"));
    MORVA_TRY(check_all(request.commands, "commands"));
    MORVA_TRY(check_all(request.pre_commands, "pre_commands"));
    if (request.return_vectors) MORVA_TRY(check_all(*request.return_vectors, "return_vectors"));
    if (request.on_circuit_of) MORVA_TRY(check(*request.on_circuit_of, "on_circuit_of"));

    std::string out;
    out.reserve(std::max<std::size_t>(128, request.netlist.size() + 64));
    out.push_back('{');
    append_key(out, "id", true);
    append_string(out, request.id);
    append_key(out, "netlist");
    append_string(out, request.netlist);
    append_key(out, "commands");
    append_string_array(out, request.commands);
    if (!request.pre_commands.empty()) {
        append_key(out, "pre_commands");
        append_string_array(out, request.pre_commands);
    }
    if (request.return_vectors) {
        append_key(out, "return_vectors");
        append_string_array(out, *request.return_vectors);
    }
    if (request.on_circuit_of) {
        append_key(out, "on_circuit_of");
        append_string(out, *request.on_circuit_of);
    }
    out.append("}\n");
    return out;
}

Result<SimulationRequest, JsonError> decode_request(std::string_view text) {
    JsonReader r(text);
    SimulationRequest req;
    Status s = r.read_struct(
        "struct SimulationRequest", "struct SimulationRequest with 5 elements", kRequestFields, 5,
        [&](std::size_t index) -> Status {
            switch (index) {
                case 0: return r.read_string(req.id);
                case 1: return r.read_string(req.netlist);
                case 2: return r.read_string_list(req.commands);
                case 3: return r.read_string_list(req.pre_commands);
                case 4:
                    return r.read_optional(req.return_vectors,
                                           [&](auto& v) { return r.read_string_list(v); });
                default: return r.read_optional(req.on_circuit_of, [&](auto& v) { return r.read_string(v); });
            }
        });
    if (!s) return err(std::move(s).error());
    MORVA_TRY(r.end());
    return req;
}

std::string encode_header(const WireHeader& h) {
    std::string out;
    out.reserve(128);
    out.push_back('{');
    append_key(out, "id", true);
    append_string(out, h.id);
    append_key(out, "success");
    append_bool(out, h.success);
    append_key(out, "vecs");
    out.push_back('[');
    for (std::size_t i = 0; i < h.vecs.size(); ++i) {
        const WireVecMeta& v = h.vecs[i];
        if (i) out.push_back(',');
        out.push_back('{');
        append_key(out, "name", true);
        append_string(out, v.name);
        append_key(out, "len");
        out.append(std::to_string(v.len));
        append_key(out, "is_scale");
        append_bool(out, v.is_scale);
        append_key(out, "is_complex");
        append_bool(out, v.is_complex);
        out.push_back('}');
    }
    out.push_back(']');
    append_key(out, "log");
    append_string_array(out, h.log);
    if (h.error) {
        append_key(out, "error");
        append_string(out, *h.error);
    }
    append_key(out, "measures");
    out.push_back('[');
    for (std::size_t i = 0; i < h.measures.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        append_string(out, h.measures[i].first);
        out.push_back(',');
        const double v = h.measures[i].second;
        // Shortest round-trip digits; JSON has no form for NaN or infinities.
        out.append(std::isfinite(v) ? fmt::debug(v) : "null");
        out.push_back(']');
    }
    out.push_back(']');
    append_key(out, "timing");
    out.push_back('{');
    for (std::size_t k = 0; k < std::size(kTimingFields); ++k) {
        append_key(out, kTimingFields[k].name, k == 0);
        out.append(std::to_string(*timing_field(h.timing, k)));
    }
    out.append("}}");
    return out;
}

Result<WireHeader, JsonError> decode_header(std::string_view text) {
    JsonReader r(text);
    WireHeader h;
    Status s = r.read_struct(
        "struct WireHeader", "struct WireHeader with 7 elements", kHeaderFields, 5,
        [&](std::size_t index) -> Status {
            switch (index) {
                case 0: return r.read_string(h.id);
                case 1: return r.read_bool(h.success);
                case 2: return r.read_list(h.vecs, [&](WireVecMeta& v) { return read_vec_meta(r, v); });
                case 3: return r.read_string_list(h.log);
                case 4: return r.read_optional(h.error, [&](auto& v) { return r.read_string(v); });
                case 5: return r.read_list(h.measures, [&](Measure& m) { return read_measure(r, m); });
                default: return read_timing(r, h.timing);
            }
        });
    if (!s) return err(std::move(s).error());
    MORVA_TRY(r.end());
    return h;
}

// ---------------------------------------------------------------------------

Result<void, IoError> BufferedFdWriter::write(std::string_view data) {
    if (buffer_.size() + data.size() > kCapacity && !buffer_.empty()) {
        MORVA_TRY(write_all(fd_, buffer_));
        buffer_.clear();
    }
    if (data.size() >= kCapacity) return write_all(fd_, data);
    buffer_.append(data);
    return {};
}

Result<void, IoError> BufferedFdWriter::flush() {
    if (buffer_.empty()) return {};
    auto r = write_all(fd_, buffer_);
    buffer_.clear();
    return r;
}

Result<void, IoError> write_wire_response(ByteSink& out, const std::string& id, bool success,
                                          const std::vector<VectorData>& vectors,
                                          std::vector<std::string> log, std::optional<std::string> error,
                                          std::vector<Measure> measures, WireTiming timing) {
    WireHeader header{id, success, {}, std::move(log), std::move(error), std::move(measures), timing};
    header.vecs.reserve(vectors.size());
    for (const VectorData& v : vectors) {
        header.vecs.push_back({v.name, v.real.size(), v.is_scale, v.complex.has_value()});
    }
    std::string json = encode_header(header);
    if (json.size() > kMaxHeaderLen) {
        // Only a runaway log can make a header this large; the reader would
        // refuse it, so the log gives way and says so.
        header.log = {fmt::cat("[log of ", header.log.size(), " lines dropped: response header too large]")};
        json = encode_header(header);
        if (json.size() > kMaxHeaderLen) {
            header.measures.clear();
            json = encode_header(header);
        }
    }
    const std::uint32_t n = static_cast<std::uint32_t>(json.size());
    const char len_word[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                              static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
    MORVA_TRY(out.write(std::string_view(len_word, 4)));
    MORVA_TRY(out.write(json));
    for (const VectorData& v : vectors) {
        if (v.complex) {
            MORVA_TRY(write_doubles(out, reinterpret_cast<const double*>(v.complex->data()),
                                    2 * v.complex->size()));
        } else {
            MORVA_TRY(write_doubles(out, v.real.data(), v.real.size()));
        }
    }
    return out.flush();
}

Result<SimulationResponse, NgspiceError> read_binary_response(ByteSource& in) {
    unsigned char len_word[4];
    if (auto r = read_exact(in, reinterpret_cast<char*>(len_word), 4); !r)
        return err(read_failed("header len", r.error()));
    const std::uint32_t n = std::uint32_t{len_word[0]} | (std::uint32_t{len_word[1]} << 8) |
                            (std::uint32_t{len_word[2]} << 16) | (std::uint32_t{len_word[3]} << 24);
    if (n > kMaxHeaderLen) {
        return err(read_failed(
            "header", IoError::from_message(
                          fmt::cat("header length ", n, " exceeds the limit of ", kMaxHeaderLen, " bytes"))));
    }
    std::vector<char> header_bytes;
    if (auto r = read_elements(in, n, header_bytes); !r) return err(read_failed("header", r.error()));
    auto header = decode_header(std::string_view(header_bytes.data(), header_bytes.size()));
    if (!header) return err(NgspiceError::serialization(header.error().text()));
    std::vector<char>().swap(header_bytes);

    WireHeader& h = *header;
    SimulationResponse resp;
    resp.vectors.reserve(std::min<std::size_t>(h.vecs.size(), 4096));
    for (WireVecMeta& meta : h.vecs) {
        VectorData v;
        v.name = std::move(meta.name);
        v.is_scale = meta.is_scale;
        const char* what = meta.is_complex ? "complex vec" : "vec data";
        const std::size_t elem = meta.is_complex ? 16 : 8;
        if (meta.len > std::numeric_limits<std::size_t>::max() / elem) {
            return err(read_failed(
                what, IoError::from_message(fmt::cat("vector length ", meta.len, " is too large"))));
        }
        const std::size_t len = static_cast<std::size_t>(meta.len);
        try {
            if (meta.is_complex) {
                std::vector<std::complex<double>> pairs;
                if (auto r = read_elements(in, len, pairs); !r) return err(read_failed(what, r.error()));
                doubles_from_le(reinterpret_cast<double*>(pairs.data()), 2 * len);
                v.real.resize(len);
                for (std::size_t k = 0; k < len; ++k) v.real[k] = pairs[k].real();
                v.complex = std::move(pairs);
            } else {
                if (auto r = read_elements(in, len, v.real); !r) return err(read_failed(what, r.error()));
                doubles_from_le(v.real.data(), len);
            }
        } catch (const std::bad_alloc&) {
            return err(
                NgspiceError::out_of_memory(fmt::cat("vector '", v.name, "' of the reply (", len, " values, ",
                                                     len * elem, " bytes) does not fit in memory")));
        }
        resp.vectors.push_back(std::move(v));
    }
    resp.id = std::move(h.id);
    resp.success = h.success;
    resp.log = std::move(h.log);
    resp.error = std::move(h.error);
    resp.measures = std::move(h.measures);
    resp.timing = h.timing;
    return resp;
}

}  // namespace morva::ngspice
