import sys
import threading
import weakref

import pytest

from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, ThreadPoolClosedError


class Task:
    pass


def pool_with_metrics(n, metrics_len=None):
    pool, m = NativeWorkerPool(n), AtomicMetrics(n if metrics_len is None else metrics_len)
    pool.set_metrics(m)
    return pool, m


def fill_global(pool, count):
    tasks = [Task() for _ in range(count)]
    for task in tasks:
        pool.push_global(task)
    return tasks


def pops(pool, *indices):
    return [pool.pop_work(index) for index in indices]


def closed(call, *args):
    with pytest.raises(ThreadPoolClosedError) as info:
        call(*args)
    assert type(info.value) is ThreadPoolClosedError and info.value.args == ("Pool is closed",)


def test_zero_workers():  # open, but with no local queue to push to
    pool, task = NativeWorkerPool(0), Task()
    closed(pool.push_local, 0, task)
    assert pool.push_global(task) is None
    assert (pops(pool, 0, 0), pool.is_closed()) == ([None, None], False)


@pytest.mark.parametrize("is_closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize("code, error, message", [
    ("pool.push_local(2, task)", RuntimeError, "Worker index out of range"),
    ("pool.push_local(0, None)", TypeError, "pool task cannot be None"),
    ("pool.push_local(2, None)", TypeError, "pool task cannot be None"),
    ("pool.push_global(None)", TypeError, "pool task cannot be None"),
    ("pool.push_local(-1, task)", OverflowError, None),
    ("pool.push_local(2**64, None)", OverflowError, None),
])
def test_refused_pushes(code, error, message, is_closed):
    pool, task = NativeWorkerPool(2), Task()
    before = sys.getrefcount(task)
    if is_closed:
        pool.close()
        if error is RuntimeError:  # the closed check comes first
            error, message = ThreadPoolClosedError, "Pool is closed"
    with pytest.raises(error) as info:
        eval(code, {"pool": pool, "task": task})
    if message:
        assert info.value.args == (message,)
    else:
        assert info.value.__notes__ == ["while processing 'index'"]
    del info  # its traceback holds a frame with the task
    assert sys.getrefcount(task) == before
    assert is_closed or pops(pool, 0, 1) == [None, None]  # nothing was queued


def test_full_local_queue_overflows_to_global():
    pool, m = pool_with_metrics(1)
    tasks = [Task() for _ in range(257)]
    before = [sys.getrefcount(t) for t in tasks]
    assert all(pool.push_local(0, t) is None for t in tasks)
    assert m.get_remote_schedule(0) == 256
    assert [sys.getrefcount(t) for t in tasks] == [n + 1 for n in before]
    popped = pops(pool, *[0] * 258)  # the global queue comes first
    assert popped == [tasks[256]] + tasks[:256] + [None] and m.get_global_pull(0) == 1
    del popped
    assert [sys.getrefcount(t) for t in tasks] == before


def test_sources_and_buffers():
    pool, a, b = NativeWorkerPool(2), Task(), Task()
    pool.push_local(task=a, index=0)
    pool.push_global(b)
    assert pops(pool, 0, 0, 0) == [b, a, None]
    tasks = fill_global(pool, 3)
    assert pool.pop_work(index=0) is tasks[0]  # worker 0 keeps tasks[1] in its buffer
    assert pops(pool, 1, 1, 1, 0, 0) == [tasks[2], None, None, tasks[1], None]


def test_batch_sizes():
    pool, m = pool_with_metrics(4)
    tasks = fill_global(pool, 10)
    depth = lambda i: (m.get_global_pull(i), m.get_injection_queue_depth(i))
    assert pool.pop_work(0) is tasks[0] and depth(0) == (3, 7)  # 10 // 4 + 1
    m.set_injection_queue_depth(0, 99)
    assert pool.pop_work(1) is tasks[3] and depth(1) == (2, 5)  # 7 // 4 + 1
    assert pops(pool, 0, 0, 1) == tasks[1:3] + tasks[4:5]
    assert depth(0) == (3, 99) and m.get_park(0) == 0  # served from the buffer
    assert pool.pop_work(0) is tasks[5] and depth(0) == (5, 3)  # 5 // 4 + 1


def test_batch_is_capped_at_128():
    pool, m = pool_with_metrics(1)
    tasks = fill_global(pool, 1000)
    assert pops(pool, *[0] * 128) == tasks[:128]
    assert (m.get_global_pull(0), m.get_injection_queue_depth(0)) == (128, 872)
    assert pool.pop_work(0) is tasks[128]
    assert (m.get_global_pull(0), m.get_injection_queue_depth(0)) == (256, 744)


def test_idle_polls():
    pool, m = pool_with_metrics(2, metrics_len=3)
    m.set_injection_queue_depth(0, 99)
    assert pool.pop_work(0) is None
    assert (m.get_park(0), m.get_injection_queue_depth(0)) == (1, 0)
    tasks = fill_global(pool, 3)
    # an index beyond the pool pulls nothing; the metrics count it if they have it
    assert pops(pool, 2, 2, 7) == [None] * 3
    assert (m.get_park(2), m.get_injection_queue_depth(2), m.get_global_pull(2)) == (2, 3, 0)
    assert pool.pop_work(1) is tasks[0] and (m.get_park(1), m.get_park(0)) == (0, 1)


