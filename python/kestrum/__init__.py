"""kestrum: thread-safe building blocks for concurrency on free-threaded CPython."""

from kestrum._kestrum_core import (
    AtomicMetrics,
    FastChannel,
    NativeWorkerPool,
    RawAsyncWaitGroup,
    ThreadPoolClosedError,
)

__all__ = [
    "AtomicMetrics",
    "FastChannel",
    "NativeWorkerPool",
    "RawAsyncWaitGroup",
    "ThreadPoolClosedError",
]
