#include "lut/extract.h"

#include <algorithm>
#include <limits>

#include "common/format.h"
#include "common/text.h"

namespace morva::lut::generate_ngspice {
namespace {

const ngspice::VectorData* find_prefixed(const ngspice::SimulationResponse& r, std::string_view prefix,
                                         std::string_view name) {
    if (const auto* v = find_vector(r.vectors, fmt::cat(prefix, name))) return v;
    return find_vector(r.vectors, name);
}

std::string available_names(const ngspice::SimulationResponse& r) {
    std::string out = "[";
    for (std::size_t i = 0; i < r.vectors.size(); ++i) {
        if (i) out += ", ";
        out += fmt::debug_str(r.vectors[i].name);
    }
    out += "]";
    return out;
}

std::string plot_prefix(bool prefixed, std::size_t plot) {
    return prefixed ? fmt::cat("dc", plot, ".") : std::string();
}

}  // namespace

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

void TimingSums::add_worker(const ngspice::WireTiming& t) {
    worker.parse_ns = saturating_add(worker.parse_ns, t.parse_ns);
    worker.precmd_ns = saturating_add(worker.precmd_ns, t.precmd_ns);
    worker.circ_ns = saturating_add(worker.circ_ns, t.circ_ns);
    worker.cmd_ns = saturating_add(worker.cmd_ns, t.cmd_ns);
    worker.harvest_ns = saturating_add(worker.harvest_ns, t.harvest_ns);
    worker.write_ns = saturating_add(worker.write_ns, t.write_ns);
    worker.destroy_ns = saturating_add(worker.destroy_ns, t.destroy_ns);
    worker.fs_write_ns = saturating_add(worker.fs_write_ns, t.fs_write_ns);
}

Result<VbsData, NgspiceError> extract_chunk_for_prefix(const ngspice::SimulationResponse& response,
                                                       std::string_view prefix, std::size_t n_rows,
                                                       std::size_t n_vds, std::string_view device_path,
                                                       const ParamMask& mask,
                                                       const std::vector<std::string>& small_signal) {
    const ngspice::VectorData* branch = find_prefixed(response, prefix, "vds#branch");
    if (!branch)
        return err(NgspiceError::simulation(
            fmt::cat("'", prefix, "vds#branch' not found; available: ", available_names(response))));
    const std::size_t n = n_rows * n_vds;
    if (branch->real.size() != n)
        return err(
            NgspiceError::simulation(fmt::cat("expected ", n, " points (", n_rows, "×", n_vds, "), got ",
                                              branch->real.size(), " (prefix='", prefix, "' vds#branch)")));
    VbsData out;
    out.id.reserve(n);
    for (double x : branch->real) out.id.push_back(-x);
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (!mask[k]) continue;
        const auto* v = find_prefixed(response, prefix, op_vector_name(device_path, KNOWN_OP_PARAMS[k]));
        if (v && v->real.size() == n) {
            out.ops[k] = v->real;
        } else {
            out.ops[k].assign(n, std::numeric_limits<double>::quiet_NaN());
        }
    }
    if (!small_signal.empty()) {
        std::vector<const ngspice::VectorData*> found(small_signal.size());
        bool whole = true;
        for (std::size_t k = 0; k < found.size(); ++k) {
            found[k] = find_prefixed(response, prefix, small_signal[k]);
            whole = whole && found[k] && found[k]->real.size() == n;
        }
        if (whole) {
            out.small_signal.reserve(found.size());
            for (const ngspice::VectorData* v : found) out.small_signal.push_back(v->real);
        }
    }
    return out;
}

std::optional<std::vector<VbsData>> extract_all_vbs(const ngspice::SimulationResponse& response,
                                                    std::size_t n_vbs, std::size_t n_rows, std::size_t n_vds,
                                                    std::string_view device_path, const ParamMask& mask,
                                                    const std::vector<std::string>& small_signal) {
    std::vector<VbsData> out;
    out.reserve(n_vbs);
    for (std::size_t v = 0; v < n_vbs; ++v) {
        auto data = extract_chunk_for_prefix(response, plot_prefix(n_vbs != 1, v + 1), n_rows, n_vds,
                                             device_path, mask, small_signal);
        if (!data) return std::nullopt;
        out.push_back(std::move(*data));
    }
    return out;
}

std::optional<std::vector<std::vector<VbsData>>> extract_all_chunks_vbs(
    const ngspice::SimulationResponse& response, std::size_t n_chunks, std::size_t n_vbs,
    const std::vector<std::size_t>& chunk_rows, std::size_t n_vds, std::string_view device_path,
    const ParamMask& mask, const std::vector<std::string>& small_signal) {
    std::vector<std::vector<VbsData>> out(n_chunks);
    const bool prefixed = n_chunks * n_vbs >= 2;
    for (std::size_t c = 0; c < n_chunks; ++c) {
        const std::size_t n_rows = c < chunk_rows.size() ? chunk_rows[c] : 0;
        out[c].reserve(n_vbs);
        for (std::size_t v = 0; v < n_vbs; ++v) {
            auto data = extract_chunk_for_prefix(response, plot_prefix(prefixed, c * n_vbs + v + 1), n_rows,
                                                 n_vds, device_path, mask, small_signal);
            if (!data) return std::nullopt;
            out[c].push_back(std::move(*data));
        }
    }
    return out;
}

