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
    """What one trial of senders, receivers and one closer did.

    `close_returned` is set right after close() returns: a send that read it
    set before its call and was still accepted was accepted after the close.
    """

    def __init__(self):
        self.close_returned = False
        self.accepted = []
        self.accepted_after_close = []
        self.received = []
        self.stopped_on_closed = 0

    def closer(self, close, delay):
        def run():
            for _ in range(delay):  # let some traffic through first
                pass
            close()
            self.close_returned = True
        return run

    def violations(self, residual, receivers):
        """Everything accepted is received once or still queued; once every
        receiver was told "closed and drained", nothing may remain."""
        found = []
        got = self.received + residual
        if sorted(got) != sorted(self.accepted):
            found.append(f"accepted {len(self.accepted)}, received or queued {len(got)} "
                         f"({len(set(got))} distinct)")
        if self.stopped_on_closed == receivers and residual:
            found.append(f"{len(residual)} items queued after every receiver saw closed")
        if self.accepted_after_close:
            found.append(f"{len(self.accepted_after_close)} sends accepted after close returned")
        return found


def channel_trial(maxsize, senders, receivers, items):
    ch = FastChannel(maxsize)
    h = CloseHistory()
    lock = threading.Lock()

    def sender(s):
        def run():
            mine = []
            for k in range(items):
                late = h.close_returned
                try:
                    while not ch.try_send((s, k)):
                        late = h.close_returned
                except RuntimeError:
                    break
                mine.append((s, k))
                if late:
                    h.accepted_after_close.append((s, k))
            with lock:
                h.accepted.extend(mine)
        return run

    def receiver():
        mine = []
        while True:
            try:
                has, item = ch.try_recv()
            except RuntimeError:
                break
            if has:
                mine.append(item)
        with lock:
            h.received.extend(mine)
            h.stopped_on_closed += 1

    def check():
        residual = []
        while True:
            try:
                has, item = ch.try_recv()
            except RuntimeError:
                break
            assert has, "an empty closed channel answered (False, None)"
            residual.append(item)
        return h.violations(residual, receivers)

    closer = h.closer(ch.close, random.randrange(items * 4))
    return [sender(s) for s in range(senders)] + [receiver] * receivers + [closer], check


@pytest.mark.parametrize("maxsize", [0, 16], ids=["unbounded", "bounded"])
def test_channel_close_racing_sends_and_receives(maxsize):
    bad = run_rounds(trials(300), lambda: channel_trial(maxsize, senders=2, receivers=2, items=300))
    assert not bad, f"{len(bad)} violations, e.g. {bad[:3]}"


def pool_trial(num_threads, items):
    pool = NativeWorkerPool(num_threads)
    h = CloseHistory()
    lock = threading.Lock()

    def pusher(s):
        def run():
            rng = random.Random(s)
            mine = []
            for k in range(items):
                late = h.close_returned
                try:
                    if rng.random() < 0.5:
                        pool.push_global((s, k))
                    else:
                        pool.push_local(rng.randrange(num_threads), (s, k))
                except ThreadPoolClosedError:
                    break
                mine.append((s, k))
                if late:
                    h.accepted_after_close.append((s, k))
            with lock:
                h.accepted.extend(mine)
        return run

    def worker(index):
        def run():
            mine = []
            while True:
                try:
                    task = pool.pop_work(index)
                except ThreadPoolClosedError:
                    break
                if task is not None:
                    mine.append(task)
            with lock:
                h.received.extend(mine)
                h.stopped_on_closed += 1
        return run

    def check():
        residual = []
        for index in range(num_threads):
            while True:
                try:
                    task = pool.pop_work(index)
                except ThreadPoolClosedError:
                    break
                assert task is not None, "a closed pool answered None"
                residual.append(task)
        return h.violations(residual, num_threads)

    closer = h.closer(pool.close, random.randrange(items * 4))
    return [pusher(0), pusher(1)] + [worker(i) for i in range(num_threads)] + [closer], check


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
