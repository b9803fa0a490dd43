// Native characterisation: the table against the evaluator called point by
// point on the card each (W, L) pair must select, the failure table's lines
// and outcomes, and parallel runs against a serial one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bsim4/native.h"
#include "bsim4/solver.h"
#include "lut/generate_native.h"
#include "spice/model_parser.h"
#include "test_bsim4_support.h"

using namespace morva;
using namespace morva::lut;
using morva::bsim4::native::Bsim4Model;
using morva::bsim4::native::UniqueInstance;
namespace parser = morva::spice::model_parser;

namespace {

constexpr const char* kCards = R"(* BSIM4 cards for the native path
.model nch nmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.035 ua=-1e-9 ub=2.3e-18 uc=5e-11
+ vsat=8.5e4 rdsw=150 nfactor=1.2 pclm=1.3 VTH0=0.43
.model pch pmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=-0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.009 ua=1e-9 ub=1e-18 uc=-5e-11
+ vsat=7.5e4 rdsw=400 nfactor=1.2 pclm=1.0
.model nres nmos level=54 version=4.8 rdsmod=1 rdswmin=100 rdw=200 rsw=200 vth0=0.4 u0=0.03
.subckt nfet d g s b w=1e-6 l=1e-6 sa=2e-6 sb=2e-6 nrd=2 nrs=2 delvto=0.05
m0 d g s b nch w={w} l={l} sa={sa} sb={sb} nrd={nrd} nrs={nrs} delvto={delvto}
.ends nfet
.lib corner
.model bn.1 nmos level=54 lmin=1e-7 lmax=3e-7 wmin=1e-7 wmax=2e-6 vth0=0.30 u0=0.03
.model bn.2 nmos level=54 lmin=1e-7 lmax=3e-7 wmin=2e-6 wmax=1e-4 vth0=0.35 u0=0.03
.model bn.3 nmos level=54 lmin=3e-7 lmax=1e-5 vth0=0.50 u0=0.03
.model bn.4 nmos level=54 lmin=1e-7 lmax=3e-7 wmin=1e-7 wmax=2e-6 toxe=-1
.endl corner
)";

// Collects what a generation writes, line by line.
class Lines final : public generate_ngspice::Messages {
public:
    void out(const std::string& line) override { add(out_text, line); }
    void err(const std::string& line) override { add(err_text, line); }
    std::string out_text, err_text;

private:
    void add(std::string& to, const std::string& line) {
        std::lock_guard lock(mutex_);
        to += line;
    }
    std::mutex mutex_;
};

class NativeLut : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        cards = (dir.path / "cards.lib").string();
        std::ofstream(cards) << kCards;
    }

    LutConfig config(std::string model = "nch") const {
        LutConfig c;
        c.model_file = cards;
        c.model_name = std::move(model);
        c.widths = {1e-6, 2e-6};
        c.lengths = {1.8e-7, 5e-7};
        c.vbs_values = {-0.5, 0.0};
        c.vgs = {0.0, 1.5, 0.1};
        c.vds = {0.0, 1.5, 0.1};
        c.op_params = {"VTH", "gmbs"};
        c.use_native_bsim4 = true;
        return c;
    }

    TransistorLut run(const LutConfig& c, Lines& lines, std::size_t threads = 512) const {
        NativeOutcome outcome = generate_lut_native(c, lines, threads);
        if (!outcome) {
            ADD_FAILURE() << "no outcome: " << lines.err_text;
            return {};
        }
        if (!*outcome) {
            ADD_FAILURE() << outcome->error().text();
            return {};
        }
        return std::move(*outcome).value();
    }

    bsim4_test::TempDir dir;
    std::string cards;
};

// The card of `name` in the test library, for point-by-point references.
parser::Bsim4ModelCard card_named(const std::string& file, const std::string& name) {
    auto cards = parser::parse_lib_file(file);
    for (const auto& c : cards.value())
        if (c.name == name) return c;
    ADD_FAILURE() << "no card " << name;
    return {};
}

