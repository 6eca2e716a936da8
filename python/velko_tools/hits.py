"""Profile-search hits: HMMER tables in, top-hit tables out (read_hmmer and HitTable)."""

from __future__ import annotations

import numbers
import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from velko_tools import _core
from velko_tools._args import StrPath, as_paths, check_choice, path_parts

if TYPE_CHECKING:
    import pandas

    from velko.hmmer.tophit import TopHitFile

Format = Literal["tblout", "domtblout"]
Program = Literal["hmmsearch", "hmmscan"]
Score = Literal["sequence", "domain"]
ProfileKey = Literal["name", "accession"]
Row = tuple[str, str, float, float]


def _tophit_file_type() -> type[TopHitFile]:
    import velko  # noqa: F401  (publishes velko.hmmer.tophit)
    from velko.hmmer.tophit import TopHitFile

    return TopHitFile


def _check_score(row: int, field: str, value: object) -> None:
    # NumPy would read a str such as "1e-5" as a number: a score must be one already.
    if isinstance(value, (str, bytes)) or not isinstance(value, numbers.Real):
        raise TypeError(f"row {row}: {field} must be a real number, not {type(value).__name__}")


def _same(a: float, b: float) -> bool:
    """Equal, NaN included: a table read twice holds the same hits."""
    return a == b or (a != a and b != b)


class HitTable:
    """The best hit for each pair of a gene and a profile, as velko's top-hit table keeps it.

    Every hit offered for a pair replaces the stored one only when it is better: a higher bit
    score, or an equal bit score and a lower E-value (ties and NaN keep the hit offered first),
    the rule of ``velko.hmmer.tophit.TopHitFile.add_hit``. ``HitTable(rows)`` offers
    ``(gene_id, hmm_id, e_value, bit_score)`` rows in order; ``read_hmmer`` and
    ``HitTable.read`` fill one from files.

    ``len()`` is the number of pairs. Iteration yields ``(gene_id, hmm_id, e_value,
    bit_score)`` tuples gene by gene, genes in the order they were first offered and each
    gene's profiles likewise; ``gene_ids``, ``hmm_ids``, ``e_values`` and ``bit_scores`` are
    the same rows as columns (lists of str, read-only NumPy ``float64`` arrays). Tables are
    immutable, compare equal when they hold the same hits (in any order; NaN scores equal
    NaN), and pickle.
    """

    __slots__ = ("_core", "_columns")

    def __init__(self, rows: Iterable[Row] = ()) -> None:
        gene_ids: list[str] = []
        hmm_ids: list[str] = []
        e_values: list[float] = []
        bit_scores: list[float] = []
        for row, (gene_id, hmm_id, e_value, bit_score) in enumerate(rows):
            _check_score(row, "e_value", e_value)
            _check_score(row, "bit_score", bit_score)
            gene_ids.append(gene_id)
            hmm_ids.append(hmm_id)
            e_values.append(e_value)
            bit_scores.append(bit_score)
        self._core = _core.tophits_from_columns(
            gene_ids, hmm_ids, np.asarray(e_values, dtype=np.float64),
            np.asarray(bit_scores, dtype=np.float64))
        self._columns: tuple[list[str], list[str], Any, Any] | None = None

    @classmethod
    def _wrap(cls, core: _core.TopHits) -> HitTable:
        table = cls.__new__(cls)
        table._core = core
        table._columns = None
        return table

    @classmethod
    def _from_columns(cls, gene_ids: list[str], hmm_ids: list[str], e_values: Any,
                      bit_scores: Any) -> HitTable:
        return cls._wrap(_core.tophits_from_columns(
            gene_ids, hmm_ids, np.ascontiguousarray(e_values, dtype=np.float64),
            np.ascontiguousarray(bit_scores, dtype=np.float64)))

    def _all_columns(self) -> tuple[list[str], list[str], Any, Any]:
        if self._columns is None:
            gene_ids, hmm_ids, e_values, bit_scores = self._core.columns()
            e_values.flags.writeable = False
            bit_scores.flags.writeable = False
            self._columns = (gene_ids, hmm_ids, e_values, bit_scores)
        return self._columns

    @property
    def gene_ids(self) -> list[str]:
        """The gene of each hit (a new list)."""
        return list(self._all_columns()[0])

    @property
    def hmm_ids(self) -> list[str]:
        """The profile of each hit (a new list)."""
        return list(self._all_columns()[1])

    @property
    def e_values(self) -> npt.NDArray[np.float64]:
        """The E-value of each hit, a read-only ``float64`` array."""
        return self._all_columns()[2]  # type: ignore[no-any-return]

    @property
    def bit_scores(self) -> npt.NDArray[np.float64]:
        """The bit score of each hit, a read-only ``float64`` array."""
        return self._all_columns()[3]  # type: ignore[no-any-return]

    def __len__(self) -> int:
        return len(self._core)

    def __iter__(self) -> Iterator[Row]:
        gene_ids, hmm_ids, e_values, bit_scores = self._all_columns()
        return zip(gene_ids, hmm_ids, e_values.tolist(), bit_scores.tolist())

    def __repr__(self) -> str:
        return (f"<HitTable hits={len(self)} genes={self._core.gene_count()} "
                f"profiles={self._core.profile_count()}>")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, HitTable):
            return NotImplemented
        if len(self) != len(other):
            return False
        mine = {(gene, hmm): (e, bit) for gene, hmm, e, bit in self}
        for gene, hmm, e, bit in other:
            scores = mine.get((gene, hmm))
            if scores is None or not (_same(scores[0], e) and _same(scores[1], bit)):
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        gene_ids, hmm_ids, e_values, bit_scores = self._all_columns()
        return HitTable._from_columns, (gene_ids, hmm_ids, np.array(e_values),
                                        np.array(bit_scores))

    def top_hits(self) -> HitTable:
        """A new table with each gene's top hit alone: its highest bit score, then its lowest
        E-value (as ``TopHitFile.get_top_hit`` picks it; between hits tied on both scores the
        one offered last)."""
        return HitTable._wrap(self._core.top_hits())

    def to_pandas(self) -> pandas.DataFrame:
        """The hits as a DataFrame with columns gene_id, hmm_id, e_value and bit_score."""
        import pandas

        gene_ids, hmm_ids, e_values, bit_scores = self._all_columns()
        return pandas.DataFrame({"gene_id": gene_ids, "hmm_id": hmm_ids,
                                 "e_value": np.array(e_values),
                                 "bit_score": np.array(bit_scores)})

    def to_tsv(self) -> bytes:
        """The hits as UTF-8 TSV lines ``gene_id, hmm_id, e_value, bit_score`` in table order
        (no header), numbers as the shortest text that reads back exactly (``8.1e-67``).
        Raises ValueError for an identifier holding a tab or a line feed."""
        return self._core.tsv_lines()

    def write(self, path: StrPath) -> None:
        """Writes velko's top-hit file, which ``velko.hmmer.tophit.TopHitFile(path).read()``
        reads back to the same hits: a header line, then one line per gene with its hits best
        first. Missing parent directories are made.

        Raises ValueError, before anything is written, for a gene id holding a tab or a line
        feed or a profile id holding a tab, a line feed, ";" or "," (the file could not be read
        back as the same table), and the OSError subclass of the failing system call.
        """
        encoded, _ = path_parts(path)
        self._core.write(encoded)

    @classmethod
    def read(cls, path: StrPath) -> HitTable:
        """Reads a velko top-hit file as ``TopHitFile.read`` reads it: the first line is the
        header and is not checked, CR LF line ends, extra tab and "," fields and numbers such as
        ``1E-5`` or ``Infinity`` are accepted, and a pair listed twice keeps the better hit.

        Raises TopHitFormatError (with ``path`` and ``line``) for a line that does not read,
        and the OSError subclass open() would raise for a missing or unreadable file.
        """
        encoded, _ = path_parts(path)
        return cls._wrap(_core.read_tophits(encoded))

    @classmethod
    def from_tophit_file(cls, tophits: TopHitFile) -> HitTable:
        """A table holding the hits of a ``velko.hmmer.tophit.TopHitFile``, copied from its
        memory (the file at its path is not read)."""
        return cls._wrap(_core.tophits_from_tophit_file(tophits))

    def to_tophit_file(self, path: StrPath) -> TopHitFile:
        """A new ``velko.hmmer.tophit.TopHitFile`` for ``path`` (kept as its ``str``) holding
        these hits, copied in memory; nothing is written until its ``write()`` is called."""
        tophit_type = _tophit_file_type()
        tophits = tophit_type(os.fspath(path))
        self._core.fill_tophit_file(tophits)
        return tophits


