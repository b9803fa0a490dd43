// Temperature update: model-level temperature quantities, size-dependent blocks and the
// per-instance values the DC load reads. Charge, capacitance and noise quantities are not
// computed: the evaluator has no use for them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

#include "bsim4_model/bsim4.h"
#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

// e^x / ((e^x - 1)^2 + 2 e^x MIN_EXP): the short-channel shape function.
double theta_sce(double x) {
    if (x < kExpThreshold) {
        const double e = std::exp(x);
        const double d = e - 1.0;
        return e / (d * d + 2.0 * e * kMinExp);
    }
    return 1.0 / (kMaxExp - 2.0);
}

// Clamped exponential with linear extension above the threshold.
double dexp(double x) {
    if (x > kExpThreshold) return kMaxExp * (1.0 + x - kExpThreshold);
    if (x < -kExpThreshold) return kMinExp;
    return std::exp(x);
}

// A negative `value` is reported on standard output with `warning` (whose
// %g shows it) and taken as 0, as ngspice does.
void zero_if_negative(double& value, const char* warning) {
    if (!(value < 0.0)) return;
    std::printf(warning, value);
    value = 0.0;
}

void fatal(const Model& m, Instance& inst, const char* what) {
    std::fprintf(stderr, "BSIM4: BSIM4: mosfet %s, model %s: %s\n", inst.name.c_str(), m.name.c_str(), what);
    inst.problem = what;
}

// Model level, every call.
void update_model(Model& m) {
    ModelParams& p = m.p;
    const ModelGiven& g = m.given;
    ModelTemp& t = m.t;
    const double temp = m.ctx_temp;
    const double tnom = p.tnom;
    t.temp = temp;
    t.tnom = tnom;

    // Built-in potentials below 0.1 V are raised (they only enter capacitances, which the
    // evaluator does not compute, but the record keeps the corrected value).
    const std::pair<double*, const char*> potentials[] = {
        {&p.pbs, "Given pbs is less than 0.1. Pbs is set to 0.1.\n"},
        {&p.pbsws, "Given pbsws is less than 0.1. Pbsws is set to 0.1.\n"},
        {&p.pbswgs, "Given pbswgs is less than 0.1. Pbswgs is set to 0.1.\n"},
        {&p.pbd, "Given pbd is less than 0.1. Pbd is set to 0.1.\n"},
        {&p.pbswd, "Given pbswd is less than 0.1. Pbswd is set to 0.1.\n"},
        {&p.pbswgd, "Given pbswgd is less than 0.1. Pbswgd is set to 0.1.\n"}};
    for (const auto& [value, note] : potentials) {
        if (*value < 0.1) {
            *value = 0.1;
            std::fputs(note, stderr);
        }
    }

    // Oxide thicknesses, reconciled by what the card gives.
    if (p.mtrlmod == 0) {
        if (g.toxe && g.toxp && g.dtox && p.toxe != p.toxp + p.dtox) {
            std::printf("Warning: toxe, toxp and dtox all given and toxe != toxp + dtox; dtox ignored.\n");
        } else if (g.toxe && !g.toxp) {
            p.toxp = p.toxe - p.dtox;
        } else if (!g.toxe && g.toxp) {
            p.toxe = p.toxp + p.dtox;
            if (!g.toxm) p.toxm = p.toxe;
        }
    } else if (p.mtrlcompatmod != 0) {
        const double r = p.epsrox / 3.9;
        if (g.eot && g.toxp && g.dtox && std::fabs(p.eot * r - (p.toxp + p.dtox)) > 1.0e-20) {
            std::printf(
                "Warning: eot, toxp and dtox all given and eot * EPSROX / 3.9 != toxp + dtox; dtox "
                "ignored.\n");
        } else if (g.eot && !g.toxp) {
            p.toxp = p.eot * r - p.dtox;
        } else if (!g.eot && g.toxp) {
            p.eot = (p.toxp + p.dtox) / r;
            if (!g.toxm) p.toxm = p.eot;
        }
    }

    if (p.mtrlmod != 0) {
        t.epsrox = 3.9;
        t.tox = p.eot;
        t.epssub = kEps0 * p.epsrsub;
    } else {
        t.epsrox = p.epsrox;
        t.tox = p.toxe;
        t.epssub = kEpsSi;
    }
    t.coxe = t.epsrox * kEps0 / t.tox;
    if (p.mtrlmod == 0 || p.mtrlcompatmod != 0) t.coxp = p.epsrox * kEps0 / p.toxp;

    t.vtm0 = kBoltzOverQ * tnom;
    t.factor1 = std::sqrt(t.epssub / (t.epsrox * kEps0) * t.tox);
    double eg;
    if (p.mtrlmod == 0) {
        t.eg0 = 1.16 - 7.02e-4 * tnom * tnom / (tnom + 1108.0);
        t.ni = 1.45e10 * (tnom / 300.15) * std::sqrt(tnom / 300.15) *
               std::exp(21.5565981 - t.eg0 / (2.0 * t.vtm0));
        eg = 1.16 - 7.02e-4 * temp * temp / (temp + 1108.0);
    } else {
        t.eg0 = p.bg0sub - p.tbgasub * tnom * tnom / (tnom + p.tbgbsub);
        const double eg300 = p.bg0sub - p.tbgasub * 90090.0225 / (300.15 + p.tbgbsub);
        t.ni = p.ni0sub * (tnom / 300.15) * std::sqrt(tnom / 300.15) *
               std::exp((eg300 - t.eg0) / (2.0 * t.vtm0));
        eg = p.bg0sub - p.tbgasub * temp * temp / (temp + p.tbgbsub);
    }
    t.vtm = kBoltzOverQ * temp;

    // Junction saturation-current densities at Temp.
    t.js_s = p.jss;
    t.jsw_s = p.jsws;
    t.jswg_s = p.jswgs;
    t.js_d = p.jsd;
    t.jsw_d = p.jswd;
    t.jswg_d = p.jswgd;
    if (temp != tnom) {
        const double gap = t.eg0 / t.vtm0 - eg / t.vtm;
        const double lt = std::log(temp / tnom);
        const double fs = std::exp((gap + p.xtis * lt) / p.njs);
        const double fd = std::exp((gap + p.xtid * lt) / p.njd);
        t.js_s *= fs;
        t.jsw_s *= fs;
        t.jswg_s *= fs;
        t.js_d *= fd;
        t.jsw_d *= fd;
        t.jswg_d *= fd;
    }
    for (double* j : {&t.js_s, &t.jsw_s, &t.jswg_s, &t.js_d, &t.jsw_d, &t.jswg_d})
        if (*j < 0.0) *j = 0.0;

    if (p.cjsws < 0.0) {
        p.cjsws = 0.0;
        std::fprintf(stderr, "CJSWS is negative. Cjsws is clamped to zero.\n");
    }
    if (p.cjswd < 0.0) {
        p.cjswd = 0.0;
        std::fprintf(stderr, "CJSWD is negative. Cjswd is clamped to zero.\n");
    }

    // Diode limits that make no sense are switched off.
    const std::pair<double*, const char*> limits[] = {{&p.ijthdfwd, "Ijthdfwd reset to %g.\n"},
                                                      {&p.ijthsfwd, "Ijthsfwd reset to %g.\n"},
                                                      {&p.ijthdrev, "Ijthdrev reset to %g.\n"},
                                                      {&p.ijthsrev, "Ijthsrev reset to %g.\n"}};
    for (const auto& [value, note] : limits) {
        if (*value <= 0.0) {
            *value = 0.0;
            std::fprintf(stderr, note, *value);
        }
    }
    auto breakdown = [&](double& xjbv, double& bv, const char* xjbv_note, const char* bv_note) {
        if ((xjbv <= 0.0 && p.diomod == 2) || (xjbv < 0.0 && p.diomod == 0)) {
            xjbv = 0.0;
            std::fprintf(stderr, xjbv_note, xjbv);
        }
        if (bv <= 0.0) {
            bv = 0.0;
            std::fprintf(stderr, bv_note, bv);
        }
    };
    breakdown(p.xjbvd, p.bvd, "Xjbvd reset to %g.\n", "BVD reset to %g.\n");
    breakdown(p.xjbvs, p.bvs, "Xjbvs reset to %g.\n", "BVS reset to %g.\n");

    // Negative length offsets of the gate-tunnelling overlap currents are taken as 0.
    zero_if_negative(p.dlcig, "Warning: dlcig = %g is negative. Set to zero.\n");
    zero_if_negative(p.dlcigd, "Warning: dlcigd = %g is negative. Set to zero.\n");

    // Trap-assisted tunnelling emission factors at Temp.
    const double tr = temp / tnom - 1.0;
    t.njts = p.njts * (1.0 + p.tnjts * tr);
    t.njtssw = p.njtssw * (1.0 + p.tnjtssw * tr);
    t.njtsswg = p.njtsswg * (1.0 + p.tnjtsswg * tr);
    t.njtsd = p.njtsd * (1.0 + p.tnjtsd * tr);
    t.njtsswd = p.njtsswd * (1.0 + p.tnjtsswd * tr);
    t.njtsswgd = p.njtsswgd * (1.0 + p.tnjtsswgd * tr);
}

