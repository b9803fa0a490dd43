// DC load: the bias-point evaluation of one instance in the DC initial-condition mode.
//
// The channel equations run on dual numbers whose partials are taken with respect to the
// orientation's Vgs, Vds and the effective body bias Vbseff; the body partial is turned into a
// Vbs partial with dVbseff/dVbs at the end. Junction diodes use a dual number of their own
// junction voltage. The substrate current, GIDL/GISL and (in the full load) the gate-tunnelling
// currents are computed with their slopes, and with the channel and the drain junction they make
// the drain terminal's current. Charges, capacitances and noise quantities are not computed.
//
// The load is instantiated for a subset of the partials as well: a caller that needs only values
// (and perhaps the body slope) skips the rest of the derivative work. The values and the partials
// that are carried are bit for bit those of the full load, since no partial feeds a value or
// another partial.
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include "bsim4_model/dual.h"
#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

// The partials one load carries: the index of each channel input among the dual number's
// partials (-1: not carried), and whether the junction diodes carry their slopes.
template <int Gs, int Ds, int Bs, bool JunctionSlopes>
struct Partials {
    static constexpr int gs = Gs, ds = Ds, bs = Bs;
    static constexpr int n = (Gs >= 0) + (Ds >= 0) + (Bs >= 0);
    static constexpr bool junction_slopes = JunctionSlopes;
};
using AllPartials = Partials<0, 1, 2, true>;
using BodyPartial = Partials<-1, -1, 0, false>;
using NoPartials = Partials<-1, -1, -1, false>;

constexpr double kNotComputed = std::numeric_limits<double>::quiet_NaN();

// Partial I of x, or NaN when it is not carried.
template <int I, int N>
double partial(const Dual<N>& x) {
    if constexpr (I >= 0)
        return x.d[I];
    else
        return kNotComputed;
}

// Clamped exponential with linear extension above the threshold.
template <class T>
T exp_linear(const T& x) {
    if (x.v > kExpThreshold) return kMaxExp * (1.0 + x - kExpThreshold);
    if (x.v < -kExpThreshold) return T(kMinExp);
    return exp(x);
}

// 1 + x, or its rational continuation below -0.5.
template <class D>
D lower_smooth(const D& x) {
    if (x.v >= -0.5) return 1.0 + x;
    return (1.0 + 3.0 * x) * (1.0 / (3.0 + 8.0 * x));
}

// e^x / ((e^x - 1)^2 + 2 e^x MIN_EXP): the short-channel shape function.
template <class D>
D theta_sce(const D& x) {
    if (x.v < kExpThreshold) {
        const D e = exp(x);
        const D d = e - 1.0;
        return e / (d * d + 2.0 * e * kMinExp);
    }
    return D(1.0 / (kMaxExp - 2.0));
}

template <class D>
D pow_exp_log(const D& x, double p) {
    return exp(p * log(x));
}

// The diode current of one junction, by the selected formulation, with gmin across it.
template <class DJ>
DJ diode(int diomod, const Junction& j, const JunctionParams& jp, double nvt, const DJ& v, double gmin) {
    if (j.isat <= 0.0) return gmin * v;
    switch (diomod) {
        case 0: {
            const DJ ev = exp(v / nvt);
            const DJ tb = jp.xjbv * exp(-(jp.bv + v) / nvt);
            return j.isat * (ev + j.xexp_bv - tb - 1.0) + gmin * v;
        }
        case 1: {
            const DJ x = v / nvt;
            if (x.v < -kExpThreshold) return DJ(j.isat * (kMinExp - 1.0)) + gmin * v;
            if (v.v <= j.vjm_fwd) return j.isat * (exp(x) - 1.0) + gmin * v;
            const double slope = j.ivjm_fwd / nvt;
            return j.ivjm_fwd - j.isat + slope * (v - j.vjm_fwd) + gmin * v;
        }
        case 2: {
            const bool reverse = v.v < j.vjm_rev;
            if (!reverse && v.v > j.vjm_fwd) return j.ivjm_fwd + j.slp_fwd * (v - j.vjm_fwd) + gmin * v;
            const DJ x = v / nvt;
            const DJ ev = x.v < -kExpThreshold ? DJ(kMinExp) : exp(x);
            if (reverse) return (ev - 1.0) * (j.ivjm_rev + j.slp_rev * (v - j.vjm_rev)) + gmin * v;
            const DJ y = (jp.bv + v) / nvt;
            const DJ eb = y.v > kExpThreshold ? DJ(kMinExp) : exp(-y);
            return j.isat * (ev + j.xexp_bv - 1.0 - jp.xjbv * eb) + gmin * v;
        }
        default: return gmin * v;
    }
}

// One trap-assisted tunnelling term, itat (e^a - 1).
template <class DJ>
DJ tunnelling(double itat, double nvt, double vts, const DJ& v) {
    DJ a;
    if (vts - v.v < 1.0e-3 * vts)
        a = -v / nvt * 1.0e3;
    else
        a = -v / nvt * vts * (1.0 / (vts - v));
    return itat * (exp_linear(a) - 1.0);
}

