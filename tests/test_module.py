"""The module frame: import, registration order, NumPy independence, the
OSError classes of file errors."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import morva
import morva.morva as native
from test_psfxl import Companion, stored_frame

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


# ---- file errors: the OSError subclass of the errno, with errno and filename ----

OPENERS = {
    "PsfFile": "morva.PsfFile(path)",
    "NgpsfFile": "morva.NgpsfFile(path)",
    "DcSolver": "morva.DcSolver(path, 'nch')",
    "flatten_pdk": "morva.flatten_pdk(path, 'tt')",
    "plot_records_html": "morva.NgpsfFile(wave).plot_records_html([1], path + '/page.html')",
    "serve": "morva.NgpsfFile(wave).serve(port=1, companion=path)",
}
# How each message leads to the system's own text: the file is named.
LEADS = {
    "PsfFile": "reading PSF file {}: ",
    "NgpsfFile": "reading PSFXL file {}: ",
    "DcSolver": "failed to parse model file '{}': BSIM4 model-file I/O error: ",
    "flatten_pdk": "reading PDK file {}: ",
    "plot_records_html": "writing HTML file {}/page.html: ",
    "serve": "reading PSF file {}: ",
}
# (case, class, errno); the unreadable file is read by an unprivileged user.
FILE_CASES = [("missing", "FileNotFoundError", 2), ("directory", "IsADirectoryError", 21),
              ("unreadable", "PermissionError", 13)]
CHILD = """
import json, sys, morva
wave, paths, openers = json.loads(sys.argv[1])
rows = {}
for name, code in openers.items():
    for case, path in paths.items():
        try:
            eval(code)
            rows[f"{name} {case}"] = None
        except Exception as e:
            rows[f"{name} {case}"] = [type(e).__name__, isinstance(e, OSError), isinstance(e, RuntimeError),
                                      getattr(e, "errno", None), getattr(e, "filename", None), str(e)]
print(json.dumps(rows))
"""


@pytest.fixture(scope="module")
def file_errors():
    # Straight under the temporary folder, so that an unprivileged child reaches it.
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        folder.chmod(0o755)
        yield run_openers(folder)


def run_openers(folder):
    wave = folder / "wave.psfxl"
    Companion().pair(1, stored_frame([0.0, 1.0]), stored_frame([2.0, 3.0]), 2).write(wave)
    wave.chmod(0o644)
    (folder / "dir").mkdir()
    (folder / "locked").write_text("x")
    (folder / "locked").chmod(0)
    paths = {"missing": str(folder / "absent"), "directory": str(folder / "dir"), "unreadable": str(folder / "locked")}
    command = [sys.executable, "-c", CHILD, json.dumps([str(wave), paths, OPENERS])]
    if os.geteuid() == 0 and shutil.which("setpriv"):
        out = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command,
                             capture_output=True, text=True, timeout=60)
        if out.returncode == 0:
            return json.loads(out.stdout), paths
    # Root reads every file: without an unprivileged user the unreadable rows go.
    out = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    rows = json.loads(out.stdout)
    if os.geteuid() == 0:
        rows = {k: v for k, v in rows.items() if not k.endswith(("unreadable", "plot_records_html directory"))}
    return rows, paths


@pytest.mark.parametrize("opener", OPENERS)
@pytest.mark.parametrize("case, cls, errno", FILE_CASES)
def test_file_errors_are_the_errno_subclass(file_errors, opener, case, cls, errno):
    rows, paths = file_errors
    if opener == "plot_records_html":
        # A page in a folder that is missing, another user's, or a file.
        cls, errno = {"missing": ("FileNotFoundError", 2), "directory": ("PermissionError", 13),
                      "unreadable": ("NotADirectoryError", 20)}[case]
    row = rows.get(f"{opener} {case}")
    if row is None:
        pytest.skip("no unprivileged user to be refused")
    name, is_os_error, is_runtime_error, got_errno, filename, text = row
    assert (name, is_os_error, got_errno) == (cls, True, errno)
    assert filename.startswith(paths[case])
    # The library's own text, naming the file; DcSolver's errors stay RuntimeErrors too.
    assert is_runtime_error == (opener == "DcSolver")
    assert text == LEADS[opener].format(filename if opener == "flatten_pdk" else paths[case]) + \
        f"{os.strerror(errno)} (os error {errno})"
