// NumPy arrays over buffers this system owns, handed over without copying.
// NumPy is imported on the first array creation, never at module import.
#pragma once

#include <complex>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "lut/grid.h"

// The stubs' type of the float64 and int32 arrays below, for `nb::sig` texts.
#define MORVA_F64_ARRAY "numpy.typing.NDArray[numpy.float64]"
#define MORVA_I32_ARRAY "numpy.typing.NDArray[numpy.int32]"

namespace morva::python {

namespace nb = nanobind;

// Moves `data` into a new C-contiguous, writeable NumPy array of `shape`. The
// element count must equal the product of the shape.
nb::object numpy_array(std::vector<double>&& data, std::initializer_list<std::size_t> shape);
nb::object numpy_array(std::vector<std::complex<double>>&& data, std::initializer_list<std::size_t> shape);
nb::object numpy_array(std::vector<std::int32_t>&& data, std::initializer_list<std::size_t> shape);
// One-dimensional conveniences.
inline nb::object numpy_vector(std::vector<double>&& data) {
    const std::size_t n = data.size();
    return numpy_array(std::move(data), {n});
}

// A characterisation grid as an array whose rank follows the swept axes:
// (n_vgs, n_vds) for one width, one Vbs and one length; (n_l, n_vgs, n_vds)
// for one width, one Vbs and several lengths; the full five axes otherwise.
nb::object lut_field_to_py(const lut::Grid5& grid);
// The full (n_w, n_vbs, n_l, n_vgs, n_vds) array of a grid.
nb::object to_array5(const lut::Grid5& grid);

}  // namespace morva::python
