"""The ngspice worker process, driven directly through its pipes."""

import json
import math
import os
import pathlib
import re
import select
import shutil
import signal
import struct
import subprocess
import sys

import pytest

from conftest import child_process, needs_sigint

RC = (
    "rc\nV1 in 0 PULSE(0 1 0 1n 1n 1u 2u)\nR1 in out 1k\nC1 out 0 1n\n.tran 10n 4u\n"
    ".meas tran tdelay TRIG v(in) VAL=0.5 RISE=1 TARG v(out) VAL=0.5 RISE=1\n"
    ".meas tran vmax MAX v(out)\n.end\n"
)
AC = "ac\nV1 1 0 AC 1\nR1 1 2 1k\nC1 2 0 1n\n.ac dec 10 1k 1meg\n.end"
READ_TIMEOUT = 60.0


def worker_command():
    script = pathlib.Path(sys.executable).parent / "ngspice-worker"
    if script.exists():
        return [str(script)]
    return [sys.executable, "-c", "import morva._main; morva._main.run_worker()"]


class Worker:
    """One worker process with helpers to send lines and read frames."""

    def __init__(self, env=None, cwd=None, stderr=None):
        self.proc = subprocess.Popen(
            worker_command(),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=stderr,
            env=dict(os.environ, **(env or {})),
            cwd=cwd,
        )
        self.received = 0

    def send_line(self, raw: bytes):
        self.proc.stdin.write(raw)
        self.proc.stdin.flush()

    def send(self, **request):
        self.send_line((json.dumps(request) + "\n").encode())

    def _read_exact(self, n):
        out = bytearray()
        fd = self.proc.stdout.fileno()
        while len(out) < n:
            ready, _, _ = select.select([fd], [], [], READ_TIMEOUT)
            assert ready, "worker did not answer in time"
            chunk = os.read(fd, n - len(out))
            if not chunk:
                raise EOFError("worker closed its output")
            out += chunk
        self.received += n
        return bytes(out)

    def frame(self):
        """Reads one frame: the header dict and each vector's values."""
        (n,) = struct.unpack("<I", self._read_exact(4))
        self.header_len = n
        header = json.loads(self._read_exact(n))
        vectors = {}
        for meta in header["vecs"]:
            size = meta["len"] * (16 if meta["is_complex"] else 8)
            data = self._read_exact(size)
            if meta["is_complex"]:
                flat = struct.unpack(f"<{2 * meta['len']}d", data)
                vectors[meta["name"]] = [complex(flat[2 * i], flat[2 * i + 1]) for i in range(meta["len"])]
            else:
                vectors[meta["name"]] = list(struct.unpack(f"<{meta['len']}d", data))
        return header, vectors

    def run(self, **request):
        self.send(**request)
        return self.frame()

    def close(self):
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        self.proc.wait(timeout=30)
        return rest

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")


@pytest.fixture
def worker():
    w = Worker()
    yield w
    if w.proc.poll() is None:
        w.proc.kill()
        w.proc.wait()


def test_rc_transient_vectors_and_measures(worker):
    header, vecs = worker.run(id="rc-1", netlist=RC, commands=["run"])
    assert header["id"] == "rc-1"
    assert header["success"] is True
    assert "error" not in header
    assert [v["name"] for v in header["vecs"]] == ["v1#branch", "out", "in", "time"]
    assert [v["is_scale"] for v in header["vecs"]] == [False, False, False, True]
    assert len(vecs["time"]) == 446
    assert vecs["time"][-1] == pytest.approx(4e-6, rel=1e-12)
    measures = dict(header["measures"])
    assert measures["tdelay"] == pytest.approx(1e3 * 1e-9 * math.log(2), rel=1e-3)
    assert measures["vmax"] == pytest.approx(0.717983, rel=1e-6)
    assert header["timing"]["write_ns"] == 0
    assert header["timing"]["cmd_ns"] > 0
    assert any(line.startswith("stdout ") for line in header["log"])


