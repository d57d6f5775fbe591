// Awaiting a Python object from a coroutine body, with `yield from` rules.
#include "core/coro.hpp"

namespace zqkit::core::detail {

namespace {

bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
    PyObject* code = PyObject_GetAttrString(obj, "gi_code");
    if (code == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool flagged = (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return flagged;
}

// A native coroutine suspended at an await already has an awaiter; the interpreter refuses a
// second one, whose steps would be taken from the first.
bool refuse_second_awaiter(PyObject* coroutine) {
    static constinit InternedName cr_await{"cr_await"};
    PyObject* awaited = PyObject_GetAttr(coroutine, cr_await.ptr());
    if (awaited == nullptr) return true;
    bool busy = awaited != Py_None;
    Py_DECREF(awaited);
    if (busy) PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return busy;
}

// The iterator that `await obj` delegates to (new reference), or nullptr with an error.
PyObject* awaitable_iterator(PyObject* obj) {
    if (PyCoro_CheckExact(obj)) return refuse_second_awaiter(obj) ? nullptr : Py_NewRef(obj);
    if (is_iterable_coroutine(obj)) return Py_NewRef(obj);
    PyAsyncMethods* methods = Py_TYPE(obj)->tp_as_async;
    unaryfunc get = methods != nullptr ? methods->am_await : nullptr;
    if (get == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyObject* iterator = get(obj);
    if (iterator == nullptr) return nullptr;
    if (PyCoro_CheckExact(iterator) || is_iterable_coroutine(iterator)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    } else if (!PyIter_Check(iterator)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator)->tp_name);
    } else {
        return iterator;
    }
    Py_DECREF(iterator);
    return nullptr;
}

}  // namespace

bool PyAwait::start(Driver* driver, std::coroutine_handle<> waiting_frame) noexcept {
    PyObject* iterator = awaitable_iterator(awaitable_);
    Py_CLEAR(awaitable_);
    if (iterator == nullptr) {
        deliver(PYGEN_ERROR, nullptr);
        return false;
    }
    PyObject* result = nullptr;
    PySendResult status = PyIter_Send(iterator, Py_None, &result);
    if (status == PYGEN_NEXT) {
        frame = waiting_frame;
        driver->waiting = this;
        driver->iter = iterator;
        driver->yielded = result;
        return true;
    }
    Py_DECREF(iterator);
    deliver(status, result);
    return false;
}

void PyAwait::deliver(PySendResult status, PyObject* result) noexcept {
    Py_CLEAR(result_);
    failed_ = status != PYGEN_RETURN;
    result_ = failed_ ? fetch_exception() : result;
}

bool PyAwait::consume_error(PyObject* exception_type) noexcept {
    if (!failed_ || !PyErr_GivenExceptionMatches(result_, exception_type)) return false;
    Py_CLEAR(result_);
    failed_ = false;
    return true;
}

nb::object PyAwait::await_resume() {
    PyObject* result = std::exchange(result_, nullptr);
    if (failed_) {
        restore_exception(result);
        throw nb::python_error();
    }
    return nb::steal(result);
}

}  // namespace zqkit::core::detail
