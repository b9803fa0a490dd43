"""What a type checker sees of the package: typed stubs of the compiled module
(arrays as float64 NDArrays, results as their classes, typed parameters) and
an annotated Python layer, checked with mypy on user scripts."""

import ast
import subprocess
import sys

import pytest

import morva.morva as native

pytest.importorskip("mypy")

STUB = native.__file__.rsplit("/", 1)[0] + "/morva.pyi"

# A designer's script: every line must pass `mypy --strict`.
GOOD = """\
import numpy as np
import numpy.typing as npt

import morva

cfg = morva.LutConfig(widths_values=[1e-6], lengths_values=[1.8e-7], vgs=(0.0, 1.8, 0.05), op_params=["vth"])
with morva.SimulationPool(workers=2) as pool:
    lut: morva.Lut = pool.generate_lut(cfg, cache=False)
    res: morva.SimulationResult = pool.run_simulation("x\\n.end\\n", ["run"], id="a")
    out: npt.NDArray[np.float64] = res.vector("out")
    batch: list[morva.SimulationResult] = pool.run_simulations_batch([("x\\n.end\\n", ["run"])])
first: float = float(lut.id[0, 1]) + float(lut.gm_over_id[0, 1])
# Axes as arrays: a sweep of NumPy's, or a table's own.
wider = morva.LutConfig(widths_values=np.linspace(1e-6, 4e-6, 4), lengths_values=lut.lengths,
                        vbs_values=np.array([0.0, -0.3]))
table: morva.TransistorLut = lut.table
grid: float = float(table.id[0, 1]) + float(table.gm[0, 1, 2]) + float(table.vth[0, 0, 0, 1, 1])
axis: npt.NDArray[np.float64] | None = table.lengths
shape: tuple[int, int, int, int, int] = lut.shape
sized: morva.DesignResult = lut.design(gm_id=15.0, ids=1e-4)
sub: morva.Lut = lut.slice(length=1.8e-7)
cached: morva.TransistorLut | None = morva.load_cached_lut(morva.lut_cache_key(cfg))
solver = morva.DcSolver("m.lib", "nch", w=1e-6, l=1.8e-7)
op: morva.DcResult = solver.solve(0.9, 0.9)
curve: list[morva.DcResult] = solver.sweep("vgs", 0.0, 1.8, 0.1, vd=0.9)
loop: morva.PdsdmResult = morva.run_pdsdm(42.0, 0.1, 1e6, 1e-4, 1e-11, 100, 12.0, 72.0)
bits: npt.NDArray[np.int32] = loop.bitstream
means: npt.NDArray[np.float64] = morva.decimate_bitstream(loop.bitstream, 4)
phase: float = morva.bs_to_phase(loop.bitstream_mean(), 12.0, 72.0)
trim: morva.SarResult = morva.run_sar_trim(1e-6, 1e-8)
time, values = morva.PsfFile("rc.tran").waveform("out")
t2, v2 = morva.NgpsfFile("rc.psfxl").decode_waveform(201)
"""

# Faults a type checker must report: (line, the part of mypy's message that
# names the fault).
BAD = [
    ('morva.LutConfig(widths_values="oops")',
     'Argument "widths_values" to "LutConfig" has incompatible type "str"'),
    ("morva.LutConfig(vgs=[0.0, 1.8, 0.05])", 'Argument "vgs" to "LutConfig" has incompatible type "list[float]"'),
    ("n: int = morva.SimulationPool().generate_lut(morva.LutConfig()).id",
     'variable has type "int"'),
    ("s: str = morva.DcSolver('m.lib', 'nch').solve(0.9, 0.9)", 'expression has type "DcResult"'),
    ("b: str = morva.bs_to_phase(0.5, 1.0, 2.0)", 'expression has type "float", variable has type "str"'),
    ("p: int = morva.run_pdsdm(42.0, 0.1, 1e6, 1e-4, 1e-11, 100, 12.0, 72.0)", 'expression has type "PdsdmResult"'),
    ("d: list[str] = morva.DcSolver('m.lib', 'nch').sweep('vgs', 0.0, 1.0, 0.1)",
     'expression has type "list[DcResult]"'),
    ("q: str = morva.SimulationPool()", 'expression has type "SimulationPool"'),
    ("morva.run_pdsdm(42.0, 0.1, 1e6, 1e-4, 1e-11, 1.5, 12.0, 72.0)", 'Argument 6 to "run_pdsdm"'),
    ("morva.SimulationPool().run_simulation(3, ['run'])", 'Argument 1 to "run_simulation" of "SimulationPool"'),
    ("morva.Lut(3)", 'Argument 1 to "Lut" has incompatible type "int"'),
]


def mypy(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *args],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)


def test_a_user_script_type_checks(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    out = mypy(tmp_path, "--strict", "good.py")
    assert out.returncode == 0, out.stdout


def test_wrong_types_are_reported(tmp_path):
    (tmp_path / "bad.py").write_text("import morva\n" + "".join(line + "\n" for line, _ in BAD))
    out = mypy(tmp_path, "bad.py")
    for number, (line, message) in enumerate(BAD, start=2):
        reported = [m for m in out.stdout.splitlines() if m.startswith(f"bad.py:{number}: error:")]
        assert any(message in m for m in reported), (line, reported)
    assert out.stdout.count(": error:") == len(BAD), out.stdout


def test_the_python_layer_is_annotated(tmp_path):
    out = mypy(tmp_path, "--strict", "--follow-imports=silent", "-m", "morva", "-m", "morva.pool", "-m", "morva.lut")
    assert out.returncode == 0, out.stdout


def runtime_object(qualname):
    obj = native
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


def stub_declarations():
    """(qualified name, function node, is property) of every def in the stubs."""
    tree = ast.parse(open(STUB).read())
    for node in tree.body:
        members = [(node.name + ".", n) for n in node.body] if isinstance(node, ast.ClassDef) else [("", node)]
        for prefix, fn in members:
            if isinstance(fn, ast.FunctionDef):
                is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)
                yield prefix + fn.name, fn, is_property


def parameters(fn):
    """(name, kind, default) of each parameter of a def node."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    out = [(p.arg, "positional", d) for p, d in zip(positional, defaults)]
    out += [(p.arg, "keyword", None if d is None else ast.literal_eval(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return out


# A container or `object` says nothing about what it holds.
BARE = {"object", "list", "tuple", "dict", "Any"}


def test_stubs_declare_every_parameter_and_result():
    untyped = []
    for name, fn, _ in stub_declarations():
        annotations = [a.annotation for a in fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs
                       if a.arg != "self"] + [fn.returns]
        for annotation in annotations:
            if annotation is None or ast.unparse(annotation) in BARE:
                untyped.append(name)
    assert untyped == []


def test_stub_signatures_are_those_of_the_bindings():
    # Each typed declaration has the parameters, kinds and defaults of the
    # text signature its binding shows at run time.
    checked = 0
    for name, fn, is_property in stub_declarations():
        if is_property:
            continue
        first_line = runtime_object(name).__doc__.splitlines()[0]
        text = first_line.split(" -> ")[0] if ") -> " in first_line else first_line
        runtime = ast.parse(f"def {text}: ...").body[0]
        assert parameters(fn) == parameters(runtime), name
        checked += 1
    assert checked > 40

