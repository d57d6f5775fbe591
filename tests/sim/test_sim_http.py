"""Token verification, request signatures and the query endpoints."""

from __future__ import annotations

import time

import pytest
from sim_helpers import TOKEN, check_item, on_tick, query, run, serving, signed
from yarl import URL

from zqkit.sim import KLINE_PERIODS

pytestmark = pytest.mark.timeout(15)
RB = "SHFE.rb2610"


@pytest.mark.parametrize(
    ("authorization", "status"),
    [
        (f"Bearer {TOKEN}", 200),
        (f"bearer {TOKEN}", 200),
        ("Bearer wrong", 401),
        (f"Bearer {TOKEN}x", 401),
        (f"Basic {TOKEN}", 401),
        ("", 401),
        (None, 401),
    ],
)
@run
async def test_token_verification(authorization, status):
    headers = {} if authorization is None else {"Authorization": authorization}
    async with serving() as (sim, session):
        async with session.post(sim.url + "/api/token/verify", headers=headers) as response:
            assert response.status == status
            body = await response.json()
    assert body == (
        {"ok": True, "d": {}} if status == 200 else {"ok": False, "msg": "账户验证失败"}
    )
    assert sim.counts["verify"] == 1


def _tampered(url: URL) -> dict:
    return signed("GET", url.with_query({"symbol": "DCE.m2609"}))


@pytest.mark.parametrize(
    ("make_headers", "status"),
    [
        (lambda url: signed("GET", url), 200),
        (lambda url: signed("get", url), 200),
        (lambda url: signed("GET", url, timestamp=int(time.time()) - 290), 200),
        (lambda url: {}, 401),
        (lambda url: {"X-ZQ-Timestamp": signed("GET", url)["X-ZQ-Timestamp"]}, 401),
        (lambda url: signed("GET", url, secret=b"0" * 64), 401),
        (lambda url: signed("POST", url), 401),
        (_tampered, 401),
        (lambda url: signed("GET", url, timestamp=int(time.time()) - 310), 401),
        (lambda url: signed("GET", url, timestamp=int(time.time()) + 310), 401),
        (lambda url: signed("GET", url) | {"X-ZQ-Timestamp": "12.5"}, 401),
        (lambda url: {k: v.upper() for k, v in signed("GET", url).items()}, 401),
    ],
    ids=[
        "good",
        "lowercase-method",
        "within-skew",
        "unsigned",
        "no-signature",
        "wrong-secret",
        "wrong-method",
        "other-query",
        "stale",
        "future",
        "bad-timestamp",
        "uppercase-hex",
    ],
)
@run
async def test_query_signature(make_headers, status):
    async with serving() as (sim, session):
        url = URL(sim.url + "/api/quote").with_query({"symbol": RB})
        async with session.get(url, headers=make_headers(url)) as response:
            assert response.status == status
            body = await response.json()
    assert body["ok"] is (status == 200)


@run
async def test_signature_covers_the_raw_percent_encoded_query_and_a_custom_skew():
    async with serving(max_skew=5) as (sim, session):
        params = {"symbol": RB, "note": "a b/中文&x=1"}
        status, body = await query(session, sim.url, "/api/quote", params)
        assert (status, body["d"]["s"]) == (200, RB)
        stale = int(time.time()) - 10
        status, _ = await query(session, sim.url, "/api/quote", params, timestamp=stale)
        assert status == 401


@run
async def test_quote_snapshot_layout():
    async with serving() as (sim, session):
        for instrument in sim.symbols:
            status, body = await query(session, sim.url, "/api/quote", {"symbol": instrument})
            assert status == 200 and body["ok"] is True
            item = body["d"]
            check_item(item, instrument, quote=True)
            assert len(item["b"]) == len(item["a"]) == 5
            assert item["b"][0][0] < item["a"][0][0]
            assert [p for p, _ in item["b"]] == sorted((p for p, _ in item["b"]), reverse=True)
            assert [p for p, _ in item["a"]] == sorted(p for p, _ in item["a"])
            assert item["dn"] <= item["l"] <= item["c"] <= item["h"] <= item["up"]


@run
async def test_prices_lie_on_the_instrument_tick():
    async with serving() as (sim, session):
        _, body = await query(session, sim.url, "/api/quote", {"symbol": "CFFEX.IF2612"})
        item = body["d"]
        prices = [item[k] for k in ("o", "h", "l", "c", "up", "dn")]
        prices += [p for p, _ in item["b"] + item["a"]]
        assert all(on_tick(price, 0.2) for price in prices), prices


