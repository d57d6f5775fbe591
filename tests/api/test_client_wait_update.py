"""wait_update against a scripted transport: snapshots, ordering, changes, deadlines, errors."""

import asyncio
import math

import pytest
from api_helpers import (
    KLINE,
    QUOTE,
    SYMBOL,
    bar_row,
    fake_client,
    quote_row,
    run,
    wire_bar,
    wire_quote,
)

from zqkit import ZqError
from zqkit.api import Client
from zqkit.data import decode


async def opened(monkeypatch) -> tuple[Client, object]:
    client, transport = fake_client(monkeypatch)
    await client.__aenter__()
    return client, transport


async def restored_quote(monkeypatch, t: int, last: float) -> tuple[Client, object, object]:
    """An entered client whose first connection restored one quote (not yet applied)."""
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    transport.answers = {"/api/quote": [wire_quote(t, last)]}
    await transport.connect()
    return client, transport, handle


@run
async def test_restore_queries_every_channel_and_validates_like_a_push(monkeypatch):
    client, transport = await opened(monkeypatch)
    client.quote(SYMBOL)
    client.kline(SYMBOL, "1m", 3)
    client.kline(SYMBOL, "1m", 5)  # one query, for the longer series
    transport.answers = {
        "/api/quote": [wire_quote(1000, 101)],
        "/api/kline": [[wire_bar(60_000, 1), wire_bar(120_000, 2)]],
    }
    snapshots = dict(await transport.connect())
    assert transport.queries == [
        ("/api/quote", {"symbol": SYMBOL}),
        ("/api/kline", {"symbol": SYMBOL, "period": "1m", "count": "5"}),
    ]
    assert snapshots[QUOTE] == [decode(wire_quote(1000, 101), SYMBOL, quote=True)]
    assert [row["close"] for row in snapshots[KLINE]] == [1.0, 2.0]

    bad = [("/api/quote", wire_quote(1, 1) | {"s": "SHFE.cu2611"}, "合约与订阅频道不一致")]
    bad += [("/api/kline", {"not": "a list"}, "K 线历史数据格式无效")]
    bad += [("/api/kline", [wire_bar(1, 1) | {"t": -1}], "时间戳或交易日无效")]
    for path, answer, message in bad:
        transport.answers = {
            "/api/quote": [wire_quote(1, 1)],
            "/api/kline": [[wire_bar(1, 1)]],
        } | {path: [answer]}
        with pytest.raises(ZqError, match=message):
            await transport.connect()
    await client.close()


@run
async def test_quote_snapshots_are_immutable_and_replaced(monkeypatch):
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    empty = handle.data()
    assert math.isnan(empty.last_price)
    transport.answers = {"/api/quote": [wire_quote(1000, 101)]}
    await transport.connect()
    assert await client.wait_update()
    first = handle.data()
    assert first is not empty and first.last_price == 101 and first.symbol == SYMBOL
    assert client.is_changing(handle) and client.is_changing(handle, "last_price")
    with pytest.raises(AttributeError):
        first.last_price = 1.0

    transport.push([transport.live(QUOTE, quote_row(2000, 102))])
    assert await client.wait_update()
    second = handle.data()
    assert second is not first and second.last_price == 102 and first.last_price == 101
    assert second.bids == [(101.0, 3)] and first.bids == [(100.0, 3)]
    assert client.is_changing(handle, "bids") and not client.is_changing(handle, "pre_close")
    await client.close()


@run
async def test_kline_rows_feed_the_series_and_report_columns(monkeypatch):
    client, transport = await opened(monkeypatch)
    bars = client.kline(SYMBOL, "1m", 3)
    transport.answers = {"/api/kline": [[wire_bar(60_000, 1), wire_bar(120_000, 2)]]}
    await transport.connect()
    assert await client.wait_update()
    assert list(bars.frame["close"])[1:] == [1.0, 2.0] and bars.frame["timestamp"][0] == 0
    assert client.is_changing(bars) and client.is_changing(bars, "close")
    transport.push([transport.live(KLINE, bar_row(120_000, 2))])  # the same bar again
    assert await client.wait_update()
    assert not client.is_changing(bars)
    transport.push([transport.live(KLINE, bar_row(180_000, 4))])
    assert await client.wait_update()
    assert list(bars.frame["close"]) == [1.0, 2.0, 4.0]
    assert client.is_changing(bars, "timestamp")
    with pytest.raises(ValueError, match="no field 'last_price'"):
        client.is_changing(bars, "last_price")
    with pytest.raises(TypeError, match="quote handle or a K-line series"):
        client.is_changing(bars.frame)
    await client.close()


