"""HMMER hits as annotation needs them: thresholds, the profiles' own cutoffs, coverage, the
table's other columns, tables that combine, Arrow files, and pyhmmer's hits without files."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

import velko_tools._core as _core
from velko_tools._args import StrPath, check_choice, native_inputs, path_parts

if TYPE_CHECKING:
    import pandas

Cutoff = Literal["gathering", "trusted", "noise"]
MissingCutoff = Literal["error", "keep", "drop"]
Level = Literal["sequence", "domain"]
Columns = Literal["hits", "full"]

#: The programs whose per-sequence table is nhmmer's, one row per hit.
NUCLEOTIDE_PROGRAMS: tuple[str, ...] = ("nhmmer", "nhmmscan")
#: The columns ``columns="full"`` keeps, in the order to_pandas() shows them.
FULL_COLUMNS: tuple[str, ...] = (
    "description",
    "gene_accession",
    "hmm_accession",
    "seq_e_value",
    "seq_bit_score",
    "dom_e_value",
    "dom_bit_score",
    "dom_count",
    "gene_length",
    "hmm_length",
    "hmm_from",
    "hmm_to",
    "ali_from",
    "ali_to",
    "env_from",
    "env_to",
    "hmm_coverage",
    "gene_coverage",
)
#: Suffixes that write() sends to pyarrow.
ARROW_SUFFIXES: tuple[str, ...] = (".parquet", ".arrow")


def _check_bound(name: str, value: float | None) -> None:
    if value is not None and (
        isinstance(value, bool) or not isinstance(value, (int, float)) or math.isnan(value)
    ):
        raise ValueError(f"{name} must be a number, not {value!r}")


def _check_fraction(name: str, value: float) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= 1:
        raise ValueError(f"{name} must be a number from 0 to 1, not {value!r}")


@dataclass(frozen=True)
class Thresholds:
    """What a search reports, as HMMER's options say it: ``-E``/``-T`` on the full sequence,
    ``--domE``/``--domT`` on each domain, ``--cut_ga``/``--cut_tc``/``--cut_nc`` from the
    profiles in ``hmm_files``, and the coverage of the kept domains (0..1)."""

    max_seq_e_value: float | None = None
    min_seq_score: float | None = None
    max_dom_e_value: float | None = None
    min_dom_score: float | None = None
    cutoff: Cutoff | None = None
    hmm_files: tuple[StrPath, ...] = ()
    missing_cutoff: MissingCutoff = "error"
    min_hmm_coverage: float = 0.0
    min_gene_coverage: float = 0.0

    def __post_init__(self) -> None:
        for name, shown in (
            ("max_seq_e_value", "max_evalue"),
            ("min_seq_score", "min_score"),
            ("max_dom_e_value", "max_evalue"),
            ("min_dom_score", "min_score"),
        ):
            _check_bound(shown, getattr(self, name))
        if self.cutoff is not None:
            check_choice("cutoff", self.cutoff, Cutoff)
            if not self.hmm_files:
                raise ValueError(
                    f"cutoff={self.cutoff!r} needs hmm_file, the profile file "
                    "that holds the cutoffs"
                )
        check_choice("missing_cutoff", self.missing_cutoff, MissingCutoff)
        _check_fraction("min_hmm_coverage", self.min_hmm_coverage)
        _check_fraction("min_gene_coverage", self.min_gene_coverage)

    @classmethod
    def from_arguments(cls, arguments: Mapping[str, Any]) -> Thresholds:
        """The thresholds that read_hmmer, HitTable.filter and HitTable.from_pyhmmer take, each
        a keyword of the same name in all three (``max_evalue`` and ``min_score`` at ``level``,
        ``cutoff``, ``hmm_file``, ``missing_cutoff``, ``min_hmm_coverage``,
        ``min_gene_coverage``), from the arguments of such a call (its ``locals()``)."""
        level = arguments["level"]
        check_choice("level", level, Level)
        at = "seq" if level == "sequence" else "dom"
        return cls(
            **{
                f"max_{at}_e_value": arguments["max_evalue"],
                f"min_{at}_score": arguments["min_score"],
            },
            cutoff=arguments["cutoff"],
            hmm_files=as_hmm_files(arguments["hmm_file"]),
            missing_cutoff=arguments["missing_cutoff"],
            min_hmm_coverage=arguments["min_hmm_coverage"],
            min_gene_coverage=arguments["min_gene_coverage"],
        )

    @property
    def active(self) -> bool:
        return self != Thresholds()

    @property
    def per_domain(self) -> bool:
        """True when a threshold reads domains, which a per-sequence table lacks."""
        return (
            self.max_dom_e_value is not None
            or self.min_dom_score is not None
            or self.min_hmm_coverage > 0
            or self.min_gene_coverage > 0
        )

    def options(self, keep_rows: bool) -> _core.FilterOptions:
        """The native filter's options: each choice, checked here, as the core's enum."""
        chosen = _core.FilterOptions()
        chosen.max_seq_e_value = _real(self.max_seq_e_value)
        chosen.min_seq_score = _real(self.min_seq_score)
        chosen.max_dom_e_value = _real(self.max_dom_e_value)
        chosen.min_dom_score = _real(self.min_dom_score)
        chosen.cutoff = None if self.cutoff is None else _core.Cutoff[self.cutoff]
        chosen.missing_cutoff = _core.MissingCutoff[self.missing_cutoff]
        chosen.min_hmm_coverage = float(self.min_hmm_coverage)
        chosen.min_gene_coverage = float(self.min_gene_coverage)
        chosen.keep_rows = keep_rows
        return chosen

    def hmm_paths(self) -> list[bytes]:
        return [path_parts(path)[0] for path in self.hmm_files]


def _real(value: float | None) -> float | None:
    return None if value is None else float(value)


def check_cutoffs(hmm_file: StrPath, cutoff: Cutoff) -> int:
    """Checks, before any search, that every profile of the HMMER 3 text profile file
    ``hmm_file`` (plain or gzip) has the ``cutoff`` line, as a search with that cutoff over the
    whole file needs (``hmmsearch --cut_ga`` refuses it too); returns the number of profiles.

    Raises HmmerFormatError at the line where the first profile without the line starts, with
    the text read_hmmer and HitTable.filter give when a row of that profile is met, and fails
    as they do for a file that is not a profile file; ValueError for an unknown ``cutoff``."""
    check_choice("cutoff", cutoff, Cutoff)
    return _core.check_cutoffs(path_parts(hmm_file)[0], _core.Cutoff[cutoff])


def as_hmm_files(hmm_file: StrPath | Iterable[StrPath] | None) -> tuple[StrPath, ...]:
    if hmm_file is None:
        return ()
    if isinstance(hmm_file, (str, bytes, os.PathLike)):
        return (hmm_file,)
    return tuple(hmm_file)


def read_filtered(
    parts: Sequence[tuple[bytes, str]],
    format: str,
    program: str | None,
    score: str,
    hmm: str,
    thresholds: Thresholds,
    columns: Columns,
) -> tuple[Any, dict[str, Any] | None]:
    """read_hmmer's route through the thresholds, once its options are checked: the native
    table and its full columns (or None)."""
    nucleotide = program in NUCLEOTIDE_PROGRAMS
    if thresholds.per_domain and format == "tblout" and not nucleotide:
        raise ValueError(
            "domain thresholds and coverage need format='domtblout': a tblout has no domains"
        )
    core, extra = _core.read_hmmer_rows(
        native_inputs(parts),
        format,
        program or "",
        score,
        hmm,
        thresholds.hmm_paths(),
        thresholds.options(columns == "full"),
    )
    return core, frozen(extra)


def frozen(extra: dict[str, Any] | None) -> dict[str, Any] | None:
    if extra is not None:
        for values in extra.values():
            if isinstance(values, np.ndarray):
                values.flags.writeable = False
    return extra


def filter_mask(
    columns: tuple[list[str], list[str], Any, Any],
    extra: dict[str, Any] | None,
    level: Level,
    thresholds: Thresholds,
) -> Any:
    """HitTable.filter: which of the hits a table holds (its gene ids, profile ids, E-values
    and bit scores, and its full columns) pass, as a boolean array. The thresholds and the
    cutoff go through read_hmmer's native filter, each hit a row with the one score it kept
    (at `level`); coverage reads the coverage columns stored when the table was read."""
    _genes, hmms, e_values, bit_scores = columns
    coverage = {
        "hmm_coverage": thresholds.min_hmm_coverage,
        "gene_coverage": thresholds.min_gene_coverage,
    }
    if extra is None and any(bound > 0 for bound in coverage.values()):
        raise ValueError("coverage needs a table read with columns='full'")
    keep = _core.filter_hits(
        hmms,
        np.ascontiguousarray(e_values, dtype=np.float64),
        np.ascontiguousarray(bit_scores, dtype=np.float64),
        _core.Level[level],
        thresholds.hmm_paths(),
        thresholds.options(False),
    ).view(bool)
    for column, bound in coverage.items():
        if extra is not None and bound > 0:
            keep &= extra[column] >= bound  # NaN (no domains to cover) fails
    return keep


def write_arrow(frame: pandas.DataFrame, path: StrPath) -> None:
    """Parquet (.parquet) or Arrow IPC (.arrow) of a table's columns, replaced atomically."""
    try:
        import pyarrow
        import pyarrow.feather
        import pyarrow.parquet
    except ImportError:
        raise ImportError("writing .parquet or .arrow needs pyarrow: pip install pyarrow") from None
    arrow = pyarrow.Table.from_pandas(frame, preserve_index=False)
    from velko_tools.output import replacing

    target = os.fspath(path)
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    with replacing(target) as written:
        if target.endswith(".parquet"):
            pyarrow.parquet.write_table(arrow, written)
        else:
            pyarrow.feather.write_feather(arrow, written, compression="uncompressed")


