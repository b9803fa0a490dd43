// Setup: model defaults, selector corrections and instance defaults.
#include <cstdio>

#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

// A selector that is not given takes its default; one outside [0, max] (compared unsigned, so
// negative values are outside too) takes it with a warning. The corrected value stays given, so
// a second setup says nothing.
void selector(int& value, bool given, int def, int max, const char* warning) {
    if (!given) {
        value = def;
    } else if (static_cast<unsigned>(value) > static_cast<unsigned>(max)) {
        value = def;
        std::printf("%s\n", warning);
    }
}

void selector_unchecked(int& value, bool given, int def) {
    if (!given) value = def;
}

// The gate-source/drain tunnelling coefficients of one letter: aigs/aigd/aigsd and the like.
struct IgsSet {
    double& s;
    double& d;
    double& sd;
    bool gs, gd, gsd;
};

void igs_base(IgsSet x, double type_default) {
    if (x.gsd) {
        x.s = x.sd;
        x.d = x.sd;
    } else {
        x.sd = type_default;
        if (!x.gs) x.s = type_default;
        if (!x.gd) x.d = type_default;
    }
}

// The binning coefficients of one prefix, decided by the flags of the base parameters.
void igs_coefficients(bool base_sd, bool base_s, bool base_d, IgsSet q) {
    if (!base_sd && (base_s || base_d)) {
        if (!q.gs) q.s = 0.0;
        if (!q.gd) q.d = 0.0;
    } else {
        if (!q.gsd) q.sd = 0.0;
        q.s = q.sd;
        q.d = q.sd;
    }
}

void setup_model(Model& m) {
    ModelParams& p = m.p;
    ModelGiven& g = m.given;
    if (!g.type) m.type = 1;
    const bool n = m.type == 1;

    selector(p.mobmod, g.mobmod, 0, 6, "Warning: mobMod has been set to its default value: 0.");
    selector_unchecked(p.binunit, g.binunit, 1);
    selector_unchecked(p.paramchk, g.paramchk, 1);
    selector(p.diomod, g.diomod, 1, 2, "Warning: dioMod has been set to its default value: 1.");
    selector_unchecked(p.cvchargemod, g.cvchargemod, 0);
    selector(p.capmod, g.capmod, 2, 2, "Warning: capMod has been set to its default value: 2.");
    selector(p.rdsmod, g.rdsmod, 0, 1, "Warning: rdsMod has been set to its default value: 0.");
    selector(p.rbodymod, g.rbodymod, 0, 2, "Warning: rbodyMod has been set to its default value: 0.");
    selector(p.rgatemod, g.rgatemod, 0, 3, "Warning: rgateMod has been set to its default value: 0.");
    selector(p.permod, g.permod, 1, 1, "Warning: perMod has been set to its default value: 1.");
    selector_unchecked(p.geomod, g.geomod, 0);
    selector(p.fnoimod, g.fnoimod, 1, 1, "Warning: fnoiMod has been set to its default value: 1.");
    selector(p.tnoimod, g.tnoimod, 0, 2, "Warning: tnoiMod has been set to its default value: 0.");
    selector(p.trnqsmod, g.trnqsmod, 0, 1, "Warning: trnqsMod has been set to its default value: 0.");
    selector(p.acnqsmod, g.acnqsmod, 0, 1, "Warning: acnqsMod has been set to its default value: 0.");
    selector(p.mtrlmod, g.mtrlmod, 0, 1, "Warning: mtrlMod has been set to its default value: 0.");
    selector(p.mtrlcompatmod, g.mtrlcompatmod, 0, 1,
             "Warning: mtrlCompatMod has been set to its default value: 0.");
    selector(p.igcmod, g.igcmod, 0, 2, "Warning: igcMod has been set to its default value: 0.");
    selector(p.igbmod, g.igbmod, 0, 1, "Warning: igbMod has been set to its default value: 0.");
    selector(p.tempmod, g.tempmod, 0, 3, "Warning: tempMod has been set to its default value: 0.");
    selector_unchecked(p.gidlmod, g.gidlmod, 0);

    if (!g.version) m.version = "4.8.3";

        // Plain numeric defaults of the table.
#define BSIM4_DEFAULT(field, value) \
    if (!g.field) p.field = value;
#include "bsim4_model/bsim4_params.inc"

    // Defaults that depend on the type, the selectors or other parameters.
    if (!g.tnom) p.tnom = m.ctx_tnom;
    if (!g.vth0) p.vth0 = n ? 0.7 : -0.7;
    if (!g.vfb) p.vfb = -1.0;
    if (!g.u0) p.u0 = n ? 0.067 : 0.025;
    if (!g.eu) p.eu = n ? 1.67 : 1.0;
    if (!g.ucs) p.ucs = n ? 1.67 : 1.0;
    if (!g.vddeot) p.vddeot = n ? 1.5 : -1.5;
    if (!g.aigc) p.aigc = n ? 0.0136 : 0.0098;
    if (!g.bigc) p.bigc = n ? 0.00171 : 0.000759;
    if (!g.cigc) p.cigc = n ? 0.075 : 0.03;
    if (!g.noia) p.noia = n ? 6.25e41 : 6.188e40;
    if (!g.noib) p.noib = n ? 3.125e26 : 1.5e25;
    if (!g.toxe) p.toxe = 3e-9;
    if (!g.toxp) p.toxp = p.toxe;
    if (!g.toxm) p.toxm = p.toxe;
    if (!g.eot) p.eot = 1.5e-9;
    if (!g.ndep) p.ndep = 1.7e17;
    if (!g.pigcd) p.pigcd = 1.0;
    if (!g.vtl) p.vtl = 2e5;
    if (!g.rbps0) p.rbps0 = 50.0;
    if (!g.rbpd0) p.rbpd0 = 50.0;
    if (!g.rbsbx0) p.rbsbx0 = 100.0;
    if (!g.rbsby0) p.rbsby0 = 100.0;
    if (!g.rbdbx0) p.rbdbx0 = 100.0;
    if (!g.rbdby0) p.rbdby0 = 100.0;

    // Mobility degradation: the 4.8.1+ rule, which folds mobmod 4-6 onto 0-2. The version text
    // cannot be changed from a card, so it always applies.
    const int mob = p.mobmod & ~4;
    if (!g.ua) p.ua = mob == 2 ? 1e-15 : 1e-9;
    if (!g.uc) p.uc = mob == 1 ? -0.0465 : -4.65e-11;
    if (!g.uc1) p.uc1 = mob == 1 ? -0.056 : -5.6e-11;

    // Gate-source/drain tunnelling: an aigsd (bigsd, cigsd) given sets both sides.
    const double a_def = n ? 0.0136 : 0.0098, b_def = n ? 0.00171 : 0.000759, c_def = n ? 0.075 : 0.03;
    igs_base({p.aigs, p.aigd, p.aigsd, g.aigs, g.aigd, g.aigsd}, a_def);
    igs_base({p.bigs, p.bigd, p.bigsd, g.bigs, g.bigd, g.bigsd}, b_def);
    igs_base({p.cigs, p.cigd, p.cigsd, g.cigs, g.cigd, g.cigsd}, c_def);
    igs_coefficients(g.aigsd, g.aigs, g.aigd, {p.laigs, p.laigd, p.laigsd, g.laigs, g.laigd, g.laigsd});
    igs_coefficients(g.aigsd, g.aigs, g.aigd, {p.waigs, p.waigd, p.waigsd, g.waigs, g.waigd, g.waigsd});
    igs_coefficients(g.aigsd, g.aigs, g.aigd, {p.paigs, p.paigd, p.paigsd, g.paigs, g.paigd, g.paigsd});
    igs_coefficients(g.bigsd, g.bigs, g.bigd, {p.lbigs, p.lbigd, p.lbigsd, g.lbigs, g.lbigd, g.lbigsd});
    igs_coefficients(g.bigsd, g.bigs, g.bigd, {p.wbigs, p.wbigd, p.wbigsd, g.wbigs, g.wbigd, g.wbigsd});
    igs_coefficients(g.bigsd, g.bigs, g.bigd, {p.pbigs, p.pbigd, p.pbigsd, g.pbigs, g.pbigd, g.pbigsd});
    igs_coefficients(g.cigsd, g.cigs, g.cigd, {p.lcigs, p.lcigd, p.lcigsd, g.lcigs, g.lcigd, g.lcigsd});
    igs_coefficients(g.cigsd, g.cigs, g.cigd, {p.wcigs, p.wcigd, p.wcigsd, g.wcigs, g.wcigd, g.wcigsd});
    igs_coefficients(g.cigsd, g.cigs, g.cigd, {p.pcigs, p.pcigd, p.pcigsd, g.pcigs, g.pcigd, g.pcigsd});

    if (g.wpemod && p.wpemod != 0.0 && p.wpemod != 1.0) {
        p.wpemod = 0.0;
        std::printf("Warning: wpemod has been set to its default value: 0.\n");
    }

    // Copies of other parameters' final values (sources first).
#define BSIM4_COPY(field, source) \
    if (!g.field) p.field = p.source;
#include "bsim4_model/bsim4_params.inc"
}

