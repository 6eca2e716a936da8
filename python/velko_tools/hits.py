"""Profile-search hits: HMMER tables in, top-hit tables out (read_hmmer and HitTable)."""

from __future__ import annotations

import numbers
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

import velko_tools._core as _core
import velko_tools.output as output
from velko_tools._args import StrPath, check_choice, input_parts, native_inputs, path_parts
from velko_tools.annotate import (
    ARROW_SUFFIXES,
    FULL_COLUMNS,
    Columns,
    Cutoff,
    Level,
    MissingCutoff,
    Thresholds,
    filter_mask,
    from_pyhmmer,
    frozen,
    read_filtered,
    write_arrow,
)

if TYPE_CHECKING:
    import pandas

    from velko.hmmer.tophit import TopHitFile

Format = Literal["tblout", "domtblout"]
Program = Literal["hmmsearch", "hmmscan", "phmmer", "jackhmmer", "nhmmer", "nhmmscan"]
Score = Literal["sequence", "domain"]
ProfileKey = Literal["name", "accession", "accession_or_name"]
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

    __slots__ = ("_core", "_columns", "_extra")

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
            gene_ids,
            hmm_ids,
            np.asarray(e_values, dtype=np.float64),
            np.asarray(bit_scores, dtype=np.float64),
        )
        self._columns: tuple[list[str], list[str], Any, Any] | None = None
        self._extra: dict[str, Any] | None = None

    @classmethod
    def _wrap(cls, core: _core.TopHits, extra: dict[str, Any] | None = None) -> HitTable:
        table = cls.__new__(cls)
        table._core = core
        table._columns = None
        table._extra = extra
        return table

    @classmethod
    def _from_columns(
        cls,
        gene_ids: list[str],
        hmm_ids: list[str],
        e_values: Any,
        bit_scores: Any,
        extra: dict[str, Any] | None = None,
        merge: bool = False,
    ) -> HitTable:
        return cls._wrap(
            _core.tophits_from_columns(
                gene_ids,
                hmm_ids,
                np.ascontiguousarray(e_values, dtype=np.float64),
                np.ascontiguousarray(bit_scores, dtype=np.float64),
                merge,
            ),
            extra,
        )

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
        return (
            f"<HitTable hits={len(self)} genes={self._core.gene_count()} "
            f"profiles={self._core.profile_count()}>"
        )

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
        return HitTable._from_columns, (
            gene_ids,
            hmm_ids,
            np.array(e_values),
            np.array(bit_scores),
            self._extra,
        )

    def top_hits(self) -> HitTable:
        """A new table with each gene's top hit alone: its highest bit score, then its lowest
        E-value (as ``TopHitFile.get_top_hit`` picks it; between hits tied on both scores the
        one offered last)."""
        top = HitTable._wrap(self._core.top_hits())
        top._extra = _carry_extra([self], top)
        return top

    @property
    def extra_columns(self) -> dict[str, Any] | None:
        """The table's other columns, read with ``columns="full"`` (a new dict of lists of str
        and read-only NumPy arrays, row for row with the hits), or None."""
        return None if self._extra is None else dict(self._extra)

    def to_pandas(self) -> pandas.DataFrame:
        """The hits as a DataFrame with columns gene_id, hmm_id, e_value and bit_score, then
        the other columns of a table read with ``columns="full"``."""
        import pandas

        gene_ids, hmm_ids, e_values, bit_scores = self._all_columns()
        data: dict[str, Any] = {
            "gene_id": gene_ids,
            "hmm_id": hmm_ids,
            "e_value": np.array(e_values),
            "bit_score": np.array(bit_scores),
        }
        if self._extra is not None:
            for name in FULL_COLUMNS:
                values = self._extra[name]
                data[name] = list(values) if isinstance(values, list) else np.array(values)
        return pandas.DataFrame(data)

    def merge(self, *tables: HitTable) -> HitTable:
        """The best hit per gene and profile over this table and `tables`: the same whatever
        their order and grouping, so the parts of a distributed run reduce in any order.
        ``a | b`` is ``a.merge(b)``. Merging ranks a NaN bit score below every number and a NaN
        E-value above every number, so that NaN scores do not make the result depend on the
        order. The other columns are kept when every table has them."""
        return _merge([self, *tables])

    def __or__(self, other: object) -> HitTable:
        if not isinstance(other, HitTable):
            return NotImplemented
        return self.merge(other)

    def filter(
        self,
        *,
        max_evalue: float | None = None,
        min_score: float | None = None,
        cutoff: Cutoff | None = None,
        hmm_file: StrPath | Iterable[StrPath] | None = None,
        missing_cutoff: MissingCutoff = "error",
        level: Level = "sequence",
        min_hmm_coverage: float = 0.0,
        min_gene_coverage: float = 0.0,
    ) -> HitTable:
        """A new table with the hits that pass: the stored E-value at most ``max_evalue``, the
        stored bit score at least ``min_score`` and at least the profile's ``cutoff`` line in
        ``hmm_file`` (its first number with ``level="sequence"``, its second with
        ``"domain"``); coverage needs a table read with ``columns="full"``. The options mean
        what they mean for read_hmmer, applied to the hits kept rather than to every row: a
        profile without the cutoff line raises read_hmmer's HmmerFormatError at its first hit,
        with ``path`` ``"<HitTable>"`` and ``line`` the hit's place in the table (from 1)."""
        thresholds = Thresholds.from_arguments(locals())
        columns = self._all_columns()
        picked = np.flatnonzero(filter_mask(columns, self._extra, level, thresholds))
        genes, hmms, e_values, bit_scores = columns
        result = HitTable._from_columns(
            [genes[i] for i in picked],
            [hmms[i] for i in picked],
            e_values[picked],
            bit_scores[picked],
        )
        result._extra = _carry_extra([self], result)
        return result

    @classmethod
    def from_pyhmmer(
        cls,
        top_hits: Any,
        *,
        score: Score = "sequence",
        hmm: ProfileKey = "name",
        cutoff: Cutoff | None = None,
        hmm_file: StrPath | Iterable[StrPath] | None = None,
        missing_cutoff: MissingCutoff = "error",
        max_evalue: float | None = None,
        min_score: float | None = None,
        level: Level = "sequence",
        min_hmm_coverage: float = 0.0,
        min_gene_coverage: float = 0.0,
        columns: Columns = "hits",
    ) -> HitTable:
        """The table read_hmmer builds from the ``--domtblout`` of the same search, built from
        pyhmmer's hits directly: one ``pyhmmer.plan7.TopHits`` or an iterable of them (as
        ``pyhmmer.hmmsearch`` and ``pyhmmer.hmmscan`` yield). The reported hits and their
        reported domains are taken, then the options apply as they do in read_hmmer."""
        thresholds = _checked_keywords(locals())
        return cls._wrap(*from_pyhmmer(top_hits, score, hmm, thresholds, columns))

    def to_tsv(self) -> bytes:
        """The hits as UTF-8 TSV lines ``gene_id, hmm_id, e_value, bit_score`` in table order
        (no header), numbers as the shortest text that reads back exactly (``8.1e-67``).
        Raises ValueError for an identifier holding a tab or a line feed."""
        return self._core.tsv_lines()

    def write(self, path: StrPath) -> None:
        """Writes velko's top-hit file, which ``velko.hmmer.tophit.TopHitFile(path).read()``
        reads back to the same hits: a header line, then one line per gene with its hits best
        first. Missing parent directories are made. A path ending in ``.parquet`` or
        ``.arrow`` gets the to_pandas() columns as Parquet or Arrow IPC instead (pyarrow).

        Raises ValueError, before anything is written, for a gene id holding a tab or a line
        feed or a profile id holding a tab, a line feed, ";" or "," (the file could not be read
        back as the same table), and the OSError subclass of the failing system call.
        """
        if os.fsdecode(path).endswith(ARROW_SUFFIXES):
            write_arrow(self.to_pandas(), path)
            return
        encoded, _ = path_parts(path)
        with output.writing(encoded):
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


