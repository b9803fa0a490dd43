// Parameter checks: fatal conditions and the corrections that overwrite values in place. Only the
// first fatal condition's text is composed, for the instance to report; warnings are not.
#include <cstdio>

#include "bsim4_model/bsim4.h"
#include "bsim4_model/model.h"

namespace morva::bsim4::model {

void correct_size_block(const Model& model, SizeParams& s) {
    const ModelParams& p = model.p;
    BinnedParams& b = s.b;
    if (b.ckappas < 0.02) b.ckappas = 0.02;
    if (b.ckappad < 0.02) b.ckappad = 0.02;
    if (p.paramchk != 1) return;
    if (b.a2 < 0.01) {
        b.a2 = 0.01;
    } else if (b.a2 > 1.0) {
        b.a2 = 1.0;
        b.a1 = 0.0;
    }
    if (b.prwg < 0.0) b.prwg = 0.0;
    if (b.rdsw < 0.0) {
        b.rdsw = 0.0;
        s.rds0 = 0.0;
    } else if (s.rds0 < 0.0) {
        s.rds0 = 0.0;
    }
    if (s.rdswmin < 0.0) s.rdswmin = 0.0;
    if (model.given.vtl && b.vtl > 0.0 && b.xn < 3.0) b.xn = 3.0;
}

namespace {

// The fatal rows' verdict, and the text of the first that fails, in BSIM4's
// words ("Fatal: " and the full stop left out), for the instance.
class FatalRows {
public:
    explicit FatalRows(Instance& inst) : inst_(inst) {}
    void operator()(bool failed, const char* format, double value = 0.0) {
        if (!failed) return;
        if (!any_) {
            char text[160];
            std::snprintf(text, sizeof text, format, value);
            inst_.problem = text;
        }
        any_ = true;
    }
    bool any() const { return any_; }

private:
    Instance& inst_;
    bool any_ = false;
};

}  // namespace

int BSIM4checkModel(Model& model, Instance& inst) {
    ModelParams& p = model.p;
    const SizeParams& s = *inst.size;
    const BinnedParams& b = s.b;
    FatalRows fatal(inst);

    const bool stress = bsim4_stress_summed(inst.nf, inst.sa, inst.sb, inst.sd);
    fatal(p.toxe <= 0.0, "Toxe = %g is not positive", p.toxe);
    fatal(inst.toxp <= 0.0, "Toxp = %g is not positive", inst.toxp);
    fatal(p.eot <= 0.0, "EOT = %g is not positive", p.eot);
    fatal(p.tempeot <= 0.0, "TEMPEOT = %g is not positive", p.tempeot);
    fatal(p.epsrgate < 0.0, "Epsrgate = %g is not positive", p.epsrgate);
    fatal(p.epsrsub < 0.0, "Epsrsub = %g is not positive", p.epsrsub);
    fatal(p.easub < 0.0, "Easub = %g is not positive", p.easub);
    fatal(p.ni0sub <= 0.0, "Ni0sub = %g is not positive", p.ni0sub);
    fatal(p.toxm <= 0.0, "Toxm = %g is not positive", p.toxm);
    fatal(p.toxref <= 0.0, "Toxref = %g is not positive", p.toxref);
    fatal(b.lpe0 < -s.leff, "Lpe0 = %g is less than -Leff", b.lpe0);
    fatal(p.lintnoi > s.leff / 2.0, "Lintnoi = %g is too large - Leff for noise is negative", p.lintnoi);
    fatal(b.lpeb < -s.leff, "Lpeb = %g is less than -Leff", b.lpeb);
    fatal(b.ndep <= 0.0, "Ndep = %g is not positive", b.ndep);
    fatal(s.phi <= 0.0, "Phi = %g is not positive. Please check Phin and Ndep", s.phi);
    fatal(b.nsub <= 0.0, "Nsub = %g is not positive", b.nsub);
    fatal(b.ngate < 0.0, "Ngate = %g Ngate is not positive", b.ngate);
    fatal(b.ngate > 1.0e25, "Ngate = %g Ngate is too high", b.ngate);
    fatal(b.xj <= 0.0, "Xj = %g is not positive", b.xj);
    fatal(b.dvt1 < 0.0, "Dvt1 = %g is negative", b.dvt1);
    fatal(b.dvt1w < 0.0, "Dvt1w = %g is negative", b.dvt1w);
    fatal(b.w0 + s.weff == 0.0, "(W0 + Weff) = 0 causing divided-by-zero");
    fatal(b.dsub < 0.0, "Dsub = %g is negative", b.dsub);
    fatal(b.b1 + s.weff == 0.0, "(B1 + Weff) = 0 causing divided-by-zero");
    fatal(inst.u0temp <= 0.0, "u0 at current temperature = %g is not positive", inst.u0temp);
    fatal(b.delta < 0.0, "Delta = %g is less than zero", b.delta);
    fatal(inst.vsattemp <= 0.0, "Vsat at current temperature = %g is not positive", inst.vsattemp);
    fatal(b.pclm <= 0.0, "Pclm = %g is not positive", b.pclm);
    fatal(b.drout < 0.0, "Drout = %g is negative", b.drout);
    fatal(inst.nf < 1.0, "Number of finger = %g is smaller than one", inst.nf);
    fatal(stress && p.saref <= 0.0, "SAref = %g is not positive", p.saref);
    fatal(stress && p.sbref <= 0.0, "SBref = %g is not positive", p.sbref);
    fatal(p.xl + inst.l <= p.xgl, "The parameter xgl must be smaller than Ldrawn+XL");
    fatal(p.ngcon < 1.0, "The parameter ngcon cannot be smaller than one");
    fatal(b.fprout < 0.0, "fprout = %g is negative", b.fprout);
    fatal(b.pdits < 0.0, "pdits = %g is negative", b.pdits);
    fatal(p.pditsl < 0.0, "pditsl = %g is negative", p.pditsl);
    fatal(p.igbmod != 0 && b.nigbinv <= 0.0, "nigbinv = %g is non-positive", b.nigbinv);
    fatal(p.igbmod != 0 && b.nigbacc <= 0.0, "nigbacc = %g is non-positive", b.nigbacc);
    fatal(p.igcmod != 0 && b.nigc <= 0.0, "nigc = %g is non-positive", b.nigc);
    fatal(p.igcmod != 0 && b.poxedge <= 0.0, "poxedge = %g is non-positive", b.poxedge);
    fatal(p.igcmod != 0 && b.pigcd <= 0.0, "pigcd = %g is non-positive", b.pigcd);
    fatal(b.clc < 0.0, "Clc = %g is negative", b.clc);
    fatal(p.vtss < 0.0, "Vtss = %g is negative", p.vtss);
    fatal(p.vtsd < 0.0, "Vtsd = %g is negative", p.vtsd);
    fatal(p.vtssws < 0.0, "Vtssws = %g is negative", p.vtssws);
    fatal(p.vtsswd < 0.0, "Vtsswd = %g is negative", p.vtsswd);
    fatal(p.vtsswgs < 0.0, "Vtsswgs = %g is negative", p.vtsswgs);
    fatal(p.vtsswgd < 0.0, "Vtsswgd = %g is negative", p.vtsswgd);

    if (p.paramchk == 1) {
        fatal(p.rbps0 <= 0.0, "RBPS0 = %g is not positive", p.rbps0);
        fatal(p.rbpd0 <= 0.0, "RBPD0 = %g is not positive", p.rbpd0);
        fatal(p.rbpbx0 <= 0.0, "RBPBX0 = %g is not positive", p.rbpbx0);
        fatal(p.rbpby0 <= 0.0, "RBPBY0 = %g is not positive", p.rbpby0);
        fatal(p.rbdbx0 <= 0.0, "RBDBX0 = %g is not positive", p.rbdbx0);
        fatal(p.rbdby0 <= 0.0, "RBDBY0 = %g is not positive", p.rbdby0);
        fatal(p.rbsbx0 <= 0.0, "RBSBX0 = %g is not positive", p.rbsbx0);
        fatal(p.rbsby0 <= 0.0, "RBSBY0 = %g is not positive", p.rbsby0);
        if (p.cgdo < 0.0) p.cgdo = 0.0;
        if (p.cgso < 0.0) p.cgso = 0.0;
        if (p.cgbo < 0.0) p.cgbo = 0.0;
        // Noise coefficients: with a 4.8 version only tnoimod 1 checks them.
        if (p.tnoimod == 1) {
            if (p.tnoia < 0.0) p.tnoia = 0.0;
            if (p.tnoib < 0.0) p.tnoib = 0.0;
            if (p.rnoia < 0.0) p.rnoia = 0.0;
            if (p.rnoib < 0.0) p.rnoib = 0.0;
        }
        if (p.njs < 0.1) p.njs = 0.1;
        if (p.njd < 0.1) p.njd = 0.1;
        if (p.ntnoi < 0.0) p.ntnoi = 0.0;
        for (double* mj : {&p.mjs, &p.mjsws, &p.mjswgs, &p.mjd, &p.mjswd, &p.mjswgd})
            if (*mj >= 0.99) *mj = 0.99;
        if (p.wpemod == 1.0 && p.scref <= 0.0) p.scref = 1e-6;
    }
    return fatal.any() ? 1 : 0;
}

}  // namespace morva::bsim4::model
