"""velko.hmmer.tophit: Hit, the top-hit table, and its tab-separated file."""

import math
import os
import random
import stat
import subprocess
import sys
import textwrap
from decimal import Decimal

import pytest
from children import (
    ADDRESS_LIMIT,
    assert_interrupted,
    fifo_feeder,
    refusal,
    run_python,
)
from hypothesis import given, settings
from hypothesis import strategies as st
from panics import panic_message

import velko  # noqa: F401  (publishes the submodules)
from velko.hmmer.tophit import Hit, TopHitFile

HEADER = "Gene Id\tTop hits (Family id,e-value,bitscore)\n"
NONE_UNWRAP = "called `Option::unwrap()` on a `None` value"
PARSE_INVALID = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"
PARSE_EMPTY = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Empty }"
NUL_ERROR = 'Error { kind: InvalidInput, message: "data provided contains a nul byte" }'
NAN = float("nan")
INF = float("inf")
BINARY = bytes(random.Random(5).randrange(256) for _ in range(4096))

pytestmark = pytest.mark.usefixtures("watchdog")


def os_error(code, kind):
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def table_of(path, *hits):
    table = TopHitFile(str(path))
    for hit in hits:
        table.add_hit(*hit)
    return table


def read_score(write_file, text):
    """The e-value that reading `text` as a number gives, or the abort message."""
    path = write_file(HEADER + f"g\tPF,{text},1\n")
    table = TopHitFile(path)
    try:
        table.read()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        assert type(error).__name__ == "PanicException"
        return error.args[0]
    return table.get_hmm_hit("g", "PF").e_val


# Number format: shortest round-trip digits, laid out positionally.


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (1e-5, "0.00001"),
        (50.5, "50.5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (100.0, "100"),
        (1e21, "1" + "0" * 21),
        (1e22, "1" + "0" * 22),
        (1e23, "1" + "0" * 23),
        (1e300, "1" + "0" * 300),
        (1.5e300, "15" + "0" * 299),
        (1e-7, "0.0000001"),
        (1e-200, "0." + "0" * 199 + "1"),
        (5e-324, "0." + "0" * 323 + "5"),
        (0.1 + 0.2, "0.30000000000000004"),
        (-3.25, "-3.25"),
        (123456.789, "123456.789"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (NAN, "NaN"),
        (-NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
        (7, "7"),
    ],
)
def test_number_format(value, text):
    assert Hit("g", "p", value, 0.5).hmm_str() == f"p,{text},0.5"


def decimal_oracle(x):
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_number_format_matches_decimal_oracle(x):
    assert repr(Hit("", "", 0.0, x)) == f"  (0/{decimal_oracle(x)})"


# Number grammar, as the reader applies it to every score field.


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("1e-5", 1e-5),
        ("1E-5", 1e-5),
        ("+3", 3.0),
        ("-3", -3.0),
        (".5", 0.5),
        ("+.5", 0.5),
        ("5.", 5.0),
        ("-0", -0.0),
        ("0.000", 0.0),
        ("Infinity", INF),
        ("+inf", INF),
        ("-INF", -INF),
        ("1e400", INF),
        ("-1e400", -INF),
        ("1e-400", 0.0),
        ("-1e-400", -0.0),
        ("0e99999999999999999999", 0.0),
        ("1" + "0" * 400, INF),
        ("0." + "0" * 400 + "1", 0.0),
        ("1e-310", 1e-310),
        ("0.30000000000000004", 0.1 + 0.2),
        ("00012.5000", 12.5),
    ],
)
def test_number_grammar_accepts(write_file, text, value):
    got = read_score(write_file, text)
    assert got == value and math.copysign(1, got) == math.copysign(1, value)


@pytest.mark.parametrize("text", ["nan", "-nan", "NaN", "+NAN"])
def test_number_grammar_reads_nan(write_file, text):
    assert math.isnan(read_score(write_file, text))


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("", PARSE_EMPTY),
        ("+", PARSE_INVALID),
        ("-", PARSE_INVALID),
        (".", PARSE_INVALID),
        ("1e", PARSE_INVALID),
        ("1e+", PARSE_INVALID),
        ("e5", PARSE_INVALID),
        (" 1", PARSE_INVALID),
        ("1 ", PARSE_INVALID),
        ("1_0", PARSE_INVALID),
        ("0x10", PARSE_INVALID),
        ("nan(1)", PARSE_INVALID),
        ("infin", PARSE_INVALID),
        ("++1", PARSE_INVALID),
        ("1.2.3", PARSE_INVALID),
        ("abc", PARSE_INVALID),
        ("1e5.5", PARSE_INVALID),
        ("１", PARSE_INVALID),
    ],
)
def test_number_grammar_refuses(write_file, text, message):
    assert read_score(write_file, text) == message


