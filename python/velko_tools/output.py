"""Files velko_tools writes, replaced whole or not at all.

A new file is written beside its target under a hidden temporary name, synced and then renamed
over the target, by the same native code that writes velko's top-hit files: a full disk, an
error or Ctrl-C part way leaves the previous file as it was and no temporary behind. Targets
being written are remembered, so that a process ending while a thread still writes removes its
temporaries on the way out.
"""

from __future__ import annotations

import atexit
import contextlib
import os
import threading
from collections import Counter
from collections.abc import Iterator
from typing import IO, Any

import velko_tools._core as _core
from velko_tools._args import path_parts

_lock = threading.Lock()
_in_flight: Counter[bytes] = Counter()


@contextlib.contextmanager
def writing(path: str | bytes | os.PathLike[str]) -> Iterator[None]:
    """Remembers `path` as being written while the block runs (see the module's docstring)."""
    # Absolute, so that the temporaries are found at exit whatever the directory is then.
    encoded = os.path.abspath(os.fsencode(path))
    with _lock:
        _in_flight[encoded] += 1
    try:
        yield
    finally:
        with _lock:
            _in_flight[encoded] -= 1
            if _in_flight[encoded] <= 0:
                del _in_flight[encoded]


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yields the path to write in place of `path`, and puts what was written there in place of
    `path` when the block ends without an exception; with one, the target stays as it was.

    An OSError from the block or from putting the file in place names `path` (never the
    temporary). A FIFO or a device is written in place."""
    encoded, name = path_parts(path)
    with writing(name):
        output = _core.ReplacingFile(encoded, name)
        written = os.fsdecode(output.written_path)
        try:
            yield written
            output.commit()
        except OSError as error:
            output.discard()
            _name_file(error, name, written)
            raise
        except BaseException:
            output.discard()
            raise


def open_written(written: str, encoding: str | None = None) -> IO[Any]:
    """Opens the file that replacing() yielded, for writing from its start: binary, or text in
    `encoding`. The file is never created here, so a temporary that the exit handler removed
    while a daemon thread was about to open it stays removed instead of coming back."""
    fd = os.open(written, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC)
    return os.fdopen(fd, "w" if encoding else "wb", encoding=encoding)


def _name_file(error: OSError, name: str, written: str) -> None:
    """Makes `error` name the target: one of the system names its file, a library's own error
    (gzip, pyarrow) says it in its text."""
    if error.errno is not None:
        if error.filename is None or os.fsdecode(error.filename) == written:
            error.filename = name
    elif name not in str(error):
        error.args = (f"{name}: {error}",)


def _remove_own_temporaries() -> None:
    with _lock:
        targets = list(_in_flight)
    for target in targets:
        _core.remove_temporaries(target, True)


atexit.register(_remove_own_temporaries)

__all__ = ["open_written", "replacing", "writing"]
