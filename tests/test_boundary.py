"""Argument binding and conversion messages, receivers, and PanicException."""

import concurrent.futures
import ctypes
import multiprocessing
import pickle
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import velko
from velko.fasta import DnaSequence
from velko.hmmer.tophit import Hit, TopHitFile
from velko.kmer import get_kmer_count_fasta, get_kmer_count_seq
from velko.util.accession import canonical_gid


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value).__name__, str(info.value)


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (
            lambda: canonical_gid("a", "b"),
            "canonical_gid() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: canonical_gid("a", "b", "c"),
            "canonical_gid() takes 1 positional arguments but 3 were given",
        ),
        (lambda: canonical_gid(), "canonical_gid() missing 1 required positional argument: 'gid'"),
        (lambda: canonical_gid(x=1), "canonical_gid() got an unexpected keyword argument 'x'"),
        (
            lambda: canonical_gid("a", gid="b"),
            "canonical_gid() got multiple values for argument 'gid'",
        ),
        # surplus positionals are reported before keywords, keywords before missing arguments
        (
            lambda: canonical_gid("a", "b", x=1),
            "canonical_gid() takes 1 positional arguments but 2 were given",
        ),
        (lambda: canonical_gid(x=1, y=2), "canonical_gid() got an unexpected keyword argument 'x'"),
        (
            lambda: DnaSequence(),
            "DnaSequence.__new__() missing 1 required positional argument: 'seq'",
        ),
        (
            lambda: DnaSequence("A", "C"),
            "DnaSequence.__new__() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: DnaSequence(seq="A", x=1),
            "DnaSequence.__new__() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: DnaSequence("A", seq="A"),
            "DnaSequence.__new__() got multiple values for argument 'seq'",
        ),
        (
            lambda: DnaSequence(**{"seq": "A", "é": 1}),
            "DnaSequence.__new__() got an unexpected keyword argument 'é'",
        ),
    ],
)
def test_binding_messages(call, expected):
    assert message(call) == ("TypeError", expected)


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(b"A", "bytes"), (None, "NoneType"), (1, "int"), (["A"], "list")],
)
def test_text_conversion_names_the_type(value, type_name):
    assert message(lambda: DnaSequence(value)) == (
        "TypeError",
        f"argument 'seq': '{type_name}' object cannot be converted to 'PyString'",
    )


def test_path_objects_are_not_text():
    import pathlib

    kind, text = message(lambda: canonical_gid(pathlib.PurePosixPath("a")))
    assert (kind, text) == (
        "TypeError",
        "argument 'gid': 'PurePosixPath' object cannot be converted to 'PyString'",
    )


def test_nested_class_uses_qualname():
    class Outer:
        class Inner:
            pass

    assert message(lambda: canonical_gid(Outer.Inner()))[1].endswith(
        "'test_nested_class_uses_qualname.<locals>.Outer.Inner' object cannot be converted to "
        "'PyString'"
    )


def test_relabelled_error_is_not_chained():
    with pytest.raises(TypeError) as info:
        try:
            raise KeyError("outer")
        except KeyError:
            canonical_gid(1)
    error = info.value
    assert error.__cause__ is None
    assert error.__context__ is None or isinstance(error.__context__, KeyError)
    assert error.args == ("argument 'gid': 'int' object cannot be converted to 'PyString'",)


# The interpreter tests the receiver itself before it calls a method or getter found on a class,
# so the binding's own test is reached only by calling the table entry underneath directly.
METH_NOARGS, METH_FASTCALL_KEYWORDS = 0x0004, 0x0080 | 0x0002


class MethodDef(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("meth", ctypes.c_void_p),
        ("flags", ctypes.c_int),
        ("doc", ctypes.c_char_p),
    ]


class GetSetDef(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("get", ctypes.c_void_p),
        ("set", ctypes.c_void_p),
        ("doc", ctypes.c_char_p),
        ("closure", ctypes.c_void_p),
    ]


class Descriptor(ctypes.Structure):
    # The head shared by method and getset descriptors, then the table entry they wrap.
    _fields_ = [
        ("refcnt", ctypes.c_ssize_t),
        ("type", ctypes.c_void_p),
        ("d_type", ctypes.c_void_p),
        ("d_name", ctypes.c_void_p),
        ("d_qualname", ctypes.c_void_p),
        ("entry", ctypes.c_void_p),
    ]


