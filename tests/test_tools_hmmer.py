"""velko_tools hits: real HMMER tables read against a small model, HitTable, its files, the CLI."""

import gzip
import math
import os
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from children import ADDRESS_LIMIT, refusal
from hypothesis import given, settings
from hypothesis import strategies as st

import velko  # noqa: F401  (publishes velko.hmmer.tophit)
from velko.hmmer.tophit import TopHitFile
from velko_tools import HitTable, HmmerFormatError, TopHitFormatError, VelkoError, _core, read_hmmer

DATA = Path(__file__).parent / "data" / "hmmer"
FIXED = {"tblout": 18, "domtblout": 22}
# 0-based columns of (target name, target accession, query name, query accession) and of the
# sequence and domain scores (E-value, bit score).
NAMES = {"tblout": (0, 1, 2, 3), "domtblout": (0, 1, 3, 4)}
SCORES = {
    ("tblout", "sequence"): (4, 5),
    ("domtblout", "sequence"): (6, 7),
    ("domtblout", "domain"): (12, 13),
}


# The model: a plain reading of the files and of the replacement rule.


def model_rows(path, fmt, program=None, score="sequence", hmm="name"):
    """(gene, profile, e-value, bit score) of every row, in file order."""
    rows, named = [], None
    for line in Path(path).read_text().splitlines():
        match = re.match(r"#\s+Program:\s+(\S+)", line)
        if match:
            named = match.group(1)
        if line.startswith("#") or not line.strip():
            continue
        rows.append(line.split(None, FIXED[fmt]))
    program = program or named
    target, target_acc, query, query_acc = NAMES[fmt]
    e_col, bit_col = SCORES[fmt, score]
    out = []
    for fields in rows:
        search = program == "hmmsearch"
        gene = fields[target] if search else fields[query]
        profile = (
            (fields[query] if search else fields[target])
            if hmm == "name"
            else (fields[query_acc] if search else fields[target_acc])
        )
        out.append((gene, profile, float(fields[e_col]), float(fields[bit_col])))
    return out


def model_table(rows):
    """Gene -> profile -> (e, bit): a new pair is kept, a stored one replaced only by a better
    hit (higher bit score, or equal bit score and lower E-value)."""
    genes = {}
    for gene, profile, e_value, bit_score in rows:
        profiles = genes.setdefault(gene, {})
        stored = profiles.get(profile)
        if (
            stored is None
            or bit_score > stored[1]
            or (bit_score == stored[1] and e_value < stored[0])
        ):
            profiles[profile] = (e_value, bit_score)
    return genes


def model_list(genes):
    return [(g, p, e, b) for g, profiles in genes.items() for p, (e, b) in profiles.items()]


def model_top(genes):
    """Each gene's best hit; of hits tied on both scores, the one offered last."""
    top = {}
    for gene, profiles in genes.items():
        best = None
        for profile, (e, b) in profiles.items():
            if best is None or not (best[2] > b or (best[2] == b and best[1] < e)):
                best = (profile, e, b)
        top[gene] = {best[0]: (best[1], best[2])}
    return top


CASES = [
    # (file, format, program, score, hmm)
    ("search.tblout", "tblout", None, "sequence", "name"),
    ("search.tblout", "tblout", "hmmsearch", "sequence", "name"),
    ("scan.tblout", "tblout", None, "sequence", "name"),
    ("scan.tblout", "tblout", "hmmscan", "sequence", "name"),
    ("search_max.tblout", "tblout", None, "sequence", "name"),
    ("others.tblout", "tblout", None, "sequence", "accession"),
    ("search.domtblout", "domtblout", None, "sequence", "name"),
    ("search.domtblout", "domtblout", None, "domain", "name"),
    ("scan.domtblout", "domtblout", None, "domain", "name"),
    ("scan.domtblout", "domtblout", "hmmscan", "sequence", "name"),
    ("search_max.domtblout", "domtblout", None, "domain", "name"),
]


