"""Native characterisation (use_native_bsim4) against the pool path on the same
cards, its progress and diagnostic lines, its fallbacks, and its threads."""

import pathlib
import re
import shutil
import subprocess
import threading

import numpy as np
import pytest

import morva
from conftest import build_kit, ngspice_terminal, sample_library
from test_characterisation import main_config
from test_dc_solver import CARD_VALUES, TAKEN_AS_ZERO, card_with_vth0

CARDS = """* BSIM4 cards, 180 nm-like
.model nch nmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.035 ua=-1e-9 ub=2.3e-18 uc=5e-11
+ vsat=8.5e4 rdsw=150 nfactor=1.2 pclm=1.3
.model pch pmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=-0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.009 ua=1e-9 ub=1e-18 uc=-5e-11
+ vsat=7.5e4 rdsw=400 nfactor=1.2 pclm=1.0
.model nres nmos level=54 version=4.8 rdsmod=1 rdswmin=100 rdw=200 rsw=200 vth0=0.42 u0=0.035
.model bad nmos level=54 version=4.8 toxe=-1
"""

LEVEL3 = ".model n3 nmos level=3 vto=0.7 kp=1e-4\n"

# Every generation runs on a pool, whose workers need ngspice.
pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")


@pytest.fixture(scope="module")
def cards(tmp_path_factory):
    folder = tmp_path_factory.mktemp("native")
    for name, text in (("cards.lib", CARDS), ("level3.lib", LEVEL3)):
        (folder / name).write_text(text)
    return str(folder / "cards.lib")


@pytest.fixture(scope="module")
def level3(cards):
    return cards.replace("cards.lib", "level3.lib")


@pytest.fixture(scope="module")
def pool():
    # Native generations run beside the pool; its workers serve the pool path.
    with morva.SimulationPool(workers=4) as workers:
        yield workers


def config(cards, native=True, **overrides):
    """The pool path's main check configuration (2 W x 2 Vbs x 2 L x 31 x 31)."""
    overrides.setdefault("op_params", ["VTH", "cgg", "gmbs"])
    return main_config(cards, use_native_bsim4=native, **overrides)


def assert_tables_agree(native, pooled, names, rtol=1e-3, atol=1e-11):
    assert native.shape == pooled.shape
    for name in names:
        np.testing.assert_allclose(getattr(native, name), getattr(pooled, name), rtol=rtol, atol=atol,
                                   err_msg=name)


# ---- native against the pool -------------------------------------------------------

CGG_DROPPED = ("  warning: the native evaluator cannot compute OP parameter(s) 'cgg' — absent from the LUT "
               "(computed: gmbs, vth, vdsat)\n")


def test_nmos_table_agrees_with_the_pool(pool, cards, capfd):
    native = pool.generate_lut(config(cards), cache=False)
    out, err = capfd.readouterr()
    pooled = pool.generate_lut(config(cards, native=False), cache=False)
    capfd.readouterr()

    assert native.shape == (2, 2, 2, 31, 31)
    assert native.extracted_op_params == ["gmbs", "vth"]
    assert native.cgg.shape == (2, 2, 2, 0, 0)
    assert pooled.extracted_op_params == ["cgg", "gmbs", "vth"]
    np.testing.assert_array_equal(native.vgs, pooled.vgs)
    np.testing.assert_array_equal(native.lengths, pooled.lengths)
    # The pool's Id also carries the junctions' and gmin's leakage.
    assert_tables_agree(native, pooled, ["id", "gmbs", "vth"])
    assert native.id[0, 1, 0, 0, 0] == 0.0 and abs(pooled.id[0, 1, 0, 0, 0]) < 1e-11

    lines = out.splitlines()
    assert lines[0] == (f"  [native BSIM4] 2 W × 2 Vbs × 2 L × 31 Vgs × 31 Vds = 7688 points  "
                        f"(model: {cards}  bins: [nch])")
    assert re.fullmatch(r"  \[native BSIM4\] 7688 points in \d+\.\d ms  \(\d+ Mpts/s\)", lines[1])
    assert len(lines) == 2 and err == CGG_DROPPED


def test_pmos_table_agrees_with_the_pool(pool, cards):
    kw = dict(device_type="pmos", model_name="pch", widths_values=[2e-6], vbs_values=[0.0, 0.5],
              vgs=(0.0, -1.5, -0.05), vds=(0.0, -1.5, -0.05), op_params=["vth", "gmbs"])
    native = pool.generate_lut(config(cards, **kw), cache=False)
    pooled = pool.generate_lut(config(cards, native=False, **kw), cache=False)
    assert native.shape == (1, 2, 2, 31, 31)
    assert_tables_agree(native, pooled, ["id", "gmbs", "vth"])
    assert np.all(native.id[:, :, :, 20:, 10:] < 0)


