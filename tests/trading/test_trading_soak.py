"""Fault soak: random orders and cancels while prices move and the counter misbehaves.

Three strategies insert and cancel through the session, a price task moves the counter's
reference prices and a fault task fires the counter's fault switches at random. Whenever the
session returns to "READY", and every few seconds besides, everything pauses: the fault
switches are cleared, the session commits, and the committed views must equal the counter's
own answers. ZQKIT_SOAK_SECONDS sets the extension's run (20 s by default),
ZQKIT_SOAK_REFERENCE_SECONDS the reference's (at most 5 s by default), and ZQKIT_SOAK_SEED
replays the random choices (the seed is in every failure message).
"""

from __future__ import annotations

import asyncio
import collections
import datetime
import os
import random
import time

import pytest
from counter_views import closable_problems, registry_problems, settle, view_problems
from test_trading_counter import (
    FRONT,
    PRICES,
    RB,
    SC,
    M,
    Peer,
    counter,  # noqa: F401  (a fixture, found by its name)
)
from trading_helpers import CONFIG, DAY

from zqkit import _ctp

SECONDS = float(os.environ.get("ZQKIT_SOAK_SECONDS") or 20)
REFERENCE_SECONDS = float(os.environ.get("ZQKIT_SOAK_REFERENCE_SECONDS") or min(SECONDS, 5))
SEED = int(os.environ.get("ZQKIT_SOAK_SEED") or random.randrange(2**32))
TICKS = {RB: 1.0, SC: 0.1, M: 1.0}
STRATEGIES = 3
PARAMETER_REFUSAL = "报单参数无效或可平持仓不足，未提交"
NOT_READY = "交易账户未就绪，报单未提交"
# The retry budgets the session is entitled to (beyond them it stops on purpose): faults
# wait while the session is this deep into a recovery.
CONNECTION_FAILURES_ALLOWED = 8
QUERY_FAULTS = ("fail_query", "refuse", "withhold")


def next_day(day: str) -> str:
    return (datetime.date.fromisoformat(day) + datetime.timedelta(days=1)).strftime("%Y%m%d")


def clear_faults() -> None:
    _ctp.fail_queries(FRONT, 0)
    _ctp.refuse_requests(FRONT, 0)
    _ctp.withhold_answers(FRONT, 0)
    _ctp.duplicate_trades(FRONT, 0)
    _ctp.trades_before_orders(FRONT, 0)


class SoakPeer(Peer):
    """The checking connection; it never reads order and trade returns, so it drops them."""

    def send(self, method: str, fields: dict | None = None) -> tuple[int, int]:
        # Returns, and answers to requests given up on, would pile up otherwise.
        self.events = [e for e in self.events if e["name"][:3] not in ("Rtn", "Rsp")]
        return super().send(method, fields)


