"""Client end to end: the real transport against the simulated market service."""

import asyncio
import contextlib

import pytest
from api_helpers import SYMBOL, run

from zqkit import Client, ZqError
from zqkit.data import decode
from zqkit.sim import MarketSim

TOKEN = "api-test-token"
OTHER = "SHFE.cu2611"


@contextlib.asynccontextmanager
async def market(**options):
    """A simulated service ticking only on `sim.tick()`, and a client entered against it."""
    async with MarketSim(TOKEN, rate=0, seed=3, history_minutes=120) as sim:
        async with Client(options.pop("token", TOKEN), sim.url, sim.url, timeout=5) as api:
            yield sim, api


async def update(api: Client, seconds: float = 5) -> bool:
    return await api.wait_update(deadline=asyncio.get_running_loop().time() + seconds)


def last_bar(series) -> dict:
    return series.frame.iloc[-1].to_dict()


@run
async def test_snapshots_are_applied_before_live_data():
    async with market() as (sim, api):
        quote = api.quote(SYMBOL)
        bars = api.kline(SYMBOL, "1m", 30)
        assert await update(api)
        # the first batch is the recovery snapshot: full history, the quote as served now
        assert (bars.initial_generation, quote.initial_generation) == (1, 1)
        assert len(bars.bars) == 30 and (bars.frame["timestamp"] > 0).all()
        served = decode(sim._model.quote(SYMBOL), SYMBOL, quote=True)
        assert quote.data().last_price == served["last_price"]
        assert bars.frame["close"].iloc[-1] == served["last_price"]
        assert api.is_changing(quote) and api.is_changing(bars)

        before = quote.data()
        sim.tick()
        assert await update(api)
        after = quote.data()
        assert after is not before and after.timestamp >= before.timestamp
        assert bars.frame["close"].iloc[-1] == after.last_price
        assert quote.initial_sequence < api._transport.sequence


@run
async def test_late_subscription_gets_its_history():
    async with market() as (sim, api):
        api.quote(SYMBOL)
        assert await update(api)
        bars = api.kline(OTHER, "5m", 12)
        while len(bars.bars) < 12:
            assert await update(api)
        assert bars.initial_generation == 1 and api.is_changing(bars)
        sim.tick()
        assert await update(api)
        assert bars.frame["close"].iloc[-1] == decode(sim._model.bar(OTHER, "5m"), OTHER)["close"]


@run
async def test_recovers_after_the_service_drops_the_stream():
    async with market() as (sim, api):
        quote = api.quote(SYMBOL)
        bars = api.kline(SYMBOL, "1m", 10)
        assert await update(api)
        sim.tick()
        assert await update(api)
        assert await sim.drop_connections() == 1
        for _ in range(5):  # the market moves while the client is away
            sim.tick()
        while bars.initial_generation < 2:
            assert await update(api, 10)
        served = decode(sim._model.quote(SYMBOL), SYMBOL, quote=True)
        assert quote.initial_generation == 2 and quote.data().last_price == served["last_price"]
        assert len(bars.bars) == 10 and bars.frame["close"].iloc[-1] == served["last_price"]
        sim.tick()
        assert await update(api)
        assert quote.data().timestamp >= served["timestamp"]
        assert sim.counts["connections"] == 2 and api._transport.fatal_error is None


@run
async def test_a_retryable_snapshot_failure_reconnects():
    async with MarketSim(TOKEN, rate=0, seed=3, history_minutes=30) as sim:
        sim.fail_next("query", status=503)
        async with Client(TOKEN, sim.url, sim.url, timeout=5) as api:
            quote = api.quote(SYMBOL)
            assert await update(api, 10)
            assert quote.initial_generation == 2 and sim.counts["connections"] == 2


@run
async def test_refusals_end_the_stream_with_their_error():
    async with market(token="wrong") as (sim, api):
        api.quote(SYMBOL)
        with pytest.raises(ZqError) as raised:
            await update(api)
        assert raised.value.status == 401
        with pytest.raises(ZqError) as again:
            await update(api)
        assert again.value is raised.value

    async with market() as (sim, api):
        sim.fail_next("query", status=404)
        api.kline(SYMBOL, "1h", 5)
        with pytest.raises(ZqError, match="行情查询未获允许"):
            await update(api)

    # the service's refusal frame is what the transport takes for a refusal
    async with market() as (sim, api):
        sim.refuse_next_subscription()
        api.quote(SYMBOL)
        with pytest.raises(ZqError, match="^行情订阅失败$"):
            while True:  # the snapshot may come in before the refusal
                await update(api)
        assert sim.counts["refusals"] == 1


@run
async def test_cancelled_wait_update_keeps_the_pending_data():
    async with market() as (sim, api):
        quote = api.quote(SYMBOL)
        assert await update(api)
        waiting = asyncio.create_task(api.wait_update())
        await asyncio.sleep(0.05)
        sim.tick()
        await asyncio.sleep(0)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        sim.tick()
        while await update(api, 0.3):
            pass
        served = decode(sim._model.quote(SYMBOL), SYMBOL, quote=True)
        shown = quote.data()
        assert (shown.timestamp, shown.last_price, shown.bids) == (
            served["timestamp"],
            served["last_price"],
            served["bids"],
        )


@run
async def test_cancel_racing_the_wake_up_of_next_batch_loses_nothing():
    async with market() as (sim, api):
        quote = api.quote(SYMBOL)
        assert await update(api)
        transport = api._transport
        waiting = asyncio.create_task(api.wait_update())
        await asyncio.sleep(0.05)  # parked in next_batch
        row = decode(sim._model.quote(SYMBOL), SYMBOL, quote=True) | {"last_price": 1.0}
        transport.sequence += 1
        transport.incoming.append((transport.generation, quote.channel, [row], transport.sequence))
        transport.changed.set()
        waiting.cancel()  # lands before the woken next_batch runs again
        with pytest.raises(asyncio.CancelledError):
            await waiting
        # the row is still pending (with the transport or in the finished next_batch)
        assert await update(api) and quote.data().last_price == 1.0
