"""zqkit.transport against a bare aiohttp loop, both fed by one service process in the same run.

Throughput: the service writes a fixed number of pre-encoded quote frames (five levels a side)
round robin over many channels right after the acknowledgement; the client counts the frames it
has consumed per second of wall time. For Transport that is `sequence` once `next_batch` has
handed the frames out (it merges pushes per quote channel, so entries would undercount); the
bare loop only receives each frame and runs `json.loads` on it.

Latency: the service paces frames and keeps each one's `time.time_ns()`; the client takes the
same clock when `next_batch` returns a push (or, bare, when `json.loads` is done) and matches
the two by the push's sequence number.
"""

from __future__ import annotations

import asyncio
import json
import statistics
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import aiohttp
from yarl import URL

sys.path.insert(0, str(Path(__file__).resolve().parent))

import market_blaster  # noqa: E402
from zqkit import data  # noqa: E402
from zqkit.transport import Transport, _signature_headers  # noqa: E402

CHANNELS = 500
BURST_FRAMES = 100_000
BURST_REPEATS = 5
PACED_CHANNELS = 100
PACED_RATE = 1000
PACED_FRAMES = 3000
PACED_REPEATS = 3
FRAME_LIMIT = 15360  # bytes of one subscription frame, as the transport sends them


@contextmanager
def market_service():
    """Starts the service process; yields its base URL."""
    script = Path(__file__).resolve().parent / "market_blaster.py"
    process = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        port = process.stdout.readline().strip()
        if not port.isdigit():
            raise RuntimeError("the market service did not start")
        yield f"http://127.0.0.1:{port}"
    finally:
        process.terminate()
        process.wait(timeout=10)


def quote_channels(count: int) -> list[str]:
    return [f"zq:quote:{market_blaster.symbol(i)}" for i in range(count)]


def subscription_frames(channels: list[str]) -> list[str]:
    """Sorted channels in frames of at most FRAME_LIMIT bytes."""
    frames, batch = [], []
    for channel in sorted(channels):
        candidate = json.dumps({"op": "sub", "c": [*batch, channel]}, separators=(",", ":"))
        if batch and len(candidate.encode()) > FRAME_LIMIT:
            frames.append(json.dumps({"op": "sub", "c": batch}, separators=(",", ":")))
            batch = []
        batch.append(channel)
    if batch:
        frames.append(json.dumps({"op": "sub", "c": batch}, separators=(",", ":")))
    return frames


def snapshot_restorer(channels: list[str]):
    snapshots = []
    for index, channel in enumerate(channels):
        symbol = channel.rsplit(":", 1)[1]
        item = dict(market_blaster.quote_item(index), s=symbol)
        snapshots.append((channel, [data.decode(item, symbol, quote=True)]))

    async def restore():
        return snapshots

    return restore


def new_transport(base: str, path: str, channels: list[str]) -> Transport:
    transport = Transport(
        f"{base}/{path}", 10, snapshot_restorer(channels), market_blaster.TOKEN, base
    )
    for channel in channels:
        transport.subscribe(channel)
    return transport


async def bare_stream(session: aiohttp.ClientSession, base: str, path: str, channels: list[str]):
    """A signed, subscribed WebSocket as a plain client opens it."""
    url = URL(f"{base}/{path}/")
    ws = await session.ws_connect(url, heartbeat=30, headers=_signature_headers("GET", url))
    for frame in subscription_frames(channels):
        await ws.send_str(frame)
    return ws


# ---- throughput ----


async def transport_rate(base: str, channels: int = CHANNELS, frames: int = BURST_FRAMES) -> float:
    transport = new_transport(base, f"burst/{channels}/{frames}", quote_channels(channels))
    started = None
    try:
        while transport.sequence < frames:
            await transport.next_batch()
            if started is None and transport.sequence >= channels:  # first round is warm-up
                started = (time.perf_counter(), transport.sequence)
        finished = time.perf_counter()
    finally:
        await transport.close()
    if transport.sequence != frames:
        raise RuntimeError(f"Transport counted {transport.sequence} frames of {frames}")
    if started[1] == frames:
        raise RuntimeError("the whole burst arrived before timing could start; send more frames")
    return (frames - started[1]) / (finished - started[0])


