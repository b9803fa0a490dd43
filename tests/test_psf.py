"""PsfFile: binary PSF and PSFASCII files from Python, hand-made and real."""

import os
import pathlib
import random
import re
import struct

import numpy as np
import pytest

import morva

PsfFile = morva.PsfFile


# ---- writers of hand-made files
class Binary:
    """Big-endian words, padded strings, containers, TOC and trailer."""

    def __init__(self):
        self.out = bytearray()

    def u32(self, v):
        self.out += struct.pack(">I", v & 0xFFFFFFFF)
        return self

    def f64(self, v):
        self.out += struct.pack(">d", v)
        return self

    def str(self, s):
        data = s.encode() if isinstance(s, str) else s
        self.u32(len(data))
        self.out += data + b"\0" * ((4 - len(data) % 4) % 4)
        return self

    def prop(self, name, value):
        if isinstance(value, str):
            return self.u32(33).str(name).str(value)
        if isinstance(value, int):
            return self.u32(34).str(name).u32(value)
        return self.u32(35).str(name).f64(value)

    def ref(self, ident, name, type_id):
        return self.u32(16).u32(ident).str(name).u32(type_id)

    def type_def(self, ident, name, data_type=11):
        return self.u32(16).u32(ident).str(name).u32(0).u32(data_type)

    def group(self, ident, name, count):
        return self.u32(17).u32(ident).str(name).u32(count)

    def trace_record(self, offset, count, x_range=(0.0, 1.0), y_range=(-1.0, 1.0)):
        """The chunk PSFXL metadata puts after a trace: where its samples lie in
        the companion, their count and their ranges."""
        self.out += struct.pack(">IQQ4d", 36, offset, count, *x_range, *y_range)
        return self

    def patch(self, at, v):
        self.out[at : at + 4] = struct.pack(">I", v)


def binary_file(header=(), types=(), sweeps=(), traces=(), signature=0x200, chained=False, record_offsets=None,
                values=None):
    """A binary PSF file. `types`: (name, data_type) or a raw body; `sweeps`: names;
    `traces`: names or (group name, [member names]). `chained`: laid out as PSFXL
    metadata is, without TOC and trailer: each section's container preceded by its
    id and ending where the next one begins, a record chunk after every trace, and
    last an open value section. `record_offsets`: the companion offsets of the
    record chunks, one per signal in trace order (default: 16 times the trace id).
    `values`: the body of a value section of the file's own."""
    w = Binary().u32(signature)
    toc = []
    offsets = iter(record_offsets) if record_offsets is not None else None

    def section(sid, body, indexed):
        if chained and toc:
            w.u32(sid)
        start = len(w.out)
        w.u32(21).u32(0)
        if indexed:
            w.u32(22).u32(0)
        body()
        if indexed:
            w.patch(start + 12, len(w.out))
            if chained:  # the index real files keep after the entries
                w.u32(19).u32(8).u32(0).u32(0)
        w.patch(start + 4, len(w.out) + (4 if chained else 0))
        toc.append((sid, start))

    def trace(ident, name):
        w.ref(ident, name, 1)
        if chained:
            w.trace_record(next(offsets) if offsets else 16 * ident, 3)

    section(0, lambda: [w.prop(n, v) for n, v in header], False)
    if types:
        if isinstance(types, bytes):  # a raw section body
            section(1, lambda: w.out.extend(types), True)
        else:
            section(1, lambda: [w.type_def(i + 1, n, dt) for i, (n, dt) in enumerate(types)], True)
    if sweeps:
        section(2, lambda: [w.ref(100 + i, n, 1) for i, n in enumerate(sweeps)], False)
    if traces:

        def trace_body():
            for i, t in enumerate(traces):
                if isinstance(t, str):
                    trace(200 + i, t)
                else:
                    w.group(300 + i, t[0], len(t[1]))
                    for j, m in enumerate(t[1]):
                        trace(400 + j, m)

        section(3, trace_body, True)
    if values is not None:
        section(4, lambda: w.out.extend(values), False)
    if chained:
        w.u32(4).u32(21).u32(0xFFFFFFFF)
        return bytes(w.out)
    toc_offset = len(w.out)
    for sid, offset in toc:
        w.u32(sid).u32(offset)
    w.out += b"Clarissa"
    w.u32(toc_offset)
    return bytes(w.out)


