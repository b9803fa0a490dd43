// The model-library readers following a kit across files: includes and
// redirects resolved against the including file, `.param` values flowing from
// file to file, and files that are missing, hostile or cyclic.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/format.h"
#include "spice/model_parser.h"
#include "test_model_parser_support.h"

namespace fmt = morva::fmt;

namespace {

std::vector<std::string> names_of(const std::vector<mp::Bsim4ModelCard>& cards) {
    std::vector<std::string> names;
    for (const auto& c : cards) names.push_back(c.name);
    return names;
}

// A corner file redirecting into a model file that includes its cards from
// a subfolder, which includes a shared file by a path relative to itself.
// Decoys lie where a name resolved against the wrong folder would land.
struct IncludeKit {
    TempDir dir;
    std::string kit;
    IncludeKit() {
        kit = dir.write("kit.lib",
                        "* corners\n"
                        ".lib tt\n"
                        ".param dvth = 0.01\n"
                        ".lib 'models/models.lib' mos\n"
                        ".endl tt\n"
                        ".lib ss\n"
                        ".param dvth = 0.05\n"
                        ".lib models/models.lib mos\n"
                        ".endl ss\n");
        dir.write("models/models.lib",
                  ".lib mos\n"
                  ".param toxn = 4.1n\n"
                  ".include 'sub/nfet.spice'\n"
                  ".INC \"sub/p fet.spice\" $ a name with a blank\n"
                  ".endl mos\n"
                  ".lib unused\n"
                  ".include 'missing.spice'\n"
                  ".model unused nmos level=54\n"
                  ".endl unused\n");
        dir.write("models/sub/nfet.spice",
                  "* n-channel cards\n"
                  ".param u0n = '0.03 * 1.1'\n"
                  ".lib defs\n"
                  ".model hidden nmos level=54\n"
                  ".endl defs\n"
                  ".model nch.1 nmos level=54 lmin=0.1u lmax=1u vth0='0.4 + dvth' toxe=toxn u0=u0n\n"
                  ".model nch.2 nmos level=54 lmin=1u lmax=10u vth0={0.45 + dvth} toxe=toxn\n"
                  ".include ../common.spice\n");
        dir.write("models/common.spice",
                  ".param shared = 2\n"
                  ".model common nmos level=54 k1=shared\n"
                  ".subckt nch_mac d g s b w=1u l=0.18u sb=0.5u ad='w*2e-7'\n"
                  "M0 d g s b nch w=w l=l\n"
                  ".ends nch_mac\n");
        dir.write("models/sub/p fet.spice", ".model pch pmos level=54 vth0='-0.4 - dvth' toxe=toxn\n");
        // Where the names would land resolved against the corner file's folder.
        dir.write("sub/nfet.spice", ".model decoy nmos level=54\n");
        dir.write("common.spice", ".model decoy2 nmos level=54\n");
    }
};

}  // namespace

