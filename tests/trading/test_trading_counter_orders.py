"""Orders placed through the session against the simulated counter, step by step.

After every step the session commits and its committed views (positions by side and day
bucket, orders, trades, funds) must equal what the counter itself reports to a second
connection. The account starts with RB long 4+2 (earlier days + today), SC short 2+1 and
M short 3+1; reference prices RB 3500, SC 600, M 2900; commission 2 per lot.
"""

from __future__ import annotations

import asyncio

import pytest
from counter_views import settle, unsent_orders
from test_trading_counter import (
    FRONT,
    RB,
    SC,
    M,
    counter,  # noqa: F401  (a fixture, found by its name)
    run_with_session,
)

from zqkit import _ctp
from zqkit.livebook import TradingResult

PARAMETER_REFUSAL = "报单参数无效或可平持仓不足，未提交"


@pytest.fixture
def peer_path(request) -> bytes:
    """The configured front (session clock and pauses sped up); the peer's flow directory."""
    return request.getfixturevalue("counter")


async def ready(session, peer) -> dict:
    session.start()
    return await settle(session, peer)


async def submitted(session, *args) -> list[str]:
    """Insert; every part must be handed over. The order ids, in plan order."""
    results = await session.insert(*args)
    assert [r.status for r in results] == ["SUBMITTED"] * len(results), results
    return [r.order_id for r in results]


def order_state(session, order_id) -> tuple:
    view = session.orders[order_id]
    return view.offset, view.status, view.volume_original, view.volume_traded, view.volume_left


def trades_of(session, order_id) -> list[tuple]:
    sys_id = session.orders[order_id].order_sys_id
    return sorted((t.offset, t.price, t.volume) for t in session.trades if t.order_sys_id == sys_id)


