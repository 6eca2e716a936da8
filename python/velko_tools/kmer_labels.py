"""The column labels of k-mer tables, made on demand rather than held."""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator, Sequence
from typing import overload

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core


def _labels(k: int) -> list[str]:
    """All k-mers in base-4 order (k = 0: the empty one)."""
    return ["".join(letters) for letters in itertools.product("ACGT", repeat=k)]


class KmerLabels(Sequence[str]):
    """The column labels of a KmerTable (``"AAAA"``, ``"AAAC"``, ...), made on demand.

    A table of k = 13 has 67 million columns: a list of their labels would take gigabytes and
    seconds to build, for a header that most callers never read. This sequence holds only k and
    the strands, and makes each label when it is indexed or iterated; it equals any sequence of
    the same labels.
    """

    __slots__ = ("_codes", "canonical", "k")

    def __init__(self, k: int, canonical: bool = False) -> None:
        self.k = k
        self.canonical = canonical
        self._codes: npt.NDArray[np.uint64] | None = None

    def _code(self, index: int) -> int:
        if not self.canonical:
            return index
        if self._codes is None:
            self._codes = _core.canonical_kmers(self.k)
        return int(self._codes[index])

    def __len__(self) -> int:
        space = 1 << (2 * self.k)
        if not self.canonical:
            return space
        # Odd k: no k-mer is its own reverse complement; even k: 4^(k/2) of them are.
        return space // 2 if self.k % 2 else (space + (1 << self.k)) // 2

    @overload
    def __getitem__(self, index: int) -> str: ...

    @overload
    def __getitem__(self, index: slice) -> list[str]: ...

    def __getitem__(self, index: int | slice) -> str | list[str]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        size = len(self)
        position = index.__index__()
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError("k-mer label index out of range")
        code = self._code(position)
        return "".join("ACGT"[(code >> shift) & 3] for shift in range(2 * self.k - 2, -1, -2))

    def __iter__(self) -> Iterator[str]:
        # Each label as two halves looked up (a few thousand strings made once): a table
        # header of millions of labels is written in a second rather than letter by letter.
        low = self.k // 2
        halves = [_labels(self.k - low), _labels(low)]
        mask = (1 << (2 * low)) - 1
        codes: Iterable[int] = range(len(self))
        if self.canonical:
            if self._codes is None:
                self._codes = _core.canonical_kmers(self.k)
            codes = self._codes.tolist()
        high_labels, low_labels = halves
        return (high_labels[code >> (2 * low)] + low_labels[code & mask] for code in codes)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, KmerLabels):
            return (self.k, self.canonical) == (other.k, other.canonical)
        if isinstance(other, (list, tuple)):
            return len(other) == len(self) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<KmerLabels k={self.k}{' canonical' if self.canonical else ''} ({len(self)})>"

    def __reduce__(self) -> tuple[type[KmerLabels], tuple[int, bool]]:
        return type(self), (self.k, self.canonical)