def psf_value(v):
    """A value as simulators write it: complex as "(re im)", a tuple as a
    parenthesised member list, a str as given (quoted text, PROP blocks)."""
    if isinstance(v, str):
        return v
    if isinstance(v, complex):
        return f"({v.real!r} {v.imag!r})"
    if isinstance(v, tuple):
        return "(" + " ".join(psf_value(m) for m in v) + ")"
    return repr(v)


def ascii_file(header=(), sweep=None, traces=(), points=(), kind="FLOAT DOUBLE", types=(), grouped=False, end=True):
    """A PSFASCII text. `types`: more TYPE lines; `traces`: names (of type "V"),
    (name, type name) or (group name, [members as names or (name, type)]);
    `points` are (x, [values in flat_names order]) with a sweep, or (name, value)
    and (name, type name, value) without. `grouped`: a group's values follow its
    own name, as simulators write them, rather than each member's."""
    lines = ["HEADER"]
    for name, value in header:
        lines.append(f'"{name}" "{value}"' if isinstance(value, str) else f'"{name}" {value!r}')
    lines += ["TYPE", '"sweep" FLOAT DOUBLE PROP(', '"key" "sweep"', ")", f'"V" {kind}', *types]
    if sweep:
        lines += ["SWEEP", f'"{sweep}" "sweep" PROP(', '"units" "s"', ")"]
    if traces:
        lines.append("TRACE")
        for t in traces:
            if isinstance(t, str):
                lines.append(f'"{t}" "V"')
            elif isinstance(t[1], str):
                lines.append(f'"{t[0]}" "{t[1]}"')
            else:
                lines.append(f'"{t[0]}" GROUP {len(t[1])}')
                lines += [f'"{m}" "V"' if isinstance(m, str) else f'"{m[0]}" "{m[1]}"' for m in t[1]]
    if points:
        lines.append("VALUE")
        for point in points:
            if sweep:
                x, values = point
                lines.append(f'"{sweep}" {x!r}')
                values = iter(values)
                for t in traces:
                    if isinstance(t, str) or isinstance(t[1], str):
                        name = t if isinstance(t, str) else t[0]
                        lines.append(f'"{name}" {psf_value(next(values))}')
                    elif grouped:
                        lines.append(f'"{t[0]}" ' + " ".join(psf_value(next(values)) for _ in t[1]))
                    else:
                        lines += [f'"{m if isinstance(m, str) else m[0]}" {psf_value(next(values))}' for m in t[1]]
            else:
                *name, value = point
                lines.append(" ".join(f'"{n}"' for n in name) + " " + psf_value(value))
    if end:
        lines.append("END")
    return "\n".join(lines) + "\n"


def flat_names(traces):
    names = []
    for t in traces:
        if isinstance(t, str) or isinstance(t[1], str):
            names.append(t if isinstance(t, str) else t[0])
        else:
            names += [m if isinstance(m, str) else m[0] for m in t[1]]
    return names


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


# ---- binary files


def test_binary_file_surface(tmp_path):
    data = binary_file(
        header=[("title", "rc"), ("PSF sweep points", 3), ("reltol", 1e-3), ("title", "last")],
        types=[("V", 11)],
        sweeps=["time"],
        traces=["a", "b", ("g", ["x", "y"])],
    )
    path = write(tmp_path, "run.tran", data)
    f = PsfFile(path)  # a path-like object
    assert f.path == str(path)
    assert f.size == len(data)
    assert f.signature == 0x200
    assert not f.is_ascii and not f.is_psfxl and f.psfxl_companion is None
    props = f.header_properties()
    assert props == {"title": "last", "PSF sweep points": 3, "reltol": 1e-3}
    assert type(props["PSF sweep points"]) is int and type(props["reltol"]) is float
    assert f.signal_names() == ["a", "b", "x", "y"]
    assert f.trace_structure() == (2, 1, 2)
    assert f.sweep_variables() == ["time"]
    assert f.sweep_points() == 3
    assert repr(f) == f'PsfFile(path="{path}", signature=0x200, signals=4)'
    assert f.describe() == (
        f"PSF {path} signature=0x200 ({len(data)} bytes) sections=4 types=1 sweep=1 traces=3\n"
        "  header properties:\n"
        '    title = String("rc")\n'
        "    PSF sweep points = Int32(3)\n"
        "    reltol = Double(0.001)\n"
        '    title = String("last")\n'
        "  sweep:\n"
        "    id=100 name=time datatypeid=1\n"
    )
    with pytest.raises(ValueError, match=r"^sweep axis values not available \(binary PSFXL decode not implemented\)$"):
        f.sweep_axis()
    with pytest.raises(ValueError, match=r"^waveform\(\) only implemented for PSFASCII; binary PSFXL decode pending$"):
        f.waveform("a")
    with pytest.raises(TypeError, match="argument 'name'"):
        f.waveform(3)


