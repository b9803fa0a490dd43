"""Numbers written with a sign and an exponent, or with the micro sign, as ngspice reads them:
card values, bin limits and a subcircuit's device line, through DcSolver and both table paths,
against ngspice on the same files."""

import re
import shutil
import subprocess

import numpy as np
import pytest

import morva
from conftest import ngspice_terminal
from test_dc_solver import EXAMPLE
from test_native_lut import WRAPPED

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

W, L = 1e-6, 0.18e-6


def example_nch(values, limits=""):
    """The example card of nch with the pairs of `values` (name: text as written) replacing its
    own, named `name`, with `limits` added."""
    lines, inside = [], False
    for line in EXAMPLE.read_text().splitlines():
        if line.startswith(".model"):
            inside = line.split()[1] == "nch"
        if inside and (line.startswith(".model") or line.startswith("+")):
            lines.append(" ".join(w for w in line.split() if w.split("=")[0].lower() not in values))
    return "\n".join(lines) + "\n+ " + " ".join(f"{k}={v}" for k, v in values.items()) + f" {limits}\n"


def ngspice_op(folder, lib, model, w, l, vg, vd):
    """ngspice's @m1[id] and @m1[vth] at one operating point, or what it said instead."""
    (folder / "op.cir").write_text(
        f"op\n.include {lib}\nm1 d g 0 0 {model} w={w!r} l={l!r}\nvd d 0 {vd!r}\nvg g 0 {vg!r}\n"
        ".options reltol=1e-9 abstol=1e-18\n.control\nset numdgt=17\nop\nprint @m1[id] @m1[vth]\n.endc\n.end\n")
    run = subprocess.run(["ngspice", "-b", "op.cir"], cwd=folder, capture_output=True, text=True, timeout=60)
    found = [re.search(rf"@m1\[{q}\] = (\S+)", run.stdout) for q in ("id", "vth")]
    assert all(found), run.stdout + run.stderr
    return tuple(float(f.group(1)) for f in found)


# Card values as kits write them, each with the value ngspice reads for it written plainly
# (None: the text itself is that value). vth0 = +4.2e-1 gave a threshold of 4.35 V and
# Id = 8e-38 A (4.2 read for 0.42).
CARD_VALUES = [
    ({"vth0": "+4.2e-1"}, "", {"vth0": "0.42"}),
    ({"vth0": "+42e-2"}, "", {"vth0": "0.42"}),
    ({"vth0": "+5e-1u"}, "", {"vth0": "5e-7"}),
    ({"k2": "+1.048000e-002", "u0": "+3.5E-2"}, "", None),
    ({"toxe": "+4.1e-009", "dvt2": "-3.2e-2"}, "", None),
    # A .param value read the same way, substituted into the card.
    ({"vth0": "{vt}"}, ".param vt=+4.2e-1\n", None),
    # The micro sign, in UTF-8 and as the Latin-1 byte: u.
    ({"vth0": "420000µ", "toxe": "0.0041µ"}, "", {"vth0": "420000u", "toxe": "0.0041u"}),
    ({"vth0": "420000\xb5V"}, "", {"vth0": "420000u"}),
]


@pytest.mark.parametrize("values, preamble, plain", CARD_VALUES)
def test_card_values_read_as_ngspice_reads_them(tmp_path, values, preamble, plain):
    lib = tmp_path / "card.lib"
    latin1 = any("\xb5" in v for v in values.values())
    lib.write_bytes((preamble + example_nch(values)).encode("latin-1" if latin1 else "utf-8"))
    ids, vth = ngspice_op(tmp_path, lib, "nch", W, L, 1.0, 0.9)
    r = morva.DcSolver(str(lib), "nch", w=W, l=L).solve(vg=1.0, vd=0.9)
    assert r.converged
    assert r.ids == pytest.approx(ids, rel=1e-9)
    assert r.vth == pytest.approx(vth, abs=1e-9)
    if plain is not None:  # as the plain value gives it
        (tmp_path / "plain.lib").write_text(example_nch(plain))
        same = morva.DcSolver(str(tmp_path / "plain.lib"), "nch", w=W, l=L).solve(vg=1.0, vd=0.9)
        assert (r.ids, r.vth) == (same.ids, same.vth)


BINNED = [
    ("nch.1", "lmin=+1.0e-07 lmax=+5.0e-07 wmin=+1.0e-07 wmax=+1.0e-04", "+4.0e-1"),
    ("nch.2", "lmin=+5.0e-07 lmax=+1.0e-05 wmin=+1.0e-07 wmax=+1.0e-04", "+4.5E-1"),
]


def test_bin_limits_with_a_sign_and_an_exponent(tmp_path):
    """Bins whose limits carry a sign and an exponent hold the sizes ngspice gives them: DcSolver
    and the native table take each length's bin as ngspice does, and the pool agrees."""
    text = ""
    for name, limits, vth0 in BINNED:
        text += example_nch({"vth0": vth0}, limits).replace(".model nch ", f".model {name} ", 1)
    lib = tmp_path / "bins.lib"
    lib.write_text(text)
    for length in (0.18e-6, 1e-6):
        ids, _ = ngspice_op(tmp_path, lib, "nch", W, length, 1.0, 0.9)
        r = morva.DcSolver(str(lib), "nch", w=W, l=length).solve(vg=1.0, vd=0.9)
        assert r.ids == pytest.approx(ids, rel=1e-9), length
    kw = dict(model_file=str(lib), model_name="nch", widths_values=[W], lengths_values=[0.18e-6, 1e-6],
              vbs_values=[0.0], vgs=(0.0, 1.2, 0.1), vds=(0.0, 1.2, 0.1), op_params=[])
    with morva.SimulationPool(workers=2) as pool:
        native = pool.generate_lut(morva.LutConfig(use_native_bsim4=True, **kw), cache=False)
        pooled = pool.generate_lut(morva.LutConfig(use_native_bsim4=False, **kw), cache=False)
    np.testing.assert_allclose(native.id, pooled.id, rtol=1e-3, atol=1e-11)


SIGNED = """\
.subckt nsigned d g s b W=1u L=0.18u
m0 d g s b nwp w={W} l={L} sa=+1.0e-06 sb=+2.0E-06 sd=+2.0e-07 delvto=+1.0e-002 sca=+5e0
.ends
"""


def test_device_line_values_with_a_sign_and_an_exponent(tmp_path):
    """A subcircuit's device line with sa=+1.0e-06 and its kind: the native table takes it and
    gives ngspice's currents."""
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPED + SIGNED)
    vgs = vds = (0.0, 1.2, 0.1)
    kw = dict(model_file=str(lib), widths_values=[W], lengths_values=[L], vbs_values=[0.0], vgs=vgs, vds=vds,
              op_params=[], use_native_bsim4=True)
    with morva.SimulationPool(workers=1) as pool:
        table = pool.generate_lut(morva.LutConfig(model_name="nsigned", subcircuit=True, **kw), cache=False)
        plain = pool.generate_lut(morva.LutConfig(model_name="nwp", **kw), cache=False)
    ref = ngspice_terminal(tmp_path, lib, "nsigned", W, L, 0.0, vgs, vds, subcircuit=True)[0]
    ids, plain_ids = (np.reshape(t.id, ref.shape) for t in (table, plain))  # one W, Vbs and L
    np.testing.assert_allclose(ids, ref, rtol=1e-6, atol=1e-15)
    on = np.abs(ref) > 1e-9
    assert np.max(np.abs(ids[on] / plain_ids[on] - 1)) > 0.05  # the line takes effect
