"""
Native functions of velko_tools; use them through the velko_tools package.
"""

from collections.abc import Callable, Sequence
import enum
from typing import Annotated, Any, overload

import numpy
import numpy.typing
from numpy.typing import NDArray


class FastaRecords:
    """
    The records of a FASTA file (plain or gzip) as (id, sequence)
    pairs, read as every read of velko_tools reads them: the same
    rules and errors, one record kept at a time.
    """

    def __init__(self, path: bytes, name: str) -> None: ...

    def __iter__(self) -> FastaRecords: ...

    def __next__(self) -> tuple[str, bytes]: ...

def reverse_complement(seq: str, *, rna: bool = False) -> str:
    """
    The reverse complement of a DNA or RNA sequence over the IUPAC codes.

    A C G T U R Y S W K M B D H V N map to their complements in either case (the case
    is kept; U pairs with A, and A pairs with T, or with U when rna is true), and '-'
    and '.' stay as they are:
    reverse_complement('ACGTacgtNNRY') == 'RYNNacgtACGT'. Any other character raises
    ValueError naming it and its position.
    """

MAX_K: int = 31

MAX_SPARSE_K: int = 32

def memory_headroom() -> int:
    """
    The bytes the process may still take: the least of the memory available, the
    cgroups' limits and the address-space limits, less what is in use.
    """

def count_table(files: list[tuple[bytes, str]], k: int, strands: str, skip_invalid: bool, per_file: bool, total: bool, tally: bool, min_count: int, threads: int, progress: Callable[[int], object] | None, most_bytes: int = 0) -> tuple[list[str], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]] | None:
    """
    Counts the k-mers of FASTA files into (ids, file index per row, counts, windows,
    skipped, tallies); with `total` one row summing every file's, with `min_count`
    counts below it set to 0; with `tally`, each file's row of tallies holds its records,
    letters and A, C, G, T (either case), else zeros; velko_tools.count_kmers is the
    public face of this. With `most_bytes`, None once the rows would take more than
    that or than the memory left.
    """

def canonical_kmers(k: int) -> numpy.typing.NDArray[numpy.uint64]:
    """
    The index of each canonical k-mer of length k, in order: the columns of a canonical
    table.
    """

def count_sparse(files: list[tuple[bytes, str]], k: int, strands: str, skip_invalid: bool, per_file: bool, total: bool, tally: bool, min_count: int, memory: int, tmpdir: bytes, threads: int, progress: Callable[[int], object] | None) -> tuple[list[str], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint32] | numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]]:
    """
    Counts the k-mers of FASTA files into sparse rows (ids, file index per row, indptr,
    codes, counts, windows, skipped, tallies), with `total` one row summing every
    file's; tallies as count_table gives them;
    velko_tools.count_kmers(layout='sparse') is the public face of this.
    """

def sketch(files: list[tuple[bytes, str]], k: int, max_hash: int, seed: int, per_file: bool, abundance: bool, threads: int, progress: Callable[[int], object] | None) -> tuple[list[str], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64] | None]:
    """
    Sketches FASTA files into rows (ids, file index per row, indptr, hashes, counts or
    None); max_hash 0 keeps every hash. velko_tools.sketch is the public face of this.
    """

def compare_sketches(query_indptr: numpy.typing.NDArray[numpy.uint64], query_hashes: numpy.typing.NDArray[numpy.uint64], match_indptr: numpy.typing.NDArray[numpy.uint64], match_hashes: numpy.typing.NDArray[numpy.uint64], self: bool, metric: str, threshold: float, threads: int) -> tuple[numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]]:
    """
    The pairs of rows that share a hash and reach the threshold in the metric: query
    rows, match rows and hashes in common; SketchTable.compare is the public face.
    """

def murmur_hash(data: bytes, seed: int) -> int:
    """The first 64 bits of MurmurHash3_x64_128 of data with seed."""

class TopHits:
    """The native top-hit table behind velko_tools.HitTable; use that."""

    def __len__(self) -> int: ...

    def gene_count(self) -> int: ...

    def profile_count(self) -> int: ...

    def columns(self) -> tuple[list[str], list[str], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]: ...

    def top_hits(self) -> TopHits: ...

    def tsv_lines(self) -> bytes: ...

    def write(self, path: bytes) -> None: ...

    def fill_tophit_file(self, obj: object) -> None: ...

def read_hmmer(files: list[tuple[bytes, str]], format: str, program: str, score: str, hmm: str) -> TopHits:
    """Reads HMMER tables into a new TopHits; see velko_tools.read_hmmer."""

def read_tophits(path: bytes) -> TopHits:
    """
    Reads a velko top-hit file into a new TopHits; see velko_tools.HitTable.read.
    """

def tophits_from_columns(gene_ids: list[str], hmm_ids: list[str], e_values: numpy.typing.NDArray[numpy.float64], bit_scores: numpy.typing.NDArray[numpy.float64], merge: bool = False) -> TopHits:
    """
    A new TopHits offered the rows of four columns in order, by the rule of TopHitFile's add_hit, or with merge by the order of merging (NaN below every number).
    """

def tophits_from_tophit_file(obj: object) -> TopHits:
    """A new TopHits holding the hits of a velko TopHitFile."""

