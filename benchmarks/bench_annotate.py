"""Annotation thresholds on a large domtblout: velko_tools against the fastest pandas code.

The input is a real hmmsearch --domtblout (tests/data/hmmer/search_max.domtblout) repeated with
renamed targets up to --rows rows (1 million by default), and a HMMER 3 profile file giving each
of its profiles a GA line (the median full-sequence and domain scores, so about half the rows
pass) and its length. Each figure is the best of --repeat runs (benchmarks/timing.py); the ratio
is pandas time / velko time.

- read_hmmer: the table alone (the best hit per gene and profile).
- read_hmmer + GA + coverage: gathering cutoffs and both coverage filters (0.3 each).
- pandas: read_csv of the ten columns needed, the cutoffs merged in, both thresholds, the
  union of the kept domains' intervals per gene and profile (sort, running maximum), both
  coverage filters, then the best hit per pair; checked to give the same table.
- Peak memory of the filtered read and of the plain read, each in a fresh child process
  (VmHWM, which starts anew at exec where ru_maxrss would carry the parent's), above the
  interpreter with velko_tools imported; per kept hit, whole and beside the text of its gene
  and profile names.
- from_pyhmmer against the pyhmmer search it follows (gathering cutoffs), when pyhmmer and the
  real profiles and proteins of tools/fetch_hmmer_examples.py (build/hmmer-examples) are there.

Run: python3 benchmarks/bench_annotate.py [--rows N] [--repeat R] [--peak-rows N,N,...]
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hmmer_tables import DATA, repeat_table  # noqa: E402
from timing import best_of  # noqa: E402

from velko_tools import HitTable, read_hmmer  # noqa: E402

SOURCE = DATA / "search_max.domtblout"
COVERAGE = 0.3


def make_inputs(table_path, hmm_path, rows):
    data = repeat_table(SOURCE, table_path, rows)
    profiles = {}
    for line in data:
        fields = line.split()
        profiles.setdefault(fields[3], (int(fields[5]), [], []))
        profiles[fields[3]][1].append(float(fields[7]))
        profiles[fields[3]][2].append(float(fields[13]))
    with open(hmm_path, "w") as out:
        for name, (length, seq, dom) in profiles.items():
            out.write(
                f"HMMER3/f [3.3.2 | Nov 2020]\nNAME  {name}\nLENG  {length}\n"
                f"GA    {np.median(seq):.2f} {np.median(dom):.2f};\nHMM\n//\n"
            )
    return {
        name: (float(np.median(s)), float(np.median(d))) for name, (_, s, d) in profiles.items()
    }


def velko_run(table_path, hmm_path):
    return read_hmmer(
        table_path,
        format="domtblout",
        cutoff="gathering",
        hmm_file=hmm_path,
        min_hmm_coverage=COVERAGE,
        min_gene_coverage=COVERAGE,
    )


def union_lengths(frame, start, end, group):
    """The length of the union of [start, end] per group, rows sorted by group then start."""
    import pandas as pd

    ends = frame[end].to_numpy()
    starts = frame[start].to_numpy()
    # The furthest end before each row within its group (0 at a group's first row).
    prev = (
        frame.groupby(group, sort=False)[end]
        .cummax()
        .groupby(frame[group])
        .shift(fill_value=0)
        .to_numpy()
    )
    gained = np.maximum(0, ends - np.maximum(starts - 1, prev))
    return pd.Series(gained, index=frame.index).groupby(frame[group], sort=False).sum()


def pandas_run(table_path, cutoffs):
    import pandas as pd

    frame = pd.read_csv(
        table_path,
        sep=r"\s+",
        comment="#",
        header=None,
        usecols=[0, 2, 3, 5, 6, 7, 13, 15, 16, 17, 18],
    )
    frame.columns = [
        "gene_id",
        "tlen",
        "hmm_id",
        "qlen",
        "e_value",
        "bit_score",
        "dom_score",
        "hmm_from",
        "hmm_to",
        "ali_from",
        "ali_to",
    ]
    ga = pd.DataFrame(
        [(name, seq, dom) for name, (seq, dom) in cutoffs.items()],
        columns=["hmm_id", "ga_seq", "ga_dom"],
    )
    frame = frame.merge(ga, on="hmm_id")
    frame = frame[(frame.bit_score >= frame.ga_seq) & (frame.dom_score >= frame.ga_dom)]
    frame = frame.assign(pair=frame.gene_id + "\0" + frame.hmm_id)
    on_hmm = union_lengths(frame.sort_values(["pair", "hmm_from"]), "hmm_from", "hmm_to", "pair")
    on_gene = union_lengths(frame.sort_values(["pair", "ali_from"]), "ali_from", "ali_to", "pair")
    best = frame.sort_values(["bit_score", "e_value"], ascending=[False, True]).drop_duplicates(
        "pair"
    )
    best = best.set_index("pair")
    keep = (on_hmm[best.index] / best.qlen >= COVERAGE) & (
        on_gene[best.index] / best.tlen >= COVERAGE
    )
    return best[keep.to_numpy()][["gene_id", "hmm_id", "e_value", "bit_score"]]


PEAK = """
import sys
from velko_tools import read_hmmer

