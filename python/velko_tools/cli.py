"""The velko command: k-mer tables, top profile hits and canonical accessions from a shell.

A subcommand is one function taking the parsed arguments and one entry in COMMANDS naming it,
its help and its arguments. Bad input ends with one line on standard error and status 1; usage
errors end with argparse's message and status 2.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, get_args

from velko_tools._args import Layout, Strands
from velko_tools.annotate import ARROW_SUFFIXES, Columns, Cutoff, MissingCutoff
from velko_tools.errors import UsageError, VelkoError
from velko_tools.hits import Format, ProfileKey, Program, Score
from velko_tools.kmers import MAX_COUNT, MAX_SPARSE_K
from velko_tools.sketches import MAX_HASH, MAX_SCALED, MAX_SKETCH_K, Metric
from velko_tools.tables import DEFAULT_COMPRESS_LEVEL
from velko_tools.tables import Format as OutputFormat


@dataclass(frozen=True)
class Argument:
    """One add_argument call: its flags or name, then its keywords."""

    flags: tuple[str, ...]
    options: dict[str, Any] = field(default_factory=dict)


def arg(*flags: str, **options: Any) -> Argument:
    return Argument(flags, options)


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    arguments: list[Argument]
    run: Callable[[argparse.Namespace], None]


def _int_in(low: int, high: int | None) -> Callable[[str], int]:
    """An argparse type: an integer from `low` to `high` (no upper bound when None)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        if value < low or (high is not None and value > high):
            bound = f"from {low} to {high}" if high is not None else f"at least {low}"
            raise argparse.ArgumentTypeError(f"must be {bound}, not {value}")
        return value

    return parse


