"""DcSolver and DcResult: construction, solves and sweeps against ngspice, messages and reprs."""

import math
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import morva
from conftest import child_process, computing, needs_sigint, wait_until
from morva import DcResult, DcSolver

LIB = """* test models
.model nch nmos level=54 rdsmod=1
.model pch pmos level=54 rdsmod=1
.model n0 nmos level=54
.model p0 pmos level=54
.lib fast
.model sec nmos level=54 vth0=0.2
.endl fast
.lib slow
.model sec nmos level=54 vth0=0.5
.endl slow
.model bin.1 nmos level=54 lmin=1e-7 lmax=1e-6 wmin=1e-7 wmax=2e-6 vth0=0.3
.model bin.2 nmos level=54 lmin=1e-7 lmax=1e-6 wmin=2e-6 wmax=1e-4 vth0=0.6
"""

NGSPICE = shutil.which("ngspice")
needs_ngspice = pytest.mark.skipif(NGSPICE is None, reason="ngspice not installed")
W, L = 1e-6, 0.18e-6


@pytest.fixture(scope="module")
def lib(tmp_path_factory):
    path = tmp_path_factory.mktemp("dc_solver") / "models.lib"
    path.write_text(LIB)
    return str(path)


@pytest.fixture(scope="module")
def nch(lib):
    return DcSolver(lib, "nch", w=W, l=L)


@pytest.fixture(scope="module")
def n0(lib):
    return DcSolver(lib, "n0", w=W, l=L)


# ---- ngspice as the oracle ----


def run_deck(folder, deck, columns, timeout):
    """Runs `deck` in batch mode in `folder`; the rows of its out.txt that carry the scale and
    `columns` values, as tuples of those values."""
    (folder / "deck.cir").write_text(deck)
    subprocess.run([NGSPICE, "-b", "deck.cir"], cwd=folder, capture_output=True, timeout=timeout, check=False)
    rows = []
    for line in (folder / "out.txt").read_text().splitlines():
        cols = line.split()
        if len(cols) == columns + 1:
            rows.append(tuple(float(c) for c in cols[1:]))
    return rows


def ngspice_dc(folder, device_type, sweep, values, fixed, rsh):
    """ngspice .dc of one rdsmod=1 transistor (defaults card, W x L), one source swept over
    `values` (n-channel frame); returns rows of (id, vgs, vds, vbs) as ngspice reports them."""
    s = -1 if device_type == "pmos" else 1
    start, stop, step = values
    deck = f"""dc solver comparison
.model mdl {device_type} level=54 rdsmod=1 rsh={rsh!r}
m1 d g 0 0 mdl w={W!r} l={L!r} nrs=1 nrd=1
vg g 0 {s * fixed.get('vg', 0.0)!r}
vd d 0 {s * fixed.get('vd', 0.0)!r}
.options reltol=1e-6 abstol=1e-15 vntol=1e-9
.control
set wr_singlescale
set numdgt=17
save @m1[id] @m1[vgs] @m1[vds] @m1[vbs]
dc {sweep} {s * start!r} {s * stop!r} {s * step!r}
wrdata out.txt @m1[id] @m1[vgs] @m1[vds] @m1[vbs]
.endc
.end
"""
    return run_deck(folder, deck, 4, 60)


def ngspice_reference(folder, device_type, sweep, values, fixed):
    """The sweep without ngspice's terminal resistances (at least 1 mOhm each): runs with 1 and
    0.5 mOhm extrapolated to 0."""
    full = ngspice_dc(folder, device_type, sweep, values, fixed, 1e-3)
    half = ngspice_dc(folder, device_type, sweep, values, fixed, 0.5e-3)
    assert len(full) == len(half) > 0
    return [tuple(2 * h - f for h, f in zip(hr, fr)) for hr, fr in zip(half, full)]


def assert_matches(results, reference, sign):
    assert len(results) == len(reference)
    for r, (i_d, vgs, vds, vbs) in zip(results, reference):
        assert r.converged
        assert abs(r.ids - sign * i_d) <= 1e-5 * max(abs(i_d), 1e-12), (r, i_d)
        assert r.vgs_int == pytest.approx(vgs, abs=1e-6)
        assert r.vds_int == pytest.approx(vds, abs=1e-6)
        assert r.vbs_int == pytest.approx(vbs, abs=1e-6)


