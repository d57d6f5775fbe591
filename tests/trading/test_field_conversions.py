"""TZ, timestamp and finite of zqkit.trading."""

import datetime as std_datetime
import types

import pytest

import zqkit.trading as trading
from zqkit.trading import TZ, finite, timestamp


def utc_millis(*parts):
    moment = std_datetime.datetime(*parts, tzinfo=std_datetime.UTC)
    return int(moment.timestamp() * 1000)


def test_module_binds_names_in_order():
    names = [name for name in vars(trading) if not name.startswith("__")]
    assert (
        names
        == (
            "asyncio datetime timedelta timezone math os time mkdtemp ZqError check_symbol "
            "different Recovery Account Position Order Trade LiveMap empty_position TradingResult "
            "TZ QUERY SYNC_STEPS PHASE_LABELS QUERY_LABELS ACCOUNT_FIELDS OFFSET_BY_FLAG "
            "FLAG_BY_OFFSET timestamp finite local_order_id order_offset Native Trading"
        ).split()
    )
    assert trading.datetime is std_datetime.datetime


def test_tz_is_fixed_utc_plus_eight():
    assert TZ == std_datetime.timezone(std_datetime.timedelta(hours=8))
    assert TZ.utcoffset(None) == std_datetime.timedelta(hours=8)
    assert TZ.dst(None) is None


class TestTimestamp:
    def test_day_and_clock_are_read_in_utc_plus_eight(self):
        assert timestamp("20260105", "09:30:15") == utc_millis(2026, 1, 5, 1, 30, 15)
        assert timestamp(day="20260105", clock="21:00:00") == utc_millis(2026, 1, 5, 13)
        assert type(timestamp("20260105", "09:30:15")) is int
        # Before 08:00 the UTC instant falls on the previous day.
        assert timestamp("20260105", "00:00:01") == utc_millis(2026, 1, 4, 16, 0, 1)
        assert timestamp("19700101", "08:00:00") == 0

    @pytest.mark.parametrize(
        ("day", "clock"),
        [
            ("", ""),
            (None, "09:30:15"),
            ("20260105", None),
            ("20260105", "9:30"),
            ("20261305", "09:30:15"),
            ("2026-01-05", "09:30:15"),
            (20260105, 93015),
            (b"20260105", "09:30:15"),
        ],
    )
    def test_missing_or_malformed_values_give_none(self, day, clock):
        assert timestamp(day, clock) is None

    def test_globals_are_read_at_call_time(self, monkeypatch):
        monkeypatch.setattr(trading, "TZ", std_datetime.UTC)
        assert timestamp("20260105", "09:30:15") == utc_millis(2026, 1, 5, 9, 30, 15)

    @pytest.mark.parametrize(("seconds", "millis"), [(-1.2349, -1234), (1.2349, 1234)])
    def test_milliseconds_are_truncated_toward_zero(self, monkeypatch, seconds, millis):
        class Parsed:
            def replace(self, tzinfo):
                assert tzinfo is trading.TZ
                return types.SimpleNamespace(timestamp=lambda: seconds)

        monkeypatch.setattr(
            trading, "datetime", types.SimpleNamespace(strptime=lambda *a: Parsed())
        )
        result = timestamp("19691231", "23:59:59")
        assert result == millis
        assert type(result) is int

    def test_only_type_and_value_errors_are_swallowed(self, monkeypatch):
        def strptime(text, fmt):
            raise RuntimeError(text)

        monkeypatch.setattr(trading, "datetime", types.SimpleNamespace(strptime=strptime))
        with pytest.raises(RuntimeError, match="2026010509:30:15"):
            timestamp("20260105", "09:30:15")


class TestFinite:
    @pytest.mark.parametrize("value", [3, 2.5, True, False, 0, -7.25, 9.99e99, -(10**99)])
    def test_usable_numbers_come_back_unchanged(self, value):
        result = finite(value)
        assert result is value or (result == value and type(result) is type(value))

    @pytest.mark.parametrize(
        "value",
        [float("nan"), float("inf"), float("-inf"), 1e100, -1e100, 1.7976931348623157e308]
        + ["1", None, b"1", complex(1, 0), [1]],
    )
    def test_unusable_values_give_none(self, value):
        assert finite(value) is None

    @pytest.mark.parametrize("value", [10**400, -(10**400), 2**1024])
    def test_int_beyond_double_range_gives_none(self, value):
        # math.isfinite raises OverflowError for these; finite must not.
        assert finite(value) is None

    def test_subclasses_pass_as_themselves(self):
        class Price(float):
            pass

        class Volume(int):
            pass

        price, volume = Price(3.5), Volume(2)
        assert finite(price) is price
        assert finite(volume) is volume

    def test_numpy_scalars_follow_their_python_types(self):
        np = pytest.importorskip("numpy")
        # float64 derives from float and passes unchanged; the other scalar types do not.
        value = np.float64(2.5)
        assert finite(value) is value
        assert finite(np.float64("nan")) is None
        assert finite(np.int64(3)) is None
        assert finite(np.float32(1.5)) is None
        assert finite(np.bool_(True)) is None

    def test_math_is_read_at_call_time(self, monkeypatch):
        seen = []

        def isfinite(value):
            seen.append(value)
            return False

        monkeypatch.setattr(trading, "math", types.SimpleNamespace(isfinite=isfinite))
        assert finite(1.0) is None
        assert finite("x") is None
        assert seen == [1.0]


class TestTimestampAgainstStrptime:
    """The canonical forms take a shortcut; it must agree with strptime on every verdict."""

    @staticmethod
    def by_strptime(day, clock):
        try:
            parsed = std_datetime.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S")
            return int(parsed.replace(tzinfo=TZ).timestamp() * 1000)
        except (TypeError, ValueError):
            return None

    DAYS = [
        "20260105", "20240229", "20250229", "20000229", "19000229", "20261231", "20260431",
        "20261301", "20260001", "20260100", "20260132", "00010101", "00000101", "99991231",
        "19700101", "19691231", "2026015", "202601055", "2026-1-5", "２０２６０１０５",
    ]  # fmt: skip
    CLOCKS = [
        "09:30:15", "00:00:00", "23:59:59", "24:00:00", "23:60:00", "23:59:60", "23:59:61",
        "9:30:15", "09:30:5", "09-30-15", "0930:15 ", " 9:30:15", "09:30:15.5", "",
    ]  # fmt: skip

    def test_every_day_and_clock(self):
        for day in self.DAYS:
            for clock in self.CLOCKS:
                assert timestamp(day, clock) == self.by_strptime(day, clock), (day, clock)

    def test_a_replaced_datetime_or_tz_takes_the_general_path(self, monkeypatch):
        class Shifted(std_datetime.datetime):
            @classmethod
            def strptime(cls, text, fmt):
                return std_datetime.datetime.strptime(text, fmt) + std_datetime.timedelta(hours=1)

        monkeypatch.setattr(trading, "datetime", Shifted)
        assert timestamp("19700101", "08:00:00") == 3_600_000
        monkeypatch.undo()
        monkeypatch.setattr(trading, "TZ", std_datetime.UTC)
        assert timestamp("19700101", "08:00:00") == 8 * 3_600_000
        monkeypatch.delattr(trading, "TZ")
        assert timestamp("20261301", "08:00:00") is None  # the parse fails before TZ is read
        with pytest.raises(NameError):
            timestamp("20260101", "08:00:00")
