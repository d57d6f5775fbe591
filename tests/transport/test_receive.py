"""The frame reader: every frame the stream may deliver, checked against a real socket."""

import json

import aiohttp
import pytest
from market_service import REAL_SLEEP, Service, run
from yarl import URL

import zqkit.transport as transport
from zqkit.data import ZqError
from zqkit.transport import _RetryMarketError, _signature_headers

QUOTE = "zq:quote:SHFE.rb2610"
KLINE = "zq:kline:60:SHFE.rb2610"


def quote_item(symbol="SHFE.rb2610", t=1):
    fields = dict.fromkeys(["o", "h", "l", "c", "v", "m", "oi", "ps", "pc", "up", "dn"], 1)
    return {"s": symbol, "t": t, "d": "20260101", **fields, "b": [], "a": []}


def bar_item(t):
    fields = dict.fromkeys(["o", "h", "l", "c", "v", "m", "oi"], 1)
    return {"s": "SHFE.rb2610", "t": t, "d": "20260101", **fields}


async def receive(frames, subscribe=(QUOTE,), setup=None):
    """Connects to a server that sends `frames` and closes; returns (transport, error)."""
    async with Service() as service:

        async def stream(ws, service):
            for frame in frames:
                if isinstance(frame, bytes):
                    await ws.send_bytes(frame)
                elif isinstance(frame, str):
                    await ws.send_str(frame)
                else:
                    await ws.send_json(frame)
            await REAL_SLEEP(0.02)

        service.stream = stream
        t = service.transport()
        for channel in subscribe:
            t.subscribe(channel)
        t._sent = set(subscribe)
        t.generation = 3
        if setup:
            setup(t)
        session = await t.client()
        url = URL(t.ws_url + "/")
        t.ws = await session.ws_connect(url, headers=_signature_headers("GET", url))
        try:
            await t.receive()
        except Exception as error:  # noqa: BLE001 - the test inspects it
            return t, error
        finally:
            await t.ws.close()
            await session.close()
    raise AssertionError("receive returned normally")


@pytest.mark.parametrize(
    ("frame", "message"),
    [
        (b"{}", "行情 WebSocket 消息不是文本"),
        ("not json", "行情 WebSocket 消息的 JSON 无效"),
        ("{} x", "行情 WebSocket 消息的 JSON 无效"),
        ("\ufeff{}", "行情 WebSocket 消息的 JSON 无效"),
        ("", "行情 WebSocket 消息的 JSON 无效"),
        ("[]", "行情 WebSocket 消息格式无效"),
        ("5", "行情 WebSocket 消息格式无效"),
        ({"op": "sub", "ok": 1, "c": [QUOTE]}, "行情订阅确认消息无效"),
        ({"op": "sub", "c": [QUOTE]}, "行情订阅确认消息无效"),
        ({"op": "sub", "ok": True, "c": []}, "行情订阅确认消息无效"),
        ({"op": "sub", "ok": True, "c": QUOTE}, "行情订阅确认消息无效"),
        ({"op": "unsub", "ok": True, "c": [QUOTE]}, "行情订阅确认消息无效"),
        ({"op": "sub", "ok": True, "c": [QUOTE, "zq:quote:DCE.a2611"]}, "行情订阅确认消息无效"),
        ({"op": "sub", "ok": True, "c": [5]}, "行情订阅确认消息无效"),
        ({"ok": False, "c": QUOTE}, "行情订阅失败"),
        ({"c": "zq:quote:DCE.a2611", "d": quote_item("DCE.a2611")}, "收到未订阅的行情频道数据"),
        ({"c": 5, "d": {}}, "收到未订阅的行情频道数据"),
        ({"d": {}}, "收到未订阅的行情频道数据"),
        ({"c": QUOTE, "d": quote_item("SHFE.rb2611")}, "行情数据的合约与订阅频道不一致"),
        ({"c": QUOTE, "d": [1]}, "行情数据的合约与订阅频道不一致"),
    ],
)
def test_protocol_faults_are_zq_errors(frame, message):
    t, error = run(receive([frame]))
    assert type(error) is ZqError and str(error) == message and error.status is None
    assert len(t.incoming) == 0 and t.sequence == 0


def test_bad_json_is_raised_without_cause():
    _, error = run(receive(["{"]))
    assert error.__cause__ is None and error.__suppress_context__


def test_closed_socket_is_a_connection_fault():
    _, error = run(receive([]))
    assert type(error) is aiohttp.ClientConnectionError and str(error) == "行情 WebSocket 已关闭"


