"""DnaSequence: stored text and reverse complement by character."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velko.fasta import DnaSequence

COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


def reference(text):
    """One output letter per character (not per byte), in reverse order."""
    return "".join(COMPLEMENT.get(c, "N") for c in reversed(text))


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", ""),
        ("GATTACA", "TGTAATC"),
        ("AACG", "CGTT"),
        ("ACGT", "ACGT"),
        ("acgt", "NNNN"),
        ("ANT", "ANT"),
        ("ACGTU", "NACGT"),
        ("AC-GT", "ACNGT"),
        ("A\nC", "GNT"),
        ("Aé", "NT"),
        ("€A𝄞C", "GNTN"),
        ("A\x00C", "GNT"),
    ],
)
def test_rev_complement(text, expected):
    dna = DnaSequence(text)
    result = dna.rev_complement()
    assert result.seq == expected
    assert type(result) is DnaSequence
    assert result is not dna
    assert dna.seq == text


@given(st.text(alphabet="ACGT"))
def test_twice_restores_acgt(text):
    assert DnaSequence(text).rev_complement().rev_complement().seq == text


@given(st.text())
def test_one_output_letter_per_character(text):
    assert DnaSequence(text).rev_complement().seq == reference(text)


def test_long_text_with_non_ascii_tail():
    text = "ACGT" * 1000 + "é" + "G" * 17
    expected = "C" * 17 + "N" + "ACGT" * 1000
    assert DnaSequence(text).rev_complement().seq == expected


def test_stored_exactly():
    text = "aCgN-é\x00\t"
    assert DnaSequence(seq=text).seq == text


def test_str_subclass_accepted():
    class Text(str):
        pass

    assert DnaSequence(Text("AC")).rev_complement().seq == "GT"


# Lengths around the 16-letter blocks of the ASCII path, and non-ASCII anywhere in them, which
# must send the whole text down the per-character path.
@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from("ACGT" * 4 + "Nacgt-\n\x7fé€𝄞"), max_size=70).map("".join))
def test_rev_complement_matches_reference(text):
    assert DnaSequence(text).rev_complement().seq == reference(text)


def test_long_text_with_one_late_non_ascii_character():
    text = "GATTACA" * 10_000 + "é" + "ACGTN" * 7
    assert DnaSequence(text).rev_complement().seq == reference(text)
