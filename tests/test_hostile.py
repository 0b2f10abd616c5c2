"""Objects that call back into the pool, channel or wait group holding them.

Their finalizers (or __index__) run when the module lets go of them: on
unregister, when the container is deallocated, when a send is refused, or in
the middle of argument conversion. The module releases references with no
lock held, so a call-back must neither deadlock nor crash, and every finalizer
runs exactly once.
"""

import os
import subprocess
import sys
import threading

import pytest

from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup


class Hostile:
    """Calls action(self) from its finalizer and logs what it returned or raised."""

    def __init__(self, log, action):
        self.log, self.action = log, action

    def __del__(self):
        try:
            self.log.append(self.action(self))
        except Exception as error:  # logged as text: a traceback would keep self alive
            self.log.append(f"{type(error).__name__}: {error}")


def guarded(action):
    """Runs action() on a daemon thread, so that a deadlock fails the test instead of hanging it."""
    outcome = []

    def main():
        try:
            outcome.append(action())
        except Exception as error:
            outcome.append(f"{type(error).__name__}: {error}")

    thread = threading.Thread(target=main, daemon=True)
    thread.start()
    thread.join(60)
    assert not thread.is_alive(), "deadlocked"
    return outcome[0]


class Touchy:
    def __eq__(self, other):
        raise AssertionError("a future was compared: futures match by identity only")

    __hash__ = object.__hash__


def test_unregister_releases_entries_after_its_lock():
    wg, log, fut, other = RawAsyncWaitGroup(), [], Touchy(), Touchy()
    wg.add(1)
    reenter = lambda _: (wg.register_waiter((1, other)), wg.unregister_waiter(fut), wg.unregister_waiter(other))
    for _ in range(3):
        assert wg.register_waiter((Hostile(log, reenter), fut)) is False
    assert wg.unregister_waiter(Touchy()) is False
    assert guarded(lambda: wg.unregister_waiter(fut)) is True
    assert log == [(False, False, True)] * 3
    assert wg.done() == []


def waitgroup():
    wg = RawAsyncWaitGroup()
    wg.add(1)
    return wg


CONTAINERS = {  # make, put, take, and what a finalizer below logs
    "channel": (lambda: FastChannel(0), FastChannel.try_send, lambda c: c.try_recv()[0], (True, True)),
    "pool": (lambda: NativeWorkerPool(1), NativeWorkerPool.push_global, lambda p: p.pop_work(0), (None, True)),
    "waitgroup": (waitgroup, lambda w, x: w.register_waiter((x, None)), lambda w: w.unregister_waiter(None),
                  (False, True)),
}


@pytest.mark.parametrize("kind, where", [
    ("channel", "queue"), ("waitgroup", "queue"), ("pool", "global"), ("pool", "local"), ("pool", "buffer")])
def test_deallocation_with_finalizers_that_revive_into_a_neighbour(kind, where):
    make, put, take, logged = CONTAINERS[kind]
    log, neighbour, holder = [], make(), [make()]
    for _ in range(5):
        # Revives itself in the neighbour, then takes itself out again and is
        # freed once its finalizer returns, without a second finalizer run.
        item = Hostile(log, lambda self: (put(neighbour, self), take(neighbour) is not None))
        put(holder[0], item) if where != "local" else holder[0].push_local(0, item)
    del item
    if where == "buffer":
        holder[0].pop_work(0)  # pulls all five: one comes back and is dropped, four stay buffered
    guarded(holder.clear)
    assert log == [logged] * 5
    del neighbour
    assert len(log) == 5


def full_channel():
    ch = FastChannel(1)
    ch.try_send(1)
    return ch.try_send, lambda _: ch.try_recv()


def closed_pool():
    pool = NativeWorkerPool(1)
    pool.close()
    return pool.push_global, lambda _: pool.pop_work(0)


