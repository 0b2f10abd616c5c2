"""WorkerPool: a ``concurrent.futures.Executor`` whose threads are fed by the
native pool core.

Every worker thread loops on ``NativeWorkerPool.pop_work(i)``. The core never
waits, so this module owns all waiting: an idle worker parks on a lock of its
own and the submitting side releases that lock when it queues work and sees a
parked worker. See ``_Core`` for the parking protocol and why it cannot lose a
wake-up.
"""

from __future__ import annotations

import itertools
import logging
import os
import threading
import time
import weakref
from collections.abc import Callable
from concurrent.futures import CancelledError, Executor, Future, InvalidStateError
from concurrent.futures import _base
from typing import TYPE_CHECKING, Any, NamedTuple, ParamSpec, TypeVar

from kestrum._kestrum_core import AtomicMetrics, NativeWorkerPool, ThreadPoolClosedError

if TYPE_CHECKING:
    from concurrent.futures._base import _Waiter

__all__ = ["WorkerMetrics", "WorkerPool"]

_P = ParamSpec("_P")
_T = TypeVar("_T")

_PENDING = _base.PENDING
_RUNNING = _base.RUNNING
_CANCELLED = _base.CANCELLED
_CANCELLED_AND_NOTIFIED = _base.CANCELLED_AND_NOTIFIED
_FINISHED = _base.FINISHED
_DONE_STATES = frozenset({_CANCELLED, _CANCELLED_AND_NOTIFIED, _FINISHED})

_LOGGER = logging.getLogger("kestrum.pool")


