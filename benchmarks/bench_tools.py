#!/usr/bin/env python3
"""velko_tools.count_kmers against velko and the usual Python routes, on the same files.

    python3 -m pip install ".[bench]" && python3 benchmarks/bench_tools.py

Files come from a fixed seed (benchmarks/fasta_data.py) and are written once to --workdir: the
100 MB benchmark genome, the same genome soft-masked with N runs (same size), and 16 smaller
genomes. Every time is the best of --repeat runs with the files in the page cache; peers get
the same number of runs. Machines are shared and noisy: compare the ratios.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import fasta_data  # noqa: E402
from timing import best_of  # noqa: E402

from velko.kmer import get_kmer_count_fasta  # noqa: E402
from velko_tools import count_kmers  # noqa: E402

_CODES = np.full(256, 255, dtype=np.uint8)
for _i, _letter in enumerate(b"ACGT"):
    _CODES[_letter] = _i


def numpy_row(seq: bytes, k: int):
    """One record's k-mer counts, windows over a letter other than A, C, G, T left out."""
    codes = _CODES[np.frombuffer(seq, dtype=np.uint8)]
    n = len(codes) - k + 1
    if n <= 0:
        return np.zeros(4**k, dtype=np.int64)
    bad = np.concatenate(([0], np.cumsum(codes == 255)))
    valid = bad[k:] == bad[:n]
    index = np.zeros(n, dtype=np.int64)
    for i in range(k):
        index = (index << 2) | (codes[i : i + n] & 3)
    return np.bincount(index[valid], minlength=4**k)


def biopython_numpy(path, k):
    from Bio import SeqIO

    return [numpy_row(bytes(record.seq).upper(), k) for record in SeqIO.parse(str(path), "fasta")]


def pyfastx_numpy(path, k):
    import pyfastx

    return [
        numpy_row(seq.encode(), k)
        for _, seq in pyfastx.Fasta(str(path), build_index=False, uppercase=True)
    ]


