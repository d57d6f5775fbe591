"""Query answers: one event per row, the last flag, empty answers, field names and types."""

from __future__ import annotations

import pytest
from ctp_helpers import DAY, USER, wait_until

from zqkit import _ctp

QUERIES = ["QryInstrument", "QryOrder", "QryTrade", "QryInvestorPosition", "QryTradingAccount"]


def rows_of(answer):
    return [event["data"] for event in answer]


@pytest.mark.parametrize("method", QUERIES)
def test_last_flag_only_on_final_row(session, method):
    session.order("DCE.m2609", "BUY", "0", 1, 2800, 1)  # so orders and trades exist
    _ctp.set_price(session.front, "DCE.m2609", 2800.0)
    session.wait_event("RtnTrade")
    answer = session.query(method)
    assert [event["last"] for event in answer] == [False] * (len(answer) - 1) + [True]
    assert all(event["error"] is None for event in answer)
    assert len({event["request_id"] for event in answer}) == 1


@pytest.mark.parametrize(
    ("method", "fields"),
    [
        ("QryOrder", {}),
        ("QryTrade", {}),
        ("QryInstrument", {"InstrumentID": "none"}),
        ("QryInvestorPosition", {"InstrumentID": "none"}),
        ("QryTradingAccount", {"CurrencyID": "USD"}),
    ],
)
def test_empty_answer_is_one_event(session, method, fields):
    answer = session.query(method, fields)
    assert answer == [
        {
            "name": "Rsp" + method,
            "data": None,
            "request_id": answer[0]["request_id"],
            "last": True,
            "error": None,
        }
    ]


def test_instruments(session):
    rows = rows_of(session.query("QryInstrument"))
    by_symbol = {f"{row['ExchangeID']}.{row['InstrumentID']}": row for row in rows}
    assert list(by_symbol) == ["SHFE.rb2610", "DCE.m2609", "DCE.m2609-C-3000"]
    rb = by_symbol["SHFE.rb2610"]
    assert rb["ProductClass"] == "1" and by_symbol["DCE.m2609-C-3000"]["ProductClass"] == "2"
    assert rb["PriceTick"] == 1.0 and type(rb["PriceTick"]) is float
    assert rb["VolumeMultiple"] == 10 and type(rb["VolumeMultiple"]) is int
    assert (rb["MinLimitOrderVolume"], rb["MaxLimitOrderVolume"]) == (1, 50)
    assert rb["IsTrading"] == 1
    only = rows_of(session.query("QryInstrument", {"ExchangeID": "DCE"}))
    assert [row["InstrumentID"] for row in only] == ["m2609", "m2609-C-3000"]


def test_positions_split_by_exchange(session):
    rows = rows_of(session.query("QryInvestorPosition"))
    shfe = [row for row in rows if row["ExchangeID"] == "SHFE"]
    dce = [row for row in rows if row["ExchangeID"] == "DCE"]
    # SHFE: a today row and an earlier-days row of the long side.
    assert sorted((r["PositionDate"], r["Position"], r["TodayPosition"]) for r in shfe) == [
        ("1", 2, 2),
        ("2", 4, 0),
    ]
    assert all(r["PosiDirection"] == "2" and r["HedgeFlag"] == "1" for r in shfe)
    # DCE: one row per direction, today's part in TodayPosition.
    [short] = dce
    assert (short["PosiDirection"], short["Position"], short["TodayPosition"]) == ("3", 4, 1)
    assert short["YdPosition"] == 3 and short["PositionDate"] == "1"
    assert all(row["TradingDay"] == DAY and row["InvestorID"] == USER for row in rows)


def test_account_row(session):
    [row] = rows_of(session.query("QryTradingAccount"))
    assert row["AccountID"] == USER and row["CurrencyID"] == "CNY" and row["TradingDay"] == DAY
    # Margin of the configured lots: rb 6 × 3500 × 10 × 0.1, m 4 × 2900 × 10 × 0.08.
    margin = 6 * 3500 * 10 * 0.1 + 4 * 2900 * 10 * 0.08
    assert row["CurrMargin"] == pytest.approx(margin)
    assert row["Balance"] == pytest.approx(1_000_000.0)
    assert row["Available"] == pytest.approx(1_000_000.0 - margin)
    for field in (
        "Balance",
        "Available",
        "CurrMargin",
        "FrozenMargin",
        "Commission",
        "FrozenCommission",
        "CloseProfit",
        "PositionProfit",
        "Deposit",
        "Withdraw",
    ):
        assert type(row[field]) is float


def test_orders_and_trades_rows(session):
    _ctp.set_price(session.front, "DCE.m2609", 2800.0)
    session.order("DCE.m2609", "BUY", "0", 2, 2810, 1)
    trade = session.wait_event("RtnTrade")["data"]
    session.order("DCE.m2609", "BUY", "0", 1, 2700, 2)  # rests below the reference
    resting = wait_until(
        lambda: [
            e
            for e in session.pump()
            if e["name"] == "RtnOrder"
            and e["data"]["OrderRef"] == "2"
            and e["data"]["OrderStatus"] == "3"
        ]
    )[0]
    orders = rows_of(session.query("QryOrder"))
    assert [(o["OrderRef"], o["OrderStatus"]) for o in orders] == [("1", "0"), ("2", "3")]
    assert orders[1]["OrderSysID"] == resting["data"]["OrderSysID"]
    assert len(orders[0]["OrderSysID"]) == 12 and orders[0]["OrderSysID"].startswith(" ")
    [listed] = rows_of(session.query("QryTrade"))
    assert listed == trade
    assert listed["OrderSysID"] == orders[0]["OrderSysID"]
    by_sys_id = rows_of(session.query("QryOrder", {"OrderSysID": orders[1]["OrderSysID"].strip()}))
    assert [o["OrderRef"] for o in by_sys_id] == ["2"]
