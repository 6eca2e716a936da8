"""velko_tools annotation: cutoffs of profile files, thresholds, coverage, every HMMER program,
tables that combine, Arrow files, pyhmmer, and the same answers as Debian's hmmsearch."""

import gzip
import math
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path
from types import SimpleNamespace
from typing import get_args

import numpy as np
import pytest
from children import fifo_feeder
from hypothesis import given, settings
from hypothesis import strategies as st

from velko_tools import HitTable, HmmerFormatError, _core, read_hmmer
from velko_tools.annotate import Cutoff, Level, MissingCutoff, Thresholds, check_cutoffs

HERE = Path(__file__).parent
# Real Pfam profiles and proteins from Debian's hmmer-examples, unpacked by
# tools/fetch_hmmer_examples.sh (never committed).
EXAMPLES = Path(os.environ.get("VELKO_HMMER_EXAMPLES", HERE.parent / "build" / "hmmer-examples"))


def profile(name, acc=None, length=100, **cutoffs):
    """A HMMER 3 text profile whose header carries the given cutoff lines (GA="25.0 20.0;")."""
    lines = ["HMMER3/f [3.3.2 | Nov 2020]", f"NAME  {name}"]
    if acc:
        lines.append(f"ACC   {acc}")
    lines += [f"LENG  {length}", "ALPH  amino"]
    lines += [f"{tag}    {value}" for tag, value in cutoffs.items()]
    lines += ["HMM          A        C", "            m->m     m->i", "  1   2.1 3.2", "//"]
    return "\n".join(lines) + "\n"


def dom_row(
    gene,
    hmm,
    seq_score,
    dom_score,
    hmm_from=1,
    hmm_to=50,
    ali_from=1,
    ali_to=50,
    tlen=200,
    qlen=100,
    acc="-",
):
    return (
        f"{gene} - {tlen} {hmm} {acc} {qlen} 1e-10 {seq_score} 0.0 1 1 1e-9 1e-9 "
        f"{dom_score} 0.0 {hmm_from} {hmm_to} {ali_from} {ali_to} {ali_from} {ali_to} 0.9 -"
    )


def domtblout(tmp_path, *rows, program="hmmsearch", name="t.domtblout"):
    path = tmp_path / name
    path.write_text("\n".join([*rows, "#", f"# Program:         {program}", "# [ok]"]) + "\n")
    return path


def hits(table):
    return {(gene, hmm): bit for gene, hmm, _, bit in table}


@pytest.fixture
def pfam(tmp_path):
    path = tmp_path / "pfam.hmm"
    path.write_text(
        profile("PkA", "PF00001.1", GA="20.0 15.0;", TC="30.0 25.0;")
        + profile("PkB", "PF00002.3", NC="5.0 5.0;")
        + profile("PkC")
    )
    return path


@pytest.mark.parametrize(
    ("cutoff", "score", "expected"),
    [
        # GA: the sequence against 20, each domain against 15.
        ("gathering", "sequence", {("g1", "PkA"): 22.0, ("g3", "PkA"): 40.0}),
        ("gathering", "domain", {("g1", "PkA"): 16.0, ("g3", "PkA"): 39.0}),
        ("trusted", "sequence", {("g3", "PkA"): 40.0}),
    ],
)
def test_cutoffs_keep_what_hmmsearch_reports(tmp_path, pfam, cutoff, score, expected):
    path = domtblout(
        tmp_path,
        dom_row("g1", "PkA", 22.0, 16.0),
        dom_row("g1", "PkA", 22.0, 14.0),
        dom_row("g2", "PkA", 19.0, 19.0),  # sequence below GA
        dom_row("g4", "PkA", 25.0, 10.0),  # no domain passes
        dom_row("g3", "PkA", 40.0, 39.0),
    )
    table = read_hmmer(path, format="domtblout", score=score, cutoff=cutoff, hmm_file=pfam)
    assert hits(table) == expected


@pytest.mark.parametrize(
    ("missing", "expected"),
    [("keep", {("g1", "PkA"), ("g2", "PkC")}), ("drop", {("g1", "PkA")})],
)
def test_profiles_without_the_cutoff(tmp_path, pfam, missing, expected):
    path = domtblout(tmp_path, dom_row("g1", "PkA", 30, 30), dom_row("g2", "PkC", 30, 30))
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path, format="domtblout", cutoff="gathering", hmm_file=pfam)
    assert caught.value.line == 2
    assert caught.value.reason == 'the profile "PkC" has no GA line in the profile file'
    table = read_hmmer(
        path, format="domtblout", cutoff="gathering", hmm_file=pfam, missing_cutoff=missing
    )
    assert set(hits(table)) == expected


def test_profiles_are_found_by_accession_and_files_may_be_gzip(tmp_path, pfam):
    # hmmscan tables name the profile as the target; its name here is not the file's.
    packed = tmp_path / "pfam.hmm.gz"
    packed.write_bytes(gzip.compress(pfam.read_bytes()))
    scan_row = "other {acc} 100 g1 - 300 1e-5 19.0 0 1 1 1 1 19.0 0 1 50 1 50 1 50 0.9 -"
    path = domtblout(tmp_path, scan_row.format(acc="PF00002.3"), program="hmmscan")
    table = read_hmmer(path, format="domtblout", hmm="accession", cutoff="noise", hmm_file=packed)
    assert hits(table) == {("g1", "PF00002.3"): 19.0}
    path = domtblout(tmp_path, scan_row.format(acc="PF00001.1"), program="hmmscan")
    with pytest.raises(HmmerFormatError) as caught:  # PkA has no NC line
        read_hmmer(path, format="domtblout", cutoff="noise", hmm_file=packed)
    assert caught.value.reason == 'the profile "other" has no NC line in the profile file'


