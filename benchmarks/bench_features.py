"""Composition features, tetranucleotide z-scores and nearest rows: time beside the count itself
and beside pyani, exactness against NumPy models.

1. Features of the real bacterial collection (bench_sparse.fetch: Debian's example assemblies,
   one file of 2,722 records): the canonical 4-mer count per record, then every kind of
   KmerTable.features; each kind's time is given as a share of the count's.
2. tetra_zscores beside pyani's calculate_tetra_zscore (pure Python, Biopython) on the same
   genomes, one file each; the largest difference from a NumPy model of the formulas.
3. Generated contigs (a large assembly scaled to this machine: --contigs, default 10^6, of
   1-50 kb divided by --scale, default 20), counted per record and turned into every kind, in a
   child process under an address-space limit; its peak memory beside one kind's output.
4. neighbours(top=50) of --rows generated rows (default 100,000) for each metric, in a child
   under the same limit.

Needs a built velko_tools, pyani (pip install pyani) and the cache of bench_sparse.py.
Usage: nice python benchmarks/bench_features.py [--runs N] [--contigs N] [--scale N]
       [--rows N] [--genomes N] [--skip features,zscores,contigs,neighbours]
"""

from __future__ import annotations

import argparse
import itertools
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from bench_sparse import fetch  # noqa: E402
from timing import best_of  # noqa: E402

from velko_tools import count_kmers, tetra_zscores  # noqa: E402

KINDS = ["frequency", "log_ratio", "pseudo_frequency", "clr", "l2"]
# Children may take at most this much address space: the machine is shared.
CHILD_LIMIT = 6 << 30

CONTIGS_CHILD = """
import random, resource, sys, time
import numpy as np
limit = int(sys.argv[3])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
from velko_tools import count_kmers
start = time.perf_counter()
table = count_kmers(sys.argv[1], 4, strands="canonical", invalid="skip", threads=2,
                    layout="dense")
counted = time.perf_counter() - start
times = []
for kind in sys.argv[2].split(","):
    start = time.perf_counter()
    values = table.features(kind)
    times.append(time.perf_counter() - start)
    del values
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(len(table), counted, " ".join(map(str, times)), peak, table.counts.nbytes / 2**20)
"""

NEIGHBOURS_CHILD = """
import resource, sys, time
import numpy as np
limit = int(sys.argv[3])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
from velko_tools import KmerTable
rows = int(sys.argv[1])
rng = np.random.default_rng(5)
# Rows of different composition and depth: Poisson counts around Dirichlet profiles.
profiles = rng.dirichlet(np.full(136, 2.0), size=64)[rng.integers(0, 64, rows)]
depth = rng.integers(200, 20000, rows)[:, None]
counts = rng.poisson(profiles * depth).astype(np.uint64)
table = KmerTable([f"r{i}" for i in range(rows)], ["f"] * rows, 4, "canonical",
                  list(range(136)), counts, counts.sum(axis=1), np.zeros(rows, np.uint64))
start = time.perf_counter()
frame = table.neighbours("frequency", sys.argv[2], top=50, threads=2)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(elapsed, peak, len(frame))
"""


