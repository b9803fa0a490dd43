// Where a kit's names are visible, as ngspice scopes them: the cards and
// `.param` lines of a subcircuit's body are that subcircuit's, evaluated with
// its instance's values; a library's sections are read only when named.
// ngspice's own decisions on such kits are checked from Python
// (test_kit_scoping.py).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_model_parser_support.h"

namespace {

const char* const kScopedKit =
    ".param top=0.1\n"
    ".model nch nmos level=54 vth0={top+0.3}\n"
    ".subckt wrap d g s b mult=2\n"
    ".param l=1 w=1 slope=0.02\n"
    "m0 d g s b wrap__model l={l} w={w}\n"
    ".model wrap__model.0 nmos level=54 lmin=0.1 lmax=1 wmin=0.1 wmax={w*2} vth0={0.4+slope/sqrt(l*w*mult)}\n"
    ".model wrap__model.1 nmos level=8 lmin=1 lmax=9 wmin=0.1 wmax=9\n"
    ".ends wrap\n"
    ".subckt sibling d g s b\n"
    "m0 d g s b wrap__model l=1 w=3\n"
    ".model wrap__model.2 nmos level=54 lmin=0.1 lmax=9 wmin=2.9 wmax=3.1\n"
    ".ends\n"
    ".model after nmos level=54 vth0={slope}\n";

std::vector<std::string> names(const std::vector<mp::ModelBins>& bins) {
    std::vector<std::string> out;
    for (const auto& b : bins) out.push_back(b.name);
    return out;
}

}  // namespace

TEST(ModelParserScoping, BodyCardsAreTheSubcircuitsOwn) {
    const mp::LogicalLines lines = mp::join_continuation_lines(kScopedKit);
    mp::KitText text;
    text.lines = lines;
    // The top level sees its own cards and values only: a body's .param is not one of them.
    const mp::Kit kit = mp::kit_from_text(text);
    ASSERT_EQ(kit.cards.size(), 2u);
    EXPECT_EQ(kit.cards[0].name, "nch");
    EXPECT_EQ(param(kit.cards[0], "vth0"), mp::substituted_value(0.1 + 0.3));
    EXPECT_EQ(kit.cards[1].name, "after");
    EXPECT_EQ(kit.refused.at("after"), "model 'after': cannot evaluate vth0 = {slope}");
    EXPECT_EQ(mp::extract_models(lines, mp::collect_dot_params(lines)).size(), 4u);  // every card
    EXPECT_EQ(names(mp::list_models(lines, {}, mp::CardScope::TopLevel)),
              (std::vector<std::string>{"nch", "after"}));

    // The body's cards, their limits evaluated with the instance's values.
    const auto wrap = mp::extract_subcircuit_defaults_from_lines(lines, "wrap");
    ASSERT_TRUE(wrap);
    ASSERT_EQ(wrap->models.size(), 2u);
    EXPECT_TRUE(wrap->models[0].bsim4);
    EXPECT_FALSE(wrap->models[1].bsim4);
    EXPECT_TRUE(wrap->defines_model("WRAP__MODEL"));
    EXPECT_FALSE(wrap->defines_model("nch"));
    EXPECT_FALSE(wrap->defines_model("wrap__mod"));
    const mp::ParamMap scope = wrap->scope({{"l", 0.5}, {"w", 2.0}});
    const std::vector<mp::ModelBins> bins = wrap->local_bins(scope);
    ASSERT_EQ(names(bins), (std::vector<std::string>{"wrap__model.0", "wrap__model.1"}));
    EXPECT_EQ(bins[0].wmax, mp::substituted_value(4.0));
    EXPECT_EQ(bins[1].lmin, 1.0);
    // Its card read in that scope: the passed size over the body's, the header's mult.
    const auto cards = mp::extract_models({wrap->models[0].line}, scope);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(param(cards[0], "vth0"), mp::substituted_value(0.4 + 0.02 / std::sqrt(0.5 * 2.0 * 2.0)));
    // The sibling's card is not the body's.
    const auto sibling = mp::extract_subcircuit_defaults_from_lines(lines, "sibling");
    ASSERT_TRUE(sibling);
    EXPECT_EQ(names(sibling->local_bins({})), (std::vector<std::string>{"wrap__model.2"}));

    // What a top-level device finds under a name the top level lacks.
    EXPECT_EQ(mp::defined_elsewhere(lines, "wrap__model", "X"),
              ": it is defined inside subcircuit 'wrap' there, which alone sees it");
    EXPECT_EQ(mp::defined_elsewhere(lines, "Sibling", "which needs more"),
              ": it is a subcircuit there, which needs more");
    EXPECT_EQ(mp::defined_elsewhere(lines, "nothing", "X"), "");
    EXPECT_EQ(mp::top_level_model_problem(text, kit, "wrap__model", "'kit'", "X"),
              "model 'wrap__model' not found in 'kit': it is defined inside subcircuit 'wrap' there, which "
              "alone sees it");
    EXPECT_EQ(mp::top_level_model_problem(text, kit, "NCH", "'kit'", "X"), std::nullopt);
}