void setup_instance(const Model& m, Instance& inst) {
    // Width, length and fingers are given at creation. The geometry selector comes from the
    // model; the evaluator's instances carry no selectors of their own.
    if (!(inst.given & kGivenNrd)) inst.nrd = 1.0;
    if (!(inst.given & kGivenNrs)) inst.nrs = 1.0;
    if (!(inst.given & kGivenAd)) inst.ad = 0.0;
    if (!(inst.given & kGivenAs)) inst.as = 0.0;
    if (!(inst.given & kGivenPd)) inst.pd = 0.0;
    if (!(inst.given & kGivenPs)) inst.ps = 0.0;
    if (!(inst.given & kGivenDelvto)) inst.delvto = 0.0;
    if (!(inst.given & kGivenMulu0)) inst.mulu0 = 1.0;
    if (!(inst.given & kGivenSa)) inst.sa = 0.0;
    if (!(inst.given & kGivenSb)) inst.sb = 0.0;
    if (!(inst.given & kGivenSd)) inst.sd = 2.0 * m.p.dmcg;
    if (!(inst.given & kGivenSca)) inst.sca = 0.0;
    if (!(inst.given & kGivenScb)) inst.scb = 0.0;
    if (!(inst.given & kGivenScc)) inst.scc = 0.0;
    if (!(inst.given & kGivenSc)) inst.sc = 0.0;
    inst.geomod = m.p.geomod;
    inst.min_sd = 0;
    inst.setup_done = true;
}

}  // namespace

int BSIM4setup(Model& model) {
    setup_model(model);
    for (Instance* inst = model.instances; inst; inst = inst->next) setup_instance(model, *inst);
    return kOk;
}

}  // namespace morva::bsim4::model
