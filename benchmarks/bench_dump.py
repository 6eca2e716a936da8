#!/usr/bin/env python3
"""The KMER<TAB>COUNT text dump of a large sparse table beside KMC's kmc_dump of the same
k-mers, side by side in one run.

    python3 benchmarks/bench_dump.py [--bases 20500000] [-k 21]   # needs kmc (apt-get install kmc)

One generated FASTA record of --bases random letters (about as many distinct k-mers) is counted
once by velko_tools (forward strand, sparse) and once by KMC (-b: no canonical k-mers, every
k-mer kept); neither count is timed. Timed: velko_tools' SparseKmerTable.write to a .txt file
and kmc_dump's writing of its database as text, each in a fresh child, best of --repeat. The two
files must hold the same lines (ours in k-mer order, KMC's in the order of its bins, so both are
sorted before they are compared). Machines are shared and noisy: compare the ratios.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

CHILD = r"""
import sys, time
from velko_tools import count_kmers
table = count_kmers(sys.argv[1], int(sys.argv[2]), layout="sparse", total=True)
start = time.perf_counter()
table.write(sys.argv[3])
print(time.perf_counter() - start, len(table.codes))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bases", type=int, default=20_500_000)
    parser.add_argument("-k", type=int, default=21)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if shutil.which("kmc") is None or shutil.which("kmc_dump") is None:
        sys.exit("needs kmc and kmc_dump: apt-get install kmc")
    with tempfile.TemporaryDirectory() as work:
        fasta = os.path.join(work, "genome.fa")
        letters = np.frombuffer(b"ACGT", np.uint8)[
            np.random.default_rng(21).integers(0, 4, args.bases)
        ]
        with open(fasta, "wb") as out:
            out.write(b">genome\n")
            for start in range(0, args.bases, 80):
                out.write(letters[start : start + 80].tobytes() + b"\n")
        scratch = os.path.join(work, "kmc-tmp")
        os.mkdir(scratch)
        database = os.path.join(work, "db")
        subprocess.run(
            [
                "kmc",
                f"-k{args.k}",
                "-b",
                "-ci1",
                "-cs4294967295",
                "-t2",
                "-fm",
                fasta,
                database,
                scratch,
            ],
            check=True,
            capture_output=True,
        )
        ours = os.path.join(work, "velko.txt")
        theirs = os.path.join(work, "kmc.txt")
        velko_times = []
        for _ in range(args.repeat):
            done = subprocess.run(
                [sys.executable, "-c", CHILD, fasta, str(args.k), ours],
                check=True,
                capture_output=True,
                text=True,
            )
            seconds, kmers = done.stdout.split()
            velko_times.append(float(seconds))
        kmc_times = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            subprocess.run(["kmc_dump", "-ci1", database, theirs], check=True, capture_output=True)
            kmc_times.append(time.perf_counter() - start)
        size = os.path.getsize(ours)
        env = {**os.environ, "LC_ALL": "C"}
        for path in (ours, theirs):
            subprocess.run(["sort", "-S", "1G", "-o", path + ".sorted", path], check=True, env=env)
        same = subprocess.run(["cmp", "-s", ours + ".sorted", theirs + ".sorted"]).returncode == 0
        velko_s, kmc_s = min(velko_times), min(kmc_times)
        print(
            f"{int(kmers):,} k-mers at k = {args.k}, {size / 1e6:.0f} MB of text; best of "
            f"{args.repeat}; the same lines: {same}"
        )
        print(
            f"velko_tools SparseKmerTable.write(.txt): {velko_s:6.2f} s  "
            f"{size / 1e6 / velko_s:6.0f} MB/s"
        )
        print(
            f"kmc_dump:                                {kmc_s:6.2f} s  "
            f"{size / 1e6 / kmc_s:6.0f} MB/s  (velko {kmc_s / velko_s:.2f}x kmc_dump's speed)"
        )


if __name__ == "__main__":
    main()
