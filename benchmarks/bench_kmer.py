"""Benchmarks of velko.kmer against the same work in pure Python and in NumPy.

Usage: python3 benchmarks/bench_kmer.py [--sizes 10,100] [--repeat 3] [--skip-index]

Prints, in one run, k-mer counting speed (MB/s) for each text size and k with and without the
reverse strand, enumeration and index building for k = 8, 10, 12, the reverse complement of a
100 Mb DnaSequence, the peak memory of one count, and two threads counting at once. Every figure
comes with its ratio to the peers measured in the same run: the machines are shared and noisy,
so ratios are what compare.
"""

import argparse
import ctypes
import itertools
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_of  # noqa: E402

from velko.fasta import DnaSequence  # noqa: E402
from velko.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers  # noqa: E402

MB = 1_000_000
CODES = np.full(256, 255, dtype=np.uint8)
CODES[list(b"ACGT")] = [0, 1, 2, 3]
COMPLEMENT = bytes.maketrans(b"ACGT", b"TGCA")


def random_text(size, seed=20240601):
    rng = np.random.default_rng(seed)
    return np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, size)].tobytes().decode()


def naive_index(k):
    return {"".join(p): i for i, p in enumerate(itertools.product("ACGT", repeat=k))}


def naive_counts(text, k, both, index):
    """A dict lookup per window, as one would write it in Python."""
    counts = [0] * len(index)
    for p in range(len(text) - k + 1):
        counts[index[text[p : p + k]]] += 1
    if both:
        reverse = text.translate(str.maketrans("ACGT", "TGCA"))[::-1]
        for p in range(len(reverse) - k + 1):
            counts[index[reverse[p : p + k]]] += 1
    return counts


def numpy_counts(data, k, both, chunk=8 * MB):
    """Vectorised: 2-bit codes, window indexes by shifted sums, one bincount per chunk."""
    counts = np.zeros(4**k, dtype=np.int64)
    texts = [data, data.translate(COMPLEMENT)[::-1]] if both else [data]
    for text in texts:
        codes = CODES[np.frombuffer(text, dtype=np.uint8)]
        for start in range(0, max(len(codes) - k + 1, 0), chunk):
            part = codes[start : start + chunk + k - 1].astype(np.uint32)
            windows = len(part) - k + 1
            index = part[:windows].copy()
            for j in range(1, k):
                index <<= 2
                index |= part[j : j + windows]
            counts += np.bincount(index, minlength=4**k)
    return counts.tolist()


C_LOOP = r"""
#include <stddef.h>
#include <stdint.h>
int count(const unsigned char* text, size_t n, int k, uint64_t* counts) {
    signed char code[256];
    for (int i = 0; i < 256; ++i) code[i] = -1;
    code['A'] = 0; code['C'] = 1; code['G'] = 2; code['T'] = 3;
    uint64_t mask = (k == 0) ? 0 : ((uint64_t)1 << (2 * k)) - 1, index = 0;
    for (size_t i = 0; i < n; ++i) {
        int c = code[text[i]];
        if (c < 0) return -1;
        index = ((index << 2) | (uint64_t)c) & mask;
        if (i + 1 >= (size_t)k) ++counts[index];
    }
    return 0;
}
"""


