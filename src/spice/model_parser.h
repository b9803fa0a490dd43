// SPICE model libraries as design kits ship them: `.param` lines, `.model`
// cards (binned in length and width), `.lib` corner sections and subcircuit
// wrappers. A tolerant, line-oriented reader, not a SPICE front end: what it
// cannot use is dropped; an unreadable file, a kit whose includes or
// redirects come back to themselves and an include chain cut by its limits
// are errors, and a card value ngspice would refuse is reported when that
// card is chosen (choose_card).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bsim4/error.h"
#include "common/io.h"
#include "common/result.h"
#include "common/text.h"
#include "spice/spice_expr.h"

namespace morva::spice::model_parser {

// The cards read are BSIM4's, and a library that cannot be read is reported
// as a BSIM4 model-file error.
using bsim4::Bsim4Error;
using spice_expr::ParamMap;
using spice_expr::parse_spice_float;
using LogicalLines = std::vector<std::string>;
using ParamList = std::vector<std::pair<std::string, double>>;

// One BSIM4 `.model` card.
struct Bsim4ModelCard {
    std::string name;        // as written, e.g. "nch.3"
    std::string model_type;  // "nmos" or "pmos"
    ParamList params;        // lower-case names, file order; repeats kept
    // Bin limits in metres, from the card's last pair of that name.
    std::optional<double> lmin, lmax, wmin, wmax;
};

// The file readers below follow a kit the way ngspice reads it: an
// ".include file" line brings in that file's lines, a redirect
// ".lib file section" the lines of that section of that file, both in place,
// so `.param` values flow in file order from one file to the next. Relative
// names are resolved against the directory of the file that holds the line.
// The top file being unreadable is the only error: an unreadable included
// file adds nothing, and a redirect whose file cannot be read is looked up in
// the file that holds it. A section runs from its header ".lib name" (the
// name may be quoted) to the first ".endl", bare or naming any section, as
// ngspice reads it; as ngspice reads a library's includes in place before
// it looks for a section, the first header in that text is the section's,
// whether in the file itself or in a file it includes. Each section and each
// included file is read once per call. A kit that ngspice would follow
// without end (a file including itself, a section redirecting back to
// itself, directly or through others) is refused before anything is read
// from it (find_kit_cycle); including one file or section from several
// places is no cycle. Nesting and size are bounded (kMaxKitNesting,
// kMaxKitTextBytes), and a reading cut by either fails naming it. A kit whose
// `.param` values ngspice cannot order is refused too (parameter_refusal).

// Reads every BSIM4 card of the file, whatever section it lies in, with the
// files it includes (whole) and the sections of other files it redirects to.
Result<std::vector<Bsim4ModelCard>, Bsim4Error> parse_lib_file(const std::string& path);
// Reads the cards of one `.lib` section (ASCII case ignored), following the
// sections it redirects to and the files it includes; an absent section
// gives none. Section definitions inside an included file are skipped.
Result<std::vector<Bsim4ModelCard>, Bsim4Error> parse_lib_file_section(const std::string& path,
                                                                       std::string_view section);

// Lines without comments, with "+" continuation lines joined, trimmed.
LogicalLines join_continuation_lines(std::string_view text);
// Values of every `.param` line, as one scope evaluated in ngspice's order
// (param_order): the last definition of a name counts, for every reference
// to it, and a value may name one defined after it. A definition whose value
// cannot be evaluated (an undefined name, its own name) leaves the name
// undefined, and so does a cycle (parameter_refusal reports it).
ParamMap collect_dot_params(const LogicalLines& lines);
// Why ngspice refuses the `.param` values of the lines whatever a netlist
// instantiates, when it does: definitions that name each other in a circle,
// or references nested too deep to follow (param_order::refusal_message),
// among those outside every subcircuit, or among the defaults of one
// subcircuit's header (a subcircuit's whole scope counts only when it is
// used: SubcircuitDefaults::parameter_refusal). The file readers below refuse
// such a kit (kind KitCycle) with this message, for the lines they read.
std::optional<std::string> parameter_refusal(const LogicalLines& lines);
// The name=value pairs of a `.param` or `.option` line that have a value,
// read as ngspice tokenises them: "a=1", "a = 1", "a =1" and "a= 1" alike,
// blanks, commas and double quotes separating, each pair in order (a name
// given twice gives two pairs).
ParamList parse_key_value_pairs(std::string_view text, const ParamMap& params);
// One value: a number, a parameter name or an expression (see spice_expr),
// as ngspice reads `.param` values and subcircuit defaults.
std::optional<double> parse_value(std::string_view text, const ParamMap& params);
// Where a value stands, for site_value.
enum class ValueSite { Card, DeviceLine };
// One value of a `.model` card or of a device line, as ngspice reads it
// there, to the bit: a text that starts like a number
// (spice_expr::starts_like_number) is not evaluated but read by its number
// reader up to where the number ends (spice_expr::leading_number: "4.8.3" is
// 4.8, "0.42+0.01" 0.42, "0x10" 0); a group ({...} or '...') and any other
// text is an expression (parse_value) whose value ngspice substitutes
// (spice_expr::substituted_value). A text in double quotes ("0.5" quoted) has
// only its groups evaluated; the rest is read by the number reader, and a
// quoted text that does not start like a number ("dvth" quoted) has no value
// (ngspice reads 0). What follows a group or a number's token, glued to it
// ("+0.01u" of "0.18u+0.01u", "m" of "{L}m"), is a token of its own: ignored
// on a card, a parameter ngspice does not know on a device line, where the
// value then has none.
std::optional<double> site_value(std::string_view text, const ParamMap& params, ValueSite site);
// Which `.model` lines count: every one, or only those outside every
// subcircuit, the cards a device at the kit's top level sees. ngspice renames
// the cards of a subcircuit's body per instance, so that only the devices of
// that body see them, with the values of that instance's parameters
// (SubcircuitDefaults::models).
enum class CardScope { All, TopLevel };
// The nmos/pmos cards of BSIM4 level (14, 54 or none) among the lines, their
// pairs read in every form ngspice reads a card's (parse_key_value_pairs,
// and also "name value" without "=" for a value that starts like a number),
// their values as ngspice reads them (site_value). A card with a value that
// has no number (an undefined name, an unknown function, a statistical
// function with no argument or more than three, a syntax error, a bare text
// without digits, a quoted one that does not start like a number) or one
// that is not a finite number (nan, inf, 1e309, 1/0, agauss(0.42,0)) is kept
// without that value; `refused`, when given, gets the first such message by
// lower-case card name: "model '{card}': cannot evaluate {name} = {text}"
// (the text as written, double quotes included), with " (not a finite
// number)" after the latter.
std::vector<Bsim4ModelCard> extract_models(const LogicalLines& lines, const ParamMap& params,
                                           std::map<std::string, std::string>* refused = nullptr,
                                           CardScope scope = CardScope::All);
// A `.model` card of any type or level, as ngspice bins it: its name and
// its bin limits (metres), each absent when the card gives none and NaN when
// it gives one this reader cannot evaluate.
struct ModelBins {
    std::string name;  // as written
    std::optional<double> lmin, lmax, wmin, wmax;
};
// Every `.model` card among the lines (of `scope`), in order.
std::vector<ModelBins> list_models(const LogicalLines& lines, const ParamMap& params,
                                   CardScope scope = CardScope::All);
// Appends the lines of `section` to `out`, with the sections it redirects to
// taken from the same lines (there is no file to follow); a section already in
// `visited` adds nothing.
void collect_section_recursive(const LogicalLines& lines, std::string_view section,
                               std::unordered_set<std::string>& visited, LogicalLines& out);

// How the bins of a model are named: as ngspice takes them, "model.N" with N
// digits only; or loosely, any "model.*" (as the native reader also takes
// them, "nch.tt" included).
enum class BinNaming { Ngspice, Loose };
// Whether card name `card` is that of a bin of `model` (ASCII case ignored).
bool is_bin_of(std::string_view card, std::string_view model, BinNaming naming);
// Whether card name `card` is `model` itself or one of its bins.
bool names_model(std::string_view card, std::string_view model, BinNaming naming);

// Whether a bin with these limits (metres) holds a device of `length` x
// `width` (metres, scaled), as ngspice takes it: within 1 nm of a limit
// counts as inside, also for a bin whose limits are the wrong way round. A
// missing limit counts as 0 (lower) or +inf (upper); a NaN one holds nothing.
bool bin_holds(std::optional<double> lmin, std::optional<double> lmax, std::optional<double> wmin,
               std::optional<double> wmax, double length, double width);

// The card ngspice gives a device of `model`, `length` x `width` (metres,
// scaled), among `cards` (any type with `name` and the four limits): the
// first named `model` whatever the size, else the first of its bins, as
// ngspice names them, that gives all four limits and holds the size. None
// when none does; `unknown` (when given) is set when a bin that would count
// has a NaN limit (one the reader could not evaluate).
template <class Card>
const Card* ngspice_card(const std::vector<Card>& cards, std::string_view model, double length, double width,
                         bool* unknown = nullptr) {
    for (const Card& card : cards)
        if (ascii_iequals(card.name, model)) return &card;
    for (const Card& card : cards) {
        if (!is_bin_of(card.name, model, BinNaming::Ngspice)) continue;
        if (!card.lmin || !card.lmax || !card.wmin || !card.wmax) continue;
        if (std::isnan(*card.lmin) || std::isnan(*card.lmax) || std::isnan(*card.wmin) ||
            std::isnan(*card.wmax)) {
            if (unknown) *unknown = true;
            continue;
        }
        if (bin_holds(card.lmin, card.lmax, card.wmin, card.wmax, length, width)) return &card;
    }
    return nullptr;
}

// The card for a device of `length` x `width` (metres): the card ngspice
// gives it (ngspice_card); where ngspice has none, the first of the loosely
// named bins "model.*" that holds the size, a missing limit counting as 0
// (lower) or +inf (upper). None otherwise, as ngspice finds no model for a
// geometry outside every bin; a NaN length or width: none. `cards` may be of
// any type with `name` and the four limits.
template <class Card>
const Card* select_card(const std::vector<Card>& cards, std::string_view model, double length, double width) {
    if (const Card* card = ngspice_card(cards, model, length, width)) return card;
    if (std::isnan(length) || std::isnan(width)) return nullptr;
    // Bins ngspice would not take, for a kit that it refuses.
    for (const Card& card : cards)
        if (is_bin_of(card.name, model, BinNaming::Loose) &&
            bin_holds(card.lmin, card.lmax, card.wmin, card.wmax, length, width))
            return &card;
    return nullptr;
}
const Bsim4ModelCard* select_card_for_length(const std::vector<Bsim4ModelCard>& cards, std::string_view model,
                                             double length, double width);

// True when a card is named `model` or is one of its bins "model.*".
bool has_model(const std::vector<Bsim4ModelCard>& cards, std::string_view model);

// The bins of `model` among the cards, with their limits, as a refusal lists
// them.
std::vector<ModelBins> bins_of(const std::vector<Bsim4ModelCard>& cards, std::string_view model,
                               BinNaming naming);
std::vector<ModelBins> bins_of(const std::vector<ModelBins>& cards, std::string_view model, BinNaming naming);

// Where a refused size comes from when a subcircuit's device line sets it:
// the subcircuit at the sizes passed to it, and its device.
struct SizeSource {
    std::string_view subcircuit;
    double w = 0.0, l = 0.0;
    std::string_view device;
    double fingers = 1.0;  // the device's width is binned per finger (wnflag): nf
};

// The refusal of a device that no bin of `model` holds: where the model was
// looked for (`where`: the file's name in quotes, and more), the W and L
// binned (in the kit's unit), what the kit's `scale` makes of them (when it
// is not 1), where they come from (`source`, when a subcircuit's device sets
// them) and the bins' ranges (at most 12).
std::string bin_miss_message(std::string_view model, std::string_view where, double w, double l, double scale,
                             const std::vector<ModelBins>& bins, const SizeSource* source = nullptr);
// "model '{model}' not found in {where}".
std::string model_not_found(std::string_view model, std::string_view where);
// "model '{model}' is {type} (card '{card}'), not {wanted}": a card of the
// other type.
std::string card_type_message(std::string_view model, const Bsim4ModelCard& card, std::string_view wanted);

// The circuit temperatures a kit sets, in degrees Celsius; none: ngspice's
// 27 °C.
struct KitTemperatures {
    std::optional<double> temp;  // TEMP: the circuit's
    std::optional<double> tnom;  // TNOM: that of a card without tnom
    bool operator==(const KitTemperatures&) const = default;
};

// The temperatures the lines set for a netlist that reads them (expressions
// in the values of their `.param` lines outside every subcircuit), as
// ngspice 39 takes them:
// - `.option`, `.options` and `.opt` lines set TEMP and TNOM by their pairs
//   `temp` and `tnom`: the last line that gives a value counts, and within a
//   line the first pair of that name. The value is read as ngspice's command
//   language reads it (spice_numbers::command_number: "85C" is 85, "85m"
//   0.085), a group ({...}) evaluated; one without a number sets nothing.
// - `.temp` lines (also ".temp=85") set TEMP ahead of every option, the last
//   one counting. Its text is a group or a number as a whole ("85", "-40",
//   "8.5e1"); none is 0 °C, any other text ("100 125", "85C", "1k") 27 °C.
// - Lines inside a subcircuit definition count only when it is
//   `subcircuit`, at its own level, as a netlist instantiating it after the
//   kit expands it: its `.temp` lines after every other line, its options in
//   their place. Subcircuits that its lines instantiate are not followed.
KitTemperatures kit_temperatures(const LogicalLines& lines, std::string_view subcircuit = {});

// The cards a device at a kit's top level sees (CardScope::TopLevel, their
// values from the `.param` lines outside every subcircuit), with the
// `.option scale` its lines set (1 when none).
struct Kit {
    std::vector<Bsim4ModelCard> cards;
    double scale = 1.0;
    std::map<std::string, std::string> refused;  // see extract_models
    bool section_found = true;                   // false: the section asked for has no header
};

// The card for a `device_type` ("nmos" or "pmos") device of `model`,
// `length` x `width` (in the kit's unit: its `.option scale` makes metres of
// them), chosen by select_card_for_length, or the message refusing it: no
// such model (model_not_found), a geometry outside every bin
// (bin_miss_message), or what accept_card refuses.
Result<const Bsim4ModelCard*, std::string> choose_card(const Kit& kit, std::string_view model,
                                                       std::string_view device_type, double length,
                                                       double width, std::string_view file);
// `card`, chosen for a `device_type` device of `model`, or the message
// refusing it: a value ngspice cannot evaluate, a card of the other type.
Result<const Bsim4ModelCard*, std::string> accept_card(const Kit& kit, const Bsim4ModelCard& card,
                                                       std::string_view model, std::string_view device_type);
// Like parse_lib_file (no section) or parse_lib_file_section.
Result<Kit, Bsim4Error> parse_kit(const std::string& path, std::optional<std::string_view> section);
// A kit's lines as parse_kit gathers them, for a caller that takes both its
// cards (kit_from_text) and a subcircuit's defaults
// (extract_subcircuit_defaults_from_lines) from one reading.
struct KitText {
    LogicalLines lines;
    bool section_found = true;
    // False when a file that an include or redirect names could not be read:
    // what the text lacks may be there for ngspice.
    bool complete = true;
    // Read whole (no section): the library sections the files define, by the
    // names their headers give (first occurrence, in reading order), and the
    // lines [first, last) that lie inside those definitions, header and
    // ".endl" included. Included rather than read by section, a file is to
    // ngspice what lies outside them.
    std::vector<std::string> sections;
    std::vector<std::pair<std::size_t, std::size_t>> section_spans;
    // Every file the reading opened or tried to, each once, stamped before
    // it was read: while they all hold (stamps_hold), a reading afresh would
    // give this text.
    std::vector<FileStamp> files;
};
Result<KitText, Bsim4Error> read_kit_text(const std::string& path, std::optional<std::string_view> section);
Kit kit_from_text(const KitText& text);
// The temperatures a kit read as `text` sets (kit_temperatures of its lines;
// of a kit read whole, of those outside its library sections, which ngspice
// reads): for a device at its top level, or in `subcircuit`.
KitTemperatures kit_temperatures(const KitText& text, std::string_view subcircuit = {});

// Whether the file at `path` has section `section` (ASCII case ignored),
// looked for as the readers above look for it (none: the whole file, which
// is there); Io when the file cannot be read, KitCycle when following the
// kit from there meets a cycle (see find_kit_cycle).
Result<bool, Bsim4Error> has_section(const std::string& path, std::optional<std::string_view> section);
// The cycle ngspice would meet following the kit at `path` from section
// `section` (none: the whole file), as "cycle detected while {activity}:
// revisited section '{name}' in {path}" (a section redirecting back to
// itself through its lines and what they include) or "... revisited file
// {path}" (a file including itself, wherever the include stands in a file
// read); none when there is none. Io when the file at `path` cannot be read.
// Every reader above refuses such a kit with this message ("reading model
// file") as a Bsim4Error of kind KitCycle, and pdk::flatten_pdk with its own
// ("flattening PDK").
Result<std::optional<std::string>, Bsim4Error> find_kit_cycle(const std::string& path,
                                                              std::optional<std::string_view> section,
                                                              std::string_view activity);
// The message of a reading refused for such a cycle, or for `.param` values
// ngspice cannot order (parameter_refusal), kind KitCycle; none for any
// other error.
std::optional<std::string> kit_cycle_of(const Bsim4Error& error);
// "section '.LIB {section}' not found in {path}": a section a file lacks.
std::string section_not_found(std::string_view section, const std::string& path);
// The lines of a whole reading outside every library section definition.
LogicalLines lines_outside_sections(const KitText& text);
// Whether the lines define `name` where a device at their top level finds
// it: a model or one of its bins (loosely named) outside every subcircuit,
// or a subcircuit.
bool defines_top_level_name(const LogicalLines& lines, std::string_view name);
// For a kit read whole whose files define library sections: the refusal of
// `name` when it is defined (defines_top_level_name) in them but not outside
// them, which ngspice reads only when one is named: "model '{name}' not
// found in {where} outside its .lib sections; name the section to read with
// model_section (the file has: {sections})". None otherwise.
std::optional<std::string> section_needed(const KitText& text, std::string_view name, std::string_view where);
// What a kit defines under the name of a model that its top level lacks:
// ": it is a subcircuit there, {subcircuit_use}" or ": it is defined inside
// subcircuit '{name}' there, which alone sees it" (a card of its body); empty
// when neither.
std::string defined_elsewhere(const LogicalLines& lines, std::string_view model,
                              std::string_view subcircuit_use);
// Why a device at the top level of the kit read as `text` (its cards `kit`)
// finds no card of `model`: read whole, section_needed; a name that no
// top-level card has, model_not_found with what the kit defines under it
// (defined_elsewhere). None when it has cards of it.
std::optional<std::string> top_level_model_problem(const KitText& text, const Kit& kit,
                                                   std::string_view model, std::string_view where,
                                                   std::string_view subcircuit_use);
// The last "scale" given on `.option` / `.options` lines, 1 when none.
double option_scale(const LogicalLines& lines);
// Instance parameters as ngspice scales them: ps and pd by `scale`, as and
// ad by its square (w and l are the caller's).
void scale_instance_params(ParamList& params, double scale);

// Files of a design kit, followed alike by these readers and by
// pdk::flatten_pdk.

// Includes and redirects nested deeper than this are not followed.
constexpr std::size_t kMaxKitNesting = 256;
// Text gathered from one kit beyond this size is not followed further:
// files that include another twice at every level would grow exponentially.
constexpr std::size_t kMaxKitTextBytes = std::size_t{256} << 20;

// The path of the file that `word` names in a line of the file at
// `including`: `word` itself when absolute, else joined to the directory of
// `including` ("." when it has none).
std::string kit_file_path(const std::string& including, std::string_view word);
// The form under which a file is recognised when reached again: absolute,
// links and "." / ".." resolved; `path` itself when that fails.
std::string canonical_kit_path(const std::string& path);

// name=value pairs as written: lower-case names, value texts untouched.
using RawParamList = std::vector<std::pair<std::string, std::string>>;

// One instance parameter of a device line: its value (site_value), or none
// when it cannot be evaluated (an undefined name, an unknown function, text
// after a number's token: ngspice refuses the line).
struct InstanceParam {
    std::string name;  // lower-case
    std::string text;  // as written
    std::optional<double> value;
    // Not a number as written (an expression, a name): ngspice substituted
    // the value into the line, and `value` is what it read back
    // (substituted_value).
    bool substituted = false;
};

// The value ngspice 39 gives a card or an instance for an expression it
// substituted there (spice_expr::substituted_value): 3 comes back as
// 3.0000000000000004, 6 as 6.000000000000001; most values are unchanged or an
// ulp away.
double substituted_value(double value);

// Defaults of a subcircuit wrapping one transistor.
struct SubcircuitDefaults {
    std::string name;                          // as the caller asked for it
    std::string inner_model;                   // lower-case; empty when no device line names one
    std::map<std::string, double> params;      // numeric defaults by lower-case name
    std::map<std::string, std::string> exprs;  // non-numeric header defaults, as text

