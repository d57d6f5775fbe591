"""HTTP statuses at the edges of each verdict, for the three exchanges side by side.

Every answer carries "Retry-After: 30", which only a verification's 429 may honour.
"""

import pytest
from market_service import OK_VERIFY, Service, answer, run, settle

from zqkit.data import ZqError

RETRY = "retry"
VERIFY_REFUSED = "账户验证请求未获允许。"
QUERY_REFUSED = "行情查询未获允许，请检查查询条件。"
REFUSED = "行情服务拒绝连接"

# status: (verification, query, handshake); a refusal is (message, status attribute).
TABLE = {
    201: ((VERIFY_REFUSED, 201), (QUERY_REFUSED, None), RETRY),
    302: ((VERIFY_REFUSED, 302), (QUERY_REFUSED, None), RETRY),
    400: ((VERIFY_REFUSED, 400), (QUERY_REFUSED, None), (REFUSED, 400)),
    407: ((VERIFY_REFUSED, 407), (QUERY_REFUSED, None), (REFUSED, 407)),
    408: (RETRY, RETRY, RETRY),
    409: ((VERIFY_REFUSED, 409), (QUERY_REFUSED, None), (REFUSED, 409)),
    428: ((VERIFY_REFUSED, 428), (QUERY_REFUSED, None), (REFUSED, 428)),
    429: (RETRY, RETRY, RETRY),
    430: ((VERIFY_REFUSED, 430), (QUERY_REFUSED, None), (REFUSED, 430)),
    499: ((VERIFY_REFUSED, 499), (QUERY_REFUSED, None), (REFUSED, 499)),
    500: (RETRY, RETRY, RETRY),
    599: (RETRY, RETRY, RETRY),
}


def rows(column):
    return [(status, verdicts[column]) for status, verdicts in TABLE.items()]


def scripted(status):
    return answer(status, {}, headers={"Retry-After": "30", "Location": "/elsewhere"})


@pytest.mark.parametrize(("status", "expected"), rows(0))
def test_verification(fake_asyncio, status, expected):
    async def main():
        async with Service() as service:
            service.verify = [scripted(status), OK_VERIFY]
            t = service.transport()
            try:
                if expected == RETRY:
                    await t.verify_account()
                    assert fake_asyncio.sleeps == [30.0 if status == 429 else 0.5]
                    assert t.fatal_error is None
                else:
                    with pytest.raises(ZqError) as caught:
                        await t.verify_account()
                    assert (str(caught.value), caught.value.status) == expected
                    assert t.fatal_error is caught.value and fake_asyncio.sleeps == []
            finally:
                await t.session.close()

    run(main())


@pytest.mark.parametrize(("status", "expected"), rows(1))
def test_query(fake_asyncio, status, expected):
    async def main():
        async with Service() as service:
            service.query = [scripted(status), answer(body={"ok": True, "d": 7})]
            t = service.transport()
            try:
                if expected == RETRY:
                    assert await t.get("/x") == 7
                    assert fake_asyncio.sleeps == [0.5]
                else:
                    with pytest.raises(ZqError) as caught:
                        await t.get("/x")
                    assert (str(caught.value), caught.value.status) == expected
                    assert fake_asyncio.sleeps == [] and t.fatal_error is None
            finally:
                await t.session.close()

    run(main())


@pytest.mark.parametrize(("status", "expected"), rows(2))
def test_handshake(fake_asyncio, status, expected):
    async def main():
        async with Service() as service:
            service.handshake = [status, None]
            t = service.transport()
            t.start()
            try:
                if expected == RETRY:
                    await settle(lambda: t.generation == 1)
                    assert fake_asyncio.sleeps == [1] and t.fatal_error is None
                else:
                    assert await t.task is None
                    error = t.fatal_error
                    assert (str(error), error.status) == expected
                    assert fake_asyncio.sleeps == []
            finally:
                await t.close()

    run(main())
