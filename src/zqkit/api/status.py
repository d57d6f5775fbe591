"""The market connection's state as the user sees it, and how it moves.

`Client` keeps a private `MarketStatus` that the transport's events move at once and
commits it in `wait_update`, so the visible one changes only there. Pure functions over
immutable values.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

__all__ = [
    "MarketStatus",
    "arrived",
    "connecting",
    "failed",
    "failure_reason",
    "ready",
    "restoring",
]

CONNECTING, RESTORING, READY, FAILED = "connecting", "restoring", "ready", "failed"
# WebSocket close codes (RFC 6455) a market stream ends with, in the user's words.
_CLOSE_REASONS = {
    1001: "行情服务关闭了连接",
    1006: "行情连接意外中断",
    1008: "行情服务认为协议有误",
    1009: "行情消息超过大小上限",
    1013: "行情服务因读取过慢断开连接",
}


@dataclass(frozen=True)
class MarketStatus:
    """The market connection as of the last `wait_update`.

    `state` is "connecting" (no stream: opening one or waiting to retry), "restoring"
    (stream open, snapshots being queried), "ready" (snapshots in, pushes flowing) or
    "failed" (ended for good; `wait_update` raises the error). `reason` says why the
    last connection or attempt ended (None until one did), `connections` counts the
    streams opened so far, `failures` the failed attempts since the stream was last
    ready, and `data_at` is the event-loop time (`loop.time()`) at which market data
    last arrived (None until it did): a "ready" stream with an old `data_at` is a quiet
    market, a "connecting" one is not.
    """

    state: str = CONNECTING
    reason: str | None = None
    connections: int = 0
    failures: int = 0
    data_at: float | None = None


FIELDS = frozenset(field.name for field in dataclasses.fields(MarketStatus))


def connecting(status: MarketStatus, reason: str) -> MarketStatus:
    """A stream or an attempt to open one failed; another attempt follows."""
    return dataclasses.replace(
        status, state=CONNECTING, reason=reason, failures=status.failures + 1
    )


def restoring(status: MarketStatus, connections: int) -> MarketStatus:
    return dataclasses.replace(status, state=RESTORING, connections=connections)


def ready(status: MarketStatus) -> MarketStatus:
    return dataclasses.replace(status, state=READY, failures=0)


def failed(status: MarketStatus, reason: str) -> MarketStatus:
    return dataclasses.replace(status, state=FAILED, reason=reason)


def arrived(status: MarketStatus, now: float) -> MarketStatus:
    return dataclasses.replace(status, data_at=now)


def changed_fields(old: MarketStatus, new: MarketStatus) -> set[str]:
    return {name for name in FIELDS if getattr(old, name) != getattr(new, name)}


def failure_reason(
    *,
    connected: bool,
    close_code: int | None,
    socket_error: BaseException | None,
    overflow: bool,
    restore_failed: bool,
) -> str:
    """Why a connection ended, from what its socket and buffer showed at that moment."""
    if not connected:
        return "无法连接行情服务"
    if socket_error is not None:
        return f"行情 WebSocket 接收失败：{socket_error}"
    if close_code is not None:
        return f"{_CLOSE_REASONS.get(close_code, '行情连接已关闭')}（代码 {close_code}）"
    if overflow:
        return "行情处理跟不上推送，重新连接以同步"
    if restore_failed:
        return "恢复快照查询失败"
    return "行情连接中断"
