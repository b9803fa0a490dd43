"""The module frame: import, registration order, NumPy independence."""

import subprocess
import sys

import morva
import morva.morva as native

# The full registration order of the compiled module.
REGISTRATION_ORDER = [
    "_SimulationPool",
    "_run_worker",
    "LutConfig",
    "TransistorLut",
    "DesignResult",
    "lut_cache_key",
    "lut_cache_path",
    "load_cached_lut",
    "save_cached_lut",
    "SimulationResult",
    "PdsdmResult",
    "SarResult",
    "run_pdsdm",
    "run_pdsdm_oversampled",
    "run_sar_trim",
    "decimate_bitstream",
    "bs_to_phase",
    "DcResult",
    "DcSolver",
    "flatten_pdk",
    "PsfFile",
    "NgpsfFile",
]


def native_names():
    return [n for n in vars(native) if not n.startswith("__")]


def test_names_follow_registration_order():
    names = native_names()
    unknown = [n for n in names if n not in REGISTRATION_ORDER]
    assert unknown == []
    assert names == [n for n in REGISTRATION_ORDER if n in names]


def test_all_names_registered():
    missing = [n for n in REGISTRATION_ORDER if not hasattr(native, n)]
    if missing:
        import pytest

        pytest.skip(f"not yet registered: {missing}")
    assert native_names() == REGISTRATION_ORDER


def test_package_reexports_compiled_names():
    for name in native_names():
        assert getattr(morva, name) is getattr(native, name)


def test_import_does_not_import_numpy():
    code = "import sys, morva, morva._main; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_second_import_is_the_same_module():
    import importlib

    again = importlib.import_module("morva.morva")
    assert again is native
    # Also when the module was dropped from the module table: initialising it
    # again hands back the same, fully registered object.
    code = (
        "import importlib, sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import morva.morva as first\n"
        "del sys.modules['morva.morva']\n"
        "second = importlib.import_module('morva.morva')\n"
        "print(second is first, hasattr(second, 'SimulationResult'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (out.stdout.split(), out.stderr) == (["True", "True"], "")