@pytest.mark.parametrize(("name", "fmt", "program", "score", "hmm"), CASES)
def test_real_tables_read_as_the_model(name, fmt, program, score, hmm):
    path = DATA / name
    table = read_hmmer(path, format=fmt, program=program, score=score, hmm=hmm)
    genes = model_table(model_rows(path, fmt, program, score, hmm))
    assert list(table) == model_list(genes)
    assert len(table) == len(model_list(genes))
    assert table.gene_ids == [row[0] for row in model_list(genes)]
    assert table.hmm_ids == [row[1] for row in model_list(genes)]
    assert table.e_values.dtype == np.float64 and table.bit_scores.dtype == np.float64
    assert table.e_values.tolist() == [row[2] for row in model_list(genes)]
    assert list(table.top_hits()) == model_list(model_top(genes))


def test_domain_scores_differ_from_sequence_scores():
    # A gene with several domains of one profile keeps its best domain: a different table.
    path = DATA / "search.domtblout"
    by_sequence = read_hmmer(path, format="domtblout")
    by_domain = read_hmmer(path, format="domtblout", score="domain")
    assert len(by_sequence) == len(by_domain)
    assert by_sequence != by_domain


def test_scan_and_search_agree_on_bit_scores():
    # The same comparisons seen from both sides: genes and profiles swap columns.
    search = {(g, p): b for g, p, _, b in read_hmmer(DATA / "search.tblout")}
    scan = {(g, p): b for g, p, _, b in read_hmmer(DATA / "scan.tblout")}
    assert search == scan


@pytest.mark.parametrize(
    "names",
    [
        ["globins.tblout", "others.tblout"],
        ["others.tblout", "globins.tblout"],
        ["search.tblout", "search_z.tblout"],
        ["search_z.tblout", "search.tblout"],
        ["search.tblout", "search.tblout"],
    ],
)
def test_several_files_merge_into_one_table(names):
    paths = [DATA / name for name in names]
    table = read_hmmer(paths)
    rows = [row for path in paths for row in model_rows(path, "tblout")]
    assert list(table) == model_list(model_table(rows))


def test_split_searches_merge_to_the_whole_search():
    merged = read_hmmer([DATA / "globins.tblout", str(DATA / "others.tblout")])
    assert merged == read_hmmer(DATA / "search.tblout")
    # A larger database size gives larger E-values for the same bit scores: never kept.
    assert read_hmmer([DATA / "search_z.tblout", DATA / "search.tblout"]) == merged


def test_empty_inputs_make_an_empty_table(tmp_path):
    comments = tmp_path / "none.tblout"
    comments.write_text("# target name\n#\n# Program:         hmmsearch\n# [ok]\n")
    for table in (read_hmmer([]), read_hmmer(comments), HitTable()):
        assert len(table) == 0 and list(table) == [] and table.gene_ids == []
        assert repr(table) == "<HitTable hits=0 genes=0 profiles=0>"


# Rows built from one real row of search.tblout, to set up ties and failures.
REAL = (DATA / "search.tblout").read_text().splitlines()
HEADER = [line for line in REAL[:3]]
TRAILER = [line for line in REAL if line.startswith("#")][3:]
ROW = REAL[3].split(None, 18)


def row(target="g1", query="PF1", e_value="1e-5", score="50.0", description="a protein"):
    fields = list(ROW)
    fields[0], fields[2], fields[4], fields[5], fields[18] = (
        target,
        query,
        e_value,
        score,
        description,
    )
    return "  ".join(fields)


def tblout(tmp_path, *rows, trailer=True, name="t.tblout"):
    path = tmp_path / name
    text = "\n".join(HEADER + list(rows) + (TRAILER if trailer else [])) + "\n"
    path.write_bytes(text.encode(errors="surrogateescape"))
    return path


