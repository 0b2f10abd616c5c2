"""Per-operation cost of the native classes beside the standard library's
fastest C-implemented queues, measured in one run on one interpreter.

Each row times a loop of N pairs of calls; candidates of one row run
interleaved, repetition after repetition, so drift hits all of them alike,
and the median of the repetitions is reported. Prints a Markdown table; with
--threads it also runs the rows on 1 and 2 threads (one shared object and one
object per thread) and reports operations per second.
"""

from __future__ import annotations

import argparse
import collections
import queue
import statistics
import sys
import threading
import time
from typing import Callable

from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup
from kestrum import Channel

N = 20_000
Loop = Callable[[int], None]


def fast_channel_pair(maxsize: int = 0) -> Loop:
    ch = FastChannel(maxsize)
    send, recv, item = ch.try_send, ch.try_recv, object()

    def run(n: int) -> None:
        for _ in range(n):
            send(item)
            recv()
    return run


def channel_full_empty() -> Loop:
    full, empty = FastChannel(1), FastChannel(1)
    full.try_send(0)
    send, recv, item = full.try_send, empty.try_recv, object()

    def run(n: int) -> None:
        for _ in range(n):
            send(item)  # False: full
            recv()      # (False, None): empty
    return run


def layer_channel_pair() -> Loop:
    ch: Channel[object] = Channel()
    send, recv, item = ch.try_send, ch.try_recv, object()

    def run(n: int) -> None:
        for _ in range(n):
            send(item)
            recv()
    return run


def layer_channel_or_pair() -> Loop:
    # The receive for a caller with a sentinel: no (True, item) pair.
    ch: Channel[object] = Channel()
    send, recv, item, missing = ch.try_send, ch.try_recv_or, object(), object()

    def run(n: int) -> None:
        for _ in range(n):
            send(item)
            recv(missing)
    return run


def layer_channel_recv0_pair() -> Loop:
    ch: Channel[object] = Channel()
    send, recv, item = ch.try_send, ch.recv, object()

    def run(n: int) -> None:
        for _ in range(n):
            send(item)
            recv(0)
    return run


def layer_channel_empty() -> Loop:
    ch: Channel[object] = Channel()
    recv = ch.try_recv

    def run(n: int) -> None:
        for _ in range(n):
            recv()  # (False, None): empty
            recv()
    return run


def simple_queue_empty() -> Loop:
    get, empty = queue.SimpleQueue().get_nowait, queue.Empty

    def run(n: int) -> None:
        for _ in range(n):
            try:
                get()
            except empty:
                pass
            try:
                get()
            except empty:
                pass
    return run


def simple_queue_pair() -> Loop:
    q = queue.SimpleQueue()
    put, get, item = q.put, q.get_nowait, object()

    def run(n: int) -> None:
        for _ in range(n):
            put(item)
            get()
    return run


def deque_pair() -> Loop:
    d: collections.deque[object] = collections.deque()
    append, popleft, item = d.append, d.popleft, object()

    def run(n: int) -> None:
        for _ in range(n):
            append(item)
            popleft()
    return run


def pool_local_pair() -> Loop:
    pool = NativeWorkerPool(1)
    push, pop, task = pool.push_local, pool.pop_work, object()

    def run(n: int) -> None:
        for _ in range(n):
            push(0, task)
            pop(0)
    return run


def pool_global_pair() -> Loop:
    pool = NativeWorkerPool(1)
    push, pop, task = pool.push_global, pool.pop_work, object()

    def run(n: int) -> None:
        for _ in range(n):
            push(task)
            pop(0)  # pulls a batch of one through the worker's buffer
    return run


def metrics_pair() -> Loop:
    m = AtomicMetrics(4)
    inc, get = m.inc_park, m.get_park

    def run(n: int) -> None:
        for _ in range(n):
            inc(1)
            get(1)
    return run


def wait_group_pair() -> Loop:
    wg = RawAsyncWaitGroup()
    add, done = wg.add, wg.done

    def run(n: int) -> None:
        for _ in range(n):
            add(1)
            done()
    return run


