"""Sparse k-mer counts (count_kmers(layout="sparse"), SparseKmerTable) against a Counter over
windows, against the dense table, and through their files."""

import collections
import importlib.util
import os
import pickle
import random
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from children import ADDRESS_LIMIT, assert_interrupted
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velko_tools import (
    InvalidBaseError,
    KmerSpectrum,
    KmerTable,
    SparseKmerTable,
    TableFormatError,
    count_kmers,
)
from velko_tools.cli import main

COMPLEMENT = str.maketrans("ACGT", "TGCA")


def model(seq, k, strands):
    """Counter of k-mer text, k-mers counted and k-mers skipped, one window of bytes at a time
    (a letter of several bytes is as many bad bytes)."""
    counts = collections.Counter()
    counted = skipped = 0
    data = seq.encode()
    for start in range(len(data) - k + 1):
        window = data[start : start + k].upper().decode("latin-1")
        if window.strip("ACGT"):
            skipped += 1
            continue
        counted += 1
        reverse = window.translate(COMPLEMENT)[::-1]
        if strands == "canonical":
            counts[min(window, reverse)] += 1
        else:
            counts[window] += 1
            if strands == "both":
                counts[reverse] += 1
    per = 2 if strands == "both" else 1
    return counts, counted * per, skipped * per


def row_counts(table, row):
    start, stop = int(table.indptr[row]), int(table.indptr[row + 1])
    return dict(zip(table.kmers(table.codes[start:stop]), table.counts[start:stop].tolist()))


def fasta(records, width=60):
    return "".join(
        f">{name} description\n"
        + "".join(seq[i : i + width] + "\n" for i in range(0, len(seq), width))
        for name, seq in records
    )


def generated_records(seed):
    """Records with soft-masked stretches, N runs, other bytes, short and empty ones."""
    rng = random.Random(seed)
    records = []
    for i in range(12):
        letters = []
        for _ in range(rng.choice([0, 1, 3, 20, 40])):
            piece = "".join(rng.choice("ACGT") for _ in range(rng.randint(1, 90)))
            kind = rng.random()
            if kind < 0.2:
                piece = piece.lower()
            elif kind < 0.3:
                piece = "N" * rng.randint(1, 40)
            elif kind < 0.35:
                piece = rng.choice(["-", "R", "é", "x"])
            letters.append(piece)
        records.append((f"r{i}", "".join(letters)))
    records.append(("short", "ACG"))
    return records


@pytest.mark.parametrize("k", [1, 2, 15, 16, 17, 31, 32])
@pytest.mark.parametrize("strands", ["forward", "both", "canonical"])
def test_rows_match_a_counter_over_windows(write_file, k, strands):
    records = generated_records(k)
    path = write_file(fasta(records))
    table = count_kmers(path, k, strands=strands, invalid="skip", layout="sparse")
    assert table.ids == [name for name, _ in records]
    for row, (_, seq) in enumerate(records):
        counts, counted, skipped = model(seq, k, strands)
        assert row_counts(table, row) == counts
        assert (table.windows[row], table.skipped[row]) == (counted, skipped)
        codes = table.codes[table.indptr[row] : table.indptr[row + 1]]
        assert np.all(np.diff(codes.astype(np.float64)) > 0) or len(codes) < 2

    whole = count_kmers(
        [path, path],
        k,
        strands=strands,
        invalid="skip",
        layout="sparse",
        per_file=True,
        min_count=3,
    )
    models = [model(seq, k, strands) for _, seq in records]
    counts = sum((counts for counts, _, _ in models), collections.Counter())
    assert whole.ids == [path, path]
    assert (
        row_counts(whole, 0)
        == row_counts(whole, 1)
        == {kmer: n for kmer, n in counts.items() if n >= 3}
    )
    assert whole.windows.tolist() == [sum(counted for _, counted, _ in models)] * 2
    assert whole.skipped.tolist() == [sum(skipped for _, _, skipped in models)] * 2

    # One row over both files: min_count applies to the sum, so k-mers seen twice in each
    # file stay.
    total = count_kmers(
        [path, path], k, strands=strands, invalid="skip", layout="sparse", total=True, min_count=3
    )
    assert (total.ids, total.files) == (["total"], [""])
    assert row_counts(total, 0) == {kmer: 2 * n for kmer, n in counts.items() if 2 * n >= 3}
    assert total.windows.tolist() == [2 * int(whole.windows[0])]


