#!/usr/bin/env python3
"""Writing and reading a sparse k-mer table: .npz, .parquet (codes; with --kmer-column also the
letters) and the KMER<TAB>COUNT text dump; then one-row dense tables at k = 9, 10 and 12 as .npz
and .parquet.

    PYTHONPATH=build:python python3 benchmarks/bench_formats.py [--kmers 20000000] [-k 21]

The table is one row of --kmers distinct random k-mers (ascending codes) with small counts, as a
sparse count of a bacterial collection at k = 21 gives. Each write and each read runs in a fresh
child process (best of --repeat runs); its peak memory (VmHWM) is reported above what the child
held before the call: what writing or reading adds beside the table. Machines are shared and
noisy: compare the ratios.
"""

import argparse
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import sys, time
import numpy as np
from velko_tools import SparseKmerTable

kmers, k, path, action = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]


def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024


if action in ("dense-write", "dense-read"):
    from velko_tools import KmerTable
    from velko_tools.kmers import KmerLabels
    if action == "dense-write":
        counts = np.random.default_rng(9).poisson(3, (1, 4**k)).astype(np.uint64)
        table = KmerTable(["genome"], ["genome.fa"], k, "forward", KmerLabels(k), counts,
                          counts.sum(axis=1, dtype=np.uint64), np.zeros(1, np.uint64))
        before = peak()
        start = time.perf_counter()
        table.write(path)
    else:
        before = peak()
        start = time.perf_counter()
        table = KmerTable.read(path)
elif action == "write":
    rng = np.random.default_rng(21)
    codes = np.unique(rng.integers(0, 4**k, int(kmers * 1.001), dtype=np.uint64))[:kmers]
    counts = rng.geometric(0.3, len(codes)).astype(np.uint32)
    table = SparseKmerTable(["collection"], ["collection.fa"], k, "forward",
                            np.array([0, len(codes)], dtype=np.uint64), codes, counts,
                            np.array([counts.sum(dtype=np.uint64)]), np.zeros(1, np.uint64))
    options = {"kmer_column": True} if sys.argv[5] == "1" else {}
    before = peak()
    start = time.perf_counter()
    table.write(path, **options)
else:
    before = peak()
    start = time.perf_counter()
    table = SparseKmerTable.read(path)
    assert len(table.codes) == kmers
elapsed = time.perf_counter() - start
print(elapsed, peak() - before)
"""


def run(args, path, action, kmer_column, k=None):
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            CHILD,
            str(args.kmers),
            str(k or args.k),
            path,
            action,
            "1" if kmer_column else "0",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    seconds, added = done.stdout.split()
    return float(seconds), int(added)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kmers", type=int, default=20_000_000)
    parser.add_argument("-k", type=int, default=21)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-dense", action="store_true", help="only the sparse table")
    parser.add_argument(
        "--dir",
        default=None,
        help="where the files go (default: a temporary directory under TMPDIR)",
    )
    args = parser.parse_args()
    cases = [(".npz", False), (".parquet", False), (".parquet", True), (".txt", False)]
    print(
        f"{args.kmers:,} k-mers at k = {args.k}, one row; best of {args.repeat}; memory "
        "is the peak added by the call"
    )
    print(
        f"{'format':<22} {'write s':>8} {'write MB':>9} {'read s':>8} {'read MB':>8} "
        f"{'file MB':>8} {'MB/s written':>13}"
    )
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for suffix, kmer_column in cases:
            path = os.path.join(directory, "table" + suffix)
            writes = [run(args, path, "write", kmer_column) for _ in range(args.repeat)]
            reads = [run(args, path, "read", kmer_column) for _ in range(args.repeat)]
            size = os.path.getsize(path)
            write_s = min(w[0] for w in writes)
            name = suffix + (" + kmer column" if kmer_column else "")
            print(
                f"{name:<22} {write_s:8.2f} {min(w[1] for w in writes) / 1e6:9.0f} "
                f"{min(r[0] for r in reads):8.2f} {min(r[1] for r in reads) / 1e6:8.0f} "
                f"{size / 1e6:8.0f} {size / 1e6 / write_s:13.0f}"
            )
            os.unlink(path)
        if args.no_dense:
            return
        print()
        print("one-row dense table, k  format     write s  write MB   read s  read MB  file MB")
        for k in (9, 10, 12):
            for suffix in (".npz", ".parquet"):
                path = os.path.join(directory, "dense" + suffix)
                writes = [run(args, path, "dense-write", False, k) for _ in range(args.repeat)]
                reads = [run(args, path, "dense-read", False, k) for _ in range(args.repeat)]
                print(
                    f"{k:>24}  {suffix:<9} {min(w[0] for w in writes):8.2f} "
                    f"{min(w[1] for w in writes) / 1e6:9.0f} {min(r[0] for r in reads):8.2f} "
                    f"{min(r[1] for r in reads) / 1e6:8.0f} "
                    f"{os.path.getsize(path) / 1e6:8.0f}"
                )
                os.unlink(path)


if __name__ == "__main__":
    main()
