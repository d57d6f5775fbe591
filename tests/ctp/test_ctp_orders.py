"""Order insert, matching, cancel and every insert or cancel rejection."""

from __future__ import annotations

import pytest
from ctp_helpers import Client, settings, wait_until

from zqkit import _ctp

M = "DCE.m2609"
RB = "SHFE.rb2610"


def returns_of(client, ref, count):
    """The first `count` RtnOrder events of order reference `ref`."""

    def collect():
        found = [
            e
            for e in client.pump()
            if e["name"] == "RtnOrder" and e["data"]["OrderRef"] == str(ref)
        ]
        return found[:count] if len(found) >= count else None

    return [event["data"] for event in wait_until(collect)]


def trades_of(client, count):
    found = wait_until(lambda: len(client.named("RtnTrade")) >= count and client.named("RtnTrade"))
    return [event["data"] for event in found]


def positions(client):
    rows = [event["data"] for event in client.query("QryInvestorPosition")]
    return {
        (r["ExchangeID"], r["InstrumentID"], r["PosiDirection"], r["PositionDate"]): (
            r["Position"],
            r["TodayPosition"],
        )
        for r in rows
    }


def account(client):
    [row] = client.query("QryTradingAccount")
    return row["data"]


class TestAccepted:
    def test_order_returns_before_the_exchange_number(self, session):
        login = session.events  # login answers were consumed; keep the session ids from rows
        del login
        rid, code = session.order(M, "BUY", "0", 2, 2700, 1)
        assert code == 0
        submitted, queued = returns_of(session, 1, 2)
        assert (submitted["OrderStatus"], submitted["OrderSubmitStatus"]) == ("a", "0")
        assert submitted["OrderSysID"] == ""
        assert (queued["OrderStatus"], queued["OrderSubmitStatus"]) == ("3", "3")
        assert len(queued["OrderSysID"]) == 12 and queued["OrderSysID"].strip().isdigit()
        assert queued["RequestID"] == rid
        assert (queued["VolumeTotalOriginal"], queued["VolumeTraded"]) == (2, 0)
        assert type(queued["FrontID"]) is int and type(queued["SessionID"]) is int
        assert queued["CombHedgeFlag"] == "1" and queued["CombOffsetFlag"] == "0"
        assert not session.named("RspOrderInsert")  # success gives order returns only

    def test_buy_fills_at_reference_and_updates_book(self, session):
        _ctp.set_price(session.front, M, 2800.0)
        before = account(session)
        session.order(M, "BUY", "0", 2, 2810, 1)
        [trade] = trades_of(session, 1)
        assert (trade["Price"], trade["Volume"], trade["OffsetFlag"]) == (2800.0, 2, "0")
        assert trade["Direction"] == "0" and trade["HedgeFlag"] == "1"
        assert len(trade["TradeID"]) == 12
        events = [e["name"] for e in session.pump()]
        assert events.index("RtnTrade") < len(events) - 1  # the filled order return follows
        final = returns_of(session, 1, 3)[-1]
        assert (final["OrderStatus"], final["VolumeTraded"]) == ("0", 2)
        assert positions(session)[("DCE", "m2609", "2", "1")] == (2, 2)
        after = account(session)
        assert after["Commission"] == pytest.approx(before["Commission"] + 2 * 1.5)
        assert after["CurrMargin"] == pytest.approx(before["CurrMargin"] + 2 * 2800 * 10 * 0.08)
        assert after["Balance"] == pytest.approx(before["Balance"] - 3.0)

    def test_resting_orders_fill_when_the_reference_moves(self, session):
        _ctp.set_price(session.front, M, 2800.0)
        session.order(M, "BUY", "0", 1, 2790, 1)
        session.order(M, "SELL", "0", 1, 2830, 2)
        returns_of(session, 2, 2)
        frozen = account(session)["FrozenMargin"]
        assert frozen == pytest.approx((2790 + 2830) * 10 * 0.08)
        _ctp.set_price(session.front, M, 2785.0)
        [trade] = trades_of(session, 1)
        assert (trade["Direction"], trade["Price"]) == ("0", 2790.0)  # at its own limit
        _ctp.set_price(session.front, M, 2830.0)
        trades = trades_of(session, 2)
        assert (trades[1]["Direction"], trades[1]["Price"]) == ("1", 2830.0)
        assert account(session)["FrozenMargin"] == pytest.approx(0.0)

    def test_partial_fills(self, session):
        _ctp.set_options(session.front, {"fill_volume": 2})
        _ctp.set_price(session.front, M, 2800.0)
        session.order(M, "BUY", "0", 5, 2800, 1)
        trades_of(session, 1)
        assert returns_of(session, 1, 3)[-1]["OrderStatus"] == "1"
        _ctp.set_price(session.front, M, 2800.0)
        _ctp.set_price(session.front, M, 2800.0)
        trades = trades_of(session, 3)
        assert [t["Volume"] for t in trades] == [2, 2, 1]
        final = returns_of(session, 1, 5)[-1]
        assert (final["OrderStatus"], final["VolumeTraded"]) == ("0", 5)

    def test_fak_and_fok(self, session):
        _ctp.set_options(session.front, {"fill_volume": 1})
        _ctp.set_price(session.front, M, 2800.0)
        session.order(M, "BUY", "0", 3, 2800, 1, TimeCondition="1")
        fak = returns_of(session, 1, 4)
        assert [(r["OrderStatus"], r["VolumeTraded"]) for r in fak[2:]] == [("1", 1), ("5", 1)]
        session.order(M, "BUY", "0", 3, 2800, 2, TimeCondition="1", VolumeCondition="3")
        fok = returns_of(session, 2, 3)
        assert (fok[-1]["OrderStatus"], fok[-1]["VolumeTraded"]) == ("5", 0)
        assert len(session.named("RtnTrade")) == 1

    def test_returns_reach_every_session_of_the_account(self, session, flow_path):
        other = Client(flow_path)
        try:
            other.login()
            _ctp.set_price(session.front, M, 2800.0)
            session.order(M, "BUY", "0", 1, 2800, 1)
            assert trades_of(other, 1)[0]["OrderRef"] == "1"
            assert len(returns_of(other, 1, 3)) == 3
        finally:
            other.close()


