"""A short tour of velko on the bundled example data in examples/data/.

Run: python3 examples/demo.py
"""

import velko  # noqa: F401  (publishes the submodules in sys.modules)
from velko.fasta import DnaSequence
from velko.util.accession import canonical_gid


def main() -> None:
    print("== Reverse complement")
    dna = DnaSequence("GATTACA")
    print(f"{dna.seq} -> {dna.rev_complement().seq}")

    print("\n== Canonical genome accessions")
    for gid in ["RS_GCF_000005845.2", "GB_GCA_000008085.1", "UBA12345.1"]:
        print(f"{gid:22} -> {canonical_gid(gid)}")


if __name__ == "__main__":
    main()
