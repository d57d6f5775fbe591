"""Instruments the simulated service trades, and the channel names that reach them."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

__all__ = [
    "DEFAULT_INSTRUMENTS",
    "KLINE_PERIODS",
    "Instrument",
    "kline_channel",
    "parse_channel",
    "quote_channel",
]

# Period name -> bar length in seconds; the same eight names the client accepts.
KLINE_PERIODS: dict[str, int] = {
    "1m": 60,
    "5m": 300,
    "10m": 600,
    "15m": 900,
    "30m": 1800,
    "1h": 3600,
    "4h": 14400,
    "1d": 86400,
}

QUOTE_PREFIX = "zq:quote:"
KLINE_PREFIX = "zq:kline:"
_SYMBOL = re.compile(r"[A-Za-z0-9]+\.[A-Za-z0-9-]+")


@dataclass(frozen=True)
class Instrument:
    """One tradable contract of the simulation.

    `price` is the settlement price of the day before the simulation starts; the random
    walk starts there and stays inside the daily limits `price * (1 ± limit_ratio)`.
    """

    symbol: str
    price_tick: float
    multiplier: int
    price: float
    limit_ratio: float = 0.07

    def __post_init__(self) -> None:
        if not isinstance(self.symbol, str) or not _SYMBOL.fullmatch(self.symbol):
            raise ValueError(f"instrument symbol must look like SHFE.rb2610: {self.symbol!r}")
        if not _positive(self.price_tick):
            raise ValueError(f"{self.symbol}: price_tick must be a positive number")
        if isinstance(self.multiplier, bool) or not isinstance(self.multiplier, int):
            raise ValueError(f"{self.symbol}: multiplier must be an int")
        if self.multiplier < 1:
            raise ValueError(f"{self.symbol}: multiplier must be at least 1")
        if not _positive(self.limit_ratio) or self.limit_ratio >= 1:
            raise ValueError(f"{self.symbol}: limit_ratio must lie between 0 and 1")
        if not _positive(self.price):
            raise ValueError(f"{self.symbol}: price must be a positive number")
        # The walk keeps five book levels inside the limits, so the band must hold them.
        if self.price * self.limit_ratio < 12 * self.price_tick:
            raise ValueError(f"{self.symbol}: daily limit band too narrow for the price tick")

    @property
    def decimals(self) -> int:
        """Decimal places of the price tick, used to print prices without float noise."""
        text = f"{self.price_tick:.10f}".rstrip("0")
        return len(text.split(".")[1]) if "." in text else 0

    def round_price(self, price: float) -> float:
        """Nearest multiple of the price tick."""
        return round(round(price / self.price_tick) * self.price_tick, self.decimals)


def _positive(value: object) -> bool:
    return (
        isinstance(value, int | float)
        and not isinstance(value, bool)
        and math.isfinite(value)
        and value > 0
    )


DEFAULT_INSTRUMENTS: tuple[Instrument, ...] = (
    Instrument("SHFE.rb2610", 1.0, 10, 3500.0, 0.07),
    Instrument("SHFE.cu2611", 10.0, 5, 75000.0, 0.06),
    Instrument("DCE.m2609", 1.0, 10, 3000.0, 0.06),
    Instrument("CZCE.SR609", 1.0, 10, 6000.0, 0.06),
    Instrument("CFFEX.IF2612", 0.2, 300, 3900.0, 0.10),
)


def quote_channel(symbol: str) -> str:
    return QUOTE_PREFIX + symbol


def kline_channel(period: str, symbol: str) -> str:
    return f"{KLINE_PREFIX}{period}:{symbol}"


def parse_channel(channel: object) -> tuple[str | None, str] | None:
    """Split a channel name into (period, symbol); period is None for a quote channel.

    Returns None for anything that is not a well-formed channel name. Whether the symbol
    is traded here is the caller's question.
    """
    if not isinstance(channel, str):
        return None
    if channel.startswith(QUOTE_PREFIX):
        period, symbol = None, channel[len(QUOTE_PREFIX) :]
    elif channel.startswith(KLINE_PREFIX):
        period, _, symbol = channel[len(KLINE_PREFIX) :].partition(":")
        if period not in KLINE_PERIODS:
            return None
    else:
        return None
    if not _SYMBOL.fullmatch(symbol):
        return None
    return period, symbol