def test_dc_solver_against_direct_evaluation_and_the_pool(pool, cards):
    small = dict(widths_values=[1e-6], vbs_values=[-0.5, 0.0], vgs=(0.0, 1.5, 0.1), vds=(0.0, 1.5, 0.1),
                 op_params=["gmbs", "vth", "vdsat"])
    direct = pool.generate_lut(config(cards, **small), cache=False)
    solved = pool.generate_lut(config(cards, use_dc_solver=True, **small), cache=False)
    for name in ["id", "gm", "gds", "gmbs", "vth", "vdsat"]:
        np.testing.assert_allclose(getattr(solved, name), getattr(direct, name), rtol=1e-9, atol=1e-18)

    # Series resistances: the solver's operating point against ngspice's,
    # whose Newton stops within its default reltol (1e-3) of the internal
    # node voltages; what remains is a few 1e-5 of the current.
    res = dict(small, model_name="nres", op_params=["vth"])
    solved = pool.generate_lut(config(cards, use_dc_solver=True, **res), cache=False)
    pooled = pool.generate_lut(config(cards, native=False, **res), cache=False)
    assert_tables_agree(solved, pooled, ["id", "vth"], rtol=1e-4, atol=1e-11)


# ---- what the native path says, and when the pool takes over ---------------------


def test_cards_the_native_path_cannot_use_fall_back_to_the_pool(pool, cards, level3, capfd):
    small = dict(widths_values=[1e-6], lengths_values=[1e-6], vbs_values=[0.0], vgs=(0.0, 1.5, 0.5),
                 vds=(0.0, 1.5, 0.5), op_params=[])
    lut = pool.generate_lut(config(level3, model_name="n3", **small), cache=False)
    out, err = capfd.readouterr()
    assert err == (f"  [native] no BSIM4 model cards found in {level3}\n"
                   "  [native] falling back to ngspice path\n")
    assert out.startswith("  1 W × 1 Vbs × 1 L × 4 Vgs × 4 Vds  → 1 tasks")
    assert lut.id.shape == (4, 4) and lut.id[3, 3] > 1e-5

    # A section the file lacks is the user's to mend: refused before either
    # path starts.
    with pytest.raises(ValueError, match=rf"^section '\.LIB ff' not found in {re.escape(cards)}$"):
        pool.generate_lut(config(cards, model_section="ff", **small), cache=False)
    assert capfd.readouterr() == ("", "")


def test_messages_of_the_native_path(pool, cards, tmp_path, capfd, monkeypatch):
    small = dict(widths_values=[1e-6], lengths_values=[1e-6], vbs_values=[0.0], vgs=(0.0, 1.0, 0.5),
                 vds=(0.0, 1.0, 0.5))
    monkeypatch.setenv("MORVA_DUMP_NATIVE_PARAMS", "1")
    lut = pool.generate_lut(config(cards, subcircuit_name="nfet", **small), cache=False)
    monkeypatch.delenv("MORVA_DUMP_NATIVE_PARAMS")
    out, err = capfd.readouterr()
    assert lut.id.shape == (3, 3)
    dump = err.splitlines()
    assert dump[0] == "  [native] === Parameters for bin 'nch' ==="
    assert dump[1:4] == ["    vth0       = 4.200000e-1", "    nfactor    = 1.200000e0", "    voff       = (default)"]
    assert dump[30] == "  [native] === End parameters ==="
    assert dump[31:] == [CGG_DROPPED.rstrip("\n"), "  [native] subcircuit 'nfet' not found in model file"]
    assert "falling back" not in err and "points in" in out

    # A card whose instance cannot be built fails the generation, naming the
    # check that failed as ngspice does ("Fatal: Toxe = -1 is not positive."):
    # no fallback.
    failed = "instance_create failed W=1.000e-6 L=1.000e-6: Toxe = -1 is not positive"
    with pytest.raises(RuntimeError, match=rf"^simulation failed: {re.escape(failed)}$"):
        pool.generate_lut(config(cards, model_name="bad", **small), cache=False)
    out, err = capfd.readouterr()
    assert err.endswith(f"  [native] task error: {failed}\n")
    assert "falling back" not in err and "points in" not in out

    # A model file that cannot be read: refused before either path starts.
    missing = str(tmp_path / "missing.lib")
    with pytest.raises(FileNotFoundError):
        pool.generate_lut(config(missing, **small), cache=False)
    assert capfd.readouterr() == ("", "")


# ---- a design kit: the card ngspice would take, or its refusal ---------------------


