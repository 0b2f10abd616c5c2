import sys
import time

import pytest

from kestrum._kestrum_core import FastChannel

CLOSED = ("Channel is closed",)


def drain(ch):
    items = []
    while (received := ch.try_recv())[0]:
        items.append(received[1])
    return items


@pytest.mark.parametrize("maxsize, bound", [(1, 1), (3, 3), (True, 1)], ids=["1", "3", "True"])
def test_bounded(maxsize, bound):
    ch = FastChannel(maxsize=maxsize)
    assert [ch.try_send(i) for i in range(bound + 1)] == [True] * bound + [False]
    assert ch.qsize() == bound
    assert ch.try_recv() == (True, 0)
    assert (ch.try_send("last"), ch.try_send("refused")) == (True, False)
    assert drain(ch) == list(range(1, bound)) + ["last"]


@pytest.mark.parametrize("maxsize", [0, 2**64 - 1], ids=["0", "2**64-1"])
def test_unbounded(maxsize):
    ch = FastChannel(maxsize)
    assert all(ch.try_send(i) for i in range(5000)) and ch.qsize() == 5000
    assert drain(ch) == list(range(5000))


def test_none_payloads():
    ch = FastChannel(0)
    assert ch.try_recv() == (False, None)
    assert (ch.try_send(None), ch.try_send(item=None), ch.qsize()) == (True, True, 2)
    assert [ch.try_recv() for _ in range(3)] == [(True, None), (True, None), (False, None)]


def test_close_refuses_sends_then_drains():
    ch = FastChannel(5)
    for item in ("a", None, "c"):
        ch.try_send(item)
    assert (ch.is_closed(), ch.close(), ch.close(), ch.is_closed()) == (False, None, None, True)
    with pytest.raises(RuntimeError) as info:
        ch.try_send("d")  # there is room, but the channel is closed
    assert info.value.args == CLOSED and ch.qsize() == 3
    assert [ch.try_recv() for _ in range(3)] == [(True, "a"), (True, None), (True, "c")]
    for _ in range(3):
        with pytest.raises(RuntimeError, match="^Channel is closed$"):
            ch.try_recv()
    assert (ch.qsize(), ch.is_closed()) == (0, True)


@pytest.mark.parametrize("maxsize, error", [(-1, OverflowError), (2**64, OverflowError),
                                            (None, TypeError), (2.5, TypeError)],
                         ids=["-1", "2**64", "None", "2.5"])
def test_bad_maxsize(maxsize, error):
    with pytest.raises(error) as info:
        FastChannel(maxsize)
    assert info.value.__notes__ == ["while processing 'maxsize'"]


def test_reference_counts():
    item = object()
    before = sys.getrefcount(item)
    full, closed, ch = FastChannel(1), FastChannel(0), FastChannel(0)
    full.try_send("filler")
    closed.close()
    assert full.try_send(item) is False
    with pytest.raises(RuntimeError):
        closed.try_send(item)
    assert sys.getrefcount(item) == before
    ch.try_send(item)
    assert sys.getrefcount(item) == before + 1
    received = ch.try_recv()
    assert sys.getrefcount(item) == before + 1  # moved from the queue to the tuple
    assert received[1] is item
    del received
    assert sys.getrefcount(item) == before


def test_deleting_a_channel_releases_each_item_once():
    released = []

    class Item:
        def __init__(self, n):
            self.n = n

        def __del__(self):
            released.append(self.n)

    ch = FastChannel(0)
    for n in range(10):
        ch.try_send(Item(n))
    ch.try_recv()
    ch.close()
    assert released == [0]
    del ch
    assert released == list(range(10))


@pytest.mark.parametrize("bound", [0, 4], ids=["unbounded", "bounded"])
def test_threaded_producers_and_consumers(bound, run_together):
    ch, producers, count, stop = FastChannel(bound), 4, 2000, object()

    def produce(p):
        for item in [(p, seq) for seq in range(count)] + [stop]:
            while not ch.try_send(item) and not run_together.failed.is_set():
                time.sleep(0)  # let the consumers in, also on few cores

    def consume():  # each consumer leaves on one stop; a producer's stop follows its items
        got = []
        while not run_together.failed.is_set():
            assert ch.qsize() <= (bound or sys.maxsize)
            has_item, item = ch.try_recv()
            if item is stop:
                return got
            if has_item:
                got.append(item)
            else:
                time.sleep(0)

    results = run_together(*[lambda p=p: produce(p) for p in range(producers)],
                           *[consume] * producers)[producers:]
    assert sorted(i for got in results for i in got) == [
        (p, s) for p in range(producers) for s in range(count)]
    for got in results:  # what one consumer saw of one producer came in order
        assert sorted(got) == sorted(got, key=lambda item: item[0])
    assert (ch.qsize(), ch.try_recv()) == (0, (False, None))