@settings(max_examples=60, deadline=None)
@given(
    x=st.floats(allow_nan=False),
    style=st.sampled_from(["{!r}", "{:.16e}", "{:+.17g}", "{:+.17E}"]),
)
def test_python_number_texts_read_exactly(tmp_path_factory, x, style):
    path = tmp_path_factory.mktemp("num") / "top.tsv"
    path.write_text(HEADER + f"g\tPF,{style.format(x)},1\n")
    table = TopHitFile(str(path))
    table.read()
    got = table.get_hmm_hit("g", "PF").e_val
    assert got == x and math.copysign(1, got) == math.copysign(1, x)


# Hit


def test_hit_fields_and_forms():
    hit = Hit(gene_id="g1", hmm_id="PF1", e_val=1e-5, bit_score=7)
    assert (hit.gene_id, hit.hmm_id, hit.e_val, hit.bit_score) == ("g1", "PF1", 1e-5, 7.0)
    assert type(hit.bit_score) is float
    assert repr(hit) == str(hit) == "g1 PF1 (0.00001/7)"
    assert hit.hmm_str() == "PF1,0.00001,7"
    assert repr(Hit("", "", 1.0, 2.0)) == "  (1/2)"
    assert Hit("", "", 1.0, 2.0).hmm_str() == ",1,2"


def test_hit_class_surface():
    hit = Hit("g", "p", 1.0, 2.0)
    with pytest.raises(TypeError):
        hash(hit)
    with pytest.raises(AttributeError):
        hit.e_val = 3.0
    with pytest.raises(TypeError):
        type("Sub", (Hit,), {})
    with pytest.raises(TypeError) as info:
        Hit("g", "p", 1.0)
    assert str(info.value) == "Hit.__new__() missing 1 required positional argument: 'bit_score'"
    with pytest.raises(TypeError) as info:
        Hit("g", "p", "1", 2.0)
    assert str(info.value) == "argument 'e_val': must be real number, not str"
    assert Hit.__module__ == "builtins" and Hit.__doc__ is None


# (e_val, bit_score) of the left and right hit, then <, <=, ==, !=, >, >=.
@pytest.mark.parametrize(
    ("left", "right", "expected"),
    [
        ((1e-3, 30), (1e-50, 29), (False, False, False, True, True, True)),
        ((1e-5, 30), (1e-10, 30), (True, True, False, True, False, False)),
        ((1e-10, 30), (1e-5, 30), (False, False, False, True, True, True)),
        ((1e-5, 30), (1e-5, 30), (False, True, True, False, False, True)),
        ((0.0, 30), (-0.0, 30), (False, True, True, False, False, True)),
        ((1e-5, NAN), (1e-5, 30), (False, False, False, True, True, True)),
        ((1e-5, 30), (1e-5, NAN), (False, False, False, True, True, True)),
        ((NAN, 30), (1e-5, 30), (False, False, False, True, True, True)),
        ((1e-5, 30), (NAN, 30), (False, False, False, True, True, True)),
        ((NAN, 30), (NAN, 31), (True, True, False, True, False, False)),
    ],
)
def test_hit_comparisons(left, right, expected):
    a, b = Hit("g", "p", *left), Hit("g", "p", *right)
    assert (a < b, a <= b, a == b, a != b, a > b, a >= b) == expected


def test_hit_equality_needs_identifiers_and_real_numbers():
    a, b = Hit("g", "PF1", 1e-5, 30), Hit("g", "PF2", 1e-5, 30)
    assert (a <= b, a >= b, a < b, a > b, a == b, a != b) == (True, True, False, False, False, True)
    assert Hit("g1", "p", 1, 2) != Hit("G1", "p", 1, 2)
    nan_hit = Hit("g", "p", 1e-5, NAN)
    assert not nan_hit == nan_hit and nan_hit != nan_hit


def test_hit_against_other_types():
    hit = Hit("g", "p", 1.0, 2.0)
    assert (hit == 5, hit != 5, hit == "g p (1/2)") == (False, True, False)
    with pytest.raises(TypeError):
        hit < 5  # noqa: B015
    with pytest.raises(TypeError):
        5 >= hit  # noqa: B015


# The table


def test_new_table_is_empty(tmp_path):
    table = TopHitFile("")
    assert table.path == ""
    assert (table.contains_gene_id("g"), table.contains_gene_hmm("g", "p")) == (False, False)
    assert (table.get_top_hit("g"), table.get_hmm_hit("g", "p")) == (None, None)


def test_membership(tmp_path):
    table = table_of(tmp_path / "t", ("g", "PF1", 1e-5, 50))
    assert table.contains_gene_id("g")
    assert (table.contains_gene_id("G"), table.contains_gene_id("g ")) == (False, False)
    assert table.contains_gene_hmm("g", "PF1")
    assert (table.contains_gene_hmm("g", "PF2"), table.contains_gene_hmm("h", "PF1")) == (
        False,
        False,
    )


