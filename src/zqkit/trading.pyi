import asyncio as asyncio
import math as math
import os as os
import time as time
from collections.abc import Callable, Mapping, MutableMapping
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from datetime import timezone as timezone
from tempfile import mkdtemp as mkdtemp
from types import ModuleType
from typing import Any, TypeVar, overload

from zqkit.data import ZqError as ZqError
from zqkit.data import check_symbol as check_symbol
from zqkit.data import different as different
from zqkit.errors import Recovery as Recovery
from zqkit.livebook import Account as Account
from zqkit.livebook import CtpAccount, LiveObject
from zqkit.livebook import LiveMap as LiveMap
from zqkit.livebook import Order as Order
from zqkit.livebook import Position as Position
from zqkit.livebook import Trade as Trade
from zqkit.livebook import TradingResult as TradingResult
from zqkit.livebook import empty_position as empty_position

TZ: timezone

_V = TypeVar("_V", bound=LiveObject)

def timestamp(day: str, clock: str) -> int | None: ...
def finite(value: object) -> int | float | None: ...

class Native:
    module: ModuleType
    handle: Any
    def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None: ...
    def request(self, method: str, data: dict[str, Any], request_id: int) -> int: ...
    def poll(self) -> Any: ...
    def close(self) -> None: ...

QUERY: dict[str, str]
SYNC_STEPS: tuple[str, ...]
PHASE_LABELS: dict[str, str]
QUERY_LABELS: dict[str, str]
ACCOUNT_FIELDS: dict[str, str]
OFFSET_BY_FLAG: dict[str, str]
FLAG_BY_OFFSET: dict[str, str]

def local_order_id(front: object, session: object, order_ref: object) -> str: ...
def order_offset(value: object) -> str: ...

class Trading:
    """Private protocol state is committed to user objects only by wait_update."""

    config: CtpAccount | None
    timeout: float
    objects: MutableMapping[int, object]
    factory: Callable[[CtpAccount, str], Any]
    account: Account
    session_status: str
    published_status: str
    positions: LiveMap[Position]
    orders: LiveMap[Order]
    trades: list[Trade]
    trade_views: dict[tuple[str, str, str], Trade]
    a: dict[str, Any]
    p: dict[str, dict[str, Any]]
    o: dict[str, dict[str, Any]]
    t: dict[tuple[str, str, str], dict[str, Any]]
    native_orders: dict[str, dict[str, Any]]
    instruments: dict[str, dict[str, Any]]
    ref_orders: dict[tuple[Any, Any, str], str]
    system_orders: dict[str, str]
    pending_trades: dict[tuple[str, str, str], dict[str, Any]]
    live_trade_buffer: dict[tuple[str, str, str], dict[str, Any]]
    trade_before: set[tuple[str, str, str]]
    position_candidate: dict[str, dict[str, Any]] | None
    position_ready: bool
    pending: set[str]
    inflight: dict[str, Any] | None
    sync_index: int
    last_query: float
    last_account_refresh: float
    request_id: int
    order_ref: int
    order_revisions: dict[str, int]
    revision: int
    front: int
    session: int
    day: str
    phase: str
    phase_id: int | None
    phase_time: float
    phase_data: dict[str, Any]
    task: asyncio.Task[None] | None
    native: Any
    error: ZqError | None
    dirty: bool
    changed: asyncio.Event
    directory: str | None
    reset_pending: bool
    recovery: Recovery
    query_recovery: Recovery
    published_position_time: int | None
    def __init__(
        self,
        config: CtpAccount | None,
        timeout: float,
        objects: MutableMapping[int, object],
        *,
        native_factory: Callable[[CtpAccount, str], Any] = ...,
    ) -> None: ...
    @overload
    def position_view(self, symbol: None) -> LiveMap[Position]: ...
    @overload
    def position_view(self, symbol: str) -> Position: ...
    def start(self) -> None: ...
    def _open_native(self) -> None: ...
    def _close_native(self) -> None: ...
    def _clear_cache(self, status: str) -> None: ...
    def _touch(self) -> None: ...
    def _status(self, value: str) -> None: ...
    def _request(self, method: str, fields: dict[str, Any] | None = None) -> tuple[int, int]: ...
    def _phase_request(
        self, phase: str, method: str, data: dict[str, Any] | None = None
    ) -> None: ...
    def _schedule_account(self) -> None: ...
    async def run(self) -> None: ...
    def event(self, event: dict[str, Any]) -> None: ...
    def _query_error(self, code: int, message: str) -> None: ...
    def tick(self, now: float) -> None: ...
    def _complete(self, query: dict[str, Any]) -> None: ...
    def _complete_account(self, rows: list[dict[str, Any]], now_ms: int) -> None: ...
    def _positions(
        self, rows: list[dict[str, Any]], updated: int | None
    ) -> dict[str, dict[str, Any]]: ...
    def _by_ref(self, ref: object) -> dict[str, Any] | None: ...
    @staticmethod
    def _is_spec_order(row: dict[str, Any]) -> bool: ...
    @staticmethod
    def _is_spec_trade(row: dict[str, Any]) -> bool: ...
    def _child(self, row: dict[str, Any]) -> dict[str, Any]: ...
    def _order(self, row: dict[str, Any], query_revision: int | None = None) -> None: ...
    def _trade_id(self, row: dict[str, Any]) -> str: ...
    def _trade_key(self, row: dict[str, Any]) -> tuple[str, str, str]: ...
    def _trade(self, row: dict[str, Any], *, update_position: bool) -> bool: ...
    def _apply_position_trade(self, row: dict[str, Any]) -> None: ...
    def _free_parts(self, symbol: str, side: str) -> tuple[int, int]: ...
    def _recompute_frozen(self, symbol: str | None = None) -> None: ...
    def _aggregate(self, child: dict[str, Any] | None = None) -> None: ...
    async def insert(
        self, symbol: str, direction: str, offset: str, volume: int, limit_price: float
    ) -> list[TradingResult]: ...
    async def _insert(
        self, symbol: str, direction: str, offset: str, volume: int, limit_price: float
    ) -> list[TradingResult]: ...
    def cancel(self, order_id: str) -> list[TradingResult]: ...
    def _update_view(
        self, obj: LiveObject, values: Mapping[str, Any], changes: dict[int, set[str]]
    ) -> set[str]: ...
    def _map_view(
        self,
        view: LiveMap[_V],
        key: str,
        values: Mapping[str, Any],
        changes: dict[int, set[str]],
    ) -> _V: ...
    def commit(self, changes: dict[int, set[str]]) -> bool: ...
    async def close(self) -> None: ...
