"""velko_tools package basics and its IUPAC reverse complement."""

import importlib.metadata
import inspect
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velko_tools
from velko_tools import FastaFormatError, InvalidBaseError, VelkoError, reverse_complement

# U pairs with A, which pairs back with T: the law holds over the others.
IUPAC = "ACGTRYSWKMBDHVNacgtryswkmbdhvn-."


@pytest.mark.parametrize(
    ("seq", "expected"),
    [
        ("ACGTacgtNNRY", "RYNNacgtACGT"),
        ("", ""),
        ("GATTACA", "TGTAATC"),
        ("ACGU", "ACGT"),
        ("acgu", "acgt"),
        ("RYSWKMBDHVN", "NBDHVKMWSRY"),
        ("ryswkmbdhvn", "nbdhvkmwsry"),
        ("AC-G.T", "A.C-GT"),
    ],
)
def test_reverse_complement(seq, expected):
    assert reverse_complement(seq) == expected
    assert reverse_complement(seq=seq) == expected


@pytest.mark.parametrize(
    ("seq", "expected"),
    [("ACGU", "ACGU"), ("acgu", "acgu"), ("AAUUGC", "GCAAUU"), ("ACGT", "ACGU"), ("AN-r", "y-NU")],
)
def test_reverse_complement_rna_pairs_a_with_u(seq, expected):
    assert reverse_complement(seq, rna=True) == expected
    # An RNA text complemented twice comes back as it was.
    if "T" not in seq.upper():
        assert reverse_complement(expected, rna=True) == seq


@pytest.mark.parametrize(
    ("seq", "message"),
    [
        ("ACGX", "invalid character 'X' at position 3"),
        ("ACé", "invalid character 'é' at position 2"),
        ("éAC\u2603G", "invalid character 'é' at position 0"),
        ("ACGT T", "invalid character ' ' at position 4"),
        ("AC\nGT", "invalid character '\\n' at position 2"),
        ("AB\x00", "invalid character '\\x00' at position 2"),
        ("AC\U0001F600E", "invalid character '\U0001F600' at position 2"),
    ],
)
def test_reverse_complement_refuses(seq, message):
    with pytest.raises(ValueError) as info:
        reverse_complement(seq)
    assert str(info.value) == message


@given(st.text(alphabet=IUPAC))
def test_reverse_complement_twice_is_identity(seq):
    once = reverse_complement(seq)
    assert len(once) == len(seq)
    assert reverse_complement(once) == seq
    # Case and gaps stay where the mirrored letter was.
    assert [c.islower() for c in once] == [c.islower() for c in reversed(seq)]


def test_reverse_complement_refuses_non_text():
    with pytest.raises(TypeError):
        reverse_complement(b"ACGT")  # type: ignore[arg-type]


def test_public_names_documented_with_signatures():
    for name in velko_tools.__all__:
        if name == "__version__":
            continue
        obj = getattr(velko_tools, name)
        assert obj.__doc__, name
        if inspect.isfunction(obj):
            inspect.signature(obj)
    assert inspect.signature(reverse_complement).parameters["seq"].annotation in ("str", str)


def test_version_is_the_distribution_version():
    try:
        expected = importlib.metadata.version("velko")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("run from a source tree, not installed")
    assert velko_tools.__version__ == expected


@pytest.mark.parametrize(
    ("error", "message", "fields"),
    [
        (
            FastaFormatError("g.fa", 1, "expected '>' at the start of a record"),
            "g.fa:1: expected '>' at the start of a record",
            {"path": "g.fa", "line": 1},
        ),
        (
            InvalidBaseError("dir/g.fa", "chr1", 12, 7, "N"),
            "dir/g.fa:12:7: invalid base 'N' in record 'chr1'",
            {"path": "dir/g.fa", "record": "chr1", "line": 12, "column": 7, "char": "N"},
        ),
    ],
)
def test_errors_are_ordinary_and_travel(error, message, fields):
    assert isinstance(error, VelkoError)
    assert isinstance(error, ValueError)
    assert isinstance(error, Exception)
    for value in (error, pickle.loads(pickle.dumps(error))):
        assert type(value) is type(error)
        assert str(value) == message
        for name, expected in fields.items():
            assert getattr(value, name) == expected