@pytest.mark.parametrize("k", [1, 3, 6, 8])
@given(
    seqs=st.lists(st.text("ACGTacgtN", max_size=70), min_size=1, max_size=4),
    strands=st.sampled_from(["forward", "both", "canonical"]),
)
@settings(
    max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
def test_sparse_equals_dense(write_file, k, seqs, strands):
    path = write_file(fasta([(f"s{i}", s) for i, s in enumerate(seqs)]))
    for per_file in (False, True):
        options = {"strands": strands, "invalid": "skip", "per_file": per_file}
        sparse = count_kmers(path, k, layout="sparse", **options)
        assert sparse.to_dense() == count_kmers(path, k, layout="dense", **options)
        assert int(sparse.spectrum() @ np.arange(len(sparse.spectrum()))) == sparse.windows.sum()
    total = {"strands": strands, "invalid": "skip", "total": True, "min_count": 2}
    assert count_kmers([path, path], k, layout="sparse", **total).to_dense() == count_kmers(
        [path, path], k, layout="dense", **total
    )


@pytest.mark.parametrize(
    ("text", "k"),
    [(">a\nACGTN\n", 3), (">a\nACG\n>b\nAC\nGTACxGT\n", 5), (">a\nAAAA\nAAé\n", 2)],
)
def test_invalid_bytes_fail_as_in_the_dense_table(write_file, text, k):
    path = write_file(text)
    with pytest.raises(InvalidBaseError) as dense:
        count_kmers(path, k, layout="dense")
    with pytest.raises(InvalidBaseError) as sparse:
        count_kmers(path, k, layout="sparse")
    assert str(sparse.value) == str(dense.value)
    # A record too short to hold a window holds no error.
    assert count_kmers(write_file(">a\nAN\n>b\nACGT\n"), 3, layout="sparse").windows.tolist() == [
        0,
        2,
    ]


def test_min_count_drops_kmers_but_not_windows(write_file):
    path = write_file(">a\nAAAAAACGTTT\n")
    table = count_kmers(path, 2, layout="sparse", min_count=2)
    assert row_counts(table, 0) == {"AA": 5, "TT": 2}
    assert table.windows.tolist() == [10]
    assert table.spectrum().tolist() == [0, 0, 1, 0, 0, 1]


@given(st.lists(st.integers(1, 300), max_size=60))
def test_the_spectrum_reads_as_the_histogram_of_the_counts(counts):
    histogram = np.bincount(counts, minlength=1).astype(np.uint64)
    table = SparseKmerTable(
        [""],
        [""],
        8,
        "forward",
        np.array([0, len(counts)], dtype=np.uint64),
        np.arange(len(counts), dtype=np.uint64),
        np.array(counts, dtype=np.uint32),
        np.array([sum(counts)], dtype=np.uint64),
        np.zeros(1, dtype=np.uint64),
    )
    spectrum = table.spectrum()
    assert len(spectrum) == len(histogram) and spectrum.tolist() == histogram.tolist()
    assert np.array_equal(np.asarray(spectrum), histogram)
    assert [spectrum[n] for n in range(-len(histogram), len(histogram))] == 2 * list(histogram)
    assert np.array_equal(spectrum[1::3], histogram[1::3])
    assert np.array_equal(spectrum[::-2], histogram[::-2])
    assert int(spectrum @ np.arange(len(spectrum))) == sum(counts)
    for outside in (len(histogram), -len(histogram) - 1):
        with pytest.raises(IndexError):
            spectrum[outside]
    assert spectrum == table.spectrum(0)
    assert spectrum != KmerSpectrum(spectrum.values, spectrum.kmers + 1) or not counts


@pytest.fixture
def small_table(write_file):
    path = write_file(fasta([("x", "ACGTTGCAAC" * 3), ("y", "ggggccccaT"), ("x", "")]))
    return count_kmers(path, 4, strands="canonical", layout="sparse")


def test_table_round_trips(small_table, tmp_path):
    assert pickle.loads(pickle.dumps(small_table)) == small_table
    small_table.write(tmp_path / "t.npz")
    assert SparseKmerTable.read(tmp_path / "t.npz") == small_table
    pytest.importorskip("pyarrow")
    small_table.write(tmp_path / "t.parquet")
    assert SparseKmerTable.read(tmp_path / "t.parquet") == small_table


def test_views_of_the_table(small_table, tmp_path):
    pandas = pytest.importorskip("pandas")
    frame = small_table.to_pandas()
    assert list(frame.columns) == ["id", "kmer", "count"]
    assert frame[frame.id == "y"].set_index("kmer")["count"].to_dict() == row_counts(small_table, 1)
    assert isinstance(frame, pandas.DataFrame)
    with pytest.raises(ValueError, match="one row"):
        small_table.write(tmp_path / "t.txt")
    small_table.write(tmp_path / "t.txt", row=1)
    assert (tmp_path / "t.txt").read_text() == "".join(
        f"{kmer}\t{n}\n" for kmer, n in sorted(row_counts(small_table, 1).items())
    )
    assert small_table.kmer(27) == "ACGT" and repr(small_table) == (
        "<SparseKmerTable k=4 strands='canonical' rows=3 kmers=13 files=1>"
    )
    scipy = pytest.importorskip("scipy.sparse")
    matrix = small_table.to_scipy()
    assert isinstance(matrix, scipy.csr_array) and matrix.shape == (3, 256)
    assert matrix[1, 0b10010101] == row_counts(small_table, 1)["GCCC"] == 2


def test_arguments_are_checked(write_file):
    path = write_file(">a\nACGT\n")
    with pytest.raises(ValueError, match="k must be between 1 and 31, not 32"):
        count_kmers(path, 32, layout="dense")
    with pytest.raises(ValueError, match="layout must be"):
        count_kmers(path, 3, layout="csr")
    with pytest.raises(ValueError, match="min_count must be a positive int"):
        count_kmers(path, 3, min_count=0)
    with pytest.raises(ValueError, match="per_file cannot be set too"):
        count_kmers(path, 3, total=True, per_file=True)
    assert isinstance(count_kmers(path, 20), SparseKmerTable)  # auto: 4^20 columns do not fit


def test_auto_counts_one_long_record_densely(write_file):
    # One 2 MB record once counted as "one row per 64 KiB", 31 rows of 4^12 counts (4 GiB), and
    # went sparse; a file read again is decided on the rows met: here one 128 MiB row.
    rng = np.random.default_rng(3)
    path = write_file(
        b">chr\n" + rng.choice(list(b"ACGT"), size=2_000_000).astype(np.uint8).tobytes()
    )
    table = count_kmers(path, 12, strands="forward")
    assert isinstance(table, KmerTable) and table.counts.shape == (1, 4**12)
    assert table == count_kmers(path, 12, strands="forward", layout="dense")


# A whole file counted with a thread to spare keeps its occurrences on a second thread while the
# first reads: the same rows, and the same failures, as on one thread.
@pytest.mark.parametrize(("per_file", "threads"), [(False, 1), (True, 1), (True, 2)])
def test_rows_past_the_memory_bound_go_out_of_core(write_file, tmp_path, per_file, threads):
    rng = np.random.default_rng(5)
    path = write_file(
        b">a\n"
        + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 3_000_000)].tobytes()
        + b"\n>b\nACGT\n"
    )
    spill = tmp_path / "spill"
    spill.mkdir()
    options = {
        "strands": "canonical",
        "layout": "sparse",
        "min_count": 2,
        "per_file": per_file,
        "threads": threads,
    }
    assert count_kmers(path, 13, memory=4 << 20, tmpdir=spill, **options) == count_kmers(
        path, 13, **options
    )
    assert list(spill.iterdir()) == []
    with pytest.raises(OSError) as bounded:
        count_kmers(path, 13, memory=4 << 20, tmpdir=tmp_path / "missing", **options)
    with open(path, "ab") as out:
        out.write(b">c\n" + b"ACGT" * 600_000 + b"x\n")
    with pytest.raises(InvalidBaseError) as bad:
        count_kmers(path, 13, **options)
    if threads == 2:
        one = {**options, "threads": 1}
        with pytest.raises(OSError) as bounded_one:
            count_kmers(path, 13, memory=4 << 20, tmpdir=tmp_path / "missing", **one)
        assert str(bounded.value) == str(bounded_one.value)
        with pytest.raises(InvalidBaseError) as bad_one:
            count_kmers(path, 13, **one)
        assert str(bad.value) == str(bad_one.value)


