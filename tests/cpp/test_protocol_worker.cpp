// The worker's pieces that run without ngspice: output capture, the ".end"
// rule, measures, temp-file names, the benchmark line, vector copies.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/text.h"
#include "ngspice/dylib.h"
#include "ngspice/worker.h"

using namespace morva;
using namespace morva::ngspice;

TEST(WorkerOutput, ErrorLinesAndFirstError) {
    EXPECT_TRUE(is_error_line("stderr Error: unknown subckt"));
    EXPECT_TRUE(is_error_line("stderr something ERROR later"));
    EXPECT_TRUE(is_error_line("ERROR at start"));
    EXPECT_TRUE(is_error_line("error"));
    EXPECT_FALSE(is_error_line("stdout no error here"));
    EXPECT_FALSE(is_error_line("stderr Warning: nothing bad"));
    EXPECT_TRUE(is_error_line("stderr tran simulation(s) aborted"));
    EXPECT_FALSE(is_error_line("stderr run simulation interrupted"));  // a pause asked for
    EXPECT_FALSE(is_error_line("stdout run simulation(s) aborted"));
    EXPECT_TRUE(is_error_line("stderr rn: no such command available in ngspice"));
    EXPECT_FALSE(is_error_line("stdout rn: no such command available in ngspice"));
    EXPECT_FALSE(is_error_line("stderr"));
    EXPECT_FALSE(is_error_line(""));

    SimState s;
    record_output(s, "stdout fine");
    record_output(s, "stderr Error: first");
    record_output(s, "");
    record_output(s, "stderr Error: second");
    EXPECT_TRUE(s.had_error);
    EXPECT_EQ(s.first_error, "stderr Error: first");
    EXPECT_EQ(s.log.size(), 4u);

    record_controlled_exit(s, -1);
    EXPECT_EQ(s.log.back(), "ngspice requested controlled exit with status -1");
    EXPECT_EQ(s.first_error, "stderr Error: first");
    EXPECT_TRUE(s.exit_requested);
    s.reset();
    EXPECT_TRUE(s.log.empty());
    EXPECT_FALSE(s.had_error);
    EXPECT_FALSE(s.first_error.has_value());
    EXPECT_TRUE(s.exit_requested);  // cleared only by a reload
    record_controlled_exit(s, 1);
    EXPECT_EQ(s.first_error, "ngspice requested controlled exit with status 1");
}

TEST(WorkerOutput, LogStaysWithinItsLimitAndStillSeesErrors) {
    SimState s;
    const std::string chatter(1 << 20, 'y');
    for (int i = 0; i < 200; ++i) record_output(s, "stdout " + chatter);
    record_output(s, "stderr Error: after the limit");
    record_output(s, "stdout vmax = 1.5");
    std::size_t bytes = 0;
    for (const std::string& line : s.log) bytes += line.size();
    EXPECT_LT(bytes, SimState::kLogLimit);
    EXPECT_EQ(s.first_error, "stderr Error: after the limit");
    EXPECT_EQ(s.log.back(), "stdout vmax = 1.5");
    for (int i = 0; i < 200; ++i) record_output(s, "stdout x = " + chatter);
    bytes = 0;
    for (const std::string& line : s.log) bytes += line.size();
    EXPECT_LT(bytes, 2 * SimState::kLogLimit);
    s.reset();
    record_output(s, "stdout " + chatter);
    EXPECT_EQ(s.log.size(), 1u);
}

TEST(WorkerOutput, AnnouncedNamesKeepOnlyTheLastCall) {
    char time[] = "time", out[] = "out", in[] = "in";
    VecInfo a{0, time, true, nullptr, nullptr}, b{1, nullptr, true, nullptr, nullptr},
        c{2, out, true, nullptr, nullptr};
    VecInfo* first[] = {&a, nullptr, &b, &c};
    VecInfoAll all{nullptr, nullptr, nullptr, nullptr, 4, first};
    SimState s;
    record_init_data(s, &all);
    EXPECT_EQ(s.announced_names, (std::vector<std::string>{"time", "out"}));
    VecInfo d{0, in, true, nullptr, nullptr};
    VecInfo* second[] = {&d};
    VecInfoAll again{nullptr, nullptr, nullptr, nullptr, 1, second};
    record_init_data(s, &again);
    EXPECT_EQ(s.announced_names, (std::vector<std::string>{"in"}));
}

