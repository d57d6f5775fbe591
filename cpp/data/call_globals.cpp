#include "call_globals.hpp"

#include <cmath>

#include "decode.hpp"
#include "entry.hpp"
#include "globals_cache.hpp"
#include "names.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace zqkit::data {

namespace {

// bool(function(value)) for math.isnan / math.isfinite, in C++ while `function` is the standard.
template <class Test>
bool float_test(nb::handle function, bool native, PyObject* value, Test test) {
    if (native && PyFloat_Check(value)) return test(PyFloat_AS_DOUBLE(value));
    if (native) {
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return test(number);
    }
    nb::object result = checked(PyObject_CallOneArg(function.ptr(), value));
    return core::truthy(result);
}

}  // namespace

nb::handle CallGlobals::math() {
    if (!math_.is_valid()) math_ = module_global(name::math.ptr());
    return math_;
}

nb::object CallGlobals::math_attribute(PyObject* name) {
    return checked(PyObject_GetAttr(math().ptr(), name));
}

nb::object CallGlobals::nan() {
    if (const ResolvedGlobals* resolved = resolved_globals()) return nb::borrow(resolved->math_nan);
    return math_attribute(name::nan.ptr());
}

bool CallGlobals::isnan_is_native() {
    if (!isnan_.is_valid()) {
        const ResolvedGlobals* resolved = resolved_globals();
        isnan_ = resolved ? nb::borrow(resolved->math_isnan) : math_attribute(name::isnan.ptr());
        isnan_native_ = isnan_.ptr() == state().math_isnan;
    }
    return isnan_native_;
}

bool CallGlobals::isnan(PyObject* value) {
    isnan_is_native();
    return float_test(isnan_, isnan_native_, value, [](double x) { return std::isnan(x); });
}

bool CallGlobals::isfinite(PyObject* value) {
    if (!isfinite_.is_valid()) {
        const ResolvedGlobals* resolved = resolved_globals();
        isfinite_ =
            resolved ? nb::borrow(resolved->math_isfinite) : math_attribute(name::isfinite.ptr());
        isfinite_native_ = isfinite_.ptr() == state().math_isfinite;
    }
    return float_test(isfinite_, isfinite_native_, value,
                      [](double x) { return std::isfinite(x); });
}

bool CallGlobals::fullmatch(PyObject* pattern, PyObject* text, bool (*native)(PyObject*)) {
    if (!fullmatch_.is_valid()) {
        if (const ResolvedGlobals* resolved = resolved_globals()) {
            fullmatch_ = nb::borrow(resolved->re_fullmatch);
        } else {
            nb::object re = module_global(name::re.ptr());
            fullmatch_ = checked(PyObject_GetAttr(re.ptr(), name::fullmatch.ptr()));
        }
        fullmatch_native_ = fullmatch_.ptr() == state().re_fullmatch;
    }
    if (fullmatch_native_ && PyUnicode_Check(text)) return native(text);
    PyObject* args[] = {pattern, text};
    nb::object match = checked(PyObject_Vectorcall(fullmatch_.ptr(), args, 2, nullptr));
    return core::truthy(match);
}

bool CallGlobals::number_is_native() {
    if (!number_.is_valid()) {
        const ResolvedGlobals* resolved = resolved_globals();
        number_ = resolved ? nb::borrow(resolved->number) : module_global(name::number.ptr());
        number_native_ = number_.ptr() == state().number;
    }
    return number_native_;
}

PyObject* CallGlobals::number(PyObject* value) {
    if (number_is_native()) return number_value(value, *this);
    return PyObject_CallOneArg(number_.ptr(), value);
}

bool CallGlobals::different(PyObject* old_value, PyObject* new_value) {
    if (!different_.is_valid()) {
        const ResolvedGlobals* resolved = resolved_globals();
        different_ =
            resolved ? nb::borrow(resolved->different) : module_global(name::different.ptr());
        different_native_ = different_.ptr() == state().different;
    }
    nb::object result;
    if (different_native_) {
        result = different_value(old_value, new_value, *this);
    } else {
        PyObject* args[] = {old_value, new_value};
        result = checked(PyObject_Vectorcall(different_.ptr(), args, 2, nullptr));
    }
    return core::truthy(result);
}

nb::object CallGlobals::table(bool quote, bool& as_built) {
    if (const ResolvedGlobals* resolved = resolved_globals()) {
        as_built = quote ? resolved->quote_fields_as_built : resolved->bar_fields_as_built;
        return nb::borrow(quote ? resolved->quote_fields : resolved->bar_fields);
    }
    nb::object table = module_global(quote ? name::quote_fields.ptr() : name::bar_fields.ptr());
    as_built = table_as_built(table.ptr(), quote);
    return table;
}

}  // namespace zqkit::data
