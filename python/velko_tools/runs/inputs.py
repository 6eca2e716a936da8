"""The inputs of a run: genome ids from file names, input lists and directory walks, and how
a file is told unchanged (its size and times, or its SHA-256)."""

from __future__ import annotations

import dataclasses
import hashlib
import os
import re
import stat
import warnings
from collections.abc import Iterable
from typing import Any, Literal, get_args

from velko_tools._args import StrPath, check_read_once, device_inode
from velko_tools.errors import _ContentError

GenomeId = Literal["accession", "stem"]


#: File name endings taken as FASTA when a directory is searched (each also with ``.gz``).
FASTA_SUFFIXES = (".fa", ".fna", ".fasta", ".fas", ".ffn", ".frn", ".faa", ".mfa")


@dataclasses.dataclass(frozen=True)
class _Input:
    path: str  # absolute
    genome: str
    size: int | None  # None: the file could not be looked at when the run was planned
    mtime_ns: int | None
    # The inode's change time, which no program sets back: an edit that keeps the size and
    # restores the modification time still changes it. None in entries of format 1.
    ctime_ns: int | None = None

    def entry(self) -> dict[str, Any]:
        return {
            "path": self.path,
            "genome": self.genome,
            "size": self.size,
            "mtime_ns": self.mtime_ns,
            "ctime_ns": self.ctime_ns,
        }

    def same_file(self, stored: _Input) -> bool:
        """True when `stored` (a manifest's) looks like this input as it is now: same path,
        genome id, size and times (the change time only where the entry records it)."""
        return (
            self.path == stored.path
            and self.genome == stored.genome
            and self.size == stored.size
            and self.mtime_ns == stored.mtime_ns
            and (stored.ctime_ns is None or self.ctime_ns == stored.ctime_ns)
        )


# A name that starts with an assembly accession, as canonical_gid reads one: an optional
# database prefix, the assembly prefix, its digits and version. Any other name is no accession,
# and cutting it at its first "_" would make "E.Coli_DH1" and "E.Faecalis_V583" one genome.
_ACCESSION = re.compile(r"(?:(?:RS|GB)_)?GC[AF]_[0-9]+(?:\.[0-9]+)?")


class GenomeIdError(ValueError):
    """Two input files that get the same genome id: ``paths`` (the first and the second) and
    ``genome``. ``message(option)`` says it with the option that gives other ids spelled as the
    caller knows it (the command line's ``--genome-id stem``)."""

    def __init__(self, first: str, second: str, genome: str, genome_id: str) -> None:
        self.paths = (first, second)
        self.genome = genome
        self.genome_id = genome_id
        super().__init__(self.message("genome_id='stem'"))

    def message(self, stem_option: str) -> str:
        first, second = self.paths
        remedy = "rename one" if self.genome_id == "stem" else f"rename one, or pass {stem_option}"
        return f"{first} and {second} both have genome id {self.genome!r}: {remedy}"

    def __reduce__(self) -> tuple[type[GenomeIdError], tuple[str, str, str, str]]:
        return type(self), (*self.paths, self.genome, self.genome_id)


def _stem(name: str) -> str:
    """The file name without its compression suffix and then its FASTA suffix (any last suffix
    when none of those): ``GCF_000005845.2.fna.gz`` gives ``GCF_000005845.2``."""
    for compressed in (".gz", ".bgz"):
        if name.endswith(compressed) and len(name) > len(compressed):
            name = name[: -len(compressed)]
            break
    for suffix in FASTA_SUFFIXES:
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    base, dot, _ = name.rpartition(".")
    return base if dot and base else name


def genome_id_of(path: StrPath, genome_id: GenomeId = "accession") -> str:
    """The genome id run_genomes gives a file.

    ``"stem"``: the file name without its suffixes (``.gz``, then a FASTA suffix such as
    ``.fna``). ``"accession"``: for a name that starts with an assembly accession (an optional
    ``RS_`` or ``GB_``, then ``GCA_`` or ``GCF_``, digits and a version), that accession made
    canonical by velko's ``canonical_gid``: ``GCF_000005845.2_ASM584v2_genomic.fna.gz`` gives
    ``G000005845``; any other name gets its stem (``E.Coli_DH1.fasta.gz`` gives
    ``E.Coli_DH1``).
    """
    stem = _stem(os.path.basename(os.fsdecode(path)))
    if genome_id == "stem":
        return stem
    if genome_id not in get_args(GenomeId):
        raise ValueError(f"genome_id must be 'accession' or 'stem', not {genome_id!r}")
    match = _ACCESSION.match(stem)
    if match is None:
        return stem
    import velko  # noqa: F401  (publishes velko.util.accession)
    from velko.util.accession import canonical_gid

    return canonical_gid(match.group(0))


