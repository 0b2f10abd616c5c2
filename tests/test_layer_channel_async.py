import asyncio
import os
import queue
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from kestrum import Channel, ChannelClosed, WorkerPool

T = float(os.environ.get("KESTRUM_TEST_TIMEOUT", "30"))
# The mixed-traffic test moves this many items; set KESTRUM_ASYNC_ITEMS=1000000
# for the full-size run.
ITEMS = int(os.environ.get("KESTRUM_ASYNC_ITEMS", "200000"))


def _loop_thread(main, barrier, results, key):
    """Run asyncio.run(main()) on a new thread once every participant is at
    `barrier`; its result or exception lands in results[key]."""

    def body():
        barrier.wait()
        try:
            results[key] = asyncio.run(main())
        except BaseException as exc:  # reported by the test, not the thread
            results[key] = exc

    thread = threading.Thread(target=body)
    thread.start()
    return thread


def _check_delivery(consumed, producers, per_producer):
    everything = sorted(item for got in consumed for item in got)
    assert everything == [(p, i) for p in range(producers) for i in range(per_producer)]
    for got in consumed:  # each consumer sees each producer's items in order
        last = {}
        for p, i in got:
            assert i > last.get(p, -1), f"producer {p}: {i} after {last[p]}"
            last[p] = i


def test_threads_and_coroutines_on_two_loops_deliver_everything_once_in_order():
    ch = Channel(64)
    thread_producers, loops = 2, 2
    producers = thread_producers + loops  # one producer coroutine per loop
    per_producer = ITEMS // producers
    results, finished = {}, threading.Barrier(producers + 1)
    start = threading.Barrier(thread_producers + 2 + loops)

    def thread_producer(p):
        start.wait()
        for i in range(per_producer):
            ch.send((p, i), timeout=T)
        finished.wait()

    def thread_consumer(key):
        start.wait()
        results[key] = list(ch)

    def thread_poller(key):
        # Takes items without waiting: each one it takes from the full
        # channel must still wake a coroutine waiting to send.
        start.wait()
        got, nothing = [], object()
        try:
            while True:
                item = ch.try_recv_or(nothing)
                if item is nothing:
                    time.sleep(0)
                else:
                    got.append(item)
        except ChannelClosed:
            results[key] = got

    def loop_main(p):
        async def produce():
            for i in range(per_producer):
                await ch.send_async((p, i), timeout=T)
            await asyncio.to_thread(finished.wait)

        async def consume():
            return [item async for item in ch]

        async def main():
            _, got = await asyncio.gather(produce(), consume())
            return got
        return main

    threads = [threading.Thread(target=thread_producer, args=(p,)) for p in range(thread_producers)]
    threads += [threading.Thread(target=thread_consumer, args=("thread",)),
                threading.Thread(target=thread_poller, args=("poller",))]
    for t in threads:
        t.start()
    threads += [_loop_thread(loop_main(thread_producers + n), start, results, f"loop{n}") for n in range(loops)]
    finished.wait()  # every producer is through: nothing more will come
    ch.close()
    for t in threads:
        t.join(T * 4)
        assert not t.is_alive()
    for got in results.values():
        if isinstance(got, BaseException):
            raise got
    assert len(results) == 4
    _check_delivery(results.values(), producers, per_producer)


