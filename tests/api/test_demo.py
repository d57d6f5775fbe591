"""python -m zqkit demo: a short run, its arguments, its failure path and its drawing."""

import io
import re
import subprocess
import sys

import pytest

import zqkit.demo as demo
from zqkit import Client
from zqkit.__main__ import main
from zqkit.api import MarketStatus
from zqkit.data import Quote, Serial


def test_short_demo_shows_the_market_and_exits_zero(capsys):
    # Long enough for the market to be restored on a slow (sanitizer) build as well; the
    # planned drop halfway may leave the last frame on the second connection.
    assert main(["demo", "--seconds", "6"]) == 0
    out = capsys.readouterr().out
    assert "\x1b[" not in out  # not a terminal: plain text
    for symbol in ("SHFE.rb2610", "CFFEX.IF2612"):
        assert re.search(rf"^{re.escape(symbol)} +\d+\.\d", out, re.MULTILINE), out
    assert re.search(r"connection \d · ready \(data \d+\.\d s ago\) · [1-9]\d* updates", out)


@pytest.mark.parametrize("argv", [[], ["nope"], ["demo", "--seconds", "0"], ["demo", "-s"]])
def test_bad_command_lines_exit_two_with_usage(capsys, argv):
    assert main(argv) == 2
    assert "usage: python -m zqkit" in capsys.readouterr().err


def test_a_failing_demo_says_why_and_exits_one(monkeypatch, capsys):
    monkeypatch.setattr(demo, "Client", lambda token, *a, **k: Client("wrong", *a, **k))
    assert main(["demo", "--seconds", "3"]) == 1
    err = capsys.readouterr().err
    assert "zqkit demo failed: 账户验证失败，请检查 Token 或账户状态。 (HTTP 401)" in err


def test_a_reader_that_goes_away_ends_the_demo_quietly():
    # `python -m zqkit demo | head -1`: the closed pipe is no failure of the demo. Piped, a
    # frame comes every two seconds: the run is long enough for frames after the first even
    # when starting up takes seconds.
    demo_process = subprocess.Popen(
        [sys.executable, "-m", "zqkit", "demo", "--seconds", "8"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert demo_process.stdout.readline().startswith(b"zqkit demo")
    demo_process.stdout.close()
    _, err = demo_process.communicate(timeout=30)
    assert (demo_process.returncode, err) == (141, b"")


def test_rows_are_coloured_by_change_on_a_terminal():
    class Handle:
        def __init__(self, quote):
            self.quote = quote

        def data(self):
            return self.quote

    up = Quote("SHFE.rb2610", last_price=3520.0, pre_settlement=3500.0, bids=[(3519.0, 2)])
    down = Quote("DCE.m2609", last_price=2990.0, pre_settlement=3000.0)
    rows = [demo.Row(Handle(q), Serial(q.symbol, "1m", 3)) for q in (up, down)]
    board = demo.Board(rows, seconds=10, started=0.0)
    lines = demo.render(board, 1, 4.0, colour=True)
    first, second = lines[3], lines[4]
    assert demo.RED + "    3520.0" in first and "+0.57" in first and "3519.0" in first
    assert demo.GREEN + "    2990.0" in second and "-0.33" in second
    assert "4.0 / 10 s" in lines[6] and "· " + demo.BOLD + "connecting" in lines[6]
    board.status = MarketStatus(state="ready", connections=1, data_at=1.5)
    assert "· ready (data 2.5 s ago) ·" in demo.render(board, 1, 4.0, colour=False)[6]
    plain = demo.render(board, 1, 4.0, colour=False)
    assert not any("\x1b" in line for line in plain)

    out = io.StringIO()
    out.isatty = lambda: True
    with demo.Screen(out) as screen:
        screen.draw(["a", "b"], 0.0)
    assert out.getvalue().startswith(demo.HIDE_CURSOR) and demo.HOME + "a" in out.getvalue()
    assert out.getvalue().endswith(demo.SHOW_CURSOR)


def test_the_full_demo_trades_through_a_reconnect_and_exits_zero():
    demo_process = subprocess.run(
        [sys.executable, "-m", "zqkit", "demo", "--seconds", "20"],
        capture_output=True,
        text=True,
        timeout=90,
    )
    assert (demo_process.returncode, demo_process.stderr) == (0, ""), demo_process.stderr
    out = demo_process.stdout
    assert "\x1b[" not in out
    # The last block: the market table, then the trading panel.
    last = out[out.rindex("zqkit demo ·") :]
    for heading in ("account sandbox01 · READY · balance ", "position ", "orders: ", "trades: "):
        assert heading in last, last
    assert re.search(r"^SHFE\.rb2610 +\d+ +\d+ +\d+ +\d+ +\d+", last, re.MULTILINE)
    assert re.search(r"trading session left READY \(\w+\)", out)
    assert "trading session READY again; positions and trades unchanged" in out
    sent, filled = re.search(
        r"strategy: (\d+) orders sent \(\d+ refused\), (\d+) filled", out
    ).groups()
    assert int(sent) >= 1 and int(filled) >= 1, out
    assert re.search(r"(FILLED|CANCELLED) +\d+/\d+ ", last)
