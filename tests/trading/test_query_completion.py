"""Trading query completion: position snapshot, the baseline check, funds, reaching READY."""

import pytest
from trading_helpers import (
    account_row,
    instrument_row,
    order_row,
    position_row,
    trade_row,
)

from zqkit.data import ZqError
from zqkit.livebook import Position

INSTRUMENTS = [instrument_row("SHFE.rb2610"), instrument_row("DCE.m2609")]


def quantities(record):
    keys = "pos_long pos_long_today pos_long_his pos_short pos_short_today pos_short_his pos"
    return tuple(record[key] for key in keys.split())


@pytest.fixture
def syncing(harness):
    harness.login()
    harness.step(INSTRUMENTS)
    return harness


class TestPositionSnapshot:
    def test_sides_and_today_split(self, syncing):
        rows = [
            position_row("DCE.m2609", "2", 5, 2),
            position_row("DCE.m2609", "3", 3, 0),
            position_row("SHFE.rb2610", "2", 4, 0, "1"),
            position_row("SHFE.rb2610", "2", 6, 6, "2"),
        ]
        result = syncing.session._positions(rows, 77)
        assert quantities(result["DCE.m2609"]) == (5, 2, 3, 3, 0, 3, 2)
        assert quantities(result["SHFE.rb2610"]) == (10, 4, 6, 0, 0, 0, 10)
        assert result["SHFE.rb2610"]["updated_at"] == 77
        assert result["SHFE.rb2610"]["available_long"] == 0

    def test_rows_that_are_skipped_or_refused(self, syncing):
        session = syncing.session
        assert session._positions([position_row("DCE.m2609", "1", HedgeFlag="3")], 1) == {}
        assert session._positions([], 1) == {}
        zero = session._positions([position_row("CZCE.SR609", "2", 0)], 1)
        assert quantities(zero["CZCE.SR609"]) == (0,) * 7
        cases = [
            (position_row("CZCE.SR609", "2", 1, 1), "持仓查询包含 SDK 不支持的合约类别"),
            (position_row("DCE.m2609", "1", 1, 1), "持仓查询包含不支持的净持仓方向"),
            (position_row("DCE.m2609", "2", 1, 2), "柜台持仓快照中的今昨仓数量无效"),
        ]
        for row, message in cases:
            with pytest.raises(ZqError, match=f"^{message}$"):
                session._positions([row], 1)
        with pytest.raises(TimeoutError, match="^持仓查询期间交易日发生变化$"):
            session._positions([position_row("DCE.m2609", TradingDay="20260609")], 1)
        with pytest.raises(KeyError):
            session._positions([{"HedgeFlag": "1", "ExchangeID": "DCE"}], 1)


