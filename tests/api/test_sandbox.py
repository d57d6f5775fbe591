"""The offline sandbox: what it hands out, prices that follow the market, its end, and the
README's trading program run as written."""

from __future__ import annotations

import asyncio
import re
from pathlib import Path

import pytest
from sandbox_helpers import RB, TIMEOUT, fast_session, ready, run, sandbox, until

from zqkit import Client, _ctp
from zqkit.sim import Sandbox

README = Path(__file__).resolve().parents[2] / "README.md"
__all__ = ["fast_session"]


def test_arguments_are_checked_before_anything_starts():
    for speed in (0, -1, float("nan"), True, "2"):
        with pytest.raises(ValueError, match="speed"):
            Sandbox(speed=speed)
    with pytest.raises(ValueError, match="traded instrument"):
        Sandbox(positions=[("SHFE.zz0000", "long", 1, 0)])
    idle = Sandbox()
    with pytest.raises(RuntimeError, match="enter the Sandbox first"):
        idle.client_args()
    with pytest.raises(RuntimeError, match="enter the Sandbox first"):
        idle.disconnect()
    assert _ctp.open_connections() == 0


@pytest.mark.usefixtures("fast_session")
@run
async def test_resting_orders_fill_when_the_market_crosses_them():
    async with sandbox() as box, Client(**box.client_args(), timeout=TIMEOUT) as api:
        args = box.client_args()
        assert (args["token"], args["url"], args["auth_url"]) == (box.token, box.url, box.url)
        assert args["account"].front_url == box.front
        await ready(api)
        quote = api.quote(RB)
        await until(api, lambda: bool(quote.data().bids))
        # One tick below the market: a buy rests until a later tick trades at or below it.
        limit = box.market.last_price(RB) - 1
        [result] = await api.insert_order(RB, "BUY", "OPEN", 1, limit)
        await until(api, lambda: result.order_id in api.orders)
        order = api.orders[result.order_id]
        await until(api, lambda: order.status == "FILLED", seconds=30)
        # At its own limit after resting, or lower had the market fallen before it arrived.
        assert api.trades[-1].price <= limit and api.trades[-1].order_sys_id == order.order_sys_id


async def answer(handle, name: str) -> dict:
    async with asyncio.timeout(5):
        while True:
            for event in _ctp.poll(handle):
                if event["name"] == name:
                    return event
            await asyncio.sleep(0.005)


async def log_in(account, flow_path) -> tuple[object, dict]:
    """A raw connection to the account's front; returns it and the login answer."""
    handle = _ctp.create(account.front_url, (str(flow_path) + "/").encode())
    await answer(handle, "FrontConnected")
    who = {"BrokerID": account.broker_id, "UserID": account.user_id}
    codes = {"AppID": account.app_id, "AuthCode": account.auth_code}
    _ctp.request(handle, "Authenticate", who | codes, 1)
    authenticated = await answer(handle, "RspAuthenticate")
    if authenticated["error"]["ErrorID"]:
        return handle, authenticated
    _ctp.request(handle, "UserLogin", who | {"Password": account.password}, 2)
    return handle, await answer(handle, "RspUserLogin")


@run
async def test_leaving_wipes_the_front_and_waits_for_sessions_to_close(tmp_path):
    box = sandbox()
    async with box:
        handle, login = await log_in(box.account, tmp_path)
        assert login["error"]["ErrorID"] == 0
        with pytest.raises(RuntimeError, match="close the Client before leaving"):
            await box.close()
        _ctp.close(handle)
    # Wiped: the demo account is not known there any more.
    handle, refused = await log_in(box.account, tmp_path)
    _ctp.close(handle)
    assert refused["error"]["ErrorID"] != 0
    assert _ctp.open_connections() == 0


def test_the_readme_trading_program_runs_as_written(fast_session, capsys):
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Trading in a few lines") :]
    program = re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)
    assert "Sandbox()" in program and "asyncio.run(main())" in program
    exec(compile(program, str(README), "exec"), {"__name__": "readme"})
    lines = capsys.readouterr().out.splitlines()
    assert re.fullmatch(
        r"\[TradingResult\(status='SUBMITTED', order_id='[^']+', message=''\)\]", lines[0]
    )
    assert re.fullmatch(r"bought 1 at \d+\.\d+; long now 4", lines[1]), lines
    assert _ctp.open_connections() == 0
