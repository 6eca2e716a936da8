"""velko_tools package basics and its IUPAC reverse complement."""

import inspect
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velko_tools
from velko_tools import (
    FastaFormatError,
    HitTable,
    HmmerFormatError,
    InvalidBaseError,
    TopHitFormatError,
    VelkoError,
    count_kmers,
    read_hmmer,
    reverse_complement,
)

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
        ("AC\U0001f600E", "invalid character '\U0001f600' at position 2"),
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
        if callable(obj) and not isinstance(obj, type):
            # A wrapper that loses its signature shows (*args, **kwargs) to help() and IDEs.
            parameters = inspect.signature(obj).parameters.values()
            assert parameters, name
            for parameter in parameters:
                assert parameter.kind not in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD), name
                assert parameter.annotation is not parameter.empty, (name, parameter.name)


# Each error raised by a real call on a bad input (relative names, so the message is known whole):
# its text, its fields, its bases, and the same after a trip through pickle, as a worker process
# sends it back.
TBLOUT_ROW = (
    "HBB_HUMAN - globins4 - 8.1e-67 216.7 0.0 9e-67 216.5 0.0 1.0 1 0 0 1 1 1 1 "
    "Human beta hemoglobin.\n"
)


@pytest.mark.parametrize(
    ("name", "content", "call", "error", "message", "fields"),
    [
        (
            "g.fa",
            b"x\n",
            lambda p: count_kmers(p, 2),
            FastaFormatError,
            "g.fa:1: Expected > at record start.",
            {"path": "g.fa", "line": 1, "reason": "Expected > at record start."},
        ),
        (
            "g.fa",
            b">chr1 x\nACGT\nACNT\n",
            lambda p: count_kmers(p, 2),
            InvalidBaseError,
            "g.fa:3:3: invalid base 'N' in record 'chr1'",
            {"path": "g.fa", "record": "chr1", "line": 3, "column": 3, "char": "N"},
        ),
        (
            "t.tblout",
            b"# x\nabc def\n",
            lambda p: read_hmmer(p, program="hmmsearch"),
            HmmerFormatError,
            "t.tblout:2:3: too few columns: a tblout row has 18 before its description, this one 2",
            {"path": "t.tblout", "line": 2, "column": 3},
        ),
        (
            "t.tblout",
            TBLOUT_ROW.encode(),
            read_hmmer,
            HmmerFormatError,
            't.tblout:1: no "# Program:" line after this row names the program that wrote it '
            "(hmmsearch or hmmscan)",
            {"path": "t.tblout", "line": 1, "column": None},
        ),
        (
            "t.tsv",
            b"Gene Id\tTop hits (Family id,e-value,bitscore)\ng1\tPF1,abc,50\n",
            HitTable.read,
            TopHitFormatError,
            't.tsv:2: "abc" is not a number',
            {"path": "t.tsv", "line": 2, "reason": '"abc" is not a number'},
        ),
    ],
)
def test_errors_are_ordinary_and_travel(
    tmp_path, monkeypatch, name, content, call, error, message, fields
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_bytes(content)
    with pytest.raises(error) as caught:
        call(name)
    assert isinstance(caught.value, VelkoError) and isinstance(caught.value, ValueError)
    for value in (caught.value, pickle.loads(pickle.dumps(caught.value))):
        assert type(value) is error
        assert str(value) == message
        assert {field: getattr(value, field) for field in fields} == fields
