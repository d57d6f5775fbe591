import asyncio as asyncio
import math as math
import os as os
import time as time
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from datetime import timezone as timezone
from tempfile import mkdtemp as mkdtemp
from types import ModuleType
from typing import Any

from zqkit.data import ZqError as ZqError
from zqkit.data import check_symbol as check_symbol
from zqkit.data import different as different
from zqkit.errors import Recovery as Recovery
from zqkit.livebook import Account as Account
from zqkit.livebook import CtpAccount
from zqkit.livebook import LiveMap as LiveMap
from zqkit.livebook import Order as Order
from zqkit.livebook import Position as Position
from zqkit.livebook import Trade as Trade
from zqkit.livebook import TradingResult as TradingResult
from zqkit.livebook import empty_position as empty_position

TZ: timezone

def timestamp(day: str, clock: str) -> int | None: ...
def finite(value: object) -> int | float | None: ...

class Native:
    module: ModuleType
    handle: Any
    def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None: ...
    def request(self, method: str, data: dict[str, Any], request_id: int) -> int: ...
    def poll(self) -> Any: ...
    def close(self) -> None: ...
