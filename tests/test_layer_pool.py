import asyncio
import collections
import concurrent.futures as cf
import gc
import threading
import time

import pytest

from kestrum import WorkerPool

T = 10  # generous bound for any single wait; tests finish far sooner


def test_every_task_runs_exactly_once_under_many_submitters():
    runs, lock = collections.Counter(), threading.Lock()

    def task(key):
        with lock:
            runs[key] += 1
        return key

    with WorkerPool(4) as pool:
        def submitter(t):
            return [pool.submit_to(i % 4, task, (t, i)) if i % 3 == 0 else pool.submit(task, key=(t, i))
                    for i in range(1500)]

        with cf.ThreadPoolExecutor(8) as feeders:
            futures = [f for batch in feeders.map(submitter, range(8)) for f in batch]
        assert [f.result(T) for f in futures] == [(t, i) for t in range(8) for i in range(1500)]
    assert len(runs) == 8 * 1500 and set(runs.values()) == {1}
    metrics = pool.metrics()
    assert sum(m.completed for m in metrics) == 8 * 1500 and all(m.active == 0 for m in metrics)


def _blocked_pool(n_queued):
    """One worker held inside a task, with n_queued tasks waiting behind it."""
    pool = WorkerPool(1)
    started, release = threading.Event(), threading.Event()
    blocker = pool.submit(lambda: (started.set(), release.wait(T)))
    assert started.wait(T)
    queued = [pool.submit(lambda i=i: i) for i in range(n_queued)]
    return pool, release, blocker, queued


@pytest.mark.parametrize("wait,cancel_futures", [(True, False), (True, True), (False, False)])
def test_shutdown_runs_or_cancels_queued_work(wait, cancel_futures):
    pool, release, blocker, queued = _blocked_pool(50)
    threading.Timer(0.05, release.set).start()
    pool.shutdown(wait=wait, cancel_futures=cancel_futures)
    for late in (lambda: pool.submit(int), lambda: pool.submit_to(0, int)):
        with pytest.raises(RuntimeError, match="after shutdown"):
            late()
    # Nothing is left pending either way, and wait() sees every future done.
    done, not_done = cf.wait(queued + [blocker], timeout=T)
    assert not not_done and not blocker.cancelled()
    if cancel_futures:
        assert all(f.cancelled() for f in queued)
    else:
        assert [f.result() for f in queued] == list(range(50))
    pool.shutdown()  # a second shutdown is harmless


def test_dropped_pool_still_finishes_queued_work():
    pool, release, blocker, queued = _blocked_pool(5)
    threads = pool._core.threads
    del pool
    gc.collect()
    release.set()
    assert [f.result(T) for f in queued] == list(range(5))
    for t in threads:
        t.join(T)
        assert not t.is_alive()


class Stop(BaseException):
    pass


@pytest.mark.parametrize("exc", [ValueError("bad"), KeyError("k"), Stop()])
def test_exceptions_reach_the_future_and_the_worker_survives(exc):
    def fail():
        raise exc

    with WorkerPool(1) as pool:
        f = pool.submit(fail)
        assert f.exception(T) is exc
        with pytest.raises(type(exc)):
            f.result()
        assert pool.submit(lambda: "still alive").result(T) == "still alive"


def test_submit_to_runs_on_the_chosen_worker_and_overflows_safely():
    with WorkerPool(3) as pool:
        names = [pool.submit_to(w, lambda: threading.current_thread().name).result(T) for w in range(3)]
        assert len(set(names)) == 3 and all(n.endswith(f"_{w}") for w, n in enumerate(names))
        # Far more than a local queue holds: the rest overflows to the shared queue.
        futures = [pool.submit_to(1, pow, i, 2) for i in range(2000)]
        assert [f.result(T) for f in futures] == [i * i for i in range(2000)]
        assert pool.metrics()[1].remote_schedules >= 256
        with pytest.raises(IndexError):
            pool.submit_to(3, int)


@pytest.mark.parametrize("workers", [1, 2, 5])
def test_no_lost_wakeup_across_bursts_with_idle_gaps(workers):
    with WorkerPool(workers) as pool:
        for burst in range(300):
            if burst % 25 == 0:
                time.sleep(0.01)  # let every worker park
            n = 1 + burst % 4
            futures = [pool.submit_to(burst % workers, int, i) if i % 2 else pool.submit(int, i)
                       for i in range(n)]
            for f in futures:
                f.result(T)  # a lost wake-up shows up as a time-out here
        assert sum(m.parks for m in pool.metrics()) > 0


def test_futures_work_with_the_standard_helpers():
    with WorkerPool(2) as pool:
        started, gate = threading.Event(), threading.Event()
        waiting = pool.submit(lambda: started.set() or gate.wait(T))
        assert started.wait(T)
        futures = [pool.submit(pow, i, 2) for i in range(20)]
        assert {f.result(T) for f in cf.as_completed(futures, timeout=T)} == {i * i for i in range(20)}
        assert cf.wait([waiting], timeout=0.05).not_done == {waiting} and waiting.running()
        with pytest.raises(TimeoutError):
            waiting.result(timeout=0.01)
        called = cf.Future()
        waiting.add_done_callback(called.set_result)
        gate.set()
        assert waiting.result(T) is True and called.result(T) is waiting

        # A future cancelled while queued never runs and wakes wait() callers.
        hold = threading.Event()
        pool.submit(hold.wait, T), pool.submit(hold.wait, T)
        victim = pool.submit(pytest.fail, "cancelled task ran")
        assert victim.cancel() and victim.cancelled()
        hold.set()
        assert cf.wait([victim], timeout=T).done == {victim}

        assert list(pool.map(pow, range(5), range(5), timeout=T)) == [pow(i, i) for i in range(5)]

        async def via_asyncio():
            return await asyncio.wait_for(asyncio.wrap_future(pool.submit(sum, [1, 2])), T)
        assert asyncio.run(via_asyncio()) == 3