def _fraction(text: str) -> float:
    """An argparse type: a number from 0 to 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, not {text}")
    return value


# The options several subcommands take, each written once; a subcommand's table adds its own.


def _files(metavar: str, help: str) -> Argument:
    return arg("files", metavar=metavar, nargs="+", help=help)


def _k(most: int | None, default: int | None, help: str) -> Argument:
    return arg("-k", type=_int_in(1, most), default=default, help=help)


def _strands(default: str) -> Argument:
    return _choice(
        "--strands",
        get_args(Strands),
        default,
        f"count the given strand, both strands, or canonical k-mers (default: {default})",
    )


def _layout(help: str) -> Argument:
    return arg("--layout", choices=get_args(Layout), default="auto", help=help)


def _cores(flag: str, what: str) -> Argument:
    """A count of workers, by default the cores this process may use."""
    return arg(
        flag,
        type=_int_in(1, None),
        default=None,
        metavar="N",
        help=f"{what} (default: the cores this process may use)",
    )


def _output(help: str, **options: Any) -> Argument:
    return arg("-o", "--output", metavar="OUT", help=help, **options)


def _bound(
    flag: str, help: str, kind: Callable[[str], Any] = float, metavar: str = "X", **options: Any
) -> Argument:
    """A number: a threshold, a size or a count, None unless a default is given."""
    return arg(flag, type=kind, metavar=metavar, help=help, **options)


def _choice(flag: str, choices: Sequence[str], default: str | None, help: str) -> Argument:
    """One of `choices`, the values of the Literal type the library defines them by."""
    return arg(flag, choices=choices, default=default, help=help)


def _flag(flag: str, help: str) -> Argument:
    return arg(flag, action="store_true", help=help)


_PROGRESS = arg(
    "--progress",
    action=argparse.BooleanOptionalAction,
    default=None,
    help="progress bar on standard error (default: when it is a terminal)",
)

# The three cutoffs of HMMER's profiles, as --cut-ga, --cut-tc and --cut-nc name them.
_CUTOFF_FLAGS: list[tuple[Cutoff, str]] = [
    ("gathering", "cut_ga"),
    ("trusted", "cut_tc"),
    ("noise", "cut_nc"),
]


def _cutoff(args: argparse.Namespace) -> tuple[Cutoff, Any] | None:
    """The cutoff asked for and what its option holds, or None; a usage error for two."""
    given = [(kind, getattr(args, name)) for kind, name in _CUTOFF_FLAGS]
    asked = [(kind, value) for kind, value in given if value not in (None, False)]
    if len(asked) > 1:
        raise UsageError("give one of --cut-ga, --cut-tc and --cut-nc")
    return asked[0] if asked else None


def _expanded(files: list[str], command: str, what: str) -> list[str]:
    """The FASTA files that `files` (files, directories, @LIST) name; what is left out is a
    warning on standard error, and nothing found a usage error."""
    import warnings

    from velko_tools.runs import expand_inputs

    with warnings.catch_warnings(record=True) as left_out:
        warnings.simplefilter("always")
        paths = expand_inputs(files)
    for warning in left_out:
        print(f"velko {command}: warning: {warning.message}", file=sys.stderr)
    if not paths:
        raise UsageError(f"no {what} found in " + " ".join(files))
    return paths


def _progress(args: argparse.Namespace) -> bool:
    return bool(args.progress) if args.progress is not None else sys.stderr.isatty()


def _kmers(args: argparse.Namespace) -> None:
    import velko_tools.tables as tables
    from velko_tools.counting import count_kmers
    from velko_tools.sparse import SparseKmerTable

    output = None if args.output == "-" else args.output
    dump = output is not None and output.endswith(".txt")
    if not dump:
        tables.output_format(output, args.format)  # refused before counting, which may take long
    if args.total and args.per_file:
        raise UsageError("give one of --per-file and --total")
    progress = _progress(args)
    with _invalid_base_hint("--skip-invalid leaves out the windows that hold it"):
        table = count_kmers(
            _inputs(args.files),
            args.k,
            strands=args.strands,
            invalid="skip" if args.skip_invalid else "error",
            per_file=args.per_file,
            total=args.total,
            threads=args.threads,
            progress=progress,
            layout="sparse" if args.histo or dump else args.layout,
            min_count=args.min_count,
            window=args.window,
            step=args.step,
        )
    if isinstance(table, SparseKmerTable):
        args.output = output
        _write_sparse(table, args)
        return
    with _standard_output() if output is None else contextlib.nullcontext():
        tables.write_table(
            table,
            output,
            frequencies=args.frequencies,
            format=args.format,
            compress_level=args.compress_level,
            progress=progress,
        )


@contextlib.contextmanager
def _invalid_base_hint(hint: str) -> Iterator[None]:
    """An invalid base (an N in a real genome, most often) ends the command with its place and
    `hint`, the command's own option that counts past it."""
    from velko_tools.errors import InvalidBaseError

    try:
        yield
    except InvalidBaseError as error:
        raise VelkoError(f"{error} ({hint})") from None


def _inputs(files: list[str]) -> list[str]:
    """The input paths, "-" standing for standard input (once: it can be read only once); the
    library reads it and names it <stdin> in errors."""
    from velko_tools._args import check_read_once

    if files.count("-") > 1:
        raise UsageError("'-' (standard input) given more than once")
    if "-" in files and sys.stdin is None:
        raise VelkoError("standard input is closed")
    try:
        check_read_once(files)
    except ValueError as error:
        raise UsageError(str(error)) from None
    return files


def _write_sparse(table: Any, args: argparse.Namespace) -> None:
    """Sparse counts: the spectrum (--histo), the KMER<TAB>COUNT dump of one row (.txt or
    standard output), or the table in .npz or long-form .parquet."""
    if args.frequencies:
        raise UsageError("--frequencies needs the dense layout (--layout dense)")
    if args.histo or args.output is None:
        with _standard_output() as text:
            out = text.buffer
            if args.histo:
                values, kmers = table.spectrum_items()
                for count, number in zip(values.tolist(), kmers.tolist()):
                    out.write(f"{count} {number}\n".encode())
            else:
                table.dump(out)
    elif args.output.endswith(".parquet"):
        table.write(args.output, kmer_column=args.kmer_column)
    elif args.output.endswith((".npz", ".txt")):
        table.write(args.output)
    else:
        raise UsageError("sparse counts are written as .txt, .npz or .parquet")


