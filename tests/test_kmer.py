"""velko.kmer: k-mer lists and indexes, KmerCountResult, counting a sequence."""

import itertools
import os
import random
import textwrap

import pytest
from children import (
    ADDRESS_LIMIT,
    MEMORY_ERROR,
    assert_interrupted,
    refusal,
    run_in_cgroup,
    run_python,
)
from hypothesis import given, settings
from hypothesis import strategies as st
from panics import panic_message

from velko.kmer import (
    KmerCountResult,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)

NONE_UNWRAP = "called `Option::unwrap()` on a `None` value"
COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


class Abort(Exception):
    pass


def boundary_message(data, index):
    """The character-boundary text, built from its definition."""
    first = index
    while data[first] & 0xC0 == 0x80:
        first -= 1
    past = first + 1
    while past < len(data) and data[past] & 0xC0 == 0x80:
        past += 1
    char = data[first:past].decode()
    if len(data) <= 256:
        shown, more = data, ""
    else:
        cut = 256
        while data[cut] & 0xC0 == 0x80:
            cut -= 1
        shown, more = data[:cut], "[...]"
    return (
        f"byte index {index} is not a char boundary; it is inside '{char}' "
        f"(bytes {first}..{past}) of `{shown.decode()}`{more}"
    )


def reference_single(text, k):
    """Window by window over the UTF-8 bytes with a dict lookup, as the counting is defined."""
    data = text.encode()
    n = len(data)
    index = {"".join(p).encode(): i for i, p in enumerate(itertools.product("ACGT", repeat=k))}
    counts = [0] * len(index)

    def boundary(i):
        return i == n or data[i] & 0xC0 != 0x80

    p = 0
    while p < n and p + k <= n:
        for edge in (p, p + k):
            if not boundary(edge):
                raise Abort(boundary_message(data, edge))
        window = data[p : p + k]
        if window not in index:
            raise Abort(NONE_UNWRAP)
        counts[index[window]] += 1
        p += 1
    return counts, p


def reference(text, k, both_strands):
    counts, total = reference_single(text, k)
    if both_strands:
        reverse = "".join(COMPLEMENT.get(c, "N") for c in reversed(text))
        rev_counts, rev_total = reference_single(reverse, k)
        counts = [a + b for a, b in zip(counts, rev_counts)]
        total += rev_total
    return k, counts, total


def outcome(call):
    """(k, counts, total) or the abort message, for comparing against the reference."""
    try:
        result = call()
    except Abort as abort:
        return str(abort)
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == "PanicException"
        return str(error)
    if isinstance(result, tuple):
        return result
    return result.k, result.counts, result.total


# ---- k-mer list and index ---------------------------------------------------------------------


@pytest.mark.parametrize("k", range(0, 7))
def test_possible_kmers_match_product_order_and_index(k):
    expected = ["".join(p) for p in itertools.product("ACGT", repeat=k)]
    assert get_possible_kmers(k) == expected
    assert get_kmer_to_idx(k=k) == {kmer: i for i, kmer in enumerate(expected)}


@pytest.mark.parametrize(
    ("kmer", "index"), [("AT", 3), ("CA", 4), ("TT", 15), ("ACG", 6), ("GGG", 42), ("TGC", 57)]
)
def test_kmer_index_positions(kmer, index):
    assert get_kmer_to_idx(len(kmer))[kmer] == index
    assert get_possible_kmers(len(kmer))[index] == kmer


