"""Runs that search genes: hits as pyrodigal, pyhmmer and HitTable.from_pyhmmer give them genome
by genome, the cutoffs the search applies, and the run's guarantees (workers, resume) for hits."""

import contextlib
import gzip
import importlib.util
import itertools
import os
import random
import shutil
import subprocess
import sys
import textwrap

import pytest
from children import fifo_feeder

pytest.importorskip("pyarrow", reason="runs write Parquet, which needs pyarrow")
pyhmmer = pytest.importorskip("pyhmmer")
pyrodigal = pytest.importorskip("pyrodigal")

from velko_tools import HitTable, open_run, run_genomes  # noqa: E402
from velko_tools.runs import genome_id_of  # noqa: E402

AMINO = "ACDEFGHIKLMNPQRSTVWY"
CODE = "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"
CODONS: dict[str, list[str]] = {}
for codon, amino in zip(itertools.product("TCAG", repeat=3), CODE):
    CODONS.setdefault(amino, []).append("".join(codon))
GATHERING = (100.0, 90.0)
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def write_profiles(path, rng, names, cutoffs=True):
    """One profile per name, built from a random protein; returns the proteins."""
    alphabet = pyhmmer.easel.Alphabet.amino()
    builder = pyhmmer.plan7.Builder(alphabet)
    background = pyhmmer.plan7.Background(alphabet)
    proteins = {}
    with open(path, "wb") as out:
        for name in names:
            protein = "".join(rng.choice(AMINO) for _ in range(150))
            seq = pyhmmer.easel.TextSequence(name=name.encode(), sequence=protein)
            hmm, _, _ = builder.build(seq.digitize(alphabet), background)
            hmm.name = name.encode()
            if cutoffs:
                hmm.cutoffs.gathering = GATHERING
                hmm.cutoffs.trusted = (GATHERING[0] + 50, GATHERING[1] + 50)
                hmm.cutoffs.noise = (GATHERING[0] - 40, GATHERING[1] - 40)
            hmm.write(out)
            proteins[name] = protein
    return proteins


def planted_genome(rng, proteins, records, spacer):
    """Records of random DNA holding each protein three times, changed at 10, 50 and 65% of
    its residues (hits on both sides of the cutoffs), on either strand."""
    flip = str.maketrans("ACGT", "TGCA")
    texts = [[] for _ in range(records)]
    for protein in proteins.values():
        for rate in (0.1, 0.5, 0.65):
            changed = "".join(rng.choice(AMINO) if rng.random() < rate else a for a in protein)
            gene = "ATG" + "".join(rng.choice(CODONS[a]) for a in changed) + "TAA"
            spaced = "".join(rng.choice("ACGT") for _ in range(spacer))
            texts[rng.randrange(records)].append(
                spaced + (gene[::-1].translate(flip) if rng.random() < 0.5 else gene)
            )
    return [f"contig{n}" for n in range(records)], ["".join(t) or "ACGT" for t in texts]


@pytest.fixture(scope="module")
def search_data(tmp_path_factory):
    """Four genomes (one over 100 kb, so trained on itself; one gzip; two sharing record ids),
    one too short to hold a gene, and a file of three profiles with GA, TC and NC lines."""
    directory = tmp_path_factory.mktemp("search")
    rng = random.Random(42)
    proteins = write_profiles(directory / "profiles.hmm", rng, ["famA", "famB", "famC"])
    paths = []
    for n, (records, spacer) in enumerate([(1, 400), (2, 300), (2, 800), (3, 12000)]):
        names, seqs = planted_genome(rng, proteins, records, spacer)
        text = "".join(f">{name} planted\n{seq}\n" for name, seq in zip(names, seqs))
        path = directory / f"GCF_{n:09d}.1_planted.fna{'.gz' if n == 1 else ''}"
        path.write_bytes(gzip.compress(text.encode()) if n == 1 else text.encode())
        paths.append(str(path))
    (directory / "GCF_000000009.1_tiny.fna").write_text(">contig0\nACGTAC\n>contig1\n")
    paths.append(str(directory / "GCF_000000009.1_tiny.fna"))
    return paths, directory / "profiles.hmm"


