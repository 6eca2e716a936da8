"""Dense or sparse: the bounds of each layout and the rules by which ``layout="auto"`` chooses,
for one call of count_kmers and for a run of many genomes."""

from __future__ import annotations

from collections.abc import Iterable

import velko_tools._core as _core
from velko_tools._args import Layout, Strands

# A dense row holds 4^k counts of 8 bytes: past 4^12 (128 MiB a row) it is the wrong shape, for a
# run of many genomes as for to_dense().
MAX_DENSE_K = 12


def dense_columns(k: int, strands: Strands) -> int:
    """The columns of a dense table: 4^k, or the canonical k-mers among them (half of 4^k, and
    for even k half of the 4^(k/2) k-mers that are their own reverse complement on top)."""
    if strands != "canonical":
        return int(4**k)
    return int(4**k // 2 if k % 2 else (4**k + 4 ** (k // 2)) // 2)


def available_memory() -> int:
    """The bytes this process may still take, as the core's memory account sees them: the
    least of what the system has available (page cache counted as free), the cgroups' limits
    and the address-space limits."""
    return min(_core.memory_headroom(), 1 << 62)


def dense_share() -> int:
    """The bytes a dense table may take under ``layout="auto"``: 1/16 of the memory available
    now."""
    return available_memory() // 16


def dense_fits(k: int, strands: Strands, rows: int) -> bool:
    """The rule of count_kmers(layout="auto"): dense while its table (8 bytes a column a row)
    takes at most dense_share(), and k is no more than MAX_DENSE_K."""
    if k > MAX_DENSE_K:
        return False
    return bool(dense_columns(k, strands) * 8 * max(rows, 1) <= dense_share())


def run_layout(k: int, strands: Strands, sizes: Iterable[int | None]) -> Layout:
    """The rule of run_genomes(layout="auto"), chosen once for the run whatever memory is free
    then: dense while a genome's row can be mostly counts, that is while the row's k-mer columns
    are no more than the median input's size in bytes (a genome of L letters fills at most L of
    them), and never above MAX_DENSE_K; sparse otherwise. A compressed file counts as its size on
    disk, which leans to sparse."""
    if k > MAX_DENSE_K:
        return "sparse"
    known = sorted(size for size in sizes if size)
    if not known:
        return "dense"
    return "dense" if dense_columns(k, strands) <= known[len(known) // 2] else "sparse"
