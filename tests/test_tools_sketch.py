"""velko_tools sketches against sourmash from PyPI: hash sets, signature files both ways, and
every value of compare."""

import gzip
import math
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from children import ADDRESS_LIMIT, assert_interrupted
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velko_tools
from velko_tools import SketchTable, sketch
from velko_tools.sketches import PAIR_COLUMNS, max_hash_for

sourmash = pytest.importorskip("sourmash")

ROOT = pathlib.Path(__file__).resolve().parent.parent
GENOMES = sorted((ROOT / "examples" / "data").glob("*.fna*"))


def records(path):
    """(id, sequence) of each record of a FASTA file, read independently of velko."""
    opener = gzip.open if str(path).endswith(".gz") else open
    found = []
    with opener(path, "rt") as text:
        for line in text:
            if line.startswith(">"):
                found.append([line[1:].split()[0] if line[1:].split() else "", []])
            elif found:
                found[-1][1].append(line.strip())
    return [(name, "".join(parts)) for name, parts in found]


def reference(sequences, k, scaled, seed=42, abundance=False):
    mh = sourmash.MinHash(0, k, scaled=scaled, seed=seed, track_abundance=abundance)
    for sequence in sequences:
        mh.add_sequence(sequence, force=True)
    return mh


def assert_row_is(table, r, mh):
    assert table.row(r).tolist() == sorted(mh.hashes)
    if table.abundances is not None:
        start, stop = int(table.indptr[r]), int(table.indptr[r + 1])
        counts = dict(mh.hashes)
        assert table.abundances[start:stop].tolist() == [counts[h] for h in table.row(r).tolist()]


def test_murmur_check_value():
    assert velko_tools._core.murmur_hash(b"ACG", 42) == 1731421407650554201


@pytest.mark.parametrize(
    ("k", "scaled", "seed"),
    [(31, 1000, 42), (21, 10, 42), (51, 100, 7), (64, 1, 2**64 - 1), (1, 1, 42), (32, 10000, 3)],
)
def test_real_genomes_hash_for_hash(k, scaled, seed):
    table = sketch(GENOMES, k=k, scaled=scaled, seed=seed, abundance=True, threads=2)
    assert table.ids == [str(path) for path in GENOMES] == table.files
    for r, path in enumerate(GENOMES):
        sequences = [seq for _, seq in records(path)]
        assert_row_is(table, r, reference(sequences, k, scaled, seed, abundance=True))
    rows = sketch(GENOMES, k=k, scaled=scaled, seed=seed, per_file=False, threads=1)
    expected = [(name, path) for path in GENOMES for name, _ in records(path)]
    assert list(zip(rows.ids, rows.files)) == [(name, str(path)) for name, path in expected]
    assert rows.abundances is None
    r = 0
    for path in GENOMES:
        for _, seq in records(path):
            assert_row_is(rows, r, reference([seq], k, scaled, seed))
            r += 1


# Sequences of bases, N, other bytes and lower case; records shorter than k and empty ones.
sequence = st.text(alphabet="ACGTACGTACGTacgtNnRY*-", max_size=300)


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    seqs=st.lists(sequence, min_size=1, max_size=4),
    k=st.integers(1, 64),
    scaled=st.sampled_from([1, 2, 10]),
    seed=st.sampled_from([42, 0, 1234567]),
    width=st.integers(1, 90),
)
def test_generated_records_hash_for_hash(write_file, seqs, k, scaled, seed, width):
    text = "".join(
        f">r{i}\n" + "".join(seq[at : at + width] + "\n" for at in range(0, len(seq), width))
        for i, seq in enumerate(seqs)
    )
    path = write_file(text)
    table = sketch(path, k=k, scaled=scaled, seed=seed, per_file=False, abundance=True)
    assert len(table) == len(seqs)
    for r, seq in enumerate(seqs):
        assert_row_is(table, r, reference([seq], k, scaled, seed, abundance=True))
    whole = sketch(path, k=k, scaled=scaled, seed=seed, abundance=True)
    assert_row_is(whole, 0, reference(seqs, k, scaled, seed, abundance=True))


