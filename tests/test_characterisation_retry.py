"""The retry ladder of characterisation, driven by real ngspice failures.

The pool's workers are tests/fault_worker.py: it forwards every request to
the real worker and, for the requests a test names, rewrites them so that
ngspice itself fails. Each rung must print its lines and still give the
table of a clean run, or end the generation with the documented text.
"""

import json
import pathlib
import re
import shutil
import sys

import numpy as np
import pytest

import morva
from test_characterisation import CARD, EXAMPLE_CARD, IMPACT

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

FAULT_WORKER = pathlib.Path(__file__).with_name("fault_worker.py")
PARAMS = ["cgg", "cgd", "gmbs", "vth", "vdsat"]


class FaultyPool:
    """Every load of a netlist reports that it took `load_ns` (none: what it took), so that the pairs
    split as on a card that loads at once whatever the machine's pace."""

    def __init__(self, tmp, timeout_secs=120.0, workers=2, load_ns=1):
        self.rules = tmp / "rules.json"
        self.log = tmp / "requests.log"
        self.rules.write_text("[]")
        self.log.write_text("")
        exe = tmp / "worker_exe"
        exe.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{FAULT_WORKER}" "{self.rules}" "{self.log}"\n')
        exe.chmod(0o755)
        self.pool = morva.SimulationPool(workers=workers, worker_exe=str(exe), timeout_secs=timeout_secs)
        self.load_ns = load_ns

    def run(self, config, rules=(), n_chunks=2):
        pace = [] if self.load_ns is None else [{"id": ".*", "load_ns": self.load_ns}]
        self.rules.write_text(json.dumps(list(rules) + pace))
        self.log.write_text("")
        try:
            return self.pool.generate_lut(config, n_chunks=n_chunks, cache=False)
        finally:
            self.rules.write_text("[]")

    def requests(self):
        return self.log.read_text().split()

    def row_requests(self):
        """The requests for the table's rows, without the shifted sweeps that follow them."""
        return [r for r in self.requests() if r.startswith("lut-") and "-slopes" not in r]

    def rows_asked(self):
        """The rows' requests by their ids, whether loaded with their netlists or run on a circuit
        loaded for them before the probe answered (whose load is left out)."""
        ids = [r.split("@")[0] for r in self.row_requests()]
        return [r for r in ids if not r.endswith("-load")]


