"""Client with a trading account, against the sandbox: orders through wait_update and
is_changing, cancels, refusals, a reconnect, a session that fails, close and cancellation."""

from __future__ import annotations

import asyncio
import dataclasses

import pytest
from sandbox_helpers import FINISHED, RB, TIMEOUT, fast_session, ready, run, sandbox, until

from zqkit import Client, CtpAccount, ZqError, _ctp
from zqkit.livebook import TradingResult

pytestmark = pytest.mark.usefixtures("fast_session")
__all__ = ["fast_session"]  # the fixture, imported for the mark above


def lasting(view) -> dict:
    """What a reconnect must not change; an order's insert time is read again from the
    counter, which keeps whole seconds."""
    return {key: value for key, value in view._values.items() if key != "insert_time"}


async def best_ask(api: Client) -> float:
    quote = api.quote(RB)
    await until(api, lambda: bool(quote.data().asks))
    return quote.data().asks[0][0]


async def finished_order(api: Client, order_id: str):
    await until(api, lambda: order_id in api.orders and api.orders[order_id].status in FINISHED)
    return api.orders[order_id]


@run
async def test_an_order_lives_through_wait_update_and_is_changing():
    async with sandbox() as box, Client(**box.client_args(), timeout=TIMEOUT) as api:
        account, positions, orders, trades = api.account, api.positions, api.orders, api.trades
        position = api.position(RB)
        assert api.trading_status == "SYNCING" and position.pos_long is None
        await ready(api)
        assert position is api.positions[RB] and position.pos_long == 3  # from earlier days
        assert account.balance > 0 and api.account is account
        ask = await best_ask(api)
        before = len(trades)

        [result] = await api.insert_order(RB, "BUY", "OPEN", 1, ask)
        assert isinstance(result, TradingResult) and result.status == "SUBMITTED"
        assert result.order_id not in orders  # views move only in wait_update
        await until(api, lambda: result.order_id in orders)
        assert api.is_changing(orders) and api.is_changing(orders[result.order_id])
        order = orders[result.order_id]

        seen_trade_commits = 0
        while order.status != "FILLED":
            count = len(trades)
            await api.wait_update()
            # The trades list is changing exactly when a commit brought a trade in.
            assert api.is_changing(trades) == (len(trades) > count)
            seen_trade_commits += api.is_changing(trades)
        await until(api, lambda: position.pos_long == 4)
        assert seen_trade_commits >= 1 or len(trades) == before + 1
        trade = trades[-1]
        assert (trade.symbol, trade.direction, trade.offset, trade.volume) == (RB, "BUY", "OPEN", 1)
        assert trade.price <= ask and order.volume_traded == 1 and order.volume_left == 0
        assert position.pos_long_today == 1 and position.available_long == 4
        assert (api.account, api.positions, api.orders, api.trades) == (
            account,
            positions,
            orders,
            trades,
        )
        assert api.orders[result.order_id] is order
        with pytest.raises(ValueError, match="no field"):
            api.is_changing(trades, "price")
        with pytest.raises(ValueError, match="no field 'volume_long'"):
            api.is_changing(positions, "volume_long")
        assert not api.is_changing(positions, "pos_short")


@run
async def test_a_resting_order_is_cancelled_once():
    async with sandbox() as box, Client(**box.client_args(), timeout=TIMEOUT) as api:
        await ready(api)
        ask = await best_ask(api)
        [result] = await api.insert_order(RB, "BUY", "OPEN", 1, ask - 200)  # far below
        await until(
            api,
            lambda: result.order_id in api.orders and api.orders[result.order_id].status == "ALIVE",
        )
        order = api.orders[result.order_id]
        assert api.cancel_order(result.order_id) == [TradingResult("SUBMITTED", result.order_id)]
        assert api.cancel_order(result.order_id) == []  # already being cancelled
        await api.wait_update()
        assert order.cancel_pending or order.status == "CANCELLED"
        assert await finished_order(api, result.order_id) is order
        assert order.status == "CANCELLED" and order.volume_traded == 0
        assert api.cancel_order(result.order_id) == []  # nothing left to cancel
        assert api.cancel_order("no-such-order") == []


@run
async def test_refusals_come_back_as_results_or_rejected_orders():
    async with sandbox() as box, Client(**box.client_args(), timeout=TIMEOUT) as api:
        [early] = await api.insert_order(RB, "BUY", "OPEN", 1, 3500.0)
        assert (early.status, early.order_id) == ("REJECTED", None)
        assert "未就绪" in early.message
        await ready(api)
        ask = await best_ask(api)
        for arguments in [
            (RB, "BUY", "OPEN", 1, ask + 0.5),  # off the tick
            (RB, "BUY", "OPEN", 0, ask),
            (RB, "SELL", "CLOSE", 4, ask),  # three lots held
            ("SHFE.xx0000", "BUY", "OPEN", 1, ask),
        ]:
            [result] = await api.insert_order(*arguments)
            assert result.status == "REJECTED" and result.order_id is None, arguments
        # The counter refuses what it cannot fund: the order ends REJECTED with its reason.
        [result] = await api.insert_order("CFFEX.IF2612", "BUY", "OPEN", 400, 3900.0)
        assert result.status == "SUBMITTED"
        order = await finished_order(api, result.order_id)
        assert order.status == "REJECTED" and order.status_msg


