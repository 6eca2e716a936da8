#!/usr/bin/env python3
"""velko_tools.run_genomes on generated genomes: one and two local workers, a LocalCluster of two
worker processes, and the run's own cost beside the counting it schedules.

    python3 -m pip install ".[parquet,parallel]" && python3 benchmarks/bench_runs.py
    python3 benchmarks/bench_runs.py --genomes 10000   # the full scale: 10,000 genomes

Genomes are 100 kb to 1 Mb of random A, C, G, T in records of up to 300 kb, every third one
gzip-compressed (level 1), made once under --workdir. "counting alone" is the work of every
genome in this process, one after another, without a run (count_kmers at k = 4, canonical,
plus the k = 1 count the genome statistics come from); a run's overhead is its time with one
worker beyond that. Each case writes a fresh run directory; times are the best of --repeat.
Machines are shared and noisy: compare the ratios.
"""

import argparse
import gzip
import os
import pathlib
import shutil
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_of  # noqa: E402

from velko_tools import count_kmers, run_genomes  # noqa: E402

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
            chunk = letters[start:start + 300_000]
            lines = b"\n".join(chunk[i:i + 80] for i in range(0, len(chunk), 80))
            parts.append(b">contig%d\n" % record + lines + b"\n")
        text = b"".join(parts)
        partial = path.with_name(path.name + ".partial")
        partial.write_bytes(gzip.compress(text, compresslevel=1) if compressed else text)
        partial.rename(path)
    return paths


def counting_alone(paths: list[str]) -> None:
    for path in paths:
        count_kmers(path, 4, strands="canonical", invalid="skip", per_file=True, threads=1)
        count_kmers(path, 1, invalid="skip", threads=1)


def timed_run(paths: list[str], out: pathlib.Path, **options):
    def work():
        shutil.rmtree(out, ignore_errors=True)
        summary = run_genomes(paths, out, progress=False, **options)
        assert summary.done == len(paths) and summary.failed == 0
    return work


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "velko-bench"))
    parser.add_argument("--genomes", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    work = pathlib.Path(args.workdir)
    paths = make_genomes(work / "run-genomes", args.genomes)
    megabytes = sum(os.stat(p).st_size for p in paths) / 1e6
    print(f"{len(paths)} genomes, {megabytes:.0f} MB on disk; k = 4 canonical; "
          f"best of {args.repeat}")
    out = work / "run-out"

    alone = best_of(args.repeat, lambda: counting_alone(paths))
    print(f"counting alone, one after another: {alone:8.2f} s")
    cold = best_of(1, timed_run(paths, out, workers=1))
    print(f"run, 1 local worker, first in this process (starts the forkserver): {cold:.2f} s")
    one = best_of(args.repeat, timed_run(paths, out, workers=1))
    print(f"run, 1 local worker:              {one:8.2f} s  (overhead {one / alone - 1:+.1%})")
    two = best_of(args.repeat, timed_run(paths, out, workers=2))
    print(f"run, 2 local workers:             {two:8.2f} s  ({one / two:.2f}x one worker)")
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("LocalCluster: dask.distributed is not installed")
        return
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        dask = best_of(args.repeat, timed_run(paths, out, client=client))
    print(f"run, LocalCluster of 2 workers:   {dask:8.2f} s  ({dask / two:.2f}x the local pool)")
    shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
