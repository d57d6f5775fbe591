"""`Client`: quote handles and K-line series fed by one market connection, and the views
and orders of one CTP trading session."""

from __future__ import annotations

import asyncio
import math
from collections.abc import Sequence
from typing import Any

from zqkit.api import freshness, status
from zqkit.api.freshness import APPLY, HOLD, Mark
from zqkit.api.status import MarketStatus
from zqkit.api.trading_side import TradesWatch, trading_failure, view_field_names
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
from zqkit.errors import Recovery
from zqkit.livebook import Account, CtpAccount, LiveMap, Order, Position, Trade, TradingResult
from zqkit.trading import Trading
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
        # Connection of the last snapshot applied, and the stream position when its query
        # was sent: live rows received before that are older than the snapshot.
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


class _WatchedRecovery(Recovery):
    """The transport's connection budget, telling the client of each failed connection.

    The transport calls `fail()` once per connection or attempt that ended in a retryable
    fault, before it closes the socket, so the socket still shows why.
    """

    def __init__(self, on_fail: Any) -> None:
        super().__init__("行情连接")
        self._on_fail = on_fail

    def fail(self) -> None:
        self._on_fail()
        super().fail()


class Client:
    """Market data from one market service (quote handles and K-line series) and trading
    on one CTP account (views of its funds, positions, orders and trades; orders).

    `token` is the account token, `url` the market service's base URL (https: or http:),
    `auth_url` the base URL of the token verification service; `account` (a `CtpAccount`)
    adds a trading session on that account's CTP front. Give the three market arguments,
    `account`, or both. `timeout` is the seconds one HTTP request, one connection attempt
    or one step of the CTP login may take. Nothing touches the network until the client
    is entered with `async with`; leaving the block (or `close()`) ends both connections.
    Subscribe with `quote()` and `kline()`, then loop on `wait_update()`.
    """

    def __init__(
        self,
        token: str | None = None,
        url: str | None = None,
        auth_url: str | None = None,
        *,
        account: CtpAccount | None = None,
        timeout: float = DEFAULT_TIMEOUT,
    ) -> None:
        market = (token, url, auth_url) != (None, None, None)
        if market:
            _require_token(token)
            _require_base_url("url", url)
            _require_base_url("auth_url", auth_url)
        elif account is None:
            raise ValueError(
                "Client needs the market arguments (token, url, auth_url), "
                "account=CtpAccount(...), or both"
            )
        if account is not None and not isinstance(account, CtpAccount):
            raise TypeError(f"account must be a CtpAccount, not {type(account).__name__}")
        _require_seconds(timeout)
        self._transport: Transport | None = None
        if market:
            self._transport = Transport(url, timeout, self._restore, token, auth_url)
            self._transport.recovery = _WatchedRecovery(self._on_connection_failed)
        #: id -> object, for every trading view the session hands out (kept alive here).
        self.objects: dict[int, object] = {}
        self._trading: Trading | None = None
        if account is not None:
            self._trading = Trading(account, timeout, self.objects)
        self._trades = None if self._trading is None else TradesWatch(self._trading.trades)
        self._trading_signal: asyncio.Task | None = None  # Trading.changed.wait()
        self._feeds: dict[str, _Feed] = {}
        self._quotes: dict[str, QuoteHandle] = {}
        self._series: dict[tuple[str, str, int], Serial] = {}
        # id(target) -> what the target has taken from the stream (for every target).
        self._marks: dict[int, Mark] = {}
        # id(target) -> (generation, sequence) of the last recovery snapshot queried for it:
        # the connection and the stream position when its query was sent.
        self._snapshot_marks: dict[int, tuple[int, int]] = {}
        # Snapshot queries of objects the connection's recovery did not cover: id(target)
        # -> (task, generation, target). They run beside the stream; wait_update applies
        # them.
        self._loads: dict[int, tuple[asyncio.Task, int, QuoteHandle | Serial]] = {}
        # The connection for which every object has its snapshot queried or applied.
        self._covered = 0
        # id(target) -> generation on which its own query failed; not retried on that
        # connection unless the object is asked for again.
        self._failed_loads: dict[int, int] = {}
        # id(target) -> ZqError of its failed query: as of the last wait_update, and new.
        self._load_errors: dict[int, ZqError] = {}
        self._new_load_errors: dict[int, ZqError | None] = {}
        self._live_status = MarketStatus()  # moved by the transport's events
        self._status = self._live_status  # what the user sees, committed by wait_update
        # id(object) -> names of the fields the last wait_update changed.
        self._changes: dict[int, set[str]] = {}
        self._waiter: asyncio.Task | None = None  # the task inside wait_update
        self._batch: asyncio.Future | None = None  # next_batch, only while a wait_update runs
        self._wakeup: asyncio.Future | None = None  # resolved when wait_update has news
        self._state = "created"
        self._closed = False  # close() has done its whole job

    # ----------------------------------------------------------------- lifecycle

    async def __aenter__(self) -> Client:
        self._require_not_closed()
        if self._state != "created":
            raise RuntimeError("a Client can be entered only once")
        self._state = "open"
        if self._transport is not None:
            self._transport.start()
        if self._trading is not None:
            self._trading.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        # A cancellation arriving while the block is left must not cut the cleanup short:
        # the close runs to its end, then the cancellation goes on.
        closing = asyncio.ensure_future(self.close())
        cancelled = False
        while not closing.done():
            try:
                await asyncio.shield(closing)
            except asyncio.CancelledError:
                cancelled = True
        closing.result()
        if cancelled:
            raise asyncio.CancelledError

    async def close(self) -> None:
        """End the market connection and the trading session. Safe to call more than
        once; a call that was cancelled leaves the rest of the work to the next call."""
        if self._closed:
            return
        self._state = "closed"
        if self._waiter is not None and self._waiter is not asyncio.current_task():
            self._waiter.cancel()  # its next_batch would never be woken again
        try:
            await self._stop_tasks()
            try:
                if self._transport is not None:
                    await self._transport.close()
            finally:
                # A transport that failed to close must not keep the CTP session open.
                if self._trading is not None:
                    await self._trading.close()
        except Exception:
            self._closed = True  # reported once; closing again would fail the same way
            raise
        self._closed = True

    async def _stop_tasks(self) -> None:
        tasks = [running[0] for running in self._loads.values()]
        if self._batch is not None:
            tasks.append(self._batch)
        if self._trading_signal is not None:
            tasks.append(self._trading_signal)
            self._trading_signal = None
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        self._loads.clear()
        self._batch = None

    # -------------------------------------------------------------- subscriptions

    def quote(self, symbol: str) -> QuoteHandle:
        """The quote handle of `symbol` (such as "SHFE.rb2610"), subscribing on first use.

        The same symbol always gives the same handle. Asking again for a handle whose
        snapshot query failed (see `snapshot_error`) queries it again.
        """
        self._require_not_closed()
        self._require_market()
        check_symbol(symbol)
        handle = self._quotes.get(symbol)
        if handle is None:
            handle = QuoteHandle(symbol)
            self._add_target(handle.channel, symbol, None, handle)
            self._quotes[symbol] = handle
        else:
            self._retry_load(handle)
        return handle

    def kline(self, symbol: str, period: str, length: int) -> Serial:
        """The K-line series of `symbol` for `period`, the newest `length` bars.

        `period` is one of 1m 5m 10m 15m 30m 1h 4h 1d; `length` an int from 1 to
        10000. The same arguments always give the same series; read it through
        `series.frame`, a pandas DataFrame with the newest bar in the last row. Asking
        again for a series whose history query failed queries it again.
        """
        self._require_not_closed()
        self._require_market()
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
        else:
            self._retry_load(series)
        return series

    def _add_target(
        self, channel: str, symbol: str, period: str | None, target: QuoteHandle | Serial
    ) -> None:
        feed = self._feeds.get(channel)
        if feed is None:
            feed = self._feeds[channel] = _Feed(channel, symbol, period)
        feed.targets.append(target)
        self._marks[id(target)] = Mark()
        self._transport.subscribe(channel)
        self._covered = 0
        self._wake()  # a waiting wait_update starts its snapshot query

    def _retry_load(self, target: QuoteHandle | Serial) -> None:
        if self._failed_loads.pop(id(target), None) is not None:
            self._covered = 0
            self._wake()

    # ------------------------------------------------------- connection events

    def _on_connection_failed(self) -> None:
        transport = self._transport
        ws = transport.ws
        bootstrap = transport.bootstrap_task
        reason = status.failure_reason(
            connected=ws is not None,
            close_code=None if ws is None else ws.close_code,
            socket_error=None if ws is None else ws.exception(),
            overflow=len(transport.incoming) > transport._pending_limit(),
            restore_failed=bootstrap is not None
            and bootstrap.done()
            and not bootstrap.cancelled()
            and bootstrap.exception() is not None,
        )
        self._live_status = status.connecting(self._live_status, reason)

    def _on_restoring(self, generation: int) -> None:
        self._live_status = status.restoring(self._live_status, generation)

    def _on_restored(self, generation: int) -> None:
        transport = self._transport
        if transport.ready and transport.generation == generation:
            self._live_status = status.ready(self._live_status)

    def _wake(self, *_: object) -> None:
        if self._wakeup is not None and not self._wakeup.done():
            self._wakeup.set_result(None)

    # ---------------------------------------------------------------- snapshots

    async def _restore(self) -> list[tuple[str, list[dict[str, Any]]]]:
        """Recovery snapshots for a new connection: one query per subscribed channel.

        Runs inside the transport's bootstrap task, so the queries are made one after the
        other in that task (a failed query then rebuilds the connection instead of being
        retried on its own).
        """
        transport = self._transport
        generation = transport.generation
        self._on_restoring(generation)
        snapshots = []
        for feed in list(self._feeds.values()):
            targets = list(feed.targets)
            length = max((t.length for t in targets if isinstance(t, Serial)), default=1)
            sent_at = transport.sequence
            rows = await self._query(feed, length)
            for target in targets:
                self._snapshot_marks[id(target)] = (generation, sent_at)
            snapshots.append((feed.channel, rows))
        # The transport marks itself ready right after this returns.
        asyncio.get_running_loop().call_soon(self._on_restored, generation)
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

    def _start_missing_loads(self) -> None:
        """Query snapshots for objects the current connection's recovery did not cover
        (subscribed after it, or a second series of one channel with a longer history),
        so that they need not wait for the next reconnect."""
        transport = self._transport
        if transport is None or not transport.ready or transport.fatal_error is not None:
            return
        generation = transport.generation
        if self._covered == generation:
            return
        self._covered = generation
        for feed in self._feeds.values():
            for target in feed.targets:
                key = id(target)
                running = self._loads.get(key)
                if running is not None:
                    if running[1] == generation:
                        continue
                    running[0].cancel()  # for a connection that is gone
                if (
                    self._marks[key].generation == generation
                    or self._snapshot_marks.get(key, (0, 0))[0] == generation
                    or self._failed_loads.get(key) == generation
                ):
                    continue
                task = asyncio.ensure_future(self._load(feed, target))
                task.add_done_callback(self._wake)
                self._loads[key] = (task, generation, target)

    async def _load(self, feed: _Feed, target: QuoteHandle | Serial) -> tuple[list, int]:
        sent_at = self._transport.sequence
        rows = await self._query(feed, getattr(target, "length", 1))
        return rows, sent_at

    # ------------------------------------------------------------------ updates

    @property
    def market_status(self) -> MarketStatus:
        """The market connection as of the last `wait_update` (a `MarketStatus`).

        Replaced, never changed in place, by the `wait_update` that sees it move;
        `is_changing(api.market_status, "state")` tells when that happened.
        """
        self._require_market()
        return self._status

    def snapshot_error(self, obj: QuoteHandle | Serial) -> ZqError | None:
        """The `ZqError` of the failed snapshot query of `obj`, as of the last `wait_update`.

        Such a failure does not end the connection: `obj` keeps waiting for its snapshot
        (its live rows are kept meanwhile), which is queried again on the next reconnect
        or when `obj` is asked for again with `quote()` or `kline()`. None once a snapshot
        has been applied or while none has failed.
        """
        self._require_market()
        _field_names(obj)
        return self._load_errors.get(id(obj))

    async def wait_update(self, deadline: float | None = None) -> bool:
        """Wait for market data or trading news and apply them to the user's objects.

        Market data goes to the quote handles and K-line series; the trading session's
        state is committed to its views (`account`, `positions`, `orders`, `trades`) and
        to `trading_status` in the same step, with no await in between. Returns True once
        either has been applied; `is_changing` then tells what changed. `deadline` is an
        absolute time on the event loop's clock (`asyncio.get_running_loop().time() +
        seconds`, as for `asyncio.timeout_at`); reaching it returns False. None waits
        without limit. Either way `market_status` and `snapshot_error` are brought up to
        date. Raises only the `ZqError` that ended the market connection or the trading
        session for good (after `market_status` has become "failed" or `trading_status`
        "ERROR"; the session's error keeps what ended it as `__cause__`), or the
        RuntimeError of a series whose frame the user altered. Cancelling the call loses
        no data: what was not applied stays pending for the next call. Only one task may
        wait at a time; `close()` from another task ends the wait with RuntimeError.
        """
        self._require_open()
        limit = _deadline_time(deadline)
        if self._waiter is not None:
            raise RuntimeError("wait_update is already waiting in another task")
        failure = trading_failure(self._trading)
        if failure is not None:
            raise failure
        self._changes = {}
        self._waiter = asyncio.current_task()
        try:
            return await self._wait_and_commit(limit)
        except asyncio.CancelledError:
            if self._state == "closed" and self._waiter.uncancel() == 0:
                raise RuntimeError("the Client was closed while wait_update was waiting") from None
            raise
        finally:
            self._waiter = None
            signal, self._trading_signal = self._trading_signal, None
            if signal is not None:
                signal.cancel()
            if self._batch is not None and not self._batch.done():
                # Parked in next_batch, it has taken nothing: the data stays with the
                # transport. A finished one keeps its batch for the next call.
                self._batch.cancel()
                self._batch = None

    async def _wait_and_commit(self, limit: float | None) -> bool:
        """Wait until market data or trading state has been applied (True) or the
        deadline passes (False).

        The market connection's state and failed snapshot queries are published on
        either way out, but do not end the wait by themselves: True always means market
        data or a trading commit.
        """
        loop = asyncio.get_running_loop()
        polled = False
        while True:
            self._start_missing_loads()
            if self._batch is None and self._transport is not None:
                self._batch = asyncio.ensure_future(self._transport.next_batch())
            batch_done = self._batch is not None and self._batch.done()
            if batch_done or self._loads_done() or self._trading_changed():
                if self._batch is not None and not batch_done:
                    await asyncio.sleep(0)  # a batch ready by now joins this commit
                if self._commit(loop.time()):
                    return True
                continue
            left = None if limit is None else limit - loop.time()
            if left is not None and left <= 0:
                if not polled:  # a deadline already past still takes what is ready
                    polled = True
                    await asyncio.sleep(0)
                    continue
                self._publish({})
                return False
            self._wakeup = loop.create_future()
            try:
                await asyncio.wait(
                    self._wait_for(), timeout=left, return_when=asyncio.FIRST_COMPLETED
                )
            finally:
                self._wakeup = None

    def _wait_for(self) -> list[asyncio.Future]:
        """What ends a wait: a batch, a finished snapshot query (through the wakeup) or
        trading news."""
        waits = [self._wakeup]
        if self._batch is not None:
            waits.append(self._batch)
        if self._trading is not None:
            if self._trading_signal is None or self._trading_signal.done():
                self._trading_signal = asyncio.ensure_future(self._trading.changed.wait())
            waits.append(self._trading_signal)
        return waits

    def _loads_done(self) -> bool:
        return any(running[0].done() for running in self._loads.values())

    def _trading_changed(self) -> bool:
        return self._trading is not None and self._trading.changed.is_set()

    def _commit(self, now: float) -> bool:
        """Apply everything that has come in, with no await: it all becomes visible at once.

        Returns whether market data was applied; publishes only then (or on a fatal error).
        """
        changes: dict[int, set[str]] = {}
        batch, fatal = self._take_batch()
        loaded = [0]
        errors = [self._apply_loads(changes, loaded), self._apply_batch(batch, changes)]
        market = bool(batch or loaded[0])
        if market:
            self._live_status = status.arrived(self._live_status, now)
        committed = self._commit_trading(changes)
        if not market and not committed and fatal is None:
            return False
        if fatal is not None:
            self._live_status = status.failed(self._live_status, str(fatal))
        self._publish(changes)
        if fatal is not None:
            raise fatal
        failure = trading_failure(self._trading)
        if failure is not None:
            raise failure
        for error in errors:
            if error is not None:
                raise error
        return True

    def _commit_trading(self, changes: dict[int, set[str]]) -> bool:
        """Commit the trading session's state into its views; whether anything moved."""
        trading = self._trading
        if trading is None:
            return False
        committed = trading.commit(changes)
        if not committed and trading.changed.is_set() and not trading.dirty:
            trading.changed.clear()  # nothing to commit: do not spin on a stale signal
        self._trades.after_commit(changes)
        return committed

    def _publish(self, changes: dict[int, set[str]]) -> None:
        """Make the connection state and the snapshot query errors visible, with `changes`."""
        for key, error in self._new_load_errors.items():
            if error is None:
                self._load_errors.pop(key, None)
            else:
                self._load_errors[key] = error
        self._new_load_errors.clear()
        live = self._live_status
        moved = status.changed_fields(self._status, live)
        if moved:
            changes[id(live)] = moved
            self._status = live
        self._changes = changes

    def _take_batch(self) -> tuple[list, BaseException | None]:
        batch_task = self._batch
        if batch_task is None or not batch_task.done():
            return [], None
        self._batch = None
        error = batch_task.exception()
        if error is None:
            return batch_task.result(), None
        if isinstance(error, ZqError):
            return [], error
        raise error

    def _apply_loads(self, changes: dict[int, set[str]], loaded: list[int]) -> RuntimeError | None:
        """Apply the late snapshot queries that have finished; a failed one is recorded on
        its object instead of ending anything."""
        if not self._loads:
            return None
        generation = self._transport.generation
        broken = None
        for key, (task, loaded_on, target) in list(self._loads.items()):
            if not task.done():
                continue
            del self._loads[key]
            if task.cancelled() or loaded_on != generation:
                continue  # for a connection that is gone: its recovery covers it
            error = task.exception()
            if isinstance(error, ZqError):
                self._failed_loads[key] = loaded_on
                self._new_load_errors[key] = error
                continue
            if error is not None:
                raise error
            rows, sent_at = task.result()
            loaded[0] += 1
            broken = self._apply_snapshot(target, loaded_on, sent_at, rows, changes) or broken
        return broken

    def _apply_batch(self, batch: list, changes: dict[int, set[str]]) -> RuntimeError | None:
        """Apply pending entries (generation, channel, rows, sequence) in order.

        A snapshot entry (sequence 0) applies to the objects its query was made for; a
        live entry applies unless it is older than the object's snapshot, and is kept
        aside while that snapshot has yet to come.
        """
        broken = None
        for generation, channel, rows, sequence in batch:
            feed = self._feeds.get(channel)
            if feed is None:
                continue
            for target in feed.targets:
                if sequence == 0:
                    error = self._apply_restored(target, generation, rows, changes)
                else:
                    error = self._apply_live(target, generation, sequence, rows, changes)
                broken = broken or error
        return broken

    def _apply_restored(
        self, target: QuoteHandle | Serial, generation: int, rows: list, changes: dict
    ) -> RuntimeError | None:
        queried = self._snapshot_marks.get(id(target))
        if queried is None or queried[0] != generation:
            return None  # subscribed after this snapshot was queried
        if self._marks[id(target)].generation >= generation:
            return None  # loaded on its own meanwhile, and more recently
        return self._apply_snapshot(target, generation, queried[1], rows, changes)

    def _apply_live(
        self,
        target: QuoteHandle | Serial,
        generation: int,
        sequence: int,
        rows: list,
        changes: dict,
    ) -> RuntimeError | None:
        mark = self._marks[id(target)]
        row = rows[-1]
        verdict = freshness.fate(mark, generation, sequence, row)
        if verdict == HOLD:
            freshness.hold(mark, generation, sequence, row, isinstance(target, QuoteHandle))
        if verdict != APPLY:
            return None
        freshness.passed(mark, generation)
        return _apply_rows(target, rows, changes)

    def _apply_snapshot(
        self,
        target: QuoteHandle | Serial,
        generation: int,
        sent_at: int,
        rows: list,
        changes: dict,
    ) -> RuntimeError | None:
        """A snapshot, then the live rows kept for it that are newer."""
        fresh = freshness.take_snapshot(self._marks[id(target)], generation, sent_at, rows)
        target.initial_generation = generation
        target.initial_sequence = sent_at
        self._new_load_errors[id(target)] = None
        self._failed_loads.pop(id(target), None)
        return _apply_rows(target, rows + fresh, changes)

    def is_changing(self, obj: object, field: str | None = None) -> bool:
        """Whether the last `wait_update` changed `obj`, or, with `field`, that field of it.

        `obj` is a quote handle, a K-line series (`field`: a column), `market_status`, a
        trading view (`account`, a `Position`, an `Order`, a `Trade`), the `positions` or
        `orders` map (changed when an item was added, removed or changed; `field`: that
        field of any item) or `trades`, which is changing exactly when new trades came in
        (it takes no `field`: ask the trades themselves).
        """
        names = self._field_names(obj)
        changed = self._changes.get(id(obj), ())
        if field is None:
            return bool(changed)
        if field not in names:
            raise ValueError(f"{type(obj).__name__} has no field {field!r}")
        return field in changed

    def _field_names(self, obj: object) -> frozenset[str]:
        if self._trading is not None:
            names = view_field_names(self._trading, obj)
            if names is not None:
                return names
        return _field_names(obj)

    # ------------------------------------------------------------------ trading

    @property
    def account(self) -> Account:
        """The account's funds as of the last `wait_update` (the same object for life)."""
        return self._require_trading().account

    @property
    def positions(self) -> LiveMap[Position]:
        """Positions by symbol as of the last `wait_update` (the same map for life)."""
        return self._require_trading().positions

    @property
    def orders(self) -> LiveMap[Order]:
        """The trading day's orders by order id, as of the last `wait_update`."""
        return self._require_trading().orders

    @property
    def trades(self) -> list[Trade]:
        """The trading day's trades, oldest first, as of the last `wait_update`."""
        return self._require_trading().trades

    @property
    def trading_status(self) -> str:
        """The trading session's status as of the last `wait_update`: "SYNCING" (logging
        in or catching up after a reconnect), "DISCONNECTED" (the front dropped the
        connection; the session reconnects by itself), "READY" (views current, orders
        accepted) or "ERROR" (ended for good; `wait_update` raises the error)."""
        return self._require_trading().published_status

    def position(self, symbol: str) -> Position:
        """The position view of `symbol` (the same object for life; empty until the
        session knows of lots in it)."""
        if not isinstance(symbol, str):
            raise TypeError(f"position() takes a symbol such as 'SHFE.rb2610', not {symbol!r}")
        return self._require_trading().position_view(symbol)

    async def insert_order(
        self, symbol: str, direction: str, offset: str, volume: int, limit_price: float
    ) -> list[TradingResult]:
        """Send a limit order: `direction` "BUY" or "SELL", `offset` "OPEN" or "CLOSE"
        (a close may be split into closes of earlier days' and today's lots).

        Returns one `TradingResult` per order sent ("SUBMITTED", "REJECTED" with the
        reason, or "UNKNOWN"); the orders themselves appear in `orders` with the next
        `wait_update`.
        """
        trading = self._require_trading()
        self._require_open()
        return await trading.insert(symbol, direction, offset, volume, limit_price)

    def cancel_order(self, order_id: str) -> list[TradingResult]:
        """Ask the counter to cancel a working order; an empty list when there is nothing
        to cancel (unknown, finished or already being cancelled)."""
        trading = self._require_trading()
        self._require_open()
        return trading.cancel(order_id)

    # ------------------------------------------------------------------ helpers

    def _require_market(self) -> None:
        if self._transport is None:
            raise RuntimeError(
                "this Client has no market connection: give token, url and auth_url for market data"
            )

    def _require_trading(self) -> Trading:
        if self._trading is None:
            raise RuntimeError("this Client has no trading account: give account=CtpAccount(...)")
        return self._trading

    def _require_not_closed(self) -> None:
        if self._state == "closed":
            raise RuntimeError("this Client is closed")

    def _require_open(self) -> None:
        self._require_not_closed()
        if self._state != "open":
            raise RuntimeError("enter the Client first: async with Client(...) as api")


