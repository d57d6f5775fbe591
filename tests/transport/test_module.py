"""Import-time bindings, signing and the plain methods of Transport."""

import asyncio
import hashlib
import hmac

import pytest
from yarl import URL

import zqkit.transport as transport
from zqkit import _build_config
from zqkit.data import ZqError
from zqkit.errors import Recovery
from zqkit.transport import Transport, _PendingMarket, _RetryMarketError, _signature_headers


def make(url="https://md.example:8443/base"):
    return Transport(url, 5, None, "tok", "http://auth")


def test_module_binds_its_names_in_order():
    names = [name for name in vars(transport) if not name.startswith("__")]
    assert names == [
        "asyncio", "OrderedDict", "deque", "json", "hashlib", "hmac", "time", "aiohttp", "URL",
        "ZqError", "decode", "Recovery", "_SIGNING_SECRET", "_signature_headers",
        "_RetryMarketError", "_PendingMarket", "Transport",
    ]  # fmt: skip
    assert transport.__doc__ == "Async I/O. This module never mutates user-visible market objects."
    assert transport.asyncio is asyncio and transport.URL is URL and transport.ZqError is ZqError


def test_signing_secret_is_the_shared_key():
    secret = transport._SIGNING_SECRET
    assert type(secret) is bytes and len(secret) == 64
    assert set(secret.decode()) <= set("0123456789abcdef")
    assert secret == _build_config.SIGNING_SECRET


def expected_signature(timestamp, method, url):
    message = f"{timestamp}\n{method}\n{url.raw_path}\n{url.raw_query_string}"
    return hmac.new(_build_config.SIGNING_SECRET, message.encode(), hashlib.sha256).hexdigest()


@pytest.mark.parametrize(
    "url",
    [
        URL("https://md.example/"),
        URL("https://md.example/api/k线?symbol=SHFE.rb2610&n=2"),
        URL("ws://127.0.0.1:1234/"),
    ],
)
def test_signature_headers(monkeypatch, url):
    monkeypatch.setattr(transport.time, "time", lambda: 1700000000.9)
    headers = _signature_headers("get", url)
    assert list(headers) == ["X-ZQ-Timestamp", "X-ZQ-Signature"]
    assert headers["X-ZQ-Timestamp"] == "1700000000"
    assert headers["X-ZQ-Signature"] == expected_signature("1700000000", "GET", url)
    assert _signature_headers("GET", url) == headers


def test_signature_reads_module_globals_at_call_time(monkeypatch):
    monkeypatch.setattr(transport, "_SIGNING_SECRET", b"other")
    url = URL("https://md.example/")
    headers = _signature_headers("GET", url)
    message = f"{headers['X-ZQ-Timestamp']}\nGET\n/\n".encode()
    assert headers["X-ZQ-Signature"] == hmac.new(b"other", message, hashlib.sha256).hexdigest()


def test_retry_market_error_class():
    assert _RetryMarketError.__bases__ == (Exception,)
    assert _RetryMarketError.__doc__ == "仅供行情恢复流程使用的可重试服务故障。"
    assert _RetryMarketError.__module__ == "zqkit.transport"


def test_constructor_sets_every_attribute_in_order():
    async def restore():
        return []

    async def main():
        t = Transport(url="https://md.example:8443/x", timeout=7, restore=restore, token="tok",
                      auth_url="https://auth.example")  # fmt: skip
        assert list(vars(t))[:25] == [
            "token", "auth_url", "_verified_until", "_auth_lock", "url", "ws_url", "timeout",
            "restore", "session", "channels", "_kline_channel_count", "acked", "incoming",
            "changed", "subscriptions_changed", "ack_changed", "task", "generation", "sequence",
            "ready", "_connection_announced", "fatal_error", "ws", "recovery", "bootstrap_task",
        ]  # fmt: skip
        assert t.ws_url == "wss://md.example:8443/x"
        assert (t.token, t.auth_url, t.timeout, t.restore) == ("tok", "https://auth.example", 7,
                                                               restore)  # fmt: skip
        assert t._verified_until == 0 and t.session is None and t.task is None
        assert t.channels == set() and t.acked == set() and t._kline_channel_count == 0
        assert type(t.incoming) is _PendingMarket and len(t.incoming) == 0
        assert type(t._auth_lock) is asyncio.Lock and type(t.changed) is asyncio.Event
        assert not t.subscriptions_changed.is_set() and not t.ack_changed.is_set()
        assert (t.generation, t.sequence, t.ready, t._connection_announced) == (0, 0, False, False)
        assert t.fatal_error is None and t.ws is None and t.bootstrap_task is None
        assert type(t.recovery) is Recovery and t.recovery.label == "行情连接"
        assert Transport.__doc__ is None and Transport.__bases__ == (object,)

    asyncio.run(main())


