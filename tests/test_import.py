"""The module tree: names, export lists, classes and the once-per-process entry point."""

import subprocess
import sys
import textwrap

import pytest

import velko

velko_fasta = sys.modules["velko.fasta"]
velko_accession = sys.modules["velko.util.accession"]

SUBMODULES = ["velko.util.accession", "velko.hmmer.tophit", "velko.kmer", "velko.fasta"]


def run_python(source):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=60
    )


def test_five_module_objects_under_dotted_names():
    for name in SUBMODULES:
        module = sys.modules[name]
        assert module.__name__ == name
        assert getattr(velko, name) is module
    assert "velko.hmmer" not in sys.modules
    assert "velko.util" not in sys.modules
    assert not hasattr(velko, "kmer")
    assert velko.__doc__ == ""


def test_submodules_resolve_through_sys_modules():
    result = run_python(
        """
        import velko
        from velko.fasta import DnaSequence
        from velko.util.accession import canonical_gid
        import sys
        print(list(k for k in sys.modules if k.startswith("velko")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(
        ["velko.util.accession", "velko.hmmer.tophit", "velko.kmer", "velko.fasta", "velko"]
    )


def test_functions_are_bound_builtins():
    fn = velko_accession.canonical_gid
    assert fn.__module__ == "velko.util.accession"
    assert fn.__self__ is velko_accession
    assert fn.__doc__ is None
    assert velko_accession.__doc__ is None


@pytest.mark.parametrize(
    ("name", "exports"),
    [
        ("velko", SUBMODULES),
        ("velko.util.accession", ["canonical_gid"]),
        ("velko.hmmer.tophit", ["Hit", "TopHitFile"]),
        # in the order the names are registered: the file counting first, the class last
        (
            "velko.kmer",
            [
                "get_kmer_count_fasta",
                "get_kmer_count_seq",
                "get_kmer_to_idx",
                "get_possible_kmers",
                "KmerCountResult",
            ],
        ),
        ("velko.fasta", ["DnaSequence"]),
    ],
)
def test_export_lists(name, exports):
    module = sys.modules[name]
    assert module.__all__ == exports
    assert all(hasattr(module, export) for export in exports)


@pytest.mark.parametrize(
    ("module", "name"),
    [
        ("velko.fasta", "DnaSequence"),
        ("velko.kmer", "KmerCountResult"),
        ("velko.hmmer.tophit", "Hit"),
        ("velko.hmmer.tophit", "TopHitFile"),
    ],
)
def test_classes_are_builtins_heap_types(module, name):
    cls = getattr(sys.modules[module], name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_records_are_frozen():
    cls = velko_fasta.DnaSequence
    with pytest.raises(AttributeError):
        cls("A").seq = "C"
    with pytest.raises((AttributeError, TypeError)):
        cls("A").other = 1


def test_imports_only_the_standard_library():
    # velko promises to need nothing outside the standard library, numpy included: every
    # module that importing and using it loads is velko's own or the interpreter's.
    result = run_python(
        """
        import sys
        before = set(sys.modules)
        import velko
        from velko.kmer import get_kmer_count_seq
        from velko.hmmer.tophit import Hit
        print(memoryview(get_kmer_count_seq("AACC", 1, False)).tolist(), str(Hit("g", "p", 1, 2)))
        top = {name.partition(".")[0] for name in set(sys.modules) - before}
        print(sorted(top - set(sys.stdlib_module_names) - {"velko"}))
        """
    )
    assert (result.stdout, result.stderr) == ("[2, 2, 0, 0] g p (1/2)\n[]\n", "")


def test_second_initialisation_is_refused():
    result = run_python(
        """
        import importlib.util, sys
        import velko
        spec = importlib.util.find_spec("velko")
        for name in [n for n in sys.modules if n.startswith("velko")]:
            del sys.modules[name]
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            print(type(error).__name__, error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError PyO3 modules may only be initialized once per interpreter process"
    )


def test_only_the_entry_point_is_exported():
    path = velko.__file__
    result = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_velko"]
