// BSIM4 parameter table, parameter setting, setup defaults and the diffusion geometry routines.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "bsim4_model/bsim4.h"
#include "bsim4_model/model.h"

using namespace morva::bsim4::model;

namespace {

struct ModelGuard {
    Bsim4ModelHandle m;
    explicit ModelGuard(Bsim4ModelHandle h) : m(h) {}
    ~ModelGuard() { bsim4_model_free(m); }
};

}  // namespace

TEST(Bsim4Table, RowsKindsAndIds) {
    ASSERT_EQ(param_table_size(), 897u);
    std::map<ParamKind, int> kinds;
    std::map<std::string, int> ids;
    for (std::size_t i = 0; i < param_table_size(); ++i) {
        const ParamRow& r = param_table_row(i);
        ++kinds[r.kind];
        EXPECT_GE(r.id, 66);
        EXPECT_LE(r.id, 1311);
        ids[r.keyword] = r.id;
        EXPECT_EQ(std::string(r.description).empty(), r.kind == ParamKind::Alias) << r.keyword;
    }
    EXPECT_EQ(kinds[ParamKind::Real], 869);
    EXPECT_EQ(kinds[ParamKind::Int], 21);
    EXPECT_EQ(kinds[ParamKind::Alias], 4);
    EXPECT_EQ(kinds[ParamKind::String], 1);
    EXPECT_EQ(kinds[ParamKind::Flag], 2);
    EXPECT_STREQ(param_table_row(21).keyword, "version");
    EXPECT_STREQ(param_table_row(895).keyword, "nmos");
    EXPECT_STREQ(param_table_row(896).keyword, "pmos");
    EXPECT_EQ(ids["nmos"], 844);
    EXPECT_EQ(ids["pmos"], 845);
    EXPECT_EQ(ids["vtho"], ids["vth0"]);
    EXPECT_EQ(ids["pvtho"], ids["pvth0"]);
    EXPECT_EQ(ids.count("level"), 0u);
    EXPECT_EQ(param_data_type(ParamKind::Real), 0x3004u);
    EXPECT_EQ(param_data_type(ParamKind::Alias), 0x13004u);
}

TEST(Bsim4Table, SettingByNameIgnoresCaseAndSkipsNonNumericRows) {
    ModelGuard g(bsim4_model_new());
    Model& m = *g.m;
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "toxe", 1e-9), 1);
    EXPECT_EQ(m.p.toxe, 1e-9);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "TOXE", 2e-9), 1);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "ToXe", 3e-9), 1);
    EXPECT_EQ(m.p.toxe, 3e-9);
    EXPECT_TRUE(m.given.toxe);

    EXPECT_EQ(bsim4_model_set_double_param(g.m, "vtho", 0.42), 1);
    EXPECT_EQ(m.p.vth0, 0.42);
    EXPECT_TRUE(m.given.vth0);

    const int type_before = m.type;
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "level", 54), 0);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "LEVEL", 54), 0);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "version", 4.7), 0);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "pmos", 1), 0);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, "w", 1e-6), 0);
    EXPECT_EQ(m.type, type_before);
    EXPECT_EQ(m.version, "4.8.3");

    EXPECT_EQ(bsim4_model_set_double_param(nullptr, "toxe", 1e-9), 0);
    EXPECT_EQ(bsim4_model_set_double_param(g.m, nullptr, 1e-9), 0);
}

