"""The stream's JSON reader against json.loads: the same values, the same documents refused."""

import asyncio
import functools
import json
import math
import random
from types import SimpleNamespace

import aiohttp
import pytest

import zqkit.transport as transport
from zqkit.data import ZqError
from zqkit.transport import Transport

QUOTE = "zq:quote:SHFE.rb2610"


class Frames:
    def __init__(self, texts):
        self.texts = list(texts)

    def __aiter__(self):
        return self

    async def __anext__(self):
        if not self.texts:
            raise StopAsyncIteration
        return SimpleNamespace(type=aiohttp.WSMsgType.TEXT, data=self.texts.pop(0))


def read_all(texts, monkeypatch):
    """Feeds each text as one frame; returns the payload `decode` saw, or the error."""
    seen = []
    monkeypatch.setattr(transport, "decode", lambda d, s, quote: seen.append(d) or {})

    async def one(text):
        t = Transport("http://h", 5, None, "tok", "http://a")
        t.subscribe(QUOTE)
        t.ws = Frames([text])
        seen.clear()
        try:
            await t.receive()
        except aiohttp.ClientConnectionError:
            return ("value", seen[0])
        except ZqError as error:
            return ("error", str(error))
        except RecursionError:
            return ("recursion", None)

    async def main():
        return [await one(text) for text in texts]

    return asyncio.run(main())


def expected(text):
    try:
        body = json.loads(text)
    except RecursionError:
        return ("recursion", None)
    except ValueError:
        return ("error", "行情 WebSocket 消息的 JSON 无效")
    return ("value", body.get("d") if isinstance(body, dict) else body)


def same(a, b):
    """Equal values of equal types; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def frame(payload):
    return '{"c":"' + QUOTE + '","d":' + payload + "}"


EDGE_CASES = [
    "0", "-0", "-0.0", "1.5e3", "1E400", "-1e400", "1e-400", "2.5E-3", "0.1", "5e-324",
    "1.7976931348623157e308", "123456789012345678", "1234567890123456789", "-999999999999999999",
    "-123456789012345678901234567890", "1" * 5000, "NaN", "Infinity", "-Infinity", "true",
    "false", "null", '""', '"a\\"b"', '"\\u00e9\\ud83d\\ude00"', '"\\ud83d"', '"\\ud83dx"',
    '"\\ud83d\\u0041"', '"\\uDE00\\uD83D"', '"豆粕 ü"', '"\\/\\b\\f\\n\\r\\t\\\\"', "[]", "{}",
    " [ 1 ,\t2 ]\n", '{"a":1,"a":2}', "[[[]]]", '"\x7f"', "[-0, 0.5e-1, 10E+2, 1e01]",
    # refused
    "", " ", "01", "1.", ".5", "1e", "1e+", "-", "+1", "[1,]", '{"a":1,}', "{a:1}", "'a'",
    '"\\x"', '"\\u12"', '"\\u12G4"', '"a\nb"', '"a\x01"', "[1 2]", "nul", "True", "nan",
    '"open', '{"a"}', '{"a" 1}', "[", "{", '"\\', "-Inf", "Infinit", "0x10", "1_000",
]  # fmt: skip


def test_edge_cases_match_json_loads(monkeypatch):
    texts = [frame(payload) for payload in EDGE_CASES]
    for text, got in zip(texts, read_all(texts, monkeypatch), strict=True):
        want = expected(text)
        assert got[0] == want[0] and same(got[1], want[1]), text[:80]


@pytest.mark.parametrize(
    "text", ["\ufeff" + frame("1"), "  " + frame("1") + " \r\n", frame("1") + " x", "[]", "\ud800"]
)
def test_whole_frames_match_json_loads(monkeypatch, text):
    got = read_all([text], monkeypatch)[0]
    try:
        body = json.loads(text)
    except ValueError:
        assert got == ("error", "行情 WebSocket 消息的 JSON 无效")
        return
    if isinstance(body, dict):
        assert got == ("value", body["d"])
    else:
        assert got == ("error", "行情 WebSocket 消息格式无效")


def test_lone_surrogates_in_the_frame_are_read(monkeypatch):
    assert read_all([frame('"\ud800x"')], monkeypatch) == [("value", "\ud800x")]


def test_deep_nesting_is_a_recursion_error_like_json_loads(monkeypatch):
    assert read_all([frame("[" * 100000 + "]" * 100000)], monkeypatch) == [("recursion", None)]


def test_constants_are_the_standard_decoders_own_objects(monkeypatch):
    got = read_all([frame("[NaN, Infinity, -Infinity]")], monkeypatch)[0]
    want = json.loads("[NaN, Infinity, -Infinity]")
    assert got[0] == "value" and all(a is b for a, b in zip(got[1], want, strict=True))


def test_recursion_limit_falls_where_json_loads_puts_it(monkeypatch):
    def nested(depth):
        return read_all([frame("[" * depth + "]" * depth)], monkeypatch)[0][0]

    # json.loads called in the reader's place (a partial keeps it from being recognised).
    stand_in = SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
    with monkeypatch.context() as patched:
        patched.setattr(transport, "json", stand_in)
        low, high = 1, 100000
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if nested(middle) == "value" else (low, middle - 1)
    assert (nested(low), nested(low + 1)) == ("value", "recursion")


def random_value(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.randrange(-(10 ** rng.randrange(1, 30)), 10 ** rng.randrange(1, 30))
    if kind == 2:
        return rng.choice([rng.uniform(-1e6, 1e6), rng.random() * 10 ** rng.randrange(-320, 308)])
    if kind in (3, 4):
        alphabet = 'ab"\\/\b\f\n\r\t\x00\x1f é豆😀\ud83d'
        return "".join(rng.choice(alphabet) for _ in range(rng.randrange(6)))
    if kind == 5:
        return rng.choice([math.inf, -math.inf, 0.0, -0.0, 1e-310])
    if kind in (6, 7):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {str(rng.randrange(5)): random_value(rng, depth + 1) for _ in range(rng.randrange(4))}


def spaced(rng, text):
    out = []
    for char in text:
        out.append(char)
        if char in ",:[]{}" and rng.random() < 0.3:
            out.append(rng.choice([" ", "\t", "\n", "\r", "  "]))
    return "".join(out)


def mutated(rng, text):
    position = rng.randrange(len(text) + 1)
    action = rng.randrange(3)
    if action == 0:
        return text[:position] + text[position + 1 :]
    insert = rng.choice(list(',:[]{}"\\0123456789.eE+-ntfu aNI') + ["\\u", "\x01"])
    if action == 1:
        return text[:position] + insert + text[position:]
    return text[:position] + insert + text[position + 1 :]


def test_random_documents_and_their_mutations(monkeypatch):
    rng = random.Random(20261208)
    texts = []
    for _ in range(400):
        payload = spaced(rng, json.dumps(random_value(rng), ensure_ascii=rng.random() < 0.5))
        texts.append(frame(payload))
        texts.append(mutated(rng, frame(payload)))
    for text, got in zip(texts, read_all(texts, monkeypatch), strict=True):
        want = expected(text)
        if want[0] == "value":
            body = json.loads(text)
            if not isinstance(body, dict) or body.get("c") != QUOTE or "op" in body:
                continue  # the mutation hit the frame rather than the payload
        assert got[0] == want[0] and same(got[1], want[1]), text[:120]
