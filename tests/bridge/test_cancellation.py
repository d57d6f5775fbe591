"""Cancellation and time-outs reach the exact await where a C++ coroutine is suspended."""

import asyncio

import pytest
from conftest import Probe, run

from zqkit import _bridge_check as m


def test_cancel_arrives_at_the_innermost_await_and_cleanup_may_await():
    async def main():
        probe = Probe(steps=10**6, yielded=None)
        log = []
        task = asyncio.create_task(m.guarded(m.descend(5, probe), log, True))
        await asyncio.sleep(0)
        task.cancel("stop now")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        thrown = [event for event in probe.events if event[0] == "thrown"]
        assert len(thrown) == 1 and isinstance(thrown[0][1], asyncio.CancelledError)
        assert log == ["cleanup"]

    run(main())


def test_cancel_before_the_first_step_never_runs_the_body():
    async def main():
        log = []
        task = asyncio.create_task(m.guarded(Probe(yielded=None), log, False))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == []

    run(main())


def test_swallowed_cancellation_is_uncancelled():
    async def main():
        task = asyncio.create_task(m.swallow_cancel(asyncio.sleep(10)))
        await asyncio.sleep(0)
        task.cancel()
        assert await task == "swallowed"
        assert task.cancelling() == 0
        assert await m.swallow_cancel(asyncio.sleep(0)) == "finished"
        with pytest.raises(KeyError):
            await m.swallow_cancel(m.raise_given(KeyError("not a cancellation")))

    run(main())


def test_asyncio_timeout_around_and_inside_cpp():
    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await m.descend(3, asyncio.sleep(10))
        async with asyncio.timeout(1):
            assert await m.sleep_then(0, "in time") == "in time"

        with pytest.raises(TimeoutError):
            await m.with_timeout(0.01, asyncio.sleep(10))
        assert await m.with_timeout(1, asyncio.sleep(0, "quick")) == "quick"

        # After a swallowed (and uncancelled) cancellation the task still honours a timeout.
        async def swallow_then_time_out():
            assert await m.swallow_cancel(asyncio.sleep(10)) == "swallowed"
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.01):
                    await m.sleep_then(10, None)
            return "timed out"

        task = asyncio.create_task(swallow_then_time_out())
        await asyncio.sleep(0)
        task.cancel()
        assert await task == "timed out"

    run(main())


def test_gather_wait_and_tasks_drive_cpp_coroutines():
    async def main():
        results = await asyncio.gather(
            m.sleep_then(0.01, "a"), m.return_value("b"), m.descend(2, asyncio.sleep(0, "c"))
        )
        assert results == ["a", "b", "c"]

        slow = asyncio.create_task(m.sleep_then(10, "slow"))
        fast = asyncio.create_task(m.sleep_then(0, "fast"))
        done, pending = await asyncio.wait([slow, fast], return_when=asyncio.FIRST_COMPLETED)
        assert done == {fast} and pending == {slow}
        slow.cancel()
        outcome = await asyncio.gather(slow, m.raise_given(ValueError("x")), return_exceptions=True)
        assert isinstance(outcome[0], asyncio.CancelledError)
        assert isinstance(outcome[1], ValueError)

        # A failing member of a TaskGroup cancels its C++ sibling, whose cleanup still awaits.
        log = []
        with pytest.raises(ExceptionGroup) as raised:
            async with asyncio.TaskGroup() as group:
                sibling = group.create_task(m.guarded(asyncio.sleep(10), log, True))
                group.create_task(m.raise_after(asyncio.sleep(0), ValueError("member")))
        assert [type(error) for error in raised.value.exceptions] == [ValueError]
        assert sibling.cancelled() and log == ["cleanup"]

        # A Python coroutine awaiting a C++ one passes cancellation through (three-argument throw).
        async def outer():
            return await m.sleep_then(10, None)

        task = asyncio.create_task(outer())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