@pytest.mark.parametrize(
    ("text", "line", "column", "reason"),
    [
        ("", 0, None, "the file is empty, not a HMMER 3 profile file"),
        (
            "HMMER2.0 [2.3.2]\nNAME x\n",
            1,
            1,
            'not a HMMER 3 profile file: a profile starts with a "HMMER3/" line',
        ),
        (
            ">seq1\nACDEF\n",
            1,
            1,
            'not a HMMER 3 profile file: a profile starts with a "HMMER3/" line',
        ),
        (
            profile("P", GA="25.0;"),
            5,
            None,
            "GA needs two bit scores (the full sequence's and the domain's)",
        ),
        (
            profile("P", TC="x 1.0"),
            5,
            7,
            "TC needs two bit scores (the full sequence's and the domain's)",
        ),
        (profile("P").replace("LENG  100", "LENG  1e2"), 3, 7, "LENG is not a whole number"),
        (
            profile("P").replace("NAME  P\n", ""),
            4,
            1,
            "the profile starting on line 1 has no NAME line",
        ),
        (
            profile("P")[:-3],
            7,
            None,
            'the file ends inside a profile: no "//" line closes the one starting on line 1',
        ),
        (
            profile("P") + "junk\n",
            9,
            1,
            'not a HMMER 3 profile file: a profile starts with a "HMMER3/" line',
        ),
        # A second line or profile would silently replace the first.
        (profile("P") + profile("P"), 10, 7, 'the profile "P" is named twice (first on line 2)'),
        (
            profile("P", GA="25.0 20.0;", TC="1.0 1.0;").replace("TC", "GA"),
            6,
            1,
            "GA appears twice in the profile starting on line 1 (first on line 5)",
        ),
        (
            profile("P", "PF1").replace("ACC   PF1", "ACC   PF1\nACC   PF2"),
            4,
            1,
            "ACC appears twice in the profile starting on line 1 (first on line 3)",
        ),
        # No score passes a NaN cutoff: every hit of the profile would go.
        (profile("P", GA="nan 20.0;"), 5, 7, 'GA "nan" is not a finite bit score'),
        (profile("P", NC="5.0 inf;"), 5, 11, 'NC "inf" is not a finite bit score'),
    ],
)
def test_cutoff_files_that_are_not_profile_files(tmp_path, text, line, column, reason):
    hmm_file = tmp_path / "bad.hmm"
    hmm_file.write_text(text)
    table = domtblout(tmp_path, dom_row("g1", "P", 30, 30))
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(table, format="domtblout", cutoff="gathering", hmm_file=hmm_file)
    assert (caught.value.path, caught.value.reason) == (str(hmm_file), reason)
    if line:
        assert (caught.value.line, caught.value.column) == (line, column)


@pytest.mark.parametrize(
    ("domains", "hmm_cov", "gene_cov"),
    [
        ([(1, 50, 1, 50)], 0.5, 0.25),
        # Overlapping and touching intervals count once; the gap does not count.
        ([(1, 40, 1, 40), (30, 60, 101, 140), (61, 70, 141, 150)], 0.7, 0.45),
        ([(10, 20, 10, 20), (10, 20, 10, 20)], 0.11, 0.055),
        ([(1, 100, 1, 200)], 1.0, 1.0),
    ],
)
def test_coverage_is_the_union_of_the_kept_domains(tmp_path, domains, hmm_cov, gene_cov):
    rows = [dom_row("g1", "P", 30, 30, hf, ht, af, at) for hf, ht, af, at in domains]
    rows.append(dom_row("g1", "Q", 30, 30, 1, 100, 1, 200))
    rows.append(dom_row("g1", "P", 30, 5, 1, 100, 1, 200))  # fails the domain threshold
    path = domtblout(tmp_path, *rows)
    full = read_hmmer(path, format="domtblout", columns="full", min_score=10, level="domain")
    at = list(zip(full.gene_ids, full.hmm_ids)).index(("g1", "P"))
    assert full.extra_columns["hmm_coverage"][at] == pytest.approx(hmm_cov)
    assert full.extra_columns["gene_coverage"][at] == pytest.approx(gene_cov)
    for option, covered in [("min_hmm_coverage", hmm_cov), ("min_gene_coverage", gene_cov)]:
        for bound in (covered - 0.001, covered, min(covered + 0.001, 1.0)):
            table = read_hmmer(
                path, format="domtblout", min_score=10, level="domain", **{option: bound}
            )
            assert (("g1", "P") in hits(table)) == (bound <= covered + 1e-12)
            assert ("g1", "Q") in hits(table)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        (
            {"cutoff": "gathering"},
            "cutoff='gathering' needs hmm_file, the profile file that holds the cutoffs",
        ),
        (
            {"cutoff": "ga", "hmm_file": "x"},
            "cutoff must be 'gathering', 'trusted' or 'noise', not 'ga'",
        ),
        # An unknown policy must be refused, not read as one of the three.
        (
            {"cutoff": "gathering", "hmm_file": "x", "missing_cutoff": "fail"},
            "missing_cutoff must be 'error', 'keep' or 'drop', not 'fail'",
        ),
        ({"min_hmm_coverage": 1.5}, "min_hmm_coverage must be a number from 0 to 1, not 1.5"),
        ({"max_evalue": "1e-5"}, "max_evalue must be a number, not '1e-5'"),
        ({"level": "hit"}, "level must be 'sequence' or 'domain', not 'hit'"),
        ({"columns": "all"}, "columns must be 'hits' or 'full', not 'all'"),
        (
            {"min_score": 5, "level": "domain", "format": "tblout"},
            "domain thresholds and coverage need format='domtblout': a tblout has no domains",
        ),
        (
            {"program": "nhmmer", "format": "domtblout"},
            "program='nhmmer' writes no domtblout: read its tblout",
        ),
    ],
)
def test_bad_options_are_refused_before_any_file_is_read(tmp_path, kwargs, message):
    # Neither the table nor the profile file exists: an option that slipped past the checks
    # would reach the reader and fail there (FileNotFoundError) or not at all.
    with pytest.raises(ValueError) as caught:
        read_hmmer(tmp_path / "absent.domtblout", **{"format": "domtblout", **kwargs})
    assert str(caught.value) == message
    # HitTable.filter takes the thresholds' options, and checks them the same way.
    if kwargs.keys() <= {
        "cutoff",
        "hmm_file",
        "missing_cutoff",
        "min_hmm_coverage",
        "max_evalue",
        "level",
    }:
        with pytest.raises(ValueError) as caught:
            HitTable([("g1", "P", 1e-5, 30.0)]).filter(**kwargs)
        assert str(caught.value) == message


