"""Native work on a daemon thread never aborts the interpreter's exit."""

import subprocess
import sys
import textwrap

import pytest

CARD = ".model nch nmos level=54 rdsmod=1\n"

CASES = {
    "dc_solver_sweep": """
        solver = morva.DcSolver(CARD_PATH, "nch", w=1e-6, l=1.8e-7)
        work = lambda: [solver.sweep("vgs", 0.0, 1.2, 1e-6, vd=0.6) for _ in range(100)]
    """,
    "pdsdm": """
        work = lambda: [morva.run_pdsdm(42.0, 0.1, 1e6, 1e-4, 1e-11, 5_000_000, 12.0, 72.0)
                        for _ in range(100)]
    """,
    # Many short calls on several threads: some thread is always taking the
    # lock back when the exit begins.
    "many_short_sweeps": """
        solver = morva.DcSolver(CARD_PATH, "nch", w=1e-6, l=1.8e-7)
        work = lambda: [solver.sweep("vgs", 0.0, 1.2, 1e-3, vd=0.6) for _ in range(100000)]
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_exit_while_a_daemon_thread_computes(case, tmp_path):
    card = tmp_path / "card.lib"
    card.write_text(CARD)
    script = textwrap.dedent(
        """
        import threading, time, morva
        CARD_PATH = {card!r}
        {body}
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        time.sleep(0.3)
        print("exiting", flush=True)
        """
    ).format(card=str(card), body=textwrap.dedent(CASES[case]))
    for _ in range(10 if case == "many_short_sweeps" else 1):
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.stdout.strip() == "exiting"
        assert out.returncode == 0, out.stderr[-2000:]


def test_native_calls_run_no_python_code(tmp_path):
    # Python code that runs while a binding holds Python objects is where the
    # interpreter's exit ends a daemon thread, unwinding those objects without
    # the lock (a crash). Telling the main thread apart must not call into
    # Python.
    import morva

    card = tmp_path / "card.lib"
    card.write_text(CARD)
    solver = morva.DcSolver(str(card), "nch", w=1e-6, l=1.8e-7)
    calls = []

    def record(frame, event, arg):
        if event == "call":
            calls.append(frame.f_code.co_name)

    sys.setprofile(record)
    try:
        solver.sweep("vgs", 0.0, 1.2, 0.01, vd=0.6)
        solver.solve(0.6, 0.6)
        morva.run_pdsdm(42.0, 0.1, 1e6, 1e-4, 1e-11, 1000, 12.0, 72.0)
    finally:
        sys.setprofile(None)
    assert calls == []
