"""The C++ order book side by side with the plain version, where the shared tests cannot look.

The extension takes C API shortcuts for exact dicts and str; rows, records and texts of other
types must see the very same operations in the same order. Globals are read at call time, other
methods are looked up on the instance, and the Python signatures and exceptions are the plain
version's.
"""

from __future__ import annotations

import pytest
from trading_helpers import CONFIG, DAY, order_row, trade_row

import reference_trading

SYS = "      100001"


@pytest.fixture
def impl(impl):
    if impl.module is reference_trading:
        pytest.skip("compares the extension with the plain version")
    return impl


def plain_session(cls):
    session = cls(CONFIG, 10, {})
    session.day, session.front, session.session = DAY, 1, 7
    session.phase = "ready"
    return session


def outcome(call):
    try:
        return ("returned", repr(call()))
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc).__name__, str(exc))


# ---- recording types -------------------------------------------------------------------------


class Text(str):
    """A str whose methods and comparisons are logged."""

    log: list = []

    def strip(self, *chars):
        Text.log.append(("strip", str(self)))
        return Text(str.strip(self, *chars))

    def __eq__(self, other):
        Text.log.append(("==", str(self), str(other)))
        return str.__eq__(self, other)

    def __ne__(self, other):
        Text.log.append(("!=", str(self), str(other)))
        return str.__ne__(self, other)

    __hash__ = str.__hash__

    def __bool__(self):
        Text.log.append(("bool", str(self)))
        return len(self) > 0

    def __getitem__(self, index):
        Text.log.append(("[]", str(self), repr(index)))
        return str.__getitem__(self, index)


class Row(dict):
    """A row that logs its lookups."""

    def get(self, key, *default):
        Text.log.append(("row.get", key, default))
        return dict.get(self, key, *default)

    def __getitem__(self, key):
        Text.log.append(("row[]", key))
        return dict.__getitem__(self, key)


class Record(dict):
    """An order record that logs reads, writes and updates."""

    def __getitem__(self, key):
        Text.log.append(("record[]", key))
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        Text.log.append(("record[]=", key, repr(value)))
        dict.__setitem__(self, key, value)

    def update(self, **fields):
        Text.log.append(("record.update", [(k, repr(v)) for k, v in fields.items()]))
        dict.update(self, **fields)


def logged_row(row, texts=True):
    return Row({k: Text(v) if texts and isinstance(v, str) else v for k, v in row.items()})


def traced_session(cls):
    class Traced(cls):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                Text.log.append(("attr", name))
            return object.__getattribute__(self, name)

    session = plain_session(Traced)

    def recorder(name):
        def record(*args, **kwargs):
            Text.log.append((name, repr(args), repr(kwargs)))

        return record

    for name in ("_recompute_frozen", "_aggregate", "_schedule_account", "_touch", "_trade"):
        object.__setattr__(session, name, recorder(name))

    def child(row):
        Text.log.append(("_child",))
        return type(session)._child(session, row)

    object.__setattr__(session, "_child", child)
    return session


def book(session):
    names = ("o", "native_orders", "ref_orders", "system_orders", "order_revisions", "revision")
    return repr([object.__getattribute__(session, name) for name in names])


def play(cls):
    """Order returns of every kind on rows, texts and records that are not exact types."""
    session = traced_session(cls)
    Text.log = log = []  # from here on: what the order book does

    def step(call):
        log.append(("outcome", outcome(call)))
        log.append(("book", book(session)))

    step(lambda: session._order(logged_row(order_row(12, SYS))))
    step(lambda: session._order(logged_row(order_row(12, SYS))))
    natives = object.__getattribute__(session, "native_orders")
    orders = object.__getattribute__(session, "o")
    natives["1:7:12"] = Record(natives["1:7:12"], cancel_pending=True, cancel_request_id=3)
    orders["1:7:12"] = Record(orders["1:7:12"], limit_price=None)
    step(lambda: session._order(logged_row(order_row(12, SYS, submit="5", traded=2))))
    step(lambda: session._order(logged_row(order_row(12, SYS, status="0", traded=5))))
    step(lambda: session._order(logged_row(order_row(12, SYS)), query_revision=1))
    step(lambda: session._order(logged_row(order_row(12, SYS, status="0")), query_revision=9))
    object.__setattr__(
        session,
        "pending_trades",
        {"a": logged_row(trade_row(1, SYS)), "b": logged_row(trade_row(2, " 9 "))},
    )
    step(lambda: session._order(logged_row(order_row(12, SYS, status="0", traded=5))))
    step(lambda: session._order(logged_row(order_row(13, SYS))))
    step(lambda: session._order(logged_row(order_row(12, " 100002"))))
    step(lambda: session._order(logged_row(order_row(14, "", TradingDay="20990101"))))
    step(lambda: session._order(logged_row(order_row(15, "", CombOffsetFlag=""))))
    step(lambda: session._by_ref(Text("12")))
    step(lambda: session._is_spec_order(logged_row({"CombHedgeFlag": "13"})))
    step(lambda: session._is_spec_trade(logged_row({"HedgeFlag": "1"})))
    Text.log = []
    return log


