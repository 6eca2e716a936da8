"""K-mer profiles of FASTA files: count_kmers and the KmerTable it returns."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import Progress, Strands, StrPath
from velko_tools.kmer_labels import KmerLabels as KmerLabels

if TYPE_CHECKING:
    import pandas


# The largest k the core can number k-mers for (beyond it 4^k no longer fits in 64 bits).
MAX_K: int = _core.MAX_K
# Beyond this a k-mer is no longer one 64-bit code.
MAX_SPARSE_K: int = _core.MAX_SPARSE_K
# Counts, bounds on counts and byte budgets are unsigned 64-bit in the core.
MAX_COUNT = 2**64 - 1
# More workers than this gain nothing on any machine and only cost their stacks.
MAX_THREADS = 1024


class _RowTable:
    """What both k-mer tables share: rows named by ``ids`` and ``files``, equality field by
    field (arrays by value), and pickling by the constructor's arguments, in ``_FIELDS``."""

    __slots__ = ()
    _FIELDS: tuple[str, ...] = ()
    ids: list[str]

    def __len__(self) -> int:
        return len(self.ids)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        for field in self._FIELDS:
            mine, theirs = getattr(self, field), getattr(other, field)
            if isinstance(mine, np.ndarray):
                if not np.array_equal(mine, theirs):
                    return False
            elif mine != theirs:
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[_RowTable], tuple[Any, ...]]:
        return type(self), tuple(getattr(self, field) for field in self._FIELDS)


class KmerTable(_RowTable):
    """k-mer counts of FASTA records (or files): one row each, one column per k-mer.

    ``ids`` names the rows (record ids, or the paths as given with ``per_file``), ``files`` the
    file each row came from, ``kmers`` the column labels in base-4 order (A, C, G, T; the last
    letter varying fastest; a KmerLabels sequence that makes them on demand), ``counts`` the
    counts as a NumPy ``uint64`` array of rows x columns, ``windows`` the k-mers counted into
    each row (its sum) and ``skipped`` those left out for holding a letter other than A, C, G,
    T. With ``strands="both"`` each window counts twice, so both are in k-mers, not windows.
    """

    _FIELDS = ("ids", "files", "k", "strands", "kmers", "counts", "windows", "skipped")
    __slots__ = _FIELDS

    def __init__(
        self,
        ids: list[str],
        files: list[str],
        k: int,
        strands: Strands,
        kmers: Sequence[str],
        counts: npt.NDArray[np.uint64],
        windows: npt.NDArray[np.uint64],
        skipped: npt.NDArray[np.uint64],
    ) -> None:
        self.ids = ids
        self.files = files
        self.k = k
        self.strands: Strands = strands
        self.kmers = kmers
        self.counts = counts
        self.windows = windows
        self.skipped = skipped

    def __repr__(self) -> str:
        rows, columns = self.counts.shape
        files = len(set(self.files))
        return (
            f"<KmerTable k={self.k} strands={self.strands!r} shape=({rows}, {columns}) "
            f"files={files}>"
        )

    def frequencies(self) -> npt.NDArray[np.float64]:
        """Each row divided by its window count (``float64``); a row without windows stays 0."""
        totals = self.windows.astype(np.float64)
        out = np.zeros(self.counts.shape, dtype=np.float64)
        np.divide(self.counts, totals[:, None], out=out, where=totals[:, None] > 0)
        return out

    @classmethod
    def read(
        cls, path: StrPath, *, format: str | None = None, strands: Strands | None = None
    ) -> KmerTable:
        """The table in a file ``velko kmers`` or ``velko_tools.tables.write_table`` wrote, its
        format told by suffix (.tsv, .tsv.gz, .csv, .npz, .parquet) unless `format` names it.

        A file of frequencies gives back counts, each its frequency times the row's windows
        rounded to the nearest integer: the counts written, while windows stay below 2^53.
        .npz and .parquet keep the strands counted; a text file tells only canonical tables
        apart (their columns), so a table of both strands read from text needs
        ``strands="both"``."""
        from velko_tools.tables import read_table

        return cls(**read_table(path, format=format, strands=strands))

    def write(
        self,
        path: StrPath | None,
        *,
        frequencies: bool = False,
        format: str | None = None,
        compress_level: int | None = None,
        progress: bool = False,
    ) -> None:
        """Writes the table as ``velko kmers`` does: in `format` ("tsv", "tsv.gz", "csv", "npz",
        "parquet"), or the one the suffix of `path` names; ``None`` or ``"-"`` writes to
        standard output. The file is replaced whole or not at all, and read() gives the table
        back (frequencies as counts; from text, the strands as read() says). See
        velko_tools.tables.write_table for the options and docs/formats.md for the formats."""
        from velko_tools.tables import DEFAULT_COMPRESS_LEVEL, write_table

        write_table(
            self,
            None if path is None else os.fspath(path),
            frequencies=frequencies,
            format=format,
            progress=progress,
            compress_level=DEFAULT_COMPRESS_LEVEL if compress_level is None else compress_level,
        )

    def to_pandas(self) -> pandas.DataFrame:
        """The counts as a pandas DataFrame: index ``id`` (the row ids), one column per k-mer."""
        import pandas

        return pandas.DataFrame(
            self.counts,
            index=pandas.Index(self.ids, name="id"),
            columns=list(self.kmers),
            copy=False,
        )


def input_bytes(paths: list[bytes]) -> int:
    """The size of the input files that can be looked at (the count reports the others)."""
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass
    return total


def row_names(
    names: list[str],
    file_index: npt.NDArray[np.uint64],
    ids: list[str],
    per_file: bool,
    total: bool,
) -> tuple[list[str], list[str]]:
    """The ids and files of a count's rows: a file's rows are named by the file as given with
    ``per_file``, the one row of ``total`` is "total" of no file."""
    if total:
        return ["total"], [""]
    row_files = [names[i] for i in file_index.tolist()]
    return (list(row_files) if per_file else ids), row_files


def _progress_reporter(
    progress: Progress, paths: list[bytes]
) -> tuple[Callable[[int], object] | None, Callable[[], None]]:
    """The per-poll callback for the native loop, and what ends the report."""
    if progress is False or progress is None:
        return None, lambda: None
    total = input_bytes(paths)
    if callable(progress):
        callback = progress
        return (lambda done: callback(done, total)), lambda: None
    from tqdm import tqdm

    bar = tqdm(
        total=total,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        file=sys.stderr,
        desc="counting",
        leave=False,
    )

    def update(done: int) -> None:
        bar.update(done - bar.n)

    return update, bar.close
