"""Trading: construction, module tables, the main loop and the reset of private state."""

import asyncio

import pytest
from trading_helpers import CONFIG, DAY, FakeBinding, QuickAsyncio, instrument_row

from zqkit.data import ZqError
from zqkit.livebook import Account, LiveMap, Order, Position

GENERIC = "交易连接不可用，请检查账户配置或稍后重新连接。"


def run_async(coro, seconds=10):
    async def bounded():
        async with asyncio.timeout(seconds):
            return await coro

    return asyncio.run(bounded())


async def until(predicate, seconds=5.0):
    async with asyncio.timeout(seconds):
        while not predicate():
            await asyncio.sleep(0)


@pytest.fixture
def quick(impl, monkeypatch) -> QuickAsyncio:
    fake = QuickAsyncio()
    monkeypatch.setattr(impl.module, "asyncio", fake)
    return fake


class TestModuleTables:
    def test_query_tables_and_offsets(self, impl):
        m = impl.module
        assert list(m.QUERY.items()) == [
            ("instruments", "QryInstrument"),
            ("orders", "QryOrder"),
            ("trades_before", "QryTrade"),
            ("positions", "QryInvestorPosition"),
            ("trades_after", "QryTrade"),
            ("account", "QryTradingAccount"),
        ]
        assert m.SYNC_STEPS == tuple(m.QUERY)
        assert m.PHASE_LABELS == {
            "authenticate": "认证",
            "login": "登录",
            "settlement": "结算单确认",
        }
        assert list(m.QUERY_LABELS.values()) == [
            "合约",
            "订单",
            "首次成交",
            "持仓",
            "复查成交",
            "资金",
        ]
        assert list(m.ACCOUNT_FIELDS.items())[2] == ("margin", "CurrMargin")
        assert list(m.ACCOUNT_FIELDS)[-1] == "withdraw" and len(m.ACCOUNT_FIELDS) == 10
        assert list(m.FLAG_BY_OFFSET.items()) == [
            ("OPEN", "0"),
            ("CLOSE", "1"),
            ("CLOSE_TODAY", "3"),
            ("CLOSE_YESTERDAY", "4"),
        ]

    def test_order_ids_and_offsets(self, impl):
        m = impl.module
        assert m.local_order_id(1, 2, 3) == "1:2:3"
        assert m.local_order_id(front=1, session=345, order_ref="12") == "1:345:12"
        assert m.order_offset("3") == "CLOSE_TODAY"
        assert m.order_offset("0x") == "OPEN"
        for value in (None, "", 0, "2", "9"):
            assert m.order_offset(value) == "CLOSE"

    def test_class_docstring(self, impl):
        assert impl.Trading.__doc__ == (
            "Private protocol state is committed to user objects only by wait_update."
        )


class TestConstruction:
    def test_configured_session(self, impl):
        objects = {}
        session = impl.Trading(CONFIG, 10, objects)
        assert session.session_status == session.published_status == "SYNCING"
        assert session.account.account_id == CONFIG.user_id
        assert isinstance(session.account, Account)
        assert isinstance(session.positions, LiveMap) and session.positions.item_type is Position
        assert session.orders.item_type is Order and session.trades == []
        views = [session.account, session.positions, session.orders, session.trades]
        assert list(objects.items()) == [(id(view), view) for view in views]
        assert session.a == dict(session.account._values)
        assert session.a is not session.account._values
        assert session.factory is impl.module.Native
        assert session.last_query == -float("inf") and session.phase == "connecting"
        assert (session.request_id, session.order_ref, session.front, session.session) == (0,) * 4
        assert session.recovery.label == "交易连接"
        assert (session.query_recovery.attempts, session.query_recovery.seconds) == (3, 120)

    def test_without_config(self, impl):
        objects = {}
        session = impl.Trading(None, 10, objects)
        assert session.session_status == "ERROR" and session.account.account_id is None
        assert len(objects) == 4

        async def body():
            session.start()
            return session.task

        assert run_async(body()) is None

    def test_start_once_and_not_after_close(self, impl, quick, directories):
        binding = FakeBinding()
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            task = session.task
            session.start()
            assert session.task is task
            await until(lambda: binding.natives)
            await session.close()
            session.start()
            return task

        task = run_async(body())
        assert task.cancelled() and session.task is task
        assert binding.natives[0].closed and session.native is None


