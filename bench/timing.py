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
