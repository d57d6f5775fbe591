"""`python -m zqkit ctp-check`: log in to a CTP front with a real `Trading` session and show
the trading day, the funds and the positions it synchronised."""

from __future__ import annotations

import asyncio
import getpass
import os
import sys
from typing import TextIO

from zqkit.livebook import CtpAccount
from zqkit.trading import Trading

PASSWORD_VARIABLE = "ZQKIT_CTP_PASSWORD"
# Seconds each login phase and each query may take before the session reconnects.
PHASE_TIMEOUT = 10
FUNDS = (
    "balance",
    "available",
    "margin",
    "frozen_margin",
    "commission",
    "frozen_commission",
    "close_profit",
    "position_profit",
    "deposit",
    "withdraw",
)


class CheckFailed(Exception):
    """The check cannot start (no password); the message says why."""


def read_password(stdin: TextIO) -> str:
    """The password from the environment, else asked on the terminal; never an argument."""
    password = os.environ.get(PASSWORD_VARIABLE)
    if password:
        return password
    if not stdin.isatty():
        raise CheckFailed(f"no password: set {PASSWORD_VARIABLE} or run on a terminal")
    password = getpass.getpass("CTP password: ")
    if not password:
        raise CheckFailed("no password given")
    return password


def _causes(error: BaseException) -> list[str]:
    lines = [f"{type(error).__name__}: {error}"]
    seen = {id(error)}
    while (error := error.__cause__ or error.__context__) is not None and id(error) not in seen:
        seen.add(id(error))
        lines.append(f"  caused by {type(error).__name__}: {error}")
    return lines


def _amount(value: object) -> str:
    return "-" if value is None else f"{value:,.2f}"


def report(session: Trading, out: TextIO) -> None:
    account = session.account
    print(f"logged in: broker {session.config.broker_id}, investor {account.account_id}", file=out)
    print(f"trading day: {account.trading_day}", file=out)
    print("funds (CNY):", file=out)
    for name in FUNDS:
        print(f"  {name:<18}{_amount(getattr(account, name)):>20}", file=out)
    held = [p for p in session.positions.values() if p.pos_long or p.pos_short]
    print(f"positions: {len(held)}", file=out)
    for position in held:
        print(
            f"  {position.symbol:<20} long {position.pos_long} (today {position.pos_long_today})"
            f"  short {position.pos_short} (today {position.pos_short_today})",
            file=out,
        )


async def _ready(session: Trading, seconds: float) -> bool:
    """Wait until the session is READY (True), has given up (False) or `seconds` pass."""
    async with asyncio.timeout(seconds):
        while True:
            session.changed.clear()
            if session.error is not None or session.session_status == "READY":
                break
            if session.task is not None and session.task.done():
                break
            try:
                async with asyncio.timeout(0.5):
                    await session.changed.wait()
            except TimeoutError:
                pass
    return session.error is None and session.session_status == "READY"


async def check(account: CtpAccount, seconds: float, out: TextIO) -> int:
    session = Trading(account, PHASE_TIMEOUT, {})
    session.start()
    try:
        try:
            ready = await _ready(session, seconds)
        except TimeoutError:
            print(
                f"ctp-check: not ready after {seconds:g} s (session status "
                f"{session.session_status}); check the front address and the network",
                file=out,
            )
            return 1
        if not ready:
            print("ctp-check: login failed", file=out)
            error = session.error or RuntimeError("the session ended without an error")
            for line in _causes(error):
                print(f"  {line}", file=out)
            return 1
        session.commit({})
        report(session, out)
        return 0
    finally:
        await session.close()


def run(args, stdin: TextIO | None = None, out: TextIO | None = None) -> int:
    """Entry point of the command: 0 logged in and synchronised, 1 failed, 2 unusable input."""
    try:
        password = read_password(stdin or sys.stdin)
        account = CtpAccount(
            broker_id=args.broker,
            user_id=args.user,
            password=password,
            front_url=args.front,
            app_id=args.app_id,
            auth_code=args.auth_code,
        )
    except (CheckFailed, ValueError, TypeError) as error:
        print(f"ctp-check: {error}", file=sys.stderr)
        return 2
    return asyncio.run(check(account, args.timeout, out or sys.stdout))
