// libFuzzer target: the native evaluator and the DC solver on hostile model
// cards. The bytes choose a device type, a drawn size and a list of
// (parameter, value) pairs, the values drawn from a few telling ones (zero,
// negative, huge, tiny, NaN, infinite) or taken raw. The model is built,
// set up and evaluated over a few bias points and temperatures, and solved
// with series resistances. Whatever the card, no call may crash, hang or
// read uninitialised memory; non-finite results come back as error codes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bsim4/native.h"
#include "bsim4/solver.h"
#include "bsim4_model/model.h"

namespace model = morva::bsim4::model;
namespace native = morva::bsim4::native;
namespace solver = morva::bsim4::solver;

namespace {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    double raw_double() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // A telling value, or (last choice) eight raw bytes.
    double value() {
        static constexpr double kValues[] = {0.0,    1.0,     -1.0,  0.5,    2.0,   1e-9,   -1e-9,
                                             1e-300, -1e-300, 1e300, -1e300, 1e308, -1e308, 3.0,
                                             54.0,   100.0,   1e-6,  1e20,   1e24,  0.1,    -0.5};
        constexpr std::size_t n = sizeof kValues / sizeof kValues[0];
        const std::uint8_t k = byte();
        if (k < n) return kValues[k];
        if (k == n) return std::numeric_limits<double>::quiet_NaN();
        if (k == n + 1) return std::numeric_limits<double>::infinity();
        if (k == n + 2) return -std::numeric_limits<double>::infinity();
        if (k == n + 3) return raw_double();
        return static_cast<double>(k) * 0.01;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    const char* type = in.byte() & 1 ? "pmos" : "nmos";
    const double w = in.byte() & 1 ? in.value() : 1e-6;
    const double l = in.byte() & 1 ? in.value() : 1.8e-7;

    native::ParamList params;
    const std::size_t rows = model::param_table_size();
    for (int k = 0; k < 24 && !in.empty(); ++k) {
        const model::ParamRow& row = model::param_table_row(in.u16() % rows);
        params.emplace_back(row.keyword, in.value());
    }
    std::optional<native::Bsim4Model> m = native::Bsim4Model::from_params(type, params);
    if (!m) return 0;
    native::UniqueInstance inst(m->instance_with_params({}, w, l));
    if (!inst) return 0;

    Bsim4DcResults out{};
    for (const double t : {300.15, 1.0, 600.0})
        for (const auto& [vgs, vds, vbs] : {std::tuple{0.8, 0.6, 0.0}, std::tuple{0.0, 0.0, 0.0},
                                            std::tuple{1.2, -1.2, 0.7}, std::tuple{20.0, 20.0, -20.0}}) {
            (void)bsim4_eval_dc(inst.get(), &out, vgs, vds, vbs, t);
            (void)bsim4_eval_dc_intrinsic(inst.get(), &out, vgs, vds, vbs, t);
        }

    solver::SolverConfig config;
    config.max_iter = 20;
    config.gmin_steps = 3;
    config.source_steps = 3;
    config.trace = true;
    (void)solver::dc_operating_point(config, inst.get(), 0.8, 0.6, 0.0, 0.0);
    (void)solver::dc_operating_point(config, inst.get(), 1.2, -0.6, 0.1, 0.7);
    return 0;
}
