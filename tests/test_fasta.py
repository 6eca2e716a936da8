"""Reading FASTA files and counting their records: get_kmer_count_fasta."""

import bisect
import gc
import os
import pathlib
import random
import re
import textwrap
import zlib

import pytest
from children import (
    ADDRESS_LIMIT,
    assert_interrupted,
    fifo_feeder,
    refusal,
    run_in_cgroup,
    run_python,
)
from hypothesis import given, settings
from hypothesis import strategies as st
from panics import fasta_failure

from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq

NONE_UNWRAP = "called `Option::unwrap()` on a `None` value"
EXPECTED_HEADER = "Expected > at record start."
NOT_UTF8 = "stream did not contain valid UTF-8"
NUL_IN_PATH = "data provided contains a nul byte"
BUFFER = 1 << 18  # the reader's buffer: lines crossing it are read in parts
BINARY = bytes(random.Random(5).randrange(256) for _ in range(4096))

pytestmark = pytest.mark.usefixtures("watchdog")

# Unicode White_Space, spelled out: str.isspace() also takes U+001C..U+001F.
WHITE_SPACE = frozenset(
    [
        *range(0x09, 0x0E),
        0x20,
        0x85,
        0xA0,
        0x1680,
        *range(0x2000, 0x200B),
        0x2028,
        0x2029,
        0x202F,
        0x205F,
        0x3000,
    ]
)
# Quoted paths follow one Unicode version, whatever the interpreter running the tests carries:
# the general categories of that version, as runs (first code point, category).
CATEGORY_RUNS = [
    (int(first, 16), category)
    for first, category in (
        line.split()
        for line in (pathlib.Path(__file__).parent / "data" / "unicode_categories.txt")
        .read_text()
        .splitlines()
        if not line.startswith("#")
    )
]
RUN_STARTS = [first for first, _ in CATEGORY_RUNS]
# Other_Grapheme_Extend of the same version.
OTHER_GRAPHEME_EXTEND = frozenset(
    [
        0x09BE,
        0x09D7,
        0x0B3E,
        0x0B57,
        0x0BBE,
        0x0BD7,
        0x0CC2,
        0x0CD5,
        0x0CD6,
        0x0D3E,
        0x0D57,
        0x0DCF,
        0x0DDF,
        0x1B35,
        0x200C,
        0x302E,
        0x302F,
        0xFF9E,
        0xFF9F,
        0x1133E,
        0x11357,
        0x114B0,
        0x114BD,
        0x115AF,
        0x11930,
        0x1D165,
        *range(0x1D16E, 0x1D173),
        *range(0xE0020, 0xE0080),
    ]
)


def category(ch):
    return CATEGORY_RUNS[bisect.bisect_right(RUN_STARTS, ord(ch)) - 1][1]


def escaped(ch):
    """Whether a quoted path writes `ch` as \\u{...}: it is not printable (Other or Separator,
    but the space, as str.isprintable() has it), or it extends a grapheme."""
    kind = category(ch)
    not_printable = kind[0] in "CZ" and ch != " "
    return not_printable or kind in ("Mn", "Me") or ord(ch) in OTHER_GRAPHEME_EXTEND


def quoted(path):
    out = ['"']
    for ch in path:
        special = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
        if ch in special:
            out.append(special[ch])
        elif escaped(ch):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return "".join(out) + '"'


def read_failure(path, cause):
    return fasta_failure(path, cause, quoted)


def os_failure(path, errno):
    return read_failure(path, f"{os.strerror(errno)} (os error {errno})")


def rstrip_white(text):
    end = len(text)
    while end > 0 and ord(text[end - 1]) in WHITE_SPACE:
        end -= 1
    return text[:end]


def parse(data):
    """The records completed before the first reader error, and that error (or None).

    A record is complete once the line after it (the next header) has been read: the reader
    reads one line ahead, so a bad header also takes the record before it down.
    """
    records, current = [], None
    for line in lf_lines(data):
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError:
            return records, NOT_UTF8
        if current is None and not text.startswith(">"):
            return records, EXPECTED_HEADER
        if text.startswith(">"):
            if current is not None:
                records.append(current)
            header = rstrip_white(text[1:])
            cut = next((i for i, c in enumerate(header) if ord(c) in WHITE_SPACE), len(header))
            current = [header[:cut], ""]
        else:
            current[1] += rstrip_white(text)
    if current is not None:
        records.append(current)
    return records, None


