"""Counting the k-mers of FASTA files into a dense or a sparse table: the one entry point for
both layouts, which picks between them."""

from __future__ import annotations

import dataclasses
import inspect
import os
import stat
from collections.abc import Iterable
from typing import TYPE_CHECKING, Literal, TypedDict, overload

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import (
    Invalid,
    Layout,
    Progress,
    Strands,
    StrPath,
    check_choice,
    input_parts,
    native_inputs,
    usable_cores,
)
from velko_tools.kmer_labels import KmerLabels
from velko_tools.kmers import (
    MAX_COUNT,
    MAX_K,
    MAX_SPARSE_K,
    MAX_THREADS,
    KmerTable,
    _progress_reporter,
    input_bytes,
    row_names,
)
from velko_tools.layout import dense_fits, dense_share
from velko_tools.sparse import SparseKmerTable

if TYPE_CHECKING:
    from typing_extensions import TypeAlias, Unpack

    _Paths: TypeAlias = StrPath | Iterable[StrPath]


class _CountKeywords(TypedDict, total=False):
    """The keywords of count_kmers besides layout, as its overloads take them (count_and_tally's
    signature gives their defaults)."""

    strands: Strands
    invalid: Invalid
    per_file: bool
    total: bool
    threads: int | None
    progress: Progress
    min_count: int
    memory: int | None
    tmpdir: StrPath | None
    window: int | None
    step: int | None


@overload
def count_kmers(
    paths: _Paths, k: int, *, layout: Literal["dense"], **options: Unpack[_CountKeywords]
) -> KmerTable: ...
@overload
def count_kmers(
    paths: _Paths, k: int, *, layout: Literal["sparse"], **options: Unpack[_CountKeywords]
) -> SparseKmerTable: ...
@overload
def count_kmers(
    paths: _Paths, k: int, *, layout: Layout = ..., **options: Unpack[_CountKeywords]
) -> KmerTable | SparseKmerTable: ...


