#include "lut/cache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "common/format.h"
#include "common/io.h"
#include "common/json_text.h"
#include "common/text.h"
#include "lut/generate_native.h"
#include "lut/netlists.h"

namespace morva::lut::cache {
namespace {

// ---- key document ----

// The key document's number form: shortest round-trip digits, positional
// with at least one fractional digit when the first digit's exponent lies in
// [-5, 15], else d[.ddd]e±x. Non-finite values are null.
void append_number(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out.append("null");
        return;
    }
    const std::string shortest = fmt::exp_shortest(v);  // "-1.25e-7", "0e0"
    std::size_t pos = 0;
    if (shortest[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    const std::size_t e_pos = shortest.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e_pos; ++i)
        if (shortest[i] != '.') digits.push_back(shortest[i]);
    const int exponent = std::atoi(shortest.c_str() + e_pos + 1);
    const int n = static_cast<int>(digits.size());
    if (exponent < -5 || exponent > 15) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        out.append(std::to_string(std::abs(exponent)));
    } else if (exponent < 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits);
    } else if (exponent >= n - 1) {
        out.append(digits);
        out.append(static_cast<std::size_t>(exponent - (n - 1)), '0');
        out.append(".0");
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
}

using json::append_string;

void append_optional_string(std::string& out, const std::optional<std::string>& s) {
    if (s)
        append_string(out, *s);
    else
        out.append("null");
}

void append_numbers(std::string& out, const std::vector<double>& values) {
    out.push_back('[');
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out.push_back(',');
        append_number(out, values[i]);
    }
    out.push_back(']');
}

void append_sweep(std::string& out, const SweepRange& r) { append_numbers(out, {r.start, r.stop, r.step}); }

void append_bool(std::string& out, bool b) { out.append(b ? "true" : "false"); }

// ---- binary encoding ----

const std::string kEof = "io error: unexpected end of file";

void put_u64(std::string& out, std::uint64_t v) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    out.append(bytes, 8);
}

void put_values(std::string& out, const double* values, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        out.append(reinterpret_cast<const char*>(values), n * sizeof(double));
    } else {
        for (std::size_t i = 0; i < n; ++i) put_u64(out, std::bit_cast<std::uint64_t>(values[i]));
    }
}

void put_list(std::string& out, const std::vector<double>& values) {
    put_u64(out, values.size());
    put_values(out, values.data(), values.size());
}

// The nesting of a grid: a count before every level, vds rows innermost.
void put_grid(std::string& out, const Grid5& g) {
    const auto& d = g.dims;
    put_u64(out, d[0]);
    if (d[0] == 0) return;
    const std::size_t row = d[4];
    const double* at = g.data.data();
    for (std::size_t w = 0; w < d[0]; ++w) {
        put_u64(out, d[1]);
        for (std::size_t b = 0; b < d[1]; ++b) {
            put_u64(out, d[2]);
            for (std::size_t l = 0; l < d[2]; ++l) {
                put_u64(out, d[3]);
                for (std::size_t k = 0; k < d[3]; ++k, at += row) {
                    put_u64(out, row);
                    put_values(out, at, row);
                }
            }
        }
    }
}

std::size_t grid_size(const Grid5& g) {
    const auto& d = g.dims;
    std::size_t size = 8;
    std::size_t lists = 1;
    for (int k = 0; k < 4; ++k) {
        if (d[k] == 0) return size;
        lists *= d[k];
        size += 8 * lists;
    }
    return size + 8 * lists * d[4];
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    Result<std::uint64_t, LutError> u64() {
        if (remaining() < 8) return err(LutError::serialization(kEof));
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
        pos_ += 8;
        return v;
    }

    // A list count. Every element takes at least 8 bytes, so a count the
    // remaining bytes cannot hold fails at once instead of after allocating.
    Result<std::size_t, LutError> count() {
        MORVA_ASSIGN(const std::uint64_t n, u64());
        if (n > remaining() / 8) return err(LutError::serialization(kEof));
        return static_cast<std::size_t>(n);
    }

    template <class Values>
    void values(std::size_t n, Values& out) {  // n already checked by count()
        if (n == 0) return;
        const std::size_t old = out.size();
        out.resize(old + n);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out.data() + old, bytes_.data() + pos_, n * 8);
            pos_ += n * 8;
        } else {
            for (std::size_t i = 0; i < n; ++i) out[old + i] = std::bit_cast<double>(*u64());
        }
    }

    Result<std::vector<double>, LutError> list() {
        MORVA_ASSIGN(const std::size_t n, count());
        std::vector<double> out;
        values(n, out);
        return out;
    }

    Result<std::string, LutError> text() {
        MORVA_ASSIGN(const std::uint64_t n, u64());
        if (n > remaining()) return err(LutError::serialization(kEof));
        std::string s(bytes_.substr(pos_, static_cast<std::size_t>(n)));
        pos_ += static_cast<std::size_t>(n);
        if (auto problem = utf8_error_text(s))
            return err(LutError::serialization("string is not valid utf8: " + *problem));
        return s;
    }

    std::size_t remaining() const { return bytes_.size() - pos_; }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// Reads one nested grid. The extents come from the first list at each level;