@pytest.mark.parametrize(
    ("rows", "kept"),
    [
        # Equal bit scores: the lower E-value wins in either order.
        ([("g", "P", "1e-5", "50"), ("g", "P", "1e-9", "50")], ("g", "P", 1e-9, 50.0)),
        ([("g", "P", "1e-9", "50"), ("g", "P", "1e-5", "50")], ("g", "P", 1e-9, 50.0)),
        # The higher bit score wins whatever the E-values.
        ([("g", "P", "1e-50", "49.9"), ("g", "P", "1", "50")], ("g", "P", 1.0, 50.0)),
        # A tie on both scores keeps the first hit.
        ([("g", "P", "1e-5", "50"), ("g", "P", "1.0e-5", "50.0")], ("g", "P", 1e-5, 50.0)),
    ],
)
def test_replacement_rule(tmp_path, rows, kept):
    path = tblout(tmp_path, *(row(*r) for r in rows))
    assert list(read_hmmer(path)) == [kept]


def test_top_hit_ties_go_to_the_profile_offered_last(tmp_path):
    path = tblout(
        tmp_path,
        row("g", "PA", "1e-5", "50"),
        row("g", "PB", "1e-5", "50"),
        row("g", "PC", "1e-3", "50"),
        row("h", "PA", "1e-2", "20"),
        row("h", "PB", "1e-2", "20.5"),
    )
    table = read_hmmer(path)
    assert list(table.top_hits()) == [("g", "PB", 1e-5, 50.0), ("h", "PB", 1e-2, 20.5)]
    assert TopHitFile_top(table) == {"g": "PB", "h": "PB"}


def TopHitFile_top(table):
    tophits = table.to_tophit_file("unused.tsv")
    return {gene: tophits.get_top_hit(gene).hmm_id for gene in set(table.gene_ids)}


def test_descriptions_may_hold_blanks_or_be_missing(tmp_path):
    path = tblout(
        tmp_path, row("g1", description="kinase   domain  protein"), row("g2", description="")
    )
    assert list(read_hmmer(path)) == [("g1", "PF1", 1e-5, 50.0), ("g2", "PF1", 1e-5, 50.0)]


@pytest.mark.parametrize("line_end", [b"\r\n\r\n", b"\r", b"\r\r\n"])
def test_crlf_cr_and_blank_lines_read_as_plain_lines(tmp_path, line_end):
    plain = tblout(tmp_path, row("g1"), row("g2", score="60"))
    other = tmp_path / "other.tblout"
    other.write_bytes(plain.read_bytes().replace(b"\n", line_end))
    assert read_hmmer(other) == read_hmmer(plain)
    assert len(read_hmmer(other)) == 2


@pytest.mark.parametrize("text", ["1e", "1.2.3", "2+", "7E", "1e+-5", "9-", "--1", ".", "e5"])
@pytest.mark.parametrize(
    ("field", "column", "heading"), [("e_value", 5, "E-value"), ("score", 6, "score")]
)
def test_number_letters_that_make_no_number(tmp_path, text, field, column, heading):
    path = tblout(tmp_path, row("g0", e_value="0", score="1"), row(**{field: text}))
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path)
    assert (caught.value.line, caught.value.column) == (5, column)
    assert caught.value.reason == f'{heading} "{text}" is not a number'


# Failures: every one names the file as given, the line and the column.


@pytest.mark.parametrize(
    ("rows", "kwargs", "line", "column", "reason"),
    [
        ([row(score="5O.0")], {}, 4, 6, 'score "5O.0" is not a number'),
        # An empty field is no field: the description moves into the last fixed column.
        ([row(), row(e_value="")], {}, 5, 18, 'inc "a" is not a whole number'),
        (
            ["g1 - PF1 - 1e-5 50.0 0.1"],
            {},
            4,
            8,
            "too few columns: a tblout row has 18 before its description, this one 7",
        ),
        ([row().replace(" 1 ", " x ", 1)], {}, 4, 12, 'reg "x" is not a whole number'),
        ([row(target="g\udcff")], {}, 4, 1, 'target name "g\\xff" is not UTF-8'),
        (
            [row()],
            {"hmm": "accession"},
            4,
            4,
            'the profile "PF1" has no accession (query accession is "-")',
        ),
    ],
)
def test_format_errors(tmp_path, rows, kwargs, line, column, reason):
    path = tblout(tmp_path, *rows)
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(str(path), **kwargs)
    error = caught.value
    assert (error.path, error.line, error.column) == (str(path), line, column)
    assert error.reason == reason
    assert isinstance(error, VelkoError) and isinstance(error, ValueError)


