"""K-mer tables as files: TSV (plain or gzip), CSV, NumPy .npz and Parquet, written and read back.

Every format carries the same columns: ``file``, ``id``, ``windows``, ``skipped``, for a table
counted in windows along records ``start`` and ``end``, then one per k-mer (counts, or
frequencies); Parquet holds the values of a table wider than PARQUET_COLUMNS in
one column of fixed-size lists instead. The binary formats also keep k and the strands counted;
the text formats keep what a spreadsheet reads, and k follows from the column labels. See
docs/formats.md.
"""

from __future__ import annotations

import collections
import csv
import gzip
import io
import itertools
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, Literal, get_args

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
import velko_tools.output as output
from velko_tools._args import Strands, usable_cores
from velko_tools.errors import TableFormatError, UsageError, VelkoError
from velko_tools.kmer_labels import KmerLabels
from velko_tools.rows import KmerRows, row_frequencies

if TYPE_CHECKING:
    from concurrent.futures import Future


Format = Literal["tsv", "tsv.gz", "csv", "npz", "parquet"]
# Longest first, so that .tsv.gz is not taken for .tsv.
SUFFIXES: tuple[tuple[str, Format], ...] = (
    (".tsv.gz", "tsv.gz"),
    (".tsv", "tsv"),
    (".csv", "csv"),
    (".npz", "npz"),
    (".parquet", "parquet"),
)
HEAD = ("file", "id", "windows", "skipped")
# The columns after HEAD of a table counted in windows along records: each row's place.
PLACES = ("start", "end")
# gzip level 1, the fastest: ISA-L's level 0 where the build has ISA-L, zlib's 1 otherwise
# (see velko_tools._core.gzip_member for how 1 to 9 map onto ISA-L's four levels).
DEFAULT_COMPRESS_LEVEL = 1
# The text of one chunk of rows: large enough that the per-chunk work does not show, small
# enough that writing adds little to the table's own memory.
CHUNK_BYTES = 8 << 20
# A table of at most this many k-mer columns (k <= 6) is written to Parquet with one column per
# k-mer, as data frames show it; a wider one keeps its values in one column of fixed-size lists,
# as Parquet readers fail on files of hundreds of thousands of columns.
PARQUET_COLUMNS = 4**6
# A uint64 in decimal, or a float as repr() writes it, with its tab.
_CELL_BYTES = 24


class UnwritableFieldError(VelkoError, ValueError):
    """A file name or id that the chosen text format cannot hold in one field."""


def output_format(path: str | None, format: str | None = None) -> Format:
    """The format `format` names, or else the one `path`'s suffix names (TSV for standard
    output); UsageError when neither names one we write, VelkoError for Parquet without
    pyarrow."""
    kind: Format | None = None
    if format is not None:
        if format not in get_args(Format):
            raise UsageError(
                f"unknown format {format!r}: give one of " + ", ".join(get_args(Format))
            )
        kind = format  # type: ignore[assignment]
    elif path is None or path == "-":
        kind = "tsv"
    else:
        kind = next((name for suffix, name in SUFFIXES if path.endswith(suffix)), None)
    if kind is None:
        raise UsageError(
            f"cannot tell the output format of {path!r}: name it .tsv, "
            ".tsv.gz, .csv, .npz or .parquet, or give --format"
        )
    if kind == "parquet":
        _need_pyarrow()
    return kind


def _need_pyarrow() -> None:
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise VelkoError("writing Parquet needs pyarrow (pip install pyarrow)") from None


def _tsv_field(text: str, what: str) -> str:
    if "\t" in text or "\n" in text or "\r" in text:
        raise UnwritableFieldError(
            f"cannot write the {what} {text!r} to a TSV: it holds a tab or a line break "
            "(write .csv, .npz or .parquet instead)"
        )
    return text


# A field holding any of these is quoted: a separator or quote, a line end that CSV readers and
# pandas end a row at (csv.writer before 3.13 leaves a lone CR bare), or one that
# str.splitlines ends a line at.
_CSV_QUOTED = re.compile('[",\r\n\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029]')