class TestOpens:
    def test_open_that_fills_on_arrival(self, impl, peer_path):
        async def scenario(session, peer):
            before = await ready(session, peer)
            (order_id,) = await submitted(session, RB, "BUY", "OPEN", 2, 3510.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "FILLED", 2, 2, 0)
            # An arriving order trades at the reference price, not at its limit.
            assert trades_of(session, order_id) == [("OPEN", 3500.0, 2)]
            assert book["positions"][RB] == {"long": (8, 4, 4), "short": (0, 0, 0)}
            assert book["funds"]["commission"] == before["funds"]["commission"] + 4.0
            assert book["funds"]["margin"] > before["funds"]["margin"]
            assert session.position_view(RB).available_long == 8

        run_with_session(impl, peer_path, scenario)

    def test_partial_fills_then_the_rest_cancelled(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            _ctp.set_options(FRONT, {"fill_volume": 1})
            (order_id,) = await submitted(session, M, "BUY", "OPEN", 3, 2910.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "ALIVE", 3, 1, 2)
            assert book["positions"][M]["long"] == (1, 1, 0)
            frozen = book["funds"]["frozen_margin"]
            assert frozen > 0
            _ctp.set_price(FRONT, M, 2900.0)  # one more matching pass: one more lot
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "ALIVE", 3, 2, 1)
            assert 0 < book["funds"]["frozen_margin"] < frozen
            assert session.cancel(order_id) == [TradingResult("SUBMITTED", order_id)]
            assert session.cancel(order_id) == []  # already on its way
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "CANCELLED", 3, 2, 1)
            assert not session.orders[order_id].cancel_pending
            assert trades_of(session, order_id) == [("OPEN", 2900.0, 1), ("OPEN", 2910.0, 1)]
            assert book["positions"][M] == {"long": (2, 2, 0), "short": (4, 1, 3)}
            assert book["funds"]["frozen_margin"] == 0
            assert session.cancel(order_id) == []  # finished

        run_with_session(impl, peer_path, scenario)

    def test_order_rests_until_the_price_crosses_it(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            (order_id,) = await submitted(session, SC, "SELL", "OPEN", 1, 605.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "ALIVE", 1, 0, 1)
            assert trades_of(session, order_id) == []
            assert book["positions"][SC]["short"] == (3, 1, 2)
            _ctp.set_price(FRONT, SC, 604.0)  # still below the sell limit
            await asyncio.sleep(0.05)
            book = await settle(session, peer)
            assert order_state(session, order_id)[1:] == ("ALIVE", 1, 0, 1)
            _ctp.set_price(FRONT, SC, 606.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "FILLED", 1, 1, 0)
            assert trades_of(session, order_id) == [("OPEN", 605.0, 1)]  # at its own limit
            assert book["positions"][SC]["short"] == (4, 2, 2)

        run_with_session(impl, peer_path, scenario)


class TestCloses:
    def test_shfe_close_split_across_earlier_days_and_today(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            _ctp.set_price(FRONT, RB, 3520.0)
            first, second = await submitted(session, RB, "SELL", "CLOSE", 5, 3510.0)
            book = await settle(session, peer)
            assert order_state(session, first) == ("CLOSE_YESTERDAY", "FILLED", 4, 4, 0)
            assert order_state(session, second) == ("CLOSE_TODAY", "FILLED", 1, 1, 0)
            assert trades_of(session, first) == [("CLOSE_YESTERDAY", 3520.0, 4)]
            assert trades_of(session, second) == [("CLOSE_TODAY", 3520.0, 1)]
            assert book["positions"][RB] == {"long": (1, 1, 0), "short": (0, 0, 0)}
            assert book["funds"]["close_profit"] == pytest.approx(5 * 20 * 10)
            # Nothing earlier-day is left: the next close is a single close-today order.
            (last,) = await submitted(session, RB, "SELL", "CLOSE", 1, 3510.0)
            book = await settle(session, peer)
            assert order_state(session, last) == ("CLOSE_TODAY", "FILLED", 1, 1, 0)
            assert RB not in book["positions"]
            view = session.position_view(RB)
            assert (view.pos_long, view.available_long) == (0, 0)

        run_with_session(impl, peer_path, scenario)

    def test_working_closes_freeze_and_cancels_release(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            ids = await submitted(session, RB, "SELL", "CLOSE", 5, 3600.0)
            book = await settle(session, peer)
            assert [order_state(session, i)[:2] for i in ids] == [
                ("CLOSE_YESTERDAY", "ALIVE"),
                ("CLOSE_TODAY", "ALIVE"),
            ]
            assert session.position_view(RB).available_long == 1
            # Only one lot is free: a close of two is refused before anything is sent.
            refused = await session.insert(RB, "SELL", "CLOSE", 2, 3600.0)
            assert [(r.status, r.order_id, r.message) for r in refused] == [
                ("REJECTED", None, PARAMETER_REFUSAL)
            ]
            assert len((await settle(session, peer))["orders"]) == len(book["orders"])
            for order_id in ids:
                assert [r.status for r in session.cancel(order_id)] == ["SUBMITTED"]
            book = await settle(session, peer)
            assert [order_state(session, i)[1] for i in ids] == ["CANCELLED"] * 2
            assert book["positions"][RB]["long"] == (6, 2, 4)
            assert session.position_view(RB).available_long == 6

        run_with_session(impl, peer_path, scenario)

    def test_close_on_dce_takes_earlier_days_first(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            (order_id,) = await submitted(session, M, "BUY", "CLOSE", 2, 2910.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("CLOSE", "FILLED", 2, 2, 0)
            assert trades_of(session, order_id) == [("CLOSE", 2900.0, 2)]
            assert book["positions"][M]["short"] == (2, 1, 1)
            (order_id,) = await submitted(session, M, "BUY", "CLOSE", 2, 2910.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("CLOSE", "FILLED", 2, 2, 0)
            assert M not in book["positions"]
            refused = await session.insert(M, "BUY", "CLOSE", 1, 2910.0)
            assert [(r.status, r.message) for r in refused] == [("REJECTED", PARAMETER_REFUSAL)]

        run_with_session(impl, peer_path, scenario)


class TestRejections:
    def test_refused_by_the_session_itself(self, impl, peer_path):
        async def scenario(session, peer):
            early = await session.insert(RB, "BUY", "OPEN", 1, 3500.0)
            assert [(r.status, r.order_id) for r in early] == [("REJECTED", None)]
            before = await ready(session, peer)
            cases = [
                (RB, "BUY", "OPEN", 1, 3500.5),  # off the tick
                (SC, "SELL", "OPEN", 1, 600.05),
                (RB, "BUY", "OPEN", 501, 3500.0),  # above the instrument's volume limit
                (RB, "SELL", "CLOSE", 7, 3500.0),  # more than the position
                ("DCE.m2701", "BUY", "OPEN", 1, 2900.0),  # not an instrument of the counter
            ]
            for case in cases:
                results = await session.insert(*case)
                assert [(r.status, r.order_id, r.message) for r in results] == [
                    ("REJECTED", None, PARAMETER_REFUSAL)
                ], case
            book = await settle(session, peer)
            assert book == before and not session.orders

        run_with_session(impl, peer_path, scenario)

    def test_refused_by_the_counter_for_funds(self, impl, peer_path):
        async def scenario(session, peer):
            before = await ready(session, peer)
            # 400 lots at 3500 need 1.4 million of margin; the account holds one million.
            (order_id,) = await submitted(session, RB, "BUY", "OPEN", 400, 3500.0)
            book = await settle(session, peer)
            view = session.orders[order_id]
            assert (view.status, view.status_msg, view.order_sys_id) == (
                "REJECTED",
                "报单被拒绝",
                None,
            )
            assert (view.volume_traded, view.volume_left) == (0, 400)
            assert unsent_orders(session) == [view]
            assert book == before  # nothing frozen, nothing traded
            assert session.cancel(order_id) == []
            # The refused reference does not upset the next one.
            (order_id,) = await submitted(session, RB, "BUY", "OPEN", 1, 3500.0)
            book = await settle(session, peer)
            assert order_state(session, order_id) == ("OPEN", "FILLED", 1, 1, 0)
            assert book["positions"][RB]["long"] == (7, 3, 4)

        run_with_session(impl, peer_path, scenario)


class TestAcrossReconnects:
    def test_views_and_cancel_survive_a_reconnect(self, impl, peer_path):
        async def scenario(session, peer):
            await ready(session, peer)
            (resting,) = await submitted(session, M, "SELL", "OPEN", 2, 2950.0)
            (filled,) = await submitted(session, RB, "BUY", "OPEN", 1, 3510.0)
            await settle(session, peer)
            views = {key: session.orders[key] for key in (resting, filled)}
            trades = list(session.trades)
            assert _ctp.disconnect(FRONT, 0.02) >= 2
            await peer.login()
            await asyncio.sleep(0.05)
            await settle(session, peer)
            # The rebuilt book is published into the same view objects.
            assert {key: session.orders[key] for key in views} == views
            assert all(a is b for a, b in zip(session.trades, trades, strict=True))
            assert order_state(session, resting) == ("OPEN", "ALIVE", 2, 0, 2)
            assert [r.status for r in session.cancel(resting)] == ["SUBMITTED"]
            await settle(session, peer)
            assert order_state(session, resting)[1] == "CANCELLED"
            assert order_state(session, filled)[1] == "FILLED"

        run_with_session(impl, peer_path, scenario)
