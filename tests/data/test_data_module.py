"""The module as a whole: its names, tables, and globals looked up at call time."""

import dataclasses
import math
import re
import types

import pandas as pd
import pytest

import zqkit.data as data

NAMES = [
    "dataclass",
    "field",
    "math",
    "re",
    "pd",
    "ZqError",
    "Quote",
    "BAR_FIELDS",
    "QUOTE_FIELDS",
    "BAR_COLUMNS",
    "KLINE_PERIODS",
    "check_symbol",
    "number",
    "decode",
    "different",
    "Serial",
]


def bar_item(**changes):
    item = {
        "s": "SHFE.rb2610",
        "t": 1,
        "d": "20260105",
        "o": 1,
        "h": 2,
        "l": 0.5,
        "c": 1.5,
        "v": 3,
        "m": 4,
        "oi": 5,
    }
    item.update(changes)
    return item


def test_docstring_and_names_in_binding_order():
    assert data.__doc__ == "Wire conversion and local market data objects."
    assert [name for name in vars(data) if not name.startswith("__")] == NAMES
    assert data.dataclass is dataclasses.dataclass and data.field is dataclasses.field
    assert (data.math, data.re, data.pd) == (math, re, pd)
    assert all(getattr(data, name).__module__ == "zqkit.data" for name in NAMES[5:7] + NAMES[11:])


def test_tables():
    assert list(data.BAR_FIELDS.items()) == [
        ("o", "open"),
        ("h", "high"),
        ("l", "low"),
        ("c", "close"),
        ("v", "volume"),
        ("m", "turnover"),
        ("oi", "open_interest"),
    ]
    assert list(data.QUOTE_FIELDS.items()) == [
        ("o", "open"),
        ("h", "highest"),
        ("l", "lowest"),
        ("c", "last_price"),
        ("v", "volume"),
        ("m", "turnover"),
        ("oi", "open_interest"),
        ("ps", "pre_settlement"),
        ("pc", "pre_close"),
        ("up", "upper_limit"),
        ("dn", "lower_limit"),
    ]
    assert data.BAR_COLUMNS == ["timestamp", "trading_day", *data.BAR_FIELDS.values()]
    assert type(data.BAR_COLUMNS) is list
    assert data.KLINE_PERIODS == frozenset({"1m", "5m", "10m", "15m", "30m", "1h", "4h", "1d"})
    assert type(data.KLINE_PERIODS) is frozenset


def test_quote_fields_match_quote_layout():
    names = {f.name for f in dataclasses.fields(data.Quote)} - {"symbol"}
    decoded = data.decode(bar_item(ps=1, pc=1, up=1, dn=1, b=[], a=[]), "SHFE.rb2610", quote=True)
    assert set(decoded) == names


