#!/usr/bin/env python3
"""Writing a k-mer table: .tsv, .tsv.gz (each gzip level asked for), .csv and .npz.

    PYTHONPATH=build:python python3 benchmarks/bench_write.py [--rows 3000] [-k 8] [--levels 1 6]

The table is random counts of the size `velko kmers -k 8` gives for a collection of a few
thousand records (rows x 4^k uint64). Each format is written in a fresh child process (best of
--repeat runs) after the table is made there; its peak memory (VmHWM) is reported above the
table's: what writing adds. Machines are shared and noisy: compare the ratios.
"""

import argparse
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import sys, time
import numpy as np
from velko_tools.kmers import KmerTable
from velko_tools.tables import write_table

rows, k, path, kind = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
level = int(sys.argv[5])
columns = 4 ** k
# Counts as a genome's k = 8 profile has them: mostly small numbers.
# Made a few rows at a time, so that the peak before writing is the table's own.
rng = np.random.default_rng(7)
counts = np.empty((rows, columns), dtype=np.uint64)
for first in range(0, rows, 1):
    counts[first] = rng.poisson(40, columns)
table = KmerTable([f"r{i}" for i in range(rows)], ["collection.fa"] * rows, k, "forward",
                  [str(i) for i in range(columns)], counts, counts.sum(axis=1),
                  np.zeros(rows, dtype=np.uint64))

def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

before = peak()
start = time.perf_counter()
write_table(table, path, format=kind, compress_level=level)
print(time.perf_counter() - start, peak() - before, counts.nbytes)
"""


def run(rows, k, path, kind, level):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(rows), str(k), path, kind, str(level)],
        capture_output=True,
        text=True,
        check=True,
    )
    seconds, extra, table = out.stdout.split()
    return float(seconds), int(extra), int(table)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=3000)
    parser.add_argument("-k", type=int, default=8)
    parser.add_argument("--levels", type=int, nargs="+", default=[1, 6])
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    cases = [("npz", 1), ("tsv", 1), ("csv", 1)] + [("tsv.gz", level) for level in args.levels]
    with tempfile.TemporaryDirectory() as directory:
        results = {}
        for kind, level in cases:
            path = os.path.join(directory, "table." + kind)
            best = min(run(args.rows, args.k, path, kind, level) for _ in range(args.repeat))
            results[kind, level] = best + (os.path.getsize(path),)
        npz = results["npz", 1][0]
        tsv = results["tsv", 1][0]
        table = results["npz", 1][2]
        print(f"{args.rows} rows x 4^{args.k} columns, counts {table / 2**20:.0f} MiB")
        print(
            f"{'format':<12}{'seconds':>9}{'x npz':>8}{'x tsv':>8}{'size MiB':>10}"
            f"{'extra peak MiB':>16}"
        )
        for (kind, level), (seconds, extra, _, size) in results.items():
            name = f"{kind} -{level}" if kind == "tsv.gz" else kind
            print(
                f"{name:<12}{seconds:>9.2f}{seconds / npz:>8.1f}{seconds / tsv:>8.1f}"
                f"{size / 2**20:>10.1f}{extra / 2**20:>16.0f}"
            )


if __name__ == "__main__":
    main()
