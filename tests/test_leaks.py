"""Every entry point, on success and on each failure path, run many times: no growth of memory
(Python allocations and resident size) and no references left on its arguments."""

import gc
import os
import sys
import tracemalloc

from velko.fasta import DnaSequence
from velko.hmmer.tophit import Hit, TopHitFile
from velko.kmer import (
    KmerCountResult,
    get_kmer_count_fasta,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)
from velko.util.accession import canonical_gid

SANITIZED = bool(os.environ.get("VELKO_SANITIZED"))
LONG = "ACGT" * 25_000  # 100 kB per call makes a native leak show in the resident size


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    """An integer-like argument, to exercise __index__ conversions."""

    def __index__(self):
        return 2


def cases(tmp):
    fasta = os.path.join(tmp, "leak.fa")
    with open(fasta, "w") as f:
        f.write(">a desc\n" + LONG + "\n>b\nACGTNACGT\n")
    good_fasta = os.path.join(tmp, "good.fa")
    with open(good_fasta, "w") as f:
        f.write(">a desc\n" + LONG + "\n>b\nAC\n")
    table_path = os.path.join(tmp, "dir", "top.tsv")
    table = TopHitFile(table_path)
    for i in range(100):
        table.add_hit(f"g{i}", f"PF{i % 7}", 1e-5, float(i))
    table.write()
    bad_table = os.path.join(tmp, "bad.tsv")
    with open(bad_table, "w") as f:
        f.write("header\ng1\tPF1,1e-5,50\ng2\tPF1,abc,1\n")
    hit = Hit("g", "PF1", 1e-5, 50.0)
    other = Hit("g", "PF2", 1e-9, 60.0)
    return [
        ("canonical_gid", canonical_gid, ("RS_GCF_000005845.2",)),
        ("canonical_gid bad type", canonical_gid, (b"x",)),
        ("DnaSequence", lambda s: DnaSequence(s).rev_complement().seq, (LONG,)),
        ("DnaSequence missing", lambda: DnaSequence(), ()),
        ("get_possible_kmers", get_possible_kmers, (Index(),)),
        ("get_kmer_to_idx", get_kmer_to_idx, (5,)),
        ("get_kmer_to_idx overflow", get_kmer_to_idx, (256,)),
        ("get_kmer_count_seq", get_kmer_count_seq, (LONG, 4, True)),
        ("get_kmer_count_seq abort", get_kmer_count_seq, (LONG + "N", 4, False)),
        ("get_kmer_count_seq boundary", get_kmer_count_seq, (LONG + "é", 1, False)),
        ("get_kmer_count_seq bool", get_kmer_count_seq, (LONG, 4, 1)),
        ("KmerCountResult", lambda *a: KmerCountResult(*a).counts, (2, 16, list(range(16)))),
        ("KmerCountResult bad counts", KmerCountResult, (2, 16, [1, "x"])),
        ("get_kmer_count_fasta", get_kmer_count_fasta, (good_fasta, 3, True)),
        ("get_kmer_count_fasta abort", get_kmer_count_fasta, (fasta, 3, False)),
        ("get_kmer_count_fasta missing", get_kmer_count_fasta, (fasta + ".none", 3, False)),
        ("Hit", lambda *a: repr(Hit(*a)) + Hit(*a).hmm_str(), ("g", "PF", 1e-5, 3.5)),
        ("Hit bad score", Hit, ("g", "PF", "x", 3.5)),
        ("Hit compare", lambda a, b: (a < b, a == b, a >= b, a == 5), (hit, other)),
        (
            "TopHitFile queries",
            lambda t: (
                t.get_top_hit("g5"),
                t.get_hmm_hit("g5", "PF5"),
                t.contains_gene_hmm("g5", "PF5"),
                t.path,
            ),
            (table,),
        ),
        ("TopHitFile add_hit", lambda t: t.add_hit("g1", "PF1", 1e-5, 1.0), (table,)),
        ("TopHitFile write", lambda t: t.write(), (table,)),
        ("TopHitFile read", lambda t: t.read(), (table,)),
        ("TopHitFile read abort", lambda p: TopHitFile(p).read(), (bad_table,)),
        ("TopHitFile read missing", lambda p: TopHitFile(p + ".x").read(), (bad_table,)),
    ]


def run(call, args, times):
    for _ in range(times):
        try:
            call(*args)
        except BaseException as error:  # noqa: B036 - PanicException is a BaseException
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise


def test_no_growth(tmp_path, capfd):
    problems = []
    for name, call, args in cases(str(tmp_path)):
        run(call, args, 30)
        gc.collect()
        refs = [sys.getrefcount(a) for a in args]
        rss_before = resident_bytes()
        run(call, args, 300)
        gc.collect()
        rss_grown = resident_bytes() - rss_before
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        run(call, args, 300)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        if [sys.getrefcount(a) for a in args] != refs:
            problems.append(f"{name}: references to its arguments grew")
        if grown > 64 * 1024:
            problems.append(f"{name}: Python allocations grew by {grown} bytes")
        # AddressSanitizer holds freed memory in quarantine, so the resident size says nothing
        # there; its own checks cover native memory in that build.
        if rss_grown > 8 * 1024 * 1024 and not SANITIZED:
            problems.append(f"{name}: resident size grew by {rss_grown} bytes")
    capfd.readouterr()  # the abort diagnostics written to standard error
    assert problems == []
