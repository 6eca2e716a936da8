"""A quick side-by-side run of velko against its Python peers, drawn as one chart.

Each task is timed for velko and for the usual way to do it in Python (NumPy where it applies),
in the same run; the chart shows how many times faster velko is. Takes about a minute.

Run: python3 -m pip install ".[bench,plot]"
     python3 benchmarks/chart.py [--out docs/benchmarks.png]
"""

import argparse
import csv
import io
import pathlib
import random
import tempfile

import numpy as np
from timing import best_of

import velko  # noqa: F401
from velko.fasta import DnaSequence
from velko.hmmer.tophit import TopHitFile
from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq
from velko.util.accession import canonical_gid

CODE = np.full(256, 255, dtype=np.uint8)
for code, letter in enumerate(b"ACGT"):
    CODE[letter] = code


def numpy_count(text, k):
    codes = CODE[np.frombuffer(text.encode(), dtype=np.uint8)].astype(np.uint64)
    index = np.zeros(len(codes) - k + 1, dtype=np.uint64)
    for i in range(k):
        index = index * 4 + codes[i : len(codes) - k + 1 + i]
    return np.bincount(index.astype(np.int64), minlength=4**k).tolist()


def python_table(rows):
    table = {}
    for gene, hmm, e_val, bit in rows:
        hits = table.setdefault(gene, {})
        old = hits.get(hmm)
        if old is None or (old[1], -old[0]) < (bit, -e_val):
            hits[hmm] = (e_val, bit)
    out = io.StringIO()
    writer = csv.writer(out, delimiter="\t", lineterminator="\n")
    for gene, hits in table.items():
        ranked = sorted(hits.items(), key=lambda h: (-h[1][1], h[1][0]))
        writer.writerow([gene, ";".join(f"{p},{e!r},{b!r}" for p, (e, b) in ranked)])
    return out.getvalue()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default="docs/benchmarks.png")
    args = parser.parse_args()
    rng = random.Random(1)
    text = "".join(rng.choices("ACGT", k=20_000_000))
    results = {}

    results["count k-mers, k=8\n(vs NumPy)"] = best_of(3, lambda: numpy_count(text, 8)) / best_of(
        3, lambda: get_kmer_count_seq(text, 8, False).counts
    )
    translate = bytes.maketrans(b"ACGT", b"TGCA")
    results["reverse complement, str to str\n(vs bytes.translate + slicing)"] = best_of(
        3, lambda: text.encode().translate(translate)[::-1].decode()
    ) / best_of(3, lambda: DnaSequence(text).rev_complement().seq)

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "g.fa"
        with open(path, "w") as f:
            for i in range(200):
                seq = text[i * 100_000 : (i + 1) * 100_000]
                f.write(
                    f">contig{i}\n"
                    + "\n".join(seq[p : p + 80] for p in range(0, len(seq), 80))
                    + "\n"
                )
        try:
            from Bio import SeqIO

            def biopython():
                return {r.id: numpy_count(str(r.seq), 4) for r in SeqIO.parse(str(path), "fasta")}

            results["FASTA file, k=4\n(vs Biopython + NumPy)"] = best_of(3, biopython) / best_of(
                3, lambda: get_kmer_count_fasta(str(path), 4, False)
            )
        except ImportError:
            pass

        rows = [
            (
                f"GENE_{i // 4:06d}",
                f"PF{rng.randrange(5000):05d}",
                rng.random(),
                rng.uniform(10, 500),
            )
            for i in range(300_000)
        ]

        def velko_table():
            table = TopHitFile(str(pathlib.Path(tmp) / "top.tsv"))
            for row in rows:
                table.add_hit(*row)
            table.write()

        results["top-hit table: fill + write\n(vs dicts + csv)"] = best_of(
            3, lambda: python_table(rows)
        ) / best_of(3, velko_table)

    gids = [f"RS_GCF_{rng.randrange(10**9):09d}.{rng.randrange(1, 4)}" for _ in range(300_000)]

    def python_gid(gid):
        if gid.startswith("U"):
            return gid
        return (
            gid.replace("RS_", "")
            .replace("GB_", "")
            .replace("GCA_", "G")
            .replace("GCF_", "G")
            .split(".", 1)[0]
        )

    results["canonical_gid\n(vs str methods)"] = best_of(
        3, lambda: [python_gid(g) for g in gids]
    ) / best_of(3, lambda: [canonical_gid(g) for g in gids])

    for name, ratio in results.items():
        print(f"{name.replace(chr(10), ' '):55} {ratio:7.1f}x")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names, ratios = list(results), list(results.values())
    fig, ax = plt.subplots(figsize=(9, 3.8))
    bars = ax.barh(names[::-1], ratios[::-1], color="#3b7dd8")
    ax.set_xscale("log")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.bar_label(bars, labels=[f"{r:.1f}x" for r in ratios[::-1]], padding=3)
    ax.set_xlabel("times faster than the Python peer, same run (log scale)")
    ax.set_title("velko against the usual Python way")
    ax.set_xlim(0.8, max(ratios) * 3)
    fig.tight_layout()
    pathlib.Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=100)
    print("chart written to", args.out)


if __name__ == "__main__":
    main()