def read_hmmer(
    paths: StrPath | Iterable[StrPath],
    *,
    format: Format = "tblout",
    program: Program | None = None,
    score: Score = "sequence",
    hmm: ProfileKey = "name",
) -> HitTable:
    """Reads HMMER 3 tabular output into a HitTable, each gene's best hit per profile.

    ``paths`` is one path or an iterable of paths, plain or gzip-compressed (told apart by
    content); their rows merge into one table, offered in file order under HitTable's
    replacement rule.

    ``format``: ``"tblout"`` (the per-sequence table of ``--tblout``) or ``"domtblout"`` (the
    per-domain table of ``--domtblout``). ``program``: ``"hmmsearch"`` (query = profile,
    target = gene) or ``"hmmscan"`` (query = gene, target = profile); None takes it from each
    file's ``# Program:`` line. ``score="sequence"`` takes the full sequence's E-value and
    score; ``"domain"`` the domain's independent E-value and score (domtblout only).
    ``hmm="name"`` names profiles by name, ``"accession"`` by accession.

    Raises HmmerFormatError (``path``, ``line``, ``column``) for a row with too few columns,
    a number that does not parse, a file of the other format, a missing accession with
    ``hmm="accession"``, or a program that is not hmmsearch or hmmscan or not named when
    ``program`` is None; the OSError subclass open() would raise for a missing file;
    gzip.BadGzipFile for damaged gzip data and EOFError for a truncated gzip file.
    """
    check_choice("format", format, Format)
    if program is not None:
        check_choice("program", program, Program)
    check_choice("score", score, Score)
    check_choice("hmm", hmm, ProfileKey)
    if score == "domain" and format == "tblout":
        raise ValueError("score='domain' needs format='domtblout': a tblout has no domain "
                         "scores")
    parts = [path_parts(path) for path in as_paths(paths)]
    core = _core.read_hmmer([encoded for encoded, _ in parts],
                            format, program or "", score, hmm)
    return HitTable._wrap(core)


__all__ = ["HitTable", "read_hmmer"]
