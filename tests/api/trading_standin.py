"""The extension's `Trading`, completed with the transcription's methods while it lacks some."""

from __future__ import annotations

import sys
from pathlib import Path

import zqkit.api.client
import zqkit.trading

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import reference_trading  # noqa: E402


def complete_trading() -> type:
    native = zqkit.trading.Trading
    missing = {
        name: member
        for name, member in vars(reference_trading.Trading).items()
        if callable(member) and not name.startswith("__") and not hasattr(native, name)
    }
    if not missing:
        return native
    missing.update(__doc__=native.__doc__, __module__=native.__module__)
    return type("Trading", (native,), missing)


def install() -> None:
    zqkit.api.client.Trading = complete_trading()