def _tophits(args: argparse.Namespace) -> None:
    from velko_tools.annotate import Thresholds
    from velko_tools.hits import read_hmmer

    nucleotide = args.program in ("nhmmer", "nhmmscan")
    if args.score == "domain" and args.format == "tblout" and not nucleotide:
        raise UsageError("--score domain needs --format domtblout")
    cutoff = _cutoff(args)
    if args.columns == "full" and (args.output is None or not args.output.endswith(ARROW_SUFFIXES)):
        raise UsageError("--columns full needs an output file ending in .parquet or .arrow")
    per_domain = (
        args.domE is not None
        or args.domT is not None
        or args.min_hmm_coverage > 0
        or args.min_gene_coverage > 0
    )
    if per_domain and args.format == "tblout" and not nucleotide:
        raise UsageError("--domE, --domT and the coverage options need --format domtblout")
    try:
        thresholds = Thresholds(
            max_seq_e_value=args.E,
            min_seq_score=args.T,
            max_dom_e_value=args.domE,
            min_dom_score=args.domT,
            cutoff=cutoff[0] if cutoff else None,
            hmm_files=(cutoff[1],) if cutoff else (),
            missing_cutoff=args.missing_cutoff,
            min_hmm_coverage=args.min_hmm_coverage,
            min_gene_coverage=args.min_gene_coverage,
        )
    except ValueError as error:
        raise UsageError(str(error)) from None
    table = read_hmmer(
        _inputs(args.files),
        format=args.format,
        program=args.program,
        score=args.score,
        hmm=args.hmm,
        columns=args.columns,
        thresholds=thresholds,
    )
    if args.top:
        table = table.top_hits()
    if args.output is not None:
        table.write(args.output)
        return
    with _standard_output() as out:
        out.buffer.write(b"gene_id\thmm_id\te_value\tbit_score\n")
        out.buffer.write(table.to_tsv())


def _gid(args: argparse.Namespace) -> None:
    import velko  # noqa: F401  (publishes velko.util.accession)
    from velko.util.accession import canonical_gid

    accessions = _arguments_text(args.accessions) if args.accessions else _input_lines()
    with _standard_output() as out:
        for accession in accessions:
            # An empty line stays an empty line, so the output lines up with the input (paste).
            out.write((canonical_gid(accession) if accession else "") + "\n")


def _arguments_text(arguments: list[str]) -> Iterator[str]:
    """The arguments, refused one by one when the shell passed bytes that are not UTF-8."""
    for number, argument in enumerate(arguments, 1):
        try:
            argument.encode("utf-8")
        except UnicodeEncodeError:
            raise VelkoError(f"argument {number} is not UTF-8: {os.fsencode(argument)!r}") from None
        yield argument


def _input_lines() -> Iterator[str]:
    """Standard input's lines as text, stripped; one line that is not UTF-8 ends the run."""
    if sys.stdin is None:
        raise VelkoError("standard input is closed")
    for number, line in enumerate(sys.stdin.buffer, 1):
        try:
            yield line.decode("utf-8").strip()
        except UnicodeDecodeError as error:
            raise VelkoError(
                f"standard input, line {number}: not UTF-8 (byte "
                f"0x{line[error.start]:02x} at column {error.start + 1})"
            ) from None


class _Terminated(BaseException):
    """SIGTERM, raised where Ctrl-C raises KeyboardInterrupt so that the same unwinding removes
    partial output; a BaseException, so that no ``except Exception`` takes it for an error."""


def _sketch(args: argparse.Namespace) -> None:
    from velko_tools.sketches import sketch

    if not args.output.endswith((".sig", ".sig.gz", ".parquet", ".npz")):
        raise UsageError("sketches are written as .sig, .sig.gz, .parquet or .npz")
    paths = _expanded(args.files, "sketch", "FASTA files")
    try:
        table = sketch(
            _inputs(paths),
            k=args.k,
            scaled=args.scaled,
            seed=args.seed,
            per_file=not args.per_record,
            abundance=args.abundance,
            threads=args.threads,
            progress=_progress(args),
        )
    except ValueError as error:
        raise UsageError(str(error)) from None
    table.write(args.output)


