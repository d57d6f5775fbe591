"""Simulated market service for tests and demos (aiohttp, pure Python), and `Sandbox`, which
pairs it with a simulated CTP front for offline trading.

One `MarketSim` serves, on one base URL, both the verification side and the market side:

POST /api/token/verify
    Header "Authorization: Bearer <token>". 200 {"ok": true, "d": {}} for the configured
    token, 401 {"ok": false, "msg": ...} otherwise. Not signed.

GET /api/quote?symbol=SHFE.rb2610                                        (signed)
    200 {"ok": true, "d": <quote item>}: the latest quote, in the layout the stream pushes.

GET /api/kline?symbol=SHFE.rb2610&period=1m&count=200                    (signed)
    200 {"ok": true, "d": [<bar item>, ...]}: the `count` most recent bars of the period,
    oldest first, fewer when less history exists; the last one is the bar in progress.
    `period` is one of 1m 5m 10m 15m 30m 1h 4h 1d; `count` 1 … `history_limit`.

    Query errors: 400 for a missing or invalid parameter, 404 for an instrument not
    traded here, 401 for a missing, malformed, wrong or stale signature (timestamp more
    than `max_skew` seconds off). Error bodies are {"ok": false, "msg": ...}.

GET /  (WebSocket upgrade)                                               (signed)
    401 before the upgrade when the signature does not hold. Then:
    client → {"op": "sub", "c": [channel, ...]}
    server → {"op": "sub", "ok": true, "c": [channel, ...]}   acknowledgement
             {"ok": false, "c": [channel, ...], "msg": ...}   refusal (no "op")
             {"c": channel, "d": <item>}                      push
    Channels: "zq:quote:" + symbol and "zq:kline:" + period + ":" + symbol. A frame is
    acknowledged whole, listing its channels once each in the order sent, or refused
    whole when it names any channel the service does not trade. A frame that is not a
    well-formed subscription is answered {"ok": false, "msg": ...} and the stream is
    closed with code 1008. Pushes follow the acknowledgement on every tick: a quote item
    per quote channel and the bar in progress per K-line channel.

Signed requests carry "X-ZQ-Timestamp" (Unix seconds) and "X-ZQ-Signature", the hex
HMAC-SHA256, keyed with the 64 ASCII bytes of the signing secret, of timestamp, METHOD,
raw path and raw query string joined by "\\n".

Quote item keys: s t d o h l c v m oi ps pc up dn b a (five [price, volume] levels each
side). Bar item keys: s t d o h l c v m oi, where "t" is the bar's start. Prices are
multiples of the instrument's price tick; "v", "m" and "oi" of a quote are the trading
day's totals, those of a bar the bar's own.
"""

from .faults import BAD_FRAME_KINDS, HTTP_KINDS
from .instruments import DEFAULT_INSTRUMENTS, KLINE_PERIODS, Instrument
from .sandbox import DEMO_POSITIONS, Sandbox
from .service import KLINE_PATH, QUOTE_PATH, STREAM_PATH, VERIFY_PATH, MarketSim

__all__ = [
    "BAD_FRAME_KINDS",
    "DEFAULT_INSTRUMENTS",
    "DEMO_POSITIONS",
    "HTTP_KINDS",
    "KLINE_PATH",
    "KLINE_PERIODS",
    "QUOTE_PATH",
    "STREAM_PATH",
    "VERIFY_PATH",
    "Instrument",
    "MarketSim",
    "Sandbox",
]
