"""Design kits spread over files: corner sections redirecting into model files
that include their cards by relative paths. The native BSIM4 path reads them
as ngspice does, and flatten_pdk turns them into one self-contained text."""

import os
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

import morva
from test_characterisation import main_config
from test_pdk import raw_data

needs_ngspice = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

# Corner values are set in the corner file and used by cards two files away.
KIT_LIB = """\
* a design kit's corner file
.LIB TT
.param dvth_n = 0 mob = 1.0
.lib 'models/core.lib' mos_core
.ENDL TT
.LIB SS
.param dvth_n = 0.04 mob = 0.92
.lib 'models/core.lib' mos_core
.ENDL SS
"""

CORE_LIB = """\
.lib mos_core
.param toxn = 4.1n
.include 'devices/nfet.spice'
.inc "devices/pfet.spice"
.endl mos_core
"""

SHARED = ".param u0n = 0.035 k1n = '0.5 + 0.05'\n"

COMMON = ("+ toxe = toxn toxp = 3.7n toxm = toxn epsrox = 3.9 k1 = k1n k2 = 0.02 dvt0 = 2.2 dvt1 = 0.53\n"
          "+ ua = -1e-9 ub = 2.3e-18 uc = 5e-11 vsat = 8.5e4 rdsw = 150 nfactor = 1.2 pclm = 1.3 )\n")

NFET = f"""\
* n-channel cards, binned in length and width
.include '../params/shared.spice'
.model nch.1 nmos (level = 54 version = 4.8
+ lmin = 0.15u lmax = 0.5u wmin = 0.2u wmax = 2u
+ vth0 = '0.42 + dvth_n' u0 = {{u0n * mob}}
{COMMON}.model nch.2 nmos (level = 54 version = 4.8
+ lmin = 0.15u lmax = 0.5u wmin = 2u wmax = 100u
+ vth0 = '0.45 + dvth_n' u0 = '0.9 * u0n * mob'
{COMMON}.model nch.3 nmos (level = 54 version = 4.8
+ lmin = 0.5u lmax = 10u wmin = 0.2u wmax = 100u
+ vth0 = '0.39 + dvth_n' u0 = (u0n * mob * 1.05)
{COMMON}"""

PFET = """\
.model pch pmos level=54 version=4.8 toxe=toxn toxp=3.7n toxm=toxn epsrox=3.9
+ vth0='-0.42 - dvth_n' k1=k1n k2=0.02 dvt0=2.2 dvt1=0.53 u0='u0n / 4 * mob' ua=1e-9 ub=1e-18 uc=-5e-11
+ vsat=7.5e4 rdsw=400 nfactor=1.2 pclm=1.0
"""

# (W, L) pairs in each of the three bins.
SIZES = [(1e-6, 0.18e-6), (5e-6, 0.3e-6), (1e-6, 2e-6), (20e-6, 1e-6)]


@pytest.fixture
def kit(tmp_path):
    root = tmp_path / "kit"
    files = {
        "kit.lib": KIT_LIB,
        "models/core.lib": CORE_LIB,
        "models/params/shared.spice": SHARED,
        "models/devices/nfet.spice": NFET,
        "models/devices/pfet.spice": PFET,
        # Where the names would land resolved against the corner file's folder.
        "devices/nfet.spice": ".model nch nmos level=54 vth0=0.1\n",
        "params/shared.spice": ".param u0n = 0.01\n",
    }
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return pathlib.Path(os.path.realpath(root)) / "kit.lib"


def ngspice_currents(folder, models, devices):
    """ngspice -b .op of one transistor per (model, W, L, vg, vd) row, each with its
    own drain source; returns the drain currents."""
    lines = ["kit check", models]
    for k, (model, w, l, vg, vd) in enumerate(devices):
        lines += [f"m{k} d{k} g{k} 0 0 {model} w={w!r} l={l!r}", f"vd{k} d{k} 0 {vd!r}", f"vg{k} g{k} 0 {vg!r}"]
    lines += [".control", "set numdgt=17", "op", "print " + " ".join(f"i(vd{k})" for k in range(len(devices))),
              ".endc", ".end"]
    (folder / "op.cir").write_text("\n".join(lines) + "\n")
    run = subprocess.run(["ngspice", "-b", "op.cir"], cwd=folder, capture_output=True, text=True, timeout=60)
    found = dict(re.findall(r"^i\(vd(\d+)\) = (\S+)$", run.stdout, re.M))
    assert len(found) == len(devices), run.stdout + run.stderr
    return [-float(found[str(k)]) for k in range(len(devices))]


