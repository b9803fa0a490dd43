"""Requests that run on the circuit the worker loaded for the request before
(`on_circuit_of`): no load, the same values as from the netlist loaded
afresh, and nothing run once another request, a failure or a reload has
come between."""

import shutil

import pytest

from test_worker import worker  # noqa: F401  (the fixture: one worker, ended after the test)

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

DIVIDER = "divider\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 3k\n.op\n.end\n"
SWEEP = ["dc v1 0 2 0.5"]  # the loaded deck is lower case
NOT_HELD = "no circuit of that request is loaded"


def values(frame):
    header, vecs = frame
    assert header["success"] is True, header
    return vecs


def test_a_follow_up_runs_on_the_circuit_without_loading_it(worker):
    fresh = values(worker.run(id="fresh", netlist=DIVIDER, commands=SWEEP))
    values(worker.run(id="a", netlist=DIVIDER, commands=["run"]))
    header, vecs = worker.run(id="b", netlist="", commands=SWEEP, on_circuit_of="a")
    assert header["success"] is True
    assert header["timing"]["circ_ns"] == 0 and header["timing"]["fs_write_ns"] == 0
    assert vecs["out"] == fresh["out"] == [0.0, 0.375, 0.75, 1.125, 1.5]
    # A chain names the request before it.
    assert values(worker.run(id="c", netlist="", commands=["op"], on_circuit_of="b"))["out"] == [0.75]


@pytest.mark.parametrize("between, names", [
    ([], "other"),                                                    # not the last request
    ([dict(id="x", netlist=DIVIDER, commands=["run"])], "a"),          # another came between
    ([dict(id="x", netlist="", commands=SWEEP, on_circuit_of="a"),     # its follow-up failed
      dict(id="y", netlist="", commands=["no_such_command 1"], on_circuit_of="x")], "y"),
    ([dict(id="x", netlist="t\nR1 1 0 1k\n", commands=["run"])], "x"),   # a netlist refused
    ([dict(id="x", netlist=DIVIDER, commands=["set noaskquit", "run"])], "x"),  # a reload followed
])
def test_nothing_runs_once_the_circuit_is_not_held(worker, between, names):
    values(worker.run(id="a", netlist=DIVIDER, commands=["run"]))
    for request in between:
        worker.run(**request)
    header, vecs = worker.run(id="late", netlist="", commands=SWEEP, on_circuit_of=names)
    assert (header["success"], header["error"], vecs) == (False, NOT_HELD, {})
    # The worker serves on.
    assert values(worker.run(id="next", netlist=DIVIDER, commands=["run"]))["out"] == [0.75]
