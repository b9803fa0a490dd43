"""The worker pool and its Python surface: _SimulationPool, SimulationResult, SimulationPool."""

import gc
import json
import math
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import morva
from conftest import child_processes as children, child_process, computing, needs_sigint, wait_until
from morva import SimulationPool

FAKE_WORKER = pathlib.Path(__file__).with_name("fake_worker.py")


def rc_netlist(r_ohm):
    """An RC step response whose 50% delay is R * 1n * ln 2."""
    return (
        f"rc\nV1 in 0 PULSE(0 1 0 1n 1n 100u 200u)\nR1 in out {r_ohm}\nC1 out 0 1n\n.tran 10n 10u\n"
        ".meas tran tdelay TRIG v(in) VAL=0.5 RISE=1 TARG v(out) VAL=0.5 RISE=1\n.end\n"
    )


# About six seconds of ngspice time, returning no vectors.
LONG = "long\nV1 in 0 SIN(0 1 1meg)\nR1 in out 1k\nC1 out 0 1n\n.tran 1n 2m 0 1n\n.end\n"
# Ten times as long (over a minute): what a time-out or a close must not wait for.
LONGER = LONG.replace(" 2m ", " 20m ")
AC = "ac\nV1 1 0 AC 1\nR1 1 2 1k\nC1 2 0 1n\n.ac dec 10 1k 1meg\n.end"


def assert_rc_delay(result, r_ohm):
    assert result.success, result.error
    assert result.measures["tdelay"] == pytest.approx(r_ohm * 1e-9 * math.log(2), rel=5e-3)


