"""The user-facing market API: one `Client` owns one market connection on one asyncio loop.

Private protocol state is committed to user objects only by wait_update: the transport
buffers validated rows, and `Client.wait_update` applies them to quote handles and K-line
series in one synchronous step, so user code never sees a half-applied batch.
"""

from __future__ import annotations

import asyncio
import math
from collections.abc import Sequence
from typing import Any

from zqkit.data import (
    BAR_COLUMNS,
    KLINE_PERIODS,
    Quote,
    Serial,
    ZqError,
    check_symbol,
    decode,
    different,
)
from zqkit.transport import Transport

__all__ = ["Client", "QuoteHandle"]

QUOTE_PREFIX = "zq:quote:"
KLINE_PREFIX = "zq:kline:"
QUOTE_PATH = "/api/quote"
KLINE_PATH = "/api/kline"
DEFAULT_TIMEOUT = 10.0
# The market service keeps at most this much history per series; a longer series could
# never be filled and its history query would be refused.
MAX_KLINE_LENGTH = 10_000

_QUOTE_FIELDS = frozenset(Quote.__dataclass_fields__)
_BAR_COLUMNS = frozenset(BAR_COLUMNS)


class QuoteHandle:
    """The live quote of one instrument.

    `data()` returns the current `Quote` snapshot. A snapshot never changes: each
    `wait_update` that brings news for the instrument puts a new `Quote` behind the
    handle, so a snapshot kept by the caller stays as it was read.
    """

    __slots__ = ("symbol", "channel", "_snapshot", "initial_generation", "initial_sequence")

    def __init__(self, symbol: str) -> None:
        self.symbol = symbol
        self.channel = QUOTE_PREFIX + symbol
        self._snapshot = Quote(symbol)
        # Connection generation and stream sequence of the last snapshot applied; live
        # rows at or before that point are older than the snapshot and are skipped.
        self.initial_generation = 0
        self.initial_sequence = 0

    def data(self) -> Quote:
        """The current quote snapshot (an empty `Quote` until the first data arrives)."""
        return self._snapshot

    def __repr__(self) -> str:
        return f"<QuoteHandle {self.symbol}>"


class _Feed:
    """One subscribed channel and the user objects it feeds."""

    __slots__ = ("channel", "symbol", "period", "targets")

    def __init__(self, channel: str, symbol: str, period: str | None) -> None:
        self.channel = channel
        self.symbol = symbol
        self.period = period  # None for a quote channel
        self.targets: list[QuoteHandle | Serial] = []


