"""A small workload through the native pool: worker threads, a producer,
per-worker metrics, then close and drain, checking that every task ran once."""

from __future__ import annotations

import hashlib
import os
import sys
import threading
import time

from kestrum._kestrum_core import AtomicMetrics, NativeWorkerPool, ThreadPoolClosedError

TASKS = 20_000
WORKERS = max(2, min(4, os.cpu_count() or 2))


def _worker(pool: NativeWorkerPool, metrics: AtomicMetrics, index: int,
            ran: list[int], digests: dict[int, bytes]) -> None:
    idle = 0.0
    while True:
        try:
            task = pool.pop_work(index)
        except ThreadPoolClosedError:
            return  # closed and nothing left for this worker
        if task is None:
            # Back off a little while idle; the pool itself never waits.
            idle = min(idle * 2 or 1e-5, 1e-3)
            time.sleep(idle)
            continue
        idle = 0.0
        metrics.inc_active(index)
        number, payload = task
        digests[number] = hashlib.blake2b(payload, digest_size=16).digest()
        ran[index] += 1
        metrics.dec_active(index)


def main() -> int:
    gil = "enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "disabled"
    print(f"kestrum demo: {TASKS} tasks, {WORKERS} workers, Python {sys.version.split()[0]}, GIL {gil}")
    pool = NativeWorkerPool(WORKERS)
    metrics = AtomicMetrics(WORKERS)
    pool.set_metrics(metrics)
    ran = [0] * WORKERS
    digests: dict[int, bytes] = {}
    threads = [threading.Thread(target=_worker, args=(pool, metrics, i, ran, digests))
               for i in range(WORKERS)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for number in range(TASKS):
        task = (number, number.to_bytes(8, "little") * 8)
        if number % 3 == 0:
            pool.push_local(number % WORKERS, task)  # pinned to one worker
        else:
            pool.push_global(task)
    pool.close()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start

    print(f"{'worker':>6} {'tasks':>7} {'done':>7} {'pulls':>7} {'parks':>7} {'remote':>7} {'depth':>6}")
    for i in range(WORKERS):
        print(f"{i:>6} {ran[i]:>7} {metrics.get_completed(i):>7} {metrics.get_global_pull(i):>7} "
              f"{metrics.get_park(i):>7} {metrics.get_remote_schedule(i):>7} "
              f"{metrics.get_injection_queue_depth(i):>6}")
    print(f"throughput: {TASKS / elapsed:,.0f} tasks/s ({elapsed * 1e3:.1f} ms)")
    ok = sum(ran) == TASKS and len(digests) == TASKS
    print("every task ran exactly once:", "yes" if ok else "NO")
    return 0 if ok else 1
