"""Running a Client against the sandbox quickly: the session's clock and pauses run faster."""

from __future__ import annotations

import asyncio
import functools
import time

import pytest
from trading_standin import reference_trading

import zqkit.trading
from zqkit import Client
from zqkit.sim import Sandbox

SCALE = 10  # the session's one-second pacing between queries becomes 0.1 s
RB = "SHFE.rb2610"
FINISHED = ("FILLED", "CANCELLED", "REJECTED")


class FastClock:
    @staticmethod
    def monotonic() -> float:
        return time.monotonic() * SCALE

    @staticmethod
    def time() -> float:
        return time.time()


class FastAsyncio:
    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def sleep(delay, result=None):
        await asyncio.sleep(max(delay / SCALE, 0.001))
        return result


@pytest.fixture
def fast_session(monkeypatch, tmp_path):
    """The trading session (and the methods it may borrow) on a faster clock, writing its
    CTP flow files under tmp_path."""
    for module in (zqkit.trading, reference_trading):
        monkeypatch.setattr(module, "time", FastClock())
        monkeypatch.setattr(module, "asyncio", FastAsyncio())
        monkeypatch.setattr(module, "mkdtemp", lambda prefix: str(tmp_path))


def run(scenario):
    """Run an async test body on a fresh loop with a hard time limit."""

    @functools.wraps(scenario)
    def wrapper(*args, **kwargs):
        async def bounded():
            async with asyncio.timeout(60):
                return await scenario(*args, **kwargs)

        return asyncio.run(bounded())

    return wrapper


async def until(api: Client, condition, seconds: float = 15.0) -> None:
    """wait_update until `condition()` holds."""
    async with asyncio.timeout(seconds):
        while not condition():
            await api.wait_update()


async def ready(api: Client) -> None:
    await until(api, lambda: api.trading_status == "READY")


def sandbox(**options) -> Sandbox:
    return Sandbox(seed=3, rate=20, **options)