async def bare_rate(
    base: str, channels: int = CHANNELS, frames: int = BURST_FRAMES, parse: bool = True
) -> float:
    """Frames per second of a plain receive loop; without `parse`, the ceiling of the setup."""
    async with aiohttp.ClientSession() as session:
        ws = await bare_stream(
            session, base, f"burst/{channels}/{frames}", quote_channels(channels)
        )
        # Unparsed, the acknowledgements (they come first) are counted off in advance.
        count = 0 if parse else -len(subscription_frames(quote_channels(channels)))
        async for message in ws:
            if parse and "op" in json.loads(message.data):
                continue
            count += 1
            if count == channels:
                started = time.perf_counter()
            if count == frames:
                break
        finished = time.perf_counter()
        await ws.close()
    if count != frames:
        raise RuntimeError(f"the stream ended after {count} frames of {frames}")
    return (frames - channels) / (finished - started)


# ---- latency ----


async def send_times(base: str) -> list[int]:
    async with aiohttp.ClientSession() as session, session.get(f"{base}/sendtimes") as response:
        return await response.json()


def paced_path(channels: int, frames: int, rate: float) -> str:
    return f"paced/{channels}/{frames}/{rate}"


async def transport_arrivals(base: str, channels: int, frames: int, rate: float) -> dict[int, int]:
    transport = new_transport(base, paced_path(channels, frames, rate), quote_channels(channels))
    arrived = {}
    try:
        while frames not in arrived:
            batch = await transport.next_batch()
            now = time.time_ns()
            for _, _, _, sequence in batch:
                if sequence:  # snapshots have none
                    arrived[sequence] = now
    finally:
        await transport.close()
    return arrived


async def bare_arrivals(base: str, channels: int, frames: int, rate: float) -> dict[int, int]:
    arrived = {}
    async with aiohttp.ClientSession() as session:
        ws = await bare_stream(
            session, base, paced_path(channels, frames, rate), quote_channels(channels)
        )
        async for message in ws:
            if "op" in json.loads(message.data):
                continue
            arrived[len(arrived) + 1] = time.time_ns()
            if len(arrived) == frames:
                break
        await ws.close()
    return arrived


async def latencies(
    base: str,
    arrivals,
    channels: int = PACED_CHANNELS,
    frames: int = PACED_FRAMES,
    rate: float = PACED_RATE,
) -> tuple[float, float, int]:
    """p50 and p99 in microseconds, and how many pushes were measured (merged ones are not)."""
    arrived = await arrivals(base, channels, frames, rate)
    sent = await send_times(base)
    if len(sent) != frames:
        raise RuntimeError(f"the service sent {len(sent)} frames of {frames}")
    samples = sorted(arrived[sequence] - sent[sequence - 1] for sequence in arrived)

    def percentile(share: float) -> float:
        return samples[min(len(samples) - 1, int(share * len(samples)))] / 1e3

    return percentile(0.50), percentile(0.99), len(samples)


# ---- report ----


def spread(values: list[float]) -> str:
    return f"min {min(values):>9.0f}  median {statistics.median(values):>9.0f}"


async def throughput(base: str) -> None:
    ceiling, bare, native = [], [], []
    for _ in range(BURST_REPEATS):  # interleaved, so a noisy neighbour hits all alike
        ceiling.append(await bare_rate(base, parse=False))
        bare.append(await bare_rate(base))
        native.append(await transport_rate(base))
    ratios = [n / b for n, b in zip(native, bare, strict=True)]
    print(
        f"throughput: {BURST_FRAMES} quote frames over {CHANNELS} channels, "
        f"{BURST_REPEATS} runs each, frames/s"
    )
    print(f"  bare aiohttp, receive only  {spread(ceiling)}")
    print(f"  bare aiohttp + json.loads   {spread(bare)}")
    print(f"  Transport to next_batch     {spread(native)}")
    print(
        f"  Transport / bare            median of ratios {statistics.median(ratios):.0%}"
        f"  (runs: {', '.join(f'{r:.0%}' for r in ratios)})"
    )


async def latency(base: str) -> None:
    print(
        f"latency: {PACED_FRAMES} frames at {PACED_RATE}/s over {PACED_CHANNELS} channels, "
        f"{PACED_REPEATS} runs each, microseconds from send to hand-out"
    )
    for name, arrivals in (
        ("bare aiohttp + json.loads", bare_arrivals),
        ("Transport to next_batch", transport_arrivals),
    ):
        runs = [await latencies(base, arrivals) for _ in range(PACED_REPEATS)]
        p50s, p99s = [r[0] for r in runs], [r[1] for r in runs]
        measured = min(r[2] for r in runs)
        print(
            f"  {name:<27} p50 {spread(p50s)}   p99 {spread(p99s)}"
            f"   ({measured}+ pushes measured per run)"
        )


async def main() -> None:
    print(
        f"Python {sys.version.split()[0]}, aiohttp {aiohttp.__version__}; "
        "service in its own process"
    )
    with market_service() as base:
        await throughput(base)
        await latency(base)


if __name__ == "__main__":
    asyncio.run(main())
