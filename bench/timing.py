"""Timing shared by the benchmark scripts: the best of a few runs."""

import time


def best_run(repeats, work):
    """The shortest wall time of `repeats` calls of `work`, in seconds, and the
    result of the last call."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return best, result


def best_of(repeats, work):
    """The shortest wall time of `repeats` calls of `work`, in seconds."""
    return best_run(repeats, work)[0]


def ngspice_analyses(exe, path, cwd=None):
    """How many analyses `ngspice -b path` runs, counted from its log, so that a
    baseline is checked to do the work once and no more."""
    import subprocess

    # A deck whose control block runs the analyses ends with status 1 in batch mode.
    out = subprocess.run([exe, "-b", str(path)], capture_output=True, text=True, cwd=cwd, check=False)
    return sum(line.startswith("Doing analysis at TEMP") for line in (out.stdout + out.stderr).splitlines())


def bench_program(name):
    """Builds the C++ benchmark program bench/<name>.cpp (in build/bench) and
    returns its path."""
    import os
    import pathlib
    import shutil
    import subprocess

    root = pathlib.Path(__file__).resolve().parent.parent
    build = root / "build" / "bench"
    cmake = shutil.which("cmake") or str(root / ".venv" / "bin" / "cmake")
    env = dict(os.environ, PATH=f"{root / '.venv' / 'bin'}:{os.environ.get('PATH', '')}")
    subprocess.run([cmake, "-S", str(root), "-B", str(build), "-G", "Ninja", "-DMORVA_PYTHON=OFF",
                    "-DMORVA_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(build), "--target", name], check=True, env=env, stdout=subprocess.DEVNULL)
    return build / name


def bench_rows(name, *args):
    """Runs the C++ benchmark program `name` with `args`; its "BENCH name
    seconds count" lines by name, as (seconds, count)."""
    import subprocess

    run = subprocess.run([str(bench_program(name)), *map(str, args)], capture_output=True, text=True, check=True)
    rows = {}
    for line in run.stdout.splitlines():
        if line.startswith("BENCH "):
            _, row, seconds, count = line.split()
            rows[row] = (float(seconds), int(count))
    return rows


def ngspice_deck_seconds(folder, text, name="load.cir"):
    """What `ngspice -b` takes on a deck of `text`, written into `folder` as `name`
    and run there: best of three. None when ngspice is not installed."""
    import pathlib
    import shutil
    import subprocess

    if shutil.which("ngspice") is None:
        return None
    deck = pathlib.Path(folder) / name
    deck.write_text(text)
    return best_of(3, lambda: subprocess.run(["ngspice", "-b", str(deck)], cwd=folder, capture_output=True,
                                             check=False))