def lf_lines(data):
    # Only the line feed ends a line; bytes.splitlines would also split at a carriage return.
    parts = data.split(b"\n")
    lines = [part + b"\n" for part in parts[:-1]]
    return lines + [parts[-1]] if parts[-1] else lines


def outcome(call):
    try:
        return "ok", call()
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == "PanicException"
        return "panic", str(error)


def as_tuple(result):
    return result.k, result.total, result.counts


def expected(path, data, k, both):
    """What counting the file must give: each complete record counted on its own, in order."""
    records, error = parse(data)
    results = {}
    for name, seq in records:
        status, value = outcome(lambda seq=seq: get_kmer_count_seq(seq, k, both))
        if status == "panic":
            return status, value
        results[name] = as_tuple(value)
    if error is not None:
        return "panic", read_failure(path, error)
    return "ok", results


def actual(path, k, both):
    status, value = outcome(lambda: get_kmer_count_fasta(path, k, both))
    if status == "ok":
        value = {name: as_tuple(result) for name, result in value.items()}
    return status, value


def check(path, data, k, both):
    assert actual(path, k, both) == expected(path, data, k, both)


# ---- the reader's rules, each checked against counting every record by itself ------------------

FILES = {
    "empty file": b"",
    "two records": b">a\nACGT\n>b\nAAAA\n",
    "description ignored": b">seq1 a description\nACGTAC\n",
    "lines joined, windows span them": b">r\nAC\nGT\nTTGA\n",
    "crlf line ends": b">r1 x\r\nACG\r\nTTA\r\n>r2\r\nGG\r\n",
    "last line without line feed": b">r\nACGT\nGA",
    "header after header": b">a\n>b\nAC\n",
    "duplicates: the later replaces the earlier": b">x\nACGT\n>x\nAAAA\n>y\nC\n>x\nGG\n",
    "bare > is a record and later records count": b">\n>r2\nAC\n",
    "bare > at the end of the file": b">",
    "NUL in an id": b">a\x00b\nAC\n",
    "empty id with description": b"> x\nAC\n",
    "header split at tab, description kept": b">r1\t  y z \t\nAC\n",
    "header split at unicode space": ">r\u00a0d\n>s\u3000e\n>t\u2003f\u205fg\nAC\n".encode(),
    "unicode space trimmed at end": ">r\u2029\nAC\u00a0\u1680\n\u0085\nGT\u202f\u2000\n".encode(),
    "non-space look-alikes stay": ">r\u200b\nA\n>s\x1c\nC\n".encode(),
    "trailing-byte of a space is not a space": ">r\nACà\n".encode(),
    "blank and white-space lines add nothing": b">r\n\n  \t \nAC\n\n",
    "white space inside a line aborts counting": b">r\nAC GT\n",
    "lower case aborts counting": b">a\nACGT\n>b\nacgt\n",
    "NUL in a sequence aborts counting": b">a\nAC\x00GT\n",
    "character boundary message quotes the joined text": ">r\nAé\nC\n".encode(),
    "carriage returns alone make one line": b">r1 a\rACGT\rTT\r\n",
    "sequence before the first header": b"ACGT\n>r\nAC\n",
    "leading blank line": b"\n>r\nAC\n",
    "byte-order mark": b"\xef\xbb\xbf>r\nAC\n",
    "first line starts with white space": b" >r\nAC\n",
    "first line not utf-8 reports utf-8": b"\xff\n>r\n",
    "invalid byte in the sequence": b">a\nAC\n>b\nA\xffC\n",
    "invalid header loses the record before it": b">a\nAC\n>b\xc3\n",
    "invalid header beats the count abort before it": b">a\nac\n>b\x80\n",
    "count abort before a later bad line": b">a\nac\n>b\nA\n\xff\n",
    "truncated character at end of file": b">a\nAC\xe2\x82",
    "truncated character before line feed": b">a\nAC\xe2\x82\nGT\n",
    "overlong encoding": b">a\nA\xc0\xafC\n",
    "overlong three-byte": b">a\n\xe0\x80\xafC\n",
    "encoded surrogate": b">a\nA\xed\xa0\x80\n",
    "above U+10FFFF": b">a\nA\xf4\x90\x80\x80\n",
    "continuation without lead": b">a \x80\nA\n",
    "continuation without lead as the id": b">\x80\nAC\n",
    "binary": b"\x00\xff" + BINARY,
    "four-byte character is fine": ">a\U0001f600\nAC\n".encode(),
}


