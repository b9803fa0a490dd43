"""A model or size the kit cannot serve is refused before any simulation, where ngspice refuses it.

Each case runs ngspice itself on the device line a generation writes: where ngspice finds no model
(or subcircuit), the generation raises ValueError before it sends anything; where ngspice finds one,
the generation builds its table.
"""

import os
import re
import shutil

import pytest

import morva
from conftest import ngspice_builds

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

BINS = """.model nch.1 nmos (level=54 version=4.8 lmin=0.18u lmax=0.5u wmin=0.22u wmax=50u vth0=0.4)
.model nch.2 nmos (level=54 version=4.8 lmin=0.5u lmax=50u wmin=0.22u wmax=50u vth0=0.45)
"""
SUBCKT = """.param dl=0.01u
.subckt mac d g s b w=1u l=0.18u
m0 d g s b nch w='w*1' l='l+dl'
.ends mac
"""
SCALE = ".option scale=1u\n"
LOOSE = ".model nch.1 nmos (level=54 version=4.8 lmin=0.1u lmax=1u)\n"
NOT_A_BIN = ".model nch.tt nmos (level=54 version=4.8 lmin=0.1u lmax=1u wmin=0.1u wmax=10u)\n"
BSIM3 = ".model nch.1 nmos (level=49 version=3.3.0 lmin=0.1u lmax=1u wmin=0.1u wmax=10u)\n"
NO_DEVICE_MODEL = ".subckt mac d g s b w=1u l=1u\nm0 d g s b nfoo w=w l=l\n.ends mac\n"
# The device's size as ngspice evaluates the subcircuit: the L passed beats a body .param, a header
# default may use it, and with wnflag the width is binned per finger.
BODY_PARAM = ".subckt mac d g s b w=1u l=1u\n.param l=60u\nm0 d g s b nch w=w l=l\n.ends mac\n"
HEADER_USES_L = ".subckt mac d g s b w=1u l=1u lx='l*100'\nm0 d g s b nch w=w l=lx\n.ends mac\n"
PER_FINGER = ".subckt mac d g s b w=1u l=1u\nm0 d g s b nch w=w l=l nf=2 wnflag=1\n.ends mac\n"
INVERTED = ".model nch.1 nmos (level=54 version=4.8 lmin=2u lmax=0.5u wmin=0.1u wmax=10u)\n"

# (what, kit, model_name, subcircuit, W, L, whether ngspice builds the device)
CASES = [
    ("in a bin", BINS, "nch", False, 1e-6, 0.18e-6, True),
    ("no such model", BINS, "nhc", False, 1e-6, 0.18e-6, False),
    ("beyond every bin", BINS, "nch", False, 1e-6, 60e-6, False),
    ("0.5 nm below a bin", BINS, "nch", False, 1e-6, 0.1795e-6, True),
    ("2 nm below a bin", BINS, "nch", False, 1e-6, 0.178e-6, False),
    ("narrower than every bin", BINS, "nch", False, 0.1e-6, 1e-6, False),
    ("metres under .option scale", SCALE + BINS, "nch", False, 1e-6, 0.18e-6, False),
    ("micrometres under .option scale", SCALE + BINS, "nch", False, 1.0, 0.18, True),
    ("a bin that gives no W limits", LOOSE, "nch", False, 1e-6, 0.5e-6, False),
    ("a suffix that is not a bin number", NOT_A_BIN, "nch", False, 1e-6, 0.5e-6, False),
    ("BSIM3 bins", BSIM3, "nch", False, 1e-6, 0.5e-6, True),
    ("beyond BSIM3 bins", BSIM3, "nch", False, 1e-6, 5e-6, False),
    ("a subcircuit named as a model", BINS + SUBCKT, "mac", False, 1e-6, 0.18e-6, False),
    ("a model named as a subcircuit", BINS + SUBCKT, "nch", True, 1e-6, 0.18e-6, False),
    ("no such subcircuit", BINS + SUBCKT, "mux", True, 1e-6, 0.18e-6, False),
    ("a subcircuit's device in a bin", BINS + SUBCKT, "mac", True, 1e-6, 0.49e-6, True),
    ("a subcircuit's device beyond the bins", BINS + SUBCKT, "mac", True, 1e-6, 49.995e-6, False),
    ("a subcircuit's device under .option scale", SCALE + BINS + SUBCKT.replace("0.01u", "0.01"), "mac", True,
     1.0, 49.98, True),
    ("a subcircuit whose device model is missing", NO_DEVICE_MODEL, "mac", True, 1e-6, 1e-6, False),
    ("a passed L over a body .param", BINS + BODY_PARAM, "mac", True, 1e-6, 1e-6, True),
    ("a header default from the passed L", BINS + HEADER_USES_L, "mac", True, 1e-6, 0.4e-6, True),
    ("beyond the bins from the passed L", BINS + HEADER_USES_L, "mac", True, 1e-6, 0.6e-6, False),
    ("a W per finger in a bin", BINS + PER_FINGER, "mac", True, 80e-6, 1e-6, True),
    ("a W per finger beyond the bins", BINS + PER_FINGER, "mac", True, 120e-6, 1e-6, False),
    ("limits the wrong way round, at an edge", INVERTED, "nch", False, 1e-6, 2e-6, True),
    ("limits the wrong way round, between them", INVERTED, "nch", False, 1e-6, 1e-6, False),
]

