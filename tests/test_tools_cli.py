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
        (["gid"], "RS_GCF_000005845.2\n\nUBA12345.1\r\n", "G000005845\nUBA12345.1\n"),
        (["gid"], "", ""),
    ],
)
def test_gid(args, stdin, expected):
    result = velko(*args, input=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")


@pytest.mark.parametrize(
    "args",
    [[], ["nosuchcommand"], ["kmers"], ["kmers", "-k", "x", "a.fa"],
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