@run
async def test_live_rows_older_than_the_snapshot_are_ignored(monkeypatch):
    client, transport = await opened(monkeypatch)
    bars = client.kline(SYMBOL, "1m", 3)
    handle = client.quote(SYMBOL)
    # Pushes that arrive while the snapshots are queried are ordered by their content:
    # the quote's time is before the snapshot's; the bar's equals the snapshot's bar.
    stale = []

    async def kline_answer():
        stale.append(transport.live(KLINE, bar_row(120_000, -1)))
        stale.append(transport.live(QUOTE, quote_row(500, -1)))
        return [wire_bar(60_000, 1), wire_bar(120_000, 2)]

    transport.answers = {"/api/quote": [wire_quote(1000, 101)]}
    transport.answers["/api/kline"] = [None]
    real_get = transport.get

    async def get(path, params=None):
        if path == "/api/kline":
            return await kline_answer()
        return await real_get(path, params)

    transport.get = get
    await transport.connect()
    assert (bars.initial_generation, bars.initial_sequence) == (0, 0)
    fresh = transport.live(KLINE, bar_row(120_000, 3))
    transport.batches[0] += [*stale, fresh]
    assert await client.wait_update()
    # the marks are the stream position when each query was sent
    assert (bars.initial_generation, bars.initial_sequence) == (1, 0)
    assert bars.frame["close"].iloc[-1] == 3.0
    assert (handle.initial_generation, handle.initial_sequence) == (1, 2)
    assert handle.data().last_price == 101

    # a live row of an older connection never overrides the newer snapshot
    transport.push([(0, KLINE, [bar_row(180_000, -5)], 99)])
    assert await client.wait_update()
    assert bars.frame["close"].iloc[-1] == 3.0 and not client.is_changing(bars)
    await client.close()


@run
async def test_objects_subscribed_after_the_restore_load_their_own_snapshot(monkeypatch):
    client, transport, handle = await restored_quote(monkeypatch, 1000, 101)
    bars = client.kline(SYMBOL, "1m", 2)  # after this connection's recovery queries
    transport.sequence = 7
    transport.answers["/api/kline"] = [[wire_bar(60_000, 1), wire_bar(120_000, 2)]]
    # the restore batch and the late query come in side by side, in either order
    while math.isnan(handle.data().last_price) or not bars.bars:
        assert await client.wait_update()
    assert list(bars.frame["close"]) == [1.0, 2.0] and handle.data().last_price == 101
    assert (bars.initial_generation, bars.initial_sequence) == (1, 7)
    transport.push([transport.live(KLINE, bar_row(180_000, 3))])
    assert await client.wait_update()
    assert list(bars.frame["close"]) == [2.0, 3.0]
    assert len(transport.queries) == 2
    await client.close()


@run
async def test_deadline_returns_false_and_clears_changes(monkeypatch):
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    transport.answers = {"/api/quote": [wire_quote(1, 100)]}
    await transport.connect()
    assert await client.wait_update() and client.is_changing(handle)
    loop = asyncio.get_running_loop()
    assert await client.wait_update(deadline=loop.time() + 0.05) is False
    assert not client.is_changing(handle)
    assert await client.wait_update(deadline=loop.time() - 1) is False
    with pytest.raises(ValueError, match="deadline"):
        await client.wait_update(deadline=float("nan"))
    await client.close()


@run
async def test_cancelled_wait_update_loses_nothing(monkeypatch):
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    waiting = asyncio.create_task(client.wait_update())
    await asyncio.sleep(0.01)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    transport.answers = {"/api/quote": [wire_quote(1, 100)]}
    await transport.connect()
    assert await client.wait_update() and handle.data().last_price == 100

    # cancelled while a late subscription's snapshot loads: the query runs beside the
    # stream, so it goes on and the next call applies it
    bars = client.kline(SYMBOL, "1m", 2)
    gate = transport.query_gate = asyncio.Event()
    transport.answers["/api/kline"] = [[wire_bar(60_000, 2)]]
    waiting = asyncio.create_task(client.wait_update())
    await asyncio.sleep(0.01)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    transport.query_gate = None
    gate.set()
    assert await client.wait_update() and bars.frame["close"].iloc[-1] == 2.0
    assert [path for path, _ in transport.queries].count("/api/kline") == 1
    await client.close()


