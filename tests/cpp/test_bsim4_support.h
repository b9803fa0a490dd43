// Helpers of the BSIM4 evaluator tests: sample cards, and ngspice as the oracle (run in batch mode
// on a generated deck, results written at full precision).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bsim4/native.h"
#include "bsim4_model/bsim4.h"

namespace bsim4_test {

using morva::bsim4::native::ParamList;

struct Card {
    std::string type;  // "nmos" or "pmos"
    ParamList params;
    int sign() const { return type == "pmos" ? -1 : 1; }
};

inline std::filesystem::path samples_dir() {
    if (const char* env = std::getenv("MORVA_SAMPLES")) return env;
    return MORVA_SAMPLES_DIR;
}

// The full-featured sample card of a device type ("nmos"/"pmos"), or nothing when absent.
// Lines read "+ name = (value)".
inline std::optional<Card> sample_card(const std::string& type) {
    std::ifstream in(samples_dir() / "bsim4" / (type + "_parameters_" + type + "Parameters"));
    if (!in) return std::nullopt;
    Card card{type, {}};
    std::string line;
    while (std::getline(in, line)) {
        const auto plus = line.find('+'), eq = line.find('='), open = line.find('('), close = line.find(')');
        if (plus == std::string::npos || eq == std::string::npos || open == std::string::npos ||
            close == std::string::npos || close < open)
            continue;
        std::istringstream name_in(line.substr(plus + 1, eq - plus - 1));
        std::string name;
        name_in >> name;
        card.params.emplace_back(name, std::stod(line.substr(open + 1, close - open - 1)));
    }
    return card;
}

// Sets (or replaces) a parameter of a card.
inline void set_param(ParamList& params, const std::string& name, double value) {
    for (auto& [n, v] : params)
        if (n == name) {
            v = value;
            return;
        }
    params.emplace_back(name, value);
}

inline bool ngspice_available() {
    static const bool available = std::system("ngspice -v >/dev/null 2>&1") == 0;
    return available;
}

// A temporary directory removed when the object goes.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "morva-bsim4-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

struct Sweep {
    double vgs_start = 0.0, vgs_stop = 0.0, vgs_step = 1.0;
    double vds_start = 0.0, vds_stop = 0.0, vds_step = 1.0;
    std::vector<double> vbs = {0.0};
};

struct Device {
    double w = 1e-6, l = 0.18e-6;
    int nf = 1;
    ParamList inst;  // instance parameters
};

// One solved point of ngspice, voltages in the n-channel frame, outputs as ngspice reports them.
struct Point {
    double vgs, vds, vbs;
    double id, gm, gds, gmbs, vth, vdsat, ibs, ibd, gbs, gbd;
};

inline std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// One transistor of a comparison deck: its card and its instance.
struct Case {
    Card card;
    Device dev;
    std::string label;
};

// Runs the sweeps in ngspice over several transistors at once (all on the same three sources):
// for each vbs, a DC sweep of vds (inner) and vgs (outer). Returns, for each case, rows of the
// n-channel frame's vgs, vds, vbs followed by the device's `quantities` (names inside @m[...]) as
// ngspice reports them.
inline std::vector<std::vector<std::vector<double>>> ngspice_quantities(
    const std::vector<Case>& cases, const std::vector<Sweep>& sweeps,
    const std::vector<std::string>& quantities, double temp_c = 27.0, const std::string& options = "") {
    TempDir dir;
    const int s = cases.at(0).card.sign();
    std::ostringstream deck;
    deck << "bsim4 comparison\n";
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        deck << ".model mdl" << k << " " << c.card.type << " level=54 version=4.8.2\n";
        for (const auto& [name, value] : c.card.params) deck << "+ " << name << "=" << number(value) << "\n";
        deck << "m" << k << " d g 0 b mdl" << k << " w=" << number(c.dev.w) << " l=" << number(c.dev.l);
        if (c.dev.nf != 1) deck << " nf=" << c.dev.nf;
        for (const auto& [name, value] : c.dev.inst) deck << " " << name << "=" << number(value);
        deck << "\n";
    }
    deck << "vd d 0 0\nvg g 0 0\nvb b 0 0\n.options temp=" << number(temp_c) << " " << options << "\n";
    deck << ".control\nset wr_singlescale\nset appendwrite\nset numdgt=17\n";
    auto vectors = [&](std::size_t k) {
        std::string v = "v(g) v(d) v(b)";
        for (const std::string& q : quantities) v += " @m" + std::to_string(k) + "[" + q + "]";
        return v;
    };
    for (std::size_t k = 0; k < cases.size(); ++k) deck << "save " << vectors(k) << "\n";
    for (const Sweep& sw : sweeps) {
        for (double vb : sw.vbs) {
            deck << "alter vb dc = " << number(s * vb) << "\n";
            deck << "dc vd " << number(s * sw.vds_start) << " " << number(s * sw.vds_stop) << " "
                 << number(s * sw.vds_step) << " vg " << number(s * sw.vgs_start) << " "
                 << number(s * sw.vgs_stop) << " " << number(s * sw.vgs_step) << "\n";
            for (std::size_t k = 0; k < cases.size(); ++k)
                deck << "wrdata " << (dir.path / ("out" + std::to_string(k) + ".txt")).string() << " "
                     << vectors(k) << "\n";
        }
    }
    deck << ".endc\n.end\n";
    std::ofstream(dir.path / "deck.cir") << deck.str();
    const std::string cmd = "cd '" + dir.path.string() + "' && ngspice -b deck.cir >log.txt 2>&1";
    // ngspice -b exits with 1 even after a clean run: the written data is what counts.
    (void)std::system(cmd.c_str());
    const std::size_t columns = 4 + quantities.size();  // the sweep's scale, then the vectors
    std::vector<std::vector<std::vector<double>>> all(cases.size());
    for (std::size_t k = 0; k < cases.size(); ++k) {
        std::ifstream in(dir.path / ("out" + std::to_string(k) + ".txt"));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream row(line);
            std::vector<double> c;
            for (double x; c.size() < columns && (row >> x);) c.push_back(x);
            if (c.size() != columns) continue;  // a header line
            std::vector<double> point = {s * c[1], s * c[2], s * c[3]};
            point.insert(point.end(), c.begin() + 4, c.end());
            all[k].push_back(std::move(point));
        }
        if (all[k].empty()) {
            std::ifstream log(dir.path / "log.txt");
            std::stringstream text;
            text << log.rdbuf();
            ADD_FAILURE() << "ngspice wrote no data for " << cases[k].label << "\n"
                          << deck.str() << "\n"
                          << text.str();
        }
    }
    return all;
}

