"""The simulated market service: token verification, signed queries and the market stream."""

from __future__ import annotations

import asyncio
import hmac
import json
import math
import random
import time
from collections import Counter
from collections.abc import AsyncIterator, Callable, Iterable
from typing import Any

from aiohttp import WSCloseCode, WSMsgType, web

from .faults import Faults, bad_frame
from .instruments import DEFAULT_INSTRUMENTS, KLINE_PERIODS, Instrument, parse_channel
from .model import PriceModel
from .signing import check_signature, secret_bytes

__all__ = ["MarketSim"]

VERIFY_PATH = "/api/token/verify"
QUOTE_PATH = "/api/quote"
KLINE_PATH = "/api/kline"
STREAM_PATH = "/"
# Client frames are subscription lists, which clients keep to 15 KiB per frame.
_MAX_CLIENT_FRAME = 1024 * 1024
# Past this aiohttp's default client limit (4 MiB) a frame is refused as too big.
_OVERSIZED_BYTES = 4 * 1024 * 1024 + 1
# How long a server-side close waits for the client's closing handshake.
_CLOSE_TIMEOUT = 2.0
_CLOSE = object()  # outbox marker: close the socket after the frames before it
# How long an answer held back by `push_before_answer` waits for its push to be sent, and
# then for the client to read it, before it goes out.
_PUSH_SEND_LIMIT = 2.0
_PUSH_LEAD = 0.05


class _Connection:
    """One accepted market stream."""

    def __init__(self, ws: web.WebSocketResponse, request: web.Request, outbox_limit: int):
        self.ws = ws
        self.request = request
        self.outbox: asyncio.Queue[Any] = asyncio.Queue()
        self.outbox_limit = outbox_limit
        # Subscribed channel -> (period or None for quotes, symbol), in subscription order.
        self.channels: dict[str, tuple[str | None, str]] = {}
        self.closing = False
        self.close_code = WSCloseCode.OK
        self.close_message = b""