def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    layout: Layout = "auto",
    **options: Unpack[_CountKeywords],
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

    Files are counted in parallel on ``threads`` threads (default: the cores this process may use)
    without holding the interpreter lock; the result is the same for any number. ``progress``
    ``True`` draws a tqdm bar on standard error over the input bytes; a callable is called as
    ``progress(bytes_done, bytes_total)`` on the calling thread instead. Ctrl-C stops the count
    with KeyboardInterrupt.

    ``layout="dense"`` gives a KmerTable (k up to 31, while 4^k columns fit); ``"sparse"`` a
    SparseKmerTable of the k-mers seen (k up to 32); ``"auto"`` dense while the dense table
    fits in a small share of the memory available (velko_tools.layout.dense_fits) and sparse
    otherwise, switching to sparse as soon as the records met make the dense rows pass that
    share or the memory left (inputs that can be read again; others are refused with
    MemoryError). ``min_count=n`` leaves out (sparse) or zeroes (dense) the k-mers seen fewer than
    n times in their row. ``memory`` bounds the bytes a sparse count keeps of one row's
    occurrences (default: what the machine allows): past it they are partitioned by k-mer prefix
    into temporary files under ``tmpdir`` (default: tempfile.gettempdir(); ``""`` is refused,
    ``"."`` names the current directory), each partition counted in memory. The files have no
    name (or, on a file system without unnamed files, lose theirs as soon as they are made) and
    vanish when closed, whatever ends the count; a full disk raises OSError naming the
    directory. ``min_count`` and ``memory`` are below 2**64.

    ``window=W`` (with ``step=S``, default W) gives one row per window of W bases along each
    record instead of one per record: windows start at 0, S, 2S, ... while they fit, one more
    covers [length - W, length) when the last of those ends before the record does, and a
    record shorter than W gives one row over all of it. k-mers are counted within each window;
    the rows' ids are the record ids, and the table's ``starts`` and ``ends`` (0-based, end
    exclusive) place them. Not with ``per_file`` or ``total``.

    Raises InvalidBaseError, FastaFormatError (a first line not starting with ``>``, text that
    is not UTF-8), the OSError subclass open() would raise for a missing or unreadable file,
    gzip.BadGzipFile for damaged gzip data and EOFError for a truncated gzip file.
    """
    return count_and_tally(paths, k, layout=layout, **options)[0]


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
    window: int | None = None,
    step: int | None = None,
) -> tuple[KmerTable | SparseKmerTable, npt.NDArray[np.uint64]]:
    """count_kmers, and from the same read each file's tally when ``tally``: a (files, 6) array
    of its records, the bytes of its sequence lines, and its A, C, G, T (either case); zeros
    without ``tally``."""
    parts = input_parts(paths)
    encoded = [path for path, _ in parts]
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    check_choice("layout", layout, Layout)
    most_k = MAX_K if layout == "dense" else MAX_SPARSE_K
    if not 1 <= k <= most_k:
        raise ValueError(f"k must be between 1 and {most_k}, not {k}")
    count = _Count.checked(
        k, strands, invalid, per_file, total, threads, min_count, memory, tmpdir, window, step
    )
    # Where the inputs can be read again, "auto" decides on the rows met: it starts dense if a row
    # per file fits, stops the dense count once the rows pass the dense table's share (or the
    # memory left), and counts sparsely instead. Input read once is decided on a guess of rows.
    again = layout == "auto" and _readable_again(encoded)
    rows = len(encoded) if per_file or total or again else _record_rows_guess(encoded, count.step)
    if layout == "sparse" or (layout == "auto" and not dense_fits(k, strands, rows)):
        return _count_sparse(parts, count, progress, tally)
    report, close = _progress_reporter(progress, encoded)
    try:
        counted = _core.count_table(
            native_inputs(parts),
            **count.native(tally),
            progress=report,
            most_bytes=dense_share() if again else 0,
        )
    finally:
        close()
    if counted is None:
        return _count_sparse(parts, count, progress, tally)
    ids, file_index, counts, windows, skipped, tallies, starts, ends = counted
    kmers = KmerLabels(k, canonical=strands == "canonical")
    ids, files = count.rows(parts, ids, file_index)
    places = count.places(starts, ends)
    return KmerTable(ids, files, k, strands, kmers, counts, windows, skipped, *places), tallies


def _count_sparse(
    parts: list[tuple[bytes, str]], count: _Count, progress: Progress, tally: bool
) -> tuple[SparseKmerTable, npt.NDArray[np.uint64]]:
    """count_kmers(layout="sparse") once its arguments are checked, with each file's tally
    (records, letters, A, C, G, T) when ``tally``."""
    import tempfile

    report, close = _progress_reporter(progress, [path for path, _ in parts])
    try:
        counted = _core.count_sparse(
            native_inputs(parts),
            **count.native(tally),
            memory=count.memory or 0,
            tmpdir=os.fsencode(tempfile.gettempdir() if count.tmpdir is None else count.tmpdir),
            progress=report,
        )
    finally:
        close()
    ids, file_index, indptr, codes, counts, windows, skipped, tallies, starts, ends = counted
    ids, files = count.rows(parts, ids, file_index)
    places = count.places(starts, ends)
    table = SparseKmerTable(
        ids, files, count.k, count.strands, indptr, codes, counts, windows, skipped, *places
    )
    return table, tallies


class _NativeCount(TypedDict):
    """The keywords the dense and the sparse native counts both take, by their names there."""

    k: int
    strands: str
    skip_invalid: bool
    per_file: bool
    total: bool
    tally: bool
    min_count: int
    threads: int
    window: int
    step: int


@dataclasses.dataclass(frozen=True)
class _Count:
    """What one count is asked for, checked once: what the dense and the sparse native counts
    share, and what names and places their rows. ``window`` and ``step`` are as the core takes
    them (0 for rows that are not windows)."""

    k: int
    strands: Strands
    invalid: Invalid
    per_file: bool
    total: bool
    threads: int
    min_count: int
    memory: int | None
    tmpdir: StrPath | None
    window: int
    step: int

    @classmethod
    def checked(
        cls,
        k: int,
        strands: Strands,
        invalid: Invalid,
        per_file: bool,
        total: bool,
        threads: int | None,
        min_count: int,
        memory: int | None,
        tmpdir: StrPath | None,
        window: int | None,
        step: int | None,
    ) -> _Count:
        """The count's arguments, each checked as count_kmers documents them (k already
        against its layout's bound)."""
        check_choice("strands", strands, Strands)
        check_choice("invalid", invalid, Invalid)
        if not isinstance(per_file, bool):
            raise TypeError(f"per_file must be a bool, not {type(per_file).__name__}")
        if not isinstance(total, bool):
            raise TypeError(f"total must be a bool, not {type(total).__name__}")
        if total and per_file:
            raise ValueError("total=True gives one row over all files; per_file cannot be set too")
        if threads is None:
            threads = usable_cores()
        elif isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
            raise ValueError(f"threads must be a positive int or None, not {threads!r}")
        elif threads > MAX_THREADS:
            raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")
        if (
            isinstance(min_count, bool)
            or not isinstance(min_count, int)
            or not 1 <= min_count <= MAX_COUNT
        ):
            raise ValueError(f"min_count must be a positive int below 2**64, not {min_count!r}")
        if memory is not None and (
            isinstance(memory, bool) or not isinstance(memory, int) or not 1 <= memory <= MAX_COUNT
        ):
            raise ValueError(f"memory must be a positive int below 2**64 or None, not {memory!r}")
        if tmpdir is not None and not os.fspath(tmpdir):
            raise ValueError(
                "tmpdir must name a directory, not ''; give '.' for the current one "
                "or None for tempfile.gettempdir()"
            )
        width, stride = window_span(window, step)
        if width and (per_file or total):
            raise ValueError(
                "window gives rows along each record; per_file and total cannot be set too"
            )
        return cls(
            k, strands, invalid, per_file, total, threads, min_count, memory, tmpdir, width, stride
        )

    def native(self, tally: bool) -> _NativeCount:
        """The keywords of both native counts; `tally` asks for each file's tally too."""
        return _NativeCount(
            k=self.k,
            strands=self.strands,
            skip_invalid=self.invalid == "skip",
            per_file=self.per_file,
            total=self.total,
            tally=tally,
            min_count=self.min_count,
            threads=self.threads,
            window=self.window,
            step=self.step,
        )

    def rows(
        self, parts: list[tuple[bytes, str]], ids: list[str], file_index: npt.NDArray[np.uint64]
    ) -> tuple[list[str], list[str]]:
        """The ids and files of the count's rows, from the ids and file indices it gave."""
        return row_names([name for _, name in parts], file_index, ids, self.per_file, self.total)

    def places(
        self, starts: npt.NDArray[np.uint64], ends: npt.NDArray[np.uint64]
    ) -> tuple[npt.NDArray[np.uint64] | None, npt.NDArray[np.uint64] | None]:
        """The rows' places in their records: the count's own with windows, else None."""
        return (starts, ends) if self.window else (None, None)


