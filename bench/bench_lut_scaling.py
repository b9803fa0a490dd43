"""How characterisation scales with workers and threads when the (W, L)
pairs are few.

Pool path: 2 widths x 1 length x 4 Vbs x 361 Vgs x 361 Vds of the example
BSIM4 card on 1, 2, 4 and 8 workers. Native path: 1 W x 1 L x 4 Vbs x 721 x
721 on 1, 2, 4 and 8 cores (the process's CPU affinity bounds its threads).
Every run must give the table of the first, bit for bit.
"""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import morva

HERE = os.path.dirname(os.path.abspath(__file__))
CARD = os.path.join(HERE, "..", "examples", "bsim4_180nm.lib")
COUNTS = (1, 2, 4, 8)

POOL = dict(model_file=CARD, model_name="nch", widths_values=[1e-6, 4e-6], lengths_values=[1.8e-7],
            vbs_values=[-0.6, -0.4, -0.2, 0.0], vgs=(0.0, 1.8, 0.005), vds=(0.0, 1.8, 0.005))

NATIVE_RUN = """
import os, sys, time, numpy as np, morva
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:int(sys.argv[1])])
cfg = morva.LutConfig(model_file=sys.argv[2], model_name="nch", widths_values=[1e-6], lengths_values=[1.8e-7],
                      vbs_values=[-0.6, -0.4, -0.2, 0.0], vgs=(0.0, 1.8, 0.0025), vds=(0.0, 1.8, 0.0025),
                      use_native_bsim4=True)
with morva.SimulationPool(workers=1) as pool:
    start = time.perf_counter()
    lut = pool.generate_lut(cfg, cache=False)
    seconds = time.perf_counter() - start
np.save(sys.argv[3], lut.id)
print(seconds)
"""


def quiet(work):
    """Runs `work` with the generator's progress lines (fd 1 and 2) discarded."""
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        sys.stdout.flush()
        os.dup2(null, 1)
        os.dup2(null, 2)
        return work()
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


def pool_runs():
    cfg = morva.LutConfig(**POOL)
    warm = morva.LutConfig(**dict(POOL, vgs=(0.0, 1.8, 0.1), vds=(0.0, 1.8, 0.1)))
    times, reference = [], None
    for n in COUNTS:
        with morva.SimulationPool(workers=n) as pool:
            quiet(lambda: pool.generate_lut(warm, cache=False))  # every worker started
            start = time.perf_counter()
            lut = quiet(lambda: pool.generate_lut(cfg, cache=False))
            times.append(time.perf_counter() - start)
        reference = lut.id if reference is None else reference
        assert np.array_equal(lut.id, reference), f"{n} workers changed the table"
    return lut.id.size, times


def native_runs():
    times, reference = [], None
    with tempfile.TemporaryDirectory() as tmp:
        for n in COUNTS:
            out = os.path.join(tmp, f"{n}.npy")
            run = subprocess.run([sys.executable, "-c", NATIVE_RUN, str(n), CARD, out], capture_output=True,
                                 text=True, check=True, timeout=600)
            times.append(float(run.stdout.split()[-1]))
            table = np.load(out)
            reference = table if reference is None else reference
            assert np.array_equal(table, reference), f"{n} threads changed the table"
    return reference.size, times


def report(title, unit, points, times):
    print(title)
    print(f"{unit:>10}{'seconds':>10}{'Mpts/s':>10}{'speed-up':>10}")
    for n, t in zip(COUNTS, times):
        print(f"{n:>10}{t:>10.3f}{points / t / 1e6:>10.2f}{times[0] / t:>10.2f}")


def main():
    usable = len(os.sched_getaffinity(0))
    print(f"{usable} usable cores")
    points, times = pool_runs()
    report("pool path, 2 W x 1 L x 4 Vbs x 361 x 361 (aim: 8 workers >= 5x one)", "workers", points, times)
    points, times = native_runs()
    report("native path, 1 W x 1 L x 4 Vbs x 721 x 721 (aim: 8 threads >= 6x one)", "threads", points, times)
    return 0


if __name__ == "__main__":
    sys.exit(main())
