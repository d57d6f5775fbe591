"""Trading order book: order returns, identifiers, status, held-back finish, consistency checks."""

import pytest
from trading_helpers import order_row, trade_row

SYS = "      100001"


def push(harness, row):
    harness.send("RtnOrder", row)


class TestNewOrders:
    def test_unknown_reference_creates_both_records(self, ready):
        session = ready.session
        push(ready, order_row(12, SYS, status="3", LimitPrice=3501.0, CombOffsetFlag="1"))
        order = session.o["1:7:12"]
        native = session.native_orders["1:7:12"]
        assert list(order) == list(impl_order_keys())
        assert order == {
            "order_id": "1:7:12",
            "order_sys_id": "100001",
            "symbol": "SHFE.rb2610",
            "direction": "BUY",
            "offset": "CLOSE",
            "limit_price": 3501.0,
            "volume_original": 5,
            "volume_traded": 0,
            "volume_left": 5,
            "status": "ALIVE",
            "status_msg": "",
            "cancel_pending": False,
            "cancel_error": None,
            "insert_time": 1780882215000,
        }
        assert native["parent"] == "1:7:12" and native["exchange_order_id"] == SYS
        assert native["close_type"] == "UNSPECIFIED" and native["is_confirmed"]
        assert (native["front"], native["session"], native["ref"]) == (1, 7, "12")
        assert len(native) == 23
        assert session.ref_orders == {(1, 7, "12"): "1:7:12"}
        assert session.system_orders == {"100001": "1:7:12"}
        assert session.revision == 1 and session.order_revisions == {"1:7:12": 1}
        assert session.pending == {"account"} and session.dirty

    def test_known_system_id_binds_a_new_reference(self, ready):
        session = ready.session
        push(ready, order_row(12, SYS))
        push(ready, order_row(40, SYS, FrontID=2, SessionID=8))
        assert list(session.native_orders) == ["1:7:12"]
        assert session.ref_orders[(2, 8, "40")] == "1:7:12"

    def test_offset_falls_back_to_offset_flag(self, ready):
        row = order_row(3, SYS)
        row["CombOffsetFlag"] = ""
        row["OffsetFlag"] = "4"
        ready.session._child(row)
        assert ready.session.o["1:7:3"]["offset"] == "CLOSE_YESTERDAY"

    def test_hedge_orders_are_not_tracked(self, ready):
        push(ready, order_row(12, SYS, CombHedgeFlag="2"))
        push(ready, order_row(13, SYS, CombHedgeFlag=""))
        assert ready.session.native_orders == {}

    @pytest.mark.parametrize(
        "flag, expected", [("1", True), ("13", True), ("2", False), ("", False)]
    )
    def test_speculation_flag(self, impl, flag, expected):
        assert impl.Trading._is_spec_order({"CombHedgeFlag": flag}) is expected
        assert impl.Trading._is_spec_order({}) is False


def impl_order_keys():
    return (
        "order_id order_sys_id symbol direction offset limit_price volume_original volume_traded"
        " volume_left status status_msg cancel_pending cancel_error insert_time"
    ).split()


class TestStatus:
    @pytest.mark.parametrize(
        "status, submit, expected, text",
        [
            ("3", "3", "ALIVE", ""),
            ("a", "0", "ALIVE", ""),
            ("5", "3", "CANCELLED", "剩余委托已不再排队"),
            ("2", "3", "CANCELLED", "剩余委托已不再排队"),
            ("4", "3", "CANCELLED", "剩余委托已不再排队"),
            ("3", "4", "REJECTED", "报单被拒绝"),
            ("0", "4", "REJECTED", "报单被拒绝"),
        ],
    )
    def test_status_table(self, ready, status, submit, expected, text):
        push(ready, order_row(1, SYS, status=status, submit=submit))
        native = ready.session.native_orders["1:7:1"]
        assert (native["status"], native["status_msg"]) == (expected, text)
        assert ready.session.o["1:7:1"]["status"] == expected

    def test_finished_orders_do_not_move_back(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS, status="5"))
        push(ready, order_row(1, SYS, status="3"))
        assert session.native_orders["1:7:1"]["status"] == "CANCELLED"
        push(ready, order_row(1, SYS, submit="4"))
        assert session.native_orders["1:7:1"]["status"] == "REJECTED"
        revision = session.revision
        push(ready, order_row(1, SYS, status="5"))
        assert session.revision == revision

    def test_same_row_twice_counts_one_revision(self, ready):
        push(ready, order_row(1, SYS))
        push(ready, order_row(1, SYS))
        assert ready.session.revision == 1

    def test_cancel_rejected_keeps_text_and_records_error(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS))
        native = session.native_orders["1:7:1"]
        native.update(cancel_pending=True, cancel_request_id=55, status_msg="等待撤单")
        push(ready, order_row(1, SYS, submit="5"))
        assert native["cancel_error"] == "撤单被拒绝" and not native["cancel_pending"]
        assert native["status_msg"] == "等待撤单"
        assert session.o["1:7:1"]["cancel_error"] == "撤单被拒绝"

    def test_close_type(self, ready):
        for ref, flag, expected in [(1, "0", None), (2, "3", "TODAY"), (3, "4", "HISTORY")]:
            push(ready, order_row(ref, f"{ref:>12}", CombOffsetFlag=flag))
            assert ready.session.native_orders[f"1:7:{ref}"]["close_type"] == expected
        push(ready, order_row(4, "4", CombOffsetFlag="1"))
        assert ready.session.native_orders["1:7:4"]["close_type"] == "UNSPECIFIED"


