"""WorkerPool: a ``concurrent.futures.Executor`` whose threads are fed by the
native work-stealing core.

Every worker thread loops on ``NativeStealingPool.pop(i)``, which hands it a
task from its own queues or steals one from another worker's. The core never
waits, so this module owns all waiting: an idle worker parks on a lock of its
own, and whoever queues work that the core says a parked worker must see
releases that lock. See ``_Core`` for the parking protocol.
"""

from __future__ import annotations

import functools
import itertools
import operator
import os
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import CancelledError, Executor, Future, InvalidStateError
from concurrent.futures import _base
from concurrent.futures.thread import BrokenThreadPool
from typing import TYPE_CHECKING, Any, NamedTuple, ParamSpec, TypeVar

from kestrum._kestrum_core import ThreadPoolClosedError
from kestrum._kestrum_native import NativeFuture, NativeStealingPool

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



# Codes of the native state word (see NativeFuture._advance).
_S_PENDING, _S_RUNNING, _S_CANCELLED, _S_CANCELLED_AND_NOTIFIED = 0, 1, 2, 3
_S_MASK = 7
_S_WATCHED = 8


class _TaskFuture(NativeFuture, Future[Any]):  # type: ignore[override]  # native read-only state
    """The future ``WorkerPool.submit`` returns, and at the same time the task
    object that travels through the native queues.

    The split keeps a task as cheap as a task can be and the future whole:

    - ``NativeFuture`` (first in the method order) holds the state in one
      atomic word, the call and its outcome, and the methods every task
      pays for: the worker runs the call in one native call,
      ``done()``/``result()`` on a done future never take a lock, and
      ``result()``/``exception()`` on a pending one sleep on the state word
      with the interpreter detached. There is no lock per future and no
      ``__init__`` in Python.
    - This class adds what only a *watched* future needs, all under
      ``_condition``, a reentrant lock made on first use: the hooks of
      ``concurrent.futures.wait``
      and ``as_completed`` (which take every future's ``_condition`` and read
      ``_state``; ``wait(return_when=FIRST_EXCEPTION)`` calls
      ``exception()`` while holding it, hence reentrant), done callbacks.
    - Reading ``_condition`` marks the future watched in the same atomic
      word that the move to a done state changes. The thread that finishes
      a future publishes the outcome with one compare-and-swap that fails
      once the future is watched; then, and only then, it calls
      ``_notify_done``, which publishes under the lock and notifies. So a
      waiter either saw the done state or is notified, never neither, and
      whoever holds the lock sees the state stay put (the standard
      ``wait()`` reads it twice under the lock).
    - Being a ``concurrent.futures.Future`` subclass keeps
      ``isinstance`` checks (``asyncio.wrap_future``) working; the stock
      ``Future.__init__`` never runs.
    """

    # Created on first use, under _condition; until then the class defaults.
    _hooks: list[_Waiter] | None = None
    _callbacks: list[Callable[[Future[Any]], object]] | None = None
    _cv: threading.Condition | None = None

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

    # -- the slow paths the native half calls ----------------------------

    def _wait(self, timeout: float | None) -> None:
        """Wait until the future is done or `timeout` passes (the caller
        re-checks the state): for a time-out the native wait does not take
        as it is (a huge or unusual number, a non-number), so that it gets
        the standard future's answer."""
        with self._condition:
            if not self.done():
                cv = self._cv
                if cv is None:
                    cv = self._cv = threading.Condition(self._condition)
                cv.wait(timeout)

    def _notify_done(self) -> None:
        """Called once, by the thread that finished or cancelled a watched
        future: publish the finished state under the lock (so whoever holds
        the lock sees the state stay put), tell the hooks and waiters, then
        run the callbacks."""
        with self._condition:
            self._publish()
            hooks = self._hooks
            if hooks and self._state == _FINISHED:
                if self._exception is not None:
                    for hook in hooks:
                        hook.add_exception(self)
                else:
                    for hook in hooks:
                        hook.add_result(self)
            if self._cv is not None:
                self._cv.notify_all()
            # Final: nobody appends once the future is done.
            callbacks = self._callbacks
        if callbacks:
            self._invoke(callbacks)

    def _invoke(self, callbacks: list[Callable[[Future[Any]], object]]) -> None:
        for callback in callbacks:
            try:
                callback(self)
            except Exception:
                _base.LOGGER.exception("exception calling callback for %r", self)

    # -- the rest of the protocol ----------------------------------------

    def add_done_callback(self, fn: Callable[[Future[Any]], object]) -> None:
        with self._condition:
            if not self.done():
                callbacks = self._callbacks
                if callbacks is None:
                    self._callbacks = [fn]
                else:
                    callbacks.append(fn)
                return
        try:
            fn(self)
        except Exception:
            _base.LOGGER.exception("exception calling callback for %r", self)

    def cancel(self) -> bool:
        word = self._advance(_S_PENDING, _S_CANCELLED)
        state = word & _S_MASK
        if state == _S_PENDING:
            if word & _S_WATCHED:
                self._notify_done()
            return True
        return state in (_S_CANCELLED, _S_CANCELLED_AND_NOTIFIED)

    def set_running_or_notify_cancel(self) -> bool:
        word = self._advance(_S_PENDING, _S_RUNNING)
        state = word & _S_MASK
        if state == _S_PENDING:
            return True
        if state == _S_CANCELLED:
            with self._condition:
                word = self._advance(_S_CANCELLED, _S_CANCELLED_AND_NOTIFIED)
                if word & _S_MASK == _S_CANCELLED:
                    if self._hooks:
                        for hook in self._hooks:
                            hook.add_cancelled(self)
                    return False
        _base.LOGGER.critical("Future %s in unexpected state: %s", id(self), self._state)
        raise RuntimeError("Future in unexpected state")

    def _cancel_unrun(self) -> None:
        """Cancel a task that was taken off the queues and will never run, and
        tell ``wait()``/``as_completed()`` about it (a bare ``cancel()``
        leaves those waiting until the executor reports the cancellation)."""
        if self.cancel() and self._state == _CANCELLED:
            self.set_running_or_notify_cancel()

    def _fail_unrun(self, exception: BaseException) -> None:
        """Fail a task that was taken off the queues and will never run
        (unless it was cancelled meanwhile)."""
        if self.set_running_or_notify_cancel():
            self.set_exception(exception)


