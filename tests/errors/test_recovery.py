import pytest

from zqkit import errors
from zqkit.data import ZqError
from zqkit.errors import Recovery


class Clock:
    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    fake = Clock()
    monkeypatch.setattr(errors, "time", fake)
    return fake


def test_attempt_budget_counts_failures_and_names_the_label(clock):
    budget = Recovery("行情查询", 3, 120)
    budget.begin()
    assert budget.started == 1000.0
    budget.check()
    budget.fail()
    budget.fail()
    assert budget.failures == 2
    budget.check()
    with pytest.raises(ZqError, match="行情查询") as caught:
        budget.fail()
    assert budget.failures == 3
    assert caught.value.status is None
    # Spent stays spent until the period ends.
    with pytest.raises(ZqError, match="行情查询"):
        budget.check()


def test_time_budget_runs_from_begin(clock):
    budget = Recovery("账户验证", 3, 120)
    budget.begin()
    clock.now += 119.5
    budget.check()
    clock.now += 0.5
    with pytest.raises(ZqError, match="账户验证"):
        budget.check()
    with pytest.raises(ZqError, match="账户验证"):
        budget.fail()


def test_begin_keeps_an_open_period(clock):
    # A snapshot query inside a reconnect calls begin() again: it must not reset the budget.
    budget = Recovery("行情连接")
    budget.begin()
    budget.fail()
    clock.now += 50
    budget.begin()
    assert budget.failures == 1
    assert budget.started == 1000.0


def test_success_closes_the_period_and_the_next_failure_opens_a_new_one(clock):
    budget = Recovery("交易连接")
    budget.begin()
    for _ in range(5):
        budget.fail()
    budget.success()
    assert budget.failures == 0
    clock.now += 10_000
    budget.check()  # no open period: nothing is being recovered
    budget.fail()
    assert budget.failures == 1
    assert budget.started == clock.now
    budget.check()


def test_failure_without_begin_opens_a_period(clock):
    budget = Recovery("账户查询", 3, 120)
    budget.fail()
    budget.fail()
    assert budget.started == 1000.0
    with pytest.raises(ZqError, match="账户查询"):
        budget.fail()


def test_one_argument_form_allows_a_long_outage(clock):
    budget = Recovery("行情连接")
    assert budget.seconds == errors.DEFAULT_SECONDS
    budget.begin()
    for _ in range(errors.DEFAULT_ATTEMPTS - 1):
        budget.fail()
    with pytest.raises(ZqError, match="行情连接"):
        budget.fail()


@pytest.mark.parametrize(
    "args",
    [
        ("",),
        (None,),
        ("x", 0),
        ("x", True),
        ("x", 2.0),
        ("x", 3, 0),
        ("x", 3, float("inf")),
        ("x", 3, "60"),
    ],
)
def test_bad_arguments_are_refused(args):
    with pytest.raises(ValueError):
        Recovery(*args)
