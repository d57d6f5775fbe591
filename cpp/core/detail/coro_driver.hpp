// How a Task runs: promises, the per-coroutine driver, the awaiters, and the glue that hands an
// outermost Task to Python. Module code never names anything here; include core/coro.hpp.
//
// One Driver lives in each Python coroutine object. Frames never resume each other directly:
// a frame that starts a child or finishes sets `driver.next`, and the loop in
// coroutine_object.cpp resumes it (a trampoline, so the C stack stays flat however deep the
// chain). Only the innermost frame talks to Python, through the PyAwait it is suspended on.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <cstring>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/py_ops.hpp"

namespace zqkit::core {

template <class T>
class Task;

namespace detail {

class PyAwait;

struct Driver {
    std::coroutine_handle<> next;  // frame to resume next; set instead of resuming recursively
    PyAwait* waiting = nullptr;    // the awaiter suspended on Python, in the innermost frame
    PyObject* iter = nullptr;      // its iterator (owned)
    PyObject* yielded = nullptr;   // what that iterator yielded, handed up to the event loop
};

template <class A>
concept Awaiter = requires(A a) {
    { a.await_ready() } -> std::convertible_to<bool>;
};

struct FinalAwaiter;

class PromiseBase {
  public:
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;  // the awaiting parent frame, none for the outermost
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept;
    void unhandled_exception() noexcept;

    template <class U>
    auto await_transform(Task<U>&& child) noexcept;
    PyAwait await_transform(nb::handle awaitable) noexcept;
    PyAwait await_transform(nb::object&& awaitable) noexcept;
    // One style for what a variable holds: `co_await std::move(variable)`. The frame then
    // gives up its reference (the cycle collector sees the awaited object through the
    // coroutine), and a spent Task or awaitable cannot be awaited again by mistake.
    template <class U>
    void await_transform(Task<U>& child) = delete;
    void await_transform(nb::object& awaitable) = delete;
    template <Awaiter A>
    std::decay_t<A> await_transform(A&& awaiter) noexcept {
        return std::forward<A>(awaiter);
    }
};

// A finished frame hands control back to its parent through the trampoline.
struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    void await_suspend(std::coroutine_handle<P> frame) noexcept {
        PromiseBase& promise = frame.promise();
        if (promise.driver != nullptr) promise.driver->next = promise.continuation;
    }
    void await_resume() noexcept {}
};

inline FinalAwaiter PromiseBase::final_suspend() noexcept {
    return {};
}

template <class T>
class Promise : public PromiseBase {
  public:
    std::optional<T> value;

    Task<T> get_return_object() noexcept {
        return Task<T>(std::coroutine_handle<Promise>::from_promise(*this));
    }
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
    Task<void> get_return_object() noexcept {
        return Task<void>(std::coroutine_handle<Promise>::from_promise(*this));
    }
    void return_void() noexcept {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

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

template <class U>
auto PromiseBase::await_transform(Task<U>&& child) noexcept {
    return TaskAwaiter<U>(std::move(child));
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

// ─── Handing an outermost Task to Python ────────────────────────────────────────────────────────

using TakeResult = PyObject* (*)(std::coroutine_handle<> frame, std::exception_ptr& error);

// Wraps an unstarted outermost frame in a new Python coroutine object; returns its driver so the
// caller can attach it to the typed promise.
nb::object wrap_frame(std::coroutine_handle<> frame, TakeResult take, PyObject* name,
                      PyObject* qualname, Driver** driver);

// The finished frame's result as a new reference, or nullptr with `error` set.
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

// The coroutine object's __name__ and __qualname__, interned (kept for the life of the process).
struct Names {
    PyObject* name;
    PyObject* qualname;
};

inline Names names_for(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return {intern(dot ? dot + 1 : qualname).ptr(), intern(qualname).ptr()};
}

// Hands a Task to Python as a coroutine object.
template <class T>
nb::object to_python(Task<T>&& task, Names names) {
    auto frame = task.release();
    Driver* driver = nullptr;
    nb::object coroutine = wrap_frame(frame, &take_result<T>, names.name, names.qualname, &driver);
    frame.promise().driver = driver;
    return coroutine;
}

template <class F>
struct function_traits;
template <class T, class... Args>
struct function_traits<Task<T> (*)(Args...)> {
    // A callable that calls `function` and hands its Task to Python.
    static auto caller(Task<T> (*function)(Args...), Names names) {
        static_assert((!std::is_reference_v<Args> && ...),
                      "coroutine parameters must be taken by value: references dangle after the "
                      "first suspension");
        return [function, names](Args... args) -> nb::object {
            return to_python(function(std::move(args)...), names);
        };
    }
};

template <class F>
auto coroutine_caller(F function, Names names) {
    return function_traits<decltype(+function)>::caller(+function, names);
}

}  // namespace detail

}  // namespace zqkit::core