// Every point of the table at (wi, li) against the evaluator's drain terminal
// current and slopes on `card`, in the pool path's signs; bit for bit, since
// the same calls run. With `substituted`, the instance's W and L are those a
// subcircuit's device line gets from w={W} l={L}.
void expect_points_from(const TransistorLut& t, std::size_t wi, std::size_t li,
                        const parser::Bsim4ModelCard& card, const parser::ParamList& inst = {},
                        bool with_inst = false, bool substituted = false) {
    const double s = card.model_type == "pmos" ? -1.0 : 1.0;
    auto model = Bsim4Model::from_params(card.model_type, card.params);
    ASSERT_TRUE(model);
    const auto size = [&](double v) { return substituted ? parser::substituted_value(v) : v; };
    const double w = size(t.widths[wi]), l = size(t.lengths[li]);
    UniqueInstance instance(with_inst ? model->instance_with_params(inst, w, l)
                                      : bsim4_instance_create(model->handle(), 1, w, l));
    ASSERT_TRUE(instance);
    const Grid5* vth = t.op_grid("vth");
    const Grid5* gmbs = t.op_grid("gmbs");
    for (std::size_t b = 0; b < t.vbs_values.size(); ++b)
        for (std::size_t g = 0; g < t.vgs.size(); ++g)
            for (std::size_t d = 0; d < t.vds.size(); ++d) {
                Bsim4DcResults r{};
                Bsim4TerminalResults term{};
                ASSERT_EQ(bsim4_eval_dc_terminal(instance.get(), &r, &term, s * t.vgs[g], s * t.vds[d],
                                                 s * t.vbs_values[b], 300.15),
                          0);
                ASSERT_EQ(t.id.at(wi, b, li, g, d), term.id) << card.name << " " << b << " " << g << " " << d;
                ASSERT_EQ(t.gm.at(wi, b, li, g, d), term.gm);
                ASSERT_EQ(t.gds.at(wi, b, li, g, d), term.gds);
                if (vth->dims[3]) {
                    ASSERT_EQ(vth->at(wi, b, li, g, d), s * r.vth);
                }
                if (gmbs->dims[3]) {
                    ASSERT_EQ(gmbs->at(wi, b, li, g, d), term.gmbs);
                }
            }
}

bool same_bits(const Grid5& a, const Grid5& b) {
    return a.dims == b.dims && a.data.size() == b.data.size() &&
           (a.data.empty() || std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0);
}

}  // namespace

TEST_F(NativeLut, TableHoldsTheEvaluatorsTerminalCurrentAndSlopes) {
    Lines lines;
    LutConfig c = config();
    c.op_params = {"VTH", "cgg", "gmbs", "bogus"};
    const TransistorLut t = run(c, lines);
    ASSERT_EQ(t.shape(), (std::array<std::size_t, 5>{2, 2, 2, 16, 16}));
    EXPECT_EQ(t.extracted_op_params, (std::vector<std::string>{"gmbs", "vth"}));
    EXPECT_FALSE(t.invariant_violation()) << *t.invariant_violation();
    EXPECT_EQ(t.op_grid("cgg")->dims, (std::array<std::size_t, 5>{2, 2, 2, 0, 0}));
    EXPECT_EQ(t.op_grid("vdsat")->dims, (std::array<std::size_t, 5>{2, 2, 2, 0, 0}));
    const parser::Bsim4ModelCard nch = card_named(cards, "nch");
    for (std::size_t wi = 0; wi < 2; ++wi)
        for (std::size_t li = 0; li < 2; ++li) expect_points_from(t, wi, li, nch);
    // The all-zero bias point carries no current.
    EXPECT_EQ(t.id.at(0, 1, 0, 0, 0), 0.0);
    EXPECT_GT(t.id.at(0, 1, 0, 15, 15), 1e-4);

    // The progress lines, the pmos table, the fallbacks and the failure of an
    // item are checked from Python against the pool path (test_native_lut.py).
    EXPECT_EQ(
        lines.err_text,
        "  warning: the native evaluator cannot compute OP parameter(s) 'cgg', 'bogus' — absent from the "
        "LUT (computed: gmbs, vth, vdsat)\n");
}

TEST_F(NativeLut, ParallelItemsGiveTheSerialTable) {
    LutConfig c = config();
    c.widths = {0.5e-6, 1e-6, 2e-6, 4e-6};
    c.lengths = {1.8e-7, 2.5e-7, 5e-7, 1e-6};
    c.op_params = {"gmbs", "vth", "vdsat"};
    Lines serial_lines, parallel_lines;
    const TransistorLut serial = run(c, serial_lines, 1);
    const TransistorLut parallel = run(c, parallel_lines);
    for (std::size_t k = 0; k < kGridCount; ++k)
        EXPECT_TRUE(same_bits(serial.grid(k), parallel.grid(k))) << k;
    EXPECT_EQ(serial.extracted_op_params, (std::vector<std::string>{"gmbs", "vth", "vdsat"}));

    // One pair, long Vgs rows: split per Vbs value and block of rows over
    // the cores, with the grid evaluator and with the DC solver.
    c.widths = {1e-6};
    c.lengths = {1.8e-7};
    c.vgs = {0.0, 1.5, 0.002};
    for (bool solver : {false, true}) {
        c.use_dc_solver = solver;
        Lines one_lines, split_lines;
        const TransistorLut one = run(c, one_lines, 1);
        const TransistorLut split = run(c, split_lines);
        for (std::size_t k = 0; k < kGridCount; ++k)
            EXPECT_TRUE(same_bits(one.grid(k), split.grid(k))) << k << solver;
    }
}

