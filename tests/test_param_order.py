"""`.param` values in the order ngspice evaluates them, on small kits run through ngspice itself.

ngspice sorts the definitions of a scope by the names they use before it evaluates them: a value may
name one defined after it (in a later line, a later include), the last definition of a name is the one
every reference sees, a subcircuit's header and body are one such scope over the top level, and a
definition naming its own name takes the value outside its scope. Definitions that name each other in a
circle, or chains nested past the depth it follows, it refuses whole. DcSolver's current (and the
native table's, for subcircuits) must be ngspice's; each refusal must be one that ngspice makes.
"""

import re
import shutil
import subprocess

import numpy as np
import pytest

import morva
from conftest import ngspice_terminal
from test_dc_solver import L, W, example_card
from test_kit_scoping import CARD

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

NGSPICE_STOPS = '; ngspice stops with "A level depth greater 1000 for dependent parameters is not supported"'
LEVEL_DEPTH = "A level depth greater 1000 for dependent parameters is not supported"


def reversed_chains(*lengths):
    """Chains of definitions, each written before the one it names, ending in a number."""
    text = ""
    for c, n in enumerate(lengths):
        text += "".join(f".param c{c}p{i}={{c{c}p{i + 1}+1}}\n" for i in range(n - 1)) + f".param c{c}p{n - 1}=1\n"
    return text


# (what, files with "{card}" for the example nch card with vth0={vth}, section, refusal or None).
KITS = [
    ("forward reference", {"kit.lib": ".param vth={base+dv}\n.param base=0.4 dv=0.02\n{card}"}, None, None),
    ("chain out of order", {"kit.lib": ".param vth={a*2}\n.param a={b+c}\n.param b={c/2}\n.param c=0.14\n{card}"},
     None, None),
    ("forward reference on one line", {"kit.lib": ".param vth={b} b=0.45\n{card}"}, None, None),
    ("redefinition after the card", {"kit.lib": ".param base=0.3\n.param vth={base+0.05}\n{card}.param base=0.42\n"},
     None, None),
    ("across an include and a section",
     {"kit.lib": ".lib tt\n.param vth={corner+0.4}\n.include 'card.inc'\n.include 'corner.inc'\n.endl tt\n",
      "card.inc": "{card}", "corner.inc": ".param corner=0.03\n"}, "tt", None),
    ("redefined by a later include",
     {"kit.lib": ".lib tt\n.param corner=0.5\n.param vth={corner+0.4}\n.include 'card.inc'\n.include 'corner.inc'\n"
                 ".endl tt\n", "card.inc": "{card}", "corner.inc": ".param corner=0.03\n"}, "tt", None),
    ("circle", {"kit.lib": ".param vth={u+0.1}\n.param u={vth-0.1}\n{card}"}, None,
     "circular parameter dependency in the top level: vth -> u -> vth (.param vth = {u+0.1})" + NGSPICE_STOPS),
    ("circle made by a redefinition", {"kit.lib": ".param x=0.1\n.param vth={x+0.32}\n.param x={vth-0.32}\n{card}"},
     None, "circular parameter dependency in the top level: vth -> x -> vth (.param vth = {x+0.32})" + NGSPICE_STOPS),
    ("circle in a section",
     {"kit.lib": ".lib tt\n.param vth={corner+0.4}\n.include 'card.inc'\n.include 'corner.inc'\n.endl tt\n",
      "card.inc": "{card}", "corner.inc": ".param corner={vth-0.4}\n"}, "tt",
     "circular parameter dependency in the top level: vth -> corner -> vth (.param vth = {corner+0.4})"
     + NGSPICE_STOPS),
    ("header of a subcircuit never used",
     {"kit.lib": ".subckt unused a b p={q} q={p}\nr1 a b {p}\n.ends\n.param vth=0.42\n{card}"}, None,
     "circular parameter dependency in the header of subcircuit 'unused': p -> q -> p (.param p = {q})"
     + NGSPICE_STOPS),
    ("chains nested past ngspice's depth", {"kit.lib": reversed_chains(600, 600) + ".param vth=0.42\n{card}"}, None,
     "parameter dependencies in the top level nested deeper than 1000 at .param c1p401 = {c1p402+1}" + NGSPICE_STOPS),
]


def write_kit(folder, files):
    card = example_card("nch").replace("vth0=0.42", "vth0={vth}", 1)
    for name, text in files.items():
        (folder / name).write_text(text.replace("{card}", card))
    return folder / "kit.lib"


def ngspice_id(folder, section):
    """ngspice's @m1[id] of nch at vgs = vds = 0.9 V with the kit, or its output when it gives none."""
    models = f".lib kit.lib {section}" if section else ".include kit.lib"
    (folder / "deck.cir").write_text(f"param order\n{models}\nm1 d g 0 0 nch w={W!r} l={L!r}\nvd d 0 0.9\n"
                                     "vg g 0 0.9\n.control\nset numdgt=17\nop\nprint @m1[id]\n.endc\n.end\n")
    run = subprocess.run(["ngspice", "-b", "deck.cir"], cwd=folder, capture_output=True, text=True, timeout=120)
    found = re.search(r"@m1\[id\] = (\S+)$", run.stdout, re.M)
    return float(found.group(1)) if found else run.stdout + run.stderr


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=2) as p:
        yield p