class TestTradeIds:
    def test_numbered_per_exchange(self, session):
        option = "DCE.m2609-C-3000"
        for symbol, price in ((M, 2800.0), (RB, 3600.0), (option, 120.0)):
            _ctp.set_price(session.front, symbol, price)
        session.order(M, "BUY", "0", 1, 2800, 1)
        session.order(RB, "BUY", "0", 1, 3600, 2)
        session.order(option, "BUY", "0", 1, 120, 3)
        session.order(M, "BUY", "0", 1, 2800, 4)
        by_ref = {t["OrderRef"]: t for t in trades_of(session, 4)}
        ids = {ref: trade["TradeID"] for ref, trade in by_ref.items()}
        # Each exchange numbers its own trades: the first on SHFE and on DCE share a number.
        assert ids["2"] == ids["1"]
        dce = [int(ids[ref]) for ref in ("1", "3", "4")]
        assert dce == sorted(set(dce))  # unique and increasing across DCE's contracts
        assert all(len(trade_id) == 12 for trade_id in ids.values())

        shared = {"TradeID": ids["1"].strip()}
        listed = [e["data"] for e in session.query("QryTrade", shared)]
        assert sorted((t["ExchangeID"], t["OrderRef"]) for t in listed) == [
            ("DCE", "1"),
            ("SHFE", "2"),
        ]
        [on_shfe] = [e["data"] for e in session.query("QryTrade", {**shared, "ExchangeID": "SHFE"})]
        assert on_shfe == by_ref["2"]


