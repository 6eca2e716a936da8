"""Sketches and their all-against-all comparison beside sourmash, in one run: time and exactness.

Sketching: the E. coli K-12 chromosome (4.6 Mb, from Debian's ragout examples) at k = 31,
scaled = 1000, by sourmash's MinHash.add_sequence(force=True) and by velko_tools.sketch on one
thread; then the real collection (the bacterial assemblies of the kaptive, ragout and kleborate
examples, one file each) on one and two threads. Each figure is the best of --repeat runs; the
hashes are checked equal.

Comparing: families of generated related genomes (each family a random ancestor and copies of it
with 0 to 10% point mutations and up to a third cut off), sketched by velko_tools at k = 21 and
a scaled that leaves about 1,000 hashes a genome. sourmash's compare
(compare_serial_max_containment, the matrix `sourmash compare --max-containment` fills) runs on
--sourmash-sketches of them, loaded
as sourmash MinHashes from the same hashes; SketchTable.compare at threshold 0.1 on those and on
--sketches, and on more for the growth. The pairs above the threshold are checked equal.

    nice python benchmarks/bench_sketch.py            # the figures of docs/benchmarks.md
    nice python benchmarks/bench_sketch.py --quick    # a smaller run
"""

from __future__ import annotations

import argparse
import gzip
import lzma
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

CACHE = Path(os.environ.get("VELKO_BENCH_CACHE", "/tmp/velko-bench")) / "sketch"
PACKAGES = ["kaptive-example", "kleborate-examples", "ragout-examples"]


# On a shared machine the wall time of one thread counts the moments it waited for a core; the
# CPU time of the process does not, and for work on one thread it is the fairer figure.
cpu_seconds: dict[int, float] = {}


def best_of(repeat: int, call) -> tuple[float, object]:
    """The best wall time of `repeat` calls and the last result; the best CPU time of the
    process over the same calls goes to cpu_seconds[id(call)]."""
    best, best_cpu, result = float("inf"), float("inf"), None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = call()
        best = min(best, time.perf_counter() - start)
        best_cpu = min(best_cpu, time.process_time() - start_cpu)
    cpu_seconds[id(call)] = best_cpu
    return best, result


def best_cpu_of(repeat: int, call) -> tuple[float, float, object]:
    """best_of, with the best CPU seconds too."""
    wall, result = best_of(repeat, call)
    return wall, cpu_seconds.pop(id(call)), result


def fetch() -> tuple[Path, list[Path]]:
    """E. coli K-12 and the collection, one plain FASTA file per assembly, made once."""
    genomes = CACHE / "genomes"
    ecoli = CACHE / "ecoli.fa"
    if ecoli.exists() and genomes.exists():
        return ecoli, sorted(genomes.glob("*.fa"))
    root = CACHE / "root"
    debs = CACHE / "debs"
    debs.mkdir(parents=True, exist_ok=True)
    subprocess.run(["apt-get", "download", *PACKAGES], cwd=debs, check=True, capture_output=True)
    for deb in sorted(debs.glob("*.deb")):
        subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    docs = root / "usr" / "share" / "doc"
    genomes.mkdir(exist_ok=True)
    sources = sorted((docs / "kaptive").rglob("*.fasta.gz"))
    sources += sorted((docs / "ragout").rglob("*.fasta.gz"))
    sources += sorted((docs / "kleborate").rglob("*.fna.xz"))
    for source in sources:
        data = (
            lzma.decompress(source.read_bytes())
            if source.suffix == ".xz"
            else gzip.decompress(source.read_bytes())
        )
        name = source.name.split(".")[0]
        (genomes / f"{source.parent.name}_{name}.fa").write_bytes(data)
    mg1655 = next((docs / "ragout").rglob("MG1655-K12.fasta.gz"))
    ecoli.write_bytes(gzip.decompress(mg1655.read_bytes()))
    return ecoli, sorted(genomes.glob("*.fa"))


def records(path: Path) -> list[str]:
    found: list[list[str]] = []
    with open(path) as text:
        for line in text:
            if line.startswith(">"):
                found.append([])
            elif found:
                found[-1].append(line.strip())
    return ["".join(parts) for parts in found]


