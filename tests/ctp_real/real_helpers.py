"""Helpers for the tests of the real-front backend `zqkit._ctp_library`.

The vendor's trader library aborts any process that loads it without the locale
zh_CN.GB18030, so tests that load it build the locale into a private directory with
`localedef` and run in a child process with LOCPATH pointing there.
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The simulated counter's request helpers, shared with its own tests.
sys.path.insert(0, str(HERE.parent / "ctp"))


def library_installed() -> bool:
    return importlib.util.find_spec("openctp_ctp") is not None


def child_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("ZQKIT_CTP_PASSWORD", None)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), str(HERE.parent / "ctp")])
    env.update(extra)
    return env


def run_python(args: list[str], env: dict[str, str], timeout: float = 300):
    return subprocess.run(
        [sys.executable, *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=HERE,
    )
