import pytest
from trading_standin import complete_trading

import zqkit.api.client


@pytest.fixture(autouse=True)
def _complete_trading(monkeypatch):
    monkeypatch.setattr(zqkit.api.client, "Trading", complete_trading())