class WorkerMetrics(NamedTuple):
    """One worker's counters at the moment ``WorkerPool.metrics()`` read them.

    - ``active``: tasks running on this worker now (0 or 1).
    - ``completed``: tasks this worker has finished, whatever their outcome.
    - ``global_pulls``: tasks it moved from the shared queue into its own run
      queue (other workers may still steal them from there).
    - ``parks``: times it found no work and registered to park (each look
      before blocking counts).
    - ``remote_schedules``: tasks ``submit_to`` put on its own queue.
    - ``injection_queue_depth``: length of the shared queue when it last
      pulled a batch or parked.
    - ``steals``: tasks it took from other workers' run queues.
    """

    worker: int
    active: int
    completed: int
    global_pulls: int
    parks: int
    remote_schedules: int
    injection_queue_depth: int
    steals: int


#: Largest ``max_workers``: threads are started eagerly, and far fewer than
#: this already exhaust what an operating system gives one process.
MAX_WORKERS = 1 << 16


def _default_workers() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return min(32, (count or 1) + 4)


_BROKEN = "A thread initializer failed, the thread pool is not usable anymore"


class _Core:
    """Everything the worker threads share. It holds no reference to the
    ``WorkerPool`` so that a pool dropped without ``shutdown()`` can still be
    collected, and its finalizer then closes this core.

    Parking protocol. The native core keeps the parking state and makes every
    decision in it at one instant, so no wake-up is lost:

    - A worker whose ``pop(i)`` found nothing first spins a few tens of
      microseconds for work (``await_work(i)``, interpreter detached): a
      task submitted as soon as the last one finished is taken with no
      park and no wake-up. Then it calls ``park(i)``: the core
      registers it as parked, then re-checks for a task it could be handed.
      0: nothing, so the worker blocks on ``parkers[i]`` (a Lock held by
      default: releasing it is the wake-up token). 1: work (or the close)
      became visible and the registration was withdrawn: look again.
      2: the same, but a waker claimed this worker meanwhile, so its token
      is on the way: take it, then look again.
    - A push that finds a parked worker claims it (the pinned worker itself
      for ``submit_to``) and, in the same native call, releases that
      worker's parker. Each claim is one token, so a parker is never
      released twice.
    - A worker that took a batch and then blocked in a task does not hold
      the rest: idle workers steal them. A worker therefore parks only while
      nothing it could run is queued anywhere.

    Shutdown: ``close()`` closes the native pool and wakes every parked
    worker. A worker retires when ``pop`` says the pool is closed, which the
    core says only once nothing is left that this worker could be handed.
    """

    def __init__(
        self,
        workers: int,
        track: bool,
        initializer: Callable[..., object] | None,
        initargs: tuple[Any, ...],
    ) -> None:
        self.n = workers
        self.native = NativeStealingPool(workers)
        self.track = track
        self.initializer = initializer
        self.initargs = initargs
        self.parkers = [threading.Lock() for _ in range(workers)]
        for parker in self.parkers:
            parker.acquire()
        # The native pool releases a claimed worker's parker itself, in the
        # same call that claims it: a KeyboardInterrupt raised in a submitter
        # between the two would otherwise leave that worker asleep for good.
        self.native.set_wakers(tuple(parker.release for parker in self.parkers))
        # Through a weak reference: the native pool holds what it is given
        # and the collector can't see into it, so a bound method would keep
        # this core alive for good.
        core = weakref.ref(self)

        def refusal() -> BaseException:
            alive = core()
            return alive.refusal() if alive is not None else RuntimeError("cannot schedule new futures after shutdown")

        self.native.set_submitter(_TaskFuture, refusal)
        self.closed = False
        self.broken: str | None = None
        # Set in a forked child: the native state may hold locks of threads
        # that do not exist there, so nothing may touch it again.
        self.forked = False
        self.threads: list[threading.Thread] = []

    def close(self) -> None:
        """Stop accepting work and wake every parked worker (idempotent)."""
        if self.forked:
            return
        self.native.close()
        self.closed = True
        claim = self.native.claim_parked
        while claim() is not None:  # each claim releases that worker's parker
            pass

    def refusal(self) -> BaseException:
        """The exception for a submit that the native pool refused."""
        if self.broken is not None:
            return BrokenThreadPool(self.broken)
        if self.forked:
            return RuntimeError("cannot schedule new futures after fork")
        if _exiting:
            return RuntimeError("cannot schedule new futures after interpreter shutdown")
        return RuntimeError("cannot schedule new futures after shutdown")

    def take_queued(self) -> list[_TaskFuture]:
        """Take every task no worker has started (closed pool only). Workers
        keep popping meanwhile, so a task is either taken here or run: never
        both."""
        pop = self.native.pop
        tasks: list[_TaskFuture] = []
        for index in range(self.n):
            while True:
                try:
                    task = pop(index)
                except ThreadPoolClosedError:
                    break
                if task is not None:
                    tasks.append(task)
        return tasks

    # -- the worker side -------------------------------------------------

    def run_worker(self, index: int) -> None:
        if self.initializer is not None:
            try:
                self.initializer(*self.initargs)
            except BaseException:
                _base.LOGGER.critical("Exception in initializer:", exc_info=True)
                self.initializer_failed()
                return
        run_next = self.native.run_next
        await_work = self.native.await_work
        park = self.native.park
        token = self.parkers[index]
        track = self.track
        while True:
            # One native call pops the next task, runs it, stores its outcome
            # in its future and keeps this worker's counters.
            try:
                ran = run_next(index, track)
            except ThreadPoolClosedError:
                return
            except BaseException:
                # Task exceptions end up in their futures; this is a done
                # callback that raised a BaseException. The worker lives on:
                # its pinned queue has no other consumer.
                _base.LOGGER.critical("Exception in worker %d", index, exc_info=True)
                ran = True
            if ran is None:
                if not await_work(index) and park(index) != 1:
                    token.acquire()
                continue
            if self.forked:
                # This thread forked inside the task and is the child's only
                # thread now: end it, and with it the child, instead of
                # serving a pool whose other workers don't exist here.
                return

    def initializer_failed(self) -> None:
        # As the standard thread pool does: the pool is broken for good, and
        # every task still queued fails with the reason.
        self.broken = _BROKEN
        self.close()
        for task in self.take_queued():
            task._fail_unrun(BrokenThreadPool(_BROKEN))


