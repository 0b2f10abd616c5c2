"""Throughput of the Python layer against the standard library, in one run.

1. Tasks: TASKS trivial calls submitted to ``kestrum.WorkerPool`` and to
   ``concurrent.futures.ThreadPoolExecutor`` with the same number of workers;
   the clock runs from the first submit until every result has been read.
   Imbalanced: one task that sleeps LONG seconds, submitted first, then
   SHORT trivial calls; the clock stops when every short result has been
   read. Against ThreadPoolExecutor and against the same pool without work
   stealing (bench/baseline_pool.py), where the worker that took the long
   task holds a batch of short ones behind it.
2. Pipeline: ITEMS objects from producer threads to consumer threads through
   a bounded ``kestrum.Channel`` and a ``queue.Queue`` of the same size; the
   clock runs until every consumer has its share.

The candidates of each row run alternately, repetition after repetition, so
machine noise hits both alike; each row reports the median rate of each and
their ratio. A fresh pool / channel is built for every repetition.

    python bench/bench_layer.py [--reps 7] [--workers N] [--tasks 100000]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import os
import queue
import statistics
import sys
import threading
import time
from collections.abc import Callable

from kestrum import Channel, ChannelClosed, WorkerPool

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from baseline_pool import NoStealPool  # noqa: E402

Timed = Callable[[], float]


def _square(x: int) -> int:
    return x * x


def pool_run(make: Callable[[], concurrent.futures.Executor], tasks: int) -> Timed:
    def run() -> float:
        with make() as pool:
            pool.submit(_square, 0).result()  # workers up and running
            start = time.perf_counter()
            submit = pool.submit
            futures = [submit(_square, i) for i in range(tasks)]
            for future in futures:
                future.result()
            elapsed = time.perf_counter() - start
        return tasks / elapsed
    return run


def imbalanced_run(make: Callable[[], concurrent.futures.Executor], short: int, long: float) -> Timed:
    def run() -> float:
        with make() as pool:
            pool.submit(_square, 0).result()
            start = time.perf_counter()
            submit = pool.submit
            slow = submit(time.sleep, long)
            futures = [submit(_square, i) for i in range(short)]
            for future in futures:
                future.result()
            elapsed = time.perf_counter() - start
            slow.result()
        return short / elapsed
    return run


_STOP = object()


def pipeline_channel(items: int, producers: int, consumers: int, maxsize: int) -> Timed:
    def run() -> float:
        ch: Channel[object] = Channel(maxsize)
        share = items // producers
        item = object()

        def produce() -> None:
            send = ch.send
            for _ in range(share):
                send(item)

        def consume() -> None:
            recv = ch.recv
            try:
                while True:
                    recv()
            except ChannelClosed:
                pass

        return _pipeline(produce, consume, ch.close, producers, consumers, share * producers)
    return run


def pipeline_queue(items: int, producers: int, consumers: int, maxsize: int) -> Timed:
    def run() -> float:
        q: queue.Queue[object] = queue.Queue(maxsize)
        share = items // producers
        item = object()

        def produce() -> None:
            put = q.put
            for _ in range(share):
                put(item)

        def consume() -> None:
            get = q.get
            while get() is not _STOP:
                pass

        def close() -> None:
            for _ in range(consumers):
                q.put(_STOP)

        return _pipeline(produce, consume, close, producers, consumers, share * producers)
    return run


def _pipeline(produce: Callable[[], None], consume: Callable[[], None], close: Callable[[], None],
              producers: int, consumers: int, total: int) -> float:
    threads_c = [threading.Thread(target=consume) for _ in range(consumers)]
    threads_p = [threading.Thread(target=produce) for _ in range(producers)]
    for t in threads_c:
        t.start()
    start = time.perf_counter()
    for t in threads_p:
        t.start()
    for t in threads_p:
        t.join()
    close()
    for t in threads_c:
        t.join()
    return total / (time.perf_counter() - start)


def compare(label: str, ours: Timed, theirs: Timed, reps: int) -> float:
    mine: list[float] = []
    std: list[float] = []
    for rep in range(reps):
        # Alternate who goes first so neither always runs on a warmer machine.
        order = ((mine, ours), (std, theirs)) if rep % 2 == 0 else ((std, theirs), (mine, ours))
        for sink, fn in order:
            gc.collect()
            sink.append(fn())
    m, s = statistics.median(mine), statistics.median(std)
    print(f"| {label} | {m:,.0f}/s | {s:,.0f}/s | {m / s:.2f}x |", flush=True)
    return m / s


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--tasks", type=int, default=100_000)
    parser.add_argument("--short", type=int, default=20_000)
    parser.add_argument("--long", type=float, default=0.2)
    parser.add_argument("--items", type=int, default=200_000)
    parser.add_argument("--maxsize", type=int, default=1024)
    args = parser.parse_args()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, "
          f"{os.cpu_count()} CPUs, median of {args.reps} interleaved runs\n")
    print("| row | kestrum | stdlib | ratio |")
    print("|---|---|---|---|")
    w = args.workers
    compare(f"{args.tasks:,} tasks, {w} workers: WorkerPool vs ThreadPoolExecutor",
            pool_run(lambda: WorkerPool(w), args.tasks),
            pool_run(lambda: concurrent.futures.ThreadPoolExecutor(w), args.tasks), args.reps)
    imbalanced = f"imbalanced: one {args.long:g} s task, then {args.short:,} tasks, {w} workers: WorkerPool vs "
    compare(imbalanced + "ThreadPoolExecutor",
            imbalanced_run(lambda: WorkerPool(w), args.short, args.long),
            imbalanced_run(lambda: concurrent.futures.ThreadPoolExecutor(w), args.short, args.long), args.reps)
    compare(imbalanced + "the same pool without stealing",
            imbalanced_run(lambda: WorkerPool(w), args.short, args.long),
            imbalanced_run(lambda: NoStealPool(w), args.short, args.long), args.reps)
    for producers, consumers in ((1, 1), (2, 2)):
        compare(f"{args.items:,} items, {producers}P/{consumers}C, maxsize {args.maxsize}: "
                "Channel vs queue.Queue",
                pipeline_channel(args.items, producers, consumers, args.maxsize),
                pipeline_queue(args.items, producers, consumers, args.maxsize), args.reps)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
