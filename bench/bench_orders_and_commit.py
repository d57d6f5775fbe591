"""`Trading.insert` and `Trading.commit` of zqkit.trading against the pure-Python session.

insert: a committed "READY" session on a scripted binding that takes every request at once
places open limit orders, 100 per session (so the working book stays the size of the commit
figure's), alternating two exchanges and both directions; the figure is inserts per second,
each driven to completion as the awaiting code would (it never suspends).

commit: a session with 100 working orders receives their fills (a trade and the order return
that follows it) and is committed after every 100 dispatched events, as a user's update loop
would; the figure is the time of one commit. Both sessions get the same events, and the
committed views are compared before anything is timed.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "trading"))

from trading_helpers import CONFIG, FakeBinding, FakeClock, Harness, instrument_row  # noqa: E402

import reference_trading  # noqa: E402
import zqkit.trading  # noqa: E402
from bench_trading import dispatch_events  # noqa: E402

BOOK = 100
COMMIT_EVERY = 100
ORDERS = [
    ("SHFE.rb2610" if n % 2 else "DCE.m2609", "BUY" if n % 4 < 2 else "SELL", 3500.0 + n % 7)
    for n in range(BOOK)
]


def accept(method, data, request_id):
    return 0


def tradable(symbol: str) -> dict:
    row = instrument_row(symbol)
    row.update(IsTrading=1, PriceTick=1.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=1000)
    return row


def committed_session(module):
    """A committed "READY" session of `module`; its clock is a fake one set to the same instant
    for every session, so both sides stamp their records alike."""
    clock = FakeClock()
    module.time = clock
    binding = FakeBinding()
    session = module.Trading(CONFIG, 10, {}, native_factory=binding.factory)
    Harness(session, binding, clock).ready(
        instruments=[tradable("SHFE.rb2610"), tradable("DCE.m2609")]
    )
    session.commit({})
    session.native.request = accept  # the counter takes every request at once
    return session


def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("insert suspended")


def place_book(session) -> list:
    insert = session.insert
    return [drive(insert(symbol, side, "OPEN", 1, price)) for symbol, side, price in ORDERS]


def inserts_per_second(module, sessions: int) -> float:
    best = 0.0
    for _ in range(sessions):
        insert = committed_session(module).insert
        module.time = time
        started = time.perf_counter()
        for symbol, side, price in ORDERS:
            drive(insert(symbol, side, "OPEN", 1, price))
        best = max(best, BOOK / (time.perf_counter() - started))
    return best


def commit_seconds(module, events, sessions: int) -> float:
    """The mean time of one commit, best over `sessions` fresh sessions."""
    best = float("inf")
    for _ in range(sessions):
        session = committed_session(module)
        dispatch, commit = session.event, session.commit
        spent, commits = 0.0, 0
        for start in range(0, len(events), COMMIT_EVERY):
            for event in events[start : start + COMMIT_EVERY]:
                dispatch(event)
            changes: dict = {}
            started = time.perf_counter()
            commit(changes)
            spent += time.perf_counter() - started
            commits += 1
        best = min(best, spent / commits)
    return best


def views(session) -> tuple:
    return (
        dict(session.account._values),
        {key: dict(view._values) for key, view in session.positions.items()},
        {key: dict(view._values) for key, view in session.orders.items()},
        [dict(view._values) for view in session.trades],
    )


def check_same_outcome(events) -> None:
    native, python = (committed_session(m) for m in (zqkit.trading, reference_trading))
    results = place_book(native)
    assert results == place_book(python), "insert results differ"
    assert {result.status for [result] in results} == {"SUBMITTED"}
    assert native.o == python.o and native.native_orders == python.native_orders
    native, python = (committed_session(m) for m in (zqkit.trading, reference_trading))
    for session in (native, python):
        for event in events:
            session.event(event)
        session.commit({})
    assert views(native) == views(python), "committed views differ"


def main() -> int:
    try:
        return compare(dispatch_events())
    finally:
        zqkit.trading.time = reference_trading.time = time


def compare(events) -> int:
    check_same_outcome(events)
    native_rate = python_rate = 0.0
    native_commit = python_commit = float("inf")
    for _ in range(5):  # alternate, so a busy machine slows both sides alike
        native_rate = max(native_rate, inserts_per_second(zqkit.trading, sessions=20))
        python_rate = max(python_rate, inserts_per_second(reference_trading, sessions=20))
        native_commit = min(native_commit, commit_seconds(zqkit.trading, events, sessions=3))
        python_commit = min(python_commit, commit_seconds(reference_trading, events, sessions=3))
    print(f"insert (open orders, {BOOK} per session)")
    print(f"  zqkit.trading   {native_rate:12,.0f} inserts/s")
    print(f"  pure Python     {python_rate:12,.0f} inserts/s")
    print(f"  ratio           {native_rate / python_rate:12.1f}x")
    print(f"commit (after every {COMMIT_EVERY} events, {BOOK} working orders)")
    print(f"  zqkit.trading   {native_commit * 1e6:12,.1f} us")
    print(f"  pure Python     {python_commit * 1e6:12,.1f} us")
    print(f"  ratio           {python_commit / native_commit:12.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
