"""Characterisation through the worker pool of devices whose drain and source reach the channel
through series resistances (rdsmod=1, or rsh with an instance's nrd and nrs): gm, gds and gmbs
against ngspice's own terminal slopes, card by card."""

import re
import shutil
import subprocess

import numpy as np
import pytest

import morva
from conftest import ngspice_terminal, sample_library
from test_characterisation import characterisation_deck

needs_ngspice = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

# A minimal card with bias-independent drain and source resistances, and cards of the shapes kits
# ship: a thin-oxide card with bias-dependent resistances, GIDL, impact ionisation and gate
# tunnelling; a thick-oxide high-voltage card with large drain resistance and strong impact
# ionisation; the diffusion resistances of an instance that gives nrd = nrs = 2, with the
# resistances outside the channel or inside it. Beside them an oxide thin enough for gate currents
# of the size of Id, and body junctions large enough to carry much of the source's current when
# forward biased.
MINIMAL = ".model nch nmos level=54 version=4.8.2 toxe=2e-9 rdsmod=1 rdw=200 rsw=200\n"
THIN = """.model nch nmos level=54 version=4.8.2 toxe=2e-9 toxp=1.8e-9 vth0=0.35 rdsmod=1
+ rdw=150 rsw=120 rdwmin=20 rswmin=15 prwg=0.6 prwb=-0.15 wr=0.95 ngate=1e23 nsd=1e20
+ agidl=1e-9 bgidl=1e9 alpha0=1e-6 beta0=15 igcmod=1 pigcd=2
.model pch pmos level=54 version=4.8.2 toxe=2e-9 toxp=1.8e-9 vth0=-0.38 u0=0.012 rdsmod=1
+ rdw=300 rsw=250 rdwmin=30 prwg=0.8 prwb=0.1 agidl=1e-9 bgidl=1e9 alpha0=1e-6 beta0=15
"""
HIGH_VOLTAGE = """.model nch nmos level=54 version=4.8.2 toxe=12e-9 vth0=0.7 rdsmod=1 rdw=2000 rsw=600
+ rdwmin=200 prwg=0.3 prwb=0.05 alpha0=3e-7 alpha1=0.05 beta0=25 agidl=1e-10
"""
TUNNELLING = """.model nch nmos level=54 version=4.8.2 toxe=1.2e-9 toxp=1.1e-9 vth0=0.35 rdsmod=1
+ rdw=150 rsw=120 rdwmin=20 rswmin=15 prwg=0.6 prwb=-0.15 wr=0.95 igcmod=1 pigcd=2
"""
JUNCTIONS = """.model nch nmos level=54 version=4.8.2 toxe=2e-9 rdsmod=1 rdw=200 rsw=200 jss=1e-3 jsws=1e-9
.subckt nfet d g s b W=1e-6 L=1e-6
m0 d g s b nch W={W} L={L} ad=1e-12 as=1e-12 pd=4e-6 ps=4e-6
.ends nfet
"""
# A subcircuit that puts elements of its own beside the device: a diode from the body to the source
# or to the drain, a resistor from the body to the source or to the drain, or from the gate to the
# drain. What enters at the gate or the body never
# passes the device's source resistance; what the drain diode carries is part of the drain terminal's
# current, and of its slopes.
WRAPPED = """.model nch nmos level=54 version=4.8.2 toxe=2e-9 rdsmod=1 rdw=200 rsw=200
.model dj d is=1e-15
.subckt nfet d g s b W=1e-6 L=1e-6
m0 d g s b nch W={{W}} L={{L}}
{extra}
.ends nfet
"""
SQUARES = """.model nch nmos level=54 version=4.8.2 toxe=2e-9 rdsmod={rdsmod} rdw=100 rsw=100 rsh=40
.subckt nfet d g s b W=1e-6 L=1e-6
m0 d g s b nch W={{W}} L={{L}} nrs=2 nrd=2
.ends nfet
"""


def terminal_reference(folder, lib, device, vbs, vgs, vds, h=1e-4):
    """ngspice's -i(vds) of `device` on the pool path's bench, solved as tightly as ngspice still
    solves internal nodes, with its central differences: (id, gm, gds, gmbs)."""
    return ngspice_terminal(folder, lib, None, None, None, vbs, vgs, vds, h, device=device, abstol=1e-15)


