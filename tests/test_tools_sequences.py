"""velko_tools package basics and its IUPAC reverse complement."""

import gzip
import inspect
import os
import pickle
import textwrap

import pytest
from children import ADDRESS_LIMIT, assert_interrupted, fifo_feeder, refusal, run_python
from hypothesis import HealthCheck, given, settings
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

# What each IUPAC code stands for: a code's complement is the code of its bases' complements,
# which is how the oracle below finds it, without a table of complements.
BASES = {
    "A": "A", "C": "C", "G": "G", "T": "T", "R": "AG", "Y": "CT", "S": "CG", "W": "AT",
    "K": "GT", "M": "AC", "B": "CGT", "D": "AGT", "H": "ACT", "V": "ACG", "N": "ACGT",
}  # fmt: skip
CODE_OF = {frozenset(bases): code for code, bases in BASES.items()}


def complement_oracle(seq, rna):
    pair = str.maketrans("ACGT", "TGCA")

    def one(char):
        if char in "-.":
            return char
        bases = BASES["T" if char.upper() == "U" else char.upper()].translate(pair)
        code = CODE_OF[frozenset(bases)]
        if rna:
            code = code.replace("T", "U")
        return code.lower() if char.islower() else code

    return "".join(one(char) for char in reversed(seq))


@given(st.text(alphabet=IUPAC + "Uu"), st.booleans())
def test_reverse_complement_pairs_what_each_code_stands_for(seq, rna):
    assert reverse_complement(seq, rna=rna) == complement_oracle(seq, rna)
    assert reverse_complement(seq=seq) == complement_oracle(seq, False)


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


# ---- the native record iterator -------------------------------------------------------------

records_of = velko_tools._core.FastaRecords


def read_records(path, name=None):
    return list(records_of(os.fsencode(path), name or os.fspath(path)))


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    records=st.lists(
        st.tuples(
            st.text(alphabet="abcXYZ_.|019", max_size=8),
            st.text(alphabet="ACGTNacgtn", max_size=300),
            st.text(alphabet=" \t", max_size=2),
        ),
        max_size=6,
    ),
    width=st.integers(1, 80),
    newline=st.sampled_from(["\n", "\r\n"]),
    packed=st.booleans(),
)
def test_records_are_read_whole_as_the_count_reads_them(tmp_path, records, width, newline, packed):
    text = "".join(
        f">{rid} some description{newline}"
        + "".join(seq[i : i + width] + newline for i in range(0, len(seq), width))
        + (trailing + newline if trailing else "")
        for rid, seq, trailing in records
    )
    data = text.encode()
    path = tmp_path / ("r.fa.gz" if packed else "r.fa")
    path.write_bytes(gzip.compress(data) if packed else data)
    read = read_records(path)
    assert read == [(rid, seq.encode()) for rid, seq, _ in records]
    # The same reader as the count's: its rows are the same records, by the same ids.
    table = count_kmers(path, 1, invalid="skip", threads=1, layout="dense")
    assert table.ids == [rid for rid, _ in read]
    assert table.windows.tolist() == [sum(base in b"ACGTacgt" for base in seq) for _, seq in read]


@pytest.mark.parametrize(
    "content",
    [b"ACGT\n", b">r\nAC\xffGT\n", gzip.compress(b">r\nACGT\n")[:-9], b"\x1f\x8b\x08junk"],
)
def test_records_fail_as_the_count_fails(tmp_path, content):
    path = tmp_path / "bad.fa"
    path.write_bytes(content)
    with pytest.raises(Exception) as counted:
        count_kmers(path, 1, threads=1)
    with pytest.raises(type(counted.value)) as read:
        read_records(path)
    assert str(read.value) == str(counted.value)
    # The name given is the one errors use, whatever was opened.
    with pytest.raises(type(counted.value)) as named:
        read_records(path, "<stdin>")
    assert str(named.value) == str(counted.value).replace(str(path), "<stdin>")


def test_records_of_a_missing_file_name_it():
    with pytest.raises(FileNotFoundError) as caught:
        read_records("/nonexistent/g.fa", "g.fa")
    assert caught.value.filename == "g.fa"


def test_ctrl_c_ends_a_wait_for_records(tmp_path):
    # A FIFO without a writer: opening it waits until Ctrl-C.
    fifo = tmp_path / "wait.fa"
    os.mkfifo(fifo)
    assert_interrupted(
        f"list(velko_tools._core.FastaRecords({os.fsencode(fifo)!r}, 'wait.fa'))",
        prelude="import velko_tools._core",
    )


def test_a_record_too_large_is_refused_with_its_need(tmp_path):
    # An endless record under an address-space limit: refused with what it needs, not killed.
    with fifo_feeder(tmp_path / "endless.fa", b"ACGT" * 16384, prefix=b">chr1\n") as fifo:
        source = ADDRESS_LIMIT + textwrap.dedent(f"""
            import velko_tools._core
            limit_address_space(600 << 20)
            try:
                list(velko_tools._core.FastaRecords({os.fsencode(fifo)!r}, "endless.fa"))
            except MemoryError as error:
                print(error)
        """)
        result = run_python(source, timeout=120)
    assert refusal(result).group("what") == "record chr1"
