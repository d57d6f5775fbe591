"""The session interface of `zqkit._ctp` over the vendor's CTP trader library.

`zqkit._ctp.create` sends every front address that is not configured in its simulated counter
here; `request`, `poll` and `close` hand this module's `Handle` objects back to it. The
library comes with the optional extra `zqkit[ctp]` (the `openctp-ctp` wheel).

The library aborts the whole process while loading when the locale zh_CN.GB18030 is missing,
so `create` checks the extra and the locale first and raises `ZqError` with what to do.

Each connection is one `CThostFtdcTraderApi` with its own threads. Its callbacks turn the
library's structures into the event dicts of the simulated counter (text decoded from
GB18030, ints, floats; one event per answer row, an empty answer as one event with data None)
and queue them; `poll` hands them to the event loop. Request fields become the library's
request structures; a field name the structure lacks is not sent, as the counter ignores names
it does not know.
"""

from __future__ import annotations

import ctypes
import importlib.util
import queue
import sys
import threading
import weakref
from collections.abc import Callable
from typing import Any

from zqkit.data import ZqError

__all__ = ["Handle", "check_library", "close", "create", "poll", "request"]

VENDOR_PACKAGE = "openctp_ctp"
LOCALE = "zh_CN.GB18030"
EXTRA_MISSING = (
    "连接真实 CTP 前置需要 CTP 交易库（可选依赖 openctp-ctp）：请执行 pip install 'zqkit[ctp]'"
)
LOCALE_MISSING = (
    "CTP 交易库需要区域设置 zh_CN.GB18030，本机没有，加载会使进程中止。"
    "无需 root 的做法：localedef -i zh_CN -f GB18030 目录/zh_CN.GB18030，"
    "然后启动 Python 前设置环境变量 LOCPATH=目录；"
    "或以 root 执行 localedef -i zh_CN -f GB18030 zh_CN.GB18030 装入系统"
)
CLOSED = "CTP 连接句柄已关闭"

# Request name → (request structure, request method) of the library.
REQUESTS = {
    "Authenticate": ("CThostFtdcReqAuthenticateField", "ReqAuthenticate"),
    "UserLogin": ("CThostFtdcReqUserLoginField", "ReqUserLogin"),
    "SettlementInfoConfirm": ("CThostFtdcSettlementInfoConfirmField", "ReqSettlementInfoConfirm"),
    "QryInstrument": ("CThostFtdcQryInstrumentField", "ReqQryInstrument"),
    "QryOrder": ("CThostFtdcQryOrderField", "ReqQryOrder"),
    "QryTrade": ("CThostFtdcQryTradeField", "ReqQryTrade"),
    "QryInvestorPosition": ("CThostFtdcQryInvestorPositionField", "ReqQryInvestorPosition"),
    "QryTradingAccount": ("CThostFtdcQryTradingAccountField", "ReqQryTradingAccount"),
    "OrderInsert": ("CThostFtdcInputOrderField", "ReqOrderInsert"),
    "OrderAction": ("CThostFtdcInputOrderActionField", "ReqOrderAction"),
}

# Callbacks answering a request: (structure, RspInfo, request id, is last).
ANSWERS = (
    "RspAuthenticate",
    "RspUserLogin",
    "RspSettlementInfoConfirm",
    "RspQryInstrument",
    "RspQryOrder",
    "RspQryTrade",
    "RspQryInvestorPosition",
    "RspQryTradingAccount",
    "RspOrderInsert",
    "RspOrderAction",
)
# Pushed returns: (structure,).
RETURNS = ("RtnOrder", "RtnTrade")
# Error returns: (structure, RspInfo).
ERROR_RETURNS = ("ErrRtnOrderInsert", "ErrRtnOrderAction")

# glibc's newlocale accepts 1 << LC_ALL for every category, which is how libstdc++ builds a
# named std::locale: the same lookup (LOCPATH, the locale archive) the library will make.
_LC_ALL = 6

_load_lock = threading.Lock()
_vendor: Any = None
_spi_class: type | None = None


# ---- loading the library -------------------------------------------------------------------


def locale_available(name: str = LOCALE) -> bool:
    """Whether the C library can build locale `name`, asked without loading the vendor code."""
    if not sys.platform.startswith("linux"):
        return True
    libc = ctypes.CDLL(None)
    libc.newlocale.restype = ctypes.c_void_p
    libc.newlocale.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p]
    libc.freelocale.argtypes = [ctypes.c_void_p]
    found = libc.newlocale(1 << _LC_ALL, name.encode("ascii"), None)
    if not found:
        return False
    libc.freelocale(found)
    return True


def check_library() -> None:
    """Raise `ZqError` unless the library is installed and can load in this process."""
    if _vendor is not None:
        return
    if importlib.util.find_spec(VENDOR_PACKAGE) is None:
        raise ZqError(EXTRA_MISSING)
    if not locale_available():
        raise ZqError(LOCALE_MISSING)


