"""Random call sequences, every step checked against a plain-Python model. The models hold
queued objects by weak reference only, so the native object must let go of each one when they do."""

import weakref
from collections import deque

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup, ThreadPoolClosedError

U64_MAX = 2**64 - 1
MACHINE = settings(max_examples=60, stateful_step_count=30, deadline=None)


class Item:
    __slots__ = ("__weakref__",)


def same(got, want):
    if isinstance(want, (tuple, list)):
        return type(got) is type(want) and len(got) == len(want) and all(map(same, got, want))
    if type(want) is int:
        return type(got) is int and got == want
    return got is want


def agree(call, model):
    """Runs the model, then the real call; both must return the same or raise the same."""
    try:
        want = model()
    except Exception as expected:
        try:
            call()
        except Exception as error:
            assert (type(error), error.args, getattr(error, "__notes__", None)) == (type(expected), expected.args, None)
            return None
        raise AssertionError(f"expected {expected!r}, got a result")
    got = call()
    assert same(got, want), (got, want)
    return got


def released(*refs):
    return all(r() is None for r in refs)


class Machine(RuleBasedStateMachine):
    def teardown(self):
        if hasattr(self, "sut"):
            refs = list(self.held())
            del self.sut  # the last reference: everything still queued goes with it
            assert released(*refs)


class ChannelMachine(Machine):
    @initialize(maxsize=st.sampled_from([0, 1, 2, 3, 7]))
    def create(self, maxsize):
        self.sut, self.maxsize, self.closed, self.queue = FastChannel(maxsize), maxsize, False, deque()

    def held(self):
        return self.queue

    def model_send(self, item):
        if self.closed:
            raise RuntimeError("Channel is closed")
        if self.maxsize and len(self.queue) >= self.maxsize:
            return False
        self.queue.append(weakref.ref(item) if item is not None else lambda: None)
        return True

    def model_recv(self):
        if self.queue:
            return (True, self.queue.popleft()())
        if self.closed:
            raise RuntimeError("Channel is closed")
        return (False, None)

    @rule(count=st.integers(1, 9), none=st.booleans())
    def send(self, count, none):
        for _ in range(count):
            item = None if none else Item()
            ref = weakref.ref(item) if item is not None else lambda: None
            accepted = agree(lambda: self.sut.try_send(item), lambda: self.model_send(item))
            del item
            assert accepted or released(ref), "a refused item was kept"

    @rule(count=st.integers(1, 9))
    def recv(self, count):
        for _ in range(count):
            got = agree(self.sut.try_recv, self.model_recv)
            ref = weakref.ref(got[1]) if got and got[1] is not None else lambda: None
            del got
            assert released(ref), "a received item is still referenced"

    @rule()
    def close(self):
        assert self.sut.close() is None
        self.closed = True

    @invariant()
    def observers(self):
        assert (self.sut.qsize(), self.sut.is_closed()) == (len(self.queue), self.closed)


class WaitGroupMachine(Machine):
    def __init__(self):
        super().__init__()
        self.sut, self.counter, self.entries = RawAsyncWaitGroup(), 0, []  # entries: (weakref of first, future)
        self.futures = [Item() for _ in range(3)]

    def model_add(self, delta):
        if not 0 <= self.counter + delta <= U64_MAX:
            how = "overflowed: add() with positive" if delta > 0 else "went negative: add() with negative"
            raise RuntimeError(f"WaitGroup counter {how} delta")
        self.counter += delta

    def model_done(self):
        if self.counter == 0:
            raise RuntimeError("WaitGroup counter went negative: too many done() calls")
        self.counter -= 1
        if self.counter == 0:
            handed, self.entries = self.entries, []
            return [(first(), fut) for first, fut in handed]

    @rule(delta=st.one_of(st.integers(-3, 3), st.sampled_from([2**63 - 1, -(2**63), 2**62])))
    def add(self, delta):
        agree(lambda: self.sut.add(delta), lambda: self.model_add(delta))

    @rule()
    def done(self):
        waiters = agree(self.sut.done, self.model_done)
        refs = [weakref.ref(first) for first, _ in waiters or ()]
        del waiters
        assert released(*refs), "handed-out waiters are still referenced"

    @rule(which=st.integers(0, 2))
    def register(self, which):
        first, fut = Item(), self.futures[which]
        ref = weakref.ref(first)
        queued = self.counter != 0
        if queued:
            self.entries.append((ref, fut))
        assert self.sut.register_waiter((first, fut)) is not queued
        del first
        assert released(ref) is not queued, "a waiter turned away was kept"

    @rule(which=st.integers(0, 3))
    def unregister(self, which):
        fut = self.futures[which] if which < 3 else Item()
        removed = [first for first, f in self.entries if f is fut]
        self.entries = [e for e in self.entries if e[1] is not fut]
        assert self.sut.unregister_waiter(fut) is bool(removed)
        assert released(*removed)

    def held(self):
        return [first for first, _ in self.entries]


