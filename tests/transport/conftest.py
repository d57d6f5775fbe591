"""Fixtures of the transport tests."""

import pytest
from market_service import FakeAsyncio

import zqkit.transport as transport


@pytest.fixture
def fake_asyncio(monkeypatch) -> FakeAsyncio:
    """The module's `asyncio` with back-off sleeps recorded instead of slept."""
    fake = FakeAsyncio()
    monkeypatch.setattr(transport, "asyncio", fake)
    return fake
