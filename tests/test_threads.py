"""Counting from several threads at once (it releases the interpreter lock) while other threads
use top-hit tables; and re-entrant calls into an object that is being changed."""

import random
import subprocess
import sys
import threading
import time

import pytest

from velko.hmmer.tophit import TopHitFile
from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq, get_possible_kmers


def sequences(count, length, seed=11):
    rng = random.Random(seed)
    return ["".join(rng.choices("ACGT", k=length + i * 997)) for i in range(count)]


def per_record(result):
    return {name: (r.k, r.total, r.counts) for name, r in result.items()}


def test_parallel_counting_matches_serial(tmp_path):
    # Each file holds one text in records of many sizes; half the files count both strands.
    texts = sequences(6, 300_000)
    paths = []
    for i, text in enumerate(texts):
        cuts = [0, 5, 70, 4_000, 150_000, 151_000, *range(160_000, len(text), 3_000), len(text)]
        path = tmp_path / f"g{i}.fa"
        path.write_text("".join(f">r{i}_{a}\n{text[a:b]}\n" for a, b in zip(cuts, cuts[1:])))
        paths.append(str(path))
    expected_seq = [get_kmer_count_seq(t, 6, True).counts for t in texts]
    expected_fasta = [
        per_record(get_kmer_count_fasta(path, 5, i % 2 == 0)) for i, path in enumerate(paths)
    ]

    results, errors = {}, []

    def count(i):
        try:
            for _ in range(3):
                results[("seq", i)] = get_kmer_count_seq(texts[i], 6, True).counts
                results[("fasta", i)] = per_record(get_kmer_count_fasta(paths[i], 5, i % 2 == 0))
        except BaseException as error:  # noqa: B036
            errors.append(error)

    def use_tables(seed):
        try:
            rng = random.Random(seed)
            table = TopHitFile(str(tmp_path / f"t{seed}" / "top.tsv"))
            best = {}
            for n in range(20_000):
                gene, score = f"g{rng.randrange(500)}", rng.uniform(0, 100)
                table.add_hit(gene, f"PF{n % 9}", 1e-5, score)
                best[gene] = max(best.get(gene, -1.0), score)
            table.write()
            copy = TopHitFile(table.path)
            copy.read()
            for gene, score in best.items():
                assert copy.get_top_hit(gene).bit_score == score
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=count, args=(i,)) for i in range(len(texts))]
    threads += [threading.Thread(target=use_tables, args=(s,)) for s in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert errors == []
    for i in range(len(texts)):
        assert results[("seq", i)] == expected_seq[i]
        assert results[("fasta", i)] == expected_fasta[i]


def test_aborts_in_threads_stay_in_their_thread(capfd):
    outcomes = []

    def bad():
        try:
            get_kmer_count_seq("ACGT" * 100_000 + "N", 4, False)
        except BaseException as error:  # noqa: B036
            outcomes.append(type(error).__name__)

    threads = [threading.Thread(target=bad) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == ["PanicException"] * 4
    capfd.readouterr()


class CallsBack:
    """A score whose conversion calls back into the table being changed."""

    def __init__(self, table, action):
        self.table, self.action, self.seen = table, action, None

    def __float__(self):
        try:
            self.action(self.table)
        except RuntimeError as error:
            self.seen = str(error)
            raise
        return 1.0


@pytest.mark.parametrize(
    ("action", "message"),
    [
        (lambda t: t.contains_gene_id("g"), "Already mutably borrowed"),
        (lambda t: t.get_top_hit("g"), "Already mutably borrowed"),
        (lambda t: t.path, "Already mutably borrowed"),
        (lambda t: t.write(), "Already mutably borrowed"),
        (lambda t: t.add_hit("g", "PF", 1.0, 2.0), "Already borrowed"),
        (lambda t: t.read(), "Already borrowed"),
    ],
)
def test_reentrant_calls_are_refused(tmp_path, action, message):
    table = TopHitFile(str(tmp_path / "top.tsv"))
    score = CallsBack(table, action)
    with pytest.raises(RuntimeError) as info:
        table.add_hit("g", "PF", score, 2.0)
    assert str(info.value) == message
    assert score.seen == message
    # the borrow was given back: the table works and holds nothing from the failed call
    assert not table.contains_gene_id("g")
    table.add_hit("g", "PF", 1.0, 2.0)
    assert table.get_top_hit("g").bit_score == 2.0


def test_reentrant_reads_of_other_objects_are_fine(tmp_path):
    table, other = TopHitFile(str(tmp_path / "a.tsv")), TopHitFile(str(tmp_path / "b.tsv"))
    score = CallsBack(other, lambda t: t.add_hit("x", "PF", 1.0, 2.0))
    table.add_hit("g", "PF", score, 2.0)
    assert other.contains_gene_id("x") and table.contains_gene_id("g")


# A daemon thread that counts while the interpreter shuts down is ended by the interpreter as it
# takes the lock back; the process must still exit with the status the main thread asked for.
EXIT_WHILE_COUNTING = """
import gc, os, sys, threading, time
from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq
path = sys.argv[1]
with open(path, "w") as fasta:
    fasta.write(">r\\n" + "ACGT" * 2_000_000 + "\\n")
calls = {{"seq": lambda: get_kmer_count_seq("ACGT" * 2_000_000, 11, False),
          "fasta": lambda: get_kmer_count_fasta(path, 11, False)}}
started = threading.Event()

def spin(call=calls[{kind!r}]):
    started.set()
    while True:
        call()

threading.Thread(target=spin, daemon=True).start()
started.wait()

class Slow:  # keeps shutting down busy while the thread comes back for the lock
    def __del__(self, sleep=time.sleep):
        sleep(0.5)

gc.disable()
slow = Slow()
slow.cycle = slow
del slow
sys.exit({status})
"""


@pytest.mark.parametrize("kind", ["seq", "fasta"])
@pytest.mark.parametrize("status", [0, 3])
def test_exit_while_a_daemon_thread_counts(tmp_path, kind, status):
    source = EXIT_WHILE_COUNTING.format(kind=kind, status=status)
    result = subprocess.run(
        [sys.executable, "-c", source, str(tmp_path / "g.fa")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (result.returncode, result.stderr) == (status, "")


def test_building_millions_of_objects_lets_other_threads_run():
    beats = []
    done = threading.Event()

    def heartbeat():
        while not done.is_set():
            beats.append(time.monotonic())
            time.sleep(0.01)

    thread = threading.Thread(target=heartbeat)
    thread.start()
    try:
        start = time.monotonic()
        kmers = get_possible_kmers(11)  # seconds of work with the lock held
        end = time.monotonic()
    finally:
        done.set()
        thread.join()
    assert len(kmers) == 4**11
    during = [start] + [beat for beat in beats if start <= beat <= end] + [end]
    # The heartbeat may wait for a core on a loaded machine, so the bound grows with the call's
    # own time, which such a machine stretches too; a lock held throughout leaves one gap as long
    # as the call.
    assert max(b - a for a, b in zip(during, during[1:])) < max(0.15, (end - start) / 4)
