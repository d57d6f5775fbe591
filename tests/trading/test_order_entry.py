"""Placing and cancelling orders on a ready session: checks, close planning, sending, refusals."""

from __future__ import annotations

import copy
import math

import pytest
from trading_helpers import instrument_row, order_row, position_row

from zqkit.data import ZqError
from zqkit.livebook import TradingResult

NOT_READY = "交易账户未就绪，报单未提交"
BAD_INSERT = "报单参数无效或可平持仓不足，未提交"
UNKNOWN_INSERT = "报单提交结果不明，等待柜台回报"
NOT_SENT = "未发送：前一笔委托提交失败"
UNCONFIRMED = "订单尚未确认，撤单未提交"


def tradable(symbol, tick=1.0, minimum=1, maximum=500, **fields) -> dict:
    row = instrument_row(symbol)
    row.update(IsTrading=1, PriceTick=tick, MinLimitOrderVolume=minimum)
    row.update(MaxLimitOrderVolume=maximum, **fields)
    return row


INSTRUMENTS = [tradable("SHFE.rb2610"), tradable("DCE.m2609"), tradable("INE.sc2612", tick=0.1)]
# SHFE.rb2610: 2 long lots from earlier days, 10 from today; DCE.m2609: 6 short (1 today).
POSITIONS = [
    position_row("SHFE.rb2610", "2", 2, 0, "2"),
    position_row("SHFE.rb2610", "2", 10, 10, "1"),
    position_row("DCE.m2609", "3", 6, 1, "1"),
]


def run(coroutine):
    """Drive a coroutine that must finish without suspending."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    coroutine.close()
    raise AssertionError("the coroutine suspended")


@pytest.fixture
def book(harness):
    """A committed "READY" session with tradable instruments and positions."""
    harness.ready(instruments=copy.deepcopy(INSTRUMENTS), positions=copy.deepcopy(POSITIONS))
    harness.session.commit({})
    harness.native.requests.clear()
    return harness


def insert(harness, symbol="SHFE.rb2610", direction="BUY", offset="OPEN", volume=1, price=3500.0):
    return run(harness.session.insert(symbol, direction, offset, volume, price))


def inserts(harness) -> list:
    return [request for request in harness.native.requests if request.method == "OrderInsert"]


def confirm(harness, order_id, sys_id="      123456", **fields) -> None:
    """The counter's order return that binds an exchange order number."""
    ref = order_id.rsplit(":", 1)[1]
    child = harness.session.native_orders[order_id]
    exchange, instrument = child["symbol"].split(".", 1)
    harness.send(
        "RtnOrder",
        order_row(
            ref,
            sys_id,
            ExchangeID=exchange,
            InstrumentID=instrument,
            Direction="0" if child["direction"] == "BUY" else "1",
            VolumeTotalOriginal=child["volume_original"],
            **fields,
        ),
    )


class TestInsertArguments:
    @pytest.mark.parametrize(
        "change",
        [
            {"symbol": "rb2610"},
            {"symbol": 5},
            {"direction": "buy"},
            {"offset": "CLOSE_TODAY"},
            {"volume": True},
            {"volume": 0},
            {"volume": 2147483648},
            {"volume": 1.0},
            {"price": True},
            {"price": math.nan},
            {"price": math.inf},
            {"price": 1e100},
            {"price": 0},
            {"price": -1.0},
            {"price": "3500"},
            {"symbol": "SHFE.xx2610"},
        ],
    )
    def test_bad_arguments_are_one_rejection_and_nothing_is_sent(self, book, change):
        args = {"symbol": "SHFE.rb2610", "volume": 1, "price": 3500.0} | change
        results = insert(book, **args)
        assert results == [TradingResult("REJECTED", None, BAD_INSERT)]
        assert inserts(book) == [] and book.session.o == {}

    def test_the_largest_volume_passes_the_argument_check(self, book):
        seen = []

        async def worker(*args):
            seen.append(args)
            return ["from _insert"]

        book.session._insert = worker
        assert run(book.session.insert("DCE.m2609", "SELL", "OPEN", 2147483647, 3)) == [
            "from _insert"
        ]
        assert seen == [("DCE.m2609", "SELL", "OPEN", 2147483647, 3)]

    def test_keywords_are_accepted(self, book):
        results = run(
            book.session.insert(
                symbol="DCE.m2609", direction="SELL", offset="OPEN", volume=2, limit_price=3000
            )
        )
        assert [result.status for result in results] == ["SUBMITTED"]

    @pytest.mark.parametrize("state", ["phase", "status", "reset"])
    def test_a_session_that_is_not_ready_refuses(self, book, state):
        session = book.session
        if state == "phase":
            session.phase = "sync"
        elif state == "status":
            session.session_status = "SYNCING"
        else:
            session.reset_pending = True
        assert insert(book) == [TradingResult("REJECTED", None, NOT_READY)]
        with pytest.raises(ZqError) as raised:
            run(session._insert("SHFE.rb2610", "BUY", "OPEN", 1, 3500.0))
        assert str(raised.value) == "交易账户尚未 READY，请调用 wait_update 等待同步完成"
        assert inserts(book) == []

    @pytest.mark.parametrize(
        "instrument",
        [None, {}, {"IsTrading": 0, "PriceTick": 1.0}, {"PriceTick": 1.0}],
        ids=["unknown", "empty", "not-trading", "no-trading-flag"],
    )
    def test_instruments_that_cannot_be_traded(self, book, instrument):
        book.session.instruments.pop("SHFE.rb2610")
        if instrument is not None:
            book.session.instruments["SHFE.rb2610"] = instrument
        assert insert(book) == [TradingResult("REJECTED", None, BAD_INSERT)]
        with pytest.raises(ValueError, match="合约不存在、不受支持或当前不可交易"):
            run(book.session._insert("SHFE.rb2610", "BUY", "OPEN", 1, 3500.0))

    def test_other_exceptions_propagate(self, book):
        def broken(symbol, side):
            raise RuntimeError("broken")

        book.session._free_parts = broken
        with pytest.raises(RuntimeError, match="broken"):
            insert(book, direction="SELL", offset="CLOSE")


