# The package itself holds only the submodules, under their dotted names.
from typing import Final

__all__: Final[list[str]]