// a later list of another length marks the grid ragged (reported after the
// whole file has been read, so truncation is reported first).
class GridReader {
public:
    explicit GridReader(Reader& r) : r_(r) {}

    Result<Grid5, LutError> read(bool& ragged) {
        MORVA_TRY(level(0));
        ragged = ragged_;
        Grid5 g;
        for (int k = 0; k < 5; ++k) g.dims[k] = dims_[k].value_or(0);
        // Unreached levels below an empty one count as 0.
        for (int k = 1; k < 5; ++k)
            if (g.dims[k - 1] == 0) g.dims[k] = 0;
        if (!ragged_) g.data = std::move(data_);
        return g;
    }

private:
    Result<void, LutError> level(int k) {
        MORVA_ASSIGN(const std::size_t n, r_.count());
        if (!dims_[k]) {
            dims_[k] = n;
            // The first innermost row fixes every extent: room for the whole
            // grid, as far as the remaining bytes can hold it.
            if (k == 4) data_.reserve(std::min(expected_values(), r_.remaining() / 8));
        } else if (*dims_[k] != n) {
            ragged_ = true;
        }
        if (k == 4) {
            if (ragged_) {
                scratch_.clear();
                r_.values(n, scratch_);
            } else {
                r_.values(n, data_);
            }
            return {};
        }
        for (std::size_t i = 0; i < n; ++i) MORVA_TRY(level(k + 1));
        return {};
    }

    std::size_t expected_values() const {
        std::size_t total = 1;
        for (const auto& d : dims_) {
            if (*d != 0 && total > std::numeric_limits<std::size_t>::max() / *d) return 0;
            total *= *d;
        }
        return total;
    }

    Reader& r_;
    std::array<std::optional<std::size_t>, 5> dims_;
    bool ragged_ = false;
    GridValues data_;
    std::vector<double> scratch_;
};

// ---- reading straight into the table ----

// Reads a well-formed cache file with the grids' values landing directly in
// their final buffers (one copy, from the kernel), as numpy.load does. The
// counts between rows go to a scratch list and are checked against the
// extents the first row of each grid fixed. Anything unexpected (a short,
// ragged or otherwise odd file, a read error) gives nothing, and the caller
// decodes the whole file the careful way, which reports the fault.
class DirectReader {
public:
    DirectReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

    std::optional<TransistorLut> read() {
        // The file's words are little-endian, like the buffers they land in.
        if constexpr (std::endian::native != std::endian::little) return std::nullopt;
        TransistorLut t;
        for (auto* axis : {&t.widths, &t.vbs_values, &t.lengths, &t.vgs, &t.vds}) {
            if (!list(*axis)) return std::nullopt;
        }
        for (std::size_t i = 0; i < kGridCount; ++i) {
            if (!grid(t.grid(i))) return std::nullopt;
        }
        std::uint64_t n_names = 0;
        if (!word(n_names) || n_names > (size_ - pos_) / 8) return std::nullopt;
        for (std::uint64_t i = 0; i < n_names; ++i) {
            std::uint64_t n = 0;
            if (!word(n) || n > size_ - pos_) return std::nullopt;
            std::string name(static_cast<std::size_t>(n), '\0');
            if (!exact(name.data(), name.size()) || utf8_error_text(name)) return std::nullopt;
            t.extracted_op_params.push_back(std::move(name));
        }
        if (t.invariant_violation()) return std::nullopt;
        return t;
    }

private:
    bool exact(void* out, std::size_t n) {
        char* at = static_cast<char*>(out);
        while (n > 0) {
            const ssize_t got = ::pread(fd_, at, n, static_cast<off_t>(pos_));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            at += got;
            n -= static_cast<std::size_t>(got);
            pos_ += static_cast<std::uint64_t>(got);
        }
        return true;
    }

