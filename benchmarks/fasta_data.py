"""Deterministic FASTA files for the benchmarks: genome-like and short-read-like."""

import pathlib
import random

_TO_DNA = bytes(b"ACGT"[i & 3] for i in range(256))


def _dna(rng, length):
    return rng.randbytes(length).translate(_TO_DNA)


def _write_record(out, name, seq, width):
    out.write(b">" + name + b"\n")
    for start in range(0, len(seq), width):
        out.write(seq[start : start + width] + b"\n")


def genome(
    path,
    chromosomes=4,
    chromosome_size=20_000_000,
    contigs=2_800,
    contig_sizes=(1_000, 13_000),
    seed=20240501,
):
    """Chromosome-sized records and many contigs, in 60- and 80-column lines."""
    path = pathlib.Path(path)
    if path.exists():
        return path
    rng = random.Random(seed)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        for i in range(chromosomes):
            _write_record(
                out,
                b"chr%d description text" % (i + 1),
                _dna(rng, chromosome_size),
                60 if i % 2 == 0 else 80,
            )
        for i in range(contigs):
            _write_record(
                out,
                b"contig%05d len=%d" % (i, 0),
                _dna(rng, rng.randint(*contig_sizes)),
                80 if i % 3 else 60,
            )
    partial.rename(path)
    return path


def reads(path, count=133_000, length=150, seed=7):
    """Short reads, each on one line."""
    path = pathlib.Path(path)
    if path.exists():
        return path
    rng = random.Random(seed)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        for i in range(count):
            out.write(b">read%06d\n" % i + _dna(rng, length) + b"\n")
    partial.rename(path)
    return path


def soft_masked(path, source, seed=11, masked_fraction=0.45, n_fraction=0.03):
    """`source` as an assembly looks: runs of lower-case (soft-masked) letters and runs of N,
    same size and records, headers kept."""
    path = pathlib.Path(path)
    if path.exists():
        return path
    rng = random.Random(seed)
    data = bytearray(pathlib.Path(source).read_bytes())
    mean_mask, mean_n = 300, 5_000
    at = 0
    while at < len(data):
        at += int(rng.expovariate(masked_fraction / mean_mask))
        length = int(rng.expovariate(1 / mean_mask)) + 1
        data[at : at + length] = bytes(data[at : at + length]).lower()
        if rng.random() < n_fraction * mean_mask / mean_n / masked_fraction:
            n_at = at + length
            n_length = int(rng.expovariate(1 / mean_n)) + 1
            data[n_at : n_at + n_length] = bytes(data[n_at : n_at + n_length]).translate(_TO_N)
            at = n_at + n_length
        at += length
    # Headers were lower-cased or turned to N with the rest: put them back.
    original = pathlib.Path(source).read_bytes()
    start = 0
    while (start := original.find(b">", start)) >= 0:
        end = original.index(b"\n", start)
        data[start:end] = original[start:end]
        start = end
    partial = path.with_suffix(".partial")
    partial.write_bytes(bytes(data))
    partial.rename(path)
    return path


# Letters to N, line ends kept.
_TO_N = bytes(c if c in b"\r\n" else ord("N") for c in range(256))
