// The retry ladder and the generator over a scripted simulator: it reads the
// sweeps and bias values out of each request as ngspice would and answers
// with vectors whose values encode their own bias point, so that assembly can
// be checked value by value; chosen requests fail on demand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/text.h"
#include "lut/generate_ngspice.h"
#include "lut/pair_tasks.h"
#include "test_model_parser_support.h"

using namespace morva;
using namespace morva::lut;
using namespace morva::lut::generate_ngspice;
using morva::ngspice::SimulationRequest;
using morva::ngspice::SimulationResponse;
using morva::ngspice::VectorData;

namespace {

double number(std::string_view s) {
    double v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        const std::size_t b = i;
        while (i < s.size() && s[i] != ' ') ++i;
        if (i > b) out.push_back(s.substr(b, i - b));
    }
    return out;
}

std::string param_value(std::string_view line, std::string_view key) {
    for (std::string_view w : words(line)) {
        if (w.starts_with(key) && w.size() > key.size() && w[key.size()] == '=')
            return std::string(w.substr(key.size() + 1));
    }
    return {};
}

// The value a device at this bias "has": distinct for every coordinate.
double device_value(double w, double l, double vbs, double vgs, double vds) {
    return w * 1e6 + l * 1e7 * 10 + vbs * 100 + vgs * 10 + vds;
}

struct Plot {
    double vbs = 0;
    SweepRange vgs, vds;
    std::string saved;  // what the circuit saved when it was swept
};

// What a circuit saves after `command`, as ngspice keeps it: the netlist's
// .save lines and the save commands since, all gone after "delete all".
void apply_saves(std::string& saved, const std::string& command) {
    if (command == "delete all") {
        std::string kept;
        std::size_t start = 0;
        while (start < saved.size()) {
            std::size_t nl = saved.find('\n', start);
            if (nl == std::string::npos) nl = saved.size();
            if (!std::string_view(saved).substr(start, nl - start).starts_with(".save"))
                kept += saved.substr(start, nl + 1 - start);
            start = nl + 1;
        }
        saved = std::move(kept);
    } else if (command.starts_with("save ")) {
        saved += "\n.save " + command.substr(5) + "\n";
    }
}

// What the drain carries beyond the channel at (Vgs, Vds, Vbs); none when
// empty.
using Beyond = std::function<double(double, double, double)>;

// Answers requests as ngspice would for the characterisation texts.
SimulationResponse simulate(const SimulationRequest& req, const Beyond& beyond = {}) {
    double w = 0, l = 0, vbs = 0, vds_dc = 0;
    std::vector<Plot> plots;
    std::optional<Plot> deck;  // the netlist's own sweep, swept on "run"
    std::size_t start = 0;
    while (start < req.netlist.size()) {
        std::size_t nl = req.netlist.find('\n', start);
        if (nl == std::string::npos) nl = req.netlist.size();
        const std::string_view line(req.netlist.data() + start, nl - start);
        start = nl + 1;
        if (line.starts_with("M1 ") || line.starts_with("X1 ")) {
            w = number(param_value(line, "W"));
            l = number(param_value(line, "L"));
        } else if (line.starts_with("Vbs ")) {
            vbs = number(words(line).back());
        } else if (line.starts_with("Vds ")) {
            vds_dc = number(words(line).back());
        } else if (line.starts_with(".dc Vgs ")) {  // a probe: Vgs alone at a fixed Vds
            const auto t = words(line);
            deck = Plot{vbs, {number(t[2]), number(t[3]), number(t[4])}, {vds_dc, vds_dc, 1.0}, {}};
        } else if (line.starts_with(".dc ")) {
            const auto t = words(line);
            deck = Plot{vbs,
                        {number(t[6]), number(t[7]), number(t[8])},
                        {number(t[2]), number(t[3]), number(t[4])},
                        {}};
        }
    }
    std::string saved = req.netlist;
    for (const std::string& cmd : req.commands) {
        const auto t = words(cmd);
        apply_saves(saved, cmd);
        if (cmd == "run" && deck) {
            plots.push_back(*deck);
            plots.back().saved = saved;
        }
        if (cmd.starts_with(" alter @Vbs[dc] = ")) vbs = number(t.back());
        if (cmd.starts_with("dc "))
            plots.push_back({vbs,
                             {number(t[6]), number(t[7]), number(t[8])},
                             {number(t[2]), number(t[3]), number(t[4])},
                             saved});
    }
    SimulationResponse r;
    r.id = req.id;
    r.success = true;
    r.timing.cmd_ns = 1000;
    const auto wanted = [&](const std::string& name, const std::string& bare) {
        if (!req.return_vectors) return true;
        for (const std::string& e : *req.return_vectors) {
            if (ascii_iequals(e, name) || ascii_iequals(e, bare)) return true;
        }
        return false;
    };
    for (std::size_t p = 0; p < plots.size(); ++p) {
        const std::string prefix = plots.size() >= 2 ? fmt::cat("dc", p + 1, ".") : std::string();
        const std::vector<double> vgs = sweep_axis(plots[p].vgs), vds = sweep_axis(plots[p].vds);
        // Id = -vds#branch; the channel carries all of it but `beyond`. Its gm
        // is given as 10.5 and its gds as 1.25, where differences of Id give
        // 10 and 1: the table shows which it holds.
        std::vector<std::pair<std::string, std::function<double(double)>>> series{
            {"vds#branch", [](double x) { return -x; }}};
        const double vbs = plots[p].vbs;
        const std::pair<std::string_view, std::function<double(double)>> channel[] = {
            {"gm", [](double) { return 10.5; }}, {"gds", [](double) { return 1.25; }}, {"id", [](double x) {
                                                                                            return x;
                                                                                        }}};
        for (const auto& [name, value] : channel) {
            const std::string bare = fmt::cat("@m1[", name, "]");
            if (plots[p].saved.find(bare) != std::string::npos) series.emplace_back(bare, value);
        }
        for (std::size_t k = 0; k < kOpParamCount; ++k) {
            const std::string bare = fmt::cat("@m1[", KNOWN_OP_PARAMS[k], "]");
            const double offset = 1000.0 * (k + 1);
            if (plots[p].saved.find(bare) != std::string::npos)
                series.emplace_back(bare, [offset](double x) { return x + offset; });
        }
        for (const auto& [bare, value] : series) {
            if (!wanted(prefix + bare, bare)) continue;
            VectorData v;
            v.name = prefix + bare;
            for (double g : vgs) {
                for (double d : vds) {
                    const double x = device_value(w, l, vbs, g, d);
                    const bool branch = bare == "vds#branch";
                    v.real.push_back(branch && beyond ? -(x + beyond(g, d, vbs)) : value(x));
                }
            }
            r.vectors.push_back(std::move(v));
        }
    }
    return r;
}

// Collects the lines a generation writes.
class Recorder final : public Messages {
public:
    void out(const std::string& line) override {
        std::lock_guard lock(mutex);
        stdout_text += line;
    }
    // The scripted simulator lists no device, so every probe warns that it
    // found none: that warning is kept apart from the rest of stderr.
    void err(const std::string& line) override {
        std::lock_guard lock(mutex);
        (line.find("could not auto-detect flattened device path") != std::string::npos ? detect_text
                                                                                         : stderr_text) += line;
    }
    std::mutex mutex;
    std::string stdout_text, stderr_text, detect_text;
};

// A fault: when `matches` holds for a request, `fault` rewrites the
// response or replaces it with an error.
struct Fault {
    std::function<bool(const SimulationRequest&)> matches;
    std::function<SimulationOutcome(SimulationResponse)> fault;
};

struct Scripted {
    std::vector<Fault> faults;
    Beyond beyond;
    std::mutex mutex;
    std::vector<std::string> ids;
    std::vector<SimulationRequest> requests;
    // Follow-ups answered on a held circuit: their ids, and the requests as
    // sent (without a netlist). With `drop_holds` a worker has let every
    // circuit go by the time a follow-up comes.
    std::vector<SimulationRequest> follow_ups;
    bool drop_holds = false;
    // Every request in the order sent: by its id, a follow-up's marked "@".
    std::vector<std::string> events;
    // What each load of a netlist reports it took: next to nothing, unless
    // a test makes the kit slow to load.
    std::uint64_t load_ns = 1;

    SimulationOutcome answer(const SimulationRequest& req) {
        SimulationResponse r = simulate(req, beyond);
        for (const Fault& f : faults) {
            if (f.matches(req)) return f.fault(std::move(r));
        }
        return r;
    }
    SimulationOutcome record(SimulationRequest req) {
        {
            std::lock_guard lock(mutex);
            ids.push_back(req.id);
            requests.push_back(req);
            events.push_back(req.id);
        }
        SimulationOutcome outcome = answer(req);
        if (outcome) outcome->timing.circ_ns = load_ns;
        return outcome;
    }

    // A circuit kept after a successful answer: follow-ups run on the
    // netlist it was loaded from.
    class Circuit final : public HeldCircuit {
    public:
        Circuit(Scripted& s, std::string netlist) : s_(s), netlist_(std::move(netlist)) {}
        std::optional<SimulationOutcome> follow_up(SimulationRequest request, bool hold_again,
                                                   std::unique_ptr<HeldCircuit>* next) override {
            if (s_.drop_holds) return std::nullopt;
            {
                std::lock_guard lock(s_.mutex);
                s_.follow_ups.push_back(request);
                s_.events.push_back(request.id + "@");
            }
            request.netlist = netlist_;
            SimulationOutcome outcome = s_.answer(request);
            // The saves it asked for stay with the circuit.
            std::string after = netlist_;
            for (const std::string& command : request.commands) apply_saves(after, command);
            if (hold_again && next && outcome && outcome->success)
                *next = std::make_unique<Circuit>(s_, std::move(after));
            return outcome;
        }

    private:
        Scripted& s_;
        std::string netlist_;
    };

    Simulator simulator(std::uint64_t workers = 2, bool holding = false) {
        Simulator out{[this](SimulationRequest req) { return record(std::move(req)); }, workers, {}, {}};
        if (holding) {
            out.run_holding = [this](SimulationRequest req) -> HeldOutcome {
                std::string netlist = req.netlist;
                SimulationOutcome outcome = record(std::move(req));
                std::unique_ptr<HeldCircuit> circuit;
                if (outcome && outcome->success)
                    circuit = std::make_unique<Circuit>(*this, std::move(netlist));
                return {std::move(outcome), std::move(circuit)};
            };
        }
        return out;
    }
    std::vector<std::string> follow_up_ids() {
        std::vector<std::string> out;
        for (const SimulationRequest& r : follow_ups) out.push_back(r.id);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> ids_starting(std::string_view prefix) {
        std::vector<std::string> out;
        for (const std::string& id : ids)
            if (id.starts_with(prefix)) out.push_back(id);
        return out;
    }
};

std::function<bool(const SimulationRequest&)> id_is(std::string id) {
    return [id](const SimulationRequest& r) { return r.id == id; };
}

std::function<SimulationOutcome(SimulationResponse)> fails_with(std::string error,
                                                                std::vector<std::string> log = {}) {
    return [error, log](SimulationResponse r) -> SimulationOutcome {
        r.success = false;
        r.vectors.clear();
        if (!error.empty()) r.error = error;
        r.log = log;
        return r;
    };
}

// A worker that crashes under the request: the first `times` times it is
// sent, every time by default.
std::function<SimulationOutcome(SimulationResponse)> pool_error(int times = std::numeric_limits<int>::max()) {
    auto sent = std::make_shared<std::atomic<int>>(0);
    return [sent, times](SimulationResponse r) -> SimulationOutcome {
        if (sent->fetch_add(1) >= times) return r;
        return err(NgspiceError::worker_crashed("gone"));
    };
}

bool any_request(const SimulationRequest&) { return true; }

// The response without the channel's small-signal values.
SimulationOutcome without_small_signal(SimulationResponse r) {
    std::erase_if(r.vectors, [](const VectorData& v) { return v.name.find("@m1[g") != std::string::npos; });
    return r;
}

LutConfig small_config() {
    LutConfig c;
    c.model_card = ".model nch nmos level=1";
    c.widths = {1e-6, 2e-6};
    c.lengths = {5e-7, 1e-6};
    c.vbs_values = {0.0, -0.5};
    c.vgs = {0.0, 0.9, 0.1};
    c.vds = {0.0, 1.0, 0.5};
    c.op_params = {"cgg", "vth"};
    return c;
}

// One width, one length, one Vbs value: one task of one chunk.
LutConfig one_point_config() {
    LutConfig c = small_config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    c.vbs_values = {0.0};
    return c;
}

void expect_table_matches_device(const TransistorLut& t, bool with_ops) {
    ASSERT_EQ(t.shape(), (std::array<std::size_t, 5>{2, 2, 2, 10, 3}));
    const std::size_t cgg = *op_param_index("cgg"), vth = *op_param_index("vth");
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 2; ++b)
            for (std::size_t c = 0; c < 2; ++c)
                for (std::size_t g = 0; g < 10; ++g)
                    for (std::size_t d = 0; d < 3; ++d) {
                        const double x =
                            device_value(t.widths[a], t.lengths[c], t.vbs_values[b], t.vgs[g], t.vds[d]);
                        ASSERT_NEAR(t.id.at(a, b, c, g, d), x, 1e-12 * std::abs(x)) << a << b << c << g << d;
                        if (!with_ops) continue;
                        ASSERT_NEAR(t.op[cgg].at(a, b, c, g, d), x + 1000.0, 1e-9);
                        ASSERT_NEAR(t.op[vth].at(a, b, c, g, d), x + 10000.0, 1e-9);
                    }
}

}  // namespace

