import asyncio
import os
import queue
import signal
import sys
import threading
import time
from fractions import Fraction

import pytest

from kestrum import Channel, ChannelClosed

T = 10


def _start(target, *args):
    thread = threading.Thread(target=target, args=args)
    thread.start()
    return thread


@pytest.mark.parametrize("producers,consumers,maxsize", [(1, 1, 1), (4, 4, 8), (3, 2, 0), (2, 5, 3)])
def test_pipeline_delivers_everything_once_in_per_producer_order(producers, consumers, maxsize):
    ch = Channel(maxsize)
    per_producer = 3000
    received = [[] for _ in range(consumers)]
    sinks = [_start(lambda out: out.extend(ch), received[c]) for c in range(consumers)]
    feeds = [_start(lambda p: [ch.send((p, i), timeout=T) for i in range(per_producer)], p)
             for p in range(producers)]
    for t in feeds:
        t.join()
    ch.close()
    for t in sinks:
        t.join(T)
    items = [item for out in received for item in out]
    assert sorted(items) == [(p, i) for p in range(producers) for i in range(per_producer)]
    for out in received:  # each consumer sees each producer's items in order
        for p in range(producers):
            seq = [i for q, i in out if q == p]
            assert seq == sorted(seq)


def test_try_forms_and_timeouts():
    ch = Channel(2)
    assert ch.try_recv() == (False, None)
    for timeout in (0.05, 0):
        with pytest.raises(queue.Empty):
            ch.recv(timeout=timeout)
    assert ch.try_send(None) and ch.try_send(1)
    assert not ch.try_send(2) and len(ch) == 2
    with pytest.raises(queue.Full):
        ch.send(2, timeout=0.05)
    with pytest.raises(ValueError):
        ch.send(2, timeout=-1)
    assert ch.try_recv() == (True, None)  # a None item is still an item
    ch.send(2, timeout=0)
    assert [ch.recv(), ch.recv()] == [1, 2]


@pytest.mark.parametrize("side", ["senders", "receivers"])
def test_close_wakes_every_blocked_thread(side):
    ch = Channel(1)
    if side == "senders":
        ch.send("queued")
    outcomes = []

    def blocked():
        try:
            outcomes.append(ch.send("more") if side == "senders" else ch.recv())
        except ChannelClosed as exc:
            outcomes.append(exc)

    threads = [_start(blocked) for _ in range(4)]
    threading.Event().wait(0.1)
    assert not outcomes  # all four are blocked
    ch.close()
    for t in threads:
        t.join(T)
        assert not t.is_alive()
    assert len(outcomes) == 4 and all(isinstance(o, ChannelClosed) for o in outcomes)
    with pytest.raises(ChannelClosed):
        ch.send("late")
    assert list(ch) == (["queued"] if side == "senders" else [])
    with pytest.raises(ChannelClosed):
        ch.recv(timeout=0)


def test_receivers_that_keep_timing_out_still_get_every_item():
    ch, total, got = Channel(4), 2000, []

    def impatient():
        while len(got) < total:
            try:
                got.append(ch.recv(timeout=0.0005))
            except queue.Empty:
                pass

    threads = [_start(impatient) for _ in range(4)]
    for i in range(total):
        ch.send(i, timeout=T)
    for t in threads:
        t.join(T)
    assert sorted(got) == list(range(total))


def _run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("call", [
    pytest.param(lambda ch: ch.send(1, timeout=-1), id="send"),
    pytest.param(lambda ch: ch.recv(timeout=-0.5), id="recv"),
    pytest.param(lambda ch: _run(ch.send_async(1, timeout=-1)), id="send_async"),
    pytest.param(lambda ch: _run(ch.recv_async(timeout=-1)), id="recv_async"),
])
def test_negative_timeouts_are_refused_even_when_the_call_would_not_wait(call):
    ch = Channel()
    ch.send("ready")  # a receive has an item, a send has room
    with pytest.raises(ValueError, match="'timeout' must be a non-negative number"):
        call(ch)
    assert list(ch.try_recv()) == [True, "ready"] and len(ch) == 0  # nothing moved


@pytest.mark.parametrize("bad,error,match", [
    pytest.param("a", TypeError, "'maxsize' must be an int, not str", id="str"),
    pytest.param(2.0, TypeError, "'maxsize' must be an int, not float", id="float"),
])
def test_bad_maxsize_is_refused_with_the_parameter_named(bad, error, match):
    with pytest.raises(error, match=match):
        Channel(bad)


def test_non_number_timeout_names_the_parameter():
    with pytest.raises(TypeError, match="'timeout' must be a number or None, not str"):
        Channel().recv(timeout="1")


@pytest.mark.parametrize("maxsize", [0, -1, -(2**70), 2**64, 2**70])
def test_a_maxsize_of_zero_or_less_or_beyond_reach_is_unbounded_as_for_the_standard_queues(maxsize):
    ch, q = Channel(maxsize), queue.Queue(maxsize)
    for i in range(3000):
        ch.send(i, timeout=0)
        q.put(i, timeout=0)
    assert (ch.maxsize, len(ch)) == (q.maxsize, q.qsize()) == (maxsize, 3000)
    assert asyncio.Queue(maxsize).maxsize == maxsize