// A new size block for (L, W, NF), computed completely before anyone sees it.
int build_size_block(const Model& m, Instance& inst, SizeParams& s) {
    const ModelParams& p = m.p;
    const ModelGiven& g = m.given;
    const ModelTemp& t = m.t;
    const double temp = t.temp, tnom = t.tnom;
    const double tratio = temp / tnom, del_temp = temp - tnom;
    const double nf = inst.nf;

    s.l = inst.l;
    s.w = inst.w;
    s.nf = nf;
    const double lnew = inst.l + p.xl;
    const double wnew = inst.w / nf + p.xw;
    s.lnew = lnew;
    s.wnew = wnew;

    double t0 = std::pow(lnew, p.lln), t1 = std::pow(wnew, p.lwn);
    const double dl = p.lint + (p.ll / t0 + p.lw / t1 + p.lwl / (t0 * t1));
    const double dlc = p.dlc + (p.llc / t0 + p.lwc / t1 + p.lwlc / (t0 * t1));
    double t2 = std::pow(lnew, p.wln), t3 = std::pow(wnew, p.wwn);
    const double dw = p.wint + (p.wl / t2 + p.ww / t3 + p.wwl / (t2 * t3));
    const double dwc_corr = p.wlc / t2 + p.wwc / t3 + p.wwlc / (t2 * t3);
    const double dwc = p.dwc + dwc_corr;
    const double dwj = p.dwj + dwc_corr;

    s.leff = lnew - 2.0 * dl;
    s.weff = wnew - 2.0 * dw;
    s.leff_cv = lnew - 2.0 * dlc;
    s.weff_cv = wnew - 2.0 * dwc;
    s.weff_cj = wnew - 2.0 * dwj;
    // Each effective size must be positive (a NaN from a zero drawn size fails too).
    const std::pair<double, const char*> sizes[] = {
        {s.leff, "Effective channel length <= 0"},
        {s.weff, "Effective channel width <= 0"},
        {s.leff_cv, "Effective channel length for C-V <= 0"},
        {s.weff_cv, "Effective channel width for C-V <= 0"},
        {s.weff_cj, "Effective channel width for S/D junctions <= 0"}};
    for (const auto& [size, what] : sizes) {
        if (!(size > 0.0)) {
            fatal(m, inst, what);
            return kBadParameter;
        }
    }
    const double leff = s.leff, weff = s.weff;

    double inv_l, inv_w, inv_lw;
    if (p.binunit == 1) {
        inv_l = 1.0e-6 / leff;
        inv_w = 1.0e-6 / weff;
        inv_lw = 1.0e-12 / (leff * weff);
    } else {
        inv_l = 1.0 / leff;
        inv_w = 1.0 / weff;
        inv_lw = 1.0 / (leff * weff);
    }
    BinnedParams& b = s.b;
#define BSIM4_BINNED(base) b.base = p.base + p.l##base * inv_l + p.w##base * inv_w + p.p##base * inv_lw;
#include "bsim4_model/bsim4_params.inc"

    // Temperature forms of the block.
    const double wpow = std::pow(s.weff_cj * 1.0e6, b.wr) * nf;
    b.ucs = b.ucs * std::pow(tratio, b.ucste);
    const double tr1 = tratio - 1.0;
    auto resistance = [&](double x) {
        return p.tempmod == 0 ? x + b.prt * tr1 : x * (1.0 + b.prt * del_temp);
    };
    switch (p.tempmod) {
        case 0:
            b.ua = b.ua + b.ua1 * tr1;
            b.ub = b.ub + b.ub1 * tr1;
            b.uc = b.uc + b.uc1 * tr1;
            b.ud = b.ud + b.ud1 * tr1;
            s.vsattemp = b.vsat - b.at * tr1;
            break;
        case 1:
        case 2:
            b.ua = b.ua * (1.0 + b.ua1 * del_temp);
            b.ub = b.ub * (1.0 + b.ub1 * del_temp);
            b.uc = b.uc * (1.0 + b.uc1 * del_temp);
            b.ud = b.ud * (1.0 + b.ud1 * del_temp);
            s.vsattemp = b.vsat * (1.0 - b.at * del_temp);
            break;
        default:
            b.ua = b.ua * std::pow(tratio, b.ua1);
            b.ub = b.ub * std::pow(tratio, b.ub1);
            b.uc = b.uc * std::pow(tratio, b.uc1);
            b.ud = b.ud * std::pow(tratio, b.ud1);
            s.vsattemp = b.vsat * (1.0 - b.at * del_temp);
            break;
    }
    s.rds0 = resistance(b.rdsw) * nf / wpow;
    s.rdswmin = resistance(p.rdswmin) * nf / wpow;
    if (p.rdsmod != 0) {
        double rd = resistance(b.rdw), rdm = resistance(p.rdwmin);
        double rs = resistance(b.rsw), rsm = resistance(p.rswmin);
        if (rd < 0.0) {
            rd = 0.0;
            std::printf("Warning: Rdw at current temperature is negative; set to 0.\n");
        }
        if (rdm < 0.0) {
            rdm = 0.0;
            std::printf("Warning: Rdwmin at current temperature is negative; set to 0.\n");
        }
        if (rs < 0.0) {
            rs = 0.0;
            std::printf("Warning: Rsw at current temperature is negative; set to 0.\n");
        }
        if (rsm < 0.0) {
            rsm = 0.0;
            std::printf("Warning: Rswmin at current temperature is negative; set to 0.\n");
        }
        s.rd0 = rd / wpow;
        s.rdwmin = rdm / wpow;
        s.rs0 = rs / wpow;
        s.rswmin = rsm / wpow;
    }

    // Mobility; a u0 above 1 is taken in cm^2/V/s.
    if (b.u0 > 1.0) b.u0 = b.u0 / 1.0e4;
    s.u0temp = b.u0 * (1.0 - b.up * std::exp(-leff / b.lp)) * std::pow(tratio, b.ute);
    if (b.eu < 0.0) {
        b.eu = 0.0;
        std::printf("Warning: eu has been negative; reset to 0.0.\n");
    }
    if (b.ucs < 0.0) {
        b.ucs = 0.0;
        std::printf("Warning: ucs has been negative; reset to 0.0.\n");
    }

    b.vfbsdoff = b.vfbsdoff * (1.0 + b.tvfbsdoff * del_temp);
    b.voff = b.voff * (1.0 + b.tvoff * del_temp);
    b.nfactor = b.nfactor + b.tnfactor * del_temp / tnom;
    b.eta0 = b.eta0 + b.teta0 * del_temp / tnom;

    // Source-end velocity limit: the back-scattering factor.
    if (g.vtl && p.vtl > 0.0) {
        const double lc = p.lc < 0.0 ? 0.0 : p.lc;
        const double r = leff / (b.xn * leff + lc);
        s.tfactor = (1.0 - r) / (1.0 + r);
    }

    if (!g.ndep && g.gamma1) {
        const double x = b.gamma1 * t.coxe;
        b.ndep = 3.01248e22 * x * x;
    }

    s.phi = t.vtm0 * std::log(b.ndep / t.ni) + b.phin + 0.4;
    if (s.phi <= 0.0) {
        std::printf("Fatal: Phi = %g is not positive. Please check Phin and Ndep\n", s.phi);
        std::printf("       Phin = %g  Ndep = %g \n", b.phin, b.ndep);
    }
    s.sqrt_phi = std::sqrt(s.phi);
    s.xdep0 = std::sqrt(2.0 * t.epssub / (kCharge * b.ndep * 1.0e6)) * s.sqrt_phi;
    s.sqrt_xdep0 = std::sqrt(s.xdep0);
    if (p.mtrlmod == 0)
        s.litl = std::sqrt(3.0 * 3.9 / t.epsrox * b.xj * t.tox);
    else
        s.litl = std::sqrt(p.epsrsub / t.epsrox * b.xj * t.tox);
    s.vbi = t.vtm0 * std::log(b.nsd * b.ndep / (t.ni * t.ni));
    s.cdep0 = std::sqrt(kCharge * t.epssub * b.ndep * 1.0e6 / 2.0 / s.phi);
    if (p.mtrlmod == 0) {
        s.vfbsd = b.ngate > 0.0 ? t.vtm0 * std::log(b.ngate / b.nsd) : 0.0;
    } else {
        const double x = std::min(t.vtm0 * std::log(b.nsd / t.ni), 0.5 * t.eg0);
        s.vfbsd = p.phig - (p.easub + 0.5 * t.eg0 - m.type * x);
    }

    s.mstar = 0.5 + std::atan(b.minv) / kPi;
    s.voffcbn = b.voff + p.voffl / leff;

    // Body-effect coefficients: given k1/k2, or derived from the doping profile.
    if (g.k1 || g.k2) {
        if (!g.k1) {
            std::printf("Warning: k1 should be specified with k2.\n");
            b.k1 = 0.53;
        }
        if (!g.k2) {
            std::printf("Warning: k2 should be specified with k1.\n");
            b.k2 = -0.0186;
        }
        if (g.nsub) std::printf("Warning: nsub is ignored because k1 or k2 is given.\n");
        if (g.xt) std::printf("Warning: xt is ignored because k1 or k2 is given.\n");
        if (g.vbx) std::printf("Warning: vbx is ignored because k1 or k2 is given.\n");
        if (g.gamma1) std::printf("Warning: gamma1 is ignored because k1 or k2 is given.\n");
        if (g.gamma2) std::printf("Warning: gamma2 is ignored because k1 or k2 is given.\n");
    } else {
        if (!g.vbx) b.vbx = s.phi - 7.7348e-4 * b.ndep * b.xt * b.xt;
        if (b.vbx > 0.0) b.vbx = -b.vbx;
        if (b.vbm > 0.0) b.vbm = -b.vbm;
        if (!g.gamma1) b.gamma1 = 5.753e-12 * std::sqrt(b.ndep) / t.coxe;
        if (!g.gamma2) b.gamma2 = 5.753e-12 * std::sqrt(b.nsub) / t.coxe;
        const double x = std::sqrt(s.phi - b.vbx) - s.sqrt_phi;
        const double y = std::sqrt(s.phi * (s.phi - b.vbm)) - s.phi;
        b.k2 = (b.gamma1 - b.gamma2) * x / (2.0 * y + b.vbm);
        b.k1 = b.gamma2 - 2.0 * b.k2 * std::sqrt(s.phi - b.vbm);
    }

    if (!g.vfb) {
        if (g.vth0) {
            b.vfb = m.type * b.vth0 - s.phi - b.k1 * s.sqrt_phi;
        } else if (p.mtrlmod != 0 && g.phig && g.nsub) {
            const double x = std::min(t.vtm0 * std::log(b.nsub / t.ni), 0.5 * t.eg0);
            b.vfb = p.phig - (p.easub + 0.5 * t.eg0 + m.type * x);
        } else {
            b.vfb = -1.0;
        }
    }
    if (!g.vth0) b.vth0 = m.type * (b.vfb + s.phi + b.k1 * s.sqrt_phi);
    s.k1ox = b.k1 * t.tox / p.toxm;

    const double lt = std::sqrt(t.epssub / (t.epsrox * kEps0) * t.tox * s.xdep0);
    s.theta0vb0 = theta_sce(b.dsub * leff / lt);
    s.theta_rout = b.pdiblc1 * theta_sce(b.drout * leff / lt) + b.pdiblc2;

    // Gate tunnelling: the flat-band voltage's size part (the threshold voltage at zero bias less
    // vth0, with the temperature term of tempmod 2 and 3 in its own form), the oxide-thickness
    // ratios and the prefactors.
    {
        const double lt0 = t.factor1 * s.sqrt_xdep0;
        const double v0 = s.vbi - s.phi;
        const double t8 = b.dvt0w * theta_sce(b.dvt1w * weff * leff / lt0) * v0;
        const double t9 = b.dvt0 * theta_sce(b.dvt1 * leff / lt0) * v0;
        const double nw = t.tox * s.phi / (weff + b.w0);
        const double kt = p.tempmod < 2 ? (b.kt1 + b.kt1l / leff) * (tratio - 1.0) : -b.kt1 * (tratio - 1.0);
        const double lpe = s.k1ox * (std::sqrt(1.0 + b.lpe0 / leff) - 1.0) * s.sqrt_phi + kt;
        s.vfbzb_factor = -t8 - t9 + b.k3 * nw + lpe - s.phi - b.k1 * s.sqrt_phi;

        const double tox = t.tox;
        s.tox_ratio = std::exp(b.ntox * std::log(p.toxref / tox)) / tox / tox;
        s.tox_ratio_edge =
            std::exp(b.ntox * std::log(p.toxref / (tox * b.poxedge))) / tox / tox / b.poxedge / b.poxedge;
        const double a0 = m.type == 1 ? 4.97232e-7 : 3.42537e-7;
        const double b0 = m.type == 1 ? 7.45669e11 : 1.16645e12;
        s.aechvb_edge_s = a0 * weff * p.dlcig * s.tox_ratio_edge;
        s.aechvb_edge_d = a0 * weff * p.dlcigd * s.tox_ratio_edge;
        s.bechvb_edge = -b0 * tox * b.poxedge;
        s.aechvb = a0 * (weff * leff * s.tox_ratio);
        s.bechvb = b0 * -tox;
    }

    // Stress (LOD) factors of the block.
    double wlod = p.wlod;
    if (wlod < 0.0) {
        std::fprintf(stderr, "Warning: WLOD = %g is less than 0. 0.0 is used\n", wlod);
        wlod = 0.0;
    }
    const double w_lod = wnew + wlod;
    t0 = std::pow(lnew, p.llodku0);
    t1 = std::pow(w_lod, p.wlodku0);
    const double fku0 = 1.0 + p.lku0 / t0 + p.wku0 / t1 + p.pku0 / (t0 * t1);
    t0 = std::pow(lnew, p.llodvth);
    t1 = std::pow(w_lod, p.wlodvth);
    const double fv = 1.0 + p.lkvth0 / t0 + p.wkvth0 / t1 + p.pkvth0 / (t0 * t1);
    s.fkvth0 = std::sqrt(fv * fv + 1.0e-9);
    s.ku0temp = fku0 * (1.0 + p.tku0 * tr1) + 1.0e-9;
    s.od_ref = 1.0 / (p.saref + 0.5 * inst.l) + 1.0 / (p.sbref + 0.5 * inst.l);
    s.rho_ref = p.ku0 * s.od_ref / s.ku0temp;

    if (p.mobmod == 3) {
        const double theta0 = theta_sce(b.dvt1 * leff / (t.factor1 * s.sqrt_xdep0));
        const double c = (b.nfactor * t.epssub / s.xdep0 + b.cdsc * theta0 + b.cit) / t.coxe;
        const double n0 = c >= -0.5 ? 1.0 + c : (1.0 + 3.0 * c) / (3.0 + 8.0 * c);
        const double v = n0 * t.vtm;
        const double x = s.voffcbn / v;
        const double e = x < -kExpThreshold ? kMinExp : x > kExpThreshold ? kMaxExp : std::exp(x);
        s.vgsteff_vth = v * std::log(2.0) / (s.mstar + n0 * e * t.coxe / s.cdep0);
    }

    s.dvtp2factor = b.dvtp5 + b.dvtp2 * dexp(-b.dvtp3 * std::log(leff));
    return kOk;
}

