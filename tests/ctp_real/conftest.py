"""The locale the vendor's trader library needs, built once per test run."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from real_helpers import library_installed  # noqa: E402


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
