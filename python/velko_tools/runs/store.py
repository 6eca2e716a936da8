"""The run directory on disk: the datasets' schemas, parts written whole by rename, the manifest
that makes a part part of the run, run.json, and the lock."""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import json
import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from velko_tools.errors import DamagedRunError
from velko_tools.kmer_labels import KmerLabels
from velko_tools.kmers import KmerTable
from velko_tools.runs.inputs import _digest, _Input
from velko_tools.runs.options import _OPTION_DEFAULTS, _OptionError, _Options
from velko_tools.sparse import SparseKmerTable

if TYPE_CHECKING:
    import pyarrow


#: The datasets of a run directory, in the order they are written.
DATASETS = ("profiles", "genomes", "hits", "sketches", "errors")


# Of run.json and the manifest. Entries of format 1 record no checksums, file sizes or
# options: their parts are checked by the genomes they hold instead.
_FORMAT = 2


class RunLockedError(RuntimeError):
    """Another driver holds the run directory: two drivers on one directory would undo each
    other's work."""


_GENOME_SCHEMA: list[tuple[str, str]] = [
    ("genome", "string"),
    ("path", "string"),
    ("records", "int64"),
    ("length", "int64"),
    ("gc", "float64"),
]


_HIT_SCHEMA: list[tuple[str, str]] = [
    ("genome", "string"),
    ("gene_id", "string"),
    ("hmm_id", "string"),
    ("e_value", "float64"),
    ("bit_score", "float64"),
    ("genome_best", "bool_"),
]


_ERROR_SCHEMA: list[tuple[str, str]] = [
    ("genome", "string"),
    ("path", "string"),
    ("error", "string"),
    ("message", "string"),
    ("line", "int64"),
    ("column", "int64"),
]


def _genome_schema(searched: bool) -> list[tuple[str, str]]:
    return [*_GENOME_SCHEMA, ("genes", "int64")] if searched else _GENOME_SCHEMA


def _rows_table(rows: list[dict[str, Any]], schema: list[tuple[str, str]]) -> pyarrow.Table:
    import pyarrow

    arrow_schema = pyarrow.schema([(name, getattr(pyarrow, kind)()) for name, kind in schema])
    return pyarrow.Table.from_pylist(rows, schema=arrow_schema)


def _profiles_table(tables: list[tuple[str, Any]], options: _Options) -> pyarrow.Table:
    """profiles/: genome, [record,] path, counts (a fixed-size list of uint64, one per k-mer
    in base-4 order), windows, skipped; k and the strands in the schema metadata, which
    determine the k-mers (their labels, 16.7 million strings at k = 12, are not stored).
    Sparse profiles hold ``codes`` (the k-mers seen, as 2-bit codes ascending) and ``counts``
    (theirs) as lists instead."""
    import pyarrow

    if options.layout == "sparse":
        return _sparse_profiles_table(tables, options)
    width = len(KmerLabels(options.k, canonical=options.strands == "canonical"))
    counts = _joined([t.counts.reshape(-1) for _, t in tables])
    values = {"counts": pyarrow.FixedSizeListArray.from_arrays(counts, width)}
    return _part_table(tables, options, values)


def _sparse_profiles_table(
    tables: list[tuple[str, SparseKmerTable]], options: _Options
) -> pyarrow.Table:
    import pyarrow

    offsets: list[Any] = [np.zeros(1, dtype=np.int64)]
    base = 0
    for _, table in tables:
        offsets.append(table.indptr[1:].astype(np.int64) + base)
        base += len(table.codes)
    every = pyarrow.array(np.concatenate(offsets), pyarrow.int64())
    codes = _joined([t.codes for _, t in tables])
    counts = _joined([t.counts.astype(np.uint64, copy=False) for _, t in tables])
    values = {
        "codes": pyarrow.LargeListArray.from_arrays(every, codes),
        "counts": pyarrow.LargeListArray.from_arrays(every, counts),
    }
    return _part_table(tables, options, values)


def _joined(arrays: list[Any]) -> pyarrow.Array:
    """The uint64 arrays as one Arrow array."""
    import pyarrow

    flat = np.concatenate(arrays) if arrays else np.zeros(0, dtype=np.uint64)
    return pyarrow.array(flat, pyarrow.uint64())


