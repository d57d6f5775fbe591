"""Trading event dispatch: defaults, error routing, insert and cancel rejections; frozen volumes."""

import pytest
from trading_helpers import order_row

from zqkit.data import ZqError
from zqkit.livebook import empty_position

SYS = "      100001"


def place(harness, ref, sys_id=SYS, **fields):
    harness.send("RtnOrder", order_row(ref, sys_id, **fields))
    return harness.session.native_orders[f"1:7:{ref}"]


class TestExtraction:
    def test_bare_event_is_an_empty_last_row_without_error(self, harness):
        harness.login()
        request = harness.submit()
        harness.session.inflight["id"] = 0
        harness.session.event({"name": "RspQryInstrument", "data": None})
        assert harness.session.inflight is None and harness.session.instruments == {}
        assert request.method == "QryInstrument"

    def test_unknown_names_are_ignored(self, ready):
        ready.send("RtnInstrumentStatus", {"x": 1})
        ready.send("RspOrderInsert", {"OrderRef": "1"}, error={"ErrorID": 0})

    def test_missing_name(self, ready):
        with pytest.raises(KeyError):
            ready.session.event({"data": {}})


class TestErrorRouting:
    def test_order_requests_are_searched_before_the_query(self, ready):
        native = place(ready, 1)
        request = ready.submit(5)
        native["request_id"] = request.request_id
        ready.send("RspError", request_id=request.request_id, error={"ErrorID": 31})
        assert native["status"] == "REJECTED" and native["status_msg"] == "报单被拒绝"
        assert ready.session.inflight is not None

    def test_cancel_request_error(self, ready):
        native = place(ready, 1)
        native.update(cancel_pending=True, cancel_request_id=77)
        ready.send("RspError", request_id=77, error={"ErrorID": 26})
        assert native["cancel_error"] == "撤单被拒绝" and not native["cancel_pending"]
        assert ready.session.o["1:7:1"]["cancel_error"] == "撤单被拒绝"

    def test_query_error(self, ready):
        request = ready.submit(5)
        ready.send("RspError", request_id=request.request_id, error={"ErrorID": 90})
        assert ready.session.inflight is None and ready.session.pending == {"account"}

    def test_error_on_the_login_request_is_fatal(self, harness):
        harness.session._open_native()
        harness.send("FrontConnected")
        rid = harness.last.request_id
        with pytest.raises(ZqError, match="^CTP 会话错误（错误码：8）：坏$"):
            harness.send("RspError", request_id=rid, error={"ErrorID": 8, "ErrorMsg": "坏"})

    def test_unmatched_errors(self, ready):
        ready.send("RspError", request_id=0, error={"ErrorID": 0})
        with pytest.raises(TimeoutError) as caught:
            ready.send("RspError", request_id=0, error={"ErrorID": 3})
        assert str(caught.value) == "收到无法归属请求的 CTP 错误（错误码：3）"


class TestInsertRejection:
    def test_found_by_reference(self, ready):
        native = place(ready, 1, volume=3, Direction="1", CombOffsetFlag="1")
        ready.session.p["SHFE.rb2610"] = dict(
            empty_position("SHFE.rb2610", 1), pos_long=3, pos_long_his=3, pos=3
        )
        ready.session._recompute_frozen()
        assert ready.session.p["SHFE.rb2610"]["available_long"] == 0
        ready.session.pending.clear()
        ready.send("ErrRtnOrderInsert", {"OrderRef": "1"}, error={"ErrorID": 22})
        assert native["status"] == "REJECTED" and native["is_confirmed"]
        assert native["expected_traded"] == native["volume_traded"] == 0
        assert ready.session.p["SHFE.rb2610"]["available_long"] == 3
        assert ready.session.o["1:7:1"]["status"] == "REJECTED"
        assert ready.session.pending == {"account"}

    def test_found_by_request_number_only(self, ready):
        native = place(ready, 1)
        native["request_id"] = 41
        ready.send("RspOrderInsert", {"OrderRef": "999"}, request_id=41, error={"ErrorID": 22})
        assert native["status"] == "REJECTED"

    def test_success_and_unknown_change_nothing(self, ready):
        native = place(ready, 1)
        ready.send("RspOrderInsert", {"OrderRef": "1"}, error={"ErrorID": 0})
        ready.send("RspOrderInsert", {"OrderRef": "2"}, request_id=5, error={"ErrorID": 22})
        assert native["status"] == "ALIVE"


