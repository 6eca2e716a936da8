"""Sparse k-mer counts up to k = 32: the SparseKmerTable that count_kmers(layout="sparse") gives."""

from __future__ import annotations

import dataclasses
import itertools
import operator
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import Strands
from velko_tools.errors import TableFormatError
from velko_tools.kmers import KmerTable
from velko_tools.layout import MAX_DENSE_K
from velko_tools.rows import _RowTable
from velko_tools.tables import npz_fields, npz_texts, places_arrays

if TYPE_CHECKING:
    import pandas
    import scipy.sparse

# Lines of a text dump formatted at once: a few MB of text, so that writing a row of hundreds of
# millions of k-mers holds little more than the table.
DUMP_LINES = 1 << 17

# Bytes of a dump read at a time.
DUMP_READ_BYTES = 8 << 20

_LETTERS = np.frombuffer(b"ACGT", dtype=np.uint8)
# k-mers of a row group of a sparse Parquet file: about 100 MB of codes and counts at a time.
PARQUET_GROUP = 1 << 23
# The 2-bit code of each byte that is a base, 255 for the others.
_CODES = np.full(256, 255, dtype=np.uint8)
_CODES[_LETTERS] = np.arange(4, dtype=np.uint8)


def _dump_lines(
    name: str, data: bytes, first_line: int, k: int | None
) -> tuple[int, npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    """The codes and counts of whole ``KMER<TAB>COUNT`` lines (`data` ends with a line feed but
    for the file's last line), line `first_line` first; k from the first line when None."""
    if not data.endswith(b"\n"):
        data += b"\n"
    text = np.frombuffer(data, dtype=np.uint8)
    ends = np.flatnonzero(text == ord("\n"))
    starts = np.concatenate((np.zeros(1, dtype=np.intp), ends[:-1] + 1))

    def fail(at: npt.NDArray[np.bool_], reason: str) -> None:
        bad = np.flatnonzero(at)
        if len(bad):
            raise TableFormatError(name, first_line + int(bad[0]), reason)

    if k is None:
        k = data.find(b"\t")
        fail(
            np.array([not 1 <= k <= 32 or k >= int(ends[0])]),
            "not a KMER<TAB>COUNT line of a k-mer of 1 to 32 letters",
        )
    fail(ends - starts < k + 2, f"not a KMER<TAB>COUNT line of a {k}-mer")
    fail(text[starts + k] != ord("\t"), f"the k-mer is not {k} letters followed by a tab")
    # Typed as any 1-D array: NumPy releases differ in the shape types they give these.
    codes: npt.NDArray[np.uint64] = np.zeros(len(starts), dtype=np.uint64)
    for j in range(k):
        digits = _CODES[text[starts + j]]
        fail(digits > 3, "the k-mer holds a letter other than A, C, G, T")
        codes = (codes << np.uint64(2)) | digits.astype(np.uint64)
    counts: npt.NDArray[np.uint64] = np.zeros(len(starts), dtype=np.uint64)
    first = starts + k + 1
    fail(ends - first > 20, "the count is not a number below 2**64")
    for j in range(int((ends - first).max(initial=0))):
        held = first + j < ends
        number = text[np.minimum(first + j, len(text) - 1)].astype(np.int64) - ord("0")
        fail(held & ((number < 0) | (number > 9)), "the count is not a number")
        counts = np.where(
            held, counts * np.uint64(10) + number.clip(0, 9).astype(np.uint64), counts
        )
    return k, codes, counts


def kmer_text(k: int, codes: npt.ArrayLike) -> npt.NDArray[np.bytes_]:
    """The letters of each 2-bit code (first letter most significant) as ``S{k}`` bytes."""
    values = np.ascontiguousarray(codes, dtype=np.uint64).reshape(-1)
    return np.frombuffer(_core.kmer_letters(k, values), dtype=f"S{k}")


def reverse_complement_codes(k: int, codes: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    """The code of each code's reverse complement."""
    out = np.zeros_like(codes)
    rest = codes.copy()
    for _ in range(k):
        out = (out << np.uint64(2)) | (np.uint64(3) - (rest & np.uint64(3)))
        rest >>= np.uint64(2)
    return out


class KmerSpectrum:
    """How many distinct k-mers occur n times, for n from 0 to the largest count: a read-only
    sequence (``spectrum[n]``, ``len``, iteration, ``tolist()``, ``np.asarray(spectrum)``) that
    holds only the counts that occur (``values``, ascending) and how many k-mers occur that
    often (``kmers``). A k-mer seen 50 million times makes it 50 million long but two numbers in
    memory; the full array is built only when asked for (``np.asarray``, ``tolist``)."""

    __slots__ = ("kmers", "values")

    def __init__(self, values: npt.NDArray[np.uint64], kmers: npt.NDArray[np.uint64]) -> None:
        self.values = values
        self.kmers = kmers

    def __len__(self) -> int:
        return int(self.values[-1]) + 1 if len(self.values) else 1

    @overload
    def __getitem__(self, index: int) -> int: ...
    @overload
    def __getitem__(self, index: slice) -> npt.NDArray[np.uint64]: ...
    def __getitem__(self, index: int | slice) -> int | npt.NDArray[np.uint64]:
        if isinstance(index, slice):
            wanted = np.arange(*index.indices(len(self)), dtype=np.uint64)
            return self._at(wanted)
        position = operator.index(index)
        if position < 0:
            position += len(self)
        if not 0 <= position < len(self):
            raise IndexError(f"count {index} out of range for a spectrum of {len(self)}")
        return int(self._at(np.array([position], dtype=np.uint64))[0])

    def _at(self, counts: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
        """How many k-mers occur each of `counts` times."""
        if len(self.values) == 0:
            return np.zeros(len(counts), dtype=np.uint64)
        at = np.minimum(np.searchsorted(self.values, counts), len(self.values) - 1)
        found: npt.NDArray[np.uint64] = np.where(
            self.values[at] == counts, self.kmers[at], np.uint64(0)
        ).astype(np.uint64)
        return found

    def __iter__(self) -> Iterator[int]:
        previous = -1
        for value, number in zip(self.values.tolist(), self.kmers.tolist()):
            yield from itertools.repeat(0, value - previous - 1)
            yield number
            previous = value
        if previous < 0:
            yield 0

    def __array__(self, dtype: Any = None, copy: Any = None) -> npt.NDArray[Any]:
        dense = np.zeros(len(self), dtype=np.uint64)
        dense[self.values.astype(np.intp)] = self.kmers
        return dense if dtype is None else dense.astype(dtype)

    def tolist(self) -> list[int]:
        """The whole spectrum as a list, element n for count n."""
        return list(self)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, KmerSpectrum):
            return np.array_equal(self.values, other.values) and np.array_equal(
                self.kmers, other.kmers
            )
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(f"{v}: {n}" for v, n in zip(self.values[:8], self.kmers[:8]))
        more = ", ..." if len(self.values) > 8 else ""
        return f"KmerSpectrum({{{shown}{more}}})"


@dataclasses.dataclass(eq=False, repr=False, slots=True)
class SparseKmerTable(_RowTable):
    """k-mer counts of FASTA records (or files), one row each, holding only the k-mers seen.

    ``ids``, ``files``, ``k``, ``strands``, ``windows`` and ``skipped`` are as in KmerTable. The
    counts are in compressed-row form: row ``r`` holds ``codes[indptr[r]:indptr[r + 1]]``, the
    2-bit codes of its k-mers (A 0, C 1, G 2, T 3, first letter most significant: the base-4
    order of the dense columns), ascending, and their ``counts`` at the same places
    (``uint32``, or ``uint64`` in a row of 2^32 k-mers or more). k-mers seen fewer than
    ``min_count`` times in their row are left out; ``windows`` still counts them. ``starts``
    and ``ends`` place the rows of a table counted in windows along records, as in KmerTable.
    """

    ids: list[str]
    files: list[str]
    k: int
    strands: Strands
    indptr: npt.NDArray[np.uint64]
    codes: npt.NDArray[np.uint64]
    counts: npt.NDArray[np.unsignedinteger[Any]]
    windows: npt.NDArray[np.uint64]
    skipped: npt.NDArray[np.uint64]
    starts: npt.NDArray[np.uint64] | None = None
    ends: npt.NDArray[np.uint64] | None = None

    def __repr__(self) -> str:
        return (
            f"<SparseKmerTable k={self.k} strands={self.strands!r} rows={len(self.ids)} "
            f"kmers={len(self.codes)} files={len(set(self.files))}>"
        )

    def row(self, row: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[Any]]:
        """The codes and counts of one row (views, not copies); a negative `row` counts from the
        end, as in Python; IndexError out of range."""
        index = self._row_index(row)
        start, stop = int(self.indptr[index]), int(self.indptr[index + 1])
        return self.codes[start:stop], self.counts[start:stop]

    def _row_index(self, row: int) -> int:
        """`row` as a position from 0, a negative one counted from the end."""
        index = operator.index(row)
        position = index + len(self) if index < 0 else index
        if not 0 <= position < len(self):
            raise IndexError(f"row {index} out of range for a table of {len(self)} rows")
        return position

    def kmer(self, code: int) -> str:
        """The k letters of one code."""
        if not 0 <= code < 4**self.k:
            raise ValueError(f"code {code} is not a k-mer of k = {self.k}")
        text: bytes = kmer_text(self.k, [code])[0]
        return text.decode("ascii")

    def kmers(self, codes: npt.ArrayLike | None = None) -> list[str]:
        """The letters of each code (default: every code of the table, row after row)."""
        values = self.codes if codes is None else codes
        return [text.decode("ascii") for text in kmer_text(self.k, values).tolist()]

    def spectrum(self, row: int | None = None) -> KmerSpectrum:
        """The k-mer spectrum: ``spectrum()[n]`` is how many distinct k-mers occur n times, in
        `row` or summed over every row (element 0 is 0); a KmerSpectrum, as long as the largest
        count but holding only the counts that occur."""
        return KmerSpectrum(*self.spectrum_items(row))

    def spectrum_items(
        self, row: int | None = None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        """The k-mer spectrum without its zeros: the counts that occur, ascending, and how many
        distinct k-mers occur that many times, in `row` or summed over every row."""
        counts = self.counts if row is None else self.row(row)[1]
        values, kmers = np.unique(counts, return_counts=True)
        return values.astype(np.uint64), kmers.astype(np.uint64)

    def to_scipy(self) -> scipy.sparse.csr_array:
        """The counts as a scipy.sparse.csr_array of rows x 4^k (k up to 31: beyond, the
        columns cannot be numbered in int64)."""
        import scipy.sparse

        if self.k > 31:
            raise ValueError(f"to_scipy takes k up to 31: 4^{self.k} columns cannot be numbered")
        return scipy.sparse.csr_array(
            (self.counts, self.codes.astype(np.int64), self.indptr.astype(np.int64)),
            shape=(len(self.ids), 4**self.k),
        )

    def to_pandas(self) -> pandas.DataFrame:
        """The counts in long form: columns ``id``, ``kmer`` and ``count``, a line per k-mer."""
        import pandas

        lengths = np.diff(self.indptr).astype(np.intp)
        return pandas.DataFrame(
            {
                "id": np.repeat(np.array(self.ids, dtype=object), lengths),
                "kmer": self.kmers(),
                "count": self.counts,
            }
        )

    def to_dense(self) -> KmerTable:
        """The same counts as a KmerTable, with its columns (all 4^k k-mers, or the canonical
        ones); ValueError past k = MAX_DENSE_K."""
        if self.k > MAX_DENSE_K:
            raise ValueError(f"to_dense takes k up to {MAX_DENSE_K}, not {self.k}")
        # Typed as any 1-D array: NumPy releases differ in the shape types they give these.
        columns: npt.NDArray[np.uint64] = np.arange(4**self.k, dtype=np.uint64)
        if self.strands == "canonical":
            columns = columns[columns <= reverse_complement_codes(self.k, columns)]
        counts = np.zeros((len(self.ids), len(columns)), dtype=np.uint64)
        rows = np.repeat(np.arange(len(self.ids)), np.diff(self.indptr).astype(np.intp))
        counts[rows, np.searchsorted(columns, self.codes)] = self.counts
        labels = [text.decode("ascii") for text in kmer_text(self.k, columns).tolist()]
        return KmerTable(
            list(self.ids),
            list(self.files),
            self.k,
            self.strands,
            labels,
            counts,
            self.windows.copy(),
            self.skipped.copy(),
            None if self.starts is None else self.starts.copy(),
            None if self.ends is None else self.ends.copy(),
        )

    def write(
        self, path: str | os.PathLike[str], *, row: int | None = None, kmer_column: bool = False
    ) -> None:
        """Writes the table by the suffix of `path`: ``.npz`` (everything), ``.parquet`` (long
        form: columns ``id``, ``code`` (uint64, as in ``codes``) and ``count``, with a ``kmer``
        column of letters too when `kmer_column`, the rest in its metadata), or
        ``.txt``/``.tsv``: ``KMER<TAB>COUNT`` lines sorted by k-mer, of `row` or of the one row
        there is. See docs/formats.md."""
        from velko_tools.output import open_written, replacing

        name = os.fspath(path)
        if not name.endswith((".npz", ".parquet", ".txt", ".tsv")):
            raise ValueError(
                f"cannot tell the format of {name!r}: name it .npz, .parquet, .txt or .tsv"
            )
        if name.endswith(".txt") or name.endswith(".tsv"):
            self._one_row(row)  # refused before the target is touched
        # Written beside the target and put in its place whole, so a failure or Ctrl-C leaves
        # the previous file as it was.
        with replacing(name) as written:
            if name.endswith(".npz"):
                arrays = {
                    **npz_texts("ids", self.ids),
                    **npz_texts("files", self.files),
                    "k": np.array(self.k),
                    "strands": np.array(self.strands),
                    "indptr": self.indptr,
                    "codes": self.codes,
                    "counts": self.counts,
                    "windows": self.windows,
                    "skipped": self.skipped,
                    **places_arrays(self.starts, self.ends),
                }
                with open_written(written) as out:
                    np.savez(out, **arrays)  # type: ignore[arg-type]
            elif name.endswith(".parquet"):
                self._write_parquet(written, kmer_column)
            else:
                with open_written(written) as out:
                    self.dump(out, row=row)

    def dump(self, out: Any, *, row: int | None = None) -> None:
        """Writes ``KMER<TAB>COUNT`` lines sorted by k-mer for one row to binary file `out`."""
        codes, counts = self.row(self._one_row(row))
        for start in range(0, len(codes), DUMP_LINES):
            out.write(
                _core.count_lines(
                    self.k, codes[start : start + DUMP_LINES], counts[start : start + DUMP_LINES]
                )
            )

    def _one_row(self, row: int | None) -> int:
        """The row a text dump holds: `row`, or the one row there is."""
        if row is None:
            if len(self) != 1:
                raise ValueError(
                    f"the text dump holds one row; this table has {len(self)}: pass row="
                )
            return 0
        return self._row_index(row)

    def _metadata(self) -> dict[bytes, bytes]:
        import json

        facts = {
            "k": self.k,
            "strands": self.strands,
            "ids": self.ids,
            "files": self.files,
            "windows": self.windows.tolist(),
            "skipped": self.skipped.tolist(),
            "lengths": np.diff(self.indptr).tolist(),
        }
        if self.starts is not None and self.ends is not None:
            facts["starts"] = self.starts.tolist()
            facts["ends"] = self.ends.tolist()
        return {b"velko": json.dumps(facts).encode()}

    def _write_parquet(self, path: str, kmer_column: bool) -> None:
        import pyarrow
        import pyarrow.parquet

        narrow = self.counts.dtype == np.uint32
        types = {
            "id": pyarrow.dictionary(pyarrow.int32(), pyarrow.string()),
            "code": pyarrow.uint64(),
            "count": pyarrow.uint32() if narrow else pyarrow.uint64(),
        }
        places = [
            (name, values)
            for name, values in (("start", self.starts), ("end", self.ends))
            if values is not None
        ]
        types.update((name, pyarrow.uint64()) for name, _ in places)
        if kmer_column:
            types["kmer"] = pyarrow.string()
        # No cell is ever null: columns declared so carry no definition levels, which pyarrow
        # would otherwise work out and encode for every value (a third of the writing time).
        schema = pyarrow.schema(
            [pyarrow.field(name, kind, nullable=False) for name, kind in types.items()],
            metadata=self._metadata(),
        )
        names = pyarrow.array(self.ids, type=pyarrow.string())
        # The codes ascend within a row and the counts are mostly small: packed as differences
        # they take a few bits each, which makes them smaller than a general compressor would
        # and faster to write and read.
        packed = {
            "code": "DELTA_BINARY_PACKED",
            "count": "DELTA_BINARY_PACKED",
            **{name: "DELTA_BINARY_PACKED" for name, _ in places},
        }
        with pyarrow.parquet.ParquetWriter(
            path,
            schema,
            use_dictionary=["id", "kmer"],
            column_encoding=packed,
            # Minimum and maximum are kept where a reader may skip row groups by them; those of
            # the id and kmer text would be worked out value by value, for nothing the codes do
            # not already tell.
            write_statistics=["code", "count"],
            compression={
                "id": "snappy",
                "code": "none",
                "count": "none",
                "kmer": "snappy",
                "start": "snappy",
                "end": "snappy",
            },
        ) as writer:
            for start in range(0, len(self.codes), PARQUET_GROUP):
                stop = min(len(self.codes), start + PARQUET_GROUP)
                first, last = (
                    int(row)
                    for row in np.searchsorted(self.indptr, [start, stop - 1], side="right") - 1
                )
                spans = np.clip(self.indptr[first : last + 2], start, stop)
                rows = np.repeat(
                    np.arange(first, last + 1, dtype=np.int32), np.diff(spans).astype(np.intp)
                )
                columns = [
                    pyarrow.DictionaryArray.from_arrays(pyarrow.array(rows), names),
                    pyarrow.array(self.codes[start:stop]),
                    pyarrow.array(self.counts[start:stop]),
                ]
                columns += [pyarrow.array(values[rows]) for _, values in places]
                if kmer_column:
                    letters = kmer_text(self.k, self.codes[start:stop])
                    columns.append(
                        pyarrow.array(letters, type=pyarrow.binary(self.k)).cast(pyarrow.string())
                    )
                writer.write_batch(
                    pyarrow.record_batch(columns, schema=schema), row_group_size=PARQUET_GROUP
                )

    @classmethod
    def read(cls, path: str | os.PathLike[str], *, strands: Strands = "forward") -> SparseKmerTable:
        """A table written by write(): ``.npz``, ``.parquet``, or a ``KMER<TAB>COUNT`` dump
        (``.txt``/``.tsv``; any order, each k-mer once). A dump holds one row and nothing but its
        k-mers and counts: it reads as a row of id and file ``""``, ``windows`` the sum of its
        counts, ``skipped`` 0 and the `strands` given. TableFormatError names the line of a
        dump that does not read."""
        name = os.fspath(path)
        if name.endswith((".txt", ".tsv")):
            return cls._read_dump(name, strands)
        if name.endswith(".npz"):
            with np.load(name, allow_pickle=False) as data:
                return cls(**npz_fields(data, cls.__slots__, optional=("starts", "ends")))
        if name.endswith(".parquet"):
            return cls._read_parquet(name)
        raise ValueError(
            f"cannot tell the format of {name!r}: name it .npz, .parquet, .txt or .tsv"
        )

    @classmethod
    def _read_dump(cls, name: str, strands: Strands) -> SparseKmerTable:
        k: int | None = None
        pieces: list[tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]] = []
        line = 1
        with open(name, "rb") as text:
            rest = b""
            while True:
                block = text.read(DUMP_READ_BYTES)
                data = rest + block
                cut = data.rfind(b"\n") + 1 if block else len(data)
                if cut == 0 and block:
                    rest = data  # one line longer than a block: wait for its end
                    continue
                rest = data[cut:]
                if cut:
                    k, codes, counts = _dump_lines(name, data[:cut], line, k)
                    pieces.append((codes, counts))
                    line += len(codes)
                if not block:
                    break
        codes = np.concatenate([p[0] for p in pieces] or [np.zeros(0, np.uint64)])
        counts = np.concatenate([p[1] for p in pieces] or [np.zeros(0, np.uint64)])
        # Dumps of our own ascend; others (jellyfish's) come in any order.
        order = None if np.all(codes[1:] > codes[:-1]) else np.argsort(codes, kind="stable")
        if order is not None:
            codes, counts = codes[order], counts[order]
        twice = np.flatnonzero(codes[1:] == codes[:-1])
        if len(twice) and order is not None:
            lines = np.sort(order[twice[0] : twice[0] + 2])
            raise TableFormatError(
                name,
                int(lines[1]) + 1,
                f"k-mer {kmer_text(k or 1, codes[twice[:1]])[0].decode()} "
                f"given again (first on line {int(lines[0]) + 1})",
            )
        narrow = counts.max(initial=0) < 2**32
        return cls(
            [""],
            [""],
            k or 1,
            strands,
            np.array([0, len(codes)], dtype=np.uint64),
            codes,
            counts.astype(np.uint32) if narrow else counts,
            np.array([counts.sum(dtype=np.uint64)], dtype=np.uint64),
            np.zeros(1, dtype=np.uint64),
        )

    @classmethod
    def _read_parquet(cls, path: str) -> SparseKmerTable:
        import json

        import pyarrow.parquet

        with pyarrow.parquet.ParquetFile(path) as parquet:
            metadata = parquet.schema_arrow.metadata or {}
            if b"velko" not in metadata:
                raise ValueError(f"{path!r} was not written by SparseKmerTable.write")
            facts = json.loads(metadata[b"velko"])
            k = int(facts["k"])
            indptr = np.zeros(len(facts["ids"]) + 1, dtype=np.uint64)
            np.cumsum(np.array(facts["lengths"], dtype=np.uint64), out=indptr[1:])
            names = parquet.schema_arrow.names
            wide = parquet.schema_arrow.field("count").type.bit_width == 64
            codes = np.empty(int(indptr[-1]), dtype=np.uint64)
            counts: npt.NDArray[np.unsignedinteger[Any]] = np.empty(
                len(codes), dtype=np.uint64 if wide else np.uint32
            )
            done = 0
            # Group by group into the arrays of the table: the file is never held whole.
            for batch in parquet.iter_batches(
                columns=["code" if "code" in names else "kmer", "count"]
            ):
                size = batch.num_rows
                if "code" in names:
                    codes[done : done + size] = batch.column(0).to_numpy()
                else:
                    codes[done : done + size] = _codes_of_text(k, batch.column(0))
                counts[done : done + size] = batch.column(1).to_numpy()
                done += size
        return cls(
            facts["ids"],
            facts["files"],
            k,
            facts["strands"],
            indptr,
            codes,
            counts,
            np.array(facts["windows"], dtype=np.uint64),
            np.array(facts["skipped"], dtype=np.uint64),
            np.array(facts["starts"], dtype=np.uint64) if "starts" in facts else None,
            np.array(facts["ends"], dtype=np.uint64) if "ends" in facts else None,
        )


def _codes_of_text(k: int, kmers: Any) -> npt.NDArray[np.uint64]:
    """The codes of a column of k-mer text (as files written before the ``code`` column hold)."""
    import pyarrow

    kmers = kmers.cast(pyarrow.binary())
    offsets = np.frombuffer(kmers.buffers()[1], dtype=np.int32)
    start = int(offsets[kmers.offset]) if len(kmers) else 0
    text = np.frombuffer(kmers.buffers()[2] or b"", dtype=np.uint8)
    letters = text[start : start + len(kmers) * k].reshape(-1, k)
    digits = np.searchsorted(_LETTERS, letters).astype(np.uint64)
    codes: npt.NDArray[np.uint64] = np.zeros(len(kmers), dtype=np.uint64)
    for j in range(k):
        codes = (codes << np.uint64(2)) | digits[:, j]
    return codes


__all__ = ["SparseKmerTable"]
