"""Subscription frames, acknowledgement waits."""

import asyncio
import json

import aiohttp
import pytest
from market_service import REAL_SLEEP, run

import zqkit.transport as transport
from zqkit.data import ZqError
from zqkit.transport import Transport

LIMIT = 15360


class RecordingSocket:
    def __init__(self, fail_with=None):
        self.frames = []
        self.fail_with = fail_with

    async def send_str(self, data):
        await REAL_SLEEP(0)
        if self.fail_with is not None:
            raise self.fail_with
        self.frames.append(data)


def make():
    return Transport("http://h", 5, None, "tok", "http://a")


async def send_once(t):
    """Runs the sender until it waits for the next change."""
    task = asyncio.create_task(t.send_subscriptions())
    for _ in range(50):
        await REAL_SLEEP(0)
    return task


async def stop(task):
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)


def channels_of(frames):
    return [c for frame in frames for c in json.loads(frame)["c"]]


def check_split(frames):
    for frame, following in zip(frames, frames[1:], strict=False):
        assert len(frame.encode()) <= LIMIT
        body = json.loads(frame)
        grown = json.dumps({"op": "sub", "c": body["c"] + json.loads(following)["c"][:1]},
                           separators=(",", ":"))  # fmt: skip
        assert len(grown.encode()) > LIMIT  # split at the first channel that would not fit


@pytest.mark.parametrize("standard_json", [True, False])
def test_frames_are_sorted_and_split_at_the_limit(monkeypatch, standard_json):
    if not standard_json:  # a patched json.dumps is honoured: every candidate is encoded
        calls = []

        class Json:
            def __getattr__(self, name):
                return getattr(json, name)

            def dumps(self, *args, **kwargs):
                calls.append(1)
                return json.dumps(*args, **kwargs)

        monkeypatch.setattr(transport, "json", Json())

    async def main():
        t = make()
        t.ws = RecordingSocket()
        wanted = [f"zq:quote:SHFE.rb{n:04d}" for n in range(1500)] + ["zq:quote:DCE.豆粕2611"]
        for channel in reversed(wanted):
            t.subscribe(channel)
        task = await send_once(t)
        frames = t.ws.frames
        assert len(frames) > 2 and channels_of(frames) == sorted(wanted)
        assert all(f.startswith('{"op":"sub","c":["') for f in frames)
        assert "\\u8c46" in frames[0]  # default ASCII escaping
        check_split(frames)

        t.subscribe("zq:kline:60:SHFE.rb2610")
        t.subscribe("zq:quote:SHFE.rb0001")  # already sent: nothing new
        await REAL_SLEEP(0.01)
        assert frames[-1] == '{"op":"sub","c":["zq:kline:60:SHFE.rb2610"]}'
        t.unsubscribe("zq:kline:60:SHFE.rb2610")
        t.subscribe("zq:kline:60:SHFE.rb2610")  # still sent on this connection
        await REAL_SLEEP(0.01)
        assert channels_of(frames).count("zq:kline:60:SHFE.rb2610") == 1
        assert t._sent >= set(wanted)
        await stop(task)

    run(main())
    if not standard_json:
        assert calls


def test_overlong_channel_gets_a_frame_of_its_own():
    async def main():
        t = make()
        t.ws = RecordingSocket()
        long_channel = "zq:quote:B." + "x" * LIMIT
        for channel in ("zq:quote:A.a", long_channel, "zq:quote:C.c"):
            t.subscribe(channel)
        task = await send_once(t)
        assert [json.loads(f)["c"] for f in t.ws.frames] == [
            ["zq:quote:A.a"], [long_channel], ["zq:quote:C.c"]
        ]  # fmt: skip
        await stop(task)

    run(main())


def test_no_channels_sends_nothing():
    async def main():
        t = make()
        t.ws = RecordingSocket()
        task = await send_once(t)
        assert t.ws.frames == [] and not task.done()
        await stop(task)

    run(main())


@pytest.mark.parametrize(
    "error", [ConnectionResetError("Cannot write to closing transport"), BrokenPipeError()]
)
def test_socket_breaking_while_sending_is_a_connection_fault(error):
    async def main():
        t = make()
        t.ws = RecordingSocket(fail_with=error)
        t.subscribe("zq:quote:A.a")
        with pytest.raises(aiohttp.ClientConnectionError) as caught:
            await t.send_subscriptions()
        assert caught.value.__cause__ is error

    run(main())


def test_other_send_failures_propagate_unchanged():
    async def main():
        t = make()
        t.ws = RecordingSocket(fail_with=aiohttp.ClientConnectionError("x"))
        t.subscribe("zq:quote:A.a")
        with pytest.raises(aiohttp.ClientConnectionError, match="^x$"):
            await t.send_subscriptions()

    run(main())


def test_wait_ack():
    async def main():
        t = make()
        t.acked.add("zq:quote:A.a")
        await t.wait_ack("zq:quote:A.a")

        waiter = asyncio.create_task(t.wait_ack("zq:quote:B.b"))
        await REAL_SLEEP(0)
        t.ack_changed.set()  # a wake-up without the channel: keeps waiting
        await REAL_SLEEP(0)
        assert not waiter.done()
        t.acked.add("zq:quote:B.b")
        t.ack_changed.set()
        await waiter

        waiter = asyncio.create_task(t.wait_ack("zq:quote:C.c"))
        await REAL_SLEEP(0)
        error = ZqError("行情订阅失败")
        t.fatal_error = error
        t.ack_changed.set()
        with pytest.raises(ZqError) as caught:
            await waiter
        assert caught.value is error

    run(main())


def test_wait_ack_cancellation():
    async def main():
        t = make()
        waiter = asyncio.create_task(t.wait_ack("zq:quote:A.a"))
        await REAL_SLEEP(0)
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter

    run(main())
