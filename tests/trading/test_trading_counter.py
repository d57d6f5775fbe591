"""Trading against the simulated counter: READY with the counter's book, then every injected fault.

The session's clock and pauses run 20 times faster than real time (a one-second pacing gap is
50 ms), so a whole login with its six queries takes a fraction of a second. A second connection
("peer") places orders and reads the counter's own view through the same binding.
"""

from __future__ import annotations

import asyncio
import itertools
import os
import time

import pytest
from ctp_helpers import FastAsyncio, FastClock, order_insert_fields
from trading_helpers import CONFIG, DAY

from zqkit import _ctp

FRONT = CONFIG.front_url
RB, SC, M, OPTION = "SHFE.rb2610", "INE.sc2609", "DCE.m2609", "DCE.m2609-C-3000"
PRICES = {RB: 3500.0, SC: 600.0, M: 2900.0}


def front_settings() -> dict:
    def instrument(symbol, tick, **extra):
        return {"symbol": symbol, "tick": tick, "multiplier": 10, "commission": 2.0, **extra}

    return {
        "trading_day": DAY,
        "latency": 0.002,
        "connect_delay": 0.002,
        "instruments": [
            instrument(RB, 1.0),
            instrument(SC, 0.1),
            instrument(M, 1.0),
            instrument(OPTION, 0.5, product_class="2"),
        ],
        "accounts": [
            {
                "broker_id": CONFIG.broker_id,
                "user_id": CONFIG.user_id,
                "password": CONFIG.password,
                "app_id": CONFIG.app_id,
                "auth_code": CONFIG.auth_code,
                "positions": [
                    {"symbol": RB, "direction": "long", "history": 4, "today": 2, "price": 3500.0},
                    {"symbol": SC, "direction": "short", "history": 2, "today": 1, "price": 600.0},
                    {"symbol": M, "direction": "short", "history": 3, "today": 1, "price": 2900.0},
                ],
            }
        ],
    }


class Peer:
    """A second, raw connection to the same account, driven without blocking the loop."""

    def __init__(self, flow_path: bytes) -> None:
        self.handle = _ctp.create(FRONT, flow_path)
        self.events: list[dict] = []
        self.ids = itertools.count(1)
        self.refs = itertools.count(1)

    def send(self, method: str, fields: dict | None = None) -> tuple[int, int]:
        body = {"BrokerID": CONFIG.broker_id, "InvestorID": CONFIG.user_id}
        body["UserID"] = CONFIG.user_id
        body.update(fields or {})
        request_id = next(self.ids)
        return request_id, _ctp.request(self.handle, method, body, request_id)

    async def wait(self, name: str, request_id: int | None = None, seconds: float = 2.0) -> dict:
        async with asyncio.timeout(seconds):
            while True:
                self.events.extend(_ctp.poll(self.handle))
                for index, event in enumerate(self.events):
                    if event["name"] == name and request_id in (None, event["request_id"]):
                        return self.events.pop(index)
                await asyncio.sleep(0.001)

    async def login(self) -> None:
        await self.wait("FrontConnected")
        steps = [
            ("Authenticate", {"AppID": CONFIG.app_id, "AuthCode": CONFIG.auth_code}),
            ("UserLogin", {"Password": CONFIG.password}),
            ("SettlementInfoConfirm", {}),
        ]
        for method, fields in steps:
            rid, code = self.send(method, fields)
            assert code == 0
            assert (await self.wait("Rsp" + method, rid))["error"]["ErrorID"] == 0

    async def query(self, method: str, fields: dict | None = None) -> list[dict]:
        """Rows of one answer; retried while a fault switch meant for the session is still on."""
        for _ in range(20):
            rid, code = self.send(method, fields)
            if code != 0:
                await asyncio.sleep(0.01)
                continue
            rows = []
            try:
                while True:
                    event = await self.wait("Rsp" + method, rid, seconds=0.5)
                    if event["error"] and event["error"]["ErrorID"]:
                        break
                    if event["data"]:
                        rows.append(event["data"])
                    if event["last"]:
                        return rows
            except TimeoutError:
                continue
        raise AssertionError(f"the counter never answered {method}")

    def order(self, symbol, direction, offset, volume, price) -> None:
        fields = order_insert_fields(symbol, direction, offset, volume, price, next(self.refs))
        assert self.send("OrderInsert", fields)[1] == 0

    def close(self) -> None:
        _ctp.close(self.handle)


