"""The future WorkerPool hands out, as every consumer of concurrent.futures
sees it: completion racing with waiters, callbacks and cancellation must
never lose a wake-up, run a callback twice, or run a cancelled call."""

import asyncio
import collections
import concurrent.futures as cf
import gc
import logging
import os
import signal
import sys
import threading
import time
import weakref
from fractions import Fraction

import pytest

from kestrum import WorkerPool
from kestrum._kestrum_native import NativeFuture

T = 10  # generous bound for any single wait; tests finish far sooner
ROUNDS = 200


def _watch(kind, future):
    """Wait for `future`, with no time limit, the way one kind of consumer
    does; returns whether it saw the future done."""
    if kind == "result":
        return future.result() is True
    if kind == "exception":
        return future.exception() is None
    if kind == "wait-all":
        return not cf.wait([future], None, cf.ALL_COMPLETED).not_done
    if kind == "wait-first-exception":
        return not cf.wait([future], None, cf.FIRST_EXCEPTION).not_done
    if kind == "wait-first-completed":
        return not cf.wait([future], None, cf.FIRST_COMPLETED).not_done
    if kind == "as-completed":
        return list(cf.as_completed([future])) == [future]
    if kind == "callback":
        seen = threading.Event()
        future.add_done_callback(lambda f: seen.set())
        return seen.wait()
    raise AssertionError(kind)


KINDS = ["result", "exception", "wait-all", "wait-first-exception", "wait-first-completed", "as-completed",
         "callback"]


@pytest.mark.parametrize("kind", KINDS)
def test_a_watcher_thread_racing_completion_is_always_woken(kind):
    # The watcher starts looking at the same instant the worker finishes the
    # call, and waits without a time limit: whichever comes first, it must
    # come back with the outcome. A lost wake-up leaves it hanging.
    with WorkerPool(2) as pool:
        for i in range(ROUNDS):
            go = threading.Event()
            future = pool.submit(go.wait, T)
            barrier = threading.Barrier(2)
            seen = []

            def watch():
                barrier.wait()
                seen.append(_watch(kind, future))

            watcher = threading.Thread(target=watch, daemon=True)
            watcher.start()
            barrier.wait()
            go.set()
            watcher.join(T)
            assert seen == [True], f"round {i}: the watcher {'hung' if watcher.is_alive() else 'failed'}"


def test_callbacks_added_from_two_threads_while_tasks_finish_run_exactly_once(run_together):
    calls = collections.Counter()
    lock = threading.Lock()

    def count(f):
        with lock:
            calls[id(f)] += 1

    with WorkerPool(2) as pool:
        futures = [pool.submit(pow, i, 2) for i in range(2000)]

        def add(offset):
            for f in futures[offset::2]:
                f.add_done_callback(count)
                f.add_done_callback(count)

        run_together(lambda: add(0), lambda: add(1))
        cf.wait(futures, T)
        # A callback runs on the worker after the future is done: wait for the stragglers.
        for _ in range(1000):
            with lock:
                if sum(calls.values()) == 4000:
                    break
            threading.Event().wait(0.01)
    assert len(calls) == 2000 and set(calls.values()) == {2}


def test_cancel_from_a_thread_racing_the_workers_runs_each_call_once_or_never(run_together):
    ran = collections.Counter()
    lock = threading.Lock()

    def task(i):
        with lock:
            ran[i] += 1
        return i

    with WorkerPool(2) as pool:
        futures = pool.submit_many(task, [(i,) for i in range(5000)])
        cancelled = run_together(lambda: [f.cancel() for f in futures[::2]])[0]
        # wait() must hear about every cancelled future too, once a worker took it.
        done, not_done = cf.wait(futures, T)
        assert not not_done
    for i, (f, was_cancelled) in enumerate(zip(futures[::2], cancelled)):
        assert f.cancelled() == was_cancelled and ran[2 * i] == (0 if was_cancelled else 1)
    assert all(ran[i] == 1 and futures[i].result() == i for i in range(1, 5000, 2))


