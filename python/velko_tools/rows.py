"""What the row tables share, and the fields of a dense k-mer table with their frequencies.

The fields stand here, below every module that reads them (the writers in tables.py, the
features in row_features.py), so that none of those needs KmerTable's module and its methods,
which call back into them.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from velko_tools._args import Strands


def _field_names(cls: type) -> tuple[str, ...]:
    """The slots of `cls` and its bases, the bases' first: a slotted dataclass's fields in
    order, whichever class of its line declares them."""
    return tuple(
        name for base in reversed(cls.__mro__) for name in base.__dict__.get("__slots__", ())
    )


class _RowTable:
    """What the row tables share: rows named by ``ids`` and ``files``, equality field by field
    (arrays by value), and pickling by the constructor's arguments, which the slots of the class
    and its bases name in order (a slotted dataclass lists its fields so)."""

    __slots__: tuple[str, ...] = ()
    ids: list[str]

    def __len__(self) -> int:
        return len(self.ids)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        for field in _field_names(type(self)):
            mine, theirs = getattr(self, field), getattr(other, field)
            # Either may be an array where the other is None (a table with places and one
            # without): compared as arrays, they differ.
            if isinstance(mine, np.ndarray) or isinstance(theirs, np.ndarray):
                if not np.array_equal(mine, theirs):
                    return False
            elif mine != theirs:
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[_RowTable], tuple[Any, ...]]:
        return type(self), tuple(getattr(self, field) for field in _field_names(type(self)))


@dataclasses.dataclass(eq=False, repr=False, slots=True)
class KmerRows(_RowTable):
    """The fields of a dense k-mer table, as velko_tools.KmerTable documents them, and what
    follows from them alone."""

    ids: list[str]
    files: list[str]
    k: int
    strands: Strands
    kmers: Sequence[str]
    counts: npt.NDArray[np.uint64]
    windows: npt.NDArray[np.uint64]
    skipped: npt.NDArray[np.uint64]
    starts: npt.NDArray[np.uint64] | None = None
    ends: npt.NDArray[np.uint64] | None = None

    def frequencies(self) -> npt.NDArray[np.float64]:
        """Each row divided by its window count (``float64``); a row without windows stays 0."""
        return row_frequencies(self.counts, self.windows)


def row_frequencies(
    counts: npt.NDArray[np.uint64], windows: npt.NDArray[np.uint64]
) -> npt.NDArray[np.float64]:
    """Each row of `counts` divided by its entry of `windows`; a row without windows stays 0."""
    totals = windows.astype(np.float64)[:, None]
    out = np.zeros(counts.shape, dtype=np.float64)
    np.divide(counts, totals, out=out, where=totals > 0)
    return out
