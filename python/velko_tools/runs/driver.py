"""run_genomes: plans a run, decides what a resume keeps, and runs the batches left on a pool."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import math
import os
import secrets
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from velko_tools._args import (
    Invalid,
    Layout,
    Progress,
    Strands,
    StrPath,
    as_paths,
    check_choice,
    path_parts,
    require,
    usable_cores,
)
from velko_tools.annotate import Cutoff
from velko_tools.layout import run_layout
from velko_tools.runs.inputs import (
    GenomeId,
    GenomeIdError,
    _check_readable_by_workers,
    _identity,
    _Input,
    _input_digest,
    genome_id_of,
)
from velko_tools.runs.options import (
    OnError,
    VerifyInputs,
    _check_options,
    _OptionError,
    _Options,
)
from velko_tools.runs.pools import Pool, _DaskPool, _LocalPool
from velko_tools.runs.search import _check_search
from velko_tools.runs.sketches import check_sketch
from velko_tools.runs.store import (
    _FORMAT,
    _Entry,
    _locked,
    _manifest_path,
    _part_problems,
    _prepare,
    _read_manifest,
    _remove_part,
    _remove_strays,
    _write_json_atomic,
)
from velko_tools.runs.work import _Batch

# Times the batches in flight are resubmitted after a local worker process died, before the
# run stops; Dask's scheduler has its own count (allowed-failures) for a worker lost.
MAX_RETRIES = 3


# The input a batch holds at most by default: enough that a task's fixed costs (the scheduler's
# round trip, a part's Parquet files, its manifest entry) are lost beside its counting, little
# enough that a retry or an interruption loses seconds, not minutes. Many workers finish batches
# often, and the driver spends some milliseconds on each: the bound grows by SLOT_BYTES a worker
# so that it keeps up.
BATCH_BYTES = 256 << 20


SLOT_BYTES = 16 << 20


class WorkerLostError(RuntimeError):
    """Worker processes died while counting the same batch more often than the retry limit.

    The batches finished before stay in the run: running it again resumes from them.
    """


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
    #: Genomes of the run in errors/ after the call: ``failed`` and those of the kept parts.
    errors: int = 0

    @property
    def ok(self) -> bool:
        """True when no genome counted by this call failed."""
        return self.failed == 0

    def __str__(self) -> str:
        repaired = f", {self.repaired} damaged parts redone" if self.repaired else ""
        return (
            f"{self.done} genomes done ({self.failed} failed), {self.skipped} already done, "
            f"{self.removed} removed{repaired}, {self.layout} profiles, in "
            f"{self.seconds:.1f} s: {self.out}"
        )


_GUARD = (
    'call run_genomes under `if __name__ == "__main__":`, since every worker '
    "process imports the main module again"
)


def _refuse_in_worker_import() -> None:
    """Refuses a run started while a worker process imports the main module (as forkserver and
    spawn workers do before their first task): a script calling run_genomes at its top level
    would start a run in every worker, each waiting on the driver's lock."""
    import multiprocessing

    if getattr(multiprocessing.current_process(), "_inheriting", False):
        # The main module runs as __mp_main__ there, under its own name while it is imported.
        main = getattr(sys.modules.get("__mp_main__"), "__file__", None) or "the main module"
        raise RuntimeError(
            f"run_genomes was called while a worker process imported {main}: " + _GUARD
        )


def _main_hint() -> str:
    """For a run whose workers all died before finishing a batch: the likeliest cause when the
    main module is a script."""
    if getattr(sys.modules.get("__main__"), "__file__", None) is None:
        return ""
    return f" (a script that starts a run at its top level kills them: {_GUARD})"


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


