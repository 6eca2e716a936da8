"""Runs over many genomes: the same datasets for any workers, batch size, scheduler, killed
workers and interrupted drivers; bad genomes as rows; resumes that redo exactly what changed."""

import gzip
import importlib.util
import os
import pathlib
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("pyarrow", reason="runs write Parquet, which needs pyarrow")

from velko_tools import InvalidBaseError, count_kmers, open_run, run_genomes  # noqa: E402
from velko_tools.runs import expand_inputs, genome_id_of  # noqa: E402

SRC = pathlib.Path(__file__).resolve().parent.parent
DATASETS = ("profiles", "genomes", "errors")

# Kills one of this process's worker processes: a worker lost mid-run. A pool's workers are two
# levels down (under its forkserver), a LocalCluster's one level down; neither is the resource
# tracker.
KILL_WORKER = """
import os, signal

def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found

def kill_a_worker(depth):
    found = [os.getpid()]
    for _ in range(depth):
        found = [child for parent in found for child in children_of(parent)]
    workers = []
    for pid in found:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            if b"resource_tracker" not in cmdline.read():
                workers.append(pid)
    assert workers, "no worker process found"
    os.kill(max(workers), signal.SIGKILL)

def killing_at_first_progress(depth):
    # A progress callback that kills a worker `depth` generations down, once.
    killed = []
    def progress(done, total):
        if not killed:
            killed.append(done)
            kill_a_worker(depth)
    return progress
"""


def write_genome(path, rng, records, length, soft=False):
    letters = "ACGTacgt" if soft else "ACGT"
    lines = []
    for n in range(records):
        seq = "".join(rng.choice(letters) for _ in range(length))
        lines += [f">rec{n} some description", *(seq[i : i + 70] for i in range(0, length, 70))]
    text = ("\n".join(lines) + "\n").encode()
    path.write_bytes(gzip.compress(text) if path.name.endswith(".gz") else text)


@pytest.fixture(scope="module")
def genome_dir(tmp_path_factory):
    """Eleven good genomes (plain and gzip, several records) and three bad ones."""
    directory = tmp_path_factory.mktemp("genomes")
    rng = random.Random(24)
    for n in range(11):
        suffix = ".fna.gz" if n % 3 == 0 else ".fna"
        write_genome(
            directory / f"GCF_{n:09d}.1_ASM{n}v1_genomic{suffix}",
            rng,
            records=1 + n % 3,
            length=3000 + 500 * n,
            soft=n % 2 == 1,
        )
    (directory / "GCA_900000001.1_bad_base.fa").write_text(">ok\nACGTACGT\n>chrN\nACGTNACGT\n")
    (directory / "GCA_900000002.1_not_fasta.fa").write_text("hello\n")
    (directory / "GCA_900000003.1_damaged.fa.gz").write_bytes(gzip.compress(b">x\nACGTACGT\n")[:-6])
    return directory


@pytest.fixture(scope="module")
def genome_paths(genome_dir):
    return expand_inputs([genome_dir])


def datasets(out):
    run = open_run(out)
    return {name: run.table(name) for name in DATASETS}


def assert_same_run(out, expected):
    got = datasets(out)
    for name in DATASETS:
        assert got[name].equals(expected[name], check_metadata=True), name


@pytest.fixture(scope="module")
def reference_run(genome_paths, tmp_path_factory):
    """One worker, one batch: what every other way of running must give."""
    out = tmp_path_factory.mktemp("reference")
    summary = run_genomes(
        genome_paths, out, invalid="error", workers=1, batch_size=100, progress=False
    )
    assert (summary.done, summary.failed, summary.skipped) == (14, 3, 0)
    return out


@pytest.fixture(scope="module")
def reference(reference_run):
    return datasets(reference_run)


def fasta_records(path):
    """An independent reading: (id, sequence) per record."""
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rt") as text:
        records = []
        for line in text.read().splitlines():
            if line.startswith(">"):
                records.append([line[1:].split()[0], ""])
            else:
                records[-1][1] += line
    return records