def _csv_field(text: str, what: str) -> str:
    if "\0" in text:
        # Python's csv reader before 3.11 refuses a line holding NUL, quoted or not.
        raise UnwritableFieldError(
            f"cannot write the {what} {text!r} to a CSV: it holds a NUL "
            "(write .npz or .parquet instead)"
        )
    if _CSV_QUOTED.search(text):
        return '"' + text.replace('"', '""') + '"'
    return text


def _csv_line(fields: list[str]) -> str:
    return ",".join([_csv_field(fields[0], "file name"), _csv_field(fields[1], "id"), *fields[2:]])


def head_places(table: KmerRows) -> tuple[str, ...]:
    """The place columns of `table`: PLACES for a table counted in windows, else none."""
    return PLACES if table.starts is not None else ()


# Labels of a header made at a time: a few MB of text.
LABELS_PIECE = 1 << 18


def _label_pieces(kmers: Sequence[str], sep: str) -> Iterator[bytes]:
    """The column labels joined by `sep`, in pieces; those of every k-mer (or every canonical
    one) made natively: a header of k = 12 has 16.7 M of them, 218 MB."""
    if not isinstance(kmers, KmerLabels) or len(kmers) < LABELS_PIECE:
        yield sep.join(kmers).encode()
        return
    k = kmers.k
    every = _core.canonical_kmers(k) if kmers.canonical else None
    for start in range(0, len(kmers), LABELS_PIECE):
        stop = min(len(kmers), start + LABELS_PIECE)
        codes = every[start:stop] if every is not None else np.arange(start, stop, dtype=np.uint64)
        cells = np.empty((stop - start, k + 1), dtype=np.uint8)
        cells[:, :k] = np.frombuffer(_core.kmer_letters(k, codes), np.uint8).reshape(-1, k)
        cells[:, k] = ord(sep)
        yield cells.tobytes()[: None if stop < len(kmers) else -1]


