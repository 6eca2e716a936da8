"""Makes the real profile-search tables under tests/data/hmmer/ (run by hand, needs HMMER 3).

The tests read these outputs and never run HMMER themselves. Every input comes from Debian's
`hmmer-examples` package (the examples HMMER 3.3.2 ships, under /usr/share/doc/hmmer/examples):

- profiles: tutorial/globins4.hmm (no accession, so its accession column reads "-"),
  tutorial/fn3.hmm, tutorial/Pkinase.hmm, and the Pfam profiles of testsuite/: RRM_1,
  Caudal_act, LuxC, SMC_N, Patched, XYPPX and 2OG-FeII_Oxy_3 (protein models only);
- sequences: tutorial/globins45.fa (45 globins, no descriptions), tutorial/HBB_HUMAN,
  testsuite/PAX8_HUMAN (descriptions holding spaces), tutorial/7LESS_DROME (a UniProt entry with
  many fn3 repeats, converted to FASTA here), and members of the seed alignments
  tutorial/Pkinase.sto, tutorial/fn3.sto and testsuite/{RRM_1,Caudal_act,LuxC,SMC_N,Patched}.sto.gz,
  gaps removed, every few members so that the files stay small.

The profiles are brought to one file format version with hmmconvert.

Outputs (hmmsearch and hmmscan of HMMER 3.3.2, Debian package `hmmer`, default thresholds):
  search.tblout, search.domtblout   hmmsearch profiles.hmm proteins.fa
  scan.tblout, scan.domtblout       hmmscan profiles.hmm proteins.fa (after hmmpress)
  search_max.tblout, search_max.domtblout
                                    hmmsearch --max -E 100 --domE 100: weak hits too, so that
                                    most proteins hit several profiles
  search_z.tblout                   hmmsearch -Z 1000: same bit scores, larger E-values
  globins.tblout, others.tblout     hmmsearch split by profile: two files that merge into one
  proteins.fa                       the sequence database the searches ran on

Run: python3 tools/make_hmmer_data.py [--examples DIR] [--out tests/data/hmmer]
"""

import argparse
import gzip
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

PROTEIN_PROFILES = [
    "tutorial/globins4.hmm",
    "tutorial/fn3.hmm",
    "tutorial/Pkinase.hmm",
    "testsuite/RRM_1.hmm.gz",
    "testsuite/Caudal_act.hmm.gz",
    "testsuite/LuxC.hmm.gz",
    "testsuite/SMC_N.hmm.gz",
    "testsuite/Patched.hmm.gz",
    "testsuite/XYPPX.hmm",
    "testsuite/2OG-FeII_Oxy_3.hmm.gz",
]
# Seed alignment, take every n-th member, description given to those members.
ALIGNMENTS = [
    ("tutorial/Pkinase.sto", 8, "Pkinase seed member"),
    ("tutorial/fn3.sto", 6, "fn3 seed member"),
    ("testsuite/RRM_1.sto.gz", 10, "RRM_1 seed member"),
    ("testsuite/Caudal_act.sto.gz", 3, "Caudal_act seed member"),
    ("testsuite/LuxC.sto.gz", 3, "LuxC seed member"),
    ("testsuite/SMC_N.sto.gz", 12, "SMC_N seed member"),
    ("testsuite/Patched.sto.gz", 4, "Patched seed member"),
]


def read_text(path):
    opener = gzip.open if path.suffix == ".gz" else open
    with opener(path, "rt") as handle:
        return handle.read()


def stockholm_members(text):
    """(name, ungapped sequence) of each member of a Stockholm alignment, in order."""
    order, parts = [], {}
    for line in text.splitlines():
        if not line.strip() or line.startswith("#") or line.startswith("//"):
            continue
        name, residues = line.split()
        if name not in parts:
            order.append(name)
            parts[name] = []
        parts[name].append(residues)
    return [
        (name, "".join(parts[name]).replace(".", "").replace("-", "").upper()) for name in order
    ]