class TestBaseline:
    def test_accepted_baseline_has_closable_volumes(self, syncing):
        """Every position of the accepted snapshot gets its available and frozen volumes."""
        session = syncing.session
        close = order_row(1, "1", volume=2, Direction="1", CombOffsetFlag="1")
        syncing.step([close])
        syncing.step([])
        syncing.step(
            [
                position_row("SHFE.rb2610", "2", 2, 0, "1"),
                position_row("SHFE.rb2610", "2", 4, 0, "2"),
                position_row("DCE.m2609", "3", 3, 1),
            ]
        )
        syncing.step([])
        rb, m = session.p["SHFE.rb2610"], session.p["DCE.m2609"]
        assert (rb["available_long"], rb["frozen_long"]) == (4, 2)
        assert (rb["available_short"], rb["frozen_short"]) == (0, 0)
        assert (m["available_short"], m["frozen_short"]) == (3, 0)
        assert session.position_ready and session.published_position_time == int(
            syncing.clock.wall * 1000
        )
        assert session.session_status == "SYNCING"
        syncing.step([account_row()])
        assert session.session_status == "READY"

    def test_visible_symbols_missing_from_the_snapshot(self, harness):
        session = harness.session
        for symbol in ("DCE.m2609", "CZCE.SR609"):
            session.positions._data[symbol] = Position(symbol=symbol)
        harness.ready(positions=[position_row("SHFE.rb2610", "3", 1, 1)])
        assert quantities(session.p["DCE.m2609"]) == (0,) * 7
        assert session.p["DCE.m2609"]["available_long"] == 0
        assert quantities(session.p["CZCE.SR609"]) == (None,) * 7
        assert list(session.p) == ["DCE.m2609", "CZCE.SR609", "SHFE.rb2610"]

    def test_trade_between_the_two_trade_queries_repeats(self, syncing):
        session = syncing.session
        orders = [order_row(1, "1", status="1", traded=1, volume=3)]
        syncing.step(orders)
        first = trade_row(1, "1", 1)
        syncing.step([first])
        syncing.step([position_row("SHFE.rb2610", "2", 1, 1)])
        second = trade_row(2, "1", 1)
        syncing.send("RtnTrade", second)
        syncing.step([first, second])
        assert session.sync_index == 2 and not session.position_ready
        assert session.position_candidate is None
        assert session.trade_before == {("SHFE", "1", "0"), ("SHFE", "2", "0")}
        assert syncing.session.phase_time == syncing.clock.now
        syncing.step([first, second])
        syncing.step([position_row("SHFE.rb2610", "2", 2, 2)])
        syncing.step([first, second])
        syncing.step([account_row()])
        assert session.session_status == "READY"
        assert session.p["SHFE.rb2610"]["pos_long"] == 2
        assert session.native_orders["1:7:1"]["volume_traded"] == 2
        assert session.live_trade_buffer == {}
        # The pushed trade arriving again later is a duplicate.
        syncing.send("RtnTrade", second)
        assert session.p["SHFE.rb2610"]["pos_long"] == 2

    def test_pushed_trade_already_in_both_queries_is_not_doubled(self, syncing):
        session = syncing.session
        syncing.step([order_row(1, "1", status="0", traded=1, volume=1)])
        trade = trade_row(1, "1", 1)
        syncing.send("RtnTrade", trade)
        syncing.step([trade])
        syncing.step([position_row("SHFE.rb2610", "2", 1, 1)])
        syncing.step([trade])
        assert session.position_ready and session.p["SHFE.rb2610"]["pos_long"] == 1

    def test_pushed_trade_missing_from_the_second_query_repeats(self, syncing):
        syncing.step([])
        syncing.step([])
        syncing.step([])
        syncing.send("RtnTrade", trade_row(1, "1", 1))
        syncing.step([])
        assert syncing.session.sync_index == 2

    def test_unassigned_trade_repeats(self, syncing):
        syncing.step([])
        orphan = trade_row(1, "404", 1)
        syncing.step([orphan])
        syncing.step([])
        syncing.step([orphan])
        assert syncing.session.sync_index == 2 and syncing.session.pending_trades

    def test_vanished_trade_rebuilds(self, syncing):
        syncing.step([order_row(1, "1", status="0", traded=1, volume=1)])
        syncing.step([trade_row(1, "1", 1)])
        syncing.step([])
        with pytest.raises(TimeoutError, match="^登录期间成交查询结果回退，需要重建会话$"):
            syncing.step([])

    def test_ready_once_and_recovery_closed(self, harness):
        harness.login()
        session = harness.session
        session.recovery.fail()
        changes = []
        original = session._status

        def status(value):
            changes.append(value)
            original(value)

        session._status = status
        harness.sync()
        assert changes == ["READY"] and session.recovery.failures == 0
        harness.submit(5)
        harness.respond([account_row()])
        assert changes == ["READY"] and session.sync_index == 6


class TestFunds:
    def test_account_row_selection(self, ready):
        session = ready.session
        complete = session._complete_account
        usd = account_row(CurrencyID="USD", Balance=1.0)
        other = account_row(AccountID="other", Balance=2.0)
        row = account_row(Balance=3.0, Withdraw=float("inf"), Deposit=None)
        del row["CurrencyID"]
        complete([usd, other, row], 5)
        assert session.a["balance"] == 3.0 and session.a["withdraw"] is None
        assert session.a["deposit"] is None and session.a["updated_at"] == 5
        assert session.a["account_id"] == "000001" and session.a["trading_day"] == "20260608"
        for rows in ([], [account_row(), account_row()], [usd]):
            with pytest.raises(ZqError, match="^完整资金查询中应恰好包含一个人民币账户$"):
                complete(rows, 5)

    def test_new_trading_day_rebuilds(self, ready):
        ready.submit(5)
        with pytest.raises(TimeoutError, match="^资金查询期间交易日发生变化$"):
            ready.respond([account_row(TradingDay="20260609")])

    def test_next_day_login_starts_from_the_new_day(self, ready):
        session = ready.session
        ready.send("FrontDisconnected")
        ready.send("FrontConnected")
        ready.reply("RspAuthenticate", {})
        ready.reply("RspUserLogin", {"TradingDay": "20260609", "FrontID": 1, "SessionID": 8})
        ready.reply("RspSettlementInfoConfirm", {})
        ready.sync(
            positions=[position_row("DCE.m2609", "2", 2, 0, TradingDay="20260609")],
            account=[account_row(TradingDay="20260609")],
        )
        assert session.session_status == "READY" and session.day == "20260609"
        assert quantities(session.p["DCE.m2609"]) == (2, 0, 2, 0, 0, 0, 2)
