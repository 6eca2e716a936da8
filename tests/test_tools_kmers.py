"""velko_tools.count_kmers against a small per-window model, KmerTable, and every failure."""

import gzip
import itertools
import os
import pickle
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from children import CTRL_C_HANDLER
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velko  # noqa: F401
import velko_tools
from velko.kmer import get_kmer_count_fasta
from velko_tools import FastaFormatError, InvalidBaseError, count_kmers
from velko_tools.counting import count_and_tally

COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


# ---- the model: every window looked at on its own ----------------------------------------


def all_kmers(k):
    return ["".join(p) for p in itertools.product("ACGT", repeat=k)]


def revcomp(kmer):
    return "".join(COMPLEMENT[c] for c in reversed(kmer))


def model_row(seq, k, strands):
    """Counts by k-mer, k-mers counted and k-mers skipped for one record's sequence."""
    counts = dict.fromkeys(all_kmers(k), 0)
    counted = skipped = 0
    for start in range(len(seq) - k + 1):
        window = seq[start : start + k].upper()
        if any(c not in "ACGT" for c in window) or not seq[start : start + k].isascii():
            skipped += 1
            continue
        counted += 1
        if strands == "canonical":
            counts[min(window, revcomp(window))] += 1
        else:
            counts[window] += 1
            if strands == "both":
                counts[revcomp(window)] += 1
    per = 2 if strands == "both" else 1
    if strands == "canonical":
        counts = {kmer: n for kmer, n in counts.items() if kmer <= revcomp(kmer)}
    return counts, counted * per, skipped * per


def parse(text):
    """Records of FASTA text as (id, sequence, [(line number, column) of each byte])."""
    records = []
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.rstrip()
        if line.startswith(">"):
            records.append((re.split(r"\s", line[1:], maxsplit=1)[0], [], []))
        elif records:
            records[-1][1].append(line)
            records[-1][2].extend((number, column) for column in range(1, len(line) + 1))
    return [(rid, "".join(lines), places) for rid, lines, places in records]


def model_table(text, k, strands, per_file):
    rows = []
    for rid, seq, _ in parse(text):
        rows.append((rid, *model_row(seq, k, strands)))
    if per_file:
        merged = {kmer: sum(row[1][kmer] for row in rows) for kmer in rows[0][1]} if rows else None
        return [
            (
                "",
                merged or model_row("", k, strands)[0],
                sum(r[2] for r in rows),
                sum(r[3] for r in rows),
            )
        ]
    return rows


def model_error(text, k):
    for rid, seq, places in parse(text):
        if len(seq.encode()) < k:
            continue
        for i, char in enumerate(seq):
            if char not in "ACGTacgt":
                line, column = places[i]
                # Columns are bytes: the characters before it on its line may be wider.
                line_text = text.split("\n")[line - 1]
                return rid, line, len(line_text[: column - 1].encode()) + 1, char
    return None


def assert_matches_model(table, text, k, strands, per_file):
    expected = model_table(text, k, strands, per_file)
    assert table.counts.shape == (len(expected), len(table.kmers))
    assert table.kmers == list(expected[0][1]) if expected else True
    for i, (rid, counts, counted, skipped) in enumerate(expected):
        if not per_file:
            assert table.ids[i] == rid
        assert table.counts[i].tolist() == list(counts.values())
        assert (int(table.windows[i]), int(table.skipped[i])) == (counted, skipped)


# ---- generated files ----------------------------------------------------------------------

LETTERS = "ACGTacgt"
SEQ = st.text(alphabet=st.sampled_from(list(LETTERS) * 4 + list("NnRY-* ")), max_size=40)
N_RUN = st.integers(1, 30).map(lambda n: "N" * n)


@st.composite
def fasta_texts(draw):
    records = []
    for _ in range(draw(st.integers(0, 5))):
        rid = draw(st.sampled_from(["r1", "r2", "chr1", ""]))
        header = ">" + rid + draw(st.sampled_from(["", " desc", "\tx y"]))
        pieces = draw(st.lists(st.one_of(SEQ, N_RUN), max_size=4))
        seq = "".join(pieces)
        width = draw(st.integers(1, 12))
        lines = [seq[i : i + width] for i in range(0, len(seq), width)]
        lines = [line.rstrip() for line in lines]
        if draw(st.booleans()):
            lines.append("")
        records.append("\n".join([header, *lines]))
    text = "\n".join(records) + ("\n" if records and draw(st.booleans()) else "")
    return text


