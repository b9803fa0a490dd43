#include "lut/report.h"

#include <limits>

#include "common/format.h"

namespace morva::lut::generate_ngspice {
namespace {

double ms(u128 ns) { return static_cast<double>(ns) / 1000000.0; }

// A right-aligned fixed-point field.
std::string field(double v, int width, int decimals = 1) {
    std::string s = fmt::fixed(v, decimals);
    if (s.size() < static_cast<std::size_t>(width))
        s.insert(0, static_cast<std::size_t>(width) - s.size(), ' ');
    return s;
}

u128 saturating_sub(u128 a, u128 b) { return a > b ? a - b : 0; }

u128 saturating_mul(u128 a, u128 b) {
    const u128 max = ~u128{0};
    if (a != 0 && b > max / a) return max;
    return a * b;
}

}  // namespace

std::string timing_report(const PhaseTimes& p, const std::vector<ChunkResult>& results,
                          const std::vector<TimingSums>& more) {
    u128 build = 0, rt = 0;
    ngspice::WireTiming w;
    TimingSums worker_sums;
    const auto add = [&](const TimingSums& t) {
        build += t.build_ns;
        rt += t.request_ns;
        worker_sums.add_worker(t.worker);
    };
    for (const ChunkResult& r : results) add(r.timing);
    for (const TimingSums& t : more) add(t);
    w = worker_sums.worker;
    std::uint64_t worker = 0;
    for (std::uint64_t x :
         {w.parse_ns, w.precmd_ns, w.circ_ns, w.cmd_ns, w.harvest_ns, w.write_ns, w.destroy_ns})
        worker = saturating_add(worker, x);

    const std::uint64_t workers = p.n_workers == 0 ? 1 : p.n_workers;
    const auto par64 = [&](std::uint64_t x) { return x / workers; };
    const auto par128 = [&](u128 x) { return x / workers; };
    const auto pct = [&](u128 x) {
        return p.wall == 0 ? 0.0 : (static_cast<double>(x) * 100.0) / static_cast<double>(p.wall);
    };
    const u128 residual = saturating_sub(rt, worker);
    // The probe and gm/gds run alone; the rest side by side on the workers.
    u128 unattributed = saturating_sub(p.wall, p.probe);
    for (u128 part : {p.diff, u128{par64(worker)}, par128(build), par128(p.assemble)})
        unattributed = saturating_sub(unattributed, part);
    const u128 capacity = saturating_mul(p.wall, workers);
    const double efficiency =
        capacity == 0 ? 0.0 : static_cast<double>(worker) / static_cast<double>(capacity) * 100.0;
    const std::size_t n_tasks = p.n_w * p.n_l;

    std::string out;
    out += fmt::cat("  ─────────── LUT timing breakdown (wall: ", fmt::fixed(ms(p.wall), 1), " ms, ", n_tasks,
                    " tasks × ", workers, " workers, ", p.n_w, " W × ", p.n_l, " L × ", p.n_vbs,
                    " Vbs) ───────────\n");
    out += "    ▸ Dispatcher's own work (serial)\n";
    out += fmt::cat("        probe op params          ", field(ms(p.probe), 9), " ms  (",
                    field(pct(p.probe), 5), "%)\n");
    out += fmt::cat("        build netlists (Σ)       ", field(ms(build), 9), " ms  (", field(pct(build), 5),
                    "%)   parallel cost ≈ ", fmt::fixed(ms(par128(build)), 1), " ms\n");
    out += fmt::cat("        assemble grid            ", field(ms(p.assemble), 9), " ms  (",
                    field(pct(p.assemble), 5), "%)\n");
    out += fmt::cat("        differentiate gm/gds     ", field(ms(p.diff), 9), " ms  (",
                    field(pct(p.diff), 5), "%)\n");
    out +=
        fmt::cat("    ▸ Inside ngspice / worker (Σ across ", n_tasks, " tasks, parallel ≈ ÷", workers, ")\n");
    const auto with_par = [&](std::string_view label, std::uint64_t x, std::string_view tail) {
        return fmt::cat(label, field(ms(x), 9), " ms  (par ≈ ", field(ms(par64(x)), 8), " ms)", tail, "\n");
    };
    out += with_par("        ngSpice_Circ  (model+parse) ", w.circ_ns, "  ← BSIM card load");
    out += with_par("        ngSpice_Command(\"run\")    ", w.cmd_ns, "  ← actual DC solve");
    out += with_par("        vector harvest (FFI copy)  ", w.harvest_ns, "");
    out += with_par("        destroy all                ", w.destroy_ns, "");
    out += fmt::cat("        pre-commands (chdir)       ", field(ms(w.precmd_ns), 9), " ms\n");
    out += fmt::cat("        fs temp-netlist write      ", field(ms(w.fs_write_ns), 9), " ms\n");
    out += "    ▸ Worker request plumbing (Σ)\n";
    out += fmt::cat("        json request parse         ", field(ms(w.parse_ns), 9), " ms\n");
    out += fmt::cat("        binary response write      ", field(ms(w.write_ns), 9), " ms\n");
    out += "    ▸ Dispatcher ↔ worker roundtrip (from dispatcher POV)\n";
    out += fmt::cat("        Σ run_simulation(..)       ", field(ms(rt), 9), " ms  (par ≈ ",
                    field(ms(par128(rt)), 8), " ms)\n");
    out += with_par("        Σ worker wall-time         ", worker, "");
    out += fmt::cat("        IPC residual (roundtrip − worker)  ", field(ms(residual), 9), " ms\n");
    out += fmt::cat("    ▸ Unattributed wall time       ", field(ms(unattributed), 9), " ms  (",
                    field(pct(unattributed), 5), "%)  ← scheduling + decoding + gaps between tasks\n");
    out += fmt::cat("    Parallelism efficiency: ", field(efficiency, 5),
                    "%   (higher = workers busy, lower = IPC-bound)\n");
    out += "  ──────────────────────────────────────────────────────────────────────\n";
    return out;
}

u128 ns_since(std::chrono::steady_clock::time_point start) {
    const auto d =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
            .count();
    return d < 0 ? 0 : static_cast<u128>(d);
}

std::uint64_t ns64_since(std::chrono::steady_clock::time_point start) {
    const u128 d = ns_since(start);
    return d > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(d);
}

}  // namespace morva::lut::generate_ngspice
