"""Native characterisation: table points per second on 1, 2, 4 and 8 cores
beside the pool path with 8 ngspice workers on the same configuration, and
how far the two tables lie apart. Then the cost of the gate-tunnelling
currents: the full-featured sample nmos card (when the samples are at hand)
natively on one core and on all, with gate tunnelling as the card has it
and switched off (igcmod=0 igbmod=0).

The core count is set with the process's CPU affinity (the work items'
threads inherit it), so the figures are those of a machine with that many
cores. Each figure is the best of several runs (ten for the native path,
whose runs take milliseconds).
"""

import os
import pathlib
import re
import shutil
import sys
import tempfile

import numpy as np

import morva

from timing import best_run

ROOT = pathlib.Path(__file__).resolve().parent.parent
CARD = ROOT / "examples" / "bsim4_180nm.lib"
SAMPLES = pathlib.Path(os.environ.get("MORVA_SAMPLES", ROOT.parent / "shared" / "samples"))

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


def best_native_run(raw, cfg, all_cpus, cores):
    """Best of ten generations of `cfg` on the first `cores` cores: (seconds, table)."""
    os.sched_setaffinity(0, all_cpus[:cores])
    try:
        with QuietStdout():
            return best_run(10, lambda: raw.generate_lut(cfg))
    finally:
        os.sched_setaffinity(0, all_cpus)


def sample_card(folder, tunnelling):
    """The sample nmos card as a library (networks the evaluator does not solve off), with its gate
    tunnelling or without; None when the samples are absent."""
    path = SAMPLES / "bsim4" / "nmos_parameters_nmosParameters"
    if not path.is_file():
        return None
    body = re.sub(r"\(([^)]*)\)", r"\1", path.read_text())
    extra = "" if tunnelling else " igcmod=0 igbmod=0"
    lib = folder / f"sample_{int(tunnelling)}.lib"
    lib.write_text(f".model nch nmos level=54 version=4.8.2\n{body}\n+ rbodymod=0 rgatemod=0{extra}\n")
    return lib


def tunnelling_cost(raw, all_cpus):
    """Native points per second on the sample card with and without its gate-tunnelling currents."""
    grid = dict(GRID, lengths_values=[0.06e-6, 0.1e-6, 0.24e-6, 1e-6], vgs=(0.0, 1.2, 0.03), vds=(0.0, 1.2, 0.03))
    n_points = 4 * 4 * 3 * 41 * 41
    with tempfile.TemporaryDirectory() as tmp:
        cards = [(label, sample_card(pathlib.Path(tmp), on)) for label, on in (("igcmod=1 igbmod=1", True),
                                                                               ("igcmod=0 igbmod=0", False))]
        if cards[0][1] is None:
            print("sample cards absent: cost of the gate currents not measured")
            return
        print(f"\nsample nmos card: 4 W x 4 L x 3 Vbs x 41 Vgs x 41 Vds = {n_points} points, native, Id, gm, gds")
        print(f"{'card':<34} {'cores':>14} {'seconds':>9} {'points/s':>12}")
        for cores in (1, len(all_cpus)):
            for label, lib in cards:
                cfg = morva.LutConfig(model_file=str(lib), op_params=[], use_native_bsim4=True, **grid)
                seconds, _ = best_native_run(raw, cfg, all_cpus, cores)
                print(f"{label:<34} {cores:>14} {seconds:>9.3f} {n_points / seconds:>12.0f}")


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
                native_s, native = best_native_run(raw, native_cfg, all_cpus, cores)
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
        tunnelling_cost(raw, all_cpus)


if __name__ == "__main__":
    main()
