#include "validation.hpp"

#include "arguments.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "native.hpp"
#include "state.hpp"

namespace zqkit::data {

namespace {

constexpr const char* kSymbolForm =
    "symbol 格式应为 交易所.合约，例如 SHFE.rb2610 或 DCE.a2611-C-3700";
constexpr Py_ssize_t kLongestSymbol = 14000;

bool is_ascii_alnum(Py_UCS4 c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

Py_ssize_t length_of(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_GET_LENGTH(text);
    const Py_ssize_t length = PyObject_Length(text);
    if (length < 0) throw nb::python_error();
    return length;
}

bool value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

PyObject* rejected(const char* message) {
    set_zq_error(message);
    return nullptr;
}

}  // namespace

PyObject* symbol_pattern() {
    static PyObject* pattern = core::intern("[A-Za-z0-9]+\\.[A-Za-z0-9-]+").ptr();
    return pattern;
}

PyObject* trading_day_pattern() {
    static PyObject* pattern = core::intern("[0-9]{8}").ptr();
    return pattern;
}

// The exchange part admits no dot and the contract part none either, so the pattern needs no
// backtracking: letters or digits, exactly one dot, then letters, digits or hyphens.
bool symbol_form_matches(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t i = 0;
    while (i < length && is_ascii_alnum(PyUnicode_READ(kind, data, i))) ++i;
    if (i == 0 || i == length || PyUnicode_READ(kind, data, i) != '.') return false;
    const Py_ssize_t contract = ++i;
    for (; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (!is_ascii_alnum(c) && c != '-') return false;
    }
    return i > contract;
}

bool trading_day_matches(PyObject* text) {
    if (PyUnicode_GET_LENGTH(text) != 8) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < 8; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool check_symbol_value(PyObject* symbol, CallGlobals& globals) {
    if (!PyUnicode_Check(symbol) ||
        !globals.fullmatch(symbol_pattern(), symbol, symbol_form_matches)) {
        return value_error(kSymbolForm);
    }
    if (length_of(symbol) > kLongestSymbol) return value_error("symbol 过长");
    return true;
}

// Flattened for the reason given at decode_item: it runs once per numeric wire field.
[[gnu::flatten]] PyObject* number_value(PyObject* value, CallGlobals& globals) {
    if (PyFloat_CheckExact(value)) {
        // The usual wire value: float(value) is value itself.
        if (!globals.isfinite(value)) return rejected("行情数值字段不能为 NaN 或无穷大");
        return Py_NewRef(value);
    }
    if (value == Py_None) return globals.nan().release().ptr();
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        return rejected("行情数值字段格式无效");
    }
    PyObject* converted = PyNumber_Float(value);
    if (converted == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyObject* overflow = take_error();
            set_zq_error_from("行情数值字段超出范围", overflow);
            Py_DECREF(overflow);
        }
        return nullptr;
    }
    nb::object result = nb::steal(converted);
    if (!globals.isfinite(result.ptr())) return rejected("行情数值字段不能为 NaN 或无穷大");
    return result.release().ptr();
}

nb::object different_value(PyObject* old_value, PyObject* new_value, CallGlobals& globals) {
    if (PyFloat_Check(old_value) && PyFloat_Check(new_value) && globals.isnan(old_value) &&
        globals.isnan(new_value)) {
        return nb::borrow(Py_False);
    }
    return checked(PyObject_RichCompare(old_value, new_value, Py_NE));
}

namespace {

const Signature kCheckSymbol{"check_symbol", {"symbol"}, 1, 1};
const Signature kNumber{"number", {"value"}, 1, 1};
const Signature kDifferent{"different", {"old", "new"}, 2, 2};

PyObject* check_symbol(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        if (!bind_arguments(kCheckSymbol, args, nargs, kwnames, bound)) throw nb::python_error();
        CallGlobals globals;
        if (!check_symbol_value(bound[0], globals)) return nb::object();
        return nb::object(nb::none());
    });
}

PyObject* number(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        if (!bind_arguments(kNumber, args, nargs, kwnames, bound)) throw nb::python_error();
        CallGlobals globals;
        return nb::steal(number_value(bound[0], globals));
    });
}

PyObject* different(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[2];
        if (!bind_arguments(kDifferent, args, nargs, kwnames, bound)) throw nb::python_error();
        CallGlobals globals;
        return different_value(bound[0], bound[1], globals);
    });
}

PyMethodDef check_symbol_def{"check_symbol", as_cfunction(check_symbol),
                             METH_FASTCALL | METH_KEYWORDS, "check_symbol(symbol)\n--\n\n"};
PyMethodDef number_def{"number", as_cfunction(number), METH_FASTCALL | METH_KEYWORDS,
                       "number(value)\n--\n\n"};
PyMethodDef different_def{"different", as_cfunction(different), METH_FASTCALL | METH_KEYWORDS,
                          "different(old, new)\n--\n\n"};

}  // namespace

nb::object create_check_symbol() {
    nb::object function = native_function(&check_symbol_def);
    state().check_symbol = function.inc_ref().ptr();
    return function;
}

nb::object create_number() {
    nb::object function = native_function(&number_def);
    state().number = function.inc_ref().ptr();
    return function;
}

nb::object create_different() {
    nb::object function = native_function(&different_def);
    state().different = function.inc_ref().ptr();
    return function;
}

}  // namespace zqkit::data