def test_binary_kinds_and_companion(tmp_path):
    for signature in (0x400, 0x500):
        assert PsfFile(str(write(tmp_path, "k", binary_file(header=[("a", 1)], signature=signature)))).signature == signature
    xl = PsfFile(str(write(tmp_path, "run.tran", binary_file(header=[("a", 1)], signature=0x300))))
    assert xl.is_psfxl and xl.psfxl_companion == str(tmp_path / "run.tran.psfxl")


def test_the_layout_not_the_first_word_makes_the_kind(tmp_path):
    # Header-only info files may start with 0.
    f = PsfFile(str(write(tmp_path, "run.info", binary_file(header=[("a", 1)], signature=0))))
    assert f.signature == 0 and f.header_properties() == {"a": 1} and not f.is_psfxl
    # 0x300 holding its own values, as another simulator writes it: no companion.
    own = PsfFile(str(write(tmp_path, "run.tran", binary_file(header=[("a", 1)], signature=0x300, values=b"\0" * 8))))
    assert not own.is_psfxl and own.psfxl_companion is None
    with pytest.raises(ValueError) as info:
        PsfFile(str(write(tmp_path, "bad", b"\0\0\0\x07" + b"Clarissa" + b"\0\0\0\x04")))
    assert str(info.value) == ("unsupported PSF signature 0x7 (expected 0x200 binary, 0x300 PSFXL, 0x400 windowed, "
                               "0x500 operating point, or any word before a header section at offset 4)")


def test_chained_layout_reads_like_a_toc(tmp_path):
    """PSFXL metadata: no TOC, no trailer, sections chained by their container
    ends, record chunks after the traces."""
    content = dict(
        header=[("title", "rc"), ("PSF sweep points", 0)],
        types=[("V", 11), ("I", 11)],
        sweeps=["time"],
        traces=["a", ("g", ["x", "y"]), ("h", ["z"])],
        signature=0x400,
    )
    toc = PsfFile(str(write(tmp_path, "toc.tran", binary_file(**content))))
    data = binary_file(**content, chained=True)
    assert b"Clarissa" not in data
    path = write(tmp_path, "run.tran", data)
    f = PsfFile(path)
    for ask in ("header_properties", "signal_names", "trace_structure", "sweep_variables", "sweep_points"):
        assert getattr(f, ask)() == getattr(toc, ask)(), ask
    assert f.signal_names() == ["a", "x", "y", "z"]
    assert f.signature == 0x400 and f.size == len(data)
    assert f.is_psfxl and not toc.is_psfxl and toc.psfxl_companion is None
    assert f.psfxl_companion == str(tmp_path / "run.tran.psfxl")
    # The chain gives five sections: the four read and the open value section.
    assert f.describe().splitlines()[0] == (
        f"PSF {path} signature=0x400 ({len(data)} bytes) sections=5 types=2 sweep=1 traces=3"
    )
    assert f.describe().splitlines()[1:] == toc.describe().splitlines()[1:]


