"""Helpers for the tests of the real-front backend `zqkit._ctp_library`.

The vendor's trader library aborts any process that loads it without the locale
zh_CN.GB18030, so tests that load it build the locale into a private directory with
`localedef` and run in a child process with LOCPATH pointing there.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

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


@pytest.fixture(scope="session")
def locale_dir(tmp_path_factory) -> Path:
    """A directory for LOCPATH holding zh_CN.GB18030, built once per test run."""
    if not library_installed():
        pytest.skip("the trader library (extra zqkit[ctp]) is not installed")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the vendor's library is not loaded under the sanitizer runtime")
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef is not available to build zh_CN.GB18030")
    directory = tmp_path_factory.mktemp("locale")
    built = subprocess.run(
        [localedef, "-i", "zh_CN", "-f", "GB18030", str(directory / "zh_CN.GB18030")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if built.returncode not in (0, 1) or not (directory / "zh_CN.GB18030" / "LC_CTYPE").exists():
        # Exit status 1 means warnings only; anything else left no usable locale.
        pytest.skip(f"localedef could not build zh_CN.GB18030: {built.stderr.strip()[-300:]}")
    return directory