def test_large_k_lists_are_built_and_fresh():
    kmers = get_possible_kmers(9)
    assert len(kmers) == 4**9 and kmers[-1] == "T" * 9 and kmers[12345] == "AATAAATGC"
    index = get_kmer_to_idx(9)
    assert index["AATAAATGC"] == 12345 and index["T" * 9] == 4**9 - 1
    kmers.append("x")
    assert get_possible_kmers(9) is not kmers and len(get_possible_kmers(9)) == 4**9


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda: get_possible_kmers(256),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda: get_kmer_to_idx(-1),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda: get_possible_kmers("3"),
            TypeError,
            "argument 'k': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: get_kmer_to_idx(1, 2),
            TypeError,
            "get_kmer_to_idx() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: get_kmer_count_seq("ACGT"),
            TypeError,
            "get_kmer_count_seq() missing 2 required positional arguments: 'k' and "
            "'use_rev_complement'",
        ),
        (
            lambda: get_kmer_count_seq("ACGT", 2, 1),
            TypeError,
            "argument 'use_rev_complement': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: get_kmer_count_seq(b"ACGT", 2, False),
            TypeError,
            "argument 'seq': 'bytes' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


# ---- refusing results that cannot fit ---------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "what", "detail"),
    [
        (lambda: get_possible_kmers(20), "k = 20", "4^20 k-mers"),
        (lambda: get_possible_kmers(31), "k = 31", "4^31 k-mers"),
        (lambda: get_possible_kmers(32), "k = 32", "4^32 k-mers"),
        (lambda: get_possible_kmers(255), "k = 255", "4^255 k-mers"),
        (lambda: get_kmer_to_idx(18), "k = 18", "4^18 k-mers"),
        (lambda: get_kmer_to_idx(30), "k = 30", "4^30 k-mers"),
        (lambda: get_kmer_to_idx(64), "k = 64", "4^64 k-mers"),
        (lambda: get_kmer_count_seq("", 20, False), "k = 20", "4^20 counts"),
        (lambda: get_kmer_count_seq("ACGT", 31, True), "k = 31", "4^31 counts"),
        (lambda: get_kmer_count_seq("ACGT", 32, False), "k = 32", "4^32 counts"),
        (lambda: get_kmer_count_seq("ACGT" * 10, 200, False), "k = 200", "4^200 counts"),
    ],
)
def test_results_too_large_for_memory_raise_memory_error(call, what, detail):
    with pytest.raises(MemoryError) as info:
        call()
    message = MEMORY_ERROR.fullmatch(str(info.value))
    assert message is not None, str(info.value)
    assert (message["what"], message["detail"]) == (what, f" ({detail})")
    assert get_kmer_count_seq("ACGT", 1, False).counts == [1, 1, 1, 1]


def test_memory_error_sizes():
    # 4^20 counts of 8 bytes are 2^43 bytes, 8 TiB; 4^32 of them are 2^67 bytes, 128 EiB.
    for k, size in [(20, "8.0 TiB"), (32, "128 EiB"), (200, "2^403 bytes")]:
        with pytest.raises(MemoryError) as info:
            get_kmer_count_seq("", k, False)
        assert str(info.value).startswith(f"k = {k} needs about {size} (4^{k} counts), more ")


