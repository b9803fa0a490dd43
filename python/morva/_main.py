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


if __name__ == "__main__":
    run_worker()
