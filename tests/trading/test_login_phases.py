"""Trading login: request numbering and fields, split answers, stale answers, errors, time-outs."""

import pytest
from trading_helpers import CONFIG, DAY

from zqkit.data import ZqError

COMMON = {"BrokerID": "9999", "InvestorID": "000001", "UserID": "000001"}


def connect(harness):
    harness.session._open_native()
    harness.send("FrontConnected")
    return harness.last


class TestRequests:
    def test_login_requests_fields_and_numbers(self, harness):
        harness.login()
        requests = harness.native.requests
        assert [r.method for r in requests] == [
            "Authenticate",
            "UserLogin",
            "SettlementInfoConfirm",
        ]
        assert [r.request_id for r in requests] == [1, 2, 3]
        assert list(requests[0].fields.items()) == [
            *COMMON.items(),
            ("AppID", CONFIG.app_id),
            ("AuthCode", CONFIG.auth_code),
        ]
        assert requests[1].fields == {**COMMON, "Password": CONFIG.password}
        assert requests[2].fields == COMMON
        assert harness.session.phase == "sync" and harness.session.sync_index == 0

    def test_request_numbers_continue_across_reconnects(self, harness):
        harness.login()
        harness.send("FrontDisconnected")
        harness.session._close_native()
        harness.session._open_native()
        harness.send("FrontConnected")
        assert harness.last.request_id == 4 and harness.session.phase_id == 4

    def test_plain_request_fields_and_overrides(self, harness):
        harness.session._open_native()
        number, code = harness.session._request("QryOrder", None)
        assert (number, code) == (1, 0) and harness.last.fields == COMMON
        harness.session._request("X", {"UserID": "other", "A": 1})
        assert list(harness.last.fields.items()) == [
            ("BrokerID", "9999"),
            ("InvestorID", "000001"),
            ("UserID", "other"),
            ("A", 1),
        ]


class TestAnswers:
    def test_split_login_answer_is_merged(self, harness):
        connect(harness)
        harness.reply("RspAuthenticate", {})
        harness.reply("RspUserLogin", {"FrontID": 3, "SessionID": 9}, last=False)
        assert harness.last.method == "UserLogin"
        harness.reply("RspUserLogin", {"TradingDay": DAY, "MaxOrderRef": " 12"})
        session = harness.session
        assert harness.last.method == "SettlementInfoConfirm"
        assert (session.day, session.front, session.session, session.order_ref) == (DAY, 3, 9, 12)
        assert session.a["trading_day"] == DAY and session.phase == "settlement"

    @pytest.mark.parametrize("value, expected", [("", 0), ("   ", 0), (" 12", 12), (None, 0)])
    def test_max_order_ref(self, harness, value, expected):
        connect(harness)
        harness.reply("RspAuthenticate", {})
        answer = {"TradingDay": DAY, "FrontID": 1, "SessionID": 2}
        if value is not None:
            answer["MaxOrderRef"] = value
        harness.session.order_ref = 99
        harness.reply("RspUserLogin", answer)
        assert harness.session.order_ref == expected

    def test_login_answer_without_front_is_fatal_key_error(self, harness):
        connect(harness)
        harness.reply("RspAuthenticate", {})
        with pytest.raises(KeyError):
            harness.reply("RspUserLogin", {"TradingDay": DAY, "SessionID": 2})

    def test_stale_answers_change_nothing(self, harness):
        request = connect(harness)
        for name in ("RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm"):
            harness.send(
                name,
                {"TradingDay": "x"},
                request_id=request.request_id + 5,
                error={"ErrorID": 3, "ErrorMsg": "bad"},
            )
        assert harness.session.phase == "authenticate" and len(harness.native.requests) == 1
        assert harness.session.phase_data == {}

    @pytest.mark.parametrize("code", [90, 154])
    def test_retryable_login_error_reconnects(self, harness, code):
        connect(harness)
        with pytest.raises(TimeoutError) as caught:
            harness.reply("RspAuthenticate", {}, code=code)
        assert caught.value.args == ()

    def test_login_error_is_fatal_with_the_phase_label(self, harness):
        connect(harness)
        harness.reply("RspAuthenticate", {})
        # The label follows the current phase, whatever answer carries the error.
        harness.session.phase = "settlement"
        with pytest.raises(ZqError) as caught:
            harness.reply("RspUserLogin", {}, code=3, message="密码错误")
        assert str(caught.value) == "CTP 结算单确认失败（错误码：3）：密码错误"
        assert caught.value.status is None

    @pytest.mark.parametrize("code", [-1, -2, -3])
    def test_transient_submission_codes(self, harness, code):
        harness.session._open_native()
        harness.native.codes.append(code)
        with pytest.raises(TimeoutError) as caught:
            harness.send("FrontConnected")
        assert caught.value.args == ()
        assert harness.session.phase == "authenticate"

    def test_refused_submission_is_fatal(self, harness):
        connect(harness)
        harness.native.codes.append(7)
        with pytest.raises(ZqError) as caught:
            harness.reply("RspAuthenticate", {})
        assert str(caught.value) == "CTP 登录请求失败（错误码：7）"

    def test_front_connected_resets_everything(self, ready):
        session = ready.session
        session.p["SHFE.rb2610"] = {"pos_long": 1}
        ready.send("FrontConnected")
        assert session.session_status == "SYNCING" and session.p == {}
        assert session.phase == "authenticate" and ready.last.method == "Authenticate"

    def test_front_disconnected(self, ready):
        session = ready.session
        now = ready.clock.advance(3)
        ready.send("FrontDisconnected")
        assert (session.phase, session.phase_time) == ("connecting", now)
        assert session.session_status == "DISCONNECTED" and session.recovery.failures == 1
        assert not ready.native.closed and not session.position_ready


class TestPhaseTimeouts:
    def test_connecting(self, harness):
        session = harness.session
        start = session.phase_time
        session.tick(start + 10)
        with pytest.raises(TimeoutError) as caught:
            session.tick(start + 10.001)
        assert caught.value.args == ()

    @pytest.mark.parametrize("phase", ["authenticate", "login", "settlement"])
    def test_login_phases(self, harness, phase):
        session = harness.session
        session._open_native()
        session.phase, session.phase_time = phase, 100.0
        session.tick(110.0)
        assert harness.native.requests == []
        with pytest.raises(TimeoutError, match="^CTP 连接或登录超时$"):
            session.tick(110.001)

    def test_sync_without_progress(self, harness):
        harness.login()
        session = harness.session
        harness.step([])
        session.phase_time = 200.0
        session.last_query = 500.0
        session.tick(210.0)
        with pytest.raises(TimeoutError, match="^CTP 登录同步超时且无进展$"):
            session.tick(210.001)

    def test_each_login_answer_restarts_the_phase_clock(self, harness):
        connect(harness)
        harness.clock.advance(9)
        harness.reply("RspAuthenticate", {})
        assert harness.session.phase_time == harness.clock.now
        harness.session.tick(harness.clock.now + 10)