def test_cancellation_storm_loses_and_duplicates_nothing():
    ch = Channel(8)
    rounds, calls = 30, 40
    sent, received = [], []
    rng = random.Random(15)
    serial = iter(range(10**9))

    async def sender(item):
        await ch.send_async(item, timeout=T)
        sent.append(item)  # reached only if the item was queued

    async def receiver():
        received.append(await ch.recv_async(timeout=T))

    def thread_side(stop):
        # Keeps wake-ups arriving from another thread while the loop cancels.
        n = 0
        while not stop.is_set():
            ok, item = ch.try_recv()
            if ok:
                received.append(item)
            if n % 2 and ch.try_send(("thread", n)):
                sent.append(("thread", n))
            n += 1
            time.sleep(0)

    async def main():
        stop = threading.Event()
        helper = threading.Thread(target=thread_side, args=(stop,))
        helper.start()
        try:
            for _ in range(rounds):
                tasks = [asyncio.ensure_future(sender(next(serial)) if rng.random() < 0.5 else receiver())
                         for _ in range(calls)]
                victims = rng.sample(tasks, calls // 2)
                for victim in victims:
                    # Cancel at a random point: before the first step, while
                    # waiting, or just after a wake-up was posted.
                    for _ in range(rng.randrange(3)):
                        await asyncio.sleep(0)
                    victim.cancel()
                await asyncio.wait(tasks, timeout=0.05)
                # What is still waiting gets the channel drained or topped up.
                for task in tasks:
                    if not task.done():
                        task.cancel()
                await asyncio.gather(*tasks, return_exceptions=True)
        finally:
            stop.set()
            await asyncio.to_thread(helper.join)

    asyncio.run(main())
    ch.close()
    left = list(ch)
    assert sorted(map(repr, received + left)) == sorted(map(repr, sent))
    assert len(set(map(repr, sent))) == len(sent)


@pytest.mark.parametrize("side", ["receivers", "senders"])
def test_a_wakeup_claimed_by_a_cancelled_coroutine_is_passed_on(side):
    # A and B wait; a wake-up claims A (the oldest), and A is cancelled before
    # it runs again. A must hand the wake-up to B, or B waits until its
    # time-out although an item (or room) is there for it.
    async def main():
        ch = Channel(1)
        if side == "senders":
            ch.send("filler")
            wait = [ch.send_async("A"), ch.send_async("B", timeout=2)]
        else:
            wait = [ch.recv_async(), ch.recv_async(timeout=2)]
        a, b = (asyncio.ensure_future(coro) for coro in wait)
        await asyncio.sleep(0.01)  # both registered
        if side == "senders":
            assert ch.recv() == "filler"  # wakes A
        else:
            ch.send("item")  # wakes A
        a.cancel()
        with pytest.raises(asyncio.CancelledError):
            await a
        await b  # raises queue.Empty/Full if the wake-up was lost
        return [ch.recv()] if side == "senders" else [b.result()]

    assert asyncio.run(main()) == ["B" if "senders" == side else "item"]


def test_close_wakes_every_async_and_thread_waiter():
    full, empty = Channel(1), Channel()
    full.send("queued")
    results = {}
    barrier = threading.Barrier(3)

    def loop_main():
        async def main():
            waiters = [full.send_async(n) for n in range(50)] + [empty.recv_async() for _ in range(50)]

            async def iterate():
                return [item async for item in empty]
            return await asyncio.gather(*waiters, iterate(), return_exceptions=True)
        return main

    threads = [_loop_thread(loop_main(), barrier, results, n) for n in range(2)]
    barrier.wait()
    time.sleep(0.2)
    assert not results  # everyone is waiting
    full.close()
    empty.close()
    for t in threads:
        t.join(T)
        assert not t.is_alive()
    for outcomes in results.values():
        assert all(isinstance(o, ChannelClosed) for o in outcomes[:-1]), outcomes
        assert outcomes[-1] == []  # the async for just ends
    assert list(full) == ["queued"]  # received after the close, nothing sent during it


def test_idle_loop_with_a_thousand_pending_receives_uses_no_cpu():
    async def main():
        ch = Channel()
        tasks = [asyncio.ensure_future(ch.recv_async()) for _ in range(1000)]
        await asyncio.sleep(0.1)
        before = time.process_time()
        await asyncio.sleep(0.5)
        spent = time.process_time() - before
        for n in range(1000):
            ch.send(n)
        return spent, sorted(await asyncio.gather(*tasks))

    spent, got = asyncio.run(main())
    assert spent < 0.1, f"{spent:.3f} s of CPU while idle"
    assert got == list(range(1000))


@pytest.mark.parametrize("call", ["send_async", "recv_async"])
def test_async_timeouts_raise_queue_full_or_empty(call):
    async def main():
        ch = Channel(1)
        if call == "send_async":
            await ch.send_async(0)
        op = getattr(ch, call)
        args = (1,) if call == "send_async" else ()
        error = queue.Full if call == "send_async" else queue.Empty
        for timeout in (0, 0.02):
            with pytest.raises(error):
                await op(*args, timeout=timeout)
        assert len(ch) == (1 if call == "send_async" else 0)  # nothing moved
        assert not ch._senders and not ch._receivers  # no waiter left behind

    asyncio.run(main())


def test_pool_run_resolves_raises_and_cancels_unstarted_calls():
    ran, gate = [], threading.Event()

    async def main(pool):
        assert await pool.run(pow, 2, exp=10) == 1024
        with pytest.raises(ZeroDivisionError):
            await pool.run(divmod, 1, 0)
        blocker = asyncio.ensure_future(pool.run(gate.wait, T))  # the one worker is busy
        await asyncio.sleep(0.05)
        queued = asyncio.ensure_future(pool.run(ran.append, "never"))
        await asyncio.sleep(0.05)
        queued.cancel()
        with pytest.raises(asyncio.CancelledError):
            await queued
        gate.set()
        assert await blocker is True
        return await asyncio.gather(*[pool.run(abs, -n) for n in range(200)])

    with WorkerPool(1) as pool:
        assert asyncio.run(main(pool)) == list(range(200))
    assert ran == []  # the cancelled call never started


@pytest.mark.parametrize("peer", ["thread", "other_loop"])
def test_ping_pong_never_stalls(peer):
    # Every exchange needs a wake-up across threads; a lost one shows up as a
    # time-out, not just as a slower run.
    ping, pong = Channel(1), Channel(1)
    rounds = 5000

    def thread_peer():
        for n in range(rounds):
            pong.send(ping.recv(timeout=T) + 1, timeout=T)

    async def loop_peer():
        for n in range(rounds):
            await pong.send_async(await ping.recv_async(timeout=T) + 1, timeout=T)

    async def main():
        total = 0
        for n in range(rounds):
            await ping.send_async(n, timeout=T)
            total += await pong.recv_async(timeout=T) - n
        return total

    results = {}
    if peer == "thread":
        other = threading.Thread(target=thread_peer)
        other.start()
    else:
        other = _loop_thread(loop_peer, threading.Barrier(1), results, "peer")
    assert asyncio.run(main()) == rounds
    other.join(T)
    assert results.get("peer") is None


def test_a_waiter_left_on_a_closed_loop_does_not_swallow_wake_ups():
    ch = Channel()
    loop = asyncio.new_event_loop()
    abandoned = loop.create_task(ch.recv_async())
    loop.run_until_complete(asyncio.sleep(0.01))  # its waiter is registered
    loop.close()  # without cancelling the task: that waiter will never run
    results = {}
    live = _loop_thread(lambda: ch.recv_async(timeout=T), threading.Barrier(1), results, "live")
    while len(ch._receivers) < 2:
        time.sleep(0.001)
    ch.send("item")  # claims the dead waiter first
    live.join(T)
    assert results == {"live": "item"}
    assert not abandoned.done()
    abandoned._log_destroy_pending = False  # abandoned on purpose


class _Interrupt(Exception):
    """What a signal handler raises (KeyboardInterrupt, for Ctrl-C)."""


class _InterruptedOnce(Channel):
    """A channel whose first coroutine wake-up is interrupted before it wakes
    anyone, as a signal handler raising at its first line would."""

    interrupt = True

    def _wake_senders(self):
        self._interrupt_once()
        super()._wake_senders()

    def _wake_receivers(self):
        self._interrupt_once()
        super()._wake_receivers()

    def _interrupt_once(self):
        if self.interrupt:
            self.interrupt = False
            raise _Interrupt


@pytest.mark.parametrize("on_main_thread", [True, False], ids=["main thread", "other thread"])
@pytest.mark.parametrize("side", ["recv", "send"])
def test_an_interrupted_wakeup_still_wakes_the_coroutine_and_keeps_the_item(side, on_main_thread, monkeypatch):
    # The thread's call has moved the item before it wakes the coroutine on
    # the other side: it returns its answer, the coroutine is still woken,
    # and the interrupt comes once the call has returned (on the main thread,
    # where signal handlers run; reported as unraisable on any other).
    ch = _InterruptedOnce(1)
    if side == "recv":
        ch.send("first")  # full: the coroutine's send waits
        waiter = lambda: ch.send_async("second", timeout=T)
    else:
        waiter = lambda: ch.recv_async(timeout=T)
    results = {}
    loop = _loop_thread(waiter, threading.Barrier(1), results, "coroutine")
    while not (ch._senders or ch._receivers):
        time.sleep(0.001)
    answers, unraisable = [], []
    monkeypatch.setattr("sys.unraisablehook", lambda report: unraisable.append(report.exc_type))

    def call():
        answers.append(ch.recv() if side == "recv" else ch.send("item"))

    if on_main_thread:
        with pytest.raises(_Interrupt):
            call()
            time.sleep(0)  # a Python call: the interrupt is raised by now
        assert unraisable == []
    else:
        _start_and_join = threading.Thread(target=call)
        _start_and_join.start()
        _start_and_join.join(T)
        assert answers == (["first"] if side == "recv" else [None]) and unraisable == [_Interrupt]
    loop.join(T)
    if side == "recv":
        assert results == {"coroutine": None} and ch.recv(timeout=0) == "second"
    else:
        assert results == {"coroutine": "item"}
    assert len(ch) == 0


def test_a_finished_loop_is_not_kept_alive_by_kestrum():
    import gc
    import weakref

    ch = Channel()

    async def main():
        threading.Timer(0.05, ch.send, ("item",)).start()  # a wake-up through the loop's inbox
        assert await ch.recv_async(timeout=T) == "item"
        return weakref.ref(asyncio.get_running_loop())

    loop = asyncio.run(main())
    gc.collect()
    assert loop() is None


# A loop closed by hand while a wake-up posted to it is still on its way:
# the task it was for is destroyed with the loop, and the wake-up must reach
# the next waiter of that side (here a coroutine on a loop of its own)
# instead of dying with it; and nothing may keep the closed loop alive.
@pytest.mark.parametrize("path", ["recv wake-up", "send wake-up", "pool.run outcome"])
def test_a_loop_closed_with_a_wake_up_on_its_way_passes_it_on_and_is_let_go(path):
    import gc
    import weakref

    ch: Channel = Channel(1)
    if path == "send wake-up":
        ch.send("full")
    waiters = ch._senders if path == "send wake-up" else ch._receivers
    gate, pool = threading.Event(), WorkerPool(1)
    first = asyncio.new_event_loop()
    if path == "recv wake-up":
        task = first.create_task(ch.recv_async())
    elif path == "send wake-up":
        task = first.create_task(ch.send_async("first"))
    else:
        task = first.create_task(pool.run(gate.wait, T))
    first.run_until_complete(asyncio.sleep(0.05))  # the task now waits
    results: dict = {}
    if path != "pool.run outcome":
        wait = ch.send_async("second", timeout=T) if path == "send wake-up" else ch.recv_async(timeout=T)
        second = _loop_thread(lambda: wait, threading.Barrier(1), results, "second")
        deadline = time.monotonic() + T
        while len(waiters) < 2 and time.monotonic() < deadline:
            time.sleep(0.001)
        assert len(waiters) == 2
    # The wake-up or the outcome for the first task, posted to its stopped loop.
    if path == "recv wake-up":
        ch.send("item")
    elif path == "send wake-up":
        assert ch.recv() == "full"
    else:
        gate.set()
    pool.shutdown(wait=True)  # the outcome's relay has run
    first.close()
    closed = weakref.ref(first)
    del task, first
    gc.collect()
    if path != "pool.run outcome":
        second.join(T)
        if path == "recv wake-up":
            assert results == {"second": "item"}
        else:
            assert results == {"second": None} and ch.try_recv() == (True, "second")
    assert closed() is None, "the closed loop is still alive"


def test_an_interrupt_during_a_batch_of_wake_ups_leaves_the_rest_to_run_in_order():
    from kestrum._aio import inbox_for

    loop, ran = asyncio.new_event_loop(), []
    try:
        async def get_inbox():
            return inbox_for(asyncio.get_running_loop())

        inbox = loop.run_until_complete(get_inbox())

        def first(_):
            ran.append(1)
            # Posted from another thread while this batch runs: a batch of its own.
            poster = threading.Thread(target=inbox.post, args=(ran.append, 4))
            poster.start()
            poster.join()

        def interrupt(_):
            raise KeyboardInterrupt

        def post_batch():  # from another thread, so all of them share one drain
            for fn, arg in ((first, None), (interrupt, None), (ran.append, 2), (ran.append, 3)):
                inbox.post(fn, arg)

        poster = threading.Thread(target=post_batch)
        poster.start()
        poster.join()
        with pytest.raises(KeyboardInterrupt):
            loop.run_until_complete(asyncio.sleep(0.05))
        loop.run_until_complete(asyncio.sleep(0.05))
        assert ran == [1, 2, 3, 4]
    finally:
        loop.close()


def test_a_wake_up_refused_by_a_closed_loop_is_passed_on_once():
    import gc

    ch: Channel = Channel()
    first = asyncio.new_event_loop()
    task = first.create_task(ch.recv_async())
    first.run_until_complete(asyncio.sleep(0.05))
    first.close()  # by hand, its task still listed as a receiver
    listed, results = threading.Event(), {}

    async def receivers():
        got = []

        async def one(name):
            got.append((name, await ch.recv_async(timeout=T)))

        tasks = []
        for name in ("R2", "R3", "R4"):
            tasks.append(asyncio.ensure_future(one(name)))
            await asyncio.sleep(0.01)
        listed.set()
        await asyncio.gather(*tasks)
        return got

    other = _loop_thread(receivers, threading.Barrier(1), results, "got")
    assert listed.wait(T)

    def send_and_settle(item, left):
        ch.send(item)
        deadline = time.monotonic() + T
        while len(ch._receivers) != left and time.monotonic() < deadline:
            time.sleep(0.001)

    send_and_settle("x1", 2)  # refused by the closed loop's task, so R2's
    del task, first
    gc.collect()  # that task's end must not pass x1's wake-up on again
    send_and_settle("x2", 1)
    ch.send("x3")
    other.join(T)
    assert results == {"got": [("R2", "x1"), ("R3", "x2"), ("R4", "x3")]}


class _InterruptOnce:
    """A lock whose next acquire raises, as a signal handler run while a
    contended acquire waits would."""

    def __init__(self, lock):
        self.lock, self.armed = lock, True

    def __enter__(self):
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt
        return self.lock.__enter__()

    def __exit__(self, *exc):
        return self.lock.__exit__(*exc)


# An interrupt as a coroutine registers, before or after its token is listed,
# must leave the waiters already there as they were: no token left listed to
# swallow a wake-up, no wake-up passed on that never came (which would send
# the oldest waiter to the back).
@pytest.mark.parametrize("where", ["before the append", "after the append"])
@pytest.mark.parametrize("side", ["recv", "send"])
def test_an_interrupt_as_a_coroutine_registers_leaves_the_other_waiters_as_they_were(side, where, monkeypatch):
    ch: Channel = Channel(1)
    if side == "send":
        ch.send("full")
    waiters = ch._senders if side == "send" else ch._receivers
    counted = Channel._counted

    def interrupted(self) -> None:  # lands just after the token was listed
        monkeypatch.setattr(Channel, "_counted", counted)
        counted(self)
        raise KeyboardInterrupt

    async def main():
        got = []

        async def wait(name):
            if side == "recv":
                got.append((name, await ch.recv_async(timeout=T)))
            else:
                await ch.send_async(name, timeout=T)

        tasks = []
        for name in ("older", "younger"):
            tasks.append(asyncio.ensure_future(wait(name)))
            await asyncio.sleep(0.01)
        if where == "before the append":
            monkeypatch.setattr(ch, "_lock", _InterruptOnce(ch._lock))
        else:
            monkeypatch.setattr(Channel, "_counted", interrupted)
        with pytest.raises(KeyboardInterrupt):
            await (ch.send_async("lost") if side == "send" else ch.recv_async())
        assert len(waiters) == 2
        for _ in range(2):  # one item (or one room) at a time
            if side == "recv":
                await asyncio.to_thread(ch.send, f"item {len(got)}")
            else:
                got.append(await asyncio.to_thread(ch.recv))
            await asyncio.sleep(0.05)
        await asyncio.wait_for(asyncio.gather(*tasks), T)
        return got

    expected = [("older", "item 0"), ("younger", "item 1")] if side == "recv" else ["full", "older"]
    assert asyncio.run(main()) == expected


# A collection that runs while a channel's waiter lock is held (in close(),
# say) and destroys a task still listed as a waiter: the task's withdrawal
# takes that lock again, on the same thread. In a child process, which a
# deadlock cannot take the suite down with.
def test_a_collection_ending_a_waiting_task_under_the_channel_lock_does_not_deadlock():
    code = textwrap.dedent("""
        import asyncio, gc
        from kestrum import Channel
        for k in range(40):  # moves the collection along close()
            ch = Channel(0)
            gc.collect()
            gc.disable()
            loop = asyncio.new_event_loop()
            loop.create_task(ch.recv_async())
            loop.run_until_complete(asyncio.sleep(0.01))
            loop.close()
            del loop
            ch.try_send("x")  # refused by the closed loop's task, now garbage
            gc.set_threshold(gc.get_count()[0] + k)
            gc.enable()
            ch.close()
        print("no deadlock")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=T)
    assert done.stdout.strip() == "no deadlock", done.stderr
