"""decode: layouts, the order of the checks and every rejection message."""

import copy
import math

import pytest

from zqkit.data import BAR_COLUMNS, QUOTE_FIELDS, ZqError, decode

SYMBOL = "SHFE.rb2610"


def bar_item(**changes):
    item = {
        "s": SYMBOL,
        "t": 1_767_000_000_000,
        "d": "20260105",
        "o": 3500,
        "h": 3520.0,
        "l": 3490.5,
        "c": 3510,
        "v": 1200,
        "m": 4.2e7,
        "oi": 88000,
        "x": "ignored",
    }
    item.update(changes)
    return item


def quote_item(**changes):
    item = bar_item(
        ps=3480.0, pc=3485, up=3650.0, dn=3310.0, b=[[3509.0, 3], [3508, 10]], a=[[3511.0, 2]]
    )
    item.update(changes)
    return item


def rejected(item, message, *, quote=False, symbol=SYMBOL):
    before = copy.deepcopy(item)
    with pytest.raises(ZqError) as caught:
        decode(item, symbol, quote=quote)
    assert str(caught.value) == message
    assert caught.value.status is None
    assert item == before
    return caught.value


class TestLayouts:
    def test_bar_layout(self):
        result = decode(bar_item(), SYMBOL)
        assert list(result) == BAR_COLUMNS
        assert result == {
            "timestamp": 1_767_000_000_000,
            "trading_day": "20260105",
            "open": 3500.0,
            "high": 3520.0,
            "low": 3490.5,
            "close": 3510.0,
            "volume": 1200.0,
            "turnover": 4.2e7,
            "open_interest": 88000.0,
        }
        assert all(type(result[name]) is float for name in BAR_COLUMNS[2:])

    def test_quote_layout(self):
        result = decode(quote_item(), SYMBOL, quote=True)
        assert list(result) == ["timestamp", "trading_day", *QUOTE_FIELDS.values(), "bids", "asks"]
        assert (result["highest"], result["lowest"], result["last_price"]) == (
            3520.0,
            3490.5,
            3510.0,
        )
        assert (result["pre_close"], result["upper_limit"]) == (3485.0, 3650.0)
        assert result["bids"] == [(3509.0, 3), (3508.0, 10)]
        assert result["asks"] == [(3511.0, 2)]
        assert all(type(price) is float for price, _ in result["bids"])
        assert "symbol" not in result and "x" not in result

    def test_null_fields_are_nan_and_empty_books_are_valid(self):
        result = decode(quote_item(o=None, v=None, b=[], a=[]), SYMBOL, quote=True)
        assert math.isnan(result["open"]) and math.isnan(result["volume"])
        assert result["bids"] == [] and result["asks"] == []

    def test_quote_is_tested_for_truth(self):
        assert "bids" in decode(quote_item(), SYMBOL, quote=1)
        assert "bids" not in decode(quote_item(), SYMBOL, quote="")

    def test_results_are_new_objects(self):
        item = quote_item()
        first, second = decode(item, SYMBOL, quote=True), decode(item, SYMBOL, quote=True)
        assert first == second
        assert first["bids"] is not second["bids"]
        assert item == quote_item()

    def test_limits_that_pass(self):
        result = decode(bar_item(t=0), SYMBOL)
        assert result["timestamp"] == 0
        assert decode(bar_item(t=2**63 - 1), SYMBOL)["timestamp"] == 2**63 - 1
        five = [[1.0 + i, 1] for i in range(5)]
        assert len(decode(quote_item(b=five, a=five), SYMBOL, quote=True)["asks"]) == 5
        huge = decode(quote_item(b=[[1.0, 2**80]]), SYMBOL, quote=True)
        assert huge["bids"] == [(1.0, 2**80)]

    def test_absent_symbol_matches_none(self):
        item = bar_item()
        del item["s"]
        assert decode(item, None)["close"] == 3510.0
        rejected(item, "行情数据的合约与订阅频道不一致")

    def test_dict_subclass_is_read_through_its_methods(self):
        class Item(dict):
            def get(self, key, default=None):
                return SYMBOL if key == "s" else super().get(key, default)

        item = Item(bar_item())
        del item["s"]
        assert decode(item, SYMBOL)["open"] == 3500.0

    def test_list_subclass_levels(self):
        class Levels(list):
            pass

        result = decode(quote_item(b=Levels([Levels([1.0, 2])])), SYMBOL, quote=True)
        assert result["bids"] == [(1.0, 2)]