def _merge_rank(e_value: float, bit_score: float) -> tuple[bool, float, bool, float]:
    """A hit's place in the order of merging: NaN bit scores below every number, NaN E-values
    above, as the native merge ranks them."""
    score_nan = bit_score != bit_score
    e_nan = e_value != e_value
    return (not score_nan, 0.0 if score_nan else bit_score, not e_nan, 0.0 if e_nan else -e_value)


def _carry_extra(source: Sequence[HitTable], result: HitTable) -> dict[str, Any] | None:
    """The full columns of `result`'s rows, taken from the table in `source` whose row holds
    the same hit; None unless every source table has them."""
    if not source or any(table._extra is None for table in source):
        return None
    found: dict[tuple[str, str], tuple[HitTable, int]] = {}
    for table in source:
        for at, (gene, hmm, e_value, bit_score) in enumerate(table):
            key = (gene, hmm)
            if key not in found:
                found[key] = (table, at)
                continue
            held_table, held_at = found[key]
            if _merge_rank(e_value, bit_score) > _merge_rank(
                held_table.e_values[held_at], held_table.bit_scores[held_at]
            ):
                found[key] = (table, at)
    picks = [found[(gene, hmm)] for gene, hmm, _, _ in result]
    extra: dict[str, Any] = {}
    for name in FULL_COLUMNS:
        values = [table._extra[name][at] for table, at in picks]  # type: ignore[index]
        first = source[0]._extra[name]  # type: ignore[index]
        extra[name] = (
            list(values) if isinstance(first, list) else np.array(values, dtype=first.dtype)
        )
    return frozen(extra)


