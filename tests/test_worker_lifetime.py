"""Workers never outlive their host, however it ends."""

import gc
import os
import random
import signal
import subprocess
import sys
import time

import pytest

import morva
from conftest import needs_sigint

LONG = "long\nV1 in 0 SIN(0 1 1meg)\nR1 in out 1k\nC1 out 0 1n\n.tran 1n 20m 0 1n\n.end\n"

# argv: the worker count and, optionally, a `sleep` argument that a first
# job leaves running in the background of its worker.
HOST = f"""
import sys, morva
pool = morva.SimulationPool(workers=int(sys.argv[1]))
if len(sys.argv) > 2:
    pool.run_simulation("op\\nR1 1 0 1k\\n.op\\n.end", ["shell sleep " + sys.argv[2] + " &"])
print("ready", flush=True)
pool.run_simulation({LONG!r}, ["run"])
"""


def children_of(pid):
    out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(pid)], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split()]


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("n, started", [(2, False), (1, True)])
def test_workers_busy_in_a_long_run_end_when_the_host_is_killed(n, started):
    # With `started`, the busy worker has a program of its own running too.
    marker = f"47.{random.randrange(10**6):06d}"
    args = [str(n), marker] if started else [str(n)]
    host = subprocess.Popen([sys.executable, "-c", HOST, *args], stdout=subprocess.PIPE, text=True)
    try:
        assert host.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + 10
        workers = []
        while len(workers) < n and time.monotonic() < deadline:
            workers = children_of(host.pid)
            time.sleep(0.05)
        assert len(workers) == n
        time.sleep(0.5)  # one of them is now inside the long transient
        host.send_signal(signal.SIGKILL)
        host.wait()
        deadline = time.monotonic() + 5
        while any(alive(w) for w in workers) and time.monotonic() < deadline:
            time.sleep(0.05)
        left = [w for w in workers if alive(w)]
        for w in left:
            os.kill(w, signal.SIGKILL)
        assert left == []
        assert wait_until(lambda: not sleeps(marker), 5)  # what they started went with them
    finally:
        for pid in sleeps(marker):
            os.kill(pid, signal.SIGKILL)
        if host.poll() is None:
            host.kill()
            host.wait()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@needs_sigint
def test_ctrl_c_at_a_terminal_ends_the_host_and_its_workers_with_it():
    # A terminal sends SIGINT to its foreground process group. The workers
    # lead groups of their own: the host takes the interrupt, and its pool
    # ends them as the interpreter exits.
    code = HOST.replace(f"pool.run_simulation({LONG!r}", f"try:\n    pool.run_simulation({LONG!r}") + (
        "except KeyboardInterrupt:\n    print('interrupted', flush=True)\n"
    )
    host = subprocess.Popen(
        [sys.executable, "-c", code, "2"], stdout=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        assert host.stdout.readline().strip() == "ready"
        assert wait_until(lambda: len(children_of(host.pid)) == 2, 10)
        workers = children_of(host.pid)
        time.sleep(0.5)  # one of them is now inside the long transient
        os.killpg(host.pid, signal.SIGINT)
        assert host.stdout.readline().strip() == "interrupted"
        assert host.wait(30) == 0
        assert wait_until(lambda: not any(alive(w) for w in workers), 5)
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()


def sleeps(marker):
    """Pids of the `sleep <marker>` processes on the machine."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if f.read() == b"sleep\0" + marker.encode() + b"\0":
                        found.append(int(entry))
            except OSError:
                pass
    return found


def comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return None


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.05)
    return predicate()


OP = "op\nV1 in 0 1\nR1 in out 1k\n.op\n.end\n"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("end", ["time-out", "crash", "close", "release"])
def test_programs_a_netlist_started_end_with_their_worker(end):
    marker = f"47.{random.randrange(10**6):06d}"
    pool = morva.SimulationPool(workers=1, timeout_secs=1.0 if end == "time-out" else 60.0)
    try:
        if end == "time-out":
            with pytest.raises(RuntimeError, match="timed out"):
                pool.run_simulation(OP, [f"shell sleep {marker}"])
        else:
            # In the background: the worker answers and idles on.
            assert pool.run_simulation(OP, [f"shell sleep {marker} &", "op"]).success
            assert wait_until(lambda: sleeps(marker), 5)
            if end == "crash":
                (worker,) = [pid for pid in children_of(os.getpid()) if alive(pid) and "ps" != comm(pid)]
                os.kill(worker, signal.SIGKILL)
                # Reapable: a killed worker whose threads are still ending is not.
                assert wait_until(lambda: not alive(worker) and len(os.listdir(f"/proc/{worker}/task")) <= 1, 5)
                assert pool.run_simulation(OP, ["op"]).success  # on a new worker
            elif end == "close":
                pool.close()
            else:
                del pool
                gc.collect()
                pool = None
        assert wait_until(lambda: not sleeps(marker), 5)
    finally:
        for pid in sleeps(marker):
            os.kill(pid, signal.SIGKILL)
        if pool is not None:
            pool.close()