class TestChannelAndTime:
    @pytest.mark.parametrize("item", [[], "x", None, [("s", SYMBOL)]])
    def test_not_a_dict(self, item):
        with pytest.raises(ZqError, match="^行情数据的合约与订阅频道不一致$"):
            decode(item, SYMBOL)

    def test_other_instrument_fails_first_even_when_all_else_is_malformed(self):
        rejected(
            {"s": "DCE.a2611", "t": "bad", "b": 7}, "行情数据的合约与订阅频道不一致", quote=True
        )

    @pytest.mark.parametrize("t", [True, 1.0, -1, 2**63, "1", None, 1_767_000_000_000.0])
    def test_bad_timestamp(self, t):
        rejected(bar_item(t=t), "行情时间戳或交易日无效")

    def test_int_subclass_timestamp(self):
        class Stamp(int):
            pass

        rejected(bar_item(t=Stamp(5)), "行情时间戳或交易日无效")

    @pytest.mark.parametrize(
        "d", ["2026010", "202601050", 20260105, "2026O105", "２０２６０１０５", "20260105\n", None]
    )
    def test_bad_trading_day(self, d):
        rejected(bar_item(d=d), "行情时间戳或交易日无效")

    def test_time_is_checked_before_missing_fields(self):
        rejected({"s": SYMBOL, "t": -1, "d": "20260105"}, "行情时间戳或交易日无效")


class TestFieldsAndBooks:
    def test_missing_table_keys(self):
        item = bar_item()
        del item["oi"]
        rejected(item, "行情消息缺少必要字段")
        item = quote_item()
        del item["ps"]
        rejected(item, "行情消息缺少必要字段", quote=True)

    def test_missing_key_is_reported_before_a_bad_value(self):
        item = bar_item(o="bad")
        del item["m"]
        rejected(item, "行情消息缺少必要字段")

    def test_book_keys_are_not_table_keys(self):
        item = quote_item()
        del item["b"]
        rejected(item, "行情盘口格式无效", quote=True)
        assert decode(item, SYMBOL)["close"] == 3510.0

    @pytest.mark.parametrize(
        ("value", "message"),
        [
            (True, "行情数值字段格式无效"),
            ("3.5", "行情数值字段格式无效"),
            ([1.0], "行情数值字段格式无效"),
            (10**400, "行情数值字段超出范围"),
            (math.nan, "行情数值字段不能为 NaN 或无穷大"),
            (-math.inf, "行情数值字段不能为 NaN 或无穷大"),
        ],
    )
    def test_bad_numeric_field(self, value, message):
        error = rejected(bar_item(v=value), message)
        if message == "行情数值字段超出范围":
            assert isinstance(error.__cause__, OverflowError)

    def test_fields_are_checked_in_table_order(self):
        rejected(bar_item(h="x", l=10**400), "行情数值字段格式无效")
        rejected(bar_item(h=10**400, l="x"), "行情数值字段超出范围")

    def test_fields_are_checked_before_books(self):
        rejected(quote_item(dn="x", b=None), "行情数值字段格式无效", quote=True)

    @pytest.mark.parametrize("levels", [None, (), ((1.0, 2),), {"0": [1.0, 2]}, [[1.0, 1]] * 6])
    def test_bad_book(self, levels):
        rejected(quote_item(a=levels), "行情盘口格式无效", quote=True)

    @pytest.mark.parametrize(
        "level",
        [
            (1.0, 2),
            [1.0],
            [1.0, 2, 3],
            [1.0, 0],
            [1.0, -2],
            [1.0, True],
            [1.0, 2.0],
            [1.0, None],
            [None, 0],
            ["x", 0],
            [1.0, -(2**80)],
        ],
    )
    def test_bad_level(self, level):
        rejected(quote_item(b=[[3509.0, 3], level]), "行情盘口档位无效", quote=True)

    @pytest.mark.parametrize(
        ("price", "message"),
        [
            (None, "行情盘口缺少价格"),
            ("x", "行情数值字段格式无效"),
            (False, "行情数值字段格式无效"),
            (math.nan, "行情数值字段不能为 NaN 或无穷大"),
            (10**400, "行情数值字段超出范围"),
        ],
    )
    def test_bad_price(self, price, message):
        rejected(quote_item(b=[[price, 3]]), message, quote=True)

    def test_bids_before_asks(self):
        rejected(quote_item(b=[[None, 1]], a="x"), "行情盘口缺少价格", quote=True)
        rejected(quote_item(b=[[1.0, 1]], a=[[None, 1]]), "行情盘口缺少价格", quote=True)


class TestCall:
    def test_quote_is_keyword_only(self):
        with pytest.raises(TypeError) as caught:
            decode(bar_item(), SYMBOL, True)
        assert str(caught.value) == "decode() takes 2 positional arguments but 3 were given"

    def test_missing_arguments(self):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'symbol'"):
            decode(bar_item())

    def test_by_name(self):
        assert decode(data=bar_item(), symbol=SYMBOL, quote=False)["open"] == 3500.0

    def test_docstring(self):
        assert decode.__doc__ == "Validate a complete message before exposing any of its fields."
