"""A kit that sets its temperature (.temp, .options temp and tnom) is evaluated at it on every
path: the native table (direct and through the solver), the pool's, and DcSolver, each against
ngspice reading the same kit."""

import os
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

import morva
from conftest import ngspice_terminal

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib"
W, L = 1e-6, 0.18e-6
AXIS = (0.0, 1.8, 0.1)

# The example cards with what each kit adds; "tnom" drops the cards' own tnom, so that the
# kit's nominal temperature counts as well.
KITS = {
    "temp": ".temp 125\n",
    "options": ".options temp=85\n",
    "tnom": ".options temp=85 tnom=50\n",
}


def kit_text(name):
    text = EXAMPLE.read_text()
    if name == "tnom":
        text = text.replace("tnom=27 ", "")
    return text + KITS.get(name, "")


@pytest.fixture(scope="module")
def kits(tmp_path_factory):
    folder = tmp_path_factory.mktemp("kits")
    paths = {}
    for name in [*KITS, "plain"]:
        paths[name] = folder / f"{name}.lib"
        paths[name].write_text(kit_text(name))
    # The temperature in a corner section that a model_includes entry reads, and in a
    # section of the model file itself.
    (folder / "corners.lib").write_text(".lib hot\n.temp 125\n.endl hot\n.lib cold\n.temp -40\n.endl cold\n")
    (folder / "sections.lib").write_text(f".lib hot\n.temp 125\n.include {EXAMPLE}\n.endl hot\n")
    return {name: str(path) for name, path in paths.items()} | {"folder": folder}


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=2) as workers:
        yield workers


def config(model_file, **overrides):
    kw = dict(model_file=model_file, model_name="nch", widths_values=[W], lengths_values=[L, 1e-6],
              vbs_values=[-0.3, 0.0], vgs=AXIS, vds=AXIS, op_params=[])
    kw.update(overrides)
    return morva.LutConfig(**kw)


def tables(pool, **kw):
    """The native table, the native one through the solver, and the pool's, of one configuration."""
    return (pool.generate_lut(config(use_native_bsim4=True, **kw), cache=False),
            pool.generate_lut(config(use_native_bsim4=True, use_dc_solver=True, **kw), cache=False),
            pool.generate_lut(config(**kw), cache=False))


def assert_agree(native, pooled, rtol=1e-3, atol=1e-11):
    for name in ("id", "gm", "gds"):
        np.testing.assert_allclose(getattr(native, name), getattr(pooled, name), rtol=rtol, atol=atol,
                                   err_msg=name)


@pytest.mark.parametrize("kit", list(KITS))
def test_tables_at_the_kit_temperature_agree_with_ngspice(pool, kits, tmp_path, kit):
    native, solved, pooled = tables(pool, model_file=kits[kit])
    assert_agree(native, pooled)
    assert_agree(solved, pooled)
    # Tightly, against ngspice's own run of the pool path's bench on the kit.
    for bi, vbs in enumerate(native.vbs_values):
        for li, length in enumerate(native.lengths):
            folder = tmp_path / f"{bi}{li}"
            folder.mkdir()
            ref = ngspice_terminal(folder, kits[kit], "nch", W, float(length), float(vbs), AXIS, AXIS)[0]
            np.testing.assert_allclose(native.id[0, bi, li], ref, rtol=1e-6, atol=1e-15)
    # The temperature matters: the 27 °C table is far off in weak inversion.
    plain = pool.generate_lut(config(kits["plain"], use_native_bsim4=True), cache=False)
    on = np.abs(pooled.id) > 1e-12
    assert np.max(np.abs(plain.id[on] / pooled.id[on] - 1)) > 0.5


@pytest.mark.parametrize("where", ["model_includes", "model_section"])
def test_temperatures_set_in_sections_and_includes(pool, kits, where):
    if where == "model_includes":
        kw = dict(model_file=kits["plain"], model_includes=[(str(kits["folder"] / "corners.lib"), "hot")])
    else:
        kw = dict(model_file=str(kits["folder"] / "sections.lib"), model_section="hot")
    native, _, pooled = tables(pool, **kw)
    assert_agree(native, pooled)
    hot, _, _ = tables(pool, model_file=kits["temp"])
    np.testing.assert_array_equal(native.id, hot.id)


def test_a_pool_that_ran_a_hot_kit_runs_the_next_at_its_own(pool, kits):
    pool.generate_lut(config(kits["temp"]), cache=False)
    native = pool.generate_lut(config(kits["plain"], use_native_bsim4=True), cache=False)
    pooled = pool.generate_lut(config(kits["plain"]), cache=False)
    assert_agree(native, pooled)


