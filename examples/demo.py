"""A short tour of velko on the bundled example data in examples/data/.

Run: python3 examples/demo.py  (writes examples/tetranucleotide_profiles.png when matplotlib is
installed: pip install ".[plot]")
"""

import pathlib
import shutil
import tempfile

import velko  # noqa: F401  (publishes the submodules in sys.modules)
from velko.fasta import DnaSequence
from velko.hmmer.tophit import Hit, TopHitFile
from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq, get_possible_kmers
from velko.util.accession import canonical_gid
from velko_tools import InvalidBaseError, count_kmers

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"


def genome_files() -> list[pathlib.Path]:
    return sorted(p for p in DATA.iterdir() if p.name.endswith((".fna", ".fna.gz")))


def genome_name(path: pathlib.Path) -> str:
    return path.name.removesuffix(".gz").removesuffix(".fna")


def tetranucleotide_profiles() -> dict[str, list[float]]:
    """Whole-genome 4-mer frequencies (both strands), one profile per genome."""
    profiles = {}
    for path in genome_files():
        per_contig = get_kmer_count_fasta(str(path), 4, True)
        totals = [0] * 256
        for result in per_contig.values():
            totals = [a + b for a, b in zip(totals, result.counts)]
        windows = sum(totals)
        profiles[canonical_gid(genome_name(path))] = [c / windows for c in totals]
    return profiles


def soft_masked_copy(source: pathlib.Path, target: pathlib.Path) -> pathlib.Path:
    """`source` as assemblies come: repeats in lower case (soft-masked) and a run of N."""
    lines = source.read_text().splitlines()
    for i in range(1, len(lines)):
        if lines[i].startswith(">"):
            continue
        if i % 7 == 0:
            lines[i] = lines[i].lower()
        elif i % 50 == 0:
            lines[i] = "N" * len(lines[i])
    target.write_text("\n".join(lines) + "\n")
    return target


def profile_soft_masked(workdir: pathlib.Path) -> None:
    path = soft_masked_copy(DATA / "GCF_000005845.2.fna", workdir / "soft_masked.fna")
    try:
        count_kmers(path, 4)
    except InvalidBaseError as error:
        print(
            f"strict: {type(error).__name__}: line {error.line}, column {error.column}, "
            f"record {error.record}, {error.char!r}"
        )
    table = count_kmers(path, 4, layout="dense", strands="canonical", invalid="skip")
    print(table)
    for row_id, windows, skipped in zip(table.ids, table.windows, table.skipped):
        print(f"{row_id:28} {int(windows):6} windows counted, {int(skipped):4} skipped (N runs)")
    frequencies = table.frequencies().mean(axis=0)
    top = sorted(zip(frequencies.tolist(), table.kmers), reverse=True)[:3]
    print("most frequent canonical 4-mers:", ", ".join(f"{k} {f:.4f}" for f, k in top))


def plot(profiles: dict[str, list[float]], target: pathlib.Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    kmers = get_possible_kmers(4)
    fig, ax = plt.subplots(figsize=(11, 4))
    for name, profile in profiles.items():
        ax.plot(range(256), profile, label=name, linewidth=1)
    ax.set_xticks(range(0, 256, 16), [kmers[i] for i in range(0, 256, 16)], rotation=90)
    ax.set_xlabel("4-mer (every 16th labelled)")
    ax.set_ylabel("frequency")
    ax.set_title("Tetranucleotide profiles of the example genomes (both strands)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(target, dpi=110)
    plt.close(fig)
    return True


def main() -> None:
    print("== Reverse complement")
    dna = DnaSequence("GATTACA")
    print(f"{dna.seq} -> {dna.rev_complement().seq}")

    print("\n== Canonical genome accessions")
    for path in genome_files():
        print(f"{genome_name(path):22} -> {canonical_gid(genome_name(path))}")

    print("\n== 2-mers of ACGTTT, with the opposite strand")
    result = get_kmer_count_seq("ACGTTT", 2, use_rev_complement=True)
    print({kmer: n for kmer, n in zip(get_possible_kmers(2), result.counts) if n})

    print("\n== Per-contig 4-mer counts of each example genome (one file is gzip-compressed)")
    for path in genome_files():
        per_contig = get_kmer_count_fasta(str(path), 4, False)
        windows = sum(r.total for r in per_contig.values())
        print(f"{path.name:26} {len(per_contig)} contigs, {windows} windows")

    profiles = tetranucleotide_profiles()
    print("\n== GC-rich 4-mer GCGC per genome")
    gcgc = get_possible_kmers(4).index("GCGC")
    for name, profile in profiles.items():
        print(f"{name:12} {profile[gcgc]:.5f}")

    print("\n== Top hits")
    workdir = pathlib.Path(tempfile.mkdtemp())
    try:
        table = TopHitFile(str(workdir / "top_hits.tsv"))
        shutil.copy(DATA / "top_hits.tsv", table.path)
        table.read()
        table.add_hit("GCF_000005845.2_gene1", "PF99999", 1e-30, 999.5)
        top = table.get_top_hit("GCF_000005845.2_gene1")
        print(f"top hit of GCF_000005845.2_gene1: {top!r}")
        print(f"better than a weak hit: {top is not None and top > Hit('g', 'PF1', 1.0, 10.0)}")
        table.write()
        print(f"table written back: {len(pathlib.Path(table.path).read_text().splitlines())} lines")
    finally:
        shutil.rmtree(workdir)

    print("\n== velko_tools: a soft-masked genome with N runs, profiled")
    workdir = pathlib.Path(tempfile.mkdtemp())
    try:
        profile_soft_masked(workdir)
    finally:
        shutil.rmtree(workdir)

    target = HERE / "tetranucleotide_profiles.png"
    if plot(profiles, target):
        print(f"\nplot written to {target}")
    else:
        print('\n(install matplotlib, e.g. pip install ".[plot]", for a plot of the profiles)')


if __name__ == "__main__":
    main()