def _part_table(
    tables: list[tuple[str, KmerTable]] | list[tuple[str, SparseKmerTable]],
    options: _Options,
    values: dict[str, pyarrow.Array],
) -> pyarrow.Table:
    """A part of profiles/ in either layout: genome, [record,] path, the layout's `values`,
    windows, skipped, [start, end]; k, the strands and the layout in the schema metadata."""
    import pyarrow

    genomes: list[str] = []
    records: list[str] = []
    paths: list[str] = []
    for genome, table in tables:
        genomes += [genome] * len(table)
        records += table.ids
        paths += table.files
    columns: dict[str, Any] = {"genome": pyarrow.array(genomes, pyarrow.string())}
    if options.per_record:
        columns["record"] = pyarrow.array(records, pyarrow.string())
    columns["path"] = pyarrow.array(paths, pyarrow.string())
    columns.update(values)
    columns["windows"] = _joined([t.windows for _, t in tables])
    columns["skipped"] = _joined([t.skipped for _, t in tables])
    if options.window is not None:
        # Profiles counted in windows: each row's place in its record.
        columns["start"] = _joined([t.starts for _, t in tables if t.starts is not None])
        columns["end"] = _joined([t.ends for _, t in tables if t.ends is not None])
    metadata = {
        "velko.k": str(options.k),
        "velko.strands": options.strands,
        "velko.layout": "sparse" if options.layout == "sparse" else "dense",
    }
    return pyarrow.table(columns).replace_schema_metadata(metadata)


def _write_atomic(table: pyarrow.Table, path: str) -> dict[str, Any]:
    """Writes `table` as the Parquet file `path`, whole or not at all; returns what the
    manifest records of it: its size and SHA-256, taken before it is put in place."""
    import pyarrow.parquet

    from velko_tools.output import replacing

    with replacing(path) as written:
        pyarrow.parquet.write_table(table, written)
        size, digest = _digest(written)
    return {"size": size, "sha256": digest}


def _write_json_atomic(value: Any, path: str) -> None:
    from velko_tools.output import open_written, replacing

    with replacing(path) as written, open_written(written, "utf-8") as out:
        json.dump(value, out, indent=1)


@dataclasses.dataclass(frozen=True)
class _Entry:
    """A manifest entry as read back: which genomes its part holds and how its files were
    written. ``files`` and ``options`` are None in entries of format 1."""

    part: str
    inputs: list[_Input]
    datasets: list[str]
    failed: list[str]  # paths
    files: dict[str, dict[str, Any]] | None
    options: dict[str, Any] | None
    hashes: dict[str, str]  # input path -> SHA-256, with verify_inputs="checksum"

    @property
    def genomes(self) -> list[str]:
        """The genomes of profiles/ and genomes/ (the inputs that did not fail)."""
        failed = set(self.failed)
        return [item.genome for item in self.inputs if item.path not in failed]


def _optional_int(value: Any) -> bool:
    return value is None or (isinstance(value, int) and not isinstance(value, bool))


def _parse_entry(part: str, value: Any) -> _Entry:
    """The manifest entry `value` (parsed JSON) checked field by field; ValueError says which
    field does not read."""
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    items = value.get("inputs")
    if not isinstance(items, list) or not items:
        raise ValueError("no list of inputs")
    inputs: list[_Input] = []
    hashes: dict[str, str] = {}
    for item in items:
        if not (
            isinstance(item, dict)
            and isinstance(item.get("path"), str)
            and isinstance(item.get("genome"), str)
            and all(_optional_int(item.get(key)) for key in ("size", "mtime_ns", "ctime_ns"))
        ):
            raise ValueError(f"an input that does not read: {item!r:.200}")
        inputs.append(
            _Input(
                item["path"],
                item["genome"],
                item.get("size"),
                item.get("mtime_ns"),
                item.get("ctime_ns"),
            )
        )
        if isinstance(item.get("sha256"), str):
            hashes[item["path"]] = item["sha256"]
    datasets = value.get("datasets")
    if (
        not isinstance(datasets, list)
        or any(d not in DATASETS for d in datasets)
        or len(set(datasets)) != len(datasets)
    ):
        raise ValueError(f"datasets that do not read: {datasets!r:.200}")
    failed = value.get("failed")
    paths = {item.path for item in inputs}
    if not isinstance(failed, list) or any(path not in paths for path in failed):
        raise ValueError(f"failed inputs that do not read: {failed!r:.200}")
    files = value.get("files")
    if value.get("format", 1) >= 2 or files is not None:
        if (
            not isinstance(files, dict)
            or sorted(files) != sorted(datasets)
            or not all(
                isinstance(facts, dict)
                and _optional_int(facts.get("size"))
                and isinstance(facts.get("size"), int)
                and isinstance(facts.get("sha256"), str)
                for facts in files.values()
            )
        ):
            raise ValueError(f"file sizes and checksums that do not read: {files!r:.200}")
    options = value.get("options")
    if options is not None and not isinstance(options, dict):
        raise ValueError(f"options that do not read: {options!r:.200}")
    return _Entry(part, inputs, datasets, failed, files, options, hashes)