def test_the_python_choices_are_the_native_ones():
    # The Literal types are what users and mypy see, the enums what the filter takes: a name
    # in one and not the other would fail only once that choice is made.
    assert get_args(Cutoff) == tuple(_core.Cutoff.__members__)
    assert get_args(MissingCutoff) == tuple(_core.MissingCutoff.__members__)
    assert get_args(Level) == tuple(_core.Level.__members__)


NHMMER = """\
# target name accession query name accession hmmfrom hmm to alifrom ali to envfrom env to sq len \
strand E-value score bias description of target
#--- --- --- --- --- --- --- --- --- --- --- --- --- --- --- ---
chr1 - MADE1 DF0000629.2 1 80 1000 921 1001 920 50000 - 8.4e-11 46.8 5.9 -
chr1 - MADE1 DF0000629.2 5 80 3000 3075 2999 3075 50000 + 1.1e-08 39.8 5.1 -
chr2 - MADE1 DF0000629.2 40 80 300 340 290 340 20000 + 0.5 9.0 0.0 second chromosome
#
# Program:         nhmmer
"""


def test_nhmmer_tables_have_their_own_columns(tmp_path):
    path = tmp_path / "n.tblout"
    path.write_text(NHMMER)
    assert hits(read_hmmer(path)) == {("chr1", "MADE1"): 46.8, ("chr2", "MADE1"): 9.0}
    table = read_hmmer(
        path, program="nhmmer", hmm="accession", max_evalue=1e-3, columns="full", score="domain"
    )
    assert hits(table) == {("chr1", "DF0000629.2"): 46.8}
    extra = table.extra_columns
    assert (extra["ali_from"][0], extra["ali_to"][0], extra["gene_length"][0]) == (1000, 921, 50000)
    # The caller's program stands over the table's line: read as nhmmscan, the sides swap.
    assert set(hits(read_hmmer(path, program="nhmmscan"))) == {("MADE1", "chr1"), ("MADE1", "chr2")}


@pytest.mark.parametrize("program", ["phmmer", "jackhmmer", "hmmsearch"])
def test_sequence_searches_take_the_query_as_the_profile(tmp_path, program):
    path = domtblout(tmp_path, dom_row("g1", "query_seq", 30, 30), program=program)
    assert set(hits(read_hmmer(path, format="domtblout"))) == {("g1", "query_seq")}


def test_accession_or_name(tmp_path):
    path = domtblout(tmp_path, dom_row("g1", "P", 30, 30, acc="PF1.2"), dom_row("g1", "Q", 30, 30))
    assert set(hits(read_hmmer(path, format="domtblout", hmm="accession_or_name"))) == {
        ("g1", "PF1.2"),
        ("g1", "Q"),
    }
    with pytest.raises(HmmerFormatError):
        read_hmmer(path, format="domtblout", hmm="accession")


rows = st.lists(
    st.tuples(
        st.sampled_from("abcd"),
        st.sampled_from("PQR"),
        st.sampled_from([1e-5, 1e-3, 0.5]),
        st.sampled_from([1.0, 5.0, 9.5]),
    ),
    max_size=20,
)


@settings(max_examples=60, deadline=None)
@given(st.lists(rows, min_size=1, max_size=4), st.randoms(use_true_random=False))
def test_merge_is_the_whole_table_whatever_the_order(parts, random):
    whole = HitTable([row for part in parts for row in part])
    tables = [HitTable(part) for part in parts]
    random.shuffle(tables)
    assert tables[0].merge(*tables[1:]) == whole
    folded = tables[0]
    for table in reversed(tables[1:]):
        folded = table | folded
    assert folded == whole


