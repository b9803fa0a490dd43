"""Each (W, L) pair loads its circuit once: its rows' request keeps the
circuit, and the sweeps that refine its slopes run on it. On a pool's first
call the first pairs load their circuits while the probe is to answer, and the
probe asks its questions on one of them. A pool keeps what it learned about a
device, and the checks of its kit, for as long as the kit's files are
unchanged."""

import errno
import os
import pathlib
import shutil

import numpy as np
import pytest

import morva

from test_characterisation import CARD, EXAMPLE_CARD, IMPACT
from test_characterisation_retry import PARAMS, FaultyPool, config
from test_characterisation_series import SQUARES, WRAPPED

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

GRIDS = ["id", "gm", "gds", "cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat", "von"]


@pytest.fixture
def faulty(tmp_path):
    pool = FaultyPool(tmp_path)
    yield pool
    pool.pool.close()


def probing(out):
    """The lines of the probe: from the plan to the extracted parameters."""
    lines = out.splitlines()
    return lines[1:next(k for k, line in enumerate(lines) if line.startswith("  → extracting")) + 1]


def loads(faulty):
    """The requests that loaded a netlist (the others ran on a circuit a worker kept), without the
    shifted sweeps."""
    return sorted(r for r in faulty.requests() if "@" not in r and "-slopes" not in r)


def assert_same(lut, reference, what):
    assert lut.extracted_op_params == reference.extracted_op_params, what
    for name in GRIDS:
        np.testing.assert_array_equal(getattr(lut, name), getattr(reference, name), err_msg=f"{what}: {name}")


def test_slopes_run_on_each_pairs_circuit_and_the_probe_is_kept(faulty, tmp_path, capfd):
    card = tmp_path / "impact.lib"
    card.write_text(pathlib.Path(EXAMPLE_CARD).read_text().replace(*IMPACT))
    cfg = config(str(card), vds=(0.0, 5.0, 0.25), op_params=["gmbs", "vth"])
    first = faulty.run(cfg)
    said = probing(capfd.readouterr().out)
    requests = faulty.requests()
    # Asked on the circuit loaded for the pair of the probe's sizes (first W, middle L).
    assert sorted(r for r in requests if r.startswith("probe-")) == ["probe-device@lut-w0-l1-load",
                                                                     "probe-op-params@probe-device"]
    # Both pairs' shifted sweeps, each on the circuit of the pair's rows.
    assert sorted(r for r in requests if "-slopes" in r) == ["lut-w0-l0-slopes@lut-w0-l0",
                                                             "lut-w0-l1-slopes@lut-w0-l1"]

    # The same device on the same kit: nothing asked, the same lines, the same table.
    second = faulty.run(cfg)
    assert probing(capfd.readouterr().out) == said
    assert not [r for r in faulty.requests() if r.startswith("probe-")]
    for name in ("id", "gm", "gds", "gmbs", "vth"):
        np.testing.assert_array_equal(getattr(second, name), getattr(first, name), err_msg=name)

    # The card changes (here only its time): asked again.
    stamp = os.stat(card).st_mtime_ns + 1_000_000_000
    os.utime(card, ns=(stamp, stamp))
    faulty.run(cfg)
    capfd.readouterr()
    assert "probe-device@lut-w0-l1-load" in faulty.requests()


# (label, configuration overrides and card, the first call's loads). Two workers: the pair of the
# probe's sizes and the first other load while the probe is to answer; the tasks beyond load with
# their rows; a wrapper carrying current at the drain has its own sweeps on circuits of their own
# first, so that the circuits loaded early are let go and each pair loads afresh.
LOADS = [
    ("two pairs", dict(), CARD, ["lut-w0-l0-load", "lut-w0-l1-load"]),
    ("four pairs", dict(widths_values=[1e-6, 2e-6]), CARD,
     ["lut-w0-l0-load", "lut-w0-l1-load", "lut-w1-l0", "lut-w1-l1"]),
    # A part per Vbs value (the kit reports loads that cost nothing); the pair's circuit, loaded early,
    # serves the first.
    ("parts of a lone pair", dict(lengths_values=[1.8e-7]), CARD, ["lut-w0-l0-load", "lut-w0-l0-part-v1-c0"]),
    ("a subcircuit with series resistances",
     dict(model_name="nfet", subcircuit=True, lengths_values=[1e-7, 2e-7], vgs=(0.0, 1.2, 0.05),
          vds=(0.0, 1.2, 0.1), op_params=["gmbs", "vth"]), SQUARES.format(rdsmod=1),
     ["lut-w0-l0-load", "lut-w0-l1-load"]),
    # The probe switches the device off and back on the circuit the rows then run on: back to the
    # multiplier its subcircuit gave it.
    ("a device of multiplier 2 in its subcircuit",
     dict(model_name="twice", subcircuit=True, device_name="mn"),
     CARD + ".subckt twice d g s b W=1e-6 L=1e-6\nmn d g s b nch W={W} L={L} m=2\n.ends twice\n",
     ["lut-w0-l0-load", "lut-w0-l1-load"]),
    ("a wrapper's diode at the drain",
     dict(model_name="nfet", subcircuit=True, lengths_values=[1e-7, 2e-7], vgs=(0.0, 1.2, 0.05),
          vds=(0.0, 1.2, 0.1), op_params=["gmbs"]), WRAPPED.format(extra="dbd b d dj"),
     ["lut-w0-l0", "lut-w0-l0-load", "lut-w0-l1", "lut-w0-l1-load", "wrapper-w0-l0", "wrapper-w0-l1"]),
]


