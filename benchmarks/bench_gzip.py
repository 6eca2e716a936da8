"""gzip-compressed FASTA: get_kmer_count_fasta on a .gz file against `gzip -dc file > /dev/null`
(decompression alone, the floor for any reader of the file), `igzip -dc` and `pigz -dc` when
installed, and against the plain file.

Run: python3 benchmarks/bench_gzip.py [--dir DIR]
"""

import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import fasta_data  # noqa: E402
from timing import best_of  # noqa: E402

import velko  # noqa: E402,F401
from velko.kmer import get_kmer_count_fasta  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    work = pathlib.Path(args.dir) / "velko-bench-gzip"
    work.mkdir(exist_ok=True)
    plain = work / "genome.fa"
    packed = work / "genome.fa.gz"
    if not plain.exists():
        fasta_data.genome(plain)
    if not packed.exists():
        with open(packed, "wb") as out:
            subprocess.run(["gzip", "-6", "-c", str(plain)], stdout=out, check=True)
    size_mb = plain.stat().st_size / 1e6

    def decompress(tool):
        return best_of(
            3, lambda: subprocess.run(f"{tool} -dc '{packed}' > /dev/null", shell=True, check=True)
        )

    gunzip = decompress("gzip")
    results = {"gzip -dc > /dev/null": gunzip}
    # The other decompressors, where installed: the fastest single-core inflater (igzip, the
    # one velko uses when built with ISA-L) and pigz.
    for tool in ("igzip", "pigz"):
        if shutil.which(tool):
            results[f"{tool} -dc > /dev/null"] = decompress(tool)
    results |= {
        "velko k=4, .gz": best_of(3, lambda: get_kmer_count_fasta(str(packed), 4, False)),
        "velko k=4, .gz, both strands": best_of(
            3, lambda: get_kmer_count_fasta(str(packed), 4, True)
        ),
        "velko k=4, plain file": best_of(3, lambda: get_kmer_count_fasta(str(plain), 4, False)),
    }
    print(f"{size_mb:.0f} MB of FASTA, {packed.stat().st_size / 1e6:.0f} MB compressed")
    print(f"{'':32} {'seconds':>8} {'MB/s':>7} {'vs gzip -dc':>11}")
    for name, seconds in results.items():
        print(f"{name:32} {seconds:8.3f} {size_mb / seconds:7.0f} {seconds / gunzip:10.2f}x")


if __name__ == "__main__":
    main()