TEST_F(NativeLut, CardPerLengthAndWidth) {
    LutConfig c = config("bn");
    c.model_section = "CORNER";
    c.widths = {1e-6, 5e-6};
    c.lengths = {2e-7, 1e-6};
    c.vbs_values = {0.0};
    Lines lines;
    const TransistorLut t = run(c, lines);
    EXPECT_EQ(lines.err_text, "  [native] parsing section 'CORNER' from " + cards + "\n");
    EXPECT_NE(lines.out_text.find("  bins: [bn.1, bn.2, bn.3])\n"), std::string::npos) << lines.out_text;
    expect_points_from(t, 0, 0, card_named(cards, "bn.1"));
    expect_points_from(t, 1, 0, card_named(cards, "bn.2"));
    expect_points_from(t, 0, 1, card_named(cards, "bn.3"));
    expect_points_from(t, 1, 1, card_named(cards, "bn.3"));
}

TEST_F(NativeLut, CardChoiceRefusesWhatNgspiceRefuses) {
    // Nothing: the pool path reports the name; an error: refused outright.
    struct Case {
        const char* model;
        DeviceType type;
        double w, l;
        const char* error;  // "": no outcome
    };
    const Case cases[] = {
        {"other", DeviceType::Nmos, 1e-6, 1e-6, ""},
        {"nch", DeviceType::Pmos, 1e-6, 1e-6, "model 'nch' is nmos (card 'nch'), not pmos"},
        {"bn", DeviceType::Nmos, 1e-6, 2e-5,
         "no bin of model 'bn' in 'CARDS' holds W = 1e-6 m, L = 2e-5 m; its bins (L and W in m): bn.1 L "
         "1e-7..3e-7 W 1e-7..2e-6; bn.2 L 1e-7..3e-7 W 2e-6..1e-4; bn.3 L 3e-7..1e-5 W none..none; bn.4 L "
         "1e-7..3e-7 W 1e-7..2e-6"},
    };
    for (const Case& k : cases) {
        LutConfig c = config(k.model);
        if (std::string_view(k.model) == "bn") c.model_section = "corner";
        c.device_type = k.type;
        c.widths = {k.w};
        c.lengths = {k.l};
        Lines lines;
        NativeOutcome outcome = generate_lut_native(c, lines, 4);
        if (*k.error == '\0') {
            EXPECT_FALSE(outcome) << k.model;
            EXPECT_NE(lines.err_text.find("model 'other' not found in '" + cards + "'"), std::string::npos);
        } else {
            ASSERT_TRUE(outcome && !*outcome) << k.model;
            std::string error = k.error;
            if (const std::size_t at = error.find("CARDS"); at != std::string::npos)
                error.replace(at, 5, cards);
            EXPECT_EQ(outcome->error().detail, error);
        }
    }
}

TEST_F(NativeLut, KitComingBackToItselfIsRefusedNotPassedOn) {
    // ngspice would loop on it: no fallback to the pool path.
    const std::string kit = (dir.path / "self.lib").string();
    std::ofstream(kit) << ".lib tt\n.model nch nmos level=54\n.lib 'self.lib' tt\n.endl tt\n";
    LutConfig c = config();
    c.model_file = kit;
    c.model_section = "tt";
    Lines lines;
    NativeOutcome outcome = generate_lut_native(c, lines, 4);
    ASSERT_TRUE(outcome && !*outcome);
    EXPECT_TRUE(outcome->error().refused_input);
    EXPECT_EQ(outcome->error().detail,
              "cycle detected while reading model file: revisited section 'tt' in " + kit);
    EXPECT_EQ(lines.out_text, "");
}

TEST_F(NativeLut, DumpOfTheFirstBin) {
    LutConfig c = config("bn");
    c.model_section = "corner";
    c.widths = {1e-6};
    c.lengths = {1e-6, 2e-7};
    setenv("MORVA_DUMP_NATIVE_PARAMS", "1", 1);
    Lines lines;
    (void)run(c, lines);
    unsetenv("MORVA_DUMP_NATIVE_PARAMS");
    const std::string dump = lines.err_text.substr(lines.err_text.find('\n') + 1);
    EXPECT_TRUE(
        dump.starts_with("  [native] === Parameters for bin 'bn.3' ===\n"
                         "    vth0       = 5.000000e-1\n"
                         "    nfactor    = (default)\n"))
        << dump;
    EXPECT_NE(dump.find("\n    u0         = 3.000000e-2\n"), std::string::npos);
    EXPECT_NE(dump.find("\n    rbodymod   = (default)\n"), std::string::npos);
    EXPECT_TRUE(dump.ends_with("  [native] === End parameters ===\n"));
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 31);
    EXPECT_EQ(dump.find("bn.1"), std::string::npos);

    // A later value of a name replaces an earlier one.
    c = config();
    c.widths = {1e-6};
    c.lengths = {1e-6};
    setenv("MORVA_DUMP_NATIVE_PARAMS", "", 1);
    Lines repeated;
    (void)run(c, repeated);
    unsetenv("MORVA_DUMP_NATIVE_PARAMS");
    EXPECT_NE(repeated.err_text.find("    vth0       = 4.300000e-1\n"), std::string::npos)
        << repeated.err_text;
}

