"""Price model, trading calendar, instruments and channel names; the command line."""

from __future__ import annotations

import datetime
import random
import subprocess
import sys
import urllib.request

import pytest
from sim_helpers import check_item, on_tick

from zqkit.sim import DEFAULT_INSTRUMENTS, Instrument
from zqkit.sim.instruments import parse_channel
from zqkit.sim.model import PriceModel
from zqkit.sim.timeline import bar_start, trading_day

UTC8 = datetime.timezone(datetime.timedelta(hours=8))


def ms(year, month, day, hour=0, minute=0, second=0):
    moment = datetime.datetime(year, month, day, hour, minute, second, tzinfo=UTC8)
    return int(moment.timestamp() * 1000)


@pytest.mark.parametrize(
    ("moment", "day"),
    [
        (ms(2026, 12, 7, 9, 30), "20261207"),  # Monday day session
        (ms(2026, 12, 7, 17, 59, 59), "20261207"),
        (ms(2026, 12, 7, 18, 0), "20261208"),  # Monday night belongs to Tuesday
        (ms(2026, 12, 8, 0, 30), "20261208"),  # after midnight, still Tuesday's
        (ms(2026, 12, 11, 21, 0), "20261214"),  # Friday night belongs to Monday
        (ms(2026, 12, 12, 10, 0), "20261214"),  # Saturday
        (ms(2026, 12, 13, 23, 0), "20261214"),  # Sunday night
    ],
)
def test_trading_day(moment, day):
    assert trading_day(moment) == day


def test_bar_starts_align_in_utc8():
    moment = ms(2026, 12, 8, 10, 47, 31)
    assert bar_start("1m", moment) == ms(2026, 12, 8, 10, 47)
    assert bar_start("15m", moment) == ms(2026, 12, 8, 10, 45)
    assert bar_start("4h", moment) == ms(2026, 12, 8, 8, 0)
    assert bar_start("1d", moment) == ms(2026, 12, 8)
    assert bar_start("1d", ms(2026, 12, 11, 21, 0)) == ms(2026, 12, 14)


def narrow_model(seed=3):
    # A band of 13 ticks each side: the walk hits the limits often.
    instrument = Instrument("SHFE.zz0001", 0.5, 10, 100.0, 0.065)
    return instrument, PriceModel([instrument], rng=random.Random(seed), history_limit=50)


def test_walk_stays_on_tick_and_inside_the_limits():
    instrument, model = narrow_model()
    start = ms(2026, 12, 8, 9, 0)
    for step in range(2000):
        model.advance(instrument.symbol, start + step * 1000)
        quote = model.quote(instrument.symbol)
        check_item(quote, instrument.symbol, quote=True)
        levels = [price for price, _ in quote["b"] + quote["a"]]
        assert all(quote["dn"] <= price <= quote["up"] for price in levels)
        assert all(on_tick(price, 0.5) for price in levels + [quote["c"]])
        assert quote["l"] <= quote["c"] <= quote["h"]
    assert quote["v"] > 0 and quote["m"] > 0


def test_new_trading_day_settles_the_old_one():
    instrument, model = narrow_model()
    symbol = instrument.symbol
    for minute in range(30):
        model.advance(symbol, ms(2026, 12, 8, 17, 30 + minute))
    day_one = model.quote(symbol)
    model.advance(symbol, ms(2026, 12, 8, 18, 0))
    day_two = model.quote(symbol)
    assert (day_one["d"], day_two["d"]) == ("20261208", "20261209")
    assert day_two["pc"] == day_two["ps"] == day_one["c"]
    assert day_two["v"] < day_one["v"] and day_two["o"] == day_two["h"] == day_two["c"]
    band = day_one["c"] * instrument.limit_ratio
    assert day_two["up"] == instrument.round_price(day_one["c"] + band)
    days = model.history(symbol, "1d", 10)
    assert [bar["d"] for bar in days] == ["20261208", "20261209"]
    assert days[0]["v"] == day_one["v"]


