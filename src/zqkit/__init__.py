"""Live market data and CTP trading for Chinese futures and options, on one asyncio loop."""

__version__ = "0.1.0"
