// The values-only evaluations (one point and a grid) against the full evaluation: the same codes,
// and bit for bit the same outputs wherever they are computed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bsim4_model/model.h"
#include "test_bsim4_support.h"

using namespace bsim4_test;
using morva::bsim4::model::VoltageMemo;
using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::UniqueInstance;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<double> axis(double start, double stop, double step, std::initializer_list<double> extra) {
    std::vector<double> v;
    for (int k = 0; start + k * step <= stop + 1e-9; ++k) v.push_back(start + k * step);
    v.insert(v.end(), extra);
    return v;
}

// Every point of the grid evaluated fully, then values only (point by point and as one grid, for
// both slope choices): codes equal, computed outputs bit-identical, the others NaN. Returns the
// number of points that evaluated.
int expect_values_match_full(Bsim4InstanceHandle inst, const std::vector<double>& vgs,
                             const std::vector<double>& vds, const std::vector<double>& vbs, double temp_k,
                             const std::string& label) {
    int evaluated = 0, failures = 0;
    for (const double b : vbs) {
        for (const int slopes : {BSIM4_SLOPES_NONE, BSIM4_SLOPES_GMBS}) {
            std::vector<Bsim4DcResults> grid(vgs.size() * vds.size());
            std::vector<int> codes(grid.size(), 12345);
            if (bsim4_eval_dc_values_grid(inst, vgs.data(), vgs.size(), vds.data(), vds.size(), b, temp_k,
                                          slopes, grid.data(), codes.data()) != BSIM4_OK) {
                ADD_FAILURE() << label << ": the grid call failed";
                return evaluated;
            }
            for (std::size_t i = 0; i < vgs.size(); ++i) {
                for (std::size_t k = 0; k < vds.size(); ++k) {
                    const std::size_t at = i * vds.size() + k;
                    Bsim4DcResults full{}, one{};
                    const int code = bsim4_eval_dc(inst, &full, vgs[i], vds[k], b, temp_k);
                    const int one_code = bsim4_eval_dc_values(inst, &one, vgs[i], vds[k], b, temp_k, slopes);
                    bool ok = one_code == code && codes[at] == code;
                    if (code == BSIM4_OK) {
                        ++evaluated;
                        const double* f = &full.ids;
                        const double* o = &one.ids;
                        const double* g = &grid[at].ids;
                        for (int q = 0; q < 12; ++q) {
                            // gm, gds, gbs, gbd (and gmbs unless asked for) are not computed.
                            const bool computed = !(q == 1 || q == 2 || q == 8 || q == 9 ||
                                                    (q == 3 && slopes == BSIM4_SLOPES_NONE));
                            if (computed)
                                ok = ok && same_bits(o[q], f[q]) && same_bits(g[q], f[q]);
                            else
                                ok = ok && std::isnan(o[q]) && std::isnan(g[q]);
                        }
                    }
                    if (!ok && ++failures <= 5)
                        ADD_FAILURE()
                            << label << ": vgs=" << number(vgs[i]) << " vds=" << number(vds[k])
                            << " vbs=" << number(b) << " T=" << temp_k << " slopes=" << slopes << " codes "
                            << code << " " << one_code << " " << codes[at] << " ids " << number(full.ids)
                            << " " << number(one.ids) << " " << number(grid[at].ids);
                }
            }
        }
    }
    return evaluated;
}

struct Variant {
    const char* label;
    std::vector<std::pair<const char*, double>> params;
};

// Selectors and parameters that take the load down its less common branches.
const std::vector<Variant> kVariants = {
    {"as given", {}},
    {"rdsmod 1", {{"rdsmod", 1}, {"rsw", 80}, {"rdw", 120}, {"rdswmin", 20}}},
    {"mobmod 2, diomod 0", {{"mobmod", 2}, {"diomod", 0}}},
    {"mobmod 3, diomod 2", {{"mobmod", 3}, {"diomod", 2}}},
    {"vtl, lambda", {{"vtl", 2e5}, {"lc", 5e-9}, {"lambda", 0.1}}},
    {"pockets, pdits, a1",
     {{"dvtp0", 1e-7},
      {"dvtp1", 0.2},
      {"dvtp4", 0.3},
      {"dvtp2", 0.05},
      {"pdits", 0.3},
      {"pditsd", 0.5},
      {"a1", 0.1},
      {"a2", 0.8}}},
    {"tunnelling, strong body terms",
     {{"jtss", 1e-5}, {"jtsd", 1e-5}, {"njts", 20}, {"keta", -1.5}, {"pdiblcb", -2}, {"etab", -2}}},
};

}  // namespace

