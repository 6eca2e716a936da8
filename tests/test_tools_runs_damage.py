"""Run directories damaged by hand: open_run and check_run name the file at fault, and running
the same run again repairs them to the datasets of an undamaged run."""

import json
import os
import random
import shutil
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyarrow", reason="runs write Parquet, which needs pyarrow")

from velko_tools import DamagedRunError, open_run, run_genomes  # noqa: E402
from velko_tools.runs import DATASETS, check_run  # noqa: E402


def write_genome(path, rng, records=2, length=700):
    lines = []
    for n in range(records):
        seq = "".join(rng.choice("ACGT") for _ in range(length))
        lines += [f">rec{n}", seq]
    path.write_text("\n".join(lines) + "\n")


def run(paths, out, **options):
    return run_genomes(
        paths, out, genome_id="stem", workers=1, batch_size=2, progress=False, **options
    )


def datasets(out):
    opened = open_run(out)
    return {name: opened.table(name) for name in DATASETS}


@pytest.fixture(scope="module")
def finished(tmp_path_factory):
    """Six genomes (one unreadable) in three parts, and the datasets they give."""
    inputs = tmp_path_factory.mktemp("inputs")
    rng = random.Random(29)
    for n in range(5):
        write_genome(inputs / f"g{n}.fa", rng)
    (inputs / "g5.fa").write_text("not FASTA\n")
    paths = sorted(str(p) for p in inputs.iterdir())
    out = tmp_path_factory.mktemp("run")
    summary = run(paths, out)
    assert (summary.done, summary.failed) == (6, 1)
    return paths, out, datasets(out)


def parts(out, dataset):
    return sorted((out / dataset).glob("part-*.parquet"))


def entries(out):
    return sorted((out / "manifest").glob("part-*.json"))


def flip_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x40
    path.write_bytes(bytes(data))


# Each damage: what it does to a finished run, and the file open_run or a read must name.
DAMAGES = {
    "part deleted": lambda out: _unlink(parts(out, "profiles")[0]),
    "part truncated": lambda out: _truncate(parts(out, "genomes")[1]),
    "part bit-flipped": lambda out: _flip(parts(out, "profiles")[2]),
    "part overwritten by another": lambda out: _copy(
        parts(out, "profiles")[0], parts(out, "profiles")[1]
    ),
    "manifest entry empty": lambda out: _write(entries(out)[0], ""),
    "manifest entry garbage": lambda out: _write(entries(out)[1], "\x00\xff{"),
    "manifest entry of wrong shape": lambda out: _write(entries(out)[2], '{"inputs": 3}'),
    "manifest entry a directory": lambda out: _replace_by_directory(entries(out)[0]),
}


def _unlink(path):
    path.unlink()
    return path


