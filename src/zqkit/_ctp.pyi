"""Simulated CTP counter.

Stands in for the native CTP trader library so that the trading side runs and is tested on
one machine. Each connection has its own worker thread; answers arrive after a configurable
latency and are collected by `poll`. Accounts, orders, trades and positions live per front
address in the process, so a connection that reconnects to the same front finds the same book.

Session interface (what `zqkit.trading.Native` calls):

- `create(front, flow_path)` returns a `Handle` at once; "FrontConnected" follows through
  `poll` after the front's connect delay. Routing is decided here, once per connection: a
  front address configured in the counter (`configure_front`) is simulated; any other address
  is a real front and goes to the vendor's CTP trader library (`zqkit._ctp_library`, optional
  extra `zqkit[ctp]`), whose handles `request`, `poll` and `close` accept as well, with the
  same return codes, event dicts and errors. Without the extra, or without the locale
  zh_CN.GB18030 the library needs, `create` raises `ZqError` saying what to install. So a
  front must be configured before a connection to it is created; configuring it later does
  not claim connections already routed to the library.
- `request(handle, method, fields, request_id)` returns 0 (handed over), -1 (not connected),
  -2 (more than `max_inflight` requests unanswered) or -3 (more than `max_per_second` requests
  in the last second); both limits count every request of the connection and are off (0) by
  default. An unknown method raises ValueError.
- `poll(handle)` returns the list of event dicts that arrived since the previous poll, with
  the keys "name", "data" (dict or None), "request_id", "last" and "error" (dict with
  "ErrorID" and "ErrorMsg", or None). Login answers carry {"ErrorID": 0, "ErrorMsg": "正确"}
  on success. A query answers one event per row, "last" True only on the final row; an empty
  answer is one event with data None and "last" True. Order and trade returns ("RtnOrder",
  "RtnTrade") go to every connection logged in to the account, from its login on; earlier
  returns are not replayed (the day's orders and trades are there to query).
- `close(handle)` stops the worker and releases the connection. Any call on a closed handle
  (close included) raises ValueError("CTP 连接句柄已关闭"); an object that is not a handle
  raises TypeError.

Counter behaviour:

- Login: "Authenticate" checks AppID and AuthCode (ErrorID 63 otherwise); "UserLogin" needs a
  successful Authenticate of the same user in this connection (64) and the right password (3);
  the answer carries TradingDay, FrontID, SessionID (ints) and MaxOrderRef (str, the highest
  OrderRef the account used this trading day). Orders need "SettlementInfoConfirm" for the
  trading day (42). Requests naming another investor are refused (9); before login (6).
- Orders: limit orders only; TimeCondition "3" (day) or "1" with VolumeCondition "1" (FAK) or
  "3" (FOK). Checks, each answered by "RspOrderInsert" and "ErrRtnOrderInsert" with the error:
  unknown instrument (16), not trading (17), malformed fields, price off the tick or volume
  outside the instrument's limits (15), OrderRef not above the connection's last one (22),
  not enough free position to close (30; 50 close-today, 51 close-yesterday), not enough
  funds (31). Free position counts every working close of the side, whatever order they fill
  in: close-yesterday orders and the plain closes that may take earlier days' lots before
  them must fit in those lots together. An accepted order gives "RtnOrder" with OrderStatus
  "a" (no OrderSysID), then "RtnOrder" status "3" with its OrderSysID (right-aligned in 12
  characters, like TradeID).
- Matching: against the reference price of `set_price`. A buy fills when its limit is at or
  above the reference, a sell when at or below; an arriving order trades at the reference
  price, a resting order (re-checked on every `set_price`) at its own limit. Each matching
  pass fills at most `fill_volume` lots (0: all). Each fill pushes "RtnTrade" and then the
  updated "RtnOrder" (status "1" or "0"). TradeIDs are numbered per exchange, as the
  exchanges do: two exchanges may report the same TradeID on one day (ExchangeID tells them
  apart); within one exchange they are unique and increase. "OrderAction" (ActionFlag "0")
  cancels a working order, found by ExchangeID + OrderSysID or by FrontID + SessionID +
  OrderRef ("RtnOrder" status "5"); otherwise "RspOrderAction" and "ErrRtnOrderAction" with
  25 (not found), 26 (already finished) or 23 (bad field).
- Positions: SHFE and INE report a today row (PositionDate "1") and an earlier-days row ("2");
  other exchanges one row per direction with TodayPosition. A plain close ("1") closes
  earlier days' lots on SHFE/INE and earlier days first elsewhere.
- Funds: margin = margin_rate × open cost (price × lots × multiplier) of the lots held;
  working opens freeze margin_rate × limit × lots × multiplier; commission is a fixed amount
  per lot on every trade (frozen for working orders); position profit is marked to the
  reference price (0 without one). Balance = PreBalance + CloseProfit + PositionProfit −
  Commission; Available = Balance − CurrMargin − FrozenMargin − FrozenCommission.

Errors of the control functions: an unknown front, instrument or setting raises ValueError;
a value of the wrong type raises TypeError.
"""

from typing import Any, Literal, TypedDict, final

from zqkit._ctp_library import Handle as _LibraryHandle

class _Error(TypedDict):
    ErrorID: int
    ErrorMsg: str

class Event(TypedDict):
    name: str
    data: dict[str, str | int | float] | None
    request_id: int
    last: bool
    error: _Error | None