TEST(Bsim4Values, EqualTheFullEvaluationBitForBit) {
    const std::vector<double> vgs = axis(-0.3, 1.5, 0.15, {0.0, 0.45});
    const std::vector<double> vds = axis(-1.2, 1.2, 0.15, {0.0, -0.0, 1e-6, -1e-6, 0.45});
    const std::vector<double> vbs = {-1.2, -0.6, 0.0, 0.3};
    std::vector<Card> cards = {{"nmos", {}}, {"pmos", {}}};
    for (const char* type : {"nmos", "pmos"}) {
        if (auto card = sample_card(type)) {
            set_param(card->params, "rbodymod", 0);
            set_param(card->params, "rgatemod", 0);
            cards.push_back(*card);
        }
    }
    for (const Card& base : cards) {
        for (const Variant& v : kVariants) {
            Card card = base;
            for (const auto& [name, value] : v.params) set_param(card.params, name, value);
            const std::string label =
                card.type + (base.params.empty() ? " defaults, " : " sample, ") + v.label;
            SCOPED_TRACE(label);
            auto model = Bsim4Model::from_params(card.type, card.params);
            ASSERT_TRUE(model);
            UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 0.1e-6));
            ASSERT_TRUE(inst);
            int evaluated = 0;
            for (const double temp_k : {300.15, 423.15})
                evaluated += expect_values_match_full(inst.get(), vgs, vds, vbs, temp_k, label);
            EXPECT_GT(evaluated, 1000);
        }
    }
}

TEST(Bsim4Values, FailingPointsGiveTheFullEvaluationsCodes) {
    // A strongly forward junction overflows in diomod 0; huge series resistances keep the loop
    // from settling; a NaN voltage is an argument error. Each point fails alike in every path.
    auto overflow = Bsim4Model::from_params("nmos", {{"diomod", 0}, {"jsws", 1e-10}});
    UniqueInstance a(bsim4_instance_create(overflow->handle(), 1, 1e-6, 1e-6));
    auto stuck = Bsim4Model::from_params("nmos", {{"rdsmod", 1}, {"rsw", 1e7}, {"rdw", 1e7}});
    UniqueInstance b(bsim4_instance_create(stuck->handle(), 1, 10e-6, 0.1e-6));
    const std::vector<double> vgs = {1.0, 1.5, kNaN};
    const std::vector<double> vds = {1.0, 0.0, -40.0};
    EXPECT_GT(expect_values_match_full(a.get(), vgs, vds, {0.0, 40.0, kNaN}, 300.15, "overflow"), 0);
    EXPECT_GT(expect_values_match_full(b.get(), vgs, vds, {0.0}, 300.15, "no convergence"), 0);

    Bsim4DcResults r{};
    EXPECT_EQ(bsim4_eval_dc_values(a.get(), &r, 1.0, 1.0, 40.0, 300.15, BSIM4_SLOPES_NONE),
              BSIM4_ERR_NOT_FINITE);
    EXPECT_EQ(bsim4_eval_dc_values(b.get(), &r, 1.5, 1.0, 0.0, 300.15, BSIM4_SLOPES_GMBS),
              BSIM4_ERR_NO_CONVERGENCE);
}