// ngspice_quantities of the drain current, its slopes, vth, vdsat and the junctions, as Points.
inline std::vector<std::vector<Point>> ngspice_sweeps(const std::vector<Case>& cases,
                                                      const std::vector<Sweep>& sweeps, double temp_c,
                                                      const std::string& options = "") {
    const auto rows = ngspice_quantities(
        cases, sweeps, {"id", "gm", "gds", "gmbs", "vth", "vdsat", "ibs", "ibd", "gbs", "gbd"}, temp_c,
        options);
    std::vector<std::vector<Point>> all(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        for (const auto& c : rows[k])
            all[k].push_back(
                {c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12]});
    }
    return all;
}

// Largest relative deviation of a against b, with an absolute floor.
inline double rel_dev(double a, double b, double floor) {
    return std::fabs(a - b) / std::max(std::fabs(b), floor);
}

struct Tolerances {
    double rel = 1e-9;
    double current_floor = 1e-18;
    double conductance_floor = 1e-15;
    double voltage_abs = 1e-9;
    double junction_abs = 1e-18;  // ngspice's node residuals leave ~1e-23 A at a 0 V junction
};

// Evaluates every ngspice point natively and checks the agreement; returns the worst relative
// deviation of the drain current.
inline double compare_with_ngspice(Bsim4InstanceHandle inst, int sign, const std::vector<Point>& points,
                                   double temp_c, const std::string& label, Tolerances tol = {}) {
    double worst_id = 0.0;
    double worst[10] = {};
    int failures = 0;
    for (const Point& p : points) {
        Bsim4DcResults r{};
        const int code = bsim4_eval_dc_intrinsic(inst, &r, p.vgs, p.vds, p.vbs, temp_c + 273.15);
        if (code != 0) {
            ADD_FAILURE() << label << ": code " << code << " at vgs=" << p.vgs << " vds=" << p.vds
                          << " vbs=" << p.vbs;
            if (++failures > 5) return worst_id;
            continue;
        }
        const double d_id = rel_dev(r.ids, sign * p.id, tol.current_floor);
        worst_id = std::max(worst_id, d_id);
        struct Item {
            const char* name;
            double dev, limit;
        } items[] = {
            {"ids", d_id, tol.rel},
            {"gm", rel_dev(r.gm, p.gm, tol.conductance_floor), tol.rel},
            {"gds", rel_dev(r.gds, p.gds, tol.conductance_floor), tol.rel},
            {"gmbs", rel_dev(r.gmbs, p.gmbs, tol.conductance_floor), tol.rel},
            {"vth", std::fabs(r.vth - sign * p.vth), tol.voltage_abs},
            {"vdsat", std::fabs(r.vdsat - sign * p.vdsat), tol.voltage_abs},
            {"cbs", rel_dev(r.cbs, p.ibs, tol.junction_abs / tol.rel), tol.rel},
            {"cbd", rel_dev(r.cbd, p.ibd, tol.junction_abs / tol.rel), tol.rel},
            {"gbs", rel_dev(r.gbs, p.gbs, tol.conductance_floor), tol.rel},
            {"gbd", rel_dev(r.gbd, p.gbd, tol.conductance_floor), tol.rel},
        };
        for (std::size_t q = 0; q < std::size(items); ++q) worst[q] = std::max(worst[q], items[q].dev);
        for (const Item& it : items) {
            if (!(it.dev <= it.limit)) {
                ADD_FAILURE() << label << ": " << it.name << " off by " << it.dev
                              << " at vgs=" << number(p.vgs) << " vds=" << number(p.vds)
                              << " vbs=" << number(p.vbs) << " (ids " << r.ids << " vs " << sign * p.id
                              << ", gm " << r.gm << " vs " << p.gm << ", gds " << r.gds << " vs " << p.gds
                              << ", gmbs " << r.gmbs << " vs " << p.gmbs << ", vth " << r.vth << " vs "
                              << sign * p.vth << ", vdsat " << r.vdsat << " vs " << sign * p.vdsat << ", cbs "
                              << r.cbs << " vs " << p.ibs << ", cbd " << r.cbd << " vs " << p.ibd << ")";
                if (++failures > 5) return worst_id;
            }
        }
    }
    if (std::getenv("MORVA_BSIM4_VERBOSE"))
        std::printf(
            "%-40s %4zu points  ids %.1e gm %.1e gds %.1e gmbs %.1e vth %.1e vdsat %.1e cbs %.1e cbd %.1e\n",
            label.c_str(), points.size(), worst[0], worst[1], worst[2], worst[3], worst[4], worst[5],
            worst[6], worst[7]);
    return worst_id;
}

}  // namespace bsim4_test
