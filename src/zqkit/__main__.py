"""Command line: `python -m zqkit demo [--seconds N]`."""

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
    return top


def main(argv: list[str] | None = None) -> int:
    try:
        args = parser().parse_args(argv)
    except SystemExit as exit_:  # argparse has printed the usage already
        return int(exit_.code or 0)
    from zqkit.demo import demo

    try:
        return demo(args.seconds)
    except KeyboardInterrupt:
        print("zqkit demo: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
