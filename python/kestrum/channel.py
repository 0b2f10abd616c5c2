"""Channel: a blocking multi-producer multi-consumer FIFO on top of the
native ``FastChannel``.

The native channel never waits; this class adds blocking ``send``/``recv``
with time-outs, a closed state that ends iteration, and wakes waiters. The
hot path is the native call plus one unlocked read of the other side's waiter
list: nobody takes a lock unless someone has to wait.
"""

from __future__ import annotations

import queue
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from typing import Generic, Literal, TypeVar, cast

from kestrum._kestrum_core import FastChannel

__all__ = ["Channel", "ChannelClosed"]

_T = TypeVar("_T")


class ChannelClosed(Exception):
    """Raised by ``send`` on a closed channel, and by ``recv`` on a closed
    channel with nothing left to receive."""


def _deadline(timeout: float | None) -> float | None:
    if timeout is None:
        return None
    if timeout < 0:
        raise ValueError("'timeout' must be a non-negative number")
    return time.monotonic() + timeout


class Channel(Generic[_T]):
    """A thread-safe FIFO channel; ``maxsize`` 0 means unbounded.

    Waiting protocol: a thread that must wait creates a one-shot token (a
    held ``threading.Lock``), appends it to its side's waiter deque under
    ``_lock``, then retries the native operation once before blocking on the
    token. The other side does its native operation first and then reads the
    waiter deque without a lock, waking one waiter (FIFO) if it is non-empty.
    Both native operations go through the channel's internal mutex, so either
    the waiter's retry comes after the operation that would satisfy it (and
    succeeds), or its registration happens-before the other side's unlocked
    read (and it gets woken): a wake-up can't be lost. Wakers claim the oldest
    waiter, which may be one whose re-check has just succeeded on its own; a
    waiter that leaves holding a wake-up it did not use passes it on to the
    next waiter of its side. ``close()`` releases every token on both sides.
    """

    __slots__ = ("_core", "_maxsize", "_lock", "_senders", "_receivers", "_try_send", "_try_recv")

    def __init__(self, maxsize: int = 0) -> None:
        if maxsize < 0:
            raise ValueError("maxsize must be 0 (unbounded) or positive")
        self._core = FastChannel(maxsize)
        self._maxsize = maxsize
        self._lock = threading.Lock()
        # Tokens of threads blocked in send() (channel full) and recv()
        # (channel empty), oldest first. Changed only under _lock.
        self._senders: deque[threading.Lock] = deque()
        self._receivers: deque[threading.Lock] = deque()
        self._try_send = self._core.try_send
        self._try_recv = self._core.try_recv

    @property
    def maxsize(self) -> int:
        return self._maxsize

    # -- waking ------------------------------------------------------------

    def _wake(self, waiters: deque[threading.Lock]) -> None:
        with self._lock:
            if waiters:
                waiters.popleft().release()

    # -- sending -----------------------------------------------------------

    def try_send(self, item: _T) -> bool:
        """Queue `item` if there is room; False if the channel is full."""
        try:
            sent = self._try_send(item)
        except RuntimeError:
            raise ChannelClosed("send on a closed channel") from None
        if sent and self._receivers:
            self._wake(self._receivers)
        return sent

    def send(self, item: _T, timeout: float | None = None) -> None:
        """Queue `item`, waiting while the channel is full. Raises
        ``queue.Full`` after `timeout` seconds, ``ChannelClosed`` if the
        channel is or becomes closed."""
        # try_send() inlined: this is the hot path.
        try:
            sent = self._try_send(item)
        except RuntimeError:
            raise ChannelClosed("send on a closed channel") from None
        if sent:
            if self._receivers:
                self._wake(self._receivers)
            return
        if timeout is not None and timeout <= 0:
            _deadline(timeout)  # rejects a negative one
            raise queue.Full
        self._wait_then(self._senders, lambda: self.try_send(item), timeout, queue.Full)

    # -- receiving ---------------------------------------------------------

    def try_recv(self) -> tuple[Literal[True], _T] | tuple[Literal[False], None]:
        """Take the oldest item: ``(True, item)``, or ``(False, None)`` when
        the channel is empty. Raises ``ChannelClosed`` when it is closed and
        drained."""
        try:
            got = self._try_recv()
        except RuntimeError:
            raise ChannelClosed("channel closed and drained") from None
        if got[0] and self._senders:
            self._wake(self._senders)
        return got

    def recv(self, timeout: float | None = None) -> _T:
        """Take the oldest item, waiting while the channel is empty. Raises
        ``queue.Empty`` after `timeout` seconds, ``ChannelClosed`` once the
        channel is closed and drained."""
        # try_recv() inlined: this is the hot path.
        try:
            got = self._try_recv()
        except RuntimeError:
            raise ChannelClosed("channel closed and drained") from None
        if got[0]:
            if self._senders:
                self._wake(self._senders)
            return cast(_T, got[1])
        if timeout is not None and timeout <= 0:
            _deadline(timeout)
            raise queue.Empty
        box: list[_T] = []

        def attempt() -> bool:
            got = self.try_recv()
            if got[0]:
                box.append(got[1])
                return True
            return False

        self._wait_then(self._receivers, attempt, timeout, queue.Empty)
        return box[0]

    def _wait_then(
        self,
        waiters: deque[threading.Lock],
        attempt: Callable[[], bool],
        timeout: float | None,
        timeout_error: type[Exception],
    ) -> None:
        """Block until `attempt()` succeeds (the caller has tried once
        already). `attempt` raises ChannelClosed itself."""
        deadline = _deadline(timeout)
        while True:
            token = threading.Lock()
            token.acquire()
            with self._lock:
                waiters.append(token)
            try:
                if attempt():
                    self._leave(waiters, token)
                    return
                if deadline is None:
                    woken = token.acquire()
                else:
                    remaining = deadline - time.monotonic()
                    woken = remaining > 0 and token.acquire(timeout=remaining)
            except BaseException:
                # ChannelClosed, or an interrupt while blocked.
                self._leave(waiters, token)
                raise
            if woken:
                # The waker took the token off the list.
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

    def _withdraw(self, waiters: deque[threading.Lock], token: threading.Lock) -> bool:
        """Take `token` off `waiters`; False if a waker claimed it first (and
        released it: wakers release under _lock)."""
        with self._lock:
            try:
                waiters.remove(token)
            except ValueError:
                return False
            return True

    def _leave(self, waiters: deque[threading.Lock], token: threading.Lock) -> None:
        """Withdraw a waiter that is not going to use a wake-up. If a waker
        claimed it anyway, the item or room that wake-up announced may be
        what another blocked waiter of this side needs: pass it on."""
        with self._lock:
            try:
                waiters.remove(token)
            except ValueError:
                if waiters:
                    waiters.popleft().release()

    # -- closing and inspecting ----------------------------------------------

    def close(self) -> None:
        """Refuse further sends; items already queued can still be received.
        Wakes every blocked sender (they raise ``ChannelClosed``) and receiver
        (they drain what is left, then raise ``ChannelClosed``)."""
        self._core.close()
        with self._lock:
            for waiters in (self._senders, self._receivers):
                while waiters:
                    waiters.popleft().release()

    def is_closed(self) -> bool:
        return self._core.is_closed()

    def __len__(self) -> int:
        return self._core.qsize()

    def qsize(self) -> int:
        return self._core.qsize()

    def __iter__(self) -> Iterator[_T]:
        """Receive until the channel is closed and drained."""
        while True:
            try:
                yield self.recv()
            except ChannelClosed:
                return

    def __repr__(self) -> str:
        state = "closed" if self.is_closed() else "open"
        return f"<Channel maxsize={self._maxsize} len={len(self)} {state}>"

