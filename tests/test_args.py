"""Argument conversion rules shared by every binding: paths, texts, integers."""

import os

import pytest

import morva

MAGIC_LINE = b"\x00!ngpsf-1.4:0:ffffffffffffffff:4:20\n"


@pytest.fixture
def files(tmp_path):
    ascii_psf = tmp_path / "a.txt"
    ascii_psf.write_text('HEADER "k" "v"\nEND\n')
    wave = tmp_path / "w.psfxl"
    wave.write_bytes(MAGIC_LINE)
    kit = tmp_path / "kit.lib"
    kit.write_text(".lib tt\n.param a=1\n.endl tt\n")
    return ascii_psf, wave, kit


class Where:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def path_calls(files):
    ascii_psf, wave, kit = files
    return [
        lambda p: morva.PsfFile(p),
        lambda p: morva.NgpsfFile(p),
        lambda p: morva.flatten_pdk(p, "tt"),
    ], [ascii_psf, wave, kit]


def test_one_path_rule_everywhere(files):
    calls, paths = path_calls(files)
    for call, path in zip(calls, paths):
        call(str(path))
        call(path)
        call(Where(str(path)))
        with pytest.raises(TypeError, match=r"^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
            call(bytes(path))
        with pytest.raises(TypeError, match=r"^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
            call(Where(bytes(path)))
        with pytest.raises(TypeError, match=r"^argument 'path': expected str, bytes or os.PathLike object, not int$"):
            call(7)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_only_regular_files_are_read(tmp_path):
    # A FIFO without a writer would block the reader for ever; a device
    # would be read without end.
    fifo = tmp_path / "pipe.lib"
    os.mkfifo(fifo)
    for path in [str(fifo), "/dev/zero"]:
        with pytest.raises(OSError, match="not a regular file$"):
            morva.PsfFile(path)
        with pytest.raises(OSError, match="not a regular file$"):
            morva.NgpsfFile(path)
        with pytest.raises(OSError, match="not a regular file$"):
            morva.flatten_pdk(path, "tt")
        with pytest.raises(RuntimeError, match="model-file I/O error: not a regular file$"):
            morva.DcSolver(path, "nch", w=1e-6, l=1e-6)
        with pytest.raises(ValueError, match=r"^model_file is not a regular file \("):
            morva._SimulationPool(1).generate_lut(morva.LutConfig(model_file=path, model_name="nch"))
        with pytest.raises(ValueError, match=r"^model_includes: not a regular file \("):
            morva._SimulationPool(1).generate_lut(morva.LutConfig(model_includes=[(path, "tt")]))


def test_undecodable_file_names_round_trip(tmp_path):
    # A file name that is not UTF-8 arrives as a str with escaped bytes; it
    # must reach the file system as the same bytes and come back unchanged.
    name = os.fsdecode(b"\xff-\xfe.txt")
    path = tmp_path / name
    path.write_text('HEADER "k" "v"\nEND\n')
    f = morva.PsfFile(path)
    assert f.path == str(path)
    assert os.fsencode(f.path) == os.fsencode(str(path))
    wave = tmp_path / os.fsdecode(b"\xff.psfxl")
    wave.write_bytes(MAGIC_LINE)
    assert morva.NgpsfFile(wave).path == str(wave)


def test_lone_surrogates_fail_as_conversions(files):
    ascii_psf, wave, kit = files
    pattern = r"^argument '{}': 'utf-8' codec can't encode"
    with pytest.raises(TypeError, match=pattern.format("corner")):
        morva.flatten_pdk(kit, "\udc80")
    with pytest.raises(TypeError, match=pattern.format("name")):
        morva.PsfFile(ascii_psf).waveform("\udc80")
    with pytest.raises(TypeError, match=pattern.format("names")):
        morva.NgpsfFile(wave).plot_records_html([1], ascii_psf.parent / "p.html", names=["\udc80"])
    with pytest.raises(TypeError, match=pattern.format("model_name")):
        morva.LutConfig(model_name="\udc80")


def test_wrong_types_name_the_python_type(files):
    ascii_psf, wave, kit = files
    cases = [
        (lambda: morva.PsfFile(ascii_psf).waveform(1.5), "name", "float", "PyString"),
        (lambda: morva.NgpsfFile(wave).plot_records_html({1}, "x.html"), "record_ids", "set", "Sequence"),
        (lambda: morva.NgpsfFile(wave).plot_records_html([1], "x.html", title=b"t"), "title", "bytes", "PyString"),
        (lambda: morva.LutConfig(subcircuit=1), "subcircuit", "int", "PyBool"),
    ]
    for call, name, type_name, target in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be converted to '{target}'"


def test_unsigned_integers_let_overflow_through(files):
    _, wave, _ = files
    f = morva.NgpsfFile(wave)
    for start in (-1, 2**64):
        with pytest.raises(OverflowError):
            f.slice(start, 0)
    with pytest.raises(TypeError, match=r"^argument 'start': 'float' object cannot be interpreted as an integer$"):
        f.slice(0.0, 0)
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        f.serve(port=-1)
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        f.serve(port=65536)
    with pytest.raises(OverflowError):
        morva.LutConfig(lengths_log=(1e-7, 1e-6, 2**64))
