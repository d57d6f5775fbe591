#include "call_globals.hpp"

#include <cmath>

#include "entry.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace zqkit::data {

nb::handle CallGlobals::math() {
    if (!math_.is_valid()) math_ = module_global(names().math);
    return math_;
}

nb::object CallGlobals::nan() {
    return checked(PyObject_GetAttr(math().ptr(), names().nan));
}

bool CallGlobals::isnan(PyObject* value) {
    if (!isnan_.is_valid()) {
        isnan_ = checked(PyObject_GetAttr(math().ptr(), names().isnan));
        isnan_native_ = isnan_.ptr() == state().math_isnan;
    }
    if (isnan_native_ && PyFloat_Check(value)) return std::isnan(PyFloat_AS_DOUBLE(value));
    if (isnan_native_) {
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return std::isnan(number);
    }
    nb::object result = checked(PyObject_CallOneArg(isnan_.ptr(), value));
    return checked_status(PyObject_IsTrue(result.ptr())) != 0;
}

bool CallGlobals::isfinite(PyObject* value) {
    if (!isfinite_.is_valid()) {
        isfinite_ = checked(PyObject_GetAttr(math().ptr(), names().isfinite));
        isfinite_native_ = isfinite_.ptr() == state().math_isfinite;
    }
    if (isfinite_native_ && PyFloat_Check(value)) return std::isfinite(PyFloat_AS_DOUBLE(value));
    if (isfinite_native_) {
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return std::isfinite(number);
    }
    nb::object result = checked(PyObject_CallOneArg(isfinite_.ptr(), value));
    return checked_status(PyObject_IsTrue(result.ptr())) != 0;
}

bool CallGlobals::fullmatch(PyObject* pattern, PyObject* text, bool (*native)(PyObject*)) {
    if (!fullmatch_.is_valid()) {
        nb::object re = module_global(names().re);
        fullmatch_ = checked(PyObject_GetAttr(re.ptr(), names().fullmatch));
        fullmatch_native_ = fullmatch_.ptr() == state().re_fullmatch;
    }
    if (fullmatch_native_ && PyUnicode_Check(text)) return native(text);
    PyObject* args[] = {pattern, text};
    nb::object match = checked(PyObject_Vectorcall(fullmatch_.ptr(), args, 2, nullptr));
    return checked_status(PyObject_IsTrue(match.ptr())) != 0;
}

nb::object CallGlobals::number(PyObject* value) {
    if (!number_.is_valid()) {
        number_native_ = global_is(names().number, state().number, number_);
    }
    if (number_native_) return number_value(value, *this);
    return checked(PyObject_CallOneArg(number_.ptr(), value));
}

bool CallGlobals::different(PyObject* old_value, PyObject* new_value) {
    if (!different_.is_valid()) {
        different_native_ = global_is(names().different, state().different, different_);
    }
    nb::object result;
    if (different_native_) {
        result = different_value(old_value, new_value, *this);
    } else {
        PyObject* args[] = {old_value, new_value};
        result = checked(PyObject_Vectorcall(different_.ptr(), args, 2, nullptr));
    }
    return checked_status(PyObject_IsTrue(result.ptr())) != 0;
}

}  // namespace zqkit::data
