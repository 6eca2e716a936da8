"""Every shell block of the README and of docs/*.md runs as written.

Short blocks run here against the installed package, in a scratch directory holding the files
they name (the bundled examples and the HMMER test tables under the README's names). Blocks
that install, build or benchmark take minutes: they run only with VELKO_README_LONG=1.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = sorted((ROOT / "docs").glob("*.md"))
LONG_MARKERS = ("pip install", "cmake ", "benchmarks/", "fuzz/", ".ci/", "examples/demo.py")


def shell_blocks():
    found = []
    for document in (README, *DOCS):
        if not document.is_file():
            continue
        text = document.read_text(encoding="utf-8")
        blocks = re.findall(r"^```sh\n(.*?)^```", text, flags=re.S | re.M)
        line_of = [text[: text.index(block)].count("\n") + 1 for block in blocks]
        found += [
            pytest.param(block, id=f"{document.stem}-line{line}")
            for block, line in zip(blocks, line_of)
        ]
    return found


@pytest.fixture
def scratch(tmp_path):
    data = ROOT / "examples" / "data"
    hmmer = ROOT / "tests" / "data" / "hmmer"
    shutil.copytree(data, tmp_path / "genomes")
    shutil.copy(data / "GCF_000005845.2.fna", tmp_path / "genome.fa")
    shutil.copy(hmmer / "search.tblout", tmp_path / "hits.tbl")
    shutil.copy(hmmer / "scan.domtblout", tmp_path / "scan.domtbl")
    (tmp_path / "accessions.tsv").write_text("RS_GCF_000005845.2\tE. coli\nGCA_000008085.1\tx\n")
    # `velko` as the installed script would run it, with this interpreter and its path.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "velko"
    script.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m velko_tools "$@"\n')
    script.chmod(0o755)
    return tmp_path


@pytest.mark.parametrize("block", shell_blocks())
def test_shell_block_runs(block, scratch):
    if any(marker in block for marker in LONG_MARKERS) and not os.environ.get("VELKO_README_LONG"):
        pytest.skip("installs, builds or benchmarks: set VELKO_README_LONG=1 to run it")
    env = dict(os.environ, PATH=f"{scratch / 'bin'}{os.pathsep}{os.environ['PATH']}")
    if "PYTHONPATH" in env:  # a build tree on a relative path still works from the scratch dir
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p
        )
    result = subprocess.run(
        ["bash", "-e", "-o", "pipefail", "-c", block],
        cwd=scratch,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, f"{block}\n{result.stderr}"
