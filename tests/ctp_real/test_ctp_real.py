"""The real-front backend: library checks in a child process with the locale, the errors
without the locale or the extra, and `python -m zqkit ctp-check`."""

from __future__ import annotations

import io
from types import SimpleNamespace

import pytest
from ctp_helpers import APP_ID, AUTH_CODE, BROKER, FRONT, USER, FastAsyncio, FastClock, settings
from real_helpers import child_env, library_installed, run_python

import zqkit.trading
from zqkit import _ctp
from zqkit.__main__ import main
from zqkit.ctp_check import run

CHECK_ARGS = ["--broker", BROKER, "--user", USER, "--app-id", APP_ID, "--auth-code", AUTH_CODE]


def shown(result) -> str:
    return f"exit {result.returncode}\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"


@pytest.mark.parametrize("group", ["TestCallbacks", "TestRequests", "TestLifecycle"])
def test_with_the_library_loaded(locale_dir, group):
    result = run_python(
        [
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "--timeout=200",
            f"library_checks.py::{group}",
        ],
        child_env(LOCPATH=str(locale_dir)),
    )
    assert result.returncode == 0, shown(result)


class TestWithoutWhatTheLibraryNeeds:
    def test_missing_locale_is_reported_before_loading(self, tmp_path):
        if not library_installed():
            pytest.skip("the trader library (extra zqkit[ctp]) is not installed")
        env = child_env(LOCPATH=str(tmp_path), ZQKIT_CTP_PASSWORD="x")
        probe = "from zqkit._ctp_library import locale_available as a; print(a())"
        if run_python(["-c", probe], env).stdout.strip() != "False":
            pytest.skip("this system provides zh_CN.GB18030 outside LOCPATH")
        result = run_python(
            [
                "-m",
                "zqkit",
                "ctp-check",
                "--front",
                "tcp://127.0.0.1:1",
                *CHECK_ARGS,
                "--timeout",
                "5",
            ],
            env,
        )
        assert result.returncode == 1, shown(result)  # not killed by SIGABRT
        assert "localedef -i zh_CN -f GB18030" in result.stdout, shown(result)
        assert "LOCPATH" in result.stdout
        assert "terminate called" not in result.stderr

    def test_missing_extra_names_it(self):
        script = (
            "import sys\n"
            "sys.modules['openctp_ctp'] = None  # as if not installed\n"
            "from zqkit.__main__ import main\n"
            f"sys.exit(main(['ctp-check', '--front', 'tcp://127.0.0.1:1', *{CHECK_ARGS!r}]))\n"
        )
        result = run_python(["-c", script], child_env(ZQKIT_CTP_PASSWORD="x"))
        assert result.returncode == 1, shown(result)
        assert "pip install 'zqkit[ctp]'" in result.stdout, shown(result)


# ---- ctp-check against the simulated counter ----------------------------------------------


@pytest.fixture
def counter(monkeypatch):
    monkeypatch.setattr(zqkit.trading, "time", FastClock())
    monkeypatch.setattr(zqkit.trading, "asyncio", FastAsyncio())
    _ctp.reset()
    _ctp.configure_front(FRONT, settings())
    yield FRONT
    _ctp.reset()


def check(password: str | None, monkeypatch, capsys, timeout: float = 20.0):
    if password is None:
        monkeypatch.delenv("ZQKIT_CTP_PASSWORD", raising=False)
    else:
        monkeypatch.setenv("ZQKIT_CTP_PASSWORD", password)
    monkeypatch.setattr("sys.stdin", io.StringIO(""))  # not a terminal: no prompt
    code = main(["ctp-check", "--front", FRONT, *CHECK_ARGS, "--timeout", str(timeout)])
    return code, capsys.readouterr()


class TestCtpCheck:
    @pytest.mark.skipif(
        not hasattr(zqkit.trading.Trading, "commit"), reason="Trading.commit is not built yet"
    )
    def test_prints_day_funds_and_positions(self, counter, monkeypatch, capsys):
        code, output = check("secret", monkeypatch, capsys)
        assert code == 0, output
        assert "trading day: 20260608" in output.out
        assert "balance" in output.out and "1,000,000.00" in output.out
        assert "SHFE.rb2610" in output.out and "long 6 (today 2)" in output.out
        assert "DCE.m2609 " in output.out and "short 4 (today 1)" in output.out
        assert _ctp.open_connections() == 0  # the session closed its connection

    def test_wrong_password_prints_the_error_and_its_cause(self, counter, monkeypatch, capsys):
        code, output = check("wrong", monkeypatch, capsys)
        assert code == 1
        assert "交易连接不可用" in output.out
        assert "caused by ZqError: CTP 登录失败（错误码：3）" in output.out
        assert _ctp.open_connections() == 0

    def test_front_that_never_answers_times_out(self, counter, monkeypatch, capsys):
        _ctp.configure_front(FRONT, settings(connect_delay=30.0))
        code, output = check("secret", monkeypatch, capsys, timeout=0.3)
        assert code == 1
        assert "not ready after 0.3 s (session status SYNCING)" in output.out

    def test_password_only_from_the_environment_or_a_terminal(self, counter, monkeypatch, capsys):
        code, output = check(None, monkeypatch, capsys)
        assert code == 2
        assert "ZQKIT_CTP_PASSWORD" in output.err
        assert _ctp.open_connections() == 0
        monkeypatch.setenv("ZQKIT_CTP_PASSWORD", "secret")
        args = SimpleNamespace(
            front="udp://x",
            broker=BROKER,
            user=USER,
            app_id=APP_ID,
            auth_code=AUTH_CODE,
            timeout=1.0,
        )
        assert run(args, io.StringIO("")) == 2
        assert "tcp://" in capsys.readouterr().err

    def test_password_is_not_an_argument(self, capsys):
        assert main(["ctp-check", "--front", FRONT, *CHECK_ARGS, "--password", "x"]) == 2
        assert "unrecognized arguments: --password" in capsys.readouterr().err
