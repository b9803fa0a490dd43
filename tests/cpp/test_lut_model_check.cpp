// The model check before a generation: what it refuses, what it leaves to
// ngspice, and its messages. Its decisions against ngspice's own are checked
// from Python (test_characterisation_models.py).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lut/model_check.h"
#include "test_model_parser_support.h"

using namespace morva::lut;

namespace {

const char* const kBins =
    ".model nch.1 nmos (level=54 lmin=0.18u lmax=0.5u wmin=0.22u wmax=50u)\n"
    ".model nch.2 nmos (level=54 lmin=0.5u lmax=50u wmin=0.22u wmax=50u)\n";
const char* const kBinList =
    "; its bins (L and W in m): nch.1 L 1.8e-7..5e-7 W 2.2e-7..5e-5; nch.2 L 5e-7..5e-5 W 2.2e-7..5e-5";

struct Case {
    std::string note;
    std::string kit;
    std::string model = "nch";
    bool subcircuit = false;
    double w = 1e-6, l = 1e-6;
    std::string expected;  // FILE stands for the kit's path; empty: nothing refused
    ModelUse use = ModelUse::Pool;
    std::string width_param = "W";
};

// The problem model_problem finds with `k.kit` as the model file, or, with
// `model_file` false, with no model file but the includes (`k.kit` unused);
// the folder's path in the message reads DIR.
std::string checked(const TempDir& dir, const Case& k, const std::vector<std::string>& include_texts = {},
                    bool model_file = true) {
    LutConfig c;
    c.model_name = k.model;
    c.subcircuit = k.subcircuit;
    c.widths = {k.w};
    c.lengths = {k.l};
    c.width_param = k.width_param;
    std::optional<mp::KitText> text;
    if (model_file) {
        c.model_file = dir.write("kit.lib", k.kit);
        auto read = mp::read_kit_text(*c.model_file, std::nullopt);
        if (!read) {
            ADD_FAILURE() << k.note << ": " << read.error().text();
            return "unread";
        }
        text.emplace(std::move(*read));
    }
    std::vector<std::optional<mp::KitText>> includes;
    for (std::size_t i = 0; i < include_texts.size(); ++i) {
        const std::string path = dir.write("inc" + std::to_string(i) + ".lib", include_texts[i]);
        c.model_includes.emplace_back(path, "");
        auto read = mp::read_kit_text(path, std::nullopt);
        if (!read) {
            ADD_FAILURE() << k.note << ": " << read.error().text();
            return "unread";
        }
        includes.emplace_back(std::move(*read));
    }
    const std::optional<std::string> problem = model_problem(c, text ? &*text : nullptr, includes, k.use);
    std::string message = problem.value_or("");
    if (c.model_file) {
        if (const std::size_t at = message.find(*c.model_file); at != std::string::npos)
            message.replace(at, c.model_file->size(), "FILE");
    }
    const std::string folder = dir.path().string();
    for (std::size_t at = message.find(folder); at != std::string::npos; at = message.find(folder))
        message.replace(at, folder.size(), "DIR");
    return message;
}

}  // namespace