def ngspice_op_id(folder, corner, w, l, vgs, vds):
    """ngspice's @m1[id] of an nch device of the kit at one bias point."""
    (folder / "op.cir").write_text(f"op\n.lib 'kit.lib' {corner}\nm1 d g 0 0 nch w={w} l={l}\n"
                                   f"vd d 0 {vds}\nvg g 0 {vgs}\n.control\nset numdgt=17\nop\nprint @m1[id]\n.endc\n.end\n")
    run = subprocess.run(["ngspice", "-b", "op.cir"], cwd=folder, capture_output=True, text=True, timeout=60)
    found = re.search(r"@m1\[id\] = (\S+)", run.stdout)
    return float(found.group(1)) if found else run.stdout + run.stderr


@pytest.mark.parametrize("scale", [False, True])
def test_kit_cards_as_ngspice_chooses_them(pool, tmp_path, scale):
    kit = build_kit(tmp_path, scale)
    um = 1.0 if scale else 1e-6  # the kit's unit of length
    # The corner's own parameters and bin (the last corner's would shift vth0).
    for corner, w, l in (("ss", 10, 0.28), ("ff", 2, 1.0)):
        solver = morva.DcSolver(str(kit), "nch", w=w * um, l=l * um, model_section=corner)
        assert solver.solve(vg=1.0, vd=0.9, vs=0.0, vb=0.0).ids == pytest.approx(
            ngspice_op_id(tmp_path, corner, w * um, l * um, 1.0, 0.9), rel=1e-9)
    # Both paths give one configuration one table; the subcircuit's name
    # picks the card inside it.
    kw = dict(model_section="ss", widths_values=[10 * um], lengths_values=[0.28 * um, 1.0 * um],
              vbs_values=[0.0], vgs=(0.0, 1.2, 0.1), vds=(0.0, 1.2, 0.1), op_params=[])
    pooled = pool.generate_lut(config(str(kit), native=False, **kw), cache=False)
    for name in ("nch", "nch_mac"):
        assert_tables_agree(pool.generate_lut(config(str(kit), model_name=name, **kw), cache=False), pooled, ["id"])

    # What ngspice refuses is refused, with the reason: on both paths before anything runs.
    outside = f"could not find a valid modelname"
    assert outside in str(ngspice_op_id(tmp_path, "tt", 0.15 * um, 60 * um, 1.0, 0.9))
    bins = re.escape("; its bins (L and W in m): nch.1 L 1.8e-7..5e-7 W 2.2e-7..5e-5; nch.2 L 5e-7..5e-5 W "
                     "2.2e-7..5e-5")
    size = "W = 1.5e-1, L = 6e1, made W = 1.5e-7 m, L = 6e-5 m by the kit's .option scale = 1e-6" if scale \
        else "W = 1.5e-7 m, L = 6e-5 m"
    refusals = [
        (dict(model_name="nch", widths_values=[0.15 * um], lengths_values=[60 * um]), ValueError,
         f"^no bin of model 'nch' in '{re.escape(str(kit))}' holds {re.escape(size)}{bins}$"),
        (dict(model_name="pch"), RuntimeError, "model 'pch' is pmos \\(card 'pch'\\), not nmos"),
        # A model name the file lacks.
        (dict(model_name="nhc"), ValueError, f"^model 'nhc' not found in '{re.escape(str(kit))}'$"),
    ]
    for overrides, error, message in refusals:
        for native in (True, False):
            with pytest.raises(error, match=message):
                pool.generate_lut(config(str(kit), native=native, **dict(kw, **overrides)), cache=False)
    # DcSolver's refusal is the same text, as a RuntimeError.
    with pytest.raises(RuntimeError, match=f"^no bin of model 'nch' in '{re.escape(str(kit))}' holds "
                                           f"{re.escape(size)}{bins}$"):
        morva.DcSolver(str(kit), "nch", w=0.15 * um, l=60 * um, model_section="tt")
    with pytest.raises(RuntimeError, match=r"^model 'pch' is pmos \(card 'pch'\), not nmos$"):
        morva.DcSolver(str(kit), "pch", device_type="nmos", model_section="tt")


def test_statistical_corner_takes_nominal_values(pool, tmp_path):
    """Monte-Carlo parameters reached through a chain of parameters take their
    nominal value on the native paths, whatever their variation: that of
    ngspice with no variation."""
    kit = build_kit(tmp_path)
    w, l = 10e-6, 0.28e-6
    kw = dict(model_section="mc", widths_values=[w], lengths_values=[l, 1e-6], vbs_values=[0.0],
              vgs=(0.0, 1.2, 0.1), vds=(0.0, 1.2, 0.1), op_params=[])
    pooled = pool.generate_lut(config(str(kit), native=False, **kw), cache=False)
    reference = ngspice_op_id(tmp_path, "mc", w, l, 1.0, 0.9)
    typical = morva.DcSolver(str(kit), "nch", w=w, l=l, model_section="tt").solve(vg=1.0, vd=0.9).ids
    kit.write_text(kit.read_text().replace("mc_var = 0", "mc_var = 1"))
    assert_tables_agree(pool.generate_lut(config(str(kit), **kw), cache=False), pooled, ["id"])
    nominal = morva.DcSolver(str(kit), "nch", w=w, l=l, model_section="mc").solve(vg=1.0, vd=0.9).ids
    assert nominal == pytest.approx(reference, rel=1e-9)
    assert abs(nominal / typical - 1) > 0.01  # the thicker nominal oxide is taken


