"""Committing the private book into the user's views: what changes, what keeps its identity."""

from __future__ import annotations

import math

import pytest
from trading_helpers import instrument_row, order_row, position_row, trade_row

from zqkit.livebook import Order, Position, Trade

ORDER_ID = "1:7:3"
ORDERS = [order_row(3, "      900001", volume=5, traded=2, status="1")]
TRADES = [trade_row(500001, "      900001", volume=2)]
POSITIONS = [position_row("SHFE.rb2610", "2", 2, 2, "1")]


def live_views(session) -> set[int]:
    """Identities of every view the user can reach from the session."""
    views = [session.account, session.positions, session.orders, session.trades]
    views += list(session.positions.values()) + list(session.orders.values()) + session.trades
    return {id(view) for view in views}


def commit(session) -> dict:
    changes: dict = {}
    session.commit(changes)
    assert set(session.objects) == live_views(session)
    assert all(id(view) == key for key, view in session.objects.items())
    return changes


def reconnect(harness, **answers) -> None:
    harness.send("FrontDisconnected", {"Reason": 4097})
    harness.login()
    harness.sync(**answers)


@pytest.fixture
def book(harness):
    harness.ready(orders=ORDERS, trades=TRADES, positions=POSITIONS)
    return harness


class TestWhenCommitsHappen:
    def test_a_second_commit_without_changes_does_nothing(self, book):
        session = book.session
        assert session.commit({}) is True
        assert not session.dirty and not session.changed.is_set()
        changes: dict = {}
        assert session.commit(changes) is False
        assert changes == {}

    def test_while_syncing_only_the_status_is_published(self, harness):
        session = harness.session
        harness.login()
        harness.sync(orders=ORDERS, trades=TRADES, positions=POSITIONS)
        session.session_status = "SYNCING"  # filled, but not ready yet
        changes: dict = {}
        assert session.commit(changes) is False  # SYNCING was already published
        assert changes == {} and len(session.orders) == 0 and session.trades == []
        session._status("READY")
        assert session.commit(changes) is True and session.published_status == "READY"
        session._status("DISCONNECTED")
        assert session.commit(changes) is True
        session._touch()
        assert session.commit(changes) is False
        assert session.published_status == "DISCONNECTED"

    def test_a_reset_keeps_the_last_committed_views(self, book):
        session = book.session
        commit(session)
        order = session.orders[ORDER_ID]
        book.send("FrontDisconnected", {"Reason": 4097})
        assert session.o == {} and session.commit({}) is True
        assert session.orders[ORDER_ID] is order and order.status == "ALIVE"
        assert len(session.trades) == 1 and session.positions["SHFE.rb2610"].pos_long == 2


class TestFirstCommit:
    def test_new_views_and_their_changed_fields(self, book):
        session = book.session
        changes = commit(session)
        order = session.orders[ORDER_ID]
        assert isinstance(order, Order) and order.volume_traded == 2 and order.status == "ALIVE"
        assert changes[id(order)] == {
            name for name in Order.fields if getattr(order, name) is not None
        }
        assert changes[id(session.orders)] == changes[id(order)] | {"__members__"}
        [trade] = session.trades
        assert isinstance(trade, Trade) and trade.trade_id == "500001" and trade.volume == 2
        assert "__members__" in changes[id(session.trades)]
        position = session.positions["SHFE.rb2610"]
        assert isinstance(position, Position) and position.pos_long == 2
        assert changes[id(session.positions)] >= {"__members__", "pos_long"}
        assert "balance" in changes[id(session.account)]
        assert session.account.balance == 1_000_000.0
        assert not session.reset_pending

    def test_only_published_fields_reach_a_position(self, book):
        session = book.session
        commit(session)
        position = session.positions["SHFE.rb2610"]
        assert set(position._values) == set(Position.fields)


