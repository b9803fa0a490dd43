"""Entry point of ngspice worker processes (the ``ngspice-worker`` script).

Kept free of heavy imports: a worker starts once per pool slot.
"""

import sys


def run_worker() -> None:
    from .morva import _run_worker

    try:
        _run_worker()
    except KeyboardInterrupt:
        sys.exit(130)
    except RuntimeError as e:
        # No library, or it would not start: one line says why, and the pool
        # passes it on to the jobs this worker cannot serve.
        print(f"ngspice-worker: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
    except OSError as e:
        # The pool that reads the answers is gone; nobody is left to tell.
        if str(e).endswith("(os error 32)"):
            sys.exit(1)
        raise


if __name__ == "__main__":
    run_worker()
