"""The work of one batch, in a worker: each genome counted (and searched), its parts written,
what the manifest entry records of them returned to the driver."""

from __future__ import annotations

import dataclasses
import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from velko_tools.counting import count_and_tally
from velko_tools.kmers import KmerTable
from velko_tools.runs.inputs import _Input, _input_digest
from velko_tools.runs.options import _Options
from velko_tools.runs.search import _profiles, _search_genome
from velko_tools.runs.sketches import sketch_genome, sketches_table
from velko_tools.runs.store import (
    _ERROR_SCHEMA,
    _HIT_SCHEMA,
    _genome_schema,
    _profiles_table,
    _rows_table,
    _write_atomic,
)
from velko_tools.sketches import SketchTable
from velko_tools.sparse import SparseKmerTable

if TYPE_CHECKING:
    import numpy.typing as npt
    import pyarrow


@dataclasses.dataclass
class _Batch:
    part: str
    inputs: list[_Input]
    attempts: int = 0
    # With verify_inputs="checksum": the worker records each input's SHA-256 too.
    hash_inputs: bool = False


def _error_row(path: str, genome: str, error: BaseException) -> dict[str, Any]:
    line = getattr(error, "line", None)
    column = getattr(error, "column", None)
    return {
        "genome": genome,
        "path": path,
        "error": type(error).__name__,
        "message": str(error),
        "line": line if isinstance(line, int) else None,
        "column": column if isinstance(column, int) else None,
    }


def _count_genome(
    item: _Input, options: _Options
) -> tuple[KmerTable | SparseKmerTable, dict[str, Any]]:
    """The genome's profile (one row, or one per record) and its row of genomes/."""
    # The record count, length and GC share come from the same read as the profile.
    profile, tallies = count_and_tally(
        item.path,
        options.k,
        strands=options.strands,
        invalid=options.invalid,
        layout=options.layout,
        per_file=not options.per_record,
        threads=1,
        tally=True,
    )
    return profile, _genome_row(item, tallies[0])


def _genome_row(item: _Input, tally: npt.NDArray[np.uint64]) -> dict[str, Any]:
    records, length, *bases = (int(value) for value in tally)
    acgt = sum(bases)
    return {
        "genome": item.genome,
        "path": item.path,
        "records": records,
        "length": length,
        "gc": (bases[1] + bases[2]) / acgt if acgt else math.nan,
    }


# Genomes counted in one call share its fixed costs (the call, the threads, taking the
# interpreter lock back), which at k = 4 are about as much as counting a bacterial genome; a
# group's dense rows stay within this many bytes.
_GROUP_BYTES = 16 << 20


def _count_group(items: list[_Input], options: _Options) -> dict[str, tuple[KmerTable, Any]]:
    """The profiles and genomes/ rows of dense one-row profiles, counted a group of genomes per
    call; empty for any other layout, and for a group that holds a genome that fails, whose
    genomes are then counted one by one, each failure its own."""
    if options.layout != "dense" or options.per_record or len(items) < 2:
        return {}
    width = 8 * 4**options.k
    size = max(1, _GROUP_BYTES // width)
    found: dict[str, tuple[KmerTable, Any]] = {}
    for start in range(0, len(items), size):
        group = items[start : start + size]
        if len(group) < 2:
            break
        try:
            table, tallies = count_and_tally(
                [item.path for item in group],
                options.k,
                strands=options.strands,
                invalid=options.invalid,
                layout="dense",
                per_file=True,
                threads=1,
                tally=True,
            )
        except Exception:  # noqa: BLE001  (the genomes go one by one instead)
            continue
        assert isinstance(table, KmerTable)
        for row, item in enumerate(group):
            profile = KmerTable(
                table.ids[row : row + 1],
                table.files[row : row + 1],
                table.k,
                table.strands,
                table.kmers,
                table.counts[row : row + 1],
                table.windows[row : row + 1],
                table.skipped[row : row + 1],
            )
            found[item.path] = profile, _genome_row(item, tallies[row])
    return found


def _run_batch(out: str, batch: _Batch, options: _Options, on_error: str) -> dict[str, Any]:
    """Counts a batch and writes its parts; returns the failures (in "raise" mode the first,
    as the exception itself, and nothing is written). Errors of a genome's content are
    returned, not raised, so that a scheduler retries only what failed around them."""
    profiles: list[tuple[str, Any]] = []
    genome_rows: list[dict[str, Any]] = []
    hit_rows: list[dict[str, Any]] = []
    error_rows: list[dict[str, Any]] = []
    sketches: list[tuple[str, SketchTable]] = []
    searched = options.hmm_file is not None
    sketched = options.sketch_k is not None
    if searched:
        # Outside the genomes' own failures: a profile file that cannot be read fails the
        # batch, not each genome in turn.
        _profiles(options)
    grouped = _count_group(batch.inputs, options)
    for item in batch.inputs:
        try:
            profile, row = grouped.pop(item.path, None) or _count_genome(item, options)
            if searched:
                hits, row["genes"] = _search_genome(item, options, row["length"])
            if sketched:
                sketches.append((item.genome, sketch_genome(item, options)))
        except Exception as error:  # noqa: BLE001  (each genome's failure is its own)
            if on_error == "raise":
                return {"raised": error, "path": item.path}
            error_rows.append(_error_row(item.path, item.genome, error))
            continue
        profiles.append((item.genome, profile))
        genome_rows.append(row)
        if searched:
            hit_rows += hits
    files: dict[str, dict[str, Any]] = {}

    def write(dataset: str, table: pyarrow.Table) -> None:
        files[dataset] = _write_atomic(table, os.path.join(out, dataset, batch.part + ".parquet"))

    if profiles:
        write("profiles", _profiles_table(profiles, options))
        write("genomes", _rows_table(genome_rows, _genome_schema(searched)))
        if searched:
            # Written even when empty: every searched batch has its part, as profiles/ has.
            write("hits", _rows_table(hit_rows, _HIT_SCHEMA))
        if sketched:
            write("sketches", sketches_table(sketches))
    if error_rows:
        write("errors", _rows_table(error_rows, _ERROR_SCHEMA))
    # Hashed after the count: an input changed in between looks changed at the next resume.
    hashes = (
        {item.path: _input_digest(item.path) for item in batch.inputs} if batch.hash_inputs else {}
    )
    return {
        "written": list(files),
        "files": files,
        "hashes": hashes,
        "failed": [row["path"] for row in error_rows],
    }
