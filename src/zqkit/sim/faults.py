"""Faults that tests arm on a running simulation; each one is used up as it fires."""

from __future__ import annotations

import asyncio
import json
from dataclasses import dataclass

__all__ = ["BAD_FRAME_KINDS", "HTTP_KINDS", "Faults", "HttpFault", "bad_frame"]

HTTP_KINDS = ("verify", "query", "handshake")
BAD_FRAME_KINDS = ("not_json", "not_object", "binary", "bad_item", "unsubscribed", "oversized")
# A channel no subscription can reach: the symbol is not one the simulation trades.
UNSUBSCRIBED_CHANNEL = "zq:quote:SIM.unsubscribed"


@dataclass
class HttpFault:
    """The answer given, instead of the real one, to the next `remaining` requests."""

    status: int
    retry_after: str | None
    remaining: int


class Faults:
    """Armed faults of one simulation."""

    def __init__(self) -> None:
        self._http: dict[str, HttpFault] = {}
        self.bad_frame: str | None = None
        self.refusals = 0
        self.early_pushes = 0
        self._flowing = asyncio.Event()
        self._flowing.set()
        self._stall_timer: asyncio.TimerHandle | None = None

    def fail_http(self, kind: str, count: int, status: int, retry_after: str | None) -> None:
        if kind not in HTTP_KINDS:
            raise ValueError(f"kind must be one of {', '.join(HTTP_KINDS)}: {kind!r}")
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise ValueError("count must be a non-negative int")
        if isinstance(status, bool) or not isinstance(status, int) or not 400 <= status <= 599:
            raise ValueError("status must be an HTTP error status (400-599)")
        if retry_after is None and status == 429:
            retry_after = "1"
        if count == 0:
            self._http.pop(kind, None)
        else:
            self._http[kind] = HttpFault(status, retry_after, count)

    def take_http(self, kind: str) -> HttpFault | None:
        """The armed fault of `kind` for this request, counting it as used."""
        fault = self._http.get(kind)
        if fault is None:
            return None
        fault.remaining -= 1
        if fault.remaining <= 0:
            del self._http[kind]
        return fault

    def arm_bad_frame(self, kind: str) -> None:
        if kind not in BAD_FRAME_KINDS:
            raise ValueError(f"kind must be one of {', '.join(BAD_FRAME_KINDS)}: {kind!r}")
        self.bad_frame = kind

    def take_bad_frame(self) -> str | None:
        kind, self.bad_frame = self.bad_frame, None
        return kind

    def take_early_push(self) -> bool:
        if self.early_pushes <= 0:
            return False
        self.early_pushes -= 1
        return True

    def take_refusal(self) -> bool:
        if self.refusals <= 0:
            return False
        self.refusals -= 1
        return True

    @property
    def stalled(self) -> bool:
        return not self._flowing.is_set()

    def stall(self, seconds: float) -> None:
        """Hold pushes and acknowledgements for `seconds`; a later call replaces the term."""
        if not seconds >= 0:
            raise ValueError("seconds must be a non-negative number")
        if self._stall_timer is not None:
            self._stall_timer.cancel()
        self._flowing.clear()
        self._stall_timer = asyncio.get_running_loop().call_later(seconds, self.resume)

    def resume(self) -> None:
        if self._stall_timer is not None:
            self._stall_timer.cancel()
            self._stall_timer = None
        self._flowing.set()

    async def flowing(self) -> None:
        """Return once no stall is in force."""
        await self._flowing.wait()


def bad_frame(kind: str, channel: str, item: dict, oversized_bytes: int) -> str | bytes:
    """The faulty frame sent in place of the push of `item` on `channel`."""
    if kind == "not_json":
        return '{"c": "' + channel + '", "d": '
    if kind == "not_object":
        return "[]"
    if kind == "binary":
        return _dumps({"c": channel, "d": item}).encode()
    if kind == "bad_item":
        # Drops a key every layout requires.
        return _dumps({"c": channel, "d": {key: v for key, v in item.items() if key != "oi"}})
    if kind == "unsubscribed":
        return _dumps({"c": UNSUBSCRIBED_CHANNEL, "d": item})
    # oversized: a well-formed push padded past the size a client accepts.
    return _dumps({"c": channel, "d": item, "pad": "x" * oversized_bytes})


def _dumps(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), allow_nan=False)
