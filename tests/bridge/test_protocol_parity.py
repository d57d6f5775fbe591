"""Where the protocol is subtle, a C++ coroutine does exactly what the same `async def` does.

Each case runs the same steps on a C++ coroutine from the bridge and on its `async def`
equivalent and compares what the caller sees.
"""

import asyncio
import sys
import threading

import pytest
from conftest import Probe, run

from zqkit import _bridge_check as m


async def py_await_value(awaitable):
    return await awaitable


async def py_catch_error(awaitable):
    try:
        return await awaitable
    except BaseException as error:
        return error


def in_big_stack(function):
    """Runs `function` on a thread with a large C stack and returns what it returned or raised.

    A chain deep enough to pass the recursion limit must fail with RecursionError whatever the
    stack costs of a level (sanitizer builds use several times more), so the stack itself is
    never the limit here.
    """
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:
            outcome["error"] = error

    previous = threading.stack_size(512 * 1024 * 1024)
    try:
        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    return outcome


# The levels below the one that failed were never started, and say so when collected.
@pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited")
@pytest.mark.parametrize("make", [m.await_value, py_await_value], ids=["cpp", "python"])
def test_a_chain_too_deep_raises_recursion_error(make):
    depth = 100_000

    def build_and_run():
        chain = asyncio.sleep(0, "bottom")
        for _ in range(depth):
            chain = make(chain)
        return asyncio.run(chain)

    outcome = in_big_stack(build_and_run)
    assert isinstance(outcome.get("error"), RecursionError), outcome


def test_a_chain_within_the_limit_still_works():
    chain = asyncio.sleep(0, "bottom")
    for _ in range(200):
        chain = m.await_value(chain)
    assert run(chain) == "bottom"


@pytest.mark.parametrize("outer", [m.await_value, py_await_value], ids=["cpp", "python"])
@pytest.mark.parametrize("inner", [m.sleep_then, None], ids=["cpp-inner", "python-inner"])
def test_a_suspended_coroutine_refuses_a_second_awaiter(outer, inner):
    async def py_sleep_then(delay, value):
        await asyncio.sleep(delay)
        return value

    make_inner = inner or py_sleep_then

    async def main():
        suspended = make_inner(0.01, "value")
        first = asyncio.ensure_future(m.await_value(suspended))
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            await outer(suspended)
        # The first awaiter kept every step of its own.
        assert await first == "value"

    run(main())


class BrokenThrow:
    """An awaitable whose iterator fails when its `throw` is looked up."""

    def __init__(self):
        self.resumed = 0

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        self.resumed += 1
        if self.resumed > 2:
            raise StopIteration("finished")
        return "step"

    @property
    def throw(self):
        raise LookupError("no throw today")


@pytest.mark.parametrize("make", [m.catch_error, py_catch_error], ids=["cpp", "python"])
def test_a_failing_throw_lookup_reaches_the_caller_and_keeps_the_coroutine(make):
    awaitable = BrokenThrow()
    coroutine = make(awaitable)
    assert coroutine.send(None) == "step"
    with pytest.raises(LookupError, match="no throw today"):
        coroutine.throw(KeyError("thrown"))
    # Still suspended on the same iterator: the next step continues it.
    assert coroutine.cr_suspended
    assert coroutine.send(None) == "step"
    with pytest.raises(StopIteration) as stop:
        coroutine.send(None)
    assert stop.value.value == "finished"


@pytest.mark.parametrize("make", [m.catch_error, py_catch_error], ids=["cpp", "python"])
def test_close_returns_what_the_body_returns_while_closing(make):
    coroutine = make(Probe())
    coroutine.send(None)
    closed = coroutine.close()
    if sys.version_info >= (3, 13):
        assert type(closed) is GeneratorExit
    else:
        assert closed is None
