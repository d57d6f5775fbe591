"""The C++ `event`, `_complete`, `_complete_account` and `_positions` as Python code sees them.

What the shared suite cannot see: the methods' Python call shapes, module globals read at call
time, methods replaced on an instance, and mappings that are not plain dicts.
"""

import pytest
from trading_helpers import CONFIG, DAY, FakeBinding, account_row, position_row

import reference_trading
from zqkit.data import ZqError


@pytest.fixture(autouse=True)
def _extension_only(impl):
    if impl.module is reference_trading:
        pytest.skip("checks the extension's methods")


def query(kind, rows=()):
    return {"id": 1, "kind": kind, "rows": list(rows), "progress": 0.0, "revision": 0}


class TestCallShapes:
    def test_parameters_by_their_python_names(self, ready):
        session = ready.session
        session.event(event={"name": "RtnInstrumentStatus"})
        assert session._positions(rows=[position_row("DCE.m2609", "2", 2)], updated=5)
        session._complete_account(rows=[account_row()], now_ms=9)
        assert session.a["updated_at"] == 9
        session._complete(query=query("account", [account_row()]))
        with pytest.raises(TypeError):
            session.event(events={"name": "x"})

    def test_none_is_passed_on_like_any_value(self, ready):
        # The method's own code refuses it, with the interpreter's errors, not the binding.
        with pytest.raises(TypeError, match="not subscriptable"):
            ready.session.event(None)
        with pytest.raises(TypeError, match="not iterable"):
            ready.session._positions(None, 1)
        assert ready.session._positions([], None) == {}


class TestModuleGlobalsAtCallTime:
    def test_account_fields_and_finite(self, ready, impl, monkeypatch):
        seen = []
        monkeypatch.setattr(impl.module, "ACCOUNT_FIELDS", {"balance": "Available"})
        monkeypatch.setattr(impl.module, "finite", lambda value: seen.append(value) or -1.0)
        before = dict(ready.session.a)
        ready.session._complete_account([account_row(Available=5.0)], 3)
        assert seen == [5.0]
        assert ready.session.a == {**before, "balance": -1.0, "updated_at": 3}

    def test_empty_position_and_error_type(self, ready, impl, monkeypatch):
        class Refused(ZqError):
            pass

        made = []

        def empty_position(symbol, updated):
            made.append((symbol, updated))
            return {"pos_long": 0, "pos_long_today": 0, "pos_long_his": 0, "pos_short": 0}

        monkeypatch.setattr(impl.module, "empty_position", empty_position)
        monkeypatch.setattr(impl.module, "ZqError", Refused)
        result = ready.session._positions([position_row("DCE.m2609", "2", 3, 1)], 8)
        assert made == [("DCE.m2609", 8)] and result["DCE.m2609"]["pos"] == 3
        with pytest.raises(Refused, match="净持仓方向"):
            ready.session._positions([position_row("DCE.m2609", "1", 3)], 8)

    def test_phase_labels(self, harness, impl, monkeypatch):
        harness.login()
        monkeypatch.setattr(impl.module, "PHASE_LABELS", {"sync": "同步"})
        harness.session.phase_id = 4
        with pytest.raises(ZqError, match="^CTP 同步失败（错误码：3）：x$"):
            harness.send("RspUserLogin", {}, request_id=4, error={"ErrorID": 3, "ErrorMsg": "x"})


class TestInstanceOverrides:
    def test_pushed_returns_and_completion_go_through_the_instance(self, ready):
        session = ready.session
        calls = []
        session._order = lambda row: calls.append(("order", row["OrderRef"]))
        session._is_spec_order = lambda row: True
        session._complete = lambda q: calls.append(("complete", q["kind"]))
        session._positions = lambda rows, updated: calls.append(("positions", updated)) or {}
        ready.send("RtnOrder", {"OrderRef": "3"})
        request = ready.submit(5)
        ready.send("RspQryTradingAccount", None, request_id=request.request_id)
        type(session)._complete(session, query("positions"))
        stamp = int(ready.clock.wall * 1000)
        assert calls == [("order", "3"), ("complete", "account"), ("positions", stamp)]

    def test_error_redispatch_goes_through_the_instance(self, ready):
        session = ready.session
        session.native_orders["o"] = {"request_id": 6, "cancel_request_id": None}
        seen = []
        session.event = seen.append
        type(session).event(session, {"name": "RspError", "request_id": 6})
        assert seen == [{"name": "RspOrderInsert", "request_id": 6, "error": {}}]


class Recording(dict):
    """A dict subclass whose reads are logged: the session must use its methods, in order."""

    log: list

    def get(self, key, *default):
        self.log.append(("get", key, default))
        return super().get(key, *default)

    def __getitem__(self, key):
        self.log.append(("item", key))
        return super().__getitem__(key)


def recording(log, **fields):
    mapping = Recording(fields)
    mapping.log = log
    return mapping


def scripted_events(log, first_request):
    """Login answers (one split), query rows, a buffered trade, rejections and a stray error."""
    answer = {"TradingDay": DAY, "FrontID": 1, "SessionID": 7, "MaxOrderRef": " 4"}
    error = recording(log, ErrorID=0, ErrorMsg="")
    trade = recording(log, ExchangeID="DCE", TradeID=" 1", Direction="0", HedgeFlag="1")
    rows = [("RspAuthenticate", {}, True), ("RspUserLogin", answer, False)]
    rows += [("RspUserLogin", {}, True), ("RspSettlementInfoConfirm", {}, True)]
    for offset, (name, data, last) in enumerate(rows):
        number = first_request + min(offset, 1) + (offset > 2)
        yield recording(
            log, name=name, data=recording(log, **data), request_id=number, last=last, error=error
        )
    yield recording(log, name="RtnTrade", data=trade)
    yield recording(log, name="RtnTrade", data=trade)
    rejected = recording(log, ErrorID=22, ErrorMsg="x")
    yield recording(log, name="RspOrderInsert", data=recording(log, OrderRef="9"), error=rejected)
    yield recording(log, name="ErrRtnOrderAction", data=recording(log, OrderRef=9), error=rejected)
    yield recording(log, name="RspError", request_id=0, error=recording(log, ErrorID=0))


class TestMappingsThatAreNotPlainDicts:
    def test_reads_match_the_reference(self, impl, clock, directories, monkeypatch):
        monkeypatch.setattr(reference_trading, "time", clock)
        monkeypatch.setattr(reference_trading, "mkdtemp", impl.module.mkdtemp)
        outcomes = []
        for cls in (reference_trading.Trading, impl.Trading):
            session = cls(CONFIG, 10, {}, native_factory=FakeBinding().factory)
            session._open_native()
            log = []
            session.event({"name": "FrontConnected"})
            for event in scripted_events(log, session.phase_id):
                session.event(event)
            state = (session.phase, session.order_ref, dict(session.live_trade_buffer))
            outcomes.append((log, state))
        assert outcomes[1] == outcomes[0]
        assert outcomes[0][1][:2] == ("sync", 4) and len(outcomes[0][1][2]) == 1

    def test_names_that_are_not_plain_str(self, ready):
        class Name(str):
            pass

        ready.session.event({"name": Name("FrontDisconnected")})
        assert ready.session.phase == "connecting"
        with pytest.raises(AttributeError, match="startswith"):
            ready.session.event({"name": 5})
