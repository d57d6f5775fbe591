#include "core/py_errors.hpp"

#include <new>

namespace zqkit::core {

PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_XDECREF(type);
    return value;
#endif
}

void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

namespace {

PyObject* builtin_type(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::type_error:
            return PyExc_TypeError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        default:
            return PyExc_RuntimeError;
    }
}

}  // namespace

void set_python_error(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const nb::python_error& e) {
        // Never e.restore(): the same wrapper may be rethrown again by another frame.
        restore_exception(Py_NewRef(e.value().ptr()));
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a coroutine");
    }
}

nb::object exception_object(const std::exception_ptr& error) {
    set_python_error(error);
    return nb::steal(fetch_exception());
}

nb::object handled_exception() {
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const nb::python_error& e) {
            return nb::borrow(e.value());
        } catch (...) {
        }
    }
    // Otherwise the one the calling Python code is handling: `raise` in a function called
    // from an `except` block chains it too.
    nb::object handled = nb::steal(PyErr_GetHandledException());
    if (!handled.is_valid() || handled.is_none()) return {};
    return handled;
}

void chain_context(nb::handle exception, nb::handle context) {
    if (!context.is_valid() || context.is_none() || exception.is(context)) return;
    PyObject* existing = PyException_GetContext(exception.ptr());
    if (existing != nullptr) {
        Py_DECREF(existing);
        return;
    }
    // Like the interpreter: cut the chain where it would lead back to `exception`.
    PyObject* link = context.ptr();
    while (true) {
        PyObject* next = PyException_GetContext(link);
        if (next == nullptr) break;
        Py_DECREF(next);  // still owned by `link`
        if (next == exception.ptr()) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = next;
    }
    PyException_SetContext(exception.ptr(), Py_NewRef(context.ptr()));
}

namespace {

nb::object exception_instance(nb::handle exception) {
    if (PyExceptionInstance_Check(exception.ptr())) return nb::borrow(exception);
    if (PyExceptionClass_Check(exception.ptr())) {
        nb::object instance = exception();
        if (PyExceptionInstance_Check(instance.ptr())) return instance;
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %s",
                     exception.ptr(), Py_TYPE(instance.ptr())->tp_name);
        throw nb::python_error();
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw nb::python_error();
}

[[noreturn]] void throw_instance(nb::handle instance) {
    restore_exception(Py_NewRef(instance.ptr()));
    throw nb::python_error();
}

}  // namespace

void raise(nb::handle exception) {
    nb::object instance = exception_instance(exception);
    chain_context(instance, handled_exception());
    throw_instance(instance);
}

void raise_from(nb::handle exception, nb::handle cause) {
    nb::object instance = exception_instance(exception);
    if (cause.is_none()) {
        PyException_SetCause(instance.ptr(), nullptr);  // also sets __suppress_context__
    } else {
        nb::object cause_instance = exception_instance(cause);
        PyException_SetCause(instance.ptr(), cause_instance.release().ptr());
    }
    chain_context(instance, handled_exception());
    throw_instance(instance);
}

bool is_cancellation(const nb::python_error& error) {
    nb::object cancelled = nb::module_::import_("asyncio").attr("CancelledError");
    return error.matches(cancelled);
}

void uncancel_current_task() {
    nb::object task = nb::module_::import_("asyncio").attr("current_task")();
    if (!task.is_none()) task.attr("uncancel")();
}

}  // namespace zqkit::core
