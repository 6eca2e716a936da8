"""Many genomes in one resumable run: run_genomes writes a directory of Parquet parts, open_run
reads it back.

A run directory holds::

    run.json              the options the run counts with (a resume must ask for the same)
    profiles/part-*.parquet   one k-mer profile per genome (or per record), a batch per part
    genomes/part-*.parquet    length, record count and GC share per genome (and its gene
                              count, when the run searches)
    hits/part-*.parquet       with hmm_file: each gene's best hit per profile, and which of
                              them is the genome's top hit for the profile
    errors/part-*.parquet     one row per genome that could not be read
    manifest/part-*.json      per part: each input (path, size, modification and change
                              time), each file's size and SHA-256, the options; written last

A batch is counted by one task (a local worker process, or a Dask worker), which writes its
parts under temporary names and renames them into place; the driver then writes the batch's
manifest entry, also by rename. A part is part of the run only once its manifest entry exists:
open_run sees nothing else, and a resume removes everything else (left by a driver or a worker
stopped half way). A resume keeps the parts whose inputs are all unchanged (same size,
modification time and change time, or with ``verify_inputs="checksum"`` the same SHA-256) and
still asked for, and whose files are all there with the size and SHA-256 their manifest entry
records; a part holding a changed or removed input is dropped whole and its other genomes are
counted again, with the new inputs, and so is a part that is missing, cut short or damaged, or
whose manifest entry does not read. Paths are kept absolute, so a resume from another working
directory finds the same inputs.

open_run checks that every part its manifest names is there with its recorded size and that no
genome is in two parts, and checks each file's SHA-256 as it reads it; check_run (``velko
check``) checks every file without reading a dataset. A damaged run raises DamagedRunError,
which names the file; running the same run_genomes (or ``velko run``) again repairs it.

A search (``hmm_file``) runs per genome inside the same task as its count: its genes predicted
with pyrodigal, searched with pyhmmer on one CPU, its hits in the batch's ``hits/`` part. Each
genome is searched alone (E-values depend on the number of proteins searched, so a genome's
hits do not depend on its batch mates). A worker process reads the profile file once and keeps
it while its path, size and modification time stay the same; run.json records those, so a
resume against a changed profile file is refused like any other change of options.

Every genome lands in exactly one part, and each part is written whole by one task, so the
datasets read back (sorted by genome, as open_run sorts them) are the same for any number of
workers, batch size, scheduler, or interruption and resume.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import hashlib
import importlib.util
import json
import math
import os
import re
import secrets
import signal
import stat
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal, get_args

import numpy as np

from velko_tools._args import (HMMER_INSTALL, StrPath, as_paths, check_choice,
                               check_read_once, device_inode, require)
from velko_tools.annotate import Cutoff
from velko_tools.counting import count_and_tally
from velko_tools.errors import DamagedRunError
from velko_tools._args import Invalid, Layout, Progress, Strands
from velko_tools.kmers import MAX_SPARSE_K, KmerLabels, KmerTable
from velko_tools.sparse import SparseKmerTable

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas
    import pyarrow

    from velko_tools.hits import HitTable

GenomeId = Literal["accession", "stem"]
OnError = Literal["collect", "raise"]
VerifyInputs = Literal["stat", "checksum"]

#: File name endings taken as FASTA when a directory is searched (each also with ``.gz``).
FASTA_SUFFIXES = (".fa", ".fna", ".fasta", ".fas", ".ffn", ".frn", ".faa", ".mfa")

#: The datasets of a run directory, in the order they are written.
DATASETS = ("profiles", "genomes", "hits", "errors")


# A dense row holds 4^k counts of 8 bytes: past 4^12 (128 MiB a genome) a run of many genomes
# needs sparse profiles.
MAX_DENSE_K = 12

# Times the batches in flight are resubmitted after a local worker process died, before the
# run stops; Dask's scheduler has its own count (allowed-failures) for a worker lost.
MAX_RETRIES = 3

# A batch also retries on Dask when its task raised (a shared file system failing a write).
DASK_RETRIES = 2

# The input a batch holds at most by default: enough that a task's fixed costs (the scheduler's
# round trip, a part's Parquet files, its manifest entry) are lost beside its counting, little
# enough that a retry or an interruption loses seconds, not minutes. Many workers finish batches
# often, and the driver spends some milliseconds on each: the bound grows by SLOT_BYTES a worker
# so that it keeps up.
BATCH_BYTES = 256 << 20
SLOT_BYTES = 16 << 20

# Of run.json and the manifest. Entries of format 1 record no checksums, file sizes or
# options: their parts are checked by the genomes they hold instead.
_FORMAT = 2


class WorkerLostError(RuntimeError):
    """Worker processes died while counting the same batch more often than the retry limit.

    The batches finished before stay in the run: running it again resumes from them.
    """


class RunLockedError(RuntimeError):
    """Another driver holds the run directory: two drivers on one directory would undo each
    other's work."""


@dataclasses.dataclass(frozen=True)
class RunSummary:
    """What one call of run_genomes did.

    ``done``: genomes counted by this call; ``failed``: those of them that became rows of
    ``errors/`` instead; ``skipped``: genomes already in the run and unchanged, not counted
    again; ``removed``: genomes that left the run (their input changed or was not asked for
    again; a changed one is also counted again in ``done``); ``retried``: batches submitted
    again after their worker died; ``out``: the run directory; ``seconds``: the call's time;
    ``layout``: the profiles' layout, ``"dense"`` or ``"sparse"``; ``repaired``: parts found
    missing or damaged (a file gone, cut short or changed, a manifest entry that does not
    read), dropped and counted again.
    """

    out: str
    done: int
    skipped: int
    failed: int
    removed: int
    retried: int
    seconds: float
    #: The profiles' layout, "dense" or "sparse" (what layout="auto" chose).
    layout: str = "dense"
    repaired: int = 0

    @property
    def ok(self) -> bool:
        """True when no genome counted by this call failed."""
        return self.failed == 0

    def __str__(self) -> str:
        repaired = f", {self.repaired} damaged parts redone" if self.repaired else ""
        return (f"{self.done} genomes done ({self.failed} failed), {self.skipped} already done, "
                f"{self.removed} removed{repaired}, {self.layout} profiles, in "
                f"{self.seconds:.1f} s: {self.out}")


@dataclasses.dataclass(frozen=True)
class _Options:
    """The options every genome of a run is counted with; run.json keeps them."""

    k: int
    strands: Strands
    invalid: Invalid
    per_record: bool
    genome_id: str
    layout: Layout
    # The search: the profile file (absolute) as it was when the run started, and the cutoff.
    hmm_file: str | None = None
    hmm_size: int | None = None
    hmm_mtime_ns: int | None = None
    cutoff: str | None = None
    # Proteins end with "*" where their gene has a stop codon, as Prodigal writes them.
    stop_codon: bool = False

    def differences(self, stored: dict[str, Any]) -> str:
        """The options that differ from `stored` (run.json's), as "k=4, not k=5"."""
        asked = dataclasses.asdict(self)
        return "; ".join(f"{key}={stored.get(key)!r}, not {key}={value!r}"
                         for key, value in asked.items() if stored.get(key) != value)


@dataclasses.dataclass(frozen=True)
class _Input:
    path: str  # absolute
    genome: str
    size: int | None  # None: the file could not be looked at when the run was planned
    mtime_ns: int | None
    # The inode's change time, which no program sets back: an edit that keeps the size and
    # restores the modification time still changes it. None in entries of format 1.
    ctime_ns: int | None = None

    def entry(self) -> dict[str, Any]:
        return {"path": self.path, "genome": self.genome, "size": self.size,
                "mtime_ns": self.mtime_ns, "ctime_ns": self.ctime_ns}

    def same_file(self, stored: _Input) -> bool:
        """True when `stored` (a manifest's) looks like this input as it is now: same path,
        genome id, size and times (the change time only where the entry records it)."""
        return (self.path == stored.path and self.genome == stored.genome
                and self.size == stored.size and self.mtime_ns == stored.mtime_ns
                and (stored.ctime_ns is None or self.ctime_ns == stored.ctime_ns))


@dataclasses.dataclass
class _Batch:
    part: str
    inputs: list[_Input]
    attempts: int = 0
    # With verify_inputs="checksum": the worker records each input's SHA-256 too.
    hash_inputs: bool = False


# --- genome identifiers and input lists -------------------------------------------------------

# A name that starts with an assembly accession, as canonical_gid reads one: an optional
# database prefix, the assembly prefix, its digits and version. Any other name is no accession,
# and cutting it at its first "_" would make "E.Coli_DH1" and "E.Faecalis_V583" one genome.
_ACCESSION = re.compile(r"(?:(?:RS|GB)_)?GC[AF]_[0-9]+(?:\.[0-9]+)?")


class GenomeIdError(ValueError):
    """Two input files that get the same genome id: ``paths`` (the first and the second) and
    ``genome``. ``message(option)`` says it with the option that gives other ids spelled as the
    caller knows it (the command line's ``--genome-id stem``)."""

    def __init__(self, first: str, second: str, genome: str, genome_id: str) -> None:
        self.paths = (first, second)
        self.genome = genome
        self.genome_id = genome_id
        super().__init__(self.message("genome_id='stem'"))

    def message(self, stem_option: str) -> str:
        first, second = self.paths
        remedy = "rename one" if self.genome_id == "stem" else f"rename one, or pass {stem_option}"
        return f"{first} and {second} both have genome id {self.genome!r}: {remedy}"

    def __reduce__(self) -> tuple[type[GenomeIdError], tuple[str, str, str, str]]:
        return type(self), (*self.paths, self.genome, self.genome_id)


