import asyncio
import collections
import concurrent.futures as cf
import copy
import functools
import gc
import operator
import os
import signal
import sysconfig
import threading
import time
from concurrent.futures.thread import BrokenThreadPool

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


# A pool known only through its bound submit works as the standard pool
# does: nobody called shutdown(), so the call is not refused, and once that
# last holder goes too, the workers exit.
@pytest.mark.parametrize("make", [WorkerPool, cf.ThreadPoolExecutor], ids=["kestrum", "stdlib"])
@pytest.mark.parametrize("how", ["temporary", "bound submit kept", "a copy of it kept", "bound submit_to kept"])
def test_a_pool_known_only_through_its_bound_submit_stays_open(make, how):
    if how in ("bound submit_to kept", "a copy of it kept") and make is cf.ThreadPoolExecutor:
        pytest.skip("the standard pool has no submit_to, and its submit cannot be copied")
    if how == "temporary":
        future = make(1, "held-by-submit").submit(pow, 2, 5)
    elif how == "bound submit kept":
        call = make(1, "held-by-submit").submit
        future = call(pow, 2, 5)
    elif how == "a copy of it kept":
        call = copy.deepcopy(make(1, "held-by-submit").submit)
        gc.collect()
        future = call(pow, 2, 5)
    else:
        call = functools.partial(make(1, "held-by-submit").submit_to, 0)
        future = call(pow, 2, 5)
    assert future.result(T) == 32
    if make is WorkerPool and how != "temporary":
        workers = [t for t in threading.enumerate() if t.name.startswith("held-by-submit")]
        assert workers
        del call
        gc.collect()
        for t in workers:
            t.join(T)
        assert not any(t.is_alive() for t in workers)


# A kept bound submit is often injected as a class attribute; the standard
# pool's bound method stays itself there, and so must ours, name included.
@pytest.mark.parametrize("make", [WorkerPool, cf.ThreadPoolExecutor], ids=["kestrum", "stdlib"])
@pytest.mark.parametrize("method", ["submit", "submit_to"])
def test_a_kept_bound_submit_stored_on_a_class_is_not_bound_again(make, method):
    if method == "submit_to" and make is cf.ThreadPoolExecutor:
        pytest.skip("the standard pool has no submit_to")
    with make(1) as pool:
        kept = getattr(pool, method)

        class Service:
            spawn = kept

        args = (0, pow, 2, 5) if method == "submit_to" else (pow, 2, 5)
        assert Service().spawn(*args).result(T) == 32
        assert Service.spawn is kept
        assert (kept.__name__, kept.__qualname__) == (method, f"{make.__name__}.{method}")


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


class _OwnSubmitTo(WorkerPool):
    def submit_to(self, worker, fn, /, *args, **kwargs):  # through WorkerPool.submit_to
        return super().submit_to(worker, fn, *args, **kwargs)


