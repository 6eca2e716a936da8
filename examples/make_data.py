"""Regenerates the bundled example data in examples/data/ (deterministic; nothing copied).

Four small synthetic genomes with different base composition, as FASTA files of a few contigs
each (one gzip-compressed), and a top-hit table of profile hits for their genes.

Run: python3 examples/make_data.py
"""

import gzip
import pathlib
import random
from decimal import Decimal

DATA = pathlib.Path(__file__).resolve().parent / "data"

# name, GC fraction, contig lengths
GENOMES = [
    ("GCF_000005845.2", 0.51, [42_000, 9_000, 3_500]),
    ("GCA_000008085.1", 0.32, [30_000, 18_000]),
    ("RS_GCF_000195955.2", 0.66, [51_000]),
    ("UBA12345.1", 0.44, [20_000, 15_000, 7_000, 2_500]),
]


def contig(rng: random.Random, length: int, gc: float) -> str:
    weights = [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2]
    return "".join(rng.choices("ACGT", weights=weights, k=length))


def fasta_text(rng: random.Random, name: str, gc: float, lengths: list[int]) -> str:
    lines = []
    for i, length in enumerate(lengths, 1):
        lines.append(f">{name}_contig{i} synthetic contig {i} of {name}")
        seq = contig(rng, length, gc)
        lines.extend(seq[p : p + 80] for p in range(0, len(seq), 80))
    return "\n".join(lines) + "\n"


def positional(x: float) -> str:
    """Shortest round-trip digits, laid out without an exponent (as the table file writes)."""
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def top_hits(rng: random.Random) -> str:
    lines = ["Gene Id\tTop hits (Family id,e-value,bitscore)"]
    for genome, _, _ in GENOMES:
        for gene in range(1, 6):
            hits = []
            for _ in range(rng.randint(1, 3)):
                bit = round(rng.uniform(20, 400), 1)
                e_val = float(f"{10 ** -(bit / 10):.3g}")
                hits.append((f"PF{rng.randrange(1, 20000):05d}", e_val, bit))
            hits.sort(key=lambda h: -h[2])
            listed = ";".join(f"{p},{positional(e)},{positional(b)}" for p, e, b in hits)
            lines.append(f"{genome}_gene{gene}\t{listed}")
    return "\n".join(lines) + "\n"


def main() -> None:
    rng = random.Random(20261207)
    DATA.mkdir(exist_ok=True)
    for index, (name, gc, lengths) in enumerate(GENOMES):
        text = fasta_text(rng, name, gc, lengths)
        if index == len(GENOMES) - 1:
            # One genome arrives compressed, as most downloads do.
            with gzip.GzipFile(DATA / f"{name}.fna.gz", "wb", mtime=0) as f:
                f.write(text.encode())
        else:
            (DATA / f"{name}.fna").write_text(text)
    (DATA / "top_hits.tsv").write_text(top_hits(rng))


if __name__ == "__main__":
    main()
