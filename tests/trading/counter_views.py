"""The session's committed views read the way the counter's own query answers are read.

`view_book` has the layout of `counter_book` (test_trading_counter), so a test compares what a
user sees after a commit with what the counter itself reports, and `settle` waits until they agree.
"""

from __future__ import annotations

import asyncio
import time
from collections import Counter

from test_trading_counter import FUNDS, Peer, counter_book, side_totals

FINISHED = ("FILLED", "CANCELLED", "REJECTED")


def trade_keys(session) -> list[tuple[str, str, str]]:
    """(exchange, TradeID, direction) of every committed trade view, duplicates kept."""
    return [
        (trade.symbol.split(".", 1)[0], trade.trade_id, trade.direction) for trade in session.trades
    ]


def view_book(session) -> dict:
    """Positions, trades, orders known to the counter, funds and day from the committed views."""
    positions: dict = {}
    for symbol, view in session.positions.items():
        for side in ("long", "short"):
            total = getattr(view, "pos_" + side)
            if total:
                side_totals(positions, symbol, side, total, getattr(view, "pos_" + side + "_today"))
    trades = {
        (t.symbol, t.trade_id, "0" if t.direction == "BUY" else "1"): t.volume
        for t in session.trades
    }
    orders = {
        view.order_sys_id: (view.status, view.volume_traded)
        for view in session.orders.values()
        if view.order_sys_id is not None
    }
    return {
        "positions": positions,
        "trades": trades,
        "orders": orders,
        "funds": {key: getattr(session.account, key) for key in FUNDS},
        "day": session.account.trading_day,
    }


def unsent_orders(session) -> list:
    """Committed order views the counter never numbered (refused, or not answered yet)."""
    return [view for view in session.orders.values() if view.order_sys_id is None]


def registry_problems(session) -> list[str]:
    """How `objects` differs from exactly the live views: account, maps, list and their items."""
    live = [session.account, session.positions, session.orders, session.trades]
    live += list(session.positions.values()) + list(session.orders.values()) + session.trades
    expected = {id(view): view for view in live}
    problems = []
    if len(expected) != len(live):
        problems.append("one view object is listed twice")
    for identity, view in expected.items():
        if session.objects.get(identity) is not view:
            problems.append(f"missing from objects: {type(view).__name__} {view!r}")
    for identity in session.objects.keys() - expected.keys():
        problems.append(f"stale in objects: {session.objects[identity]!r}")
    duplicated = [key for key, n in Counter(trade_keys(session)).items() if n > 1]
    if duplicated:
        problems.append(f"trades shown more than once: {duplicated}")
    return problems


def view_problems(session) -> list[str]:
    """Contradictions inside the committed order views themselves."""
    problems = []
    for key, view in session.orders.items():
        if view.volume_traded + view.volume_left != view.volume_original:
            problems.append(f"order {key}: traded + left != original")
        if view.status == "FILLED" and view.volume_left:
            problems.append(f"order {key}: FILLED with {view.volume_left} left")
        if view.status in FINISHED and view.cancel_pending:
            problems.append(f"order {key}: {view.status} with a cancel pending")
        if view.order_sys_id is None and view.status not in ("PENDING", "REJECTED"):
            problems.append(f"order {key}: {view.status} without an OrderSysID")
    return problems


def contradictions(mine: dict, theirs: dict) -> list[str]:
    """What the views claim that a later counter answer denies. The counter is ahead of the
    views (`mine` must be read first), so a trade or a finished order it lacks was made up."""
    if mine["day"] != theirs["day"]:
        return []  # the session has not met the new trading day yet
    problems = []
    for key, volume in mine["trades"].items():
        if theirs["trades"].get(key) != volume:
            problems.append(f"trade {key} of {volume}: the counter has {theirs['trades'].get(key)}")
    for sys_id, (status, traded) in mine["orders"].items():
        counter_status, counter_traded = theirs["orders"].get(sys_id, (None, None))
        if counter_status is None:
            problems.append(f"order {sys_id}: unknown to the counter")
        elif traded > counter_traded or (status in FINISHED and status != counter_status):
            problems.append(f"order {sys_id} {status} {traded}: {counter_status} {counter_traded}")
    return problems


def closable_problems(session) -> list[str]:
    """A position's available volume is what its unfinished close orders leave free."""
    reserved: Counter = Counter()
    for view in session.orders.values():
        if view.offset != "OPEN" and view.status not in FINISHED:
            side = "long" if view.direction == "SELL" else "short"
            reserved[view.symbol, side] += view.volume_left
    problems = []
    for symbol, view in session.positions.items():
        for side in ("long", "short"):
            total = getattr(view, "pos_" + side)
            available = getattr(view, "available_" + side)
            if total is not None and available != total - reserved[symbol, side]:
                problems.append(
                    f"{symbol} {side}: {available} available of {total}, "
                    f"{reserved[symbol, side]} in close orders"
                )
    return problems


def differences(mine: dict, theirs: dict) -> dict:
    return {
        key: {"session": mine[key], "counter": theirs[key]}
        for key in theirs
        if mine[key] != theirs[key]
    }


async def settle(session, peer: Peer, seconds: float = 15.0, *, unanswered: bool = False) -> dict:
    """Commit until the committed views equal the counter's answers and (unless `unanswered`:
    a withheld insert never gets one) every order was answered; the counter's book."""
    deadline = time.monotonic() + seconds
    mine = theirs = None
    while time.monotonic() < deadline:
        assert session.error is None, repr(session.error.__cause__)
        if session.session_status == "READY":
            session.commit({})
            mine = view_book(session)
            theirs = await counter_book(peer)
            denied = contradictions(mine, theirs)
            assert not denied, denied
            answered = unanswered or all(v.status != "PENDING" for v in session.orders.values())
            if mine == theirs and answered and session.session_status == "READY":
                problems = registry_problems(session) + view_problems(session)
                problems += closable_problems(session)
                assert not problems, problems
                return theirs
        await asyncio.sleep(0.02)
    diff = differences(mine, theirs) if mine and theirs else (mine, theirs)
    raise AssertionError(f"views never matched the counter ({session.session_status}): {diff}")