def uniprot_to_fasta(text):
    """The ID and sequence of a UniProt flat-file entry as one FASTA record."""
    name = next(line.split()[1] for line in text.splitlines() if line.startswith("ID "))
    description = next(line[5:].strip() for line in text.splitlines() if line.startswith("DE "))
    seq_lines = text.split("\nSQ ", 1)[1].split("\n", 1)[1].split("//")[0]
    residues = "".join(seq_lines.split())
    return f">{name} {description}\n{wrap(residues)}"


def wrap(residues, width=60):
    return "\n".join(residues[i : i + width] for i in range(0, len(residues), width)) + "\n"


def build_proteins(examples):
    records = [
        read_text(examples / "tutorial/globins45.fa"),
        read_text(examples / "tutorial/HBB_HUMAN"),
        read_text(examples / "testsuite/PAX8_HUMAN"),
        uniprot_to_fasta(read_text(examples / "tutorial/7LESS_DROME")),
    ]
    for relative, step, description in ALIGNMENTS:
        members = stockholm_members(read_text(examples / relative))
        for name, residues in members[::step]:
            records.append(f">{name} {description}\n{wrap(residues)}")
    return "".join(text if text.endswith("\n") else text + "\n" for text in records)


def current_format(profile_text, work):
    """The profile in the format version of the installed HMMER (hmmconvert)."""
    source = work / "one.hmm"
    source.write_text(profile_text)
    return subprocess.run(
        ["hmmconvert", source.name], cwd=work, check=True, stdout=subprocess.PIPE, text=True
    ).stdout


def run(*args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--examples", type=Path, default=Path("/usr/share/doc/hmmer/examples"))
    parser.add_argument(
        "--out", type=Path, default=Path(__file__).resolve().parent.parent / "tests/data/hmmer"
    )
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    with tempfile.TemporaryDirectory() as work_dir:
        work = Path(work_dir)
        (work / "proteins.fa").write_text(build_proteins(args.examples))
        # The profiles come in two file format versions, which one file cannot mix.
        profiles = [current_format(read_text(args.examples / p), work) for p in PROTEIN_PROFILES]
        (work / "profiles.hmm").write_text("".join(profiles))
        (work / "globins.hmm").write_text(profiles[0])
        (work / "others.hmm").write_text("".join(profiles[1:]))
        run("hmmpress", "profiles.hmm", cwd=work)
        run(
            "hmmsearch",
            "--tblout",
            "search.tblout",
            "--domtblout",
            "search.domtblout",
            "profiles.hmm",
            "proteins.fa",
            cwd=work,
        )
        run(
            "hmmscan",
            "--tblout",
            "scan.tblout",
            "--domtblout",
            "scan.domtblout",
            "profiles.hmm",
            "proteins.fa",
            cwd=work,
        )
        run(
            "hmmsearch",
            "--max",
            "-E",
            "100",
            "--domE",
            "100",
            "--tblout",
            "search_max.tblout",
            "--domtblout",
            "search_max.domtblout",
            "profiles.hmm",
            "proteins.fa",
            cwd=work,
        )
        run(
            "hmmsearch",
            "-Z",
            "1000",
            "--tblout",
            "search_z.tblout",
            "profiles.hmm",
            "proteins.fa",
            cwd=work,
        )
        run("hmmsearch", "--tblout", "globins.tblout", "globins.hmm", "proteins.fa", cwd=work)
        run("hmmsearch", "--tblout", "others.tblout", "others.hmm", "proteins.fa", cwd=work)
        for name in [
            "search.tblout",
            "search.domtblout",
            "scan.tblout",
            "scan.domtblout",
            "search_z.tblout",
            "search_max.tblout",
            "search_max.domtblout",
            "globins.tblout",
            "others.tblout",
            "proteins.fa",
        ]:
            shutil.copyfile(work / name, args.out / name)
    for path in sorted(args.out.iterdir()):
        print(f"{os.path.getsize(path):>8}  {path}")


if __name__ == "__main__":
    main()
