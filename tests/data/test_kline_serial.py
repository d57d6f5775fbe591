"""Serial: frame layout, fast and rebuild paths, tamper detection, atomic updates."""

import math

import pandas as pd
import pytest

import zqkit.data
from zqkit.data import BAR_COLUMNS, Serial

TAMPERED = "不能修改 SDK 内部 K 线的列、索引或行数"
FLOATS = BAR_COLUMNS[2:]


def bar(timestamp, close=3500.0, **changes):
    values = {
        "timestamp": timestamp,
        "trading_day": "20260105",
        "open": 3490.0,
        "high": 3520.0,
        "low": 3480.0,
        "close": close,
        "volume": 10.0,
        "turnover": 3.5e5,
        "open_interest": 88000.0,
    }
    values.update(changes)
    return values


def rows(frame):
    return frame[BAR_COLUMNS].to_dict("records")


def snapshot(series):
    return dict(series.bars), series.frame.copy(deep=True)


def assert_unchanged(series, saved):
    bars, frame = saved
    assert series.bars == bars
    pd.testing.assert_frame_equal(series.frame, frame)


class PandasSpy:
    """Stands in for the module's `pd`, counting Series constructions."""

    def __init__(self):
        self.series = 0

    def __getattr__(self, name):
        return getattr(pd, name)

    def Series(self, *args, **kwargs):
        self.series += 1
        return pd.Series(*args, **kwargs)


@pytest.fixture
def spy(monkeypatch):
    spy = PandasSpy()
    monkeypatch.setattr(zqkit.data, "pd", spy)
    return spy