def _mostly_a(rng, size, other):
    """`size` letters, A but for a share `other` of C, G and T: nearly every window starts with
    AAAA, so one prefix bucket takes most of a row, with k-mers both repeated and distinct."""
    letters = np.full(size, ord("A"), np.uint8)
    at = rng.random(size) < other
    letters[at] = np.frombuffer(b"CGT", np.uint8)[rng.integers(0, 3, int(at.sum()))]
    return letters.tobytes()


@pytest.mark.parametrize(
    ("k", "other", "options"),
    [
        (21, 0.15, {}),
        (21, 0.4, {"min_count": 2, "strands": "canonical"}),
        (31, 0.02, {"strands": "both"}),
        (5, 0.3, {}),  # buckets of one k-mer each: nothing left to split by
        (4, 0.1, {"min_count": 3}),
    ],
)
@pytest.mark.parametrize("threads", [1, 2])
def test_a_bucket_larger_than_the_memory_bound_is_split_on_disk(
    write_file, tmp_path, k, other, options, threads
):
    rng = np.random.default_rng(k)
    # Two rows and a homopolymer, which is counted as it streams, beside the bucket.
    path = write_file(b">a\n" + _mostly_a(rng, 3_000_000, other) + b"A" * 500 + b"\n>b\nACGT\n")
    spill = tmp_path / "spill"
    spill.mkdir()
    options = {"layout": "sparse", "threads": threads, **options}
    bounded = count_kmers(path, k, memory=4 << 20, tmpdir=spill, **options)
    assert bounded == count_kmers(path, k, **options)
    assert list(spill.iterdir()) == []


