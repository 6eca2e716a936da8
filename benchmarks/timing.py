"""The timing rule every benchmark script here follows: the best of several runs, the same
number for velko and for each peer it is compared with."""

import gc
import time


def best_of(runs, work):
    """The shortest wall-clock time of `runs` calls of work(). Each call starts with no garbage
    left over from the one before, and freeing what it built is not part of its time."""
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
        del result
    return best