// The plan, probe, completion and report lines against real ngspice are
// checked from Python (test_characterisation.py); here the assembly value by
// value, and the fallback when the listing names no device.
TEST(LutGenerate, OneRequestPerPairWhenNothingFails) {
    Scripted s;
    Recorder rec;
    auto table = generate_lut(3, s.simulator(), small_config(), rec);
    ASSERT_TRUE(table) << table.error().text();
    expect_table_matches_device(*table, true);
    EXPECT_EQ(table->op[*op_param_index("cgs")].dims, (std::array<std::size_t, 5>{2, 2, 2, 0, 0}));
    // gm and gds: the simulator's own (the channel carries all of Id).
    EXPECT_EQ(table->gm.at(1, 1, 1, 4, 2), 10.5);
    EXPECT_EQ(table->gds.at(0, 0, 0, 0, 0), 1.25);
    auto tasks = s.ids_starting("lut-");
    std::sort(tasks.begin(), tasks.end());
    EXPECT_EQ(tasks, (std::vector<std::string>{"lut-w0-l0", "lut-w0-l1", "lut-w1-l0", "lut-w1-l1"}));
    // One request for the device, beside it one per requested parameter.
    EXPECT_TRUE(s.ids_starting("detect").empty());
    auto probes = s.ids_starting("probe-");
    std::sort(probes.begin(), probes.end());
    EXPECT_EQ(probes, (std::vector<std::string>{"probe-cgg", "probe-device", "probe-vth"}));
    EXPECT_EQ(rec.stderr_text, "");
    EXPECT_EQ(rec.detect_text, "  warning: could not auto-detect flattened device path; falling back to 'm1'\n");
    LutConfig sub = small_config();
    sub.subcircuit = true;
    sub.device_name = "mn0";
    EXPECT_EQ(guessed_device_path(sub), "m.x1.mn0");
}

// The rungs' lines against real ngspice are checked from Python
// (test_characterisation_retry.py); here the fallbacks it cannot provoke,
// and assembly value by value after them.
TEST(LutGenerate, FallbacksThatRealNgspiceDoesNotProvoke) {
    Scripted s;
    Recorder rec;
    const LutConfig c = small_config();
    // Pair (0, 0): chunk 2's multi-Vbs response comes back unreadable.
    s.faults.push_back({id_is("lut-w0-l0"), fails_with("stderr Error: x")});
    s.faults.push_back({id_is("lut-w0-l0-c2"), [](SimulationResponse r) -> SimulationOutcome {
                            std::erase_if(r.vectors,
                                          [](const VectorData& v) { return v.name == "dc2.vds#branch"; });
                            return r;
                        }});
    // Pair (0, 1): a crashed worker on rung 1 says nothing about the device:
    // the request runs again, on a fresh worker, without a word.
    s.faults.push_back({id_is("lut-w0-l1"), pool_error(1)});
    // Pair (1, 0): an unreadable all-chunks response.
    s.faults.push_back({id_is("lut-w1-l0"), [](SimulationResponse r) -> SimulationOutcome {
                            r.vectors.erase(r.vectors.begin());
                            return r;
                        }});
    auto table = generate_lut(3, s.simulator(), c, rec);
    ASSERT_TRUE(table) << table.error().text();
    expect_table_matches_device(*table, true);

    const std::string& e = rec.stderr_text;
    EXPECT_NE(
        e.find("  [retry] W=1.000e-6 L=5.000e-7 chunk 2: multi-plot extraction failed, retrying per Vbs\n"),
        std::string::npos)
        << e;
    EXPECT_NE(
        e.find("  [retry] W=2.000e-6 L=5.000e-7: all-chunks extraction failed, falling back to per-chunk\n"),
        std::string::npos);
    EXPECT_EQ(e.find("W=1.000e-6 L=1.000e-6"), std::string::npos);  // the silent rerun
    EXPECT_EQ(s.ids_starting("lut-w0-l1"), (std::vector<std::string>{"lut-w0-l1", "lut-w0-l1"}));
    EXPECT_EQ(s.ids_starting("lut-w0-l0-v"),
              (std::vector<std::string>{"lut-w0-l0-v0-c2", "lut-w0-l0-v1-c2"}));
}

// Where the simulator reports no small-signal values for the device, gm and
// gds are differences of Id, said once; a response that lacks them where the
// probe found them contradicts the probe and ends the generation.
TEST(LutGenerate, ConductancesFallBackToDifferencesWithOneLine) {
    Scripted s;
    Recorder rec;
    s.faults.push_back({any_request, without_small_signal});
    auto table = generate_lut(3, s.simulator(), small_config(), rec);
    ASSERT_TRUE(table) << table.error().text();
    expect_table_matches_device(*table, true);
    EXPECT_EQ(rec.stderr_text,
              "  warning: the simulator reports no small-signal values for 'm1': gm and gds are differences "
              "of Id over the grid steps\n");
    EXPECT_NEAR(table->gm.at(0, 1, 1, 4, 2), 10.0, 1e-9);
    EXPECT_NEAR(table->gds.at(0, 1, 1, 0, 0), 1.0, 1e-9);
    EXPECT_NEAR(table->gm.at(1, 1, 1, 4, 2), 10.0, 1e-9);

    Scripted some;
    Recorder said;
    some.faults.push_back({id_is("lut-w0-l1"), without_small_signal});
    auto contradicted = generate_lut(3, some.simulator(), small_config(), said);
    ASSERT_FALSE(contradicted);
    EXPECT_EQ(contradicted.error().text(),
              "simulation failed: ngspice's answers contradict what the probe found of 'm1': no values of "
              "'@m1[gm]' came back for request 'lut-w0-l1'");
    EXPECT_EQ(said.stderr_text, "");
    EXPECT_EQ(said.stdout_text.find("tasks completed"), std::string::npos);
}

// Along an axis of one point a difference of Id is no slope: without the
// channel's values the table says NaN there (and so does the line), never 0;
// with them a one-point axis keeps the channel's own.
TEST(LutGenerate, AnAxisOfOnePointNeverGivesAZeroSlope) {
    for (const auto& [vgs, vds, line] : std::vector<std::tuple<SweepRange, SweepRange, std::string>>{
             {{0.0, 0.9, 0.1},
              {0.5, 0.5, 0.5},
              "gm is the difference of Id over the Vgs step and gds NaN (the Vds "
              "axis has one point)"},
             {{0.4, 0.4, 0.1},
              {0.0, 1.0, 0.5},
              "gds is the difference of Id over the Vds step and gm NaN (the "
              "Vgs axis has one point)"},
             {{0.4, 0.4, 0.1}, {0.5, 0.5, 0.5}, "gm and gds are NaN (both axes have one point)"}}) {
        LutConfig c = small_config();
        c.vgs = vgs;
        c.vds = vds;
        for (bool values : {false, true}) {
            Scripted s;
            Recorder rec;
            if (!values) s.faults.push_back({any_request, without_small_signal});
            auto table = generate_lut(3, s.simulator(), c, rec);
            ASSERT_TRUE(table) << table.error().text();
            EXPECT_EQ(rec.stderr_text,
                      values ? ""
                             : fmt::cat("  warning: the simulator reports no small-signal values "
                                        "for 'm1': ",
                                        line, "\n"));
            const std::size_t n_vgs = table->vgs.size(), n_vds = table->vds.size();
            for (double gm : table->gm.data) {
                if (values)
                    EXPECT_EQ(gm, 10.5);
                else if (n_vgs == 1)
                    EXPECT_TRUE(std::isnan(gm));
                else
                    EXPECT_NEAR(gm, 10.0, 1e-9);
            }
            for (double gds : table->gds.data) {
                if (values)
                    EXPECT_EQ(gds, 1.25);
                else if (n_vds == 1)
                    EXPECT_TRUE(std::isnan(gds));
                else
                    EXPECT_NEAR(gds, 1.0, 1e-9);
            }
        }
    }
}

// The small-signal probe sweeps to the end of the Vds axis in a few large
// steps; when ngspice fails there (the device's one probe as well), each
// question is asked on its own, and the probe at mid Vds alone serves.
TEST(LutGenerate, SmallSignalProbeFallsBackToMidVds) {
    Scripted s;
    Recorder rec;
    s.faults.push_back({[](const SimulationRequest& r) {
                            return (r.id == "probe-device" || r.id == "probe-small-signal") &&
                                   r.netlist.find("\n.dc Vds ") != std::string::npos;
                        },
                        fails_with("stderr Error: no convergence")});
    auto table = generate_lut(3, s.simulator(), small_config(), rec);
    ASSERT_TRUE(table) << table.error().text();
    EXPECT_EQ(s.ids_starting("probe-device").size(), 1u);
    EXPECT_EQ(s.ids_starting("detect-dev-path").size(), 1u);
    EXPECT_EQ(s.ids_starting("probe-small-signal").size(), 2u);
    EXPECT_EQ(rec.stderr_text, "");
    EXPECT_EQ(table->gm.at(1, 1, 1, 4, 2), 10.5);  // the simulator's own
}

namespace {

// Every plot gains the internal nodes and the values the slopes of a device
// with series resistances need (any values at all: no resistance gives
// them); without `with_gbs`, all but gbs.
std::function<SimulationOutcome(SimulationResponse)> series_vectors(bool with_gbs) {
    return [with_gbs](SimulationResponse r) -> SimulationOutcome {
        std::vector<VectorData> added;
        for (const VectorData& v : r.vectors) {
            const std::size_t at = v.name.find("@m1[gm]");
            if (at == std::string::npos) continue;
            const std::string prefix = v.name.substr(0, at);
            for (const char* name :
                 {"m1#drain", "m1#source", "@m1[gmbs]", "@m1[gbd]", "@m1[gbs]", "@m1[ibd]", "@m1[ibs]"}) {
                if (!with_gbs && std::string_view(name) == "@m1[gbs]") continue;
                VectorData extra{prefix + name, {}, {}, false};
                for (std::size_t k = 0; k < v.real.size(); ++k)
                    extra.real.push_back(std::sin(static_cast<double>(k) + v.real[k]) * 1e-3);
                added.push_back(std::move(extra));
            }
        }
        for (VectorData& v : added) r.vectors.push_back(std::move(v));
        if (!with_gbs)
            std::erase_if(r.vectors, [](const VectorData& v) { return v.name.ends_with("@m1[gbs]"); });
        return r;
    };
}

}  // namespace

// A device with internal drain and source nodes whose drops no series
// resistance of the published form gives (here any values at all): its
// slopes are differences of Id, said in one line; one that lacks a vector
// the slopes need is said so and differenced as well.
TEST(LutGenerate, SeriesResistancesThatCannotBeFittedFallBackToDifferences) {
    for (bool with_gbs : {true, false}) {
        Scripted s;
        Recorder rec;
        s.faults.push_back({any_request, series_vectors(with_gbs)});
        auto table = generate_lut(3, s.simulator(), small_config(), rec);
        ASSERT_TRUE(table) << table.error().text();
        expect_table_matches_device(*table, true);
        EXPECT_NEAR(table->gm.at(0, 1, 1, 4, 2), 10.0, 1e-9);
        EXPECT_NEAR(table->gds.at(1, 0, 1, 5, 1), 1.0, 1e-9);
        bool saved_nodes = false;
        for (const SimulationRequest& req : s.requests) {
            if (req.id.starts_with("lut-"))
                saved_nodes = req.netlist.find("\n.save m1#drain\n") != std::string::npos;
        }
        if (with_gbs) {
            EXPECT_NE(rec.stdout_text.find(
                          "  series resistances: gm, gds and gmbs are the terminal's slopes through them\n"),
                      std::string::npos);
            EXPECT_EQ(
                rec.stderr_text,
                "  warning: in 8 of 8 (W, Vbs, L) blocks the series resistances do not follow the drops "
                "ngspice solved: their gm and gds are differences of Id over the grid steps, gmbs the "
                "channel's\n");
            EXPECT_TRUE(saved_nodes);
        } else {
            EXPECT_EQ(rec.stdout_text.find("series resistances"), std::string::npos);
            EXPECT_EQ(
                rec.stderr_text,
                "  warning: 'm1' reaches its channel through series resistances but reports no gbs: gm and "
                "gds are differences of Id over the grid steps\n");
            EXPECT_FALSE(saved_nodes);
        }
    }
}