# Each offer for one pair, and the (e_val, bit_score) stored after it.
REPLACEMENTS = [
    ((1e-5, 50), (1e-5, 50)),
    ((1e-3, 40), (1e-5, 50)),  # worse bit score: kept
    ((1e-9, 60), (1e-9, 60)),  # better bit score: replaced
    ((1e-12, 60), (1e-12, 60)),  # equal bit score, smaller e-value: replaced
    ((1e-3, 60), (1e-12, 60)),  # equal bit score, larger e-value: kept
    ((1.0, 61), (1.0, 61)),  # bit score decides before e-value
    ((1e-30, 20), (1.0, 61)),
    ((NAN, 61), (1.0, 61)),  # a NaN e-value at equal bit score never replaces
    ((1.0, NAN), (1.0, 61)),  # nor does a NaN bit score
]


def test_replacement_rule(tmp_path):
    table = TopHitFile(str(tmp_path / "t"))
    for offered, stored in REPLACEMENTS:
        table.add_hit("g", "PF1", *offered)
        hit = table.get_hmm_hit("g", "PF1")
        assert (hit.e_val, hit.bit_score) == stored, offered


def test_first_of_equal_hits_stays(tmp_path):
    table = table_of(tmp_path / "t", ("g", "p", 0.0, 5), ("g", "p", -0.0, 5))
    assert table.get_hmm_hit("g", "p").hmm_str() == "p,0,5"


def test_nan_bit_score_is_never_replaced(tmp_path):
    table = table_of(tmp_path / "t", ("g", "p", 1.0, NAN), ("g", "p", 0.0, INF))
    assert math.isnan(table.get_hmm_hit("g", "p").bit_score)


def test_top_hit(tmp_path):
    table = table_of(
        tmp_path / "t", ("g", "PF1", 1e-5, 50), ("g", "PF2", 1e-9, 70), ("g", "PF3", 1e-20, 60)
    )
    assert repr(table.get_top_hit("g")) == "g PF2 (0.000000001/70)"
    table.add_hit("g", "PF4", 1e-12, 70)
    assert repr(table.get_top_hit("g")) == "g PF4 (0.000000000001/70)"


def test_top_hit_over_many_profiles(tmp_path):
    # Past a handful of profiles a gene is looked up differently; the answers must not change.
    table = TopHitFile(str(tmp_path / "t"))
    for i in range(100):
        table.add_hit("g", f"PF{i}", 1e-5, float(i * 7 % 100))
    for i in range(100):
        table.add_hit("g", f"PF{i}", 1e-6, float(i * 7 % 100))
    assert repr(table.get_top_hit("g")) == "g PF57 (0.000001/99)"
    assert table.get_hmm_hit("g", "PF99").hmm_str() == "PF99,0.000001,93"
    assert not table.contains_gene_hmm("g", "PF100")


def test_tied_top_hit_is_either(tmp_path):
    table = table_of(tmp_path / "t", ("g", "PF1", 1e-5, 50), ("g", "PF2", 1e-5, 50))
    assert table.get_top_hit("g").hmm_id in {"PF1", "PF2"}


def test_returned_hits_are_copies(tmp_path):
    table = table_of(tmp_path / "t", ("g", "p", 1e-5, 50))
    first, second = table.get_top_hit("g"), table.get_hmm_hit("g", "p")
    assert first is not second and first == second
    table.add_hit("g", "p", 1e-9, 90)
    assert repr(first) == "g p (0.00001/50)"


def test_add_hit_borrows_before_converting(tmp_path):
    table = table_of(tmp_path / "t", ("g", "p", 1.0, 2.0))
    seen = []

    class Sneaky:
        def __float__(self):
            try:
                table.contains_gene_id("g")
            except RuntimeError as error:
                seen.append(str(error))
                raise
            return 1.0

    with pytest.raises(RuntimeError) as info:
        table.add_hit("h", "p", Sneaky(), 3.0)
    assert str(info.value) == "Already mutably borrowed"
    assert seen == ["Already mutably borrowed"]
    assert not table.contains_gene_id("h")


def test_add_hit_conversion_errors(tmp_path):
    table = TopHitFile(str(tmp_path / "t"))
    with pytest.raises(TypeError) as info:
        table.add_hit("g", b"p", 1.0, 2.0)
    assert str(info.value) == "argument 'hmm_id': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        table.add_hit("g", "p", 1.0)
    assert str(info.value) == (
        "TopHitFile.add_hit() missing 1 required positional argument: 'bit_score'"
    )
    assert not table.contains_gene_id("g")


# Writing


def test_write_layout(tmp_path):
    path = tmp_path / "top.tsv"
    table_of(path, ("g1", "PF1", 1e-5, 50), ("g1", "PF2", 1e-9, 70)).write()
    assert path.read_bytes() == (HEADER + "g1\tPF2,0.000000001,70;PF1,0.00001,50\n").encode()