TEST_F(NativeLut, SubcircuitDefaults) {
    LutConfig c = config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    c.vbs_values = {0.0};
    c.subcircuit_name = "nfet";
    Lines lines;
    const TransistorLut t = run(c, lines);
    EXPECT_EQ(lines.err_text, "  [native] using subcircuit defaults from 'nfet' (inner model: 'nch')\n");
    // The device line's values, the passed W and L among them.
    expect_points_from(t, 0, 0, card_named(cards, "nch"),
                       {{"sa", 2e-6}, {"sb", 2e-6}, {"nrd", 2}, {"nrs", 2}, {"delvto", 0.05}}, true);

    c.subcircuit_name = "pfet";
    Lines absent;
    const TransistorLut plain = run(c, absent);
    EXPECT_EQ(absent.err_text, "  [native] subcircuit 'pfet' not found in model file\n");
    expect_points_from(plain, 0, 0, card_named(cards, "nch"));
    // The defaults' threshold shift took effect.
    EXPECT_LT(t.id.at(0, 0, 0, 8, 8), 0.9 * plain.id.at(0, 0, 0, 8, 8));

    // The subcircuit's name as the model (what the pool path instantiates):
    // its inner card with its defaults.
    c = config("NFET");
    c.widths = {1e-6};
    c.lengths = {5e-7};
    c.vbs_values = {0.0};
    Lines wrapped;
    EXPECT_TRUE(same_bits(run(c, wrapped).id, t.id)) << wrapped.err_text;
}

TEST_F(NativeLut, NetworksTheEvaluatorDoesNotSolveAreNamedOnce) {
    const std::string lib = (dir.path / "networks.lib").string();
    std::ofstream(lib) << R"(* cards asking for networks
.model rb nmos level=54 rbodymod=1 vth0=0.4 u0=0.03
.model rbg nmos level=54 rbodymod=2 rgatemod=3 vth0=0.4 u0=0.03
.model plain nmos level=54 rbodymod=0 rgatemod=7 rsh=5 vth0=0.4 u0=0.03
.model bx.1 nmos level=54 lmin=1e-7 lmax=3e-7 rbodymod=1 vth0=0.4 u0=0.03
.model bx.2 nmos level=54 lmin=3e-7 lmax=1e-5 rbodymod=1 vth0=0.45 u0=0.03
.model sheet nmos level=54 rsh=5 vth0=0.4 u0=0.03
.model v45 nmos level=54 version=4.5 rbodymod=1 vth0=0.4 u0=0.03
.model vx.1 nmos level=54 version=4.6.5 lmin=1e-7 lmax=3e-7 vth0=0.4 u0=0.03
.model vx.2 nmos level=54 version='4.6' lmin=3e-7 lmax=1e-5 vth0=0.4 u0=0.03
.model v47 nmos level=54 version=4.7.0 vth0=0.4 u0=0.03
.model v48 nmos level=54 version=4.5 version=4.8.2 vth0=0.4 u0=0.03
.model v3 nmos level=54 version=3.3 vth0=0.4 u0=0.03
.subckt dfet d g s b w=1e-6 l=1e-6 nrs=2 nrd=3
m0 d g s b sheet w={w} l={l} nrs={nrs} nrd={nrd}
.ends dfet
.subckt sfet d g s b w=1e-6 l=1e-6 nrs=2
m0 d g s b sheet w={w} l={l} nrs={nrs}
.ends sfet
.subckt lfet d g s b w=1e-6 l=1e-6
m0 d g s b sheet w={w} l={l} nrs=2 nrd=2
.ends lfet
.subckt ifet d g s b w=1e-6 l=1e-6
m0 d g s b rb w={w} l={l} rbodymod=0 rgatemod=2 geomod=1 min=1 trnqsmod=1 xgw=1e-7 ic=0.5,1,0 off
.ends ifet
)";
    const std::string taken = " is not solved; currents through it are taken at the terminal voltages\n";
    const struct {
        const char* model;
        std::string lines;  // what the generation says about networks
    } cases[] = {
        {"rb", "  [native] rb: rbodymod=1: the body-resistance network" + taken},
        {"rbg", "  [native] rbg: rbodymod=2: the body-resistance network" + taken +
                    "  [native] rbg: rgatemod=3: the gate resistance" + taken},
        {"plain", ""},  // rgatemod out of range is 0; rsh without nrs, nrd builds nothing
        {"bx", "  [native] bx.1, bx.2: rbodymod=1: the body-resistance network" + taken},
        {"dfet",
         // nrd={nrd} is 3 as ngspice substitutes it, 3.0000000000000004.
         "  [native] sheet: rsh*nrs=10, rsh*nrd=15.000000000000002: the diffusion series resistances are not "
         "solved; currents through them are taken at the terminal voltages\n"},
        {"sfet", "  [native] sheet: rsh*nrs=10: the diffusion series resistance" + taken},
        // Literal values on the device line count alike.
        {"lfet",
         "  [native] sheet: rsh*nrs=10, rsh*nrd=10: the diffusion series resistances are not solved; "
         "currents through them are taken at the terminal voltages\n"},
        // The instance's selectors replace the card's; what the evaluator has no input for is named,
        // what changes no DC current is not.
        // A card version whose code ngspice runs and the evaluator does not, once per card.
        {"v45",
         "  [native] v45: rbodymod=1: the body-resistance network" + taken +
             "  [native] v45: version 4.5 card evaluated with the BSIM4 4.8 equations (ngspice runs its "
             "4.5 code: currents may differ)\n"},
        {"vx",
         "  [native] vx.1, vx.2: version 4.6 card evaluated with the BSIM4 4.8 equations (ngspice runs "
         "its 4.6.5 code: currents may differ)\n"},
        {"v47",
         "  [native] v47: version 4.7 card evaluated with the BSIM4 4.8 equations (ngspice runs its 4.7 "
         "code: currents may differ)\n"},
        {"v48", ""},  // the last version given counts
        {"v3",
         "  [native] v3: version 3.3 card evaluated with the BSIM4 4.8 equations (ngspice has no code of "
         "this version and refuses the card)\n"},
        {"ifet", "  [native] rb: rgatemod=2: the gate resistance" + taken +
                     "  [native] rb: geomod=1: not modelled by the native evaluator; the table is computed "
                     "without it\n"
                     "  [native] rb: min=1: not modelled by the native evaluator; the table is computed "
                     "without it\n"},
    };
    for (const auto& k : cases) {
        LutConfig c = config(k.model);
        c.model_file = lib;
        c.lengths = {1.8e-7, 5e-7};  // two pairs of each card, two cards of bx
        c.op_params = {};
        Lines lines;
        (void)run(c, lines);
        std::string said;
        for (std::size_t at = 0, end; (end = lines.err_text.find('\n', at)) != std::string::npos;
             at = end + 1) {
            const std::string line = lines.err_text.substr(at, end + 1 - at);
            if (line.find("is not solved") != std::string::npos ||
                line.find("are not solved") != std::string::npos ||
                line.find("not modelled") != std::string::npos ||
                line.find("BSIM4 4.8 equations") != std::string::npos)
                said += line;
        }
        EXPECT_EQ(said, k.lines) << k.model << ":\n" << lines.err_text;
    }
}

