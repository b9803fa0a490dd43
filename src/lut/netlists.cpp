#include "lut/netlists.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include <sys/stat.h>

#include "common/format.h"
#include "common/io.h"
#include "common/sweep.h"
#include "common/text.h"
#include "lut/cache.h"
#include "spice/spice_numbers.h"

namespace morva::lut::generate_ngspice {
namespace {

constexpr std::string_view kBuiltinNmos =
    ".model nch nmos level=3 tox=10n vth0=0.7 kp=80u gamma=0.5 phi=0.6 lambda=0.01 +nsub=1e17 nss=0 "
    "nfs=1e11 xj=0.2u ld=0.05u delta=0 theta=0.1 eta=0 kappa=0.2";
constexpr std::string_view kBuiltinPmos =
    ".model pch pmos level=3 tox=10n vth0=-0.7 kp=40u gamma=0.6 phi=0.6 lambda=0.015 +nsub=1e17 nss=0 "
    "nfs=1e11 xj=0.2u ld=0.05u delta=0 theta=0.1 eta=0 kappa=0.2";

// ngspice ends a DC sweep once the swept value passes the stop by more than
// this (dctrcurv.c: DBL_EPSILON * 1e3).
constexpr double kSweepTolerance = DBL_EPSILON * 1e3;

using spice::spice_numbers::NumberReader;

// The value ngspice's netlist reader takes from a number written for it;
// `fallback` for a text it reads no number from.
double netlist_value(std::string_view text, double fallback) {
    return spice::spice_numbers::read_back(text, NumberReader::Netlist).value_or(fallback);
}

// The points ngspice's DC sweep visits from `start` towards `stop`: it adds
// the step to the swept value and ends once the value lies beyond `stop` by
// more than kSweepTolerance.
std::size_t ngspice_visits(double start, double stop, double step) {
    if (!std::isfinite(start) || !std::isfinite(stop) || !std::isfinite(step) || step == 0.0) return 1;
    const double sign = step > 0.0 ? 1.0 : -1.0;
    constexpr std::size_t kCap = kMaxSweepPoints + 2;
    std::size_t n = 0;
    for (double v = start; n < kCap && sign * (v - stop) <= kSweepTolerance; v += step) ++n;
    return n;
}

bool has_blank(std::string_view text) { return text.find(' ') != std::string_view::npos; }

// A path for ".include": quoted when it holds a blank, which ngspice would
// otherwise take as the end of the path.
std::string include_path_token(const std::string& path) {
    if (!has_blank(path)) return path;
    return fmt::cat('"', path, '"');
}

// The directory the worker loads the netlist from: the model file's.
std::optional<std::string> model_dir(const LutConfig& c) {
    if (!c.model_file) return std::nullopt;
    const std::string resolved = resolve_path(*c.model_file);
    std::string_view path = resolved;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return std::nullopt;
    std::size_t end = slash;
    while (end > 0 && path[end - 1] == '/') --end;
    return std::string(end == 0 ? std::string_view("/") : path.substr(0, end));
}

// A path for ".lib", which ngspice 39 splits at blanks whatever the quotes:
// a path with blanks is written relative to the model file's directory,
// against which ngspice resolves it. Nothing when that leaves a blank.
std::optional<std::string> lib_path_token(const LutConfig& c, const std::string& resolved) {
    if (!has_blank(resolved)) return resolved;
    const auto dir = model_dir(c);
    if (!dir) return std::nullopt;
    const std::string prefix = *dir == "/" ? *dir : *dir + "/";
    if (!resolved.starts_with(prefix)) return std::nullopt;
    std::string_view rel = std::string_view(resolved).substr(prefix.size());
    while (rel.starts_with('/')) rel.remove_prefix(1);
    if (rel.empty() || has_blank(rel)) return std::nullopt;
    return std::string(rel);
}

std::string device_line(const LutConfig& c, double w, double l) {
    // A subcircuit's parameters are read as expressions, correctly rounded.
    if (c.subcircuit)
        return fmt::cat("X1 drain gate source bulk ", c.model_name, " ", c.length_param, "=",
                        exact_number(l, 3, NumberReader::Expression), " ", c.width_param, "=",
                        exact_number(w, 3, NumberReader::Expression));
    return fmt::cat("M1 drain gate source bulk ", c.model_name, " ", c.width_param, "=", exact_number(w, 3),
                    " ", c.length_param, "=", exact_number(l, 3));
}

// The small-signal vectors, then the masked operating-point vectors that
// are not among them: each name once.
std::vector<std::string> saved_vectors(const ParamMask& mask, std::string_view device,
                                       const std::vector<std::string>& small_signal) {
    std::vector<std::string> out = small_signal;
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (!mask[k]) continue;
        std::string name = op_vector_name(device, KNOWN_OP_PARAMS[k]);
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(std::move(name));
    }
    return out;
}

std::string saved_params(const ParamMask& mask, std::string_view device,
                         const std::vector<std::string>& small_signal) {
    std::string out;
    const std::vector<std::string> names = saved_vectors(mask, device, small_signal);
    if (names.empty()) return out;
    out = ".save vds#branch\n";
    for (const std::string& name : names) out += fmt::cat(".save ", name, "\n");
    return out;
}

// "dc vds ... vgs ...": ngspice lower-cases the deck it loads while the
// interactive command looks sources up by exact name.
std::string dc_command(const LutConfig& c, const SweepRange& vgs) {
    return fmt::cat("dc vds ", sweep_text(c.vds.start, c.vds.stop, c.vds.step), " vgs ",
                    sweep_text(vgs.start, vgs.stop, vgs.step));
}

std::string alter_command(double vbs) {
    return fmt::cat(" alter @Vbs[dc] = ", exact_number(vbs, 6, NumberReader::Command));
}

void append_prefixed_vectors(std::vector<std::string>& out, const std::string& prefix,
                             std::string_view device, const ParamMask& mask,
                             const std::vector<std::string>& small_signal) {
    out.push_back(fmt::cat(prefix, "vds#branch"));
    for (const std::string& name : saved_vectors(mask, device, small_signal)) out.push_back(prefix + name);
}

bool has_control_char(std::string_view text) {
    for (unsigned char ch : text) {
        if (ch < 0x20 || ch == 0x7f) return true;
    }
    return false;
}

bool is_device_token(std::string_view token) {
    if (token.size() <= 1) return false;
    const auto lower = [&](std::size_t k) {
        return static_cast<char>(token[k] >= 'A' && token[k] <= 'Z' ? token[k] - 'A' + 'a' : token[k]);
    };
    if (lower(0) != 'm') return false;
    if (token[1] == '.') return token.size() >= 3;
    return token[1] >= '0' && token[1] <= '9';
}

}  // namespace

