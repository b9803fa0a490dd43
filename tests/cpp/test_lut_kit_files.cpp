// The identity of a kit's files: every file ngspice would read for the
// configuration, each once, and any change to one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/format.h"
#include "lut/kit_files.h"
#include "test_model_parser_support.h"

using namespace morva;
using namespace morva::lut;

namespace {

// A kit of the shapes foundries ship: a corner section redirecting to a
// section of another file by a quoted name, includes relative to the
// including file, an include inside a .control block (not a file of the
// kit), and a file that includes the one including it.
struct Kit {
    TempDir dir;
    std::string top, params, deep, other, loop;

    Kit() {
        top = dir.write("kit.lib",
                        ".lib tt\n.include 'sub/params.spice'\n.lib \"other.lib\" mos\n.endl tt\n"
                        ".control\n.include ignored.spice\n.endc\n");
        params = dir.write("sub/params.spice", ".param a = 1\n.inc deep.spice\n.include loop.spice\n");
        deep = dir.write("sub/deep.spice", ".param b = 2\n");
        loop = dir.write("sub/loop.spice", ".include params.spice\n");
        other = dir.write("other.lib", ".lib mos\n.model nch nmos level=1\n.endl mos\n");
    }
    LutConfig config() const {
        LutConfig c;
        c.model_file = top;
        c.model_section = "tt";
        return c;
    }
};

// The identity line of `path`, or "" when it has none.
std::string line_of(const std::string& identity, const std::string& path) {
    std::size_t at = 0;
    while (at < identity.size()) {
        const std::size_t nl = identity.find('\n', at);
        const std::string line = identity.substr(at, nl - at);
        if (line.starts_with(path + " ")) return line;
        at = nl + 1;
    }
    return "";
}

}  // namespace

TEST(LutKitFiles, EveryFileOfTheKitOnceWithItsIdentity) {
    Kit kit;
    const std::string identity = kit_identity(kit.config());
    for (const std::string& path : {kit.top, kit.params, kit.deep, kit.other, kit.loop}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_TRUE(line_of(identity, path).starts_with(fmt::cat(path, " ", st.st_size, " "))) << path << "\n"
                                                                                               << identity;
    }
    // Looked for beside the model file too, where there is none.
    EXPECT_EQ(line_of(identity, (kit.dir.path() / "deep.spice").string()),
              (kit.dir.path() / "deep.spice").string() + " none");
    EXPECT_EQ(identity.find("ignored.spice"), std::string::npos);
    EXPECT_EQ(kit_identity(kit.config()), identity);  // nothing changed
    EXPECT_EQ(kit_identity(LutConfig{}), "");         // a card in the netlist: no file
}

TEST(LutKitFiles, AnyChangeToAFileChangesTheIdentity) {
    struct Change {
        std::string what;
        std::function<void(Kit&)> make;
    };
    const Change changes[] = {
        {"an included file's text", [](Kit& k) { k.dir.write("sub/deep.spice", ".param b = 3.5\n"); }},
        {"only the time of a redirect's file",
         [](Kit& k) {
             struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 5}};
             ::utimensat(AT_FDCWD, k.other.c_str(), times, 0);
         }},
        {"a file replaced by another of the same text",
         [](Kit& k) {
             const std::string copy = k.dir.write("copy.lib", ".param b = 2\n");
             struct stat st {};
             ::stat(k.deep.c_str(), &st);
             struct timespec times[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, copy.c_str(), times, 0);
             ::rename(copy.c_str(), k.deep.c_str());
         }},
        {"a file appearing where one was looked for",
         [](Kit& k) { k.dir.write("deep.spice", ".param c = 1\n"); }},
        {"a file removed", [](Kit& k) { ::unlink(k.loop.c_str()); }},
        {"the model file's own text", [](Kit& k) { k.dir.write("kit.lib", ".lib tt\n.endl tt\n"); }},
    };
    for (const Change& change : changes) {
        Kit kit;
        const std::string before = kit_identity(kit.config());
        change.make(kit);
        EXPECT_NE(kit_identity(kit.config()), before) << change.what;
    }
}