def characterise(pool, lib, model, kind, w, l, vgs, vds, vbs_values, subcircuit=False):
    cfg = morva.LutConfig(model_file=str(lib), model_name=model, device_type=kind, subcircuit=subcircuit,
                          widths_values=[w], lengths_values=[l], vgs=vgs, vds=vds, vbs_values=vbs_values,
                          op_params=["gmbs"])
    return pool.generate_lut(cfg, cache=False)


def assert_terminal_slopes(lut, tmp_path, lib, model, w, l, vgs, vds, vbs_values, subcircuit=False, rtol=2e-3,
                           at_vds_zero=False, but_vds_zero=False):
    """gm, gds and gmbs within `rtol` of ngspice's terminal slopes wherever |Id| > 1 nA (with a
    floor of 1e-3 |Id| per volt where a slope crosses zero), the ends of both axes included (and
    Vds = 0, where the gate's currents alone flow, with `at_vds_zero`; without it with
    `but_vds_zero`)."""
    device = (f"X1 drain gate source bulk {model} L={l!r} W={w!r}" if subcircuit
              else f"M1 drain gate source bulk {model} W={w!r} L={l!r}")
    values = sorted(vbs_values)
    worst, vds_zero = {}, False
    for b, vbs in enumerate(values):
        ref = dict(zip(("id", "gm", "gds", "gmbs"), terminal_reference(tmp_path, lib, device, vbs, vgs, vds)))
        on = np.abs(ref["id"]) > 1e-9
        if but_vds_zero:
            on &= np.abs(np.asarray(lut.vds))[None, :] > 1e-9
        # Both axes' far ends are checked (an axis ending at Vds = 0 has no current there).
        assert (on[:, -1].any() or abs(lut.vds[-1]) < 1e-9) and on[-1, :].any()
        vds_zero = vds_zero or bool(on[:, 0].any())
        for name in ("gm", "gds", "gmbs"):
            table = np.asarray(getattr(lut, name)).reshape(len(values), *ref["id"].shape)[b]
            with np.errstate(divide="ignore", invalid="ignore"):  # where Id = 0, unchecked
                miss = np.abs(table - ref[name]) / np.maximum(np.abs(ref[name]), 1e-3 * np.abs(ref["id"]))
            worst[name] = max(worst.get(name, 0.0), float(miss[on].max()))
            assert miss[on].max() < rtol, f"{name} at Vbs={vbs}: {miss[on].max():.2e}"
    assert vds_zero or not at_vds_zero
    return worst


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=4) as p:
        yield p


@pytest.fixture
def card(tmp_path):
    def write(text, name="card.lib"):
        path = tmp_path / name
        path.write_text(text)
        return path
    return write


# ---- the minimal card --------------------------------------------------------------------------

@needs_ngspice
def test_minimal_card_terminal_slopes(pool, card, tmp_path, capfd):
    lib = card(MINIMAL)
    vgs, vds = (0.0, 1.2, 0.05), (0.0, 1.2, 0.05)
    lut = characterise(pool, lib, "nch", "nmos", 1e-6, 1e-7, vgs, vds, [0.0, -0.3])
    out, err = capfd.readouterr()
    assert "  series resistances: gm, gds and gmbs are the terminal's slopes through them\n" in out
    assert err == ""
    assert_terminal_slopes(lut, tmp_path, lib, "nch", 1e-6, 1e-7, vgs, vds, [0.0, -0.3])
    # Vgs = Vds = 1 V: the channel's own values would be 1.3046e-3 and 3.036e-4.
    at = (1, 20, 20)
    assert np.asarray(lut.gm).reshape(2, 25, 25)[at] == pytest.approx(1.1521e-3, rel=2e-4)
    assert np.asarray(lut.gds).reshape(2, 25, 25)[at] == pytest.approx(2.186e-4, rel=2e-4)


@needs_ngspice
def test_id_stays_what_ngspice_gives(pool, card):
    # The table's rows come from the characterisation deck whatever else it saves.
    lib = card(MINIMAL)
    lut = characterise(pool, lib, "nch", "nmos", 1e-6, 1e-7, (0.0, 1.2, 0.2), (0.0, 1.2, 0.2), [0.0])
    deck = characterisation_deck(lib, "1e-6", "1e-7", "Vds 0.000000e0 1.200000e0 2e-1 Vgs 0.000000e0 1.200000e0 2e-1")
    direct = -np.asarray(pool.run_simulation(deck, ["run"]).vector("vds#branch")).reshape(7, 7)
    np.testing.assert_array_equal(lut.id, direct)


