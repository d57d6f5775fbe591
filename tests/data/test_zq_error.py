"""ZqError: constructor rules, message and status, behaviour as an ordinary exception."""

import decimal
import inspect
import pickle

import pytest

from zqkit.data import ZqError


class Text(str):
    pass


def test_is_a_plain_exception_subclass():
    assert ZqError.__bases__ == (Exception,)
    assert ZqError.__module__ == "zqkit.data"
    assert ZqError.__doc__ == "SDK 数据或交易服务异常，status 为可选的响应状态码。"
    assert str(inspect.signature(ZqError.__init__)) == "(self, message, *, status=None)"


def test_message_alone():
    error = ZqError("行情消息缺少必要字段")
    assert error.args == ("行情消息缺少必要字段",)
    assert str(error) == "行情消息缺少必要字段"
    assert repr(error) == "ZqError('行情消息缺少必要字段')"
    assert error.status is None


@pytest.mark.parametrize(
    ("status", "stored"),
    [(None, None), (500, 500), (404.0, 404), (True, 1), (decimal.Decimal("503"), 503)],
)
def test_status_is_kept_as_int(status, stored):
    error = ZqError("服务异常", status=status)
    assert error.status == stored
    assert type(error.status) is type(stored)
    assert str(error) == "服务异常"
    assert error.args == ("服务异常",)


def test_exact_int_status_is_the_same_object():
    big = 10**30
    assert ZqError("x", status=big).status is big


@pytest.mark.parametrize(("value", "got"), [(1, "int"), (b"x", "bytes"), (None, "NoneType")])
def test_message_must_be_exactly_str(value, got):
    with pytest.raises(TypeError) as caught:
        ZqError(value)
    assert str(caught.value) == (f"Argument 'message' has incorrect type (expected str, got {got})")
    assert not hasattr(caught.value, "__notes__")


def test_str_subclass_is_refused_with_a_note():
    with pytest.raises(TypeError) as caught:
        ZqError(Text("x"))
    assert str(caught.value) == "Argument 'message' has incorrect type (expected str, got Text)"
    assert len(caught.value.__notes__) == 1
    assert "subclasses of builtin types are rejected" in caught.value.__notes__[0]


@pytest.mark.parametrize(("status", "got"), [("404", "str"), ([1], "list"), (object(), "object")])
def test_status_without_number_protocol_is_refused(status, got):
    with pytest.raises(TypeError) as caught:
        ZqError("x", status=status)
    assert str(caught.value) == f"Argument 'status' has incorrect type (expected int, got {got})"


def test_message_is_checked_before_status():
    with pytest.raises(TypeError, match="'message'"):
        ZqError(1, status="bad")


def test_status_conversion_errors_of_int_propagate():
    with pytest.raises(ValueError):
        ZqError("x", status=float("nan"))
    with pytest.raises(OverflowError):
        ZqError("x", status=float("inf"))


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("x", 500), {}, "ZqError.__init__() takes 2 positional arguments but 3 were given"),
        ((), {}, "ZqError.__init__() missing 1 required positional argument: 'message'"),
        (("x",), {"code": 1}, "ZqError.__init__() got an unexpected keyword argument 'code'"),
        (("x",), {"message": "y"}, "ZqError.__init__() got multiple values for argument 'message'"),
    ],
)
def test_argument_count_and_names(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        ZqError(*args, **kwargs)
    assert str(caught.value) == message


def test_message_by_keyword():
    assert ZqError(message="m", status=1).args == ("m",)


def test_raise_catch_and_pickle():
    with pytest.raises(ZqError) as caught:
        raise ZqError("令牌无效", status=401)
    restored = pickle.loads(pickle.dumps(caught.value))
    assert type(restored) is ZqError
    assert (restored.args, restored.status) == (("令牌无效",), 401)


def test_subclass_initialises_through_the_mro():
    seen = []

    class Mixin(Exception):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    class Special(ZqError, Mixin):
        pass

    error = Special("m", status=2)
    assert seen == [("m",)]
    assert (error.args, error.status) == (("m",), 2)
