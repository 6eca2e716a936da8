"""Writing k-mer tables: the native row text and the files the writers make."""

import gzip
import os
import textwrap

import numpy as np
import pytest
from children import ADDRESS_LIMIT, run_python
from hypothesis import given
from hypothesis import strategies as st

from velko_tools import KmerTable, TableFormatError, _core
from velko_tools.kmers import KmerLabels
from velko_tools.tables import UnwritableFieldError, write_table


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
    table = KmerTable(
        [f"r{i}" for i in range(37)],
        ['a, "b".fa'] * 20 + ["c.fa"] * 17,
        2,
        "forward",
        [a + b for a in "ACGT" for b in "ACGT"],
        counts,
        counts.sum(axis=1),
        rng.integers(0, 9, 37, dtype=np.uint64),
    )
    path = tmp_path / ("t" + suffix)
    tables.write_table(table, str(path), frequencies=frequencies)
    assert KmerTable.read(path) == table


def test_progress_goes_on_while_writing(tmp_path, capsys):
    from velko_tools import KmerTable, tables

    counts = np.ones((3, 4), dtype=np.uint64)
    table = KmerTable(
        ["a", "b", "c"],
        ["f"] * 3,
        1,
        "forward",
        list("ACGT"),
        counts,
        counts.sum(axis=1),
        np.zeros(3, dtype=np.uint64),
    )
    tables.write_table(table, str(tmp_path / "t.tsv"), progress=True)
    assert "writing" in capsys.readouterr().err


# gzip output: members made natively, by ISA-L where the build has it, zlib always.

DEFLATERS = [
    "zlib",
    pytest.param(
        "isal", marks=pytest.mark.skipif(_core.GZIP_BACKEND != "isal", reason="built without ISA-L")
    ),
]


@pytest.mark.parametrize("deflater", DEFLATERS)
@pytest.mark.parametrize("level", range(1, 10))
def test_gzip_members_read_back_at_every_level(deflater, level):
    import gzip
    import zlib

    rng = np.random.default_rng(level)
    rows = rng.poisson(40, (100, 4096)).astype(np.uint64)
    text = _core.format_rows([f"f.fa\tr{i}\t9\t0" for i in range(100)], rows, 0)
    assert len(text) > 1 << 20  # more than one slice of the encoder's input
    members = [_core.gzip_member(part, level, deflater) for part in (text[:1000], b"", text[1000:])]
    assert gzip.decompress(b"".join(members)) == text
    assert zlib.decompress(members[2], wbits=31) == text[1000:]
    assert _core.gzip_member(text, level, deflater) == _core.gzip_member(text, level, deflater)


@pytest.mark.parametrize(
    ("level", "deflater", "message"),
    [
        (0, None, "gzip level must be from 1 to 9, not 0"),
        (10, None, "gzip level must be from 1 to 9, not 10"),
        (1, "lzma", "deflater must be 'isal', 'zlib' or None"),
    ],
)
def test_gzip_member_refuses(level, deflater, message):
    with pytest.raises(ValueError) as caught:
        _core.gzip_member(b"text", level, deflater)
    assert str(caught.value) == message


def small_table(rows, k=2):
    from velko_tools import KmerTable
    from velko_tools.kmers import KmerLabels

    rng = np.random.default_rng(rows)
    counts = rng.poisson(7, (rows, 4**k)).astype(np.uint64)
    return KmerTable(
        [f"r{i}" for i in range(rows)],
        ["g.fa"] * rows,
        k,
        "forward",
        KmerLabels(k),
        counts,
        counts.sum(axis=1),
        np.zeros(rows, dtype=np.uint64),
    )


@pytest.mark.parametrize(
    ("rows", "k", "level"),
    [(0, 2, 1), (0, 2, 9), (50, 3, 1), (50, 3, 2), (50, 3, 5), (50, 3, 9), (1, 11, 1), (1, 11, 9)],
    ids=["empty-1", "empty-9", "rows-1", "rows-2", "rows-5", "rows-9", "huge row-1", "huge row-9"],
)
def test_gzip_tables_hold_the_plain_text(tmp_path, rows, k, level):
    import gzip
    import shutil
    import subprocess

    import pandas as pd

    from velko_tools import KmerTable, tables

    table = small_table(rows, k)
    plain, packed = tmp_path / "t.tsv", tmp_path / "t.tsv.gz"
    tables.write_table(table, str(plain))
    tables.write_table(table, str(packed), compress_level=level)
    text = plain.read_bytes()
    if rows:
        # A row of 4^11 counts is text beyond one chunk, written as one member of its own.
        assert k < 11 or len(text) > tables.CHUNK_BYTES
    assert gzip.decompress(packed.read_bytes()) == text
    if shutil.which("gzip"):
        assert (
            subprocess.run(
                ["gzip", "-dc", str(packed)], capture_output=True, check=True, timeout=120
            ).stdout
            == text
        )
    if k < 11:  # (the readers parse a huge row slowly, and the text is the same)
        assert KmerTable.read(packed) == table
        pd.testing.assert_frame_equal(pd.read_csv(packed, sep="\t"), pd.read_csv(plain, sep="\t"))


