"""Command line: `python -m zqkit demo`."""

from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] != ["demo"]:
        print("usage: python -m zqkit demo", file=sys.stderr)
        return 2
    print(
        "zqkit demo: not available yet; it arrives with the market transport "
        "and the simulated market service.",
        file=sys.stderr,
    )
    return 1


if __name__ == "__main__":
    sys.exit(main())