std::string resolve_path(const std::string& path) { return utf8_lossy(cache::resolve(path)); }

std::optional<std::string> netlist_text_problem(const LutConfig& c) {
    const auto control = [](std::string_view name) {
        return fmt::cat(name, " must not contain line breaks or control characters");
    };
    const std::pair<std::string_view, const std::string*> texts[] = {
        {"model_name", &c.model_name},
        {"width_param", &c.width_param},
        {"length_param", &c.length_param},
        {"device_name", &c.device_name},
        {"model_file", c.model_file ? &*c.model_file : nullptr},
        {"model_section", c.model_section ? &*c.model_section : nullptr},
    };
    for (const auto& [name, text] : texts) {
        if (text && has_control_char(*text)) return control(name);
    }
    for (const auto& [path, section] : c.model_includes) {
        if (has_control_char(path) || has_control_char(section)) return control("model_includes");
    }
    // Names are single netlist words: "tt ff" would silently select tt.
    for (const auto& [name, text] : texts) {
        if (text && name != "model_file" && has_blank(*text))
            return fmt::cat(name, " must be a single word without blanks");
    }
    for (const auto& [path, section] : c.model_includes) {
        if (has_blank(section))
            return std::string("model_includes sections must be single words without blanks");
    }
    return std::nullopt;
}

