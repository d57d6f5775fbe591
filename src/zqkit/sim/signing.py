"""Request signatures: HMAC-SHA256 over timestamp, method, raw path and raw query."""

from __future__ import annotations

import hashlib
import hmac
import re
from collections.abc import Mapping

__all__ = ["TIMESTAMP_HEADER", "SIGNATURE_HEADER", "check_signature", "secret_bytes", "sign"]

TIMESTAMP_HEADER = "X-ZQ-Timestamp"
SIGNATURE_HEADER = "X-ZQ-Signature"
_HEX64 = re.compile(r"[0-9a-f]{64}")
# Whole seconds; twelve digits reach far beyond any sane clock and keep int() cheap.
_SECONDS = re.compile(r"[0-9]{1,12}")


def secret_bytes(secret: bytes | str) -> bytes:
    """The signing key as its 64 ASCII bytes; refuses anything but 64 lowercase hex digits."""
    if isinstance(secret, str):
        secret = secret.encode("ascii", "replace")
    if not isinstance(secret, bytes) or not _HEX64.fullmatch(secret.decode("ascii", "replace")):
        raise ValueError("signing secret must be 64 lowercase hexadecimal characters")
    return secret


def sign(secret: bytes, timestamp: str, method: str, raw_path: str, raw_query: str) -> str:
    message = "\n".join((timestamp, method.upper(), raw_path, raw_query))
    return hmac.new(secret, message.encode(), hashlib.sha256).hexdigest()


def check_signature(
    secret: bytes,
    headers: Mapping[str, str],
    method: str,
    raw_path: str,
    raw_query: str,
    *,
    now: float,
    max_skew: float,
) -> str | None:
    """Why the request's signature is not acceptable, or None when it is."""
    timestamp = headers.get(TIMESTAMP_HEADER)
    signature = headers.get(SIGNATURE_HEADER)
    if timestamp is None or signature is None:
        return "缺少签名"
    if not _SECONDS.fullmatch(timestamp):
        return "签名时间戳无效"
    if abs(now - int(timestamp)) > max_skew:
        return "签名已过期"
    if not _HEX64.fullmatch(signature):
        return "签名无效"
    expected = sign(secret, timestamp, method, raw_path, raw_query)
    if not hmac.compare_digest(expected.encode(), signature.encode()):
        return "签名无效"
    return None
