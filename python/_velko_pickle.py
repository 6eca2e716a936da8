"""Rebuilds velko's PanicException from a pickle, in any process.

velko is a single extension module, and the class of its PanicException belongs to no module
that can be imported by name, so an instance pickles as a call of `panic` below (see the
class's __reduce__). Importing velko here makes the class in a process that has not used velko
yet, such as a fresh worker.
"""

import velko  # noqa: F401  (makes the PanicException class)

_panic_type = None


def _find_panic_type():
    # The class is in no module's namespace; it is the direct subclass of BaseException whose
    # instances pickle as calls of this very function.
    for cls in BaseException.__subclasses__():
        if cls.__module__ != "pyo3_runtime" or cls.__name__ != "PanicException":
            continue
        if "__reduce__" in cls.__dict__ and cls.__reduce__(cls.__new__(cls))[0] is panic:
            return cls
    raise ImportError("velko's PanicException class was not found after importing velko")


def panic(*args):
    """A new PanicException with these arguments (the message first)."""
    global _panic_type
    if _panic_type is None:
        _panic_type = _find_panic_type()
    return _panic_type(*args)