def _compare(args: argparse.Namespace) -> None:
    from velko_tools.sketches import SketchTable

    query = SketchTable.read(args.sketches, k=args.k)
    match = None if args.against is None else SketchTable.read(args.against, k=args.k)
    try:
        pairs = query.compare(
            match, threshold=args.threshold, metric=args.metric, threads=args.threads
        )
    except ValueError as error:
        raise VelkoError(str(error)) from None
    output = args.output
    if output.endswith(".parquet"):
        from velko_tools.output import replacing

        with replacing(output) as written:
            pairs.to_parquet(written, index=False)
    elif output == "-":
        with _standard_output() as out:
            pairs.to_csv(out, sep="\t", index=False, lineterminator="\n")
    elif output.endswith(".tsv"):
        from velko_tools.output import open_written, replacing

        with replacing(output) as written, open_written(written, "utf-8") as out:
            pairs.to_csv(out, sep="\t", index=False, lineterminator="\n")
    else:
        raise UsageError("pairs are written as .parquet or .tsv, or '-' for standard output")


def _sketch_file(text: str) -> str:
    """An argparse type: a file of sketches SketchTable.read takes, by its suffix."""
    if not text.endswith((".sig", ".sig.gz", ".zip", ".parquet", ".npz")):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a file of sketches: .sig, .sig.gz, .zip, .parquet or .npz"
        )
    return text


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


@contextlib.contextmanager
def _standard_output() -> Iterator[Any]:
    """Standard output for a command's results. An error writing there names it, and a closed
    standard output (no descriptor 1, or one that refuses writes) is one error line."""
    if sys.stdout is None:
        raise VelkoError("standard output is closed")
    try:
        yield sys.stdout
        sys.stdout.flush()
    except OSError as error:
        if isinstance(error, BrokenPipeError) or error.filename is not None:
            raise
        if error.errno == errno.EBADF:
            raise VelkoError("standard output is closed") from None
        error.filename = "standard output"
        raise


def _choices(literal: str) -> list[str]:
    """The values of one of velko_tools.runs' Literal types, where they are defined."""
    from typing import get_args

    import velko_tools.runs as runs

    return list(get_args(getattr(runs, literal)))


def _run(args: argparse.Namespace) -> None:
    from velko_tools.runs import (
        GenomeIdError,
        RunLockedError,
        WorkerLostError,
        run_genomes,
    )
    from velko_tools.runs.options import _OptionError

    cutoff = _cutoff(args)
    paths = _expanded(args.files, "run", "genome files")
    client = None
    if args.scheduler is not None:
        try:
            from distributed import Client
        except ImportError:
            raise UsageError('--scheduler needs Dask: pip install "dask[distributed]"') from None
        client = Client(args.scheduler)
    try:
        with _invalid_base_hint("without --strict, the windows that hold it are skipped"):
            summary = run_genomes(
                paths,
                args.output,
                k=args.k,
                strands=args.strands,
                invalid="error" if args.strict else "skip",
                per_record=args.per_record,
                layout=args.layout,
                hmm_file=args.hmm,
                cutoff=cutoff[0] if cutoff else None,
                genome_id=args.genome_id,
                batch_size=args.batch_size,
                workers=args.workers,
                stop_codon=args.stop_codon,
                client=client,
                resume=args.resume,
                verify_inputs=args.verify_inputs,
                on_error="raise" if args.fail_fast else "collect",
                progress=args.progress,
            )
    except (WorkerLostError, RunLockedError) as error:
        print(f"velko: error: {error}", file=sys.stderr)
        raise SystemExit(1) from None
    except ImportError as error:
        # An optional extra the options need (--hmm) is not installed.
        raise UsageError(str(error)) from None
    except GenomeIdError as error:
        raise UsageError(error.message("--genome-id stem")) from None
    except _OptionError as error:
        raise UsageError(str(error)) from None
    except ValueError as error:
        # A genome's own failure under --fail-fast, whatever its class: its input is at fault,
        # not the command line.
        if isinstance(error, VelkoError):
            raise
        raise VelkoError(str(error)) from None
    finally:
        if client is not None:
            client.close()
    if summary.errors:
        _report_failures(summary.out)
    print(f"velko run: {summary}", file=sys.stderr)
    if summary.errors:
        # As a shell or a workflow manager sees it: some genomes are in errors/, not profiles/,
        # whether this call or an earlier one of the same run counted them.
        raise SystemExit(1)


