"""Top-hit table: filling, top hits, writing and reading, against plain Python and pandas.

A table of 1 million hits (about 250,000 genes with 1 to 10 profiles each, protein and
profile identifiers shaped like real ones), from a fixed seed. Each figure is the best of
--repeat runs; ratios are peer time / velko time, so 4.0 means velko is 4 times faster.

Run: python3 benchmarks/bench_tophit.py            (pandas column needs the `bench` extra)
     python3 benchmarks/bench_tophit.py --scale 5  (also checks that add_hit stays flat to 5 M)
"""

import argparse
import csv
import gc
import os
import pathlib
import random
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_of  # noqa: E402

import velko  # noqa: E402,F401  (publishes the submodules)
from velko.hmmer.tophit import TopHitFile  # noqa: E402

try:
    import pandas as pd  # noqa: E402
except ImportError:  # the plain-Python comparison still runs
    pd = None

HEADER = ["Gene Id", "Top hits (Family id,e-value,bitscore)"]
# Profiles per gene, 1 to 10, about 4 on average.
PROFILE_WEIGHTS = [18, 16, 15, 14, 11, 9, 7, 5, 3, 2]


def make_hits(n_hits, seed=11, prefix=""):
    """n_hits (gene, profile, e-value, bit score) tuples in random order."""
    rng = random.Random(seed)
    profiles = [f"PF{i:05d}.{rng.randrange(10, 35)}" for i in range(12_000)]
    profiles += [f"TIGR{i:05d}" for i in range(4_000)]
    hits = []
    gene_no = 0
    while len(hits) < n_hits:
        genome = rng.randrange(10**6)
        gene = f"{prefix}NZ_{'ABCDEFGHJK'[genome % 10]}{genome:06d}.1_{gene_no}"
        gene_no += 1
        count = rng.choices(range(1, 11), PROFILE_WEIGHTS)[0]
        for profile in rng.sample(profiles, count):
            e_val = 10 ** rng.uniform(-60, 1)
            bit_score = round(rng.uniform(10, 900), 1)
            hits.append((gene, profile, e_val, bit_score))
    del hits[n_hits:]
    rng.shuffle(hits)
    return hits


# Plain Python: a dict of dicts holding (e-value, bit score), the same replacement rule.


def py_fill(hits):
    table = {}
    for gene, profile, e_val, bit_score in hits:
        by_profile = table.get(gene)
        if by_profile is None:
            table[gene] = {profile: (e_val, bit_score)}
            continue
        stored = by_profile.get(profile)
        if (
            stored is None
            or stored[1] < bit_score
            or (stored[1] == bit_score and stored[0] > e_val)
        ):
            by_profile[profile] = (e_val, bit_score)
    return table


def py_top_hit(table, gene):
    by_profile = table.get(gene)
    if by_profile is None:
        return None
    best = None
    for profile, (e_val, bit_score) in by_profile.items():
        if best is None or not (best[2] > bit_score or (best[2] == bit_score and best[1] < e_val)):
            best = (profile, e_val, bit_score)
    return (gene, *best)


def py_write(table, path):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle, delimiter="\t", lineterminator="\n")
        writer.writerow(HEADER)
        for gene, by_profile in table.items():
            ordered = sorted(by_profile.items(), key=lambda item: (-item[1][1], item[1][0]))
            writer.writerow([gene, ";".join(f"{p},{e!r},{b!r}" for p, (e, b) in ordered)])


def py_read(path):
    table = {}
    with open(path, newline="") as handle:
        reader = csv.reader(handle, delimiter="\t")
        next(reader)
        for row in reader:
            gene = row[0]
            by_profile = table.setdefault(gene, {})
            for piece in row[1].split(";"):
                profile, e_text, b_text = piece.split(",")[:3]
                e_val, bit_score = float(e_text), float(b_text)
                stored = by_profile.get(profile)
                if (
                    stored is None
                    or stored[1] < bit_score
                    or (stored[1] == bit_score and stored[0] > e_val)
                ):
                    by_profile[profile] = (e_val, bit_score)
    return table


# pandas: one frame of hits; best per pair by sort_values + drop_duplicates.

COLUMNS = ["gene", "profile", "e_val", "bit_score"]


def pd_fill(hits):
    frame = pd.DataFrame(hits, columns=COLUMNS)
    frame = frame.sort_values(["bit_score", "e_val"], ascending=[False, True], kind="stable")
    return frame.drop_duplicates(["gene", "profile"])


def pd_top_hits(frame):
    # frame is already best first; the first row of each gene is its top hit.
    return frame.drop_duplicates("gene").set_index("gene")


def pd_write(frame, path):
    short = frame["profile"] + "," + frame["e_val"].map(repr) + "," + frame["bit_score"].map(repr)
    lines = short.groupby(frame["gene"], sort=False).agg(";".join)
    lines.rename_axis(HEADER[0]).rename(HEADER[1]).to_csv(path, sep="\t", header=True)


def pd_read(path):
    lines = pd.read_csv(
        path,
        sep="\t",
        usecols=[0, 1],
        names=["gene", "hits"],
        skiprows=1,
        dtype=str,
        keep_default_na=False,
    )
    pieces = lines.assign(hits=lines["hits"].str.split(";")).explode("hits")
    fields = pieces["hits"].str.split(",", expand=True)
    frame = pd.DataFrame(
        {
            "gene": pieces["gene"].to_numpy(),
            "profile": fields[0].to_numpy(),
            "e_val": fields[1].astype(float).to_numpy(),
            "bit_score": fields[2].astype(float).to_numpy(),
        }
    )
    frame = frame.sort_values(["bit_score", "e_val"], ascending=[False, True], kind="stable")
    return frame.drop_duplicates(["gene", "profile"])


