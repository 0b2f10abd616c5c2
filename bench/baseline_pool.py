"""A pool without work stealing, as a benchmark baseline for WorkerPool.

Its workers feed on ``NativeWorkerPool`` the way WorkerPool did before it
could steal: each pulls a batch from the shared queue into a private buffer
that no other worker may take from. Same futures, same parking; only the
scheduling differs, so a row comparing the two measures what stealing buys.
It is a benchmark fixture, not a general executor: ``shutdown`` expects every
submitted task to be done or about to be.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from concurrent.futures import Executor, Future
from typing import Any

from kestrum import AtomicMetrics, NativeWorkerPool, ThreadPoolClosedError
from kestrum.pool import _TaskFuture


class NoStealPool(Executor):
    def __init__(self, workers: int) -> None:
        self._native = NativeWorkerPool(workers)
        self._counters = AtomicMetrics(workers)
        self._native.set_metrics(self._counters)  # the queue depth parking reads
        self._idle_lock = threading.Lock()
        self._idle: list[int] = []
        self._parked = [False] * workers
        self._parkers = [threading.Lock() for _ in range(workers)]
        for parker in self._parkers:
            parker.acquire()
        self._threads = [threading.Thread(target=self._work, args=(i,)) for i in range(workers)]
        for thread in self._threads:
            thread.start()

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        future = _TaskFuture(fn, args, kwargs)
        self._native.push_global(future)
        if self._idle:
            with self._idle_lock:
                if self._idle:
                    self._wake_lock_held(self._idle.pop())
        return future

    def _wake_lock_held(self, index: int) -> None:
        self._parked[index] = False
        self._parkers[index].release()

    def _park(self, index: int) -> None:
        # Announce, re-check, block: a push either sees the announcement or
        # its task is seen by the re-check (see the earlier WorkerPool).
        with self._idle_lock:
            self._idle.append(index)
            self._parked[index] = True
        try:
            task = self._native.pop_work(index)
            visible = task is not None or self._counters.get_injection_queue_depth(index) != 0
        except ThreadPoolClosedError:
            task, visible = None, True
        if not visible:
            self._parkers[index].acquire()
            return
        with self._idle_lock:
            claimed = not self._parked[index]
            if not claimed:
                self._parked[index] = False
                self._idle.remove(index)
        if claimed:
            self._parkers[index].acquire()
        if task is not None:
            task._run()

    def _work(self, index: int) -> None:
        pop = self._native.pop_work
        while True:
            try:
                task = pop(index)
            except ThreadPoolClosedError:
                return
            if task is None:
                self._park(index)
            else:
                task._run()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._native.close()
        with self._idle_lock:
            while self._idle:
                self._wake_lock_held(self._idle.pop())
        if wait:
            for thread in self._threads:
                thread.join()