# The failed genomes a run names on standard error; `velko errors` lists them all.
_FAILURES_SHOWN = 5


def _report_failures(out: str) -> None:
    """The first failed genomes of the run (genome, path, error) and the command that lists
    them all, on standard error."""
    import shlex

    from velko_tools.runs import open_run

    rows = open_run(out).table("errors").to_pylist()
    for row in rows[:_FAILURES_SHOWN]:
        print(
            f"velko run: failed: {row['genome']} ({row['path']}): {row['error']}: {row['message']}",
            file=sys.stderr,
        )
    more = f" ({len(rows) - _FAILURES_SHOWN} more)" if len(rows) > _FAILURES_SHOWN else ""
    print(
        f"velko run: {len(rows)} genomes of the run failed{more}; all of them: velko errors "
        f"{shlex.quote(out)}",
        file=sys.stderr,
    )


def _tsv_text(value: object) -> str:
    """A field of `velko errors`: a message may hold tabs or line breaks, which are escaped
    as \\t, \\n and \\r (a backslash as \\\\), so that every row is one line."""
    if value is None:
        return ""
    return (
        str(value)
        .replace("\\", "\\\\")
        .replace("\t", "\\t")
        .replace("\n", "\\n")
        .replace("\r", "\\r")
    )


def _errors(args: argparse.Namespace) -> None:
    from velko_tools._args import require
    from velko_tools.runs import open_run

    try:
        require(("pyarrow", "pyarrow.parquet"), "reading a run", "pip install pyarrow")
    except ImportError as error:
        raise UsageError(str(error)) from None
    table = open_run(args.directory).table("errors")
    with _standard_output() as out:
        lines = ["\t".join(table.column_names)]
        lines += [
            "\t".join(_tsv_text(value) for value in row.values()) for row in table.to_pylist()
        ]
        out.buffer.write(("\n".join(lines) + "\n").encode("utf-8", "surrogateescape"))


def _check(args: argparse.Namespace) -> None:
    from velko_tools.runs import check_run

    report = check_run(args.directory)
    with _standard_output() as out:
        for path, problem in report.problems:
            out.write(f"{path}: {problem}\n")
        state = "ok" if report.ok else f"{len(report.problems)} problems"
        out.write(
            f"{report.out}: {report.parts} parts, {report.genomes} genomes "
            f"({report.failed} failed): {state}\n"
        )
    if not report.ok:
        print(
            f"velko: error: the run in {report.out} is damaged: running it again (velko run "
            f"... -o {report.out}) repairs it",
            file=sys.stderr,
        )
        raise SystemExit(1)