    bool word(std::uint64_t& v) {
        unsigned char b[8];
        if (!exact(b, 8)) return false;
        v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t(b[i]) << (8 * i);
        return true;
    }

    bool list(std::vector<double>& out) {
        std::uint64_t n = 0;
        if (!word(n) || n > (size_ - pos_) / 8) return false;
        out.resize(static_cast<std::size_t>(n));
        return exact(out.data(), out.size() * 8);
    }

    bool grid(Grid5& g) {
        // The extents: the counts of the first list at each level, which
        // follow one another until a row or an empty list.
        std::array<std::size_t, 5> dims{0, 0, 0, 0, 0};
        const std::uint64_t start = pos_;
        for (int k = 0; k < 5; ++k) {
            std::uint64_t n = 0;
            if (!word(n) || n > (size_ - pos_) / 8) return false;
            dims[k] = static_cast<std::size_t>(n);
            if (n == 0) break;
        }
        pos_ = start;
        g = Grid5();
        g.dims = dims;
        if (grid_size(g) > size_ - pos_) return false;
        allocate(g.data, Grid5::element_count(dims));
        // The layout those extents imply: every count to the side list in
        // file order, every row straight into its place in the grid.
        std::size_t n_counts = 1, lists = 1;
        for (int k = 0; k < 4 && dims[k] != 0; ++k) n_counts += lists *= dims[k];
        counts_.resize(n_counts);
        iov_.clear();
        const auto piece = [this](void* base, std::size_t len) {
            // Consecutive counts are consecutive in the side list too.
            if (!iov_.empty() && static_cast<char*>(iov_.back().iov_base) + iov_.back().iov_len == base)
                iov_.back().iov_len += len;
            else
                iov_.push_back({base, len});
        };
        std::size_t c = 0;
        layout(
            dims, [&](std::size_t) { piece(&counts_[c++], 8); },
            [&](std::size_t at) { piece(g.data.data() + at, dims[4] * 8); });
        // The kernel spends more per piece than per byte: pieces of short
        // rows go through a small buffer that stays in the processor's cache.
        if (!(dims[4] >= kDirectRow ? vectored() : buffered())) return false;
        // Each count read must be the one the extents imply.
        bool fits = true;
        c = 0;
        layout(
            dims, [&](std::size_t n) { fits = fits && counts_[c++] == n; }, [](std::size_t) {});
        return fits;
    }

    // Calls `count(n)` for every list count and `row(offset)` for every
    // non-empty innermost row, in file order, for a grid of extents `dims`.
    template <class Count, class Row>
    static void layout(const std::array<std::size_t, 5>& dims, Count&& count, Row&& row) {
        std::size_t at = 0;
        count(dims[0]);
        for (std::size_t w = 0; w < dims[0]; ++w) {
            count(dims[1]);
            for (std::size_t b = 0; b < dims[1]; ++b) {
                count(dims[2]);
                for (std::size_t l = 0; l < dims[2]; ++l) {
                    count(dims[3]);
                    for (std::size_t r = 0; r < dims[3]; ++r, at += dims[4]) {
                        count(dims[4]);
                        if (dims[4]) row(at);
                    }
                }
            }
        }
    }

    // Room for `n` values, left unset, backed by huge pages where the system
    // offers them on request (as numpy does for large arrays): a table of
    // hundreds of megabytes otherwise spends as long faulting its pages in as
    // reading.
    static void allocate(GridValues& data, std::size_t n) {
        data.resize(n);
        constexpr std::uintptr_t kHuge = 2u << 20;
        const auto begin = reinterpret_cast<std::uintptr_t>(data.data());
        const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t last = (begin + n * sizeof(double)) & ~(kHuge - 1);
        if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        // One call populates every page, instead of one fault each.
        constexpr std::uintptr_t kPage = 4096;
        const std::uintptr_t page = (begin + kPage - 1) & ~(kPage - 1);
        const std::uintptr_t end = (begin + n * sizeof(double)) & ~(kPage - 1);
        if (end > page) (void)::madvise(reinterpret_cast<void*>(page), end - page, MADV_POPULATE_WRITE);
#endif
    }

