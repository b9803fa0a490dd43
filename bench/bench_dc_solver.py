"""DC operating-point solver: solves per second without and with series resistance (rdsmod 0
and 1, with evaluator loads per solve), and DcSolver.sweep points per second beside ngspice
running the same .dc sweep on one thread (set num_threads=1, nothing written), for rdsmod 0
and 1. The speed-ups name their baseline: ngspice's run less its start-up (the same deck with
one point).

The C++ figures come from bench/bench_dc_solver.cpp, built here on demand; the Python figures
include the binding and result objects.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import morva

from timing import bench_program, best_of, best_run

ROOT = pathlib.Path(__file__).resolve().parent.parent
W, L = 1e-6, 0.18e-6


def cpp_timings():
    run = subprocess.run([str(bench_program("bench_dc_solver"))], capture_output=True, text=True, check=True)
    rows = {}
    for line in run.stdout.splitlines():
        if line.startswith("BENCH "):
            _, name, seconds, loads, failed = line.split()
            rows[name] = (float(seconds), float(loads), int(failed))
    return rows


def ngspice_sweep_seconds(folder, points, rdsmod):
    """Wall time of ngspice -b running a vgs .dc sweep of `points` points on one thread, and of
    the same deck with a single point (process start, parsing, set-up)."""
    if shutil.which("ngspice") is None:
        return None

    def deck(n):
        step = 1.2 / (n - 1) if n > 1 else 1.0
        stop = 1.2 if n > 1 else 0.0
        text = (f"sweep\n.model nch nmos level=54 rdsmod={rdsmod}\nm1 d g 0 0 nch w={W!r} l={L!r}\n"
                f"vg g 0 0\nvd d 0 0.6\n.control\nset num_threads=1\ndc vg 0 {stop!r} {step!r}\n.endc\n.end\n")
        path = folder / f"sweep{n}.cir"
        path.write_text(text)
        return path

    def run(path):
        subprocess.run(["ngspice", "-b", str(path)], cwd=folder, capture_output=True, check=False)

    full, single = deck(points), deck(1)
    return best_of(3, lambda: run(full)), best_of(3, lambda: run(single))


def main():
    rows = cpp_timings()
    print(f"{'native solver (C++, 40 x 40 grid x 5)':<44} {'solves/s':>12} {'loads/solve':>12} {'unconverged':>12}")
    if rows:
        for label in ("rdsmod0", "rdsmod1"):
            seconds, loads, failed = rows[label]
            print(f"{f'dc_operating_point, {label}':<44} {1 / seconds:>12.0f} {loads:>12.2f} {failed:>12}")
            print(f"{f'  one evaluator load alone, {label}':<44} {1 / rows[label + '_load'][0]:>12.0f}")
    else:
        print("C++ timings skipped")

    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        (folder / "models.lib").write_text(
            ".model n0 nmos level=54\n.model nch nmos level=54 rdsmod=1\n")
        print()
        print(f"{'Python surface':<44} {'per second':>12}")
        for name, rdsmod in (("n0", 0), ("nch", 1)):
            solver = morva.DcSolver(str(folder / "models.lib"), name, w=W, l=L)
            n = 2000
            t = best_of(3, lambda: [solver.solve(0.8, 0.6) for _ in range(n)])
            print(f"{f'DcSolver.solve, rdsmod {rdsmod}':<44} {n / t:>12.0f}")

        points = 24001
        print()
        print(f"{f'vgs sweep of {points} points':<44} {'seconds':>12} {'points/s':>12} {'iters/point':>12}")
        for name, rdsmod in (("n0", 0), ("nch", 1)):
            solver = morva.DcSolver(str(folder / "models.lib"), name, w=W, l=L)
            t, results = best_run(3, lambda: solver.sweep("vgs", 0.0, 1.2, 1.2 / (points - 1), vd=0.6))
            iterations = sum(r.iterations for r in results) / len(results)
            print(f"{f'DcSolver.sweep, rdsmod {rdsmod}':<44} {t:>12.4f} {points / t:>12.0f} {iterations:>12.2f}")
            ng = ngspice_sweep_seconds(folder, points, rdsmod)
            if ng is None:
                print("ngspice not installed: comparison skipped")
                continue
            full, single = ng
            inner = max(full - single, 1e-9)
            print(f"{f'ngspice -b .dc, rdsmod {rdsmod}, 1 thread (whole run)':<44} {full:>12.4f} {points / full:>12.0f}")
            print(f"{f'ngspice -b .dc, rdsmod {rdsmod}, 1 thread (less start-up)':<44} {inner:>12.4f} "
                  f"{points / inner:>12.0f}")
            print(f"{'  DcSolver over ngspice 1 thread less start-up':<44} {inner / t:>12.1f}x")


if __name__ == "__main__":
    sys.exit(main())