namespace {

// ngspice would wait on a FIFO for a writer, or read a device without end,
// until the worker times out.
bool special_file(const std::string& path) {
    struct stat st {};
    return !path_has_nul(path) && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
           !S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> netlist_path_problem(const LutConfig& c) {
    if (c.model_file) {
        const std::string resolved = resolve_path(*c.model_file);
        if (special_file(cache::resolve(*c.model_file)))
            return fmt::cat("model_file is not a regular file (", fmt::debug_str(resolved), ")");
        if (c.model_section && !lib_path_token(c, resolved)) {
            const std::size_t slash = resolved.rfind('/');
            return fmt::cat(
                "model_file: ngspice cannot read a .lib file whose name contains blanks (",
                fmt::debug_str(slash == std::string::npos ? resolved : resolved.substr(slash + 1)), ")");
        }
        if (!c.model_section && has_blank(resolved) && resolved.find('"') != std::string::npos)
            return std::string("model_file must not contain both blanks and double quotes");
    }
    for (const auto& [path, section] : c.model_includes) {
        const std::string resolved = resolve_path(path);
        if (special_file(cache::resolve(path)))
            return fmt::cat("model_includes: not a regular file (", fmt::debug_str(resolved), ")");
        if (!lib_path_token(c, resolved))
            return fmt::cat("model_includes: ngspice cannot read the .lib path ", fmt::debug_str(resolved),
                            "; a library whose path contains blanks must lie in the model file's directory");
    }
    return std::nullopt;
}

std::string exact_number(double value, int digits, NumberReader reader) {
    return spice::spice_numbers::number_text(value, digits, reader);
}

std::size_t sweep_point_count(double start, double stop, double step) {
    if (!std::isfinite(start) || !std::isfinite(stop) || !std::isfinite(step) || step == 0.0) return 1;
    const double sign = step > 0.0 ? 1.0 : -1.0;
    const auto within = [&](std::size_t i) {
        return sign * ((static_cast<double>(i) * step + start) - stop) <= kSweepTolerance;
    };
    // From the rounded count, whose last point lies within half a step of
    // stop: at most one step to take back. Bounded, as the configuration caps
    // the rounded count.
    constexpr std::uint64_t kCap = kMaxSweepPoints + 2;
    std::size_t i = std::min(morva::sweep_point_count(start, stop, step).value_or(kCap), kCap) - 1;
    while (i > 0 && !within(i)) --i;
    while (i + 1 < kCap && within(i + 1)) ++i;
    return within(i) ? i + 1 : 1;
}

std::vector<double> sweep_axis(const SweepRange& r) {
    const std::size_t n = sweep_point_count(r);
    std::vector<double> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<double>(i) * r.step + r.start);
    return out;
}

std::string sweep_text(double start, double stop, double step) {
    const std::size_t n = sweep_point_count(start, stop, step);
    const std::string start_text = exact_number(start, 6), step_text = exact_number(step, 6);
    // What ngspice sweeps with: the values it reads from these texts.
    const double first = netlist_value(start_text, start), by = netlist_value(step_text, step);
    const double last = static_cast<double>(n - 1) * step + start;
    std::string stop_text = fmt::exp(last, 6);
    if (ngspice_visits(first, netlist_value(stop_text, last), by) != n) {
        // Over a long sweep the rounding of the repeated additions can carry
        // the swept value past a stop that sits on the last point; half a step
        // beyond the value ngspice reaches there keeps that point and no more.
        double reached = first;
        for (std::size_t i = 1; i < n; ++i) reached += by;
        stop_text = fmt::exp_shortest(reached + by / 2.0);
    }
    return fmt::cat(start_text, " ", stop_text, " ", step_text);
}

std::string build_model_card(const LutConfig& c) {
    std::string out;
    // Paths `netlist_path_problem` refuses are written as they are.
    const auto lib_path = [&c](const std::string& path) {
        const std::string resolved = resolve_path(path);
        return lib_path_token(c, resolved).value_or(resolved);
    };
    if (c.model_file) {
        out = c.model_section ? fmt::cat(".lib ", lib_path(*c.model_file), " ", *c.model_section)
                              : fmt::cat(".include ", include_path_token(resolve_path(*c.model_file)));
    } else if (!c.model_card.empty()) {
        out = c.model_card;
    } else {
        out = std::string(c.device_type == DeviceType::Pmos ? kBuiltinPmos : kBuiltinNmos);
    }
    for (const auto& [path, section] : c.model_includes) {
        out += fmt::cat("\n.lib ", lib_path(path), " ", section);
    }
    return out;
}

namespace {

// The characterisation netlist around its block of .save lines.
std::string characterisation_netlist(const LutConfig& c, const SweepRange& vgs, std::string_view saved,
                                     double w, double l, double vbs) {
    std::string out;
    out.reserve(512 + c.model_card.size());
    out += fmt::cat(device_type_name(c.device_type), " characterisation ", c.width_param, "=", fmt::exp(w, 3),
                    " ", c.length_param, "=", fmt::exp(l, 3), "\n\n* model\n");
    out += build_model_card(c);
    out += "\n\n* test bench\n";
    out += device_line(c, w, l);
    out += fmt::cat("\nVds drain source dc 0\nVgs gate  source dc 0\nVbs bulk  source dc ",
                    exact_number(vbs, 3), "\nVs  source 0    dc 0\n\n* operating-point parameters\n");
    out += saved;
    out += fmt::cat("\n* sweep\n.dc Vds ", sweep_text(c.vds.start, c.vds.stop, c.vds.step), " Vgs ",
                    sweep_text(vgs.start, vgs.stop, vgs.step), "\n\n.end");
    return out;
}

}  // namespace

std::string build_netlist(const LutConfig& c, const SweepRange& vgs, const ParamMask& mask,
                          std::string_view device_path, double w, double l, double vbs,
                          const std::vector<std::string>& small_signal) {
    return characterisation_netlist(c, vgs, saved_params(mask, device_path, small_signal), w, l, vbs);
}

std::string build_slope_netlist(const LutConfig& c, const std::vector<BeyondTerms>& rest, double w,
                                double l) {
    std::string saved = ".save vds#branch\n";
    for (const std::string& name : rest_vectors(rest)) saved += fmt::cat(".save ", name, "\n");
    return characterisation_netlist(c, c.vgs, saved, w, l, c.vbs_values.empty() ? 0.0 : c.vbs_values.front());
}

double slope_shift(const LutConfig& c, SlopeAxis axis) {
    switch (axis) {
        case SlopeAxis::Vds: return c.vds.step < 0.0 ? -kSlopeShift : kSlopeShift;
        case SlopeAxis::Vgs: return c.vgs.step < 0.0 ? -kSlopeShift : kSlopeShift;
        case SlopeAxis::Vbs: break;
    }
    return c.device_type == DeviceType::Pmos ? kSlopeShift : -kSlopeShift;
}

std::vector<std::string> build_slope_commands(const LutConfig& c, const std::vector<ShiftedSweep>& sweeps) {
    std::vector<std::string> out;
    out.reserve(2 * sweeps.size());
    for (const ShiftedSweep& s : sweeps) {
        const double vbs = s.vbs_index < c.vbs_values.size() ? c.vbs_values[s.vbs_index] : 0.0;
        const double dbs = s.axis == SlopeAxis::Vbs ? slope_shift(c, SlopeAxis::Vbs) : 0.0;
        const double dgs = s.axis == SlopeAxis::Vgs ? slope_shift(c, SlopeAxis::Vgs) : 0.0;
        const double dds = s.axis == SlopeAxis::Vds ? slope_shift(c, SlopeAxis::Vds) : 0.0;
        const auto at = [](const SweepRange& r, double k) { return r.start + r.step * k; };
        const double lead_in = static_cast<double>(s.cols.first) - static_cast<double>(kSlopeLeadIn);
        out.push_back(alter_command(vbs + dbs));
        out.push_back(fmt::cat("dc vds ",
                               sweep_text(at(c.vds, lead_in) + dds,
                                          at(c.vds, static_cast<double>(s.cols.second)) + dds, c.vds.step),
                               " vgs ",
                               sweep_text(at(c.vgs, static_cast<double>(s.rows.first)) + dgs,
                                          at(c.vgs, static_cast<double>(s.rows.second)) + dgs, c.vgs.step)));
    }
    return out;
}

std::vector<std::string> build_slope_return_vectors(std::size_t n_plots,
                                                    const std::vector<BeyondTerms>& rest) {
    const std::vector<std::string> names = rest_vectors(rest);
    std::vector<std::string> out;
    out.reserve((1 + names.size()) * n_plots + 1);
    for (std::size_t p = 1; p <= n_plots; ++p) {
        const std::string prefix = n_plots == 1 ? std::string() : fmt::cat("dc", p, ".");
        out.push_back(fmt::cat(prefix, "vds#branch"));
        for (const std::string& name : names) out.push_back(prefix + name);
    }
    out.emplace_back("vds#branch");
    return out;
}

namespace {

// The probes' sweep: three Vgs points from the sweep's start, at mid Vds or,
// with `to_vds_stop`, at five Vds points from there to the sweep's end; the
// sources named as `vds` and `vgs` give them.
std::string probe_sweep(const LutConfig& c, bool to_vds_stop, std::string_view vds_name,
                        std::string_view vgs_name) {
    const double vds = (c.vds.start + c.vds.stop) / 2.0;
    const std::string vgs_sweep =
        fmt::cat(vgs_name, " ", sweep_text(c.vgs.start, c.vgs.start + 2.0 * c.vgs.step, c.vgs.step));
    const double vds_step = (c.vds.stop - vds) / 4.0;
    return to_vds_stop && vds_step != 0.0 && std::isfinite(vds_step)
               ? fmt::cat(vds_name, " ", sweep_text(vds, c.vds.stop, vds_step), " ", vgs_sweep)
               : vgs_sweep;
}

// A short Vgs sweep from the sweep's start saving the drain branch and
// `saved` (vector names separated by spaces), titled after `param`: at mid
// Vds, or with `to_vds_stop` at five Vds points from there to the sweep's
// end.
std::string probe_netlist(const LutConfig& c, std::string_view param, std::string_view saved,
                          bool to_vds_stop = false) {
    const double w = c.widths.empty() ? 1e-5 : c.widths.front();
    const double l = c.lengths.empty() ? 0.0 : c.lengths[c.lengths.size() / 2];
    const double vds = (c.vds.start + c.vds.stop) / 2.0;
    const double vbs = c.vbs_values.empty() ? 0.0 : c.vbs_values.front();
    std::string out = fmt::cat(device_type_name(c.device_type), " probe (", param, ")\n\n");
    out += build_model_card(c);
    out += "\n\n";
    out += device_line(c, w, l);
    const std::string dc = probe_sweep(c, to_vds_stop, "Vds", "Vgs");
    out += fmt::cat("\nVds drain source dc ", fmt::exp(vds, 3),
                    "\nVgs gate  source dc 0\nVbs bulk  source dc ", exact_number(vbs, 3),
                    "\nVs  source 0    dc 0\n\n.save vds#branch ", saved, "\n\n.dc ", dc, "\n\n.end");
    return out;
}

}  // namespace

std::vector<std::string> build_save_commands(const ParamMask& mask, std::string_view device_path,
                                             const std::vector<std::string>& small_signal) {
    std::vector<std::string> out{"delete all"};
    const std::vector<std::string> names = saved_vectors(mask, device_path, small_signal);
    if (names.empty()) return out;
    std::string save = "save vds#branch";
    for (const std::string& name : names) save += fmt::cat(" ", name);
    out.push_back(std::move(save));
    return out;
}

std::string op_probe_sweep_command(const LutConfig& c) {
    const double vds = (c.vds.start + c.vds.stop) / 2.0;
    return fmt::cat("dc vds ", sweep_text(vds, vds, c.vds.step), " ", probe_sweep(c, false, "vds", "vgs"));
}

std::string build_probe_netlist(const LutConfig& c, std::string_view param, std::string_view device_path) {
    return probe_netlist(c, param, op_vector_name(device_path, param));
}

std::vector<std::string> small_signal_probe_vectors(std::string_view device_path) {
    std::vector<std::string> out;
    for (std::string_view name : SMALL_SIGNAL_PARAMS) out.push_back(op_vector_name(device_path, name));
    for (std::string_view name : SERIES_PARAMS) out.push_back(op_vector_name(device_path, name));
    for (std::string_view node : INTERNAL_NODES) out.push_back(internal_node_vector(device_path, node));
    for (const RestCurrent& rest : REST_CURRENTS) out.push_back(op_vector_name(device_path, rest.name));
    return out;
}

std::string build_small_signal_probe_netlist(const LutConfig& c, std::string_view device_path,
                                             bool to_vds_stop) {
    std::string saved;
    for (const std::string& name : small_signal_probe_vectors(device_path))
        saved += fmt::cat(saved.empty() ? "" : " ", name);
    return probe_netlist(c, SMALL_SIGNAL_PARAMS[0], saved, to_vds_stop);
}

std::string device_off_command(std::string_view device_path) {
    return fmt::cat(" alter ", op_vector_name(device_path, "m"), " = ", fmt::exp_shortest(kDeviceOff));
}

std::string build_wrapper_probe_netlist(const LutConfig& c) { return probe_netlist(c, "wrapper", "", true); }

std::string build_device_probe_netlist(const LutConfig& c, std::string_view device_path) {
    std::string saved;
    for (const std::string& name : small_signal_probe_vectors(device_path))
        saved += fmt::cat(saved.empty() ? "" : " ", name);
    return probe_netlist(c, "device", saved, true);
}

std::string probe_sweep_command(const LutConfig& c) {
    return fmt::cat("dc ", probe_sweep(c, true, "vds", "vgs"));
}

std::vector<std::string> build_terminal_commands(const LutConfig& c, const WrapperAxes& along) {
    std::vector<std::string> out{std::string(kTightOptions)};
    const auto dc = [&c](double dgs, double dds) {
        return fmt::cat("dc vds ", sweep_text(c.vds.start + dds, c.vds.stop + dds, c.vds.step), " vgs ",
                        sweep_text(c.vgs.start + dgs, c.vgs.stop + dgs, c.vgs.step));
    };
    for (double vbs : c.vbs_values) {
        out.push_back(alter_command(vbs));
        for (double shift : {kWrapperShift, -kWrapperShift}) {
            if (along[0]) out.push_back(dc(shift, 0.0));
        }
        for (double shift : {kWrapperShift, -kWrapperShift}) {
            if (along[1]) out.push_back(dc(0.0, shift));
        }
        if (!along[2]) continue;
        for (double shift : {kWrapperShift, -kWrapperShift}) {
            out.push_back(alter_command(vbs + shift));
            out.push_back(dc(0.0, 0.0));
        }
    }
    return out;
}

std::vector<std::string> build_wrapper_commands(const LutConfig& c, std::string_view device_path,
                                                const WrapperAxes& along) {
    std::vector<std::string> out{device_off_command(device_path)};
    for (std::string& command : build_terminal_commands(c, along)) out.push_back(std::move(command));
    return out;
}

std::string internal_node_vector(std::string_view device_path, std::string_view node) {
    return fmt::cat(device_path, "#", node);
}

BeyondTerms channel_beyond(std::string_view device_path, double polarity, bool both_modes) {
    BeyondTerms out{true, {{op_vector_name(device_path, "id"), -polarity}}, std::nullopt};
    if (both_modes)
        out.reverse = BeyondTerms::Reverse{
            {{op_vector_name(device_path, "id"), polarity}}, "drain", "source", polarity};
    return out;
}

std::vector<std::string> rest_vectors(const std::vector<BeyondTerms>& rest) {
    std::vector<std::string> out;
    const auto add = [&out](const std::string& name) {
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    };
    for (const BeyondTerms& part : rest) {
        for (const auto& term : part.vectors) add(term.first);
        if (!part.reverse) continue;
        for (const auto& term : part.reverse->vectors) add(term.first);
        add(part.reverse->drain);
        add(part.reverse->source);
    }
    return out;
}

std::optional<std::size_t> SmallSignalPlan::index_of(std::string_view name) const {
    for (std::size_t k = 0; k < vectors.size(); ++k) {
        if (ascii_iequals(vectors[k], name)) return k;
    }
    return std::nullopt;
}

std::vector<std::string> build_multi_vbs_commands(const LutConfig& c, const SweepRange& vgs) {
    std::vector<std::string> out{"run"};
    if (c.vbs_values.size() < 2) return out;
    const std::string dc = dc_command(c, vgs);
    for (std::size_t v = 1; v < c.vbs_values.size(); ++v) {
        out.push_back(alter_command(c.vbs_values[v]));
        out.push_back(dc);
    }
    return out;
}

std::vector<std::string> build_vbs_sweep_commands(const LutConfig& c) {
    std::vector<std::string> out;
    const std::string dc = dc_command(c, c.vgs);
    for (double vbs : c.vbs_values) {
        out.push_back(alter_command(vbs));
        out.push_back(dc);
    }
    return out;
}

std::vector<std::string> build_part_commands(const LutConfig& c, const std::vector<Chunk>& chunks,
                                             const std::vector<double>& vbs_values, bool starts_with_run) {
    std::vector<std::string> out;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const std::string dc = dc_command(c, chunk_range(c, chunks[k]));
        for (std::size_t v = 0; v < vbs_values.size(); ++v) {
            if (starts_with_run && k == 0 && v == 0) {
                out.emplace_back("run");
                continue;
            }
            out.push_back(alter_command(vbs_values[v]));
            out.push_back(dc);
        }
    }
    return out;
}

