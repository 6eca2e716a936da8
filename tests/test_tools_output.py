"""Writing k-mer tables: the native row text and the files the writers make."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velko_tools import _core


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=50))
def test_float_rows_read_as_repr(values):
    # Frequencies are written as Python writes them, so text files stay readable by anything
    # that reads Python's floats and round trip exactly.
    rows = np.array(values, dtype=np.float64).reshape(1, -1)
    text = _core.format_rows(["r"], rows, 0).decode()
    assert text == "r\t" + "\t".join(map(repr, values)) + "\n"


@pytest.mark.parametrize(
    ("prefixes", "start", "expected"),
    [
        (["a", "b"], 0, b"a\t0\t1\t18446744073709551615\nb\t5\t10\t100\n"),
        (["b"], 1, b"b\t5\t10\t100\n"),
        ([], 2, b""),
    ],
)
def test_count_rows(prefixes, start, expected):
    counts = np.array([[0, 1, 2**64 - 1], [5, 10, 100]], dtype=np.uint64)
    assert _core.format_rows(prefixes, counts, start) == expected


@pytest.mark.parametrize(("count", "start"), [(3, 0), (1, 2), (0, 3)])
def test_rows_beyond_the_array_are_refused(count, start):
    counts = np.zeros((2, 4), dtype=np.uint64)
    with pytest.raises(IndexError):
        _core.format_rows(["x"] * count, counts, start)


@pytest.mark.parametrize("frequencies", [False, True], ids=["counts", "frequencies"])
@pytest.mark.parametrize("suffix", [".tsv", ".tsv.gz", ".csv", ".npz"])
def test_tables_written_in_many_chunks_read_back(tmp_path, monkeypatch, suffix, frequencies):
    from velko_tools import KmerTable, tables

    # Chunks of a row or two, so that rows meet chunk ends everywhere.
    monkeypatch.setattr(tables, "CHUNK_BYTES", 100)
    rng = np.random.default_rng(3)
    counts = rng.integers(0, 1 << 40, (37, 16), dtype=np.uint64)
    counts[5] = 0  # a row without windows stays 0 as frequencies
    table = KmerTable([f"r{i}" for i in range(37)], ["a, \"b\".fa"] * 20 + ["c.fa"] * 17, 2,
                      "forward", [a + b for a in "ACGT" for b in "ACGT"], counts,
                      counts.sum(axis=1), rng.integers(0, 9, 37, dtype=np.uint64))
    path = tmp_path / ("t" + suffix)
    tables.write_table(table, str(path), frequencies=frequencies)
    assert KmerTable.read(path) == table


def test_progress_goes_on_while_writing(tmp_path, capsys):
    from velko_tools import KmerTable, tables

    counts = np.ones((3, 4), dtype=np.uint64)
    table = KmerTable(["a", "b", "c"], ["f"] * 3, 1, "forward", list("ACGT"), counts,
                      counts.sum(axis=1), np.zeros(3, dtype=np.uint64))
    tables.write_table(table, str(tmp_path / "t.tsv"), progress=True)
    assert "writing" in capsys.readouterr().err