def test_ac_vectors_are_complex_and_match_the_rc_lowpass(worker):
    header, vecs = worker.run(id="ac", netlist=AC, commands=["run"])
    assert header["success"] is True
    assert all(v["is_complex"] for v in header["vecs"])
    freq = [z.real for z in vecs["frequency"]]
    assert len(freq) == 31
    for f, h in zip(freq, vecs["V(2)"]):
        expected = 1 / complex(1, f / 159154.94)
        assert abs(h) == pytest.approx(abs(expected), rel=1e-6)
        assert math.atan2(h.imag, h.real) == pytest.approx(math.atan2(expected.imag, expected.real), rel=1e-6)


def test_return_vectors_filter(worker):
    header, vecs = worker.run(id="f", netlist=RC, commands=["run"], return_vectors=["OUT"])
    assert list(vecs) == ["out"]
    header, vecs = worker.run(id="g", netlist=RC, commands=["run"], return_vectors=[])
    assert header["vecs"] == [] and vecs == {}
    assert [name for name, _ in header["measures"]] == ["tdelay", "vmax"]


def test_several_plots_name_vectors_by_plot(worker):
    header, _ = worker.run(id="m", netlist=RC, commands=["op", "ac dec 1 1k 1meg", "tran 10n 100n"])
    names = [v["name"] for v in header["vecs"]]
    assert header["success"] is True
    assert {n.split(".")[0] for n in names} == {"tran1", "ac1", "op1"}
    assert "tran1.time" in names and "ac1.frequency" in names and "op1.out" in names
    assert not any(v["is_scale"] for v in header["vecs"])
    header, _ = worker.run(id="m2", netlist=RC, commands=["op", "tran 10n 100n"], return_vectors=["tran1.out", "IN"])
    assert [v["name"] for v in header["vecs"]] == ["tran1.out", "tran1.in", "op1.in"]


def test_request_lines_that_do_not_decode(worker):
    worker.send_line(b"\n   \n\t\n")
    worker.send_line(b"{\n")
    header, _ = worker.frame()
    assert header["id"] == "unknown"
    assert header["success"] is False
    assert header["log"] == ["failed to parse request: EOF while parsing an object at line 1 column 1"]
    assert header["error"] == "parse error: EOF while parsing an object at line 1 column 1"
    worker.send_line(b'{"id":"a","netlist":"x"}\n')
    header, _ = worker.frame()
    assert header["error"] == "parse error: missing field `commands` at line 1 column 24"
    worker.send_line(b'{"id":"a","id":"b","netlist":"x","commands":[]}\r\n')
    header, _ = worker.frame()
    assert header["error"] == "parse error: duplicate field `id` at line 1 column 14"
    header, _ = worker.run(id="after", netlist=RC, commands=["run"])
    assert header["id"] == "after" and header["success"] is True


def test_end_card_rule(worker):
    header, vecs = worker.run(id="e1", netlist=RC.replace(".end", "* trailing comment\n.END") + "\n \n", commands=["run"])
    assert header["success"] is True
    header, vecs = worker.run(id="e2", netlist=RC + "* comment\n", commands=["run"])
    assert (header["id"], header["success"], vecs) == ("e2", False, {})
    assert header["log"] == ["netlist must end with .end"]
    assert header["error"] == "netlist does not end with .end"
    header, _ = worker.run(id="e3", netlist="t\n.subckt a 1\n.ends", commands=["run"])
    assert header["error"] == "netlist does not end with .end"


def test_malformed_netlist_reports_ngspice_first_error(worker):
    bad = "bad\nR1 a\nXfoo 1 2 nosuch\n.tran 1n 10n\n.end"
    header, vecs = worker.run(id="bad", netlist=bad, commands=["run"])
    assert header["success"] is False
    assert vecs == {}
    errors = [line for line in header["log"] if line.lower().startswith("stderr error")]
    assert errors and header["error"] == errors[0]


def test_failing_command_stops_the_commands(worker):
    header, vecs = worker.run(id="c", netlist=RC, commands=["run", "source /nonexistent/x.cir", "run"])
    assert header["success"] is False
    assert vecs == {}
    assert dict(header["measures"])["vmax"] == pytest.approx(0.717983, rel=1e-6)
    assert header["log"][-1] == "command 'source /nonexistent/x.cir' failed with code 1"
    assert header["timing"]["destroy_ns"] > 0
    header, vecs = worker.run(id="next", netlist=RC, commands=["run"])
    assert header["success"] is True and len(vecs) == 4