class TestSameOperations:
    def test_inexact_rows_texts_and_records_see_the_plain_operations(self, impl):
        expected = play(reference_trading.Trading)
        assert play(impl.Trading) == expected
        seen = {entry[0] for entry in expected}
        assert {"strip", "==", "row.get", "record.update", "_trade", "_aggregate"} <= seen

    @pytest.mark.parametrize(
        "row",
        [
            None,
            [],
            {"CombHedgeFlag": 1},
            {"CombHedgeFlag": 5},
            {"CombHedgeFlag": type("Blank", (), {"__str__": lambda self: ""})()},
            {"CombHedgeFlag": Text("")},
        ],
        ids=["none", "list", "int-1", "int-5", "empty-str-of-object", "empty-text"],
    )
    def test_static_methods_on_odd_rows(self, impl, row):
        for name in ("_is_spec_order", "_is_spec_trade"):
            expected = outcome(lambda name=name: getattr(reference_trading.Trading, name)(row))
            assert outcome(lambda name=name: getattr(impl.Trading, name)(row)) == expected

    def test_a_non_bool_comparison_result_is_returned_as_is(self, impl):
        class Odd:
            def __eq__(self, other):
                return "odd"

        assert impl.Trading._is_spec_trade({"HedgeFlag": Odd()}) == "odd"

    @pytest.mark.parametrize(
        "fields",
        [
            {"VolumeTraded": 9},
            {"FrontID": None},
            {"OrderRef": ["unhashable"]},
            {"CombOffsetFlag": ["3"]},
            {"CombOffsetFlag": None},
            {"OrderSysID": None},
            {"OrderStatus": None, "OrderSubmitStatus": None},
        ],
    )
    def test_bad_fields_fail_as_in_the_plain_version(self, impl, fields):
        results = []
        for cls in (reference_trading.Trading, impl.Trading):
            session = plain_session(cls)
            row = order_row(12, SYS, **fields)
            applied = outcome(lambda session=session, row=row: session._order(row))
            results.append((applied, book(session)))
        assert results[1] == results[0]


class TestPythonSide:
    def test_module_globals_are_read_at_call_time(self, impl, monkeypatch):
        monkeypatch.setattr(impl.module, "local_order_id", lambda *key: "id" + repr(key))
        monkeypatch.setattr(impl.module, "order_offset", lambda flag: "offset " + flag)
        monkeypatch.setattr(impl.module, "finite", lambda value: ("finite", value))
        monkeypatch.setattr(impl.module, "timestamp", lambda day, clock: day + "T" + clock)
        session = plain_session(impl.Trading)
        session._order(order_row(12, SYS, CombOffsetFlag="3"))
        order = session.o["id(1, 7, '12')"]
        assert order["offset"] == "offset 3" and order["limit_price"] == ("finite", 3500.0)
        assert order["insert_time"] == DAY + "T09:30:15"

    def test_keyword_arguments_and_arity(self, impl):
        session = plain_session(impl.Trading)
        assert session._order(row=order_row(12, SYS), query_revision=None) is None
        native = session._child(row=order_row(12, SYS))
        assert session._by_ref(ref="12") is native is session.native_orders["1:7:12"]
        assert session._is_spec_order(row={"CombHedgeFlag": "1"}) is True
        assert impl.Trading._is_spec_trade(row={"HedgeFlag": "2"}) is False
        for call in (
            lambda: session._order(),
            lambda: session._order(order_row(12, SYS), 0, 1),
            lambda: session._child(),
            lambda: session._by_ref(),
            lambda: impl.Trading._is_spec_order(),
        ):
            with pytest.raises(TypeError):
                call()

    def test_raised_errors_chain_to_the_handled_exception(self, impl):
        for cls in (reference_trading.Trading, impl.Trading):
            session = plain_session(cls)
            session._order(order_row(12, SYS))
            session._order(order_row(13, " 200002"))
            handled = LookupError("handled")
            try:
                raise handled
            except LookupError:
                with pytest.raises(BufferError, match="同一个 CTP OrderSysID") as caught:
                    session._order(order_row(13, SYS))
            assert caught.value.__context__ is handled
            assert caught.value.__cause__ is None

    def test_errors_of_other_methods_pass_through_unchanged(self, impl):
        session = plain_session(impl.Trading)
        failure = RuntimeError("aggregate failed")

        def aggregate(order):
            raise failure

        session._aggregate = aggregate
        with pytest.raises(RuntimeError) as caught:
            session._order(order_row(12, SYS))
        assert caught.value is failure
        assert session.revision == 1  # changes already made are not rolled back
