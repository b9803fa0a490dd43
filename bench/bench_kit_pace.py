"""Characterisation against ngspice's own pace on kits that are slow to parse.

Each table is made by a pool of 4 workers (`generate_lut`, cache off) and,
beside it, by 4 `ngspice -b` processes started at once, each parsing the kit
once and sweeping its share of the (W, L) pairs at every Vbs value, saving
what the table holds by default (the drain branch, the device's gm and gds).
The runs take turns (a cold call on a fresh pool, a warm call on the same
pool, the ngspice loops), and each column is the median of its runs.

- cold: the first call on a pool, which probes the device;
- warm: a second call on the same pool, which keeps what it learned about
  the kit (until one of the kit's files changes).

Tables:

- a generated kit of a foundry kit's shape (`--bins` binned cards with long
  parameter lists and `.param` expressions, inside a subcircuit, behind
  library sections and includes, beside other devices' subcircuits):
  2 W x 2 L x 37 Vgs x 37 Vds;
- the example card (parsing is cheap): 4 W x 4 L x 3 Vbs x 37 x 37, the table
  of bench_characterisation.py;
- with `--sky130 PATH` (combined_models/sky130.lib.spice): `nfet_01v8`,
  section tt, W and L in micrometres under the kit's `.option scale`,
  2 W x 2 L x 37 x 37;
- with `--gf180 DIR` (models/ngspice): `nmos_6p0` through sm141064.ngspice
  section typical with design.ngspice included, 2 W x 2 L x 3 Vbs x 61 x 61.

Usage: bench_kit_pace.py [--runs N] [--bins N] [--sky130 PATH] [--gf180 DIR]
"""

import argparse
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CARD = ROOT / "examples" / "bsim4_180nm.lib"
WORKERS = 4
WARM_UP = "warm\nR1 a 0 1\nV1 a 0 1\n.op\n.end\n"


class Table:
    """One benchmark table: the configuration's keywords, and how `ngspice -b`
    writes the model section and the device of a pair."""

    def __init__(self, label, model_lines, device, kw):
        self.label, self.model_lines, self.device, self.kw = label, model_lines, device, kw

    def config(self):
        import morva

        return morva.LutConfig(**self.kw)

    def pairs(self):
        return [(w, l) for w in self.kw["widths_values"] for l in self.kw["lengths_values"]]

    def points(self):
        n = 1
        for axis in ("vgs", "vds"):
            start, stop, step = self.kw[axis]
            n *= int(round((stop - start) / step)) + 1
        return n * len(self.pairs()) * len(self.kw["vbs_values"])


# ---- the generated kit ----------------------------------------------------------------------

def card_params():
    """The example nch card's parameters, in order, without the bin limits."""
    text = CARD.read_text()
    body = text.split(".model nch ", 1)[1].split("\n.model", 1)[0]
    return re.findall(r"(\w+)\s*=\s*(\S+)", body.split(None, 1)[1])


def write_kit(folder, bins):
    """A kit of a foundry kit's shape; returns the path of its library file.

    kit.lib holds corner sections tt and ss, each setting corner parameters
    and including the parameter file and every device's file. Each device
    file holds a subcircuit with `.param` defaults and a device line passing
    them, and `bins` binned cards (one parameter a line, several of them
    `.param` expressions) inside it; `nfet` is the one characterised, the
    others only add to what ngspice parses.
    """
    folder = pathlib.Path(folder)
    (folder / "models").mkdir(parents=True, exist_ok=True)
    params = card_params()
    devices = ["nfet", "nfet_lvt", "nfet_hvt", "nfet_5v"]
    corners = {"tt": (0.0, 1.0), "ss": (0.03, 0.95)}
    lib = ["* generated kit: corner sections, parameters and device files"]
    for corner, (dvth, du0) in corners.items():
        lib += [f".lib {corner}", f".param corner_dvth0 = {dvth} corner_du0 = {du0} mismatch_factor = 0",
                ".include params/global.spice"]
        lib += [f".include models/{d}.spice" for d in devices]
        lib.append(f".endl {corner}")
    (folder / "kit.lib").write_text("\n".join(lib) + "\n")
    (folder / "params").mkdir(exist_ok=True)
    glob = [f".param {d}__dvth0_{k} = '{0.001 * (k % 11):.3f} + corner_dvth0'\n"
            f"+ {d}__du0_{k} = '{1.0 + 0.002 * (k % 5):.3f} * corner_du0'\n"
            f"+ {d}__dk2_{k} = '{0.0005 * (k % 3):.4f} * (1 + mismatch_factor)'"
            for d in devices for k in range(bins)]
    (folder / "params" / "global.spice").write_text("\n".join(glob) + "\n")
    # Bins over L and W: `bins` cards, L edges outermost.
    n_l = max(1, int(round(bins ** 0.5)))
    n_w = (bins + n_l - 1) // n_l
    l_edges = [0.15e-6 * 1.35 ** i for i in range(n_l + 1)]
    w_edges = [0.4e-6 * 1.3 ** j for j in range(n_w + 1)]
    for d in devices:
        out = [f".subckt {d} d g s b", "+ l = 1e-6 w = 1e-6 nf = 1 ad = 0 as = 0 pd = 0 ps = 0 nrd = 0 nrs = 0 mult = 1",
               f"m{d} d g s b {d}__model l = {{l}} w = {{w}} nf = {{nf}} ad = {{ad}} as = {{as}} pd = {{pd}} "
               "ps = {ps} nrd = {nrd} nrs = {nrs}"]
        for k in range(bins):
            i, j = divmod(k, n_w)
            out.append(f".model {d}__model.{k} nmos")
            out.append(f"+ lmin = {l_edges[i]:.6g} lmax = {l_edges[i + 1]:.6g} wmin = {w_edges[j]:.6g} "
                       f"wmax = {w_edges[j + 1]:.6g}")
            for name, value in params:
                if name == "vth0":
                    value = f"{{{value} + {d}__dvth0_{k}}}"
                elif name == "u0":
                    value = f"{{{value} * {d}__du0_{k}}}"
                elif name == "k2":
                    value = f"{{{value} + {d}__dk2_{k}}}"
                out.append(f"+ {name} = {value}")
        out.append(f".ends {d}")
        (folder / "models" / f"{d}.spice").write_text("\n".join(out) + "\n")
    return folder / "kit.lib"