def test_datasets_hold_each_genome_as_counted_alone(
    reference_run, reference, genome_paths, genome_dir
):
    profiles = reference["profiles"].to_pydict()
    good = [p for p in genome_paths if "GCF_" in p]
    assert profiles["path"] == sorted(good, key=lambda p: genome_id_of(p))
    table = open_run(reference_run).profiles()
    for path, row in zip(profiles["path"], range(len(good))):
        alone = count_kmers(path, 4, strands="canonical", invalid="error", per_file=True, threads=1)
        assert (table.counts[row] == alone.counts[0]).all()
        assert table.windows[row] == alone.windows[0] and table.kmers == alone.kmers
    genomes = reference["genomes"].to_pandas().set_index("path")
    for path in good:
        records = fasta_records(path)
        seq = "".join(s for _, s in records).upper()
        row = genomes.loc[path]
        assert (row.genome, row.records, row.length) == (genome_id_of(path), len(records), len(seq))
        assert row.gc == pytest.approx((seq.count("G") + seq.count("C")) / len(seq))
    errors = reference["errors"].to_pandas().set_index("genome")
    bad = str(genome_dir / "GCA_900000001.1_bad_base.fa")
    assert errors.loc["G900000001"].tolist() == [
        bad,
        "InvalidBaseError",
        f"{bad}:4:5: invalid base 'N' in record 'chrN'",
        4,
        5,
    ]
    assert errors.loc["G900000002", "error"] == "FastaFormatError"
    assert errors.loc["G900000002", "line"] == 1
    assert errors.loc["G900000003", "error"] == "EOFError"


