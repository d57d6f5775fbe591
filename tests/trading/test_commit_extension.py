"""The C++ commit side by side with the plain version, where the shared tests cannot look.

The extension walks exact dicts, sets and tuples through the C API, compares plain values
without calling `different` and calls its own `_update_view` / `_map_view` directly. Anything
else (a replaced global or method, containers that are not of the exact builtin types) must see
the very same operations in the same order as the plain version.
"""

from __future__ import annotations

import math
import sys
import types

import pytest
from trading_helpers import CONFIG

import reference_trading
import zqkit.data
import zqkit.trading
from zqkit.livebook import Account, LiveMap, Order, Position, Trade


@pytest.fixture
def impl(impl):
    if impl.module is reference_trading:
        pytest.skip("compares the extension with the plain version")
    return impl


def ready_session(cls):
    """A "READY" session with one record of each kind, not yet committed."""
    session = cls(CONFIG, 10, {})
    session.session_status = "READY"
    session.dirty = True
    session.a.update(balance=1000.0, available=900.0)
    session.p["SHFE.rb2610"] = reference_trading.empty_position("SHFE.rb2610", 5)
    session.o["1:7:3"] = {"order_id": "1:7:3", "symbol": "SHFE.rb2610", "volume_left": 2}
    session.t[("SHFE", "1", "0")] = {"trade_id": "1", "price": 3500.0, "volume": 1}
    return session


def both(play):
    """What `play` gives on the plain version and on the extension, run the same way."""
    return [play(cls) for cls in (reference_trading.Trading, zqkit.trading.Trading)]


def values_of(view) -> dict:
    return dict(view._values)


# ---- the class and its signatures -------------------------------------------------------------


class TestSignatures:
    def test_in_class_body_order(self, impl):
        names = list(vars(zqkit.trading.Trading))
        assert names[names.index("__init__") + 1] == "position_view"
        start = names.index("cancel")
        assert names[start : start + 5] == [
            "cancel",
            "_update_view",
            "_map_view",
            "commit",
            "close",
        ]

    def test_keyword_arguments_and_arity(self, impl):
        session = ready_session(impl.Trading)
        changes: dict = {}
        assert session.commit(changes=changes) is True
        view = session.position_view(symbol="SHFE.rb2610")
        assert session.position_view(symbol=None) is session.positions
        assert session._update_view(obj=view, values={"pos": 1}, changes=changes) == set()
        item = session._map_view(
            view=session.orders, key="1:7:3", values={"volume_left": 0}, changes=changes
        )
        assert item is session.orders["1:7:3"] and item.volume_left == 0
        for call in (
            lambda: session.commit(),
            lambda: session.commit({}, {}),
            lambda: session.position_view(),
            lambda: session._update_view(view, {}),
            lambda: session._map_view(session.orders, "k", {}),
            lambda: session._update_view(view, {}, {}, extra={}),
        ):
            with pytest.raises(TypeError):
                call()


# ---- module globals read at call time ---------------------------------------------------------


class TestGlobalsReadAtCallTime:
    def test_a_replaced_different_decides_every_change(self, impl, monkeypatch):
        calls = []

        def different(old, new):
            calls.append((old, new))
            return new == "odd"

        monkeypatch.setattr(zqkit.trading, "different", different)
        session = ready_session(impl.Trading)
        view = Trade(trade_id="1", price=3500.0)
        values = {"price": 3500.0, "other": 1, "trade_id": "odd", "volume": None}
        assert session._update_view(view, values, {}) == {"trade_id"}
        assert calls == [(3500.0, 3500.0), ("1", "odd"), (None, None)]
        assert view.trade_id == "odd" and "other" not in view._values

    def test_the_data_modules_math_is_read_at_call_time(self, impl, monkeypatch):
        def play(cls):
            session = ready_session(cls)
            view = Trade(price=1.0, volume=2.0)
            changed = session._update_view(view, {"price": 2.0, "volume": 2.0}, {})
            return changed, values_of(view)

        before = both(play)
        assert before[0] == before[1] == ({"price"}, values_of(Trade(price=2.0, volume=2.0)))
        monkeypatch.setattr(zqkit.data, "math", types.SimpleNamespace(isnan=lambda x: True))
        after = both(play)
        assert after[0] == after[1]
        assert after[1][0] == set() and after[1][1]["price"] == 2.0  # stored though "unchanged"

    def test_view_classes_and_helpers_are_the_current_globals(self, impl, monkeypatch):
        made = []

        class CountedTrade(Trade):
            def __init__(self, **values):
                made.append(self)
                super().__init__(**values)

        checked = []
        monkeypatch.setattr(zqkit.trading, "Trade", CountedTrade)
        monkeypatch.setattr(zqkit.trading, "check_symbol", checked.append)
        monkeypatch.setattr(
            zqkit.trading,
            "empty_position",
            lambda symbol, updated: dict(reference_trading.empty_position(symbol), pos=7),
        )

        class WidePosition(Position):
            fields = Position.fields + ("pos",)

        monkeypatch.setattr(zqkit.trading, "Position", WidePosition)
        session = ready_session(impl.Trading)
        session.commit({})
        assert made == session.trades and isinstance(session.trades[0], CountedTrade)
        view = session.position_view("DCE.m2609")
        assert checked == ["DCE.m2609"] and type(view) is WidePosition and view.pos == 7