// A device whose source reaches the channel through a constant 1 mohm: the
// terminal's slopes in every block but one, where one point gives no
// answer (its internal node came back as NaN). That block falls back whole:
// gm and gds differences of Id, and gmbs the channel's in every chunk, also
// those placed before the point (at Vds = 0, where the internal source lies
// above the drain, the simulator's value for the swapped terminals, turned).
TEST(LutGenerate, ABlockWhoseSlopesCannotAllBeHadFallsBackWhole) {
    const auto source_resistance = [](SimulationResponse r) -> SimulationOutcome {
        std::vector<VectorData> added;
        for (const VectorData& v : r.vectors) {
            const std::size_t at = v.name.find("@m1[gm]");
            if (at == std::string::npos) continue;
            const std::string prefix = v.name.substr(0, at);
            // Id: the drain branch's, or in the probe (which saves no branch) the channel's.
            const VectorData* branch = find_vector(r.vectors, prefix + "vds#branch");
            const VectorData* channel = find_vector(r.vectors, prefix + "@m1[id]");
            VectorData node{prefix + "m1#source", {}, {}, false};
            for (std::size_t k = 0; k < v.real.size(); ++k)  // 1 mohm times Id
                node.real.push_back(1e-3 * (branch ? -branch->real[k] : channel ? channel->real[k] : 1.0));
            if (r.id == "lut-w0-l1" && prefix == "dc2.") node.real[5] = NAN;
            added.push_back(std::move(node));
            for (const char* name : {"@m1[gbd]", "@m1[gbs]", "@m1[ibd]", "@m1[ibs]"})
                added.push_back(
                    VectorData{prefix + name, std::vector<double>(v.real.size(), 0.0), {}, false});
        }
        for (VectorData& v : added) r.vectors.push_back(std::move(v));
        return r;
    };
    Scripted s;
    Recorder rec;
    s.faults.push_back({any_request, source_resistance});
    LutConfig c = small_config();
    c.op_params = {"cgg", "gmbs"};
    c.vgs = {0.0, 2.1, 0.1};  // enough points for the fit without a sweep of its own
    auto table = generate_lut(3, s.simulator(), c, rec);
    ASSERT_TRUE(table) << table.error().text();
    EXPECT_EQ(
        rec.stderr_text,
        "  warning: in 1 of 8 (W, Vbs, L) blocks the series resistances do not follow the drops ngspice "
        "solved: their gm and gds are differences of Id over the grid steps, gmbs the channel's\n");
    const std::size_t gmbs = *op_param_index("gmbs");
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 2; ++b)
            for (std::size_t l = 0; l < 2; ++l) {
                const bool failed = a == 0 && b == 1 && l == 1;  // plot 2: the first chunk at the second Vbs
                for (std::size_t i = 0; i < 10; ++i)
                    for (std::size_t j = 0; j < 3; ++j) {
                        const double x = device_value(table->widths[a], table->lengths[l],
                                                      table->vbs_values[b], table->vgs[i], table->vds[j]);
                        const double channel = x + 7000.0;
                        if (failed) {
                            ASSERT_EQ(table->op[gmbs].at(a, b, l, i, j), j == 0 ? -channel : channel)
                                << i << j;
                            EXPECT_NEAR(table->gm.at(a, b, l, i, j), 10.0, 1e-9);
                        } else {
                            // Through the source resistance: not the channel's.
                            EXPECT_GT(std::abs(table->op[gmbs].at(a, b, l, i, j) - channel), 0.1 * channel)
                                << a << b << l << i << j;
                            EXPECT_LT(table->gm.at(a, b, l, i, j), 10.5 * 0.9);
                        }
                    }
            }
}

// Fewer pairs than workers: a task per Vbs value and chunk, each reaching
// its plots as the whole pair's request would.
TEST(LutGenerate, FewPairsAreSplitPerVbsAndChunk) {
    Scripted s;
    Recorder rec;
    LutConfig c = small_config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    auto table = generate_lut(2, s.simulator(8), c, rec);
    ASSERT_TRUE(table) << table.error().text();
    for (std::size_t b = 0; b < 2; ++b)
        for (std::size_t g = 0; g < 10; ++g)
            for (std::size_t d = 0; d < 3; ++d) {
                const double x = device_value(1e-6, 5e-7, table->vbs_values[b], table->vgs[g], table->vds[d]);
                ASSERT_NEAR(table->id.at(0, b, 0, g, d), x, 1e-12 * std::abs(x)) << b << g << d;
            }
    auto tasks = s.ids_starting("lut-");
    std::sort(tasks.begin(), tasks.end());
    EXPECT_EQ(tasks, (std::vector<std::string>{"lut-w0-l0-part-v0-c0", "lut-w0-l0-part-v0-c1",
                                               "lut-w0-l0-part-v1-c0", "lut-w0-l0-part-v1-c1"}));
    EXPECT_EQ(rec.stderr_text, "");
}

TEST(LutGenerate, ChunkFailureMessagesDependOnTheVbsCount) {
    // One worker: the pair is one task. Its first request fails in ngspice.
    const std::string first =
        "  [retry] W=1.000e-6 L=5.000e-7: all-chunks request failed, falling back to per-chunk\n";
    LutConfig c = one_point_config();
    {
        Scripted s;
        Recorder rec;
        s.faults.push_back({id_is("lut-w0-l0"), fails_with("stderr Error: x")});
        s.faults.push_back({id_is("lut-w0-l0-c0"), fails_with("stderr Error: x")});
        ASSERT_TRUE(generate_lut(1, s.simulator(1), c, rec));
        EXPECT_EQ(rec.stderr_text, first +
                                       "  [retry] W=1.000e-6 L=5.000e-7 chunk 0: full-params sweep crashed, "
                                       "falling back to bisected OP "
                                       "parameter sweeps\n");
        EXPECT_EQ(s.ids_starting("lut-"),
                  (std::vector<std::string>{"lut-w0-l0", "lut-w0-l0-c0", "lut-w0-l0-v0-c0"}));
    }
    c.vbs_values = {0.0, -0.5, -1.0};
    for (const auto& [error, message] : std::vector<std::pair<std::string, std::string>>{
             {"stderr Error: UNKNOWN parameter", "alter @Vbs[dc] not supported, retrying per Vbs"},
             {"stderr Error: x", "multi-Vbs sweep failed, retrying per Vbs"}}) {
        Scripted s;
        Recorder rec;
        s.faults.push_back({id_is("lut-w0-l0"), fails_with("stderr Error: x")});
        s.faults.push_back({id_is("lut-w0-l0-c0"), fails_with(error)});
        ASSERT_TRUE(generate_lut(1, s.simulator(1), c, rec));
        EXPECT_EQ(rec.stderr_text, first + "  [retry] W=1.000e-6 L=5.000e-7 chunk 0: " + message + "\n");
    }
}

// A parameter the probe found is asked for by the ladder's groups: a group
// whose answer lacks it contradicts the probe.
TEST(LutGenerate, GroupResponseLackingAVectorContradictsTheProbe) {
    Scripted s;
    Recorder rec;
    LutConfig c = one_point_config();
    c.op_params = {"cgg", "cgs"};
    s.faults.push_back({[](const SimulationRequest& r) {
                            return !r.id.ends_with("-sub1") && r.id.starts_with("lut-") &&
                                   !r.id.ends_with("idonly");
                        },
                        fails_with("stderr Error: x")});
    s.faults.push_back({[](const SimulationRequest& r) {
                            return r.netlist.find("@m1[cgs]") != std::string::npos && r.id.ends_with("-sub1");
                        },
                        [](SimulationResponse r) -> SimulationOutcome {
                            r.vectors.pop_back();
                            return r;
                        }});
    auto table = generate_lut(1, s.simulator(), c, rec);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().text(),
              "simulation failed: ngspice's answers contradict what the probe found of 'm1': no values of "
              "'@m1[cgs]' came back for request 'lut-w0-l0-v0-c0-sub1'");
    EXPECT_EQ(rec.stderr_text.find("unavailable"), std::string::npos);
}

TEST(LutGenerate, IdOnlyFailuresEndTheGeneration) {
    // The fatal text against real ngspice and the unknown or unsupported
    // parameter names are checked from Python; here a failure without a
    // message, and a pool error returned as it is.
    Scripted s;
    Recorder rec;
    LutConfig c = small_config();
    c.op_params.clear();
    c.vbs_values = {0.0};
    s.faults.push_back(
        {[](const SimulationRequest& r) { return r.id.starts_with("lut-w1-l0"); }, fails_with("")});
    auto table = generate_lut(1, s.simulator(), c, rec);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().text(),
              "simulation failed: W=2.000e-6 L=5.000e-7 Vbs=0.000e0 chunk 0 Id-only failed: (no message)");
    EXPECT_EQ(rec.stdout_text.find("LUT timing breakdown"), std::string::npos);

    Scripted pool;
    pool.faults.push_back({[](const SimulationRequest& r) { return r.id.starts_with("lut-"); },
                           [](SimulationResponse) -> SimulationOutcome {
                               return err(NgspiceError::simulation("timeout after 1s"));
                           }});
    auto timed_out = generate_lut(2, pool.simulator(), small_config(), rec);
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(timed_out.error().text(), "simulation failed: timeout after 1s");
}

TEST(LutGenerate, ChunkCountsAndRefusals) {
    LutConfig c;
    c.vgs = {0.0, 1.8, 0.01};
    EXPECT_EQ(default_chunk_count(c), 2u);
    c.vgs = {0.0, 0.99, 0.01};
    EXPECT_EQ(default_chunk_count(c), 1u);
    c.vgs = {0.0, 1.0, 0.01};
    EXPECT_EQ(default_chunk_count(c), 2u);
    EXPECT_EQ(generation_problem(0, c), "n_chunks must be at least 1");
    EXPECT_FALSE(generation_problem(1, c));
    // A configuration made without resolve_config is checked all the same.
    LutConfig runaway = c;
    runaway.vds = {1.8, 0.0, 0.1};
    EXPECT_EQ(generation_problem(1, runaway),
              "vds step 0.1 runs away from stop 0 (start 1.8): give it the sign of stop - start");

    Scripted s;
    Recorder rec;
    auto table = generate_lut(0, s.simulator(), c, rec);
    ASSERT_FALSE(table);
    EXPECT_TRUE(s.ids.empty());

    // Six chunks asked of ten points: five made.
    c = small_config();
    c.op_params.clear();
    ASSERT_TRUE(generate_lut(6, s.simulator(), c, rec));
    EXPECT_NE(rec.stdout_text.find("(5 Vgs chunk(s) per task"), std::string::npos);
}

TEST(LutGenerate, TablesLargerThanMemoryAreRefusedBeforeAnyRequest) {
    // A million Vgs by a million Vds points: terabytes of table. The pool path
    // would spend hours simulating before failing to assemble it, and a
    // native table that fits one allocation at a time but not all at once
    // would be filled until the process is killed.
    LutConfig c = small_config();
    c.vgs = {0.0, 1.0, 1e-6};
    c.vds = {0.0, 1.0, 1e-6};
    for (bool native : {false, true}) {
        c.use_native_bsim4 = native;
        const auto problem = generation_problem(1, c);
        ASSERT_TRUE(problem) << native;
        EXPECT_TRUE(
            problem->starts_with("a table of 2 W × 2 Vbs × 2 L × 1000001 Vgs × 1000001 Vds = "
                                 "8000016000008 points needs "))
            << *problem;
        EXPECT_NE(problem->find(" GiB of memory, more than this machine has ("), std::string::npos);
        Scripted s;
        Recorder rec;
        auto table = generate_lut(1, s.simulator(), c, rec);
        ASSERT_FALSE(table);
        EXPECT_EQ(table.error().text(), "simulation failed: " + *problem);
        EXPECT_TRUE(s.ids.empty());
    }
    // Products beyond 64 bits do not wrap into a small table.
    c.widths.assign(100000, 1e-6);
    c.lengths.assign(100000, 1e-6);
    EXPECT_EQ(generation_problem(1, c).value_or(""), "the table has too many points to hold in memory");

    // The estimate: 8 bytes per point of each grid (id, gm, gds and each
    // requested operating-point name, once whatever its letter case), twice
    // over (the simulated rows, or finished native items, beside the table),
    // and 1 KiB per (W, L) task.
    c = small_config();  // 240 points, cgg and vth, 4 tasks
    c.op_params = {"cgg", "VTH", "vth", "nonsense"};
    EXPECT_FALSE(table_memory_problem(c, 240 * 8 * 5 * 2 + 4 * 1024));
    EXPECT_TRUE(table_memory_problem(c, 240 * 8 * 5 * 2 + 4 * 1024 - 1));
}

