"""Trading query scheduler: pacing, in-flight time-outs, submission codes, answer errors."""

import pytest
from trading_helpers import account_row, instrument_row

from zqkit.data import ZqError

COMMON = {"BrokerID": "9999", "InvestorID": "000001", "UserID": "000001"}


@pytest.fixture
def syncing(harness):
    harness.login()
    return harness


class TestPacing:
    def test_sync_walks_the_steps_in_order(self, syncing):
        syncing.sync()
        methods = [r.method for r in syncing.native.requests[3:]]
        assert methods == [
            "QryInstrument",
            "QryOrder",
            "QryTrade",
            "QryInvestorPosition",
            "QryTrade",
            "QryTradingAccount",
        ]
        assert syncing.native.requests[4].fields == COMMON
        assert syncing.native.requests[-1].fields == {**COMMON, "CurrencyID": "CNY"}
        assert syncing.session.phase == "ready"

    def test_one_query_per_second(self, syncing):
        session = syncing.session
        session.tick(syncing.clock.now)
        assert syncing.last.method == "QryInstrument"
        first = syncing.clock.now
        syncing.respond([instrument_row("SHFE.rb2610")])
        count = len(syncing.native.requests)
        session.tick(first + 0.5)
        session.tick(first + 0.999)
        assert len(syncing.native.requests) == count
        session.tick(first + 1.0)
        assert syncing.last.method == "QryOrder"

    def test_never_two_queries_in_flight(self, syncing):
        request = syncing.submit()
        syncing.session.tick(syncing.clock.advance(5))
        assert syncing.last is request
        record = syncing.session.inflight
        assert list(record) == ["id", "kind", "rows", "progress", "revision"]
        assert record["id"] == request.request_id and record["kind"] == "instruments"


class TestInflightTimeout:
    def test_sync_query_without_progress(self, syncing):
        syncing.submit()
        start = syncing.session.inflight["progress"]
        syncing.session.tick(start + 10)
        with pytest.raises(TimeoutError, match="^CTP 合约查询超时且无进展$"):
            syncing.session.tick(start + 10.001)

    def test_answer_rows_count_as_progress(self, syncing):
        request = syncing.submit()
        syncing.clock.advance(8)
        syncing.send(
            "RspQryInstrument",
            instrument_row("SHFE.rb2610"),
            request_id=request.request_id,
            last=False,
        )
        assert syncing.session.inflight["progress"] == syncing.clock.now
        syncing.session.tick(syncing.clock.now + 10)

    def test_answers_to_other_requests_are_no_progress(self, syncing):
        request = syncing.submit()
        syncing.clock.advance(8)
        syncing.send("RspQryInstrument", instrument_row("X.y"), request_id=request.request_id + 1)
        assert syncing.session.inflight["progress"] == syncing.clock.now - 8
        assert syncing.session.inflight["rows"] == []

    def test_ready_query_time_out_is_queued_again(self, ready):
        session = ready.session
        request = ready.submit(5)
        assert request.method == "QryTradingAccount"
        start = session.inflight["progress"]
        session.tick(start + 10)
        assert session.inflight is not None
        session.tick(start + 10.001)
        assert session.inflight is None and session.pending == {"account"}
        assert session.query_recovery.failures == 1
        session.tick(start + 10.002)
        assert ready.last.request_id == request.request_id + 1

    def test_ready_budget_spent_is_fatal(self, ready):
        session = ready.session
        for _ in range(2):
            ready.submit(5)
            session.tick(ready.clock.advance(11))
        ready.submit(5)
        with pytest.raises(ZqError):
            session.tick(ready.clock.advance(11))