def from_pyhmmer(
    top_hits: Any, score: str, hmm: str, thresholds: Thresholds, columns: Columns
) -> tuple[Any, dict[str, Any] | None]:
    """HitTable.from_pyhmmer: the reported hits and domains of pyhmmer TopHits, as hmmsearch
    and hmmscan write them to --domtblout, through the same filter as a table's rows; the
    native table and its full columns (or None)."""
    groups = (
        [top_hits]
        if hasattr(top_hits, "query") and hasattr(top_hits, "reported")
        else list(top_hits)
    )
    texts: list[list[str]] = [[], [], [], [], []]
    reals: list[list[float]] = [[], [], [], []]
    wholes: list[list[int]] = [[] for _ in range(10)]
    for group in groups:
        query = group.query
        scan = getattr(group, "mode", None) is not None and str(group.mode).endswith("scan")
        query_name = _text(getattr(query, "name", None))
        query_acc = _text(getattr(query, "accession", None)) or "-"
        query_length = int(getattr(query, "M", 0) or len(getattr(query, "sequence", "")) or 0)
        for hit in group.reported:
            hit_name = _text(hit.name)
            hit_acc = _text(hit.accession) or "-"
            # --domtblout lists the reported domains, numbered and counted among themselves.
            reported = [domain for domain in hit.domains if domain.reported]
            for index, domain in enumerate(reported, 1):
                alignment = domain.alignment
                gene, gene_acc = (query_name, query_acc) if scan else (hit_name, hit_acc)
                profile, profile_acc = (hit_name, hit_acc) if scan else (query_name, query_acc)
                texts[0].append(gene)
                texts[1].append(gene_acc)
                texts[2].append(profile)
                texts[3].append(profile_acc)
                texts[4].append(_text(hit.description))
                reals[0].append(hit.evalue)
                reals[1].append(hit.score)
                reals[2].append(domain.i_evalue)
                reals[3].append(domain.score)
                hmm_length = alignment.hmm_length or (hit.length if scan else query_length)
                gene_length = alignment.target_length or (query_length if scan else hit.length)
                for column, value in enumerate(
                    (
                        gene_length,
                        hmm_length,
                        index,
                        len(reported),
                        alignment.hmm_from,
                        alignment.hmm_to,
                        alignment.target_from,
                        alignment.target_to,
                        domain.env_from,
                        domain.env_to,
                    )
                ):
                    wholes[column].append(int(value))
    core, extra = _core.filter_rows(
        texts,
        [np.asarray(column, dtype=np.float64) for column in reals],
        [np.asarray(column, dtype=np.int64) for column in wholes],
        True,
        score,
        hmm,
        thresholds.hmm_paths(),
        thresholds.options(columns == "full"),
    )
    return core, frozen(extra)


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return str(value)
