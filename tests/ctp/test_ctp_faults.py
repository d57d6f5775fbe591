"""Reconnects keep the book; every injected fault; request limits; trading day change."""

from __future__ import annotations

import pytest
from ctp_helpers import DAY, Client, wait_until

from zqkit import _ctp

M = "DCE.m2609"
RB = "SHFE.rb2610"


def fill(client, ref, volume=1, symbol=M, price=2800.0):
    _ctp.set_price(client.front, symbol, price)
    client.order(symbol, "BUY", "0", volume, price, ref)
    return wait_until(
        lambda: [e for e in client.named("RtnTrade") if e["data"]["OrderRef"] == str(ref)]
    )


def book(client):
    orders = [e["data"] for e in client.query("QryOrder") if e["data"]]
    trades = [e["data"] for e in client.query("QryTrade") if e["data"]]
    positions = [e["data"] for e in client.query("QryInvestorPosition") if e["data"]]
    return orders, trades, positions


class TestReconnect:
    def test_dropped_connection_comes_back_with_the_same_book(self, session):
        fill(session, 1)
        session.order(M, "BUY", "0", 1, 2700, 2)  # stays working
        wait_until(lambda: len(session.named("RtnOrder")) >= 5)
        before = book(session)
        first_session = session.named("RtnOrder")[0]["data"]["SessionID"]

        assert _ctp.disconnect(session.front, reconnect_after=0.05) == 1
        dropped = session.wait_event("FrontDisconnected")
        assert dropped["data"] == {"Reason": 0x1001}
        assert session.send("QryOrder")[1] == -1  # not connected meanwhile
        answer = session.login()  # after the new FrontConnected
        assert answer["SessionID"] != first_session
        assert answer["MaxOrderRef"] == "2"
        assert book(session) == before

    def test_new_connection_sees_the_book(self, session, flow_path):
        fill(session, 1, volume=2)
        before = book(session)
        session.close()
        again = Client(flow_path)
        try:
            again.login()
            assert book(again) == before
        finally:
            again.close()

    def test_answers_in_flight_are_lost_with_the_connection(self, session):
        _ctp.set_options(session.front, {"latency": 0.5})
        session.send("QryInstrument")
        _ctp.disconnect(session.front, reconnect_after=0.01)
        _ctp.set_options(session.front, {"latency": 0.002})
        session.login()
        assert not session.named("RspQryInstrument")

    def test_disconnect_of_unconfigured_front(self, front):
        with pytest.raises(ValueError, match="未配置"):
            _ctp.disconnect("tcp://127.0.0.1:1")
        with pytest.raises(ValueError, match="reconnect_after"):
            _ctp.disconnect(front, -1.0)


class TestQueryFaults:
    @pytest.mark.parametrize("error_id", [90, 154])
    def test_failed_queries(self, session, error_id):
        _ctp.fail_queries(session.front, count=2, error_id=error_id)
        for method in ("QryInstrument", "QryTradingAccount"):
            [answer] = session.query(method)
            assert answer["data"] is None and answer["last"] is True
            assert answer["error"]["ErrorID"] == error_id and answer["error"]["ErrorMsg"]
        assert session.query("QryTradingAccount")[0]["error"] is None

    def test_failures_do_not_touch_orders(self, session):
        _ctp.fail_queries(session.front, count=1)
        rid, _ = session.order(M, "BUY", "0", 1, 2700, 1)
        wait_until(lambda: len(session.named("RtnOrder")) == 2)
        assert session.query("QryOrder")[0]["error"]["ErrorID"] == 90