# ---- the counter's view against the session's ------------------------------------------------

STATUS = {"0": "FILLED", "2": "CANCELLED", "4": "CANCELLED", "5": "CANCELLED"}
FUNDS = {
    "balance": "Balance",
    "available": "Available",
    "margin": "CurrMargin",
    "frozen_margin": "FrozenMargin",
    "commission": "Commission",
    "close_profit": "CloseProfit",
    "position_profit": "PositionProfit",
}


def side_totals(positions: dict, symbol: str, side: str, total: int, today: int) -> None:
    record = positions.setdefault(symbol, dict.fromkeys(("long", "short"), (0, 0, 0)))
    old = record[side]
    record[side] = (old[0] + total, old[1] + today, old[2] + total - today)


async def counter_book(peer: Peer) -> dict:
    positions: dict = {}
    for row in await peer.query("QryInvestorPosition"):
        symbol = row["ExchangeID"] + "." + row["InstrumentID"]
        today = row["TodayPosition"]
        if row["ExchangeID"] in ("SHFE", "INE"):
            today = row["Position"] if row["PositionDate"] == "1" else 0
        side = "long" if row["PosiDirection"] == "2" else "short"
        side_totals(positions, symbol, side, row["Position"], today)
    trades = {
        (row["ExchangeID"] + "." + row["InstrumentID"], row["TradeID"].strip(), row["Direction"]): (
            row["Volume"]
        )
        for row in await peer.query("QryTrade")
    }
    orders = {
        row["OrderSysID"].strip(): (STATUS.get(row["OrderStatus"], "ALIVE"), row["VolumeTraded"])
        for row in await peer.query("QryOrder")
    }
    (account,) = await peer.query("QryTradingAccount", {"CurrencyID": "CNY"})
    funds = {key: account[field] for key, field in FUNDS.items()}
    return {
        "positions": {
            s: r for s, r in positions.items() if r != {"long": (0, 0, 0), "short": (0, 0, 0)}
        },
        "trades": trades,
        "orders": orders,
        "funds": funds,
        "day": account["TradingDay"],
    }


def session_book(session) -> dict:
    positions = {}
    for symbol, record in session.p.items():
        if record["pos_long"] is None:
            continue
        for side in ("long", "short"):
            total = record["pos_" + side]
            today = record["pos_" + side + "_today"]
            his = record["pos_" + side + "_his"]
            if total:
                side_totals(positions, symbol, side, total, today)
                assert today + his == total
    trades = {
        (r["symbol"], r["trade_id"], "0" if r["direction"] == "BUY" else "1"): r["volume"]
        for r in session.t.values()
    }
    orders = {r["order_sys_id"]: (r["status"], r["volume_traded"]) for r in session.o.values()}
    return {
        "positions": positions,
        "trades": trades,
        "orders": orders,
        "funds": {key: session.a[key] for key in FUNDS},
        "day": session.day,
    }


def assert_closable(session) -> None:
    """Available plus frozen is the position; nothing frozen without a working close order."""
    for symbol, record in session.p.items():
        if record["pos_long"] is None:
            continue
        for side in ("long", "short"):
            total = record["pos_" + side]
            assert record["available_" + side] + record["frozen_" + side] == total, symbol
            working = any(
                order["symbol"] == symbol
                and order["offset"] != "OPEN"
                and order["direction"] == ("SELL" if side == "long" else "BUY")
                and order["status"] == "ALIVE"
                for order in session.native_orders.values()
            )
            if not working:
                assert record["frozen_" + side] == 0, symbol


async def converge(session, peer: Peer, seconds: float = 15.0) -> dict:
    deadline = time.monotonic() + seconds
    mine = theirs = None
    while time.monotonic() < deadline:
        assert session.error is None, repr(session.error.__cause__)
        if session.session_status == "READY":
            theirs = await counter_book(peer)
            mine = session_book(session)
            if mine == theirs and session.session_status == "READY":
                assert_closable(session)
                return theirs
        await asyncio.sleep(0.02)
    raise AssertionError(
        f"no convergence: {session.session_status} {session.phase}\n{mine}\n{theirs}"
    )


async def phase_reached(session, predicate, seconds: float = 10.0) -> None:
    async with asyncio.timeout(seconds):
        while not predicate():
            assert session.error is None, repr(session.error.__cause__)
            await asyncio.sleep(0.0005)


