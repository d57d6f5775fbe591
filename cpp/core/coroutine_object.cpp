// The Python face of an outermost Task: a coroutine object that asyncio drives through am_send,
// send/throw/close and __await__, with the generator protocol's rules.
#include <cstring>
#include <new>
#include <string>

#include "core/coro.hpp"

namespace zqkit::core {

namespace {

using detail::Driver;
using detail::PyAwait;

enum class State : unsigned char { created, suspended, running, finished };

struct CoroObject {
    PyObject_HEAD Driver driver;
    std::coroutine_handle<> frame;  // the outermost frame; empty once destroyed
    detail::TakeResult take;
    PyObject* name;
    PyObject* qualname;
    State state;
};

// One type per extension module (the core library is linked into each); leaked on purpose, the
// interpreter may use it until the very end.
PyTypeObject* coroutine_type = nullptr;

CoroObject* as_coro(PyObject* self) {
    return reinterpret_cast<CoroObject*>(self);
}

constinit InternedName throw_name{"throw"};
constinit InternedName close_name{"close"};

// Destroys the frame with no Python error pending: destructors of locals run Python code.
void destroy_frame(CoroObject* co) noexcept {
    if (!co->frame) return;
    std::coroutine_handle<> frame = std::exchange(co->frame, {});
    co->driver.waiting = nullptr;
    PyObject* pending = PyErr_Occurred() ? fetch_exception() : nullptr;
    frame.destroy();
    if (pending != nullptr) restore_exception(pending);
}

// The outermost frame finished: take its result, free it, then report.
PySendResult finish(CoroObject* co, PyObject** result) noexcept {
    std::exception_ptr error;
    PyObject* value = co->take(co->frame, error);
    co->state = State::finished;
    destroy_frame(co);
    if (value == nullptr) {
        set_python_error(error);
        error = nullptr;
        *result = nullptr;
        return PYGEN_ERROR;
    }
    *result = value;
    return PYGEN_RETURN;
}

// Runs frames until the innermost one waits on Python or the outermost one finishes. Children
// and parents hand control over through driver.next, so the C stack stays flat.
PySendResult run(CoroObject* co, PyObject** result) noexcept {
    Driver& driver = co->driver;
    co->state = State::running;
    while (driver.next) {
        std::exchange(driver.next, {}).resume();
    }
    if (driver.waiting != nullptr) {
        co->state = State::suspended;
        *result = std::exchange(driver.yielded, nullptr);
        return PYGEN_NEXT;
    }
    if (!co->frame.done()) {
        co->state = State::suspended;
        PyErr_SetString(PyExc_SystemError, "C++ coroutine suspended without awaiting Python");
        *result = nullptr;
        return PYGEN_ERROR;
    }
    return finish(co, result);
}

// The awaited iterator finished (or failed, error pending): resume the frame waiting on it.
PySendResult resume_waiting(CoroObject* co, PySendResult status, PyObject* value,
                            PyObject** result) noexcept {
    Driver& driver = co->driver;
    PyAwait* waiting = std::exchange(driver.waiting, nullptr);
    Py_CLEAR(driver.iter);
    waiting->deliver(status, value);
    driver.next = waiting->frame;
    return run(co, result);
}

bool check_resumable(CoroObject* co) noexcept {
    if (co->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (co->state == State::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    if (co->state == State::suspended && co->driver.iter == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine lost the object it was awaiting");
        return false;
    }
    return true;
}

PySendResult send_unguarded(CoroObject* co, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    if (!check_resumable(co)) return PYGEN_ERROR;
    if (co->state == State::created) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        co->driver.next = co->frame;
        return run(co, result);
    }
    co->state = State::running;
    PyObject* inner = nullptr;
    PySendResult status = PyIter_Send(co->driver.iter, value, &inner);
    if (status == PYGEN_NEXT) {
        co->state = State::suspended;
        *result = inner;
        return PYGEN_NEXT;
    }
    return resume_waiting(co, status, inner, result);
}

// Return value of a StopIteration that is pending (new reference); clears it.
PyObject* stop_iteration_value() noexcept {
    PyObject* stop = fetch_exception();
    PyObject* value = PyObject_GetAttrString(stop, "value");
    Py_DECREF(stop);
    return value;
}

// Forwards a thrown exception to the awaited iterator like `yield from`: to its throw() when it
// has one, otherwise raised at the awaiting frame.
PySendResult throw_into_iterator(CoroObject* co, PyObject* exception, PyObject** result) noexcept {
    co->state = State::running;
    PyObject* method = PyObject_GetAttr(co->driver.iter, throw_name.ptr());
    if (method == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // As `yield from`: the lookup's error goes to the caller, the coroutine stays
            // suspended on the same iterator.
            Py_DECREF(exception);
            co->state = State::suspended;
            return PYGEN_ERROR;
        }
        PyErr_Clear();
        restore_exception(exception);
        return resume_waiting(co, PYGEN_ERROR, nullptr, result);
    }
    PyObject* inner = PyObject_CallOneArg(method, exception);
    Py_DECREF(method);
    Py_DECREF(exception);
    if (inner != nullptr) {
        co->state = State::suspended;
        *result = inner;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* value = stop_iteration_value();
        if (value != nullptr) return resume_waiting(co, PYGEN_RETURN, value, result);
    }
    return resume_waiting(co, PYGEN_ERROR, nullptr, result);
}

// Closes the awaited iterator (its close() if any); on failure its error is left pending.
bool close_iterator(PyObject* iterator) noexcept {
    PyObject* method = PyObject_GetAttr(iterator, close_name.ptr());
    if (method == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    PyObject* closed = PyObject_CallNoArgs(method);
    Py_DECREF(method);
    Py_XDECREF(closed);
    return closed != nullptr;
}

// throw(exception) with `exception` a normalised instance (stolen).
PySendResult throw_unguarded(CoroObject* co, PyObject* exception, PyObject** result) noexcept {
    *result = nullptr;
    if (!check_resumable(co)) {
        Py_DECREF(exception);
        return PYGEN_ERROR;
    }
    if (co->state == State::created) {
        // Raises at once without running the body (task.cancel() before the first step).
        co->state = State::finished;
        destroy_frame(co);
        restore_exception(exception);
        return PYGEN_ERROR;
    }
    if (PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit)) {
        co->state = State::running;
        bool closed = close_iterator(co->driver.iter);
        if (closed) {
            restore_exception(exception);
        } else {
            Py_DECREF(exception);
        }
        return resume_waiting(co, PYGEN_ERROR, nullptr, result);
    }
    return throw_into_iterator(co, exception, result);
}

// A chain of coroutines awaiting each other nests one send (or throw) per level on the C stack,
// as the interpreter's own frames do; each level counts against the recursion limit, so a chain
// too deep raises RecursionError instead of overflowing the stack.
bool enter_level(CoroObject* co) noexcept {
    if (Py_EnterRecursiveCall(" in coroutine") == 0) return true;
    // A coroutine that fails on its first step is finished, as one whose body raised at once.
    if (co->state == State::created) {
        co->state = State::finished;
        destroy_frame(co);
    }
    return false;
}

PySendResult send(CoroObject* co, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    if (!enter_level(co)) return PYGEN_ERROR;
    PySendResult status = send_unguarded(co, value, result);
    Py_LeaveRecursiveCall();
    return status;
}

PySendResult throw_exception(CoroObject* co, PyObject* exception, PyObject** result) noexcept {
    *result = nullptr;
    if (!enter_level(co)) {
        Py_DECREF(exception);
        return PYGEN_ERROR;
    }
    PySendResult status = throw_unguarded(co, exception, result);
    Py_LeaveRecursiveCall();
    return status;
}

// ─── Python-visible slots and methods ───────────────────────────────────────────────────────────

void translate_return(PySendResult status, PyObject* value, bool always_raise) {
    if (status != PYGEN_RETURN) return;
    if (value == Py_None && !always_raise) {
        Py_DECREF(value);
        return;
    }
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (PyTuple_Check(value) || PyExceptionInstance_Check(value)) {
        // PyErr_SetObject would unpack a tuple or take an exception as the error itself.
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (stop != nullptr) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    } else {
        PyErr_SetObject(PyExc_StopIteration, value);
    }
    Py_DECREF(value);
}

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
    return send(as_coro(self), value, result);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result;
    PySendResult status = send(as_coro(self), Py_None, &result);
    if (status == PYGEN_NEXT) return result;
    translate_return(status, result, false);
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* value) {
    PyObject* result;
    PySendResult status = send(as_coro(self), value, &result);
    if (status == PYGEN_NEXT) return result;
    translate_return(status, result, true);
    return nullptr;
}

// The exception instance for throw(type[, value[, traceback]]), as the generator protocol builds
// it; nullptr with an error set on bad arguments.
PyObject* thrown_exception(PyObject* type, PyObject* value, PyObject* traceback) {
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* instance;
    if (PyExceptionClass_Check(type)) {
        PyObject* normal_type = Py_NewRef(type);
        instance = Py_XNewRef(value == Py_None ? nullptr : value);
        PyObject* normal_tb = Py_XNewRef(traceback);
        PyErr_NormalizeException(&normal_type, &instance, &normal_tb);
        Py_XDECREF(normal_type);
        Py_XDECREF(normal_tb);
        if (instance == nullptr || PyErr_Occurred()) {
            Py_XDECREF(instance);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        instance = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != nullptr) PyException_SetTraceback(instance, traceback);
    return instance;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count < 1 || count > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected between 1 and 3 arguments, got %zd", count);
        return nullptr;
    }
    PyObject* exception =
        thrown_exception(args[0], count > 1 ? args[1] : nullptr, count > 2 ? args[2] : nullptr);
    if (exception == nullptr) return nullptr;
    PyObject* result;
    PySendResult status = throw_exception(as_coro(self), exception, &result);
    if (status == PYGEN_NEXT) return result;
    translate_return(status, result, true);
    return nullptr;
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroObject* co = as_coro(self);
    if (co->state == State::created) {
        co->state = State::finished;
        destroy_frame(co);
        Py_RETURN_NONE;
    }
    if (co->state == State::finished) Py_RETURN_NONE;
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (exit == nullptr) return nullptr;
    PyObject* result;
    PySendResult status = throw_exception(co, exit, &result);
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
#if PY_VERSION_HEX >= 0x030D0000
        return result;  // a value returned while closing is close()'s result since 3.13
#else
        Py_DECREF(result);
        Py_RETURN_NONE;
#endif
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) {
    // A second awaiter would take steps that belong to the one suspended in it.
    if (as_coro(self)->state == State::suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

// ─── lifetime ───────────────────────────────────────────────────────────────────────────────────

void coro_finalize(PyObject* self) {
    CoroObject* co = as_coro(self);
    if (co->state != State::created && co->state != State::suspended) return;
    PyObject* pending = PyErr_Occurred() ? fetch_exception() : nullptr;
    if (co->state == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             co->qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else {
        PyObject* closed = coro_close(self, nullptr);
        if (closed == nullptr) {
            PyErr_WriteUnraisable(self);
        } else {
            Py_DECREF(closed);
        }
    }
    if (pending != nullptr) restore_exception(pending);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* co = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->driver.iter);
    Py_VISIT(co->driver.yielded);
    return 0;
}

int coro_clear(PyObject* self) {
    CoroObject* co = as_coro(self);
    Py_CLEAR(co->driver.iter);
    Py_CLEAR(co->driver.yielded);
    return 0;
}

void coro_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    CoroObject* co = as_coro(self);
    destroy_frame(co);
    coro_clear(self);
    Py_XDECREF(co->name);
    Py_XDECREF(co->qualname);
    co->driver.~Driver();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ─── attributes ─────────────────────────────────────────────────────────────────────────────────

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_coro(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coro(self)->qualname);
}

int set_string(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(&as_coro(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&as_coro(self)->qualname, value, "__qualname__");
}

PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->state == State::running);
}
PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->state == State::suspended);
}
PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_await(PyObject* self, void*) {
    PyObject* iter = as_coro(self)->driver.iter;
    return Py_NewRef(iter != nullptr ? iter : Py_None);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> resume the coroutine with value"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "throw(exception) -> raise exception at the point of suspension"},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {{"__name__", get_name, set_name, nullptr, nullptr},
                             {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
                             {"cr_running", get_running, nullptr, nullptr, nullptr},
                             {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
                             {"cr_await", get_await, nullptr, nullptr, nullptr},
                             {"cr_frame", get_none, nullptr, nullptr, nullptr},
                             {"cr_code", get_none, nullptr, nullptr, nullptr},
                             {"cr_origin", get_none, nullptr, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot coro_slots[] = {{Py_am_await, reinterpret_cast<void*>(coro_await)},
                            {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
                            {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
                            {Py_tp_methods, coro_methods},
                            {Py_tp_getset, coro_getset},
                            {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
                            {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
                            {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
                            {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
                            {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
                            {Py_tp_doc, const_cast<char*>("A coroutine implemented in C++.")},
                            {0, nullptr}};

}  // namespace

// ─── module-level ───────────────────────────────────────────────────────────────────────────────

void init_coroutines(nb::module_& module) {
    if (coroutine_type != nullptr) return;
    std::string type_name = std::string(nb::str(module.attr("__name__")).c_str()) + ".coroutine";
    static PyType_Spec spec = {
        nullptr, sizeof(CoroObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, coro_slots};
    spec.name = strdup(type_name.c_str());  // the type keeps pointing at it
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw nb::python_error();
    coroutine_type = reinterpret_cast<PyTypeObject*>(type);
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(nb::handle(type));
}

namespace detail {

nb::object wrap_frame(std::coroutine_handle<> frame, TakeResult take, PyObject* name,
                      PyObject* qualname, Driver** driver) {
    if (coroutine_type == nullptr) {
        frame.destroy();
        PyErr_SetString(PyExc_SystemError, "init_coroutines() was not called for this module");
        throw nb::python_error();
    }
    PyObject* self = coroutine_type->tp_alloc(coroutine_type, 0);
    if (self == nullptr) {
        frame.destroy();
        throw nb::python_error();
    }
    CoroObject* co = as_coro(self);
    new (&co->driver) Driver();
    co->frame = frame;
    co->take = take;
    co->name = Py_NewRef(name);
    co->qualname = Py_NewRef(qualname);
    co->state = State::created;
    *driver = &co->driver;
    return nb::steal(self);
}

}  // namespace detail

}  // namespace zqkit::core
