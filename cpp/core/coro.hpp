// C++20 coroutines that asyncio drives like `async def` coroutines.
//
// ─── Usage guide ────────────────────────────────────────────────────────────────────────────────
//
// Module init: call `zqkit::core::init_coroutines(m)` first in NB_MODULE (creates the module's
// coroutine type and registers it with collections.abc.Coroutine).
//
// A coroutine function returns `Task<nb::object>` (a Python value) or `Task<>` (returns None);
// children may return any `Task<T>`. Parameters are taken BY VALUE (nb::object, std::string …):
// references and `this` dangle after the first suspension.
//
//     Task<long> count(long n) { co_return n; }                 // a child: no Python involved
//
//     Task<nb::object> fetch(nb::object session, nb::object url) {
//         nb::object asyncio = nb::module_::import_("asyncio");
//         co_await asyncio.attr("sleep")(0);                    // any Python awaitable
//         nb::object request = session.attr("get")(url);
//         nb::object text;
//         co_await async_with(request, [&](nb::object response) -> Task<> {
//             text = co_await response.attr("text")();
//         });
//         long n = co_await count(3);
//         co_return text;
//     }
//
// Awaiting Python: `nb::object value = co_await awaitable;` behaves like `yield from
// awaitable.__await__()`: asyncio's send/throw/close reach the innermost awaited object, an
// immediately completing awaitable never suspends, its result is the value, its exception arrives
// as `nb::python_error` wrapping the SAME exception object: catch it by const reference, inspect
// e.value() / e.matches(type), rethrow with `throw;` or let it propagate, and Python sees the very
// same object. Never call e.restore() (the error may be shared by several frames).
//
// Awaiting a child: `T v = co_await child(args...);` where child returns Task<T>. Children run on
// their parent's driver: no stack growth however many or however deep. A Task is awaited once.
//
// async with:
//     co_await async_with(manager, [&](nb::object entered) -> Task<> { ... });
//     __aexit__ receives (type, value, traceback) of an exception leaving the body and may
//     suppress it. Hand results out through variables captured by reference.
// async for:
//     AsyncIterator messages(ws);
//     while (std::optional<nb::object> message = co_await messages.next()) { ... }
// try/finally with await:
//     co_await try_finally([&]() -> Task<> { body }, [&]() -> Task<> { cleanup });
//     `co_await` is illegal inside a C++ catch block, so write "except" handlers that await as:
//         std::exception_ptr failure;
//         try { co_await work; } catch (...) { failure = std::current_exception(); }
//         if (failure) { co_await cleanup; std::rethrow_exception(failure); }
// Raising (py_errors.hpp): raise(exc) · raise_from(exc, cause) · raise_from_none(exc), with exc a
//     class or an instance, e.g. raise(error_type("message")). Inside a catch block handling a
//     python_error, the handled exception becomes __context__ as in Python.
// Cancellation: asyncio.CancelledError arrives as nb::python_error at the exact co_await where
//     the coroutine is suspended (test with is_cancellation(e)). Clean up (awaiting is fine, via
//     the patterns above) and rethrow. A body that swallows it must call uncancel_current_task().
//     asyncio.timeout works as usual: co_await async_with(asyncio.attr("timeout")(5), ...).
// Return values: `co_return obj;` (Task<nb::object>), `co_return;` (Task<>). A StopIteration
//     escaping a body becomes RuntimeError("coroutine raised StopIteration") as in Python.
// C++ exceptions reaching Python: nb::python_error → that exception; nb::type_error() etc. → their
//     type; std::bad_alloc → MemoryError; other std::exception → RuntimeError.
//
// Exposing:
//     def_coroutine(m, "name", &function, nb::arg("x"), ...);      // module function
//     def_coroutine(cls, "name", &method, nb::arg("x"), ...);      // method of an nb::class_
//     make_coroutine_function("Class.name", &function, ...)         // a bare callable (nb::object)
//     make_coroutine_function("Class.name", &method, nb::is_method(), ...)
//                                       // a method for a class built with type(...) from C++
//     The function is a plain function pointer (or `+[](...) -> Task<...> {...}` without
//     captures). A method takes `nb::object self` BY VALUE as first parameter and casts it
//     (`nb::cast<Transport&>(self)`) after each await. nanobind refuses None for an nb::object
//     parameter unless it is declared `nb::arg("x").none()`. inspect.iscoroutinefunction() is
//     false for these callables (nanobind functions cannot carry the marker); calling one returns
//     a coroutine all the same.
//
// Rules (each one is a real crash or leak with g++ 12, see the bridge notes):
//  - Never build a lambda/closure or a brace-initialised aggregate owning Python objects inside a
//    co_await operand. Plain calls are fine (`co_await obj.attr("m")(x)`, `co_await child(x)`).
//    Lambdas given to the helpers capture [&] only (enforced by a static_assert).
//  - No GIL release, lock guard or thread-affine RAII object held across co_await.
//  - The cycle collector cannot see frame locals. It does see what the coroutine is awaiting, so
//    a task abandoned while waiting on a future is collectable as long as the frame holds no other
//    reference into the cycle: await temporaries or `co_await std::move(named)` (the frame then
//    drops its reference). A frame keeping `self` alive while self keeps the task alive is freed
//    only when the frame ends (asyncio.run cancels leftover tasks; cancel your tasks).
// ────────────────────────────────────────────────────────────────────────────────────────────────
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <cstring>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/py_errors.hpp"