// The physical oxide thickness of an instance with a non-silicon gate stack, by fixed point.
double toxp_from_eot(const Model& m, const Instance& inst, const SizeParams& s) {
    const ModelParams& p = m.p;
    const ModelTemp& t = m.t;
    const BinnedParams& b = s.b;
    const double vtm0eot = kBoltzOverQ * p.tempeot;
    const double vbieot = vtm0eot * std::log(b.nsd * b.ndep / (t.ni * t.ni));
    const double phieot = vtm0eot * std::log(b.ndep / t.ni) + b.phin + 0.4;
    if (phieot <= 0.0)
        std::printf("Fatal: phieot = %g is not positive. Please Check Phin and Ndep\n", phieot);
    const double vddeot = m.type * p.vddeot;
    const double a = inst.vfb + phieot;
    double vgseff = vddeot;
    if (b.ngate > 1.0e18 && b.ngate < 1.0e25 && vddeot > a && p.epsrgate != 0.0) {
        const double t1 = 1.0e6 * kChargeSim * (p.epsrgate * kEps0) * b.ngate / (t.coxe * t.coxe);
        const double t8 = vddeot - a;
        const double t4 = std::sqrt(1.0 + 2.0 * t8 / t1);
        const double t2 = 2.0 * t8 / (t4 + 1.0);
        const double t3 = 0.5 * t2 * t2 / t1;
        const double t7 = 1.12 - t3 - 0.05;
        const double t6 = std::sqrt(t7 * t7 + 0.224);
        const double t5 = 1.12 - 0.5 * (t7 + t6);
        vgseff = vddeot - t5;
    }
    const double v0 = vbieot - phieot;
    const double lt1 = t.factor1 * s.sqrt_xdep0;
    const double theta0 = theta_sce(b.dvt1 * p.leffeot / lt1);
    const double delt_vth = b.dvt0 * theta0 * v0;
    const double t2w = b.dvt0w * theta_sce(b.dvt1w * p.weffeot * p.leffeot / lt1) * v0;
    const double kt_eot = (b.kt1 + b.kt1l / p.leffeot) * (p.tempeot / t.tnom - 1.0);
    const double sqrt_phieot = std::sqrt(phieot);
    double vth = m.type * inst.vth0 + (s.k1ox - b.k1) * sqrt_phieot * std::sqrt(1.0 + b.lpeb / p.leffeot) -
                 delt_vth - t2w + b.k3 * t.tox * phieot / (p.weffeot + b.w0) +
                 s.k1ox * (std::sqrt(1.0 + b.lpe0 / p.leffeot) - 1.0) * sqrt_phieot + kt_eot;
    const double c = (b.nfactor * t.epssub / s.xdep0 + b.cdsc * theta0 + b.cit) / t.coxe;
    const double n = c >= -0.5 ? 1.0 + c : (1.0 + 3.0 * c) / (3.0 + 8.0 * c);
    if (b.dvtp0 > 0.0) vth -= n * vtm0eot * std::log(p.leffeot / (p.leffeot + 2.0 * b.dvtp0));
    const double vgsteff = vgseff - vth;
    const double vtfbphi2eot = std::max(4.0 * (m.type * inst.vth0 - inst.vfb - phieot), 0.0);
    double x = t.tox;
    for (int i = 0; i < 5; ++i) {
        const double t0 = (vgsteff + vtfbphi2eot) / (2.0e8 * x);
        const double tcen = p.ados * 1.9e-9 / (1.0 + std::exp(p.bdos * 0.7 * std::log(t0)));
        const double next = t.tox - 3.9 / p.epsrsub * tcen;
        const bool settled = std::fabs(next - x) <= 1.0e-12;
        x = next;
        if (settled) break;
    }
    return x;
}

