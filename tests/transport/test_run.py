"""The connection loop: back-off, fatal classification, error selection, cleanup and close."""

import asyncio

import aiohttp
import pytest
from market_service import (
    REAL_SLEEP,
    Service,
    acknowledge_forever,
    answer,
    receive_subscriptions,
    run,
    settle,
)

from zqkit.data import ZqError
from zqkit.errors import Recovery
from zqkit.transport import Transport

QUOTE = "zq:quote:SHFE.rb2610"


async def drops_after_ack(ws, service):
    """Acknowledges the first frame, then drops the connection."""
    async for frame in receive_subscriptions(ws, service):
        await ws.send_json({"op": "sub", "ok": True, "c": frame["c"]})
        await REAL_SLEEP(0.05)
        return


def test_back_off_grows_to_30_and_resets_after_a_bootstrap(fake_asyncio):
    async def main():
        async with Service() as service:
            service.handshake = [503, 502, 500, 429, 408, 503, 503, None]
            service.stream = drops_after_ack
            t = service.transport()
            t.subscribe(QUOTE)
            t.start()
            await settle(lambda: len(fake_asyncio.sleeps) >= 8)
            assert fake_asyncio.sleeps[:8] == [1, 2, 4, 8, 16, 30, 30, 1]
            assert t.generation >= 1 and t.fatal_error is None
            await t.close()
            assert t.task.done() and t.ws is None and t.session.closed

    run(main())


@pytest.mark.parametrize("status", [400, 401, 403, 404])
def test_handshake_refusal_is_fatal(fake_asyncio, status):
    async def main():
        async with Service() as service:
            service.handshake = [status]
            t = service.transport()
            t.start()
            assert await t.task is None
            error = t.fatal_error
            assert (str(error), error.status) == ("行情服务拒绝连接", status)
            assert t.changed.is_set() and t.ack_changed.is_set() and fake_asyncio.sleeps == []
            task = t.task
            t.start()
            assert t.task is task
            with pytest.raises(ZqError) as caught:
                await t.next_batch()
            assert caught.value is error
            await t.close()

    run(main())


def test_spent_recovery_budget_is_fatal(fake_asyncio):
    async def main():
        async with Service() as service:
            service.handshake = [503]
            t = service.transport()
            t.recovery = Recovery("行情连接", 2, 600)
            t.start()
            await t.task
            assert str(t.fatal_error) == "行情连接多次恢复失败，请稍后重新连接。"
            assert fake_asyncio.sleeps == [1] and len(t.incoming) == 0
            await t.close()

    run(main())


def test_slow_handshake_times_out_and_is_retried(fake_asyncio):
    async def main():
        async with Service() as service:
            service.handshake = [2.0, None]
            t = service.transport(timeout=0.2)
            t.start()
            await settle(lambda: t.generation == 1)
            assert fake_asyncio.sleeps == [1]
            await t.close()

    run(main())


def test_handshake_is_bounded_by_what_is_left_of_the_recovery_budget(fake_asyncio):
    async def main():
        async with Service() as service:
            service.handshake = [2.0, None]
            t = service.transport(timeout=5)
            t.recovery.begin()
            t.recovery.started -= t.recovery.seconds - 0.2  # 0.2 s left of the period
            t.start()
            await asyncio.wait_for(asyncio.shield(t.task), 1)
            assert str(t.fatal_error) == "行情连接多次恢复失败，请稍后重新连接。"
            assert service.connections == 0 and fake_asyncio.sleeps == []
            await t.close()

    run(main())


def connected_children(t, **behaviour):
    """Replaces the four per-connection coroutines; unnamed ones wait forever."""
    gate = asyncio.Event()

    async def forever():
        await asyncio.sleep(3600)

    def child(name):
        outcome = behaviour.get(name)

        async def body():
            if outcome is None:
                await forever()
            await gate.wait()
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome

        return body

    for name in ("receive", "send_subscriptions", "bootstrap", "_guard_ready"):
        setattr(t, name, child(name))
    return gate