def test_write_orders_hits_best_first(tmp_path):
    path = tmp_path / "top.tsv"
    hits = [(1e-5, 50), (1e-3, 70), (1e-9, 70), (0.5, -INF), (1.0, INF), (0.0, 50)]
    table_of(path, *[("g", f"P{i}", e, b) for i, (e, b) in enumerate(hits)]).write()
    line = path.read_text().splitlines()[1]
    assert line == "g\tP4,1,inf;P2,0.000000001,70;P1,0.001,70;P5,0,50;P0,0.00001,50;P3,0.5,-inf"


def test_write_empty_table_and_truncate(tmp_path):
    path = tmp_path / "top.tsv"
    path.write_text("x" * 1000)
    TopHitFile(str(path)).write()
    assert path.read_text() == HEADER
    table = TopHitFile(str(path))
    table.read()
    assert not table.contains_gene_id("Gene Id")


def test_write_lines_one_per_gene(tmp_path):
    path = tmp_path / "top.tsv"
    genes = [f"gene{i}" for i in range(3000)]
    table = table_of(path, *[(g, "PF1", 1e-5, float(i)) for i, g in enumerate(genes)])
    table.write()
    lines = path.read_text().split("\n")
    assert lines[0] + "\n" == HEADER and lines[-1] == ""
    assert sorted(lines[1:-1]) == sorted(f"{g}\tPF1,0.00001,{i}" for i, g in enumerate(genes))


def test_write_creates_directories(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    table_of("a/b/c/top.tsv", ("g", "p", 1, 2)).write()
    assert (tmp_path / "a/b/c/top.tsv").read_text() == HEADER + "g\tp,1,2\n"
    table_of("top.tsv", ("g", "p", 1, 2)).write()
    table_of("a//d///top.tsv", ("g", "p", 1, 2)).write()
    assert sorted(os.listdir(tmp_path)) == ["a", "top.tsv"]
    assert sorted(os.listdir(tmp_path / "a")) == ["b", "d"]


@pytest.mark.parametrize("path", ["", "/", "///"])
def test_write_without_parent(path):
    assert panic_message(table_of(path, ("g", "p", 1, 2)).write) == NONE_UNWRAP


def test_write_os_errors(tmp_path):
    (tmp_path / "file").write_text("")
    (tmp_path / "dir").mkdir()
    cases = [
        (tmp_path / "file/sub/top.tsv", "Cannot create directory!", os_error(20, "NotADirectory")),
        (tmp_path / "file/top.tsv", "Cannot create directory!", os_error(17, "AlreadyExists")),
        (tmp_path / "dir", "Cannot create file!", os_error(21, "IsADirectory")),
        (f"{tmp_path}/new/", "Cannot create file!", os_error(21, "IsADirectory")),
        (tmp_path / ("x" * 300), "Cannot create file!", os_error(36, "InvalidFilename")),
    ]
    for path, context, error in cases:
        message = panic_message(table_of(path, ("g", "p", 1, 2)).write)
        assert message == f"{context}: {error}", path


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure():
    message = panic_message(table_of("/dev/full", ("g", "p", 1, 2)).write)
    assert message == "Cannot write to file!: " + os_error(28, "StorageFull")


@pytest.mark.parametrize(
    ("gene_id", "hmm_id", "message"),
    [
        ("g\tx", "p", 'Cannot write gene id "g\\tx": it contains a tab or line feed'),
        ("g\n", "p", 'Cannot write gene id "g\\n": it contains a tab or line feed'),
        ("g", "x,1,2", 'Cannot write profile id "x,1,2": it contains a tab, line feed, ";" or ","'),
        ("g", "a;b", 'Cannot write profile id "a;b": it contains a tab, line feed, ";" or ","'),
        (
            "g",
            '"\t\\',
            'Cannot write profile id "\\"\\t\\\\": it contains a tab, line feed, ";" or ","',
        ),
    ],
)
def test_write_refuses_identifiers_that_would_not_read_back(tmp_path, gene_id, hmm_id, message):
    path = tmp_path / "new" / "top.tsv"
    table = table_of(path, ("ok", "PF1", 1, 2), (gene_id, hmm_id, 1, 2))
    assert panic_message(table.write) == message
    assert not (tmp_path / "new").exists()
    existing = tmp_path / "old.tsv"
    existing.write_text("keep")
    assert panic_message(table_of(existing, (gene_id, hmm_id, 1, 2)).write) == message
    assert existing.read_text() == "keep"


@pytest.mark.parametrize(
    ("path", "context"),
    [
        ("top\0.tsv", "Cannot create file!"),
        ("dir\0x/top.tsv", "Cannot create directory!"),
        ("{tmp}/top.tsv\0", "Cannot create file!"),
    ],
)
def test_write_refuses_nul_in_path(tmp_path, monkeypatch, path, context):
    monkeypatch.chdir(tmp_path)
    path = path.format(tmp=tmp_path)
    assert panic_message(table_of(path, ("g", "p", 1, 2)).write) == f"{context}: {NUL_ERROR}"
    assert os.listdir(tmp_path) == []


# Replacing the file: the old one stays whole until the new one is complete.

FAILING_WRITE = """
import resource, signal, sys
import velko
from velko.hmmer.tophit import TopHitFile
path, genes, size_limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if size_limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # so that write() sees EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (size_limit, size_limit))
table = TopHitFile(path)
for i in range(genes):
    table.add_hit(f"gene{i}", "PF00001.23", 1e-5, 50.5)
try:
    table.write()
except BaseException as error:
    print(error)
"""


def run_child(source, *args, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", source, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


@pytest.fixture
def small_filesystem(tmp_path):
    """A 64 KiB tmpfs mounted on a fresh directory, or a skip where mounting is not allowed."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)], capture_output=True
    )
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


# How the write is made to fail part way: (fixture giving the directory, file size limit, error).
FAILURES = {
    "full tmpfs": ("small_filesystem", 0, os_error(28, "StorageFull")),
    "RLIMIT_FSIZE": ("tmp_path", 20_000, os_error(27, "FileTooLarge")),
}


def fill_up(directory):
    """Fills the file system of `directory` with one file, and returns that file's name."""
    fd = os.open(directory / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, b"x" * 4096)
    except OSError:
        return "filler"
    finally:
        os.close(fd)


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("where", ["in the lines", "in the header"])
def test_failed_write_keeps_the_old_file(request, failure, where):
    fixture, size_limit, error = FAILURES[failure]
    directory = request.getfixturevalue(fixture)
    path = directory / "top.tsv"
    table_of(path, ("g1", "PF1", 1e-5, 50), ("g2", "PF2", 1e-9, 70)).write()
    old = path.read_bytes()
    expected_names = ["top.tsv"]
    genes = 20_000  # about 600 KB
    if where == "in the header":
        genes = 1
        if size_limit:
            size_limit = 10
        else:
            expected_names.append(fill_up(directory))
    result = run_child(FAILING_WRITE, path, genes, size_limit)
    assert result.stdout == f"Cannot write to file!: {error}\n", result.stderr
    assert path.read_bytes() == old
    assert sorted(os.listdir(directory)) == sorted(expected_names)


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o664, 0o755, 0o444])
def test_replaced_file_keeps_its_permission_bits(tmp_path, mode):
    path = tmp_path / "top.tsv"
    path.write_text("old")
    path.chmod(mode)
    table_of(path, ("g", "p", 1, 2)).write()
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_text() == HEADER + "g\tp,1,2\n"
    assert os.listdir(tmp_path) == ["top.tsv"]


