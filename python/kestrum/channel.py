"""Channel: a multi-producer multi-consumer FIFO between threads and event
loops, a subclass of the native ``ChannelBase``.

The thread-side methods (``send``, ``recv``, ``try_send``, ``try_recv``)
are the native base class's own: one native call each, with no Python frame
around it. Threads wait inside the native channel, with the interpreter
detached, and are woken there by whichever native call makes progress
possible. This class adds waiting for coroutines, a closed state that ends
iteration, and the coroutine wake-ups, which the native calls ask for only
when a coroutine waits: nobody takes a lock unless a coroutine has to wait.

Coroutine waiting protocol. A coroutine that must wait leaves an
``AsyncWaiter`` in its side's deque (under ``_lock``), whose ``release()``
resolves a future on the coroutine's own loop; then it retries the native
operation once before it suspends. Every native operation that moves an
item then reads, without a lock, how many coroutines wait on the other side
(a count the deques' changes keep up to date under ``_lock``, through
``_set_coroutine_waiters``), and if any do, calls ``_wake_senders`` or
``_wake_receivers``, which claim the oldest waiter (under ``_lock``) and
release it (outside). Both native operations go through
the channel's internal mutex, so either the waiter's retry comes after the
operation that would satisfy it (and succeeds), or its registration
happens-before the other side's read of the count (and it gets woken): a
wake-up can't be lost.

Wakers claim the oldest waiter, which may be one whose retry has just
succeeded on its own, or a coroutine that is being cancelled: a waiter that
leaves holding a wake-up it did not use passes it on to the next waiter of
its side. A waiter whose loop is closed can't take a wake-up (``release()``
returns False), so the waker moves on to the next one. ``close()`` releases
every waiter on both sides.

Items move only inside the native calls, and a coroutine never suspends
between taking an item and returning it, or while it holds an item it has
not queued: cancelling ``recv_async`` or ``send_async`` can interrupt only
the waiting, never a hand-over.
"""

from __future__ import annotations

import asyncio
import operator
import queue
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, cast

from kestrum._aio import AsyncWaiter, expire, inbox_for, release_all
from kestrum._kestrum_native import ChannelBase
from kestrum._timeouts import check_timeout

__all__ = ["Channel", "ChannelClosed"]

_T = TypeVar("_T")
_D = TypeVar("_D")

# What the native _take_or() returns for an empty channel: no item is ever
# this object.
_NOTHING = object()

_LARGEST_BOUND = 2**64 - 1

_CLOSED_DOC = """Raised by a send on a closed channel, and by a receive on a closed
    channel with nothing left to receive."""

# Where the standard library has queue.ShutDown and asyncio.QueueShutDown
# (3.13+), a closed channel is both, so code written for the shutdown() of
# queue.Queue (threads) or of asyncio.Queue (coroutines) handles it.
if sys.version_info >= (3, 13):
    class ChannelClosed(queue.ShutDown, asyncio.QueueShutDown):
        __doc__ = _CLOSED_DOC
else:
    class ChannelClosed(Exception):
        __doc__ = _CLOSED_DOC


