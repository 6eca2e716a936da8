"""Reading a run back: open_run and Run, and check_run, which checks every part against the
manifest."""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from velko_tools._args import StrPath
from velko_tools.errors import DamagedRunError
from velko_tools.kmer_labels import KmerLabels
from velko_tools.kmers import KmerTable
from velko_tools.runs.options import _Options
from velko_tools.runs.sketches import sketches_of, sketches_table
from velko_tools.runs.store import (
    _ERROR_SCHEMA,
    _HIT_SCHEMA,
    DATASETS,
    _Entry,
    _genome_problem,
    _genome_schema,
    _manifest_path,
    _part_path,
    _part_problems,
    _profiles_table,
    _read_manifest,
    _read_parquet,
    _read_settings,
    _rows_table,
)
from velko_tools.sketches import SketchTable
from velko_tools.sparse import SparseKmerTable

if TYPE_CHECKING:
    import pandas
    import pyarrow

    from velko_tools.hits import HitTable


class Run:
    """A run directory as its manifest says it is: only parts with a manifest entry count.

    ``profiles()`` is a KmerTable (rows sorted by genome, records in file order),
    ``genomes()`` and ``errors()`` pandas DataFrames sorted by genome, ``hits()`` a HitTable
    and ``hits_frame()`` a pandas DataFrame of a run that searched, ``table(name)`` any
    dataset as a pyarrow Table sorted the same way, and ``to_dask(name)`` a Dask DataFrame over
    its parts (needs dask). ``inputs`` lists the manifest's inputs (path, genome, size,
    mtime_ns).
    """

    def __init__(self, out: StrPath, *, verify: bool = False) -> None:
        self.out = os.path.abspath(os.fsdecode(out))
        if not os.path.lexists(os.path.join(self.out, "run.json")):
            raise FileNotFoundError(f"{self.out}: not a run directory (no run.json)")
        self.options: dict[str, Any] = _read_settings(self.out)
        entries, damaged = _read_manifest(self.out)
        problems = [(_manifest_path(self.out, part), reason) for part, reason in damaged.items()]
        problems += _run_problems(self.out, entries, self.options, full=verify)
        if problems:
            raise DamagedRunError(self.out, problems)
        self._manifest = entries

    @property
    def inputs(self) -> list[dict[str, Any]]:
        return sorted(
            (item.entry() for entry in self._manifest.values() for item in entry.inputs),
            key=lambda item: item["genome"],
        )

    def parts(self, dataset: str) -> list[str]:
        """The files of `dataset` that belong to the run, in part order."""
        return [_part_path(self.out, dataset, entry.part) for entry in self._entries(dataset)]

    def _entries(self, dataset: str) -> list[_Entry]:
        if dataset not in DATASETS:
            raise ValueError(f"dataset must be one of {', '.join(DATASETS)}, not {dataset!r}")
        return [entry for _, entry in sorted(self._manifest.items()) if dataset in entry.datasets]

    def _read_part(self, entry: _Entry, dataset: str) -> pyarrow.Table:
        """A part's file, checked against its manifest entry as it is read: by its SHA-256, or
        for an entry of format 1 by the genomes it holds."""
        path = _part_path(self.out, dataset, entry.part)
        try:
            with open(path, "rb") as file:
                data = file.read()
        except FileNotFoundError:
            raise DamagedRunError(self.out, [(path, "missing")]) from None
        if entry.files is not None:
            recorded = entry.files[dataset]
            if (
                len(data) != recorded["size"]
                or hashlib.sha256(data).hexdigest() != recorded["sha256"]
            ):
                raise DamagedRunError(
                    self.out,
                    [
                        (
                            path,
                            "changed since it was written (its "
                            "size or SHA-256 is not the one its manifest "
                            "entry records)",
                        )
                    ],
                )
            return _read_parquet(path, data)
        table = _read_parquet(path, data)
        problem = _genome_problem(table, dataset, entry)
        if problem:
            raise DamagedRunError(self.out, [(path, problem)])
        return table

    def table(self, dataset: str) -> pyarrow.Table:
        """`dataset` as one pyarrow Table, rows sorted by genome (stable: records in order)."""
        import pyarrow

        parts = [self._read_part(entry, dataset) for entry in self._entries(dataset)]
        table = pyarrow.concat_tables(parts) if parts else _empty_table(dataset, self.options)
        order = np.argsort(
            np.asarray(table.column("genome").to_pylist(), dtype=object), kind="stable"
        )
        return table.take(pyarrow.array(order, pyarrow.int64()))

    def profiles(self) -> KmerTable | SparseKmerTable:
        """One profile per genome (or record), sorted by genome: a KmerTable, or for a run of
        sparse profiles a SparseKmerTable."""
        options = self.options
        table = self.table("profiles")
        if options.get("layout") == "sparse":
            return _sparse_profiles(table, options)
        kmers = _kmer_labels(table, options)
        values = _flat_values(table.column("counts"))
        return KmerTable(
            kmers=kmers,
            counts=values.reshape(len(table), len(kmers)),
            **_row_columns(table, options),
        )

    # These tables hold a row per genome: converted on this thread, they never start pyarrow's
    # pool of threads, whose teardown at interpreter exit has been seen to abort the process
    # (SIGABRT after a successful command) on a loaded machine.
    def genomes(self) -> pandas.DataFrame:
        return self.table("genomes").to_pandas(use_threads=False)

    def errors(self) -> pandas.DataFrame:
        return self.table("errors").to_pandas(use_threads=False)

    def sketches(self) -> SketchTable:
        """sketches/ as one SketchTable, rows sorted by genome (records in order). Raises
        ValueError for a run without sketches (run_genomes without sketch)."""
        if self.options.get("sketch_k") is None:
            raise ValueError(f"{self.out}: this run took no sketches (run_genomes without sketch)")
        return sketches_of(self.table("sketches"), self.options)

    @property
    def searched(self) -> bool:
        """True for a run that searched genes against profiles (hmm_file)."""
        return self.options.get("hmm_file") is not None

    def _hits_table(self, top: bool) -> pyarrow.Table:
        if not self.searched:
            raise ValueError(
                f"{self.out}: this run searched no profiles (run_genomes without hmm_file)"
            )
        table = self.table("hits")
        return table.filter(table.column("genome_best")) if top else table

    def hits(self, *, top: bool = False) -> HitTable:
        """Each gene's best hit per profile, over every genome; ``top=True`` keeps each
        genome's top hit per profile alone. Raises ValueError for a run without hmm_file."""
        from velko_tools.hits import HitTable

        table = self._hits_table(top)
        return HitTable._from_columns(
            table.column("gene_id").to_pylist(),
            table.column("hmm_id").to_pylist(),
            table.column("e_value").to_numpy(),
            table.column("bit_score").to_numpy(),
        )

    def hits_frame(self, *, top: bool = False) -> pandas.DataFrame:
        """hits/ as a DataFrame sorted by genome (genes in genome order): genome, gene_id,
        hmm_id, e_value, bit_score, genome_best."""
        return self._hits_table(top).to_pandas()

    def to_dask(self, dataset: str) -> Any:
        import dask.dataframe

        files = self.parts(dataset)
        if not files:
            return dask.dataframe.from_pandas(self.table(dataset).to_pandas(), npartitions=1)
        return dask.dataframe.read_parquet(files)

    def __repr__(self) -> str:
        return f"<Run {self.out!r} genomes={len(self.inputs)} parts={len(self._manifest)}>"


