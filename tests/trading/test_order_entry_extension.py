"""The C++ insert, _insert and cancel side by side with the plain version, where the shared tests
cannot look.

The extension calls the session's own methods, `finite` and `TradingResult` directly while they
are the objects found at call time; a method replaced on the instance, a replaced module global
or a class with its own attribute lookup must see the very same calls, reads and results in the
same order. The coroutines never suspend, and exceptions other than the rejected-input ones pass
through unchanged.
"""

from __future__ import annotations

import asyncio
import dataclasses
import math

import pytest
from trading_helpers import CONFIG, DAY, FakeNative

import reference_trading
import zqkit.trading
from zqkit.livebook import TradingResult, empty_position

INSTRUMENT = {
    "IsTrading": 1,
    "PriceTick": 0.2,
    "MinLimitOrderVolume": 1,
    "MaxLimitOrderVolume": 4,
}


@pytest.fixture
def impl(impl):
    if impl.module is reference_trading:
        pytest.skip("compares the extension with the plain version")
    return impl


@pytest.fixture(autouse=True)
def fixed_clock(monkeypatch):
    class Clock:
        @staticmethod
        def time():
            return 1_780_000_000.25

        @staticmethod
        def monotonic():
            return 5.0

    for module in (reference_trading, zqkit.trading):
        monkeypatch.setattr(module, "time", Clock)


def position(his, today):
    values = empty_position("SHFE.rb2610")
    values.update(pos_long=his + today, pos_long_his=his, pos_long_today=today)
    values.update(pos_short=0, pos_short_his=0, pos_short_today=0)
    values.update(frozen_long=0, frozen_short=0, available_long=his + today, available_short=0)
    return values


def ready_session(cls):
    """A ready session on a scripted connection, with 2 earlier-days and 10 today long lots."""
    session = cls(CONFIG, 10, {})
    session.day, session.front, session.session = DAY, 1, 7
    session.phase, session.session_status, session.reset_pending = "ready", "READY", False
    session.native = FakeNative(CONFIG, None)
    session.order_ref = 12
    session.instruments = {"SHFE.rb2610": dict(INSTRUMENT), "DCE.m2609": dict(INSTRUMENT)}
    session.p = {"SHFE.rb2610": position(2, 10)}
    return session


def run(coro):
    """Drives a coroutine that must finish without suspending."""
    with pytest.raises(StopIteration) as finished:
        coro.send(None)
    return finished.value.value


def outcome(call):
    try:
        return ("returned", repr(call()))
    except BaseException as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc).__name__, str(exc))


def state(session):
    names = ("o", "native_orders", "ref_orders", "order_ref", "request_id", "pending", "dirty")
    requests = [(r.method, r.fields, r.request_id) for r in session.native.requests]
    return repr([getattr(session, name) for name in names] + [requests])


def both(scenario):
    """The scenario's log on the plain version and on the extension."""
    return [scenario(cls) for cls in (reference_trading.Trading, zqkit.trading.Trading)]


# ---- what the session does, seen from outside ---------------------------------------------


def traced(cls, log):
    """A session whose attribute reads and calls of its other methods are logged."""

    class Traced(cls):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                log.append(("attr", name))
            return object.__getattribute__(self, name)

    session = ready_session(Traced)
    for name in ("_free_parts", "_recompute_frozen", "_aggregate", "_schedule_account", "_touch"):
        method = getattr(type(session), name)

        def record(*args, _name=name, _method=method, **kwargs):
            log.append((_name, repr(args), repr(kwargs)))
            return _method(session, *args, **kwargs)

        object.__setattr__(session, name, record)
    return session