def test_close():
    pool, m = pool_with_metrics(2)
    a, b, c, d, e = fill_global(pool, 2) + [Task() for _ in range(3)]
    assert pool.pop_work(0) is a  # b waits in worker 0's buffer
    pool.push_local(0, c)
    pool.push_global(d)
    pool.push_local(1, e)
    assert (pool.close(), pool.is_closed()) == (None, True)
    closed(pool.push_global, Task())
    closed(pool.push_local, 0, Task())
    assert pops(pool, 0, 0, 0, 1) == [b, d, c, e]
    for index in (0, 1, 5):
        closed(pool.pop_work, index)
    assert (pool.close(), pool.is_closed(), m.get_park(0), m.get_park(1)) == (None, True, 0, 0)


@pytest.mark.parametrize("metrics, message", [
    (None, "'None' is not an instance of 'AtomicMetrics'"),
    (5, "'int' object is not an instance of 'AtomicMetrics'"),
    (FastChannel(1), "'FastChannel' object is not an instance of 'AtomicMetrics'"),
], ids=["None", "int", "channel"])
def test_set_metrics_type_errors(metrics, message):
    pool, m = pool_with_metrics(1)
    with pytest.raises(TypeError) as info:
        pool.set_metrics(metrics)
    assert info.value.args == (message,) and info.value.__notes__ == ["while processing 'metrics'"]
    pool.push_local(0, Task())
    assert m.get_remote_schedule(0) == 1  # still attached


def test_set_metrics_replaces():
    pool, m1, m2 = NativeWorkerPool(1), AtomicMetrics(1), AtomicMetrics(1)
    refs = lambda: (sys.getrefcount(m1), sys.getrefcount(m2))
    before = refs()
    pool.set_metrics(m1)
    pool.set_metrics(metrics=m1)
    pool.push_local(0, Task())
    pool.set_metrics(m2)
    assert refs() == (before[0], before[1] + 1)
    pool.push_local(0, Task())
    assert (m1.get_remote_schedule(0), m2.get_remote_schedule(0)) == (1, 1)
    pool.close()
    pool.set_metrics(m1)  # also once closed
    assert refs() == (before[0] + 1, before[1])
    del pool
    assert refs() == before


def test_deleting_a_pool_releases_its_tasks():
    pool = NativeWorkerPool(2)
    tasks = fill_global(pool, 5) + [Task() for _ in range(3)]
    for i in range(5, 8):
        pool.push_local(i % 2, tasks[i])
    kept = pool.pop_work(0)  # worker 0 buffers two more
    refs = [weakref.ref(t) for t in tasks]
    pool.close()
    del pool, tasks
    assert [ref() for ref in refs] == [kept] + [None] * 7


@pytest.mark.parametrize("close_midway", [False, True], ids=["close-after-pushes", "close-racing"])
def test_threaded_pushers_and_poppers(close_midway, run_together):
    workers, count = 4, 2000
    pool, m = pool_with_metrics(workers)
    pushed, refused, half_way, shut = [], [], threading.Event(), threading.Event()
    finished = threading.Semaphore(0)

    def push(kind, k):
        send = pool.push_global if kind == "global" else lambda t: pool.push_local(t[2] % workers, t)
        for j in range(count):
            if (kind, k, j) == ("global", 0, count // 2) and close_midway:
                half_way.set()
                shut.wait()  # the rest of this pusher's tasks must be refused
            try:
                send((kind, k, j))
                pushed.append((kind, k, j))
            except ThreadPoolClosedError as error:
                refused.append(error.args)
        finished.release()

    def pop(index):
        got = []
        while not run_together.failed.is_set():
            try:
                task = pool.pop_work(index)
            except ThreadPoolClosedError:
                return got
            if task is not None:
                got.append(task)

    def close():  # with poppers running, either half-way through the pushes or after them
        if close_midway:
            half_way.wait()
        else:
            for _ in range(4):
                finished.acquire()
        pool.close()
        shut.set()

    results = run_together(*[lambda k=k: push("global", k) for k in range(2)],
                           *[lambda k=k: push("local", k) for k in range(2)],
                           *[lambda i=i: pop(i) for i in range(workers)], close)
    popped = [task for got in results[4:4 + workers] for task in got]
    for index in list(range(workers)) * 2:  # whatever a throttled call left behind
        with pytest.raises(ThreadPoolClosedError):
            while True:
                popped.append(pool.pop_work(index))
    assert len(popped) == len(set(popped)) and set(popped) == set(pushed)
    assert len(pushed) + len(refused) == 4 * count and set(refused) <= {("Pool is closed",)}
    assert (len(refused) >= count // 2 - 1) is close_midway
    # every task went through a local queue or was pulled from the global one
    assert sum(m.get_global_pull(i) + m.get_remote_schedule(i) for i in range(workers)) == len(popped)
