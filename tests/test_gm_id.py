"""gm/Id sizing: TransistorLut.design and DesignResult."""

import math
import re

import numpy as np
import pytest

import morva
from test_lut_tables import load_model_table, load_table, lut_home, model_grids  # noqa: F401

LENGTHS = (1e-7, 2e-7, 5e-7, 1e-6)


def by_hand(lut, target, x=None):
    """The sizing a designer does on one length of the table: the gm/|Id|
    curve at one Vds column, its crossing of the target at the highest Vgs,
    linear interpolation of Id, gm and gds there."""
    x = len(lut.vds) // 2 if x is None else x
    current, gm, gds = lut.id[:, x], lut.gm[:, x], lut.gds[:, x]
    with np.errstate(divide="ignore", invalid="ignore"):
        curve = np.where(np.abs(current) < 1e-12, np.nan, gm / np.abs(current))
    for i in range(len(curve) - 1, 0, -1):
        a, b = curve[i - 1], curve[i]
        if min(a, b) <= target <= max(a, b):
            t = min(max((a - target) / (a - b), 0.0), 1.0)
            interp = {name: (1 - t) * arr[i - 1] + t * arr[i] for name, arr in
                      [("id", current), ("gm", gm), ("gds", gds), ("vgs", lut.vgs)]}
            interp["gain"] = interp["gm"] / interp["gds"]
            return interp
    raise AssertionError("no crossing")


@pytest.fixture
def nmos(lut_home):
    return load_model_table(lut_home, lengths=LENGTHS)


@pytest.fixture
def pmos(lut_home):
    return load_model_table(lut_home, lengths=LENGTHS, sign=-1.0)


