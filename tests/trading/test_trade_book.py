"""Trading trades: identity, duplicates, the unassigned buffer, volumes, positions."""

import pytest
from trading_helpers import instrument_row, order_row, trade_row

from zqkit.livebook import Position, empty_position

SYS = "      100001"


def place(harness, ref, sys_id, volume=5, **fields):
    harness.send("RtnOrder", order_row(ref, sys_id, volume=volume, **fields))


def position(symbol, **values):
    record = empty_position(symbol, 1)
    record.update(values)
    return record


class TestIdentity:
    def test_trade_record(self, ready):
        session = ready.session
        place(ready, 1, SYS)
        ready.send("RtnTrade", trade_row("77", SYS, 2, Price=3502.0))
        key = ("SHFE", "77", "0")
        assert list(session.t) == [key]
        assert session.t[key] == {
            "trade_id": "77",
            "order_sys_id": "100001",
            "symbol": "SHFE.rb2610",
            "direction": "BUY",
            "offset": "OPEN",
            "price": 3502.0,
            "volume": 2,
            "trade_time": 1780882216000,
        }

    def test_duplicates_are_applied_once(self, ready):
        session = ready.session
        place(ready, 1, SYS)
        row = trade_row(1, SYS, 2)
        assert session._trade(row, update_position=True) is True
        assert session._trade(dict(row, TradeID="1"), update_position=True) is False
        assert session.native_orders["1:7:1"]["volume_traded"] == 2
        assert session.p["SHFE.rb2610"]["pos_long"] == 2

    def test_equal_trade_ids_of_two_exchanges_are_two_trades(self, ready):
        session = ready.session
        place(ready, 1, "1")
        place(ready, 2, "2", symbol="DCE.m2609")
        assert session._trade(trade_row(5, "1", 1), update_position=True)
        assert session._trade(trade_row(5, "2", 1, symbol="DCE.m2609"), update_position=True)
        assert session.p["SHFE.rb2610"]["pos_long"] == 1
        assert session.p["DCE.m2609"]["pos_long"] == 1
        assert {trade["trade_id"] for trade in session.t.values()} == {"5"}
        assert len(session.t) == 2

    def test_both_sides_of_a_self_trade_count(self, ready):
        session = ready.session
        session.p["SHFE.rb2610"] = position("SHFE.rb2610", pos_long=3, pos_long_his=3)
        place(ready, 1, "1", volume=1)
        place(ready, 2, "2", volume=1, Direction="1", CombOffsetFlag="1")
        ready.send("RtnTrade", trade_row(9, "1", 1))
        ready.send("RtnTrade", trade_row(9, "2", 1, Direction="1", OffsetFlag="1"))
        record = session.p["SHFE.rb2610"]
        assert (record["pos_long"], record["pos_long_today"], record["pos_long_his"]) == (3, 1, 2)
        assert len(session.t) == 2

    def test_trade_id_is_required(self, ready):
        for row in (
            trade_row("", SYS),
            {k: v for k, v in trade_row(1, SYS).items() if k != "TradeID"},
        ):
            with pytest.raises(BufferError, match="^CTP 成交回报缺少 TradeID$"):
                ready.session._trade(row, update_position=True)

    def test_hedge_trades_change_nothing(self, ready):
        session = ready.session
        place(ready, 1, SYS)
        row = trade_row(1, SYS, 1, HedgeFlag="3")
        assert session._trade(row, update_position=True) is False
        assert session.t == {} and session.pending_trades == {}
        assert session._trade(dict(row, HedgeFlag="1"), update_position=True) is True

    def test_trading_day_change(self, ready):
        with pytest.raises(TimeoutError, match="^成交回报的交易日发生变化$"):
            ready.session._trade(trade_row(1, SYS, TradingDay="20260609"), update_position=True)


class TestUnassigned:
    def test_trade_before_its_order_is_released_by_the_return(self, ready):
        session = ready.session
        place(ready, 1, "")
        ready.send("RtnTrade", trade_row(1, SYS, 2))
        ready.send("RtnTrade", trade_row(2, SYS, 1))
        assert list(session.pending_trades) == [("SHFE", "1", "0"), ("SHFE", "2", "0")]
        assert session.t == {}
        place(ready, 1, SYS, status="1", traded=3)
        assert session.pending_trades == {} and len(session.t) == 2
        assert session.native_orders["1:7:1"]["volume_traded"] == 3
        assert session.p["SHFE.rb2610"]["pos_long"] == 3

    def test_empty_system_id_is_buffered(self, ready):
        session = ready.session
        assert session._trade(trade_row(1, "   "), update_position=True) is False
        assert session._trade(trade_row(1, "   "), update_position=True) is False
        assert len(session.pending_trades) == 1

    def test_buffer_limit(self, ready):
        session = ready.session
        for number in range(32768):
            session.pending_trades[("X", str(number), "0")] = {}
        with pytest.raises(BufferError, match="^未关联订单的成交暂存队列已满$"):
            session._trade(trade_row(1, SYS), update_position=True)
        session.pending_trades.popitem()
        assert session._trade(trade_row(1, SYS), update_position=True) is False