std::vector<std::string> build_all_chunks_commands(const LutConfig& c, const std::vector<Chunk>& chunks) {
    std::vector<std::string> out{"run"};
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const std::string dc = dc_command(c, chunk_range(c, chunks[k]));
        for (std::size_t v = k == 0 ? 1 : 0; v < c.vbs_values.size(); ++v) {
            out.push_back(alter_command(c.vbs_values[v]));
            out.push_back(dc);
        }
    }
    return out;
}

std::vector<std::string> build_return_vectors(std::size_t n_plots, std::string_view device_path,
                                              const ParamMask& mask,
                                              const std::vector<std::string>& small_signal) {
    std::vector<std::string> out;
    for (std::size_t p = 1; p <= n_plots; ++p) {
        append_prefixed_vectors(out, n_plots == 1 ? std::string() : fmt::cat("dc", p, "."), device_path, mask,
                                small_signal);
    }
    out.emplace_back("vds#branch");
    return out;
}

std::vector<std::string> plot_vectors(std::string_view device_path, const ParamMask& mask,
                                      const std::vector<std::string>& small_signal) {
    std::vector<std::string> out;
    append_prefixed_vectors(out, std::string(), device_path, mask, small_signal);
    return out;
}

std::vector<std::string> build_return_vectors_all(std::size_t n_chunks, std::size_t n_vbs,
                                                  std::string_view device_path, const ParamMask& mask,
                                                  const std::vector<std::string>& small_signal) {
    std::vector<std::string> out;
    const bool prefixed = n_chunks * n_vbs != 1;
    for (std::size_t k = 0; k < n_chunks; ++k) {
        for (std::size_t v = 0; v < n_vbs; ++v) {
            const std::size_t plot = k * n_vbs + v + 1;
            append_prefixed_vectors(out, prefixed ? fmt::cat("dc", plot, ".") : std::string(), device_path,
                                    mask, small_signal);
        }
    }
    out.emplace_back("vds#branch");
    return out;
}