def test_merge_and_filter_keep_the_full_columns(tmp_path):
    one = read_hmmer(
        domtblout(tmp_path, dom_row("g1", "P", 30, 30), name="a"),
        format="domtblout",
        columns="full",
    )
    two = read_hmmer(
        domtblout(
            tmp_path, dom_row("g1", "P", 40, 40, 1, 100), dom_row("g2", "P", 10, 10), name="b"
        ),
        format="domtblout",
        columns="full",
    )
    merged = one | two
    assert hits(merged) == {("g1", "P"): 40.0, ("g2", "P"): 10.0}
    frame = merged.to_pandas().set_index("gene_id")
    assert frame.loc["g1", "hmm_to"] == 100 and frame.loc["g1", "hmm_coverage"] == 1.0
    kept = merged.filter(min_score=20, min_hmm_coverage=0.9)
    assert list(kept.to_pandas()["gene_id"]) == ["g1"]
    with pytest.raises(ValueError, match="columns='full'"):
        HitTable(merged).filter(min_hmm_coverage=0.5)
    with pytest.raises(TypeError):
        merged.merge([("g", "p", 1.0, 1.0)])


@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_arrow_files_hold_every_column(tmp_path, suffix):
    pytest.importorskip("pyarrow")
    import pyarrow.feather
    import pyarrow.parquet

    table = read_hmmer(
        domtblout(tmp_path, dom_row("g1", "P", 30, 30), dom_row("g2", "P", 9, 9)),
        format="domtblout",
        columns="full",
    )
    path = tmp_path / "out" / f"hits{suffix}"
    table.write(path)
    read = pyarrow.parquet.read_table if suffix == ".parquet" else pyarrow.feather.read_table
    back = read(path).to_pandas()
    assert back.equals(table.to_pandas())
    assert [p.name for p in path.parent.iterdir()] == [path.name]


# Debian's hmmsearch on real Pfam profiles and real proteins: the reference.

needs_hmmsearch = pytest.mark.skipif(
    shutil.which("hmmsearch") is None or not (EXAMPLES / "pfam.hmm").exists(),
    reason="needs Debian's hmmsearch and tools/fetch_hmmer_examples.sh",
)


def hmmsearch(tmp_path, *options):
    out = tmp_path / ("_".join(o.strip("-") for o in options) or "plain")
    subprocess.run(
        [
            "hmmsearch",
            "--noali",
            "-o",
            os.devnull,
            *options,
            "--tblout",
            f"{out}.tbl",
            "--domtblout",
            f"{out}.dom",
            EXAMPLES / "pfam.hmm",
            EXAMPLES / "proteins.fa",
        ],
        check=True,
    )
    return Path(f"{out}.tbl"), Path(f"{out}.dom")


@needs_hmmsearch
def test_thresholds_equal_hmmsearch(tmp_path):
    plain_tbl, plain_dom = hmmsearch(tmp_path)
    # Scores are printed to 0.1 bits, so the bounds fall between printed values.
    for options, thresholds in [
        (["--cut_ga"], Thresholds(cutoff="gathering", hmm_files=(EXAMPLES / "pfam.hmm",))),
        (["--cut_tc"], Thresholds(cutoff="trusted", hmm_files=(EXAMPLES / "pfam.hmm",))),
        (["--cut_nc"], Thresholds(cutoff="noise", hmm_files=(EXAMPLES / "pfam.hmm",))),
        (["-T", "15.05", "--domT", "12.05"], Thresholds(min_seq_score=15.05, min_dom_score=12.05)),
        (["-E", "1e-5", "--domE", "1e-3"], Thresholds(max_seq_e_value=1e-5, max_dom_e_value=1e-3)),
    ]:
        cut_tbl, cut_dom = hmmsearch(tmp_path, *options)
        assert read_hmmer(cut_tbl) == read_hmmer(
            plain_tbl,
            thresholds=Thresholds(
                **{**thresholds.__dict__, "max_dom_e_value": None, "min_dom_score": None}
            ),
        ), options
        for score in ("sequence", "domain"):
            assert read_hmmer(cut_dom, format="domtblout", score=score) == read_hmmer(
                plain_dom, format="domtblout", score=score, thresholds=thresholds
            ), options


@needs_hmmsearch
def test_pyhmmer_gives_the_table_of_hmmsearch(tmp_path):
    pyhmmer = pytest.importorskip("pyhmmer")
    _, dom = hmmsearch(tmp_path, "--cut_ga")
    with pyhmmer.plan7.HMMFile(EXAMPLES / "pfam.hmm") as hmm_file:
        profiles = list(hmm_file)
    with pyhmmer.easel.SequenceFile(EXAMPLES / "proteins.fa", digital=True) as seq_file:
        proteins = seq_file.read_block()
    found = list(pyhmmer.hmmsearch(profiles, proteins, cpus=1, bit_cutoffs="gathering"))

    def printed(table):
        # As hmmsearch prints them: E-values to 2 digits (below the normal doubles, 0) and
        # scores to 0.1 bits.
        return {
            (g, h): (float(f"{e:.2g}") if e > 1e-300 else 0.0, round(b, 1)) for g, h, e, b in table
        }

    for score in ("sequence", "domain"):
        for coverage in (0.0, 0.8):
            ours = HitTable.from_pyhmmer(found, score=score, min_hmm_coverage=coverage)
            theirs = read_hmmer(dom, format="domtblout", score=score, min_hmm_coverage=coverage)
            assert printed(ours) == printed(theirs)
            assert len(ours) > 0
    full = HitTable.from_pyhmmer(found, columns="full").to_pandas()
    text = read_hmmer(dom, format="domtblout", columns="full").to_pandas()
    for column in ("dom_count", "hmm_from", "ali_to", "gene_length", "hmm_length"):
        assert sorted(full[column]) == sorted(text[column]), column
    assert math.isclose(full["gene_coverage"].sum(), text["gene_coverage"].sum())
    assert np.all(full["hmm_accession"] == text["hmm_accession"])


