"""velko_tools and its files: endless or blocking input, outputs replaced whole or not at all, and
the temporaries of writers that were stopped, killed or left running at exit."""

import contextlib
import errno
import gzip
import importlib.util
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from children import (
    ADDRESS_LIMIT,
    CTRL_C_HANDLER,
    INTERRUPT_BOUND,
    SLOWDOWN,
    assert_interrupted,
    fifo_feeder,
    refusal,
    run_python,
)

import velko  # noqa: F401  (publishes velko.hmmer.tophit)
from velko.hmmer.tophit import TopHitFile
from velko_tools import HitTable
from velko_tools.kmers import KmerTable
from velko_tools.tables import write_table

ROW = b"g1 - PF1 - 1e-5 50.0 0.1 1e-5 50.0 0.1 1.0 1 0 0 1 1 1 1 a protein\n"
HEADER = b"# target name  accession  query name  accession\n"

# A child's big top-hit table: about 30 MB of file, a few tenths of a second to write.
BIG_HITS = """
import numpy as np
from velko_tools import HitTable
n = 1_000_000
big = HitTable._from_columns([f"gene{i}" for i in range(n)], ["profile"] * n,
                             np.full(n, 1e-5), np.full(n, 50.0))
"""


def temporaries(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))


def kmer_table(rows, k=4):
    columns = 4**k
    kmers = [f"{i:0{k}d}" for i in range(columns)]
    # Random, so that no output format compresses it much.
    counts = np.random.default_rng(7).integers(0, 1 << 40, (rows, columns), dtype=np.uint64)
    return KmerTable(
        [f"r{i}" for i in range(rows)],
        ["a.fa"] * rows,
        k,
        "forward",
        kmers,
        counts,
        counts.sum(axis=1),
        np.zeros(rows, dtype=np.uint64),
    )


needs_pyarrow = pytest.mark.skipif(
    importlib.util.find_spec("pyarrow") is None, reason="pyarrow is not installed"
)
SUFFIXES = [".tsv", ".tsv.gz", ".npz", pytest.param(".parquet", marks=needs_pyarrow)]


# Input that never ends, or never comes.

ENDLESS_READS = {
    "a line of the HMMER table": "read_hmmer({path!r})",
    "a line of the HMMER profile file": (
        "read_hmmer({table!r}, cutoff='gathering', hmm_file={path!r})"
    ),
}


@pytest.mark.parametrize("what", list(ENDLESS_READS), ids=["table", "profile-file"])
@pytest.mark.parametrize("gzipped", [False, True], ids=["dev-zero", "gzip-bomb"])
def test_an_endless_line_is_refused_within_the_memory_limit(tmp_path, gzipped, what):
    path = "/dev/zero"
    if gzipped:
        # 256 members of 32 MiB of NUL bytes: 8 GiB of one line in about 8 MB of gzip.
        member = gzip.compress(b"\0" * (32 << 20), compresslevel=9)
        path = str(tmp_path / "bomb.gz")
        with open(path, "wb") as out:
            out.writelines([member] * 256)
    table = tmp_path / "one.tblout"
    table.write_text("# Program:         hmmsearch\n")
    call = ENDLESS_READS[what].format(path=path, table=str(table))
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import read_hmmer
        limit_address_space(512 << 20)
        try:
            {call}
        except MemoryError as error:
            print(error)
        """)
    match = refusal(run_python(source, timeout=60 * SLOWDOWN))
    assert match["what"] == what


@pytest.mark.parametrize("options", ["", ", min_score=0.0"], ids=["table", "filtered-rows"])
def test_rows_waiting_for_their_program_are_refused_within_the_memory_limit(tmp_path, options):
    # A gzip table cannot be read from its end, so without program= its rows wait for the
    # "# Program:" line HMMER writes last; this one has none in its 4.8 GB of rows.
    row = (
        b"HBB_HUMAN            -          globins4             -            8.1e-67  216.7"
        b"   0.0     9e-67  216.5   0.0   1.0   1   0   0   1   1   1   1 -\n"
    )
    member = gzip.compress(row * (1 << 20), compresslevel=9)
    path = tmp_path / "unnamed.tblout.gz"
    with open(path, "wb") as out:
        out.writelines([member] * 32)
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import read_hmmer
        limit_address_space(512 << 20)
        try:
            read_hmmer({str(path)!r}{options})
        except MemoryError as error:
            print(error)
        """)
    match = refusal(run_python(source, timeout=60 * SLOWDOWN))
    assert match["what"] == 'a HMMER table held until its "# Program:" line'
    assert match["detail"] == " (name the program to read its rows as they come)"


