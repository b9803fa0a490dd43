import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = pathlib.Path(os.environ.get("MORVA_SAMPLES", ROOT.parent / "shared" / "samples"))


@pytest.fixture
def samples_dir():
    """The shared sample files; tests that need them skip when absent."""
    if not SAMPLES.is_dir():
        pytest.skip("sample files not available")
    return SAMPLES