@pytest.mark.parametrize("how", ["returned", "raised", "cancelled"])
def test_wrap_future_follows_the_pool_future(how):
    async def main(pool):
        gate = threading.Event()
        blocker = pool.submit(gate.wait, T)  # holds the only worker
        if how == "cancelled":
            wrapped = asyncio.wrap_future(pool.submit(pow, 2, 10))
            wrapped.cancel()
            gate.set()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(wrapped, T)
            return None
        future = pool.submit(pow, 2, 10) if how == "returned" else pool.submit(divmod, 1, 0)
        gate.set()
        await asyncio.wait_for(asyncio.wrap_future(blocker), T)
        if how == "returned":
            return await asyncio.wait_for(asyncio.wrap_future(future), T)
        with pytest.raises(ZeroDivisionError):
            await asyncio.wait_for(asyncio.wrap_future(future), T)
        return None

    with WorkerPool(1) as pool:
        assert asyncio.run(main(pool)) == (1024 if how == "returned" else None)


def test_the_standard_protocol_on_a_pool_future():
    with WorkerPool(1) as pool:
        started, gate = threading.Event(), threading.Event()
        running = pool.submit(lambda: started.set() or gate.wait(T))
        queued = pool.submit(dict, a=1)  # keyword arguments reach the call
        assert started.wait(T) and not running.cancel() and running.running()
        with pytest.raises(TimeoutError):
            queued.result(timeout=0)
        with pytest.raises(TimeoutError):
            queued.exception(timeout=-1)  # a negative time-out does not wait
        assert queued._state == cf._base.PENDING and not queued.done()
        gate.set()
        assert queued.result(T) == {"a": 1} and queued.exception() is None and queued.done()
        with pytest.raises(cf.InvalidStateError):
            queued.set_result(2)
        with pytest.raises(cf.InvalidStateError):
            queued.set_exception(ValueError())
        assert queued.result() == {"a": 1}
        assert "state=finished returned dict" in repr(queued)
        with pytest.raises(TypeError, match="fn"):
            pool.submit()


def test_a_cycle_through_a_future_is_collected():
    # The future holds its call and outcome natively: the collector must see them.
    class Holder:
        pass

    with WorkerPool(1) as pool:
        holder = Holder()
        holder.future = pool.submit(lambda h: h, holder)
        assert holder.future.result(T) is holder
        failing = Holder()
        failing.future = pool.submit(lambda h: 1 / 0 if h else None, failing)
        assert isinstance(failing.future.exception(T), ZeroDivisionError)
    refs = [weakref.ref(holder), weakref.ref(failing)]
    del holder, failing
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_a_subclass_keeps_its_own_submit():
    class Counting(WorkerPool):
        submitted = 0

        def submit(self, fn, /, *args, **kwargs):
            type(self).submitted += 1
            return super().submit(fn, *args, **kwargs)

    with Counting(1) as pool:
        assert list(pool.map(abs, [-1, -2])) == [1, 2] and pool.submit(abs, -3).result(T) == 3
    assert Counting.submitted == 3


def test_a_dropped_pool_and_its_futures_are_freed():
    pool = WorkerPool(2)
    futures = [pool.submit(abs, -i) for i in range(100)] + pool.submit_many(abs, [(-1,)] * 100)
    assert [f.result(T) for f in futures[:3]] == [0, 1, 2]
    cf.wait(futures, T)
    refs = [weakref.ref(pool), weakref.ref(pool._core), weakref.ref(futures[0])]
    pool.shutdown()
    del pool, futures
    gc.collect()
    assert [ref() for ref in refs] == [None, None, None]


@pytest.mark.parametrize("call,error", [
    (lambda: NativeFuture(abs, [1], None), TypeError),
    (lambda: NativeFuture(abs, (1,), {1: 2}.keys()), TypeError),
    (lambda: NativeFuture(abs, (1,), None)._advance(4, 0), ValueError),  # finished never moves back
    (lambda: NativeFuture(abs, (1,), None)._advance(0, 4), ValueError),  # the outcome is stored, not moved to
], ids=["args-not-a-tuple", "kwargs-not-a-dict", "finished-to-pending", "pending-to-finished"])
def test_the_native_half_refuses_bad_input(call, error):
    with pytest.raises(error):
        call()


