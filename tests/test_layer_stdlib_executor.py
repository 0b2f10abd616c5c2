"""The interpreter's own thread-pool executor tests, run against WorkerPool.

The test classes are loaded at run time from the ``test.test_concurrent_futures``
package that ships with the interpreter (skipped where it is not installed),
and each thread-pool class is subclassed here with ``executor_type`` set to
``WorkerPool``; pytest collects the subclasses like any unittest class. The
few tests that check ThreadPoolExecutor's own internals, or build a
ThreadPoolExecutor themselves, are listed in SKIPPED with the reason.
"""

import importlib
import sys
import unittest

import pytest

from kestrum import WorkerPool

MODULES = ["test_thread_pool", "test_wait", "test_as_completed", "test_shutdown", "test_init"]

# Keyed by "<stdlib class>.<test>". Tests that build a ThreadPoolExecutor
# themselves still run (and test that type, not ours).
_STARTS_LAZILY = "counts the threads ThreadPoolExecutor starts one per submit; WorkerPool starts all at once"
_BY_NAME = "imports the executor type by its name from concurrent.futures in a child interpreter"
SKIPPED = {
    "ThreadPoolExecutorTest.test_idle_thread_reuse": _STARTS_LAZILY,
    "ThreadPoolShutdownTest.test_threads_terminate": _STARTS_LAZILY,
    "ThreadPoolShutdownTest.test_interpreter_shutdown": _BY_NAME,
    "ThreadPoolShutdownTest.test_submit_after_interpreter_shutdown": _BY_NAME,
    "ThreadPoolShutdownTest.test_hang_gh83386": _BY_NAME,
    "ThreadPoolShutdownTest.test_hang_gh94440": _BY_NAME,
}
if getattr(sys, "_is_gil_enabled", lambda: True)():
    SKIPPED["ThreadPoolShutdownTest.test_cancel_futures"] = (
        "expects a task submitted just before shutdown(cancel_futures=True) to have started: "
        "ThreadPoolExecutor's submit waits for each new thread to start, WorkerPool's submit never "
        "waits, and with a GIL the woken workers may not have run yet"
    )


def _load():
    try:
        util = importlib.import_module("test.test_concurrent_futures.util")
    except ImportError:
        return {}
    made = {}
    for name in MODULES:
        module = importlib.import_module(f"test.test_concurrent_futures.{name}")
        for attr, cls in vars(module).items():
            if not (isinstance(cls, type) and issubclass(cls, util.ThreadPoolMixin)
                    and issubclass(cls, unittest.TestCase)):
                continue
            body = {"executor_type": WorkerPool, "__module__": __name__}
            for key, reason in SKIPPED.items():
                owner, test = key.split(".")
                if owner == attr and hasattr(cls, test):
                    body[test] = unittest.skip(reason)(lambda self: None)
            made[f"Test{attr}OnWorkerPool"] = type(f"Test{attr}OnWorkerPool", (cls,), body)
    return made


globals().update(_load())

if not any(name.endswith("OnWorkerPool") for name in globals()):
    pytestmark = pytest.mark.skip(reason="this interpreter has no test.test_concurrent_futures package")

    def test_stdlib_executor_tests_unavailable():
        pass