FULL_DISK = """
import resource, signal
from velko_tools import count_kmers
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 12, 1 << 12))
try:
    count_kmers({path!r}, 13, layout="sparse", memory=4 << 20, tmpdir={spill!r})
except OSError as error:
    print(type(error).__name__, error.errno, error.filename)
"""


def test_a_full_disk_while_spilling_names_the_directory(write_file, tmp_path):
    rng = np.random.default_rng(6)
    path = write_file(
        b">a\n" + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 3_000_000)].tobytes()
    )
    spill = tmp_path / "spill"
    spill.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", FULL_DISK.format(path=path, spill=str(spill))],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (done.stdout, done.stderr) == (f"OSError 27 {spill}\n", "")  # EFBIG
    assert list(spill.iterdir()) == []


# A long random record counted on both threads against numpy's own unique(); in a child, under
# an address-space limit, as the occurrences take tens of MB. Past a few million occurrences a
# row is held in buckets by prefix, each occurrence in the bytes below it: k picks that width.
LARGE_ROW = (
    ADDRESS_LIMIT
    + """
import numpy as np
from velko_tools import count_kmers
rng = np.random.default_rng(11)
letters = rng.integers(0, 4, {size}).astype(np.uint64)
letters[:200_000] = 2  # a run that makes one prefix bucket far larger than the others
path = {path!r}
with open(path, "wb") as out:
    out.write(b">big\\n" + np.frombuffer(b"ACGT", np.uint8)[letters.astype(np.intp)].tobytes())
k = {k}
mask = np.uint64((1 << 2 * k) - 1)
forward = np.zeros(len(letters) - k + 1, dtype=np.uint64)
reverse = np.zeros_like(forward)
for j in range(k):
    forward = (forward << np.uint64(2)) | letters[j:j + len(forward)]
    reverse = reverse | ((np.uint64(3) - letters[j:j + len(reverse)]) << np.uint64(2 * j))
expected, counts = np.unique(np.minimum(forward & mask, reverse), return_counts=True)
del forward, reverse
limit_address_space(1 << 30)
for threads in (1, 2):
    table = count_kmers(path, k, strands="canonical", per_file=True, layout="sparse",
                        threads=threads)
    assert np.array_equal(table.codes, expected) and np.array_equal(table.counts, counts)
# Rows of small records are sorted in batches on both threads, a large one in buckets: the rows
# keep their order and equal those counted one at a time on one thread.
small = "".join(f">s{{i}}\\n" + "ACGTTGCA" * (i % 50 + 3) + "\\n" for i in range(300))
with open(path, "r+b") as out:
    whole = out.read()
    out.seek(0)
    out.write(small.encode() + whole + b"\\n" + small.encode())
one, two = (count_kmers(path, k, strands="canonical", layout="sparse", threads=threads)
            for threads in (1, 2))
assert one == two and len(two) == 601 and np.array_equal(two.codes[two.indptr[300]:
                                                                   two.indptr[301]], expected)
print("ok")
"""
)


