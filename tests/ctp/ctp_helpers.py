"""Helpers for driving the simulated CTP counter directly through `zqkit._ctp`."""

from __future__ import annotations

import asyncio
import itertools
import time
from collections.abc import Callable

from zqkit import _ctp

FRONT = "tcp://127.0.0.1:41205"
BROKER = "9999"
USER = "000001"
PASSWORD = "secret"
APP_ID = "client_app"
AUTH_CODE = "0000000000000000"
DAY = "20260608"


def settings(**overrides: object) -> dict:
    """A front with one SHFE, one DCE and one option contract and one funded account."""
    base = {
        "trading_day": DAY,
        "latency": 0.002,
        "connect_delay": 0.002,
        "instruments": [
            {
                "symbol": "SHFE.rb2610",
                "tick": 1.0,
                "multiplier": 10,
                "margin_rate": 0.1,
                "commission": 2.0,
                "min_volume": 1,
                "max_volume": 50,
            },
            {
                "symbol": "DCE.m2609",
                "tick": 1.0,
                "multiplier": 10,
                "margin_rate": 0.08,
                "commission": 1.5,
            },
            {
                "symbol": "DCE.m2609-C-3000",
                "product_class": "2",
                "tick": 0.5,
                "multiplier": 10,
                "margin_rate": 0.2,
                "commission": 1.0,
            },
        ],
        "accounts": [
            {
                "broker_id": BROKER,
                "user_id": USER,
                "password": PASSWORD,
                "app_id": APP_ID,
                "auth_code": AUTH_CODE,
                "balance": 1_000_000.0,
                "positions": [
                    {
                        "symbol": "SHFE.rb2610",
                        "direction": "long",
                        "history": 4,
                        "today": 2,
                        "price": 3500.0,
                    },
                    {
                        "symbol": "DCE.m2609",
                        "direction": "short",
                        "history": 3,
                        "today": 1,
                        "price": 2900.0,
                    },
                ],
            },
        ],
    }
    base.update(overrides)
    return base


SCALE = 20


class FastClock:
    """A session clock 20 times faster than real time: the one-second query gap takes 50 ms."""

    @staticmethod
    def monotonic() -> float:
        return time.monotonic() * SCALE

    @staticmethod
    def time() -> float:
        return time.time()


class FastAsyncio:
    """asyncio with its sleeps shortened to match `FastClock`."""

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def sleep(delay, result=None):
        await asyncio.sleep(max(delay / SCALE, 0.001))
        return result


def wait_until(predicate: Callable[[], object], timeout: float = 3.0) -> object:
    """Call `predicate` until it returns something truthy; fail after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(0.001)


def order_insert_fields(
    symbol: str, direction: str, offset: str, volume: int, price: float, ref: int | str
) -> dict:
    """A limit order good for the day, as the trading session sends it."""
    exchange, instrument = symbol.split(".", 1)
    return {
        "InstrumentID": instrument,
        "ExchangeID": exchange,
        "OrderRef": str(ref),
        "Direction": "0" if direction == "BUY" else "1",
        "CombOffsetFlag": offset,
        "CombHedgeFlag": "1",
        "OrderPriceType": "2",
        "LimitPrice": price,
        "VolumeTotalOriginal": volume,
        "TimeCondition": "3",
        "VolumeCondition": "1",
        "MinVolume": 1,
        "ContingentCondition": "1",
        "ForceCloseReason": "0",
        "IsAutoSuspend": 0,
        "UserForceClose": 0,
    }


class Client:
    """One connection plus everything it received, with request numbering like the session."""

    def __init__(self, flow_path: bytes, front: str = FRONT) -> None:
        self.front = front
        self.handle = _ctp.create(front, flow_path)
        self.events: list[dict] = []
        self.ids = itertools.count(1)

    def pump(self) -> list[dict]:
        self.events.extend(_ctp.poll(self.handle))
        return self.events

    def send(self, method: str, fields: dict | None = None, **overrides: object) -> tuple[int, int]:
        """Send with BrokerID/InvestorID/UserID first; returns (request id, return code)."""
        body = {"BrokerID": BROKER, "InvestorID": USER, "UserID": USER}
        body.update(fields or {})
        body.update(overrides)
        request_id = next(self.ids)
        return request_id, _ctp.request(self.handle, method, body, request_id)

    def named(self, name: str) -> list[dict]:
        """Every event of `name` received so far (polling first), in arrival order."""
        return [event for event in self.pump() if event["name"] == name]

    def wait_event(self, name: str, request_id: int | None = None, timeout: float = 3.0) -> dict:
        """The first event of `name` (answering `request_id` if given) not yet consumed."""

        def find() -> dict | None:
            self.pump()
            for index, event in enumerate(self.events):
                if event["name"] == name and request_id in (None, event["request_id"]):
                    return self.events.pop(index)
            return None

        return wait_until(find, timeout)

    def answer(self, name: str, request_id: int, timeout: float = 3.0) -> list[dict]:
        """Every row of one answer, up to the row flagged last."""
        rows = []
        while True:
            event = self.wait_event(name, request_id, timeout)
            rows.append(event)
            if event["last"]:
                return rows

    def query(self, method: str, fields: dict | None = None) -> list[dict]:
        request_id, code = self.send(method, fields)
        assert code == 0
        return self.answer("Rsp" + method, request_id)

    def login(self) -> dict:
        self.wait_event("FrontConnected")
        rid, _ = self.send("Authenticate", {"AppID": APP_ID, "AuthCode": AUTH_CODE})
        assert self.wait_event("RspAuthenticate", rid)["error"]["ErrorID"] == 0
        rid, _ = self.send("UserLogin", {"Password": PASSWORD})
        answer = self.wait_event("RspUserLogin", rid)
        assert answer["error"]["ErrorID"] == 0
        rid, _ = self.send("SettlementInfoConfirm")
        assert self.wait_event("RspSettlementInfoConfirm", rid)["error"]["ErrorID"] == 0
        return answer["data"]

    def order(
        self,
        symbol: str,
        direction: str,
        offset: str,
        volume: int,
        price: float,
        ref: int | str,
        **extra: object,
    ) -> tuple[int, int]:
        fields = order_insert_fields(symbol, direction, offset, volume, price, ref)
        fields.update(extra)
        return self.send("OrderInsert", fields)

    def close(self) -> None:
        _ctp.close(self.handle)