// An effective diffusion perimeter: the given one (less the gate edge with permod 1), or the
// layout's.
double effective_perimeter(const ModelParams& p, bool given, double value, double from_layout,
                           double gate_edge, const char* side, const char* name) {
    double eff = from_layout;
    if (given) {
        if (value < 0.0) {
            std::printf("Warning: %s Perimeter is specified as negative, it is set to zero.\n", side);
            eff = 0.0;
        } else if (value == 0.0) {
            eff = 0.0;
        } else {
            eff = p.permod == 0 ? value : value - gate_edge;
        }
    }
    if (eff < 0.0) {
        std::printf("Warning: %s is negative, it is set to zero.\n", name);
        eff = 0.0;
    }
    return eff;
}

double effective_area(bool given, double value, double from_layout, const char* name) {
    double eff = given ? value : from_layout;
    if (eff < 0.0) {
        std::printf("Warning: %s is negative, it is set to zero.\n", name);
        eff = 0.0;
    }
    return eff;
}

// Saturation current, diode limits and tunnelling prefactors of one junction.
void prepare_junction(const Model& m, const JunctionParams& jp, const SizeParams& s, double nf,
                      const char* reverse_note, Junction& j) {
    const ModelTemp& t = m.t;
    const double nvt = t.vtm * jp.nj;
    if (j.area <= 0.0 && j.perimeter <= 0.0)
        j.isat = 0.0;
    else
        j.isat = j.area * jp.js + j.perimeter * jp.jsw + s.weff_cj * nf * jp.jswg;
    if (j.isat > 0.0) {
        switch (m.p.diomod) {
            case 0:
                j.xexp_bv =
                    jp.bv / nvt > kExpThreshold ? jp.xjbv * kMinExp : jp.xjbv * std::exp(-jp.bv / nvt);
                break;
            case 1:
                j.vjm_fwd = nvt * std::log(1.0 + jp.ijth_fwd / j.isat);
                j.ivjm_fwd = j.isat * std::exp(j.vjm_fwd / nvt);
                break;
            case 2: {
                const double x =
                    jp.bv / nvt > kExpThreshold ? jp.xjbv * kMinExp : std::exp(-jp.bv / nvt) * jp.xjbv;
                j.xexp_bv = x;
                const double tb = 1.0 + jp.ijth_fwd / j.isat - x;
                j.vjm_fwd = nvt * std::log(0.5 * (tb + std::sqrt(tb * tb + 4.0 * x)));
                const double e = std::exp(j.vjm_fwd / nvt);
                j.ivjm_fwd = j.isat * (e - x / e + x - 1.0);
                j.slp_fwd = j.isat * (e + x / e) / nvt;
                double r = jp.ijth_rev / j.isat;
                if (r < 1.0) {
                    r = 10.0;
                    std::fputs(reverse_note, stderr);
                }
                j.vjm_rev = -jp.bv - nvt * std::log((r - 1.0) / jp.xjbv);
                const double y = jp.xjbv * std::exp(-(jp.bv + j.vjm_rev) / nvt);
                j.ivjm_rev = j.isat * (1.0 + y);
                j.slp_rev = -j.isat * y / nvt;
                break;
            }
            default: std::printf("Specified dioMod = %d not matched\n", m.p.diomod); break;
        }
    }
    const double gap = t.eg0 / t.vtm * (t.temp / t.tnom - 1.0);
    const double wf = std::sqrt(m.p.jtweff / s.weff_cj) + 1.0;
    const double extent[3] = {j.area, j.perimeter, s.weff_cj * nf * wf};
    for (int k = 0; k < 3; ++k) j.itat[k] = dexp(jp.xts[k] * gap) * extent[k] * jp.jts[k];
}

