#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "common/format.h"
#include "lut/extract.h"
#include "lut/netlists.h"
#include "lut/report.h"

using namespace morva;
using namespace morva::lut;
using namespace morva::lut::generate_ngspice;
using morva::ngspice::SimulationResponse;
using morva::ngspice::VectorData;

namespace {

std::string cwd() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

ParamMask mask_of(std::initializer_list<const char*> names) {
    ParamMask m{};
    for (const char* n : names) m[*op_param_index(n)] = true;
    return m;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos) return out;
        start = nl + 1;
    }
}

std::size_t count_of(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

}  // namespace

// ---- numbers and sweeps ----------------------------------------------------

TEST(LutNetlists, ExactNumbersKeepTheShortFormWhenItReadsBack) {
    EXPECT_EQ(exact_number(1e-6, 3), "1e-6");
    EXPECT_EQ(exact_number(-0.5, 6), "-5.000000e-1");
    EXPECT_EQ(exact_number(0.0, 3), "0.000e0");
    // A log-spaced length that four digits would round by 1e-4 relative.
    const double l = std::sqrt(1.8e-7 * 3.333e-7);
    const std::string text = exact_number(l, 3);
    EXPECT_EQ(spice::spice_numbers::read_back(text, spice::spice_numbers::NumberReader::Netlist), l) << text;
    EXPECT_NE(text.find('e'), std::string::npos);
}

TEST(LutNetlists, SweepPointsAreThoseNgspiceVisits) {
    EXPECT_EQ(sweep_point_count(0.0, 1.0, 0.4), 3u);  // truncated, not rounded to 4
    EXPECT_EQ(sweep_point_count(0.0, 1.5, 0.05), 31u);
    EXPECT_EQ(sweep_point_count(0.0, 0.3, 0.1), 4u);
    // ngspice's tolerance lies between 1e-13 and 1e-12 of overshoot.
    EXPECT_EQ(sweep_point_count(0.0, 0.2999999999999, 0.1), 4u);
    EXPECT_EQ(sweep_point_count(0.0, 0.299999999999, 0.1), 3u);
    EXPECT_EQ(sweep_point_count(0.0, -1.0, -0.5), 3u);
    EXPECT_EQ(sweep_point_count(0.0, 1.0, -0.5), 1u);  // pointing away: the start alone
    EXPECT_EQ(sweep_point_count(0.7, 0.7, 0.1), 1u);

    EXPECT_EQ(sweep_text(0.0, 1.0, 0.4), "0.000000e0 8.000000e-1 4e-1");
    EXPECT_EQ(sweep_text(0.0, 1.5, 0.05), "0.000000e0 1.500000e0 5.000000e-2");
    EXPECT_EQ(sweep_text(0.0, 1.0, -0.5), "0.000000e0 0.000000e0 -5.000000e-1");
    EXPECT_EQ(sweep_axis({0.0, 1.0, 0.4}), (std::vector<double>{0.0, 0.4, 0.8}));
}

// The points ngspice's DC sweep visits for a written "{start} {stop} {step}":
// it adds the step to the value until it passes the stop by more than
// 1000 machine epsilons.
std::size_t ngspice_sweep_points(const std::string& text) {
    double start = 0, stop = 0, step = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "%lf %lf %lf", &start, &stop, &step), 3) << text;
    const double sign = step > 0 ? 1.0 : -1.0;
    std::size_t n = 0;
    for (double v = start; sign * (v - stop) <= 1e3 * std::numeric_limits<double>::epsilon(); v += step) ++n;
    return n;
}

TEST(LutNetlists, LongSweepsVisitEveryPointOfTheAxis) {
    // 2455 points: repeated addition carries the value past the last point
    // by more than ngspice's tolerance, so a stop written on it loses points.
    EXPECT_EQ(sweep_point_count(0.8, 3.5, 0.0011), 2455u);
    EXPECT_EQ(ngspice_sweep_points(sweep_text(0.8, 3.5, 0.0011)), 2455u);
    // A chunk covering the whole sweep: its stop is the last axis point.
    const SweepRange whole{0.013, 0.013 + 7e-5 * 25528, 7e-5};
    EXPECT_EQ(sweep_point_count(whole), 25529u);
    EXPECT_EQ(ngspice_sweep_points(sweep_text(whole.start, whole.stop, whole.step)), 25529u);
    const SweepRange down{1.8, 1.8 - 3e-5 * 60000, -3e-5};
    EXPECT_EQ(ngspice_sweep_points(sweep_text(down.start, down.stop, down.step)), 60001u);
    LutConfig c;
    c.vgs = {0.8, 3.5, 0.0011};
    c.vds = {0.8, 3.5, 0.0011};
    const std::string netlist = build_netlist(c, c.vgs, ParamMask{}, "m1", 1e-6, 1e-7, 0.0);
    const std::size_t at = netlist.find(".dc Vds ") + 8, mid = netlist.find(" Vgs ", at);
    EXPECT_EQ(ngspice_sweep_points(netlist.substr(at, mid - at)), 2455u);
    EXPECT_EQ(ngspice_sweep_points(netlist.substr(mid + 5, netlist.find('\n', mid) - mid - 5)), 2455u);
}

// ---- model section, device lines, netlists ----------------------------------

TEST(LutNetlists, ModelSectionFromFileCardOrBuiltin) {
    LutConfig c;
    c.model_file = "models/x.lib";
    const std::string abs = cwd() + "/models/x.lib";
    EXPECT_EQ(build_model_card(c), ".include " + abs);
    EXPECT_EQ(model_dir_pre_commands(c), std::vector<std::string>{"chdir:" + cwd() + "/models"});
    c.model_section = "tt";
    EXPECT_EQ(build_model_card(c), ".lib " + abs + " tt");

    c.model_file = "/x.lib";
    EXPECT_EQ(model_dir_pre_commands(c), std::vector<std::string>{"chdir:/"});
    c.model_file.reset();
    EXPECT_TRUE(model_dir_pre_commands(c).empty());

    c.model_card = ".model nch nmos level=1";
    c.model_includes = {{"/lib/a.l", "ff"}, {"/lib/b.l", ""}};
    EXPECT_EQ(build_model_card(c), ".model nch nmos level=1\n.lib /lib/a.l ff\n.lib /lib/b.l ");

    LutConfig p;
    p.device_type = DeviceType::Pmos;
    EXPECT_EQ(build_model_card(p).size(), 156u);
    EXPECT_TRUE(build_model_card(p).starts_with(".model pch pmos level=3 tox=10n vth0=-0.7"));
    EXPECT_EQ(build_model_card(LutConfig{}).size(), 154u);
}

