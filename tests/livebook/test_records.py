"""Records, dataclasses and module layout of zqkit.livebook."""

import dataclasses

import pytest

import zqkit.livebook as livebook
from zqkit.livebook import (
    Account,
    CtpAccount,
    LiveObject,
    Order,
    Position,
    Trade,
    TradingResult,
    empty_position,
)

GOOD = dict(
    broker_id="9999",
    user_id="000001",
    password="secret-pass",
    front_url="tcp://127.0.0.1:41205",
    app_id="client_app",
    auth_code="secret-code",
)
NOT_TEXT = "必须是非空字符串，且不能包含 NUL 字符"


def test_module_binds_names_in_order():
    names = [name for name in vars(livebook) if not name.startswith("__")]
    assert (
        names
        == (
            "Mapping dataclass field TYPE_CHECKING Literal TradingResult CtpAccount LiveObject "
            "LiveMap Account Position Order Trade empty_position"
        ).split()
    )
    assert livebook.__doc__ == "Read-only, identity-preserving trading views."
    assert livebook.dataclass is dataclasses.dataclass
    assert livebook.TYPE_CHECKING is False


class TestSnapshots:
    @pytest.mark.parametrize(
        ("cls", "count", "first", "last"),
        [
            (Account, 13, "account_id", "updated_at"),
            (Position, 7, "symbol", "available_short"),
            (Order, 14, "order_id", "insert_time"),
            (Trade, 8, "trade_id", "trade_time"),
        ],
    )
    def test_shape(self, cls, count, first, last):
        assert cls.__bases__ == (LiveObject,)
        assert "__slots__" not in vars(cls)
        assert len(cls.fields) == count
        assert (cls.fields[0], cls.fields[-1]) == (first, last)
        assert tuple(cls.__annotations__) == cls.fields
        assert cls().fields is cls.fields

    def test_annotations(self):
        assert Account.__annotations__["balance"] == float | None
        assert Position.__annotations__["symbol"] is str
        assert Order.__annotations__["cancel_pending"] is bool
        assert Order.__annotations__["status"] == (
            "Literal['PENDING', 'ALIVE', 'FILLED', 'CANCELLED', 'REJECTED'] | None"
        )
        assert Trade.__annotations__["trade_time"] == int | None

    def test_docstrings(self):
        assert Account.__doc__ == (
            "只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
            "    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。"
        )
        assert Position.__doc__ == (
            "只读持仓快照；数量单位为手。\n\n"
            "    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。"
        )
        assert Order.__doc__ == "只读订单快照；断线后观察句柄保留最后一次已提交的数据。"
        assert Trade.__doc__ == (
            "只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。"
        )


class TestTradingResult:
    def test_frozen_dataclass_with_default_message(self):
        result = TradingResult("SUBMITTED", "A1")
        assert dataclasses.is_dataclass(result)
        assert [f.name for f in dataclasses.fields(result)] == ["status", "order_id", "message"]
        assert result.message == ""
        assert result == TradingResult(status="SUBMITTED", order_id="A1", message="")
        assert hash(result) == hash(TradingResult("SUBMITTED", "A1"))
        assert result != TradingResult("REJECTED", "A1")
        with pytest.raises(dataclasses.FrozenInstanceError):
            result.status = "REJECTED"
        with pytest.raises(TypeError):
            TradingResult("SUBMITTED")
        assert TradingResult.__doc__ == "一次交易操作的即时提交结果；不是最终委托或撤单结果。"
        assert TradingResult.__annotations__["status"] == (
            "Literal['SUBMITTED', 'REJECTED', 'UNKNOWN']"
        )