def write(tmp_path, text, name="g.fa", crlf=False, compress=False):
    data = text.replace("\n", "\r\n") if crlf else text
    data = data.encode()
    if compress:
        data = gzip.compress(data)
        name += ".gz"
    path = tmp_path / name
    path.write_bytes(data)
    return path


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    text=fasta_texts(),
    k=st.integers(1, 4),
    strands=st.sampled_from(["forward", "both", "canonical"]),
    per_file=st.booleans(),
    crlf=st.booleans(),
    compress=st.booleans(),
)
def test_skip_matches_model(tmp_path, text, k, strands, per_file, crlf, compress):
    path = write(tmp_path, text, crlf=crlf, compress=compress)
    table = count_kmers(path, k, strands=strands, invalid="skip", per_file=per_file, threads=1)
    assert_matches_model(table, text, k, strands, per_file)
    assert table.counts.dtype == np.uint64
    assert table.counts.sum(axis=1).tolist() == table.windows.tolist()


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(text=fasta_texts(), k=st.integers(1, 4), crlf=st.booleans())
def test_error_names_first_bad_base(tmp_path, text, k, crlf):
    path = write(tmp_path, text, crlf=crlf)
    expected = model_error(text, k)
    if expected is None:
        table = count_kmers(str(path), k, threads=1)
        assert_matches_model(table, text, k, "forward", False)
        assert not table.skipped.any()
        return
    with pytest.raises(InvalidBaseError) as info:
        count_kmers(str(path), k, threads=1)
    rid, line, column, char = expected
    error = info.value
    assert (error.path, error.record, error.line, error.column, error.char) == (
        str(path),
        rid,
        line,
        column,
        char,
    )


# ---- the same counts as velko ---------------------------------------------------------------


@pytest.mark.parametrize("both", [False, True])
@pytest.mark.parametrize("k", [1, 3, 5])
def test_counts_equal_velko_on_upper_case(tmp_path, k, both):
    import random

    rng = random.Random(k)
    text = "".join(
        f">s{i}\n" + "".join(rng.choice("ACGT") for _ in range(rng.randrange(300))) + "\n"
        for i in range(20)
    )
    path = write(tmp_path, text)
    table = count_kmers(path, k, strands="both" if both else "forward")
    reference = get_kmer_count_fasta(str(path), k, both)
    for i, rid in enumerate(table.ids):
        assert table.counts[i].tolist() == reference[rid].counts
        assert int(table.windows[i]) == reference[rid].total


# ---- the table ----------------------------------------------------------------------------


@pytest.fixture
def two_files(tmp_path):
    a = write(tmp_path, ">x\nACGTN\nacgt\n>y\nAAAA\n", "a.fa")
    b = write(tmp_path, ">z\nGGGGCC\n", "b.fa", compress=True)
    return a, b


def test_table_attributes(two_files):
    a, b = two_files
    table = count_kmers([a, str(b)], 2, invalid="skip")
    assert len(table) == 3
    assert table.ids == ["x", "y", "z"]
    assert table.files == [str(a), str(a), str(b)]
    assert table.k == 2 and table.strands == "forward"
    assert table.kmers == all_kmers(2)
    assert repr(table) == "<KmerTable k=2 strands='forward' shape=(3, 16) files=2>"
    assert table.windows.tolist() == [6, 3, 5]
    assert table.skipped.tolist() == [2, 0, 0]
    # No copy: NumPy views memory the native table owns.
    assert not table.counts.flags.owndata
    frequencies = table.frequencies()
    assert frequencies.dtype == np.float64
    assert np.allclose(frequencies.sum(axis=1), 1.0)


def test_per_file_rows_named_by_path_as_given(two_files):
    a, b = two_files
    table = count_kmers([a, b, a], 2, invalid="skip", per_file=True, threads=2)
    assert table.ids == [str(a), str(b), str(a)]
    assert table.counts[0].tolist() == table.counts[2].tolist()
    assert table.windows.tolist() == [9, 5, 9]


def test_empty_rows_have_zero_frequencies(tmp_path):
    path = write(tmp_path, ">a\n>b\nAC\n")
    table = count_kmers(path, 3)
    assert table.windows.tolist() == [0, 0]
    assert not table.frequencies().any()
    empty = count_kmers(write(tmp_path, "", "e.fa"), 2)
    assert empty.counts.shape == (0, 16) and len(empty) == 0