TEST(ModelParserIncludes, SectionsFollowFilesWithParametersAcross) {
    IncludeKit kit;
    const auto tt = mp::parse_lib_file_section(kit.kit, "TT");
    ASSERT_TRUE(tt);
    // Section definitions inside an included file are skipped; an included
    // file's own include comes in at its place.
    EXPECT_EQ(names_of(*tt), (std::vector<std::string>{"nch.1", "nch.2", "common", "pch"}));
    const auto& n1 = *card_named(*tt, "nch.1");
    // Expressions and names on a card take their value as ngspice substitutes it.
    EXPECT_EQ(param(n1, "vth0"), mp::substituted_value(0.4 + 0.01));
    EXPECT_EQ(param(n1, "toxe"), mp::substituted_value(4.1 * 1e-9));
    EXPECT_EQ(param(n1, "u0"), mp::substituted_value(0.03 * 1.1));
    EXPECT_EQ(n1.lmax, 1e-6);
    EXPECT_EQ(param(*card_named(*tt, "common"), "k1"), 2.0);
    EXPECT_EQ(param(*card_named(*tt, "pch"), "vth0"), mp::substituted_value(-0.4 - 0.01));
    EXPECT_EQ(mp::select_card_for_length(*tt, "nch", 2e-6, 1e-6)->name, "nch.2");

    const auto ss = mp::parse_lib_file_section(kit.kit, "ss");
    ASSERT_TRUE(ss);
    EXPECT_EQ(names_of(*ss), names_of(*tt));
    EXPECT_EQ(param(*card_named(*ss, "nch.2"), "vth0"), 0.45 + 0.05);

    // The whole corner file: every line of every file it reaches, each
    // section and file once; the later corner's value wins.
    const auto all = mp::parse_lib_file(kit.kit);
    ASSERT_TRUE(all);
    EXPECT_EQ(names_of(*all), (std::vector<std::string>{"hidden", "nch.1", "nch.2", "common", "pch"}));
    EXPECT_EQ(param(*card_named(*all, "nch.1"), "vth0"), 0.4 + 0.05);
    // The model file read whole: its missing include adds nothing.
    const auto models = mp::parse_lib_file((kit.dir.path() / "models/models.lib").string());
    ASSERT_TRUE(models);
    EXPECT_EQ(names_of(*models),
              (std::vector<std::string>{"hidden", "nch.1", "nch.2", "common", "pch", "unused"}));

    // Subcircuits are found in included files as well.
    for (const auto& found : {mp::parse_subcircuit_defaults_section(kit.kit, "nch_mac", "tt"),
                              mp::parse_subcircuit_defaults(kit.kit, "nch_mac")}) {
        ASSERT_TRUE(found && *found);
        EXPECT_EQ((*found)->inner_model, "nch");
        EXPECT_EQ((*found)->params.at("sb"), 0.5e-6);
        EXPECT_EQ((*found)->exprs.at("ad"), "w*2e-7");
    }
    const auto none = mp::parse_subcircuit_defaults_section(kit.kit, "nch_mac", "absent");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST(ModelParserIncludes, SectionsAreLookedForAsNgspiceLooks) {
    // ngspice reads a library's includes in place before it looks for a
    // section: the first header in that text is the section's, in the file
    // itself or in a file it includes, even inside another section.
    TempDir dir;
    dir.write("defs/tt.spice", ".lib tt\n.model from_include nmos level=54\n.endl tt\n");
    dir.write("defs/mid.spice", ".include 'tt.spice'\n.lib deep\n.model from_deep nmos level=54\n.endl\n");
    dir.write("defs/other.spice", ".lib hidden\n.model from_hidden nmos level=54\n.endl\n");
    const std::string top = dir.write("top.lib",
                                      ".lib wrap\n.include 'defs/other.spice'\n.endl wrap\n"
                                      ".include 'defs/mid.spice'\n"
                                      ".lib TT\n.model own nmos level=54\n.endl TT\n"
                                      ".lib own_only\n.model own_only nmos level=54\n.endl\n");
    const struct {
        const char* section;
        std::vector<std::string> cards;  // empty: the file lacks the section
    } cases[] = {
        {"tt", {"from_include"}},
        {"DEEP", {"from_deep"}},
        {"hidden", {"from_hidden"}},
        {"own_only", {"own_only"}},
        {"wrap", {}},
        {"tyipcal", {}},
    };
    for (const auto& c : cases) {
        const bool present = !c.cards.empty() || std::string_view(c.section) == "wrap";
        const auto kit = mp::parse_kit(top, c.section);
        ASSERT_TRUE(kit) << c.section;
        EXPECT_EQ(names_of(kit->cards), c.cards) << c.section;
        EXPECT_EQ(kit->section_found, present) << c.section;
        const auto has = mp::has_section(top, c.section);
        ASSERT_TRUE(has) << c.section;
        EXPECT_EQ(*has, present) << c.section;
    }
    EXPECT_TRUE(mp::parse_kit(top, std::nullopt)->section_found);
    EXPECT_EQ(mp::section_not_found("tyipcal", top), "section '.LIB tyipcal' not found in " + top);

    // The file itself must be readable; what it includes need not be.
    dir.write("gone.lib", ".include 'missing.spice'\n.lib tt\n.endl\n");
    EXPECT_TRUE(*mp::has_section((dir.path() / "gone.lib").string(), "tt"));
    for (const char* unreadable : {"absent.lib", "defs"}) {
        const auto has = mp::has_section((dir.path() / unreadable).string(), "tt");
        ASSERT_FALSE(has) << unreadable;
        EXPECT_EQ(has.error().io.path, (dir.path() / unreadable).string());
        EXPECT_NE(has.error().io.os_code, 0) << unreadable;
    }
}

TEST(ModelParserIncludes, UnreadableTargetsAreSkipped) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "pipe.spice").c_str(), 0600), 0);
    dir.write("folder/x", "");
    dir.write("a", ".model not_read nmos level=54\n");
    const std::string top = dir.write(
        "top.lib", std::string(".include 'missing.spice'\n"
                               ".include folder\n"
                               ".include pipe.spice\n"  // would block
                               ".include /dev/zero\n"   // would never end
                               ".include 'unclosed.spice\n"
                               ".include\n") +
                       ".include 'a" + std::string(1, '\0') + "b'\n" +  // a NUL cutting the name to "a"
                       ".lib tt\n"
                       ".lib 'gone.lib' common\n"  // looked up in this file instead
                       ".lib 'folder' common2\n"
                       ".endl tt\n"
                       ".lib common\n"
                       ".model kept nmos level=54\n"
                       ".endl common\n");
    const auto whole = mp::parse_lib_file(top);
    ASSERT_TRUE(whole);
    EXPECT_EQ(names_of(*whole), (std::vector<std::string>{"kept"}));
    const auto tt = mp::parse_lib_file_section(top, "tt");
    ASSERT_TRUE(tt);
    EXPECT_EQ(names_of(*tt), (std::vector<std::string>{"kept"}));

    // Only the top file being unreadable is an error.
    for (const std::string& path : {(dir.path() / "absent.lib").string(), (dir.path() / "folder").string()}) {
        EXPECT_FALSE(mp::parse_lib_file(path));
        EXPECT_FALSE(mp::parse_lib_file_section(path, "tt"));
        EXPECT_FALSE(mp::parse_subcircuit_defaults(path, "x"));
    }
}

