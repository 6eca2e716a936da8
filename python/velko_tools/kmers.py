"""K-mer profiles of FASTA files: count_kmers and the KmerTable it returns."""

from __future__ import annotations

import itertools
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal, Union, overload

import numpy as np
import numpy.typing as npt

from velko_tools import _core
from velko_tools._args import StrPath, check_choice, input_parts, naming_stdin

if TYPE_CHECKING:
    import pandas

    from velko_tools.sparse import SparseKmerTable

Strands = Literal["forward", "both", "canonical"]
Invalid = Literal["error", "skip"]
Progress = Union[bool, Callable[[int, int], object]]
Layout = Literal["auto", "dense", "sparse"]

# The largest k the core can number k-mers for (beyond it 4^k no longer fits in 64 bits).
MAX_K: int = _core.MAX_K
# Beyond this a k-mer is no longer one 64-bit code.
MAX_SPARSE_K = 32
# More workers than this gain nothing on any machine and only cost their stacks.
MAX_THREADS = 1024


def _labels(k: int) -> list[str]:
    """All k-mers in base-4 order (k = 0: the empty one)."""
    return ["".join(letters) for letters in itertools.product("ACGT", repeat=k)]


class KmerLabels(Sequence[str]):
    """The column labels of a KmerTable (``"AAAA"``, ``"AAAC"``, ...), made on demand.

    A table of k = 13 has 67 million columns: a list of their labels would take gigabytes and
    seconds to build, for a header that most callers never read. This sequence holds only k and
    the strands, and makes each label when it is indexed or iterated; it equals any sequence of
    the same labels.
    """

    __slots__ = ("_codes", "canonical", "k")

    def __init__(self, k: int, canonical: bool = False) -> None:
        self.k = k
        self.canonical = canonical
        self._codes: npt.NDArray[np.uint64] | None = None

    def _code(self, index: int) -> int:
        if not self.canonical:
            return index
        if self._codes is None:
            self._codes = _core.canonical_kmers(self.k)
        return int(self._codes[index])

    def __len__(self) -> int:
        space = 1 << (2 * self.k)
        if not self.canonical:
            return space
        # Odd k: no k-mer is its own reverse complement; even k: 4^(k/2) of them are.
        return space // 2 if self.k % 2 else (space + (1 << self.k)) // 2

    @overload
    def __getitem__(self, index: int) -> str: ...

    @overload
    def __getitem__(self, index: slice) -> list[str]: ...

    def __getitem__(self, index: int | slice) -> str | list[str]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        size = len(self)
        position = index.__index__()
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError("k-mer label index out of range")
        code = self._code(position)
        return "".join("ACGT"[(code >> shift) & 3] for shift in range(2 * self.k - 2, -1, -2))

    def __iter__(self) -> Iterator[str]:
        # Each label as two halves looked up (a few thousand strings made once): a table
        # header of millions of labels is written in a second rather than letter by letter.
        low = self.k // 2
        halves = [_labels(self.k - low), _labels(low)]
        mask = (1 << (2 * low)) - 1
        codes: Iterable[int] = range(len(self))
        if self.canonical:
            if self._codes is None:
                self._codes = _core.canonical_kmers(self.k)
            codes = self._codes.tolist()
        high_labels, low_labels = halves
        return (high_labels[code >> (2 * low)] + low_labels[code & mask] for code in codes)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, KmerLabels):
            return (self.k, self.canonical) == (other.k, other.canonical)
        if isinstance(other, (list, tuple)):
            return len(other) == len(self) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<KmerLabels k={self.k}{' canonical' if self.canonical else ''} ({len(self)})>"

    def __reduce__(self) -> tuple[type[KmerLabels], tuple[int, bool]]:
        return type(self), (self.k, self.canonical)


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
    T. With ``strands="both"`` each window
    counts twice, so both are in k-mers, not windows.
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
        return (f"<KmerTable k={self.k} strands={self.strands!r} shape=({rows}, {columns}) "
                f"files={files}>")


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
                                columns=list(self.kmers), copy=False)


# The layout decides the kind of table; "auto" can give either.
@overload
def count_kmers(paths: StrPath | Iterable[StrPath], k: int, *, strands: Strands = ...,
                invalid: Invalid = ..., per_file: bool = ..., total: bool = ...,
                threads: int | None = ...,
                progress: Progress = ..., layout: Literal["dense"], min_count: int = ...,
                memory: int | None = ..., tmpdir: StrPath | None = ...) -> KmerTable: ...
@overload
def count_kmers(paths: StrPath | Iterable[StrPath], k: int, *, strands: Strands = ...,
                invalid: Invalid = ..., per_file: bool = ..., total: bool = ...,
                threads: int | None = ...,
                progress: Progress = ..., layout: Literal["sparse"], min_count: int = ...,
                memory: int | None = ..., tmpdir: StrPath | None = ...) -> SparseKmerTable: ...
@overload
def count_kmers(paths: StrPath | Iterable[StrPath], k: int, *, strands: Strands = ...,
                invalid: Invalid = ..., per_file: bool = ..., total: bool = ...,
                threads: int | None = ...,
                progress: Progress = ..., layout: Layout = ..., min_count: int = ...,
                memory: int | None = ...,
                tmpdir: StrPath | None = ...) -> KmerTable | SparseKmerTable: ...