def test_card_values_nothing_can_evaluate_are_refused(tmp_path):
    (tmp_path / "bad.lib").write_text(".model nch nmos level=54 vth0='vt_typ + 0.1' u0=agauss(0.03, 0.001, 3)\n")
    with pytest.raises(RuntimeError, match=r"^model 'nch': cannot evaluate vth0 = 'vt_typ \+ 0\.1'$"):
        morva.DcSolver(str(tmp_path / "bad.lib"), "nch")


@pytest.mark.parametrize("value, ngspice_says, message",
                         CARD_VALUES + [(value, None, message) for value, message in TAKEN_AS_ZERO])
def test_card_values_as_ngspice_takes_them(pool, tmp_path, value, ngspice_says, message):
    """A card value ngspice refuses is refused before any point is evaluated;
    one it takes gives the pool path's table."""
    path = tmp_path / "card.lib"
    path.write_text(card_with_vth0(value))
    kw = dict(widths_values=[1e-6], lengths_values=[1.8e-7, 5e-7], vbs_values=[0.0], vgs=(0.0, 1.2, 0.1),
              vds=(0.0, 1.2, 0.1), op_params=["vth"])
    if message is None:
        assert_tables_agree(pool.generate_lut(config(str(path), **kw), cache=False),
                            pool.generate_lut(config(str(path), native=False, **kw), cache=False), ["id", "vth"])
        return
    with pytest.raises(RuntimeError, match=f"^simulation failed: model 'nch': {re.escape(message)}$"):
        pool.generate_lut(config(str(path), **kw), cache=False)
    if ngspice_says is not None:  # ngspice refuses it on the pool path too
        with pytest.raises(RuntimeError):
            pool.generate_lut(config(str(path), native=False, **kw), cache=False)


# ---- threads ----------------------------------------------------------------------


def test_dc_solver_sweep_beside_a_native_generation(pool, cards):
    solver = morva.DcSolver(cards, "nch", w=1e-6, l=1.8e-7)
    cfg = config(cards, widths_values=[1e-6, 2e-6, 4e-6], lengths_values=[1.8e-7, 3e-7, 5e-7, 1e-6],
                 vgs=(0.0, 1.5, 0.02), vds=(0.0, 1.5, 0.02), op_params=["vth", "gmbs", "vdsat"])

    def sweep():
        return [r.ids for r in solver.sweep("vgs", 0.0, 1.5, 0.005, vd=0.9, vb=-0.2)]

    solo_sweep = sweep()
    solo_table = pool.generate_lut(cfg, cache=False)

    beside, started, done = [], threading.Event(), threading.Event()

    def sweep_until_done():
        started.set()
        while not done.is_set() or not beside:
            beside.append(sweep())

    thread = threading.Thread(target=sweep_until_done)
    thread.start()
    started.wait()
    try:
        table = pool.generate_lut(cfg, cache=False)
    finally:
        done.set()
        thread.join()
    assert beside and all(s == solo_sweep for s in beside)
    for name in ["id", "gm", "gds", "vth", "gmbs", "vdsat"]:
        np.testing.assert_array_equal(getattr(table, name), getattr(solo_table, name))


# ---- the drain terminal's current: impact ionisation, GIDL, exact slopes ----------


@pytest.mark.parametrize("kind", ["nmos", "pmos"])
def test_sample_cards_with_impact_ionisation_and_gidl_agree_with_ngspice(pool, samples_dir, tmp_path, kind):
    lib = sample_library(samples_dir, tmp_path)
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.2, s * 0.05), (0.0, s * 1.2, s * 0.05)
    widths, lengths, vbs_values = [1e-6], [0.06e-6, 0.24e-6], [s * -0.2, 0.0]
    table = pool.generate_lut(
        morva.LutConfig(model_file=lib, model_name=model, device_type=kind, widths_values=widths,
                        lengths_values=lengths, vgs=vgs, vds=vds, vbs_values=vbs_values, op_params=[],
                        use_native_bsim4=True),
        cache=False)
    for li, l in enumerate(table.lengths):
        for bi, vbs in enumerate(table.vbs_values):
            ref_id, ref_gm, ref_gds, _ = ngspice_terminal(tmp_path, lib, model, widths[0], float(l), float(vbs),
                                                          vgs, vds)
            id_, gm, gds = (getattr(table, q)[0, bi, li] for q in ("id", "gm", "gds"))
            np.testing.assert_allclose(id_, ref_id, rtol=1e-3, atol=1e-11)
            on = np.abs(ref_id) > 100e-9
            on[:, 0] = False  # Vds = 0: the slope changes sides with the channel's orientation
            np.testing.assert_allclose(gm[on], ref_gm[on], rtol=0.02)
            np.testing.assert_allclose(gds[on], ref_gds[on], rtol=0.02)


