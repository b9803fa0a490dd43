// How much memory a request may take. With overcommit a larger allocation is
// often granted and the process killed once its pages are touched, so large
// requests are checked against these figures before they are made.
#pragma once

#include <cstdint>

namespace morva {

// Physical memory, or the control group's (container's) limit when lower;
// the largest count when neither can be told.
std::uint64_t physical_memory();

// Physical memory plus swap, or the control group's limit when lower.
std::uint64_t memory_ceiling();

// Whether `count` items of `item_bytes` each, plus `extra_bytes`, stay within
// memory_ceiling() (false when the product overflows).
bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes, std::uint64_t extra_bytes = 0);

}  // namespace morva