class TestPriceTick:
    @pytest.mark.parametrize(
        ("price", "accepted"),
        [
            (3500.2, True),
            (3500.3, False),
            (3500.2 + 5e-9, True),
            (3500.2 + 1e-6, False),
            (0.2 * 3, True),
            (3500, True),
        ],
    )
    def test_price_on_the_tick_with_floating_point_noise(self, book, price, accepted):
        book.session.instruments["SHFE.rb2610"]["PriceTick"] = 0.2
        results = insert(book, price=price)
        if accepted:
            assert [result.status for result in results] == ["SUBMITTED"]
            assert inserts(book)[0].fields["LimitPrice"] == price
        else:
            assert results == [TradingResult("REJECTED", None, BAD_INSERT)]
            with pytest.raises(ValueError, match="limit_price 不符合合约最小变动价位"):
                run(book.session._insert("SHFE.rb2610", "BUY", "OPEN", 1, price))

    @pytest.mark.parametrize("tick", [0, -1.0])
    def test_no_positive_tick_skips_the_check(self, book, tick):
        book.session.instruments["SHFE.rb2610"]["PriceTick"] = tick
        assert [result.status for result in insert(book, price=3500.37)] == ["SUBMITTED"]


class TestOrderRecords:
    def test_an_open_order_is_booked_and_sent(self, book, clock):
        session = book.session
        results = insert(book, volume=3, price=3501.0)
        order_id = "1:7:13"
        assert results == [TradingResult("SUBMITTED", order_id)]
        [request] = inserts(book)
        assert list(request.fields.items()) == [
            ("BrokerID", "9999"),
            ("InvestorID", "000001"),
            ("UserID", "000001"),
            ("InstrumentID", "rb2610"),
            ("ExchangeID", "SHFE"),
            ("OrderRef", "13"),
            ("Direction", "0"),
            ("CombOffsetFlag", "0"),
            ("CombHedgeFlag", "1"),
            ("OrderPriceType", "2"),
            ("LimitPrice", 3501.0),
            ("VolumeTotalOriginal", 3),
            ("TimeCondition", "3"),
            ("VolumeCondition", "1"),
            ("MinVolume", 1),
            ("ContingentCondition", "1"),
            ("ForceCloseReason", "0"),
            ("IsAutoSuspend", 0),
            ("UserForceClose", 0),
        ]
        assert session.o[order_id] == {
            "order_id": order_id,
            "order_sys_id": None,
            "symbol": "SHFE.rb2610",
            "direction": "BUY",
            "offset": "OPEN",
            "limit_price": 3501.0,
            "volume_original": 3,
            "volume_traded": 0,
            "volume_left": 3,
            "status": "PENDING",
            "status_msg": "",
            "cancel_pending": False,
            "cancel_error": None,
            "insert_time": int(clock.wall * 1000),
        }
        child = session.native_orders[order_id]
        assert child["request_id"] == request.request_id == session.request_id
        assert (child["close_type"], child["ref"], child["front"], child["session"]) == (
            None,
            "13",
            1,
            7,
        )
        assert (child["is_confirmed"], child["status"], child["exchange_order_id"]) == (
            False,
            "PENDING",
            "",
        )
        assert session.ref_orders[(1, 7, "13")] == order_id
        assert session.order_ref == 13
        assert "account" in session.pending and session.dirty and session.changed.is_set()

    def test_a_sell_is_direction_one_and_the_price_is_passed_unchanged(self, book):
        insert(book, symbol="DCE.m2609", direction="SELL", price=3001)
        [request] = inserts(book)
        assert request.fields["Direction"] == "1"
        assert request.fields["LimitPrice"] == 3001 and type(request.fields["LimitPrice"]) is int