@final
class Handle:
    """一个 CTP 前置连接的不透明句柄，由 create 返回，close 之后不可再用。"""

def create(front: str, flow_path: bytes) -> Handle | _LibraryHandle:
    """Open a connection to `front` ("tcp://host:port"): the counter's if configured there,
    else the trader library's.

    `flow_path` is bytes naming an existing directory and ending with a separator; anything
    else raises TypeError (not bytes) or ValueError.
    """

def request(
    handle: Handle | _LibraryHandle,
    method: Literal[
        "Authenticate",
        "UserLogin",
        "SettlementInfoConfirm",
        "QryInstrument",
        "QryOrder",
        "QryTrade",
        "QryInvestorPosition",
        "QryTradingAccount",
        "OrderInsert",
        "OrderAction",
    ],
    fields: dict[str, str | int | float | bool],
    request_id: int,
) -> int:
    """Queue a request; its answer arrives through `poll` after the front's latency.

    `fields` must be a dict with str keys and str/int/float/bool values (TypeError), text
    without NUL that fits its CTP field (ValueError), integers within range (OverflowError).
    Known CTP fields are type-checked (e.g. LimitPrice int or float, VolumeTotalOriginal int,
    Direction str); other names are accepted and ignored by the counter.
    """

def poll(handle: Handle | _LibraryHandle) -> list[Event]:
    """Every event that arrived since the previous poll, in arrival order; never blocks."""

def close(handle: Handle | _LibraryHandle) -> None:
    """Stop the connection's worker thread and release the connection."""

# ---- control interface (tests and the demo) -------------------------------------------------

class InstrumentSettings(TypedDict, total=False):
    symbol: str  # required, e.g. "SHFE.rb2610"
    name: str
    product_class: Literal["1", "2"]  # futures (default) or options
    tick: float  # default 1.0
    multiplier: int  # default 10
    margin_rate: float  # default 0.1
    commission: float  # yuan per lot, default 1.0
    min_volume: int  # default 1
    max_volume: int  # default 500
    is_trading: bool  # default True

class PositionSettings(TypedDict, total=False):
    symbol: str  # required; must be one of the front's instruments
    direction: Literal["long", "short"]  # required
    history: int  # lots from earlier days
    today: int  # lots opened today before the simulation started
    price: float  # required: open (or pre-settlement) price

class AccountSettings(TypedDict, total=False):
    broker_id: str  # required
    user_id: str  # required
    password: str  # required
    app_id: str  # required
    auth_code: str  # required
    balance: float  # static balance at the start of the day, default 1_000_000.0
    positions: list[PositionSettings]

class FrontOptions(TypedDict, total=False):
    latency: float  # seconds from request to answer, default 0.005
    connect_delay: float  # seconds from create/reconnect to FrontConnected, default 0.005
    max_inflight: int  # unanswered requests allowed before -2; 0 = no limit (default)
    max_per_second: int  # requests per one-second window before -3; 0 = no limit (default)
    fill_volume: int  # lots per matching pass; 0 = whole order (default)

class FrontSettings(FrontOptions, total=False):
    trading_day: str  # "YYYYMMDD", default today in UTC+8
    front_id: int  # FrontID reported at login, default 1
    instruments: list[InstrumentSettings]
    accounts: list[AccountSettings]

def configure_front(front: str, settings: FrontSettings | dict[str, Any]) -> None:
    """Create the front's counter, or replace it (book included) while nothing is connected.

    Unknown keys raise ValueError; replacing a front with logged-in connections raises
    ValueError.
    """

def set_options(front: str, options: FrontOptions | dict[str, Any]) -> None:
    """Change latency, limits or fill volume of a front; accounts and orders stay."""

def set_price(front: str, symbol: str, price: float | None) -> None:
    """Set the reference price of `symbol` and re-check resting orders; None stops matching."""

def disconnect(front: str, reconnect_after: float = 0.05) -> int:
    """Drop every connection of the front ("FrontDisconnected"; queued answers are lost); each
    gets a new "FrontConnected" (new session, login needed) after `reconnect_after` seconds.
    Returns the number of connections dropped."""

def fail_queries(front: str, count: int = 1, error_id: int = 90) -> None:
    """Answer the next `count` queries with one event carrying ErrorID `error_id`."""

def refuse_requests(front: str, count: int = 1, code: int = -2) -> None:
    """Make `request` return `code` for the next `count` requests (nothing is sent)."""

def withhold_answers(front: str, count: int = 1) -> None:
    """Accept the next `count` requests (0) and then neither process nor answer them."""

def duplicate_trades(front: str, count: int = 1) -> None:
    """Push each of the next `count` trades twice (the copy after its order return)."""

def trades_before_orders(front: str, count: int = 1) -> None:
    """Push each of the next `count` trades ahead of every order return of the same batch, so
    an order that fills on arrival shows its trade before the return carrying its OrderSysID."""

def set_trading_day(front: str, day: str) -> None:
    """Settle and start trading day `day`: today's lots become earlier days' lots (carried at
    the reference price), orders and trades are cleared, the balance carries over, and the
    settlement must be confirmed again. Connected sessions see the new day in later answers."""

def open_connections() -> int:
    """Number of the counter's connections not yet closed, in the whole process (connections to
    the trader library are not counted)."""

def reset() -> None:
    """Close every connection of the counter and forget every front (between tests);
    connections to the trader library are left alone."""
