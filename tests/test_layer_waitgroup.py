import asyncio
import signal
import threading
import time

import pytest

from kestrum import WaitGroup
from kestrum._kestrum_core import RawAsyncWaitGroup
from kestrum._kestrum_native import wait_group_count, wait_group_wait

T = 10


def test_thread_waits_return_when_every_job_is_done():
    wg = WaitGroup()
    assert wg.wait(0) is True  # zero from the start
    wg.add(5)
    results = []
    waiters = [threading.Thread(target=lambda: results.append(wg.wait(T))) for _ in range(3)]
    for t in waiters:
        t.start()
    assert wg.wait(0.01) is False
    for i in range(5):
        threading.Timer(0.01 * i, wg.done).start()
    for t in waiters:
        t.join(T)
    assert results == [True] * 3
    wg.add(3)  # reusable; a negative add that reaches zero releases waiters too
    with pytest.raises(RuntimeError, match="negative"):
        wg.add(-4)  # refused as a whole: the counter stays at 3
    threading.Timer(0.02, wg.add, args=(-3,)).start()
    assert wg.wait(T)
    with pytest.raises(RuntimeError):
        wg.done()


def test_async_and_thread_waiters_on_several_loops_all_wake():
    wg = WaitGroup()
    wg.add(1)
    results = []

    async def two_waiters():
        assert await WaitGroup().wait_async() is True  # zero: no waiting
        return await asyncio.gather(wg.wait_async(), wg.wait_async(timeout=T))

    runners = [threading.Thread(target=lambda: results.extend(asyncio.run(two_waiters()))) for _ in range(2)]
    runners.append(threading.Thread(target=lambda: results.append(wg.wait(T))))
    for t in runners:
        t.start()
    threading.Event().wait(0.05)
    wg.done()
    for t in runners:
        t.join(T)
    assert results == [True] * 5


def test_cancelled_or_timed_out_waits_unregister_their_waiters():
    wg = WaitGroup()
    wg.add(1)
    assert wg.wait(0.01) is False

    async def main():
        task = asyncio.ensure_future(wg.wait_async())
        await asyncio.sleep(0.01)  # registered and waiting
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await wg.wait_async(timeout=0.01) is False
    asyncio.run(main())
    assert wg._raw.done() == []  # the done() reaching zero finds no waiter left


def test_wakeup_of_a_waiter_cancelled_after_being_handed_out_is_skipped():
    wg = WaitGroup()
    wg.add(1)
    errors = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        task = asyncio.ensure_future(wg.wait_async())
        await asyncio.sleep(0.01)
        task.cancel()  # cancels the registered future at once...
        wg.done()  # ...which this done() still hands out
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(0.01)  # let the queued wake-up run
    asyncio.run(main())
    assert errors == []


class IndexDisagreesWithComparison:
    """Compares as non-negative but converts to -1."""

    def __index__(self):
        return -1

    def __ge__(self, other):
        return True

    __gt__ = __ge__


def test_add_uses_the_value_it_converted():
    wg = WaitGroup()
    wg.add(1)
    woke = []
    waiter = threading.Thread(target=lambda: woke.append(wg.wait(T)))
    waiter.start()
    threading.Event().wait(0.05)  # registered and waiting
    wg.add(IndexDisagreesWithComparison())  # -1: brings the count to zero
    waiter.join(T)
    assert woke == [True]
    with pytest.raises(TypeError):
        wg.add(1.0)


BAD_TIMEOUTS = [
    pytest.param(-1, ValueError, id="negative"),
    pytest.param(float("nan"), ValueError, id="nan"),
    pytest.param(float("inf"), OverflowError, id="inf"),
    pytest.param(1e10, OverflowError, id="too-large"),
    pytest.param("1", TypeError, id="string"),
]


@pytest.mark.parametrize("timeout, error", BAD_TIMEOUTS)
@pytest.mark.parametrize("face", ["thread", "asyncio"])
def test_bad_timeouts_raise_and_leave_no_waiter_queued(face, timeout, error):
    wg = WaitGroup()
    wg.add(1)
    with pytest.raises(error):
        if face == "thread":
            wg.wait(timeout)
        else:
            asyncio.run(wg.wait_async(timeout))
    assert wg._raw.done() == []  # the done() reaching zero finds no waiter left


