from typing import Final

__all__: Final[list[str]]

def canonical_gid(gid: str) -> str: ...