def test_a_short_row_names_its_first_missing_column(tmp_path):
    path = tblout(tmp_path, "g1 - PF1 - 1e-5")
    with pytest.raises(HmmerFormatError, match=r":4:6: too few columns: .* this one 5$"):
        read_hmmer(path)


@pytest.mark.parametrize(
    ("name", "fmt", "line", "column", "reason"),
    [
        (
            "search.domtblout",
            "tblout",
            2,
            5,
            "these column headings are those of a domtblout (per-domain table), not a tblout "
            "(per-sequence table)",
        ),
        (
            "search.tblout",
            "domtblout",
            2,
            5,
            "these column headings are those of a tblout (per-sequence table), not a domtblout "
            "(per-domain table)",
        ),
    ],
)
def test_the_other_format_is_named(name, fmt, line, column, reason):
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(DATA / name, format=fmt)
    assert (caught.value.line, caught.value.column, caught.value.reason) == (line, column, reason)


@pytest.mark.parametrize(
    ("name", "fmt", "column", "reason"),
    [
        (
            "search.domtblout",
            "tblout",
            5,
            "this row is from a domtblout (per-domain table), not a tblout (per-sequence table)",
        ),
        (
            "search.tblout",
            "domtblout",
            3,
            "this row is from a tblout (per-sequence table), not a domtblout (per-domain table)",
        ),
    ],
)
def test_rows_of_the_other_format_are_named_without_headings(tmp_path, name, fmt, column, reason):
    stripped = tmp_path / name
    stripped.write_text("".join(line for line in (DATA / name).open() if line[0] != "#"))
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(stripped, format=fmt, program="hmmsearch")
    assert (caught.value.line, caught.value.column, caught.value.reason) == (1, column, reason)


@pytest.mark.parametrize(
    ("trailer", "line", "column", "reason"),
    [
        (
            [],
            4,
            None,
            'no "# Program:" line after this row names the program that wrote it '
            "(hmmsearch or hmmscan)",
        ),
        (
            ["#", "# Program:         blastp"],
            6,
            3,
            'the table was written by "blastp", not by a HMMER search program (hmmsearch, '
            "hmmscan, phmmer, jackhmmer, nhmmer or nhmmscan)",
        ),
    ],
)
def test_the_program_must_be_known(tmp_path, trailer, line, column, reason):
    path = tblout(tmp_path, row("g1"), *trailer, trailer=False)
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path)
    assert (caught.value.line, caught.value.column, caught.value.reason) == (line, column, reason)
    # Named by the caller, the program needs no comment line.
    if not trailer:
        assert list(read_hmmer(path, program="hmmscan")) == [("PF1", "g1", 1e-5, 50.0)]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"format": "tbl"}, "format must be 'tblout' or 'domtblout', not 'tbl'"),
        (
            {"program": "blastp"},
            "program must be 'hmmsearch', 'hmmscan', 'phmmer', 'jackhmmer', 'nhmmer' or "
            "'nhmmscan', not 'blastp'",
        ),
        ({"score": "best"}, "score must be 'sequence' or 'domain', not 'best'"),
        ({"hmm": "id"}, "hmm must be 'name', 'accession' or 'accession_or_name', not 'id'"),
        (
            {"score": "domain"},
            "score='domain' needs format='domtblout': a tblout has no domain scores",
        ),
    ],
)
def test_bad_options(kwargs, message):
    with pytest.raises(ValueError) as caught:
        read_hmmer(DATA / "search.tblout", **kwargs)
    assert str(caught.value) == message