@pytest.fixture(scope="module")
def pool(tmp_path_factory):
    # ngspice writes a BSIM3 card's check log (b3v33check.log) into its working folder: the
    # workers of this module start in one of its own.
    home = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("workers"))
    try:
        with morva.SimulationPool(workers=2) as p:
            yield p
    finally:
        os.chdir(home)


@pytest.mark.parametrize("what, text, model, subcircuit, w, l, builds", CASES, ids=[c[0] for c in CASES])
def test_refused_exactly_where_ngspice_refuses(pool, tmp_path, capfd, what, text, model, subcircuit, w, l, builds):
    kit = tmp_path / "kit.lib"
    kit.write_text(text)
    assert ngspice_builds(tmp_path, f".include {kit}", model, subcircuit, w, l) == builds
    cfg = morva.LutConfig(model_file=str(kit), model_name=model, subcircuit=subcircuit, widths_values=[w],
                          lengths_values=[l], vgs=(0.0, 1.0, 0.5), vds=(0.0, 1.0, 0.5))
    capfd.readouterr()
    if builds:
        assert pool.generate_lut(cfg, cache=False).id.shape == (3, 3)
        return
    with pytest.raises(ValueError, match=rf"^(model|subcircuit|no bin of model) '[^']+'.* in '{re.escape(str(kit))}'"):
        pool.generate_lut(cfg, cache=False)
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")  # nothing planned, probed or retried


def test_the_model_may_come_from_model_includes(pool, tmp_path):
    params, models = tmp_path / "params.lib", tmp_path / "models.lib"
    params.write_text(".param corner=0\n")
    models.write_text(".lib tt\n" + BINS + ".endl tt\n")
    kw = dict(model_file=str(params), model_includes=[(str(models), "tt")], widths_values=[1e-6],
              vgs=(0.0, 1.0, 0.5), vds=(0.0, 1.0, 0.5))
    assert pool.generate_lut(morva.LutConfig(model_name="nch", lengths_values=[0.18e-6], **kw),
                             cache=False).id.shape == (3, 3)
    with pytest.raises(ValueError, match=rf"^model 'nhc' not found in '{re.escape(str(params))}' or its "
                                         r"model_includes$"):
        pool.generate_lut(morva.LutConfig(model_name="nhc", **kw), cache=False)
    with pytest.raises(ValueError, match=r"^no bin of model 'nch' in .* or its model_includes holds W = 1e-6 m, "
                                         r"L = 6e-5 m; its bins"):
        pool.generate_lut(morva.LutConfig(model_name="nch", lengths_values=[60e-6], **kw), cache=False)


@pytest.mark.parametrize("native", [False, True])
def test_model_includes_alone_are_checked_too(pool, tmp_path, capfd, native):
    """Without a model_file the includes are the kit, refused as the same kit as model_file is."""
    models = tmp_path / "models.lib"
    models.write_text(".lib tt\n" + BINS + ".endl tt\n")
    kw = dict(model_includes=[(str(models), "tt")], widths_values=[1e-6], vgs=(0.0, 1.0, 0.5),
              vds=(0.0, 1.0, 0.5), use_native_bsim4=native)
    assert pool.generate_lut(morva.LutConfig(model_name="nch", lengths_values=[0.18e-6], **kw),
                             cache=False).id.shape == (3, 3)
    capfd.readouterr()
    where = f"model_includes '{re.escape(str(models))}'"
    with pytest.raises(ValueError, match=rf"^model 'nhc' not found in {where}$"):
        pool.generate_lut(morva.LutConfig(model_name="nhc", **kw), cache=False)
    with pytest.raises(ValueError, match=rf"^no bin of model 'nch' in {where} holds W = 1e-6 m, L = 6e-5 m; its bins"):
        pool.generate_lut(morva.LutConfig(model_name="nch", lengths_values=[60e-6], **kw), cache=False)
    out, err = capfd.readouterr()
    assert "W ×" not in out and "[retry]" not in err  # nothing planned, probed or retried
