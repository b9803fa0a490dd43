#include "lut/table.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>

#include "common/format.h"

namespace morva::lut {
namespace {

using Dims = std::array<std::size_t, 5>;

std::string dims_text(const Dims& d) {
    return fmt::cat("(", d[0], ", ", d[1], ", ", d[2], ", ", d[3], ", ", d[4], ")");
}

bool is_empty_grid(const Grid5& g) { return g.dims[0] == 0; }

// Copies the block g[w][b][l0 .. l0 + n_l) into a new grid of extents
// (1, 1, n_l, n_vgs, n_vds).
Grid5 copy_block(const Grid5& g, std::size_t w, std::size_t b, std::size_t l0, std::size_t n_l) {
    Grid5 out;
    out.dims = {1, 1, n_l, g.dims[3], g.dims[4]};
    const std::size_t begin = g.index(w, b, l0, 0, 0);
    const std::size_t count = n_l * g.dims[3] * g.dims[4];
    out.data.assign(g.data.begin() + static_cast<std::ptrdiff_t>(begin),
                    g.data.begin() + static_cast<std::ptrdiff_t>(begin + count));
    return out;
}

// A grid may only be indexed where its extents reach; a grid empty at its top
// level (or too small) slices to an empty grid.
Grid5 slice_grid_w_vbs(const Grid5& g, std::size_t wi, std::size_t vi) {
    if (is_empty_grid(g) || wi >= g.dims[0] || vi >= g.dims[1] || !g.consistent()) return Grid5{};
    return copy_block(g, wi, vi, 0, g.dims[2]);
}

Grid5 slice_grid_l(const Grid5& g, std::size_t li) {
    if (is_empty_grid(g) || g.dims[1] == 0 || li >= g.dims[2] || !g.consistent()) return Grid5{};
    return copy_block(g, 0, 0, li, 1);
}

// Buffered writes to a descriptor, 8 KiB at a time.
class BufferedFile {
public:
    explicit BufferedFile(UniqueFd fd) : fd_(std::move(fd)) { buf_.reserve(kSize + 64); }
    std::string& buffer() { return buf_; }
    Result<void, IoError> maybe_flush() { return buf_.size() >= kSize ? flush() : Result<void, IoError>{}; }
    Result<void, IoError> flush() {
        MORVA_TRY(write_all(fd_.get(), buf_));
        buf_.clear();
        return {};
    }

private:
    static constexpr std::size_t kSize = 8192;
    UniqueFd fd_;
    std::string buf_;
};

}  // namespace

std::optional<std::size_t> op_param_index(std::string_view name) {
    for (std::size_t i = 0; i < KNOWN_OP_PARAMS.size(); ++i)
        if (KNOWN_OP_PARAMS[i] == name) return i;
    return std::nullopt;
}

const Grid5* TransistorLut::op_grid(std::string_view name) const {
    auto i = op_param_index(name);
    return i ? &op[*i] : nullptr;
}

std::optional<std::string> TransistorLut::invariant_violation() const {
    if (widths.empty()) return std::string("the width axis is empty");
    if (vbs_values.empty()) return std::string("the Vbs axis is empty");
    if (lengths.empty()) return std::string("the length axis is empty");
    const Dims full = shape();
    const Dims blocks = {full[0], full[1], full[2], 0, 0};
    for (std::size_t i = 0; i < kGridCount; ++i) {
        const Grid5& g = grid(i);
        if (!g.consistent()) return fmt::cat("grid '", GRID_NAMES[i], "' holds a wrong number of values");
    }
    for (std::size_t i = 0; i < 3; ++i)
        if (grid(i).dims != full)
            return fmt::cat("grid '", GRID_NAMES[i], "' has shape ", dims_text(grid(i).dims), ", expected ",
                            dims_text(full));
    std::array<bool, kOpParamCount> extracted{};
    for (const std::string& name : extracted_op_params) {
        auto k = op_param_index(name);
        if (!k) return fmt::cat("unknown operating-point parameter ", fmt::debug_str(name));
        if (extracted[*k])
            return fmt::cat("operating-point parameter ", fmt::debug_str(name), " listed twice");
        extracted[*k] = true;
    }
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        const Dims& d = op[k].dims;
        const bool ok = extracted[k] ? d == full : (is_empty_grid(op[k]) || d == blocks || d == full);
        if (!ok)
            return fmt::cat("grid '", KNOWN_OP_PARAMS[k], "' has shape ", dims_text(d), ", expected ",
                            dims_text(full), extracted[k] ? "" : fmt::cat(" or ", dims_text(blocks)));
    }
    return std::nullopt;
}

std::optional<Grid5> TransistorLut::ft() const {
    const Grid5* cgs = op_grid("cgs");
    const Grid5* cgd = op_grid("cgd");
    if (is_empty_grid(*cgs) || is_empty_grid(*cgd)) return std::nullopt;
    if (cgs->dims != gm.dims || cgd->dims != gm.dims || !gm.consistent()) return std::nullopt;
    Grid5 out;
    out.dims = gm.dims;
    out.data.resize(gm.data.size());
    constexpr double kTwoPi = 6.283185307179586;
    for (std::size_t i = 0; i < out.data.size(); ++i) {
        const double d = std::fabs(cgs->data[i]) + std::fabs(cgd->data[i]);
        out.data[i] = d > 0.0 ? gm.data[i] / (d * kTwoPi) : std::nan("");
    }
    return out;
}

TransistorLut TransistorLut::slice_w_vbs(std::size_t wi, std::size_t vi) const {
    TransistorLut out;
    out.widths = {widths[wi]};
    out.vbs_values = {vbs_values[vi]};
    out.lengths = lengths;
    out.vgs = vgs;
    out.vds = vds;
    for (std::size_t i = 0; i < kGridCount; ++i) out.grid(i) = slice_grid_w_vbs(grid(i), wi, vi);
    out.extracted_op_params = extracted_op_params;
    return out;
}

