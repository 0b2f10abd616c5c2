"""Progress: while a worker is idle, no runnable task waits.

Each test builds a situation where a task can only finish if some other task
runs at the same time, or where one worker is stuck and another is idle, and
asserts that the work still gets done. A stranded task shows up as a broken
barrier or a timed-out wait, never as a slow pass.
"""

import threading
import time

import pytest

from kestrum import WorkerPool

T = 10  # generous: a healthy run finishes each wait in milliseconds


@pytest.mark.parametrize("workers", [2, 4], ids=["2-workers", "4-workers"])
@pytest.mark.parametrize("rounds", [20])
def test_rendezvous_of_n_threaded_tasks_on_n_workers(workers, rounds):
    # n tasks that all wait for each other can only pass together: every
    # worker must be running one of them at the same time.
    with WorkerPool(workers) as pool:
        for _ in range(rounds):
            barrier = threading.Barrier(workers, timeout=T)
            futures = [pool.submit(barrier.wait) for _ in range(workers)]
            assert sorted(f.result(T) for f in futures) == list(range(workers))


def test_concurrent_sleeps_overlap_on_threaded_workers():
    # A task that waits holds its worker, not the tasks queued behind it.
    with WorkerPool(4) as pool:
        for _ in range(3):
            started = [threading.Event() for _ in range(4)]
            release = threading.Event()
            futures = [pool.submit(lambda e=e: (e.set(), release.wait(T))) for e in started]
            assert all(e.wait(T) for e in started), "a task waited behind a blocked one"
            release.set()
            assert all(f.result(T)[1] for f in futures)


@pytest.mark.parametrize("how", ["one-burst", "pinned-and-shared"])
def test_blocked_task_does_not_hold_queued_tasks_in_threaded_pool(how):
    with WorkerPool(2) as pool:
        started, release = threading.Event(), threading.Event()
        block = lambda: (started.set(), release.wait(T))  # noqa: E731
        try:
            if how == "one-burst":
                # Queued together, so the worker that starts the blocker has
                # likely taken some of the quick ones along with it.
                blocker = pool.submit(block)
                quick = [pool.submit(int, i) for i in range(40)]
            else:
                blocker = pool.submit_to(0, block)
                assert started.wait(T)
                quick = [pool.submit(int, i) if i % 2 else pool.submit_to(1, int, i) for i in range(40)]
            deadline = time.monotonic() + T
            assert [f.result(max(0.0, deadline - time.monotonic())) for f in quick] == list(range(40))
        finally:
            release.set()
        assert blocker.result(T)[1]


def test_pinned_overflow_runs_on_an_idle_threaded_worker():
    # Worker 0 is stuck; what overflowed its local queue went to the shared
    # queue, and the idle worker 1 must take it from there.
    with WorkerPool(2) as pool:
        started, release = threading.Event(), threading.Event()
        blocker = pool.submit_to(0, lambda: (started.set(), release.wait(T)))
        assert started.wait(T)
        try:
            futures = [pool.submit_to(0, int, i) for i in range(300)]
            overflow = futures[256:]
            deadline = time.monotonic() + T
            ran = 0
            for f in overflow:
                f.result(max(0.0, deadline - time.monotonic()))
                ran += 1
            assert ran == len(overflow)
            # The pinned ones stay with their worker while it is busy.
            assert not any(f.done() for f in futures[:256])
        finally:
            release.set()
        assert [f.result(T) for f in futures] == list(range(300))
        assert blocker.result(T)[1]


def test_nested_waits_never_starve_threaded_pool():
    # Each outer task waits for an inner one it submitted: with n outer tasks
    # on n + 1 workers some worker is always free for the inner ones.
    with WorkerPool(3) as pool:
        def outer(i):
            return pool.submit(lambda: i * i).result(T)

        for _ in range(20):
            futures = [pool.submit(outer, i) for i in range(2)]
            assert [f.result(T) for f in futures] == [0, 1]
