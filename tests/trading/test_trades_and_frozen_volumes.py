"""The extension's trade book, frozen volumes and aggregation against the reference.

The shared suite drives both on plain dicts, strs and ints, where the C++ fast paths answer.
Here the same calls go to both through mappings, strs and ints that log every access Python
makes, so the paths that hand such objects back to Python must read, call, compare and fail in
the same order; the rest checks what only the extension could get wrong (globals read at call
time, methods looked up on the instance, Python signatures).
"""

from __future__ import annotations

import pytest
from trading_helpers import DAY, order_row, trade_row

import reference_trading
from zqkit.livebook import empty_position

SYMBOL = "SHFE.rb2610"


@pytest.fixture
def extension(impl, clock, monkeypatch):
    if impl.Trading is reference_trading.Trading:
        pytest.skip("compares the extension with the reference")
    monkeypatch.setattr(reference_trading, "time", clock)  # the reference runs beside it
    return impl


# ---- objects that log what Python does with them ----------------------------------------------


def logging(base, name, label=None):
    """`base.name`, writing (label or the object's own label, name, arguments) to the log."""
    method = getattr(base, name)

    def logged(self, *args, **kwargs):
        entry = (label or self.label, name, *args, *kwargs.items())
        (self.log if isinstance(self, dict) else type(self).log).append(entry)
        result = method(self, *args, **kwargs)
        if type(result) in (int, str) and isinstance(self, type(result)):
            return (Lots if type(result) is int else Text)(result)  # logging on
        return result

    return logged