TEST(LutGenerate, UnreadableLibPathsAreRefusedBeforeThePoolPath) {
    // The native path reads a library whose name has blanks; the pool path
    // cannot, and says so before it sends anything.
    TempDir dir;
    LutConfig c = small_config();
    c.op_params.clear();
    // No BSIM4 card: the native path falls back.
    c.model_file = dir.write("no such kit/my kit.lib", ".lib tt\n.model nch nmos level=1\n.endl tt\n");
    c.model_section = "tt";
    EXPECT_TRUE(generation_problem(1, c));
    c.use_native_bsim4 = true;
    EXPECT_FALSE(generation_problem(1, c));
    Scripted s;
    Recorder rec;
    auto table = generate_lut(1, s.simulator(), c, rec);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().text(),
              "simulation failed: model_file: ngspice cannot read a .lib file whose name contains blanks "
              "(\"my kit.lib\")");
    EXPECT_TRUE(s.ids.empty());
    EXPECT_NE(rec.stderr_text.find("  [native] falling back to ngspice path\n"), std::string::npos);
}

TEST(LutGenerate, ModelFilesThatCannotServeAreRefusedBeforeAnyRequest) {
    TempDir dir;
    const std::string kit = dir.write("kit.lib", ".lib tt\n.model nch nmos level=54\n.endl tt\n");
    const std::string locked = dir.write("locked.lib", ".lib tt\n.endl tt\n");
    ::chmod(locked.c_str(), 0);
    const std::string absent = (dir.path() / "absent.lib").string(), folder = dir.path().string();
    const struct {
        std::string file;
        std::optional<std::string> section;
        std::vector<std::pair<std::string, std::string>> includes;
        std::string error;
    } cases[] = {
        {absent,
         std::nullopt,
         {},
         "I/O error: reading model file " + absent + ": No such file or directory (os error 2)"},
        {absent,
         "tt",
         {},
         "I/O error: reading model file " + absent + ": No such file or directory (os error 2)"},
        {folder,
         std::nullopt,
         {},
         "I/O error: reading model file " + folder + ": Is a directory (os error 21)"},
        {folder, "tt", {}, "I/O error: reading model file " + folder + ": Is a directory (os error 21)"},
        {locked, "tt", {}, "I/O error: reading model file " + locked + ": Permission denied (os error 13)"},
        {kit, "tyipcal", {}, "simulation failed: section '.LIB tyipcal' not found in " + kit},
        {kit,
         "TT",
         {{absent, "tt"}},
         "I/O error: reading model file " + absent + ": No such file or directory (os error 2)"},
        {kit,
         std::nullopt,
         {{kit, "tt"}, {kit, "ff"}},
         "simulation failed: section '.LIB ff' not found in " + kit},
    };
    for (const auto& t : cases) {
        // Root reads any file.
        if (t.file == locked && ::geteuid() == 0) continue;
        for (const bool native : {false, true}) {
            LutConfig c = small_config();
            c.model_file = t.file;
            c.model_section = t.section;
            c.model_includes = t.includes;
            c.use_native_bsim4 = native;
            Scripted s;
            Recorder rec;
            auto table = generate_lut(1, s.simulator(), c, rec);
            ASSERT_FALSE(table) << t.error;
            EXPECT_EQ(table.error().text(), t.error);
            // An unreadable file keeps its errno and path for the caller.
            EXPECT_EQ(table.error().kind == NgspiceError::Kind::Io, table.error().io.os_code != 0);
            EXPECT_EQ(table.error().kind == NgspiceError::Kind::Io, !table.error().io.path.empty());
            EXPECT_TRUE(s.ids.empty()) << t.error;
            EXPECT_EQ(rec.stderr_text + rec.stdout_text, "") << t.error;
        }
    }
}

// A model the kit lacks, or a size none of its bins holds, is refused on
// either path before any request (the cases are ModelCheck's).
TEST(LutGenerate, ModelsTheKitCannotServeAreRefusedBeforeAnyRequest) {
    TempDir dir;
    const std::string kit = dir.write("kit.lib",
                                      ".option scale=1u\n"
                                      ".model nch.1 nmos (level=54 lmin=0.18 lmax=0.5 wmin=0.22 wmax=50)\n");
    const struct {
        std::string model;
        double l;
        std::string error;
    } cases[] = {
        {"nosuch", 0.18, "model 'nosuch' not found in '" + kit + "'"},
        {"nch", 0.18e-6,
         "no bin of model 'nch' in '" + kit +
             "' holds W = 1e-6, L = 1.8e-7, made W = 1e-12 m, L = 1.8e-13 m by the kit's .option scale = "
             "1e-6; its bins (L and W in m): nch.1 L 1.8e-1..5e-1 W 2.2e-1..5e1"},
    };
    for (const auto& t : cases) {
        for (const bool native : {false, true}) {
            LutConfig c = one_point_config();
            c.model_file = kit;
            c.model_name = t.model;
            c.lengths = {t.l};
            c.use_native_bsim4 = native;
            Scripted s;
            Recorder rec;
            auto table = generate_lut(1, s.simulator(), c, rec);
            ASSERT_FALSE(table) << t.error;
            EXPECT_EQ(table.error().detail, t.error) << native;
            EXPECT_TRUE(table.error().refused_input);
            EXPECT_TRUE(s.ids.empty()) << t.error;
        }
    }
}

TEST(LutGenerate, NativeRequestFallsBackWithANotice) {
    Scripted s;
    Recorder rec;
    LutConfig c = small_config();
    c.use_native_bsim4 = true;
    c.op_params.clear();
    ASSERT_TRUE(generate_lut(1, s.simulator(), c, rec));
    EXPECT_EQ(rec.stderr_text, "  [native] falling back to ngspice path\n");
    EXPECT_TRUE(rec.stdout_text.starts_with("  2 W × 2 Vbs"));
}

TEST(LutGenerate, StopEndsTheGenerationWithoutFallbacks) {
    // The caller gives up after the first task's request has been answered:
    // no task sends another request, and no retry line is printed.
    Scripted s;
    Recorder rec;
    LutConfig c = small_config();
    c.op_params.clear();
    Simulator sim = s.simulator();
    sim.stop = [&s] {
        std::lock_guard lock(s.mutex);
        return !s.ids.empty();
    };
    auto table = generate_lut(1, sim, c, rec);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().text(), "simulation failed: generation interrupted");
    // Tasks that checked before the first request was made may have sent
    // theirs; none went down the ladder.
    for (const std::string& id : s.ids_starting("lut-"))
        EXPECT_EQ(std::count(id.begin(), id.end(), '-'), 2) << id;
    EXPECT_EQ(rec.stderr_text, "");
    EXPECT_EQ(rec.stdout_text.find("tasks completed"), std::string::npos);
}

namespace {

// A rest of the drain current that curves along every axis, as a substrate
// current does, and its slopes.
double curved(double g, double d, double b) { return 0.5 * std::exp(2.0 * d) * (1.0 + g * g) + 0.3 * b * b; }
double curved_dg(double g, double d) { return std::exp(2.0 * d) * g; }
double curved_dd(double g, double d) { return std::exp(2.0 * d) * (1.0 + g * g); }

LutConfig curved_config() {
    LutConfig c = small_config();
    c.op_params = {"cgg", "gmbs"};
    return c;
}

// The requests of the table's own rows, in id order.
std::vector<SimulationRequest> row_requests(const Scripted& s) {
    std::vector<SimulationRequest> out;
    for (const SimulationRequest& r : s.requests) {
        if (r.id.starts_with("lut-") && r.id.find("-slopes") == std::string::npos) out.push_back(r);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    return out;
}

}  // namespace

// Where the rest of the drain current curves, its slopes come from sweeps
// shifted along each axis, in requests of their own: gm, gds and gmbs are
// the channel's values plus those slopes, and Id and the requests of the
// rows stay as they were.
TEST(LutGenerate, SlopesOfACurvedRestComeFromShiftedSweeps) {
    Scripted s, straight;
    s.beyond = curved;
    Recorder rec, straight_rec;
    const LutConfig c = curved_config();
    auto table = generate_lut(3, s.simulator(), c, rec);
    ASSERT_TRUE(table) << table.error().text();
    auto straight_table = generate_lut(3, straight.simulator(), c, straight_rec);
    ASSERT_TRUE(straight_table);
    const std::size_t gmbs = *op_param_index("gmbs");
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 2; ++b)
            for (std::size_t l = 0; l < 2; ++l)
                for (std::size_t i = 0; i < 10; ++i)
                    for (std::size_t j = 0; j < 3; ++j) {
                        const double g = table->vgs[i], d = table->vds[j], vbs = table->vbs_values[b];
                        const double x = device_value(table->widths[a], table->lengths[l], vbs, g, d);
                        ASSERT_EQ(table->id.at(a, b, l, i, j), x + curved(g, d, vbs));
                        // One-sided over kSlopeShift: exact to its half times the curvature.
                        EXPECT_NEAR(table->gm.at(a, b, l, i, j), 10.5 + curved_dg(g, d), 1e-4);
                        EXPECT_NEAR(table->gds.at(a, b, l, i, j), 1.25 + curved_dd(g, d), 1e-3);
                        EXPECT_NEAR(table->op[gmbs].at(a, b, l, i, j), x + 7000.0 + 0.6 * vbs, 1e-5);
                        // A straight rest leaves gmbs the channel's.
                        ASSERT_EQ(straight_table->op[gmbs].at(a, b, l, i, j), x + 7000.0);
                    }
    // 240 points, each with three slopes; per pair 2 Vbs x 3 chunks x 3 axes.
    EXPECT_NE(rec.stdout_text.find("\n  720 slopes from 72 shifted sweeps (4 tasks) in "), std::string::npos)
        << rec.stdout_text;
    EXPECT_EQ(rec.stderr_text, "");
    std::vector<std::string> slopes;
    for (const std::string& id : s.ids)
        if (id.find("-slopes") != std::string::npos) slopes.push_back(id);
    std::sort(slopes.begin(), slopes.end());
    EXPECT_EQ(slopes, (std::vector<std::string>{"lut-w0-l0-slopes", "lut-w0-l1-slopes", "lut-w1-l0-slopes",
                                                "lut-w1-l1-slopes"}));
    const auto rows = row_requests(s), straight_rows = row_requests(straight);
    ASSERT_EQ(rows.size(), straight_rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].id, straight_rows[k].id);
        EXPECT_EQ(rows[k].netlist, straight_rows[k].netlist);
        EXPECT_EQ(rows[k].commands, straight_rows[k].commands);
        EXPECT_EQ(rows[k].return_vectors, straight_rows[k].return_vectors);
    }
    // A straight rest needs no shifted sweep: its differences over the grid
    // are its slopes.
    EXPECT_EQ(straight_rec.stdout_text.find("shifted sweeps"), std::string::npos);
}