class TestClosePlanning:
    def test_shfe_close_splits_into_earlier_days_then_today(self, book):
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)
        assert results == [
            TradingResult("SUBMITTED", "1:7:13"),
            TradingResult("SUBMITTED", "1:7:14"),
        ]
        parts = [(r.fields["OrderRef"], r.fields["CombOffsetFlag"]) for r in inserts(book)]
        volumes = [r.fields["VolumeTotalOriginal"] for r in inserts(book)]
        assert parts == [("13", "4"), ("14", "3")] and volumes == [2, 3]
        native = book.session.native_orders
        assert [native[key]["offset"] for key in native] == ["CLOSE_YESTERDAY", "CLOSE_TODAY"]
        assert [native[key]["close_type"] for key in native] == ["HISTORY", "TODAY"]
        position = book.session.p["SHFE.rb2610"]
        assert (position["frozen_long"], position["available_long"]) == (5, 7)

    def test_ine_splits_too(self, book):
        session = book.session
        session.p["INE.sc2612"] = dict(
            session.p["SHFE.rb2610"], symbol="INE.sc2612", pos_short=3, pos_short_his=3
        )
        insert(book, symbol="INE.sc2612", direction="BUY", offset="CLOSE", volume=2, price=500.1)
        assert [r.fields["CombOffsetFlag"] for r in inserts(book)] == ["4"]

    def test_other_exchanges_send_one_plain_close(self, book):
        results = insert(book, symbol="DCE.m2609", offset="CLOSE", volume=5, price=3000)
        assert [result.status for result in results] == ["SUBMITTED"]
        [request] = inserts(book)
        assert (request.fields["CombOffsetFlag"], request.fields["VolumeTotalOriginal"]) == ("1", 5)
        child = book.session.native_orders["1:7:13"]
        assert (child["offset"], child["close_type"]) == ("CLOSE", "UNSPECIFIED")

    def test_without_earlier_days_lots_a_single_close_today(self, book):
        insert(book, direction="SELL", offset="CLOSE", volume=2)
        insert(book, direction="SELL", offset="CLOSE", volume=4)
        flags = [
            (r.fields["CombOffsetFlag"], r.fields["VolumeTotalOriginal"]) for r in inserts(book)
        ]
        assert flags == [("4", 2), ("3", 4)]

    @pytest.mark.parametrize("volume", [13, 11])
    def test_more_than_the_free_lots_creates_nothing(self, book, volume):
        if volume == 11:
            insert(book, direction="SELL", offset="CLOSE", volume=2)  # leaves 10 free
        before = dict(book.session.o), book.session.order_ref
        assert insert(book, direction="SELL", offset="CLOSE", volume=volume) == [
            TradingResult("REJECTED", None, BAD_INSERT)
        ]
        assert (dict(book.session.o), book.session.order_ref) == before
        with pytest.raises(ValueError, match="本地参考可平持仓数量不足"):
            run(book.session._insert("SHFE.rb2610", "SELL", "CLOSE", volume, 3500.0))

    def test_working_closes_beyond_the_position_refuse_every_insert(self, book):
        insert(book, symbol="DCE.m2609", offset="CLOSE", volume=6, price=3000)
        book.session.p["DCE.m2609"]["pos_short_his"] = 2  # a contradiction of the book
        assert insert(book, symbol="DCE.m2609", price=3000) == [
            TradingResult("REJECTED", None, BAD_INSERT)
        ]
        with pytest.raises(BufferError):
            run(book.session._insert("DCE.m2609", "BUY", "OPEN", 1, 3000))