class Logged(dict):
    """A dict subclass writing every access to a shared log."""

    def __init__(self, log, label, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.log, self.label = log, label

    locals().update(
        (name, logging(dict, name))
        for name in ("__getitem__", "__setitem__", "__contains__", "__len__", "get", "pop")
    )
    locals().update((name, logging(dict, name)) for name in ("update", "values", "items"))


class Text(str):
    """A str subclass whose strip, equality and concatenation are logged."""

    log: list = []
    __hash__ = str.__hash__
    locals().update(
        (name, logging(str, name, "str")) for name in ("__eq__", "__ne__", "__add__", "strip")
    )


class Lots(int):
    """An int subclass whose comparisons and arithmetic are logged (volumes, positions)."""

    log: list = []
    __hash__ = int.__hash__
    locals().update(
        (name, logging(int, name, "int"))
        for name in ("__eq__", "__ne__", "__lt__", "__gt__", "__le__", "__ge__")
        + ("__add__", "__radd__", "__sub__", "__rsub__")
    )


ATTRIBUTES = {"t", "p", "o", "day", "system_orders", "pending_trades", "native_orders"}
ATTRIBUTES |= {"_trade_id", "_trade_key", "_apply_position_trade", "_recompute_frozen"}
ATTRIBUTES |= {"_free_parts", "_aggregate", "_schedule_account", "_touch", "_is_spec_trade"}


def logging_session(cls, log):
    """A session of `cls` logging reads of the book's attributes; the methods of other groups
    are stood in for by Python that logs its calls."""

    class Session(cls):
        def __getattribute__(self, name):
            if name in ATTRIBUTES:
                log.append(("self", name))
            return super().__getattribute__(name)

        @staticmethod
        def _is_spec_trade(row):
            return row.get("HedgeFlag") == "1"

        def _schedule_account(self):
            log.append(("call", "_schedule_account"))

        def _touch(self):
            log.append(("call", "_touch"))

    session = Session(None, 10, {})
    session.day = DAY
    for name in ("t", "p", "o", "system_orders", "pending_trades", "native_orders"):
        setattr(session, name, Logged(log, name))
    return session


def native_order(log, number, *, direction="SELL", close_type="UNSPECIFIED", left=2, **fields):
    order_id = f"1:7:{number}"
    order = {
        "order_id": order_id,
        "parent": order_id,
        "symbol": Text(SYMBOL),
        "direction": Text(direction),
        "offset": Text("CLOSE"),
        "exchange_order_id": Text(f"  {100000 + number}"),
        "close_type": close_type,
        "volume_original": Lots(left),
        "volume_traded": Lots(0),
        "volume_left": Lots(left),
        "status": Text("ALIVE"),
        "status_msg": "",
        "cancel_pending": False,
        "cancel_error": None,
        "pending_finish": False,
        "expected_traded": 0,
        "finish_status": None,
        "finish_msg": "",
    }
    order.update(fields)
    return Logged(log, order_id, order)


def fill_book(session, log):
    """Long 7 (3 earlier days, 4 today) and short 2 of SYMBOL; three working closes of the long
    side (plain, today, history), one close of the short side and a finished close."""
    position = empty_position(SYMBOL, 1)
    position.update(pos_long=7, pos_long_his=3, pos_long_today=4, pos_short=2, pos_short_his=2)
    session.p[SYMBOL] = Logged(
        log, "position", {k: Lots(v) if type(v) is int else v for k, v in position.items()}
    )
    orders = [
        native_order(log, 1, left=2),
        native_order(log, 2, close_type="TODAY", left=1),
        native_order(log, 3, close_type="HISTORY", left=1),
        native_order(log, 4, direction="BUY", close_type=None, left=1),
        native_order(log, 5, status=Text("FILLED")),
    ]
    for order in orders:
        dict.__setitem__(session.native_orders, order["order_id"], order)
        dict.__setitem__(
            session.system_orders, order["exchange_order_id"].strip(), order["order_id"]
        )
        record = {"order_id": order["order_id"], "order_sys_id": None}
        dict.__setitem__(session.o, order["order_id"], Logged(log, "record", record))
    log.clear()


def outcome(action):
    try:
        return "returned", action()
    except Exception as error:  # the comparison is the point: any exception
        return "raised", type(error), str(error)


def state(session):
    def plain(value):
        return {k: plain(v) for k, v in value.items()} if isinstance(value, dict) else value

    return {name: plain(getattr(session, name)) for name in ("t", "p", "o", "pending_trades")} | {
        "native_orders": plain(session.native_orders)
    }


def exact(value):
    """The same book in exact dicts, strs and ints, where the C++ fast paths answer."""
    if isinstance(value, dict):
        return {exact(key): exact(item) for key, item in dict.items(value)}
    if isinstance(value, str):
        return str.__str__(value)
    return int(value) if type(value) is Lots else value


def run_both(extension, act, *, exact_types=False):
    """`act(session)` on a logged book of each implementation: outcome, log, state."""
    results = []
    for cls in (reference_trading.Trading, extension.Trading):
        log: list = []
        Text.log = Lots.log = log
        session = logging_session(cls, log)
        fill_book(session, log)
        if exact_types:
            for name in ("t", "p", "o", "system_orders", "pending_trades", "native_orders"):
                object.__setattr__(session, name, exact(object.__getattribute__(session, name)))
        result = outcome(lambda session=session: act(session))
        captured = list(log)
        Text.log = Lots.log = []  # comparing the results below must not add to `captured`
        results.append((result, captured, state(session)))
    return results


def assert_same(extension, act, *, exact_types=False):
    (reference, reference_log, reference_state), (ours, our_log, our_state) = run_both(
        extension, act, exact_types=exact_types
    )
    assert ours == reference
    assert our_log == reference_log
    assert our_state == reference_state
    return reference


def logged_trade(**fields):
    """A trade row of 2 lots for order 1 of the book, logging into the running log."""
    row = trade_row(11, Text(" 100001"), 2, **fields)
    if "TradeID" not in fields:
        row["TradeID"] = Text(row["TradeID"])
    return Logged(Text.log, "row", row)


# ---- the same calls, the same accesses -------------------------------------------------------


class TestSameAccessesAsPython:
    TRADES = {
        "open": {},
        "plain-close": {"Direction": "1", "OffsetFlag": "1"},
        "close-today": {"Direction": "1", "OffsetFlag": "3"},
        "close-yesterday-too-much": {"Direction": "1", "OffsetFlag": "4", "Volume": 4},
        "close-more-than-held": {"Direction": "1", "OffsetFlag": "1", "Volume": 8},
        "unassigned": {"OrderSysID": Text(" 999")},
        "other-day": {"TradingDay": "20260609"},
        "float-volume": {"Volume": 2.0},
        "hedge": {"HedgeFlag": "3"},
    }

    @pytest.mark.parametrize("fields", TRADES.values(), ids=TRADES)
    def test_trade(self, extension, fields):
        assert_same(extension, lambda s: s._trade(logged_trade(**fields), update_position=True))

    def test_trade_that_releases_a_held_finish(self, extension):
        def act(session):
            order = session.native_orders["1:7:1"]
            dict.update(order, pending_finish=True, expected_traded=2, finish_status="FILLED")
            return session._trade(logged_trade(), update_position=False)

        assert assert_same(extension, act) == ("returned", True)

    def test_trade_repeated_and_buffered_twice(self, extension):
        def act(session):
            first = session._trade(logged_trade(), update_position=True)
            again = session._trade(logged_trade(), update_position=True)
            unknown = logged_trade(OrderSysID="  ", TradeID=Text("12"))
            return first, again, [session._trade(unknown, update_position=True) for _ in "ab"]

        assert assert_same(extension, act) == ("returned", (True, False, [False, False]))

    @pytest.mark.parametrize(
        "trade_id",
        [Text("\u3000 7\t\x1c"), "\u3000 7\t\x1c\x85", " 7 ", "7", Text("7")],
        ids=["logged", "unicode-space", "spaces", "bare", "logged-bare"],
    )
    def test_trade_key(self, extension, trade_id):
        act = lambda s: s._trade_key(logged_trade(TradeID=trade_id))  # noqa: E731
        assert assert_same(extension, act) == ("returned", ("SHFE", "7", "0"))

    @pytest.mark.parametrize("trade_id", ["", " \u2003\n", Text("  "), None])
    def test_trade_id_missing(self, extension, trade_id):
        row = {} if trade_id is None else {"TradeID": trade_id}
        act = lambda s: s._trade_id(Logged(Text.log, "row", row))  # noqa: E731
        assert assert_same(extension, act)[:2] == ("raised", BufferError)

    def test_position_trade_on_a_new_and_an_unknown_symbol(self, extension):
        def act(session):
            session._apply_position_trade(logged_trade(InstrumentID="rb2701"))
            dict.__setitem__(session.p, "SHFE.rb2801", empty_position("SHFE.rb2801"))
            session._apply_position_trade(logged_trade(InstrumentID="rb2801"))

        assert_same(extension, act)

    @pytest.mark.parametrize(
        ("flag", "volume"), [("0", 2), ("1", 4), ("3", 3), ("3", 5), ("4", 2), ("4", 4), ("1", 8)]
    )
    def test_position_trade_of_logged_lots(self, extension, flag, volume):
        # Not through _trade, which takes exact ints only: the comparisons' operands show.
        def act(session):
            row = logged_trade(Direction="1", OffsetFlag=flag, Volume=Lots(volume))
            session._apply_position_trade(row)

        assert_same(extension, act)

    @pytest.mark.parametrize("side", ["long", "short", Text("long")])
    def test_free_parts(self, extension, side):
        assert assert_same(extension, lambda s: s._free_parts(SYMBOL, side))[0] == "returned"

    @pytest.mark.parametrize("side", [1, "flat", None])
    def test_free_parts_of_a_side_that_is_not_one(self, extension, side):
        assert assert_same(extension, lambda s: s._free_parts(SYMBOL, side))[0] == "raised"

    def test_free_parts_reserving_more_than_held(self, extension):
        def act(session):
            dict.__setitem__(session.native_orders["1:7:2"], "volume_left", Lots(5))
            return session._free_parts(SYMBOL, "long")

        assert assert_same(extension, act)[:2] == ("raised", BufferError)

    @pytest.mark.parametrize("symbol", [None, SYMBOL, "SHFE.rb2701"])
    def test_recompute_frozen(self, extension, symbol):
        assert_same(extension, lambda s: s._recompute_frozen(symbol=symbol))

    def test_recompute_frozen_skips_unknown_positions(self, extension):
        def act(session):
            dict.__setitem__(session.p, "SHFE.rb2801", empty_position("SHFE.rb2801"))
            session._recompute_frozen()

        assert_same(extension, act)

    def test_aggregate(self, extension):
        def act(session):
            session._aggregate()
            session._aggregate(session.native_orders["1:7:2"])

        assert_same(extension, act)

    @pytest.mark.parametrize("mapping", [dict, "logged"])
    def test_orders_changed_while_they_are_scanned(self, extension, mapping):
        class Growing(str):
            __hash__ = str.__hash__

            def __ne__(self, other):
                dict.__setitem__(session_of[0].native_orders, "new", {})
                return str.__ne__(self, other)

        session_of = []

        def act(session):
            session_of[:] = [session]
            if mapping is dict:
                session.native_orders = dict(session.native_orders)
            dict.__setitem__(session.native_orders["1:7:1"], "symbol", Growing(SYMBOL))
            return session._free_parts(SYMBOL, "long")

        result = assert_same(extension, act)
        assert result == ("raised", RuntimeError, "dictionary changed size during iteration")


def take(mapping, key):
    del mapping[key]


class TestExactTypesFailAsPython:
    """Plain dicts, strs and ints take the C API paths: a missing or odd field must raise what
    Python raises, after the same partial changes."""

    FAILURES = {
        "order-id-unknown": lambda s: (
            s.system_orders.update({"100001": ("gone", 1)}),
            s._trade(trade_row(11, " 100001", 2), update_position=True),
        ),
        "finish-status-missing": lambda s: (
            s.native_orders["1:7:1"].update(pending_finish=True, expected_traded=2),
            take(s.native_orders["1:7:1"], "finish_status"),
            s._trade(trade_row(11, " 100001", 2), update_position=True),
        ),
        "finish-msg-missing": lambda s: (
            take(s.native_orders["1:7:1"], "finish_msg"),
            s.native_orders["1:7:1"].update(pending_finish=True, finish_status="FILLED"),
            s._trade(trade_row(11, " 100001", 2), update_position=True),
        ),
        "price-missing": lambda s: s._trade(
            {k: v for k, v in trade_row(11, " 100001", 2).items() if k != "Price"},
            update_position=True,
        ),
        "volume-beyond-the-order": lambda s: s._trade(
            trade_row(11, " 100001", 2**70), update_position=True
        ),
        "volume-missing": lambda s: s._apply_position_trade(
            {"ExchangeID": "SHFE", "InstrumentID": "rb2610"}
        ),
        "offset-none": lambda s: s._apply_position_trade(
            trade_row(1, "", Direction="1", OffsetFlag=None)
        ),
        "bucket-missing": lambda s: (
            take(s.p[SYMBOL], "pos_long_his"),
            s._free_parts(SYMBOL, "long"),
        ),
        "short-side-missing": lambda s: (take(s.p[SYMBOL], "pos_short"), s._recompute_frozen()),
        "field-missing": lambda s: (take(s.native_orders["1:7:2"], "cancel_error"), s._aggregate()),
        "symbol-none": lambda s: (
            s.native_orders["1:7:3"].update(symbol=None),
            s._free_parts(SYMBOL, "long"),
        ),
        "float-volume-left": lambda s: (
            s.native_orders["1:7:1"].update(volume_left=2.5),
            s._recompute_frozen(),
        ),
    }

    @pytest.mark.parametrize("act", FAILURES.values(), ids=FAILURES)
    def test_same_outcome_and_book(self, extension, act):
        assert_same(extension, act, exact_types=True)


# ---- what the extension reads at call time and looks up on the instance ------------------------


class TestLateBinding:
    def test_module_globals_are_read_at_each_call(self, extension, ready, monkeypatch):
        session = ready.session
        ready.send("RtnOrder", order_row(1, "1", volume=5))
        monkeypatch.setattr(extension.module, "timestamp", lambda day, clock: ("at", day, clock))
        monkeypatch.setattr(extension.module, "order_offset", lambda flag: ("offset", flag))
        marked = dict(empty_position(SYMBOL, 0), marked=True)
        monkeypatch.setattr(extension.module, "empty_position", lambda symbol, now: dict(marked))
        session.p.pop(SYMBOL, None)
        ready.clock.wall = 1_790_000_000.5
        assert session._trade(trade_row(1, "1", 2), update_position=True)
        record = session.t[("SHFE", "1", "0")]
        assert record["trade_time"] == ("at", DAY, "09:30:16")
        assert record["offset"] == ("offset", "0")
        position = session.p[SYMBOL]
        assert position["marked"] and position["pos_long"] == 2
        assert position["updated_at"] == 1_790_000_000_500

    def test_methods_set_on_the_instance_are_called(self, extension, ready):
        session = ready.session
        ready.send("RtnOrder", order_row(1, "1", volume=5))
        calls = []

        def record(name, result=None):
            def method(*args, **kwargs):
                calls.append((name, args, kwargs))
                return result

            setattr(session, name, method)

        for name in ("_apply_position_trade", "_recompute_frozen", "_aggregate"):
            record(name)
        record("_schedule_account")
        record("_touch")
        record("_trade_key", ("X", "own", "1"))
        row = trade_row(1, "1", 2)
        assert session._trade(row, update_position=True)
        order = session.native_orders["1:7:1"]
        assert calls == [
            ("_trade_key", (row,), {}),
            ("_apply_position_trade", (row,), {}),
            ("_recompute_frozen", (), {"symbol": SYMBOL}),
            ("_aggregate", (order,), {}),
            ("_schedule_account", (), {}),
            ("_touch", (), {}),
        ]
        assert session.t[("X", "own", "1")]["trade_id"] == "own"

    def test_key_and_recompute_use_the_instance_methods(self, extension, ready):
        session = ready.session
        session.p[SYMBOL] = empty_position(SYMBOL, 1) | {"pos_long": 5, "pos_short": 1}
        session._trade_id = lambda row: "own"
        session._free_parts = lambda symbol, side: (1, 2) if side == "long" else (0, 1)
        assert session._trade_key(trade_row(1, "1")) == ("SHFE", "own", "0")
        session._recompute_frozen(symbol=SYMBOL)
        position = session.p[SYMBOL]
        assert (position["available_long"], position["frozen_long"]) == (3, 2)
        assert (position["available_short"], position["frozen_short"]) == (1, 0)


class TestSignatures:
    def test_parameters_as_in_python(self, extension, ready):
        session = ready.session
        with pytest.raises(TypeError):
            session._trade(trade_row(1, "1"), True)
        with pytest.raises(TypeError):
            session._trade(trade_row(1, "1"))
        assert session._trade(row=trade_row(1, "  "), update_position=None) is False
        assert session._free_parts(symbol=None, side="long") == (0, 0)
        assert session._recompute_frozen() is None
        assert session._recompute_frozen(symbol=None) is None
        assert session._aggregate() is None
        assert session._aggregate(child=None) is None
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
            session._trade_id(None)
        with pytest.raises(TypeError, match="not subscriptable"):
            session._apply_position_trade(row=None)
