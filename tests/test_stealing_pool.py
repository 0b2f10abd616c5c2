"""NativeStealingPool, the binding of the work-stealing core: argument rules,
references, and the closed error shared with _kestrum_core. The scheduling
itself is tested in C++ (tests/native/test_stealing_pool.cpp) and through
WorkerPool (test_layer_pool*.py)."""

import random
import sys

import pytest

from kestrum._kestrum_core import ThreadPoolClosedError
from kestrum._kestrum_native import NativeFuture, NativeStealingPool


class Task:
    pass


@pytest.mark.parametrize("is_closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize("code, error, message", [
    ("pool.push(None)", TypeError, "pool task cannot be None"),
    ("pool.push_to(0, None)", TypeError, "pool task cannot be None"),
    ("pool.push_to(2, task)", RuntimeError, "Worker index out of range"),
    ("pool.push_many((task, None))", TypeError, "pool task cannot be None"),
    ("pool.push_many([task])", TypeError, None),
    ("pool.push_to(-1, task)", OverflowError, "while processing 'index'"),
    ("pool.pop('0')", TypeError, "while processing 'index'"),
])
def test_refused_calls_keep_no_reference(code, error, message, is_closed):
    pool, task = NativeStealingPool(2), Task()
    before = sys.getrefcount(task)
    if is_closed:
        pool.close()
    with pytest.raises(error) as info:
        eval(code, {"pool": pool, "task": task})
    if message and message.startswith("while"):
        assert info.value.__notes__ == [message]
    elif message:
        assert info.value.args == (message,)
    del info  # its traceback holds a frame with the task
    assert sys.getrefcount(task) == before
    if not is_closed:
        assert pool.pop(0) is None and pool.pop(1) is None  # nothing was queued


def test_closed_pool_refuses_with_the_core_modules_error_and_drains():
    pool = NativeStealingPool(2)
    tasks = [Task() for _ in range(4)]
    before = [sys.getrefcount(t) for t in tasks]
    assert pool.push(tasks[0]) is None and pool.push_to(1, tasks[1]) is None
    assert pool.push_many(tuple(tasks[2:])) is None
    pool.close()
    assert pool.is_closed()
    for call in (lambda: pool.push(Task()), lambda: pool.push_to(0, Task()), lambda: pool.push_many((Task(),))):
        with pytest.raises(ThreadPoolClosedError, match="Pool is closed"):
            call()
    got = [pool.pop(0) for _ in range(3)]
    with pytest.raises(ThreadPoolClosedError):
        pool.pop(0)  # worker 1's pinned task is not worker 0's to take
    got.append(pool.pop(1))
    assert got == [tasks[0], tasks[2], tasks[3], tasks[1]]
    with pytest.raises(ThreadPoolClosedError):
        pool.pop(1)
    del got
    assert [sys.getrefcount(t) for t in tasks] == before


def test_dropping_a_pool_releases_queued_tasks():
    tasks = [Task() for _ in range(300)]
    before = sys.getrefcount(tasks[0])
    pool = NativeStealingPool(3)
    pool.push_many(tuple(tasks[:100]))
    for t in tasks[100:]:
        pool.push_to(0, t)  # 256 pinned, the rest overflows to the shared queue
    assert pool.pop(1) is tasks[0]  # worker 1 now holds a batch in its run queue
    held = sys.getrefcount(tasks[1])
    assert held == before + 1
    del pool, t
    counts = {sys.getrefcount(tasks[i]) for i in range(len(tasks))}
    assert counts == {before}


def test_parking_protocol_values():
    pool = NativeStealingPool(2)
    assert pool.park(0) == 0 and pool.park(1) == 0
    assert pool.push(Task()) == 1 and pool.push_to(0, Task()) == 0  # the pinned worker itself
    assert pool.claim_parked() is None
    assert pool.park(1) == 1  # work is queued: look again
    assert pool.get_park(1) == 2 and pool.get_remote_schedule(0) == 1


def test_wakers_are_called_for_every_claim():
    pool, woken = NativeStealingPool(2), []
    wakers = tuple(lambda i=i: woken.append(i) for i in range(2))
    with pytest.raises(ValueError, match="one callable per worker"):
        pool.set_wakers(wakers[:1])
    pool.set_wakers(wakers)
    with pytest.raises(RuntimeError, match="already set"):
        pool.set_wakers(wakers)
    assert pool.park(0) == 0 and pool.park(1) == 0
    assert pool.push_to(0, Task()) == 0 and woken == [0]
    assert pool.push(Task()) == 1 and woken == [0, 1]
    assert pool.pop(1) is not None and pool.pop(0) is not None
    assert pool.park(1) == 0
    pool.close()
    assert pool.claim_parked() == 1 and woken == [0, 1, 1]