@pytest.mark.parametrize("overrides, text, loaded", [case[1:] for case in LOADS], ids=[case[0] for case in LOADS])
def test_a_first_call_loads_each_task_once(faulty, tmp_path, capfd, overrides, text, loaded):
    card = tmp_path / "card.lib"
    card.write_text(text)
    cfg = config(str(card), **{"op_params": PARAMS, **overrides})
    first = faulty.run(cfg)
    out, err = capfd.readouterr()
    assert loads(faulty) == loaded
    probe = next(r for r in faulty.requests() if r.startswith("probe-device"))
    assert probe in ("probe-device@lut-w0-l1-load", "probe-device@lut-w0-l0-load")
    # The second call loads each task with its rows and gives the same table, bit for bit.
    second = faulty.run(cfg)
    again, again_err = capfd.readouterr()
    assert all(not r.endswith("-load") and not r.startswith("probe-") for r in faulty.requests())
    assert probing(again) == probing(out) and again_err == err
    assert_same(second, first, "second call")


def test_a_kit_that_changes_is_checked_again(faulty, tmp_path):
    # The checks before a generation are kept while the kit's files stay as they were; a file that
    # changes is read again, and one that is gone refused as ever.
    card = tmp_path / "card.lib"
    card.write_text(CARD)
    cfg = config(str(card), op_params=[])
    faulty.run(cfg)
    card.write_text(CARD.replace(".model nch ", ".model nch2 "))
    with pytest.raises(ValueError, match=r"^model 'nch' not found in "):
        faulty.run(cfg)
    assert faulty.requests() == []  # refused before any request
    card.write_text(CARD)
    faulty.run(cfg)
    card.unlink()
    with pytest.raises(FileNotFoundError) as info:
        faulty.run(cfg)
    assert info.value.errno == errno.ENOENT and info.value.filename == str(card)
    assert str(info.value) == f"reading model file {card}: No such file or directory (os error 2)"
    assert faulty.requests() == []


def impact_card(pads):
    """The example card with strong impact ionisation (shifted sweeps refine its slopes), and `pads` more
    cards of the same body: a kit that takes ngspice a while to load."""
    text = pathlib.Path(EXAMPLE_CARD).read_text().replace(*IMPACT)
    body = text.split(".model nch ", 1)[1].split("\n.model", 1)[0]
    return text + "\n" + "".join(f".model pad{k} {body}\n" for k in range(pads))


# A kit whose every load reports 3 s (as sky130's), and one that takes as long as it takes to parse.
@pytest.mark.parametrize("load_ns, pads", [(3_000_000_000, 0), (None, 2000)], ids=["reported", "parsed"])
def test_few_pairs_on_a_kit_slow_to_load_stay_whole(tmp_path, capfd, load_ns, pads):
    # Two pairs on eight workers: split, each part would load the kit again; whole, each pair loads it once
    # (the probe asks on one of them), and its shifted sweeps run on its circuit.
    card = tmp_path / "card.lib"
    card.write_text(impact_card(pads))
    cfg = config(str(card), op_params=["gmbs", "vth"], vds=(0.0, 5.0, 0.25))
    faulty = FaultyPool(tmp_path, workers=8, load_ns=load_ns)
    try:
        tables = []
        for call in ("first", "later"):
            tables.append(faulty.run(cfg))
            out = capfd.readouterr().out
            assert "  2 pair(s) on 8 workers: each kept whole (a load of the kit takes " in out, call
            requests = faulty.requests()
            assert not [r for r in requests if "-part" in r or "-slopes-p" in r], call
            assert sorted(r for r in requests if "-slopes" in r) == ["lut-w0-l0-slopes@lut-w0-l0",
                                                                     "lut-w0-l1-slopes@lut-w0-l1"], call
            loaded = sorted(r for r in requests if "@" not in r)
            assert loaded == (["lut-w0-l0-load", "lut-w0-l1-load"] if call == "first" else ["lut-w0-l0", "lut-w0-l1"])
        assert_same(tables[1], tables[0], "later call")
    finally:
        faulty.pool.close()
    # The same table from parts, on a kit that loads at once.
    (tmp_path / "quick").mkdir()
    quick = FaultyPool(tmp_path / "quick", workers=8)
    try:
        split = quick.run(cfg)
        assert "  2 pair(s) on 8 workers: each split into " in capfd.readouterr().out
        assert [r for r in quick.requests() if "-part" in r]
        assert_same(split, tables[0], "split")
    finally:
        quick.pool.close()


