"""check_symbol, number and different."""

import math
from fractions import Fraction

import numpy as np
import pytest

from zqkit.data import ZqError, check_symbol, different, number

FORM = "symbol 格式应为 交易所.合约，例如 SHFE.rb2610 或 DCE.a2611-C-3700"


class Symbol(str):
    pass


class Count(int):
    pass


class Price(float):
    pass


class TestCheckSymbol:
    @pytest.mark.parametrize(
        "symbol",
        ["SHFE.rb2610", "DCE.a2611-C-3700", "A.b", "9.-", Symbol("CZCE.SR601"), "x." + "-" * 13998],
    )
    def test_accepts(self, symbol):
        assert check_symbol(symbol) is None

    @pytest.mark.parametrize(
        "symbol",
        [
            "SHFE.rb.2610",
            ".rb2610",
            "SHFE.",
            "SHFE",
            "SHFE_x.rb2610",
            "SHFE.rb_2610",
            "SHFE .rb2610",
            "SHFE.rb2610 ",
            "SHFE.rb2610\n",
            "ＳＨＦＥ.rb2610",
            "SHFE.rb２610",
            "SHFE-1.rb2610",
            "",
            12345,
            None,
            b"SHFE.rb2610",
        ],
    )
    def test_refuses_the_form(self, symbol):
        with pytest.raises(ValueError) as caught:
            check_symbol(symbol)
        assert type(caught.value) is ValueError
        assert str(caught.value) == FORM

    def test_length_limit(self):
        check_symbol("SHFE." + "a" * (14000 - 5))
        with pytest.raises(ValueError) as caught:
            check_symbol("SHFE." + "a" * (14001 - 5))
        assert str(caught.value) == "symbol 过长"

    def test_form_is_checked_before_length(self):
        with pytest.raises(ValueError, match="格式"):
            check_symbol("SHFE_" + "a" * 20000)

    def test_keyword_and_argument_count(self):
        assert check_symbol(symbol="SHFE.rb2610") is None
        with pytest.raises(TypeError, match=r"check_symbol\(\) takes 1 positional argument but 2"):
            check_symbol("a.b", "c.d")


class TestNumber:
    def test_none_is_math_nan(self):
        assert number(None) is math.nan

    @pytest.mark.parametrize(
        ("value", "expected"),
        [(3, 3.0), (-7, -7.0), (0, 0.0), (3.25, 3.25), (Count(5), 5.0), (Price(1.5), 1.5)],
    )
    def test_numbers_become_builtin_floats(self, value, expected):
        result = number(value)
        assert type(result) is float
        assert result == expected

    def test_exact_float_is_returned_as_is(self):
        value = 2.5
        assert number(value) is value

    @pytest.mark.parametrize(
        "value", [True, False, "3.5", b"1", [1], {}, Fraction(1, 2), 1j, np.int64(3)]
    )
    def test_refuses_non_numbers(self, value):
        with pytest.raises(ZqError) as caught:
            number(value)
        assert str(caught.value) == "行情数值字段格式无效"
        assert caught.value.status is None

    def test_float_subclass_from_numpy_is_a_number(self):
        assert number(np.float64(1.5)) == 1.5

    @pytest.mark.parametrize("value", [10**400, -(10**400)])
    def test_int_beyond_double_range(self, value):
        with pytest.raises(ZqError) as caught:
            number(value)
        assert str(caught.value) == "行情数值字段超出范围"
        assert isinstance(caught.value.__cause__, OverflowError)
        assert caught.value.__context__ is caught.value.__cause__
        assert caught.value.__suppress_context__

    @pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, Price("nan")])
    def test_non_finite_floats(self, value):
        with pytest.raises(ZqError) as caught:
            number(value)
        assert str(caught.value) == "行情数值字段不能为 NaN 或无穷大"
        assert caught.value.__cause__ is None

    def test_context_of_an_outer_handled_error_is_kept(self):
        try:
            raise KeyError("outer")
        except KeyError as outer:
            with pytest.raises(ZqError) as caught:
                number("x")
            assert caught.value.__context__ is outer


class TestDifferent:
    @pytest.mark.parametrize(
        ("old", "new", "expected"),
        [
            (math.nan, float("nan"), False),
            (np.float64("nan"), math.nan, False),
            (math.nan, 1.0, True),
            (1.0, math.nan, True),
            (1, 1.0, False),
            ("a", "b", True),
            ("a", "a", False),
            (None, None, False),
            (0, "", True),
        ],
    )
    def test_pairs(self, old, new, expected):
        assert different(old, new) is expected

    def test_returns_the_comparison_result_itself(self):
        result = different(np.int64(1), np.int64(2))
        assert type(result) is np.bool_
        arrays = different(np.array([1, 2]), np.array([1, 3]))
        assert arrays.tolist() == [False, True]

    def test_nan_identity_does_not_short_circuit(self):
        class Odd:
            def __ne__(self, other):
                return "compared"

        odd = Odd()
        assert different(odd, odd) == "compared"
