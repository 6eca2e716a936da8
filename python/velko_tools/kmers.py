"""K-mer profiles of FASTA files: count_kmers and the KmerTable it returns."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
import velko_tools.row_features as row_features
from velko_tools._args import Progress, Strands, StrPath
from velko_tools.kmer_labels import KmerLabels as KmerLabels
from velko_tools.rows import KmerRows

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


class KmerTable(KmerRows):
    """k-mer counts of FASTA records (or files): one row each, one column per k-mer.

    ``ids`` names the rows (record ids, or the paths as given with ``per_file``), ``files`` the
    file each row came from, ``kmers`` the column labels in base-4 order (A, C, G, T; the last
    letter varying fastest; a KmerLabels sequence that makes them on demand), ``counts`` the
    counts as a NumPy ``uint64`` array of rows x columns, ``windows`` the k-mers counted into
    each row (its sum) and ``skipped`` those left out for holding a letter other than A, C, G,
    T. With ``strands="both"`` each window counts twice, so both are in k-mers, not windows. A
    table counted in windows along records (count_kmers(window=...)) has ``starts`` and
    ``ends``, each row's place in its record (0-based, end exclusive, ``uint64``); otherwise
    both are None.
    """

    # The fields are KmerRows', in its order: the constructor, equality and pickling are its.
    __slots__ = ()

    def __repr__(self) -> str:
        rows, columns = self.counts.shape
        files = len(set(self.files))
        return (
            f"<KmerTable k={self.k} strands={self.strands!r} shape=({rows}, {columns}) "
            f"files={files}>"
        )

    def features(self, kind: str, *, pseudocount: float | None = None) -> npt.NDArray[np.float64]:
        """The composition features of each row (``float64``, rows x k-mers, in the table's
        column order), c being a row's counts (windows over a byte other than A, C, G, T
        already left out when counted with ``invalid="skip"``):

        - ``"frequency"``: c / sum(c), the signature genome-quality tools compare by L1;
        - ``"log_ratio"``: log((c + 1) / sum(c + 1)), as CONCOCT-style binners take it;
        - ``"pseudo_frequency"``: (c + 1e-5) / sum(c + 1e-5), as SemiBin does;
        - ``"clr"``: log(c + 1) - mean(log(c + 1)), the centred log-ratio;
        - ``"l2"``: c / sqrt(sum(c^2)).

        ``pseudocount`` replaces the 1 or 1e-5 of the kinds that add one (ValueError for the
        others). A row without a count (a record shorter than k, or all N) gives NaN for
        ``"frequency"`` and ``"l2"``; the other kinds follow their formula. Any k and strands
        are served; MemoryError (saying what it needs) when the result would not fit."""
        return row_features.features(self.counts, kind, pseudocount)

    # The function itself, so that its parameters and their documentation stand once.
    neighbours = row_features.neighbours

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
