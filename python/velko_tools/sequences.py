"""Sequence functions: the IUPAC reverse complement."""

from __future__ import annotations

import velko_tools._core as _core


def reverse_complement(seq: str, *, rna: bool = False) -> str:
    """The reverse complement of a DNA or RNA sequence over the IUPAC codes.

    A C G T U R Y S W K M B D H V N map to their complements in either case (the case is
    kept, U pairs with A), and ``-`` and ``.`` stay as they are. A pairs with T, or with U
    when ``rna`` is true::

        >>> reverse_complement("ACGTacgtNNRY")
        'RYNNacgtACGT'
        >>> reverse_complement("ACGU", rna=True)
        'ACGU'

    Any other character raises ValueError naming it and its 0-based position.
    """
    return _core.reverse_complement(seq, rna=rna)