namespace zqkit::core {

namespace nb = nanobind;

template <class T = void>
class Task;
class PyAwait;

// One per outermost coroutine (lives in its Python object): the trampoline and the Python
// iterator that the innermost frame is waiting on.
struct Driver {
    std::coroutine_handle<> next;  // frame to resume next; set instead of resuming recursively
    PyAwait* waiting = nullptr;    // the awaiter suspended on Python, in the innermost frame
    PyObject* iter = nullptr;      // its iterator (owned)
    PyObject* yielded = nullptr;   // what that iterator yielded, handed up to the event loop
};

namespace detail {

template <class A>
concept Awaiter = requires(A a) {
    { a.await_ready() } -> std::convertible_to<bool>;
};

struct FinalAwaiter;

}  // namespace detail

class PromiseBase {
  public:
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;  // the awaiting parent frame, none for the outermost
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    detail::FinalAwaiter final_suspend() noexcept;
    void unhandled_exception() noexcept;

    template <class U>
    auto await_transform(Task<U>&& child) noexcept;
    template <class U>
    auto await_transform(Task<U>& child) noexcept {
        return await_transform(std::move(child));
    }
    PyAwait await_transform(nb::handle awaitable) noexcept;
    PyAwait await_transform(nb::object&& awaitable) noexcept;
    template <detail::Awaiter A>
    std::decay_t<A> await_transform(A&& awaiter) noexcept {
        return std::forward<A>(awaiter);
    }
};

namespace detail {

struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    void await_suspend(std::coroutine_handle<P> frame) noexcept {
        PromiseBase& promise = frame.promise();
        if (promise.driver != nullptr) promise.driver->next = promise.continuation;
    }
    void await_resume() noexcept {}
};

}  // namespace detail

inline detail::FinalAwaiter PromiseBase::final_suspend() noexcept {
    return {};
}

template <class T>
class Promise : public PromiseBase {
  public:
    std::optional<T> value;

    Task<T> get_return_object() noexcept;
    template <class U>
    void return_value(U&& result) {
        value.emplace(std::forward<U>(result));
    }
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
class Promise<void> : public PromiseBase {
  public:
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

// A lazy coroutine: nothing runs until it is awaited (by a parent Task or, once handed to Python,
// by the event loop). Dropping it unstarted frees the frame.
template <class T>
class [[nodiscard]] Task {
  public:
    using promise_type = Promise<T>;
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

template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(Task<T>::Handle::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(Task<void>::Handle::from_promise(*this));
}

namespace detail {

// `co_await child`: the child runs on the parent's driver; the trampoline resumes it and, when
// it finishes, the parent.
template <class U>
class TaskAwaiter {
  public:
    explicit TaskAwaiter(Task<U>&& child) noexcept : child_(child.release()) {}
    TaskAwaiter(TaskAwaiter&& other) noexcept : child_(std::exchange(other.child_, {})) {}
    TaskAwaiter& operator=(TaskAwaiter&&) = delete;
    ~TaskAwaiter() {
        if (child_) child_.destroy();
    }

    bool await_ready() noexcept { return false; }
    template <class P>
    void await_suspend(std::coroutine_handle<P> parent) noexcept {
        PromiseBase& promise = child_.promise();
        promise.driver = parent.promise().driver;
        promise.continuation = parent;
        promise.driver->next = child_;
    }
    U await_resume() { return child_.promise().take(); }

  private:
    typename Task<U>::Handle child_;
};

}  // namespace detail

template <class U>
auto PromiseBase::await_transform(Task<U>&& child) noexcept {
    return detail::TaskAwaiter<U>(std::move(child));
}

// `co_await <Python awaitable>` with `yield from` semantics.
class PyAwait {
  public:
    explicit PyAwait(nb::handle awaitable) noexcept : awaitable_(Py_XNewRef(awaitable.ptr())) {}
    explicit PyAwait(nb::object&& awaitable) noexcept : awaitable_(awaitable.release().ptr()) {}
    PyAwait(PyAwait&& other) noexcept
        : awaitable_(std::exchange(other.awaitable_, nullptr)),
          result_(std::exchange(other.result_, nullptr)),
          failed_(other.failed_) {}
    PyAwait& operator=(PyAwait&&) = delete;
    ~PyAwait() {
        Py_XDECREF(awaitable_);
        Py_XDECREF(result_);
    }