def searched_directly(path, hmm_path, cutoff, stop=False):
    """What the same genome gives through pyrodigal, pyhmmer and from_pyhmmer, in this test's
    own reading of the file: {(gene, hmm): (e_value, bit_score)} and the gene count. `stop`:
    proteins end with "*" as prodigal -a writes them."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt") as text:
        records = [
            (chunk.split("\n", 1)[0].split()[0], chunk.split("\n", 1)[1].replace("\n", ""))
            for chunk in text.read().split(">")[1:]
        ]
    if sum(len(seq) for _, seq in records) >= 100_000:
        finder = pyrodigal.GeneFinder()
        finder.train(*(seq.encode() for _, seq in records))
    else:
        finder = pyrodigal.GeneFinder(meta=True)
    genome = genome_id_of(path)
    alphabet = pyhmmer.easel.Alphabet.amino()
    proteins = [
        pyhmmer.easel.TextSequence(
            name=f"{genome}|{record}_{n}".encode(), sequence=gene.translate(include_stop=stop)
        ).digitize(alphabet)
        for record, seq in records
        for n, gene in enumerate(finder.find_genes(seq.encode()) if seq else (), 1)
    ]
    if not proteins:
        return {}, 0
    with pyhmmer.plan7.HMMFile(hmm_path) as hmm_file:
        hmms = list(hmm_file)
    options = {"bit_cutoffs": cutoff} if cutoff else {}
    found = pyhmmer.hmmsearch(
        hmms, pyhmmer.easel.DigitalSequenceBlock(alphabet, proteins), cpus=1, **options
    )
    table = HitTable.from_pyhmmer(found, cutoff=cutoff, hmm_file=hmm_path if cutoff else None)
    return {(gene, hmm): (e, bit) for gene, hmm, e, bit in table}, len(proteins)


@pytest.mark.parametrize("cutoff", [None, "gathering", "noise"])
def test_hits_are_each_genomes_direct_search(search_data, tmp_path, cutoff):
    paths, hmm_path = search_data
    run_genomes(
        paths, tmp_path, hmm_file=hmm_path, cutoff=cutoff, workers=2, batch_size=1, progress=False
    )
    run = open_run(tmp_path)
    frame = run.hits_frame()
    genes = run.genomes().set_index("genome")["genes"]
    expected = {}
    for path in paths:
        hits, count = searched_directly(path, hmm_path, cutoff)
        assert genes[genome_id_of(path)] == count
        expected.update(hits)
    got = {(g, h): (e, b) for g, h, e, b in run.hits()}
    assert got == expected and len(frame) == len(expected) >= len(paths)
    # Two genomes have records of the same names: their genes stay apart.
    assert all(gene.startswith(genome + "|") for genome, gene in zip(frame.genome, frame.gene_id))
    if cutoff == "gathering":
        assert (frame["bit_score"] >= GATHERING[0]).all()
    # The genome's top hit per profile: its best gene by score, one per genome and profile.
    best = frame.sort_values(["bit_score", "e_value"], ascending=[False, True])
    best = best.drop_duplicates(["genome", "hmm_id"])
    tops = frame[frame["genome_best"]]
    assert sorted(zip(tops.genome, tops.gene_id, tops.hmm_id)) == sorted(
        zip(best.genome, best.gene_id, best.hmm_id)
    )
    assert run.hits(top=True) == HitTable._from_columns(
        list(tops.gene_id), list(tops.hmm_id), tops.e_value.to_numpy(), tops.bit_score.to_numpy()
    )


def test_stop_codon_searches_the_proteins_prodigal_writes(search_data, tmp_path):
    paths, hmm_path = search_data
    run_genomes(paths, tmp_path, hmm_file=hmm_path, stop_codon=True, workers=1, progress=False)
    got = {(g, h): (e, b) for g, h, e, b in open_run(tmp_path).hits()}
    with_stop: dict = {}
    without: dict = {}
    for path in paths:
        with_stop.update(searched_directly(path, hmm_path, None, stop=True)[0])
        without.update(searched_directly(path, hmm_path, None)[0])
    assert got == with_stop
    # The stop is scored: the same genes and profiles, other scores.
    shared = got.keys() & without.keys()
    assert shared and any(got[key][1] != without[key][1] for key in shared)


def test_hits_are_the_same_for_any_workers_and_after_a_resume(search_data, tmp_path):
    paths, hmm_path = search_data
    options = {"hmm_file": hmm_path, "cutoff": "noise", "progress": False}
    run_genomes(paths, tmp_path / "one", workers=1, **options)
    # Half first, then all: the first half's batches are kept.
    run_genomes(paths[:2], tmp_path / "two", workers=2, batch_size=1, **options)
    summary = run_genomes(paths, tmp_path / "two", workers=2, batch_size=1, **options)
    assert (summary.skipped, summary.done) == (2, len(paths) - 2)
    for name in ("profiles", "genomes", "hits"):
        assert (
            open_run(tmp_path / "two")
            .table(name)
            .equals(open_run(tmp_path / "one").table(name), check_metadata=True)
        ), name
    if importlib.util.find_spec("dask") is not None:
        frame = open_run(tmp_path / "two").to_dask("hits").compute()
        assert len(frame) == len(open_run(tmp_path / "one").hits())
    # The profile file changed: the hits no longer match it.
    os.utime(hmm_path, ns=(0, 0))
    try:
        with pytest.raises(ValueError, match="hmm_mtime_ns=.*pass resume=False"):
            run_genomes(paths, tmp_path / "two", workers=1, **options)
    finally:
        os.utime(hmm_path)
    run_genomes(paths[:1], tmp_path / "plain", workers=1, progress=False)
    with pytest.raises(ValueError, match="searched no profiles"):
        open_run(tmp_path / "plain").hits()


@pytest.mark.parametrize(
    "cutoff, profiles, message",
    [
        ("gathering", "none", 'the profile "famX" has no GA line in the profile file'),
        ("trusted", "none", 'the profile "famX" has no TC line'),
        ("best", "ok", "cutoff must be 'gathering', 'trusted' or 'noise'"),
        (None, "missing", "No such file"),
    ],
)
def test_search_options_are_checked_before_any_work(
    search_data, tmp_path, cutoff, profiles, message
):
    paths, hmm_path = search_data
    given = {"ok": hmm_path, "none": tmp_path / "bare.hmm", "missing": tmp_path / "nope.hmm"}
    write_profiles(tmp_path / "bare.hmm", random.Random(1), ["famX"], cutoffs=False)
    with pytest.raises((ValueError, OSError), match=message):
        run_genomes(
            paths, tmp_path / "out", hmm_file=given[profiles], cutoff=cutoff, progress=False
        )
    assert not (tmp_path / "out").exists()


def test_without_the_extra_the_call_names_it(search_data, tmp_path):
    paths, hmm_path = search_data
    source = textwrap.dedent(f"""
        import sys
        sys.modules["pyrodigal"] = None  # as if not installed
        from velko_tools import run_genomes
        try:
            run_genomes({paths!r}, {str(tmp_path / "out")!r}, hmm_file={str(hmm_path)!r})
        except ImportError as error:
            print(error)
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120, env=ENV
    )
    assert result.returncode == 0, result.stderr
    assert "needs pyrodigal and pyhmmer" in result.stdout
    assert "pip install pyrodigal pyhmmer" in result.stdout
    assert not (tmp_path / "out").exists()