@pytest.mark.parametrize("workers, batch_size", [(2, 1), (2, 4), (1, 5)])
def test_same_datasets_for_any_workers_and_batches(
    reference, genome_paths, tmp_path, workers, batch_size
):
    # Inputs in another order too: parts differ, datasets do not.
    summary = run_genomes(
        list(reversed(genome_paths)),
        tmp_path,
        invalid="error",
        workers=workers,
        batch_size=batch_size,
        progress=False,
    )
    assert (summary.done, summary.failed) == (14, 3)
    assert len(os.listdir(tmp_path / "manifest")) == -(-14 // batch_size)
    assert_same_run(tmp_path, reference)


def test_open_run_gives_kmer_table_and_frames(reference, genome_paths, tmp_path):
    run_genomes(genome_paths, tmp_path, invalid="error", workers=1, progress=False)
    run = open_run(tmp_path)
    table = run.profiles()
    assert table.ids == sorted(table.ids) and len(table) == 11 and table.counts.shape[1] == 136
    assert run.genomes()["genome"].tolist() == table.ids
    assert len(run.errors()) == 3 and len(run.inputs) == 14
    if importlib.util.find_spec("dask") is not None:
        frame = run.to_dask("genomes").compute()
        assert sorted(frame["genome"]) == table.ids


def test_per_record_rows_keep_file_order(genome_paths, tmp_path):
    good = [p for p in genome_paths if "GCF_" in p]
    run_genomes(good, tmp_path, per_record=True, workers=2, batch_size=2, progress=False)
    table = open_run(tmp_path).profiles()
    expected = count_kmers(
        sorted(good, key=genome_id_of), 4, strands="canonical", invalid="skip", threads=1
    )
    assert table == expected


@pytest.mark.parametrize("layout", ["dense", "sparse"])
def test_windowed_profiles_equal_the_windowed_count(genome_paths, tmp_path, layout):
    good = sorted((p for p in genome_paths if "GCF_" in p), key=genome_id_of)
    run_genomes(good, tmp_path, window=5000, step=2500, layout=layout, workers=2, progress=False)
    run = open_run(tmp_path)
    table = run.profiles()
    expected = count_kmers(
        good, 4, strands="canonical", invalid="skip", window=5000, step=2500, layout=layout
    )
    assert table == expected
    assert table.starts is not None and len(table.starts) == len(table) > len(good)
    # a resumed run asked for other windows is refused, not mixed
    with pytest.raises(ValueError, match="window"):
        run_genomes(good, tmp_path, window=4000, layout=layout, workers=1, progress=False)


@pytest.mark.parametrize("per_record", [False, True])
def test_sparse_profiles_above_k_12(genome_paths, tmp_path, per_record):
    # k = 13 takes sparse profiles by itself; a small k asks for them.
    good = sorted((p for p in genome_paths if "GCF_" in p), key=genome_id_of)
    for k, layout in ((13, "auto"), (3, "sparse")):
        out = tmp_path / f"k{k}"
        run_genomes(
            good,
            out,
            k=k,
            layout=layout,
            per_record=per_record,
            workers=2,
            batch_size=2,
            progress=False,
        )
        table = open_run(out).profiles()
        expected = count_kmers(
            good,
            k,
            strands="canonical",
            invalid="skip",
            threads=1,
            layout="sparse",
            per_file=not per_record,
        )
        if not per_record:
            expected.ids = [genome_id_of(p) for p in good]
        assert table == expected
        # A resume asking for the other layout is refused rather than mixed in.
        with pytest.raises(ValueError, match="layout"):
            run_genomes(good, out, k=k, layout="dense", progress=False)


def test_on_error_raise_stops_with_the_genomes_error(genome_dir, tmp_path):
    paths = [
        genome_dir / "GCF_000000001.1_ASM1v1_genomic.fna",
        genome_dir / "GCA_900000001.1_bad_base.fa",
    ]
    with pytest.raises(InvalidBaseError) as caught:
        run_genomes(
            paths,
            tmp_path,
            invalid="error",
            on_error="raise",
            workers=1,
            batch_size=1,
            progress=False,
        )
    assert (caught.value.line, caught.value.column) == (4, 5)
    # The failed batch left nothing; the finished one stays, and a resume does the rest.
    summary = run_genomes(paths, tmp_path, invalid="error", workers=1, batch_size=1, progress=False)
    assert (summary.skipped + summary.done, summary.failed) == (2, 1)


def test_resume_redoes_changed_and_new_inputs_and_drops_removed(genome_dir, tmp_path):
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    rng = random.Random(5)
    for n in range(6):
        write_genome(inputs / f"g{n}.fa", rng, records=2, length=800)
    paths = sorted(str(p) for p in inputs.iterdir())
    out = tmp_path / "out"
    first = run_genomes(paths, out, genome_id="stem", workers=1, batch_size=2, progress=False)
    assert (first.done, first.skipped) == (6, 0)
    again = run_genomes(paths, out, genome_id="stem", workers=1, batch_size=2, progress=False)
    assert (again.done, again.skipped, again.removed) == (0, 6, 0)

    # g1 changes and g5 is not asked for: their batch mates g0 and g4 are redone with g1 and
    # the new g6.
    write_genome(inputs / "g1.fa", rng, records=3, length=900)
    write_genome(inputs / "g6.fa", rng, records=1, length=500)
    later = [p for p in sorted(str(p) for p in inputs.iterdir()) if not p.endswith("g5.fa")]
    # A stray part and a temporary file of a batch that never finished: never visible.
    (out / "profiles" / "part-stray.parquet").write_bytes(b"half")
    (out / "genomes" / ".part-x.parquet.1.tmp").write_bytes(b"half")
    resumed = run_genomes(later, out, genome_id="stem", workers=2, batch_size=2, progress=False)
    assert (resumed.done, resumed.skipped, resumed.removed) == (4, 2, 2)
    assert not (out / "profiles" / "part-stray.parquet").exists()
    assert not (out / "genomes" / ".part-x.parquet.1.tmp").exists()

    fresh = tmp_path / "fresh"
    run_genomes(later, fresh, genome_id="stem", workers=1, progress=False)
    assert_same_run(out, datasets(fresh))


def test_options_of_a_run_are_kept(genome_paths, tmp_path):
    paths = genome_paths[:2]
    run_genomes(paths, tmp_path, workers=1, progress=False)
    with pytest.raises(ValueError, match=r"holds a run with k=4, not k=3: pass resume=False"):
        run_genomes(paths, tmp_path, k=3, workers=1, progress=False)
    summary = run_genomes(paths, tmp_path, k=3, workers=1, resume=False, progress=False)
    assert (summary.done, summary.skipped) == (2, 0)
    assert open_run(tmp_path).profiles().k == 3


@pytest.mark.parametrize(
    "options, message",
    [
        ({"k": 13, "layout": "dense"}, "for k up to 12"),
        ({"k": 33}, "k must be between 1 and 32"),
        ({"hmm_file": "x.hmm", "cutoff": "best"}, "cutoff must be"),
        ({"cutoff": "gathering"}, "cutoff needs hmm_file"),
        ({"stop_codon": True}, "stop_codon needs hmm_file"),
        ({"on_error": "ignore"}, "on_error must be 'collect' or 'raise'"),
        ({"workers": 0}, "workers must be a positive int"),
    ],
)
def test_bad_options_are_refused_before_anything_is_written(
    genome_paths, tmp_path, options, message
):
    with pytest.raises(ValueError, match=message):
        run_genomes(genome_paths, tmp_path / "out", progress=False, **options)
    assert not (tmp_path / "out").exists()


def test_two_files_with_one_genome_id_are_refused(tmp_path):
    for name in ("GCF_000000001.1_a.fna", "GCA_000000001.2_b.fna"):
        (tmp_path / name).write_text(">r\nACGT\n")
    first, second = (
        str(tmp_path / name) for name in ("GCA_000000001.2_b.fna", "GCF_000000001.1_a.fna")
    )
    with pytest.raises(ValueError) as caught:
        run_genomes(expand_inputs([tmp_path]), tmp_path / "out", progress=False)
    assert str(caught.value) == (
        f"{first} and {second} both have genome id 'G000000001': "
        "rename one, or pass genome_id='stem'"
    )
    # The command line names its own option.
    result = subprocess.run(
        [sys.executable, "-m", "velko_tools", "run", str(tmp_path), "-o", str(tmp_path / "out")],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (
        f"velko: error: {first} and {second} both have genome id 'G000000001': rename "
        "one, or pass --genome-id stem"
    )
    # Stems that clash have no other option to offer.
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "GCA_000000001.2_b.fna").write_text(">r\nACGT\n")
    with pytest.raises(ValueError, match="'GCA_000000001.2_b': rename one$"):
        run_genomes(
            [first, tmp_path / "other" / "GCA_000000001.2_b.fna"],
            tmp_path / "out",
            genome_id="stem",
            progress=False,
        )


@pytest.mark.parametrize(
    "name, accession, stem",
    [
        (
            "GCF_000005845.2_ASM584v2_genomic.fna.gz",
            "G000005845",
            "GCF_000005845.2_ASM584v2_genomic",
        ),
        ("RS_GCF_000195955.2.fna", "G000195955", "RS_GCF_000195955.2"),
        ("GB_GCA_000195955.fna", "G000195955", "GB_GCA_000195955"),
        ("UBA12345.1.fna.gz", "UBA12345.1", "UBA12345.1"),
        # Names that do not start with an assembly accession keep their stem.
        ("sample_7.fasta", "sample_7", "sample_7"),
        ("E.Coli_DH1.fasta.gz", "E.Coli_DH1", "E.Coli_DH1"),
        ("H.Pylori_G27.fasta.gz", "H.Pylori_G27", "H.Pylori_G27"),
        ("Kpn_MGH78578.fna", "Kpn_MGH78578", "Kpn_MGH78578"),
        ("GCF_draft_2.fna", "GCF_draft_2", "GCF_draft_2"),
        ("my_GCF_000005845.2.fna", "my_GCF_000005845.2", "my_GCF_000005845.2"),
        ("reads.txt", "reads", "reads"),
    ],
)
def test_genome_ids(name, accession, stem):
    assert genome_id_of(f"/data/{name}") == accession
    assert genome_id_of(name, "stem") == stem


def run_child(source, timeout=180):
    return subprocess.run(
        [sys.executable, "-c", source],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )


def test_killed_pool_worker_is_replaced_and_nothing_is_lost(reference, genome_paths, tmp_path):
    source = KILL_WORKER + textwrap.dedent(f"""
        from velko_tools import run_genomes
        progress = killing_at_first_progress(2)
        summary = run_genomes({genome_paths!r}, {str(tmp_path)!r}, invalid="error", workers=2,
                              batch_size=1, progress=progress)
        print(summary.done, summary.failed, summary.retried)
    """)
    result = run_child(source)
    assert result.returncode == 0, result.stderr
    done, failed, retried = map(int, result.stdout.split()[-3:])
    assert (done, failed) == (14, 3) and retried >= 1
    assert_same_run(tmp_path, reference)


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL])
def test_stopped_driver_resumes_to_the_same_run(reference, genome_paths, tmp_path, stop):
    # The driver stops itself after three batches: Ctrl-C, or a crash that cleans up nothing.
    source = textwrap.dedent(f"""
        import os, signal
        signal.signal(signal.SIGINT, signal.default_int_handler)
        from velko_tools import run_genomes
        def progress(done, total):
            if done == 3:
                os.kill(os.getpid(), {int(stop)})
        try:
            run_genomes({genome_paths!r}, {str(tmp_path)!r}, invalid="error", workers=2,
                        batch_size=1, progress=progress)
        except KeyboardInterrupt:
            print("interrupted")
    """)
    result = run_child(source)
    if stop == signal.SIGINT:
        assert (result.returncode, result.stdout) == (0, "interrupted\n"), result.stderr
    else:
        assert result.returncode == -signal.SIGKILL
    partial = open_run(tmp_path)
    assert 3 <= len(partial.inputs) < 14
    summary = run_genomes(genome_paths, tmp_path, invalid="error", workers=1, progress=False)
    assert summary.skipped == len(partial.inputs)
    assert summary.skipped + summary.done == 14
    assert_same_run(tmp_path, reference)


