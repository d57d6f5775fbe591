// TZ, timestamp and finite: CTP field values in the package's units.
#include "core/core.hpp"
#include "core/py_ops.hpp"
#include "core/python_class.hpp"
#include "trading/bindings.hpp"

namespace zqkit::trading {

namespace {

using core::module_global;

// CTP day "YYYYMMDD" and clock "HH:MM:SS", read in TZ, to Unix milliseconds; None when the
// values are missing or malformed.
nb::object timestamp(nb::handle globals, nb::handle day, nb::handle clock) {
    try {
        nb::object strptime = module_global(globals, "datetime").attr("strptime");
        nb::object text = nb::steal(PyNumber_Add(day.ptr(), clock.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        nb::object local = strptime(text, "%Y%m%d%H:%M:%S")
                               .attr("replace")(nb::arg("tzinfo") = module_global(globals, "TZ"));
        nb::object millis = local.attr("timestamp")() * nb::int_(1000);
        nb::object whole = nb::steal(PyNumber_Long(millis.ptr()));
        if (!whole.is_valid()) throw nb::python_error();
        return whole;
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_TypeError) || error.matches(PyExc_ValueError)) return nb::none();
        throw;
    }
}

// math.isfinite converts to double, which overflows for an int beyond the double range; such
// an int is far past the magnitude limit anyway.
bool is_finite(nb::handle globals, nb::handle value) {
    nb::object isfinite = module_global(globals, "math").attr("isfinite");
    PyObject* result = PyObject_CallOneArg(isfinite.ptr(), value.ptr());
    if (result == nullptr) {
        if (PyLong_Check(value.ptr()) && core::error_matches(PyExc_OverflowError)) {
            PyErr_Clear();
            return false;
        }
        throw nb::python_error();
    }
    return core::truthy(nb::steal(result));
}

bool below_limit(nb::handle value) {
    nb::object magnitude = nb::steal(PyNumber_Absolute(value.ptr()));
    if (!magnitude.is_valid()) throw nb::python_error();
    nb::object limit = nb::steal(PyFloat_FromDouble(1e100));
    int below = PyObject_RichCompareBool(magnitude.ptr(), limit.ptr(), Py_LT);
    if (below < 0) throw nb::python_error();
    return below != 0;
}

// The value itself (type kept, bool included) when it is a finite int or float below 1e100 in
// magnitude; None for everything else.
nb::object finite(nb::handle globals, nb::handle value) {
    bool numeric = PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
    if (numeric && is_finite(globals, value) && below_limit(value)) return nb::borrow(value);
    return nb::none();
}

}  // namespace

void bind_time_zone(nb::module_& m) {
    nb::object hours = m.attr("timedelta")(nb::arg("hours") = 8);
    m.attr("TZ") = m.attr("timezone")(hours);
}

void bind_field_conversions(nb::module_& m) {
    nb::object globals = globals_of(m);
    m.def(
        "timestamp",
        [globals](nb::handle day, nb::handle clock) { return timestamp(globals, day, clock); },
        nb::arg("day").none(), nb::arg("clock").none(),
        nb::sig("def timestamp(day: str, clock: str) -> int | None"));
    m.def(
        "finite", [globals](nb::handle value) { return finite(globals, value); },
        nb::arg("value").none(), nb::sig("def finite(value: object) -> int | float | None"));
}

}  // namespace zqkit::trading
