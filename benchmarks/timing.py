"""The timing rule every benchmark script here follows: the best of several runs."""

import time


def best_of(runs, work):
    """The shortest wall-clock time of `runs` calls of work(); freeing its result is excluded."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
        del result
    return best