class TestLaterCommits:
    def test_only_changed_fields_are_reported(self, book):
        session = book.session
        commit(session)
        order = session.orders[ORDER_ID]
        book.send("RtnOrder", ORDERS[0] | {"VolumeTraded": 5, "OrderStatus": "0"})
        book.send("RtnTrade", trade_row(500002, "      900001", volume=3))
        changes = commit(session)
        assert session.orders[ORDER_ID] is order
        assert changes[id(order)] == {"volume_traded", "volume_left", "status", "status_msg"}
        assert "__members__" not in changes[id(session.orders)]
        assert changes[id(session.trades)] >= {"__members__", "trade_id", "volume"}
        assert [trade.trade_id for trade in session.trades] == ["500001", "500002"]

    @pytest.mark.parametrize(
        ("before", "after", "changed"),
        [(math.nan, math.nan, False), (None, 0, True), (0, 0.0, False), (1.5, 1.25, True)],
    )
    def test_the_change_rule(self, book, before, after, changed):
        session = book.session
        session.o[ORDER_ID]["limit_price"] = before
        commit(session)
        session.o[ORDER_ID]["limit_price"] = after
        session._touch()
        changes = commit(session)
        order = session.orders[ORDER_ID]
        assert ("limit_price" in changes[id(order)]) is changed
        assert ("limit_price" in changes[id(session.orders)]) is changed
        assert order.limit_price is after

    def test_an_order_that_left_the_book(self, book):
        session = book.session
        commit(session)
        order = session.orders[ORDER_ID]
        del session.o[ORDER_ID]
        session._touch()
        changes = commit(session)
        assert ORDER_ID not in session.orders and id(order) not in session.objects
        assert "__members__" in changes[id(session.orders)]
        assert order.volume_traded == 2  # the user's reference keeps its last values

    def test_trades_stay_unless_the_book_was_reset(self, book):
        session = book.session
        commit(session)
        [trade] = session.trades
        session.t.clear()
        session._touch()
        commit(session)
        assert session.trades == [trade]
        trades = session.trades
        reconnect(book, positions=POSITIONS)  # the counter no longer reports the trade
        changes = commit(session)
        assert session.trades is trades and trades == []
        assert id(trade) not in session.objects and session.trade_views == {}
        assert "__members__" in changes[id(trades)]

    def test_views_keep_their_identity_across_a_reconnect(self, book):
        session = book.session
        commit(session)
        kept = (session.orders[ORDER_ID], session.trades[0], session.positions["SHFE.rb2610"])
        account = session.account
        reconnect(book, orders=ORDERS, trades=TRADES, positions=POSITIONS)
        changes = commit(session)
        assert (session.orders[ORDER_ID], session.trades[0]) == kept[:2]
        assert session.positions["SHFE.rb2610"] is kept[2] and session.account is account
        assert changes[id(kept[0])] == set() and changes[id(kept[1])] == set()
        assert id(session.trades) not in changes

    def test_equal_trade_numbers_of_two_exchanges_are_two_trades(self, book):
        session = book.session
        book.send(
            "RtnOrder",
            order_row(4, "      700001", symbol="DCE.m2609", LimitPrice=3000.0),
        )
        book.send("RtnTrade", trade_row(500001, "      700001", symbol="DCE.m2609", Price=3000.0))
        commit(session)
        assert sorted((t.symbol, t.trade_id) for t in session.trades) == [
            ("DCE.m2609", "500001"),
            ("SHFE.rb2610", "500001"),
        ]


class TestViewHelpers:
    def test_update_view(self, book):
        session = book.session
        order = Order(order_id="x", volume_left=3)
        changes: dict = {}
        changed = session._update_view(
            order, {"volume_left": 3, "status": "ALIVE", "junk": 1}, changes
        )
        assert changed == {"status"} and changes == {id(order): {"status"}}
        assert order._values["volume_left"] == 3 and "junk" not in order._values
        assert session._update_view(obj=order, values={}, changes=changes) == set()
        assert changes[id(order)] == {"status"}

    def test_map_view(self, book):
        session = book.session
        changes: dict = {}
        item = session._map_view(session.orders, "k", {"status": "ALIVE"}, changes)
        assert session.orders["k"] is item and session.objects[id(item)] is item
        assert changes[id(session.orders)] == {"status", "__members__"}
        again = session._map_view(
            view=session.orders, key="k", values={"status": "ALIVE"}, changes=changes
        )
        assert again is item


class TestPositionView:
    def test_the_map_itself_for_none(self, book):
        assert book.session.position_view(None) is book.session.positions

    def test_created_on_demand_without_a_report(self, harness):
        session = harness.session
        view = session.position_view("SHFE.rb2610")
        assert isinstance(view, Position) and view.symbol == "SHFE.rb2610"
        assert view.pos_long is None and view.available_short is None
        assert session.position_view(symbol="SHFE.rb2610") is view
        assert session.objects[id(view)] is view and not session.dirty
        assert session.p["SHFE.rb2610"]["pos_long"] is None

    def test_after_the_baseline_an_unknown_position_is_flat(self, book):
        session = book.session
        commit(session)
        view = session.position_view("DCE.m2609")
        assert (view.pos_long, view.pos_short, view.available_long) == (0, 0, 0)
        assert session.p["DCE.m2609"]["pos_long"] == 0

    def test_a_record_already_in_the_book_is_kept(self, book):
        session = book.session
        view = session.position_view("SHFE.rb2610")  # before any commit
        assert view.pos_long == 0 and session.p["SHFE.rb2610"]["pos_long"] == 2
        commit(session)
        assert session.positions["SHFE.rb2610"] is view and view.pos_long == 2

    def test_symbols_are_checked(self, book):
        session = book.session
        with pytest.raises(ValueError, match="合约不存在或不是支持的期货或期权合约"):
            session.position_view("SHFE.rb2611")
        with pytest.raises(ValueError):
            session.position_view("rb2610")
        session.instruments.clear()
        assert session.position_view("SHFE.rb2611").symbol == "SHFE.rb2611"

    def test_views_made_on_demand_are_published_later(self, harness):
        session = harness.session
        view = session.position_view("SHFE.rb2610")
        harness.ready(
            instruments=[instrument_row("SHFE.rb2610")],
            positions=POSITIONS,
        )
        commit(session)
        assert session.positions["SHFE.rb2610"] is view and view.pos_long == 2
