"""Signed market queries: statuses, back-off, budget and restoring mode."""

import asyncio

import pytest
from market_service import REAL_SLEEP, Service, answer, run

import zqkit.transport as transport
from zqkit.data import ZqError
from zqkit.errors import Recovery
from zqkit.transport import _RetryMarketError


async def query(t, *args):
    try:
        return await t.get(*args)
    finally:
        await t.session.close()


def test_signed_get_returns_d(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            assert await t.get("/x") == [1, 2]
            assert await query(t, "/k线", {"symbol": "SHFE.rb2610", "n": 2}) == [1, 2]
            # the server checks each signature and would have answered 401
            assert service.paths() == ["/md/x", "/md/k%E7%BA%BF?symbol=SHFE.rb2610&n=2"]
            assert service.requests[1].url.raw_query_string == ""

    run(main())


@pytest.mark.parametrize(
    ("body", "expected"),
    [({"ok": True, "d": None}, None), ({"ok": True, "d": {"a": 1}}, {"a": 1})],
)
def test_answer_values(fake_asyncio, body, expected):
    async def main():
        async with Service() as service:
            service.query = [answer(body=body)]
            assert await query(service.transport(), "/x") == expected

    run(main())


@pytest.mark.parametrize(
    ("reply", "message", "status"),
    [
        (answer(401, {}), "行情请求校验失败，请检查 SDK 版本和系统时间。", 401),
        (answer(403, {}), "行情请求校验失败，请检查 SDK 版本和系统时间。", 403),
        (answer(404, {}), "行情查询未获允许，请检查查询条件。", None),
        (answer(body={"ok": True}), "行情数据暂不可用。", None),
        (answer(body={"ok": 1, "d": 1}), "行情数据暂不可用。", None),
        (answer(body=[1]), "行情数据暂不可用。", None),
        (answer(body="{bad"), "行情数据暂不可用。", None),
        (answer(body="<html>busy</html>", content_type="text/html"), "行情数据暂不可用。", None),
        (answer(body="", content_type="text/plain"), "行情数据暂不可用。", None),
    ],
)
def test_failures_without_retry(fake_asyncio, reply, message, status):
    async def main():
        async with Service() as service:
            service.query = [reply]
            with pytest.raises(ZqError) as caught:
                await query(service.transport(), "/x")
            assert (str(caught.value), caught.value.status) == (message, status)
            assert len(service.paths()) == 1 and fake_asyncio.sleeps == []

    run(main())


def test_bad_json_is_raised_without_cause(fake_asyncio):
    async def main():
        async with Service() as service:
            service.query = [answer(body="{bad")]
            with pytest.raises(ZqError) as caught:
                await query(service.transport(), "/x")
            assert caught.value.__cause__ is None and caught.value.__suppress_context__

    run(main())


def test_retryable_statuses_back_off(fake_asyncio):
    async def main():
        async with Service() as service:
            service.query = [answer(503, {}), answer(429, {}), answer(body={"ok": True, "d": 7})]
            assert await query(service.transport(), "/x") == 7
            assert fake_asyncio.sleeps == [0.5, 1.0]

    run(main())


def test_budget_refuses_after_three_failures(fake_asyncio):
    async def main():
        async with Service() as service:
            service.query = [answer(500, {})]
            with pytest.raises(ZqError, match="行情查询连续失败 3 次"):
                await query(service.transport(), "/x")
            assert fake_asyncio.sleeps == [0.5, 1.0] and len(service.paths()) == 3

    run(main())


def test_per_request_timeout_is_retried(fake_asyncio):
    async def main():
        async with Service() as service:
            slow = answer(body={"ok": True, "d": 0}, delay=1)
            service.query = [slow, answer(body={"ok": True, "d": 1})]
            assert await query(service.transport(timeout=0.2), "/x") == 1
            assert fake_asyncio.sleeps == [0.5]

    run(main())


def test_budget_time_running_out(fake_asyncio, monkeypatch):
    monkeypatch.setattr(
        transport, "Recovery", lambda label, a=20, s=600: Recovery(label, a, 0.3 if a == 3 else s)
    )

    async def main():
        async with Service() as service:
            service.query = [answer(body={"ok": True, "d": 0}, delay=2)]
            with pytest.raises(ZqError, match="行情查询多次恢复失败，请稍后重试。") as caught:
                await query(service.transport(timeout=5), "/x")
            assert caught.value.__suppress_context__

    run(main())


def test_unexpected_failure(fake_asyncio):
    async def main():
        async with Service() as service:
            with pytest.raises(ZqError, match="行情查询无法完成。") as caught:
                await query(service.transport(), "/x", object())
            assert caught.value.__suppress_context__

    run(main())


async def restoring_get(t, *args):
    """Runs `get` as the connection's bootstrap task would."""
    task = asyncio.create_task(t.get(*args))
    t.bootstrap_task = task
    try:
        return await task
    finally:
        await t.session.close()


@pytest.mark.parametrize("reply", [answer(503, {}), answer(body={"ok": True}, delay=1)])
def test_restoring_aborts_on_first_transient_fault(fake_asyncio, reply):
    async def main():
        async with Service() as service:
            service.query = [reply]
            t = service.transport(timeout=0.2)
            t.recovery.begin()
            t.recovery.failures = 1
            with pytest.raises(_RetryMarketError) as caught:
                await restoring_get(t, "/x")
            assert caught.value.args == () and caught.value.__suppress_context__
            assert fake_asyncio.sleeps == [] and len(service.paths()) == 1
            assert t.recovery.active and t.recovery.failures == 1

    run(main())


def test_restoring_success_keeps_the_connection_budget_open(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            assert await restoring_get(t, "/x") == [1, 2]
            assert t.recovery.active

    run(main())


def test_fatal_error_wins(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            gone = ZqError("行情服务异常")

            async def reply(request):
                t.fatal_error = gone
                return await answer(body={"ok": True, "d": 1})(request)

            service.query = [reply]
            with pytest.raises(ZqError) as caught:
                await query(t, "/x")
            assert caught.value is gone
            with pytest.raises(ZqError) as caught:
                await t.get("/x")
            assert caught.value is gone and len(service.paths()) == 1

    run(main())


def test_cancellation_in_request_and_in_back_off(monkeypatch):
    async def main():
        async with Service() as service:
            service.query = [answer(body={"ok": True, "d": 1}, delay=5)]
            t = service.transport()
            task = asyncio.create_task(t.get("/x"))
            while not service.paths():
                await REAL_SLEEP(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

            service.query = [answer(503, {})]
            slept = asyncio.Event()

            class Sleeping:
                def __getattr__(self, name):
                    return getattr(asyncio, name)

                async def sleep(self, delay):
                    slept.set()
                    await REAL_SLEEP(3600)

            monkeypatch.setattr(transport, "asyncio", Sleeping())
            task = asyncio.create_task(t.get("/x"))
            await slept.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert t.fatal_error is None
            await t.session.close()

    run(main())


def test_signing_function_is_looked_up_at_call_time(fake_asyncio, monkeypatch):
    monkeypatch.setattr(
        transport, "_signature_headers", lambda method, url: {"X-ZQ-Signature": "0"}
    )

    async def main():
        async with Service() as service:
            with pytest.raises(ZqError) as caught:
                await query(service.transport(), "/x")
            assert caught.value.status == 401  # the server refused the forged signature

    run(main())
