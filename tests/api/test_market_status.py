"""market_status: how the connection state moves, and what wait_update shows of it."""

import asyncio
import contextlib
import os

import pytest
from api_helpers import SYMBOL, fake_client, run, wire_quote

from zqkit import Client, ZqError
from zqkit.api import MarketStatus, status
from zqkit.sim import MarketSim

TOKEN = "status-token"


def test_transitions_keep_what_they_do_not_change():
    start = MarketStatus()
    assert (start.state, start.reason, start.connections, start.failures, start.data_at) == (
        "connecting",
        None,
        0,
        0,
        None,
    )
    up = status.arrived(status.ready(status.restoring(start, 1)), 5.0)
    assert (up.state, up.connections, up.data_at) == ("ready", 1, 5.0)
    down = status.connecting(status.connecting(up, "a"), "b")
    assert (down.state, down.reason, down.failures, down.data_at) == ("connecting", "b", 2, 5.0)
    again = status.ready(status.restoring(down, 2))
    assert (again.state, again.reason, again.failures, again.connections) == ("ready", "b", 0, 2)
    assert status.failed(again, "x").state == "failed"
    assert status.changed_fields(up, again) == {"reason", "connections"}
    with pytest.raises(AttributeError):
        up.state = "ready"


def test_failure_reasons_say_where_the_connection_ended():
    def reason(**facts):
        options = dict(
            connected=True, close_code=None, socket_error=None, overflow=False, restore_failed=False
        )
        return status.failure_reason(**(options | facts))

    assert reason(connected=False, close_code=1001) == "无法连接行情服务"
    too_big = ValueError("Message size 9 exceeds limit 4")
    assert reason(socket_error=too_big, close_code=1009).endswith("Message size 9 exceeds limit 4")
    assert reason(close_code=1001) == "行情服务关闭了连接（代码 1001）"
    assert reason(close_code=4000) == "行情连接已关闭（代码 4000）"
    assert reason(overflow=True, restore_failed=True) == "行情处理跟不上推送，重新连接以同步"
    assert reason(restore_failed=True) == "恢复快照查询失败"
    assert reason() == "行情连接中断"


@run
async def test_status_is_committed_only_by_wait_update(monkeypatch):
    client, transport = fake_client(monkeypatch)
    await client.__aenter__()
    handle = client.quote(SYMBOL)
    shown = client.market_status
    transport.answers = {"/api/quote": [wire_quote(1, 100)]}
    await transport.connect()
    await asyncio.sleep(0.01)
    assert client.market_status is shown  # moved, but not yet committed
    loop = asyncio.get_running_loop()
    assert await client.wait_update()
    ready = client.market_status
    assert (ready.state, ready.connections) == ("ready", 1) and ready.data_at <= loop.time()
    assert client.is_changing(ready, "state") and client.is_changing(handle)
    assert not client.is_changing(shown)  # the replaced status object
    assert await client.wait_update(deadline=loop.time() + 0.01) is False
    assert client.market_status is ready and not client.is_changing(ready)
    with pytest.raises(ValueError, match="no field 'nope'"):
        client.is_changing(ready, "nope")

    # a fatal error is committed as "failed" before it is raised
    error = ZqError("行情服务拒绝连接", status=403)
    transport.fail(error)
    with pytest.raises(ZqError) as raised:
        await client.wait_update()
    assert raised.value is error
    assert client.market_status.state == "failed" and client.market_status.reason == str(error)
    await client.close()


@contextlib.asynccontextmanager
async def market(**options):
    async with MarketSim(TOKEN, rate=0, seed=2, history_minutes=30, **options) as sim:
        async with Client(TOKEN, sim.url, sim.url, timeout=5) as api:
            yield sim, api


async def until(api: Client, check, seconds: float = 10) -> None:
    loop = asyncio.get_running_loop()
    end = loop.time() + seconds
    while not check(api.market_status):
        assert loop.time() < end, api.market_status
        await api.wait_update(deadline=min(end, loop.time() + 0.2))


@run
async def test_a_dead_service_shows_as_connecting_not_as_a_quiet_market():
    async with market() as (sim, api):
        api.quote(SYMBOL)
        await until(api, lambda s: s.state == "ready")
        assert api.market_status.connections == 1
        port = sim.port
        await sim.close()  # the service goes away
        loop = asyncio.get_running_loop()
        assert await api.wait_update(deadline=loop.time() + 0.3) is False
        lost = api.market_status
        assert lost.state == "connecting" and "1001" in lost.reason
        assert api.is_changing(lost, "state")
        await until(api, lambda s: s.failures >= 2)
        assert api.market_status.reason == "无法连接行情服务"
        await sim.start(port=port)
        await until(api, lambda s: s.state == "ready")
        back = api.market_status
        assert (back.connections, back.failures) == (2, 0) and back.data_at is not None


@run
async def test_broken_frames_show_why_the_stream_keeps_reconnecting():
    async with market() as (sim, api):
        api.quote(SYMBOL)
        await until(api, lambda s: s.state == "ready")
        sim.send_bad_frame("oversized")
        sim.tick()
        await until(api, lambda s: s.failures == 1)
        assert api.market_status.reason == "行情消息超过大小上限（代码 1009）"
        await until(api, lambda s: s.state == "ready")


@run
async def test_a_failed_late_snapshot_query_is_not_raised_from_wait_update():
    async with market() as (sim, api):
        api.quote(SYMBOL)
        await until(api, lambda s: s.state == "ready")
        sim.fail_next("query", 3, status=503)
        bars = api.kline(SYMBOL, "1m", 4)
        loop = asyncio.get_running_loop()
        while api.snapshot_error(bars) is None:
            await api.wait_update(deadline=loop.time() + 0.5)  # raises nothing
        assert "连续失败 3 次" in str(api.snapshot_error(bars))
        assert api.market_status.state == "ready" and not bars.bars
        assert api.kline(SYMBOL, "1m", 4) is bars  # asks again: queried again
        while not bars.bars:
            assert await api.wait_update(deadline=loop.time() + 5)
        assert api.snapshot_error(bars) is None and len(bars.bars) == 4


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@run
async def test_cancelled_closes_leave_no_session_or_descriptor_behind():
    async with MarketSim(TOKEN, rate=0, seed=2, history_minutes=30) as sim:
        before = open_descriptors()
        for steps in range(12):
            api = Client(TOKEN, sim.url, sim.url, timeout=5)
            await api.__aenter__()
            api.quote(SYMBOL)
            assert await api.wait_update(deadline=asyncio.get_running_loop().time() + 5)
            closing = asyncio.create_task(api.close())
            for _ in range(steps):
                await asyncio.sleep(0)
            closing.cancel()
            await asyncio.gather(closing, return_exceptions=True)
            await api.close()  # finishes what the cancelled one left
            transport = api._transport
            assert transport.session.closed and transport.task.done()
        await asyncio.sleep(0.1)
        assert open_descriptors() <= before
