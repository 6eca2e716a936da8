"""Argument checks the public functions share: paths as the system takes them, and choices."""

from __future__ import annotations

import importlib
import os
import stat
from collections.abc import Callable, Iterable
from typing import Any, Literal, Union, get_args

StrPath = Union[str, "os.PathLike[str]"]
# The choices of the k-mer counts, shared by every table and the command line.
Strands = Literal["forward", "both", "canonical"]
Invalid = Literal["error", "skip"]
Layout = Literal["auto", "dense", "sparse"]
Progress = Union[bool, Callable[[int, int], object]]

#: What installs the packages of a search (velko itself is installed from its source tree, so
#: its extras are named there: ``pip install ".[hmmer]"``).
HMMER_INSTALL = 'pip install pyrodigal pyhmmer (or pip install ".[hmmer]" in velko\'s source tree)'

#: What errors call standard input, read where an input path is "-".
STDIN_NAME = "<stdin>"
# The core opens paths; this one is the descriptor the process was given, pipe or file.
_STDIN_PATH = b"/dev/stdin"


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


def input_parts(paths: StrPath | Iterable[StrPath]) -> list[tuple[bytes, str]]:
    """path_parts of each input path, the str "-" standing for standard input (named "-" in
    tables); ValueError when it is given more than once, as it can be read only once."""
    given = as_paths(paths)
    stdin = [path for path in given if isinstance(path, (str, bytes)) and path in ("-", b"-")]
    if len(stdin) > 1:
        raise ValueError("'-' (standard input) given more than once")
    parts = [(_STDIN_PATH, "-") if path in ("-", b"-") else path_parts(path) for path in given]
    check_read_once([name for _, name in parts])
    return parts


def _kind(mode: int) -> str | None:
    """What a file that can be read only once is called, or None for one that can be read
    again (a regular file, a directory, a block device)."""
    if stat.S_ISFIFO(mode):
        return "pipe"
    if stat.S_ISCHR(mode):
        return "character device"
    if stat.S_ISSOCK(mode):
        return "socket"
    return None


def device_inode(name: str) -> tuple[int, int, str | None] | None:
    """The device and inode of input `name` ("-": standard input) and, for a file that can be
    read only once, what it is; None when it cannot be looked at (its reader says why)."""
    try:
        info = os.fstat(0) if name == "-" else os.stat(name)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino, _kind(info.st_mode)


def check_read_once(names: Iterable[str]) -> None:
    """Refuses two inputs that are one pipe, FIFO or device: it can be read only once, and two
    readers would share its data at random. Inputs are told apart by what they are (device and
    inode), not by their names: "-" and "/dev/stdin" are one pipe."""
    seen: dict[tuple[int, int], str] = {}
    stdin = device_inode("-")
    for name in names:
        found = device_inode(name)
        if found is None or found[2] is None:
            continue
        key = found[:2]
        if key in seen:
            which = " (standard input)" if stdin is not None and stdin[:2] == key else ""
            raise ValueError(
                f"{seen[key]!r} and {name!r} are one {found[2]}{which}, which can be read only once"
            )
        seen[key] = name


def native_inputs(parts: Iterable[tuple[bytes, str]]) -> list[tuple[bytes, str]]:
    """The inputs from input_parts as the native calls take them: each path to open, and the
    name its errors give it (standard input: STDIN_NAME)."""
    return [
        (path, STDIN_NAME if (path, name) == (_STDIN_PATH, "-") else name) for path, name in parts
    ]


def check_choice(name: str, value: object, choices: Any) -> None:
    """Refuses a value that is not one of the strings of the Literal type `choices`."""
    allowed: tuple[str, ...] = get_args(choices)
    if not isinstance(value, str) or value not in allowed:
        listed = ", ".join(repr(choice) for choice in allowed[:-1]) + f" or {allowed[-1]!r}"
        raise ValueError(f"{name} must be {listed}, not {value!r}")


def require(modules: Iterable[str], needed_for: str, install: str) -> None:
    """Imports optional packages `modules` that `needed_for` needs. One not installed raises
    ImportError naming it and `install`, the command that installs it. One installed that fails
    to import (built for another NumPy, a shared library missing) raises ImportError showing
    that failure, chained: installing it is then not the remedy."""
    names = list(modules)
    packages = list(dict.fromkeys(name.split(".")[0] for name in names))
    listed = " and ".join(packages)
    for name in names:
        try:
            importlib.import_module(name)
        except ModuleNotFoundError as error:
            if error.name is not None and error.name.split(".")[0] in packages:
                raise ImportError(f"{needed_for} needs {listed} ({error}): {install}") from None
            raise _broken(name, needed_for, error) from error
        except Exception as error:
            raise _broken(name, needed_for, error) from error


def _broken(name: str, needed_for: str, error: Exception) -> ImportError:
    return ImportError(
        f"{needed_for} needs {name.split('.')[0]}, which is installed but fails "
        f"to import: {type(error).__name__}: {error}"
    )


def usable_cores() -> int:
    """The cores this process may run on: its CPU set where the system tells it (a container
    or taskset gives fewer than the machine has), else the machine's count."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1
