// Python exceptions in C++ and back.
//
// A Python exception travels through C++ as nanobind's `nb::python_error`, which holds the
// exception object itself: catching, rethrowing and letting it reach Python again keeps the very
// same object (class, message, traceback, __cause__, __context__, __suppress_context__).
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

namespace zqkit::core {

namespace nb = nanobind;

// The pending Python error as a normalised exception object (new reference, traceback attached);
// clears the error indicator. Requires a pending error.
PyObject* fetch_exception() noexcept;

// Makes `exception` (stolen) the pending Python error.
void restore_exception(PyObject* exception) noexcept;

// Sets the pending Python error from any C++ exception: nb::python_error → that same Python
// object (restored with new references, so a shared error can be restored any number of times);
// nanobind's builtin exceptions → their Python type; std::bad_alloc → MemoryError; other
// std::exception → RuntimeError; anything else → SystemError.
void set_python_error(const std::exception_ptr& error) noexcept;

// The Python exception object for `error` (a new reference): the wrapped object of a python_error,
// or a fresh exception translated as set_python_error does.
nb::object exception_object(const std::exception_ptr& error);

// The Python exception being handled: by the enclosing C++ catch block, else by the calling
// Python code (sys.exception()); an empty object when there is none.
nb::object handled_exception();

// Sets `exception.__context__ = context` the way the interpreter does when an exception is raised
// while another one is handled (no self-reference, no cycles). Does nothing when `exception`
// already has a context or `context` is empty.
void chain_context(nb::handle exception, nb::handle context);

// `raise exception` (a class or an instance). The exception being handled (see
// handled_exception) becomes __context__, as in Python.
[[noreturn]] void raise(nb::handle exception);

// `raise exception from cause`; `cause` None means `raise exception from None`.
[[noreturn]] void raise_from(nb::handle exception, nb::handle cause);

// `raise exception from None`: __cause__ None, __suppress_context__ True, __context__ kept.
[[noreturn]] inline void raise_from_none(nb::handle exception) {
    raise_from(exception, nb::none());
}

// The boundary of a raw C entry point written in C++ (a PyCFunction, a type slot): runs `body`
// (returning nb::object) and hands the interpreter a new reference, or nullptr with the error set
// as set_python_error translates it. Never restore a caught python_error by hand: the same
// wrapper may be rethrown by another frame.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return nullptr;
}

// True when `error` holds an asyncio.CancelledError.
bool is_cancellation(const nb::python_error& error);

// asyncio.current_task().uncancel(): required after swallowing a CancelledError, or
// asyncio.timeout and TaskGroup stop working for the current task.
void uncancel_current_task();

}  // namespace zqkit::core
