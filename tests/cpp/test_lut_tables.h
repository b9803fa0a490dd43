// Synthetic characterisation tables for the table, cache and sizing tests.
#pragma once

#include <unistd.h>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "lut/table.h"

namespace morva::lut::testing {

inline std::vector<double> linspace(double start, double step, std::size_t n) {
    std::vector<double> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<double>(i) * step + start);
    return out;
}

// A smooth long-channel n-channel device (EKV-like interpolation between weak
// and strong inversion): gm/Id peaks near 1 / (n Ut) ~ 29.8 1/V in weak
// inversion and falls with overdrive; channel-length modulation shrinks with
// L, so longer devices have more intrinsic gain.
inline double model_id(double w, double vbs, double l, double vgs, double vds) {
    const double ut = 0.025852, n = 1.3, k = 200e-6;
    const double vt = 0.45 - 0.2 * vbs;
    const double f = std::log1p(std::exp((vgs - vt) / (2.0 * n * ut)));
    const double lambda = 0.2e-6 / l;
    return 2.0 * n * k * (w / l) * ut * ut * f * f * (1.0 - std::exp(-vds / ut)) * (1.0 + lambda * vds);
}

// A table of the model above; gm and gds by the table's own derivatives.
// Operating-point grids are placeholders unless `with_op` is set, in which
// case "cgs" and "vth" are extracted with simple closed forms.
inline TransistorLut model_table(std::vector<double> widths, std::vector<double> vbs_values,
                                 std::vector<double> lengths, std::vector<double> vgs,
                                 std::vector<double> vds, double vgs_step, double vds_step,
                                 bool with_op = false) {
    TransistorLut t;
    t.widths = std::move(widths);
    t.vbs_values = std::move(vbs_values);
    t.lengths = std::move(lengths);
    t.vgs = std::move(vgs);
    t.vds = std::move(vds);
    const auto shape = t.shape();
    t.id = Grid5(shape, 0.0);
    for (std::size_t w = 0; w < shape[0]; ++w)
        for (std::size_t b = 0; b < shape[1]; ++b)
            for (std::size_t l = 0; l < shape[2]; ++l)
                for (std::size_t g = 0; g < shape[3]; ++g)
                    for (std::size_t d = 0; d < shape[4]; ++d)
                        t.id.at(w, b, l, g, d) =
                            model_id(t.widths[w], t.vbs_values[b], t.lengths[l], t.vgs[g], t.vds[d]);
    fill_conductances(t, vgs_step, vds_step);
    for (auto& g : t.op) g = unextracted_grid(shape[0], shape[1], shape[2]);
    if (with_op) {
        Grid5& cgs = t.op[*op_param_index("cgs")];
        Grid5& vth = t.op[*op_param_index("vth")];
        cgs = Grid5(shape, 0.0);
        vth = Grid5(shape, 0.0);
        for (std::size_t i = 0; i < cgs.data.size(); ++i) {
            cgs.data[i] = 1e-15 * static_cast<double>(i % 7 + 1);
            vth.data[i] = 0.45 - 1e-4 * static_cast<double>(i % 5);
        }
        t.extracted_op_params = {"cgs", "vth"};
    }
    return t;
}

// One width, one Vbs: lengths x Vgs 0..1.8 (step 0.05) x Vds 0..1.8 (step 0.1).
inline TransistorLut nmos_table(std::vector<double> lengths = {1e-6}) {
    return model_table({1e-6}, {0.0}, std::move(lengths), linspace(0.0, 0.05, 37), linspace(0.0, 0.1, 19),
                       0.05, 0.1);
}

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/morva-lut-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace morva::lut::testing
