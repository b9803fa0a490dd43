"""LutConfig, TransistorLut and morva.Lut."""

import math

import numpy as np
import pytest

import morva
from test_lut_tables import load_model_table, load_table, lut_home  # noqa: F401

# ---- LutConfig ----


def test_config_defaults_and_repr():
    cfg = morva.LutConfig()
    assert repr(cfg) == "LutConfig(device_type='nmos', model_name='nch', W=1.000e-5, L=5.000e-7)"
    assert (cfg.width, cfg.length, cfg.vbs) == (1e-5, 5e-7, 0.0)
    assert cfg.widths is None and cfg.lengths is None and cfg.vbs_values is None
    assert cfg.vgs == (0.0, 1.8, 0.05) and cfg.vds == (0.0, 1.8, 0.05)
    assert cfg.model_includes == [] and cfg.op_params == []
    assert (cfg.model_file, cfg.model_section, cfg.subcircuit) == (None, None, False)
    assert (cfg.width_param, cfg.length_param, cfg.device_name) == ("W", "L", "m0")
    assert morva.LutConfig(device_type="pmos").model_name == "pch"
    assert morva.LutConfig(device_type="pmos", model_name="").model_name == ""
    upper = morva.LutConfig(device_type="PMOS")
    assert upper.model_name == "nch" and upper.device_type == "PMOS"
    with pytest.raises(ValueError, match=r"^device_type must be 'nmos' or 'pmos', got 'PMOS'$"):
        morva.lut_cache_key(upper)


def test_config_length_options():
    cfg = morva.LutConfig(lengths=(1e-7, 1e-6, 1e-7), lengths_values=None)
    assert len(cfg.lengths) == 10 and cfg.lengths[-1] == pytest.approx(1e-6)
    assert repr(cfg) == ("LutConfig(device_type='nmos', model_name='nch', n_w=1, n_vbs=1, "
                         "L=1.000e-7..1.000e-6 (10 pts))")
    descending = morva.LutConfig(lengths=(1e-6, 1e-7, -1e-7)).lengths
    assert descending == pytest.approx([1e-6 - k * 1e-7 for k in range(10)])
    assert morva.LutConfig(lengths=(3e-7, 3e-7, -1e-7)).lengths is None  # a single length
    assert morva.LutConfig(lengths_log=(1e-7, 1e-6, 1)).length == 1e-7
    down = morva.LutConfig(lengths_log=(1e-6, 1e-7, 3)).lengths
    assert down[0] > down[1] > down[2]
    assert morva.LutConfig(lengths_values=[3e-7, 1e-7, 3e-7]).lengths == [1e-7, 3e-7, 3e-7]
    vbs = morva.LutConfig(vbs_values=[0.0, -0.6, -0.3])
    assert vbs.vbs_values == [-0.6, -0.3, 0.0] and vbs.vbs == -0.6
    # A single value that a list option replaces is not looked at.
    assert morva.LutConfig(width=math.nan, widths_values=[1e-6], length=0.0, lengths_values=[1e-6],
                           vbs=math.nan, vbs_values=[0.0]).width == 1e-6
    single = morva.LutConfig(vbs_values=[-0.2], widths_values=(2e-6,))
    assert single.vbs_values is None and single.vbs == -0.2 and single.widths is None and single.width == 2e-6