// A pool keeps the identity (KitMemo::identity): the same text as
// kit_identity while nothing changed, and after each change the new one.
TEST(LutKitFiles, TheKeptIdentityFollowsEveryChange) {
    struct Change {
        std::string what;
        std::function<void(Kit&)> make;
    };
    const Change changes[] = {
        {"nothing", [](Kit&) {}},
        {"an included file's text", [](Kit& k) { k.dir.write("sub/deep.spice", ".param b = 3.5\n"); }},
        {"a file appearing where one was looked for",
         [](Kit& k) { k.dir.write("deep.spice", ".param c = 1\n"); }},
        {"a file removed", [](Kit& k) { ::unlink(k.loop.c_str()); }},
        // The new text names a file the old did not: found only by reading again.
        {"the model file naming another file",
         [](Kit& k) {
             k.dir.write("new.spice", ".param d = 1\n");
             k.dir.write("kit.lib", ".lib tt\n.include new.spice\n.endl tt\n");
         }},
    };
    for (const Change& change : changes) {
        Kit kit;
        KitMemo memo;
        const std::string before = memo.identity(kit.config());
        EXPECT_EQ(before, kit_identity(kit.config())) << change.what;
        change.make(kit);
        const std::string after = memo.identity(kit.config());
        EXPECT_EQ(after, kit_identity(kit.config())) << change.what;
        EXPECT_EQ(after == before, change.what == "nothing") << change.what;
    }
}

// The checks' verdict is kept with the stamps of the files the reading
// opened (each before it was read, an include that could not be read among
// them): it holds while every one is as it was, not after any edit, touch,
// chmod, removal or appearance, and not under another key.
TEST(LutKitFiles, AKeptVerdictHoldsWhileTheFilesReadStayAsTheyWere) {
    struct Change {
        std::string what;
        std::function<void(TempDir&)> make;
        bool holds;
    };
    const Change changes[] = {
        {"nothing", [](TempDir&) {}, true},
        {"a file's text", [](TempDir& d) { d.write("cards.lib", ".model nch nmos level=1 kp=1e-4\n"); },
         false},
        {"its time alone",
         [](TempDir& d) {
             struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 5}};
             ::utimensat(AT_FDCWD, (d.path() / "cards.lib").c_str(), times, 0);
         },
         false},
        {"its mode", [](TempDir& d) { ::chmod((d.path() / "cards.lib").c_str(), 0); }, false},
        {"the model file removed", [](TempDir& d) { ::unlink((d.path() / "kit.lib").c_str()); }, false},
        {"a file appearing where an include named none",
         [](TempDir& d) { d.write("absent.lib", ".param a = 1\n"); }, false},
    };
    for (const Change& change : changes) {
        TempDir dir;
        const std::string kit =
            dir.write("kit.lib", ".lib tt\n.include cards.lib\n.include absent.lib\n.endl tt\n");
        const std::string cards = dir.write("cards.lib", ".model nch nmos level=1\n");
        const auto read = spice::model_parser::read_kit_text(kit, "tt");
        ASSERT_TRUE(read);
        std::vector<std::string> paths;
        for (const FileStamp& s : read->files) paths.push_back(s.path);
        EXPECT_EQ(paths, (std::vector<std::string>{kit, cards, (dir.path() / "absent.lib").string()}));
        KitMemo memo;
        memo.keep_passed("key", read->files);
        change.make(dir);
        EXPECT_EQ(memo.passed("key"), change.holds) << change.what;
        EXPECT_FALSE(memo.passed("another key")) << change.what;
    }
}

// What a pool kept of a kit edited in place with its files' identities kept
// (size, time, inode, mode) still holds, until it is forgotten: then the kit
// is followed and checked afresh (here the edit names a file the old text did
// not), and the other keys' verdicts stay.
TEST(LutKitFiles, ForgettingAKitReadsItAfresh) {
    TempDir dir;
    const std::string kit = dir.write("kit.lib", ".include aa.lib\n");
    dir.write("aa.lib", ".model nch nmos level=1\n");
    dir.write("bb.lib", ".model nch nmos level=1\n");
    LutConfig c;
    c.model_file = kit;
    KitMemo memo;
    const std::string before = memo.identity(c);
    memo.keep_passed("key", {file_stamp(kit)});
    memo.keep_passed("another key", {file_stamp(kit)});

    struct stat was {};
    ASSERT_EQ(::stat(kit.c_str(), &was), 0);
    dir.write("kit.lib", ".include bb.lib\n");
    const struct timespec times[2] = {was.st_atim, was.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, kit.c_str(), times, 0), 0);
    EXPECT_EQ(memo.identity(c), before);
    EXPECT_TRUE(memo.passed("key"));

    memo.forget(c, "key");
    EXPECT_EQ(memo.identity(c), kit_identity(c));
    EXPECT_NE(memo.identity(c).find("bb.lib"), std::string::npos);
    EXPECT_FALSE(memo.passed("key"));
    EXPECT_TRUE(memo.passed("another key"));
}