def text_chunks(
    table: KmerRows, frequencies: bool = False, sep: Literal["\t", ","] = "\t"
) -> Iterator[tuple[int, bytes]]:
    """The table as TSV (or CSV with ``sep=","``) in chunks of whole rows: the header, then
    (rows done, text) pairs. Only one chunk's text and, for frequencies, one chunk's floats
    are held at a time."""
    counts = np.ascontiguousarray(table.counts)
    rows, columns = counts.shape
    head = [*HEAD, *head_places(table)]
    if sep == "\t":
        for name in dict.fromkeys(table.files):
            _tsv_field(name, "file name")
        for row_id in table.ids:
            _tsv_field(row_id, "id")
    # The header in pieces, so that one of 16.7 M labels is never held whole.
    yield 0, (sep.join(head) + (sep if len(table.kmers) else "")).encode()
    yield from ((0, piece) for piece in _label_pieces(table.kmers, sep))
    yield 0, b"\n"
    windows = table.windows.tolist()
    skipped = table.skipped.tolist()
    if table.starts is not None and table.ends is not None:
        places = [f"{sep}{a}{sep}{b}" for a, b in zip(table.starts.tolist(), table.ends.tolist())]
    else:
        places = [""] * rows
    step = max(1, CHUNK_BYTES // (max(columns, 1) * _CELL_BYTES))
    for start in range(0, rows, step):
        stop = min(rows, start + step)
        chunk: npt.NDArray[np.uint64] | npt.NDArray[np.float64] = counts[start:stop]
        if frequencies:
            chunk = row_frequencies(counts[start:stop], table.windows[start:stop])
        if sep == "\t":
            prefixes = [
                f"{table.files[i]}\t{table.ids[i]}\t{windows[i]}\t{skipped[i]}{places[i]}"
                for i in range(start, stop)
            ]
            yield stop, _core.format_rows(prefixes, chunk, 0)
        else:
            # The values carry no comma or quote: their tabs become commas, and the quoted
            # names go in front of each line.
            text = _core.format_rows([""] * (stop - start), chunk, 0).replace(b"\t", b",")
            lines = text.split(b"\n")
            yield (
                stop,
                b"".join(
                    (
                        _csv_line([table.files[i], table.ids[i], str(windows[i]), str(skipped[i])])
                        + places[i]
                    ).encode()
                    + line
                    + b"\n"
                    for i, line in zip(range(start, stop), lines)
                ),
            )


def write_tsv(table: KmerRows, out: IO[str] | IO[bytes], frequencies: bool = False) -> None:
    """The table as TSV to an open file, text or binary (see text_chunks)."""
    binary = getattr(out, "buffer", None)
    if binary is not None:
        out.flush()
        _write_chunks(text_chunks(table, frequencies), binary, None)
    else:
        _write_chunks(text_chunks(table, frequencies), out, None)  # type: ignore[arg-type]


def _write_chunks(
    chunks: Iterator[tuple[int, bytes]], out: IO[bytes], advance: Callable[[int], object] | None
) -> None:
    for done, text in chunks:
        out.write(text)
        if advance is not None:
            advance(done)


def _write_gzip(
    chunks: Iterator[tuple[int, bytes]],
    out: IO[bytes],
    level: int,
    advance: Callable[[int], object] | None,
) -> None:
    """Each chunk as a gzip member of its own, compressed natively on a few threads (without the
    interpreter lock) and written in order: gzip readers take the members as one stream. At
    most twice the threads' chunks are held at a time."""
    from concurrent.futures import ThreadPoolExecutor

    threads = min(4, usable_cores())
    pending: collections.deque[tuple[int, Future[bytes]]] = collections.deque()
    with ThreadPoolExecutor(threads, thread_name_prefix="velko-gzip") as pool:
        try:
            for done, text in chunks:
                pending.append((done, pool.submit(_core.gzip_member, text, level)))
                while len(pending) > 2 * threads or (pending and pending[0][1].done()):
                    _write_member(pending.popleft(), out, advance)
            while pending:
                _write_member(pending.popleft(), out, advance)
        finally:
            for _, waiting in pending:
                waiting.cancel()


def _write_member(
    member: tuple[int, Future[bytes]], out: IO[bytes], advance: Callable[[int], object] | None
) -> None:
    done, packed = member
    out.write(packed.result())
    if advance is not None:
        advance(done)


def write_table(
    table: KmerRows,
    path: str | None,
    *,
    frequencies: bool = False,
    format: str | None = None,
    compress_level: int = DEFAULT_COMPRESS_LEVEL,
    progress: bool = False,
) -> None:
    """Writes `table` to `path` in `format`, or the format its suffix names; ``None`` or ``"-"``
    writes to standard output (TSV unless `format` says otherwise). A file is replaced whole or
    not at all (see velko_tools.output), and its directory is made when missing.

    With `frequencies` the k-mer columns hold each count divided by the row's windows, and
    ``windows`` stays, so that the counts can be recovered. `compress_level` (1 to 9) is gzip's
    for .tsv.gz. `progress` draws a bar over the rows written on standard error."""
    kind = output_format(path, format)
    if not 1 <= compress_level <= 9:
        raise ValueError(f"compress_level must be from 1 to 9, not {compress_level}")
    advance, close = _row_bar(progress, len(table))
    try:
        if path is None or path == "-":
            sys.stdout.flush()
            _write_as(kind, table, sys.stdout.buffer, frequencies, compress_level, advance)
            sys.stdout.buffer.flush()
            return
        directory = os.path.dirname(path)
        if directory:
            os.makedirs(directory, exist_ok=True)
        with output.replacing(path) as written, output.open_written(written) as out:
            _write_as(kind, table, out, frequencies, compress_level, advance)
    finally:
        close()


def _row_bar(
    progress: bool, rows: int
) -> tuple[Callable[[int], object] | None, Callable[[], None]]:
    if not progress:
        return None, lambda: None
    from tqdm import tqdm

    bar = tqdm(total=rows, unit=" rows", file=sys.stderr, desc="writing", leave=False)

    def advance(done: int) -> None:
        bar.update(done - bar.n)

    return advance, bar.close


def _write_as(
    kind: Format,
    table: KmerRows,
    out: IO[bytes],
    frequencies: bool,
    compress_level: int,
    advance: Callable[[int], object] | None,
) -> None:
    if kind in ("tsv", "csv"):
        _write_chunks(text_chunks(table, frequencies, "\t" if kind == "tsv" else ","), out, advance)
    elif kind == "tsv.gz":
        _write_gzip(text_chunks(table, frequencies), out, compress_level, advance)
    elif kind == "npz":
        values = row_frequencies(table.counts, table.windows) if frequencies else table.counts
        # zipfile seeks back over what it wrote; a pipe cannot, so it gets the bytes whole.
        target: IO[bytes] = out if out.seekable() else io.BytesIO()
        arrays: dict[str, npt.NDArray[np.generic]] = {
            **npz_texts("files", table.files),
            **npz_texts("ids", table.ids),
            "frequencies" if frequencies else "counts": values,
            "windows": table.windows,
            "skipped": table.skipped,
            **places_arrays(table.starts, table.ends),
            "k": np.array(table.k),
            "strands": np.array(table.strands),
        }
        if not isinstance(table.kmers, KmerLabels):
            # Labels that k and the strands tell need not be stored (16 M of them at k = 12).
            arrays["kmers"] = np.array(table.kmers, dtype=str)
        np.savez(target, **arrays)  # type: ignore[arg-type]
        if target is not out:
            out.write(target.getvalue())  # type: ignore[attr-defined]
    elif table.counts.shape[1] > PARQUET_COLUMNS:
        _write_parquet_lists(table, out, frequencies, advance)
        return
    else:
        import pyarrow
        import pyarrow.parquet

        columns = [
            pyarrow.array(table.files, type=pyarrow.string()),
            pyarrow.array(table.ids, type=pyarrow.string()),
            pyarrow.array(table.windows),
            pyarrow.array(table.skipped),
        ]
        if table.starts is not None and table.ends is not None:
            columns += [pyarrow.array(table.starts), pyarrow.array(table.ends)]
        step = max(1, CHUNK_BYTES // max(len(table), 1) // 8)
        for first in range(0, table.counts.shape[1], step):
            block: npt.NDArray[np.generic] = table.counts[:, first : first + step]
            if frequencies:
                block = row_frequencies(table.counts[:, first : first + step], table.windows)
            columns += [pyarrow.array(block[:, j]) for j in range(block.shape[1])]
        arrow = pyarrow.Table.from_arrays(columns, names=[*HEAD, *head_places(table), *table.kmers])
        arrow = arrow.replace_schema_metadata(_parquet_facts(table, frequencies))
        pyarrow.parquet.write_table(arrow, out)
    if advance is not None:
        advance(len(table))


def _parquet_facts(table: KmerRows, frequencies: bool) -> dict[str, str]:
    return {
        "velko.k": str(table.k),
        "velko.strands": table.strands,
        "velko.values": "frequencies" if frequencies else "counts",
    }


def _write_parquet_lists(
    table: KmerRows, out: IO[bytes], frequencies: bool, advance: Callable[[int], object] | None
) -> None:
    """A wide table as Parquet: its values in one column of fixed-size lists (a row's counts or
    frequencies in column order), written in row groups of about CHUNK_BYTES * 8."""
    import pyarrow
    import pyarrow.parquet

    rows, width = table.counts.shape
    value = pyarrow.float64() if frequencies else pyarrow.uint64()
    name = "frequencies" if frequencies else "counts"
    schema = pyarrow.schema(
        [
            ("file", pyarrow.string()),
            ("id", pyarrow.string()),
            ("windows", pyarrow.uint64()),
            ("skipped", pyarrow.uint64()),
            *[(place, pyarrow.uint64()) for place in head_places(table)],
            (name, pyarrow.list_(value, width)),
        ],
        metadata=_parquet_facts(table, frequencies),
    )
    group = max(1, CHUNK_BYTES * 8 // (width * 8))
    with pyarrow.parquet.ParquetWriter(out, schema) as writer:
        for start in range(0, rows, group):
            stop = min(rows, start + group)
            block: npt.NDArray[np.generic] = table.counts[start:stop]
            if frequencies:
                block = row_frequencies(table.counts[start:stop], table.windows[start:stop])
            values = pyarrow.array(np.ascontiguousarray(block).reshape(-1), type=value)
            writer.write_batch(
                pyarrow.record_batch(
                    [
                        pyarrow.array(table.files[start:stop], type=pyarrow.string()),
                        pyarrow.array(table.ids[start:stop], type=pyarrow.string()),
                        pyarrow.array(table.windows[start:stop]),
                        pyarrow.array(table.skipped[start:stop]),
                        *[
                            pyarrow.array(places[start:stop])
                            for places in (table.starts, table.ends)
                            if places is not None
                        ],
                        pyarrow.FixedSizeListArray.from_arrays(values, width),
                    ],
                    schema=schema,
                ),
                row_group_size=group,
            )
            if advance is not None:
                advance(stop)


def _read_parquet_lists(
    parquet: Any, name: str, width: int, dtype: type[np.generic]
) -> npt.NDArray[np.generic]:
    """The values of a table _write_parquet_lists wrote, row group by row group into one
    array."""
    values = np.empty((parquet.metadata.num_rows, width), dtype=dtype)
    done = 0
    for batch in parquet.iter_batches(columns=[name]):
        block = batch.column(0).flatten().to_numpy().reshape(-1, width)
        values[done : done + len(block)] = block
        done += len(block)
    return values


def places_arrays(
    starts: npt.NDArray[np.uint64] | None, ends: npt.NDArray[np.uint64] | None
) -> dict[str, npt.NDArray[np.generic]]:
    """The starts and ends of a table counted in windows, as arrays of an .npz (none else)."""
    if starts is None or ends is None:
        return {}
    return {"starts": starts, "ends": ends}


def npz_texts(name: str, texts: Sequence[str]) -> dict[str, npt.NDArray[np.generic]]:
    """`texts` as arrays of an .npz: a str array (which drops each text's trailing NULs when
    read) under `name`, and the texts' lengths, which bring them back, under name_lengths."""
    return {
        name: np.array(texts, dtype=str),
        f"{name}_lengths": np.array([len(text) for text in texts], dtype=np.int64),
    }


def npz_read_texts(arrays: Any, name: str) -> list[str]:
    """The texts npz_texts stored under `name` (from a file without the lengths, as stored)."""
    texts: list[str] = [str(text) for text in arrays[name].tolist()]
    if f"{name}_lengths" in arrays:
        texts = [
            text.ljust(length, "\0")
            for text, length in zip(texts, arrays[f"{name}_lengths"].tolist())
        ]
    return texts


def npz_fields(arrays: Any, names: Sequence[str], optional: Sequence[str] = ()) -> dict[str, Any]:
    """The constructor's arguments of a row table whose write() stored each field under its
    name: ``ids`` and ``files`` as npz_texts, a number or a text as a 0-d array, the rest as
    arrays; the `optional` ones missing are None, any other missing a KeyError."""
    fields: dict[str, Any] = {}
    for name in names:
        if name in ("ids", "files"):
            fields[name] = npz_read_texts(arrays, name)
        elif name in optional and name not in arrays:
            fields[name] = None
        else:
            value = arrays[name]
            fields[name] = value.item() if value.ndim == 0 else value
    return fields


def read_table(
    path: str | os.PathLike[str], *, format: str | None = None, strands: Strands | None = None
) -> dict[str, Any]:
    """The fields of the table in a file `velko kmers` (or write_table) wrote, as KmerTable
    takes them; see KmerTable.read."""
    name = os.fspath(path)
    kind = output_format(name, format) if format is not None else _input_format(name)
    if kind == "npz":
        with np.load(name) as arrays:
            frequencies = "frequencies" in arrays
            values = arrays["frequencies" if frequencies else "counts"]
            files, ids = npz_read_texts(arrays, "files"), npz_read_texts(arrays, "ids")
            windows = arrays["windows"].astype(np.uint64)
            skipped = arrays["skipped"].astype(np.uint64)
            k, stored = int(arrays["k"]), str(arrays["strands"])
            places = (
                (arrays["starts"].astype(np.uint64), arrays["ends"].astype(np.uint64))
                if "starts" in arrays
                else None
            )
            kmers = (
                arrays["kmers"].tolist()
                if "kmers" in arrays
                else KmerLabels(k, canonical=stored == "canonical")
            )
    elif kind == "parquet":
        import pyarrow
        import pyarrow.parquet

        with pyarrow.parquet.ParquetFile(name) as parquet:
            schema = parquet.schema_arrow
            meta = {key.decode(): value.decode() for key, value in (schema.metadata or {}).items()}
            names = schema.names
            if names[:4] != list(HEAD):
                raise VelkoError(
                    f"{name}: not a k-mer table (its columns do not begin with {', '.join(HEAD)})"
                )
            frequencies = meta.get("velko.values") == "frequencies"
            dtype = np.float64 if frequencies else np.uint64
            arrow = parquet.read(columns=list(HEAD))
            files = arrow.column("file").to_pylist()
            ids = arrow.column("id").to_pylist()
            windows = arrow.column("windows").to_numpy().astype(np.uint64)
            skipped = arrow.column("skipped").to_numpy().astype(np.uint64)
            stored = meta.get("velko.strands", "")
            first = len(HEAD)
            places = None
            if tuple(names[first : first + len(PLACES)]) == PLACES:
                arrow = parquet.read(columns=list(PLACES))
                places = tuple(arrow.column(place).to_numpy().astype(np.uint64) for place in PLACES)
                first += len(PLACES)
            if len(names) == first + 1 and pyarrow.types.is_fixed_size_list(
                schema.field(first).type
            ):
                k = int(meta["velko.k"])
                kmers = KmerLabels(k, canonical=stored == "canonical")
                width = schema.field(first).type.list_size
                if width != len(kmers):
                    raise VelkoError(
                        f"{name}: a list of {width} values for the {len(kmers)} k-mers of k = {k}"
                    )
                values = _read_parquet_lists(parquet, names[first], width, dtype)
            else:
                kmers = names[first:]
                arrow = parquet.read(columns=kmers)
                values = np.empty((len(ids), len(kmers)), dtype=dtype)
                for j in range(len(kmers)):
                    values[:, j] = arrow.column(j).to_numpy()
                k = int(meta.get("velko.k", len(kmers[0]) if kmers else 0))
    else:
        files, ids, kmers, values, windows, skipped, frequencies, places = _read_text(name, kind)
        k = len(kmers[0]) if kmers else 0
        stored = ""
    if frequencies:
        values = np.rint(values * windows.astype(np.float64)[:, None]).astype(np.uint64)
    chosen: Strands = strands or stored or _strands_of(kmers)  # type: ignore[assignment]
    return {
        "files": files,
        "ids": ids,
        "k": k,
        "strands": chosen,
        "kmers": kmers,
        "counts": np.ascontiguousarray(values, dtype=np.uint64),
        "windows": windows,
        "skipped": skipped,
        "starts": None if places is None else places[0],
        "ends": None if places is None else places[1],
    }


def _input_format(name: str) -> Format:
    for suffix, kind in SUFFIXES:
        if name.endswith(suffix):
            return kind
    raise ValueError(
        f"cannot tell the format of {name!r}: name it .tsv, .tsv.gz, .csv, .npz "
        "or .parquet, or give format"
    )


class _Lines:
    """The lines of a text file, counted, remembering whether the last one had its line end."""

    def __init__(self, text: IO[str]) -> None:
        self.text = text
        self.number = 0
        self.ended = True

    def __iter__(self) -> _Lines:
        return self

    def __next__(self) -> str:
        line = next(self.text)
        self.number += 1
        self.ended = line.endswith(("\n", "\r"))
        return line


def _read_text(
    name: str, kind: Format
) -> tuple[
    list[str],
    list[str],
    Sequence[str],
    npt.NDArray[np.generic],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    bool,
    tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]] | None,
]:
    opened = (
        gzip.open(name, "rt", encoding="utf-8", newline="")
        if kind == "tsv.gz"
        else open(name, encoding="utf-8", newline="")
    )
    with opened as text:
        source = _Lines(text)
        sep = "," if kind == "csv" else "\t"
        first = next(source, None)
        # The header's k-mers stay one string until known to be more than every k-mer, or the
        # canonical ones, in order (_header_kmers); the cells of a row after its names stay one
        # string, parsed whole (_row_cells). A quote in a CSV header is read as CSV.
        header = (
            None
            if first is None
            else next(csv.reader([first]))
            if kind == "csv" and '"' in first
            else first.rstrip("\r\n").split(sep, len(HEAD))
        )
        if header is None or header[:4] != list(HEAD):
            raise VelkoError(
                f"{name}: not a k-mer table (its header does not begin with {', '.join(HEAD)})"
            )
        # A table counted in windows places each row by two more columns after skipped.
        rest = header[4:]
        start_end = sep.join(PLACES)
        if len(rest) == 1:  # the rest of the line, one string
            windowed = rest[0] == start_end or rest[0].startswith(start_end + sep)
            if windowed:
                rest = [rest[0][len(start_end) + 1 :]] if rest[0] != start_end else []
        else:
            windowed = tuple(rest[: len(PLACES)]) == PLACES
            if windowed:
                rest = rest[len(PLACES) :]
        names = len(HEAD) + (len(PLACES) if windowed else 0)
        lines = _csv_rows(source, names) if kind == "csv" else _tsv_rows(source, names)
        kmers = _header_kmers(rest, sep)
        width = names + len(kmers)
        first = header = None  # the line and its split, 218 MB each at k = 12
        del rest
        # Checked by calls that loop in C: a header of k = 12 has 16.7 M columns.
        if not source.ended or (
            not isinstance(kmers, KmerLabels)
            and (
                len(set(map(len, kmers))) > 1
                or "".join(kmers).encode("ascii", errors="replace").translate(None, b"ACGT")
            )
        ):
            raise TableFormatError(
                name, source.number, "the header is cut short or holds a column that is not a k-mer"
            )
        files: list[str] = []
        ids: list[str] = []
        numbers: list[int] = []
        rows: list[npt.NDArray[np.generic]] = []
        frequencies = False
        for fields in lines:
            if not source.ended:
                raise TableFormatError(
                    name, source.number, "the last row is cut short (it has no line end)"
                )
            cells: Sequence[str] | str = fields[names:]
            given = len(fields)
            if isinstance(fields, tuple) and len(fields) > names:
                cells = fields[names]
                given = names + cells.count(sep) + 1
            if given != width:
                raise TableFormatError(
                    name, source.number, f"the row has {given} fields, not {width}"
                )
            if not rows:
                joined = cells if isinstance(cells, str) else "".join(cells)
                frequencies = "." in joined or "e" in joined
            try:
                numbers += [int(field) for field in fields[2:names]]
                rows.append(_row_cells(cells, frequencies, sep))
            except (ValueError, OverflowError):
                raise TableFormatError(
                    name, source.number, "a cell of windows, skipped or a count is not a number"
                ) from None
            files.append(fields[0])
            ids.append(fields[1])
    dtype = np.float64 if frequencies else np.uint64
    values = np.array(rows, dtype=dtype).reshape(len(rows), len(kmers))
    pairs = np.array(numbers, dtype=np.uint64).reshape(-1, names - 2)
    places = (pairs[:, 2].copy(), pairs[:, 3].copy()) if windowed else None
    return files, ids, kmers, values, pairs[:, 0].copy(), pairs[:, 1].copy(), frequencies, places


def _header_kmers(fields: list[str], sep: str) -> Sequence[str]:
    """The k-mers of a header: KmerLabels when `fields` (after the four names, the rest of the
    line as one string unless read as CSV) are every k-mer, or every canonical one, in order;
    else each label."""
    if len(fields) == 1 and sep in fields[0]:
        rest = fields[0]
        k = rest.index(sep)
        for canonical in (False, True):
            if not 1 <= k <= 13:
                break
            labels = KmerLabels(k, canonical=canonical)
            if len(rest) == len(labels) * (k + 1) - 1 and _holds(rest, _label_pieces(labels, sep)):
                return labels
        return rest.split(sep)
    return fields


def _holds(text: str, pieces: Iterator[bytes]) -> bool:
    """Whether `text` is the bytes of `pieces` one after another (and no more than fill them)."""
    at = 0
    for piece in pieces:
        if text[at : at + len(piece)].encode("ascii", errors="replace") != piece:
            return False
        at += len(piece)
    return True


def _tsv_rows(source: Iterator[str], names: int) -> Iterator[tuple[str, ...]]:
    """The fields of each line, the cells after its `names` leading fields kept as one string."""
    for line in source:
        yield tuple(line.rstrip("\r\n").split("\t", names))


def _csv_rows(source: Iterator[str], names: int) -> Iterator[list[str] | tuple[str, ...]]:
    """The fields of each CSV record: a line without quotes as _tsv_rows splits it (its names
    hold no comma), one with quotes (a name with a comma or a line end) by the csv module, which
    takes as many lines as the record spans."""
    for line in source:
        if '"' in line:
            yield next(csv.reader(itertools.chain([line], source)))
        else:
            yield tuple(line.rstrip("\r\n").split(",", names))


def _row_cells(cells: Sequence[str] | str, frequencies: bool, sep: str) -> npt.NDArray[np.generic]:
    """The values of a row: `cells` as a list, or as one string of cells separated by `sep`.
    Counts of nothing but digits are parsed by NumPy in one call, 20 times faster than one
    string each; ValueError or OverflowError names none of them."""
    if isinstance(cells, str):
        if (
            not frequencies
            and cells.isascii()
            and not cells.encode().translate(None, b"0123456789" + sep.encode())
        ):
            with warnings.catch_warnings():
                # NumPy warns, and stops, where a cell is empty between two separators.
                warnings.simplefilter("error", DeprecationWarning)
                try:
                    values = np.fromstring(cells, dtype=np.uint64, sep=sep)
                except DeprecationWarning:
                    raise ValueError("an empty cell") from None
            # A separator matches it with any whitespace around: an empty cell gives one value
            # less, and only digits and separators come here.
            if len(values) != cells.count(sep) + 1:
                raise ValueError("an empty cell")
            # NumPy saturates a number past 2^64 - 1; the row is read cell by cell to tell.
            if not (values == np.iinfo(np.uint64).max).any():
                return values
        cells = cells.split(sep)
    return np.array(cells, dtype=np.float64 if frequencies else np.uint64)


def _strands_of(kmers: Sequence[str]) -> str:
    """Canonical when the columns are exactly the canonical k-mers; otherwise forward (a text
    file does not tell forward from both strands)."""
    if isinstance(kmers, KmerLabels):
        return "canonical" if kmers.canonical else "forward"
    if not kmers or len(kmers) >= 4 ** len(kmers[0]):
        return "forward"
    k = len(kmers[0])
    # Whole columns at a time, as rows of k bytes compared as strings: 8 M columns at k = 12.
    flat = np.frombuffer("".join(kmers).encode("ascii", errors="replace"), np.uint8)
    if len(flat) != k * len(kmers):
        return "forward"
    letters = flat.reshape(len(kmers), k)
    reverse = np.ascontiguousarray(_COMPLEMENT[letters][:, ::-1])
    kind = f"S{k}"
    return "canonical" if bool((letters.view(kind) <= reverse.view(kind)).all()) else "forward"


_COMPLEMENT = np.arange(256, dtype=np.uint8)
_COMPLEMENT[np.frombuffer(b"ACGT", np.uint8)] = np.frombuffer(b"TGCA", np.uint8)