def _run_problems(
    out: str, entries: dict[str, _Entry], options: dict[str, Any] | None, full: bool
) -> list[tuple[str, str]]:
    """Every problem of the parts of `entries` (see _part_problems), and each genome that is in
    two parts."""
    problems: list[tuple[str, str]] = []
    owners: dict[str, str] = {}
    for part, entry in entries.items():
        problems += _part_problems(out, entry, options, full)
        for item in entry.inputs:
            owner = owners.setdefault(item.genome, part)
            if owner != part:
                problems.append(
                    (_manifest_path(out, part), f"genome {item.genome!r} is in {owner} too")
                )
    return problems


@dataclasses.dataclass(frozen=True)
class RunCheck:
    """What check_run found: ``parts`` and ``genomes`` (those of readable manifest entries),
    ``failed`` (genomes in errors/), and ``problems``, each a (file, what is wrong) pair;
    ``ok`` when there are none."""

    out: str
    parts: int
    genomes: int
    failed: int
    problems: list[tuple[str, str]]

    @property
    def ok(self) -> bool:
        return not self.problems


def check_run(out: StrPath) -> RunCheck:
    """Checks every file of the run directory `out` against its manifest (each part there, of
    its recorded size and SHA-256, each manifest entry and run.json readable, no genome in two
    parts) without changing anything. FileNotFoundError when `out` holds no run."""
    directory = os.path.abspath(os.fsdecode(out))
    if not os.path.lexists(os.path.join(directory, "run.json")):
        raise FileNotFoundError(f"{directory}: not a run directory (no run.json)")
    options: dict[str, Any] | None
    try:
        options = _read_settings(directory)
        problems: list[tuple[str, str]] = []
    except DamagedRunError as error:
        options, problems = None, error.problems
    entries, damaged = _read_manifest(directory)
    problems += [(_manifest_path(directory, part), reason) for part, reason in damaged.items()]
    problems += _run_problems(directory, entries, options, full=True)
    return RunCheck(
        out=directory,
        parts=len(entries),
        genomes=sum(len(entry.inputs) for entry in entries.values()),
        failed=sum(len(entry.failed) for entry in entries.values()),
        problems=problems,
    )


