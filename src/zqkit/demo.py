"""The demo: a live market and trading dashboard against the in-process sandbox (the simulated
market service and a simulated CTP front), with a small strategy trading on it."""

from __future__ import annotations

import asyncio
import datetime
import math
import os
import sys
from dataclasses import dataclass, field
from typing import TextIO

from zqkit.api import Client, MarketStatus, QuoteHandle
from zqkit.data import Serial, ZqError
from zqkit.demo_trading import CANCEL_AFTER, Breakout, Leg, TradingPanel
from zqkit.sim import Sandbox

TOKEN = "demo-token"
PERIOD = "1m"
BARS = 30
# Market time runs this much faster than the wall clock, so that one-minute bars close
# every two seconds and the strategy has something to act on in a short run.
SPEED = 30
SEED = 7
QUIET_BEFORE_DROP = CANCEL_AFTER + 1.5
# Market times are shown in the exchanges' own zone.
MARKET_ZONE = datetime.timezone(datetime.timedelta(hours=8))

RED, GREEN, DIM, BOLD, RESET = "\x1b[31m", "\x1b[32m", "\x1b[2m", "\x1b[1m", "\x1b[0m"
HOME, CLEAR_BELOW, CLEAR_SCREEN = "\x1b[H", "\x1b[J", "\x1b[2J"
HIDE_CURSOR, SHOW_CURSOR = "\x1b[?25l", "\x1b[?25h"


@dataclass
class Row:
    """What the dashboard shows for one instrument."""

    quote: QuoteHandle
    bars: Serial
    previous: float = math.nan  # last price before the latest change, for the tick arrow
    direction: int = 0
    quote_updates: int = 0
    bar_updates: int = 0


@dataclass
class Board:
    rows: list[Row]
    seconds: float
    started: float
    updates: int = 0
    restored: int = 0  # connections whose snapshots have been applied
    notes: list[str] = field(default_factory=list)
    status: MarketStatus = field(default_factory=MarketStatus)
    trading: TradingPanel | None = None

    def watch(self, api: Client, now: float) -> None:
        """Note the connection state as the last wait_update left it."""
        status = api.market_status
        if api.is_changing(status, "state") and status.state == "connecting":
            self.notes.append(f"{now - self.started:.1f} s: connection lost: {status.reason}")
        self.status = status

    def record(self, api: Client, now: float) -> None:
        """Count what the last wait_update changed."""
        self.updates += 1
        generation = min(row.quote.initial_generation for row in self.rows)
        if generation > self.restored:
            self.restored = generation
            if generation > 1:
                self.notes.append(
                    f"{now - self.started:.1f} s: reconnected; quotes and series restored"
                )
        for row in self.rows:
            if api.is_changing(row.quote, "last_price"):
                last = row.quote.data().last_price
                if not math.isnan(row.previous) and last != row.previous:
                    row.direction = 1 if last > row.previous else -1
                row.previous = last
            if api.is_changing(row.quote):
                row.quote_updates += 1
            if api.is_changing(row.bars):
                row.bar_updates += 1


def render(board: Board, connection: int, now: float, *, colour: bool) -> list[str]:
    """The dashboard as lines of text, with ANSI colours when `colour`."""

    def paint(text: str, style: str) -> str:
        return f"{style}{text}{RESET}" if colour and style else text

    header = (
        f"{'instrument':<14}{'last':>11}  {'chg%':>7}{'bid':>11}{'ask':>11}{'volume':>10}"
        f"  {'bar':>5}{'open':>10}{'high':>10}{'low':>10}{'close':>10}"
    )
    lines = [
        paint("zqkit demo", BOLD)
        + " · market data and trading on the offline sandbox"
        + paint("  (red up, green down)", DIM),
        "",
        paint(header, BOLD),
    ]
    for row in board.rows:
        quote = row.quote.data()
        change = (quote.last_price / quote.pre_settlement - 1) * 100
        style = RED if change > 0 else GREEN if change < 0 else ""
        arrow = {1: "▲", -1: "▼"}.get(row.direction, " ")
        bid = quote.bids[0][0] if quote.bids else math.nan
        ask = quote.asks[0][0] if quote.asks else math.nan
        bar = row.bars.frame.iloc[-1]
        lines.append(
            f"{quote.symbol:<14}"
            + paint(f"{_price(quote.last_price):>10}{arrow}", style)
            + paint(f"  {_signed(change):>7}", style)
            + f"{_price(bid):>11}{_price(ask):>11}{_count(quote.volume):>10}"
            + f"  {_clock(int(bar['timestamp'])):>5}{_price(bar['open']):>10}"
            + f"{_price(bar['high']):>10}{_price(bar['low']):>10}{_price(bar['close']):>10}"
        )
    quotes = sum(row.quote_updates for row in board.rows)
    bars = sum(row.bar_updates for row in board.rows)
    elapsed = min(now - board.started, board.seconds)
    lines += [
        "",
        f"connection {connection} · {_state(board.status, now, paint)} · {board.updates} updates"
        f" · {quotes} quote changes · {bars} bar changes · {elapsed:4.1f} / {board.seconds:g} s",
        *(paint(note, DIM) for note in board.notes[-4:]),
    ]
    if board.trading is not None:
        lines += board.trading.lines(paint, BOLD)
    return lines


def _state(status: MarketStatus, now: float, paint) -> str:
    """The market connection's state, and how long ago data last came."""
    style = {"ready": GREEN, "failed": RED}.get(status.state, BOLD)
    text = paint(status.state, style)
    if status.data_at is not None:
        text += f" (data {now - status.data_at:.1f} s ago)"
    return text