@pytest.mark.parametrize(
    "header, expected",
    [([("PSF sweep points", "12")], None), ([("PSF sweep points", 12.0)], None), ([("other", 1)], None),
     ([("PSF sweep points", -5), ("PSF sweep points", 7)], -5)],
)
def test_sweep_points(tmp_path, header, expected):
    assert PsfFile(str(write(tmp_path, "f", binary_file(header=header)))).sweep_points() == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\0" * 15, "file too small to be a PSF: 15 bytes"),
        (b"\0\0\x02\0" + b"Clarissa" + b"\0\0\0\x04", "unknown section index 0"),
    ],
)
def test_binary_errors_are_value_errors(tmp_path, data, message):
    with pytest.raises(ValueError) as info:
        PsfFile(str(write(tmp_path, "bad", data)))
    assert str(info.value) == message


def test_constructor_arguments_and_io_errors(tmp_path):
    # The path conversion rules: test_args.py.
    missing = tmp_path / "missing.psf"
    with pytest.raises(OSError) as info:
        PsfFile(str(missing))
    assert not str(info.value).startswith("I/O error")
    assert "(os error 2)" in str(info.value)
    # A path with a NUL names another file to the system: refused.
    real = write(tmp_path, "real.tran", "HEADER\n")
    with pytest.raises(OSError, match=r"^file name contained an unexpected NUL byte$"):
        PsfFile(str(real) + "\0.tran")


# ---- PSFASCII files


def test_ascii_surface(tmp_path):
    text = ascii_file(
        header=[("title", "rc"), ("n", 7)],
        sweep="time",
        traces=["vin", ("g", ["x", "y"])],
        points=[(0.0, [1.0, 2.0, 3.0]), (1e-9, [-1.5, 0.25, 1e300])],
    )
    path = write(tmp_path, "a.tran", text)
    f = PsfFile(str(path))
    assert f.is_ascii and not f.is_psfxl and f.psfxl_companion is None
    assert f.signature == 1095975753
    assert repr(f) == f'PsfFile(path="{path}", signature=0x41534349, signals=3)'
    assert f.header_properties() == {"title": "rc", "n": 7}
    assert f.sweep_points() is None
    assert f.signal_names() == ["vin", "x", "y"]
    assert f.trace_structure() == (1, 1, 2)
    assert f.sweep_variables() == ["time"]
    assert f.describe() == f"PSFASCII {path} (3 signals, 2 sweep points)\n"
    assert f.size == len(text)
    axis, values = f.waveform("y")
    assert axis.dtype == np.float64 and values.dtype == np.float64
    assert axis.tolist() == [0.0, 1e-9] and values.tolist() == [3.0, 1e300]
    assert f.sweep_axis().tolist() == [0.0, 1e-9]
    # Fresh copies each time.
    axis[0] = 99.0
    assert f.sweep_axis()[0] == 0.0
    with pytest.raises(KeyError) as info:
        f.waveform('no"pe')
    assert info.value.args[0] == 'signal "no\\"pe" not found'
    # The size is asked of the file system at the time of the call.
    path.unlink()
    assert f.size == 0


def test_ascii_without_values_and_text_values(tmp_path):
    f = PsfFile(str(write(tmp_path, "t", ascii_file(traces=["a"]))))
    with pytest.raises(ValueError, match="^sweep axis values not available"):
        f.sweep_axis()
    axis, values = f.waveform("a")
    assert axis.size == 0 and values.size == 0
    g = PsfFile(str(write(tmp_path, "u", 'HEADER VALUE "a" "on" "b" 2 END')))
    with pytest.raises(KeyError):
        g.waveform("a")
    assert g.waveform("b")[1].tolist() == [2.0]


@pytest.mark.parametrize(
    "text, message",
    [
        ("HEADER\n/", "unexpected character '/' at line 2"),
        # Deep nesting meets the cap, not a stack overflow.
        ("HEADER TYPE \"s\" " + "STRUCT( \"m\" " * 70 + "FLOAT DOUBLE" + " )" * 70,
         "struct nesting deeper than 64 levels"),
        ("HEADER \"a\" -", "bad number - at line 1"),
        # Internal forms never show: the keyword and the end of the file do.
        ('HEADER TYPE "t" STRING * "u" BOOL', "unexpected type keyword BOOL at line 1 in TYPE section"),
        ('HEADER TYPE "V" FLOAT DOUBLE TRACE "s" "V" VALUE "s"\n', "expected a value, got end of file at line 1"),
        # Cut short: what is missing and where, never a shortened number.
        ('HEADER\n"a" 1\nVALUE "x" 0.8546471030996726', "the file ends at line 3 without its closing END: "
         "it is incomplete (cut short or still being written)"),
    ],
)
def test_ascii_errors_are_value_errors(tmp_path, text, message):
    with pytest.raises(ValueError) as info:
        PsfFile(str(write(tmp_path, "bad", text)))
    assert str(info.value) == message