TEST(Bsim4Table, ConversionsOnTheWay) {
    ModelGuard g(bsim4_model_new());
    Model& m = *g.m;
    bsim4_model_set_double_param(g.m, "capmod", 2.9);
    EXPECT_EQ(m.p.capmod, 2);
    bsim4_model_set_double_param(g.m, "capmod", -1.5);
    EXPECT_EQ(m.p.capmod, -1);
    bsim4_model_set_double_param(g.m, "mobmod", 3e9);
    EXPECT_EQ(m.p.mobmod, INT_MIN);
    bsim4_model_set_double_param(g.m, "mobmod", std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(m.p.mobmod, INT_MIN);

    bsim4_model_set_double_param(g.m, "ndep", 1e24);
    EXPECT_EQ(m.p.ndep, 1e24 * 1e-6);
    bsim4_model_set_double_param(g.m, "ndep", 1e20);
    EXPECT_EQ(m.p.ndep, 1e20);
    bsim4_model_set_double_param(g.m, "lndep", 1e21);
    EXPECT_EQ(m.p.lndep, 1e21 * 1e-6);
    bsim4_model_set_double_param(g.m, "ngate", 2e26);
    EXPECT_EQ(m.p.ngate, 2e26 * 1e-6);
    bsim4_model_set_double_param(g.m, "nsd", 1e23);
    EXPECT_EQ(m.p.nsd, 1e23);
    // As ngspice bounds nsd and ngate: up to 1.000001e24 they are kept (checked there through
    // @m[ngate] and the drain current: 2e23 and 1e24 stay, 1.0000011e24 becomes 1.0000011e18).
    for (const char* name : {"nsd", "ngate"}) {
        for (double kept : {std::nextafter(1e23, 2e23), 2e23, 1e24, 1.000001e24}) {
            bsim4_model_set_double_param(g.m, name, kept);
            EXPECT_EQ(std::string(name) == "nsd" ? m.p.nsd : m.p.ngate, kept) << name << " " << kept;
        }
        bsim4_model_set_double_param(g.m, name, 1.0000011e24);
        EXPECT_EQ(std::string(name) == "nsd" ? m.p.nsd : m.p.ngate, 1.0000011e24 * 1e-6) << name;
    }
    bsim4_model_set_double_param(g.m, "nsub", 1e24);  // never converted
    EXPECT_EQ(m.p.nsub, 1e24);
    bsim4_model_set_double_param(g.m, "tnom", 27);
    EXPECT_DOUBLE_EQ(m.p.tnom, 300.15);
}

TEST(Bsim4Table, DeviceTypeText) {
    ModelGuard g(bsim4_model_new());
    const std::pair<const char*, int> cases[] = {{"Pfet", -1}, {"p", -1},   {"PMOS", -1}, {"xmos", 1},
                                                 {"", 1},      {"nfet", 1}, {"Pxyz", -1}, {"nmos", 1}};
    for (const auto& [text, type] : cases) {
        bsim4_model_set_type(g.m, text);
        EXPECT_EQ(g.m->type, type) << text;
        EXPECT_TRUE(g.m->given.type);
    }
    bsim4_model_set_type(g.m, "pmos");
    bsim4_model_set_type(g.m, nullptr);
    EXPECT_EQ(g.m->type, -1);
    // The card flags: a nonzero value sets the type, zero changes nothing.
    const int nmos_id = param_table_row(895).id, pmos_id = param_table_row(896).id;
    EXPECT_EQ(BSIM4mParam(nmos_id, 0.0, *g.m), kOk);
    EXPECT_EQ(g.m->type, -1);
    EXPECT_EQ(BSIM4mParam(nmos_id, 1.0, *g.m), kOk);
    EXPECT_EQ(g.m->type, 1);
    EXPECT_EQ(BSIM4mParam(pmos_id, 2.0, *g.m), kOk);
    EXPECT_EQ(g.m->type, -1);
    EXPECT_EQ(BSIM4mParam(9999, 1.0, *g.m), kBadParameter);
}

TEST(Bsim4Table, InstanceParameters) {
    ModelGuard g(bsim4_model_new());
    Bsim4InstanceHandle inst = bsim4_instance_alloc(g.m, 1, 1e-6, 1e-6);
    ASSERT_TRUE(inst);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "NRD", 3.0), 1);
    EXPECT_EQ(inst->nrd, 3.0);
    EXPECT_TRUE(inst->given & kGivenNrd);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "DelVto", 0.05), 1);
    EXPECT_EQ(inst->delvto, 0.05);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "delvt0", 0.07), 1);
    EXPECT_EQ(inst->delvto, 0.07);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "MULU0", 1.2), 1);
    EXPECT_EQ(inst->mulu0, 1.2);
    EXPECT_TRUE(inst->given & kGivenMulu0);
    // A real finger count, at least 1 as at creation.
    for (const auto& [given, taken] : {std::pair{2.5, 2.5}, {0.5, 1.0}, {std::nan(""), 1.0}}) {
        EXPECT_EQ(bsim4_instance_set_inst_param(inst, "nf", given), 1);
        EXPECT_EQ(inst->nf, taken);
    }
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "w", 2e-6), 0);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "l", 2e-6), 0);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, "nrdx", 2e-6), 0);
    EXPECT_EQ(bsim4_instance_set_inst_param(inst, nullptr, 1.0), 0);
    EXPECT_EQ(bsim4_instance_set_inst_param(nullptr, "nrd", 1.0), 0);
    EXPECT_EQ(inst->w, 1e-6);
    bsim4_instance_free(inst);
}