def load_c_loop():
    """The plain C loop as a peer: compiled here with the system's cc, or None without one."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    folder = tempfile.mkdtemp()
    source, library = os.path.join(folder, "loop.c"), os.path.join(folder, "loop.so")
    with open(source, "w") as file:
        file.write(C_LOOP)
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", source, "-o", library], check=True)
    return ctypes.CDLL(library).count


def c_loop_counts(count, data, k, both):
    """Count with the C loop, then build the Python list of counts."""
    counts = np.zeros(4**k, dtype=np.uint64)
    for text in [data, data.translate(COMPLEMENT)[::-1]] if both else [data]:
        count(text, ctypes.c_size_t(len(text)), k, counts.ctypes.data_as(ctypes.c_void_p))
    return counts.tolist()


def row(label, seconds, peers):
    ratios = "  ".join(f"{name} {other / seconds:6.1f}x" for name, other in peers.items())
    print(f"  {label:<34} {seconds:8.3f} s   {ratios}", flush=True)


def bench_counting(sizes, repeat):
    print("get_kmer_count_seq (MB/s; each peer's ratio is its time over velko's with .counts,")
    print("so above 1 is faster than the peer; the C loop counts and then builds the list)")
    naive_sample = random_text(1 * MB, seed=7)
    c_loop = load_c_loop()
    for size in sizes:
        text = random_text(size * MB)
        data = text.encode()
        for k in (4, 8, 12):
            # The pure-Python loop runs on a 1 MB sample, scaled to the full size, plus the one
            # index it builds per call; timed beside velko's rows, as the load on a shared
            # machine changes from minute to minute.
            index_time = best_of(repeat, lambda: naive_index(k))
            index = naive_index(k)
            # The index is bound as a default: the name is deleted below, before velko is timed.
            per_mb = {
                both: best_of(repeat, lambda i=index: naive_counts(naive_sample, k, both, i))
                for both in (False, True)
            }
            del index
            for both in (False, True):
                count = best_of(repeat, lambda: get_kmer_count_seq(text, k, both))
                with_list = best_of(repeat, lambda: get_kmer_count_seq(text, k, both).counts)
                numpy_time = best_of(repeat, lambda: numpy_counts(data, k, both))
                c_time = (
                    best_of(repeat, lambda: c_loop_counts(c_loop, data, k, both)) if c_loop else 0
                )
                naive_time = index_time + size * per_mb[both]
                strand = "both strands" if both else "forward"
                print(
                    f"  {size:>4} MB k={k:<2} {strand:<12}  velko {size / count:8.0f} MB/s"
                    f"  with .counts {size / with_list:7.0f} MB/s ({with_list:.3f} s)"
                    f"  C loop {c_time / with_list:4.2f}x"
                    f"  numpy {size / numpy_time:6.0f} MB/s ({numpy_time / with_list:5.1f}x)"
                    f"  python {size / naive_time:5.1f} MB/s ({naive_time / with_list:6.0f}x)",
                    flush=True,
                )


def bench_vocabulary(repeat, skip_index):
    print("get_possible_kmers / get_kmer_to_idx")
    for k in (8, 10, 12):
        runs = repeat if k < 12 else 1  # k = 12 builds 16.7 million entries: once for each
        velko_list = best_of(runs, lambda: get_possible_kmers(k))
        product = best_of(runs, lambda: ["".join(p) for p in itertools.product("ACGT", repeat=k)])
        row(f"get_possible_kmers({k})", velko_list, {"itertools.product": product})
        if skip_index:
            continue
        kmers = ["".join(p) for p in itertools.product("ACGT", repeat=k)]
        velko_index = best_of(runs, lambda: get_kmer_to_idx(k))
        comprehension = best_of(
            runs,
            lambda: {
                kmer: i
                for i, kmer in enumerate(["".join(p) for p in itertools.product("ACGT", repeat=k)])
            },
        )
        # The floor: only inserting ready-made keys and values into a dict.
        values = list(range(len(kmers)))
        floor = best_of(runs, lambda kmers=kmers, values=values: dict(zip(kmers, values)))
        row(
            f"get_kmer_to_idx({k})",
            velko_index,
            {"dict comprehension": comprehension, "dict(zip) of ready keys": floor},
        )
        del kmers, values


def bench_reverse_complement(repeat):
    print("DnaSequence.rev_complement on 100 Mb")
    text = random_text(100 * MB)
    data = text.encode()
    sequence = DnaSequence(text)
    velko = best_of(repeat, lambda: sequence.rev_complement())
    translate = best_of(repeat, lambda: data.translate(COMPLEMENT)[::-1])
    row("rev_complement()", velko, {"bytes.translate+slice": translate})


PEAK_SCRIPT = """
import numpy as np
from velko.kmer import get_kmer_count_seq
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))
rng = np.random.default_rng(1)
text = np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, 100_000_000, dtype=np.uint8)]
text = text.tobytes().decode()
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:  # resets the peak (VmHWM) to the current size
    f.write("5")
result = get_kmer_count_seq(text, 12, True)
print(status("VmHWM") - before)
"""


def bench_peak_memory():
    print("peak memory of get_kmer_count_seq(100 MB text, 12, True)")
    grown = int(
        subprocess.run(
            [sys.executable, "-c", PEAK_SCRIPT], check=True, capture_output=True, text=True
        ).stdout
    )
    count_list = 8 * 4**12
    print(
        f"  peak grew by {grown / MB:.1f} MB; the count list is {count_list / MB:.1f} MB "
        f"(+{(grown - count_list) / MB:.1f} MB)"
    )


def bench_threads(repeat):
    print("two threads counting different 50 MB texts (k = 8), against one after the other")
    texts = [random_text(50 * MB, seed=s) for s in (1, 2)]

    def sequential():
        for text in texts:
            get_kmer_count_seq(text, 8, False)

    def parallel():
        threads = [threading.Thread(target=get_kmer_count_seq, args=(t, 8, False)) for t in texts]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    row("2 threads", best_of(repeat, parallel), {"sequential": best_of(repeat, sequential)})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10,100", help="text sizes in MB, comma separated")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    parser.add_argument("--skip-index", action="store_true", help="skip get_kmer_to_idx")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    bench_counting(sizes, args.repeat)
    bench_vocabulary(args.repeat, args.skip_index)
    bench_reverse_complement(args.repeat)
    bench_peak_memory()
    bench_threads(args.repeat)


if __name__ == "__main__":
    main()