// Poly-gate depletion: the effective gate voltage.
template <class D>
D poly_depletion(const Model& m, const Instance& inst, const D& vg) {
    const ModelParams& p = m.p;
    const BinnedParams& b = inst.size->b;
    const double eps_gate = p.mtrlmod == 0 ? kEpsSi : p.epsrgate * kEps0;
    const double vfb_phi = inst.vfb + inst.size->phi;
    if (!(b.ngate > 1.0e18 && b.ngate < 1.0e25 && vg.v > vfb_phi && eps_gate != 0.0)) return vg;
    const double coxe = m.t.coxe;
    const double t1 = 1.0e6 * kChargeSim * eps_gate * b.ngate / (coxe * coxe);
    const D t8 = vg - vfb_phi;
    const D t4 = sqrt(1.0 + 2.0 * t8 / t1);
    const D t2 = 2.0 * t8 / (t4 + 1.0);
    const D t3 = 0.5 * t2 * t2 / t1;
    const D t7 = 1.12 - t3 - 0.05;
    const D t6 = sqrt(t7 * t7 + 0.224);
    const D t5 = 1.12 - 0.5 * (t7 + t6);
    return vg - t5;
}

// The mobility degradation term Ud(X) = ud X^2 tox^2 / (Vgsteff + 2 sqrt(X^2 + 1e-4))^2.
template <class D>
D coulomb_term(double ud, double tox, const D& x, const D& vgsteff) {
    const D t12 = sqrt(x * x + 0.0001);
    const D t10 = (1.0 / (vgsteff + 2.0 * t12)) * tox;
    return ud * t10 * t10 * x * x;
}

// The channel's terms that depend on its body bias alone (see BodyTerms).
template <class P>
void body_terms(const Model& m, const Instance& inst, double vbs_o, BodyTerms<P::n>& r) {
    using DB = Dual<P::bs >= 0 ? 1 : 0>;  // the body bias before Vbseff
    using D = Dual<P::n>;                 // the channel inputs
    const ModelParams& p = m.p;
    const ModelTemp& t = m.t;
    const SizeParams& s = *inst.size;
    const BinnedParams& b = s.b;
    const int type = m.type;

    // Effective body bias: a floor at vbsc, then a ceiling below phi.
    const double vbsc = inst.vbsc;
    DB vbseff1;
    {
        const DB vb = DB::variable(vbs_o, 0);
        const DB t0 = vb - vbsc - 0.001;
        const DB t1 = sqrt(t0 * t0 - 0.004 * vbsc);
        if (t0.v >= 0.0)
            vbseff1 = vbsc + 0.5 * (t0 + t1);
        else
            vbseff1 = vbsc * (1.0 + (-0.002 / (t1 - t0)));
    }
    const double phi = s.phi, sqrt_phi = s.sqrt_phi;
    DB vbseff_b;
    {
        const double t9 = 0.95 * phi;
        const DB t0 = t9 - vbseff1 - 0.001;
        const DB t1 = sqrt(t0 * t0 + 0.004 * t9);
        vbseff_b = t9 - 0.5 * (t0 + t1);
    }
    constexpr int kBody = P::bs >= 0 ? 0 : -1;  // the slope of DB, when carried
    r.dvbseff_dvbs = partial<kBody>(vbseff_b);

    const D Vbseff = D::variable(vbseff_b.v, P::bs);
    r.vbseff = Vbseff;

    const D phis = phi - Vbseff;
    const D sqrt_phis = sqrt(phis);
    r.sqrt_phis = sqrt_phis;
    const D xdep = s.xdep0 * sqrt_phis / sqrt_phi;

    // Threshold voltage but for the drain-induced barrier lowering.
    const double leff = s.leff, weff = s.weff;
    const double tox = t.tox;
    const double v0 = s.vbi - phi;
    const D sqrt_xdep = sqrt(xdep);
    const D lt1 = t.factor1 * sqrt_xdep * lower_smooth(b.dvt2 * Vbseff);
    const D ltw = t.factor1 * sqrt_xdep * lower_smooth(b.dvt2w * Vbseff);
    const D theta0 = theta_sce(b.dvt1 * leff / lt1);
    r.theta0 = theta0;
    const D delt_vth = b.dvt0 * theta0 * v0;
    const D t_nw = b.dvt0w * theta_sce(b.dvt1w * weff * leff / ltw) * v0;
    const double temp_ratio = m.ctx_temp / p.tnom - 1.0;
    const D t_lt = s.k1ox * (std::sqrt(1.0 + b.lpe0 / leff) - 1.0) * sqrt_phi +
                   (b.kt1 + b.kt1l / leff + b.kt2 * Vbseff) * temp_ratio;
    const double vth_narrow_w = tox * phi / (weff + b.w0);
    D eta = inst.eta0 + b.etab * Vbseff;
    if (eta.v < 1.0e-4) eta = (2.0e-4 - eta) * (1.0 / (3.0 - 2.0e4 * eta));
    r.eta_theta = eta * s.theta0vb0;
    const double lpe_vb = std::sqrt(1.0 + b.lpeb / leff);
    r.vth = type * inst.vth0 + (s.k1ox * sqrt_phis - b.k1 * sqrt_phi) * lpe_vb - inst.k2ox * Vbseff -
            delt_vth - t_nw + (b.k3 + b.k3b * Vbseff) * vth_narrow_w + t_lt;

    // Subthreshold swing.
    const D cdep = t.epssub / xdep;
    r.nfactor_cdep = b.nfactor * cdep;
    r.cdsc_b = b.cdsc + b.cdscb * Vbseff;

    // Bulk-charge factor.
    const D c1 = 0.5 * s.k1ox * lpe_vb / sqrt_phis + inst.k2ox - b.k3b * vth_narrow_w;
    const D f = leff / (leff + 2.0 * sqrt(b.xj * xdep));
    const D c2 = b.a0 * f + b.b0 / (s.b.b1 + weff);
    r.abulk0 = 1.0 + c1 * c2;
    const D t8 = b.ags * b.a0 * (f * f * f);
    r.abulk_slope = -(c1 * t8);
    const D kx = b.keta * Vbseff;
    r.kf = kx.v >= -0.9 ? 1.0 / (1.0 + kx) : (17.0 + 20.0 * kx) * (1.0 / (0.8 + kx));

    // Body-bias factor of the DIBL Early voltage.
    if (s.theta_rout > kMinExp) {
        const D bb = b.pdiblcb * Vbseff;
        if (bb.v >= -0.9)
            r.vadibl_factor = 1.0 / (1.0 + bb);
        else
            r.vadibl_factor = (17.0 + 20.0 * bb) * (1.0 / (0.8 + bb));
    }
}