TransistorLut TransistorLut::slice_l(std::size_t li) const {
    TransistorLut out;
    out.widths = widths;
    out.vbs_values = vbs_values;
    out.lengths = {lengths[li]};
    out.vgs = vgs;
    out.vds = vds;
    for (std::size_t i = 0; i < kGridCount; ++i) out.grid(i) = slice_grid_l(grid(i), li);
    out.extracted_op_params = extracted_op_params;
    return out;
}

Result<void, IoError> TransistorLut::write_csv(const std::string& path) const {
    // Every index below relies on the invariants; a table that breaks them is
    // refused before the file is touched.
    if (auto problem = invariant_violation()) return err(IoError::from_message("invalid table: " + *problem));
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) return err(IoError::from_errno(errno));
    BufferedFile out(std::move(fd));
    std::string& buf = out.buffer();

    std::vector<const Grid5*> extra;
    buf.append("W,Vbs,L,Vgs,Vds,Id,gm,gds");
    for (const std::string& name : extracted_op_params) {
        buf.push_back(',');
        buf.append(name);
        extra.push_back(op_grid(name));
    }
    buf.push_back('\n');

    auto value = [&buf](double v) { fmt::append_exp(buf, v, 6); };
    const Dims n = shape();
    std::size_t at = 0;  // flat index, identical in every full grid
    for (std::size_t w = 0; w < n[0]; ++w)
        for (std::size_t b = 0; b < n[1]; ++b)
            for (std::size_t l = 0; l < n[2]; ++l)
                for (std::size_t g = 0; g < n[3]; ++g)
                    for (std::size_t d = 0; d < n[4]; ++d, ++at) {
                        value(widths[w]);
                        for (double v : {vbs_values[b], lengths[l], vgs[g], vds[d], id.data[at], gm.data[at],
                                         gds.data[at]}) {
                            buf.push_back(',');
                            value(v);
                        }
                        for (const Grid5* grid : extra) {
                            buf.push_back(',');
                            value(grid->data[at]);
                        }
                        buf.push_back('\n');
                        MORVA_TRY(out.maybe_flush());
                    }
    return out.flush();
}

std::optional<std::size_t> nearest_index(const std::vector<double>& axis, double x) {
    if (axis.size() <= 1) return 0;
    if (std::isnan(x)) return std::nullopt;
    std::size_t best = 0;
    double best_distance = std::fabs(axis[0] - x);
    for (std::size_t i = 1; i < axis.size(); ++i) {
        const double distance = std::fabs(axis[i] - x);
        // A NaN distance (NaN axis value) never wins; neither does a NaN best
        // lose to it, so a NaN first value is replaced by any real one.
        if (distance < best_distance || (std::isnan(best_distance) && !std::isnan(distance))) {
            best = i;
            best_distance = distance;
        }
    }
    return best;
}

Result<TransistorLut, std::string> select(const TransistorLut& table, std::optional<double> width,
                                          std::optional<double> vbs, std::optional<double> length) {
    auto pick = [](const std::vector<double>& axis, std::optional<double> x,
                   const char* name) -> Result<std::size_t, std::string> {
        if (!x) return std::size_t{0};
        auto i = nearest_index(axis, *x);
        if (!i) return err(fmt::cat(name, " is NaN: no nearest grid point"));
        return *i;
    };
    MORVA_ASSIGN(const std::size_t wi, pick(table.widths, width, "width"));
    MORVA_ASSIGN(const std::size_t vi, pick(table.vbs_values, vbs, "vbs"));
    TransistorLut out = table.slice_w_vbs(wi, vi);
    if (!length) return out;
    MORVA_ASSIGN(const std::size_t li, pick(out.lengths, length, "length"));
    return out.slice_l(li);
}

void diff_vgs(const double* y, std::size_t n, std::size_t m, double h, double* out) {
    std::fill(out, out + n * m, 0.0);
    if (n < 2 || m == 0) return;
    for (std::size_t j = 0; j < m; ++j) {
        out[j] = (y[m + j] - y[j]) / h;
        for (std::size_t i = 1; i + 1 < n; ++i)
            out[i * m + j] = (y[(i + 1) * m + j] - y[(i - 1) * m + j]) / (h + h);
        out[(n - 1) * m + j] = (y[(n - 1) * m + j] - y[(n - 2) * m + j]) / h;
    }
}

void diff_vds(const double* y, std::size_t n, std::size_t m, double h, double* out) {
    std::fill(out, out + n * m, 0.0);
    if (m < 2) return;
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = y + i * m;
        double* res = out + i * m;
        res[0] = (row[1] - row[0]) / h;
        for (std::size_t j = 1; j + 1 < m; ++j) res[j] = (row[j + 1] - row[j - 1]) / (h + h);
        res[m - 1] = (row[m - 1] - row[m - 2]) / h;
    }
}

void fill_conductances(TransistorLut& t, double vgs_step, double vds_step) {
    t.gm = Grid5(t.id.dims, 0.0);
    t.gds = Grid5(t.id.dims, 0.0);
    const std::size_t n = t.id.dims[3];
    const std::size_t m = t.id.dims[4];
    const std::size_t blocks = t.id.dims[0] * t.id.dims[1] * t.id.dims[2];
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t at = k * n * m;
        diff_vgs(t.id.data.data() + at, n, m, vgs_step, t.gm.data.data() + at);
        diff_vds(t.id.data.data() + at, n, m, vds_step, t.gds.data.data() + at);
    }
}

}  // namespace morva::lut
