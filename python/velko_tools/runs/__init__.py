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

from velko_tools.runs.driver import RunSummary, WorkerLostError, run_genomes
from velko_tools.runs.inputs import (
    FASTA_SUFFIXES,
    GenomeId,
    GenomeIdError,
    expand_inputs,
    genome_id_of,
)
from velko_tools.runs.options import OnError, VerifyInputs
from velko_tools.runs.reader import Run, RunCheck, check_run, open_run
from velko_tools.runs.store import DATASETS, RunLockedError

__all__ = [
    "DATASETS",
    "FASTA_SUFFIXES",
    "GenomeId",
    "GenomeIdError",
    "OnError",
    "Run",
    "RunCheck",
    "RunLockedError",
    "RunSummary",
    "VerifyInputs",
    "WorkerLostError",
    "check_run",
    "expand_inputs",
    "genome_id_of",
    "open_run",
    "run_genomes",
]
