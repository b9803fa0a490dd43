// DC load: the bias-point evaluation of one instance in the DC initial-condition mode.
//
// The channel equations run on dual numbers whose partials are taken with respect to the
// orientation's Vgs, Vds and the effective body bias Vbseff; the body partial is turned into a
// Vbs partial with dVbseff/dVbs at the end. Junction diodes use a dual number of their own
// junction voltage. Substrate, GIDL/GISL and gate-tunnelling currents, charges, capacitances and
// noise quantities are not computed: the evaluator reports none of them.
#include <cmath>

#include "bsim4_model/dual.h"
#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

using D1 = Dual<1>;
using D3 = Dual<3>;
constexpr int kVgs = 0, kVds = 1, kVbs = 2;

// Clamped exponential with linear extension above the threshold.
template <class T>
T exp_linear(const T& x) {
    if (x.v > kExpThreshold) return kMaxExp * (1.0 + x - kExpThreshold);
    if (x.v < -kExpThreshold) return T(kMinExp);
    return exp(x);
}

// 1 + x, or its rational continuation below -0.5.
D3 lower_smooth(const D3& x) {
    if (x.v >= -0.5) return 1.0 + x;
    return (1.0 + 3.0 * x) * (1.0 / (3.0 + 8.0 * x));
}

// e^x / ((e^x - 1)^2 + 2 e^x MIN_EXP): the short-channel shape function.
D3 theta_sce(const D3& x) {
    if (x.v < kExpThreshold) {
        const D3 e = exp(x);
        const D3 d = e - 1.0;
        return e / (d * d + 2.0 * e * kMinExp);
    }
    return D3(1.0 / (kMaxExp - 2.0));
}

D3 pow_exp_log(const D3& x, double p) { return exp(p * log(x)); }

// The diode current of one junction, by the selected formulation, with gmin across it.
D1 diode(int diomod, const Junction& j, const JunctionParams& jp, double nvt, const D1& v, double gmin) {
    if (j.isat <= 0.0) return gmin * v;
    switch (diomod) {
        case 0: {
            const D1 ev = exp(v / nvt);
            const D1 tb = jp.xjbv * exp(-(jp.bv + v) / nvt);
            return j.isat * (ev + j.xexp_bv - tb - 1.0) + gmin * v;
        }
        case 1: {
            const D1 x = v / nvt;
            if (x.v < -kExpThreshold) return D1(j.isat * (kMinExp - 1.0)) + gmin * v;
            if (v.v <= j.vjm_fwd) return j.isat * (exp(x) - 1.0) + gmin * v;
            const double slope = j.ivjm_fwd / nvt;
            return j.ivjm_fwd - j.isat + slope * (v - j.vjm_fwd) + gmin * v;
        }
        case 2: {
            const bool reverse = v.v < j.vjm_rev;
            if (!reverse && v.v > j.vjm_fwd) return j.ivjm_fwd + j.slp_fwd * (v - j.vjm_fwd) + gmin * v;
            const D1 x = v / nvt;
            const D1 ev = x.v < -kExpThreshold ? D1(kMinExp) : exp(x);
            if (reverse) return (ev - 1.0) * (j.ivjm_rev + j.slp_rev * (v - j.vjm_rev)) + gmin * v;
            const D1 y = (jp.bv + v) / nvt;
            const D1 eb = y.v > kExpThreshold ? D1(kMinExp) : exp(-y);
            return j.isat * (ev + j.xexp_bv - 1.0 - jp.xjbv * eb) + gmin * v;
        }
        default: return gmin * v;
    }
}

// One trap-assisted tunnelling term, itat (e^a - 1).
D1 tunnelling(double itat, double nvt, double vts, const D1& v) {
    D1 a;
    if (vts - v.v < 1.0e-3 * vts)
        a = -v / nvt * 1.0e3;
    else
        a = -v / nvt * vts * (1.0 / (vts - v));
    return itat * (exp_linear(a) - 1.0);
}