def needs_dask():
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("dask.distributed is not installed")
    if os.environ.get("VELKO_SANITIZED"):
        pytest.skip("worker processes would carry the preloaded sanitizer runtime into Dask")


def test_dask_cluster_gives_the_same_run_with_a_worker_killed(reference, genome_paths, tmp_path):
    needs_dask()
    source = KILL_WORKER + textwrap.dedent(f"""
        from distributed import Client, LocalCluster
        from velko_tools import run_genomes
        progress = killing_at_first_progress(1)
        if __name__ == "__main__":
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                summary = run_genomes({genome_paths!r}, {str(tmp_path)!r}, invalid="error",
                                      batch_size=1, client=client, progress=progress)
            print(summary.done, summary.failed)
    """)
    script = tmp_path / "driver.py"
    script.write_text(source)
    result = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=240,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split()[-2:] == ["14", "3"]
    assert_same_run(tmp_path, reference)


def test_command_line_run(genome_dir, genome_paths, tmp_path, reference):
    listing = tmp_path / "genomes.txt"
    listing.write_text("# genomes\n" + "\n".join(genome_paths[-3:]) + "\n\n")
    command = [sys.executable, "-m", "velko_tools", "run"]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    first = subprocess.run(
        [*command, f"@{listing}", "-o", str(tmp_path / "out"), "--strict", "--workers", "1"],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert first.returncode == 0, first.stderr
    # A directory, resumed: the three are skipped, a bad genome makes the status 1.
    second = subprocess.run(
        [
            *command,
            str(genome_dir),
            "-o",
            str(tmp_path / "out"),
            "--strict",
            "--workers",
            "2",
            "--batch-size",
            "2",
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert second.returncode == 1, second.stderr
    out = tmp_path / "out"
    *failures, listing, last = second.stderr.splitlines()
    assert last.startswith("velko run: 11 genomes done (3 failed), 3 already done")
    bad = genome_dir / "GCA_900000001.1_bad_base.fa"
    assert failures[-3] == (
        f"velko run: failed: G900000001 ({bad}): InvalidBaseError: "
        f"{bad}:4:5: invalid base 'N' in record 'chrN'"
    )
    assert [line.split()[3] for line in failures[-3:]] == ["G900000001", "G900000002", "G900000003"]
    assert listing == f"velko run: 3 genomes of the run failed; all of them: velko errors {out}"
    assert_same_run(out, reference)
    errors = subprocess.run(
        [sys.executable, "-m", "velko_tools", "errors", str(out)],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert errors.returncode == 0, errors.stderr
    rows = [line.split("\t") for line in errors.stdout.splitlines()]
    assert rows[0] == ["genome", "path", "error", "message", "line", "column"]
    assert rows[1] == [
        "G900000001",
        str(bad),
        "InvalidBaseError",
        f"{bad}:4:5: invalid base 'N' in record 'chrN'",
        "4",
        "5",
    ]
    assert [row[0] for row in rows[2:]] == ["G900000002", "G900000003"]
    assert rows[3][4:] == ["", ""]
    not_a_run = subprocess.run(
        [sys.executable, "-m", "velko_tools", "errors", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert (not_a_run.returncode, not_a_run.stderr) == (
        1,
        f"velko: error: {tmp_path}: not a run directory (no run.json)\n",
    )
    fail_fast = subprocess.run(
        [
            *command,
            str(genome_dir),
            "-o",
            str(tmp_path / "ff"),
            "--strict",
            "--fail-fast",
            "--workers",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    # The first genome holds an N: the message says how the command counts past it.
    assert (fail_fast.returncode, fail_fast.stderr) == (
        1,
        (
            f"velko: error: {bad}:4:5: invalid base 'N' in record 'chrN' (without --strict, the "
            "windows that hold it are skipped)\n"
        ),
    )


ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def test_progress_bar_only_on_a_terminal_unless_asked(genome_paths, tmp_path, capsys):
    # Standard error is captured here, not a terminal: no bar into a log by default.
    run_genomes(genome_paths[:2], tmp_path / "quiet", workers=1)
    assert capsys.readouterr().err == ""
    run_genomes(genome_paths[:2], tmp_path / "bar", workers=1, progress=True)
    assert "genomes: " in capsys.readouterr().err


def test_pyarrow_that_fails_to_import_shows_why(genome_paths, tmp_path):
    broken = tmp_path / "site" / "pyarrow"
    broken.mkdir(parents=True)
    (broken / "__init__.py").write_text('raise ImportError("built for another NumPy")\n')
    env = {**ENV, "PYTHONPATH": os.pathsep.join([str(tmp_path / "site"), ENV["PYTHONPATH"]])}
    source = textwrap.dedent(f"""
        from velko_tools import run_genomes
        try:
            run_genomes({genome_paths[:1]!r}, {str(tmp_path / "out")!r})
        except ImportError as error:
            print(error)
            print(repr(error.__cause__))
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], capture_output=True, text=True, timeout=60, env=env
    )
    message = (
        "writing a run's Parquet parts needs pyarrow, which is installed but fails to "
        "import: ImportError: built for another NumPy"
    )
    assert result.stdout.splitlines() == [message, "ImportError('built for another NumPy')"]
    command = subprocess.run(
        [sys.executable, "-m", "velko_tools", "run", genome_paths[0], "-o", str(tmp_path / "out")],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert command.returncode == 2 and command.stderr.endswith(f"velko: error: {message}\n")


def test_command_line_exit_status_counts_failures_of_earlier_calls(genome_paths, tmp_path):
    # A resume that finds the run finished still has genomes in errors/: a workflow that
    # reruns an interrupted step must not see success.
    bad = [path for path in genome_paths if "GCA_9" in path][:1]
    command = [
        sys.executable,
        "-m",
        "velko_tools",
        "run",
        *genome_paths[:2],
        *bad,
        "-o",
        str(tmp_path / "out"),
        "--workers",
        "1",
    ]
    for _ in range(2):
        result = subprocess.run(command, capture_output=True, text=True, timeout=120, env=ENV)
        assert result.returncode == 1 and "1 genomes of the run failed" in result.stderr


def test_command_line_on_a_locked_run_says_so_in_one_line(genome_paths, tmp_path):
    import fcntl

    out = tmp_path / "out"
    out.mkdir()
    with open(out / ".lock", "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        result = subprocess.run(
            [sys.executable, "-m", "velko_tools", "run", genome_paths[0], "-o", str(out)],
            capture_output=True,
            text=True,
            timeout=60,
            env=ENV,
        )
    assert (result.returncode, result.stderr) == (
        1,
        f"velko: error: {out}: another run is writing to this directory\n",
    )


def test_early_ctrl_c_prints_no_traceback_and_resumes(genome_dir, tmp_path, reference):
    # Ctrl-C reaches the terminal's whole process group: the driver, the forkserver while it
    # imports its preloads, the workers as they start. Sent at several moments of the start,
    # counted from the forkserver's start (the driver's second process, after the resource
    # tracker): Python's own start is not the run's.
    helpers: dict = {}
    exec(KILL_WORKER, helpers)
    for delay in (0.02, 0.15, 0.3, 0.6):
        out = tmp_path / f"out{delay}"
        command = [
            sys.executable,
            "-m",
            "velko_tools",
            "run",
            str(genome_dir),
            "-o",
            str(out),
            "--strict",
            "--workers",
            "2",
            "--batch-size",
            "1",
        ]
        child = subprocess.Popen(
            command, stderr=subprocess.PIPE, text=True, env=ENV, start_new_session=True
        )
        deadline = time.monotonic() + 30
        while len(helpers["children_of"](child.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(delay)
        os.killpg(child.pid, signal.SIGINT)
        _, err = child.communicate(timeout=60)
        assert "Traceback" not in err, err
        # 130 from the command; 1 when the run ended first (its bad genomes), and -SIGINT when
        # the signal came as the interpreter exited.
        assert child.returncode in (130, 1, -signal.SIGINT), err
        resumed = subprocess.run(command, capture_output=True, text=True, timeout=120, env=ENV)
        assert resumed.returncode == 1, resumed.stderr
        assert_same_run(out, reference)


def test_auto_layout_is_chosen_once_from_k_and_the_inputs_sizes(tmp_path):
    # Genomes of 2 to 3 kb: at k = 5 their rows (528 canonical k-mers) are mostly counts, at
    # k = 7 (8192) mostly zeros.
    rng = random.Random(8)
    small = tmp_path / "small"
    small.mkdir()
    for n in range(3):
        write_genome(small / f"s{n}.fa", rng, records=1, length=2000 + 500 * n)
    paths = sorted(str(p) for p in small.iterdir())
    dense = run_genomes(paths, tmp_path / "k5", k=5, workers=1, progress=False)
    sparse = run_genomes(paths, tmp_path / "k7", k=7, workers=1, progress=False)
    assert (dense.layout, sparse.layout) == ("dense", "sparse")
    assert " sparse profiles, in " in str(sparse)
    assert open_run(tmp_path / "k7").options["layout"] == "sparse"
    expected = count_kmers(
        paths, 7, strands="canonical", invalid="skip", per_file=True, threads=1, layout="sparse"
    )
    expected.ids = [genome_id_of(p) for p in paths]
    assert open_run(tmp_path / "k7").profiles() == expected
    # Large genomes join the run: the rule would now say dense, the run keeps its choice.
    for n in range(4):
        write_genome(small / f"t{n}.fa", rng, records=1, length=20_000)
    more = sorted(str(p) for p in small.iterdir())
    resumed = run_genomes(more, tmp_path / "k7", k=7, workers=1, progress=False)
    assert (resumed.layout, resumed.skipped, resumed.done) == ("sparse", 3, 4)
    assert run_genomes(more, tmp_path / "fresh", k=7, workers=1, progress=False).layout == "dense"


def test_dense_parts_hold_no_kmer_labels_and_old_parts_still_read(genome_paths, tmp_path):
    import json

    import pyarrow.parquet

    good = sorted((p for p in genome_paths if "GCF_" in p), key=genome_id_of)[:3]
    run_genomes(good, tmp_path, k=6, layout="dense", workers=1, batch_size=3, progress=False)
    expected = count_kmers(good, 6, strands="canonical", invalid="skip", per_file=True, threads=1)
    expected.ids = [genome_id_of(p) for p in good]
    (part,) = open_run(tmp_path).parts("profiles")
    metadata = pyarrow.parquet.read_schema(part).metadata
    assert b"velko.kmers" not in metadata and metadata[b"velko.k"] == b"6"
    assert open_run(tmp_path).profiles() == expected
    # A part written when the labels were stored reads them.
    from velko_tools.runs.reader import _kmer_labels

    table = pyarrow.parquet.read_table(part)
    old = {**metadata, b"velko.kmers": json.dumps(["X"] * len(expected.kmers)).encode()}
    options = open_run(tmp_path).options
    assert _kmer_labels(table.replace_schema_metadata(old), options) == ["X"] * 2080
    assert list(_kmer_labels(table, options)) == list(expected.kmers)


def test_directory_walk_takes_regular_files_and_names_what_it_left_out(genome_paths, tmp_path):
    import shutil

    walked = tmp_path / "walked"
    walked.mkdir()
    shutil.copy(genome_paths[0], walked / "GCF_000000100.1_a.fna")
    os.symlink(walked / "GCF_000000100.1_a.fna", walked / "GCF_000000101.1_link.fna")
    os.symlink(walked / "gone.fna", walked / "GCF_000000102.1_broken.fna")
    os.mkfifo(walked / "GCF_000000103.1_pipe.fna")
    with pytest.warns(UserWarning) as caught:
        found = expand_inputs([walked])
    assert found == [
        str(walked / "GCF_000000100.1_a.fna"),
        str(walked / "GCF_000000101.1_link.fna"),
    ]
    assert sorted(str(w.message) for w in caught) == [
        f"{walked / 'GCF_000000102.1_broken.fna'}: left out: No such file or directory",
        f"{walked / 'GCF_000000103.1_pipe.fna'}: left out: a FIFO, not a regular file",
    ]
    # The command line says so on standard error and runs the rest (it used to wait on the
    # FIFO for ever).
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "velko_tools",
            "run",
            str(walked),
            "-o",
            str(tmp_path / "out"),
            "--workers",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=ENV,
    )
    assert result.returncode == 0, result.stderr
    assert (
        f"velko run: warning: {walked / 'GCF_000000103.1_pipe.fna'}: left out: a FIFO, not "
        "a regular file\n"
    ) in result.stderr
    assert len(open_run(tmp_path / "out").inputs) == 2


LIMITED = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
from velko_tools.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize("endless", ["fifo", "/dev/zero"])
def test_an_input_that_never_ends_answers_ctrl_c(tmp_path, endless):
    # A FIFO with no writer, or a device that never ends a line, named on purpose: the run
    # waits on it, and Ctrl-C ends the wait.
    path = str(tmp_path / "GCF_000000001.1_x.fna") if endless == "fifo" else endless
    if endless == "fifo":
        os.mkfifo(path)
    helpers: dict = {}
    exec(KILL_WORKER, helpers)
    child = subprocess.Popen(
        [sys.executable, "-c", LIMITED, "run", path, "-o", str(tmp_path / "out"), "--workers", "1"],
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
        start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 30
        while len(helpers["children_of"](child.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.5)  # the worker is reading
        os.killpg(child.pid, signal.SIGINT)
        _, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert (child.returncode, err) == (130, "")


def test_standard_input_named_twice_is_refused_by_what_it_is(genome_paths, tmp_path):
    good = next(p for p in genome_paths if "GCF_" in p)
    text = pathlib.Path(good).read_bytes()
    kmers = subprocess.run(
        [sys.executable, "-m", "velko_tools", "kmers", "-", "/dev/stdin"],
        input=text,
        capture_output=True,
        timeout=60,
        env=ENV,
    )
    assert kmers.returncode == 2
    assert kmers.stderr.decode().splitlines()[-1] == (
        "velko: error: '-' and '/dev/stdin' are one pipe (standard input), which can be read "
        "only once"
    )
    source = textwrap.dedent(f"""
        from velko_tools import count_kmers, run_genomes
        for call in (lambda: count_kmers(["/dev/stdin", "-"], 2),
                     lambda: run_genomes(["/dev/stdin"], {str(tmp_path / "out")!r})):
            try:
                call()
            except ValueError as error:
                print(error)
    """)
    result = subprocess.run(
        [sys.executable, "-c", source], input=text, capture_output=True, timeout=60, env=ENV
    )
    assert result.stdout.decode().splitlines() == [
        "'/dev/stdin' and '-' are one pipe (standard input), which can be read only once",
        "'/dev/stdin' is standard input, which a run cannot read: worker processes read its "
        "genomes, and a resume reads them again; save it to a file",
    ]
    # One FIFO under two names, without opening it (which would wait for a writer).
    os.mkfifo(tmp_path / "pipe.fa")
    os.symlink(tmp_path / "pipe.fa", tmp_path / "other.fa")
    with pytest.raises(ValueError, match="'.*pipe.fa' and '.*other.fa' are one pipe, which"):
        count_kmers([tmp_path / "pipe.fa", tmp_path / "other.fa"], 2)
    # The same regular file twice is read twice.
    assert len(count_kmers([good, good], 2, per_file=True)) == 2


def test_a_script_without_the_main_guard_is_told_to_add_it(genome_paths, tmp_path):
    # Each worker imports the script again; the run it would start there is refused, and the
    # driver's error names the guard too (it used to end in "another run is writing").
    script = tmp_path / "script.py"
    script.write_text(
        textwrap.dedent(f"""
        from velko_tools import run_genomes
        run_genomes({genome_paths[-2:]!r}, {str(tmp_path / "out")!r}, workers=1)
    """)
    )
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=240, env=ENV
    )
    guard = (
        'call run_genomes under `if __name__ == "__main__":`, since every worker process '
        "imports the main module again"
    )
    assert result.returncode == 1
    assert (
        f"RuntimeError: run_genomes was called while a worker process imported {script}: {guard}\n"
    ) in result.stderr
    assert result.stderr.splitlines()[-1].endswith(
        f"(a script that starts a run at its top level kills them: {guard})"
    )
    assert "another run is writing" not in result.stderr