class _Lifeline:
    """Alive while anything can still submit to one pool (see WorkerPool)."""

    __slots__ = ("__weakref__",)


class _FastCall(functools.partial):  # type: ignore[type-arg]
    """A pool's fast submit: passes the call on to the native one with no
    Python frame, and stays what it was when stored on a class. A plain
    partial binds to an instance read through a class (it is a method
    descriptor on 3.14), where a bound method, the standard pool's submit,
    does not."""

    def __get__(self, instance: object, owner: type | None = None) -> _FastCall:
        return self

    # A copy would carry a lifeline of its own, which no finalizer watches:
    # the pool could close under it. It stands for the pool, so it is kept.
    def __copy__(self) -> _FastCall:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> _FastCall:
        return self


def _holding(lifeline: _Lifeline, call: Callable[..., Any], stands_for: Callable[..., Any]) -> Callable[..., Any]:
    """`call`, as a callable that keeps `lifeline` alive and is named and
    documented as the method it stands for: a bound native method holds only
    the native pool, so a pool known only through its bound submit
    (``WorkerPool(1).submit(f)``) would close under the call."""
    fast = _FastCall(call)
    # A partial has a __dict__, where these go.
    fast._lifeline = lifeline  # type: ignore[attr-defined]
    fast.__name__ = stands_for.__name__  # type: ignore[attr-defined]
    fast.__qualname__ = stands_for.__qualname__  # type: ignore[attr-defined]
    fast.__doc__ = stands_for.__doc__
    return fast


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
    current = threading.current_thread()
    for core in cores:
        for thread in core.threads:
            if thread is not current:
                thread.join()


