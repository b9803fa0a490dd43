// The shape of a (start, stop, step) sweep, as every sweep of this system
// (characterisation axes, DC solver sweeps) must have it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morva {

// Why (start, stop, step) is no sweep, naming it `name`: a start or stop that
// is not finite, a step that is not finite or is zero, or a step that runs
// away from the stop (which would give the start alone; a descending sweep
// takes a negative step). Nothing for a sweep, however many points it has;
// a sweep that starts at its stop is that one point, whatever its step.
std::optional<std::string> sweep_shape_problem(double start, double stop, double step, std::string_view name);

// The number of points start + i * step of a sweep: (stop - start) / step
// rounded to the nearest whole number (halves away from zero), plus one; a
// negative or NaN quotient counts as none, leaving the start alone. So the
// last point lies within half a step of stop, on either side. Nothing when
// the count does not fit in 64 bits (a zero step, or one tiny beside the
// range).
std::optional<std::uint64_t> sweep_point_count(double start, double stop, double step);

}  // namespace morva
