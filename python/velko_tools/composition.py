"""Composition features of k-mer tables, tetranucleotide z-scores and nearest rows.

Binners and genome-quality tools start from the tetranucleotide composition of each record;
this module gives the forms they use (KmerTable.features), the z-scores of the TETRA
comparison (tetra_zscores, TetraTable) and the nearest rows of a table (KmerTable.neighbours),
each without a temporary the size of the table beyond its own result.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable
from typing import TYPE_CHECKING, Literal

import numpy as np
import numpy.typing as npt

from velko_tools import _core
from velko_tools._args import (
    Progress,
    StrPath,
    check_choice,
    input_parts,
    native_inputs,
    usable_cores,
)

if TYPE_CHECKING:
    import pandas

    from velko_tools.kmers import KmerTable

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
    table: KmerTable,
    kind: str = "frequency",
    metric: str = "l1",
    top: int = 50,
    other: KmerTable | None = None,
    pseudocount: float | None = None,
    threads: int | None = None,
) -> pandas.DataFrame:
    """See KmerTable.neighbours."""
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


@dataclasses.dataclass(eq=False, repr=False, slots=True)
class TetraTable:
    """Tetranucleotide z-scores of FASTA files or records: one row each, 256 columns.

    ``ids`` names the rows (the paths as given with ``per_file``, else record ids), ``files``
    the file each row came from, ``zscores`` the z-scores as ``float64`` rows x 256 in base-4
    order (``kmers``: AAAA, AAAC, ...), ``sizes`` the sequence bytes of each row's records;
    ``starts`` and ``ends`` each row's place in its record when scored in windows (else None).
    """

    ids: list[str]
    files: list[str]
    zscores: npt.NDArray[np.float64]
    sizes: npt.NDArray[np.uint64]
    starts: npt.NDArray[np.uint64] | None = None
    ends: npt.NDArray[np.uint64] | None = None

    def __len__(self) -> int:
        return len(self.ids)

    def __repr__(self) -> str:
        return f"<TetraTable rows={len(self)} files={len(set(self.files))}>"

    def __reduce__(self) -> tuple[type[TetraTable], tuple[object, ...]]:
        return type(self), tuple(getattr(self, field) for field in self.__slots__)

    @property
    def kmers(self) -> list[str]:
        """The column labels: the 256 tetranucleotides in base-4 order."""
        from velko_tools.kmers import KmerLabels

        return list(KmerLabels(4))

    def correlation(self, other: TetraTable | None = None) -> npt.NDArray[np.float64]:
        """Pearson's correlation between the z-scores of each row and each row of `other`
        (default: this table), rows x other's rows, as the TETRA comparison of genomes uses
        it; NaN for a row whose z-scores are all equal (no spread to correlate)."""
        mine = _standardised(self.zscores)
        theirs = mine if other is None else _standardised(other.zscores)
        out: npt.NDArray[np.float64] = mine @ theirs.T
        np.clip(out, -1.0, 1.0, out=out)
        return out

    def to_pandas(self) -> pandas.DataFrame:
        """The z-scores as a pandas DataFrame: index ``id``, one column per tetranucleotide."""
        import pandas

        return pandas.DataFrame(
            self.zscores, index=pandas.Index(self.ids, name="id"), columns=self.kmers, copy=False
        )


def tetra_zscores(
    paths: StrPath | Iterable[StrPath],
    *,
    per_file: bool = True,
    min_length: int = 0,
    threads: int | None = None,
    progress: Progress = False,
    window: int | None = None,
    step: int | None = None,
) -> TetraTable:
    """The tetranucleotide z-scores of FASTA files (Teeling et al. 2004), one row per file
    (``per_file=True``) or per record, over both strands.

    Mono- to tetranucleotides are counted on each record and its reverse complement, windows
    over a byte other than A, C, G, T (either case) left out. For each tetranucleotide
    n1n2n3n4 the expected count is E = N(n1n2n3) N(n2n3n4) / N(n2n3), its variance
    V = E (N(n2n3) - N(n1n2n3)) (N(n2n3) - N(n2n3n4)) / N(n2n3)^2, and its z-score
    (N(n1n2n3n4) - E) / sqrt(V); z is 0 where N(n2n3) = 0 or V = 0. Records with fewer than
    `min_length` bases (sequence bytes) are left out (a file then keeps a row of zeros).

    ``window`` and ``step`` (with ``per_file=False``) score windows along each record as
    count_kmers(window=, step=) cuts them, ``starts`` and ``ends`` placing each row.

    Paths, ``threads``, ``progress`` and the errors raised are as for count_kmers."""
    from velko_tools.counting import window_span
    from velko_tools.kmers import MAX_COUNT, MAX_THREADS, _progress_reporter

    parts = input_parts(paths)
    encoded = [path for path, _ in parts]
    names = [name for _, name in parts]
    if not isinstance(per_file, bool):
        raise TypeError(f"per_file must be a bool, not {type(per_file).__name__}")
    if (
        isinstance(min_length, bool)
        or not isinstance(min_length, int)
        or not 0 <= min_length <= MAX_COUNT
    ):
        raise ValueError(f"min_length must be an int from 0 below 2**64, not {min_length!r}")
    if threads is None:
        threads = usable_cores()
    elif (
        isinstance(threads, bool) or not isinstance(threads, int) or not 1 <= threads <= MAX_THREADS
    ):
        raise ValueError(f"threads must be an int from 1 to {MAX_THREADS} or None, not {threads!r}")
    width, stride = window_span(window, step)
    if width and (per_file or min_length):
        raise ValueError(
            "window gives rows along each record: pass per_file=False, and no min_length"
        )
    report, close = _progress_reporter(progress, encoded)
    try:
        ids, file_index, zscores, sizes, starts, ends = _core.tetra_zscores(
            native_inputs(parts), per_file, min_length, threads, report, width, stride
        )
    finally:
        close()
    files = [names[i] for i in file_index.tolist()]
    places = (starts, ends) if width else (None, None)
    return TetraTable(list(files) if per_file else ids, files, zscores, sizes, *places)


__all__ = ["Feature", "Metric", "TetraTable", "features", "neighbours", "tetra_zscores"]