TEST_F(NativeLut, FailedPointsAreNaN) {
    // The evaluator refuses a non-finite bias; the direct path and the solver
    // both leave NaN there, and the neighbouring differences with it.
    for (bool solver : {false, true}) {
        LutConfig c = config();
        c.widths = {1e-6};
        c.lengths = {5e-7};
        c.vbs_values = {std::nan(""), 0.0};
        c.use_dc_solver = solver;
        c.op_params = {"vth"};
        Lines lines;
        const TransistorLut t = run(c, lines);
        for (std::size_t g = 0; g < t.vgs.size(); ++g)
            for (std::size_t d = 0; d < t.vds.size(); ++d) {
                EXPECT_TRUE(std::isnan(t.id.at(0, 0, 0, g, d)));
                EXPECT_TRUE(std::isnan(t.op[9].at(0, 0, 0, g, d)));
                EXPECT_TRUE(std::isnan(t.gm.at(0, 0, 0, g, d)));
                EXPECT_TRUE(std::isfinite(t.id.at(0, 1, 0, g, d)));
                EXPECT_TRUE(std::isfinite(t.gds.at(0, 1, 0, g, d)));
            }
    }
}

TEST_F(NativeLut, ConductancesAreExactAtCoarseSteps) {
    // Differences over a 0.1 V step overstate gm/Id in weak inversion by sinh(x)/x, past q/kT;
    // the slopes the table holds stay below it, and agree with a fine difference of the current.
    LutConfig c = config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    c.vbs_values = {std::nan(""), 0.0};
    c.vds = {0.05, 1.05, 0.1};
    Lines lines;
    const TransistorLut t = run(c, lines);
    const double q_over_kt = 1.0 / (8.617333262e-5 * 300.15);
    LutConfig fine = c;
    fine.vbs_values = {0.0};
    int weak = 0;
    for (std::size_t g = 1; g + 1 < t.vgs.size(); ++g) {
        EXPECT_TRUE(std::isnan(t.gm.at(0, 0, 0, g, 3)));
        const double id = t.id.at(0, 1, 0, g, 3), gm = t.gm.at(0, 1, 0, g, 3);
        if (id > 1e-9 && id < 1e-7) ++weak;
        EXPECT_LT(gm / id, q_over_kt) << "vgs=" << t.vgs[g];
        fine.vgs = {t.vgs[g] - 1e-4, t.vgs[g] + 1e-4, 1e-4};
        fine.vds = {t.vds[3] - 1e-4, t.vds[3] + 1e-4, 1e-4};
        Lines quiet;
        const TransistorLut f = run(fine, quiet);
        ASSERT_EQ(f.vgs.size(), 3u);
        ASSERT_EQ(f.vds.size(), 3u);
        const double gds = t.gds.at(0, 1, 0, g, 3);
        EXPECT_NEAR(gm, (f.id.at(0, 0, 0, 2, 1) - f.id.at(0, 0, 0, 0, 1)) / (f.vgs[2] - f.vgs[0]), 1e-5 * gm);
        EXPECT_NEAR(gds, (f.id.at(0, 0, 0, 1, 2) - f.id.at(0, 0, 0, 1, 0)) / (f.vds[2] - f.vds[0]),
                    1e-5 * gds + 1e-15);
    }
    EXPECT_GE(weak, 1);
}

