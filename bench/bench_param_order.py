"""A kit's set-up (reading its text, ordering and evaluating its `.param`
values, its cards, a wrapper subcircuit's scope) on generated kits with many
parameters written before the ones they name, as foundry kits write them.

Each kit has a corner section that includes a parameter file of N values in
chains of 50, every value naming the next one, defined after it; 100 binned
cards whose values use the chains' heads; and a wrapper subcircuit whose
body values name each other out of order. The set-up must grow linearly
with N. Timed by a C++ program (bench/bench_param_order.cpp); ngspice
loading the smallest kits is shown for scale.

Usage: bench_param_order.py [LIB SECTION SUBCKT W L]
  with a kit's arguments, times that kit too (SECTION "-" reads it whole).
"""

import pathlib
import sys
import tempfile

from timing import bench_rows, ngspice_deck_seconds

CHAIN = 50


def generate_kit(folder, n_params, cards=100):
    chains = max(1, n_params // CHAIN)
    values = []
    for c in range(chains):
        for i in range(CHAIN - 1):
            values.append(f".param p{c}_{i} = {{p{c}_{i + 1}*1.0001 + sw_corner}}")
        values.append(f".param p{c}_{CHAIN - 1} = 1e-3")
    (folder / "values.spice").write_text("\n".join(values) + "\n")
    lines = [".lib tt", ".param sw_corner = 0", ".include values.spice", ".include cells.spice", ".endl tt"]
    (folder / "kit.lib").write_text("\n".join(lines) + "\n")
    cells = [".subckt nfet d g s b mult=1", ".param l=1 w=1 nrd={0.14/w} nrs={nrd}",
             "+ dvth={sw_vth*(0.008/l+0.992)} sw_vth={p0_0*0}",
             "mn d g s b nfet__model l={l} w={w} nrd={nrd} nrs={nrs} delvto={dvth}"]
    for k in range(cards):
        lo, hi = 0.15e-6 * (1 + k), 0.15e-6 * (2 + k)
        cells.append(f".model nfet__model.{k} nmos level=54 version=4.8 lmin={lo:.4e} lmax={hi:.4e} "
                     f"wmin=1e-7 wmax=1e-4 vth0={{0.4+p{k % chains}_0}} toxe={{4e-9*(1+p{(k + 1) % chains}_0)}}")
    cells.append(".ends nfet")
    (folder / "cells.spice").write_text("\n".join(cells) + "\n")
    return folder / "kit.lib"


def timings(lib, section, subckt, w, l):
    return bench_rows("bench_param_order", lib, section, subckt, w, l)


def ngspice_load_seconds(folder, lib):
    return ngspice_deck_seconds(folder, f".title load\n.lib '{lib}' tt\nx1 d g 0 0 nfet w=1e-6 l=0.2e-6\n"
                                        "vd d 0 1\nvg g 0 1\n.op\n.end\n")


def main():
    print(f"{'kit':<34} {'read (s)':>10} {'cards (s)':>10} {'scope (s)':>10} {'us/param':>9} {'ngspice (s)':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        for n in (2_000, 20_000, 200_000):
            folder = pathlib.Path(tmp) / str(n)
            folder.mkdir()
            lib = generate_kit(folder, n)
            rows = timings(lib, "tt", "nfet", 1e-6, 0.2e-6)
            total = sum(rows[k][0] for k in ("read_kit_text", "kit_from_text", "subcircuit_scope"))
            ngspice = ngspice_load_seconds(folder, lib) if n <= 20_000 else None
            shown = f"{ngspice:>12.4f}" if ngspice is not None else f"{'-':>12}"
            print(f"{f'generated, {n} params':<34} {rows['read_kit_text'][0]:>10.4f} "
                  f"{rows['kit_from_text'][0]:>10.4f} {rows['subcircuit_scope'][0]:>10.4f} "
                  f"{total / n * 1e6:>9.2f} {shown}")
    if len(sys.argv) == 6:
        lib, section, subckt, w, l = sys.argv[1:]
        rows = timings(lib, section, subckt, float(w), float(l))
        scope = rows.get("subcircuit_scope", (0.0, 0))[0]
        print(f"{pathlib.Path(lib).name + ' ' + section:<34} {rows['read_kit_text'][0]:>10.4f} "
              f"{rows['kit_from_text'][0]:>10.4f} {scope:>10.4f} {'':>9} {'':>12}")
        print(f"  ({rows['read_kit_text'][1]} logical lines, {rows['kit_from_text'][1]} top-level cards)")


if __name__ == "__main__":
    sys.exit(main())
