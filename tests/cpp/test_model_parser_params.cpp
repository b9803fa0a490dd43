// `.param` values in the order ngspice evaluates them: the last definition of
// a name for every reference, references to names defined later, a
// definition's own name taken from outside its scope, and the kits ngspice
// refuses for their parameters. Every expectation is ngspice 39's on the same
// lines (values through a source's voltage, refusals from its log); the
// Python tests (test_param_order.py) run ngspice on such kits themselves.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "spice/param_order.h"
#include "test_model_parser_support.h"

namespace {

constexpr char kNgspiceStops[] =
    "; ngspice stops with \"A level depth greater 1000 for dependent parameters is not supported\"";

// Chains of definitions, each written before the one it names ("c0p0" names
// "c0p1", ...), ending in a number.
std::string reversed_chains(const std::vector<int>& lengths) {
    std::string text;
    const auto name = [&](std::size_t chain, int i) {
        text += 'c';
        text += std::to_string(chain);
        text += 'p';
        text += std::to_string(i);
    };
    for (std::size_t c = 0; c < lengths.size(); ++c) {
        for (int i = 0; i < lengths[c]; ++i) {
            text += ".param ";
            name(c, i);
            if (i + 1 == lengths[c]) {
                text += "=1\n";
                continue;
            }
            text += "={";
            name(c, i + 1);
            text += "+1}\n";
        }
    }
    return text;
}

using Expected = std::vector<std::pair<std::string, std::optional<double>>>;

}  // namespace

TEST(ParamOrder, TopLevelValuesAreNgspices) {
    struct Case {
        const char* note;
        std::string text;
        Expected values;  // none: undefined (ngspice stops at it)
    };
    const std::vector<Case> cases = {
        {"forward reference", ".param a={b*2}\n.param b=0.25\n", {{"a", 0.5}, {"b", 0.25}}},
        {"forward reference on one line", ".param a={b} b=2\n", {{"a", 2.0}}},
        {"chain out of order",
         ".param a={b+1}\n.param b={c*2}\n.param c={d-1}\n.param d=3\n",
         {{"a", 5.0}, {"b", 4.0}, {"c", 2.0}, {"d", 3.0}}},
        {"redefinition seen before it",
         ".param a=1\n.param b={a*2}\n.param a=5\n",
         {{"a", 5.0}, {"b", 10.0}}},
        {"redefinition breaks a circle",
         ".param a={b}\n.param b={a}\n.param a=1\n",
         {{"a", 1.0}, {"b", 1.0}}},
        {"circle through a definition given again",
         ".param a={b}\n.param b={a}\n.param b=2\n",
         {{"a", 2.0}, {"b", 2.0}}},
        {"names in any case", ".param A={B*2}\n.param b=3\n", {{"a", 6.0}}},
        {"function names are not parameters", ".param x={max(y,2)}\n.param y=3\n", {{"x", 3.0}}},
        {"own name (Undefined parameter [a])", ".param a=1\n.param a={a+1}\n", {{"a", std::nullopt}}},
        {"undefined name and its user (Undefined parameter [zz])",
         ".param a={zz}\n.param b={a+1}\n.param c=1\n",
         {{"a", std::nullopt}, {"b", std::nullopt}, {"c", 1.0}}},
        {"circle (refused whole)",
         ".param a={b+1}\n.param b={a+1}\n.param c={a}\n.param d=1\n",
         {{"a", std::nullopt}, {"b", std::nullopt}, {"c", std::nullopt}, {"d", 1.0}}},
    };
    for (const Case& k : cases) {
        const mp::ParamMap params = mp::collect_dot_params(mp::join_continuation_lines(k.text));
        for (const auto& [name, value] : k.values) {
            const auto it = params.find(name);
            if (!value) {
                EXPECT_EQ(it, params.end()) << k.note << ": " << name;
            } else {
                ASSERT_NE(it, params.end()) << k.note << ": " << name;
                EXPECT_EQ(it->second, *value) << k.note << ": " << name;
            }
        }
    }
}

