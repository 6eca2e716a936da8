"""K-mer profiles of real genomes, for pipelines and the command line.

velko_tools is the Pythonic companion of velko, on the same native core: keyword arguments
with defaults, path objects, ordinary exceptions, NumPy arrays and a ``velko`` command.
"""

from __future__ import annotations

import importlib.metadata
import pkgutil

# A build tree keeps the native module apart from these sources; an installed package has both
# in one directory, and then this finds nothing more.
__path__ = pkgutil.extend_path(__path__, __name__)

from velko_tools import _core  # noqa: E402
from velko_tools.composition import TetraTable, tetra_zscores  # noqa: E402
from velko_tools.counting import count_kmers  # noqa: E402
from velko_tools.errors import (  # noqa: E402  # noqa: E402
    DamagedRunError,
    FastaFormatError,
    HmmerFormatError,
    InvalidBaseError,
    TableFormatError,
    TopHitFormatError,  # noqa: E402
    VelkoError,
)
from velko_tools.hits import HitTable, read_hmmer  # noqa: E402
from velko_tools.kmers import KmerTable  # noqa: E402
from velko_tools.runs import Run, RunSummary, WorkerLostError, open_run, run_genomes  # noqa: E402
from velko_tools.sequences import reverse_complement  # noqa: E402
from velko_tools.sketches import SketchTable, sketch  # noqa: E402
from velko_tools.sparse import KmerSpectrum, SparseKmerTable  # noqa: E402

#: The library that reads gzip input and writes .tsv.gz in this build: "isal" (ISA-L, the
#: faster) or "zlib".
GZIP_BACKEND: str = _core.GZIP_BACKEND

try:
    __version__ = importlib.metadata.version("velko")
except importlib.metadata.PackageNotFoundError:  # run from a source tree, not installed
    __version__ = "0+unknown"

__all__ = [
    "DamagedRunError",
    "FastaFormatError",
    "GZIP_BACKEND",
    "HitTable",
    "HmmerFormatError",
    "InvalidBaseError",
    "KmerSpectrum",
    "KmerTable",
    "Run",
    "RunSummary",
    "SketchTable",
    "SparseKmerTable",
    "TableFormatError",
    "TetraTable",
    "TopHitFormatError",
    "VelkoError",
    "WorkerLostError",
    "__version__",
    "count_kmers",
    "open_run",
    "read_hmmer",
    "reverse_complement",
    "run_genomes",
    "sketch",
    "tetra_zscores",
]