@needs_ngspice
@pytest.mark.parametrize("corner", ["tt", "SS"])
def test_dc_solver_reads_the_kit_as_ngspice_does(kit, tmp_path, corner):
    devices = [("nch", w, l, 0.9, 1.0) for w, l in SIZES] + [("pch", 2e-6, 0.3e-6, -1.0, -0.8)]
    # ngspice runs elsewhere, so only the including files' folders resolve the names.
    reference = ngspice_currents(tmp_path, f".lib '{kit}' {corner}", devices)
    for (model, w, l, vg, vd), expected in zip(devices, reference):
        sign = -1.0 if model == "pch" else 1.0
        solver = morva.DcSolver(str(kit), model, w=w, l=l, model_section=corner)
        result = solver.solve(vg=sign * vg, vd=sign * vd)
        assert result.converged
        assert result.ids == pytest.approx(expected, rel=1e-6, abs=1e-12), (model, w, l)
    # The corner's values reach the cards: the slow corner conducts less.
    if corner == "SS":
        tt = ngspice_currents(tmp_path, f".lib '{kit}' tt", devices[:1])[0]
        assert reference[0] < 0.9 * tt


@needs_ngspice
def test_native_characterisation_uses_the_kit(kit, capfd):
    small = dict(model_section="tt", widths_values=[1e-6, 5e-6], lengths_values=[0.18e-6, 2e-6], vbs_values=[0.0],
                 vgs=(0.0, 1.5, 0.1), vds=(0.0, 1.5, 0.1), op_params=["vth"])
    with morva.SimulationPool(workers=2) as pool:
        native = pool.generate_lut(main_config(str(kit), use_native_bsim4=True, **small), cache=False)
        out, err = capfd.readouterr()
        pooled = pool.generate_lut(main_config(str(kit), **small), cache=False)
    assert err == f"  [native] parsing section 'tt' from {kit}\n"
    assert "falling back" not in out
    assert "bins: [nch.1, nch.2, nch.3]" in out.splitlines()[0]
    assert native.shape == pooled.shape == (2, 1, 2, 16, 16)
    # The pool's Id also carries the junctions' and gmin's leakage.
    for name in ["id", "vth"]:
        np.testing.assert_allclose(getattr(native, name), getattr(pooled, name), rtol=1e-3, atol=1e-11,
                                   err_msg=name)


DECK = """\
flattened kit check
{models}
m1 d1 g 0 0 nch w=1u l=0.18u
m2 d2 g 0 0 nch w=5u l=0.3u
m3 d3 g 0 0 nch w=1u l=2u
m4 d4 gp 0 0 pch w=2u l=0.3u
vd1 d1 0 0
vd2 d2 0 dc 0.6
vd3 d3 0 dc 0.9
vd4 d4 0 dc -0.7
eg gp 0 g 0 -1
vg g 0 0
.dc vg 0 1.2 0.1 vd1 0 1.2 0.3
.end
"""


@needs_ngspice
def test_flattened_text_simulates_alike_anywhere(kit, tmp_path):
    """ngspice gives the same numbers, bit for bit, from the kit and from its
    flattened text placed in another folder."""
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "flat.lib").write_text(morva.flatten_pdk(kit, "SS"))
    raw = {}
    for name, models in {"kit": f".lib '{kit}' SS", "flat": ".include 'flat.lib'"}.items():
        (elsewhere / f"{name}.cir").write_text(DECK.format(models=models))
        run = subprocess.run(["ngspice", "-b", "-r", f"{name}.raw", f"{name}.cir"], cwd=elsewhere,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0 and "error" not in (run.stdout + run.stderr).lower(), run.stdout + run.stderr
        raw[name] = raw_data(elsewhere / f"{name}.raw")
    assert len(raw["flat"]) > 2000
    assert raw["flat"] == raw["kit"]


def test_flattened_text_inlines_includes(kit, tmp_path):
    text = morva.flatten_pdk(kit, "tt")
    body = text.split("\n", 1)[1]
    assert body == (
        ".param dvth_n = 0 mob = 1.0\n"
        "* >>> nested .lib 'models/core.lib' mos_core (expanded)\n"
        ".param toxn = 4.1n\n"
        "* >>> nested .include 'devices/nfet.spice' (expanded)\n"
        "* n-channel cards, binned in length and width\n"
        "* >>> nested .include '../params/shared.spice' (expanded)\n"
        f"{SHARED}"
        "* <<< end ../params/shared.spice\n"
        f"{NFET.split(chr(10), 2)[2].rstrip()}\n"
        "* <<< end devices/nfet.spice\n"
        "* >>> nested .include 'devices/pfet.spice' (expanded)\n"
        f"{PFET.rstrip()}\n"
        "* <<< end devices/pfet.spice\n"
        "* <<< end mos_core\n"
    )

    # Includes are files too: missing, cyclic or not regular, they fail the call.
    devices = kit.parent / "models" / "devices"
    cases = [
        (".include 'absent.spice'", f"reading PDK file {devices}/absent.spice: No such file or directory (os error 2)"),
        (".include pfet.spice", f"cycle detected while flattening PDK: revisited file {devices}/pfet.spice"),
        (".include /dev/zero", "reading PDK file /dev/zero: not a regular file"),
    ]
    for line, message in cases:
        (devices / "pfet.spice").write_text(PFET + line + "\n")
        with pytest.raises(OSError) as info:
            morva.flatten_pdk(kit, "tt")
        assert str(info.value) == message
