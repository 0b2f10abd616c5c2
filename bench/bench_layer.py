"""Throughput of the Python layer against the standard library, in one run.

1. Tasks: TASKS trivial calls submitted to ``kestrum.WorkerPool`` and to
   ``concurrent.futures.ThreadPoolExecutor`` with the same number of workers;
   the clock runs from the first submit until every result has been read
   (again with ``metrics=False``). Tiny tasks: TASKS calls of
   ``sum(range(50))`` through ``WorkerPool.map(chunksize=TASKS/(20*workers))``
   and through ``submit_many``, against the same calls in a serial loop; and
   the same split over bare threads, the most the interpreter gives right
   now, and over separate processes, the most the machine gives right now.
   Imbalanced: one task that sleeps LONG seconds, submitted first, then
   SHORT trivial calls; the clock stops when every short result has been
   read. Against ThreadPoolExecutor and against the same pool without work
   stealing (bench/baseline_pool.py), where the worker that took the long
   task holds a batch of short ones behind it.
2. Pipeline: ITEMS objects from producer threads to consumer threads through
   a bounded ``kestrum.Channel`` and a ``queue.Queue`` of the same size; the
   clock runs until every consumer has its share.
3. Threads and event loops: ITEMS objects from a thread to a coroutine and
   from a coroutine to a thread through a bounded ``Channel`` and through the
   sync/async queues janus and culsans offer (rows skipped for a peer that is
   not installed); and TASKS calls awaited from coroutines through
   ``await WorkerPool.run`` and through ``loop.run_in_executor`` on a
   ``ThreadPoolExecutor``, all in flight at once (``gather``) and one at a
   time.

The candidates of each row run alternately, repetition after repetition, so
machine noise hits both alike; each row reports the median rate of each,
their ratio, and the lowest and highest ratio of one repetition's pair. A fresh pool / channel is built for every repetition.

    python bench/bench_layer.py [--reps 7] [--workers N] [--tasks 100000]
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import gc
import math
import os
import queue
import statistics
import subprocess
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


def round_trips(make: Callable[[], concurrent.futures.Executor], calls: int) -> Timed:
    """submit(...).result(), one call at a time: the latency of handing a
    task to a parked worker and waiting for its result."""
    def run() -> float:
        with make() as pool:
            pool.submit(_square, 0).result()
            start = time.perf_counter()
            submit = pool.submit
            for i in range(calls):
                submit(_square, i).result()
            elapsed = time.perf_counter() - start
        return calls / elapsed
    return run


def _tiny() -> int:
    return sum(range(50))


def _tiny_of(_: object) -> int:
    return sum(range(50))


def tiny_serial(tasks: int) -> Timed:
    def run() -> float:
        start = time.perf_counter()
        for _ in range(tasks):
            _tiny()
        return tasks / (time.perf_counter() - start)
    return run


def tiny_raw_threads(workers: int, tasks: int) -> Timed:
    """The ceiling: `workers` bare threads sharing the calls, no pool."""
    def run() -> float:
        barrier = threading.Barrier(workers + 1)

        def work() -> None:
            barrier.wait()
            for _ in range(tasks // workers):
                _tiny()

        threads = [threading.Thread(target=work) for _ in range(workers)]
        for thread in threads:
            thread.start()
        start = time.perf_counter()
        barrier.wait()
        for thread in threads:
            thread.join()
        return tasks // workers * workers / (time.perf_counter() - start)
    return run


# A child of tiny_processes(): says it is ready, waits for the word, runs
# its share of the calls, and prints how long that took.
_TINY_CHILD = """
import sys, time
def _tiny():
    return sum(range(50))
