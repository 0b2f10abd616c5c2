import sys
import time

import pytest

from kestrum._kestrum_core import FastChannel

def drain(ch):
    items = []
    while (received := ch.try_recv())[0]:
        items.append(received[1])
    return items


# Small sizes, None items and close are compared step by step in test_models.py; these are
# the sizes it does not draw: True converts to 1, and the largest is no limit.
@pytest.mark.parametrize("maxsize, bound", [(True, 1), (2**64 - 1, None)], ids=["True", "2**64-1"])
def test_maxsize_edges(maxsize, bound):
    ch, n = FastChannel(maxsize), bound or 5000
    assert [ch.try_send(i) for i in range(n + 1)] == [True] * n + [not bound]
    assert drain(ch) == list(range(n + (not bound)))


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
