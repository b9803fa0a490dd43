"""Workers never outlive their host, however it ends."""

import os
import signal
import subprocess
import sys
import time

import pytest

LONG = "long\nV1 in 0 SIN(0 1 1meg)\nR1 in out 1k\nC1 out 0 1n\n.tran 1n 20m 0 1n\n.end\n"

HOST = f"""
import sys, morva
pool = morva.SimulationPool(workers=2)
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
def test_workers_busy_in_a_long_run_end_when_the_host_is_killed():
    host = subprocess.Popen([sys.executable, "-c", HOST], stdout=subprocess.PIPE, text=True)
    try:
        assert host.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + 10
        workers = []
        while len(workers) < 2 and time.monotonic() < deadline:
            workers = children_of(host.pid)
            time.sleep(0.05)
        assert len(workers) == 2
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
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