def _outcome(call, *args):
    """What `call(*args)` came to: its value, or the type of what it raised."""
    try:
        return call(*args)
    except BaseException as e:  # noqa: BLE001 - the type is the answer
        return type(e)


def _queued_future(pool):
    """A pool future no worker has started (its only worker is held up),
    and the event that lets the worker go."""
    gate = threading.Event()
    pool.submit(gate.wait, T)
    return pool.submit(abs, -1), gate


@pytest.mark.parametrize("stored", [ValueError("x"), ValueError, "boom", 42, int],
                         ids=["instance", "class", "str", "int", "non-exception class"])
def test_an_exception_set_by_hand_is_raised_as_the_standard_future_raises_it(stored):
    standard = cf.Future()
    standard.set_exception(stored)
    with WorkerPool(1) as pool:
        ours, gate = _queued_future(pool)
        ours.set_exception(stored)
        gate.set()
        assert ours.exception() is stored is standard.exception()
        assert _outcome(ours.result) == _outcome(standard.result)


@pytest.mark.parametrize("how", ["set_result", "set_exception", "broken pool"])
def test_a_future_done_before_its_call_ran_lets_go_of_the_call(how):
    class Arg:
        pass

    arg = Arg()
    gone = weakref.ref(arg)
    if how == "broken pool":
        submitted = threading.Event()

        def fail():
            submitted.wait(T)  # the task is queued before the pool breaks
            raise RuntimeError("initializer")
        pool = WorkerPool(1, initializer=fail)
        future = pool.submit(id, arg)
        submitted.set()
        with pytest.raises(cf.BrokenExecutor):
            future.result(T)
    else:
        pool = WorkerPool(1)
        future, gate = _queued_future(pool)
        future = pool.submit(id, arg)
        getattr(future, how)(ValueError() if how == "set_exception" else 0)
        gate.set()
    pool.shutdown()
    del arg
    gc.collect()
    assert gone() is None and future.done()


def test_by_hand_methods_take_arguments_as_the_standard_future_does():
    with WorkerPool(1) as pool:
        for name, value in (("set_result", 1), ("set_exception", ValueError())):
            ours, gate = _queued_future(pool)
            getattr(ours, name)(**{name[4:]: value})  # result=..., exception=...
            gate.set()
        done = pool.submit(abs, -1)
        assert done.result(T) == 1
        for call in (lambda: done.result(1, 2), lambda: done.result(bogus=1), lambda: done.exception(1, 2)):
            standard = cf.Future()
            standard.set_result(1)
            with pytest.raises(TypeError):
                call()


class _Seconds(float):
    pass


@pytest.mark.parametrize("timeout", [0.15, _Seconds(0.15)], ids=["float", "float-subclass"])
@pytest.mark.parametrize("call", ["result", "exception"])
def test_a_wait_times_out_on_time_and_the_outcome_still_arrives(call, timeout):
    # A float is waited for natively, a float subclass by the standard path:
    # both give up no earlier than asked, and leave the future as it was.
    with WorkerPool(1) as pool:
        gate = threading.Event()
        future = pool.submit(gate.wait, T)
        start = time.monotonic()
        assert _outcome(getattr(future, call), timeout) is TimeoutError
        assert 0.15 <= time.monotonic() - start < 0.15 + T / 2
        gate.set()
        assert getattr(future, call)(T) is (True if call == "result" else None)


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), 1e300, 2**70, Fraction(1, 2), "soon"])
def test_odd_time_outs_get_the_standard_futures_answer(timeout):
    with WorkerPool(1) as pool:
        gate = threading.Event()
        pool.submit(gate.wait, T)  # keeps the next task pending
        pending = pool.submit(int)
        try:
            assert _outcome(pending.result, timeout) == _outcome(cf.Future().result, timeout)
        finally:
            gate.set()
        assert pending.result(T) == 0


