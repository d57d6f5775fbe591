// Objects the module keeps for its whole life: its globals dict, its own callables (for the
// identity checks of the fast paths) and interned key strings.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

struct State {
    // The module dict; functions read `math`, `re`, `pd` and their sister functions from it at
    // call time so that monkeypatching the module reaches them.
    PyObject* globals = nullptr;
    // The class created here; `super()` inside its initialiser refers to it, not to whatever the
    // module global `ZqError` names later.
    PyObject* zq_error = nullptr;
    PyObject* quote = nullptr;
    PyObject* serial = nullptr;
    // Our own module-level callables, compared by identity with the globals found at call time.
    PyObject* check_symbol = nullptr;
    PyObject* number = nullptr;
    PyObject* decode = nullptr;
    PyObject* different = nullptr;
    // The standard library callables the C++ paths stand in for.
    PyObject* math_isnan = nullptr;
    PyObject* math_isfinite = nullptr;
    PyObject* re_fullmatch = nullptr;
    // numpy scalar types, which a DataFrame cell read returns and to_dict() boxes to Python ones.
    PyObject* numpy_floating = nullptr;
    PyObject* numpy_integer = nullptr;
    PyObject* numpy_bool = nullptr;
};

// Every reference held here is deliberately leaked: the module is never unloaded, and objects
// destroyed after interpreter finalisation would crash at exit.
State& state();

// The module global `name`, read now; NameError as the interpreter words it when absent.
nb::object module_global(PyObject* name);

// True when the module global `name` is still `original` (the fast path may be taken).
bool global_is(PyObject* name, PyObject* original, nb::object& found);

}  // namespace zqkit::data