class TestSameOperations:
    def test_reads_and_calls_in_the_plain_order(self, impl):
        def scenario(cls):
            log = []
            session = traced(cls, log)
            for args in (
                ("SHFE.rb2610", "SELL", "CLOSE", 5, 3500.2),
                ("DCE.m2609", "BUY", "OPEN", 2, 3500.0),
                ("DCE.m2609", "BUY", "OPEN", 2, 3500.1),
                ("SHFE.rb2610", "SELL", "CLOSE", 9, 3500.0),
            ):
                log.append(outcome(lambda args=args: run(session.insert(*args))))
            order_id = next(iter(object.__getattribute__(session, "native_orders")))
            child = object.__getattribute__(session, "native_orders")[order_id]
            child.update(is_confirmed=True, exchange_order_id="  1001")
            log.append(outcome(lambda: session.cancel(order_id)))
            log.append(state(session))
            return log

        plain, native = both(scenario)
        assert native == plain
        assert ("_recompute_frozen", "()", "{'symbol': 'SHFE.rb2610'}") in native

    @pytest.mark.parametrize(
        "codes",
        [[1], [0, 1], [TypeError("fields")], [RuntimeError("link")], [0, OverflowError("x")]],
        ids=["refused", "second-refused", "bad-fields", "unknown", "second-bad"],
    )
    def test_binding_failures_give_the_plain_results_and_books(self, impl, codes):
        def scenario(cls):
            session = ready_session(cls)
            answers = list(codes)
            send = session.native.request

            def request(method, data, request_id):
                answer = answers.pop(0) if answers else 0
                if isinstance(answer, BaseException):
                    raise answer
                send(method, data, request_id)
                return answer

            session.native.request = request
            return [outcome(lambda: run(session.insert("SHFE.rb2610", "SELL", "CLOSE", 5, 3500.0)))]
            +[state(session)]

        plain, native = both(scenario)
        assert native == plain

    def test_inexact_arguments_and_rows_see_the_plain_operations(self, impl):
        class Text(str):
            def split(self, *args):
                return ["X" + part for part in str.split(self, *args)]

        class Price(float):
            pass

        def scenario(cls):
            session = ready_session(cls)
            session.instruments["XSHFE.rb2610"] = dict(INSTRUMENT, PriceTick=True)
            session.instruments["SHFE.rb2610"] = type("Row", (dict,), {})(INSTRUMENT)
            calls = [
                ("SHFE.rb2610", Text("BUY"), Text("OPEN"), 1, Price(3500.2)),
                (Text("SHFE.rb2610"), "BUY", "OPEN", 1, 3500.2),
                ("SHFE.rb2610", "SELL", "CLOSE", 4, 3500),
                ("SHFE.rb2610", "BUY", "OPEN", 1, 2**70),
                ("SHFE.rb2610", "BUY", "OPEN", 1, -0.0),
            ]
            log = [outcome(lambda args=args: run(session.insert(*args))) for args in calls]
            log.append(outcome(lambda: run(session._insert("SHFErb2610", "BUY", "OPEN", 1, 1.0))))
            session.instruments["SHFErb2610"] = INSTRUMENT
            log.append(outcome(lambda: run(session._insert("SHFErb2610", "BUY", "OPEN", 1, 1.0))))
            return log + [state(session)]

        plain, native = both(scenario)
        assert native == plain

    def test_results_are_the_dataclass_records(self, impl):
        session = ready_session(impl.Trading)
        results = run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        results += run(session.insert("DCE.m2609", "BUY", "OPEN", 9, 3500.0))
        assert results == [
            TradingResult("SUBMITTED", "1:7:13"),
            TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交"),
        ]
        for result in results:
            assert type(result) is TradingResult
            assert list(vars(result)) == ["status", "order_id", "message"]
            assert hash(result) == hash(TradingResult(*vars(result).values()))
            with pytest.raises(dataclasses.FrozenInstanceError):
                result.status = "UNKNOWN"


# ---- module globals and methods found at call time ----------------------------------------


class TestFoundAtCallTime:
    def test_module_globals_are_read_at_call_time(self, impl, monkeypatch):
        made = []

        class Result:
            def __init__(self, *args):
                made.append(args)
                self.status = args[0]

        module = impl.module
        monkeypatch.setattr(module, "TradingResult", Result)
        monkeypatch.setattr(module, "local_order_id", lambda *key: "id" + repr(key))
        monkeypatch.setattr(module, "FLAG_BY_OFFSET", {"OPEN": "x", "CLOSE_YESTERDAY": "4"})
        monkeypatch.setattr(module, "finite", lambda value: None if value == 13.0 else value)
        monkeypatch.setattr(module, "check_symbol", lambda symbol: symbol.index("."))
        session = ready_session(impl.Trading)
        run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        assert session.native.requests[-1].fields["CombOffsetFlag"] == "x"
        assert session.native_orders["id(1, 7, '13')"]["close_type"] == "UNSPECIFIED"
        run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 13.0))
        run(session.insert("DCEm2609", "BUY", "OPEN", 1, 3500.0))
        assert made == [
            ("SUBMITTED", "id(1, 7, '13')"),
            ("REJECTED", None, "报单参数无效或可平持仓不足，未提交"),
            ("REJECTED", None, "报单参数无效或可平持仓不足，未提交"),
        ]

    def test_math_round_tick_and_zq_error_are_read_at_call_time(self, impl, monkeypatch):
        closeness = []

        class Math:
            isfinite = staticmethod(math.isfinite)  # finite reads it too

            @staticmethod
            def isclose(a, b, **tolerances):
                closeness.append((a, b, tolerances))
                return True

        session = ready_session(impl.Trading)
        monkeypatch.setattr(impl.module, "math", Math)
        assert run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.3))[0].status == "SUBMITTED"
        assert closeness == [(3500.3 / 0.2, 17502, {"rel_tol": 0, "abs_tol": 1e-07})]
        monkeypatch.setattr(impl.module, "math", math)
        monkeypatch.setattr(impl.module, "ZqError", LookupError)
        session.reset_pending = True
        with pytest.raises(LookupError, match="READY"):
            run(session._insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))

    def test_a_tick_too_fine_for_the_price_rejects_as_an_overflow(self, impl):
        session = ready_session(impl.Trading)
        session.instruments["DCE.m2609"]["PriceTick"] = 1e-320
        with pytest.raises(OverflowError):
            run(session._insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        assert run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))[0].order_id is None

    def test_methods_replaced_on_the_instance_are_called(self, impl):
        session = ready_session(impl.Trading)
        calls = []
        answer = [TradingResult("SUBMITTED", "elsewhere")]

        async def insert_elsewhere(*args):
            calls.append(("_insert", args))
            return answer

        session._insert = insert_elsewhere
        assert run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0)) is answer
        del session._insert
        session._request = lambda method, fields: (
            calls.append((method, fields["OrderRef"]))
            or (
                41,
                0,
            )
        )
        session._touch = lambda: calls.append(("_touch",))
        session._schedule_account = lambda: calls.append(("_schedule_account",))
        run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        assert calls == [
            ("_insert", ("DCE.m2609", "BUY", "OPEN", 1, 3500.0)),
            ("OrderInsert", "13"),
            ("_schedule_account",),
            ("_touch",),
        ]
        assert session.native_orders["1:7:13"]["request_id"] == 41