class _TaskFuture(Future[Any]):
    """The future ``WorkerPool.submit`` returns, and at the same time the task
    object that travels through the native queues.

    The stock ``Future.__init__`` builds a ``threading.Condition`` (a Python
    object with its own lock and waiter deque) and two lists for every task;
    on a burst of small tasks that costs more than queueing and running them,
    and the garbage collector then walks all of it. This subclass keeps the
    whole protocol the rest of ``concurrent.futures`` relies on (``wait``,
    ``as_completed`` and ``asyncio.wrap_future`` included) with a plain lock
    per future and creates the rest only when somebody actually waits:

    - ``_condition`` is the per-future ``threading.Lock``. Outside code only
      ever acquires and releases it (``wait()`` and ``as_completed()`` take
      every future's lock in id order); all waiting on it happens here.
    - ``_waiters`` (the ``wait()``/``as_completed()`` hooks), the done
      callbacks and the condition for ``result()`` are created on first use,
      always with the lock held.
    - The callable and its arguments ride on the future itself, so a task
      costs one allocation besides the kwargs dict the call syntax makes.
    """

    __slots__ = (
        "_condition", "_state", "_result", "_exception",
        "_hooks", "_callbacks", "_cv", "_fn", "_args", "_kwargs",
    )

    # A Lock rather than a Condition: see the class docstring.
    _condition: threading.Lock  # type: ignore[assignment]
    _hooks: list[_Waiter] | None
    _callbacks: list[Callable[[Future[Any]], object]] | None
    _cv: threading.Condition | None
    _fn: Callable[..., Any] | None
    _args: tuple[Any, ...]
    _kwargs: dict[str, Any]

    def __init__(self, fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        # Future.__init__ is deliberately not called: it would build the
        # Condition and lists this class exists to avoid.
        self._condition = threading.Lock()
        self._state = _PENDING
        self._result = None
        self._exception = None
        self._hooks = None
        self._callbacks = None
        self._cv = None
        self._fn = fn
        self._args = args
        self._kwargs = kwargs

    # concurrent.futures.wait()/as_completed() append to and remove from this
    # list while holding _condition, so creating it lazily here is race-free.
    @property
    def _waiters(self) -> list[_Waiter]:
        hooks = self._hooks
        if hooks is None:
            hooks = self._hooks = []
        return hooks

    @_waiters.setter
    def _waiters(self, value: list[_Waiter]) -> None:
        self._hooks = value

    def __repr__(self) -> str:
        state = self._state
        name = type(self).__name__
        if state == _FINISHED:
            if self._exception is not None:
                return f"<{name} at {id(self):#x} state=finished raised {type(self._exception).__name__}>"
            return f"<{name} at {id(self):#x} state=finished returned {type(self._result).__name__}>"
        return f"<{name} at {id(self):#x} state={_base._STATE_TO_DESCRIPTION_MAP[state]}>"

    # -- reading ---------------------------------------------------------

    def cancelled(self) -> bool:
        return self._state in (_CANCELLED, _CANCELLED_AND_NOTIFIED)

    def running(self) -> bool:
        return self._state == _RUNNING

    def done(self) -> bool:
        return self._state in _DONE_STATES

    def _wait_done(self, timeout: float | None) -> None:
        """With the lock held: wait until the future is done or `timeout`
        passes (the caller re-checks the state)."""
        if self._state in _DONE_STATES:
            return
        cv = self._cv
        if cv is None:
            cv = self._cv = threading.Condition(self._condition)
        cv.wait(timeout)

    def result(self, timeout: float | None = None) -> Any:
        try:
            with self._condition:
                self._wait_done(timeout)
                state = self._state
                if state == _FINISHED:
                    if self._exception is not None:
                        raise self._exception
                    return self._result
                if state in (_CANCELLED, _CANCELLED_AND_NOTIFIED):
                    raise CancelledError()
                raise TimeoutError()
        finally:
            # The traceback of a re-raised task exception references this
            # frame: drop the frame's reference to the future to break the cycle.
            self = None  # type: ignore[assignment]  # noqa: PLW0642

    def exception(self, timeout: float | None = None) -> BaseException | None:
        with self._condition:
            self._wait_done(timeout)
            state = self._state
            if state == _FINISHED:
                return self._exception
            if state in (_CANCELLED, _CANCELLED_AND_NOTIFIED):
                raise CancelledError()
            raise TimeoutError()

    def add_done_callback(self, fn: Callable[[Future[Any]], object]) -> None:
        with self._condition:
            if self._state not in _DONE_STATES:
                callbacks = self._callbacks
                if callbacks is None:
                    self._callbacks = [fn]
                else:
                    callbacks.append(fn)
                return
        try:
            fn(self)
        except Exception:
            _LOGGER.exception("exception calling callback for %r", self)

    def _invoke_callbacks(self) -> None:
        # Only reached once the state is final, so the list no longer changes.
        callbacks = self._callbacks
        if callbacks:
            for callback in callbacks:
                try:
                    callback(self)
                except Exception:
                    _LOGGER.exception("exception calling callback for %r", self)

    # -- state changes ---------------------------------------------------

    def cancel(self) -> bool:
        with self._condition:
            state = self._state
            if state in (_RUNNING, _FINISHED):
                return False
            if state in (_CANCELLED, _CANCELLED_AND_NOTIFIED):
                return True
            self._state = _CANCELLED
            self._fn = None  # release the task's references early
            self._args = ()
            self._kwargs = {}
            if self._cv is not None:
                self._cv.notify_all()
        self._invoke_callbacks()
        return True

    def set_running_or_notify_cancel(self) -> bool:
        with self._condition:
            state = self._state
            if state == _PENDING:
                self._state = _RUNNING
                return True
            if state == _CANCELLED:
                self._state = _CANCELLED_AND_NOTIFIED
                if self._hooks:
                    for hook in self._hooks:
                        hook.add_cancelled(self)
                return False
        _LOGGER.critical("Future %s in unexpected state: %s", id(self), state)
        raise RuntimeError("Future in unexpected state")

    def set_result(self, result: Any) -> None:
        self._finish(result, None)

    def set_exception(self, exception: BaseException | None) -> None:
        self._finish(None, exception)

    def _finish(self, result: Any, exception: BaseException | None) -> None:
        with self._condition:
            if self._state in _DONE_STATES:
                raise InvalidStateError(f"{self._state}: {self!r}")
            self._result = result
            self._exception = exception
            self._state = _FINISHED
            if self._hooks:
                for hook in self._hooks:
                    if exception is None:
                        hook.add_result(self)
                    else:
                        hook.add_exception(self)
            if self._cv is not None:
                self._cv.notify_all()
        if self._callbacks:
            self._invoke_callbacks()

    # -- running ---------------------------------------------------------

    def _run(self) -> None:
        """Run the task on the calling worker, unless it was cancelled."""
        if not self.set_running_or_notify_cancel():
            return
        fn, args, kwargs = self._fn, self._args, self._kwargs
        # The future outlives the call: let go of the callable and arguments.
        self._fn = None
        self._args = ()
        self._kwargs = {}
        assert fn is not None
        try:
            result = fn(*args, **kwargs)
        except BaseException as exc:
            self.set_exception(exc)
            # The exception's traceback holds this frame; keep the frame from
            # holding the future (which holds the exception) and the call.
            self = None  # type: ignore[assignment]  # noqa: PLW0642
            del fn, args, kwargs
        else:
            self.set_result(result)

    def _cancel_unrun(self) -> None:
        """Cancel a task that was taken off the queues and will never run, and
        tell ``wait()``/``as_completed()`` about it (a bare ``cancel()``
        leaves those waiting until the executor reports the cancellation)."""
        if self.cancel():
            with self._condition:
                if self._state != _CANCELLED:
                    return
            self.set_running_or_notify_cancel()


class WorkerMetrics(NamedTuple):
    """One worker's counters at the moment ``WorkerPool.metrics()`` read them.

    - ``active``: tasks running on this worker now (0 or 1).
    - ``completed``: tasks this worker has finished, whatever their outcome.
    - ``global_pulls``: tasks it moved from the shared queue into its buffer.
    - ``parks``: times it looked for work and found none (each look before
      parking counts).
    - ``remote_schedules``: tasks ``submit_to`` put on its own queue.
    - ``injection_queue_depth``: length of the shared queue when it last
      pulled a batch or found nothing.
    """

    worker: int
    active: int
    completed: int
    global_pulls: int
    parks: int
    remote_schedules: int
    injection_queue_depth: int


def _default_workers() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return min(32, (count or 1) + 4)


class _Core:
    """Everything the worker threads share. It holds no reference to the
    ``WorkerPool`` so that a pool dropped without ``shutdown()`` can still be
    collected, and its finalizer then closes this core.

    Parking protocol (the part that must never lose a wake-up):

    - A worker that finds no work *announces* itself: under ``idle_lock`` it
      pushes its index on ``idle`` and sets ``parked[i]``. Then it *re-checks*
      with one more ``pop_work(i)``; only when that finds nothing, and the
      depth of the shared queue that the same call recorded is 0, does it
      block on ``parkers[i]`` (a Lock held by default: releasing it is the
      wake-up token). If the re-check found something it withdraws its
      announcement (or, if a waker claimed it meanwhile, consumes the token).
    - A submitter pushes first and then reads ``idle`` without a lock; if it is
      non-empty it claims one index under ``idle_lock`` and releases that
      worker's parker. ``submit_to(j)`` claims worker j itself.

    Why a task can't be stranded while every worker sleeps: the native push
    holds the queue's mutex (the global one, or worker j's local one), and the
    re-check takes that same mutex afterwards (the global case: the pool's
    global-sender lock, taken by a push and by every idle ``pop_work`` before
    it records the queue depth). Whichever comes first in that mutex's order:
    if the worker's re-check did, its announcement happens-before the
    submitter's read of ``idle``, so the submitter sees it and wakes it; if
    the push did, the re-check sees the task (or a depth above 0), so the
    worker doesn't block. The depth reading matters because ``pop_work`` may
    skip the shared queue while other workers are pulling from it; a worker
    that saw work it could not take yields and looks again instead of parking.

    Shutdown: ``close()`` closes the native pool, sets ``closed`` and wakes
    every parked worker. A worker retires when ``pop_work`` says the pool is
    closed; since that too can be answered while another worker is pulling,
    the last worker to retire sweeps every index once more, alone, so nothing
    queued before the close is left behind.
    """

    def __init__(self, workers: int, track: bool) -> None:
        self.n = workers
        self.native = NativeWorkerPool(workers)
        self.counters = AtomicMetrics(workers)
        # Attached even when per-task metrics are off: the parking protocol
        # reads the queue depth the pool records on every idle look.
        self.native.set_metrics(self.counters)
        self.track = track
        self.idle_lock = threading.Lock()
        self.idle: list[int] = []
        self.parked = [False] * workers
        self.parkers = [threading.Lock() for _ in range(workers)]
        for parker in self.parkers:
            parker.acquire()
        self.closed = threading.Event()
        self.sweep_lock = threading.Lock()
        self.live = workers
        self.threads: list[threading.Thread] = []

    # -- waking ----------------------------------------------------------

    def wake_one(self) -> None:
        with self.idle_lock:
            if self.idle:
                index = self.idle.pop()
                self.parked[index] = False
                self.parkers[index].release()

    def wake(self, index: int) -> None:
        with self.idle_lock:
            if self.parked[index]:
                self.parked[index] = False
                self.idle.remove(index)
                self.parkers[index].release()

    def wake_all(self) -> None:
        with self.idle_lock:
            while self.idle:
                index = self.idle.pop()
                self.parked[index] = False
                self.parkers[index].release()

    def close(self) -> None:
        """Stop accepting work and wake every parked worker (idempotent)."""
        self.native.close()
        # Workers that saw the pool closed wait for this before retiring, so
        # by the time the last one sweeps, no push can still be landing.
        self.closed.set()
        self.wake_all()

    # -- the worker side -------------------------------------------------

    def park(self, index: int) -> _TaskFuture | None:
        """Announce, re-check, and block until woken. Returns a task the
        re-check found, or None to make the caller look again."""
        with self.idle_lock:
            self.idle.append(index)
            self.parked[index] = True
        task: _TaskFuture | None = None
        try:
            task = self.native.pop_work(index)
            visible = task is not None or self.counters.get_injection_queue_depth(index) != 0
        except ThreadPoolClosedError:
            visible = True
        if not visible:
            self.parkers[index].acquire()
            return None
        with self.idle_lock:
            if self.parked[index]:
                self.parked[index] = False
                self.idle.remove(index)
                claimed = False
            else:
                claimed = True
        if claimed:
            # A waker took us off the list and released the token (under
            # idle_lock, so it is there now): consume it.
            self.parkers[index].acquire()
        if task is None:
            # The shared queue had work that another worker's pull kept this
            # call from taking; give that worker the CPU, then look again.
            time.sleep(0)
        return task

    def run_worker(self, index: int) -> None:
        pop = self.native.pop_work
        track = self.track
        counters = self.counters
        while True:
            try:
                task = pop(index)
                if task is None:
                    task = self.park(index)
                    if task is None:
                        continue
            except ThreadPoolClosedError:
                break
            try:
                if track:
                    counters.inc_active(index)
                    task._run()
                    counters.dec_active(index)
                else:
                    task._run()
            except BaseException:
                # Task exceptions end up in their futures; this is a done
                # callback that raised a BaseException. The worker must live
                # on: its local queue has no other consumer.
                _LOGGER.critical("exception in worker %d", index, exc_info=True)
            del task
        self.retire(index)

    def retire(self, index: int) -> None:
        self.closed.wait()
        with self.idle_lock:
            self.live -= 1
            last = self.live == 0
        if not last:
            return
        # Every other worker has stopped calling pop_work, and the cancel
        # drain holds sweep_lock, so no concurrent pull can make these calls
        # report "closed" while work is left.
        with self.sweep_lock:
            for worker in range(self.n):
                for task in self.drain(worker):
                    task._run()

    def drain(self, index: int) -> list[_TaskFuture]:
        """Take every task still queued for `index` (closed pool only)."""
        tasks: list[_TaskFuture] = []
        while True:
            try:
                task = self.native.pop_work(index)
            except ThreadPoolClosedError:
                return tasks
            if task is None:  # not closed after all: nothing to drain
                return tasks
            tasks.append(task)


_live_cores: weakref.WeakSet[_Core] = weakref.WeakSet()
_exiting = False


def _at_interpreter_exit() -> None:
    # Runs before the interpreter joins its non-daemon threads (as the
    # standard thread pool does): close every pool, let the workers finish
    # what was queued, and join them, or exit would wait forever.
    global _exiting
    _exiting = True
    cores = list(_live_cores)
    for core in cores:
        core.close()
    for core in cores:
        for thread in core.threads:
            thread.join()


getattr(threading, "_register_atexit")(_at_interpreter_exit)

_pool_ids = itertools.count()


class WorkerPool(Executor):
    """A ``concurrent.futures.Executor`` running tasks on ``max_workers``
    threads fed by the native pool core.

    ``submit`` puts the task on the shared queue, from which idle workers pull
    it in batches; ``submit_to(worker, ...)`` puts it on one worker's own
    queue (overflowing to the shared one when that holds 256 tasks). Idle
    workers park and cost nothing until work arrives.

    Workers are started eagerly, in the constructor: every worker index must
    have a live thread from the first ``submit_to`` on (only worker i ever
    takes work from queue i), and it keeps the submit path free of any
    "start another thread?" check. Parked threads cost no CPU.
    """

    def __init__(self, max_workers: int | None = None, *, metrics: bool = True) -> None:
        if max_workers is None:
            max_workers = _default_workers()
        if max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if _exiting:
            raise RuntimeError("cannot create a WorkerPool at interpreter shutdown")
        core = _Core(max_workers, metrics)
        self._core = core
        self._max_workers = max_workers
        self._push = core.native.push_global
        self._idle = core.idle
        self._wake_one = core.wake_one
        pool_id = next(_pool_ids)
        try:
            for index in range(max_workers):
                thread = threading.Thread(
                    target=core.run_worker, args=(index,), name=f"kestrum-{pool_id}-worker-{index}"
                )
                thread.start()
                core.threads.append(thread)
        except BaseException:
            core.close()
            raise
        _live_cores.add(core)
        # Dropping the pool without shutdown() still lets its workers finish
        # the queued work and exit.
        self._finalizer = weakref.finalize(self, core.close)

    @property
    def max_workers(self) -> int:
        return self._max_workers

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        future = _TaskFuture(fn, args, kwargs)
        try:
            self._push(future)
        except ThreadPoolClosedError:
            raise RuntimeError("cannot schedule new futures after shutdown") from None
        # Read without the lock on purpose; see _Core for why this can't miss
        # a worker that is about to park.
        if self._idle:
            self._wake_one()
        return future

    def submit_to(self, worker: int, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Like ``submit``, but queue the task for worker ``worker`` (0 to
        ``max_workers - 1``). When that worker's queue is full the task goes to
        the shared queue instead, where any worker may take it."""
        if not 0 <= worker < self._max_workers:
            raise IndexError(f"worker index {worker} out of range for {self._max_workers} workers")
        future = _TaskFuture(fn, args, kwargs)
        try:
            self._core.native.push_local(worker, future)
        except ThreadPoolClosedError:
            raise RuntimeError("cannot schedule new futures after shutdown") from None
        if self._core.parked[worker]:
            self._core.wake(worker)
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        core = self._core
        core.native.close()
        core.closed.set()
        if cancel_futures:
            # Take what no worker has started yet. Workers keep popping
            # meanwhile, so a task is either taken here or run: never both.
            with core.sweep_lock:
                for index in range(core.n):
                    for task in core.drain(index):
                        task._cancel_unrun()
        core.wake_all()
        if wait:
            current = threading.current_thread()
            for thread in core.threads:
                if thread is not current:
                    thread.join()

    def metrics(self) -> list[WorkerMetrics]:
        """A snapshot of every worker's counters. ``active`` and ``completed``
        stay 0 for a pool made with ``metrics=False``."""
        c = self._core.counters
        return [
            WorkerMetrics(
                i,
                c.get_active(i),
                c.get_completed(i),
                c.get_global_pull(i),
                c.get_park(i),
                c.get_remote_schedule(i),
                c.get_injection_queue_depth(i),
            )
            for i in range(self._max_workers)
        ]

    def __repr__(self) -> str:
        state = "closed" if self._core.closed.is_set() else "open"
        return f"<WorkerPool max_workers={self._max_workers} {state}>"

    async def run(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> _T:
        """Run ``fn(*args, **kwargs)`` on the pool and await its result on the
        running event loop (no ``run_in_executor`` needed). Cancelling the
        awaiting task cancels the call if no worker has started it yet."""
        from kestrum._aio import await_thread_future  # the async bridge lives there

        return await await_thread_future(self.submit(fn, *args, **kwargs))
