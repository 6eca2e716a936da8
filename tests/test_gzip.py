"""gzip-compressed FASTA files read exactly as their decompressed text, recognised by content."""

import gzip
import os
import pathlib
import random
import threading
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
        lines = "\n".join(seq[p : p + 60] for p in range(0, len(seq), 60))
        out.append(f">r{i} description {i}\n" + lines)
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


HMMER = pathlib.Path(__file__).parent / "data" / "hmmer" / "search.tblout"


def read_all_ways(path):
    """What velko, velko_tools' count_kmers and its read_hmmer make of one file."""
    import velko_tools

    outcome = []
    for read in (
        counts,
        lambda p: velko_tools.count_kmers(p, 3).counts.tolist(),
        lambda p: list(velko_tools.read_hmmer(p)),
    ):
        try:
            outcome.append(read(path))
        except BaseException as error:  # noqa: B036 - velko's PanicException is one
            outcome.append((type(error).__name__, str(error).replace(str(path), "PATH")))
    return outcome


# Zero bytes after a member, as tape and block devices pad a file, are no part of the text:
# gzip -d and Python's gzip read such files. Anything else after a member must be one.
@pytest.mark.parametrize("source", ["fasta", "hmmer"])
@pytest.mark.parametrize("padding", [b"\0", b"\0" * 512, b"\0" * 70000])
def test_zero_padding_after_members_is_skipped(write_file, source, padding):
    text = fasta(4, 2) if source == "fasta" else HMMER.read_bytes()
    plain = read_all_ways(write_file(text, "plain"))
    half = len(text) // 2
    padded = gzip.compress(text) + padding
    between = gzip.compress(text[:half]) + padding + gzip.compress(text[half:]) + padding
    assert gzip.decompress(padded) == gzip.decompress(between) == text
    assert read_all_ways(write_file(padded, "padded.gz")) == plain
    assert read_all_ways(write_file(between, "between.gz")) == plain


@pytest.mark.parametrize("tail", [b"\0" * 512 + b"junk", b"\0junk" + b"\0" * 64])
def test_other_bytes_after_padding_are_refused(write_file, tail):
    import velko_tools

    message = "invalid gzip data: incorrect header check"
    path = write_file(gzip.compress(fasta(4, 2)) + tail, "junk.gz")
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(
        path, message
    )
    table = write_file(gzip.compress(HMMER.read_bytes()) + tail, "junk.tblout.gz")
    for call, named in (
        (lambda: velko_tools.count_kmers(path, 3), path),
        (lambda: velko_tools.read_hmmer(table), table),
    ):
        with pytest.raises(gzip.BadGzipFile) as caught:
            call()
        assert str(caught.value) == f"{named}: {message}"


def test_plain_file_named_gz_is_plain(write_file):
    assert counts(write_file(b">a\nACGT\n", "a.fa.gz"))["a"][0] == 2


@pytest.mark.parametrize(
    ("make", "cause"),
    [
        (lambda data: data[: len(data) // 2], "gzip stream ended early"),
        (lambda data: data[:-3], "gzip stream ended early"),
        (
            lambda data: data[:10] + bytes(b ^ 0x55 for b in data[10:40]) + data[40:],
            "invalid gzip data: invalid stored block lengths",
        ),
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
        path, "Expected > at record start."
    )
    path = write_file(gzip.compress(b">a\nA\xffC\n"))
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(
        path, "stream did not contain valid UTF-8"
    )


def test_raw_zlib_is_not_gzip(write_file):
    # only the gzip wrapper is recognised; other compressed bytes are read as (invalid) text
    path = write_file(zlib.compress(fasta(4, 1)))
    message = panic_message(lambda: get_kmer_count_fasta(path, 2, False))
    assert message.startswith(fasta_failure(path, ""))


def big_fasta(records=40, length=100_000):
    # several MB: many blocks pass between the inflating thread and the reader
    return fasta(5, 2) + b"".join(
        b">big%d\n" % i + (b"ACGTTGCA" * (length // 8) + b"\n") for i in range(records)
    )


@pytest.mark.parametrize("level", [1, 9])
def test_large_file_across_many_blocks(write_file, level):
    text = big_fasta()
    assert counts(write_file(gzip.compress(text, level)), 5) == counts(write_file(text), 5)


@pytest.mark.parametrize(
    ("tail", "cause"),
    [
        (b">bad\nAC\xffGT\n", "stream did not contain valid UTF-8"),
        (b"\x1f", "gzip stream ended early"),  # a member cut after its first byte
    ],
    ids=["text fault after MBs", "stream fault after MBs"],
)
def test_fault_after_many_blocks(write_file, tail, cause):
    # whichever comes first in the text wins, however far in it is
    text = big_fasta()
    if cause.startswith("stream did"):
        data = gzip.compress(text + tail)
    else:
        data = gzip.compress(text) + tail
    path = write_file(data)
    assert panic_message(lambda: get_kmer_count_fasta(path, 2, False)) == fasta_failure(path, cause)


def test_early_reader_fault_stops_the_inflater(write_file):
    # the reader gives up on the first line while the file still has MBs to inflate
    path = write_file(gzip.compress(b"no header\n" + big_fasta(200)))
    for _ in range(20):
        message = panic_message(lambda: get_kmer_count_fasta(path, 2, False))
        assert message == fasta_failure(path, "Expected > at record start.")


def test_fifo_is_inflated_too(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    text = big_fasta(10)
    writer = threading.Thread(target=lambda: fifo.write_bytes(gzip.compress(text)))
    writer.start()
    try:
        got = counts(str(fifo), 4)
    finally:
        writer.join()
    plain = tmp_path / "plain.fa"
    plain.write_bytes(text)
    assert got == counts(str(plain), 4)
