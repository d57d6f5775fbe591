"""The compiled `Trading` class itself: what the shared behaviour tests cannot see.

These run on zqkit.trading.Trading only: the order of its class body, Python signatures, its
coroutines under asyncio, methods replaced on an instance, and module globals read at call time.
"""

from __future__ import annotations

import asyncio

import pytest
from trading_helpers import CONFIG, FakeBinding, FakeClock, QuickAsyncio

import reference_trading
import zqkit.trading
from zqkit.data import ZqError
from zqkit.livebook import Position

Trading = zqkit.trading.Trading

# The class body's order.
BODY = [
    "__init__",
    "start",
    "_open_native",
    "_close_native",
    "_clear_cache",
    "_touch",
    "_status",
    "_request",
    "_phase_request",
    "_schedule_account",
    "run",
    "event",
    "_query_error",
    "tick",
    "_complete",
    "_complete_account",
    "_positions",
    "_by_ref",
    "_is_spec_order",
    "_is_spec_trade",
    "_child",
    "_order",
    "_trade_id",
    "_trade_key",
    "_trade",
    "_apply_position_trade",
    "_free_parts",
    "_recompute_frozen",
    "_aggregate",
    "close",
]
LIFECYCLE_AND_LOGIN = BODY[:11] + ["_query_error", "tick", "close"]


def run_async(coro, seconds=10):
    async def bounded():
        async with asyncio.timeout(seconds):
            return await coro

    return asyncio.run(bounded())


@pytest.fixture
def clock(monkeypatch) -> FakeClock:
    fake = FakeClock()
    monkeypatch.setattr(zqkit.trading, "time", fake)
    return fake


@pytest.fixture
def quick(monkeypatch) -> QuickAsyncio:
    fake = QuickAsyncio()
    monkeypatch.setattr(zqkit.trading, "asyncio", fake)
    return fake


@pytest.fixture
def flow_dir(monkeypatch, tmp_path) -> str:
    monkeypatch.setattr(zqkit.trading, "mkdtemp", lambda prefix: str(tmp_path))
    return str(tmp_path)


def session_on(binding: FakeBinding | None = None, timeout=10) -> Trading:
    factory = (binding or FakeBinding()).factory
    return Trading(CONFIG, timeout, {}, native_factory=factory)


class TestClassBody:
    def test_methods_in_class_body_order(self):
        names = [name for name in vars(Trading) if name in BODY]
        assert names == [name for name in BODY if name in names]
        assert set(LIFECYCLE_AND_LOGIN) <= set(names)

    def test_parameters_by_name_and_keyword_only_factory(self, clock):
        binding = FakeBinding()
        session = Trading(config=CONFIG, timeout=10, objects={}, native_factory=binding.factory)
        with pytest.raises(TypeError):
            Trading(CONFIG, 10, {}, binding.factory)
        session.native = binding.factory(CONFIG, "/flow")
        assert session._request(method="QryOrder") == (1, 0)
        session._phase_request(phase="login", method="UserLogin", data={"Password": "x"})
        session.tick(now=clock.now)
        session._status(value="READY")
        session._clear_cache(status="SYNCING")
        assert [r.method for r in binding.natives[0].requests] == ["QryOrder", "UserLogin"]
        assert binding.natives[0].requests[0].fields == {
            "BrokerID": "9999",
            "InvestorID": "000001",
            "UserID": "000001",
        }

    def test_default_factory_is_bound_at_import(self, monkeypatch):
        native = zqkit.trading.Native
        monkeypatch.setattr(zqkit.trading, "Native", object)
        assert Trading(CONFIG, 10, {}).factory is native

    def test_attributes_match_the_reference(self, clock, monkeypatch):
        monkeypatch.setattr(reference_trading, "time", clock)
        ours = vars(Trading(CONFIG, 10, {}))
        theirs = vars(reference_trading.Trading(CONFIG, 10, {}))
        assert list(ours) == list(theirs)
        assert {name: type(value) for name, value in ours.items()} == {
            name: type(value) for name, value in theirs.items()
        }


