import asyncio
import threading

import pytest

from kestrum import WaitGroup

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
