"""gzip-compressed FASTA files read exactly as their decompressed text, recognised by content."""

import gzip
import random
import zlib

import pytest
from panics import fasta_failure, panic_message

from velko.kmer import get_kmer_count_fasta


def counts(path, k=3, both=False):
    return {name: (r.total, r.counts) for name, r in get_kmer_count_fasta(path, k, both).items()}


def fasta(seed=1, records=5):
    rng = random.Random(seed)
    out = []
    for i in range(records):
        seq = "".join(rng.choices("ACGT", k=rng.randrange(0, 50_000)))
        out.append(f">r{i} description {i}\n" + "\n".join(seq[p:p + 60] for p in range(0, len(seq), 60)))
    return ("\n".join(out) + "\n").encode()


@pytest.mark.parametrize("both", [False, True])
def test_same_counts_as_plain_text(write_file, both):
    text = fasta()
    plain = write_file(text, "plain.fa")
    # named without .gz on purpose: the content decides
    packed = write_file(gzip.compress(text), "packed.fa")
    assert counts(packed, 4, both) == counts(plain, 4, both)


def test_several_members_are_one_text(write_file):
    text = fasta(2)
    cut = [0, len(text) // 3, len(text) // 2, len(text)]
    members = b"".join(gzip.compress(text[a:b]) for a, b in zip(cut, cut[1:]))
    assert counts(write_file(members)) == counts(write_file(text))


def test_plain_file_named_gz_is_plain(write_file):
    assert counts(write_file(b">a\nACGT\n", "a.fa.gz"))["a"][0] == 2


@pytest.mark.parametrize(
    ("make", "cause"),
    [
        (lambda data: data[: len(data) // 2], "gzip stream ended early"),
        (lambda data: data[:-3], "gzip stream ended early"),
        (lambda data: data[:10] + bytes(b ^ 0x55 for b in data[10:40]) + data[40:],
         "invalid gzip data: invalid stored block lengths"),
        (lambda data: data + b"trailing junk", "invalid gzip data: incorrect header check"),
    ],
    ids=["half", "trailer cut", "corrupt block", "trailing junk"],
)
def test_damaged_streams_are_errors(write_file, make, cause):
    path = write_file(make(gzip.compress(fasta(3, 2))))
    message = panic_message(lambda: get_kmer_count_fasta(path, 2, False))
    assert message == fasta_failure(path, cause)


def test_reader_errors_inside_compressed_text(write_file):
    path = write_file(gzip.compress(b"\n>a\nAC\n"))
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(
        path, "Expected > at record start.")
    path = write_file(gzip.compress(b">a\nA\xffC\n"))
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(
        path, "stream did not contain valid UTF-8")


def test_raw_zlib_is_not_gzip(write_file):
    # only the gzip wrapper is recognised; other compressed bytes are read as (invalid) text
    path = write_file(zlib.compress(fasta(4, 1)))
    message = panic_message(lambda: get_kmer_count_fasta(path, 2, False))
    assert message.startswith(fasta_failure(path, ""))
