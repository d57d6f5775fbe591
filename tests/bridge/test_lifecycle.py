"""Frames are freed on close and garbage collection; nesting depth costs no stack; nothing leaks."""

import asyncio
import gc
import sys
import weakref

import pytest
from conftest import Probe, run

from zqkit import _bridge_check as m


def test_unstarted_coroutine_warns_when_dropped_and_releases_its_arguments():
    class Argument:
        pass

    argument = Argument()
    alive = weakref.ref(argument)
    with pytest.warns(RuntimeWarning, match="coroutine 'sleep_then' was never awaited"):
        coroutine = m.sleep_then(0, argument)
        del argument, coroutine
        gc.collect()
    assert alive() is None

    argument = Argument()
    alive = weakref.ref(argument)
    coroutine = m.sleep_then(0, argument)
    coroutine.close()  # closing an unstarted coroutine is silent
    del argument
    assert alive() is None


def test_suspended_coroutine_is_closed_when_dropped():
    probe, log = Probe(), []
    coroutine = m.guarded(m.descend(3, probe), log, False)
    coroutine.send(None)
    del coroutine
    assert probe.events == ["closed"] and log == ["cleanup"]


def test_abandoned_task_waiting_on_a_future_is_collectable():
    # task -> coroutine -> awaited future -> done callback -> task: only the coroutine's
    # tp_traverse lets the cycle collector see the middle link.
    log = []

    async def main():
        loop = asyncio.get_running_loop()
        errors = []
        loop.set_exception_handler(lambda loop, context: errors.append(context["message"]))
        task = asyncio.create_task(m.wait_forever(log))
        await asyncio.sleep(0)
        watch = weakref.ref(task)
        del task
        gc.collect()
        assert watch() is None
        assert log == ["cleanup"]
        assert errors == ["Task was destroyed but it is pending!"]

    run(main())


def test_ten_to_the_six_immediate_children_and_deep_chains():
    assert run(m.sum_children(10**6)) == sum(range(10**6))
    assert run(m.descend(20_000, asyncio.sleep(0, "bottom"))) == "bottom"

    async def cancel_deep():
        log = []
        task = asyncio.create_task(m.guarded(m.descend(20_000, asyncio.sleep(10)), log, False))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return log

    assert run(cancel_deep()) == ["cleanup"]


def _under_address_sanitizer() -> bool:
    # Its quarantine keeps freed memory resident, so RSS says nothing there.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def _resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_lifecycle_paths_leak_no_references_and_no_memory():
    token = object()

    async def fail(error):
        raise error

    async def rounds(count):
        for _ in range(count):
            assert await m.return_value(token) is token
            assert await m.sleep_then(0, token) is token
            assert (await m.catch_error(fail(LookupError(token)))).args[0] is token
            with pytest.raises(ValueError):
                await m.raise_after(asyncio.sleep(0), ValueError(token))
            m.return_value(token).close()
            suspended = m.await_value(Probe(result=token))
            suspended.send(None)
            suspended.close()
            task = asyncio.create_task(m.sleep_then(10, token))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

    run(rounds(500))
    gc.collect()
    references = sys.getrefcount(token)
    memory = _resident_bytes()
    run(rounds(10_000), timeout=60)
    gc.collect()
    assert sys.getrefcount(token) == references
    if not _under_address_sanitizer():
        assert _resident_bytes() - memory < 4 * 1024 * 1024
