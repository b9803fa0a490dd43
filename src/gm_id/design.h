// gm/Id sizing: the operating point of one (width, Vbs) slice of a
// characterisation table that meets gm/Id, intrinsic-gain and current targets.
// The search works in fractional indices of the length, Vgs and Vds axes and
// converts to metres and volts only at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"
#include "lut/table.h"
#include "ngspice/error.h"

namespace morva::gm_id {

enum class ConstraintKind : std::uint8_t { GmId, Gain, Ids };

struct Constraint {
    double target = 0.0;
    ConstraintKind kind = ConstraintKind::GmId;
};

struct DesignResult {
    double w = 0.0;           // gate width (m), scaled for the current target
    double l = 0.0;           // gate length (m), interpolated
    double id = 0.0;          // drain current (A), scaled with W, sign of the table
    double vgs = 0.0;         // gate-source voltage (V), interpolated
    double vds = 0.0;         // drain-source voltage (V): requested or the axis middle
    double gm = 0.0;          // transconductance (S), scaled with W
    double gds = 0.0;         // output conductance (S), scaled with W
    double gm_over_id = 0.0;  // gm/|Id| (1/V)
    double gain = 0.0;        // gm/gds (V/V)
    // One (label, error) per constraint, in constraint order.
    std::vector<std::pair<std::string, double>> constraint_errors;
};

// Sizes one transistor on slice [iw][ib] of `table`. The first constraint of
// each kind is the target used; absent bounds do not filter; `id_min`
// defaults to 1e-12 A. Every failure is NgspiceError::Simulation. Lengths
// are searched from the shortest and Vgs from weak toward strong inversion
// (toward the end farther from 0 V), whichever way the axes were swept;
// gm/Id is formed with |Id|.
Result<DesignResult, NgspiceError> solve_design(const lut::TransistorLut& table, std::size_t iw,
                                                std::size_t ib, const std::vector<Constraint>& constraints,
                                                std::optional<double> vds, std::optional<double> gm_id_min,
                                                std::optional<double> gm_id_max,
                                                std::optional<double> id_min);

// Why these targets and bounds cannot size a device, or nothing when they
// can: a NaN or infinite gm/Id or gain target, a current target that is not
// finite or is zero (the width would be NaN, infinite or zero), a NaN gm/Id
// bound (it would filter nothing) or a NaN or infinite current floor (every
// point would be dropped, leaving the first grid point as the answer). The
// text names the argument as the Python method does.
std::optional<std::string> arguments_problem(const std::vector<Constraint>& constraints,
                                             std::optional<double> gm_id_min, std::optional<double> gm_id_max,
                                             std::optional<double> id_min);

// Why `vds` cannot be a bias point of `table`: it lies outside the Vds axis
// (beyond a rounding of the axis end), where the lookup would answer with
// the axis end's values labelled with the requested voltage. The text names
// the axis range.
std::optional<std::string> vds_problem(const lut::TransistorLut& table, double vds);

// Why a sized result cannot stand: its width is not a finite positive
// number (a current target so large or so small that W overflows to inf or
// underflows to 0).
std::optional<std::string> width_problem(const DesignResult& result);

// `grid` of slice [iw][ib] at fractional indices p (lengths), q (Vgs) and
// x (Vds): bilinear over (length, Vgs) of rows interpolated along Vds.
// Fractions past the last grid point extrapolate from the last interval.
double trilinear_lut(const lut::TransistorLut& table, const lut::Grid5& grid, std::size_t iw, std::size_t ib,
                     double p, double q, double x);

// The fractional index of voltage `v` on the Vds axis, ascending or
// descending (a p-channel sweep runs from 0 down to -VDD), clamped to the axis.
double fractional_vds_index(const std::vector<double>& axis, double v);

}  // namespace morva::gm_id