def test_gzip_tables_read_as_plain_ones(tmp_path):
    packed = gzip.compress((DATA / "search.domtblout").read_bytes())
    (tmp_path / "t.gz").write_bytes(packed)
    assert read_hmmer(tmp_path / "t.gz", format="domtblout") == read_hmmer(
        DATA / "search.domtblout", format="domtblout"
    )
    (tmp_path / "cut.gz").write_bytes(packed[: len(packed) // 2])
    with pytest.raises(EOFError):
        read_hmmer(tmp_path / "cut.gz", format="domtblout")
    (tmp_path / "bad.gz").write_bytes(packed[:10] + b"\xff" * 64)
    with pytest.raises(gzip.BadGzipFile):
        read_hmmer(tmp_path / "bad.gz", format="domtblout")


@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit the address-space limit",
)
@pytest.mark.parametrize(
    ("source", "program"),
    [("gzip", None), ("stdin", None), ("gzip", "hmmsearch"), ("stdin", "hmmsearch")],
)
def test_rows_held_for_their_program_stop_at_the_memory_left(tmp_path, source, program):
    # Without its program a gzip file or a pipe is held whole until the "# Program:" line at
    # its end. Under a tight address-space limit that must end in the account's refusal, naming
    # the remedy, not in a bare std::bad_alloc; with the program the rows stream (few pairs).
    rows = "".join(
        f"g{i % 1000} - P - 1e-5 {i % 97}.0 0.1 1e-5 40.0 0.1 1.0 1 1 0 1 1 1 1\n"
        for i in range(800_000)
    )
    text = (rows + "#\n# Program:         hmmsearch\n# [ok]\n").encode()
    path = tmp_path / "t.tblout.gz"
    path.write_bytes(gzip.compress(text, 1) if source == "gzip" else text)
    source_path = str(path) if source == "gzip" else "-"
    child = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko_tools import read_hmmer
        limit_address_space(32 << 20)
        try:
            print(len(read_hmmer({source_path!r}, program={program!r})))
        except MemoryError as error:
            print(error)
    """)
    # Standard input is a pipe, which cannot be looked at from its end.
    result = subprocess.run(
        [sys.executable, "-c", child], input=text, capture_output=True, timeout=120
    )
    result.stdout, result.stderr = result.stdout.decode(), result.stderr.decode()
    if program is not None:
        assert (result.returncode, result.stdout, result.stderr) == (0, "1000\n", "")
        return
    match = refusal(result)
    assert match["what"] == 'a HMMER table held until its "# Program:" line'
    assert match["detail"] == " (name the program to read its rows as they come)"


def test_missing_and_unreadable_files_raise_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        read_hmmer([DATA / "search.tblout", tmp_path / "missing.tblout"])
    assert caught.value.filename == str(tmp_path / "missing.tblout")
    with pytest.raises(IsADirectoryError):
        read_hmmer(tmp_path)
    with pytest.raises(ValueError, match="embedded null byte"):
        read_hmmer("a\0b")


# The table and velko's top-hit files.


@pytest.fixture(scope="module")
def real_table():
    return read_hmmer(DATA / "search_max.domtblout", format="domtblout", score="domain")


def test_table_surface(real_table):
    # Three different counts, so that a repr counting the wrong column shows.
    rows = [
        ("g1", "PF1", 1e-5, 50.0),
        ("g1", "PF2", 1e-3, 20.0),
        ("g2", "PF1", 1e-9, 70.0),
        ("g3", "PF1", 1e-9, 70.0),
    ]
    assert repr(HitTable(rows)) == "<HitTable hits=4 genes=3 profiles=2>"
    assert repr(real_table) == "<HitTable hits=662 genes=92 profiles=10>"
    assert pickle.loads(pickle.dumps(real_table)) == real_table
    frame = real_table.to_pandas()
    assert list(frame.columns) == ["gene_id", "hmm_id", "e_value", "bit_score"]
    assert list(frame.itertuples(index=False, name=None)) == list(real_table)
    with pytest.raises(ValueError):
        real_table.e_values[0] = 1.0
    ids = real_table.gene_ids
    ids.clear()
    assert real_table.gene_ids  # a copy was handed out
    with pytest.raises(TypeError):
        hash(real_table)


def test_rows_offered_to_the_constructor_follow_the_rule():
    table = HitTable(
        [
            ("g", "P", 1e-3, 10.0),
            ("g", "Q", 1e-9, 30),
            ("g", "P", 1e-4, 10.0),
            ("h", "P", math.inf, -1.0),
        ]
    )
    assert list(table) == [
        ("g", "P", 1e-4, 10.0),
        ("g", "Q", 1e-9, 30.0),
        ("h", "P", math.inf, -1.0),
    ]


# Few genes, many profiles: a gene's hits are chained, and indexed past sixteen of them.
@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.sampled_from("gh"),
            st.integers(0, 40),
            st.sampled_from([1e-9, 1e-3, 1.0]),
            st.sampled_from([-1.0, 5.0, 30.0]),
        ),
        min_size=40,
        max_size=200,
    )
)
def test_genes_with_many_profiles_keep_the_model(rows):
    rows = [(gene, f"PF{profile}", e, b) for gene, profile, e, b in rows]
    table = HitTable(rows)
    genes = model_table(rows)
    assert list(table) == model_list(genes)
    assert list(table.top_hits()) == model_list(model_top(genes))


def test_write_reads_back_in_velko(tmp_path, real_table):
    path = tmp_path / "out" / "deeper" / "top.tsv"
    real_table.write(path)
    tophits = TopHitFile(str(path))
    tophits.read()
    for gene, profile, e_value, bit_score in real_table:
        hit = tophits.get_hmm_hit(gene, profile)
        assert (hit.e_val, hit.bit_score) == (e_value, bit_score)
    assert HitTable.from_tophit_file(tophits) == real_table
    assert HitTable.read(path) == real_table
    assert real_table.top_hits() == HitTable.read(path).top_hits()


def test_write_gives_the_bytes_velko_writes(tmp_path, real_table):
    ours, theirs = tmp_path / "ours.tsv", tmp_path / "theirs.tsv"
    real_table.write(str(ours))
    real_table.to_tophit_file(str(theirs)).write()
    assert ours.read_bytes() == theirs.read_bytes()


def test_conversions_with_velko_tophit_files(tmp_path):
    tophits = TopHitFile(str(tmp_path / "never_written.tsv"))
    tophits.add_hit("g1", "PF1", 1e-5, 50)
    tophits.add_hit("g1", "PF2", 1e-9, 70)
    table = HitTable.from_tophit_file(tophits)
    assert sorted(table) == [("g1", "PF1", 1e-5, 50.0), ("g1", "PF2", 1e-9, 70.0)]
    assert not (tmp_path / "never_written.tsv").exists()  # copied in memory
    tophits.add_hit("g2", "PF1", 1.0, 1.0)
    assert len(table) == 2  # a copy, not a view
    again = table.to_tophit_file(tmp_path / "again.tsv")
    assert isinstance(again, TopHitFile) and again.path == str(tmp_path / "again.tsv")
    assert again.get_top_hit("g1").hmm_id == "PF2"
    with pytest.raises(TypeError, match="expected a velko.hmmer.tophit.TopHitFile, not str"):
        HitTable.from_tophit_file("top.tsv")


@pytest.mark.parametrize(
    ("rows", "message"),
    [
        (
            [("g\t1", "PF1", 1.0, 2.0)],
            'Cannot write gene id "g\\t1": it contains a tab or line feed',
        ),
        (
            [("g1", "PF1,2", 1.0, 2.0)],
            'Cannot write profile id "PF1,2": it contains a tab, line feed, ";" or ","',
        ),
    ],
)
def test_write_refuses_identifiers_that_do_not_read_back(tmp_path, rows, message):
    path = tmp_path / "top.tsv"
    path.write_text("old")
    with pytest.raises(ValueError) as caught:
        HitTable(rows).write(path)
    assert str(caught.value) == message
    assert path.read_text() == "old"


def test_write_failures_are_os_errors(tmp_path):
    table = HitTable([("g1", "PF1", 1.0, 2.0)])
    with pytest.raises(IsADirectoryError) as caught:
        table.write(tmp_path)
    assert caught.value.filename == str(tmp_path)
    (tmp_path / "file").write_text("")
    with pytest.raises(FileExistsError):  # the directory cannot be made
        table.write(tmp_path / "file" / "top.tsv")
    with pytest.raises(FileNotFoundError):
        table.write("")


HEADER_LINE = "Gene Id\tTop hits (Family id,e-value,bitscore)\n"


@pytest.mark.parametrize(
    ("body", "line", "reason"),
    [
        ("g1\tPF1,1e-5,50\ng2 PF1,1e-5,50\n", 3, "no tab after the gene id"),
        ("g1\tPF1,1e-5,50\n\n", 3, "no tab after the gene id"),
        ("g1\tPF1,1e-5,50;\n", 2, "an empty hit in the hit list"),
        ("g1\tPF1\n", 2, 'hit "PF1" has no "," after its profile id'),
        ("g1\tPF1,1e-5\n", 2, 'hit "PF1,1e-5" has no bit score'),
        ("g1\tPF1,abc,50\n", 2, '"abc" is not a number'),
        ("g1\tPF1,1e-5, 50\n", 2, '" 50" is not a number'),
        ("g1\tPF1,,50\n", 2, '"" is not a number'),
        ("g1\tPF1,1,2\ng\xff\tPF1,1,2\n", 3, "the line is not UTF-8"),
    ],
)
def test_tophit_file_errors(write_file, body, line, reason):
    path = write_file(HEADER_LINE.encode() + body.encode("latin-1"))
    with pytest.raises(TopHitFormatError) as caught:
        HitTable.read(path)
    assert (caught.value.path, caught.value.line, caught.value.reason) == (path, line, reason)
    # velko's own reader refuses the same files, with its own texts.
    with pytest.raises(BaseException, match="unwrap|Cannot read file"):
        TopHitFile(path).read()


def test_tophit_file_reads_as_velko_reads_it(write_file):
    path = write_file(
        HEADER_LINE + "g1\tPF1,1E-5,+3,9;PF2,.5,Infinity\textra\r\n"
        "g1\tPF1,1e-9,3\ng2\tPF1,-nan,5.\n"
    )
    table = HitTable.read(path)
    velkos = TopHitFile(path)
    velkos.read()
    assert table == HitTable.from_tophit_file(velkos)
    rows = {(g, p): (e, b) for g, p, e, b in table}
    assert rows[("g1", "PF1")] == (1e-9, 3.0) and rows[("g1", "PF2")] == (0.5, math.inf)
    assert math.isnan(rows[("g2", "PF1")][0])
    with pytest.raises(FileNotFoundError):
        HitTable.read(path + ".missing")


# The command line.


def velko_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "velko_tools", *args], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize(
    ("args", "model"),
    [
        (["search.tblout"], lambda: model_table(model_rows(DATA / "search.tblout", "tblout"))),
        (
            ["--top", "search_max.tblout"],
            lambda: model_top(model_table(model_rows(DATA / "search_max.tblout", "tblout"))),
        ),
        (
            [
                "--format",
                "domtblout",
                "--score",
                "domain",
                "--program",
                "hmmscan",
                "scan.domtblout",
            ],
            lambda: model_table(
                model_rows(DATA / "scan.domtblout", "domtblout", "hmmscan", "domain")
            ),
        ),
    ],
)
def test_cli_writes_tsv(args, model):
    import pandas

    args = [str(DATA / a) if "." in a else a for a in args]
    result = velko_cli("tophits", *args)
    assert (result.returncode, result.stderr) == (0, "")
    import io

    # The numbers are exact; older pandas' default parser may be an ulp off, so Python reads them.
    frame = pandas.read_csv(io.StringIO(result.stdout), sep="\t", dtype=str)
    assert list(frame.columns) == ["gene_id", "hmm_id", "e_value", "bit_score"]
    rows = [
        (gene, hmm, float(e_value), float(bit_score))
        for gene, hmm, e_value, bit_score in frame.itertuples(index=False, name=None)
    ]
    assert rows == model_list(model())


def test_cli_writes_a_tophit_file(tmp_path):
    out = tmp_path / "sub" / "top.tsv"
    result = velko_cli(
        "tophits", "-o", str(out), str(DATA / "globins.tblout"), str(DATA / "others.tblout")
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert HitTable.read(out) == read_hmmer(DATA / "search.tblout")


@pytest.mark.parametrize(
    ("args", "status", "stderr"),
    [
        (
            ["search.domtblout"],
            1,
            "velko: error: {}:2:5: these column headings are those of a domtblout (per-domain "
            "table), not a tblout (per-sequence table)\n",
        ),
        (["missing.tblout"], 1, "velko: error: {}: No such file or directory\n"),
        (["--score", "domain", "search.tblout"], 2, None),
    ],
)
def test_cli_errors(args, status, stderr):
    path = str(DATA / args[-1])
    result = velko_cli("tophits", *args[:-1], path)
    assert (result.returncode, result.stdout) == (status, "")
    if stderr is not None:
        assert result.stderr == stderr.format(path)
    else:
        assert result.stderr.startswith("usage: velko")


def test_a_byte_order_mark_is_named(tmp_path):
    path = tblout(tmp_path, row())
    path.write_bytes(b"\xef\xbb\xbf" + path.read_bytes())
    with pytest.raises(HmmerFormatError) as caught:
        read_hmmer(path)
    assert (caught.value.line, caught.value.column) == (1, 1)
    assert "byte order mark" in caught.value.reason


@pytest.mark.parametrize(
    ("rows", "message"),
    [
        ([(1, "h", 1.0, 2.0)], "row 0: gene_id must be a str, not int"),
        ([("g", "h", 1.0, 2.0), (b"g", "h", 1.0, 2.0)], "row 1: gene_id must be a str, not bytes"),
        ([("g", 5, 1.0, 2.0)], "row 0: hmm_id must be a str, not int"),
        ([("g", "h", "1e-5", 2.0)], "row 0: e_value must be a real number, not str"),
        ([("g", "h", 1.0, None)], "row 0: bit_score must be a real number, not NoneType"),
    ],
)
def test_rows_of_the_wrong_types_are_refused(rows, message):
    with pytest.raises(TypeError) as caught:
        HitTable(rows)
    assert str(caught.value) == message


def test_only_velkos_own_tophit_files_are_read():
    # An object of another type of the very same size must not be read as a table.
    slots = (TopHitFile.__basicsize__ - object.__basicsize__) // 8
    fake_type = type("Fake", (), {"__slots__": tuple(f"s{i}" for i in range(slots))})
    fake = fake_type()
    assert fake_type.__basicsize__ == TopHitFile.__basicsize__
    message = "expected a velko.hmmer.tophit.TopHitFile, not Fake"
    with pytest.raises(TypeError, match=message):
        _core.tophits_from_tophit_file(fake)
    with pytest.raises(TypeError, match=message):
        HitTable([("g", "h", 1.0, 2.0)])._core.fill_tophit_file(fake)
