"""Composition features of k-mer tables, tetranucleotide z-scores and nearest rows.

Binners and genome-quality tools start from the tetranucleotide composition of each record;
this module gives the forms they use (KmerTable.features) and the nearest rows of a table
(KmerTable.neighbours), both from row_features.py, and the z-scores of the TETRA comparison
(tetra_zscores, TetraTable), each without a temporary the size of the table beyond its own
result.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
from velko_tools._args import Progress, StrPath, input_parts, native_inputs, usable_cores
from velko_tools.counting import window_span
from velko_tools.kmer_labels import KmerLabels
from velko_tools.kmers import MAX_COUNT, MAX_THREADS, _progress_reporter
from velko_tools.row_features import Feature, Metric, _standardised, features, neighbours

if TYPE_CHECKING:
    import pandas


@dataclasses.dataclass(eq=False, repr=False, slots=True)
class TetraTable:
    """Tetranucleotide z-scores of FASTA files or records: one row each, 256 columns.

    ``ids`` names the rows (the paths as given with ``per_file``, else record ids), ``files``
    the file each row came from, ``zscores`` the z-scores as ``float64`` rows x 256 in base-4
    order (``kmers``: AAAA, AAAC, ...), ``sizes`` the sequence bytes of each row's records;
    ``starts`` and ``ends`` each row's place in its record when scored in windows (else None).
    """

    ids: list[str]
    files: list[str]
    zscores: npt.NDArray[np.float64]
    sizes: npt.NDArray[np.uint64]
    starts: npt.NDArray[np.uint64] | None = None
    ends: npt.NDArray[np.uint64] | None = None

    def __len__(self) -> int:
        return len(self.ids)

    def __repr__(self) -> str:
        return f"<TetraTable rows={len(self)} files={len(set(self.files))}>"

    def __reduce__(self) -> tuple[type[TetraTable], tuple[object, ...]]:
        return type(self), tuple(getattr(self, field) for field in self.__slots__)

    @property
    def kmers(self) -> list[str]:
        """The column labels: the 256 tetranucleotides in base-4 order."""
        return list(KmerLabels(4))

    def correlation(self, other: TetraTable | None = None) -> npt.NDArray[np.float64]:
        """Pearson's correlation between the z-scores of each row and each row of `other`
        (default: this table), rows x other's rows, as the TETRA comparison of genomes uses
        it; NaN for a row whose z-scores are all equal (no spread to correlate)."""
        mine = _standardised(self.zscores)
        theirs = mine if other is None else _standardised(other.zscores)
        out: npt.NDArray[np.float64] = mine @ theirs.T
        np.clip(out, -1.0, 1.0, out=out)
        return out

    def to_pandas(self) -> pandas.DataFrame:
        """The z-scores as a pandas DataFrame: index ``id``, one column per tetranucleotide."""
        import pandas

        return pandas.DataFrame(
            self.zscores, index=pandas.Index(self.ids, name="id"), columns=self.kmers, copy=False
        )


def tetra_zscores(
    paths: StrPath | Iterable[StrPath],
    *,
    per_file: bool = True,
    min_length: int = 0,
    threads: int | None = None,
    progress: Progress = False,
    window: int | None = None,
    step: int | None = None,
) -> TetraTable:
    """The tetranucleotide z-scores of FASTA files (Teeling et al. 2004), one row per file
    (``per_file=True``) or per record, over both strands.

    Mono- to tetranucleotides are counted on each record and its reverse complement, windows
    over a byte other than A, C, G, T (either case) left out. For each tetranucleotide
    n1n2n3n4 the expected count is E = N(n1n2n3) N(n2n3n4) / N(n2n3), its variance
    V = E (N(n2n3) - N(n1n2n3)) (N(n2n3) - N(n2n3n4)) / N(n2n3)^2, and its z-score
    (N(n1n2n3n4) - E) / sqrt(V); z is 0 where N(n2n3) = 0 or V = 0. Records with fewer than
    `min_length` bases (sequence bytes) are left out (a file then keeps a row of zeros).

    ``window`` and ``step`` (with ``per_file=False``) score windows along each record as
    count_kmers(window=, step=) cuts them, ``starts`` and ``ends`` placing each row.

    Paths, ``threads``, ``progress`` and the errors raised are as for count_kmers."""
    parts = input_parts(paths)
    encoded = [path for path, _ in parts]
    names = [name for _, name in parts]
    if not isinstance(per_file, bool):
        raise TypeError(f"per_file must be a bool, not {type(per_file).__name__}")
    if (
        isinstance(min_length, bool)
        or not isinstance(min_length, int)
        or not 0 <= min_length <= MAX_COUNT
    ):
        raise ValueError(f"min_length must be an int from 0 below 2**64, not {min_length!r}")
    if threads is None:
        threads = usable_cores()
    elif (
        isinstance(threads, bool) or not isinstance(threads, int) or not 1 <= threads <= MAX_THREADS
    ):
        raise ValueError(f"threads must be an int from 1 to {MAX_THREADS} or None, not {threads!r}")
    width, stride = window_span(window, step)
    if width and (per_file or min_length):
        raise ValueError(
            "window gives rows along each record: pass per_file=False, and no min_length"
        )
    report, close = _progress_reporter(progress, encoded)
    try:
        ids, file_index, zscores, sizes, starts, ends = _core.tetra_zscores(
            native_inputs(parts), per_file, min_length, threads, report, width, stride
        )
    finally:
        close()
    files = [names[i] for i in file_index.tolist()]
    places = (starts, ends) if width else (None, None)
    return TetraTable(list(files) if per_file else ids, files, zscores, sizes, *places)


__all__ = ["Feature", "Metric", "TetraTable", "features", "neighbours", "tetra_zscores"]