@pytest.mark.parametrize(("umask", "mode"), [(0o022, 0o644), (0o027, 0o640), (0o002, 0o664)])
def test_new_file_gets_default_bits_less_umask(tmp_path, umask, mode):
    path = tmp_path / "top.tsv"
    previous = os.umask(umask)
    try:
        table_of(path, ("g", "p", 1, 2)).write()
    finally:
        os.umask(previous)
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize(
    ("links", "target"),
    [
        ({"top.tsv": "data/real.tsv"}, "data/real.tsv"),  # relative, into another directory
        ({"top.tsv": "{tmp}/data/real.tsv"}, "data/real.tsv"),  # absolute
        ({"top.tsv": "data/hop.tsv", "data/hop.tsv": "real.tsv"}, "data/real.tsv"),  # a chain
        ({"top.tsv": "data/missing.tsv"}, "data/missing.tsv"),  # dangling: the target is made
    ],
)
def test_write_through_symlink(tmp_path, links, target):
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "real.tsv"
    real.write_text("old")
    real.chmod(0o640)
    for link, points_to in links.items():
        (tmp_path / link).symlink_to(points_to.format(tmp=tmp_path))
    table_of(tmp_path / "top.tsv", ("g", "p", 1, 2)).write()
    assert all((tmp_path / link).is_symlink() for link in links)
    assert (tmp_path / target).read_text() == HEADER + "g\tp,1,2\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path / "data")) == sorted(
        {"real.tsv", target.split("/")[1]} | {link.split("/")[1] for link in links if "/" in link}
    )


def test_write_to_fifo_in_place(tmp_path):
    fifo = tmp_path / "top.fifo"
    os.mkfifo(fifo)
    # The reader is another process: write() keeps the interpreter lock while it opens the FIFO.
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    table_of(fifo, ("g", "p", 1, 2)).write()
    assert reader.communicate(timeout=60)[0] == (HEADER + "g\tp,1,2\n").encode()
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert os.listdir(tmp_path) == ["top.fifo"]