class Client:
    """Market data from one market service: quote handles and K-line series.

    `token` is the account token, `url` the market service's base URL (https: or http:),
    `auth_url` the base URL of the token verification service, `timeout` the seconds one
    HTTP request or one connection attempt may take. Nothing touches the network until the
    client is entered with `async with`; leaving the block (or `close()`) ends the
    connection. Subscribe with `quote()` and `kline()`, then loop on `wait_update()`.
    """

    def __init__(
        self, token: str, url: str, auth_url: str, *, timeout: float = DEFAULT_TIMEOUT
    ) -> None:
        _require_text("token", token)
        _require_base_url("url", url)
        _require_base_url("auth_url", auth_url)
        if (
            isinstance(timeout, bool)
            or not isinstance(timeout, (int, float))
            or not math.isfinite(timeout)
            or timeout <= 0
        ):
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self._transport = Transport(url, timeout, self._restore, token, auth_url)
        self._feeds: dict[str, _Feed] = {}
        self._quotes: dict[str, QuoteHandle] = {}
        self._series: dict[tuple[str, str, int], Serial] = {}
        # id(target) -> (generation, sequence) of the last snapshot queried for it: the
        # stream position at the moment the answer was in.
        self._snapshot_marks: dict[int, tuple[int, int]] = {}
        # id(object) -> names of the fields the last wait_update changed.
        self._changes: dict[int, set[str]] = {}
        self._waiter: asyncio.Task | None = None  # the task inside wait_update
        # Queries of late subscriptions' snapshots still running when a deadline ended
        # the wait_update that began them; the next call takes them up again.
        self._loading: asyncio.Future | None = None
        self._state = "created"

    # ----------------------------------------------------------------- lifecycle

    async def __aenter__(self) -> Client:
        self._require_not_closed()
        if self._state != "created":
            raise RuntimeError("a Client can be entered only once")
        self._state = "open"
        self._transport.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        """End the market connection. Safe to call more than once."""
        if self._state == "closed":
            return
        self._state = "closed"
        if self._waiter is not None and self._waiter is not asyncio.current_task():
            self._waiter.cancel()  # its next_batch would never be woken again
        await self._stop_loading()
        await self._transport.close()

    # -------------------------------------------------------------- subscriptions

    def quote(self, symbol: str) -> QuoteHandle:
        """The quote handle of `symbol` (such as "SHFE.rb2610"), subscribing on first use.

        The same symbol always gives the same handle.
        """
        self._require_not_closed()
        check_symbol(symbol)
        handle = self._quotes.get(symbol)
        if handle is None:
            handle = QuoteHandle(symbol)
            self._add_target(handle.channel, symbol, None, handle)
            self._quotes[symbol] = handle
        return handle

    def kline(self, symbol: str, period: str, length: int) -> Serial:
        """The K-line series of `symbol` for `period`, the newest `length` bars.

        `period` is one of 1m 5m 10m 15m 30m 1h 4h 1d; `length` an int from 1 to
        10000. The same arguments always give the same series; read it through
        `series.frame`, a pandas DataFrame with the newest bar in the last row.
        """
        self._require_not_closed()
        check_symbol(symbol)
        if not isinstance(period, str) or period not in KLINE_PERIODS:
            names = " ".join(sorted(KLINE_PERIODS, key=_period_order))
            raise ValueError(f"K-line period must be one of {names}, not {period!r}")
        if isinstance(length, bool) or not isinstance(length, int):
            raise ValueError(f"K-line length must be an int, not {length!r}")
        if not 1 <= length <= MAX_KLINE_LENGTH:
            raise ValueError(f"K-line length must be from 1 to {MAX_KLINE_LENGTH}, not {length}")
        key = (symbol, period, length)
        series = self._series.get(key)
        if series is None:
            series = Serial(symbol, period, length)
            self._add_target(KLINE_PREFIX + period + ":" + symbol, symbol, period, series)
            self._series[key] = series
        return series

    def _add_target(
        self, channel: str, symbol: str, period: str | None, target: QuoteHandle | Serial
    ) -> None:
        feed = self._feeds.get(channel)
        if feed is None:
            feed = self._feeds[channel] = _Feed(channel, symbol, period)
        feed.targets.append(target)
        self._transport.subscribe(channel)

    # ---------------------------------------------------------------- snapshots

    async def _restore(self) -> list[tuple[str, list[dict[str, Any]]]]:
        """Recovery snapshots for a new connection: one query per subscribed channel.

        Runs inside the transport's bootstrap task, so the queries are made one after the
        other in that task (a failed query then rebuilds the connection instead of being
        retried on its own).
        """
        transport = self._transport
        snapshots = []
        for feed in list(self._feeds.values()):
            targets = list(feed.targets)
            length = max((t.length for t in targets if isinstance(t, Serial)), default=1)
            rows = await self._query(feed, length)
            mark = (transport.generation, transport.sequence)
            for target in targets:
                self._snapshot_marks[id(target)] = mark
            snapshots.append((feed.channel, rows))
        return snapshots

    async def _query(self, feed: _Feed, length: int) -> list[dict[str, Any]]:
        """The current state of one channel, validated like a live push."""
        if feed.period is None:
            item = await self._transport.get(QUOTE_PATH, {"symbol": feed.symbol})
            return [decode(item, feed.symbol, quote=True)]
        params = {"symbol": feed.symbol, "period": feed.period, "count": str(length)}
        items = await self._transport.get(KLINE_PATH, params)
        if not isinstance(items, list):
            raise ZqError("K 线历史数据格式无效")
        return [decode(item, feed.symbol) for item in items]

    async def _load_missing(self) -> list[tuple[QuoteHandle | Serial, list, int, int]]:
        """Snapshots for objects subscribed after the current connection was restored.

        Their channels missed the connection's recovery queries (or, for a second series
        of one channel, its history was shorter), so their history would otherwise only
        arrive with the next reconnect. The queries run in a task of their own that
        outlives a deadline, so that callers with short deadlines still see them finish.
        """
        transport = self._transport
        if self._loading is None:
            if not transport.ready:
                return []
            generation = transport.generation
            missing = [
                (feed, target)
                for feed in self._feeds.values()
                for target in feed.targets
                if self._snapshot_marks.get(id(target), (0, 0))[0] != generation
            ]
            if not missing:
                return []
            self._loading = asyncio.ensure_future(self._load(missing, generation))
        loading = self._loading
        try:
            loaded = await asyncio.shield(loading)
        finally:
            if loading.done():
                self._loading = None  # its answer or its error is handed out just once
        if loaded and transport.generation != loaded[0][2]:
            return []  # the new connection's recovery covers them
        return loaded

    async def _load(
        self, missing: list[tuple[_Feed, QuoteHandle | Serial]], generation: int
    ) -> list:
        transport = self._transport

        async def load(feed: _Feed, target: QuoteHandle | Serial) -> tuple:
            rows = await self._query(feed, getattr(target, "length", 1))
            return (target, rows, generation, transport.sequence)

        tasks = [asyncio.ensure_future(load(feed, target)) for feed, target in missing]
        try:
            return await asyncio.gather(*tasks)
        finally:
            for task in tasks:  # after a failure, the other queries are no longer wanted
                task.cancel()

    async def _stop_loading(self) -> None:
        loading, self._loading = self._loading, None
        if loading is not None:
            loading.cancel()
            await asyncio.gather(loading, return_exceptions=True)

    # ------------------------------------------------------------------ updates

    async def wait_update(self, deadline: float | None = None) -> bool:
        """Wait for market data and apply it to the quote handles and K-line series.

        Returns True once data has been applied; `is_changing` then tells what changed.
        `deadline` is an absolute time on the event loop's clock
        (`asyncio.get_running_loop().time() + seconds`, as for `asyncio.timeout_at`);
        reaching it returns False. None waits without limit. Raises the `ZqError` that
        ended the market connection for good. Cancelling the call loses no data: what was
        not applied stays pending for the next call. Only one task may wait at a time;
        `close()` from another task ends the wait with RuntimeError.
        """
        self._require_open()
        _require_deadline(deadline)
        if self._waiter is not None:
            raise RuntimeError("wait_update is already waiting in another task")
        transport = self._transport
        self._changes = {}
        transport.raise_error()
        self._waiter = asyncio.current_task()
        scope = asyncio.timeout_at(deadline)
        try:
            async with scope:
                loaded = await self._load_missing()
                batch = [] if loaded else await transport.next_batch()
        except TimeoutError:
            if scope.expired():
                return False  # snapshot queries under way go on for the next call
            raise
        except asyncio.CancelledError:
            if self._state == "closed" and self._waiter.uncancel() == 0:
                raise RuntimeError("the Client was closed while wait_update was waiting") from None
            if self._loading is not None:  # a cancelled caller wants nothing to go on
                self._loading.cancel()
                self._loading = None
            raise
        finally:
            self._waiter = None
        # From here on no await: the whole batch becomes visible at once.
        changes: dict[int, set[str]] = {}
        errors = [self._apply_loaded(loaded, changes), self._apply_batch(batch, changes)]
        self._changes = changes
        for error in errors:
            if error is not None:
                raise error
        return True

    def _apply_loaded(self, loaded: list, changes: dict[int, set[str]]) -> RuntimeError | None:
        broken = None
        for target, rows, generation, sequence in loaded:
            self._snapshot_marks[id(target)] = (generation, sequence)
            broken = self._apply(target, rows, generation, sequence, changes) or broken
        return broken

    def _apply_batch(self, batch: list, changes: dict[int, set[str]]) -> RuntimeError | None:
        """Apply pending entries (generation, channel, rows, sequence) in order.

        A snapshot entry (sequence 0) applies to the objects its query was made for and
        moves their mark; a live entry applies unless it is older than that mark.
        """
        broken = None
        for generation, channel, rows, sequence in batch:
            feed = self._feeds.get(channel)
            if feed is None:
                continue
            for target in feed.targets:
                if sequence == 0:
                    mark = self._snapshot_marks.get(id(target))
                    if mark is None or mark[0] != generation:
                        continue  # subscribed after this snapshot was queried
                    if target.initial_generation == generation:
                        continue  # loaded on its own meanwhile, and more recently
                    generation_seen, sequence_seen = mark
                elif generation < target.initial_generation or (
                    generation == target.initial_generation and sequence <= target.initial_sequence
                ):
                    continue  # older than the snapshot already applied
                else:
                    generation_seen = sequence_seen = None
                error = self._apply(target, rows, generation_seen, sequence_seen, changes)
                broken = broken or error
        return broken

    @staticmethod
    def _apply(
        target: QuoteHandle | Serial,
        rows: list[dict[str, Any]],
        generation: int | None,
        sequence: int | None,
        changes: dict[int, set[str]],
    ) -> RuntimeError | None:
        """Apply rows to one object; a snapshot (generation given) also moves its mark."""
        if isinstance(target, QuoteHandle):
            changed = _replace_quote(target, rows)
        else:
            try:
                changed = target.update(rows)
            except RuntimeError as error:  # the user altered the frame; others go on
                return error
        if generation is not None:
            target.initial_generation = generation
            target.initial_sequence = sequence
        if changed:
            changes.setdefault(id(target), set()).update(changed)
        return None

    def is_changing(self, obj: QuoteHandle | Serial, field: str | None = None) -> bool:
        """Whether the last `wait_update` changed `obj` (a quote handle or a K-line series),
        or, with `field`, that field of the quote or that column of the series."""
        names = _field_names(obj)
        changed = self._changes.get(id(obj), ())
        if field is None:
            return bool(changed)
        if field not in names:
            raise ValueError(f"{type(obj).__name__} has no field {field!r}")
        return field in changed

    # ------------------------------------------------------------------ helpers

    def _require_not_closed(self) -> None:
        if self._state == "closed":
            raise RuntimeError("this Client is closed")

    def _require_open(self) -> None:
        self._require_not_closed()
        if self._state != "open":
            raise RuntimeError("enter the Client first: async with Client(...) as api")


