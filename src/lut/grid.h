// One five-dimensional grid of a characterisation table, indexed
// [w][vbs][l][vgs][vds], stored flat in row-major order (vds fastest).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace morva::lut {

// An allocator whose value-initialisation leaves doubles as they are: a grid
// about to be filled from a file or by the evaluator skips zeroing megabytes
// it overwrites at once. Sizing with an explicit fill still fills.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A grid's values: resize() leaves new elements unset.
using GridValues = std::vector<double, DefaultInitAllocator<double>>;

struct Grid5 {
    // Extents n_w, n_vbs, n_l, n_vgs, n_vds.
    std::array<std::size_t, 5> dims{0, 0, 0, 0, 0};
    GridValues data;

    Grid5() = default;
    Grid5(std::array<std::size_t, 5> d, double fill) : dims(d), data(element_count(d), fill) {}

    static std::size_t element_count(const std::array<std::size_t, 5>& d) {
        return d[0] * d[1] * d[2] * d[3] * d[4];
    }
    // True when the buffer holds exactly the elements the extents describe.
    bool consistent() const { return data.size() == element_count(dims); }

    std::size_t index(std::size_t w, std::size_t b, std::size_t l, std::size_t g, std::size_t d) const {
        return (((w * dims[1] + b) * dims[2] + l) * dims[3] + g) * dims[4] + d;
    }
    double& at(std::size_t w, std::size_t b, std::size_t l, std::size_t g, std::size_t d) {
        return data[index(w, b, l, g, d)];
    }
    double at(std::size_t w, std::size_t b, std::size_t l, std::size_t g, std::size_t d) const {
        return data[index(w, b, l, g, d)];
    }
};

}  // namespace morva::lut