@run
async def test_short_deadlines_do_not_starve_a_late_snapshot(monkeypatch):
    # A caller polling with deadlines shorter than one query must still get the late
    # series' history, and the data queued behind it, instead of a query begun anew
    # and abandoned on every call.
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    transport.answers = {"/api/quote": [wire_quote(1, 100)]}
    await transport.connect()
    bars = client.kline(SYMBOL, "1m", 2)
    transport.answers["/api/kline"] = [[wire_bar(60_000, 2)]] * 3
    real_get = transport.get

    async def slow_get(path, params=None):
        await asyncio.sleep(0.05)
        return await real_get(path, params)

    transport.get = slow_get
    loop = asyncio.get_running_loop()
    updates = 0
    for _ in range(40):
        updates += await client.wait_update(deadline=loop.time() + 0.02)
        if updates == 2:
            break
    assert updates == 2 and bars.frame["close"].iloc[-1] == 2.0
    assert handle.data().last_price == 100
    assert [path for path, _ in transport.queries].count("/api/kline") == 1

    # a query left running by a deadline ends with the client
    cancelled = []

    async def stuck_get(path, params=None):
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            cancelled.append(path)
            raise

    transport.get = stuck_get
    client.kline(SYMBOL, "5m", 2)
    assert await client.wait_update(deadline=loop.time() + 0.02) is False
    await asyncio.sleep(0.02)
    assert cancelled == []
    await client.close()
    assert cancelled == ["/api/kline"]


@run
async def test_fatal_transport_error_is_raised(monkeypatch):
    client, transport = await opened(monkeypatch)
    client.quote(SYMBOL)
    error = ZqError("行情服务拒绝连接", status=403)
    waiting = asyncio.create_task(client.wait_update())
    await asyncio.sleep(0.01)
    transport.fail(error)
    with pytest.raises(ZqError) as raised:
        await waiting
    assert raised.value is error
    with pytest.raises(ZqError) as again:
        await client.wait_update()
    assert again.value is error
    await client.close()


@run
async def test_failed_late_snapshot_query_is_reported_on_its_object_not_raised(monkeypatch):
    # The stream is healthy: the failure belongs to the one object, and wait_update goes
    # on delivering the others' data instead of raising as if the connection had ended.
    client, transport = await opened(monkeypatch)
    transport.ready, transport.generation = True, 1
    handle = client.quote(SYMBOL)
    refused = ZqError("行情查询连续失败 3 次，已停止重试。")
    transport.answers = {"/api/quote": [refused, wire_quote(12, 7)]}
    loop = asyncio.get_running_loop()
    assert await client.wait_update(deadline=loop.time() + 0.1) is False
    assert client.snapshot_error(handle) is refused
    assert math.isnan(handle.data().last_price)
    # its live rows are kept meanwhile and not retried on their own
    transport.push([transport.live(QUOTE, quote_row(9, 8))])
    assert await client.wait_update(deadline=loop.time() + 0.1)
    assert not client.is_changing(handle) and math.isnan(handle.data().last_price)
    assert [path for path, _ in transport.queries] == ["/api/quote"]
    # asking for the handle again is the request to retry
    assert client.quote(SYMBOL) is handle
    assert await client.wait_update()
    # the kept push came before the new query was sent: the answer is newer
    assert handle.data().last_price == 7
    assert client.snapshot_error(handle) is None and client.is_changing(handle)
    with pytest.raises(TypeError):
        client.snapshot_error(object())
    await client.close()


@run
async def test_a_tampered_series_fails_after_the_rest_is_applied(monkeypatch):
    client, transport = await opened(monkeypatch)
    transport.ready, transport.generation = True, 1
    bars = client.kline(SYMBOL, "1m", 2)
    handle = client.quote(SYMBOL)
    transport.answers = {"/api/kline": [[]], "/api/quote": [wire_quote(1, 1)]}
    assert await client.wait_update()
    del bars.frame["close"]
    kline_row = transport.live(KLINE, bar_row(60_000, 5))
    transport.push([kline_row, transport.live(QUOTE, quote_row(2, 9))])
    with pytest.raises(RuntimeError, match="不能修改 SDK 内部 K 线"):
        await client.wait_update()
    assert handle.data().last_price == 9 and client.is_changing(handle)
    await client.close()


