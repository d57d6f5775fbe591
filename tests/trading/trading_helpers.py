"""A scripted CTP binding, a settable clock and CTP row builders for the `Trading` session tests."""

from __future__ import annotations

import asyncio
from collections import namedtuple

from zqkit.livebook import CtpAccount

DAY = "20260608"
CONFIG = CtpAccount(
    broker_id="9999",
    user_id="000001",
    password="secret",
    front_url="tcp://127.0.0.1:41299",
    app_id="client_app",
    auth_code="0000000000000000",
)

Request = namedtuple("Request", "method fields request_id")


class FakeClock:
    """Stands in for the `time` module of the session: both clocks move only when told."""

    def __init__(self) -> None:
        self.now = 1000.0
        self.wall = 1_780_000_000.0

    def monotonic(self) -> float:
        return self.now

    def time(self) -> float:
        return self.wall

    def advance(self, seconds: float) -> float:
        self.now += seconds
        self.wall += seconds
        return self.now


class FakeNative:
    """One scripted connection: records requests, answers queued codes, hands out queued events."""

    def __init__(self, config, directory) -> None:
        self.config = config
        self.directory = directory
        self.requests: list[Request] = []
        self.codes: list[int] = []
        self.events: list[dict] = []
        self.closed = False

    def request(self, method, data, request_id):
        self.requests.append(Request(method, dict(data), request_id))
        return self.codes.pop(0) if self.codes else 0

    def poll(self):
        events, self.events = self.events, []
        return events

    def close(self) -> None:
        self.closed = True


class FakeBinding:
    """The `native_factory`: opens FakeNatives, or raises the next scripted exception."""

    def __init__(self) -> None:
        self.natives: list[FakeNative] = []
        self.calls: list[tuple] = []
        self.failures: list[BaseException] = []

    def factory(self, config, directory):
        self.calls.append((config, directory))
        if self.failures:
            raise self.failures.pop(0)
        native = FakeNative(config, directory)
        self.natives.append(native)
        return native


class QuickAsyncio:
    """The session's `asyncio` with every sleep recorded and cut to one turn of the loop."""

    def __init__(self) -> None:
        self.sleeps: list[float] = []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        await asyncio.sleep(0)
        return result


# ---- CTP rows ---------------------------------------------------------------------------------


def split(symbol: str) -> tuple[str, str]:
    exchange, instrument = symbol.split(".", 1)
    return exchange, instrument


def instrument_row(symbol: str, product_class: str = "1") -> dict:
    exchange, instrument = split(symbol)
    return {"ExchangeID": exchange, "InstrumentID": instrument, "ProductClass": product_class}


def order_row(ref, sys_id="", *, status="3", submit="3", volume=5, traded=0, **fields) -> dict:
    """An order return; `fields` override (symbol= sets ExchangeID and InstrumentID)."""
    exchange, instrument = split(fields.pop("symbol", "SHFE.rb2610"))
    row = {
        "FrontID": 1,
        "SessionID": 7,
        "OrderRef": str(ref),
        "OrderSysID": sys_id,
        "ExchangeID": exchange,
        "InstrumentID": instrument,
        "Direction": "0",
        "CombOffsetFlag": "0",
        "CombHedgeFlag": "1",
        "LimitPrice": 3500.0,
        "VolumeTotalOriginal": volume,
        "VolumeTraded": traded,
        "OrderStatus": status,
        "OrderSubmitStatus": submit,
        "InsertDate": DAY,
        "InsertTime": "09:30:15",
        "TradingDay": DAY,
    }
    row.update(fields)
    return row


def trade_row(trade_id, sys_id, volume=1, **fields) -> dict:
    exchange, instrument = split(fields.pop("symbol", "SHFE.rb2610"))
    row = {
        "TradeID": f"{trade_id:>12}",
        "OrderSysID": sys_id,
        "ExchangeID": exchange,
        "InstrumentID": instrument,
        "Direction": "0",
        "OffsetFlag": "0",
        "HedgeFlag": "1",
        "Price": 3500.0,
        "Volume": volume,
        "TradeDate": DAY,
        "TradeTime": "09:30:16",
        "TradingDay": DAY,
    }
    row.update(fields)
    return row


