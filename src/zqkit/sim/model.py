"""Price model: one random walk per instrument, with its order book, day statistics and bars.

Every item handed out is already in the wire layout the stream pushes (short keys), so
the query endpoints and the stream serve the very same values.
"""

from __future__ import annotations

import math
import random
from collections import deque
from collections.abc import Iterable

from .instruments import KLINE_PERIODS, Instrument
from .timeline import bar_start, trading_day

__all__ = ["BOOK_DEPTH", "PriceModel"]

BOOK_DEPTH = 5
# Price moves per tick, in ticks; small moves are more common than large ones.
_STEPS = (-2, -1, -1, 0, 0, 0, 1, 1, 2)
_OPEN_INTEREST = (50_000, 300_000)


class _Book:
    """Mutable state of one instrument; only `PriceModel` touches it."""

    def __init__(self, instrument: Instrument, open_interest: int, history_limit: int) -> None:
        self.instrument = instrument
        self.last = instrument.price
        self.pre_settlement = instrument.price
        self.pre_close = instrument.price
        self.upper = self.lower = math.nan
        self.open_interest = open_interest
        self.trading_day = ""
        self.timestamp = 0
        self.open = self.high = self.low = math.nan
        self.volume = 0
        self.turnover = 0.0
        self.bids: list[list[float | int]] = []
        self.asks: list[list[float | int]] = []
        self.bars: dict[str, deque[dict]] = {
            period: deque(maxlen=history_limit) for period in KLINE_PERIODS
        }


class PriceModel:
    """Random walks of the given instruments; keeps `history_limit` bars per period."""

    def __init__(
        self, instruments: Iterable[Instrument], *, rng: random.Random, history_limit: int
    ) -> None:
        self._rng = rng
        self._books: dict[str, _Book] = {}
        for instrument in instruments:
            if not isinstance(instrument, Instrument):
                raise TypeError(f"expected an Instrument, got {type(instrument).__name__}")
            if instrument.symbol in self._books:
                raise ValueError(f"instrument listed twice: {instrument.symbol}")
            low, high = _OPEN_INTEREST
            self._books[instrument.symbol] = _Book(
                instrument, rng.randint(low, high), history_limit
            )
        if not self._books:
            raise ValueError("the simulation needs at least one instrument")

    @property
    def symbols(self) -> list[str]:
        return list(self._books)

    def last_price(self, symbol: str) -> float:
        return self._books[symbol].last

    def instrument(self, symbol: str) -> Instrument:
        return self._books[symbol].instrument

    def __contains__(self, symbol: object) -> bool:
        return symbol in self._books

    def warm_up(self, start_ms: int, end_ms: int, step_ms: int = 60_000) -> None:
        """Tick every instrument from `start_ms` to `end_ms` (inclusive) to build history."""
        if step_ms <= 0:
            raise ValueError("step_ms must be positive")
        moment = min(start_ms, end_ms)
        while moment < end_ms:
            self.advance_all(moment)
            moment += step_ms
        self.advance_all(end_ms)

    def advance_all(self, ms: int) -> None:
        for symbol in self._books:
            self.advance(symbol, ms)

    def advance(self, symbol: str, ms: int) -> None:
        """One trade of a random size at a price one random step away from the last."""
        book = self._books[symbol]
        instrument = book.instrument
        ms = max(ms, book.timestamp)  # time never runs backwards for one instrument
        day = trading_day(ms)
        if day != book.trading_day:
            self._open_day(book, day)
        step = self._rng.choice(_STEPS) * instrument.price_tick
        floor = book.lower + BOOK_DEPTH * instrument.price_tick
        ceiling = book.upper - BOOK_DEPTH * instrument.price_tick
        price = instrument.round_price(min(max(book.last + step, floor), ceiling))
        volume = self._rng.randint(1, 40)
        turnover = price * volume * instrument.multiplier

        book.last = price
        book.timestamp = ms
        if math.isnan(book.open):
            book.open = book.high = book.low = price
        book.high = max(book.high, price)
        book.low = min(book.low, price)
        book.volume += volume
        book.turnover = round(book.turnover + turnover, 2)
        book.open_interest = max(0, book.open_interest + self._rng.randint(-volume, volume))
        self._fill_levels(book)
        for period in KLINE_PERIODS:
            self._aggregate(book, period, price, volume, turnover)

    def quote(self, symbol: str) -> dict:
        """The latest quote of `symbol` as a wire item."""
        book = self._books[symbol]
        return {
            "s": symbol,
            "t": book.timestamp,
            "d": book.trading_day,
            "o": book.open,
            "h": book.high,
            "l": book.low,
            "c": book.last,
            "v": book.volume,
            "m": book.turnover,
            "oi": book.open_interest,
            "ps": book.pre_settlement,
            "pc": book.pre_close,
            "up": book.upper,
            "dn": book.lower,
            "b": [list(level) for level in book.bids],
            "a": [list(level) for level in book.asks],
        }

    def bar(self, symbol: str, period: str) -> dict:
        """The bar of `period` that holds the latest tick, as a wire item."""
        return dict(self._books[symbol].bars[period][-1])

    def history(self, symbol: str, period: str, count: int) -> list[dict]:
        """The `count` most recent bars of `period`, oldest first (fewer if fewer exist)."""
        bars = self._books[symbol].bars[period]
        start = max(0, len(bars) - count)
        return [dict(bars[index]) for index in range(start, len(bars))]

    def _open_day(self, book: _Book, day: str) -> None:
        instrument = book.instrument
        if book.trading_day:
            # Settle the finished day at its last price.
            book.pre_close = book.last
            book.pre_settlement = book.last
        book.trading_day = day
        band = book.pre_settlement * instrument.limit_ratio
        book.upper = instrument.round_price(book.pre_settlement + band)
        book.lower = instrument.round_price(book.pre_settlement - band)
        book.open = book.high = book.low = math.nan
        book.volume = 0
        book.turnover = 0.0

    def _fill_levels(self, book: _Book) -> None:
        instrument = book.instrument
        tick = instrument.price_tick
        best_bid = book.last - tick if self._rng.random() < 0.5 else book.last
        book.bids = [
            [instrument.round_price(best_bid - level * tick), self._rng.randint(1, 300)]
            for level in range(BOOK_DEPTH)
        ]
        book.asks = [
            [instrument.round_price(best_bid + (level + 1) * tick), self._rng.randint(1, 300)]
            for level in range(BOOK_DEPTH)
        ]

    def _aggregate(
        self, book: _Book, period: str, price: float, volume: int, turnover: float
    ) -> None:
        bars = book.bars[period]
        start = bar_start(period, book.timestamp)
        if bars and bars[-1]["t"] == start:
            bar = bars[-1]
            bar["h"] = max(bar["h"], price)
            bar["l"] = min(bar["l"], price)
            bar["c"] = price
            bar["v"] += volume
            bar["m"] = round(bar["m"] + turnover, 2)
            bar["oi"] = book.open_interest
            return
        bars.append(
            {
                "s": book.instrument.symbol,
                "t": start,
                "d": book.trading_day,
                "o": price,
                "h": price,
                "l": price,
                "c": price,
                "v": volume,
                "m": round(turnover, 2),
                "oi": book.open_interest,
            }
        )