def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    strands: Strands = "forward",
    invalid: Invalid = "error",
    per_file: bool = False,
    total: bool = False,
    threads: int | None = None,
    progress: Progress = False,
    layout: Layout = "auto",
    min_count: int = 1,
    memory: int | None = None,
    tmpdir: StrPath | None = None,
) -> KmerTable | SparseKmerTable:
    """Counts the k-mers of FASTA files, plain or gzip-compressed (told apart by content).

    ``paths`` is one path or an iterable of paths (``str`` or ``os.PathLike``); the ``str``
    ``"-"`` reads standard input (once), whose rows' file is ``"-"`` and whose errors name it
    ``<stdin>``. Records are
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
    ``total=True`` gives one row over every record of every file (id ``"total"``, file ``""``),
    as whole-collection counters do; ``min_count`` then applies to the sum.

    Files are counted in parallel on ``threads`` threads (default: the machine's cores)
    without holding the interpreter lock; the result is the same for any number. ``progress``
    ``True`` draws a tqdm bar on standard error over the input bytes; a callable is called as
    ``progress(bytes_done, bytes_total)`` on the calling thread instead. Ctrl-C stops the count
    with KeyboardInterrupt.

    ``layout="dense"`` gives a KmerTable (k up to 31, while 4^k columns fit); ``"sparse"`` a
    SparseKmerTable of the k-mers seen (k up to 32); ``"auto"`` dense while the dense table
    fits in a small share of the memory available (velko_tools.sparse.dense_fits) and sparse
    otherwise. ``min_count=n`` leaves out (sparse) or zeroes (dense) the k-mers seen fewer than
    n times in their row. ``memory`` bounds the bytes a sparse count keeps of one row's
    occurrences (default: what the machine allows): past it they are partitioned by k-mer prefix
    into temporary files under ``tmpdir`` (default: tempfile.gettempdir()), each partition
    counted in memory. The files have no name and vanish when closed, whatever ends the count;
    a full disk raises OSError naming the directory.

    Raises InvalidBaseError, FastaFormatError (a first line not starting with ``>``, text that
    is not UTF-8), the OSError subclass open() would raise for a missing or unreadable file,
    gzip.BadGzipFile for damaged gzip data and EOFError for a truncated gzip file.
    """
    return count_and_tally(paths, k, strands=strands, invalid=invalid, per_file=per_file,
                           total=total, threads=threads, progress=progress, layout=layout,
                           min_count=min_count, memory=memory, tmpdir=tmpdir)[0]


def count_and_tally(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    strands: Strands = "forward",
    invalid: Invalid = "error",
    per_file: bool = False,
    total: bool = False,
    threads: int | None = None,
    progress: Progress = False,
    layout: Layout = "auto",
    min_count: int = 1,
    memory: int | None = None,
    tmpdir: StrPath | None = None,
    tally: bool = False,
) -> tuple[KmerTable | SparseKmerTable, npt.NDArray[np.uint64]]:
    """count_kmers, and from the same read each file's tally when ``tally``: a (files, 6) array
    of its records, the bytes of its sequence lines, and its A, C, G, T (either case); zeros
    without ``tally``."""
    parts = input_parts(paths)
    encoded = [path for path, _ in parts]
    names = [name for _, name in parts]
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    check_choice("layout", layout, Layout)
    most_k = MAX_K if layout == "dense" else MAX_SPARSE_K
    if not 1 <= k <= most_k:
        raise ValueError(f"k must be between 1 and {most_k}, not {k}")
    check_choice("strands", strands, Strands)
    check_choice("invalid", invalid, Invalid)
    if not isinstance(per_file, bool):
        raise TypeError(f"per_file must be a bool, not {type(per_file).__name__}")
    if not isinstance(total, bool):
        raise TypeError(f"total must be a bool, not {type(total).__name__}")
    if total and per_file:
        raise ValueError("total=True gives one row over all files; per_file cannot be set too")
    if threads is None:
        threads = os.cpu_count() or 1
    elif isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    elif threads > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")

    if isinstance(min_count, bool) or not isinstance(min_count, int) or min_count < 1:
        raise ValueError(f"min_count must be a positive int, not {min_count!r}")
    from velko_tools.sparse import count_sparse, dense_fits

    if layout == "sparse" or (layout == "auto" and not dense_fits(
            k, strands, len(encoded) if per_file or total else _record_rows_guess(encoded))):
        with naming_stdin(parts):
            return count_sparse(encoded, names, k, strands=strands, invalid=invalid,
                                per_file=per_file, total=total, threads=threads,
                                progress=progress, min_count=min_count, memory=memory,
                                tmpdir=tmpdir, tally=tally)

    report, close = _progress_reporter(progress, encoded)
    try:
        with naming_stdin(parts):
            ids, file_index, counts, windows, skipped, tallies = _core.count_table(
                encoded, k, strands, invalid == "skip", per_file or total, tally, threads, report)
    finally:
        close()
    row_files = [names[i] for i in file_index.tolist()]
    if per_file:
        ids = list(row_files)
    if total:
        ids, row_files = ["total"], [""]
        counts = counts.sum(axis=0, dtype=np.uint64, keepdims=True)
        windows = windows.sum(dtype=np.uint64, keepdims=True)
        skipped = skipped.sum(dtype=np.uint64, keepdims=True)
    if min_count > 1:
        counts[counts < min_count] = 0
    kmers = KmerLabels(k, canonical=strands == "canonical")
    return KmerTable(ids, row_files, k, strands, kmers, counts, windows, skipped), tallies


def _record_rows_guess(paths: list[bytes]) -> int:
    """Rows of a per-record table as layout="auto" guesses them: one per 64 KiB of input, at
    least one per file."""
    size = 0
    for path in paths:
        try:
            size += os.stat(path).st_size
        except OSError:
            pass  # the count itself reports the file
    return max(len(paths), size >> 16)


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
