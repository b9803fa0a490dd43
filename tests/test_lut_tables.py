"""Test-only construction of characterisation tables.

Tables reach Python only through generation or the cache, so tests write a
cache file in the documented binary layout and load it back with
``load_cached_lut``. Imported by the other LUT test files.
"""

import itertools
import struct

import pytest

GRID_NAMES = ["id", "gm", "gds", "cgg", "cgs", "cgd", "cgb", "cbs", "cbd",
              "gmbs", "gbd", "gbs", "vth", "vdsat", "von"]


def encode_table(widths, vbs_values, lengths, vgs, vds, grids, extracted=()):
    """Bytes of a cache file. ``grids`` maps names to 5-D arrays (or nested
    lists); a name not given gets the width x Vbs x length nesting with empty
    Vgs x Vds blocks, and ``None`` an empty grid."""
    out = bytearray()

    def count(n):
        out.extend(struct.pack("<Q", n))

    def floats(values):
        values = [float(v) for v in values]
        count(len(values))
        out.extend(struct.pack(f"<{len(values)}d", *values))

    def nested(values, depth):  # arrays or (possibly ragged) lists
        if depth == 1:
            floats(values)
            return
        count(len(values))
        for item in values:
            nested(item, depth - 1)

    for axis in (widths, vbs_values, lengths, vgs, vds):
        floats(axis)
    n_w, n_b, n_l = len(widths), len(vbs_values), len(lengths)
    for name in GRID_NAMES:
        if name not in grids:
            count(n_w)
            for _ in range(n_w):
                count(n_b)
                for _ in range(n_b):
                    count(n_l)
                    for _ in range(n_l):
                        count(0)
        elif grids[name] is None:
            count(0)
        else:
            nested(grids[name], 5)
    count(len(extracted))
    for name in extracted:
        data = name.encode()
        count(len(data))
        out.extend(data)
    return bytes(out)


def model_id(w, vbs, l, vgs, vds):
    """A smooth long-channel n-channel device: gm/Id tops out near 29.8 1/V in
    weak inversion; longer devices have more intrinsic gain."""
    import numpy as np

    ut, n, k = 0.025852, 1.3, 200e-6
    vt = 0.45 - 0.2 * vbs
    f = np.log1p(np.exp((vgs - vt) / (2 * n * ut)))
    lam = 0.2e-6 / l
    return 2 * n * k * (w / l) * ut * ut * f * f * (1 - np.exp(-vds / ut)) * (1 + lam * vds)


def model_grids(widths, vbs_values, lengths, vgs, vds, vgs_step, vds_step):
    """id, gm, gds of the model, the derivatives by the table's own rule
    (one-sided at the ends, central inside, the configured step)."""
    import numpy as np

    w, b, l, g, d = np.meshgrid(widths, vbs_values, lengths, vgs, vds, indexing="ij")
    current = model_id(w, b, l, g, d)
    gm = np.gradient(current, vgs_step, axis=3) if len(vgs) > 1 else np.zeros_like(current)
    gds = np.gradient(current, vds_step, axis=4) if len(vds) > 1 else np.zeros_like(current)
    return {"id": current, "gm": gm, "gds": gds}


_counter = itertools.count()


def load_bytes(home, data, key=None):
    """Writes ``data`` as the cache file of ``key`` under ``home`` and loads it."""
    import morva

    key = key or f"test-{next(_counter)}"
    path = home / ".cache" / "morva" / f"{key}.bin"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return morva.load_cached_lut(key)


def load_table(home, widths, vbs_values, lengths, vgs, vds, grids, extracted=()):
    return load_bytes(home, encode_table(widths, vbs_values, lengths, vgs, vds, grids, extracted))


def load_model_table(home, widths=(1e-6,), vbs_values=(0.0,), lengths=(1e-6,), n_vgs=37, vgs_step=0.05,
                     n_vds=19, vds_step=0.1, sign=1.0):
    """The model device as a table; ``sign=-1`` gives its p-channel mirror
    (Id, Vgs and Vds negated, gm and gds positive)."""
    import numpy as np

    vgs = np.arange(n_vgs) * vgs_step
    vds = np.arange(n_vds) * vds_step
    grids = model_grids(widths, vbs_values, lengths, vgs, vds, vgs_step, vds_step)
    grids["id"] = sign * grids["id"]
    return load_table(home, widths, vbs_values, lengths, sign * vgs, sign * vds, grids)


@pytest.fixture
def lut_home(tmp_path, monkeypatch):
    """A temporary HOME, so that the cache lives in the test's directory."""
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path
