"""Sparse k-mer counts of real genomes beside jellyfish and KMC: exactness and time.

Whole-file canonical counts at k = 21 and 31 of a collection of real bacterial assemblies and of
real nanopore reads, by velko_tools (count_kmers(layout="sparse"), arrays in memory), KMC
(`kmc -t2`, its database written) and jellyfish (`jellyfish count -t 2`), each in a process of
its own (the peers' wall time and peak memory from /usr/bin/time, velko's from inside its
process, before its dump is written); then velko's per-record counts of the collection.
Exactness: velko's KMER<TAB>COUNT dump must equal `kmc_tools transform ... dump -s` byte for
byte, and `jellyfish dump -c -t` once sorted.

The data comes from Debian's example packages of genome tools (apt-get download, dpkg -x) into
a cache directory (VELKO_BENCH_CACHE, default /tmp/velko-bench), never into the source tree.
Needs jellyfish, kmc (apt-get install jellyfish kmc) and a built velko_tools on the path.
Usage: python benchmarks/bench_sparse.py [--runs N] [--no-jellyfish] [--before PYTHON]

--before names the interpreter of another build (a virtual environment's python): its velko is
timed in the same runs, alternating with this one's, and shown beside it, so that a change is
measured before and after on the same minutes of a shared machine.
"""

from __future__ import annotations

import argparse
import gzip
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

CACHE = Path(os.environ.get("VELKO_BENCH_CACHE", "/tmp/velko-bench"))
PACKAGES = ["kaptive-example", "kleborate-examples", "ragout-examples", "qcat-examples"]

VELKO_CHILD = """
import resource, sys, time
from velko_tools import count_kmers
path, k, per_file, dump = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "file", sys.argv[4]
start = time.perf_counter()
table = count_kmers(path, k, strands="canonical", per_file=per_file, layout="sparse",
                    invalid="skip", threads=2)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(elapsed, peak, len(table), len(table.codes), int(table.windows.sum()))
if dump != "-":
    table.write(dump)
"""


def fetch() -> tuple[Path, Path]:
    """The bacterial collection and the reads as plain FASTA, made once in the cache."""
    bacteria, reads = CACHE / "bacteria.fa", CACHE / "reads.fa"
    if bacteria.exists() and reads.exists():
        return bacteria, reads
    debs, root = CACHE / "debs", CACHE / "root"
    debs.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        ["apt-get", "download", *PACKAGES], cwd=debs, check=True, stdout=subprocess.DEVNULL
    )
    for deb in sorted(debs.glob("*.deb")):
        subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    docs = root / "usr" / "share" / "doc"
    with open(bacteria, "wb") as out:
        assemblies = sorted((docs / "kaptive").rglob("*.fasta.gz"))
        assemblies += sorted((docs / "ragout").rglob("*.fasta.gz"))
        out.writelines(gzip.decompress(path.read_bytes()) for path in assemblies)
        compressed = sorted((docs / "kleborate").rglob("*.fna.xz"))
        out.writelines(lzma.decompress(path.read_bytes()) for path in compressed)
    with open(reads, "w") as out:
        for path in sorted((docs / "qcat").rglob("*.fastq.gz")):
            with gzip.open(path, "rt") as fastq:
                for i, line in enumerate(fastq):
                    if i % 4 == 0:
                        out.write(">" + line[1:])
                    elif i % 4 == 1:
                        out.write(line)
    return bacteria, reads


def timed(command: list[str], cwd: Path) -> tuple[float, float, str]:
    """Runs `command`; its wall seconds, peak resident MiB and standard output."""
    done = subprocess.run(
        ["/usr/bin/time", "-f", "%e %M", *command],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=True,
    )
    wall, peak_kib = done.stderr.strip().splitlines()[-1].split()
    return float(wall), int(peak_kib) / 1024, done.stdout


def velko(
    path: Path, k: int, per_file: bool, dump: Path | None, work: Path, python: str = sys.executable
) -> tuple[float, float]:
    """velko's count time and peak memory, from inside its process: arrays in memory, before
    the dump is written."""
    _, _, out = timed(
        [
            python,
            "-c",
            VELKO_CHILD,
            str(path),
            str(k),
            "file" if per_file else "record",
            str(dump) if dump else "-",
        ],
        work,
    )
    elapsed, peak = out.split()[:2]
    return float(elapsed), float(peak)


