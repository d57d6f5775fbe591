"""Every `Trading` test runs over each implementation of the session.

`impl` is the module under test (patch `time`, `mkdtemp`, `asyncio` on `impl.module`) and its
`Trading` class. The pure-Python transcription in bench/ is always there.
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


class _BothModules:
    """zqkit.trading for reading, both modules for patching.

    While the extension's `Trading` is being written, the methods it has stand in for the
    reference's in a subclass; they read zqkit.trading's globals, the rest read the reference's,
    so a patch must reach both.
    """

    __slots__ = ("_modules",)

    def __init__(self, *modules):
        object.__setattr__(self, "_modules", modules)

    @property
    def __dict__(self):  # what monkeypatch saves and restores
        return vars(self._modules[0])

    def __getattr__(self, name):
        return getattr(self._modules[0], name)

    def __setattr__(self, name, value):
        for module in self._modules:
            setattr(module, name, value)

    def __delattr__(self, name):
        for module in self._modules:
            delattr(module, name)


def _methods(cls) -> set[str]:
    return {
        name
        for name, value in vars(cls).items()
        if name == "__init__" or callable(value) or isinstance(value, staticmethod)
    } - {"__dict__", "__weakref__"}


def _extension():
    extension = getattr(zqkit.trading, "Trading", None)
    if extension is None:
        return None
    written = _methods(extension) & _methods(reference_trading.Trading)
    if written == _methods(reference_trading.Trading):
        return types.SimpleNamespace(module=zqkit.trading, Trading=extension)
    body = {name: vars(extension)[name] for name in written}
    hybrid = type("Trading", (reference_trading.Trading,), {**body, "__doc__": extension.__doc__})
    return types.SimpleNamespace(
        module=_BothModules(zqkit.trading, reference_trading), Trading=hybrid
    )


IMPLEMENTATIONS = [
    pytest.param(
        types.SimpleNamespace(module=reference_trading, Trading=reference_trading.Trading),
        id="reference",
    )
]
# The extension joins as soon as it defines `Trading`.
if (_EXTENSION := _extension()) is not None:
    IMPLEMENTATIONS.append(pytest.param(_EXTENSION, id="extension"))


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
