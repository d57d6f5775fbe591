"""One market session against a real server: snapshots, pushes, a dropped connection, recovery."""

import asyncio

from aiohttp import web
from market_service import REAL_SLEEP, Service, receive_subscriptions, run

QUOTE = "zq:quote:SHFE.rb2610"
KLINE = "zq:kline:60:SHFE.rb2610"


def item(t, last):
    fields = dict.fromkeys(["o", "h", "l", "v", "m", "oi", "ps", "pc", "up", "dn"], 1)
    return {"s": "SHFE.rb2610", "t": t, "d": "20260101", "c": last, **fields, "b": [], "a": []}


def test_stream_recovers_from_a_drop(fake_asyncio):
    async def main():
        async with Service() as service:
            drop = asyncio.Event()

            async def close_on_drop(ws):
                await drop.wait()
                await ws.close()

            async def stream(ws, service):
                generation = service.connections
                if generation == 1:
                    closing = asyncio.create_task(close_on_drop(ws))
                async for frame in receive_subscriptions(ws, service):
                    await ws.send_json({"op": "sub", "ok": True, "c": frame["c"]})
                    if QUOTE in frame["c"]:
                        for n in range(3):
                            await ws.send_json({"c": QUOTE, "d": item(n, 100 * generation + n)})
                if generation == 1:
                    await closing

            async def snapshot(request):
                assert request.query["symbol"] == "SHFE.rb2610"
                rows = [{"connection": service.connections}]
                return web.json_response({"ok": True, "d": rows})

            service.stream = stream
            service.query = [snapshot]

            async def restore():
                rows = await t.get("/snapshot", {"symbol": "SHFE.rb2610"})
                return [(QUOTE, rows)]

            t = service.transport(restore)
            t.subscribe(QUOTE)
            first = await t.next_batch()
            assert first[0] == (1, QUOTE, [{"connection": 1}], 0)
            waited = asyncio.create_task(t.wait_ack(QUOTE))
            await waited
            while first[-1][3] == 0 or first[-1][2][0]["timestamp"] != 2:
                first += await t.next_batch()
            assert [entry[3] for entry in first[1:]] == sorted(entry[3] for entry in first[1:])
            assert [entry[0] for entry in first] == [1] * len(first)

            t.subscribe(KLINE)
            await t.wait_ack(KLINE)
            assert service.frames[-1] == '{"op":"sub","c":["zq:kline:60:SHFE.rb2610"]}'

            drop.set()
            second = await t.next_batch()
            while second[0][0] != 2:
                second = await t.next_batch()
            assert second[0] == (2, QUOTE, [{"connection": 2}], 0)
            assert fake_asyncio.sleeps[:1] == [1] and t.generation == 2
            # every channel is subscribed again, in sorted order, on the new connection
            assert service.frames[-1] == f'{{"op":"sub","c":["{KLINE}","{QUOTE}"]}}'
            await REAL_SLEEP(0.02)
            assert t._connection_announced and t.fatal_error is None
            await t.close()
            assert t.task.cancelled() and t.session.closed

    run(main(), timeout=20)
