"""Real data from Debian's example packages, unpacked without installing anything (apt-get
download, dpkg -x): HMMER's example Pfam profiles and Kleborate's genomes, for the benchmarks,
the examples and the generators of test data. Needs apt-get and dpkg."""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

#: Where hmmer-examples keeps HMMER's examples.
HMMER_EXAMPLES = "usr/share/doc/hmmer/examples"
#: Pfam profiles among them that hold GA, TC and NC lines.
PFAM_PROFILES = [
    "tutorial/fn3.hmm",
    "tutorial/Pkinase.hmm",
    "testsuite/RRM_1.hmm.gz",
    "testsuite/SMC_N.hmm.gz",
    "testsuite/Caudal_act.hmm.gz",
    "testsuite/Patched.hmm.gz",
    "testsuite/LuxC.hmm.gz",
    "testsuite/2OG-FeII_Oxy_3.hmm.gz",
]
#: Where kleborate-examples keeps its genomes (.fna.xz).
KLEBSIELLA = "usr/share/doc/kleborate/examples/data"


def unpack(package: str, cache: Path) -> Path:
    """The files of Debian package `package`, extracted once under `cache` and found there
    from then on."""
    root = cache / package
    if not root.exists():
        with tempfile.TemporaryDirectory(dir=cache) as scratch:
            subprocess.run(
                ["apt-get", "download", package], cwd=scratch, check=True, capture_output=True
            )
            deb = next(Path(scratch).glob(f"{package}_*.deb"))
            subprocess.run(["dpkg", "-x", deb, Path(scratch) / "root"], check=True)
            (Path(scratch) / "root").rename(root)
    return root


def profile_file(cache: Path, names: list[str]) -> Path:
    """One HMMER 3 file under `cache` holding the profiles `names` of HMMER's examples, written
    by pyhmmer once and found there from then on."""
    import pyhmmer

    profiles = cache / f"pfam-{len(names)}.hmm"
    if not profiles.exists():
        examples = unpack("hmmer-examples", cache) / HMMER_EXAMPLES
        partial = profiles.with_suffix(".partial")
        with open(partial, "wb") as out:
            for name in names:
                with pyhmmer.plan7.HMMFile(examples / name) as hmm_file:
                    for hmm in hmm_file:
                        hmm.write(out)
        partial.rename(profiles)
    return profiles