class TestClosing:
    def test_shfe_close_today_and_yesterday(self, session):
        _ctp.set_price(session.front, RB, 3600.0)
        session.order(RB, "SELL", "4", 3, 3600, 1)  # close yesterday
        session.order(RB, "SELL", "3", 1, 3600, 2)  # close today
        session.order(RB, "SELL", "1", 1, 3600, 3)  # plain close: earlier days on SHFE
        assert [t["OffsetFlag"] for t in trades_of(session, 3)] == ["4", "3", "1"]
        assert positions(session) == {
            ("SHFE", "rb2610", "2", "1"): (1, 1),
            ("SHFE", "rb2610", "2", "2"): (0, 0),
            ("DCE", "m2609", "3", "1"): (4, 1),
        }
        # Closed 5 lots bought at 3500 at 3600: 100 × 10 each; 5 × 2.0 commission.
        row = account(session)
        assert row["CloseProfit"] == pytest.approx(5 * 100 * 10)
        assert row["Commission"] == pytest.approx(10.0)
        assert row["PositionProfit"] == pytest.approx(100 * 10)  # the remaining today lot

    def test_dce_plain_close_takes_earlier_days_first(self, session):
        _ctp.set_price(session.front, M, 2850.0)
        session.order(M, "BUY", "1", 4, 2850, 1)
        trades_of(session, 1)
        assert positions(session)[("DCE", "m2609", "3", "1")] == (0, 0)
        # Short at 2900, bought back at 2850: 50 × 10 per lot.
        assert account(session)["CloseProfit"] == pytest.approx(4 * 50 * 10)

    def test_working_closes_reserve_position(self, session):
        session.order(RB, "SELL", "4", 3, 3700, 1)  # rests, reserves 3 of 4 earlier lots
        returns_of(session, 1, 2)
        rid, _ = session.order(RB, "SELL", "4", 2, 3700, 2)
        assert session.wait_event("RspOrderInsert", rid)["error"]["ErrorID"] == 51
        session.send("OrderAction", {"ExchangeID": "SHFE", "OrderRef": "1", "ActionFlag": "0"})
        assert returns_of(session, 1, 3)[-1]["OrderStatus"] == "5"
        rid, _ = session.order(RB, "SELL", "4", 2, 3700, 3)
        assert returns_of(session, 3, 2)[-1]["OrderStatus"] == "3"

    def test_plain_closes_cannot_take_lots_promised_to_close_yesterday(self, session):
        # Short 3 earlier-days lots and 1 today lot of m2609; buys close them.
        session.order(M, "BUY", "4", 2, 2800, 1)  # rests until the reference reaches 2800
        returns_of(session, 1, 2)
        session.order(M, "BUY", "1", 1, 2900, 2)  # fits: 2 + 1 earlier-days lots
        returns_of(session, 2, 2)
        rid, _ = session.order(M, "BUY", "1", 1, 2900, 3)  # would leave close-yesterday short
        assert session.wait_event("RspOrderInsert", rid)["error"]["ErrorID"] == 30
        rid, _ = session.order(M, "BUY", "3", 1, 2900, 4)  # today's lot is still free
        returns_of(session, 4, 2)

        # The plain close fills first and takes an earlier-days lot; close-yesterday still fits.
        _ctp.set_price(session.front, M, 2900.0)
        _ctp.set_price(session.front, M, 2800.0)
        trades = trades_of(session, 3)
        assert [(t["OrderRef"], t["OffsetFlag"], t["Volume"]) for t in trades] == [
            ("2", "1", 1),
            ("4", "3", 1),
            ("1", "4", 2),
        ]
        assert positions(session)[("DCE", "m2609", "3", "1")] == (0, 0)


class TestCancel:
    def test_cancel_by_exchange_number(self, session):
        session.order(M, "BUY", "0", 2, 2700, 1)
        sys_id = returns_of(session, 1, 2)[1]["OrderSysID"]
        assert account(session)["FrozenMargin"] > 0
        rid, code = session.send(
            "OrderAction",
            {"InstrumentID": "m2609", "ExchangeID": "DCE", "OrderSysID": sys_id, "ActionFlag": "0"},
        )
        assert code == 0
        cancelled = returns_of(session, 1, 3)[-1]
        assert (cancelled["OrderStatus"], cancelled["OrderSysID"]) == ("5", sys_id)
        assert cancelled["StatusMsg"] == "已撤单"
        row = account(session)
        assert row["FrozenMargin"] == 0.0 and row["FrozenCommission"] == 0.0
        assert not session.named("RspOrderAction")

    def test_cancel_by_reference(self, session, flow_path):
        session.order(M, "BUY", "0", 1, 2700, 1)
        first = returns_of(session, 1, 2)[1]
        # Another session of the account cancels it by front, session and reference.
        other = Client(flow_path)
        try:
            other.login()
            other.send(
                "OrderAction",
                {
                    "ExchangeID": "DCE",
                    "OrderRef": "1",
                    "FrontID": first["FrontID"],
                    "SessionID": first["SessionID"],
                    "ActionFlag": "0",
                },
            )
            assert returns_of(other, 1, 1)[0]["OrderStatus"] == "5"
        finally:
            other.close()

    @pytest.mark.parametrize(
        ("fields", "error_id"),
        [
            ({"ExchangeID": "DCE", "OrderSysID": "999999", "ActionFlag": "0"}, 25),
            ({"ExchangeID": "DCE", "OrderRef": "77", "ActionFlag": "0"}, 25),
            ({"ExchangeID": "DCE", "OrderRef": "1", "ActionFlag": "3"}, 23),
            ({"ExchangeID": "DCE", "OrderRef": "1", "ActionFlag": "0"}, 26),  # already filled
        ],
    )
    def test_cancel_rejections(self, session, fields, error_id):
        _ctp.set_price(session.front, M, 2800.0)
        session.order(M, "BUY", "0", 1, 2800, 1)
        trades_of(session, 1)
        rid, _ = session.send("OrderAction", fields)
        answer = session.wait_event("RspOrderAction", rid)
        err_rtn = session.wait_event("ErrRtnOrderAction")
        assert answer["error"]["ErrorID"] == err_rtn["error"]["ErrorID"] == error_id
        assert answer["error"]["ErrorMsg"] and err_rtn["data"]["ActionFlag"] == fields["ActionFlag"]
        assert err_rtn["request_id"] == 0