def test_example_card_slopes_are_exact_at_any_step(pool, tmp_path):
    """gm/Id, gds/Id, gmbs/Id of the native table within 1 % of ngspice's slopes at coarse and
    fine steps, wherever |Id| > 1 nA, with impact ionisation and GIDL added to the example card."""
    text = (pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib").read_text()
    text = text.replace("alpha0=1e-7 beta0=30 agidl=0", "alpha0=1e-5 beta0=20 agidl=1e-9")
    lib = tmp_path / "example.lib"
    lib.write_text(text)
    for kind, model, s in (("nmos", "nch", 1.0), ("pmos", "pch", -1.0)):
        for step in (0.1, 0.05, 0.01):
            vgs, vds = (0.0, s * 0.6, s * step), (s * 0.5, s * 1.0, s * 2 * step)
            table = pool.generate_lut(
                morva.LutConfig(model_file=str(lib), model_name=model, device_type=kind,
                                widths_values=[2e-6], lengths_values=[0.18e-6], vgs=vgs, vds=vds,
                                vbs_values=[0.0], op_params=["gmbs"], use_native_bsim4=True),
                cache=False)
            ref_id, ref_gm, ref_gds, ref_gmbs = ngspice_terminal(tmp_path, lib, model, 2e-6, 0.18e-6, 0.0,
                                                                 vgs, vds)
            id_, gm, gds, gmbs = (getattr(table, q).reshape(ref_id.shape) for q in ("id", "gm", "gds", "gmbs"))
            on = np.abs(ref_id) > 1e-9
            assert on.sum() >= 3
            np.testing.assert_allclose(id_[on], ref_id[on], rtol=1e-6)
            for got, ref in ((gm, ref_gm), (gds, ref_gds)):
                np.testing.assert_allclose((got / id_)[on], (ref / ref_id)[on], rtol=0.01, err_msg=f"{kind} {step}")
            np.testing.assert_allclose((gmbs / id_)[on], (ref_gmbs / ref_id)[on], rtol=0.01,
                                       err_msg=f"{kind} {step}")


@pytest.mark.parametrize("kind", ["nmos", "pmos"])
@pytest.mark.parametrize("selectors, drop", [("igcmod=1 igbmod=1", ()), ("igcmod=2 igbmod=1", ()),
                                             ("igcmod=2 igbmod=1", ("pigcd",))],
                         ids=["igcmod1", "igcmod2", "igcmod2-pigcd-free"])
def test_sample_cards_with_gate_tunnelling_agree_with_the_pool(pool, samples_dir, tmp_path, kind, selectors, drop):
    """What the gate tunnels into the drain is in the native Id as in the pool's -i(vds), weak
    inversion included; gm/Id and gds/Id are within 1 % of ngspice's slopes wherever |Id| > 1 nA,
    and so are the pool's (where the overlap current is most of Id, near Vgs = 0 at high Vds, its
    differences over the grid were off by up to a factor of 2)."""
    lib = sample_library(samples_dir, tmp_path, selectors, drop)
    s = 1.0 if kind == "nmos" else -1.0
    model, vgs, vds = ("nch" if kind == "nmos" else "pch"), (0.0, s * 1.2, s * 0.05), (0.0, s * 1.2, s * 0.05)
    kw = dict(model_file=lib, model_name=model, device_type=kind, widths_values=[1e-6],
              lengths_values=[0.06e-6, 0.24e-6], vbs_values=[s * -0.2, 0.0], vgs=vgs, vds=vds, op_params=[])
    native = pool.generate_lut(morva.LutConfig(use_native_bsim4=True, **kw), cache=False)
    pooled = pool.generate_lut(morva.LutConfig(**kw), cache=False)
    np.testing.assert_allclose(native.id, pooled.id, rtol=1e-3, atol=1e-12)
    checked = 0
    for li, l in enumerate(native.lengths):
        for bi, vbs in enumerate(native.vbs_values):
            # Fine steps: where Pigcd runs away (igcmod=2 without pigcd) Id bends sharply.
            ref_id, ref_gm, ref_gds, _ = ngspice_terminal(tmp_path, lib, model, 1e-6, float(l), float(vbs), vgs, vds,
                                                          h=1e-5)
            id_ = native.id[0, bi, li]
            on = np.abs(ref_id) > 1e-9
            on[:, 0] = False  # Vds = 0: the slope changes sides with the channel's orientation
            checked += on.sum()
            for name, ref in (("gm", ref_gm), ("gds", ref_gds)):
                got = getattr(native, name)[0, bi, li]
                np.testing.assert_allclose(got[on] / id_[on], ref[on] / ref_id[on], rtol=0.01, err_msg=name)
                if drop:
                    continue  # Pigcd runs away to amps: the pool's 25 uV differences are up to 8 % off
                # gm/Id near a zero of gm: 1 % of it, or a hundredth of 1/V.
                pooled_g = getattr(pooled, name)[0, bi, li][on] / pooled.id[0, bi, li][on]
                np.testing.assert_allclose(pooled_g, got[on] / id_[on], rtol=0.01, atol=0.01, err_msg=name)
    assert checked > 1000


# ---- a transistor wrapped in a subcircuit: its device line's instance parameters ----------

# Cards with well-proximity and stress terms (without ku0 and ku0we, whose mobility factors
# ngspice drops), each wrapped as a kit wraps its devices: literal values on the device line,
# values of the subcircuit's parameters, of its body's .param lines and of the kit's, and the
# W and L the X line passes. The rsh card gives diffusion resistances through nrs and nrd.
WRAPPED = """* wrapped devices
.param kit_dvth = 0.01
.model nwp nmos level=54 version=4.8.2 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.035 ua=-1e-9 ub=2.3e-18 uc=5e-11
+ vsat=8.5e4 rdsw=150 nfactor=1.2 pclm=1.3
+ wpemod=1 kvth0we=0.02 k2we=0.01 scref=1e-6 web=10 wec=20 kvth0=5e-8 saref=1e-6 sbref=1e-6
.model pwp pmos level=54 version=4.8.2 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=-0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.009 ua=1e-9 ub=1e-18 uc=-5e-11
+ vsat=7.5e4 rdsw=400 nfactor=1.2 pclm=1.0
+ wpemod=1 kvth0we=0.02 k2we=0.01 scref=1e-6 web=10 wec=20 kvth0=5e-8 saref=1e-6 sbref=1e-6
.model nrsh nmos level=54 version=4.8.2 vth0=0.42 u0=0.035 rsh=5
"""
for _kind in ("n", "p"):
    WRAPPED += f"""\
.subckt {_kind}wpe d g s b W=1u L=0.18u
m0 d g s b {_kind}wp w={{W}} l={{L}} sca=5
.ends
.subckt {_kind}dvt d g s b W=1u L=0.18u
m0 d g s b {_kind}wp w={{W}} l={{L}} delvto=0.1
.ends
.subckt {_kind}fingers d g s b W=1u L=0.18u
m0 d g s b {_kind}wp w={{W}} l={{L}} nf=2 sca=1
.ends
.subckt {_kind}mixed d g s b W=1u L=0.18u sa=0.3u dv=0.02 mul=1.1 fingers=3
.param sb_far = 'sa * 2'
m0 d g s b {_kind}wp w={{W}} l={{L - 0.01u}} sa={{sa}} sb=sb_far sd=0.2u delvto={{dv + kit_dvth}} sca = 2 scb=0.1
+ mulu0={{mul}} nf=fingers m=2 ad=1p as={{W * 0.5u}} pd=3u ps='W * 3'
.ends
"""
WRAPPED += """\
.subckt ndiff d g s b W=1u L=0.18u
m0 d g s b nrsh w={W} l={L} nrs=2 nrd=2
.ends
"""


@pytest.mark.parametrize("kind", ["nmos", "pmos"])
def test_device_line_inside_a_subcircuit_agrees_with_ngspice(pool, tmp_path, capfd, kind):
    """Native Id within 1e-6 of ngspice's tightly solved -i(vds) of the pool path's X line, for
    each wrapper of the card; what the device line gives takes effect (the card alone is 5 % or
    more away), and the evaluator's note that no well-proximity value is given comes only where
    none is."""
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPED)
    s = 1.0 if kind == "nmos" else -1.0
    vgs, vds = (0.0, s * 1.2, s * 0.1), (0.0, s * 1.2, s * 0.1)
    kw = dict(model_file=str(lib), device_type=kind, widths_values=[1e-6, 2e-6], lengths_values=[0.18e-6],
              vbs_values=[s * -0.3, 0.0], vgs=vgs, vds=vds, op_params=[], use_native_bsim4=True)
    plain = pool.generate_lut(morva.LutConfig(model_name=f"{kind[0]}wp", **kw), cache=False)
    capfd.readouterr()
    for wrapper in ("wpe", "dvt", "fingers", "mixed"):
        name = f"{kind[0]}{wrapper}"
        table = pool.generate_lut(morva.LutConfig(model_name=name, subcircuit=True, **kw), cache=False)
        _, err = capfd.readouterr()
        no_wpe = "Warning: No WPE as none of SCA, SCB, SCC, SC is given and/or SC not positive.\n"
        if wrapper == "dvt":  # as ngspice says too
            err = err.replace(no_wpe, "")
        assert err == f"  [native] '{name}' is a subcircuit (inner model: '{kind[0]}wp')\n"
        on = np.abs(table.id) > 1e-9
        assert np.max(np.abs(table.id[on] / plain.id[on] - 1)) > 0.05, name
        for wi, w in enumerate(table.widths):
            for bi, vbs in enumerate(table.vbs_values):
                folder = tmp_path / f"{name}{wi}{bi}"
                folder.mkdir()
                ref = ngspice_terminal(folder, lib, name, float(w), 0.18e-6, float(vbs), vgs, vds, subcircuit=True)[0]
                np.testing.assert_allclose(table.id[wi, bi, 0], ref, rtol=1e-6, atol=1e-15, err_msg=name)


