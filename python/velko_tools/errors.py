"""The exceptions of velko_tools: ordinary exceptions that name the file and the place."""

from __future__ import annotations


class VelkoError(Exception):
    """Base of every error velko_tools raises about the content of its inputs."""


class _ContentError(VelkoError, ValueError):
    """An input whose content does not serve, without a line to point at (a profile file that
    holds no profile, a list of inputs that is not text): the message names the file."""


class _LineError(VelkoError, ValueError):
    """A line of a file that breaks its format: ``path`` as given, the 1-based ``line``."""

    def __init__(self, path: str, line: int, reason: str) -> None:
        super().__init__(f"{path}:{line}: {reason}")
        self.path = path
        self.line = line
        self.reason = reason

    def __reduce__(self) -> tuple[type[_LineError], tuple[str, int, str]]:
        return type(self), (self.path, self.line, self.reason)


class FastaFormatError(_LineError):
    """A file that is not FASTA: a first line not starting with '>', or text that is not UTF-8.

    ``path`` is the file as given and ``line`` the 1-based line at fault.
    """


class InvalidBaseError(VelkoError, ValueError):
    """A byte that is not a base (A, C, G or T in either case) where a k-mer was to be counted.

    ``path`` is the file as given, ``record`` the record's id, ``line`` the 1-based line in the
    file, ``column`` the 1-based byte column in that line and ``char`` the character found.
    """

    def __init__(self, path: str, record: str, line: int, column: int, char: str) -> None:
        super().__init__(f"{path}:{line}:{column}: invalid base {char!r} in record {record!r}")
        self.path = path
        self.record = record
        self.line = line
        self.column = column
        self.char = char

    def __reduce__(
        self,
    ) -> tuple[type[InvalidBaseError], tuple[str, str, int, int, str]]:
        return type(self), (self.path, self.record, self.line, self.column, self.char)


class HmmerFormatError(VelkoError, ValueError):
    """A HMMER table that does not read as the format asked for.

    ``path`` is the file as given, ``line`` the 1-based line at fault and ``column`` the
    1-based column (field) of that line that failed, or None when the whole line is at fault.
    Raised for a row with too few columns, a number that does not parse, a row or column
    headings of the other table format, a missing accession asked for, a program that is
    not hmmsearch or hmmscan (or is not named when it must be), a profile file that does not
    read, or a profile without the cutoff line asked for (docs/hmmer.md).
    """

    def __init__(self, path: str, line: int, column: int | None, reason: str) -> None:
        where = f"{path}:{line}" if column is None else f"{path}:{line}:{column}"
        super().__init__(f"{where}: {reason}")
        self.path = path
        self.line = line
        self.column = column
        self.reason = reason

    def __reduce__(
        self,
    ) -> tuple[type[HmmerFormatError], tuple[str, int, int | None, str]]:
        return type(self), (self.path, self.line, self.column, self.reason)


class TopHitFormatError(_LineError):
    """A line of a velko top-hit file that does not read.

    ``path`` is the file as given and ``line`` the 1-based line at fault.
    """


class TableFormatError(_LineError):
    """A k-mer table file (TSV, CSV or a ``KMER<TAB>COUNT`` dump) that does not read back: a
    header or a row cut short, a cell that is not a number, a line that is not a k-mer and its
    count.

    ``path`` is the file as given and ``line`` the 1-based line at fault.
    """


class DamagedRunError(VelkoError):
    """A run directory whose files disagree with its manifest: a part missing, cut short or
    changed since it was written, a manifest entry or run.json that does not read, a genome
    in two parts.

    ``out`` is the run directory, ``path`` the first file at fault and ``problems`` every
    problem found, each naming its file. Running the same run again (``velko run`` or
    run_genomes with the same inputs and options) drops what is damaged and counts it again.
    """

    def __init__(self, out: str, problems: list[tuple[str, str]]) -> None:
        first, reason = problems[0]
        more = (
            f" (and {len(problems) - 1} more problems: velko check {out} lists them)"
            if len(problems) > 1
            else ""
        )
        super().__init__(
            f"{first}: {reason}{more}: the run in {out} is damaged; running it "
            f"again (velko run ... -o {out}, or run_genomes with the same inputs "
            "and options) repairs it"
        )
        self.out = out
        self.path = first
        self.problems = list(problems)

    def __reduce__(self) -> tuple[type[DamagedRunError], tuple[str, list[tuple[str, str]]]]:
        return type(self), (self.out, self.problems)


class UsageError(Exception):
    """A command-line request that parsed but cannot be served (an output format without its
    package); the `velko` command reports it as a usage error."""
