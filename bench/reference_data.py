"""Straightforward pure-Python versions of zqkit.data's hot functions, for benchmark ratios only.

They follow the same rules as the extension module (order of checks, messages, the layout of
the K-line frame) and raise the same exceptions, so both sides do the same work.
"""

from __future__ import annotations

import math
import re

import pandas as pd

from zqkit.data import BAR_COLUMNS, BAR_FIELDS, QUOTE_FIELDS, ZqError


def number(value):
    if value is None:
        return math.nan
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ZqError("行情数值字段格式无效")
    try:
        result = float(value)
    except OverflowError as error:
        raise ZqError("行情数值字段超出范围") from error
    if not math.isfinite(result):
        raise ZqError("行情数值字段不能为 NaN 或无穷大")
    return result


def different(old, new):
    if isinstance(old, float) and isinstance(new, float) and math.isnan(old) and math.isnan(new):
        return False
    return old != new


def decode(data, symbol, *, quote=False):
    """Validate a complete message before exposing any of its fields."""
    if not isinstance(data, dict) or data.get("s") != symbol:
        raise ZqError("行情数据的合约与订阅频道不一致")
    t = data.get("t")
    d = data.get("d")
    if not (
        type(t) is int
        and 0 <= t <= 9223372036854775807
        and isinstance(d, str)
        and re.fullmatch("[0-9]{8}", d)
    ):
        raise ZqError("行情时间戳或交易日无效")
    result = {"timestamp": t, "trading_day": d}
    table = QUOTE_FIELDS if quote else BAR_FIELDS
    if not table.keys() <= data.keys():
        raise ZqError("行情消息缺少必要字段")
    values = {}
    for key, name in table.items():
        values[name] = number(data[key])
    result.update(values)
    if quote:
        for key, name in (("b", "bids"), ("a", "asks")):
            levels = data.get(key)
            if not isinstance(levels, list) or len(levels) > 5:
                raise ZqError("行情盘口格式无效")
            side = result[name] = []
            for level in levels:
                if (
                    not isinstance(level, list)
                    or len(level) != 2
                    or type(level[1]) is not int
                    or level[1] <= 0
                ):
                    raise ZqError("行情盘口档位无效")
                price = number(level[0])
                if math.isnan(price):
                    raise ZqError("行情盘口缺少价格")
                side.append((price, level[1]))
    return result


class Serial:
    def __init__(self, symbol, period, length):
        self.symbol = symbol
        self.period = period
        self.length = length
        self.bars = {}
        self.initial_generation = 0
        self.initial_sequence = 0
        columns = {
            "timestamp": pd.Series([0] * length, dtype="int64"),
            "trading_day": pd.Series([""] * length, dtype=object),
        }
        for name in BAR_FIELDS.values():
            columns[name] = pd.Series([math.nan] * length, dtype="float64")
        self.frame = pd.DataFrame(columns)
        self.frame.attrs.update(symbol=symbol, period=period)

    def update(self, bars):
        frame = self.frame
        if (
            len(frame) != self.length
            or not frame.index.equals(pd.RangeIndex(self.length))
            or not frame.columns.is_unique
            or not set(BAR_COLUMNS) <= set(frame.columns)
        ):
            raise RuntimeError("不能修改 SDK 内部 K 线的列、索引或行数")
        before = frame.iloc[-1][BAR_COLUMNS].to_dict()
        updates = {bar["timestamp"]: bar for bar in bars}
        latest = before["timestamp"]
        if latest in self.bars and len(updates) == 1 and latest in updates:
            bar = updates[latest]
            changed = {c for c in BAR_COLUMNS if different(before[c], bar[c])}
            for c in changed:
                frame.at[self.length - 1, c] = bar[c]
            self.bars[latest] = bar
            return changed
        merged = {**self.bars, **updates}
        times = sorted(merged)[-self.length :]
        count = self.length - len(times)
        columns = {}
        for c in BAR_COLUMNS:
            fill = 0 if c == "timestamp" else "" if c == "trading_day" else math.nan
            dtype = "int64" if c == "timestamp" else object if c == "trading_day" else "float64"
            values = [fill] * count + [merged[t][c] for t in times]
            columns[c] = pd.Series(values, index=frame.index, dtype=dtype)
        self.bars = {t: merged[t] for t in times}
        for c, series in columns.items():
            frame[c] = series
        after = frame.iloc[-1][BAR_COLUMNS].to_dict()
        return {c for c in BAR_COLUMNS if different(before[c], after[c])}
