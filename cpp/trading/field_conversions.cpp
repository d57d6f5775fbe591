// TZ, timestamp and finite: CTP field values in the package's units.
#include <cmath>

#include "core/core.hpp"
#include "core/py_ops.hpp"
#include "core/python_class.hpp"
#include "trading/bindings.hpp"

namespace zqkit::trading {

namespace {

using core::module_global;

// The objects the fast paths stand in for, compared by identity with the module globals found
// at call time; kept for the life of the process.
PyObject* std_datetime = nullptr;  // datetime.datetime
PyObject* own_tz = nullptr;        // the TZ made at import
PyObject* std_math = nullptr;      // the math module and its isfinite
PyObject* std_isfinite = nullptr;

// Reads `count` ASCII digits; false when any character is not one.
bool read_digits(const char* text, int count, int& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool is_leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long days_from_civil(int year, int month, int day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// timestamp() for the canonical CTP forms, an exact str "YYYYMMDD" and an exact str "HH:MM:SS":
// with sixteen characters strptime's format has only one way to split them, so the checks
// below give exactly its verdict (None where it or datetime raise ValueError), and the
// arithmetic its value (whole seconds are exact in the float it multiplies). nullptr: not
// canonical, take the general path.
PyObject* canonical_timestamp(PyObject* day, PyObject* clock) {
    if (!PyUnicode_CheckExact(day) || !PyUnicode_CheckExact(clock)) return nullptr;
    Py_ssize_t day_size = 0, clock_size = 0;
    const char* d = PyUnicode_AsUTF8AndSize(day, &day_size);
    const char* c = PyUnicode_AsUTF8AndSize(clock, &clock_size);
    if (d == nullptr || c == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    int year, month, mday, hour, minute, second;
    if (day_size != 8 || clock_size != 8 || c[2] != ':' || c[5] != ':' ||
        !read_digits(d, 4, year) || !read_digits(d + 4, 2, month) || !read_digits(d + 6, 2, mday) ||
        !read_digits(c, 2, hour) || !read_digits(c + 3, 2, minute) ||
        !read_digits(c + 6, 2, second))
        return nullptr;
    bool valid = year >= 1 && month >= 1 && month <= 12 && mday >= 1 &&
                 mday <= days_in_month(year, month) && hour <= 23 && minute <= 59 && second <= 59;
    if (!valid) return Py_NewRef(Py_None);
    constexpr long long utc_offset = 8 * 3600;
    long long seconds = days_from_civil(year, month, mday) * 86400 + hour * 3600 + minute * 60 +
                        second - utc_offset;
    return PyLong_FromLongLong(seconds * 1000);
}

// CTP day "YYYYMMDD" and clock "HH:MM:SS", read in TZ, to Unix milliseconds; None when the
// values are missing or malformed.
nb::object timestamp(nb::handle globals, nb::handle day, nb::handle clock) {
    nb::object datetime = module_global(globals, "datetime");
    // TZ is looked at without raising: the general path reads it only after a successful parse.
    PyObject* tz = PyDict_GetItemString(globals.ptr(), "TZ");
    if (datetime.ptr() == std_datetime && tz == own_tz) {
        if (PyObject* fast = canonical_timestamp(day.ptr(), clock.ptr())) return nb::steal(fast);
    }
    try {
        nb::object strptime = datetime.attr("strptime");
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
    nb::object math = module_global(globals, "math");
    nb::object isfinite = math.attr("isfinite");
    if (math.ptr() == std_math && isfinite.ptr() == std_isfinite && PyFloat_CheckExact(value.ptr()))
        return std::isfinite(PyFloat_AS_DOUBLE(value.ptr()));
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
    nb::object tz = m.attr("timezone")(hours);
    m.attr("TZ") = tz;
    own_tz = tz.release().ptr();
}

void bind_field_conversions(nb::module_& m) {
    nb::object globals = globals_of(m);
    std_datetime = nb::object(m.attr("datetime")).release().ptr();
    std_math = nb::object(m.attr("math")).release().ptr();
    std_isfinite = nb::object(m.attr("math").attr("isfinite")).release().ptr();
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
