#!/usr/bin/env python3
"""get_kmer_count_fasta against its peers, on the same files, in one run.

    python3 -m pip install ".[bench]" && python3 benchmarks/bench_fasta.py

Files come from a fixed seed (benchmarks/fasta_data.py) and are written once to --workdir.
Every time is the best of --repeat runs with the file in the page cache. Peers: `cat` (the
read ceiling), a plain C per-record loop (benchmarks/c_loop.c, built here with cc), Biopython's
SeqIO with a NumPy count per record, and jellyfish and KMC when installed (they count the
whole file, which is less work). Machines are shared and noisy: compare the ratios.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import fasta_data  # noqa: E402
from timing import best_of  # noqa: E402

from velko.kmer import get_kmer_count_fasta  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def run_velko(path, k, both):
    return get_kmer_count_fasta(str(path), k, both)


def c_loop(binary, path, k, repeat, reuse=False, cpu=False):
    """The best of the times the C loop reports itself, which leave out starting the process:
    wall time, or with `cpu` CPU time. With `reuse`, the loop counts every record into one table
    and keeps no results."""

    def one_run():
        argv = [binary, str(path), str(k)] + (["reuse"] if reuse else [])
        out = subprocess.run(argv, check=True, capture_output=True, text=True)
        return float(out.stdout.split()[3 if cpu else 2])

    return min(one_run() for _ in range(repeat))


def cpu_time(repeat, work):
    """The least CPU time of `repeat` calls of work()."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        result = work()
        best = min(best, time.process_time() - start)
        del result
    return best


def ceiling(compiler, work, genome, size, repeat):
    """velko's per-record 4-mers beside a loop that only reads the file and classifies its
    bytes (benchmarks/classify_loop.c): the most any per-record count can reach here. Both in
    CPU time, which a machine shared with other work disturbs less than wall time."""
    binary = str(work / "classify_loop")
    subprocess.run([compiler, "-O2", "-o", binary, str(HERE / "classify_loop.c")], check=True)

    def classify():
        out = subprocess.run([binary, str(genome)], check=True, capture_output=True, text=True)
        return float(out.stdout.split()[2])

    floor = min(classify() for _ in range(repeat))
    velko = cpu_time(repeat, lambda: run_velko(genome, 4, False))
    print(
        f"{'CPU time: classify bytes only, genome':44} {floor:8.3f} {size / 1e6 / floor:7.0f}\n"
        f"{'CPU time: velko genome, k=4, one strand':44} {velko:8.3f} {size / 1e6 / velko:7.0f}"
        f"   {velko / floor:.2f}x the classifying loop"
    )


def command_time(argv, repeat):
    def call():
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    return best_of(repeat, call)


def numpy_count(path, k):
    """Biopython parses, NumPy counts each record: the usual Python route."""
    import numpy as np
    from Bio import SeqIO

    codes = np.full(256, 255, dtype=np.uint8)
    for i, letter in enumerate(b"ACGT"):
        codes[letter] = i
    results = {}
    for record in SeqIO.parse(str(path), "fasta"):
        seq = codes[np.frombuffer(bytes(record.seq), dtype=np.uint8)]
        n = len(seq) - k + 1
        if n <= 0:
            results[record.id] = np.zeros(4**k, dtype=np.int64)
            continue
        if (seq == 255).any():
            raise ValueError(f"record {record.id} holds a letter other than A, C, G, T")
        index = np.zeros(n, dtype=np.int64)
        for i in range(k):
            index = (index << 2) | seq[i : i + n]
        results[record.id] = np.bincount(index, minlength=4**k)
    return results