def velko_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "velko_tools", *args], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize(
    ("options", "genes"),
    [
        (["--cut-ga", "{pfam}"], ["g1", "g3"]),
        (["--cut-tc", "{pfam}"], ["g3"]),
        (["-T", "21", "--domT", "15"], ["g1", "g3"]),
        (["--domE", "1e-10"], []),
        (["--min-hmm-coverage", "0.6"], ["g3"]),
        (["--min-gene-coverage", "0.2", "--program", "hmmsearch"], ["g1", "g2", "g3"]),
    ],
)
def test_tophits_command_applies_the_thresholds(tmp_path, pfam, options, genes):
    path = domtblout(
        tmp_path,
        dom_row("g1", "PkA", 22.0, 16.0),
        dom_row("g2", "PkA", 19.0, 19.0, ali_from=10, ali_to=59),
        dom_row("g3", "PkA", 40.0, 39.0, hmm_to=70),
    )
    result = velko_cli(
        "tophits",
        "--format",
        "domtblout",
        *[option.format(pfam=pfam) for option in options],
        str(path),
    )
    assert result.returncode == 0, result.stderr
    assert [line.split("\t")[0] for line in result.stdout.splitlines()[1:]] == genes


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--cut-ga", "a.hmm", "--cut-nc", "b.hmm"], "give one of --cut-ga, --cut-tc and --cut-nc"),
        (
            ["--format", "tblout", "--domT", "5"],
            "--domE, --domT and the coverage options need --format domtblout",
        ),
        (["--columns", "full"], "--columns full needs an output file ending in .parquet or .arrow"),
        (["--min-gene-coverage", "2"], "min_gene_coverage must be a number from 0 to 1, not 2.0"),
    ],
)
def test_tophits_command_refuses_options_that_do_not_fit(tmp_path, options, message):
    path = domtblout(tmp_path, dom_row("g1", "PkA", 22.0, 16.0))
    result = velko_cli("tophits", "--format", "domtblout", *options, str(path))
    assert result.returncode == 2
    assert result.stderr.endswith(f"velko: error: {message}\n")


def union(intervals):
    covered = set()
    for start, end in intervals:
        covered.update(range(min(start, end), max(start, end) + 1))
    return len(covered)


domains = st.lists(
    st.tuples(
        st.sampled_from(["g1", "g2", "g3"]),
        st.sampled_from(["P", "Q"]),
        st.sampled_from([10.0, 20.0, 30.0]),
        st.integers(1, 100),
        st.integers(1, 100),
        st.integers(1, 200),
        st.integers(1, 200),
    ),
    min_size=1,
    max_size=12,
)


@settings(max_examples=40, deadline=None)
@given(domains, st.integers(1, 3), st.sampled_from([0.2, 0.5, 0.8]))
def test_coverage_over_runs_and_files_is_the_union(tmp_path_factory, rows, files, bound):
    # Rows of one pair may come back after other pairs and in other files: the union of all
    # of its domains decides, whether rows are kept or streamed.
    work = tmp_path_factory.mktemp("runs")
    # A domain's start comes before its end (a reversed one is refused).
    paths = [
        domtblout(
            work,
            *[
                dom_row(g, h, s, s, min(hf, ht), max(hf, ht), min(af, at), max(af, at))
                for i, (g, h, s, hf, ht, af, at) in enumerate(rows)
                if i % files == part
            ],
            name=f"t{part}",
        )
        for part in range(files)
    ]
    expected = {}
    for gene, hmm, score, *_ in rows:
        spans = [(r[3], r[4], r[5], r[6]) for r in rows if (r[0], r[1]) == (gene, hmm)]
        if (
            union([s[:2] for s in spans]) / 100 >= bound
            and union([s[2:] for s in spans]) / 200 >= bound / 2
        ):
            expected[gene, hmm] = max(expected.get((gene, hmm), score), score)
    for columns in ("hits", "full"):
        table = read_hmmer(
            paths,
            format="domtblout",
            min_hmm_coverage=bound,
            min_gene_coverage=bound / 2,
            columns=columns,
        )
        assert hits(table) == expected