TEST(Bsim4Setup, ModelCreateFlagsItsArguments) {
    ModelGuard g(bsim4_model_create(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    Model& m = *g.m;
    EXPECT_EQ(m.type, 1);
    EXPECT_DOUBLE_EQ(m.p.tnom, 300.15);
    EXPECT_EQ(m.p.epsrox, 3.9);
    EXPECT_TRUE(m.given.vth0 && m.given.k1 && m.given.k2 && m.given.k3 && m.given.rdsw && m.given.dtox &&
                m.given.wint && m.given.lint && m.given.epsrox && m.given.tnom);
    EXPECT_FALSE(m.given.toxe || m.given.toxp || m.given.toxm || m.given.vsat || m.given.u0);
    ModelGuard g2(bsim4_model_create(-5, 50, 2e-9, 0, 0, 0, 4.0, 0, 0, -0.4, 0.5, 0, 0, 1e5, 0.02, 100));
    EXPECT_EQ(g2.m->type, -1);
    EXPECT_DOUBLE_EQ(g2.m->p.tnom, 323.15);
    EXPECT_EQ(g2.m->p.toxe, 2e-9);
    EXPECT_TRUE(g2.m->given.toxe);
    EXPECT_EQ(g2.m->p.epsrox, 4.0);
    EXPECT_EQ(g2.m->p.vth0, -0.4);
}

TEST(Bsim4Setup, SelectorCorrectionsWarnOnce) {
    ModelGuard g(bsim4_model_new());
    bsim4_model_set_double_param(g.m, "capmod", 3);
    bsim4_model_set_double_param(g.m, "mobmod", 7);
    bsim4_model_set_double_param(g.m, "rdsmod", -1);
    bsim4_model_set_double_param(g.m, "wpemod", 0.5);
    testing::internal::CaptureStdout();
    BSIM4setup(*g.m);
    const std::string first = testing::internal::GetCapturedStdout();
    EXPECT_NE(first.find("Warning: capMod has been set to its default value: 2.\n"), std::string::npos);
    EXPECT_NE(first.find("Warning: mobMod has been set to its default value: 0.\n"), std::string::npos);
    EXPECT_NE(first.find("Warning: rdsMod has been set to its default value: 0.\n"), std::string::npos);
    EXPECT_NE(first.find("Warning: wpemod has been set to its default value: 0.\n"), std::string::npos);
    EXPECT_EQ(g.m->p.capmod, 2);
    EXPECT_EQ(g.m->p.mobmod, 0);
    EXPECT_EQ(g.m->p.wpemod, 0.0);
    testing::internal::CaptureStdout();
    BSIM4setup(*g.m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Bsim4Setup, DefaultsByTypeMobilityAndCopies) {
    auto setup_with = [](const char* type, std::initializer_list<std::pair<const char*, double>> params) {
        Bsim4ModelHandle m = bsim4_model_new();
        bsim4_model_set_type(m, type);
        for (const auto& [n, v] : params) bsim4_model_set_double_param(m, n, v);
        BSIM4setup(*m);
        return m;
    };
    ModelGuard n(setup_with("nmos", {}));
    EXPECT_EQ(n.m->p.u0, 0.067);
    EXPECT_EQ(n.m->p.vth0, 0.7);
    EXPECT_EQ(n.m->p.eu, 1.67);
    EXPECT_EQ(n.m->p.ua, 1e-9);
    EXPECT_EQ(n.m->p.k3, 80.0);
    EXPECT_EQ(n.m->p.rdsw, 200.0);
    EXPECT_EQ(n.m->p.toxp, 3e-9);
    EXPECT_DOUBLE_EQ(n.m->p.tnom, 300.15);
    EXPECT_EQ(n.m->p.dsub, n.m->p.drout);
    EXPECT_EQ(n.m->p.agisl, n.m->p.agidl);
    ModelGuard p(setup_with("pmos", {}));
    EXPECT_EQ(p.m->p.u0, 0.025);
    EXPECT_EQ(p.m->p.vth0, -0.7);
    EXPECT_EQ(p.m->p.ucs, 1.0);
    EXPECT_EQ(p.m->p.vddeot, -1.5);
    ModelGuard m6(setup_with("nmos", {{"mobmod", 6}}));
    EXPECT_EQ(m6.m->p.ua, 1e-15);
    ModelGuard m2(setup_with("nmos", {{"mobmod", 2}}));
    EXPECT_EQ(m2.m->p.ua, 1e-15);
    ModelGuard m5(setup_with("nmos", {{"mobmod", 5}}));
    EXPECT_EQ(m5.m->p.uc, -0.0465);
    EXPECT_EQ(m5.m->p.uc1, -0.056);
    ModelGuard copies(setup_with("nmos", {{"lint", 1e-8}, {"jss", 2e-4}, {"cjsws", 1e-10}}));
    EXPECT_EQ(copies.m->p.dlc, 1e-8);
    EXPECT_EQ(copies.m->p.dlcig, 1e-8);
    EXPECT_EQ(copies.m->p.dlcigd, 1e-8);
    EXPECT_EQ(copies.m->p.jsd, 2e-4);
    EXPECT_EQ(copies.m->p.cjswgd, 1e-10);
    // An aigsd given sets both sides, overriding their own values; laigs without a base is lost.
    ModelGuard igs(setup_with("nmos", {{"aigsd", 0.02}, {"aigs", 0.01}, {"laigs", 1e-3}}));
    EXPECT_EQ(igs.m->p.aigs, 0.02);
    EXPECT_EQ(igs.m->p.aigd, 0.02);
    EXPECT_EQ(igs.m->p.laigs, 0.0);
}

TEST(Bsim4Geometry, PerimetersAndAreasByLayout) {
    const double w = 1e-6, dmcg = 1e-7, dmci = 2e-7, dmdg = 3e-7;
    const double p_iso = 2 * (dmcg + dmci) + w, p_sha = 2 * dmcg;
    double ps, pd, as, ad;
    BSIM4PAeffGeo(3, 0, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(ps, p_iso + 2 * p_sha);
    EXPECT_DOUBLE_EQ(pd, p_iso + 2 * p_sha);
    BSIM4PAeffGeo(4, 0, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(ps, 2 * p_iso + 2 * p_sha);
    EXPECT_DOUBLE_EQ(pd, 4 * p_sha);
    BSIM4PAeffGeo(4, 0, 1, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(ps, 4 * p_sha);
    EXPECT_DOUBLE_EQ(pd, 2 * p_iso + 2 * p_sha);
    EXPECT_DOUBLE_EQ(as, 4 * dmcg * w);
    // nf = 2.5 counts as even.
    BSIM4PAeffGeo(2.5, 0, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(pd, 2.5 * p_sha);
    // Merged ends.
    BSIM4PAeffGeo(1, 8, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(ps, 2 * dmdg);
    EXPECT_DOUBLE_EQ(ad, dmdg * w);
    BSIM4PAeffGeo(3, 9, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(ps, p_iso + 2 * p_sha);
    EXPECT_DOUBLE_EQ(pd, 3 * p_sha);
    BSIM4PAeffGeo(3, 10, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_DOUBLE_EQ(pd, p_iso + 2 * p_sha);
    EXPECT_DOUBLE_EQ(ps, 3 * p_sha);

    ps = pd = as = ad = -7.0;
    testing::internal::CaptureStdout();
    BSIM4PAeffGeo(1, 11, 0, w, dmcg, dmci, dmdg, &ps, &pd, &as, &ad);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: Specified GEO = 11 not matched\n");
    EXPECT_EQ(ps, -7.0);
    EXPECT_EQ(ad, -7.0);
}

TEST(Bsim4Geometry, DiffusionResistance) {
    const double w = 1e-6, rsh = 10, dmcg = 1e-7, dmci = 2e-7, dmdg = 3e-7;
    double r = -1;
    BSIM4RdseffGeo(2, 9, 1, 0, w, rsh, dmcg, dmci, dmdg, 1, &r);
    EXPECT_DOUBLE_EQ(r, 0.5 * rsh * dmcg / w);

    testing::internal::CaptureStdout();
    BSIM4RdseffGeo(1, 11, 1, 0, w, rsh, dmcg, dmci, dmdg, 1, &r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Specified GEO = 11 not matched\nWarning: Zero resistance returned from RdseffGeo\n");
    EXPECT_EQ(r, 0.0);

    // rgeo 9 matches no group: no end resistance, the internal one alone (nf 3: 2 internal).
    testing::internal::CaptureStdout();
    BSIM4RdseffGeo(3, 0, 9, 0, w, rsh, dmcg, dmci, dmdg, 1, &r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: Specified RGEO = 9 not matched\n");
    EXPECT_DOUBLE_EQ(r, rsh * dmcg / (w * 2));

    // Isolated end (geo 0 source, rgeo 1): the end and internal resistances in parallel.
    BSIM4RdseffGeo(3, 0, 1, 0, w, rsh, dmcg, dmci, dmdg, 1, &r);
    const double r_end = rsh * dmcg / w, r_int = rsh * dmcg / (w * 2);
    EXPECT_DOUBLE_EQ(r, r_int * r_end / (r_int + r_end));
    // The width form of an isolated end, and a shared end with DMCG = 0.
    BSIM4RdseffGeo(1, 0, 3, 0, w, rsh, dmcg, dmci, dmdg, 1, &r);
    EXPECT_DOUBLE_EQ(r, rsh * w / (3 * (dmcg + dmci)));
    testing::internal::CaptureStdout();
    BSIM4RdseffGeo(1, 3, 3, 0, w, rsh, 0.0, dmci, dmdg, 1, &r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DMCG can not be equal to zero\nWarning: Zero resistance returned from RdseffGeo\n");
    EXPECT_EQ(r, 0.0);
    // Merged drain end of geo 4: Rsh DMDG / Weffcj.
    BSIM4RdseffGeo(1, 4, 1, 0, w, rsh, dmcg, dmci, dmdg, 0, &r);
    EXPECT_DOUBLE_EQ(r, rsh * dmdg / w);
}