def test_ascii_detection_window(tmp_path):
    # A two-byte character straddling byte 64 still reads as PSFASCII (the
    # other detection cases: tests/cpp/test_psf_ascii.cpp).
    text = 'HEADER "k" "' + "a" * 51 + "é" + '"\nEND\n'
    assert text.encode()[:64][-1] == 0xC3
    assert PsfFile(str(write(tmp_path, "cut", text))).header_properties() == {"k": "a" * 51 + "é"}


# ---- files as simulators write them, against another reader

NAN = float("nan")
REAL_SHAPED = {
    # AC: complex traces, a group whose values follow its name.
    "ac": dict(
        header=[("analysis type", "ac")], sweep="freq", kind="COMPLEX DOUBLE",
        types=['"I" COMPLEX DOUBLE PROP(', '"units" "A"', ")"],
        traces=["in", ("group", ["out", ("i1", "I")])], grouped=True,
        points=[(1.0, [1 + 0j, 0.9999605231408795 - 0.006282937266758386j, -2.5e-07 + 1e-3j]),
                (1.99526231496888, [1 + 0j, 0.8546471030996726 - 0.3425973894132933j, 3e-300 - 0j])],
    ),
    # Transient: a group, FLOAT SINGLE, a struct trace.
    "tran": dict(
        header=[("analysis type", "tran")], sweep="time",
        types=['"pt" STRUCT(', '"gm" FLOAT DOUBLE', '"cgs" FLOAT SINGLE', ")", '"F" FLOAT SINGLE'],
        traces=[("group", ["a", ("b", "F")]), "c", ("m1", "pt")], grouped=True,
        points=[(0.0, [0.1, 2.0, -1e-300, (1e-3, 2.5e-15)]), (1e-9, [NAN, 4.25, 5e-324, (2e-3, 3e-15)])],
    ),
    # Operating point: typed values, a struct, text, PROP blocks after values.
    "op": dict(
        header=[("analysis type", "dc")],
        types=['"res" STRUCT(', '"trise" FLOAT DOUBLE', '"res" FLOAT DOUBLE', ") PROP(", '"key" "inst"', ")",
               '"string" STRING *', '"C" COMPLEX DOUBLE'],
        points=[("out", "V", 0.8546471030996726),
                ("R1", "res", '(nan 1.000000000000000e+03) PROP(\n"model" "resistor"\n)'),
                ("logFile", "string", '"/tmp/run.log"'), ("x", "V", '1.5e-03 PROP(\n"units" "V"\n)'),
                ("z", "C", "0.5 -2.0")],
    ),
}


def psf_utils_signals(path):
    """What psf_utils reads: the sweep axis and every numeric signal by name
    (its swept struct members, "s:m", as "s.m")."""
    psf_utils = pytest.importorskip("psf_utils")
    psf = psf_utils.PSF(str(path), use_cache=False, update_cache=False)
    signals = {}
    for signal in psf.all_signals():
        if isinstance(signal.ordinate, str):
            continue
        v = np.atleast_1d(np.asarray(signal.ordinate))
        signals[signal.name.replace(":", ".")] = v.astype(np.complex128 if np.iscomplexobj(v) else np.float64)
    sweep = psf.get_sweep()
    return (None if sweep is None else np.asarray(sweep.abscissa, np.float64)), signals


def assert_reads_as_psf_utils(path):
    """Same names in the same order, same values to the last bit."""
    f = PsfFile(str(path))
    axis, signals = psf_utils_signals(path)
    assert f.signal_names() == list(signals)
    for name, expected in signals.items():
        got_axis, got = f.waveform(name)
        assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes(), name
        if axis is not None:
            assert got_axis.tobytes() == axis.tobytes()
    return f