def test_acknowledgements_add_channels_and_announce_once_complete():
    def setup(t):
        t.ready = True
        t.recovery.begin()

    t, _ = run(receive([{"op": "sub", "ok": True, "c": [QUOTE]}], (QUOTE, KLINE), setup))
    assert t.acked == {QUOTE} and t.ack_changed.is_set()
    assert t.recovery.active and not t._connection_announced

    frames = [{"op": "sub", "ok": True, "c": [QUOTE]}, {"op": "sub", "ok": True, "c": [KLINE]}]
    t, _ = run(receive(frames, (QUOTE, KLINE), setup))
    assert t.acked == {QUOTE, KLINE} and t._connection_announced and not t.recovery.active


def test_pushes_go_to_the_pending_buffer():
    frames = [
        {"c": QUOTE, "d": quote_item(t=1)},
        {"c": KLINE, "d": bar_item(60)},
        {"c": QUOTE, "d": quote_item(t=2), "ok": True},
        {"c": KLINE, "d": bar_item(120)},
        {"c": KLINE, "d": bar_item(60), "extra": 1},
    ]
    t, error = run(receive(frames, (QUOTE, KLINE)))
    assert type(error) is aiohttp.ClientConnectionError
    entries = list(t.incoming)
    assert [(g, c, s) for g, c, _, s in entries] == [(3, QUOTE, 3), (3, KLINE, 4), (3, KLINE, 5)]
    assert [rows[0]["timestamp"] for _, _, rows, _ in entries] == [2, 120, 60]
    assert all(type(rows) is list and len(rows) == 1 for _, _, rows, _ in entries)
    assert t.sequence == 5 and not t.changed.is_set()  # not ready: nothing announced

    t, _ = run(receive(frames[:1], (QUOTE,), lambda t: setattr(t, "ready", True)))
    assert t.changed.is_set()


def test_pending_limit_forces_a_resynchronisation():
    def setup(t):
        t._pending_limit = lambda: 2

    frames = [{"c": KLINE, "d": bar_item(n)} for n in range(5)]
    t, error = run(receive(frames, (KLINE,), setup))
    assert type(error) is _RetryMarketError and error.args == ()
    assert len(t.incoming) == 3


def test_unsubscribed_channel_still_pushed_is_dropped():
    def setup(t):
        t.unsubscribe(KLINE)

    frames = [
        {"op": "sub", "ok": True, "c": [KLINE]},  # acknowledgement racing the unsubscribe
        {"c": KLINE, "d": bar_item(60)},
        {"c": QUOTE, "d": quote_item()},
    ]
    t, error = run(receive(frames, (QUOTE, KLINE), setup))
    assert type(error) is aiohttp.ClientConnectionError
    assert [c for _, c, _, _ in t.incoming] == [QUOTE] and t.sequence == 1

    def never_sent(t):
        t.unsubscribe(KLINE)
        t._sent = {QUOTE}

    _, error = run(receive(frames[1:], (QUOTE, KLINE), never_sent))
    assert str(error) == "收到未订阅的行情频道数据"


def test_patched_json_and_decode_are_used(monkeypatch):
    loads, decoded = [], []

    class Json:
        def __getattr__(self, name):
            return getattr(json, name)

        def loads(self, data):
            loads.append(data)
            return json.loads(data)

    def decode(data, symbol, *, quote=False):
        decoded.append((symbol, quote))
        return {"timestamp": data["t"]}

    monkeypatch.setattr(transport, "json", Json())
    monkeypatch.setattr(transport, "decode", decode)
    t, _ = run(receive([{"c": QUOTE, "d": {"t": 1}}, {"c": KLINE, "d": {"t": 2}}], (QUOTE, KLINE)))
    assert len(loads) == 2 and decoded == [("SHFE.rb2610", True), ("SHFE.rb2610", False)]
    assert [rows for _, _, rows, _ in t.incoming] == [[{"timestamp": 1}], [{"timestamp": 2}]]

    monkeypatch.setattr(transport.json, "loads", lambda data: (_ for _ in ()).throw(ValueError()))
    _, error = run(receive(["{}"]))
    assert str(error) == "行情 WebSocket 消息的 JSON 无效"


def test_a_stand_in_buffer_receives_the_pushes():
    appended = []

    class Buffer(list):
        def append(self, item):
            appended.append(item)
            super().append(item)

    def setup(t):
        t.incoming = Buffer()

    t, _ = run(receive([{"c": QUOTE, "d": quote_item()}], (QUOTE,), setup))
    assert [(g, c, s) for g, c, _, s in appended] == [(3, QUOTE, 1)] and t.incoming == appended