def test_operating_points_of_the_issue(lib, nch):
    # rdsmod 0 (one evaluation, the applied voltages): tests/cpp/test_solver.cpp.
    # ngspice 39 .op (reltol 1e-6, abstol 1e-15, vntol 1e-9), W 1 um, L 0.18 um.
    r = nch.solve(0.8, 0.6)
    assert r.converged
    assert r.ids == pytest.approx(1.995869e-04, rel=1e-5)
    assert r.vds_int == pytest.approx(0.5722873, abs=1e-6)
    assert r.vgs_int == pytest.approx(0.7887536, abs=1e-6)
    assert r.vbs_int == pytest.approx(-0.0112464, abs=1e-6)
    assert r.vs_int == pytest.approx(0.0112464, abs=1e-6)
    assert r.vd_int == pytest.approx(0.0112464 + 0.5722873, abs=2e-6)

    # The pmos at vg = -0.8, vd = -0.6, given in the n-channel frame; ids keeps its sign.
    p = DcSolver(lib, "pch", w=W, l=L).solve(vg=0.8, vd=0.6)
    assert p.converged
    assert p.ids == pytest.approx(-9.535521e-5, rel=1e-5)
    assert p.vds_int == pytest.approx(0.5867221, abs=1e-6)
    assert p.vgs_int == pytest.approx(0.7946442, abs=1e-6)


@needs_ngspice
@pytest.mark.parametrize(
    "device_type, sweep, values, fixed",
    [
        ("nmos", "vgs", (0.0, 1.2, 0.1), {"vd": 0.6}),
        ("nmos", "vds", (0.0, 1.2, 0.1), {"vg": 0.9}),
        ("nmos", "vds", (0.0, -0.6, -0.1), {"vg": 1.0}),
        ("pmos", "vgs", (0.0, 1.2, 0.1), {"vd": 0.6}),
        ("pmos", "vds", (0.0, 1.2, 0.1), {"vg": 0.9}),
    ],
)
def test_sweeps_match_ngspice_dc(lib, tmp_path, device_type, sweep, values, fixed):
    solver = DcSolver(lib, "nch" if device_type == "nmos" else "pch", w=W, l=L)
    results = solver.sweep(sweep, *values, **fixed)
    reference = ngspice_reference(tmp_path, device_type, "vg" if sweep == "vgs" else "vd", values, fixed)
    assert_matches(results, reference, -1 if device_type == "pmos" else 1)


# The example card of nch or pch with some parameters replaced, as a library of that one model.
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib"


def example_card(name, **params):
    lines, inside = [], False
    for line in EXAMPLE.read_text().splitlines():
        if line.startswith(".model"):
            inside = line.split()[1] == name
        if inside and (line.startswith(".model") or line.startswith("+")):
            words = [w for w in line.split() if w.split("=")[0].lower() not in params]
            lines.append(" ".join(words))
    lines.append("+ " + " ".join(f"{k}={v!r}" for k, v in params.items()))
    return "\n".join(lines) + "\n"