def _read_manifest(out: str) -> tuple[dict[str, _Entry], dict[str, str]]:
    """The manifest's entries by part name (files not ending in .json are half-written), and
    the entries that do not read, by part name, with what is wrong with each."""
    directory = os.path.join(out, "manifest")
    entries: dict[str, _Entry] = {}
    damaged: dict[str, str] = {}
    if os.path.isdir(directory):
        for name in sorted(os.listdir(directory)):
            if name.startswith("part-") and name.endswith(".json"):
                part = name[: -len(".json")]
                try:
                    with open(os.path.join(directory, name), encoding="utf-8") as entry:
                        entries[part] = _parse_entry(part, json.load(entry))
                except (OSError, ValueError) as error:  # JSON and UTF-8 errors are ValueErrors
                    reason = error.strerror if isinstance(error, OSError) else str(error)
                    damaged[part] = f"a manifest entry that does not read ({reason})"
    return entries, damaged


def _manifest_path(out: str, part: str) -> str:
    return os.path.join(out, "manifest", part + ".json")


def _part_path(out: str, dataset: str, part: str) -> str:
    return os.path.join(out, dataset, part + ".parquet")


def _part_problems(
    out: str, entry: _Entry, options: dict[str, Any] | None, full: bool
) -> list[tuple[str, str]]:
    """What is wrong with the part of `entry`, each problem with the file it concerns: a file
    missing, of another size than recorded, or (with `full`) of another SHA-256, or of
    entries of format 1, holding other genomes than its entry lists; options other than
    `options` (run.json's)."""
    if options is not None and entry.options is not None and entry.options != options:
        return [
            (_manifest_path(out, entry.part), "a part counted with other options than the run's")
        ]
    problems: list[tuple[str, str]] = []
    for dataset in entry.datasets:
        path = _part_path(out, dataset, entry.part)
        try:
            size = os.stat(path).st_size
            if entry.files is None:
                if full:
                    problem = _genome_problem(_read_parquet(path), dataset, entry)
                    if problem:
                        problems.append((path, problem))
                continue
            recorded = entry.files[dataset]
            if size != recorded["size"]:
                problems.append(
                    (
                        path,
                        f"{size} bytes, not the {recorded['size']} its manifest "
                        "entry records (cut short or written over)",
                    )
                )
            elif full and _digest(path)[1] != recorded["sha256"]:
                problems.append(
                    (
                        path,
                        "changed since it was written (its SHA-256 is not the "
                        "one its manifest entry records)",
                    )
                )
        except FileNotFoundError:
            problems.append((path, "missing"))
        except OSError as error:
            problems.append((path, error.strerror or str(error)))
        except DamagedRunError as error:
            problems += error.problems
    return problems


def _read_parquet(path: str, data: bytes | None = None) -> pyarrow.Table:
    """The Parquet file `path` (or its bytes, already read); one that does not read as
    Parquet raises DamagedRunError."""
    import pyarrow
    import pyarrow.parquet

    try:
        return pyarrow.parquet.read_table(path if data is None else pyarrow.BufferReader(data))
    except (pyarrow.ArrowException, OSError) as error:
        if isinstance(error, OSError) and error.errno is not None:
            raise
        raise DamagedRunError(
            os.path.dirname(os.path.dirname(path)),
            [(path, f"not a Parquet file that reads ({error})")],
        ) from None