def _after_fork_in_child() -> None:
    # Only the forking thread exists in the child. Every pool inherited from
    # the parent is dead: its workers are gone and its native locks may be
    # held by threads that no longer exist, so it must never be touched
    # again (not even to close it at exit). Submitting to it raises, however
    # the submit is reached (a method bound before the fork included); new
    # pools work as usual.
    global _live_cores
    for core in list(_live_cores):
        core.forked = True
        core.closed = True
        core.native.abandon()
    _live_cores = weakref.WeakSet()


getattr(threading, "_register_atexit")(_at_interpreter_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)

_pool_ids = itertools.count()


def _chunked(iterables: tuple[Iterable[Any], ...], size: int) -> Iterator[tuple[Any, ...]]:
    """Slices of `size` calls' arguments, read from the iterables exactly as
    ``zip`` reads them (so an iterator passed twice, or one longer than the
    rest, is consumed as the built-in ``map`` would): with one iterable, its
    items; with several, one argument tuple per call."""
    source = iter(iterables[0]) if len(iterables) == 1 else zip(*iterables)
    while chunk := tuple(itertools.islice(source, size)):
        yield chunk


# The calls of one chunk. Arguments and results cross between threads as
# tuples: on the free-threaded build, reading an item of a list that another
# thread made takes the list's lock (no tuple is ever locked). Comprehensions,
# not the built-in map: a Python function's calls then stay inside the eval
# loop (7-10 ns less a call), and a StopIteration that a call raises is an
# error, where map would take it for the end of the arguments.
def _call_each(fn: Callable[..., _T], items: tuple[Any, ...]) -> tuple[_T, ...]:
    return tuple([fn(item) for item in items])


def _call_each_unpacked(fn: Callable[..., _T], calls: tuple[tuple[Any, ...], ...]) -> tuple[_T, ...]:
    return tuple([fn(*args) for args in calls])


def _flatten(chunks: Iterator[tuple[_T, ...]]) -> Iterator[_T]:
    try:
        for results in chunks:
            # The tuple's own iterator hands out the results: no bytecode of
            # this frame runs per result, only per chunk.
            yield from results
    finally:
        # Closing the iterator early cancels the chunks not yet started, as
        # the standard map() does for single calls.
        close = getattr(chunks, "close", None)
        if close is not None:
            close()


