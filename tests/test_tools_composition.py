"""Composition features (KmerTable.features), tetranucleotide z-scores (tetra_zscores,
TetraTable) and nearest rows (KmerTable.neighbours), each against a NumPy model of its formula
written row by row from the sequences themselves."""

import itertools
import math
import pickle
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velko_tools
from velko_tools import (
    FastaFormatError,
    KmerTable,
    TetraTable,
    count_kmers,
    row_features,
    tetra_zscores,
)

KINDS = ["frequency", "log_ratio", "pseudo_frequency", "clr", "l2"]
TETRAS = ["".join(t) for t in itertools.product("ACGT", repeat=4)]
PAIR = str.maketrans("ACGTacgt", "TGCAtgca")


def feature_model(counts, kind, pseudocount=None):
    """Each kind's formula, one row at a time."""
    out = []
    for row in counts.astype(np.float64):
        with np.errstate(divide="ignore", invalid="ignore"):
            if kind == "frequency":
                out.append(row / row.sum())
            elif kind == "l2":
                out.append(row / math.sqrt((row**2).sum()))
            elif kind == "pseudo_frequency":
                p = 1e-5 if pseudocount is None else pseudocount
                out.append((row + p) / (row + p).sum())
            elif kind == "log_ratio":
                p = 1 if pseudocount is None else pseudocount
                out.append(np.log((row + p) / (row + p).sum()))
            else:
                p = 1 if pseudocount is None else pseudocount
                logs = np.log(row + p)
                out.append(logs - logs.mean())
    return np.array(out).reshape(counts.shape)


def genome(seed, length, n_runs=3, lower=0.3):
    """Random DNA with runs of N and a share of soft-masked (lower-case) letters."""
    rng = random.Random(seed)
    letters = [rng.choice("ACGT") for _ in range(length)]
    for i in range(length):
        if rng.random() < lower:
            letters[i] = letters[i].lower()
    for _ in range(n_runs):
        start = rng.randrange(max(1, length - 20))
        run = min(rng.randrange(1, 20), length - start)
        letters[start : start + run] = "N" * run
    return "".join(letters)


@pytest.fixture
def mixed_fasta(write_file):
    """Records of every edge: N and lower case, empty, all N, shorter than 4, exactly 4."""
    records = {
        "long": genome(1, 3000),
        "medium": genome(2, 500, n_runs=1),
        "empty": "",
        "all_n": "NNNNNNNNNN",
        "short": "ACG",
        "four": "acgT",
        "iupac": "ACGTRYACGTTT",
    }
    text = "".join(
        f">{name} description\n{seq[:70]}\n{seq[70:]}\n" for name, seq in records.items()
    )
    return write_file(text), records


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(("k", "strands"), [(4, "canonical"), (3, "forward"), (5, "both")])
def test_features_equal_their_formula(mixed_fasta, kind, k, strands):
    path, records = mixed_fasta
    table = count_kmers(path, k, strands=strands, invalid="skip")
    assert table.ids == list(records)
    got = table.features(kind)
    assert got.dtype == np.float64 and got.shape == table.counts.shape
    np.testing.assert_allclose(got, feature_model(table.counts, kind), rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    ("kind", "pseudocount"), [("log_ratio", 0.5), ("pseudo_frequency", 2), ("clr", 1e-3)]
)
def test_pseudocount_replaces_the_default(mixed_fasta, kind, pseudocount):
    table = count_kmers(mixed_fasta[0], 4, strands="canonical", invalid="skip")
    got = table.features(kind, pseudocount=pseudocount)
    np.testing.assert_allclose(got, feature_model(table.counts, kind, pseudocount), rtol=1e-12)
    assert not np.allclose(got, table.features(kind))


def test_rows_without_a_window(mixed_fasta):
    """Empty, all-N and too-short records: NaN for the kinds that divide by the counts, the
    formula (a flat row) for the others; never an exception."""
    path, records = mixed_fasta
    table = count_kmers(path, 4, strands="canonical", invalid="skip")
    empty = [table.ids.index(name) for name in ("empty", "all_n", "short")]
    for kind in ("frequency", "l2"):
        assert np.isnan(table.features(kind)[empty]).all()
    columns = table.counts.shape[1]
    np.testing.assert_allclose(table.features("log_ratio")[empty], math.log(1 / columns))
    np.testing.assert_allclose(table.features("pseudo_frequency")[empty], 1 / columns)
    assert (table.features("clr")[empty] == 0).all()
    # every other row is finite and frequencies sum to one
    full = [i for i in range(len(table)) if i not in empty]
    assert np.isfinite(table.features("frequency")[full]).all()
    np.testing.assert_allclose(table.features("frequency")[full].sum(axis=1), 1.0)