@pytest.mark.parametrize("make", [WorkerPool, _OwnSubmitTo], ids=["native", "subclass"])
@pytest.mark.parametrize("worker, error, message", [
    (3, IndexError, "worker index 3 out of range for 3 workers"),
    (-1, IndexError, "worker index -1 out of range for 3 workers"),
    (2**70, IndexError, f"worker index {2**70} out of range for 3 workers"),
    ("0", TypeError, "'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_submit_to_refuses_a_bad_worker_without_running_the_call(make, worker, error, message):
    ran = []
    with make(3) as pool:
        with pytest.raises(error) as caught:
            pool.submit_to(worker, ran.append, 1)
        assert str(caught.value) == message
        # Any index-like object names a worker, and keyword arguments reach the call.
        assert pool.submit_to(True, dict, a=1).result(T) == {"a": 1}
    assert ran == []


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


def _in_thread(fn, timeout=T):
    """Run fn on a daemon thread; return its result, or fail if it hangs."""
    out = []
    thread = threading.Thread(target=lambda: out.append(fn()), daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), f"{fn} hung"
    return out[0]


def _fail_after(delay):
    time.sleep(delay)
    return 1 / 0


@pytest.mark.parametrize("return_when", [cf.FIRST_COMPLETED, cf.FIRST_EXCEPTION, cf.ALL_COMPLETED])
@pytest.mark.parametrize("delay", [0, 0.05], ids=["failed-before-wait", "failed-during-wait"])
def test_wait_with_every_return_when_from_threaded_pool(return_when, delay):
    # wait(FIRST_EXCEPTION) calls exception() while holding every future's
    # lock: a plain (non-reentrant) lock deadlocks there.
    with WorkerPool(2) as pool:
        gate = threading.Event()
        ok = pool.submit(gate.wait, T)
        failed = pool.submit(_fail_after, delay)
        if not delay:
            failed.exception(T)
        limit = 1.0 if return_when == cf.ALL_COMPLETED else T
        done, not_done = _in_thread(lambda: cf.wait([ok, failed], timeout=limit, return_when=return_when))
        assert (done, not_done) == ({failed}, {ok})
        gate.set()
        done, not_done = _in_thread(lambda: cf.wait([ok, failed], timeout=T, return_when=cf.ALL_COMPLETED))
        assert not not_done
        outcomes = {f.result() if f is ok else type(f.exception()) for f in cf.as_completed([ok, failed], T)}
        assert outcomes == {True, ZeroDivisionError}


def test_shutdown_wait_from_threaded_tasks_raises_instead_of_deadlocking():
    pool = WorkerPool(2)
    both = threading.Barrier(2, timeout=T)

    def stop():
        both.wait()
        pool.shutdown(wait=True)

    futures = [pool.submit(stop) for _ in range(2)]
    for f in futures:
        with pytest.raises(RuntimeError, match="cannot join current thread"):
            f.result(T)
    _in_thread(pool.shutdown)
    assert not any(t.is_alive() for t in pool._threads)


class Interrupt(BaseException):
    pass


def test_callback_base_exception_keeps_worker_and_metrics_intact():
    with WorkerPool(1) as pool:
        gate = threading.Event()
        first = pool.submit(gate.wait, T)
        first.add_done_callback(lambda f: (_ for _ in ()).throw(Interrupt()))
        gate.set()
        assert first.result(T) is True
        assert pool.submit(int, 7).result(T) == 7
        deadline = time.monotonic() + T
        while pool.metrics()[0].completed < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        m = pool.metrics()[0]
        assert (m.active, m.completed) == (0, 2)


_local = threading.local()


def _remember(value):
    _local.value = value


def _fail_init():
    raise ValueError("no init for you")


def test_initializer_runs_in_every_worker_and_a_failure_breaks_the_pool():
    with WorkerPool(3, initializer=_remember, initargs=("ready",)) as pool:
        barrier = threading.Barrier(3, timeout=T)
        futures = [pool.submit(lambda: (barrier.wait(), _local.value)[1]) for _ in range(3)]
        assert [f.result(T) for f in futures] == ["ready"] * 3

    pool = WorkerPool(2, initializer=_fail_init)
    try:
        queued = [pool.submit(int, i) for i in range(20)]
    except BrokenThreadPool:
        queued = []
    deadline = time.monotonic() + T
    while not pool._broken and time.monotonic() < deadline:
        time.sleep(0.01)
    for f in queued:
        with pytest.raises(BrokenThreadPool):
            f.result(T)
    with pytest.raises(BrokenThreadPool):
        pool.submit(int)
    pool.shutdown()


@pytest.mark.parametrize("args,error,match", [
    (("2",), TypeError, "max_workers"),
    ((2.0,), TypeError, "max_workers"),
    ((0,), ValueError, "greater than 0"),
    ((2**60,), ValueError, "at most"),
    ((1, "", 42), TypeError, "initializer must be a callable"),
], ids=["str", "float", "zero", "huge", "initializer"])
def test_bad_arguments_are_refused_before_any_thread_starts(args, error, match):
    before = threading.active_count()
    with pytest.raises(error, match=match):
        WorkerPool(*args)
    assert threading.active_count() == before


@pytest.mark.parametrize("chunksize", [1, 2])
@pytest.mark.parametrize("timeout", [-1, 0, float("nan")])
def test_map_checks_its_timeout_as_the_standard_map_does_when_iterated(timeout, chunksize):
    # The deadline is checked as results are read: TimeoutError for one
    # already past (a NaN's answer is the interpreter's own, which varies).
    def first_of_map(executor, **chunks):
        release = threading.Event()
        with executor:
            results = executor.map(release.wait, [T, T], timeout=timeout, **chunks)
            try:
                next(results)
            except Exception as e:
                return type(e)
            finally:
                release.set()
        return None

    expected = first_of_map(cf.ThreadPoolExecutor(2))
    assert expected in (TimeoutError, ValueError)
    assert first_of_map(WorkerPool(2), chunksize=chunksize) is expected


def test_map_names_threads():
    with WorkerPool(2, thread_name_prefix="crew") as pool:
        names = {pool.submit_to(w, lambda: threading.current_thread().name).result(T) for w in range(2)}
        assert names == {"crew_0", "crew_1"}


_FORK_CHILD = """
import os, sys, threading
from kestrum import WorkerPool

def use_new_pool():
    with WorkerPool(2) as fresh:
        assert sum(fresh.map(abs, range(-50, 0))) == 1275
        assert fresh.submit(threading.current_thread).result(5) is not threading.current_thread()

def child(old):
    # Through the pool, and through its methods bound before the fork.
    submits = (lambda: old.submit(int), lambda: old.submit_to(0, int), lambda: old.submit_many(int, [()]),
               lambda: bound[0](int), lambda: bound[1](0, int), lambda: bound[2](int, [()]))
    for submit in submits:
        try:
            submit()
        except RuntimeError as e:
            assert "fork" in str(e), e
        else:
            raise AssertionError("the parent's pool accepted work in the child")
    use_new_pool()

pool = WorkerPool(3)
bound = (pool.submit, pool.submit_to, pool.submit_many)
for _ in range(200):
    pool.submit(int)  # keep the workers busy while forking

def fork_and_wait(where):
    pid = os.fork()
    if pid == 0:
        child(pool)
        if where == "main":
            sys.exit(0)
        return "child"
    status = os.waitpid(pid, 0)[1]
    assert os.waitstatus_to_exitcode(status) == 0, (where, status)
    return "parent"

for _ in range(5):
    assert fork_and_wait("main") == "parent"
    assert pool.submit(fork_and_wait, "task").result(30) == "parent"
pool.shutdown()
print("forks ok")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.skipif("--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""),
                    reason="ThreadSanitizer can't start threads in a child of a multi-threaded fork")
def test_fork_beside_and_inside_a_threaded_pool_leaves_a_working_child():
    import subprocess
    import sys
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        done = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", _FORK_CHILD],
                              capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "forks ok", done.stderr


@pytest.mark.parametrize("workers", [1, 4])
def test_submit_many_queues_in_order_and_wakes_enough_threaded_workers(workers):
    with WorkerPool(workers) as pool:
        time.sleep(0.05)  # every worker parked
        barrier = threading.Barrier(workers, timeout=T)
        # All n must run at once: one batch has to wake every parked worker.
        assert sorted(f.result(T) for f in pool.submit_many(barrier.wait, [()] * workers)) == list(
            range(workers))
        assert [f.result(T) for f in pool.submit_many(pow, ((i, 2) for i in range(1000)))] == [
            i * i for i in range(1000)]
        assert pool.submit_many(pow, []) == []
        with pytest.raises(TypeError):
            pool.submit_many(pow, [(1, 2), 3])
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit_many(pow, [(1, 2)])


def _half(x):
    if x == 13:
        raise ArithmeticError(x)
    return x / 2


@pytest.mark.parametrize("chunksize", [1, 3, 64, 1000])
def test_map_chunks_keep_order_and_errors(chunksize):
    with WorkerPool(2) as pool:
        assert list(pool.map(pow, range(200), [2] * 200, chunksize=chunksize)) == [i * i for i in range(200)]
        results = pool.map(_half, range(20), chunksize=chunksize)
        assert [next(results) for _ in range(13 - 13 % chunksize)] == [i / 2 for i in range(13 - 13 % chunksize)]
        with pytest.raises(ArithmeticError):
            list(results)
        with pytest.raises(ValueError, match="chunksize"):
            pool.map(abs, [1], chunksize=0)


def _args(*args):
    return args


def _stop_at_3(a, *rest):
    if a == 3:
        raise StopIteration
    return a


def _outcome(results):
    try:
        return list(results)
    except Exception as e:
        return type(e)


# Each case builds fresh arguments: an iterator is used up by one run.
_MAP_CASES = {
    "iterator passed twice": lambda: (_args, *[iter(range(10))] * 2),
    "no iterables": lambda: (_args,),
    "StopIteration from a call, one iterable": lambda: (_stop_at_3, range(10)),
    "StopIteration from a call, two iterables": lambda: (_stop_at_3, range(10), range(10)),
}


@pytest.mark.parametrize("chunksize", [1, 3, 64])
@pytest.mark.parametrize("case", list(_MAP_CASES))
def test_map_chunks_read_and_fail_as_the_standard_map(case, chunksize):
    with cf.ThreadPoolExecutor(2) as standard:
        expected = _outcome(standard.map(*_MAP_CASES[case]()))
    with WorkerPool(2) as pool:
        assert _outcome(pool.map(*_MAP_CASES[case](), chunksize=chunksize)) == expected
        # A longer iterator is read no further than zip reads it.
        longer = iter(range(100))
        list(pool.map(_args, range(3), longer, chunksize=chunksize))
        assert next(longer) == 3


class Tick(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")
def test_interrupted_submits_lose_no_threaded_worker():
    # A signal handler that raises lands right after a native call returns.
    # Had a submit claimed a parked worker and been interrupted before
    # waking it, that worker would sleep for good: the rendezvous of all n
    # below would then break.
    armed = False

    def handler(*_):
        if armed:
            raise Tick

    workers, interrupted = 4, 0
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with WorkerPool(workers) as pool:
            signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
            end = time.monotonic() + 1.5
            while time.monotonic() < end:
                time.sleep(0.0003)  # let the workers park again
                try:
                    armed = True
                    pool.submit(int)
                    armed = False
                except Tick:
                    armed = False
                    interrupted += 1
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            barrier = threading.Barrier(workers, timeout=T)
            futures = [pool.submit(barrier.wait) for _ in range(workers)]
            assert sorted(f.result(T) for f in futures) == list(range(workers))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    assert interrupted > 0