def _stem(name: str) -> str:
    """The file name without its compression suffix and then its FASTA suffix (any last suffix
    when none of those): ``GCF_000005845.2.fna.gz`` gives ``GCF_000005845.2``."""
    for compressed in (".gz", ".bgz"):
        if name.endswith(compressed) and len(name) > len(compressed):
            name = name[: -len(compressed)]
            break
    for suffix in FASTA_SUFFIXES:
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    base, dot, _ = name.rpartition(".")
    return base if dot and base else name


def genome_id_of(path: StrPath, genome_id: GenomeId = "accession") -> str:
    """The genome id run_genomes gives a file.

    ``"stem"``: the file name without its suffixes (``.gz``, then a FASTA suffix such as
    ``.fna``). ``"accession"``: for a name that starts with an assembly accession (an optional
    ``RS_`` or ``GB_``, then ``GCA_`` or ``GCF_``, digits and a version), that accession made
    canonical by velko's ``canonical_gid``: ``GCF_000005845.2_ASM584v2_genomic.fna.gz`` gives
    ``G000005845``; any other name gets its stem (``E.Coli_DH1.fasta.gz`` gives
    ``E.Coli_DH1``).
    """
    stem = _stem(os.path.basename(os.fsdecode(path)))
    if genome_id == "stem":
        return stem
    if genome_id not in get_args(GenomeId):
        raise ValueError(f"genome_id must be 'accession' or 'stem', not {genome_id!r}")
    match = _ACCESSION.match(stem)
    if match is None:
        return stem
    import velko  # noqa: F401  (publishes velko.util.accession)
    from velko.util.accession import canonical_gid

    return canonical_gid(match.group(0))


def is_fasta_name(name: str) -> bool:
    """True for a file name ending in a FASTA suffix, plain or with ``.gz``."""
    return name.removesuffix(".gz").endswith(FASTA_SUFFIXES)


def expand_inputs(items: Iterable[StrPath]) -> list[str]:
    """The genome files a command line names: a path as it is, ``@LIST`` the paths of a text
    file (one a line; blank lines and lines starting with ``#`` left out, relative paths taken
    from the list's directory), a directory every FASTA file below it (by suffix, ``.gz``
    included; sorted, hidden entries left out). A directory gives regular files only (links to
    them included): a FIFO or a device with a FASTA name would hang the run or never end, so
    each is left out with a warning (warnings.warn) naming it."""
    paths: list[str] = []
    for item in items:
        text = os.fsdecode(item)
        if text.startswith("@") and len(text) > 1:
            listing = text[1:]
            base = os.path.dirname(listing)
            with open(listing, encoding="utf-8") as lines:
                for line in lines:
                    entry = line.strip()
                    if entry and not entry.startswith("#"):
                        paths.append(os.path.join(base, entry))
        elif os.path.isdir(text):
            found = []
            for root, dirs, files in os.walk(text):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                found += [os.path.join(root, f) for f in files
                          if not f.startswith(".") and is_fasta_name(f)]
            paths += [path for path in sorted(found) if _regular_or_warn(path)]
        else:
            paths.append(text)
    return paths


def _regular_or_warn(path: str) -> bool:
    """True for a regular file (or a link to one); otherwise warns that the walk left it out."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        warnings.warn(f"{path}: left out: {error.strerror}", stacklevel=3)
        return False
    if stat.S_ISREG(mode):
        return True
    kind = ("a FIFO" if stat.S_ISFIFO(mode) else "a device" if stat.S_ISCHR(mode)
            or stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) else "not a file")
    warnings.warn(f"{path}: left out: {kind}, not a regular file", stacklevel=3)
    return False


# --- the work of one batch (runs in a worker) -------------------------------------------------


def _error_row(path: str, genome: str, error: BaseException) -> dict[str, Any]:
    line = getattr(error, "line", None)
    column = getattr(error, "column", None)
    return {"genome": genome, "path": path, "error": type(error).__name__,
            "message": str(error),
            "line": line if isinstance(line, int) else None,
            "column": column if isinstance(column, int) else None}


def _count_genome(item: _Input,
                  options: _Options) -> tuple[KmerTable | SparseKmerTable, dict[str, Any]]:
    """The genome's profile (one row, or one per record) and its row of genomes/."""
    # The record count, length and GC share come from the same read as the profile.
    profile, tallies = count_and_tally(
        item.path, options.k, strands=options.strands, invalid=options.invalid,
        layout=options.layout, per_file=not options.per_record, threads=1, tally=True)
    return profile, _genome_row(item, tallies[0])


def _genome_row(item: _Input, tally: npt.NDArray[np.uint64]) -> dict[str, Any]:
    records, length, *bases = (int(value) for value in tally)
    acgt = sum(bases)
    return {"genome": item.genome, "path": item.path, "records": records, "length": length,
            "gc": (bases[1] + bases[2]) / acgt if acgt else math.nan}


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
    width = 8 * 4 ** options.k
    size = max(1, _GROUP_BYTES // width)
    found: dict[str, tuple[KmerTable, Any]] = {}
    for start in range(0, len(items), size):
        group = items[start:start + size]
        if len(group) < 2:
            break
        try:
            table, tallies = count_and_tally(
                [item.path for item in group], options.k, strands=options.strands,
                invalid=options.invalid, layout="dense", per_file=True, threads=1, tally=True)
        except Exception:  # noqa: BLE001  (the genomes go one by one instead)
            continue
        assert isinstance(table, KmerTable)
        for row, item in enumerate(group):
            profile = KmerTable(table.ids[row:row + 1], table.files[row:row + 1], table.k,
                                table.strands, table.kmers, table.counts[row:row + 1],
                                table.windows[row:row + 1], table.skipped[row:row + 1])
            found[item.path] = profile, _genome_row(item, tallies[row])
    return found


# --- the search of one genome (runs in a worker) ------------------------------------------------

# The profiles this worker process read last: (path, size, modification time) -> pyhmmer HMMs.
# One entry: a worker serves one run at a time, and a profile file may be large (all of Pfam).
_PROFILES: dict[tuple[str, int | None, int | None], list[Any]] = {}


def _profiles(options: _Options) -> list[Any]:
    """The run's profiles, read once per worker process. A file that changed since the run
    started raises: the genomes searched before would not match the ones searched after."""
    key = (str(options.hmm_file), options.hmm_size, options.hmm_mtime_ns)
    hmms = _PROFILES.get(key)
    if hmms is None:
        path = str(options.hmm_file)
        if _stat(path) != (options.hmm_size, options.hmm_mtime_ns):
            raise RuntimeError(f"{path} changed while the run was searching with it: run "
                               "again with resume=False (--no-resume)")
        hmms = _read_profiles(path)
        _PROFILES.clear()
        _PROFILES[key] = hmms
    return hmms


def _read_profiles(path: str) -> list[Any]:
    return list(_each_profile(path))


def _each_profile(path: str) -> Iterator[Any]:
    import pyhmmer

    try:
        with pyhmmer.plan7.HMMFile(path) as profiles:
            yield from profiles
    except (ValueError, EOFError) as error:  # pyhmmer's for a file that is not one
        raise ValueError(f"{path}: not a file of HMMER profiles: {error}") from None


# The search reads lines in pieces of this many bytes: a description of any length costs no
# more than a piece.
_PIECE = 1 << 20


def _records(path: str, length: int) -> list[tuple[str, bytes]]:
    """(id, sequence) per record. The k-mer count has read the file already, so its format
    errors are the native reader's and this reading can be plain; `length` is the sequence
    bytes the count found, which this reading holds and never more."""
    import gzip

    from velko_tools.sparse import available_memory

    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file: a search reads each genome a second "
                         "time, which a FIFO or a device cannot give; save it to a file")
    if length > available_memory() // 2:
        raise MemoryError(f"{path}: searching its genes needs its {length} bytes of sequence "
                          f"in memory, more than half of the {available_memory()} available")
    with open(path, "rb") as raw:
        packed = raw.read(2) == b"\x1f\x8b"
    records: list[tuple[str, list[bytes]]] = []
    kept = 0
    line_start, header = True, False
    with (gzip.open(path, "rb") if packed else open(path, "rb")) as lines:
        while piece := lines.readline(_PIECE):
            if line_start and piece.startswith(b">"):
                words = piece[1:].split(maxsplit=1)
                name = words[0].decode("utf-8", "surrogateescape") if words else ""
                records.append((name, []))
                header = True
            elif not header and records:
                bases = piece.strip()
                kept += len(bases)
                if kept > length:
                    raise ValueError(f"{path} changed while it was searched: it holds more "
                                     "sequence than the count found")
                records[-1][1].append(bases)
            line_start = piece.endswith(b"\n")
            header = header and not line_start
    return [(name, b"".join(parts)) for name, parts in records]


# A gene finder in metagenomic mode serves every short genome: made once per worker process.
_META_FINDER: list[Any] = []


