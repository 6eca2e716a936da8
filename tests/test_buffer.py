"""KmerCountResult exports its counts without a copy: read-only, format "Q", one dimension."""

import gc

import pytest

from velko.kmer import KmerCountResult, get_kmer_count_fasta, get_kmer_count_seq


@pytest.mark.parametrize(
    "result",
    [
        lambda: get_kmer_count_seq("ACGTTGCA" * 100, 3, True),
        lambda: KmerCountResult(2, 5, [1, 2, 2**64 - 1]),
        lambda: KmerCountResult(0, 0, ()),
    ],
    ids=["counted", "built from Python", "empty"],
)
def test_memoryview(result):
    r = result()
    view = memoryview(r)
    assert (view.format, view.itemsize, view.ndim, view.readonly) == ("Q", 8, 1, True)
    assert view.shape == (len(r.counts),)
    assert view.tolist() == r.counts
    assert view.c_contiguous
    with pytest.raises(TypeError):
        view[0] = 1
    view.release()


def test_view_keeps_the_result_alive():
    view = memoryview(get_kmer_count_seq("ACGT" * 1000, 4, False))
    gc.collect()
    assert sum(view.tolist()) == 3997


def test_counts_attribute_stays_a_fresh_list():
    r = get_kmer_count_seq("ACGT", 1, False)
    view = memoryview(r)
    counts = r.counts
    counts[0] = 99
    assert view.tolist() == [1, 1, 1, 1] and r.counts == [1, 1, 1, 1]


def test_numpy_sees_the_counts_without_a_copy(write_file):
    np = pytest.importorskip("numpy")
    r = get_kmer_count_seq("ACGTTGCA" * 100, 4, True)
    a, b = np.asarray(r), np.asarray(r)
    assert a.dtype == np.uint64 and a.shape == (256,) and not a.flags.writeable
    assert np.shares_memory(a, b)  # both views of the record's own storage
    assert a.tolist() == r.counts
    per_record = get_kmer_count_fasta(write_file(">x\nACGTAC\n>y\nTTTT\n"), 2, False)
    stacked = np.stack([np.asarray(v) for v in per_record.values()])
    assert stacked.sum() == 5 + 3