def is_fasta_name(name: str) -> bool:
    """True for a file name ending in a FASTA suffix, plain or with ``.gz``."""
    return name.removesuffix(".gz").endswith(FASTA_SUFFIXES)


def expand_inputs(items: Iterable[StrPath]) -> list[str]:
    """The genome files a command line names: a path as it is, ``@LIST`` the paths of a text
    file (one a line; blank lines and lines starting with ``#`` left out, relative paths taken
    from the list's directory), a directory every FASTA file below it (by suffix, ``.gz``
    included; sorted, hidden entries left out). A directory gives regular files only (links to
    them included): a FIFO or a device with a FASTA name would hang the run or never end, so
    each is left out with a warning (warnings.warn) naming it. A list that is not UTF-8 text
    raises VelkoError (a ValueError) naming it."""
    paths: list[str] = []
    for item in items:
        text = os.fsdecode(item)
        if text.startswith("@") and len(text) > 1:
            listing = text[1:]
            base = os.path.dirname(listing)
            try:
                with open(listing, encoding="utf-8") as lines:
                    for line in lines:
                        entry = line.strip()
                        if entry and not entry.startswith("#"):
                            paths.append(os.path.join(base, entry))
            except UnicodeDecodeError as error:
                raise _ContentError(f"{listing}: not a list of paths: {error}") from None
        elif os.path.isdir(text):
            found = []
            for root, dirs, files in os.walk(text):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                found += [
                    os.path.join(root, f)
                    for f in files
                    if not f.startswith(".") and is_fasta_name(f)
                ]
            paths += [path for path in sorted(found) if _regular_or_warn(path)]
        else:
            paths.append(text)
    return paths


def _regular_or_warn(path: str) -> bool:
    """True for a regular file (or a link to one); otherwise warns that the walk left it out."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        warnings.warn(f"{path}: left out: {error.strerror}", stacklevel=3)
        return False
    if stat.S_ISREG(mode):
        return True
    kind = (
        "a FIFO"
        if stat.S_ISFIFO(mode)
        else "a device"
        if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
        else "a socket"
        if stat.S_ISSOCK(mode)
        else "not a file"
    )
    warnings.warn(f"{path}: left out: {kind}, not a regular file", stacklevel=3)
    return False


_DIGEST_CHUNK = 1 << 20


def _digest(path: str) -> tuple[int, str]:
    """The size and SHA-256 (hex) of the file at `path`, read in chunks."""
    sha = hashlib.sha256()
    size = 0
    buffer = bytearray(_DIGEST_CHUNK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as data:
        while count := data.readinto(buffer):
            sha.update(view[:count])
            size += count
    return size, sha.hexdigest()


def _input_digest(path: str) -> str | None:
    try:
        return _digest(path)[1]
    except OSError:
        return None  # an input that cannot be read is in errors/; it is never kept unread


def _stat(path: str) -> tuple[int | None, int | None]:
    return _identity(path)[:2]


def _identity(path: str) -> tuple[int | None, int | None, int | None]:
    """The size, modification time and change time of `path` (Nones when it cannot be looked
    at: the count reports why)."""
    try:
        status = os.stat(path)
    except OSError:
        return None, None, None
    return status.st_size, status.st_mtime_ns, status.st_ctime_ns


def _check_readable_by_workers(paths: list[StrPath]) -> None:
    """Refuses inputs a run cannot read: this process's standard input (``-``, or another name
    of it such as /dev/stdin), which its worker processes do not share and a resume could not
    read again, and one pipe or device named twice."""
    stdin = device_inode("-")
    names = []
    for path in paths:
        name = os.fsdecode(path)
        found = device_inode(name) if name != "-" else stdin
        if name == "-" or (found is not None and stdin is not None and found[:2] == stdin[:2]):
            raise ValueError(
                f"{name!r} is standard input, which a run cannot read: worker "
                "processes read its genomes, and a resume reads them again; save "
                "it to a file"
            )
        names.append(name)
    check_read_once(names)