def window_span(window: int | None, step: int | None) -> tuple[int, int]:
    """The (width, step) of windows as the core takes them, (0, 0) for none; `step` defaults to
    `window` (windows side by side). ValueError for a step without a window, or a bound that is
    not a positive int below 2**64."""
    if window is None:
        if step is not None:
            raise ValueError("step is the distance between windows: give window too")
        return 0, 0
    for name, value in (("window", window), ("step", step)):
        if value is not None and (
            isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_COUNT
        ):
            raise ValueError(f"{name} must be a positive int below 2**64, not {value!r}")
    return window, window if step is None else step


def _readable_again(paths: list[bytes]) -> bool:
    """Whether every input is a regular file, which a second count can read from its start."""
    try:
        return all(stat.S_ISREG(os.stat(path).st_mode) for path in paths)
    except OSError:
        return False


def _record_rows_guess(paths: list[bytes], step: int = 0) -> int:
    """Rows of a per-record table as layout="auto" guesses them: one per 64 KiB of input (or
    one per `step` bytes, counting windows), at least one per file."""
    size = input_bytes(paths)
    return max(len(paths), size // step if step else size >> 16)


# help() and IDEs show count_kmers with count_and_tally's keywords and defaults, its own.
count_kmers.__signature__ = inspect.signature(count_and_tally).replace(  # type: ignore[attr-defined]
    parameters=[
        parameter
        for parameter in inspect.signature(count_and_tally).parameters.values()
        if parameter.name != "tally"
    ],
    return_annotation="KmerTable | SparseKmerTable",
)

__all__ = ["count_and_tally", "count_kmers", "window_span"]