@pytest.mark.parametrize("both", [False, True])
@pytest.mark.parametrize("k", [0, 1, 2, 3])
@pytest.mark.parametrize("data", FILES.values(), ids=FILES.keys())
def test_reader_rules(write_file, data, k, both):
    check(write_file(data), data, k, both)


@pytest.mark.parametrize("k", [4, 7, 8])
def test_both_strands_for_records_short_and_long_against_their_k(write_file, k):
    # Records with far fewer windows than k-mers and with more, in lines of 60: each way of
    # adding the reverse strand must agree with counting the reverse complement.
    rng = random.Random(k)
    records = []
    for length in (0, 3, 9, 60, 700, 3000, 4200, 9000, 17000, 40000):
        seq = bytes(rng.choice(b"ACGT") for _ in range(length))
        lines = b"".join(seq[i : i + 60] + b"\n" for i in range(0, length, 60))
        records.append(b">r%d\n%s" % (length, lines))
    data = b"".join(records) + b">palindromes\n" + b"ACGT" * 50 + b"\n"
    check(write_file(data), data, k, True)


def test_examples(write_file):
    path = write_file(b">a\nACGT\n>b some text\nAA\nAA\n")
    result = get_kmer_count_fasta(path, 2, True)
    assert sorted(result) == ["a", "b"]
    assert (result["a"].total, result["b"].total) == (6, 6)
    assert result["b"].counts[0] == 3 and result["b"].counts[15] == 3  # AA and TT
    assert get_kmer_count_fasta(write_file(b""), 200, False) == {}


# Pieces that make the reader's life hard: line ends, Unicode white space, characters cut by
# anything, bytes that are not UTF-8, headers.
PIECES = [
    b">",
    b">",
    b"A",
    b"C",
    b"G",
    b"T",
    b"\n",
    b"\n",
    b"\r\n",
    b" ",
    b"\t",
    b"\x0c",
    b"\x1c",
    b"x",
    "\u00e9".encode(),
    "\u00a0".encode(),
    "\u2003".encode(),
    "\u3000".encode(),
    "\u0085".encode(),
    "\U0001f600".encode(),
    b"\xef\xbb\xbf",
    b"\xc3",
    b"\xe2\x80",
    b"\xed\xa0\x80",
    b"\xe0\x80\x80",
    b"\xf4\x90\x80\x80",
]


@settings(max_examples=300, deadline=None)
@given(
    pieces=st.lists(st.sampled_from(PIECES), max_size=40),
    header_first=st.booleans(),
    k=st.integers(0, 3),
    both=st.booleans(),
)
def test_any_file_reads_as_its_records_count(tmp_path_factory, pieces, header_first, k, both):
    data = (b">" if header_first else b"") + b"".join(pieces)
    path = tmp_path_factory.mktemp("any") / "f.fa"
    path.write_bytes(data)
    check(str(path), data, k, both)


# Lines of tens to hundreds of letters, so that plain lines are gathered many to a 64-byte block
# and across blocks, with the hard pieces falling anywhere among them.
LONG_PIECES = [b"ACGTTGCA" * n + b"\n" for n in (1, 7, 8, 9, 16, 40)] + [b"ACGTA" * 13]


@settings(max_examples=150, deadline=None)
@given(
    pieces=st.lists(st.sampled_from(PIECES + LONG_PIECES * 4), max_size=60),
    k=st.integers(1, 3),
    both=st.booleans(),
)
def test_files_of_long_lines_read_as_their_records_count(tmp_path_factory, pieces, k, both):
    data = b">r\n" + b"".join(pieces)
    path = tmp_path_factory.mktemp("long") / "f.fa"
    path.write_bytes(data)
    check(str(path), data, k, both)


# ---- lines longer than the reader's buffer, and features that straddle it ---------------------

STRADDLERS = {
    "crlf": b"\r\n",
    "no-break space at line end": "\u00a0\n".encode(),
    "ideographic space at line end": "\u3000\n".encode(),
    "character in a line": "C\u00e9AC\n".encode(),
    "four-byte character": "\U0001f600\n".encode(),
    "header": b"\n>next desc\nACGT\n",
    "invalid byte": b"A\xe2\x28\xa1\n",
    "truncated at line end": b"A\xe2\x82\n",
}