def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

if sys.argv[3] == "import":
    print(0, peak(), 0)
else:
    options = dict(cutoff="gathering", hmm_file=sys.argv[2], min_hmm_coverage={cov},
                   min_gene_coverage={cov}) if sys.argv[3] == "filtered" else {{}}
    table = read_hmmer(sys.argv[1], format="domtblout", **options)
    high = peak()
    names = sum(len(gene.encode()) + len(hmm.encode()) for gene, hmm, _, _ in table)
    print(len(table), high, names)
"""


EXAMPLES = Path(__file__).resolve().parent.parent / "build" / "hmmer-examples"


def pyhmmer_share(repeat):
    try:
        import pyhmmer
    except ImportError:
        print("pyhmmer is not installed: from_pyhmmer is left out")
        return
    if not (EXAMPLES / "pfam.hmm").exists():
        print("no build/hmmer-examples (tools/fetch_hmmer_examples.py): from_pyhmmer is left out")
        return
    with pyhmmer.plan7.HMMFile(EXAMPLES / "pfam.hmm") as hmm_file:
        profiles = list(hmm_file)
    with pyhmmer.easel.SequenceFile(EXAMPLES / "proteins.fa", digital=True) as seq_file:
        proteins = seq_file.read_block()
    found = []
    search = best_of(
        repeat,
        lambda: found.__setitem__(
            slice(None), pyhmmer.hmmsearch(profiles, proteins, cpus=1, bit_cutoffs="gathering")
        ),
    )
    build = best_of(repeat, lambda: HitTable.from_pyhmmer(found, min_hmm_coverage=COVERAGE))
    hits = sum(len(top.reported) for top in found)
    print(f"{'pyhmmer.hmmsearch':<32}{search:8.3f} s  ({hits} reported hits)")
    print(
        f"{'HitTable.from_pyhmmer':<32}{build:8.4f} s  ({100 * build / search:.2f}% of the search)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--peak-rows",
        type=lambda text: [int(n) for n in text.split(",")],
        default=[],
        help="more row counts whose peak memory to measure, comma-separated",
    )
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work_dir:
        table_path = Path(work_dir) / "big.domtblout"
        hmm_path = Path(work_dir) / "profiles.hmm"
        cutoffs = make_inputs(table_path, hmm_path, args.rows)
        print(
            f"{args.rows:,} rows, {table_path.stat().st_size / 1e6:.1f} MB of domtblout; "
            f"best of {args.repeat}"
        )
        plain = best_of(args.repeat, lambda: read_hmmer(table_path, format="domtblout"))
        print(f"{'read_hmmer':<32}{plain:8.3f} s")
        ours = best_of(args.repeat, lambda: velko_run(table_path, hmm_path))
        table = velko_run(table_path, hmm_path)
        print(f"{'read_hmmer + GA + coverage':<32}{ours:8.3f} s  ({len(table):,} hits)")
        try:
            import pandas  # noqa: F401
        except ImportError:
            print("pandas is not installed: its row is left out")
        else:
            theirs = best_of(args.repeat, lambda: pandas_run(table_path, cutoffs))
            frame = pandas_run(table_path, cutoffs)
            same = HitTable(frame.itertuples(index=False, name=None)) == table
            print(
                f"{'pandas, same filters':<32}{theirs:8.3f} s  {theirs / ours:6.1f}x"
                f"  (same table: {same})"
            )
        pyhmmer_share(args.repeat)
        peak_memory(args.rows, table_path, hmm_path)
    for rows in args.peak_rows:
        peak_memory(rows, None, None)


def peak_memory(rows, table_path, hmm_path):
    """Prints the peak memory of the plain and the filtered read of `rows` rows, each in a
    fresh child; the inputs are made anew unless `table_path` holds them."""
    with tempfile.TemporaryDirectory() as work_dir:
        if table_path is None:
            table_path = Path(work_dir) / "big.domtblout"
            hmm_path = Path(work_dir) / "profiles.hmm"
            make_inputs(table_path, hmm_path, rows)
        peaks = {}
        for kind in ("import", "plain", "filtered"):
            child = subprocess.run(
                [sys.executable, "-c", PEAK.format(cov=COVERAGE), table_path, hmm_path, kind],
                capture_output=True,
                text=True,
                check=True,
            )
            peaks[kind] = tuple(map(int, child.stdout.split()))
    for kind in ("plain", "filtered"):
        hits, peak, names = peaks[kind]
        above = peak - peaks["import"][1]
        print(
            f"{rows:,} rows, peak memory of the {kind} read: {above / 1e6:.1f} MB above "
            f"import, {above / rows:.0f} bytes per row read, {hits:,} hits kept: "
            f"{above / hits:.0f} bytes per hit, {(above - names) / hits:.0f} beside the "
            f"text of its names"
        )


if __name__ == "__main__":
    main()
