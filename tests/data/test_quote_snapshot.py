"""Quote: a real dataclass, compared by identity, whose fields are set once."""

import dataclasses
import math

import pytest

from zqkit.data import Quote

FIELDS = [
    ("symbol", "str"),
    ("trading_day", "str"),
    ("timestamp", "int"),
    ("open", "float"),
    ("highest", "float"),
    ("lowest", "float"),
    ("last_price", "float"),
    ("pre_settlement", "float"),
    ("pre_close", "float"),
    ("upper_limit", "float"),
    ("lower_limit", "float"),
    ("volume", "float"),
    ("turnover", "float"),
    ("open_interest", "float"),
    ("bids", "list"),
    ("asks", "list"),
]


def test_is_a_dataclass_with_the_declared_fields():
    assert dataclasses.is_dataclass(Quote)
    assert Quote.__module__ == "zqkit.data"
    assert [(f.name, f.type) for f in dataclasses.fields(Quote)] == FIELDS
    params = Quote.__dataclass_params__
    assert (params.eq, params.order, params.frozen, params.init, params.repr) == (
        False,
        False,
        False,
        True,
        True,
    )
    assert Quote.__hash__ is object.__hash__


def test_docstring_layout():
    lines = Quote.__doc__.split("\n")
    assert lines[0] == "合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。"
    assert lines[1:3] == ["", "    Attributes:"]
    assert lines[3] == "        symbol: 合约代码，如 SHFE.rb2610 或 DCE.a2611-C-3700。"
    assert lines[5] == "        timestamp: 行情时间，Unix 毫秒。"
    assert lines[-2] == "        asks: 卖盘档位，每档为（价格，数量）。"
    assert lines[-1] == "    "
    assert [line.split(":")[0].strip() for line in lines[3:-1]] == [name for name, _ in FIELDS]


def test_defaults():
    quote = Quote(symbol="SHFE.rb2610")
    assert (quote.symbol, quote.trading_day, quote.timestamp) == ("SHFE.rb2610", "", 0)
    floats = [name for name, kind in FIELDS if kind == "float"]
    assert all(math.isnan(getattr(quote, name)) for name in floats)
    assert quote.bids == [] and quote.asks == []
    assert quote.bids is not quote.asks
    other = Quote("SHFE.rb2610")
    assert other.bids is not quote.bids
    assert other != quote and quote == quote
    with pytest.raises(TypeError):
        Quote()


def test_fields_are_read_only_after_init():
    quote = Quote("SHFE.rb2610", last_price=3500.0, bids=[(3499.0, 1)])
    for name, _ in FIELDS:
        with pytest.raises(AttributeError) as caught:
            setattr(quote, name, 1)
        assert str(caught.value) == "行情快照字段为只读"
    assert quote.last_price == 3500.0
    quote.bids.append((3498.0, 2))
    assert quote.bids == [(3499.0, 1), (3498.0, 2)]


def test_other_attributes_are_free():
    quote = Quote("SHFE.rb2610")
    quote.note = "a"
    quote.note = "b"
    assert quote.note == "b"
    del quote.note
    assert not hasattr(quote, "note")


def test_deleted_field_may_be_set_again():
    quote = Quote("SHFE.rb2610")
    del quote.open
    quote.open = 1.0
    assert quote.open == 1.0


def test_setattr_rules_when_called_directly():
    quote = Quote("SHFE.rb2610")
    with pytest.raises(AttributeError, match="只读"):
        Quote.__setattr__(quote, "open", 1.0)
    with pytest.raises(TypeError, match="attribute name must be string"):
        Quote.__setattr__(quote, 1, 1.0)
    with pytest.raises(TypeError, match=r"Quote.__setattr__\(\) missing 1 required"):
        Quote.__setattr__(quote, "x")


def test_dataclass_helpers():
    quote = Quote("SHFE.rb2610", timestamp=5, asks=[(1.0, 2)])
    assert dataclasses.asdict(quote)["asks"] == [(1.0, 2)]
    assert repr(quote).startswith("Quote(symbol='SHFE.rb2610', trading_day='', timestamp=5, ")
    copy = dataclasses.replace(quote, last_price=2.0)
    assert (copy.last_price, copy.timestamp) == (2.0, 5)


def test_subclass_keeps_the_rule():
    @dataclasses.dataclass(eq=False)
    class Extended(Quote):
        source: str = "sim"

    quote = Extended("SHFE.rb2610")
    with pytest.raises(AttributeError):
        quote.source = "live"
    with pytest.raises(AttributeError):
        quote.open = 1.0
