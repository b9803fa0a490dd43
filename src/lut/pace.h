// Whether a (W, L) pair's sweeps are worth splitting over several workers.
// Each part loads the kit's circuit again: splitting a pair into k parts costs
// k - 1 more loads and saves the pair's wall time (1 - 1/k) of its sweeps.
// On a kit that is slow to load (a foundry kit's library) the loads dominate
// and a pair stays whole; on a small card they cost next to nothing and the
// parts fill the workers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva::lut::generate_ngspice {

// What the kit's circuit takes to load, as the worker timed it (the probe's
// loads, kept by a pool for later calls); 0 when unknown.
struct KitPace {
    std::uint64_t load_ns = 0;
};

// A point of a sweep, as fast as ngspice solves one for a BSIM4 device on a
// fast core: the sweeps' cost is never overrated, so a pair is split only
// where its sweeps outweigh the loads even at this pace.
inline constexpr std::uint64_t kPointNs = 2'000;
// Each part's sweeps must take at least this many loads of the kit.
inline constexpr std::uint64_t kLoadsPerPart = 2;

// Into how many parts each of `pairs` pairs is worth splitting on `workers`
// workers, when its sweeps have `points` points and split into at most
// `units` parts: no more than the workers hold side by side, and none whose
// sweeps take less than kLoadsPerPart loads. 1 (whole) when the load is
// unknown.
std::size_t parts_worth(const KitPace& pace, std::size_t points, std::size_t units, std::size_t pairs,
                        std::uint64_t workers);

}  // namespace morva::lut::generate_ngspice
