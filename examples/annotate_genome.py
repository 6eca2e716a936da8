"""Annotate a real bacterial genome with Pfam profiles, in-process and through files.

1. Fetches, with apt-get download and dpkg -x (nothing is installed), a complete Klebsiella
   pneumoniae genome from Debian's kleborate-examples and real Pfam profiles (with their
   gathering cutoffs) from hmmer-examples, into a cache directory.
2. Predicts the genome's proteins with pyrodigal.
3. Searches them with pyhmmer.hmmsearch and the profiles' gathering cutoffs, builds the table
   with HitTable.from_pyhmmer (no text in between), keeps the hits whose domains cover at least
   half of the profile, and writes each gene's top hit as velko's top-hit file.
4. When Debian's hmmsearch is installed, runs the same search (hmmsearch --cut_ga) to a
   --domtblout and reads it with `velko tophits --min-hmm-coverage 0.5 --top`, and checks that
   both routes give the same top hits (scores as hmmsearch prints them). The search applies the
   cutoffs itself: some old Pfam profiles have gathering cutoffs below zero bits, which reach
   hits beyond the E-value of 10 that a search without them reports, so `--cut-ga` on the table
   of such a search cannot find them.

Needs: pip install ".[hmmer]" (in velko's source tree); apt-get, dpkg; hmmsearch for step 4.
Run: python3 examples/annotate_genome.py [--cache DIR] [--out DIR]
"""

from __future__ import annotations

import argparse
import lzma
import shutil
import subprocess
import sys
from pathlib import Path

from velko_tools import HitTable

# The real data this example runs on, unpacked from Debian packages as the benchmarks do.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from debian_examples import KLEBSIELLA, PFAM_PROFILES, profile_file, unpack  # noqa: E402

GENOME = f"{KLEBSIELLA}/Klebs_HS11286.fna.xz"
COVERAGE = 0.5


def inputs(cache: Path) -> tuple[Path, Path]:
    """The genome as plain FASTA and the profiles in one HMMER 3 file."""

    genome = cache / "genome.fna"
    if not genome.exists():
        genome.write_bytes(
            lzma.decompress((unpack("kleborate-examples", cache) / GENOME).read_bytes())
        )
    return genome, profile_file(cache, PFAM_PROFILES)


def predict_proteins(genome: Path, out: Path) -> int:
    """Writes the genome's predicted proteins as FASTA; returns their number."""
    import pyrodigal

    records: list[tuple[str, str]] = []
    name: str | None = None
    parts: list[str] = []
    for line in genome.read_text().splitlines():
        if line.startswith(">"):
            if name is not None:
                records.append((name, "".join(parts)))
            name, parts = line[1:].split()[0], []
        else:
            parts.append(line.strip())
    if name is not None:
        records.append((name, "".join(parts)))
    finder = pyrodigal.GeneFinder()
    finder.train(*(seq.encode() for _, seq in records))
    count = 0
    with open(out, "w") as fasta:
        for contig, seq in records:
            for number, gene in enumerate(finder.find_genes(seq.encode()), 1):
                fasta.write(f">{contig}_{number}\n{gene.translate().rstrip('*')}\n")
                count += 1
    return count


def in_process(proteins: Path, profiles: Path) -> HitTable:
    import pyhmmer

    with pyhmmer.plan7.HMMFile(profiles) as hmm_file:
        hmms = list(hmm_file)
    with pyhmmer.easel.SequenceFile(proteins, digital=True) as seq_file:
        sequences = seq_file.read_block()
    found = pyhmmer.hmmsearch(hmms, sequences, bit_cutoffs="gathering")
    return HitTable.from_pyhmmer(found, min_hmm_coverage=COVERAGE).top_hits()


def through_files(proteins: Path, profiles: Path, out: Path) -> HitTable:
    table = out / "search.domtblout"
    subprocess.run(
        [
            "hmmsearch",
            "--noali",
            "--cut_ga",
            "-o",
            "/dev/null",
            "--domtblout",
            table,
            profiles,
            proteins,
        ],
        check=True,
    )
    top = out / "tophits_cli.tsv"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "velko_tools",
            "tophits",
            "--format",
            "domtblout",
            "--min-hmm-coverage",
            str(COVERAGE),
            "--top",
            "-o",
            top,
            table,
        ],
        check=True,
    )
    return HitTable.read(top)


def printed(table: HitTable) -> dict[tuple[str, str], tuple[float, float]]:
    """The hits with scores as hmmsearch prints them: E-values to 2 digits, bits to 0.1."""
    return {
        (gene, hmm): (float(f"{e:.2g}") if e > 1e-300 else 0.0, round(bit, 1))
        for gene, hmm, e, bit in table
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, default=Path("annotate_cache"))
    parser.add_argument("--out", type=Path, default=Path("annotate_out"))
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    args.out.mkdir(parents=True, exist_ok=True)
    genome, profiles = inputs(args.cache)
    proteins = args.out / "proteins.faa"
    print(f"{predict_proteins(genome, proteins):,} proteins predicted in {genome.name}")
    table = in_process(proteins, profiles)
    table.write(args.out / "tophits.tsv")
    print(
        f"{len(table)} genes with a Pfam top hit (gathering cutoffs, profile coverage "
        f">= {COVERAGE}); written to {args.out / 'tophits.tsv'}"
    )
    for gene, hmm, e_value, bit_score in sorted(table, key=lambda hit: -hit[3])[:10]:
        print(f"  {gene:<28} {hmm:<16} {e_value:9.2g} {bit_score:7.1f}")
    if shutil.which("hmmsearch") is None:
        print("hmmsearch is not installed: the route through files is left out")
        return 0
    same = printed(through_files(proteins, profiles, args.out)) == printed(table)
    print(f"hmmsearch --domtblout + velko tophits gives the same top hits: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
