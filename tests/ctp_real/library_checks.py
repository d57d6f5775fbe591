"""Checks that load the vendor's trader library.

Run by test_ctp_real.py in a child process whose LOCPATH holds zh_CN.GB18030; collected
only when named on the command line (loading the library in the main test process without
the locale would abort it).
"""

from __future__ import annotations

import ctypes
import gc
import os
import socket
import threading

import pytest
from ctp_helpers import (
    APP_ID,
    AUTH_CODE,
    BROKER,
    FRONT,
    PASSWORD,
    USER,
    Client,
    order_insert_fields,
    settings,
    wait_until,
)

from zqkit import _ctp, _ctp_library, livebook, trading

vendor = _ctp_library._library()
UNREACHABLE = "tcp://127.0.0.1:1"

# The library structure each callback carries, by event name.
STRUCTS = {
    "RspAuthenticate": "CThostFtdcRspAuthenticateField",
    "RspUserLogin": "CThostFtdcRspUserLoginField",
    "RspSettlementInfoConfirm": "CThostFtdcSettlementInfoConfirmField",
    "RspQryInstrument": "CThostFtdcInstrumentField",
    "RspQryOrder": "CThostFtdcOrderField",
    "RtnOrder": "CThostFtdcOrderField",
    "RspQryTrade": "CThostFtdcTradeField",
    "RtnTrade": "CThostFtdcTradeField",
    "RspQryInvestorPosition": "CThostFtdcInvestorPositionField",
    "RspQryTradingAccount": "CThostFtdcTradingAccountField",
    "RspOrderInsert": "CThostFtdcInputOrderField",
    "ErrRtnOrderInsert": "CThostFtdcInputOrderField",
    "RspOrderAction": "CThostFtdcInputOrderActionField",
    "ErrRtnOrderAction": "CThostFtdcOrderActionField",
}
SESSION_EVENTS = {*STRUCTS, "FrontConnected", "FrontDisconnected", "RspError"}


# ---- helpers -------------------------------------------------------------------------------


def put_gb18030(struct, name: str, text: str) -> None:
    """Store `text` in the field as a front sends it (GB18030 bytes). The wrapper's setter
    stores UTF-8, so the bytes are written where a marker set through it landed."""
    encoded = text.encode("gb18030")
    marker = "".join("~}|{"[i % 4] for i in range(len(encoded)))
    setattr(struct, name, marker)  # also proves the bytes fit the field
    base = int(struct.this)
    wanted = marker.encode("ascii") + b"\0"
    size = 16
    while (offset := ctypes.string_at(base, size).find(wanted)) < 0:
        size += 16
    ctypes.memmove(base + offset, encoded, len(encoded))


def fill(struct_name: str, data: dict):
    """A library structure holding `data` (every name must be one of its fields)."""
    struct = getattr(vendor, struct_name)()
    for name, value in data.items():
        assert hasattr(struct, name), f"{struct_name} has no field {name}"
        if isinstance(value, str) and not value.isascii():
            put_gb18030(struct, name, value)
        elif value != "":
            setattr(struct, name, value)
    return struct


def rsp_info(error: dict | None):
    return None if error is None else fill("CThostFtdcRspInfoField", error)


def replay(spi, event: dict) -> None:
    """Call the callback that carries `event`, with the library's own structures."""
    name = event["name"]
    callback = getattr(spi, "On" + name)
    if name == "FrontConnected":
        callback()
    elif name == "FrontDisconnected":
        callback(event["data"]["Reason"])
    elif name == "RspError":
        callback(rsp_info(event["error"]), event["request_id"], event["last"])
    else:
        data = None if event["data"] is None else fill(STRUCTS[name], event["data"])
        if name.startswith("Rtn"):
            callback(data)
        elif name.startswith("ErrRtn"):
            callback(data, rsp_info(event["error"]))
        else:
            callback(data, rsp_info(event["error"]), event["request_id"], event["last"])


def new_spi():
    return _ctp_library._spi_class(_ctp_library.Events())


def threads_and_fds() -> tuple[int, int]:
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


@pytest.fixture
def flow_path(tmp_path) -> bytes:
    return os.fsencode(str(tmp_path) + os.sep)


