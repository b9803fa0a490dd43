"""Characterisation through the worker pool of devices whose subcircuit holds more than the
transistor: resistors between the transistor and the terminals, and elements that carry drain
current beside it. gm, gds and gmbs are the slopes of the table's own Id, the current at the
subcircuit's terminals, against ngspice's central differences of it solved tightly."""

import os
import pathlib
import shutil

import numpy as np
import pytest

import morva
from conftest import ROOT, ngspice_terminal

needs_ngspice = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

EXAMPLE_CARD = ROOT / "examples" / "bsim4_180nm.lib"

# The example card's transistor inside a subcircuit with elements of its own.
WRAPPER = """.include {card}
.model dj d is=1e-14
.model dleak d is=1e-14 rs=100k
.subckt dev d g s b W=1e-6 L=1e-6
{body}
.ends dev
"""


def gf180_models():
    """The folder of gf180mcu's ngspice models (sm141064.ngspice, design.ngspice): $MORVA_GF180, or
    libs.tech/ngspice of a gf180mcu variant under $PDK_ROOT."""
    candidates = [os.environ.get("MORVA_GF180", "")]
    if os.environ.get("PDK_ROOT"):
        candidates += [os.path.join(os.environ["PDK_ROOT"], f"gf180mcu{v}", "libs.tech", "ngspice") for v in "DCBA"]
    for folder in candidates:
        if folder and os.path.isfile(os.path.join(folder, "sm141064.ngspice")):
            return pathlib.Path(folder)
    return None


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=4) as p:
        yield p


def assert_terminal_slopes(lut, folder, lib, model, w, l, vgs, vds, vbs_values, rtol=1e-2):
    """gm, gds and gmbs within `rtol` of ngspice's central differences of -i(vds) at +-1 mV
    (reltol 1e-10, abstol 1e-14) wherever |Id| > 100 nA, with a floor of 1e-3 |Id| per volt where a
    slope crosses zero, and of the same sign wherever the reference lies above that floor; returns
    the worst miss of each."""
    device = f"X1 drain gate source bulk {model} L={l!r} W={w!r}"
    worst = {}
    for b, vbs in enumerate(sorted(vbs_values)):
        ref = dict(zip(("id", "gm", "gds", "gmbs"),
                       ngspice_terminal(folder, lib, None, None, None, vbs, vgs, vds, 1e-3, device=device,
                                        abstol=1e-14)))
        on = np.abs(ref["id"]) > 1e-7
        assert on.any()
        table_id = np.asarray(lut.id).reshape(len(vbs_values), *ref["id"].shape)[b]
        np.testing.assert_allclose(table_id[on], ref["id"][on], rtol=2e-3)
        for name in ("gm", "gds", "gmbs"):
            table = np.asarray(getattr(lut, name)).reshape(len(vbs_values), *ref["id"].shape)[b]
            floor = 1e-3 * np.abs(ref["id"])
            with np.errstate(divide="ignore", invalid="ignore"):  # where Id = 0, unchecked
                miss = np.abs(table - ref[name]) / np.maximum(np.abs(ref[name]), floor)
            worst[name] = max(worst.get(name, 0.0), float(miss[on].max()))
            assert miss[on].max() < rtol, f"{name} at Vbs={vbs}: {miss[on].max():.2e}"
            beyond = on & (np.abs(ref[name]) > floor)
            assert (np.sign(table[beyond]) == np.sign(ref[name][beyond])).all(), f"{name} at Vbs={vbs}"
    return worst


def characterise(pool, lib, kind, w, l, vgs, vds, vbs_values, model="dev", **extra):
    cfg = morva.LutConfig(model_file=str(lib), model_name=model, device_type=kind, subcircuit=True,
                          widths_values=[w], lengths_values=[l], vgs=vgs, vds=vds, vbs_values=vbs_values,
                          op_params=["gmbs"], **extra)
    return pool.generate_lut(cfg, cache=False)


# Series resistors at the drain or the source (the transistor's own slopes were 26 % and 1.3 % off),
# and elements from the drain beside the transistor: a 200 kOhm resistor (slopes made of the
# solver's tolerance over 25 uV: gm of the wrong sign in weak inversion), with diodes to the source
# and from the body, and behind series resistors.
CASES = {
    "drain resistor": ("nmos", "m0 dint g s b nch W={W} L={L}\nrd d dint 200", 1e-6, 1.8e-7),
    "source resistor": ("pmos", "m0 d g sint b pch W={W} L={L}\nrs s sint 50", 1e-6, 1.8e-7),
    "drain-source resistor": ("nmos", "m0 d g s b nch W={W} L={L}\nrds d s 200k", 1e-6, 1e-6),
    "leak resistor and diode": ("nmos", "m0 d g s b nch W={W} L={L}\nrds d s 200k\ndds d s dleak\ndbd b d dj",
                                1e-6, 1e-6),
    "series and leak": ("nmos", "m0 dint g sint b nch W={W} L={L}\nrd d dint 300\nrs s sint 100\nrds d s 200k",
                        4e-6, 1.8e-7),
    # A diode in series, whose drops no resistance follows: the terminal current's own central
    # differences, solved tightly.
    "series diode": ("nmos", "m0 d g sint b nch W={W} L={L}\ndser sint s dj", 1e-6, 1.8e-7),
}


