"""Writing k-mer tables: TSV (plain or gzip), NumPy .npz and Parquet, chosen by file suffix."""

from __future__ import annotations

import gzip
import importlib.util
import sys
from typing import TYPE_CHECKING, TextIO

import numpy as np
import numpy.typing as npt

from velko_tools.errors import UsageError

if TYPE_CHECKING:
    from velko_tools.kmers import KmerTable

FORMATS = (".tsv.gz", ".tsv", ".npz", ".parquet")


def output_format(path: str) -> str:
    """The format a file name asks for, by suffix; UsageError when it names none we write."""
    for suffix in FORMATS:
        if path.endswith(suffix):
            if suffix == ".parquet" and importlib.util.find_spec("pyarrow") is None:
                raise UsageError("writing .parquet needs pyarrow: pip install pyarrow")
            return suffix
    raise UsageError(f"cannot tell the output format of {path!r}: name it .tsv, .tsv.gz, .npz "
                     "or .parquet")


def _values(
    table: KmerTable, frequencies: bool
) -> npt.NDArray[np.uint64] | npt.NDArray[np.float64]:
    return table.frequencies() if frequencies else table.counts


def write_tsv(table: KmerTable, out: TextIO, frequencies: bool) -> None:
    """An ``id`` column, then one column per k-mer; floats in their shortest exact form."""
    out.write("\t".join(["id", *table.kmers]) + "\n")
    values = _values(table, frequencies)
    text = repr if frequencies else str
    for row_id, row in zip(table.ids, values.tolist()):
        out.write(row_id + "\t" + "\t".join(map(text, row)) + "\n")


def write_table(table: KmerTable, path: str | None, *, frequencies: bool = False) -> None:
    """Writes `table` to `path` in the format its suffix names, or as TSV to standard output."""
    if path is None:
        write_tsv(table, sys.stdout, frequencies)
        return
    kind = output_format(path)
    values = _values(table, frequencies)
    if kind == ".tsv":
        with open(path, "w", encoding="utf-8", newline="\n") as out:
            write_tsv(table, out, frequencies)
    elif kind == ".tsv.gz":
        with gzip.open(path, "wt", encoding="utf-8", newline="\n") as out:
            write_tsv(table, out, frequencies)
    elif kind == ".npz":
        with open(path, "wb") as binary:
            np.savez(binary, ids=np.array(table.ids, dtype=str),
                     kmers=np.array(table.kmers, dtype=str), counts=values,
                     windows=table.windows, skipped=table.skipped)
    else:
        import pyarrow
        import pyarrow.parquet

        columns = [pyarrow.array(table.ids, type=pyarrow.string())]
        columns += [pyarrow.array(values[:, j]) for j in range(values.shape[1])]
        pyarrow.parquet.write_table(
            pyarrow.Table.from_arrays(columns, names=["id", *table.kmers]), path)
