"""HMMER tables to top hits: velko_tools against Biopython and pandas, and reading top-hit files.

The input is a real hmmsearch --tblout (tests/data/hmmer/search_max.tblout, 662 rows) repeated
with renamed targets up to --rows rows (1 million by default), so that every row is a new gene
and profile pair. Each figure is the best of --repeat runs (benchmarks/timing.py); ratios are
peer time / velko time, so 20.0 means velko is 20 times faster.

- velko_tools: read_hmmer(path) then HitTable.write(out), velko's top-hit file.
- Biopython: SearchIO.parse(path, "hmmer3-tab"), the best hit per (gene, profile) in a dict,
  then the same top-hit file written from Python.
- pandas: read_csv on runs of blanks, sort_values, drop_duplicates, to_csv.
- Reading the 1 M-hit top-hit file written above: HitTable.read against velko's
  TopHitFile.read.

Run: python3 -m pip install ".[bench]" && python3 benchmarks/bench_hmmer.py [--rows N]
"""

import argparse
import gc
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hmmer_tables import DATA, repeat_table  # noqa: E402
from timing import best_of  # noqa: E402

import velko  # noqa: E402,F401  (publishes velko.hmmer.tophit)
from velko.hmmer.tophit import TopHitFile  # noqa: E402
from velko_tools import HitTable, read_hmmer  # noqa: E402

SOURCE = DATA / "search_max.tblout"
HEADER = "Gene Id\tTop hits (Family id,e-value,bitscore)\n"


def velko_tools_run(source, out):
    read_hmmer(source).write(out)


def biopython_run(source, out):
    from Bio import SearchIO

    best = {}
    for query in SearchIO.parse(source, "hmmer3-tab"):
        for hit in query.hits:
            key = (hit.id, query.id)
            stored = best.get(key)
            if (
                stored is None
                or hit.bitscore > stored[1]
                or (hit.bitscore == stored[1] and hit.evalue < stored[0])
            ):
                best[key] = (hit.evalue, hit.bitscore)
    write_tophits_python(best, out)


def write_tophits_python(best, out):
    genes = {}
    for (gene, profile), (e_value, bit_score) in best.items():
        genes.setdefault(gene, []).append((profile, e_value, bit_score))
    with open(out, "w") as handle:
        handle.write(HEADER)
        for gene, hits in genes.items():
            hits.sort(key=lambda hit: (-hit[2], hit[1]))
            handle.write(gene + "\t" + ";".join(f"{p},{e!r},{b!r}" for p, e, b in hits) + "\n")


def pandas_run(source, out):
    import pandas as pd

    # The description may hold blanks; only the four columns kept are parsed as fields.
    frame = pd.read_csv(source, sep=r"\s+", comment="#", header=None, usecols=[0, 2, 4, 5])
    frame.columns = ["gene_id", "hmm_id", "e_value", "bit_score"]
    frame = frame.sort_values(["bit_score", "e_value"], ascending=[False, True])
    frame = frame.drop_duplicates(["gene_id", "hmm_id"])
    frame.to_csv(out, sep="\t", index=False)


def best_cpu(runs, work):
    """The least processor time of `runs` calls: on a machine shared with other work, wall time
    also counts the waits for a core, which this does not."""
    best = float("inf")
    for _ in range(runs):
        start = time.process_time()
        work()
        best = min(best, time.process_time() - start)
    return best


def tophit_file_read(path):
    table = TopHitFile(path)
    table.read()
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--no-biopython", action="store_true", help="leave out Biopython, the slowest column"
    )
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as work_dir:
        work = Path(work_dir)
        source = work / "big.tblout"
        repeat_table(SOURCE, source, args.rows)
        size_mb = source.stat().st_size / 1e6
        print(f"{args.rows:,} rows, {size_mb:.1f} MB of tblout; best of {args.repeat}")

        out = str(work / "velko.tsv")
        gc.collect()
        ours = best_of(args.repeat, lambda: velko_tools_run(str(source), out))
        cpu = best_cpu(args.repeat, lambda: velko_tools_run(str(source), out))
        table = read_hmmer(source)
        print(
            f"{'read_hmmer + write':<28}{ours:8.3f} s  ({len(table):,} hits; "
            f"{cpu:.3f} s of processor time)"
        )
        peers = []
        if not args.no_biopython:
            peers.append(("Biopython SearchIO + dict", biopython_run))
        try:
            import pandas  # noqa: F401

            peers.append(("pandas read_csv + dedup", pandas_run))
        except ImportError:
            print("pandas is not installed: its column is left out")
        for name, run in peers:
            peer_out = str(work / "peer.tsv")
            gc.collect()
            seconds = best_of(args.repeat, lambda: run(str(source), peer_out))
            print(f"{name:<28}{seconds:8.3f} s  {seconds / ours:6.1f}x")

        gc.collect()
        ours_read = best_of(args.repeat, lambda: HitTable.read(out))
        gc.collect()
        theirs_read = best_of(args.repeat, lambda: tophit_file_read(out))
        print(f"{'HitTable.read':<28}{ours_read:8.3f} s")
        print(
            f"{'TopHitFile.read':<28}{theirs_read:8.3f} s  "
            f"(HitTable.read / TopHitFile.read = {ours_read / theirs_read:.2f})"
        )


if __name__ == "__main__":
    main()