def test_pickle_and_pandas(two_files):
    a, b = two_files
    table = count_kmers([a, b], 3, strands="canonical", invalid="skip")
    again = pickle.loads(pickle.dumps(table))
    assert again == table and again is not table
    assert repr(again) == repr(table)
    pandas = pytest.importorskip("pandas")
    frame = table.to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.index) == table.ids and frame.index.name == "id"
    assert list(frame.columns) == table.kmers and len(table.kmers) == 32
    assert (frame.to_numpy() == table.counts).all()


def test_equality_and_pickling_see_every_field(tmp_path):
    # The fields are declared on the table's base class: equality and pickling must still walk
    # all of them, the windowed places included, in the constructor's order.
    import dataclasses

    from velko_tools.kmer_labels import KmerLabels

    path = write(tmp_path, ">a\nACGTACGTAC\n>b\nGGGCCCAAAT\n")
    windowed = count_kmers(path, 2, window=4, step=3, layout="dense")
    assert [field.name for field in dataclasses.fields(windowed)][-2:] == ["starts", "ends"]
    back = pickle.loads(pickle.dumps(windowed))
    assert back == windowed and back.starts.tolist() == windowed.starts.tolist()
    changes = {
        "ids": ["x"] * len(windowed),
        "files": ["y"] * len(windowed),
        "k": 3,
        "strands": "both",
        "kmers": KmerLabels(2, canonical=True),
        "counts": windowed.counts + 1,
        "windows": windowed.windows + 1,
        "skipped": windowed.skipped + 1,
        "starts": windowed.starts + 1,
        "ends": None,
    }
    assert set(changes) == {field.name for field in dataclasses.fields(windowed)}
    for name, value in changes.items():
        assert dataclasses.replace(windowed, **{name: value}) != windowed, name