@pytest.mark.parametrize("name", sorted(REAL_SHAPED))
def test_real_shaped_files_read_as_psf_utils_reads_them(tmp_path, name):
    f = assert_reads_as_psf_utils(write(tmp_path, name, ascii_file(**REAL_SHAPED[name])))
    # A struct is no waveform: its members are.
    struct = {"tran": "m1", "op": "R1"}.get(name)
    if struct:
        with pytest.raises(ValueError, match=rf'^signal "{struct}" is a struct: read its members \({struct}\.'):
            f.waveform(struct)
    with pytest.raises(KeyError):
        f.waveform("logFile")  # text


def test_sample_texts_read_as_psf_utils_reads_them(samples_dir):
    for _, path in sample_pairs(samples_dir):
        # A sweep without traces is beyond psf_utils' grammar.
        if path.name != "mysweep_dc1.sweep":
            assert_reads_as_psf_utils(path)


# ---- real files


def sample_pairs(samples_dir):
    root = samples_dir / "psf"
    # The text folder may also hold other readers' caches: pair by the binary runs.
    names = sorted(p.name for p in (root / "binary").iterdir() if (root / "ascii" / p.name).is_file())
    return [(root / "binary" / n, root / "ascii" / n) for n in names]


# Header properties only the binary writer records: its own version and build,
# creation time, environment, and the PSF bookkeeping counts.
BINARY_ONLY = re.compile(r"^(PSF[ _].*|Psf.*|BINPSF creation time|ENV_VAR_\d+)$")


def test_sample_twins_agree(samples_dir):
    pairs = sample_pairs(samples_dir)
    assert len(pairs) == 6
    for binary_path, ascii_path in pairs:
        b, a = PsfFile(str(binary_path)), PsfFile(str(ascii_path))
        assert not b.is_ascii and a.is_ascii
        # The binary file lists its traces; values outside them (operating
        # points, info) are in its value section, which is not decoded.
        if b.signal_names() or b.trace_structure() != (0, 0, 0):
            assert b.signal_names() == a.signal_names(), binary_path.name
        assert b.sweep_variables() == a.sweep_variables(), binary_path.name
        # Windowed transients keep their traces in a group in the binary file;
        # the text lists them plainly. The flat count agrees.
        tb, ta = b.trace_structure(), a.trace_structure()
        assert tb[0] + tb[2] == ta[0] + ta[2]
        if b.signature != 0x400:
            assert tb == ta
        # The two writers stamp their own format version and write time.
        hb, ha = b.header_properties(), a.header_properties()
        shared = {k: v for k, v in hb.items() if not BINARY_ONLY.match(k) and k not in ("PSFversion", "date")}
        assert shared == {k: v for k, v in ha.items() if k not in ("PSFversion", "date")}
        if a.signal_names() or a.sweep_variables():
            try:
                axis = a.sweep_axis()
            except ValueError:
                axis = np.array([])
            if axis.size:
                assert b.sweep_points() == axis.size


# What the PSFXL metadata file's header says differently from its windowed
# twin: the sample bookkeeping of a file that holds no samples, and the write
# time (it comes from an earlier run of the same netlist).
PSFXL_META_ONLY = {"PSF sweep points", "PSF sweep max", "PSF buffer size", "PSF window size",
                   "BINPSF creation time", "date", "design"}