# ---- the Python side: signatures, suspension, cancellation and failures ---------------------


class TestPythonSide:
    def test_keyword_arguments_and_arity(self, impl):
        session = ready_session(impl.Trading)
        keywords = dict(symbol="DCE.m2609", direction="BUY", offset="OPEN", volume=1)
        assert run(session.insert(**keywords, limit_price=3500.0))[0].status == "SUBMITTED"
        assert run(session._insert(**keywords, limit_price=3500.0))[0].status == "SUBMITTED"
        assert session.cancel(order_id=5) == []
        for call in (
            lambda: session.insert("DCE.m2609", "BUY", "OPEN", 1),
            lambda: session._insert(**keywords),
            lambda: session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0, 1),
            lambda: session.cancel(),
            lambda: session.cancel("1:7:13", None),
        ):
            with pytest.raises(TypeError):
                call()
        assert impl.Trading.insert.__name__ == "insert"
        coro = session.insert("DCE.m2609", "BUY", "OPEN", 1, 1.0)
        assert coro.__qualname__ == "Trading.insert"
        coro.close()

    def test_awaiting_insert_lets_no_other_task_run(self, impl):
        session = ready_session(impl.Trading)
        seen = []

        async def main():
            async def other():
                seen.append("other task ran")

            asyncio.get_running_loop().create_task(other())
            results = await session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0)
            seen.append(results[0].status)
            await asyncio.sleep(0)

        asyncio.run(main())
        assert seen == ["SUBMITTED", "other task ran"]

    def test_a_closed_or_cancelled_coroutine_books_nothing(self, impl):
        session = ready_session(impl.Trading)
        session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0).close()
        coro = session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0)
        with pytest.raises(asyncio.CancelledError):
            coro.throw(asyncio.CancelledError())
        assert session.o == {} and session.native.requests == [] and session.order_ref == 12

    def test_cancelling_insert_while_a_replaced_insert_waits_is_not_a_rejection(self, impl):
        session = ready_session(impl.Trading)

        async def main():
            gate = asyncio.get_running_loop().create_future()

            async def slow_insert(*args):
                await gate
                return ["never"]

            session._insert = slow_insert
            task = asyncio.ensure_future(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return gate.cancelled()

        assert asyncio.run(main()) is True

    @pytest.mark.parametrize("failure", [RuntimeError("down"), KeyboardInterrupt()])
    def test_other_exceptions_pass_through_unchanged(self, impl, failure):
        session = ready_session(impl.Trading)

        def fail(*args, **kwargs):
            raise failure

        session._free_parts = fail
        with pytest.raises(type(failure)) as caught:
            run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        assert caught.value is failure and session.o == {}
        del session._free_parts
        session._request = fail
        if isinstance(failure, KeyboardInterrupt):
            with pytest.raises(KeyboardInterrupt):
                run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 1.0))
            assert list(session.o) == ["1:7:13"]  # booked before the request went out
        else:
            results = run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 1.0))
            assert [r.status for r in results] == ["UNKNOWN"]

    def test_a_late_input_error_keeps_the_results_of_orders_handed_over(self, impl):
        def scenario(cls):
            session = ready_session(cls)
            calls = []

            def broken(*args, **kwargs):
                raise KeyError("frozen")

            session._recompute_frozen = broken
            session._touch = lambda: calls.append("_touch")
            first = outcome(lambda: run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0)))
            session.native.codes = [1]
            second = outcome(lambda: run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0)))
            return [first, second, calls, state(session)]

        plain, native = both(scenario)
        assert native == plain
        assert "SUBMITTED" in native[0][1] and "参数无效" in native[1][1]
        assert native[2] == ["_touch"]

    def test_cancel_failures_of_other_methods_pass_through(self, impl):
        session = ready_session(impl.Trading)
        run(session.insert("DCE.m2609", "BUY", "OPEN", 1, 3500.0))
        session.native_orders["1:7:13"].update(is_confirmed=True, exchange_order_id="  77")
        failure = LookupError("aggregate")

        def aggregate(child):
            raise failure

        session._aggregate = aggregate
        with pytest.raises(LookupError) as caught:
            session.cancel("1:7:13")
        assert caught.value is failure
        assert session.native_orders["1:7:13"]["cancel_pending"] is True
        assert session.native.requests[-1].fields["OrderSysID"] == "  77"