// Instance level, every call.
void update_instance(Model& m, Instance& inst, const SizeParams& s) {
    const ModelParams& p = m.p;
    const ModelTemp& t = m.t;
    const BinnedParams& b = s.b;
    const double nf = inst.nf;

    inst.u0temp = s.u0temp;
    inst.vth0 = b.vth0;
    inst.vsattemp = s.vsattemp;
    inst.eta0 = b.eta0;
    inst.k2 = b.k2;
    if (bsim4_stress_summed(nf, inst.sa, inst.sb, inst.sd)) {
        double kvsat = p.kvsat;
        if (kvsat < -1.0) {
            std::fprintf(stderr, "Warning: KVSAT = %g is too small; -1.0 is used.\n", kvsat);
            kvsat = -1.0;
        }
        if (kvsat > 1.0) {
            std::fprintf(stderr, "Warning: KVSAT = %g is too big; 1.0 is used.\n", kvsat);
            kvsat = 1.0;
        }
        // One term per finger, k < nf (BSIM4temp refuses more than BSIM4_MAX_STRESS_FINGERS).
        const auto fingers = static_cast<std::uint64_t>(std::ceil(std::min(nf, BSIM4_MAX_STRESS_FINGERS)));
        double inv_sa = 0.0, inv_sb = 0.0;
        for (std::uint64_t k = 0; k < fingers; ++k) {
            const double kd = static_cast<double>(k);
            inv_sa += 1.0 / (nf * (inst.sa + 0.5 * inst.l + kd * (inst.sd + inst.l)));
            inv_sb += 1.0 / (nf * (inst.sb + 0.5 * inst.l + kd * (inst.sd + inst.l)));
        }
        const double od = inv_sa + inv_sb;
        const double rho = p.ku0 * od / s.ku0temp;
        inst.u0temp = s.u0temp * (1.0 + rho) / (1.0 + s.rho_ref);
        inst.vsattemp = s.vsattemp * (1.0 + kvsat * rho) / (1.0 + kvsat * s.rho_ref);
        const double dod = od - s.od_ref;
        inst.vth0 = b.vth0 + p.kvth0 * dod / s.fkvth0;
        inst.eta0 = b.eta0 + p.steta0 * dod / std::pow(s.fkvth0, p.lodeta0);
        inst.k2 = b.k2 + p.stk2 * dod / std::pow(s.fkvth0, p.lodk2);
    }

    if (p.wpemod != 0.0) {
        const bool any_sc = inst.given & (kGivenSca | kGivenScb | kGivenScc);
        if (!any_sc) {
            if ((inst.given & kGivenSc) && inst.sc > 0.0) {
                const double wd = inst.w / nf;
                const double tw = inst.sc + wd;
                const double ref = p.scref;
                inst.sca = ref * ref / (inst.sc * tw);
                inst.scb = ((0.1 * inst.sc + 0.01 * ref) * std::exp(-10.0 * inst.sc / ref) -
                            (0.1 * tw + 0.01 * ref) * std::exp(-10.0 * tw / ref)) /
                           wd;
                inst.scc = ((0.05 * inst.sc + 0.0025 * ref) * std::exp(-20.0 * inst.sc / ref) -
                            (0.05 * tw + 0.0025 * ref) * std::exp(-20.0 * tw / ref)) /
                           wd;
            } else {
                std::fprintf(
                    stderr,
                    "Warning: No WPE as none of SCA, SCB, SCC, SC is given and/or SC not positive.\n");
            }
        }
        zero_if_negative(inst.sca, "Warning: SCA = %g is negative. Set to 0.0.\n");
        zero_if_negative(inst.scb, "Warning: SCB = %g is negative. Set to 0.0.\n");
        zero_if_negative(inst.scc, "Warning: SCC = %g is negative. Set to 0.0.\n");
        zero_if_negative(inst.sc, "Warning: SC = %g is negative. Set to 0.0.\n");
        const double sceff = inst.sca + p.web * inst.scb + p.wec * inst.scc;
        inst.vth0 += b.kvth0we * sceff;
        inst.k2 += b.k2we * sceff;
        double f = 1.0 + b.ku0we * sceff;
        if (f <= 0.0) {
            std::fprintf(stderr, "Warning: ku0we = %g is negatively too high. Negative mobility! \n",
                         b.ku0we);
            f = 0.0;
        }
        inst.u0temp *= f;
    }
    // ngspice's instance mobility multiplier (it sets u0temp to the block's times mulu0, which
    // equals this when ku0 and ku0we are 0).
    inst.u0temp *= inst.mulu0;

    inst.vth0 += inst.delvto;
    inst.vfb = b.vfb + m.type * inst.delvto;
    inst.vfbzb = s.vfbzb_factor + m.type * inst.vth0;

    const double dv = m.type * inst.vth0 - inst.vfb - s.phi;
    inst.vtfbphi1 = std::max((m.type == 1 ? 2.0 : 2.5) * dv, 0.0);
    inst.vtfbphi2 = std::max(4.0 * dv, 0.0);
    if (inst.k2 < 0.0) {
        const double x = 0.5 * b.k1 / inst.k2;
        inst.vbsc = 0.9 * (s.phi - x * x);
        if (inst.vbsc > -3.0)
            inst.vbsc = -3.0;
        else if (inst.vbsc < -30.0)
            inst.vbsc = -30.0;
    } else {
        inst.vbsc = -30.0;
    }
    if (inst.vbsc > b.vbm) inst.vbsc = b.vbm;
    inst.k2ox = inst.k2 * t.tox / p.toxm;

    // Diffusion perimeters and areas, then the junctions.
    double ps = 0.0, pd = 0.0, as = 0.0, ad = 0.0;
    BSIM4PAeffGeo(nf, inst.geomod, inst.min_sd, s.weff_cj, p.dmcg - p.dmcgt, p.dmci, p.dmdg - p.dmcgt, &ps,
                  &pd, &as, &ad);
    inst.source.perimeter =
        effective_perimeter(p, inst.given & kGivenPs, inst.ps, ps, nf * s.weff_cj, "Source", "Pseff");
    inst.drain.perimeter =
        effective_perimeter(p, inst.given & kGivenPd, inst.pd, pd, nf * s.weff_cj, "Drain", "Pdeff");
    inst.source.area = effective_area(inst.given & kGivenAs, inst.as, as, "Aseff");
    inst.drain.area = effective_area(inst.given & kGivenAd, inst.ad, ad, "Adeff");

    if (m.p.jtweff < 0.0) {
        m.p.jtweff = 0.0;
        std::fprintf(stderr, "TAT width dependence effect is negative. Jtweff is clamped to zero.\n");
    }
    prepare_junction(m, junction_params(m, true), s, nf,
                     "Warning: ijthsrev too small and set to 10 times IsbSat.\n", inst.source);
    prepare_junction(m, junction_params(m, false), s, nf,
                     "Warning: ijthdrev too small and set to 10 times IdbSat.\n", inst.drain);

    if (p.mtrlmod != 0 && p.mtrlcompatmod == 0) {
        inst.toxp = toxp_from_eot(m, inst, s);
        inst.coxp = 3.9 * kEps0 / inst.toxp;
    } else {
        inst.toxp = p.toxp;
        inst.coxp = t.coxp;
    }
}