@pytest.mark.parametrize(
    "options",
    [{"min_hmm_coverage": 0.4}, {"columns": "full"}, {"min_score": 15, "level": "domain"}],
)
def test_gzip_tables_wait_for_their_program_line(tmp_path, options):
    # The end of a gzip table cannot be read first, so its rows wait for the "# Program:" line.
    rows = [
        dom_row("g1", "P", 30, 30, 1, 30),
        dom_row("g1", "P", 30, 10, 20, 60),
        dom_row("g2", "P", 30, 20, 1, 20),
    ]
    plain = domtblout(tmp_path, *rows, program="hmmscan")
    packed = tmp_path / "t.domtblout.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert read_hmmer(packed, format="domtblout", **options) == read_hmmer(
        plain, format="domtblout", **options
    )
    assert read_hmmer(packed, format="domtblout", **options) != read_hmmer(
        plain, format="domtblout", program="hmmsearch", **options
    )


@pytest.mark.parametrize(
    ("kwargs", "expected"),
    [
        ({"cutoff": "gathering", "missing_cutoff": "drop"}, {("g1", "PkA")}),
        (
            {"cutoff": "gathering", "missing_cutoff": "keep"},
            {("g1", "PkA"), ("g2", "PkC"), ("g4", "PkB"), ("g5", "PkB")},
        ),
        (
            {"cutoff": "gathering", "level": "domain", "missing_cutoff": "drop"},
            {("g1", "PkA"), ("g3", "PkA")},
        ),
        ({"cutoff": "noise", "missing_cutoff": "drop"}, {("g4", "PkB")}),
    ],
)
def test_filter_reads_the_cutoffs_of_the_profile_file(pfam, kwargs, expected):
    table = HitTable(
        [
            ("g1", "PkA", 1e-5, 21.0),
            ("g3", "PkA", 1e-5, 16.0),
            ("g2", "PkC", 1e-5, 99.0),
            ("g4", "PkB", 1e-5, 5.0),
            ("g5", "PkB", 1e-5, 4.9),
        ]
    )
    assert set(hits(table.filter(hmm_file=pfam, **kwargs))) == expected


def test_a_missing_cutoff_reads_the_same_wherever_it_is_met(tmp_path):
    # Rows and hits fail at the first one of the profile; a whole file checked before a search
    # (run_genomes) at the line where the profile starts. The reason is one text.
    hmm_file = tmp_path / "two.hmm"
    hmm_file.write_text(profile("PkA", GA="20.0 15.0;") + profile("PkC", "PF00003.1"))
    path = domtblout(tmp_path, dom_row("g1", "PkA", 30, 30), dom_row("g2", "PkC", 30, 30))
    by_name = 'the profile "PkC" has no GA line in the profile file'
    calls = [
        (
            lambda: read_hmmer(path, format="domtblout", cutoff="gathering", hmm_file=hmm_file),
            (str(path), 2, by_name),
        ),
        (
            lambda: read_hmmer(path, format="domtblout").filter(
                cutoff="gathering", hmm_file=hmm_file
            ),
            ("<HitTable>", 2, by_name),
        ),
        # A table that names profiles by accession finds them by it, at either level.
        (
            lambda: HitTable([("g2", "PF00003.1", 1e-5, 30.0)]).filter(
                cutoff="gathering", hmm_file=hmm_file, level="domain"
            ),
            ("<HitTable>", 1, by_name.replace("PkC", "PF00003.1")),
        ),
        (lambda: check_cutoffs(hmm_file, "gathering"), (str(hmm_file), 10, by_name)),
    ]
    for call, expected in calls:
        with pytest.raises(HmmerFormatError) as caught:
            call()
        assert (caught.value.path, caught.value.line, caught.value.reason) == expected
    hmm_file.write_text(profile("PkA", GA="20.0 15.0;") + profile("PkC", GA="1 1"))
    assert check_cutoffs(hmm_file, "gathering") == 2


def test_full_tables_pickle_and_keep_their_columns_through_top_hits(tmp_path):
    import pickle

    table = read_hmmer(
        domtblout(tmp_path, dom_row("g1", "P", 30, 30, 1, 100), dom_row("g1", "Q", 40, 40, 1, 10)),
        format="domtblout",
        columns="full",
    )
    back = pickle.loads(pickle.dumps(table))
    assert back == table and back.to_pandas().equals(table.to_pandas())
    top = table.top_hits()
    assert list(top) == [("g1", "Q", 1e-10, 40.0)]
    assert list(top.to_pandas()["hmm_to"]) == [10]


@pytest.mark.parametrize("options", [{}, {"max_evalue": 1.0}])
def test_the_program_line_at_the_end_settles_the_rows(tmp_path, options):
    headless = tmp_path / "n.tblout"
    headless.write_text(
        "".join(
            line + "\n"
            for line in NHMMER.splitlines()
            if not line.startswith("# target") and "-----" not in line
        )
    )
    assert set(hits(read_hmmer(headless, **options))) <= {("chr1", "MADE1"), ("chr2", "MADE1")}
    twice = domtblout(
        tmp_path,
        dom_row("g1", "P", 30, 30),
        "# Program:         hmmscan",
        dom_row("g2", "P", 30, 30),
    )
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(twice, format="domtblout", **options)
    assert caught.value.reason == "the table names a second program, hmmscan"


# g1/P fails alone twice and passes on the union of its two runs, its best hit in the first;
# g2/P passes, then comes back with a better hit in a run that fails alone; g3/P never passes.
RETURNING = [
    dom_row("g1", "P", 35, 35, 1, 40, 1, 80),
    dom_row("g2", "P", 30, 30, 1, 90, 1, 150),
    dom_row("g3", "P", 30, 30, 1, 20, 1, 20),
    dom_row("g1", "P", 31, 31, 41, 70, 81, 130),
    dom_row("g2", "P", 40, 40, 1, 5, 1, 5),
    dom_row("g3", "P", 50, 50, 30, 40, 30, 40),
]