@pytest.mark.parametrize(
    "command, error",
    [
        ("setplot nosuch", "stderr Error: no such plot named nosuch"),
        # ngspice skips a command it does not know, with no word of error.
        ("rn", "stderr rn: no such command available in ngspice"),
    ],
)
def test_error_line_fails_the_request_but_keeps_the_vectors(worker, command, error):
    header, vecs = worker.run(id="e", netlist=RC, commands=["run", command])
    assert header["success"] is False
    assert header["error"] == error
    assert len(vecs["time"]) == 446


def test_quit_fails_the_request_and_the_worker_reloads(worker):
    header, _ = worker.run(id="q", netlist=RC, commands=["run", "quit"])
    assert header["success"] is False
    assert header["error"] == "ngspice requested controlled exit with status 0"
    assert "command 'quit' failed with code 1" in header["log"]
    for i in range(2):
        header, vecs = worker.run(id=f"after-{i}", netlist=RC, commands=["run"])
        assert header["success"] is True and len(vecs["time"]) == 446
    header, _ = worker.run(id="q2", netlist=RC, commands=["run"], pre_commands=["quit"])
    assert header["success"] is False
    header, vecs = worker.run(id="after-pre", netlist=RC, commands=["run"])
    assert header["success"] is True


def test_chdir_loads_through_a_temp_file_and_removes_it(worker, tmp_path):
    (tmp_path / "load.inc").write_text("R2 out 0 1k\n")
    netlist = RC.replace(".tran", ".include load.inc\n.tran")
    header, vecs = worker.run(id="../x y", netlist=netlist, commands=["run"], pre_commands=["chdir:" + str(tmp_path)])
    assert header["success"] is True, header["log"]
    # The included 1k load caps the output below half the source.
    assert 0.3 < max(vecs["out"]) < 0.5
    assert sorted(p.name for p in tmp_path.iterdir()) == ["load.inc"]
    assert header["timing"]["fs_write_ns"] > 0


def test_a_read_only_directory_still_loads(worker, tmp_path):
    # A kit installed read-only: the netlist goes elsewhere, its relative
    # includes still resolve in the kit's directory.
    if shutil.which("chattr") is None:
        pytest.skip("chattr not available")
    kit = tmp_path / "kit"
    kit.mkdir()
    (kit / "load.inc").write_text("R2 out 0 1k\n")
    if subprocess.run(["chattr", "+i", str(kit)], capture_output=True).returncode != 0:
        pytest.skip("chattr +i not permitted here")
    try:
        netlist = RC.replace(".tran", ".include load.inc\n.tran")
        header, vecs = worker.run(id="ro", netlist=netlist, commands=["run"], pre_commands=[f"chdir:{kit}"])
        assert header["success"] is True, header["log"]
        assert 0.3 < max(vecs["out"]) < 0.5
    finally:
        subprocess.run(["chattr", "-i", str(kit)], check=True)
    assert [p.name for p in kit.iterdir()] == ["load.inc"]


def test_a_refused_netlist_says_why(worker):
    netlist = RC.replace(".tran", "R3 out 0 {fnoicor}\n.tran")
    header, _ = worker.run(id="why", netlist=netlist, commands=["run"])
    assert header["success"] is False
    assert "(ngspice: " in header["error"] and "Undefined parameter [fnoicor]" in header["error"], header["error"]


@pytest.mark.parametrize("extra, refused, says", [
    # ngspice's load fails, or returns 0 after writing an error: nothing runs, and the log says so last.
    ("R3 out 0 {fnoicor}", True, "Undefined parameter [fnoicor]"),
    ("X3 out 0 nosuch", True, "unknown subckt"),
    # A netlist's own control section runs as it loads: its error is its command's.
    (".control\nlet broken = no_such_vector + 1\n.endc", False, "no_such_vector"),
])
def test_a_netlist_ngspice_refuses_to_load_runs_nothing(worker, extra, refused, says):
    header, vecs = worker.run(id="refused", netlist=RC.replace(".tran", f"{extra}\n.tran"), commands=["run"])
    assert header["success"] is False and says in header["error"], header["error"]
    assert (header["log"][-1] == "ngspice refused to load the circuit") == refused, header["log"]
    assert (vecs == {}) == refused and ("vmax" in dict(header["measures"])) != refused
    header, vecs = worker.run(id="next", netlist=RC, commands=["run"])
    assert header["success"] is True and len(vecs) == 4