# (row, candidate factory, peer factories)
ROWS: list[tuple[str, Callable[[], Loop], list[tuple[str, Callable[[], Loop]]]]] = [
    ("FastChannel try_send+try_recv", fast_channel_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair), ("deque append+popleft", deque_pair)]),
    ("FastChannel(1) full try_send + empty try_recv", channel_full_empty,
     [("SimpleQueue put+get_nowait", simple_queue_pair)]),
    ("Channel try_send+try_recv", layer_channel_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair)]),
    ("Channel try_send+try_recv_or", layer_channel_or_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair), ("deque append+popleft", deque_pair)]),
    ("Channel try_send+recv(0)", layer_channel_recv0_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair)]),
    ("Channel 2 empty try_recv", layer_channel_empty,
     [("SimpleQueue 2 empty get_nowait", simple_queue_empty)]),
    ("NativeWorkerPool push_local+pop_work", pool_local_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair), ("deque append+popleft", deque_pair)]),
    ("NativeWorkerPool push_global+pop_work", pool_global_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair), ("deque append+popleft", deque_pair)]),
    ("AtomicMetrics inc_park+get_park", metrics_pair, [("deque append+popleft", deque_pair)]),
    ("RawAsyncWaitGroup add(1)+done()", wait_group_pair,
     [("SimpleQueue put+get_nowait", simple_queue_pair)]),
]


def per_op_ns(loops: dict[str, Loop], repeats: int) -> dict[str, float]:
    """Median ns per pair for each loop, interleaving the loops."""
    for run in loops.values():
        run(N // 4)  # warm-up
    samples: dict[str, list[float]] = {name: [] for name in loops}
    for _ in range(repeats):
        for name, run in loops.items():
            start = time.perf_counter_ns()
            run(N)
            samples[name].append((time.perf_counter_ns() - start) / N)
    return {name: statistics.median(values) for name, values in samples.items()}


def single_thread_table(repeats: int) -> list[dict[str, object]]:
    rows = []
    for row, factory, peers in ROWS:
        loops = {row: factory()} | {peer: make() for peer, make in peers}
        times = per_op_ns(loops, repeats)
        for peer, _ in peers:
            rows.append({"operation": row, "ns": times[row], "peer": peer, "peer_ns": times[peer],
                         "ratio": times[row] / times[peer]})
    return rows


def threaded_ops_per_s(factory: Callable[[], Loop], threads: int, shared: bool, n: int) -> float:
    """Total pairs per second with `threads` threads, each running n pairs.
    An object per thread is made by that thread: made one after another by
    one thread, two threads' items can share a cache line, and the row would
    measure their reference counts fighting over it rather than the objects
    under test."""
    shared_loop = factory() if shared else None
    barrier = threading.Barrier(threads + 1)

    def work() -> None:
        run = shared_loop or factory()
        barrier.wait()
        run(n)
    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return threads * n / (time.perf_counter() - start)


def threaded_table(repeats: int) -> list[dict[str, object]]:
    rows = []
    cases = [("FastChannel pair", fast_channel_pair), ("Channel pair", layer_channel_pair),
             ("NativeWorkerPool push_local+pop_work", pool_local_pair),
             ("AtomicMetrics inc+get", metrics_pair), ("SimpleQueue pair", simple_queue_pair)]
    for name, factory in cases:
        for shared in (True, False):
            for threads in (1, 2):
                rate = statistics.median(threaded_ops_per_s(factory, threads, shared, N * 5)
                                         for _ in range(repeats))
                rows.append({"operation": name, "objects": "shared" if shared else "per thread",
                             "threads": threads, "ops_per_s": rate})
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--threads", action="store_true", help="also run the thread-scaling rows")
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"### Python {sys.version.split()[0]} ({'GIL' if gil else 'free-threaded'})\n")
    print("| operation | ns/pair | peer | peer ns/pair | ratio |")
    print("|---|---:|---|---:|---:|")
    for r in single_thread_table(args.repeats):
        print(f"| {r['operation']} | {r['ns']:.1f} | {r['peer']} | {r['peer_ns']:.1f} | {r['ratio']:.2f} |")
    if args.threads:
        print("\n| operation | objects | threads | pairs/s |")
        print("|---|---|---:|---:|")
        for r in threaded_table(max(3, args.repeats // 5)):
            print(f"| {r['operation']} | {r['objects']} | {r['threads']} | {r['ops_per_s']:,.0f} |")
    print()


if __name__ == "__main__":
    main()