def sourmash_sketch(sequences: list[str], k: int, scaled: int):
    import sourmash

    mh = sourmash.MinHash(0, k, scaled=scaled)
    for sequence in sequences:
        mh.add_sequence(sequence, force=True)
    return mh


def bench_sketching(repeat: int, quick: bool) -> None:
    import velko_tools

    ecoli, genomes = fetch()
    if quick:
        genomes = genomes[:6]
    sequences = records(ecoli)
    theirs_s, theirs_cpu, mh = best_cpu_of(repeat, lambda: sourmash_sketch(sequences, 31, 1000))
    ours_s, ours_cpu, table = best_cpu_of(
        repeat, lambda: velko_tools.sketch(ecoli, k=31, scaled=1000, threads=1)
    )
    assert table.row(0).tolist() == sorted(mh.hashes), "E. coli: hashes differ"
    print(
        f"{'sketch, k=31 scaled=1000':<44}{'sourmash s':>12}{'velko s':>10}{'ratio':>8}"
        f"{'CPU s: sourmash':>17}{'velko':>8}{'ratio':>7}"
    )
    label = "E. coli K-12 (4.6 Mb), one core"
    print(
        f"{label:<44}{theirs_s:12.3f}{ours_s:10.4f}{theirs_s / ours_s:8.1f}"
        f"{theirs_cpu:17.3f}{ours_cpu:8.4f}{theirs_cpu / ours_cpu:7.1f}"
    )
    collection = [records(path) for path in genomes]
    megabases = sum(len(s) for seqs in collection for s in seqs) / 1e6
    theirs_c, theirs_c_cpu, mhs = best_cpu_of(
        repeat, lambda: [sourmash_sketch(seqs, 31, 1000) for seqs in collection]
    )
    one, one_cpu, table = best_cpu_of(
        repeat, lambda: velko_tools.sketch(genomes, k=31, scaled=1000, threads=1)
    )
    two, _ = best_of(repeat, lambda: velko_tools.sketch(genomes, k=31, scaled=1000, threads=2))
    for r, found in enumerate(mhs):
        assert table.row(r).tolist() == sorted(found.hashes), f"{genomes[r]}: hashes differ"
    label = f"collection ({len(genomes)} files, {megabases:.0f} Mb)"
    print(
        f"{label + ', one core':<44}{theirs_c:12.3f}{one:10.4f}{theirs_c / one:8.1f}"
        f"{theirs_c_cpu:17.3f}{one_cpu:8.4f}{theirs_c_cpu / one_cpu:7.1f}"
    )
    print(f"{label + ', two threads':<44}{'':12}{two:10.4f}{theirs_c / two:8.1f}")
    print(f"two threads over one: {one / two:.2f}x")


def family_sketches(count: int, length: int, scaled: int, seed: int = 1):
    """SketchTable of `count` generated genomes in families of 50, sketched at k = 21."""
    import velko_tools

    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"ACGT", np.uint8)
    with tempfile.TemporaryDirectory() as scratch:
        paths = []
        per_file = 500
        members = 50
        for start in range(0, count, per_file):
            path = Path(scratch) / f"g{start}.fa"
            with open(path, "wb") as out:
                for n in range(start, min(count, start + per_file)):
                    if n % members == 0:
                        ancestor = letters[rng.integers(0, 4, length)]
                    copy = ancestor.copy()
                    flips = np.flatnonzero(rng.random(length) < rng.uniform(0, 0.1))
                    copy[flips] = letters[rng.integers(0, 4, len(flips))]
                    cut = int(rng.uniform(0, length / 3))
                    out.write(b">g%06d\n" % n + copy[cut:].tobytes() + b"\n")
            paths.append(path)
        return velko_tools.sketch(paths, k=21, scaled=scaled, per_file=False)