# ---- cards of the shapes kits ship -----------------------------------------------------------------

@needs_ngspice
@pytest.mark.parametrize("kind", ["nmos", "pmos"])
def test_thin_oxide_card(pool, card, tmp_path, kind):
    # Gate tunnelling into the internal nodes: at Vds = 0 the channel carries much of what the
    # gate puts into the source node on to the drain.
    lib = card(THIN)
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.1, s * 0.05), (0.0, s * 1.1, s * 0.05)
    vbs = [0.0, -s * 0.3]
    lut = characterise(pool, lib, model, kind, 1e-5, 5e-7, vgs, vds, vbs)
    assert_terminal_slopes(lut, tmp_path, lib, model, 1e-5, 5e-7, vgs, vds, vbs, at_vds_zero=kind == "nmos")


@needs_ngspice
def test_high_voltage_card(pool, card, tmp_path, capfd):
    # Impact ionisation through a 2 kOhm drain resistance up to 6 V: the substrate current's
    # slopes come from shifted sweeps where it curves.
    lib = card(HIGH_VOLTAGE)
    vgs, vds = (0.0, 5.0, 0.25), (0.0, 6.0, 0.25)
    lut = characterise(pool, lib, "nch", "nmos", 1e-5, 5e-7, vgs, vds, [0.0, -1.0])
    assert re.search(r"^  \d+ slopes from \d+ shifted sweeps", capfd.readouterr().out, re.M)
    assert_terminal_slopes(lut, tmp_path, lib, "nch", 1e-5, 5e-7, vgs, vds, [0.0, -1.0])


@needs_ngspice
@pytest.mark.parametrize("rdsmod", [0, 1])
def test_diffusion_resistances_of_the_instance(pool, card, tmp_path, rdsmod):
    # rsh * nrd and rsh * nrs through the subcircuit wrapper's instance line.
    lib = card(SQUARES.format(rdsmod=rdsmod))
    vgs, vds = (0.0, 1.2, 0.05), (0.0, 1.2, 0.05)
    lut = characterise(pool, lib, "nfet", "nmos", 1e-6, 1e-7, vgs, vds, [0.0, -0.3], subcircuit=True)
    assert_terminal_slopes(lut, tmp_path, lib, "nfet", 1e-6, 1e-7, vgs, vds, [0.0, -0.3], subcircuit=True)


@needs_ngspice
@pytest.mark.parametrize("vgs, vds", [((0.0, 1.2, 0.05), (0.3, 1.2, 0.05)),     # Vds axis starting in conduction
                                      ((0.0, 1.25, 0.25), (0.0, 1.25, 0.25))])  # a coarse grid
def test_axes_of_other_shapes(pool, card, tmp_path, vgs, vds):
    lib = card(MINIMAL)
    lut = characterise(pool, lib, "nch", "nmos", 1e-6, 1e-7, vgs, vds, [0.0])
    assert_terminal_slopes(lut, tmp_path, lib, "nch", 1e-6, 1e-7, vgs, vds, [0.0], rtol=5e-3)


@needs_ngspice
@pytest.mark.parametrize("kind, vds", [("pmos", (-1.1, 0.0, 0.05)), ("pmos", (-1.1, -0.05, 0.05)),
                                       ("nmos", (1.1, 0.0, -0.05))])
def test_vds_axis_from_conduction_towards_zero(pool, card, tmp_path, capfd, kind, vds):
    # Each row starts where the channel conducts: its second point, settled only to ngspice's
    # tolerance, stays out of the fit, which then stands.
    lib = card(THIN)
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs = (0.0, s * 1.1, s * 0.05)
    lut = characterise(pool, lib, model, kind, 1e-5, 5e-7, vgs, vds, [0.0])
    assert capfd.readouterr().err == ""
    assert_terminal_slopes(lut, tmp_path, lib, model, 1e-5, 5e-7, vgs, vds, [0.0])