@needs_ngspice
def test_ids_is_the_channel_current_not_the_drain_terminals(tmp_path):
    # With strong impact ionisation the drain terminal carries the substrate current too: ids is
    # ngspice's channel current @m1[id], not the terminal's -i(vd) (the native table's id).
    (tmp_path / "card.lib").write_text(example_card("nch", alpha0=2e-5, beta0=10.0))
    (tmp_path / "deck.cir").write_text(
        f"impact\n.include card.lib\nm1 d g 0 0 nch w={W!r} l={L!r}\nvg g 0 1.0\nvd d 0 1.8\n"
        ".options reltol=1e-9 abstol=1e-18\n.control\nset numdgt=17\nop\n"
        "print @m1[id] i(vd)\n.endc\n.end\n")
    out = subprocess.run([NGSPICE, "-b", "deck.cir"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=60).stdout
    channel = float(re.search(r"@m1\[id\] = (\S+)", out).group(1))
    terminal = -float(re.search(r"i\(vd\) = (\S+)", out).group(1))
    assert terminal > 1.05 * channel > 0
    ids = DcSolver(str(tmp_path / "card.lib"), "nch", w=W, l=L).solve(1.0, 1.8).ids
    assert ids == pytest.approx(channel, rel=1e-6)


def ngspice_grid(folder, device_type, axis, vbs_values):
    """ngspice .dc over vgs x vds (`axis` each, n-channel frame) at each vbs, tight tolerances;
    rows of (vgs, vds, vbs, id, gm, gds, vdsat) as ngspice reports them."""
    s = -1 if device_type == "pmos" else 1
    start, stop, step = axis
    name = "nch" if device_type == "nmos" else "pch"
    commands = "".join(
        f"alter vb dc = {s * vb!r}\ndc vd {s * start!r} {s * stop!r} {s * step!r} vg {s * start!r} {s * stop!r} "
        f"{s * step!r}\nwrdata out.txt v(g) v(d) v(b) @m1[id] @m1[gm] @m1[gds] @m1[vdsat]\n"
        for vb in vbs_values
    )
    deck = f"""mobility comparison
.include card.lib
m1 d g 0 b {name} w={W!r} l={L!r}
vd d 0 0
vg g 0 0
vb b 0 0
.options reltol=1e-9 abstol=1e-18 vntol=1e-12 temp=27
.control
set wr_singlescale
set appendwrite
set numdgt=17
save v(g) v(d) v(b) @m1[id] @m1[gm] @m1[gds] @m1[vdsat]
{commands}.endc
.end
"""
    return [(s * vg, s * vd, s * vb, *values) for vg, vd, vb, *values in run_deck(folder, deck, 7, 120)]


@needs_ngspice
@pytest.mark.parametrize("device_type", ["nmos", "pmos"])
@pytest.mark.parametrize("tempmod", [0, 1, 2, 3])
def test_coulomb_scattering_away_from_nominal_temperature_matches_ngspice(tmp_path, device_type, tempmod):
    # mobmod 3 with tnom 40 C evaluated at 27 C: the Coulomb term's Vgsteff at threshold is formed
    # with the thermal voltage at the device temperature, as ngspice does. ud is large enough to
    # dominate the mobility in weak inversion, not so large that vdsat's quadratic cancels to noise
    # (at ud = 1e14 one ulp in vgs moves vdsat by 10 %, tnom 27 as much as any other).
    name = "nch" if device_type == "nmos" else "pch"
    params = dict(mobmod=3, ucs=1.2, ud=20.0, ud1=1e-3, ucste=-1e-3, tnom=40.0, tempmod=tempmod)
    if tempmod:
        params["at"] = 1e-3  # relative per kelvin under tempmod >= 1
    (tmp_path / "card.lib").write_text(example_card(name, **params))
    rows = ngspice_grid(tmp_path, device_type, (0.1, 1.8, 0.1), (0.0, 0.3))
    assert len(rows) == 2 * 18 * 18
    solver = DcSolver(str(tmp_path / "card.lib"), name, w=W, l=L)
    s = -1 if device_type == "pmos" else 1
    for vgs, vds, vbs, i_d, gm, gds, vdsat in rows:
        r = solver.solve(vgs, vds, vb=vbs)
        assert r.converged
        for got, want, floor in ((r.ids, s * i_d, 1e-18), (r.gm, gm, 1e-15), (r.gds, gds, 1e-15),
                                 (r.vdsat, s * vdsat, 1e-9)):
            assert abs(got - want) <= 1e-9 * max(abs(want), floor), (vgs, vds, vbs, r, i_d, gm, gds, vdsat)


# ---- sweeps: points and arguments ----


@pytest.mark.parametrize(
    "name, start, stop, step, expected",
    [
        ("VGS", 0.0, 1.0, 0.25, [0.0, 0.25, 0.5, 0.75, 1.0]),
        ("vgs", 0.0, 1.0, 0.3, [0.0, 0.3, 0.6, 0.3 * 3]),
        ("vgs", 0.0, 1.05, 0.3, [0.0, 0.3, 0.6, 0.3 * 3, 0.3 * 4]),
        ("vgs", 1.0, 0.0, -0.5, [1.0, 0.5, 0.0]),
        # A sweep that starts at its stop is that one point, whatever the step's sign.
        ("vgs", 0.5, 0.5, -0.25, [0.5]),
        ("vgs", 0.5, 0.5, 0.25, [0.5]),
    ],
)
def test_sweep_points(n0, name, start, stop, step, expected):
    results = n0.sweep(name, start, stop, step, vd=0.6)
    assert [r.vgs_int for r in results] == expected
    assert all(r.vds_int == 0.6 and r.converged for r in results)


def test_vds_sweep_is_relative_to_the_source(n0):
    results = n0.sweep("vds", 0.0, 1.0, 0.5, vg=1.5, vs=0.2, vb=-0.1)
    assert [r.vd_int for r in results] == [0.2, 0.2 + 0.5, 0.2 + 1.0]
    assert all(r.vs_int == 0.2 and r.vgs_int == 1.5 - 0.2 for r in results)
    # Each point is the solve of its own bias.
    assert [repr(r) for r in results] == [repr(n0.solve(1.5, v, vs=0.2, vb=-0.1)) for v in (0.2, 0.7, 1.2)]


def test_sweep_argument_errors(n0):
    with pytest.raises(ValueError, match=r"^sweep must be 'vgs' or 'vds', got 'gate'$"):
        n0.sweep("gate", 0.0, 1.0, 0.25)
    with pytest.raises(ValueError, match=r"^sweep must be 'vgs' or 'vds', got 'vxs'$"):
        n0.sweep("Vxs", 0.0, 1.0, 0.25)
    for step in (0.0, -0.0, math.nan, math.inf, -math.inf):
        with pytest.raises(ValueError, match=r"^sweep step must be a finite non-zero number, got "):
            n0.sweep("vgs", 0.0, 1.0, step)
    with pytest.raises(ValueError, match=r"^sweep start and stop must be finite numbers, got start=0 stop=inf$"):
        n0.sweep("vgs", 0.0, math.inf, 0.1)
    with pytest.raises(ValueError, match=r"^sweep start and stop must be finite numbers, got start=NaN stop=1$"):
        n0.sweep("vgs", math.nan, 1.0, 0.1)
    for step in (1e-15, 1e-300):
        with pytest.raises(MemoryError):
            n0.sweep("vgs", 0.0, 1.0, step)
    with pytest.raises(TypeError, match=r"^argument 'sweep': 'int' object cannot be converted to 'PyString'$"):
        n0.sweep(1, 0.0, 1.0, 0.1)
    # A step pointing away from the stop would give the start alone.
    for start, stop, step in ((1.0, 0.0, 0.25), (0.0, 1.0, -0.1), (0.0, -0.001, 1.0)):
        message = (f"sweep step {step:g} runs away from stop {stop:g} (start {start:g}): "
                   "give it the sign of stop - start")
        with pytest.raises(ValueError) as info:
            n0.sweep("vgs", start, stop, step)
        assert str(info.value) == message
    with pytest.raises(TypeError, match=r"^argument 'step': "):
        n0.sweep("vgs", 0.0, 1.0, "0.1")


@pytest.mark.parametrize("name", ["vg", "vd", "vs", "vb"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_terminal_voltages_are_refused(n0, name, value):
    bias = dict(vg=0.8, vd=0.6, vs=0.0, vb=0.0)
    text = {"nan": "NaN"}.get(repr(value), repr(value))
    with pytest.raises(ValueError) as info:
        n0.solve(**{**bias, name: value})
    assert str(info.value) == f"{name} must be a finite number, got {text}"
    # A sweep refuses the fixed voltages it uses; the swept terminal's own is not used.
    for sweep, swept in (("vgs", "vg"), ("vds", "vd")):
        args = {**bias, name: value}
        if name == swept:
            assert len(n0.sweep(sweep, 0.0, 0.5, 0.25, **args)) == 3
            continue
        with pytest.raises(ValueError) as info:
            n0.sweep(sweep, 0.0, 0.5, 0.25, **args)
        assert str(info.value) == f"{name} must be a finite number, got {text}"


def memory_and_swap_bytes():
    fields = dict(line.split(":", 1) for line in pathlib.Path("/proc/meminfo").read_text().splitlines())
    return sum(int(fields[k].split()[0]) * 1024 for k in ("MemTotal", "SwapTotal"))


@pytest.mark.skipif(not pathlib.Path("/proc/meminfo").exists(), reason="needs /proc/meminfo")
def test_sweep_whose_results_exceed_memory_is_refused_up_front(n0):
    # Each point becomes a Python object: a count that would take more memory than the machine
    # has is refused before any solve, not run until the process is killed.
    points = memory_and_swap_bytes() // 150

    def too_slow(*_):
        raise TimeoutError("the sweep was started instead of refused")

    previous = signal.signal(signal.SIGALRM, too_slow)
    signal.setitimer(signal.ITIMER_REAL, 10.0)
    try:
        with pytest.raises(MemoryError, match=rf"^sweep of {points} points does not fit in memory$"):
            n0.sweep("vgs", 0.0, 1.0, 1.0 / (points - 1), vd=0.6)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)


@needs_sigint
def test_ctrl_c_stops_a_long_sweep(lib):
    code = (
        f"import morva\nsolver = morva.DcSolver({lib!r}, 'nch', w={W!r}, l={L!r})\nprint('ready', flush=True)\n"
        "try:\n    solver.sweep('vgs', 0.0, 1.0, 1e-7, vd=0.6)\n    print('finished')\n"
        "except KeyboardInterrupt:\n    print('interrupted')\n"
        "print(len(solver.sweep('vgs', 0.0, 1.0, 0.25, vd=0.6)))\n"
    )
    with child_process([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "ready\n"
        assert wait_until(computing([proc.pid], 0.3), 60)  # inside the long call
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)  # ten million points would take minutes
    assert out.split() == ["interrupted", "5"]


# ---- construction ----


def test_card_selection_and_type(lib):
    # A type given must be the card's, as the characterisation paths demand.
    with pytest.raises(RuntimeError, match=r"^model 'n0' is nmos \(card 'n0'\), not pmos$"):
        DcSolver(lib, "n0", device_type="pmos", w=W, l=L)
    assert DcSolver(lib, "n0", device_type="NMOS", w=W, l=L).solve(0.8, 0.6).ids > 0
    assert DcSolver(lib, "p0", w=W, l=L).solve(0.8, 0.6).ids < 0
    # Names are matched without regard to case; bins are chosen by length and width.
    vth = lambda w: DcSolver(lib, "BIN", w=w, l=0.5e-6).solve(1.0, 0.05).vth  # noqa: E731
    assert vth(1e-6) < vth(5e-6)
    # The section picks its own card.
    fast = DcSolver(lib, "sec", model_section="FAST", w=W, l=L).solve(0.5, 0.6).ids
    slow = DcSolver(lib, "sec", model_section="slow", w=W, l=L).solve(0.5, 0.6).ids
    assert fast > 10 * slow


def test_networks_the_solver_leaves_out_are_named_once(tmp_path, capfd):
    path = tmp_path / "networks.lib"
    path.write_text(".model nb nmos level=54 rbodymod=1 rgatemod=0 rdsmod=1\n"
                    ".model n0 nmos level=54 rbodymod=0\n")
    capfd.readouterr()
    solver = DcSolver(str(path), "nb", w=W, l=L)
    solver.solve(0.8, 0.6)
    assert len(solver.sweep("vgs", 0.0, 1.0, 0.1, vd=0.6)) == 11
    assert capfd.readouterr().err == ("  [native] nb: rbodymod=1: the body-resistance network is not solved; "
                                      "currents through it are taken at the terminal voltages\n")
    DcSolver(str(path), "n0", w=W, l=L).solve(0.8, 0.6)
    assert capfd.readouterr().err == ""


def test_card_versions_whose_code_ngspice_runs_are_named_once(tmp_path, capfd):
    path = tmp_path / "versions.lib"
    path.write_text(".model v45 nmos level=54 version=4.5 rbodymod=1\n.model v48 nmos level=54 version=4.8.2\n")
    capfd.readouterr()
    solver = DcSolver(str(path), "v45", w=W, l=L)
    solver.sweep("vgs", 0.0, 1.0, 0.1, vd=0.6)
    assert capfd.readouterr().err == (
        "  [native] v45: rbodymod=1: the body-resistance network is not solved; currents through it are taken "
        "at the terminal voltages\n"
        "  [native] v45: version 4.5 card evaluated with the BSIM4 4.8 equations (ngspice runs its 4.5 code: "
        "currents may differ)\n")
    DcSolver(str(path), "v48", w=W, l=L).solve(0.8, 0.6)
    assert capfd.readouterr().err == ""


# ---- card values, as ngspice takes them ----

# The example's nch card with vth0 written as the first word, after a chain of
# parameters; what ngspice (39) says of it (None: it runs, with the value it
# takes); the message DcSolver raises (None: it solves at that value).
CARD_PARAMS = ".param vth_mc = agauss(0.42, 0.01, 3, 4) vth_nom = agauss(0.42, 0, 3)\n"
CARD_VALUES = [
    # Statistical calls ngspice refuses: no argument or more than three, an undefined name.
    ("{agauss()}", "Expression err", "cannot evaluate vth0 = {agauss()}"),
    ("{agauss(0.42,0.01,3,4)}", "Syntax error", "cannot evaluate vth0 = {agauss(0.42,0.01,3,4)}"),
    ("{gauss(0.42,0.01,3,9)}", "Syntax error", "cannot evaluate vth0 = {gauss(0.42,0.01,3,9)}"),
    ("{unif()}", "Expression err", "cannot evaluate vth0 = {unif()}"),
    ("{agauss(vth_undefined,0.01,3)}", "Undefined parameter [vth_undefined]",
     "cannot evaluate vth0 = {agauss(vth_undefined,0.01,3)}"),
    ("vth_mc", "Syntax error", "cannot evaluate vth0 = vth_mc"),
    ("{vth_undefined}", "Undefined parameter [vth_undefined]", "cannot evaluate vth0 = {vth_undefined}"),
    # Values that are not finite numbers: ngspice refuses the names, and an
    # overflowing literal fails every solve.
    ("nan", "Undefined parameter [nan]", "cannot evaluate vth0 = nan (not a finite number)"),
    ("inf", "Undefined parameter [inf]", "cannot evaluate vth0 = inf (not a finite number)"),
    ("1e309", "DC solution failed", "cannot evaluate vth0 = 1e309 (not a finite number)"),
    # Statistical calls ngspice takes, at their value without variation (a
    # lone argument is the variation around a nominal 1).
    ("vth_nom", None, None),
    ("{agauss(0.42,0.01)}", None, None),
    ("{aunif(0.42,0.05,0)}", None, None),
    ("{limit(0.42,0)}", None, None),
    ("{agauss(0.3)}", None, None),
    # Bare values ngspice reads up to where the number ends, and double-quoted
    # ones, of which it evaluates only braces and single quotes: the rest is
    # read as a bare number is.
    ("0.42+0.01", None, None),
    ("0.45.3", None, None),
    ("0x10", None, None),
    ("0.45abc", None, None),
    ("16.5mil", None, None),
    ("0.042d1", None, None),
    ("4.5d-1", None, None),
    ('"0.5"', None, None),
    ('"0.5+0.1"', None, None),
    ('"{0.5+0.1}"', None, None),
    ('"0.42" version="4.8.2"', None, None),
    ('"0.45+vth_nom"', None, None),
    ("\"'0.4+0.05'\"", None, None),
    ('"(0.45)"', None, None),
    ('"{vth_nom}"', None, None),
    ('"{vth_undefined}"', "Undefined parameter [vth_undefined]", 'cannot evaluate vth0 = "{vth_undefined}"'),
]

# Values ngspice reads as 0 without refusing them: expressions it writes as
# "inf" or "nan" into the card, a quoted text without a number (with a
# warning) and a bare one without a digit. DcSolver's message for each.
TAKEN_AS_ZERO = [
    ("{1/0}", "cannot evaluate vth0 = {1/0} (not a finite number)"),
    ("'1/0'", "cannot evaluate vth0 = '1/0' (not a finite number)"),
    ("{sqrt(-1)}", "cannot evaluate vth0 = {sqrt(-1)} (not a finite number)"),
    # A Gaussian of zero sigma: ngspice divides by it.
    ("{agauss(0.42,0)}", "cannot evaluate vth0 = {agauss(0.42,0)} (not a finite number)"),
    ("{gauss(0.42,0)}", "cannot evaluate vth0 = {gauss(0.42,0)} (not a finite number)"),
    ("{agauss(0.42,0.01,0)}", "cannot evaluate vth0 = {agauss(0.42,0.01,0)} (not a finite number)"),
    ("{agauss(0)}", "cannot evaluate vth0 = {agauss(0)} (not a finite number)"),
    ('"abc"', 'cannot evaluate vth0 = "abc"'),
    (".u", "cannot evaluate vth0 = .u"),
    # A name or formula in double quotes is not evaluated: ngspice reads 0 and
    # warns "unrecognized parameter (vth_nom)".
    ('"vth_nom"', 'cannot evaluate vth0 = "vth_nom"'),
    ('"vth_nom+0.05"', 'cannot evaluate vth0 = "vth_nom+0.05"'),
    ('"-vth_nom"', 'cannot evaluate vth0 = "-vth_nom"'),
    ('"nan"', 'cannot evaluate vth0 = "nan"'),
    ('""', 'cannot evaluate vth0 = ""'),
]


def card_with_vth0(value):
    return CARD_PARAMS + example_card("nch").replace("vth0=0.42", f"vth0={value}", 1)


def ngspice_card_id(folder, card):
    """ngspice's @m1[id] of the card's nch at vgs = vds = 0.9 V, or its output when it gives none."""
    (folder / "card.cir").write_text(f"card value\n{card}m1 d g 0 0 nch w={W!r} l={L!r}\nvd d 0 0.9\n"
                                     "vg g 0 0.9\n.control\nset numdgt=17\nop\nprint @m1[id]\n.endc\n.end\n")
    run = subprocess.run([NGSPICE, "-b", "card.cir"], cwd=folder, capture_output=True, text=True, timeout=60)
    found = re.search(r"@m1\[id\] = (\S+)$", run.stdout, re.M)
    return float(found.group(1)) if found and math.isfinite(float(found.group(1))) else run.stdout + run.stderr


@needs_ngspice
@pytest.mark.parametrize("value, ngspice_says, message", CARD_VALUES)
def test_card_values_as_ngspice_takes_them(tmp_path, value, ngspice_says, message):
    path = tmp_path / "card.lib"
    path.write_text(card_with_vth0(value))
    reference = ngspice_card_id(tmp_path, card_with_vth0(value))
    if message is None:
        assert DcSolver(str(path), "nch", w=W, l=L).solve(vg=0.9, vd=0.9).ids == pytest.approx(reference, rel=1e-9)
        return
    assert ngspice_says in reference
    with pytest.raises(RuntimeError, match=f"^{re.escape(f'model {chr(39)}nch{chr(39)}: {message}')}$"):
        DcSolver(str(path), "nch", w=W, l=L)


@needs_ngspice
@pytest.mark.parametrize("value, message", TAKEN_AS_ZERO)
def test_values_ngspice_reads_as_zero_are_refused(tmp_path, value, message):
    """ngspice takes such a value for 0, without a word or with a warning:
    refused, rather than solved at 0."""
    path = tmp_path / "card.lib"
    path.write_text(card_with_vth0(value))
    zero = tmp_path / "zero.lib"
    zero.write_text(card_with_vth0("0"))
    assert ngspice_card_id(tmp_path, card_with_vth0(value)) == pytest.approx(
        DcSolver(str(zero), "nch", w=W, l=L).solve(vg=0.9, vd=0.9).ids, rel=1e-9)
    with pytest.raises(RuntimeError, match=f"^model 'nch': {re.escape(message)}$"):
        DcSolver(str(path), "nch", w=W, l=L)


# The same two values, vth0 = 0.45 and k2 = 0.03, in every form ngspice reads a card's pairs in
# (each checked there through the drain current): blanks or none around "=", no "=" at all, tabs,
# commas, a value given twice (the last counts), continuation lines splitting name, "=" and value,
# and parentheses around the whole list.
PAIR_FORMS = [
    "vth0 =0.45 k2 =0.03",
    "vth0= 0.45 k2 = 0.03",
    "vth0\t=\t0.45\tk2=\t0.03",
    "vth0 0.45 k2 0.03",
    "vth0=0.45,k2=0.03",
    "vth0=0.45 , k2=0.03",
    "vth0=0.40 k2=0.03 vth0 = 0.45",
    "vth0\n+ =0.45 k2\n+ = 0.03",
    "vth0=\n+ 0.45 k2\n+ =\n+ 0.03",
    "vth0 = {0.4+0.05} k2 ='0.03'",
    "vth0=0.45 k2=0.03 )",
]


@needs_ngspice
@pytest.mark.parametrize("form", PAIR_FORMS)
def test_card_pairs_in_every_form_ngspice_reads(tmp_path, form):
    card = example_card("nch", vth0=0.45, k2=0.03).replace("+ vth0=0.45 k2=0.03", "+ " + form)
    if form.endswith(")"):
        card = card.replace(".model nch nmos", ".model nch nmos (", 1)
    path = tmp_path / "card.lib"
    path.write_text(card)
    reference = ngspice_card_id(tmp_path, card)
    assert DcSolver(str(path), "nch", w=W, l=L).solve(vg=0.9, vd=0.9).ids == pytest.approx(reference, rel=1e-9)
    # The pairs count: the card without them is another device.
    assert abs(ngspice_card_id(tmp_path, example_card("nch")) / reference - 1) > 1e-3


@needs_ngspice
@pytest.mark.parametrize("doping", ["ngate=1e23", "ngate=2e23", "ngate=1e24", "ngate=1.0000011e24", "nsd=1e23",
                                    "nsd=5e23", "nsd=2e24", "ndep=1.7e23"])
def test_doping_in_either_unit_as_ngspice_takes_it(tmp_path, doping):
    # ngspice takes nsd and ngate in m^-3 above 1.000001e24, ndep above 1e20.
    name, value = doping.split("=")
    card = example_card("nch", **{name: float(value)})
    path = tmp_path / "card.lib"
    path.write_text(card)
    reference = ngspice_card_id(tmp_path, card)
    assert DcSolver(str(path), "nch", w=W, l=L).solve(vg=0.9, vd=0.9).ids == pytest.approx(reference, rel=1e-9)


def test_construction_errors(lib, tmp_path):
    absent = str(tmp_path / "absent.lib")
    with pytest.raises(
        RuntimeError,
        match=r"^failed to parse model file '.*absent\.lib': BSIM4 model-file I/O error: "
        r"No such file or directory \(os error 2\)$",
    ):
        DcSolver(absent, "nch")
    # A NUL would cut the path to another file's name.
    with pytest.raises(RuntimeError, match=r"^failed to parse model file '.*models\.lib"):
        DcSolver(lib + "\0x", "nch")
    with pytest.raises(RuntimeError, match=r"^model 'nope' not found in '.*models\.lib'$"):
        DcSolver(lib, "nope")
    # A mistyped section is named as flatten_pdk names it.
    with pytest.raises(RuntimeError, match=r"^section '\.LIB tyipcal' not found in .*models\.lib$"):
        DcSolver(lib, "sec", model_section="tyipcal")
    with pytest.raises(RuntimeError, match=r"^failed to create BSIM4 instance W=1\.300e-7 L=0\.000e0$"):
        DcSolver(lib, "nch", w=130e-9, l=0.0)
    with pytest.raises(TypeError, match=r"^argument 'model_file': 'PosixPath' object cannot be converted"):
        DcSolver(pathlib.Path(lib), "nch")
    with pytest.raises(TypeError, match=r"^argument 'w': must be real number, not str$"):
        DcSolver(lib, "nch", w="1u")
    with pytest.raises(TypeError, match=r"^argument 'model_section': "):
        DcSolver(lib, "nch", model_section=3)
    with pytest.raises(TypeError, match=r"^No constructor defined for DcResult$"):
        DcResult()


# ---- results: reprs, properties, failure reporting ----


def test_reprs_and_properties(nch, n0):
    assert repr(nch) == "DcSolver(native BSIM4 Newton-Raphson solver)"
    r = nch.solve(0.8, 0.6)
    assert repr(r) == (
        f"DcResult(converged=True, ids={r.ids:.4e}, gm={r.gm:.4e}, gds={r.gds:.4e}, vth={r.vth:.4f}, "
        f"vds_int={r.vds_int:.4f}, iters={r.iterations})".replace("e-0", "e-")
    )
    assert repr(r).startswith("DcResult(converged=True, ids=1.9959e-4, gm=")
    for name in ("ids", "gm", "gds", "gmbs", "vth", "vdsat", "vgs_int", "vds_int", "vbs_int", "vd_int", "vs_int"):
        assert isinstance(getattr(r, name), float)
        with pytest.raises(AttributeError):
            setattr(r, name, 1.0)
    assert r.gm > 0 and r.gds > 0 and r.gmbs > 0 and 0 < r.vdsat < 0.6 and 0.2 < r.vth < 0.5
    assert isinstance(r.iterations, int) and r.converged is True
    # Every Newton iteration of the solve counts, the gmin ladder's included; a sweep's points
    # start from their neighbours and need far fewer.
    assert r.iterations > 20
    sweep = nch.sweep("vgs", 0.0, 1.2, 0.01, vd=0.6)
    assert sweep[0].iterations > 20 and sum(p.iterations for p in sweep[1:]) < 3 * (len(sweep) - 1)

    # A bias that is not a number is refused (test_non_finite_terminal_voltages_are_refused); one
    # that cannot be solved reports instead of raising.
    bad = nch.solve(0.8, 1e30)
    assert repr(bad) == f"DcResult(converged=False, iters={bad.iterations})"
    # Finite but meaningless (a threshold of -2e28 V at vd = 1e30): not converged either.
    for solver in (nch, n0):
        assert [solver.solve(*bias).converged for bias in ((0.8, 1e30), (0.8, 0.6, 0.0, -1e12))] == [False] * 2
    assert [r.converged for r in nch.sweep("vds", 1e30, 0.0, -1e30, vg=0.8)] == [False, True]


def test_signatures_and_docstrings():
    assert DcSolver.__text_signature__ == (
        '(model_file, model_name, device_type="nmos", w=1e-6, l=130e-9, model_section=None)'
    )
    assert DcSolver.__doc__.startswith("Newton-Raphson DC operating-point solver backed by the native BSIM4 evaluator.")
    assert "morva.DcSolver(" in DcSolver.__doc__
    assert DcResult.__doc__ == "Result of a single `DcSolver.solve()` call."
    solve = DcSolver.solve.__doc__.splitlines()
    assert solve[0] == "solve(self, vg, vd, vs=0.0, vb=0.0)"
    assert "Solve for the DC operating point at the given terminal voltages." in solve
    for line in ("vg:  Gate voltage (V).", "vd:  Drain voltage (V).", "vs:  Source voltage (V, default 0.0).",
                 "vb:  Bulk voltage (V, default 0.0)."):
        assert "    " + line in solve
    sweep = DcSolver.sweep.__doc__.splitlines()
    assert sweep[0] == "sweep(self, sweep, start, stop, step, vg=0.0, vd=0.0, vs=0.0, vb=0.0)"
    assert "Sweep one terminal voltage, solving at each point." in sweep
    # ids is the channel current; the docstring says where the terminal current is.
    ids = " ".join(DcResult.ids.__doc__.split())
    assert ids.startswith("Channel current from drain to source (A)") and "native table's ``id``" in ids


# ---- threads ----


def test_threads_share_solvers_and_release_the_lock(lib, nch):
    pch = DcSolver(lib, "pch", w=W, l=L)
    points = [(0.3 + 0.01 * k, 0.05 + 0.01 * k) for k in range(60)]
    serial = {s: [s.solve(vg, vd).ids for vg, vd in points] for s in (nch, pch)}
    out, errors = {}, []

    def work(key, solver):
        try:
            out[key] = [solver.solve(vg, vd).ids for vg, vd in points]
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k, s)) for k, s in enumerate((nch, nch, pch, pch))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert out == {0: serial[nch], 1: serial[nch], 2: serial[pch], 3: serial[pch]}

    # While a long sweep runs on another thread, this one keeps running Python code.
    started = threading.Event()

    def long_sweep():
        started.set()
        nch.sweep("vgs", 0.0, 1.2, 1.2 / 3000, vd=0.6)

    t = threading.Thread(target=long_sweep)
    t.start()
    started.wait()
    spins = 0
    while t.is_alive():
        spins += 1
    t.join()
    assert spins > 1000