@needs_ngspice
@pytest.mark.parametrize("case", list(CASES))
def test_terminal_slopes_of_wrapped_devices(pool, tmp_path, capfd, case):
    kind, body, w, l = CASES[case]
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPER.format(card=EXAMPLE_CARD, body=body))
    s = 1.0 if kind == "nmos" else -1.0
    vgs, vds, vbs = (0.0, s * 1.8, s * 0.05), (0.0, s * 1.8, s * 0.05), [0.0, -s * 0.4]
    lut = characterise(pool, lib, kind, w, l, vgs, vds, vbs)
    out, err = capfd.readouterr()
    assert err == ""
    assert ("  2 of 2 (W, Vbs, L) blocks: the subcircuit's elements follow no series resistance; gm, gds and "
            "gmbs are central differences of Id, solved tightly\n" in out) == (case == "series diode")
    assert_terminal_slopes(lut, tmp_path, lib, "dev", w, l, vgs, vds, vbs)


@needs_ngspice
@pytest.mark.parametrize("case", ["drain resistor", "source resistor", "series and leak"])
def test_through_reverse_mode(pool, tmp_path, case):
    # Vds through 0 V: the channel runs from the transistor's source node to its drain node.
    kind, body, w, l = CASES[case]
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPER.format(card=EXAMPLE_CARD, body=body))
    s = 1.0 if kind == "nmos" else -1.0
    vgs, vds, vbs = (0.0, s * 1.5, s * 0.1), (-s * 1.2, s * 1.2, s * 0.1), [0.0, -s * 0.3]
    lut = characterise(pool, lib, kind, w, l, vgs, vds, vbs)
    assert_terminal_slopes(lut, tmp_path, lib, "dev", w, l, vgs, vds, vbs)


@needs_ngspice
def test_leak_in_weak_inversion(pool, tmp_path):
    # W = L = 1 um, Vgs 0.2 V, Vds 0.05 V: Id 250 nA, nearly all of it the resistor's; gm, gds and gmbs
    # were -6.75e-6, -1.75e-6 and +6.76e-6 S.
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPER.format(card=EXAMPLE_CARD, body=CASES["drain-source resistor"][1]))
    lut = characterise(pool, lib, "nmos", 1e-6, 1e-6, (0.1, 0.3, 0.1), (0.0, 0.1, 0.05), [0.0])
    at = (0, 0, 0, 1, 1)
    shape = (1, 1, 1, 3, 3)
    gm, gds, gmbs = (np.asarray(getattr(lut, n)).reshape(shape)[at] for n in ("gm", "gds", "gmbs"))
    assert np.asarray(lut.id).reshape(shape)[at] == pytest.approx(2.5e-7, rel=1e-2)
    assert gm == pytest.approx(4.48e-9, rel=1e-2)
    assert gds == pytest.approx(5.00e-6, rel=1e-2)
    assert gmbs == pytest.approx(1.49e-9, rel=2e-2)


@needs_ngspice
@pytest.mark.parametrize("body, element", [
    (CASES["drain resistor"][1], "rd"),
    (CASES["drain-source resistor"][1], "rds"),
    # The element before the transistor in the body.
    ("rd d dint 200\nm0 dint g s b nch W={W} L={L}", "rd"),
])
def test_native_path_hands_wrapped_devices_to_ngspice(pool, tmp_path, capfd, body, element):
    # The evaluator solves the transistor alone: a subcircuit with a resistor beside it goes to
    # ngspice, naming it, and the table is the pool's.
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPER.format(card=EXAMPLE_CARD, body=body))
    grid = dict(vgs=(0.0, 1.8, 0.3), vds=(0.0, 1.8, 0.3), vbs_values=[0.0])
    native = characterise(pool, lib, "nmos", 1e-6, 1.8e-7, use_native_bsim4=True, **grid)
    err = capfd.readouterr().err
    assert (f"  [native] subcircuit 'dev' holds '{element}' beside its transistor, which the evaluator does not "
            "solve\n  [native] falling back to ngspice path\n") in err
    pooled = characterise(pool, lib, "nmos", 1e-6, 1.8e-7, **grid)
    for name in ("id", "gm", "gds", "gmbs"):
        np.testing.assert_array_equal(np.asarray(getattr(native, name)), np.asarray(getattr(pooled, name)))


@needs_ngspice
def test_gf180_salicide_blocked_nmos(pool, tmp_path):
    # The kit's nmos_3p3_sab: salicide-blocked resistors at the drain (its transistor's own slopes were
    # 5.4 % off at Vgs 1.8 V, Vds 0.05 V).
    models = gf180_models()
    if models is None:
        pytest.skip("gf180mcu's ngspice models not found (set MORVA_GF180 or PDK_ROOT)")
    lib = tmp_path / "gf180_typical.lib"
    lib.write_text(f".include {models / 'design.ngspice'}\n.lib {models / 'sm141064.ngspice'} typical\n")
    vgs, vds, vbs = (0.0, 3.3, 0.15), (0.0, 3.3, 0.15), [0.0]
    lut = characterise(pool, lib, "nmos", 1e-5, 2.8e-7, vgs, vds, vbs, model="nmos_3p3_sab")
    assert_terminal_slopes(lut, tmp_path, lib, "nmos_3p3_sab", 1e-5, 2.8e-7, vgs, vds, vbs)