def test_last_chdir_wins_and_an_empty_one_means_the_working_directory(tmp_path):
    a, b, c = tmp_path / "a", tmp_path / "b", tmp_path / "c"
    for d, load in ((a, "100"), (b, "1k"), (c, None)):
        d.mkdir()
        if load:
            (d / "load.inc").write_text(f"R2 out 0 {load}\n")
    netlist = RC.replace(".tran", ".include load.inc\n.tran")
    # The include resolves beside the temp file: B's 1k load, A's 100 ohm, or
    # none in the working directory C.
    w = Worker(cwd=str(c))
    try:
        vmax = {}
        # A relative directory is one under the working directory.
        for name, pre in (("ab", [f"chdir:{a}", f"chdir:{b}"]), ("a", [f"chdir:{a}"]), ("cwd", ["chdir:"]),
                          ("relative", ["chdir:../a"])):
            header, _ = w.run(id=name, netlist=netlist, commands=["run"], pre_commands=pre)
            vmax[name] = dict(header["measures"]).get("vmax")
        assert 0.3 < vmax["ab"] < 0.5
        assert vmax["a"] < 0.1 and vmax["relative"] == vmax["a"]
        assert vmax["cwd"] is None or vmax["cwd"] > 0.7
        assert sorted(p.name for p in tmp_path.rglob("*")) == ["a", "b", "c", "load.inc", "load.inc"]
    finally:
        w.close()


def test_interpreter_state_of_one_request_does_not_reach_the_next(tmp_path):
    # Aliases, variables, functions and the working directory live in the
    # ngspice instance and the process, not in the circuit: an innocent later
    # request on the same worker must not run under them.
    (tmp_path / "load.inc").write_text("R2 out 0 1k\n")
    w = Worker(cwd=str(tmp_path))
    try:
        for netlist, commands in (
            (RC, ["alias run echo hijacked"]),
            (RC.replace(".end\n", ".control\nalias run echo hijacked\n.endc\n.end\n"), []),
            (RC, ["echo start; alias run echo hijacked"]),
        ):
            w.run(id="dirty", netlist=netlist, commands=commands)
            header, vecs = w.run(id="clean", netlist=RC, commands=["run"])
            assert header["success"] is True and len(vecs["time"]) == 446, commands
            assert dict(header["measures"])["vmax"] == pytest.approx(0.717983, rel=1e-5)
        w.run(id="dirty", netlist=RC, commands=["set marker=leaked"])
        header, _ = w.run(id="clean", netlist=RC, commands=["echo marker=$marker"])
        assert "stdout marker=leaked" not in header["log"]
        w.run(id="dirty", netlist=RC, commands=["cd /"])
        header, _ = w.run(id="clean", netlist=RC.replace(".tran", ".include load.inc\n.tran"), commands=["run"])
        assert header["success"] is True and 0.3 < dict(header["measures"])["vmax"] < 0.5
    finally:
        w.close()

def test_temp_netlists_never_go_to_the_named_directory(worker, tmp_path):
    # Only relative names resolve there: a directory that is missing fails
    # nothing, one whose text holds a NUL (naming another file to the
    # system) fails that request only.
    missing = tmp_path / "missing"
    header, _ = worker.run(id="t1", netlist=RC, commands=["run"], pre_commands=["chdir:" + str(missing)])
    assert header["success"] is True
    precious = tmp_path / "precious.txt"
    precious.write_text("keep")
    header, _ = worker.run(id="t", netlist=RC, commands=["run"], pre_commands=[f"chdir:{precious}\0"])
    assert header["success"] is False
    assert header["error"] == f"temp netlist directory {precious}\0: file name contained an unexpected NUL byte"
    assert precious.read_text() == "keep"
    header, _ = worker.run(id="t2", netlist=RC, commands=["run"])
    assert header["success"] is True