class MarketSim:
    """A market service for tests and demos, bound to 127.0.0.1 by default.

    `token` is the one account token that verification accepts. `signing_secret` is the
    HMAC key (64 lowercase hex characters); it defaults to the key built into this copy
    of zqkit. Signed requests whose timestamp is more than `max_skew` seconds away from
    the wall clock are refused. Every instrument ticks `rate` times a second (0: only
    when `tick()` is called); `clock` gives the market time in Unix seconds, and
    `history_minutes` of one-minute ticks are simulated before the service starts so
    that K-line history exists. `seed` makes the random walks repeatable.
    """

    def __init__(
        self,
        token: str = "sim-token",
        *,
        instruments: Iterable[Instrument] = DEFAULT_INSTRUMENTS,
        signing_secret: bytes | str | None = None,
        max_skew: float = 300.0,
        rate: float = 4.0,
        seed: int | None = None,
        clock: Callable[[], float] = time.time,
        history_minutes: int = 600,
        history_limit: int = 10_000,
        oversized_bytes: int = _OVERSIZED_BYTES,
        outbox_limit: int = 10_000,
    ) -> None:
        if not isinstance(token, str) or not token:
            raise ValueError("token must be a non-empty str")
        _require_number("max_skew", max_skew, minimum=0)
        _require_number("rate", rate, minimum=0)
        _require_int("history_minutes", history_minutes, minimum=0)
        _require_int("history_limit", history_limit, minimum=1)
        _require_int("oversized_bytes", oversized_bytes, minimum=1)
        _require_int("outbox_limit", outbox_limit, minimum=1)
        self._token = token
        self._secret = secret_bytes(_built_secret() if signing_secret is None else signing_secret)
        self._max_skew = max_skew
        self._rate = rate
        self._clock = clock
        self._history_limit = history_limit
        self._oversized_bytes = oversized_bytes
        self._outbox_limit = outbox_limit
        self._model = PriceModel(instruments, rng=random.Random(seed), history_limit=history_limit)
        now = self._now_ms()
        self._model.warm_up(now - history_minutes * 60_000, now)
        self._faults = Faults()
        self._connections: set[_Connection] = set()
        self._tick_waiters: list[asyncio.Future[None]] = []
        self._runner: web.AppRunner | None = None
        self.host: str | None = None
        self.port: int | None = None
        #: Requests and events seen: "verify", "query", "handshake" (HTTP requests, refused
        #: ones included), "connections" (streams accepted), "sub_frames", "acks",
        #: "refusals", "protocol_errors", "pushes", "bad_frames", "drops", "ticks".
        self.counts: Counter[str] = Counter()
        #: Channel lists of every well-formed subscription frame received, in order.
        self.sub_frames: list[list[str]] = []

    # ----------------------------------------------------------------- lifecycle

    @property
    def url(self) -> str:
        """Base URL for both the market and the verification side; kept after `close`."""
        if self.port is None:
            raise RuntimeError("the simulated market service has not been started")
        host = f"[{self.host}]" if ":" in (self.host or "") else self.host
        return f"http://{host}:{self.port}"

    @property
    def symbols(self) -> list[str]:
        return self._model.symbols

    @property
    def open_connections(self) -> int:
        return len(self._connections)

    def create_app(self) -> web.Application:
        """A new aiohttp application serving this simulation (one per start)."""
        app = web.Application(middlewares=[_json_errors])
        app.router.add_post(VERIFY_PATH, self._verify)
        app.router.add_get(QUOTE_PATH, self._quote, allow_head=False)
        app.router.add_get(KLINE_PATH, self._kline, allow_head=False)
        app.router.add_get(STREAM_PATH, self._stream, allow_head=False)
        app.cleanup_ctx.append(self._ticking)
        app.on_shutdown.append(self._close_streams)
        return app

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> int:
        """Serve on `host`:`port` (0 picks a free port); returns the bound port."""
        if self._runner is not None:
            raise RuntimeError("the simulated market service is already running")
        runner = web.AppRunner(self.create_app(), shutdown_timeout=5.0, access_log=None)
        await runner.setup()
        try:
            await web.TCPSite(runner, host, port).start()
        except BaseException:
            await asyncio.shield(runner.cleanup())  # cancelled or not, free what was set up
            raise
        self._runner = runner
        self.host, self.port = runner.addresses[0][:2]
        return self.port

    async def close(self) -> None:
        """Close every stream (code 1001), stop ticking and release the port.

        The market state, the counters and armed faults other than a stall survive, so
        `start` may serve the same simulation again (on the same port, to play a restart)."""
        runner, self._runner = self._runner, None
        self._faults.resume()
        if runner is not None:
            # A cancelled caller must not leave the port bound or streams open.
            await asyncio.shield(runner.cleanup())

    async def serve(self, host: str = "127.0.0.1", port: int = 0) -> None:
        """Start, then serve until cancelled; the service is closed on the way out."""
        await self.start(host, port)
        try:
            await asyncio.Event().wait()
        finally:
            await self.close()

    async def __aenter__(self) -> MarketSim:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    # ------------------------------------------------------------------ market

    def tick(self) -> None:
        """Advance every instrument by one trade and push to the subscribers."""
        self._model.advance_all(self._now_ms())
        self.counts["ticks"] += 1
        waiters, self._tick_waiters = self._tick_waiters, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)
        if self._faults.stalled:
            return
        items: dict[str, dict] = {}
        for conn in list(self._connections):
            if conn.closing:
                continue  # a bad frame armed now must reach a stream that can show it
            for channel, (period, symbol) in conn.channels.items():
                item = items.get(channel)
                if item is None:
                    item = self._item(period, symbol)
                    items[channel] = item
                self._push(conn, channel, item)

    async def next_tick(self) -> None:
        """Return after the next tick has moved the market (stalled or not)."""
        waiter = asyncio.get_running_loop().create_future()
        self._tick_waiters.append(waiter)
        await waiter

    def last_price(self, symbol: str) -> float:
        """The price of the latest trade of `symbol` (KeyError for one not traded here)."""
        return self._model.last_price(symbol)

    def instrument(self, symbol: str) -> Instrument:
        """The `Instrument` traded here as `symbol` (KeyError for another)."""
        return self._model.instrument(symbol)

    def _item(self, period: str | None, symbol: str) -> dict:
        if period is None:
            return self._model.quote(symbol)
        return self._model.bar(symbol, period)

    def _now_ms(self) -> int:
        return int(self._clock() * 1000)

    async def _ticking(self, app: web.Application) -> AsyncIterator[None]:
        task = asyncio.create_task(self._tick_forever()) if self._rate > 0 else None
        yield
        if task is not None:
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)

    async def _tick_forever(self) -> None:
        interval = 1.0 / self._rate
        while True:
            await asyncio.sleep(interval)
            self.tick()

    # ------------------------------------------------------------- fault knobs

    def fail_next(
        self, kind: str, count: int = 1, *, status: int = 503, retry_after: str | None = None
    ) -> None:
        """Answer the next `count` requests of `kind` with `status` instead.

        `kind` is "verify", "query" or "handshake" (the stream's upgrade request, which
        is refused before the upgrade). A 429 carries "Retry-After" ("1" unless given);
        `retry_after` is sent as is with any status. A count of 0 disarms.
        """
        self._faults.fail_http(kind, count, status, retry_after)

    def send_bad_frame(self, kind: str = "not_json") -> None:
        """Send a faulty frame in place of the next push (on one stream).

        Kinds: "not_json", "not_object" (a JSON array), "binary" (the push as a binary
        frame), "bad_item" (an item without "oi"), "unsubscribed" (a push on a channel
        nobody subscribed), "oversized" (a push padded beyond `oversized_bytes`).
        """
        self._faults.arm_bad_frame(kind)

    def push_before_answer(self, count: int = 1) -> None:
        """Let the market move between computing and returning the next `count` answers.

        Each such query's answer is computed first; then the market ticks once, the tick's
        pushes are sent on every stream, and only then (a moment later, so that the client
        reads the pushes first) does the answer go out: pushes newer than an answer that
        arrive before it. A count of 0 disarms.
        """
        _require_int("count", count, minimum=0)
        self._faults.early_pushes = count

    def refuse_next_subscription(self, count: int = 1) -> None:
        """Refuse the next `count` subscription frames, known channels or not."""
        _require_int("count", count, minimum=0)
        self._faults.refusals = count

    def stall(self, seconds: float) -> None:
        """Stop pushing and acknowledging for `seconds`; acknowledgements due meanwhile
        are sent when the stall ends, pushes of the stalled ticks are not."""
        self._faults.stall(seconds)

    def resume(self) -> None:
        """End a stall now."""
        self._faults.resume()

    async def drop_connections(self, *, abort: bool = False) -> int:
        """Close every stream from the server side; returns how many there were.

        With `abort` the TCP connections are cut without a closing handshake.
        """
        conns = list(self._connections)
        self.counts["drops"] += len(conns)
        if abort:
            for conn in conns:
                transport = conn.request.transport
                if transport is not None:
                    transport.abort()
            return len(conns)
        await asyncio.gather(
            *(conn.ws.close(code=WSCloseCode.GOING_AWAY, message=b"drop") for conn in conns),
            return_exceptions=True,
        )
        return len(conns)

    # --------------------------------------------------------------- HTTP side

    async def _verify(self, request: web.Request) -> web.Response:
        self.counts["verify"] += 1
        refused = self._injected("verify")
        if refused is not None:
            return refused
        scheme, _, token = request.headers.get("Authorization", "").partition(" ")
        if scheme.lower() != "bearer" or not _same(token, self._token):
            return _error(401, "账户验证失败")
        return _answer({})

    async def _quote(self, request: web.Request) -> web.Response:
        refused = self._refuse_query(request)
        if refused is not None:
            return refused
        symbol = request.query.get("symbol")
        if symbol is None:
            return _error(400, "缺少参数 symbol")
        if symbol not in self._model:
            return _error(404, "未知合约")
        answer = _answer(self._model.quote(symbol))
        await self._push_before_answer()
        return answer

    async def _kline(self, request: web.Request) -> web.Response:
        refused = self._refuse_query(request)
        if refused is not None:
            return refused
        symbol = request.query.get("symbol")
        period = request.query.get("period")
        count = request.query.get("count")
        if symbol is None or period is None or count is None:
            return _error(400, "缺少参数 symbol、period 或 count")
        if period not in KLINE_PERIODS:
            return _error(400, "K 线周期无效")
        if not count.isascii() or not count.isdigit() or len(count) > 9:
            return _error(400, "K 线数量无效")
        if not 1 <= int(count) <= self._history_limit:
            return _error(400, f"K 线数量应在 1 到 {self._history_limit} 之间")
        if symbol not in self._model:
            return _error(404, "未知合约")
        answer = _answer(self._model.history(symbol, period, int(count)))
        await self._push_before_answer()
        return answer

    async def _push_before_answer(self) -> None:
        if not self._faults.take_early_push():
            return
        self.tick()
        outboxes = [conn.outbox.join() for conn in self._connections if not conn.closing]
        try:
            async with asyncio.timeout(_PUSH_SEND_LIMIT):
                await asyncio.gather(*outboxes)
        except TimeoutError:
            pass  # a stalled or vanished stream: the answer goes out regardless
        await asyncio.sleep(_PUSH_LEAD)

    def _refuse_query(self, request: web.Request) -> web.Response | None:
        self.counts["query"] += 1
        return self._first_refusal("query", request)

    def _first_refusal(self, kind: str, request: web.Request) -> web.Response | None:
        """An injected fault answers first, as a failing front would, then the signature."""
        injected = self._injected(kind)
        return injected if injected is not None else self._bad_signature(request)

    def _injected(self, kind: str) -> web.Response | None:
        fault = self._faults.take_http(kind)
        if fault is None:
            return None
        headers = {} if fault.retry_after is None else {"Retry-After": fault.retry_after}
        return _error(fault.status, "模拟服务故障", headers)

    def _bad_signature(self, request: web.Request) -> web.Response | None:
        url = request.rel_url
        reason = check_signature(
            self._secret,
            request.headers,
            request.method,
            url.raw_path,
            url.raw_query_string,
            now=time.time(),
            max_skew=self._max_skew,
        )
        return None if reason is None else _error(401, reason)

    # ------------------------------------------------------------- stream side

    async def _stream(self, request: web.Request) -> web.StreamResponse:
        self.counts["handshake"] += 1
        refused = self._first_refusal("handshake", request)
        if refused is not None:
            return refused
        ws = web.WebSocketResponse(timeout=_CLOSE_TIMEOUT, max_msg_size=_MAX_CLIENT_FRAME)
        if not ws.can_prepare(request).ok:
            return _error(400, "需要 WebSocket 连接")
        await ws.prepare(request)
        conn = _Connection(ws, request, self._outbox_limit)
        self._connections.add(conn)
        self.counts["connections"] += 1
        writer = asyncio.create_task(self._write(conn))
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT:
                    self._on_frame(conn, message.data)
                elif message.type == WSMsgType.BINARY:
                    self._reject_frame(conn, "订阅消息必须是文本")
                else:  # a transport error; the socket is finished
                    break
        finally:
            self._connections.discard(conn)
            writer.cancel()
            await asyncio.gather(writer, return_exceptions=True)
        return ws

    def _on_frame(self, conn: _Connection, text: str) -> None:
        if conn.closing:
            return  # already answered with an error; the stream is on its way out
        try:
            body = json.loads(text)
        except (ValueError, RecursionError):  # RecursionError: absurdly nested input
            self._reject_frame(conn, "订阅消息的 JSON 无效")
            return
        channels = body.get("c") if isinstance(body, dict) else None
        if (
            not isinstance(body, dict)
            or body.get("op") != "sub"
            or not isinstance(channels, list)
            or not channels
            or not all(isinstance(channel, str) for channel in channels)
        ):
            self._reject_frame(conn, "订阅消息格式无效")
            return
        self.counts["sub_frames"] += 1
        self.sub_frames.append(list(channels))
        channels = list(dict.fromkeys(channels))
        parsed = {channel: parse_channel(channel) for channel in channels}
        unknown = [
            channel
            for channel, parts in parsed.items()
            if parts is None or parts[1] not in self._model
        ]
        # A frame is taken whole or not at all, so a refusal leaves nothing half-subscribed.
        if unknown:
            self._refuse(conn, unknown, "未知的行情频道")
        elif self._faults.take_refusal():
            self._refuse(conn, channels, "行情订阅被拒绝")
        else:
            for channel, parts in parsed.items():
                conn.channels.setdefault(channel, parts)
            self.counts["acks"] += 1
            self._send(conn, {"op": "sub", "ok": True, "c": channels})

    def _refuse(self, conn: _Connection, channels: list[str], message: str) -> None:
        self.counts["refusals"] += 1
        self._send(conn, {"ok": False, "c": channels, "msg": message})

    def _reject_frame(self, conn: _Connection, message: str) -> None:
        """Answer a frame that breaks the protocol, then close the stream (1008)."""
        self.counts["protocol_errors"] += 1
        self._send(conn, {"ok": False, "msg": message})
        self._close_after_queue(conn, WSCloseCode.POLICY_VIOLATION, b"protocol error")

    def _push(self, conn: _Connection, channel: str, item: dict) -> None:
        kind = self._faults.take_bad_frame()
        if kind is None:
            self.counts["pushes"] += 1
            self._enqueue(conn, _dumps({"c": channel, "d": item}))
        else:
            self.counts["bad_frames"] += 1
            self._enqueue(conn, bad_frame(kind, channel, item, self._oversized_bytes))

    def _send(self, conn: _Connection, payload: dict) -> None:
        self._enqueue(conn, _dumps(payload))

    def _enqueue(self, conn: _Connection, frame: str | bytes) -> None:
        if conn.closing:
            return
        if conn.outbox.qsize() >= conn.outbox_limit:
            # A reader this far behind is cut off rather than buffered without end.
            self._close_after_queue(conn, WSCloseCode.TRY_AGAIN_LATER, b"slow consumer")
            return
        conn.outbox.put_nowait(frame)

    def _close_after_queue(self, conn: _Connection, code: int, message: bytes) -> None:
        if conn.closing:
            return
        conn.closing = True
        conn.close_code = code
        conn.close_message = message
        conn.outbox.put_nowait(_CLOSE)

    async def _write(self, conn: _Connection) -> None:
        """Send the outbox in order; acknowledgements and pushes share it, so a channel's
        acknowledgement always precedes its first push."""
        ws = conn.ws
        try:
            while True:
                frame = await conn.outbox.get()
                await self._faults.flowing()
                if frame is _CLOSE:
                    await ws.close(code=conn.close_code, message=conn.close_message)
                    return
                if isinstance(frame, bytes):
                    await ws.send_bytes(frame)
                else:
                    await ws.send_str(frame)
                conn.outbox.task_done()
        except ConnectionError:
            pass  # the peer went away; the reader side ends the stream
        finally:
            conn.closing = True  # nothing is sent any more; later frames would pile up

    async def _close_streams(self, app: web.Application) -> None:
        await asyncio.gather(
            *(
                conn.ws.close(code=WSCloseCode.GOING_AWAY, message=b"server shutdown")
                for conn in list(self._connections)
            ),
            return_exceptions=True,
        )


