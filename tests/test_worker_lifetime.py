"""Workers never outlive their host, however it ends."""

import gc
import json
import os
import pathlib
import random
import signal
import string
import subprocess
import sys

import pytest

import morva
from conftest import computing, needs_sigint, wait_until
from test_characterisation import EXAMPLE_CARD
from test_worker import worker_command

# How long a worker may take to end once its host is gone: it notices within
# a quarter of a second, a loaded machine may stretch that far.
WORKERS_END = 60

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
def test_workers_busy_in_a_long_run_end_when_the_host_is_killed(n, started, tmp_path):
    # With `started`, the busy worker has a program of its own running too.
    marker = f"47.{random.randrange(10**6):06d}"
    args = [str(n), marker] if started else [str(n)]
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    host = subprocess.Popen([sys.executable, "-c", HOST, *args], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, TMPDIR=str(tmp)))
    try:
        assert host.stdout.readline().strip() == "ready"
        assert wait_until(lambda: len(children_of(host.pid)) == n, 30)
        workers = children_of(host.pid)
        assert wait_until(computing(workers, 1.0), 60)  # one is inside the long run
        host.send_signal(signal.SIGKILL)
        host.wait()
        wait_until(lambda: not any(alive(w) for w in workers), WORKERS_END)
        left = [w for w in workers if alive(w)]
        for w in left:
            os.kill(w, signal.SIGKILL)
        assert left == []
        assert wait_until(lambda: not sleeps(marker), 30)  # what they started went with them
        assert os.listdir(tmp) == []  # and so did their folders
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
        assert wait_until(lambda: len(children_of(host.pid)) == 2, 30)
        workers = children_of(host.pid)
        assert wait_until(computing(workers, 1.0), 60)  # one is inside the long run
        os.killpg(host.pid, signal.SIGINT)
        assert host.stdout.readline().strip() == "interrupted"
        assert host.wait(60) == 0
        assert wait_until(lambda: not any(alive(w) for w in workers), WORKERS_END)
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
            assert wait_until(lambda: sleeps(marker), 30)
            if end == "crash":
                (worker,) = [pid for pid in children_of(os.getpid()) if alive(pid) and "ps" != comm(pid)]
                os.kill(worker, signal.SIGKILL)
                # Reapable: a killed worker whose threads are still ending is not.
                assert wait_until(lambda: not alive(worker) and len(os.listdir(f"/proc/{worker}/task")) <= 1, 30)
                assert pool.run_simulation(OP, ["op"]).success  # on a new worker
            elif end == "close":
                pool.close()
            else:
                del pool
                gc.collect()
                pool = None
        assert wait_until(lambda: not sleeps(marker), 30)
    finally:
        for pid in sleeps(marker):
            os.kill(pid, signal.SIGKILL)
        if pool is not None:
            pool.close()


# A table on four workers. Each of its requests loads the kit from a folder
# of its own inside its worker's: a netlist and a link to the kit's folder.
TABLE_HOST = """
import sys, morva
cfg = morva.LutConfig(model_file=sys.argv[1], model_name="nch", widths_values=[1e-6, 2e-6],
                      lengths_values=[1.8e-7, 3e-7, 5e-7, 1e-6], vgs=(0.0, 1.8, 0.1), vds=(0.0, 1.8, 0.1),
                      vbs_values=[0.0])
morva.SimulationPool(workers=4).generate_lut(cfg, cache=False)
"""


def loading(tmp):
    """The request folders inside the worker folders under `tmp`: loads in progress."""
    found = []
    for worker_dir in tmp.iterdir():
        try:
            found += [p for p in worker_dir.iterdir() if p.name.startswith("morva-")]
        except OSError:  # gone meanwhile
            pass
    return found


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_host_killed_during_a_pool_table_leaves_no_folder(tmp_path):
    # A kit that takes ngspice about half a second to read, so that loads
    # are seen in progress.
    kit = tmp_path / "kit"
    kit.mkdir()
    card = kit / "models.lib"
    card.write_text(pathlib.Path(EXAMPLE_CARD).read_text() + "* a kit's bulk\n" * 300_000)
    size = card.stat().st_size
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    host = subprocess.Popen([sys.executable, "-c", TABLE_HOST, str(card)], stdout=subprocess.DEVNULL,
                            env=dict(os.environ, TMPDIR=str(tmp), HOME=str(tmp_path)))
    workers = []
    try:
        assert wait_until(lambda: len(children_of(host.pid)) == 4, 30)
        workers = children_of(host.pid)
        assert wait_until(lambda: loading(tmp), 120)
        host.send_signal(signal.SIGKILL)
        host.wait()
        assert wait_until(lambda: not any(alive(w) for w in workers), WORKERS_END)
        assert os.listdir(tmp) == []
        assert card.stat().st_size == size  # the kit, reached through the links, stays
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        for w in workers:
            if alive(w):
                os.kill(w, signal.SIGKILL)


def json_line(**request):
    return (json.dumps(request) + "\n").encode()


def worker_folder(tmp, kit):
    """A folder as the pool makes one for a worker, holding what a load in progress keeps there: a
    request folder with its netlist and a link to the kit's folder."""
    own = tmp / ("morva-" + "".join(random.choices(string.ascii_letters + string.digits, k=6)))
    own.mkdir(mode=0o700)
    request = own / "morva-Req001"
    request.mkdir(mode=0o700)
    (request / ".morva_1_x.cir").write_text("t\n.end\n")
    (request / ".morva_dir").symlink_to(kit)
    return own


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("end", ["end of input", "closed pipe", signal.SIGTERM, signal.SIGHUP],
                         ids=["end of input", "closed pipe", "SIGTERM", "SIGHUP"])
def test_a_worker_removes_its_folder_however_it_learns_its_host_is_gone(end, tmp_path):
    # Its input ends; its answer meets a pipe nobody reads; or a signal ends
    # it in the middle of a run (a hang-up, a service manager's SIGTERM).
    if isinstance(end, signal.Signals) and signal.getsignal(end) == signal.SIG_IGN:
        pytest.skip(f"{end.name} is ignored in this test run, and so in the worker")
    kit = tmp_path / "kit"
    kit.mkdir()
    (kit / "models.lib").write_text("* kept\n")
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    own = worker_folder(tmp, kit)
    env = dict(os.environ, MORVA_WORKER_TMPDIR=str(own), TMPDIR=str(tmp))
    with subprocess.Popen(worker_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env) as proc:
        try:
            if end == "end of input":
                proc.stdin.close()
                assert proc.wait(WORKERS_END) == 0
            elif end == "closed pipe":
                proc.stdout.close()
                proc.stdin.write(json_line(id="op", netlist=OP, commands=["op"]))
                proc.stdin.flush()
                assert proc.wait(WORKERS_END) == 1
            else:
                proc.stdin.write(json_line(id="long", netlist=LONG, commands=["run"]))
                proc.stdin.flush()
                assert wait_until(computing([proc.pid], 1.0), 60)  # inside the long run
                proc.send_signal(end)
                assert proc.wait(WORKERS_END) == -end
        finally:
            if proc.poll() is None:
                proc.kill()
    assert os.listdir(tmp) == []
    assert (kit / "models.lib").read_text() == "* kept\n"
