"""Writing k-mer tables: the native row text and the files the writers make."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velko_tools import _core


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=50))
def test_float_rows_read_as_repr(values):
    # Frequencies are written as Python writes them, so text files stay readable by anything
    # that reads Python's floats and round trip exactly.
    rows = np.array(values, dtype=np.float64).reshape(1, -1)
    text = _core.format_rows(["r"], rows, 0).decode()
    assert text == "r\t" + "\t".join(map(repr, values)) + "\n"


@pytest.mark.parametrize(
    ("prefixes", "start", "expected"),
    [
        (["a", "b"], 0, b"a\t0\t1\t18446744073709551615\nb\t5\t10\t100\n"),
        (["b"], 1, b"b\t5\t10\t100\n"),
        ([], 2, b""),
    ],
)
def test_count_rows(prefixes, start, expected):
    counts = np.array([[0, 1, 2**64 - 1], [5, 10, 100]], dtype=np.uint64)
    assert _core.format_rows(prefixes, counts, start) == expected


@pytest.mark.parametrize(("count", "start"), [(3, 0), (1, 2), (0, 3)])
def test_rows_beyond_the_array_are_refused(count, start):
    counts = np.zeros((2, 4), dtype=np.uint64)
    with pytest.raises(IndexError):
        _core.format_rows(["x"] * count, counts, start)