def _gene_finder(sequences: list[bytes]) -> Any:
    """A gene finder trained on the genome itself (Prodigal's single mode) when it holds the
    sequence Prodigal asks for to train on (pyrodigal's IDEAL_SINGLE_GENOME, 100 kb), else
    one with Prodigal's metagenomic models, which need no training (plasmids, phages,
    fragments; training on less gives worse genes, and fails under 20 kb)."""
    import pyrodigal

    if sum(len(seq) for seq in sequences) >= pyrodigal.IDEAL_SINGLE_GENOME:
        finder = pyrodigal.GeneFinder()
        finder.train(*sequences)
        return finder
    if not _META_FINDER:
        _META_FINDER.append(pyrodigal.GeneFinder(meta=True))
    return _META_FINDER[0]


def _search_genome(item: _Input, options: _Options,
                   length: int) -> tuple[list[dict[str, Any]], int]:
    """The genome's hits as rows of hits/ (genes in genome order, then profiles by name), and
    its number of genes. A gene is named ``GENOME|RECORD_N``, N counting from 1 in its record,
    as Prodigal numbers genes; a record id repeated in a file gets ``~2``, ``~3``... so that
    gene ids stay unique."""
    import pyhmmer

    from velko_tools.hits import HitTable

    records = _records(item.path, length)
    finder = _gene_finder([seq for _, seq in records])
    alphabet = pyhmmer.easel.Alphabet.amino()
    proteins = []
    order: dict[str, int] = {}
    seen: dict[str, int] = {}
    for record, seq in records:
        seen[record] = seen.get(record, 0) + 1
        label = record if seen[record] == 1 else f"{record}~{seen[record]}"
        if not seq:
            continue
        for number, gene in enumerate(finder.find_genes(seq), 1):
            name = f"{item.genome}|{label}_{number}"
            order[name] = len(order)
            proteins.append(pyhmmer.easel.TextSequence(
                name=name.encode("utf-8", "surrogateescape"),
                sequence=gene.translate(include_stop=options.stop_codon)).digitize(alphabet))
    if not proteins:
        return [], 0
    block = pyhmmer.easel.DigitalSequenceBlock(alphabet, proteins)
    # The search applies the cutoffs itself, as hmmsearch --cut_ga does: a cutoff below zero
    # bits reaches hits past the E-value of 10 that a search without it reports.
    cutoffs = {"bit_cutoffs": options.cutoff} if options.cutoff is not None else {}
    found = list(pyhmmer.hmmsearch(_profiles(options), block, cpus=1, **cutoffs))
    table = HitTable.from_pyhmmer(found)
    rows = sorted(table, key=lambda hit: (order[hit[0]], hit[1]))
    best: dict[str, int] = {}
    for at, (_, hmm, e_value, bit_score) in enumerate(rows):
        held = best.get(hmm)
        if held is None or (bit_score, -e_value) > (rows[held][3], -rows[held][2]):
            best[hmm] = at
    tops = set(best.values())
    return [{"genome": item.genome, "gene_id": gene, "hmm_id": hmm, "e_value": e_value,
             "bit_score": bit_score, "genome_best": at in tops}
            for at, (gene, hmm, e_value, bit_score) in enumerate(rows)], len(order)


_GENOME_SCHEMA: list[tuple[str, str]] = [("genome", "string"), ("path", "string"),
                                         ("records", "int64"), ("length", "int64"),
                                         ("gc", "float64")]
_HIT_SCHEMA: list[tuple[str, str]] = [("genome", "string"), ("gene_id", "string"),
                                      ("hmm_id", "string"), ("e_value", "float64"),
                                      ("bit_score", "float64"), ("genome_best", "bool_")]
_ERROR_SCHEMA: list[tuple[str, str]] = [("genome", "string"), ("path", "string"),
                                        ("error", "string"), ("message", "string"),
                                        ("line", "int64"), ("column", "int64")]


def _genome_schema(searched: bool) -> list[tuple[str, str]]:
    return [*_GENOME_SCHEMA, ("genes", "int64")] if searched else _GENOME_SCHEMA


def _rows_table(rows: list[dict[str, Any]], schema: list[tuple[str, str]]) -> pyarrow.Table:
    import pyarrow

    arrow_schema = pyarrow.schema([(name, getattr(pyarrow, kind)()) for name, kind in schema])
    return pyarrow.Table.from_pylist(rows, schema=arrow_schema)


def _profiles_table(tables: list[tuple[str, Any]], options: _Options) -> pyarrow.Table:
    """profiles/: genome, [record,] path, counts (a fixed-size list of uint64, one per k-mer
    in base-4 order), windows, skipped; k and the strands in the schema metadata, which
    determine the k-mers (their labels, 16.7 million strings at k = 12, are not stored).
    Sparse profiles hold ``codes`` (the k-mers seen, as 2-bit codes ascending) and ``counts``
    (theirs) as lists instead."""
    import pyarrow

    if options.layout == "sparse":
        return _sparse_profiles_table(tables, options)

    genomes: list[str] = []
    records: list[str] = []
    paths: list[str] = []
    for genome, table in tables:
        genomes += [genome] * len(table)
        records += table.ids
        paths += table.files
    width = len(KmerLabels(options.k, canonical=options.strands == "canonical"))
    if tables:
        counts = np.concatenate([t.counts for _, t in tables]).reshape(-1)
        windows = np.concatenate([t.windows for _, t in tables])
        skipped = np.concatenate([t.skipped for _, t in tables])
    else:
        counts = windows = skipped = np.zeros(0, dtype=np.uint64)
    columns: dict[str, Any] = {"genome": pyarrow.array(genomes, pyarrow.string())}
    if options.per_record:
        columns["record"] = pyarrow.array(records, pyarrow.string())
    columns["path"] = pyarrow.array(paths, pyarrow.string())
    columns["counts"] = pyarrow.FixedSizeListArray.from_arrays(
        pyarrow.array(counts, pyarrow.uint64()), width)
    columns["windows"] = pyarrow.array(windows, pyarrow.uint64())
    columns["skipped"] = pyarrow.array(skipped, pyarrow.uint64())
    metadata = {"velko.k": str(options.k), "velko.strands": options.strands,
                "velko.layout": "dense"}
    return pyarrow.table(columns).replace_schema_metadata(metadata)


def _sparse_profiles_table(tables: list[tuple[str, SparseKmerTable]],
                           options: _Options) -> pyarrow.Table:
    import pyarrow

    genomes: list[str] = []
    records: list[str] = []
    paths: list[str] = []
    offsets: list[Any] = [np.zeros(1, dtype=np.int64)]
    codes: list[Any] = []
    counts: list[Any] = []
    windows: list[Any] = []
    skipped: list[Any] = []
    base = 0
    for genome, table in tables:
        genomes += [genome] * len(table)
        records += table.ids
        paths += table.files
        offsets.append(table.indptr[1:].astype(np.int64) + base)
        base += len(table.codes)
        codes.append(table.codes)
        counts.append(table.counts.astype(np.uint64, copy=False))
        windows.append(table.windows)
        skipped.append(table.skipped)
    every = np.concatenate(offsets)

    def listed(values: list[Any]) -> pyarrow.Array:
        flat = np.concatenate(values) if values else np.zeros(0, dtype=np.uint64)
        return pyarrow.LargeListArray.from_arrays(pyarrow.array(every, pyarrow.int64()),
                                                  pyarrow.array(flat, pyarrow.uint64()))

    def joined(values: list[Any]) -> pyarrow.Array:
        flat = np.concatenate(values) if values else np.zeros(0, dtype=np.uint64)
        return pyarrow.array(flat, pyarrow.uint64())

    columns: dict[str, Any] = {"genome": pyarrow.array(genomes, pyarrow.string())}
    if options.per_record:
        columns["record"] = pyarrow.array(records, pyarrow.string())
    columns["path"] = pyarrow.array(paths, pyarrow.string())
    columns["codes"] = listed(codes)
    columns["counts"] = listed(counts)
    columns["windows"] = joined(windows)
    columns["skipped"] = joined(skipped)
    metadata = {"velko.k": str(options.k), "velko.strands": options.strands,
                "velko.layout": "sparse"}
    return pyarrow.table(columns).replace_schema_metadata(metadata)


def _write_atomic(table: pyarrow.Table, path: str) -> dict[str, Any]:
    """Writes `table` as the Parquet file `path`, whole or not at all; returns what the
    manifest records of it: its size and SHA-256, taken before it is put in place."""
    import pyarrow.parquet

    from velko_tools.output import replacing

    with replacing(path) as written:
        pyarrow.parquet.write_table(table, written)
        size, digest = _digest(written)
    return {"size": size, "sha256": digest}


_DIGEST_CHUNK = 1 << 20


