#!/usr/bin/env python3
"""velko_tools.run_genomes on generated genomes: one and two local workers, a LocalCluster of two
worker processes, and the run's own cost beside the counting it schedules.

    python3 -m pip install ".[parquet,parallel]" && python3 benchmarks/bench_runs.py
    python3 benchmarks/bench_runs.py --genomes 10000   # the full scale: 10,000 genomes
    python3 -m pip install ".[parquet,hmmer]" && python3 benchmarks/bench_runs.py --search

Genomes are 100 kb to 1 Mb of random A, C, G, T in records of up to 300 kb, every third one
gzip-compressed (level 1), made once under --workdir. "counting alone" is the work of every
genome in this process, one after another, without a run (count_kmers at k = 4, canonical,
with the tally of records, letters and bases the genome statistics come from, in the same
read); a run's overhead is its time with one
worker beyond that. Each case writes a fresh run directory; times are the best of --repeat.
Machines are shared and noisy: compare the ratios.

--search times runs that search genes instead, in genomes per hour on 2 cores: the four real
Klebsiella pneumoniae genomes of Debian's kleborate-examples (5.3 to 5.7 Mb) and the nine Pfam
profiles with gathering cutoffs of its hmmer-examples (fetched with apt-get download and
unpacked with dpkg -x under --workdir; nothing is installed), --copies times each under
another name. velko: run_genomes(hmm_file=..., cutoff="gathering", workers=2, batch_size=1),
which also counts the k-mer profiles. The peer, one genome after another, as a shell loop
does it: prodigal -p single -a (proteins), hmmsearch --cpu 2 --cut_ga --domtblout, then
`velko tophits --format domtblout`; left out when prodigal or hmmsearch is not installed
(apt-get install prodigal hmmer). One run of each (--repeat does not apply).
"""

import argparse
import gzip
import lzma
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_of  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from debian_examples import KLEBSIELLA, PFAM_PROFILES, profile_file, unpack  # noqa: E402

from velko_tools import HitTable, run_genomes  # noqa: E402
from velko_tools.counting import count_and_tally  # noqa: E402

LETTERS = np.frombuffer(b"ACGT", dtype=np.uint8)


def make_genomes(directory: pathlib.Path, count: int, seed: int = 24) -> list[str]:
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    paths = []
    for n in range(count):
        compressed = n % 3 == 0
        path = directory / f"GCF_{n:09d}.1_bench_genomic.fna{'.gz' if compressed else ''}"
        paths.append(str(path))
        if path.exists():
            continue
        length = int(rng.integers(100_000, 1_000_001))
        letters = LETTERS[rng.integers(0, 4, size=length)].tobytes()
        parts = []
        for record, start in enumerate(range(0, length, 300_000)):
            chunk = letters[start : start + 300_000]
            lines = b"\n".join(chunk[i : i + 80] for i in range(0, len(chunk), 80))
            parts.append(b">contig%d\n" % record + lines + b"\n")
        text = b"".join(parts)
        partial = path.with_name(path.name + ".partial")
        partial.write_bytes(gzip.compress(text, compresslevel=1) if compressed else text)
        partial.rename(path)
    return paths


def counting_alone(paths: list[str]) -> None:
    for path in paths:
        count_and_tally(
            path, 4, strands="canonical", invalid="skip", per_file=True, threads=1, tally=True
        )


def timed_run(paths: list[str], out: pathlib.Path, **options):
    def work():
        shutil.rmtree(out, ignore_errors=True)
        summary = run_genomes(paths, out, progress=False, **options)
        assert summary.done == len(paths) and summary.failed == 0

    return work


def resumed(paths: list[str], out: pathlib.Path) -> None:
    summary = run_genomes(paths, out, progress=False, workers=2)
    assert summary.done == 0 and summary.skipped == len(paths)