class Soak:
    def __init__(self, session, peer_path: bytes, seed: int, seconds: float) -> None:
        self.session = session
        self.peer_path = peer_path
        self.peer = SoakPeer(peer_path)
        self.peer_dropped = False
        self.seed = seed
        self.seconds = seconds
        self.rng = random.Random(seed)
        self.go = asyncio.Event()
        self.checkpoint_due = asyncio.Event()
        self.prices = dict(PRICES)
        self.day = DAY
        self.log: collections.deque = collections.deque(maxlen=60)
        self.stats: collections.Counter = collections.Counter()
        self.contradictions: list[str] = []
        self.record_rebuilds()

    def note(self, *what) -> None:
        self.log.append((round(time.monotonic() - self.started, 3), *what))

    # ---- the actors ------------------------------------------------------------------------

    async def strategy(self, index: int) -> None:
        rng = random.Random(f"{self.seed}-strategy-{index}")
        while True:
            await self.go.wait()
            await asyncio.sleep(rng.uniform(0.002, 0.03))
            if not self.go.is_set():
                continue
            if rng.random() < 0.3:
                self.cancel_one(rng)
            else:
                await self.insert_one(rng)

    async def insert_one(self, rng: random.Random) -> None:
        symbol = rng.choice(list(TICKS))
        tick = TICKS[symbol]
        direction = rng.choice(("BUY", "SELL"))
        offset = rng.choice(("OPEN", "CLOSE"))
        volume = rng.randint(1, 4)
        price = round(self.prices[symbol] + rng.randint(-3, 3) * tick, 4)
        off_tick = rng.random() < 0.1
        if off_tick:
            price = round(price + tick / 2, 4)
        session = self.session
        ready = session.session_status == "READY" and not session.reset_pending
        results = await self.session.insert(symbol, direction, offset, volume, price)
        outcome = [(r.status, r.order_id) for r in results]
        self.note("insert", symbol, direction, offset, volume, price, outcome)
        if off_tick:
            message = PARAMETER_REFUSAL if ready else NOT_READY
            assert [(r.status, r.order_id, r.message) for r in results] == [
                ("REJECTED", None, message)
            ], (symbol, price)
            return
        parts = 2 if offset == "CLOSE" and symbol != M else 1
        assert 1 <= len(results) <= parts, results
        for result in results:
            assert result.status in ("SUBMITTED", "REJECTED", "UNKNOWN"), result
            self.stats[result.status] += 1
            if result.status != "REJECTED":
                assert isinstance(result.order_id, str), result

    def cancel_one(self, rng: random.Random) -> None:
        working = [v for v in self.session.orders.values() if v.status == "ALIVE"]
        if not working:
            return
        order_id = rng.choice(working).order_id
        results = self.session.cancel(order_id)
        self.note("cancel", order_id, [r.status for r in results])
        assert len(results) <= 1 and all(r.order_id == order_id for r in results), results
        self.stats["cancels"] += 1

    async def move_prices(self) -> None:
        rng = random.Random(f"{self.seed}-prices")
        while True:
            await self.go.wait()
            await asyncio.sleep(rng.uniform(0.01, 0.05))
            if not self.go.is_set():
                continue
            symbol = rng.choice(list(TICKS))
            tick = TICKS[symbol]
            steps = round((self.prices[symbol] - PRICES[symbol]) / tick) + rng.randint(-2, 2)
            steps = max(-15, min(15, steps))
            self.prices[symbol] = round(PRICES[symbol] + steps * tick, 4)
            _ctp.set_price(FRONT, symbol, self.prices[symbol])

    async def inject_faults(self) -> None:
        rng = random.Random(f"{self.seed}-faults")
        kinds = {
            "disconnect": 3,
            "fail_query": 3,
            "refuse": 3,
            "withhold": 2,
            "duplicate": 3,
            "trade_first": 3,
            "fill_volume": 2,
            "latency": 1,
            "new_day": 1,
        }
        while True:
            await self.go.wait()
            await asyncio.sleep(rng.uniform(0.1, 0.5))
            kind = rng.choices(list(kinds), weights=list(kinds.values()))[0]
            recovery, queries = self.session.recovery, self.session.query_recovery
            if not self.go.is_set() or recovery.failures >= CONNECTION_FAILURES_ALLOWED:
                continue
            if kind in QUERY_FAULTS and queries.active and queries.failures:
                continue
            self.fire(kind, rng)

    def fire(self, kind: str, rng: random.Random) -> None:
        detail = None
        if kind == "disconnect":
            detail = rng.uniform(0.01, 0.1)
            _ctp.disconnect(FRONT, detail)
            self.peer_dropped = True
        elif kind == "fail_query":
            detail = rng.choice((90, 90, 154))
            _ctp.fail_queries(FRONT, 1, detail)
        elif kind == "refuse":
            detail = rng.choice((-2, -3))
            _ctp.refuse_requests(FRONT, rng.randint(1, 2), detail)
        elif kind == "withhold":
            _ctp.withhold_answers(FRONT, 1)
        elif kind == "duplicate":
            _ctp.duplicate_trades(FRONT, rng.randint(1, 3))
        elif kind == "trade_first":
            _ctp.trades_before_orders(FRONT, rng.randint(1, 3))
        elif kind == "latency":
            detail = rng.choice((0.001, 0.002, 0.005, 0.02))
            _ctp.set_options(FRONT, {"latency": detail})
        elif kind == "fill_volume":
            detail = rng.choice((0, 0, 1, 2))
            _ctp.set_options(FRONT, {"fill_volume": detail})
        else:
            self.day = detail = next_day(self.day)
            _ctp.set_trading_day(FRONT, self.day)
        self.note("fault", kind, detail)
        self.stats["fault " + kind] += 1

    async def watch(self) -> None:
        """Commit as a user would; at every return to "READY" check the views on their own."""
        was_ready = False
        while True:
            changes: dict = {}
            self.session.commit(changes)
            assert self.session.error is None, repr(self.session.error.__cause__)
            unknown = [key for key in changes if key not in self.session.objects]
            assert not unknown, f"changes name objects outside the registry: {unknown}"
            ready = self.session.session_status == "READY"
            if ready and not was_ready:
                problems = registry_problems(self.session) + view_problems(self.session)
                problems += closable_problems(self.session)
                assert not problems, problems
                self.stats["returns to READY"] += 1
                self.checkpoint_due.set()
            was_ready = ready
            await asyncio.sleep(0.003)

    def record_rebuilds(self) -> None:
        """Note why the session throws its book away. BufferError means the session found the
        counter's returns contradicting its own book: a correct pair never gets there."""
        for name in ("event", "tick"):
            original = getattr(self.session, name)

            def guarded(*args, _original=original):
                try:
                    return _original(*args)
                except (TimeoutError, BufferError) as exc:
                    self.note("rebuild", repr(exc))
                    self.stats[f"rebuild {exc!r}"] += 1
                    if isinstance(exc, BufferError):
                        self.contradictions.append(repr(exc))
                    raise

            setattr(self.session, name, guarded)

    # ---- the run ---------------------------------------------------------------------------

    async def checkpoint(self) -> dict:
        """Pause everything, clear the fault switches, and hold the views against the counter."""
        self.go.clear()
        self.checkpoint_due.clear()
        clear_faults()
        if self.peer_dropped:
            self.peer.close()
            self.peer = SoakPeer(self.peer_path)
            await self.peer.login()
            self.peer_dropped = False
        self.note("checkpoint")
        book = await settle(self.session, self.peer, 20.0, unanswered=True)
        assert not self.contradictions, f"the session met contradictions: {self.contradictions}"
        self.stats["checkpoints"] += 1
        self.stats["most trades seen"] = max(self.stats["most trades seen"], len(book["trades"]))
        return book

    async def chaos(self, seconds: float) -> None:
        self.go.set()
        try:
            async with asyncio.timeout(seconds):
                await self.checkpoint_due.wait()
        except TimeoutError:
            pass

    async def run(self) -> None:
        self.started = time.monotonic()
        await self.peer.login()
        self.session.start()
        await settle(self.session, self.peer)
        actors = [self.strategy(i) for i in range(STRATEGIES)]
        actors += [self.move_prices(), self.inject_faults(), self.watch()]
        tasks = [asyncio.create_task(actor) for actor in actors]
        stop = self.started + self.seconds
        try:
            while time.monotonic() < stop:
                await self.chaos(min(self.rng.uniform(0.5, 3.0), stop - time.monotonic()))
                for task in tasks:
                    if task.done():
                        task.result()  # an actor's failed assertion ends the run
                await self.checkpoint()
        finally:
            for task in tasks:
                task.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
        failures = [r for r in results if not isinstance(r, asyncio.CancelledError)]
        if failures:
            raise failures[0]
        await self.checkpoint()

    async def close(self) -> None:
        await self.session.close()
        self.peer.close()


