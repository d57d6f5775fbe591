"""The transport benchmark's harness: its service, its counting and its clocks (no timings)."""

import asyncio
import json

import pytest

import bench_transport
import market_blaster


def run(coro, timeout: float = 30):
    return asyncio.run(asyncio.wait_for(coro, timeout))


@pytest.fixture(scope="module")
def base():
    with bench_transport.market_service() as url:
        yield url


@pytest.mark.parametrize("size", [0, 125, 126, 65535, 65536])
def test_websocket_frame_header_carries_the_payload_length(size):
    frame = market_blaster.websocket_frame("x" * size)
    assert frame[0] == 0x81  # final text frame, no compression bit
    if size < 126:
        assert frame[1] == size and len(frame) == 2 + size
    elif size < 1 << 16:
        assert frame[1] == 126 and int.from_bytes(frame[2:4], "big") == size
    else:
        assert frame[1] == 127 and int.from_bytes(frame[2:10], "big") == size
    assert frame.endswith(b"x" * size)


def test_subscription_frames_are_sorted_bounded_and_complete():
    channels = bench_transport.quote_channels(2000)[::-1]
    frames = [json.loads(frame) for frame in bench_transport.subscription_frames(channels)]
    assert len(frames) > 1
    sent = [channel for frame in frames for channel in frame["c"]]
    assert sent == sorted(channels)
    for text in bench_transport.subscription_frames(channels):
        assert len(text.encode()) <= bench_transport.FRAME_LIMIT


def test_every_blasted_frame_is_counted_by_both_clients(base):
    # The rate functions raise unless exactly `frames` pushes were consumed; a miscount hangs
    # them instead, which the time-out turns into a failure.
    for measure in (
        bench_transport.transport_rate,
        bench_transport.bare_rate,
        lambda url, channels, frames: bench_transport.bare_rate(url, channels, frames, False),
    ):
        assert run(measure(base, 20, 20_000)) > 0


def test_paced_latencies_use_one_clock_on_both_sides(base):
    for arrivals in (bench_transport.bare_arrivals, bench_transport.transport_arrivals):
        p50, p99, measured = run(bench_transport.latencies(base, arrivals, 10, 200, 400))
        # Wall clocks of two processes agree; a per-process clock would give nonsense here.
        assert 0 < p50 <= p99 < 1e6
        assert 0 < measured <= 200
    sent = run(bench_transport.send_times(base))
    assert len(sent) == 200 and sent == sorted(sent)


def test_transport_sees_the_blasted_quotes_intact(base):
    async def last_rows():
        channels = bench_transport.quote_channels(5)
        transport = bench_transport.new_transport(base, "burst/5/50", channels)
        rows = {}
        try:
            while transport.sequence < 50:
                for _, channel, entry_rows, sequence in await transport.next_batch():
                    if sequence:
                        rows[channel] = entry_rows[0]
        finally:
            await transport.close()
        return rows

    rows = run(last_rows())
    for index, channel in enumerate(bench_transport.quote_channels(5)):
        symbol = channel.rsplit(":", 1)[1]
        item = dict(market_blaster.quote_item(index), s=symbol)
        assert rows[channel] == bench_transport.data.decode(item, symbol, quote=True)
