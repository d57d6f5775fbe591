"""Overhead of the C++ coroutine bridge against the same coroutines written in Python.

Run: .venv/bin/python bench/bench_bridge.py
"""

import asyncio
import time

from zqkit import _bridge_check as native


async def sleep_rounds(rounds):
    for _ in range(rounds):
        await asyncio.sleep(0)


async def return_value(value):
    return value


async def immediate(number):
    return number


async def sum_children(count):
    total = 0
    for i in range(count):
        total += await immediate(i)
    return total


def _awaiting_returns(function):
    async def loop(rounds):
        for _ in range(rounds):
            await function(None)

    return loop


def _best_seconds(factory, rounds: int, repeats: int = 5) -> float:
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        asyncio.run(factory(rounds))
        best = min(best, time.perf_counter() - started)
    return best / rounds


CASES = [
    ("await asyncio.sleep(0) in a loop", sleep_rounds, native.sleep_rounds, 100_000),
    (
        "call + await of an immediate return",
        _awaiting_returns(return_value),
        _awaiting_returns(native.return_value),
        500_000,
    ),
    ("child await of an immediate return", sum_children, native.sum_children, 1_000_000),
]


def main() -> None:
    print(f"{'case':<40} {'python':>10} {'C++':>10} {'C++/python':>11}")
    for title, python_version, native_version, rounds in CASES:
        python_time = _best_seconds(python_version, rounds)
        native_time = _best_seconds(native_version, rounds)
        print(
            f"{title:<40} {python_time * 1e9:>8.0f}ns {native_time * 1e9:>8.0f}ns"
            f" {native_time / python_time:>11.2f}"
        )


if __name__ == "__main__":
    main()
