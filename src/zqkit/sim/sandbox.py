"""An offline trading sandbox: the simulated market service and a simulated CTP front, in-process.

The counter's reference price follows the market service's last prices, so a resting limit
order fills when the simulated market crosses it, as it would at an exchange.
"""

from __future__ import annotations

import asyncio
import math
import time
from collections.abc import Iterable
from typing import Any

from zqkit import _ctp
from zqkit.livebook import CtpAccount

from .instruments import DEFAULT_INSTRUMENTS, Instrument
from .service import MarketSim

__all__ = ["DEMO_POSITIONS", "Sandbox"]

# Lots held from earlier days (and one opened earlier today) when the sandbox opens, as
# (symbol, direction, earlier days, today); opened at the instrument's settlement price.
DEMO_POSITIONS: tuple[tuple[str, str, int, int], ...] = (
    ("SHFE.rb2610", "long", 3, 0),
    ("SHFE.cu2611", "long", 1, 1),
    ("DCE.m2609", "short", 2, 0),
)
_COMMISSION = 2.0  # yuan per lot


class Sandbox:
    """The simulated market service and a simulated CTP front with a demo account.

    ```python
    async with Sandbox() as sandbox, Client(**sandbox.client_args()) as api:
        ...
    ```

    `rate` is the market's ticks per second, `speed` how much faster than the wall clock
    market time runs (1: real time; a higher speed closes K-line bars sooner), `seed`
    makes the random walks repeatable, `balance` is the demo account's static balance and
    `positions` its lots at the start, as (symbol, "long" or "short", earlier days,
    today). `front_options` go to the counter as they are (latency, fill_volume ...).
    Nothing starts before `async with`; leaving the block stops the market service and
    wipes the front's book.
    """

    def __init__(
        self,
        *,
        token: str = "sandbox-token",
        rate: float = 4.0,
        speed: float = 1.0,
        seed: int | None = None,
        instruments: Iterable[Instrument] = DEFAULT_INSTRUMENTS,
        balance: float = 1_000_000.0,
        positions: Iterable[tuple[str, str, int, int]] = DEMO_POSITIONS,
        front_options: dict[str, Any] | None = None,
    ) -> None:
        if isinstance(speed, bool) or not isinstance(speed, int | float):
            raise ValueError(f"speed must be a number, not {speed!r}")
        if not math.isfinite(speed) or speed <= 0:
            raise ValueError(f"speed must be a positive finite number, not {speed!r}")
        self.token = token
        self._instruments = list(instruments)
        self.market = MarketSim(
            token, instruments=self._instruments, rate=rate, seed=seed, clock=_clock(speed)
        )
        self._balance = balance
        self._positions = list(positions)
        traded = {item.symbol for item in self._instruments}
        for row in self._positions:
            if row[0] not in traded:
                raise ValueError(f"a sandbox position must be in a traded instrument: {row!r}")
        self._front_options = dict(front_options or {})
        self.front: str | None = None
        self.account: CtpAccount | None = None
        self._follower: asyncio.Task[None] | None = None

    # ----------------------------------------------------------------- lifecycle

    async def __aenter__(self) -> Sandbox:
        if self.front is not None:
            raise RuntimeError("a Sandbox can be entered only once")
        await self.market.start()
        try:
            self.front = f"tcp://127.0.0.1:{self.market.port}"
            _ctp.configure_front(self.front, self._front_settings())
            self.account = _demo_account(self.front)
            self._push_prices()
            self._follower = asyncio.create_task(self._follow_prices())
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        """Stop following prices, stop the market service and wipe the front's book.

        Raises RuntimeError when a session is still connected to the front (close the
        `Client` first), after everything else has stopped.
        """
        follower, self._follower = self._follower, None
        if follower is not None:
            follower.cancel()
            await asyncio.gather(follower, return_exceptions=True)
        await self.market.close()
        if self.front is not None:
            try:
                # An empty counter: the account, its orders and its lots are gone.
                _ctp.configure_front(self.front, {})
            except ValueError as error:
                raise RuntimeError(
                    "a trading session is still connected to the sandbox: "
                    "close the Client before leaving the Sandbox"
                ) from error
        if follower is not None and not follower.cancelled() and follower.exception():
            raise RuntimeError("the sandbox stopped following prices") from follower.exception()

    # ------------------------------------------------------------------ clients

    @property
    def url(self) -> str:
        """Base URL of the market service, for both `url` and `auth_url`."""
        return self.market.url

    @property
    def auth_url(self) -> str:
        return self.market.url

    def client_args(self) -> dict[str, Any]:
        """Keyword arguments for `Client`: token, url, auth_url and account."""
        if self.account is None:
            raise RuntimeError("enter the Sandbox first: async with Sandbox() as sandbox")
        return {
            "token": self.token,
            "url": self.url,
            "auth_url": self.auth_url,
            "account": self.account,
        }

    def disconnect(self, reconnect_after: float = 0.05) -> int:
        """Make the counter drop every session of the front; they may reconnect after
        `reconnect_after` seconds. Returns how many were dropped."""
        if self.front is None:
            raise RuntimeError("enter the Sandbox first: async with Sandbox() as sandbox")
        return _ctp.disconnect(self.front, reconnect_after)

    # ------------------------------------------------------------------- prices

    async def _follow_prices(self) -> None:
        while True:
            await self.market.next_tick()
            self._push_prices()

    def _push_prices(self) -> None:
        for symbol in self.market.symbols:
            _ctp.set_price(self.front, symbol, self.market.last_price(symbol))

    # ------------------------------------------------------------------ counter

    def _front_settings(self) -> dict[str, Any]:
        return {
            **self._front_options,
            "instruments": [_instrument_settings(item) for item in self._instruments],
            "accounts": [
                {
                    **_credentials(),
                    "balance": self._balance,
                    "positions": [self._position_settings(*row) for row in self._positions],
                }
            ],
        }

    def _position_settings(self, symbol: str, direction: str, history: int, today: int) -> dict:
        price = self.market.instrument(symbol).price
        return {
            "symbol": symbol,
            "direction": direction,
            "history": history,
            "today": today,
            "price": price,
        }


def _clock(speed: float):
    if speed == 1:
        return time.time
    origin = time.time()
    return lambda: origin + (time.time() - origin) * speed


def _credentials() -> dict[str, str]:
    return {
        "broker_id": "9999",
        "user_id": "sandbox01",
        "password": "sandbox",
        "app_id": "zqkit_sandbox",
        "auth_code": "0000000000000000",
    }


def _demo_account(front: str) -> CtpAccount:
    return CtpAccount(front_url=front, **_credentials())


def _instrument_settings(instrument: Instrument) -> dict[str, Any]:
    return {
        "symbol": instrument.symbol,
        "tick": instrument.price_tick,
        "multiplier": instrument.multiplier,
        "commission": _COMMISSION,
    }