class TestCoroutines:
    def test_run_and_close_are_coroutines(self, quick, flow_dir):
        binding = FakeBinding()
        session = session_on(binding)
        running = session.run()
        assert asyncio.iscoroutine(running) and running.__qualname__ == "Trading.run"
        closing = session.close()
        assert asyncio.iscoroutine(closing) and closing.__qualname__ == "Trading.close"

        async def body():
            session.task = asyncio.create_task(running)
            while not binding.natives:
                await asyncio.sleep(0)
            await asyncio.create_task(closing)
            return session.task

        task = run_async(body())
        assert task.cancelled() and binding.natives[0].closed and session.native is None

    def test_close_without_a_task_closes_the_binding(self):
        binding = FakeBinding()
        session = session_on(binding)
        session.native = binding.factory(CONFIG, "/flow")
        assert run_async(session.close()) is None
        assert binding.natives[0].closed and session.task is None

    @pytest.mark.parametrize(
        "cls", [Trading, reference_trading.Trading], ids=["extension", "reference"]
    )
    def test_cancelled_close_leaves_the_binding_open(self, cls, quick, monkeypatch, flow_dir):
        monkeypatch.setattr(reference_trading, "asyncio", quick)
        monkeypatch.setattr(reference_trading, "mkdtemp", zqkit.trading.mkdtemp)
        binding = FakeBinding()
        session = cls(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            while not binding.natives:
                await asyncio.sleep(0)
            closer = asyncio.create_task(session.close())
            await asyncio.sleep(0)  # close has cancelled the loop and waits for it
            closer.cancel()
            with pytest.raises(asyncio.CancelledError):
                await closer

        run_async(body())
        assert session.task.cancelled()
        assert not binding.natives[0].closed and session.native is not None

    def test_close_reports_a_failing_binding(self):
        class Failing:
            def close(self):
                raise OSError("stuck")

        session = session_on()
        session.native = Failing()
        with pytest.raises(OSError, match="stuck"):
            run_async(session.close())


class TestMethodsOnTheInstance:
    def test_status_and_reset_call_the_instance_touch(self):
        session = session_on()
        touched = []
        session._touch = lambda: touched.append(session.session_status)
        session._status("READY")
        session._clear_cache("DISCONNECTED")
        assert touched == ["READY", "DISCONNECTED"] and not session.dirty

    def test_start_runs_the_instance_run(self):
        session = session_on()
        ran = []

        async def run():
            ran.append(True)

        session.run = run

        async def body():
            session.start()
            await session.task

        run_async(body())
        assert ran == [True]

    def test_loop_calls_the_instance_methods(self, quick, flow_dir):
        session = session_on()
        calls = []
        session._open_native = lambda: setattr(session, "native", FakeNative())
        session.tick = lambda now: calls.append("tick")

        class FakeNative:
            def poll(self):
                return [{"name": "A"}]

            def close(self):
                calls.append("close")

        session.event = lambda event: calls.append(event["name"])

        async def body():
            session.start()
            while len(calls) < 4:
                await asyncio.sleep(0)
            await session.close()

        run_async(body())
        assert calls[:4] == ["A", "tick", "A", "tick"] and calls[-1] == "close"

    def test_schedulers_go_through_the_instance_request(self, clock):
        session = session_on()
        sent = []

        def request(method, fields=None):
            sent.append((method, fields))
            return len(sent), 0

        session._request = request
        session._phase_request("authenticate", "Authenticate", {"AppID": "a"})
        session.phase = "sync"
        session.tick(clock.advance(1))
        assert sent == [("Authenticate", {"AppID": "a"}), ("QryInstrument", {})]
        assert session.inflight["id"] == 2 and session.phase_id == 1

    def test_replaced_containers_behave_as_in_python(self):
        session = session_on()
        added, signalled = [], []

        class Pending(set):
            def add(self, item):
                added.append(item)

        class Signal:
            def set(self):
                signalled.append(True)

        session.pending = Pending()
        session.changed = Signal()
        session.phase = "ready"
        session._schedule_account()
        session._touch()
        assert added == ["account"] and not session.pending
        assert signalled == [True] and session.dirty is True
        session.phase = "sync"
        session._schedule_account()
        assert added == ["account"]


class TestModuleGlobalsAtCallTime:
    def test_construction_reads_its_classes(self, monkeypatch):
        made = []

        class Budget:
            def __init__(self, label, *limits):
                made.append((label, limits))

        monkeypatch.setattr(zqkit.trading, "Recovery", Budget)
        session = session_on()
        assert isinstance(session.recovery, Budget)
        assert made == [("交易连接", ()), ("账户查询", (3, 120))]

    def test_reset_reads_empty_position(self, monkeypatch):
        session = session_on()
        session.positions._data["SHFE.rb2610"] = Position(symbol="SHFE.rb2610")
        monkeypatch.setattr(zqkit.trading, "empty_position", lambda symbol: ("empty", symbol))
        session._clear_cache("SYNCING")
        assert session.p == {"SHFE.rb2610": ("empty", "SHFE.rb2610")}

    def test_fatal_error_uses_the_current_error_class(self, quick, flow_dir, monkeypatch):
        class Fatal(Exception):
            pass

        monkeypatch.setattr(zqkit.trading, "ZqError", Fatal)
        binding = FakeBinding()
        binding.failures.append(ValueError("bad front"))
        session = session_on(binding)

        async def body():
            session.start()
            await session.task

        run_async(body())
        assert type(session.error) is Fatal
        assert isinstance(session.error.__cause__, ValueError)

    def test_scheduler_reads_tables_and_clock(self, clock, monkeypatch):
        binding = FakeBinding()
        session = session_on(binding)
        session.native = binding.factory(CONFIG, "/flow")
        session.phase = "sync"
        monkeypatch.setattr(zqkit.trading, "SYNC_STEPS", ("account",))
        monkeypatch.setattr(zqkit.trading, "QUERY", {"account": "QryOther"})
        session.tick(clock.advance(1))
        assert binding.natives[0].requests[-1].method == "QryOther"
        assert binding.natives[0].requests[-1].fields["CurrencyID"] == "CNY"
        monkeypatch.setattr(zqkit.trading, "QUERY_LABELS", {"account": "账"})
        with pytest.raises(TimeoutError, match="^CTP 账查询超时且无进展$"):
            session.tick(clock.advance(11))
        clock.advance(5)
        session._phase_request("login", "UserLogin")
        assert session.phase_time == clock.now
        monkeypatch.setattr(zqkit.trading, "PHASE_LABELS", {"login": "登"})
        binding.natives[0].codes.append(7)
        with pytest.raises(ZqError, match="^CTP 登请求失败（错误码：7）$"):
            session._phase_request("login", "UserLogin")