def ngspice_channel_currents(folder, kit, vbs):
    """ngspice's @m1[id] over Vgs x Vds (AXIS each) at `vbs`, tightly solved: rows of
    (vgs, vds, id)."""
    start, stop, step = AXIS
    deck = folder / "deck.cir"
    deck.write_text(
        f"channel currents\n.include {kit}\nm1 d g 0 b nch w={W!r} l={L!r}\nvd d 0 0\nvg g 0 0\n"
        f"vb b 0 {vbs!r}\n.options reltol=1e-9 abstol=1e-18 vntol=1e-12\n.control\nset wr_singlescale\n"
        f"set numdgt=17\nsave v(g) v(d) @m1[id]\ndc vd {start!r} {stop + step / 4!r} {step!r} vg {start!r} "
        f"{stop + step / 4!r} {step!r}\nwrdata out.txt v(g) v(d) @m1[id]\n.endc\n.end\n")
    subprocess.run(["ngspice", "-b", str(deck)], cwd=folder, capture_output=True, timeout=120, check=False)
    return [tuple(float(c) for c in line.split()[1:]) for line in (folder / "out.txt").read_text().splitlines()
            if len(line.split()) == 4]


@pytest.mark.parametrize("kit", list(KITS))
def test_dc_solver_at_the_kit_temperature_agrees_with_ngspice(kits, tmp_path, kit):
    solver = morva.DcSolver(kits[kit], "nch", w=W, l=L)
    plain = morva.DcSolver(kits["plain"], "nch", w=W, l=L)
    for vbs in (0.0, -0.3):
        rows = ngspice_channel_currents(tmp_path, kits[kit], vbs)
        assert len(rows) == 19 * 19
        for vgs, vds, i_d in rows:
            r = solver.solve(vgs, vds, vb=vbs)
            assert r.converged
            assert abs(r.ids - i_d) <= 1e-9 * max(abs(i_d), 1e-18), (vgs, vds, vbs, r, i_d)
    # At Vgs = Vds = 1.8 V the kit's temperature moves the current by several per cent.
    assert abs(solver.solve(1.8, 1.8).ids / plain.solve(1.8, 1.8).ids - 1) > 0.05


def test_dc_solver_reads_the_section_it_is_given(kits):
    hot = morva.DcSolver(str(kits["folder"] / "sections.lib"), "nch", w=W, l=L, model_section="hot")
    assert hot.solve(0.3, 1.8).ids == morva.DcSolver(kits["temp"], "nch", w=W, l=L).solve(0.3, 1.8).ids


@pytest.mark.parametrize("line, message", [
    (".temp -300", "temperature -300 °C is not above absolute zero"),
    (".options temp=-273.15", "temperature -273.15 °C is not above absolute zero"),
])
def test_a_temperature_at_or_below_absolute_zero_is_refused(pool, tmp_path, line, message):
    kit = tmp_path / "frozen.lib"
    kit.write_text(kit_text("plain") + line + "\n")
    # ngspice finds no operating point there.
    with pytest.raises(RuntimeError, match=re.escape(f"'{kit}': {message}")):
        morva.DcSolver(str(kit), "nch", w=W, l=L)
    with pytest.raises(ValueError, match=re.escape(f"'{kit}': {message}")):
        pool.generate_lut(config(str(kit), use_native_bsim4=True), cache=False)


def test_a_cached_native_table_follows_an_edited_temperature(pool, kits, tmp_path, monkeypatch):
    """The temperature set in a corner file that model_includes reads: editing it makes the
    cached native table stale, as editing a card would."""
    monkeypatch.setenv("HOME", str(tmp_path))
    corner = tmp_path / "corner.lib"
    corner.write_text(".lib tt\n.temp 125\n.endl tt\n")
    cfg = config(kits["plain"], use_native_bsim4=True, model_includes=[(str(corner), "tt")])
    hot = pool.generate_lut(cfg)
    np.testing.assert_array_equal(pool.generate_lut(cfg).id, hot.id)
    corner.write_text(".lib tt\n.temp -40\n.endl tt\n")
    later = corner.stat().st_mtime + 10
    os.utime(corner, (later, later))
    cold = pool.generate_lut(cfg)
    np.testing.assert_array_equal(
        cold.id, pool.generate_lut(config(kits["plain"], use_native_bsim4=True, model_includes=[
            (str(kits["folder"] / "corners.lib"), "cold")]), cache=False).id)
