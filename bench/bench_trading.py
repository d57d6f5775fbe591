"""Event dispatch of zqkit.trading's `Trading` against the pure-Python session, in the same run.

A session in "READY" on a scripted binding receives the returns of 100 working orders, then
their fills interleaved: a trade and the order return that follows it, four fills per order,
on two exchanges. Both sessions receive the same events; the figure is the events dispatched
per second through `Trading.event`, the best of alternating rounds.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "trading"))

from trading_helpers import (  # noqa: E402
    CONFIG,
    FakeBinding,
    FakeClock,
    Harness,
    order_row,
    trade_row,
)

import reference_trading  # noqa: E402
import zqkit.trading  # noqa: E402

ORDERS = 100
FILLS = 4
SYMBOLS = ("SHFE.rb2610", "DCE.m2609")
FIRST_REF = 13


def dispatch_events() -> list[dict]:
    """The working orders' returns, then every fill as a trade followed by its order return."""
    events = []
    for n in range(ORDERS):
        row = order_row(FIRST_REF + n, f"{n + 1:>12}", symbol=SYMBOLS[n % 2], volume=FILLS)
        events.append({"name": "RtnOrder", "data": row})
    trade_id = 0
    for fill in range(1, FILLS + 1):
        for n in range(ORDERS):
            trade_id += 1
            symbol, sys_id = SYMBOLS[n % 2], f"{n + 1:>12}"
            events.append({"name": "RtnTrade", "data": trade_row(trade_id, sys_id, symbol=symbol)})
            status = "0" if fill == FILLS else "1"
            row = order_row(
                FIRST_REF + n, sys_id, symbol=symbol, volume=FILLS, traded=fill, status=status
            )
            events.append({"name": "RtnOrder", "data": row})
    return events


def ready_session(module):
    """A "READY" session of `module` on a scripted binding. The module's clock stays a fake one
    (set to the same instant for every session), so both sides stamp their records alike."""
    clock = FakeClock()
    module.time = clock
    binding = FakeBinding()
    session = module.Trading(CONFIG, 10, {}, native_factory=binding.factory)
    Harness(session, binding, clock).ready()
    return session


def events_per_second(module, events, rounds: int) -> float:
    """The best rate over `rounds` fresh sessions."""
    best = 0.0
    for _ in range(rounds):
        dispatch = ready_session(module).event
        started = time.perf_counter()
        for event in events:
            dispatch(event)
        best = max(best, len(events) / (time.perf_counter() - started))
    return best


def check_same_outcome(events) -> None:
    """Both sessions end with the same books, or the comparison means nothing."""
    native, python = (ready_session(module) for module in (zqkit.trading, reference_trading))
    for session in (native, python):
        for event in events:
            session.event(event)
    for name in ("o", "t", "p", "native_orders", "pending_trades", "a"):
        assert getattr(native, name) == getattr(python, name), name


def main() -> int:
    try:
        return compare(dispatch_events())
    finally:
        zqkit.trading.time = reference_trading.time = time


def compare(events) -> int:
    if not hasattr(zqkit.trading, "Trading"):
        rate = events_per_second(reference_trading, events, rounds=5)
        print(f"event dispatch ({len(events)} events): pure Python {rate:,.0f}/s")
        print("zqkit.trading has no Trading yet: nothing to compare")
        return 0
    check_same_outcome(events)
    native = python = 0.0
    for _ in range(5):  # alternate, so a busy machine slows both sides alike
        native = max(native, events_per_second(zqkit.trading, events, rounds=3))
        python = max(python, events_per_second(reference_trading, events, rounds=3))
    print(f"event dispatch ({len(events)} events per session, {ORDERS} working orders)")
    print(f"  zqkit.trading   {native:12,.0f} events/s")
    print(f"  pure Python     {python:12,.0f} events/s")
    print(f"  ratio           {native / python:12.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