calls = int(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
start = time.perf_counter()
for _ in range(calls):
    _tiny()
print(time.perf_counter() - start, flush=True)
"""


def tiny_processes(processes: int, tasks: int) -> Timed:
    """The machine's ceiling: `processes` interpreters of their own share the
    calls. They share nothing, so what they fall short of `processes` times
    one loop's speed is the machine's (cores shared with other guests, say),
    not the interpreter's or a pool's."""
    share = tasks // processes

    def run() -> float:
        children = [subprocess.Popen([sys.executable, "-c", _TINY_CHILD, str(share)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                    for _ in range(processes)]
        for child in children:  # all started up before any begins
            assert child.stdout is not None and child.stdout.readline() == "ready\n"
        for child in children:
            assert child.stdin is not None
            child.stdin.write("go\n")
            child.stdin.flush()
        longest = max(float(child.communicate()[0]) for child in children)
        return share * processes / longest
    return run


def tiny_pool(workers: int, tasks: int, how: str) -> Timed:
    def run() -> float:
        with WorkerPool(workers) as pool:
            pool.submit(_tiny).result()
            start = time.perf_counter()
            if how == "map":
                for _ in pool.map(_tiny_of, range(tasks), chunksize=max(1, tasks // (20 * workers))):
                    pass
            else:
                for future in pool.submit_many(_tiny, [()] * tasks):
                    future.result()
            return tasks / (time.perf_counter() - start)
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
    return _pipeline_stdlib(lambda: queue.Queue(maxsize), items, producers, consumers)


def pipeline_simple_queue(items: int, producers: int, consumers: int) -> Timed:
    return _pipeline_stdlib(queue.SimpleQueue, items, producers, consumers)


def _pipeline_stdlib(make: Callable[[], queue.Queue[object] | queue.SimpleQueue[object]],
                     items: int, producers: int, consumers: int) -> Timed:
    """A standard-library queue with blocking puts and gets; consumers stop at _STOP."""
    def run() -> float:
        q = make()
        share = items // producers
        item = object()

        def produce() -> None:
            put = q.put
            for _ in range(share):
                put(item)

        def consume() -> None:
            get = q.get  # blocking
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


# -- threads and event loops -------------------------------------------------

# A bridge is (make, thread_send, thread_recv, async_send, async_recv, close),
# built inside the running loop (janus needs one); a consumer stops at _STOP.
Bridge = tuple[object, Callable[[object], object], Callable[[], object],
               Callable[[object], object], Callable[[], object], Callable[[], object]]


def _channel_bridge(maxsize: int) -> Bridge:
    ch: Channel[object] = Channel(maxsize)
    return ch, ch.send, ch.recv, ch.send_async, ch.recv_async, ch.close


def _janus_bridge(maxsize: int) -> Bridge:
    import janus
    q: janus.Queue[object] = janus.Queue(maxsize)
    return q, q.sync_q.put, q.sync_q.get, q.async_q.put, q.async_q.get, q.close


def _culsans_bridge(maxsize: int) -> Bridge:
    import culsans
    q: culsans.Queue[object] = culsans.Queue(maxsize)
    return q, q.sync_q.put, q.sync_q.get, q.async_q.put, q.async_q.get, q.close


def thread_to_coroutine(bridge: Callable[[int], Bridge], items: int, maxsize: int) -> Timed:
    async def main() -> float:
        _, send, _, _, recv_async, _ = bridge(maxsize)
        item = object()

        def produce() -> None:
            for _ in range(items):
                send(item)
            send(_STOP)

        producer = threading.Thread(target=produce)
        start = time.perf_counter()
        producer.start()
        while await recv_async() is not _STOP:
            pass
        elapsed = time.perf_counter() - start
        producer.join()
        return items / elapsed
    return lambda: asyncio.run(main())


def coroutine_to_thread(bridge: Callable[[int], Bridge], items: int, maxsize: int) -> Timed:
    async def main() -> float:
        _, _, recv, send_async, _, _ = bridge(maxsize)
        item = object()
        done = threading.Event()

        def consume() -> None:
            while recv() is not _STOP:
                pass
            done.set()

        consumer = threading.Thread(target=consume)
        consumer.start()
        start = time.perf_counter()
        for _ in range(items):
            await send_async(item)
        await send_async(_STOP)
        await asyncio.to_thread(done.wait)
        elapsed = time.perf_counter() - start
        consumer.join()
        return items / elapsed
    return lambda: asyncio.run(main())


def awaited_calls(kind: str, workers: int, tasks: int, together: bool) -> Timed:
    async def main() -> float:
        loop = asyncio.get_running_loop()
        if kind == "kestrum":
            pool = WorkerPool(workers)
            call = pool.run
        else:
            executor = concurrent.futures.ThreadPoolExecutor(workers)

            def call(fn: Callable[[int], int], arg: int) -> asyncio.Future[int]:
                return loop.run_in_executor(executor, fn, arg)

        async def one(i: int) -> int:
            return await call(_square, i)

        await one(0)  # workers up and running
        start = time.perf_counter()
        if together:
            await asyncio.gather(*[one(i) for i in range(tasks)])
        else:
            for i in range(tasks):
                await one(i)
        elapsed = time.perf_counter() - start
        if kind == "kestrum":
            pool.shutdown()
        else:
            executor.shutdown()
        return tasks / elapsed
    return lambda: asyncio.run(main())


def _installed(name: str) -> bool:
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def compare_peers(label: str, ours: Timed, peers: dict[str, Timed | None], reps: int) -> float:
    """One row: kestrum against each installed peer, interleaved; the ratio
    is against the fastest peer."""
    runs: dict[str, list[float]] = {"kestrum": []}
    candidates = [("kestrum", ours)]
    for name, fn in peers.items():
        if fn is not None:
            runs[name] = []
            candidates.append((name, fn))
    for rep in range(reps):
        order = candidates if rep % 2 == 0 else candidates[::-1]
        for name, fn in order:
            gc.collect()
            runs[name].append(fn())
    med = {name: statistics.median(rates) for name, rates in runs.items()}
    best = max((rate for name, rate in med.items() if name != "kestrum"), default=float("nan"))
    cells = " | ".join(f"{med[name]:,.0f}/s" if name in med else "-" for name in ("kestrum", *peers))
    ratio = med["kestrum"] / best
    print(f"| {label} | {cells} | {'-' if math.isnan(ratio) else f'{ratio:.2f}x'} |", flush=True)
    return ratio


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
    # The ratio of each interleaved pair of runs, lowest to highest: on a
    # small shared machine some rows switch between regimes from one run to
    # the next, and the median alone hides that.
    paired = sorted(a / b for a, b in zip(mine, std))
    print(f"| {label} | {m:,.0f}/s | {s:,.0f}/s | {m / s:.2f}x | {paired[0]:.2f}-{paired[-1]:.2f}x |",
          flush=True)
    compare.medians = (m, s)  # type: ignore[attr-defined]
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
    print("| row | kestrum | stdlib | ratio | range over runs |")
    print("|---|---|---|---|---|")
    w = args.workers
    compare(f"{args.tasks:,} tasks, {w} workers: WorkerPool vs ThreadPoolExecutor",
            pool_run(lambda: WorkerPool(w), args.tasks),
            pool_run(lambda: concurrent.futures.ThreadPoolExecutor(w), args.tasks), args.reps)
    ours, theirs = compare.medians  # type: ignore[attr-defined]
    per_task = f"{1e6 / ours:.2f} us vs {1e6 / theirs:.2f} us per task"
    compare(f"{args.tasks:,} tasks, {w} workers, metrics=False: WorkerPool vs ThreadPoolExecutor",
            pool_run(lambda: WorkerPool(w, metrics=False), args.tasks),
            pool_run(lambda: concurrent.futures.ThreadPoolExecutor(w), args.tasks), args.reps)
    compare(f"{args.tasks // 5:,} calls, {w} workers, one at a time: submit(f).result(), "
            "WorkerPool vs ThreadPoolExecutor",
            round_trips(lambda: WorkerPool(w), args.tasks // 5),
            round_trips(lambda: concurrent.futures.ThreadPoolExecutor(w), args.tasks // 5), args.reps)
    tiny = f"{args.tasks:,} tiny tasks (sum(range(50))), {w} workers: "
    compare(tiny + "WorkerPool.map(chunksize) vs a serial loop",
            tiny_pool(w, args.tasks, "map"), tiny_serial(args.tasks), args.reps)
    compare(tiny + "WorkerPool.submit_many vs a serial loop",
            tiny_pool(w, args.tasks, "many"), tiny_serial(args.tasks), args.reps)
    compare(tiny + f"{w} bare threads (the interpreter's ceiling) vs a serial loop",
            tiny_raw_threads(w, args.tasks), tiny_serial(args.tasks), args.reps)
    compare(tiny + f"{w} processes (the machine's ceiling) vs a serial loop",
            tiny_processes(w, args.tasks), tiny_serial(args.tasks), args.reps)
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
        compare(f"{args.items:,} items, {producers}P/{consumers}C, unbounded: "
                "Channel vs SimpleQueue (blocking get)",
                pipeline_channel(args.items, producers, consumers, 0),
                pipeline_simple_queue(args.items, producers, consumers), args.reps)

    print(f"\nWorkerPool no-op task: {per_task} (ThreadPoolExecutor), median of the first row.")
    print("\n| thread/event-loop row | kestrum | janus | culsans | vs best peer |")
    print("|---|---|---|---|---|")
    n, m = args.items, args.maxsize
    bridges = {"janus": _janus_bridge, "culsans": _culsans_bridge}
    for label, scenario in (("thread to coroutine", thread_to_coroutine),
                            ("coroutine to thread", coroutine_to_thread)):
        compare_peers(f"{n:,} items, {label}, maxsize {m}: Channel",
                      scenario(_channel_bridge, n, m),
                      {name: scenario(make, n, m) if _installed(name) else None
                       for name, make in bridges.items()}, args.reps)
    print("\n| awaited pool calls | kestrum | run_in_executor | ratio | range over runs |")
    print("|---|---|---|---|---|")
    calls = args.tasks // 5
    for together, how in ((True, "all in flight (gather)"), (False, "one at a time")):
        compare(f"{calls:,} calls, {w} workers, {how}: await pool.run vs run_in_executor(ThreadPoolExecutor)",
                awaited_calls("kestrum", w, calls, together),
                awaited_calls("executor", w, calls, together), args.reps)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
