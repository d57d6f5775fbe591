"""The trading half of the demo: a small breakout strategy and the dashboard's trading panel."""

from __future__ import annotations

import datetime
import math
from collections.abc import Callable
from dataclasses import dataclass, field

from zqkit.api import Client
from zqkit.data import Serial
from zqkit.livebook import Order

# Market times are shown in the exchanges' own zone.
MARKET_ZONE = datetime.timezone(datetime.timedelta(hours=8))
FINISHED = ("FILLED", "CANCELLED", "REJECTED")
CANCEL_AFTER = 3.0  # seconds an entry order may rest before it is cancelled
ENTRY_OFFSET = 1  # ticks below the breakout close the entry order rests at
HOLD_BARS = 2  # bar closes after which a position is closed anyway
SHOWN_ORDERS = 6
SHOWN_TRADES = 4


@dataclass
class Leg:
    """What the strategy does in one instrument."""

    symbol: str
    bars: Serial
    tick: float
    bar_start: int = 0  # start of the bar in progress, to see when one closes
    held: int = 0  # lots the strategy opened and has not closed
    bars_held: int = 0
    order_id: str | None = None  # the strategy's working order
    exiting: bool = False
    sent_at: float = 0.0
    cancel_sent: bool = False


@dataclass
class Breakout:
    """Buys one lot when a one-minute bar closes above the previous bar's high, resting a
    tick below that close; cancels the order when it has not filled within
    `CANCEL_AFTER` seconds. Sells at the bid on a close below the previous low or after
    `HOLD_BARS` bars. Acts only while the trading session is READY."""

    legs: list[Leg]
    notes: Callable[[str], None]
    counts: dict[str, int] = field(
        default_factory=lambda: dict.fromkeys(("orders", "rejected", "cancels", "fills"), 0)
    )

    async def step(self, api: Client, now: float, *, may_send: bool = True) -> None:
        """Follow the working orders; with `may_send`, act on bars that have closed."""
        if api.trading_status != "READY":
            return
        for leg in self.legs:
            self._follow_order(api, leg, now)
            closed = self._closed_bars(leg)
            if closed is not None and leg.order_id is None and may_send:
                await self._on_bar_close(api, leg, *closed, now)

    def _closed_bars(self, leg: Leg) -> tuple | None:
        """(previous, just closed) bars when a new bar has started since the last look."""
        frame = leg.bars.frame
        start = int(frame["timestamp"].iloc[-1])
        first_look = leg.bar_start == 0
        if start <= 0 or start == leg.bar_start:
            return None
        leg.bar_start = start
        if first_look or len(frame) < 3:
            return None
        return frame.iloc[-3], frame.iloc[-2]

    async def _on_bar_close(self, api: Client, leg: Leg, previous, closed, now: float) -> None:
        if leg.held:
            leg.bars_held += 1
            if closed["close"] < previous["low"] or leg.bars_held >= HOLD_BARS:
                quote = api.quote(leg.symbol).data()
                price = quote.bids[0][0] if quote.bids else closed["close"] - leg.tick
                await self._send(api, leg, "SELL", "CLOSE", leg.held, price, now)
        elif closed["close"] > previous["high"]:
            price = closed["close"] - ENTRY_OFFSET * leg.tick
            await self._send(api, leg, "BUY", "OPEN", 1, price, now)

    async def _send(
        self, api: Client, leg: Leg, direction: str, offset: str, volume: int, price: float, now
    ) -> None:
        price = round(round(price / leg.tick) * leg.tick, 6)
        results = await api.insert_order(leg.symbol, direction, offset, volume, price)
        self.counts["orders"] += 1
        for result in results:
            if result.status == "REJECTED":
                self.counts["rejected"] += 1
                self.notes(f"{leg.symbol} {direction} {offset} refused: {result.message}")
        sent = [result.order_id for result in results if result.status != "REJECTED"]
        if sent:
            leg.order_id, leg.sent_at = sent[-1], now
            leg.exiting, leg.cancel_sent = offset != "OPEN", False

    def _follow_order(self, api: Client, leg: Leg, now: float) -> None:
        if leg.order_id is None:
            return
        order = api.orders.get(leg.order_id)
        if order is None:
            return  # not committed yet
        if order.status in FINISHED:
            traded = order.volume_traded or 0
            if traded:
                self.counts["fills"] += 1
            leg.held += -traded if leg.exiting else traded
            if not leg.held:
                leg.bars_held = 0
            leg.order_id = None
        elif not leg.exiting and not leg.cancel_sent and now - leg.sent_at > CANCEL_AFTER:
            if api.cancel_order(leg.order_id):
                self.counts["cancels"] += 1
                leg.cancel_sent = True


