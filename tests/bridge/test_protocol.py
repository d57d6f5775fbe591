"""The coroutine object follows the generator/coroutine protocol that asyncio relies on."""

import asyncio
import collections.abc

import pytest
from conftest import Probe, run

from zqkit import _bridge_check as m


def test_is_a_coroutine_with_names_and_introspection():
    coroutine = m.sleep_then(0, 1)
    try:
        assert asyncio.iscoroutine(coroutine)
        assert isinstance(coroutine, collections.abc.Coroutine)
        assert coroutine.__await__() is coroutine
        assert coroutine.__name__ == "sleep_then"
        assert coroutine.__qualname__ == "sleep_then"
        assert (coroutine.cr_running, coroutine.cr_frame, coroutine.cr_code) == (False, None, None)
        assert "sleep_then" in repr(coroutine)
    finally:
        coroutine.close()
    method = m.Counter().add_later(1)
    assert method.__qualname__ == "Counter.add_later"
    method.close()
    named = m.named_coroutine(1)
    assert (named.__name__, named.__qualname__) == ("named", "Outer.named")
    named.close()
    with pytest.raises(TypeError):
        type(named)()


def test_task_repr_and_stack_name_the_coroutine():
    async def main():
        task = asyncio.create_task(m.sleep_then(10, None))
        await asyncio.sleep(0)
        assert "sleep_then()" in repr(task)
        assert task.get_stack() == []
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())


def test_send_and_throw_are_forwarded_to_the_awaited_object():
    probe = Probe(steps=2)
    coroutine = m.await_value(probe)
    assert coroutine.send(None) == "probe"
    assert coroutine.cr_await is not None and coroutine.cr_suspended
    assert coroutine.send("first") == "probe"
    with pytest.raises(StopIteration) as stop:
        coroutine.send("second")
    assert stop.value.value == "done"
    assert probe.events == [("sent", "first"), ("sent", "second")]

    probe = Probe()
    coroutine = m.catch_error(probe)
    coroutine.send(None)
    error = KeyError("thrown")
    with pytest.raises(StopIteration) as stop:
        coroutine.throw(error)
    assert stop.value.value is error and probe.events == [("thrown", error)]


def test_throw_into_an_iterator_without_throw_raises_at_the_await():
    class PlainIterator:
        def __await__(self):
            return iter([None, None])

    coroutine = m.catch_error(PlainIterator())
    assert coroutine.send(None) is None
    error = KeyError("at the await")
    with pytest.raises(StopIteration) as stop:
        coroutine.throw(error)
    assert stop.value.value is error


def test_throw_accepts_one_and_three_argument_forms():
    coroutine = m.catch_error(Probe())
    coroutine.send(None)
    with pytest.raises(StopIteration) as stop:
        coroutine.throw(ValueError, ValueError("three"), None)
    assert str(stop.value.value) == "three"

    coroutine = m.catch_error(Probe())
    coroutine.send(None)
    with pytest.raises(StopIteration) as stop:
        coroutine.throw(ValueError)
    assert type(stop.value.value) is ValueError

    coroutine = m.await_value(Probe())
    coroutine.send(None)
    with pytest.raises(TypeError, match="separate value"):
        coroutine.throw(ValueError("a"), ValueError("b"))
    with pytest.raises(TypeError, match="deriving from BaseException"):
        coroutine.throw(42)
    coroutine.close()


def test_generator_rules():
    coroutine = m.return_value(1)
    with pytest.raises(TypeError, match="non-None value to a just-started coroutine"):
        coroutine.send(1)
    with pytest.raises(StopIteration):
        coroutine.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coroutine.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coroutine.throw(ValueError("late"))
    assert coroutine.close() is None


def test_reentrant_send_is_refused():
    class Reenter:
        def __await__(self):
            assert self.coroutine.cr_running
            with pytest.raises(ValueError, match="coroutine already executing"):
                self.coroutine.send(None)
            return "checked"
            yield

    awaitable = Reenter()
    awaitable.coroutine = m.await_value(awaitable)
    with pytest.raises(StopIteration) as stop:
        awaitable.coroutine.send(None)
    assert stop.value.value == "checked"


def test_throw_into_unstarted_coroutine_raises_without_running_the_body():
    log = []
    coroutine = m.guarded(Probe(), log, False)
    error = ValueError("early")
    with pytest.raises(ValueError) as raised:
        coroutine.throw(error)
    assert raised.value is error and log == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coroutine.send(None)


def test_return_values_keep_tuples_and_exceptions_as_values():
    for value in [(1, 2), (), ValueError("as value"), None, [3]]:
        assert run(m.return_value(value)) is value
        coroutine = m.return_value(value)
        with pytest.raises(StopIteration) as stop:
            coroutine.send(None)
        assert stop.value.value is value


def test_close_closes_the_awaited_object_first_then_unwinds():
    probe, log = Probe(), []
    coroutine = m.guarded(probe, log, False)
    coroutine.send(None)
    assert coroutine.close() is None
    assert probe.events == ["closed"] and log == ["cleanup"]
    assert coroutine.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coroutine.send(None)


def test_cleanup_that_suspends_during_close_ignores_generator_exit():
    log = []
    coroutine = m.guarded(Probe(), log, True)
    coroutine.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coroutine.close()
    # The frame is still suspended in its cleanup; finish it the normal way.
    with pytest.raises(GeneratorExit):
        coroutine.send(None)
    assert log == ["cleanup"]


def test_any_awaitable_works_and_non_awaitables_fail_at_the_await():
    async def python_coroutine():
        await asyncio.sleep(0)
        return "python"

    async def main():
        future = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(future.set_result, "future")
        results = await m.await_all(
            [
                python_coroutine(),
                future,
                Probe(result="probe", yielded=None),
                m.return_value("nested"),
            ]
        )
        assert results == ["python", "future", "probe", "nested"]
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            await m.await_value(42)

    run(main())


def test_immediate_awaitable_does_not_suspend():
    coroutine = m.await_value(Probe(steps=0, result="now"))
    with pytest.raises(StopIteration) as stop:
        coroutine.send(None)
    assert stop.value.value == "now"


def test_method_takes_self_by_value():
    async def main():
        counter = m.Counter()
        results = await asyncio.gather(*(counter.add_later(i) for i in range(1, 4)))
        assert sorted(results) == [1, 3, 6] and counter.value == 6

        # A callable made with is_method binds like a function in a class built in Python.
        holder_type = type("Holder", (), {"method": m.method_coroutine})
        holder = holder_type()
        coroutine = holder.method(7)
        assert coroutine.__qualname__ == "Holder.method"
        assert await coroutine == (holder, 7)

        # A class built from C++ as the modules build theirs: state in attributes, methods
        # registered with add_coroutine.
        tally = m.Tally()
        adding = tally.add_later(2)
        assert adding.__qualname__ == "Tally.add_later"
        assert sorted(await asyncio.gather(adding, tally.add_later(3))) == [2, 5]
        assert tally.total == 5 and m.Tally.add_later.__qualname__ == "Tally.add_later"

    run(main())