# 200,000 genes with 1,000-letter names keep about 210 MB, more than the 128 MiB of data the
# child may add; read_hmmer reads them from four files, none of which would pass alone.
TABLE_READS = {
    "read_hmmer": (
        "read_hmmer({paths!r}, program='hmmsearch')",
        "{gene} - PF1 - 1e-5 50.0 0.0 1e-5 50.0 0.0 1.0 1 0 0 1 1 1 1 -\n",
        4,
    ),
    "TopHitFile.read": ("TopHitFile({paths[0]!r}).read()", "{gene}\tPF1,1e-5,50\n", 1),
}


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's allocator cannot map its memory under a data limit",
)
@pytest.mark.parametrize("reader", list(TABLE_READS))
def test_a_table_larger_than_memory_is_refused_as_it_grows(tmp_path, reader):
    call, line, parts = TABLE_READS[reader]
    paths = [str(tmp_path / f"part{part}") for part in range(parts)]
    for part, path in enumerate(paths):
        with open(path, "w") as out:
            out.write("gene\thits\n" if reader == "TopHitFile.read" else "")
            out.writelines(line.format(gene=f"{n:0>1000}") for n in range(part, 200_000, parts))
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko.hmmer.tophit import TopHitFile
        from velko_tools import read_hmmer
        limit_data(128 << 20)
        try:
            {call.format(paths=paths)}
        except MemoryError as error:
            print(error)
        """)
    assert refusal(run_python(source, timeout=60 * SLOWDOWN))["what"] == (
        "the table of hits read so far"
    )


READ_HMMER = "from velko_tools import HitTable, read_hmmer\n"


@pytest.mark.parametrize(
    "call",
    [
        "read_hmmer({path!r})",
        "read_hmmer([], cutoff='gathering', hmm_file={path!r})",
        "HitTable.read({path!r})",
        "HitTable([('g', 'P', 1.0, 2.0)]).write({path!r})",
        "write_table(table, {path!r} + '.tsv')",
    ],
    ids=["read_hmmer", "hmm_file", "HitTable.read", "HitTable.write", "write_table"],
)
def test_ctrl_c_stops_waiting_for_the_other_end_of_a_fifo(tmp_path, call):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    os.mkfifo(path + ".tsv")
    setup = (
        READ_HMMER
        + "from velko_tools.tables import write_table\n"
        + textwrap.dedent("""
        from velko_tools.kmers import KmerTable
        import numpy as np
        table = KmerTable(["r"], ["a"], 1, "forward", list("ACGT"), np.ones((1, 4), np.uint64),
                          np.ones(1, np.uint64), np.zeros(1, np.uint64))
        """)
    )
    assert_interrupted(call.format(path=path), setup=setup)


@pytest.mark.parametrize(
    ("call", "prefix", "chunk"),
    [
        ("read_hmmer({path!r})", HEADER, ROW * 1024),
        ("read_hmmer({path!r})", b"", gzip.compress(ROW * 4096)),
        ("HitTable.read({path!r})", b"header\n", b"g\tP,1e-5,50.0\n" * 4096),
    ],
    ids=["hmmer rows", "gzip members", "top-hit lines"],
)
def test_ctrl_c_stops_reading_an_endless_table(tmp_path, call, prefix, chunk):
    with fifo_feeder(str(tmp_path / "fifo"), chunk, prefix=prefix) as path:
        assert_interrupted(call.format(path=path), setup=READ_HMMER)


def test_ctrl_c_stops_reading_a_header_that_never_ends():
    assert_interrupted("HitTable.read('/dev/zero')", setup=READ_HMMER)


def test_ctrl_c_stops_the_top_hits_of_a_large_table():
    # One call may end before the signal comes on a fast machine; each call of the loop must
    # still answer within the bound.
    assert_interrupted("for _ in range(1000): big.top_hits()", setup=BIG_HITS)


# Outputs replaced whole or not at all.


@contextlib.contextmanager
def small_tmpfs(directory):
    """A 1 MiB tmpfs mounted at `directory` (skips the test when mounting is not allowed)."""
    os.mkdir(directory)
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(directory)], capture_output=True
    )
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        yield directory
    finally:
        subprocess.run(["umount", "-l", str(directory)], check=False)


def write_hits(path, rows):
    n = rows
    HitTable._from_columns(
        [f"gene{i:08d}" for i in range(n)], ["profile"] * n, np.full(n, 1e-5), np.full(n, 50.0)
    ).write(path)


def sparse_table(kmers):
    from velko_tools import SparseKmerTable

    codes = np.arange(kmers, dtype=np.uint64)
    return SparseKmerTable(
        ["r"],
        ["f.fa"],
        12,
        "forward",
        np.array([0, kmers], dtype=np.uint64),
        codes,
        np.ones(kmers, dtype=np.uint32),
        np.array([kmers], dtype=np.uint64),
        np.zeros(1, dtype=np.uint64),
    )


@pytest.mark.parametrize("suffix", [*SUFFIXES, "hits", "sparse.npz", "sparse.txt"])
def test_a_full_disk_leaves_the_previous_file(tmp_path, suffix):
    with small_tmpfs(tmp_path / "small") as small:
        name = suffix.replace("sparse", "") if suffix != "hits" else ".top.tsv"
        target = str(small / ("out" + name))

        def write(rows):
            if suffix == "hits":
                write_hits(target, rows)
            elif suffix.startswith("sparse"):
                sparse_table(1 if rows == 1 else 200_000).write(target)
            else:
                write_table(kmer_table(rows, k=6 if rows > 1 else 2), target)

        write(1)
        with open(target, "rb") as previous:
            before = previous.read()
        with pytest.raises(OSError) as caught:
            write(200 if suffix != "hits" else 100_000)
        assert caught.value.errno == errno.ENOSPC
        assert target in str(caught.value)
        with open(target, "rb") as kept:
            assert kept.read() == before
        assert os.listdir(small) == [os.path.basename(target)]


@pytest.mark.parametrize("suffix", [".tsv", ".tsv.gz"])
def test_ctrl_c_while_writing_leaves_no_file(tmp_path, suffix):
    target = str(tmp_path / ("out" + suffix))
    setup = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_tools_files import kmer_table
        from velko_tools.tables import write_table
        table = kmer_table(4000, k=6)
        """)
    assert_interrupted(f"write_table(table, {target!r})", setup=setup)
    assert os.listdir(tmp_path) == []


