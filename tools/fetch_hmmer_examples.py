"""Real Pfam profiles and proteins for the hmmsearch tests and the annotation example.

Fetches Debian's hmmer-examples package (apt-get download, dpkg -x; nothing is installed) and
writes, into the directory given (default build/hmmer-examples):
  pfam.hmm     eight Pfam profiles with GA/TC/NC lines, each through hmmconvert so that one
               file holds them in one format version
  proteins.fa  real proteins: the tutorial's, the profiles' seed sequences without gaps, and
               each seed with 40, 55 and 70% of its residues replaced (fixed seed), which puts
               hits on both sides of the cutoffs
Needs apt-get, dpkg and hmmconvert (Debian's hmmer). The files are never committed.
"""

from __future__ import annotations

import gzip
import random
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from debian_examples import HMMER_EXAMPLES, PFAM_PROFILES, unpack

SEEDS = [
    "tutorial/fn3.sto",
    "tutorial/Pkinase.sto",
    "testsuite/RRM_1.sto.gz",
    "testsuite/Caudal_act.sto.gz",
    "testsuite/Patched.sto.gz",
]
FASTA = ["tutorial/HBB_HUMAN", "testsuite/PAX8_HUMAN", "tutorial/globins45.fa"]
AMINO = "ACDEFGHIKLMNPQRSTVWY"


def read_text(path: Path) -> str:
    data = path.read_bytes()
    return (gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data).decode()


def seed_sequences(path: Path) -> dict[str, str]:
    parts: dict[str, list[str]] = {}
    for line in read_text(path).splitlines():
        if line.startswith(("#", "//")) or not line.strip():
            continue
        name, text = line.split()[:2]
        parts.setdefault(name.replace("/", "_"), []).append(text)
    return {name: re.sub(r"[^A-Za-z]", "", "".join(p)).upper() for name, p in parts.items()}


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        examples = unpack("hmmer-examples", Path(work)) / HMMER_EXAMPLES
        profiles = []
        for name in PFAM_PROFILES:
            single = Path(work) / "one.hmm"
            single.write_text(read_text(examples / name))
            profiles.append(
                subprocess.run(
                    ["hmmconvert", single], check=True, capture_output=True, text=True
                ).stdout
            )
        (out / "pfam.hmm").write_text("".join(profiles))
        lessless = read_text(examples / "tutorial/7LESS_DROME")
        sevenless = re.sub(r"[^A-Z]", "", lessless.split("\nSQ ")[1].split("\n", 1)[1])
        fasta = [">7LESS_DROME\n" + sevenless + "\n"]
        fasta += [read_text(examples / name).rstrip("\n") + "\n" for name in FASTA]
        rng = random.Random(7)
        for name in SEEDS:
            for seq_id, seq in seed_sequences(examples / name).items():
                if len(seq) < 20:
                    continue
                fasta.append(f">{seq_id}\n{seq}\n")
                for rate in (0.4, 0.55, 0.7):
                    changed = "".join(rng.choice(AMINO) if rng.random() < rate else c for c in seq)
                    fasta.append(f">{seq_id}_m{int(rate * 100)} mutated {rate}\n{changed}\n")
        (out / "proteins.fa").write_text("".join(fasta))


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/hmmer-examples"))