@pytest.mark.parametrize("kwargs, message", [
    (dict(lengths=(1e-7, 1e-6, 1e-7), lengths_log=(1.0, 2.0, 0)),
     "lengths, lengths_log, lengths_values are mutually exclusive — pass at most one"),
    (dict(lengths_log=(0.0, 1e-6, 0)), "lengths_log requires strictly positive start and stop"),
    (dict(lengths_log=(1e-7, 1e-6, 0)), "lengths_log requires at least 1 point"),
    (dict(lengths_values=[]), "lengths_values must not be empty"),
    (dict(lengths_values=[1e-7, math.inf]), "lengths_values must contain strictly positive finite numbers"),
    (dict(lengths_values=[0.0]), "lengths_values must contain strictly positive finite numbers"),
    (dict(widths_values=[], vbs_values=[]), "widths_values must not be empty"),
    (dict(widths_values=[-1e-6]), "widths_values must contain strictly positive finite numbers"),
    (dict(vbs_values=[]), "vbs_values must not be empty"),
    (dict(vbs_values=[0.0, math.nan]), "vbs_values must not contain NaN"),
    (dict(vbs_values=[0.0, math.inf]), "vbs_values must not contain infinities"),
    (dict(vbs_values=[-math.inf]), "vbs_values must not contain infinities"),
    (dict(widths_values=[1e-6, math.inf]), "widths_values must contain strictly positive finite numbers"),
    (dict(lengths_log=(1e-7, math.inf, 3)), "lengths_log requires finite start and stop"),
    (dict(lengths=(1e-7, math.nan, 1e-7)), "lengths start and stop must be finite numbers, got start=0.0000001 stop=NaN"),
    (dict(vgs=(math.nan, 1.8, 0.05)), "vgs start and stop must be finite numbers, got start=NaN stop=1.8"),
    (dict(vgs=(0.0, 1.8, -math.inf)), "vgs step must be a finite non-zero number, got -inf"),
    (dict(vgs=(0.0, 1.8, 0.0)), "vgs step must be a finite non-zero number, got 0"),
    (dict(vds=(0.0, 1.8, math.nan)), "vds step must be a finite non-zero number, got NaN"),
    (dict(vds=(0.0, math.inf, 0.1)), "vds start and stop must be finite numbers, got start=0 stop=inf"),
    (dict(lengths=(1e-7, 1e-6, 0.0)), "lengths step must be a finite non-zero number, got 0"),
    (dict(vgs=(0.0, 1.0, 1e-12)), "vgs sweep must have at most 1000000 points, got 1000000000001"),
    # A step that runs away from its stop would give its start alone.
    (dict(vgs=(1.8, 0.0, 0.1)),
     "vgs step 0.1 runs away from stop 0 (start 1.8): give it the sign of stop - start"),
    (dict(vds=(0.0, 1.8, -0.05)),
     "vds step -0.05 runs away from stop 1.8 (start 0): give it the sign of stop - start"),
    (dict(lengths=(1e-6, 1e-7, 1e-7)), "lengths step 0.0000001 runs away from stop 0.0000001 (start 0.000001): "
                                       "give it the sign of stop - start"),
    # The single values obey the rules of the lists they stand for.
    (dict(width=math.nan), "width must be a strictly positive finite number"),
    (dict(width=0.0), "width must be a strictly positive finite number"),
    (dict(length=-5e-7), "length must be a strictly positive finite number"),
    (dict(length=math.inf), "length must be a strictly positive finite number"),
    (dict(vbs=math.nan), "vbs must not be NaN"),
    (dict(vbs=-math.inf), "vbs must not be infinite"),
    (dict(width=math.inf), "width must be a strictly positive finite number"),
    (dict(lengths=(-1e-7, 1e-6, 1e-7)), "lengths sweep must give strictly positive lengths"),
    (dict(lengths=(0.0, 1e-6, 5e-7)), "lengths sweep must give strictly positive lengths"),
])
def test_config_validation(kwargs, message):
    with pytest.raises(ValueError) as info:
        morva.LutConfig(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, message", [
    (dict(vgs=[0.0, 1.8, 0.05]), "argument 'vgs': 'list' object cannot be converted to 'PyTuple'"),
    (dict(vds=(0.0, 1.8)), "argument 'vds': expected tuple of length 3, but got tuple of length 2"),
    (dict(lengths_values="1e-7"), "argument 'lengths_values': Can't extract `str` to `Vec`"),
    (dict(width="1e-6"), "argument 'width': must be real number, not str"),
    (dict(subcircuit=1), "argument 'subcircuit': 'int' object cannot be converted to 'PyBool'"),
    (dict(op_params=["vth", 3]), "argument 'op_params': 'int' object cannot be converted to 'PyString'"),
    (dict(model_includes=[("a.lib",)]), "argument 'model_includes': expected tuple of length 2, but got "
                                        "tuple of length 1"),
    (dict(device_type=None), "argument 'device_type': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_config_argument_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        morva.LutConfig(**kwargs)
    assert str(info.value) == message


def test_config_conversions_in_parameter_order():
    # The first failing conversion wins, and conversion precedes validation.
    with pytest.raises(TypeError, match="argument 'width'"):
        morva.LutConfig(width="x", vgs="y", lengths_values=[])
    with pytest.raises(OverflowError):
        morva.LutConfig(lengths_log=(1e-7, 1e-6, -1))
    cfg = morva.LutConfig(width=2, subcircuit=np.bool_(True), lengths_values=np.array([2e-7, 1e-7]),
                          model_includes=[("a.lib", "tt")], op_params=("vth", "cgg"))
    assert cfg.width == 2.0 and cfg.subcircuit is True and cfg.lengths == [1e-7, 2e-7]
    assert cfg.model_includes == [("a.lib", "tt")] and cfg.op_params == ["vth", "cgg"]
    cfg.op_params.append("x")  # properties are fresh copies
    assert cfg.op_params == ["vth", "cgg"]
    with pytest.raises(AttributeError):
        cfg.width = 1.0


# ---- TransistorLut ----


def test_single_point_table(lut_home):
    lut = load_model_table(lut_home, n_vgs=5, n_vds=4)
    assert lut.shape == (1, 1, 1, 5, 4)
    assert lut.id.shape == (5, 4) and lut.gm.shape == (5, 4) and lut.gds.shape == (5, 4)
    assert lut.widths is None and lut.vbs_values is None and lut.lengths is None
    assert (lut.width, lut.vbs) == (1e-6, 0.0)
    assert lut.vgs.shape == (5,) and lut.vds[1] == pytest.approx(0.1)
    assert repr(lut) == "TransistorLut(W=1.000e-6, Vbs=0.000e0, L=1.000e-6, n_vgs=5, n_vds=4)"
    assert lut.cgs.shape == (0, 0)  # not extracted
    assert lut.extracted_op_params == []
    lut.id[0, 0] = 123.0  # a copy
    assert lut.id[0, 0] == 0.0
    with pytest.raises(TypeError, match="^No constructor defined for TransistorLut$"):
        morva.TransistorLut()
    with pytest.raises(AttributeError):
        lut.id = None


def test_rank_follows_swept_axes(lut_home):
    three = load_model_table(lut_home, lengths=(1e-7, 2e-7, 5e-7), n_vgs=4, n_vds=3)
    assert three.id.shape == (3, 4, 3) and list(three.lengths) == [1e-7, 2e-7, 5e-7]
    assert three.cgs.shape == (3, 0, 0)
    assert repr(three) == "TransistorLut(shape=(1, 1, 3, 4, 3))"
    two_w = load_model_table(lut_home, widths=(1e-6, 2e-6), n_vgs=4, n_vds=3)
    assert two_w.id.shape == (2, 1, 1, 4, 3) and two_w.gds.shape == (2, 1, 1, 4, 3)
    assert two_w.vth.shape == (2, 1, 1, 0, 0)
    assert list(two_w.widths) == [1e-6, 2e-6]
    empty = load_table(lut_home, [1e-6], [0.0], [1e-6], [0.0], [0.0],
                       {"id": [[[[[1.0]]]]], "gm": [[[[[1.0]]]]], "gds": [[[[[1.0]]]]], "cgs": None})
    assert empty.cgs.shape == (0, 0, 0, 0, 0)


def test_ft(lut_home):
    grids = {"id": np.ones((1, 1, 1, 2, 2)), "gm": np.full((1, 1, 1, 2, 2), 1e-3), "gds": np.ones((1, 1, 1, 2, 2)),
             "cgs": np.array([1e-15, 0.0, 2e-15, 1e-15]).reshape(1, 1, 1, 2, 2),
             "cgd": np.array([-1e-15, 0.0, 0.0, 1e-15]).reshape(1, 1, 1, 2, 2)}
    lut = load_table(lut_home, [1e-6], [0.0], [1e-6], [0.0, 1.0], [0.0, 1.0], grids, ["cgs", "cgd"])
    ft = lut.ft
    assert ft.shape == (2, 2)
    assert ft[0, 0] == pytest.approx(1e-3 / (2e-15 * 2 * math.pi))
    assert math.isnan(ft[0, 1])
    only_cgs = load_table(lut_home, [1e-6], [0.0], [1e-6], [0.0, 1.0], [0.0, 1.0],
                          {k: v for k, v in grids.items() if k != "cgd"}, ["cgs"])
    with pytest.raises(ValueError) as info:
        only_cgs.ft
    assert str(info.value) == ("Lut.ft requires both 'cgs' and 'cgd' to have been extracted; missing: "
                               "[\"cgd\"].  Regenerate the LUT with op_params=['cgs', 'cgd'].")
    with pytest.raises(ValueError, match=r'missing: \["cgs", "cgd"\]\.'):
        load_model_table(lut_home, n_vgs=2, n_vds=2).ft


def test_slice(lut_home):
    lut = load_model_table(lut_home, widths=(1e-6, 3e-6), vbs_values=(-0.3, 0.0), lengths=(1e-7, 4e-7),
                           n_vgs=4, n_vds=3)
    first = lut.slice()
    assert first.shape == (1, 1, 2, 4, 3) and first.id.shape == (2, 4, 3)
    assert (first.width, first.vbs) == (1e-6, -0.3)
    np.testing.assert_array_equal(first.id, lut.id[0, 0])
    assert repr(lut.slice(width=None)) == repr(first)
    at = lut.slice(width=2e-6, vbs=-0.1, length=3e-7)  # width tie goes to the lower index
    assert at.shape == (1, 1, 1, 4, 3)
    np.testing.assert_array_equal(at.id, lut.id[0, 1, 1])
    with pytest.raises(TypeError):
        lut.slice(1e-6)
    with pytest.raises(TypeError, match="^argument 'vbs': must be real number, not str$"):
        lut.slice(vbs="0")
    with pytest.raises(ValueError, match="^width is NaN: no nearest grid point$"):
        lut.slice(width=math.nan)
    assert first.slice(width=math.nan, length=1e-7).id.shape == (4, 3)  # one width: NaN is harmless


def test_to_csv(lut_home, tmp_path):
    grids = {"id": np.arange(12.0).reshape(1, 2, 1, 3, 2) * 1e-6, "gm": np.zeros((1, 2, 1, 3, 2)),
             "gds": np.zeros((1, 2, 1, 3, 2)), "cgs": np.full((1, 2, 1, 3, 2), 1e-15),
             "vth": np.full((1, 2, 1, 3, 2), 0.45)}
    lut = load_table(lut_home, [1e-6], [-0.5, 0.0], [1e-7], [0.0, 0.9, 1.8], [0.0, 1.8], grids, ["cgs", "vth"])
    path = tmp_path / "lut.csv"
    assert lut.to_csv(path=str(path)) is None
    lines = path.read_text().split("\n")
    assert lines[-1] == "" and len(lines) == 14
    assert lines[0] == "W,Vbs,L,Vgs,Vds,Id,gm,gds,cgs,vth"
    assert lines[1] == ("1.000000e-6,-5.000000e-1,1.000000e-7,0.000000e0,0.000000e0,0.000000e0,0.000000e0,"
                        "0.000000e0,1.000000e-15,4.500000e-1")
    assert lines[2].split(",")[4] == "1.800000e0"  # Vds fastest
    assert lines[12].split(",")[1:6] == ["0.000000e0", "1.000000e-7", "1.800000e0", "1.800000e0", "1.100000e-5"]
    missing = str(tmp_path / "missing" / "lut.csv")
    with pytest.raises(FileNotFoundError) as info:
        lut.to_csv(missing)
    assert (str(info.value), info.value.filename) == (
        f"writing CSV file {missing}: No such file or directory (os error 2)", missing)
    with pytest.raises(TypeError, match="^argument 'path'"):
        lut.to_csv(3)


# ---- morva.Lut ----


def test_lut_wrapper_views(lut_home):
    grids = {"id": np.array([1e-6, -2e-6, 1e-13, 0.0]).reshape(1, 1, 1, 2, 2),
             "gm": np.array([1e-5, 3e-5, 1e-12, 1e-9]).reshape(1, 1, 1, 2, 2),
             "gds": np.array([1e-7, 0.0, 1e-9, 1e-9]).reshape(1, 1, 1, 2, 2)}
    lut = morva.Lut(load_table(lut_home, [2e-6], [0.0], [1e-6], [0.0, 1.0], [0.0, 1.0], grids))
    np.testing.assert_allclose(lut.gm_over_id[0], [10.0, 15.0])
    assert np.isnan(lut.gm_over_id[1]).all()  # |Id| below 1e-12
    assert lut.intrinsic_gain[0, 0] == pytest.approx(100.0) and math.isinf(lut.intrinsic_gain[0, 1])
    np.testing.assert_allclose(lut.id_density, grids["id"][0, 0, 0] / 2e-6)
    assert lut.shape == (1, 1, 1, 2, 2) and lut.id.shape == (2, 2) and lut.widths is None
    assert repr(lut) == "Lut(TransistorLut(W=2.000e-6, Vbs=0.000e0, L=1.000e-6, n_vgs=2, n_vds=2))"
    assert morva.Lut.id.__doc__.startswith("Drain current Id in amperes.")
    with pytest.raises(TypeError):
        morva.Lut(3)
    # Converted once and shared (each TransistorLut access copies the grid):
    # read-only, so that no caller changes what the next one reads.
    assert lut.id is lut.id and lut.vgs is lut.vgs and lut.table.id is not lut.table.id
    for name in ("id", "gm", "vds"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(lut, name)[0] = 1.0
    assert lut.id[0, 0] == 1e-6 and lut.table.id.flags.writeable


def test_lut_wrapper_sweeps_and_cache(lut_home):
    table = load_model_table(lut_home, widths=(1e-6, 4e-6), lengths=(1e-7, 2e-7), n_vgs=4, n_vds=3)
    lut = morva.Lut(table)
    density = lut.id_density
    assert density.shape == (2, 1, 2, 4, 3)
    np.testing.assert_allclose(density[1], table.id[1] / 4e-6)
    sliced = lut.slice(width=4e-6)
    assert isinstance(sliced, morva.Lut) and sliced.id.shape == (2, 4, 3)
    np.testing.assert_allclose(sliced.id_density, table.id[1, 0] / 4e-6)

    assert morva.Lut.load("never-saved") is None
    lut.save("mine")
    again = morva.Lut.load("mine")
    np.testing.assert_array_equal(again.id, table.id)
    lut.to_csv(lut_home / "wrapped.csv")
    assert (lut_home / "wrapped.csv").read_text().startswith("W,Vbs,L,Vgs,Vds,Id,gm,gds\n")
