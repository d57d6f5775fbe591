"""The four session-facing functions: arguments, handle lifecycle, threads."""

from __future__ import annotations

import gc
import itertools
import os
import threading
import time

import pytest
from ctp_helpers import FRONT, Client, settings, wait_until

from zqkit import _ctp


class TestCreate:
    def test_connects_later_through_poll(self, front, flow_path):
        handle = _ctp.create(front, flow_path)
        try:
            first = wait_until(lambda: _ctp.poll(handle))
            assert first == [
                {
                    "name": "FrontConnected",
                    "data": None,
                    "request_id": 0,
                    "last": True,
                    "error": None,
                }
            ]
        finally:
            _ctp.close(handle)

    @pytest.mark.parametrize("path", ["/tmp/", bytearray(b"/tmp/")])
    def test_flow_path_must_be_bytes(self, front, path):
        with pytest.raises(TypeError, match="flow_path"):
            _ctp.create(front, path)

    def test_flow_path_must_be_an_existing_directory(self, front, tmp_path):
        missing = os.fsencode(str(tmp_path / "missing") + os.sep)
        with pytest.raises(ValueError, match="不是已存在的目录"):
            _ctp.create(front, missing)
        regular = tmp_path / "file"
        regular.write_text("x")
        with pytest.raises(ValueError, match="不是已存在的目录"):
            _ctp.create(front, os.fsencode(str(regular) + os.sep))
        with pytest.raises(ValueError, match="分隔符"):
            _ctp.create(front, os.fsencode(str(tmp_path)))
        with pytest.raises(ValueError, match="NUL"):
            _ctp.create(front, b"/tmp\0/")
        with pytest.raises(ValueError, match=r"不是已存在的目录：/nowhere/\\xff/"):
            _ctp.create(front, b"/nowhere/\xff/")
        assert _ctp.open_connections() == 0

    @pytest.mark.parametrize(
        ("address", "error"),
        [
            (b"tcp://127.0.0.1:1", TypeError),
            ("127.0.0.1:1", ValueError),
            ("tcp://", ValueError),
            ("tcp://a\0b", ValueError),
            ("tcp://a\udcff:1", ValueError),
        ],
    )
    def test_front_address_checked(self, front, flow_path, address, error):
        with pytest.raises(error):
            _ctp.create(address, flow_path)

    def test_unconfigured_front_connects_once_configured(self, flow_path, monkeypatch):
        # An address the counter does not know is a real front: it goes to the trader library,
        # which cannot load here, and the counter opens nothing for it.
        from zqkit import _ctp_library
        from zqkit.data import ZqError

        monkeypatch.setattr(_ctp_library, "_vendor", None)
        monkeypatch.setattr(_ctp_library, "locale_available", lambda name="": False)
        _ctp.reset()
        other = "tcp://127.0.0.1:50000"
        try:
            with pytest.raises(ZqError, match="zh_CN.GB18030"):
                Client(flow_path, other)
            assert _ctp.open_connections() == 0
            _ctp.configure_front(other, settings())
            client = Client(flow_path, other)
            client.wait_event("FrontConnected")
            assert client.send("QryInstrument")[1] == 0
        finally:
            _ctp.reset()