class ReplacingFile:
    """
    An output file replaced whole or not at all; see velko_tools.output.replacing.
    """

    def __init__(self, path: bytes, name: object) -> None: ...

    @property
    def written_path(self) -> bytes:
        """
        The file to write: a temporary beside the target, or the target itself when it is written in place (a FIFO, a device).
        """

    def commit(self) -> None:
        """
        Syncs the written file and renames it over the target; OSError naming the target.
        """

    def discard(self) -> None:
        """Removes the temporary; the target stays as it was."""

def remove_temporaries(path: bytes, own: bool) -> None:
    """
    Removes the temporaries beside `path` of writers that are gone, and with `own` this
    process's.
    """

class Cutoff(enum.Enum):
    """A profile's cutoff line: GA, TC or NC by its name."""

    gathering = 0

    trusted = 1

    noise = 2

class MissingCutoff(enum.Enum):
    """What a profile without the cutoff line asked for does."""

    error = 0

    keep = 1

    drop = 2

class Level(enum.Enum):
    """Which score of a row a threshold reads."""

    sequence = 0

    domain = 1

class FilterOptions:
    """The thresholds, cutoff and coverage a filter applies."""

    def __init__(self) -> None: ...

    @property
    def max_seq_e_value(self) -> float | None: ...

    @max_seq_e_value.setter
    def max_seq_e_value(self, arg: float | None, /) -> None: ...

    @property
    def min_seq_score(self) -> float | None: ...

    @min_seq_score.setter
    def min_seq_score(self, arg: float | None, /) -> None: ...

    @property
    def max_dom_e_value(self) -> float | None: ...

    @max_dom_e_value.setter
    def max_dom_e_value(self, arg: float | None, /) -> None: ...

    @property
    def min_dom_score(self) -> float | None: ...

    @min_dom_score.setter
    def min_dom_score(self, arg: float | None, /) -> None: ...

    @property
    def cutoff(self) -> Cutoff | None: ...

    @cutoff.setter
    def cutoff(self, arg: Cutoff | None, /) -> None: ...

    @property
    def missing_cutoff(self) -> MissingCutoff: ...

    @missing_cutoff.setter
    def missing_cutoff(self, arg: MissingCutoff, /) -> None: ...

    @property
    def min_hmm_coverage(self) -> float: ...

    @min_hmm_coverage.setter
    def min_hmm_coverage(self, arg: float, /) -> None: ...

    @property
    def min_gene_coverage(self) -> float: ...

    @min_gene_coverage.setter
    def min_gene_coverage(self, arg: float, /) -> None: ...

    @property
    def keep_rows(self) -> bool: ...

    @keep_rows.setter
    def keep_rows(self, arg: bool, /) -> None: ...

def check_cutoffs(hmm_path: bytes, cutoff: Cutoff) -> int:
    """
    The number of profiles of a HMMER 3 profile file, each with the cutoff's line; see velko_tools.annotate.check_cutoffs.
    """

def filter_hits(hmm_ids: list[str], e_values: numpy.typing.NDArray[numpy.float64], bit_scores: numpy.typing.NDArray[numpy.float64], level: Level, hmm_paths: list[bytes], options: FilterOptions) -> numpy.typing.NDArray[numpy.uint8]:
    """
    Which hits of a table pass thresholds and cutoffs, 1 for each that does; see velko_tools.HitTable.filter.
    """

def filter_rows(texts: list[list[str]], reals: list[numpy.typing.NDArray[numpy.float64]], wholes: list[numpy.typing.NDArray[numpy.int64]], has_domains: bool, score: str, hmm: str, hmm_paths: list[bytes], options: FilterOptions) -> tuple[TopHits, dict[str, Any] | None]:
    """
    Offers rows given as columns through thresholds, cutoffs and coverage to a new TopHits; see velko_tools.HitTable.from_pyhmmer.
    """

def read_hmmer_rows(files: list[tuple[bytes, str]], format: str, program: str, score: str, hmm: str, hmm_paths: list[bytes], options: FilterOptions) -> tuple[TopHits, dict[str, Any] | None]:
    """
    Reads HMMER tables through thresholds, cutoffs and coverage into a new TopHits and, when asked, the kept rows' other columns; see velko_tools.read_hmmer.
    """

@overload
def format_rows(prefixes: Sequence[str], values: Annotated[NDArray[numpy.uint64], dict(shape=(None, None), order='C', device='cpu', writable=False)], start: int) -> bytes: ...

@overload
def format_rows(prefixes: Sequence[str], values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu', writable=False)], start: int) -> bytes:
    """
    The lines of rows start .. start + len(prefixes) of a 2-D array: each prefix, then the
    row's values after tabs (counts in decimal, floats as repr() writes them), then a line
    feed, as UTF-8 bytes.
    """

@overload
def count_lines(k: int, codes: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], counts: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> bytes: ...

@overload
def count_lines(k: int, codes: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], counts: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> bytes:
    """
    One 'KMER<TAB>COUNT' line per code (its k letters, first letter from the highest
    bits) with the count at the same place, as UTF-8 bytes.
    """

def kmer_letters(k: int, codes: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> bytes:
    """
    The k letters of each code (first letter from the highest bits), one after another,
    as bytes.
    """

def gzip_member(text: bytes, level: int, deflater: str | None = None) -> bytes:
    """
    `text` as one gzip member at `level` (1 fastest to 9 smallest; ISA-L's 0 to 3 take
    1, 2-3, 4-6 and 7-9), by `deflater` ('isal', 'zlib'; None: the build's GZIP_BACKEND).
    Members written one after another read as one gzip stream. ValueError for a level
    out of range or a deflater not built in.
    """

GZIP_BACKEND: str