def _progress(
    progress: Progress | None, total: int
) -> tuple[Callable[[int], object], Callable[[], None]]:
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
    sketch: dict[str, int] | None = None,
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

    ``sketch``: a dict of ``k``, ``scaled`` and ``seed`` (defaults 31, 1000 and 42; e.g.
    ``sketch={"k": 31, "scaled": 1000}``) also takes each genome's FracMinHash sketch (each
    record's with ``per_record``) as velko_tools.sketch does, into ``sketches/`` (genome, id,
    path, hashes), in the same task as its profile; ``open_run(out).sketches()`` gives them as
    one SketchTable. A resume needs the same sketch options.

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
    try:
        _check_options(k, strands, invalid, layout, genome_id, on_error, batch_size, workers)
        check_choice("verify_inputs", verify_inputs, VerifyInputs)
        hmm_path, hmm_size, hmm_mtime_ns = _check_search(hmm_file, cutoff)
        if stop_codon and hmm_path is None:
            raise ValueError("stop_codon needs hmm_file: it changes the proteins searched")
        sketched = check_sketch(sketch)
        if client is not None and workers is not None:
            raise ValueError(
                "pass workers or client, not both: a client's workers are its cluster's"
            )
        require(
            ("pyarrow", "pyarrow.parquet"), "writing a run's Parquet parts", "pip install pyarrow"
        )
        inputs: dict[str, _Input] = {}
        owners: dict[str, str] = {}
        given_paths = as_paths(paths)
        _check_readable_by_workers(given_paths)
        for given in given_paths:
            path = os.path.abspath(path_parts(given)[1])
            if path in inputs:
                continue  # one genome, named twice
            genome = genome_id_of(path, genome_id)
            if genome in owners:
                raise GenomeIdError(owners[genome], path, genome, genome_id)
            owners[genome] = path
            inputs[path] = _Input(path, genome, *_identity(path))
    except ValueError as error:
        # The checks' own refusals; what an input holds (VelkoError) and two genomes with one
        # id (GenomeIdError) keep their classes.
        if type(error) is not ValueError:
            raise
        raise _OptionError(*error.args) from None

    out_dir = os.path.abspath(os.fsdecode(out))
    # "auto" is decided once for the whole run, so that every genome's profile has one form,
    # and a resume keeps what the run chose.
    chosen = (
        layout
        if layout != "auto"
        else (
            resume
            and _stored_layout(out_dir)
            or run_layout(k, strands, (item.size for item in inputs.values()))
        )
    )
    options = _Options(
        k=k,
        strands=strands,
        invalid=invalid,
        per_record=bool(per_record),
        genome_id=genome_id,
        layout=chosen,
        hmm_file=hmm_path,
        hmm_size=hmm_size,
        hmm_mtime_ns=hmm_mtime_ns,
        cutoff=cutoff,
        stop_codon=bool(stop_codon),
        sketch_k=None if sketched is None else sketched["k"],
        sketch_scaled=None if sketched is None else sketched["scaled"],
        sketch_seed=None if sketched is None else sketched["seed"],
    )
    os.makedirs(out_dir, exist_ok=True)
    with _locked(out_dir):
        kept, removed, repaired, kept_failed = _keep(
            out_dir, options, resume, inputs, verify_inputs
        )
        todo = [item for path, item in inputs.items() if path not in kept]
        pool: Pool
        if client is not None:
            pool = _DaskPool(client)
        else:
            pool = _LocalPool(workers or usable_cores(), search=hmm_path is not None)
        try:
            done, failed, retried = _execute(
                out_dir,
                todo,
                options,
                on_error,
                pool,
                batch_size,
                progress,
                verify_inputs == "checksum",
            )
        except BaseException:
            pool.close(cancel=True)
            raise
        pool.close()
    return RunSummary(
        out=out_dir,
        done=done,
        skipped=len(kept),
        failed=failed,
        removed=removed,
        retried=retried,
        seconds=time.monotonic() - started,
        layout=options.layout,
        repaired=repaired,
        errors=failed + kept_failed,
    )