def test_cancel_wakes_the_threads_waiting_for_the_outcome():
    with WorkerPool(1) as pool:
        gate = threading.Event()
        pool.submit(gate.wait, T)
        queued = pool.submit(int)
        got = []
        waiters = [threading.Thread(target=lambda: got.append(_outcome(call, T)))
                   for call in (queued.result, queued.exception)]
        for w in waiters:
            w.start()
        time.sleep(0.05)  # both asleep by now, most likely
        assert queued.cancel()
        cancelled_at = time.monotonic()
        for w in waiters:
            w.join(T)
        woken_after = time.monotonic() - cancelled_at
        gate.set()
        assert got == [cf.CancelledError, cf.CancelledError]
        assert woken_after < T / 2, "woken by their time-out, not by the cancel"



@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_interrupts_a_waiting_result_and_leaves_the_future_whole():
    with WorkerPool(1) as pool:
        gate = threading.Event()
        future = pool.submit(gate.wait, T)
        threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            future.result()
        assert time.monotonic() - start < T / 2
        gate.set()
        assert future.result(T) is True


@pytest.mark.parametrize("watch", ["callback", "wait"])
def test_a_thread_asleep_in_result_is_woken_when_a_watcher_came_later(watch):
    # The thread sleeps on the state word; then a watcher makes the future
    # watched, so that it finishes under its lock, through the Python half.
    # Both must see it finish.
    with WorkerPool(1) as pool:
        gate = threading.Event()
        future = pool.submit(gate.wait, T)
        got, seen = [], threading.Event()
        sleeper = threading.Thread(target=lambda: got.append(future.result(T)))
        sleeper.start()
        time.sleep(0.05)  # asleep by now, most likely
        if watch == "callback":
            future.add_done_callback(lambda f: seen.set())
        else:
            threading.Thread(target=lambda: cf.wait([future], T) and seen.set()).start()
            time.sleep(0.05)
        finished_at = time.monotonic()
        gate.set()
        sleeper.join(T)
        assert got == [True] and seen.wait(T)
        assert time.monotonic() - finished_at < T / 2


def _held(pool):
    """A pool future that no worker has started, and the gate holding the worker."""
    gate = threading.Event()
    pool.submit(gate.wait, T)
    return pool.submit(abs, -1), gate


@pytest.mark.parametrize("first", ["set_result", "set_exception", "cancel", "cancel and notify"])
def test_completing_a_done_future_says_what_the_standard_future_says(first):
    with WorkerPool(1) as pool:
        ours, gate = _held(pool)
        try:
            messages = []
            for future in (cf.Future(), ours):
                if first.startswith("cancel"):
                    future.cancel()
                    if first == "cancel and notify":
                        future.set_running_or_notify_cancel()
                else:
                    getattr(future, first)(ValueError() if first == "set_exception" else 1)
                with pytest.raises(cf.InvalidStateError) as raised:
                    future.set_result(2)
                messages.append(str(raised.value).replace(repr(future), "<future>"))
            assert messages[1] == messages[0]
        finally:
            gate.set()


def test_a_failing_done_callback_is_logged_where_the_standard_future_logs_it(caplog):
    with WorkerPool(1) as pool:
        ours, gate = _held(pool)
        with caplog.at_level(logging.ERROR, logger="concurrent.futures"):
            ours.add_done_callback(lambda f: 1 / 0)  # runs at completion
            ours.set_result(1)
            ours.add_done_callback(lambda f: 1 / 0)  # runs at once: already done
        gate.set()
    assert [r.name for r in caplog.records if "callback" in r.getMessage()] == ["concurrent.futures"] * 2


@pytest.mark.parametrize("stored", ["instance", "class"])
def test_an_outcome_raised_while_another_exception_is_handled_chains_to_it(stored):
    def fail():
        raise ValueError("task")

    with WorkerPool(1) as pool:
        if stored == "instance":
            future = pool.submit(fail)
            future.exception(T)
        else:
            future, gate = _held(pool)
            future.set_exception(ValueError)
            gate.set()
        with pytest.raises(ValueError) as raised:
            try:
                {}["missing"]
            except KeyError:
                future.result()
        assert isinstance(raised.value.__context__, KeyError)
