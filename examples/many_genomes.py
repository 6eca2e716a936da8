"""Tetranucleotide profiles for every FASTA file of a directory, in parallel, with velko_tools.

A thread pool counts one genome per task: counting releases the interpreter lock, so the pool
uses every core without copying data between processes. With --dask, the tasks go to a Dask
distributed cluster instead (a local one unless --scheduler is given); a KmerTable pickles, so
it travels back from the workers as it is.

A genome that cannot be profiled (a letter other than A, C, G, T with --strict, a damaged gzip
file) fails its own task with an ordinary exception naming the file and the place; the other
genomes' profiles still arrive, and the script ends with exit status 1 so that a shell or a
workflow manager sees that something failed.

Run: python3 examples/many_genomes.py examples/data --threads 2
     python3 examples/many_genomes.py examples/data --dask --workers 2
"""

from __future__ import annotations

import argparse
import concurrent.futures
import pathlib
import time
from collections.abc import Callable

import numpy as np

from velko_tools import KmerTable, count_kmers

FASTA_SUFFIXES = (".fa", ".fna", ".fasta", ".fa.gz", ".fna.gz", ".fasta.gz")

# One profile per genome that could be counted, one exception per genome that could not.
Outcome = tuple[dict[str, KmerTable], dict[str, BaseException]]


def genome_profile(path: str, strict: bool = False) -> KmerTable:
    """The genome's canonical 4-mer counts summed over its records: one row."""
    return count_kmers(
        path,
        4,
        layout="dense",
        strands="canonical",
        invalid="error" if strict else "skip",
        per_file=True,
        threads=1,
    )


def with_threads(paths: list[str], threads: int, strict: bool) -> Outcome:
    profiles: dict[str, KmerTable] = {}
    failures: dict[str, BaseException] = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        futures = {path: pool.submit(genome_profile, path, strict) for path in paths}
        for path, future in futures.items():
            error = future.exception()
            if error is None:
                profiles[path] = future.result()
            else:
                failures[path] = error
    return profiles, failures


def with_dask(paths: list[str], workers: int, scheduler: str | None, strict: bool) -> Outcome:
    from dask.distributed import Client, LocalCluster  # optional: pip install "dask[distributed]"

    if scheduler:
        client = Client(scheduler)
        cluster = None
    else:
        cluster = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
    profiles: dict[str, KmerTable] = {}
    failures: dict[str, BaseException] = {}
    try:
        client.wait_for_workers(workers if cluster is not None else 1)
        print(f"cluster ready with {len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        futures = client.map(genome_profile, paths, strict=strict, pure=False)
        for path, future in zip(paths, futures):
            # The worker's exception arrives here whole: its type and every field.
            error = future.exception()
            if error is None:
                profiles[path] = future.result()
            else:
                failures[path] = error
        print(f"counted on the cluster in {time.perf_counter() - start:.2f} s")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return profiles, failures


def report(
    profiles: dict[str, KmerTable],
    failures: dict[str, BaseException],
    write: Callable[[str], None] = print,
) -> None:
    for path, table in profiles.items():
        frequencies = table.frequencies()[0]
        top = int(np.argmax(frequencies))
        write(
            f"{pathlib.Path(path).name:32} most frequent canonical 4-mer {table.kmers[top]} "
            f"({frequencies[top]:.4f}, {int(table.skipped[0])} windows skipped)"
        )
    for path, error in failures.items():
        write(f"{pathlib.Path(path).name:32} failed: {type(error).__name__}: {error}")


def main() -> int:
    parser = argparse.ArgumentParser(description="Tetranucleotide profiles of FASTA files.")
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--dask", action="store_true", help="use a Dask distributed cluster")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler")
    parser.add_argument(
        "--strict",
        action="store_true",
        help="fail a genome on any letter other than A, C, G, T (either case)",
    )
    args = parser.parse_args()
    paths = sorted(str(p) for p in args.directory.iterdir() if p.name.endswith(FASTA_SUFFIXES))
    start = time.perf_counter()
    if args.dask:
        profiles, failures = with_dask(paths, args.workers, args.scheduler, args.strict)
    else:
        profiles, failures = with_threads(paths, args.threads, args.strict)
    elapsed = time.perf_counter() - start
    report(profiles, failures)
    print(f"{len(paths)} files in {elapsed:.2f} s, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
