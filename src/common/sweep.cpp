#include "common/sweep.h"

#include <cmath>

#include "common/format.h"

namespace morva {

std::optional<std::string> sweep_shape_problem(double start, double stop, double step,
                                               std::string_view name) {
    if (!std::isfinite(start) || !std::isfinite(stop))
        return fmt::cat(name, " start and stop must be finite numbers, got start=", fmt::display(start),
                        " stop=", fmt::display(stop));
    if (!std::isfinite(step) || step == 0.0)
        return fmt::cat(name, " step must be a finite non-zero number, got ", fmt::display(step));
    // Such a step would give the single point start: a sign slip, not a sweep.
    if ((stop > start && step < 0.0) || (stop < start && step > 0.0))
        return fmt::cat(name, " step ", fmt::display(step), " runs away from stop ", fmt::display(stop),
                        " (start ", fmt::display(start), "): give it the sign of stop - start");
    return std::nullopt;
}

std::optional<std::uint64_t> sweep_point_count(double start, double stop, double step) {
    const double n = std::round((stop - start) / step);
    if (!(n >= 0.0)) return 1;
    // 2^64: every double below it is at most 2^64 - 2048, so n + 1 fits.
    if (n >= 18446744073709551616.0) return std::nullopt;
    return static_cast<std::uint64_t>(n) + 1;
}

}  // namespace morva