TEST(Bsim4Values, ArgumentErrors) {
    auto model = Bsim4Model::from_params("nmos", {});
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, 1e-6, 1e-6));
    Bsim4DcResults r{};
    r.ids = 7;
    EXPECT_EQ(bsim4_eval_dc_values(nullptr, &r, 1, 1, 0, 300.15, BSIM4_SLOPES_NONE), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc_values(inst.get(), nullptr, 1, 1, 0, 300.15, BSIM4_SLOPES_NONE),
              BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc_values(inst.get(), &r, 1, 1, 0, 300.15, 2), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(bsim4_eval_dc_values(inst.get(), &r, 1, 1, 0, -1.0, BSIM4_SLOPES_NONE), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(r.ids, 7);

    const double vgs[2] = {1.0, 1.2}, vds[3] = {0.1, 0.5, 1.0};
    Bsim4DcResults out[6]{};
    int codes[6] = {9, 9, 9, 9, 9, 9};
    const auto grid = [&](Bsim4InstanceHandle i, const double* g, std::size_t ng, const double* d,
                          std::size_t nd, double vbs, double temp, int slopes, Bsim4DcResults* o, int* c) {
        return bsim4_eval_dc_values_grid(i, g, ng, d, nd, vbs, temp, slopes, o, c);
    };
    // Nothing written when the call itself is wrong.
    EXPECT_EQ(grid(nullptr, vgs, 2, vds, 3, 0, 300.15, 0, out, codes), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), nullptr, 2, vds, 3, 0, 300.15, 0, out, codes), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), vgs, 2, nullptr, 3, 0, 300.15, 0, out, codes), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), vgs, 2, vds, 3, 0, 300.15, 0, nullptr, codes), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), vgs, 2, vds, 3, 0, 300.15, 0, out, nullptr), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), vgs, 2, vds, 3, 0, 300.15, -1, out, codes), BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(grid(inst.get(), vgs, SIZE_MAX, vds, 3, 0, 300.15, 0, out, codes), BSIM4_ERR_ARGUMENT);
    for (int c : codes) EXPECT_EQ(c, 9);
    // An empty grid needs no buffers.
    EXPECT_EQ(grid(inst.get(), nullptr, 0, vds, 3, 0, 300.15, 0, nullptr, nullptr), BSIM4_OK);
    // A bad temperature or body bias fails every point, each with its code.
    EXPECT_EQ(grid(inst.get(), vgs, 2, vds, 3, 0, kNaN, 0, out, codes), BSIM4_OK);
    for (int c : codes) EXPECT_EQ(c, BSIM4_ERR_ARGUMENT);
    EXPECT_EQ(
        grid(inst.get(), vgs, 2, vds, 3, std::numeric_limits<double>::infinity(), 300.15, 0, out, codes),
        BSIM4_OK);
    for (int c : codes) EXPECT_EQ(c, BSIM4_ERR_ARGUMENT);
    // An instance that was never set up.
    UniqueInstance raw(bsim4_instance_alloc(model->handle(), 1, 1e-6, 1e-6));
    EXPECT_EQ(grid(raw.get(), vgs, 2, vds, 3, 0, 300.15, 0, out, codes), BSIM4_OK);
    for (int c : codes) EXPECT_EQ(c, BSIM4_ERR_ARGUMENT);
}

TEST(Bsim4Values, VoltageMemoMatchesExactBitsOnly) {
    VoltageMemo<int, 4> memo;
    EXPECT_EQ(memo.find(0.0), nullptr);
    memo.slot(0.0) = 1;
    ASSERT_NE(memo.find(0.0), nullptr);
    EXPECT_EQ(*memo.find(0.0), 1);
    EXPECT_EQ(memo.find(-0.0), nullptr);  // equal, but not the same voltage to the load
    EXPECT_EQ(memo.find(std::nextafter(0.0, 1.0)), nullptr);
    // More voltages than entries: each one found is its own, never a neighbour's.
    for (int k = 0; k < 64; ++k) memo.slot(0.05 * k) = k;
    for (int k = 0; k < 64; ++k) {
        if (const int* v = memo.find(0.05 * k)) {
            EXPECT_EQ(*v, k);
        }
    }
    EXPECT_NE(memo.find(0.05 * 63), nullptr);
}