def test_payload_sizes_follow_the_header(worker):
    start = worker.received
    worker.run(id="rc", netlist=RC, commands=["run"])
    assert worker.received - start == 4 + worker.header_len + 446 * 8 * 4
    start = worker.received
    worker.run(id="ac", netlist=AC, commands=["run"])
    assert worker.received - start == 4 + worker.header_len + 31 * 16 * 4


def test_stray_output_cannot_corrupt_frames():
    # Output from elsewhere in the process once the worker runs (its
    # standard output then leads to standard error).
    code = (
        "import os, threading, time\n"
        "def stray():\n"
        "    while not os.path.samestat(os.fstat(1), os.fstat(2)):\n"
        "        time.sleep(0.01)\n"
        "    print('stray text ' * 50, flush=True)\n"
        "    os.write(1, b'raw stray bytes\\n')\n"
        "threading.Thread(target=stray, daemon=True).start()\n"
        "import morva._main; morva._main.run_worker()\n"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    w = Worker.__new__(Worker)
    w.proc, w.received = proc, 0
    assert any(b"raw stray bytes" in line for line in proc.stderr)  # written before the request
    header, vecs = w.run(id="s", netlist=RC, commands=["run"])
    assert header["success"] is True and len(vecs["time"]) == 446
    assert w.close() == b""
    proc.stderr.close()


def test_a_worker_started_with_standard_error_closed_still_answers():
    # A host run with "2>&-" hands its workers no descriptor 2: stray output
    # needs somewhere else to go, and a later open() must not take its place.
    proc = subprocess.Popen(
        ["sh", "-c", 'exec "$@" 2>&-', "sh", *worker_command()], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )
    w = Worker.__new__(Worker)
    w.proc, w.received = proc, 0
    header, vecs = w.run(id="closed", netlist=RC, commands=["shell echo stray", "run"])
    assert header["success"] is True and len(vecs["time"]) == 446
    assert w.close() == b""
    assert proc.returncode == 0

@pytest.mark.parametrize(
    "blocked, status",
    [
        # As a pool starts it: SIGINT is ignored from then on.
        (True, 0),
        # Started by hand: Ctrl-C still ends it, once it has answered.
        pytest.param(False, 130, marks=needs_sigint),
    ],
)
def test_sigint_ends_only_a_worker_started_by_hand(blocked, status):
    block = (lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})) if blocked else None
    with child_process(worker_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=block) as proc:
        w = Worker.__new__(Worker)
        w.proc, w.received = proc, 0
        assert w.run(id="before", netlist=RC, commands=["run"])[0]["success"] is True
        proc.send_signal(signal.SIGINT)
        header, vecs = w.run(id="after", netlist=RC, commands=["run"])
        assert header["success"] is True and len(vecs["time"]) == 446
        assert w.close() == b""
    assert proc.returncode == status


def test_library_path_from_the_environment():
    w = Worker(env={"NGSPICE_LIBRARY_PATH": "/nonexistent/lib.so"}, stderr=subprocess.PIPE)
    assert w.close() == b""
    assert w.proc.returncode == 1
    assert w.proc.stderr.read().decode() == (
        "ngspice-worker: failed to load libngspice: /nonexistent/lib.so: cannot open shared object file: "
        "No such file or directory\n"
    )


def test_benchmark_line_once_at_end_of_input(tmp_path):
    w = Worker(env={"MORVA_WORKER_BENCH": "TRUE"}, stderr=subprocess.PIPE)
    for i in range(3):
        assert w.run(id=str(i), netlist=RC, commands=["run"])[0]["success"]
    w.run(id="bad", netlist="no end", commands=["run"])
    w.close()
    lines = w.proc.stderr.read().decode().splitlines()
    bench = [line for line in lines if line.startswith("[worker-bench")]
    assert len(bench) == 1
    pattern = (
        r"\[worker-bench pid=(\d+)\] n=3 total= *\d+\.\dms  parse= *\d+\.\d  precmd= *\d+\.\d  circ= *\d+\.\d  "
        r"cmd= *\d+\.\d  harvest= *\d+\.\d  write= *\d+\.\d  destroy= *\d+\.\d  fs_write= *\d+\.\d"
    )
    m = re.fullmatch(pattern, bench[0])
    assert m and int(m.group(1)) == w.proc.pid

    w = Worker(env={"MORVA_WORKER_BENCH": "1"}, stderr=subprocess.PIPE)
    w.run(id="bad", netlist="no end", commands=["run"])
    w.close()
    assert "[worker-bench" not in w.proc.stderr.read().decode()


