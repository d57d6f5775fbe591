"""Wire conversion and local market data objects."""

import math as math
import re as re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import Any, Final

import pandas as pd

class ZqError(Exception):
    """SDK 数据或交易服务异常，status 为可选的响应状态码。"""

    status: int | None
    def __init__(self, message: str, *, status: int | float | None = None) -> None:
        """`message` must be exactly a str; `status` is kept as an int (converted with int())."""

@dataclass(eq=False)
class Quote:
    """合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。

    Attributes:
        symbol: 合约代码，如 SHFE.rb2610 或 DCE.a2611-C-3700。
        trading_day: 交易日，格式 YYYYMMDD。
        timestamp: 行情时间，Unix 毫秒。
        open: 开盘价。
        highest: 最高价。
        lowest: 最低价。
        last_price: 最新价。
        pre_settlement: 昨结算价。
        pre_close: 昨收盘价。
        upper_limit: 涨停价。
        lower_limit: 跌停价。
        volume: 成交量。
        turnover: 成交额。
        open_interest: 持仓量。
        bids: 买盘档位，每档为（价格，数量）。
        asks: 卖盘档位，每档为（价格，数量）。
    """

    symbol: str
    trading_day: str = ""
    timestamp: int = 0
    open: float = ...
    highest: float = ...
    lowest: float = ...
    last_price: float = ...
    pre_settlement: float = ...
    pre_close: float = ...
    upper_limit: float = ...
    lower_limit: float = ...
    volume: float = ...
    turnover: float = ...
    open_interest: float = ...
    bids: list[tuple[float, int]] = ...
    asks: list[tuple[float, int]] = ...
    def __setattr__(self, key: str, value: Any) -> None:
        """Fields are read-only once set: AttributeError("行情快照字段为只读")."""

BAR_FIELDS: Final[dict[str, str]]
"""Wire key to field name of a K-line bar: o, h, l, c, v, m, oi."""
QUOTE_FIELDS: Final[dict[str, str]]
"""Wire key to field name of a quote: the bar keys with quote names, then ps, pc, up, dn."""
BAR_COLUMNS: Final[list[str]]
""""timestamp", "trading_day", then the bar field names: the K-line frame's columns."""
KLINE_PERIODS: Final[frozenset[str]]
"""The K-line period names: 1m 5m 10m 15m 30m 1h 4h 1d."""

def check_symbol(symbol: object) -> None:
    """Raise ValueError unless `symbol` is an instrument code such as SHFE.rb2610.

    The form (exchange, one dot, contract; ASCII letters, digits, and hyphens in the contract)
    is checked first, then the length (at most 14000 characters).
    """

def number(value: object) -> float:
    """One numeric wire field as a finite float; None (unknown) becomes math.nan.

    Raises ZqError for a bool or non-number, an int beyond the double range (caused by the
    OverflowError) and a NaN or infinite float.
    """

def decode(data: object, symbol: object, *, quote: object = False) -> dict[str, Any]:
    """Validate a complete message before exposing any of its fields."""

def different(old: object, new: object) -> Any:
    """`old != new`, except that two float NaNs count as equal (False)."""

class Serial:
    symbol: str
    period: str
    length: int
    bars: dict[int, Mapping[str, Any]]
    """The retained bars by timestamp, oldest first, at most `length` of them."""
    initial_generation: int
    initial_sequence: int
    frame: pd.DataFrame
    """The series: `length` rows, newest bar last; the same object for the series' life."""

    def __init__(self, symbol: str, period: str, length: int) -> None: ...
    def update(self, bars: Iterable[Mapping[str, Any]]) -> set[str]:
        """Merge bars (decode's bar layout) and return the columns whose last-row value changed.

        Raises RuntimeError when the frame's own columns, index or row count were changed, and
        leaves the series untouched when any bar cannot be stored.
        """