TEST_F(NativeLut, SeriesResistanceAndReverseBiasPointsComeFromTheEvaluator) {
    // rdsmod 1 iterates every point through the resistances, and a negative Vds reverses the
    // channel: the table still holds the evaluator's own numbers, point by point.
    for (const char* name : {"nres", "nch"}) {
        LutConfig c = config(name);
        c.vds = {-1.0, 1.0, 0.1};
        c.op_params = {"gmbs", "vth"};
        Lines lines;
        const TransistorLut t = run(c, lines);
        const parser::Bsim4ModelCard card = card_named(cards, name);
        for (std::size_t wi = 0; wi < 2; ++wi)
            for (std::size_t li = 0; li < 2; ++li) expect_points_from(t, wi, li, card);
    }
}

TEST_F(NativeLut, DeviceLineInsideASubcircuit) {
    const std::string lib = (dir.path / "wrapped.lib").string();
    std::ofstream(lib) << R"(* devices wrapped as kits wrap them
.model nch nmos level=54 vth0=0.42 u0=0.035 kvth0=5e-8 saref=1e-6 sbref=1e-6
.model bl.1 nmos level=54 lmin=1e-7 lmax=6e-7 vth0=0.30 u0=0.03
.model bl.2 nmos level=54 lmin=6e-7 lmax=1e-5 vth0=0.50 u0=0.03
.model bw.1 nmos level=54 wmin=1e-7 wmax=1.5e-6 vth0=0.30 u0=0.03
.model bw.2 nmos level=54 wmin=1.5e-6 wmax=1e-4 vth0=0.50 u0=0.03
.subckt literal d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} sa=0.3u sb=0.6u sd=0.2u nf=3
.ends
.subckt passed d g s b W=1u L=0.5u fingers=3
m0 d g s b nch w={W} l={L} sa=0.3u sb=0.6u sd=0.2u nf=fingers
.ends
.subckt parallel d g s b W=1u L=0.5u fingers=3
m0 d g s b nch w={W} l={L} sa=0.3u sb=0.6u sd=0.2u nf=fingers m={1+2}
.ends
.subckt sizeless d g s b W=1u L=0.5u
m0 d g s b nch
.ends
.subckt renamed d g s b WR=1u LR=0.1u
m0 d g s b nch w={wr} l={lr}
.ends
.subckt longer d g s b W=1u L=0.5u
m0 d g s b bl w={W} l={L*2}
.ends
.subckt perfinger d g s b W=1u L=0.5u
m0 d g s b bw w={W} l={L} nf=2 wnflag=1
.ends
.subckt typo d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} delvt=0.1
.ends
.subckt undefined d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} sca={sc_typ}
.ends
.subckt nofinger d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} nf=0.5
.ends
.subckt nodevice d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} m=0
.ends
)";
    const auto configured = [&](const std::string& model, double w = 2e-6, double l = 5e-7) {
        LutConfig c = config(model);
        c.model_file = lib;
        c.widths = {w};
        c.lengths = {l};
        c.vbs_values = {0.0};
        return c;
    };

    // A finger count a parameter gives is read as ngspice reads it: 3 a hair above 3, so that the
    // stress terms take a fourth finger, as ngspice's do; a literal 3 is 3.
    const parser::Bsim4ModelCard card = card_named(lib, "nch");
    const parser::ParamList stress{{"sa", 0.3e-6}, {"sb", 0.6e-6}, {"sd", 0.2e-6}};
    parser::ParamList literal = stress, passed = stress;
    literal.emplace_back("nf", 3.0);
    passed.emplace_back("nf", parser::substituted_value(3.0));
    EXPECT_GT(passed.back().second, 3.0);
    Lines lines;
    const TransistorLut with_literal = run(configured("literal"), lines);
    const TransistorLut with_passed = run(configured("passed"), lines);
    expect_points_from(with_literal, 0, 0, card, literal, true);
    expect_points_from(with_passed, 0, 0, card, passed, true);
    EXPECT_NE(with_literal.id.at(0, 0, 0, 10, 10), with_passed.id.at(0, 0, 0, 10, 10));

    // m parallel devices: m times one's currents and slopes, at one's thresholds, solved too;
    // m={1+2} is 3 as ngspice substitutes it, 3.0000000000000004.
    const double m = parser::substituted_value(3.0);
    ASSERT_GT(m, 3.0);
    for (bool solver : {false, true}) {
        LutConfig one = configured("passed"), three = configured("parallel");
        one.use_dc_solver = three.use_dc_solver = solver;
        const TransistorLut a = run(one, lines), b = run(three, lines);
        for (std::size_t k = 0; k < a.id.data.size(); ++k) {
            ASSERT_EQ(b.id.data[k], m * a.id.data[k]) << solver;
            ASSERT_EQ(b.gm.data[k], m * a.gm.data[k]);
            ASSERT_EQ(b.gds.data[k], m * a.gds.data[k]);
            ASSERT_EQ(b.op[6].data[k], m * a.op[6].data[k]);
            ASSERT_EQ(b.op[9].data[k], a.op[9].data[k]);
        }
    }

    // The device line's sizes choose the card (by w / nf with wnflag), and a line without them
    // takes BSIM4's 5 um, whatever the X line passes.
    for (const auto& [model, bins] : {std::pair{"longer", "bins: [bl.2]"}, {"perfinger", "bins: [bw.1]"}}) {
        Lines said;
        (void)run(configured(model), said);
        EXPECT_NE(said.out_text.find(bins), std::string::npos) << said.out_text;
    }
    EXPECT_TRUE(
        same_bits(run(configured("sizeless"), lines).id, run(configured("nch", 5e-6, 5e-6), lines).id));
    // The X line passes the sizes under the configured names.
    LutConfig renamed = configured("renamed");
    renamed.width_param = "Wr";
    renamed.length_param = "lR";
    EXPECT_TRUE(same_bits(run(renamed, lines).id, run(configured("nch"), lines).id));

    // What ngspice refuses on the device line is refused, before any evaluation.
    const std::pair<const char*, const char*> refused[] = {
        {"typo", "subcircuit 'typo': unknown instance parameter 'delvt' on its device line"},
        {"undefined", "subcircuit 'undefined': cannot evaluate sca = {sc_typ} on its device line"},
        {"nofinger", "subcircuit 'nofinger': number of fingers nf = 0.5 is smaller than one"},
        {"nodevice", "subcircuit 'nodevice': multiplier m = 0 is not positive"},
    };
    for (const auto& [model, message] : refused) {
        Lines said;
        const NativeOutcome outcome = generate_lut_native(configured(model), said);
        ASSERT_TRUE(outcome && !*outcome) << model;
        EXPECT_EQ(outcome->error().detail, message);
        EXPECT_EQ(said.out_text, "");
    }
}

