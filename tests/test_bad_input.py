"""Malformed files of each format, each with the exact error it must raise, under a watchdog that
ends the run if anything hangs."""

import faulthandler
import random

import pytest
from panics import fasta_failure, panic_message

from velko.hmmer.tophit import TopHitFile
from velko.kmer import get_kmer_count_fasta

WATCHDOG_SECONDS = 60
UTF8 = "stream did not contain valid UTF-8"


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


BINARY = bytes(random.Random(5).randrange(256) for _ in range(4096))

FASTA_FAILURES = [
    ("blank line first", b"\n>a\nAC\n", "Expected > at record start."),
    ("byte-order mark", b"\xef\xbb\xbf>a\nAC\n", "Expected > at record start."),
    ("sequence before header", b"AC\n>a\nAC\n", "Expected > at record start."),
    ("indented header", b" >a\nAC\n", "Expected > at record start."),
    ("binary", b"\x00\xff" + BINARY, UTF8),
    ("bad byte in a later header", b">a\nAC\n>b\xff\nAC\n", UTF8),
    ("bad byte in sequence", b">a\nA\xffC\n", UTF8),
    ("truncated character at the end", b">a\nA\xc3", UTF8),
    ("overlong encoding", b">a\nA\xc0\xafC\n", UTF8),
    ("encoded surrogate", b">a\nA\xed\xa0\x80C\n", UTF8),
    ("above U+10FFFF", b">a\nA\xf4\x90\x80\x80C\n", UTF8),
    ("lone continuation byte in header", b">\x80\nAC\n", UTF8),
]


@pytest.mark.parametrize(("content", "cause"), [c[1:] for c in FASTA_FAILURES],
                         ids=[c[0] for c in FASTA_FAILURES])
def test_fasta_reader_errors(write_file, content, cause):
    path = write_file(content)
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(path, cause)


def test_fasta_os_errors(tmp_path):
    assert panic_message(lambda: get_kmer_count_fasta(str(tmp_path), 2, False)) == fasta_failure(
        str(tmp_path), "Is a directory (os error 21)")
    missing = str(tmp_path / "missing.fa")
    assert panic_message(lambda: get_kmer_count_fasta(missing, 2, False)) == fasta_failure(
        missing, "No such file or directory (os error 2)")
    nul = str(tmp_path) + "\x00x"
    assert panic_message(lambda: get_kmer_count_fasta(nul, 2, False)) == fasta_failure(
        str(tmp_path) + "\\0x", "data provided contains a nul byte")


def test_fasta_content_that_reads_but_does_not_count(write_file):
    path = write_file(b">a\nAC\x00GT\n")
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == (
        "called `Option::unwrap()` on a `None` value")


@pytest.mark.parametrize(
    ("content", "expected"),
    [
        (b"", {}),
        (b">", {"": 0}),
        (b">\n>r2\nAC\n", {"": 0, "r2": 1}),
        (b">a\x00b\nAC\n", {"a\x00b": 1}),
        # carriage returns alone do not end lines: one header, its description the rest
        (b">a\rAC\rGT\r", {"a": 0}),
        (b">a\r\nAC\r\nGT\r\n", {"a": 3}),
        (b">a\n" + b"A" * 5_000_000 + b"\n", {"a": 4_999_999}),
        (b">a\n" + b"AC" * 100_000 + b"\n" + b">b desc\n" * 3000, {"a": 199_999, "b": 0}),
    ],
    ids=["empty", "bare header", "bare header then record", "NUL in id", "CR only", "CRLF",
         "huge line", "many headers"],
)
def test_fasta_odd_but_valid(write_file, content, expected):
    result = get_kmer_count_fasta(write_file(content), 2, False)
    assert {key: value.total for key, value in result.items()} == expected


def tophit_read(path):
    table = TopHitFile(path)
    table.read()
    return table


INVALID_DATA = ('Cannot read file!: Error { kind: InvalidData, message: '
                '"stream did not contain valid UTF-8" }')
NONE = "called `Option::unwrap()` on a `None` value"

TOPHIT_FAILURES = [
    ("no tab", b"h\ng1\n", NONE),
    ("no comma", b"h\ng1\tPF1\n", NONE),
    ("no bit score", b"h\ng1\tPF1,1e-5\n", NONE),
    ("empty hit list", b"h\ng1\t\n", NONE),
    ("trailing semicolon", b"h\ng1\tPF1,1,2;\n", NONE),
    ("blank last line", b"h\ng1\tPF1,1,2\n\n", NONE),
    ("blank line inside", b"h\n\ng1\tPF1,1,2\n", NONE),
    ("bad e-value", b"h\ng1\tPF1,abc,1\n",
     "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"),
    ("empty e-value", b"h\ng1\tPF1,,1\n",
     "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Empty }"),
    ("blank before number", b"h\ng1\tPF1, 1,2\n",
     "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"),
    ("hexadecimal", b"h\ng1\tPF1,0x10,2\n",
     "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"),
    ("bad byte in a line", b"h\ng\xff\tPF1,1,2\n", INVALID_DATA),
    ("bad byte in the header", b"\xff\ng1\tPF1,1,2\n", INVALID_DATA),
    ("binary", BINARY, INVALID_DATA),
]


@pytest.mark.parametrize(("content", "message"), [c[1:] for c in TOPHIT_FAILURES],
                         ids=[c[0] for c in TOPHIT_FAILURES])
def test_tophit_reader_errors(write_file, content, message):
    path = write_file(content)
    assert panic_message(lambda: tophit_read(path)) == message


def test_tophit_os_errors(tmp_path):
    assert panic_message(lambda: tophit_read(str(tmp_path))) == (
        'Cannot read file!: Os { code: 21, kind: IsADirectory, message: "Is a directory" }')
    assert panic_message(lambda: tophit_read(str(tmp_path / "none.tsv"))) == (
        'Cannot read file!: Os { code: 2, kind: NotFound, message: "No such file or directory" }')
    assert panic_message(lambda: tophit_read(str(tmp_path / "a\x00b"))) == (
        'Cannot read file!: Error { kind: InvalidInput, message: "data provided contains a nul '
        'byte" }')


@pytest.mark.parametrize(
    ("content", "genes"),
    [
        (b"", {}),
        (b"h\n", {}),
        (b"h\rg1\tPF1,1,2\r", {}),
        (b"h\r\ng1\tPF1,1,2\r\n", {"g1": 2.0}),
        (b"h\ng\x001\tPF1,1,2\n", {"g\x001": 2.0}),
        (b"h\ng1\t" + ";".join(f"PF{i},1,{i}" for i in range(200_000)).encode(),
         {"g1": 199_999.0}),
    ],
    ids=["empty", "header only", "CR only", "CRLF", "NUL in id", "huge line"],
)
def test_tophit_odd_but_valid(write_file, content, genes):
    table = tophit_read(write_file(content))
    for gene, best in genes.items():
        assert table.get_top_hit(gene).bit_score == best
    assert not table.contains_gene_id("g1") or "g1" in genes
