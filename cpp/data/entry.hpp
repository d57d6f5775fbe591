// The boundary between the interpreter and the C++ bodies: C++ exceptions become Python errors.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>

namespace zqkit::data {

namespace nb = nanobind;

// Runs `body` (returning nb::object) and hands the interpreter a new reference, or nullptr with the
// error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

// Throws the pending Python error when `result` is nullptr; otherwise takes ownership.
inline nb::object checked(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

// As `checked`, for -1 style results.
inline int checked_status(int result) {
    if (result < 0) throw nb::python_error();
    return result;
}

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace zqkit::data
