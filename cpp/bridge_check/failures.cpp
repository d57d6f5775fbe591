// Exceptions both ways, C++ exception translation, cancellation.
#include <new>
#include <stdexcept>
#include <string>

#include "bridge_check/checks.hpp"

namespace zqkit::bridge_check {

namespace {

nb::object value_error(const char* message) {
    return nb::handle(PyExc_ValueError)(message);
}

Task<> raise_given(nb::object exception) {
    core::raise(exception);
    co_return;
}

// Fails after a suspension, so the error leaves through send/throw rather than the call.
Task<> raise_after(nb::object awaitable, nb::object exception) {
    co_await std::move(awaitable);
    core::raise(exception);
}

// Returns the exception object that the awaitable raised.
Task<nb::object> catch_error(nb::object awaitable) {
    try {
        nb::object value = co_await std::move(awaitable);
        co_return value;
    } catch (const nb::python_error& e) {
        co_return nb::borrow(e.value());
    }
}

Task<> wrap_error(nb::object awaitable, std::string how) {
    try {
        co_await std::move(awaitable);
    } catch (const nb::python_error& e) {
        if (how == "from_none") core::raise_from_none(value_error("wrapped"));
        if (how == "from_cause") core::raise_from(value_error("wrapped"), e.value());
        if (how == "implicit") core::raise(value_error("wrapped"));
        throw;
    }
}

[[noreturn]] void throw_kind(const std::string& kind) {
    if (kind == "runtime") throw std::runtime_error("plain C++ failure");
    if (kind == "alloc") throw std::bad_alloc();
    if (kind == "type") throw nb::type_error("nanobind type error");
    if (kind == "key") throw nb::key_error("nanobind key error");
    if (kind == "value") throw nb::value_error("nanobind value error");
    if (kind == "stop") throw nb::stop_iteration("stopped");
    throw 42;
}

Task<> throw_cpp(nb::object awaitable, std::string kind) {
    co_await std::move(awaitable);
    throw_kind(kind);
}

// A raw C entry point, as the data module's functions are: the body runs through core::guarded.
// Given an exception object it raises that very object.
PyObject* throw_through_guard(PyObject*, PyObject* argument) {
    return core::guarded([&]() -> nb::object {
        if (PyExceptionInstance_Check(argument)) core::raise(argument);
        throw_kind(nb::cast<std::string>(nb::handle(argument)));
    });
}

PyMethodDef throw_through_guard_def = {"throw_through_guard", throw_through_guard, METH_O, nullptr};

// Swallows a cancellation the way a well-behaved body must: uncancel() the task.
Task<nb::object> swallow_cancel(nb::object awaitable) {
    try {
        co_await std::move(awaitable);
    } catch (const nb::python_error& e) {
        if (!core::is_cancellation(e)) throw;
        core::uncancel_current_task();
        co_return nb::str("swallowed");
    }
    co_return nb::str("finished");
}

// try/finally whose cleanup may itself await; `log` records the order.
Task<> guarded(nb::object awaitable, nb::object log, bool await_in_cleanup) {
    nb::object append = log.attr("append");
    co_await core::try_finally(
        [&]() -> Task<> {
            nb::object value = co_await std::move(awaitable);
            append("body");
        },
        [&]() -> Task<> {
            if (await_in_cleanup) {
                nb::object sleeping = asyncio().attr("sleep")(0);
                co_await std::move(sleeping);
            }
            append("cleanup");
        });
}

// Waits on a future of its own; the frame keeps no reference to it while suspended.
Task<> wait_forever(nb::object log) {
    nb::object append = log.attr("append");
    co_await core::try_finally(
        [&]() -> Task<> {
            nb::object future = asyncio().attr("get_running_loop")().attr("create_future")();
            co_await std::move(future);
        },
        [&]() -> Task<> {
            append("cleanup");
            co_return;
        });
}

// The except-with-await pattern written out by hand.
Task<> cleanup_on_failure(nb::object awaitable, nb::object cleanup) {
    std::exception_ptr failure;
    try {
        co_await std::move(awaitable);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        co_await std::move(cleanup);
        std::rethrow_exception(failure);
    }
}

}  // namespace

void register_failures(nb::module_& m) {
    core::def_coroutine(m, "raise_given", &raise_given, nb::arg("exception"));
    core::def_coroutine(m, "raise_after", &raise_after, nb::arg("awaitable"), nb::arg("exception"));
    core::def_coroutine(m, "catch_error", &catch_error, nb::arg("awaitable"));
    core::def_coroutine(m, "wrap_error", &wrap_error, nb::arg("awaitable"), nb::arg("how"));
    core::def_coroutine(m, "throw_cpp", &throw_cpp, nb::arg("awaitable"), nb::arg("kind"));
    m.attr("throw_through_guard") = nb::steal(PyCFunction_New(&throw_through_guard_def, nullptr));
    core::def_coroutine(m, "swallow_cancel", &swallow_cancel, nb::arg("awaitable"));
    core::def_coroutine(m, "guarded", &guarded, nb::arg("awaitable"), nb::arg("log"),
                        nb::arg("await_in_cleanup"));
    core::def_coroutine(m, "wait_forever", &wait_forever, nb::arg("log"));
    core::def_coroutine(m, "cleanup_on_failure", &cleanup_on_failure, nb::arg("awaitable"),
                        nb::arg("cleanup"));
}

}  // namespace zqkit::bridge_check