def generation_outcome(pool, cfg):
    try:
        return pool.generate_lut(cfg, cache=False).id.shape
    except (ValueError, RuntimeError) as e:
        return str(e)


@pytest.mark.parametrize("what, files, section, refusal", KITS, ids=[k[0] for k in KITS])
def test_top_level_values_and_refusals_are_ngspices(pool, tmp_path, what, files, section, refusal):
    lib = write_kit(tmp_path, files)
    reference = ngspice_id(tmp_path, section)
    if refusal is None:
        solver = morva.DcSolver(str(lib), "nch", w=W, l=L, model_section=section)
        assert solver.solve(vg=0.9, vd=0.9).ids == pytest.approx(reference, rel=1e-9)
        return
    assert LEVEL_DEPTH in reference
    with pytest.raises(RuntimeError, match=f"^failed to parse model file '{re.escape(str(lib))}': "
                                           f"{re.escape(refusal)}$"):
        morva.DcSolver(str(lib), "nch", w=W, l=L, model_section=section)
    # Both generation paths refuse it before any simulation.
    for native in (True, False):
        cfg = morva.LutConfig(model_file=str(lib), model_section=section, model_name="nch", widths_values=[W],
                              lengths_values=[L], vgs=(0.0, 0.9, 0.9), vds=(0.0, 0.9, 0.9), op_params=[],
                              use_native_bsim4=native)
        assert generation_outcome(pool, cfg) == refusal


@pytest.mark.parametrize("value, ngspice_says", [("{vth+0.01}", "Undefined parameter [vth]"),
                                                 ("{zz+0.4}", "Undefined parameter [zz]")])
def test_a_value_naming_its_own_name_or_nothing_is_refused(tmp_path, value, ngspice_says):
    lib = write_kit(tmp_path, {"kit.lib": f".param vth=0.42\n.param vth={value}\n{{card}}"})
    assert ngspice_says in ngspice_id(tmp_path, None)
    with pytest.raises(RuntimeError, match=r"^model 'nch': cannot evaluate vth0 = \{vth\}$"):
        morva.DcSolver(str(lib), "nch", w=W, l=L)


# A subcircuit whose body card takes vth0 from its scope: (what, header defaults, body lines, lines after
# the subcircuit, refusal or None).
SUBCIRCUITS = [
    ("header forward reference", "vthx={vb+dv} vb=0.4 dv=0.02", "", "", None),
    ("body values over a top level out of order", "", ".param vthx={vb*2}\n.param vb={g/2}\n",
     ".param g={h+0.02}\n.param h=0.4\n", None),
    ("body redefines a header default the header uses", "vthx={vb+0.02} vb=0.3", ".param vb=0.4\n", "", None),
    ("own name is the top level's", "", ".param vthx={vthx+0.02}\n", ".param vthx=0.4\n", None),
    ("circle between header and body", "vthx={vb+0.02}", ".param vb={vthx-0.02}\n", "",
     "circular parameter dependency in subcircuit 'nfet': vthx -> vb -> vthx (.param vthx = {vb+0.02})"
     + NGSPICE_STOPS),
]


@pytest.mark.parametrize("what, header, body, after, refusal", SUBCIRCUITS, ids=[c[0] for c in SUBCIRCUITS])
def test_subcircuit_scopes_are_ngspices(pool, tmp_path, what, header, body, after, refusal):
    card = (".model nfet__m nmos level=54 version=4.8.2 " + CARD["nmos"] + " toxe=4.1e-9 vth0={vthx}\n")
    lib = tmp_path / "kit.lib"
    lib.write_text(f".subckt nfet d g s b w=1e-6 l=0.18e-6 {header}\n{body}m0 d g s b nfet__m w={{w}} l={{l}}\n"
                   f"{card}.ends nfet\n{after}")
    vgs = vds = (0.0, 1.2, 0.3)
    cfg = morva.LutConfig(model_file=str(lib), model_name="nfet", subcircuit=True, widths_values=[1e-6],
                          lengths_values=[0.18e-6], vgs=vgs, vds=vds, op_params=[], use_native_bsim4=True)
    if refusal is not None:
        deck = tmp_path / "deck.cir"
        deck.write_text(f"refused\n.include {lib}\nX1 d g 0 0 nfet L=1.8e-7 W=1e-6\nvd d 0 0.9\nvg g 0 0.9\n.op\n.end\n")
        run = subprocess.run(["ngspice", "-b", str(deck)], capture_output=True, text=True, timeout=120)
        assert LEVEL_DEPTH in run.stdout + run.stderr
        assert generation_outcome(pool, cfg) == f"simulation failed: {refusal}"
        return
    table = pool.generate_lut(cfg, cache=False)
    reference = ngspice_terminal(tmp_path, lib, "nfet", 1e-6, 0.18e-6, 0.0, vgs, vds, subcircuit=True)[0]
    np.testing.assert_allclose(table.id, reference, rtol=1e-6, atol=1e-15)
