"""FracMinHash sketches of FASTA files and the distances between them: the SketchTable that
sketch() gives, its files (sourmash's signatures, Parquet, .npz) and its all-against-all compare.
"""

from __future__ import annotations

import gzip
import hashlib
import json
import os
import zipfile
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import (
    Progress,
    StrPath,
    check_choice,
    input_parts,
    native_inputs,
    require,
    usable_cores,
)
from velko_tools.kmers import MAX_THREADS, _progress_reporter, row_names
from velko_tools.rows import _RowTable
from velko_tools.tables import npz_fields, npz_texts

if TYPE_CHECKING:
    import pandas

#: The largest k a sketch takes.
MAX_SKETCH_K = 64
#: The largest hash, which a sketch of scaled 1 keeps with every other.
MAX_HASH = 2**64 - 1
#: The largest scaled: sourmash keeps scaled in 32 bits.
MAX_SCALED = 2**32 - 1
#: What compare's ``metric`` may be.
Metric = Literal["jaccard", "containment", "max_containment"]

# The columns compare() gives, in order.
PAIR_COLUMNS = (
    "query",
    "match",
    "intersection",
    "query_size",
    "match_size",
    "jaccard",
    "containment",
    "match_containment",
    "max_containment",
    "containment_ani",
    "match_containment_ani",
    "max_containment_ani",
    "jaccard_ani",
)

_SIGNATURE_SUFFIXES = (".sig", ".sig.gz")
_SUFFIXES = (*_SIGNATURE_SUFFIXES, ".zip", ".parquet", ".npz")


def max_hash_for(scaled: int) -> int:
    """The largest hash a sketch of `scaled` keeps, computed as sourmash computes it (the
    division and the rounding in double precision)."""
    if scaled == 1:
        return MAX_HASH
    return min(int(round(MAX_HASH / scaled, 0)), MAX_HASH)


def scaled_for(max_hash: int) -> int:
    """The scaled of a sketch that keeps hashes up to `max_hash`, as sourmash derives it."""
    return min(int(round(MAX_HASH / max_hash, 0)), MAX_SCALED)