@pytest.mark.parametrize("shift", range(-4, 3))
@pytest.mark.parametrize("piece", STRADDLERS.values(), ids=STRADDLERS.keys())
def test_features_straddling_the_buffer(write_file, piece, shift):
    head = b">r\n"
    body = b"ACGT" * ((BUFFER + shift - len(head)) // 4) + b"A" * ((BUFFER + shift - len(head)) % 4)
    data = head + body + piece + b"GATTACA\n"
    path = write_file(data)
    check(path, data, 0, False)
    check(path, data, 1, True)


@pytest.mark.parametrize(
    "data",
    [
        # a sequence line of many buffers
        b">a\n" + b"A" * 5_000_000 + b"\n",
        # a sequence line of 2.5 buffers, with white space that only the end decides about
        b">r\n" + b"ACGT" * (BUFFER * 5 // 8) + b" \t" + b"AC" * 10 + "\u00a0 \r\n".encode(),
        # white space longer than the buffer, inside a line and at its end
        b">r\nA" + b" " * (BUFFER + 7) + b"C\n>s\nG" + b"\t" * (BUFFER * 2) + b"\n>t\nT",
        # a header longer than the buffer, its description too
        b">" + b"n" * (BUFFER + 3) + b" " + b"d" * BUFFER + b"\nACGT\n>m\nAC\n",
        # thousands of short records across several buffers
        b"".join(b">r%d\n%s\n" % (i, b"ACGT"[i % 4 :] * 9) for i in range(20000)),
        # a record of many short lines, counted in several gathered pieces
        b">big\n" + b"".join(b"ACGTTGCA"[i % 8 :] * 7 + b"G\n" for i in range(9000)) + b">s\nAC\n",
        # text that is not ASCII early on, then a bad byte some buffers later
        ">\u00e9\n".encode() + (b"ACGT" * 15 + b"\n") * 15000 + b"A\xff\n",
        (b"ACGT" * 15 + b"\n").join([b">a\n"] * 4000 + [">\u00e9 x\n".encode()] + [b""] * 8000)
        + b">b\n\xe2\x82\n",
    ],
    ids=[
        "line of many buffers",
        "long line",
        "long white space",
        "long header",
        "many records",
        "many lines",
        "late bad byte",
        "bad byte after a late character",
    ],
)
def test_long_lines(write_file, data):
    path = write_file(data)
    check(path, data, 0, False)
    check(path, data, 3, True)


# ---- the file itself: open errors and the quoted path ------------------------------------------


def test_missing_file_directory_and_nul(tmp_path):
    missing = str(tmp_path / "missing.fa")
    assert actual(missing, 2, False) == ("panic", os_failure(missing, 2))
    assert actual(str(tmp_path), 2, False) == ("panic", os_failure(str(tmp_path), 21))
    # The system would open the truncated path, which here exists.
    with_nul = str(tmp_path) + "\0ignored"
    assert actual(with_nul, 2, False) == ("panic", read_failure(with_nul, NUL_IN_PATH))


@pytest.mark.parametrize(
    ("name", "shown"),
    [
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("t\tr\rn\n", '"t\\tr\\rn\\n"'),
        ("it's é", '"it\'s é"'),
        ("\x1b[0m", '"\\u{1b}[0m"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u00a0x\u200c", '"\\u{a0}x\\u{200c}"'),
        ("\U000e0041\u0378", '"\\u{e0041}\\u{378}"'),
        # Assigned in Unicode 15.0 (printable on every interpreter), then in 15.1 (still escaped).
        ("\U00031350", '"\U00031350"'),
        ("\u31ef\U0002ebf0", '"\\u{31ef}\\u{2ebf0}"'),
    ],
)
def test_quoted_path_examples(name, shown):
    assert quoted(name) == shown  # the oracle itself, pinned on known renderings
    path = "/nonexistent-velko/" + name
    assert actual(path, 1, False) == ("panic", os_failure(path, 2))


@settings(max_examples=200, deadline=None)
@given(
    st.text(
        st.characters(blacklist_categories=("Cs",), blacklist_characters="/\0"),
        min_size=1,
        max_size=12,
    )
)
def test_any_path_is_quoted_by_the_pinned_unicode(name):
    path = "/nonexistent-velko/" + name
    assert actual(path, 1, False) == ("panic", os_failure(path, 2))


# ---- arguments and memory ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (
            (b"f.fa", 2, False),
            TypeError,
            "argument 'path': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            (pathlib.Path("f.fa"), 2, False),
            TypeError,
            "argument 'path': 'PosixPath' object cannot be converted to 'PyString'",
        ),
        (
            ("f.fa", 2, 1),
            TypeError,
            "argument 'use_rev_complement': 'int' object cannot be converted to 'PyBool'",
        ),
        (("f.fa", 256, False), OverflowError, "out of range integral type conversion attempted"),
        (
            ("f.fa", 2),
            TypeError,
            "get_kmer_count_fasta() missing 1 required positional argument: 'use_rev_complement'",
        ),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        get_kmer_count_fasta(*args)
    assert type(info.value) is error and str(info.value) == message


def test_keywords_in_any_order(write_file):
    path = write_file(b">a\nAC\n")
    assert get_kmer_count_fasta(use_rev_complement=False, k=1, path=path)["a"].total == 2


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def k_for_share(share):
    """The smallest k whose one count list exceeds `share` of the physical memory."""
    return next(k for k in range(1, 32) if 8 * 4**k > physical_memory() * share)


@pytest.mark.parametrize(
    ("records", "share"),
    [(1, 1.0), (3, 1 / 3)],  # one list too large; lists that fit alone but not all together
    ids=["one record", "running total"],
)
def test_results_beyond_memory_raise_memory_error(write_file, records, share):
    k = k_for_share(share)
    assert 8 * 4**k <= physical_memory() or records == 1
    path = write_file(b"".join(b">r%d\nACGT\n" % i for i in range(records)))
    with pytest.raises(MemoryError):
        get_kmer_count_fasta(path, k, False)
    with pytest.raises(MemoryError):
        get_kmer_count_fasta(path, 40, False)


# ---- limits and interruption ------------------------------------------------------------------


def fasta_call(path, k=8):
    return f"get_kmer_count_fasta({path!r}, {k}, False)"


SETUP = "from velko.kmer import get_kmer_count_fasta"


def gzip_stream(prefix, chunk):
    """The compressed `prefix` (with the gzip header) and compressed `chunk`, each ending in a
    full flush so that any number of copies of the chunk may follow the prefix."""
    compressor = zlib.compressobj(6, zlib.DEFLATED, 31)
    head = compressor.compress(prefix) + compressor.flush(zlib.Z_FULL_FLUSH)
    return head, compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)


ENDLESS = [
    ("sequence lines", b">r\n", b"ACGTTGCA" * 8191 + b"\n", 8),
    ("one endless sequence line", b">r\n", b"ACGTTGCA" * 8192, 8),
    ("endless description", b">r ", b"description " * 8192, 8),
    ("endless white space in a line", b">r\nACGT", b" \t" * 32768, 8),
    ("many records", b"", b">r\n" + b"ACGT" * 256 + b"\n", 2),
    ("gzip", *gzip_stream(b">r\n", b"ACGTTGCA" * 8191 + b"\n"), 8),
]


@pytest.mark.parametrize(
    ("prefix", "chunk", "k"), [c[1:] for c in ENDLESS], ids=[c[0] for c in ENDLESS]
)
def test_ctrl_c_stops_reading_an_endless_file(tmp_path, prefix, chunk, k):
    with fifo_feeder(str(tmp_path / "fifo"), chunk, prefix=prefix) as path:
        assert_interrupted(fasta_call(path, k), setup=SETUP)


def test_ctrl_c_stops_reading_a_first_line_that_never_ends():
    assert_interrupted(fasta_call("/dev/zero", 2), setup=SETUP)


def test_ctrl_c_stops_waiting_for_a_writer(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    assert_interrupted(fasta_call(path), setup=SETUP)


def test_ctrl_c_stops_counting_a_large_file(tmp_path):
    path = tmp_path / "large.fa"
    line = b"".join(random.Random(2).choices([b"A", b"C", b"G", b"T"], k=8191)) + b"\n"
    path.write_bytes(b">r\n" + line * 16384)  # 128 MiB at k = 12: about a second of work
    assert_interrupted(fasta_call(str(path), 12), setup=SETUP)


# What the reader only scans is never held: a long description or a long run of white space costs
# no memory. The child reports its peak resident size before and after the call.
SCANNED = [
    ("description", b">r1 ", b" x" * 8192, b"\nACGT\n", {"r1": 1}),
    (
        "white space ending a line",
        b">r1\nACGT",
        b" " * 8192 + "\u3000".encode() * 4096,
        b"\n>r2\nACGTA\n",
        {"r1": 1, "r2": 2},
    ),
    (
        "white space inside a line",
        b">r1\nA",
        b" " * 8192 + b"\t" * 8192,
        b"C\n",
        {"r1": (1 << 28) + 2},
    ),
]


@pytest.mark.parametrize(
    ("prefix", "chunk", "suffix", "expected"), [c[1:] for c in SCANNED], ids=[c[0] for c in SCANNED]
)
def test_scanned_text_is_not_held(tmp_path, prefix, chunk, suffix, expected):
    k = 0 if expected.get("r1", 0) > 1 else 4
    repeat = (1 << 28) // len(chunk)
    with fifo_feeder(str(tmp_path / "fifo"), chunk, prefix, suffix, repeat) as path:
        source = ADDRESS_LIMIT + textwrap.dedent(f"""
            from velko.kmer import get_kmer_count_fasta
            before = peak_rss()
            totals = {{key: value.total for key, value in
                      get_kmer_count_fasta({path!r}, {k}, False).items()}}
            print(totals, peak_rss() - before < (64 << 20))
            """)
        result = run_python(source)
    assert (result.stdout, result.stderr) == (f"{expected} True\n", "")


def test_a_record_id_counts_against_the_memory_limit(tmp_path):
    with fifo_feeder(str(tmp_path / "fifo"), b"\0" * 65536, prefix=b">") as path:
        source = ADDRESS_LIMIT + textwrap.dedent(f"""
            from velko.kmer import get_kmer_count_fasta
            limit_address_space(256 << 20)
            try:
                get_kmer_count_fasta({path!r}, 2, False)
            except MemoryError as error:
                print(error)
            """)
        result = run_python(source)
    match = refusal(result)
    assert (match["what"], match["detail"]) == ("a record id", None)


def test_many_records_are_refused_under_a_cgroup_limit(tmp_path):
    path = tmp_path / "reads.fa"
    path.write_bytes(b"".join(b">r%d\nACGTACGT\n" % i for i in range(100_000)))
    source = textwrap.dedent(f"""
        from velko.kmer import get_kmer_count_fasta
        try:
            get_kmer_count_fasta({str(path)!r}, 8, False)
        except MemoryError as error:
            print(error)
        """)
    result = run_in_cgroup(source, 512 << 20)
    if result is None:
        pytest.skip("no memory cgroup can be made here")
    match = refusal(result)
    assert match["what"] == "k = 8"
    assert re.fullmatch(r" \(4\^8 counts for each of [0-9]+ records\)", match["detail"])


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="the sanitizer's quarantine keeps freed memory resident",
)
@pytest.mark.parametrize(("k", "keep_every"), [(5, 1000), (6, 7), (9, 13)])
def test_kept_results_hold_about_their_own_size(tmp_path, k, keep_every):
    # Many short records share each count block; keeping a few must not keep the blocks.
    path = tmp_path / "reads.fa"
    rng = random.Random(k)
    reads = 120_000_000 // (8 * 4**k)
    with open(path, "w") as out:
        for i in range(reads):
            out.write(f">r{i}\n{''.join(rng.choices('ACGT', k=150))}\n")
    gc.collect()
    before = resident_bytes()
    results = get_kmer_count_fasta(str(path), k, False)
    assert resident_bytes() - before > 100_000_000
    kept = [results[f"r{i}"] for i in range(0, reads, keep_every)]
    del results
    gc.collect()
    own = len(kept) * 8 * 4**k
    assert resident_bytes() - before < own + 12_000_000
    assert all(r.total == 151 - k for r in kept[:3])


def reference_counts(seq, k):
    counts = [0] * 4**k
    index = 0
    for i, letter in enumerate(seq):
        index = (index * 4 + "ACGT".index(letter)) % 4**k
        if i + 1 >= k:
            counts[index] += 1
    return counts


@pytest.mark.parametrize("k", [3, 6])
def test_lines_of_every_length(write_file, k):
    # Line ends fall at every place of the counting blocks, once per width from 1 to 300.
    rng = random.Random(k)
    records = {}
    text = []
    for width in range(1, 301):
        seq = "".join(rng.choices("ACGT", k=2 * width + 37 + rng.randrange(64)))
        records[f"w{width}"] = seq
        text.append(
            f">w{width}\n" + "\n".join(seq[i : i + width] for i in range(0, len(seq), width))
        )
    results = get_kmer_count_fasta(write_file("\n".join(text) + "\n"), k, False)
    assert {name: r.counts for name, r in results.items()} == {
        name: reference_counts(seq, k) for name, seq in records.items()
    }
