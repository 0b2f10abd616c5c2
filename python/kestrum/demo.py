"""The package's demo job (``python -m kestrum``): hash many small inputs on a
WorkerPool, collect the digests through a Channel, await the whole batch with
a WaitGroup from asyncio, then show the per-worker metrics and check that
every task ran exactly once."""

from __future__ import annotations

import asyncio
import collections
import hashlib
import os
import sys
import threading
import time

from kestrum import Channel, WaitGroup, WorkerPool

TASKS = 20_000
WORKERS = max(2, min(4, os.cpu_count() or 2))


def _payload(number: int) -> bytes:
    return number.to_bytes(8, "little") * 8


def _digest(number: int) -> bytes:
    return hashlib.blake2b(_payload(number), digest_size=16).digest()


def _hash_task(number: int, results: Channel[tuple[int, bytes]], wg: WaitGroup) -> None:
    try:
        results.send((number, _digest(number)))
    finally:
        wg.done()


def main() -> int:
    gil = "enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "disabled"
    print(f"kestrum demo: {TASKS} hashing tasks on {WORKERS} workers, "
          f"Python {sys.version.split()[0]}, GIL {gil}")

    results: Channel[tuple[int, bytes]] = Channel(maxsize=1024)
    seen: collections.Counter[int] = collections.Counter()
    digests: dict[int, bytes] = {}

    def collect() -> None:
        for number, digest in results:  # ends once closed and drained
            seen[number] += 1
            digests[number] = digest

    collector = threading.Thread(target=collect, name="collector")
    collector.start()
    wg = WaitGroup()
    wg.add(TASKS)  # before anyone waits: a wait that starts at zero returns at once

    start = time.perf_counter()
    with WorkerPool(WORKERS) as pool:
        for number in range(TASKS):
            if number % 3 == 0:  # a third pinned to one worker, the rest shared
                pool.submit_to(number % WORKERS, _hash_task, number, results, wg)
            else:
                pool.submit(_hash_task, number, results, wg)
        finished = asyncio.run(wg.wait_async(timeout=60))
        elapsed = time.perf_counter() - start
    # Read after shutdown has joined the workers: a task calls done() just
    # before its worker counts it as completed.
    metrics = pool.metrics()
    results.close()
    collector.join()

    print(f"\n{'worker':>6} {'active':>6} {'done':>7} {'pulled':>7} {'parks':>6} "
          f"{'pinned':>7} {'depth':>6}")
    for m in metrics:
        print(f"{m.worker:>6} {m.active:>6} {m.completed:>7} {m.global_pulls:>7} {m.parks:>6} "
              f"{m.remote_schedules:>7} {m.injection_queue_depth:>6}")
    print(f"\nthroughput: {TASKS / elapsed:,.0f} tasks/s ({elapsed * 1e3:.1f} ms)")

    once = finished and len(seen) == TASKS and set(seen.values()) == {1}
    correct = all(digests.get(n) == _digest(n) for n in range(TASKS))
    counted = sum(m.completed for m in metrics) == TASKS
    ok = once and correct and counted
    print("every task ran exactly once:", "yes" if ok else
          f"NO (waited: {finished}, distinct: {len(seen)}, correct: {correct}, counted: {counted})")
    return 0 if ok else 1
