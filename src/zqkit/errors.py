"""Retry budget shared by the market transport and the trading session."""

from __future__ import annotations

import math
import time

from zqkit.data import ZqError

__all__ = ["Recovery"]

# One-argument form, used by the long-lived connections: give up after 20 failed
# attempts or ten minutes without a successful recovery, whichever comes first.
DEFAULT_ATTEMPTS = 20
DEFAULT_SECONDS = 600.0


class Recovery:
    """Retry budget of one guarded operation: at most `attempts` failures within `seconds`.

    A period opens with `begin()` (or with the first `fail()` after `success()`) and
    closes with `success()`. While a period is open, `check()` and `fail()` raise
    `ZqError` once `failures` reaches `attempts` or once `seconds` have passed since
    `started`. Calling `begin()` while a period is already open keeps that period, so
    an operation nested inside a recovery (a snapshot query while reconnecting) cannot
    reset the budget of the recovery it belongs to.
    """

    def __init__(
        self, label: str, attempts: int = DEFAULT_ATTEMPTS, seconds: float = DEFAULT_SECONDS
    ) -> None:
        if not isinstance(label, str) or not label:
            raise ValueError("label must be a non-empty str")
        if isinstance(attempts, bool) or not isinstance(attempts, int) or attempts < 1:
            raise ValueError("attempts must be an int of at least 1")
        if (
            isinstance(seconds, bool)
            or not isinstance(seconds, (int, float))
            or not math.isfinite(seconds)
            or seconds <= 0
        ):
            raise ValueError("seconds must be a finite number above 0")
        self.label = label
        self.attempts = attempts
        self.seconds = float(seconds)
        self.started = time.monotonic()
        self.failures = 0
        self.active = False

    def begin(self) -> None:
        """Open a recovery period, unless one is already open."""
        if not self.active:
            self.started = time.monotonic()
            self.failures = 0
            self.active = True

    def check(self) -> None:
        """Return while another attempt is allowed; raise `ZqError` once the budget is spent."""
        if not self.active:
            return
        if self.failures >= self.attempts:
            raise ZqError(f"{self.label}连续失败 {self.failures} 次，已停止重试。")
        if time.monotonic() - self.started >= self.seconds:
            raise ZqError(f"{self.label}在 {self.seconds:g} 秒内未能恢复，已停止重试。")

    def fail(self) -> None:
        """Record one retryable failure; raise `ZqError` when no further attempt is allowed."""
        self.begin()
        self.failures += 1
        self.check()

    def success(self) -> None:
        """Close the period: the guarded operation succeeded."""
        self.active = False
        self.failures = 0

    def __repr__(self) -> str:
        return (
            f"Recovery({self.label!r}, {self.attempts}, {self.seconds:g}, "
            f"failures={self.failures}, active={self.active})"
        )