// A request of shifted sweeps that ngspice fails is retried one sweep at a
// time; a sweep that ngspice fails alone leaves its points with differences
// over the grid. One whose worker crashes runs again, silently.
TEST(LutGenerate, FailedShiftedSweepsKeepDifferencesOverTheGrid) {
    Scripted s;
    s.beyond = curved;
    Recorder rec;
    s.faults.push_back({id_is("lut-w0-l0-slopes"), fails_with("stderr Error: x")});
    s.faults.push_back({id_is("lut-w0-l0-slopes-s1"), fails_with("stderr Error: y")});
    s.faults.push_back({id_is("lut-w1-l1-slopes"), pool_error(2)});
    auto table = generate_lut(3, s.simulator(), curved_config(), rec);
    ASSERT_TRUE(table) << table.error().text();
    EXPECT_EQ(rec.stderr_text,
              "  [retry] W=1.000e-6 L=5.000e-7: shifted sweeps failed, retrying one sweep at a time\n"
              "  [retry] W=1.000e-6 L=5.000e-7: 1 of 18 shifted sweep(s) failed — their slopes stay "
              "differences over the grid steps\n");
    EXPECT_EQ(s.ids_starting("lut-w1-l1-slopes"),
              (std::vector<std::string>{"lut-w1-l1-slopes", "lut-w1-l1-slopes", "lut-w1-l1-slopes"}));
    // Sweep 1 of the first pair: the first Vbs value, the first chunk (Vgs
    // rows 0 to 3), along Vgs.
    const auto b = [&](std::size_t i, std::size_t j) { return curved(table->vgs[i], table->vds[j], 0.0); };
    for (std::size_t i = 0; i < 10; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            const double g = table->vgs[i], d = table->vds[j];
            const double gm = table->gm.at(0, 0, 0, i, j);
            if (i >= 4) {
                EXPECT_NEAR(gm, 10.5 + curved_dg(g, d), 1e-4);
                continue;
            }
            const double grid = i == 0 ? (b(1, j) - b(0, j)) / 0.1 : (b(i + 1, j) - b(i - 1, j)) / 0.2;
            EXPECT_NEAR(gm, 10.5 + grid, 1e-12) << i << j;
            EXPECT_NEAR(table->gds.at(0, 0, 0, i, j), 1.25 + curved_dd(g, d), 1e-3);
        }
}

// Fewer pairs than workers: the shifted sweeps are split into parts, and
// the table is the same bit for bit as from one worker. A stop request ends
// the generation in that phase too.
TEST(LutGenerate, ShiftedSweepsSplitOverTheWorkers) {
    LutConfig c = curved_config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    Scripted one, many;
    one.beyond = many.beyond = curved;
    Recorder rec;
    auto whole = generate_lut(2, one.simulator(1), c, rec);
    auto split = generate_lut(2, many.simulator(8), c, rec);
    ASSERT_TRUE(whole && split);
    EXPECT_EQ(whole->gm.data, split->gm.data);
    EXPECT_EQ(whole->gds.data, split->gds.data);
    EXPECT_EQ(whole->op[*op_param_index("gmbs")].data, split->op[*op_param_index("gmbs")].data);
    EXPECT_EQ(one.ids_starting("lut-w0-l0-slopes"), std::vector<std::string>{"lut-w0-l0-slopes"});
    const auto parts = many.ids_starting("lut-w0-l0-slopes");
    EXPECT_EQ(parts.size(), 8u);  // 12 sweeps over 8 workers
    for (const std::string& id : parts) EXPECT_TRUE(id.starts_with("lut-w0-l0-slopes-p")) << id;

    Scripted stopped;
    stopped.beyond = curved;
    Simulator sim = stopped.simulator(1);
    sim.stop = [&stopped] {
        std::lock_guard lock(stopped.mutex);
        return !stopped.ids.empty() && stopped.ids.back().find("-slopes") != std::string::npos;
    };
    auto interrupted = generate_lut(2, sim, c, rec);
    ASSERT_FALSE(interrupted);
    EXPECT_EQ(interrupted.error().text(), "simulation failed: generation interrupted");
}

namespace {

std::function<SimulationOutcome(SimulationResponse)> times_out() {
    return [](SimulationResponse) -> SimulationOutcome {
        return err(NgspiceError::timeout("worker timed out after 8s"));
    };
}

std::function<bool(const SimulationRequest&)> id_in(std::vector<std::string> ids) {
    return [ids](const SimulationRequest& r) { return std::find(ids.begin(), ids.end(), r.id) != ids.end(); };
}

}  // namespace

// A request that waits out the pool's time-out ends the generation with that
// error, wherever it hangs: the probes, any rung of the ladder. Nothing is
// sent after it, so a failing generation waits one time-out, not one per rung.
TEST(LutGenerate, ATimeOutEndsTheGenerationAtTheRequestThatHung) {
    struct Case {
        std::string hangs;
        std::vector<std::string> failing;  // answered without success first, to reach it
    };
    const std::vector<std::string> rungs = {"lut-w0-l0", "lut-w0-l0-c0", "lut-w0-l0-v0-c0"};
    // The device's one probe, or (once ngspice failed it) each question on its own.
    for (const Case& k : {Case{"probe-device", {}}, Case{"detect-dev-path", {"probe-device"}},
                          Case{"probe-small-signal", {"probe-device"}}, Case{"lut-w0-l0", {}},
                          Case{"lut-w0-l0-c0", {rungs[0]}}, Case{"lut-w0-l0-v0-c0", {rungs[0], rungs[1]}},
                          Case{"lut-w0-l0-v0-c0-idonly", rungs}, Case{"lut-w0-l0-v0-c0-sub1", rungs}}) {
        Scripted s;
        Recorder rec;
        s.faults.push_back({id_is(k.hangs), times_out()});
        s.faults.push_back({id_in(k.failing), fails_with("stderr Error: x")});
        auto table = generate_lut(1, s.simulator(1), one_point_config(), rec);
        ASSERT_FALSE(table) << k.hangs;
        EXPECT_EQ(table.error().text(), "simulation failed: worker timed out after 8s") << k.hangs;
        ASSERT_FALSE(s.ids.empty());
        // The parameters' probes run beside the device's: sent at the same time.
        if (k.hangs != "probe-device") {
            EXPECT_EQ(s.ids.back(), k.hangs);
        }
        EXPECT_EQ(std::count(s.ids.begin(), s.ids.end(), k.hangs), 1) << k.hangs;
        if (k.hangs.starts_with("probe") || k.hangs.starts_with("detect")) {
            EXPECT_TRUE(s.ids_starting("lut-").empty()) << k.hangs;
        }
        // No message blames the device for what the time-out did.
        if (k.hangs == "detect-dev-path") {
            EXPECT_EQ(rec.detect_text, "");
        }
        EXPECT_EQ(rec.stderr_text.find("no small-signal values"), std::string::npos) << k.hangs;
        // One line per rung that failed on its own, none for the time-out.
        std::size_t retries = 0;
        for (std::size_t at = 0; (at = rec.stderr_text.find("[retry]", at)) != std::string::npos; ++at)
            ++retries;
        const auto rungs_failed = std::count_if(k.failing.begin(), k.failing.end(),
                                                [](const std::string& id) { return id.starts_with("lut-"); });
        EXPECT_EQ(retries, static_cast<std::size_t>(rungs_failed)) << k.hangs << "\n" << rec.stderr_text;
        EXPECT_EQ(rec.stdout_text.find("tasks completed"), std::string::npos) << k.hangs;
    }

    // Two probes run at once: the other may have been sent, no row request is.
    Scripted probes;
    Recorder rec;
    probes.faults.push_back({id_is("probe-vth"), times_out()});
    ASSERT_FALSE(generate_lut(1, probes.simulator(2), one_point_config(), rec));
    EXPECT_TRUE(probes.ids_starting("lut-").empty());

    // Every pair hangs: each sends at most its first request, and no task
    // goes down its ladder.
    Scripted pairs;
    pairs.faults.push_back(
        {[](const SimulationRequest& r) { return r.id.starts_with("lut-"); }, times_out()});
    ASSERT_FALSE(generate_lut(2, pairs.simulator(2), small_config(), rec));
    const std::vector<std::string> sent = pairs.ids_starting("lut-");
    EXPECT_GE(sent.size(), 1u);
    EXPECT_LE(sent.size(), 4u);
    for (const std::string& id : sent) EXPECT_EQ(std::count(id.begin(), id.end(), '-'), 2) << id;
}

// A shifted sweep that hangs is a failed request like any other: it ends the
// generation with its time-out (no table whose slopes fell back for it), and
// nothing is sent after it: no sweep one at a time, no other pair's sweeps.
TEST(LutGenerate, AShiftedSweepThatHangsEndsTheGeneration) {
    for (const std::string hangs : {"lut-w0-l0-slopes", "lut-w0-l0-slopes-s3"}) {
        Scripted s;
        s.beyond = curved;
        Recorder rec;
        s.faults.push_back({id_is(hangs), times_out()});
        // ngspice fails the whole pair's request first, to reach its sweeps one at a time.
        if (hangs != "lut-w0-l0-slopes")
            s.faults.push_back({id_is("lut-w0-l0-slopes"), fails_with("stderr Error: x")});
        auto table = generate_lut(3, s.simulator(1), curved_config(), rec);
        ASSERT_FALSE(table) << hangs;
        EXPECT_EQ(table.error().text(), "simulation failed: worker timed out after 8s") << hangs;
        const std::vector<std::string> alone = s.ids_starting("lut-w0-l0-slopes-s");
        EXPECT_EQ(alone.size(), hangs == "lut-w0-l0-slopes" ? 0u : 4u) << hangs;
        EXPECT_EQ(alone.empty() ? hangs : alone.back(), hangs);
        EXPECT_EQ(std::count(s.ids.begin(), s.ids.end(), hangs), 1) << hangs;
        EXPECT_EQ(rec.stdout_text.find("LUT timing breakdown"), std::string::npos);
        EXPECT_EQ(rec.stderr_text.find("stay differences over the grid steps"), std::string::npos)
            << rec.stderr_text;
    }
}

namespace {

// Two tables alike to the last bit, NaN where NaN.
void expect_same_table(const TransistorLut& a, const TransistorLut& b, const std::string& what) {
    const auto same = [&](const Grid5& x, const Grid5& y, const char* name) {
        ASSERT_EQ(x.dims, y.dims) << what << " " << name;
        ASSERT_EQ(x.data.size(), y.data.size()) << what << " " << name;
        if (!x.data.empty()) {
            EXPECT_EQ(std::memcmp(x.data.data(), y.data.data(), x.data.size() * sizeof(double)), 0)
                << what << " " << name;
        }
    };
    same(a.id, b.id, "id");
    same(a.gm, b.gm, "gm");
    same(a.gds, b.gds, "gds");
    for (std::size_t k = 0; k < kOpParamCount; ++k) same(a.op[k], b.op[k], KNOWN_OP_PARAMS[k].data());
    EXPECT_EQ(a.extracted_op_params, b.extracted_op_params) << what;
}

// The names a netlist's .save lines name, in order.
std::vector<std::string> saved_names(const std::string& netlist) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < netlist.size()) {
        std::size_t nl = netlist.find('\n', start);
        if (nl == std::string::npos) nl = netlist.size();
        const std::string_view line(netlist.data() + start, nl - start);
        start = nl + 1;
        if (!line.starts_with(".save ")) continue;
        for (std::string_view w : words(line.substr(6))) out.emplace_back(w);
    }
    return out;
}

