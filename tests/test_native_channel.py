import os
import signal
import sys
import threading
import time

import pytest

from kestrum._kestrum_native import NativeChannel

T = 30


def test_waits_end_on_progress_timeout_or_close(run_together):
    ch = NativeChannel(1)
    assert ch.send("a", 0) is True and ch.send("b", 0) is False  # full: no wait at all
    start = time.monotonic()
    assert ch.send("b", 0.05) is False
    assert 0.05 <= time.monotonic() - start < 2
    assert ch.recv(None) == (True, "a")
    assert ch.recv(0.02) == (False, None)
    nothing = object()
    assert ch.recv_or(0, nothing) is nothing and ch.recv_or(0.01, nothing) is nothing
    ch.send(None, 0)
    assert ch.recv_or(0, nothing) is None  # an item, not the fallback
    assert ch.qsize() == 0
    # A waiting receiver is woken by a send from another thread, and by close.
    got = run_together(lambda: ch.recv(T), lambda: time.sleep(0.05) or ch.send("c", T))
    assert got == [(True, "c"), True]
    threading.Timer(0.05, ch.close).start()
    with pytest.raises(RuntimeError, match="Channel is closed"):
        ch.recv(None)
    with pytest.raises(RuntimeError, match="Channel is closed"):
        ch.send("late", None)


@pytest.mark.parametrize("timeout,error", [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError)])
def test_bad_timeouts_are_refused(timeout, error):
    ch = NativeChannel(0)
    with pytest.raises(error):
        ch.recv(timeout)
    with pytest.raises(error):
        ch.send(1, timeout)
    assert ch.qsize() == 0


@pytest.mark.parametrize("producers,consumers,maxsize", [(1, 1, 1), (3, 3, 4), (2, 4, 0)])
def test_blocking_traffic_delivers_everything_once_in_order(run_together, producers, consumers, maxsize):
    ch = NativeChannel(maxsize)
    per = 20000
    done = threading.Barrier(producers)

    def produce(p):
        def run():
            for i in range(per):
                assert ch.send((p, i), T)
            if done.wait() == 0:
                ch.close()
        return run

    def consume():
        got = []
        try:
            while True:
                ok, item = ch.recv(T)
                assert ok, "a receive timed out: a lost wake-up"
                got.append(item)
        except RuntimeError:
            return got

    results = run_together(*[produce(p) for p in range(producers)], *[consume for _ in range(consumers)])
    received = results[producers:]
    assert sorted(i for got in received for i in got) == [(p, i) for p in range(producers) for i in range(per)]
    for got in received:
        for p in range(producers):
            seq = [i for q, i in got if q == p]
            assert seq == sorted(seq)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_interrupts_a_native_wait_and_moves_nothing():
    ch = NativeChannel(1)
    ch.send("queued", None)
    threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        ch.send("refused", None)
    assert time.monotonic() - start < 5
    assert ch.recv(0) == (True, "queued") and ch.qsize() == 0


def test_polling_try_recv_gets_everything_sent_before_the_close(run_together):
    # try_recv answers an empty, open channel without taking the lock; a
    # poller must still see every accepted item, in order, and then the close.
    ch = NativeChannel(0)
    assert ch.try_recv() == (False, None)
    per = 50000

    def produce():
        for i in range(per):
            ch.try_send(i)
        ch.close()

    def poll():
        got = []
        deadline = time.monotonic() + T
        try:
            while time.monotonic() < deadline:
                ok, item = ch.try_recv()
                if ok:
                    got.append(item)
        except RuntimeError:
            return "closed", got
        return "still open", got

    _, (end, got) = run_together(produce, poll)
    assert (end, got) == ("closed", list(range(per)))