def _library() -> Any:
    global _vendor, _spi_class
    with _load_lock:
        if _vendor is None:
            check_library()
            try:
                from openctp_ctp import thosttraderapi
            except ImportError as error:
                raise ZqError(EXTRA_MISSING) from error
            _spi_class = _build_spi_class(thosttraderapi.CThostFtdcTraderSpi)
            _vendor = thosttraderapi
    return _vendor


# ---- structures ----------------------------------------------------------------------------

_field_names: dict[type, tuple[str, ...]] = {}


def field_names(struct_type: type) -> tuple[str, ...]:
    """The fields of a library structure in declaration order, without the reserved ones."""
    names = _field_names.get(struct_type)
    if names is None:
        names = tuple(
            name
            for name, member in vars(struct_type).items()
            if isinstance(member, property) and name != "thisown" and not name.startswith("reserve")
        )
        _field_names[struct_type] = names
    return names


def struct_to_dict(struct: Any) -> dict[str, Any] | None:
    """A callback's structure as field → value (the wrapper decodes text from GB18030)."""
    if struct is None:
        return None
    return {name: getattr(struct, name) for name in field_names(type(struct))}


def error_to_dict(info: Any) -> dict[str, Any] | None:
    if info is None:
        return None
    return {"ErrorID": info.ErrorID, "ErrorMsg": info.ErrorMsg}


def _set_field(struct: Any, name: str, value: object) -> None:
    current = getattr(struct, name)
    if isinstance(current, str):
        if not isinstance(value, str):
            raise TypeError(f"字段 {name} 的值必须是 str")
        if not value:
            return  # a fresh structure is all zero: an empty text is already there
        if not value.isascii():
            # The wrapper would store UTF-8 where the front reads GB18030.
            raise ValueError(f"字段 {name} 只能包含 ASCII 字符")
    elif isinstance(current, int):
        if not isinstance(value, int):
            raise TypeError(f"字段 {name} 的值必须是 int")
        value = int(value)
    elif not isinstance(value, (int, float)):
        raise TypeError(f"字段 {name} 的值必须是 int 或 float")
    try:
        setattr(struct, name, value)
    except TypeError as error:
        raise ValueError(f"字段 {name} 的值放不进 CTP 字段：{value!r}") from error
    except OverflowError as error:
        raise OverflowError(f"字段 {name} 的整数超出范围") from error


def request_struct(vendor: Any, method: str, fields: dict[str, object]) -> tuple[Any, str]:
    """The library's request structure filled from `fields`, and its request method's name."""
    try:
        struct_name, request_name = REQUESTS[method]
    except KeyError:
        raise ValueError(f"未知的 CTP 请求：{method}") from None
    struct = getattr(vendor, struct_name)()
    known = set(field_names(type(struct)))
    for name, value in fields.items():
        if name in known:
            _set_field(struct, name, value)
    return struct, request_name


# ---- callbacks -----------------------------------------------------------------------------


def make_event(
    name: str,
    data: dict[str, Any] | None = None,
    request_id: int = 0,
    last: bool = True,
    error: dict[str, Any] | None = None,
) -> dict[str, Any]:
    return {"name": name, "data": data, "request_id": request_id, "last": last, "error": error}


class Events:
    """What the library's threads hand to the event loop: the events, or the first failure."""

    def __init__(self) -> None:
        self.queue: queue.SimpleQueue[dict[str, Any]] = queue.SimpleQueue()
        self.failure: BaseException | None = None
        self.closed = False

    def push(self, name: str, build: Callable[[], dict[str, Any]]) -> None:
        # An exception must not leave a callback: the library would end the process.
        try:
            if not self.closed:
                self.queue.put(build())
        except BaseException as error:  # noqa: BLE001 - kept for poll, never lost
            if self.failure is None:
                self.failure = RuntimeError(f"CTP 回调 {name} 的数据无法转换，连接已不可信")
                self.failure.__cause__ = error

    def take(self) -> list[dict[str, Any]]:
        if self.failure is not None:
            raise self.failure
        events = []
        while True:
            try:
                events.append(self.queue.get_nowait())
            except queue.Empty:
                return events


def _answer(name: str) -> Callable[..., None]:
    def callback(self: Any, struct: Any, info: Any, request_id: int, last: bool) -> None:
        self.events.push(
            name,
            lambda: make_event(
                name, struct_to_dict(struct), request_id, bool(last), error_to_dict(info)
            ),
        )

    return callback


def _pushed(name: str) -> Callable[..., None]:
    def callback(self: Any, struct: Any) -> None:
        self.events.push(name, lambda: make_event(name, struct_to_dict(struct)))

    return callback