# ---- fixtures --------------------------------------------------------------------------------


@pytest.fixture
def counter(impl, monkeypatch, tmp_path):
    monkeypatch.setattr(impl.module, "time", FastClock())
    monkeypatch.setattr(impl.module, "asyncio", FastAsyncio())
    monkeypatch.setattr(impl.module, "mkdtemp", lambda prefix: str(tmp_path / "session"))
    (tmp_path / "session").mkdir()
    (tmp_path / "peer").mkdir()
    _ctp.reset()
    _ctp.configure_front(FRONT, front_settings())
    for symbol, price in PRICES.items():
        _ctp.set_price(FRONT, symbol, price)
    yield os.fsencode(str(tmp_path / "peer") + os.sep)
    _ctp.reset()


def run_with_session(impl, peer_path, scenario, seconds: float = 40.0):
    """Start a session and a logged-in peer, run `scenario(session, peer)`, close both."""

    async def body():
        session = impl.Trading(CONFIG, 10, {})
        peer = Peer(peer_path)
        try:
            await peer.login()
            async with asyncio.timeout(seconds):
                await scenario(session, peer)
        finally:
            await session.close()
            peer.close()
        return session

    return asyncio.run(body())


def fills(peer: Peer) -> None:
    """Orders that trade at once on three exchanges (both directions, opens and closes)."""
    peer.order(RB, "BUY", "0", 2, 3510.0)
    peer.order(M, "BUY", "0", 1, 2910.0)
    peer.order(SC, "BUY", "1", 1, 601.0)
    peer.order(RB, "SELL", "3", 1, 3490.0)


# ---- tests -----------------------------------------------------------------------------------


class TestBaseline:
    def test_ready_with_the_counters_book(self, impl, counter):
        async def scenario(session, peer):
            peer.order(RB, "BUY", "0", 1, 3510.0)  # fills: one more lot today
            peer.order(RB, "SELL", "1", 3, 3600.0)  # rests: three lots frozen
            peer.order(SC, "BUY", "0", 1, 590.0)  # rests: an open freezes nothing
            await asyncio.sleep(0.05)
            session.start()
            book = await converge(session, peer)
            rows = await peer.query("QryInstrument")
            assert set(session.instruments) == {
                r["ExchangeID"] + "." + r["InstrumentID"] for r in rows
            }
            assert set(session.instruments) == {RB, SC, M, OPTION}
            assert book["positions"][RB] == {"long": (7, 3, 4), "short": (0, 0, 0)}
            assert book["positions"][SC] == {"long": (0, 0, 0), "short": (3, 1, 2)}
            assert book["positions"][M] == {"long": (0, 0, 0), "short": (4, 1, 3)}
            rb = session.p[RB]
            assert (rb["available_long"], rb["frozen_long"]) == (4, 3)
            assert session.p[M]["available_short"] == 4
            assert sorted(status for status, _ in book["orders"].values()) == [
                "ALIVE",
                "ALIVE",
                "FILLED",
            ]
            assert session.a["trading_day"] == DAY and session.a["balance"] is not None

        run_with_session(impl, counter, scenario)

    def test_trades_of_the_day_after_a_restart(self, impl, counter):
        async def scenario(session, peer):
            fills(peer)
            await asyncio.sleep(0.05)
            session.start()
            book = await converge(session, peer)
            assert len(book["trades"]) == 4

        run_with_session(impl, counter, scenario)


class TestDisconnects:
    @pytest.mark.parametrize("phase", ["authenticate", "login", "settlement", "sync", "ready"])
    def test_disconnect_in_each_phase(self, impl, counter, phase):
        async def scenario(session, peer):
            _ctp.set_options(FRONT, {"latency": 0.02})
            session.start()
            if phase == "sync":
                await phase_reached(
                    session, lambda: session.phase == "sync" and session.sync_index == 3
                )
            else:
                await phase_reached(session, lambda: session.phase == phase)
            assert _ctp.disconnect(FRONT, 0.02) >= 2
            await peer.login()  # the peer was dropped as well
            await phase_reached(session, lambda: session.phase != phase)
            _ctp.set_options(FRONT, {"latency": 0.002})
            fills(peer)
            await converge(session, peer)

        run_with_session(impl, counter, scenario)