def test_write_to_file_mounted_over_its_name_in_place(tmp_path):
    source, target = tmp_path / "source.tsv", tmp_path / "top.tsv"
    source.write_text("old")
    target.write_text("")
    if (
        subprocess.run(
            ["mount", "--bind", str(source), str(target)], capture_output=True
        ).returncode
        != 0
    ):
        pytest.skip("cannot bind-mount a file here")
    try:
        table_of(target, ("g", "p", 1, 2)).write()
        assert source.read_text() == HEADER + "g\tp,1,2\n"
        assert sorted(os.listdir(tmp_path)) == ["source.tsv", "top.tsv"]
    finally:
        subprocess.run(["umount", str(target)], check=True)


@pytest.mark.parametrize("name", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
@pytest.mark.parametrize("into", ["pipe", "file"])
def test_write_to_standard_output_in_place(tmp_path, name, into):
    source = (
        "import sys, velko; from velko.hmmer.tophit import TopHitFile as T\n"
        "t = T(sys.argv[1]); t.add_hit('g', 'p', 1, 2); t.write()"
    )
    expected = HEADER + "g\tp,1,2\n"
    if into == "pipe":
        assert run_child(source, name).stdout == expected
        return
    # Written through the descriptor the child holds, not replaced behind it.
    out = tmp_path / "out.tsv"
    with open(out, "w") as handle:
        inode = os.fstat(handle.fileno()).st_ino
        subprocess.run([sys.executable, "-c", source, name], stdout=handle, check=True, timeout=60)
    assert out.read_text() == expected
    assert out.stat().st_ino == inode
    assert os.listdir(tmp_path) == ["out.tsv"]


# Reading


def test_read_merges_into_table(write_file, tmp_path):
    path = write_file(HEADER + "g1\tPF1,1e-3,40\ng2\tPF1,1,2\n", "top.tsv")
    table = table_of(path, ("g1", "PF1", 1e-5, 50), ("g3", "PF9", 1, 1))
    table.read()
    assert repr(table.get_hmm_hit("g1", "PF1")) == "g1 PF1 (0.00001/50)"
    assert table.contains_gene_id("g2") and table.contains_gene_id("g3")
    path = write_file(HEADER + "g1\tPF1,1e-9,60;PF1,1e-10,60;PF1,1e-3,60\n", "top.tsv")
    table.read()
    assert repr(table.get_hmm_hit("g1", "PF1")) == "g1 PF1 (0.0000000001/60)"


@pytest.mark.parametrize(
    "body",
    [
        b"g1\tPF1,1e-5,50;PF2,1e-9,70\n",
        b"g1\tPF1,1e-5,50;PF2,1e-9,70",
        b"g1\tPF1,1e-5,50;PF2,1e-9,70\r\n",
        b"g1\tPF1,1e-5,50;PF2,1e-9,70\textra\tmore\n",
        b"g1\tPF1,1e-5,50,99;PF2,1e-9,70,x,y\n",
    ],
)
def test_read_line_forms(write_file, body):
    path = write_file(HEADER.replace("\n", "\r\n").encode() + body)
    table = TopHitFile(path)
    table.read()
    assert table.get_hmm_hit("g1", "PF1").hmm_str() == "PF1,0.00001,50"
    assert table.get_hmm_hit("g1", "PF2").hmm_str() == "PF2,0.000000001,70"


def test_read_keeps_carriage_returns_not_before_line_feed(write_file):
    table = TopHitFile(write_file(HEADER + "g\r1\tPF\r,1,2\n"))
    table.read()
    assert table.contains_gene_hmm("g\r1", "PF\r")
    table = TopHitFile(write_file(HEADER + "g\tPF,1,2\r"))
    assert panic_message(table.read) == PARSE_INVALID


@pytest.mark.parametrize(
    "content",
    # a carriage return alone does not end the first line
    [b"", b"\n", HEADER.encode(), b"g\tPF1,1,2\n", b"g\tPF1,1,2", b"h\rg\tPF1,1,2\r"],
)
def test_read_first_line_is_never_data(write_file, content):
    table = TopHitFile(write_file(content))
    table.read()
    assert not table.contains_gene_id("g")


@pytest.mark.parametrize(
    ("body", "message"),
    [
        ("no tab here\n", NONE_UNWRAP),
        ("g\tPF1\n", NONE_UNWRAP),
        ("g\tPF1,1,2\n\ng\tPF2,1,2\n", NONE_UNWRAP),
        ("g\tPF1,1,2\n\n", NONE_UNWRAP),
        ("g\t\n", NONE_UNWRAP),
        ("g\tPF1,1,2;\n", NONE_UNWRAP),
        ("g\tPF1,1e-5\n", NONE_UNWRAP),
        ("g\tPF1,abc\n", PARSE_INVALID),
        ("g\tPF1,\n", PARSE_EMPTY),
        ("g\tPF1, 1e-5,50\n", PARSE_INVALID),
        ("g\tPF1,abc,50\n", PARSE_INVALID),
        ("g\tPF1,,50\n", PARSE_EMPTY),
        ("g\tPF1,1,\n", PARSE_EMPTY),
        ("g\tPF1,1,2 \n", PARSE_INVALID),
    ],
)
def test_read_malformed(write_file, body, message):
    assert panic_message(TopHitFile(write_file(HEADER + body)).read) == message


def test_read_abort_keeps_earlier_hits(write_file):
    table = TopHitFile(write_file(HEADER + "g1\tPF1,1,2\ng2\tPF1,1,2;PF2,x,3\ng3\tPF1,1,2\n"))
    assert panic_message(table.read) == PARSE_INVALID
    assert table.contains_gene_id("g1") and table.contains_gene_hmm("g2", "PF1")
    assert not table.contains_gene_hmm("g2", "PF2") and not table.contains_gene_id("g3")


NOT_UTF8 = (
    'Cannot read file!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
)


@pytest.mark.parametrize(
    "content",
    [
        HEADER.encode() + b"g1\tPF1,1,2\ng\xff\tPF1,1,2\ng3\tPF1,1,2\n",
        b"\xc3\x28 header\ng1\tPF1,1,2\n",
        HEADER.encode() + b"g1\tPF1,1,2\ng\xed\xa0\x80\tPF1,1,2\n",  # a surrogate
        HEADER.encode() + b"g1\tPF1,1,2\ng\xc0\xaf\tPF1,1,2\n",  # overlong "/"
        HEADER.encode() + b"g1\tPF1,1,2\ng\xe2\x82",  # cut short at the end
        BINARY,
    ],
)
def test_read_refuses_invalid_utf8(write_file, content):
    table = TopHitFile(write_file(content))
    assert panic_message(table.read) == NOT_UTF8
    assert table.contains_gene_id("g1") == content.startswith(HEADER.encode())
    assert not table.contains_gene_id("g3")


def test_read_accepts_any_text_in_identifiers(write_file):
    table = TopHitFile(write_file(HEADER + "gène\tΨ-1,1,2;😀,3,4\ng\x001\tP\x00,1,2\n"))
    table.read()
    assert table.contains_gene_hmm("gène", "Ψ-1") and table.contains_gene_hmm("gène", "😀")
    assert table.contains_gene_hmm("g\x001", "P\x00") and not table.contains_gene_id("g")


def test_read_os_errors(tmp_path):
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    cases = [
        (tmp_path / "missing", os_error(2, "NotFound")),
        (tmp_path, os_error(21, "IsADirectory")),
        (tmp_path / "loop", os_error(40, "FilesystemLoop")),
        (tmp_path / ("x" * 300), os_error(36, "InvalidFilename")),
    ]
    for path, error in cases:
        assert panic_message(TopHitFile(str(path)).read) == f"Cannot read file!: {error}"


def test_read_refuses_nul_in_path(write_file):
    path = write_file(HEADER + "g\tPF1,1,2\n")
    table = TopHitFile(path + "\0.other")
    assert panic_message(table.read) == f"Cannot read file!: {NUL_ERROR}"
    assert not table.contains_gene_id("g")


def test_read_long_lines_across_buffer_boundaries(write_file):
    # Lines longer than the read buffer, and line ends at every offset within it.
    hits = ";".join(f"PF{i},1e-5,{i}" for i in range(2000))
    short = "".join(f"g{i}\tP{'x' * (i % 50)},1,2\n" for i in range(3000))
    table = TopHitFile(write_file(HEADER + "long\t" + hits + "\n" + short))
    table.read()
    assert table.get_top_hit("long").hmm_id == "PF1999"
    assert all(table.contains_gene_hmm(f"g{i}", f"P{'x' * (i % 50)}") for i in range(3000))


# Round trip


def test_extreme_scores_round_trip(tmp_path):
    path = tmp_path / "top.tsv"
    scores = [1e-200, 1e300, -0.0, NAN, INF, -INF, 5e-324, 0.1 + 0.2]
    table_of(path, *[("g", f"p{i}", s, s) for i, s in enumerate(scores)]).write()
    text = path.read_text()
    assert "p0,0." + "0" * 199 + "1," in text and ",1" + "0" * 300 in text
    back = TopHitFile(str(path))
    back.read()
    for i, score in enumerate(scores):
        hit = back.get_hmm_hit("g", f"p{i}")
        for got in (hit.e_val, hit.bit_score):
            assert repr(got) == repr(score) and math.copysign(1, got) == math.copysign(1, score)


def identifiers(refused):
    # Any text a str can carry into UTF-8 (no lone surrogates), less the refused characters.
    return st.text(
        st.characters(blacklist_categories=["Cs"], blacklist_characters=refused), max_size=8
    )


gene_ids = identifiers("\t\n")
hmm_ids = identifiers("\t\n;,")
scores = st.floats(allow_nan=True, allow_infinity=True)


@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(gene_ids, hmm_ids, scores, scores), max_size=25))
def test_any_safe_table_reads_back_equal(tmp_path_factory, hits):
    path = str(tmp_path_factory.mktemp("rt") / "deep" / "top.tsv")
    table = table_of(path, *hits)
    table.write()
    back = TopHitFile(path)
    back.read()
    pairs = {(gene, hmm) for gene, hmm, _, _ in hits}
    for gene, hmm in pairs:
        assert repr(back.get_hmm_hit(gene, hmm)) == repr(table.get_hmm_hit(gene, hmm))
    with open(path, encoding="utf-8", newline="") as handle:
        lines = handle.read().split("\n")
    assert lines[-1] == "" and len(lines) - 2 == len({gene for gene, _ in pairs})


