#include "bsim4/native.h"

#include <algorithm>
#include <cmath>

#include "common/format.h"
#include "common/text.h"

namespace morva::bsim4::native {

Temperatures Temperatures::from_celsius(std::optional<double> temp_c, std::optional<double> tnom_c) {
    // ngspice's CONSTCtoK.
    constexpr double kCelsiusToKelvin = 273.15;
    Temperatures t;
    if (temp_c) t.temp_k = *temp_c + kCelsiusToKelvin;
    if (tnom_c) t.tnom_k = *tnom_c + kCelsiusToKelvin;
    return t;
}

std::optional<std::string> Temperatures::celsius_problem(std::optional<double> temp_c,
                                                         std::optional<double> tnom_c) {
    const Temperatures kelvin = from_celsius(temp_c, tnom_c);
    const struct {
        const char* name;
        std::optional<double> celsius;
        double kelvin;
    } checks[] = {{"temperature", temp_c, kelvin.temp_k}, {"nominal temperature", tnom_c, kelvin.tnom_k}};
    for (const auto& c : checks) {
        if (!c.celsius || (std::isfinite(c.kelvin) && c.kelvin > 0.0)) continue;
        return fmt::cat(c.name, " ", fmt::display(*c.celsius), " °C is not ",
                        std::isfinite(c.kelvin) ? "above absolute zero" : "a finite number");
    }
    return std::nullopt;
}

std::optional<Bsim4Model> Bsim4Model::from_params(std::string_view device_type, const ParamList& params,
                                                  const Temperatures& temperatures) {
    if (device_type.find('\0') != std::string_view::npos) return std::nullopt;
    Bsim4ModelHandle handle = bsim4_model_new();
    if (!handle) return std::nullopt;
    Bsim4Model model(handle);
    if (bsim4_model_set_temperatures(handle, temperatures.temp_k, temperatures.tnom_k) != BSIM4_OK)
        return std::nullopt;
    bsim4_model_set_type(handle, std::string(device_type).c_str());
    for (const auto& [name, value] : params) {
        if (name.find('\0') != std::string::npos) continue;
        bsim4_model_set_double_param(handle, name.c_str(), value);
    }
    return model;
}

Bsim4InstanceHandle Bsim4Model::instance_with_params(const ParamList& params, double w, double l,
                                                     std::string* problem) const {
    if (problem) problem->clear();
    Bsim4InstanceHandle instance = bsim4_instance_alloc(handle(), 1, w, l);
    if (!instance) return nullptr;
    for (const auto& [name, value] : params) {
        if (name.find('\0') != std::string::npos) continue;
        bsim4_instance_set_inst_param(instance, name.c_str(), value);
    }
    if (bsim4_instance_setup(instance) != BSIM4_OK) {
        if (problem) *problem = bsim4_instance_problem(instance);
        bsim4_instance_free(instance);
        return nullptr;
    }
    return instance;
}

namespace {

// The last value of `name` among the pairs (ASCII case ignored).
std::optional<double> last_value(const ParamList& params, std::string_view name) {
    std::optional<double> found;
    for (const auto& [n, v] : params)
        if (ascii_iequals(n, name)) found = v;
    return found;
}

// An integer selector as the model keeps it: truncated, and 0 when absent or above `max`.
int selector(const ParamList& params, std::string_view name, int max) {
    const std::optional<double> v = last_value(params, name);
    if (!v || !std::isfinite(*v) || *v < 0.0 || *v >= static_cast<double>(max) + 1.0) return 0;
    return static_cast<int>(std::trunc(*v));
}

constexpr std::string_view kTakenAtTerminals =
    " is not solved; currents through it are taken at the terminal voltages";

}  // namespace

namespace {

// `params` without any pair named `name` (ASCII case ignored).
ParamList without(const ParamList& params, std::string_view name) {
    ParamList out;
    for (const auto& pair : params)
        if (!ascii_iequals(pair.first, name)) out.push_back(pair);
    return out;
}

// Whether the instance of `card` with `instance` evaluates to finite values at the bias; false
// when it cannot be built.
bool evaluates_finite(std::string_view device_type, const ParamList& card, const ParamList& instance,
                      double w, double l, double vgs, double vds, double vbs,
                      const Temperatures& temperatures) {
    const std::optional<Bsim4Model> model = Bsim4Model::from_params(device_type, card, temperatures);
    if (!model) return false;
    const UniqueInstance built(model->instance_with_params(instance, w, l));
    if (!built) return false;
    Bsim4DcResults dc{};
    Bsim4TerminalResults terminal{};
    return bsim4_eval_dc_terminal(built.get(), &dc, &terminal, vgs, vds, vbs, temperatures.temp_k) ==
           BSIM4_OK;
}

}  // namespace

std::optional<NonFiniteCause> non_finite_cause(std::string_view device_type, const ParamList& card,
                                               const ParamList& instance, double w, double l, double vgs,
                                               double vds, double vbs, const Temperatures& temperatures) {
    if (evaluates_finite(device_type, card, instance, w, l, vgs, vds, vbs, temperatures)) return std::nullopt;
    for (const bool on_instance : {true, false}) {
        const ParamList& params = on_instance ? instance : card;
        // Each name once, with the value that took effect; the values farthest from 1 first, as
        // the likeliest causes: every trial sets up an instance, and repeats its warnings.
        std::vector<NonFiniteCause> names;
        for (const auto& [name, value] : params) {
            if (std::none_of(names.begin(), names.end(),
                             [&](const NonFiniteCause& c) { return ascii_iequals(c.name, name); }))
                names.push_back({name, *last_value(params, name), on_instance});
        }
        const auto remoteness = [](double v) {
            return !std::isfinite(v) ? HUGE_VAL : v == 0.0 ? 0.0 : std::fabs(std::log10(std::fabs(v)));
        };
        std::stable_sort(names.begin(), names.end(), [&](const NonFiniteCause& a, const NonFiniteCause& b) {
            return remoteness(a.value) > remoteness(b.value);
        });
        for (const NonFiniteCause& c : names) {
            const ParamList left = without(params, c.name);
            const bool finite =
                on_instance
                    ? evaluates_finite(device_type, card, left, w, l, vgs, vds, vbs, temperatures)
                    : evaluates_finite(device_type, left, instance, w, l, vgs, vds, vbs, temperatures);
            if (finite) return c;
        }
    }
    return std::nullopt;
}

InstanceParamUse instance_param_use(std::string_view name) {
    using enum InstanceParamUse;
    static constexpr std::pair<InstanceParamUse, std::string_view> kUses[] = {
        {Evaluator, " nrd nrs ad as pd ps sa sb sd sca scb scc sc delvto delvt0 mulu0 nf "},
        {Caller, " w l m wnflag "},
        {NoDcEffect, " off ic trnqsmod acnqsmod rbodymod rgatemod xgw ngcon rbdb rbsb rbpb rbps rbpd "},
        {Unmodelled, " min geomod rgeomod "},
    };
    if (name.empty() || name.find(' ') != std::string_view::npos) return Unknown;
    const std::string word = fmt::cat(" ", ascii_lower(name), " ");
    for (const auto& [use, names] : kUses)
        if (names.find(word) != std::string_view::npos) return use;
    return Unknown;
}

std::vector<std::string> unsolved_networks(const ParamList& card, const ParamList& instance) {
    std::vector<std::string> networks;
    // An instance's selector in its range replaces the card's, as ngspice takes it.
    const auto mode = [&](std::string_view name, int max) {
        const std::optional<double> v = last_value(instance, name);
        if (v && *v >= 0.0 && *v < static_cast<double>(max) + 1.0) return static_cast<int>(std::trunc(*v));
        return selector(card, name, max);
    };
    if (const int body = mode("rbodymod", 2))
        networks.push_back(fmt::cat("rbodymod=", body, ": the body-resistance network", kTakenAtTerminals));
    if (const int gate = mode("rgatemod", 3))
        networks.push_back(fmt::cat("rgatemod=", gate, ": the gate resistance", kTakenAtTerminals));
    std::string diffusion;
    int sides = 0;
    const double rsh = last_value(card, "rsh").value_or(0.0);
    for (const char* side : {"nrs", "nrd"}) {
        const std::optional<double> squares = last_value(instance, side);
        if (!(rsh > 0.0 && squares && *squares > 0.0)) continue;
        diffusion += fmt::cat(sides++ ? ", " : "", "rsh*", side, "=", fmt::display(rsh * *squares));
    }
    if (sides == 1)
        networks.push_back(fmt::cat(diffusion, ": the diffusion series resistance", kTakenAtTerminals));
    if (sides == 2)
        networks.push_back(
            fmt::cat(diffusion,
                     ": the diffusion series resistances are not solved; currents through them "
                     "are taken at the terminal voltages"));
    return networks;
}

std::optional<std::string> version_notice(const ParamList& card) {
    const std::optional<double> version = last_value(card, "version");
    if (!version) return std::nullopt;
    // ngspice chooses its code by the beginning of the version's text, which the value read
    // back may miss by an ulp ("4.6" quoted is 4.6000000000000005).
    const std::string text = fmt::display(std::round(*version * 1e9) / 1e9);
    const auto starts = [&](std::string_view prefix) { return text.starts_with(prefix); };
    std::string_view ngspice;
    if (starts("4.8")) return std::nullopt;
    if (starts("4.0") || starts("4.1") || starts("4.2") || starts("4.3") || starts("4.4") || starts("4.5"))
        ngspice = "ngspice runs its 4.5 code: currents may differ";
    else if (starts("4.6"))
        ngspice = "ngspice runs its 4.6.5 code: currents may differ";
    else if (starts("4.7"))
        ngspice = "ngspice runs its 4.7 code: currents may differ";
    else
        ngspice = "ngspice has no code of this version and refuses the card";
    return fmt::cat("version ", text, " card evaluated with the BSIM4 4.8 equations (", ngspice, ")");
}

std::string unsolved_network_line(std::string_view cards, std::string_view network) {
    return fmt::cat("  [native] ", cards, ": ", network, "\n");
}

}  // namespace morva::bsim4::native