# ---- methods found on the instance ------------------------------------------------------------


class TestMethodsFoundOnTheInstance:
    def test_commit_calls_a_replaced_update_view(self, impl):
        session = ready_session(impl.Trading)
        calls = []

        def update_view(obj, values, changes):
            calls.append((type(obj).__name__, dict(values)))
            return {"mark"}

        session._update_view = update_view
        changes: dict = {}
        session.commit(changes)
        assert [name for name, _ in calls] == ["Account", "Position", "Order", "Trade"]
        assert calls[3][1] == session.t[("SHFE", "1", "0")]
        # What the replacement returned is what the containers' marks collect.
        assert changes[id(session.orders)] == {"mark", "__members__"}
        assert changes[id(session.trades)] == {"mark", "__members__"}
        assert id(session.account) not in changes  # the replacement made no entry

    def test_commit_calls_a_replaced_map_view(self, impl):
        session = ready_session(impl.Trading)
        calls = []
        session._map_view = lambda *args: calls.append(args)
        changes: dict = {}
        session.commit(changes)
        assert calls == [
            (session.positions, "SHFE.rb2610", session.p["SHFE.rb2610"], changes),
            (session.orders, "1:7:3", session.o["1:7:3"], changes),
        ]
        assert len(session.orders) == 0 and len(session.trades) == 1

    def test_map_view_calls_a_replaced_update_view_and_a_subclass_override(self, impl):
        seen = []

        class Sub(impl.Trading):
            def _update_view(self, obj, values, changes):
                seen.append(type(obj).__name__)
                return super()._update_view(obj, values, changes)

        session = ready_session(Sub)
        session.commit({})
        assert seen == ["Account", "Position", "Order", "Trade"]
        session._update_view = lambda obj, values, changes: seen.append("instance") or set()
        session._map_view(session.orders, "new", {}, {})
        assert seen[-1] == "instance"


# ---- containers that are not of the exact builtin types ---------------------------------------

LOG: list = []


class LoggedDict(dict):
    """A dict whose reads and writes are logged."""

    def __iter__(self):
        LOG.append(("iter", type(self).__name__))
        return dict.__iter__(self)

    def __getitem__(self, key):
        LOG.append(("[]", key))
        return dict.__getitem__(self, key)

    def get(self, key, *default):
        LOG.append(("get", key))
        return dict.get(self, key, *default)

    def items(self):
        LOG.append(("items",))
        return dict.items(self)

    def update(self, *args, **kwargs):
        LOG.append(("update", sorted(dict(*args, **kwargs))))
        dict.update(self, *args, **kwargs)

    def setdefault(self, key, default=None):
        LOG.append(("setdefault", type(default).__name__))
        return dict.setdefault(self, key, default)


class LoggedSet(set):
    def update(self, *others):
        LOG.append(("set.update", sorted(map(str, others[0]))))
        set.update(self, *others)

    def add(self, item):
        LOG.append(("set.add", item))
        set.add(self, item)


class LoggedChanges(LoggedDict):
    def setdefault(self, key, default=None):
        LOG.append(("setdefault", type(default).__name__))
        return dict.setdefault(self, key, LoggedSet())


class Text(str):
    def __eq__(self, other):
        LOG.append(("==", str(self), str(other)))
        return str.__eq__(self, other)

    def __ne__(self, other):
        LOG.append(("!=", str(self), str(other)))
        return str.__ne__(self, other)

    __hash__ = str.__hash__


