"""Exceptions cross the bridge both ways as the same objects, with Python's chaining rules."""

import asyncio
import re

import pytest
from conftest import run

from zqkit import _bridge_check as m


async def fail_with(error):
    await asyncio.sleep(0)
    raise error


def test_python_exception_reaches_cpp_and_comes_back_as_the_same_object():
    async def main():
        error = KeyError("lost")
        assert await m.catch_error(fail_with(error)) is error
        again = ValueError("through three frames")
        with pytest.raises(ValueError) as raised:
            await m.descend(3, fail_with(again))
        assert raised.value is again
        # The traceback still reaches the Python frame that raised it.
        assert raised.value.__traceback__ is not None

    run(main())


def test_exceptions_raised_in_cpp_keep_class_message_and_context():
    async def main():
        original = OSError("socket")
        with pytest.raises(ValueError, match="wrapped") as raised:
            await m.wrap_error(fail_with(original), "from_none")
        wrapped = raised.value
        assert wrapped.__cause__ is None and wrapped.__suppress_context__
        assert wrapped.__context__ is original

        with pytest.raises(ValueError, match="wrapped") as raised:
            await m.wrap_error(fail_with(original), "from_cause")
        assert raised.value.__cause__ is original and raised.value.__suppress_context__

        with pytest.raises(ValueError, match="wrapped") as raised:
            await m.wrap_error(fail_with(original), "implicit")
        assert raised.value.__cause__ is None and not raised.value.__suppress_context__
        assert raised.value.__context__ is original

        given = LookupError("as given")
        with pytest.raises(LookupError) as raised:
            await m.raise_after(asyncio.sleep(0), given)
        assert raised.value is given
        with pytest.raises(ZeroDivisionError):
            await m.raise_given(ZeroDivisionError)

    run(main())


@pytest.mark.parametrize(
    ("kind", "error_type", "message"),
    [
        ("runtime", RuntimeError, "plain C++ failure"),
        ("alloc", MemoryError, None),
        ("type", TypeError, "nanobind type error"),
        ("key", KeyError, "nanobind key error"),
        ("value", ValueError, "nanobind value error"),
        ("other", SystemError, "unknown C++ exception"),
    ],
)
def test_cpp_exceptions_become_python_exceptions(kind, error_type, message):
    # After a suspension, so the error leaves through the coroutine's own slots.
    with pytest.raises(error_type, match=message and re.escape(message)):
        run(m.throw_cpp(asyncio.sleep(0), kind))
    with pytest.raises(error_type, match=message and re.escape(message)):
        run(m.throw_cpp(m.return_none(), kind))
    # A plain C entry point translates the same way.
    with pytest.raises(error_type, match=message and re.escape(message)):
        m.throw_through_guard(kind)


def test_a_plain_entry_point_raises_the_same_python_object_every_time():
    error = LookupError("kept")
    for _ in range(3):
        with pytest.raises(LookupError) as raised:
            m.throw_through_guard(error)
        assert raised.value is error


def test_stop_iteration_leaving_the_body_becomes_runtime_error():
    stop = StopIteration("escaped")
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        run(m.raise_given(stop))
    assert raised.value.__cause__ is stop
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        run(m.throw_cpp(asyncio.sleep(0), "stop"))
    assert type(raised.value.__cause__) is StopIteration
    # A child's StopIteration is converted at the child, not read as its parent's return.
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        run(m.descend(2, m.raise_given(StopIteration)))


class Manager:
    def __init__(self, suppress=False, exit_error=None):
        self.suppress = suppress
        self.exit_error = exit_error
        self.calls = []

    async def __aenter__(self):
        await asyncio.sleep(0)
        self.calls.append("enter")
        return "entered"

    async def __aexit__(self, exc_type, exc, tb):
        await asyncio.sleep(0)
        self.calls.append((exc_type, exc, tb is getattr(exc, "__traceback__", None)))
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress


def test_async_with_passes_the_exception_triple_and_honours_suppression():
    async def main():
        manager = Manager()
        assert await m.use_async_with(manager) == "entered"
        assert manager.calls == ["enter", (None, None, True)]

        error = ValueError("body")
        manager = Manager()
        with pytest.raises(ValueError) as raised:
            await m.use_async_with(manager, error)
        assert raised.value is error
        assert manager.calls == ["enter", (ValueError, error, True)]

        manager = Manager(suppress=True)
        assert await m.use_async_with(manager, error) == "entered"

        exit_error = OSError("exit")
        manager = Manager(exit_error=exit_error)
        with pytest.raises(OSError) as raised:
            await m.use_async_with(manager, error)
        assert raised.value is exit_error and exit_error.__context__ is error

        with pytest.raises(TypeError, match="asynchronous context manager protocol"):
            await m.use_async_with(object())

    run(main())


def test_async_for_iterates_and_propagates_failures():
    async def numbers(failure=None):
        for number in range(3):
            await asyncio.sleep(0)
            yield number
        if failure is not None:
            raise failure

    async def main():
        assert await m.collect(numbers()) == [0, 1, 2]
        assert await m.collect(numbers(), 2) == [0, 1]
        error = ConnectionError("dropped")
        with pytest.raises(ConnectionError) as raised:
            await m.collect(numbers(error))
        assert raised.value is error
        with pytest.raises(TypeError, match="__aiter__"):
            await m.collect([1, 2])

    run(main())


def test_finally_cleanup_error_replaces_the_body_error_with_context():
    async def main():
        log = []
        body_error = ValueError("body")
        with pytest.raises(ValueError) as raised:
            await m.guarded(fail_with(body_error), log, True)
        assert raised.value is body_error and log == ["cleanup"]

        class FullLog:
            def append(self, entry):
                raise OSError("log full")

        with pytest.raises(OSError, match="log full") as raised:
            await m.guarded(fail_with(body_error), FullLog(), False)
        assert raised.value.__context__ is body_error

        cleaned = []

        async def cleanup():
            cleaned.append(True)

        with pytest.raises(ValueError):
            await m.cleanup_on_failure(fail_with(ValueError("x")), cleanup())
        assert cleaned == [True]

    run(main())


def test_raising_inside_a_python_except_block_chains_the_handled_exception():
    def python_raise(error):
        raise error

    for raise_it in (m.throw_through_guard, python_raise):
        try:
            raise KeyError("outer")
        except KeyError as error:
            outer = error
            with pytest.raises(ValueError) as raised:
                raise_it(ValueError("inner"))
        assert raised.value.__context__ is outer, raise_it

    async def main():
        try:
            raise KeyError("outer")
        except KeyError as error:
            outer = error
            with pytest.raises(ValueError) as raised:
                await m.raise_given(ValueError("inner"))
        assert raised.value.__context__ is outer

    run(main())
