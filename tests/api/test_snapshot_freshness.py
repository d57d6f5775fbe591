"""A snapshot and the pushes around it: nothing newer dropped, nothing older shown."""

import asyncio
import contextlib

from api_helpers import SYMBOL, bar_row, quote_row, run

from zqkit import Client
from zqkit.api.freshness import APPLY, HOLD, SKIP, Mark, fate, held_rows, hold, take_snapshot
from zqkit.data import decode
from zqkit.sim import MarketSim

TOKEN = "freshness-token"
OTHER = "DCE.m2609"


def with_volume(row: dict, volume: float) -> dict:
    return row | {"volume": volume}


def test_rows_after_the_query_are_ordered_by_time_then_volume():
    mark = Mark()
    snapshot = with_volume(quote_row(1000, 10), 50)
    assert take_snapshot(mark, 2, 5, [snapshot]) == []
    assert fate(mark, 1, 99, snapshot) == SKIP  # an earlier connection
    assert fate(mark, 2, 5, with_volume(quote_row(2000, 1), 60)) == SKIP  # before the query
    assert fate(mark, 2, 6, with_volume(quote_row(999, 1), 60)) == SKIP  # older time
    assert fate(mark, 2, 6, with_volume(quote_row(1000, 1), 49)) == SKIP  # same time, less volume
    assert fate(mark, 2, 6, with_volume(quote_row(1000, 1), 50)) == APPLY
    assert fate(mark, 2, 6, with_volume(quote_row(1001, 1), 0)) == APPLY
    assert fate(mark, 3, 1, snapshot) == HOLD  # a connection without its snapshot yet

    # a bar: the snapshot's newest bar is the floor; an earlier bar is older
    bars = Mark()
    take_snapshot(
        bars, 1, 0, [with_volume(bar_row(60_000, 1), 9), with_volume(bar_row(120_000, 2), 4)]
    )
    assert fate(bars, 1, 1, with_volume(bar_row(60_000, 5), 99)) == SKIP
    assert fate(bars, 1, 1, with_volume(bar_row(120_000, 5), 3)) == SKIP
    assert fate(bars, 1, 1, with_volume(bar_row(120_000, 5), 5)) == APPLY
    assert fate(bars, 1, 1, with_volume(bar_row(180_000, 5), 1)) == APPLY
    # an unknown volume counts as the least
    assert fate(bars, 1, 1, with_volume(bar_row(120_000, 5), float("nan"))) == SKIP
    empty = Mark()
    take_snapshot(empty, 1, 0, [])
    assert fate(empty, 1, 1, bar_row(1, 1)) == APPLY


def test_held_rows_newer_than_the_snapshot_follow_it_in_arrival_order():
    mark = Mark()
    for sequence, (t, volume) in enumerate([(60_000, 3), (60_000, 7), (120_000, 1)], start=1):
        hold(mark, 1, sequence, with_volume(bar_row(t, sequence), volume), quote=False)
    assert len(mark.held) == 2  # a later row of one bar replaces the earlier
    fresh = take_snapshot(mark, 1, 0, [with_volume(bar_row(60_000, 0), 5)])
    assert [(row["timestamp"], row["close"]) for row in fresh] == [(60_000, 2), (120_000, 3)]
    assert mark.held == {} and mark.floor is None  # the stream is past the snapshot

    # older held rows are dropped; rows of a later connection stay held
    quote = Mark()
    hold(quote, 1, 1, with_volume(quote_row(500, 1), 1), quote=True)
    hold(quote, 2, 9, with_volume(quote_row(900, 2), 1), quote=True)
    assert list(quote.held) == [None]  # a quote keeps its newest row only
    assert take_snapshot(quote, 1, 0, [quote_row(1000, 5)]) == []
    assert list(quote.held) == [None]
    assert held_rows(quote) == [] and list(quote.held) == [None]


@contextlib.asynccontextmanager
async def market():
    async with MarketSim(TOKEN, rate=0, seed=5, history_minutes=60) as sim:
        async with Client(TOKEN, sim.url, sim.url, timeout=5) as api:
            yield sim, api


async def settle(api: Client) -> None:
    """Take every update until the stream has been quiet for a moment."""
    loop = asyncio.get_running_loop()
    while await api.wait_update(deadline=loop.time() + 0.3):
        pass


def assert_shows_the_service(sim, quote, bars, symbol=SYMBOL) -> None:
    served = decode(sim._model.quote(symbol), symbol, quote=True)
    shown = quote.data()
    assert (shown.timestamp, shown.volume, shown.last_price) == (
        served["timestamp"],
        served["volume"],
        served["last_price"],
    )
    bar = decode(sim._model.bar(symbol, "1m"), symbol)
    last = bars.frame.iloc[-1]
    assert (last["timestamp"], last["volume"], last["high"], last["close"]) == (
        bar["timestamp"],
        bar["volume"],
        bar["high"],
        bar["close"],
    )


@run
async def test_a_late_subscription_keeps_the_push_that_beat_its_answer():
    async with market() as (sim, api):
        api.quote(OTHER)
        await settle(api)
        sim.push_before_answer(2)
        quote = api.quote(SYMBOL)
        bars = api.kline(SYMBOL, "1m", 5)
        await settle(api)
        # quiet market since: only the pushes sent before the answers are newer
        assert sim.counts["ticks"] == 2 and sim.counts["query"] == 3
        assert_shows_the_service(sim, quote, bars)


@run
async def test_a_restore_keeps_the_push_that_beat_its_answer():
    async with market() as (sim, api):
        quote = api.quote(SYMBOL)
        bars = api.kline(SYMBOL, "1m", 5)
        await settle(api)
        sim.push_before_answer(2)
        await sim.drop_connections()
        loop = asyncio.get_running_loop()
        while quote.initial_generation < 2 or bars.initial_generation < 2:
            assert await api.wait_update(deadline=loop.time() + 5)
        await settle(api)
        assert sim.counts["ticks"] == 2
        assert_shows_the_service(sim, quote, bars)
        # and the stream goes on from there
        sim.tick()
        await settle(api)
        assert_shows_the_service(sim, quote, bars)
