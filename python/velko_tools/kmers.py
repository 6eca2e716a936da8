"""K-mer profiles of FASTA files: count_kmers and the KmerTable it returns."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np
import numpy.typing as npt

from velko_tools import _core
from velko_tools._args import StrPath, as_paths, check_choice, path_parts

if TYPE_CHECKING:
    import pandas

Strands = Literal["forward", "both", "canonical"]
Invalid = Literal["error", "skip"]
Progress = Union[bool, Callable[[int, int], object]]

# The largest k the core can number k-mers for (beyond it 4^k no longer fits in 64 bits).
MAX_K: int = _core.MAX_K
# More workers than this gain nothing on any machine and only cost their stacks.
MAX_THREADS = 1024


class KmerTable:
    """k-mer counts of FASTA records (or files): one row each, one column per k-mer.

    ``ids`` names the rows (record ids, or the paths as given with ``per_file``), ``files`` the
    file each row came from, ``kmers`` the column labels in base-4 order (A, C, G, T; the last
    letter varying fastest), ``counts`` the counts as a NumPy ``uint64`` array of rows x
    columns, ``windows`` the k-mers counted into each row (its sum) and ``skipped`` those left
    out for holding a letter other than A, C, G, T. With ``strands="both"`` each window
    counts twice, so both are in k-mers, not windows.
    """

    __slots__ = ("ids", "files", "k", "strands", "kmers", "counts", "windows", "skipped")

    def __init__(
        self,
        ids: list[str],
        files: list[str],
        k: int,
        strands: Strands,
        kmers: list[str],
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

    def __len__(self) -> int:
        return len(self.ids)

    def __repr__(self) -> str:
        rows, columns = self.counts.shape
        files = len(set(self.files))
        return (f"<KmerTable k={self.k} strands={self.strands!r} shape=({rows}, {columns}) "
                f"files={files}>")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, KmerTable):
            return NotImplemented
        return (self.ids == other.ids and self.files == other.files and self.k == other.k
                and self.strands == other.strands and self.kmers == other.kmers
                and np.array_equal(self.counts, other.counts)
                and np.array_equal(self.windows, other.windows)
                and np.array_equal(self.skipped, other.skipped))

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[KmerTable], tuple[Any, ...]]:
        return type(self), (self.ids, self.files, self.k, self.strands, self.kmers, self.counts,
                            self.windows, self.skipped)

    def frequencies(self) -> npt.NDArray[np.float64]:
        """Each row divided by its window count (``float64``); a row without windows stays 0."""
        totals = self.windows.astype(np.float64)
        out = np.zeros(self.counts.shape, dtype=np.float64)
        np.divide(self.counts, totals[:, None], out=out, where=totals[:, None] > 0)
        return out

    @classmethod
    def read(cls, path: StrPath, *, format: str | None = None,
             strands: Strands | None = None) -> KmerTable:
        """The table in a file ``velko kmers`` or ``velko_tools.tables.write_table`` wrote, its
        format told by suffix (.tsv, .tsv.gz, .csv, .npz, .parquet) unless `format` names it.

        A file of frequencies gives back counts, each its frequency times the row's windows
        rounded to the nearest integer: the counts written, while windows stay below 2^53.
        .npz and .parquet keep the strands counted; a text file tells only canonical tables
        apart (their columns), so a table of both strands read from text needs
        ``strands="both"``."""
        from velko_tools.tables import read_table

        return read_table(path, format=format, strands=strands)

    def to_pandas(self) -> pandas.DataFrame:
        """The counts as a pandas DataFrame: index ``id`` (the row ids), one column per k-mer."""
        import pandas

        return pandas.DataFrame(self.counts, index=pandas.Index(self.ids, name="id"),
                                columns=self.kmers, copy=False)


def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    strands: Strands = "forward",
    invalid: Invalid = "error",
    per_file: bool = False,
    threads: int | None = None,
    progress: Progress = False,
) -> KmerTable:
    """Counts the k-mers of FASTA files, plain or gzip-compressed (told apart by content).

    ``paths`` is one path or an iterable of paths (``str`` or ``os.PathLike``). Records are
    read as velko reads them: the id is the header up to its first white space, and windows
    span the lines of a record but never two records. Lower-case ``a c g t`` count as upper
    case (soft-masking).

    ``invalid="error"``: the first byte other than ``ACGTacgt`` in a record of at least k
    letters raises InvalidBaseError. ``invalid="skip"``: windows holding such a byte are left
    out and counted per row in ``skipped``.

    ``strands="forward"`` counts each window; ``"both"`` also its reverse complement;
    ``"canonical"`` counts each window once under the smaller of itself and its reverse
    complement, with the canonical k-mers as the only columns.

    ``per_file=True`` gives one row per file (the sum of its records), named by the path as
    given; otherwise one row per record in file order then record order, repeated ids kept.

    Files are counted in parallel on ``threads`` threads (default: the machine's cores)
    without holding the interpreter lock; the result is the same for any number. ``progress``
    ``True`` draws a tqdm bar on standard error over the input bytes; a callable is called as
    ``progress(bytes_done, bytes_total)`` on the calling thread instead. Ctrl-C stops the count
    with KeyboardInterrupt.

    Raises InvalidBaseError, FastaFormatError (a first line not starting with ``>``, text that
    is not UTF-8), the OSError subclass open() would raise for a missing or unreadable file,
    gzip.BadGzipFile for damaged gzip data and EOFError for a truncated gzip file.
    """
    parts = [path_parts(path) for path in as_paths(paths)]
    encoded = [path for path, _ in parts]
    names = [name for _, name in parts]
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= MAX_K:
        raise ValueError(f"k must be between 1 and {MAX_K}, not {k}")
    check_choice("strands", strands, Strands)
    check_choice("invalid", invalid, Invalid)
    if not isinstance(per_file, bool):
        raise TypeError(f"per_file must be a bool, not {type(per_file).__name__}")
    if threads is None:
        threads = os.cpu_count() or 1
    elif isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    elif threads > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")

    report, close = _progress_reporter(progress, encoded)
    try:
        ids, file_index, kmers, counts, windows, skipped = _core.count_table(
            encoded, k, strands, invalid == "skip", per_file, threads, report)
    finally:
        close()
    row_files = [names[i] for i in file_index.tolist()]
    if per_file:
        ids = list(row_files)
    return KmerTable(ids, row_files, k, strands, kmers, counts, windows, skipped)


def _progress_reporter(
    progress: Progress, paths: list[bytes]
) -> tuple[Callable[[int], object] | None, Callable[[], None]]:
    """The per-poll callback for the native loop, and what ends the report."""
    if progress is False or progress is None:
        return None, lambda: None
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass  # the count itself reports the file
    if callable(progress):
        callback = progress
        return (lambda done: callback(done, total)), lambda: None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
               desc="counting", leave=False)

    def update(done: int) -> None:
        bar.update(done - bar.n)

    return update, bar.close