def _digest(path: str) -> tuple[int, str]:
    """The size and SHA-256 (hex) of the file at `path`, read in chunks."""
    sha = hashlib.sha256()
    size = 0
    buffer = bytearray(_DIGEST_CHUNK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as data:
        while count := data.readinto(buffer):
            sha.update(view[:count])
            size += count
    return size, sha.hexdigest()


def _run_batch(out: str, batch: _Batch, options: _Options, on_error: str) -> dict[str, Any]:
    """Counts a batch and writes its parts; returns the failures (in "raise" mode the first,
    as the exception itself, and nothing is written). Errors of a genome's content are
    returned, not raised, so that a scheduler retries only what failed around them."""
    profiles: list[tuple[str, Any]] = []
    genome_rows: list[dict[str, Any]] = []
    hit_rows: list[dict[str, Any]] = []
    error_rows: list[dict[str, Any]] = []
    searched = options.hmm_file is not None
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
    if error_rows:
        write("errors", _rows_table(error_rows, _ERROR_SCHEMA))
    # Hashed after the count: an input changed in between looks changed at the next resume.
    hashes = {item.path: _input_digest(item.path) for item in batch.inputs} \
        if batch.hash_inputs else {}
    return {"written": list(files), "files": files, "hashes": hashes,
            "failed": [row["path"] for row in error_rows]}


def _input_digest(path: str) -> str | None:
    try:
        return _digest(path)[1]
    except OSError:
        return None  # an input that cannot be read is in errors/; it is never kept unread


# --- the run directory --------------------------------------------------------------------------


def _write_json_atomic(value: Any, path: str) -> None:
    from velko_tools.output import open_written, replacing

    with replacing(path) as written, open_written(written, "utf-8") as out:
        json.dump(value, out, indent=1)


@dataclasses.dataclass(frozen=True)
class _Entry:
    """A manifest entry as read back: which genomes its part holds and how its files were
    written. ``files`` and ``options`` are None in entries of format 1."""

    part: str
    inputs: list[_Input]
    datasets: list[str]
    failed: list[str]  # paths
    files: dict[str, dict[str, Any]] | None
    options: dict[str, Any] | None
    hashes: dict[str, str]  # input path -> SHA-256, with verify_inputs="checksum"

    @property
    def genomes(self) -> list[str]:
        """The genomes of profiles/ and genomes/ (the inputs that did not fail)."""
        failed = set(self.failed)
        return [item.genome for item in self.inputs if item.path not in failed]


def _optional_int(value: Any) -> bool:
    return value is None or (isinstance(value, int) and not isinstance(value, bool))


def _parse_entry(part: str, value: Any) -> _Entry:
    """The manifest entry `value` (parsed JSON) checked field by field; ValueError says which
    field does not read."""
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    items = value.get("inputs")
    if not isinstance(items, list) or not items:
        raise ValueError("no list of inputs")
    inputs: list[_Input] = []
    hashes: dict[str, str] = {}
    for item in items:
        if not (isinstance(item, dict) and isinstance(item.get("path"), str)
                and isinstance(item.get("genome"), str)
                and all(_optional_int(item.get(key)) for key in ("size", "mtime_ns", "ctime_ns"))):
            raise ValueError(f"an input that does not read: {item!r:.200}")
        inputs.append(_Input(item["path"], item["genome"], item.get("size"),
                             item.get("mtime_ns"), item.get("ctime_ns")))
        if isinstance(item.get("sha256"), str):
            hashes[item["path"]] = item["sha256"]
    datasets = value.get("datasets")
    if (not isinstance(datasets, list) or any(d not in DATASETS for d in datasets)
            or len(set(datasets)) != len(datasets)):
        raise ValueError(f"datasets that do not read: {datasets!r:.200}")
    failed = value.get("failed")
    paths = {item.path for item in inputs}
    if not isinstance(failed, list) or any(path not in paths for path in failed):
        raise ValueError(f"failed inputs that do not read: {failed!r:.200}")
    files = value.get("files")
    if value.get("format", 1) >= 2 or files is not None:
        if not isinstance(files, dict) or sorted(files) != sorted(datasets) or not all(
                isinstance(facts, dict) and _optional_int(facts.get("size"))
                and isinstance(facts.get("size"), int) and isinstance(facts.get("sha256"), str)
                for facts in files.values()):
            raise ValueError(f"file sizes and checksums that do not read: {files!r:.200}")
    options = value.get("options")
    if options is not None and not isinstance(options, dict):
        raise ValueError(f"options that do not read: {options!r:.200}")
    return _Entry(part, inputs, datasets, failed, files, options, hashes)


def _read_manifest(out: str) -> tuple[dict[str, _Entry], dict[str, str]]:
    """The manifest's entries by part name (files not ending in .json are half-written), and
    the entries that do not read, by part name, with what is wrong with each."""
    directory = os.path.join(out, "manifest")
    entries: dict[str, _Entry] = {}
    damaged: dict[str, str] = {}
    if os.path.isdir(directory):
        for name in sorted(os.listdir(directory)):
            if name.startswith("part-") and name.endswith(".json"):
                part = name[: -len(".json")]
                try:
                    with open(os.path.join(directory, name), encoding="utf-8") as entry:
                        entries[part] = _parse_entry(part, json.load(entry))
                except (OSError, ValueError) as error:  # JSON and UTF-8 errors are ValueErrors
                    reason = error.strerror if isinstance(error, OSError) else str(error)
                    damaged[part] = f"a manifest entry that does not read ({reason})"
    return entries, damaged


def _manifest_path(out: str, part: str) -> str:
    return os.path.join(out, "manifest", part + ".json")


def _part_path(out: str, dataset: str, part: str) -> str:
    return os.path.join(out, dataset, part + ".parquet")


def _part_problems(out: str, entry: _Entry, options: dict[str, Any] | None,
                   full: bool) -> list[tuple[str, str]]:
    """What is wrong with the part of `entry`, each problem with the file it concerns: a file
    missing, of another size than recorded, or (with `full`) of another SHA-256, or of
    entries of format 1, holding other genomes than its entry lists; options other than
    `options` (run.json's)."""
    if options is not None and entry.options is not None and entry.options != options:
        return [(_manifest_path(out, entry.part), "a part counted with other options than "
                 "the run's")]
    problems: list[tuple[str, str]] = []
    for dataset in entry.datasets:
        path = _part_path(out, dataset, entry.part)
        try:
            size = os.stat(path).st_size
            if entry.files is None:
                if full:
                    problem = _genome_problem(_read_parquet(path), dataset, entry)
                    if problem:
                        problems.append((path, problem))
                continue
            recorded = entry.files[dataset]
            if size != recorded["size"]:
                problems.append((path, f"{size} bytes, not the {recorded['size']} its manifest "
                                       "entry records (cut short or written over)"))
            elif full and _digest(path)[1] != recorded["sha256"]:
                problems.append((path, "changed since it was written (its SHA-256 is not the "
                                       "one its manifest entry records)"))
        except FileNotFoundError:
            problems.append((path, "missing"))
        except OSError as error:
            problems.append((path, error.strerror or str(error)))
        except DamagedRunError as error:
            problems += error.problems
    return problems


def _read_parquet(path: str, data: bytes | None = None) -> pyarrow.Table:
    """The Parquet file `path` (or its bytes, already read); one that does not read as
    Parquet raises DamagedRunError."""
    import pyarrow
    import pyarrow.parquet

    try:
        return pyarrow.parquet.read_table(path if data is None else pyarrow.BufferReader(data))
    except (pyarrow.ArrowException, OSError) as error:
        if isinstance(error, OSError) and error.errno is not None:
            raise
        raise DamagedRunError(os.path.dirname(os.path.dirname(path)),
                              [(path, f"not a Parquet file that reads ({error})")]) from None


def _genome_problem(table: pyarrow.Table, dataset: str, entry: _Entry) -> str | None:
    """What is wrong with the genomes a part's file holds, for an entry that records no
    checksum: profiles/ and genomes/ hold the genomes that did not fail (genomes/ once each),
    errors/ those that did, hits/ some of those that did not."""
    if "genome" not in table.column_names:
        return "holds no genome column"
    held = table.column("genome").to_pylist()
    failed = set(entry.failed)
    wanted = {"errors": [item.genome for item in entry.inputs if item.path in failed]}.get(
        dataset, entry.genomes)
    if dataset == "hits":
        wrong = not set(held) <= set(wanted)
    elif dataset == "profiles":
        wrong = set(held) != set(wanted)
    else:
        wrong = sorted(held) != sorted(wanted)
    return "holds other genomes than its manifest entry lists" if wrong else None


def _read_settings(out: str) -> dict[str, Any]:
    """The options run.json records; DamagedRunError when it does not read."""
    settings = os.path.join(out, "run.json")
    try:
        with open(settings, encoding="utf-8") as text:
            stored = json.load(text)
    except ValueError as error:
        raise DamagedRunError(out, [(settings, f"does not read ({error})")]) from None
    if not isinstance(stored, dict) or not isinstance(stored.get("options"), dict):
        raise DamagedRunError(out, [(settings, "does not read (no options)")])
    # An option added since the run was written has the value that keeps its old meaning.
    options: dict[str, Any] = {**_OPTION_DEFAULTS, **stored["options"]}
    return options


_OPTION_DEFAULTS = {field.name: field.default for field in dataclasses.fields(_Options)
                    if field.default is not dataclasses.MISSING}


def _remove_part(out: str, part: str) -> None:
    # The manifest entry first: from then on the part is invisible, whatever remains of it.
    _remove(_manifest_path(out, part))
    for dataset in DATASETS:
        _remove(_part_path(out, dataset, part))


def _remove(path: str) -> None:
    """Removes the file `path`, or the directory put in a file's place by hand."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    except IsADirectoryError:
        import shutil

        shutil.rmtree(path)


def _remove_strays(out: str, parts: Iterable[str],
                   folders: tuple[str, ...] = (*DATASETS, "manifest")) -> None:
    """Removes every file of the datasets and the manifest (or of `folders`) that no manifest
    entry names: parts and temporary files of batches that never finished."""
    keep = {part + ".parquet" for part in parts} | {part + ".json" for part in parts}
    for dataset in folders:
        directory = os.path.join(out, dataset)
        if not os.path.isdir(directory):
            continue
        for name in os.listdir(directory):
            if name not in keep:
                _remove(os.path.join(directory, name))


@contextlib.contextmanager
def _locked(out: str) -> Iterator[None]:
    """Holds the run directory's lock: two drivers on one directory would undo each other."""
    with open(os.path.join(out, ".lock"), "a") as lock:
        try:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RunLockedError(f"{out}: another run is writing to this directory") from None
        yield


def _prepare(out: str, options: _Options, resume: bool) -> bool:
    """Makes the run directory, or checks an existing run counts with the same options (or
    clears it when not resuming). Returns True when run.json was there but did not read: it
    is written anew, and only parts whose entries record the same options are kept."""
    settings = os.path.join(out, "run.json")
    repaired = False
    if os.path.lexists(settings):
        if not resume:
            # The manifest entries first, so that an interruption leaves no part visible.
            _remove_strays(out, (), ("manifest",))
            _remove_strays(out, ())
        else:
            try:
                stored = _read_settings(out)
            except DamagedRunError:
                repaired = True
            else:
                if stored != dataclasses.asdict(options):
                    differences = options.differences(stored)
                    raise ValueError(f"{out} holds a run with {differences}: pass "
                                     "resume=False (--no-resume) to replace it, or another "
                                     "directory")
    for directory in (*DATASETS, "manifest"):
        os.makedirs(os.path.join(out, directory), exist_ok=True)
    _write_json_atomic({"format": _FORMAT, "options": dataclasses.asdict(options)}, settings)
    return repaired


def _stat(path: str) -> tuple[int | None, int | None]:
    return _identity(path)[:2]


def _identity(path: str) -> tuple[int | None, int | None, int | None]:
    """The size, modification time and change time of `path` (Nones when it cannot be looked
    at: the count reports why)."""
    try:
        status = os.stat(path)
    except OSError:
        return None, None, None
    return status.st_size, status.st_mtime_ns, status.st_ctime_ns


# --- schedulers ---------------------------------------------------------------------------------


def _follow_driver(driver: Any) -> None:
    """Ends a pool's worker once the driver has gone. Its workers outlive a driver killed
    outright (they and the forkserver keep each other alive), so each watches the read end of
    a pipe whose only write end the driver holds, and exits at its end of file."""
    import threading

    def watch() -> None:
        try:
            driver.recv()
        except (EOFError, OSError):
            pass
        os._exit(1)

    threading.Thread(target=watch, name="velko-follow-driver", daemon=True).start()


def _start_forkserver() -> None:
    """Starts the forkserver, unless it runs, with SIGINT ignored. Ctrl-C reaches every process
    of the terminal's group, and the forkserver (importing its preloads) and each worker would
    print a traceback of their own; the driver stops them itself. An ignored signal stays
    ignored through fork and exec, so every worker the forkserver forks ignores it too. Only
    the main thread may change the handler; from another, Ctrl-C reaches the main thread
    alone, never this one."""
    import multiprocessing.forkserver
    import multiprocessing.resource_tracker

    if threading.current_thread() is not threading.main_thread():
        multiprocessing.forkserver.ensure_running()
        return
    # The forkserver starts the resource tracker, which ignores SIGINT itself: started before,
    # it leaves the few milliseconds of the forkserver's own start ignoring Ctrl-C. Blocked
    # meanwhile, a Ctrl-C stays pending instead of being ignored (Linux keeps a blocked signal
    # even while its action is to ignore it) and arrives once unblocked, unless another thread
    # (a numerical library's) took it.
    multiprocessing.resource_tracker.ensure_running()
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            multiprocessing.forkserver.ensure_running()
        finally:
            signal.signal(signal.SIGINT, previous if previous is not None else signal.SIG_DFL)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


class _LocalPool:
    """Worker processes of this machine. A worker killed (SIGKILL, the kernel's OOM killer)
    breaks the whole pool: it is started again and the batches in flight submitted again."""

    def __init__(self, workers: int, search: bool = False) -> None:
        import concurrent.futures.process
        import multiprocessing

        self.futures = concurrent.futures
        self.workers = workers
        # Not fork: the driver may hold threads (a progress bar's, a Dask client's).
        self.context = multiprocessing.get_context("forkserver")
        # Imported once in the forkserver rather than in each worker, pool restarts included;
        # pyarrow's first conversion imports pandas, the slowest of them.
        preload = ["velko_tools.runs", "pyarrow.parquet"]
        if importlib.util.find_spec("pandas") is not None:
            preload.append("pandas")
        if search:
            preload += ["pyhmmer", "pyrodigal"]
        self.context.set_forkserver_preload(preload)
        _start_forkserver()
        self.driver_gone, self.driver_alive = self.context.Pipe(duplex=False)
        self.pool = self._start()

    def _start(self) -> Any:
        return self.futures.ProcessPoolExecutor(self.workers, mp_context=self.context,
                                                initializer=_follow_driver,
                                                initargs=(self.driver_gone,))

    @property
    def slots(self) -> int:
        return self.workers

    def submit(self, *args: Any) -> Any:
        return self.pool.submit(_run_batch, *args)

    def wait(self, futures: set[Any]) -> set[Any]:
        done, _ = self.futures.wait(futures, return_when=self.futures.FIRST_COMPLETED)
        return done

    def lost(self, error: BaseException) -> bool:
        """True when `error` says the pool broke; the pool is then started again."""
        if not isinstance(error, self.futures.process.BrokenProcessPool):
            return False
        self._stop(cancel=True)
        self.pool = self._start()
        return True

    def _stop(self, cancel: bool) -> None:
        if cancel:
            # Workers still counting would finish a batch no one waits for.
            for process in list(getattr(self.pool, "_processes", {}).values()):
                with contextlib.suppress(OSError):
                    process.kill()
        self.pool.shutdown(wait=True, cancel_futures=cancel)

    def close(self, cancel: bool = False) -> None:
        self._stop(cancel)
        self.driver_gone.close()
        self.driver_alive.close()


class _DaskPool:
    """The workers of a distributed.Client. Dask reschedules a task whose worker died (up to
    its allowed-failures), and the task itself retries DASK_RETRIES times."""

    def __init__(self, client: Any) -> None:
        self.client = client

    @property
    def slots(self) -> int:
        threads: dict[str, int] = self.client.nthreads()
        return max(1, sum(threads.values()))

    def submit(self, *args: Any) -> Any:
        return self.client.submit(_run_batch, *args, pure=False, retries=DASK_RETRIES)

    def wait(self, futures: set[Any]) -> set[Any]:
        from distributed import wait

        done, _ = wait(list(futures), return_when="FIRST_COMPLETED")
        return set(done)

    def lost(self, error: BaseException) -> bool:
        return False

    def close(self, cancel: bool = False) -> None:
        pass  # the client is the caller's


# --- the run --------------------------------------------------------------------------------------


def _check_options(k: int, strands: str, invalid: str, layout: str, genome_id: str,
                   on_error: str, batch_size: int | None, workers: int | None) -> None:
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= MAX_SPARSE_K:
        raise ValueError(f"k must be between 1 and {MAX_SPARSE_K}, not {k}")
    check_choice("strands", strands, Strands)
    check_choice("invalid", invalid, Invalid)
    check_choice("layout", layout, Layout)
    check_choice("genome_id", genome_id, GenomeId)
    check_choice("on_error", on_error, OnError)
    if layout == "dense" and k > MAX_DENSE_K:
        raise ValueError(f"a run stores dense profiles (4^k counts a genome) for k up to "
                         f"{MAX_DENSE_K}, not {k}: use layout='sparse' or 'auto'")
    for name, count in (("batch_size", batch_size), ("workers", workers)):
        if count is not None and (isinstance(count, bool) or not isinstance(count, int)
                                  or count < 1):
            raise ValueError(f"{name} must be a positive int or None, not {count!r}")


_CUTOFF_LINES = {"gathering": "GA", "trusted": "TC", "noise": "NC"}


def _check_search(hmm_file: StrPath | None,
                  cutoff: str | None) -> tuple[str | None, int | None, int | None]:
    """Checks the search's options before any work: the extra installed, the profile file
    readable, and each of its profiles holding the cutoff asked for (hmmsearch --cut_ga
    refuses a profile without its GA line, and so does a run). Returns the file's absolute
    path, size and modification time."""
    if hmm_file is None:
        if cutoff is not None:
            raise ValueError("cutoff needs hmm_file: the profiles whose cutoffs to apply")
        return None, None, None
    if cutoff is not None:
        check_choice("cutoff", cutoff, Cutoff)
    require(("pyrodigal", "pyhmmer"), "hmm_file: searching genes", HMMER_INSTALL)
    path = os.path.abspath(os.fsdecode(hmm_file))
    if "\0" in path:
        raise ValueError(f"embedded null byte in path {path!r}")
    size, mtime_ns = _stat(path)
    # One profile at a time: the driver keeps none of them (all of Pfam is large).
    count = 0
    for hmm in _each_profile(path):
        count += 1
        if cutoff is not None and not getattr(hmm.cutoffs, f"{cutoff}_available")():
            name = hmm.name.decode() if isinstance(hmm.name, bytes) else str(hmm.name)
            raise ValueError(f"the profile {name!r} in {path} has no {cutoff} cutoff "
                             f"({_CUTOFF_LINES[cutoff]} line): search without cutoff, or "
                             "with a profile file that has it")
    if not count:
        raise ValueError(f"{path}: no HMM profiles in the file")
    return path, size, mtime_ns


_GUARD = ("call run_genomes under `if __name__ == \"__main__\":`, since every worker "
          "process imports the main module again")


def _refuse_in_worker_import() -> None:
    """Refuses a run started while a worker process imports the main module (as forkserver and
    spawn workers do before their first task): a script calling run_genomes at its top level
    would start a run in every worker, each waiting on the driver's lock."""
    import multiprocessing

    if getattr(multiprocessing.current_process(), "_inheriting", False):
        # The main module runs as __mp_main__ there, under its own name while it is imported.
        main = getattr(sys.modules.get("__mp_main__"), "__file__", None) or "the main module"
        raise RuntimeError(f"run_genomes was called while a worker process imported {main}: "
                           + _GUARD)


def _main_hint() -> str:
    """For a run whose workers all died before finishing a batch: the likeliest cause when the
    main module is a script."""
    if getattr(sys.modules.get("__main__"), "__file__", None) is None:
        return ""
    return f" (a script that starts a run at its top level kills them: {_GUARD})"


def _check_readable_by_workers(paths: list[StrPath]) -> None:
    """Refuses inputs a run cannot read: this process's standard input (``-``, or another name
    of it such as /dev/stdin), which its worker processes do not share and a resume could not
    read again, and one pipe or device named twice."""
    stdin = device_inode("-")
    names = []
    for path in paths:
        name = os.fsdecode(path)
        found = device_inode(name) if name != "-" else stdin
        if name == "-" or (found is not None and stdin is not None and found[:2] == stdin[:2]):
            raise ValueError(f"{name!r} is standard input, which a run cannot read: worker "
                             "processes read its genomes, and a resume reads them again; save "
                             "it to a file")
        names.append(name)
    check_read_once(names)


def _auto_layout(k: int, strands: str, inputs: Iterable[_Input]) -> Layout:
    """What layout="auto" chooses for a run: dense while a genome's row can be mostly counts,
    that is while the row's k-mer columns are no more than the median input's size in bytes
    (a genome of L letters fills at most L of them), and never above MAX_DENSE_K; sparse
    otherwise. A compressed file counts as its size on disk, which leans to sparse."""
    if k > MAX_DENSE_K:
        return "sparse"
    sizes = sorted(item.size for item in inputs if item.size)
    if not sizes:
        return "dense"
    width = len(KmerLabels(k, canonical=strands == "canonical"))
    return "dense" if width <= sizes[len(sizes) // 2] else "sparse"


def _stored_layout(out: str) -> Layout | None:
    """The layout the run in `out` chose, or None when it has none that reads (the run's own
    checks report a damaged run.json)."""
    try:
        with open(os.path.join(out, "run.json"), encoding="utf-8") as text:
            stored = json.load(text)["options"]["layout"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return stored if stored in ("dense", "sparse") else None


def _default_batch_size(todo: list[_Input], slots: int) -> int:
    # About four batches per worker, so that the last batches leave no worker idle for long,
    # each within the larger of BATCH_BYTES and SLOT_BYTES per worker.
    if not todo:
        return 1
    slots = max(slots, 1)
    per_slot = math.ceil(len(todo) / (4 * slots))
    sizes = [item.size for item in todo if item.size]
    mean = sum(sizes) / len(sizes) if sizes else 1
    most = max(BATCH_BYTES, slots * SLOT_BYTES)
    return max(1, min(per_slot, int(most // max(mean, 1))))


def _progress(progress: Progress | None,
              total: int) -> tuple[Callable[[int], object], Callable[[], None]]:
    if progress is None:
        # A bar redrawn in a log file is noise: by default it is drawn for a person watching.
        progress = sys.stderr is not None and sys.stderr.isatty()
    if progress is False or total == 0:
        return (lambda done: None), lambda: None
    if callable(progress):
        callback = progress
        return (lambda done: callback(done, total)), lambda: None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="genome", file=sys.stderr, desc="genomes", leave=False)
    return (lambda done: bar.update(done - bar.n)), bar.close


def run_genomes(
    paths: StrPath | Iterable[StrPath],
    out: StrPath,
    *,
    k: int = 4,
    strands: Strands = "canonical",
    invalid: Invalid = "skip",
    per_record: bool = False,
    layout: Layout = "auto",
    hmm_file: StrPath | None = None,
    cutoff: Cutoff | None = None,
    stop_codon: bool = False,
    genome_id: GenomeId = "accession",
    batch_size: int | None = None,
    workers: int | None = None,
    client: Any = None,
    resume: bool = True,
    verify_inputs: VerifyInputs = "stat",
    on_error: OnError = "collect",
    progress: Progress | None = None,
) -> RunSummary:
    """Counts the k-mer profile, length, record count and GC share of every genome (a FASTA
    file, plain or gzip), and with ``hmm_file`` searches its genes, into the run directory
    ``out``; see the module's docstring for its layout and open_run to read it back.

    Each genome is counted as ``count_kmers(path, k, strands=..., invalid=..., per_file=not
    per_record, threads=1)``: one row per genome, or one per record with ``per_record``.
    ``genomes/`` holds per genome its ``records``, ``length`` (the bytes of its sequence lines,
    letters other than A, C, G, T included) and ``gc`` (G and C among its A, C, G, T, either
    case; NaN without any), from the same read as its profile. ``genome_id``: ``"accession"`` or
    ``"stem"``, as genome_id_of makes them; two inputs with one id raise ValueError.

    Batches of ``batch_size`` genomes (default: about four per worker, each of at most 256 MiB
    of input files, or 16 MiB per worker where there are more than 16) run on
    ``workers`` local processes (default: the cores this process may use), or on the workers
    of ``client``, a ``distributed.Client``. A local worker killed mid-batch breaks the pool:
    it is started again and the batches in flight go again, up to MAX_RETRIES times
    (WorkerLostError then); on Dask the scheduler reschedules them.

    ``on_error="collect"``: a genome that cannot be read (FastaFormatError, InvalidBaseError
    with ``invalid="error"``, OSError, gzip damage) becomes a row of ``errors/`` (genome,
    path, error class, message, line, column) and the run goes on; ``"raise"`` raises the first
    such error in the driver after the batches in flight have stopped.

    ``resume=True`` keeps what an earlier run with the same options wrote (finished batches of
    unchanged inputs, failures included) and counts the rest; options that differ raise
    ValueError. ``resume=False`` clears the run first. Ctrl-C stops the run with
    KeyboardInterrupt; every batch finished before is kept. A resume checks the size and
    SHA-256 of every part it keeps: a part missing, cut short or changed, or whose manifest
    entry does not read, is dropped and its genomes counted again (``repaired`` in the
    summary); a run.json that does not read is written anew, keeping the parts whose entries
    record the options asked for. ``verify_inputs``: ``"stat"`` takes an input as unchanged
    when its size, modification time and change time are; ``"checksum"`` also records each
    input's SHA-256 and compares it instead of the times (for file systems whose times are not
    to be trusted; a resume then reads every input it keeps).

    ``hmm_file``: a file of HMMER 3 profiles (plain or gzip) to search each genome's genes
    with. Its genes are predicted with pyrodigal (trained on the genome when it holds at least
    100 kb, as Prodigal's single mode wants; its metagenomic models below that) and translated
    without the stop codon; its proteins are searched with ``pyhmmer.hmmsearch`` on one CPU
    and read with ``HitTable.from_pyhmmer``: each gene's best hit per profile. ``cutoff``
    (``"gathering"``, ``"trusted"``, ``"noise"``) makes the search apply the profiles' GA,
    TC or NC lines as ``hmmsearch --cut_ga`` does (without it, HMMER's reporting E-value of
    10); a profile without the line raises ValueError at the call, before any work.
    ``stop_codon=True`` ends each protein with ``*`` where its gene has a stop codon, as
    ``prodigal -a`` writes them: hmmsearch scores the ``*`` too (up to a few bits), so the hits
    then match ``prodigal -a`` and ``hmmsearch`` run by hand; by default proteins have no stop.
    ``hits/`` holds per hit the genome, ``gene_id`` (``GENOME|RECORD_N``, Prodigal's
    numbering within the record), ``hmm_id`` (the profile's name), ``e_value``,
    ``bit_score`` and ``genome_best``: true for the genome's top hit of the profile (highest
    bit score, then lowest E-value, then the first gene). ``genomes/`` gains ``genes``, the
    number predicted. Needs pyrodigal and pyhmmer (``pip install pyrodigal pyhmmer``;
    ImportError at the call without them). A resume needs the profile file unchanged.

    ``layout``: ``"dense"`` profiles hold 4^k counts a genome (k up to 12); ``"sparse"``
    profiles only the k-mers seen (k up to 32), as SparseKmerTable rows; ``"auto"`` is dense
    while a row's k-mer columns (4^k, or the canonical ones) are no more than the median input
    file's size in bytes, so that a genome's row can be mostly counts, and up to k = 12;
    sparse otherwise. It is decided once for the whole run, when it starts: run.json keeps the
    choice, a resume keeps it, and the summary says it.
    ``progress``: ``True`` draws a tqdm bar over genomes on standard error, ``False`` none,
    ``None`` (the default) a bar when standard error is a terminal; a callable is called as
    ``progress(genomes_done, genomes_to_do)`` instead.

    Needs pyarrow (``pip install pyarrow``), and distributed for ``client``.
    """
    started = time.monotonic()
    _refuse_in_worker_import()
    _check_options(k, strands, invalid, layout, genome_id, on_error, batch_size, workers)
    check_choice("verify_inputs", verify_inputs, VerifyInputs)
    hmm_path, hmm_size, hmm_mtime_ns = _check_search(hmm_file, cutoff)
    if stop_codon and hmm_path is None:
        raise ValueError("stop_codon needs hmm_file: it changes the proteins searched")
    if client is not None and workers is not None:
        raise ValueError("pass workers or client, not both: a client's workers are its cluster's")
    require(("pyarrow", "pyarrow.parquet"), "writing a run's Parquet parts",
            "pip install pyarrow")
    inputs: dict[str, _Input] = {}
    owners: dict[str, str] = {}
    given_paths = as_paths(paths)
    _check_readable_by_workers(given_paths)
    for given in given_paths:
        path = os.path.abspath(os.fsdecode(given))
        if "\0" in path:
            raise ValueError(f"embedded null byte in path {path!r}")
        if path in inputs:
            continue  # one genome, named twice
        genome = genome_id_of(path, genome_id)
        if genome in owners:
            raise GenomeIdError(owners[genome], path, genome, genome_id)
        owners[genome] = path
        inputs[path] = _Input(path, genome, *_identity(path))

    out_dir = os.path.abspath(os.fsdecode(out))
    # "auto" is decided once for the whole run, so that every genome's profile has one form,
    # and a resume keeps what the run chose.
    chosen = layout if layout != "auto" else (
        resume and _stored_layout(out_dir) or _auto_layout(k, strands, inputs.values()))
    options = _Options(k=k, strands=strands, invalid=invalid, per_record=bool(per_record),
                       genome_id=genome_id, layout=chosen, hmm_file=hmm_path,
                       hmm_size=hmm_size, hmm_mtime_ns=hmm_mtime_ns, cutoff=cutoff,
                       stop_codon=bool(stop_codon))
    os.makedirs(out_dir, exist_ok=True)
    with _locked(out_dir):
        kept, removed, repaired = _keep(out_dir, options, resume, inputs, verify_inputs)
        todo = [item for path, item in inputs.items() if path not in kept]
        pool: _LocalPool | _DaskPool
        if client is not None:
            pool = _DaskPool(client)
        else:
            pool = _LocalPool(workers or len(os.sched_getaffinity(0)),
                              search=hmm_path is not None)
        try:
            done, failed, retried = _execute(out_dir, todo, options, on_error, pool,
                                             batch_size, progress, verify_inputs == "checksum")
        except BaseException:
            pool.close(cancel=True)
            raise
        pool.close()
    return RunSummary(out=out_dir, done=done, skipped=len(kept), failed=failed, removed=removed,
                      retried=retried, seconds=time.monotonic() - started, layout=options.layout,
                      repaired=repaired)


def _keep(out: str, options: _Options, resume: bool, inputs: dict[str, _Input],
          verify_inputs: str) -> tuple[set[str], int, int]:
    """Prepares the run directory and decides which parts a resume keeps: those whose files
    are whole and whose inputs are unchanged and still asked for. Removes the others, and every
    file no kept entry names. Returns the paths kept, the genomes removed (their input changed
    or was not asked for), and the damaged parts dropped."""
    settings_repaired = _prepare(out, options, resume)
    asked = dataclasses.asdict(options)
    entries, damaged = _read_manifest(out)
    repaired = len(damaged)
    kept: set[str] = set()
    valid: list[str] = []
    removed = 0
    for part, entry in entries.items():
        # Without run.json, only an entry's own record of the options vouches for its part.
        if (settings_repaired and entry.options is None) or _part_problems(
                out, entry, asked, full=True) or any(item.path in kept for item in entry.inputs):
            _remove_part(out, part)
            repaired += 1
            continue
        changed = sum(not _unchanged(inputs.get(item.path), item, entry, verify_inputs)
                      for item in entry.inputs)
        if changed:
            # Its unchanged genomes are counted again, in a new part.
            _remove_part(out, part)
            removed += changed
        else:
            kept.update(item.path for item in entry.inputs)
            valid.append(part)
    _remove_strays(out, valid)
    return kept, removed, repaired


def _unchanged(asked: _Input | None, stored: _Input, entry: _Entry, verify_inputs: str) -> bool:
    """True when the input a resume asks for is the one `entry` counted: the same file by
    its size and times, or with "checksum" by its size and SHA-256 whatever its times."""
    if asked is None:
        return False
    if verify_inputs == "stat":
        return asked.same_file(stored)
    recorded = entry.hashes.get(stored.path)
    return (asked.path == stored.path and asked.genome == stored.genome
            and asked.size == stored.size and recorded is not None
            and _input_digest(asked.path) == recorded)


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Holds a Ctrl-C back until the block ends, then raises it. A local pool starts a worker
    process as a batch is submitted; interrupted half way, the pool would not know the process
    to stop it, and the worker, started after the driver had gone, would print a traceback of
    its own. Only Python's own handler is replaced, and only on the main thread, which is the
    one that receives the signal."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


def _execute(out: str, todo: list[_Input], options: _Options, on_error: str,
             pool: _LocalPool | _DaskPool, batch_size: int | None,
             progress: Progress | None, hash_inputs: bool = False) -> tuple[int, int, int]:
    """Runs the batches of `todo`, at most two per worker slot in flight, and writes each
    finished batch's manifest entry; returns genomes done, failed and batches retried."""
    size = batch_size or _default_batch_size(todo, pool.slots)
    session = f"{time.strftime('%Y%m%dT%H%M%S', time.gmtime())}-{secrets.token_hex(3)}"
    batches = [_Batch(f"part-{session}-{n:06d}", todo[start:start + size],
                      hash_inputs=hash_inputs)
               for n, start in enumerate(range(0, len(todo), size))]
    waiting = list(reversed(batches))
    in_flight: dict[Any, _Batch] = {}
    done = failed = retried = 0
    report, close_report = _progress(progress, len(todo))
    try:
        while waiting or in_flight:
            try:
                with _interrupt_deferred():
                    while waiting and len(in_flight) < 2 * pool.slots:
                        # Taken off the list only once submitted: a broken pool refuses it.
                        future = pool.submit(out, waiting[-1], options, on_error)
                        in_flight[future] = waiting.pop()
                for future in pool.wait(set(in_flight)):
                    result = future.result()
                    batch = in_flight.pop(future)
                    if "raised" in result:
                        raise result["raised"]
                    hashes = result["hashes"]
                    _write_json_atomic(
                        {"format": _FORMAT, "part": batch.part,
                         "datasets": result["written"], "files": result["files"],
                         "failed": result["failed"],
                         "inputs": [{**item.entry(), **({"sha256": hashes[item.path]}
                                                        if hashes.get(item.path) else {})}
                                    for item in batch.inputs],
                         "options": dataclasses.asdict(options)},
                        _manifest_path(out, batch.part))
                    done += len(batch.inputs)
                    failed += len(result["failed"])
                    report(done)
            except BaseException as error:
                if not pool.lost(error):
                    raise
                # Every batch in flight went down with the pool (a finished one not yet
                # recorded is counted again: it writes the same part).
                lost = list(in_flight.values())
                in_flight.clear()
                for again in lost:
                    again.attempts += 1
                    if again.attempts > MAX_RETRIES:
                        raise WorkerLostError(
                            f"worker processes died {again.attempts} times while counting a "
                            f"batch of {len(again.inputs)} genomes from "
                            f"{again.inputs[0].path}{'' if done else _main_hint()}") from error
                retried += len(lost)
                waiting += reversed(lost)
    finally:
        close_report()
    return done, failed, retried


# --- reading a run back ---------------------------------------------------------------------------


class Run:
    """A run directory as its manifest says it is: only parts with a manifest entry count.

    ``profiles()`` is a KmerTable (rows sorted by genome, records in file order),
    ``genomes()`` and ``errors()`` pandas DataFrames sorted by genome, ``hits()`` a HitTable
    and ``hits_frame()`` a pandas DataFrame of a run that searched, ``table(name)`` any
    dataset as a pyarrow Table sorted the same way, and ``to_dask(name)`` a Dask DataFrame over
    its parts (needs dask). ``inputs`` lists the manifest's inputs (path, genome, size,
    mtime_ns).
    """

    def __init__(self, out: StrPath, *, verify: bool = False) -> None:
        self.out = os.path.abspath(os.fsdecode(out))
        if not os.path.lexists(os.path.join(self.out, "run.json")):
            raise FileNotFoundError(f"{self.out}: not a run directory (no run.json)")
        self.options: dict[str, Any] = _read_settings(self.out)
        entries, damaged = _read_manifest(self.out)
        problems = [(_manifest_path(self.out, part), reason) for part, reason in damaged.items()]
        problems += _run_problems(self.out, entries, self.options, full=verify)
        if problems:
            raise DamagedRunError(self.out, problems)
        self._manifest = entries

    @property
    def inputs(self) -> list[dict[str, Any]]:
        return sorted((item.entry() for entry in self._manifest.values()
                       for item in entry.inputs), key=lambda item: item["genome"])

    def parts(self, dataset: str) -> list[str]:
        """The files of `dataset` that belong to the run, in part order."""
        return [_part_path(self.out, dataset, entry.part) for entry in self._entries(dataset)]

    def _entries(self, dataset: str) -> list[_Entry]:
        if dataset not in DATASETS:
            raise ValueError(f"dataset must be one of {', '.join(DATASETS)}, not {dataset!r}")
        return [entry for _, entry in sorted(self._manifest.items())
                if dataset in entry.datasets]

    def _read_part(self, entry: _Entry, dataset: str) -> pyarrow.Table:
        """A part's file, checked against its manifest entry as it is read: by its SHA-256, or
        for an entry of format 1 by the genomes it holds."""
        path = _part_path(self.out, dataset, entry.part)
        try:
            with open(path, "rb") as file:
                data = file.read()
        except FileNotFoundError:
            raise DamagedRunError(self.out, [(path, "missing")]) from None
        if entry.files is not None:
            recorded = entry.files[dataset]
            if len(data) != recorded["size"] or \
                    hashlib.sha256(data).hexdigest() != recorded["sha256"]:
                raise DamagedRunError(self.out, [(path, "changed since it was written (its "
                                                  "size or SHA-256 is not the one its manifest "
                                                  "entry records)")])
            return _read_parquet(path, data)
        table = _read_parquet(path, data)
        problem = _genome_problem(table, dataset, entry)
        if problem:
            raise DamagedRunError(self.out, [(path, problem)])
        return table

    def table(self, dataset: str) -> pyarrow.Table:
        """`dataset` as one pyarrow Table, rows sorted by genome (stable: records in order)."""
        import pyarrow

        parts = [self._read_part(entry, dataset) for entry in self._entries(dataset)]
        table = pyarrow.concat_tables(parts) if parts else _empty_table(dataset, self.options)
        order = np.argsort(np.asarray(table.column("genome").to_pylist(), dtype=object),
                           kind="stable")
        return table.take(pyarrow.array(order, pyarrow.int64()))

    def profiles(self) -> KmerTable | SparseKmerTable:
        """One profile per genome (or record), sorted by genome: a KmerTable, or for a run of
        sparse profiles a SparseKmerTable."""
        options = self.options
        table = self.table("profiles")
        if options.get("layout") == "sparse":
            return _sparse_profiles(table, options)
        kmers = _kmer_labels(table, options)
        width = len(kmers)
        counts = table.column("counts").combine_chunks()
        values = counts.flatten().to_numpy(zero_copy_only=False).astype(np.uint64, copy=False)
        ids = table.column("record" if options["per_record"] else "genome").to_pylist()
        return KmerTable(ids, table.column("path").to_pylist(), options["k"],
                         options["strands"], kmers, values.reshape(len(table), width),
                         table.column("windows").to_numpy().astype(np.uint64),
                         table.column("skipped").to_numpy().astype(np.uint64))

    def genomes(self) -> pandas.DataFrame:
        return self.table("genomes").to_pandas()

    def errors(self) -> pandas.DataFrame:
        return self.table("errors").to_pandas()

    @property
    def searched(self) -> bool:
        """True for a run that searched genes against profiles (hmm_file)."""
        return self.options.get("hmm_file") is not None

    def _hits_table(self, top: bool) -> pyarrow.Table:
        if not self.searched:
            raise ValueError(f"{self.out}: this run searched no profiles (run_genomes without "
                             "hmm_file)")
        table = self.table("hits")
        return table.filter(table.column("genome_best")) if top else table

    def hits(self, *, top: bool = False) -> HitTable:
        """Each gene's best hit per profile, over every genome; ``top=True`` keeps each
        genome's top hit per profile alone. Raises ValueError for a run without hmm_file."""
        from velko_tools.hits import HitTable

        table = self._hits_table(top)
        return HitTable._from_columns(table.column("gene_id").to_pylist(),
                                      table.column("hmm_id").to_pylist(),
                                      table.column("e_value").to_numpy(),
                                      table.column("bit_score").to_numpy())

    def hits_frame(self, *, top: bool = False) -> pandas.DataFrame:
        """hits/ as a DataFrame sorted by genome (genes in genome order): genome, gene_id,
        hmm_id, e_value, bit_score, genome_best."""
        return self._hits_table(top).to_pandas()

    def to_dask(self, dataset: str) -> Any:
        import dask.dataframe

        files = self.parts(dataset)
        if not files:
            return dask.dataframe.from_pandas(self.table(dataset).to_pandas(), npartitions=1)
        return dask.dataframe.read_parquet(files)

    def __repr__(self) -> str:
        return f"<Run {self.out!r} genomes={len(self.inputs)} parts={len(self._manifest)}>"


def _run_problems(out: str, entries: dict[str, _Entry], options: dict[str, Any] | None,
                  full: bool) -> list[tuple[str, str]]:
    """Every problem of the parts of `entries` (see _part_problems), and each genome that is in
    two parts."""
    problems: list[tuple[str, str]] = []
    owners: dict[str, str] = {}
    for part, entry in entries.items():
        problems += _part_problems(out, entry, options, full)
        for item in entry.inputs:
            owner = owners.setdefault(item.genome, part)
            if owner != part:
                problems.append((_manifest_path(out, part),
                                 f"genome {item.genome!r} is in {owner} too"))
    return problems


@dataclasses.dataclass(frozen=True)
class RunCheck:
    """What check_run found: ``parts`` and ``genomes`` (those of readable manifest entries),
    ``failed`` (genomes in errors/), and ``problems``, each a (file, what is wrong) pair;
    ``ok`` when there are none."""

    out: str
    parts: int
    genomes: int
    failed: int
    problems: list[tuple[str, str]]

    @property
    def ok(self) -> bool:
        return not self.problems


def check_run(out: StrPath) -> RunCheck:
    """Checks every file of the run directory `out` against its manifest (each part there, of
    its recorded size and SHA-256, each manifest entry and run.json readable, no genome in two
    parts) without changing anything. FileNotFoundError when `out` holds no run."""
    directory = os.path.abspath(os.fsdecode(out))
    if not os.path.lexists(os.path.join(directory, "run.json")):
        raise FileNotFoundError(f"{directory}: not a run directory (no run.json)")
    options: dict[str, Any] | None
    try:
        options = _read_settings(directory)
        problems: list[tuple[str, str]] = []
    except DamagedRunError as error:
        options, problems = None, error.problems
    entries, damaged = _read_manifest(directory)
    problems += [(_manifest_path(directory, part), reason) for part, reason in damaged.items()]
    problems += _run_problems(directory, entries, options, full=True)
    return RunCheck(out=directory, parts=len(entries),
                    genomes=sum(len(entry.inputs) for entry in entries.values()),
                    failed=sum(len(entry.failed) for entry in entries.values()),
                    problems=problems)


def _sparse_profiles(table: pyarrow.Table, options: dict[str, Any]) -> SparseKmerTable:
    codes = table.column("codes").combine_chunks()
    counts = table.column("counts").combine_chunks()
    indptr: Any = np.zeros(1, dtype=np.uint64)
    if len(table) != 0:
        offsets = np.asarray(codes.offsets, dtype=np.int64)
        indptr = (offsets - offsets[0]).astype(np.uint64)

    def values(column: Any) -> Any:
        return column.flatten().to_numpy(zero_copy_only=False).astype(np.uint64, copy=False)

    ids = table.column("record" if options["per_record"] else "genome").to_pylist()
    return SparseKmerTable(ids, table.column("path").to_pylist(), options["k"],
                           options["strands"], indptr, values(codes), values(counts),
                           table.column("windows").to_numpy().astype(np.uint64),
                           table.column("skipped").to_numpy().astype(np.uint64))


def _kmer_labels(table: pyarrow.Table, options: dict[str, Any]) -> Sequence[str]:
    metadata = table.schema.metadata or {}
    if b"velko.kmers" in metadata:  # parts written before the labels were left out
        return list(json.loads(metadata[b"velko.kmers"]))
    return KmerLabels(options["k"], canonical=options["strands"] == "canonical")


def _empty_table(dataset: str, options: dict[str, Any]) -> pyarrow.Table:
    if dataset == "genomes":
        return _rows_table([], _genome_schema(options.get("hmm_file") is not None))
    if dataset == "errors":
        return _rows_table([], _ERROR_SCHEMA)
    if dataset == "hits":
        return _rows_table([], _HIT_SCHEMA)
    return _profiles_table([], _Options(**options))


def open_run(out: StrPath, *, verify: bool = False) -> Run:
    """The run directory `out` as run_genomes left it (finished batches only): see Run.

    Checks that every part its manifest names is there with its recorded size and that no
    genome is in two parts; each part's SHA-256 is checked as a dataset is read, and with
    ``verify=True`` every part's at once (as check_run does). Raises FileNotFoundError when
    `out` holds no run, DamagedRunError (naming the file) when it is damaged.
    """
    return Run(out, verify=verify)


__all__ = ["FASTA_SUFFIXES", "GenomeIdError", "Run", "RunCheck", "RunLockedError", "RunSummary",
           "WorkerLostError", "check_run", "expand_inputs", "genome_id_of", "open_run",
           "run_genomes"]