def test_a_failed_member_leaves_the_previous_file(tmp_path, monkeypatch):
    from velko_tools import tables

    target = tmp_path / "t.tsv.gz"
    tables.write_table(small_table(3), str(target))
    before = target.read_bytes()
    made = []

    def refusing(text, level):
        if made:
            raise MemoryError("refused")
        made.append(text)
        return _core.gzip_member(text, level)

    monkeypatch.setattr(tables, "CHUNK_BYTES", 100)
    monkeypatch.setattr(tables._core, "gzip_member", refusing)
    with pytest.raises(MemoryError):
        tables.write_table(small_table(40), str(target))
    assert target.read_bytes() == before
    assert [path.name for path in tmp_path.iterdir()] == ["t.tsv.gz"]


@pytest.mark.parametrize("canonical", [False, True])
@pytest.mark.parametrize("k", [1, 2, 3, 6])
def test_header_labels_iterate_as_indexed(k, canonical):
    # Headers iterate the labels, which are made from halves there: the order is the index's.
    from velko_tools.kmers import KmerLabels

    labels = KmerLabels(k, canonical)
    assert list(labels) == [labels[i] for i in range(len(labels))]


@pytest.mark.parametrize("deflater", DEFLATERS)
def test_gzip_output_that_cannot_fit_is_refused(deflater):
    import textwrap

    from children import ADDRESS_LIMIT, refusal, run_python

    # 256 MiB of text with 64 MiB to spare: the member's room is refused before it is taken.
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import _core
        text = b"12\\t" * ((256 << 20) // 3)
        limit_address_space(64 << 20)
        try:
            _core.gzip_member(text, 1, {deflater!r})
        except MemoryError as error:
            print(error)
    """)
    assert refusal(run_python(source)).group("what") == "the gzip text of one chunk of rows"


# Names that break a row or a field where they are not quoted or kept whole.
AWKWARD_IDS = ["a\rb", "c\nd", 'q"x', "e,f", "g\u2028h", "i\x0bj", " lead", "trail\0\0"]


@pytest.mark.parametrize("suffix", [".csv", ".npz"])
def test_awkward_ids_come_back_whole(tmp_path, suffix):
    ids = AWKWARD_IDS if suffix == ".npz" else AWKWARD_IDS[:-1]
    counts = np.arange(len(ids) * 4, dtype=np.uint64).reshape(-1, 4)
    table = KmerTable(
        ids,
        ["x\r.fa"] * len(ids),
        1,
        "forward",
        list("ACGT"),
        counts,
        counts.sum(axis=1, dtype=np.uint64),
        np.zeros(len(ids), np.uint64),
    )
    write_table(table, str(tmp_path / f"t{suffix}"))
    assert KmerTable.read(tmp_path / f"t{suffix}") == table
    if suffix == ".csv":
        pd = pytest.importorskip("pandas")
        frame = pd.read_csv(tmp_path / "t.csv", keep_default_na=False)
        assert frame["id"].tolist() == ids
        with pytest.raises(UnwritableFieldError, match="holds a NUL"):
            write_table(
                KmerTable(
                    ["n\0"],
                    ["f"],
                    1,
                    "forward",
                    list("ACGT"),
                    counts[:1],
                    counts[:1, 0],
                    counts[:1, 0],
                ),
                str(tmp_path / "n.csv"),
            )


@pytest.mark.parametrize("suffix", [".tsv", ".csv", ".tsv.gz"])
def test_a_table_cut_short_names_the_file_and_line(tmp_path, suffix):
    counts = np.arange(3 * 16, dtype=np.uint64).reshape(3, 16)
    table = KmerTable(
        ["r0", "r1", "r2"],
        ["f"] * 3,
        2,
        "forward",
        KmerLabels(2),
        counts,
        counts.sum(axis=1, dtype=np.uint64),
        np.zeros(3, np.uint64),
    )
    whole = tmp_path / f"whole{suffix}"
    write_table(table, str(whole))
    text = (gzip.decompress if suffix == ".tsv.gz" else bytes)(whole.read_bytes())
    sep = b"\t" if suffix != ".csv" else b","
    header_end = text.index(b"\n")
    cuts = {  # where the text is cut: the line named and the reason
        header_end - 3: (1, "the header is cut short or holds a column that is not a k-mer"),
        text.rindex(sep, 0, header_end): (
            1,
            "the header is cut short or holds a column that is not a k-mer",
        ),
        len(text) - 5: (4, "the last row is cut short (it has no line end)"),
    }
    for cut, (line, reason) in cuts.items():
        piece = text[:cut]
        target = tmp_path / f"cut{suffix}"
        target.write_bytes(gzip.compress(piece) if suffix == ".tsv.gz" else piece)
        with pytest.raises(TableFormatError) as caught:
            KmerTable.read(target)
        assert (caught.value.path, caught.value.line, caught.value.reason) == (
            str(target),
            line,
            reason,
        )
    bad_rows = {
        text.replace(b"\n", b"\n" + sep.join([b"f", b"r9", b"1"]) + b"\n", 1): (
            2,
            "the row has 3 fields, not 20",
        ),
        text.replace(sep + b"47\n", sep + b"x\n"): (
            4,
            "a cell of windows, skipped or a count is not a number",
        ),
        text.replace(sep + b"47\n", sep + b"-47\n"): (
            4,
            "a cell of windows, skipped or a count is not a number",
        ),
    }
    for piece, (line, reason) in bad_rows.items():
        target = tmp_path / f"bad{suffix}"
        target.write_bytes(gzip.compress(piece) if suffix == ".tsv.gz" else piece)
        with pytest.raises(TableFormatError) as caught:
            KmerTable.read(target)
        assert (caught.value.line, caught.value.reason) == (line, reason)


def _genome(tmp_path, seed=3, records=2, length=3000):
    rng = np.random.default_rng(seed)
    path = tmp_path / "g.fa"
    path.write_bytes(
        b"".join(
            b">r%d\n" % i
            + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, length)].tobytes()
            + b"\n"
            for i in range(records)
        )
    )
    return path


@pytest.mark.parametrize("k", [1, 4, 9, 10, 12])
@pytest.mark.parametrize("suffix", [".tsv", ".tsv.gz", ".csv", ".npz", ".parquet"])
def test_dense_tables_read_back_every_format_they_write(tmp_path, k, suffix):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    if k == 12 and suffix not in (".npz", ".parquet"):
        pytest.skip("a text table of 16.7 M columns reads back in a child (the test below)")
    from velko_tools import count_kmers

    path = _genome(tmp_path, records=1 if k >= 9 else 2)
    for strands in ("forward", "canonical"):
        table = count_kmers(path, k, strands=strands, layout="dense")
        table.write(tmp_path / f"t{suffix}")
        assert KmerTable.read(tmp_path / f"t{suffix}") == table
    if k in (4, 10):
        table.write(tmp_path / f"f{suffix}", frequencies=True)
        assert KmerTable.read(tmp_path / f"f{suffix}") == table


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize("suffix", [".tsv", ".tsv.gz", ".csv"])
def test_text_tables_of_k_12_read_back_in_bounded_memory(tmp_path, suffix):
    # A row of 16.7 M counts is one line of 50 MB after a header of 218 MB; each label and cell
    # was a Python string (a minute and 2.5 GB). Both the header and a row are parsed whole.
    path = _genome(tmp_path, records=2)
    target = tmp_path / f"t{suffix}"
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import KmerTable, count_kmers
        from velko_tools.kmers import KmerLabels
        limit_address_space(1500 << 20)
        for strands in ("forward", "canonical"):
            table = count_kmers({str(path)!r}, 12, strands=strands, layout="dense")
            table.write({str(target)!r})
            back = KmerTable.read({str(target)!r})
            assert back == table and isinstance(back.kmers, KmerLabels), strands
            print(back.strands, back.counts.shape)
    """)
    result = run_python(source, timeout=600)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    assert result.stdout.splitlines() == ["forward (2, 16777216)", "canonical (2, 8390656)"]


def test_parquet_keeps_narrow_tables_in_columns_and_wide_ones_in_a_list(tmp_path):
    pyarrow = pytest.importorskip("pyarrow.parquet")
    from velko_tools import count_kmers

    path = _genome(tmp_path)
    narrow, wide = (count_kmers(path, k, layout="dense") for k in (6, 7))
    narrow.write(tmp_path / "n.parquet")
    wide.write(tmp_path / "w.parquet", frequencies=True)
    assert pyarrow.read_schema(tmp_path / "n.parquet").names == [
        "file",
        "id",
        "windows",
        "skipped",
        *narrow.kmers,
    ]
    columns = pyarrow.read_table(tmp_path / "w.parquet")
    assert columns.column_names == ["file", "id", "windows", "skipped", "frequencies"]
    assert np.allclose(columns.column("frequencies").to_pylist(), wide.frequencies())