def peak_memory(path, k, both):
    """Peak resident memory of a fresh interpreter making the call, less its baseline."""
    # VmHWM, not ru_maxrss: the latter carries the parent's high-water mark over a fork.
    code = (
        "from velko.kmer import get_kmer_count_fasta\n"
        "def high_water():\n"
        "    status = open('/proc/self/status').read()\n"
        "    return int(status.split('VmHWM:')[1].split()[0])\n"
        "base = high_water()\n"
        f"result = get_kmer_count_fasta({str(path)!r}, {k}, {both})\n"
        "print(high_water() - base, len(result))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    kib, records = out.stdout.split()
    return int(kib) * 1024, int(records)


def two_threads(paths, k, repeat):
    def one():
        for path in paths:
            run_velko(path, k, False)

    def both():
        threads = [threading.Thread(target=run_velko, args=(path, k, False)) for path in paths]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return best_of(repeat, one), best_of(repeat, both)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "velko-bench"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    work = pathlib.Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    repeat = args.repeat

    genome = fasta_data.genome(work / "genome.fa")
    genome_copy = work / "genome-copy.fa"
    if not genome_copy.exists():
        shutil.copyfile(genome, genome_copy)
    chromosomes = fasta_data.genome(work / "chromosomes.fa", contigs=0)
    # Not reads.fa: the sparse benchmark keeps real nanopore reads under that name here.
    reads = fasta_data.reads(work / "short-reads.fa")
    files = {"genome": genome, "chromosomes": chromosomes, "reads": reads}
    sizes = {name: path.stat().st_size for name, path in files.items()}
    for path in [*files.values(), genome_copy]:
        subprocess.run(["cat", str(path)], check=True, stdout=subprocess.DEVNULL)  # page cache

    c_binary = None
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler:
        c_binary = str(work / "c_loop")
        subprocess.run([compiler, "-O2", "-o", c_binary, str(HERE / "c_loop.c")], check=True)

    print(
        f"files: genome {sizes['genome'] / 1e6:.0f} MB (4 chromosomes + 2,800 contigs), "
        f"chromosomes {sizes['chromosomes'] / 1e6:.0f} MB (4 records), "
        f"reads {sizes['reads'] / 1e6:.0f} MB (133,000 x 150 bp); best of {repeat}"
    )
    print()
    header = f"{'case':44} {'seconds':>8} {'MB/s':>7} {'x cat':>7} {'x C loop':>9}"
    print(header)
    print("-" * len(header))

    cat = {name: command_time(["cat", str(path)], repeat) for name, path in files.items()}
    c_times = {}
    cases = [("genome", 4), ("genome", 8), ("chromosomes", 4), ("chromosomes", 12), ("reads", 4)]
    if c_binary:
        for name, k in cases:
            c_times[name, k] = c_loop(c_binary, files[name], k, repeat)

    def row(label, name, seconds, k=None):
        mbps = sizes[name] / 1e6 / seconds
        vs_c = f"{seconds / c_times[name, k]:9.2f}" if (name, k) in c_times else f"{'-':>9}"
        print(f"{label:44} {seconds:8.3f} {mbps:7.0f} {seconds / cat[name]:7.1f} {vs_c}")

    for name in files:
        row(f"cat {name} > /dev/null", name, cat[name])
    for (name, k), seconds in c_times.items():
        row(f"C per-record loop, {name}, k={k}", name, seconds, k)
    velko_times = {}
    for name, k in cases:
        for both in (False, True):
            seconds = best_of(repeat, lambda: run_velko(files[name], k, both))
            velko_times[name, k, both] = seconds
            strands = "both strands" if both else "one strand"
            row(f"velko {name}, k={k}, {strands}", name, seconds, k)
    per_record = velko_times["reads", 4, False] / 133_000 * 1e9
    print(f"{'':44} reads: {per_record:.0f} ns per record, all included")
    if c_binary:
        floor = c_loop(c_binary, files["reads"], 4, repeat, reuse=True)
        print(
            f"{'C loop, reads, k=4, no results kept':44} {floor:8.3f} "
            f"{sizes['reads'] / 1e6 / floor:7.0f}   velko reads k=4 takes "
            f"{velko_times['reads', 4, False] / floor:.2f}x its time"
        )

    if compiler:
        ceiling(compiler, work, genome, sizes["genome"], repeat)
    if c_binary:
        # Short reads in CPU time: the C loop keeping each record's counts, as velko does, and
        # the floor that keeps none.
        kept = c_loop(c_binary, files["reads"], 4, repeat, cpu=True)
        floor = c_loop(c_binary, files["reads"], 4, repeat, reuse=True, cpu=True)
        velko = cpu_time(repeat, lambda: run_velko(files["reads"], 4, False))
        print(
            f"CPU time, reads, k=4: velko {velko:.3f} s, C loop keeping results {kept:.3f} s, "
            f"C loop keeping none {floor:.3f} s: velko {velko / floor:.2f}x the floor"
        )

    print()
    peers = []
    try:
        seconds = best_of(repeat, lambda: numpy_count(genome, 4))
        peers.append(("Biopython SeqIO + NumPy per record, k=4", seconds))
    except ImportError as error:
        print(f"Biopython/NumPy peer skipped: {error}")
    for tool, argv in [
        (
            "jellyfish",
            [
                "jellyfish",
                "count",
                "-m",
                "4",
                "-s",
                "1M",
                "-t",
                "1",
                "-o",
                str(work / "jf.out"),
                str(genome),
            ],
        ),
        (
            "kmc",
            ["kmc", "-k4", "-ci1", "-t1", "-fm", str(genome), str(work / "kmc.out"), str(work)],
        ),
    ]:
        if shutil.which(tool) is None:
            print(f"{tool} not installed: skipped")
            continue
        try:
            peers.append((f"{tool}, whole file, k=4, 1 thread", command_time(argv, repeat)))
        except subprocess.CalledProcessError as error:
            print(f"{tool} failed ({error.returncode}): skipped")
    if peers:
        mine = velko_times["genome", 4, False]
        print(f"{'peer on genome':44} {'seconds':>8} {'MB/s':>7} {'x velko k=4':>12}")
        for label, seconds in peers:
            print(
                f"{label:44} {seconds:8.3f} {sizes['genome'] / 1e6 / seconds:7.0f} "
                f"{seconds / mine:12.1f}"
            )

    print()
    print(f"{'peak memory (fresh interpreter)':44} {'peak MB':>8} {'results MB':>11} {'ratio':>6}")
    for name, k in [
        ("genome", 4),
        ("genome", 8),
        ("reads", 4),
        ("chromosomes", 4),
        ("chromosomes", 12),
    ]:
        peak, records = peak_memory(files[name], k, False)
        results = records * 8 * 4**k
        ratio = f"{peak / results:6.2f}" if results >= 1 << 20 else f"{'-':>6}"
        print(f"{'velko ' + name + f', k={k}':44} {peak / 1e6:8.1f} {results / 1e6:11.1f} {ratio}")
    print("(chromosomes at k=4: memory does not grow with the length of a record)")

    print()
    one, both = two_threads([genome, genome_copy], 4, repeat)
    print(
        f"two files, k=4: one thread {one:.3f} s, two threads {both:.3f} s, "
        f"speed-up {one / both:.2f}x"
    )


if __name__ == "__main__":
    main()
