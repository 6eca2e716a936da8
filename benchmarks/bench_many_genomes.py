#!/usr/bin/env python3
"""examples/many_genomes.py on 16 generated gzip-compressed genomes: one thread, two threads,
and a local Dask cluster of one and two worker processes (when dask.distributed is installed).

    python3 -m pip install ".[bench,parallel]" && python3 benchmarks/bench_many_genomes.py

Each mode runs in its own process; its time is the one the example prints for the counting
alone ("counted on the cluster in" for Dask, which leaves out starting the cluster), best of
--repeat. Machines are shared and noisy: compare the ratios. How quiet the machine was is printed
with them: the load average before the first run, and each mode's spread (slowest over fastest
run); two threads can reach 2x one only where the second core is idle and the spread small.
"""

import argparse
import gzip
import os
import pathlib
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import fasta_data  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "many_genomes.py"


def genomes(directory: pathlib.Path, count: int) -> pathlib.Path:
    directory.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        target = directory / f"genome{i:02}.fa.gz"
        if target.exists():
            continue
        plain = fasta_data.genome(
            directory / f"genome{i:02}.plain",
            chromosomes=1,
            chromosome_size=4_500_000,
            contigs=150,
            seed=300 + i,
        )
        partial = target.with_suffix(".partial")
        with open(plain, "rb") as source, gzip.open(partial, "wb", compresslevel=6) as out:
            out.write(source.read())
        partial.rename(target)
        plain.unlink()
    return directory


def run(directory: pathlib.Path, options: list[str]) -> float:
    out = subprocess.run(
        [sys.executable, str(EXAMPLE), str(directory), *options],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    cluster = re.search(r"counted on the cluster in ([0-9.]+) s", out)
    if cluster:
        return float(cluster.group(1))
    return float(re.search(r"files in ([0-9.]+) s", out).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "velko-bench"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    directory = genomes(pathlib.Path(args.workdir) / "many-genomes", 16)
    size = sum(p.stat().st_size for p in directory.iterdir()) / 16 / 1e6
    print(
        f"16 genomes, {size:.1f} MB each gzip-compressed; canonical 4-mers per genome; "
        f"best of {args.repeat}"
    )
    modes = [("--threads 1", ["--threads", "1"]), ("--threads 2", ["--threads", "2"])]
    try:
        import dask.distributed  # noqa: F401

        modes += [
            ("--dask --workers 1 (counting only)", ["--dask", "--workers", "1"]),
            ("--dask --workers 2 (counting only)", ["--dask", "--workers", "2"]),
        ]
    except ImportError:
        print("dask.distributed not installed: the Dask modes are skipped")
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    print(f"load average before: {load} ({os.cpu_count()} cores)")
    base = None
    for label, options in modes:
        times = [run(directory, options) for _ in range(args.repeat)]
        seconds = min(times)
        base = base or seconds
        print(
            f"{label:40} {seconds:6.2f} s  {base / seconds:5.2f}x"
            f"  (spread {max(times) / seconds:4.2f})"
        )


if __name__ == "__main__":
    main()
