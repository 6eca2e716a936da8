"""Counting the k-mers of FASTA files into a dense or a sparse table: the one entry point for
both layouts, which picks between them."""

from __future__ import annotations

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
from velko_tools.sparse import SparseKmerTable, count_sparse

if TYPE_CHECKING:
    from typing_extensions import Unpack


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


@overload
def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    layout: Literal["dense"],
    **options: Unpack[_CountKeywords],
) -> KmerTable: ...
@overload
def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    layout: Literal["sparse"],
    **options: Unpack[_CountKeywords],
) -> SparseKmerTable: ...
@overload
def count_kmers(
    paths: StrPath | Iterable[StrPath],
    k: int,
    *,
    layout: Layout = ...,
    **options: Unpack[_CountKeywords],
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

    def sparse() -> tuple[SparseKmerTable, npt.NDArray[np.uint64]]:
        return count_sparse(
            parts,
            k,
            strands=strands,
            invalid=invalid,
            per_file=per_file,
            total=total,
            threads=threads,
            progress=progress,
            min_count=min_count,
            memory=memory,
            tmpdir=tmpdir,
            tally=tally,
        )

    # Where the inputs can be read again, "auto" decides on the rows met: it starts dense if a row
    # per file fits, stops the dense count once the rows pass the dense table's share (or the
    # memory left), and counts sparsely instead. Input read once is decided on a guess of rows.
    again = layout == "auto" and _readable_again(encoded)
    rows = len(encoded) if per_file or total or again else _record_rows_guess(encoded)
    if layout == "sparse" or (layout == "auto" and not dense_fits(k, strands, rows)):
        return sparse()
    most_bytes = dense_share() if again else 0
    report, close = _progress_reporter(progress, encoded)
    try:
        counted = _core.count_table(
            native_inputs(parts),
            k,
            strands,
            invalid == "skip",
            per_file,
            total,
            tally,
            min_count,
            threads,
            report,
            most_bytes,
        )
    finally:
        close()
    if counted is None:
        return sparse()
    ids, file_index, counts, windows, skipped, tallies = counted
    ids, row_files = row_names(names, file_index, ids, per_file, total)
    kmers = KmerLabels(k, canonical=strands == "canonical")
    return KmerTable(ids, row_files, k, strands, kmers, counts, windows, skipped), tallies


def _readable_again(paths: list[bytes]) -> bool:
    """Whether every input is a regular file, which a second count can read from its start."""
    try:
        return all(stat.S_ISREG(os.stat(path).st_mode) for path in paths)
    except OSError:
        return False


def _record_rows_guess(paths: list[bytes]) -> int:
    """Rows of a per-record table as layout="auto" guesses them: one per 64 KiB of input, at
    least one per file."""
    return max(len(paths), input_bytes(paths) >> 16)


# help() and IDEs show count_kmers with count_and_tally's keywords and defaults, its own.
count_kmers.__signature__ = inspect.signature(count_and_tally).replace(  # type: ignore[attr-defined]
    parameters=[
        parameter
        for parameter in inspect.signature(count_and_tally).parameters.values()
        if parameter.name != "tally"
    ],
    return_annotation="KmerTable | SparseKmerTable",
)

__all__ = ["count_and_tally", "count_kmers"]
