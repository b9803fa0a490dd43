// What a characterisation learns about the device before its sweeps: its
// flattened name, which requested operating-point parameters the model
// reports, the small-signal values the sweeps save (and whether the drain
// and source reach the channel through series resistances), and what a
// subcircuit wrapper carries at the drain beside the device. One request
// asks all of it; when ngspice fails that request, each question is asked
// on its own. A pool keeps the answers (ProbeMemo) for as long as the kit's
// files stay as they were.
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
    };
    // Kept per pool: a few devices of a few kits.
    static constexpr std::size_t kEntries = 32;

    std::optional<Record> find(const std::string& key) const;
    void keep(std::string key, Record record);

    // What is kept of the kits' files themselves.
    KitMemo kits;

private:
    mutable std::mutex mutex_;                            // guards entries_
    std::deque<std::pair<std::string, Record>> entries_;  // oldest first
};

// "m1", or "m.x1.{device_name}" for a device inside a subcircuit.
std::string guessed_device_path(const LutConfig& config);

// The flattened device name from a "listing e" of the probe netlist, or the
// guess with a warning.
std::string detect_device_path(const Simulator& simulator, const LutConfig& config, Messages& messages);

// Which requested parameters the model supports: one concurrent probe each.
ParamMask probe_op_params(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                          const std::string& device_path);

// The flags of `op_params` (ASCII case ignored); an unknown name is said on
// stdout and ignored.
ParamMask requested_mask(const LutConfig& config, Messages& messages);

// The device, as one request (or the memo) tells it; each question alone
// when ngspice fails that request. Nothing more is asked once the
// simulator's failure latch has fired (the result is then incomplete).
Probed probe_device(const Simulator& simulator, const LutConfig& config, Messages& messages);

}  // namespace morva::lut::generate_ngspice