TEST(LutNetlists, PathsWithBlanks) {
    // ".include" takes a quoted path; ".lib" takes none, so a library in a
    // directory with blanks is named relative to the model file's directory,
    // where the worker loads the netlist from.
    LutConfig c;
    c.model_file = "/my models/x.lib";
    c.model_includes = {{"/my models/sub/c.l", "tt"}, {"/lib/d.l", "ff"}};
    EXPECT_EQ(build_model_card(c), ".include \"/my models/x.lib\"\n.lib sub/c.l tt\n.lib /lib/d.l ff");
    EXPECT_EQ(model_dir_pre_commands(c), std::vector<std::string>{"chdir:/my models"});
    EXPECT_FALSE(netlist_path_problem(c));
    c.model_section = "tt";
    EXPECT_EQ(build_model_card(c), ".lib x.lib tt\n.lib sub/c.l tt\n.lib /lib/d.l ff");
    EXPECT_FALSE(netlist_path_problem(c));

    c.model_file = "/my models/x y.lib";
    EXPECT_EQ(netlist_path_problem(c),
              "model_file: ngspice cannot read a .lib file whose name contains blanks (\"x y.lib\")");
    c.model_section.reset();  // an .include is quoted
    EXPECT_FALSE(netlist_path_problem(c));
    c.model_includes = {{"/other dir/c.l", "tt"}};
    EXPECT_EQ(netlist_path_problem(c),
              "model_includes: ngspice cannot read the .lib path \"/other dir/c.l\"; a library whose "
              "path contains blanks must lie in the model file's directory");
    c.model_file.reset();
    c.model_includes = {{"/my models/c.l", "tt"}};
    EXPECT_TRUE(netlist_path_problem(c));
}

TEST(LutNetlists, NamesAreSingleWords) {
    // A blank would split a name into two netlist words: "tt ff" would
    // silently select the section tt.
    const std::pair<std::string LutConfig::*, const char*> names[] = {
        {&LutConfig::model_name, "model_name"},
        {&LutConfig::width_param, "width_param"},
        {&LutConfig::length_param, "length_param"},
        {&LutConfig::device_name, "device_name"},
    };
    for (const auto& [member, name] : names) {
        LutConfig c;
        c.*member = "a b";
        EXPECT_EQ(netlist_text_problem(c), fmt::cat(name, " must be a single word without blanks"));
    }
    LutConfig c;
    c.model_file = "/lib/m.lib";
    c.model_section = "tt ff";
    EXPECT_EQ(netlist_text_problem(c), "model_section must be a single word without blanks");
    c.model_section = "tt";
    c.model_includes = {{"/lib/m.lib", "res typ"}};
    EXPECT_EQ(netlist_text_problem(c), "model_includes sections must be single words without blanks");
    c.model_includes = {{"/lib/m.lib", ""}};  // an empty section stays allowed
    EXPECT_FALSE(netlist_text_problem(c));
}

TEST(LutNetlists, TextThatWouldStartNetlistLinesIsRefused) {
    LutConfig c;
    EXPECT_FALSE(netlist_text_problem(c));
    c.model_name = "nch\n.control\nshell rm -rf x\n.endc";
    EXPECT_EQ(netlist_text_problem(c), "model_name must not contain line breaks or control characters");
    c = LutConfig{};
    c.width_param = "W\r";
    EXPECT_EQ(netlist_text_problem(c), "width_param must not contain line breaks or control characters");
    c = LutConfig{};
    c.model_file = "/tmp/a\nb.lib";
    EXPECT_EQ(netlist_text_problem(c), "model_file must not contain line breaks or control characters");
    c = LutConfig{};
    c.model_includes = {{"/lib/a.l", "tt\tff"}};
    EXPECT_EQ(netlist_text_problem(c), "model_includes must not contain line breaks or control characters");
    c = LutConfig{};
    c.model_file = "/a b/\"x\".lib";
    EXPECT_EQ(netlist_path_problem(c), "model_file must not contain both blanks and double quotes");
    c = LutConfig{};
    c.model_card = ".model nch nmos level=1\n+ vto=0.5";  // a card is netlist text by design
    EXPECT_FALSE(netlist_text_problem(c));
}

TEST(LutNetlists, CharacterisationNetlistText) {
    LutConfig c;
    c.model_card = ".model nch nmos level=1";
    c.vds = {0.0, 1.0, 0.4};
    const std::string text =
        build_netlist(c, {0.0, 1.0, 0.5}, mask_of({"cgg", "vth"}), "m1", 1e-6, 1.5e-7, -0.25);
    EXPECT_EQ(text,
              "nmos characterisation W=1.000e-6 L=1.500e-7\n"
              "\n"
              "* model\n"
              ".model nch nmos level=1\n"
              "\n"
              "* test bench\n"
              "M1 drain gate source bulk nch W=1e-6 L=1.500e-7\n"
              "Vds drain source dc 0\n"
              "Vgs gate  source dc 0\n"
              "Vbs bulk  source dc -2.500e-1\n"
              "Vs  source 0    dc 0\n"
              "\n"
              "* operating-point parameters\n"
              ".save vds#branch\n"
              ".save @m1[cgg]\n"
              ".save @m1[vth]\n"
              "\n"
              "* sweep\n"
              ".dc Vds 0.000000e0 8.000000e-1 4e-1 Vgs 0.000000e0 1.000000e0 5.000000e-1\n"
              "\n"
              ".end");

    const std::string bare = build_netlist(c, c.vgs, ParamMask{}, "m1", 1e-6, 1.5e-7, 0.0);
    EXPECT_NE(bare.find("* operating-point parameters\n\n* sweep\n"), std::string::npos);

    c.subcircuit = true;
    const double l = std::sqrt(1.8e-7 * 3.333e-7);
    const std::string sub = build_netlist(c, c.vgs, ParamMask{}, "m.x1.m0", 1e-6, l, 0.0);
    EXPECT_TRUE(sub.starts_with("nmos characterisation W=1.000e-6 L=2.449e-7\n")) << sub;
    EXPECT_NE(sub.find("\nX1 drain gate source bulk nch L=" +
                       exact_number(l, 3, spice::spice_numbers::NumberReader::Expression) + " W=1.000e-6\n"),
              std::string::npos);
}