class TestCtpAccount:
    def test_valid_account_hides_secrets_from_repr(self):
        account = CtpAccount(**GOOD)
        text = repr(account)
        assert text == (
            "CtpAccount(broker_id='9999', user_id='000001', "
            "front_url='tcp://127.0.0.1:41205', app_id='client_app')"
        )
        assert "secret" not in text
        assert account == CtpAccount(**GOOD)
        assert account != CtpAccount(**{**GOOD, "password": "other"})
        assert hash(account) == hash(CtpAccount(**GOOD))
        with pytest.raises(dataclasses.FrozenInstanceError):
            account.password = "x"

    def test_docstring(self):
        assert CtpAccount.__doc__ == (
            "CTP 直连账户配置，交易凭据不会发送至行情服务。\n\n    Args:\n"
            "        broker_id: 期货公司代码。\n"
            "        user_id: 资金账号。\n"
            "        password: 交易密码。\n"
            "        front_url: 交易前置地址，格式为 tcp://地址:端口。\n"
            "        app_id: 期货公司提供的客户端标识。\n"
            "        auth_code: 期货公司提供的客户端授权码。\n    "
        )

    @pytest.mark.parametrize(
        ("changes", "failing"),
        [
            ({"user_id": ""}, "user_id"),
            ({"broker_id": None, "user_id": ""}, "broker_id"),
            ({"password": "pa\0ss"}, "password"),
            ({"app_id": 7, "front_url": "http://x"}, "app_id"),
            ({"auth_code": b"code"}, "auth_code"),
        ],
    )
    def test_first_bad_field_in_declaration_order_decides(self, changes, failing):
        with pytest.raises(ValueError) as caught:
            CtpAccount(**{**GOOD, **changes})
        assert str(caught.value) == f"{failing} {NOT_TEXT}"

    @pytest.mark.parametrize("url", ["TCP://127.0.0.1:1", "ssl://127.0.0.1:1", "127.0.0.1:1"])
    def test_front_url_needs_tcp_scheme(self, url):
        with pytest.raises(ValueError) as caught:
            CtpAccount(**{**GOOD, "front_url": url})
        assert str(caught.value) == "front_url 必须以 tcp:// 开头"

    def test_replace_validates_again(self):
        account = CtpAccount(**GOOD)
        assert dataclasses.replace(account, user_id="000002").user_id == "000002"
        with pytest.raises(ValueError, match="^front_url 必须以 tcp:// 开头$"):
            dataclasses.replace(account, front_url="udp://127.0.0.1:1")
        with pytest.raises(ValueError, match=f"^password {NOT_TEXT}$"):
            dataclasses.replace(account, password="")

    def test_bare_scheme_passes_and_missing_argument_is_type_error(self):
        assert CtpAccount(**{**GOOD, "front_url": "tcp://"}).front_url == "tcp://"
        with pytest.raises(TypeError):
            CtpAccount(**{k: v for k, v in GOOD.items() if k != "auth_code"})


class TestEmptyPosition:
    KEYS = (
        "pos_long pos_short pos pos_long_today pos_short_today pos_long_his pos_short_his "
        "frozen_long frozen_short available_long available_short symbol updated_at"
    ).split()

    def test_unknown_quantities_without_update_time(self):
        record = empty_position("SHFE.rb2610")
        assert list(record) == self.KEYS
        assert [record[key] for key in self.KEYS[:11]] == [None] * 11
        assert record["symbol"] == "SHFE.rb2610"
        assert record["updated_at"] is None

    @pytest.mark.parametrize("updated_at", [0, 1_700_000_000_000])
    def test_known_zero_with_update_time(self, updated_at):
        record = empty_position("SHFE.rb2610", updated_at)
        assert all(record[key] == 0 and type(record[key]) is int for key in self.KEYS[:11])
        assert record["updated_at"] is updated_at

    def test_every_call_builds_a_new_record(self):
        # The session mutates these records in place; two instruments must never share one.
        first, second = empty_position("SHFE.rb2610", 0), empty_position("SHFE.rb2610", 0)
        first["pos_long"] = 5
        assert first is not second
        assert second["pos_long"] == 0