TEST(WorkerNetlist, EndCardRule) {
    EXPECT_TRUE(has_end_card(trim_end_whitespace("t\nR1 a 0 1\n.END  \n\n  \t")));
    EXPECT_TRUE(has_end_card(trim_end_whitespace("t\r\n  .end\r\n")));
    EXPECT_TRUE(has_end_card(".end"));
    EXPECT_FALSE(has_end_card(trim_end_whitespace("t\n.end\n* comment\n")));
    EXPECT_FALSE(has_end_card(trim_end_whitespace("t\n.ends\n")));
    EXPECT_FALSE(has_end_card(trim_end_whitespace("")));
    EXPECT_FALSE(has_end_card(trim_end_whitespace("t\n.end.")));
    // Unicode whitespace counts as whitespace.
    EXPECT_EQ(trim_whitespace("\xc2\xa0 x \xe3\x80\x80"), "x");
}

TEST(WorkerNetlist, LinesForTheLibrary) {
    EXPECT_EQ(netlist_lines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(netlist_lines(std::string("x\0y\n.end", 8)), (std::vector<std::string>{"x y", ".end"}));
    EXPECT_EQ(netlist_lines("a\r"), (std::vector<std::string>{"a\r"}));
}

TEST(WorkerNetlist, TempFileNamesStayInTheirDirectory) {
    EXPECT_EQ(temp_netlist_name(42, "py-7"), ".morva_42_py-7.cir");
    EXPECT_EQ(temp_netlist_name(42, "../../etc/x y"), ".morva_42_.._.._etc_x_y.cir");
    EXPECT_EQ(temp_netlist_name(1, "\xc2\xb5"), ".morva_1___.cir");
    EXPECT_EQ(join_path("", ".f"), ".f");
    EXPECT_EQ(join_path("dir/", ".f"), "dir/.f");
    EXPECT_EQ(join_path("/a/b", ".f"), "/a/b/.f");
}

TEST(WorkerNetlist, RelativeFilesAreNamedAsFromTheNamedDirectory) {
    // The working directory (the test's) holds no such files.
    EXPECT_EQ(anchor_relative_files(".include a.inc\n .INC 'b c.inc' $ x\n.lib k.lib tt\n.lib tt\n"
                                    ".include /abs.inc\n.control\n.include in.inc\n.endc\nx a.inc",
                                    "d/"),
              ".include d/a.inc\n .INC 'd/b c.inc' $ x\n.lib d/k.lib tt\n.lib tt\n"
              ".include /abs.inc\n.control\n.include in.inc\n.endc\nx a.inc");
    EXPECT_EQ(anchor_relative_files(".include a.inc\n", ""), ".include a.inc\n");
}

TEST(WorkerNetlist, NgspiceErrorLinesSayWhy) {
    const std::vector<std::string> log{"stdout Circuit: x",
                                       "stderr Note: No compatibility mode selected!",
                                       "stderr Netlist line no. 3:",
                                       "stderr Undefined parameter [fnoicor]",
                                       "stderr Netlist line no. 3:",
                                       "stderr Undefined parameter [fnoicor]",
                                       "stderr Warning: k2 ignored",
                                       "stderr Cannot compute substitute",
                                       "stderr a",
                                       "stderr b",
                                       "stderr c",
                                       "stderr d"};
    EXPECT_EQ(ngspice_error_lines(log), "Undefined parameter [fnoicor]; Cannot compute substitute; a; b; c");
    EXPECT_EQ(ngspice_error_lines({"stdout Error: on stdout only"}), "");
}

TEST(WorkerMeasures, LinesThatAreAndAreNotMeasures) {
    const std::vector<std::string> log = {
        "stdout rise = 1.5e-9 targ= 2e-9",
        "stdout delay = FAILED",
        "stdout gain = 12.5dB",
        "stdout v(out) = 1.2",
        "avg_i = nan",
        "  stdout vmax                =  7.179830e-01 at=  3.001300e-06  ",
        "stdout tdelay = 6.931531e-07 targ= 1.2e-6 trig= 5e-7",
        "stdout no equals sign",
        "stdout empty =",
        "stdout  = 1",
        "stdout big = 1e400",
        "stdout x = -INF",
        "stdout suffix = 1m",
        "stdout rise = 2",
        "stderr err_m = +.5E+1",
        "stdout hex = 0x10",
        "stdout µm = 3",
        "stdout a\u00a0b = 4",             // whitespace inside the name
        "stdout ok\u3000=\u20094\u00a0V",  // whitespace around the value
    };
    const std::vector<Measure> m = extract_measures(log);
    ASSERT_EQ(m.size(), 10u);
    EXPECT_EQ(m[0], (Measure{"rise", 1.5e-9}));
    EXPECT_EQ(m[1].first, "avg_i");
    EXPECT_TRUE(std::isnan(m[1].second));
    EXPECT_EQ(m[2], (Measure{"vmax", 0.717983}));
    EXPECT_EQ(m[3], (Measure{"tdelay", 6.931531e-07}));
    EXPECT_EQ(m[4], (Measure{"big", std::numeric_limits<double>::infinity()}));
    EXPECT_EQ(m[5], (Measure{"x", -std::numeric_limits<double>::infinity()}));
    EXPECT_EQ(m[6], (Measure{"rise", 2.0}));
    EXPECT_EQ(m[7], (Measure{"err_m", 5.0}));
    EXPECT_EQ(m[8], (Measure{"µm", 3.0}));
    EXPECT_EQ(m[9], (Measure{"ok", 4.0}));
}

TEST(WorkerBench, SwitchAndLineFormat) {
    EXPECT_TRUE(bench_enabled("1"));
    EXPECT_TRUE(bench_enabled("TRUE"));
    EXPECT_TRUE(bench_enabled("tRuE"));
    for (const char* off : {"yes", "0", "true ", "", "2"}) EXPECT_FALSE(bench_enabled(off)) << off;
    EXPECT_FALSE(bench_enabled(nullptr));

    BenchTotals t;
    t.n = 3;
    t.parse = std::chrono::microseconds(50);
    t.circ = std::chrono::microseconds(1234567);
    t.cmd = std::chrono::milliseconds(2);
    t.fs_write = std::chrono::milliseconds(10);
    EXPECT_EQ(bench_line(77, t),
              "[worker-bench pid=77] n=3 total=  1236.6ms  parse=   0.1  precmd=   0.0  circ=  1234.6  cmd=  "
              "   2.0  "
              "harvest=   0.0  write=   0.0  destroy=   0.0  fs_write=  10.0\n");
}

TEST(WorkerHarvest, CopiesOfLibraryVectors) {
    double real[] = {1, 2, 3};
    NgComplex cplx[] = {{1, -1}, {2, -2}, {3, -3}};
    VectorInfo info{nullptr, 0, 0, real, nullptr, 3};
    VectorData v = extract_vector_data(info, "TIME");
    EXPECT_TRUE(v.is_scale);
    EXPECT_EQ(v.real, (std::vector<double>{1, 2, 3}));
    EXPECT_FALSE(v.complex.has_value());

    info.v_compdata = cplx;
    v = extract_vector_data(info, "ac1.frequency");
    EXPECT_FALSE(v.is_scale);
    ASSERT_TRUE(v.complex.has_value());
    EXPECT_EQ(v.real, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ((*v.complex)[2], std::complex<double>(3, -3));

    VectorInfo empty{nullptr, 0, 0, nullptr, nullptr, 5};
    v = extract_vector_data(empty, "v-sweep");
    EXPECT_TRUE(v.is_scale);
    EXPECT_TRUE(v.real.empty());
    info.v_length = -4;
    EXPECT_TRUE(extract_vector_data(info, "x").real.empty());
    EXPECT_TRUE(is_scale_name("Frequency"));
    EXPECT_FALSE(is_scale_name("freq"));
}

TEST(WorkerLibrary, LoadFailuresNameTheFileOrSymbol) {
    auto missing = Ngspice::load("/nonexistent/lib.so");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(
        missing.error().text(),
        "failed to load libngspice: /nonexistent/lib.so: cannot open shared object file: No such file or "
        "directory");
#ifdef __linux__
    auto not_ngspice = Ngspice::load("libm.so.6");
    ASSERT_FALSE(not_ngspice.ok());
    EXPECT_NE(not_ngspice.error().detail.find("undefined symbol: ngSpice_Init"), std::string::npos);
#endif
}