class TestNewSeries:
    def test_attributes_and_frame(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        assert list(vars(series)) == [
            "symbol",
            "period",
            "length",
            "bars",
            "initial_generation",
            "initial_sequence",
            "frame",
        ]
        assert (series.symbol, series.period, series.length) == ("SHFE.rb2610", "1m", 3)
        assert series.bars == {} and type(series.bars) is dict
        assert series.initial_generation == 0 and series.initial_sequence == 0
        frame = series.frame
        assert type(frame) is pd.DataFrame
        assert list(frame.columns) == BAR_COLUMNS
        assert frame.index.equals(pd.RangeIndex(3))
        assert [str(dtype) for dtype in frame.dtypes] == ["int64", "object"] + ["float64"] * 7
        assert frame.attrs == {"symbol": "SHFE.rb2610", "period": "1m"}
        assert frame["timestamp"].tolist() == [0, 0, 0]
        assert frame["trading_day"].tolist() == ["", "", ""]
        assert frame[FLOATS].isna().all().all()

    def test_plain_class(self):
        assert Serial.__bases__ == (object,)
        assert Serial.__doc__ is None
        assert not hasattr(Serial, "__slots__")
        series = Serial(symbol="DCE.a2611", period="unchecked", length=1)
        series.extra = 1
        series.initial_generation = 7
        assert series.period == "unchecked"

    def test_arguments(self):
        with pytest.raises(TypeError, match=r"Serial.__init__\(\) missing 1 required"):
            Serial("DCE.a2611", "1m")


class TestUpdate:
    def test_first_bar(self, spy):
        series = Serial("SHFE.rb2610", "1m", 3)
        assert spy.series == len(BAR_COLUMNS)
        spy.series = 0
        changed = series.update([bar(1000, open=math.nan)])
        assert changed == set(BAR_COLUMNS) - {"open"}
        assert spy.series == len(BAR_COLUMNS)
        empty = {"timestamp": 0, "trading_day": ""}
        for row in rows(series.frame)[:2]:
            assert {key: row[key] for key in empty} == empty
            assert all(math.isnan(row[name]) for name in FLOATS)
        last = rows(series.frame)[2]
        assert last["timestamp"] == 1000 and last["close"] == 3500.0 and math.isnan(last["open"])
        assert list(series.bars) == [1000]

    def test_same_bar_again_takes_the_fast_path(self, spy):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(1000)])
        frame, saved = series.frame, snapshot(series)
        spy.series = 0
        assert series.update([bar(1000)]) == set()
        assert spy.series == 0
        assert series.frame is frame
        assert_unchanged(series, saved)

    def test_revision_writes_only_changed_cells_of_the_last_row(self, spy):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(1000), bar(2000)])
        # A value the user wrote elsewhere survives the fast path (no column is rebuilt).
        series.frame.at[0, "close"] = 1.0
        spy.series = 0
        revised = bar(2000, close=3600.0, volume=12.0)
        assert series.update([revised]) == {"close", "volume"}
        assert spy.series == 0
        assert series.frame.at[0, "close"] == 1.0
        assert series.frame.at[1, "close"] == 3500.0
        assert (series.frame.at[2, "close"], series.frame.at[2, "volume"]) == (3600.0, 12.0)
        assert series.bars[2000] is revised

    def test_window_keeps_the_newest_bars(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(t, close=float(t)) for t in (4, 1, 3, 2)])
        assert list(series.bars) == [2, 3, 4]
        assert series.frame["timestamp"].tolist() == [2, 3, 4]
        assert series.frame["close"].tolist() == [2.0, 3.0, 4.0]
        before = series.frame.copy()
        assert series.update([bar(1, close=99.0)]) == set()
        assert list(series.bars) == [2, 3, 4]
        pd.testing.assert_frame_equal(series.frame, before)
        assert len(series.bars) <= series.length

    def test_last_of_equal_timestamps_wins(self):
        series = Serial("SHFE.rb2610", "1m", 2)
        series.update([bar(5, close=1.0), bar(5, close=2.0)])
        assert series.frame["close"].tolist()[-1] == 2.0

    def test_two_bars_with_the_current_one_rebuild(self, spy):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(1000)])
        spy.series = 0
        assert series.update([bar(1000, close=1.0), bar(2000)]) == {"timestamp"}
        assert spy.series == len(BAR_COLUMNS)
        assert series.frame["close"].tolist()[1:] == [1.0, 3500.0]

    def test_new_bar_reports_what_differs_from_the_previous_last_row(self):
        series = Serial("SHFE.rb2610", "1m", 2)
        series.update([bar(1000)])
        assert series.update([bar(2000, high=3530.0)]) == {"timestamp", "high"}

    def test_nan_counts_as_unchanged(self):
        series = Serial("SHFE.rb2610", "1m", 2)
        series.update([bar(1000, close=math.nan)])
        assert series.update([bar(1000, close=math.nan)]) == set()
        assert series.update([bar(1000, close=1.0)]) == {"close"}
        assert series.update([bar(1000, close=math.nan)]) == {"close"}
        assert math.isnan(series.frame.at[1, "close"])

    def test_nan_of_any_numpy_float_counts_as_unchanged(self):
        # The last row is read as to_dict() would give it: plain floats, whatever the float width.
        series = Serial("SHFE.rb2610", "1m", 2)
        series.frame["open"] = series.frame["open"].astype("float32")
        assert series.update([bar(1000, open=math.nan)]) == set(BAR_COLUMNS) - {"open"}
        series.frame["open"] = series.frame["open"].astype("float32")
        assert series.update([bar(1000, open=math.nan, high=1.0)]) == {"high"}

    def test_rebuild_keeps_frame_identity_user_columns_and_dtypes(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        frame = series.frame
        frame["signal"] = ["a", "b", "c"]
        series.update([bar(1000, volume=3)])
        series.update([bar(1000, close=2.0)])
        series.update([bar(2000)])
        assert series.frame is frame
        assert frame["signal"].tolist() == ["a", "b", "c"]
        assert list(frame.columns) == [*BAR_COLUMNS, "signal"]
        assert [str(frame[c].dtype) for c in BAR_COLUMNS] == ["int64", "object"] + ["float64"] * 7
        assert frame.attrs == {"symbol": "SHFE.rb2610", "period": "1m"}

    def test_empty_update(self):
        series = Serial("SHFE.rb2610", "1m", 2)
        assert series.update([]) == set()
        assert series.bars == {}

    def test_length_one(self):
        series = Serial("SHFE.rb2610", "1m", 1)
        series.update([bar(1), bar(2)])
        assert series.frame["timestamp"].tolist() == [2]
        assert list(series.bars) == [2]


class TestTampering:
    @pytest.mark.parametrize(
        "tamper",
        [
            lambda f: f.__delitem__("close"),
            lambda f: setattr(f, "columns", ["Open" if c == "open" else c for c in f.columns]),
            lambda f: setattr(f, "columns", [*BAR_COLUMNS[:-1], "close"]),
            lambda f: f.insert(0, "close", 0.0, allow_duplicates=True),
            lambda f: f.loc.__setitem__(len(f), f.iloc[-1].tolist()),
            lambda f: setattr(f, "index", pd.RangeIndex(1, len(f) + 1)),
            lambda f: setattr(f, "index", ["a", "b", "c"]),
        ],
        ids=[
            "drop",
            "rename",
            "duplicate",
            "insert-duplicate",
            "append",
            "shift-index",
            "labels",
        ],
    )
    def test_refused_before_any_change(self, tamper):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(1000)])
        tamper(series.frame)
        bars = dict(series.bars)
        frame = series.frame.copy(deep=True)
        for _ in range(2):
            with pytest.raises(RuntimeError) as caught:
                series.update([bar(2000)])
            assert type(caught.value) is RuntimeError
            assert str(caught.value) == TAMPERED
        assert series.bars == bars
        pd.testing.assert_frame_equal(series.frame, frame)

    def test_restored_frame_is_accepted_again(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.frame.columns = ["Open" if c == "open" else c for c in BAR_COLUMNS]
        with pytest.raises(RuntimeError):
            series.update([bar(1)])
        series.frame.columns = BAR_COLUMNS
        series.update([bar(1)])

    def test_equal_index_of_another_type_passes(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.frame.index = pd.Index([0, 1, 2], dtype="int64")
        assert series.update([bar(1)])

    def test_changed_length_attribute(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.length = 4
        with pytest.raises(RuntimeError, match=TAMPERED):
            series.update([bar(1)])


class TestAtomicUpdates:
    """A failing update leaves `bars` and the frame exactly as they were."""

    @pytest.fixture
    def series(self):
        series = Serial("SHFE.rb2610", "1m", 3)
        series.update([bar(1000), bar(2000)])
        return series

    def test_missing_key_in_a_retained_bar(self, series):
        saved = snapshot(series)
        broken = bar(3000)
        del broken["open_interest"]
        with pytest.raises(KeyError, match="open_interest"):
            series.update([bar(2500), broken])
        assert_unchanged(series, saved)

    def test_missing_timestamp(self, series):
        saved = snapshot(series)
        broken = bar(3000)
        del broken["timestamp"]
        with pytest.raises(KeyError, match="timestamp"):
            series.update([bar(2500), broken])
        assert_unchanged(series, saved)

    def test_unsortable_timestamps(self, series):
        saved = snapshot(series)
        with pytest.raises(TypeError, match="'<' not supported"):
            series.update([bar("3000")])
        assert_unchanged(series, saved)

    @pytest.mark.parametrize("timestamp", [2**70, 2500.5])
    def test_timestamp_int64_cannot_hold(self, series, timestamp):
        try:
            pd.Series([0, 1000, 2000, timestamp], dtype="int64")
        except Exception as error:  # noqa: BLE001 - whatever pandas raises, update must raise too
            expected = type(error)
        saved = snapshot(series)
        with pytest.raises(expected):
            series.update([bar(timestamp)])
        assert_unchanged(series, saved)
        assert series.update([bar(3000)]) == {"timestamp"}

    def test_value_the_column_cannot_hold_on_the_fast_path(self, series):
        saved = snapshot(series)
        with pytest.raises(TypeError):
            series.update([bar(2000, high=1.0, close="not a price")])
        assert_unchanged(series, saved)

    def test_missing_key_on_the_fast_path(self, series):
        saved = snapshot(series)
        broken = bar(2000, close=1.0)
        del broken["volume"]
        with pytest.raises(KeyError):
            series.update([broken])
        assert_unchanged(series, saved)

    def test_earlier_bars_dict_is_not_mutated(self, series):
        held = series.bars
        series.update([bar(3000), bar(4000)])
        assert list(held) == [1000, 2000]
        assert list(series.bars) == [2000, 3000, 4000][-3:]