class TestVolumeLimits:
    @pytest.mark.parametrize(
        ("minimum", "maximum", "ok"), [(1, 3, True), (1, 2, False), (3, 9, False)]
    )
    def test_every_part_must_fit(self, book, minimum, maximum, ok):
        instrument = book.session.instruments["SHFE.rb2610"]
        instrument.update(MinLimitOrderVolume=minimum, MaxLimitOrderVolume=maximum)
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)  # parts 2 and 3
        if ok:
            assert [result.status for result in results] == ["SUBMITTED", "SUBMITTED"]
        else:
            assert results == [TradingResult("REJECTED", None, BAD_INSERT)]
            assert inserts(book) == [] and book.session.o == {}
            with pytest.raises(ValueError, match="单笔委托数量超出合约限价委托范围"):
                run(book.session._insert("SHFE.rb2610", "SELL", "CLOSE", 5, 3500.0))


class TestSendFailures:
    def test_a_refused_first_part_stops_the_second(self, book):
        book.native.codes = [-2]
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)
        assert results == [
            TradingResult("REJECTED", "1:7:13", "报单未提交"),
            TradingResult("REJECTED", "1:7:14", NOT_SENT),
        ]
        session = book.session
        assert len(inserts(book)) == 1
        assert session.o == {} and session.native_orders == {} and session.ref_orders == {}
        assert "account" not in session.pending and not session.dirty
        assert session.p["SHFE.rb2610"]["available_long"] == 12

    def test_a_refused_second_part_leaves_the_first_sent(self, book):
        book.native.codes = [0, 1]
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)
        assert results == [
            TradingResult("SUBMITTED", "1:7:13"),
            TradingResult("REJECTED", "1:7:14", "报单未提交"),
        ]
        assert list(book.session.o) == ["1:7:13"]
        assert list(book.session.ref_orders) == [(1, 7, "13")]
        assert book.session.p["SHFE.rb2610"]["frozen_long"] == 2
        assert "account" in book.session.pending

    @pytest.mark.parametrize("error", [TypeError, ValueError, OverflowError])
    def test_argument_errors_of_the_binding(self, book, error):
        def refuse(method, data, request_id):
            raise error("bad field")

        book.native.request = refuse
        results = insert(book)
        assert results == [TradingResult("REJECTED", "1:7:13", "报单参数无效，未提交")]
        assert book.session.o == {}

    def test_any_other_binding_error_leaves_the_order_waiting(self, book):
        calls = []

        def lost(method, data, request_id):
            calls.append(request_id)
            raise ConnectionError("gone")

        book.native.request = lost
        session = book.session
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)
        assert results == [
            TradingResult("UNKNOWN", "1:7:13", UNKNOWN_INSERT),
            TradingResult("REJECTED", "1:7:14", NOT_SENT),
        ]
        assert len(calls) == 1
        child = session.native_orders["1:7:13"]
        assert (child["status"], child["status_msg"]) == ("PENDING", UNKNOWN_INSERT)
        assert child["request_id"] == session.request_id == calls[0]
        assert session.o["1:7:13"]["status_msg"] == UNKNOWN_INSERT
        assert "1:7:14" not in session.o and "account" in session.pending and session.dirty

    def test_a_counter_rejection_finds_the_order_by_its_request(self, book):
        insert(book)
        request = inserts(book)[0]
        book.send(
            "ErrRtnOrderInsert",
            {"OrderRef": "13", "FrontID": 99, "SessionID": 99},
            request_id=request.request_id,
            error={"ErrorID": 31, "ErrorMsg": "资金不足"},
        )
        assert book.session.o["1:7:13"]["status"] == "REJECTED"

    def test_sent_orders_are_never_reported_unsent(self, book):
        """A contradiction found after sending is left to the main loop, never a rejection."""

        def contradiction(symbol=None):
            raise BufferError("working closes beyond the position")

        book.session._recompute_frozen = contradiction
        results = insert(book, direction="SELL", offset="CLOSE", volume=5)
        assert [result.status for result in results] == ["SUBMITTED", "SUBMITTED"]
        assert list(book.session.o) == ["1:7:13", "1:7:14"]
        assert "account" in book.session.pending and book.session.dirty

    def test_a_contradiction_with_nothing_sent_is_a_rejection(self, book):
        book.native.codes = [-3]

        def contradiction(symbol=None):
            raise KeyError(symbol)

        book.session._recompute_frozen = contradiction
        assert insert(book) == [TradingResult("REJECTED", None, BAD_INSERT)]