TEST(LutNetlists, ProbeNetlistText) {
    LutConfig c;
    c.device_type = DeviceType::Pmos;
    c.model_card = ".model pch pmos level=1";
    c.model_name = "pch";
    c.widths = {2e-6, 4e-6};
    c.lengths = {1e-7, 2e-7, 3e-7};
    c.vbs_values = {0.5, 0.0};
    c.vgs = {0.0, -1.8, -0.05};
    c.vds = {0.0, -1.8, -0.05};
    EXPECT_EQ(build_probe_netlist(c, "vth", "m1"),
              "pmos probe (vth)\n"
              "\n"
              ".model pch pmos level=1\n"
              "\n"
              "M1 drain gate source bulk pch W=2e-6 L=2e-7\n"
              "Vds drain source dc -9.000e-1\n"
              "Vgs gate  source dc 0\n"
              "Vbs bulk  source dc 5.000e-1\n"
              "Vs  source 0    dc 0\n"
              "\n"
              ".save vds#branch @m1[vth]\n"
              "\n"
              ".dc Vgs 0.000000e0 -1.000000e-1 -5.000000e-2\n"
              "\n"
              ".end");
}

// The small-signal probe asks for every vector that could serve, at three
// Vgs points from the sweep's start and five Vds points from the middle of
// its sweep to the end (at mid Vds alone when that is the end); the
// characterisation netlist saves a small-signal vector that is also an
// operating-point parameter once.
TEST(LutNetlists, SmallSignalProbeAndSeriesSaves) {
    LutConfig c;
    c.model_card = ".model nch nmos level=54";
    c.widths = {1e-6};
    c.lengths = {1e-7};
    c.vbs_values = {0.0};
    c.vgs = {0.0, 1.2, 0.05};
    c.vds = {0.0, 1.2, 0.05};
    const std::vector<std::string> wanted = small_signal_probe_vectors("m.x1.m0");
    EXPECT_EQ(wanted, (std::vector<std::string>{
                          "@m.x1.m0[gm]", "@m.x1.m0[gds]", "@m.x1.m0[id]", "@m.x1.m0[gmbs]", "@m.x1.m0[gbd]",
                          "@m.x1.m0[gbs]", "@m.x1.m0[ibd]", "@m.x1.m0[ibs]", "m.x1.m0#drain",
                          "m.x1.m0#source", "@m.x1.m0[isub]", "@m.x1.m0[igidl]", "@m.x1.m0[igd]",
                          "@m.x1.m0[igcd]", "@m.x1.m0[igs]", "@m.x1.m0[igcs]", "@m.x1.m0[igisl]"}));
    const std::vector<std::string> probe = lines_of(build_small_signal_probe_netlist(c, "m.x1.m0"));
    ASSERT_GE(probe.size(), 3u);
    EXPECT_EQ(probe[0], "nmos probe (gm)");
    EXPECT_EQ(probe[probe.size() - 3],
              ".dc Vds 6.000000e-1 1.200000e0 1.500000e-1 Vgs 0.000000e0 1.000000e-1 5.000000e-2");
    std::string saved = ".save vds#branch";
    for (const std::string& name : wanted) saved += " " + name;
    EXPECT_NE(std::find(probe.begin(), probe.end(), saved), probe.end());
    c.vds = {0.9, 0.9, 0.1};
    const std::vector<std::string> fixed = lines_of(build_small_signal_probe_netlist(c, "m1"));
    EXPECT_EQ(fixed[fixed.size() - 3], ".dc Vgs 0.000000e0 1.000000e-1 5.000000e-2");

    const std::vector<std::string> series{"@m1[gm]", "@m1[gds]", "@m1[gmbs]", "@m1[gbd]", "m1#drain"};
    const std::string netlist =
        build_netlist(c, c.vgs, mask_of({"gmbs", "vth"}), "m1", 1e-6, 1e-7, 0.0, series);
    EXPECT_NE(netlist.find("\n* operating-point parameters\n.save vds#branch\n.save @m1[gm]\n.save @m1[gds]\n"
                           ".save @m1[gmbs]\n.save @m1[gbd]\n.save m1#drain\n.save @m1[vth]\n\n* sweep\n"),
              std::string::npos)
        << netlist;
    EXPECT_EQ(build_return_vectors(1, "m1", mask_of({"gbd"}), series),
              (std::vector<std::string>{"vds#branch", "@m1[gm]", "@m1[gds]", "@m1[gmbs]", "@m1[gbd]",
                                        "m1#drain", "vds#branch"}));
    EXPECT_EQ(channel_beyond("m1", -1.0), (BeyondTerms{true, {{"@m1[id]", 1.0}}, std::nullopt}));
    // Through reverse columns the channel current turns where the drain lies below the source.
    EXPECT_EQ(
        channel_beyond("m1", -1.0, true),
        (BeyondTerms{
            true, {{"@m1[id]", 1.0}}, BeyondTerms::Reverse{{{"@m1[id]", -1.0}}, "drain", "source", -1.0}}));
    SmallSignalPlan plan;
    plan.vectors = series;
    EXPECT_EQ(plan.index_of("M1#DRAIN"), 4u);
    EXPECT_FALSE(plan.index_of("m1#source"));
}

// ---- command and vector lists ----------------------------------------------

TEST(LutNetlists, VbsFoldedCommandsUseLowerCaseSweepSources) {
    LutConfig c;
    c.vbs_values = {0.0, -0.5, -1.0};
    c.vds = {0.0, 1.8, 0.05};
    EXPECT_EQ(build_multi_vbs_commands(c, {0.0, 0.5, 0.05}),
              (std::vector<std::string>{
                  "run", " alter @Vbs[dc] = -5.000000e-1",
                  "dc vds 0.000000e0 1.800000e0 5.000000e-2 vgs 0.000000e0 5.000000e-1 5.000000e-2",
                  " alter @Vbs[dc] = -1.000000e0",
                  "dc vds 0.000000e0 1.800000e0 5.000000e-2 vgs 0.000000e0 5.000000e-1 5.000000e-2"}));
    c.vbs_values = {0.0};
    EXPECT_EQ(build_multi_vbs_commands(c, c.vgs), std::vector<std::string>{"run"});
}

