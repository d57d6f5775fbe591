"""`make bench`: runs every bench/bench_*.py in turn with this interpreter."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def main() -> int:
    failed = []
    for script in sorted(Path(__file__).resolve().parent.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script)], check=False).returncode != 0:
            failed.append(script.name)
        print(flush=True)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