@needs_ngspice
@pytest.mark.parametrize("kind", ["nmos", "pmos"])
def test_full_featured_sample_cards(pool, tmp_path, samples_dir, kind):
    # The sample cards (gate tunnelling, GIDL, impact ionisation, gate and body resistances) with
    # their drain and source resistances outside the channel.
    lib = sample_library(samples_dir, tmp_path, selectors="", networks=True)
    text = open(lib).read()
    assert text.count("rdsmod  = 0") == 2
    with open(lib, "w") as f:
        f.write(text.replace("rdsmod  = 0", "rdsmod  = 1"))
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.5, s * 0.05), (0.0, s * 1.5, s * 0.05)
    lut = characterise(pool, lib, model, kind, 1e-6, 6e-8, vgs, vds, [0.0, -s * 0.5])
    assert_terminal_slopes(lut, tmp_path, lib, model, 1e-6, 6e-8, vgs, vds, [0.0, -s * 0.5],
                           at_vds_zero=kind == "nmos")


@needs_ngspice
@pytest.mark.parametrize("text", [MINIMAL, THIN], ids=["minimal", "thin"])
@pytest.mark.parametrize("vgs, vds", [((0.0, 1.2, 0.3), (0.6, 0.6, 0.1)),   # one Vds
                                      ((0.9, 0.9, 0.1), (0.0, 1.2, 0.3)),   # one Vgs
                                      ((0.9, 0.9, 0.1), (0.6, 0.6, 0.1)),   # one point
                                      ((0.0, 1.2, 0.3), (0.0, 0.0, 0.1))])  # Vds = 0 alone: gds alone
def test_axes_of_one_point(pool, card, tmp_path, capfd, text, vgs, vds):
    # Too few points for the fit: each pair sweeps a grid of its own over the table's range. The
    # slopes along an axis of one point were differences over no step: 0.
    lib = card(text)
    vbs = [-0.3, 0.0]
    lut = characterise(pool, lib, "nch", "nmos", 1e-6, 1e-7, vgs, vds, vbs)
    out, err = capfd.readouterr()
    assert err == ""
    assert "too few points per block for their fit, so each pair sweeps" in out
    # The reference over one more point along each axis of one point.
    more = lambda r: (r[0], r[0] + 0.1, 0.1) if r[0] == r[1] else r
    n_vgs, n_vds = len(lut.vgs), len(lut.vds)
    for b, v in enumerate(vbs):
        ref = dict(zip(("id", "gm", "gds", "gmbs"), terminal_reference(tmp_path, lib, "M1 drain gate source bulk nch "
                                                                       "W=1e-06 L=1e-07", v, more(vgs), more(vds))))
        ref = {name: values[:n_vgs, :n_vds] for name, values in ref.items()}
        names = ("gm", "gds", "gmbs") if vds[1] != 0.0 else ("gds",)
        on = np.abs(ref["id"]) > 1e-9 if vds[1] != 0.0 else np.abs(ref["gds"]) > 1e-9
        assert on.any()
        for name in names:
            table = np.asarray(getattr(lut, name)).reshape(len(vbs), n_vgs, n_vds)[b]
            with np.errstate(divide="ignore", invalid="ignore"):  # where Id = 0, unchecked
                miss = np.abs(table - ref[name]) / np.maximum(np.abs(ref[name]), 1e-3 * np.abs(ref["id"]))
            assert miss[on].max() < 2e-3, f"{name} at Vbs={v}: {miss[on].max():.2e}"


# ---- sampling, junctions, reverse mode ---------------------------------------------------------

@needs_ngspice
@pytest.mark.parametrize("text, vds, rtol", [
    (THIN, (0.0, 1.2, 0.6), 2e-3),
    # Steps of 0.4 V leave ngspice's own points settled only to its tolerance (Id up to 6e-4 off).
    (MINIMAL, (0.0, 1.2, 0.4), 1e-2),
], ids=["thin", "minimal"])
def test_many_vgs_points_and_a_short_vds_axis(pool, card, tmp_path, capfd, text, vds, rtol):
    # 1201 rows of two or three Vds points: the fit's samples come from every column, not from the
    # one a stride over the rows keeps landing on.
    lib = card(text)
    vgs = (0.0, 1.2, 0.001)
    lut = characterise(pool, lib, "nch", "nmos", 1e-6, 1e-7, vgs, vds, [0.0])
    assert capfd.readouterr().err == ""
    assert_terminal_slopes(lut, tmp_path, lib, "nch", 1e-6, 1e-7, vgs, vds, [0.0], rtol=rtol)