def test_time_never_runs_backwards_for_an_instrument():
    instrument, model = narrow_model()
    model.advance(instrument.symbol, 5_000_000)
    model.advance(instrument.symbol, 1_000)
    assert model.quote(instrument.symbol)["t"] == 5_000_000


def test_history_keeps_the_newest_bars_and_hands_out_copies():
    instrument, model = narrow_model()
    symbol = instrument.symbol
    model.warm_up(ms(2026, 12, 8, 9, 0), ms(2026, 12, 8, 10, 39), step_ms=60_000)
    bars = model.history(symbol, "1m", 1000)
    assert len(bars) == 50  # history_limit
    assert bars[-1]["t"] == ms(2026, 12, 8, 10, 39)
    assert model.history(symbol, "5m", 2)[-1]["t"] == ms(2026, 12, 8, 10, 35)
    bars[-1]["c"] = -1.0
    model.quote(symbol)["b"][0][0] = -1.0
    assert model.bar(symbol, "1m")["c"] > 0
    assert model.quote(symbol)["b"][0][0] > 0


@pytest.mark.parametrize(
    "arguments",
    [
        ("rb2610", 1.0, 10, 3500.0),
        ("SHFE.rb2610", 0.0, 10, 3500.0),
        ("SHFE.rb2610", float("nan"), 10, 3500.0),
        ("SHFE.rb2610", 1.0, 0, 3500.0),
        ("SHFE.rb2610", 1.0, True, 3500.0),
        ("SHFE.rb2610", 1.0, 10, -1.0),
        ("SHFE.rb2610", 1.0, 10, 3500.0, 1.5),
        ("SHFE.rb2610", 10.0, 10, 100.0),  # limit band narrower than the book
    ],
)
def test_instrument_refuses_bad_values(arguments):
    with pytest.raises(ValueError):
        Instrument(*arguments)


def test_model_refuses_duplicate_or_no_instruments():
    with pytest.raises(ValueError):
        PriceModel(DEFAULT_INSTRUMENTS[:1] * 2, rng=random.Random(), history_limit=1)
    with pytest.raises(ValueError):
        PriceModel([], rng=random.Random(), history_limit=1)


@pytest.mark.parametrize(
    ("channel", "parts"),
    [
        ("zq:quote:SHFE.rb2610", (None, "SHFE.rb2610")),
        ("zq:kline:4h:DCE.a2611-C-3700", ("4h", "DCE.a2611-C-3700")),
        ("zq:kline:1w:SHFE.rb2610", None),
        ("zq:quote:SHFE_rb2610", None),
        ("zq:kline:1m:zq:quote:SHFE.rb2610", None),
        (["zq:quote:SHFE.rb2610"], None),
    ],
)
def test_parse_channel(channel, parts):
    assert parse_channel(channel) == parts


@pytest.mark.timeout(15)
def test_command_line_serves_until_interrupted():
    process = subprocess.Popen(
        [sys.executable, "-m", "zqkit.sim", "--port", "0", "--token", "t", "--rate", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = process.stdout.readline()
        assert line.startswith("zqkit.sim serving on http://127.0.0.1:")
        request = urllib.request.Request(
            line.split()[-1] + "/api/token/verify",
            method="POST",
            headers={"Authorization": "Bearer t"},
        )
        with urllib.request.urlopen(request, timeout=5) as response:
            assert response.status == 200
        process.send_signal(2)  # SIGINT
        assert process.wait(timeout=5) == 0
    finally:
        process.kill()
        process.wait()


def test_command_line_reports_a_bad_secret():
    result = subprocess.run(
        [sys.executable, "-m", "zqkit.sim", "--secret", "nothex"],
        capture_output=True,
        text=True,
        timeout=10,
    )
    assert result.returncode == 1 and "signing secret" in result.stderr
