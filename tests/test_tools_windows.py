"""Counts in windows along records (count_kmers(window=, step=)), dense and sparse: each row
equals the count of its window cut out by hand, placed by starts and ends, in every format."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from children import ADDRESS_LIMIT, refusal
from hypothesis import given, settings
from hypothesis import strategies as st

from velko_tools import InvalidBaseError, KmerTable, SparseKmerTable, count_kmers, tetra_zscores


def places(length, width, step):
    """Where the windows of a record of `length` lie: every step while they fit, one more to the
    end when the last falls short of it, one over a record shorter than the window."""
    if length <= width:
        return [(0, length)]
    spans = [(start, start + width) for start in range(0, length - width + 1, step)]
    if spans[-1][1] < length:
        spans.append((length - width, length))
    return spans


def cut_by_hand(records, width, step, write_file):
    """The windows as records of their own in one FASTA file, and their places."""
    lines, expected = [], []
    for name, seq in records:
        for start, end in places(len(seq), width, step):
            lines.append(f">{name}\n{seq[start:end]}\n")
            expected.append((name, start, end))
    return write_file("".join(lines) or ""), expected


@pytest.mark.parametrize("layout", ["dense", "sparse"])
@settings(max_examples=30, deadline=None)
@given(
    records=st.lists(st.text(alphabet="ACGTacgtN", max_size=80), min_size=1, max_size=4),
    width=st.integers(1, 30),
    step=st.integers(1, 40),
    k=st.integers(1, 5),
)
def test_windows_equal_the_windows_cut_out(tmp_path_factory, layout, records, width, step, k):
    folder = tmp_path_factory.mktemp("w")
    counter = iter(range(100))

    def write_file(text):
        path = folder / f"f{next(counter)}.fa"
        path.write_text(text)
        return str(path)

    named = [(f"r{i}", seq) for i, seq in enumerate(records)]
    source = write_file("".join(f">{name} x\n{seq[:33]}\n{seq[33:]}\n" for name, seq in named))
    cut, expected = cut_by_hand(named, width, step, write_file)
    options = dict(strands="canonical", invalid="skip", layout=layout)
    table = count_kmers(source, k, window=width, step=step, **options)
    by_hand = count_kmers(cut, k, **options)
    assert table.ids == [name for name, _, _ in expected]
    assert table.starts.tolist() == [start for _, start, _ in expected]
    assert table.ends.tolist() == [end for _, _, end in expected]
    assert table.starts.dtype == np.uint64
    np.testing.assert_array_equal(table.windows, by_hand.windows)
    np.testing.assert_array_equal(table.skipped, by_hand.skipped)
    if layout == "dense":
        np.testing.assert_array_equal(table.counts, by_hand.counts)
    else:
        np.testing.assert_array_equal(table.indptr, by_hand.indptr)
        np.testing.assert_array_equal(table.codes, by_hand.codes)
        np.testing.assert_array_equal(table.counts, by_hand.counts)


def test_windows_of_long_records_and_many_files(write_file):
    """Records longer than a stretch of the reader, several files on threads, the default step
    (windows side by side) and the dense table's sparse twin."""
    rng = np.random.default_rng(7)
    seqs = ["".join(rng.choice(list("ACGTN"), size=n, p=[0.24] * 4 + [0.04])) for n in (250_000, 7)]
    paths = [write_file(f">big\n{seqs[0]}\n"), write_file(f">small\n{seqs[1]}\n>none\n")]
    table = count_kmers(paths, 6, invalid="skip", window=50_000, threads=2, layout="dense")
    assert table.starts.tolist() == [0, 50_000, 100_000, 150_000, 200_000, 0, 0]
    assert table.ends.tolist() == [50_000, 100_000, 150_000, 200_000, 250_000, 7, 0]
    assert table.files == [paths[0]] * 5 + [paths[1]] * 2
    third = count_kmers(write_file(f">big\n{seqs[0][100_000:150_000]}\n"), 6, invalid="skip")
    np.testing.assert_array_equal(table.counts[2], third.counts[0])
    sparse = count_kmers(paths, 6, invalid="skip", window=50_000, layout="sparse")
    assert sparse.to_dense() == table


def test_a_bad_base_fails_as_without_windows(write_file):
    path = write_file(">ok\nACGTACGT\n>bad\nACGTAC\nGTNACG\n>short\nAN\n")
    with pytest.raises(InvalidBaseError) as unwindowed:
        count_kmers(path, 3)
    for layout in ("dense", "sparse"):
        with pytest.raises(InvalidBaseError) as windowed:
            count_kmers(path, 3, window=4, step=2, layout=layout)
        assert str(windowed.value) == str(unwindowed.value)
        assert (windowed.value.line, windowed.value.column) == (5, 3)
    # a record shorter than k holds no window, so its N does not fail
    table = count_kmers(write_file(">short\nAN\n>ok\nACGTA\n"), 3, window=4, layout="dense")
    assert table.ids == ["short", "ok", "ok"] and table.ends.tolist() == [2, 4, 5]


@pytest.mark.parametrize(
    ("options", "text"),
    [
        (
            {"window": 10, "per_file": True},
            "window gives rows along each record; per_file and total cannot be set too",
        ),
        (
            {"window": 10, "total": True},
            "window gives rows along each record; per_file and total cannot be set too",
        ),
        ({"step": 5}, "step is the distance between windows: give window too"),
        ({"window": 0}, "window must be a positive int below 2**64, not 0"),
        ({"window": 5, "step": 2.5}, "step must be a positive int below 2**64, not 2.5"),
    ],
)
def test_window_refusals(write_file, options, text):
    with pytest.raises(ValueError) as raised:
        count_kmers(write_file(">a\nACGT\n"), 2, **options)
    assert str(raised.value) == text


