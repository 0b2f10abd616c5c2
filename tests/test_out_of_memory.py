"""Running out of memory is a MemoryError, with nothing lost, also on a thread
that has never called into the module before (the first touch of a thread's
lazily allocated storage is where an exhausted process would abort).

The check runs in a child process whose address space is capped just above
what it uses, so that allocations really fail."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import ctypes, os, resource, threading
    from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup

    def attempt(call):
        try:
            return call()
        except MemoryError:
            return MemoryError

    channel, doomed, group, pool = FastChannel(0), FastChannel(0), RawAsyncWaitGroup(), NativeWorkerPool(1)
    group.add(1)
    waiter = (None, object())
    start, finished, report = threading.Event(), threading.Event(), []

    def on_a_fresh_thread():
        start.wait()
        global doomed
        doomed = None  # the thread's first deallocation of one of our objects
        sent = 0
        while attempt(lambda: channel.try_send(None)) is True:
            sent += 1  # until the queue's storage can't grow
        report.append(channel.qsize() == sent)
        for make in (lambda: FastChannel(0), RawAsyncWaitGroup, lambda: AtomicMetrics(1 << 20),
                     lambda: NativeWorkerPool(1 << 16)):
            attempt(make)
        report.append(attempt(lambda: pool.push_global(waiter)) in (None, MemoryError))
        report.append(attempt(lambda: group.register_waiter(waiter)) in (False, MemoryError))
        got = attempt(channel.try_recv)
        report.append(got is MemoryError or got == (True, None))
        finished.set()

    worker = threading.Thread(target=on_a_fresh_thread, daemon=True)
    worker.start()
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[0])
    cap = pages * resource.getpagesize() + (64 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))
    ballast, blocks = [], []
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]

    def fill_python_heap(size):
        while True:
            ballast.append(bytearray(size))

    def fill_c_heap(size):
        while (block := libc.malloc(size)):
            blocks.append(block)

    for size in (1 << 20, 1 << 12, 256, 16):  # down to the last small chunk
        attempt(lambda: fill_python_heap(size))
        attempt(lambda: fill_c_heap(size))
    start.set()
    if not finished.wait(60):
        os._exit(3)
    for block in blocks:
        libc.free(block)
    del ballast
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    worker.join()
    queued = channel.qsize()
    taken = sum(1 for _ in iter(lambda: channel.try_recv()[0], False))
    print(report, queued == taken, group.unregister_waiter(waiter[1]) in (True, False))
    """
)


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or "TSAN_OPTIONS" in os.environ,
    reason="a sanitizer's shadow memory does not fit under an address-space cap",
)
@pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount"),
    reason="a debug interpreter trips its own frame assertions when its memory runs out",
)
def test_exhausted_memory_raises_memory_error_on_a_fresh_thread():
    child = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=240)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["[True,", "True,", "True,", "True]", "True", "True"], child.stdout