def test_long_records_cross_every_batch_and_buffer(tmp_path):
    # Records of a few MB reach the reader's stretches and the kernel's batches at every
    # offset; scaled 1 at k = 21 keeps every hash, so the row is compacted as it grows.
    rng = np.random.default_rng(5)
    seq = np.frombuffer(b"ACGTacgtN", np.uint8)[rng.integers(0, 9, 3_000_000)].tobytes().decode()
    path = tmp_path / "long.fa"
    path.write_text(">a\n" + seq + "\n>b\n" + seq[:1_000_003][::-1] + "\n")
    for k, scaled in ((21, 1), (31, 100), (40, 10)):
        table = sketch(path, k=k, scaled=scaled, abundance=True)
        assert_row_is(table, 0, reference([seq, seq[:1_000_003][::-1]], k, scaled, abundance=True))


@pytest.mark.filterwarnings("ignore:max_hash is deprecated")
def test_max_hash_is_sourmashs():
    for scaled in (1, 2, 3, 10, 1000, 10_000, 123_457, 2**31 + 1, 2**32 - 1):
        assert max_hash_for(scaled) == sourmash.MinHash(0, 21, scaled=scaled).max_hash


@pytest.fixture
def genomes_table():
    return sketch(GENOMES, k=21, scaled=100, abundance=True)


def test_table_values(genomes_table, tmp_path):
    table = genomes_table
    assert (table.k, table.scaled, table.seed, len(table)) == (21, 100, 42, len(GENOMES))
    assert table == pickle.loads(pickle.dumps(table))
    assert table != sketch(GENOMES, k=21, scaled=100)
    assert table.row(-1).tolist() == table.hashes[int(table.indptr[-2]) :].tolist()
    assert all(np.all(np.diff(table.row(r).astype(np.float64)) > 0) for r in range(len(table)))
    frame = table.to_pandas()
    assert frame["id"].tolist() == table.ids
    assert frame["size"].tolist() == np.diff(table.indptr).tolist()
    assert (
        frame["abundances"][1].tolist()
        == table.abundances[int(table.indptr[1]) : int(table.indptr[2])].tolist()
    )
    with pytest.raises(IndexError):
        table.row(len(GENOMES))


