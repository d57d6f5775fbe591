"""What `Client` adds around the trading session: which of its objects `is_changing` accepts,
when new trades came in, and when the session has ended for good."""

from __future__ import annotations

from zqkit.data import ZqError
from zqkit.livebook import LiveMap, LiveObject, Trade

__all__ = ["MEMBERS", "TradesWatch", "trading_failure", "view_field_names"]

# The mark a commit leaves on a map or on the trades list when items came or went.
MEMBERS = "__members__"
_NO_FIELDS: frozenset[str] = frozenset()


def view_field_names(trading: object, obj: object) -> frozenset[str] | None:
    """The field names `is_changing` accepts for a trading object, None for another object."""
    if obj is trading.trades:
        return _NO_FIELDS
    if isinstance(obj, LiveMap):
        return frozenset(obj.item_type.fields)
    if isinstance(obj, LiveObject):
        return frozenset(type(obj).fields)
    return None


def trading_failure(trading: object | None) -> ZqError | None:
    """The error that ended the session for good, once the user has been shown "ERROR"."""
    if trading is None or trading.published_status != "ERROR":
        return None
    return trading.error


class TradesWatch:
    """Marks the trades list as changing exactly when a commit added trades to it.

    A commit marks the list for new trades, but also for trades it revised or dropped
    (a new trading day); only additions count. The trades known before are held (not
    only their ids) so that a dropped trade's id cannot come back as a new trade's.
    """

    def __init__(self, trades: list[Trade]) -> None:
        self._trades = trades
        # Only commits change the list, and each marks it when items came or went, so
        # this stays in step with it.
        self._known: dict[int, Trade] = {}

    def after_commit(self, changes: dict[int, set[str]]) -> None:
        key = id(self._trades)
        marks = changes.get(key)
        if not marks:
            return
        added = False
        if MEMBERS in marks:
            current = {id(trade): trade for trade in self._trades}
            added = any(identity not in self._known for identity in current)
            self._known = current
        if added:
            changes[key] = {MEMBERS}
        else:
            del changes[key]