    // What ngspice evaluates when it expands the subcircuit: the header's
    // defaults and the body's `.param` pairs in file order, the pairs of the
    // device line that names `inner_model`, and the `.param` values of the
    // lines outside every subcircuit (those the subcircuit's texts name).
    RawParamList header;
    RawParamList body_params;
    RawParamList device;
    std::string device_name;  // the instance name of that line, as written
    ParamMap globals;

    // Why ngspice refuses a netlist that instantiates the subcircuit, when it
    // does: its definitions (header defaults with the body's `.param` lines),
    // or those of a subcircuit defined inside it or instantiated by its
    // lines, name each other in a circle (param_order::refusal_message).
    std::optional<std::string> parameter_refusal;

    // Every device line of the body, as written, with its pairs; those of a
    // subcircuit defined inside the body are not the body's.
    struct DeviceLine {
        std::string text;
        RawParamList pairs;
    };
    std::vector<DeviceLine> devices;

    // The `.model` lines of the body (at its own level): ngspice gives them to
    // the body's devices alone, and evaluates them in the instance's scope.
    // The texts of their bin limits are read once, for local_bins.
    struct BodyModel {
        std::string line;
        std::string name;                                  // as written
        std::array<std::optional<std::string>, 4> limits;  // lmin, lmax, wmin, wmax as written
        std::string model_type;  // "nmos", "pmos" or empty, as extract_models reads it
        bool bsim4 = false;      // an nmos/pmos card of BSIM4 level, as extract_models takes them
    };
    std::vector<BodyModel> models;
    // Whether a device of the body naming `model` sees the body's cards of it
    // rather than the kit's: as ngspice decides, when a body card is `model`
    // or one of its bins "model.N".
    bool defines_model(std::string_view model) const;
    // The name and limits of each of `models`, in order, evaluated in `scope`.
    std::vector<ModelBins> local_bins(const ParamMap& scope) const;

