"""Native characterisation: table points per second on 1, 2, 4 and 8 cores
beside the pool path with 8 ngspice workers on the same configuration, and
how far the two tables lie apart.

The core count is set with the process's CPU affinity (the work items'
threads inherit it), so the figures are those of a machine with that many
cores. Each figure is the best of several runs (ten for the native path,
whose runs take milliseconds).
"""

import os
import pathlib
import shutil
import sys

import numpy as np

import morva

from timing import best_run

CARD = pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib"

# 4 W x 4 L x 3 Vbs x 37 x 37 = 65,712 points.
GRID = dict(
    model_name="nch",
    widths_values=[0.5e-6, 1e-6, 2e-6, 4e-6],
    lengths_values=[1.8e-7, 3e-7, 6e-7, 1.2e-6],
    vbs_values=[-0.6, -0.3, 0.0],
    vgs=(0.0, 1.8, 0.05),
    vds=(0.0, 1.8, 0.05),
)
OP_PARAMS = ["gmbs", "vth", "vdsat"]


class QuietStdout:
    """Sends file descriptor 1 (the generators' progress lines) to /dev/null."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)


def relative_difference(a, b, floor):
    """Largest |a - b| / max(|b|, floor)."""
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), floor)))


def main():
    if shutil.which("ngspice") is None:
        print("skipped: ngspice not installed")
        return
    all_cpus = sorted(os.sched_getaffinity(0))
    n_points = 4 * 4 * 3 * 37 * 37
    print(f"{CARD.name}: 4 W x 4 L x 3 Vbs x 37 Vgs x 37 Vds = {n_points} points, {len(all_cpus)} cores available")
    print(f"{'path':<34} {'op params':>14} {'seconds':>9} {'points/s':>12} {'vs pool':>8}")
    with morva.SimulationPool(workers=8) as pool:
        raw = pool._pool()
        for params in ([], OP_PARAMS):
            label = ",".join(params) or "none"
            pooled_cfg = morva.LutConfig(model_file=str(CARD), op_params=params, **GRID)
            native_cfg = morva.LutConfig(model_file=str(CARD), op_params=params, use_native_bsim4=True, **GRID)
            with QuietStdout():
                raw.generate_lut(pooled_cfg)  # warm the workers
                pool_s, pooled = best_run(3, lambda: raw.generate_lut(pooled_cfg))
            print(f"{'pool path, 8 ngspice workers':<34} {label:>14} {pool_s:>9.3f} {n_points / pool_s:>12.0f} "
                  f"{1.0:>8.1f}")
            native = None
            for cores in (1, 2, 4, 8):
                if cores > len(all_cpus):
                    break
                os.sched_setaffinity(0, all_cpus[:cores])
                try:
                    with QuietStdout():
                        native_s, native = best_run(10, lambda: raw.generate_lut(native_cfg))
                finally:
                    os.sched_setaffinity(0, all_cpus)
                print(f"{f'native, {cores} core(s)':<34} {label:>14} {native_s:>9.3f} "
                      f"{n_points / native_s:>12.0f} {pool_s / native_s:>8.1f}")
            # The pool's Id also carries junction and gmin leakage (~1e-12 A),
            # which shows near the threshold.
            for floor in (1e-9, 1e-6):
                print(f"  max relative difference of Id (floor {floor:g} A): "
                      f"{relative_difference(native.id, pooled.id, floor):.2e}")
            for name in params:
                floor = 1e-9 if name == "gmbs" else 1e-3
                diff = relative_difference(getattr(native, name), getattr(pooled, name), floor)
                print(f"  max relative difference of {name} (floor {floor:g}): {diff:.2e}")


if __name__ == "__main__":
    main()
