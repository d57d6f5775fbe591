"""A scriptable market service on 127.0.0.1 and helpers for driving Transport."""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import time
from collections.abc import Awaitable, Callable

from aiohttp import web

from zqkit import _build_config
from zqkit.transport import Transport

REAL_SLEEP = asyncio.sleep


def run(coro, timeout: float = 10):
    """Runs one test coroutine with a hard time-out."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


def signature_ok(request: web.Request) -> bool:
    timestamp = request.headers.get("X-ZQ-Timestamp", "")
    message = "\n".join(
        [timestamp, request.method, request.url.raw_path, request.url.raw_query_string]
    )
    expected = hmac.new(_build_config.SIGNING_SECRET, message.encode(), hashlib.sha256)
    fresh = timestamp.isdigit() and abs(int(timestamp) - time.time()) < 60
    return fresh and hmac.compare_digest(
        request.headers.get("X-ZQ-Signature", ""), expected.hexdigest()
    )


def answer(
    status: int = 200,
    body=None,
    headers=None,
    delay: float = 0,
    content_type: str = "application/json",
) -> Callable:
    """A scripted HTTP answer; `body` may be an object (sent as JSON) or raw text."""

    async def respond(request: web.Request) -> web.StreamResponse:
        if delay:
            await REAL_SLEEP(delay)
        text = body if isinstance(body, str) else json.dumps(body)
        return web.Response(status=status, text=text, content_type=content_type, headers=headers)

    return respond


OK_VERIFY = answer(body={"ok": True, "d": {}})


class Service:
    """Verification, signed queries and the market WebSocket, each answer scripted by a test.

    `verify` and `query` are lists of answers consumed in order (the last one repeats);
    `handshake` likewise, where an int refuses the WebSocket upgrade with that status, a float
    delays it by that many seconds and None accepts it; `stream(ws, service)` then runs the
    accepted connection.
    """

    def __init__(self) -> None:
        self.verify: list = [OK_VERIFY]
        self.query: list = [answer(body={"ok": True, "d": [1, 2]})]
        self.handshake: list = [None]
        self.stream: Callable[..., Awaitable] = acknowledge_forever
        self.requests: list[web.Request] = []
        self.frames: list[str] = []
        self.connections = 0
        self.sockets: list[web.WebSocketResponse] = []

    @staticmethod
    def _next(script: list):
        return script.pop(0) if len(script) > 1 else script[0]

    async def _verify(self, request: web.Request) -> web.StreamResponse:
        self.requests.append(request)
        return await self._next(self.verify)(request)

    async def _query(self, request: web.Request) -> web.StreamResponse:
        self.requests.append(request)
        if not signature_ok(request):
            return web.Response(status=401)
        return await self._next(self.query)(request)

    async def _socket(self, request: web.Request) -> web.StreamResponse:
        self.requests.append(request)
        status = self._next(self.handshake)
        if isinstance(status, float):
            await REAL_SLEEP(status)
        elif status is not None:
            return web.Response(status=status)
        if not signature_ok(request):
            return web.Response(status=403)
        ws = web.WebSocketResponse()
        await ws.prepare(request)
        self.connections += 1
        self.sockets.append(ws)
        await self.stream(ws, self)
        await ws.close()
        return ws

    async def __aenter__(self) -> Service:
        app = web.Application()
        app.router.add_post("/auth/api/token/verify", self._verify)
        app.router.add_get("/md/", self._socket)
        app.router.add_get("/md/{tail:.+}", self._query)
        self.runner = web.AppRunner(app, shutdown_timeout=0.1)
        await self.runner.setup()
        site = web.TCPSite(self.runner, "127.0.0.1", 0)
        await site.start()
        port = site._server.sockets[0].getsockname()[1]
        self.base = f"http://127.0.0.1:{port}"
        return self

    async def __aexit__(self, *exc_info) -> None:
        for ws in self.sockets:
            await ws.close()
        await self.runner.cleanup()

    def transport(self, restore=None, timeout: float = 5) -> Transport:
        async def no_snapshots():
            return []

        return Transport(
            self.base + "/md", timeout, restore or no_snapshots, "tok", self.base + "/auth"
        )

    def paths(self, method: str = "GET") -> list[str]:
        return [r.path_qs for r in self.requests if r.method == method]


async def receive_subscriptions(ws: web.WebSocketResponse, service: Service):
    """Yields each subscription frame the client sends, recording it."""
    async for message in ws:
        if message.type != web.WSMsgType.TEXT:
            return
        service.frames.append(message.data)
        yield json.loads(message.data)


async def acknowledge_forever(ws: web.WebSocketResponse, service: Service) -> None:
    async for frame in receive_subscriptions(ws, service):
        await ws.send_json({"op": "sub", "ok": True, "c": frame["c"]})


class FakeAsyncio:
    """Stands in for the module's `asyncio`: records back-off sleeps instead of sleeping."""

    def __init__(self) -> None:
        self.sleeps: list[float] = []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        if delay == 0.1:  # the readiness guard's poll: let it run, but not spin
            await REAL_SLEEP(0.005)
            return result
        self.sleeps.append(delay)
        await REAL_SLEEP(0)
        return result


async def settle(condition: Callable[[], bool], timeout: float = 5) -> None:
    """Waits until `condition()` holds."""
    deadline = asyncio.get_running_loop().time() + timeout
    while not condition():
        if asyncio.get_running_loop().time() > deadline:
            raise AssertionError("condition not reached")
        await REAL_SLEEP(0.005)
