"""zqkit.data against a pure-Python equivalent, measured in the same run."""

from __future__ import annotations

import json
import math
import os
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
# An idle BLAS thread pool spinning beside the measured loop only adds noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import reference_data  # noqa: E402
from zqkit import data  # noqa: E402

SYMBOL = "SHFE.rb2610"
SERIES_LENGTH = 200

QUOTE_FRAME = json.dumps(
    {
        "s": SYMBOL,
        "t": 1_767_594_600_500,
        "d": "20260105",
        "o": 3482.0,
        "h": 3521.0,
        "l": 3475.0,
        "c": 3509.0,
        "v": 412_337,
        "m": 14_462_118_320.0,
        "oi": 1_803_114,
        "ps": 3480.0,
        "pc": 3478.0,
        "up": 3689.0,
        "dn": 3271.0,
        "b": [[3509.0, 35], [3508.0, 122], [3507.0, 87], [3506.0, 240], [3505.0, 61]],
        "a": [[3510.0, 18], [3511.0, 96], [3512.0, 143], [3513.0, 77], [3514.0, 205]],
    }
)
BAR_FRAME = json.dumps(
    {
        "s": SYMBOL,
        "t": 1_767_594_600_000,
        "d": "20260105",
        "o": 3501.0,
        "h": 3512.0,
        "l": 3499.0,
        "c": 3509.0,
        "v": 2_315,
        "m": 81_149_125.0,
        "oi": 1_803_114,
    }
)


def per_call(native, python, rounds=7, seconds=0.15):
    """Microseconds per call of both functions: the best of alternating rounds, so that a busy
    machine slows both sides alike."""
    timers = [timeit.Timer(native), timeit.Timer(python)]
    counts = [max(1, int(timer.autorange()[0] * seconds / 0.2)) for timer in timers]
    best = [math.inf, math.inf]
    for _ in range(rounds):
        for side, (timer, count) in enumerate(zip(timers, counts, strict=True)):
            best[side] = min(best[side], timer.timeit(count) / count * 1e6)
    return best


def decode_cases():
    quote, bar = json.loads(QUOTE_FRAME), json.loads(BAR_FRAME)
    assert data.decode(quote, SYMBOL, quote=True) == reference_data.decode(
        quote, SYMBOL, quote=True
    )
    assert data.decode(bar, SYMBOL) == reference_data.decode(bar, SYMBOL)
    for name, item, is_quote in (
        ("decode quote (5+5 levels)", quote, True),
        ("decode bar", bar, False),
    ):
        yield (
            name,
            *per_call(
                lambda item=item, q=is_quote: data.decode(item, SYMBOL, quote=q),
                lambda item=item, q=is_quote: reference_data.decode(item, SYMBOL, quote=q),
            ),
        )


def rejection_cases():
    broken = dict(json.loads(BAR_FRAME), v="2315")

    def reject(decode):
        try:
            decode(broken, SYMBOL)
        except data.ZqError:
            return
        raise AssertionError("a string volume must be refused")

    yield (
        "decode refused (string volume)",
        *per_call(lambda: reject(data.decode), lambda: reject(reference_data.decode)),
    )


def filled(serial_class):
    series = serial_class(SYMBOL, "1m", SERIES_LENGTH)
    first = data.decode(json.loads(BAR_FRAME), SYMBOL)
    series.update([dict(first, timestamp=first["timestamp"] - 60_000 * i) for i in range(250)])
    return series, first


def revision(serial_class):
    series, last = filled(serial_class)
    prices = [dict(last, close=3509.0 + i % 7, volume=2315.0 + i) for i in range(64)]
    state = {"i": 0}

    def revise():
        state["i"] += 1
        series.update([prices[state["i"] % 64]])

    return revise


def new_bar(serial_class):
    series, last = filled(serial_class)
    state = {"t": last["timestamp"]}

    def append():
        state["t"] += 60_000
        series.update([dict(last, timestamp=state["t"])])

    return append


def serial_cases():
    yield (
        f"Serial.update fast path (revise last bar, {SERIES_LENGTH} rows)",
        *per_call(revision(data.Serial), revision(reference_data.Serial)),
    )
    yield (
        f"Serial.update rebuild (new bar, {SERIES_LENGTH} rows)",
        *per_call(new_bar(data.Serial), new_bar(reference_data.Serial)),
    )


def main():
    print(f"Python {sys.version.split()[0]}; microseconds per call, best of 7 alternating rounds")
    print(f"{'case':<52} {'C++':>9} {'Python':>9} {'ratio':>7}")
    for name, native, python in (*decode_cases(), *rejection_cases(), *serial_cases()):
        print(f"{name:<52} {native:>9.2f} {python:>9.2f} {python / native:>6.1f}x")


if __name__ == "__main__":
    main()
