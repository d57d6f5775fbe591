"""The pending buffer: merge keys, snapshot order and removal."""

from collections import OrderedDict, deque

import pytest

from zqkit.transport import _PendingMarket


def quote(generation, symbol, sequence):
    return (generation, f"zq:quote:{symbol}", [{"last_price": sequence}], sequence)


def bar(generation, symbol, timestamp, sequence):
    return (generation, f"zq:kline:{symbol}:60", [{"timestamp": timestamp}], sequence)


def drain(pending):
    out = []
    while pending:
        out.append(pending.popleft())
    return out


def test_shape_and_emptiness():
    pending = _PendingMarket()
    assert type(pending.snapshots) is deque and type(pending.live) is OrderedDict
    assert len(pending) == 0 and not pending
    assert _PendingMarket.__doc__ == "保留尚未提交的最新行情状态，同时让恢复快照先于实时推送提交。"
    assert _PendingMarket.__module__ == "zqkit.transport"
    with pytest.raises(KeyError):
        pending.popleft()


def test_quote_channel_keeps_newest_entry_moved_to_the_end():
    pending = _PendingMarket()
    pending.append(quote(1, "SHFE.rb2610", 1))
    pending.append(quote(1, "DCE.a2611", 2))
    pending.append(quote(1, "SHFE.rb2610", 3))
    assert len(pending) == 2
    assert drain(pending) == [quote(1, "DCE.a2611", 2), quote(1, "SHFE.rb2610", 3)]


def test_kline_channel_keeps_one_entry_per_bar():
    pending = _PendingMarket()
    pending.append(bar(1, "SHFE.rb2610", 1000, 1))
    pending.append(bar(1, "SHFE.rb2610", 2000, 2))
    pending.append(bar(1, "SHFE.rb2610", 1000, 3))
    assert drain(pending) == [bar(1, "SHFE.rb2610", 2000, 2), bar(1, "SHFE.rb2610", 1000, 3)]


def test_generations_do_not_merge():
    pending = _PendingMarket()
    pending.append(quote(1, "SHFE.rb2610", 1))
    pending.append(quote(2, "SHFE.rb2610", 2))
    assert len(pending) == 2


def test_snapshots_come_first_in_order_and_iteration_takes_nothing():
    pending = _PendingMarket()
    pending.append(quote(1, "SHFE.rb2610", 1))
    for snapshot in reversed([(1, "A", [], 0), (1, "B", [], 0), (1, "C", [], 0)]):
        pending.appendleft(snapshot)
    expected = [(1, "A", [], 0), (1, "B", [], 0), (1, "C", [], 0), quote(1, "SHFE.rb2610", 1)]
    assert list(pending) == expected
    assert len(pending) == 4
    assert drain(pending) == expected


def test_clear_empties_both_parts():
    pending = _PendingMarket()
    pending.appendleft((1, "A", [], 0))
    pending.append(quote(1, "SHFE.rb2610", 1))
    pending.clear()
    assert len(pending) == 0 and list(pending) == []


@pytest.mark.parametrize(
    ("item", "error", "text"),
    [
        ((1, "zq:quote:X.y", []), ValueError, "not enough values"),
        ((1, "zq:quote:X.y", [], 0, 0), ValueError, "too many values"),
        (7, TypeError, "cannot unpack"),
    ],
)
def test_append_unpacks_exactly_four_parts(item, error, text):
    pending = _PendingMarket()
    with pytest.raises(error, match=text):
        pending.append(item)
    assert len(pending) == 0


def test_append_accepts_any_four_part_iterable():
    pending = _PendingMarket()
    item = [1, "zq:kline:X.y:60", [{"timestamp": 5}], 1]
    pending.append(item)
    assert pending.popleft() is item