class TestMainLoop:
    def test_transient_factory_failure_waits_and_reopens(self, impl, quick, directories):
        binding = FakeBinding()
        binding.failures.append(OSError("front down"))
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            await until(lambda: binding.natives)
            await session.close()

        run_async(body())
        assert len(binding.calls) == 2
        assert binding.calls[0][1] == binding.calls[1][1]
        assert directories == ["zqkit-ctp-"]
        assert session.recovery.failures == 1
        assert quick.sleeps[:2] == [1, 0.01]
        assert session.session_status == "SYNCING" and session.error is None

    @pytest.mark.parametrize("kind", [TimeoutError, BufferError, ConnectionError, OSError])
    def test_transient_failure_in_a_pass_resets_and_reconnects(self, impl, quick, kind):
        binding = FakeBinding()
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)
        session.directory = "/tmp/flow"

        def failing_tick(now):
            if len(binding.natives) == 1:
                raise kind("lost")

        session.tick = failing_tick

        async def body():
            session.start()
            await until(lambda: len(binding.natives) == 2)
            await session.close()

        run_async(body())
        first = binding.natives[0]
        assert first.closed and session.phase == "connecting"
        assert session.session_status == "SYNCING" and session.reset_pending
        assert quick.sleeps[:2] == [1, 0.01]
        assert session.error is None

    def test_fatal_failure_keeps_its_cause(self, impl, quick, directories):
        binding = FakeBinding()
        binding.failures.append(ValueError("bad front"))
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            return await session.task

        assert run_async(body()) is None
        assert isinstance(session.error, ZqError) and str(session.error) == GENERIC
        assert session.error.status is None
        assert isinstance(session.error.__cause__, ValueError)
        assert session.session_status == "ERROR" and session.reset_pending

    def test_login_refusal_is_the_cause_of_the_fatal_error(self, impl, quick, directories):
        binding = FakeBinding()
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            await until(lambda: binding.natives)
            native = binding.natives[0]
            native.events.append({"name": "FrontConnected"})
            await until(lambda: native.requests)
            error = {"ErrorID": 3, "ErrorMsg": "密码错误"}
            native.events.append(
                {"name": "RspAuthenticate", "request_id": native.requests[-1].request_id}
            )
            await until(lambda: len(native.requests) == 2)
            rid = native.requests[-1].request_id
            native.events.append({"name": "RspUserLogin", "request_id": rid, "error": error})
            await session.task

        run_async(body())
        assert str(session.error) == GENERIC
        assert str(session.error.__cause__) == "CTP 登录失败（错误码：3）：密码错误"
        assert session.session_status == "ERROR"
        assert not binding.natives[0].closed

    def test_spent_budget_is_fatal(self, impl, quick, directories):
        binding = FakeBinding()
        binding.failures.extend(OSError("down") for _ in range(100))
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            await session.task

        run_async(body())
        assert session.session_status == "ERROR"
        assert isinstance(session.error.__cause__, ZqError)
        assert len(binding.calls) == session.recovery.attempts

    def test_events_are_dispatched_in_order_then_ticked(self, impl, quick, directories):
        binding = FakeBinding()
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)
        seen = []
        session.event = lambda event: seen.append(event["name"])
        session.tick = lambda now: seen.append("tick") if seen[-1:] != ["tick"] else None

        async def body():
            session.start()
            await until(lambda: binding.natives)
            binding.natives[0].events.extend([{"name": "A"}, {"name": "B"}])
            await until(lambda: "B" in seen)
            await session.close()

        run_async(body())
        assert seen[seen.index("A") :][:3] == ["A", "B", "tick"]

    def test_close_after_the_loop_ended_closes_the_binding(self, impl, quick, directories):
        binding = FakeBinding()
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)
        session.tick = lambda now: (_ for _ in ()).throw(KeyError("x"))

        async def body():
            session.start()
            await session.task
            assert not binding.natives[0].closed
            await session.close()

        run_async(body())
        assert binding.natives[0].closed and session.native is None
        assert isinstance(session.error.__cause__, KeyError)

    def test_cancellation_reaches_the_pause(self, impl, directories, monkeypatch):
        binding = FakeBinding()
        binding.failures.append(OSError("down"))
        session = impl.Trading(CONFIG, 10, {}, native_factory=binding.factory)

        async def body():
            session.start()
            await until(lambda: binding.calls)
            await asyncio.sleep(0.05)
            # Suspended in the one-second pause after the failure.
            session.task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await session.task

        run_async(body())
        assert len(binding.calls) == 1 and session.error is None


class TestClearCache:
    def test_reset_keeps_visible_symbols_and_identity(self, ready):
        session = ready.session
        for symbol in ("SHFE.rb2610", "DCE.m2609"):
            session.positions._data[symbol] = Position(symbol=symbol)
        tables = [session.o, session.t, session.native_orders, session.instruments]
        request_id, directory = session.request_id, session.directory
        session.reset_pending = False
        session.dirty = False
        session._clear_cache("SYNCING")
        assert session.p == {
            "SHFE.rb2610": {**empty(), "symbol": "SHFE.rb2610"},
            "DCE.m2609": {**empty(), "symbol": "DCE.m2609"},
        }
        assert tables == [session.o, session.t, session.native_orders, session.instruments]
        assert session.instruments is tables[3] and not session.instruments
        assert session.reset_pending and session.dirty and session.changed.is_set()
        assert session.a["trading_day"] is None and session.a["account_id"] == CONFIG.user_id
        assert session.phase == "ready" and session.day == DAY
        assert (session.request_id, session.directory) == (request_id, directory)
        assert (session.front, session.session, session.phase_id) == (0, 0, None)
        assert not session.position_ready and session.last_account_refresh == 0.0


def empty():
    keys = "pos_long pos_short pos pos_long_today pos_short_today pos_long_his pos_short_his"
    keys += " frozen_long frozen_short available_long available_short updated_at"
    return dict.fromkeys(keys.split())


def test_instruments_table_keeps_futures_and_options(harness):
    harness.login()
    rows = [
        instrument_row("SHFE.rb2610"),
        instrument_row("DCE.m2609-C-3000", "2"),
        instrument_row("SHFE.rb2610&rb2611", "3"),
    ]
    harness.step(rows)
    assert list(harness.session.instruments) == ["SHFE.rb2610", "DCE.m2609-C-3000"]
    assert harness.session.instruments["SHFE.rb2610"] == rows[0]
