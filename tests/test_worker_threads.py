"""A worker stays a single thread, so that ngspice reads a kit at full speed.

Once a process has had a second thread, the C library locks every character
read through stdio, and ngspice reads its input that way: a large kit then
took two thirds longer to load in a worker than in `ngspice -b`.
"""

import os
import shutil
import sys

import pytest

import morva

pytestmark = [pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc"),
              pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")]


def threads(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith("Threads:")))


def descendants(pid):
    """Every process below `pid` (the worker script may run the worker in a child)."""
    out, todo = [], [pid]
    while todo:
        parent = todo.pop()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(") ", 1)[1].split()[1]) == parent:
                        out.append(int(entry))
                        todo.append(int(entry))
            except (FileNotFoundError, ProcessLookupError, IndexError):
                pass
    return out


def test_a_worker_that_has_served_requests_is_one_thread():
    with morva.SimulationPool(workers=1) as pool:
        for _ in range(2):
            assert pool.run_simulation("t\nV1 a 0 1\nR1 a 0 1k\n.op\n.end\n", ["run"]).success
        workers = descendants(os.getpid())
        assert workers
        assert [threads(pid) for pid in workers] == [1] * len(workers)
