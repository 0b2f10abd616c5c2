"""How the thread side of kestrum hands things to event loops.

Work finishes on worker threads and items arrive from producer threads, but
a coroutine's future may only be touched on its own loop. Every such hand-over
goes through the loop's ``_Inbox``: the other thread appends a callback to the
inbox, and only the post that finds the inbox idle pays for
``call_soon_threadsafe`` (a write to the loop's self-pipe). Under load a
single wake-up of the loop then runs a whole batch of callbacks.
"""

from __future__ import annotations

import asyncio
import os
import threading
import weakref
from asyncio.events import _get_running_loop
from collections.abc import Callable, Iterable
from concurrent.futures import Future as _ThreadFuture
from typing import Any, TypeVar

__all__ = ["AsyncWaiter", "await_thread_future", "inbox_for", "release_all"]

_T = TypeVar("_T")
_A = TypeVar("_A")


# The locks of this layer (an inbox's, a channel's waiter lists') are
# reentrant. A cyclic collection may run on any thread at any call, also
# while such a lock is held, and destroy a task that was waiting on a
# channel: its coroutine then withdraws from the channel and may pass a
# wake-up on, taking these locks again on the same thread. Every step under
# them leaves the guarded state whole before it calls anything, so such a
# nested withdrawal sees a consistent state.


# Forks, for the child's sake: only the forking thread goes on there, so a
# loop that was running on any other thread never runs again, and a wake-up
# posted to it would be lost instead of refused (and passed on). For each
# fork this process descends from, the thread that went on. Every fork
# counts: a thread of a child may get the identity of one of the parent's
# that did not survive.
_fork_survivors: list[int] = []


def _count_fork_in_child() -> None:
    _fork_survivors.append(threading.get_ident())


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_count_fork_in_child)


class _Batch(list[tuple[Callable[[Any], object], Any]]):
    """Callbacks posted to a loop, run together by one drain."""

    __slots__ = ("__weakref__",)


class _Inbox:
    """The queue of callbacks other threads have posted to one loop."""

    __slots__ = ("_loop", "_lock", "_open", "_thread", "_forks", "__weakref__")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        # Weakly: the per-thread cache below keeps the last inbox, and must
        # not keep a finished loop with it.
        self._loop = weakref.ref(loop)
        # The thread the loop runs on (made there, see inbox_for), None once
        # a fork has left it behind; and how many forks it is known to have
        # lived through.
        self._thread: int | None = threading.get_ident()
        self._forks = len(_fork_survivors)
        self._lock = threading.RLock()  # reentrant: see above
        # The batch a drain on its way to the loop will run, or None. Only
        # that drain, queued on the loop, holds the batch: if the loop is
        # closed first, the batch goes with the loop's queue, and so do the
        # futures in it and the tasks awaiting them. Such a task then ends
        # as every destroyed coroutine does (GeneratorExit), which passes on
        # a wake-up it was sent; the inbox, which outlives the loop in the
        # cache, would otherwise keep them all, the loop with them.
        self._open: weakref.ref[_Batch] | None = None  # guarded by _lock

    def post(self, fn: Callable[[_A], object], arg: _A) -> bool:
        """Have the loop call ``fn(arg)`` soon, from any thread. False if the
        loop is closed, so nothing posted to it will ever run."""
        loop = self._loop()
        if loop is None:
            return False  # collected, so closed long ago
        if self._forks != len(_fork_survivors) and self._left_behind_by_a_fork():
            return False
        if _get_running_loop() is loop:
            loop.call_soon(fn, arg)  # already on the loop: no self-pipe write
            return True
        with self._lock:
            batch = self._open() if self._open is not None else None
            if batch is not None:
                # The drain already on its way runs this too, unless the loop
                # was closed meanwhile.
                batch.append((fn, arg))
                return not loop.is_closed()
            batch = _Batch([(fn, arg)])
            self._open = weakref.ref(batch)
        try:
            loop.call_soon_threadsafe(self._drain, batch)
        except RuntimeError:  # the loop is closed
            with self._lock:
                self._open = None
            return False
        return True

    def _left_behind_by_a_fork(self) -> bool:
        # In a fork's child, where only the forking thread lives on.
        survivors = _fork_survivors[self._forks:]
        if self._thread is not None and all(thread == self._thread for thread in survivors):
            self._forks += len(survivors)
            return False
        self._thread = None
        return True

    def _drain(self, batch: _Batch) -> None:
        # Runs on the loop. Close the batch first, so that posts made while
        # it runs schedule a drain of their own.
        with self._lock:
            if self._open is not None and self._open() is batch:
                self._open = None
        loop = self._loop()
        for index, (fn, arg) in enumerate(batch):
            try:
                fn(arg)
            except Exception as exc:  # one failing callback must not strand the rest
                if loop is not None:
                    loop.call_exception_handler({"message": "kestrum: callback failed", "exception": exc})
            except BaseException:
                # An interrupt: the rest still runs, on the loop's next turn,
                # ahead of whatever other threads posted after it.
                self._requeue(_Batch(batch[index + 1:]))
                raise

    def _requeue(self, rest: _Batch) -> None:
        # On the loop, which is running, so not closed.
        if not rest:
            return
        with self._lock:
            batch = self._open() if self._open is not None else None
            if batch is not None:
                batch[0:0] = rest
                return
            self._open = weakref.ref(rest)
        loop = self._loop()
        if loop is not None:
            loop.call_soon(self._drain, rest)