std::string op_vector_name(std::string_view device_path, std::string_view param) {
    return fmt::cat("@", device_path, "[", param, "]");
}

SweepRange chunk_range(const LutConfig& c, const Chunk& chunk) {
    return {c.vgs.start + c.vgs.step * static_cast<double>(chunk.first),
            c.vgs.start + c.vgs.step * static_cast<double>(chunk.second), c.vgs.step};
}

std::vector<Chunk> chunk_indices(std::size_t n, std::size_t k) {
    std::vector<Chunk> out;
    if (n == 0 || k == 0) return out;
    const std::size_t size = n / k + (n % k != 0);
    for (std::size_t first = 0; first < n; first += size)
        out.emplace_back(first, std::min(first + size, n) - 1);
    return out;
}

namespace {

// What a line of a "listing e" in the log says after its number (the
// worker's "stdout "/"stderr " tag and "N : " dropped), for lines that have
// one.
std::optional<std::string_view> listing_text(std::string_view line) {
    if (line.starts_with("stdout ") || line.starts_with("stderr ")) line.remove_prefix(7);
    const std::size_t sep = line.find(" : ");
    if (sep == std::string_view::npos) return std::nullopt;
    return line.substr(sep + 3);
}

}  // namespace

std::optional<std::string> extract_mosfet_name(const std::vector<std::string>& log) {
    for (const std::string& entry : log) {
        const std::optional<std::string_view> text = listing_text(entry);
        if (!text) continue;
        const std::string_view token = first_word(*text);
        if (is_device_token(token)) return std::string(token);
    }
    return std::nullopt;
}