def failures_of(recovery) -> list:
    """Count the failures a retry budget records (fault switches are front-wide, so the
    tests wait until the session itself met the fault before the peer sends anything)."""
    seen = []
    original = recovery.fail

    def fail():
        seen.append(True)
        original()

    recovery.fail = fail
    return seen


class TestRefusals:
    @pytest.mark.parametrize("error_id", [90, 154])
    def test_query_errors_during_sync_and_ready(self, impl, counter, error_id):
        async def scenario(session, peer):
            failed = failures_of(session.recovery)
            _ctp.fail_queries(FRONT, 2, error_id)
            session.start()
            await converge(session, peer)
            assert len(failed) == 2
            failed = failures_of(session.query_recovery)
            _ctp.fail_queries(FRONT, 1, error_id)
            await phase_reached(session, lambda: failed)
            fills(peer)
            await converge(session, peer)

        run_with_session(impl, counter, scenario)

    @pytest.mark.parametrize("code", [-2, -3])
    def test_refused_requests(self, impl, counter, code):
        async def scenario(session, peer):
            failed = failures_of(session.recovery)
            _ctp.refuse_requests(FRONT, 1, code)  # the authentication: reconnect
            session.start()
            await phase_reached(
                session, lambda: session.phase == "sync" and session.sync_index == 1
            )
            assert len(failed) == 1
            _ctp.refuse_requests(FRONT, 2, code)  # two queries: paced retries
            await phase_reached(session, lambda: len(failed) == 3)
            await converge(session, peer)
            busy = failures_of(session.query_recovery)
            _ctp.refuse_requests(FRONT, 1, code)
            await phase_reached(session, lambda: busy)
            fills(peer)
            await converge(session, peer)

        run_with_session(impl, counter, scenario)

    @pytest.mark.parametrize("when", ["sync", "ready"])
    def test_withheld_answers(self, impl, counter, when):
        async def scenario(session, peer):
            session.start()
            if when == "sync":
                failed = failures_of(session.recovery)
                await phase_reached(
                    session, lambda: session.phase == "sync" and session.sync_index == 2
                )
            else:
                await converge(session, peer)
                failed = failures_of(session.query_recovery)
            _ctp.withhold_answers(FRONT, 1)
            # Fails after 10 s (0.5 s here) without an answer row.
            await phase_reached(session, lambda: failed)
            fills(peer)
            await converge(session, peer)

        run_with_session(impl, counter, scenario)


class TestTrades:
    def test_duplicated_trades(self, impl, counter):
        async def scenario(session, peer):
            session.start()
            await converge(session, peer)
            rebuilt = failures_of(session.recovery)
            _ctp.duplicate_trades(FRONT, 4)
            fills(peer)
            book = await converge(session, peer)
            assert len(book["trades"]) == 4 and not rebuilt

        run_with_session(impl, counter, scenario)

    def test_trades_ahead_of_their_order_returns(self, impl, counter):
        async def scenario(session, peer):
            session.start()
            await converge(session, peer)
            rebuilt = failures_of(session.recovery)
            _ctp.trades_before_orders(FRONT, 4)
            fills(peer)
            await converge(session, peer)
            assert session.pending_trades == {} and not rebuilt

        run_with_session(impl, counter, scenario)

    @pytest.mark.parametrize("step", [1, 2, 3, 4, 5])
    def test_trades_during_the_login_queries(self, impl, counter, step):
        async def scenario(session, peer):
            rebuilt = failures_of(session.recovery)
            session.start()
            await phase_reached(
                session, lambda: session.phase == "sync" and session.sync_index == step
            )
            fills(peer)
            _ctp.trades_before_orders(FRONT, 1)
            peer.order(M, "SELL", "1", 1, 2890.0)
            await converge(session, peer)
            assert not rebuilt

        run_with_session(impl, counter, scenario)


class TestTradingDay:
    def test_new_trading_day(self, impl, counter):
        async def scenario(session, peer):
            session.start()
            fills(peer)
            await converge(session, peer)
            rebuilt = failures_of(session.recovery)
            _ctp.set_trading_day(FRONT, "20260609")
            await phase_reached(session, lambda: session.day == "20260609")
            book = await converge(session, peer)
            assert book["day"] == "20260609" and book["trades"] == {}
            assert book["positions"][RB]["long"] == (7, 0, 7) and rebuilt

        run_with_session(impl, counter, scenario)
