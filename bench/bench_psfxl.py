"""PSFXL decoding throughput beside c-blosc, and the tag-scan rate of opening
a companion file.

Throughput is decoded output bytes per second, best of several runs. c-blosc
runs single-threaded on the very same frames, both through its allocating call
(`decompress`) and into buffers allocated beforehand (`decompress_ptr`, the
fastest way to use it). Needs the `blosc` package.
"""

import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
try:
    import blosc
except ImportError:  # pragma: no cover
    print("blosc (c-blosc 1.x) is not installed; nothing to compare against")
    sys.exit(0)

from morva import NgpsfFile
from timing import best_of
from test_psfxl import Companion


def data(kind, n, rng):
    if kind == "smooth":
        return np.sin(np.arange(n) * 2e-4) * 0.9 + 1.2
    if kind == "noisy":
        return np.sin(np.arange(n) * 2e-4) + 1e-3 * rng.standard_normal(n)
    return np.cumsum(rng.uniform(0.5, 1.5, n)) * 1e-12  # time-like


def decode_table(tmp):
    blosc.set_nthreads(1)
    blosc.set_blocksize(0)
    rng = np.random.default_rng(0)
    print("decode_waveform of a standalone record (time and values frames), BloscLZ, byte shuffle")
    print("c-blosc: allocating = blosc.decompress, into buffer = blosc.decompress_ptr into arrays made beforehand;")
    print("the ratios are c-blosc's time over morva's (above 1: morva is faster)")
    print(f"{'samples':>9} {'data':>7} {'clevel':>6} {'ratio':>6} {'morva MB/s':>11} {'allocating':>11} "
          f"{'into buffer':>12} {'vs allocating':>14} {'vs into buffer':>15} {'values only':>12}")
    for n in (10**6, 10**7):
        runs = 7 if n == 10**6 else 3
        time_axis = data("time", n, rng)
        for kind in ("smooth", "noisy", "time"):
            values = data(kind, n, rng)
            for clevel in (5, 9):
                tf = blosc.compress(time_axis.tobytes(), typesize=8, cname="blosclz", clevel=clevel, shuffle=1)
                vf = blosc.compress(values.tobytes(), typesize=8, cname="blosclz", clevel=clevel, shuffle=1)
                path = os.path.join(tmp, "bench.psfxl")
                f = Companion().pair(1, tf, vf, n).back_ref(2, vf, n).write(path)
                t_wave = best_of(runs, lambda: f.decode_waveform(1))
                t_ref = best_of(runs, lambda: (blosc.decompress(tf), blosc.decompress(vf)))
                t_out, v_out = np.empty(n), np.empty(n)
                t_ptr = best_of(runs, lambda: (blosc.decompress_ptr(tf, t_out.ctypes.data),
                                               blosc.decompress_ptr(vf, v_out.ctypes.data)))
                assert np.array_equal(v_out, values) and np.array_equal(t_out, time_axis)
                t_values = best_of(runs, lambda: f.decode_record(2))
                t_ref_values = best_of(runs, lambda: blosc.decompress(vf))
                out = 2 * 8 * n
                ratio = 8 * n / len(vf)
                print(f"{n:>9} {kind:>7} {clevel:>6} {ratio:>6.2f} {out / t_wave / 1e6:>11.0f} "
                      f"{out / t_ref / 1e6:>11.0f} {out / t_ptr / 1e6:>12.0f} {t_ref / t_wave:>14.2f} "
                      f"{t_ptr / t_wave:>15.2f} {t_ref_values / t_values:>12.2f}")
                os.remove(path)


def tag_scan_table(tmp):
    rng = np.random.default_rng(1)
    print()
    print("opening a companion file (read + tag scan) and listing its records")
    print(f"{'records':>8} {'file MB':>8} {'open MB/s':>10} {'tags/s':>12} {'parse records/s':>16}")
    for count, samples in ((1000, 4096), (20000, 512)):
        c = Companion()
        t = data("time", samples, rng)
        c.pair(0, blosc.compress(t.tobytes(), typesize=8, cname="blosclz", clevel=5, shuffle=1),
               blosc.compress(t.tobytes(), typesize=8, cname="blosclz", clevel=5, shuffle=1), samples)
        for rid in range(1, count):
            v = data("noisy", samples, rng)
            c.back_ref(rid, blosc.compress(v.tobytes(), typesize=8, cname="blosclz", clevel=5, shuffle=1), samples)
        path = os.path.join(tmp, "scan.psfxl")
        c.write(path)
        size = os.path.getsize(path)
        t_open = best_of(5, lambda: NgpsfFile(path))
        f = NgpsfFile(path)
        t_parse = best_of(5, f.parse_data_records)
        print(f"{count:>8} {size / 1e6:>8.1f} {size / t_open / 1e6:>10.0f} {f.num_tags() / t_open:>12.0f} "
              f"{count / t_parse:>16.0f}")
        os.remove(path)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        decode_table(tmp)
        tag_scan_table(tmp)
