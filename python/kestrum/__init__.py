"""kestrum: concurrency building blocks for free-threaded CPython.

The Python layer (``WorkerPool``, ``Channel``, ``WaitGroup``) does all the
waiting; the native core ``kestrum._kestrum_core`` underneath never blocks.
"""

# Kept equal to the version in pyproject.toml (tests/test_module.py checks):
# a constant rather than a metadata lookup, so that a copy of the package run
# from a build folder, without installed metadata, knows it too.
__version__ = "0.1.0"

from kestrum._kestrum_core import (
    AtomicMetrics,
    FastChannel,
    NativeWorkerPool,
    RawAsyncWaitGroup,
    ThreadPoolClosedError,
)
from kestrum.channel import Channel, ChannelClosed
from kestrum.pool import WorkerMetrics, WorkerPool
from kestrum.waitgroup import WaitGroup

__all__ = [
    "AtomicMetrics",
    "Channel",
    "ChannelClosed",
    "FastChannel",
    "NativeWorkerPool",
    "RawAsyncWaitGroup",
    "ThreadPoolClosedError",
    "WaitGroup",
    "WorkerMetrics",
    "WorkerPool",
]
