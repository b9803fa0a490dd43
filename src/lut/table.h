// The characterisation table: five axes and fifteen grids indexed
// [w][vbs][l][vgs][vds], with its own operations (derivatives, transit
// frequency, slicing, CSV).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/io.h"
#include "common/result.h"
#include "lut/grid.h"

namespace morva::lut {

// The operating-point parameters a table can hold, in grid order. Every
// twelve-flag parameter mask is indexed by this list.
inline constexpr std::size_t kOpParamCount = 12;
inline constexpr std::array<std::string_view, kOpParamCount> KNOWN_OP_PARAMS = {
    "cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat", "von"};

// Index of `name` in KNOWN_OP_PARAMS (exact, case-sensitive match).
std::optional<std::size_t> op_param_index(std::string_view name);

// The fifteen grids in field order: id, gm, gds, then KNOWN_OP_PARAMS.
inline constexpr std::size_t kGridCount = 3 + kOpParamCount;
inline constexpr std::array<std::string_view, kGridCount> GRID_NAMES = {
    "id", "gm", "gds", "cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat", "von"};

struct TransistorLut {
    std::vector<double> widths;
    std::vector<double> vbs_values;
    std::vector<double> lengths;
    std::vector<double> vgs;
    std::vector<double> vds;
    Grid5 id;
    Grid5 gm;
    Grid5 gds;
    // Operating-point grids in KNOWN_OP_PARAMS order. A grid that was not
    // extracted is either empty or has the width x Vbs x length extents with
    // empty Vgs x Vds blocks (see `unextracted_grid`).
    std::array<Grid5, kOpParamCount> op;
    // Names of the operating-point grids actually extracted, in the order the
    // generator lists them.
    std::vector<std::string> extracted_op_params;

    // Grid `i` of GRID_NAMES.
    Grid5& grid(std::size_t i) { return i == 0 ? id : i == 1 ? gm : i == 2 ? gds : op[i - 3]; }
    const Grid5& grid(std::size_t i) const { return const_cast<TransistorLut*>(this)->grid(i); }
    // The operating-point grid named `name`, or null for an unknown name.
    const Grid5* op_grid(std::string_view name) const;

    // (n_w, n_vbs, n_l, n_vgs, n_vds): the lengths of the five axes.
    std::array<std::size_t, 5> shape() const {
        return {widths.size(), vbs_values.size(), lengths.size(), vgs.size(), vds.size()};
    }

    // Why the table breaks its invariants (non-empty width, Vbs and length
    // axes; id, gm, gds and every extracted grid of the full shape; the other
    // operating-point grids empty or with empty blocks; extracted names known
    // and distinct), or nothing when it keeps them.
    std::optional<std::string> invariant_violation() const;

    // Transit frequency gm / (2 pi (|cgs| + |cgd|)), NaN where the sum is not
    // positive; nothing when the cgs or cgd grid is empty.
    std::optional<Grid5> ft() const;

    // The table reduced to width index `wi` and Vbs index `vi`.
    TransistorLut slice_w_vbs(std::size_t wi, std::size_t vi) const;
    // The table (already reduced to one width and one Vbs) reduced to length
    // index `li`.
    TransistorLut slice_l(std::size_t li) const;

    // Writes the table as CSV, one row per grid point (vds fastest).
    Result<void, IoError> write_csv(const std::string& path) const;
};

// A placeholder for a grid that was not extracted: the width x Vbs x length
// nesting with every Vgs x Vds block empty.
inline Grid5 unextracted_grid(std::size_t n_w, std::size_t n_vbs, std::size_t n_l) {
    return Grid5({n_w, n_vbs, n_l, 0, 0}, 0.0);
}

// Index of the axis value nearest to `x` (the lowest index on ties); 0 on an
// axis of zero or one value. Nothing when x is NaN on a longer axis.
std::optional<std::size_t> nearest_index(const std::vector<double>& axis, double x);

// The table at the nearest grid points: always one width and one Vbs (the
// first when not given), and one length only when `length` is given. The
// error names the NaN query that has no nearest point.
Result<TransistorLut, std::string> select(const TransistorLut& table, std::optional<double> width,
                                          std::optional<double> vbs, std::optional<double> length);

// Derivatives of one Vgs x Vds matrix `y` (row-major, `n_vgs` rows of `n_vds`
// values) into `out` (same layout): along Vgs with step `h` for gm, along Vds
// for gds. Forward difference at the first point, backward at the last,
// central in between; a single point gives 0.
void diff_vgs(const double* y, std::size_t n_vgs, std::size_t n_vds, double h, double* out);
void diff_vds(const double* y, std::size_t n_vgs, std::size_t n_vds, double h, double* out);

// Fills `gm` and `gds` from `id`, block by block, with the configured sweep
// steps (not the spacing of the axis values).
void fill_conductances(TransistorLut& table, double vgs_step, double vds_step);

}  // namespace morva::lut