    bool await_ready() noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> frame) noexcept {
        return start(frame.promise().driver, frame);
    }
    nb::object await_resume();

    // The driver's side: the awaited iterator finished (PYGEN_RETURN with `result` stolen) or
    // failed (PYGEN_ERROR, error pending).
    void deliver(PySendResult status, PyObject* result) noexcept;
    // True, and the error dropped, when the awaited object failed with exactly this class family.
    bool consume_error(PyObject* exception_type) noexcept;
    std::coroutine_handle<> frame;

  private:
    bool start(Driver* driver, std::coroutine_handle<> frame) noexcept;

    PyObject* awaitable_ = nullptr;
    PyObject* result_ = nullptr;  // value, or the exception when failed_
    bool failed_ = false;
};

inline PyAwait PromiseBase::await_transform(nb::handle awaitable) noexcept {
    return PyAwait(awaitable);
}
inline PyAwait PromiseBase::await_transform(nb::object&& awaitable) noexcept {
    return PyAwait(std::move(awaitable));
}

// ─── Handing coroutines to Python ───────────────────────────────────────────────────────────────

// Creates this extension module's coroutine type; call once at module init.
void init_coroutines(nb::module_& module);

namespace detail {

using TakeResult = PyObject* (*)(std::coroutine_handle<> frame, std::exception_ptr& error);

// Wraps an unstarted outermost frame in a new Python coroutine object; returns its driver so the
// caller can attach it to the typed promise.
nb::object wrap_frame(std::coroutine_handle<> frame, TakeResult take, PyObject* name,
                      PyObject* qualname, Driver** driver);
PyObject* intern(const char* text);

template <class T>
PyObject* take_result(std::coroutine_handle<> frame, std::exception_ptr& error) {
    auto& promise = Task<T>::Handle::from_address(frame.address()).promise();
    if (promise.error) {
        error = std::move(promise.error);
        return nullptr;
    }
    try {
        if constexpr (std::is_void_v<T>) {
            return Py_NewRef(Py_None);
        } else if constexpr (std::is_base_of_v<nb::handle, T>) {
            PyObject* value = promise.value->release().ptr();
            return value != nullptr ? value : Py_NewRef(Py_None);
        } else {
            return nb::cast(std::move(*promise.value)).release().ptr();
        }
    } catch (...) {
        error = std::current_exception();
        return nullptr;
    }
}

struct Names {
    PyObject* name;      // interned, kept for the life of the process
    PyObject* qualname;  // likewise
};

}  // namespace detail

// Hands a Task to Python as a coroutine object named `name` / `qualname` (borrowed, kept alive by
// the object).
template <class T>
nb::object to_python(Task<T>&& task, PyObject* name, PyObject* qualname) {
    auto frame = task.release();
    Driver* driver = nullptr;
    nb::object coroutine =
        detail::wrap_frame(frame, &detail::take_result<T>, name, qualname, &driver);
    frame.promise().driver = driver;
    return coroutine;
}

namespace detail {

template <class F>
struct function_traits;
template <class T, class... Args>
struct function_traits<Task<T> (*)(Args...)> {
    using result = T;
    template <class Names>
    static auto caller(Task<T> (*function)(Args...), Names names) {
        static_assert((!std::is_reference_v<Args> && ...),
                      "coroutine parameters must be taken by value: references dangle after the "
                      "first suspension");
        return [function, names](Args... args) -> nb::object {
            return to_python(function(std::move(args)...), names.name, names.qualname);
        };
    }
};

}  // namespace detail

// A Python callable that returns a coroutine object running `function`.
template <class F, class... Extra>
nb::object make_coroutine_function(const char* qualname, F function, const Extra&... extra) {
    const char* dot = std::strrchr(qualname, '.');
    detail::Names names{detail::intern(dot ? dot + 1 : qualname), detail::intern(qualname)};
    using Traits = detail::function_traits<decltype(+function)>;
    nb::object callable = nb::cpp_function(Traits::caller(+function, names),
                                           nb::name(dot ? dot + 1 : qualname), extra...);
    return callable;
}

template <class F, class... Extra>
void def_coroutine(nb::module_& module, const char* name, F function, const Extra&... extra) {
    detail::Names names{detail::intern(name), detail::intern(name)};
    using Traits = detail::function_traits<decltype(+function)>;
    module.def(name, Traits::caller(+function, names), extra...);
}

template <class C, class... Options, class F, class... Extra>
void def_coroutine(nb::class_<C, Options...>& cls, const char* name, F function,
                   const Extra&... extra) {
    nb::str qualname = nb::str("{}.{}").format(cls.attr("__qualname__"), name);
    detail::Names names{detail::intern(name), detail::intern(qualname.c_str())};
    using Traits = detail::function_traits<decltype(+function)>;
    cls.def(name, Traits::caller(+function, names), extra...);
}

}  // namespace zqkit::core

#include "core/async_helpers.hpp"