TEST_F(NativeLut, PointsThatCannotGiveAFiniteCurrentFailNamingTheParameter) {
    // ngspice finds no operating point for these; a table of NaN would pass for a result.
    const std::string lib = (dir.path / "absurd.lib").string();
    std::ofstream(lib) << R"(* values no bias point can evaluate
.model nch nmos level=54 vth0=0.42 u0=0.035
.model nhuge nmos level=54 vth0=1e300 u0=0.035
.model ptiny pmos level=54 vth0=-0.42 u0=1e-300 toxe=4e-9
.model nboth nmos level=54 vth0=1e300 k1=1e300
.subckt shifted d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} sa=0.3u delvto=1e300
.ends
.subckt slowed d g s b W=1u L=0.5u
m0 d g s b nch w={W} l={L} mulu0=1e-300 sb=0.6u
.ends
)";
    struct Case {
        const char* model;
        DeviceType type;
        const char* message;
    };
    const std::string at_n =
        " gives no finite drain current at W=1.000e-6 L=5.000e-7 Vgs=0.2 Vds=0.1 Vbs=0.0";
    const std::string at_p =
        " gives no finite drain current at W=1.000e-6 L=5.000e-7 Vgs=-0.2 Vds=-0.1 Vbs=0.0";
    const Case cases[] = {
        {"shifted", DeviceType::Nmos, "delvto = 1e300 on the device line of subcircuit 'shifted'"},
        {"slowed", DeviceType::Nmos, "mulu0 = 1e-300 on the device line of subcircuit 'slowed'"},
        {"nhuge", DeviceType::Nmos, "vth0 = 1e300 on card 'nhuge'"},
        {"ptiny", DeviceType::Pmos, "u0 = 1e-300 on card 'ptiny'"},
        // Either alone keeps the current from being finite.
        {"nboth", DeviceType::Nmos, "card 'nboth'"},
    };
    for (const Case& k : cases) {
        for (bool solver : {false, true}) {
            LutConfig c = config(k.model);
            const double s = k.type == DeviceType::Pmos ? -1.0 : 1.0;
            c.model_file = lib;
            c.device_type = k.type;
            c.widths = {1e-6};
            c.lengths = {5e-7};
            c.vbs_values = {0.0};
            c.vgs = {s * 0.2, s * 1.2, s * 0.5};
            c.vds = {s * 0.1, s * 1.1, s * 0.5};
            c.use_dc_solver = solver;
            Lines lines;
            const NativeOutcome outcome = generate_lut_native(c, lines, 4);
            ASSERT_TRUE(outcome && !*outcome) << k.model << " " << solver;
            const std::string message = k.message + (s > 0 ? at_n : at_p);
            EXPECT_EQ(outcome->error().text(), "simulation failed: " + message);
            EXPECT_NE(lines.err_text.find("  [native] task error: " + message + "\n"), std::string::npos)
                << lines.err_text;
        }
    }
}