// Poly-gate depletion: the effective gate voltage.
D3 poly_depletion(const Model& m, const Instance& inst, const D3& vg) {
    const ModelParams& p = m.p;
    const BinnedParams& b = inst.size->b;
    const double eps_gate = p.mtrlmod == 0 ? kEpsSi : p.epsrgate * kEps0;
    const double vfb_phi = inst.vfb + inst.size->phi;
    if (!(b.ngate > 1.0e18 && b.ngate < 1.0e25 && vg.v > vfb_phi && eps_gate != 0.0)) return vg;
    const double coxe = m.t.coxe;
    const double t1 = 1.0e6 * kChargeSim * eps_gate * b.ngate / (coxe * coxe);
    const D3 t8 = vg - vfb_phi;
    const D3 t4 = sqrt(1.0 + 2.0 * t8 / t1);
    const D3 t2 = 2.0 * t8 / (t4 + 1.0);
    const D3 t3 = 0.5 * t2 * t2 / t1;
    const D3 t7 = 1.12 - t3 - 0.05;
    const D3 t6 = sqrt(t7 * t7 + 0.224);
    const D3 t5 = 1.12 - 0.5 * (t7 + t6);
    return vg - t5;
}

// The mobility degradation term Ud(X) = ud X^2 tox^2 / (Vgsteff + 2 sqrt(X^2 + 1e-4))^2.
D3 coulomb_term(double ud, double tox, const D3& x, const D3& vgsteff) {
    const D3 t12 = sqrt(x * x + 0.0001);
    const D3 t10 = (1.0 / (vgsteff + 2.0 * t12)) * tox;
    return ud * t10 * t10 * x * x;
}

}  // namespace