def test_features_of_an_empty_table_and_across_blocks(write_file, monkeypatch):
    empty = count_kmers(write_file(""), 4, strands="canonical")
    assert empty.features("clr").shape == (0, 136)
    # rows split across many blocks give what one block gives
    path = write_file("".join(f">r{i}\n{genome(i, 50 + i, n_runs=1)}\n" for i in range(40)))
    table = count_kmers(path, 4, strands="canonical", invalid="skip")
    whole = {kind: table.features(kind) for kind in KINDS}
    monkeypatch.setattr(row_features, "BLOCK_BYTES", 136 * 8 * 3)
    for kind in KINDS:
        np.testing.assert_array_equal(table.features(kind), whole[kind])


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (
            lambda t: t.features("tf-idf"),
            ValueError,
            "kind must be 'frequency', 'log_ratio', 'pseudo_frequency', 'clr' or 'l2', "
            "not 'tf-idf'",
        ),
        (
            lambda t: t.features("l2", pseudocount=1),
            ValueError,
            "the kind 'l2' takes no pseudocount",
        ),
        (
            lambda t: t.features("clr", pseudocount=0),
            ValueError,
            "pseudocount must be a positive finite number, not 0",
        ),
        (lambda t: t.features("clr", pseudocount=math.nan), ValueError, "not nan"),
        (lambda t: t.features("clr", pseudocount=True), ValueError, "not True"),
    ],
)
def test_features_refusals(write_file, call, error, text):
    table = count_kmers(write_file(">a\nACGTACGT\n"), 4, strands="canonical")
    with pytest.raises(error) as raised:
        call(table)
    assert str(raised.value) == text or str(raised.value).endswith(text)


def test_features_too_large_is_refused_before_allocating(write_file, monkeypatch):
    import velko_tools.layout

    table = count_kmers(write_file(">a\nACGTACGT\n>b\nACGT\n"), 4, strands="canonical")
    monkeypatch.setattr(velko_tools.layout, "available_memory", lambda: 1000)
    with pytest.raises(MemoryError, match=r"^features of 2 rows of 136 k-mers needs about .* GiB"):
        table.features("frequency")


def test_features_of_a_table_read_back(mixed_fasta, tmp_path):
    table = count_kmers(mixed_fasta[0], 4, strands="canonical", invalid="skip")
    table.write(tmp_path / "t.npz")
    read = KmerTable.read(tmp_path / "t.npz")
    np.testing.assert_array_equal(read.features("clr"), table.features("clr"))


# Tetranucleotide z-scores -----------------------------------------------------------------


def oligo_model(seqs):
    """Both-strand counts of every oligonucleotide of length 1 to 4 over windows of A, C, G, T
    (either case), from the text."""
    counts = {}
    for seq in seqs:
        for strand in (seq.upper(), seq.translate(PAIR)[::-1].upper()):
            for length in range(1, 5):
                for i in range(len(strand) - length + 1):
                    word = strand[i : i + length]
                    if not word.strip("ACGT"):
                        counts[word] = counts.get(word, 0) + 1
    return counts


def zscore_model(counts):
    z = np.zeros(256)
    for t, tetra in enumerate(TETRAS):
        n23 = counts.get(tetra[1:3], 0)
        n123, n234 = counts.get(tetra[:3], 0), counts.get(tetra[1:], 0)
        if n23 == 0:
            continue
        expected = n123 * n234 / n23
        variance = expected * (n23 - n123) * (n23 - n234) / (n23 * n23)
        if variance > 0:
            z[t] = (counts.get(tetra, 0) - expected) / math.sqrt(variance)
    return z


def test_zscores_equal_the_model_per_record_and_per_file(mixed_fasta):
    path, records = mixed_fasta
    per_record = tetra_zscores(path, per_file=False)
    assert per_record.ids == list(records) and per_record.files == [path] * len(records)
    assert per_record.zscores.shape == (len(records), 256)
    for i, seq in enumerate(records.values()):
        np.testing.assert_allclose(
            per_record.zscores[i], zscore_model(oligo_model([seq])), rtol=1e-9, atol=1e-9
        )
    assert per_record.sizes.tolist() == [len(seq) for seq in records.values()]
    whole = tetra_zscores([path])
    assert whole.ids == [path] and len(whole) == 1
    np.testing.assert_allclose(
        whole.zscores[0], zscore_model(oligo_model(records.values())), rtol=1e-9, atol=1e-9
    )
    # records without a base pair have nothing to score: all zeros, never NaN
    for name in ("empty", "all_n"):
        assert (per_record.zscores[list(records).index(name)] == 0).all()