def position_row(symbol, direction="2", position=0, today=0, date="1", **fields) -> dict:
    exchange, instrument = split(symbol)
    row = {
        "ExchangeID": exchange,
        "InstrumentID": instrument,
        "PosiDirection": direction,
        "HedgeFlag": "1",
        "Position": position,
        "TodayPosition": today,
        "PositionDate": date,
        "TradingDay": DAY,
    }
    row.update(fields)
    return row


def account_row(**fields) -> dict:
    row = {
        "AccountID": CONFIG.user_id,
        "CurrencyID": "CNY",
        "TradingDay": DAY,
        "Balance": 1_000_000.0,
        "Available": 900_000.0,
        "CurrMargin": 100_000.0,
        "FrozenMargin": 0.0,
        "Commission": 12.0,
        "FrozenCommission": 0.0,
        "CloseProfit": 0.0,
        "PositionProfit": 0.0,
        "Deposit": 0.0,
        "Withdraw": 0.0,
    }
    row.update(fields)
    return row


# ---- driving a session ------------------------------------------------------------------------


class Harness:
    """A session on a scripted binding and a fake clock, with login and sync spelled out."""

    def __init__(self, session, binding: FakeBinding, clock: FakeClock) -> None:
        self.session = session
        self.binding = binding
        self.clock = clock

    @property
    def native(self) -> FakeNative:
        return self.binding.natives[-1]

    @property
    def last(self) -> Request:
        return self.native.requests[-1]

    def send(self, name, data=None, *, request_id=0, last=True, error=None) -> None:
        self.session.event(
            {"name": name, "data": data, "request_id": request_id, "last": last, "error": error}
        )

    def reply(self, name, data=None, *, last=True, code=0, message="正确") -> None:
        """Answer the latest request."""
        error = {"ErrorID": code, "ErrorMsg": message}
        self.send(name, data, request_id=self.last.request_id, last=last, error=error)

    def login(self, *, day=DAY, front=1, session=7, max_ref="12") -> None:
        if self.session.native is None:
            self.session._open_native()
        self.send("FrontConnected")
        self.reply("RspAuthenticate", {"UserID": CONFIG.user_id})
        answer = {"TradingDay": day, "FrontID": front, "SessionID": session}
        answer["MaxOrderRef"] = max_ref
        self.reply("RspUserLogin", answer)
        self.reply("RspSettlementInfoConfirm", {})

    def submit(self, gap: float = 1.0) -> Request:
        """Let the pacing gap pass and tick: the scheduler submits its next query."""
        count = len(self.native.requests)
        self.session.tick(self.clock.advance(gap))
        assert len(self.native.requests) == count + 1, "no query was submitted"
        return self.last

    def respond(self, rows, request: Request | None = None, *, code=0) -> None:
        """Answer one query: one event per row, "last" on the final one."""
        request = request or self.last
        name = "Rsp" + request.method
        error = {"ErrorID": code, "ErrorMsg": "查询失败"} if code else None
        rows = list(rows) or [None]
        for index, row in enumerate(rows):
            last = index == len(rows) - 1
            self.send(name, row, request_id=request.request_id, last=last, error=error)

    def step(self, rows) -> Request:
        request = self.submit()
        self.respond(rows, request)
        return request

    def sync(
        self,
        *,
        instruments=None,
        orders=(),
        trades=(),
        positions=(),
        trades_after=None,
        account=None,
    ) -> None:
        """Walk the six login-time queries with the given answers."""
        if instruments is None:
            instruments = [instrument_row("SHFE.rb2610"), instrument_row("DCE.m2609")]
        self.step(instruments)
        self.step(orders)
        self.step(trades)
        self.step(positions)
        self.step(trades if trades_after is None else trades_after)
        self.step([account_row()] if account is None else account)

    def ready(self, **answers) -> None:
        self.login()
        self.sync(**answers)
        assert self.session.session_status == "READY"
