"""History-checking stress tests for the decisions that depend on shared state:
"closed" (and drained), "nothing to do", "counter is zero".

Each thread records what every call returned; afterwards a checker holds the
history against the sequential model of the object. The races these tests aim
at are decisions made on a stale read, which no sanitizer reports, and they
only show on an interpreter without a GIL, where the calls really overlap.

KESTRUM_STRESS scales the number of trials (default 1).
"""

import os
import random
import threading

import pytest

from kestrum import Channel, ChannelClosed
from kestrum._kestrum_core import (
    FastChannel,
    NativeWorkerPool,
    RawAsyncWaitGroup,
    ThreadPoolClosedError,
)

SCALE = float(os.environ.get("KESTRUM_STRESS", "1"))


def trials(n):
    return max(1, int(n * SCALE))


def run_rounds(rounds, make_trial):
    """Runs `rounds` trials on one set of threads. make_trial() returns
    (targets, check): thread i runs targets[i], all released together, and
    check() returns that trial's violations once every target is done.
    Threads are reused because starting threads costs far more than a trial.
    """
    trial = make_trial()
    width = len(trial[0])
    start, end = threading.Barrier(width + 1), threading.Barrier(width + 1)
    errors = []
    current = [trial]

    def main(i):
        for _ in range(rounds):
            start.wait()
            try:
                current[0][0][i]()
            except BaseException as exc:  # reported by the test, not lost in a thread
                errors.append(exc)
            end.wait()

    threads = [threading.Thread(target=main, args=(i,)) for i in range(width)]
    for t in threads:
        t.start()
    found = []
    try:
        for r in range(rounds):
            if r:
                current[0] = make_trial()
            start.wait()
            end.wait()
            found += current[0][1]()
    finally:
        for t in threads:
            t.join()
    if errors:
        raise errors[0]
    return found


class CloseHistory:
    """What one trial of producers, consumers and one closer did.

    `close_returned` is set right after close() returns: a send that read it
    set before its call and was still accepted was accepted after the close.
    """

    def __init__(self, closed_error):
        self.closed_error = closed_error
        self.close_returned = False
        self.accepted = []
        self.accepted_after_close = []
        self.received = []
        self.stopped_on_closed = 0
        self.lock = threading.Lock()

    def producer(self, s, items, send):
        """Sends (s, k) for each k until refused; `send` returns whether the
        item was taken (False: full, try again)."""
        def run():
            mine = []
            for k in range(items):
                late = self.close_returned
                try:
                    while not send((s, k)):
                        late = self.close_returned
                except self.closed_error:
                    break
                mine.append((s, k))
                if late:
                    self.accepted_after_close.append((s, k))
            with self.lock:
                self.accepted.extend(mine)
        return run

    def consumer(self, receive):
        """Receives until told closed; `receive` returns (has_item, item)."""
        def run():
            mine = []
            while True:
                try:
                    has, item = receive()
                except self.closed_error:
                    break
                if has:
                    mine.append(item)
            with self.lock:
                self.received.extend(mine)
                self.stopped_on_closed += 1
        return run

    def closer(self, close, delay):
        def run():
            for _ in range(delay):  # let some traffic through first
                pass
            close()
            self.close_returned = True
        return run

    def violations(self, receive, consumers):
        """Everything accepted is received once or still queued; once every
        consumer was told "closed and drained", nothing may remain."""
        residual = []
        while True:
            try:
                has, item = receive()
            except self.closed_error:
                break
            assert has, "a closed object with nothing left answered 'nothing now'"
            residual.append(item)
        found = []
        got = self.received + residual
        if sorted(got) != sorted(self.accepted):
            found.append(f"accepted {len(self.accepted)}, received or queued {len(got)} "
                         f"({len(set(got))} distinct)")
        if self.stopped_on_closed == consumers and residual:
            found.append(f"{len(residual)} items queued after every consumer saw closed")
        if self.accepted_after_close:
            found.append(f"{len(self.accepted_after_close)} sends accepted after close returned")
        return found