@pytest.mark.parametrize(
    "order", [("receive", "send_subscriptions"), ("send_subscriptions", "receive")]
)
def test_zq_error_wins_over_a_simultaneous_connection_error(fake_asyncio, order):
    async def main():
        async with Service() as service:
            t = service.transport()
            protocol = ZqError("行情订阅失败")
            gate = connected_children(
                t, **{order[0]: aiohttp.ClientConnectionError("x"), order[1]: protocol}
            )
            t.start()
            await settle(lambda: t.ws is not None)
            gate.set()
            await t.task
            assert t.fatal_error is protocol and fake_asyncio.sleeps == []
            await t.close()

    run(main())


@pytest.mark.parametrize(
    ("failure", "fatal"),
    [
        (KeyError("x"), "行情服务异常"),
        (ZqError("行情订阅失败"), "行情订阅失败"),
        (aiohttp.ClientConnectionError("x"), None),
        (TimeoutError(), None),
    ],
)
def test_child_failures_are_classified(fake_asyncio, failure, fatal):
    async def main():
        async with Service() as service:
            t = service.transport()
            gate = connected_children(t, bootstrap=failure)
            gate.set()
            t.start()
            if fatal:
                await t.task
                assert str(t.fatal_error) == fatal and fake_asyncio.sleeps == []
                if fatal == "行情服务异常":  # the unexpected error is kept as the cause
                    assert t.fatal_error.__cause__ is failure
            else:
                await settle(lambda: len(fake_asyncio.sleeps) >= 2)
                assert fake_asyncio.sleeps[:2] == [1, 2]
                assert t.fatal_error is None
            await t.close()

    run(main())


def test_guard_ends_the_stream_when_recovery_stalls(fake_asyncio):
    async def main():
        async def stuck():
            await asyncio.sleep(3600)

        async with Service() as service:
            t = service.transport(restore=stuck)
            t.recovery = Recovery("行情连接", 20, 0.2)
            t.start()
            await t.task
            assert str(t.fatal_error) == "行情连接在 0.2 秒内未能恢复，已停止重试。"
            assert t.ws is None and not t.ready and len(t.incoming) == 0
            await t.close()

    run(main())


def test_verification_failure_inside_run_is_fatal(fake_asyncio):
    async def main():
        async with Service() as service:
            service.verify = [answer(401, {})]
            t = service.transport()
            t.start()
            await t.task
            assert t.fatal_error.status == 401 and service.connections == 0
            await t.close()

    run(main())


@pytest.mark.parametrize("stage", ["verify", "handshake", "connected", "back-off"])
def test_cancellation_at_every_stage_cleans_up(stage):
    async def main():
        async with Service() as service:
            if stage == "verify":
                service.verify = [answer(body={"ok": True, "d": {}}, delay=5)]
            elif stage == "handshake":
                service.handshake = [5.0]
            elif stage == "back-off":
                service.handshake = [503]
            service.stream = acknowledge_forever
            t = service.transport()
            t.subscribe(QUOTE)
            t.start()
            if stage == "connected":
                await settle(lambda: t._connection_announced)
            elif stage == "back-off":
                await settle(lambda: t.recovery.failures > 0)
            else:
                await settle(lambda: len(service.requests) == (1 if stage == "verify" else 2))
            await REAL_SLEEP(0.02)
            await t.close()
            assert t.task.cancelled() and t.ws is None and not t.ready and not t.acked
            assert t.fatal_error is None and t.session.closed

    run(main())


def test_close_cancels_children_and_closes_the_socket(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            t.subscribe(QUOTE)
            t.start()
            await settle(lambda: t._connection_announced)
            ws, children = t.ws, t.bootstrap_task
            await t.close()
            assert ws.closed and children.done() and t.ws is None
            assert fake_asyncio.sleeps == [0]

    run(main())


@pytest.mark.parametrize(("url", "pause"), [("https://md.example", 0.25), ("http://h", 0)])
def test_close_of_a_transport_never_started_only_pauses(fake_asyncio, url, pause):
    async def main():
        t = Transport(url, 5, None, "tok", "http://a")
        await t.close()
        assert fake_asyncio.sleeps == [pause] and t.session is None

    run(main())


def test_close_reports_a_failing_session(fake_asyncio):
    class Session:
        async def close(self):
            raise OSError("boom")

    async def main():
        t = Transport("http://h", 5, None, "tok", "http://a")
        t.session = Session()
        with pytest.raises(ZqError, match="^关闭行情连接失败$") as caught:
            await t.close()
        assert caught.value.__suppress_context__ and t.session is not None

    run(main())
