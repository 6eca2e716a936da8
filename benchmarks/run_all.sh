#!/usr/bin/env bash
# Every benchmark in one run, as docs/benchmarks.md reports them: the figures there come from the
# output this writes to benchmarks/results.txt (and the chart to docs/benchmarks.png).
#
#   python3 -m pip install ".[bench,plot,parallel]" && benchmarks/run_all.sh
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"
{
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $("$python" --version), $(nproc) cores," \
        "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
    for step in "bench_call.py" "bench_fasta.py --repeat 5" "bench_gzip.py" "bench_tools.py --repeat 9" \
                "bench_many_genomes.py" "bench_kmer.py --sizes 10,25,100" "bench_tophit.py" \
                "bench_hmmer.py" "big_inputs.py" "chart.py"; do
        echo
        echo "## benchmarks/$step"
        # shellcheck disable=SC2086
        "$python" benchmarks/$step 2>&1
    done
} | tee benchmarks/results.txt
