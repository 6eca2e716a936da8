from collections.abc import Callable

import numpy as np
import numpy.typing as npt

def reverse_complement(seq: str) -> str: ...
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
    list[str],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.uint64],
]: ...