def test_a_fifo_output_is_written_in_place(tmp_path):
    path = str(tmp_path / "out.tsv")
    os.mkfifo(path)
    reader = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
    write_table(kmer_table(2, k=1), path)
    out, _ = reader.communicate(timeout=30)
    assert out.decode().splitlines()[0] == "file\tid\twindows\tskipped\t0\t1\t2\t3"
    assert os.listdir(tmp_path) == ["out.tsv"]


# Temporaries of writers that did not finish.


def gone_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


@pytest.mark.parametrize(
    "write",
    [
        lambda path: HitTable([("g", "P", 1.0, 2.0)]).write(path),
        lambda path: TopHitFile(path).write(),
        lambda path: write_table(kmer_table(1, k=1), path),
    ],
    ids=["HitTable.write", "TopHitFile.write", "write_table"],
)
def test_a_write_removes_temporaries_whose_writer_is_gone(tmp_path, write):
    dead = gone_pid()
    stale = f".out.tsv.{dead}.0123456789abcdef.tmp"
    kept = [
        ".out.tsv.1.0123456789abcdef.tmp",  # a live process's (pid 1 always is)
        f".out.tsv.{dead}.not-ours.tmp",  # not a name the writers make
        f".other.tsv.{dead}.0123456789abcdef.tmp",
    ]  # another target's
    for name in [stale, *kept]:
        (tmp_path / name).write_bytes(b"partial")
    write(str(tmp_path / "out.tsv"))
    assert sorted(os.listdir(tmp_path)) == sorted([*kept, "out.tsv"])