def _error_return(name: str) -> Callable[..., None]:
    def callback(self: Any, struct: Any, info: Any) -> None:
        self.events.push(
            name, lambda: make_event(name, struct_to_dict(struct), error=error_to_dict(info))
        )

    return callback


def _front_connected(self: Any) -> None:
    self.events.push("FrontConnected", lambda: make_event("FrontConnected"))


def _front_disconnected(self: Any, reason: int) -> None:
    self.events.push(
        "FrontDisconnected", lambda: make_event("FrontDisconnected", {"Reason": reason})
    )


def _rsp_error(self: Any, info: Any, request_id: int, last: bool) -> None:
    self.events.push(
        "RspError",
        lambda: make_event("RspError", None, request_id, bool(last), error_to_dict(info)),
    )


def _build_spi_class(base: type) -> type:
    """A subclass of the library's callback class whose callbacks queue event dicts."""

    def __init__(self: Any, events: Events) -> None:
        base.__init__(self)
        self.events = events

    methods: dict[str, Any] = {
        "__init__": __init__,
        "OnFrontConnected": _front_connected,
        "OnFrontDisconnected": _front_disconnected,
        "OnRspError": _rsp_error,
    }
    methods.update({"On" + name: _answer(name) for name in ANSWERS})
    methods.update({"On" + name: _pushed(name) for name in RETURNS})
    methods.update({"On" + name: _error_return(name) for name in ERROR_RETURNS})
    return type("TraderEvents", (base,), methods)


# ---- the session interface -----------------------------------------------------------------


class Connection:
    """One library instance with its callback object; `release` is idempotent."""

    def __init__(self, vendor: Any, front: str, flow_directory: str) -> None:
        self.events = Events()
        assert _spi_class is not None
        self.spi = _spi_class(self.events)
        self.vendor = vendor
        self.api = vendor.CThostFtdcTraderApi.CreateFtdcTraderApi(flow_directory)
        try:
            self.api.RegisterSpi(self.spi)
            self.api.RegisterFront(front)
            # Returns from the login on, as the counter sends them; the day's earlier orders
            # and trades are there to query.
            self.api.SubscribePrivateTopic(vendor.THOST_TERT_QUICK)
            self.api.SubscribePublicTopic(vendor.THOST_TERT_QUICK)
            self.api.Init()
        except BaseException:
            self.release()
            raise

    def release(self) -> None:
        if self.api is None:
            return
        self.events.closed = True
        api, self.api = self.api, None
        # The wrapper lets go of the GIL here, so a callback in flight can finish.
        api.Release()
        self.spi = None


class Handle:
    """一个真实 CTP 前置连接的不透明句柄，由 create 返回，close 之后不可再用。"""

    __slots__ = ("__weakref__", "_connection", "_finalizer", "front")

    def __init__(self, front: str, connection: Connection) -> None:
        self.front = front
        self._connection: Connection | None = connection
        # Released when dropped without close, and before the interpreter shuts down, so
        # that no library thread calls into a finalising interpreter.
        self._finalizer = weakref.finalize(self, connection.release)

    def __repr__(self) -> str:
        state = "closed" if self._connection is None else "open"
        return f"<zqkit._ctp_library.Handle {self.front} {state}>"


def _open(handle: object) -> Connection:
    if not isinstance(handle, Handle):
        raise TypeError("handle 必须是 zqkit._ctp.create 返回的句柄")
    if handle._connection is None:
        raise ValueError(CLOSED)
    return handle._connection


def check_open(handle: object) -> None:
    """Raise as every call on `handle` would: TypeError for a stranger, ValueError if closed."""
    _open(handle)


def create(front: str, flow_path: bytes) -> Handle:
    """Start a library instance connecting to `front`; "FrontConnected" follows through poll.

    `zqkit._ctp.create` has checked both arguments (a tcp:// address; bytes naming an existing
    directory, ending with a separator).
    """
    vendor = _library()
    try:
        directory = flow_path.decode("utf-8")
    except UnicodeDecodeError:
        # The wrapper passes the path on as UTF-8.
        raise ValueError("flow_path 必须是 UTF-8 编码的目录路径") from None
    return Handle(front, Connection(vendor, front, directory))


def request(handle: object, method: str, fields: dict[str, object], request_id: int) -> int:
    """Send one request: 0 handed over, -1 not connected, -2/-3 over the front's limits."""
    connection = _open(handle)
    struct, request_name = request_struct(connection.vendor, method, fields)
    return int(getattr(connection.api, request_name)(struct, request_id))


def poll(handle: object) -> list[dict[str, Any]]:
    """Every event queued since the previous poll, in arrival order; never blocks."""
    return _open(handle).events.take()


def close(handle: object) -> None:
    """Release the library instance: its threads are joined and its sockets closed."""
    _open(handle)
    assert isinstance(handle, Handle)
    handle._connection = None
    handle._finalizer()