TEST(ModelParserIncludes, CyclesAndDeepOrWideChainsEnd) {
    TempDir dir;
    const std::string d = dir.path().string();
    // Files including each other and themselves, and sections of two files
    // redirecting to each other: ngspice would follow them without end, so
    // the reading is refused, naming the first file or section reached again.
    dir.write("a.spice", ".model a nmos level=54\n.include b.spice\n.include a.spice\n");
    dir.write("b.spice", ".model b nmos level=54\n.include ./a.spice\n.lib 'x.lib' one\n");
    dir.write("x.lib", ".lib one\n.model one nmos level=54\n.lib 'y.lib' two\n.endl one\n");
    dir.write("sub/placeholder", "");
    dir.write("y.lib",
              ".lib two\n.include b.spice\n.model two nmos level=54\n.lib \"sub/../x.lib\" ONE\n.endl two\n");
    const auto cyclic = mp::parse_lib_file(d + "/a.spice");
    ASSERT_FALSE(cyclic);
    EXPECT_EQ(mp::kit_cycle_of(cyclic.error()),
              "cycle detected while reading model file: revisited file " + d + "/./a.spice");
    const auto from_section = mp::parse_lib_file_section(d + "/x.lib", "one");
    ASSERT_FALSE(from_section);
    EXPECT_EQ(mp::kit_cycle_of(from_section.error()),
              "cycle detected while reading model file: revisited file " + d + "/./b.spice");

    // A chain of distinct files longer than the nesting bound is refused,
    // saying so.
    for (int i = 0; i < 300; ++i)
        dir.write(fmt::cat("deep/f", i), fmt::cat(".model c", i, " nmos level=54\n.include f", i + 1, "\n"));
    const auto deep = mp::parse_lib_file((dir.path() / "deep/f0").string());
    ASSERT_FALSE(deep);
    EXPECT_TRUE(deep.error().text().ends_with(": includes and redirects nested deeper than 256 levels at " +
                                              (dir.path() / "deep/f256").string()))
        << deep.error().text();

    // Files including the next one twice: read once each, not 2^n times.
    for (int i = 0; i < 40; ++i) {
        dir.write(fmt::cat("wide/w", i), fmt::cat(".include w", i + 1, "\n.include 'w", i + 1, "'\n"));
    }
    dir.write("wide/w40", ".model leaf nmos level=54\n");
    const auto wide = mp::parse_lib_file_section((dir.path() / "wide/w0").string(), "none");
    ASSERT_TRUE(wide);
    EXPECT_TRUE(wide->empty());
    const auto wide_all = mp::parse_lib_file((dir.path() / "wide/w0").string());
    ASSERT_TRUE(wide_all);
    EXPECT_EQ(names_of(*wide_all), (std::vector<std::string>{"leaf"}));
}

