"""Trading days and bar boundaries, read in the exchanges' zone UTC+8.

The simulated market trades around the clock. Ticks from 18:00 on belong to the next
trading day, as night sessions do, and a weekend's ticks belong to the Monday after it.
Intraday bars start on multiples of their length counted from midnight UTC+8; a daily
bar starts at midnight UTC+8 of its trading day.
"""

from __future__ import annotations

import datetime

from .instruments import KLINE_PERIODS

__all__ = ["bar_start", "trading_day"]

_DAY_MS = 86_400_000
_ZONE_MS = 8 * 3_600_000
_NIGHT_FROM_MS = 18 * 3_600_000
_EPOCH = datetime.date(1970, 1, 1)


def _trading_day_number(ms: int) -> int:
    """Days since 1970-01-01 of the trading day that the instant `ms` belongs to."""
    local = ms + _ZONE_MS
    day, into_day = divmod(local, _DAY_MS)
    if into_day >= _NIGHT_FROM_MS:
        day += 1
    weekday = (day + 3) % 7  # 1970-01-01 was a Thursday; Monday is 0
    if weekday >= 5:
        day += 7 - weekday
    return day


def trading_day(ms: int) -> str:
    """Trading day of the instant `ms` (Unix milliseconds) as "YYYYMMDD"."""
    date = _EPOCH + datetime.timedelta(days=_trading_day_number(ms))
    return date.strftime("%Y%m%d")


def bar_start(period: str, ms: int) -> int:
    """Start (Unix milliseconds) of the bar of `period` that holds the instant `ms`."""
    if period == "1d":
        return _trading_day_number(ms) * _DAY_MS - _ZONE_MS
    length = KLINE_PERIODS[period] * 1000
    return (ms + _ZONE_MS) // length * length - _ZONE_MS
