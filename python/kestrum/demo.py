"""The package's demo job (``python -m kestrum``): the same batch of small
tasks run through the standard library (``ThreadPoolExecutor`` with a
``queue.Queue``) and through kestrum (``WorkerPool`` with a ``Channel``,
awaited from asyncio with a ``WaitGroup``), a few rounds each, then a table of
both with the speed-up, the pool's per-worker counters, and a check that every
task ran exactly once in every round.

Each task hashes 64 bytes and sends the digest to a collector thread: the kind
of work where the cost of handing tasks and results between threads decides
the throughput.
"""

from __future__ import annotations

import asyncio
import collections
import hashlib
import os
import platform
import queue
import sys
import sysconfig
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from typing import TextIO

from kestrum import Channel, WaitGroup, WorkerMetrics, WorkerPool

TASKS = 20_000
ROUNDS = 5
WORKERS = max(2, min(4, os.cpu_count() or 2))
WAIT = 120.0  # seconds; far beyond a round's time even on a loaded machine

STDLIB = "ThreadPoolExecutor + queue.Queue"
KESTRUM = "WorkerPool + Channel + WaitGroup"


def _digest(number: int) -> bytes:
    return hashlib.blake2b(number.to_bytes(8, "little") * 8, digest_size=16).digest()


@dataclass
class _Tally:
    """What the collector thread received in one round."""

    seen: collections.Counter[int] = field(default_factory=collections.Counter)
    digests: dict[int, bytes] = field(default_factory=dict)
    received: int = 0  # read by the progress line while the collector writes it

    def add(self, number: int, digest: bytes) -> None:
        self.seen[number] += 1
        self.digests[number] = digest
        self.received += 1

    def exactly_once(self) -> bool:
        return (len(self.seen) == TASKS and set(self.seen.values()) == {1}
                and all(self.digests[n] == _digest(n) for n in range(TASKS)))


@dataclass
class _Round:
    seconds: float
    exact: bool
    metrics: list[WorkerMetrics] | None = None


class _Progress:
    """On a terminal, a line that counts the digests collected so far."""

    def __init__(self, out: TextIO, label: str, tally: _Tally) -> None:
        self._out, self._label, self._tally = out, label, tally
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="progress", daemon=True)
        if out.isatty():
            self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(0.1):
            self._out.write(f"\r  {self._label}: {self._tally.received:,}/{TASKS:,} tasks done")
            self._out.flush()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
            self._out.write("\r\033[K")


def _stdlib_round(tally: _Tally) -> _Round:
    results: queue.Queue[tuple[int, bytes] | None] = queue.Queue(maxsize=1024)

    def task(number: int) -> None:
        results.put((number, _digest(number)))

    def collect() -> None:
        while (item := results.get()) is not None:  # None: every task is done
            tally.add(*item)

    start = time.perf_counter()
    collector = threading.Thread(target=collect, name="collector")
    collector.start()
    with ThreadPoolExecutor(WORKERS) as pool:
        futures = [pool.submit(task, number) for number in range(TASKS)]
        finished, pending = wait(futures, timeout=WAIT)
    results.put(None)
    collector.join()
    elapsed = time.perf_counter() - start
    ok = not pending and all(f.exception() is None for f in finished)
    return _Round(elapsed, ok and tally.exactly_once())


def _kestrum_round(tally: _Tally) -> _Round:
    results: Channel[tuple[int, bytes]] = Channel(maxsize=1024)
    wg = WaitGroup()

    def task(number: int) -> None:
        try:
            results.send((number, _digest(number)))
        finally:
            wg.done()

    def collect() -> None:
        for number, digest in results:  # ends once closed and drained
            tally.add(number, digest)

    start = time.perf_counter()
    collector = threading.Thread(target=collect, name="collector")
    collector.start()
    wg.add(TASKS)  # before anyone waits: a wait that starts at zero returns at once
    with WorkerPool(WORKERS) as pool:
        for number in range(TASKS):
            if number % 3 == 0:  # a third asked for one worker, the rest shared
                pool.submit_to(number % WORKERS, task, number)
            else:
                pool.submit(task, number)
        finished = asyncio.run(wg.wait_async(timeout=WAIT))
    results.close()
    collector.join()
    elapsed = time.perf_counter() - start
    # Read after shutdown has joined the workers: a task calls done() just
    # before its worker counts it as completed.
    metrics = pool.metrics()
    counted = sum(m.completed for m in metrics) == TASKS
    return _Round(elapsed, finished and counted and tally.exactly_once(), metrics)


def _interpreter() -> str:
    build = "free-threaded build" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default build"
    gil = "enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "disabled"
    return (f"{platform.python_implementation()} {platform.python_version()} ({build}), GIL {gil}, "
            f"{os.cpu_count()} CPUs")


def _worker_table(metrics: list[WorkerMetrics]) -> list[str]:
    header = ("worker", "tasks run", "pulled from shared queue", "queued by submit_to", "idle polls")
    rows = [(str(m.worker), f"{m.completed:,}", f"{m.global_pulls:,}", f"{m.remote_schedules:,}",
             f"{m.parks:,}") for m in metrics]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    return ["  ".join(cell.rjust(width) for cell, width in zip(row, widths)) for row in [header, *rows]]


def main(out: TextIO = sys.stdout) -> int:
    def say(line: str = "") -> None:
        print(line, file=out, flush=True)

    say(f"kestrum demo: {TASKS:,} small tasks (hash 64 bytes, send the digest to a collector "
        f"thread) on {WORKERS} worker threads")
    say(f"interpreter: {_interpreter()}")
    say()

    runs: dict[str, Callable[[_Tally], _Round]] = {STDLIB: _stdlib_round, KESTRUM: _kestrum_round}
    rounds: dict[str, list[_Round]] = {name: [] for name in runs}
    for number in range(1, ROUNDS + 1):
        times = []
        for name, run in runs.items():  # interleaved, so both see the same machine load
            tally = _Tally()
            progress = _Progress(out, f"round {number}/{ROUNDS}, {name}", tally)
            try:
                result = run(tally)
            finally:
                progress.stop()
            rounds[name].append(result)
            times.append(f"{name} {result.seconds * 1e3:,.0f} ms")
        say(f"round {number}/{ROUNDS}: " + ", ".join(times))

    best = {name: min(r.seconds for r in results) for name, results in rounds.items()}
    say()
    say(f"{'':<34} {'best time':>10} {'tasks/s':>10} {'speed-up':>9}")
    for name in runs:
        say(f"{name:<34} {best[name] * 1e3:>7,.0f} ms {TASKS / best[name]:>10,.0f} "
            f"{best[STDLIB] / best[name]:>8.2f}x")

    metrics = rounds[KESTRUM][-1].metrics or []
    say()
    say("WorkerPool.metrics() after the last round:")
    for line in _worker_table(metrics):
        say("  " + line)
    say("  pulled from shared queue: tasks the worker took from the queue that submit() feeds;")
    say("  queued by submit_to: tasks submit_to put on the worker's own queue (when that queue")
    say("  already held 256, the task went to the shared queue instead);")
    say("  idle polls: times it looked for work and found none, before going to sleep.")

    exact = all(r.exact for results in rounds.values() for r in results)
    say()
    say("every task ran exactly once, in every round of both: " + ("yes" if exact else "NO"))
    return 0 if exact else 1