def _sparse_profiles(table: pyarrow.Table, options: dict[str, Any]) -> SparseKmerTable:
    codes = table.column("codes").combine_chunks()
    indptr: Any = np.zeros(1, dtype=np.uint64)
    if len(table) != 0:
        offsets = np.asarray(codes.offsets, dtype=np.int64)
        indptr = (offsets - offsets[0]).astype(np.uint64)
    return SparseKmerTable(
        indptr=indptr,
        codes=_flat_values(codes),
        counts=_flat_values(table.column("counts")),
        **_row_columns(table, options),
    )


def _flat_values(column: Any) -> Any:
    """The values of a list column (chunked or combined), one uint64 array over all its rows."""
    import pyarrow

    if isinstance(column, pyarrow.ChunkedArray):
        column = column.combine_chunks()
    flat = column.flatten()
    return flat.to_numpy(zero_copy_only=False).astype(np.uint64, copy=False)


def _row_columns(table: pyarrow.Table, options: dict[str, Any]) -> dict[str, Any]:
    """What every profile row holds beside its counts, as keywords of either table: its id
    (the record, or the genome), path, windows and skipped windows, and its start and end in
    the record when counted in windows (else None); and the run's k and strands."""
    ids = table.column("record" if options["per_record"] else "genome").to_pylist()
    windowed = "start" in table.column_names
    return {
        "ids": ids,
        "files": table.column("path").to_pylist(),
        "k": options["k"],
        "strands": options["strands"],
        "windows": table.column("windows").to_numpy().astype(np.uint64),
        "skipped": table.column("skipped").to_numpy().astype(np.uint64),
        "starts": table.column("start").to_numpy().astype(np.uint64) if windowed else None,
        "ends": table.column("end").to_numpy().astype(np.uint64) if windowed else None,
    }


def _kmer_labels(table: pyarrow.Table, options: dict[str, Any]) -> Sequence[str]:
    metadata = table.schema.metadata or {}
    if b"velko.kmers" in metadata:  # parts written before the labels were left out
        return list(json.loads(metadata[b"velko.kmers"]))
    return KmerLabels(options["k"], canonical=options["strands"] == "canonical")


def _empty_table(dataset: str, options: dict[str, Any]) -> pyarrow.Table:
    if dataset == "genomes":
        return _rows_table([], _genome_schema(options.get("hmm_file") is not None))
    if dataset == "errors":
        return _rows_table([], _ERROR_SCHEMA)
    if dataset == "hits":
        return _rows_table([], _HIT_SCHEMA)
    if dataset == "sketches":
        return sketches_table([])
    return _profiles_table([], _Options(**options))


def open_run(out: StrPath, *, verify: bool = False) -> Run:
    """The run directory `out` as run_genomes left it (finished batches only): see Run.

    Checks that every part its manifest names is there with its recorded size and that no
    genome is in two parts; each part's SHA-256 is checked as a dataset is read, and with
    ``verify=True`` every part's at once (as check_run does). Raises FileNotFoundError when
    `out` holds no run, DamagedRunError (naming the file) when it is damaged.
    """
    return Run(out, verify=verify)
