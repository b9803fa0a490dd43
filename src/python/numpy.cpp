#include "python/numpy.h"

#include "python/errors.h"

namespace morva::python {
namespace {

template <class T>
nb::object make_array(std::vector<T>&& data, std::initializer_list<std::size_t> shape) {
    // The vector moves to the heap; the capsule frees it with the last view.
    auto* owned = new std::vector<T>(std::move(data));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    static T empty_sentinel{};
    T* ptr = owned->empty() ? &empty_sentinel : owned->data();
    nb::ndarray<nb::numpy, T, nb::c_contig> array(ptr, shape.size(), shape.begin(), owner);
    return nb::cast(array, nb::rv_policy::reference);
}

}  // namespace

nb::object numpy_array(std::vector<double>&& data, std::initializer_list<std::size_t> shape) {
    return make_array(std::move(data), shape);
}
nb::object numpy_array(std::vector<std::complex<double>>&& data, std::initializer_list<std::size_t> shape) {
    return make_array(std::move(data), shape);
}
nb::object numpy_array(std::vector<std::int32_t>&& data, std::initializer_list<std::size_t> shape) {
    return make_array(std::move(data), shape);
}

nb::object to_array5(const lut::Grid5& grid) {
    if (!grid.consistent())
        throw_py(PyExc_RuntimeError, "ragged 5-D LUT data — this is a bug in LUT generation");
    const auto& d = grid.dims;
    std::vector<double> copy(grid.data.begin(), grid.data.end());
    return numpy_array(std::move(copy), {d[0], d[1], d[2], d[3], d[4]});
}

nb::object lut_field_to_py(const lut::Grid5& grid) {
    const auto& d = grid.dims;
    if (d[0] == 1 && d[1] == 1 && d[2] == 1) {
        if (!grid.consistent())
            throw_py(PyExc_RuntimeError, "ragged Vec<Vec<f64>> — this is a bug in LUT generation");
        std::vector<double> copy(grid.data.begin(), grid.data.end());
        return numpy_array(std::move(copy), {d[3], d[4]});
    }
    if (d[0] == 1 && d[1] == 1 && d[2] >= 2) {
        if (!grid.consistent())
            throw_py(PyExc_RuntimeError, "ragged Vec<Vec<Vec<f64>>> — this is a bug in LUT generation");
        std::vector<double> copy(grid.data.begin(), grid.data.end());
        return numpy_array(std::move(copy), {d[2], d[3], d[4]});
    }
    return to_array5(grid);
}

}  // namespace morva::python