class TestContainersOfOtherTypes:
    def test_update_view_on_logged_values_storage_and_changes(self, impl):
        def play(cls):
            LOG.clear()
            session = ready_session(cls)
            view = Order(order_id="1", status="ALIVE")
            object.__setattr__(view, "_values", LoggedDict(view._values))
            values = LoggedDict(status=Text("FILLED"), extra=1, volume_left=0, order_id="1")
            changes = LoggedChanges()
            changed = session._update_view(view, values, changes)
            return changed, dict(view._values), list(changes.values()), list(LOG)

        plain, extension = both(play)
        assert plain[0] == extension[0] == {"status", "volume_left"}
        assert plain[1:3] == extension[1:3]
        assert plain[3] == extension[3]

    def test_commit_with_logged_changes_and_records(self, impl):
        def play(cls):
            session = ready_session(cls)
            session.o["1:7:3"] = LoggedDict(session.o["1:7:3"])
            session.t = LoggedDict(session.t)
            LOG.clear()
            changes = LoggedChanges()
            session.commit(changes)
            return sorted(map(sorted, changes.values())), list(LOG)

        plain, extension = both(play)
        assert plain == extension

    def test_fields_of_other_types_and_non_str_keys(self, impl):
        class ListFields(Trade):
            fields = list(Trade.fields) + [1]

        def play(cls):
            session = ready_session(cls)
            view = ListFields(price=1.0)
            values = {"price": 2.0, 1: "one", 2: "two", "volume": math.nan}
            changed = session._update_view(view, values, {})
            return changed, dict(view._values)

        plain, extension = both(play)
        assert plain[0] == extension[0] == {"price", 1, "volume"}
        assert plain[1].keys() == extension[1].keys() and extension[1][1] == "one"

    def test_change_rules_match_the_plain_version(self, impl):
        class Money(float):
            pass

        pairs = [
            (math.nan, math.nan),  # both NaN: unchanged
            (math.nan, 1.0),
            (None, 0),  # None to 0 is a change
            (0, 0.0),  # equal numbers of two types: unchanged
            (1, True),
            ("a", Text("a")),
            (Money(1.5), 1.5),
            (Money(math.nan), math.nan),
            (float("inf"), float("inf")),
            ((1, 2), (1, 2)),
        ]

        def play(cls):
            session = ready_session(cls)
            results = []
            for old, new in pairs:
                view = Trade(price=old)
                results.append(session._update_view(view, {"price": new}, {}) == {"price"})
            return results

        plain, extension = both(play)
        assert (
            plain
            == extension
            == [False, True, True, False, False, False, False, False]
            + [
                False,
                False,
            ]
        )


# ---- identity and references over many commits ------------------------------------------------


class TestIdentityOverManyCommits:
    def test_views_registry_and_reference_counts_stay_put(self, impl):
        session = ready_session(impl.Trading)
        session.commit({})
        views = [session.account, session.positions, session.orders, session.trades]
        views += list(session.positions.values()) + list(session.orders.values())
        views += session.trades
        records = [session.a, session.p["SHFE.rb2610"], session.o["1:7:3"]]
        symbol = session.o["1:7:3"]["symbol"]
        counts = [sys.getrefcount(view) for view in views + records + [symbol]]
        for step in range(300):
            session.o["1:7:3"]["volume_left"] = step % 3
            session.a["balance"] = float(step)
            session.dirty = True
            changes: dict = {}
            assert session.commit(changes) is True
            # Every view gets its entry but the trades list, which changed no trade.
            assert set(changes) == {id(view) for view in views} - {id(session.trades)}
        assert [sys.getrefcount(view) for view in views + records + [symbol]] == counts
        assert session.objects == {id(view): view for view in views}
        assert isinstance(session.orders, LiveMap) and isinstance(session.account, Account)

    def test_dropped_views_leave_the_registry(self, impl):
        session = ready_session(impl.Trading)
        session.commit({})
        order, trade = session.orders["1:7:3"], session.trades[0]
        trades = session.trades
        before = sys.getrefcount(order), sys.getrefcount(trade)
        session.o.clear()
        session.t.clear()
        session.reset_pending = session.dirty = True
        changes: dict = {}
        session.commit(changes)
        assert session.trades is trades and trades == [] and len(session.orders) == 0
        assert id(order) not in session.objects and id(trade) not in session.objects
        assert changes[id(session.orders)] == changes[id(trades)] == {"__members__"}
        assert (sys.getrefcount(order), sys.getrefcount(trade)) == (before[0] - 2, before[1] - 3)
