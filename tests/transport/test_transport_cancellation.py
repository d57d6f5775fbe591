"""Cancellation reaches every per-connection coroutine where it waits, and `close` itself."""

import asyncio

import pytest
from market_service import REAL_SLEEP, Service, run

from zqkit.transport import Transport


class Socket:
    """A socket whose sends and reads never complete."""

    def __init__(self):
        self.sending = asyncio.Event()

    async def send_str(self, data):
        self.sending.set()
        await asyncio.sleep(3600)

    def __aiter__(self):
        return self

    async def __anext__(self):
        self.sending.set()
        await asyncio.sleep(3600)


async def cancelled(coroutine, reached):
    task = asyncio.create_task(coroutine)
    await reached()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


def make():
    t = Transport("http://h", 5, None, "tok", "http://a")
    t._verified_until = float("inf")
    return t


@pytest.mark.parametrize("method", ["send_subscriptions", "receive"])
def test_cancelled_while_the_socket_is_busy(method):
    async def main():
        t = make()
        t.ws = Socket()
        t.subscribe("zq:quote:A.a")
        await cancelled(getattr(t, method)(), t.ws.sending.wait)
        assert t.sequence == 0 and t.fatal_error is None

    run(main())


def test_sender_cancelled_while_waiting_for_new_channels():
    async def main():
        t = make()
        t.ws = Socket()

        async def idle():
            await REAL_SLEEP(0.01)

        await cancelled(t.send_subscriptions(), idle)
        assert not t.ws.sending.is_set()

    run(main())


def test_guard_cancelled_between_checks():
    async def main():
        t = make()
        t.ready = True
        t.recovery.begin()

        async def announced():
            while t.recovery.active:
                await REAL_SLEEP(0)

        await cancelled(t._guard_ready(), announced)
        assert t._connection_announced

    run(main())


def test_close_cancelled_during_its_pause(fake_asyncio):
    async def main():
        async with Service() as service:
            t = service.transport()
            t.start()
            await REAL_SLEEP(0.05)
            fake_asyncio.sleep = lambda delay: asyncio.sleep(3600)

            async def run_stopped():
                while not t.task.done():
                    await REAL_SLEEP(0.005)
                await REAL_SLEEP(0.01)

            await cancelled(t.close(), run_stopped)
            assert t.task.cancelled() and t.session.closed

    run(main())