def pyhmmer_like(rows):
    """The rows of dom_row as pyhmmer's TopHits would hold them, one group per row."""
    groups = []
    for row in rows:
        f = row.split()
        alignment = SimpleNamespace(
            hmm_length=int(f[5]),
            target_length=int(f[2]),
            hmm_from=int(f[15]),
            hmm_to=int(f[16]),
            target_from=int(f[17]),
            target_to=int(f[18]),
        )
        domain = SimpleNamespace(
            reported=True,
            alignment=alignment,
            i_evalue=float(f[12]),
            score=float(f[13]),
            env_from=int(f[19]),
            env_to=int(f[20]),
        )
        hit = SimpleNamespace(
            name=f[0],
            accession=None,
            description="",
            evalue=float(f[6]),
            score=float(f[7]),
            length=int(f[2]),
            domains=[domain],
        )
        groups.append(
            SimpleNamespace(
                query=SimpleNamespace(name=f[3], accession=None, M=int(f[5])), reported=[hit]
            )
        )
    return groups


@pytest.mark.parametrize("source", ["plain", "gzip", "fifo", "stdin", "pyhmmer"])
def test_a_pair_that_comes_back_is_judged_on_all_its_runs(tmp_path, source):
    # Files that can be read twice forget the runs that fail and read the table again for the
    # pairs that come back; a pipe keeps those runs: both give the same table.
    text = "\n".join([*RETURNING, "#", "# Program:         hmmsearch", "# [ok]"]) + "\n"
    options = dict(format="domtblout", min_hmm_coverage=0.6, min_gene_coverage=0.6)
    expected = {("g1", "P"): 35.0, ("g2", "P"): 40.0}
    if source == "pyhmmer":
        table = HitTable.from_pyhmmer(
            pyhmmer_like(RETURNING), min_hmm_coverage=0.6, min_gene_coverage=0.6
        )
        assert hits(table) == expected
        return
    if source == "stdin":
        child = subprocess.run(
            [
                sys.executable,
                "-c",
                "from velko_tools import read_hmmer\n"
                f"print(sorted((g, h, b) for g, h, _, b in read_hmmer('-', **{options!r})))",
            ],
            input=text,
            capture_output=True,
            text=True,
            timeout=60,
            check=True,
        )
        assert child.stdout.strip() == repr(sorted((*pair, bit) for pair, bit in expected.items()))
        return
    path = tmp_path / "t.domtblout"
    if source == "fifo":
        with fifo_feeder(path, text.encode(), repeat=1):
            assert hits(read_hmmer(path, **options)) == expected
        return
    if source == "gzip":
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    assert hits(read_hmmer(path, **options)) == expected
    assert hits(read_hmmer([path, path], **options)) == expected


def test_many_pairs_that_come_back(tmp_path):
    # Enough failed runs that their fingerprints outgrow their first arrays: every pair whose
    # second run completes its coverage is found again, and no other.
    count = 60_000
    first = [dom_row(f"g{i}", "P", 30, 30, 1, 40, 1, 80) for i in range(count)]
    second = [dom_row(f"g{i}", "P", 30, 30, 41, 70, 81, 130) for i in range(0, count, 3)]
    path = domtblout(tmp_path, *first, *second)
    table = read_hmmer(path, format="domtblout", min_hmm_coverage=0.6, min_gene_coverage=0.6)
    assert sorted(table.gene_ids) == sorted(f"g{i}" for i in range(0, count, 3))


@pytest.mark.parametrize(
    "text, valid",
    [
        ("1e", False),
        ("9-", False),
        ("-.e5", False),
        ("1.5e+", False),
        ("+.5E-3", True),
        ("7.", True),
        ("inf", True),
        ("NaN", True),
    ],
)
@pytest.mark.parametrize(
    "options", [{"min_hmm_coverage": 0.1}, {"max_evalue": 1.0, "level": "domain"}]
)
def test_an_unread_domain_evalue_is_still_checked(tmp_path, text, valid, options):
    # Coverage alone does not read the domain's E-value, yet a table with one that is no
    # number is as bad as with any other threshold.
    fields = dom_row("g1", "P", 30, 30).split()
    fields[12] = text
    path = domtblout(tmp_path, " ".join(fields))
    if valid:
        read_hmmer(path, format="domtblout", **options)
        return
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path, format="domtblout", **options)
    assert (caught.value.line, caught.value.column) == (1, 13)
    assert caught.value.reason == f'i-Evalue "{text}" is not a number'


def raw_row(**columns):
    """A domtblout row of dom_row's defaults with some of its 23 columns replaced, by heading."""
    fields = dom_row("g1", "P", 30, 30).split()
    headings = [
        "target",
        "tacc",
        "tlen",
        "query",
        "qacc",
        "qlen",
        "e",
        "score",
        "bias",
        "index",
        "of",
        "c_e",
        "i_e",
        "dom_score",
        "dom_bias",
        "hmm_from",
        "hmm_to",
        "ali_from",
        "ali_to",
        "env_from",
        "env_to",
        "acc",
        "description",
    ]
    for name, value in columns.items():
        fields[headings.index(name)] = str(value)
    return " ".join(fields)


