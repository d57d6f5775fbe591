"""Command line: `python -m zqkit demo [--seconds N]` and `python -m zqkit ctp-check …`."""

from __future__ import annotations

import argparse
import math
import sys


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or not 0 < value <= 3600:
        raise argparse.ArgumentTypeError(f"expected seconds between 0 and 3600, got {text!r}")
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m zqkit", description="zqkit command line")
    commands = top.add_subparsers(dest="command", required=True, metavar="command")
    demo = commands.add_parser(
        "demo",
        help="live market and trading dashboard on the built-in sandbox",
        description="Starts the simulated market service on 127.0.0.1 and a simulated CTP "
        "front, follows a few quotes and K-line series with a Client, trades on them with a "
        "small strategy and shows it all live, then exits.",
    )
    demo.add_argument("--seconds", type=_seconds, default=20.0, help="how long to run (default 20)")
    check = commands.add_parser(
        "ctp-check",
        help="log in to a CTP front and show the trading day, funds and positions",
        description="Logs in to a CTP front with a trading session (authentication, login, "
        "settlement confirmation, the login-time queries), prints the trading day, the funds "
        "and the positions, and exits 0; on failure prints the session's error with its cause "
        "and exits 1. The password is read from ZQKIT_CTP_PASSWORD, else asked on the terminal.",
    )
    check.add_argument("--front", required=True, help="trading front address, tcp://host:port")
    check.add_argument("--broker", required=True, help="broker id given by the futures company")
    check.add_argument("--user", required=True, help="investor (account) id")
    check.add_argument("--app-id", required=True, help="app id given by the futures company")
    check.add_argument("--auth-code", required=True, help="auth code given by the futures company")
    check.add_argument(
        "--timeout", type=_seconds, default=60.0, help="seconds to reach READY (default 60)"
    )
    return top


def main(argv: list[str] | None = None) -> int:
    try:
        args = parser().parse_args(argv)
    except SystemExit as exit_:  # argparse has printed the usage already
        return int(exit_.code or 0)
    try:
        if args.command == "ctp-check":
            from zqkit.ctp_check import run

            return run(args)
        from zqkit.demo import demo

        return demo(args.seconds)
    except KeyboardInterrupt:
        print(f"zqkit {args.command}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