class TestCancelRejection:
    def test_found_by_system_id_reference_or_request(self, ready):
        a = place(ready, 1, "1")
        b = place(ready, 2, "2")
        c = place(ready, 3, "3")
        for native, number in ((a, 11), (b, 12), (c, 13)):
            native.update(cancel_pending=True, cancel_request_id=number)
        ready.send("ErrRtnOrderAction", {"OrderSysID": " 1 "}, error={"ErrorID": 26})
        ready.send("RspOrderAction", {}, request_id=12, error={"ErrorID": 25})
        data = {"FrontID": 1, "SessionID": 7, "OrderRef": 3}
        ready.send("ErrRtnOrderAction", data, error={"ErrorID": 25})
        assert [n["cancel_error"] for n in (a, b, c)] == ["撤单被拒绝"] * 3

    def test_not_outstanding_or_other_request(self, ready):
        a = place(ready, 1, "1")
        ready.send("ErrRtnOrderAction", {"OrderSysID": "1"}, error={"ErrorID": 26})
        assert a["cancel_error"] is None
        a.update(cancel_pending=True, cancel_request_id=11)
        ready.send("RspOrderAction", {"OrderSysID": "1"}, request_id=12, error={"ErrorID": 26})
        assert a["cancel_pending"] and a["cancel_error"] is None


class TestFrozenVolumes:
    @pytest.fixture
    def book(self, ready):
        ready.session.p["SHFE.rb2610"] = dict(
            empty_position("SHFE.rb2610", 1),
            pos_long=5,
            pos_long_his=2,
            pos_long_today=3,
            pos=5,
        )
        return ready

    def test_mixed_close_orders(self, book):
        session = book.session
        # Placed before the baseline, so that only the calls below compute reservations.
        session.position_ready = False
        place(book, 1, "1", volume=1, Direction="1", CombOffsetFlag="3")
        place(book, 2, "2", volume=3, Direction="1", CombOffsetFlag="1")
        place(book, 3, "3", volume=2, Direction="1", CombOffsetFlag="0")
        place(book, 4, "4", volume=2, Direction="0", CombOffsetFlag="1")
        place(book, 5, "5", volume=2, Direction="1", CombOffsetFlag="1", status="5")
        session.p["SHFE.rb2610"].update(pos_short=2, pos_short_his=2, pos=3)
        session._recompute_frozen()
        assert session._free_parts("SHFE.rb2610", "long") == (0, 1)
        record = session.p["SHFE.rb2610"]
        assert (record["available_long"], record["frozen_long"]) == (1, 4)
        assert (record["available_short"], record["frozen_short"]) == (0, 2)
        assert session._free_parts("DCE.m2609", "long") == (0, 0)

    def test_over_reserved_bucket(self, book):
        book.session.position_ready = False
        place(book, 1, "1", volume=4, Direction="1", CombOffsetFlag="3")
        with pytest.raises(BufferError, match="^有效平仓委托冻结量超过本地持仓$"):
            book.session._free_parts("SHFE.rb2610", "long")

    def test_updated_at_only_on_change(self, book):
        session = book.session
        session._recompute_frozen()
        record = session.p["SHFE.rb2610"]
        stamp = record["updated_at"]
        book.clock.advance(3)
        session._recompute_frozen(symbol="SHFE.rb2610")
        assert record["updated_at"] == stamp
        place(book, 1, "1", volume=1, Direction="1", CombOffsetFlag="4")
        assert record["updated_at"] == int(book.clock.wall * 1000)
        assert record["available_long"] == 4
        session._recompute_frozen(symbol="CZCE.SR609")

    def test_aggregate_blank_system_id(self, ready):
        native = place(ready, 1, "1")
        native["exchange_order_id"] = "   "
        native["status_msg"] = "x"
        ready.session._aggregate()
        order = ready.session.o["1:7:1"]
        assert order["order_sys_id"] is None and order["status_msg"] == "x"