# Under an address-space limit (or a data limit) the limit is the headroom; a result that cannot
# fit is refused before anything is built, and the process goes on normally.
@pytest.mark.parametrize("limit", ["limit_address_space", "limit_data"])
@pytest.mark.parametrize(
    ("call", "what", "detail"),
    [
        ("get_kmer_count_seq('A' * 100, 14, False)", "k = 14", "4^14 counts"),
        ("get_possible_kmers(14)", "k = 14", "4^14 k-mers"),
        ("get_kmer_to_idx(13)", "k = 13", "4^13 k-mers"),
        ("get_kmer_count_seq('A' * 100, 13, True)", "k = 13", "4^13 counts"),
    ],
)
def test_resource_limits_are_seen(limit, call, what, detail):
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
        {limit}(256 << 20)
        before = peak_rss()
        try:
            {call}
        except MemoryError as error:
            print(str(error))
        print(peak_rss() - before < (64 << 20))
        """)
    result = run_python(source)
    assert result.stderr == ""
    message, small = result.stdout.splitlines()
    match = MEMORY_ERROR.fullmatch(message)
    assert match is not None, message
    assert (match["what"], match["detail"], small) == (what, f" ({detail})", "True")


def test_long_text_both_strands_holds_little_beyond_its_counts():
    # Past a bound (a million windows, 8 MiB), a text pairs its counts for the reverse strand
    # instead of keeping its windows: what it holds beyond its counts does not grow with it.
    source = ADDRESS_LIMIT + textwrap.dedent("""
        from velko.kmer import get_kmer_count_seq
        text = "ACGGT" * 4_000_000
        before = peak_rss()
        result = get_kmer_count_seq(text, 12, True)
        print((peak_rss() - before - 8 * 4**12) >> 20, result.total)
        """)
    result = run_python(source)
    assert result.stderr == ""
    extra_mib, total = result.stdout.split()
    assert int(total) == 2 * (20_000_000 - 11)
    # Keeping every window would take 160 MB; the bound keeps 8 MiB (more under a sanitizer).
    assert int(extra_mib) < 32


# Results whose estimate is too small to look at the limits, where the interpreter itself runs
# out: its MemoryError comes through as it is, with nothing written to standard error.
@pytest.mark.skipif(
    bool(os.environ.get("VELKO_SANITIZED")),
    reason="AddressSanitizer's allocator aborts instead of failing an allocation",
)
@pytest.mark.parametrize(
    "call",
    ["get_possible_kmers(9)", "get_kmer_to_idx(9)", "get_kmer_count_seq('A', 9, False).counts"],
)
def test_interpreter_allocation_failures_raise_memory_error(call):
    source = ADDRESS_LIMIT + textwrap.dedent(f"""
        from velko.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
        keep = get_kmer_count_seq('A', 9, False)
        limit_address_space(2 << 20)
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        """)
    result = run_python(source)
    assert (result.stdout, result.stderr) == ("MemoryError\n", "")


def test_cgroup_memory_limit_is_seen():
    source = textwrap.dedent("""
        from velko.kmer import get_kmer_count_seq
        try:
            get_kmer_count_seq('A' * 100, 14, False)
        except MemoryError as error:
            print(error)
        """)
    result = run_in_cgroup(source, 512 << 20)
    if result is None:
        pytest.skip("no memory cgroup can be made here")
    match = refusal(result)
    assert (match["what"], match["detail"]) == ("k = 14", " (4^14 counts)")


# ---- Ctrl-C -----------------------------------------------------------------------------------


RANDOM_TEXT = """
import random
from velko.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
letters = bytes(b"ACGT"[i & 3] for i in range(256))
# Long enough (256 MB) that even the fastest kernel is still counting when the signal comes.
text = random.Random(1).randbytes(1 << 20).translate(letters).decode() * 256
"""


@pytest.mark.parametrize(
    "call",
    [
        "get_kmer_to_idx(12)",
        "get_possible_kmers(12)",
        "get_kmer_count_seq(text, 12, False)",
        "get_kmer_count_seq(text, 12, True)",
    ],
)
def test_ctrl_c_stops_long_calls(call):
    assert_interrupted(call, setup=RANDOM_TEXT)


def read_calls():
    with open("/proc/self/io") as io:
        return int(io.read().split("syscr:")[1].split()[0])


@pytest.mark.parametrize(
    "call",
    [
        lambda: get_kmer_count_seq("ACGT", 1, False),
        lambda: get_kmer_count_seq("ACGT" * 37, 4, True),
        lambda: get_kmer_count_seq("ACGT" * 1000, 10, False),  # 8 MiB of counts
        lambda: get_kmer_count_seq("", 4, False).counts,
    ],
)
def test_small_calls_do_not_probe_the_system(call):
    # Reading /proc and the cgroup files costs more than such calls themselves.
    call()
    before = read_calls()
    for _ in range(200):
        call()
    assert read_calls() - before <= 2  # the reads of /proc/self/io itself


# ---- KmerCountResult --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((3, 10, [1] * 64), (3, 10, [1] * 64)),
        ((2, 5, (1, 2)), (2, 5, [1, 2])),
        ((0, 0, range(3)), (0, 0, [0, 1, 2])),
        ((True, 2**64 - 1, [2**64 - 1, 0]), (1, 2**64 - 1, [2**64 - 1, 0])),
        ((255, 0, b"\x07"), (255, 0, [7])),
    ],
)
def test_count_result_holds_what_it_is_given(args, expected):
    result = KmerCountResult(*args)
    assert (result.k, result.total, result.counts) == expected
    by_keyword = KmerCountResult(counts=args[2], total=args[1], k=args[0])
    assert by_keyword.counts == expected[2]


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"k": 1, "total": 0, "counts": "AC"}, ValueError, "Can't extract `str` to `Vec`"),
        (
            {"k": 1, "total": 0, "counts": {1, 2}},
            TypeError,
            "argument 'counts': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            {"k": 1, "total": 0, "counts": [1, -1]},
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        ({"k": 1, "total": 0, "counts": [2**64]}, OverflowError, "int too big to convert"),
        (
            {"k": 1, "total": -1, "counts": []},
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (
            {"k": 300, "total": 0, "counts": []},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            {"k": 1, "total": 0, "counts": [1.0]},
            TypeError,
            "argument 'counts': 'float' object cannot be interpreted as an integer",
        ),
        (
            {},
            TypeError,
            "KmerCountResult.__new__() missing 3 required positional arguments: "
            "'k', 'total', and 'counts'",
        ),
    ],
)
def test_count_result_constructor_errors(kwargs, error, message):
    with pytest.raises(error) as info:
        KmerCountResult(**kwargs)
    assert type(info.value) is error and str(info.value) == message


def test_count_result_is_a_read_only_value():
    result = get_kmer_count_seq("AAAA", 1, False)
    counts = result.counts
    counts.append(9)
    assert result.counts == [4, 0, 0, 0] and result.counts is not result.counts
    for name in ("k", "total", "counts"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)
    with pytest.raises(TypeError):
        result + result  # noqa: B018
    assert result != get_kmer_count_seq("AAAA", 1, False)
    assert type(result).__module__ == "builtins" and KmerCountResult.__doc__ is None


# ---- counting ---------------------------------------------------------------------------------


def named(counts, k):
    kmers = get_possible_kmers(k)
    return {kmers[i]: c for i, c in enumerate(counts) if c}


@pytest.mark.parametrize(
    ("text", "k", "both", "expected", "total"),
    [
        ("ACGT", 2, False, {"AC": 1, "CG": 1, "GT": 1}, 3),
        ("ACGT", 2, True, {"AC": 2, "CG": 2, "GT": 2}, 6),
        ("AAAA", 2, True, {"AA": 3, "TT": 3}, 6),
        (
            "GATTACA",
            3,
            True,
            dict.fromkeys(
                ["GAT", "ATT", "TTA", "TAC", "ACA", "TGT", "GTA", "TAA", "AAT", "ATC"], 1
            ),
            10,
        ),
        ("ACG", 3, False, {"ACG": 1}, 1),
        ("AC", 3, True, {}, 0),
        ("", 2, False, {}, 0),
        ("ACN", 4, True, {}, 0),
        ("AéC", 5, True, {}, 0),
        ("ACGT", 0, False, {"": 4}, 4),
        ("ACGT", 0, True, {"": 8}, 8),
        ("xyz\n", 0, True, {"": 8}, 8),
    ],
)
def test_counts(text, k, both, expected, total):
    result = get_kmer_count_seq(text, k, both)
    assert result.k == k and result.total == total and len(result.counts) == 4**k
    assert named(result.counts, k) == expected


@pytest.mark.parametrize(
    ("text", "k", "message"),
    [
        ("ACNGT", 2, NONE_UNWRAP),
        ("acgt", 1, NONE_UNWRAP),
        ("ACG\n", 1, NONE_UNWRAP),
        ("NéA", 1, NONE_UNWRAP),
        ("AéC", 1, "byte index 2 is not a char boundary; it is inside 'é' (bytes 1..3) of `AéC`"),
        ("AéC", 2, boundary_message("AéC".encode(), 2)),
        ("é", 0, "byte index 1 is not a char boundary; it is inside 'é' (bytes 0..2) of `é`"),
        ("xNé€", 0, "byte index 3 is not a char boundary; it is inside 'é' (bytes 2..4) of `xNé€`"),
        ("AAA𝄞", 2, "byte index 4 is not a char boundary; it is inside '𝄞' (bytes 3..7) of `AAA𝄞`"),
        (
            "A" * 255 + "é" + "C" * 100,
            2,
            "byte index 256 is not a char boundary; it is inside 'é' (bytes 255..257) of `"
            + "A" * 255
            + "`[...]",
        ),
        (
            "A" * 256 + "é",
            1,
            "byte index 257 is not a char boundary; it is inside 'é' (bytes 256..258) of `"
            + "A" * 256
            + "`[...]",
        ),
        (
            "A" * 254 + "é",
            1,
            "byte index 255 is not a char boundary; it is inside 'é' (bytes 254..256) of `"
            + "A" * 254
            + "é`",
        ),
    ],
)
@pytest.mark.parametrize("both", [False, True])
def test_counting_aborts(text, k, message, both):
    assert panic_message(lambda: get_kmer_count_seq(text, k, both)) == message


def test_long_text_message_quotes_only_its_head():
    text = "ACGT" * 2_000_000 + "é"
    message = panic_message(lambda: get_kmer_count_seq(text, 4, False))
    assert message == (
        "byte index 8000001 is not a char boundary; it is inside 'é' (bytes 8000000..8000002) "
        "of `" + ("ACGT" * 64) + "`[...]"
    )


letters = st.sampled_from("ACGT" * 6 + "Nae€\n𝄞")


@settings(max_examples=400, deadline=None)
@given(st.lists(letters, max_size=40).map("".join), st.integers(0, 5), st.booleans())
def test_counting_matches_window_by_window_reference(text, k, both):
    assert outcome(lambda: get_kmer_count_seq(text, k, both)) == outcome(
        lambda: reference(text, k, both)
    )


@settings(max_examples=150, deadline=None)
@given(st.text(alphabet="ACGT", max_size=300), st.integers(1, 9))
def test_reverse_strand_equals_counting_the_reverse_complement(text, k):
    # The opposite strand is never counted from a reverse-complement text; whichever way it is
    # made, it must equal counting that text itself, and the totals must add up.
    reverse = "".join(COMPLEMENT[c] for c in reversed(text))
    forward = get_kmer_count_seq(text, k, False)
    backward = get_kmer_count_seq(reverse, k, False)
    both = get_kmer_count_seq(text, k, True)
    assert both.counts == [a + b for a, b in zip(forward.counts, backward.counts)]
    assert both.total == forward.total + backward.total == sum(both.counts)


def test_large_counts_survive_conversion():
    result = get_kmer_count_seq("A" * 100_000, 12, True)
    assert result.total == 2 * (100_000 - 11)
    counts = result.counts
    assert counts[0] == counts[-1] == 100_000 - 11 and sum(counts) == result.total


@pytest.mark.parametrize(("k", "length"), [(6, 1_100), (10, 300_000), (12, 30_000)])
def test_reverse_strand_at_large_k(k, length):
    # Texts of at least 4^k / 4 letters derive the reverse strand from the forward counts, in
    # tiles from k = 6 on; shorter ones count each window's reverse complement as they go.
    text = "".join(random.Random(k).choices("ACGT", k=length))
    reverse = "".join(COMPLEMENT[c] for c in reversed(text))
    forward = get_kmer_count_seq(text, k, False).counts
    backward = get_kmer_count_seq(reverse, k, False).counts
    assert get_kmer_count_seq(text, k, True).counts == [a + b for a, b in zip(forward, backward)]