def test_interrupted_wait_takes_its_waiter_back():
    wg = WaitGroup()
    wg.add(1)
    main = threading.main_thread().ident
    threading.Timer(0.05, signal.pthread_kill, args=(main, signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        wg.wait()
    assert wg._raw.done() == []


def test_an_interrupt_just_after_an_async_wait_registers_takes_its_waiter_back(monkeypatch):
    wg, real = WaitGroup(), RawAsyncWaitGroup()
    real.add(1)

    class Interrupting:  # the registration lands, then a signal handler raises
        def register_waiter(self, entry):
            real.register_waiter(entry)
            raise KeyboardInterrupt

        def __getattr__(self, name):
            return getattr(real, name)

    monkeypatch.setattr(wg, "_raw", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        asyncio.run(wg.wait_async())
    assert real.done() == []  # nobody left listed


# The counter holds up to 2**64 - 1 jobs, however they are added; past that,
# the same RuntimeError as any overflow, with the count unchanged.
@pytest.mark.parametrize("start, delta, fits", [
    (0, 2**63, True), (0, 2**64 - 1, True), (1, 2**64 - 1, False), (0, 2**64, False), (0, 2**70, False),
])
def test_add_takes_any_delta_the_counter_can_hold(start, delta, fits):
    wg = WaitGroup()
    if start:
        wg.add(start)
    if fits:
        wg.add(delta)
        assert wg.count == start + delta
    else:
        with pytest.raises(RuntimeError, match="WaitGroup counter overflowed"):
            wg.add(delta)
        assert wg.count == start


def test_count_follows_add_and_done_and_is_read_only():
    wg = WaitGroup()
    wg.add(3)
    wg.done()
    assert (wg.count, repr(wg)) == (2, "<WaitGroup count=2>")
    with pytest.raises(AttributeError):
        wg.count = 0
    with pytest.raises(TypeError, match="RawAsyncWaitGroup"):
        wait_group_count(wg)  # the layer object, not the native one


@pytest.mark.parametrize("delta", [-2, -(2**64) + 1, -(2**64), -(2**200)])
def test_taking_more_than_the_count_is_a_runtime_error_whatever_the_size(delta):
    wg = WaitGroup()
    wg.add(1)
    with pytest.raises(RuntimeError, match="negative"):
        wg.add(delta)
    assert wg.count == 1


class _Interrupt(Exception):
    pass


class _WaiterInterruptedOnce:
    """A waiter whose first wake-up is interrupted before it wakes anyone."""

    def __init__(self):
        self.calls = 0
        self.woken = threading.Event()

    def release(self):
        self.calls += 1
        if self.calls == 1:
            raise _Interrupt
        self.woken.set()


@pytest.mark.parametrize("on_main_thread", [True, False], ids=["main thread", "other thread"])
@pytest.mark.parametrize("finish", ["done", "add"])
def test_an_interrupted_wakeup_still_wakes_every_waiter(finish, on_main_thread, monkeypatch):
    # The count is zero once the call has run: every waiter is woken, the
    # interrupted one too, and the interrupt comes after the call returned
    # (on the main thread; reported as unraisable on any other).
    wg = WaitGroup()
    wg.add(2)
    interrupted = _WaiterInterruptedOnce()
    assert wg._raw.register_waiter((None, interrupted)) is False
    woke = []
    sleeper = threading.Thread(target=lambda: woke.append(wg.wait(T)))
    sleeper.start()
    threading.Event().wait(0.05)  # registered and waiting
    wg.done()
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: unraisable.append(report.exc_type))
    finish_call = wg.done if finish == "done" else lambda: wg.add(-1)
    if on_main_thread:
        with pytest.raises(_Interrupt):
            finish_call()
            time.sleep(0)  # a Python call: the interrupt is raised by now
    else:
        other = threading.Thread(target=finish_call)
        other.start()
        other.join(T)
        assert unraisable == [_Interrupt]
    sleeper.join(T)
    assert woke == [True] and interrupted.woken.is_set() and wg.count == 0


def test_a_refused_negative_add_never_shows_a_count_it_never_had(fine_switching):
    """A negative add() that must fail (count 1, add(-2)) races a watcher and
    a valid done(): the count must never read 0 while the failing add runs,
    and the done() must succeed and wake the waiter."""
    for _ in range(10):
        wg = WaitGroup()
        wg.add(1)
        stop, seen_zero, done_raised = [], [], []

        def misuse():
            while not stop:
                with pytest.raises(RuntimeError, match="negative"):
                    wg.add(-2)

        def watch():
            for _ in range(500):
                if wg.count == 0 or wg.wait(0):
                    seen_zero.append(True)
                    return

        threads = [threading.Thread(target=misuse), threading.Thread(target=watch)]
        for t in threads:
            t.start()
        threads[1].join()
        try:
            wg.done()
        except RuntimeError:
            done_raised.append(True)
        stop.append(True)
        threads[0].join()
        assert not seen_zero and not done_raised
        assert wg.wait(0) and wg.count == 0


def test_no_thread_waiter_is_left_asleep_when_the_count_reaches_zero():
    # Waiters and the done() that reaches zero start together, round after
    # round: each wait must return True, and the group keep no dead entry.
    waiters = 3
    for _ in range(200):
        wg = WaitGroup()
        wg.add(1)
        barrier = threading.Barrier(waiters + 1)
        results = []

        def wait():
            barrier.wait()
            results.append(wg.wait(T))

        threads = [threading.Thread(target=wait) for _ in range(waiters)]
        for t in threads:
            t.start()
        barrier.wait()
        wg.done()
        for t in threads:
            t.join(T)
        assert results == [True] * waiters
        wg.add(1)
        assert wg._raw.done() == []


def test_timed_out_waits_race_the_last_done_and_leave_nothing_behind(run_together):
    # A wait that times out just as the count reaches zero may say either,
    # but True only once the count is zero, and never leaves its entry queued.
    for _ in range(200):
        wg = WaitGroup()
        wg.add(1)

        def wait():
            ok = wg.wait(0.0005)
            return ok, wg.count

        (ok, count), _ = run_together(wait, wg.done)
        assert not ok or count == 0
        wg.add(1)
        assert wg._raw.done() == []


@pytest.mark.parametrize("timeout", [0, 0.05, 0.3], ids=["zero", "50ms", "300ms"])
def test_timeouts_are_kept(timeout):
    wg = WaitGroup()
    wg.add(1)
    start = time.monotonic()
    assert wg.wait(timeout) is False
    assert timeout <= time.monotonic() - start < timeout + 2


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="POSIX signals")
def test_a_signal_handler_runs_during_a_wait_that_then_goes_on():
    wg = WaitGroup()
    wg.add(1)
    ran = []
    old = signal.signal(signal.SIGUSR1, lambda *_: ran.append(time.monotonic()))
    try:
        main = threading.main_thread().ident
        threading.Timer(0.05, signal.pthread_kill, args=(main, signal.SIGUSR1)).start()
        done_at = []
        threading.Timer(0.3, lambda: done_at.append(time.monotonic()) or wg.done()).start()
        assert wg.wait(T) is True
        assert len(ran) == 1 and ran[0] < done_at[0], "the handler ran while the wait went on"
    finally:
        signal.signal(signal.SIGUSR1, old)


def test_native_wait_refuses_bad_arguments():
    wg = WaitGroup()
    with pytest.raises(TypeError, match="RawAsyncWaitGroup"):
        wait_group_wait(wg, None)
    with pytest.raises(TypeError, match="2 arguments"):
        wait_group_wait(wg._raw)
    wg.add(1)
    with pytest.raises(ValueError):
        wait_group_wait(wg._raw, -1.0)
    assert wg._raw.done() == []