def write_contigs(path: Path, count: int, scale: int, seed: int = 3) -> int:
    """`count` random contigs of 1 to 50 kb divided by `scale` (GC varying by contig, one in ten
    with a run of N), one line each; the bases written."""
    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"CGAT", dtype=np.uint8)
    total = 0
    with open(path, "wb") as out:
        for first in range(0, count, 10_000):
            n = min(10_000, count - first)
            lengths = rng.integers(1000, 50_001, n) // scale
            gc = np.repeat(rng.uniform(0.3, 0.7, n), lengths)
            draw = rng.random(len(gc))
            # C and G share the GC fraction, A and T the rest.
            code = (draw >= gc / 2).astype(np.uint8) + (draw >= gc) + (draw >= gc + (1 - gc) / 2)
            bases = letters[code]
            ends = np.cumsum(lengths)
            for i, (end, length) in enumerate(zip(ends.tolist(), lengths.tolist())):
                seq = bases[end - length : end]
                if (first + i) % 10 == 0 and length > 200:
                    seq = seq.copy()
                    seq[length // 2 : length // 2 + 100] = ord("N")
                out.write(b">contig_%d\n" % (first + i) + seq.tobytes() + b"\n")
            total += int(lengths.sum())
    return total


def split_genomes(source: Path, work: Path, count: int, size: int = 2_000_000) -> list[Path]:
    """The collection's first records in `count` files of at least `size` bytes each (about a
    bacterial genome), records whole."""
    paths: list[Path] = []
    out = None
    with open(source) as fasta:
        for line in fasta:
            if line.startswith(">") and (out is None or out.tell() >= size):
                if out is not None:
                    out.close()
                if len(paths) == count:
                    out = None
                    break
                paths.append(work / f"genome{len(paths)}.fa")
                out = open(paths[-1], "w")
            assert out is not None
            out.write(line)
    if out is not None:
        out.close()
    return paths


def zscore_model(path: Path) -> np.ndarray:
    """The z-scores of a file by the formulas, from NumPy counts of both strands."""
    pair = bytes.maketrans(b"ACGTacgt", b"TGCATGCA")
    code = np.full(256, 255, dtype=np.uint8)
    for letter, value in zip(b"ACGT", range(4)):
        code[letter] = code[letter + 32] = value
    counts = [np.zeros(4**n, dtype=np.int64) for n in range(5)]
    records: list[bytes] = []
    with open(path, "rb") as fasta:
        for block in fasta.read().split(b">")[1:]:
            records.append(b"".join(block.split(b"\n")[1:]))
    for record in records:
        for strand in (record, record.translate(pair)[::-1]):
            letters = code[np.frombuffer(strand, dtype=np.uint8)]
            for n in range(1, 5):
                if len(letters) < n:
                    continue
                windows = np.lib.stride_tricks.sliding_window_view(letters, n)
                clean = (windows != 255).all(axis=1)
                index = (windows[clean].astype(np.int64) * (4 ** np.arange(n - 1, -1, -1))).sum(1)
                counts[n] += np.bincount(index, minlength=4**n)
    di, tri, tetra = counts[2], counts[3], counts[4]
    t = np.arange(256)
    middle = di[(t >> 2) & 15].astype(float)
    first, last = tri[t >> 2].astype(float), tri[t & 63].astype(float)
    with np.errstate(divide="ignore", invalid="ignore"):
        expected = first * last / middle
        variance = expected * (middle - first) * (middle - last) / middle**2
        z = (tetra - expected) / np.sqrt(variance)
    return np.where((middle > 0) & (variance > 0), z, 0.0)


def child(source: str, args: list[str]) -> list[float]:
    done = subprocess.run([sys.executable, "-c", source, *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"the child failed:\n{done.stderr}")
    return [float(x) for x in done.stdout.split()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--contigs", type=int, default=1_000_000)
    parser.add_argument(
        "--scale", type=int, default=20, help="contig lengths (1-50 kb) divided by this"
    )
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--genomes", type=int, default=3)
    parser.add_argument("--skip", default="")
    options = parser.parse_args()
    skip = set(options.skip.split(","))
    runs = options.runs
    bacteria = fetch()[0] if {"features", "zscores"} - skip else Path()

    if "features" not in skip:
        print("== features of the real collection (canonical k = 4, per record)")
        table = count_kmers(bacteria, 4, strands="canonical", invalid="skip", threads=2)
        count = best_of(
            runs, lambda: count_kmers(bacteria, 4, strands="canonical", invalid="skip", threads=2)
        )
        print(f"{len(table)} records, {bacteria.stat().st_size / 1e6:.0f} MB: count {count:.3f} s")
        for kind in KINDS:
            seconds = best_of(runs, lambda: table.features(kind))
            print(
                f"  {kind:17s} {seconds * 1000:8.2f} ms  "
                f"count + features {1 + seconds / count:.3f}x"
            )

    if "zscores" not in skip:
        print("== tetra_zscores beside pyani.tetra.calculate_tetra_zscore (one genome a file)")
        from pyani import tetra

        with tempfile.TemporaryDirectory() as scratch:
            genomes = split_genomes(bacteria, Path(scratch), options.genomes)
            ours = best_of(runs, lambda: tetra_zscores(genomes, threads=1))
            kmers = ["".join(t) for t in itertools.product("ACGT", repeat=4)]
            # pyani takes minutes a genome: its runs keep their values for the comparison.
            theirs = float("inf")
            for _ in range(runs):
                start = time.perf_counter()
                found = [tetra.calculate_tetra_zscore(str(p)) for p in genomes]
                theirs = min(theirs, time.perf_counter() - start)
            pyani_z = np.array([[z[t] for t in kmers] for z in found])
            megabases = sum(p.stat().st_size for p in genomes) / 1e6
            table_z = tetra_zscores(genomes)
            worst = max(
                float(np.abs(table_z.zscores[i] - zscore_model(p)).max())
                for i, p in enumerate(genomes)
            )
            apart = float(np.abs(table_z.zscores - pyani_z).max())
            r_ours, r_pyani = table_z.correlation(), np.corrcoef(pyani_z)
        print(
            f"{len(genomes)} genomes, {megabases:.1f} MB: velko {ours:.3f} s, pyani {theirs:.2f} s "
            f"({theirs / ours:.0f}x); largest |z - model| {worst:.1e}; largest |z - pyani| "
            f"{apart:.3f}; largest correlation difference {np.abs(r_ours - r_pyani).max():.1e}"
        )

    if "contigs" not in skip:
        print(
            f"== {options.contigs} generated contigs of 1-50 kb / {options.scale} "
            f"(RLIMIT_AS {CHILD_LIMIT >> 30} GiB)"
        )
        with tempfile.TemporaryDirectory() as scratch:
            path = Path(scratch) / "contigs.fa"
            bases = write_contigs(path, options.contigs, options.scale)
            values = child(CONTIGS_CHILD, [str(path), ",".join(KINDS), str(CHILD_LIMIT)])
        rows, counted, *times, peak, table_mib = values
        print(
            f"{int(rows)} contigs, {bases / 1e9:.2f} Gbp: count {counted:.1f} s; "
            + ", ".join(f"{k} {t:.2f} s" for k, t in zip(KINDS, times))
            + f"; peak {peak:.0f} MiB (counts {table_mib:.0f} MiB, one kind's output the same)"
        )

    if "neighbours" not in skip:
        print(f"== neighbours(top=50) of {options.rows} rows, 2 threads")
        for metric in ("euclidean", "correlation", "l1"):
            elapsed, peak, found = child(
                NEIGHBOURS_CHILD, [str(options.rows), metric, str(CHILD_LIMIT)]
            )
            print(f"  {metric:12s} {elapsed:7.1f} s  peak {peak:.0f} MiB  ({int(found)} rows)")


if __name__ == "__main__":
    sys.exit(main())
