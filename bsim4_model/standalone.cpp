// The flat interface: model and instance records, setup, and the DC evaluation with the optional
// series-resistance iteration.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "bsim4_model/bsim4.h"
#include "bsim4_model/model.h"

using namespace morva::bsim4::model;

namespace {

constexpr double kTempTolerance = 1e-3;  // K within which the last temperature update stands
constexpr int kMaxResistanceLoads = 101;

bool ascii_iequal(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

struct SeriesResistance {
    double rs = 0.0, rd = 0.0;
};

// One series resistance of rdsmod 1 with its slopes with respect to its gate and body voltages.
struct Resistance {
    double r = 0.0, dg = 0.0, db = 0.0;
};
Resistance resistance_with_slopes(const SizeParams& s, double floor, double coefficient, double vg,
                                  double vb) {
    const double t0 = vg - s.vfbsd;
    const double root0 = std::sqrt(t0 * t0 + 1.0e-4);
    const double e = 0.5 * (t0 + root0), de = 0.5 * (1.0 + t0 / root0);
    const double q = 1.0 + s.b.prwg * e;
    const double t2 = 1.0 / q - s.b.prwb * vb;
    const double root2 = std::sqrt(t2 * t2 + 0.01);
    const double dt3 = (1.0 + t2 / root2) * coefficient * 0.5;
    return {floor + (t2 + root2) * (coefficient * 0.5), dt3 * (-s.b.prwg * de / (q * q)), dt3 * -s.b.prwb};
}

// The bias-dependent external source and drain resistances of rdsmod 1.
SeriesResistance external_resistance(const SizeParams& s, double vgs, double vds, double vbs) {
    return {resistance_with_slopes(s, s.rswmin, s.rs0, vgs, vbs).r,
            resistance_with_slopes(s, s.rdwmin, s.rd0, vgs - vds, vbs - vds).r};
}

bool has_series_resistance(const Model& m, const SizeParams& s) {
    return m.p.rdsmod == 1 && (s.rs0 > 0.0 || s.rswmin > 0.0 || s.rd0 > 0.0 || s.rdwmin > 0.0);
}

// How the loads of one evaluation are done: the full load, or the values (and gmbs when N is 1)
// with the memo of a sweep.
struct FullLoad {
    static constexpr bool kAll = true, kGmbs = true;
    LoadMemo<3>* memo = nullptr;
    void operator()(const Model& m, Instance& inst) const { BSIM4load(m, inst, memo); }
};
template <int N>
struct ValuesLoad {
    static constexpr bool kAll = false, kGmbs = N == 1;
    LoadMemo<N>* memo = nullptr;
    void operator()(const Model& m, Instance& inst) const { BSIM4load_values<N>(m, inst, memo); }
};

template <class Load>
void load_at(const Load& load, Model& m, Instance& inst, double vgs, double vds, double vbs) {
    inst.vgs_in = vgs;
    inst.vds_in = vds;
    inst.vbs_in = vbs;
    load(m, inst);
}

struct Bias {
    double vgs, vds, vbs;
};

// Internal voltages behind the series resistances for a drain current i (signed, into the drain).
// The drop never takes the drain-source voltage across zero.
Bias reduce(const Bias& applied, double i, const SeriesResistance& r) {
    Bias b{applied.vgs - i * r.rs, applied.vds - i * (r.rs + r.rd), applied.vbs - i * r.rs};
    if ((applied.vds > 0.0 && b.vds < 0.0) || (applied.vds < 0.0 && b.vds > 0.0)) b.vds = 0.0;
    return b;
}

// Iterates the drain current through Rs and Rd until the intrinsic device carries the current
// that produces its own drops. The last load stands in the instance; returns its bias.
template <class Load>
int iterate_series_resistance(const Load& load, Model& m, Instance& inst, const Bias& applied, Bias* last) {
    const SizeParams& s = *inst.size;
    double i = inst.mode * inst.cd;
    SeriesResistance r = external_resistance(s, applied.vgs, applied.vds, applied.vbs);
    Bias v = reduce(applied, i, r);
    load_at(load, m, inst, v.vgs, v.vds, v.vbs);
    for (int loads = 2;; ++loads) {
        const double di = 0.3 * (inst.mode * inst.cd - i);
        if (std::fabs(di) / std::max(std::fabs(i + di), 1e-15) < 1e-6) break;
        if (loads >= kMaxResistanceLoads) return BSIM4_ERR_NO_CONVERGENCE;
        i += di;
        const Bias w = reduce(applied, i, r);
        r = external_resistance(s, w.vgs, w.vds, w.vbs);
        v = reduce(applied, i, r);
        load_at(load, m, inst, v.vgs, v.vds, v.vbs);
    }
    *last = v;
    return BSIM4_OK;
}

bool valid_temperature(double temperature_k) { return std::isfinite(temperature_k) && temperature_k > 0.0; }

// With the model's lock held: brings the model to the temperature. 0, or the code every
// evaluation at this temperature returns.
int prepare(Model& m, Instance& inst, double temperature_k) {
    if (!inst.setup_done) return BSIM4_ERR_ARGUMENT;
    if (std::fabs(temperature_k - m.cached_temp) > kTempTolerance) {
        m.ctx_temp = temperature_k;
        BSIM4temp(m);
        m.cached_temp = temperature_k;
    }
    if (inst.temp_status != BSIM4_OK) return inst.temp_status;
    if (!inst.size) return BSIM4_ERR_ARGUMENT;
    m.ctx_temp = temperature_k;
    return BSIM4_OK;
}

// The drain terminal's record of the last load. When the load was iterated through the series
// resistances, its slopes are those seen from the applied voltages: the intrinsic voltages
// v = V - (rs, rs + rd, rs) c move with the channel current c and with the resistances' own
// bias dependence, so dv = M^-1 dV and the slopes are M^-T applied to the intrinsic ones.
Bsim4TerminalResults terminal_record(const Model& m, const Instance& inst, const Bias* through) {
    double t[3] = {inst.gdrain_g, inst.gdrain_d, inst.gdrain_b};
    if (through) {
        const SizeParams& s = *inst.size;
        const Bias& v = *through;
        const Resistance rs = resistance_with_slopes(s, s.rswmin, s.rs0, v.vgs, v.vbs);
        const Resistance rd = resistance_with_slopes(s, s.rdwmin, s.rd0, v.vgs - v.vds, v.vbs - v.vds);
        // The channel current into the drain and its slopes in the physical voltages.
        const double c = inst.mode * inst.cd;
        double gc[3] = {inst.gm, inst.gds, inst.gmbs};
        if (inst.mode != 1) gc[0] = -inst.gm, gc[1] = inst.gm + inst.gds + inst.gmbs, gc[2] = -inst.gmbs;
        const double a[3] = {rs.r, rs.r + rd.r, rs.r};
        const double jg[3] = {rs.dg, 0.0, rs.db};
        const double jd[3] = {rs.dg + rd.dg, -(rd.dg + rd.db), rs.db + rd.db};
        const double* j[3] = {jg, jd, jg};
        // Solve M^T y = t with M[i][k] = [i == k] + a[i] gc[k] + c j[i][k].
        double mt[3][4];
        for (int k = 0; k < 3; ++k) {
            for (int i = 0; i < 3; ++i) mt[k][i] = (i == k ? 1.0 : 0.0) + a[i] * gc[k] + c * j[i][k];
            mt[k][3] = t[k];
        }
        for (int col = 0; col < 3; ++col) {
            int pivot = col;
            for (int row = col + 1; row < 3; ++row)
                if (std::fabs(mt[row][col]) > std::fabs(mt[pivot][col])) pivot = row;
            std::swap(mt[col], mt[pivot]);
            for (int row = 0; row < 3; ++row) {
                if (row == col) continue;
                const double f = mt[row][col] / mt[col][col];
                for (int k = col; k < 4; ++k) mt[row][k] -= f * mt[col][k];
            }
        }
        for (int k = 0; k < 3; ++k) t[k] = mt[k][3] / mt[k][k];
    }
    return {m.type * inst.idrain, t[0],       t[1],       t[2],        inst.isub,   inst.igidl,
            inst.igisl,           inst.igs.i, inst.igd.i, inst.igcs.i, inst.igcd.i, inst.igb.i};
}

Bsim4GateCurrent gate_current(const GateCurrent& c) { return {c.i, c.g, c.d, c.b}; }

// The gate-tunnelling record of the last (full) load.
Bsim4GateResults gate_record(const Instance& inst) {
    return {gate_current(inst.igs), gate_current(inst.igd), gate_current(inst.igcs), gate_current(inst.igcd),
            gate_current(inst.igb)};
}

bool finite(const Bsim4GateCurrent& c) {
    return std::isfinite(c.i) && std::isfinite(c.g) && std::isfinite(c.d) && std::isfinite(c.b);
}

// With the model's lock held and the model prepared: one evaluation.
template <class Load>
int evaluate_prepared(const Load& load, Model& m, Instance& inst, Bsim4DcResults* out, double vgs, double vds,
                      double vbs, bool iterate, Bsim4TerminalResults* terminal = nullptr,
                      Bsim4GateResults* gate = nullptr) {
    const Bias applied{vgs, vds, vbs};
    Bias last = applied;
    load_at(load, m, inst, vgs, vds, vbs);
    const SizeParams& s = *inst.size;
    const bool resistive = has_series_resistance(m, s);
    if (iterate && resistive) {
        const int code = iterate_series_resistance(load, m, inst, applied, &last);
        if (code != BSIM4_OK) return code;
    }
    SeriesResistance r;
    if (m.p.rdsmod == 1) {
        const SeriesResistance raw = external_resistance(s, last.vgs, last.vds, last.vbs);
        if (s.rs0 > 0.0 || s.rswmin > 0.0) r.rs = raw.rs;
        if (s.rd0 > 0.0 || s.rdwmin > 0.0) r.rd = raw.rd;
    }
    const Bsim4DcResults res{m.type * inst.cd,
                             inst.gm,
                             inst.gds,
                             inst.gmbs,
                             m.type * inst.von,
                             m.type * inst.vdsat,
                             inst.cbs,
                             inst.cbd,
                             inst.gbs,
                             inst.gbd,
                             r.rs,
                             r.rd};
    // Slopes a values-only load leaves NaN are not checked.
    constexpr bool all = Load::kAll, gmbs = Load::kGmbs;
    for (double x : {res.ids, res.vth, res.vdsat, res.cbs, res.cbd, res.rs, res.rd, gmbs ? res.gmbs : 0.0,
                     all ? res.gm : 0.0, all ? res.gds : 0.0, all ? res.gbs : 0.0, all ? res.gbd : 0.0})
        if (!std::isfinite(x)) return BSIM4_ERR_NOT_FINITE;
    if (terminal) {
        const Bsim4TerminalResults t = terminal_record(m, inst, iterate && resistive ? &last : nullptr);
        for (double x :
             {t.id, t.gm, t.gds, t.gmbs, t.isub, t.igidl, t.igisl, t.igs, t.igd, t.igcs, t.igcd, t.igb})
            if (!std::isfinite(x)) return BSIM4_ERR_NOT_FINITE;
        *terminal = t;
    }
    if (gate && !inst.gate_currents) {
        *gate = {};  // a card without gate tunnelling
    } else if (gate) {
        const Bsim4GateResults g = gate_record(inst);
        if (!(finite(g.igs) && finite(g.igd) && finite(g.igcs) && finite(g.igcd) && finite(g.igb)))
            return BSIM4_ERR_NOT_FINITE;
        *gate = g;
    }
    *out = res;
    return BSIM4_OK;
}

template <class Load>
int evaluate(const Load& load, Bsim4InstanceHandle inst, Bsim4DcResults* out, double vgs, double vds,
             double vbs, double temperature_k, bool iterate, Bsim4TerminalResults* terminal = nullptr,
             Bsim4GateResults* gate = nullptr) {
    if (!inst || !out || !inst->model) return BSIM4_ERR_ARGUMENT;
    if (!valid_temperature(temperature_k) || !std::isfinite(vgs) || !std::isfinite(vds) ||
        !std::isfinite(vbs))
        return BSIM4_ERR_ARGUMENT;
    Model& m = *inst->model;
    try {
        std::lock_guard<std::mutex> guard(m.lock);
        const int code = prepare(m, *inst, temperature_k);
        if (code != BSIM4_OK) return code;
        return evaluate_prepared(load, m, *inst, out, vgs, vds, vbs, iterate, terminal, gate);
    } catch (...) {
        return BSIM4_ERR_NO_MEMORY;
    }
}

// The grid of bsim4_eval_dc_values_grid with a memo of N slopes (3: the full load, with the
// drain terminal's records when `terminal` is given).
template <int N>
int evaluate_grid(Bsim4InstanceHandle inst, const double* vgs, std::size_t n_vgs, const double* vds,
                  std::size_t n_vds, double vbs, double temperature_k, Bsim4DcResults* out, int* codes,
                  Bsim4TerminalResults* terminal = nullptr) {
    const std::size_t n = n_vgs * n_vds;
    const auto fill = [&](int code) { std::fill(codes, codes + n, code); };
    if (!valid_temperature(temperature_k) || !std::isfinite(vbs)) {
        fill(BSIM4_ERR_ARGUMENT);
        return BSIM4_OK;
    }
    Model& m = *inst->model;
    try {
        std::unique_ptr<LoadMemo<N>> memo(new LoadMemo<N>);
        using Load = std::conditional_t<N == 3, FullLoad, ValuesLoad<N>>;
        const Load load{memo.get()};
        std::lock_guard<std::mutex> guard(m.lock);
        const int code = prepare(m, *inst, temperature_k);
        for (std::size_t i = 0; i < n_vgs; ++i) {
            for (std::size_t k = 0; k < n_vds; ++k) {
                const std::size_t at = i * n_vds + k;
                // As a single evaluation would: bad voltages first, then the temperature's code.
                if (!std::isfinite(vgs[i]) || !std::isfinite(vds[k]))
                    codes[at] = BSIM4_ERR_ARGUMENT;
                else if (code != BSIM4_OK)
                    codes[at] = code;
                else
                    codes[at] = evaluate_prepared(load, m, *inst, &out[at], vgs[i], vds[k], vbs, true,
                                                  terminal ? &terminal[at] : nullptr);
            }
        }
    } catch (...) {
        fill(BSIM4_ERR_NO_MEMORY);
    }
    return BSIM4_OK;
}

// The arguments a grid needs: an instance of a model, the axes it names, a size that does not
// overflow and, unless the grid is empty, its outputs (`outputs`: all of them given).
bool valid_grid(Bsim4InstanceHandle inst, const double* vgs, std::size_t n_vgs, const double* vds,
                std::size_t n_vds, bool outputs) {
    if (!inst || !inst->model || (n_vgs > 0 && !vgs) || (n_vds > 0 && !vds)) return false;
    if (n_vds > 0 && n_vgs > SIZE_MAX / n_vds) return false;
    return n_vgs * n_vds == 0 || outputs;
}

}  // namespace

Bsim4ModelHandle bsim4_model_new() {
    Model* m = new (std::nothrow) Model;
    return m;
}

Bsim4ModelHandle bsim4_model_create(int type, double tnom_celsius, double toxe, double toxp, double toxm,
                                    double dtox, double epsrox, double wint, double lint, double vth0,
                                    double k1, double k2, double k3, double vsat, double u0, double rdsw) {
    Model* m = bsim4_model_new();
    if (!m) return nullptr;
    ModelParams& p = m->p;
    ModelGiven& g = m->given;
    m->given.version = true;
    m->type = type < 0 ? -1 : 1;
    g.type = true;
    p.tnom = tnom_celsius > 0.0 ? 273.15 + tnom_celsius : 300.15;
    g.tnom = true;
    auto positive = [](double value, double& field, bool& flag) {
        if (value > 0.0) {
            field = value;
            flag = true;
        }
    };
    positive(toxe, p.toxe, g.toxe);
    positive(toxp, p.toxp, g.toxp);
    positive(toxm, p.toxm, g.toxm);
    positive(vsat, p.vsat, g.vsat);
    positive(u0, p.u0, g.u0);
    p.epsrox = epsrox > 0.0 ? epsrox : 3.9;
    g.epsrox = true;
    auto always = [](double value, double& field, bool& flag) {
        field = value;
        flag = true;
    };
    always(dtox, p.dtox, g.dtox);
    always(wint, p.wint, g.wint);
    always(lint, p.lint, g.lint);
    always(vth0, p.vth0, g.vth0);
    always(k1, p.k1, g.k1);
    always(k2, p.k2, g.k2);
    always(k3, p.k3, g.k3);
    always(rdsw, p.rdsw, g.rdsw);
    return m;
}

void bsim4_model_set_type(Bsim4ModelHandle model, const char* type) {
    if (!model || !type) return;
    std::lock_guard<std::mutex> guard(model->lock);
    const bool p =
        ascii_iequal(type, "pmos") || ascii_iequal(type, "pfet") || type[0] == 'p' || type[0] == 'P';
    model->type = p ? -1 : 1;
    model->given.type = true;
    ++model->param_generation;
}

int bsim4_model_set_double_param(Bsim4ModelHandle model, const char* name, double value) {
    if (!model || !name) return 0;
    const int row = find_param_row(name);
    if (row < 0) return 0;
    const ParamRow& r = param_table_row(static_cast<std::size_t>(row));
    const std::uint32_t kind = param_data_type(r.kind) & 0x26;
    if (kind != 4 && kind != 2) return 0;
    if (kind == 2) {
        // Truncation toward zero; anything outside the 32-bit range becomes the minimum.
        value = (std::isfinite(value) && value > -2147483649.0 && value < 2147483648.0) ? std::trunc(value)
                                                                                        : -2147483648.0;
    }
    std::lock_guard<std::mutex> guard(model->lock);
    BSIM4mParam(r.id, value, *model);
    return 1;
}

int bsim4_model_set_temperatures(Bsim4ModelHandle model, double temperature_k, double tnom_k) {
    if (!model || !valid_temperature(temperature_k) || !valid_temperature(tnom_k)) return BSIM4_ERR_ARGUMENT;
    std::lock_guard<std::mutex> guard(model->lock);
    model->circuit_temp = temperature_k;
    model->ctx_tnom = tnom_k;
    ++model->param_generation;
    model->cached_temp = -1.0;
    return BSIM4_OK;
}

Bsim4InstanceHandle bsim4_instance_alloc(Bsim4ModelHandle model, int nf, double w, double l) {
    if (!model) return nullptr;
    Instance* inst = new (std::nothrow) Instance;
    if (!inst) return nullptr;
    inst->model = model;
    inst->w = w;
    inst->l = l;
    inst->nf = nf < 1 ? 1.0 : nf;
    std::lock_guard<std::mutex> guard(model->lock);
    inst->next = model->instances;
    model->instances = inst;
    return inst;
}

int bsim4_instance_set_inst_param(Bsim4InstanceHandle inst, const char* name, double value) {
    if (!inst || !name) return 0;
    struct Entry {
        const char* name;
        double Instance::*field;
        std::uint32_t bit;
    };
    static constexpr Entry kEntries[] = {
        {"nrd", &Instance::nrd, kGivenNrd},
        {"nrs", &Instance::nrs, kGivenNrs},
        {"ad", &Instance::ad, kGivenAd},
        {"as", &Instance::as, kGivenAs},
        {"pd", &Instance::pd, kGivenPd},
        {"ps", &Instance::ps, kGivenPs},
        {"sa", &Instance::sa, kGivenSa},
        {"sb", &Instance::sb, kGivenSb},
        {"sd", &Instance::sd, kGivenSd},
        {"sca", &Instance::sca, kGivenSca},
        {"scb", &Instance::scb, kGivenScb},
        {"scc", &Instance::scc, kGivenScc},
        {"sc", &Instance::sc, kGivenSc},
        {"delvto", &Instance::delvto, kGivenDelvto},
        {"delvt0", &Instance::delvto, kGivenDelvto},
        {"mulu0", &Instance::mulu0, kGivenMulu0},
        {"nf", &Instance::nf, kGivenNf},
    };
    for (const Entry& e : kEntries) {
        if (!ascii_iequal(name, e.name)) continue;
        std::unique_lock<std::mutex> guard;
        if (inst->model) guard = std::unique_lock<std::mutex>(inst->model->lock);
        // As at creation: the finger count is at least 1.
        if (e.field == &Instance::nf && !(value >= 1.0)) value = 1.0;
        inst->*e.field = value;
        inst->given |= e.bit;
        return 1;
    }
    return 0;
}

int bsim4_instance_setup(Bsim4InstanceHandle inst) {
    if (!inst || !inst->model) return BSIM4_ERR_ARGUMENT;
    Model& m = *inst->model;
    try {
        std::lock_guard<std::mutex> guard(m.lock);
        BSIM4setup(m);
        m.ctx_temp = m.circuit_temp;
        BSIM4temp(m);
        m.cached_temp = m.circuit_temp;
        return inst->temp_status;
    } catch (...) {
        return BSIM4_ERR_NO_MEMORY;
    }
}

const char* bsim4_instance_problem(Bsim4InstanceHandle inst) { return inst ? inst->problem.c_str() : ""; }

bool bsim4_stress_summed(double nf, double sa, double sb, double sd) {
    return sa > 0.0 && sb > 0.0 && (nf == 1.0 || (nf > 1.0 && sd > 0.0));
}

Bsim4InstanceHandle bsim4_instance_create(Bsim4ModelHandle model, int nf, double w, double l) {
    Bsim4InstanceHandle inst = bsim4_instance_alloc(model, nf, w, l);
    if (!inst) return nullptr;
    if (bsim4_instance_setup(inst) != BSIM4_OK) {
        bsim4_instance_free(inst);
        return nullptr;
    }
    return inst;
}

int bsim4_eval_dc(Bsim4InstanceHandle inst, Bsim4DcResults* out, double vgs, double vds, double vbs,
                  double temperature_k) {
    return evaluate(FullLoad{}, inst, out, vgs, vds, vbs, temperature_k, true);
}

int bsim4_eval_dc_values(Bsim4InstanceHandle inst, Bsim4DcResults* out, double vgs, double vds, double vbs,
                         double temperature_k, int slopes) {
    switch (slopes) {
        case BSIM4_SLOPES_NONE:
            return evaluate(ValuesLoad<0>{}, inst, out, vgs, vds, vbs, temperature_k, true);
        case BSIM4_SLOPES_GMBS:
            return evaluate(ValuesLoad<1>{}, inst, out, vgs, vds, vbs, temperature_k, true);
        default: return BSIM4_ERR_ARGUMENT;
    }
}

int bsim4_eval_dc_values_grid(Bsim4InstanceHandle inst, const double* vgs, std::size_t n_vgs,
                              const double* vds, std::size_t n_vds, double vbs, double temperature_k,
                              int slopes, Bsim4DcResults* out, int* codes) {
    if (!valid_grid(inst, vgs, n_vgs, vds, n_vds, out && codes)) return BSIM4_ERR_ARGUMENT;
    switch (slopes) {
        case BSIM4_SLOPES_NONE:
            return evaluate_grid<0>(inst, vgs, n_vgs, vds, n_vds, vbs, temperature_k, out, codes);
        case BSIM4_SLOPES_GMBS:
            return evaluate_grid<1>(inst, vgs, n_vgs, vds, n_vds, vbs, temperature_k, out, codes);
        default: return BSIM4_ERR_ARGUMENT;
    }
}

int bsim4_eval_dc_terminal(Bsim4InstanceHandle inst, Bsim4DcResults* out, Bsim4TerminalResults* terminal,
                           double vgs, double vds, double vbs, double temperature_k) {
    if (!terminal) return BSIM4_ERR_ARGUMENT;
    return evaluate(FullLoad{}, inst, out, vgs, vds, vbs, temperature_k, true, terminal);
}

int bsim4_eval_dc_terminal_grid(Bsim4InstanceHandle inst, const double* vgs, std::size_t n_vgs,
                                const double* vds, std::size_t n_vds, double vbs, double temperature_k,
                                Bsim4DcResults* out, Bsim4TerminalResults* terminal, int* codes) {
    if (!valid_grid(inst, vgs, n_vgs, vds, n_vds, out && terminal && codes)) return BSIM4_ERR_ARGUMENT;
    return evaluate_grid<3>(inst, vgs, n_vgs, vds, n_vds, vbs, temperature_k, out, codes, terminal);
}

int bsim4_eval_dc_intrinsic(Bsim4InstanceHandle inst, Bsim4DcResults* out, double vgs, double vds, double vbs,
                            double temperature_k) {
    return evaluate(FullLoad{}, inst, out, vgs, vds, vbs, temperature_k, false);
}

int bsim4_eval_dc_intrinsic_gate(Bsim4InstanceHandle inst, Bsim4DcResults* out, Bsim4GateResults* gate,
                                 double vgs, double vds, double vbs, double temperature_k) {
    if (!gate) return BSIM4_ERR_ARGUMENT;
    return evaluate(FullLoad{}, inst, out, vgs, vds, vbs, temperature_k, false, nullptr, gate);
}

void bsim4_instance_free(Bsim4InstanceHandle inst) {
    if (!inst) return;
    if (Model* m = inst->model) {
        std::lock_guard<std::mutex> guard(m->lock);
        for (Instance** link = &m->instances; *link; link = &(*link)->next) {
            if (*link == inst) {
                *link = inst->next;
                break;
            }
        }
        if (!m->instances) m->sizes.clear();
    }
    delete inst;
}

void bsim4_model_free(Bsim4ModelHandle model) {
    if (!model) return;
    for (Instance* inst = model->instances; inst; inst = inst->next) {
        inst->model = nullptr;
        inst->size = nullptr;
    }
    delete model;
}
