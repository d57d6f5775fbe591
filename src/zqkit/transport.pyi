"""Async I/O. This module never mutates user-visible market objects."""

import asyncio as asyncio
import hashlib as hashlib
import hmac as hmac
import json as json
import time as time
from collections import OrderedDict as OrderedDict
from collections import deque as deque
from collections.abc import Awaitable, Callable, Iterator, Mapping, Sequence
from typing import Any

import aiohttp as aiohttp
from yarl import URL as URL

from zqkit.data import ZqError as ZqError
from zqkit.data import decode as decode
from zqkit.errors import Recovery as Recovery

_PendingEntry = tuple[int, str, list[Any], int]

_SIGNING_SECRET: bytes

def _signature_headers(method: str, url: URL) -> dict[str, str]: ...

class _RetryMarketError(Exception):
    """仅供行情恢复流程使用的可重试服务故障。"""

class _PendingMarket:
    """保留尚未提交的最新行情状态，同时让恢复快照先于实时推送提交。"""

    snapshots: deque[_PendingEntry]
    live: OrderedDict[tuple[Any, ...], _PendingEntry]
    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_PendingEntry]: ...
    def append(self, item: _PendingEntry) -> None: ...
    def appendleft(self, item: _PendingEntry) -> None: ...
    def popleft(self) -> _PendingEntry: ...
    def clear(self) -> None: ...

class Transport:
    token: str
    auth_url: str
    _verified_until: float
    _auth_lock: asyncio.Lock
    url: str
    ws_url: str
    timeout: float
    restore: Callable[[], Awaitable[Sequence[tuple[str, Any]]]]
    session: aiohttp.ClientSession | None
    channels: set[str]
    _kline_channel_count: int
    acked: set[str]
    incoming: _PendingMarket
    changed: asyncio.Event
    subscriptions_changed: asyncio.Event
    ack_changed: asyncio.Event
    task: asyncio.Task[None] | None
    generation: int
    sequence: int
    ready: bool
    _connection_announced: bool
    fatal_error: ZqError | None
    ws: aiohttp.ClientWebSocketResponse | None
    recovery: Recovery
    bootstrap_task: asyncio.Task[None] | None
    _sent: set[str]
    def __init__(
        self,
        url: str,
        timeout: float,
        restore: Callable[[], Awaitable[Sequence[tuple[str, Any]]]],
        token: str,
        auth_url: str,
    ) -> None: ...
    async def client(self) -> aiohttp.ClientSession: ...
    async def verify_account(self) -> None: ...
    async def get(self, path: str, params: Mapping[str, Any] | None = None) -> Any: ...
    def _report_ready(self) -> None: ...
    def subscribe(self, channel: str) -> None: ...
    def unsubscribe(self, channel: str) -> None: ...
    def _pending_limit(self) -> int: ...
    def start(self) -> None: ...
    def raise_error(self) -> None: ...
    async def wait_ack(self, channel: str) -> None: ...
    async def send_subscriptions(self) -> None: ...
    async def receive(self) -> None: ...
    async def bootstrap(self) -> None: ...
    async def _guard_ready(self) -> None: ...
    async def run(self) -> None: ...
    async def next_batch(self) -> list[_PendingEntry]: ...
    async def close(self) -> None: ...