TEST(LutNetlists, AllChunksCommandsAndVectorsAreChunkMajor) {
    LutConfig c;
    c.vbs_values = {0.0, -0.5};
    c.vgs = {0.0, 0.9, 0.1};
    c.vds = {0.0, 1.0, 0.5};
    const std::vector<Chunk> chunks = chunk_indices(10, 2);
    const std::string dc0 = "dc vds 0.000000e0 1.000000e0 5.000000e-1 vgs 0.000000e0 4.000000e-1 1e-1";
    const std::string dc1 = "dc vds 0.000000e0 1.000000e0 5.000000e-1 vgs 5.000000e-1 9.000000e-1 1e-1";
    EXPECT_EQ(build_all_chunks_commands(c, chunks),
              (std::vector<std::string>{"run", " alter @Vbs[dc] = -5.000000e-1", dc0,
                                        " alter @Vbs[dc] = 0.000000e0", dc1, " alter @Vbs[dc] = -5.000000e-1",
                                        dc1}));
    EXPECT_EQ(build_all_chunks_commands(c, {}), std::vector<std::string>{"run"});

    EXPECT_EQ(build_return_vectors_all(2, 2, "m1", mask_of({"vth"})),
              (std::vector<std::string>{"dc1.vds#branch", "dc1.@m1[vth]", "dc2.vds#branch", "dc2.@m1[vth]",
                                        "dc3.vds#branch", "dc3.@m1[vth]", "dc4.vds#branch", "dc4.@m1[vth]",
                                        "vds#branch"}));
    EXPECT_EQ(build_return_vectors_all(1, 1, "m1", ParamMask{}),
              (std::vector<std::string>{"vds#branch", "vds#branch"}));
    EXPECT_EQ(build_return_vectors(1, "m.x1.m0", mask_of({"cgs", "cgg"})),
              (std::vector<std::string>{"vds#branch", "@m.x1.m0[cgg]", "@m.x1.m0[cgs]", "vds#branch"}));
    EXPECT_EQ(build_return_vectors(0, "m1", mask_of({"cgg"})), std::vector<std::string>{"vds#branch"});
    EXPECT_EQ(build_return_vectors(2, "m1", ParamMask{}),
              (std::vector<std::string>{"dc1.vds#branch", "dc2.vds#branch", "vds#branch"}));
}

// Each row of a shifted sweep starts two Vds steps before its rectangle;
// the shift follows the sweep's own direction along Vgs and Vds, and goes
// towards reverse body bias along Vbs.
TEST(LutNetlists, ShiftedSweepCommandsAndVectors) {
    LutConfig c;
    c.vbs_values = {0.0, -0.5};
    c.vgs = {0.0, 1.0, 0.25};
    c.vds = {0.0, 2.0, 0.5};
    const std::vector<ShiftedSweep> sweeps{{SlopeAxis::Vds, 1, {2, 3}, {1, 4}},
                                           {SlopeAxis::Vgs, 0, {0, 0}, {0, 0}},
                                           {SlopeAxis::Vbs, 1, {4, 4}, {3, 3}}};
    EXPECT_EQ(sweeps[0].points(), 8u);
    EXPECT_EQ(sweeps[0].swept_points(), 12u);
    EXPECT_EQ(build_slope_commands(c, sweeps),
              (std::vector<std::string>{
                  " alter @Vbs[dc] = -5.000000e-1",
                  "dc vds -4.999750e-1 2.000025e0 5.000000e-1 vgs 5.000000e-1 7.500000e-1 2.500000e-1",
                  " alter @Vbs[dc] = 0.000000e0",
                  "dc vds -1.000000e0 0.000000e0 5.000000e-1 vgs 2.500e-5 2.500000e-5 2.500000e-1",
                  " alter @Vbs[dc] = -5.000250e-1",
                  "dc vds 5.000000e-1 1.500000e0 5.000000e-1 vgs 1.000000e0 1.000000e0 2.500000e-1"}));
    EXPECT_EQ(build_slope_return_vectors(2, {channel_beyond("m1", 1.0)}),
              (std::vector<std::string>{"dc1.vds#branch", "dc1.@m1[id]", "dc2.vds#branch", "dc2.@m1[id]",
                                        "vds#branch"}));
    EXPECT_EQ(build_slope_return_vectors(1, {channel_beyond("m.x1.m0", -1.0)}),
              (std::vector<std::string>{"vds#branch", "@m.x1.m0[id]", "vds#branch"}));
    // With series resistances: the currents beyond channel and junction at
    // the drain node, then those at the source node; each vector once.
    const std::vector<BeyondTerms> rest{{false, {{"@m1[isub]", 1.0}, {"@m1[igcd]", -1.0}}, std::nullopt},
                                        {false, {{"@m1[igcs]", 1.0}, {"@m1[isub]", 2.0}}, std::nullopt}};
    EXPECT_EQ(build_slope_return_vectors(1, rest),
              (std::vector<std::string>{"vds#branch", "@m1[isub]", "@m1[igcd]", "@m1[igcs]", "vds#branch"}));
    EXPECT_NE(build_slope_netlist(c, rest, 1e-6, 5e-7)
                  .find("\n* operating-point parameters\n.save vds#branch\n.save @m1[isub]\n.save @m1[igcd]\n"
                        ".save @m1[igcs]\n\n"),
              std::string::npos);
    const std::string netlist = build_slope_netlist(c, {channel_beyond("m1", 1.0)}, 1e-6, 5e-7);
    EXPECT_NE(netlist.find("\n* operating-point parameters\n.save vds#branch\n.save @m1[id]\n\n* sweep\n"),
              std::string::npos)
        << netlist;
    EXPECT_TRUE(netlist.starts_with("nmos characterisation W=1.000e-6 L=5.000e-7\n")) << netlist;
    EXPECT_NE(netlist.find("\nVbs bulk  source dc 0.000e0\n"), std::string::npos);

    c.device_type = DeviceType::Pmos;
    c.vgs = {0.0, -1.0, -0.25};
    c.vds = {0.0, -2.0, -0.5};
    EXPECT_EQ(slope_shift(c, SlopeAxis::Vds), -kSlopeShift);
    EXPECT_EQ(slope_shift(c, SlopeAxis::Vgs), -kSlopeShift);
    EXPECT_EQ(slope_shift(c, SlopeAxis::Vbs), kSlopeShift);
    c.vbs_values = {0.0, 0.5};
    EXPECT_EQ(build_slope_commands(c, sweeps),
              (std::vector<std::string>{
                  " alter @Vbs[dc] = 5.000000e-1",
                  "dc vds 4.999750e-1 -2.000025e0 -5.000000e-1 vgs -5.000000e-1 -7.500000e-1 -2.500000e-1",
                  " alter @Vbs[dc] = 0.000000e0",
                  "dc vds 1.000000e0 0.000000e0 -5.000000e-1 vgs -2.500e-5 -2.500000e-5 -2.500000e-1",
                  " alter @Vbs[dc] = 5.000250e-1",
                  "dc vds -5.000000e-1 -1.500000e0 -5.000000e-1 vgs -1.000000e0 -1.000000e0 -2.500000e-1"}));
}