@pytest.mark.parametrize(
    ("url", "ws_url"),
    [
        ("https://h:1/p", "wss://h:1/p"),
        ("http://h:1/p", "ws://h:1/p"),
        ("HTTPS://h", "ws://h"),
        ("ftp:x", "ws:x"),
    ],
)
def test_websocket_url(url, ws_url):
    assert make(url).ws_url == ws_url


def test_url_without_colon_is_refused():
    with pytest.raises(ValueError, match="substring not found"):
        make("md.example")
    with pytest.raises(TypeError):
        Transport("https://h", 5, None, "tok")


def test_subscribe_counts_kline_channels_once():
    t = make()
    t._connection_announced = True
    t.subscribe("zq:kline:SHFE.rb2610:60")
    t.subscribe("zq:kline:SHFE.rb2610:60")
    t.subscribe("zq:quote:SHFE.rb2610")
    assert t.channels == {"zq:kline:SHFE.rb2610:60", "zq:quote:SHFE.rb2610"}
    assert t._kline_channel_count == 1 and t._connection_announced is False
    assert t.subscriptions_changed.is_set()

    t.subscriptions_changed.clear()
    t._connection_announced = True
    t.subscribe("zq:quote:SHFE.rb2610")
    assert t.subscriptions_changed.is_set() and t._connection_announced is True

    t.acked.add("zq:kline:SHFE.rb2610:60")
    t.subscriptions_changed.clear()
    t.unsubscribe("zq:kline:SHFE.rb2610:60")
    t.unsubscribe("zq:kline:SHFE.rb2610:60")
    t.unsubscribe("zq:quote:never")
    assert t.channels == {"zq:quote:SHFE.rb2610"} and t._kline_channel_count == 0
    assert "zq:kline:SHFE.rb2610:60" in t.acked and not t.subscriptions_changed.is_set()


def test_pending_limit_follows_channels():
    t = make()
    assert t._pending_limit() == 2048
    for n in range(600):
        t.subscribe(f"zq:kline:SHFE.rb{n}:60")
    for n in range(1000):
        t.subscribe(f"zq:quote:SHFE.rb{n}")
    assert t._pending_limit() == 3400
    for n in range(600):
        t.unsubscribe(f"zq:kline:SHFE.rb{n}:60")
    assert t._pending_limit() == 2048


def test_report_ready_announces_once_per_channel_set():
    t = make()
    t.recovery.begin()
    t.subscribe("zq:quote:A.a")
    t._report_ready()
    assert t.recovery.active  # not ready yet
    t.ready = True
    t._report_ready()
    assert t.recovery.active  # not acknowledged yet
    t.acked.add("zq:quote:A.a")
    t._report_ready()
    assert not t.recovery.active and t._connection_announced is True

    t.recovery.begin()
    t._report_ready()
    assert t.recovery.active  # announced already
    t.subscribe("zq:quote:B.b")
    t.acked.add("zq:quote:B.b")
    t._report_ready()
    assert not t.recovery.active


def test_raise_error_raises_the_stored_error_each_time():
    t = make()
    assert t.raise_error() is None
    error = ZqError("x", status=401)
    t.fatal_error = error
    for _ in range(2):
        with pytest.raises(ZqError) as caught:
            t.raise_error()
        assert caught.value is error


def test_start_is_idempotent_and_refuses_after_fatal_error():
    async def main():
        t = make()
        calls = []

        async def run():
            calls.append(1)
            await asyncio.sleep(3600)

        t.run = run
        t.start()
        first = t.task
        t.start()
        assert t.task is first
        await asyncio.sleep(0)
        first.cancel()
        await asyncio.gather(first, return_exceptions=True)
        t.start()
        assert t.task is not first
        await asyncio.sleep(0)
        t.task.cancel()
        await asyncio.gather(t.task, return_exceptions=True)
        assert len(calls) == 2

        t.task = None
        t.fatal_error = ZqError("gone")
        t.start()
        assert t.task is None

    asyncio.run(asyncio.wait_for(main(), 10))