@pytest.mark.parametrize("inner", ["nb", "ng", "nd", "ns", "nmod"])
@pytest.mark.parametrize("body", [False, True])
def test_inner_models_named_like_a_node_are_read_natively(pool, tmp_path, capfd, inner, body):
    """ngspice reads a MOSFET line's model after its four nodes: a model named like a short node
    name ("nb" beside nodes d g s b) is read natively too, rather than falling back, whether a
    card of the kit or of the body."""
    card = CARDS.split(".model pch")[0].replace(".model nch ", f".model {inner} ")
    wrapper = f".subckt wrap d g s b W=1u L=0.18u\nm0 d g s b {inner} w={{W}} l={{L}}\n"
    lib = tmp_path / "named.lib"
    lib.write_text(wrapper + card + ".ends\n" if body else card + wrapper + ".ends\n")
    vgs = vds = (0.0, 1.2, 0.1)
    table = pool.generate_lut(
        morva.LutConfig(model_file=str(lib), model_name="wrap", subcircuit=True, widths_values=[1e-6],
                        lengths_values=[0.18e-6], vbs_values=[0.0], vgs=vgs, vds=vds, op_params=[],
                        use_native_bsim4=True), cache=False)
    _, err = capfd.readouterr()
    assert err == f"  [native] 'wrap' is a subcircuit (inner model: '{inner}')\n"
    ref = ngspice_terminal(tmp_path, lib, "wrap", 1e-6, 0.18e-6, 0.0, vgs, vds, subcircuit=True)[0]
    np.testing.assert_allclose(table.id, ref, rtol=1e-6, atol=1e-15)