SizeParams* find_block(Model& m, const Instance& inst) {
    for (auto& s : m.sizes)
        if (s->l == inst.l && s->w == inst.w && s->nf == inst.nf) return s.get();
    return nullptr;
}

}  // namespace

JunctionParams junction_params(const Model& model, bool source) {
    const ModelParams& p = model.p;
    const ModelTemp& t = model.t;
    if (source)
        return {p.njs,
                p.bvs,
                p.xjbvs,
                p.ijthsfwd,
                p.ijthsrev,
                t.js_s,
                t.jsw_s,
                t.jswg_s,
                {t.njts, t.njtssw, t.njtsswg},
                {p.vtss, p.vtssws, p.vtsswgs},
                {p.xtss, p.xtssws, p.xtsswgs},
                {p.jtss, p.jtssws, p.jtsswgs}};
    return {p.njd,
            p.bvd,
            p.xjbvd,
            p.ijthdfwd,
            p.ijthdrev,
            t.js_d,
            t.jsw_d,
            t.jswg_d,
            {t.njtsd, t.njtsswd, t.njtsswgd},
            {p.vtsd, p.vtsswd, p.vtsswgd},
            {p.xtsd, p.xtsswd, p.xtsswgd},
            {p.jtsd, p.jtsswd, p.jtsswgd}};
}