TEST(ParamOrder, KitsRefusedAsNgspiceRefusesThem) {
    struct Case {
        const char* note;
        std::string text;
        std::string refusal;  // empty: ngspice takes the kit
    };
    const std::string stops = kNgspiceStops;
    const std::vector<Case> cases = {
        {"circle", ".param a={b+1}\n.param b={a+1}\n",
         "circular parameter dependency in the top level: a -> b -> a (.param a = {b+1})" + stops},
        {"circle out of order", ".param a={c+1}\n.param b={a+1}\n.param c={b+1}\n.param d=1\n",
         "circular parameter dependency in the top level: a -> c -> b -> a (.param a = {c+1})" + stops},
        {"circle made by a redefinition", ".param x=1\n.param y={x+1}\n.param x={y*0+7}\n",
         "circular parameter dependency in the top level: y -> x -> y (.param y = {x+1})" + stops},
        {"redefinition breaks a circle", ".param a={b}\n.param b={a}\n.param a=1\n", ""},
        {"own name", ".param a={a+1}\n", ""},
        {"outside a subcircuit only", ".param a={b}\n.subckt s x\n.param b={a}\n.ends\n.param b=1\n", ""},
        {"header of a subcircuit never used", ".subckt s x a={b} b={a}\nr1 x 0 {a}\n.ends\n.param c=1\n",
         "circular parameter dependency in the header of subcircuit 's': a -> b -> a (.param a = {b})" +
             stops},
        {"header alone, though the body redefines", ".subckt s x p={q} q={p}\n.param p=1\n.ends\n",
         "circular parameter dependency in the header of subcircuit 's': p -> q -> p (.param p = {q})" +
             stops},
        {"body of a subcircuit never used", ".subckt s x a={b}\n.param b={a}\nr1 x 0 {a}\n.ends\n", ""},
        // ngspice's walk of the references goes 1000 deep, counting on over
        // definitions it has settled until it settles another.
        {"chain of 1000 written backwards", reversed_chains({1000}), ""},
        {"chain of 1001 written backwards", reversed_chains({1001}),
         "parameter dependencies in the top level nested deeper than 1000 at .param c0p1000 = 1" + stops},
        {"chains of 600 and 600", reversed_chains({600, 600}),
         "parameter dependencies in the top level nested deeper than 1000 at .param c1p401 = {c1p402+1}" +
             stops},
        {"chains of 600 and 300", reversed_chains({600, 300}), ""},
        {"chains of 1000 and 2", reversed_chains({1000, 2}),
         "parameter dependencies in the top level nested deeper than 1000 at .param c1p1 = 1" + stops},
        {"chains of 999 and 2", reversed_chains({999, 2}), ""},
        {"chains of 500 and 502", reversed_chains({500, 502}),
         "parameter dependencies in the top level nested deeper than 1000 at .param c1p501 = 1" + stops},
        {"chains of 500 and 501", reversed_chains({500, 501}), ""},
        {"chains of 400, 400 and 300", reversed_chains({400, 400, 300}), ""},
    };
    for (const Case& k : cases)
        EXPECT_EQ(mp::parameter_refusal(mp::join_continuation_lines(k.text)).value_or(""), k.refusal)
            << k.note;
}

TEST(ParamOrder, SubcircuitScopesAreNgspices) {
    struct Case {
        const char* note;
        std::string top;     // lines outside the subcircuit
        std::string header;  // defaults after the nodes
        std::string body;
        mp::ParamMap passed;
        Expected values;
    };
    const std::vector<Case> cases = {
        {"body forward reference", "", "", ".param a={b*2}\n.param b=0.25\n", {}, {{"a", 0.5}, {"b", 0.25}}},
        {"header forward reference", "", "a={b*2} b=0.25", "", {}, {{"a", 0.5}}},
        {"header naming body values",
         "",
         "a={b*2}",
         ".param c=1\n.param b={c+1}\n",
         {},
         {{"a", 4.0}, {"b", 2.0}}},
        {"body naming header values after it",
         "",
         "w=1",
         ".param a={w*2}\n.param w2={a+w}\n",
         {{"w", 5.0}},
         {{"a", 10.0}, {"w2", 15.0}}},
        {"body redefines the header", "", "a=1 b={a*2}", ".param a=5\n", {}, {{"a", 5.0}, {"b", 10.0}}},
        {"passed value replaces both",
         "",
         "a=1 b={a*2}",
         ".param a=5\n",
         {{"a", 7.0}},
         {{"a", 7.0}, {"b", 14.0}}},
        {"own name in the body is the top level's", ".param a=3\n", "", ".param a={a+1}\n", {}, {{"a", 4.0}}},
        {"own name in the header is the top level's", ".param a=3\n", "a={a+1}", "", {}, {{"a", 4.0}}},
        {"own name with nothing outside", "", "", ".param a={a+1}\n", {}, {{"a", std::nullopt}}},
        {"a local name shadows the top level's",
         ".param g=100\n",
         "",
         ".param b={g*2}\n.param g=4\n",
         {},
         {{"b", 8.0}, {"g", 4.0}}},
        {"top level out of order beneath it",
         ".param g={h*2}\n.param h=3\n",
         "",
         ".param b={g+1}\n",
         {},
         {{"b", 7.0}}},
    };
    for (const Case& k : cases) {
        const std::string text =
            k.top + ".subckt s d g s b " + k.header + "\n" + k.body + "m0 d g s b nch w=1 l=1\n.ends\n";
        const auto defaults =
            mp::extract_subcircuit_defaults_from_lines(mp::join_continuation_lines(text), "s");
        ASSERT_TRUE(defaults) << k.note;
        EXPECT_FALSE(defaults->parameter_refusal) << k.note;
        const mp::ParamMap scope = defaults->scope(k.passed);
        for (const auto& [name, value] : k.values) {
            const auto it = scope.find(name);
            if (!value) {
                EXPECT_EQ(it, scope.end()) << k.note << ": " << name;
            } else {
                ASSERT_NE(it, scope.end()) << k.note << ": " << name;
                EXPECT_EQ(it->second, *value) << k.note << ": " << name;
            }
        }
    }
}