TEST(LutNetlists, ChunkSplits) {
    EXPECT_EQ(chunk_indices(10, 4), (std::vector<Chunk>{{0, 2}, {3, 5}, {6, 8}, {9, 9}}));
    EXPECT_EQ(chunk_indices(10, 6), (std::vector<Chunk>{{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}}));
    EXPECT_EQ(chunk_indices(3, 5), (std::vector<Chunk>{{0, 0}, {1, 1}, {2, 2}}));
    EXPECT_EQ(chunk_indices(5, 1), (std::vector<Chunk>{{0, 4}}));
    EXPECT_TRUE(chunk_indices(0, 3).empty());
    EXPECT_TRUE(chunk_indices(5, 0).empty());
}

// ---- listing scan and vector lookup ------------------------------------------

TEST(LutNetlists, DevicePathFromListing) {
    EXPECT_EQ(extract_mosfet_name({"stdout 12 : vgs gate source dc 0",
                                   "stdout 7 : M.X1.MN0 drain gate source bulk nch l=1e-7"}),
              "M.X1.MN0");
    EXPECT_EQ(extract_mosfet_name({"stderr 3 :  m1 d g s b nch"}), "m1");
    EXPECT_EQ(extract_mosfet_name({"stdout 3 : m d g s b", "stdout 4 : mos1 d g s b", "stdout 5 : m. x"}),
              std::nullopt);
    EXPECT_EQ(extract_mosfet_name({"no separator m1 here", "stdout 2 : \u3000m7\u00a0d"}), "m7");
    EXPECT_EQ(extract_mosfet_name({}), std::nullopt);
}

// The transistor's own drain and source nodes where its subcircuit puts
// elements between them and the bench's terminals, and whether it holds
// elements beside the transistor that can carry current in DC.
TEST(LutNetlists, WrapperNodesFromListing) {
    const std::vector<std::string> log{"stdout 18 : m.x1.m0 X1.Dint gate x1.sint bulk nch w= 1e-06 l= 1e-06",
                                       "stdout 19 : r.x1.rd drain x1.dint 200",
                                       "stdout 20 : m.x1.m1 x1.a gate x1.b bulk nch"};
    EXPECT_EQ(wrapper_nodes(log, "m.x1.m0"), (WrapperNodes{"x1.dint", "x1.sint", true}));
    EXPECT_EQ(wrapper_nodes(log, "M.X1.M1"), (WrapperNodes{"x1.a", "x1.b", true}));
    // The terminals themselves; a capacitor, the bench's own lines and cards
    // are nothing beside; a diode is.
    const std::vector<std::string> alone{"stdout 5 : .model x1:nch nmos level=54", "stdout 7 : m.x1.m0 drain gate "
                                         "SOURCE bulk nch", "stdout 8 : c.x1.c1 drain bulk 1f",
                                         "stdout 9 : vds drain source dc 0"};
    EXPECT_EQ(wrapper_nodes(alone, "m.x1.m0"), WrapperNodes{});
    std::vector<std::string> diode = alone;
    diode.emplace_back("stdout 10 : d.x1.d1 bulk drain dj");
    EXPECT_EQ(wrapper_nodes(diode, "m.x1.m0"), (WrapperNodes{"", "", true}));
    EXPECT_EQ(wrapper_nodes({"stdout 7 : m.x1.m0 x1.d gate source bulk nch"}, "m.x1.m0"),
              (WrapperNodes{"x1.d", "", false}));
    // A line cut short, a device the listing lacks: nothing known.
    EXPECT_EQ(wrapper_nodes({"stdout 7 : m.x1.m0 x1.d gate"}, "m.x1.m0"), WrapperNodes{});
    EXPECT_EQ(wrapper_nodes(log, "m.x1.m9"), WrapperNodes{});
    EXPECT_EQ(wrapper_nodes({"r.x1.rd drain x1.dint 200"}, "r.x1.rd"), WrapperNodes{});
}

TEST(LutNetlists, VectorLookupIgnoresAsciiCaseOnly) {
    std::vector<VectorData> v(3);
    v[0].name = "v(out)";
    v[1].name = "DC2.VDS#BRANCH";
    v[2].name = "dc2.vds#branch";
    EXPECT_EQ(find_vector(v, "dc2.vds#branch"), &v[1]);
    EXPECT_EQ(find_vector(v, "out"), nullptr);
    EXPECT_EQ(find_vector(v, "dc2.vds#branc"), nullptr);
}

// ---- extraction ----------------------------------------------------------------

namespace {

VectorData vec(std::string name, std::vector<double> values) {
    VectorData v;
    v.name = std::move(name);
    v.real = std::move(values);
    return v;
}

}  // namespace

