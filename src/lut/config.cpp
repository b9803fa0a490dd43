#include "lut/config.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "common/format.h"
#include "common/sweep.h"

namespace morva::lut {

std::optional<std::string> sweep_shape_problem(const SweepRange& range, std::string_view name) {
    return morva::sweep_shape_problem(range.start, range.stop, range.step, name);
}

namespace {

// A sweep whose point count is unbounded or would not fit in memory is
// refused before anything is allocated for it.
std::optional<std::string> sweep_problem(const SweepRange& range, std::string_view name) {
    if (auto problem = sweep_shape_problem(range, name)) return problem;
    const std::size_t n = range.point_count();
    if (n > kMaxSweepPoints)
        return fmt::cat(
            name, " sweep must have at most ", kMaxSweepPoints, " points, got ",
            n == std::numeric_limits<std::size_t>::max() ? std::string("more") : std::to_string(n));
    return std::nullopt;
}

bool all_positive_finite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v) && v > 0.0; });
}

std::vector<double> sorted(std::vector<double> values) {
    std::stable_sort(values.begin(), values.end());
    return values;
}

Result<std::vector<double>, std::string> resolve_lengths(const LutConfigRequest& r) {
    const int given =
        int(r.lengths.has_value()) + int(r.lengths_log.has_value()) + int(r.lengths_values.has_value());
    if (given > 1)
        return err(
            std::string("lengths, lengths_log, lengths_values are mutually exclusive — pass at most one"));
    if (r.lengths) {
        if (auto problem = sweep_problem(*r.lengths, "lengths")) return err(std::move(*problem));
        std::vector<double> points = r.lengths->points();
        if (!all_positive_finite(points))
            return err(std::string("lengths sweep must give strictly positive lengths"));
        return points;
    }
    if (r.lengths_log) {
        const auto& lg = *r.lengths_log;
        if (!(lg.start > 0.0) || !(lg.stop > 0.0))
            return err(std::string("lengths_log requires strictly positive start and stop"));
        if (lg.count == 0) return err(std::string("lengths_log requires at least 1 point"));
        if (std::isinf(lg.start) || std::isinf(lg.stop))
            return err(std::string("lengths_log requires finite start and stop"));
        if (lg.count > kMaxSweepPoints)
            return err(
                fmt::cat("lengths_log must have at most ", kMaxSweepPoints, " points, got ", lg.count));
        return logspace_lengths(static_cast<std::size_t>(lg.count), lg.start, lg.stop);
    }
    if (r.lengths_values) {
        if (r.lengths_values->empty()) return err(std::string("lengths_values must not be empty"));
        if (!all_positive_finite(*r.lengths_values))
            return err(std::string("lengths_values must contain strictly positive finite numbers"));
        return sorted(*r.lengths_values);
    }
    // The single value obeys the rule of the list it stands for.
    if (!(std::isfinite(r.length) && r.length > 0.0))
        return err(std::string("length must be a strictly positive finite number"));
    return std::vector<double>{r.length};
}

}  // namespace

std::size_t SweepRange::point_count() const {
    return morva::sweep_point_count(start, stop, step).value_or(std::numeric_limits<std::size_t>::max());
}

std::vector<double> SweepRange::points() const {
    const std::size_t n = point_count();
    assert(n <= kMaxSweepPoints && "sweep not checked by resolve_config");
    std::vector<double> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<double>(i) * step + start);
    return out;
}

std::vector<double> logspace_lengths(std::size_t n, double start, double stop) {
    if (n == 0) return {};
    if (n == 1) return {start};
    assert(start > 0.0 && stop > 0.0 && "logspace_lengths requires strictly positive start/stop");
    const double a = std::log(start);
    const double b = std::log(stop);
    std::vector<double> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(std::exp((static_cast<double>(i) * (b - a)) / static_cast<double>(n - 1) + a));
    return out;
}

Result<DeviceType, std::string> parse_device_type(std::string_view text) {
    if (text == "nmos") return DeviceType::Nmos;
    if (text == "pmos") return DeviceType::Pmos;
    return err(fmt::cat("device_type must be 'nmos' or 'pmos', got '", text, "'"));
}

std::string_view device_type_name(DeviceType type) { return type == DeviceType::Pmos ? "pmos" : "nmos"; }

Result<LutConfig, std::string> resolve_config(const LutConfigRequest& r) {
    LutConfig c;
    MORVA_ASSIGN(c.lengths, resolve_lengths(r));

    if (r.widths_values) {
        if (r.widths_values->empty()) return err(std::string("widths_values must not be empty"));
        if (!all_positive_finite(*r.widths_values))
            return err(std::string("widths_values must contain strictly positive finite numbers"));
        c.widths = sorted(*r.widths_values);
    } else {
        if (!(std::isfinite(r.width) && r.width > 0.0))
            return err(std::string("width must be a strictly positive finite number"));
        c.widths = {r.width};
    }

    if (r.vbs_values) {
        if (r.vbs_values->empty()) return err(std::string("vbs_values must not be empty"));
        // NaN has no place in an ascending order.
        if (std::any_of(r.vbs_values->begin(), r.vbs_values->end(), [](double v) { return std::isnan(v); }))
            return err(std::string("vbs_values must not contain NaN"));
        // A bias no netlist can carry and no device can hold.
        if (std::any_of(r.vbs_values->begin(), r.vbs_values->end(), [](double v) { return std::isinf(v); }))
            return err(std::string("vbs_values must not contain infinities"));
        c.vbs_values = sorted(*r.vbs_values);
    } else {
        if (std::isnan(r.vbs)) return err(std::string("vbs must not be NaN"));
        if (std::isinf(r.vbs)) return err(std::string("vbs must not be infinite"));
        c.vbs_values = {r.vbs};
    }

    if (auto problem = sweep_problem(r.vgs, "vgs")) return err(std::move(*problem));
    if (auto problem = sweep_problem(r.vds, "vds")) return err(std::move(*problem));
    c.vgs = r.vgs;
    c.vds = r.vds;

    c.model_card = r.model_card;
    c.model_file = r.model_file;
    c.model_section = r.model_section;
    c.model_name = r.model_name ? *r.model_name : (r.device_type == "pmos" ? "pch" : "nch");
    c.subcircuit = r.subcircuit;
    c.width_param = r.width_param;
    c.length_param = r.length_param;
    c.model_includes = r.model_includes;
    c.device_name = r.device_name;
    c.op_params = r.op_params;
    c.use_native_bsim4 = r.use_native_bsim4;
    c.subcircuit_name = r.subcircuit_name;
    c.use_dc_solver = r.use_dc_solver;
    return c;
}

}  // namespace morva::lut
