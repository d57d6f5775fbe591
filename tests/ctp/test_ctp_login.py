"""Authentication, login and settlement confirmation."""

from __future__ import annotations

import pytest
from ctp_helpers import APP_ID, AUTH_CODE, BROKER, DAY, PASSWORD, USER


def authenticate(client, **fields):
    rid, code = client.send("Authenticate", {"AppID": APP_ID, "AuthCode": AUTH_CODE, **fields})
    assert code == 0
    return client.wait_event("RspAuthenticate", rid)


def login(client, **fields):
    rid, code = client.send("UserLogin", {"Password": PASSWORD, **fields})
    assert code == 0
    return client.wait_event("RspUserLogin", rid)


def test_login_sequence(client):
    client.wait_event("FrontConnected")
    answer = authenticate(client)
    assert answer["error"] == {"ErrorID": 0, "ErrorMsg": "正确"}
    assert answer["last"] is True
    assert answer["data"]["AppID"] == APP_ID

    answer = login(client)
    data = answer["data"]
    assert answer["error"]["ErrorID"] == 0
    assert data["TradingDay"] == DAY
    assert (data["BrokerID"], data["UserID"]) == (BROKER, USER)
    assert type(data["FrontID"]) is int and type(data["SessionID"]) is int
    assert data["MaxOrderRef"] == "0"

    rid, _ = client.send("SettlementInfoConfirm")
    answer = client.wait_event("RspSettlementInfoConfirm", rid)
    assert answer["error"]["ErrorID"] == 0
    assert answer["data"]["InvestorID"] == USER


def test_request_before_front_connected_is_not_sent(front, flow_path):
    from ctp_helpers import Client

    from zqkit import _ctp

    _ctp.set_options(front, {"connect_delay": 0.3})
    client = Client(flow_path)
    try:
        assert client.send("Authenticate")[1] == -1
    finally:
        client.close()


@pytest.mark.parametrize(
    "fields", [{"AppID": "other"}, {"AuthCode": "wrong"}, {"UserID": "nobody"}, {"BrokerID": "1"}]
)
def test_authenticate_refused(client, fields):
    client.wait_event("FrontConnected")
    answer = authenticate(client, **fields)
    assert answer["error"]["ErrorID"] == 63
    assert "认证失败" in answer["error"]["ErrorMsg"]
    assert answer["data"] is None
    # No login without a successful authentication.
    assert login(client)["error"]["ErrorID"] == 64


def test_wrong_password(client):
    client.wait_event("FrontConnected")
    authenticate(client)
    answer = login(client, Password="guess")
    assert answer["error"]["ErrorID"] == 3
    assert "密码" in answer["error"]["ErrorMsg"]
    # The session is not logged in: queries are refused.
    rid, _ = client.send("QryOrder")
    [row] = client.answer("RspQryOrder", rid)
    assert row["error"]["ErrorID"] == 6
    # A later correct attempt succeeds.
    assert login(client)["error"]["ErrorID"] == 0
    assert login(client)["error"]["ErrorID"] == 5  # a second login on the same session


def test_other_investor_refused(session):
    rid, _ = session.send("QryTradingAccount", InvestorID="000002")
    [row] = session.answer("RspQryTradingAccount", rid)
    assert row["error"]["ErrorID"] == 9
    assert row["data"] is None
    rid, _ = session.order("DCE.m2609", "BUY", "0", 1, 2800, 1, InvestorID="000002")
    assert session.wait_event("RspOrderInsert", rid)["error"]["ErrorID"] == 9
    assert session.wait_event("ErrRtnOrderInsert")["error"]["ErrorID"] == 9


def test_orders_need_settlement_confirmation(client):
    client.wait_event("FrontConnected")
    authenticate(client)
    login(client)
    rid, _ = client.order("DCE.m2609", "BUY", "0", 1, 2800, 1)
    answer = client.wait_event("RspOrderInsert", rid)
    assert answer["error"]["ErrorID"] == 42
    assert answer["error"]["ErrorMsg"] == "结算结果未确认"


def test_max_order_ref_follows_the_account(session, flow_path):
    from ctp_helpers import Client

    for ref in (3, 7):
        session.order("DCE.m2609", "BUY", "0", 1, 2800, ref)
    session.wait_event("RtnOrder")
    second = Client(flow_path)
    try:
        assert second.login()["MaxOrderRef"] == "7"
    finally:
        second.close()