def _genome_problem(table: pyarrow.Table, dataset: str, entry: _Entry) -> str | None:
    """What is wrong with the genomes a part's file holds, for an entry that records no
    checksum: profiles/ and genomes/ hold the genomes that did not fail (genomes/ once each),
    errors/ those that did, hits/ some of those that did not."""
    if "genome" not in table.column_names:
        return "holds no genome column"
    held = table.column("genome").to_pylist()
    failed = set(entry.failed)
    wanted = {"errors": [item.genome for item in entry.inputs if item.path in failed]}.get(
        dataset, entry.genomes
    )
    if dataset == "hits":
        wrong = not set(held) <= set(wanted)
    elif dataset in ("profiles", "sketches"):
        wrong = set(held) != set(wanted)
    else:
        wrong = sorted(held) != sorted(wanted)
    return "holds other genomes than its manifest entry lists" if wrong else None


def _read_settings(out: str) -> dict[str, Any]:
    """The options run.json records; DamagedRunError when it does not read."""
    settings = os.path.join(out, "run.json")
    try:
        with open(settings, encoding="utf-8") as text:
            stored = json.load(text)
    except ValueError as error:
        raise DamagedRunError(out, [(settings, f"does not read ({error})")]) from None
    if not isinstance(stored, dict) or not isinstance(stored.get("options"), dict):
        raise DamagedRunError(out, [(settings, "does not read (no options)")])
    # An option added since the run was written has the value that keeps its old meaning.
    options: dict[str, Any] = {**_OPTION_DEFAULTS, **stored["options"]}
    return options


def _remove_part(out: str, part: str) -> None:
    # The manifest entry first: from then on the part is invisible, whatever remains of it.
    _remove(_manifest_path(out, part))
    for dataset in DATASETS:
        _remove(_part_path(out, dataset, part))


def _remove(path: str) -> None:
    """Removes the file `path`, or the directory put in a file's place by hand."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    except IsADirectoryError:
        import shutil

        shutil.rmtree(path)


def _remove_strays(
    out: str, parts: Iterable[str], folders: tuple[str, ...] = (*DATASETS, "manifest")
) -> None:
    """Removes every file of the datasets and the manifest (or of `folders`) that no manifest
    entry names: parts and temporary files of batches that never finished."""
    keep = {part + ".parquet" for part in parts} | {part + ".json" for part in parts}
    for dataset in folders:
        directory = os.path.join(out, dataset)
        if not os.path.isdir(directory):
            continue
        for name in os.listdir(directory):
            if name not in keep:
                _remove(os.path.join(directory, name))


@contextlib.contextmanager
def _locked(out: str) -> Iterator[None]:
    """Holds the run directory's lock: two drivers on one directory would undo each other."""
    with open(os.path.join(out, ".lock"), "a") as lock:
        try:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RunLockedError(f"{out}: another run is writing to this directory") from None
        yield


def _prepare(out: str, options: _Options, resume: bool) -> bool:
    """Makes the run directory, or checks an existing run counts with the same options (or
    clears it when not resuming). Returns True when run.json was there but did not read: it
    is written anew, and only parts whose entries record the same options are kept."""
    settings = os.path.join(out, "run.json")
    repaired = False
    if os.path.lexists(settings):
        if not resume:
            # The manifest entries first, so that an interruption leaves no part visible.
            _remove_strays(out, (), ("manifest",))
            _remove_strays(out, ())
        else:
            try:
                stored = _read_settings(out)
            except DamagedRunError:
                repaired = True
            else:
                if stored != dataclasses.asdict(options):
                    differences = options.differences(stored)
                    raise _OptionError(
                        f"{out} holds a run with {differences}: pass "
                        "resume=False (--no-resume) to replace it, or another "
                        "directory"
                    )
    for directory in (*DATASETS, "manifest"):
        os.makedirs(os.path.join(out, directory), exist_ok=True)
    _write_json_atomic({"format": _FORMAT, "options": dataclasses.asdict(options)}, settings)
    return repaired