    // Fills every piece of `iov_`, IOV_MAX pieces a call, resuming after
    // short reads.
    bool vectored() {
        std::size_t first = 0;
        while (first < iov_.size()) {
            const int n = static_cast<int>(std::min<std::size_t>(iov_.size() - first, IOV_MAX));
            const ssize_t got = ::preadv(fd_, iov_.data() + first, n, static_cast<off_t>(pos_));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            pos_ += static_cast<std::uint64_t>(got);
            std::size_t left = static_cast<std::size_t>(got);
            while (first < iov_.size() && left >= iov_[first].iov_len) left -= iov_[first++].iov_len;
            if (left > 0) {
                iov_[first].iov_base = static_cast<char*>(iov_[first].iov_base) + left;
                iov_[first].iov_len -= left;
            }
        }
        return true;
    }

    // Values a row must hold to be read straight into place.
    static constexpr std::size_t kDirectRow = 256;

    // Fills the pieces of `iov_` in order from reads of up to 256 KiB.
    bool buffered() {
        std::size_t total = 0;
        for (const iovec& v : iov_) total += v.iov_len;
        if (total > size_ - pos_) return false;
        bounce_.resize(std::min<std::size_t>(total, 256u << 10));
        std::size_t have = 0, used = 0;
        for (const iovec& v : iov_) {
            char* out = static_cast<char*>(v.iov_base);
            std::size_t need = v.iov_len;
            while (need > 0) {
                if (used == have) {
                    have = std::min(bounce_.size(), total);
                    if (!exact(bounce_.data(), have)) return false;
                    total -= have;
                    used = 0;
                }
                const std::size_t n = std::min(need, have - used);
                std::memcpy(out, bounce_.data() + used, n);
                out += n;
                used += n;
                need -= n;
            }
        }
        return true;
    }
    int fd_;
    std::uint64_t size_;
    std::uint64_t pos_ = 0;
    std::vector<std::uint64_t> counts_;
    std::vector<iovec> iov_;
    std::vector<char> bounce_;
};

// ---- files ----

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `dir` and every missing ancestor; existing directories are fine.
Result<void, IoError> create_dirs(const std::string& dir) {
    if (dir.empty()) return {};
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string prefix = dir.substr(0, pos);
        if (prefix.empty() || prefix == "/") continue;
        if (::mkdir(prefix.c_str(), 0777) != 0) {
            const int code = errno;
            // Something that is not a directory stands in the chain: say so,
            // rather than that it exists.
            if (!is_directory(prefix)) return err(IoError::from_errno(code == EEXIST ? ENOTDIR : code));
        }
    }
    return {};
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes `data` to a new file beside `path` and renames it over `path`.
Result<void, IoError> replace_file(const std::string& path, std::string_view data) {
    std::random_device entropy;
    for (int attempt = 0;; ++attempt) {
        const std::string tmp = fmt::cat(path, ".tmp-", static_cast<long long>(::getpid()), "-",
                                         fmt::hex((std::uint64_t(entropy()) << 32) | entropy()));
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd.valid()) {
            if (errno == EEXIST && attempt < 16) continue;
            return err(IoError::from_errno(errno));
        }
        auto written = write_all(fd.get(), data);
        if (written.ok() && ::fsync(fd.get()) != 0) written = err(IoError::from_errno(errno));
        if (written.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
            written = err(IoError::from_errno(errno));
        if (!written.ok()) ::unlink(tmp.c_str());
        return written;
    }
}

// ---- checking a cached table against its configuration ----

// -0.0 and 0.0 bias a device alike.
bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

std::optional<std::string> axis_mismatch(std::string_view name, const std::vector<double>& stored,
                                         const std::vector<double>& wanted) {
    if (stored.size() != wanted.size())
        return fmt::cat(name, ": ", stored.size(), " in the table, ", wanted.size(), " configured");
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (!same_value(stored[i], wanted[i]))
            return fmt::cat(name, "[", i, "]: ", fmt::debug(stored[i]), " in the table, ",
                            fmt::debug(wanted[i]), " configured");
    }
    return std::nullopt;
}

}  // namespace