@pytest.mark.parametrize("scenario, result, logged", [
    (full_channel, False, (True, 1)),
    (closed_pool, "ThreadPoolClosedError: Pool is closed", "ThreadPoolClosedError: Pool is closed"),
])
def test_refused_object_is_released_once(scenario, result, logged):
    log = []
    call, action = scenario()
    assert guarded(lambda: call(Hostile(log, action))) == result
    assert log == [logged]


class Reentrant:
    """An index whose conversion calls back into the object being called."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def test_conversion_can_reenter_the_object_called():
    pool, task, wg, m = NativeWorkerPool(2), object(), RawAsyncWaitGroup(), AtomicMetrics(1)
    assert guarded(lambda: pool.pop_work(Reentrant(1, lambda: pool.push_local(1, task)))) is task
    assert guarded(lambda: pool.push_local(Reentrant(0, pool.close), task)) == "ThreadPoolClosedError: Pool is closed"
    assert guarded(lambda: wg.add(Reentrant(-1, lambda: wg.add(1)))) is None
    assert wg.register_waiter((1, 2)) is True  # back to zero
    depth = Reentrant(5, lambda: m.set_injection_queue_depth(0, 9))
    guarded(lambda: m.set_injection_queue_depth(Reentrant(0, lambda: m.inc_park(0)), depth))
    assert (m.get_park(0), m.get_injection_queue_depth(0)) == (1, 5)


def test_concurrent_unregister_with_reentrant_finalizers(run_together):
    wg, log, shared = RawAsyncWaitGroup(), [], object()
    wg.add(1)
    reenter = lambda _: (wg.register_waiter((None, shared)), wg.unregister_waiter(shared))

    def worker():
        for _ in range(200):
            fut = object()
            wg.register_waiter((Hostile(log, reenter), fut))
            wg.register_waiter((Hostile(log, reenter), fut))
            assert wg.unregister_waiter(fut) is True

    run_together(*[worker] * 4)
    assert len(log) == 4 * 200 * 2 and all(entry[0] is False for entry in log)
    assert all(fut is shared for _, fut in wg.done())


@pytest.mark.parametrize("kind", ["channel", "pool"])
def test_concurrent_finalizers_feed_their_container(run_together, kind):
    log, lock, taken, seeds, depth = [], threading.Lock(), [], 48, 4
    target = FastChannel(0) if kind == "channel" else NativeWorkerPool(4)
    put = target.try_send if kind == "channel" else target.push_global

    def child(level):  # dropped by whichever thread took it, it sends its successor
        return lambda _: level and put(Hostile(log, child(level - 1)))

    def worker(index):
        def run():
            # Seeded here: a free-threaded interpreter frees an object dropped by a
            # thread other than its creator only when the creator next gets to it.
            for _ in range(seeds // 4):
                put(Hostile(log, child(depth)))
            while len(taken) < seeds * (depth + 1) and not run_together.failed.is_set():
                got = target.try_recv()[1] if kind == "channel" else target.pop_work(index)
                if got is not None:
                    with lock:
                        taken.append(1)
                    del got
        return run

    run_together(*[worker(i) for i in range(4)])
    assert len(taken) == len(log) == seeds * (depth + 1)


@pytest.mark.parametrize("send", ["FastChannel(0).try_send", "NativeWorkerPool(1).push_global"])
def test_deeply_nested_containers_deallocate(send):
    # A list nested as deeply is freed without trouble. The thread's stack is
    # kept small, so that unbounded recursion would show at a modest depth.
    script = f"""
import threading
from kestrum._kestrum_core import *
def nest():
    chain = 0
    for _ in range(100_000):
        send = {send}
        send(chain)
        chain = send.__self__
    print("built", flush=True)
threading.stack_size(1 << 20)
thread = threading.Thread(target=nest)
thread.start()
thread.join()
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    child = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert "built" in child.stdout, child.stderr
    assert child.returncode == 0, child.stderr[-2000:]
