// Timing of the native BSIM4 evaluator over a bias grid, for bench/bench_bsim4.py.
//
// Usage: bench_bsim4 CARD POINTS THREADS
//   CARD:   first line "nmos" or "pmos", then "W L", then one "name value" per line
//   POINTS: one "vgs vds vbs id gm gds gmbs vth vdsat" per line (n-channel frame voltages,
//           ngspice's outputs)
// Prints "key value" lines: evaluations per second on one thread and on THREADS threads (one
// model each), on one thread for the values-only evaluations (point by point, without and with
// gmbs, and as grids of the points' Vgs x Vds at each Vbs) and for the drain terminal's grids
// (what native characterisation evaluates), and the largest relative deviations from the given
// outputs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bsim4/native.h"

using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::ParamList;
using morva::bsim4::native::UniqueInstance;

namespace {

struct Point {
    double vgs, vds, vbs, id, gm, gds, gmbs, vth, vdsat;
};

// How the points are evaluated.
enum class Way { Full, Values, ValuesGmbs, Grid, TerminalGrid };

// The sorted distinct values of one coordinate.
std::vector<double> distinct(const std::vector<Point>& points, double Point::*field) {
    std::vector<double> v;
    for (const Point& p : points) v.push_back(p.*field);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// Evaluates the whole grid `repeats` times on a model of its own; returns the seconds taken.
double run(const std::string& type, const ParamList& params, double w, double l,
           const std::vector<Point>& points, int repeats, Way way = Way::Full) {
    auto model = Bsim4Model::from_params(type, params);
    if (!model) return -1.0;
    UniqueInstance inst(bsim4_instance_create(model->handle(), 1, w, l));
    if (!inst) return -1.0;
    const std::vector<double> vgs = distinct(points, &Point::vgs), vds = distinct(points, &Point::vds),
                              vbs = distinct(points, &Point::vbs);
    std::vector<Bsim4DcResults> grid(vgs.size() * vds.size());
    std::vector<Bsim4TerminalResults> terminal(grid.size());
    std::vector<int> codes(grid.size());
    double sink = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeats; ++r) {
        if (way == Way::Grid) {
            for (double b : vbs) {
                bsim4_eval_dc_values_grid(inst.get(), vgs.data(), vgs.size(), vds.data(), vds.size(), b,
                                          300.15, BSIM4_SLOPES_NONE, grid.data(), codes.data());
                sink += grid[0].ids;
            }
            continue;
        }
        if (way == Way::TerminalGrid) {
            for (double b : vbs) {
                bsim4_eval_dc_terminal_grid(inst.get(), vgs.data(), vgs.size(), vds.data(), vds.size(), b,
                                            300.15, grid.data(), terminal.data(), codes.data());
                sink += terminal[0].id;
            }
            continue;
        }
        for (const Point& p : points) {
            Bsim4DcResults out{};
            if (way == Way::Full)
                bsim4_eval_dc(inst.get(), &out, p.vgs, p.vds, p.vbs, 300.15);
            else
                bsim4_eval_dc_values(inst.get(), &out, p.vgs, p.vds, p.vbs, 300.15,
                                     way == Way::Values ? BSIM4_SLOPES_NONE : BSIM4_SLOPES_GMBS);
            sink += out.ids;
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (sink == 12345.678) std::printf("#\n");  // keeps the loop from being optimised away
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_bsim4 CARD POINTS THREADS\n");
        return 2;
    }
    std::ifstream card_in(argv[1]);
    std::string type;
    double w = 0.0, l = 0.0;
    card_in >> type >> w >> l;
    ParamList params;
    std::string name;
    double value;
    while (card_in >> name >> value) params.emplace_back(name, value);
    std::vector<Point> points;
    std::ifstream points_in(argv[2]);
    Point p;
    while (points_in >> p.vgs >> p.vds >> p.vbs >> p.id >> p.gm >> p.gds >> p.gmbs >> p.vth >> p.vdsat)
        points.push_back(p);
    const int threads = std::max(1, std::atoi(argv[3]));
    if (points.empty()) {
        std::fprintf(stderr, "no points\n");
        return 1;
    }

    // Accuracy over the grid.
    auto model = Bsim4Model::from_params(type, params);
    UniqueInstance inst(model ? bsim4_instance_create(model->handle(), 1, w, l) : nullptr);
    if (!inst) {
        std::fprintf(stderr, "the card does not make an instance\n");
        return 1;
    }
    const int sign = type == "pmos" ? -1 : 1;
    double dev_ids = 0, dev_g = 0, dev_v = 0;
    auto rel = [](double a, double b, double floor) {
        return std::fabs(a - b) / std::max(std::fabs(b), floor);
    };
    for (const Point& q : points) {
        Bsim4DcResults r{};
        if (bsim4_eval_dc(inst.get(), &r, q.vgs, q.vds, q.vbs, 300.15) != 0) {
            std::fprintf(stderr, "evaluation failed\n");
            return 1;
        }
        dev_ids = std::max(dev_ids, rel(r.ids, sign * q.id, 1e-18));
        dev_g =
            std::max({dev_g, rel(r.gm, q.gm, 1e-15), rel(r.gds, q.gds, 1e-15), rel(r.gmbs, q.gmbs, 1e-15)});
        dev_v = std::max({dev_v, std::fabs(r.vth - sign * q.vth), std::fabs(r.vdsat - sign * q.vdsat)});
    }

    // Speed: enough repeats for about half a second on one thread.
    int repeats = 1;
    while (run(type, params, w, l, points, repeats) < 0.5 && repeats < (1 << 20)) repeats *= 2;
    const double one = run(type, params, w, l, points, repeats);
    std::vector<double> took(threads);
    std::vector<std::thread> pool;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { took[t] = run(type, params, w, l, points, repeats); });
    for (auto& t : pool) t.join();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const double n = static_cast<double>(points.size()) * repeats;
    std::printf("points %zu\n", points.size());
    std::printf("evals_per_s_1 %.6g\n", n / one);
    std::printf("evals_per_s_threads %.6g\n", n * threads / wall.count());
    std::printf("evals_per_s_values %.6g\n", n / run(type, params, w, l, points, repeats, Way::Values));
    std::printf("evals_per_s_values_gmbs %.6g\n",
                n / run(type, params, w, l, points, repeats, Way::ValuesGmbs));
    const double grid_points =
        static_cast<double>(distinct(points, &Point::vgs).size() * distinct(points, &Point::vds).size() *
                            distinct(points, &Point::vbs).size());
    std::printf("evals_per_s_grid %.6g\n",
                grid_points * repeats / run(type, params, w, l, points, repeats, Way::Grid));
    std::printf("evals_per_s_terminal_grid %.6g\n",
                grid_points * repeats / run(type, params, w, l, points, repeats, Way::TerminalGrid));
    std::printf("max_rel_ids %.3g\n", dev_ids);
    std::printf("max_rel_conductance %.3g\n", dev_g);
    std::printf("max_abs_vth_vdsat %.3g\n", dev_v);
    return 0;
}
