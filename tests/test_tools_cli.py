"""The velko command: subcommands, outputs read back, error lines and exit statuses."""

import contextlib
import gzip
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest


def velko(*args, input=None):
    return subprocess.run(
        [sys.executable, "-m", "velko_tools", *args],
        capture_output=True,
        text=True,
        input=input,
        timeout=120,
    )


@pytest.mark.parametrize(
    ("args", "stdin", "expected"),
    [
        (["gid", "RS_GCF_000005845.2", "GB_GCA_000008085.1"], None, "G000005845\nG000008085\n"),
        # Empty lines and arguments stay, so the output lines up with the input.
        (["gid"], "RS_GCF_000005845.2\n\nUBA12345.1\r\n", "G000005845\n\nUBA12345.1\n"),
        (["gid", "GCF_000001.1", "", "GCA_000002.1"], None, "G000001\n\nG000002\n"),
        (["gid"], "", ""),
    ],
)
def test_gid(args, stdin, expected):
    result = velko(*args, input=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")


# Each call names inputs that do not exist (or a run directory that cannot be made): an argument
# check that came only after an input was opened would end with status 1 and that input's error.
@pytest.mark.parametrize(
    "args",
    [
        [],
        ["nosuchcommand"],
        ["kmers"],
        ["kmers", "-k", "x", "absent.fa"],
        ["kmers", "-k", "33", "absent.fa"],
        ["kmers", "--strands", "reverse", "absent.fa"],
        ["kmers", "--per-file", "--total", "absent.fa"],
        ["kmers", "-o", "out.xlsx", "absent.fa"],
        ["kmers", "absent.fa", "-", "-"],
        ["run", "-o", "absent/out", "--stop-codon", "absent.fa"],
        ["run", "-o", "absent/out", "--hmm", "absent.hmm", "--cut-ga", "--cut-nc", "absent.fa"],
        ["run", "-o", "absent/out", "-"],
    ],
)
def test_argument_errors_exit_2_before_any_input_is_read(tmp_path, args):
    result = subprocess.run(
        [sys.executable, "-m", "velko_tools", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
        stdin=subprocess.DEVNULL,
    )
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: velko")
    assert "absent" not in result.stderr.splitlines()[-1]
    assert os.listdir(tmp_path) == []


# A bad input ends the command with status 1 and its error on one line, not with usage.
@pytest.mark.parametrize(
    ("name", "content", "args", "message"),
    [
        ("g.fa", b"ACGT\n", ["kmers", "-k", "2"], "g.fa:1: Expected > at record start."),
        (
            "g.fa.gz",
            gzip.compress(b">r\nACGT\n")[:-9],
            ["kmers", "-k", "2"],
            "g.fa.gz: compressed file ended before the end-of-stream marker was reached",
        ),
        (
            "g.fa",
            b">r\nACGTN\n",
            ["run", "-o", "out", "--strict", "--fail-fast", "-k", "2"],
            # A run names its inputs by their absolute paths.
            "{dir}/g.fa:2:5: invalid base 'N' in record 'r' (without --strict, the windows that "
            "hold it are skipped)",
        ),
        (
            "genomes.txt",
            b"\xffg.fa\n",
            ["run", "-o", "out"],
            "genomes.txt: not a list of paths: 'utf-8' codec can't decode byte 0xff in position "
            "0: invalid start byte",
        ),
    ],
)
def test_input_errors_exit_1(tmp_path, name, content, args, message):
    (tmp_path / name).write_bytes(content)
    given = f"@{name}" if name.endswith(".txt") else name
    result = subprocess.run(
        [sys.executable, "-m", "velko_tools", *args, given],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    expected = message.replace("{dir}", str(tmp_path))
    assert (result.returncode, result.stderr) == (1, f"velko: error: {expected}\n")


def test_console_script_installed():
    script = shutil.which("velko", path=str(__import__("pathlib").Path(sys.executable).parent))
    if script is None:
        pytest.skip("velko_tools is not installed in this interpreter's environment")
    result = subprocess.run([script, "gid", "GCF_1.1"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "G1\n")


# ---- velko kmers ----------------------------------------------------------------------------

np = pytest.importorskip("numpy")


@pytest.fixture
def genome(tmp_path):
    path = tmp_path / "g.fa"
    path.write_text(">r1 first\nACGTac\ngtNA\n>r2\nAAAA\n")
    return path


def read_tsv(text):
    lines = text.splitlines()
    header = lines[0].split("\t")
    rows = [line.split("\t") for line in lines[1:]]
    return header, [row[:4] for row in rows], [row[4:] for row in rows]


def test_kmers_tsv_to_stdout(genome):
    result = velko("kmers", "-k", "1", "--skip-invalid", str(genome))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == (
        f"file\tid\twindows\tskipped\tA\tC\tG\tT\n"
        f"{genome}\tr1\t9\t1\t3\t2\t2\t2\n{genome}\tr2\t4\t0\t4\t0\t0\t0\n"
    )


def test_kmers_frequencies_per_file_keep_windows(genome):
    result = velko(
        "kmers",
        "-k",
        "1",
        "--skip-invalid",
        "--per-file",
        "--frequencies",
        str(genome),
        str(genome),
    )
    header, heads, values = read_tsv(result.stdout)
    assert header == ["file", "id", "windows", "skipped", "A", "C", "G", "T"]
    assert heads == [[str(genome), str(genome), "13", "1"]] * 2
    assert [float(v) for v in values[0]] == [7 / 13, 2 / 13, 2 / 13, 2 / 13]


needs_pyarrow = pytest.mark.skipif(
    __import__("importlib").util.find_spec("pyarrow") is None, reason="pyarrow is not installed"
)
FORMATS = ["tsv", "tsv.gz", "csv", "npz", pytest.param("parquet", marks=needs_pyarrow)]


@pytest.mark.parametrize("frequencies", [False, True], ids=["counts", "frequencies"])
@pytest.mark.parametrize("strands", ["forward", "both", "canonical"])
@pytest.mark.parametrize("kind", FORMATS)
def test_kmers_outputs_read_back(tmp_path, genome, kind, strands, frequencies):
    from velko_tools import KmerTable, count_kmers

    # Two files under one name each, so that only the file column tells their rows apart.
    other = tmp_path / "copy.fa"
    other.write_bytes(genome.read_bytes())
    out = tmp_path / f"table.{kind}"
    result = velko(
        "kmers",
        "-k",
        "2",
        "--strands",
        strands,
        "--skip-invalid",
        "--threads",
        "2",
        "-o",
        str(out),
        *(["--frequencies"] if frequencies else []),
        str(genome),
        str(other),
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    expected = count_kmers([genome, other], 2, strands=strands, invalid="skip")
    text = kind in ("tsv", "tsv.gz", "csv")
    got = KmerTable.read(out, strands="both" if text and strands == "both" else None)
    assert got == expected
    assert got.files == [str(genome)] * 2 + [str(other)] * 2


@pytest.mark.parametrize("kind", FORMATS)
def test_kmers_format_option_and_standard_streams(tmp_path, genome, kind):
    from velko_tools import KmerTable

    command = [
        sys.executable,
        "-m",
        "velko_tools",
        "kmers",
        "-k",
        "2",
        "--skip-invalid",
        "--format",
        kind,
        "-o",
        "-",
        "-",
    ]
    with open(genome, "rb") as stdin:
        result = subprocess.run(command, stdin=stdin, capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    out = tmp_path / f"out.{kind}"
    out.write_bytes(result.stdout)
    table = KmerTable.read(out)
    assert table.files == ["-", "-"]
    assert table.ids == ["r1", "r2"]


def test_kmers_reads_a_pipe_and_makes_the_output_directory(tmp_path, genome):
    out = tmp_path / "new" / "deeper" / "x.tsv"
    result = velko(
        "kmers", "-k", "1", "--skip-invalid", "-o", str(out), "-", input=genome.read_text()
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert out.read_text().splitlines()[1] == "-\tr1\t9\t1\t3\t2\t2\t2"


@pytest.mark.parametrize("name", ["tab\there.fa", "line\nbreak.fa"])
def test_kmers_file_names_a_tsv_cannot_hold(tmp_path, genome, name):
    from velko_tools import KmerTable

    odd = tmp_path / name
    odd.write_bytes(genome.read_bytes())
    result = velko("kmers", "-k", "1", "--skip-invalid", str(odd))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("velko: error: cannot write the file name ")
    assert len(result.stderr.splitlines()) == 1
    # CSV quotes them instead.
    out = tmp_path / "t.csv"
    assert velko("kmers", "-k", "1", "--skip-invalid", "-o", str(out), str(odd)).returncode == 0
    assert KmerTable.read(out).files == [str(odd)] * 2


def test_kmers_parquet_without_pyarrow(tmp_path, genome):
    out = tmp_path / "t.parquet"
    code = (
        "import sys; sys.modules['pyarrow'] = None; from velko_tools.cli import main; "
        f"sys.exit(main(['kmers', '-o', {str(out)!r}, {str(genome)!r}]))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "velko: error: writing Parquet needs pyarrow (pip install pyarrow)\n"
    assert not out.exists()


def test_tophits_reads_standard_input():
    with open(HMMER, "rb") as table:
        piped = subprocess.run(
            [sys.executable, "-m", "velko_tools", "tophits", "-"],
            stdin=table,
            capture_output=True,
            timeout=120,
        )
    named = subprocess.run(
        [sys.executable, "-m", "velko_tools", "tophits", HMMER], capture_output=True, timeout=120
    )
    assert (piped.returncode, piped.stderr) == (0, b"")
    assert piped.stdout == named.stdout


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (
            b">r1\nACGTac\ngtNA\n",
            [],
            "{path}:3:3: invalid base 'N' in record 'r1'"
            " (--skip-invalid leaves out the windows that hold it)",
        ),
        (b"ACGT\n", [], "{path}:1: Expected > at record start."),
        (b">r\nAC\nA\xffC\n", ["--skip-invalid"], "{path}:3: stream did not contain valid UTF-8"),
    ],
)
def test_kmers_bad_input_one_line_exit_1(tmp_path, content, args, message):
    path = tmp_path / "bad.fa"
    path.write_bytes(content)
    result = velko("kmers", *args, str(path))
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == "velko: error: " + message.format(path=path) + "\n"


@pytest.mark.parametrize(
    ("args", "content", "message"),
    [
        (
            ["kmers"],
            b">r1\nACGTac\ngtNA\n",
            "<stdin>:3:3: invalid base 'N' in record 'r1'"
            " (--skip-invalid leaves out the windows that hold it)",
        ),
        (
            ["kmers", "-k", "2", "--layout", "sparse", "-o", "{tmp}/x.npz"],
            b">r\nAN\n",
            "<stdin>:2:2: invalid base 'N' in record 'r'"
            " (--skip-invalid leaves out the windows that hold it)",
        ),
        (["kmers"], b"ACGT\n", "<stdin>:1: Expected > at record start."),
        (
            ["kmers"],
            gzip.compress(b">r\nACGT\n")[:12],
            "<stdin>: compressed file ended before the end-of-stream marker was reached",
        ),
        (
            ["kmers"],
            b"\x1f\x8b\x08\x00junk and more junk",
            "<stdin>: invalid gzip data: invalid block type",
        ),
        (
            ["tophits"],
            b"not a table row\n",
            "<stdin>:1:5: too few columns: a tblout row has 18 before its description, this one 4",
        ),
        (
            ["tophits", "-E", "1e-5"],
            b"not a table row\n",
            "<stdin>:1:5: too few columns: a tblout row has 18 before its description, this one 4",
        ),
    ],
    ids=["base", "base sparse", "not fasta", "gzip cut", "gzip damaged", "hmmer", "hmmer filtered"],
)
def test_errors_name_standard_input(tmp_path, args, content, message):
    args = [arg.format(tmp=tmp_path) for arg in args]
    result = subprocess.run(
        [sys.executable, "-m", "velko_tools", *args, "-"],
        input=content,
        capture_output=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"velko: error: {message}\n"


def test_library_reads_and_names_standard_input():
    # In a child: the library reads the process's own standard input for "-".
    code = textwrap.dedent("""
        from velko_tools import count_kmers, InvalidBaseError
        table = count_kmers(["-"], 1, invalid="skip", per_file=True)
        print(table.files, table.ids, table.counts.tolist())
        try:
            count_kmers("-", 1, threads=1)
        except InvalidBaseError as error:
            print(error.path, error.line, error.column, error)
        try:
            count_kmers(["-", "-"], 1)
        except ValueError as error:
            print(error)
    """)
    result = subprocess.run(
        [sys.executable, "-c", code], input=b">r\nACNG\n", capture_output=True, timeout=120
    )
    assert result.stderr == b""
    # Standard input is read once: the second count finds it empty.
    assert result.stdout.decode().splitlines() == [
        "['-'] ['-'] [[1, 1, 1, 0]]",
        "'-' (standard input) given more than once",
    ]


def test_kmers_missing_file_exit_1(tmp_path):
    result = velko("kmers", str(tmp_path / "nope.fa"))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"velko: error: {tmp_path / 'nope.fa'}: No such file or directory\n"


def test_kmers_unknown_output_suffix_is_usage_error(tmp_path, genome):
    result = velko("kmers", "-o", str(tmp_path / "t.xyz"), str(genome))
    assert result.returncode == 2
    assert result.stderr.endswith(
        f"velko: error: cannot tell the output format of {str(tmp_path / 't.xyz')!r}: name it "
        ".tsv, .tsv.gz, .csv, .npz or .parquet, or give --format\n"
    )


def test_kmers_closed_pipe_is_quiet(tmp_path):
    path = tmp_path / "many.fa"
    path.write_text("".join(f">r{i}\nACGTACGT\n" for i in range(20000)))
    source = (
        f"import subprocess, sys; p = subprocess.Popen([sys.executable, '-m', "
        f"'velko_tools', 'kmers', {str(path)!r}], stdout=subprocess.PIPE, "
        "stderr=subprocess.PIPE); p.stdout.readline(); p.stdout.close(); "
        "err = p.stderr.read(); print(p.wait(), repr(err))"
    )
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120
    )
    assert result.stdout == "0 b''\n"


# Standard streams that are closed, full or not UTF-8: one error line, never a traceback.


def closed(fd):
    return lambda: os.close(fd)


HMMER = os.path.join(os.path.dirname(__file__), "data", "hmmer", "search.tblout")


@pytest.mark.parametrize(
    ("args", "stdin", "stdout", "message"),
    [
        (
            ["gid"],
            b"RS_GCF_000005845.2\nGCF_000\xff1.1\n",
            None,
            "standard input, line 2: not UTF-8 (byte 0xff at column 8)",
        ),
        (
            ["gid", "RS_GCF_000005845.2", "G\udcffA"],
            b"",
            None,
            "argument 2 is not UTF-8: b'G\\xffA'",
        ),
        (["gid"], closed(0), None, "standard input is closed"),
        (["gid", "RS_GCF_000005845.2"], None, closed(1), "standard output is closed"),
        (["tophits", HMMER], None, closed(1), "standard output is closed"),
        (["kmers", "--skip-invalid", "{genome}"], None, closed(1), "standard output is closed"),
        (
            ["gid", "RS_GCF_000005845.2"],
            None,
            "/dev/full",
            "standard output: No space left on device",
        ),
        (["tophits", HMMER], None, "/dev/full", "standard output: No space left on device"),
    ],
)
def test_standard_stream_faults_are_one_line(genome, args, stdin, stdout, message):
    args = [a.format(genome=genome) for a in args]
    options = {}
    if callable(stdin) or callable(stdout):
        options["preexec_fn"] = stdin if callable(stdin) else stdout
    with contextlib.ExitStack() as stack:
        out = stack.enter_context(open(stdout, "wb")) if isinstance(stdout, str) else None
        result = subprocess.run(
            [sys.executable, "-m", "velko_tools", *args],
            timeout=120,
            input=stdin if isinstance(stdin, bytes) else None,
            stdin=subprocess.DEVNULL if stdin is None else None,
            stdout=out if out is not None else subprocess.PIPE,
            stderr=subprocess.PIPE,
            **options,
        )
    # The accessions before a bad one are written.
    expected_out = b"G000005845\n" if isinstance(stdin, bytes) else b""
    assert (result.returncode, result.stdout or b"") == (1, expected_out)
    assert result.stderr.decode() == f"velko: error: {message}\n"


def test_memory_error_is_one_line():
    source = textwrap.dedent("""
        import resource, sys
        from velko_tools.cli import main
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), resource.RLIM_INFINITY))
        sys.exit(main(["tophits", "/dev/zero"]))
        """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120
    )
    assert (result.returncode, result.stdout) == (1, "")
    assert re.fullmatch(
        r"velko: error: a line of the HMMER table needs about [0-9.]+ [MG]iB, "
        r"more than the [0-9.]+ [MG]iB available\n",
        result.stderr,
    )
