import collections
import sys

import pytest

from kestrum._kestrum_core import RawAsyncWaitGroup

TOO_MANY_DONE = "WaitGroup counter went negative: too many done() calls"
NEGATIVE = "WaitGroup counter went negative: add() with negative delta"
OVERFLOW = "WaitGroup counter overflowed: add() with positive delta"


class Token:
    def __eq__(self, other):  # waiters are matched by identity only
        raise AssertionError("a waiter was compared")

    __hash__ = object.__hash__


def refused(call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == (message,)


def ids(pairs):
    return [(id(first), id(future)) for first, future in pairs]


def test_docstrings():
    assert [(getattr(RawAsyncWaitGroup, name).__doc__ or "").split("\n")[0] for name in (
        "add", "done", "register_waiter", "unregister_waiter")] == [
        "Add `delta` to the counter (Go `sync.WaitGroup.Add` semantics).", "",
        "Registers a waiter that will be notified when the counter reaches zero.",
        "Removes a previously registered waiter by future identity."]


def test_fresh_object():
    wg = RawAsyncWaitGroup()
    refused(wg.done, TOO_MANY_DONE)
    assert (wg.add(0), wg.register_waiter((Token(), Token()))) == (None, True)
    assert (wg.add(1), wg.add(0), wg.done()) == (None, None, [])
    refused(wg.done, TOO_MANY_DONE)


def test_waiters_handed_over_in_order_by_identity():
    wg, a, f, b, g = RawAsyncWaitGroup(), Token(), Token(), Token(), Token()
    wg.add(2)
    assert wg.register_waiter((a, f)) is False
    assert wg.register_waiter(waiter=collections.namedtuple("P", "a f")(b, g)) is False
    assert wg.done() is None
    woken = wg.done()
    assert [type(pair) for pair in woken] == [tuple, tuple]
    assert ids(woken) == ids([(a, f), (b, g)])
    assert wg.unregister_waiter(f) is False
    wg.add(1)
    assert wg.done() == []  # handed-over entries are gone


def test_unregister_removes_every_entry_of_a_future():
    wg, f, g, a, b, c = RawAsyncWaitGroup(), Token(), Token(), Token(), Token(), Token()
    wg.add(1)
    assert [wg.register_waiter(w) for w in [(a, f), (b, g), (c, f), (a, f)]] == [False] * 4
    assert wg.unregister_waiter(a) is False  # the first item is never matched
    assert wg.unregister_waiter(Token()) is False  # nor anything but the future itself
    assert (wg.unregister_waiter(fut=f), wg.unregister_waiter(f)) == (True, False)
    assert ids(wg.done()) == ids([(b, g)])


def test_add_to_zero_leaves_entries_for_the_next_done_to_zero():
    wg, a, f = RawAsyncWaitGroup(), Token(), Token()
    wg.add(1)
    assert (wg.register_waiter((a, f)), wg.add(-1)) == (False, None)
    assert wg.register_waiter((Token(), Token())) is True  # the counter is zero
    refused(wg.done, TOO_MANY_DONE)
    wg.add(1)
    assert ids(wg.done()) == ids([(a, f)])


def test_counter_bounds():
    wg = RawAsyncWaitGroup()
    refused(lambda: wg.add(-1), NEGATIVE)
    wg.add(2**63 - 1)
    wg.add(1)
    wg.add(-2**63)
    refused(wg.done, TOO_MANY_DONE)
    wg.add(2**63 - 1)
    wg.add(2**63 - 1)
    refused(lambda: wg.add(2), OVERFLOW)  # stays at 2**64 - 2
    wg.add(1)
    refused(lambda: wg.add(1), OVERFLOW)  # at 2**64 - 1
    wg.add(-2**63)
    refused(lambda: wg.add(-2**63), NEGATIVE)  # 2**63 - 1 left
    wg.add(-(2**63 - 2))
    assert wg.done() == []


@pytest.mark.parametrize("waiter, error, message", [
    ([1, 2], TypeError, "'list' object is not an instance of 'tuple'"),
    (None, TypeError, "'None' is not an instance of 'tuple'"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ((1,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((1, 2, 3), ValueError, "expected tuple of length 2, but got tuple of length 3"),
], ids=["list", "None", "empty", "1-tuple", "3-tuple"])
def test_bad_waiters_queue_nothing(waiter, error, message):
    wg = RawAsyncWaitGroup()
    wg.add(1)
    with pytest.raises(error) as info:
        wg.register_waiter(waiter)
    assert info.value.args == (message,)
    assert info.value.__notes__ == ["while processing 'waiter'"]
    assert wg.done() == []


def test_reference_counts():
    wg, a, f = RawAsyncWaitGroup(), Token(), Token()
    waiter = (a, f)
    counts = lambda: (sys.getrefcount(a), sys.getrefcount(f), sys.getrefcount(waiter))
    before = counts()
    queued = (before[0] + 1, before[1] + 1, before[2])  # the items are kept, not the tuple
    assert (wg.register_waiter(waiter), counts()) == (True, before)
    wg.add(1)
    assert (wg.register_waiter(waiter), counts()) == (False, queued)
    assert (wg.unregister_waiter(f), counts()) == (True, before)
    wg.register_waiter(waiter)
    woken = wg.done()
    assert counts() == queued
    del woken
    assert counts() == before
    wg.add(1)
    wg.register_waiter(waiter)
    del wg  # releases what is still queued
    assert counts() == before


def test_threaded_counting_and_waiters(run_together):
    wg, handed_out = RawAsyncWaitGroup(), []

    def count():
        for _ in range(2000):
            wg.add(1)
            handed_out.extend(wg.done() or [])

    def register(r):
        queued, removed = [], set()
        for i in range(1000):
            entry = (("first", r, i), Token())
            if not wg.register_waiter(entry):
                queued.append(entry)
                if i % 2 and wg.unregister_waiter(entry[1]):
                    removed.add(id(entry[1]))
        return queued, removed

    results = run_together(*[count] * 4, *[lambda r=r: register(r) for r in range(4)])[4:]
    refused(wg.done, TOO_MANY_DONE)  # every add was matched by a done
    wg.add(1)
    assert wg.done() == []  # nothing queued was left behind
    handed = {id(future): id(first) for first, future in handed_out}
    assert len(handed) == len(handed_out)
    for queued, removed in results:  # each queued entry left the list exactly one way
        for first, future in queued:
            assert (id(future) in handed) != (id(future) in removed)
            assert handed.get(id(future), id(first)) == id(first)
    assert len(handed_out) + sum(len(r) for _, r in results) == sum(len(q) for q, _ in results)