class TestInsertRejections:
    @pytest.mark.parametrize(
        ("args", "extra", "error_id", "text"),
        [
            (("DCE.x9999", "BUY", "0", 1, 2800), {}, 16, "找不到合约"),
            ((M, "BUY", "0", 1, 2800.5), {}, 15, "最小变动价位"),
            ((M, "BUY", "0", 0, 2800), {}, 15, "委托范围"),
            ((RB, "BUY", "0", 51, 3500), {}, 15, "委托范围"),
            ((M, "BUY", "0", 1, 0.0), {}, 15, "价格"),
            ((M, "BUY", "2", 1, 2800), {}, 15, "CombOffsetFlag"),
            ((M, "BUY", "0", 1, 2800), {"Direction": "5"}, 15, "Direction"),
            ((M, "BUY", "0", 1, 2800), {"CombHedgeFlag": "3"}, 15, "投机"),
            ((M, "BUY", "0", 1, 2800), {"OrderPriceType": "1"}, 15, "限价"),
            ((M, "BUY", "0", 1, 2800), {"OrderRef": "abc"}, 15, "OrderRef"),
            ((M, "SELL", "1", 1, 2800), {}, 30, "平仓量超过持仓量"),
            ((M, "BUY", "1", 5, 2800), {}, 30, "平仓量超过持仓量"),
            ((RB, "SELL", "3", 3, 3500), {}, 50, "平今仓位不足"),
            ((RB, "SELL", "4", 5, 3500), {}, 51, "平昨仓位不足"),
            ((RB, "SELL", "1", 5, 3500), {}, 51, "平昨仓位不足"),
            ((RB, "BUY", "0", 50, 30000), {}, 31, "资金不足"),
        ],
    )
    def test_rejected(self, session, args, extra, error_id, text):
        rid, code = session.order(*args, ref=5, **extra)
        assert code == 0
        answer = session.wait_event("RspOrderInsert", rid)
        err_rtn = session.wait_event("ErrRtnOrderInsert")
        for event in (answer, err_rtn):
            assert event["error"]["ErrorID"] == error_id
            assert text in event["error"]["ErrorMsg"]
            assert event["data"]["OrderRef"] == extra.get("OrderRef", "5")
        assert (answer["request_id"], err_rtn["request_id"]) == (rid, 0)
        assert not session.named("RtnOrder")
        assert session.query("QryOrder")[0]["data"] is None

    def test_not_trading(self, front, flow_path):
        closed = settings()
        closed["instruments"][1]["is_trading"] = False
        _ctp.configure_front(front, closed)
        client = Client(flow_path)
        try:
            client.login()
            rid, _ = client.order(M, "BUY", "0", 1, 2800, 1)
            assert client.wait_event("RspOrderInsert", rid)["error"]["ErrorID"] == 17
        finally:
            client.close()

    def test_order_refs_must_increase_per_session(self, session):
        session.order(M, "BUY", "0", 1, 2700, 5)
        for ref in (5, 4):
            rid, _ = session.order(M, "BUY", "0", 1, 2700, ref)
            answer = session.wait_event("RspOrderInsert", rid)
            assert answer["error"]["ErrorID"] == 22
        session.order(M, "BUY", "0", 1, 2700, 6)
        assert returns_of(session, 6, 2)[-1]["OrderStatus"] == "3"

    def test_missing_order_ref_is_assigned(self, session):
        fields_ref = ""
        session.order(M, "BUY", "0", 1, 2700, fields_ref)
        wait_until(lambda: session.named("RtnOrder"))
        assert session.named("RtnOrder")[0]["data"]["OrderRef"] == "1"