def channel_trial(kind, maxsize, senders, receivers, items):
    ch = kind(maxsize)
    h = CloseHistory(RuntimeError if kind is FastChannel else ChannelClosed)
    targets = [h.producer(s, items, ch.try_send) for s in range(senders)]
    targets += [h.consumer(ch.try_recv)] * receivers
    targets.append(h.closer(ch.close, random.randrange(items * 4)))
    return targets, lambda: h.violations(ch.try_recv, receivers)


@pytest.mark.parametrize("kind", [FastChannel, Channel], ids=["FastChannel", "Channel"])
@pytest.mark.parametrize("maxsize", [0, 16], ids=["unbounded", "bounded"])
@pytest.mark.parametrize("receivers", [1, 2])
def test_channel_close_racing_sends_and_receives(kind, maxsize, receivers):
    # With one receiver, a wrong "closed and drained" strands what is left at
    # once; with two, the other one may drain it, but they also race each other.
    bad = run_rounds(trials(300), lambda: channel_trial(kind, maxsize, senders=2, receivers=receivers, items=300))
    assert not bad, f"{len(bad)} violations, e.g. {bad[:3]}"


def pool_trial(num_threads, items):
    pool = NativeWorkerPool(num_threads)
    h = CloseHistory(ThreadPoolClosedError)
    rng = random.Random()

    def push(task):  # to the shared queue or to a worker's own, at random
        if rng.random() < 0.5:
            pool.push_global(task)
        else:
            pool.push_local(rng.randrange(num_threads), task)
        return True

    def pop(index):
        def run():
            task = pool.pop_work(index)
            return task is not None, task
        return run

    def pop_any():  # for the final drain: every worker's queues in turn
        for index in range(num_threads):
            try:
                return pop(index)()
            except ThreadPoolClosedError:
                continue
        raise ThreadPoolClosedError("drained")

    targets = [h.producer(s, items, push) for s in range(2)]
    targets += [h.consumer(pop(i)) for i in range(num_threads)]
    targets.append(h.closer(pool.close, random.randrange(items * 4)))
    return targets, lambda: h.violations(pop_any, num_threads)


@pytest.mark.parametrize("num_threads", [1, 2])
def test_pool_close_racing_pushes_and_pops(num_threads):
    bad = run_rounds(trials(300), lambda: pool_trial(num_threads, items=300))
    assert not bad, f"{len(bad)} violations, e.g. {bad[:3]}"


def test_wait_group_hands_out_waiters_only_after_their_job():
    """Owners add a job, queue a waiter and finish the job; cyclers add and
    finish jobs of their own. A waiter handed out by a done() is checked
    against its owner's job: handing it out while that job is still counted
    is an early wake-up. Every queued waiter is handed out exactly once."""
    wg = RawAsyncWaitGroup()
    rounds = trials(20000)
    lock = threading.Lock()
    handed_out, registered, early = [], [], []

    def check(waiters):
        if waiters:
            for job_done, token in waiters:
                if not job_done[0]:
                    early.append(token)
            with lock:
                handed_out.extend(token for _, token in waiters)

    def owner(o):
        def run():
            mine = []
            for k in range(rounds):
                wg.add(1)
                job_done = [False]
                token = (o, k)
                if not wg.register_waiter((job_done, token)):
                    mine.append(token)
                job_done[0] = True
                check(wg.done())
            with lock:
                registered.extend(mine)
        return run

    stop = []

    def cycler():
        while not stop:
            wg.add(1)
            check(wg.done())

    def owners():
        run_rounds(1, lambda: ([owner(0), owner(1)], list))
        stop.append(True)

    run_rounds(1, lambda: ([owners, cycler, cycler], list))
    assert not early, f"{len(early)} waiters handed out while their own job was counted"
    assert sorted(handed_out) == sorted(registered)
