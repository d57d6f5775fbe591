"""Running a Client against the sandbox quickly: the session's clock and pauses run faster."""

from __future__ import annotations

import asyncio
import functools
import sys
from pathlib import Path

import pytest

import zqkit.trading
from zqkit import Client
from zqkit.sim import Sandbox

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "ctp"))

from ctp_helpers import FastAsyncio, FastClock  # noqa: E402

RB = "SHFE.rb2610"
FINISHED = ("FILLED", "CANCELLED", "REJECTED")
# The session's clock runs 20 times faster: its time-outs shrink as much, so the tests give
# it TIMEOUT seconds (one real second) per step.
TIMEOUT = 20


@pytest.fixture
def fast_session(monkeypatch, tmp_path):
    """The trading session on a faster clock, writing its CTP flow files under tmp_path."""
    monkeypatch.setattr(zqkit.trading, "time", FastClock())
    monkeypatch.setattr(zqkit.trading, "asyncio", FastAsyncio())
    monkeypatch.setattr(zqkit.trading, "mkdtemp", lambda prefix: str(tmp_path))


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