@pytest.mark.parametrize("suffix", [".sig", ".sig.gz", ".parquet", ".npz"])
@pytest.mark.parametrize("abundance", [False, True])
def test_files_read_back_equal(tmp_path, suffix, abundance):
    table = sketch(GENOMES, k=25, scaled=50, per_file=False, abundance=abundance)
    path = tmp_path / f"sketches{suffix}"
    table.write(path)
    assert SketchTable.read(path) == table
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize("suffix", [".sig", ".sig.gz"])
def test_sourmash_reads_ours(genomes_table, tmp_path, suffix):
    path = tmp_path / f"ours{suffix}"
    genomes_table.write(path)
    loaded = list(sourmash.load_file_as_signatures(str(path)))
    assert [sig.name for sig in loaded] == genomes_table.ids
    assert [sig.filename for sig in loaded] == genomes_table.files
    for r, sig in enumerate(loaded):
        mh = sig.minhash
        assert (mh.ksize, mh.scaled, mh.seed, mh.track_abundance) == (21, 100, 42, True)
        assert_row_is(genomes_table, r, mh)
        assert sig.md5sum() == sourmash.SourmashSignature(mh).md5sum()
    described = subprocess.run(
        [sys.executable, "-m", "sourmash", "sig", "describe", str(path)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert described.returncode == 0, described.stderr
    assert described.stdout.count("k=21") == len(genomes_table)


def test_we_read_sourmashs(tmp_path):
    signatures = []
    for path in GENOMES:
        for k in (21, 31):
            mh = reference([seq for _, seq in records(path)], k, 10 if k == 21 else 50)
            signatures.append(sourmash.SourmashSignature(mh, name=path.stem, filename=str(path)))
    for name in ("theirs.sig.gz", "theirs.zip"):
        with sourmash.save_load.SaveSignaturesToLocation(str(tmp_path / name)) as save:
            for sig in signatures:
                save.add(sig)
        with pytest.raises(ValueError, match=r"holds sketches of k \[21, 31\]: pass k="):
            SketchTable.read(tmp_path / name)
        table = SketchTable.read(tmp_path / name, k=21)
        assert (table.k, table.scaled, table.abundances) == (21, 10, None)
        ours = sorted(zip(table.ids, (tuple(table.row(r)) for r in range(len(table)))))
        theirs = sorted((sig.name, tuple(sorted(sig.minhash.hashes))) for sig in signatures[::2])
        assert ours == theirs
    with pytest.raises(ValueError, match="holds no DNA sketch of k=19"):
        SketchTable.read(tmp_path / "theirs.zip", k=19)


def family_genomes(tmp_path, families=3, members=4, length=30_000, seed=1):
    """Files of related genomes: per family, a random ancestor and copies of it with point
    mutations at several rates and an end cut off, so that pairs share many hashes or few."""
    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"ACGT", np.uint8)
    paths = []
    for f in range(families):
        ancestor = letters[rng.integers(0, 4, length)]
        for m in range(members):
            copy = ancestor.copy()
            flips = rng.random(length) < 0.01 * m
            copy[flips] = letters[rng.integers(0, 4, int(flips.sum()))]
            copy = copy[: length - 3_000 * m]
            path = tmp_path / f"f{f}m{m}.fa"
            path.write_bytes(b">g\n" + copy.tobytes() + b"\n")
            paths.append(path)
    return paths


def sourmash_pair(a, b, k):
    """The values compare() gives for (a, b), computed by sourmash's MinHash methods."""
    ani = {
        "containment_ani": a.containment_ani(b).ani,
        "match_containment_ani": b.containment_ani(a).ani,
        "max_containment_ani": a.max_containment_ani(b).ani,
        "jaccard_ani": a.jaccard_ani(b).ani,
    }
    return {
        "intersection": a.count_common(b),
        "query_size": len(a),
        "match_size": len(b),
        "jaccard": a.jaccard(b),
        "containment": a.contained_by(b),
        "match_containment": b.contained_by(a),
        "max_containment": a.max_containment(b),
        **{name: math.nan if value is None else value for name, value in ani.items()},
    }


def assert_pairs_equal(frame, expected):
    assert list(frame.columns) == list(PAIR_COLUMNS)
    got = {(row.query, row.match): row for row in frame.itertuples(index=False)}
    assert sorted(got) == sorted(expected)
    for key, values in expected.items():
        for name, value in values.items():
            mine = getattr(got[key], name)
            if isinstance(value, float) and math.isnan(value):
                assert math.isnan(mine), (key, name)
            else:
                assert mine == pytest.approx(value, rel=0, abs=1e-12), (key, name, mine, value)


@pytest.mark.parametrize(
    ("metric", "threshold"), [("max_containment", 0.0), ("jaccard", 0.3), ("containment", 0.5)]
)
def test_compare_equals_sourmash(tmp_path, metric, threshold):
    paths = family_genomes(tmp_path)
    k, scaled = 21, 20
    table = sketch(paths, k=k, scaled=scaled)
    mhs = [reference([seq for _, seq in records(p)], k, scaled) for p in paths]
    metric_of = {
        "max_containment": lambda a, b: a.max_containment(b),
        "jaccard": lambda a, b: a.jaccard(b),
        "containment": lambda a, b: a.contained_by(b),
    }[metric]
    expected = {}
    for i in range(len(paths)):
        for j in range(i + 1, len(paths)):
            a, b = mhs[i], mhs[j]
            if a.count_common(b) and metric_of(a, b) >= threshold:
                expected[(str(paths[i]), str(paths[j]))] = sourmash_pair(a, b, k)
    frame = table.compare(threshold=threshold, metric=metric, threads=2)
    assert len(expected) > 5
    assert_pairs_equal(frame, expected)
    # Query before match in row order, each unordered pair once.
    rows = {name: r for r, name in enumerate(table.ids)}
    order = [(rows[q], rows[m]) for q, m in zip(frame["query"], frame["match"])]
    assert order == sorted(order) and all(q < m for q, m in order)


def test_compare_two_tables_downsamples_the_finer(tmp_path):
    paths = family_genomes(tmp_path, families=2, members=3, seed=4)
    queries = sketch(paths[:3], k=31, scaled=10)
    matches = sketch(paths, k=31, scaled=40)
    frame = queries.compare(matches, threshold=0.0)
    expected = {}
    for q in paths[:3]:
        a = reference([seq for _, seq in records(q)], 31, 10).downsample(scaled=40)
        for m in paths:
            b = reference([seq for _, seq in records(m)], 31, 40)
            if a.count_common(b):
                expected[(str(q), str(m))] = sourmash_pair(a, b, 31)
    assert_pairs_equal(frame, expected)
    assert len(frame) == len(expected) >= 9  # each query meets itself among the matches


def test_downsampling_keeps_empty_rows(write_file):
    # Records shorter than k give empty rows, first, between and last.
    path = write_file(
        ">a\nAC\n>b\n" + "ACGTTGCA" * 200 + "\n>c\nA\n>d\n" + "GGCATC" * 300 + "\n>e\n\n"
    )
    fine = sketch(path, k=9, scaled=2, per_file=False)
    coarse = fine.downsample(7)
    assert coarse == sketch(path, k=9, scaled=7, per_file=False)
    assert np.diff(coarse.indptr).tolist()[::2] == [0, 0, 0]
    with pytest.raises(ValueError, match="cannot downsample scaled 2 to the smaller 1"):
        fine.downsample(1)


def test_compare_refuses_other_parameters(genomes_table):
    other = sketch(GENOMES, k=31, scaled=100)
    with pytest.raises(ValueError, match="cannot compare sketches of k=21, seed=42 with"):
        genomes_table.compare(other)
    with pytest.raises(ValueError, match="metric must be"):
        genomes_table.compare(metric="cosine")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="threshold must be between 0 and 1"):
        genomes_table.compare(threshold=1.5)


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"k": 0}, ValueError, "k must be between 1 and 64, not 0"),
        ({"k": 65}, ValueError, "k must be between 1 and 64, not 65"),
        ({"scaled": 0}, ValueError, "scaled must be an int from 1 to"),
        ({"seed": -1}, ValueError, "seed must be an int from 0 to"),
        ({"per_file": 1}, TypeError, "per_file must be a bool, not int"),
    ],
)
def test_arguments_are_checked(write_file, options, error, message):
    with pytest.raises(error, match=message):
        sketch(write_file(">a\nACGT\n"), **options)