# A run in a child process, with the peak resident memory of the driver and of the largest of
# its workers: the workers are children of the pool's forkserver, which is not reaped before the
# driver exits, so a thread reads the high-water mark (VmHWM) of every descendant as it runs.
MEMORY_CHILD = """
import os, resource, sys, threading, velko_tools
from velko_tools.runs import expand_inputs

def descendants():
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as stat:
                    parents[int(name)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    found, todo = set(), [os.getpid()]
    while todo:
        pid = todo.pop()
        for child, parent in parents.items():
            if parent == pid and child not in found:
                found.add(child)
                todo.append(child)
    return found

peak = 0
done = threading.Event()

def watch():
    global peak
    while not done.wait(0.05):
        for pid in descendants():
            try:
                with open(f"/proc/{pid}/status") as status:
                    for line in status:
                        if line.startswith("VmHWM:"):
                            peak = max(peak, int(line.split()[1]))
            except OSError:
                pass

watcher = threading.Thread(target=watch, daemon=True)
watcher.start()
paths = expand_inputs(sys.argv[2:])
summary = velko_tools.run_genomes(paths, sys.argv[1], progress=False, workers=2,
                                  resume=False)
done.set()
watcher.join()
assert summary.done == len(paths) and summary.failed == 0
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, peak)
"""