@pytest.mark.parametrize(
    ("columns", "column", "reason"),
    [
        ({"hmm_to": 9999}, 17, "hmm to 9999 is outside 1..100 (qlen)"),
        ({"hmm_from": 0}, 16, "hmm from 0 is outside 1..100 (qlen)"),
        ({"hmm_from": 60}, 16, "hmm from 60 is after hmm to 50"),
        ({"ali_to": 201}, 19, "ali to 201 is outside 1..200 (tlen)"),
        ({"ali_from": 51, "ali_to": 40}, 18, "ali from 51 is after ali to 40"),
        ({"hmm_to": "1" * 23}, 17, f'hmm to "{"1" * 23}" is too large'),
        ({"qlen": "9" * 21}, 6, f'qlen "{"9" * 21}" is too large'),
        ({"env_to": 250}, 21, "env to 250 is outside 1..200 (tlen)"),
        ({"env_from": 30, "env_to": 20}, 20, "env from 30 is after env to 20"),
        ({"description": "caf\udce9"}, 23, 'the description "caf\\xe9" is not UTF-8'),
    ],
)
def test_domain_rows_that_cannot_be_right(tmp_path, columns, column, reason):
    # A coordinate past the model's end made a coverage above 1 that passed every filter.
    path = tmp_path / "t.domtblout"
    path.write_bytes(
        raw_row(**columns).encode("utf-8", "surrogateescape")
        + b"\n#\n# Program:         hmmsearch\n"
    )
    every_column = "env" in reason or "description" in reason
    options = {"columns": "full"} if every_column else {"min_hmm_coverage": 0.1}
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path, format="domtblout", **options)
    assert (caught.value.path, caught.value.line, caught.value.column) == (str(path), 1, column)
    assert caught.value.reason == reason
    if "description" in reason:
        result = velko_cli(
            "tophits",
            "--format",
            "domtblout",
            "--columns",
            "full",
            "-o",
            str(tmp_path / "out.parquet"),
            str(path),
        )
        assert result.returncode == 1
        assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
        assert "is not UTF-8" in result.stderr


scored = st.sampled_from([math.nan, 1.0, 5.0])
nan_rows = st.lists(
    st.tuples(
        st.sampled_from("ab"), st.sampled_from("PQ"), st.sampled_from([math.nan, 1e-5, 0.5]), scored
    ),
    max_size=8,
)


@settings(max_examples=100, deadline=None)
@given(st.lists(nan_rows, min_size=2, max_size=4), st.randoms(use_true_random=False))
def test_merge_does_not_depend_on_the_order_with_nan_and_ties(parts, random):
    # A NaN score ranks below every number and a NaN E-value above: the order is total.
    tables = [HitTable(part) for part in parts]
    merged = tables[0].merge(*tables[1:])
    random.shuffle(tables)
    assert tables[0].merge(*tables[1:]) == merged
    assert tables[1] | tables[0] == tables[0] | tables[1]
    for gene, hmm, e_value, bit_score in merged:
        offered = [(e, s) for table in tables for g, h, e, s in table if (g, h) == (gene, hmm)]
        numbers = [s for _, s in offered if not math.isnan(s)]
        if numbers:
            assert bit_score == max(numbers)
            best_e = [e for e, s in offered if s == bit_score and not math.isnan(e)]
            assert e_value == min(best_e) if best_e else math.isnan(e_value)


def test_merge_with_full_columns_picks_the_same_row_whatever_the_order(tmp_path):
    one = read_hmmer(
        domtblout(tmp_path, raw_row(score="nan", description="one"), name="a"),
        format="domtblout",
        columns="full",
    )
    two = read_hmmer(
        domtblout(tmp_path, raw_row(score=40, description="two"), name="b"),
        format="domtblout",
        columns="full",
    )
    for merged in (one | two, two | one):
        assert list(merged) == [("g1", "P", 1e-10, 40.0)]
        assert merged.to_pandas()["description"].tolist() == ["two"]


def test_a_table_changed_between_the_two_passes_is_refused(tmp_path):
    # Coverage reads each file twice; a writer that changes one in between would give a table
    # that matches neither state. The change is made again and again while the call runs.
    changed = domtblout(tmp_path, *RETURNING, name="changed")  # pairs that need the second pass
    rows = [dom_row(f"h{i}", "P", 30, 30) for i in range(60000)]
    large = domtblout(tmp_path, *rows, name="large")
    stop = threading.Event()

    def touch():
        stamp = 10**18
        while not stop.is_set():
            stamp += 1000
            os.utime(changed, ns=(stamp, stamp))

    toucher = threading.Thread(target=touch)
    toucher.start()
    try:
        with pytest.raises(ValueError) as caught:
            read_hmmer([changed, large], format="domtblout", min_hmm_coverage=0.6)
    finally:
        stop.set()
        toucher.join()
    assert str(caught.value) == (
        f'"{changed}" changed while it was read: coverage reads each file twice, and its '
        "size, times or inode differ between the two passes"
    )
    table = read_hmmer([changed, large], format="domtblout", min_hmm_coverage=0.6)
    assert hits(table) == {("g1", "P"): 35.0, ("g2", "P"): 40.0}