@run
async def test_kline_history_is_ordered_aligned_and_limited():
    async with serving() as (sim, session):
        for period, seconds in KLINE_PERIODS.items():
            params = {"symbol": RB, "period": period, "count": 3}
            status, body = await query(session, sim.url, "/api/kline", params)
            assert status == 200
            bars = body["d"]
            assert 1 <= len(bars) <= 3
            for bar in bars:
                check_item(bar, RB, quote=False)
                assert bar["l"] <= min(bar["o"], bar["c"]) and bar["h"] >= max(bar["o"], bar["c"])
            starts = [bar["t"] for bar in bars]
            assert starts == sorted(set(starts))
            # Bars start on whole periods counted from midnight UTC+8.
            unit = 86_400_000 if period == "1d" else seconds * 1000
            assert all((start + 8 * 3_600_000) % unit == 0 for start in starts)
        # 180 minutes of history: asking for more gives what exists.
        params = {"symbol": RB, "period": "1m", "count": 5000}
        _, body = await query(session, sim.url, "/api/kline", params)
        assert 180 <= len(body["d"]) <= 182


@run
async def test_history_and_snapshot_agree():
    async with serving(history_minutes=600) as (sim, session):
        _, quote = await query(session, sim.url, "/api/quote", {"symbol": RB})
        totals = set()
        for period in KLINE_PERIODS:
            params = {"symbol": RB, "period": period, "count": 10_000}
            _, body = await query(session, sim.url, "/api/kline", params)
            bars = body["d"]
            assert bars[-1]["c"] == quote["d"]["c"]
            assert bars[-1]["oi"] == quote["d"]["oi"]
            totals.add(sum(bar["v"] for bar in bars))
        # Every period aggregates the same ticks.
        assert len(totals) == 1
        params = {"symbol": RB, "period": "1d", "count": 1}
        _, day = await query(session, sim.url, "/api/kline", params)
        today = day["d"][0]
        assert today["d"] == quote["d"]["d"]
        q = quote["d"]
        assert (today["o"], today["h"], today["l"], today["v"]) == (q["o"], q["h"], q["l"], q["v"])


@pytest.mark.parametrize(
    ("path", "params", "status"),
    [
        ("/api/quote", {"symbol": "SHFE.xx0000"}, 404),
        ("/api/quote", None, 400),
        ("/api/kline", {"symbol": RB, "period": "2m", "count": 1}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m", "count": 0}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m", "count": -1}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m", "count": "3x"}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m", "count": "٣"}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m", "count": 10_001}, 400),
        ("/api/kline", {"symbol": RB, "period": "1m"}, 400),
        ("/api/kline", {"symbol": "SHFE.xx0000", "period": "1m", "count": 1}, 404),
        ("/api/nothing", None, 404),
        ("/api/token/verify", None, 405),
    ],
)
@run
async def test_query_errors(path, params, status):
    async with serving() as (sim, session):
        got, body = await query(session, sim.url, path, params)
        assert got == status
        assert body["ok"] is False and body["msg"]


@run
async def test_injected_http_faults_are_per_kind_and_used_up():
    async with serving() as (sim, session):
        sim.fail_next("verify", 2, status=429)
        sim.fail_next("query", 1, status=503, retry_after="later")
        verify = sim.url + "/api/token/verify"
        auth = {"Authorization": f"Bearer {TOKEN}"}
        answers = []
        for _ in range(3):
            async with session.post(verify, headers=auth) as response:
                answers.append((response.status, response.headers.get("Retry-After")))
        assert answers == [(429, "1"), (429, "1"), (200, None)]
        url = URL(sim.url + "/api/quote").with_query({"symbol": RB})
        async with session.get(url, headers=signed("GET", url)) as response:
            assert (response.status, response.headers["Retry-After"]) == (503, "later")
        status, _ = await query(session, sim.url, "/api/quote", {"symbol": RB})
        assert status == 200
        sim.fail_next("query", 3, status=500)
        sim.fail_next("query", 0)  # disarmed
        status, _ = await query(session, sim.url, "/api/quote", {"symbol": RB})
        assert status == 200
        assert (sim.counts["verify"], sim.counts["query"]) == (3, 3)


def test_fault_knob_arguments_are_checked():
    from zqkit.sim import MarketSim

    sim = MarketSim(TOKEN, rate=0, history_minutes=0)
    with pytest.raises(ValueError):
        sim.fail_next("trade")
    with pytest.raises(ValueError):
        sim.fail_next("query", status=200)
    with pytest.raises(ValueError):
        sim.fail_next("query", -1)
    with pytest.raises(ValueError):
        sim.send_bad_frame("garbage")
    with pytest.raises(ValueError):
        MarketSim("")
    with pytest.raises(ValueError):
        MarketSim(TOKEN, signing_secret="ABC")