# ---- the tables ---------------------------------------------------------------------------------

def tables(folder, args):
    kit = write_kit(folder, args.bins)
    sweep = (0.0, 1.8, 0.05)
    out = [
        Table(f"generated kit ({args.bins} bins)", [f".lib {kit} tt"], ("X", "nfet", "mnfet", 1e-6),
              dict(model_file=str(kit), model_section="tt", subcircuit=True, model_name="nfet", device_name="mnfet",
                   widths_values=[1e-6, 2e-6], lengths_values=[0.18e-6, 0.5e-6], vgs=sweep, vds=sweep,
                   vbs_values=[0.0])),
        Table("example card", [f".include {CARD}"], ("M", "nch", None, 1e-6),
              dict(model_file=str(CARD), model_name="nch", widths_values=[5e-7, 1e-6, 2e-6, 4e-6],
                   lengths_values=[1.8e-7, 2.5e-7, 5e-7, 1e-6], vgs=sweep, vds=sweep, vbs_values=[0.0, -0.3, -0.6])),
    ]
    if args.sky130:
        out.append(Table("sky130 nfet_01v8", [f".lib {args.sky130} tt"],
                         ("X", "sky130_fd_pr__nfet_01v8", "msky130_fd_pr__nfet_01v8", 1.0),
                         dict(model_file=args.sky130, model_section="tt", subcircuit=True,
                              model_name="sky130_fd_pr__nfet_01v8", device_name="msky130_fd_pr__nfet_01v8",
                              widths_values=[1.0, 2.0], lengths_values=[0.15, 0.5], vgs=sweep, vds=sweep,
                              vbs_values=[0.0])))
    if args.gf180:
        design = os.path.join(args.gf180, "design.ngspice")
        models = os.path.join(args.gf180, "sm141064.ngspice")
        gf_sweep = (0.0, 6.0, 0.1)
        out.append(Table("gf180 nmos_6p0", [f".include {design}", f".lib {models} typical"],
                         ("X", "nmos_6p0", "m0", 1e-6),
                         dict(model_file=design, model_includes=[(models, "typical")], subcircuit=True,
                              model_name="nmos_6p0", device_name="m0", widths_values=[1e-6, 2e-6],
                              lengths_values=[0.7e-6, 1.4e-6], vgs=gf_sweep, vds=gf_sweep,
                              vbs_values=[0.0, -1.0, -2.0])))
    return out


# ---- ngspice -b ----------------------------------------------------------------------------------

