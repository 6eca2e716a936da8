"""The exceptions of velko_tools: ordinary exceptions that name the file and the place."""

from __future__ import annotations


class VelkoError(Exception):
    """Base of every error velko_tools raises about the content of its inputs."""


class FastaFormatError(VelkoError, ValueError):
    """A file that is not FASTA: a first line not starting with '>', or text that is not UTF-8.

    ``path`` is the file as given and ``line`` the 1-based line at fault.
    """

    def __init__(self, path: str, line: int, reason: str) -> None:
        super().__init__(f"{path}:{line}: {reason}")
        self.path = path
        self.line = line
        self.reason = reason

    def __reduce__(self) -> tuple[type[FastaFormatError], tuple[str, int, str]]:
        return type(self), (self.path, self.line, self.reason)


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
