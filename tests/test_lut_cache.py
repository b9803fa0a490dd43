"""The LUT cache: key, path, file format, load and save."""

import hashlib
import math
import os
import struct

import numpy as np
import pytest

import morva
from test_lut_tables import encode_table, load_bytes, load_model_table, model_grids, lut_home  # noqa: F401

DEFAULT_DOC = (
    '{"v":5,"device_type":"nmos","model_card":"","model_file":null,"model_section":null,"model_name":"nch",'
    '"widths":[0.00001],"lengths":[5e-7],"vgs":[0.0,1.8,0.05],"vds":[0.0,1.8,0.05],"vbs_values":[0.0],'
    '"subcircuit":false,"width_param":"W","length_param":"L","model_includes":[],"device_name":"m0",'
    '"op_params":[],"use_native_bsim4":false,"use_dc_solver":false,"subcircuit_name":null}')

EOF_MESSAGE = "LUT cache serialization error: io error: unexpected end of file"


def key_of(doc):
    return "v6-" + hashlib.sha256(doc.encode()).hexdigest()


def small_table_bytes():
    """A 1 x 1 x 1 x 3 x 2 table without operating-point grids."""
    vgs, vds = [0.0, 0.6, 1.2], [0.0, 1.2]
    return encode_table([1e-6], [0.0], [1e-6], vgs, vds, model_grids([1e-6], [0.0], [1e-6], vgs, vds, 0.6, 1.2))


# ---- key ----


def test_default_key_document():
    assert morva.lut_cache_key(morva.LutConfig()) == key_of(DEFAULT_DOC)


@pytest.mark.parametrize("kwargs, replacements", [
    (dict(widths_values=[1e16, 1e-5]), [('"widths":[0.00001]', '"widths":[0.00001,1e+16]')]),
    (dict(widths_values=[1e15]), [('"widths":[0.00001]', '"widths":[1000000000000000.0]')]),
    (dict(lengths_values=[1e-6, 1.3e-7]), [('"lengths":[5e-7]', '"lengths":[1.3e-7,1e-6]')]),
    (dict(vbs_values=[-0.0, 0.5]), [('"vbs_values":[0.0]', '"vbs_values":[-0.0,0.5]')]),
    (dict(vgs=(0.0, 3.0, 0.1), vds=(18.0, 0.0, -1.0)),
     [('"vgs":[0.0,1.8,0.05]', '"vgs":[0.0,3.0,0.1]'), ('"vds":[0.0,1.8,0.05]', '"vds":[18.0,0.0,-1.0]')]),
    (dict(device_type="pmos", model_name="p\"q\\\n\x01é"),
     [('"nmos"', '"pmos"'), ('"model_name":"nch"', '"model_name":"p\\"q\\\\\\n\\u0001é"')]),
    (dict(op_params=["vth", "cgg", "Vth", "vth"], subcircuit=True, subcircuit_name="nf", use_dc_solver=True),
     [('"op_params":[]', '"op_params":["Vth","cgg","vth","vth"]'), ('"subcircuit":false', '"subcircuit":true'),
      ('"use_dc_solver":false', '"use_dc_solver":true'), ('"subcircuit_name":null', '"subcircuit_name":"nf"')]),
    (dict(model_file="/lib/m.lib", model_section="tt", model_includes=[("/lib/x.lib", "ff")]),
     [('"model_file":null,"model_section":null', '"model_file":"/lib/m.lib","model_section":"tt"'),
      ('"model_includes":[]', '"model_includes":[["/lib/x.lib","ff"]]')]),
])
def test_key_document_forms(kwargs, replacements):
    doc = DEFAULT_DOC
    for old, new in replacements:
        assert old in doc
        doc = doc.replace(old, new)
    assert morva.lut_cache_key(morva.LutConfig(**kwargs)) == key_of(doc)