class TestHeldBackFinish:
    def test_filled_before_its_trades(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS))
        push(ready, order_row(1, SYS, status="0", traded=5))
        native = session.native_orders["1:7:1"]
        assert native["status"] == "ALIVE" and native["pending_finish"]
        assert (native["finish_status"], native["finish_msg"]) == ("FILLED", "全部成交")
        assert native["status_msg"] == "" and native["expected_traded"] == 5
        # While held back, only a finished status is accepted.
        revision = session.revision
        push(ready, order_row(1, SYS, status="1", traded=3))
        assert session.revision == revision
        ready.send("RtnTrade", trade_row(1, SYS, 3))
        assert native["status"] == "ALIVE" and native["volume_traded"] == 3
        ready.send("RtnTrade", trade_row(2, SYS, 2))
        assert (native["status"], native["status_msg"]) == ("FILLED", "全部成交")
        assert not native["pending_finish"] and "finish_status" not in native
        assert session.o["1:7:1"]["volume_traded"] == 5

    def test_cancelled_after_part_fill_waits_for_the_trade(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS))
        push(ready, order_row(1, SYS, status="5", traded=2))
        native = session.native_orders["1:7:1"]
        assert native["status"] == "ALIVE" and native["finish_status"] == "CANCELLED"
        ready.send("RtnTrade", trade_row(1, SYS, 2))
        assert (native["status"], native["status_msg"]) == ("CANCELLED", "剩余委托已不再排队")
        assert native["volume_left"] == 3
        assert session.p["SHFE.rb2610"]["pos_long"] == 2


class TestConsistency:
    def test_trading_day_change(self, ready):
        with pytest.raises(TimeoutError, match="^订单回报的交易日发生变化$"):
            push(ready, order_row(1, SYS, TradingDay="20260609"))
        push(ready, order_row(2, "2", TradingDay=""))
        assert "1:7:2" in ready.session.native_orders

    def test_reference_and_system_id_disagree(self, ready):
        push(ready, order_row(1, "1"))
        push(ready, order_row(2, "2"))
        with pytest.raises(BufferError, match="^同一个 CTP OrderSysID 关联到不同订单$"):
            push(ready, order_row(1, "2"))

    def test_system_id_changes(self, ready):
        push(ready, order_row(1, "1"))
        with pytest.raises(BufferError, match="^已有订单的 CTP OrderSysID 发生变化$"):
            push(ready, order_row(1, "9"))

    def test_traded_beyond_the_original_volume(self, ready):
        push(ready, order_row(1, SYS, volume=5))
        ready.send("RtnTrade", trade_row(1, SYS, 4))
        with pytest.raises(BufferError, match="^成交数量超过订单原始数量$"):
            push(ready, order_row(1, SYS, volume=3))

    def test_missing_mandatory_field(self, ready):
        row = order_row(1, SYS)
        del row["OrderStatus"]
        with pytest.raises(KeyError):
            push(ready, row)


class TestQueryRows:
    def test_query_rows_older_than_pushes_are_skipped(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS))
        push(ready, order_row(1, SYS, status="5"))
        # The order changed (revision 2) after a query sent at revision 1.
        session._order(order_row(1, SYS, status="3", submit="4"), query_revision=1)
        assert session.native_orders["1:7:1"]["status"] == "CANCELLED"
        assert session.revision == 2
        session._order(order_row(1, SYS, submit="4"), query_revision=2)
        assert session.native_orders["1:7:1"]["status"] == "REJECTED"

    def test_stale_query_row_does_not_release_buffered_trades(self, ready):
        session = ready.session
        push(ready, order_row(1, ""))
        push(ready, order_row(1, "", status="5"))
        ready.send("RtnTrade", trade_row(1, SYS, 1))
        assert len(session.pending_trades) == 1
        session._order(order_row(1, SYS, status="5"), query_revision=1)
        assert len(session.pending_trades) == 1 and session.t == {}


class TestFillIn:
    def test_parent_limit_price_and_time_are_filled_once(self, ready):
        session = ready.session
        push(ready, order_row(1, SYS, LimitPrice=float("nan")))
        assert session.o["1:7:1"]["limit_price"] is None
        push(ready, order_row(1, SYS, status="1", LimitPrice=3510.0, InsertTime="10:00:00"))
        assert session.o["1:7:1"]["limit_price"] == 3510.0
        assert session.o["1:7:1"]["insert_time"] == 1780884000000
        push(ready, order_row(1, SYS, status="1", LimitPrice=3600.0))
        assert session.o["1:7:1"]["limit_price"] == 3510.0

    def test_insert_time_of_a_bad_date_is_none(self, ready):
        push(ready, order_row(1, SYS, InsertDate=""))
        assert ready.session.o["1:7:1"]["insert_time"] is None