def test_inputs_as_count_kmers_takes_them(write_file, tmp_path):
    plain = write_file(">a\nACGTACGTTTGACCA\n>b\nGGGGCCCCAAAATTT\n")
    packed = tmp_path / "packed.fa.gz"
    packed.write_bytes(gzip.compress(pathlib.Path(plain).read_bytes()))
    one = sketch(plain, k=5, scaled=1)
    assert sketch(pathlib.Path(packed), k=5, scaled=1).row(0).tolist() == one.row(0).tolist()
    with pytest.raises(FileNotFoundError):
        sketch(tmp_path / "missing.fa")
    damaged = tmp_path / "damaged.fa.gz"
    damaged.write_bytes(gzip.compress(b">a\nACGT\n")[:-12] + b"\0" * 12)
    with pytest.raises((gzip.BadGzipFile, EOFError)):
        sketch(damaged)
    with pytest.raises(velko_tools.FastaFormatError):
        sketch(write_file("ACGT\n"))
    source = (
        "import velko_tools; t = velko_tools.sketch('-', k=5, scaled=1); "
        f"print(t.ids, list(t.row(0)) == {one.row(0).tolist()})"
    )
    with open(plain, "rb") as stdin:
        done = subprocess.run(
            [sys.executable, "-c", source], stdin=stdin, capture_output=True, text=True, check=False
        )
    assert (done.stdout, done.stderr) == ("['-'] True\n", "")