class TestRequestArguments:
    def test_bad_handle(self, front):
        for handle in (None, 1, "handle", object()):
            with pytest.raises(TypeError, match="handle"):
                _ctp.request(handle, "QryOrder", {}, 1)
            with pytest.raises(TypeError, match="handle"):
                _ctp.poll(handle)
            with pytest.raises(TypeError, match="handle"):
                _ctp.close(handle)

    def test_unknown_method_is_value_error(self, session):
        with pytest.raises(ValueError, match="未知的 CTP 请求：ReqOrderInsert"):
            _ctp.request(session.handle, "ReqOrderInsert", {}, 1)
        with pytest.raises(TypeError, match="method"):
            _ctp.request(session.handle, b"OrderInsert", {}, 1)
        with pytest.raises(ValueError, match="method"):
            _ctp.request(session.handle, "Qry\udcff", {}, 1)

    @pytest.mark.parametrize(
        ("fields", "error", "text"),
        [
            ([("BrokerID", "1")], TypeError, "dict"),
            ({1: "x"}, TypeError, "键"),
            ({"BrokerID": 9999}, TypeError, "BrokerID"),
            ({"Custom": None}, TypeError, "Custom"),
            ({"Custom": [1]}, TypeError, "Custom"),
            ({"LimitPrice": "3500"}, TypeError, "LimitPrice"),
            ({"VolumeTotalOriginal": 1.0}, TypeError, "VolumeTotalOriginal"),
            ({"Direction": "01"}, ValueError, "Direction"),
            ({"OrderRef": "1" * 13}, ValueError, "OrderRef"),
            ({"Password": "a\0b"}, ValueError, "NUL"),
            ({"VolumeTotalOriginal": 2**31}, OverflowError, "VolumeTotalOriginal"),
            ({"Custom": 2**64}, OverflowError, "Custom"),
            ({"LimitPrice": 10**400}, OverflowError, "LimitPrice"),
            ({"InstrumentID": "rb\udcff"}, ValueError, "InstrumentID"),
            ({"\udcff": 1}, ValueError, "键"),
        ],
    )
    def test_bad_fields(self, session, fields, error, text):
        with pytest.raises(error, match=text):
            _ctp.request(session.handle, "OrderInsert", fields, 7)

    def test_bad_request_id(self, session):
        with pytest.raises(TypeError, match="request_id"):
            _ctp.request(session.handle, "QryOrder", {}, True)
        with pytest.raises(TypeError, match="request_id"):
            _ctp.request(session.handle, "QryOrder", {}, "1")
        with pytest.raises(OverflowError, match="request_id"):
            _ctp.request(session.handle, "QryOrder", {}, 2**31)

    def test_rejected_arguments_send_nothing(self, session):
        with pytest.raises(TypeError):
            _ctp.request(session.handle, "QryOrder", {"Custom": object()}, 5)
        rid, code = session.send("QryOrder")
        assert code == 0
        session.answer("RspQryOrder", rid)
        assert not [e for e in session.pump() if e["request_id"] == 5]

    def test_bools_and_ints_accepted_where_ctp_takes_numbers(self, session):
        rid, code = session.order(
            "DCE.m2609", "BUY", "0", 1, 2800, 1, IsAutoSuspend=False, UserForceClose=True
        )
        assert code == 0
        orders = [session.wait_event("RtnOrder"), session.wait_event("RtnOrder")]
        assert orders[-1]["data"]["LimitPrice"] == 2800.0
        assert type(orders[-1]["data"]["LimitPrice"]) is float


class TestClosedHandle:
    def test_every_call_raises_after_close(self, client):
        client.close()
        for call in (
            lambda: _ctp.poll(client.handle),
            lambda: _ctp.request(client.handle, "QryOrder", {}, 1),
            lambda: _ctp.close(client.handle),
        ):
            with pytest.raises(ValueError, match="CTP 连接句柄已关闭"):
                call()
        assert "closed" in repr(client.handle)

    def test_reset_closes_open_handles(self, client):
        client.wait_event("FrontConnected")
        _ctp.reset()
        with pytest.raises(ValueError, match="已关闭"):
            _ctp.poll(client.handle)
        assert _ctp.open_connections() == 0

    def test_close_while_other_threads_poll_and_request(self, session):
        # close() joins without the GIL, so the others run against a closing connection.
        _ctp.set_price(session.front, "DCE.m2609", 2800.0)
        unexpected: list[BaseException] = []

        def hammer() -> None:
            ref = itertools.count(1)
            while True:
                try:
                    _ctp.poll(session.handle)
                    session.order("DCE.m2609", "BUY", "0", 1, 2800, next(ref))
                except ValueError as error:
                    if str(error) != "CTP 连接句柄已关闭":
                        unexpected.append(error)
                    return
                except BaseException as error:
                    unexpected.append(error)
                    return

        threads = [threading.Thread(target=hammer) for _ in range(3)]
        for thread in threads:
            thread.start()
        time.sleep(0.02)
        session.close()
        for thread in threads:
            thread.join(timeout=5)
        assert not any(thread.is_alive() for thread in threads)
        assert unexpected == []
        assert _ctp.open_connections() == 0

    def test_close_discards_queued_answers(self, session):
        _ctp.set_options(session.front, {"latency": 0.2})
        session.send("QryInstrument")
        session.close()
        assert _ctp.open_connections() == 0


