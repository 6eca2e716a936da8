"""Argument checks the public functions share: paths as the system takes them, and choices."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Union, get_args

StrPath = Union[str, "os.PathLike[str]"]


def as_paths(paths: StrPath | Iterable[StrPath]) -> list[StrPath]:
    """One path, or an iterable of paths, as a list (a str is one path, not its letters)."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [paths]
    return list(paths)


def path_parts(path: StrPath) -> tuple[bytes, str]:
    """The path as the system takes it, and as messages and exceptions name it."""
    name = os.fsdecode(path)
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in path {name!r}")
    return encoded, name


def check_choice(name: str, value: object, choices: Any) -> None:
    """Refuses a value that is not one of the strings of the Literal type `choices`."""
    allowed: tuple[str, ...] = get_args(choices)
    if not isinstance(value, str) or value not in allowed:
        listed = ", ".join(repr(choice) for choice in allowed[:-1]) + f" or {allowed[-1]!r}"
        raise ValueError(f"{name} must be {listed}, not {value!r}")