std::vector<std::string> ids_containing(const Scripted& s, std::string_view part) {
    std::vector<std::string> out;
    for (const std::string& id : s.ids)
        if (id.find(part) != std::string::npos) out.push_back(id);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

// A pair's rows request keeps its circuit, and the pair's shifted sweeps run
// on it as a follow-up, with no netlist to load. Where the worker has let
// the circuit go, or crashed under the follow-up, the circuit is loaded
// afresh from the rows' own netlist. The table is the same to the last bit
// either way, and as without holds.
TEST(LutGenerate, FollowUpsRunOnThePairsCircuit) {
    const LutConfig c = curved_config();
    Scripted plain;
    plain.beyond = curved;
    Recorder rec;
    auto reference = generate_lut(3, plain.simulator(), c, rec);
    ASSERT_TRUE(reference) << reference.error().text();
    const std::vector<std::string> slopes = {"lut-w0-l0-slopes", "lut-w0-l1-slopes", "lut-w1-l0-slopes",
                                             "lut-w1-l1-slopes"};
    struct Case {
        std::string name;
        bool drop_holds;
        bool crash_first;                       // the first follow-up's worker crashes
        std::vector<std::string> follow_ups;    // answered on a held circuit
        std::vector<std::string> loaded_again;  // sent with a netlist
    };
    // On a first call the probe asks on the circuit the first pairs load
    // for their rows (two workers: the pair of the probe's sizes and the
    // first), whose rows then run on it too.
    std::vector<std::string> held = slopes;
    for (const char* id : {"lut-w0-l0", "lut-w0-l1", "probe-device", "probe-op-params"})
        held.emplace_back(id);
    std::sort(held.begin(), held.end());
    for (const Case& k : {Case{"held", false, false, held, {}}, Case{"let go", true, false, {}, slopes},
                          Case{"crashed", false, true, held, {"lut-w0-l0-slopes"}}}) {
        Scripted s;
        s.beyond = curved;
        s.drop_holds = k.drop_holds;
        if (k.crash_first) s.faults.push_back({id_is("lut-w0-l0-slopes"), pool_error(1)});
        Recorder held_rec;
        auto table = generate_lut(3, s.simulator(2, true), c, held_rec);
        ASSERT_TRUE(table) << k.name << ": " << table.error().text();
        expect_same_table(*table, *reference, k.name);
        EXPECT_EQ(s.follow_up_ids(), k.follow_ups) << k.name;
        for (const SimulationRequest& r : s.follow_ups) EXPECT_TRUE(r.netlist.empty()) << k.name;
        EXPECT_EQ(ids_containing(s, "-slopes"), k.loaded_again) << k.name;
        // A circuit loaded again is the rows' own: the netlist their request
        // loaded, or, where they ran on a circuit loaded early, that
        // circuit's netlist saving by .save lines what they saved by command.
        for (const SimulationRequest& r : s.requests) {
            if (r.id.find("-slopes") == std::string::npos) continue;
            const std::string rows = r.id.substr(0, r.id.size() - std::string("-slopes").size());
            const auto with_id = [](const std::vector<SimulationRequest>& in, const std::string& id) {
                return std::find_if(in.begin(), in.end(),
                                    [&](const SimulationRequest& q) { return q.id == id; });
            };
            if (const auto of_rows = with_id(s.requests, rows); of_rows != s.requests.end()) {
                EXPECT_EQ(r.netlist, of_rows->netlist) << k.name;
                continue;
            }
            const auto load = with_id(s.requests, rows + "-load");
            const auto on_it = with_id(s.follow_ups, rows);
            ASSERT_NE(load, s.requests.end()) << k.name;
            ASSERT_NE(on_it, s.follow_ups.end()) << k.name;
            std::string bare = r.netlist, asked = load->netlist;
            apply_saves(bare, "delete all");
            EXPECT_EQ(bare, load->netlist) << k.name;
            for (const std::string& command : on_it->commands) apply_saves(asked, command);
            EXPECT_EQ(saved_names(r.netlist), saved_names(asked)) << k.name;
        }
        EXPECT_EQ(held_rec.stderr_text, "") << k.name;
    }

    // The series resistances' own fit sweep is a follow-up too, before the
    // shifted sweeps would be.
    Scripted series;
    series.faults.push_back({any_request, series_vectors(true)});
    Recorder series_rec;
    ASSERT_TRUE(generate_lut(3, series.simulator(2, true), small_config(), series_rec));
    std::vector<std::string> fits = series.follow_up_ids();
    std::erase_if(fits, [](const std::string& id) { return !id.starts_with("fit-"); });
    EXPECT_EQ(fits, (std::vector<std::string>{"fit-w0-l0", "fit-w0-l1", "fit-w1-l0", "fit-w1-l1"}));
    EXPECT_TRUE(series.ids_starting("fit-").empty());

    // A follow-up that times out ends the generation like any request.
    Scripted hung;
    hung.beyond = curved;
    hung.faults.push_back({id_is("lut-w1-l0-slopes"), times_out()});
    Recorder hung_rec;
    auto failed = generate_lut(3, hung.simulator(1, true), c, hung_rec);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text(), "simulation failed: worker timed out after 8s");
    EXPECT_TRUE(ids_containing(hung, "-slopes").empty());
}

// A request that ends in a pool error says nothing about the device, at any
// stage: it runs again, three times at most, and the table is that of a
// clean run, with no line. One that fails every time ends the generation
// with its error after its fourth try; nothing falls back for it.
TEST(LutGenerate, PoolErrorsRunAgainThenEndTheGeneration) {
    const LutConfig c = curved_config();  // cgg and gmbs; shifted sweeps
    Scripted plain;
    plain.beyond = curved;
    Recorder rec;
    auto reference = generate_lut(3, plain.simulator(), c, rec);
    ASSERT_TRUE(reference);
    struct Case {
        std::string crashes;
        std::vector<std::string> failing;  // answered without success, to reach it
    };
    for (const Case& k : {Case{"probe-device", {}}, Case{"probe-cgg", {}}, Case{"lut-w0-l1", {}},
                          Case{"lut-w0-l0-c1", {"lut-w0-l0"}}, Case{"lut-w1-l0-slopes", {}},
                          Case{"lut-w1-l1-slopes-s2", {"lut-w1-l1-slopes"}}}) {
        for (const int times : {kReruns, std::numeric_limits<int>::max()}) {
            const bool recovers = times == kReruns;
            Scripted s;
            s.beyond = curved;
            s.faults.push_back({id_is(k.crashes), pool_error(times)});
            s.faults.push_back({id_in(k.failing), fails_with("stderr Error: x")});
            Recorder r;
            auto table = generate_lut(3, s.simulator(), c, r);
            const std::string what = fmt::cat(k.crashes, recovers ? " (recovers)" : " (every time)");
            EXPECT_EQ(std::count(s.ids.begin(), s.ids.end(), k.crashes), kReruns + 1) << what;
            EXPECT_EQ(r.stdout_text.find("does not support"), std::string::npos) << what;
            EXPECT_EQ(r.stderr_text.find("warning"), std::string::npos) << what << r.stderr_text;
            EXPECT_EQ(r.stderr_text.find("differences over the grid"), std::string::npos) << what;
            if (!recovers) {
                ASSERT_FALSE(table) << what;
                EXPECT_EQ(table.error().text(), "worker process crashed: gone") << what;
                EXPECT_EQ(r.stdout_text.find("tasks completed"), std::string::npos) << what;
                continue;
            }
            ASSERT_TRUE(table) << what << ": " << table.error().text();
            expect_same_table(*table, *reference, what);
        }
    }
}

// What the probe learned is kept for the pool's life (ProbeMemo): a second
// generation of the same device on the same kit sends no probe and says what
// the first said. Other parameters, or a kit file that changes (one it
// includes too), make it probe again.
TEST(LutGenerate, WhatTheProbeLearnedIsKeptWhileTheKitIsUnchanged) {
    TempDir dir;
    const std::string kit = dir.write("kit.lib", ".include cards.lib\n");
    dir.write("cards.lib", ".model nch nmos level=1\n");
    LutConfig c = small_config();
    c.model_card.clear();
    c.model_file = kit;
    const auto memo = std::make_shared<ProbeMemo>();
    // The probe's lines: from the plan to the extracted parameters, and its
    // warnings.
    const auto probing = [](const Recorder& r) {
        const std::string& out = r.stdout_text;
        const std::size_t from = out.find('\n') + 1, to = out.find("  → extracting");
        return out.substr(from, out.find('\n', to) + 1 - from) + r.detect_text;
    };
    const auto run = [&](const LutConfig& config) {
        auto s = std::make_unique<Scripted>();
        Simulator sim = s->simulator();
        sim.memo = memo;
        Recorder r;
        auto table = generate_lut(3, sim, config, r);
        EXPECT_TRUE(table) << table.error().text();
        return std::tuple(std::move(s), probing(r), std::move(table).value());
    };
    const auto [first, said, table] = run(c);
    EXPECT_FALSE(first->ids_starting("probe-").empty());
    EXPECT_NE(said.find("could not auto-detect"), std::string::npos);

    const auto [second, said_again, again] = run(c);
    EXPECT_TRUE(second->ids_starting("probe-").empty());
    EXPECT_EQ(said_again, said);
    expect_same_table(again, table, "from the memo");

    LutConfig fewer = c;
    fewer.op_params = {"cgg"};
    EXPECT_FALSE(std::get<0>(run(fewer))->ids_starting("probe-").empty());

    // A few bytes more in the included file.
    dir.write("cards.lib", ".model nch nmos level=1 kp=1e-4\n");
    EXPECT_FALSE(std::get<0>(run(c))->ids_starting("probe-").empty());
    EXPECT_TRUE(std::get<0>(run(c))->ids_starting("probe-").empty());
}

namespace {

// What a generation says before its tasks end: the plan, the device, the
// parameters, the series resistances.
std::string said_before_tasks(const std::string& out) { return out.substr(0, out.find("  all ")); }

// The first line of `text` that starts with `prefix`.
std::string line_starting(const std::string& text, std::string_view prefix) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        if (std::string_view(text).substr(start, nl - start).starts_with(prefix))
            return text.substr(start, nl - start);
        start = nl + 1;
    }
    return {};
}

// A generation over `s` with holds, its lines kept.
struct HeldRun {
    Result<TransistorLut, NgspiceError> table;
    std::string out, err;
};
HeldRun held_run(Scripted& s, const LutConfig& c, std::uint64_t workers,
                 std::shared_ptr<ProbeMemo> memo = std::make_shared<ProbeMemo>()) {
    Simulator sim = s.simulator(workers, true);
    sim.memo = std::move(memo);
    Recorder rec;
    auto table = generate_lut(3, sim, c, rec);
    return {std::move(table), rec.stdout_text, rec.stderr_text};
}

}  // namespace