def test_command_line_search(search_data, tmp_path):
    paths, hmm_path = search_data
    command = [
        sys.executable,
        "-m",
        "velko_tools",
        "run",
        *paths[:2],
        "-o",
        str(tmp_path / "o"),
        "--hmm",
        str(hmm_path),
        "--workers",
        "1",
    ]
    both = subprocess.run(
        [*command, "--cut-ga", "--cut-tc"], capture_output=True, text=True, timeout=120, env=ENV
    )
    assert both.returncode == 2 and "give one of --cut-ga, --cut-tc" in both.stderr
    done = subprocess.run(
        [*command, "--cut-tc", "--stop-codon"], capture_output=True, text=True, timeout=120, env=ENV
    )
    assert done.returncode == 0, done.stderr
    frame = open_run(tmp_path / "o").hits_frame()
    options = open_run(tmp_path / "o").options
    assert (options["cutoff"], options["stop_codon"]) == ("trusted", True)
    assert (frame["bit_score"] >= GATHERING[0] + 50).all()


def test_a_worker_reads_the_profiles_once_and_refuses_a_changed_file(search_data, tmp_path):
    from velko_tools.runs import search
    from velko_tools.runs.options import _Options

    copy = tmp_path / "profiles.hmm"
    shutil.copy(search_data[1], copy)
    path, size, mtime_ns = search._check_search(copy, "gathering")
    options = _Options(
        k=4,
        strands="canonical",
        invalid="skip",
        per_record=False,
        genome_id="accession",
        layout="dense",
        hmm_file=path,
        hmm_size=size,
        hmm_mtime_ns=mtime_ns,
        cutoff="gathering",
    )
    first = search._profiles(options)
    assert search._profiles(options) is first and len(first) == 3
    os.utime(copy, ns=(mtime_ns + 10**9, mtime_ns + 10**9))
    search._PROFILES.clear()  # a worker that starts after the change
    with pytest.raises(RuntimeError, match="changed while the run was searching with it"):
        search._profiles(options)