def kmc(path: Path, k: int, dump: Path | None, work: Path) -> tuple[float, float]:
    db = work / f"kmc{k}"
    tmp = work / "kmc-tmp"
    tmp.mkdir(exist_ok=True)
    wall, peak, _ = timed(
        ["kmc", f"-k{k}", "-ci1", "-cs4294967295", "-fm", "-t2", str(path), str(db), str(tmp)], work
    )
    if dump is not None:
        subprocess.run(
            ["kmc_tools", "transform", str(db), "dump", "-s", str(dump)],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
    return wall, peak


def jellyfish(path: Path, k: int, dump: Path | None, work: Path) -> tuple[float, float]:
    db = work / f"jf{k}.jf"
    wall, peak, _ = timed(
        [
            "jellyfish",
            "count",
            "-C",
            "-m",
            str(k),
            "-s",
            "100M",
            "-t",
            "2",
            "-o",
            str(db),
            str(path),
        ],
        work,
    )
    if dump is not None:
        listing = work / "jf.txt"
        with open(listing, "wb") as out:
            subprocess.run(["jellyfish", "dump", "-c", "-t", str(db)], stdout=out, check=True)
        subprocess.run(
            ["sort", "-S", "1G", "-o", str(dump), str(listing)],
            check=True,
            env=dict(os.environ, LC_ALL="C"),
        )
        listing.unlink()
    return wall, peak


def same(a: Path, b: Path) -> str:
    equal = subprocess.run(["cmp", "-s", str(a), str(b)], check=False).returncode == 0
    return "exact" if equal else "DIFFER"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1, help="runs per tool, best kept")
    parser.add_argument("--no-jellyfish", action="store_true", help="leave jellyfish out")
    parser.add_argument("--before", metavar="PYTHON", help="also time this interpreter's velko")
    args = parser.parse_args()
    for tool in ("kmc", "kmc_tools", "jellyfish"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: apt-get install jellyfish kmc")
    bacteria, reads = fetch()
    with tempfile.TemporaryDirectory(dir=CACHE) as scratch:
        work = Path(scratch)
        print(
            f"{'input':10} {'k':>3} {'tool':10} {'seconds':>8} {'peak MiB':>9} "
            f"{'vs velko':>8}  exact"
        )
        before = {}
        for name, path in (("bacteria", bacteria), ("reads", reads)):
            for k in (21, 31):
                dumps = {tool: work / f"{tool}.txt" for tool in ("velko", "kmc", "jellyfish")}
                results = {}
                for run in range(args.runs):
                    first = run == 0
                    if args.before:
                        before[name, k] = min(
                            before.get((name, k), (1e9, 0)),
                            velko(path, k, True, None, work, args.before),
                        )
                    results["velko"] = min(
                        results.get("velko", (1e9, 0)),
                        velko(path, k, True, dumps["velko"] if first else None, work),
                    )
                    results["kmc"] = min(
                        results.get("kmc", (1e9, 0)),
                        kmc(path, k, dumps["kmc"] if first else None, work),
                    )
                    if not args.no_jellyfish:
                        results["jellyfish"] = min(
                            results.get("jellyfish", (1e9, 0)),
                            jellyfish(path, k, dumps["jellyfish"] if first else None, work),
                        )
                base = results["velko"][0]
                for tool, (seconds, peak) in results.items():
                    exact = "-" if tool == "velko" else same(dumps["velko"], dumps[tool])
                    print(
                        f"{name:10} {k:>3} {tool:10} {seconds:8.2f} {peak:9.0f} "
                        f"{seconds / base:8.2f}  {exact}",
                        flush=True,
                    )
                if args.before:
                    seconds, peak = before[name, k]
                    print(
                        f"{name:10} {k:>3} {'before':10} {seconds:8.2f} {peak:9.0f} "
                        f"{seconds / base:8.2f}  -",
                        flush=True,
                    )
                for dump in dumps.values():
                    dump.unlink(missing_ok=True)
            if name == "bacteria":
                whole = results["velko"]  # k = 31, the whole file, just measured
                per_record = (1e9, 0)
                per_record_before = (1e9, 0)
                for _ in range(args.runs):
                    if args.before:
                        per_record_before = min(
                            per_record_before, velko(path, 31, False, None, work, args.before)
                        )
                    per_record = min(per_record, velko(path, 31, False, None, work))
                print(
                    f"{name:10} {31:>3} {'velko/rec':10} {per_record[0]:8.2f} "
                    f"{per_record[1]:9.0f} {per_record[0] / whole[0]:8.2f}  (per record vs "
                    "whole file)",
                    flush=True,
                )
                if args.before:
                    print(
                        f"{name:10} {31:>3} {'before/rec':10} {per_record_before[0]:8.2f} "
                        f"{per_record_before[1]:9.0f} "
                        f"{per_record_before[0] / before[name, 31][0]:8.2f}  (before: per "
                        "record vs whole file)",
                        flush=True,
                    )
    sizes = {}
    for name, path in (("bacteria", bacteria), ("reads", reads)):
        with open(path) as text:
            sizes[name] = sum(len(line) - 1 for line in text if not line.startswith(">"))
    print("bases:", ", ".join(f"{name} {size / 1e6:.1f} Mb" for name, size in sizes.items()))


if __name__ == "__main__":
    main()
