import asyncio

import pytest


def run(coroutine, timeout: float = 10.0):
    """Runs a coroutine on a fresh event loop with a hard time-out."""

    async def bounded():
        async with asyncio.timeout(timeout):
            return await coroutine

    return asyncio.run(bounded())


class Probe:
    """An awaitable that suspends `steps` times and records what reaches it."""

    def __init__(self, steps: int = 1, result: object = "done", yielded: object = "probe"):
        self.steps = steps
        self.yielded = yielded
        self.result = result
        self.events: list = []

    def __await__(self):
        try:
            for _ in range(self.steps):
                sent = yield self.yielded
                self.events.append(("sent", sent))
        except GeneratorExit:
            self.events.append("closed")
            raise
        except BaseException as error:
            self.events.append(("thrown", error))
            raise
        return self.result


@pytest.fixture
def probe():
    return Probe
