"""gm/Id sizing speed: TransistorLut.design calls per second on a
10 L x 181 Vgs x 181 Vds table, with and without a gain target."""

import os
import sys
import tempfile
import time

import numpy as np

import morva
from bench_lut_cache import encode, load


def model_table():
    """A smooth long-channel device over 10 lengths, Vgs and Vds 0..1.8 V."""
    lengths = np.geomspace(1e-7, 1e-5, 10)
    vgs = np.arange(181) * 0.01
    vds = np.arange(181) * 0.01
    l, g, d = np.meshgrid(lengths, vgs, vds, indexing="ij")
    ut, n, k = 0.025852, 1.3, 200e-6
    f = np.log1p(np.exp((g - 0.45) / (2 * n * ut)))
    current = 2 * n * k * (1e-6 / l) * ut * ut * f * f * (1 - np.exp(-d / ut)) * (1 + 0.2e-6 / l * d)
    grids = {"id": current[None, None], "gm": np.gradient(current, 0.01, axis=1)[None, None],
             "gds": np.gradient(current, 0.01, axis=2)[None, None]}
    return encode([[1e-6], [0.0], lengths, vgs, vds], grids, [])


def rate(fn, seconds=1.0):
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        fn()
        calls += 1
    return calls / (time.perf_counter() - start)


def main():
    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        lut = load(model_table())
    print(f"table {lut.shape}")
    cases = [
        ("gm_id", dict(gm_id=15.0)),
        ("gm_id + ids", dict(gm_id=15.0, ids=100e-6)),
        ("gm_id + gain + ids", dict(gm_id=15.0, gain=30.0, ids=100e-6)),
        ("gain + ids (grid scan)", dict(gain=30.0, ids=100e-6)),
    ]
    print(f"{'targets':<26}{'calls/s':>12}{'us/call':>10}")
    for name, kwargs in cases:
        lut.design(**kwargs)
        r = rate(lambda: lut.design(**kwargs))
        print(f"{name:<26}{r:>12.0f}{1e6 / r:>10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