# ---- limits and interruption ------------------------------------------------------------------


TABLE = """
from velko.hmmer.tophit import TopHitFile
table = TopHitFile({path!r})
for n in range(40_000):
    table.add_hit(f"gene{{n}}", f"PF{{n % 7}}", 1e-5, n / 3)
"""

HIT_LINE = b"g1\tPF1,0.00001,50;PF2,0.000000001,70\n"


@pytest.mark.parametrize("method", ["read", "write"])
def test_ctrl_c_stops_waiting_for_the_other_end(tmp_path, method):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    assert_interrupted(f"table.{method}()", setup=TABLE.format(path=path))


def test_ctrl_c_stops_reading_an_endless_file(tmp_path):
    with fifo_feeder(str(tmp_path / "fifo"), HIT_LINE * 4096, HEADER.encode()) as path:
        assert_interrupted("table.read()", setup=TABLE.format(path=path))


def test_ctrl_c_stops_reading_a_first_line_that_never_ends():
    assert_interrupted("table.read()", setup=TABLE.format(path="/dev/zero"))


def test_ctrl_c_stops_writing_to_a_reader_that_does_not_read(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    stalled = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # open, never read
    try:
        assert_interrupted("table.write()", setup=TABLE.format(path=path))
    finally:
        os.close(stalled)


# Other threads go on while a table waits for its file; the table itself stays guarded.
BLOCKED = """
import os, threading, time
import velko
from velko.hmmer.tophit import TopHitFile
path = {path!r}
os.mkfifo(path)
table = TopHitFile(path)
reader = threading.Thread(target=table.read)
reader.start()
time.sleep(0.2)
beats = [time.monotonic()]
for _ in range(20):
    time.sleep(0.01)
    beats.append(time.monotonic())
try:
    table.add_hit("g", "PF", 1.0, 2.0)
except RuntimeError as error:
    print(error)
with open(path, "w") as fifo:
    fifo.write({text!r})
reader.join()
print(max(b - a for a, b in zip(beats, beats[1:])) < 0.1, table.get_top_hit("g1").bit_score)
"""


def test_waiting_for_a_file_lets_other_threads_run(tmp_path):
    text = HEADER + HIT_LINE.decode()
    result = run_python(BLOCKED.format(path=str(tmp_path / "fifo"), text=text), timeout=30)
    assert (result.stdout, result.stderr) == ("Already borrowed\nTrue 70.0\n", "")


def test_a_line_counts_against_the_memory_limit(tmp_path):
    with fifo_feeder(str(tmp_path / "fifo"), b"x" * 65536, HEADER.encode() + b"g\t") as path:
        source = ADDRESS_LIMIT + textwrap.dedent(f"""
            from velko.hmmer.tophit import TopHitFile
            limit_address_space(256 << 20)
            try:
                TopHitFile({path!r}).read()
            except MemoryError as error:
                print(error)
            """)
        result = run_python(source)
    match = refusal(result)
    assert (match["what"], match["detail"]) == ("a line of the top-hit file", None)


def test_a_header_line_is_only_scanned(tmp_path):
    # the first line is never used: however long, it is checked as it passes, not kept
    with fifo_feeder(str(tmp_path / "fifo"), b"h" * 65536, b"", b"\n" + HIT_LINE, 4096) as path:
        source = ADDRESS_LIMIT + textwrap.dedent(f"""
            from velko.hmmer.tophit import TopHitFile
            table = TopHitFile({path!r})
            before = peak_rss()
            table.read()
            print(table.get_top_hit("g1").bit_score, peak_rss() - before < (64 << 20))
            """)
        result = run_python(source)
    assert (result.stdout, result.stderr) == ("70.0 True\n", "")