def run_memory(paths: list[str], out: pathlib.Path) -> tuple[float, float]:
    """Peak MiB of the driver and of the largest worker of a 2-worker run over `paths`."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as listing:
        listing.write("\n".join(paths))
        listing.flush()
        done = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, str(out), "@" + listing.name],
            check=True,
            capture_output=True,
            text=True,
        )
    driver, worker = (int(v) / 1024 for v in done.stdout.split())
    shutil.rmtree(out, ignore_errors=True)
    return driver, worker


# The example Pfam profiles, and XYPPX beside them.
PFAM = [*PFAM_PROFILES, "testsuite/XYPPX.hmm"]


def search_inputs(work: pathlib.Path, copies: int) -> tuple[list[str], pathlib.Path]:
    """The real genomes as plain FASTA (each `copies` times, as GCF_9000000NN files) and the
    profiles in one HMMER 3 file."""
    cache = work / "search-cache"
    cache.mkdir(parents=True, exist_ok=True)
    profiles = profile_file(cache, PFAM)
    sources = sorted((unpack("kleborate-examples", cache) / KLEBSIELLA).glob("*.fna.xz"))
    paths = []
    for copy in range(copies):
        for n, source in enumerate(sources):
            path = cache / "genomes" / f"GCF_{900000000 + copy * 100 + n:09d}.1_genomic.fna"
            if not path.exists():
                path.parent.mkdir(exist_ok=True)
                path.write_bytes(lzma.decompress(source.read_bytes()))
            paths.append(str(path))
    return paths, profiles


def peer_search(
    paths: list[str], profiles: pathlib.Path, scratch: pathlib.Path
) -> set[tuple[str, str]]:
    """prodigal, hmmsearch --cpu 2 and velko tophits, genome after genome; returns the gene and
    profile of each hit, genes named as a run names them."""
    from velko_tools.runs import genome_id_of

    scratch.mkdir(parents=True, exist_ok=True)
    hits = set()
    for path in paths:
        proteins, table, top = (scratch / name for name in ("p.faa", "t.domtbl", "top.tsv"))
        subprocess.run(
            ["prodigal", "-q", "-p", "single", "-i", path, "-a", proteins, "-o", os.devnull],
            check=True,
        )
        subprocess.run(
            [
                "hmmsearch",
                "--cpu",
                "2",
                "--cut_ga",
                "--noali",
                "-o",
                os.devnull,
                "--domtblout",
                table,
                profiles,
                proteins,
            ],
            check=True,
        )
        subprocess.run(
            [
                sys.executable,
                "-m",
                "velko_tools",
                "tophits",
                "--format",
                "domtblout",
                "-o",
                top,
                table,
            ],
            check=True,
        )
        genome = genome_id_of(path)
        hits.update((f"{genome}|{gene}", hmm) for gene, hmm, _, _ in HitTable.read(top))
    return hits


def bench_search(work: pathlib.Path, copies: int) -> None:
    from velko_tools import open_run

    paths, profiles = search_inputs(work, copies)
    megabases = sum(os.stat(p).st_size for p in paths) / 1e6
    print(
        f"{len(paths)} real genomes ({megabases:.0f} MB of FASTA), {len(PFAM)} Pfam profiles, "
        f"gathering cutoffs; one run each"
    )
    out = work / "search-out"
    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    summary = run_genomes(
        paths, out, hmm_file=profiles, cutoff="gathering", workers=2, batch_size=1, progress=False
    )
    seconds = time.perf_counter() - started
    assert summary.done == len(paths) and summary.failed == 0
    hits = {(gene, hmm) for gene, hmm, _, _ in open_run(out).hits()}
    print(
        f"velko run_genomes, 2 workers:   {seconds:8.1f} s  "
        f"{len(paths) * 3600 / seconds:6.0f} genomes/hour  ({len(hits)} hits)"
    )
    shutil.rmtree(out, ignore_errors=True)
    if shutil.which("prodigal") is None or shutil.which("hmmsearch") is None:
        print("prodigal + hmmsearch: not installed (apt-get install prodigal hmmer)")
        return
    started = time.perf_counter()
    peer_hits = peer_search(paths, profiles, work / "search-peer")
    peer = time.perf_counter() - started
    print(
        f"prodigal + hmmsearch --cpu 2 + velko tophits, one genome after another: "
        f"{peer:8.1f} s  {len(paths) * 3600 / peer:6.0f} genomes/hour  ({len(peer_hits)} "
        f"hits, the same gene-profile pairs: {peer_hits == hits}; velko {peer / seconds:.2f}x)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "velko-bench"))
    parser.add_argument("--genomes", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument(
        "--search",
        action="store_true",
        help="time runs that search genes against Pfam profiles instead",
    )
    parser.add_argument(
        "--copies", type=int, default=1, help="with --search: each real genome this many times"
    )
    args = parser.parse_args()
    work = pathlib.Path(args.workdir)
    if args.search:
        bench_search(work, args.copies)
        return
    paths = make_genomes(work / "run-genomes", args.genomes)
    megabytes = sum(os.stat(p).st_size for p in paths) / 1e6
    print(
        f"{len(paths)} genomes, {megabytes:.0f} MB on disk; k = 4 canonical; best of {args.repeat}"
    )
    out = work / "run-out"

    alone = best_of(args.repeat, lambda: counting_alone(paths))
    print(f"counting alone, one after another: {alone:8.2f} s")
    cold = best_of(1, timed_run(paths, out, workers=1))
    print(f"run, 1 local worker, first in this process (starts the forkserver): {cold:.2f} s")
    one = best_of(args.repeat, timed_run(paths, out, workers=1))
    print(f"run, 1 local worker:              {one:8.2f} s  (overhead {one / alone - 1:+.1%})")
    two = best_of(args.repeat, timed_run(paths, out, workers=2))
    print(f"run, 2 local workers:             {two:8.2f} s  ({one / two:.2f}x one worker)")
    # The last run is finished: a resume checks every part's size and SHA-256 and does nothing.
    again = best_of(args.repeat, lambda: resumed(paths, out))
    part_bytes = sum(f.stat().st_size for f in out.rglob("part-*.parquet")) / 1e6
    print(
        f"resume of the finished run:       {again:8.2f} s  ({again / two:.1%} of the run; "
        f"{part_bytes:.0f} MB of parts checked)"
    )
    largest = max(os.stat(p).st_size for p in paths) / 2**20
    for count in sorted({min(len(paths), 1000), len(paths)}):
        driver, worker = run_memory(paths[:count], out)
        print(
            f"peak memory, {count:6d} genomes, 2 workers: driver {driver:6.1f} MiB, largest "
            f"worker {worker:6.1f} MiB (largest genome file {largest:.1f} MiB)"
        )
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("LocalCluster: dask.distributed is not installed")
        return
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        client.wait_for_workers(2)
        # As the pool's first run above: the workers import velko_tools and pyarrow once.
        timed_run(paths[:4], out, client=client, batch_size=1)()
        dask = best_of(args.repeat, timed_run(paths, out, client=client))
    print(f"run, LocalCluster of 2 workers:   {dask:8.2f} s  ({dask / two:.2f}x the local pool)")
    shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
