"""What a new user meets first: the README's examples run as written, the
reference's recipe for quieting the output works, and the installed package
carries current type stubs that mypy reads."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import morva

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(morva.__file__).parent


def python_blocks(path):
    """The ```python blocks of a Markdown file, in order."""
    return re.findall(r"^```python\n(.*?)^```", path.read_text(), re.S | re.M)


def test_readme_examples_run(tmp_path):
    # Each example of the tour runs as it stands, from the repository root.
    if shutil.which("ngspice") is None:
        pytest.skip("ngspice not installed")
    blocks = python_blocks(ROOT / "README.md")
    assert len(blocks) >= 5, "the README's tour has an example per tool"
    # The repository root as the examples see it, with the cache and the page
    # they write kept out of the real home and tree.
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "tmp").mkdir()
    env = dict(os.environ, HOME=str(tmp_path), TMPDIR=str(tmp_path / "tmp"))
    printed = ""
    for i, block in enumerate(blocks):
        out = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, env=env, capture_output=True,
                             text=True, timeout=600)
        assert out.returncode == 0, f"README example {i + 1}:\n{out.stderr[-3000:]}"
        printed += out.stdout
    assert "['in', 'out']" in printed
    # The page goes to the temporary folder, not into the user's tree.
    assert (tmp_path / "tmp" / "waves.html").stat().st_size > 0
    assert not (tmp_path / "waves.html").exists()


def test_quiet_recipe_silences_native_output(tmp_path):
    # The reference's recipe for quieting a generation: its progress is
    # written by native code to file descriptor 1, past sys.stdout.
    if shutil.which("ngspice") is None:
        pytest.skip("ngspice not installed")
    recipe = [b for b in python_blocks(ROOT / "docs" / "reference.md") if "def quiet(" in b]
    assert len(recipe) == 1, "docs/reference.md shows one quiet() recipe"
    script = "import sys\n\nimport morva\n" + recipe[0] + textwrap.dedent(f"""
        cfg = morva.LutConfig(model_file={str(ROOT / "examples" / "bsim4_180nm.lib")!r}, model_name="nch",
                              vgs=(0.0, 1.8, 0.1), vds=(0.0, 1.8, 0.1))
        with morva.SimulationPool(workers=1) as pool:
            with quiet():
                lut = pool.generate_lut(cfg, cache=False)
            print("quiet:", lut.shape)
            with quiet(1, 2):
                pool.generate_lut(cfg, cache=False)
                print("lost")
                print("lost too", file=sys.stderr)
            print("loud again")
        """)
    env = dict(os.environ, HOME=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout == "quiet: (1, 1, 1, 19, 19)\nloud again\n"
    assert "lost" not in out.stderr


def test_demo_prints_the_body_bias_it_names(capsys, tmp_path, monkeypatch):
    # The demo's tables sweep Vbs over [0, -0.4] V: its rows labelled Vbs = 0
    # and its sizing must use 0 V, not the sorted axis' first value.
    if shutil.which("ngspice") is None:
        pytest.skip("ngspice not installed")
    import importlib.util
    import tempfile

    # The CSV the demo writes to the temporary folder goes to this test's.
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))

    spec = importlib.util.spec_from_file_location("morva_demo", ROOT / "examples" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    with morva.SimulationPool(workers=1) as pool:
        demo._tables.append(("nmos", pool.generate_lut(morva.LutConfig(
            model_file=demo.DEMO_CARD, model_name="nch", device_type="nmos", widths_values=[1e-6],
            lengths_values=[1.8e-7, 5e-7, 2e-6], vgs=(0.0, 1.8, 0.05), vds=(0.0, 1.8, 0.1),
            vbs_values=[0.0, -0.4], op_params=["cgg", "cgs", "cgd"]), cache=False)))
    capsys.readouterr()
    demo.characterisation()
    demo.gm_id_sizing()
    out = capsys.readouterr().out
    name, lut = demo._tables[0]
    dev = lut.slice(vbs=0.0, length=1.8e-7)
    g = min(range(len(dev.vgs)), key=lambda i: abs(dev.vgs[i] - 0.6))
    d = len(dev.vds) // 2
    row = f"{0.18:7.2f} {dev.vgs[g]:+8.2f} {dev.id_density[g, d]:11.3e} {dev.gm_over_id[g, d]:12.2f}"
    assert "Vbs = 0," in out and row in out
    assert f"{lut.design(gm_id=15.0, gain=30.0, ids=100e-6, vbs=0.0)!r}" in out
    assert (tmp_path / "morva_demo_nmos.csv").stat().st_size > 0


def test_example_result_files_are_the_writers_output(tmp_path):
    # examples/write_results.py writes the files next to itself: run a copy.
    pytest.importorskip("blosc")
    np = pytest.importorskip("numpy")
    script = tmp_path / "examples" / "write_results.py"
    script.parent.mkdir()
    shutil.copy(ROOT / "examples" / "write_results.py", script)
    # Its writers come from the tests folder next to it.
    (tmp_path / "tests").symlink_to(ROOT / "tests")
    subprocess.run([sys.executable, str(script)], check=True, timeout=120)
    # The same names and values (the writers' layout may change).
    made, shipped = script.parent, ROOT / "examples"
    for name in ("rc.tran", "rc_xl.tran"):
        assert morva.PsfFile(str(made / name)).signal_names() == morva.PsfFile(str(shipped / name)).signal_names()
    for signal in ("in", "out"):
        for a, b in zip(morva.PsfFile(str(made / "rc.tran")).waveform(signal),
                        morva.PsfFile(str(shipped / "rc.tran")).waveform(signal)):
            assert np.array_equal(a, b)
    for record in (200, 201):
        for a, b in zip(morva.NgpsfFile(str(made / "rc_xl.tran.psfxl")).decode_waveform(record),
                        morva.NgpsfFile(str(shipped / "rc_xl.tran.psfxl")).decode_waveform(record)):
            assert np.array_equal(a, b)


def test_stubs_ship_and_are_current(tmp_path):
    stub = PACKAGE / "morva.pyi"
    assert (PACKAGE / "py.typed").is_file() and stub.is_file()
    # Regenerated from the installed module the way the build makes them.
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-i", str(PACKAGE), "-m", "morva",
                    "--include-private", "-p", str(ROOT / "src" / "python" / "stub_patterns.txt"),
                    "-o", str(tmp_path / "morva.pyi")], check=True, timeout=120, cwd=tmp_path)
    assert (tmp_path / "morva.pyi").read_text() == stub.read_text()
    # Every public name of the compiled module has a stub.
    text = stub.read_text()
    missing = [n for n in morva.__all__ if not re.search(rf"^(class|def) {n}\b", text, re.M)]
    assert missing == ["SimulationPool", "Lut"]  # the Python layer's, typed from their source
    # inspect.signature cannot read compiled callables: the docstring's first
    # line carries the signature instead.
    for f in (morva.flatten_pdk, morva.run_pdsdm, morva.DcSolver.solve, morva.PsfFile.waveform):
        assert f.__doc__.startswith(f.__name__ + "("), f.__name__


def test_mypy_passes_on_the_demo(tmp_path):
    pytest.importorskip("mypy")
    out = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), str(ROOT / "examples" / "demo.py")],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stdout
    # The names come from the stubs, not from an untyped module.
    probe = tmp_path / "probe.py"
    probe.write_text("import morva\nmorva.PsfFile(1, 2)\nmorva.no_such_name\n")
    out = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), str(probe)],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert 'Module has no attribute "no_such_name"' in out.stdout
    assert "Too many arguments" in out.stdout