// A first call on a pool that keeps circuits loads each task's circuit once:
// the first tasks (the probe's pair first) load theirs while the probe is to
// answer, the probe asks on the probe pair's circuit (its device at the probe
// netlists' sizes, its listing in the load), and every task's rows run on its
// circuit once the probe has answered, saving by command what their netlist
// would. The table and the lines are those of a pool without holds.
TEST(LutGenerate, AFirstCallLoadsEachTaskOnceAndProbesOnOneOfThem) {
    LutConfig lone = curved_config();
    lone.widths = {1e-6};
    lone.lengths = {5e-7};
    struct Case {
        std::string name;
        LutConfig config;
        std::uint64_t workers;
        std::vector<std::string> early;   // loaded before the probe answered
        std::vector<std::string> direct;  // loaded with their rows after it
        // The rows run on the circuits loaded early, where not `early`.
        std::vector<std::string> on_early = {};
    };
    const std::vector<Case> cases = {
        {"a worker per pair", curved_config(), 4, {"lut-w0-l1", "lut-w0-l0", "lut-w1-l0", "lut-w1-l1"}, {}},
        {"fewer workers than pairs",
         curved_config(),
         2,
         {"lut-w0-l1", "lut-w0-l0"},
         {"lut-w1-l0", "lut-w1-l1"}},
        // One pair on four workers, on a kit that loads at once: four parts
        // (two Vbs values, their three chunks in two groups); the pair's
        // circuit, loaded early, serves the first.
        {"parts of a lone pair",
         lone,
         4,
         {"lut-w0-l0"},
         {"lut-w0-l0-part-v0-c1", "lut-w0-l0-part-v1-c0", "lut-w0-l0-part-v1-c1"},
         {"lut-w0-l0-part-v0-c0"}},
    };
    for (const Case& k : cases) {
        Scripted plain;
        plain.beyond = curved;
        Recorder plain_rec;
        auto reference = generate_lut(3, plain.simulator(k.workers), k.config, plain_rec);
        ASSERT_TRUE(reference) << k.name;

        Scripted s;
        s.beyond = curved;
        HeldRun run = held_run(s, k.config, k.workers);
        ASSERT_TRUE(run.table) << k.name << ": " << run.table.error().text();
        expect_same_table(*run.table, *reference, k.name);
        EXPECT_EQ(said_before_tasks(run.out), said_before_tasks(plain_rec.stdout_text)) << k.name;
        EXPECT_EQ(run.err, plain_rec.stderr_text) << k.name;

        // Each task loaded once, nothing for the probe alone.
        std::vector<std::string> loaded, expected;
        for (const std::string& id : s.ids)
            if (id.find("-slopes") == std::string::npos) loaded.push_back(id);
        for (const std::string& id : k.early) expected.push_back(id + "-load");
        expected.insert(expected.end(), k.direct.begin(), k.direct.end());
        std::sort(loaded.begin(), loaded.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(loaded, expected) << k.name;

        // The probe pair's load lists the circuit; its device is the probe's.
        const std::string probe_load = k.early.front() + "-load";
        for (const SimulationRequest& r : s.requests) {
            if (!r.id.ends_with("-load")) continue;
            EXPECT_EQ(r.commands,
                      r.id == probe_load ? std::vector<std::string>{"listing e"} : std::vector<std::string>{})
                << k.name << " " << r.id;
            EXPECT_EQ(saved_names(r.netlist), std::vector<std::string>{}) << k.name << " " << r.id;
            if (r.id == probe_load) {
                EXPECT_EQ(line_starting(r.netlist, "M1 "),
                          line_starting(build_probe_netlist(k.config, "cgg", "m1"), "M1 "))
                    << k.name;
            }
        }

        // The probe's two follow-ups come before any rows; each early task's
        // rows run on its circuit, saving first.
        const auto at = [&](const std::string& event) {
            return std::find(s.events.begin(), s.events.end(), event) - s.events.begin();
        };
        const auto probed = std::max(at("probe-device@"), at("probe-op-params@"));
        ASSERT_LT(probed, static_cast<std::ptrdiff_t>(s.events.size())) << k.name;
        EXPECT_LT(at("probe-device@"), at("probe-op-params@")) << k.name;
        for (const std::string& id : k.on_early.empty() ? k.early : k.on_early) {
            EXPECT_GT(at(id + "@"), probed) << k.name << " " << id;
            const auto rows = std::find_if(s.follow_ups.begin(), s.follow_ups.end(),
                                           [&](const SimulationRequest& r) { return r.id == id; });
            ASSERT_NE(rows, s.follow_ups.end()) << k.name << " " << id;
            ASSERT_GE(rows->commands.size(), 3u);
            EXPECT_EQ(rows->commands[0], "delete all");
            EXPECT_TRUE(rows->commands[1].starts_with("save vds#branch @m1[gm] @m1[gds] @m1[id]"))
                << rows->commands[1];
        }
        for (const std::string& id : k.direct) EXPECT_LT(probed, at(id)) << k.name << " " << id;
    }
}

// Where the probe pair's circuit cannot serve, the probe asks as it does
// without holds: a load ngspice refuses, a circuit the worker let go or lost
// in a crash (the questions in one request of their own), a small-signal
// sweep ngspice fails (each question alone), the parameters' sweep failed
// (each parameter alone); the circuits loaded early are let go, and their
// tasks load their rows. A pair's rows that crash on its circuit load it
// afresh; rows ngspice fails walk the ladder. Table and lines are those of a
// pool without holds under the same faults.
TEST(LutGenerate, AFirstCallFallsBackWhereTheCircuitsCannotServe) {
    struct Case {
        std::string name;
        std::vector<Fault> faults;
        bool drop_holds;
        bool same_faults_without_holds;  // the reference meets them too
        std::vector<std::string> sent;   // loaded with a netlist, among others
    };
    const auto fails = fails_with("stderr Error: x");
    const std::vector<Case> cases = {
        {"the probe pair's load refused",
         {{id_is("lut-w0-l1-load"), fails}},
         false,
         false,
         {"probe-device", "probe-cgg", "probe-gmbs", "lut-w0-l0", "lut-w0-l1"}},
        {"the worker let the circuits go",
         {},
         true,
         false,
         {"probe-device", "probe-cgg", "probe-gmbs", "lut-w0-l0", "lut-w0-l1"}},
        {"a crash under the probe",
         {{id_is("probe-device"), pool_error(1)}},
         false,
         false,
         {"probe-device", "probe-cgg", "probe-gmbs", "lut-w0-l0", "lut-w0-l1"}},
        {"the small-signal sweep failed",
         {{id_is("probe-device"), fails}},
         false,
         true,
         {"detect-dev-path", "probe-small-signal", "probe-cgg", "probe-gmbs", "lut-w0-l0", "lut-w0-l1"}},
        {"the parameters' sweeps failed",
         {{id_is("probe-op-params"), fails}},
         false,
         false,
         {"probe-cgg", "probe-gmbs", "lut-w0-l0", "lut-w0-l1"}},
        {"a crash under a pair's rows", {{id_is("lut-w0-l0"), pool_error(1)}}, false, false, {"lut-w0-l0"}},
        {"a pair's rows failed",
         {{id_is("lut-w0-l0"), fails}},
         false,
         true,
         {"lut-w0-l0-c0", "lut-w0-l0-c1", "lut-w0-l0-c2"}},
    };
    for (const Case& k : cases) {
        Scripted plain;
        plain.beyond = curved;
        if (k.same_faults_without_holds) plain.faults = k.faults;
        Recorder plain_rec;
        auto reference = generate_lut(3, plain.simulator(2), curved_config(), plain_rec);
        ASSERT_TRUE(reference) << k.name;

        Scripted s;
        s.beyond = curved;
        s.faults = k.faults;
        s.drop_holds = k.drop_holds;
        HeldRun run = held_run(s, curved_config(), 2);
        ASSERT_TRUE(run.table) << k.name << ": " << run.table.error().text();
        expect_same_table(*run.table, *reference, k.name);
        EXPECT_EQ(said_before_tasks(run.out), said_before_tasks(plain_rec.stdout_text)) << k.name;
        EXPECT_EQ(run.err, plain_rec.stderr_text) << k.name;
        for (const std::string& id : k.sent)
            EXPECT_NE(std::find(s.ids.begin(), s.ids.end(), id), s.ids.end()) << k.name << ": " << id;
    }
}

// The first call's loads are requests like any other: one that times out
// ends the generation before any rows are asked, one whose worker crashes
// every time ends it after its reruns.
TEST(LutGenerate, AFirstCallsLoadThatFailsEndsTheGeneration) {
    for (const auto& [fault, error] : std::vector<std::pair<Fault, std::string>>{
             {{id_is("lut-w0-l1-load"), times_out()}, "simulation failed: worker timed out after 8s"},
             {{id_is("lut-w0-l1-load"), pool_error()}, "worker process crashed: gone"}}) {
        Scripted s;
        s.beyond = curved;
        s.faults.push_back(fault);
        HeldRun run = held_run(s, curved_config(), 2);
        ASSERT_FALSE(run.table) << error;
        EXPECT_EQ(run.table.error().text(), error);
        EXPECT_TRUE(s.follow_ups.empty()) << error;
        for (const std::string& id : s.ids) EXPECT_TRUE(id.ends_with("-load")) << error << ": " << id;
        EXPECT_EQ(std::count(s.ids.begin(), s.ids.end(), "lut-w0-l1-load"),
                  error.find("timed out") != std::string::npos ? 1 : kReruns + 1);
        EXPECT_EQ(run.out.find("tasks completed"), std::string::npos);
    }
}

// The checks of the kit before a generation are kept for the pool's life
// beside the probe's answers, while every file they read keeps its size,
// modification time, inode and mode: an unchanged kit is not read again
// (here a file edited behind the pool's back, its time set back, still
// passes), a touched one is (and now refused).
TEST(LutGenerate, TheKitsCheckIsKeptWhileItsFilesAreUnchanged) {
    TempDir dir;
    const std::string kit = dir.write("kit.lib", ".include cards.lib\n");
    const std::string cards = dir.write("cards.lib", ".model nch nmos level=1\n");
    LutConfig c = small_config();
    c.model_card.clear();
    c.model_file = kit;
    const auto memo = std::make_shared<ProbeMemo>();
    const auto run = [&] {
        Scripted s;
        return held_run(s, c, 2, memo);
    };
    ASSERT_TRUE(run().table);

    struct stat before {};
    ASSERT_EQ(::stat(cards.c_str(), &before), 0);
    dir.write("cards.lib", ".model pch nmos level=1\n");  // as long, naming another model
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, cards.c_str(), times, 0), 0);
    EXPECT_TRUE(run().table) << "the kept check";

    const struct timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, cards.c_str(), later, 0), 0);
    HeldRun refused = run();
    ASSERT_FALSE(refused.table);
    EXPECT_TRUE(refused.table.error().refused_input);
    EXPECT_NE(refused.table.error().text().find("model 'nch' not found"), std::string::npos)
        << refused.table.error().text();
}

