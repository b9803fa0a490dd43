"""LUT cache, property access and CSV throughput.

An 8 W x 4 Vbs x 10 L x 37 Vgs x 37 Vds table with 11 operating-point grids
is written in the cache format, then loaded and saved through the morva
cache functions, beside numpy.save / numpy.load of the same arrays, and
written as CSV. A larger table (2 W x 4 Vbs x 1 L x 361 x 361, about 120 MB)
is loaded beside numpy.load as well, and its grids read through
``TransistorLut`` (a copy per access) and ``morva.Lut`` (converted once).
"""

import os
import struct
import sys
import tempfile

import numpy as np

import morva

from timing import best_of

SHAPE = (8, 4, 10, 37, 37)
BIG = (2, 4, 1, 361, 361)
OP_NAMES = ["cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat"]  # von left out
GRID_NAMES = ["id", "gm", "gds", "cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat",
              "von"]


def encode(axes, grids, extracted):
    """The cache file bytes of a table (u64 counts before every list, f64
    values); grids not in ``grids`` get empty Vgs x Vds blocks."""
    parts = []
    u64 = struct.Struct("<Q").pack
    for axis in axes:
        parts.append(u64(len(axis)))
        parts.append(np.asarray(axis, "<f8").tobytes())
    n_w, n_b, n_l, n_g, n_d = (len(a) for a in axes)
    for name in GRID_NAMES:
        grid = grids.get(name)
        parts.append(u64(n_w))
        for w in range(n_w):
            parts.append(u64(n_b))
            for b in range(n_b):
                parts.append(u64(n_l))
                for l in range(n_l):
                    if grid is None:
                        parts.append(u64(0))
                        continue
                    rows = np.empty(n_g, dtype=[("n", "<u8"), ("v", "<f8", n_d)])
                    rows["n"] = n_d
                    rows["v"] = grid[w, b, l]
                    parts.append(u64(n_g))
                    parts.append(rows.tobytes())
    parts.append(u64(len(extracted)))
    for name in extracted:
        parts.append(u64(len(name)) + name.encode())
    return b"".join(parts)


def load(data, key="bench"):
    """Writes ``data`` as the cache file of ``key`` (under HOME) and loads it."""
    path = morva.lut_cache_path(key)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return morva.load_cached_lut(key)


def numpy_files(home, arrays):
    """Saves ``arrays`` as .npy files; returns (save time, load time) and the loader."""
    npy_dir = os.path.join(home, "npy")
    os.makedirs(npy_dir, exist_ok=True)

    def np_save():
        for i, a in enumerate(arrays):
            np.save(os.path.join(npy_dir, f"{i}.npy"), a)

    def np_load():
        return [np.load(os.path.join(npy_dir, f"{i}.npy")) for i in range(len(arrays))]

    return best_of(3, np_save), best_of(3, np_load)


def big_table(home):
    """Load of a ~120 MB table beside numpy.load; property access on it."""
    axes = [np.array([1e-6, 2e-6]), np.linspace(-0.6, 0.0, 4), np.array([1.8e-7]), np.arange(361) * 0.005,
            np.arange(361) * 0.005]
    grids = {name: np.full(BIG, float(k)) for k, name in enumerate(["id", "gm", "gds"] + OP_NAMES)}
    data = encode(axes, grids, OP_NAMES)
    mb = len(data) / 1e6
    load(data, "big")
    del data
    t_load = best_of(3, lambda: morva.load_cached_lut("big"))
    _, t_np_load = numpy_files(home, list(axes) + list(grids.values()))
    del grids

    table = morva.load_cached_lut("big")
    lut = morva.Lut(table)
    points = [(0, 1, 0, 7 * k, 5 * k) for k in range(50)]
    t_copy = best_of(3, lambda: table.id)
    t_native_50 = best_of(1, lambda: [table.id[p] for p in points])
    t_first = best_of(1, lambda: morva.Lut(table).id)
    lut.id
    t_shared_50 = best_of(3, lambda: [lut.id[p] for p in points])

    print(f"\ntable {'x'.join(map(str, BIG))}, 14 full grids, cache file {mb:.1f} MB")
    print(f"{'operation':<34}{'seconds':>10}{'MB/s':>10}{'vs numpy':>10}")
    print(f"{'load_cached_lut':<34}{t_load:>10.4f}{mb / t_load:>10.0f}{t_np_load / t_load:>10.2f}")
    print(f"{'numpy.load (19 arrays)':<34}{t_np_load:>10.4f}{mb / t_np_load:>10.0f}{1:>10.2f}")
    grid_mb = np.prod(BIG) * 8 / 1e6
    print(f"property access, one {grid_mb:.0f} MB grid:")
    print(f"{'  TransistorLut.id (a copy)':<34}{t_copy:>10.6f}")
    print(f"{'  Lut.id, first access':<34}{t_first:>10.6f}")
    print(f"{'  50 x TransistorLut.id[i, j]':<34}{t_native_50:>10.6f}")
    print(f"{'  50 x Lut.id[i, j]':<34}{t_shared_50:>10.6f}   ({t_native_50 / t_shared_50:.0f}x faster)")


def main():
    rng = np.random.default_rng(1)
    axes = [np.linspace(1e-6, 8e-6, 8), np.linspace(-0.6, 0.0, 4), np.geomspace(1e-7, 1e-5, 10),
            np.arange(37) * 0.05, np.arange(37) * 0.05]
    grids = {name: rng.standard_normal(SHAPE) for name in ["id", "gm", "gds"] + OP_NAMES}
    data = encode(axes, grids, OP_NAMES)
    mb = len(data) / 1e6

    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        table = load(data)
        t_load = best_of(3, lambda: morva.load_cached_lut("bench"))
        t_save = best_of(3, lambda: morva.save_cached_lut("bench-copy", table))
        assert open(morva.lut_cache_path("bench-copy"), "rb").read() == data
        t_np_save, t_np_load = numpy_files(home, list(axes) + [grids[n] for n in ["id", "gm", "gds"] + OP_NAMES])

        csv = os.path.join(home, "t.csv")
        t_csv = best_of(1, lambda: table.to_csv(csv))
        csv_mb = os.path.getsize(csv) / 1e6
        rows = int(np.prod(SHAPE))

        print(f"table {'x'.join(map(str, SHAPE))}, 14 full grids, cache file {mb:.1f} MB")
        print(f"{'operation':<34}{'seconds':>10}{'MB/s':>10}{'vs numpy':>10}")
        print(f"{'load_cached_lut':<34}{t_load:>10.4f}{mb / t_load:>10.0f}{t_np_load / t_load:>10.2f}")
        print(f"{'numpy.load (19 arrays)':<34}{t_np_load:>10.4f}{mb / t_np_load:>10.0f}{1:>10.2f}")
        print(f"{'save_cached_lut':<34}{t_save:>10.4f}{mb / t_save:>10.0f}{t_np_save / t_save:>10.2f}")
        print(f"{'numpy.save (19 arrays)':<34}{t_np_save:>10.4f}{mb / t_np_save:>10.0f}{1:>10.2f}")
        print(f"{'to_csv':<34}{t_csv:>10.4f}{csv_mb / t_csv:>10.0f}{'':>10}"
              f"  ({csv_mb:.0f} MB, {rows / t_csv / 1e3:.0f}k rows/s)")
        print("(vs numpy: numpy time / morva time; save includes fsync and rename)")
        del table, data, grids
        big_table(home)
    return 0


if __name__ == "__main__":
    sys.exit(main())