@dataclass
class TradingPanel:
    """What the dashboard shows of the trading side, and the session's comings and goings."""

    api: Client
    started: float
    notes: list[str]
    status: str = ""
    ready_count: int = 0
    before_drop: tuple | None = None  # positions and trades when the connection dropped

    def watch(self, now: float) -> None:
        """Note the session status as the last wait_update left it."""
        status = self.api.trading_status
        if status == self.status:
            return
        at = f"{now - self.started:.1f} s"
        if status == "READY":
            self.ready_count += 1
            if self.ready_count == 1:
                self.notes.append(f"{at}: trading session READY")
            else:
                self.notes.append(f"{at}: trading session READY again; {self._compare()}")
        elif self.status == "READY":
            self.notes.append(f"{at}: trading session left READY ({status})")
        self.status = status

    def dropped(self) -> None:
        """Remember the book as it stood when the counter dropped the connection."""
        self.before_drop = _book(self.api)

    def _compare(self) -> str:
        if self.before_drop is None:
            return "nothing to compare"
        if _book(self.api) == self.before_drop:
            return "positions and trades unchanged"
        return "positions or trades differ from before the drop"

    def lines(self, paint: Callable[[str, str], str], bold: str) -> list[str]:
        api = self.api
        account = api.account
        lines = [
            "",
            paint("account", bold)
            + f" {account.account_id} · {api.trading_status} · balance {_money(account.balance)}"
            f" · available {_money(account.available)} · margin {_money(account.margin)}"
            f" · float profit {_money(account.position_profit)}",
            "",
            paint(
                f"{'position':<14}{'long':>6}{'today':>7}{'earlier':>9}{'closable':>10}"
                f"{'short':>8}{'today':>7}{'earlier':>9}{'closable':>10}",
                bold,
            ),
        ]
        for symbol, position in sorted(api.positions.items()):
            if not (position.pos_long or position.pos_short):
                continue
            lines.append(
                f"{symbol:<14}"
                + _side(position.pos_long, position.pos_long_today, position.available_long, 6)
                + _side(position.pos_short, position.pos_short_today, position.available_short, 8)
            )
        orders = list(api.orders.values())
        working = [order for order in orders if order.status not in FINISHED]
        finished = [order for order in orders if order.status in FINISHED]
        lines += ["", paint(f"orders: {len(working)} working, {len(finished)} finished", bold)]
        shown = (working + finished[::-1])[:SHOWN_ORDERS]
        lines += [_order_line(order) for order in shown]
        trades = api.trades
        lines += ["", paint(f"trades: {len(trades)}, latest first", bold)]
        for trade in trades[::-1][:SHOWN_TRADES]:
            lines.append(
                f"  {_time(trade.trade_time)}  {trade.symbol:<14}{trade.direction:<5}"
                f"{trade.offset:<16}{trade.volume:>3} @ {_price(trade.price)}"
            )
        return lines


def _book(api: Client) -> tuple:
    positions = {
        symbol: (p.pos_long, p.pos_long_today, p.pos_short, p.pos_short_today)
        for symbol, p in api.positions.items()
    }
    return positions, [(t.trade_id, t.volume) for t in api.trades]


def _side(total: int | None, today: int | None, closable: int | None, width: int) -> str:
    earlier = None if total is None or today is None else total - today
    return f"{_lots(total):>{width}}{_lots(today):>7}{_lots(earlier):>9}{_lots(closable):>10}"


def _order_line(order: Order) -> str:
    status = order.status or "-"
    if order.cancel_pending:
        status += " (cancelling)"
    return (
        f"  {order.order_id:<12}{order.symbol:<14}{order.direction or '-':<5}"
        f"{order.offset or '-':<16}{_lots(order.volume_original):>3} @ "
        f"{_price(order.limit_price):<10}{status:<11}"
        f"{_lots(order.volume_traded)}/{_lots(order.volume_original)}  {order.status_msg or ''}"
    )


def _lots(value: int | None) -> str:
    return "-" if value is None else str(value)


def _money(value: float | None) -> str:
    return "-" if value is None or math.isnan(value) else f"{value:,.2f}"


def _price(value: float | None) -> str:
    return "-" if value is None else f"{value:g}"


def _time(ms: int | None) -> str:
    if not ms:
        return "--:--:--"
    return datetime.datetime.fromtimestamp(ms / 1000, MARKET_ZONE).strftime("%H:%M:%S")