@run
async def test_restore_cancelled_mid_query_records_nothing_for_the_rest(monkeypatch):
    client, transport = await opened(monkeypatch)
    handle = client.quote(SYMBOL)
    bars = client.kline(SYMBOL, "1m", 2)
    transport.generation = 1
    transport.query_gate = asyncio.Event()
    transport.answers = {"/api/quote": [wire_quote(1, 1)]}
    restoring = asyncio.create_task(client._restore())
    await asyncio.sleep(0.01)
    restoring.cancel()
    with pytest.raises(asyncio.CancelledError):
        await restoring
    assert client._snapshot_marks == {} and len(transport.queries) == 1
    assert math.isnan(handle.data().last_price) and bars.bars == {}
    await client.close()


@run
async def test_close_failure_is_raised_once_and_the_client_stays_closed(monkeypatch):
    client, transport = await opened(monkeypatch)
    failure = ZqError("关闭行情连接失败")

    async def failing_close():
        transport.closed += 1
        raise failure

    transport.close = failing_close
    with pytest.raises(ZqError) as raised:
        await client.close()
    assert raised.value is failure
    await client.close()
    assert transport.closed == 1


@run
async def test_one_waiter_at_a_time_and_close_ends_the_wait(monkeypatch):
    client, transport = await opened(monkeypatch)
    client.quote(SYMBOL)
    waiting = asyncio.create_task(client.wait_update())
    await asyncio.sleep(0.01)
    with pytest.raises(RuntimeError, match="already waiting"):
        await client.wait_update()
    await client.close()
    with pytest.raises(RuntimeError, match="closed while wait_update was waiting"):
        await waiting
    assert not waiting.cancelled() and transport.closed == 1


@run
async def test_a_slow_late_snapshot_query_does_not_hold_up_other_channels(monkeypatch):
    client, transport, handle = await restored_quote(monkeypatch, 1, 100)
    assert await client.wait_update()
    gate = transport.query_gate = asyncio.Event()
    bars = client.kline(SYMBOL, "1m", 2)
    transport.answers["/api/kline"] = [[wire_bar(60_000, 2)]]
    loop = asyncio.get_running_loop()
    for price in (101, 102, 103):  # the quote keeps flowing while the query hangs
        transport.push([transport.live(QUOTE, quote_row(price, price))])
        assert await client.wait_update(deadline=loop.time() + 1)
        assert handle.data().last_price == price and not bars.bars
    # the series' own pushes wait for its history, then follow it
    transport.push([transport.live(KLINE, bar_row(60_000, 5))])
    assert await client.wait_update(deadline=loop.time() + 1) and not bars.bars
    gate.set()
    assert await client.wait_update(deadline=loop.time() + 1)
    assert client.is_changing(bars) and list(bars.frame["close"])[-1] == 5.0
    await client.close()


def slow_close(transport) -> asyncio.Event:
    """Make the transport's close wait for the returned event."""
    release = asyncio.Event()

    async def close():
        await release.wait()
        transport.closed += 1

    transport.close = close
    return release


@run
async def test_a_cancelled_close_is_finished_by_the_next(monkeypatch):
    client, transport = await opened(monkeypatch)
    client.quote(SYMBOL)
    release = slow_close(transport)
    closing = asyncio.create_task(client.close())
    await asyncio.sleep(0.01)
    closing.cancel()
    with pytest.raises(asyncio.CancelledError):
        await closing
    assert transport.closed == 0
    with pytest.raises(RuntimeError, match="closed"):
        client.quote(SYMBOL)  # closed for use at once
    release.set()
    await client.close()
    await client.close()
    assert transport.closed == 1


@run
async def test_leaving_the_block_closes_everything_even_when_cancelled(monkeypatch):
    client, transport = fake_client(monkeypatch)
    release = slow_close(transport)

    async def body():
        async with client:
            client.kline(SYMBOL, "1m", 2)
            await asyncio.Event().wait()

    task = asyncio.create_task(body())
    await asyncio.sleep(0.01)
    task.cancel()  # leaves the block
    await asyncio.sleep(0.01)
    task.cancel()  # and again while it closes
    await asyncio.sleep(0.01)
    assert not task.done()
    release.set()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert transport.closed == 1


@run
async def test_deadlines_that_no_float_can_hold_are_refused(monkeypatch):
    client, transport = await opened(monkeypatch)
    for deadline in (10**400, -(10**400), "1", True):
        with pytest.raises(ValueError, match="deadline"):
            await client.wait_update(deadline)
    assert await client.wait_update(float("-inf")) is False
    await client.close()