# One inbox per loop, found through a per-thread cache: a loop runs on one
# thread at a time, so the cache almost always holds the caller's loop. The
# cache refers to the loop weakly, to let a finished loop be collected.
_cache = threading.local()


def inbox_for(loop: asyncio.AbstractEventLoop) -> _Inbox:
    """The inbox of `loop`, which must be the running loop of the caller."""
    try:
        ref, inbox = _cache.entry
        if ref() is loop:
            return inbox  # type: ignore[no-any-return]
    except AttributeError:
        pass
    inbox = _Inbox(loop)
    _cache.entry = (weakref.ref(loop), inbox)
    return inbox


def _wake(future: asyncio.Future[bool]) -> None:
    # On the future's own loop, the only place where testing done() and
    # setting the result can't race with a cancellation.
    if not future.done():
        future.set_result(True)


def expire(future: asyncio.Future[bool]) -> None:
    """Time-out callback: resolve `future` to False unless it is done."""
    if not future.done():
        future.set_result(False)


class AsyncWaiter:
    """A coroutine's place in a channel's waiter list: the same ``release()``
    as the ``threading.Lock`` a blocked thread leaves there, except that it
    reports whether the wake-up can still be delivered."""

    __slots__ = ("inbox", "future", "claimed")

    def __init__(self, inbox: _Inbox, future: asyncio.Future[bool]) -> None:
        self.inbox = inbox
        self.future = future
        # Set by the waker that takes it off its list (under the list's
        # lock), if that wake-up is this waiter's to use or pass on.
        self.claimed = False

    def release(self) -> bool:
        """Wake the waiter on its loop; False if that loop is closed."""
        return self.inbox.post(_wake, self.future)


def release_all(waiters: Iterable[AsyncWaiter]) -> None:
    """Release every waiter, even if releasing one raises (an interrupt,
    which is raised once the rest are released)."""
    rest = iter(waiters)
    try:
        for waiter in rest:
            waiter.release()
    finally:
        for waiter in rest:
            waiter.release()


def _copy_outcome(pair: tuple[_ThreadFuture[Any], asyncio.Future[Any]]) -> None:
    # On the loop: hand the finished pool future's outcome to the asyncio
    # future, unless the awaiting task gave up on it.
    source, target = pair
    if target.done():
        return
    if source.cancelled():
        target.cancel()
        return
    exc = source.exception()
    if exc is not None:
        target.set_exception(exc)
    else:
        target.set_result(source.result())


class _Relay:
    """Done-callback of a pool future: posts its outcome to the loop."""

    __slots__ = ("inbox", "target")

    def __init__(self, inbox: _Inbox, target: asyncio.Future[Any]) -> None:
        self.inbox = inbox
        self.target = target

    def __call__(self, source: _ThreadFuture[Any]) -> None:
        # A closed loop has nobody left to tell.
        self.inbox.post(_copy_outcome, (source, self.target))


async def await_thread_future(source: _ThreadFuture[_T]) -> _T:
    """Await a ``concurrent.futures.Future`` on the running loop. Cancelling
    the awaiting task cancels `source` too, which stops it if it has not
    started."""
    loop = asyncio.get_running_loop()
    target: asyncio.Future[_T] = loop.create_future()
    source.add_done_callback(_Relay(inbox_for(loop), target))
    try:
        return await target
    except asyncio.CancelledError:
        source.cancel()
        raise
    finally:
        # An exception's traceback holds this frame: don't let the frame
        # hold the futures that hold the exception.
        del source, target