def test_psfxl_metadata_sample_agrees_with_its_twins(samples_dir):
    root = samples_dir / "psf"
    meta = root / "psfxl" / "tran1.tran.tran"
    f = PsfFile(str(meta))
    b = PsfFile(str(root / "binary" / "tran1.tran.tran"))
    a = PsfFile(str(root / "ascii" / "tran1.tran.tran"))
    assert f.signature == 0x400 and f.is_psfxl and not f.is_ascii and not b.is_psfxl
    assert f.psfxl_companion == str(meta) + ".psfxl"
    assert pathlib.Path(f.psfxl_companion).is_file()
    assert f.signal_names() == b.signal_names() == a.signal_names() == ["in", "out"]
    assert f.sweep_variables() == b.sweep_variables() == a.sweep_variables() == ["time"]
    # Grouped like the windowed binary file; the text lists the traces plainly.
    assert f.trace_structure() == b.trace_structure() == (0, 1, 2)
    assert f.describe().splitlines()[0].endswith("sections=5 types=14 sweep=1 traces=1")

    hf, hb, ha = f.header_properties(), b.header_properties(), a.header_properties()
    assert list(hf) == list(hb)
    assert {k: v for k, v in hf.items() if k not in PSFXL_META_ONLY} == {
        k: v for k, v in hb.items() if k not in PSFXL_META_ONLY
    }
    # Against the text: as for the other twins, the format version differs too.
    text_differs = PSFXL_META_ONLY | {"PSFversion"}
    shared = {k: v for k, v in hf.items() if not BINARY_ONLY.match(k) and k not in text_differs}
    assert shared == {k: v for k, v in ha.items() if k not in text_differs}
    # That run's title differs from the twins' by a blank only.
    assert hf["design"].replace(" ", "") == ha["design"].replace(" ", "") == "#RCLow-PassFilter"
    # The samples live in the companion: the header counts none, the
    # companion's records hold as many as the text twin.
    assert f.sweep_points() == 0
    records = morva.NgpsfFile(f.psfxl_companion).parse_data_records()
    assert [r["sample_count"] for r in records] == [a.sweep_axis().size] * 2


def numbers_of(path, name):
    """The values written for `name`, read with a plain regular expression:
    a number, or the two of a complex value."""
    pattern = re.compile(rf'^"{re.escape(name)}" (?:\(([-+.0-9eE]+) ([-+.0-9eE]+)\)|([-+.0-9eE]+))')
    return [complex(float(m[1]), float(m[2])) if m[1] else float(m[3])
            for line in path.read_text().splitlines() if (m := pattern.match(line))]


@pytest.mark.parametrize("name, sweep", [("mydc.dc", "dc"), ("tran1.tran.tran", "time"), ("myac.ac", "freq")])
def test_sample_waveforms(samples_dir, name, sweep):
    path = samples_dir / "psf" / "ascii" / name
    f = PsfFile(str(path))
    for signal in ("in", "out"):
        axis, values = f.waveform(signal)
        assert axis.tolist() == numbers_of(path, sweep)
        # AC values are complex, both parts kept.
        assert values.dtype == (np.complex128 if name == "myac.ac" else np.float64)
        assert values.tolist() == numbers_of(path, signal)
        assert len(values) == len(axis) > 1


def test_sample_operating_points(samples_dir):
    op = PsfFile(str(samples_dir / "psf" / "ascii" / "myop.dc"))
    assert op.signal_names() == ["in", "out"]
    assert op.waveform("out")[1].tolist() == [1.0]
    info = PsfFile(str(samples_dir / "psf" / "ascii" / "myinfo_Oppoint.info"))
    assert info.signal_names()[:2] == ["C1.trise", "C1.cap"]
    assert info.waveform("R1.res")[1].tolist() == [1000.0]
    assert np.isnan(info.waveform("R1.trise")[1][0])
    assert info.waveform("Vin.v")[1].tolist() == [1.0]
    with pytest.raises(ValueError) as raised:
        info.waveform("R1")
    assert str(raised.value) == 'signal "R1" is a struct: read its members (R1.trise, R1.v, R1.i, R1.res, R1.pwr)'


@pytest.mark.parametrize("name", ["binary/myop.dc", "psfxl/tran1.tran.tran"])
def test_damaged_sample_files(samples_dir, tmp_path, name):
    data = (samples_dir / "psf" / name).read_bytes()
    path = tmp_path / "damaged"
    rng = random.Random(5)
    variants = [data[:n] for n in range(0, len(data), 7)]
    for _ in range(500):
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        variants.append(bytes(b))
    for variant in variants:
        path.write_bytes(variant)
        try:
            f = PsfFile(str(path))
        except (ValueError, OSError):
            continue
        f.describe(), f.signal_names(), f.header_properties(), repr(f)