def _price(value: float) -> str:
    return "-" if math.isnan(value) else f"{value:.1f}" if value < 1e6 else f"{value:.0f}"


def _signed(value: float) -> str:
    return "-" if math.isnan(value) else f"{value:+.2f}"


def _count(value: float) -> str:
    return "-" if math.isnan(value) else f"{value:.0f}"


def _clock(timestamp_ms: int) -> str:
    if timestamp_ms <= 0:
        return "-"
    moment = datetime.datetime.fromtimestamp(timestamp_ms / 1000, MARKET_ZONE)
    return moment.strftime("%H:%M")


class Screen:
    """Redraws in place on a terminal; prints plain blocks now and then otherwise."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.live = out.isatty()
        self.interval = 0.25 if self.live else 2.0
        self.next_draw = 0.0

    def __enter__(self) -> Screen:
        if self.live:
            self.out.write(HIDE_CURSOR + CLEAR_SCREEN)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.live:
            self.out.write(SHOW_CURSOR)
            self.out.flush()

    def due(self, now: float) -> bool:
        return now >= self.next_draw

    def draw(self, lines: list[str], now: float) -> None:
        self.next_draw = now + self.interval
        if self.live:
            self.out.write(HOME + "".join(line + "\x1b[K\n" for line in lines) + CLEAR_BELOW)
        else:
            self.out.write("\n".join(lines) + "\n\n")
        self.out.flush()


async def run_demo(seconds: float, out: TextIO) -> None:
    """Open the sandbox, follow its market and trade on it with a Client for `seconds`,
    showing a dashboard.

    Halfway through (for runs of 6 seconds or more) the market service and the CTP counter
    drop their connections, to show the client reconnecting, restoring its quotes and
    series, and the trading session syncing again with its views unchanged.
    """
    loop = asyncio.get_running_loop()
    async with Sandbox(token=TOKEN, rate=4, speed=SPEED, seed=SEED) as sandbox:
        async with Client(**sandbox.client_args(), timeout=5) as api:
            board = _open_board(api, sandbox, seconds, loop.time())
            strategy = Breakout(
                [
                    Leg(
                        row.quote.symbol,
                        row.bars,
                        sandbox.market.instrument(row.quote.symbol).price_tick,
                    )
                    for row in board.rows
                ],
                lambda text: board.notes.append(f"{loop.time() - board.started:.1f} s: {text}"),
            )
            end = board.started + seconds
            drop_at = board.started + seconds / 2 if seconds >= 6 else math.inf
            with Screen(out) as screen:
                while (now := loop.time()) < end:
                    if now >= drop_at:
                        drop_at = math.inf
                        await _drop_connections(sandbox, board, now)
                    if await api.wait_update(deadline=min(end, drop_at, screen.next_draw)):
                        board.record(api, loop.time())
                    now = loop.time()
                    board.watch(api, now)
                    board.trading.watch(now)
                    # No new orders shortly before the drop, so that none is working (and
                    # could fill unseen) while the session is away.
                    await strategy.step(api, now, may_send=now < drop_at - QUIET_BEFORE_DROP)
                    # A plain log starts with the first data; a terminal shows the wait.
                    shown = screen.live or board.updates > 0
                    if shown and screen.due(now) or now >= end:
                        connections = sandbox.market.counts["connections"]
                        screen.draw(render(board, connections, now, colour=screen.live), now)
            counts = strategy.counts
            out.write(
                f"strategy: {counts['orders']} orders sent ({counts['rejected']} refused),"
                f" {counts['fills']} filled, {counts['cancels']} cancels sent\n"
            )
            out.flush()


def _open_board(api: Client, sandbox: Sandbox, seconds: float, started: float) -> Board:
    rows = [
        Row(api.quote(symbol), api.kline(symbol, PERIOD, BARS)) for symbol in sandbox.market.symbols
    ]
    board = Board(rows, seconds, started)
    board.trading = TradingPanel(api, started, board.notes)
    board.notes.append(
        f"market service at {sandbox.url} (market clock x{SPEED}); {PERIOD} bars, {BARS} per"
        f" series; CTP front {sandbox.front}"
    )
    return board


async def _drop_connections(sandbox: Sandbox, board: Board, now: float) -> None:
    board.trading.dropped()
    await sandbox.market.drop_connections()
    sandbox.disconnect()
    board.notes.append(
        f"{now - board.started:.1f} s: the market service and the CTP counter dropped their"
        " connections; reconnecting"
    )


def demo(seconds: float, out: TextIO | None = None, err: TextIO | None = None) -> int:
    """Run the demo; 0 on success, 1 with a message on `err` when it fails, 141 without
    a message when the reader of `out` goes away.

    `out` and `err` default to the standard streams current at the call.
    """
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        asyncio.run(run_demo(seconds, out))
    except BrokenPipeError:
        # The reader went away (`| head`): not a failure of the demo, so no message;
        # 141 is what a shell reports for a writer ended by a closed pipe.
        _discard_output(out)
        return 141
    except ZqError as error:
        status = f" (HTTP {error.status})" if error.status is not None else ""
        cause = f" ({type(error.__cause__).__name__}: {error.__cause__})" if error.__cause__ else ""
        print(f"zqkit demo failed: {error}{status}{cause}", file=err)
        return 1
    except (OSError, RuntimeError) as error:
        print(f"zqkit demo failed: {type(error).__name__}: {error}", file=err)
        return 1
    return 0


def _discard_output(out: TextIO) -> None:
    """Point `out` at the null device so that the flush at exit does not fail again."""
    try:
        descriptor = out.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not backed by a file descriptor: nothing is flushed at exit
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, descriptor)
    finally:
        os.close(null)
