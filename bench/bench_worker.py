"""One ngspice worker driven directly through its pipes, beside `ngspice -b`.

Prints the worker's request rate on the RC transient netlist, the per-request
phase times from the worker's benchmark line, and the rate of `ngspice -b`
running the same netlist as a fresh process per run.
"""

import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from timing import ngspice_analyses  # noqa: E402

RC = (
    "rc\nV1 in 0 PULSE(0 1 0 1n 1n 1u 2u)\nR1 in out 1k\nC1 out 0 1n\n.tran 10n 4u\n"
    ".meas tran tdelay TRIG v(in) VAL=0.5 RISE=1 TARG v(out) VAL=0.5 RISE=1\n"
    ".meas tran vmax MAX v(out)\n.end\n"
)
N_WORKER = 2000
N_BATCH = 100


def worker_command():
    script = pathlib.Path(sys.executable).parent / "ngspice-worker"
    if script.exists():
        return [str(script)]
    return [sys.executable, "-c", "import morva._main; morva._main.run_worker()"]


def read_exact(stream, n):
    data = stream.read(n)
    if len(data) != n:
        raise RuntimeError("worker ended early")
    return data


def drive_worker(n):
    env = dict(os.environ, MORVA_WORKER_BENCH="1")
    proc = subprocess.Popen(
        worker_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    line = (json.dumps({"id": "b", "netlist": RC, "commands": ["run"]}) + "\n").encode()
    start = time.perf_counter()
    for _ in range(n):
        proc.stdin.write(line)
        proc.stdin.flush()
        (size,) = struct.unpack("<I", read_exact(proc.stdout, 4))
        header = json.loads(read_exact(proc.stdout, size))
        assert header["success"], header.get("error")
        read_exact(proc.stdout, sum(v["len"] * (16 if v["is_complex"] else 8) for v in header["vecs"]))
    elapsed = time.perf_counter() - start
    proc.stdin.close()
    proc.wait()
    bench = [l for l in proc.stderr.read().decode().splitlines() if l.startswith("[worker-bench")]
    phases = dict(re.findall(r"(\w+)=\s*([\d.]+)", bench[0])) if bench else {}
    return elapsed, phases


def ngspice_batch(n):
    exe = shutil.which("ngspice")
    if not exe:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "rc.cir"
        # The netlist's .meas makes `ngspice -b` run its analysis once.
        path.write_text(RC)
        analyses = ngspice_analyses(exe, path)
        assert analyses == 1, f"ngspice -b ran {analyses} analyses of one netlist"
        start = time.perf_counter()
        for _ in range(n):
            subprocess.run([exe, "-b", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start


def main():
    elapsed, phases = drive_worker(N_WORKER)
    worker_rate = N_WORKER / elapsed
    print(f"RC transient (446 points, 2 measures), one worker, {N_WORKER} requests")
    print(f"{'':24}{'requests/s':>12}{'ms/request':>12}")
    print(f"{'worker (pipes)':24}{worker_rate:12.0f}{1e3 / worker_rate:12.3f}")
    batch = ngspice_batch(N_BATCH)
    if batch is not None:
        rate = N_BATCH / batch
        print(f"{'ngspice -b (process/run)':24}{rate:12.0f}{1e3 / rate:12.3f}")
        print(f"worker / ngspice -b: {worker_rate / rate:.1f}x")
    if phases:
        n = float(phases.pop("n"))
        print("\nworker phases per request (from MORVA_WORKER_BENCH), ms:")
        for name in ["total", "parse", "precmd", "circ", "cmd", "harvest", "write", "destroy", "fs_write"]:
            print(f"  {name:10}{float(phases[name]) / n:10.4f}")
        print(f"  {'pipe+json':10}{1e3 / worker_rate - float(phases['total']) / n:10.4f}  (driver side, not in total)")


if __name__ == "__main__":
    main()