std::string key_document(const LutConfig& c) {
    std::string out;
    out.reserve(512);
    out.append("{\"v\":5,\"device_type\":");
    append_string(out, device_type_name(c.device_type));
    out.append(",\"model_card\":");
    append_string(out, c.model_card);
    out.append(",\"model_file\":");
    if (c.model_file)
        append_string(out, utf8_lossy(resolve(*c.model_file)));
    else
        out.append("null");
    out.append(",\"model_section\":");
    append_optional_string(out, c.model_section);
    out.append(",\"model_name\":");
    append_string(out, c.model_name);
    out.append(",\"widths\":");
    append_numbers(out, c.widths);
    out.append(",\"lengths\":");
    append_numbers(out, c.lengths);
    out.append(",\"vgs\":");
    append_sweep(out, c.vgs);
    out.append(",\"vds\":");
    append_sweep(out, c.vds);
    out.append(",\"vbs_values\":");
    append_numbers(out, c.vbs_values);
    out.append(",\"subcircuit\":");
    append_bool(out, c.subcircuit);
    out.append(",\"width_param\":");
    append_string(out, c.width_param);
    out.append(",\"length_param\":");
    append_string(out, c.length_param);
    out.append(",\"model_includes\":[");
    for (std::size_t i = 0; i < c.model_includes.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        append_string(out, utf8_lossy(resolve(c.model_includes[i].first)));
        out.push_back(',');
        append_string(out, c.model_includes[i].second);
        out.push_back(']');
    }
    out.append("],\"device_name\":");
    append_string(out, c.device_name);
    out.append(",\"op_params\":[");
    std::vector<std::string> op_params = c.op_params;
    std::sort(op_params.begin(), op_params.end());  // byte order: char_traits compares unsigned
    for (std::size_t i = 0; i < op_params.size(); ++i) {
        if (i) out.push_back(',');
        append_string(out, op_params[i]);
    }
    out.append("],\"use_native_bsim4\":");
    append_bool(out, c.use_native_bsim4);
    out.append(",\"use_dc_solver\":");
    append_bool(out, c.use_dc_solver);
    out.append(",\"subcircuit_name\":");
    append_optional_string(out, c.subcircuit_name);
    out.push_back('}');
    return out;
}

Result<std::string, LutError> cache_key(const LutConfig& config) {
    const std::string doc = key_document(config);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (EVP_Digest(doc.data(), doc.size(), digest, &digest_len, EVP_sha256(), nullptr) != 1 ||
        digest_len != 32)
        return err(LutError::key_serialization("SHA-256 digest failed"));
    static const char* const kHex = "0123456789abcdef";
    std::string key = "v6-";
    for (unsigned i = 0; i < digest_len; ++i) {
        key.push_back(kHex[digest[i] >> 4]);
        key.push_back(kHex[digest[i] & 15]);
    }
    return key;
}

std::optional<std::string> key_problem(std::string_view key) {
    const char* reason = nullptr;
    if (key.empty())
        reason = "it is empty";
    else if (key == "." || key == "..")
        reason = "it names a directory";
    else if (key.find('/') != std::string_view::npos)
        reason = "it contains '/'";
    else if (key.find('\0') != std::string_view::npos)
        reason = "it contains a NUL character";
    if (!reason) return std::nullopt;
    return fmt::cat("invalid LUT cache key ", fmt::debug_str(key), ": ", reason,
                    " (a key must be a plain file name)");
}

std::string cache_path(std::string_view key) {
    const char* home = std::getenv("HOME");
    std::string path = join_path(home ? std::string(home) : std::string("."), ".cache");
    path = join_path(path, "morva");
    return join_path(path, fmt::cat(key, ".bin"));
}

std::string resolve(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    const auto cwd = current_directory();
    return cwd ? join_path(*cwd, path) : path;
}

std::string encode(const TransistorLut& t) {
    std::size_t size =
        8 * 5 + 8 * (t.widths.size() + t.vbs_values.size() + t.lengths.size() + t.vgs.size() + t.vds.size());
    for (std::size_t i = 0; i < kGridCount; ++i) size += grid_size(t.grid(i));
    size += 8;
    for (const std::string& s : t.extracted_op_params) size += 8 + s.size();

    std::string out;
    out.reserve(size);
    for (const auto* axis : {&t.widths, &t.vbs_values, &t.lengths, &t.vgs, &t.vds}) put_list(out, *axis);
    for (std::size_t i = 0; i < kGridCount; ++i) put_grid(out, t.grid(i));
    put_u64(out, t.extracted_op_params.size());
    for (const std::string& s : t.extracted_op_params) {
        put_u64(out, s.size());
        out.append(s);
    }
    return out;
}