@pytest.fixture(scope="module")
def faulty(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("faulty")
    (tmp / "bsim4_180.lib").write_text(CARD)
    pool = FaultyPool(tmp)
    pool.card = str(tmp / "bsim4_180.lib")
    yield pool
    pool.pool.close()


def config(card, **overrides):
    kw = dict(model_file=card, model_name="nch", widths_values=[1e-6], lengths_values=[1.8e-7, 5e-7],
              vgs=(0.0, 1.5, 0.05), vds=(0.0, 1.5, 0.1), vbs_values=[-0.5, 0.0], op_params=PARAMS)
    kw.update(overrides)
    return morva.LutConfig(**kw)


@pytest.fixture(scope="module")
def clean(faulty):
    return faulty.run(config(faulty.card))


def assert_same_table(lut, clean, skip=()):
    for name in ["id", "gm", "gds"] + [p for p in PARAMS if p not in skip]:
        np.testing.assert_allclose(getattr(lut, name), getattr(clean, name), rtol=1e-9, atol=1e-15,
                                   err_msg=name)


def retry_lines(err):
    return [line for line in err.splitlines() if line.startswith("  [retry] ")]


def test_clean_run_sends_one_request_per_pair(faulty, clean, capfd):
    faulty.run(config(faulty.card))
    _, err = capfd.readouterr()
    assert retry_lines(err) == []
    assert sorted(faulty.row_requests()) == ["lut-w0-l0", "lut-w0-l1"]


def test_rejected_sweeps_fall_back_per_chunk(faulty, clean, capfd):
    lut = faulty.run(config(faulty.card), [{"id": "lut-w0-l0", "fault": "sweep-case"},
                                           {"id": "lut-w0-l1", "fault": "error"}])
    _, err = capfd.readouterr()
    assert sorted(retry_lines(err)) == [
        "  [retry] W=1.000e-6 L=1.800e-7: alter not supported, falling back to per-chunk",
        "  [retry] W=1.000e-6 L=5.000e-7: all-chunks request failed, falling back to per-chunk",
    ]
    assert {"lut-w0-l0-c0", "lut-w0-l0-c1", "lut-w0-l1-c0", "lut-w0-l1-c1"} <= set(faulty.requests())
    assert_same_table(lut, clean)


def test_chunk_failures_fall_back_per_vbs(faulty, clean, capfd):
    # Two pairs on two workers: one task per pair, the ladder of the first.
    lut = faulty.run(config(faulty.card), [
        {"id": "lut-w0-l0", "fault": "error"},
        {"id": "lut-w0-l0-c0", "fault": "sweep-case"},
        {"id": "lut-w0-l0-c1", "fault": "short"},
    ])
    _, err = capfd.readouterr()
    assert retry_lines(err) == [
        "  [retry] W=1.000e-6 L=1.800e-7: all-chunks request failed, falling back to per-chunk",
        "  [retry] W=1.000e-6 L=1.800e-7 chunk 0: alter @Vbs[dc] not supported, retrying per Vbs",
        "  [retry] W=1.000e-6 L=1.800e-7 chunk 1: multi-plot extraction failed, retrying per Vbs",
    ]
    assert [r for r in faulty.row_requests() if r.startswith("lut-w0-l0")] == [
        "lut-w0-l0", "lut-w0-l0-c0", "lut-w0-l0-v0-c0", "lut-w0-l0-v1-c0",
        "lut-w0-l0-c1", "lut-w0-l0-v0-c1", "lut-w0-l0-v1-c1",
    ]
    for name in ["id", "gm", "gds"] + PARAMS:
        np.testing.assert_allclose(getattr(lut, name), getattr(clean, name), rtol=1e-9, atol=1e-15)

    faulty.run(config(faulty.card), [
        {"id": "lut-w0-l0", "fault": "error"},
        {"id": "lut-w0-l0-c0", "fault": "error"},
    ])
    _, err = capfd.readouterr()
    assert "  [retry] W=1.000e-6 L=1.800e-7 chunk 0: multi-Vbs sweep failed, retrying per Vbs" in retry_lines(err)


def test_parts_of_a_lone_pair_walk_the_ladder_alone(faulty, clean, capfd):
    # One pair on two workers: a task per Vbs value, each with its own
    # ladder; only the failing part retries.
    lut = faulty.run(config(faulty.card, lengths_values=[1.8e-7]), [
        {"id": "lut-w0-l0-part-v1-c0", "fault": "error"},
        {"id": "lut-w0-l0-c0", "fault": "error"},
    ])
    _, err = capfd.readouterr()
    assert retry_lines(err) == [
        "  [retry] W=1.000e-6 L=1.800e-7: all-chunks request failed, falling back to per-chunk",
        "  [retry] W=1.000e-6 L=1.800e-7 chunk 0: full-params sweep crashed, falling back to bisected OP "
        "parameter sweeps",
    ]
    # A first call on this configuration: the first part ran on the circuit loaded while the probe asked;
    # the failing part's chunks went down the ladder, at its own Vbs value.
    assert sorted(faulty.rows_asked()) == [
        "lut-w0-l0-c0", "lut-w0-l0-c1", "lut-w0-l0-part-v0-c0", "lut-w0-l0-part-v1-c0", "lut-w0-l0-v1-c0",
    ]
    for name in ["id", "gm", "gds"] + PARAMS:
        np.testing.assert_allclose(getattr(lut, name), getattr(clean, name)[:, :, :1], rtol=1e-9, atol=1e-15)


def test_bisection_leaves_only_the_failing_parameter_unavailable(faulty, clean, capfd):
    # Every request of chunk 1 at the first Vbs value that asks for vth fails.
    lut = faulty.run(config(faulty.card), [
        {"id": "lut-w0-l0", "fault": "error"},
        {"id": "lut-w0-l0-c1", "fault": "error"},
        {"id": "lut-w0-l0-v0-c1(-sub\\d+)?", "contains": "@m1[vth]", "fault": "error"},
    ])
    _, err = capfd.readouterr()
    assert retry_lines(err) == [
        "  [retry] W=1.000e-6 L=1.800e-7: all-chunks request failed, falling back to per-chunk",
        "  [retry] W=1.000e-6 L=1.800e-7 chunk 1: multi-Vbs sweep failed, retrying per Vbs",
        "  [retry] W=1.000e-6 L=1.800e-7 Vbs=-5.000e-1 chunk 1: full-params sweep crashed, falling back to bisect",
        "  [retry] W=1.000e-6 L=1.800e-7 Vbs=-5.000e-1 chunk 1: parameter 'vth' unavailable — filling with NaN",
    ]
    # Five parameters: {cgg, cgd}, then {gmbs, vth, vdsat} -> {gmbs}, {vth, vdsat} -> {vth}, {vdsat}.
    assert [r for r in faulty.requests() if r.startswith("lut-w0-l0-v0-c1")] == [
        "lut-w0-l0-v0-c1", "lut-w0-l0-v0-c1-idonly", "lut-w0-l0-v0-c1-sub2", "lut-w0-l0-v0-c1-sub3",
        "lut-w0-l0-v0-c1-sub1", "lut-w0-l0-v0-c1-sub2", "lut-w0-l0-v0-c1-sub1", "lut-w0-l0-v0-c1-sub1",
    ]
    for name in ["id", "gm", "gds", "cgg", "cgd", "gmbs", "vdsat"]:
        np.testing.assert_allclose(getattr(lut, name), getattr(clean, name), rtol=1e-9, atol=1e-15)
    # Chunk 1 (Vgs indices 16..30) at Vbs index 0 is NaN; the rest is intact.
    vth, ref = lut.vth[0, :, 0], clean.vth[0, :, 0]
    assert np.all(np.isnan(vth[0, 16:]))
    np.testing.assert_allclose(vth[0, :16], ref[0, :16], rtol=1e-9)
    np.testing.assert_allclose(vth[1], ref[1], rtol=1e-9)


def test_id_only_failure_is_fatal(faulty, capfd):
    with pytest.raises(RuntimeError) as info:
        faulty.run(config(faulty.card), [
            {"id": "lut-w0-l0(-c1)?", "fault": "error"},
            {"id": "lut-w0-l0-v0-c1(-idonly)?", "fault": "error"},
        ])
    assert str(info.value) == (
        "simulation failed: W=1.000e-6 L=1.800e-7 Vbs=-5.000e-1 chunk 1 Id-only failed: "
        "stderr Error: RHS \" no_such_vector + 1\" invalid"
    )
    out, err = capfd.readouterr()
    assert "LUT timing breakdown" not in out and "tasks completed" not in out

    # A response that is read back short is just as fatal at that rung.
    with pytest.raises(RuntimeError, match=r"^simulation failed: expected 240 points \(15×16\), got 15 "):
        faulty.run(config(faulty.card), [
            {"id": "lut-w0-l0(-c1)?", "fault": "error"},
            {"id": "lut-w0-l0-v0-c1", "fault": "error"},
            {"id": "lut-w0-l0-v0-c1-idonly", "fault": "short"},
        ])
    capfd.readouterr()


def test_failed_shifted_sweeps_keep_differences_over_the_grid(faulty, tmp_path, capfd):
    # Strong impact ionisation: one pair's shifted sweeps fail as one request,
    # then its first sweep alone; its points keep differences over the grid.
    impact = tmp_path / "impact.lib"
    impact.write_text(pathlib.Path(EXAMPLE_CARD).read_text().replace(*IMPACT))
    cfg = config(str(impact), vds=(0.0, 5.0, 0.25), op_params=[])
    clean_impact = faulty.run(cfg)
    capfd.readouterr()
    lut = faulty.run(cfg, [{"id": "lut-w0-l0-slopes", "fault": "error"},
                           {"id": "lut-w0-l0-slopes-s0", "fault": "sweep-case"}])
    _, err = capfd.readouterr()
    lines = retry_lines(err)
    assert lines[0] == "  [retry] W=1.000e-6 L=1.800e-7: shifted sweeps failed, retrying one sweep at a time"
    assert re.fullmatch(r"  \[retry\] W=1\.000e-6 L=1\.800e-7: 1 of \d+ shifted sweep\(s\) failed — their slopes "
                        r"stay differences over the grid steps", lines[1]) and len(lines) == 2
    assert "lut-w0-l0-slopes-s1" in faulty.requests()
    np.testing.assert_array_equal(lut.id, clean_impact.id)
    # The first sweep: the first length and Vbs value, along Vds; only its
    # points differ.
    np.testing.assert_array_equal(lut.gm, clean_impact.gm)
    np.testing.assert_array_equal(lut.gds[:, 1], clean_impact.gds[:, 1])
    np.testing.assert_array_equal(lut.gds[:, :, 1], clean_impact.gds[:, :, 1])
    assert np.any(lut.gds[0, 0, 0] != clean_impact.gds[0, 0, 0])


# Decks ngspice refuses to load that the checks before a generation pass: a card naming a parameter
# nothing defines (a kit's corner read without the file that defines its switches), a subcircuit
# holding an instance of one that does not exist (ngspice returns 0 from that load). (label, card,
# model, subcircuit, what ngspice says.)
REFUSED = [
    ("an undefined parameter", CARD.replace("rdsw=150", "rdsw={150*fnoicor}"), "nch", False,
     "Undefined parameter [fnoicor]"),
    ("an unknown subcircuit", CARD.replace("L={L}\n", "L={L}\nxq d s missing_sub\n"), "nfet", True,
     "Error: unknown subckt: x1.xq "),
]


@pytest.mark.parametrize("text, model, subcircuit, says", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_a_deck_ngspice_refuses_to_load_is_reported_once_at_once(faulty, tmp_path, capfd, text, model, subcircuit,
                                                                  says):
    card = tmp_path / "refused.lib"
    card.write_text(text)
    cfg = config(str(card), model_name=model, subcircuit=subcircuit)
    for call in ("first call", "second call"):
        with pytest.raises(RuntimeError) as info:
            faulty.run(cfg)
        assert str(info.value).startswith("simulation failed: ngspice refused to load the circuit (ngspice: "), call
        assert says in str(info.value), call
        # Not a model without small-signal values, not a crash: no line before the error.
        out, err = capfd.readouterr()
        assert err == "" and "warning" not in out and "tasks completed" not in out, call
        # Only the circuits the first tasks load while the probe is to ask, each once: nothing is
        # asked on them, and no other request follows.
        sent = faulty.requests()
        assert sent and len(sent) == len(set(sent)) and all(r.endswith("-load") for r in sent), (call, sent)


LOADS = {"lut-w0-l0-load", "lut-w0-l1-load"}


@pytest.mark.parametrize("hangs, sent", [
    # Every row request hangs, as when ngspice loops on the device: the first time-out ends the
    # generation; neither pair sends a smaller request, and a request still queued is dropped. On a
    # first call the pairs' first requests load their circuits while the probe is to answer.
    ("lut-.*", LOADS),
    # A probe that hangs ends it before any row is asked for: the device's, or the parameters' after
    # it, both asked on the circuit loaded for a pair.
    ("probe-device", LOADS),
    ("probe-op-params", LOADS),
])
def test_a_request_that_hangs_ends_the_generation_at_its_time_out(tmp_path, capfd, hangs, sent):
    faulty = FaultyPool(tmp_path, timeout_secs=1.0)
    card = tmp_path / "bsim4_180.lib"
    card.write_text(CARD)
    try:
        with pytest.raises(RuntimeError) as info:
            faulty.run(config(str(card)), [{"id": hangs, "fault": "hang"}])
        assert str(info.value) == "simulation failed: worker timed out after 1s"
        assert set(faulty.row_requests()) <= sent and bool(faulty.row_requests()) == bool(sent)
        ids = [r.split("@")[0] for r in faulty.requests()]
        assert ids.count(next(r for r in ids if re.fullmatch(hangs, r))) == 1
        out, err = capfd.readouterr()
        assert retry_lines(err) == [] and "tasks completed" not in out
        # The pool goes on with fresh workers.
        assert faulty.pool.run_simulation("t\nV1 a 0 1\nR1 a 0 1k\n.op\n.end\n", ["run"]).success
    finally:
        faulty.pool.close()