def test_device_line_values_the_native_path_cannot_honour(pool, tmp_path, capfd):
    """Diffusion resistances given on the device line are named as unsolved; a parameter the
    evaluator has no input for is named; what ngspice refuses on the line is refused."""
    text = WRAPPED + """\
.subckt ngeo d g s b W=1u L=0.18u
m0 d g s b nwp w={W} l={L} geomod=1 sca=1
.ends
.subckt ntypo d g s b W=1u L=0.18u
m0 d g s b nwp w={W} l={L} sca=1 mulu=1.1
.ends
.subckt nundef d g s b W=1u L=0.18u
m0 d g s b nwp w={W} l={L} delvto={dvth_typo}
.ends
"""
    lib = tmp_path / "wrapped.lib"
    lib.write_text(text)
    kw = dict(model_file=str(lib), widths_values=[1e-6], lengths_values=[0.18e-6], vbs_values=[0.0],
              vgs=(0.0, 1.0, 0.5), vds=(0.0, 1.0, 0.5), op_params=[], use_native_bsim4=True, subcircuit=True)
    taken = "taken at the terminal voltages\n"
    for name, line in (("ndiff", "  [native] nrsh: rsh*nrs=10, rsh*nrd=10: the diffusion series resistances are not "
                                 "solved; currents through them are " + taken),
                       ("ngeo", "  [native] nwp: geomod=1: not modelled by the native evaluator; the table is "
                                "computed without it\n")):
        table = pool.generate_lut(morva.LutConfig(model_name=name, **kw), cache=False)
        _, err = capfd.readouterr()
        assert err.endswith(line) and err.count("[native]") == 2, err
        assert table.id[2, 2] > 1e-5
    for name, message in (("ntypo", "unknown instance parameter 'mulu' on its device line"),
                          ("nundef", "cannot evaluate delvto = {dvth_typo} on its device line")):
        with pytest.raises(RuntimeError, match=re.escape(f"subcircuit '{name}': {message}")):
            pool.generate_lut(morva.LutConfig(model_name=name, **kw), cache=False)


