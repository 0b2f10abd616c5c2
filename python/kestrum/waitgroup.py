"""WaitGroup: wait for a counted set of jobs to finish, from threads or from
asyncio, on top of the native ``RawAsyncWaitGroup``.

The native object keeps the counter and a list of waiters; the native call
that brings the counter to zero takes the whole list out and wakes each
entry in the same call (so that no interrupt can land between the two and
drop the list). An entry is ``(None, waiter)``, and ``release()`` wakes the
waiter:

- a thread's waiter is a native token; the thread is parked in native code
  with the interpreter detached (``_kestrum_native.wait_group_wait``);
- a coroutine's waiter is an ``AsyncWaiter``, which resolves the coroutine's
  future on its own loop (through the loop's inbox, so that many wake-ups of
  one loop cost one self-pipe write), skipping it there if it is already
  done (cancelled, typically).

A waiter that stops waiting (time-out, cancellation) unregisters its entry, so
long-lived groups don't collect dead waiters.
"""

from __future__ import annotations

import asyncio
import operator
from typing import SupportsIndex

from kestrum._aio import AsyncWaiter, inbox_for
from kestrum._kestrum_core import RawAsyncWaitGroup
from kestrum._kestrum_native import wait_group_count, wait_group_done, wait_group_put, wait_group_take, wait_group_wait
from kestrum._timeouts import check_timeout

__all__ = ["WaitGroup"]


class WaitGroup:
    """Counts outstanding jobs; ``wait()``/``wait_async()`` return once the
    count is back to zero.

    As with any wait group, every ``add()`` that raises the count for a batch
    of jobs must happen before a ``wait()`` meant to cover those jobs starts:
    a wait that begins while the counter is zero returns at once.
    """

    __slots__ = ("_raw",)

    def __init__(self) -> None:
        self._raw = RawAsyncWaitGroup()

    def add(self, delta: SupportsIndex = 1) -> None:
        """Add `delta` (which may be negative) to the counter, which holds 0
        to 2**64 - 1. A counter that would leave that range raises
        ``RuntimeError`` and stays as it was."""
        # Converted once: the sign chosen below must be the sign of the value
        # the counter gets, whatever the object's comparisons say.
        delta = operator.index(delta)
        if delta >= 0:
            if delta < 2**63:
                self._raw.add(delta)
            else:  # beyond the raw add()'s signed delta, within the counter's range
                wait_group_put(self._raw, delta)
            return
        # One step that also wakes the waiters when it reaches zero (the raw
        # add() never does): no other caller sees a count in between.
        wait_group_take(self._raw, -delta)

    def done(self) -> None:
        """Mark one job finished; the call that reaches zero wakes every
        waiter."""
        wait_group_done(self._raw)

    def wait(self, timeout: float | None = None) -> bool:
        """Block until the counter is zero. Returns False if `timeout`
        seconds passed first, True otherwise."""
        # Registering, sleeping and taking the entry back on a time-out or
        # an interrupt all happen in one native call.
        return wait_group_wait(self._raw, check_timeout(timeout))

    async def wait_async(self, timeout: float | None = None) -> bool:
        """Wait, without blocking the event loop, until the counter is zero.
        Returns False if `timeout` seconds passed first, True otherwise.
        Cancelling the waiting task unregisters its waiter."""
        seconds = check_timeout(timeout)
        loop = asyncio.get_running_loop()
        future: asyncio.Future[bool] = loop.create_future()
        waiter = AsyncWaiter(inbox_for(loop), future)
        try:
            # Inside the try: an interrupt just after the registration must
            # not leave the entry listed for nobody.
            if self._raw.register_waiter((None, waiter)):
                return True
            if seconds is None:
                await future
            else:
                await asyncio.wait_for(future, seconds)
        except TimeoutError:
            # As in wait(): an entry already handed out means zero was reached.
            return not self._raw.unregister_waiter(waiter)
        except BaseException:
            # Cancelled (or interrupted): drop our entry. If a done() handed
            # it out already, its wake-up will find the future done and skip it.
            self._raw.unregister_waiter(waiter)
            raise
        return True

    @property
    def count(self) -> int:
        """How many jobs are outstanding now (read-only): what ``add()`` has
        counted and ``done()`` has not yet taken back."""
        return wait_group_count(self._raw)

    def __repr__(self) -> str:
        return f"<WaitGroup count={self.count}>"