def ended(pid):
    """Whether `pid` has ended so far that its parent can reap it: a killed
    process shows as a zombie while its other threads are still ending, and
    only then can it be waited for."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
        return stat[stat.rfind(")") + 2] == "Z" and len(os.listdir(f"/proc/{pid}/task")) <= 1
    except OSError:
        return True


def worker_pids(exclude=()):
    """Live children, leaving out the pids in `exclude` (other pools')."""
    return [pid for pid, state in children() if state != "Z" and pid not in exclude]


@pytest.fixture(scope="module")
def fake_exe(tmp_path_factory):
    exe = tmp_path_factory.mktemp("fake") / "fake-worker"
    exe.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{FAKE_WORKER}" "$@"\n')
    exe.chmod(0o755)
    return str(exe)


@pytest.fixture(scope="module")
def pool8():
    with SimulationPool(workers=8) as pool:
        yield pool


def fake(netlist_first_line):
    return netlist_first_line + "\n.end"


# ---- batches and concurrency ---------------------------------------------------------


def test_batch_comes_back_in_input_order_with_consecutive_ids(pool8):
    resistors = [1000 + 10 * i for i in range(200)]
    results = pool8.run_simulations_batch([(rc_netlist(r), ["run"]) for r in resistors])
    assert len(results) == 200
    first = int(results[0].id.split("-")[1])
    assert [r.id for r in results] == [f"py-{first + i}" for i in range(200)]
    for r_ohm, result in zip(resistors, results):
        assert_rc_delay(result, r_ohm)


def test_threads_share_one_pool(pool8):
    seen, failures = [], []

    def client(t):
        for k in range(50):
            r_ohm = 1000 + 37 * t + 100 * k
            result = pool8.run_simulation(rc_netlist(r_ohm), ["run"])
            try:
                assert_rc_delay(result, r_ohm)
            except AssertionError as e:
                failures.append(e)
            seen.append(result.id)

    threads = [threading.Thread(target=client, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(seen) == 200 and len(set(seen)) == 200


def test_failed_simulation_is_a_result_not_an_exception(pool8):
    result = pool8.run_simulation("no end card", ["run"], id="mine")
    assert result.id == "mine"
    assert result.success is False
    assert result.error == "netlist does not end with .end"
    assert result.log == ["netlist must end with .end"]
    assert repr(result) == "SimulationResult(id='mine', success=false, vectors=0)"


def test_python_subprocess_still_works_beside_a_pool(pool8):
    assert subprocess.run(["true"]).returncode == 0
    assert subprocess.run([sys.executable, "-c", "pass"]).returncode == 0


# ---- crashes, time-outs, restarts ---------------------------------------------------


def test_worker_killed_during_a_job_and_while_idle(capfd):
    others = {pid for pid, _ in children()}
    with SimulationPool(workers=1) as pool:
        assert pool.run_simulation(rc_netlist(1000), ["run"]).success
        (pid,) = worker_pids(others)
        outcome = {}

        def long_job():
            try:
                pool.run_simulation(LONG, ["run"])
            except RuntimeError as e:
                outcome["error"] = str(e)

        t = threading.Thread(target=long_job)
        t.start()
        assert wait_until(computing([pid], 0.5), 60)  # inside the job
        os.kill(pid, signal.SIGKILL)
        t.join(30)
        assert outcome["error"] == "worker crashed: stdout read (header len) failed: early eof"
        assert_rc_delay(pool.run_simulation(rc_netlist(1500), ["run"]), 1500)
        err = capfd.readouterr().err
        assert "[pool] worker 0: crashed during simulation — stdout read (header len) failed: early eof\n" in err
        assert "[pool] worker 0: respawned successfully\n" in err

        (pid,) = worker_pids(others)
        os.kill(pid, signal.SIGKILL)
        assert wait_until(lambda: ended(pid), 60)
        assert_rc_delay(pool.run_simulation(rc_netlist(2000), ["run"]), 2000)
        assert "[pool] worker 0: detected dead process, respawning\n" in capfd.readouterr().err
    assert wait_until(lambda: {pid for pid, _ in children()} <= others, 60)


# The storm scripts' view of their pool's live workers: the children of the
# script's process (`me`, its pid as text) that are not zombies.
LIVE_WORKERS = r"""
def live_workers():
    out = []
    for p in os.listdir("/proc"):
        try:
            state, parent = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()[:2]
        except (OSError, ValueError):
            continue
        if parent == me and state != "Z":
            out.append(int(p))
    return out
"""


# A pool whose workers are all SIGKILLed every `period` seconds for `storm`
# seconds while four threads run jobs on it (most kills hit workers that are
# still starting), then a batch of 16 jobs; prints what the calls saw.
KILL_STORM = r"""
import json, os, signal, sys, threading, time, morva

workers, period, storm = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
if sys.argv[5] == "ignore-sigchld":
    # Such a host has its children reaped by the system: how a worker ended is lost.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
pool = morva._SimulationPool(workers=workers, worker_exe=sys.argv[1])
me = str(os.getpid())


""" + LIVE_WORKERS + r"""

pool.run_simulations_batch([("ok\n.end", ["run"])] * (2 * workers))
over = threading.Event()
kills, errors = [0], []


def killer():
    end = time.monotonic() + storm
    while time.monotonic() < end:
        for pid in live_workers():
            try:
                os.kill(pid, signal.SIGKILL)
                kills[0] += 1
            except ProcessLookupError:
                pass
        time.sleep(period)
    over.set()


def client():
    while not over.is_set():
        try:
            pool.run_simulation("sleep 0.01\n.end", ["run"])
        except RuntimeError as e:
            errors.append(str(e))


threads = [threading.Thread(target=killer)] + [threading.Thread(target=client) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
after = []
try:
    after = [r.success for r in pool.run_simulations_batch([("sleep 0.2\n.end", ["run"])] * 16)]
except RuntimeError as e:
    errors.append(str(e))
print(json.dumps({"kills": kills[0], "errors": errors, "after": after, "live": len(live_workers())}))
"""


@pytest.mark.parametrize("workers, period, sigchld", [
    (4, 0.02, "default"),
    (6, 0.05, "default"),
    (4, 0.02, "ignore-sigchld"),
])
def test_a_kill_storm_retires_no_worker(fake_exe, tmp_path, workers, period, sigchld):
    # Workers that take a tenth of a second to start: the storm meets each
    # new one while it starts.
    exe = tmp_path / "slow-start-worker"
    exe.write_text(f'#!/bin/sh\nsleep 0.1\nexec "{fake_exe}"\n')
    exe.chmod(0o755)
    out = subprocess.run(
        [sys.executable, "-c", KILL_STORM, str(exe), str(workers), str(period), "2", sigchld],
        capture_output=True, text=True, timeout=120,
    )
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    assert seen["kills"] > 0
    # The jobs whose workers were killed failed as crashes, many of them at
    # start-up (a job whose worker was killed before it read anything is run
    # again on the next, a few times); none heard "exhausted", and no slot
    # was given up.
    assert seen["errors"] and all(e.startswith("worker crashed: ") for e in seen["errors"]), seen["errors"]
    how = "(ended)" if sigchld == "ignore-sigchld" else "(killed by signal 9)"
    assert any(f"exited during start-up {how}" in e for e in seen["errors"])
    assert "giving up" not in out.stderr
    # Afterwards every slot serves again.
    assert seen["after"] == [True] * 16
    assert seen["live"] == workers


# Real workers, restarted after every job so that one is nearly always
# starting, while every live worker gets SIGINT every 2 ms for two seconds
# and two threads run jobs; prints what the calls saw, and whether a worker
# that then served has SIGINT ignored and blocked.
SIGINT_STORM = r"""
import json, os, signal, sys, threading, time, morva

pool = morva.SimulationPool(workers=2, max_sims_per_worker=1, worker_exe=sys.argv[1] or None)
me = str(os.getpid())
OP = "t\nV1 1 0 1\nR1 1 0 1k\n.op\n.end"


""" + LIVE_WORKERS + r"""

def sigint_bits(pid):
    fields = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status"))
    return [int(fields[name], 16) >> (signal.SIGINT - 1) & 1 for name in ("SigIgn", "SigBlk")]


over = threading.Event()
sent, results, errors = [0], [], []


def interrupter():
    end = time.monotonic() + 2.0
    while time.monotonic() < end:
        for pid in live_workers():
            try:
                os.kill(pid, signal.SIGINT)
                sent[0] += 1
            except ProcessLookupError:
                pass
        time.sleep(0.002)
    over.set()


def client():
    while not over.is_set():
        try:
            results.append(pool.run_simulation(OP, ["run"]).success)
        except RuntimeError as e:
            errors.append(str(e))


threads = [threading.Thread(target=interrupter)] + [threading.Thread(target=client) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
# A worker that has served (these restart after every job) and idles.
pool.close()
idle = morva.SimulationPool(workers=1, worker_exe=sys.argv[1] or None)
idle.run_simulation(OP, ["run"])
bits = [sigint_bits(pid) for pid in live_workers()]
print(json.dumps({"sent": sent[0], "results": results, "errors": errors, "bits": bits}))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("start", ["console script", "interpreter from a shell script"])
def test_sigint_ends_no_worker_not_even_while_it_starts(tmp_path, start):
    # Python's start-up turns a SIGINT into a fatal error (an exit the pool
    # would count as a broken install, then "worker pool exhausted").
    exe = ""
    if start != "console script":
        script = tmp_path / "worker"
        script.write_text(f'#!/bin/sh\nexec "{sys.executable}" -c "import morva._main; morva._main.run_worker()"\n')
        script.chmod(0o755)
        exe = str(script)
    out = subprocess.run([sys.executable, "-c", SIGINT_STORM, exe], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    assert seen["sent"] > 100
    assert seen["errors"] == [] and len(seen["results"]) > 4 and all(seen["results"])
    assert "start-up" not in out.stderr and "crashed" not in out.stderr
    # Ignored, not left blocked: what a netlist starts gets a normal mask.
    assert seen["bits"] == [[1, 0]]


OP = "op\nV1 in 0 1\nR1 in out 1k\n.op\n.end\n"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize(
    "kill, when, runs",
    [
        # Killed while idle, the next job sent at once: it reaches the dead
        # worker's input unread, and runs on the next worker.
        (signal.SIGKILL, "idle", 10),
        (signal.SIGTERM, "idle", 3),
        # Sent once the worker has ended: a new one is started first.
        (signal.SIGKILL, "ended", 2),
        # Killed while it runs the job: the job may have done its work, and is
        # never run twice; its caller hears of the crash.
        (signal.SIGKILL, "running", 2),
    ],
)
def test_a_job_whose_worker_was_killed_runs_once_or_fails(tmp_path, kill, when, runs):
    others = {pid for pid, _ in children()}
    marks = tmp_path / "marks"
    marks.mkdir()
    with SimulationPool(workers=1) as pool:
        for i in range(runs):
            assert pool.run_simulation(OP, ["run"]).success
            (pid,) = worker_pids(others)
            # Each run of the job leaves one file.
            commands = [f"shell mktemp {marks}/{i}.XXXXXX", "run"]
            if when == "running":
                outcome = {}
                job = threading.Thread(target=lambda: outcome.update(error=pytest.raises(
                    RuntimeError, pool.run_simulation, LONG, commands).value))
                job.start()
                assert wait_until(lambda: any(marks.glob(f"{i}.*")), 30)
                os.kill(pid, kill)
                job.join(60)
                assert str(outcome["error"]) == "worker crashed: stdout read (header len) failed: early eof"
            else:
                os.kill(pid, kill)
                if when == "ended":
                    assert wait_until(lambda: ended(pid), 60)
                assert pool.run_simulation(OP, commands).success
            assert len(list(marks.glob(f"{i}.*"))) == 1
        assert pool.run_simulation(OP, ["run"]).success
        assert len(list(marks.iterdir())) == runs


def test_time_out_replaces_the_worker(capfd):
    others = {pid for pid, _ in children()}
    with SimulationPool(workers=1, timeout_secs=1.0) as pool:
        assert pool.run_simulation(rc_netlist(1000), ["run"]).success
        (slow_pid,) = worker_pids(others)
        start = time.monotonic()
        with pytest.raises(RuntimeError) as e:
            pool.run_simulation(LONGER, ["run"])
        assert str(e.value) == "simulation failed: worker timed out after 1s"
        assert time.monotonic() - start < 30  # not the run's minute
        result = pool.run_simulation(rc_netlist(1200), ["run"], id="after-timeout")
        assert result.id == "after-timeout"
        assert_rc_delay(result, 1200)
        assert slow_pid not in [pid for pid, _ in children()]


@pytest.mark.parametrize(
    "exe, reason",
    [
        (lambda fake: "/nonexistent/w", "No such file or directory (os error 2)"),
        # The system would stop at the NUL and start another program than named.
        (lambda fake: fake + "\0 --ignored", "nul byte found in provided data"),
    ],
)
def test_every_spawn_failing_leaves_an_exhausted_pool(capfd, fake_exe, exe, reason):
    pool = morva._SimulationPool(workers=2, worker_exe=exe(fake_exe))
    err = ""
    deadline = time.monotonic() + 60
    while err.count("failed to spawn") < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
        err += capfd.readouterr().err
    assert f"[pool] worker 0: failed to spawn — I/O error: {reason}\n" in err
    assert f"[pool] worker 1: failed to spawn — I/O error: {reason}\n" in err
    with pytest.raises(RuntimeError, match=r"^worker pool exhausted: worker [01] failed to spawn: I/O error: "):
        pool.run_simulation(rc_netlist(1000), ["run"])
    del pool


def test_proactive_restart_after_max_sims(capfd):
    with SimulationPool(workers=1, max_sims_per_worker=3) as pool:
        for i in range(7):
            assert_rc_delay(pool.run_simulation(rc_netlist(1000 + i), ["run"]), 1000 + i)
    err = capfd.readouterr().err
    assert err.count("[pool] worker 0: reached 3 sims, restarting to reclaim ngspice heap\n") == 2


def test_releasing_a_pool_ends_every_child(capfd):
    before = {pid for pid, _ in children()}
    pool = SimulationPool(workers=3)
    pool.run_simulations_batch([(rc_netlist(1000), ["run"])] * 6)
    assert len(worker_pids(before)) == 3
    capfd.readouterr()
    del pool
    gc.collect()
    assert wait_until(lambda: {pid for pid, _ in children()} <= before, 30)
    # Each worker found the queue closed and empty.
    err = capfd.readouterr().err
    assert sorted(line for line in err.splitlines() if line.startswith("[pool]")) == [
        f"[pool] worker {i}: channel closed, exiting" for i in range(3)
    ]


# ---- arguments ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "open_files, workers, message, default",
    [
        (None, 10**9, "workers must be at most 1024 (each worker is a process of its own, served by two "
         "threads), got 1000000000", None),
        # (100 - 64 descriptors for the host) / 8 per worker.
        (100, 5, "workers must be at most 4 here: each worker holds 8 open files and the open-file limit "
         "(RLIMIT_NOFILE) is 100; got 5", 4),
    ],
)
def test_worker_count_is_bounded(fake_exe, open_files, workers, message, default):
    # In a fresh process, whose open-file limit may be lowered: the refusal
    # comes before any thread or process starts; the default stays within it.
    code = f"""
import os, resource, morva
if {open_files!r}:
    resource.setrlimit(resource.RLIMIT_NOFILE, ({open_files!r}, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
threads = len(os.listdir("/proc/self/task"))
try:
    morva._SimulationPool(workers={workers!r}, worker_exe={fake_exe!r})
except ValueError as e:
    print(e)
try:
    os.waitpid(-1, os.WNOHANG)
    started = "a child"
except ChildProcessError:
    started = "no child"
print(len(os.listdir("/proc/self/task")) - threads, "threads,", started)
if {default!r}:
    print(repr(morva._SimulationPool(worker_exe={fake_exe!r})))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    lines = out.stdout.splitlines()
    assert lines[:2] == [message, "0 threads, no child"]
    if default:
        assert lines[2] == f"SimulationPool(workers={min(default, len(os.sched_getaffinity(0)))})"


def test_construction_arguments(fake_exe):
    for bad, message in [
        (-1.0, "cannot convert float seconds to Duration: value is negative"),
        (float("nan"), "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (float("inf"), "cannot convert float seconds to Duration: value is either too big or NaN"),
    ]:
        with pytest.raises(ValueError) as e:
            morva._SimulationPool(workers=1, timeout_secs=bad, worker_exe=fake_exe)
        assert str(e.value) == message
    with pytest.raises(ValueError, match="^workers must be at least 1$"):
        morva._SimulationPool(workers=0, worker_exe=fake_exe)
    with pytest.raises((TypeError, OverflowError)):
        morva._SimulationPool(workers=-1, worker_exe=fake_exe)
    with pytest.raises(TypeError, match="^argument 'timeout_secs': "):
        morva._SimulationPool(workers=1, timeout_secs=None, worker_exe=fake_exe)
    with pytest.raises(TypeError, match="^argument 'workers': "):
        morva._SimulationPool(workers="2", worker_exe=fake_exe)
    with pytest.raises(TypeError):

        class Sub(morva._SimulationPool):
            pass

    pool = morva._SimulationPool(workers=3, timeout_secs=2, worker_exe=fake_exe)
    assert repr(pool) == "SimulationPool(workers=3)"
    del pool
    pool = morva._SimulationPool(worker_exe=fake_exe)
    assert repr(pool) == f"SimulationPool(workers={len(os.sched_getaffinity(0))})"


@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda p: p.run_simulation(fake("ok"), "run"), TypeError, "argument 'commands': Can't extract `str` to `Vec`"),
        (lambda p: p.run_simulation(fake("ok"), ["run", 3]), TypeError,
         "argument 'commands': 'int' object cannot be converted to 'PyString'"),
        (lambda p: p.run_simulation(fake("ok"), ["run"], id=7), TypeError,
         "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (lambda p: p.run_simulations_batch([[fake("ok"), ["run"]]]), TypeError,
         "argument 'jobs': 'list' object cannot be converted to 'PyTuple'"),
        (lambda p: p.run_simulations_batch([(fake("ok"), ["run"], 1)]), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        # ngspice would read a line only up to a NUL: "1\x00000k" would run as 1 ohm.
        (lambda p: p.run_simulation("t\nR1 in out 1\x00000k\n.end", ["run"]), ValueError,
         "netlist must not contain NUL characters, found one at position 13"),
        (lambda p: p.run_simulation("Ω\x00\n.end", ["run"]), ValueError,
         "netlist must not contain NUL characters, found one at position 1"),
        (lambda p: p.run_simulation(fake("ok"), ["run", "print\x00 v(1)"]), ValueError,
         "commands[1] must not contain NUL characters, found one at position 5"),
        (lambda p: p.run_simulations_batch([(fake("ok"), ["run"]), (fake("ok"), ["\x00"])]), ValueError,
         "jobs[1]: commands[0] must not contain NUL characters, found one at position 0"),
    ],
)
def test_call_arguments(fake_exe, call, exception, message):
    pool = morva._SimulationPool(workers=1, worker_exe=fake_exe)
    with pytest.raises(exception) as e:
        call(pool)
    assert str(e.value) == message
    assert pool.run_simulations_batch([]) == [] and pool.run_simulations_batch(()) == []


def test_automatic_ids_in_a_fresh_process(fake_exe):
    code = f"""
import morva
pool = morva._SimulationPool(workers=2, worker_exe={fake_exe!r})
ids = [pool.run_simulation("ok\\n.end", ["run"]).id]
ids += [r.id for r in pool.run_simulations_batch([("ok\\n.end", ["run"])] * 3)]
ids.append(pool.run_simulation("ok\\n.end", ["run"], id="given").id)
assert pool.run_simulations_batch([]) == []
for refused in (lambda: pool.run_simulation("ok\\0\\n.end", ["run"]),
                lambda: pool.run_simulations_batch([("ok\\n.end", ["run"]), ("ok\\0\\n.end", ["run"])])):
    try:
        refused()
    except ValueError:
        pass
ids.append(pool.run_simulation("ok\\n.end", ["run"]).id)
print(",".join(ids))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "py-0,py-1,py-2,py-3,given,py-4"


# ---- replies read from a crafted worker ------------------------------------------------


def test_reader_accepts_what_the_protocol_allows(fake_exe):
    pool = morva._SimulationPool(workers=1, worker_exe=fake_exe)
    r = pool.run_simulation(fake("null-error"), ["run"])
    assert r.success is False and r.error is None
    r = pool.run_simulation(fake("null-measure"), ["run"])
    assert math.isnan(r.measures["nan_m"]) and r.measures["x"] == 2.0
    r = pool.run_simulation(fake("complex"), ["run"])
    assert list(r.complex_vector("c")) == [1 - 1j, 2 - 2j, 3 - 3j]
    assert list(r.vector("c")) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "mode, exception, message",
    [
        ("missing-log", ValueError, "serialization error: missing field `log` at line 1 column "),
        ("garbage", ValueError, "serialization error: expected value at line 1 column 1"),
        ("truncated", RuntimeError, "worker crashed: stdout read (vec data) failed: early eof"),
        ("exit", RuntimeError, "worker crashed: stdout read (header len) failed: early eof"),
        (
            "huge-header",
            RuntimeError,
            "worker crashed: stdout read (header) failed: header length 4294967280 exceeds the limit of 268435456 bytes",
        ),
        ("huge-vector", RuntimeError, "worker crashed: stdout read (vec data) failed: early eof"),
    ],
)
def test_reader_refuses_bad_frames_and_the_pool_recovers(fake_exe, mode, exception, message):
    import resource

    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    pool = morva._SimulationPool(workers=1, worker_exe=fake_exe)
    with pytest.raises(exception) as e:
        pool.run_simulation(fake(mode), ["run"])
    assert str(e.value).startswith(message)
    r = pool.run_simulation(fake("ok"), ["run"], id="next")
    assert r.id == "next" and list(r.vector("v")) == [1.0, 2.0, 3.0]
    # No buffer was sized from a length word.
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before < 100_000


def test_a_reply_too_large_for_memory_costs_only_its_own_job(fake_exe):
    # An address-space limit, as on shared compute servers: a 1 GiB reply
    # cannot be held, and the worker is replaced for the jobs after it.
    code = (
        "import resource, morva\n"
        f"pool = morva._SimulationPool(workers=1, worker_exe={fake_exe!r})\n"
        "pool.run_simulation('ok\\n.end', ['run'])\n"
        "vm = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (vm + (512 << 20), resource.RLIM_INFINITY))\n"
        "for netlist in ['big 134217728', 'ok', 'big 134217728', 'ok', 'ok']:\n"
        "    try:\n"
        "        print('ok', list(pool.run_simulation(netlist + '\\n.end', ['run']).vector('v').tolist()), flush=True)\n"
        "    except Exception as e:\n"
        "        print(type(e).__name__, e, flush=True)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    too_big = "MemoryError vector 'v' of the reply (134217728 values, 1073741824 bytes) does not fit in memory"
    ok = "ok [1.0, 2.0, 3.0]"
    assert out.stdout.splitlines() == [too_big, ok, too_big, ok, ok], out.stderr


def start_failures(pool, limit=8):
    """The errors of jobs on a pool whose workers cannot start, up to the
    first "worker pool exhausted"."""
    errors = []
    for _ in range(limit):
        with pytest.raises(RuntimeError) as e:
            pool.run_simulation(fake("ok"), ["run"])
        errors.append(str(e.value))
        if errors[-1].startswith("worker pool exhausted"):
            break
    return errors


@pytest.mark.parametrize(
    "setting, reason",
    [
        ("library", "ngspice-worker: failed to load libngspice: "),
        # -S: no site-packages, so the package cannot be imported.
        ("interpreter", "ModuleNotFoundError: No module named 'morva'"),
    ],
)
def test_a_worker_that_cannot_start_says_why_and_is_not_started_forever(
    setting, reason, tmp_path, monkeypatch, capfd
):
    if setting == "library":
        monkeypatch.setenv("NGSPICE_LIBRARY_PATH", str(tmp_path / "missing" / "libngspice.so"))
        pool = SimulationPool(workers=1)
    else:
        exe = tmp_path / "worker"
        exe.write_text(f'#!/bin/sh\nexec "{sys.executable}" -S -c "import morva._main; morva._main.run_worker()"\n')
        exe.chmod(0o755)
        monkeypatch.chdir(tmp_path)
        pool = morva._SimulationPool(workers=1, worker_exe=str(exe))
    errors = start_failures(pool)
    head = "worker 0 exited during start-up (exit code 1): "
    assert errors[0].startswith("worker crashed: " + head) and reason in errors[0]
    assert errors[-1].startswith("worker pool exhausted: " + head) and reason in errors[-1]
    assert len(errors) <= 3
    del pool
    err = capfd.readouterr().err
    assert reason in err  # the workers' own words still reach standard error
    assert "[pool] worker 0: exited during start-up 3 times in a row, giving up\n" in err


def test_late_reply_after_a_time_out_never_reaches_the_next_caller(fake_exe):
    others = {pid for pid, _ in children()}
    pool = morva._SimulationPool(workers=1, timeout_secs=0.3, worker_exe=fake_exe)
    assert wait_until(lambda: len(worker_pids(others)) == 1, 60)
    (slow,) = worker_pids(others)
    with pytest.raises(RuntimeError, match=r"^simulation failed: worker timed out after 0s$"):
        pool.run_simulation(fake("sleep 1"), ["run"], id="slow")
    # Ended at the time-out; were it not, its late frame is in the pipe once
    # the wait gives up.
    wait_until(lambda: ended(slow), 60)
    assert pool.run_simulation(fake("ok"), ["run"], id="fast").id == "fast"


def test_batch_raises_the_first_failure_after_every_job_ran(fake_exe, tmp_path):
    log = tmp_path / "ids"
    os.environ["FAKE_WORKER_LOG"] = str(log)
    try:
        pool = morva._SimulationPool(workers=2, worker_exe=fake_exe)
        jobs = [(fake(m), ["run"]) for m in ["ok", "exit", "ok", "garbage", "ok"]]
        with pytest.raises(RuntimeError) as e:
            pool.run_simulations_batch(jobs)
        assert str(e.value) == "worker crashed: stdout read (header len) failed: early eof"
        assert len(log.read_text().split()) == 5
    finally:
        del os.environ["FAKE_WORKER_LOG"]


# ---- SimulationResult -------------------------------------------------------------------


def crafted(pool, vectors, measures=None):
    line = "vectors " + json.dumps(vectors) + ("|" + json.dumps(measures) if measures is not None else "")
    return pool.run_simulation(fake(line), ["run"], id="crafted")


def test_result_lookup_rules(fake_exe):
    pool = morva._SimulationPool(workers=1, worker_exe=fake_exe)
    r = crafted(pool, [["time", [0, 1]], ["v(out)", [2, 3]], ["V(1)", [4, 5]], ["out", [6, 7]]])
    assert list(r.vector("TIME")) == list(r.time_vector()) == [0, 1]
    assert list(r.vector("v(out)")) == [2, 3]  # the exact name wins over the inner text
    assert list(r.vector("V(OUT)")) == [2, 3]
    assert list(r.vector("1")) == list(r.vector("v(1)")) == [4, 5]
    with pytest.raises(KeyError) as e:
        r.vector("nope")
    assert e.value.args[0] == "vector 'nope' not found; available: [\"time\", \"v(out)\", \"V(1)\", \"out\"]"
    with pytest.raises(KeyError) as e:
        r.vector("no\0pe")  # the message keeps what follows a NUL
    assert e.value.args[0].startswith("vector 'no\0pe' not found; available: [")
    with pytest.raises(TypeError, match="^argument 'name': 'int' object cannot be converted to 'PyString'$"):
        r.vector(1)
    with pytest.raises(ValueError) as e:
        r.complex_vector("time")
    assert str(e.value) == "vector 'time' has no complex data (not an AC analysis result)"
    a = r.vector("out")
    a[0] = 99
    assert r.vector("out")[0] == 6

    r = crafted(pool, [["out", [1]], ["xfreqy", [2]], ["frequency", [3]], ["out", [4]]], [["m", 1], ["m", 2], ["k", 3]])
    assert list(r.frequency_vector()) == [3]
    assert r.vector_names() == ["out", "xfreqy", "frequency", "out"]
    assert list(r.vectors_dict()["out"]) == [4]
    assert r.measures == {"m": 2.0, "k": 3.0} and list(r.measures) == ["m", "k"]
    assert list(r.sweep_vector()) == [1]
    assert r.time_vector().shape == (0,)

    r = crafted(pool, [["tran1.time", [1]], ["ac1.freq", [2]], ["dc1.v-sweep", [3]]])
    assert list(r.time_vector()) == [1] and list(r.frequency_vector()) == [2] and list(r.sweep_vector()) == [3]
    r = crafted(pool, [])
    assert r.sweep_vector().shape == (0,) and r.frequency_vector().dtype.name == "float64"
    with pytest.raises(KeyError, match=r"available: \[\]"):
        r.vector("x")


def test_result_of_a_real_ac_run(pool8):
    r = pool8.run_simulation(AC, ["run"])
    h = r.complex_vector("v(2)")
    assert h.dtype.name == "complex128"
    assert list(h.real) == list(r.vector("2"))
    f = r.frequency_vector()
    expected = 1 / (1 + 1j * f / 159154.94)
    assert max(abs(h / expected - 1)) < 1e-6
    with pytest.raises(TypeError, match="^No constructor defined for SimulationResult$"):
        morva.SimulationResult()


# ---- the Python wrapper ------------------------------------------------------------------


def test_wrapper_closes_and_is_not_a_subclass():
    pool = SimulationPool(workers=1)
    assert not isinstance(pool, morva._SimulationPool)
    assert repr(pool) == "SimulationPool(workers=1)"
    assert pool.run_simulation(rc_netlist(1000), ["run"]).success
    pool.close()
    pool.close()
    assert pool.closed and repr(pool) == "SimulationPool(closed)"
    with pytest.raises(RuntimeError, match="^SimulationPool is closed$"):
        pool.run_simulation(rc_netlist(1000), ["run"])


def test_worker_discovery_without_a_console_script(tmp_path):
    # An interpreter with no ngspice-worker beside it (as in a build tree)
    # starts workers as "python -c 'import morva._main; ...'".
    link = tmp_path / "python3"
    link.symlink_to(sys.executable)
    code = (
        "import os, morva\n"
        "with morva.SimulationPool(workers=1) as pool:\n"
        "    r = pool.run_simulation('t\\nV1 1 0 1\\nR1 1 0 1k\\n.op\\n.end', ['run'])\n"
        "print(r.success, os.environ['NGSPICE_WORKER_PYTHON'])\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "NGSPICE_WORKER_BIN", "NGSPICE_WORKER_PYTHON")}
    env["PATH"] = "/usr/bin:/bin"
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([str(link), "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", str(link)]


def test_workers_do_not_inherit_each_others_pipes():
    others = {pid for pid, _ in children()}
    with SimulationPool(workers=3) as pool:
        pool.run_simulations_batch([(rc_netlist(1000), ["run"])] * 6)
        pipes = {}
        for pid in worker_pids(others):
            fds = {}
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    fds[int(fd)] = os.readlink(f"/proc/{pid}/fd/{fd}")
                except OSError:
                    pass
            pipes[pid] = fds
        assert len(pipes) == 3
        stdin_of = {pid: fds[0] for pid, fds in pipes.items()}
        assert all(t.startswith("pipe:") for t in stdin_of.values())
        for pid, fds in pipes.items():
            foreign = {t for other, t in stdin_of.items() if other != pid}
            assert not foreign & set(fds.values())


def test_interpreter_exit_ends_the_workers():
    code = (
        "import os, morva\n"
        "pool = morva.SimulationPool(workers=2)\n"
        "import sys; exe = os.path.join(os.path.dirname(sys.executable), 'ngspice-worker')\n"
        "raw = morva._SimulationPool(workers=1, worker_exe=exe if os.path.exists(exe) else None)\n"
        "pool.run_simulations_batch([('t\\nV1 1 0 1\\nR1 1 0 1k\\n.op\\n.end', ['run'])] * 4)\n"
        "raw.run_simulation('t\\nV1 1 0 1\\nR1 1 0 1k\\n.op\\n.end', ['run'])\n"
        "me = str(os.getpid())\n"
        "def parent(p):\n"
        "    try:\n"
        "        return open(f'/proc/{p}/stat').read().rsplit(')', 1)[1].split()[1]\n"
        "    except OSError:\n"
        "        return None  # ended since the listing\n"
        "kids = [p for p in os.listdir('/proc') if p.isdigit() and parent(p) == me]\n"
        "print(' '.join(kids))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    kids = [int(p) for p in out.stdout.split()]
    assert len(kids) == 3
    assert out.stderr.count("channel closed, exiting") == 3

    def gone(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except OSError:
            return True

    assert wait_until(lambda: all(gone(pid) for pid in kids), 30)


def busy(proc, seconds=1.0):
    """A predicate: whether `proc` or one of its workers has computed for `seconds` since this was
    called (a worker waiting for a job, and a caller waiting for one, compute nothing)."""
    return computing(lambda: [proc.pid] + [pid for pid, _ in children(proc.pid)], seconds)


def interrupted_output(code, until):
    """The words `code` prints in a fresh interpreter that gets SIGINT once
    `until(proc)` holds after it printed "ready"."""
    with child_process([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "ready\n"
        assert wait_until(until(proc), 60)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
    return out.split()


@needs_sigint
def test_ctrl_c_interrupts_a_wait_and_close_ends_the_busy_worker():
    code = (
        "import time, morva\n"
        f"LONG = {LONGER!r}\n"
        "pool = morva.SimulationPool(workers=1)\n"
        "print('ready', flush=True)\n"
        "try:\n"
        "    pool.run_simulation(LONG, ['run'])\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "start = time.monotonic()\n"
        "pool.close()\n"
        "print('closed', time.monotonic() - start < 30, flush=True)  # not the run's minute\n"
    )
    assert interrupted_output(code, busy) == ["interrupted", "closed", "True"]


# Lines a child prints after "ready" that begin with "@" (the generator's own
# progress lines go to the same stream).
def interrupted_marks(code, until):
    with child_process([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "ready\n"
        assert wait_until(until(proc), 60)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)  # a hang, not a figure
    return [line for line in out.splitlines() if line.startswith("@")]


@needs_sigint
@pytest.mark.parametrize(
    "config, replaced",
    [
        # About ten seconds of ngspice per (W, L) request, on both workers.
        ("LutConfig(vgs=(0, 1.8, 0.001), vds=(0, 1.8, 0.005), widths_values=[1e-6], vbs_values=[0.0], "
         "op_params=[], lengths_values=[1e-6 * (1 + k) for k in range(8)])", True),
        # Minutes of native DC solves, no worker involved.
        ("LutConfig(model_file=LIB, model_name='nch', use_native_bsim4=True, use_dc_solver=True, "
         "vgs=(0, 1.8, 0.002), vds=(0, 1.8, 0.002), widths_values=[1e-6, 2e-6], vbs_values=[0.0, -0.2], "
         "op_params=[], lengths_values=[1e-6 * (1 + k) for k in range(8)])", False),
    ],
)
def test_ctrl_c_during_a_generation_ends_its_work_in_flight(tmp_path, config, replaced):
    lib = tmp_path / "models.lib"
    lib.write_text(".model nch nmos level=54 rdsmod=1\n")
    code = (
        "import os, time, morva\n"
        "from morva import LutConfig\n"
        f"LIB, REPLACED = {str(lib)!r}, {replaced!r}\n"
        "def workers():\n"
        "    me, out = str(os.getpid()), set()\n"
        "    for p in os.listdir('/proc'):\n"
        "        try:\n"
        "            state, parent = open(f'/proc/{p}/stat').read().rsplit(')', 1)[1].split()[:2]\n"
        "        except (OSError, ValueError):\n"
        "            continue\n"
        "        if parent == me and state != 'Z':\n"
        "            out.add(p)\n"
        "    return out\n"
        "pool = morva.SimulationPool(workers=2)\n"
        "while len(workers()) < 2:\n"
        "    time.sleep(0.01)\n"
        "before = workers()\n"
        "print('ready', flush=True)\n"
        "try:\n"
        f"    pool.generate_lut({config}, cache=False)\n"
        "except KeyboardInterrupt:\n"
        "    print('@interrupted', flush=True)\n"
        "deadline = time.monotonic() + (20 if REPLACED else 0)\n"
        "while workers() & before and time.monotonic() < deadline:\n"
        "    time.sleep(0.01)\n"
        "print('@replaced' if not workers() & before else '@kept', flush=True)\n"
        "print('@next', pool.run_simulation('t\\nV1 1 0 1\\nR1 1 0 1k\\n.op\\n.end', ['run']).success, flush=True)\n"
    )
    marks = interrupted_marks(code, lambda proc: busy(proc, 2.0))
    assert marks == ["@interrupted", "@replaced" if replaced else "@kept", "@next True"]


@needs_sigint
@pytest.mark.parametrize("caught", [True, False])
def test_ctrl_c_during_a_pool_table_leaves_no_temporary_folder(tmp_path, caught):
    # A library that takes ngspice seconds to read: the Ctrl-C comes while a
    # worker loads it through its temporary folder, and the pool ends that
    # worker. Caught, the program closes its pool; uncaught, the interpreter
    # exits.
    lib = tmp_path / "slow.lib"
    lib.write_text(".model nch nmos level=54\n" + "".join(f".param p{i} = {{{i} * 1.5 + 2}}\n" for i in range(20000)))
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    config = (f"morva.LutConfig(model_file={str(lib)!r}, model_name='nch', vgs=(0, 1.8, 0.1), vds=(0, 1.8, 0.1), "
              "widths_values=[1e-6], vbs_values=[0.0], op_params=[], lengths_values=[1e-6, 2e-6, 3e-6, 4e-6])")
    run = f"pool.generate_lut({config}, cache=False)\n"
    if caught:
        run = f"try:\n    {run}except KeyboardInterrupt:\n    print('interrupted', flush=True)\npool.close()\n"
    code = "import morva\npool = morva.SimulationPool(workers=2)\nprint('ready', flush=True)\n" + run
    env = dict(os.environ, TMPDIR=str(tmp))
    args = [sys.executable, "-c", code]
    with child_process(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as proc:
        assert proc.stdout.readline() == "ready\n"
        # The netlist file is there while a worker loads it.
        assert wait_until(lambda: any(tmp.rglob(".morva_*.cir")), 60)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    if caught:
        assert proc.returncode == 0 and out.split()[-1] == "interrupted", err
    else:
        assert proc.returncode == -signal.SIGINT and "KeyboardInterrupt" in err
    assert [p.name for p in tmp.rglob("*")] == []


@pytest.fixture
def vanishing_exe(tmp_path):
    """A worker program that deletes itself when started: the first spawn
    works, every later one fails."""
    exe = tmp_path / "vanishing-worker"
    exe.write_text(f'#!/bin/sh\nrm -f "$0"\nexec "{sys.executable}" "{FAKE_WORKER}"\n')
    exe.chmod(0o755)
    return str(exe)


def test_failed_respawns_are_reported(vanishing_exe, capfd):
    pool = morva._SimulationPool(workers=1, worker_exe=vanishing_exe)
    with pytest.raises(RuntimeError, match=r"^worker crashed: stdout read \(header len\) failed: early eof$"):
        pool.run_simulation(fake("exit"), ["run"])
    with pytest.raises(RuntimeError) as e:
        pool.run_simulation(fake("ok"), ["run"])
    assert str(e.value) == "worker crashed: worker 0 failed to respawn: I/O error: No such file or directory (os error 2)"
    err = capfd.readouterr().err
    assert "[pool] worker 0: respawn failed — I/O error: No such file or directory (os error 2)\n" in err
    assert "[pool] worker 0: detected dead process, respawning\n" in err
    del pool


def test_failed_proactive_restart_keeps_the_old_process(vanishing_exe, capfd):
    pool = morva._SimulationPool(workers=1, worker_exe=vanishing_exe, max_sims_per_worker=1)
    for _ in range(2):
        assert pool.run_simulation(fake("ok"), ["run"]).success
    err = ""
    deadline = time.monotonic() + 60
    while err.count("proactive restart failed") < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
        err += capfd.readouterr().err
    assert "[pool] worker 0: reached 1 sims, restarting to reclaim ngspice heap\n" in err
    assert "[pool] worker 0: reached 2 sims, restarting to reclaim ngspice heap\n" in err
    assert err.count("[pool] worker 0: proactive restart failed — I/O error: No such file or directory (os error 2)\n") == 2
    del pool


def test_a_forked_child_neither_uses_nor_ends_the_parents_pool(fake_exe):
    pool = morva._SimulationPool(workers=1, worker_exe=fake_exe)
    assert pool.run_simulation(fake("ok"), ["run"]).success
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            pool.run_simulation(fake("ok"), ["run"])
        except RuntimeError as e:
            code = 0 if str(e) == "worker pool exhausted" else 2
        except BaseException:
            code = 3
        del pool  # the release must neither hang nor end the parent's workers
        gc.collect()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert pool.run_simulation(fake("ok"), ["run"], id="parent").id == "parent"


@needs_sigint
def test_ctrl_c_interrupts_a_batch_waiting_for_queue_space(fake_exe, tmp_path):
    # 60 one-second jobs on one worker: most of the batch waits for room in
    # the queue (4 jobs) before any reply is awaited. The interrupt comes
    # once the worker has taken the first.
    log = tmp_path / "ids"
    code = (
        "import os, time, morva\n"
        f"os.environ['FAKE_WORKER_LOG'] = {str(log)!r}\n"
        f"pool = morva._SimulationPool(workers=1, worker_exe={fake_exe!r})\n"
        "print('ready', flush=True)\n"
        "start = time.monotonic()\n"
        "try:\n"
        "    pool.run_simulations_batch([('sleep 1\\n.end', ['run'])] * 60)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', time.monotonic() - start, flush=True)\n"
        "del pool\n"
        "print('released', time.monotonic() - start, flush=True)\n"
    )
    words = interrupted_output(code, lambda proc: log.exists)
    assert words[0::2] == ["interrupted", "released"]
    assert float(words[3]) < 30  # not the minute the batch would take


@needs_sigint
def test_ctrl_c_cancels_the_rest_of_a_large_batch(fake_exe, tmp_path):
    # Short jobs keep making room in the queue, so the submitter is never
    # left waiting on a full queue when the interrupt comes. Once it is
    # raised, at most the jobs the two workers had just taken may still
    # start; the next call is the only other request the workers see.
    log = tmp_path / "ids"
    code = (
        "import os, morva\n"
        f"os.environ['FAKE_WORKER_LOG'] = {str(log)!r}\n"
        f"pool = morva._SimulationPool(workers=2, worker_exe={fake_exe!r})\n"
        "print('ready', flush=True)\n"
        "try:\n"
        "    pool.run_simulations_batch([('sleep 0.02\\n.end', ['run'])] * 5000)\n"
        "except KeyboardInterrupt:\n"
        f"    ran = len(open({str(log)!r}).read().split())\n"
        "    print('interrupted', ran, flush=True)\n"
        "result = pool.run_simulation('ok\\n.end', ['run'], id='after')\n"
        f"ids = open({str(log)!r}).read().split()\n"
        "print(result.id, len(ids) - ran, ids[-1], flush=True)\n"
    )
    words = interrupted_output(code, lambda proc: log.exists)  # once jobs run
    assert words[0] == "interrupted" and words[2] == "after" and words[4] == "after"
    assert int(words[1]) < 5000
    assert int(words[3]) <= 3


@needs_sigint
def test_ctrl_c_cancels_a_single_queued_job(fake_exe, tmp_path):
    log = tmp_path / "ids"
    code = (
        "import os, sys, threading, time, morva\n"
        f"LOG = {str(log)!r}\n"
        "os.environ['FAKE_WORKER_LOG'] = LOG\n"
        f"pool = morva._SimulationPool(workers=1, worker_exe={fake_exe!r})\n"
        "busy = threading.Thread(target=pool.run_simulation, args=('sleep 2\\n.end', ['run'], 'busy'))\n"
        "busy.start()\n"
        "while not os.path.exists(LOG):\n"
        "    time.sleep(0.01)\n"
        # "ready" once the main thread is in the call that queues the job.
        "main = threading.main_thread().ident\n"
        "def announce():\n"
        "    while sys._current_frames()[main].f_code.co_name != 'queue_one':\n"
        "        time.sleep(0.001)\n"
        "    print('ready', flush=True)\n"
        "def queue_one():\n"
        "    pool.run_simulation('ok\\n.end', ['run'], id='dropped')\n"
        "threading.Thread(target=announce, daemon=True).start()\n"
        "try:\n"
        "    queue_one()\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "busy.join()\n"
        "print(pool.run_simulation('ok\\n.end', ['run'], id='after').id, flush=True)\n"
        "print(*open(LOG).read().split(), flush=True)\n"
    )
    assert interrupted_output(code, lambda proc: lambda: True) == ["interrupted", "after", "busy", "after"]


def test_interpreter_exit_with_a_daemon_thread_waiting_on_the_pool(fake_exe, tmp_path):
    # The waiting thread must not take the interpreter lock back while the
    # interpreter exits (Python would end it by unwinding C++ frames: abort).
    # Nobody is left to remove the stand-in workers' folders: they go to a
    # TMPDIR of the test's own.
    code = (
        "import threading, time, morva\n"
        f"pool = morva._SimulationPool(workers=1, worker_exe={fake_exe!r})\n"
        "for netlist in ['sleep 0.3\\n.end'] * 6 + ['sleep 2\\n.end']:\n"
        "    threading.Thread(target=pool.run_simulation, args=(netlist, ['run']), daemon=True).start()\n"
        "time.sleep(0.5)\n"
    )
    env = dict(os.environ, TMPDIR=str(tmp_path))
    for _ in range(2):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
        assert out.returncode == 0, out.stderr
        assert "terminate" not in out.stderr and "leaked" not in out.stderr


def test_interpreter_exit_while_a_daemon_thread_releases_a_pool(fake_exe, tmp_path):
    # Ending the workers takes a moment with the interpreter lock released;
    # the interpreter may exit meanwhile, and the thread must not take the
    # lock back then (abort), nor the unfinished release show as a leak. An
    # unfinished release leaves the stand-in workers' folders: they go to a
    # TMPDIR of the test's own.
    code = (
        "import sys, threading, time, morva\n"
        "closing = threading.Event()\n"
        "def work():\n"
        f"    pool = morva.SimulationPool(workers=4, worker_exe={fake_exe!r})\n"
        "    pool.run_simulations_batch([('ok\\n.end', ['run'])] * 8)\n"
        "    closing.set()\n"
        "    pool.close()\n"
        "threading.Thread(target=work, daemon=True).start()\n"
        "closing.wait()\n"
        "time.sleep(float(sys.argv[1]))\n"
    )
    env = dict(os.environ, TMPDIR=str(tmp_path))
    for delay in (0, 0.005, 0.01, 0.02):
        out = subprocess.run([sys.executable, "-c", code, str(delay)], capture_output=True, text=True, timeout=60,
                             env=env)
        assert out.returncode == 0, out.stderr
        assert "terminate" not in out.stderr and "leaked" not in out.stderr
