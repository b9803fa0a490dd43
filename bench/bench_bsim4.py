"""Native BSIM4 evaluation speed and accuracy against ngspice on the same bias grid.

The full-featured sample card (or the defaults-only card when the samples are absent) is
evaluated over a Vgs x Vds x Vbs grid: natively (one thread, and several threads on distinct
models; then the values-only evaluations that native characterisation uses) and by ngspice 39.3
as .dc sweeps in one single-threaded process. ngspice is timed on a deck that writes nothing
(its values come from a second run with wrdata), and its start-up is excluded (a one-point run
is subtracted). A card with gate tunnelling is measured again with igcmod=0 igbmod=0, which
shows what the gate currents cost. The evaluator has no Python surface yet, so the native
side is a small C++ program (bench/bench_bsim4.cpp, CMake option MORVA_BENCH) built here on demand.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from timing import bench_program  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
SAMPLES = pathlib.Path(os.environ.get("MORVA_SAMPLES", ROOT.parent / "shared" / "samples"))
W, L = 1e-6, 0.1e-6
VBS = (0.0, -0.4)
STEP = 0.02
THREADS = max(1, min(4, os.cpu_count() or 1))


def card():
    path = SAMPLES / "bsim4" / "nmos_parameters_nmosParameters"
    if not path.is_file():
        return "defaults-only nmos card", []
    params = [(n.lower(), float(v)) for n, v in re.findall(r"\+\s*(\w+)\s*=\s*\(([^)]*)\)", path.read_text())]
    # ngspice would insert the gate and body resistance networks; the evaluator collapses them.
    params = [(n, v) for n, v in params if n not in ("rbodymod", "rgatemod")] + [("rbodymod", 0), ("rgatemod", 0)]
    return "full-featured sample nmos card", params


def deck(params, out, sweeps):
    """The sweeps as one deck; with `out` None it writes nothing, so that only
    the analyses are timed."""
    lines = ["bsim4 bench", ".model mdl nmos level=54 version=4.8.2"]
    lines += [f"+ {n}={v!r}" for n, v in params]
    # One thread, as the native figures below are per thread.
    lines += [f"m0 d g 0 b mdl w={W!r} l={L!r}", "vd d 0 0", "vg g 0 0", "vb b 0 0", ".control",
              "set num_threads=1", "set wr_singlescale", "set appendwrite", "set numdgt=17"]
    vectors = "v(g) v(d) v(b) @m0[id] @m0[gm] @m0[gds] @m0[gmbs] @m0[vth] @m0[vdsat]"
    lines.append(f"save {vectors}")
    for vb, vds_stop, vgs_stop in sweeps:
        lines += [f"alter vb dc = {vb!r}", f"dc vd 0 {vds_stop!r} {STEP!r} vg 0 {vgs_stop!r} {STEP!r}"]
        lines += [f"wrdata {out} {vectors}"] if out else ["destroy all"]
    lines += [".endc", ".end"]
    return "\n".join(lines) + "\n"


def ngspice_time(params, folder, sweeps):
    """Seconds of one `ngspice -b` running the sweeps without writing them."""
    (folder / "timed.cir").write_text(deck(params, None, sweeps))
    start = time.perf_counter()
    subprocess.run(["ngspice", "-b", "timed.cir"], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def ngspice(params, folder, sweeps):
    """The sweeps' rows (v(g) v(d) v(b) and the device's outputs)."""
    out = folder / "out.txt"
    if out.exists():
        out.unlink()
    (folder / "deck.cir").write_text(deck(params, out, sweeps))
    subprocess.run(["ngspice", "-b", "deck.cir"], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rows = []
    for line in out.read_text().splitlines() if out.exists() else []:
        cols = line.split()
        try:
            values = [float(c) for c in cols]
        except ValueError:
            continue
        if len(values) == 10:
            rows.append(values[1:])
    return rows


def without_tunnelling(params):
    """The card with gate tunnelling off (igcmod=0 igbmod=0), or None when it has none."""
    if not any(n in ("igcmod", "igbmod") and v != 0 for n, v in params):
        return None
    return [(n, v) for n, v in params if n not in ("igcmod", "igbmod")] + [("igcmod", 0), ("igbmod", 0)]


def measure(binary, params, folder):
    """ngspice's time per point and the native program's figures on one card."""
    sweeps = [(vb, 1.2, 1.2) for vb in VBS]
    rows = ngspice(params, folder, sweeps)
    full_time = min(ngspice_time(params, folder, sweeps) for _ in range(3))
    base_time = min(ngspice_time(params, folder, [(0.0, 0.0, 0.0)]) for _ in range(3))
    points = folder / "points.txt"
    # v(g) v(d) v(b) are node voltages of an n-channel device with the source at 0 V.
    points.write_text("".join(f"{r[0]!r} {r[1]!r} {r[2]!r} " + " ".join(repr(x) for x in r[3:]) + "\n"
                              for r in rows))
    (folder / "card.txt").write_text(f"nmos\n{W!r} {L!r}\n" + "".join(f"{n} {v!r}\n" for n, v in params))
    result = subprocess.run([str(binary), str(folder / "card.txt"), str(points), str(THREADS)],
                            capture_output=True, text=True, check=True)
    native = dict(line.split() for line in result.stdout.splitlines())
    return len(rows), max(full_time - base_time, 1e-9) / len(rows), native


def report(title, n, per_point, native):
    one = float(native["evals_per_s_1"])
    many = float(native["evals_per_s_threads"])
    print(title.format(n=n))
    print(f"{'':34}{'points/s':>14}{'us/point':>12}{'vs ngspice':>12}")
    print(f"{'ngspice 39.3 .dc, 1 thread':34}{1 / per_point:14.4g}{per_point * 1e6:12.3f}{1.0:12.1f}x")
    print(f"{'native, 1 thread':34}{one:14.4g}{1e6 / one:12.3f}{one * per_point:12.1f}x")
    print(f"{f'native, {THREADS} threads (own models)':34}{many:14.4g}{1e6 / many:12.3f}{many * per_point:12.1f}x")
    for label, key in (("values only, 1 thread", "evals_per_s_values"),
                       ("values and gmbs, 1 thread", "evals_per_s_values_gmbs"),
                       ("values only as grids, 1 thread", "evals_per_s_grid"),
                       ("drain terminal as grids, 1 thread", "evals_per_s_terminal_grid")):
        rate = float(native[key])
        print(f"{label:34}{rate:14.4g}{1e6 / rate:12.3f}{rate * per_point:12.1f}x")
    print(f"max deviation from ngspice over the grid: ids {float(native['max_rel_ids']):.2e} relative, "
          f"gm/gds/gmbs {float(native['max_rel_conductance']):.2e} relative, "
          f"vth/vdsat {float(native['max_abs_vth_vdsat']):.2e} V")


def main():
    if not shutil.which("ngspice"):
        print("ngspice not installed: skipped")
        return 0
    name, params = card()
    binary = bench_program("bench_bsim4")
    # The card as it is, and (when it has gate tunnelling) without: the cost of the gate currents.
    variants = [(f"BSIM4 DC evaluation, {name}, W={W:g} L={L:g}, grid of {{n}} points (Vgs x Vds x Vbs)", params)]
    if (plain := without_tunnelling(params)) is not None:
        variants.append(("The same card with igcmod=0 igbmod=0 (no gate-tunnelling currents)", plain))
    for k, (title, variant) in enumerate(variants):
        with tempfile.TemporaryDirectory() as tmp:
            n, per_point, native = measure(binary, variant, pathlib.Path(tmp))
        if k:
            print()
        report(title, n, per_point, native)
    return 0


if __name__ == "__main__":
    sys.exit(main())
