// C++20 coroutines that asyncio drives like `async def` coroutines: the one header a module
// author includes. cpp/core/README.md explains the rules with worked examples; read it before
// writing a coroutine.
//
// In short:
//   - A coroutine body returns `Task<nb::object>` (a Python value), `Task<>` (None) or, for a
//     child that only C++ awaits, any `Task<T>`. Parameters by value; a method takes
//     `nb::object self` first and reads its state through `self.attr(...)` after every await.
//   - `co_await` a Python awaitable (`yield from` rules; its exception arrives as the same
//     object in nb::python_error) or a child Task (runs on the parent's driver, no stack growth).
//     A Python awaitable or Task held in a variable is awaited as `co_await std::move(variable)`
//     (`co_await variable` does not compile); a call is awaited directly:
//     `co_await obj.attr("method")(x)`, `co_await child(x)`.
//   - `async with`, try/finally with await and `async for`: async_with, try_finally,
//     AsyncIterator (core/async_helpers.hpp, included below). Raising: core/py_errors.hpp.
//   - Registering: init_coroutines(m) first in NB_MODULE, then def_coroutine / add_coroutine.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <cstring>
#include <utility>

#include "core/py_errors.hpp"

namespace zqkit::core {

namespace nb = nanobind;

namespace detail {
template <class T>
class Promise;
}  // namespace detail

// A lazy coroutine: nothing runs until it is awaited (by a parent Task or, once handed to Python,
// by the event loop). Dropping it unstarted frees the frame. A Task is awaited once.
template <class T = void>
class [[nodiscard]] Task {
  public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    explicit Task(Handle frame) noexcept : frame_(frame) {}
    Task(Task&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            frame_ = std::exchange(other.frame_, {});
        }
        return *this;
    }
    ~Task() { reset(); }

    Handle release() noexcept { return std::exchange(frame_, {}); }

  private:
    void reset() noexcept {
        if (frame_) std::exchange(frame_, {}).destroy();
    }
    Handle frame_;
};

}  // namespace zqkit::core

#include "core/detail/coro_driver.hpp"

namespace zqkit::core {

// ─── Registering coroutines ─────────────────────────────────────────────────────────────────────
// `function` is a plain function pointer (or a capture-less `+[](...) -> Task<...> {...}`). Each
// call of the registered callable returns a new coroutine object named after it.
// inspect.iscoroutinefunction() is false for these callables (a nanobind function cannot carry
// the marker); calling one returns a coroutine all the same. nanobind refuses None for an
// nb::object parameter unless it is declared `nb::arg("x").none()`.

// Creates this extension module's coroutine type; call it first in NB_MODULE.
void init_coroutines(nb::module_& module);

// A module function: `async def name(...)`.
template <class F, class... Extra>
void def_coroutine(nb::module_& module, const char* name, F function, const Extra&... extra) {
    module.def(name, detail::coroutine_caller(function, detail::names_for(name)), extra...);
}

// A coroutine method of a class built from C++ with make_class (a real Python class): the
// method binds like a `def` in the class body and receives `self` as its first parameter.
template <class F, class... Extra>
void add_coroutine(nb::handle cls, const char* name, F function, const Extra&... extra) {
    nb::str qualname = nb::str("{}.{}").format(cls.attr("__qualname__"), name);
    nb::object method =
        nb::cpp_function(detail::coroutine_caller(function, detail::names_for(qualname.c_str())),
                         nb::scope(cls), nb::name(name), nb::is_method(), extra...);
    nb::setattr(cls, name, method);
}

// A coroutine method of a nanobind class (nb::class_): `self` casts to the bound C++ type.
template <class C, class... Options, class F, class... Extra>
void def_coroutine(nb::class_<C, Options...>& cls, const char* name, F function,
                   const Extra&... extra) {
    nb::str qualname = nb::str("{}.{}").format(cls.attr("__qualname__"), name);
    cls.def(name, detail::coroutine_caller(function, detail::names_for(qualname.c_str())),
            extra...);
}

// A bare callable returning coroutine objects named after `qualname` ("Class.name"); with
// nb::is_method() it binds like a function stored in a class.
template <class F, class... Extra>
nb::object make_coroutine_function(const char* qualname, F function, const Extra&... extra) {
    const char* dot = std::strrchr(qualname, '.');
    return nb::cpp_function(detail::coroutine_caller(function, detail::names_for(qualname)),
                            nb::name(dot ? dot + 1 : qualname), extra...);
}

}  // namespace zqkit::core

#include "core/async_helpers.hpp"
