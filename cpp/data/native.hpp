// Native callables as the interpreter sees them: module-level builtins, and methods that bind like
// Python functions (the instance arrives as the first argument).
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

// A builtin function whose __module__ is "zqkit.data".
nb::object native_function(PyMethodDef* definition);

// A method for a class body: bound on attribute access, receives `self` as its first argument.
// (Used instead of a method descriptor so that inspect.signature works on the class in every
// supported interpreter version.)
nb::object native_method(PyMethodDef* definition);

}  // namespace zqkit::data
