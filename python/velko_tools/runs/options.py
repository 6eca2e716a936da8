"""What a run is asked for: the options every genome is counted with (run.json keeps them),
and their checks before any work."""

from __future__ import annotations

import dataclasses
from typing import Any, Literal

from velko_tools._args import Invalid, Layout, Strands, check_choice
from velko_tools.kmers import MAX_SPARSE_K
from velko_tools.layout import MAX_DENSE_K
from velko_tools.runs.inputs import GenomeId

OnError = Literal["collect", "raise"]


VerifyInputs = Literal["stat", "checksum"]


@dataclasses.dataclass(frozen=True)
class _Options:
    """The options every genome of a run is counted with; run.json keeps them."""

    k: int
    strands: Strands
    invalid: Invalid
    per_record: bool
    genome_id: str
    layout: Layout
    # The search: the profile file (absolute) as it was when the run started, and the cutoff.
    hmm_file: str | None = None
    hmm_size: int | None = None
    hmm_mtime_ns: int | None = None
    cutoff: str | None = None
    # Proteins end with "*" where their gene has a stop codon, as Prodigal writes them.
    stop_codon: bool = False
    # The sketches: their k, scaled and seed, or None for a run without sketches/.
    sketch_k: int | None = None
    sketch_scaled: int | None = None
    sketch_seed: int | None = None

    def differences(self, stored: dict[str, Any]) -> str:
        """The options that differ from `stored` (run.json's), as "k=4, not k=5"."""
        asked = dataclasses.asdict(self)
        return "; ".join(
            f"{key}={stored.get(key)!r}, not {key}={value!r}"
            for key, value in asked.items()
            if stored.get(key) != value
        )


_OPTION_DEFAULTS = {
    field.name: field.default
    for field in dataclasses.fields(_Options)
    if field.default is not dataclasses.MISSING
}


class _OptionError(ValueError):
    """Arguments of a run that do not fit together, or with the run already in its directory:
    found before any genome is read (the command line reports them as usage errors)."""


def _check_options(
    k: int,
    strands: str,
    invalid: str,
    layout: str,
    genome_id: str,
    on_error: str,
    batch_size: int | None,
    workers: int | None,
) -> None:
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= MAX_SPARSE_K:
        raise ValueError(f"k must be between 1 and {MAX_SPARSE_K}, not {k}")
    check_choice("strands", strands, Strands)
    check_choice("invalid", invalid, Invalid)
    check_choice("layout", layout, Layout)
    check_choice("genome_id", genome_id, GenomeId)
    check_choice("on_error", on_error, OnError)
    if layout == "dense" and k > MAX_DENSE_K:
        raise ValueError(
            f"a run stores dense profiles (4^k counts a genome) for k up to "
            f"{MAX_DENSE_K}, not {k}: use layout='sparse' or 'auto'"
        )
    for name, count in (("batch_size", batch_size), ("workers", workers)):
        if count is not None and (
            isinstance(count, bool) or not isinstance(count, int) or count < 1
        ):
            raise ValueError(f"{name} must be a positive int or None, not {count!r}")
