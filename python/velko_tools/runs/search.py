"""The search of one genome, in a worker: its genes predicted with pyrodigal, its proteins
searched with pyhmmer against the run's profiles (read once per worker process)."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator
from typing import Any

import velko_tools._core as _core
from velko_tools._args import (
    HMMER_INSTALL,
    StrPath,
    check_choice,
    native_inputs,
    path_parts,
    require,
)
from velko_tools.annotate import Cutoff, check_cutoffs
from velko_tools.errors import _ContentError
from velko_tools.runs.inputs import _Input, _stat
from velko_tools.runs.options import _Options

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
            raise RuntimeError(
                f"{path} changed while the run was searching with it: run "
                "again with resume=False (--no-resume)"
            )
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
        raise _ContentError(f"{path}: not a file of HMMER profiles: {error}") from None


def _records(path: str, length: int) -> list[tuple[str, bytes]]:
    """(id, sequence) per record, read by the native reader as the count read them (the same
    rules and errors). `length` is the sequence bytes the count found, which this reading holds
    and never more."""
    from velko_tools.layout import available_memory

    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(
            f"{path}: not a regular file: a search reads each genome a second "
            "time, which a FIFO or a device cannot give; save it to a file"
        )
    if length > available_memory() // 2:
        raise MemoryError(
            f"{path}: searching its genes needs its {length} bytes of sequence "
            f"in memory, more than half of the {available_memory()} available"
        )
    records = []
    kept = 0
    for record in _core.FastaRecords(*native_inputs([path_parts(path)])[0]):
        kept += len(record[1])
        if kept > length:
            raise ValueError(
                f"{path} changed while it was searched: it holds more sequence than the count found"
            )
        records.append(record)
    return records


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


def _search_genome(
    item: _Input, options: _Options, length: int
) -> tuple[list[dict[str, Any]], int]:
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
            proteins.append(
                pyhmmer.easel.TextSequence(
                    name=name.encode("utf-8", "surrogateescape"),
                    sequence=gene.translate(include_stop=options.stop_codon),
                ).digitize(alphabet)
            )
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
    return [
        {
            "genome": item.genome,
            "gene_id": gene,
            "hmm_id": hmm,
            "e_value": e_value,
            "bit_score": bit_score,
            "genome_best": at in tops,
        }
        for at, (gene, hmm, e_value, bit_score) in enumerate(rows)
    ], len(order)


def _check_search(
    hmm_file: StrPath | None, cutoff: Cutoff | None
) -> tuple[str | None, int | None, int | None]:
    """Checks the search's options before any work: the extra installed, the profile file
    readable, and each of its profiles holding the cutoff asked for (hmmsearch --cut_ga
    refuses a profile without its GA line, and so does a run: HmmerFormatError, with the text
    read_hmmer gives). Returns the file's absolute path, size and modification time."""
    if hmm_file is None:
        if cutoff is not None:
            raise ValueError("cutoff needs hmm_file: the profiles whose cutoffs to apply")
        return None, None, None
    if cutoff is not None:
        check_choice("cutoff", cutoff, Cutoff)
    require(("pyrodigal", "pyhmmer"), "hmm_file: searching genes", HMMER_INSTALL)
    path = os.path.abspath(path_parts(hmm_file)[1])
    size, mtime_ns = _stat(path)
    if cutoff is not None:
        check_cutoffs(path, cutoff)
    # One profile at a time: the driver keeps none of them (all of Pfam is large).
    count = sum(1 for _ in _each_profile(path))
    if not count:
        raise _ContentError(f"{path}: no HMM profiles in the file")
    return path, size, mtime_ns