TEST(ModelCheck, RefusesWhatNgspiceCannotBuildAndLeavesTheRest) {
    const std::string bins = kBins;
    const std::string subckt = bins +
                               ".param dl=0.01u\n"
                               ".subckt mac d g s b w=1u l=0.18u\n"
                               "m0 d g s b nch w='w*1' l='l+dl'\n"
                               ".ends mac\n";
    const std::string bin_list = kBinList;
    const std::string tt = ".model nch.tt nmos (level=54 lmin=0.1u lmax=1u wmin=0.1u wmax=10u)\n";
    const std::vector<Case> cases = {
        {"its own card, any size", ".model nch nmos level=54\n" + bins, "nch", false, 1.0, 1.0, ""},
        {"a bin holds it", bins, "NCH", false, 1e-6, 0.18e-6, ""},
        {"a name the kit lacks", bins, "nosuch", false, 1e-6, 1e-6, "model 'nosuch' not found in 'FILE'"},
        {"no bin holds it", bins, "nch", false, 1e-6, 60e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 6e-5 m" + bin_list},
        {"metres under .option scale", ".option scale=1u\n" + bins, "nch", false, 1e-6, 0.18e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6, L = 1.8e-7, made W = 1e-12 m, L = 1.8e-13 m by the "
         "kit's .option scale = 1e-6" +
             bin_list},
        {"micrometres under .option scale", ".option scale=1u\n" + bins, "nch", false, 1.0, 0.18, ""},
        {"within 1 nm of a limit", bins, "nch", false, 1e-6, 0.1795e-6, ""},
        {"just beyond 1 nm", bins, "nch", false, 1e-6, 0.1785e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 1.785e-7 m" + bin_list},
        {"a bin without its W limits does not count", ".model nch.1 nmos (level=54 lmin=0.1u lmax=1u)\n",
         "nch", false, 1e-6, 0.5e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 5e-7 m; its bins (L and W in m): nch.1 L "
         "1e-7..1e-6 W none..none"},
        {"a limit this reader cannot evaluate",
         ".model nch.1 nmos (level=54 lmin=0.1u lmax=undefined wmin=0.1u wmax=10u)\n", "nch", false, 1e-6,
         5e-6, ""},
        {"a limit written with a blank before its '='",
         ".model nch.1 nmos (level=54 lmin=0.1u lmax=1u wmin =0.1u wmax=10u)\n", "nch", false, 1e-6, 5e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 5e-6 m; its bins (L and W in m): nch.1 L "
         "1e-7..1e-6 W 1e-7..1e-5"},
        {"any level is binned", ".model nch.1 nmos (level=49 lmin=0.1u lmax=1u wmin=0.1u wmax=10u)\n", "nch",
         false, 1e-6, 0.5e-6, ""},
        {"a suffix that is not a bin number", tt, "nch", false, 1e-6, 0.5e-6,
         "model 'nch' not found in 'FILE'"},
        {"the native path takes it", tt, "nch", false, 1e-6, 0.5e-6, "", ModelUse::Native},
        {"a size parameter ngspice does not bin on", bins, "nch", false, 1e-6, 60e-6, "", ModelUse::Pool,
         "WR"},
        {"a subcircuit's name as a model", subckt, "mac", false, 1e-6, 1e-6,
         "model 'mac' not found in 'FILE': it is a subcircuit there, which needs subcircuit=True"},
        {"which the native path takes", subckt, "mac", false, 1e-6, 1e-6, "", ModelUse::Native},
        {"a model's name as a subcircuit", subckt, "nch.1", true, 1e-6, 1e-6,
         "subcircuit 'nch.1' not found in 'FILE': it is a model there, which needs subcircuit=False"},
        {"a subcircuit the kit lacks", subckt, "mux", true, 1e-6, 1e-6,
         "subcircuit 'mux' not found in 'FILE'"},
        {"the native path refuses a name it lacks", subckt, "mux", true, 1e-6, 1e-6,
         "model 'mux' not found in 'FILE'", ModelUse::Native},
        {"the subcircuit's device in a bin", subckt, "MAC", true, 1e-6, 0.49e-6, ""},
        {"the subcircuit's device beyond its bins", subckt, "mac", true, 1e-6, 49.995e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 5.0005e-5 m (the size that subcircuit 'mac' "
         "at W = 1e-6, L = 4.9995e-5 gives its device 'm0')" +
             bin_list},
        {"a device model the kit lacks", ".subckt mac d g s b\nm0 d g s b nfoo w=1u l=1u\n.ends\n", "mac",
         true, 1e-6, 1e-6, "model 'nfoo' of subcircuit 'mac' not found in 'FILE'"},
        {"a device size it cannot evaluate",
         bins + ".subckt mac d g s b\nm0 d g s b nch w=1u l=undefined\n.ends\n", "mac", true, 1e-6, 1e-6, ""},
        {"a device size not given", bins + ".subckt mac d g s b\nm0 d g s b nch w=1u\n.ends\n", "mac", true,
         1e-6, 1e-6, ""},
        {"an included file it cannot read", ".include missing.lib\n" + bins, "nosuch", false, 1e-6, 1e-6, ""},
        {"a name in any branch of an .if", ".if (1)\n.model nch nmos level=54\n.endif\n", "nch", false, 1e-6,
         1e-6, ""},
        {"a name in no branch of an .if", ".if (1)\n.model nch nmos level=54\n.endif\n", "nhc", false, 1e-6,
         1e-6, "model 'nhc' not found in 'FILE'"},
        {"bins under an .if", ".if (1)\n" + bins + ".endif\n", "nch", false, 1e-6, 60e-6, ""},
        {"limits the wrong way round hold their edges",
         ".model nch.1 nmos (level=54 lmin=2u lmax=0.5u wmin=0.1u wmax=10u)\n", "nch", false, 1e-6, 2e-6, ""},
        {"and nothing between them", ".model nch.1 nmos (level=54 lmin=2u lmax=0.5u wmin=0.1u wmax=10u)\n",
         "nch", false, 1e-6, 1e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 1e-6 m; its bins (L and W in m): nch.1 L "
         "2e-6..5e-7 W 1e-7..1e-5"},
        // The subcircuit's values as ngspice evaluates them: passed over body over header.
        {"a passed size beats a body .param",
         bins + ".subckt mac d g s b w=1u l=1u\n.param l=60u\nm0 d g s b nch w=w l=l\n.ends\n", "mac", true,
         1e-6, 1e-6, ""},
        {"a header default uses the passed size",
         bins + ".subckt mac d g s b w=1u l=1u lx='l*100'\nm0 d g s b nch w=w l=lx\n.ends\n", "mac", true,
         1e-6, 0.6e-6,
         "no bin of model 'nch' in 'FILE' holds W = 1e-6 m, L = 6e-5 m (the size that subcircuit 'mac' at "
         "W = 1e-6, L = 6e-7 gives its device 'm0')" +
             bin_list},
        {"W per finger with wnflag",
         bins + ".subckt mac d g s b w=1u l=1u\nm0 d g s b nch w=w l=l nf=2 wnflag=1\n.ends\n", "mac", true,
         80e-6, 1e-6, ""},
        {"beyond the bins per finger",
         bins + ".subckt mac d g s b w=1u l=1u\nm0 d g s b nch w=w l=l nf=2 wnflag=1\n.ends\n", "mac", true,
         120e-6, 1e-6,
         "no bin of model 'nch' in 'FILE' holds W = 6e-5 m, L = 1e-6 m (the size that subcircuit 'mac' at "
         "W = 1.2e-4, L = 1e-6 gives its device 'm0', W per finger of nf = 2)" +
             bin_list},
        {"a subcircuit defined inside is not the body",
         bins + ".subckt mac d g s b w=1u l=1u\n.subckt inner a\n.param l=60u\nm9 a a a a nfoo\n.ends inner\n"
                "m0 d g s b nch w=w l=l\n.ends mac\n",
         "mac", true, 1e-6, 1e-6, ""},
    };
    TempDir dir;
    for (const Case& k : cases) EXPECT_EQ(checked(dir, k), k.expected) << k.note;
}

TEST(ModelCheck, ModelIncludesAreLookedInToo) {
    TempDir dir;
    Case k{"in an include", ".param x=1\n", "nch", false, 1e-6, 0.18e-6, ""};
    EXPECT_EQ(checked(dir, k, {kBins}), "");
    k.l = 60e-6;
    EXPECT_EQ(checked(dir, k, {kBins}),
              std::string("no bin of model 'nch' in 'FILE' or its model_includes holds W = 1e-6 m, "
                          "L = 6e-5 m") +
                  kBinList);
    k.model = "nosuch";
    EXPECT_EQ(checked(dir, k, {kBins}), "model 'nosuch' not found in 'FILE' or its model_includes");
}

// Without a model file the includes alone are the kit, checked as one.
TEST(ModelCheck, ModelIncludesAloneAreChecked) {
    TempDir dir;
    Case k{"includes alone", "", "nch", false, 1e-6, 0.18e-6, ""};
    EXPECT_EQ(checked(dir, k, {kBins}, false), "");
    EXPECT_EQ(checked(dir, k, {".param x=1\n", kBins}, false), "");
    k.model = "nhc";
    EXPECT_EQ(checked(dir, k, {kBins}, false), "model 'nhc' not found in model_includes 'DIR/inc0.lib'");
    k.use = ModelUse::Native;
    EXPECT_EQ(checked(dir, k, {".param x=1\n", kBins}, false),
              "model 'nhc' not found in model_includes 'DIR/inc0.lib', 'DIR/inc1.lib'");
    k = Case{"beyond the bins", "", "nch", false, 1e-6, 60e-6, ""};
    EXPECT_EQ(
        checked(dir, k, {kBins}, false),
        std::string("no bin of model 'nch' in model_includes 'DIR/inc0.lib' holds W = 1e-6 m, L = 6e-5 m") +
            kBinList);
    // Neither a model file nor includes: nothing to look in.
    EXPECT_EQ(checked(dir, k, {}, false), "");
}

// A subcircuit's body cards are its own; a library's sections are read only
// when named; bins are chosen on the sizes as ngspice reads them, from the
// device line (its number reader) or as the subcircuit substitutes them.
TEST(ModelCheck, ScopesNamesAndSizesAsNgspiceDoes) {
    const std::string scoped =
        ".subckt wrap d g s b mult=2\n.param l=1 w=1\nm0 d g s b wrap__model l={l} w={w}\n"
        ".model wrap__model.0 nmos (level=54 lmin=0.1u lmax=1u wmin=0.1u wmax=2u vth0={0.4/sqrt(mult)})\n"
        ".ends wrap\n"
        ".subckt sib d g s b\nm0 d g s b wrap__model l=0.5u w=3u\n"
        ".model wrap__model.1 nmos (level=54 lmin=0.1u lmax=1u wmin=2.9u wmax=3.1u)\n.ends sib\n";
    const std::string sections =
        ".lib tt\n" + std::string(kBins) + ".endl tt\n.lib ss\n" + kBins + ".endl ss\n";
    const std::string edges =
        ".model e.1 nmos (level=54 lmin=1.8e-6 lmax=1e-5 wmin=2.2e-007 wmax=1e-4)\n"
        ".model f.1 nmos (level=54 lmin=1e-7 lmax=1e-6 wmin=1e-7 wmax=1e-4)\n"
        ".subckt ew d g s b w=1u l=1u\nm0 d g s b e w=w l=l\n.ends\n";
    const std::string wrap_bins = "; its bins (L and W in m): wrap__model.0 L 1e-7..1e-6 W 1e-7..2e-6";
    const std::string in_body = ": it is defined inside subcircuit 'wrap' there, which alone sees it";
    const std::string needed =
        "model 'nch' not found in 'FILE' outside its .lib sections; name the section to "
        "read with model_section (the file has: tt, ss)";
    const std::vector<Case> cases = {
        {"the body's card holds it", scoped, "wrap", true, 1e-6, 0.5e-6, ""},
        {"only a sibling's card holds it", scoped, "wrap", true, 3e-6, 0.5e-6,
         "no bin of model 'wrap__model' in subcircuit 'wrap' of 'FILE' holds W = 3e-6 m, L = 5e-7 m (the "
         "size "
         "that subcircuit 'wrap' at W = 3e-6, L = 5e-7 gives its device 'm0')" +
             wrap_bins},
        {"the sibling at its own size", scoped, "sib", true, 1e-6, 1e-6, ""},
        {"a body's card is no top-level model", scoped, "wrap__model", false, 1e-6, 0.5e-6,
         "model 'wrap__model' not found in 'FILE'" + in_body},
        {"nor for the native path", scoped, "wrap__model", false, 1e-6, 0.5e-6,
         "model 'wrap__model' not found in 'FILE'" + in_body, ModelUse::Native},
        {"a library read without its section", sections, "nch", false, 1e-6, 0.18e-6, needed},
        {"on the native path too", sections, "nch", false, 1e-6, 0.18e-6, needed, ModelUse::Native},
        {"a name no section holds", sections, "nhc", false, 1e-6, 0.18e-6, "model 'nhc' not found in 'FILE'"},
        // The line gives ngspice 2.19e-7 itself, just below 2.2e-7 - 1 nm as doubles subtract.
        {"1 nm narrower, as the line reads", edges, "e", false, 0.219e-6, 2e-6,
         "no bin of model 'e' in 'FILE' holds W = 2.19e-7 m, L = 2e-6 m; its bins (L and W in m): e.1 L "
         "1.8e-6..1e-5 W 2.2e-7..1e-4"},
        // Substituted into the subcircuit's line, 1.799e-6 comes back as 1.7989999999999998e-6.
        {"1 nm shorter, as the subcircuit substitutes it", edges, "ew", true, 1e-6, 1.799e-6,
         "no bin of model 'e' in 'FILE' holds W = 1e-6 m, L = 1.799e-6 m (the size that subcircuit 'ew' at W "
         "= "
         "1e-6, L = 1.799e-6 gives its device 'm0'); its bins (L and W in m): e.1 L 1.8e-6..1e-5 W "
         "2.2e-7..1e-4"},
        // 1.001 scaled by 1e-6 lands within 1 nm of 1e-6 as doubles multiply.
        {"1 nm longer in micrometres under .option scale", ".option scale=1u\n" + edges, "f", false, 1.0,
         1.001, ""},
    };
    TempDir dir;
    for (const Case& k : cases) EXPECT_EQ(checked(dir, k), k.expected) << k.note;
    // A library whose section an include names: the include holds the model.
    Case k{"the include holds it", sections, "nch", false, 1e-6, 0.18e-6, ""};
    EXPECT_EQ(checked(dir, k, {kBins}), "");
    // Device lines carry a text ngspice reads back as the size itself.
    EXPECT_EQ(device_line_size(0.219e-6), 0.219e-6);
    EXPECT_EQ(device_line_size(1.799e-6), 1.799e-6);
}
