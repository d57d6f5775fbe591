// `async with`, `async for` and try/finally-with-await for coroutine bodies (see coro.hpp).
#pragma once

#include <exception>
#include <optional>
#include <type_traits>

#include "core/coro.hpp"
#include "core/py_ops.hpp"

namespace zqkit::core {

namespace detail {

// `type(obj).<name>` bound to obj, as the interpreter looks up special methods; empty if missing.
nb::object lookup_special(nb::handle obj, const char* name);

// (type, value, traceback) of a failure leaving an `async with` body, as Python objects.
nb::object exit_arguments(const std::exception_ptr& failure);

// asyncio's special methods must be called with the failure's Python object as __context__ of any
// exception they raise themselves.
nb::object call_aexit(nb::handle aexit, nb::handle arguments);

template <class F>
constexpr void check_helper_lambda() {
    static_assert(std::is_trivially_destructible_v<F>,
                  "capture by reference only ([&]): an owning closure in a coroutine helper is "
                  "destroyed twice by g++ 12");
}

}  // namespace detail

// `async with manager as entered: body(entered)`. The body's exception is passed to __aexit__ as
// (type, value, traceback) and re-raised unless __aexit__ returns a true value.
template <class Body>
Task<> async_with(nb::object manager, Body body) {
    detail::check_helper_lambda<Body>();
    nb::object aenter = detail::lookup_special(manager, "__aenter__");
    nb::object aexit = detail::lookup_special(manager, "__aexit__");
    if (!aenter.is_valid() || !aexit.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the asynchronous context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object entering = aenter();
    nb::object entered = co_await std::move(entering);

    std::exception_ptr failure;
    try {
        co_await body(std::move(entered));
    } catch (...) {
        failure = std::current_exception();
    }
    nb::object arguments = detail::exit_arguments(failure);
    nb::object exiting = detail::call_aexit(aexit, arguments);
    nb::object suppress;
    try {
        suppress = co_await std::move(exiting);
    } catch (const nb::python_error& e) {
        if (failure) chain_context(e.value(), PyTuple_GET_ITEM(arguments.ptr(), 1));
        throw;
    }
    if (failure && !truthy(suppress)) std::rethrow_exception(failure);
}

// try { co_await body(); } finally { co_await cleanup(); }. An exception from the cleanup replaces
// the body's, with the body's as its __context__.
template <class Body, class Cleanup>
Task<> try_finally(Body body, Cleanup cleanup) {
    detail::check_helper_lambda<Body>();
    detail::check_helper_lambda<Cleanup>();
    std::exception_ptr failure;
    try {
        co_await body();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        co_await cleanup();
    } catch (const nb::python_error& e) {
        if (failure) chain_context(e.value(), exception_object(failure));
        throw;
    }
    if (failure) std::rethrow_exception(failure);
}

// `async for item in iterable`:
//     AsyncIterator items(iterable);
//     while (std::optional<nb::object> item = co_await items.next()) { ... }
class AsyncIterator {
  public:
    explicit AsyncIterator(nb::handle iterable);

    class Next {
      public:
        explicit Next(nb::handle awaitable) noexcept : inner_(awaitable) {}
        Next(Next&&) noexcept = default;
        bool await_ready() noexcept { return false; }
        template <class P>
        bool await_suspend(std::coroutine_handle<P> frame) noexcept {
            return inner_.await_suspend(frame);
        }
        std::optional<nb::object> await_resume() {
            if (inner_.consume_error(PyExc_StopAsyncIteration)) return std::nullopt;
            return inner_.await_resume();
        }

      private:
        detail::PyAwait inner_;
    };

    // Awaiting it gives the next item, or nothing once the iterator raised StopAsyncIteration.
    Next next();

  private:
    nb::object anext_;
};

}  // namespace zqkit::core