// Each reader refuses a kit that ngspice would follow without end (it loops
// on a section reached again, and recurses until it crashes on a file
// included again), and reads one that reaches a file or section from
// several places.
TEST(ModelParserIncludes, KitsFollowedWithoutEndAreRefused) {
    TempDir dir;
    const std::string d = dir.path().string();
    dir.write("self.spice", ".model a nmos level=54\n.include self.spice\n");
    dir.write("b1.spice", ".model b nmos level=54\n.include b2.spice\n");
    dir.write("b2.spice", ".include ./b1.spice\n");
    dir.write("s.lib", ".lib tt\n.model s nmos level=54\n.lib 's.lib' TT\n.endl\n");
    dir.write("x.lib", ".lib one\n.model one nmos level=54\n.lib 'y.lib' two\n.endl one\n");
    dir.write("sub/placeholder", "");
    dir.write("y.lib", ".lib two\n.model two nmos level=54\n.lib \"sub/../x.lib\" ONE\n.endl two\n");
    // ngspice reads every include of a library it opens, also one in a
    // section that is not asked for.
    dir.write("unused.lib",
              ".lib tt\n.model u nmos level=54\n.endl\n.lib other\n.include unused.lib\n.endl\n");
    // A section reached again through what an include brings into its lines.
    dir.write("g.lib",
              ".lib t\n.include x.inc\n.endl\n.lib s\n.model g nmos level=54\n.include x.inc\n.endl\n");
    dir.write("x.inc", ".lib 'g.lib' s\n");
    // Sections of one file redirecting to each other, the file read whole.
    dir.write("h.lib",
              ".model h nmos level=54\n.lib tt\n.lib 'h.lib' ss\n.endl\n.lib ss\n.lib 'h.lib' tt\n.endl\n");
    // No cycles: a section and a file reached from two sections, and an
    // include redirecting into another section of the file that includes it.
    dir.write(
        "k.lib",
        ".lib a\n.lib 'k.lib' c\n.include common.inc\n.endl\n.lib b\n.lib 'k.lib' c\n.include common.inc\n"
        ".endl\n.lib c\n.model k nmos level=54\n.endl\n.lib top\n.lib 'k.lib' a\n.lib 'k.lib' b\n.endl\n");
    dir.write("common.inc", ".model common nmos level=54\n");
    dir.write("f.lib", ".lib tt\n.include back.inc\n.endl\n.lib mos\n.model f nmos level=54\n.endl\n");
    dir.write("back.inc", ".lib 'f.lib' mos\n");
    // A redirect into a file that cannot be read, where ngspice stops.
    dir.write("m.lib", ".lib tt\n.lib 'missing.lib' tt\n.model m nmos level=54\n.endl\n");

    const struct {
        const char* file;
        std::optional<std::string_view> section;
        std::string revisited;           // empty: no cycle
        std::vector<std::string> cards;  // read when there is none
    } cases[] = {
        {"self.spice", std::nullopt, "file " + d + "/self.spice", {}},
        {"b1.spice", std::nullopt, "file " + d + "/./b1.spice", {}},
        {"s.lib", "tt", "section 'tt' in " + d + "/s.lib", {}},
        {"s.lib", std::nullopt, "section 'tt' in " + d + "/s.lib", {}},
        {"x.lib", "ONE", "section 'one' in " + d + "/sub/../x.lib", {}},
        {"unused.lib", "tt", "file " + d + "/unused.lib", {}},
        {"g.lib", "t", "section 's' in " + d + "/g.lib", {}},
        {"h.lib", std::nullopt, "section 'ss' in " + d + "/h.lib", {}},
        {"k.lib", "top", "", {"k", "common"}},
        {"k.lib", std::nullopt, "", {"common", "k"}},  // in file order
        {"f.lib", "tt", "", {"f"}},
        {"m.lib", "tt", "", {"m"}},
    };
    for (const auto& c : cases) {
        const std::string path = d + "/" + c.file;
        const std::string where = fmt::cat(c.file, " ", c.section.value_or("(whole)"));
        const std::string message = "cycle detected while reading model file: revisited " + c.revisited;
        const auto kit = mp::parse_kit(path, c.section);
        const auto has = mp::has_section(path, c.section);
        const auto defaults = c.section ? mp::parse_subcircuit_defaults_section(path, "x", *c.section)
                                        : mp::parse_subcircuit_defaults(path, "x");
        const auto cycle = mp::find_kit_cycle(path, c.section, "checking");
        ASSERT_TRUE(cycle) << where;
        if (c.revisited.empty()) {
            ASSERT_TRUE(kit) << where << ": " << kit.error().text();
            EXPECT_EQ(names_of(kit->cards), c.cards) << where;
            EXPECT_TRUE(has && *has) << where;
            EXPECT_TRUE(defaults) << where;
            EXPECT_EQ(*cycle, std::nullopt) << where;
            continue;
        }
        // A cycle is its own kind of error, not a file that cannot be read.
        ASSERT_FALSE(kit) << where;
        EXPECT_EQ(kit.error().kind, morva::bsim4::Bsim4Error::Kind::KitCycle) << where;
        EXPECT_EQ(kit.error().text(), message) << where;
        EXPECT_EQ(mp::kit_cycle_of(kit.error()), message) << where;
        ASSERT_FALSE(has) << where;
        EXPECT_EQ(mp::kit_cycle_of(has.error()), message) << where;
        ASSERT_FALSE(defaults) << where;
        EXPECT_EQ(mp::kit_cycle_of(defaults.error()), message) << where;
        EXPECT_EQ(*cycle, "cycle detected while checking: revisited " + c.revisited) << where;
    }
}