def sourmash_compare(table) -> tuple[float, np.ndarray]:
    import sourmash
    from sourmash.compare import compare_serial_max_containment

    sigs = []
    for r in range(len(table)):
        mh = sourmash.MinHash(0, table.k, scaled=table.scaled)
        mh.add_many(table.row(r).tolist())
        sigs.append(sourmash.SourmashSignature(mh, name=table.ids[r]))
    start = time.perf_counter()
    matrix = compare_serial_max_containment(sigs)
    return time.perf_counter() - start, matrix


def bench_compare(repeat: int, quick: bool, sketches: int, theirs: int, growth: list[int]) -> None:
    length, scaled = 100_000, 100
    if quick:
        sketches, theirs, growth = 2_000, 500, [1_000, 2_000]
    table = family_sketches(max([sketches, *growth]), length, scaled)
    print(
        f"\ncompare at threshold 0.1 (max_containment), k=21, ~{int(np.diff(table.indptr).mean())} "
        "hashes a sketch"
    )
    from velko_tools import SketchTable

    def first(n: int) -> SketchTable:
        return SketchTable(
            table.ids[:n],
            table.files[:n],
            table.k,
            table.scaled,
            table.seed,
            table.indptr[: n + 1],
            table.hashes[: int(table.indptr[n])],
        )

    small = first(theirs)
    theirs_s, matrix = sourmash_compare(small)
    ours_small, pairs = best_of(repeat, lambda: small.compare(threshold=0.1, threads=1))
    # Exactness: the pairs above the threshold and their values are sourmash's.
    i, j = np.triu_indices(theirs, 1)
    above = matrix[i, j] >= 0.1
    index = {name: r for r, name in enumerate(small.ids)}
    got = np.zeros_like(matrix)
    got[[index[q] for q in pairs["query"]], [index[m] for m in pairs["match"]]] = pairs[
        "max_containment"
    ]
    assert np.array_equal(np.flatnonzero(above), np.flatnonzero(got[i, j] >= 0.1)), "pairs differ"
    assert np.allclose(got[i, j][above], matrix[i, j][above], rtol=0, atol=1e-12), "values differ"

    # The work grows with the (pair, shared hash) incidences: a hash held by n sketches is one
    # for each of its n (n - 1) / 2 pairs.
    def incidences(part: SketchTable) -> int:
        _, held = np.unique(part.hashes, return_counts=True)
        return int((held.astype(np.int64) * (held - 1) // 2).sum())

    print(
        f"{'sketches':>9}{'pairs':>12}{'incidences':>14}{'sourmash s':>12}{'velko s':>10}"
        f"{'velko s 2t':>12}{'MiB':>8}"
    )
    print(
        f"{theirs:>9}{len(pairs):>12}{incidences(small):>14}{theirs_s:12.2f}{ours_small:10.3f}"
        f"{'':>12}{'':>8}"
    )
    for n in sorted({sketches, *growth}):
        part = first(n)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        one, found = best_of(repeat, lambda: part.compare(threshold=0.1, threads=1))
        two, _ = best_of(repeat, lambda: part.compare(threshold=0.1, threads=2))
        grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
        print(
            f"{n:>9}{len(found):>12}{incidences(part):>14}{'':>12}{one:10.3f}{two:12.3f}"
            f"{grown:8.0f}"
        )
        if n == sketches:
            print(
                f"  {sketches} by velko (one thread) vs {theirs} by sourmash: "
                f"{theirs_s / one:.0f}x faster; sketches {part.hashes.nbytes / 2**20:.0f} MiB"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sketches", type=int, default=10_000)
    parser.add_argument("--sourmash-sketches", type=int, default=2_000)
    parser.add_argument("--growth", type=int, nargs="*", default=[2_500, 5_000, 20_000, 40_000])
    parser.add_argument("--skip-sketching", action="store_true")
    parser.add_argument("--skip-compare", action="store_true")
    args = parser.parse_args()
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cores")
    if not args.skip_sketching:
        bench_sketching(args.repeat, args.quick)
    if not args.skip_compare:
        bench_compare(args.repeat, args.quick, args.sketches, args.sourmash_sketches, args.growth)


if __name__ == "__main__":
    main()
