#include "c_api.hpp"

#include <cmath>
#include <exception>

#include "entry.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace zqkit::data {

namespace {

// None, a bool, or an exact int, float or str: `!=` between two of them runs no Python code.
bool plain_scalar(PyObject* value) {
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
           PyFloat_CheckExact(value) || PyUnicode_CheckExact(value);
}

int different_test(PyObject* old_value, PyObject* new_value, int* quiet) {
    // `x != x` is False for these; two exact str compare by their text.
    if (old_value == new_value && plain_scalar(old_value) && !PyFloat_CheckExact(old_value)) {
        return 0;
    }
    if (PyUnicode_CheckExact(old_value) && PyUnicode_CheckExact(new_value)) {
        return core::same_text(old_value, new_value) ? 0 : 1;
    }
    const bool floats = PyFloat_CheckExact(old_value) && PyFloat_CheckExact(new_value);
    if (!floats && plain_scalar(old_value) && plain_scalar(new_value)) {
        // No NaN rule to apply: the plain `!=`, which for these runs no Python code.
        return PyObject_RichCompareBool(old_value, new_value, Py_NE);
    }
    try {
        CallGlobals globals;
        if (floats && globals.isnan_is_native()) {
            // The body below with the standard isnan, and float's own `!=`.
            const double old_number = PyFloat_AS_DOUBLE(old_value);
            const double new_number = PyFloat_AS_DOUBLE(new_value);
            if (std::isnan(old_number) && std::isnan(new_number)) return 0;
            return old_number != new_number ? 1 : 0;
        }
        // Left: a replaced isnan, or an operand whose comparison may be its own code.
        *quiet = 0;
        return core::truthy(different_value(old_value, new_value, globals)) ? 1 : 0;
    } catch (...) {
        core::set_python_error(std::current_exception());
        return -1;
    }
}

// Lives as long as the module's code: the capsule hands out its address.
CApi api{};

}  // namespace

nb::object create_c_api() {
    api.different = state().different;
    api.different_test = &different_test;
    return checked(PyCapsule_New(&api, c_api_capsule, nullptr));
}

}  // namespace zqkit::data