def _keep(
    out: str, options: _Options, resume: bool, inputs: dict[str, _Input], verify_inputs: str
) -> tuple[set[str], int, int, int]:
    """Prepares the run directory and decides which parts a resume keeps: those whose files
    are whole and whose inputs are unchanged and still asked for. Removes the others, and every
    file no kept entry names. Returns the paths kept, the genomes removed (their input changed
    or was not asked for), the damaged parts dropped, and the kept genomes in errors/."""
    settings_repaired = _prepare(out, options, resume)
    asked = dataclasses.asdict(options)
    entries, damaged = _read_manifest(out)
    repaired = len(damaged)
    kept: set[str] = set()
    valid: list[str] = []
    removed = kept_failed = 0
    for part, entry in entries.items():
        # Without run.json, only an entry's own record of the options vouches for its part.
        if (
            (settings_repaired and entry.options is None)
            or _part_problems(out, entry, asked, full=True)
            or any(item.path in kept for item in entry.inputs)
        ):
            _remove_part(out, part)
            repaired += 1
            continue
        changed = sum(
            not _unchanged(inputs.get(item.path), item, entry, verify_inputs)
            for item in entry.inputs
        )
        if changed:
            # Its unchanged genomes are counted again, in a new part.
            _remove_part(out, part)
            removed += changed
        else:
            kept.update(item.path for item in entry.inputs)
            kept_failed += len(entry.failed)
            valid.append(part)
    _remove_strays(out, valid)
    return kept, removed, repaired, kept_failed


def _unchanged(asked: _Input | None, stored: _Input, entry: _Entry, verify_inputs: str) -> bool:
    """True when the input a resume asks for is the one `entry` counted: the same file by
    its size and times, or with "checksum" by its size and SHA-256 whatever its times."""
    if asked is None:
        return False
    if verify_inputs == "stat":
        return asked.same_file(stored)
    recorded = entry.hashes.get(stored.path)
    return (
        asked.path == stored.path
        and asked.genome == stored.genome
        and asked.size == stored.size
        and recorded is not None
        and _input_digest(asked.path) == recorded
    )


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Holds a Ctrl-C back until the block ends, then raises it. A local pool starts a worker
    process as a batch is submitted; interrupted half way, the pool would not know the process
    to stop it, and the worker, started after the driver had gone, would print a traceback of
    its own. Only Python's own handler is replaced, and only on the main thread, which is the
    one that receives the signal."""
    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    ):
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


def _execute(
    out: str,
    todo: list[_Input],
    options: _Options,
    on_error: str,
    pool: Pool,
    batch_size: int | None,
    progress: Progress | None,
    hash_inputs: bool = False,
) -> tuple[int, int, int]:
    """Runs the batches of `todo`, at most two per worker slot in flight, and writes each
    finished batch's manifest entry; returns genomes done, failed and batches retried."""
    size = batch_size or _default_batch_size(todo, pool.slots)
    session = f"{time.strftime('%Y%m%dT%H%M%S', time.gmtime())}-{secrets.token_hex(3)}"
    batches = [
        _Batch(f"part-{session}-{n:06d}", todo[start : start + size], hash_inputs=hash_inputs)
        for n, start in enumerate(range(0, len(todo), size))
    ]
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
                        {
                            "format": _FORMAT,
                            "part": batch.part,
                            "datasets": result["written"],
                            "files": result["files"],
                            "failed": result["failed"],
                            "inputs": [
                                {
                                    **item.entry(),
                                    **(
                                        {"sha256": hashes[item.path]}
                                        if hashes.get(item.path)
                                        else {}
                                    ),
                                }
                                for item in batch.inputs
                            ],
                            "options": dataclasses.asdict(options),
                        },
                        _manifest_path(out, batch.part),
                    )
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
                            f"{again.inputs[0].path}{'' if done else _main_hint()}"
                        ) from error
                retried += len(lost)
                waiting += reversed(lost)
    finally:
        close_report()
    return done, failed, retried
