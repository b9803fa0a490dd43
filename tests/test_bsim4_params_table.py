"""The committed BSIM4 parameter lists are what the generator makes of the reference table."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
REFERENCE = pathlib.Path(os.environ.get("MORVA_BSIM4_REFERENCE", ROOT.parent / "shared" / "bsim4"))


def test_generated_parameter_lists_are_current():
    table = REFERENCE / "parameters.tsv"
    if not table.is_file():
        pytest.skip("BSIM4 reference table not available")
    result = subprocess.run(
        [sys.executable, str(ROOT / "bsim4_model" / "gen" / "gen_params.py"), "--check", str(table),
         str(ROOT / "bsim4_model" / "bsim4_params.inc")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