def _apply_rows(
    target: QuoteHandle | Serial, rows: list[dict[str, Any]], changes: dict[int, set[str]]
) -> RuntimeError | None:
    if isinstance(target, QuoteHandle):
        changed = _replace_quote(target, rows)
    else:
        try:
            changed = target.update(rows)
        except RuntimeError as error:  # the user altered the frame; others go on
            return error
    if changed:
        changes.setdefault(id(target), set()).update(changed)
    return None


def _field_names(obj: object) -> frozenset[str]:
    """The names `is_changing` accepts for `obj`."""
    if isinstance(obj, QuoteHandle):
        return _QUOTE_FIELDS
    if isinstance(obj, Serial):
        return _BAR_COLUMNS
    if isinstance(obj, MarketStatus):
        return status.FIELDS
    raise TypeError(
        "is_changing() takes a quote handle or a K-line series (or api.market_status, or a "
        f"trading view of this Client), not {type(obj).__name__}"
    )


def _replace_quote(handle: QuoteHandle, rows: Sequence[dict[str, Any]]) -> set[str]:
    old = handle._snapshot
    new = Quote(handle.symbol, **rows[-1])
    handle._snapshot = new
    return {name for name in _QUOTE_FIELDS if different(getattr(old, name), getattr(new, name))}


