"""count_kmers at its limits, each in a child interpreter under an rlimit and a timeout: a table
too large for memory, Ctrl-C at a large k, workers the system will not start, and the
interpreter exiting while a daemon thread counts."""

import ast
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from children import ADDRESS_LIMIT, MEMORY_ERROR, assert_interrupted, fifo_feeder, run_python
from hypothesis import given, settings
from hypothesis import strategies as st

from velko_tools import count_kmers

SEQUENCES = ["ACGTACGTAGCTAGCTAGCATCGATCGATCAGCTAGCTAGCTAGCATGCA", "GGGGCCCCAAAATTTTACGT"]
SMALL = ">a\n" + SEQUENCES[0] + "\n>b desc\n" + SEQUENCES[1] + "\n"


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.fa"
    path.write_text(SMALL)
    return path


@pytest.fixture
def big(tmp_path):
    path = tmp_path / "big.fa"
    line = b"ACGTTGCAACGTAGCTAGCTAGGCTAGCTAGCATCGATCGATCGACTAGCTAGCTAGCTAGC\n"
    with open(path, "wb") as out:
        out.write(b">big\n")
        out.writelines(line * 16384 for _ in range(32))
    return path


@pytest.mark.parametrize("options", [{}, {"per_file": True, "strands": "both"}])
def test_every_k_completes_or_is_refused_at_once(small, options):
    # 2 GiB above the interpreter: k = 13 fits, k = 14 (2 GiB of counts a row) does not.
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        import time
        from velko_tools import count_kmers
        limit_address_space(2 << 30)
        for k in range(1, 32):
            start = time.monotonic()
            try:
                table = count_kmers({str(small)!r}, k, threads=2, layout="dense", **{options!r})
                print(k, "ok", int(table.windows.sum()), len(table.kmers))
            except MemoryError as error:
                print(k, "refused", round(time.monotonic() - start, 3), error)
    """)
    result = run_python(source, timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    lines = [line.split(" ", 2) for line in result.stdout.splitlines()]
    assert [int(k) for k, _, _ in lines] == list(range(1, 32))
    assert all(outcome == "ok" for k, outcome, _ in lines if int(k) <= 12)
    per_window = 2 if options else 1
    for k, outcome, rest in lines:
        if outcome == "ok":
            windows, columns = map(int, rest.split())
            expected = sum(max(0, len(seq) - int(k) + 1) for seq in SEQUENCES)
            assert windows == per_window * expected
            assert columns == 4 ** int(k)
        else:
            seconds, message = rest.split(" ", 1)
            assert float(seconds) < 1.0
            match = MEMORY_ERROR.fullmatch(message)
            assert match is not None and match["what"] == f"k = {k}", message
    assert lines[-1][1] == "refused"


def test_ctrl_c_at_large_k(small):
    # Each call builds no Python object per k-mer, so a signal is seen between calls or in one.
    assert_interrupted(
        f"""
    while True:
        count_kmers({str(small)!r}, 13, threads=1, layout="dense")""",
        setup="from velko_tools import count_kmers",
    )


@pytest.mark.parametrize("writer", ["none", "silent", "endless"])
def test_ctrl_c_on_a_fifo(tmp_path, writer):
    # The worker waits on the FIFO, not the calling thread: no signal ever reaches its wait.
    path = str(tmp_path / "fifo")
    call = f"count_kmers([{path!r}], 4, threads=1)"
    setup = "from velko_tools import count_kmers"
    if writer == "endless":
        with fifo_feeder(path, b"ACGT" * 4096, prefix=b">endless\n"):
            assert_interrupted(call, setup=setup)
        return
    os.mkfifo(path)
    if writer == "silent":
        # A writer in the child itself that opens the FIFO, sends a header and no more.
        setup += textwrap.dedent(f"""
            import threading
            def write_header():
                with open({path!r}, "wb", buffering=0) as fifo:
                    fifo.write(b">silent\\n")
                    threading.Event().wait()
            threading.Thread(target=write_header, daemon=True).start()
        """)
    assert_interrupted(call, setup=setup)


def test_fifo_with_a_writer_counts_as_a_file(tmp_path):
    path = str(tmp_path / "fifo")
    with fifo_feeder(path, b"ACGT" * 1000, prefix=b">r\n", suffix=b"\n", repeat=3):
        table = count_kmers(path, 2, threads=1)
    assert table.ids == ["r"] and int(table.windows[0]) == 12000 - 1


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize("layout", ["dense", "sparse"])
def test_workers_that_cannot_start_leave_fewer_threads(tmp_path, layout):
    paths = []
    for i in range(400):
        path = tmp_path / f"r{i}.fa"
        path.write_text(f">r{i}\nACGTACGT\n")
        paths.append(str(path))
    # Too little address space for 300 thread stacks: some workers fail to start while the
    # first ones have already finished their files. Stacks of 64 MiB make the failure fall on a
    # stack, with room left for what a thread that did start allocates (glibc aborts a thread
    # that has no room for its thread-locals), and one malloc arena keeps threads from taking
    # more.
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import count_kmers
        paths = {paths!r}
        limit_address_space(1 << 30)
        for _ in range(5):
            table = count_kmers(paths, 2, threads=300, layout={layout!r})
            print("ok", len(table), int(table.windows.sum()))
    """)

    def large_stacks():
        resource.setrlimit(resource.RLIMIT_STACK, (64 << 20, resource.RLIM_INFINITY))

    result = subprocess.run(
        [sys.executable, "-c", source],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=large_stacks,
        env={**os.environ, "MALLOC_ARENA_MAX": "1"},
    )
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    assert result.stdout.splitlines() == ["ok 400 2800"] * 5