WrapperNodes wrapper_nodes(const std::vector<std::string>& log, std::string_view device_path) {
    WrapperNodes out;
    bool found = false;
    for (const std::string& entry : log) {
        const std::optional<std::string_view> text = listing_text(entry);
        if (!text) continue;
        const std::vector<std::string_view> words = split_whitespace(*text);
        if (words.empty()) continue;
        if (!ascii_iequals(words[0], device_path)) {
            // An element of the bench's instance X1 ("r.x1.rd"): ngspice
            // flattens the subcircuit's lines under its name.
            const std::string name = ascii_lower(words[0]);
            const std::size_t dot = name.find(".x1.");
            if (dot != std::string::npos && dot > 0 && name[0] != 'c') out.beside = true;
            continue;
        }
        // The device's drain, gate, source and body nodes follow its name.
        if (found || words.size() < 5) continue;
        found = true;
        // The bench's own nodes (build_netlist's X line).
        if (!ascii_iequals(words[1], "drain")) out.drain = ascii_lower(words[1]);
        if (!ascii_iequals(words[3], "source")) out.source = ascii_lower(words[3]);
    }
    if (!found) return WrapperNodes{};
    return out;
}

const ngspice::VectorData* find_vector(const std::vector<ngspice::VectorData>& vectors,
                                       std::string_view name) {
    for (const ngspice::VectorData& v : vectors) {
        if (ascii_iequals(v.name, name)) return &v;
    }
    return nullptr;
}

std::vector<std::string> model_dir_pre_commands(const LutConfig& c) {
    if (auto dir = model_dir(c)) return {fmt::cat("chdir:", *dir)};
    return {};
}

}  // namespace morva::lut::generate_ngspice