TEST(LutExtract, DrainBranchIsNegatedAndLookedUpWithFallback) {
    SimulationResponse r;
    r.success = true;
    r.vectors = {vec("VDS#BRANCH", {1e-6, -0.0, 2.0, -3.0})};
    auto data = extract_chunk_for_prefix(r, "dc7.", 2, 2, "m1", ParamMask{});
    ASSERT_TRUE(data);
    EXPECT_EQ(data->id, (std::vector<double>{-1e-6, 0.0, -2.0, 3.0}));
    EXPECT_FALSE(std::signbit(data->id[1]));
    for (const auto& op : data->ops) EXPECT_TRUE(op.empty());
}

TEST(LutExtract, ErrorsNameWhatIsMissing) {
    SimulationResponse r;
    r.vectors = {vec("dc1.vds#branch", {1, 2}), vec("v-sweep", {0, 1})};
    auto missing = extract_chunk_for_prefix(r, "dc2.", 1, 2, "m1", ParamMask{});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text(),
              "simulation failed: 'dc2.vds#branch' not found; available: [\"dc1.vds#branch\", \"v-sweep\"]");
    r.vectors.push_back(vec("dc2.vds#branch", {1, 2, 3}));
    EXPECT_EQ(extract_chunk_for_prefix(r, "dc2.", 1, 3, "m1", ParamMask{})->id,
              (std::vector<double>{-1, -2, -3}));

    SimulationResponse short_branch;
    short_branch.vectors = {vec("vds#branch", {1, 2, 3, 4, 5})};
    auto wrong = extract_chunk_for_prefix(short_branch, "", 3, 2, "m1", ParamMask{});
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().detail, "expected 6 points (3×2), got 5 (prefix='' vds#branch)");

    EXPECT_EQ(extract_chunk_for_prefix(SimulationResponse{}, "", 1, 1, "m1", ParamMask{}).error().detail,
              "'vds#branch' not found; available: []");
}

TEST(LutExtract, MissingOrShortParameterVectorsGiveNaNRows) {
    SimulationResponse r;
    r.vectors = {vec("dc1.vds#branch", {1, 2}), vec("dc1.@m1[vth]", {0.4, 0.5}), vec("dc1.@m1[vdsat]", {0.1}),
                 vec("@m1[cgg]", {7, 8})};
    auto data = extract_chunk_for_prefix(r, "dc1.", 1, 2, "m1", mask_of({"cgg", "vth", "vdsat", "gmbs"}));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->ops[*op_param_index("vth")], (std::vector<double>{0.4, 0.5}));
    EXPECT_EQ(data->ops[*op_param_index("cgg")], (std::vector<double>{7, 8}));  // the bare name
    for (const char* nan_param : {"vdsat", "gmbs"}) {
        const auto& rows = data->ops[*op_param_index(nan_param)];
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_TRUE(std::isnan(rows[0]) && std::isnan(rows[1]));
    }
    EXPECT_TRUE(data->ops[*op_param_index("cgs")].empty());
}

TEST(LutExtract, PlotsAreReadChunkMajor) {
    SimulationResponse r;
    for (int p = 1; p <= 4; ++p) {
        const double x = p;
        r.vectors.push_back(vec(fmt::cat("dc", p, ".vds#branch"), std::vector<double>(p <= 2 ? 2 : 4, x)));
    }
    auto all = extract_all_chunks_vbs(r, 2, 2, {1, 2}, 2, "m1", ParamMask{});
    ASSERT_TRUE(all);
    EXPECT_EQ((*all)[0][0].id, (std::vector<double>{-1, -1}));
    EXPECT_EQ((*all)[0][1].id, (std::vector<double>{-2, -2}));
    EXPECT_EQ((*all)[1][1].id, (std::vector<double>(4, -4.0)));
    EXPECT_FALSE(extract_all_chunks_vbs(r, 2, 2, {2, 2}, 2, "m1", ParamMask{}));

    auto per_vbs = extract_all_vbs(r, 2, 1, 2, "m1", ParamMask{});
    ASSERT_TRUE(per_vbs);
    EXPECT_EQ((*per_vbs)[1].id, (std::vector<double>{-2, -2}));
    EXPECT_TRUE(extract_all_vbs(r, 0, 1, 2, "m1", ParamMask{})->empty());

    SimulationResponse single;
    single.vectors = {vec("vds#branch", {5})};
    ASSERT_TRUE(extract_all_chunks_vbs(single, 1, 1, {1}, 1, "m1", ParamMask{}));
}

