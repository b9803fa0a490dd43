// The model a configuration names, looked for in the kit text a generation
// has read before any simulation: a name the kit does not define and a
// geometry outside every bin of a binned model are refused up front, in
// ngspice's terms, instead of surfacing after a probe and the retry ladder
// as ngspice's "could not find a valid modelname". Where this reader cannot
// know what ngspice would find (a file it could not read, a value it cannot
// evaluate, a device line it cannot follow), the decision stays ngspice's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lut/config.h"
#include "spice/model_parser.h"

namespace morva::lut {

// Which generator the model must serve: ngspice (the pool path) takes the
// device line the netlist writes; the native evaluator also takes a
// subcircuit's name for the model inside it, whatever `subcircuit` says, and
// chooses its bins itself (spice::model_parser::select_card_for_length).
enum class ModelUse { Pool, Native };

// Why ngspice could not build the device `config` asks for from the kit:
// - without `model_section`, a model file whose library sections alone
//   define `model_name` (spice::model_parser::section_needed);
// - `model_name` is not a model (nor a bin "name.N") at the kit's top level
//   (a card of a subcircuit's body is that subcircuit's alone), or, with
//   `subcircuit`, not a subcircuit it defines, or that subcircuit's device
//   names a model it does not see (its body's or the top level's);
// - (pool path) no bin of the model holds a (W, L) pair: W and L as ngspice
//   reads them (device_line_size) scaled by the kit's `.option scale`, the
//   bin limits not, within 1 nm, a bin counting only when it gives all four
//   limits (spice::model_parser::ngspice_card). A subcircuit's devices are
//   sized as the native path sizes its device (SubcircuitDefaults::scope
//   with sizes_passed, instance_size: W per finger with wnflag), and binned
//   among its body's cards, evaluated in that scope, when it has the
//   model's.
// `model_file` and `includes` are the kit's text as the generation read it,
// in netlist order: the model file (of its section; none without one), then
// each of `model_includes` (nothing for one that could not be read); without
// a model file the includes alone are the kit.
// Nothing when the device can be built or the text cannot decide (neither a
// model file nor includes, a text not read or not complete, a value or line
// it cannot follow).
std::optional<std::string> model_problem(
    const LutConfig& config, const spice::model_parser::KitText* model_file,
    const std::vector<std::optional<spice::model_parser::KitText>>& includes, ModelUse use);

// What the pool path's X line passes a subcircuit for a (W, L) pair: the
// length, then the width, under `length_param` and `width_param`.
spice::model_parser::ParamMap sizes_passed(const LutConfig& config, double w, double l);

// A width or length as ngspice reads it from the device line the pool path
// writes (its number reader, not a correctly rounded one: 2.19e-7 reads as
// 2.1900000000000002e-7), which decides a bin 1 nm from an edge. A
// subcircuit's device gets the sizes it evaluates (SubcircuitDefaults).
double device_line_size(double value);

}  // namespace morva::lut
