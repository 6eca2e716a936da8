"""Composition features of k-mer rows and the nearest rows by them.

KmerTable.features and KmerTable.neighbours are these functions; composition.py gives them
under its name too, beside the tetranucleotide z-scores.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Literal

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import check_choice, usable_cores
from velko_tools.rows import KmerRows

if TYPE_CHECKING:
    import pandas

Feature = Literal["frequency", "log_ratio", "pseudo_frequency", "clr", "l2"]
Metric = Literal["l1", "euclidean", "correlation"]
# The pseudocount each kind adds to every count when none is given; None: the kind has none.
PSEUDOCOUNTS: dict[str, float | None] = {
    "frequency": None,
    "log_ratio": 1.0,
    "pseudo_frequency": 1e-5,
    "clr": 1.0,
    "l2": None,
}
# Rows are turned into features this many bytes of output at a time: small enough that the
# sums and logs of a block stay in the caches, large enough that NumPy's per-call cost does not
# show.
BLOCK_BYTES = 1 << 20
# The distances of one block of queries to one block of rows take at most this many bytes.
DISTANCE_BYTES = 32 << 20


def _memory_check(what: str, needed: int) -> None:
    from velko_tools.layout import available_memory

    free = available_memory()
    if needed > free:
        raise MemoryError(
            f"{what} needs about {needed / 2**30:.1f} GiB, more than the "
            f"{free / 2**30:.1f} GiB available"
        )


def features(
    counts: npt.NDArray[np.uint64], kind: str, pseudocount: float | None = None
) -> npt.NDArray[np.float64]:
    """The features of each row of `counts` (rows x k-mers) as KmerTable.features gives them."""
    check_choice("kind", kind, Feature)
    default = PSEUDOCOUNTS[kind]
    if pseudocount is not None:
        if default is None:
            raise ValueError(f"the kind {kind!r} takes no pseudocount")
        if (
            isinstance(pseudocount, bool)
            or not isinstance(pseudocount, (int, float))
            or not math.isfinite(pseudocount)
            or pseudocount <= 0
        ):
            raise ValueError(f"pseudocount must be a positive finite number, not {pseudocount!r}")
    add = float(pseudocount if pseudocount is not None else default or 0.0)
    rows, columns = counts.shape
    _memory_check(
        f"features of {rows} rows of {columns} k-mers", rows * columns * 8 + 2 * BLOCK_BYTES
    )
    out = np.empty((rows, columns), dtype=np.float64)
    step = max(1, BLOCK_BYTES // max(8 * columns, 1))
    with np.errstate(divide="ignore", invalid="ignore"):
        for start in range(0, rows, step):
            block = out[start : start + step]
            np.copyto(block, counts[start : start + step], casting="unsafe")
            if kind == "l2":
                block /= np.sqrt(np.einsum("ij,ij->i", block, block))[:, None]
                continue
            if add:
                block += add
            if kind == "clr":
                np.log(block, out=block)
                block -= block.mean(axis=1, keepdims=True)
                continue
            # A row without a count gives 0 / 0: NaN, as its frequency is undefined.
            block /= block.sum(axis=1, keepdims=True)
            if kind == "log_ratio":
                np.log(block, out=block)
    return out


def neighbours(
    table: KmerRows,
    kind: str = "frequency",
    metric: str = "l1",
    top: int = 50,
    other: KmerRows | None = None,
    *,
    pseudocount: float | None = None,
    threads: int | None = None,
) -> pandas.DataFrame:
    """The `top` nearest rows of each row by the distance `metric` between their
    ``features(kind)``: ``"l1"``, ``"euclidean"``, or ``"correlation"`` (1 - Pearson's r).
    A row is not its own neighbour; with `other` (a table of the same k and strands), the
    nearest rows of `other` are given instead.

    A pandas DataFrame with columns ``query``, ``query_id`` (the row, by index and id),
    ``match``, ``match_id`` (the neighbour, in this table or `other`), ``distance`` and
    ``rank`` (1 the nearest), nearest first, ties by index. A row without features (NaN)
    is farthest from all, at distance NaN. Queries are compared to blocks of rows on
    ``threads`` threads (default: the usable cores), by matrix products for euclidean and
    correlation, so the memory taken beyond the features is a few blocks of distances, never
    rows x rows."""
    import pandas

    check_choice("metric", metric, Metric)
    if isinstance(top, bool) or not isinstance(top, int) or top < 1:
        raise ValueError(f"top must be a positive int, not {top!r}")
    if other is not None and (other.k, other.strands) != (table.k, table.strands):
        raise ValueError(
            f"other counts k = {other.k} ({other.strands}), this table k = {table.k} "
            f"({table.strands}): their columns differ"
        )
    queries = features(table.counts, kind, pseudocount)
    targets = queries if other is None else features(other.counts, kind, pseudocount)
    if metric == "correlation":
        queries = _standardised(queries)
        targets = queries if other is None else _standardised(targets)
    threads = usable_cores() if threads is None else threads
    found, distances = _nearest(queries, targets, metric, top, same=other is None, threads=threads)
    rows = found.shape[0]
    per = found.shape[1]
    query = np.repeat(np.arange(rows, dtype=np.int64), per)
    match = found.reshape(-1)
    named = table.ids if other is None else other.ids
    return pandas.DataFrame(
        {
            "query": query,
            "query_id": [table.ids[i] for i in query.tolist()],
            "match": match,
            "match_id": [named[i] for i in match.tolist()],
            "distance": distances.reshape(-1),
            "rank": np.tile(np.arange(1, per + 1, dtype=np.int64), rows),
        }
    )


def _standardised(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each row less its mean, over its norm: the correlation of two rows is then their dot
    product. A constant row (or one holding NaN) stays NaN, as its correlation is undefined."""
    out: npt.NDArray[np.float64] = values - values.mean(axis=1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        out /= np.sqrt(np.einsum("ij,ij->i", out, out))[:, None]
    return out


def _nearest(
    queries: npt.NDArray[np.float64],
    targets: npt.NDArray[np.float64],
    metric: str,
    top: int,
    same: bool,
    threads: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The `top` nearest targets of each query (a query is not its own neighbour when `same`),
    nearest first, ties by index; NaN distances last. Blocks of queries are compared to blocks
    of targets, so no more than DISTANCE_BYTES of distances exist at a time per thread."""
    from concurrent.futures import ThreadPoolExecutor

    n_queries, n_targets = queries.shape[0], targets.shape[0]
    per = min(top, n_targets - (1 if same else 0))
    per = max(per, 0)
    found = np.zeros((n_queries, per), dtype=np.int64)
    distances = np.zeros((n_queries, per), dtype=np.float64)
    if per == 0 or n_queries == 0:
        return found, distances
    query_block = max(1, min(n_queries, 256))
    target_block = max(per + 1, DISTANCE_BYTES // (8 * query_block))
    squares = np.einsum("ij,ij->i", targets, targets) if metric == "euclidean" else None

    def distance(start: int, stop: int, first: int, last: int) -> npt.NDArray[np.float64]:
        q, t = queries[start:stop], targets[first:last]
        if metric == "l1":
            out = np.empty((stop - start, last - first), dtype=np.float64)
            _core.l1_distances(np.ascontiguousarray(q), np.ascontiguousarray(t), out)
            return out
        products = q @ t.T
        if metric == "correlation":
            return np.subtract(1.0, products, out=products)
        assert squares is not None
        own = np.einsum("ij,ij->i", q, q)
        products *= -2.0
        products += own[:, None]
        products += squares[None, first:last]
        np.maximum(products, 0.0, out=products)
        return np.sqrt(products, out=products)

    def block(start: int) -> None:
        stop = min(n_queries, start + query_block)
        # Each query's heap of the nearest so far, its places empty (+inf, past any index).
        # Typed as any shape: NumPy releases differ in the shapes they give these.
        best: npt.NDArray[np.float64] = np.full((stop - start, per), np.inf)
        best_index: npt.NDArray[np.int64] = np.full(
            (stop - start, per), np.iinfo(np.int64).max, dtype=np.int64
        )
        for first in range(0, n_targets, target_block):
            last = min(n_targets, first + target_block)
            values = distance(start, stop, first, last)
            _core.keep_nearest(values, first, start if same else -1, best, best_index)
        order = np.lexsort((best_index, best), axis=1)
        best = np.take_along_axis(best, order, axis=1)
        best_index = np.take_along_axis(best_index, order, axis=1)
        if metric == "euclidean":
            # The expanded square loses the digits of near rows to cancellation: the few kept
            # are measured again directly, and ordered by that.
            apart = queries[start:stop, None, :] - targets[best_index]
            exact = np.sqrt(np.einsum("ijk,ijk->ij", apart, apart))
            best = np.where(np.isinf(best), best, exact)
            order = np.lexsort((best_index, best), axis=1)
            best = np.take_along_axis(best, order, axis=1)
            best_index = np.take_along_axis(best_index, order, axis=1)
        found[start:stop] = best_index
        distances[start:stop] = best

    starts = range(0, n_queries, query_block)
    if threads > 1 and len(starts) > 1:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(block, starts))
    else:
        for start in starts:
            block(start)
    distances[np.isinf(distances)] = np.nan
    return found, distances