def edit_in_place(path, text):
    """Writes `text`, as long as the file, into the file itself and sets its times back, as an editor and
    `touch -r` or `rsync -t --inplace` do: its size, modification time, inode and mode stay."""
    before = os.stat(path)
    assert len(text.encode()) == before.st_size
    with open(path, "r+b") as f:
        f.write(text.encode())
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert [(s.st_size, s.st_mtime_ns, s.st_ino, s.st_mode) for s in (before, after)] == [
        (before.st_size, before.st_mtime_ns, before.st_ino, before.st_mode)] * 2


# Kits edited that way between two calls on one pool: (label, the kit, the kit edited, configuration
# overrides, what the second call gives: the table a fresh pool makes, after saying that what the pool
# kept is stale where ngspice's answers contradict it ("stale"), or the error it raises).
SERIES = dict(model_name="nfet", subcircuit=True, lengths_values=[1e-7, 2e-7], vgs=(0.0, 1.2, 0.05),
              vds=(0.0, 1.2, 0.1))
EDITED = [
    ("the subcircuit's device renamed", CARD, CARD.replace("\nm0 d g s b ", "\nm9 d g s b "),
     dict(model_name="nfet", subcircuit=True), "stale"),
    # Its own sweeps switch the device off by name first.
    ("the device renamed beside a wrapper's diode", WRAPPED.format(extra="dbd b d dj"),
     WRAPPED.format(extra="dbd b d dj").replace("\nm0 d g s b ", "\nm9 d g s b "), SERIES, "stale"),
    ("its series resistances switched off", WRAPPED.format(extra=""),
     WRAPPED.format(extra="").replace("rdsmod=1", "rdsmod=0"), SERIES, "stale"),
    ("a value of the card", CARD, CARD.replace("vth0=0.42", "vth0=0.47"), {}, "table"),
    ("the model renamed", CARD, CARD.replace(".model nch ", ".model ncx "), {},
     (ValueError, r"^model 'nch' not found in ")),
]


@pytest.mark.parametrize("text, edited, overrides, gives", [case[1:] for case in EDITED],
                         ids=[case[0] for case in EDITED])
def test_a_kit_edited_with_its_identity_kept_gives_the_right_table_or_an_error(faulty, tmp_path, capfd, text,
                                                                               edited, overrides, gives):
    card = tmp_path / "card.lib"
    card.write_text(text)
    cfg = config(str(card), **{"op_params": PARAMS, **overrides})
    faulty.run(cfg)
    edit_in_place(card, edited)
    capfd.readouterr()
    if isinstance(gives, tuple):
        with pytest.raises(gives[0], match=gives[1]):
            faulty.run(cfg)
        return
    lut = faulty.run(cfg)
    _, err = capfd.readouterr()
    fresh = morva.SimulationPool(workers=2)
    try:
        reference = fresh.generate_lut(cfg, n_chunks=2, cache=False)
    finally:
        fresh.close()
    capfd.readouterr()
    assert_same(lut, reference, "after the edit")
    for name in lut.extracted_op_params:
        assert not np.isnan(getattr(lut, name)).all(axis=(3, 4)).any(), name
    stale = [line for line in err.splitlines() if "what this pool kept of the kit is stale" in line]
    if gives == "stale":
        assert len(stale) == 1 and stale[0].startswith("  warning: ngspice's answers contradict what the probe "
                                                       "found of 'm.x1.m0': "), err
        assert "probe-device@lut-w0-l1-load" in faulty.requests()
    else:
        assert stale == [] and not [r for r in faulty.requests() if r.startswith("probe-")]