class TestCancel:
    def test_a_confirmed_order_is_cancelled_by_its_exchange_number(self, book):
        session = book.session
        insert(book, symbol="DCE.m2609", price=3000)
        confirm(book, "1:7:13")
        assert session.o["1:7:13"]["order_sys_id"] == "123456"
        session.dirty = False
        assert session.cancel("1:7:13") == [TradingResult("SUBMITTED", "1:7:13")]
        request = book.last
        assert request.method == "OrderAction"
        assert list(request.fields.items())[3:] == [
            ("InstrumentID", "m2609"),
            ("ExchangeID", "DCE"),
            ("OrderSysID", "      123456"),
            ("ActionFlag", "0"),
        ]
        child = session.native_orders["1:7:13"]
        assert (child["cancel_request_id"], child["cancel_pending"]) == (request.request_id, True)
        assert session.o["1:7:13"]["cancel_pending"] is True and session.dirty
        assert session.cancel("1:7:13") == []  # one cancel outstanding at a time
        book.send(
            "ErrRtnOrderAction",
            {"OrderSysID": "      123456", "ExchangeID": "DCE"},
            request_id=request.request_id,
            error={"ErrorID": 26, "ErrorMsg": "已成交"},
        )
        assert session.o["1:7:13"]["cancel_error"] == "撤单被拒绝"
        assert session.cancel("1:7:13") == [TradingResult("SUBMITTED", "1:7:13")]

    @pytest.mark.parametrize("order_id", [None, 13, b"1:7:13", "1:7:99"])
    def test_nothing_to_cancel(self, book, order_id):
        insert(book)
        assert book.session.cancel(order_id) == []

    @pytest.mark.parametrize("status", ["0", "5"])
    def test_finished_orders(self, book, status):
        insert(book)
        confirm(book, "1:7:13", status=status, traded=5 if status == "0" else 0, volume=5)
        assert book.session.cancel("1:7:13") == []

    def test_an_unconfirmed_order(self, book):
        insert(book)
        assert book.session.cancel("1:7:13") == [TradingResult("REJECTED", "1:7:13", UNCONFIRMED)]
        confirm(book, "1:7:13", sys_id="   ", status="a")
        assert book.session.cancel("1:7:13") == [TradingResult("REJECTED", "1:7:13", UNCONFIRMED)]
        assert [r.method for r in book.native.requests] == ["OrderInsert"]

    @pytest.mark.parametrize("state", ["status", "reset"])
    def test_a_session_that_is_not_ready_refuses(self, book, state):
        insert(book)
        confirm(book, "1:7:13")
        if state == "status":
            book.session.session_status = "DISCONNECTED"
        else:
            book.session.reset_pending = True
        assert book.session.cancel("1:7:13") == [
            TradingResult("REJECTED", "1:7:13", "交易账户未就绪，撤单未提交")
        ]

    def test_an_order_only_the_views_still_show(self, book):
        """After a reset the committed view is all there is: not cancellable yet."""
        session = book.session
        insert(book)
        session.commit({})
        session.o.clear()
        session.native_orders.clear()
        assert session.cancel("1:7:13") == [TradingResult("REJECTED", "1:7:13", UNCONFIRMED)]
        session.session_status = "SYNCING"
        assert session.cancel("1:7:13") == [
            TradingResult("REJECTED", "1:7:13", "交易账户未就绪，撤单未提交")
        ]

    @pytest.mark.parametrize(
        ("failure", "expected"),
        [
            (1, TradingResult("REJECTED", "1:7:13", "撤单未提交")),
            (TypeError, TradingResult("REJECTED", "1:7:13", "撤单参数无效，未提交")),
            (OverflowError, TradingResult("REJECTED", "1:7:13", "撤单参数无效，未提交")),
        ],
    )
    def test_refusals_change_nothing(self, book, failure, expected):
        insert(book)
        confirm(book, "1:7:13")
        if isinstance(failure, int):
            book.native.codes = [failure]
        else:

            def refuse(method, data, request_id):
                raise failure("no")

            book.native.request = refuse
        assert book.session.cancel("1:7:13") == [expected]
        child = book.session.native_orders["1:7:13"]
        assert (child["cancel_pending"], child["cancel_request_id"]) == (False, None)

    def test_an_unknown_outcome_waits_for_the_counter(self, book):
        insert(book)
        confirm(book, "1:7:13")

        def lost(method, data, request_id):
            raise ConnectionError("gone")

        book.native.request = lost
        assert book.session.cancel("1:7:13") == [
            TradingResult("UNKNOWN", "1:7:13", "撤单提交结果不明，等待柜台回报")
        ]
        child = book.session.native_orders["1:7:13"]
        assert child["cancel_pending"] is True
        assert child["cancel_request_id"] == book.session.request_id
