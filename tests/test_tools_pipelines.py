"""velko_tools in pipelines: one bad genome among good ones, in a thread pool and on Dask."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from velko_tools import InvalidBaseError

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def genomes(tmp_path):
    import gzip
    import random

    rng = random.Random(3)
    for name in ("a", "b", "c"):
        seq = "".join(rng.choice("ACGTacgt") for _ in range(5000))
        (tmp_path / f"{name}.fa").write_text(f">{name}1\n{seq[:2500]}\n>{name}2\n{seq[2500:]}\n")
    (tmp_path / "d.fa.gz").write_bytes(gzip.compress(b">d1\nACGTACGT\n"))
    # The bad genome: an N on line 4, column 5.
    (tmp_path / "bad.fa").write_text(">ok\nACGTACGT\n>chrN\nACGTNACGT\n")
    return tmp_path


def run_example(*args, timeout):
    if not (EXAMPLES / "many_genomes.py").is_file():
        pytest.skip("needs a source checkout")
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "many_genomes.py"), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def expected_failure_line(genomes):
    path = genomes / "bad.fa"
    return (
        f"bad.fa                           failed: InvalidBaseError: {path}:4:5: "
        "invalid base 'N' in record 'chrN'"
    )


def test_thread_pool_reports_bad_genome_and_profiles_others(genomes):
    result = run_example(str(genomes), "--threads", "2", "--strict", timeout=120)
    # The other genomes are profiled, and the exit status still tells that one failed.
    assert result.returncode == 1, result.stderr
    lines = result.stdout.splitlines()
    assert expected_failure_line(genomes) in lines
    assert sum("most frequent canonical 4-mer" in line for line in lines) == 4
    assert lines[-1].startswith("5 files in ") and lines[-1].endswith(", 1 failed")


def test_dask_cluster_returns_errors_whole(genomes):
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("dask.distributed is not installed")
    if os.environ.get("VELKO_SANITIZED"):
        pytest.skip("worker processes would carry the preloaded sanitizer runtime into Dask")
    # Two worker processes; the timeout turns a hang into a failure.
    source = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(EXAMPLES)!r})
        import many_genomes
        paths = sorted(str(p) for p in __import__("pathlib").Path({str(genomes)!r}).iterdir())
        profiles, failures = many_genomes.with_dask(paths, 2, None, strict=True)
        error = failures[{str(genomes / "bad.fa")!r}]
        print(type(error).__module__, type(error).__name__, error.path, error.record,
              error.line, error.column, error.char)
        print(len(profiles), sorted(t.counts.shape for t in profiles.values()))
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=180
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-2] == f"velko_tools.errors InvalidBaseError {genomes / 'bad.fa'} chrN 4 5 N"
    assert lines[-1] == "4 [(1, 136), (1, 136), (1, 136), (1, 136)]"


def test_same_error_in_process(genomes):
    sys.path.insert(0, str(EXAMPLES))
    try:
        import many_genomes
    finally:
        sys.path.remove(str(EXAMPLES))
    with pytest.raises(InvalidBaseError):
        many_genomes.genome_profile(str(genomes / "bad.fa"), strict=True)
    table = many_genomes.genome_profile(str(genomes / "bad.fa"))
    assert table.skipped.tolist() == [4] and table.windows.tolist() == [5 + 2]