class TestRequestFaults:
    @pytest.mark.parametrize("code", [-2, -3, -1])
    def test_refused_requests(self, session, code):
        _ctp.refuse_requests(session.front, count=2, code=code)
        assert session.send("QryOrder")[1] == code
        assert session.order(M, "BUY", "0", 1, 2700, 1)[1] == code
        rid, result = session.send("QryOrder")
        assert result == 0
        session.answer("RspQryOrder", rid)
        assert not session.named("RtnOrder")  # the refused order never left

    def test_withheld_answers(self, session):
        _ctp.withhold_answers(session.front, count=1)
        lost, code = session.send("QryTradingAccount")
        assert code == 0
        rid, _ = session.send("QryTradingAccount")
        session.answer("RspQryTradingAccount", rid)
        assert not [e for e in session.pump() if e["request_id"] == lost]

    def test_answers_wait_for_the_latency(self, session):
        _ctp.set_options(session.front, {"latency": 1.0})
        rid, _ = session.send("QryTradingAccount")
        assert _ctp.poll(session.handle) == []
        _ctp.set_options(session.front, {"latency": 0.002})
        session.answer("RspQryTradingAccount", rid)

    def test_inflight_limit(self, session):
        _ctp.set_options(session.front, {"latency": 0.6, "max_inflight": 1})
        first, code = session.send("QryInstrument")
        assert code == 0
        assert session.send("QryOrder")[1] == -2
        session.answer("RspQryInstrument", first)
        assert session.send("QryOrder")[1] == 0

    def test_per_second_limit(self, client):
        client.wait_event("FrontConnected")  # connected, nothing sent yet
        _ctp.set_options(client.front, {"max_per_second": 2})
        assert [client.send("QryOrder")[1] for _ in range(3)] == [0, 0, -3]

    def test_options_checked(self, front):
        with pytest.raises(ValueError, match="max_inflight"):
            _ctp.set_options(front, {"max_inflight": -1})
        with pytest.raises(ValueError, match="trading_day"):
            _ctp.set_options(front, {"trading_day": DAY})  # not an option
        with pytest.raises(ValueError, match="count"):
            _ctp.refuse_requests(front, count=-1)
        with pytest.raises(ValueError, match="code"):
            _ctp.refuse_requests(front, code=0)


class TestTradeFaults:
    def test_duplicate_trade(self, session):
        _ctp.duplicate_trades(session.front, count=1)
        fill(session, 1)
        wait_until(lambda: len(session.named("RtnTrade")) == 2)
        names = [e["name"] for e in session.pump()][-4:]
        assert names == ["RtnOrder", "RtnTrade", "RtnOrder", "RtnTrade"]
        first, second = session.named("RtnTrade")
        assert first == second
        _, trades, _ = book(session)
        assert len(trades) == 1
        fill(session, 2)  # only the next trade was doubled
        assert len(session.named("RtnTrade")) == 3

    def test_trade_before_its_order_return(self, session):
        _ctp.trades_before_orders(session.front, count=1)
        [trade] = fill(session, 1)
        wait_until(lambda: len(session.named("RtnOrder")) == 3)
        names = [e["name"] for e in session.pump()]
        start = names.index("RtnTrade")
        assert names[start : start + 4] == ["RtnTrade", "RtnOrder", "RtnOrder", "RtnOrder"]
        sys_ids = [e["data"]["OrderSysID"] for e in session.named("RtnOrder")]
        assert sys_ids[0] == "" and sys_ids[1] == trade["data"]["OrderSysID"]


class TestTradingDay:
    def test_new_day_settles_the_book(self, session):
        fill(session, 1, volume=2)
        session.order(M, "BUY", "0", 1, 2700, 2)  # working, expires with the day
        wait_until(lambda: len(session.named("RtnOrder")) == 5)
        _ctp.set_price(session.front, M, 2850.0)
        [before] = session.query("QryTradingAccount")
        _ctp.set_trading_day(session.front, "20260609")

        [after] = session.query("QryTradingAccount")
        assert after["data"]["TradingDay"] == "20260609"
        assert after["data"]["PreBalance"] == pytest.approx(before["data"]["Balance"])
        assert after["data"]["Balance"] == pytest.approx(before["data"]["Balance"])
        assert after["data"]["Commission"] == 0.0
        orders, trades, positions = book(session)
        assert orders == [] and trades == []
        [long_m] = [
            p for p in positions if p["InstrumentID"] == "m2609" and p["PosiDirection"] == "2"
        ]
        assert (long_m["Position"], long_m["TodayPosition"], long_m["YdPosition"]) == (2, 0, 2)
        assert all(p["TradingDay"] == "20260609" for p in positions)
        rid, _ = session.order(M, "BUY", "0", 1, 2700, 3)
        assert session.wait_event("RspOrderInsert", rid)["error"]["ErrorID"] == 42

    def test_day_checked(self, front):
        with pytest.raises(ValueError, match="YYYYMMDD"):
            _ctp.set_trading_day(front, "2026069")
