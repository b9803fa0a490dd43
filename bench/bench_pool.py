"""The worker pool's throughput and overhead.

Prints jobs per second for 2,000 small RC netlists through
`run_simulations_batch` at 1, 2, 4 and 8 workers, beside the same netlists run
by `ngspice -b` as separate processes (one at a time, and 8 at a time), and
the pool's own overhead per job at one worker: wall time per job minus the
worker's phase total from its MORVA_WORKER_BENCH line.
"""

import concurrent.futures
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from timing import ngspice_analyses  # noqa: E402

N_JOBS = 2000
N_NGSPICE = 240
WORKER_COUNTS = [1, 2, 4, 8]


def rc(r_ohm):
    return (
        f"rc\nV1 in 0 PULSE(0 1 0 1n 1n 1u 2u)\nR1 in out {r_ohm}\nC1 out 0 1n\n.tran 10n 4u\n"
        ".meas tran vmax MAX v(out)\n.end\n"
    )


JOBS = [(rc(1000 + i), ["run"]) for i in range(N_JOBS)]


def pool_rate(workers):
    from morva import SimulationPool

    with SimulationPool(workers=workers) as pool:
        pool.run_simulations_batch(JOBS[: 4 * workers])  # every worker up and warm
        start = time.perf_counter()
        results = pool.run_simulations_batch(JOBS)
        elapsed = time.perf_counter() - start
    assert all(r.success for r in results)
    return N_JOBS / elapsed


def overhead_at_one_worker():
    """(wall ms/job, worker phase ms/job) measured in a child process whose
    worker prints its benchmark line when the pool is closed."""
    code = (
        "import sys, time\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "import bench_pool as b\n"
        "from morva import SimulationPool\n"
        "with SimulationPool(workers=1) as pool:\n"
        "    t = time.perf_counter()\n"
        "    pool.run_simulations_batch(b.JOBS)\n"
        "    print((time.perf_counter() - t) * 1e3 / len(b.JOBS))\n"
    )
    env = dict(os.environ, MORVA_WORKER_BENCH="1")
    out = subprocess.run(
        [sys.executable, "-c", code, str(pathlib.Path(__file__).parent)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    wall = float(out.stdout.split()[-1])
    line = next(l for l in out.stderr.splitlines() if l.startswith("[worker-bench"))
    n = int(re.search(r" n=(\d+)", line).group(1))
    total = float(re.search(r"total=\s*([\d.]+)ms", line).group(1))
    return wall, total / n


def ngspice_rate(parallel):
    exe = shutil.which("ngspice")
    if not exe:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i in range(N_NGSPICE):
            path = pathlib.Path(tmp) / f"rc{i}.cir"
            # The netlist's .meas makes `ngspice -b` run its analysis once.
            path.write_text(JOBS[i][0])
            paths.append(path)
        analyses = ngspice_analyses(exe, paths[0])
        assert analyses == 1, f"ngspice -b ran {analyses} analyses of one netlist"

        def run(path):
            subprocess.run([exe, "-b", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

        start = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(parallel) as ex:
            list(ex.map(run, paths))
        return N_NGSPICE / (time.perf_counter() - start)


def main():
    cores = len(os.sched_getaffinity(0))
    print(f"{N_JOBS} RC transient jobs (446 points each) through run_simulations_batch; {cores} cores")
    print(f"{'':28}{'jobs/s':>10}{'speed-up':>10}")
    base = None
    best = 0.0
    for workers in WORKER_COUNTS:
        rate = pool_rate(workers)
        base = base or rate
        best = max(best, rate)
        print(f"{f'pool, {workers} worker(s)':28}{rate:10.0f}{rate / base:9.2f}x")
    seq = ngspice_rate(1)
    par = ngspice_rate(8)
    if seq and par:
        print(f"{'ngspice -b, sequential':28}{seq:10.0f}{seq / base:9.2f}x")
        print(f"{'ngspice -b, 8 at a time':28}{par:10.0f}{par / base:9.2f}x")
        print(f"best pool / 8-way ngspice -b: {best / par:.1f}x")
    wall, phases = overhead_at_one_worker()
    print("\none worker, per job:")
    print(f"  wall time            {wall:8.3f} ms")
    print(f"  worker phase total   {phases:8.3f} ms")
    print(f"  pool overhead        {wall - phases:8.3f} ms  (queue, pipes, frame decode, result objects)")


if __name__ == "__main__":
    main()
