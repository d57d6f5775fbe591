"""The market stream: signed handshake, subscriptions, acknowledgements, refusals, pushes."""

from __future__ import annotations

import json
import time

import aiohttp
import pytest
from sim_helpers import (
    check_item,
    connect,
    next_json,
    nothing_arrives,
    query,
    run,
    serving,
    signed,
    subscribe,
)
from yarl import URL

pytestmark = pytest.mark.timeout(15)
RB, CU = "SHFE.rb2610", "SHFE.cu2611"
QUOTE_RB = f"zq:quote:{RB}"
BARS_RB = f"zq:kline:1m:{RB}"


@pytest.mark.parametrize(
    "make_headers",
    [
        lambda url: {},
        lambda url: signed("GET", url, secret=b"1" * 64),
        lambda url: signed("GET", url, timestamp=int(time.time()) - 600),
        lambda url: signed("POST", url),
    ],
    ids=["unsigned", "wrong-secret", "stale", "wrong-method"],
)
@run
async def test_handshake_refused_before_upgrade(make_headers):
    async with serving() as (sim, session):
        url = URL(sim.url + "/")
        with pytest.raises(aiohttp.WSServerHandshakeError) as caught:
            await session.ws_connect(url, headers=make_headers(url))
        assert caught.value.status == 401
        assert (sim.counts["handshake"], sim.counts["connections"]) == (1, 0)


@run
async def test_plain_get_on_the_stream_path_is_refused():
    async with serving() as (sim, session):
        status, body = await query(session, sim.url, "/")
        assert status == 400 and body["ok"] is False


@run
async def test_subscription_is_acknowledged_then_pushed():
    async with serving() as (sim, session):
        ws = await connect(session, sim.url)
        await subscribe(ws, BARS_RB, QUOTE_RB, BARS_RB)
        ack = await next_json(ws)
        # Listed once each, in the order sent; exactly the keys the client checks.
        assert ack == {"op": "sub", "ok": True, "c": [BARS_RB, QUOTE_RB]}
        sim.tick()
        pushes = [await next_json(ws), await next_json(ws)]
        assert {push["c"] for push in pushes} == {BARS_RB, QUOTE_RB}
        for push in pushes:
            assert set(push) == {"c", "d"}
            check_item(push["d"], RB, quote=push["c"] == QUOTE_RB)
        assert await nothing_arrives(ws)
        assert sim.sub_frames == [[BARS_RB, QUOTE_RB, BARS_RB]]
        assert (sim.counts["acks"], sim.counts["pushes"]) == (1, 2)


@run
async def test_pushes_match_the_query_endpoints():
    async with serving() as (sim, session):
        ws = await connect(session, sim.url)
        await subscribe(ws, QUOTE_RB, BARS_RB)
        await next_json(ws)
        for _ in range(3):
            sim.tick()
            pushed = {push["c"]: push["d"] for push in [await next_json(ws), await next_json(ws)]}
            _, quote = await query(session, sim.url, "/api/quote", {"symbol": RB})
            params = {"symbol": RB, "period": "1m", "count": 1}
            _, bars = await query(session, sim.url, "/api/kline", params)
            assert pushed == {QUOTE_RB: quote["d"], BARS_RB: bars["d"][0]}


@run
async def test_market_clock_moves_bars_on():
    now = [1_796_700_000.0]  # a minute boundary
    async with serving(clock=lambda: now[0], history_minutes=3) as (sim, session):
        ws = await connect(session, sim.url)
        await subscribe(ws, BARS_RB)
        await next_json(ws)
        now[0] += 10
        sim.tick()
        first = (await next_json(ws))["d"]
        now[0] += 55
        sim.tick()
        second = (await next_json(ws))["d"]
        assert second["t"] == first["t"] + 60_000
        # One trade so far in the new bar.
        assert second["o"] == second["h"] == second["l"] == second["c"]
        params = {"symbol": RB, "period": "1m", "count": 2}
        _, history = await query(session, sim.url, "/api/kline", params)
        assert history["d"] == [first, second]


@run
async def test_ticker_pushes_at_the_configured_rate():
    async with serving(rate=50) as (sim, session):
        ws = await connect(session, sim.url)
        await subscribe(ws, QUOTE_RB)
        await next_json(ws)
        stamps = [(await next_json(ws))["d"]["t"] for _ in range(10)]
        assert stamps == sorted(stamps)
        assert sim.counts["ticks"] >= 10


@run
async def test_each_stream_gets_only_its_channels():
    async with serving() as (sim, session):
        first, second = await connect(session, sim.url), await connect(session, sim.url)
        await subscribe(first, QUOTE_RB)
        await subscribe(second, f"zq:kline:1d:{CU}")
        assert (await next_json(first))["c"] == [QUOTE_RB]
        assert (await next_json(second))["c"] == [f"zq:kline:1d:{CU}"]
        sim.tick()
        assert (await next_json(first))["c"] == QUOTE_RB
        push = await next_json(second)
        assert push["c"] == f"zq:kline:1d:{CU}"
        check_item(push["d"], CU, quote=False)
        assert await nothing_arrives(first) and await nothing_arrives(second)
        assert sim.open_connections == 2


@pytest.mark.parametrize(
    "bad",
    [
        "zq:quote:SHFE.xx0000",
        "zq:kline:2m:SHFE.rb2610",
        "zq:kline:SHFE.rb2610",
        "zq:quote:",
        "zq:quote:SHFE.rb2610:1m",
        "quote:SHFE.rb2610",
    ],
)
@run
async def test_unknown_channel_refuses_the_whole_frame(bad):
    async with serving() as (sim, session):
        ws = await connect(session, sim.url)
        await subscribe(ws, QUOTE_RB, bad)
        refusal = await next_json(ws)
        assert refusal["ok"] is False and "op" not in refusal
        assert refusal["c"] == [bad]
        sim.tick()
        assert await nothing_arrives(ws)  # the known channel was not taken either
        # The stream stays usable for a correct frame.
        await subscribe(ws, QUOTE_RB)
        assert (await next_json(ws))["ok"] is True


PROTOCOL_VIOLATIONS = {
    "not-json": "not json",
    "array": "[]",
    "unsub": json.dumps({"op": "unsub", "c": [QUOTE_RB]}),
    "empty": json.dumps({"op": "sub", "c": []}),
    "string": json.dumps({"op": "sub", "c": QUOTE_RB}),
    "not-str": json.dumps({"op": "sub", "c": [QUOTE_RB, 3]}),
    "no-op": json.dumps({"c": [QUOTE_RB]}),
    "deep-nesting": "[" * 100_000 + "]" * 100_000,
    "binary": b"binary",
}


@pytest.mark.parametrize("frame", PROTOCOL_VIOLATIONS.values(), ids=PROTOCOL_VIOLATIONS.keys())
@run
async def test_protocol_violation_is_answered_and_closed(frame):
    async with serving() as (sim, session):
        ws = await connect(session, sim.url)
        if isinstance(frame, bytes):
            await ws.send_bytes(frame)
        else:
            await ws.send_str(frame)
        error = await next_json(ws)
        assert error["ok"] is False and "op" not in error and error["msg"]
        closing = await ws.receive(timeout=2)
        assert closing.type == aiohttp.WSMsgType.CLOSE
        assert closing.data == aiohttp.WSCloseCode.POLICY_VIOLATION
        assert sim.counts["protocol_errors"] == 1 and sim.sub_frames == []