def peak_memory(path, k):
    """Peak resident memory of a fresh interpreter counting `path`, less its baseline, and the
    size of the counts matrix it returns."""
    code = (
        "from velko_tools import count_kmers\n"
        "def high_water():\n"
        "    status = open('/proc/self/status').read()\n"
        "    return int(status.split('VmHWM:')[1].split()[0])\n"
        "base = high_water()\n"
        f"table = count_kmers({str(path)!r}, {k}, threads=1, invalid='skip')\n"
        "print(high_water() - base, table.counts.nbytes)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    kib, matrix = out.stdout.split()
    return int(kib) * 1024, int(matrix)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "velko-bench"))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    work = pathlib.Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    repeat = args.repeat

    genome = fasta_data.genome(work / "genome.fa")
    masked = fasta_data.soft_masked(work / "genome-masked.fa", genome)
    small = [
        fasta_data.genome(
            work / f"small{i:02}.fa",
            chromosomes=1,
            chromosome_size=4_000_000,
            contigs=100,
            seed=100 + i,
        )
        for i in range(16)
    ]
    # Not reads.fa: the sparse benchmark keeps real nanopore reads under that name here.
    reads = fasta_data.reads(work / "short-reads.fa")
    for path in [genome, masked, *small, reads]:
        subprocess.run(["cat", str(path)], check=True, stdout=subprocess.DEVNULL)
    mb = genome.stat().st_size / 1e6
    data = masked.read_bytes()
    sample = data[::97]
    lower = sum(c in b"acgt" for c in sample) / len(sample)
    print(
        f"genome {mb:.0f} MB; soft-masked copy: {lower:.0%} "
        f"lower case, {data.count(b'N') / len(data):.1%} N; 16 genomes of "
        f"{small[0].stat().st_size / 1e6:.0f} MB; best of {repeat}"
    )
    del data

    # Same counts as velko, record by record.
    reference = get_kmer_count_fasta(str(genome), 4, False)
    table = count_kmers(genome, 4, threads=1)
    assert all(
        table.counts[i].tolist() == reference[rid].counts for i, rid in enumerate(table.ids)
    ), "counts differ from velko"
    del reference, table

    def timed(work):
        return best_of(repeat, work)

    rows = []

    def row(label, seconds, base=None, base_label=""):
        ratio = f"{seconds / base:6.2f}x {base_label}" if base else ""
        rows.append(f"{label:52} {seconds:8.3f} {mb / seconds:7.0f}  {ratio}")
        print(rows[-1], flush=True)

    print(f"\n{'case (k = 4, one thread unless said)':52} {'seconds':>8} {'MB/s':>7}  ratio")
    velko_time = timed(lambda: get_kmer_count_fasta(str(genome), 4, False))
    row("velko get_kmer_count_fasta, genome", velko_time)
    forward = timed(lambda: count_kmers(genome, 4, threads=1))
    row("count_kmers, genome", forward, velko_time, "velko")
    canonical = timed(lambda: count_kmers(genome, 4, threads=1, strands="canonical"))
    row("count_kmers canonical, genome", canonical, forward, "forward")
    both = timed(lambda: count_kmers(genome, 4, threads=1, strands="both"))
    row("count_kmers both strands, genome", both, forward, "forward")
    skip = timed(lambda: count_kmers(masked, 4, threads=1, invalid="skip"))
    row("count_kmers skip, soft-masked genome with N runs", skip, forward, "strict")
    per_file = timed(lambda: count_kmers(masked, 4, threads=1, invalid="skip", per_file=True))
    row("count_kmers skip per file, soft-masked genome", per_file, forward, "strict")

    # A bacterial chromosome at k = 12: one row of 4^12 counts (128 MiB), whose allocation and
    # first touch, not the counting, set the pace; layout="auto" must keep it dense.
    chromosome = fasta_data.genome(
        work / "chromosome.fa", chromosomes=1, chromosome_size=4_600_000, contigs=0, seed=12
    )
    mb_chromosome = chromosome.stat().st_size / 1e6
    velko_k12 = timed(lambda: get_kmer_count_fasta(str(chromosome), 12, False))
    tools_k12 = timed(lambda: count_kmers(chromosome, 12, threads=1))
    print(
        f"\n{mb_chromosome:.1f} MB chromosome, k = 12: velko {velko_k12:.3f} s, "
        f"count_kmers {tools_k12:.3f} s ({tools_k12 / velko_k12:.2f}x velko)"
    )

    # Two threads need both cores quiet at once, which a shared machine grants less often than
    # one: both cases get more runs than the others, the same number each.
    runs = max(2 * repeat, 10)
    one = best_of(runs, lambda: count_kmers(small, 4, threads=1))
    two = best_of(runs, lambda: count_kmers(small, 4, threads=2))
    print(f"\n16 genomes, threads=1: {one:.3f} s, threads=2: {two:.3f} s: {one / two:.2f}x")

    print(f"\n{'peers on the soft-masked genome, k = 4':52} {'seconds':>8} {'MB/s':>7}  ratio")
    for label, peer in [
        ("Biopython SeqIO + NumPy per record", biopython_numpy),
        ("pyfastx (uppercase=True) + NumPy per record", pyfastx_numpy),
    ]:
        try:
            seconds = timed(lambda: peer(masked, 4))
        except ImportError as error:
            print(f"{label}: skipped ({error})")
            continue
        row(label, seconds, skip, "count_kmers skip")

    print(f"\n{'peak memory (fresh interpreter, k = 4)':52} {'peak MB':>8} {'matrix MB':>10}")
    for name, path in [("genome", masked), ("133,000 reads", reads)]:
        peak, matrix = peak_memory(path, 4)
        print(
            f"{name:52} {peak / 2**20:8.1f} {matrix / 2**20:10.1f}  "
            f"(+{(peak - matrix) / 2**20:.1f} MiB)"
        )


if __name__ == "__main__":
    main()
