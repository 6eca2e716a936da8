"""DnaSequence.rev_complement against a character-by-character reference."""

from hypothesis import given, settings
from hypothesis import strategies as st

from velko.fasta import DnaSequence

COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


def reference(text):
    return "".join(COMPLEMENT.get(c, "N") for c in reversed(text))


# Lengths around the 16-letter blocks of the ASCII path, and non-ASCII anywhere in them, which
# must send the whole text down the per-character path.
@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from("ACGT" * 4 + "Nacgt-\n\x7fé€𝄞"), max_size=70).map("".join))
def test_rev_complement_matches_reference(text):
    assert DnaSequence(text).rev_complement().seq == reference(text)


def test_long_text_with_one_late_non_ascii_character():
    text = "GATTACA" * 10_000 + "é" + "ACGTN" * 7
    assert DnaSequence(text).rev_complement().seq == reference(text)