def call_entry(cls, name, receiver, *args):
    """Calls cls's method or getter `name` with `receiver`, past the interpreter's own check."""
    descriptor = cls.__dict__[name]
    entry = Descriptor.from_address(id(descriptor)).entry
    if type(descriptor).__name__ == "getset_descriptor":
        table = GetSetDef.from_address(entry)
        getter = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(table.get)
        return getter(receiver, table.closure)
    table = MethodDef.from_address(entry)
    assert table.name.decode() == name
    if table.flags == METH_NOARGS:
        method = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
        return method(table.meth)(receiver, None)
    assert table.flags == METH_FASTCALL_KEYWORDS
    method = ctypes.PYFUNCTYPE(
        ctypes.py_object,
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_ssize_t,
        ctypes.c_void_p,
    )
    return method(table.meth)(receiver, (ctypes.py_object * len(args))(*args), len(args), None)


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="the object layout read here is that of the default build",
)
@pytest.mark.parametrize(
    ("cls", "name", "receiver", "args"),
    [
        (DnaSequence, "rev_complement", "ACGT", ()),
        (DnaSequence, "seq", "ACGT", ()),
        (Hit, "hmm_str", "g", ()),
        (Hit, "bit_score", DnaSequence("A"), ()),
        (TopHitFile, "write", DnaSequence("A"), ()),
        (TopHitFile, "read", Hit("g", "PF", 1.0, 2.0), ()),
        (TopHitFile, "path", None, ()),
        (TopHitFile, "contains_gene_id", 1, ("g",)),
        (TopHitFile, "add_hit", DnaSequence("A"), ("g", "PF", 1.0, 2.0)),
    ],
)
def test_receiver_type_is_checked(cls, name, receiver, args):
    assert message(lambda: call_entry(cls, name, receiver, *args)) == (
        "TypeError",
        f"'{type(receiver).__qualname__}' object cannot be converted to '{cls.__name__}'",
    )


# PanicException travels between processes as itself.

NO_PARENT = "called `Option::unwrap()` on a `None` value"


def raise_panic():
    """Fails inside velko: a top-hit file with no parent directory cannot be written."""
    TopHitFile("").write()


def caught_panic():
    with pytest.raises(BaseException) as info:
        raise_panic()
    return info.value


def test_panic_type_facts():
    error = caught_panic()
    cls = type(error)
    assert (cls.__module__, cls.__name__, cls.__bases__) == (
        "pyo3_runtime",
        "PanicException",
        (BaseException,),
    )
    assert not isinstance(error, Exception)
    assert error.args == (NO_PARENT,)
    # Reachable through pickling only: no module of the package holds the class.
    for name in ["velko", *velko.__all__]:
        assert cls not in vars(sys.modules[name]).values()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_panic_pickles_as_itself(protocol):
    error = caught_panic()
    error.detail = [1, 2]  # instance state travels too
    copy = pickle.loads(pickle.dumps(error, protocol))
    assert type(copy) is type(error)
    assert (copy.args, str(copy), copy.detail) == (error.args, NO_PARENT, [1, 2])


def test_panic_unpickles_where_velko_was_never_imported():
    data = pickle.dumps(caught_panic())
    source = textwrap.dedent(
        """
        import pickle, sys
        error = pickle.loads(sys.stdin.buffer.read())
        print(type(error).__module__, type(error).__name__, error.args)
        print(sorted(name for name in sys.modules if name.startswith("velko")))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", source], input=data, capture_output=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [
        f"pyo3_runtime PanicException ('{NO_PARENT}',)",
        str(sorted(["velko", *velko.__all__])),
    ]


def test_panic_in_process_pool_reaches_the_caller():
    # Not fork: this process runs threads, and a forked child may inherit one's held lock.
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        with pytest.raises(BaseException) as info:
            pool.submit(raise_panic).result(timeout=60)
    assert type(info.value) is type(caught_panic())
    assert str(info.value) == NO_PARENT


@pytest.mark.parametrize(
    ("call", "origin"),
    [
        (
            lambda tmp: get_kmer_count_fasta(str(tmp / "missing.fa"), 2, False),
            "src/core/fasta/reader.cpp",
        ),
        (lambda tmp: get_kmer_count_seq("ACNT", 2, False), "src/core/kmer/count.cpp"),
        (lambda tmp: TopHitFile(str(tmp / "missing.tsv")).read(), "src/core/hmmer/tophit_file.cpp"),
        (lambda tmp: TopHitFile("").write(), "src/velko/tophit.cpp"),
    ],
)
def test_an_abort_writes_one_line_naming_where_it_started(tmp_path, capfd, call, origin):
    with pytest.raises(BaseException) as info:
        call(tmp_path)
    assert type(info.value).__name__ == "PanicException"
    err = capfd.readouterr().err
    assert re.fullmatch(
        rf"velko: internal abort at {re.escape(origin)}:\d+: "
        rf"{re.escape(str(info.value))}\n",
        err,
    ), err
