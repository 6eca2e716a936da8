from collections.abc import Callable

import numpy as np
import numpy.typing as npt

GZIP_BACKEND: str

def reverse_complement(seq: str, *, rna: bool = False) -> str: ...
def format_rows(
    prefixes: list[str],
    values: npt.NDArray[np.uint64] | npt.NDArray[np.float64],
    start: int,
) -> bytes: ...
def count_table(
    files: list[bytes],
    names: list[str],
    k: int,
    strands: str,
    skip_invalid: bool,
    per_file: bool,
    threads: int,
    progress: Callable[[int], object] | None,
) -> tuple[
    list[str],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
]: ...
def canonical_kmers(k: int) -> npt.NDArray[np.uint64]: ...

class TopHits:
    def __len__(self) -> int: ...
    def gene_count(self) -> int: ...
    def profile_count(self) -> int: ...
    def columns(
        self,
    ) -> tuple[list[str], list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def top_hits(self) -> TopHits: ...
    def tsv_lines(self) -> bytes: ...
    def write(self, path: bytes, name: str) -> None: ...
    def fill_tophit_file(self, obj: object, tophit_type: type) -> None: ...

def read_hmmer(
    paths: list[bytes], names: list[str], format: str, program: str, score: str, hmm: str
) -> TopHits: ...
def read_tophits(path: bytes, name: str) -> TopHits: ...
def tophits_from_columns(
    gene_ids: list[str],
    hmm_ids: list[str],
    e_values: npt.NDArray[np.float64],
    bit_scores: npt.NDArray[np.float64],
) -> TopHits: ...
def tophits_from_tophit_file(obj: object, tophit_type: type) -> TopHits: ...
