// The temperatures a kit sets for the netlist that reads it (.temp, .options
// temp and tnom), each case checked against the temperatures ngspice reports
// for a netlist including the kit.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include "test_model_parser_support.h"

namespace {

struct Case {
    const char* label;
    const char* kit;
    bool instantiated;  // the netlist instantiates subcircuit "wrap" after the kit
    std::optional<double> temp, tnom;
};

// As ngspice 39 takes them (its "Doing analysis at TEMP = ... and TNOM = ...").
const Case kCases[] = {
    {"none", "* nothing\n", false, std::nullopt, std::nullopt},
    {"one .temp", ".temp 125\n", false, 125.0, std::nullopt},
    {"the last .temp counts", ".temp 100\n.TEMP 125\n", false, 125.0, std::nullopt},
    {".temp with an equals sign", ".temp = 85\n.temp=-40\n", false, -40.0, std::nullopt},
    {".temp ahead of options in either order", ".temp 100\n.options temp=125\n", false, 100.0, std::nullopt},
    {"options then .temp", ".options temp=125\n.temp 100\n", false, 100.0, std::nullopt},
    {"a group on .temp", ".param tt=80\n.temp {tt+5}\n", false, 85.0, std::nullopt},
    {".temp in other forms", ".temp 8.5e1\n.temp +85.\n", false, 85.0, std::nullopt},
    {"a comment after .temp", ".temp 85 ; the hot corner\n", false, 85.0, std::nullopt},
    {"an unreadable .temp is 27 over the options", ".options temp=85\n.temp 85C\n", false, 27.0,
     std::nullopt},
    {"a .temp with two values is 27", ".temp 100 125\n", false, 27.0, std::nullopt},
    {"a .temp with a scale is 27", ".temp 1k\n", false, 27.0, std::nullopt},
    {"an empty .temp is 0", ".temp\n", false, 0.0, std::nullopt},
    {"the last option line counts", ".option temp=70\n.options temp=85\n.opt TEMP=60 reltol=1e-3\n", false,
     60.0, std::nullopt},
    {"within a line the first pair counts", ".options temp=85 temp=95 tnom=30 tnom=40\n", false, 85.0, 30.0},
    {"option values as the command language reads them", ".options temp=85m tnom=40C\n", false, 0.085, 40.0},
    {"a group on an option", ".param tt=80\n.options temp={tt+5}\n", false, 85.0, std::nullopt},
    {"an option without a number sets nothing", ".options temp=85\n.options temp=abc tnom\n", false, 85.0,
     std::nullopt},
    {"spaced pairs", ".options temp = 85 tnom= 45\n", false, 85.0, 45.0},
    {"comma-separated pairs", ".options temp=85, tnom=45\n", false, 85.0, 45.0},
    {"a subcircuit not instantiated sets nothing",
     ".subckt wrap a b\n.temp 110\n.options temp=120 tnom=45\nr1 a b 1\n.ends\n", false, std::nullopt,
     std::nullopt},
    {"an instantiated subcircuit's .temp comes after the kit",
     ".subckt wrap a b\n.temp 110\nr1 a b 1\n.ends\n.temp 50\n", true, 110.0, std::nullopt},
    {"its options count in their place",
     ".options temp=50\n.subckt wrap a b\n.options temp=110 tnom=45\nr1 a b 1\n.ends\n", true, 110.0, 45.0},
    {"and lose to later lines", ".subckt wrap a b\n.options temp=110\nr1 a b 1\n.ends\n.options temp=50\n",
     true, 50.0, std::nullopt},
    {"a subcircuit defined inside it is its own",
     ".subckt wrap a b\n.subckt inner a b\n.temp 90\nr1 a b 1\n.ends\nr1 a b 1\n.ends\n", true, std::nullopt,
     std::nullopt},
};

// The temperatures ngspice reports for a netlist including the kit at `path`.
std::optional<std::pair<double, double>> ngspice_temperatures(const TempDir& dir, const std::string& path,
                                                              bool instantiated) {
    const std::string deck =
        dir.write("deck.cir", "temperatures\n.include " + path + "\nv1 a 0 1\nr0 a 0 1\n" +
                                  (instantiated ? "x1 a 0 wrap\n" : "") + ".control\nop\n.endc\n.end\n");
    std::istringstream lines(command_output("cd '" + dir.path().string() + "' && ngspice -b deck.cir 2>&1"));
    for (std::string line; std::getline(lines, line);) {
        double temp = 0.0, tnom = 0.0;
        if (std::sscanf(line.c_str(), "Doing analysis at TEMP = %lf and TNOM = %lf", &temp, &tnom) == 2)
            return std::pair{temp, tnom};
    }
    return std::nullopt;
}

}  // namespace

TEST(ModelParserTemperature, AsNgspiceTakesThem) {
    for (const Case& c : kCases) {
        const mp::LogicalLines lines = mp::join_continuation_lines(c.kit);
        const mp::KitTemperatures read = mp::kit_temperatures(lines, c.instantiated ? "WRAP" : "");
        EXPECT_EQ(read.temp, c.temp) << c.label;
        EXPECT_EQ(read.tnom, c.tnom) << c.label;
    }
}

TEST(ModelParserTemperature, NgspiceAgrees) {
    if (!have_ngspice()) GTEST_SKIP() << "ngspice not installed";
    TempDir dir;
    for (const Case& c : kCases) {
        const std::string path = dir.write("kit.lib", c.kit);
        const auto reported = ngspice_temperatures(dir, path, c.instantiated);
        ASSERT_TRUE(reported) << c.label;
        EXPECT_NEAR(reported->first, c.temp.value_or(27.0), 1e-9) << c.label;
        EXPECT_NEAR(reported->second, c.tnom.value_or(27.0), 1e-9) << c.label;
    }
}

TEST(ModelParserTemperature, OnlyTheLinesNgspiceReadsOfAKit) {
    TempDir dir;
    const std::string path = dir.write("kit.lib",
                                       ".temp 40\n"
                                       ".lib hot\n.temp 125\n.options tnom=30\n.endl hot\n"
                                       ".lib cold\n.options temp=-40\n.endl cold\n");
    const auto read = [&](std::optional<std::string_view> section) {
        const auto text = mp::read_kit_text(path, section);
        EXPECT_TRUE(text);
        return text ? mp::kit_temperatures(*text) : mp::KitTemperatures{};
    };
    // Read whole, a file is what lies outside its sections; a section is its own lines.
    EXPECT_EQ(read(std::nullopt), (mp::KitTemperatures{40.0, std::nullopt}));
    EXPECT_EQ(read("HOT"), (mp::KitTemperatures{125.0, 30.0}));
    EXPECT_EQ(read("cold"), (mp::KitTemperatures{-40.0, std::nullopt}));
}