// A pair splits only into parts whose sweeps (at the fastest pace a point
// takes) outweigh their loads of the kit twice, and into no more than the
// workers run side by side; where the load is unknown it stays whole.
TEST(LutPace, PairsSplitOnlyWhereTheirSweepsOutweighTheLoads) {
    struct Case {
        const char* name;
        std::uint64_t load_ns;
        std::size_t points, units, pairs;
        std::uint64_t workers;
        std::size_t parts;
    };
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    const Case cases[] = {
        {"load unknown", 0, 1'000'000, 16, 1, 8, 1},
        {"a worker per pair", 1, 1'000'000, 16, 8, 8, 1},
        {"more pairs than workers", 1, 1'000'000, 16, 9, 8, 1},
        {"no worker counts as one", 1, 1'000'000, 16, 1, 0, 1},
        {"one part possible", 1, 1'000'000, 1, 1, 8, 1},
        {"a small card, a large table", 1'000'000, 1'000'000, 16, 2, 8, 4},
        {"fewer parts possible than workers", 1'000'000, 1'000'000, 3, 1, 8, 3},
        {"three pairs on eight workers", 1'000'000, 1'000'000, 16, 3, 8, 2},
        {"six pairs on eight workers", 1'000'000, 1'000'000, 16, 6, 8, 1},
        // A foundry kit of 3 s a load, 2 Vbs x 37 x 37 a pair.
        {"a slow kit, a small table", 3'000'000'000, 2'738, 4, 2, 8, 1},
        {"a slow kit, a vast table", 3'000'000'000, 100'000'000, 64, 1, 8, 8},
        // Each part at least 2 loads of 1 ms: 1,000 points at 2 us.
        {"exactly worth four parts", 1'000'000, 4'000, 16, 1, 8, 4},
        {"a point short of four", 1'000'000, 3'999, 16, 1, 8, 3},
        {"a point short of two", 1'000'000, 1'999, 16, 1, 8, 1},
        {"no product wraps", 1, huge, huge, 1, 8, 8},
    };
    static_assert(kPointNs == 2'000 && kLoadsPerPart == 2);
    for (const Case& k : cases)
        EXPECT_EQ(parts_worth(KitPace{k.load_ns}, k.points, k.units, k.pairs, k.workers), k.parts) << k.name;
}

// The parts of a pair cover each Vbs value of each chunk once, in groups of
// Vbs values (then of chunks) whose sizes differ by one at most; the first
// part starts the pair, as the whole pair's circuit does.
TEST(LutPace, SplitPlansCoverEachVbsValueAndChunkOnce) {
    struct Case {
        std::size_t n_vbs, n_chunks;
        std::uint64_t workers;
        std::size_t parts;
    };
    for (const Case& k : {Case{2, 3, 4, 4}, Case{3, 2, 2, 2}, Case{1, 4, 8, 4}, Case{3, 3, 8, 6},
                          Case{2, 1, 8, 2}, Case{4, 4, 1, 1}, Case{5, 1, 3, 3}}) {
        const std::string name = fmt::cat(k.n_vbs, " Vbs x ", k.n_chunks, " chunks on ", k.workers);
        LutConfig c = small_config();
        c.vbs_values.clear();
        for (std::size_t v = 0; v < k.n_vbs; ++v) c.vbs_values.push_back(-0.1 * static_cast<double>(v));
        auto base = std::make_shared<TaskPlan>();
        base->config = c;
        base->chunks = chunk_indices(sweep_point_count(c.vgs), k.n_chunks);
        ASSERT_EQ(base->chunks.size(), k.n_chunks) << name;
        const auto parts = split_plan(base, c, 1, k.workers, KitPace{1});
        ASSERT_EQ(parts.size(), k.parts) << name;
        if (k.parts == 1) {
            EXPECT_EQ(parts.front(), base) << name;
            continue;
        }
        std::vector<int> covered(k.n_vbs * k.n_chunks, 0);
        std::size_t smallest = SIZE_MAX, largest = 0;
        for (const auto& p : parts) {
            EXPECT_TRUE(p->part) << name;
            EXPECT_EQ(p->netlist_vbs, c.vbs_values.front()) << name;
            const std::size_t size = p->config.vbs_values.size() * p->chunks.size();
            smallest = std::min(smallest, size);
            largest = std::max(largest, size);
            for (std::size_t v = 0; v < p->config.vbs_values.size(); ++v) {
                EXPECT_EQ(p->config.vbs_values[v], c.vbs_values[p->vbs_offset + v]) << name;
                for (std::size_t ch = 0; ch < p->chunks.size(); ++ch) {
                    EXPECT_EQ(p->chunks[ch], base->chunks[p->chunk_offset + ch]) << name;
                    ++covered[(p->vbs_offset + v) * k.n_chunks + p->chunk_offset + ch];
                }
            }
        }
        EXPECT_EQ(covered, std::vector<int>(k.n_vbs * k.n_chunks, 1)) << name;
        EXPECT_LE(largest, 2 * smallest) << name;
        EXPECT_EQ(parts.front()->vbs_offset + parts.front()->chunk_offset, 0u) << name;
    }
}

// On a kit slow to load, a lone pair on eight workers stays whole: one
// request for its rows, one for its shifted sweeps (on its circuit where the
// worker keeps it), on the first call and on a later one, which takes the
// load's time from the memo. The table is the one its parts give on a kit
// that loads at once.
TEST(LutGenerate, APairOnAKitSlowToLoadStaysWhole) {
    LutConfig c = curved_config();
    c.widths = {1e-6};
    c.lengths = {5e-7};
    Scripted quick;
    quick.beyond = curved;
    Recorder quick_rec;
    auto split = generate_lut(3, quick.simulator(8), c, quick_rec);
    ASSERT_TRUE(split) << split.error().text();
    EXPECT_NE(
        quick_rec.stdout_text.find("  1 pair(s) on 8 workers: each split into 6 parts (a load of the kit "
                                   "takes 0.0 ms)\n"),
        std::string::npos)
        << quick_rec.stdout_text;
    EXPECT_GT(quick.ids_starting("lut-w0-l0-slopes-p").size(), 1u);

    const std::string whole_line =
        "  1 pair(s) on 8 workers: each kept whole (a load of the kit takes 3000.0 ms)\n";
    {
        Scripted slow;
        slow.beyond = curved;
        slow.load_ns = 3'000'000'000;
        Recorder rec;
        auto table = generate_lut(3, slow.simulator(8), c, rec);
        ASSERT_TRUE(table) << table.error().text();
        expect_same_table(*table, *split, "without holds");
        EXPECT_NE(rec.stdout_text.find(whole_line), std::string::npos) << rec.stdout_text;
        EXPECT_EQ(slow.ids_starting("lut-w0-l0"),
                  (std::vector<std::string>{"lut-w0-l0", "lut-w0-l0-slopes"}));
    }
    const auto memo = std::make_shared<ProbeMemo>();
    for (const char* call : {"first call", "later call"}) {
        Scripted slow;
        slow.beyond = curved;
        slow.load_ns = 3'000'000'000;
        HeldRun run = held_run(slow, c, 8, memo);
        ASSERT_TRUE(run.table) << call << ": " << run.table.error().text();
        expect_same_table(*run.table, *split, call);
        EXPECT_NE(run.out.find(whole_line), std::string::npos) << call << "\n" << run.out;
        const std::vector<std::string> follow_ups = slow.follow_up_ids();
        const auto followed = [&](const std::string& id) {
            return std::find(follow_ups.begin(), follow_ups.end(), id) != follow_ups.end();
        };
        EXPECT_TRUE(slow.ids_starting("probe-").empty()) << call;
        EXPECT_EQ(followed("probe-device"), std::string(call) == "first call") << call;
        // One load of the kit for the pair (the probe's, on a first call).
        EXPECT_EQ(
            slow.ids_starting("lut-w0-l0"),
            std::vector<std::string>{std::string(call) == "first call" ? "lut-w0-l0-load" : "lut-w0-l0"})
            << call;
        EXPECT_TRUE(followed("lut-w0-l0-slopes")) << call;
    }
}

// What contradicts a probe that found the device: a vector asked for under
// its name that comes back without values from commands that all ran, or
// ngspice saying of that device that it has no such device or vector. Other
// vectors, other devices and other failures do not; nor does a vector found
// under its name without the plot's.
TEST(LutGenerate, AnswersThatContradictTheProbe) {
    const std::vector<std::string> asked = {"dc1.@m.x1.m0[gm]", "dc2.@M.X1.M0[vth]", "m.x1.m0#dbody",
                                            "vds#branch",       "@m.x1.m01[gm]",     "@m1[gm]"};
    const std::vector<std::string> mine = device_vectors(asked, "m.x1.m0");
    EXPECT_EQ(mine, (std::vector<std::string>{"dc1.@m.x1.m0[gm]", "dc2.@M.X1.M0[vth]", "m.x1.m0#dbody"}));
    const auto vector = [](std::string name, std::size_t n) {
        VectorData v;
        v.name = std::move(name);
        v.real.assign(n, 1.0);
        return v;
    };
    const std::vector<VectorData> all = {vector("dc1.@m.x1.m0[gm]", 3), vector("dc2.@m.x1.m0[vth]", 3),
                                         vector("m.x1.m0#dbody", 3)};
    struct Case {
        std::string what;
        bool success;
        std::vector<VectorData> vectors;
        std::vector<std::string> log;
        std::optional<std::string> said;
    };
    const std::vector<Case> cases = {
        {"every one came back", true, all, {}, std::nullopt},
        {"one under its bare name", true, {vector("@m.x1.m0[gm]", 3), all[1], all[2]}, {}, std::nullopt},
        {"one without values",
         true,
         {all[0], vector("dc2.@m.x1.m0[vth]", 0), all[2]},
         {},
         "no values of '@M.X1.M0[vth]' came back for request 'r'"},
        {"one missing", true, {all[0], all[1]}, {}, "no values of 'm.x1.m0#dbody' came back for request 'r'"},
        {"no such device",
         false,
         {},
         {"stderr Error: no such device or model name m.x1.m0"},
         "ngspice says \"Error: no such device or model name m.x1.m0\" to request 'r'"},
        {"a vector of the device not available",
         false,
         {},
         {"stdout Circuit: t",
          "stderr Warning from checkvalid: vector @M.X1.M0[m] is not available or has zero length."},
         "ngspice says \"Warning from checkvalid: vector @M.X1.M0[m] is not available or has zero length.\" "
         "to "
         "request 'r'"},
        {"another device", false, {}, {"stderr Error: no such device or model name m.x1.m01"}, std::nullopt},
        {"another failure", false, {}, {"stderr Error: RHS \" no_such_vector + 1\" invalid"}, std::nullopt},
        {"not on the error stream", false, {}, {"stdout no such device m.x1.m0"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SimulationResponse r;
        r.id = "r";
        r.success = c.success;
        r.vectors = c.vectors;
        r.log = c.log;
        EXPECT_EQ(contradiction(mine, r, "m.x1.m0"), c.said) << c.what;
        EXPECT_FALSE(load_refused(r)) << c.what;
    }

    // A refused load: the log ends with the worker's mark; the error gives ngspice's reasons.
    SimulationResponse refused;
    refused.log = {"stderr Warning: there is no circuit loaded.", "stderr Command 'remcirc' is ignored.",
                   "stderr Error: unknown subckt: x1 d g 0 0 nosuch", std::string(ngspice::kCircuitRefused)};
    refused.error = "stderr Error: unknown subckt: x1 d g 0 0 nosuch";
    EXPECT_TRUE(load_refused(refused));
    EXPECT_EQ(load_refusal(refused),
              "ngspice refused to load the circuit (ngspice: Error: unknown subckt: x1 d g 0 0 nosuch)");
    refused.error = "ngspice refused to load the circuit (ngspice: Undefined parameter [fnoicor])";
    EXPECT_EQ(load_refusal(refused), *refused.error);
    refused.success = true;
    EXPECT_FALSE(load_refused(refused));
}

// A netlist ngspice refuses to load ends the generation at the first answer
// that says so, with ngspice's reasons: no rung of the ladder, no fallback of
// the probe, no request sent again, none after it. With holds, only the
// circuits loaded while the probe was to ask are sent.
TEST(LutGenerate, ADeckNgspiceRefusesToLoadEndsTheGenerationAtOnce) {
    const auto refused = [](SimulationResponse r) -> SimulationOutcome {
        r.success = false;
        r.vectors.clear();
        r.error = "ngspice refused to load the circuit (ngspice: Undefined parameter [fnoicor])";
        r.log = {"stderr Undefined parameter [fnoicor]", std::string(ngspice::kCircuitRefused)};
        return r;
    };
    for (bool holding : {false, true}) {
        Scripted s;
        s.faults.push_back({any_request, refused});
        Simulator sim = s.simulator(2, holding);
        sim.memo = std::make_shared<ProbeMemo>();
        Recorder rec;
        auto table = generate_lut(3, sim, small_config(), rec);
        ASSERT_FALSE(table) << holding;
        EXPECT_EQ(table.error().text(),
                  "simulation failed: ngspice refused to load the circuit (ngspice: Undefined parameter "
                  "[fnoicor])");
        EXPECT_EQ(rec.stderr_text, "") << holding;
        EXPECT_EQ(rec.stdout_text.find("warning"), std::string::npos) << rec.stdout_text;
        std::vector<std::string> ids = s.ids;
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << holding;
        for (const std::string& id : ids) {
            if (holding)
                EXPECT_TRUE(id.ends_with("-load")) << id;
            else
                EXPECT_TRUE(id.starts_with("probe-")) << id;
        }
        EXPECT_LE(ids.size(), holding ? 2u : 3u);
    }
}

// Answers that contradict what the probe found, where that came from the
// pool's memo (a kit edited with its files' identities kept): the memo's
// answers are dropped and the table made again once, probing afresh; answers
// that still contradict it end the generation, and nothing of them is kept.
TEST(LutGenerate, AnswersThatContradictWhatThePoolKeptMakeTheTableAgainOnce) {
    const LutConfig c = small_config();
    const auto memo = std::make_shared<ProbeMemo>();
    const auto run = [&](Scripted& s, Recorder& rec) {
        Simulator sim = s.simulator();
        sim.memo = memo;
        return generate_lut(3, sim, c, rec);
    };
    Scripted clean;
    Recorder first;
    auto reference = run(clean, first);
    ASSERT_TRUE(reference) << reference.error().text();
    const std::string contradicted =
        "ngspice's answers contradict what the probe found of 'm1': no values of '@m1[cgg]' came back for "
        "request 'lut-";
    for (bool heals : {true, false}) {
        // The rows come back without the device's cgg, until the probe has asked again when `heals`.
        Scripted s;
        auto probed = std::make_shared<std::atomic<bool>>(false);
        s.faults.push_back(
            {[probed, heals](const SimulationRequest& r) {
                 if (r.id.starts_with("probe-")) probed->store(true);
                 return r.id.starts_with("lut-") && !(heals && probed->load());
             },
             [](SimulationResponse r) -> SimulationOutcome {
                 std::erase_if(r.vectors, [](const VectorData& v) { return v.name.ends_with("@m1[cgg]"); });
                 return r;
             }});
        Recorder rec;
        auto table = run(s, rec);
        EXPECT_FALSE(s.ids_starting("probe-").empty()) << heals;
        EXPECT_TRUE(rec.stderr_text.starts_with("  warning: " + contradicted)) << rec.stderr_text;
        EXPECT_NE(rec.stderr_text.find("what this pool kept of the kit is stale"), std::string::npos);
        if (heals) {
            ASSERT_TRUE(table) << table.error().text();
            expect_same_table(*table, *reference, "made again");
            // What the second probe found is kept.
            Scripted after;
            Recorder said;
            ASSERT_TRUE(run(after, said));
            EXPECT_TRUE(after.ids_starting("probe-").empty());
        } else {
            ASSERT_FALSE(table);
            EXPECT_TRUE(table.error().text().starts_with("simulation failed: " + contradicted))
                << table.error().text();
            EXPECT_EQ(std::count(rec.stderr_text.begin(), rec.stderr_text.end(), '\n'), 1) << rec.stderr_text;
            // Nothing of it is kept: the next generation probes.
            Scripted after;
            Recorder said;
            ASSERT_TRUE(run(after, said));
            EXPECT_FALSE(after.ids_starting("probe-").empty());
        }
    }
}

// A parameter the probe found that no sweep gives (every group asking for it
// fails on the ladder) is not listed as extracted, with a warning: a listed
// parameter never holds NaN at every point.
TEST(LutGenerate, AParameterNoSweepGaveIsNotListed) {
    Scripted s;
    Recorder rec;
    LutConfig c = one_point_config();
    s.faults.push_back({[](const SimulationRequest& r) {
                            const bool group = r.id.find("-sub") != std::string::npos;
                            return r.id.starts_with("lut-") && !r.id.ends_with("idonly") &&
                                   (!group || r.netlist.find("@m1[vth]") != std::string::npos);
                        },
                        fails_with("stderr Error: x")});
    auto table = generate_lut(1, s.simulator(), c, rec);
    ASSERT_TRUE(table) << table.error().text();
    EXPECT_EQ(table->extracted_op_params, (std::vector<std::string>{"cgg"}));
    EXPECT_FALSE(table->invariant_violation()) << *table->invariant_violation();
    EXPECT_TRUE(table->op[*op_param_index("vth")].data.empty());
    EXPECT_FALSE(std::isnan(table->op[*op_param_index("cgg")].at(0, 0, 0, 0, 0)));
    EXPECT_NE(
        rec.stderr_text.find("parameter 'vth' unavailable — filling with NaN\n  warning: no sweep gave OP "
                             "parameter 'vth' (NaN at every point) — it is absent from the LUT\n"),
        std::string::npos)
        << rec.stderr_text;
}
