"""Fault knobs of a running simulation, and its shutdown with clients connected."""

from __future__ import annotations

import asyncio
import json

import aiohttp
import pytest
from sim_helpers import (
    LayoutError,
    check_item,
    connect,
    next_json,
    nothing_arrives,
    query,
    run,
    serving,
    subscribe,
)

from zqkit.sim import MarketSim

pytestmark = pytest.mark.timeout(15)
RB = "SHFE.rb2610"
QUOTE_RB = f"zq:quote:{RB}"
DM = "DCE.m2609"
QUOTE_DM = f"zq:quote:{DM}"


async def subscribed(session, sim, *channels, **options):
    ws = await connect(session, sim.url, **options)
    await subscribe(ws, *channels)
    assert (await next_json(ws))["ok"] is True
    return ws


@run
async def test_handshake_fault_refuses_the_upgrade_then_heals():
    async with serving() as (sim, session):
        sim.fail_next("handshake", 1, status=429, retry_after="2")
        with pytest.raises(aiohttp.WSServerHandshakeError) as caught:
            await connect(session, sim.url)
        assert (caught.value.status, caught.value.headers["Retry-After"]) == (429, "2")
        ws = await connect(session, sim.url)
        assert not ws.closed
        assert (sim.counts["handshake"], sim.counts["connections"]) == (2, 1)


@run
async def test_drop_connections_closes_every_stream():
    async with serving() as (sim, session):
        streams = [await subscribed(session, sim, QUOTE_RB) for _ in range(2)]
        assert await sim.drop_connections() == 2
        for ws in streams:
            message = await ws.receive(timeout=2)
            assert (message.type, message.data) == (
                aiohttp.WSMsgType.CLOSE,
                aiohttp.WSCloseCode.GOING_AWAY,
            )
        await asyncio.sleep(0.05)
        assert sim.open_connections == 0
        sim.tick()  # nothing left to push to
        # A new stream starts clean: nothing is subscribed until it asks.
        ws = await connect(session, sim.url)
        sim.tick()
        assert await nothing_arrives(ws)
        assert sim.counts["drops"] == 2


@run
async def test_abort_cuts_the_connection_without_handshake():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        assert await sim.drop_connections(abort=True) == 1
        message = await ws.receive(timeout=2)
        assert message.type in (aiohttp.WSMsgType.CLOSED, aiohttp.WSMsgType.ERROR)
        await asyncio.sleep(0.05)
        assert sim.open_connections == 0


def _assert_bad(kind, message):
    if kind == "binary":
        assert message.type == aiohttp.WSMsgType.BINARY
        return
    if kind == "oversized":
        assert message.type == aiohttp.WSMsgType.ERROR  # beyond the client's max_msg_size
        return
    assert message.type == aiohttp.WSMsgType.TEXT
    if kind == "not_json":
        with pytest.raises(ValueError):
            json.loads(message.data)
        return
    body = json.loads(message.data)
    if kind == "not_object":
        assert not isinstance(body, dict)
    elif kind == "bad_item":
        with pytest.raises(LayoutError, match="missing oi"):
            check_item(body["d"], RB, quote=True)
    else:
        assert kind == "unsubscribed" and body["c"] != QUOTE_RB


@pytest.mark.parametrize(
    "kind", ["not_json", "not_object", "binary", "bad_item", "unsubscribed", "oversized"]
)
@run
async def test_bad_frame_replaces_exactly_one_push(kind):
    async with serving(oversized_bytes=8192) as (sim, session):
        bystander = await subscribed(session, sim, QUOTE_DM, max_msg_size=4096)
        ws = await subscribed(session, sim, QUOTE_RB, max_msg_size=4096)
        sim.tick()  # both streams get a good push
        await next_json(ws), await next_json(bystander)
        await bystander.close()
        await asyncio.sleep(0.05)
        sim.send_bad_frame(kind)
        sim.tick()
        _assert_bad(kind, await ws.receive(timeout=2))
        assert sim.counts["bad_frames"] == 1
        if kind != "oversized":  # the client drops the stream after a frame too big
            sim.tick()
            check_item((await next_json(ws))["d"], RB, quote=True)


@run
async def test_refused_subscription_then_accepted():
    async with serving() as (sim, session):
        ws = await connect(session, sim.url)
        sim.refuse_next_subscription()
        await subscribe(ws, QUOTE_RB)
        refusal = await next_json(ws)
        assert refusal["ok"] is False and "op" not in refusal and refusal["c"] == [QUOTE_RB]
        sim.tick()
        assert await nothing_arrives(ws)
        await subscribe(ws, QUOTE_RB)
        assert await next_json(ws) == {"op": "sub", "ok": True, "c": [QUOTE_RB]}
        assert (sim.counts["refusals"], sim.counts["acks"]) == (1, 1)


@run
async def test_stall_holds_acks_and_skips_pushes():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        sim.stall(0.4)
        await subscribe(ws, QUOTE_DM)
        sim.tick()
        assert await nothing_arrives(ws, 0.2)
        # The held acknowledgement arrives once the stall ends; stalled ticks are gone.
        assert await next_json(ws, 1.0) == {"op": "sub", "ok": True, "c": [QUOTE_DM]}
        assert await nothing_arrives(ws, 0.1)
        sim.tick()
        assert {(await next_json(ws))["c"] for _ in range(2)} == {QUOTE_RB, QUOTE_DM}


