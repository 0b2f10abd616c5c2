"""Checking the ``timeout`` argument of the blocking calls, once, before a
call registers anything it would then have to take back."""

from __future__ import annotations

import numbers
import threading

__all__ = ["check_timeout"]


def check_timeout(timeout: float | None) -> float | None:
    """Return `timeout` as a float (None: wait without limit), or raise as the
    standard library's blocking calls do: ``TypeError`` for a non-number,
    ``ValueError`` for a negative number or NaN, ``OverflowError`` above
    ``threading.TIMEOUT_MAX``."""
    if timeout is None:
        return None
    if not isinstance(timeout, numbers.Real):
        raise TypeError(f"'timeout' must be a number or None, not {type(timeout).__name__}")
    seconds = float(timeout)
    if seconds != seconds:
        raise ValueError("'timeout' must be a non-negative number, not NaN")
    if seconds < 0:
        raise ValueError("'timeout' must be a non-negative number")
    if seconds > threading.TIMEOUT_MAX:
        raise OverflowError("timeout value is too large")
    return seconds