TEST(ModelParserScoping, ALibraryReadWholeNeedsTheSectionThatHoldsTheName) {
    TempDir dir;
    dir.write("cells.spice", ".subckt cell d g s b\nm0 d g s b ncell\n.ends\n.model ncell nmos level=54\n");
    const std::string where = "'kit'";
    const auto needed = [&](const char* sections) {
        return "model 'ncell' not found in 'kit' outside its .lib sections; name the section to read with "
               "model_section (the file has: " +
               std::string(sections) + ")";
    };
    const struct {
        const char* label;
        const char* text;
        const char* name;
        std::string expected;  // empty: nothing refused
    } cases[] = {
        {"a model only in sections", ".lib tt\n.model ncell nmos level=54\n.endl tt\n.lib SS\n.endl\n",
         "ncell", needed("tt, SS")},
        {"a name each section brings in",
         ".lib tt\n.include cells.spice\n.endl tt\n.lib ff\n.include cells.spice\n.endl\n", "cell",
         "model 'cell' not found in 'kit' outside its .lib sections; name the section to read with "
         "model_section (the file has: tt, ff)"},
        {"its bins only in sections", ".lib 'tt'\n.model ncell.1 nmos level=54\n.endl\n", "ncell",
         needed("tt")},
        {"a header inside a section opens none",
         ".lib tt\n.lib inner\n.model ncell nmos level=54\n.endl\n.model out nmos level=54\n", "ncell",
         needed("tt")},
        {"a card outside the sections too", ".model ncell nmos level=54\n.lib tt\n.model ncell nmos\n.endl\n",
         "ncell", ""},
        {"an include outside the sections", ".include cells.spice\n.lib tt\n.endl\n", "cell", ""},
        {"a name no section holds", ".lib tt\n.model other nmos level=54\n.endl\n", "ncell", ""},
        {"a card of a subcircuit's body", ".lib tt\n.subckt x a\n.model ncell nmos\n.ends\n.endl\n", "ncell",
         ""},
        {"no sections", ".model other nmos level=54\n", "ncell", ""},
    };
    for (const auto& c : cases) {
        const auto text = mp::read_kit_text(dir.write("kit.lib", c.text), std::nullopt);
        ASSERT_TRUE(text) << c.label;
        EXPECT_EQ(mp::section_needed(*text, c.name, where).value_or(""), c.expected) << c.label;
        // Read by a section, the name is the section's.
        const auto tt = mp::read_kit_text((dir.path() / "kit.lib").string(), "tt");
        ASSERT_TRUE(tt) << c.label;
        EXPECT_TRUE(tt->sections.empty()) << c.label;
        EXPECT_EQ(mp::section_needed(*tt, c.name, where), std::nullopt) << c.label;
    }
    // What lies outside: the lines an include brings in there, not the definitions.
    const auto text = mp::read_kit_text(
        dir.write("kit.lib", ".param a=1\n.include cells.spice\n.lib tt\n.model x nmos\n.endl tt\n.lib ss\n"),
        std::nullopt);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->sections, (std::vector<std::string>{"tt", "ss"}));
    EXPECT_EQ(mp::lines_outside_sections(*text),
              (mp::LogicalLines{".param a=1", ".include cells.spice", ".subckt cell d g s b",
                                "m0 d g s b ncell", ".ends", ".model ncell nmos level=54"}));
}
