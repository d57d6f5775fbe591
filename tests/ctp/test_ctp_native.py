"""The counter driven through `zqkit.trading.Native`, with the request fields the session sends."""

from __future__ import annotations

import pytest
from ctp_helpers import APP_ID, AUTH_CODE, BROKER, DAY, FRONT, PASSWORD, USER, wait_until

from zqkit import _ctp

trading = pytest.importorskip("zqkit.trading")
livebook = pytest.importorskip("zqkit.livebook")

CONFIG = dict(
    broker_id=BROKER,
    user_id=USER,
    password=PASSWORD,
    front_url=FRONT,
    app_id=APP_ID,
    auth_code=AUTH_CODE,
)


class Driver:
    """Numbers requests and adds BrokerID, InvestorID and UserID, as the session does."""

    def __init__(self, native) -> None:
        self.native = native
        self.request_id = 0
        self.events: list[dict] = []

    def request(self, method: str, fields: dict | None = None) -> int:
        self.request_id += 1
        body = {"BrokerID": BROKER, "InvestorID": USER, "UserID": USER, **(fields or {})}
        assert self.native.request(method, body, self.request_id) == 0
        return self.request_id

    def rows(self, name: str, request_id: int = 0) -> list[dict]:
        def complete():
            self.events.extend(self.native.poll())
            found = [e for e in self.events if e["name"] == name]
            if request_id:
                found = [e for e in found if e["request_id"] == request_id]
            return found if found and (not request_id or found[-1]["last"]) else None

        return wait_until(complete)


@pytest.fixture
def native(front, tmp_path):
    binding = trading.Native(livebook.CtpAccount(**CONFIG), tmp_path)
    yield binding
    if _ctp.open_connections():
        binding.close()


def test_login_sync_insert_and_cancel(native):
    driver = Driver(native)
    driver.rows("FrontConnected")
    rid = driver.request("Authenticate", {"AppID": APP_ID, "AuthCode": AUTH_CODE})
    assert driver.rows("RspAuthenticate", rid)[0]["error"]["ErrorID"] == 0
    rid = driver.request("UserLogin", {"Password": PASSWORD})
    [login] = driver.rows("RspUserLogin", rid)
    assert login["data"]["TradingDay"] == DAY
    assert int(login["data"]["MaxOrderRef"].strip() or 0) == 0
    rid = driver.request("SettlementInfoConfirm")
    assert driver.rows("RspSettlementInfoConfirm", rid)[0]["error"]["ErrorID"] == 0

    sync = [
        ("QryInstrument", {}),
        ("QryOrder", {}),
        ("QryTrade", {}),
        ("QryInvestorPosition", {}),
        ("QryTrade", {}),
        ("QryTradingAccount", {"CurrencyID": "CNY"}),
    ]
    for method, fields in sync:
        rid = driver.request(method, fields)
        answer = driver.rows("Rsp" + method, rid)
        assert all(event["error"] is None for event in answer)
    [funds] = driver.rows("RspQryTradingAccount", rid)
    assert all(trading.finite(funds["data"][f]) is not None for f in ("Balance", "Available"))

    _ctp.set_price(FRONT, "DCE.m2609", 2800.0)
    order = {
        "InstrumentID": "m2609",
        "ExchangeID": "DCE",
        "OrderRef": "1",
        "Direction": "0",
        "CombOffsetFlag": "0",
        "CombHedgeFlag": "1",
        "OrderPriceType": "2",
        "LimitPrice": 2790,  # the user's price as given: an int is fine
        "VolumeTotalOriginal": 2,
        "TimeCondition": "3",
        "VolumeCondition": "1",
        "MinVolume": 1,
        "ContingentCondition": "1",
        "ForceCloseReason": "0",
        "IsAutoSuspend": 0,
        "UserForceClose": 0,
    }
    driver.request("OrderInsert", order)
    [_, queued] = wait_until(lambda: len(driver.rows("RtnOrder")) >= 2 and driver.rows("RtnOrder"))
    data = queued["data"]
    assert (data["FrontID"], data["SessionID"]) == (
        login["data"]["FrontID"],
        login["data"]["SessionID"],
    )
    assert trading.timestamp(data["InsertDate"], data["InsertTime"]) is not None
    assert trading.finite(data["LimitPrice"]) == 2790.0

    cancel = {
        "InstrumentID": "m2609",
        "ExchangeID": "DCE",
        "OrderSysID": data["OrderSysID"],
        "ActionFlag": "0",
    }
    driver.request("OrderAction", cancel)
    wait_until(lambda: driver.rows("RtnOrder")[-1]["data"]["OrderStatus"] == "5")


def test_close_through_native(native):
    native.close()
    assert _ctp.open_connections() == 0
    with pytest.raises(ValueError, match="CTP 连接句柄已关闭"):
        native.poll()