@pytest.mark.parametrize(
    ("k", "size"),
    [(31, 6_000_000), (6, 2_500_000), (13, 2_500_000), (21, 2_500_000), (25, 2_500_000)],
)
def test_large_row_on_both_threads(tmp_path, k, size):
    source = LARGE_ROW.format(path=str(tmp_path / "big.fa"), k=k, size=size)
    done = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=300, check=False
    )
    assert (done.stdout, done.stderr) == ("ok\n", "")


def test_ctrl_c_stops_a_sparse_count(tmp_path):
    path = tmp_path / "big.fa"
    rng = np.random.default_rng(3)
    path.write_bytes(
        b">a\n" + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 40_000_000)].tobytes()
    )
    setup = textwrap.dedent("""
        from velko_tools import count_kmers
        limit_address_space(3 << 30)
        """)
    assert_interrupted(
        f"count_kmers({str(path)!r}, 31, layout='sparse', per_file=True)",
        setup=setup,
        prelude=ADDRESS_LIMIT,
    )


def test_command_line_spectrum_and_dump(write_file, tmp_path, capsysbinary):
    path = write_file(">a\nAAAAAACGTTT\n")
    assert main(["kmers", "-k", "2", "--histo", path]) == 0
    assert capsysbinary.readouterr().out == b"1 3\n2 1\n5 1\n"
    out = tmp_path / "d.txt"
    assert main(["kmers", "-k", "2", "--min-count", "2", "-o", str(out), path]) == 0
    assert out.read_text() == "AA\t5\nTT\t2\n"
    # Over several files, as whole-collection counters dump them; one table row at most.
    other = write_file(">b\nAAGTT\n")
    assert (
        main(["kmers", "-k", "2", "--total", "--min-count", "2", "-o", str(out), path, other]) == 0
    )
    assert out.read_text() == "AA\t6\nGT\t2\nTT\t3\n"
    with pytest.raises(SystemExit, match="2"):
        main(["kmers", "-k", "2", "--total", "--per-file", path])
    # The dump reads back; Parquet holds the letters only when asked.
    back = SparseKmerTable.read(out)
    assert dict(zip(back.kmers(), back.counts.tolist())) == {"AA": 6, "GT": 2, "TT": 3}
    if importlib.util.find_spec("pyarrow") is not None:
        import pyarrow.parquet

        for flags, columns in (
            ([], ["id", "code", "count"]),
            (["--kmer-column"], ["id", "code", "count", "kmer"]),
        ):
            target = str(tmp_path / "s.parquet")
            assert main(["kmers", "-k", "2", "--layout", "sparse", *flags, "-o", target, path]) == 0
            assert pyarrow.parquet.read_schema(target).names == columns


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (
            {"min_count": 2**64},
            "min_count must be a positive int below 2**64, not 18446744073709551616",
        ),
        (
            {"memory": 2**70, "layout": "sparse"},
            "memory must be a positive int below 2**64 or None, not 1180591620717411303424",
        ),
        ({"memory": 0}, "memory must be a positive int below 2**64 or None, not 0"),
        (
            {"tmpdir": "", "layout": "sparse"},
            "tmpdir must name a directory, not ''; give '.' for the current one or None for "
            "tempfile.gettempdir()",
        ),
    ],
)
def test_argument_edges_are_refused_before_counting(write_file, options, message):
    path = write_file(">a\nACGT\n")
    with pytest.raises(ValueError) as caught:
        count_kmers(path, 3, **options)
    assert str(caught.value) == message
    # The largest bound there is still counts, leaving every k-mer out.
    assert len(count_kmers(path, 3, layout="sparse", min_count=2**64 - 1).codes) == 0