def test_pandas_imported_only_when_asked():
    source = textwrap.dedent("""
        import sys, velko_tools
        assert "pandas" not in sys.modules
        print("ok")
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=60
    )
    assert result.stdout == "ok\n", result.stderr


def test_threads_give_identical_tables(tmp_path):
    import random

    rng = random.Random(7)
    paths = []
    for i in range(9):
        text = "".join(
            f">f{i}r{j}\n" + "".join(rng.choice("ACGTacgtN") for _ in range(500)) + "\n"
            for j in range(rng.randrange(1, 5))
        )
        paths.append(write(tmp_path, text, f"f{i}.fa", compress=i % 3 == 0))
    tables = [count_kmers(paths, 3, invalid="skip", threads=n) for n in (1, 2, 3, 16)]
    for table in tables[1:]:
        assert table == tables[0]


def test_progress_callable_called_on_calling_thread(two_files):
    import threading

    calls = []
    table = count_kmers(
        list(two_files),
        2,
        invalid="skip",
        progress=lambda done, total: calls.append((done, total, threading.get_ident())),
    )
    assert len(table) == 3
    total = sum(os.path.getsize(p) for p in two_files)
    assert calls and calls[-1][:2] == (total, total)
    assert {ident for _, _, ident in calls} == {threading.get_ident()}


def test_progress_bar_on_stderr(two_files, capfd):
    pytest.importorskip("tqdm")
    count_kmers(list(two_files), 2, invalid="skip", progress=True)
    out, err = capfd.readouterr()
    assert out == "" and "counting" in err


def test_error_in_progress_callable_stops_count(two_files):
    def fail(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        count_kmers(list(two_files), 2, invalid="skip", progress=fail)


# ---- failures -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("content", "line", "reason"),
    [
        (b"ACGT\n>r\nAC\n", 1, "Expected > at record start."),
        (b"\n>r\nAC\n", 1, "Expected > at record start."),
        (b"\xef\xbb\xbf>r\nAC\n", 1, "Expected > at record start."),
        (b">r\nAC\nA\xffC\n", 3, "stream did not contain valid UTF-8"),
        (b">r\nAC\n>s\xc3\n", 3, "stream did not contain valid UTF-8"),
        (b"\xff\n", 1, "stream did not contain valid UTF-8"),
    ],
)
@pytest.mark.parametrize("compress", [False, True])
def test_fasta_format_error(tmp_path, capfd, content, line, reason, compress):
    path = tmp_path / "bad.fa"
    path.write_bytes(gzip.compress(content) if compress else content)
    with pytest.raises(FastaFormatError) as info:
        count_kmers(path, 2, invalid="skip")
    error = info.value
    assert (error.path, error.line, error.reason) == (str(path), line, reason)
    assert capfd.readouterr() == ("", "")


def test_invalid_base_fields(tmp_path, capfd):
    path = write(tmp_path, ">a\nACGT\n>chr2 x\nAC\r\nGGéT\n", crlf=True)
    with pytest.raises(InvalidBaseError) as info:
        count_kmers(path, 3)
    error = info.value
    assert (error.record, error.line, error.column, error.char) == ("chr2", 5, 3, "é")
    assert isinstance(error, ValueError) and isinstance(error, velko_tools.VelkoError)
    assert capfd.readouterr() == ("", "")
    # Shorter than k (in bytes: é takes two): no window holds the byte.
    with pytest.raises(InvalidBaseError):
        count_kmers(path, 7)
    assert count_kmers(path, 8).windows.tolist() == [0, 0]


BUFFER = 1 << 18  # the reader's buffer: longer lines arrive in pieces


@pytest.mark.parametrize(
    ("before", "line_text", "column", "char"),
    [
        ("", "A" * (BUFFER + 10) + "N", BUFFER + 11, "N"),
        ("ACGT\n", "C" * (3 * BUFFER) + "n", 3 * BUFFER + 1, "n"),
        # White space inside a line is a byte like any other, even where the buffer ends.
        ("", "G" * (BUFFER - 2) + "   " + "T" * 10 + "N", BUFFER - 1, " "),
        ("", "T" * (BUFFER - 1) + "é" + "A", BUFFER, "é"),
        ("A" * (BUFFER - 3) + "\n", "AN", 2, "N"),
    ],
)
@pytest.mark.parametrize("compress", [False, True])
def test_column_of_bad_base_in_long_lines(tmp_path, before, line_text, column, char, compress):
    text = ">long\n" + before + line_text + "\nACGT\n"
    path = write(tmp_path, text, compress=compress)
    with pytest.raises(InvalidBaseError) as info:
        count_kmers(path, 2)
    line = 2 + before.count("\n")
    assert (info.value.line, info.value.column, info.value.char) == (line, column, char)


def test_first_failing_file_wins_for_any_thread_count(tmp_path):
    good = [write(tmp_path, ">g\n" + "ACGT" * 1000 + "\n", f"g{i}.fa") for i in range(5)]
    bad1 = write(tmp_path, ">b1\nACGTN\n", "b1.fa")
    bad2 = write(tmp_path, ">b2\nNACGT\n", "b2.fa")
    for threads in (1, 2, 4):
        with pytest.raises(InvalidBaseError) as info:
            count_kmers([*good[:3], bad2, *good[3:], bad1], 2, threads=threads)
        assert info.value.record == "b2"


@pytest.mark.parametrize(
    ("make", "kind", "errno_name"),
    [
        (lambda d: d / "missing.fa", FileNotFoundError, "ENOENT"),
        (lambda d: d, IsADirectoryError, "EISDIR"),
    ],
)
def test_os_errors_as_open_raises_them(tmp_path, capfd, make, kind, errno_name):
    import errno

    path = make(tmp_path)
    with pytest.raises(kind) as info:
        count_kmers([path], 2)
    assert info.value.errno == getattr(errno, errno_name)
    assert info.value.filename == str(path)
    with pytest.raises(kind) as expected:
        open(path).read()
    assert str(info.value) == str(expected.value)
    assert capfd.readouterr() == ("", "")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, ">a\nAC\n")
    path.chmod(0)
    with pytest.raises(PermissionError):
        count_kmers(path, 2)


def test_damaged_and_truncated_gzip(tmp_path, capfd):
    data = gzip.compress(b">a\n" + b"ACGT" * 10000 + b"\n")
    damaged = tmp_path / "damaged.fa.gz"
    damaged.write_bytes(data[:20] + bytes(b ^ 0x55 for b in data[20:40]) + data[40:])
    truncated = tmp_path / "truncated.fa.gz"
    truncated.write_bytes(data[: len(data) // 2])
    with pytest.raises(gzip.BadGzipFile) as info:
        count_kmers(damaged, 2)
    assert str(info.value).startswith(f"{damaged}: invalid gzip data")
    with pytest.raises(EOFError) as info:
        count_kmers(truncated, 2)
    assert str(info.value) == (
        f"{truncated}: compressed file ended before the end-of-stream marker was reached"
    )
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    ("kwargs", "kind", "message"),
    [
        ({"k": 0}, ValueError, "k must be between 1 and 32, not 0"),
        ({"k": 33}, ValueError, "k must be between 1 and 32, not 33"),
        ({"k": 2.0}, TypeError, "k must be an int, not float"),
        (
            {"k": 2, "strands": "reverse"},
            ValueError,
            "strands must be 'forward', 'both' or 'canonical', not 'reverse'",
        ),
        (
            {"k": 2, "invalid": "ignore"},
            ValueError,
            "invalid must be 'error' or 'skip', not 'ignore'",
        ),
        ({"k": 2, "threads": 0}, ValueError, "threads must be a positive int or None, not 0"),
        ({"k": 2, "threads": 2**40}, ValueError, "threads must be at most 1024, not 1099511627776"),
        ({"k": 2, "per_file": "no"}, TypeError, "per_file must be a bool, not str"),
    ],
)
def test_argument_errors(two_files, kwargs, kind, message):
    with pytest.raises(kind) as info:
        count_kmers(two_files[0], **kwargs)
    assert str(info.value) == message


def test_nul_in_path(tmp_path):
    with pytest.raises(ValueError) as info:
        count_kmers("a\0b", 2)
    assert str(info.value) == "embedded null byte in path 'a\\x00b'"


def test_ctrl_c_stops_within_a_moment(tmp_path):
    big = tmp_path / "big.fa"
    line = b"ACGTTGCAACGTAGCTAGCTAGGCTAGCTAGCATCGATCGATCGACTAGCTAGCTAGCTAGC\n"
    with open(big, "wb") as out:
        out.write(b">big\n")
        for _ in range(64):
            out.write(line * 16384)
    source = CTRL_C_HANDLER + textwrap.dedent(f"""
        import sys, time, velko_tools
        print("ready", flush=True)
        start = time.perf_counter()
        try:
            velko_tools.count_kmers([{str(big)!r}] * 200, 8, threads=2)
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start, flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.5)
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    stopped = time.perf_counter() - sent
    assert out.startswith("interrupted"), out
    assert child.returncode == 0
    # Generous bound for a loaded machine; a count that ignores the signal takes many seconds.
    assert stopped < 2.0