@settings(max_examples=40, deadline=None)
@given(st.text(alphabet="ACGTacgtN", max_size=60))
def test_zscores_of_any_sequence_match_the_model(tmp_path_factory, seq):
    path = tmp_path_factory.mktemp("z") / "one.fa"
    path.write_text(f">s\n{seq}\n")
    got = tetra_zscores(path, per_file=False).zscores[0]
    assert np.isfinite(got).all()
    np.testing.assert_allclose(got, zscore_model(oligo_model([seq])), rtol=1e-9, atol=1e-9)


def test_zscores_min_length_threads_and_files(write_file):
    seqs = [genome(s, n) for s, n in ((3, 800), (4, 90), (5, 2000))]
    first = write_file("".join(f">r{i}\n{seq}\n" for i, seq in enumerate(seqs)))
    second = write_file(">x\n" + genome(9, 1500) + "\n")
    kept = tetra_zscores(first, per_file=False, min_length=100)
    assert kept.ids == ["r0", "r2"]
    per_file = tetra_zscores([first, second], min_length=100, threads=1)
    np.testing.assert_allclose(
        per_file.zscores[0], zscore_model(oligo_model([seqs[0], seqs[2]])), rtol=1e-9, atol=1e-9
    )
    assert per_file.sizes.tolist() == [2800, 1500]
    again = tetra_zscores([first, second], min_length=100, threads=2)
    np.testing.assert_array_equal(again.zscores, per_file.zscores)
    # a file whose every record is left out keeps its row, all zeros
    assert (tetra_zscores(first, min_length=10**6).zscores == 0).all()


def test_correlation_is_pearson_of_the_zscores(write_file):
    paths = [write_file(f">g{i}\n{genome(20 + i, 4000)}\n") for i in range(4)]
    table = tetra_zscores(paths)
    np.testing.assert_allclose(table.correlation(), np.corrcoef(table.zscores), atol=1e-12)
    part = tetra_zscores(paths[:2])
    np.testing.assert_allclose(
        part.correlation(table), np.corrcoef(part.zscores, table.zscores)[:2, 2:], atol=1e-12
    )
    assert list(table.to_pandas().columns) == TETRAS
    # a pickled table comes back field by field, windowed or not
    windowed = tetra_zscores(paths[:2], per_file=False, window=1500, step=1000)
    for original in (table, windowed):
        again = pickle.loads(pickle.dumps(original))
        assert (again.ids, again.files) == (original.ids, original.files)
        for name in ("zscores", "sizes", "starts", "ends"):
            mine, theirs = getattr(again, name), getattr(original, name)
            assert (mine is None and theirs is None) or np.array_equal(mine, theirs), name
    assert windowed.starts is not None and table.starts is None


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda p: tetra_zscores(p, min_length=-1), ValueError, "min_length must be"),
        (lambda p: tetra_zscores(p, threads=0), ValueError, "threads must be"),
        (lambda p: tetra_zscores(p, per_file=1), TypeError, "per_file must be a bool"),
        (lambda p: tetra_zscores(p + ".missing"), FileNotFoundError, "missing"),
    ],
)
def test_zscore_refusals(write_file, call, error, text):
    with pytest.raises(error, match=text):
        call(write_file(">a\nACGT\n"))


def test_zscores_of_a_file_that_is_not_fasta(write_file):
    with pytest.raises(FastaFormatError):
        tetra_zscores(write_file("ACGT\n"))


def pyani_model(seqs):
    """Our model with pyani's own counting: each strand's last tetranucleotide is not counted,
    z is 0 for a tetranucleotide never seen, and 1 / N(n2n3)^2 where the variance is 0."""
    counts = oligo_model(seqs)
    for seq in seqs:
        for strand in (seq.upper(), seq.translate(PAIR)[::-1].upper()):
            last = strand[-4:]
            if len(strand) >= 4 and not last.strip("ACGT"):
                counts[last] -= 1
    z = zscore_model(counts)
    for t, tetra in enumerate(TETRAS):
        n23, n123, n234 = counts.get(tetra[1:3], 0), counts.get(tetra[:3]), counts.get(tetra[1:])
        if counts.get(tetra, 0) == 0:
            z[t] = 0
        elif n23 in (n123, n234):
            z[t] = 1 / (n23 * n23)
    return z


def test_agrees_with_pyani_as_documented(write_file):
    tetra = pytest.importorskip("pyani.tetra", reason="pyani is not installed")
    seqs = [genome(40, 5000, lower=0), genome(41, 3000, lower=0, n_runs=0)]
    path = write_file("".join(f">c{i}\n{seq}\n" for i, seq in enumerate(seqs)))
    theirs = tetra.calculate_tetra_zscore(path)
    ours = tetra_zscores(path).zscores[0]
    theirs_array = np.array([theirs[t] for t in TETRAS], dtype=float)
    np.testing.assert_allclose(theirs_array, pyani_model(seqs), rtol=1e-9, atol=1e-9)
    # the differences barely move the z-scores of a genome, nor the comparison built on them
    assert np.corrcoef(ours, theirs_array)[0, 1] > 0.999


