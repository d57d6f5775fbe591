// check_symbol, number and different: the field checks the whole package leans on.
#pragma once

#include <nanobind/nanobind.h>

#include "call_globals.hpp"

namespace zqkit::data {

namespace nb = nanobind;

// C++ bodies, for callers that already hold the call's globals. A rejection leaves its error
// pending and returns false or nullptr instead of throwing: it is an expected outcome on the
// market data path and must cost no more than the call itself.
bool check_symbol_value(PyObject* symbol, CallGlobals& globals);
// A new reference, or nullptr with the error set.
PyObject* number_value(PyObject* value, CallGlobals& globals);
nb::object different_value(PyObject* old_value, PyObject* new_value, CallGlobals& globals);

// The re.fullmatch patterns, tested in C++ while `re.fullmatch` is the standard one.
bool symbol_form_matches(PyObject* text);
bool trading_day_matches(PyObject* text);
PyObject* symbol_pattern();
PyObject* trading_day_pattern();

// The module-level callables.
nb::object create_check_symbol();
nb::object create_number();
nb::object create_different();

}  // namespace zqkit::data
