"""Token verification: caching, fatal answers, retries and their budget."""

import asyncio
import time

import pytest
from market_service import OK_VERIFY, REAL_SLEEP, Service, answer, run

import zqkit.transport as transport
from zqkit.data import ZqError

INVALID = "账户验证响应无效。"
UNAVAILABLE = "账户验证暂不可用，请稍后重试。"


async def verify(service, t):
    try:
        await t.verify_account()
    finally:
        if t.session is not None:
            await t.session.close()


def test_success_is_cached_for_half_an_hour(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            before = time.monotonic()
            await t.verify_account()
            await t.verify_account()
            assert service.paths("POST") == ["/auth/api/token/verify"]
            request = service.requests[0]
            assert request.headers["Authorization"] == "Bearer tok"
            assert before + 1800 <= t._verified_until <= time.monotonic() + 1800
            session = await t.client()
            assert session is t.session and session is await t.client()
            assert session.timeout.total == 5 and session.trust_env is True
            await session.close()

    run(main())


@pytest.mark.parametrize(
    ("status", "message"),
    [
        (401, "账户验证失败，请检查 Token 或账户状态。"),
        (403, "账户验证失败，请检查 Token 或账户状态。"),
        (404, "账户验证请求未获允许。"),
        (302, "账户验证请求未获允许。"),
    ],
)
def test_refusal_is_fatal_with_status(fake_asyncio, status, message):
    async def main():
        async with Service() as service:
            service.verify = [answer(status, {}, headers={"Location": "/elsewhere"})]
            t = service.transport()
            t.ready = True
            t.incoming.appendleft((0, "zq:quote:A.a", [], 0))
            t.acked.add("zq:quote:A.a")
            with pytest.raises(ZqError) as caught:
                await verify(service, t)
            error = caught.value
            assert (str(error), error.status) == (message, status)
            assert error.__cause__ is None and error.__suppress_context__
            assert t.fatal_error is error and t._verified_until == 0
            assert not t.ready and len(t.incoming) == 0 and not t.acked
            assert t.changed.is_set() and t.ack_changed.is_set()
            with pytest.raises(ZqError) as again:
                t.raise_error()
            assert again.value is error
            with pytest.raises(ZqError) as again:
                await t.verify_account()
            assert again.value is error and len(service.requests) == 1
            assert fake_asyncio.sleeps == []

    run(main())


@pytest.mark.parametrize(
    "body",
    ["not json", [], {"ok": 1, "d": {}}, {"ok": True}, {"ok": True, "d": {"x": 1}}, {"d": {}}],
)
def test_invalid_answer_is_fatal(fake_asyncio, body):
    async def main():
        async with Service() as service:
            service.verify = [answer(body=body)]
            t = service.transport()
            with pytest.raises(ZqError, match=INVALID) as caught:
                await verify(service, t)
            assert caught.value.status is None and caught.value.__suppress_context__
            assert t.fatal_error is caught.value

    run(main())


@pytest.mark.parametrize("body", ["<html>busy</html>", ""])
def test_answer_that_is_not_json_is_invalid_not_retried(fake_asyncio, body):
    async def main():
        async with Service() as service:
            service.verify = [answer(body=body, content_type="text/html"), OK_VERIFY]
            t = service.transport()
            with pytest.raises(ZqError, match=INVALID) as caught:
                await verify(service, t)
            assert caught.value.status is None and caught.value.__suppress_context__
            assert t.fatal_error is caught.value and fake_asyncio.sleeps == []

    run(main())


@pytest.mark.parametrize(
    ("headers", "pause"),
    [
        ({"Retry-After": "30"}, 30.0),
        ({"Retry-After": "abc"}, 1.0),
        ({"Retry-After": "500"}, 120.0),
        ({"Retry-After": "-3"}, 0.5),
        ({"Retry-After": "nan"}, 0.5),
        ({}, 1.0),
    ],
)
def test_429_honours_clamped_retry_after(fake_asyncio, headers, pause):
    async def main():
        async with Service() as service:
            service.verify = [answer(429, {}, headers=headers), OK_VERIFY]
            t = service.transport()
            await verify(service, t)
            assert fake_asyncio.sleeps == [pause]
            assert t.fatal_error is None and t._verified_until > 0

    run(main())


def test_server_errors_back_off_then_budget_refuses(fake_asyncio):
    async def main():
        async with Service() as service:
            service.verify = [answer(503, {}), answer(500, {}), answer(408, {}), OK_VERIFY]
            t = service.transport()
            with pytest.raises(ZqError, match="账户验证连续失败 3 次") as caught:
                await verify(service, t)
            assert fake_asyncio.sleeps == [0.5, 1.0]
            assert t.fatal_error is caught.value and len(service.requests) == 3

    run(main())


def test_per_request_timeout_is_retried(fake_asyncio):
    async def main():
        async with Service() as service:
            service.verify = [answer(body={"ok": True, "d": {}}, delay=1), OK_VERIFY]
            t = service.transport(timeout=0.2)
            await verify(service, t)
            assert fake_asyncio.sleeps == [0.5] and t.fatal_error is None

    run(main())


def test_overall_limit_makes_verification_unavailable(fake_asyncio):
    fake_asyncio.timeout = lambda delay: asyncio.timeout(0.3)

    async def main():
        async with Service() as service:
            service.verify = [answer(body={"ok": True, "d": {}}, delay=2)]
            t = service.transport(timeout=5)
            with pytest.raises(ZqError, match=UNAVAILABLE) as caught:
                await verify(service, t)
            assert caught.value.__suppress_context__ and t.fatal_error is caught.value

    run(main())


def test_unexpected_failure_is_replaced_and_socket_closed(fake_asyncio):
    class Socket:
        closed = 0

        async def close(self):
            Socket.closed += 1
            raise RuntimeError("already gone")

    async def main():
        async with Service() as service:
            t = service.transport()

            async def broken():
                raise KeyError("boom")

            t.client = broken
            t.ws = Socket()
            with pytest.raises(ZqError, match=UNAVAILABLE) as caught:
                await t.verify_account()
            assert caught.value.__cause__ is None and caught.value.__suppress_context__
            assert Socket.closed == 1

    run(main())


def test_cancellation_passes_through_and_releases_the_lock(fake_asyncio):
    async def main():
        async with Service() as service:
            service.verify = [answer(body={"ok": True, "d": {}}, delay=5), OK_VERIFY]
            t = service.transport()
            task = asyncio.create_task(t.verify_account())
            while not service.requests:
                await REAL_SLEEP(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert t.fatal_error is None and not t._auth_lock.locked()
            await verify(service, t)
            assert t._verified_until > 0

    run(main())


def test_cancellation_during_back_off(monkeypatch):
    async def main():
        async with Service() as service:
            service.verify = [answer(503, {})]
            t = service.transport()
            slept = asyncio.Event()

            class Sleeping:
                def __getattr__(self, name):
                    return getattr(asyncio, name)

                async def sleep(self, delay):
                    slept.set()
                    await REAL_SLEEP(3600)

            monkeypatch.setattr(transport, "asyncio", Sleeping())
            task = asyncio.create_task(t.verify_account())
            await slept.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert t.fatal_error is None
            await t.session.close()

    run(main())


def test_concurrent_callers_share_one_verification(fake_asyncio):
    async def main():
        async with Service() as service:
            service.verify = [answer(body={"ok": True, "d": {}}, delay=0.1)]
            t = service.transport()
            await asyncio.gather(*(t.verify_account() for _ in range(5)))
            assert len(service.requests) == 1
            await t.session.close()

    run(main())


def test_callers_waiting_on_a_failed_verification_do_not_verify_again(fake_asyncio):
    # A rejected token must not be sent again by every caller that queued behind the first.
    async def main():
        async with Service() as service:
            service.verify = [answer(401, {}, delay=0.1)]
            t = service.transport()
            results = await asyncio.gather(
                *(t.verify_account() for _ in range(4)), return_exceptions=True
            )
            assert len(service.requests) == 1
            assert all(result is t.fatal_error for result in results)
            assert t.fatal_error.status == 401
            await t.session.close()

    run(main())
