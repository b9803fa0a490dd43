"""Small tables on many workers: fewer (W, L) pairs than workers, on a kit
that is slow to load.

A generated kit of a foundry kit's shape (bench_kit_pace.write_kit, `--bins`
binned cards: about 0.5-1 s for ngspice to load) is characterised on a pool of
as many workers as the table has pairs and on a pool of 8 (the default pool on
an 8-core machine), the two taking turns:

- first call: on a fresh pool (every worker started), which probes the device;
- later call: a second call on the same pool, which keeps what it learned.

Each column is the median of `--runs` runs; "8 / N" is the 8-worker pool's
time over the N-worker pool's. The tables: 1 W x 2 L and 2 W x 3 L, each at
two Vbs values, 37 Vgs x 37 Vds (`--step` sets the sweeps' step).

With `--sky130 PATH` (combined_models/sky130.lib.spice) the same tables of
sky130's `nfet_01v8` (section tt, sizes in micrometres under the kit's
`.option scale`) take the generated kit's place.

Usage: bench_small_tables.py [--runs N] [--bins N] [--step V] [--sky130 PATH]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_kit_pace import WARM_UP, quiet, write_kit  # noqa: E402
from timing import ngspice_deck_seconds  # noqa: E402

MANY = 8
TABLES = [("1 W x 2 L", [1e-6], [0.18e-6, 0.5e-6]), ("2 W x 3 L", [1e-6, 2e-6], [0.18e-6, 0.3e-6, 0.5e-6])]
SKY130_NFET = "sky130_fd_pr__nfet_01v8"


def load_seconds(kit, folder, sky130):
    """What ngspice takes to load the kit: `ngspice -b` of a deck that loads
    it and runs nothing, best of three."""
    device = f"{SKY130_NFET} w=1 l=0.15" if sky130 else "nfet w=1e-6 l=0.18e-6"
    return ngspice_deck_seconds(folder, f"load only\n.lib {kit} tt\nX0 d g s b {device}\nV1 d 0 0\nV2 g 0 0\n"
                                        "V3 s 0 0\nV4 b 0 0\n.end\n", "load_only.cir")


def config(kit, widths, lengths, step, sky130):
    import morva

    sweep = (0.0, 1.8, step)
    if sky130:  # micrometres, under the kit's .option scale
        return morva.LutConfig(model_file=str(kit), model_section="tt", subcircuit=True, model_name=SKY130_NFET,
                               widths_values=[w * 1e6 for w in widths],
                               lengths_values=[round(max(l * 1e6, 0.15), 3) for l in lengths], vgs=sweep,
                               vds=sweep, vbs_values=[0.0, -0.4])
    return morva.LutConfig(model_file=str(kit), model_section="tt", subcircuit=True, model_name="nfet",
                           device_name="mnfet", widths_values=widths, lengths_values=lengths, vgs=sweep, vds=sweep,
                           vbs_values=[0.0, -0.4])


def calls(pool_size, cfg):
    """A first and a later call on a fresh pool of `pool_size` workers, in seconds."""
    from morva import SimulationPool

    pool = SimulationPool(workers=pool_size)
    pool.run_simulations_batch([(WARM_UP, ["run"])] * (2 * pool_size))  # every worker up
    try:
        out = []
        for _ in range(2):
            start = time.perf_counter()
            quiet(lambda: pool.generate_lut(cfg, cache=False))
            out.append(time.perf_counter() - start)
        return out
    finally:
        quiet(pool.close, fd=2)  # the workers say they end


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--bins", type=int, default=400, help="binned cards per device of the generated kit")
    parser.add_argument("--step", type=float, default=0.05, help="the Vgs and Vds sweeps' step")
    parser.add_argument("--sky130", help="sky130 combined_models/sky130.lib.spice in place of the generated kit")
    args = parser.parse_args()
    if shutil.which("ngspice") is None:
        print("ngspice not installed; skipped")
        return
    with tempfile.TemporaryDirectory() as tmp:
        kit = os.path.abspath(args.sky130) if args.sky130 else write_kit(tmp, args.bins)
        name = "sky130 tt" if args.sky130 else f"generated kit, {args.bins} bins"
        print(f"{name}: a load takes ngspice {load_seconds(kit, tmp, bool(args.sky130)):.2f} s; "
              f"median of {args.runs} runs taking turns, {os.cpu_count()} cores, load average "
              f"{os.getloadavg()[0]:.1f}")
        print(f"| table | pairs | N | first call, N workers | first call, {MANY} | {MANY} / N | "
              f"later call, N | later call, {MANY} | {MANY} / N |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for label, widths, lengths in TABLES:
            cfg = config(kit, widths, lengths, args.step, bool(args.sky130))
            pairs = len(widths) * len(lengths)
            times = {pairs: [], MANY: []}
            for _ in range(args.runs):
                for size in (pairs, MANY):
                    times[size].append(calls(size, cfg))
            few = [statistics.median(t[k] for t in times[pairs]) for k in (0, 1)]
            many = [statistics.median(t[k] for t in times[MANY]) for k in (0, 1)]
            print(f"| {label} x 2 Vbs | {pairs} | {pairs} | {few[0]:.2f} s | {many[0]:.2f} s | "
                  f"{many[0] / few[0]:.2f}x | {few[1]:.2f} s | {many[1]:.2f} s | {many[1] / few[1]:.2f}x |",
                  flush=True)


if __name__ == "__main__":
    main()
