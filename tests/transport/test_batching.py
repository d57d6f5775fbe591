"""Recovery snapshots ahead of live pushes, and batches for the API layer."""

import asyncio

import pytest
from market_service import REAL_SLEEP, run

from zqkit.data import ZqError
from zqkit.transport import Transport, _PendingMarket, _RetryMarketError


def make(restore=None):
    t = Transport("http://h", 5, restore, "tok", "http://a")
    t._verified_until = float("inf")  # verification is covered elsewhere

    async def idle():
        await asyncio.sleep(3600)

    t.run = idle  # `start` must not open a real stream here
    return t


def push(t, n, generation=None, channel=None):
    item = (t.generation if generation is None else generation,
            channel or f"zq:quote:X.a{n}", [{"n": n}], n)  # fmt: skip
    t.incoming.append(item)
    return item


async def finish(t):
    t.task.cancel()
    await asyncio.gather(t.task, return_exceptions=True)


def test_batches_hold_at_most_1000_entries():
    async def main():
        t = make()
        t.generation, t.ready = 1, True
        items = [push(t, n) for n in range(1500)]
        assert await t.next_batch() == items[:1000]
        assert await t.next_batch() == items[1000:]
        assert t.task is not None
        await finish(t)

    run(main())


def test_stale_generations_are_dropped_and_never_returned_empty():
    async def main():
        t = make()
        t.generation, t.ready = 2, True
        push(t, 1, generation=1)
        fresh = push(t, 2)
        push(t, 3, generation=1)
        assert await t.next_batch() == [fresh]

        push(t, 4, generation=1)
        waiter = asyncio.create_task(t.next_batch())
        await REAL_SLEEP(0.01)
        assert not waiter.done() and len(t.incoming) == 0
        later = push(t, 5)
        t.changed.set()
        assert await waiter == [later]
        await finish(t)

    run(main())


def test_nothing_before_the_snapshots_are_in():
    async def main():
        snapshots = [("zq:quote:A.a", ["a"]), ("zq:quote:B.b", ["b"]), ("zq:quote:C.c", ["c"])]

        async def restore():
            return snapshots

        t = make(restore)
        t.generation = 1
        live = push(t, 1)
        waiter = asyncio.create_task(t.next_batch())
        await REAL_SLEEP(0.01)
        assert not waiter.done()
        t.subscribe("zq:quote:A.a")
        t.acked.add("zq:quote:A.a")
        t.recovery.begin()
        await t.bootstrap()
        assert t.ready and not t.recovery.active and t._connection_announced
        assert await waiter == [(1, c, rows, 0) for c, rows in snapshots] + [live]
        await finish(t)

    run(main())


def test_bootstrap_refuses_more_than_the_pending_limit():
    async def main():
        async def restore():
            return [("zq:quote:A.a", [])] * 1000

        t = make(restore)
        for n in range(1049):
            push(t, n)
        with pytest.raises(_RetryMarketError):
            await t.bootstrap()
        assert not t.ready and len(t.incoming) == 1049

        t.incoming.clear()
        await t.bootstrap()
        assert len(t.incoming) == 1000 and t.changed.is_set()

    run(main())


def test_bootstrap_checks_for_a_fatal_error_after_restoring():
    async def main():
        error = ZqError("行情服务异常")

        async def restore():
            t.fatal_error = error
            return [("zq:quote:A.a", [])]

        t = make(restore)
        with pytest.raises(ZqError) as caught:
            await t.bootstrap()
        assert caught.value is error and not t.ready

        async def bad_restore():
            return [("zq:quote:A.a",)]

        t = make(bad_restore)
        with pytest.raises(ValueError, match="not enough values to unpack"):
            await t.bootstrap()

    run(main())


def test_fatal_error_wakes_and_raises():
    async def main():
        t = make()
        waiter = asyncio.create_task(t.next_batch())
        await REAL_SLEEP(0.01)
        error = ZqError("行情服务拒绝连接", status=403)
        t.fatal_error = error
        t.changed.set()
        with pytest.raises(ZqError) as caught:
            await waiter
        assert caught.value is error
        await finish(t)

    run(main())


def test_cancellation_while_waiting():
    async def main():
        t = make()
        waiter = asyncio.create_task(t.next_batch())
        await REAL_SLEEP(0.01)
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter

        async def restore():
            await asyncio.sleep(3600)

        t2 = make(restore)
        task = asyncio.create_task(t2.bootstrap())
        await REAL_SLEEP(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert not t2.ready
        await finish(t)

    run(main())


def test_a_stand_in_buffer_is_used_through_its_methods():
    class Recording(_PendingMarket):
        def __init__(self):
            super().__init__()
            self.calls = []

        def append(self, item):
            self.calls.append("append")
            super().append(item)

        def popleft(self):
            self.calls.append("popleft")
            return super().popleft()

    async def main():
        t = make()
        t.incoming = Recording()
        t.generation, t.ready = 1, True
        item = push(t, 1)
        assert await t.next_batch() == [item]
        assert t.incoming.calls == ["append", "popleft"]
        await finish(t)

    run(main())
