// What a characterisation learns about the device before its sweeps: its
// flattened name, which requested operating-point parameters the model
// reports, the small-signal values the sweeps save (and whether the drain
// and source reach the channel through series resistances), and what a
// subcircuit wrapper carries at the drain beside the device. One request
// asks all of it (on a first call, follow-ups on the circuit a task loaded
// for its rows: ProbeCircuit); when ngspice fails that request, each
// question is asked on its own. A pool keeps the answers (ProbeMemo) for as
// long as the kit's files stay as they were.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lut/config.h"
#include "lut/kit_files.h"
#include "lut/netlists.h"
#include "lut/pace.h"
#include "lut/report.h"
#include "lut/simulator.h"

namespace morva::lut::generate_ngspice {

// What the probing found out about the device and what the simulator
// reports for it.
struct Probed {
    std::string device_path;
    SmallSignalPlan small_signal;
    ParamMask extract{};  // the requested parameters the model reports
    u128 ns = 0;          // the probing's wall time
    KitPace pace;         // what the probe's loads of the kit took

    // Whether the answers came from the memo, and under which key they are
    // (or are now) kept there.
    bool kept = false;
    std::string memo_key;
};

// The answers of probes that ended in ngspice's own answers, by the text of
// the probing request, the parameters requested and the identity of every
// file of the kit (kit_identity): a later generation of the same device on
// an unchanged kit takes them without a request. Safe to share between
// generations.
struct ProbeMemo {
    struct Record {
        std::string device_path;
        SmallSignalPlan plan;
        ParamMask supported{};  // the requested parameters the model reports
        // The lines the probing wrote before its report of the parameters
        // (to standard error when the flag is set), in order.
        std::vector<std::pair<bool, std::string>> lines;
        KitPace pace;  // what the probing's loads of the kit took
    };
    // Kept per pool: a few devices of a few kits.
    static constexpr std::size_t kEntries = 32;

    std::optional<Record> find(const std::string& key) const;
    void keep(std::string key, Record record);
    // Drops what is kept under `key`: ngspice's answers contradicted it.
    void forget(const std::string& key);

    // What is kept of the kits' files themselves.
    KitMemo kits;

private:
    mutable std::mutex mutex_;                            // guards entries_
    std::deque<std::pair<std::string, Record>> entries_;  // oldest first
};

// A circuit that one task's worker loads for its rows before the probe has
// answered (its device at the probe's W and L, its Vbs the probe's), on
// which the probing asks its questions as follow-ups instead of loading a
// netlist of its own: on a kit that is slow to parse, the probe and the
// pairs then share their loads.
class ProbeCircuit {
public:
    virtual ~ProbeCircuit() = default;
    // Starts the loads (the probe has to ask): the probe's circuit with a
    // listing in its load when `listing`.
    virtual void start(bool listing) = 0;
    // The probe circuit's load: its outcome and, when its worker holds it,
    // the circuit. Waits for it.
    virtual HeldOutcome take() = 0;
    // The circuit after the probing, for its task's rows (none when lost).
    virtual void give_back(std::unique_ptr<HeldCircuit> circuit) = 0;
    // The probing could not use the circuits: every one loaded early is let
    // go (its worker serves the probes), and its task loads afresh.
    virtual void let_go() = 0;
};

// "m1", or "m.x1.{device_name}" for a device inside a subcircuit.
std::string guessed_device_path(const LutConfig& config);

// The flattened device name from a "listing e" of the probe netlist, or the
// guess with a warning; with `nodes`, a subcircuit's nodes between the
// device and its terminals as well (wrapper_nodes).
std::string detect_device_path(const Simulator& simulator, const LutConfig& config, Messages& messages,
                               WrapperNodes* nodes = nullptr);

// Which requested parameters the model supports: one concurrent probe each.
ParamMask probe_op_params(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                          const std::string& device_path);

// The flags of `op_params` (ASCII case ignored); an unknown name is said on
// stdout and ignored.
ParamMask requested_mask(const LutConfig& config, Messages& messages);

// The device, as one request (or the memo) tells it; each question alone
// when ngspice fails that request. Nothing more is asked once the
// simulator's failure latch has fired (the result is then incomplete). With
// `circuit` (and nothing in the memo), the questions are follow-ups on it:
// the small-signal values (and a subcircuit's wrapper, the device switched
// off and back) in one, the requested parameters in another, each in a sweep
// of its own; where ngspice fails one or the circuit is lost, those
// questions are asked as without it.
Probed probe_device(const Simulator& simulator, const LutConfig& config, Messages& messages,
                    ProbeCircuit* circuit = nullptr);

}  // namespace morva::lut::generate_ngspice