def test_matches_the_hand_computation(lut_home):
    lut = load_model_table(lut_home)
    r = lut.design(gm_id=10.0)
    hand = by_hand(lut, 10.0)
    assert r.vds == lut.vds[len(lut.vds) // 2] == pytest.approx(0.9)
    assert r.vgs == pytest.approx(hand["vgs"], rel=1e-12)
    assert r.id == pytest.approx(hand["id"], rel=1e-12)
    assert r.gm == pytest.approx(hand["gm"], rel=1e-12)
    assert r.gds == pytest.approx(hand["gds"], rel=1e-12)
    assert r.gain == pytest.approx(hand["gain"], rel=1e-12)
    assert r.gm_over_id == pytest.approx(hand["gm"] / hand["id"], rel=1e-12)
    assert (r.w, r.l) == (1e-6, 1e-6)
    assert r.constraint_errors == [("gm/Id", pytest.approx(r.gm_over_id / 10.0 - 1.0, abs=1e-12))]

    scaled = lut.design(gm_id=10.0, ids=1e-4)
    assert scaled.id == pytest.approx(1e-4, rel=1e-12)
    assert scaled.w == pytest.approx(1e-4 / hand["id"] * 1e-6, rel=1e-12)
    assert scaled.gm == pytest.approx(hand["gm"] * scaled.w / 1e-6, rel=1e-12)
    assert scaled.gm_over_id == pytest.approx(r.gm_over_id, rel=1e-12)  # from the unscaled values
    assert scaled.constraint_errors[1] == ("Ids", 0.0)


def test_gain_target_refines_near_the_best_length(nmos):
    coarse = []
    for i, length in enumerate(LENGTHS):
        hand = by_hand(nmos.slice(length=length), 15.0)
        coarse.append(((hand["gain"] - 40.0) / 40.0) ** 2)
    best = int(np.argmin(coarse))
    r = nmos.design(gm_id=15.0, gain=40.0)
    p = np.interp(r.l, LENGTHS, range(len(LENGTHS)))
    assert best - 0.5 <= p <= best + 0.5 and 0 <= p <= len(LENGTHS) - 1
    assert r.constraint_errors[1][1] ** 2 <= coarse[best] + 1e-15  # never worse than the coarse point
    two = nmos.slice(length=2e-7).design(gm_id=15.0)  # without a gain target: the smallest length wins
    assert nmos.design(gm_id=15.0).l == 1e-7 and two.l == 2e-7


def test_pmos_sizes_like_nmos(nmos, pmos):
    for kwargs in [dict(gm_id=15.0, gain=30.0, ids=100e-6), dict(gm_id=10.0), dict(ids=1e-4), dict(gain=40.0)]:
        n, p = nmos.design(**kwargs), pmos.design(**kwargs)
        assert p.w > 0
        assert p.w == pytest.approx(n.w, rel=1e-12)
        assert p.l == pytest.approx(n.l, rel=1e-12)
        assert p.vgs == pytest.approx(-n.vgs, rel=1e-12, abs=1e-15)
        assert p.vds == -n.vds
        assert p.id == pytest.approx(-n.id, rel=1e-12)
        assert p.gm_over_id == pytest.approx(n.gm_over_id, rel=1e-12)
        assert [label for label, _ in p.constraint_errors] == [label for label, _ in n.constraint_errors]
        for (_, pe), (_, ne) in zip(p.constraint_errors, n.constraint_errors):
            assert pe == pytest.approx(ne, rel=1e-9, abs=1e-12)
    assert pmos.design(ids=100e-6).constraint_errors == [("Ids", 0.0)]
    assert pmos.design(gm_id=15.0, vds=-1.3).vds == -1.3


def test_errors(nmos, lut_home):
    with pytest.raises(RuntimeError) as info:
        nmos.design(gm_id=30.0)
    assert str(info.value) == ("simulation failed: No operating point found for gm/Id = 30.00 V⁻¹. Try adjusting "
                               "gm_id_min/gm_id_max or widening the LUT voltage range.")
    assert nmos.design(gm_id=28.0, gm_id_max=40.0).gm_over_id > 25.0  # reachable once the bound allows it
    for kwargs in [{}, dict(vds=0.9)]:
        with pytest.raises(ValueError) as info:
            nmos.design(**kwargs)
        assert str(info.value) == "at least one constraint (gm_id, gain, ids) must be specified"
    with pytest.raises(TypeError):
        nmos.design(10.0)
    with pytest.raises(TypeError, match="^argument 'gm_id': must be real number, not str$"):
        nmos.design(gm_id="x", gain="y")  # the first argument that fails
    with pytest.raises(TypeError, match="^argument 'gm_id_min': must be real number, not NoneType$"):
        nmos.design(gm_id=10.0, gm_id_min=None)
    one_vgs = load_table(lut_home, [1e-6], [0.0], [1e-6], [0.5], [0.0, 0.9],
                         {"id": [[[[[0.0, 1e-5]]]]], "gm": [[[[[0.0, 1e-4]]]]], "gds": [[[[[0.0, 1e-6]]]]]})
    with pytest.raises(RuntimeError, match="No operating point found for gm/Id = 10.00"):
        one_vgs.design(gm_id=10.0)
    wide = load_model_table(lut_home, widths=(1e-6, 2e-6), n_vgs=5, n_vds=3)
    with pytest.raises(ValueError, match="^width is NaN: no nearest grid point$"):
        wide.design(ids=1e-5, width=math.nan)
    with pytest.raises(ValueError, match="^vds is NaN"):
        wide.design(ids=1e-5, vds=math.nan)


def test_vds_and_slice_selection(lut_home):
    lut = load_model_table(lut_home, widths=(1e-6, 3e-6), vbs_values=(-0.4, 0.0), n_vgs=37, n_vds=4,
                           vds_step=0.5)
    r = lut.design(gm_id=10.0)
    assert r.vds == 1.0 and r.w == 1e-6  # Vds axis 0, 0.5, 1, 1.5: index 2
    end = lut.design(gm_id=10.0, vds=1.5)
    assert end.vds == 1.5
    assert end.id == pytest.approx(by_hand(lut.slice(), 10.0, x=3)["id"], rel=1e-12)
    assert lut.design(gm_id=10.0, width=2e-6).w == 1e-6  # halfway: the lower index
    assert lut.design(gm_id=10.0, width=2.1e-6).w == 3e-6
    body = lut.design(gm_id=10.0, vbs=-0.3)
    assert body.vgs == pytest.approx(by_hand(lut.slice(vbs=-0.4), 10.0)["vgs"], rel=1e-12)
    single = load_model_table(lut_home, n_vgs=5, n_vds=3)
    assert single.design(ids=1e-6, width=5.0, vbs=math.nan).w > 0  # one width, one Vbs: values ignored


def test_current_only_picks_the_first_usable_point(nmos):
    r = nmos.design(ids=1e-4)
    assert r.l == 1e-7
    k = list(nmos.vgs).index(r.vgs)
    column = nmos.id[0, :, len(nmos.vds) // 2]
    gm = nmos.gm[0, :, len(nmos.vds) // 2]
    usable = [i for i in range(len(column)) if abs(column[i]) >= 1e-12 and 5 <= gm[i] / abs(column[i]) <= 25]
    assert k == usable[0]
    assert r.id == pytest.approx(1e-4, rel=1e-12) and r.w == pytest.approx(1e-4 / column[k] * 1e-6, rel=1e-12)
    assert r.constraint_errors == [("Ids", 0.0)]


def test_unmet_targets_are_reported(lut_home):
    zero = load_table(lut_home, [1e-6], [0.0], [1e-6], [0.0, 0.5], [0.0, 0.9],
                      {"id": np.zeros((1, 1, 1, 2, 2)), "gm": np.full((1, 1, 1, 2, 2), 1e-4),
                       "gds": np.zeros((1, 1, 1, 2, 2))})
    r = zero.design(gain=0.0, ids=1e-4, id_min=0.0, gm_id_min=-math.inf, gm_id_max=math.inf)
    assert r.w == 1e-6 and r.id == 0.0 and r.gain == math.inf and r.gm_over_id == 0.0
    assert r.constraint_errors == [("gain", math.inf), ("Ids", -1.0)]
    assert repr(r) == ("DesignResult(W=1.000e-6, L=1.000e-6, Vgs=0.000, Vds=0.900, Id=0.000e0, gm/Id=0.00, "
                       "gain=inf)")


def test_design_result(nmos):
    r = nmos.design(gm_id=10.0, gain=50.0, ids=1e-5)
    assert [label for label, _ in r.constraint_errors] == ["gm/Id", "gain", "Ids"]
    assert r.constraint_errors[2] == ("Ids", 0.0)
    r.constraint_errors.clear()  # a fresh list on every access
    assert len(r.constraint_errors) == 3
    assert re.fullmatch(r"DesignResult\(W=\d\.\d{3}e-?\d+, L=\d\.\d{3}e-?\d+, Vgs=0\.\d{3}, Vds=0\.900, "
                        r"Id=1\.000e-5, gm/Id=\d+\.\d\d, gain=\d+\.\d\)", repr(r)), repr(r)
    for name in ["w", "l", "id", "vgs", "vds", "gm", "gds", "gm_over_id", "gain"]:
        assert isinstance(getattr(r, name), float)
        with pytest.raises(AttributeError):
            setattr(r, name, 1.0)
    assert morva.DesignResult.w.__doc__ == ("Gate width W, in the unit of the table's widths: metres, or the kit's\n"
                                            "unit when it sets ``.option scale`` (um for ``scale=1u``).")
    with pytest.raises(TypeError, match="^No constructor defined for DesignResult$"):
        morva.DesignResult()
    assert morva.Lut(nmos).design(gm_id=10.0, gain=50.0, ids=1e-5).w == r.w


def test_vgs_sweep_direction_does_not_change_the_answer(lut_home):
    # With a leakage floor gm/|Id| rises from near 0 at Vgs = 0 before it
    # falls through moderate inversion, so a target is crossed twice; the
    # answer is the crossing toward strong inversion however the Vgs axis was
    # swept (an n-channel sweep from VDD down, a p-channel one from -VDD up).
    vgs, vds = np.arange(37) * 0.05, np.arange(19) * 0.1
    grids = model_grids((1e-6,), (0.0,), LENGTHS, vgs, vds, 0.05, 0.1)
    grids["id"] = grids["id"] + 1e-9

    def table(sign, flip):
        g = {name: np.flip(v, axis=3) if flip else v for name, v in grids.items()}
        g["id"] = sign * g["id"]
        return load_table(lut_home, [1e-6], [0.0], LENGTHS, sign * (np.flip(vgs) if flip else vgs), sign * vds, g)

    reference = table(1.0, False)
    for kwargs in [dict(gm_id=10.0), dict(gm_id=15.0, gain=30.0, ids=1e-4), dict(ids=1e-4), dict(gain=40.0)]:
        want = reference.design(**kwargs)
        if "gm_id" in kwargs:
            assert want.vgs > 0.4  # not the crossing in the leakage floor
        for sign, flip in [(1.0, True), (-1.0, False), (-1.0, True)]:
            got = table(sign, flip).design(**kwargs)
            assert got.w == pytest.approx(want.w, rel=1e-9), (sign, flip, kwargs)
            assert got.l == pytest.approx(want.l, rel=1e-9)
            assert got.vgs == pytest.approx(sign * want.vgs, rel=1e-9)
            assert got.id == pytest.approx(sign * want.id, rel=1e-9)


def test_unusable_points_do_not_spoil_their_neighbours(lut_home):
    # A table may hold NaN where a bias point could not be evaluated; the
    # search skips such points and never lets them reach an answer through a
    # zero interpolation weight.
    vgs, vds = np.arange(37) * 0.05, np.arange(19) * 0.1
    grids = model_grids((1e-6,), (0.0,), LENGTHS, vgs, vds, 0.05, 0.1)
    clean = load_table(lut_home, [1e-6], [0.0], LENGTHS, vgs, vds, grids)
    holes = {name: grid.copy() for name, grid in grids.items()}
    for grid in holes.values():
        grid[0, 0, 0, 0, :] = np.nan  # the first point of the (length, Vgs) scan
        grid[0, 0, 1, :, :] = np.nan  # the whole second length
    holed = load_table(lut_home, [1e-6], [0.0], LENGTHS, vgs, vds, holes)
    for kwargs in [dict(gm_id=10.0), dict(gm_id=10.0, ids=1e-5), dict(ids=1e-5), dict(gain=30.0, ids=1e-5)]:
        want, got = clean.design(**kwargs), holed.design(**kwargs)
        assert math.isfinite(got.id) and math.isfinite(got.w), kwargs
        for name in ["w", "l", "vgs", "id", "gm", "gds"]:
            assert getattr(got, name) == pytest.approx(getattr(want, name), rel=1e-12), (kwargs, name)


def test_length_sweep_direction_does_not_change_the_answer(lut_home):
    # lengths_log=(1e-6, 1e-7, n) or lengths=(1e-6, 1e-7, -step) give a
    # descending length axis; "the smallest length that meets the targets"
    # must not turn into the largest.
    vgs, vds = np.arange(37) * 0.05, np.arange(19) * 0.1
    grids = model_grids((1e-6,), (0.0,), LENGTHS, vgs, vds, 0.05, 0.1)
    up = load_table(lut_home, [1e-6], [0.0], LENGTHS, vgs, vds, grids)
    down = load_table(lut_home, [1e-6], [0.0], LENGTHS[::-1], vgs, vds,
                      {name: np.flip(grid, axis=2) for name, grid in grids.items()})
    for kwargs in [dict(gm_id=15.0), dict(gm_id=15.0, gain=40.0, ids=1e-5), dict(ids=1e-5), dict(gain=40.0)]:
        want, got = up.design(**kwargs), down.design(**kwargs)
        for name in ["w", "l", "vgs", "id", "gm", "gds"]:
            assert getattr(got, name) == pytest.approx(getattr(want, name), rel=1e-9), (kwargs, name)
    assert down.design(gm_id=15.0).l == LENGTHS[0]


@pytest.mark.parametrize("kwargs, message", [
    (dict(gm_id=math.nan), "gm_id must be a finite number"),
    (dict(gm_id=math.inf), "gm_id must be a finite number"),
    (dict(gain=math.nan), "gain must be a finite number"),
    (dict(gm_id=10.0, gain=-math.inf), "gain must be a finite number"),
    (dict(ids=math.nan), "ids must be a finite non-zero current"),
    (dict(ids=math.inf), "ids must be a finite non-zero current"),
    (dict(ids=0.0), "ids must be a finite non-zero current"),
    (dict(gm_id=10.0, gm_id_min=math.nan), "gm_id_min must not be NaN"),
    (dict(gm_id=10.0, gm_id_max=math.nan), "gm_id_max must not be NaN"),
    (dict(ids=1e-4, id_min=math.nan), "id_min must be a finite number"),
    (dict(ids=1e-4, id_min=math.inf), "id_min must be a finite number"),
    # The axis end's numbers labelled with the requested Vds, W = inf, W = 0.
    (dict(gm_id=10.0, vds=5.0), "vds=5.000 V lies outside the table's Vds axis [0.000, 1.800] V"),
    (dict(gm_id=10.0, vds=-0.01), "vds=-0.010 V lies outside the table's Vds axis [0.000, 1.800] V"),
    (dict(ids=1e308), "the sized width W=inf m is not a finite positive number (Id=inf A): ids is out of reach "
                      "of this table"),
    (dict(ids=5e-324), "the sized width W=0.000e0 m is not a finite positive number (Id=4.941e-324 A): ids is "
                       "out of reach of this table"),
])
def test_targets_and_bounds_that_size_nothing_are_refused(nmos, kwargs, message):
    # Each of these used to answer with a NaN, infinite or zero width, with
    # the first grid point of the table, or with the Vds axis end, as if the
    # targets had been met.
    with pytest.raises(ValueError) as info:
        nmos.design(**kwargs)
    assert str(info.value) == message