def test_ctrl_c_stops_a_sketch(tmp_path):
    path = tmp_path / "big.fa"
    rng = np.random.default_rng(3)
    path.write_bytes(
        b">a\n" + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 60_000_000)].tobytes()
    )
    setup = textwrap.dedent("""
        from velko_tools import sketch
        limit_address_space(3 << 30)
        """)
    assert_interrupted(
        f"sketch([{str(path)!r}] * 20, k=40, scaled=1, threads=1)",
        setup=setup,
        prelude=ADDRESS_LIMIT,
    )


def test_a_sketch_past_the_memory_left_is_refused(tmp_path):
    # Scaled 1 keeps every window's hash; under a small address space that must be a
    # MemoryError that says what needed the memory, not a crash.
    path = tmp_path / "big.fa"
    rng = np.random.default_rng(9)
    path.write_bytes(
        b">a\n" + np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, 80_000_000)].tobytes()
    )
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        import velko_tools
        limit_address_space(300 << 20)
        try:
            velko_tools.sketch({str(path)!r}, k=31, scaled=1, threads=1)
        except MemoryError as error:
            print("refused:", error)
        """)
    if os.environ.get("VELKO_SANITIZED"):
        pytest.skip("AddressSanitizer's shadow memory does not fit an address-space limit")
    done = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=300, check=False
    )
    assert done.stdout.startswith("refused: a sketch needs about"), done.stdout + done.stderr


def test_runs_take_sketches_and_resume_them(tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "run"
    first = velko_tools.run_genomes(
        GENOMES, out, sketch={"k": 21, "scaled": 10}, workers=1, batch_size=2, progress=False
    )
    assert first.done == len(GENOMES)
    run = velko_tools.open_run(out)
    table = run.sketches()
    assert (table.k, table.scaled, table.seed) == (21, 10, 42)
    assert table.ids == sorted(run.genomes()["genome"])
    direct = sketch(GENOMES, k=21, scaled=10)
    by_path = {path: direct.row(r).tolist() for r, path in enumerate(direct.files)}
    for r, path in enumerate(table.files):
        assert table.row(r).tolist() == by_path[path]
    # A resume keeps every part; other sketch options are refused like other options.
    again = velko_tools.run_genomes(
        GENOMES, out, sketch={"k": 21, "scaled": 10}, workers=1, progress=False
    )
    assert (again.done, again.skipped) == (0, len(GENOMES))
    with pytest.raises(ValueError, match="sketch_k=21, not sketch_k=31"):
        velko_tools.run_genomes(GENOMES, out, sketch={"scaled": 10}, workers=1, progress=False)
    # A damaged part is found when read, and the same run repairs it.
    part = sorted((out / "sketches").glob("*.parquet"))[0]
    part.write_bytes(part.read_bytes()[:-20])
    with pytest.raises(velko_tools.DamagedRunError):
        velko_tools.open_run(out).sketches()
    velko_tools.run_genomes(GENOMES, out, sketch={"k": 21, "scaled": 10}, workers=1, progress=False)
    assert velko_tools.open_run(out).sketches() == table
    with pytest.raises(ValueError, match="sketch takes k, scaled and seed, not size"):
        velko_tools.run_genomes(GENOMES, tmp_path / "other", sketch={"size": 3})


def test_runs_without_sketches_say_so(tmp_path):
    pytest.importorskip("pyarrow")
    velko_tools.run_genomes(GENOMES[:1], tmp_path / "run", workers=1, progress=False)
    with pytest.raises(ValueError, match="this run took no sketches"):
        velko_tools.open_run(tmp_path / "run").sketches()


def velko(*arguments, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "velko_tools", *map(str, arguments)],
        capture_output=True,
        text=True,
        check=False,
        stdin=stdin,
    )


def test_command_line_sketch_and_compare(tmp_path):
    paths = family_genomes(tmp_path, families=2, members=3, seed=8)
    listing = tmp_path / "genomes.txt"
    listing.write_text("".join(f"{p.name}\n" for p in paths))
    done = velko("sketch", f"@{listing}", "-k", 21, "--scaled", 20, "-o", tmp_path / "s.sig.gz")
    assert (done.returncode, done.stderr) == (0, "")
    table = SketchTable.read(tmp_path / "s.sig.gz")
    assert table == sketch(paths, k=21, scaled=20)
    done = velko("compare", tmp_path / "s.sig.gz", "--threshold", 0.2, "--metric", "jaccard")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].split("\t") == list(PAIR_COLUMNS)
    frame = table.compare(threshold=0.2, metric="jaccard")
    assert [line.split("\t")[:3] for line in lines[1:]] == [
        [q, m, str(n)] for q, m, n in zip(frame["query"], frame["match"], frame["intersection"])
    ]
    done = velko(
        "compare", tmp_path / "s.sig.gz", tmp_path / "s.sig.gz", "-o", tmp_path / "p.parquet"
    )
    assert done.returncode == 0, done.stderr
    import pandas

    pairs = pandas.read_parquet(tmp_path / "p.parquet")
    assert len(pairs) == len(table.compare(table)) and (pairs["query"] == pairs["match"]).sum() == 6
    # Bad input is one line and status 1; usage errors status 2.
    done = velko("sketch", tmp_path / "missing.fa", "-o", tmp_path / "x.sig")
    assert (done.returncode, done.stderr) == (
        1,
        f"velko: error: {tmp_path / 'missing.fa'}: No such file or directory\n",
    )
    assert velko("sketch", paths[0], "-o", tmp_path / "x.txt").returncode == 2
    assert velko("sketch", paths[0], "-k", 65, "-o", tmp_path / "x.sig").returncode == 2
    assert velko("compare", tmp_path / "s.txt").returncode == 2
    other = tmp_path / "k31.sig"
    assert velko("sketch", paths[0], "-o", other).returncode == 0
    done = velko("compare", tmp_path / "s.sig.gz", other)
    assert (done.returncode, done.stderr) == (
        1,
        "velko: error: cannot compare sketches of k=21, seed=42 with sketches of k=31, seed=42\n",
    )


@pytest.fixture(scope="module")
def family_table(tmp_path_factory):
    paths = family_genomes(tmp_path_factory.mktemp("families"), families=3, members=5, seed=12)
    return sketch(paths, k=21, scaled=20, abundance=True)


@settings(max_examples=25, deadline=None)
@given(
    threshold=st.floats(0.0, 1.0),
    metric=st.sampled_from(["jaccard", "containment", "max_containment"]),
)
def test_threshold_keeps_exactly_the_pairs_that_reach_it(family_table, threshold, metric):
    every = family_table.compare(threshold=0.0, metric=metric, threads=1)
    kept = family_table.compare(threshold=threshold, metric=metric, threads=2)
    # The native filter and the values given agree: a pair is kept when its value reaches the
    # threshold, whatever the rounding of either.
    expected = every[every[metric] >= threshold].reset_index(drop=True)
    assert kept.equals(expected)


def test_compare_of_nothing_in_common(write_file):
    table = sketch(
        [write_file(">a\nACGTAC\n"), write_file(">b\n" + "A" * 30 + "\n")], k=21, scaled=1
    )
    pairs = table.compare()
    assert list(pairs.columns) == list(PAIR_COLUMNS) and len(pairs) == 0
    # Against itself only the row of poly-A (one hash) meets itself; the empty row meets nothing.
    assert table.compare(table)[["query", "match", "intersection"]].values.tolist() == [
        [table.ids[1], table.ids[1], 1]
    ]


@pytest.mark.parametrize(
    ("indptr", "hashes", "message"),
    [
        ([0, 2], [1, 2, 3], "indptr does not cover the hashes"),
        ([1, 3], [1, 2, 3], "indptr does not cover the hashes"),
        ([0], [], "ids, files and indptr do not describe the same rows"),
    ],
)
def test_tables_that_do_not_hold_together_are_refused(indptr, hashes, message):
    with pytest.raises(ValueError, match=message):
        SketchTable(["a"], ["a"], 21, 10, 42, indptr, hashes)
