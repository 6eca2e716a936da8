from typing import Final

__all__: Final = ["canonical_gid"]

def canonical_gid(gid: str) -> str: ...