def _check_int(name: str, value: object, least: int, most: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
        raise ValueError(f"{name} must be an int from {least} to {most}, not {value!r}")
    return value


class SketchTable(_RowTable):
    """FracMinHash sketches, one row per file or per record.

    Row ``r`` holds ``hashes[indptr[r]:indptr[r + 1]]`` (uint64, ascending), the hashes of its
    canonical k-mers at or below the largest hash of ``scaled`` (see docs/velko_tools.md), with
    ``abundances`` at the same places when the sketch counted them (else None). ``ids`` name
    the rows, ``files`` the file each came from.
    """

    __slots__ = ("ids", "files", "k", "scaled", "seed", "indptr", "hashes", "abundances")

    def __init__(
        self,
        ids: list[str],
        files: list[str],
        k: int,
        scaled: int,
        seed: int,
        indptr: npt.ArrayLike,
        hashes: npt.ArrayLike,
        abundances: npt.ArrayLike | None = None,
    ) -> None:
        self.ids = list(ids)
        self.files = list(files)
        self.k = _check_int("k", k, 1, MAX_SKETCH_K)
        self.scaled = _check_int("scaled", scaled, 1, MAX_SCALED)
        self.seed = _check_int("seed", seed, 0, MAX_HASH)
        self.indptr = np.ascontiguousarray(indptr, dtype=np.uint64)
        self.hashes = np.ascontiguousarray(hashes, dtype=np.uint64)
        self.abundances = (
            None if abundances is None else np.ascontiguousarray(abundances, dtype=np.uint64)
        )
        if len(self.files) != len(self.ids) or len(self.indptr) != len(self.ids) + 1:
            raise ValueError("ids, files and indptr do not describe the same rows")
        if int(self.indptr[0]) != 0 or int(self.indptr[-1]) != len(self.hashes):
            raise ValueError("indptr does not cover the hashes")
        if self.abundances is not None and len(self.abundances) != len(self.hashes):
            raise ValueError("abundances and hashes differ in length")

    def __repr__(self) -> str:
        return (
            f"<SketchTable of {len(self)} rows, k={self.k}, scaled={self.scaled}, "
            f"seed={self.seed}, {len(self.hashes)} hashes"
            f"{', with abundances' if self.abundances is not None else ''}>"
        )

    @property
    def max_hash(self) -> int:
        """The largest hash the sketches keep."""
        return max_hash_for(self.scaled)

    def sizes(self) -> npt.NDArray[np.uint64]:
        """The number of hashes of each row."""
        return np.diff(self.indptr)

    def _row_index(self, row: int) -> int:
        if isinstance(row, bool) or not isinstance(row, (int, np.integer)):
            raise TypeError(f"row must be an int, not {type(row).__name__}")
        index = int(row)
        if not -len(self) <= index < len(self):
            raise IndexError(f"row {index} out of range for {len(self)} rows")
        return index % len(self)

    def row(self, row: int) -> npt.NDArray[np.uint64]:
        """The hashes of row `row` (negative counts from the end), ascending; a view."""
        r = self._row_index(row)
        return self.hashes[int(self.indptr[r]) : int(self.indptr[r + 1])]

    def to_pandas(self) -> pandas.DataFrame:
        """One line per row: ``id``, ``file``, ``size`` (hashes) and ``hashes`` (and
        ``abundances``) as arrays."""
        require(["pandas"], "SketchTable.to_pandas", "pip install pandas")
        import pandas

        columns: dict[str, Any] = {
            "id": self.ids,
            "file": self.files,
            "size": self.sizes(),
            "hashes": [self.row(r) for r in range(len(self))],
        }
        if self.abundances is not None:
            columns["abundances"] = [
                self.abundances[int(self.indptr[r]) : int(self.indptr[r + 1])]
                for r in range(len(self))
            ]
        return pandas.DataFrame(columns)

    def downsample(self, scaled: int) -> SketchTable:
        """The table at a larger `scaled`: each row keeps its hashes at or below that scaled's
        largest hash, as sourmash's downsample does."""
        _check_int("scaled", scaled, 1, MAX_SCALED)
        if scaled < self.scaled:
            raise ValueError(f"cannot downsample scaled {self.scaled} to the smaller {scaled}")
        if scaled == self.scaled:
            return self
        keep = self.hashes <= np.uint64(max_hash_for(scaled))
        kept = np.zeros(len(keep) + 1, dtype=np.uint64)
        np.cumsum(keep, out=kept[1:])
        indptr = kept[self.indptr.astype(np.intp)]
        return SketchTable(
            self.ids,
            self.files,
            self.k,
            scaled,
            self.seed,
            indptr,
            self.hashes[keep],
            None if self.abundances is None else self.abundances[keep],
        )

    # -- comparing ------------------------------------------------------------------------

    def compare(
        self,
        other: SketchTable | None = None,
        *,
        threshold: float = 0.0,
        metric: Metric = "max_containment",
        threads: int | None = None,
    ) -> pandas.DataFrame:
        """The pairs of sketches that share a hash and whose `metric` is at least `threshold`,
        as a DataFrame of the columns in PAIR_COLUMNS (see docs/velko_tools.md): with `other`
        None each unordered pair of rows of this table once (query before match in row order),
        else every pair of a row here (query) and a row of `other` (match). Values are
        sourmash's: jaccard, contained_by (debiased), max_containment and the ANI point
        estimates. Tables of different k or seed are refused; one of a smaller scaled is
        downsampled to the other's first."""
        require(["pandas", "scipy.stats"], "SketchTable.compare", "pip install pandas scipy")
        check_choice("metric", metric, Metric)
        if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
            raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
        if not 0.0 <= threshold <= 1.0:
            raise ValueError(f"threshold must be between 0 and 1, not {threshold!r}")
        threads = _threads(threads)
        query = self
        match = self if other is None else other
        if not isinstance(match, SketchTable):
            raise TypeError(f"other must be a SketchTable or None, not {type(match).__name__}")
        if match.k != query.k or match.seed != query.seed:
            raise ValueError(
                f"cannot compare sketches of k={query.k}, seed={query.seed} with sketches of "
                f"k={match.k}, seed={match.seed}"
            )
        scaled = max(query.scaled, match.scaled)
        query = query.downsample(scaled)
        match = query if other is None else match.downsample(scaled)
        rows_q, rows_m, common = _core.compare_sketches(
            query.indptr,
            query.hashes,
            match.indptr,
            match.hashes,
            other is None,
            metric,
            float(threshold),
            threads,
        )
        return _pairs_frame(query, match, rows_q, rows_m, common)

    # -- files ----------------------------------------------------------------------------

    def write(self, path: StrPath) -> None:
        """Writes the table by the suffix of `path`: ``.sig`` or ``.sig.gz`` (sourmash's JSON
        signatures, one per row: name the id, filename the file), ``.parquet`` or ``.npz``. The
        file is replaced whole or not at all. See docs/formats.md."""
        from velko_tools.output import open_written, replacing

        name = os.fspath(path)
        if not name.endswith(_SUFFIXES) or name.endswith(".zip"):
            raise ValueError(
                f"cannot tell the format of {name!r}: name it .sig, .sig.gz, .parquet or .npz"
            )
        if name.endswith(".parquet"):
            require(["pyarrow.parquet"], "writing Parquet", "pip install pyarrow")
        with replacing(name) as written:
            if name.endswith(".npz"):
                arrays = {
                    **npz_texts("ids", self.ids),
                    **npz_texts("files", self.files),
                    "k": np.array(self.k),
                    "scaled": np.array(self.scaled, dtype=np.uint64),
                    "seed": np.array(self.seed, dtype=np.uint64),
                    "indptr": self.indptr,
                    "hashes": self.hashes,
                }
                if self.abundances is not None:
                    arrays["abundances"] = self.abundances
                with open_written(written) as out:
                    np.savez(out, **arrays)  # type: ignore[arg-type]
            elif name.endswith(".parquet"):
                self._write_parquet(written)
            else:
                with open_written(written) as out:
                    if name.endswith(".gz"):
                        with gzip.GzipFile(fileobj=out, mode="wb", compresslevel=6, mtime=0) as z:
                            self._write_signatures(z)
                    else:
                        self._write_signatures(out)

    def _signature(self, r: int) -> dict[str, Any]:
        hashes = self.row(r)
        digest = hashlib.md5(str(self.k).encode(), usedforsecurity=False)
        for text in hashes.astype(str).tolist():
            digest.update(text.encode())
        sketch: dict[str, Any] = {
            "num": 0,
            "ksize": self.k,
            "seed": self.seed,
            "max_hash": self.max_hash,
            "mins": hashes.tolist(),
            "md5sum": digest.hexdigest(),
        }
        if self.abundances is not None:
            start, stop = int(self.indptr[r]), int(self.indptr[r + 1])
            sketch["abundances"] = self.abundances[start:stop].tolist()
        sketch["molecule"] = "DNA"
        return {
            "class": "sourmash_signature",
            "email": "",
            "hash_function": "0.murmur64",
            "filename": self.files[r],
            "name": self.ids[r],
            "license": "CC0",
            "signatures": [sketch],
            "version": 0.4,
        }

    def _write_signatures(self, out: Any) -> None:
        # One signature at a time: a large table is never one JSON text in memory.
        out.write(b"[")
        for r in range(len(self)):
            if r:
                out.write(b",")
            out.write(json.dumps(self._signature(r), separators=(",", ":")).encode())
        out.write(b"]")

    def _write_parquet(self, path: str) -> None:
        import pyarrow
        import pyarrow.parquet

        offsets = pyarrow.array(self.indptr.astype(np.int64))
        columns = {
            "id": pyarrow.array(self.ids, type=pyarrow.string()),
            "file": pyarrow.array(self.files, type=pyarrow.string()),
            "hashes": pyarrow.LargeListArray.from_arrays(offsets, pyarrow.array(self.hashes)),
        }
        if self.abundances is not None:
            columns["abundances"] = pyarrow.LargeListArray.from_arrays(
                offsets, pyarrow.array(self.abundances)
            )
        facts = {"k": self.k, "scaled": self.scaled, "seed": self.seed}
        table = pyarrow.table(columns).replace_schema_metadata(
            {b"velko_sketch": json.dumps(facts).encode()}
        )
        pyarrow.parquet.write_table(table, path)

    @classmethod
    def read(cls, path: StrPath, *, k: int | None = None) -> SketchTable:
        """A table from a file write() wrote, or from sourmash's signatures: ``.sig``,
        ``.sig.gz`` or a ``.zip`` collection. Of a signature file only the DNA sketches of `k`
        are read (any k when all have one); sketches of several scaled are downsampled to the
        largest, abundances kept only where every sketch has them. ValueError for a file with
        no such sketch, sketches of several seeds, or of a fixed number of hashes."""
        name = os.fspath(path)
        if k is not None:
            _check_int("k", k, 1, MAX_SKETCH_K)
        if name.endswith(".npz"):
            with np.load(name, allow_pickle=False) as data:
                return cls(**npz_fields(data, cls.__slots__, optional=("abundances",)))
        if name.endswith(".parquet"):
            return cls._read_parquet(name)
        if name.endswith(".zip"):
            return _from_signatures(name, _zip_signatures(name), k)
        if name.endswith(_SIGNATURE_SUFFIXES):
            with open(name, "rb") as raw:
                return _from_signatures(name, _signatures_of(raw.read()), k)
        raise ValueError(
            f"cannot tell the format of {name!r}: name it .sig, .sig.gz, .zip, .parquet or .npz"
        )

    @classmethod
    def _read_parquet(cls, path: str) -> SketchTable:
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(path)
        metadata = table.schema.metadata or {}
        if b"velko_sketch" not in metadata:
            raise ValueError(f"{path!r} was not written by SketchTable.write")
        facts = json.loads(metadata[b"velko_sketch"])
        hashes = table.column("hashes").combine_chunks()
        indptr = np.asarray(hashes.offsets, dtype=np.uint64)
        indptr = indptr - indptr[0]
        abundances = None
        if "abundances" in table.column_names:
            abundances = table.column("abundances").combine_chunks().flatten().to_numpy()
        return cls(
            table.column("id").to_pylist(),
            table.column("file").to_pylist(),
            int(facts["k"]),
            int(facts["scaled"]),
            int(facts["seed"]),
            indptr,
            hashes.flatten().to_numpy(),
            abundances,
        )


def _signatures_of(data: bytes) -> list[dict[str, Any]]:
    """The signatures of a JSON signature file's bytes (gzip-compressed or not)."""
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    parsed = json.loads(data)
    return parsed if isinstance(parsed, list) else [parsed]


def _zip_signatures(name: str) -> Iterator[dict[str, Any]]:
    with zipfile.ZipFile(name) as archive:
        for member in archive.namelist():
            if member.endswith(_SIGNATURE_SUFFIXES):
                yield from _signatures_of(archive.read(member))


def _from_signatures(name: str, signatures: Iterable[dict[str, Any]], k: int | None) -> SketchTable:
    rows: list[tuple[str, str, dict[str, Any]]] = []
    for signature in signatures:
        for sketch in signature.get("signatures", []):
            if str(sketch.get("molecule", "DNA")).upper() != "DNA":
                continue
            if k is not None and int(sketch["ksize"]) != k:
                continue
            rows.append((signature.get("name") or "", signature.get("filename") or "", sketch))
    if not rows:
        which = f"k={k}" if k is not None else "any k"
        raise ValueError(f"{name!r} holds no DNA sketch of {which}")
    ks = {int(sketch["ksize"]) for _, _, sketch in rows}
    seeds = {int(sketch.get("seed", 42)) for _, _, sketch in rows}
    if len(ks) > 1:
        raise ValueError(f"{name!r} holds sketches of k {sorted(ks)}: pass k= to pick one")
    if len(seeds) > 1:
        raise ValueError(f"{name!r} holds sketches of several seeds: {sorted(seeds)}")
    if any(int(sketch.get("max_hash", 0)) == 0 for _, _, sketch in rows):
        raise ValueError(f"{name!r} holds sketches of a fixed number of hashes, not scaled ones")
    scaled = max(scaled_for(int(sketch["max_hash"])) for _, _, sketch in rows)
    limit = max_hash_for(scaled)
    counted = all("abundances" in sketch for _, _, sketch in rows)
    sizes = []
    hashes = []
    counts = []
    for _, _, sketch in rows:
        mins = np.array(sketch["mins"], dtype=np.uint64)
        order = np.argsort(mins, kind="stable")
        keep = mins[order] <= np.uint64(limit)
        hashes.append(mins[order][keep])
        sizes.append(int(keep.sum()))
        if counted:
            counts.append(np.array(sketch["abundances"], dtype=np.uint64)[order][keep])
    indptr = np.zeros(len(rows) + 1, dtype=np.uint64)
    np.cumsum(np.array(sizes, dtype=np.uint64), out=indptr[1:])
    empty = np.zeros(0, dtype=np.uint64)
    return SketchTable(
        [row[0] for row in rows],
        [row[1] for row in rows],
        ks.pop(),
        scaled,
        seeds.pop(),
        indptr,
        np.concatenate(hashes) if hashes else empty,
        (np.concatenate(counts) if counts else empty) if counted else None,
    )


def _threads(threads: int | None) -> int:
    if threads is None:
        return usable_cores()
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    if threads > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")
    return threads


def _size_is_accurate(sizes: npt.NDArray[np.float64], scaled: int) -> npt.NDArray[np.bool_]:
    """Whether sourmash trusts a sketch of each size as an estimate of its set's size (within 20%
    with probability 0.95): below that it gives no ANI."""
    from scipy.stats import binom

    unique, inverse = np.unique(sizes, return_inverse=True)
    set_size = unique * scaled
    mean = set_size / scaled
    high, low = mean * 1.2, -mean * (0.2 - 1)
    p = 1 / scaled
    probability = binom.cdf(high, set_size, p) - binom.cdf(low, set_size, p)
    whole = low == np.floor(low)
    probability = np.where(whole, probability + binom.pmf(low, set_size, p), probability)
    accurate: npt.NDArray[np.bool_] = (probability >= 0.95)[inverse]
    return accurate


def _debiased(
    common: npt.NDArray[np.float64], denominator: npt.NDArray[np.float64], scaled: int
) -> npt.NDArray[np.float64]:
    """sourmash's containment: hashes in common over the sketch's size times the chance that a
    set of size * scaled k-mers leaves a sketch at all, held within 0 and 1."""
    bias = 1.0 - (1.0 - 1.0 / scaled) ** (denominator * scaled)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = common / (denominator * bias)
    return np.clip(np.where(denominator > 0, value, 0.0), 0.0, 1.0)


def _containment_ani(containment: npt.NDArray[np.float64], k: int) -> npt.NDArray[np.float64]:
    ani = containment ** (1.0 / k)
    return np.where(containment == 0, 0.0, np.where(containment == 1, 1.0, ani))


def _jaccard_ani(
    jaccard: npt.NDArray[np.float64], k: int, kmers: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """ANI from Jaccard, NaN where sourmash finds the estimate's error above 1e-4."""
    with np.errstate(divide="ignore", invalid="ignore"):
        distance = 1.0 - (2.0 * jaccard / (1.0 + jaccard)) ** (1.0 / k)
        q = 1.0 - (1.0 - distance) ** k
        expected = kmers * q
        variance = (
            kmers * (1 - q) * (q * (2 * k + (2 / distance) - 1) - 2 * k)
            + k * (k - 1) * (1 - q) ** 2
            + (2 * (1 - q) / (distance**2)) * ((1 + (k - 1) * (1 - q)) * distance - q)
        )
        error = kmers * variance / (kmers + expected) ** 3
    exact = (jaccard == 0) | (jaccard == 1)
    ani = np.where(jaccard == 1, 1.0, np.where(jaccard == 0, 0.0, 1.0 - distance))
    trusted = exact | ((variance >= 0) & (error <= 1e-4))
    return np.where(trusted, ani, np.nan)


def _pairs_frame(
    query: SketchTable,
    match: SketchTable,
    rows_q: npt.NDArray[np.uint64],
    rows_m: npt.NDArray[np.uint64],
    common: npt.NDArray[np.uint64],
) -> pandas.DataFrame:
    import pandas

    k, scaled = query.k, query.scaled
    q_index = rows_q.astype(np.intp)
    m_index = rows_m.astype(np.intp)
    q_size = query.sizes()[q_index]
    m_size = match.sizes()[m_index]
    shared = common.astype(np.float64)
    qs, ms = q_size.astype(np.float64), m_size.astype(np.float64)
    smaller = np.minimum(qs, ms)
    union = (q_size + m_size - common).astype(np.float64)
    jaccard = np.divide(shared, union, out=np.zeros_like(shared), where=union > 0)
    containment = _debiased(shared, qs, scaled)
    match_containment = _debiased(shared, ms, scaled)
    max_containment = _debiased(shared, smaller, scaled)
    accurate = (
        _size_is_accurate(qs, scaled) & _size_is_accurate(ms, scaled)
        if len(shared)
        else np.zeros(0, dtype=bool)
    )

    def trusted(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return np.where(accurate, values, np.nan)

    kmers = np.round((qs + ms) / 2 * scaled)
    ids_q = np.array(query.ids, dtype=object)
    ids_m = np.array(match.ids, dtype=object)
    columns = {
        # Of one dtype, empty or not: pandas gives a column of strings its own.
        "query": pandas.Series(ids_q[q_index], dtype=str),
        "match": pandas.Series(ids_m[m_index], dtype=str),
        "intersection": common,
        "query_size": q_size,
        "match_size": m_size,
        "jaccard": jaccard,
        "containment": containment,
        "match_containment": match_containment,
        "max_containment": max_containment,
        "containment_ani": trusted(_containment_ani(containment, k)),
        "match_containment_ani": trusted(_containment_ani(match_containment, k)),
        "max_containment_ani": trusted(_containment_ani(max_containment, k)),
        "jaccard_ani": trusted(_jaccard_ani(jaccard, k, kmers)),
    }
    return pandas.DataFrame(columns, columns=list(PAIR_COLUMNS))


def sketch(
    paths: StrPath | Iterable[StrPath],
    *,
    k: int = 31,
    scaled: int = 1000,
    seed: int = 42,
    per_file: bool = True,
    abundance: bool = False,
    threads: int | None = None,
    progress: Progress = False,
) -> SketchTable:
    """FracMinHash sketches of FASTA files, plain or gzip-compressed, hash for hash those of
    sourmash (``MinHash(0, k, scaled=scaled, seed=seed)`` fed each record with
    ``add_sequence(seq, force=True)``).

    Each window of k letters (upper-cased; windows holding a byte other than ``ACGT`` are
    skipped) is hashed as the text of its canonical k-mer (the smaller of it and its reverse
    complement) with MurmurHash3_x64_128's first 64 bits under `seed`; the sketch keeps the
    hashes at or below ``2**64 / scaled`` (every hash for scaled 1). k is 1 to 64.

    ``per_file=True`` gives one row per file (the union of its records' sketches), named by the
    path as given; ``False`` one row per record, named by its id. ``abundance=True`` also counts
    each kept hash. Inputs, threads, progress, Ctrl-C and errors are those of count_kmers:
    ``"-"`` reads standard input; FastaFormatError, the OSError of a missing file,
    gzip.BadGzipFile, EOFError; MemoryError when the sketches would not fit.
    """
    parts = input_parts(paths)
    encoded = [path for path, _ in parts]
    names = [name for _, name in parts]
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= MAX_SKETCH_K:
        raise ValueError(f"k must be between 1 and {MAX_SKETCH_K}, not {k}")
    _check_int("scaled", scaled, 1, MAX_SCALED)
    _check_int("seed", seed, 0, MAX_HASH)
    for flag, value in (("per_file", per_file), ("abundance", abundance)):
        if not isinstance(value, bool):
            raise TypeError(f"{flag} must be a bool, not {type(value).__name__}")
    threads = _threads(threads)
    report, close = _progress_reporter(progress, encoded)
    try:
        ids, file_index, indptr, hashes, counts = _core.sketch(
            native_inputs(parts),
            k,
            max_hash_for(scaled),
            seed,
            per_file,
            abundance,
            threads,
            report,
        )
    finally:
        close()
    ids, row_files = row_names(names, file_index, ids, per_file, False)
    return SketchTable(ids, row_files, k, scaled, seed, indptr, hashes, counts)


__all__ = ["MAX_SKETCH_K", "PAIR_COLUMNS", "SketchTable", "max_hash_for", "sketch"]