def _truncate(path):
    with open(path, "r+b") as file:
        file.truncate(path.stat().st_size // 2)
    return path


def _flip(path):
    flip_byte(path)
    return path


def _copy(source, target):
    shutil.copyfile(source, target)
    return target


def _write(path, text):
    path.write_bytes(text.encode("latin-1"))
    return path


def _replace_by_directory(path):
    path.unlink()
    path.mkdir()
    return path


@pytest.mark.parametrize("damage", DAMAGES)
def test_damaged_run_is_named_then_repaired_by_running_again(finished, tmp_path, damage):
    paths, reference_out, reference = finished
    out = tmp_path / "run"
    shutil.copytree(reference_out, out)
    damaged = DAMAGES[damage](out)

    # Found at the latest when the dataset is read; check_run finds it at once, and
    # open_run(verify=True) too, each naming the file.
    with pytest.raises(DamagedRunError) as raised:
        datasets(out)
    assert raised.value.path == str(damaged)
    assert str(damaged) in str(raised.value) and "velko run" in str(raised.value)
    with pytest.raises(DamagedRunError):
        open_run(out, verify=True)
    report = check_run(out)
    assert not report.ok and report.problems[0][0] == str(damaged)

    repaired = run(paths, out)
    assert repaired.repaired == 1 and 1 <= repaired.done <= 2
    assert check_run(out).ok
    got = datasets(out)
    for name in DATASETS:
        assert got[name].equals(reference[name]), name
    # And nothing more to do after the repair.
    assert run(paths, out).done == 0


@pytest.mark.parametrize("text", ["", "[1, 2]", '{"format": 2}', "{not json"])
def test_damaged_run_json_is_named_and_written_anew(finished, tmp_path, text):
    paths, reference_out, reference = finished
    out = tmp_path / "run"
    shutil.copytree(reference_out, out)
    (out / "run.json").write_text(text)
    with pytest.raises(DamagedRunError) as raised:
        open_run(out)
    assert raised.value.path == str(out / "run.json")
    assert not check_run(out).ok
    # The parts' own entries record their options: nothing is counted again.
    again = run(paths, out)
    assert (again.done, again.skipped, again.repaired) == (0, 6, 0)
    assert check_run(out).ok
    # Asked with other options, the parts cannot be kept.
    (out / "run.json").write_text(text)
    other = run(paths, out, k=3)
    assert (other.done, other.repaired) == (6, 3)


def test_parts_of_the_same_genomes_twice_are_refused_and_one_dropped(finished, tmp_path):
    paths, reference_out, reference = finished
    out = tmp_path / "run"
    shutil.copytree(reference_out, out)
    first = entries(out)[0]
    twin = first.with_name("part-zzzz.json")
    shutil.copyfile(first, twin)
    for dataset in DATASETS:
        source = out / dataset / (first.stem + ".parquet")
        if source.exists():
            shutil.copyfile(source, out / dataset / "part-zzzz.parquet")
    with pytest.raises(DamagedRunError, match="is in part-") as raised:
        open_run(out)
    assert raised.value.path == str(twin)
    assert run(paths, out).repaired == 1
    got = datasets(out)
    assert all(got[name].equals(reference[name]) for name in DATASETS)


def test_runs_of_the_first_manifest_format_are_read_and_checked_by_genome(finished, tmp_path):
    """Entries written before parts had checksums: read as before, a part holding other
    genomes than its entry is refused and repaired."""
    paths, reference_out, reference = finished
    out = tmp_path / "run"
    shutil.copytree(reference_out, out)
    for entry in entries(out):
        value = json.loads(entry.read_text())
        entry.write_text(
            json.dumps(
                {
                    "format": 1,
                    "part": value["part"],
                    "datasets": value["datasets"],
                    "failed": value["failed"],
                    "inputs": [
                        {key: item[key] for key in ("path", "genome", "size", "mtime_ns")}
                        for item in value["inputs"]
                    ],
                }
            )
        )
    # Options added since (stop_codon) are missing from run.json: their defaults hold.
    settings = json.loads((out / "run.json").read_text())
    del settings["options"]["stop_codon"]
    (out / "run.json").write_text(json.dumps({"format": 1, "options": settings["options"]}))
    got = datasets(out)
    assert all(got[name].equals(reference[name]) for name in DATASETS)
    assert run(paths, out).skipped == 6

    shutil.copyfile(parts(out, "genomes")[0], parts(out, "genomes")[1])
    with pytest.raises(DamagedRunError, match="other genomes") as raised:
        datasets(out)
    assert raised.value.path == str(parts(out, "genomes")[1])
    assert run(paths, out).repaired == 1
    got = datasets(out)
    assert all(got[name].equals(reference[name]) for name in DATASETS)


def test_input_edited_with_its_times_restored_is_counted_again(tmp_path):
    rng = random.Random(3)
    for n in range(3):
        write_genome(tmp_path / f"g{n}.fa", rng)
    paths = sorted(str(p) for p in tmp_path.glob("g*.fa"))
    out = tmp_path / "out"
    run(paths, out)

    edited = tmp_path / "g1.fa"
    status = edited.stat()
    text = edited.read_text()
    time.sleep(0.02)  # a change time the kernel's clock can tell from the first
    at = text.index("A", text.index("\n"))  # a base of the first record's sequence
    edited.write_text(text[:at] + "C" + text[at + 1 :])
    assert edited.stat().st_size == status.st_size
    os.utime(edited, ns=(status.st_atime_ns, status.st_mtime_ns))
    again = run(paths, out)
    assert again.removed == 1 and again.done == 2


def test_checksum_mode_keeps_touched_inputs_and_redoes_edited_ones(tmp_path):
    rng = random.Random(4)
    for n in range(4):
        write_genome(tmp_path / f"g{n}.fa", rng)
    paths = sorted(str(p) for p in tmp_path.glob("g*.fa"))
    out = tmp_path / "out"
    run(paths, out, verify_inputs="checksum")
    os.utime(tmp_path / "g0.fa")  # new times, same bytes
    assert run(paths, out, verify_inputs="checksum").skipped == 4
    assert run(paths, out).removed == 1  # by its times, g0 changed

    run(paths, out, verify_inputs="checksum", resume=False)
    text = (tmp_path / "g3.fa").read_text()
    (tmp_path / "g3.fa").write_text(text[:-2] + ("A" if text[-2] != "A" else "C") + "\n")
    again = run(paths, out, verify_inputs="checksum")
    assert (again.removed, again.done) == (1, 2)
    with pytest.raises(ValueError, match="verify_inputs"):
        run(paths, out, verify_inputs="sometimes")


def test_velko_check_reports_without_changing_anything(finished, tmp_path):
    paths, reference_out, _ = finished
    out = tmp_path / "run"
    shutil.copytree(reference_out, out)
    command = [sys.executable, "-m", "velko_tools", "check", str(out)]
    whole = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert whole.returncode == 0 and whole.stdout.rstrip().endswith(": ok"), whole.stderr

    damaged = _truncate(parts(out, "profiles")[0])
    before = sorted((path, path.stat().st_size) for path in out.rglob("*"))
    broken = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert broken.returncode == 1
    assert broken.stdout.startswith(f"{damaged}: ") and "1 problems" in broken.stdout
    assert broken.stderr.startswith("velko: error:") and "velko run" in broken.stderr
    assert sorted((path, path.stat().st_size) for path in out.rglob("*")) == before