std::optional<std::vector<std::vector<double>>> extract_beyond(const ngspice::SimulationResponse& response,
                                                               const std::vector<ShiftedSweep>& sweeps,
                                                               const std::vector<BeyondTerms>& rest) {
    std::vector<std::vector<double>> out;
    out.reserve(sweeps.size());
    for (std::size_t k = 0; k < sweeps.size(); ++k) {
        const std::string prefix = plot_prefix(sweeps.size() >= 2, k + 1);
        const std::size_t swept = sweeps[k].swept_points();
        const ngspice::VectorData* branch = find_prefixed(response, prefix, "vds#branch");
        if (!branch || branch->real.size() != swept) return std::nullopt;
        const std::size_t row = swept / (sweeps[k].rows.second - sweeps[k].rows.first + 1);
        std::vector<double>& values = out.emplace_back();
        values.reserve(sweeps[k].points() * rest.size());
        const auto find = [&](const std::string& name) -> const ngspice::VectorData* {
            const ngspice::VectorData* v = find_prefixed(response, prefix, name);
            return v && v->real.size() == swept ? v : nullptr;
        };
        for (const BeyondTerms& part : rest) {
            // The vectors of the forward terms, then of the reverse ones.
            std::vector<const ngspice::VectorData*> terms;
            const ngspice::VectorData *drain = nullptr, *source = nullptr;
            for (const BeyondTerms::Terms* set :
                 {&part.vectors, part.reverse ? &part.reverse->vectors : nullptr}) {
                if (!set) continue;
                for (const auto& term : *set) {
                    terms.push_back(find(term.first));
                    if (!terms.back()) return std::nullopt;
                }
            }
            if (part.reverse) {
                drain = find(part.reverse->drain);
                source = find(part.reverse->source);
                if (!drain || !source) return std::nullopt;
            }
            for (std::size_t p = 0; p < swept; ++p) {
                if (p % row < kSlopeLeadIn) continue;
                const bool reversed = part.reverse && part.reverse->at(drain->real[p], source->real[p]);
                const BeyondTerms::Terms& set = part.terms(reversed);
                const std::size_t first = reversed ? part.vectors.size() : 0;
                double sum = part.drain_current ? -branch->real[p] : 0.0;
                for (std::size_t t = 0; t < set.size(); ++t) sum += set[t].second * terms[first + t]->real[p];
                values.push_back(sum);
            }
        }
    }
    return out;
}

std::optional<std::vector<double>> extract_wrapper_slopes(const ngspice::SimulationResponse& response,
                                                          std::size_t n_vbs, const WrapperAxes& along,
                                                          std::size_t n_points) {
    const std::size_t n_axes = static_cast<std::size_t>(std::count(along.begin(), along.end(), true));
    if (n_axes == 0) return std::nullopt;
    std::vector<double> out(n_vbs * 4 * n_points, 0.0);
    std::size_t plot = 0;
    for (std::size_t v = 0; v < n_vbs; ++v) {
        double* current = out.data() + v * 4 * n_points;
        bool first = true;
        for (std::size_t a = 0; a < along.size(); ++a) {
            if (!along[a]) continue;
            const ngspice::VectorData* up =
                find_vector(response.vectors, fmt::cat(plot_prefix(true, ++plot), "vds#branch"));
            const ngspice::VectorData* down =
                find_vector(response.vectors, fmt::cat(plot_prefix(true, ++plot), "vds#branch"));
            if (!up || !down || up->real.size() != n_points || down->real.size() != n_points)
                return std::nullopt;
            // Id = -vds#branch.
            double* slope = current + (a + 1) * n_points;
            for (std::size_t p = 0; p < n_points; ++p) {
                if (first) current[p] = -0.5 * (up->real[p] + down->real[p]);
                slope[p] = (down->real[p] - up->real[p]) / (2.0 * kWrapperShift);
            }
            first = false;
        }
    }
    return out;
}

bool is_alter_failure(const ngspice::SimulationResponse& response) {
    const std::string e = response.error ? ascii_lower(*response.error) : std::string();
    for (std::string_view phrase : {"alter", "unknown", "bad parameter"}) {
        if (e.find(phrase) != std::string::npos) return true;
    }
    for (const std::string& line : response.log) {
        const std::string l = ascii_lower(line);
        if (l.find("fatal error") != std::string::npos &&
            (l.find("not in the circuit") != std::string::npos || l.find("alter") != std::string::npos))
            return true;
    }
    return false;
}

std::array<std::vector<double>, kOpParamCount> nan_placeholders(const ParamMask& mask, std::size_t n_rows,
                                                                std::size_t n_vds) {
    std::array<std::vector<double>, kOpParamCount> out;
    for (std::size_t k = 0; k < kOpParamCount; ++k) {
        if (mask[k]) out[k].assign(n_rows * n_vds, std::numeric_limits<double>::quiet_NaN());
    }
    return out;
}

}  // namespace morva::lut::generate_ngspice