TEST(ModelParserIncludes, DirectiveWords) {
    namespace se = morva::spice::spice_expr;
    EXPECT_EQ(se::include_target(".include 'my dev.spice' $ x"), "my dev.spice");
    EXPECT_EQ(se::include_target(".INC\t\"b.spice\""), "b.spice");
    EXPECT_EQ(se::include_target(".incl plain.spice extra"), "plain.spice");
    EXPECT_EQ(se::include_target(".include'glued.spice'"), "glued.spice");
    EXPECT_EQ(se::include_target(".include 'open.spice"), std::nullopt);
    EXPECT_EQ(se::include_target(".include ''"), std::nullopt);
    EXPECT_EQ(se::include_target(".include"), std::nullopt);
    EXPECT_EQ(se::include_target(".lib 'x' tt"), std::nullopt);
    EXPECT_EQ(se::include_target("*.include x"), std::nullopt);

    const auto r = se::redirect_target(".lib \"my models.lib\" TT");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->file, "my models.lib");
    EXPECT_EQ(r->section, "TT");
    EXPECT_EQ(se::redirect_target(".lib models.lib tt")->file, "models.lib");
    EXPECT_EQ(se::redirect_target(".lib 'x.lib''tt'")->section, "'tt'");
    EXPECT_EQ(se::redirect_target(".lib models.lib"), std::nullopt);
    EXPECT_EQ(se::redirect_target(".lib 'models.lib'"), std::nullopt);
    EXPECT_EQ(se::redirect_target(".lib \"open.lib tt"), std::nullopt);
    EXPECT_EQ(se::redirect_target(".lib tt"), std::nullopt);
}