def test_a_worker_killed_while_searching_loses_no_hits(search_data, tmp_path):
    from test_tools_runs import KILL_WORKER

    paths, hmm_path = search_data
    source = KILL_WORKER + textwrap.dedent(f"""
        from velko_tools import run_genomes
        progress = killing_at_first_progress(2)
        summary = run_genomes({paths!r}, {str(tmp_path / "killed")!r}, hmm_file={str(hmm_path)!r},
                              workers=2, batch_size=1, progress=progress)
        print(summary.done, summary.retried)
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=240, env=ENV
    )
    assert result.returncode == 0, result.stderr
    done, retried = map(int, result.stdout.split()[-2:])
    assert done == len(paths) and retried >= 1
    run_genomes(paths, tmp_path / "one", hmm_file=hmm_path, workers=1, progress=False)
    for name in ("genomes", "hits"):
        assert (
            open_run(tmp_path / "killed")
            .table(name)
            .equals(open_run(tmp_path / "one").table(name), check_metadata=True)
        ), name


def test_a_search_refuses_a_fifo_it_cannot_read_again(search_data, tmp_path):
    # The count reads the FIFO's one stream; the search would wait for a second one for ever.
    paths, hmm_path = search_data
    fifo = tmp_path / "GCF_000000042.1_pipe.fna"
    os.mkfifo(fifo)
    source = textwrap.dedent(f"""
        import threading
        from velko_tools import open_run, run_genomes
        def feed():
            with open({str(fifo)!r}, "wb") as out, open({paths[0]!r}, "rb") as genome:
                out.write(genome.read())
        threading.Thread(target=feed, daemon=True).start()
        run_genomes([{str(fifo)!r}], {str(tmp_path / "out")!r}, hmm_file={str(hmm_path)!r},
                    workers=1, progress=False)
        print(open_run({str(tmp_path / "out")!r}).errors()["message"][0])
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=120, env=ENV
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        f"{fifo}: not a regular file: a search reads each genome a second "
        "time, which a FIFO or a device cannot give; save it to a file\n"
    )


@pytest.mark.parametrize("fault", ["profiles", "genome"])
def test_command_line_ends_bad_input_with_status_1(search_data, tmp_path, fault):
    # A profile file that holds none, and (with --fail-fast) a genome its search cannot read
    # again: both are the inputs' fault, never usage errors.
    paths, hmm_path = search_data
    genome = paths[0]
    if fault == "profiles":
        hmm_path = tmp_path / "notes.hmm"
        hmm_path.write_text("not a profile\n")
        expected = f"velko: error: {hmm_path}: not a file of HMMER profiles: "
    else:
        genome = tmp_path / "GCF_000000042.1_pipe.fna"
        expected = f"velko: error: {genome}: not a regular file: a search reads each genome"
    with contextlib.ExitStack() as stack:
        if fault == "genome":
            with open(paths[0], "rb") as source:
                stack.enter_context(fifo_feeder(genome, source.read(), repeat=1))
        result = subprocess.run(
            [sys.executable, "-m", "velko_tools", "run", str(genome), "-o", str(tmp_path / "o")]
            + ["--hmm", str(hmm_path), "--workers", "1", "--fail-fast", "--no-progress"],
            capture_output=True,
            text=True,
            timeout=120,
            env=ENV,
        )
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith(expected), result.stderr
    assert result.stderr.count("\n") == 1
