"""A scriptable stand-in for Transport, market rows, and a bounded runner for async tests."""

from __future__ import annotations

import asyncio
import functools

import zqkit.api.client
from zqkit.data import decode

SYMBOL = "SHFE.rb2610"
QUOTE = "zq:quote:" + SYMBOL
KLINE = "zq:kline:1m:" + SYMBOL


def run(scenario):
    """Run an async test body on a fresh loop with a hard time limit."""

    @functools.wraps(scenario)
    def wrapper(*args, **kwargs):
        async def bounded():
            async with asyncio.timeout(20):
                return await scenario(*args, **kwargs)

        return asyncio.run(bounded())

    return wrapper


def wire_quote(t: int, last: float, symbol: str = SYMBOL) -> dict:
    item = {"s": symbol, "t": t, "d": "20261209", "o": 100, "h": 110, "l": 90, "c": last}
    item |= {"v": 5, "m": 1000, "oi": 7, "ps": 100, "pc": 99, "up": 120, "dn": 80}
    return item | {"b": [[last - 1, 3]], "a": [[last + 1, 4]]}


def wire_bar(t: int, close: float, symbol: str = SYMBOL) -> dict:
    item = {"s": symbol, "t": t, "d": "20261209", "o": close, "h": close, "l": close, "c": close}
    return item | {"v": 1, "m": 10, "oi": 3}


def quote_row(t: int, last: float) -> dict:
    return decode(wire_quote(t, last), SYMBOL, quote=True)


def bar_row(t: int, close: float) -> dict:
    return decode(wire_bar(t, close), SYMBOL)


class FakeTransport:
    """What Client uses of Transport, with batches and query answers fed by the test.

    `push(entries)` makes the entries the next batch; `answers` maps a query path to a
    list of answers (or exceptions) consumed in order; `fail(error)` plays a stream that
    failed for good.
    """

    made: list[FakeTransport] = []

    def __init__(self, url, timeout, restore, token, auth_url) -> None:
        self.args = (url, timeout, token, auth_url)
        self.restore = restore
        self.channels: set[str] = set()
        self.started = 0
        self.closed = 0
        self.ready = False
        self.generation = 0
        self.sequence = 0
        self.fatal_error = None
        self.batches: list[list] = []
        self.changed = asyncio.Event()
        self.answers: dict[str, list] = {}
        self.queries: list[tuple[str, dict]] = []
        self.query_gate: asyncio.Event | None = None
        FakeTransport.made.append(self)

    def subscribe(self, channel: str) -> None:
        self.channels.add(channel)

    def start(self) -> None:
        self.started += 1

    def raise_error(self) -> None:
        if self.fatal_error is not None:
            raise self.fatal_error

    async def next_batch(self) -> list:
        while True:
            self.raise_error()
            if self.batches:
                return self.batches.pop(0)
            self.changed.clear()
            await self.changed.wait()

    async def get(self, path: str, params=None):
        self.raise_error()
        self.queries.append((path, dict(params or {})))
        if self.query_gate is not None:
            await self.query_gate.wait()
        answer = self.answers[path].pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    async def close(self) -> None:
        self.closed += 1

    # --- test controls

    async def connect(self) -> list:
        """A new connection: run restore and queue its snapshots as the transport does."""
        self.generation += 1
        self.ready = False
        snapshots = await self.restore()
        self.batches.append([(self.generation, channel, rows, 0) for channel, rows in snapshots])
        self.ready = True
        self.changed.set()
        return snapshots

    def live(self, channel: str, row: dict) -> tuple:
        self.sequence += 1
        return (self.generation, channel, [row], self.sequence)

    def push(self, entries: list) -> None:
        self.batches.append(entries)
        self.changed.set()

    def fail(self, error: Exception) -> None:
        self.fatal_error = error
        self.changed.set()


def fake_client(monkeypatch, **options) -> tuple[zqkit.api.Client, FakeTransport]:
    monkeypatch.setattr(zqkit.api.client, "Transport", FakeTransport)
    client = zqkit.api.Client("token", "https://md.example", "https://auth.example", **options)
    return client, FakeTransport.made[-1]