def test_exit_while_a_daemon_thread_counts(big):
    # The object's finalizer keeps the interpreter shutting down for a while, so the daemon
    # thread asks for the lock back while it does.
    source = textwrap.dedent(f"""
        import sys, threading, time
        from velko_tools import count_kmers

        class SlowToGo:
            def __del__(self):
                time.sleep(0.3)

        keeper = SlowToGo()
        thread = threading.Thread(target=count_kmers, args=([{str(big)!r}] * 4, 8),
                                  kwargs={{"threads": 2}}, daemon=True)
        thread.start()
        time.sleep(0.2)
        sys.exit(3)
    """)
    for _ in range(3):
        result = subprocess.run(
            [sys.executable, "-c", source], check=False, capture_output=True, text=True, timeout=60
        )
        assert (result.returncode, result.stderr) == (3, "")


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize("k", [8, 10])
def test_auto_layout_decides_on_the_records_met(tmp_path, k):
    # 20,000 short reads are 3 MB of input, which "auto" once guessed as 46 rows: the dense table
    # grew to 10 GB and ended in a bare std::bad_alloc. Under a 2 GiB address-space limit "auto"
    # must switch to sparse once the rows met pass its share, counting exactly, and "dense" must
    # be refused by the account before the allocation fails.
    path = tmp_path / "reads.fa"
    bases = np.random.default_rng(7).choice(list(b"ACGT"), size=(20_000, 148)).astype(np.uint8)
    path.write_bytes(b"".join(b">r%d\n%s\n" % (i, row.tobytes()) for i, row in enumerate(bases)))
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        import numpy as np
        from velko_tools import count_kmers
        limit_address_space(2 << 30)
        table = count_kmers({str(path)!r}, {k}, threads=2)
        sparse = count_kmers({str(path)!r}, {k}, threads=2, layout="sparse")
        same = all(np.array_equal(getattr(table, name), getattr(sparse, name))
                   for name in ("indptr", "codes", "counts", "windows"))
        print(type(table).__name__, len(table.ids), same)
        try:
            count_kmers({str(path)!r}, {k}, threads=2, layout="dense")
        except MemoryError as error:
            print(error)
    """)
    result = run_python(source, timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    first, refused = result.stdout.splitlines()
    assert first == "SparseKmerTable 20000 True"
    match = MEMORY_ERROR.fullmatch(refused)
    assert match is not None and match["what"] == f"k = {k}", refused


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize(
    ("strands", "memory"),
    [("forward", 8 << 20), ("both", 8 << 20), ("canonical", None), ("forward", None)],
)
def test_low_complexity_rows_stay_within_memory(tmp_path, strands, memory):
    # A poly-A record is one k-mer over and over, and a dinucleotide repeat two: one prefix
    # bucket that no bound split was read back and sorted whole (memory= ignored), and without
    # memory= the row was refused as needing GiBs for one distinct k-mer.
    path = tmp_path / "low.fa"
    with open(path, "wb") as out:
        out.write(b">polyA\n" + b"A" * 30_000_000 + b"\n>ac\n" + b"AC" * 5_000_000 + b"\n")
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import count_kmers
        limit_address_space(400 << 20)
        start = peak_rss()
        table = count_kmers({str(path)!r}, 21, strands={strands!r}, layout="sparse",
                            memory={memory!r}, tmpdir={str(tmp_path)!r}, threads=2)
        print((peak_rss() - start) >> 20)
        for row in range(2):
            codes, counts = table.row(row)
            print(dict(zip(table.kmers(codes), counts.tolist())))
    """)
    result = run_python(source, timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), (result.stdout, result.stderr[-2000:])
    grown, *rows = result.stdout.splitlines()
    assert int(grown) < 100

    def reverse_complement(kmer):
        return kmer[::-1].translate(str.maketrans("ACGT", "TGCA"))

    def counted(forward):
        if strands == "forward":
            return forward
        out = {}
        for kmer, count in forward.items():
            keys = [kmer, reverse_complement(kmer)]
            for key in [min(keys)] if strands == "canonical" else keys:
                out[key] = out.get(key, 0) + count
        return out

    half = 5_000_000 - 10
    assert [ast.literal_eval(row) for row in rows] == [
        counted({"A" * 21: 30_000_000 - 20}),
        counted({"AC" * 10 + "A": half, "CA" * 10 + "C": half}),
    ]