// Band-to-band leakage at one end (gate-induced drain or source leakage): `v` is the voltage of
// that end over the other (vds at the drain, -vds at the source), `vg_eff` the poly-depleted gate
// voltage over the other end, `vb` the body over this end. Every voltage is physical, not the
// channel's orientation.
struct LeakageParams {
    double a, b, c, e, r, k, f;
};
template <class D>
D band_to_band(const Model& m, const SizeParams& s, const LeakageParams& q, const D& v, const D& vg_eff,
               const D& vb) {
    const ModelParams& p = m.p;
    const double tox = p.mtrlmod == 0 ? 3.0 * m.t.tox : p.epsrsub * m.t.tox / m.t.epsrox;
    const double offset = p.mtrlmod == 0 ? 0.0 : s.vfbsd;
    const bool simple = p.gidlmod == 0;
    if (q.a <= 0.0 || q.b <= 0.0 || (simple ? q.c <= 0.0 : q.c < 0.0)) return D(0.0);
    const D field = (v - (simple ? 1.0 : q.r) * vg_eff - q.e + offset) / tox;
    if (field.v <= 0.0) return D(0.0);
    const D y = q.b / field;
    const D tunnel =
        y.v < 100.0 ? q.a * s.weff_cj * field * exp(-y) : q.a * s.weff_cj * 3.720075976e-44 * field;
    if (simple) {
        if (vb.v > 0.0) return D(0.0);
        const D cube = -(vb * vb * vb);
        return tunnel * (cube / (q.c + cube));
    }
    D w = vb - q.f;
    if (w.v > p.gidlclamp) w = D(p.gidlclamp);
    if (w.v == 0.0) return tunnel * 2.688117142e43;
    const D z = q.k / w;
    return z.v < 100.0 ? tunnel * exp(z) : tunnel * 2.688117142e43;
}

// T ln(1 + e^(v/T)), taken as v and as T ln(1 + MIN_EXP) beyond the exponent limits.
template <class D>
D soft_plus(const D& v, double t) {
    const D x = v / t;
    if (x.v > kExpThreshold) return v;
    if (x.v < -kExpThreshold) return D(t * std::log(1.0 + kMinExp));
    return t * log(1.0 + exp(x));
}

// e^x held at MAX_EXP and MIN_EXP beyond the exponent limits.
template <class D>
D exp_clamped(const D& x) {
    if (x.v > kExpThreshold) return D(kMaxExp);
    if (x.v < -kExpThreshold) return D(kMinExp);
    return exp(x);
}

// The tunnelling probability factor exp(B (a + (a c - b) v - b c v^2)) over the oxide voltage v.
template <class D>
D tunnel_factor(double big_b, double a, double b, double c, const D& v) {
    const double t3 = a * c - b, t4 = b * c;
    return exp_clamped(big_b * (a + t3 * v - t4 * v * v));
}

// The overlap (edge) tunnelling current from the gate to one end, over the physical gate voltage
// to that end.
template <class D>
D edge_tunnelling(double big_a, double big_b, double a, double b, double c, double vfb, const D& vg) {
    const D t0 = vg - vfb;
    const D v = sqrt(t0 * t0 + 1.0e-4);
    return big_a * (vg * v) * tunnel_factor(big_b, a, b, c, v);
}

// An oriented current (slopes with respect to the orientation's Vgs, Vds, Vbs), times `scale`,
// with its slopes taken with respect to the physical vgs, vds, vbs: reversed, Vgs' = Vgd,
// Vds' = -Vds, Vbs' = Vbd.
GateCurrent physical(const Dual<3>& x, int mode, double scale) {
    const double g = scale * x.d[0], b = scale * x.d[2];
    double d = scale * x.d[1];
    if (mode != 1) d = -(g + d + b);
    return {scale * x.v, g, d, b};
}