@needs_ngspice
def test_forward_biased_body_junction(pool, card, tmp_path, capfd):
    # Junction currents leave through the source resistance too: with the body junctions forward
    # biased they are much of what it carries.
    lib = card(JUNCTIONS)
    vgs, vds, vbs = (0.0, 1.2, 0.05), (0.0, 1.2, 0.05), [0.0, 0.3, 0.55]
    lut = characterise(pool, lib, "nfet", "nmos", 1e-6, 1e-7, vgs, vds, vbs, subcircuit=True)
    assert capfd.readouterr().err == ""
    assert_terminal_slopes(lut, tmp_path, lib, "nfet", 1e-6, 1e-7, vgs, vds, vbs, subcircuit=True)


@needs_ngspice
@pytest.mark.parametrize("kind, vds", [
    ("nmos", (-1.1, 1.1, 0.05)),   # through Vds = 0
    ("pmos", (1.1, -1.1, -0.05)),
    ("nmos", (-1.1, -0.05, 0.05)),  # reverse mode alone
])
def test_reverse_mode(pool, card, tmp_path, capfd, kind, vds):
    # The channel runs from the internal source node to the internal drain node: the same
    # resistances, the channel's values for the swapped terminals, and the substrate current where
    # the channel then ends.
    lib = card(THIN)
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vbs = (0.0, s * 1.1, s * 0.05), [0.0, -s * 0.3]
    lut = characterise(pool, lib, model, kind, 1e-5, 5e-7, vgs, vds, vbs)
    assert capfd.readouterr().err == ""
    assert_terminal_slopes(lut, tmp_path, lib, model, 1e-5, 5e-7, vgs, vds, vbs)


@needs_ngspice
def test_reverse_mode_with_strong_gate_tunnelling(pool, card, tmp_path, capfd):
    # 1.2 nm of oxide: the gate's current into the channel is much of Id at low Vds, and in reverse
    # mode the simulator gives the channel's source (the internal drain node) its larger share.
    # At Vds = 0 that share changes ends with the sign of the internal Vds: Id has a kink there, and
    # no one slope.
    lib = card(TUNNELLING)
    vgs, vds, vbs = (0.0, 1.1, 0.05), (0.0, -1.1, -0.05), [0.0, -0.3]
    lut = characterise(pool, lib, "nch", "nmos", 1e-5, 1e-6, vgs, vds, vbs)
    assert capfd.readouterr().err == ""
    assert_terminal_slopes(lut, tmp_path, lib, "nch", 1e-5, 1e-6, vgs, vds, vbs, but_vds_zero=True)


@needs_ngspice
def test_reverse_mode_with_diffusion_resistances(pool, card, tmp_path):
    lib = card(SQUARES.format(rdsmod=1))
    vgs, vds = (0.0, 1.2, 0.05), (-1.2, 1.2, 0.05)
    lut = characterise(pool, lib, "nfet", "nmos", 1e-6, 1e-7, vgs, vds, [0.0, -0.3], subcircuit=True)
    assert_terminal_slopes(lut, tmp_path, lib, "nfet", 1e-6, 1e-7, vgs, vds, [0.0, -0.3], subcircuit=True)


@needs_ngspice
@pytest.mark.parametrize("extra, vbs, swept", [
    ("dbs b s dj", [0.0, 0.3, 0.6], False),
    ("rbs b s 20k", [0.0, -0.3, -0.6], False),
    ("dbd b d dj", [0.0, 0.6], True),
    ("rbd b d 1meg\ndbd b d dj", [-0.3, 0.6], True),
    ("rgd g d 100k", [0.0, -0.3], True),
], ids=["source diode", "body resistor", "drain diode", "drain resistor and diode", "gate-drain resistor"])
def test_elements_of_the_wrapper_beside_the_device(pool, card, tmp_path, capfd, extra, vbs, swept):
    # The resistances' samples come from the device's own currents, whatever else the wrapper
    # carries; what it carries at the drain is swept with the device switched off.
    lib = card(WRAPPED.format(extra=extra))
    vgs, vds = (0.0, 1.2, 0.05), (0.0, 1.2, 0.05)
    lut = characterise(pool, lib, "nfet", "nmos", 1e-6, 1e-7, vgs, vds, vbs, subcircuit=True)
    out, err = capfd.readouterr()
    assert err == ""
    assert ("carries at the drain beside the device: slopes from 1 request(s)" in out) == swept
    assert_terminal_slopes(lut, tmp_path, lib, "nfet", 1e-6, 1e-7, vgs, vds, vbs, subcircuit=True)