@pytest.mark.parametrize("layout", ["dense", "sparse"])
@pytest.mark.parametrize("gzipped", [False, True])
def test_tally_reads_records_letters_and_bases_beside_the_counts(tmp_path, layout, gzipped):
    # Lines of every length around the 16-byte blocks, sequences past 255 blocks, both cases,
    # bytes that fold onto no base (N, n, '@' and '`' sit 0x20 from letters), CRs and blanks.
    rng = random.Random(7)
    alphabet = "ACGTacgtNn@`RYrq-*"
    records = [
        ("".join(rng.choice(alphabet) for _ in range(n)))
        for n in (0, 1, 15, 16, 17, 31, 4080, 4096, 9001, 70000)
    ]
    text = "".join(
        f">r{i} d\n" + "\n".join(seq[j : j + w] for j in range(0, len(seq), w)) + "\r\n"
        for i, (seq, w) in enumerate(zip(records, [60, 61, 16, 1, 80, 33] * 2))
    )
    path = tmp_path / ("g.fa.gz" if gzipped else "g.fa")
    path.write_bytes(gzip.compress(text.encode()) if gzipped else text.encode())
    empty = tmp_path / "empty.fa"
    empty.write_bytes(b"")
    table, tallies = count_and_tally(
        [path, empty], 3, invalid="skip", per_file=True, layout=layout, tally=True
    )
    whole = "".join(records)
    upper = whole.upper()
    assert tallies.tolist() == [
        [len(records), len(whole), *(upper.count(b) for b in "ACGT")],
        [0] * 6,
    ]
    assert table == count_kmers([path, empty], 3, invalid="skip", per_file=True, layout=layout)
    assert count_and_tally(path, 3, invalid="skip", layout=layout)[1].tolist() == [[0] * 6]