def velko_fill(hits, path="unused.tsv"):
    table = TopHitFile(path)
    add = table.add_hit
    for gene, profile, e_val, bit_score in hits:
        add(gene, profile, e_val, bit_score)
    return table


def row(label, seconds, unit_scale, unit, base=None, size=None):
    figure = f"{seconds * unit_scale:10.1f} {unit:<8}"
    if size is not None:
        figure += f" {size / seconds / 1e6:8.1f} MB/s"
    else:
        figure += " " * 14
    ratio = f"{seconds / base:7.2f}x" if base else "       -"
    print(f"  {label:34}{figure} {ratio}")


def check_same_table(table, reference, genes):
    # The peers and velko must agree before their times mean anything.
    for gene in genes:
        top = table.get_top_hit(gene)
        ref = py_top_hit(reference, gene)
        assert (top.hmm_id, top.e_val, top.bit_score) == ref[1:], gene


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hits", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scale", type=int, default=1, help="fill up to this many times --hits")
    args = parser.parse_args()
    n, runs = args.hits, args.repeat

    hits = make_hits(n)
    genes = list(dict.fromkeys(gene for gene, _, _, _ in hits))
    print(f"top-hit table: {n:,} hits, {len(genes):,} genes, best of {runs} runs")
    print(f"  {'':34}{'time':>10} {'':8} {'speed':>13} {'ratio':>8}")
    per_million = 1e6 / n

    # Filling from a Python loop.
    t_fill = best_of(runs, lambda: velko_fill(hits))
    t_py_fill = best_of(runs, lambda: py_fill(hits))
    print("fill (add_hit from a Python loop), s per million hits")
    row("velko add_hit", t_fill, per_million, "s")
    row("plain Python dict of dicts", t_py_fill, per_million, "s", t_fill)
    if pd:
        t_pd_fill = best_of(runs, lambda: pd_fill(hits))
        row("pandas DataFrame+sort+dedup", t_pd_fill, per_million, "s", t_fill)

    table = velko_fill(hits)
    reference = py_fill(hits)
    check_same_table(table, reference, genes[:: max(1, len(genes) // 5000)])

    # Top hit of every gene.
    top = table.get_top_hit
    t_top = best_of(runs, lambda: [top(g) for g in genes])
    t_py_top = best_of(runs, lambda: [py_top_hit(reference, g) for g in genes])
    t_loop = best_of(runs, lambda: [g for g in genes])
    per_call = 1e9 / len(genes)
    print("get_top_hit over every gene, ns per gene")
    row("velko get_top_hit", t_top, per_call, "ns")
    row("plain Python scan", t_py_top, per_call, "ns", t_top)
    if pd:
        frame = pd_fill(hits)
        t_pd_top = best_of(runs, lambda: pd_top_hits(frame))
        row("pandas drop_duplicates (bulk)", t_pd_top, per_call, "ns", t_top)
    row("empty loop over genes (floor)", t_loop, per_call, "ns", t_top)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "top.tsv")
        table = velko_fill(hits, path)
        t_write = best_of(runs, table.write)
        size = os.path.getsize(path)
        py_path, pd_path = os.path.join(tmp, "py.tsv"), os.path.join(tmp, "pd.tsv")
        t_py_write = best_of(runs, lambda: py_write(reference, py_path))
        print(f"write, s per million hits ({size / 1e6:.1f} MB file)")
        row("velko write", t_write, per_million, "s", None, size)
        row("plain Python csv", t_py_write, per_million, "s", t_write, os.path.getsize(py_path))
        if pd:
            t_pd_write = best_of(runs, lambda: pd_write(frame, pd_path))
            row(
                "pandas groupby+join+to_csv",
                t_pd_write,
                per_million,
                "s",
                t_write,
                os.path.getsize(pd_path),
            )

        def velko_read():
            TopHitFile(path).read()

        t_read = best_of(runs, velko_read)
        back = TopHitFile(path)
        back.read()
        check_same_table(back, reference, genes[:: max(1, len(genes) // 5000)])
        t_py_read = best_of(runs, lambda: py_read(py_path))
        print("read into a new table, s per million hits")
        row("velko read", t_read, per_million, "s", None, size)
        row("plain Python csv", t_py_read, per_million, "s", t_read, os.path.getsize(py_path))
        if pd:
            t_pd_read = best_of(runs, lambda: pd_read(pd_path))
            row(
                "pandas read_csv+split+dedup",
                t_pd_read,
                per_million,
                "s",
                t_read,
                os.path.getsize(pd_path),
            )

    if args.scale > 1:
        # One growing table, one batch of n new genes' hits after another: the time per batch
        # should not climb as the table grows.
        print(f"add_hit per batch of {n:,} hits into one growing table, s per million hits")
        del table, back, reference
        grown = TopHitFile("unused.tsv")
        add = grown.add_hit
        for batch in range(args.scale):
            batch_hits = make_hits(n, seed=100 + batch, prefix=f"b{batch}_")
            gc.collect()
            start = time.perf_counter()
            for gene, profile, e_val, bit_score in batch_hits:
                add(gene, profile, e_val, bit_score)
            seconds = time.perf_counter() - start
            row(f"hits {batch * n:,} to {(batch + 1) * n:,}", seconds, per_million, "s")
            del batch_hits
    if pd is None:
        print("(pandas not installed: pip install '.[bench]' for its column)")


if __name__ == "__main__":
    main()