class TestSubmissionCodes:
    @pytest.mark.parametrize("code", [-2, -3])
    def test_sync_busy_retries_two_seconds_later(self, syncing, code):
        syncing.native.codes.append(code)
        syncing.submit()
        session = syncing.session
        assert session.inflight is None and session.recovery.failures == 1
        assert session.last_query == syncing.clock.now + 1
        session.tick(syncing.clock.now + 1.999)
        count = len(syncing.native.requests)
        session.tick(syncing.clock.now + 2.0)
        assert len(syncing.native.requests) == count + 1
        assert syncing.last.method == "QryInstrument" and session.inflight is not None

    def test_ready_busy_counts_against_the_query_budget(self, ready):
        ready.native.codes.append(-3)
        ready.submit(5)
        session = ready.session
        assert session.query_recovery.failures == 1 and session.recovery.failures == 0
        assert session.pending == {"account"} and session.inflight is None

    @pytest.mark.parametrize("code", [-1, 5])
    def test_other_codes_reconnect(self, syncing, code):
        syncing.native.codes.append(code)
        with pytest.raises(TimeoutError) as caught:
            syncing.submit()
        assert str(caught.value) == f"CTP 合约查询提交失败（错误码：{code}）"
        assert syncing.session.last_query == syncing.clock.now


class TestAnswerErrors:
    @pytest.mark.parametrize("code", [90, 154])
    def test_sync_retryable_answer_repeats_the_step(self, syncing, code):
        syncing.step([instrument_row("SHFE.rb2610")])
        request = syncing.submit()
        syncing.respond([], request, code=code)
        session = syncing.session
        assert session.inflight is None and session.sync_index == 1
        assert session.recovery.failures == 1
        assert session.last_query == syncing.clock.now + 1
        session.tick(syncing.clock.now + 1.5)
        assert syncing.last is request
        session.tick(syncing.clock.now + 2)
        assert syncing.last.method == "QryOrder" and syncing.last is not request

    def test_ready_retryable_answer_is_queued(self, ready):
        request = ready.submit(5)
        ready.respond([], request, code=90)
        session = ready.session
        assert session.pending == {"account"} and session.query_recovery.failures == 1
        assert session.recovery.failures == 0

    def test_other_answer_error_is_fatal(self, syncing):
        syncing.step([])
        request = syncing.submit()
        with pytest.raises(ZqError) as caught:
            syncing.respond([], request, code=12)
        assert str(caught.value) == "CTP 订单查询失败（错误码：12）：查询失败"
        assert syncing.session.inflight is None

    def test_answer_rows_are_collected_until_last(self, syncing):
        request = syncing.submit()
        syncing.send("RspQryInstrument", None, request_id=request.request_id, last=False)
        row = instrument_row("SHFE.rb2610")
        syncing.send("RspQryInstrument", row, request_id=request.request_id, last=False)
        assert syncing.session.inflight["rows"] == [row]
        syncing.send("RspQryInstrument", {}, request_id=request.request_id)
        assert syncing.session.inflight is None and syncing.session.sync_index == 1


class TestAccountRefresh:
    def test_refresh_after_five_seconds(self, ready):
        session = ready.session
        refreshed = session.last_account_refresh
        assert refreshed == ready.clock.now
        session.tick(refreshed + 4.999)
        assert not session.pending
        session.tick(refreshed + 5)
        assert ready.last.method == "QryTradingAccount"
        assert ready.last.fields == {**COMMON, "CurrencyID": "CNY"}
        assert not session.pending

    def test_refresh_waits_for_the_pacing_gap(self, ready):
        session = ready.session
        session.last_query = session.last_account_refresh + 4.5
        session.tick(session.last_account_refresh + 5)
        assert session.pending == {"account"} and session.inflight is None

    def test_ready_completion_refreshes_funds_only(self, ready):
        session = ready.session
        ready.submit(5)
        ready.respond([account_row(Balance=5.0, Available=float("nan"))])
        assert session.a["balance"] == 5.0 and session.a["available"] is None
        assert session.a["updated_at"] == int(ready.clock.wall * 1000)
        assert session.sync_index == 6 and session.phase == "ready"
        assert session.query_recovery.failures == 0

    def test_schedule_account_only_when_ready(self, ready):
        session = ready.session
        session.phase = "sync"
        session._schedule_account()
        assert not session.pending
        session.phase = "ready"
        session._schedule_account()
        assert session.pending == {"account"}
