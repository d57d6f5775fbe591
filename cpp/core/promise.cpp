// What every Task frame does when its body fails.
#include "core/coro.hpp"

namespace zqkit::core::detail {

namespace {

bool is_stop_iteration(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const nb::python_error& e) {
        return e.matches(PyExc_StopIteration);
    } catch (const nb::builtin_exception& e) {
        return e.type() == nb::exception_type::stop_iteration;
    } catch (...) {
        return false;
    }
}

}  // namespace

void PromiseBase::unhandled_exception() noexcept {
    error = std::current_exception();
    // A StopIteration leaving a coroutine would read as a normal return one level up.
    if (!is_stop_iteration(error)) return;
    set_python_error(error);
    PyObject* stop = fetch_exception();
    PyObject* replacement =
        PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
    if (replacement != nullptr) {
        PyException_SetCause(replacement, Py_NewRef(stop));
        PyException_SetContext(replacement, stop);
        restore_exception(replacement);
    } else {
        Py_DECREF(stop);
    }
    error = std::make_exception_ptr(nb::python_error());
}

}  // namespace zqkit::core::detail