@pytest.mark.parametrize("with_wakers", [True, False])
def test_a_worker_taking_a_pinned_task_passes_its_claim_on_to_shared_work(with_wakers):
    pool, woken = NativeStealingPool(2), []
    if with_wakers:
        pool.set_wakers(tuple(lambda i=i: woken.append(i) for i in range(2)))
    assert pool.park(0) == 0 and pool.park(1) == 0
    claimed = pool.push(shared := Task())
    assert pool.push_to(claimed, pinned := Task()) is None  # claimed already
    assert pool.pop(claimed) is pinned
    other = 1 - claimed
    if with_wakers:
        assert woken == [claimed, other]  # woken for the shared task
        assert pool.claim_parked() is None
    else:
        assert woken == []  # nobody could wake it: it stays parked
        assert pool.claim_parked() == other
    assert pool.pop(other) is shared


def test_a_failing_waker_is_reported_not_raised():
    pool, reports = NativeStealingPool(1), []
    pool.set_wakers((lambda: 1 / 0,))
    # Only the type is kept: a kept exception holds its traceback's frames, and
    # through them this test's locals, which the debug interpreter's reference
    # counts then see as a leak of every later run (a weakref callback that
    # raises shows the same with no extension at all).
    old, sys.unraisablehook = sys.unraisablehook, lambda report: reports.append(type(report.exc_value))
    try:
        pool.park(0)
        assert pool.push(Task()) == 0  # the task is queued all the same
    finally:
        sys.unraisablehook = old
    assert reports == [ZeroDivisionError]
    assert isinstance(pool.pop(0), Task)


# What a refused submit raises comes from the layer's refusal(); anything but
# an exception instance must not reach the interpreter as the exception.
@pytest.mark.parametrize("returned", [42, ValueError, None], ids=["int", "class", "None"])
@pytest.mark.parametrize("stop", ["close", "abandon"])
@pytest.mark.parametrize("submit", [
    lambda pool: pool.submit(print),
    lambda pool: pool.submit_to(0, print),
    lambda pool: pool.submit_many(print, [()]),
], ids=["submit", "submit_to", "submit_many"])
def test_a_refusal_that_returns_no_exception_instance_is_a_type_error(returned, stop, submit):
    pool = NativeStealingPool(1)
    pool.set_submitter(NativeFuture, lambda: returned)
    getattr(pool, stop)()
    with pytest.raises(TypeError, match=r"refusal\(\) must return an exception instance"):
        submit(pool)


# Progress, held against a model of the workers: random pushes, pinned pushes
# and worker steps, one at a time. A worker is busy with a task for a few
# steps, looks for work, or sleeps after park() said 0 until its waker has
# run. Wakers count wake-ups. At no step may a shared task wait while no
# worker looks or is about to and one sleeps, and no worker may get two
# wake-ups for one sleep.
PARKED, CLAIMED = 0, 2  # what park() says; 1 is "look again"


@pytest.mark.parametrize("workers", [1, 2, 3, 4])
def test_shared_work_never_waits_on_a_sleeping_worker_that_nobody_woke(workers):
    for seed in range(40):
        rnd = random.Random(seed)
        pool, due = NativeStealingPool(workers), [0] * workers

        def waker(i):
            def wake():
                due[i] += 1
                assert due[i] == 1, f"worker {i} woken twice for one sleep"
            return wake

        pool.set_wakers(tuple(waker(i) for i in range(workers)))
        state, busy_for, queued = ["looking"] * workers, [0] * workers, {}
        for step in range(1500):
            roll, i = rnd.random(), rnd.randrange(workers)
            if roll < 0.3:
                task = Task()
                queued[task] = roll < 0.15  # shared?
                pool.push(task) if queued[task] else pool.push_to(i, task)
            elif state[i] == "busy":
                busy_for[i] -= 1
                state[i] = "busy" if busy_for[i] > 0 else "looking"
            elif state[i] == "asleep":
                if due[i]:
                    due[i], state[i] = 0, "looking"
            elif (task := pool.pop(i)) is not None:
                del queued[task]
                state[i], busy_for[i] = "busy", rnd.choice((1, 1, 5, 40))
            else:
                decision = pool.park(i)
                if decision == PARKED:
                    state[i] = "asleep"
                elif decision == CLAIMED:
                    assert due[i] == 1, f"worker {i} told it was claimed with no wake-up"
                    due[i] = 0
            coming = [s == "looking" or (s == "asleep" and due[k]) for k, s in enumerate(state)]
            stranded = any(queued.values()) and not any(coming) and "asleep" in state
            assert not stranded, f"seed {seed}, step {step}: a shared task waits while a worker sleeps unwoken"
