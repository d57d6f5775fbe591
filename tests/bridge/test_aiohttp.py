"""Real aiohttp round trips driven from C++ coroutines against a local server."""

import asyncio

import aiohttp
import pytest
from aiohttp import web
from conftest import run

from zqkit import _bridge_check as m


async def _text(request):
    return web.Response(text="hello from the server")


async def _broken(request):
    return web.Response(status=500, text="broken")


async def _hang(request):
    await asyncio.sleep(3600)
    return web.Response(text="never")


async def _echo(request):
    ws = web.WebSocketResponse()
    await ws.prepare(request)
    async for message in ws:
        await ws.send_str("echo:" + message.data)
    return ws


_silent_closed = []


async def _silent(request):
    ws = web.WebSocketResponse()
    await ws.prepare(request)
    async for _ in ws:
        pass
    _silent_closed.append(ws.close_code)
    return ws


async def _with_server(scenario):
    app = web.Application()
    app.add_routes(
        [
            web.get("/text", _text),
            web.get("/broken", _broken),
            web.get("/hang", _hang),
            web.get("/ws", _echo),
            web.get("/silent", _silent),
        ]
    )
    runner = web.AppRunner(app, shutdown_timeout=0.1)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    try:
        async with aiohttp.ClientSession() as session:
            return await scenario(session, f"http://127.0.0.1:{port}")
    finally:
        await runner.cleanup()


def test_http_get_with_async_with_reads_the_body():
    async def scenario(session, base):
        assert await m.http_text(session, base + "/text") == "hello from the server"
        with pytest.raises(aiohttp.ClientResponseError) as raised:
            await m.http_text(session, base + "/broken")
        assert raised.value.status == 500
        # The connection went back to the pool both times.
        assert await m.http_text(session, base + "/text") == "hello from the server"

    run(_with_server(scenario))


def test_http_request_cancelled_by_timeout_releases_the_connection():
    async def scenario(session, base):
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.05):
                await m.http_text(session, base + "/hang")
        assert await m.http_text(session, base + "/text") == "hello from the server"

    run(_with_server(scenario))


def test_websocket_echo_round_trip():
    async def scenario(session, base):
        messages = [f"message {i}" for i in range(20)]
        replies = await m.ws_echo(session, base + "/ws", messages)
        assert replies == ["echo:" + message for message in messages]

        # Cancelled while waiting for a reply: __aexit__ closes the socket (an await during the
        # cancellation's cleanup) before the cancellation goes on.
        _silent_closed.clear()
        task = asyncio.create_task(m.ws_echo(session, base + "/silent", ["unanswered"]))
        await asyncio.sleep(0.05)
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        for _ in range(100):
            if _silent_closed:
                break
            await asyncio.sleep(0.01)
        assert _silent_closed == [aiohttp.WSCloseCode.OK]

    run(_with_server(scenario))