@pytest.fixture(scope="module")
def counter_events(tmp_path_factory):
    """What the simulated counter sends for every callback the session handles."""
    _ctp.reset()
    _ctp.configure_front(FRONT, settings())
    _ctp.set_price(FRONT, "SHFE.rb2610", 3500.0)
    client = Client(os.fsencode(str(tmp_path_factory.mktemp("flow")) + os.sep))
    seen = [client.wait_event("FrontConnected")]
    for method, fields in [
        ("Authenticate", {"AppID": APP_ID, "AuthCode": AUTH_CODE}),
        ("UserLogin", {"Password": PASSWORD}),
        ("SettlementInfoConfirm", {}),
    ]:
        rid, _ = client.send(method, fields)
        seen.append(client.wait_event("Rsp" + method, rid))
    for method in ("QryInstrument", "QryInvestorPosition", "QryTradingAccount"):
        seen += client.query(method)
    client.order("SHFE.rb2610", "BUY", "0", 1, 3510.0, 1)  # fills at once
    seen += [client.wait_event("RtnOrder"), client.wait_event("RtnTrade")]
    seen += client.query("QryOrder") + client.query("QryTrade")
    seen += client.query("QryTrade", {"TradeID": "none"})  # an empty answer
    rid, _ = client.order("SHFE.rb2610", "BUY", "0", 1, 3500.5, 2)  # off the tick
    seen += [client.wait_event("RspOrderInsert", rid), client.wait_event("ErrRtnOrderInsert")]
    cancel = {"ExchangeID": "SHFE", "InstrumentID": "rb2610", "OrderSysID": "x", "ActionFlag": "0"}
    rid, _ = client.send("OrderAction", cancel)
    seen += [client.wait_event("RspOrderAction", rid), client.wait_event("ErrRtnOrderAction")]
    _ctp.disconnect(FRONT, 60)
    seen.append(client.wait_event("FrontDisconnected"))
    client.close()
    _ctp.reset()
    return seen


# ---- checks --------------------------------------------------------------------------------


class TestCallbacks:
    def test_every_callback_gives_the_counters_event(self, counter_events):
        assert {e["name"] for e in counter_events} == SESSION_EVENTS - {"RspError"}
        assert any(e["data"] is None and e["last"] for e in counter_events if e["request_id"])
        for expected in counter_events:
            spi = new_spi()
            replay(spi, expected)
            [got] = spi.events.take()
            name = expected["name"]
            assert {k: v for k, v in got.items() if k != "data"} == {
                k: v for k, v in expected.items() if k != "data"
            }, name
            if expected["data"] is None:
                assert got["data"] is None, name
                continue
            for field, value in expected["data"].items():
                assert field in got["data"], f"{name}: no {field}"
                assert type(got["data"][field]) is type(value), f"{name}.{field}"
                assert got["data"][field] == value, f"{name}.{field}"

    def test_rsp_error_and_gb18030_text(self):
        spi = new_spi()
        error = {"ErrorID": 90, "ErrorMsg": "查询未就绪，请稍后重试 𠀀"}  # a four-byte character
        replay(spi, {"name": "RspError", "request_id": 7, "last": True, "error": error})
        assert spi.events.take() == [
            {"name": "RspError", "data": None, "request_id": 7, "last": True, "error": error}
        ]

    def test_reserved_fields_are_left_out(self):
        spi = new_spi()
        spi.OnRtnOrder(fill("CThostFtdcOrderField", {"InstrumentID": "rb2610"}))
        [event] = spi.events.take()
        assert event["data"]["InstrumentID"] == "rb2610"
        assert not [name for name in event["data"] if name.startswith("reserve")]

    def test_failed_conversion_is_raised_by_poll_not_in_the_callback(self):
        class Broken:
            @property
            def OrderRef(self):  # noqa: N802 - a CTP field name
                raise MemoryError("no room")

        spi = new_spi()
        spi.OnRtnOrder(Broken())  # must return: an exception here would end the process
        with pytest.raises(RuntimeError, match="RtnOrder") as caught:
            spi.events.take()
        assert isinstance(caught.value.__cause__, MemoryError)