# Nearest rows -----------------------------------------------------------------------------


def brute_force(queries, targets, metric, top, same):
    if metric == "l1":
        d = np.abs(queries[:, None, :] - targets[None, :, :]).sum(axis=2)
    elif metric == "euclidean":
        d = np.sqrt(((queries[:, None, :] - targets[None, :, :]) ** 2).sum(axis=2))
    else:
        d = 1 - np.array([[np.corrcoef(q, t)[0, 1] for t in targets] for q in queries])
    d[np.isnan(d)] = np.inf
    result = []
    for i, row in enumerate(d):
        order = sorted((value, j) for j, value in enumerate(row) if not (same and i == j))[:top]
        result.append(order)
    return result


def random_table(seed, rows, with_duplicates=True):
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 6, size=(rows, 136)).astype(np.uint64)
    if with_duplicates:
        counts[3] = counts[1]  # a tie at distance 0
        counts[5] = 0  # a row without features
    ids = [f"r{i}" for i in range(rows)]
    return KmerTable(
        ids,
        ["f"] * rows,
        4,
        "canonical",
        list(range(136)),
        counts,
        counts.sum(axis=1),
        np.zeros(rows, np.uint64),
    )


@pytest.mark.parametrize("metric", ["l1", "euclidean", "correlation"])
@pytest.mark.parametrize("blocks", [False, True])
def test_neighbours_equal_brute_force(metric, blocks, monkeypatch):
    if blocks:  # many small blocks of targets, each merged into the running best
        monkeypatch.setattr(row_features, "DISTANCE_BYTES", 8 * 256 * 7)
    table = random_table(1, 40)
    top = 6
    frame = table.neighbours("frequency", metric, top=top, threads=2)
    features = table.features("frequency")
    expected = brute_force(features, features, metric, top, same=True)
    assert list(frame.columns) == ["query", "query_id", "match", "match_id", "distance", "rank"]
    assert len(frame) == 40 * top
    for query, group in frame.groupby("query"):
        assert group["rank"].tolist() == list(range(1, top + 1))
        assert (group["query_id"] == f"r{query}").all()
        want = expected[query]
        distances = group["distance"].to_numpy()
        np.testing.assert_allclose(
            np.nan_to_num(distances, nan=np.inf), [v for v, _ in want], rtol=1e-9, atol=1e-9
        )
        # matches agree wherever the distance is not within rounding of another
        values = [v for v, _ in want]
        for rank, (value, match) in enumerate(want):
            others = [other for j, other in enumerate(values) if j != rank]
            if not any(math.isclose(value, other, abs_tol=1e-9) for other in others):
                assert group["match"].iloc[rank] == match
        assert query not in group["match"].tolist()
    # the duplicate rows find each other first, at distance 0; the empty row is NaN to all
    first = frame[frame["rank"] == 1].set_index("query")
    assert first.loc[1, "match"] == 3 and first.loc[3, "match"] == 1
    assert first.loc[1, "distance"] == pytest.approx(0, abs=1e-7)
    assert frame[frame["query"] == 5]["distance"].isna().all()
    assert (frame[frame["match"] == 5]["rank"] == top).all() or not (frame["match"] == 5).any()


def test_neighbours_in_another_table_and_more_than_there_are():
    table, other = random_table(2, 9, False), random_table(3, 12, False)
    frame = table.neighbours(metric="euclidean", top=50, other=other)
    assert len(frame) == 9 * 12  # every row of other, for each query
    expected = brute_force(
        table.features("frequency"), other.features("frequency"), "euclidean", 50, same=False
    )
    for query, group in frame.groupby("query"):
        assert group["match"].tolist() == [j for _, j in expected[query]]
        assert group["match_id"].tolist() == [f"r{j}" for _, j in expected[query]]
    alone = random_table(4, 1, False).neighbours()
    assert len(alone) == 0


def test_neighbours_refusals():
    table = random_table(5, 4, False)
    with pytest.raises(
        ValueError, match="^metric must be 'l1', 'euclidean' or 'correlation', not 'cosine'$"
    ):
        table.neighbours(metric="cosine")
    with pytest.raises(ValueError, match="top must be a positive int"):
        table.neighbours(top=0)
    other = KmerTable(
        ["a"],
        ["f"],
        3,
        "canonical",
        list(range(32)),
        np.ones((1, 32), np.uint64),
        np.array([32], np.uint64),
        np.zeros(1, np.uint64),
    )
    with pytest.raises(ValueError, match="their columns differ"):
        table.neighbours(other=other)


def test_public_names():
    assert velko_tools.TetraTable is TetraTable
    assert {"TetraTable", "tetra_zscores"} <= set(velko_tools.__all__)
