// The shape of a (start, stop, step) sweep, as every sweep of this system
// (characterisation axes, DC solver sweeps) must have it.
#pragma once

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

}  // namespace morva
