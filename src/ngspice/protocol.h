// The pool-worker pipe protocol: request lines (one compact JSON object per
// line, pool to worker) and response frames (a 32-bit little-endian header
// length, the JSON header, then the raw float64 samples of every vector).
//
// The JSON decoder is strict and reports failures with the texts the callers
// see ("missing field `x` at line 1 column 24"); every length read from a
// frame is untrusted.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/io.h"
#include "common/json_reader.h"
#include "common/result.h"
#include "ngspice/error.h"

namespace morva::ngspice {

// One job for a worker.
struct SimulationRequest {
    std::string id;
    std::string netlist;
    std::vector<std::string> commands;
    std::vector<std::string> pre_commands;
    // Absent: every vector. Present and empty: none.
    std::optional<std::vector<std::string>> return_vectors;
    // Present: the commands run on the circuit the worker still holds from
    // the request with this id, the last it served, without loading one (the
    // netlist is not read). A worker that holds no such circuit answers
    // without success and with kNoCircuitHeld as the error, running nothing.
    std::optional<std::string> on_circuit_of = std::nullopt;
};

// The error of a request whose circuit the worker no longer holds.
inline constexpr std::string_view kNoCircuitHeld = "no circuit of that request is loaded";

// The last line of the log of a request whose netlist ngspice refused to
// load (and how the error begins where ngspice's load failed, followed by
// ngspice's reasons): nothing ran, and every request of that netlist would
// fail the same way.
inline constexpr std::string_view kCircuitRefused = "ngspice refused to load the circuit";

// Why a request cannot reach ngspice as written, or nothing: a NUL character
// in its netlist, a command or a pre-command (ngspice would read the line
// only up to it and run something else). Names the field and the position
// of the first NUL, counted in characters from 0.
std::optional<std::string> request_text_problem(const SimulationRequest& request);

// Per-phase durations of one request inside the worker, in nanoseconds.
struct WireTiming {
    std::uint64_t parse_ns = 0;
    std::uint64_t precmd_ns = 0;
    std::uint64_t circ_ns = 0;
    std::uint64_t cmd_ns = 0;
    std::uint64_t harvest_ns = 0;
    std::uint64_t write_ns = 0;
    std::uint64_t destroy_ns = 0;
    std::uint64_t fs_write_ns = 0;

    bool operator==(const WireTiming&) const = default;
};

// One result vector. When `complex` is present it has as many pairs as `real`
// has values, and real[i] == complex[i].real().
struct VectorData {
    std::string name;
    std::vector<double> real;
    std::optional<std::vector<std::complex<double>>> complex;
    bool is_scale = false;
};

using Measure = std::pair<std::string, double>;

// A worker's answer to one request.
struct SimulationResponse {
    std::string id;
    bool success = false;
    std::vector<VectorData> vectors;
    std::vector<std::string> log;
    std::optional<std::string> error;
    std::vector<Measure> measures;
    WireTiming timing;
};

// How one request ended: the worker's response, or why there is none.
using SimulationOutcome = Result<SimulationResponse, NgspiceError>;

// The header of a response frame: the response with vector descriptions in
// place of the vectors.
struct WireVecMeta {
    std::string name;
    std::uint64_t len = 0;
    bool is_scale = false;
    bool is_complex = false;
};

struct WireHeader {
    std::string id;
    bool success = false;
    std::vector<WireVecMeta> vecs;
    std::vector<std::string> log;
    std::optional<std::string> error;
    std::vector<Measure> measures;
    WireTiming timing;
};

using json::JsonError;

// The request as one compact JSON line, line feed included. Texts that are not
// valid UTF-8 cannot be encoded (the worker could not read them back).
Result<std::string, NgspiceError> encode_request(const SimulationRequest& request);
// Decodes one request line (without its line feed).
Result<SimulationRequest, JsonError> decode_request(std::string_view text);

std::string encode_header(const WireHeader& header);
Result<WireHeader, JsonError> decode_header(std::string_view text);

// ---- frames ---------------------------------------------------------------

// Where frames are written. `flush` pushes everything written so far out of
// the process.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual Result<void, IoError> write(std::string_view data) = 0;
    virtual Result<void, IoError> flush() = 0;
};

// Where frames are read from. `read_some` returns at least one byte, or 0 at
// the end of the stream.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual Result<std::size_t, IoError> read_some(char* dst, std::size_t max) = 0;
};

// Writes through an 8 KiB buffer to a file descriptor.
class BufferedFdWriter final : public ByteSink {
public:
    explicit BufferedFdWriter(int fd) : fd_(fd) { buffer_.reserve(kCapacity); }
    Result<void, IoError> write(std::string_view data) override;
    Result<void, IoError> flush() override;

    static constexpr std::size_t kCapacity = 8192;

private:
    int fd_;
    std::string buffer_;
};

// The largest header a reader accepts. A worker's header holds names, log
// lines and measures; anything near this size means a corrupt stream.
inline constexpr std::uint32_t kMaxHeaderLen = 256u << 20;

// Writes one response frame and flushes it. Stops at the first I/O error.
Result<void, IoError> write_wire_response(ByteSink& out, const std::string& id, bool success,
                                          const std::vector<VectorData>& vectors,
                                          std::vector<std::string> log, std::optional<std::string> error,
                                          std::vector<Measure> measures, WireTiming timing);

// Reads one response frame. Read failures (I/O errors, an early end, lengths
// that cannot be honoured) are `WorkerCrashed`; a header that does not decode
// is `Serialization`. Buffers grow as data arrives, never to what a length
// word merely claims.
Result<SimulationResponse, NgspiceError> read_binary_response(ByteSource& in);

}  // namespace morva::ngspice
