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

}  // namespace morva