def test_rows_count_from_the_end(small_table, tmp_path):
    for row in range(-3, 3):
        codes, counts = small_table.row(row)
        assert dict(zip(small_table.kmers(codes), counts.tolist())) == row_counts(
            small_table, row % 3
        )
    assert small_table.spectrum(-2).tolist() == small_table.spectrum(1).tolist()
    for row in (3, -4):
        with pytest.raises(IndexError, match=f"row {row} out of range for a table of 3 rows"):
            small_table.row(row)
        with pytest.raises(IndexError):
            small_table.write(tmp_path / "bad.txt", row=row)
    assert not (tmp_path / "bad.txt").exists()
    small_table.write(tmp_path / "last.txt", row=-2)
    assert (tmp_path / "last.txt").read_text() == "".join(
        f"{kmer}\t{n}\n" for kmer, n in sorted(row_counts(small_table, 1).items())
    )


# Makes every open() with O_TMPFILE fail as on a file system without unnamed files.
NO_TMPFILE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#define SHIM(name)                                                                      \
    int name(const char* path, int flags, ...) {                                        \
        mode_t mode = 0;                                                                \
        if (flags & (O_CREAT | O_TMPFILE)) {                                            \
            va_list args;                                                               \
            va_start(args, flags);                                                      \
            mode = va_arg(args, mode_t);                                                \
            va_end(args);                                                               \
        }                                                                               \
        if ((flags & O_TMPFILE) == O_TMPFILE) {                                         \
            errno = EOPNOTSUPP;                                                         \
            return -1;                                                                  \
        }                                                                               \
        int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(     \
            RTLD_NEXT, #name);                                                          \
        return real(path, flags, mode);                                                 \
    }
SHIM(open)
SHIM(open64)
"""

SPILL_WITHOUT_TMPFILE = """
import errno, os
from velko_tools import count_kmers
try:
    os.close(os.open({spill!r}, os.O_TMPFILE | os.O_RDWR))
except OSError as error:
    assert error.errno == errno.EOPNOTSUPP
else:
    raise AssertionError("the shim is not in place")
options = dict(strands="canonical", layout="sparse", min_count=2)
spilled = count_kmers({path!r}, 13, memory=8 << 20, tmpdir={spill!r}, **options)
assert spilled == count_kmers({path!r}, 13, **options)
print(os.listdir({spill!r}))
"""


def test_spilling_falls_back_to_named_files_without_o_tmpfile(write_file, tmp_path):
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the open() shim")
    (tmp_path / "shim.c").write_text(NO_TMPFILE)
    shim = tmp_path / "shim.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "shim.c"), "-ldl"],
        check=True,
    )
    rng = np.random.default_rng(5)
    path = write_file(
        b">a\n" + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 3_000_000)].tobytes()
    )
    spill = tmp_path / "spill"
    spill.mkdir()
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    done = subprocess.run(
        [sys.executable, "-c", SPILL_WITHOUT_TMPFILE.format(path=path, spill=str(spill))],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
        env={**os.environ, "LD_PRELOAD": preload},
    )
    assert (done.stdout, done.stderr) == ("[]\n", "")


@pytest.mark.parametrize(
    ("text", "line", "reason"),
    [
        ("ACGT\t3\nACG\t1\n", 2, "not a KMER<TAB>COUNT line of a 4-mer"),
        ("ACGT\t3\nACGTT\t1\n", 2, "the k-mer is not 4 letters followed by a tab"),
        ("ACGT\t3\nACNT\t1\n", 2, "the k-mer holds a letter other than A, C, G, T"),
        ("ACGT\t3\nACGA\t1x\n", 2, "the count is not a number"),
        ("ACGT\t3\r\n", 1, "the count is not a number"),
        ("ACGT\t3\nAAAA\t1\nACGT\t1\n", 3, "k-mer ACGT given again (first on line 1)"),
        ("\n", 1, "not a KMER<TAB>COUNT line of a k-mer of 1 to 32 letters"),
        ("ACGT\t123456789012345678901\n", 1, "the count is not a number below 2**64"),
    ],
)
@pytest.mark.parametrize("block", [7, 1 << 20])
def test_a_dump_that_does_not_read_names_its_line(tmp_path, monkeypatch, text, line, reason, block):
    monkeypatch.setattr("velko_tools.sparse.DUMP_READ_BYTES", block)
    path = tmp_path / "bad.txt"
    path.write_text(text)
    with pytest.raises(TableFormatError) as caught:
        SparseKmerTable.read(path)
    assert (caught.value.path, caught.value.line, caught.value.reason) == (str(path), line, reason)


@pytest.mark.parametrize("block", [5, 1 << 20])
def test_a_dump_reads_in_any_order(tmp_path, monkeypatch, block):
    monkeypatch.setattr("velko_tools.sparse.DUMP_READ_BYTES", block)
    path = tmp_path / "any.txt"
    path.write_text("TTG\t2\nAAA\t18446744073709551615\nCAT\t7")  # no final line end
    table = SparseKmerTable.read(path, strands="canonical")
    assert table.kmers() == ["AAA", "CAT", "TTG"] and table.strands == "canonical"
    assert table.counts.tolist() == [2**64 - 1, 7, 2] and table.counts.dtype == np.uint64
    assert (table.ids, table.files, len(table)) == ([""], [""], 1)


@pytest.mark.parametrize("k", [21, 31, 32])
@pytest.mark.parametrize("strands", ["forward", "canonical"])
def test_sparse_tables_read_back_every_format_they_write(write_file, tmp_path, k, strands):
    rng = np.random.default_rng(k)
    letters = np.frombuffer(b"ACGT", np.uint8)
    path = write_file(
        b"".join(
            b">r%d\n" % i
            + letters[rng.integers(0, 4, 2000)].tobytes()
            + b"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
            for i in range(2)
        )
    )
    table = count_kmers(path, k, strands=strands, layout="sparse")
    table.ids[1] = "r1\0"
    assert table.counts.max() > 1 and table.kmer(int(table.codes[0])) == "A" * k
    table.write(tmp_path / "t.npz")
    assert SparseKmerTable.read(tmp_path / "t.npz") == table
    if importlib.util.find_spec("pyarrow") is not None:
        for kmer_column in (False, True):
            table.write(tmp_path / "t.parquet", kmer_column=kmer_column)
            assert SparseKmerTable.read(tmp_path / "t.parquet") == table
    for row in (0, -1):
        table.write(tmp_path / "t.txt", row=row)
        back = SparseKmerTable.read(tmp_path / "t.txt", strands=strands)
        assert (back.k, back.strands) == (k, strands)
        assert np.array_equal(back.codes, table.row(row)[0])
        assert np.array_equal(back.counts, table.row(row)[1])


def test_sparse_parquet_holds_codes_and_letters_only_when_asked(small_table, tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    small_table.write(tmp_path / "c.parquet")
    small_table.write(tmp_path / "l.parquet", kmer_column=True)
    assert parquet.read_schema(tmp_path / "c.parquet").names == ["id", "code", "count"]
    frame = parquet.read_table(tmp_path / "l.parquet").to_pydict()
    assert frame["kmer"] == small_table.kmers() and frame["code"] == small_table.codes.tolist()
    assert frame["id"] == ["x"] * int(small_table.indptr[1]) + ["y"] * len(small_table.row(1)[0])


def test_sparse_parquet_is_written_in_row_groups(small_table, tmp_path, monkeypatch):
    parquet = pytest.importorskip("pyarrow.parquet")
    monkeypatch.setattr("velko_tools.sparse.PARQUET_GROUP", 4)
    small_table.write(tmp_path / "g.parquet", kmer_column=True)
    assert parquet.ParquetFile(tmp_path / "g.parquet").num_row_groups == 4  # 13 k-mers
    assert SparseKmerTable.read(tmp_path / "g.parquet") == small_table
    assert parquet.read_table(tmp_path / "g.parquet").column("id").to_pylist() == (
        small_table.to_pandas()["id"].tolist()
    )