Result<TransistorLut, LutError> decode(std::string_view bytes) {
    Reader r(bytes);
    TransistorLut t;
    for (auto* axis : {&t.widths, &t.vbs_values, &t.lengths, &t.vgs, &t.vds}) {
        MORVA_ASSIGN(*axis, r.list());
    }
    std::optional<std::string> ragged_grid;
    for (std::size_t i = 0; i < kGridCount; ++i) {
        bool ragged = false;
        MORVA_ASSIGN(t.grid(i), GridReader(r).read(ragged));
        if (ragged && !ragged_grid) ragged_grid = fmt::cat("grid '", GRID_NAMES[i], "' is ragged");
    }
    MORVA_ASSIGN(const std::size_t n_names, r.count());
    for (std::size_t i = 0; i < n_names; ++i) {
        MORVA_ASSIGN(std::string name, r.text());
        t.extracted_op_params.push_back(std::move(name));
    }
    if (!ragged_grid) ragged_grid = t.invariant_violation();
    if (ragged_grid) return err(LutError::serialization("invalid table: " + *ragged_grid));
    return t;
}

Result<std::optional<TransistorLut>, LutError> load(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::optional<TransistorLut>{};
    if (S_ISREG(st.st_mode)) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat opened {};
        if (fd.valid() && ::fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode)) {
            if (auto table = DirectReader(fd.get(), static_cast<std::uint64_t>(opened.st_size)).read())
                return std::optional<TransistorLut>(std::move(*table));
        }
    }
    auto bytes = read_file(path);
    if (!bytes.ok()) return err(LutError::from_io(std::move(bytes).error()));
    MORVA_ASSIGN(TransistorLut table, decode(*bytes));
    return std::optional<TransistorLut>(std::move(table));
}

Result<void, LutError> save(const std::string& path, const TransistorLut& table) {
    // A table that could not be loaded back is never written.
    if (auto problem = table.invariant_violation())
        return err(LutError::serialization("invalid table: " + *problem));
    auto created = create_dirs(parent_of(path));
    if (!created.ok()) return err(LutError::from_io(std::move(created).error()));
    auto written = replace_file(path, encode(table));
    if (!written.ok()) return err(LutError::from_io(std::move(written).error()));
    return {};
}

std::optional<std::string> table_mismatch(const TransistorLut& table, const LutConfig& config) {
    if (auto problem = axis_mismatch("widths", table.widths, config.widths)) return problem;
    if (auto problem = axis_mismatch("vbs_values", table.vbs_values, config.vbs_values)) return problem;
    if (auto problem = axis_mismatch("lengths", table.lengths, config.lengths)) return problem;
    if (auto problem = axis_mismatch("vgs", table.vgs, generate_ngspice::sweep_axis(config.vgs)))
        return problem;
    if (auto problem = axis_mismatch("vds", table.vds, generate_ngspice::sweep_axis(config.vds)))
        return problem;
    const auto names = [](const std::vector<std::string>& list, std::string_view name) {
        return std::any_of(list.begin(), list.end(),
                           [name](const std::string& p) { return ascii_iequals(p, name); });
    };
    for (const std::string& name : table.extracted_op_params) {
        if (!names(config.op_params, name))
            return fmt::cat("operating-point parameter ", fmt::debug_str(name), " not requested");
    }
    // Through the pool a model may lack a requested parameter (a Level-3 card
    // gives no vth), so a table may hold fewer than requested; the native
    // evaluator always gives its own. Reading the kit to tell which path
    // serves is left to the tables that lack one.
    if (config.use_native_bsim4) {
        const auto missing =
            std::find_if(NATIVE_OP_PARAMS.begin(), NATIVE_OP_PARAMS.end(), [&](std::string_view n) {
                return names(config.op_params, n) && !names(table.extracted_op_params, n);
            });
        if (missing != NATIVE_OP_PARAMS.end() && native_path_serves(config))
            return fmt::cat("operating-point parameter ", fmt::debug_str(*missing),
                            " requested but not in the table");
    }
    // The currents are not read for the polarity: a device swept where its
    // channel is off leaks through the drain (gate-induced drain leakage)
    // more as the gate moves away from conduction, just as the other
    // polarity's channel would conduct, and on a card with heavy leakage this
    // reaches any current a channel gives. The key names the device type.
    return std::nullopt;
}

}  // namespace morva::lut::cache