class TestRequests:
    def session_fields(self) -> dict[str, dict]:
        order = order_insert_fields("SHFE.rb2610", "BUY", "0", 2, 3500.0, 12)
        cancel = {"InstrumentID": "rb2610", "ExchangeID": "SHFE", "OrderSysID": "     12"}
        cancel["ActionFlag"] = "0"
        bodies = {
            "Authenticate": {"AppID": APP_ID, "AuthCode": AUTH_CODE},
            "UserLogin": {"Password": PASSWORD},
            "QryTradingAccount": {"CurrencyID": "CNY"},
            "OrderInsert": order,
            "OrderAction": cancel,
        }
        return {
            method: {
                "BrokerID": BROKER,
                "InvestorID": USER,
                "UserID": USER,
                **bodies.get(method, {}),
            }
            for method in _ctp_library.REQUESTS
        }

    def test_every_request_fills_its_structure(self):
        for method, fields in self.session_fields().items():
            struct, _ = _ctp_library.request_struct(vendor, method, fields)
            stored = _ctp_library.struct_to_dict(struct)
            kept = {name: value for name, value in fields.items() if name in stored}
            assert {name: stored[name] for name in kept} == kept, method
            assert "BrokerID" in kept or method == "QryInstrument", method
            if method in ("OrderInsert", "OrderAction"):
                assert kept == fields, method  # every order field has its place

    def test_every_request_reaches_the_library(self, flow_path):
        # The library takes each structure (a wrong one is a TypeError) and, not connected,
        # answers -1.
        handle = _ctp.create(UNREACHABLE, flow_path)
        try:
            for number, (method, fields) in enumerate(self.session_fields().items(), 1):
                assert _ctp.request(handle, method, fields, number) == -1, method
        finally:
            _ctp.close(handle)

    @pytest.mark.parametrize(
        ("method", "fields", "error", "text"),
        [
            ("UserLogin", {"Password": "密码"}, ValueError, "ASCII"),
            ("QryTrade", {"TradeID": "1" * 30}, ValueError, "TradeID"),
            ("QryTrade", {"TradeID": 5}, TypeError, "TradeID"),
            ("QryTrade", {"TradeID": True}, TypeError, "TradeID"),
            ("OrderInsert", {"Direction": "01"}, ValueError, "Direction"),
            ("OrderInsert", {"RequestID": 2**31}, OverflowError, "RequestID"),
            ("OrderInsert", {"StopPrice": "1"}, TypeError, "StopPrice"),
        ],
    )
    def test_bad_fields(self, flow_path, method, fields, error, text):
        handle = _ctp.create(UNREACHABLE, flow_path)
        try:
            with pytest.raises(error, match=text):
                _ctp.request(handle, method, fields, 1)
        finally:
            _ctp.close(handle)


class TestLifecycle:
    def test_cycles_against_an_unreachable_front(self, flow_path):
        before = threads_and_fds()
        for number in range(200):
            handle = _ctp.create(UNREACHABLE, flow_path)
            assert _ctp.request(handle, "QryOrder", {}, number) == -1
            assert _ctp.poll(handle) == []
            _ctp.close(handle)
        assert threads_and_fds() == before
        assert any(name.endswith(b".con") for name in os.listdir(flow_path))

    def test_cycles_against_a_front_that_drops_every_connection(self, flow_path):
        listener = socket.create_server(("127.0.0.1", 0))
        front = f"tcp://127.0.0.1:{listener.getsockname()[1]}"

        def accept_and_drop():
            while True:
                try:
                    accepted, _ = listener.accept()
                except OSError:
                    return
                accepted.close()

        threading.Thread(target=accept_and_drop, daemon=True).start()
        try:
            before = threads_and_fds()
            for cycle in range(150):
                handle = _ctp.create(front, flow_path)
                if cycle % 50 == 0:
                    [dropped, *_] = wait_until(lambda h=handle: _ctp.poll(h), timeout=10)
                    assert dropped["name"] == "FrontDisconnected"
                    assert isinstance(dropped["data"]["Reason"], int)
                    assert _ctp.request(handle, "QryOrder", {}, cycle) == -1
                _ctp.close(handle)
            assert threads_and_fds() == before
        finally:
            listener.close()

    def test_dropped_handle_releases_the_library(self, flow_path):
        before = threads_and_fds()
        handle = _ctp.create(UNREACHABLE, flow_path)
        assert threads_and_fds()[0] > before[0]
        del handle
        gc.collect()
        assert threads_and_fds() == before

    def test_closed_and_foreign_handles_fail_as_the_counters_do(self, flow_path):
        _ctp.reset()
        _ctp.configure_front(FRONT, settings())
        simulated = _ctp.create(FRONT, flow_path)
        real = _ctp.create(UNREACHABLE, flow_path)
        assert type(real) is _ctp_library.Handle and "open" in repr(real)
        for handle in (simulated, real):
            _ctp.close(handle)
        assert "closed" in repr(real)
        calls = [
            lambda h: _ctp.request(h, "QryOrder", {}, 1),
            lambda h: _ctp.request(h, "Nothing", [], "x"),  # the closed handle is told first
            _ctp.poll,
            _ctp.close,
        ]
        for call in calls:
            outcomes = []
            for handle in (simulated, real):
                with pytest.raises(Exception) as caught:
                    call(handle)
                outcomes.append((type(caught.value), str(caught.value)))
            assert outcomes[0] == outcomes[1] == (ValueError, "CTP 连接句柄已关闭")
        _ctp.reset()

    def test_native_of_the_trading_session(self, tmp_path):
        config = livebook.CtpAccount(
            broker_id=BROKER,
            user_id=USER,
            password=PASSWORD,
            front_url=UNREACHABLE,
            app_id=APP_ID,
            auth_code=AUTH_CODE,
        )
        native = trading.Native(config, tmp_path)
        assert type(native.handle) is _ctp_library.Handle
        assert native.request("QryOrder", {"BrokerID": BROKER}, 1) == -1
        assert native.poll() == []
        native.close()
        assert "closed" in repr(native.handle)