def test_key_resolves_relative_paths(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path)
    relative = morva.LutConfig(model_file="a/m.lib", model_includes=[("b/x.lib", "ss")])
    absolute = morva.LutConfig(model_file=str(tmp_path / "a/m.lib"), model_includes=[(str(tmp_path / "b/x.lib"), "ss")])
    assert morva.lut_cache_key(relative) == morva.lut_cache_key(absolute)
    monkeypatch.chdir(tmp_path / "a")
    assert morva.lut_cache_key(relative) != morva.lut_cache_key(absolute)
    dotted = morva.LutConfig(model_file="../a/m.lib")  # not normalised
    doc = DEFAULT_DOC.replace('"model_file":null', f'"model_file":"{os.getcwd()}/../a/m.lib"')
    assert morva.lut_cache_key(dotted) == key_of(doc)


def test_key_argument_types():
    with pytest.raises(TypeError, match="^argument 'cfg': 'str' object cannot be converted to 'LutConfig'$"):
        morva.lut_cache_key("nmos")
    with pytest.raises(TypeError, match="^argument 'cfg': LutConfig object is not initialised$"):
        morva.lut_cache_key(morva.LutConfig.__new__(morva.LutConfig))
    a = morva.lut_cache_key(morva.LutConfig(op_params=["vth", "cgg"]))
    assert a == morva.lut_cache_key(morva.LutConfig(op_params=["cgg", "vth"]))
    assert morva.lut_cache_key(morva.LutConfig(op_params=["vth", "vth"])) != morva.lut_cache_key(
        morva.LutConfig(op_params=["vth"]))
    assert morva.lut_cache_key(morva.LutConfig(op_params=["VTH"])) != morva.lut_cache_key(
        morva.LutConfig(op_params=["vth"]))


# ---- path and keys ----


def test_cache_path(lut_home, monkeypatch):
    key = morva.lut_cache_key(morva.LutConfig())
    assert morva.lut_cache_path(key) == f"{lut_home}/.cache/morva/{key}.bin"
    monkeypatch.delenv("HOME")
    assert morva.lut_cache_path("k") == "./.cache/morva/k.bin"
    assert morva.lut_cache_path("...") == "./.cache/morva/....bin"


@pytest.mark.parametrize("key", ["", ".", "..", "../x", "a/b", "/etc/passwd", "a\0b"])
def test_keys_outside_the_cache_are_refused(lut_home, key):
    with pytest.raises(ValueError, match="^invalid LUT cache key "):
        morva.lut_cache_path(key)
    if key == "../x":
        with pytest.raises(ValueError, match=r"^invalid LUT cache key \"\.\./x\": it contains '/' \(a key must be "
                                             r"a plain file name\)$"):
            morva.load_cached_lut(key)
    with pytest.raises(ValueError, match="^invalid LUT cache key "):
        morva.load_cached_lut(key)
    table = load_bytes(lut_home, small_table_bytes())
    with pytest.raises(ValueError, match="^invalid LUT cache key "):
        morva.save_cached_lut(key, table)
    assert all(p.name.startswith("test-") for p in (lut_home / ".cache" / "morva").iterdir())


# ---- load and save ----


def test_miss_creates_nothing(lut_home):
    assert morva.load_cached_lut(morva.lut_cache_key(morva.LutConfig())) is None
    assert list(lut_home.iterdir()) == []


def test_round_trip_is_exact(lut_home):
    vgs, vds = [0.0, 0.5, 1.0], [0.0, 0.9]
    grids = model_grids([1e-6, 2e-6], [0.0, -0.4], [1e-7, 3e-7], vgs, vds, 0.5, 0.9)
    grids["id"][0, 1, 0, 2, 1] = math.nan
    grids["gm"][1, 0, 1, 0, 0] = -math.inf
    grids["vth"] = np.full(grids["id"].shape, 0.4)
    grids["cgg"] = None
    data = encode_table([1e-6, 2e-6], [-0.4, 0.0], [1e-7, 3e-7], vgs, vds, grids, ["vth"])
    table = load_bytes(lut_home, data)
    np.testing.assert_array_equal(table.id, grids["id"])  # NaN in the same places
    np.testing.assert_array_equal(table.gm, grids["gm"])
    np.testing.assert_array_equal(table.vth, grids["vth"])
    assert table.cgg.shape == (0, 0, 0, 0, 0) and table.cgs.shape == (2, 2, 2, 0, 0)
    assert table.extracted_op_params == ["vth"]

    morva.save_cached_lut("copy", table)
    assert (lut_home / ".cache" / "morva" / "copy.bin").read_bytes() == data
    morva.save_cached_lut(key="copy", lut=table)  # overwrite in place
    names = [p.name for p in (lut_home / ".cache" / "morva").iterdir()]
    assert "copy.bin" in names and len(names) == 2  # no temporary file left behind


