"""Each (W, L) pair loads its circuit once: its rows' request keeps the
circuit, and the sweeps that refine its slopes run on it. A pool keeps what
it learned about a device for as long as the kit's files are unchanged."""

import os
import pathlib
import shutil

import numpy as np
import pytest

from test_characterisation import EXAMPLE_CARD, IMPACT
from test_characterisation_retry import FaultyPool, config

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")


@pytest.fixture
def faulty(tmp_path):
    pool = FaultyPool(tmp_path)
    yield pool
    pool.pool.close()


def probing(out):
    """The lines of the probe: from the plan to the extracted parameters."""
    lines = out.splitlines()
    return lines[1:next(k for k, line in enumerate(lines) if line.startswith("  → extracting")) + 1]


def test_slopes_run_on_each_pairs_circuit_and_the_probe_is_kept(faulty, tmp_path, capfd):
    card = tmp_path / "impact.lib"
    card.write_text(pathlib.Path(EXAMPLE_CARD).read_text().replace(*IMPACT))
    cfg = config(str(card), vds=(0.0, 5.0, 0.25), op_params=["gmbs", "vth"])
    first = faulty.run(cfg)
    said = probing(capfd.readouterr().out)
    requests = faulty.requests()
    assert sorted(r for r in requests if r.startswith("probe-")) == ["probe-device", "probe-gmbs", "probe-vth"]
    # Both pairs' shifted sweeps, each on the circuit of the pair's rows.
    assert sorted(r for r in requests if "-slopes" in r) == ["lut-w0-l0-slopes@lut-w0-l0",
                                                             "lut-w0-l1-slopes@lut-w0-l1"]

    # The same device on the same kit: nothing asked, the same lines, the same table.
    second = faulty.run(cfg)
    assert probing(capfd.readouterr().out) == said
    assert not [r for r in faulty.requests() if r.startswith("probe-")]
    for name in ("id", "gm", "gds", "gmbs", "vth"):
        np.testing.assert_array_equal(getattr(second, name), getattr(first, name), err_msg=name)

    # The card changes (here only its time): asked again.
    stamp = os.stat(card).st_mtime_ns + 1_000_000_000
    os.utime(card, ns=(stamp, stamp))
    faulty.run(cfg)
    capfd.readouterr()
    assert "probe-device" in faulty.requests()