INDICES = st.sampled_from([0, 1, 2, 3, 4, U64_MAX])
COUNTERS = ("global_pull", "park", "injection_queue_depth", "remote_schedule")


class PoolMachine(Machine):
    @initialize(n=st.integers(0, 3), metrics=st.booleans())
    def create(self, n, metrics):
        self.sut, self.n, self.closed, self.glob = NativeWorkerPool(n), n, False, deque()
        self.local, self.buffers = [deque() for _ in range(n)], [deque() for _ in range(n)]
        self.metrics = []  # (AtomicMetrics, model counters); the last one is attached
        if metrics:
            self.set_metrics(n)

    def count(self, name, index, value, store=False):
        slots = self.metrics[-1][1][name] if self.metrics else []
        if index < len(slots):
            slots[index] = value if store else slots[index] + value

    def model_global(self, task):
        if task is None:
            raise TypeError("pool task cannot be None")
        if self.closed:
            raise ThreadPoolClosedError("Pool is closed")
        self.glob.append(weakref.ref(task))

    def model_local(self, index, task):
        if task is None:
            raise TypeError("pool task cannot be None")
        if self.closed or self.n == 0:
            raise ThreadPoolClosedError("Pool is closed")
        if index >= self.n:
            raise RuntimeError("Worker index out of range")
        if len(self.local[index]) == 256:
            return self.model_global(task)
        self.local[index].append(weakref.ref(task))
        self.count("remote_schedule", index, 1)

    def model_pop(self, index):
        if index < self.n:
            buffer = self.buffers[index]
            if not buffer and self.glob:  # one thread only: the pulling throttle never bites
                for _ in range(min(len(self.glob) // self.n + 1, 128, len(self.glob))):
                    buffer.append(self.glob.popleft())
                self.count("global_pull", index, len(buffer))
                self.count("injection_queue_depth", index, len(self.glob), store=True)
            for queue in (buffer, self.local[index]):
                if queue:
                    return queue.popleft()()
        if self.closed:
            raise ThreadPoolClosedError("Pool is closed")
        self.count("park", index, 1)
        self.count("injection_queue_depth", index, len(self.glob), store=True)

    def push(self, count, call, model):
        for _ in range(count):
            task = Item()
            ref = weakref.ref(task)
            agree(lambda: call(task), lambda: model(task))
            del task
            assert released(ref) is not any(ref in q for q in [self.glob, *self.local]), "task kept or lost"

    # Sometimes enough for a batch of 128 with one worker.
    @rule(count=st.one_of(st.integers(1, 6), st.integers(130, 300)))
    def push_global(self, count):
        self.push(count, self.sut.push_global, self.model_global)

    # Sometimes enough to overflow a local queue.
    @rule(index=INDICES, count=st.one_of(st.integers(1, 5), st.integers(250, 270)))
    def push_local(self, index, count):
        self.push(count, lambda t: self.sut.push_local(index, t), lambda t: self.model_local(index, t))

    @rule(index=INDICES)
    def push_none(self, index):
        agree(lambda: self.sut.push_global(None), lambda: self.model_global(None))
        agree(lambda: self.sut.push_local(index, None), lambda: self.model_local(index, None))

    @rule(index=INDICES, count=st.one_of(st.integers(1, 4), st.integers(100, 300)))
    def pop(self, index, count):
        for _ in range(count):
            got = agree(lambda: self.sut.pop_work(index), lambda: self.model_pop(index))
            ref = weakref.ref(got) if got is not None else lambda: None
            del got
            assert released(ref), "a popped task is still referenced"

    @rule()
    def close(self):
        assert self.sut.close() is None
        self.closed = True

    @rule(size=st.integers(0, 4))
    def set_metrics(self, size):
        metrics = AtomicMetrics(size)
        assert self.sut.set_metrics(metrics) is None
        self.metrics.append((metrics, {name: [0] * size for name in COUNTERS}))

    @invariant()
    def observers(self):
        assert self.sut.is_closed() is self.closed
        for metrics, counters in self.metrics:  # replaced ones must stay as they were
            for name, want in counters.items():
                assert [getattr(metrics, "get_" + name)(i) for i in range(len(want) + 2)] == want + [0, 0], name

    def held(self):
        return [r for queue in [self.glob, *self.local, *self.buffers] for r in queue]


TestChannelModel = MACHINE(ChannelMachine).TestCase
TestWaitGroupModel = MACHINE(WaitGroupMachine).TestCase
TestPoolModel = settings(MACHINE, max_examples=120)(PoolMachine).TestCase