COMMANDS: list[Command] = [
    Command(
        "kmers",
        "k-mer counts of FASTA files (plain or gzip) as a table",
        [
            _files("FILE", "FASTA files, plain or gzip-compressed; '-' for standard input"),
            _k(MAX_SPARSE_K, 4, "k-mer length (default: 4)"),
            _strands("forward"),
            _flag(
                "--skip-invalid",
                "leave out windows holding a letter other than A, C, G, T instead of failing",
            ),
            _flag(
                "--per-file",
                "one row per file (the sum of its records) instead of one per record",
            ),
            _flag("--total", "one row over every record of every file"),
            _cores("--threads", "files counted in parallel"),
            _layout(
                "a column per k-mer, only the k-mers seen, or dense while it fits in a "
                "small share of memory (default: auto)"
            ),
            _bound(
                "--min-count",
                "leave out k-mers seen fewer than N times in their row (default: 1)",
                _int_in(1, MAX_COUNT),
                default=1,
                metavar="N",
            ),
            _bound(
                "--window",
                "a row per window of W bases along each record (columns start and end "
                "place it) instead of one per record",
                _int_in(1, MAX_COUNT),
                metavar="W",
            ),
            _bound(
                "--step",
                "windows start every S bases (default: W, side by side)",
                _int_in(1, MAX_COUNT),
                metavar="S",
            ),
            _flag(
                "--histo",
                "print the k-mer spectrum instead: COUNT KMERS, how many distinct k-mers "
                "occur COUNT times",
            ),
            _flag(
                "--frequencies",
                "each row divided by its number of windows",
            ),
            _output(
                "output file, its format by suffix: .tsv, .tsv.gz, .csv, .npz, .parquet, "
                "or .txt for the KMER<TAB>COUNT dump of one row; '-' for standard output "
                "(default: TSV to standard output)"
            ),
            _choice(
                "--format",
                get_args(OutputFormat),
                None,
                "the output format, whatever the suffix",
            ),
            _flag(
                "--kmer-column",
                "sparse counts to .parquet: a column of k-mer letters beside the codes",
            ),
            arg(
                "--compress-level",
                type=_int_in(1, 9),
                default=DEFAULT_COMPRESS_LEVEL,
                metavar="N",
                help="gzip level for tsv.gz, 1 (fast) to 9 (small) (default: "
                f"{DEFAULT_COMPRESS_LEVEL})",
            ),
            _PROGRESS,
        ],
        _kmers,
    ),
    Command(
        "sketch",
        "FracMinHash sketches of FASTA files, hash for hash sourmash's",
        [
            _files(
                "FILE|DIR|@LIST",
                "FASTA files (plain or gzip), directories of them, or @LIST, a file of "
                "paths; '-' for standard input",
            ),
            _k(MAX_SKETCH_K, 31, "k-mer size (default: 31)"),
            _bound(
                "--scaled",
                "keep about one hash in N (default: 1000)",
                _int_in(1, MAX_SCALED),
                default=1000,
                metavar="N",
            ),
            _bound(
                "--seed",
                "MurmurHash seed (default: 42)",
                _int_in(0, MAX_HASH),
                default=42,
                metavar="N",
            ),
            _flag(
                "--per-record",
                "a sketch per record, named by its id (default: one per file)",
            ),
            _flag("--abundance", "also count each kept hash"),
            _cores("--threads", "files sketched in parallel"),
            _output(
                "output file, its format by suffix: .sig or .sig.gz (sourmash's "
                "signatures), .parquet or .npz",
                required=True,
            ),
            _PROGRESS,
        ],
        _sketch,
    ),
    Command(
        "compare",
        "the pairs of sketches that share hashes: Jaccard, containment and ANI, as sourmash "
        "computes them",
        [
            arg(
                "sketches",
                metavar="SKETCHES",
                type=_sketch_file,
                help="sketches of velko sketch or sourmash: .sig, .sig.gz, .zip, .parquet, .npz",
            ),
            arg(
                "against",
                metavar="SKETCHES",
                nargs="?",
                type=_sketch_file,
                default=None,
                help="sketches to compare the first ones with (default: the first ones with "
                "each other, each pair once)",
            ),
            _k(
                MAX_SKETCH_K,
                None,
                "the k to read from files of several (default: the one there is)",
            ),
            _bound(
                "--threshold",
                "leave out pairs whose metric is below X (default: 0, every pair that "
                "shares a hash)",
                _fraction,
                default=0.0,
            ),
            _choice(
                "--metric",
                get_args(Metric),
                "max_containment",
                "what --threshold applies to (default: max_containment)",
            ),
            _cores("--threads", "threads"),
            _output(
                "pairs as .parquet or .tsv, or '-' for TSV on standard output (default)",
                default="-",
            ),
        ],
        _compare,
    ),
    Command(
        "tophits",
        "the best hit per gene and profile of HMMER tables, as velko's top-hit file or a TSV",
        [
            _files(
                "FILE",
                "tables written by hmmsearch or hmmscan with --tblout or --domtblout; '-' "
                "for standard input",
            ),
            _choice(
                "--format",
                get_args(Format),
                "tblout",
                "per-sequence (--tblout) or per-domain (--domtblout) table (default: tblout)",
            ),
            _choice(
                "--program",
                get_args(Program),
                None,
                "the program that wrote the tables (default: each file's '# Program:' line)",
            ),
            _choice(
                "--score",
                get_args(Score),
                "sequence",
                "the full sequence's E-value and score, or the domain's independent ones "
                "(domtblout only; default: sequence)",
            ),
            _choice(
                "--hmm",
                get_args(ProfileKey),
                "name",
                "name profiles by name, by accession, or by accession where they have "
                "one (default: name)",
            ),
            arg(
                "--cut-ga",
                metavar="HMMFILE",
                default=None,
                help="keep what hmmsearch --cut_ga reports: the GA lines of the profiles in "
                "HMMFILE (HMMER 3 text, plain or gzip)",
            ),
            arg(
                "--cut-tc",
                metavar="HMMFILE",
                default=None,
                help="as --cut-ga, with the trusted cutoffs (TC)",
            ),
            arg(
                "--cut-nc",
                metavar="HMMFILE",
                default=None,
                help="as --cut-ga, with the noise cutoffs (NC)",
            ),
            _choice(
                "--missing-cutoff",
                get_args(MissingCutoff),
                "error",
                "a profile without the cutoff line: fail, keep its hits unfiltered, or "
                "drop them (default: error)",
            ),
            _bound("-E", "keep sequences with an E-value of at most X"),
            _bound("-T", "keep sequences with a bit score of at least X"),
            _bound("--domE", "keep domains with an independent E-value of at most X (domtblout)"),
            _bound("--domT", "keep domains with a bit score of at least X (domtblout)"),
            _bound(
                "--min-hmm-coverage",
                "keep a gene and profile when its kept domains cover this share (0..1) "
                "of the profile (domtblout)",
                default=0.0,
                metavar="F",
            ),
            _bound(
                "--min-gene-coverage",
                "as --min-hmm-coverage, over the gene's length",
                default=0.0,
                metavar="F",
            ),
            _choice(
                "--columns",
                get_args(Columns),
                "hits",
                "the four hit columns, or all the table's columns (only for .parquet and "
                ".arrow output; default: hits)",
            ),
            _flag("--top", "keep each gene's top hit only"),
            _output(
                "write velko's top-hit file to OUT, or all columns to OUT.parquet or "
                "OUT.arrow (default: a TSV gene_id, hmm_id, e_value, bit_score to "
                "standard output)"
            ),
        ],
        _tophits,
    ),
    Command(
        "run",
        "k-mer profiles, statistics and (with --hmm) profile hits of many genomes into a "
        "resumable run directory of Parquet parts",
        [
            _files(
                "FILE",
                "FASTA files (plain or gzip), directories searched for them, or @LIST: a "
                "text file naming one per line",
            ),
            _output("the run directory", required=True),
            _k(None, 4, "k-mer length (default: 4)"),
            _strands("canonical"),
            _flag(
                "--strict",
                "a letter other than A, C, G, T fails its genome instead of being skipped",
            ),
            _flag(
                "--per-record",
                "one profile per record instead of one per genome",
            ),
            _layout(
                "profiles of 4^k counts (k up to 12), of the k-mers seen (k up to 32), or "
                "dense while a row's k-mer columns are no more than the median input's "
                "bytes (and k up to 12), chosen once for the run (default: auto)"
            ),
            _choice(
                "--genome-id",
                _choices("GenomeId"),
                "accession",
                "genome ids: the assembly accession a file name starts with made "
                "canonical (other names: their stem), or every name's stem (default: "
                "accession)",
            ),
            arg(
                "--hmm",
                metavar="FILE",
                default=None,
                help="HMMER 3 profiles to search each genome's genes with (pyrodigal and "
                "pyhmmer: pip install pyrodigal pyhmmer)",
            ),
            _flag(
                "--cut-ga",
                "with --hmm: search with the profiles' gathering cutoffs, as hmmsearch --cut_ga",
            ),
            _flag("--cut-tc", "as --cut-ga, with the trusted cutoffs"),
            _flag("--cut-nc", "as --cut-ga, with the noise cutoffs"),
            _flag(
                "--stop-codon",
                "with --hmm: end each protein with '*' for its stop codon, as prodigal -a "
                "writes them, so that scores match prodigal -a and hmmsearch",
            ),
            _cores("--workers", "local worker processes"),
            arg(
                "--scheduler",
                metavar="ADDRESS",
                default=None,
                help="a Dask scheduler (tcp://HOST:8786) whose workers run the batches",
            ),
            _bound(
                "--batch-size",
                "genomes per batch and part (default: about four batches per worker)",
                _int_in(1, None),
                metavar="N",
            ),
            arg(
                "--no-resume",
                dest="resume",
                action="store_false",
                help="clear OUT's run instead of resuming it",
            ),
            _choice(
                "--verify-inputs",
                _choices("VerifyInputs"),
                "stat",
                "how a resume tells an input unchanged: by its size and times, or also "
                "by its SHA-256 (default: stat)",
            ),
            _flag(
                "--fail-fast",
                "stop at the first genome that fails, with its error",
            ),
            _PROGRESS,
        ],
        _run,
    ),
    Command(
        "check",
        "check a run directory's parts against its manifest without changing anything",
        [arg("directory", metavar="RUN", help="the run directory (velko run -o RUN)")],
        _check,
    ),
    Command(
        "errors",
        "the genomes of a run directory that failed, as a TSV on standard output: genome, "
        "path, error, message, line, column",
        [arg("directory", metavar="RUN", help="the run directory (velko run -o)")],
        _errors,
    ),
    Command(
        "gid",
        "canonical genome accessions, one per line",
        [
            arg(
                "accessions",
                metavar="ACCESSION",
                nargs="*",
                help="accessions (default: one per line from standard input)",
            )
        ],
        _gid,
    ),
]


