"""The user-facing market API: one `Client` owns one market connection on one asyncio loop.

Private protocol state is committed to user objects only by wait_update: the transport
buffers validated rows, and `Client.wait_update` applies them to quote handles and K-line
series in one synchronous step, so user code never sees a half-applied batch.
"""

from zqkit.api.client import Client, QuoteHandle
from zqkit.api.status import MarketStatus
from zqkit.livebook import CtpAccount, TradingResult

__all__ = ["Client", "CtpAccount", "MarketStatus", "QuoteHandle", "TradingResult"]
