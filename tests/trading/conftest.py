"""Every `Trading` test runs over each implementation of the session.

`impl` is the module under test (patch `time`, `mkdtemp`, `asyncio` on `impl.module`) and its
`Trading` class: the extension module's, and the pure-Python transcription in bench/ whose
behaviour it must match.
"""

from __future__ import annotations

import sys
import types
from pathlib import Path

import pytest
from trading_helpers import CONFIG, FakeBinding, FakeClock, Harness

import zqkit.trading

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
# The simulated counter's request helpers, shared with its own tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "ctp"))

import reference_trading  # noqa: E402

IMPLEMENTATIONS = [
    pytest.param(
        types.SimpleNamespace(module=reference_trading, Trading=reference_trading.Trading),
        id="reference",
    ),
    pytest.param(
        types.SimpleNamespace(module=zqkit.trading, Trading=zqkit.trading.Trading),
        id="extension",
    ),
]


@pytest.fixture(params=IMPLEMENTATIONS)
def impl(request):
    return request.param


@pytest.fixture
def clock(impl, monkeypatch) -> FakeClock:
    fake = FakeClock()
    monkeypatch.setattr(impl.module, "time", fake)
    return fake


@pytest.fixture
def directories(impl, monkeypatch, tmp_path) -> list[str]:
    """Every prefix `mkdtemp` was called with; the directory handed out is tmp_path."""
    made: list[str] = []

    def fake_mkdtemp(prefix):
        made.append(prefix)
        return str(tmp_path)

    monkeypatch.setattr(impl.module, "mkdtemp", fake_mkdtemp)
    return made


@pytest.fixture
def make_harness(impl, clock, directories):
    def make(timeout: float = 10, config=CONFIG) -> Harness:
        binding = FakeBinding()
        session = impl.Trading(config, timeout, {}, native_factory=binding.factory)
        return Harness(session, binding, clock)

    return make


@pytest.fixture
def harness(make_harness) -> Harness:
    return make_harness()


@pytest.fixture
def ready(harness) -> Harness:
    """A session in "READY" with empty books and instruments SHFE.rb2610 and DCE.m2609."""
    harness.ready()
    return harness
