"""The trading benchmark's load: what it dispatches must be what it claims (no timings)."""

import time

import bench_trading
import reference_trading


def test_the_load_fills_every_working_order_on_both_exchanges():
    events = bench_trading.dispatch_events()
    assert len(events) == bench_trading.ORDERS * (1 + 2 * bench_trading.FILLS)
    try:
        session = bench_trading.ready_session(reference_trading)
        for event in events:
            session.event(event)
    finally:
        reference_trading.time = time
    native = list(session.native_orders.values())
    assert len(native) == bench_trading.ORDERS
    assert {order["status"] for order in native} == {"FILLED"}
    assert len(session.t) == bench_trading.ORDERS * bench_trading.FILLS
    lots = bench_trading.ORDERS // 2 * bench_trading.FILLS
    for symbol in bench_trading.SYMBOLS:
        assert session.p[symbol]["pos_long"] == lots, symbol
