import contextlib
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest


@pytest.fixture
def run_together():
    """run(*callables) runs each on a thread of its own, all released at once by a
    barrier, and returns their results. run.failed is set as soon as one of them
    fails, so that spinning threads can give up."""

    def run(*targets):
        barrier = threading.Barrier(len(targets))

        def main(target):
            barrier.wait()
            try:
                return target()
            except BaseException:
                run.failed.set()
                raise

        with switching_finely(), ThreadPoolExecutor(len(targets)) as executor:
            futures = [executor.submit(main, target) for target in targets]
        return [future.result() for future in futures]

    run.failed = threading.Event()
    return run


@contextlib.contextmanager
def switching_finely():
    """With a GIL, hand it over every few microseconds, so that threads racing
    in a test interleave finely instead of taking turns of milliseconds."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


@pytest.fixture
def fine_switching():
    with switching_finely():
        yield