int BSIM4temp(Model& model) {
    update_model(model);
    // Blocks hold temperature-dependent values: rebuild them at a new temperature, and after
    // parameter changes.
    if (model.sizes_temp != model.ctx_temp || model.sizes_generation != model.param_generation) {
        model.sizes.clear();
        model.sizes_temp = model.ctx_temp;
        model.sizes_generation = model.param_generation;
    }
    int first_error = kOk;
    for (Instance* inst = model.instances; inst; inst = inst->next) {
        inst->size = nullptr;
        inst->problem.clear();
        int status = kOk;
        // Summing more stress terms than ngspice can would take minutes, or never end.
        if (bsim4_stress_summed(inst->nf, inst->sa, inst->sb, inst->sd) &&
            !(inst->nf <= BSIM4_MAX_STRESS_FINGERS)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "Number of finger = %g with SA, SB, SD given is above %.0f: its stress terms are "
                          "summed finger by finger",
                          inst->nf, BSIM4_MAX_STRESS_FINGERS);
            inst->problem = text;
            inst->temp_status = kBadParameter;
            if (first_error == kOk) first_error = kBadParameter;
            continue;
        }
        SizeParams* s = find_block(model, *inst);
        if (!s) {
            std::unique_ptr<SizeParams> block(new (std::nothrow) SizeParams);
            if (!block) {
                status = kNoMemory;
            } else if ((status = build_size_block(model, *inst, *block)) == kOk) {
                correct_size_block(model, *block);
                s = block.get();
                model.sizes.push_back(std::move(block));
            }
        }
        if (s) {
            update_instance(model, *inst, *s);
            inst->size = s;
            if (!model.checked) {
                if (BSIM4checkModel(model, *inst) != 0) {
                    std::fprintf(
                        stderr,
                        "BSIM4: Fatal error(s) detected during BSIM4.6.0 parameter checking for %s in "
                        "model %s\n",
                        inst->name.c_str(), model.name.c_str());
                    status = kBadParameter;
                } else {
                    model.checked = true;
                }
            }
        }
        inst->temp_status = status;
        if (status != kOk && first_error == kOk) first_error = status;
    }
    return first_error;
}

}  // namespace morva::bsim4::model