class TestVolumes:
    @pytest.mark.parametrize("volume", [2.0, True, 0, -1, "2"])
    def test_invalid_volume(self, ready, volume):
        place(ready, 1, SYS)
        with pytest.raises(BufferError, match="^成交数量无效$"):
            ready.session._trade(trade_row(1, SYS, volume), update_position=True)

    def test_more_than_the_order(self, ready):
        place(ready, 1, SYS, volume=2)
        ready.send("RtnTrade", trade_row(1, SYS, 2))
        with pytest.raises(BufferError, match="^成交数量超过订单原始数量$"):
            ready.send("RtnTrade", trade_row(2, SYS, 1))

    def test_last_lot_fills_an_order_the_counter_still_shows_alive(self, ready):
        session = ready.session
        place(ready, 1, SYS, volume=2)
        session.native_orders["1:7:1"].update(cancel_pending=True, cancel_error="x")
        ready.send("RtnTrade", trade_row(1, SYS, 2))
        native = session.native_orders["1:7:1"]
        assert (native["status"], native["status_msg"], native["volume_left"]) == (
            "FILLED",
            "全部成交",
            0,
        )
        assert not native["cancel_pending"] and native["cancel_error"] is None
        assert session.o["1:7:1"]["status"] == "FILLED"


class TestPositions:
    def test_open_creates_the_position(self, ready):
        session = ready.session
        place(ready, 1, SYS, symbol="DCE.m2609")
        ready.send("RtnTrade", trade_row(1, SYS, 2, symbol="DCE.m2609"))
        record = session.p["DCE.m2609"]
        assert (record["pos_long"], record["pos_long_today"], record["pos"]) == (2, 2, 2)
        assert record["updated_at"] == int(ready.clock.wall * 1000)
        assert record["available_long"] == 2 and record["frozen_long"] == 0

    def test_plain_close_takes_earlier_days_first(self, ready):
        session = ready.session
        session.p["DCE.m2609"] = position(
            "DCE.m2609", pos_long=5, pos_long_his=1, pos_long_today=4, pos=5
        )
        session._apply_position_trade(
            trade_row(1, SYS, 3, symbol="DCE.m2609", Direction="1", OffsetFlag="1")
        )
        record = session.p["DCE.m2609"]
        assert (record["pos_long"], record["pos_long_his"], record["pos_long_today"]) == (2, 0, 2)
        assert record["pos"] == 2

    def test_close_today_beyond_today_lots(self, ready):
        session = ready.session
        session.p["SHFE.rb2610"] = position(
            "SHFE.rb2610", pos_long=7, pos_long_his=5, pos_long_today=2
        )
        with pytest.raises(BufferError, match="^平仓成交数量超过本地对应今昨仓$"):
            session._apply_position_trade(trade_row(1, SYS, 3, Direction="1", OffsetFlag="3"))

    def test_close_yesterday_and_buy_close(self, ready):
        session = ready.session
        session.p["SHFE.rb2610"] = position(
            "SHFE.rb2610", pos_short=4, pos_short_his=3, pos_short_today=1, pos=-4
        )
        session._apply_position_trade(trade_row(1, SYS, 2, OffsetFlag="4"))
        record = session.p["SHFE.rb2610"]
        assert (record["pos_short"], record["pos_short_his"], record["pos"]) == (2, 1, -2)
        with pytest.raises(BufferError, match="^平仓成交数量超过本地持仓$"):
            session._apply_position_trade(trade_row(2, SYS, 1, Direction="1", OffsetFlag="1"))

    def test_unknown_position_stays_unknown(self, harness):
        """A trade on a visible symbol the instruments query no longer lists is still recorded."""
        session = harness.session
        session.positions._data["CZCE.SR609"] = Position(symbol="CZCE.SR609")
        harness.ready()
        assert session.p["CZCE.SR609"]["pos_long"] is None
        place(harness, 1, SYS, symbol="CZCE.SR609", volume=2)
        harness.send("RtnTrade", trade_row(1, SYS, 2, symbol="CZCE.SR609"))
        assert session.native_orders["1:7:1"]["status"] == "FILLED"
        assert len(session.t) == 1 and session.error is None
        record = session.p["CZCE.SR609"]
        assert record["pos_long"] is None and record["available_long"] is None
        assert record["updated_at"] is None


class TestLoginBuffer:
    def test_trades_before_sync_are_dropped(self, harness):
        harness.session._open_native()
        harness.send("FrontConnected")
        harness.reply("RspAuthenticate", {})
        harness.send("RtnTrade", trade_row(1, SYS))
        harness.send("RtnOrder", order_row(1, SYS))
        assert harness.session.live_trade_buffer == {} and harness.session.o == {}

    def test_pushed_trades_wait_for_the_baseline(self, harness):
        harness.login()
        harness.step([instrument_row("SHFE.rb2610")])
        harness.send("RtnTrade", trade_row(1, SYS))
        harness.send("RtnTrade", trade_row(1, SYS, Price=1.0))
        harness.send("RtnTrade", trade_row(2, SYS, HedgeFlag="2"))
        buffer = harness.session.live_trade_buffer
        assert (
            list(buffer) == [("SHFE", "1", "0")] and buffer[("SHFE", "1", "0")]["Price"] == 3500.0
        )
        assert harness.session.t == {} and harness.session.pending_trades == {}
        with pytest.raises(BufferError, match="^CTP 成交回报缺少 TradeID$"):
            harness.send("RtnTrade", trade_row("", SYS))

    def test_login_buffer_limit(self, harness):
        harness.login()
        buffer = harness.session.live_trade_buffer
        for number in range(32767):
            buffer[("X", str(number), "0")] = {}
        harness.send("RtnTrade", trade_row(1, SYS))
        assert len(buffer) == 32768
        with pytest.raises(BufferError, match="^登录期间的成交回报暂存队列已满$"):
            harness.send("RtnTrade", trade_row(2, SYS))
