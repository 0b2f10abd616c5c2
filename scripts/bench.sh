#!/usr/bin/env bash
# Runs every benchmark and writes the tables, with a description of the
# machine, to bench/results.md (also printed).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh
out=bench/results.md
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
venv=$(host_env)

{
    echo "# Benchmark results"
    echo
    echo "Refreshed by \`make bench\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(uname -sr);"
    echo "compiler: $(g++ --version | head -n1). Times are medians of interleaved repetitions;"
    echo "a ratio is this module's time over the peer's, measured in the same run (lower is better)."
    echo
    echo "## Python: cost per pair of calls, one thread"
    echo
    "$venv/bin/python" bench/bench_python.py
    ft_venv=""
    if python_ft=$(find_free_threaded); then
        ft_venv=$(ensure_env "$python_ft")
        "$ft_venv/bin/python" bench/bench_python.py --threads
    else
        echo "(no free-threaded CPython: thread-scaling rows skipped)"
        echo
    fi
    if [ -f bench/bench_layer.py ]; then
        # Peers of the thread/event-loop rows: benchmark environment only.
        for env in "$venv" $ft_venv; do
            "$env/bin/python" -m pip install -q janus culsans >/dev/null 2>&1 \
                || echo "(janus/culsans could not be installed in $env: their rows are skipped)"
        done
        echo "## Python layer against the standard library"
        echo
        "$venv/bin/python" bench/bench_layer.py
        [ -z "$ft_venv" ] || "$ft_venv/bin/python" bench/bench_layer.py
        echo
    fi
    if [ -f bench/native/CMakeLists.txt ]; then
        echo "## C++ cores against std::mutex + std::deque and std::atomic"
        echo
        cmake -S bench/native -B build/bench-native -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build build/bench-native -j2 >/dev/null
        build/bench-native/kestrum_bench --benchmark_format=json --benchmark_repetitions=5 \
            --benchmark_report_aggregates_only=true 2>/dev/null >build/bench-native.json
        "$venv/bin/python" bench/native_table.py build/bench-native.json
    fi
} | tee "$tmp"
cp "$tmp" "$out"
echo "wrote $out"
