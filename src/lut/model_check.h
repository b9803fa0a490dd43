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
#include <string_view>
#include <vector>

#include "lut/config.h"
#include "spice/model_parser.h"

namespace morva::lut {

// Which generator the model must serve: ngspice (the pool path) takes the
// device line the netlist writes; the native evaluator also takes a
// subcircuit's name for the model inside it, whatever `subcircuit` says, and
// chooses its bins itself (see bin_miss_message).
enum class ModelUse { Pool, Native };

// Why ngspice could not build the device `config` asks for from the kit:
// - `model_name` is not a model (nor a bin "name.N") the kit defines, or, with
//   `subcircuit`, not a subcircuit it defines, or that subcircuit's device
//   names a model it does not define;
// - (pool path) no bin of the model holds a (W, L) pair: W and L scaled by the
//   kit's `.option scale` (and W divided by a subcircuit device's nf), the bin
//   limits not, within 1 nm, a bin counting only when it gives all four limits.
// `model_file` and `includes` are the kit's text as the generation read it,
// in netlist order: the model file (of its section), then each of
// `model_includes` (nothing for one that could not be read).
// Nothing when the device can be built or the text cannot decide (no model
// file, a text not read or not complete, a value or line it cannot follow).
std::optional<std::string> model_problem(
    const LutConfig& config, const spice::model_parser::KitText* model_file,
    const std::vector<std::optional<spice::model_parser::KitText>>& includes, ModelUse use);

// One bin as a refusal lists it.
struct BinRange {
    std::string name;
    std::optional<double> lmin, lmax, wmin, wmax;
};

// The refusal of a geometry that no bin of `model` holds: where the model
// was looked for (`where`: the file's name in quotes, and more), the W and L
// asked, what the kit's `scale` makes of them (when it is not 1), and the
// bins' ranges. `device`, when not empty, says where the geometry comes from
// (a subcircuit's device and its own W and L).
std::string bin_miss_message(std::string_view model, std::string_view where, double w, double l, double scale,
                             const std::vector<BinRange>& bins, std::string_view device = {});

}  // namespace morva::lut
