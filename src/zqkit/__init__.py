"""Live market data and CTP trading for Chinese futures and options, on one asyncio loop."""

from zqkit.api import Client, CtpAccount
from zqkit.data import ZqError

__all__ = ["Client", "CtpAccount", "ZqError"]
__version__ = "0.1.0"
