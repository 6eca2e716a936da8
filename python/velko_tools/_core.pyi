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
    k: int,
    strands: str,
    skip_invalid: bool,
    per_file: bool,
    threads: int,
    progress: Callable[[int], object] | None,
) -> tuple[
    list[str],
    npt.NDArray[np.uint64],
    list[str],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
]: ...

def count_sparse(
    files: list[bytes],
    k: int,
    strands: str,
    skip_invalid: bool,
    per_file: bool,
    min_count: int,
    memory: int,
    tmpdir: bytes,
    threads: int,
    progress: Callable[[int], object] | None,
) -> tuple[
    list[str],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint32] | npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
]: ...

class TopHits:
    def __len__(self) -> int: ...
    def gene_count(self) -> int: ...
    def profile_count(self) -> int: ...
    def columns(
        self,
    ) -> tuple[list[str], list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def top_hits(self) -> TopHits: ...
    def tsv_lines(self) -> bytes: ...
    def write(self, path: bytes) -> None: ...
    def fill_tophit_file(self, obj: object) -> None: ...

def read_hmmer(paths: list[bytes], format: str, program: str, score: str, hmm: str) -> TopHits: ...
def read_tophits(path: bytes) -> TopHits: ...
def tophits_from_columns(
    gene_ids: list[str],
    hmm_ids: list[str],
    e_values: npt.NDArray[np.float64],
    bit_scores: npt.NDArray[np.float64],
) -> TopHits: ...
def tophits_from_tophit_file(obj: object) -> TopHits: ...
