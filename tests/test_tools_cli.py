"""The velko command: subcommands, outputs read back, error lines and exit statuses."""

import shutil
import subprocess
import sys

import pytest


def velko(*args, input=None):
    return subprocess.run(
        [sys.executable, "-m", "velko_tools", *args],
        capture_output=True, text=True, input=input, timeout=120,
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


@pytest.mark.parametrize(
    "args",
    [[], ["nosuchcommand"], ["kmers"], ["kmers", "-k", "x", "a.fa"], ["kmers", "-k", "0", "a.fa"],
     ["kmers", "-k", "32", "a.fa"], ["kmers", "--threads", "0", "a.fa"],
     ["kmers", "--strands", "reverse", "a.fa"]],
)
def test_usage_errors_exit_2(args):
    result = velko(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: velko")


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
    return header, [row[0] for row in rows], [row[1:] for row in rows]


def test_kmers_tsv_to_stdout(genome):
    result = velko("kmers", "-k", "1", "--skip-invalid", str(genome))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "id\tA\tC\tG\tT\nr1\t3\t2\t2\t2\nr2\t4\t0\t0\t0\n"


def test_kmers_frequencies_per_file(genome):
    result = velko("kmers", "-k", "1", "--skip-invalid", "--per-file", "--frequencies",
                   str(genome), str(genome))
    header, ids, values = read_tsv(result.stdout)
    assert header == ["id", "A", "C", "G", "T"]
    assert ids == [str(genome), str(genome)]
    assert [float(v) for v in values[0]] == [7 / 13, 2 / 13, 2 / 13, 2 / 13]


@pytest.mark.parametrize("suffix", [".tsv", ".tsv.gz", ".npz"])
@pytest.mark.parametrize("strands", ["forward", "both", "canonical"])
def test_kmers_outputs_read_back(tmp_path, genome, suffix, strands):
    from velko_tools import count_kmers

    out = tmp_path / f"table{suffix}"
    result = velko("kmers", "-k", "2", "--strands", strands, "--skip-invalid", "--threads", "2",
                   "-o", str(out), str(genome))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    expected = count_kmers(genome, 2, strands=strands, invalid="skip")
    if suffix == ".npz":
        with np.load(out) as arrays:
            assert arrays["ids"].tolist() == expected.ids
            assert arrays["kmers"].tolist() == expected.kmers
            assert arrays["counts"].dtype == np.uint64
            assert (arrays["counts"] == expected.counts).all()
            assert (arrays["windows"] == expected.windows).all()
            assert (arrays["skipped"] == expected.skipped).all()
        return
    pandas = pytest.importorskip("pandas")
    frame = pandas.read_csv(out, sep="\t", index_col="id")
    assert list(frame.index) == expected.ids
    assert list(frame.columns) == expected.kmers
    assert (frame.to_numpy() == expected.counts).all()


def test_kmers_parquet(tmp_path, genome):
    out = tmp_path / "t.parquet"
    result = velko("kmers", "-k", "2", "--skip-invalid", "-o", str(out), str(genome))
    try:
        import pyarrow.parquet
    except ImportError:
        assert result.returncode == 2
        assert result.stderr.endswith(
            "velko: error: writing .parquet needs pyarrow: pip install pyarrow\n")
        assert not out.exists()
        return
    assert result.returncode == 0
    table = pyarrow.parquet.read_table(out)
    assert table.column_names[:3] == ["id", "AA", "AC"]
    assert table.column("id").to_pylist() == ["r1", "r2"]


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (b">r1\nACGTac\ngtNA\n", [], "{path}:3:3: invalid base 'N' in record 'r1'"),
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


def test_kmers_missing_file_exit_1(tmp_path):
    result = velko("kmers", str(tmp_path / "nope.fa"))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"velko: error: {tmp_path / 'nope.fa'}: No such file or directory\n"


def test_kmers_unknown_output_suffix_is_usage_error(tmp_path, genome):
    result = velko("kmers", "-o", str(tmp_path / "t.csv"), str(genome))
    assert result.returncode == 2
    assert result.stderr.endswith(
        f"velko: error: cannot tell the output format of {str(tmp_path / 't.csv')!r}: name it "
        ".tsv, .tsv.gz, .npz or .parquet\n")


def test_kmers_closed_pipe_is_quiet(tmp_path):
    path = tmp_path / "many.fa"
    path.write_text("".join(f">r{i}\nACGTACGT\n" for i in range(20000)))
    source = (f"import subprocess, sys; p = subprocess.Popen([sys.executable, '-m', "
              f"'velko_tools', 'kmers', {str(path)!r}], stdout=subprocess.PIPE, "
              "stderr=subprocess.PIPE); p.stdout.readline(); p.stdout.close(); "
              "err = p.stderr.read(); print(p.wait(), repr(err))")
    result = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout == "0 b''\n"
