"""Turns Google Benchmark JSON (median aggregates) into a Markdown table of
each core beside its baseline, as a ratio of times (lower is better)."""

from __future__ import annotations

import json
import sys

DEQUE, MUTEX, ATOMIC = "std::mutex + std::deque", "std::mutex", "std::atomic"
# (ours, baseline, baseline's name, what)
PAIRS = [
    ("BM_Channel_Pair", "BM_MutexDeque_Pair", DEQUE, "channel send+recv, uncontended"),
    ("BM_Channel_Throughput", "BM_MutexDeque_Throughput", DEQUE, "channel producer/consumer, 2 threads"),
    ("BM_Channel_Shared", "BM_MutexDeque_Shared", DEQUE, "channel send+recv, 2 threads on one channel"),
    ("BM_ShortMutex_Uncontended", "BM_StdMutex_Uncontended", MUTEX, "lock+unlock, uncontended"),
    ("BM_ShortMutex_Contended", "BM_StdMutex_Contended", MUTEX, "lock+unlock, 2 threads"),
    ("BM_Metrics_Increment", "BM_Atomic_Increment", ATOMIC, "counter increment"),
    ("BM_Metrics_OwnSlot", "BM_Atomic_OwnSlot", ATOMIC + " sharing a line", "own-slot increment, 2 threads"),
    ("BM_Pool_PushLocalPop", None, "", "pool push_local+pop_work"),
    ("BM_Pool_PushGlobalPop", None, "", "pool push_global+pop_work"),
]
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(path: str) -> dict[str, float]:
    out = {}
    for bench in json.load(open(path))["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        name = bench["run_name"].split("/")[0]
        out[name] = bench["real_time"] * UNITS[bench["time_unit"]]
    return out


def main() -> None:
    times = medians(sys.argv[1])
    print("| operation | ours | baseline | ratio |")
    print("|---|---:|---:|---:|")
    for ours, base, base_text, what in PAIRS:
        if ours not in times:
            continue
        if base is None or base not in times:
            print(f"| {what} | {times[ours]:,.1f} ns | | |")
        else:
            print(f"| {what} | {times[ours]:,.1f} ns | {times[base]:,.1f} ns ({base_text}) "
                  f"| {times[ours] / times[base]:.2f} |")
    print()


if __name__ == "__main__":
    main()