class TestMonkeypatchedGlobals:
    def test_number_inside_decode(self, monkeypatch):
        seen = []

        def fake(value):
            seen.append(value)
            return "patched"

        monkeypatch.setattr(data, "number", fake)
        result = data.decode(bar_item(), "SHFE.rb2610")
        assert result["open"] == "patched"
        assert seen == [1, 2, 0.5, 1.5, 3, 4, 5]
        monkeypatch.undo()
        assert data.decode(bar_item(), "SHFE.rb2610")["open"] == 1.0

    def test_patched_number_sees_level_prices(self, monkeypatch):
        monkeypatch.setattr(data, "number", lambda value: math.nan if value == 7 else 1.0)
        item = bar_item(ps=1, pc=1, up=1, dn=1, b=[[7, 1]], a=[])
        with pytest.raises(data.ZqError, match="行情盘口缺少价格"):
            data.decode(item, "SHFE.rb2610", quote=True)

    def test_math_module_global(self, monkeypatch):
        fake = types.SimpleNamespace(nan="unknown", isfinite=lambda x: x < 100, isnan=math.isnan)
        monkeypatch.setattr(data, "math", fake)
        assert data.number(None) == "unknown"
        assert data.number(5) == 5.0
        with pytest.raises(data.ZqError, match="不能为 NaN 或无穷大"):
            data.number(500)

    def test_attribute_of_the_real_math_module(self, monkeypatch):
        monkeypatch.setattr(math, "isnan", lambda x: True)
        assert data.different(1.0, 2.0) is False
        assert data.different(1, 2) is True

    def test_missing_global(self, monkeypatch):
        monkeypatch.delattr(data, "math")
        with pytest.raises(NameError, match="name 'math' is not defined"):
            data.number(None)
        with pytest.raises(NameError):
            data.number(3)  # math.isfinite is read for every finite check
        assert data.different("a", "b") is True  # math is read only for two floats

    def test_re_module_global(self, monkeypatch):
        calls = []

        def fullmatch(pattern, text):
            calls.append((pattern, text))
            return text == "ok"

        monkeypatch.setattr(data, "re", types.SimpleNamespace(fullmatch=fullmatch))
        assert data.check_symbol("ok") is None
        with pytest.raises(ValueError):
            data.check_symbol("SHFE.rb2610")
        with pytest.raises(data.ZqError, match="交易日无效"):
            data.decode(bar_item(), "SHFE.rb2610")
        assert calls[0] == (r"[A-Za-z0-9]+\.[A-Za-z0-9-]+", "ok")
        assert calls[-1] == ("[0-9]{8}", "20260105")

    def test_error_class_global(self, monkeypatch):
        class Other(Exception):
            pass

        monkeypatch.setattr(data, "ZqError", Other)
        with pytest.raises(Other, match="行情数值字段格式无效"):
            data.number("x")

    def test_table_global(self, monkeypatch):
        monkeypatch.setattr(data, "BAR_FIELDS", {"c": "close"})
        assert data.decode({"s": "X.y", "t": 0, "d": "20260105", "c": 2}, "X.y") == {
            "timestamp": 0,
            "trading_day": "20260105",
            "close": 2.0,
        }

    def test_changes_after_warm_calls_are_seen(self, monkeypatch):
        """Calls made before a change must not leave anything behind that hides it."""
        for _ in range(3):
            assert data.decode(bar_item(), "SHFE.rb2610")["close"] == 1.5
        monkeypatch.setattr(math, "isfinite", lambda value: False)
        with pytest.raises(data.ZqError, match="不能为 NaN 或无穷大"):
            data.decode(bar_item(), "SHFE.rb2610")
        monkeypatch.undo()
        monkeypatch.setattr(re, "fullmatch", lambda pattern, text: None)
        with pytest.raises(data.ZqError, match="交易日无效"):
            data.decode(bar_item(), "SHFE.rb2610")
        monkeypatch.undo()
        monkeypatch.setattr(math, "nan", "unknown")
        assert data.number(None) == "unknown"
        monkeypatch.undo()
        assert data.decode(bar_item(), "SHFE.rb2610")["close"] == 1.5

    def test_rebound_module_edited_after_warm_calls(self, monkeypatch):
        # A real module put in place of `math` or `re` must be read afresh after it is edited too.
        stand_in = types.ModuleType("stand_in")
        stand_in.nan, stand_in.isnan, stand_in.isfinite = "first", math.isnan, math.isfinite
        monkeypatch.setattr(data, "math", stand_in)
        assert data.number(None) == "first"
        stand_in.nan = "second"
        assert data.number(None) == "second"
        stand_in.isfinite = lambda value: False
        with pytest.raises(data.ZqError, match="不能为 NaN 或无穷大"):
            data.number(1.0)
        patterns = types.ModuleType("patterns")
        patterns.fullmatch = lambda pattern, text: True
        monkeypatch.setattr(data, "re", patterns)
        assert data.check_symbol("not a symbol") is None
        patterns.fullmatch = lambda pattern, text: None
        with pytest.raises(ValueError):
            data.check_symbol("SHFE.rb2610")

    def test_quote_table_changed_in_place(self, monkeypatch):
        item = bar_item(ps=1, pc=1, up=1, dn=1, b=[], a=[])
        for _ in range(3):
            assert data.decode(item, "SHFE.rb2610", quote=True)["last_price"] == 1.5
        monkeypatch.setitem(data.QUOTE_FIELDS, "c", "close")
        result = data.decode(item, "SHFE.rb2610", quote=True)
        assert "last_price" not in result and result["close"] == 1.5
        monkeypatch.undo()
        assert data.decode(item, "SHFE.rb2610", quote=True)["last_price"] == 1.5

    def test_table_changed_in_place(self, monkeypatch):
        data.decode(bar_item(), "SHFE.rb2610")
        monkeypatch.setitem(data.BAR_FIELDS, "x", "extra")
        with pytest.raises(data.ZqError, match="缺少必要字段"):
            data.decode(bar_item(), "SHFE.rb2610")
        assert math.isnan(data.decode(bar_item(x=None), "SHFE.rb2610")["extra"])
        monkeypatch.setitem(data.BAR_FIELDS, "c", "last")
        result = data.decode(bar_item(x=2), "SHFE.rb2610")
        assert list(result) == [
            "timestamp",
            "trading_day",
            "open",
            "high",
            "low",
            "last",
            "volume",
            "turnover",
            "open_interest",
            "extra",
        ]
        monkeypatch.undo()
        assert list(data.decode(bar_item(), "SHFE.rb2610")) == data.BAR_COLUMNS

    def test_different_inside_serial_update(self, monkeypatch):
        series = data.Serial("SHFE.rb2610", "1m", 2)
        values = [1, "20260105", 1.0, 2.0, 0.5, 1.5, 3.0, 4.0, 5.0]
        row = dict(zip(data.BAR_COLUMNS, values, strict=True))
        series.update([row])
        monkeypatch.setattr(data, "different", lambda old, new: True)
        assert series.update([row]) == set(data.BAR_COLUMNS)
        monkeypatch.undo()
        assert series.update([row]) == set()