    // The values the body's lines see when the X line passes `passed`
    // (lower-case names), evaluated as ngspice does: the subcircuit is one
    // scope over the lines outside it, in which a passed value replaces a
    // body `.param` of that name, which replaces a header default (the last
    // definition of a name counts); values may use each other in any order
    // (ngspice sorts them by what they use, param_order), a value naming its
    // own name takes the one outside, and one that cannot be evaluated stays
    // undefined.
    ParamMap scope(const ParamMap& passed) const;
    // A device line's instance parameters (`pairs`: one of `devices`, or
    // `device`), in line order, evaluated in `scope`.
    static std::vector<InstanceParam> instance_params(const RawParamList& pairs, const ParamMap& scope);
    // The instance parameters of the device line that names `inner_model`.
    std::vector<InstanceParam> compute_instance_params(const ParamMap& passed) const;
};

// The size a device line gives its instance, as ngspice bins it (before the
// kit's `.option scale`).
struct InstanceSize {
    // The last w and l given; none when the line gives none or one that
    // cannot be evaluated.
    std::optional<double> w, l;
    // The finger count (as site_value reads it: an expression's read back as
    // ngspice reads a substituted value) and the wnflag switch; none when not
    // evaluated.
    std::optional<double> nf = 1.0;
    std::optional<bool> wnflag = false;