// The sweeps of what a subcircuit wrapper alone carries at the drain: the
// device off and the solver tightened, then per Vbs value the grid shifted
// both ways along the axes asked for, whose central differences are the
// slopes.
TEST(LutNetlists, WrapperSweepsAndTheirSlopes) {
    LutConfig c;
    c.vbs_values = {0.0, -0.5};
    c.vgs = {0.0, 1.0, 0.5};
    c.vds = {0.0, 0.5, 0.5};
    EXPECT_EQ(device_off_command("m.x1.m0"), " alter @m.x1.m0[m] = 1e-20");
    const std::vector<std::string> commands = build_wrapper_commands(c, "m.x1.m0", {true, true, true});
    ASSERT_EQ(commands.size(), 2u + 2 * 9);
    EXPECT_EQ(commands[0], " alter @m.x1.m0[m] = 1e-20");
    EXPECT_EQ(commands[1], "option reltol=1e-10 abstol=1e-14");
    EXPECT_EQ(commands[2], " alter @Vbs[dc] = 0.000000e0");
    EXPECT_EQ(commands[3],
              "dc vds 0.000000e0 5.000000e-1 5.000000e-1 vgs 2.000000e-4 1.000200e0 5.000000e-1");
    EXPECT_EQ(commands[4],
              "dc vds 0.000000e0 5.000000e-1 5.000000e-1 vgs -2.000000e-4 9.998000e-1 5.000000e-1");
    EXPECT_EQ(commands[5],
              "dc vds 2.000000e-4 5.002000e-1 5.000000e-1 vgs 0.000000e0 1.000000e0 5.000000e-1");
    EXPECT_EQ(commands[6],
              "dc vds -2.000000e-4 4.998000e-1 5.000000e-1 vgs 0.000000e0 1.000000e0 5.000000e-1");
    EXPECT_EQ(commands[7], " alter @Vbs[dc] = 2.000000e-4");
    EXPECT_EQ(commands[9], " alter @Vbs[dc] = -2.000000e-4");
    EXPECT_EQ(commands[11], " alter @Vbs[dc] = -5.000000e-1");
    // Along Vds alone: one alter and two sweeps per Vbs value.
    const std::vector<std::string> vds_only = build_wrapper_commands(c, "m1", {false, true, false});
    EXPECT_EQ(vds_only, (std::vector<std::string>{
                            " alter @m1[m] = 1e-20", commands[1], " alter @Vbs[dc] = 0.000000e0", commands[5],
                            commands[6], " alter @Vbs[dc] = -5.000000e-1", commands[5], commands[6]}));
    // The terminal current's own: the same sweeps with the device as it is.
    EXPECT_EQ(build_terminal_commands(c, {true, true, true}),
              std::vector<std::string>(commands.begin() + 1, commands.end()));
    EXPECT_NE(build_wrapper_probe_netlist(c).find("\n.save vds#branch \n"), std::string::npos);

    // One Vbs value, Vgs and Vds swept, two points: Id = -vds#branch, its slopes over 2 * kWrapperShift.
    SimulationResponse r;
    const double h = 2 * kWrapperShift;
    r.vectors = {vec("dc1.vds#branch", {-1.0, -2.0}), vec("dc2.vds#branch", {-1.0 + h, -2.0}),
                 vec("dc3.vds#branch", {0.0, 0.0}), vec("dc4.vds#branch", {2 * h, -h}),
                 vec("vds#branch", {2 * h, -h})};
    const auto slopes = extract_wrapper_slopes(r, 1, {true, true, false}, 2);
    ASSERT_TRUE(slopes);
    ASSERT_EQ(slopes->size(), 8u);
    const std::vector<double> expected{1.0 - h / 2, 2.0, 1.0, 0.0, 2.0, -1.0, 0.0, 0.0};
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_NEAR((*slopes)[k], expected[k], 1e-9) << k;
    // Vds alone: the current between its shifts, no slope along Vgs.
    const auto vds_slopes = extract_wrapper_slopes(r, 1, {false, true, false}, 2);
    ASSERT_TRUE(vds_slopes);
    const std::vector<double> vds_expected{1.0 - h / 2, 2.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0};
    ASSERT_EQ(vds_slopes->size(), vds_expected.size());
    for (std::size_t k = 0; k < vds_expected.size(); ++k)
        EXPECT_NEAR((*vds_slopes)[k], vds_expected[k], 1e-9) << k;
    // A plot missing (never the bare last one in its place) or of other than the grid's points.
    EXPECT_FALSE(extract_wrapper_slopes(r, 1, {true, true, true}, 2));
    EXPECT_FALSE(extract_wrapper_slopes(r, 1, {true, true, false}, 3));
    EXPECT_FALSE(extract_wrapper_slopes(r, 1, {false, false, false}, 2));
    r.vectors.erase(r.vectors.begin() + 3);
    EXPECT_FALSE(extract_wrapper_slopes(r, 1, {true, true, false}, 2));
}

// Reverse terms: where the swept drain lies below the source (in the
// n-channel frame) the part sums its reverse terms, and the sweep saves the
// node voltages that say so.
TEST(LutExtract, ShiftedSweepsTakeTheReverseTermsWhereTheChannelTurns) {
    const std::vector<BeyondTerms> rest{channel_beyond("m1", 1.0, true)};
    EXPECT_EQ(build_slope_return_vectors(1, rest),
              (std::vector<std::string>{"vds#branch", "@m1[id]", "drain", "source", "vds#branch"}));
    const std::vector<ShiftedSweep> sweeps{{SlopeAxis::Vds, 0, {0, 0}, {2, 5}}};
    SimulationResponse r;
    r.vectors = {vec("vds#branch", {0, 0, 3, 1, -1, -3}), vec("@m1[id]", {0, 0, 2, 1, 1, 2}),
                 vec("drain", {-2, -1, -0.5, 0, 0.5, 1}), vec("source", {0, 0, 0, 0, 0, 0})};
    // Id = -vds#branch less the channel's -id below 0 V, less id from 0 V up.
    EXPECT_EQ(*extract_beyond(r, sweeps, rest), (std::vector<std::vector<double>>{{-1, -2, 0, 1}}));
    // A pmos reads its voltages turned, and its channel current: in reverse above 0 V.
    const std::vector<BeyondTerms> p{channel_beyond("m1", -1.0, true)};
    EXPECT_EQ(*extract_beyond(r, sweeps, p), (std::vector<std::vector<double>>{{-1, 0, 0, 1}}));
    r.vectors.pop_back();
    EXPECT_FALSE(extract_beyond(r, sweeps, rest));
}

// What the drain carries beyond the channel in each plot of shifted
// sweeps: Id less the channel current (n-channel frame), lead-in dropped.
TEST(LutExtract, ShiftedSweepsDropTheirLeadIn) {
    const std::vector<ShiftedSweep> sweeps{{SlopeAxis::Vds, 0, {0, 1}, {5, 5}},
                                           {SlopeAxis::Vgs, 0, {2, 2}, {0, 1}}};
    SimulationResponse r;
    r.vectors = {vec("dc1.vds#branch", {9, 9, -3, 9, 9, -4}), vec("dc1.@m1[id]", {0, 0, 1, 0, 0, 2}),
                 vec("dc2.vds#branch", {9, 9, -5, -6}), vec("dc2.@m1[id]", {0, 0, 4, 4})};
    auto beyond = extract_beyond(r, sweeps, {channel_beyond("m1", 1.0)});
    ASSERT_TRUE(beyond);
    EXPECT_EQ(*beyond, (std::vector<std::vector<double>>{{2, 2}, {1, 2}}));
    EXPECT_EQ((*extract_beyond(r, sweeps, {channel_beyond("m1", -1.0)}))[0], (std::vector<double>{4, 6}));
    // Series resistances: only the currents named, each with its sign; the
    // parts one after the other.
    const std::vector<BeyondTerms> rest{{false, {{"@m1[id]", -2.0}}, std::nullopt}, {true, {}, std::nullopt}};
    EXPECT_EQ((*extract_beyond(r, sweeps, rest))[1], (std::vector<double>{-8, -8, 5, 6}));
    r.vectors[3].real.pop_back();
    EXPECT_FALSE(extract_beyond(r, sweeps, {channel_beyond("m1", 1.0)}));
    EXPECT_FALSE(extract_beyond(r, sweeps, rest));
    SimulationResponse one;
    one.vectors = {vec("vds#branch", {0, 0, -1}), vec("@m1[id]", {0, 0, 0.25})};
    const std::vector<ShiftedSweep> vbs_sweep{{SlopeAxis::Vbs, 0, {0, 0}, {3, 3}}};
    EXPECT_EQ(*extract_beyond(one, vbs_sweep, {channel_beyond("m1", 1.0)}),
              (std::vector<std::vector<double>>{{0.75}}));
    // A vector the response lacks.
    EXPECT_FALSE(extract_beyond(one, vbs_sweep, {BeyondTerms{false, {{"@m1[isub]", 1.0}}, std::nullopt}}));
}

