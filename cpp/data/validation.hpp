// check_symbol, number and different: the field checks the whole package leans on.
#pragma once

#include <nanobind/nanobind.h>

#include "call_globals.hpp"

namespace zqkit::data {

namespace nb = nanobind;

// C++ bodies, for callers that already hold the call's globals.
void check_symbol_value(PyObject* symbol, CallGlobals& globals);
nb::object number_value(PyObject* value, CallGlobals& globals);
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
