"""The sketches/ dataset of a run: each genome's (or record's) FracMinHash sketch, taken in the
same task as its profile, and read back as one SketchTable."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from velko_tools.sketches import MAX_SCALED, MAX_SKETCH_K, SketchTable, sketch

if TYPE_CHECKING:
    import pyarrow

    from velko_tools.runs.inputs import _Input
    from velko_tools.runs.options import _Options

# What run_genomes(sketch=...) takes, and the values it leaves out.
SKETCH_DEFAULTS = {"k": 31, "scaled": 1000, "seed": 42}


def check_sketch(asked: dict[str, Any] | None) -> dict[str, int] | None:
    """The sketch options run_genomes was given, completed with the defaults; None for none."""
    if asked is None:
        return None
    if not isinstance(asked, dict):
        raise TypeError(f"sketch must be a dict such as {SKETCH_DEFAULTS}, not {asked!r}")
    unknown = sorted(set(asked) - set(SKETCH_DEFAULTS))
    if unknown:
        raise ValueError(f"sketch takes k, scaled and seed, not {', '.join(unknown)}")
    chosen = {**SKETCH_DEFAULTS, **asked}
    bounds = {"k": (1, MAX_SKETCH_K), "scaled": (1, MAX_SCALED), "seed": (0, 2**64 - 1)}
    for name, (least, most) in bounds.items():
        value = chosen[name]
        if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
            raise ValueError(f"sketch {name} must be an int from {least} to {most}, not {value!r}")
    return chosen


def sketch_genome(item: _Input, options: _Options) -> SketchTable:
    """The genome's sketch: one row, or one per record for a run of records."""
    return sketch(
        item.path,
        k=options.sketch_k or SKETCH_DEFAULTS["k"],
        scaled=options.sketch_scaled or SKETCH_DEFAULTS["scaled"],
        seed=options.sketch_seed if options.sketch_seed is not None else SKETCH_DEFAULTS["seed"],
        per_file=not options.per_record,
        threads=1,
    )


def sketches_table(tables: list[tuple[str, SketchTable]]) -> pyarrow.Table:
    """sketches/: genome, id (the genome's, or the record's), path, hashes (a list of uint64,
    ascending)."""
    import pyarrow

    genomes: list[str] = []
    ids: list[str] = []
    paths: list[str] = []
    sizes: list[np.ndarray[Any, Any]] = [np.zeros(1, dtype=np.int64)]
    hashes: list[np.ndarray[Any, Any]] = []
    for genome, table in tables:
        genomes += [genome] * len(table)
        ids += [genome] * len(table) if len(table) == 1 and table.ids == table.files else table.ids
        paths += table.files
        sizes.append(np.diff(table.indptr).astype(np.int64))
        hashes.append(table.hashes)
    offsets = np.cumsum(np.concatenate(sizes))
    flat = np.concatenate(hashes) if hashes else np.zeros(0, dtype=np.uint64)
    return pyarrow.table(
        {
            "genome": pyarrow.array(genomes, pyarrow.string()),
            "id": pyarrow.array(ids, pyarrow.string()),
            "path": pyarrow.array(paths, pyarrow.string()),
            "hashes": pyarrow.LargeListArray.from_arrays(
                pyarrow.array(offsets, pyarrow.int64()), pyarrow.array(flat, pyarrow.uint64())
            ),
        }
    )


def sketches_of(table: pyarrow.Table, options: dict[str, Any]) -> SketchTable:
    """The SketchTable of a run's sketches/ rows (sorted by genome, as the run reads them)."""
    column = table.column("hashes").combine_chunks()
    if len(table):
        indptr = np.asarray(column.offsets, dtype=np.uint64)
        indptr -= indptr[0]
        hashes = column.flatten().to_numpy()
    else:
        indptr, hashes = np.zeros(1, dtype=np.uint64), np.zeros(0, dtype=np.uint64)
    return SketchTable(
        table.column("id").to_pylist(),
        table.column("path").to_pylist(),
        options["sketch_k"],
        options["sketch_scaled"],
        options["sketch_seed"],
        indptr,
        hashes,
    )
