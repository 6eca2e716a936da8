"""Deterministic FASTA files for the benchmarks: genome-like and short-read-like."""

import pathlib
import random

_TO_DNA = bytes(b"ACGT"[i & 3] for i in range(256))


def _dna(rng, length):
    return rng.randbytes(length).translate(_TO_DNA)


def _write_record(out, name, seq, width):
    out.write(b">" + name + b"\n")
    for start in range(0, len(seq), width):
        out.write(seq[start:start + width] + b"\n")


def genome(path, chromosomes=4, chromosome_size=20_000_000, contigs=2_800,
           contig_sizes=(1_000, 13_000), seed=20240501):
    """Chromosome-sized records and many contigs, in 60- and 80-column lines."""
    path = pathlib.Path(path)
    if path.exists():
        return path
    rng = random.Random(seed)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        for i in range(chromosomes):
            _write_record(out, b"chr%d description text" % (i + 1),
                          _dna(rng, chromosome_size), 60 if i % 2 == 0 else 80)
        for i in range(contigs):
            _write_record(out, b"contig%05d len=%d" % (i, 0),
                          _dna(rng, rng.randint(*contig_sizes)), 80 if i % 3 else 60)
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
