"""The exact messages of PanicException, which derives from BaseException."""

import pytest


def panic_message(call, *args):
    """Runs call(*args), which must raise PanicException, and returns its message."""
    with pytest.raises(BaseException) as info:
        call(*args)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def fasta_failure(path, cause, quote=lambda path: f'"{path}"'):
    """The message of a FASTA file that cannot be read (plain paths need no escapes)."""
    return (
        "called `Result::unwrap()` on an `Err` value: Failed to read fasta from "
        f"{quote(path)}\n\nCaused by:\n    {cause}"
    )