@run
async def test_resume_ends_a_stall_early():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        sim.stall(60)
        sim.tick()
        assert await nothing_arrives(ws, 0.1)
        sim.resume()
        sim.tick()
        assert (await next_json(ws, 1.0))["c"] == QUOTE_RB


@run
async def test_reader_too_far_behind_is_cut_off():
    async with serving(outbox_limit=4) as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        sim.stall(0.2)  # frames pile up in the outbox meanwhile
        for _ in range(6):
            await subscribe(ws, QUOTE_DM)
        await asyncio.sleep(0.1)
        frames = []
        while (message := await ws.receive(timeout=2)).type == aiohttp.WSMsgType.TEXT:
            frames.append(json.loads(message.data))
        assert len(frames) == 4 and all(frame["ok"] is True for frame in frames)
        assert (message.type, message.data) == (
            aiohttp.WSMsgType.CLOSE,
            aiohttp.WSCloseCode.TRY_AGAIN_LATER,
        )


@run
async def test_close_with_clients_connected():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        url = sim.url
        await sim.close()
        message = await ws.receive(timeout=2)
        assert (message.type, message.data) == (
            aiohttp.WSMsgType.CLOSE,
            aiohttp.WSCloseCode.GOING_AWAY,
        )
        with pytest.raises(aiohttp.ClientConnectionError):
            await query(session, url, "/api/quote", {"symbol": RB})
        await sim.close()  # a second close is harmless


@run
async def test_cancelling_serve_closes_streams_and_the_port():
    sim = MarketSim("t", rate=20, history_minutes=5)
    task = asyncio.create_task(sim.serve())
    while sim.port is None:
        await asyncio.sleep(0.01)
    async with aiohttp.ClientSession() as session:
        ws = await subscribed(session, sim, QUOTE_RB)
        await next_json(ws)  # the ticker is running
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        message = await ws.receive(timeout=2)
        assert (message.type, message.data) == (
            aiohttp.WSMsgType.CLOSE,
            aiohttp.WSCloseCode.GOING_AWAY,
        )
        with pytest.raises(aiohttp.ClientConnectionError):
            await query(session, sim.url, "/api/quote", {"symbol": RB})
        ticks = sim.counts["ticks"]
        await asyncio.sleep(0.15)
        assert sim.counts["ticks"] == ticks  # the ticker stopped with the service


@run
async def test_start_twice_is_refused_and_failed_bind_leaves_it_stopped():
    async with serving() as (sim, session):
        with pytest.raises(RuntimeError):
            await sim.start()
        other = MarketSim("t", rate=0, history_minutes=0)
        with pytest.raises(OSError):
            await other.start(port=sim.port)
        assert other.port is None
        with pytest.raises(RuntimeError):
            other.url  # noqa: B018


@run
async def test_restart_on_the_same_port_keeps_the_market():
    async with serving() as (sim, session):
        _, before = await query(session, sim.url, "/api/quote", {"symbol": RB})
        ws = await subscribed(session, sim, QUOTE_RB)
        port = sim.port
        await sim.close()
        assert (await ws.receive(timeout=2)).type == aiohttp.WSMsgType.CLOSE
        assert await sim.start(port=port) == port
        _, after = await query(session, sim.url, "/api/quote", {"symbol": RB})
        assert after["d"] == before["d"]
        ws = await subscribed(session, sim, QUOTE_RB)
        sim.tick()
        assert (await next_json(ws))["d"]["t"] >= before["d"]["t"]
        assert (sim.counts["connections"], sim.counts["query"]) == (2, 2)


@run
async def test_cancelled_close_still_releases_the_port():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        closing = asyncio.create_task(sim.close())
        await asyncio.sleep(0)
        closing.cancel()
        with pytest.raises(asyncio.CancelledError):
            await closing
        message = await ws.receive(timeout=2)
        assert (message.type, message.data) == (
            aiohttp.WSMsgType.CLOSE,
            aiohttp.WSCloseCode.GOING_AWAY,
        )
        for _ in range(100):
            await asyncio.sleep(0.02)
            try:
                await query(session, sim.url, "/api/quote", {"symbol": RB})
            except aiohttp.ClientConnectionError:
                break
        else:
            pytest.fail("the port is still served after a cancelled close")


@run
async def test_push_before_answer_sends_a_newer_push_ahead_of_the_answer():
    async with serving() as (sim, session):
        ws = await subscribed(session, sim, QUOTE_RB)
        sim.push_before_answer()
        answering = asyncio.create_task(query(session, sim.url, "/api/quote", {"symbol": RB}))
        push = await next_json(ws)
        assert not answering.done()  # the push is out before the answer
        status, body = await answering
        assert status == 200 and push["c"] == QUOTE_RB
        # the answer was computed before the tick whose push came first
        assert (body["d"]["t"], body["d"]["v"]) < (push["d"]["t"], push["d"]["v"])
        assert sim.counts["ticks"] == 1
        # used up: the next answer is the current state, with no tick
        status, body = await query(session, sim.url, "/api/quote", {"symbol": RB})
        assert body["d"] == push["d"] and sim.counts["ticks"] == 1
        with pytest.raises(ValueError, match="count"):
            sim.push_before_answer(-1)


@run
async def test_push_before_answer_does_not_wait_on_a_stalled_stream():
    async with serving() as (sim, session):
        await subscribed(session, sim, QUOTE_RB)
        sim.stall(30)
        sim.push_before_answer()
        status, body = await query(
            session, sim.url, "/api/kline", {"symbol": RB, "period": "1m", "count": "2"}
        )
        assert status == 200 and len(body["d"]) == 2 and sim.counts["ticks"] == 1
