// Models and instances of the native BSIM4 evaluator built from parsed model cards.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bsim4_model/bsim4.h"

namespace morva::bsim4::native {

// The twelve values of one DC evaluation: ids, gm, gds, gmbs, vth, vdsat, cbs, cbd, gbs, gbd, rs, rd.
using Bsim4DcResults = ::Bsim4DcResults;

using ParamList = std::vector<std::pair<std::string, double>>;

// ngspice's default circuit temperature, 27 °C, in kelvin.
inline constexpr double kDefaultTemperatureK = 300.15;

// The circuit's temperatures in kelvin: the one every evaluation runs at (ngspice's TEMP) and the
// nominal one of a card without tnom (TNOM).
struct Temperatures {
    double temp_k = kDefaultTemperatureK;
    double tnom_k = kDefaultTemperatureK;

    // From degrees Celsius, converted as ngspice converts them; none given is 27 °C.
    static Temperatures from_celsius(std::optional<double> temp_c, std::optional<double> tnom_c);
    // Why the evaluator cannot run at these (degrees Celsius): one that is not a finite number
    // above absolute zero, named as given ("temperature -300 °C is not above absolute zero",
    // "temperature inf °C is not a finite number", or "nominal temperature ..."); none when it
    // can.
    static std::optional<std::string> celsius_problem(std::optional<double> temp_c,
                                                      std::optional<double> tnom_c);
};

// Frees an instance handle (bsim4_instance_free).
struct InstanceDeleter {
    void operator()(morva::bsim4::model::Instance* instance) const { bsim4_instance_free(instance); }
};
using UniqueInstance = std::unique_ptr<morva::bsim4::model::Instance, InstanceDeleter>;

// Owns one evaluator model; releasing it frees the model. Free the instances made from it first
// (an instance left over is detached and only good for bsim4_instance_free).
class Bsim4Model {
public:
    // A model of the device type ("nmos", "pmos", "nfet", "pfet"; any text beginning with p is
    // p-channel) with each (name, value) pair set in order. Names that are not model parameters
    // are dropped. Only what the pairs set counts as given: every other parameter takes its
    // default. Its instances are set up at `temperatures` (the evaluations name their own).
    // Nothing when the model cannot be allocated, the type holds a NUL or the temperatures have
    // a problem.
    static std::optional<Bsim4Model> from_params(std::string_view device_type, const ParamList& params,
                                                 const Temperatures& temperatures = {});

    // An instance of one finger, width w and length l (metres) with the instance parameters of
    // the pairs (others dropped), set up. Null when it cannot be allocated or set up; `problem`
    // (when given) then gets what the setup refused (bsim4_instance_problem), or is emptied. The
    // caller frees it with bsim4_instance_free before the model goes.
    Bsim4InstanceHandle instance_with_params(const ParamList& params, double w, double l,
                                             std::string* problem = nullptr) const;

    Bsim4ModelHandle handle() const { return model_.get(); }

private:
    struct ModelDeleter {
        void operator()(morva::bsim4::model::Model* model) const { bsim4_model_free(model); }
    };
    explicit Bsim4Model(Bsim4ModelHandle model) : model_(model) {}
    std::unique_ptr<morva::bsim4::model::Model, ModelDeleter> model_;
};

// A parameter whose value keeps an evaluation from giving finite values: its name as the pairs
// give it, the value that took effect (the last of that name), and whether it is the instance's.
struct NonFiniteCause {
    std::string name;
    double value = 0.0;
    bool instance = false;
};

// Why the evaluation of an instance of the card (w, l, the instance pairs) at (vgs, vds, vbs),
// n-channel frame, gives no finite values: a name of the instance pairs, else of the card's, whose
// leaving out (its default in its place) lets that evaluation give them, values farthest from 1
// tried first. Nothing when no single parameter does (or the evaluation is finite as it stands).
// For the report of a failed evaluation only: each name tried builds a model and an instance.
std::optional<NonFiniteCause> non_finite_cause(std::string_view device_type, const ParamList& card,
                                               const ParamList& instance, double w, double l, double vgs,
                                               double vds, double vbs, const Temperatures& temperatures);

// What the native path makes of a BSIM4 instance parameter (lower-case name) that a device line
// gives, as ngspice 39 reads that line.
enum class InstanceParamUse : std::uint8_t {
    Evaluator,   // set on the evaluator's instance: nrd nrs ad as pd ps sa sb sd sca scb scc sc
                 // delvto delvt0 mulu0 nf
    Caller,      // the caller's: w and l (the size), m (currents and slopes times m), wnflag
                 // (the card chosen by w / nf)
    NoDcEffect,  // ngspice's DC currents do not depend on it beyond the networks unsolved_networks
                 // names: off ic trnqsmod acnqsmod rbodymod rgatemod xgw ngcon rbdb rbsb rbpb rbps rbpd
    Unmodelled,  // it changes ngspice's DC currents and the evaluator has no such input: min geomod
                 // rgeomod
    Unknown,     // not an instance parameter: ngspice refuses the line
};
InstanceParamUse instance_param_use(std::string_view name);

// The resistive networks ngspice builds around an instance of a card and the evaluator does not
// solve (their nodes are taken as the terminals): the body-resistance network (rbodymod 1 or 2),
// the gate resistance (rgatemod 1 to 3) and the diffusion resistances rsh * nrs and rsh * nrd of
// an instance that gives nrs or nrd; an instance's rbodymod or rgatemod replaces the card's. One
// text each, naming the selector ("rbodymod=1: the body-resistance network is not solved; ...");
// none for a card without them. Parameters count as the model takes them: the last of a name,
// selectors truncated, and 0 out of their range.
std::vector<std::string> unsolved_networks(const ParamList& card, const ParamList& instance = {});

// What the card's `version` (the last given) makes ngspice run that the evaluator does not: ngspice
// runs its 4.5 code for versions 4.0 to 4.5, its 4.6.5 code for 4.6 and its 4.7 code for 4.7, and
// refuses a version it has no code for; the evaluator runs the 4.8 equations on every card. One
// text, as unsolved_networks gives them ("version 4.5 card evaluated with the BSIM4 4.8 equations
// (ngspice runs its 4.5 code: currents may differ)"); none for a 4.8 card or one without version.
std::optional<std::string> version_notice(const ParamList& card);

// The standard-error line of one such text for the cards named (comma-separated), newline included.
std::string unsolved_network_line(std::string_view cards, std::string_view network);

}  // namespace morva::bsim4::native
