"""A bench-only market service that pushes pre-encoded quote frames as fast as it can.

Run as its own process so that sending never competes with the client being measured:
`python bench/market_blaster.py` prints its port on one line and serves until terminated.

It speaks the stream protocol the transport expects: POST /api/token/verify with the bearer
token, a signed WebSocket handshake, one acknowledgement per subscription frame. The stream
path says what to do once `channels` channels are acknowledged:

    /burst/<channels>/<frames>/          write `frames` quote frames at once, round robin
    /paced/<channels>/<frames>/<rate>/   send them at `rate` frames a second

GET /sendtimes answers the `time.time_ns()` of each frame of the last paced stream, in order,
so that a client can match a push's sequence number to the moment it left.
"""

from __future__ import annotations

import asyncio
import json
import sys
import time

from aiohttp import web

from zqkit import _build_config
from zqkit.sim.signing import check_signature

TOKEN = "bench-token"
SENDTIMES: list[int] = []  # of the last paced stream
QUOTE = {
    "t": 1_767_594_600_500,
    "d": "20260105",
    "o": 3482.0,
    "h": 3521.0,
    "l": 3475.0,
    "c": 3509.0,
    "v": 412_337,
    "m": 14_462_118_320.0,
    "oi": 1_803_114,
    "ps": 3480.0,
    "pc": 3478.0,
    "up": 3689.0,
    "dn": 3271.0,
    "b": [[3509.0, 35], [3508.0, 122], [3507.0, 87], [3506.0, 240], [3505.0, 61]],
    "a": [[3510.0, 18], [3511.0, 96], [3512.0, 143], [3513.0, 77], [3514.0, 205]],
}


def symbol(index: int) -> str:
    return f"SHFE.rb{index:04d}"


def quote_item(index: int) -> dict:
    return dict(QUOTE, s=symbol(index), c=QUOTE["c"] + index % 7)


def websocket_frame(text: str) -> bytes:
    """One unmasked, uncompressed server-to-client text frame."""
    payload = text.encode()
    size = len(payload)
    if size < 126:
        header = bytes([0x81, size])
    elif size < 1 << 16:
        header = bytes([0x81, 126]) + size.to_bytes(2, "big")
    else:
        header = bytes([0x81, 127]) + size.to_bytes(8, "big")
    return header + payload


def push_frames(channels: list[str]) -> list[bytes]:
    """One encoded push per channel; the symbol is the channel's last component."""
    frames = []
    for index, channel in enumerate(channels):
        item = dict(quote_item(index), s=channel.rsplit(":", 1)[1])
        frames.append(websocket_frame(json.dumps({"c": channel, "d": item})))
    return frames


async def verify(request: web.Request) -> web.Response:
    if request.headers.get("Authorization") != f"Bearer {TOKEN}":
        return web.json_response({"ok": False, "msg": "token"}, status=401)
    return web.json_response({"ok": True, "d": {}})


async def acknowledge_until(ws: web.WebSocketResponse, wanted: int) -> list[str]:
    """Acknowledges subscription frames until `wanted` channels are in; returns them sorted."""
    acked: set[str] = set()
    while len(acked) < wanted:
        message = await ws.receive()
        if message.type != web.WSMsgType.TEXT:
            raise ConnectionError("stream ended before every channel was subscribed")
        channels = json.loads(message.data)["c"]
        await ws.send_str(json.dumps({"op": "sub", "ok": True, "c": channels}))
        acked.update(channels)
    return sorted(acked)


async def burst(request: web.Request, frames: list[bytes], count: int) -> None:
    # One write: the kernel and the event loop's buffer feed the client from here on.
    rounds, rest = divmod(count, len(frames))
    request.transport.write(b"".join(frames) * rounds + b"".join(frames[:rest]))


async def paced(request: web.Request, frames: list[bytes], count: int, rate: float) -> None:
    sent = SENDTIMES
    sent.clear()
    start = time.monotonic()
    for index in range(count):
        delay = start + index / rate - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        sent.append(time.time_ns())
        request.transport.write(frames[index % len(frames)])


async def stream(request: web.Request) -> web.StreamResponse:
    reason = check_signature(
        _build_config.SIGNING_SECRET,
        request.headers,
        "GET",
        request.url.raw_path,
        request.url.raw_query_string,
        now=time.time(),
        max_skew=300,
    )
    if reason is not None:
        return web.json_response({"ok": False, "msg": reason}, status=401)
    mode, channels, count, *rate = request.path.strip("/").split("/")
    ws = web.WebSocketResponse(compress=False)
    await ws.prepare(request)
    frames = push_frames(await acknowledge_until(ws, int(channels)))
    if mode == "burst":
        await burst(request, frames, int(count))
    else:
        await paced(request, frames, int(count), float(rate[0]))
    async for _ in ws:  # until the client closes; answers its heartbeat pings meanwhile
        pass
    return ws


async def sendtimes(request: web.Request) -> web.Response:
    return web.json_response(SENDTIMES)


async def serve() -> None:
    app = web.Application()
    app.router.add_post("/api/token/verify", verify)
    app.router.add_get("/sendtimes", sendtimes)
    app.router.add_get("/{tail:.+}/", stream)
    runner = web.AppRunner(app, shutdown_timeout=0.1)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print(site._server.sockets[0].getsockname()[1], flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        sys.exit(0)