@run
async def test_a_reconnect_keeps_every_view_and_its_values():
    async with sandbox() as box, Client(**box.client_args(), timeout=TIMEOUT) as api:
        await ready(api)
        ask = await best_ask(api)
        [result] = await api.insert_order(RB, "BUY", "OPEN", 1, ask)
        await until(api, lambda: len(api.trades) == 1 and api.position(RB).pos_long == 4)
        views = [api.account, api.positions, api.orders, api.trades]
        items = [*api.positions.values(), *api.orders.values(), *api.trades]
        values = [lasting(item) for item in items]

        assert box.disconnect() == 1
        await until(api, lambda: api.trading_status != "READY")
        assert api.is_changing(api.account) is False  # left as last committed
        await ready(api)
        assert [api.account, api.positions, api.orders, api.trades] == views
        assert all(
            a is b
            for a, b in zip(
                views, [api.account, api.positions, api.orders, api.trades], strict=True
            )
        )
        again = [*api.positions.values(), *api.orders.values(), *api.trades]
        assert all(a is b for a, b in zip(items, again, strict=True))
        assert [lasting(item) for item in again] == values
        # Orders go on after the reconnect.
        [second] = await api.insert_order(RB, "BUY", "OPEN", 1, await best_ask(api))
        assert second.status == "SUBMITTED" and second.order_id != result.order_id


@run
async def test_a_session_that_fails_for_good_raises_from_wait_update_with_its_cause():
    async with sandbox() as box:
        wrong = dataclasses.replace(box.account, password="not-the-password")
        async with Client(account=wrong, timeout=TIMEOUT) as api:
            with pytest.raises(ZqError) as caught:
                await until(api, lambda: False)
            assert caught.value.__cause__ is not None
            assert api.trading_status == "ERROR"
            with pytest.raises(ZqError) as again:  # and again, at once
                await api.wait_update()
            assert again.value is caught.value
        assert _ctp.open_connections() == 0


@run
async def test_close_while_the_session_is_still_syncing_releases_the_connection():
    async with sandbox() as box:
        api = Client(**box.client_args(), timeout=TIMEOUT)
        async with api:
            assert await api.wait_update(asyncio.get_running_loop().time() + 0.05) in (True, False)
            assert api.trading_status == "SYNCING"
            assert _ctp.open_connections() == 1
        assert _ctp.open_connections() == 0
        await api.close()  # again: nothing left to do
        with pytest.raises(RuntimeError, match="closed"):
            await api.insert_order(RB, "BUY", "OPEN", 1, 3500.0)


@run
async def test_a_cancelled_wait_update_loses_nothing_and_a_close_ends_a_waiting_one():
    async with sandbox() as box:
        async with Client(account=box.account, timeout=TIMEOUT) as api:
            waiting = asyncio.ensure_future(api.wait_update())
            await asyncio.sleep(0)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            await ready(api)  # the news not taken then is committed now
            assert api.positions[RB].pos_long == 3
            waiting = asyncio.ensure_future(api.wait_update())
            await asyncio.sleep(0.01)
            await api.close()
            with pytest.raises(RuntimeError, match="closed while wait_update was waiting"):
                await waiting
        pending = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
        assert not [task for task in pending if "changed" in repr(task)]


@run
async def test_trading_only_and_market_only_clients_say_what_they_lack():
    async with sandbox() as box:
        trading_only = Client(account=box.account)
        for call in (
            lambda: trading_only.quote(RB),
            lambda: trading_only.kline(RB, "1m", 10),
            lambda: trading_only.market_status,
        ):
            with pytest.raises(RuntimeError, match="no market connection"):
                call()
        market_only = Client(box.token, box.url, box.auth_url)
        for call in (
            lambda: market_only.account,
            lambda: market_only.trades,
            lambda: market_only.trading_status,
            lambda: market_only.position(RB),
            lambda: market_only.cancel_order("1:1:1"),
        ):
            with pytest.raises(RuntimeError, match="no trading account"):
                call()
        with pytest.raises(RuntimeError, match="enter the Client first"):
            await trading_only.insert_order(RB, "BUY", "OPEN", 1, 3500.0)
        with pytest.raises(ValueError, match="market arguments"):
            Client()
        with pytest.raises(TypeError, match="CtpAccount"):
            Client(account={"user_id": "x"})
        with pytest.raises(TypeError, match="symbol"):
            trading_only.position(None)
        assert isinstance(box.account, CtpAccount)
        assert _ctp.open_connections() == 0  # constructors touch nothing
