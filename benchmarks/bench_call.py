"""Cost of one call through the boundary: canonical_gid over a million accessions, and
get_kmer_count_seq on one 150-letter read (a short read's whole call, result included).

Run: python3 benchmarks/bench_call.py
"""

import random

from timing import best_of

import velko  # noqa: F401  (publishes the submodules)
from velko.fasta import DnaSequence
from velko.kmer import get_kmer_count_seq
from velko.util.accession import canonical_gid


def python_canonical_gid(gid):
    if gid.startswith("U"):
        return gid
    gid = gid.replace("RS_", "").replace("GB_", "").replace("GCA_", "G").replace("GCF_", "G")
    return gid.split(".", 1)[0]


def accessions(n, seed=7):
    rng = random.Random(seed)
    forms = ["RS_GCF_{:09d}.{}", "GB_GCA_{:09d}.{}", "GCF_{:09d}.{}", "GCA_{:09d}", "UBA{}.{}"]
    return [rng.choice(forms).format(rng.randrange(10**9), rng.randrange(1, 4)) for _ in range(n)]


def main():
    n = 1_000_000
    gids = accessions(n)
    assert [canonical_gid(g) for g in gids[:1000]] == [python_canonical_gid(g) for g in gids[:1000]]
    native = best_of(5, lambda: [canonical_gid(g) for g in gids])
    python = best_of(5, lambda: [python_canonical_gid(g) for g in gids])
    loop = best_of(5, lambda: [g for g in gids])
    print(f"{'canonical_gid, 1M accessions':34} {'ns/call':>8} {'ratio':>7}")
    print(f"{'velko':34} {native / n * 1e9:8.1f} {1.0:7.2f}")
    print(f"{'plain Python (replace/split)':34} {python / n * 1e9:8.1f} {python / native:7.2f}")
    print(f"{'empty loop (floor)':34} {loop / n * 1e9:8.1f} {loop / native:7.2f}")

    rng = random.Random(3)
    read = "".join(rng.choices("ACGT", k=150))
    calls = 200_000

    def each(work):
        # One call after another, each result dropped before the next call, as a loop over
        # reads that keeps what it needs from each does.
        def run():
            for _ in range(calls):
                work()

        return best_of(5, run) / calls * 1e6

    count = each(lambda: get_kmer_count_seq(read, 4, False))
    both = each(lambda: get_kmer_count_seq(read, 4, True))
    rc = each(lambda: DnaSequence(read).rev_complement())
    kept = best_of(5, lambda: [get_kmer_count_seq(read, 4, False) for _ in range(calls)])
    print(f"\n{'one 150-letter read, k=4':34} {'us/call':>8}")
    print(f"{'get_kmer_count_seq':34} {count:8.2f}")
    print(f"{'get_kmer_count_seq, both strands':34} {both:8.2f}")
    print(
        f"{'get_kmer_count_seq, results kept':34} {kept / calls * 1e6:8.2f}"
        "  (each result's 2 KiB of counts is fresh memory)"
    )
    print(f"{'DnaSequence(read).rev_complement()':34} {rc:8.2f}")


if __name__ == "__main__":
    main()