TEST_F(NativeLut, CardsOfASubcircuitBodyTakeItsInstanceValues) {
    // As kits lay out devices with mismatch terms: the header's mult, the body's l and w
    // defaults that the X line replaces, cards binned in the body, a sibling's bins for
    // another width, and the slope a top-level .param.
    const std::string lib = (dir.path / "scoped.lib").string();
    std::ofstream(lib) << R"(* scoped cards
.param slope=2e-8
.subckt wrap d g s b mult=2
.param l=1 w=1
m0 d g s b wrap__model l={l} w={w}
.model wrap__model.0 nmos level=54 lmin=1e-7 lmax=6e-7 wmin=1e-7 wmax=2e-6 u0=0.03
+ vth0={0.4+slope/sqrt(l*w*mult)}
.model wrap__model.1 nmos level=54 lmin=6e-7 lmax=1e-5 wmin=1e-7 wmax=2e-6 u0=0.03
+ vth0={0.5+slope/sqrt(l*w*mult)}
.ends wrap
.subckt sib d g s b
m0 d g s b wrap__model l=5e-7 w=3e-6
.model wrap__model.2 nmos level=54 lmin=1e-7 lmax=1e-5 wmin=2.9e-6 wmax=3.1e-6 vth0=0.45 u0=0.03
.ends sib
)";
    const auto configured = [&](const std::string& model, std::vector<double> w, std::vector<double> l) {
        LutConfig c = config(model);
        c.model_file = lib;
        c.subcircuit = true;
        c.widths = std::move(w);
        c.lengths = std::move(l);
        c.vbs_values = {0.0};
        return c;
    };
    Lines lines;
    const TransistorLut t = run(configured("wrap", {5e-7, 2e-6}, {2e-7, 1e-6}), lines);
    EXPECT_NE(lines.out_text.find("bins: [wrap__model.0, wrap__model.1])"), std::string::npos)
        << lines.out_text;
    for (std::size_t wi = 0; wi < 2; ++wi) {
        for (std::size_t li = 0; li < 2; ++li) {
            const double w = t.widths[wi], l = t.lengths[li];
            const double vth0 = (li == 0 ? 0.4 : 0.5) + 2e-8 / std::sqrt(l * w * 2.0);
            parser::Bsim4ModelCard card{li == 0 ? "wrap__model.0" : "wrap__model.1",
                                        "nmos",
                                        {{"level", 54.0},
                                         {"lmin", li == 0 ? 1e-7 : 6e-7},
                                         {"lmax", li == 0 ? 6e-7 : 1e-5},
                                         {"wmin", 1e-7},
                                         {"wmax", 2e-6},
                                         {"u0", 0.03},
                                         {"vth0", parser::substituted_value(vth0)}},
                                        {},
                                        {},
                                        {},
                                        {}};
            expect_points_from(t, wi, li, card, {}, true, true);
        }
    }

    // A width only the sibling's card holds: ngspice finds no card of the body's.
    Lines said;
    const NativeOutcome wide = generate_lut_native(configured("wrap", {3e-6}, {5e-7}), said);
    ASSERT_TRUE(wide && !*wide);
    EXPECT_EQ(
        wide->error().detail,
        "no bin of model 'wrap__model' in subcircuit 'wrap' of '" + lib +
            "' holds W = 3e-6 m, L = 5e-7 m (the size that subcircuit 'wrap' at W = 3e-6, L = 5e-7 gives "
            "its device 'm0'); its bins (L and W in m): wrap__model.0 L 1e-7..6e-7 W 1e-7..2e-6; "
            "wrap__model.1 L 6e-7..1e-5 W 1e-7..2e-6");
    EXPECT_NE(run(configured("sib", {1e-6}, {1e-6}), lines).id.data.size(), 0u);
}
