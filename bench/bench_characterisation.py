"""Characterisation throughput and cost through the worker pool.

Throughput: table points per second for 4 W x 4 L x 3 Vbs x 37 Vgs x 37 Vds
(65,712 points) of the example BSIM4 card, with Id only and with all twelve
operating-point names, at 1, 2, 4 and 8 workers, beside as many `ngspice -b`
processes running at once, each single-threaded (`set num_threads=1`) and
sweeping its share of the (W, L) pairs with `alter` in a loop; with the
generator's own parallelism-efficiency figure. Best of three runs each; the
pool's rate includes device detection, probes, assembly and gm/gds.

Cost (`--cost` runs this part alone): the wall time of whole tables on 4
workers, best of five, beside the time the generator took before gm, gds and
gmbs came from shifted sweeps where the drain carries strong currents beyond
the channel (TODAY, measured on the same machine with the same procedure):
the example card; a large kit, whose circuit load dominates (1,000 binned
copies of the example card, one parameter a line); and a card with strong
impact ionisation (the example card with alpha0, alpha1, beta0 raised, Isub
about a tenth of Id at Vds = 5 V), where the shifted sweeps run.

Series resistances (`--rdsmod` runs this part alone): the same table of the
example card with rdsmod=0 and with rdsmod=1 (its drain and source
resistances outside the channel, bias-dependent), and through a subcircuit
that gives the instance nrd = nrs = 2 with rsh = 40 beside the same
subcircuit without them: the wall time on 4 workers, best of ten taking
turns, and the ratio of each card with series resistances to the one
without.
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
from timing import best_of, ngspice_analyses  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
CARD = str(ROOT / "examples" / "bsim4_180nm.lib")
WIDTHS = [5e-7, 1e-6, 2e-6, 4e-6]
LENGTHS = [1.8e-7, 2.5e-7, 5e-7, 1e-6]
VBS = [0.0, -0.3, -0.6]
SWEEP = (0.0, 1.8, 0.05)
POINTS = len(WIDTHS) * len(LENGTHS) * len(VBS) * 37 * 37
ALL_PARAMS = ["cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat", "von"]
WORKER_COUNTS = [1, 2, 4, 8]
REPEATS = 3


def config(op_params):
    import morva

    return morva.LutConfig(model_file=CARD, model_name="nch", widths_values=WIDTHS, lengths_values=LENGTHS,
                           vbs_values=VBS, vgs=SWEEP, vds=SWEEP, op_params=op_params)


def captured_stdout(fn):
    """Runs fn with file descriptor 1 redirected; returns (result, text)."""
    sys.stdout.flush()
    with tempfile.TemporaryFile() as tmp:
        saved = os.dup(1)
        os.dup2(tmp.fileno(), 1)
        try:
            result = fn()
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
        tmp.seek(0)
        return result, tmp.read().decode()


def pool_run(workers, op_params):
    """(points/s over the whole call, the report's efficiency in %), best of
    REPEATS runs (the runs are short, and the machine may be shared)."""
    from morva import SimulationPool

    best = (0.0, 0.0)
    with SimulationPool(workers=workers) as pool:
        # Every worker up before the clock starts.
        pool.run_simulations_batch([("warm\nR1 a 0 1\nV1 a 0 1\n.op\n.end\n", ["run"])] * (2 * workers))
        for _ in range(REPEATS):
            start = time.perf_counter()
            _, text = captured_stdout(lambda: pool.generate_lut(config(op_params), cache=False))
            rate = POINTS / (time.perf_counter() - start)
            efficiency = float(re.search(r"Parallelism efficiency:\s+([\d.]+)%", text).group(1))
            best = max(best, (rate, efficiency))
    return best


def ngspice_loop_rate(op_params, tmp, processes):
    """Points per second of `processes` single-threaded `ngspice -b` running at
    once, each sweeping its share of the (W, L) pairs at every Vbs with alter."""
    saves = " ".join(f"@m1[{p}]" for p in op_params if p != "von")
    pairs = [(w, l) for w in WIDTHS for l in LENGTHS]
    netlists = []
    for k in range(processes):
        share = pairs[k::processes]
        netlist = tmp / f"loop{k}.cir"
        netlist.write_text(
            f"loop\n.include {CARD}\nM1 drain gate source bulk nch W=1e-6 L=1e-6\n"
            "Vds drain source dc 0\nVgs gate source dc 0\nVbs bulk source dc 0\nVs source 0 dc 0\n"
            f".save vds#branch {saves}\n.control\nset num_threads=1\n"
            + "".join(
                f"alter m1 w={w!r}\nalter m1 l={l!r}\n"
                f"foreach vbs {' '.join(map(repr, VBS))}\n alter @vbs[dc] = $vbs\n"
                f" dc vds {SWEEP[0]} {SWEEP[1]} {SWEEP[2]} vgs {SWEEP[0]} {SWEEP[1]} {SWEEP[2]}\n"
                " destroy all\nend\n"
                for w, l in share)
            + ".endc\n.end\n"
        )
        netlists.append(netlist)
    # Each process runs its sweeps once and nothing else.
    analyses = ngspice_analyses("ngspice", netlists[0])
    assert analyses == len(pairs[0::processes]) * len(VBS), f"ngspice -b ran {analyses} analyses"
    best = 0.0
    for _ in range(REPEATS):
        start = time.perf_counter()
        procs = [subprocess.Popen(["ngspice", "-b", str(n)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for n in netlists]
        for proc in procs:
            proc.wait()
        best = max(best, POINTS / (time.perf_counter() - start))
    return best


# Wall seconds of each cost case before the shifted sweeps: best of three
# runs of five, taking turns with the new code, on the shared 8-core machine.
TODAY = {
    "example card, Id only": 0.105,
    "example card, all OP names": 0.134,
    "large kit, Id only": 0.222,
    "impact ionisation, Id only": 0.109,
    "impact ionisation, with gmbs": 0.127,
}
COST_WORKERS = 4
COST_REPEATS = 5
SERIES_REPEATS = 10
HV_PARAMS = ("alpha0=1e-7 beta0=30", "alpha0=3e-7 alpha1=0.05 beta0=20")


def large_kit(folder, cards=1000, lengths=25):
    """A corner section of `cards` binned copies of the example nch card, one
    parameter a line, as kits ship them; returns its path."""
    text = pathlib.Path(CARD).read_text()
    body = text.split(".model nch ", 1)[1].split("\n.model", 1)[0]
    kind, rest = body.split(None, 1)
    params = re.findall(r"(\w+)\s*=\s*(\S+)", rest)
    l_edges = [1e-7 * 1.3**i for i in range(lengths + 1)]
    widths = cards // lengths
    w_edges = [1e-7 * 1.2**j for j in range(widths + 1)]
    out = [".lib tt"]
    for n in range(cards):
        i, j = divmod(n, widths)
        out.append(f".model nch.{n + 1} {kind}")
        out.append(f"+ lmin = {l_edges[i]:.6g} lmax = {l_edges[i + 1]:.6g} wmin = {w_edges[j]:.6g} "
                   f"wmax = {w_edges[j + 1]:.6g}")
        out += [f"+ {name} = {value}" for name, value in params]
    out.append(".endl tt")
    path = pathlib.Path(folder) / "kit.lib"
    path.write_text("\n".join(out) + "\n")
    return path


def cost_cases(folder):
    import morva

    hv = pathlib.Path(folder) / "impact.lib"
    hv.write_text(pathlib.Path(CARD).read_text().replace(*HV_PARAMS))
    kit = large_kit(folder)
    hv_axes = dict(vgs=(0.0, 1.8, 0.05), vds=(0.0, 5.0, 0.125))
    return {
        "example card, Id only": config([]),
        "example card, all OP names": config(ALL_PARAMS),
        "large kit, Id only": morva.LutConfig(model_file=str(kit), model_section="tt", model_name="nch",
                                              widths_values=[1e-6, 4e-6], lengths_values=[1.8e-7, 1e-6],
                                              vbs_values=VBS, vgs=SWEEP, vds=SWEEP),
        "impact ionisation, Id only": morva.LutConfig(model_file=str(hv), model_name="nch", widths_values=WIDTHS,
                                                      lengths_values=LENGTHS, vbs_values=VBS, **hv_axes),
        "impact ionisation, with gmbs": morva.LutConfig(model_file=str(hv), model_name="nch",
                                                        widths_values=WIDTHS, lengths_values=LENGTHS,
                                                        vbs_values=VBS, op_params=["gmbs"], **hv_axes),
    }


def cost():
    from morva import SimulationPool

    print(f"\ncost of a table on {COST_WORKERS} workers (best of {COST_REPEATS}) beside today's")
    print(f"  {'case':30} {'points':>8} {'seconds':>9} {'today':>9} {'ratio':>7}")
    with tempfile.TemporaryDirectory() as tmp, SimulationPool(workers=COST_WORKERS) as pool:
        pool.run_simulations_batch([("warm\nR1 a 0 1\nV1 a 0 1\n.op\n.end\n", ["run"])] * (2 * COST_WORKERS))
        for name, cfg in cost_cases(tmp).items():
            lut = [None]
            seconds = best_of(COST_REPEATS, lambda: lut.__setitem__(
                0, captured_stdout(lambda: pool.generate_lut(cfg, cache=False))[0]))
            today = TODAY[name]
            ratio = f"{seconds / today:6.2f}x" if today else "     -"
            today_text = f"{today:9.3f}" if today else "        -"
            print(f"  {name:30} {lut[0].id.size:8,} {seconds:9.3f} {today_text} {ratio}", flush=True)


def series_cases(folder):
    """(label, configuration) pairs: each card without series resistances,
    then with them."""
    import morva

    text = pathlib.Path(CARD).read_text()
    assert text.count("rdsmod=0") == 2
    cards = {}
    for name, body in (("rdsmod0", text), ("rdsmod1", text.replace("rdsmod=0", "rdsmod=1"))):
        cards[name] = pathlib.Path(folder) / f"{name}.lib"
        cards[name].write_text(body)
    for name, squares in (("plain", ""), ("squares", " nrd=2 nrs=2")):
        cards[name] = pathlib.Path(folder) / f"{name}.lib"
        cards[name].write_text(text.replace("rdsmod=0", "rdsmod=0 rsh=40") + "\n.subckt nfet d g s b w=1e-6 l=1e-6\n"
                               f"m0 d g s b nch w=w l=l{squares}\n.ends nfet\n")
    axes = dict(widths_values=WIDTHS, lengths_values=LENGTHS, vbs_values=VBS, vgs=SWEEP, vds=SWEEP)
    plain = dict(model_name="nch", **axes)
    wrapped = dict(model_name="nfet", subcircuit=True, **axes)
    return [
        ("example card, Id only", morva.LutConfig(model_file=str(cards["rdsmod0"]), **plain),
         morva.LutConfig(model_file=str(cards["rdsmod1"]), **plain)),
        ("example card, with gmbs", morva.LutConfig(model_file=str(cards["rdsmod0"]), op_params=["gmbs"], **plain),
         morva.LutConfig(model_file=str(cards["rdsmod1"]), op_params=["gmbs"], **plain)),
        ("subcircuit, nrd = nrs = 2", morva.LutConfig(model_file=str(cards["plain"]), **wrapped),
         morva.LutConfig(model_file=str(cards["squares"]), **wrapped)),
    ]


def series():
    from morva import SimulationPool

    print(f"\nseries resistances: {POINTS:,} points on {COST_WORKERS} workers (best of {SERIES_REPEATS})")
    print(f"  {'table':28} {'without':>9} {'with':>9} {'ratio':>7}")
    with tempfile.TemporaryDirectory() as tmp, SimulationPool(workers=COST_WORKERS) as pool:
        pool.run_simulations_batch([("warm\nR1 a 0 1\nV1 a 0 1\n.op\n.end\n", ["run"])] * (2 * COST_WORKERS))
        for name, without, with_series in series_cases(tmp):
            run = lambda cfg: captured_stdout(lambda: pool.generate_lut(cfg, cache=False))
            # Taking turns, so that the machine's other work weighs on both alike.
            times = {id(without): float("inf"), id(with_series): float("inf")}
            for _ in range(SERIES_REPEATS):
                for cfg in (without, with_series):
                    times[id(cfg)] = min(times[id(cfg)], best_of(1, lambda: run(cfg)))
            a, b = times[id(without)], times[id(with_series)]
            print(f"  {name:28} {a:9.3f} {b:9.3f} {b / a:6.2f}x", flush=True)


def main():
    if shutil.which("ngspice") is None:
        print("ngspice not installed; skipped")
        return
    if "--cost" in sys.argv:
        cost()
        return
    if "--rdsmod" in sys.argv:
        series()
        return
    print(f"{POINTS:,} points: {len(WIDTHS)} W x {len(LENGTHS)} L x {len(VBS)} Vbs x 37 Vgs x 37 Vds, "
          f"{os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        for label, params in (("Id only", []), ("all OP names", ALL_PARAMS)):
            print(f"\n{label}: N pool workers beside N single-threaded ngspice -b at once (alter in a loop)")
            print(f"  {'N':>3} {'pool points/s':>14} {'ngspice -b points/s':>20} {'pool / ngspice -b':>18}"
                  f" {'efficiency':>11}")
            for workers in WORKER_COUNTS:
                baseline = ngspice_loop_rate(params, tmp, workers)
                rate, efficiency = pool_run(workers, params)
                print(f"  {workers:3d} {rate:14,.0f} {baseline:20,.0f} {rate / baseline:17.2f}x {efficiency:10.1f}%")
    cost()
    series()


if __name__ == "__main__":
    main()