def ngspice_wrapped_output(folder, lib, name):
    """What ngspice prints for an operating point of the pool path's X line of subcircuit `name`."""
    deck = folder / f"{name}.cir"
    deck.write_text(f"x\n.include {lib}\nX1 d g 0 0 {name} L=1.8e-07 W=1e-06\nvd d 0 1\nvg g 0 1\n"
                    ".control\nop\nprint -i(vd)\n.endc\n.end\n")
    run = subprocess.run(["ngspice", "-b", str(deck)], cwd=folder, capture_output=True, text=True, timeout=120)
    return run.stdout + run.stderr


# Device lines as ngspice reads them: a value read up to where its number ends, braces evaluated
# inside double quotes, pairs in any spacing and split over continuation lines; and lines ngspice
# refuses, with what ngspice says of each (None: not run, as it never ends) and the native path's
# refusal.
QUIRKS = """\
.subckt nquirk d g s b W=1u L=0.18u
m0 d g s b nwp w="{W}" l=0.18u.5 nf="2" sca="1" delvto=0.05abc sa =0.4u , sb
+ = 0.4u sd= 0.2u
.ends
"""
DEVICE_LINE_REFUSALS = [
    ("l=0.18u+0.01u", "unknown parameter (+0.01u)",
     "subcircuit 'nrefused': cannot evaluate l = 0.18u+0.01u on its device line"),
    # A name in double quotes is not evaluated: ngspice reads 0 and takes the name for a parameter.
    ('l="ll"', "unknown parameter (ll)",
     "subcircuit 'nrefused': cannot evaluate l = \"ll\" on its device line"),
    ('l="L"', "The parameter xgl must be smaller than Ldrawn+XL",
     "subcircuit 'nrefused': cannot evaluate l = \"L\" on its device line"),
    ("l=0.18u mulu0=0", "Fatal: u0 at current temperature = 0 is not positive.",
     "instance_create failed W=1.000e-6 L=1.800e-7: u0 at current temperature = 0 is not positive"),
    ("l=0.18u mulu0=-1", "Fatal: u0 at current temperature = -0.035 is not positive.",
     "instance_create failed W=1.000e-6 L=1.800e-7: u0 at current temperature = -0.035 is not positive"),
    # Values no bias point can evaluate: ngspice finds no operating point.
    ("l=0.18u delvto=1e300", "op simulation(s) aborted",
     "delvto = 1e300 on the device line of subcircuit 'nrefused' gives no finite drain current at "
     "W=1.000e-6 L=1.800e-7 Vgs=0.0 Vds=0.0 Vbs=0.0"),
    ("l=0.18u mulu0=1e-300", "op simulation(s) aborted",
     "mulu0 = 1e-300 on the device line of subcircuit 'nrefused' gives no finite drain current at "
     "W=1.000e-6 L=1.800e-7 Vgs=0.0 Vds=0.0 Vbs=0.0"),
    ("l=0.18u nf=3e9 sa=1u sb=1u sd=1u", None,
     "subcircuit 'nrefused': number of fingers nf = 3000000000 with sa, sb and sd given is above 2147483647: "
     "ngspice sums the stress terms finger by finger with a 32-bit counter and never finishes"),
]


def test_device_line_values_as_ngspice_reads_them(pool, tmp_path):
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPED + QUIRKS)
    vgs = vds = (0.0, 1.2, 0.1)
    kw = dict(model_file=str(lib), widths_values=[1e-6], lengths_values=[0.18e-6], vbs_values=[0.0], vgs=vgs,
              vds=vds, op_params=[], use_native_bsim4=True, subcircuit=True)
    table = pool.generate_lut(morva.LutConfig(model_name="nquirk", **kw), cache=False)
    ref = ngspice_terminal(tmp_path, lib, "nquirk", 1e-6, 0.18e-6, 0.0, vgs, vds, subcircuit=True)[0]
    np.testing.assert_allclose(table.id, ref, rtol=1e-6, atol=1e-15)


@pytest.mark.parametrize("line, ngspice_says, message", DEVICE_LINE_REFUSALS)
def test_device_lines_ngspice_refuses_are_refused_saying_why(pool, tmp_path, line, ngspice_says, message):
    lib = tmp_path / "wrapped.lib"
    lib.write_text(WRAPPED + f".subckt nrefused d g s b W=1u L=0.18u\nm0 d g s b nwp w={{W}} {line}\n.ends\n")
    if ngspice_says is not None:
        output = ngspice_wrapped_output(tmp_path, lib, "nrefused")
        assert ngspice_says in output and "-i(vd) = " not in output, output
    kw = dict(model_file=str(lib), widths_values=[1e-6], lengths_values=[0.18e-6], vbs_values=[0.0],
              vgs=(0.0, 1.0, 0.5), vds=(0.0, 1.0, 0.5), op_params=[], use_native_bsim4=True, subcircuit=True)
    with pytest.raises(RuntimeError, match=f"^simulation failed: {re.escape(message)}$"):
        pool.generate_lut(morva.LutConfig(model_name="nrefused", **kw), cache=False)