TEST(ParamOrder, UsedSubcircuitsAreRefusedAsNgspiceRefusesThem) {
    struct Case {
        const char* note;
        std::string text;
        std::string refusal;
    };
    const std::string stops = kNgspiceStops;
    const std::vector<Case> cases = {
        {"header and body", ".subckt s x a={b+1}\n.param b={a+1}\nm0 x x x x n\n.ends\n",
         "circular parameter dependency in subcircuit 's': a -> b -> a (.param a = {b+1})" + stops},
        {"a subcircuit defined inside it",
         ".subckt s x\n.subckt inner y\n.param a={b}\n.param b={a}\n.ends\nm0 x x x x n\n.ends\n",
         "circular parameter dependency in subcircuit 'inner': a -> b -> a (.param a = {b})" + stops},
        {"a subcircuit its lines instantiate",
         ".subckt inner y k=1\n.param a={b}\n.param b={a}\n.ends\n"
         ".subckt s x\nxi x inner params: k=2\nm0 x x x x n\n.ends\n",
         "circular parameter dependency in subcircuit 'inner': a -> b -> a (.param a = {b})" + stops},
        {"another subcircuit's circle",
         ".subckt t x a={b}\n.param b={a}\n.ends\n.subckt s x\nm0 x x x x n\n.ends\n", ""},
        {"subcircuits instantiating each other",
         ".subckt s x\nxt x t\nm0 x x x x n\n.ends\n.subckt t y\nxs y s\n.ends\n", ""},
    };
    for (const Case& k : cases) {
        const auto defaults =
            mp::extract_subcircuit_defaults_from_lines(mp::join_continuation_lines(k.text), "s");
        ASSERT_TRUE(defaults) << k.note;
        EXPECT_EQ(defaults->parameter_refusal.value_or(""), k.refusal) << k.note;
    }
}

TEST(ParamOrder, KitReadingsRefuseAndEvaluateAcrossFiles) {
    TempDir dir;
    // A section whose values name ones its include defines after them, and
    // one that closes a circle through the include.
    dir.write("values.inc", ".param b={c*2}\n.param c=0.125\n");
    const std::string kit = dir.write("kit.lib",
                                      ".lib tt\n.param a={b+0.2}\n.include 'values.inc'\n"
                                      ".model nch nmos level=54 vth0={a}\n.endl tt\n"
                                      ".lib bad\n.lib 'kit.lib' tt\n.param c={a}\n.endl bad\n");
    const auto tt = mp::parse_kit(kit, std::string_view("tt"));
    ASSERT_TRUE(tt);
    ASSERT_EQ(tt->cards.size(), 1u);
    EXPECT_EQ(param(tt->cards[0], "vth0"), mp::substituted_value(0.25 + 0.2));

    // ngspice reads a library included whole with its sections' lines.
    for (const std::optional<std::string_view> section :
         {std::optional<std::string_view>("bad"), std::optional<std::string_view>()}) {
        const auto bad = mp::read_kit_text(kit, section);
        ASSERT_FALSE(bad);
        EXPECT_EQ(mp::kit_cycle_of(bad.error()),
                  "circular parameter dependency in the top level: a -> b -> c -> a (.param a = {b+0.2})" +
                      std::string(kNgspiceStops));
    }
}

TEST(ParamOrder, LargeScopesAreOrderedInLinearTime) {
    // 200,000 definitions written backwards in chains of 500: a quadratic
    // ordering would not end in a test's time.
    constexpr int kChains = 400, kLength = 500;
    const std::string text = reversed_chains(std::vector<int>(kChains, kLength));
    const mp::LogicalLines lines = mp::join_continuation_lines(text);
    EXPECT_FALSE(mp::parameter_refusal(lines));
    const mp::ParamMap params = mp::collect_dot_params(lines);
    EXPECT_EQ(params.size(), std::size_t{kChains} * kLength);
    EXPECT_EQ(params.at("c399p0"), kLength);
}