TEST(LutExtract, AlterFailureClassification) {
    SimulationResponse r;
    EXPECT_FALSE(is_alter_failure(r));
    r.error = "stderr Error: UNKNOWN parameter";
    EXPECT_TRUE(is_alter_failure(r));
    r.error = "stderr Error: RHS \"x\" invalid";
    EXPECT_FALSE(is_alter_failure(r));
    r.log = {"stderr Fatal error: DC Transfer Function failed", "stderr vds is not in the circuit"};
    EXPECT_FALSE(is_alter_failure(r));  // the phrase must share a line with "fatal error"
    r.log = {"stderr FATAL ERROR: source named \"Vds\" is NOT IN THE CIRCUIT"};
    EXPECT_TRUE(is_alter_failure(r));
    r.log = {"stderr fatal error: something else"};
    EXPECT_FALSE(is_alter_failure(r));
}

// ---- timing report ---------------------------------------------------------------

TEST(LutReport, TwentyThreeLinesWithZeroesWhenNothingRan) {
    PhaseTimes p;
    p.n_w = 2;
    p.n_l = 3;
    p.n_vbs = 1;
    const std::string text = timing_report(p, {});
    std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.back(), "");
    lines.pop_back();
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_EQ(lines[0],
              "  ─────────── LUT timing breakdown (wall: 0.0 ms, 6 tasks × 1 workers, 2 W × 3 L × 1 Vbs) "
              "───────────");
    EXPECT_TRUE(lines[1].starts_with("    ▸ ") && lines[1].ends_with(" (serial)"));
    EXPECT_EQ(lines[2], "        probe op params                0.0 ms  (  0.0%)");
    EXPECT_EQ(lines[8],
              "        ngSpice_Command(\"run\")          0.0 ms  (par ≈      0.0 ms)  ← actual DC solve");
    EXPECT_EQ(lines[21], "    Parallelism efficiency:   0.0%   (higher = workers busy, lower = IPC-bound)");
    EXPECT_EQ(count_of(lines[22], "─"), 70u);
    EXPECT_EQ(count_of(lines[0], "─"), 22u);
}

TEST(LutReport, ParallelFiguresAreIntegerShares) {
    ChunkResult a, b;
    a.timing.build_ns = 3'000'003;
    a.timing.request_ns = 10'000'000;
    a.timing.worker.circ_ns = 4'000'001;
    a.timing.worker.cmd_ns = 8'000'000;
    a.timing.worker.fs_write_ns = 1'500'000;
    b.timing.worker.cmd_ns = 4'000'000;
    b.timing.worker.parse_ns = 2'000'000;
    PhaseTimes p;
    p.wall = 10'000'000;
    p.probe = 2'500'000;
    p.assemble = 400'000;
    p.diff = 300'000;
    p.n_w = p.n_l = 2;
    p.n_vbs = 2;
    p.n_workers = 4;
    const std::vector<std::string> lines = lines_of(timing_report(p, {a, b}));
    EXPECT_EQ(lines[0],
              "  ─────────── LUT timing breakdown (wall: 10.0 ms, 4 tasks × 4 workers, 2 W × 2 L × 2 Vbs) "
              "───────────");
    EXPECT_EQ(lines[2], "        probe op params                2.5 ms  ( 25.0%)");
    EXPECT_EQ(lines[3], "        build netlists (Σ)             3.0 ms  ( 30.0%)   parallel cost ≈ 0.8 ms");
    EXPECT_EQ(lines[6], "    ▸ Inside ngspice / worker (Σ across 4 tasks, parallel ≈ ÷4)");
    EXPECT_EQ(lines[7],
              "        ngSpice_Circ  (model+parse)       4.0 ms  (par ≈      1.0 ms)  ← BSIM card load");
    EXPECT_EQ(lines[8],
              "        ngSpice_Command(\"run\")         12.0 ms  (par ≈      3.0 ms)  ← actual DC solve");
    EXPECT_EQ(lines[12], "        fs temp-netlist write            1.5 ms");
    EXPECT_EQ(lines[14], "        json request parse               2.0 ms");
    // Worker sum 18 ms (fs writes excluded) exceeds the 10 ms of round trips.
    EXPECT_EQ(lines[18], "        Σ worker wall-time              18.0 ms  (par ≈      4.5 ms)");
    EXPECT_EQ(lines[19], "        IPC residual (roundtrip − worker)        0.0 ms");
    // The wall is the whole call: what the other lines leave of it, 10 - 2.5
    // (probe) - 0.3 (gm/gds) - 18.000001/4 - 3.000003/4 - 0.4/4 (assembly in
    // the tasks) in whole nanoseconds: 1.85 ms.
    EXPECT_EQ(lines[4], "        assemble grid                  0.4 ms  (  4.0%)");
    EXPECT_EQ(lines[5], "        differentiate gm/gds           0.3 ms  (  3.0%)");
    EXPECT_EQ(lines[20],
              "    ▸ Unattributed wall time             1.9 ms  ( 18.5%)  ← scheduling + decoding + gaps "
              "between tasks");
    EXPECT_EQ(lines[21], "    Parallelism efficiency:  45.0%   (higher = workers busy, lower = IPC-bound)");
}
