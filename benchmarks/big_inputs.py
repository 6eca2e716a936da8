"""Big inputs: a 2 GB FASTA file with one 1.5 GB record counted at k = 8, and a 5-million-hit
top-hit file written and read back. Each step runs in its own process so that its peak memory
is its own.

Run: python3 benchmarks/big_inputs.py [--dir DIR] [--keep]
"""

import argparse
import pathlib
import random
import subprocess
import sys
import tempfile

LINE = 80


def write_fasta(path, record_sizes, seed=3):
    rng = random.Random(seed)
    block = "".join(rng.choices("ACGT", k=LINE * 4096))
    lines = "\n".join(block[i : i + LINE] for i in range(0, len(block), LINE)) + "\n"
    per_block = len(block)
    with open(path, "w") as f:
        for index, size in enumerate(record_sizes):
            f.write(f">chr{index} synthetic\n")
            written = 0
            while written + per_block <= size:
                f.write(lines)
                written += per_block
            rest = block[: size - written]
            f.write("\n".join(rest[i : i + LINE] for i in range(0, len(rest), LINE)) + "\n")


PEAK = "\nimport resource; print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)"


def measured(code, *args):
    """Runs code in a fresh interpreter; returns (its printed lines, its peak RSS in MB)."""
    proc = subprocess.run(
        [sys.executable, "-c", code + PEAK, *args], stdout=subprocess.PIPE, text=True, check=True
    )
    *lines, peak = proc.stdout.split("\n")[:-1]
    return lines[-1], int(peak)


COUNT = """
import sys, time, velko
from velko.kmer import get_kmer_count_fasta
start = time.perf_counter()
result = get_kmer_count_fasta(sys.argv[1], 8, False)
print(f"{time.perf_counter() - start:.2f}", sum(r.total for r in result.values()))
"""

WRITE = """
import random, sys, time, velko
from velko.hmmer.tophit import TopHitFile
rng = random.Random(9)
table = TopHitFile(sys.argv[1])
for n in range(5_000_000):
    table.add_hit(f"GENE_{n // 4:07d}", f"PF{rng.randrange(20000):05d}", rng.random() * 1e-5,
                  rng.uniform(20, 500))
start = time.perf_counter()
table.write()
print(f"{time.perf_counter() - start:.2f}")
"""

READ = """
import sys, time, velko
from velko.hmmer.tophit import TopHitFile
table = TopHitFile(sys.argv[1])
start = time.perf_counter()
table.read()
print(f"{time.perf_counter() - start:.2f}", table.contains_gene_id("GENE_0000000"))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    work = pathlib.Path(args.dir) / "velko-big"
    work.mkdir(exist_ok=True)
    fasta = work / "big.fa"
    sizes = [1_500_000_000] + [12_500_000] * 40  # 1.5 GB record + 0.5 GB of others
    if not fasta.exists():
        print("generating", fasta)
        write_fasta(fasta, sizes)
    size_gb = fasta.stat().st_size / 1e9
    out, peak = measured(COUNT, str(fasta))
    count_seconds, windows = out.split()
    results_mb = len(sizes) * 4**8 * 8 / 1e6
    print(f"{'step':44} {'seconds':>8} {'peak MB':>8}")
    step = f"count k=8, {size_gb:.1f} GB FASTA ({windows} windows)"
    print(
        f"{step:44} {float(count_seconds):8.2f} "
        f"{peak:8.0f}   (results themselves: {results_mb:.0f} MB)"
    )
    table = work / "top.tsv"
    out, peak = measured(WRITE, str(table))
    mb = table.stat().st_size / 1e6
    print(f"{f'write 5M hits ({mb:.0f} MB)':44} {float(out):8.2f} {peak:8.0f}")
    out, peak = measured(READ, str(table))
    print(f"{'read them back':44} {float(out.split()[0]):8.2f} {peak:8.0f}")
    if not args.keep:
        fasta.unlink()
        table.unlink()


if __name__ == "__main__":
    main()