@pytest.mark.parametrize("fmt", ["tsv", "csv", "tsv.gz", "npz", "parquet"])
@pytest.mark.parametrize("k", [2, 7])  # k = 7: Parquet keeps the counts in lists
def test_dense_formats_keep_the_places(write_file, tmp_path, fmt, k):
    path = write_file(">a\nACGTACGTTTGACNNACGTAGGGATCCA\n>b\nACG\n")
    table = count_kmers(path, k, window=10, step=7, invalid="skip", layout="dense")
    target = tmp_path / f"t.{fmt}"
    table.write(target)
    read = KmerTable.read(target)
    assert read == table
    assert read.starts.tolist() == [0, 7, 14, 18, 0] and read.ends.tolist() == [10, 17, 24, 28, 3]
    if fmt == "tsv":
        head = target.read_text().splitlines()[:2]
        assert head[0].startswith("file\tid\twindows\tskipped\tstart\tend\t")
        assert head[1].startswith(f"{path}\ta\t")
        assert head[1].split("\t")[4:6] == ["0", "10"]
    # an unwindowed table keeps no place columns, and reads back without places
    plain = count_kmers(path, k, invalid="skip", layout="dense")
    plain.write(tmp_path / f"p.{fmt}")
    assert KmerTable.read(tmp_path / f"p.{fmt}").starts is None


@pytest.mark.parametrize("fmt", ["npz", "parquet"])
def test_sparse_formats_keep_the_places(write_file, tmp_path, fmt):
    path = write_file(">a\nACGTACGTTTGACNNACGTAGGGATCCA\n>b\nACG\n")
    table = count_kmers(path, 3, window=10, step=7, invalid="skip", layout="sparse")
    table.write(tmp_path / f"s.{fmt}")
    assert SparseKmerTable.read(tmp_path / f"s.{fmt}") == table
    if fmt == "parquet":
        import pyarrow.parquet

        long = pyarrow.parquet.read_table(tmp_path / "s.parquet").to_pandas()
        first = long[long["code"] == table.codes[0]].iloc[0]
        assert (first["start"], first["end"]) == (0, 10)


def test_features_of_windows(write_file):
    """Features are per row, so a windowed table gives one per window (a genomic island shows
    as a window far from its record's others)."""
    table = count_kmers(
        write_file(">a\n" + "ACGT" * 50 + "GGGCCC" * 30 + "\n"),
        4,
        strands="canonical",
        window=100,
        layout="dense",
    )
    frequencies = table.features("frequency")
    assert frequencies.shape == (len(table), 136)
    np.testing.assert_allclose(frequencies.sum(axis=1), 1)
    near = table.neighbours(top=1)
    assert near["query_id"].tolist() == ["a"] * len(table)


def test_zscores_of_windows_equal_those_of_the_windows_cut_out(write_file):
    rng = np.random.default_rng(3)
    seq = "".join(rng.choice(list("ACGTacgtN"), size=5000))
    path = write_file(f">a\n{seq}\n>b\nACGTTGCA\n")
    windows = tetra_zscores(path, per_file=False, window=1200, step=1000)
    cut, expected = cut_by_hand([("a", seq), ("b", "ACGTTGCA")], 1200, 1000, write_file)
    by_hand = tetra_zscores(cut, per_file=False)
    assert windows.ids == [name for name, _, _ in expected]
    assert list(zip(windows.starts.tolist(), windows.ends.tolist())) == [
        (start, end) for _, start, end in expected
    ]
    np.testing.assert_array_equal(windows.zscores, by_hand.zscores)
    with pytest.raises(ValueError, match="pass per_file=False"):
        tetra_zscores(path, window=1000)


def test_command_line_windows(write_file, tmp_path):
    from velko_tools.cli import main

    path = write_file(">a\nACGTACGTTTGACNNACGTAGGGATCCA\n")
    out = tmp_path / "w.tsv"
    assert main(
        [
            "kmers",
            "-k",
            "2",
            "--skip-invalid",
            "--window",
            "10",
            "--step",
            "7",
            "-o",
            str(out),
            path,
        ]
    ) in (0, None)
    read = KmerTable.read(out)
    assert read == count_kmers(path, 2, invalid="skip", window=10, step=7, layout="dense")
    assert read.ends.tolist() == [10, 17, 24, 28]


@pytest.mark.parametrize(
    "call",
    ["count_kmers(path, 4, window=WIDE)", "tetra_zscores(path, window=WIDE, per_file=False)"],
)
def test_a_window_wider_than_memory_is_refused(tmp_path, call):
    """A window holds its bytes until it is whole: one wider than what the process may take is
    refused with MemoryError, in a child under an address-space limit, rather than killing it."""
    path = tmp_path / "long.fa"
    with open(path, "wb") as out:
        out.write(b">long\n" + b"ACGT" * (60 << 20) + b"\n")  # 240 MB, one record
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        import sys
        from velko_tools import count_kmers, tetra_zscores
        path, WIDE = {str(path)!r}, 1 << 40
        limit_address_space(160 << 20)
        try:
            {call}
        except MemoryError as error:
            print(error)
            sys.exit(0)
        sys.exit("no MemoryError")
        """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert refusal(result)["what"] == "windows along records"
