// What a characterisation run is asked to do: the device, its model source,
// the five sweep axes and the operating-point quantities to extract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"

namespace morva::lut {

// A (start, stop, step) voltage sweep.
struct SweepRange {
    double start = 0.0;
    double stop = 0.0;
    double step = 0.0;

    // n + 1 points start + i * step, n = round((stop - start) / step) with
    // halves away from zero, negative or NaN quotients counting as 0.
    std::vector<double> points() const;
    // The number of points `points` returns, saturating at SIZE_MAX.
    std::size_t point_count() const;
};

// The most points a configured sweep or length list may hold: beyond this a
// table could not be generated or held in memory anyway.
inline constexpr std::size_t kMaxSweepPoints = 1'000'000;

// Why `range` is no sweep, naming it `name` (morva::sweep_shape_problem of
// common/sweep.h, which every sweep of the system shares).
std::optional<std::string> sweep_shape_problem(const SweepRange& range, std::string_view name);

// `n` lengths spaced logarithmically from `start` to `stop` (descending when
// stop < start). For n >= 2 both ends must be strictly positive.
std::vector<double> logspace_lengths(std::size_t n, double start, double stop);

enum class DeviceType : std::uint8_t { Nmos, Pmos };

// Parses the device-type text exactly ("nmos" or "pmos"); the error is the
// user-facing message.
Result<DeviceType, std::string> parse_device_type(std::string_view text);
// The text of `type`: "nmos" or "pmos", as a card's type is written.
std::string_view device_type_name(DeviceType type);

// The internal configuration read by the generators and the cache key.
struct LutConfig {
    DeviceType device_type = DeviceType::Nmos;
    std::string model_card;
    std::optional<std::string> model_file;
    std::optional<std::string> model_section;
    std::string model_name = "nch";
    std::vector<double> widths{1e-5};
    std::vector<double> lengths{5e-7};
    std::vector<double> vbs_values{0.0};
    SweepRange vgs{0.0, 1.8, 0.05};
    SweepRange vds{0.0, 1.8, 0.05};
    bool subcircuit = false;
    std::string width_param = "W";
    std::string length_param = "L";
    std::vector<std::pair<std::string, std::string>> model_includes;
    std::string device_name = "m0";
    std::vector<std::string> op_params;
    bool use_native_bsim4 = false;
    bool use_dc_solver = false;
    std::optional<std::string> subcircuit_name;
};

// The arguments of the Python constructor after type conversion, before the
// axis lists are resolved and checked.
struct LutConfigRequest {
    struct LogLengths {
        double start = 0.0;
        double stop = 0.0;
        std::uint64_t count = 0;
    };

    std::string device_type = "nmos";
    double width = 1e-5;
    double length = 5e-7;
    std::optional<SweepRange> lengths;
    std::optional<LogLengths> lengths_log;
    std::optional<std::vector<double>> lengths_values;
    std::optional<std::vector<double>> widths_values;
    SweepRange vgs{0.0, 1.8, 0.05};
    SweepRange vds{0.0, 1.8, 0.05};
    double vbs = 0.0;
    std::optional<std::vector<double>> vbs_values;
    std::string model_card;
    std::optional<std::string> model_file;
    std::optional<std::string> model_section;
    std::optional<std::string> model_name;
    bool subcircuit = false;
    std::string width_param = "W";
    std::string length_param = "L";
    std::vector<std::pair<std::string, std::string>> model_includes;
    std::string device_name = "m0";
    std::vector<std::string> op_params;
    bool use_native_bsim4 = false;
    std::optional<std::string> subcircuit_name;
    bool use_dc_solver = false;
};

// Resolves the width, length and Vbs lists and checks the request; the error
// is the user-facing message of the first failed check. The device type is
// not checked here (it stays text until `parse_device_type`), so the result's
// `device_type` is left at its default.
Result<LutConfig, std::string> resolve_config(const LutConfigRequest& request);

}  // namespace morva::lut
