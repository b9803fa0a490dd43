// Parameter checks: fatal conditions and the corrections that overwrite values in place. The
// checks' diagnostic texts are not composed: only the result and the corrections matter.
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

int BSIM4checkModel(Model& model, Instance& inst) {
    ModelParams& p = model.p;
    const SizeParams& s = *inst.size;
    const BinnedParams& b = s.b;
    int fatal = 0;

    const bool stress =
        inst.sa > 0.0 && inst.sb > 0.0 && (inst.nf == 1.0 || (inst.nf > 1.0 && inst.sd > 0.0));
    fatal |= p.toxe <= 0.0;
    fatal |= inst.toxp <= 0.0;
    fatal |= p.eot <= 0.0;
    fatal |= p.tempeot <= 0.0;
    fatal |= p.epsrgate < 0.0;
    fatal |= p.epsrsub < 0.0;
    fatal |= p.easub < 0.0;
    fatal |= p.ni0sub <= 0.0;
    fatal |= p.toxm <= 0.0;
    fatal |= p.toxref <= 0.0;
    fatal |= b.lpe0 < -s.leff;
    fatal |= p.lintnoi > s.leff / 2.0;
    fatal |= b.lpeb < -s.leff;
    fatal |= b.ndep <= 0.0;
    fatal |= s.phi <= 0.0;
    fatal |= b.nsub <= 0.0;
    fatal |= b.ngate < 0.0;
    fatal |= b.ngate > 1.0e25;
    fatal |= b.xj <= 0.0;
    fatal |= b.dvt1 < 0.0;
    fatal |= b.dvt1w < 0.0;
    fatal |= b.w0 + s.weff == 0.0;
    fatal |= b.dsub < 0.0;
    fatal |= b.b1 + s.weff == 0.0;
    fatal |= inst.u0temp <= 0.0;
    fatal |= b.delta < 0.0;
    fatal |= inst.vsattemp <= 0.0;
    fatal |= b.pclm <= 0.0;
    fatal |= b.drout < 0.0;
    fatal |= inst.nf < 1.0;
    fatal |= stress && p.saref <= 0.0;
    fatal |= stress && p.sbref <= 0.0;
    fatal |= p.xl + inst.l <= p.xgl;
    fatal |= p.ngcon < 1.0;
    fatal |= b.fprout < 0.0;
    fatal |= b.pdits < 0.0;
    fatal |= p.pditsl < 0.0;
    fatal |= p.igbmod != 0 && b.nigbinv <= 0.0;
    fatal |= p.igbmod != 0 && b.nigbacc <= 0.0;
    fatal |= p.igcmod != 0 && b.nigc <= 0.0;
    fatal |= p.igcmod != 0 && b.poxedge <= 0.0;
    fatal |= p.igcmod != 0 && b.pigcd <= 0.0;
    fatal |= b.clc < 0.0;
    fatal |= p.vtss < 0.0;
    fatal |= p.vtsd < 0.0;
    fatal |= p.vtssws < 0.0;
    fatal |= p.vtsswd < 0.0;
    fatal |= p.vtsswgs < 0.0;
    fatal |= p.vtsswgd < 0.0;

    if (p.paramchk == 1) {
        fatal |= p.rbps0 <= 0.0;
        fatal |= p.rbpd0 <= 0.0;
        fatal |= p.rbpbx0 <= 0.0;
        fatal |= p.rbpby0 <= 0.0;
        fatal |= p.rbdbx0 <= 0.0;
        fatal |= p.rbdby0 <= 0.0;
        fatal |= p.rbsbx0 <= 0.0;
        fatal |= p.rbsby0 <= 0.0;
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
    return fatal ? 1 : 0;
}

}  // namespace morva::bsim4::model
