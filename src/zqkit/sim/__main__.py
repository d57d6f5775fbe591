"""Command line: `python -m zqkit.sim [--host H] [--port N] [--token T] [--rate R]`."""

from __future__ import annotations

import argparse
import asyncio
import sys

from .service import MarketSim


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m zqkit.sim", description="Serve the simulated market service."
    )
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--token", default="sim-token", help="the accepted account token")
    parser.add_argument("--rate", type=float, default=4.0, help="ticks per second")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument(
        "--secret", default=None, help="signing secret (default: the one built into zqkit)"
    )
    return parser.parse_args(argv)


async def serve(args: argparse.Namespace) -> None:
    sim = MarketSim(args.token, rate=args.rate, seed=args.seed, signing_secret=args.secret)
    await sim.start(args.host, args.port)
    print(f"zqkit.sim serving on {sim.url}", flush=True)
    try:
        await asyncio.Event().wait()
    finally:
        await sim.close()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    except (OSError, ValueError, RuntimeError) as error:
        print(f"zqkit.sim: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