repeats = st.lists(
    st.tuples(st.text("ACGT", min_size=1, max_size=7), st.integers(1, 300)), min_size=1, max_size=6
)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(repeats, min_size=1, max_size=3),
    st.integers(1, 7),
    st.sampled_from(["forward", "both", "canonical"]),
    st.integers(1, 40),
    st.sampled_from([None, 1 << 16]),
)
def test_repeats_count_as_the_dense_table(tmp_path_factory, records, k, strands, min_count, memory):
    # Stretches that repeat a short unit are counted as they stream, not kept: the counts, with
    # min_count applied to the whole, are those of the dense table.
    path = tmp_path_factory.mktemp("repeats") / "r.fa"
    path.write_text(
        "".join(
            f">r{i}\n" + "".join(unit * times for unit, times in record) + "\n"
            for i, record in enumerate(records)
        )
    )
    dense = count_kmers(path, k, strands=strands, layout="dense", min_count=min_count, threads=1)
    sparse = count_kmers(
        path,
        k,
        strands=strands,
        layout="sparse",
        min_count=min_count,
        memory=memory,
        tmpdir=path.parent,
        threads=1,
    )
    assert np.array_equal(sparse.to_dense().counts, dense.counts)
    assert np.array_equal(sparse.windows, dense.windows)


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
def test_the_spectrum_of_a_long_repeat_stays_small(tmp_path):
    # The spectrum of one k-mer seen 20 million times was an array of 20 million zeros and one.
    path = tmp_path / "polyA.fa"
    path.write_bytes(b">a\n" + b"A" * 20_000_000 + b"\nAACCGGTT\n")
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import count_kmers
        from velko_tools.cli import main
        limit_address_space(120 << 20)
        table = count_kmers({str(path)!r}, 21, layout="sparse", threads=1)
        values, kmers = table.spectrum_items()
        print(values.tolist(), kmers.tolist())
        spectrum = table.spectrum()
        print(len(spectrum), spectrum[1], spectrum[2], spectrum[-1], sum(spectrum[-3:]))
        main(["kmers", "-k", "4", "--histo", {str(path)!r}])
    """)
    result = run_python(source, timeout=120)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    # The A run is 20,000,002 long (the record's last line starts with AA); 6 windows leave it.
    assert result.stdout.splitlines() == [
        "[1, 19999982] [6, 1]",
        "19999983 6 0 1 1",
        "1 6",
        "19999999 1",
    ]


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
def test_memory_holds_for_a_bucket_of_many_occurrences(tmp_path):
    # Mostly A with a few other letters: four fifths of 30 M windows start with AAAA and fall
    # in one prefix bucket of 190 MB, which was read back and sorted whole whatever `memory`.
    rng = np.random.default_rng(30)
    letters = np.full(30_000_000, ord("A"), np.uint8)
    at = rng.random(len(letters)) < 0.05
    letters[at] = np.frombuffer(b"CGT", np.uint8)[rng.integers(0, 3, int(at.sum()))]
    path = tmp_path / "mostly_a.fa"
    path.write_bytes(b">a\n" + letters.tobytes() + b"\n")
    spill = tmp_path / "spill"
    spill.mkdir()
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import count_kmers
        limit_address_space(160 << 20)
        table = count_kmers({str(path)!r}, 21, layout="sparse", threads=1, memory=16 << 20,
                            tmpdir={str(spill)!r})
        print(int(table.counts.sum(dtype="u8")), int(table.windows[0]), len(table.codes))
    """)
    result = run_python(source, timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    total, windows, distinct = (int(field) for field in result.stdout.split())
    assert total == windows == len(letters) - 20 and 0 < distinct < windows // 10
    assert list(spill.iterdir()) == []