def _field_names(obj: object) -> frozenset[str]:
    """The names `is_changing` accepts for `obj`."""
    if isinstance(obj, QuoteHandle):
        return _QUOTE_FIELDS
    if isinstance(obj, Serial):
        return _BAR_COLUMNS
    raise TypeError(
        f"is_changing() takes a quote handle or a K-line series, not {type(obj).__name__}"
    )


def _replace_quote(handle: QuoteHandle, rows: Sequence[dict[str, Any]]) -> set[str]:
    old = handle._snapshot
    new = Quote(handle.symbol, **rows[-1])
    handle._snapshot = new
    return {name for name in _QUOTE_FIELDS if different(getattr(old, name), getattr(new, name))}


def _period_order(period: str) -> int:
    return {"m": 1, "h": 60, "d": 1440}[period[-1]] * int(period[:-1])


def _require_text(name: str, value: object) -> None:
    if not isinstance(value, str) or not value:
        raise ValueError(f"{name} must be a non-empty str")


def _require_base_url(name: str, value: object) -> None:
    if not isinstance(value, str) or not value.startswith(("https://", "http://")):
        raise ValueError(f"{name} must be an http:// or https:// base URL, not {value!r}")
    if value.endswith("/"):
        raise ValueError(f"{name} must not end with '/': paths are appended to it")


def _require_deadline(deadline: object) -> None:
    if deadline is None:
        return
    if isinstance(deadline, bool) or not isinstance(deadline, (int, float)) or math.isnan(deadline):
        raise ValueError(f"deadline must be None or an event-loop time, not {deadline!r}")