    // The width ngspice bins on for a device `width` wide: per finger with
    // wnflag; none when that cannot be known.
    std::optional<double> binned_width(double width) const;
    // What the width is divided by for binning; none when not known.
    std::optional<double> fingers_binned() const;
};
InstanceSize instance_size(const std::vector<InstanceParam>& params);

// The `.param` values of the lines outside every subcircuit: those a
// subcircuit sees beneath its own.
ParamMap params_outside_subcircuits(const LogicalLines& lines);

Result<std::optional<SubcircuitDefaults>, Bsim4Error> parse_subcircuit_defaults(const std::string& path,
                                                                                std::string_view name);
Result<std::optional<SubcircuitDefaults>, Bsim4Error> parse_subcircuit_defaults_section(
    const std::string& path, std::string_view name, std::string_view section);
// Subcircuit `name` (ASCII case ignored) of the lines: its first definition
// outside every other, as one defined inside a subcircuit is that
// subcircuit's own; its body ends at its own ".ends".
std::optional<SubcircuitDefaults> extract_subcircuit_defaults_from_lines(const LogicalLines& lines,
                                                                         std::string_view name);
// Whether the lines define subcircuit `name`, as the reader above finds it.
bool has_subcircuit(const LogicalLines& lines, std::string_view name);

}  // namespace morva::spice::model_parser