def test_memory_stays_flat_over_many_requests(worker):
    for i in range(20):
        worker.run(id=str(i), netlist=RC, commands=["run"])
    base = worker.rss_kb()
    for i in range(480):
        header, _ = worker.run(id=str(i), netlist=RC, commands=["run"])
        assert header["success"]
    assert worker.rss_kb() - base < 4096


def test_runaway_output_is_bounded_and_later_measures_are_kept(worker):
    # A careless .control loop prints without end; until the time-out the
    # worker must not hold all of it. 80 MB here, of which at most 64 MiB stay.
    loop = (
        ".control\nlet i = 0\nwhile i < 20000\necho " + "y" * 4000 + "\nlet i = i + 1\nend\n.endc\n.end\n"
    )
    header, _ = worker.run(id="loud", netlist=RC.replace(".end\n", loop), commands=["run"])
    assert header["success"] is True
    assert sum(len(line) for line in header["log"]) < 64 << 20
    notes = [line for line in header["log"] if line.startswith("[log limit")]
    assert len(notes) == 1
    assert set(dict(header["measures"])) == {"tdelay", "vmax"}
    # The next request starts with an empty log again.
    header, _ = worker.run(id="quiet", netlist=RC, commands=["run"])
    assert not any(line.startswith("[log limit") for line in header["log"])

def test_background_runs_finish_before_the_next_request(worker):
    # A run left going in ngspice's background thread would race the harvest
    # and "destroy all", and crash or leak its plot into the next request.
    for i in range(3):
        header, vecs = worker.run(id=f"bg{i}", netlist=RC, commands=["bg_run"])
        assert header["success"] is True and len(vecs["time"]) == 446
    header, vecs = worker.run(id="halt", netlist=RC, commands=["bg_run", "bg_halt"])
    header, vecs = worker.run(id="next", netlist=RC, commands=["run"])
    assert header["success"] is True
    assert [v["name"] for v in header["vecs"]] == ["v1#branch", "out", "in", "time"]


def test_an_aborted_transient_is_a_failure(worker):
    # ngspice gives up at "Timestep too small" without any "error" word; the
    # partial vectors must not pass for a finished run.
    chatter = (
        "t\nV1 1 0 PWL(0 0 1n 1 2n 0 3n 1)\nS1 1 2 1 0 sw\nC1 2 0 1f\nR1 2 0 1e12\n"
        ".model sw sw(vt=0.5 ron=1e-9 roff=1e12 vh=0)\n"
        ".option reltol=1e-9 abstol=1e-20 chgtol=1e-25 trtol=1\n.tran 1p 5n\n.end"
    )
    header, _ = worker.run(id="abort", netlist=chatter, commands=["run"])
    assert header["success"] is False
    assert header["error"] == "stderr run simulation(s) aborted"
    assert any("Timestep too small" in line for line in header["log"])
    # A pause the netlist asks for is not a failure.
    header, _ = worker.run(id="pause", netlist=RC, commands=["stop when time > 1u", "run"])
    assert header["success"] is True


def test_a_reader_gone_ends_the_worker_quietly():
    # The pool's process has ended: the answer cannot be delivered, and the
    # worker leaves without a traceback on the shared standard error.
    w = Worker(stderr=subprocess.PIPE)
    w.proc.stdout.close()
    w.send(id="x", netlist=RC, commands=["run"])
    w.proc.stdin.close()
    assert w.proc.wait(timeout=60) == 1
    assert w.proc.stderr.read() == b""