def _merge(tables: Sequence[HitTable]) -> HitTable:
    """The best hit per gene and profile over all the tables. A NaN score ranks below every
    number (a NaN E-value above), which makes the order total: the best hit does not depend on
    the order the hits come in (ties on both scores are the same hit), so neither does this."""
    gene_ids: list[str] = []
    hmm_ids: list[str] = []
    e_values = []
    bit_scores = []
    for table in tables:
        if not isinstance(table, HitTable):
            raise TypeError(f"can only merge HitTable objects, not {type(table).__name__}")
        genes, hmms, e_column, bit_column = table._all_columns()
        gene_ids += genes
        hmm_ids += hmms
        e_values.append(e_column)
        bit_scores.append(bit_column)
    empty = np.empty(0, dtype=np.float64)
    merged = HitTable._from_columns(
        gene_ids,
        hmm_ids,
        np.concatenate([empty, *e_values]),
        np.concatenate([empty, *bit_scores]),
        merge=True,
    )
    merged._extra = _carry_extra(tables, merged)
    return merged


def read_hmmer(
    paths: StrPath | Iterable[StrPath],
    *,
    format: Format = "tblout",
    program: Program | None = None,
    score: Score = "sequence",
    hmm: ProfileKey = "name",
    cutoff: Cutoff | None = None,
    hmm_file: StrPath | Iterable[StrPath] | None = None,
    missing_cutoff: MissingCutoff = "error",
    max_evalue: float | None = None,
    min_score: float | None = None,
    level: Level = "sequence",
    min_hmm_coverage: float = 0.0,
    min_gene_coverage: float = 0.0,
    columns: Columns = "hits",
    thresholds: Thresholds | None = None,
) -> HitTable:
    """Reads HMMER 3 tabular output into a HitTable, each gene's best hit per profile.

    ``paths`` is one path or an iterable of paths, plain or gzip-compressed (told apart by
    content; ``"-"`` reads standard input, named ``<stdin>`` in errors); their rows merge into
    one table, offered in file order under HitTable's replacement rule.

    ``format``: ``"tblout"`` (the per-sequence table of ``--tblout``) or ``"domtblout"`` (the
    per-domain table of ``--domtblout``). ``program``: ``"hmmsearch"`` (query = profile,
    target = gene) or ``"hmmscan"`` (query = gene, target = profile); None takes it from each
    file's ``# Program:`` line. ``score="sequence"`` takes the full sequence's E-value and
    score; ``"domain"`` the domain's independent E-value and score (domtblout only).
    ``hmm="name"`` names profiles by name, ``"accession"`` by accession,
    ``"accession_or_name"`` by accession where the profile has one and by name where its
    accession is ``-``. phmmer and jackhmmer tables are read as hmmsearch's (the query sequence
    is the profile); nhmmer and nhmmscan tables as hmmsearch's and hmmscan's, their tblout in
    its own columns (one row per hit, which serves as its own domain). ``program`` stands over
    a table's ``# Program:`` line.

    Thresholds, as HMMER applies them: ``cutoff`` (``"gathering"``, ``"trusted"``,
    ``"noise"``) takes the ``GA``, ``TC`` or ``NC`` line of each profile from ``hmm_file`` (one
    or more HMMER 3 text profile files, plain or gzip), its first number against the full
    sequence's score, its second against each domain's (domtblout), as ``hmmsearch --cut_ga``
    does (a table holds only what its search reported, by default E-values up to 10, so a
    cutoff below that finds fewer hits than the search with ``--cut_ga``); a profile without
    the line (or not in the file) raises HmmerFormatError at its first row, not when the
    profile file is read, unless ``missing_cutoff`` is ``"keep"`` (unfiltered) or ``"drop"``
    (docs/hmmer.md). ``max_evalue`` and ``min_score`` bound the E-value
    and score at ``level`` ``"sequence"`` (``-E``, ``-T``) or ``"domain"`` (``--domE``,
    ``--domT``, domtblout). ``min_hmm_coverage`` and ``min_gene_coverage`` (0..1, domtblout)
    keep a gene and profile when the union of its kept domains' ``hmm from..to`` covers that
    share of the profile's length, and of their ``ali from..to`` of the gene's length.
    ``columns="full"`` keeps the other columns of the row that gave each hit (see
    ``HitTable.extra_columns``). ``thresholds`` gives all the thresholds at once, for callers
    that set both levels (the ``velko tophits`` command).

    Raises HmmerFormatError (``path``, ``line``, ``column``) for a row with too few columns,
    a number that does not parse, a file of the other format, a missing accession with
    ``hmm="accession"``, or a program that is not hmmsearch or hmmscan or not named when
    ``program`` is None; the OSError subclass open() would raise for a missing file;
    gzip.BadGzipFile for damaged gzip data and EOFError for a truncated gzip file.
    """
    check_choice("format", format, Format)
    if program is not None:
        check_choice("program", program, Program)
    asked = _checked_keywords(locals())
    nucleotide = program in ("nhmmer", "nhmmscan")
    if score == "domain" and format == "tblout" and not nucleotide:
        raise ValueError("score='domain' needs format='domtblout': a tblout has no domain scores")
    if nucleotide and format == "domtblout":
        raise ValueError(f"program={program!r} writes no domtblout: read its tblout")
    if thresholds is None:
        thresholds = asked
    parts = input_parts(paths)
    if thresholds.active or columns == "full":
        return HitTable._wrap(
            *read_filtered(parts, format, program, score, hmm, thresholds, columns)
        )
    return HitTable._wrap(_core.read_hmmer(native_inputs(parts), format, program or "", score, hmm))


def _checked_keywords(arguments: Mapping[str, Any]) -> Thresholds:
    """The keywords read_hmmer and HitTable.from_pyhmmer share, checked from the arguments of
    such a call (its ``locals()``): what each hit is read as (``score``, ``hmm``,
    ``columns``), and the thresholds it must pass.

    Both functions spell the keywords out, each in its own signature, so that help(), IDEs and
    type checkers show them typed and with their defaults; this is where they mean one thing."""
    check_choice("score", arguments["score"], Score)
    check_choice("hmm", arguments["hmm"], ProfileKey)
    check_choice("columns", arguments["columns"], Columns)
    return Thresholds.from_arguments(arguments)


__all__ = ["HitTable", "read_hmmer"]
