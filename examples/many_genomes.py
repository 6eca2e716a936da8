"""Tetranucleotide frequencies for every FASTA file of a directory, in parallel.

Counting releases the interpreter lock, so a thread pool uses every core without copying data
between processes. With --dask, the work goes to a Dask distributed cluster instead (a local one
unless --scheduler is given); workers return plain lists, which pickle cheaply.

Run: python3 examples/many_genomes.py examples/data --threads 2
     python3 examples/many_genomes.py examples/data --dask --workers 2
"""

import argparse
import concurrent.futures
import pathlib
import time

import velko  # noqa: F401  (publishes the submodules in sys.modules)
from velko.kmer import get_kmer_count_fasta

FASTA_SUFFIXES = (".fa", ".fna", ".fasta", ".fa.gz", ".fna.gz", ".fasta.gz")


def tetranucleotide_frequencies(path: str) -> list[float]:
    """The genome's 4-mer frequencies over both strands, summed over its records."""
    totals = [0] * 256
    for result in get_kmer_count_fasta(path, 4, True).values():
        totals = [a + b for a, b in zip(totals, result.counts)]
    windows = sum(totals) or 1
    return [count / windows for count in totals]


def with_threads(paths: list[str], threads: int) -> dict[str, list[float]]:
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        return dict(zip(paths, pool.map(tetranucleotide_frequencies, paths)))


def with_dask(paths: list[str], workers: int, scheduler: str | None) -> dict[str, list[float]]:
    from dask.distributed import Client, LocalCluster  # optional: pip install "dask[distributed]"

    if scheduler:
        client = Client(scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        client.wait_for_workers(workers if cluster is not None else 1)
        print(f"cluster ready with {len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        futures = client.map(tetranucleotide_frequencies, paths)
        profiles = dict(zip(paths, client.gather(futures)))
        print(f"counted on the cluster in {time.perf_counter() - start:.2f} s")
        return profiles
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main() -> None:
    parser = argparse.ArgumentParser(description="Tetranucleotide frequencies of FASTA files.")
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--dask", action="store_true", help="use a Dask distributed cluster")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler")
    args = parser.parse_args()
    paths = sorted(str(p) for p in args.directory.iterdir() if p.name.endswith(FASTA_SUFFIXES))
    start = time.perf_counter()
    if args.dask:
        profiles = with_dask(paths, args.workers, args.scheduler)
    else:
        profiles = with_threads(paths, args.threads)
    elapsed = time.perf_counter() - start
    for path, profile in profiles.items():
        top = max(range(256), key=profile.__getitem__)
        print(f"{pathlib.Path(path).name:32} most frequent 4-mer index {top:3} ({profile[top]:.4f})")
    print(f"{len(paths)} files in {elapsed:.2f} s")


if __name__ == "__main__":
    main()