class Channel(ChannelBase, Generic[_T]):
    """A FIFO channel between any number of threads and event loops;
    ``maxsize`` 0 or less means unbounded, as for ``queue.Queue``.

    Threads use ``send``/``recv`` (and plain iteration), coroutines
    ``await send_async``/``await recv_async`` (and ``async for``), all at
    once on the same channel. Every time-out, thread or coroutine, raises
    ``queue.Full`` (send) or ``queue.Empty`` (receive). A send that raises,
    for whatever reason (time-out, ``ChannelClosed``, cancellation), has not
    queued its item; one that returns has. A receive that raises has taken
    nothing. ``close()`` refuses further sends and wakes every waiter;
    receivers drain what is queued before they see ``ChannelClosed``. Used as
    a context manager, the channel is closed on exit.
    """

    __slots__ = ("_maxsize", "_lock", "_senders", "_receivers")
    _maxsize: int
    _lock: threading.RLock
    # Coroutines waiting in a send (channel full) and in a receive (channel
    # empty), oldest first. Changed only under _lock, and the native counts
    # with them. Threads wait inside the native channel.
    _senders: deque[AsyncWaiter]
    _receivers: deque[AsyncWaiter]

    # What the native methods raise and how they check a time-out.
    _closed_error = ChannelClosed
    _full_error = queue.Full
    _empty_error = queue.Empty
    _check_timeout = staticmethod(check_timeout)

    def __new__(cls, maxsize: int = 0) -> Channel[_T]:
        try:
            maxsize = operator.index(maxsize)
        except TypeError:
            raise TypeError(f"Channel() argument 'maxsize' must be an int, not {type(maxsize).__name__}") from None
        # 0 or less is unbounded, as for queue.Queue; a bound no 64-bit
        # count can reach is the same as the largest one.
        self = super().__new__(cls, min(max(maxsize, 0), _LARGEST_BOUND))
        self._maxsize = maxsize
        # Guards the two waiter lists. Reentrant: a collection run under it
        # may destroy a waiting task, whose withdrawal takes it again.
        self._lock = threading.RLock()
        self._senders = deque()
        self._receivers = deque()
        return self

    @property
    def maxsize(self) -> int:
        """The bound given at creation; 0 or less for an unbounded channel."""
        return self._maxsize

    if TYPE_CHECKING:
        # Native methods of ChannelBase, typed with the item type here.
        def send(self, item: _T, timeout: float | None = None) -> None: ...
        def try_send(self, item: _T) -> bool: ...
        def recv(self, timeout: float | None = None) -> _T: ...
        # The second member says Any, not None: no type checker narrows the
        # item of `ok, item = ch.try_recv()` by `ok`, and None there would
        # make every caller check an item that arrived.
        def try_recv(self) -> tuple[Literal[True], _T] | tuple[Literal[False], Any]: ...
        def try_recv_or(self, default: _D) -> _T | _D: ...

    # -- waking ------------------------------------------------------------

    def _counted(self) -> None:
        """Tell the native calls how many coroutines wait now (under _lock)."""
        self._set_coroutine_waiters(len(self._senders), len(self._receivers))

    def _wake(self, waiters: deque[AsyncWaiter]) -> None:
        """Wake the oldest waiter of one side that can still take it."""
        token = None
        try:
            while True:
                with self._lock:
                    if not waiters:
                        return
                    # Taken off with no call in between, where an interrupt
                    # could land with the token out of the list and unheld.
                    token = waiters[0]
                    token.claimed = True
                    del waiters[0]
                    self._counted()
                # Released outside the lock: waking a coroutine may write to
                # its loop's self-pipe.
                if token.release():
                    return
                # Its loop is closed: the next waiter has the wake-up, and
                # the destroyed task must not pass it on a second time.
                token.claimed = False
                token = None
        except BaseException:
            # Interrupted holding a claimed waiter that may not have been
            # told: tell it (twice does no harm, never strands it).
            if token is not None:
                token.release()
            raise

    def _wake_senders(self) -> None:
        self._wake(self._senders)

    def _wake_receivers(self) -> None:
        self._wake(self._receivers)

    def _withdraw(self, waiters: deque[AsyncWaiter], token: AsyncWaiter) -> bool:
        """Take `token` off `waiters`; False if a waker claimed it first."""
        with self._lock:
            try:
                waiters.remove(token)
            except ValueError:
                return False
            self._counted()
            return True

    def _leave(self, waiters: deque[AsyncWaiter], token: AsyncWaiter) -> None:
        """Withdraw a waiter that is not going to use a wake-up. If a waker
        claimed it anyway, the item or room that wake-up announced may be
        what another waiter of this side needs: pass it on. A token that
        never made it onto the list has nothing to pass on."""
        if not self._withdraw(waiters, token) and token.claimed:
            self._wake(waiters)

    # -- sending -----------------------------------------------------------

    async def send_async(self, item: _T, timeout: float | None = None) -> None:
        """Queue `item`, suspending the coroutine while the channel is full.
        Raises ``queue.Full`` after `timeout` seconds, ``ChannelClosed`` if
        the channel is or becomes closed. If the awaiting task is cancelled,
        the item was not queued: ``CancelledError`` (like any exception from
        here) means not sent, a normal return means sent."""
        if timeout is not None:
            check_timeout(timeout)
        if self.try_send(item):
            return
        if timeout is not None and timeout <= 0:
            raise queue.Full
        await self._wait_async(self._senders, lambda: self.try_send(item), timeout, queue.Full)

    # -- receiving ---------------------------------------------------------

    async def recv_async(self, timeout: float | None = None) -> _T:
        """Take the oldest item, suspending the coroutine while the channel
        is empty. Raises ``queue.Empty`` after `timeout` seconds,
        ``ChannelClosed`` once the channel is closed and drained. A cancelled
        call has taken nothing: the item it would have had stays queued."""
        if timeout is not None:
            check_timeout(timeout)
        item = self._take_or(_NOTHING)  # an item already queued: no waiting set up
        if item is not _NOTHING:
            return item  # type: ignore[no-any-return]
        if timeout is not None and timeout <= 0:
            raise queue.Empty
        box: list[_T] = []
        await self._wait_async(self._receivers, self._taker(box), timeout, queue.Empty)
        return box[0]

    def _taker(self, box: list[_T]) -> Callable[[], bool]:
        def attempt() -> bool:
            # _take_or, not try_recv: this retry comes after the registration
            # and must go through the channel's lock (see the protocol above),
            # and try_recv may answer "empty" from an unlocked look.
            item = self._take_or(_NOTHING)
            if item is not _NOTHING:
                box.append(cast(_T, item))
                return True
            return False
        return attempt

    # -- waiting -----------------------------------------------------------

    async def _wait_async(
        self,
        waiters: deque[AsyncWaiter],
        attempt: Callable[[], bool],
        timeout: float | None,
        timeout_error: type[Exception],
    ) -> None:
        """Suspend on a future of the running loop until `attempt()` succeeds
        (the caller has tried once already). `attempt()` raises
        ChannelClosed itself, and runs only between suspensions, so a
        cancellation never lands in the middle of it."""
        loop = asyncio.get_running_loop()
        inbox = inbox_for(loop)
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            future: asyncio.Future[bool] = loop.create_future()
            token = AsyncWaiter(inbox, future)
            try:
                # Registered inside the try: an interrupt right after the
                # append must not leave a token that nobody awaits to swallow
                # the next wake-up of this side.
                with self._lock:
                    waiters.append(token)
                    self._counted()
                if attempt():
                    self._leave(waiters, token)
                    return
                if deadline is None:
                    woken = await future
                else:
                    timer = loop.call_at(deadline, expire, future)
                    try:
                        woken = await future
                    finally:
                        timer.cancel()
            except BaseException:
                # ChannelClosed, or the task was cancelled while suspended
                # (possibly after a waker had claimed it).
                self._leave(waiters, token)
                raise
            if woken:
                if attempt():
                    return
                continue
            if self._withdraw(waiters, token):
                raise timeout_error
            # Claimed just as the time ran out: use the wake-up for one last
            # look. If that finds nothing, the item or room it announced is
            # gone already, so there is nothing to hand on.
            if attempt():
                return
            raise timeout_error

    # -- closing and inspecting ----------------------------------------------

    def close(self) -> None:
        """Refuse further sends; items already queued can still be received.
        Wakes every waiting sender (they raise ``ChannelClosed``) and
        receiver (they drain what is left, then raise ``ChannelClosed``),
        threads and coroutines alike. Closing again does nothing."""
        super().close()  # wakes the threads; no send is accepted after it
        tokens: list[AsyncWaiter] = []
        try:
            with self._lock:
                tokens = [*self._senders, *self._receivers]
                self._senders.clear()
                self._receivers.clear()
                self._counted()
        finally:
            release_all(tokens)

    def __iter__(self) -> Iterator[_T]:
        """Receive items on a thread until the channel is closed and drained."""
        while True:
            try:
                yield self.recv()
            except ChannelClosed:
                return

    def __aiter__(self) -> Channel[_T]:
        """Receive items in ``async for`` until the channel is closed and
        drained; any number of coroutines may iterate at once."""
        return self

    async def __anext__(self) -> _T:
        """Await the next item; ends the ``async for`` once the channel is
        closed and drained."""
        try:
            return await self.recv_async()
        except ChannelClosed:
            raise StopAsyncIteration from None

    def __enter__(self) -> Channel[_T]:
        """Use the channel in a ``with`` block that closes it on exit."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        """Close the channel."""
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.is_closed() else "open"
        return f"<Channel maxsize={self._maxsize} len={len(self)} {state}>"