def soak(impl, peer_path: bytes, seconds: float) -> Soak:
    async def body():
        runner = Soak(impl.Trading(CONFIG, 10, {}), peer_path, SEED, seconds)
        try:
            async with asyncio.timeout(seconds + 60):
                await runner.run()
        except Exception as exc:
            lines = "\n".join(map(repr, runner.log))
            raise AssertionError(
                f"soak failed with seed {SEED} ({impl.module.__name__}, {seconds:g} s; replay "
                f"with make soak SEED={SEED}): {exc!r}\nlast steps:\n{lines}"
            ) from exc
        finally:
            await runner.close()
        return runner

    return asyncio.run(body())


@pytest.fixture
def peer_path(request) -> bytes:
    return request.getfixturevalue("counter")


def test_soak(impl, peer_path):
    seconds = SECONDS if impl.module.__name__ == "zqkit.trading" else REFERENCE_SECONDS
    print(f"soak seed {SEED}, {seconds:g} s on {impl.module.__name__}")
    runner = soak(impl, peer_path, seconds)
    stats = runner.stats
    print(dict(stats))
    # A run that never traded or never met a fault proves nothing.
    assert stats["SUBMITTED"] and stats["most trades seen"] and stats["checkpoints"] >= 2, stats
    assert sum(n for key, n in stats.items() if key.startswith("fault ")) >= 2, stats