void BSIM4load(const Model& m, Instance& inst) {
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
        const JunctionParams jp = junction_params(m, source);
        const D1 v = D1::variable(voltage, 0);
        D1 c = diode(p.diomod, j, jp, t.vtm * jp.nj, v, gmin);
        for (int k = 0; k < 3; ++k) c = c - tunnelling(j.itat[k], t.vtm0 * jp.njts[k], jp.vts[k], v);
        current = c.v;
        conductance = c.d[0];
    };
    junction(inst.source, true, vbs, inst.cbs, inst.gbs);
    junction(inst.drain, false, vbd, inst.cbd, inst.gbd);

    // Orientation: the channel is evaluated from its more negative end.
    const int mode = vds >= 0.0 ? 1 : -1;
    const double vds_o = mode == 1 ? vds : -vds;
    const double vgs_o = mode == 1 ? vgs : vgd;
    const double vbs_o = mode == 1 ? vbs : vbd;
    inst.mode = mode;

    // Effective body bias: a floor at vbsc, then a ceiling below phi.
    const double vbsc = inst.vbsc;
    D1 vbseff1;
    {
        const D1 vb = D1::variable(vbs_o, 0);
        const D1 t0 = vb - vbsc - 0.001;
        const D1 t1 = sqrt(t0 * t0 - 0.004 * vbsc);
        if (t0.v >= 0.0)
            vbseff1 = vbsc + 0.5 * (t0 + t1);
        else
            vbseff1 = vbsc * (1.0 + (-0.002 / (t1 - t0)));
    }
    const double phi = s.phi, sqrt_phi = s.sqrt_phi;
    D1 vbseff_b;
    {
        const double t9 = 0.95 * phi;
        const D1 t0 = t9 - vbseff1 - 0.001;
        const D1 t1 = sqrt(t0 * t0 + 0.004 * t9);
        vbseff_b = t9 - 0.5 * (t0 + t1);
    }
    const double dvbseff_dvbs = vbseff_b.d[0];

    const D3 Vgs = D3::variable(vgs_o, kVgs);
    const D3 Vds = D3::variable(vds_o, kVds);
    const D3 Vbseff = D3::variable(vbseff_b.v, kVbs);

    const D3 phis = phi - Vbseff;
    const D3 sqrt_phis = sqrt(phis);
    const D3 xdep = s.xdep0 * sqrt_phis / sqrt_phi;

    // Threshold voltage.
    const double leff = s.leff, weff = s.weff;
    const double tox = t.tox;
    const double v0 = s.vbi - phi;
    const D3 sqrt_xdep = sqrt(xdep);
    const D3 lt1 = t.factor1 * sqrt_xdep * lower_smooth(b.dvt2 * Vbseff);
    const D3 ltw = t.factor1 * sqrt_xdep * lower_smooth(b.dvt2w * Vbseff);
    const D3 theta0 = theta_sce(b.dvt1 * leff / lt1);
    const D3 delt_vth = b.dvt0 * theta0 * v0;
    const D3 t_nw = b.dvt0w * theta_sce(b.dvt1w * weff * leff / ltw) * v0;
    const double temp_ratio = m.ctx_temp / p.tnom - 1.0;
    const D3 t_lt = s.k1ox * (std::sqrt(1.0 + b.lpe0 / leff) - 1.0) * sqrt_phi +
                    (b.kt1 + b.kt1l / leff + b.kt2 * Vbseff) * temp_ratio;
    const double vth_narrow_w = tox * phi / (weff + b.w0);
    D3 eta = inst.eta0 + b.etab * Vbseff;
    if (eta.v < 1.0e-4) eta = (2.0e-4 - eta) * (1.0 / (3.0 - 2.0e4 * eta));
    const D3 dibl_sft = eta * s.theta0vb0 * Vds;
    const double lpe_vb = std::sqrt(1.0 + b.lpeb / leff);
    D3 vth = type * inst.vth0 + (s.k1ox * sqrt_phis - b.k1 * sqrt_phi) * lpe_vb - inst.k2ox * Vbseff -
             delt_vth - t_nw + (b.k3 + b.k3b * Vbseff) * vth_narrow_w + t_lt - dibl_sft;

    // Subthreshold swing.
    const D3 cdep = t.epssub / xdep;
    const D3 nm = (b.nfactor * cdep + (b.cdsc + b.cdscb * Vbseff + b.cdscd * Vds) * theta0 + b.cit) / t.coxe;
    const D3 n = lower_smooth(nm);

    // Pocket implant and drain-induced threshold shifts.
    if (b.dvtp0 > 0.0) {
        const D3 x = -b.dvtp1 * Vds;
        const D3 e = x.v < -kExpThreshold ? D3(kMinExp) : exp(x);
        const double vt = p.tempmod < 2 ? t.vtm : t.vtm0;
        vth = vth - n * vt * log(leff / (leff + b.dvtp0 * (1.0 + e)));
    }
    if (b.dvtp4 != 0.0 && s.dvtp2factor != 0.0) {
        const D3 y = exp_linear(2.0 * b.dvtp4 * Vds);
        vth = vth - s.dvtp2factor * (y - 1.0) / (y + 1.0);
    }
    inst.von = vth.v;

    // Effective gate overdrive.
    const D3 vgs_eff = poly_depletion(m, inst, Vgs);
    const D3 vgst = vgs_eff - vth;
    const double vtm = t.vtm;
    const D3 t10 = n * vtm;
    const D3 z1 = s.mstar * vgst / t10;
    D3 numer;
    if (z1.v > kExpThreshold)
        numer = s.mstar * vgst;
    else if (z1.v < -kExpThreshold)
        numer = t10 * std::log(1.0 + kMinExp);
    else
        numer = t10 * log(1.0 + exp(z1));
    const D3 z2 = (s.voffcbn - (1.0 - s.mstar) * vgst) / t10;
    D3 denom;
    if (z2.v < -kExpThreshold)
        denom = s.mstar + n * t.coxe * kMinExp / s.cdep0;
    else if (z2.v > kExpThreshold)
        denom = s.mstar + n * t.coxe * kMaxExp / s.cdep0;
    else
        denom = s.mstar + n * (t.coxe / s.cdep0) * exp(z2);
    const D3 vgsteff = numer / denom;

    // Bias-dependent width.
    D3 weff_b = weff - 2.0 * (b.dwg * vgsteff + b.dwb * (sqrt_phis - sqrt_phi));
    if (weff_b.v < 2.0e-8) weff_b = 2.0e-8 * (4.0e-8 - weff_b) * (1.0 / (6.0e-8 - 2.0 * weff_b));

    // Internal source/drain resistance.
    D3 rds(0.0);
    if (p.rdsmod == 0) {
        const D3 g = 1.0 / (1.0 + b.prwg * vgsteff) + b.prwb * (sqrt_phis - sqrt_phi);
        rds = s.rdswmin + (g + sqrt(g * g + 0.01)) * (s.rds0 * 0.5);
    }

    // Bulk-charge factor.
    const D3 c1 = 0.5 * s.k1ox * lpe_vb / sqrt_phis + inst.k2ox - b.k3b * vth_narrow_w;
    const D3 f = leff / (leff + 2.0 * sqrt(b.xj * xdep));
    const D3 c2 = b.a0 * f + b.b0 / (s.b.b1 + weff);
    const D3 abulk0 = 1.0 + c1 * c2;
    const D3 t8 = b.ags * b.a0 * (f * f * f);
    D3 abulk = abulk0 + (-(c1 * t8)) * vgsteff;
    if (abulk.v < 0.1) abulk = (0.2 - abulk) * (1.0 / (3.0 - 20.0 * abulk));
    const D3 kx = b.keta * Vbseff;
    const D3 kf = kx.v >= -0.9 ? 1.0 / (1.0 + kx) : (17.0 + 20.0 * kx) * (1.0 / (0.8 + kx));
    abulk = kf * abulk;

    // Mobility.
    const double vmat =
        (p.mtrlmod != 0 && p.mtrlcompatmod == 0) ? 2.0 * type * (p.phig - p.easub - 0.5 * t.eg0 + 0.45) : 0.0;
    const double vtfbphi1 = inst.vtfbphi1;
    D3 degr;
    switch (p.mobmod) {
        case 0: {
            const D3 e = (vgsteff + vth + vth - vmat) / tox;
            degr = e * ((b.ua + b.uc * Vbseff) + b.ub * e) + coulomb_term(b.ud, tox, vth, vgsteff);
            break;
        }
        case 1: {
            const D3 e = (vgsteff + vth + vth - vmat) / tox;
            degr = e * (b.ua + b.ub * e) * (1.0 + b.uc * Vbseff) + coulomb_term(b.ud, tox, vth, vgsteff);
            break;
        }
        case 2:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) / tox, b.eu) +
                   coulomb_term(b.ud, tox, D3(vtfbphi1), vgsteff);
            break;
        case 3:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) * 1.0e-8 / tox / 6.0, b.eu) +
                   b.ud / pow_exp_log(0.5 + 0.5 * vgsteff / s.vgsteff_vth, b.ucs);
            break;
        case 4: {
            const D3 e = (vgsteff + vtfbphi1 - vmat) / tox;
            degr = e * ((b.ua + b.uc * Vbseff) + b.ub * e) + coulomb_term(b.ud, tox, D3(vtfbphi1), vgsteff);
            break;
        }
        case 5: {
            const D3 e = (vgsteff + vtfbphi1 - vmat) / tox;
            degr = e * (b.ua + b.ub * e) * (1.0 + b.uc * Vbseff) +
                   coulomb_term(b.ud, tox, D3(vtfbphi1), vgsteff);
            break;
        }
        default:
            degr = (b.ua + b.uc * Vbseff) * pow_exp_log((vgsteff + vtfbphi1) / tox, b.eu) +
                   coulomb_term(b.ud, tox, D3(vtfbphi1), vgsteff);
            break;
    }
    const D3 denomi = degr.v >= -0.8 ? 1.0 + degr : (0.6 + degr) * (1.0 / (7.0 + 10.0 * degr));
    const D3 ueff = inst.u0temp / denomi;

    // Saturation voltage.
    const double vsat_t = inst.vsattemp;
    const D3 wvcox = weff_b * vsat_t * t.coxe;
    const D3 wvcox_rds = wvcox * rds;
    D3 esat = 2.0 * vsat_t / ueff;
    D3 esat_l = esat * leff;
    D3 lambda_a;
    if (b.a1 == 0.0) {
        lambda_a = D3(b.a2);
    } else if (b.a1 > 0.0) {
        const double c = 1.0 - b.a2;
        const D3 x = c - b.a1 * vgsteff - 0.0001;
        lambda_a = b.a2 + c - 0.5 * (x + sqrt(x * x + 0.0004 * c));
    } else {
        const D3 x = b.a2 + b.a1 * vgsteff - 0.0001;
        lambda_a = 0.5 * (x + sqrt(x * x + 0.0004 * b.a2));
    }
    const D3 vgst2vtm = vgsteff + 2.0 * vtm;
    D3 vdsat;
    if (rds.v == 0.0 && lambda_a.v == 1.0) {
        vdsat = esat_l * vgst2vtm / (abulk * esat_l + vgst2vtm);
    } else {
        const D3 t9 = abulk * wvcox_rds;
        const D3 qp = 2.0 * abulk * (t9 - 1.0 + 1.0 / lambda_a);
        const D3 qq = vgst2vtm * (2.0 / lambda_a - 1.0) + abulk * esat_l + 3.0 * (vgst2vtm * t9);
        const D3 qs = vgst2vtm * (esat_l + 2.0 * (vgst2vtm * wvcox_rds));
        vdsat = (qq - sqrt(qq * qq - 2.0 * qp * qs)) / qp;
    }
    inst.vdsat = vdsat.v;

    // Effective drain-source voltage.
    const double delta = b.delta;
    D3 vdseff;
    {
        const D3 t1 = vdsat - Vds - delta;
        const D3 t2 = sqrt(t1 * t1 + 4.0 * delta * vdsat);
        if (t1.v >= 0.0)
            vdseff = vdsat - 0.5 * (t1 + t2);
        else
            vdseff = vdsat * (1.0 - 2.0 * delta / (t2 - t1));
    }
    if (vds_o == 0.0) {
        // Zero exactly, with the one-sided drain slope and no gate or body slope.
        vdseff.v = 0.0;
        vdseff.d[kVgs] = 0.0;
        vdseff.d[kVbs] = 0.0;
    }
    if (vdseff.v > vds_o) vdseff.v = vds_o;
    const D3 diff_vds = Vds - vdseff;

    // Velocity overshoot changes the saturation field after Vdsat.
    if (m.given.lambda && p.lambda > 0.0) {
        const D3 r = b.lambda / (leff * ueff);
        const D3 sv = 1.0 + diff_vds * (1.0 / (esat * s.litl));
        const D3 t8o = 1.0 - 2.0 / (sv * sv + 1.0);
        D3 f_os = 1.0 + r * t8o;
        if (f_os.v == 1.0) f_os = D3(1.0);
        esat_l = esat_l * f_os;
        esat = esat_l / leff;
    }

    const D3 vasat = (esat_l + vdsat + 2.0 * (wvcox_rds * vgsteff) * (1.0 - 0.5 * abulk * vdsat / vgst2vtm)) /
                     (2.0 / lambda_a - 1.0 + wvcox_rds * abulk);

    // Linear-region current with the charge-centroid oxide capacitance.
    const D3 xc = (vgsteff + inst.vtfbphi2) * (1.0 / (2.0e8 * inst.toxp));
    const D3 tcen = p.ados * 1.9e-9 / (1.0 + exp(p.bdos * 0.7 * log(xc)));
    const D3 coxeff = t.epssub * inst.coxp / (t.epssub + inst.coxp * tcen);
    const D3 coxeff_wovl = coxeff * weff_b / leff;
    const D3 beta = ueff * coxeff_wovl;
    const D3 fgche1 = vgsteff * (1.0 - 0.5 * vdseff * (abulk / vgst2vtm));
    const D3 fgche2 = 1.0 + vdseff / esat_l;
    const D3 gche = beta * fgche1 / fgche2;
    const D3 idl = gche / (1.0 + gche * rds);

    // Early voltages.
    const D3 fp = b.fprout <= 0.0 ? D3(1.0) : 1.0 / (1.0 + b.fprout * std::sqrt(leff) / vgst2vtm);
    const D3 pv = b.pvag / esat_l * vgsteff;
    const D3 pvag_term = pv.v > -0.9 ? 1.0 + pv : (0.8 + pv) * (1.0 / (17.0 + 20.0 * pv));
    D3 cclm, vaclm;
    if (b.pclm > kMinExp && diff_vds.v > 1.0e-10) {
        cclm = fp * pvag_term * (1.0 + rds * idl) * (leff + vdsat / esat) / (b.pclm * s.litl);
        vaclm = cclm * diff_vds;
    } else {
        cclm = vaclm = D3(kMaxExp);
    }
    D3 vadibl;
    if (s.theta_rout > kMinExp) {
        const D3 t8d = abulk * vdsat;
        vadibl = (vgst2vtm - vgst2vtm * t8d / (vgst2vtm + t8d)) / s.theta_rout;
        const D3 bb = b.pdiblcb * Vbseff;
        if (bb.v >= -0.9)
            vadibl = vadibl * (1.0 / (1.0 + bb));
        else
            vadibl = vadibl * ((17.0 + 20.0 * bb) * (1.0 / (0.8 + bb)));
        vadibl = vadibl * pvag_term;
    } else {
        vadibl = D3(kMaxExp);
    }
    const D3 va = vasat + vaclm;
    D3 vadits;
    if (b.pdits > kMinExp) {
        const D3 e = b.pditsd * Vds;
        const D3 ee = e.v > kExpThreshold ? D3(kMaxExp) : exp(e);
        vadits = (1.0 + (1.0 + p.pditsl * leff) * ee) / b.pdits * fp;
    } else {
        vadits = D3(kMaxExp);
    }
    D3 vascbe;
    if (b.pscbe2 > 0.0 && b.pscbe1 >= 0.0) {
        const double t0 = b.pscbe1 * s.litl;
        if (diff_vds.v > t0 / kExpThreshold)
            vascbe = leff * exp(t0 / diff_vds) / b.pscbe2;
        else
            vascbe = D3(kMaxExp * leff / b.pscbe2);
    } else {
        vascbe = D3(kMaxExp);
    }

    // Channel current.
    D3 idsa = idl * (1.0 + diff_vds / vadibl);
    idsa = idsa * (1.0 + diff_vds / vadits);
    idsa = idsa * (1.0 + log(va / vasat) / cclm);
    const D3 ids = idsa * (1.0 + diff_vds / vascbe);
    D3 cd = ids * vdseff;

    // Body slope with respect to Vbs.
    cd.d[kVbs] *= dvbseff_dvbs;

    // Source-end velocity limit. Its slopes take the width and Coxeff as constants and the gate
    // overdrive's body slope with respect to Vbseff (not Vbs), as the published model does.
    if (m.given.vtl && p.vtl > 0.0) {
        const double t12 = 1.0 / leff / coxeff_wovl.v;
        const double t11 = t12 / vgsteff.v;
        const double t10v = -t11 / vgsteff.v;
        const double vs = cd.v * t11;
        double dvs[3];
        for (int i = 0; i < 3; ++i) dvs[i] = cd.d[i] * t11 + cd.v * t10v * vgsteff.d[i];
        const double u = vs / (b.vtl * s.tfactor);
        if (u > 0.0) {
            const double t2 = 1.0 + std::exp(6.0 * std::log(u));
            const double t3 = (t2 - 1.0) * 6.0 / vs;
            const double fsevl = 1.0 / std::exp(std::log(t2) / 6.0);
            const double t4 = -1.0 / 6.0 * fsevl / t2;
            D3 r(cd.v * fsevl);
            for (int i = 0; i < 3; ++i) r.d[i] = cd.d[i] * fsevl + cd.v * (t4 * (t3 * dvs[i]));
            cd = r;
        }
    }

    const double nf = inst.nf;
    inst.cd = cd.v;
    inst.gm = cd.d[kVgs];
    inst.gds = cd.d[kVds];
    inst.gmbs = cd.d[kVbs];
    if (nf != 1.0) {
        inst.cd *= nf;
        inst.gm *= nf;
        inst.gds *= nf;
        inst.gmbs *= nf;
    }
}

}  // namespace morva::bsim4::model