def test_file_layout(lut_home):
    data = small_table_bytes()
    assert len(data) == 808
    table = load_bytes(lut_home, data)
    morva.save_cached_lut("small", table)
    saved = (lut_home / ".cache" / "morva" / "small.bin").read_bytes()
    assert saved == data
    assert saved[:16] == bytes.fromhex("0100000000000000 8DEDB5A0F7C6B03E")
    assert load_bytes(lut_home, data + b"extra") is not None  # trailing bytes are ignored


def test_damaged_files(lut_home):
    data = small_table_bytes()
    with pytest.raises(RuntimeError) as info:
        load_bytes(lut_home, data[:-1])
    assert str(info.value) == EOF_MESSAGE
    with pytest.raises(RuntimeError, match=f"^{EOF_MESSAGE}$"):
        load_bytes(lut_home, struct.pack("<Q", 1 << 62) + data[8:])  # fails fast, no huge allocation
    with pytest.raises(RuntimeError, match=f"^{EOF_MESSAGE}$"):
        load_bytes(lut_home, b"")
    # The invariants checked on load, each with its text: tests/cpp/test_lut_cache.cpp.


def test_directory_at_the_path(lut_home):
    (lut_home / ".cache" / "morva" / "d.bin").mkdir(parents=True)
    with pytest.raises(OSError) as info:
        morva.load_cached_lut("d")
    assert "(os error 21)" in str(info.value) and not str(info.value).startswith("LUT cache")
    table = load_model_table(lut_home, n_vgs=2, n_vds=2)
    with pytest.raises(OSError):
        morva.save_cached_lut("d", table)
    with pytest.raises(TypeError, match="^argument 'lut': 'int' object cannot be converted to 'TransistorLut'$"):
        morva.save_cached_lut("k", 3)


def test_file_where_the_cache_directory_belongs(lut_home, monkeypatch):
    # A file in the directory chain is named for what it is, not as a
    # directory that already exists.
    table = load_model_table(lut_home, n_vgs=2, n_vds=2)
    (lut_home / "plain").write_text("x")
    monkeypatch.setenv("HOME", str(lut_home / "plain"))
    with pytest.raises(OSError) as info:
        morva.save_cached_lut("k", table)
    assert str(info.value) == "Not a directory (os error 20)"
    assert morva.load_cached_lut("k") is None


def test_files_a_model_file_includes_are_found_whatever_the_blanks(tmp_path):
    # A table is regenerated when a file its model file names changed since
    # it was cached; a file missed here would leave the old table in use.
    from morva.pool import _model_files

    for name in ("tab.lib", "two words.lib", "plain.lib", "lower.inc"):
        (tmp_path / name).write_text("* card\n")
    (tmp_path / "model.lib").write_text(".lib tt\n.lib\ttab.lib\ttt\n.lib 'two words.lib' ff\n"
                                        ".LIB plain.lib \t ss\n.include\tlower.inc\n.include \n.endl tt\n")
    cfg = morva.LutConfig(model_file=str(tmp_path / "model.lib"), model_section="tt")
    found = {os.path.basename(path) for path in _model_files(cfg)}
    assert found >= {"model.lib", "tab.lib", "two words.lib", "plain.lib", "lower.inc"}