def _built_secret() -> bytes:
    try:
        from zqkit._build_config import SIGNING_SECRET
    except ImportError as error:
        raise RuntimeError(
            "zqkit._build_config is missing (zqkit is not installed from a build); "
            "pass signing_secret"
        ) from error
    return SIGNING_SECRET


def _same(given: str, expected: str) -> bool:
    # Header text may carry undecodable bytes as surrogates; compare the raw bytes.
    return hmac.compare_digest(
        given.encode("utf-8", "surrogateescape"), expected.encode("utf-8", "surrogateescape")
    )


def _dumps(value: object) -> str:
    # allow_nan=False: a NaN would be invalid JSON on the wire, so fail loudly here instead.
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def _answer(data: object) -> web.Response:
    return web.json_response({"ok": True, "d": data}, dumps=_dumps)


def _error(status: int, message: str, headers: dict[str, str] | None = None) -> web.Response:
    return web.json_response(
        {"ok": False, "msg": message}, status=status, headers=headers, dumps=_dumps
    )


@web.middleware
async def _json_errors(request: web.Request, handler: Any) -> web.StreamResponse:
    """Unknown paths and methods answer in the same JSON shape as every other error."""
    try:
        return await handler(request)
    except web.HTTPException as error:
        if error.status < 400:
            raise
        allow = error.headers.get("Allow")
        return _error(error.status, error.reason, None if allow is None else {"Allow": allow})


def _require_number(name: str, value: object, *, minimum: float) -> None:
    if (
        isinstance(value, bool)
        or not isinstance(value, int | float)
        or not math.isfinite(value)
        or value < minimum
    ):
        raise ValueError(f"{name} must be a finite number of at least {minimum}")


def _require_int(name: str, value: object, *, minimum: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{name} must be an int of at least {minimum}")