class WorkerPool(Executor):
    """Run callables on a pool of threads; a drop-in
    ``concurrent.futures.Executor`` built for floods of small tasks::

        from kestrum import WorkerPool

        with WorkerPool(4) as pool:
            future = pool.submit(pow, 2, 10)      # a concurrent.futures.Future
            print(future.result())                # 1024
            print(list(pool.map(abs, [-1, -2])))  # [1, 2]
            pool.submit_to(0, print, "on worker 0 only")

    ``max_workers`` threads (default ``min(32, os.process_cpu_count() + 4)``,
    as for ``ThreadPoolExecutor``; at most ``MAX_WORKERS``) start at once
    and park, costing nothing, while there is no work. ``submit`` queues a
    task for any worker; ``submit_to(worker, ...)`` for one worker only,
    overflowing to the shared queue (any worker) when that worker already has
    256 waiting. While a worker is idle no runnable task waits: an idle
    worker steals tasks that a busy one took but has not started.

    ``initializer(*initargs)`` runs first in every worker thread; if it
    raises, the pool is broken, like ``ThreadPoolExecutor``: queued tasks and
    later submits fail with ``concurrent.futures.thread.BrokenThreadPool``.
    Threads are named ``f"{thread_name_prefix}_{index}"``. With
    ``metrics=False`` the per-task ``active``/``completed`` counters of
    ``metrics()`` are not kept, which saves three atomic updates per task.

    Forking is safe: in the child, pools inherited from the parent refuse new
    work (their threads do not exist there) and new pools work as usual.
    """

    def __init__(
        self,
        max_workers: int | None = None,
        thread_name_prefix: str = "",
        initializer: Callable[..., object] | None = None,
        initargs: tuple[Any, ...] = (),
        *,
        metrics: bool = True,
    ) -> None:
        if max_workers is None:
            max_workers = _default_workers()
        else:
            try:
                max_workers = operator.index(max_workers)
            except TypeError:
                raise TypeError(
                    f"max_workers must be an int or None, not {type(max_workers).__name__}"
                ) from None
        if max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if max_workers > MAX_WORKERS:
            raise ValueError(f"max_workers must be at most {MAX_WORKERS}")
        if initializer is not None and not callable(initializer):
            raise TypeError("initializer must be a callable")
        if _exiting:
            raise RuntimeError("cannot create a WorkerPool at interpreter shutdown")
        core = _Core(max_workers, metrics, initializer, tuple(initargs))
        self._core = core
        self._max_workers = max_workers
        # Their futures are _TaskFutures (see set_submitter), stubbed as the
        # native base.
        self._submit: Callable[..., Future[Any]] = core.native.submit  # type: ignore[assignment]
        self._submit_to: Callable[..., Future[Any]] = core.native.submit_to  # type: ignore[assignment]
        self._submit_many: Callable[[Callable[..., Any], Iterable[Iterable[Any]]], list[Future[Any]]] = (
            core.native.submit_many
        )
        # Dropping the pool without shutdown() still lets its workers finish
        # the queued work and exit: the core closes once nothing holds the
        # pool or one of its fast submits below, all of which hold this.
        lifeline = _Lifeline()
        self._lifeline = lifeline
        # The whole submit in one native call, with no Python frame around
        # it: the future is made and queued there, with no kwargs dict unless
        # there are keyword arguments. A subclass that overrides either keeps
        # its own, and its super() calls reach the same native call.
        if type(self).submit is WorkerPool.submit:
            self.submit = _holding(lifeline, self._submit, WorkerPool.submit)  # type: ignore[method-assign]
        if type(self).submit_to is WorkerPool.submit_to:
            self.submit_to = _holding(lifeline, self._submit_to, WorkerPool.submit_to)  # type: ignore[method-assign]
        self._threads = core.threads
        prefix = thread_name_prefix or f"WorkerPool-{next(_pool_ids)}"
        try:
            for index in range(max_workers):
                thread = threading.Thread(target=core.run_worker, args=(index,), name=f"{prefix}_{index}")
                thread.start()
                core.threads.append(thread)
        except BaseException:
            core.close()
            raise
        _live_cores.add(core)
        self._finalizer = weakref.finalize(lifeline, core.close)

    @property
    def max_workers(self) -> int:
        """Read how many worker threads the pool runs."""
        return self._max_workers

    @property
    def _broken(self) -> str | bool:
        # The standard thread pool's flag: the reason once broken, else False.
        return self._core.broken or False

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Schedule ``fn(*args, **kwargs)`` on any worker and return a
        ``concurrent.futures.Future`` for its outcome.

        Raises ``RuntimeError`` after ``shutdown()`` (or, in a forked child,
        for a pool of the parent) and ``BrokenThreadPool`` once a worker's
        initializer failed."""
        return self._submit(fn, *args, **kwargs)

    def submit_to(self, worker: int, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Schedule ``fn(*args, **kwargs)`` on worker ``worker`` (0 to
        ``max_workers - 1``) only, like ``submit`` otherwise. It runs there
        even while that worker is busy, unless 256 tasks already wait for
        it: then it goes to the shared queue, where any worker may take it."""
        return self._submit_to(worker, fn, *args, **kwargs)

    def submit_many(self, fn: Callable[..., _T], argument_tuples: Iterable[Iterable[Any]], /) -> list[Future[_T]]:
        """Schedule ``fn(*args)`` for every ``args`` in ``argument_tuples``
        and return their futures, in order.

        The same as ``[pool.submit(fn, *args) for args in argument_tuples]``,
        but the tasks enter the queue together, in one native call, and wake
        as many parked workers as they can use: cheaper per task, and no
        worker starts before the whole batch is queued. All or nothing: on
        ``RuntimeError`` (after shutdown) no task was queued."""
        return self._submit_many(fn, argument_tuples)

    def map(
        self,
        fn: Callable[..., _T],
        *iterables: Any,
        timeout: float | None = None,
        chunksize: int = 1,
        **kwargs: Any,
    ) -> Iterator[_T]:
        """Run ``fn`` over the items of ``iterables`` on the pool, like the
        built-in ``map``, and return an iterator of the results in order.

        The calls are submitted at once; the iterator raises
        ``TimeoutError`` if a result is not ready ``timeout`` seconds after
        this call, and re-raises a call's exception when it reaches that
        result. With ``chunksize`` above 1 each task runs that many calls in
        a row (as ``ProcessPoolExecutor`` does): far less overhead for many
        tiny calls, but a call's exception then stands for its whole chunk:
        the iterator raises it in place of the chunk's first result, and the
        calls after it in the chunk do not run. ``buffersize``, where the
        interpreter's ``Executor.map`` has it, limits the tasks submitted
        ahead of the results read."""
        if chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        if chunksize == 1:
            return super().map(fn, *iterables, timeout=timeout, **kwargs)
        run_chunk = _call_each if len(iterables) == 1 else _call_each_unpacked
        chunks = super().map(
            functools.partial(run_chunk, fn), _chunked(iterables, chunksize), timeout=timeout, **kwargs
        )
        return _flatten(chunks)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stop the pool: later submits raise ``RuntimeError``. Queued tasks
        still run, unless ``cancel_futures`` cancels those not yet started.
        With ``wait`` it returns once every worker has finished; called so
        from one of the pool's own tasks it raises ``RuntimeError``, as
        ``ThreadPoolExecutor`` does, rather than wait for itself."""
        core = self._core
        core.close()
        if cancel_futures and not core.forked:
            for task in core.take_queued():
                task._cancel_unrun()
        if wait:
            current = threading.current_thread()
            if current in core.threads:
                raise RuntimeError("cannot join current thread")
            for thread in core.threads:
                thread.join()

    def metrics(self) -> list[WorkerMetrics]:
        """Read a snapshot of every worker's counters. ``active`` and
        ``completed`` stay 0 for a pool made with ``metrics=False``."""
        native = self._core.native
        return [
            WorkerMetrics(
                i,
                native.get_active(i),
                native.get_completed(i),
                native.get_global_pull(i),
                native.get_park(i),
                native.get_remote_schedule(i),
                native.get_injection_queue_depth(i),
                native.get_steal(i),
            )
            for i in range(self._max_workers)
        ]

    def __repr__(self) -> str:
        state = "broken" if self._core.broken else "closed" if self._core.closed else "open"
        return f"<WorkerPool max_workers={self._max_workers} {state}>"

    async def run(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> _T:
        """Run ``fn(*args, **kwargs)`` on the pool and await its result on the
        running event loop (no ``run_in_executor`` needed). Cancelling the
        awaiting task cancels the call if no worker has started it yet."""
        from kestrum._aio import await_thread_future  # the async bridge lives there

        return await await_thread_future(self.submit(fn, *args, **kwargs))
