"""Client construction, channel names, handle identity and argument checks."""

import pytest
from api_helpers import KLINE, QUOTE, SYMBOL, FakeTransport, fake_client, run

import zqkit
from zqkit.api import Client, QuoteHandle
from zqkit.data import Serial


def test_constructor_hands_its_arguments_to_one_transport_and_stays_offline(monkeypatch):
    client, transport = fake_client(monkeypatch, timeout=3)
    assert transport.args == ("https://md.example", 3, "token", "https://auth.example")
    assert transport.restore == client._restore
    assert transport.started == 0 and transport.queries == []
    assert zqkit.Client is Client


@pytest.mark.parametrize(
    ("arguments", "options", "message"),
    [
        (("", "https://a", "https://b"), {}, "token"),
        ((None, "https://a", "https://b"), {}, "token"),
        (("t", "md.example", "https://b"), {}, "url"),
        (("t", "https://a/", "https://b"), {}, "must not end with '/'"),
        (("t", "https://a", "ftp://b"), {}, "auth_url"),
        (("t", "https://a", "https://b"), {"timeout": 0}, "timeout"),
        (("t", "https://a", "https://b"), {"timeout": float("nan")}, "timeout"),
        (("t", "https://a", "https://b"), {"timeout": True}, "timeout"),
        (("t", "https://a", "https://b"), {"timeout": 10**400}, "timeout"),
        (("t", "https://a", "https://b"), {"timeout": float("inf")}, "timeout"),
        (("to\nken", "https://a", "https://b"), {}, "control characters"),
        (("to\r\nX-Evil: 1", "https://a", "https://b"), {}, "control characters"),
        (("tok\x00", "https://a", "https://b"), {}, "control characters"),
        (("tok\x7f", "https://a", "https://b"), {}, "control characters"),
    ],
)
def test_constructor_refuses_bad_arguments(monkeypatch, arguments, options, message):
    monkeypatch.setattr(zqkit.api.client, "Transport", FakeTransport)
    with pytest.raises(ValueError, match=message):
        Client(*arguments, **options)


def test_account_is_not_accepted_yet(monkeypatch):
    monkeypatch.setattr(zqkit.api.client, "Transport", FakeTransport)
    with pytest.raises(TypeError):
        Client("t", "https://a", "https://b", account=object())


def test_channels_are_named_with_the_symbol_last_and_objects_are_shared(monkeypatch):
    client, transport = fake_client(monkeypatch)
    quote = client.quote(SYMBOL)
    bars = client.kline(SYMBOL, "1m", 200)
    assert isinstance(quote, QuoteHandle) and quote.channel == QUOTE
    assert quote.data().symbol == SYMBOL
    assert isinstance(bars, Serial) and (bars.symbol, bars.period, bars.length) == (
        SYMBOL,
        "1m",
        200,
    )
    assert transport.channels == {QUOTE, KLINE}
    assert client.quote(SYMBOL) is quote
    assert client.kline(SYMBOL, "1m", 200) is bars
    # another length is another series on the same channel
    shorter = client.kline(SYMBOL, "1m", 20)
    assert shorter is not bars and transport.channels == {QUOTE, KLINE}
    client.kline("DCE.a2611-C-3700", "1d", 5)
    assert "zq:kline:1d:DCE.a2611-C-3700" in transport.channels


@pytest.mark.parametrize("symbol", ["rb2610", "SHFE.", "SHFE.rb 2610", 42, None])
def test_bad_symbols_are_refused_without_subscribing(monkeypatch, symbol):
    client, transport = fake_client(monkeypatch)
    with pytest.raises(ValueError):
        client.quote(symbol)
    with pytest.raises(ValueError):
        client.kline(symbol, "1m", 10)
    assert transport.channels == set()


@pytest.mark.parametrize(
    ("period", "length", "message"),
    [
        ("2m", 10, "period must be one of 1m 5m 10m 15m 30m 1h 4h 1d"),
        ("1M", 10, "period"),
        (None, 10, "period"),
        ("1m", 0, "from 1 to 10000"),
        ("1m", 10_001, "from 1 to 10000"),
        ("1m", 10.0, "must be an int"),
        ("1m", True, "must be an int"),
        ("1m", "10", "must be an int"),
    ],
)
def test_kline_arguments_are_checked(monkeypatch, period, length, message):
    client, transport = fake_client(monkeypatch)
    with pytest.raises(ValueError, match=message):
        client.kline(SYMBOL, period, length)
    assert transport.channels == set()


@run
async def test_lifecycle_start_close_and_misuse(monkeypatch):
    client, transport = fake_client(monkeypatch)
    with pytest.raises(RuntimeError, match="async with"):
        await client.wait_update()
    async with client as api:
        assert api is client and transport.started == 1
        with pytest.raises(RuntimeError, match="only once"):
            await client.__aenter__()
    assert transport.closed == 1
    await client.close()  # idempotent
    assert transport.closed == 1
    with pytest.raises(RuntimeError, match="closed"):
        client.quote(SYMBOL)
    with pytest.raises(RuntimeError, match="closed"):
        await client.wait_update()