def loop_netlists(table, folder):
    """One deck per process: its share of the pairs swept at every Vbs value
    with `alter`. A plain device takes each pair's W and L by `alter`; a
    subcircuit's parameters cannot be altered, so each pair there is an
    instance with sources of its own (the tables give each process one)."""
    kw = table.kw
    kind, model, inner, _ = table.device
    pairs = table.pairs()
    vgs, vds = kw["vgs"], kw["vds"]
    sweep = f"{vds[0]!r} {vds[1]!r} {vds[2]!r} vgs{{n}} {vgs[0]!r} {vgs[1]!r} {vgs[2]!r}"
    decks = []
    for k in range(WORKERS):
        share = pairs[k::WORKERS]
        if not share:
            continue
        lines = [f"loop {k}", *table.model_lines]
        saves, control = [], ["set num_threads=1"]
        instances = share if kind == "X" else share[:1]
        for n, (w, l) in enumerate(instances):
            wl = f"w={w!r} l={l!r}" if kind == "X" else f"W={w!r} L={l!r}"
            lines += [f"{kind}{n} d{n} g{n} s{n} b{n} {model} {wl}", f"Vds{n} d{n} s{n} dc 0",
                      f"Vgs{n} g{n} s{n} dc 0", f"Vbs{n} b{n} s{n} dc 0", f"Vs{n} s{n} 0 dc 0"]
            device = f"m.x{n}.{inner}" if kind == "X" else f"m{n}"
            saves += [f"vds{n}#branch", f"@{device}[gm]", f"@{device}[gds]"]
        for p, (w, l) in enumerate(share):
            n = p if kind == "X" else 0
            if kind != "X":
                control += [f"alter m0 w={w!r}", f"alter m0 l={l!r}"]
            for vbs in kw["vbs_values"]:
                control += [f"alter @vbs{n}[dc] = {vbs!r}", f"dc vds{n} " + sweep.format(n=n), "destroy all"]
        lines += [".save " + " ".join(saves), ".control", *control, ".endc", ".end"]
        name = re.sub(r"\W+", "_", table.label)
        path = pathlib.Path(folder) / f"{name}_{k}.cir"
        path.write_text("\n".join(lines) + "\n")
        decks.append(path)
    return decks


def ngspice_loops(decks, cwd):
    start = time.perf_counter()
    procs = [subprocess.Popen(["ngspice", "-b", str(d)], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True) for d in decks]
    logs = [p.communicate()[0] for p in procs]
    seconds = time.perf_counter() - start
    return seconds, logs


def check_loops(table, decks, folder):
    """Each process runs its sweeps once and nothing else, without errors."""
    _, logs = ngspice_loops(decks, folder)
    expected = len(table.pairs()) * len(table.kw["vbs_values"])
    done = sum(log.count("Doing analysis at TEMP") for log in logs)
    if done != expected or any(re.search(r"^(Error|.*fatal)", log, re.M | re.I) for log in logs):
        raise SystemExit(f"{table.label}: ngspice -b ran {done} of {expected} analyses:\n" + "\n".join(logs)[-3000:])


# ---- morva ---------------------------------------------------------------------------------------

def quiet(fn, fd=1):
    """Runs fn with file descriptor `fd` sent to /dev/null (by default 1: the
    generator's progress and report)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(fd)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    try:
        return fn()
    finally:
        os.dup2(saved, fd)
        os.close(saved)
        os.close(null)


def fresh_pool():
    from morva import SimulationPool

    pool = SimulationPool(workers=WORKERS)
    pool.run_simulations_batch([(WARM_UP, ["run"])] * (2 * WORKERS))  # every worker up
    return pool


def timed_call(pool, table):
    start = time.perf_counter()
    lut = quiet(lambda: pool.generate_lut(table.config(), cache=False))
    seconds = time.perf_counter() - start
    assert lut.id.size == table.points()
    return seconds


def bench(table, folder, runs):
    decks = loop_netlists(table, folder)
    check_loops(table, decks, folder)
    cold, warm, loops = [], [], []
    for _ in range(runs):
        pool = fresh_pool()
        try:
            cold.append(timed_call(pool, table))
            warm.append(timed_call(pool, table))
        finally:
            pool.close()
        loops.append(ngspice_loops(decks, folder)[0])
    return statistics.median(cold), statistics.median(warm), statistics.median(loops)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--bins", type=int, default=400, help="binned cards per device of the generated kit")
    parser.add_argument("--sky130", help="sky130 combined_models/sky130.lib.spice")
    parser.add_argument("--gf180", help="gf180mcu models/ngspice directory")
    parser.add_argument("--only", help="run only the tables whose label holds this text")
    args = parser.parse_args()
    if shutil.which("ngspice") is None:
        print("ngspice not installed; skipped")
        return
    print(f"{WORKERS} pool workers beside {WORKERS} ngspice -b at once; median of {args.runs} runs taking turns, "
          f"{os.cpu_count()} cores")
    print(f"| table | points | morva cold | morva warm | ngspice -b | cold / ngspice | warm / ngspice |")
    print("|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for table in tables(tmp, args):
            if args.only and args.only not in table.label:
                continue
            cold, warm, loops = bench(table, tmp, args.runs)
            print(f"| {table.label} | {table.points():,} | {cold:.3f} s | {warm:.3f} s | {loops:.3f} s | "
                  f"{cold / loops:.2f}x | {warm / loops:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