// The memo's entry for voltage v, computed by `compute` when it is not there; without a memo,
// `local` holds it (made only then: the terms are many).
template <class T, int K, class F>
const T& remembered(VoltageMemo<T, K>* memo, double v, std::optional<T>& local, F&& compute) {
    if (!memo) {
        compute(local.emplace());
        return *local;
    }
    if (const T* found = memo->find(v)) return *found;
    T& slot = memo->slot(v);
    compute(slot);
    return slot;
}

template <class P>
void load(const Model& m, Instance& inst, LoadMemo<P::n>* memo) {
    using DJ = Dual<P::junction_slopes ? 1 : 0>;  // a junction voltage
    using D = Dual<P::n>;                         // the channel inputs
    constexpr int kVgs = P::gs, kVds = P::ds, kVbs = P::bs;
    constexpr int kJunction = P::junction_slopes ? 0 : -1;  // the slope of DJ, when carried
    static_assert(!P::junction_slopes || P::n == 3, "junction slopes only with the full set");
    const ModelParams& p = m.p;
    const ModelTemp& t = m.t;
    const SizeParams& s = *inst.size;
    const BinnedParams& b = s.b;
    const int type = m.type;
    const double vds = inst.vds_in, vgs = inst.vgs_in, vbs = inst.vbs_in;
    const double vbd = vbs - vds, vgd = vgs - vds;
    const double gmin = m.gmin;

    // Junction diodes with trap-assisted tunnelling, orientation-independent.
    auto junction = [&](const Junction& j, bool source, double voltage, double& current,
                        double& conductance) {
        const auto compute = [&](JunctionTerms& r) {
            const JunctionParams jp = junction_params(m, source);
            const DJ v = DJ::variable(voltage, 0);
            DJ c = diode(p.diomod, j, jp, t.vtm * jp.nj, v, gmin);
            for (int k = 0; k < 3; ++k) c = c - tunnelling(j.itat[k], t.vtm0 * jp.njts[k], jp.vts[k], v);
            r.current = c.v;
            r.conductance = partial<kJunction>(c);
        };
        std::optional<JunctionTerms> local;
        const JunctionTerms& r =
            remembered(memo ? (source ? &memo->source : &memo->drain) : nullptr, voltage, local, compute);
        current = r.current;
        conductance = r.conductance;
    };
    junction(inst.source, true, vbs, inst.cbs, inst.gbs);
    junction(inst.drain, false, vbd, inst.cbd, inst.gbd);

    // Orientation: the channel is evaluated from its more negative end.
    const int mode = vds >= 0.0 ? 1 : -1;
    const double vds_o = mode == 1 ? vds : -vds;
    const double vgs_o = mode == 1 ? vgs : vgd;
    const double vbs_o = mode == 1 ? vbs : vbd;
    inst.mode = mode;

    // Terms of the body bias, from the memo when it has them.
    std::optional<BodyTerms<P::n>> local_body;
    const auto compute_body = [&](BodyTerms<P::n>& r) { body_terms<P>(m, inst, vbs_o, r); };
    const BodyTerms<P::n>& body = remembered(memo ? &memo->body : nullptr, vbs_o, local_body, compute_body);
    const double sqrt_phi = s.sqrt_phi;
    const double leff = s.leff, weff = s.weff;
    const double tox = t.tox;

    const D Vgs = D::variable(vgs_o, kVgs);
    const D Vds = D::variable(vds_o, kVds);
    const D& Vbseff = body.vbseff;
    const D& sqrt_phis = body.sqrt_phis;

    // Threshold voltage and subthreshold swing.
    D vth = body.vth - body.eta_theta * Vds;
    const D nm = (body.nfactor_cdep + (body.cdsc_b + b.cdscd * Vds) * body.theta0 + b.cit) / t.coxe;
    const D n = lower_smooth(nm);

    // Pocket implant and drain-induced threshold shifts.
    if (b.dvtp0 > 0.0) {
        const D x = -b.dvtp1 * Vds;
        const D e = x.v < -kExpThreshold ? D(kMinExp) : exp(x);
        const double vt = p.tempmod < 2 ? t.vtm : t.vtm0;
        vth = vth - n * vt * log(leff / (leff + b.dvtp0 * (1.0 + e)));
    }
    if (b.dvtp4 != 0.0 && s.dvtp2factor != 0.0) {
        const D y = exp_linear(2.0 * b.dvtp4 * Vds);
        vth = vth - s.dvtp2factor * (y - 1.0) / (y + 1.0);
    }
    inst.von = vth.v;

    // Effective gate overdrive.
    std::optional<GateTerms<P::n>> local_gate;
    const auto compute_gate = [&](GateTerms<P::n>& r) { r.vgs_eff = poly_depletion(m, inst, Vgs); };
    const D& vgs_eff = remembered(memo ? &memo->gate : nullptr, vgs_o, local_gate, compute_gate).vgs_eff;
    const D vgst = vgs_eff - vth;
    const double vtm = t.vtm;
    const D t10 = n * vtm;
    const D z1 = s.mstar * vgst / t10;
    D numer;
    if (z1.v > kExpThreshold)
        numer = s.mstar * vgst;
    else if (z1.v < -kExpThreshold)
        numer = t10 * std::log(1.0 + kMinExp);
    else
        numer = t10 * log(1.0 + exp(z1));
    const D z2 = (s.voffcbn - (1.0 - s.mstar) * vgst) / t10;
    D denom;
    if (z2.v < -kExpThreshold)
        denom = s.mstar + n * t.coxe * kMinExp / s.cdep0;
    else if (z2.v > kExpThreshold)
        denom = s.mstar + n * t.coxe * kMaxExp / s.cdep0;
    else
        denom = s.mstar + n * (t.coxe / s.cdep0) * exp(z2);
    const D vgsteff = numer / denom;

    // Bias-dependent width.
    D weff_b = weff - 2.0 * (b.dwg * vgsteff + b.dwb * (sqrt_phis - sqrt_phi));
    if (weff_b.v < 2.0e-8) weff_b = 2.0e-8 * (4.0e-8 - weff_b) * (1.0 / (6.0e-8 - 2.0 * weff_b));

    // Internal source/drain resistance.
    D rds(0.0);
    if (p.rdsmod == 0) {
        const D g = 1.0 / (1.0 + b.prwg * vgsteff) + b.prwb * (sqrt_phis - sqrt_phi);
        rds = s.rdswmin + (g + sqrt(g * g + 0.01)) * (s.rds0 * 0.5);
    }

    // Bulk-charge factor.
    D abulk = body.abulk0 + body.abulk_slope * vgsteff;
    if (abulk.v < 0.1) abulk = (0.2 - abulk) * (1.0 / (3.0 - 20.0 * abulk));
    abulk = body.kf * abulk;

    // Mobility.
    const double vmat =
        (p.mtrlmod != 0 && p.mtrlcompatmod == 0) ? 2.0 * type * (p.phig - p.easub - 0.5 * t.eg0 + 0.45) : 0.0;
    const double vtfbphi1 = inst.vtfbphi1;
    D degr;
    switch (p.mobmod) {
        case 0: {
            const D e = (vgsteff + vth + vth - vmat) / tox;
            degr = e * ((b.ua + b.uc * Vbseff) + b.ub * e) + coulomb_term(b.ud, tox, vth, vgsteff);
            break;
        }
        case 1: {
            const D e = (vgsteff + vth + vth - vmat) / tox;
            degr = e * (b.ua + b.ub * e) * (1.0 + b.uc * Vbseff) + coulomb_term(b.ud, tox, vth, vgsteff);
            break;
        }
        case 2:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) / tox, b.eu) +
                   coulomb_term(b.ud, tox, D(vtfbphi1), vgsteff);
            break;
        case 3:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) * 1.0e-8 / tox / 6.0, b.eu) +
                   b.ud / pow_exp_log(0.5 + 0.5 * vgsteff / s.vgsteff_vth, b.ucs);
            break;
        case 4: {
            const D e = (vgsteff + vtfbphi1 - vmat) / tox;
            degr = e * ((b.ua + b.uc * Vbseff) + b.ub * e) + coulomb_term(b.ud, tox, D(vtfbphi1), vgsteff);
            break;
        }
        case 5: {
            const D e = (vgsteff + vtfbphi1 - vmat) / tox;
            degr =
                e * (b.ua + b.ub * e) * (1.0 + b.uc * Vbseff) + coulomb_term(b.ud, tox, D(vtfbphi1), vgsteff);
            break;
        }
        default:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) / tox, b.eu) +
                   coulomb_term(b.ud, tox, D(vtfbphi1), vgsteff);
            break;
    }
    const D denomi = degr.v >= -0.8 ? 1.0 + degr : (0.6 + degr) * (1.0 / (7.0 + 10.0 * degr));
    const D ueff = inst.u0temp / denomi;

    // Saturation voltage.
    const double vsat_t = inst.vsattemp;
    const D wvcox = weff_b * vsat_t * t.coxe;
    const D wvcox_rds = wvcox * rds;
    D esat = 2.0 * vsat_t / ueff;
    D esat_l = esat * leff;
    D lambda_a;
    if (b.a1 == 0.0) {
        lambda_a = D(b.a2);
    } else if (b.a1 > 0.0) {
        const double c = 1.0 - b.a2;
        const D x = c - b.a1 * vgsteff - 0.0001;
        lambda_a = b.a2 + c - 0.5 * (x + sqrt(x * x + 0.0004 * c));
    } else {
        const D x = b.a2 + b.a1 * vgsteff - 0.0001;
        lambda_a = 0.5 * (x + sqrt(x * x + 0.0004 * b.a2));
    }
    const D vgst2vtm = vgsteff + 2.0 * vtm;
    D vdsat;
    if (rds.v == 0.0 && lambda_a.v == 1.0) {
        vdsat = esat_l * vgst2vtm / (abulk * esat_l + vgst2vtm);
    } else {
        const D t9 = abulk * wvcox_rds;
        const D qp = 2.0 * abulk * (t9 - 1.0 + 1.0 / lambda_a);
        const D qq = vgst2vtm * (2.0 / lambda_a - 1.0) + abulk * esat_l + 3.0 * (vgst2vtm * t9);
        const D qs = vgst2vtm * (esat_l + 2.0 * (vgst2vtm * wvcox_rds));
        vdsat = (qq - sqrt(qq * qq - 2.0 * qp * qs)) / qp;
    }
    inst.vdsat = vdsat.v;

    // Effective drain-source voltage.
    const double delta = b.delta;
    D vdseff;
    {
        const D t1 = vdsat - Vds - delta;
        const D t2 = sqrt(t1 * t1 + 4.0 * delta * vdsat);
        if (t1.v >= 0.0)
            vdseff = vdsat - 0.5 * (t1 + t2);
        else
            vdseff = vdsat * (1.0 - 2.0 * delta / (t2 - t1));
    }
    if (vds_o == 0.0) {
        // Zero exactly, with the one-sided drain slope and no gate or body slope.
        vdseff.v = 0.0;
        if constexpr (kVgs >= 0) vdseff.d[kVgs] = 0.0;
        if constexpr (kVbs >= 0) vdseff.d[kVbs] = 0.0;
    }
    if (vdseff.v > vds_o) vdseff.v = vds_o;
    const D diff_vds = Vds - vdseff;

    // Velocity overshoot changes the saturation field after Vdsat.
    if (m.given.lambda && p.lambda > 0.0) {
        const D r = b.lambda / (leff * ueff);
        const D sv = 1.0 + diff_vds * (1.0 / (esat * s.litl));
        const D t8o = 1.0 - 2.0 / (sv * sv + 1.0);
        D f_os = 1.0 + r * t8o;
        if (f_os.v == 1.0) f_os = D(1.0);
        esat_l = esat_l * f_os;
        esat = esat_l / leff;
    }

    const D vasat = (esat_l + vdsat + 2.0 * (wvcox_rds * vgsteff) * (1.0 - 0.5 * abulk * vdsat / vgst2vtm)) /
                    (2.0 / lambda_a - 1.0 + wvcox_rds * abulk);

    // Linear-region current with the charge-centroid oxide capacitance.
    const D xc = (vgsteff + inst.vtfbphi2) * (1.0 / (2.0e8 * inst.toxp));
    const D tcen = p.ados * 1.9e-9 / (1.0 + exp(p.bdos * 0.7 * log(xc)));
    const D coxeff = t.epssub * inst.coxp / (t.epssub + inst.coxp * tcen);
    const D coxeff_wovl = coxeff * weff_b / leff;
    const D beta = ueff * coxeff_wovl;
    const D fgche1 = vgsteff * (1.0 - 0.5 * vdseff * (abulk / vgst2vtm));
    const D fgche2 = 1.0 + vdseff / esat_l;
    const D gche = beta * fgche1 / fgche2;
    const D idl = gche / (1.0 + gche * rds);

    // Early voltages.
    const D fp = b.fprout <= 0.0 ? D(1.0) : 1.0 / (1.0 + b.fprout * std::sqrt(leff) / vgst2vtm);
    const D pv = b.pvag / esat_l * vgsteff;
    const D pvag_term = pv.v > -0.9 ? 1.0 + pv : (0.8 + pv) * (1.0 / (17.0 + 20.0 * pv));
    D cclm, vaclm;
    if (b.pclm > kMinExp && diff_vds.v > 1.0e-10) {
        cclm = fp * pvag_term * (1.0 + rds * idl) * (leff + vdsat / esat) / (b.pclm * s.litl);
        vaclm = cclm * diff_vds;
    } else {
        cclm = vaclm = D(kMaxExp);
    }
    D vadibl;
    if (s.theta_rout > kMinExp) {
        const D t8d = abulk * vdsat;
        vadibl = (vgst2vtm - vgst2vtm * t8d / (vgst2vtm + t8d)) / s.theta_rout;
        vadibl = vadibl * body.vadibl_factor;
        vadibl = vadibl * pvag_term;
    } else {
        vadibl = D(kMaxExp);
    }
    const D va = vasat + vaclm;
    D vadits;
    if (b.pdits > kMinExp) {
        const D e = b.pditsd * Vds;
        const D ee = e.v > kExpThreshold ? D(kMaxExp) : exp(e);
        vadits = (1.0 + (1.0 + p.pditsl * leff) * ee) / b.pdits * fp;
    } else {
        vadits = D(kMaxExp);
    }
    D vascbe;
    if (b.pscbe2 > 0.0 && b.pscbe1 >= 0.0) {
        const double t0 = b.pscbe1 * s.litl;
        if (diff_vds.v > t0 / kExpThreshold)
            vascbe = leff * exp(t0 / diff_vds) / b.pscbe2;
        else
            vascbe = D(kMaxExp * leff / b.pscbe2);
    } else {
        vascbe = D(kMaxExp);
    }

    // Channel current.
    D idsa = idl * (1.0 + diff_vds / vadibl);
    idsa = idsa * (1.0 + diff_vds / vadits);
    idsa = idsa * (1.0 + log(va / vasat) / cclm);
    const D ids = idsa * (1.0 + diff_vds / vascbe);
    D cd = ids * vdseff;

    // Substrate current of impact ionisation, from Idsa: neither the SCBE factor nor the
    // velocity limit enters it. It leaves the channel's drain end.
    D isub(0.0);
    if (const double alpha = b.alpha0 + b.alpha1 * leff; alpha > 0.0 && b.beta0 > 0.0) {
        const double k = alpha / leff;
        const D t = diff_vds.v > b.beta0 / kExpThreshold ? k * diff_vds * exp(-b.beta0 / diff_vds)
                                                         : k * kMinExp * diff_vds;
        isub = t * idsa * vdseff;
    }

    // Body slope with respect to Vbs.
    if constexpr (kVbs >= 0) {
        cd.d[kVbs] *= body.dvbseff_dvbs;
        isub.d[kVbs] *= body.dvbseff_dvbs;
    }

    // GIDL and GISL, on the physical voltages (slopes with respect to the physical Vgs, Vds, Vbs).
    D igidl(0.0), igisl(0.0);
    if (b.agidl > 0.0 || b.agisl > 0.0) {
        const D pg = D::variable(vgs, kVgs), pd = D::variable(vds, kVds), pb = D::variable(vbs, kVbs);
        const D vgs_eff_p = poly_depletion(m, inst, pg), vgd_eff_p = poly_depletion(m, inst, pg - pd);
        igidl = band_to_band(m, s, {b.agidl, b.bgidl, b.cgidl, b.egidl, b.rgidl, b.kgidl, b.fgidl}, pd,
                             vgs_eff_p, pb - pd);
        igisl = band_to_band(m, s, {b.agisl, b.bgisl, b.cgisl, b.egisl, b.rgisl, b.kgisl, b.fgisl}, -pd,
                             vgd_eff_p, pb);
    }

    // Gate tunnelling, in the full load only and only when a card asks for it. The gate-to-channel
    // and gate-to-body currents are the orientation's (with the threshold, overdrive and Vdseff
    // above), the overlap currents take the physical voltages.
    if constexpr (P::n == 3) {
        if (p.igcmod != 0 || p.igbmod != 0) {
            const double vt = p.tempmod < 2 ? t.vtm : t.vtm0;
            const double vfb = inst.vfbzb;
            // Oxide voltages of accumulation and of depletion/inversion.
            const D v3 = vfb - vgs_eff + Vbseff - 0.02;
            const D root = vfb <= 0.0 ? sqrt(v3 * v3 - 0.08 * vfb) : sqrt(v3 * v3 + 0.08 * vfb);
            const D vfbeff = vfb - 0.5 * (v3 + root);
            D voxacc = vfb - vfbeff;
            if (voxacc.v < 0.0) voxacc = D(0.0);
            D voxdepinv(0.0);
            if (s.k1ox != 0.0) {
                const D dep = vgs_eff - vfbeff - Vbseff - vgsteff;
                const double h = 0.5 * s.k1ox;
                voxdepinv = dep.v < 0.0 ? -dep : s.k1ox * (sqrt(h * h + dep) - h);
            }
            voxdepinv = voxdepinv + vgsteff;

            D igcs(0.0), igcd(0.0), igb(0.0);
            const D pg = D::variable(vgs, kVgs), pd = D::variable(vds, kVds);
            D igs_e(0.0), igd_e(0.0);
            if (p.igcmod != 0) {
                const D vref = p.igcmod == 1 ? D(type * inst.vth0) : vth;
                const D vaux = soft_plus(vgs_eff - vref, vt * b.nigc);
                const D igc =
                    s.aechvb * (vgs_eff * vaux) * tunnel_factor(s.bechvb, b.aigc, b.bigc, b.cigc, voxdepinv);
                // Its partition between the channel's ends.
                D pigcd(b.pigcd);
                if (!m.given.pigcd) {
                    const D t12 = vgsteff + 1.0e-20;
                    pigcd = -s.bechvb / t12 / t12 * (1.0 - 0.5 * vdseff / t12);
                }
                const D y = -pigcd * vdseff;
                const D q = y * y + 2.0e-4;
                const D ey = exp_clamped(y);
                igcs = igc * ((ey - 1.0 + 1.0e-4 - y) / q);
                igcd = igc * ((y * ey - (ey - 1.0 - 1.0e-4)) / q);
                const double vfb_sd = s.vfbsd + b.vfbsdoff;
                igs_e = edge_tunnelling(s.aechvb_edge_s, s.bechvb_edge, b.aigs, b.bigs, b.cigs, vfb_sd, pg);
                igd_e =
                    edge_tunnelling(s.aechvb_edge_d, s.bechvb_edge, b.aigd, b.bigd, b.cigd, vfb_sd, pg - pd);
            }
            if (p.igbmod != 0) {
                const double a = 4.97232e-7 * weff * leff * s.tox_ratio, bb = -7.45669e11 * tox;
                const D vgb = vgs_eff - Vbseff;
                const D acc = a * (vgb * soft_plus(-vgs_eff + Vbseff + vfb, vt * b.nigbacc)) *
                              tunnel_factor(bb, b.aigbacc, b.bigbacc, b.cigbacc, voxacc);
                const D inv = a * 0.75610 * (vgb * soft_plus(voxdepinv - b.eigbinv, vt * b.nigbinv)) *
                              tunnel_factor(bb * 1.31724, b.aigbinv, b.bigbinv, b.cigbinv, voxdepinv);
                igb = inv + acc;
            }
            // Body slopes with respect to Vbs.
            for (D* x : {&igcs, &igcd, &igb}) x->d[kVbs] *= body.dvbseff_dvbs;
            inst.igcs = physical(igcs, mode, inst.nf);
            inst.igcd = physical(igcd, mode, inst.nf);
            inst.igb = physical(igb, mode, inst.nf);
            inst.igs = physical(igs_e, 1, inst.nf);
            inst.igd = physical(igd_e, 1, inst.nf);
            inst.gate_currents = true;
        } else if (inst.gate_currents) {
            inst.igs = inst.igd = inst.igcs = inst.igcd = inst.igb = GateCurrent{};
            inst.gate_currents = false;
        }
    }

    // Source-end velocity limit. Its slopes take the width and Coxeff as constants and the gate
    // overdrive's body slope with respect to Vbseff (not Vbs), as the published model does.
    if (m.given.vtl && p.vtl > 0.0) {
        const double t12 = 1.0 / leff / coxeff_wovl.v;
        const double t11 = t12 / vgsteff.v;
        const double t10v = -t11 / vgsteff.v;
        const double vs = cd.v * t11;
        std::array<double, P::n> dvs;
        for (int i = 0; i < P::n; ++i) dvs[i] = cd.d[i] * t11 + cd.v * t10v * vgsteff.d[i];
        const double u = vs / (b.vtl * s.tfactor);
        if (u > 0.0) {
            const double t2 = 1.0 + std::exp(6.0 * std::log(u));
            const double t3 = (t2 - 1.0) * 6.0 / vs;
            const double fsevl = 1.0 / std::exp(std::log(t2) / 6.0);
            const double t4 = -1.0 / 6.0 * fsevl / t2;
            D r(cd.v * fsevl);
            for (int i = 0; i < P::n; ++i) r.d[i] = cd.d[i] * fsevl + cd.v * (t4 * (t3 * dvs[i]));
            cd = r;
        }
    }

    const double nf = inst.nf;
    inst.cd = cd.v;
    inst.gm = partial<kVgs>(cd);
    inst.gds = partial<kVds>(cd);
    inst.gmbs = partial<kVbs>(cd);
    if (nf != 1.0) {
        inst.cd *= nf;
        inst.gm *= nf;
        inst.gds *= nf;
        inst.gmbs *= nf;
    }

    // The drain terminal's current: the channel (reversed with the orientation), the substrate
    // current when the drain is the channel's drain end, GIDL, less the drain junction's current
    // (bulk to drain, gmin included). Slopes with respect to the physical Vgs, Vds, Vbs.
    const double scale = nf;
    const D oriented = mode == 1 ? cd + isub : -cd;
    inst.isub = scale * isub.v;
    inst.igidl = scale * igidl.v;
    inst.igisl = scale * igisl.v;
    inst.idrain = (scale * oriented.v + inst.igidl) - inst.cbd;
    if constexpr (P::n == 3) {
        // Oriented slopes to physical ones: reversed, Vgs' = Vgd, Vds' = -Vds, Vbs' = Vbd.
        double g = scale * oriented.d[kVgs], d = scale * oriented.d[kVds], bb = scale * oriented.d[kVbs];
        if (mode != 1) d = -(g + d + bb);
        inst.gdrain_g = g + scale * igidl.d[kVgs];
        inst.gdrain_d = d + scale * igidl.d[kVds] + inst.gbd;
        inst.gdrain_b = bb + scale * igidl.d[kVbs] - inst.gbd;
        // Less what the gate tunnels into the drain: across its overlap, and the gate-to-channel
        // current's part at the channel's end there.
        if (p.igcmod != 0) {
            const GateCurrent& end = mode == 1 ? inst.igcd : inst.igcs;
            inst.idrain -= inst.igd.i + end.i;
            inst.gdrain_g -= inst.igd.g + end.g;
            inst.gdrain_d -= inst.igd.d + end.d;
            inst.gdrain_b -= inst.igd.b + end.b;
        }
    } else {
        inst.gdrain_g = inst.gdrain_d = inst.gdrain_b = kNotComputed;
    }
}

}  // namespace

void BSIM4load(const Model& m, Instance& inst, LoadMemo<3>* memo) { load<AllPartials>(m, inst, memo); }

template <>
void BSIM4load_values<0>(const Model& m, Instance& inst, LoadMemo<0>* memo) {
    load<NoPartials>(m, inst, memo);
}

template <>
void BSIM4load_values<1>(const Model& m, Instance& inst, LoadMemo<1>* memo) {
    load<BodyPartial>(m, inst, memo);
}

}  // namespace morva::bsim4::model