@pytest.mark.skipif(not hasattr(queue, "ShutDown"), reason="queue.ShutDown is new in 3.13")
@pytest.mark.parametrize("side", ["thread", "coroutine"])
def test_channel_closed_is_what_the_standard_queues_raise_after_shutdown(side):
    ch = Channel()
    ch.close()
    # Code written for queue.Queue catches queue.ShutDown, and code written
    # for asyncio.Queue catches asyncio.QueueShutDown, on either side.
    for error in (queue.ShutDown, asyncio.QueueShutDown):
        with pytest.raises(error):
            if side == "thread":
                ch.send(1)
            else:
                asyncio.run(ch.recv_async())


def test_with_block_closes_the_channel_and_items_stay_receivable():
    with Channel() as ch:
        ch.send(1)
    assert ch.is_closed()
    assert list(ch) == [1]


@pytest.mark.parametrize("timeout, outcome", [
    pytest.param(0, queue.Empty, id="int 0"),
    pytest.param(0.01, queue.Empty, id="float"),
    pytest.param(False, queue.Empty, id="bool"),
    pytest.param(Fraction(1, 100), queue.Empty, id="Fraction"),
    pytest.param(-0.0, queue.Empty, id="minus zero"),
    pytest.param(-1, ValueError, id="negative int"),
    pytest.param(float("nan"), ValueError, id="nan"),
    pytest.param(float("inf"), OverflowError, id="inf"),
    pytest.param(1e10, OverflowError, id="above TIMEOUT_MAX"),
    pytest.param(10**30, OverflowError, id="huge int"),
    pytest.param(-10**30, ValueError, id="huge negative int"),
    pytest.param(1j, TypeError, id="complex"),
])
def test_timeouts_are_checked_like_the_standard_blocking_calls(timeout, outcome):
    # A common time-out is taken natively, any other through the same check
    # as WaitGroup's: the same answer either way, and nothing moves.
    full, empty = Channel(1), Channel(1)
    full.send("queued")
    for call, expected in ((lambda: empty.recv(timeout), outcome),
                           (lambda: full.send("refused", timeout), queue.Full if outcome is queue.Empty else outcome)):
        with pytest.raises(expected):
            call()
    assert full.try_recv() == (True, "queued") and len(full) == 0 and len(empty) == 0


@pytest.mark.parametrize("call, message", [
    (lambda ch: ch.send(), r"Channel.send\(\) missing 1 required positional argument: 'item'"),
    (lambda ch: ch.send(1, None, 2), r"Channel.send\(\) takes 2 positional arguments but 3 were given"),
    (lambda ch: ch.recv(wait=1), r"Channel.recv\(\) got an unexpected keyword argument 'wait'"),
    (lambda ch: ch.send(1, timeout=None, item=2), r"Channel.send\(\) got multiple values for argument 'item'"),
])
def test_argument_errors_name_the_method(call, message):
    ch = Channel()
    with pytest.raises(TypeError, match=message):
        call(ch)
    assert len(ch) == 0


def test_deeply_nested_channels_are_all_released():
    # Dropping the outermost releases the next, and so on: past a fixed depth
    # the releases are deferred, and a deferred channel must still be torn
    # down through its native type, once.
    released = []

    class Witness:
        def __del__(self):
            released.append(True)

    inner = Channel()
    inner.send(Witness())
    for _ in range(2000):
        outer = Channel()
        outer.send(inner)
        inner = outer
    del inner, outer
    assert released == [True]


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_interrupts_a_native_wait_and_moves_nothing():
    ch = Channel(1)
    ch.send("queued")
    threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        ch.send("refused")
    assert time.monotonic() - start < 5
    assert ch.try_recv() == (True, "queued") and len(ch) == 0


@pytest.mark.parametrize("pair", [True, False], ids=["try_recv", "try_recv_or"])
def test_polling_gets_everything_sent_before_the_close(run_together, pair):
    # Both answer an empty, open channel without taking the lock; a poller
    # must still see every accepted item, in order, and then the close.
    ch = Channel()
    per = 50000
    nothing = object()

    def take():
        if pair:
            return ch.try_recv()
        item = ch.try_recv_or(nothing)
        return item is not nothing, item

    def produce():
        for i in range(per):
            ch.try_send(i)
        ch.close()

    def poll():
        got = []
        deadline = time.monotonic() + T
        try:
            while time.monotonic() < deadline:
                ok, item = take()
                if ok:
                    got.append(item)
        except ChannelClosed:
            return "closed", got
        return "still open", got

    _, (end, got) = run_together(produce, poll)
    assert (end, got) == ("closed", list(range(per)))


def test_try_recv_or_tells_an_item_from_the_default_by_identity():
    ch = Channel()
    nothing = object()
    assert ch.try_recv_or(nothing) is nothing and ch.try_recv_or(default=None) is None
    for item in (None, nothing, "last"):
        ch.send(item)
    ch.close()
    assert [ch.try_recv_or(0) for _ in range(3)] == [None, nothing, "last"]
    with pytest.raises(ChannelClosed, match="channel closed and drained"):
        ch.try_recv_or(nothing)
    with pytest.raises(TypeError, match=r"Channel.try_recv_or\(\) missing 1 required positional argument: 'default'"):
        ch.try_recv_or()
