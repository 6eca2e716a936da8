"""Shared fixtures: small files written to tmp_path, and a watchdog for the readers."""

import faulthandler

import pytest

# The submodules resolve through sys.modules, which the package fills when it is imported.
import velko  # noqa: F401


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes or text to a new file under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"file{next(counter)}")
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, str):
            content = content.encode()
        path.write_bytes(content)
        return str(path)

    return write


WATCHDOG_SECONDS = 120  # far above the slowest reader test, sanitizer builds included


@pytest.fixture
def watchdog():
    """Ends the whole run with every thread's traceback if one test hangs (a reader that loops
    on malformed input would otherwise stall the suite silently)."""
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
