"""Client-side helpers for driving the simulated market service: signing, frames, checks."""

from __future__ import annotations

import asyncio
import contextlib
import functools
import hashlib
import hmac
import json
import math
import re
import time

import aiohttp
from yarl import URL

from zqkit._build_config import SIGNING_SECRET
from zqkit.sim import MarketSim

TOKEN = "test-token"
BAR_KEYS = ("o", "h", "l", "c", "v", "m", "oi")
QUOTE_KEYS = BAR_KEYS + ("ps", "pc", "up", "dn")


def run(scenario):
    """Run an async test body on a fresh loop with a hard time limit."""

    @functools.wraps(scenario)
    def wrapper(*args, **kwargs):
        async def bounded():
            async with asyncio.timeout(10):
                return await scenario(*args, **kwargs)

        return asyncio.run(bounded())

    return wrapper


@contextlib.asynccontextmanager
async def serving(**options):
    """A running simulation (manual ticks, short history unless overridden) and a session."""
    options = {"rate": 0, "seed": 7, "history_minutes": 180} | options
    sim = MarketSim(TOKEN, **options)
    await sim.start()
    try:
        async with aiohttp.ClientSession() as session:
            yield sim, session
    finally:
        await sim.close()


def signed(method: str, url: URL, *, secret: bytes = SIGNING_SECRET, timestamp=None) -> dict:
    stamp = str(int(time.time()) if timestamp is None else timestamp)
    message = "\n".join((stamp, method.upper(), url.raw_path, url.raw_query_string))
    digest = hmac.new(secret, message.encode(), hashlib.sha256).hexdigest()
    return {"X-ZQ-Timestamp": stamp, "X-ZQ-Signature": digest}


async def query(session: aiohttp.ClientSession, base: str, path: str, params=None, **sign):
    """Signed GET; returns (status, parsed JSON body)."""
    url = URL(base + path)
    if params is not None:
        url = url.with_query(params)
    async with session.get(url, headers=signed("GET", url, **sign)) as response:
        return response.status, await response.json()


async def connect(session: aiohttp.ClientSession, base: str, **options):
    url = URL(base + "/")
    return await session.ws_connect(url, headers=signed("GET", url), **options)


async def subscribe(ws, *channels: str) -> None:
    await ws.send_str(json.dumps({"op": "sub", "c": list(channels)}, separators=(",", ":")))


async def next_json(ws, timeout: float = 2.0):
    message = await ws.receive(timeout=timeout)
    assert message.type == aiohttp.WSMsgType.TEXT, message
    return json.loads(message.data)


async def nothing_arrives(ws, seconds: float = 0.2) -> bool:
    try:
        await ws.receive(timeout=seconds)
    except TimeoutError:
        return True
    return False


class LayoutError(AssertionError):
    pass


def check_item(item, symbol: str, *, quote: bool) -> None:
    """Raise LayoutError unless `item` passes the client's decoding rules for its layout."""
    if not isinstance(item, dict) or item.get("s") != symbol:
        raise LayoutError("symbol")
    t, d = item.get("t"), item.get("d")
    if type(t) is not int or not 0 <= t <= 2**63 - 1:
        raise LayoutError("timestamp")
    if not isinstance(d, str) or not re.fullmatch("[0-9]{8}", d):
        raise LayoutError("trading day")
    for key in QUOTE_KEYS if quote else BAR_KEYS:
        if key not in item:
            raise LayoutError(f"missing {key}")
        _check_number(item[key], key)
    if quote:
        for side in ("b", "a"):
            levels = item.get(side)
            if not isinstance(levels, list) or len(levels) > 5:
                raise LayoutError(f"{side} levels")
            for level in levels:
                if not isinstance(level, list) or len(level) != 2:
                    raise LayoutError(f"{side} level shape")
                if type(level[1]) is not int or level[1] <= 0:
                    raise LayoutError(f"{side} level volume")
                if level[0] is None:
                    raise LayoutError(f"{side} level price")
                _check_number(level[0], side)


def _check_number(value, key: str) -> None:
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise LayoutError(f"{key} not a number")
    if not math.isfinite(float(value)):
        raise LayoutError(f"{key} not finite")


def on_tick(price: float, tick: float) -> bool:
    steps = price / tick
    return abs(steps - round(steps)) < 1e-6
