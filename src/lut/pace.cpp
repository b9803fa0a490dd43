#include "lut/pace.h"

#include <algorithm>

namespace morva::lut::generate_ngspice {

std::size_t parts_worth(const KitPace& pace, std::size_t points, std::size_t units, std::size_t pairs,
                        std::uint64_t workers) {
    if (pace.load_ns == 0 || pairs == 0 || units < 2) return 1;
    // More parts than the workers run at once would make some wait for others.
    const std::uint64_t side_by_side = std::max<std::uint64_t>(1, workers) / pairs;
    // Parts of at least kLoadsPerPart loads' worth of points each. At
    // unsigned __int128 so that no product wraps.
    using Wide = unsigned __int128;
    const Wide affordable =
        static_cast<Wide>(points) * kPointNs / (static_cast<Wide>(pace.load_ns) * kLoadsPerPart);
    const Wide parts = std::min<Wide>({side_by_side, units, affordable});
    return parts < 2 ? 1 : static_cast<std::size_t>(parts);
}

}  // namespace morva::lut::generate_ngspice