class TestManyConnections:
    def test_create_and_close_many(self, front, flow_path):
        for _ in range(4):
            handles = [_ctp.create(front, flow_path) for _ in range(25)]
            assert _ctp.open_connections() == 25
            wait_until(lambda h=handles[-1]: _ctp.poll(h))
            for handle in handles:
                _ctp.close(handle)
            assert _ctp.open_connections() == 0

    @pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
    def test_dropped_handles_stop_their_threads(self, front, flow_path):
        def os_threads() -> int:
            return len(os.listdir("/proc/self/task"))

        before = os_threads()
        handles = [_ctp.create(front, flow_path) for _ in range(20)]
        assert _ctp.open_connections() == 20
        assert os_threads() == before + 20  # one worker per connection
        del handles
        gc.collect()
        assert _ctp.open_connections() == 0
        assert os_threads() == before

    def test_sessions_get_distinct_ids(self, front, flow_path):
        clients = [Client(flow_path) for _ in range(3)]
        try:
            answers = [client.login() for client in clients]
            assert len({answer["SessionID"] for answer in answers}) == 3
            assert {answer["FrontID"] for answer in answers} == {1}
        finally:
            for client in clients:
                client.close()

    def test_polling_from_threads_while_counter_works(self, session):
        _ctp.set_price(session.front, "DCE.m2609", 2800.0)
        stop = threading.Event()
        seen: list[dict] = []

        def poller() -> None:
            while not stop.is_set():
                seen.extend(_ctp.poll(session.handle))

        thread = threading.Thread(target=poller)
        thread.start()
        try:
            for ref in range(1, 41):
                assert session.order("DCE.m2609", "BUY", "0", 1, 2800, ref)[1] == 0
            wait_until(lambda: sum(e["name"] == "RtnTrade" for e in seen) == 40)
        finally:
            stop.set()
            thread.join()
        sys_ids = [e["data"]["OrderSysID"] for e in seen if e["name"] == "RtnTrade"]
        assert len(set(sys_ids)) == 40


def test_configure_front_checks_settings():
    _ctp.reset()
    with pytest.raises(ValueError, match="typo"):
        _ctp.configure_front(FRONT, settings(typo=1))
    with pytest.raises(TypeError, match="latency"):
        _ctp.configure_front(FRONT, settings(latency="fast"))
    with pytest.raises(ValueError, match="trading_day"):
        _ctp.configure_front(FRONT, settings(trading_day="\udcff"))
    with pytest.raises(ValueError, match="trading_day"):
        _ctp.configure_front(FRONT, settings(trading_day="2026-06-08"))
    bad_position = settings()
    bad_position["accounts"][0]["positions"][0]["symbol"] = "SHFE.xx"
    with pytest.raises(ValueError, match="SHFE.xx"):
        _ctp.configure_front(FRONT, bad_position)
    with pytest.raises(ValueError, match="未配置"):
        _ctp.set_price(FRONT, "SHFE.rb2610", 1.0)


def test_configure_front_refused_while_connected(session):
    with pytest.raises(ValueError, match="仍有连接"):
        _ctp.configure_front(session.front, settings())
    session.close()
    _ctp.configure_front(session.front, settings())