def wait_for_temporary(child, directory, timeout=30):
    """Waits until `child` has a temporary file in `directory`; False when it ended first."""
    deadline = time.monotonic() + timeout
    while not temporaries(directory):
        if child.poll() is not None or time.monotonic() > deadline:
            return False
        time.sleep(0.0005)
    return True


def test_a_killed_writers_temporary_goes_with_the_next_write(tmp_path):
    target = str(tmp_path / "out.top.tsv")
    source = BIG_HITS + f"print('ready', flush=True)\nbig.write({target!r})\n"
    child = subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"ready\n"
    assert wait_for_temporary(child, tmp_path), "the write ended before it could be killed"
    child.kill()
    child.wait()
    assert len(temporaries(tmp_path)) == 1
    HitTable([("g", "P", 1.0, 2.0)]).write(target)
    assert os.listdir(tmp_path) == ["out.top.tsv"]


@pytest.mark.parametrize(
    "write",
    ["big.write(target)", "write_table(table, target)"],
    ids=["HitTable.write", "write_table"],
)
def test_a_daemon_threads_write_at_exit_leaves_no_temporary(tmp_path, write):
    target = str(tmp_path / "out.tsv")
    source = BIG_HITS + textwrap.dedent(f"""
        import os, sys, threading, time
        import velko
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_tools_files import kmer_table
        from velko_tools.tables import write_table
        table = kmer_table(4000, k=6)
        target = {target!r}
        threading.Thread(target=lambda: {write}, daemon=True).start()
        while not any(name.endswith(".tmp") for name in os.listdir({str(tmp_path)!r})):
            time.sleep(0.0005)
        sys.exit(3)
        """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 3, result.stderr
    assert temporaries(tmp_path) == []


def test_sigterm_of_the_command_line_removes_its_temporary(tmp_path):
    target = str(tmp_path / "out.top.tsv")
    source = (
        CTRL_C_HANDLER
        + BIG_HITS
        + textwrap.dedent(f"""
        import sys
        import velko_tools.hits
        from velko_tools.cli import main
        velko_tools.hits.read_hmmer = lambda *args, **options: big
        print("ready", flush=True)
        sys.exit(main(["tophits", "unused.tblout", "-o", {target!r}]))
        """)
    )
    for _ in range(3):
        child = subprocess.Popen(
            [sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        assert child.stdout.readline() == b"ready\n"
        if wait_for_temporary(child, tmp_path):
            sent = time.monotonic()
            child.send_signal(signal.SIGTERM)
            _, err = child.communicate(timeout=60)
            took = time.monotonic() - sent
            break
        child.communicate(timeout=60)
        os.unlink(target)  # finished before the signal: try again
    else:
        pytest.fail("the write always ended before SIGTERM could be sent")
    assert (child.returncode, err) == (143, b"")
    assert os.listdir(tmp_path) == []
    assert took < 1 * SLOWDOWN


def test_ctrl_c_stops_the_tophits_command_at_once(tmp_path):
    with fifo_feeder(str(tmp_path / "fifo"), ROW * 1024, prefix=HEADER) as path:
        for _ in range(3):
            child = subprocess.Popen(
                [
                    sys.executable,
                    "-c",
                    CTRL_C_HANDLER
                    + textwrap.dedent(f"""
                import sys
                from velko_tools.cli import main
                print("ready", flush=True)
                sys.exit(main(["tophits", {path!r}]))
                """),
                ],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
            )
            assert child.stdout.readline() == b"ready\n"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
            took = time.monotonic() - sent
            assert (child.returncode, out, err) == (130, b"", b"")
            if took < INTERRUPT_BOUND * SLOWDOWN:
                return
    pytest.fail(f"Ctrl-C took {took} s to stop velko tophits")