def build_parser() -> argparse.ArgumentParser:
    from velko_tools import __version__

    parser = argparse.ArgumentParser(
        prog="velko", description="Genome primitives from the command line."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = subparsers.add_parser(command.name, help=command.help, description=command.help)
        for argument in command.arguments:
            sub.add_argument(*argument.flags, **argument.options)
        sub.set_defaults(run=command.run)
    return parser


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{os.fsdecode(error.filename)}: {error.strerror}"
    return str(error)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the velko command with `argv` (default: sys.argv[1:]); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if on_main_thread else None
    try:
        args.run(args)
    except UsageError as error:
        parser.error(str(error))
    except (VelkoError, OSError, EOFError, MemoryError) as error:
        if isinstance(error, BrokenPipeError):
            # The reader went away (velko kmers ... | head): not an error of ours.
            _silence_stdout()
            return 0
        _settle_stdout()
        _report(error)
        return 1
    except KeyboardInterrupt:
        _settle_stdout()
        return 130
    except _Terminated:
        _settle_stdout()
        return 128 + signal.SIGTERM
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


def _report(error: BaseException) -> None:
    if isinstance(error, MemoryError):
        # Refusals carry the memory needed; a bare MemoryError from an allocation does not.
        message = str(error) or "out of memory"
    else:
        message = _describe(error)
    with contextlib.suppress(OSError, ValueError, AttributeError):
        print(f"velko: error: {message}", file=sys.stderr)


def _settle_stdout() -> None:
    """Delivers the results written before a failure, or drops them if they cannot go."""
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        _silence_stdout()


def _silence_stdout() -> None:
    # Python flushes stdout at exit, which would fail again on a closed pipe or a full device
    # and print a traceback: what is still buffered is dropped, and descriptor 1 is pointed
    # at /dev/null. A standard output that never existed needs nothing.
    if sys.stdout is None:
        return
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


__all__ = ["COMMANDS", "Command", "UsageError", "arg", "build_parser", "main"]