def _period_order(period: str) -> int:
    return {"m": 1, "h": 60, "d": 1440}[period[-1]] * int(period[:-1])


def _require_token(token: object) -> None:
    if not isinstance(token, str) or not token:
        raise ValueError("token must be a non-empty str")
    if any(ord(char) < 0x20 or ord(char) == 0x7F for char in token):
        # It travels in an HTTP header, where no retry could ever make it pass.
        raise ValueError("token must not contain control characters (line breaks, NUL ...)")


def _require_base_url(name: str, value: object) -> None:
    if not isinstance(value, str) or not value.startswith(("https://", "http://")):
        raise ValueError(f"{name} must be an http:// or https:// base URL, not {value!r}")
    if value.endswith("/"):
        raise ValueError(f"{name} must not end with '/': paths are appended to it")


def _as_float(value: object) -> float | None:
    """`value` as a float, or None when it is no real number a float can hold."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        return float(value)
    except OverflowError:
        return None


def _require_seconds(timeout: object) -> None:
    seconds = _as_float(timeout)
    if seconds is None or not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")


def _deadline_time(deadline: object) -> float | None:
    """The deadline as a loop time; None (and +inf) wait without limit."""
    if deadline is None:
        return None
    moment = _as_float(deadline)
    if moment is None or math.isnan(moment):
        raise ValueError(f"deadline must be None or an event-loop time, not {deadline!r}")
    return None if moment == math.inf else moment
