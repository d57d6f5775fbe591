// The module globals one call uses (`math`, `re`, `number`, `different`, the wire tables), each
// read on first use during that call: from the watched resolution while it holds, else from the
// module dict. When a global still is the object the module was built with, the C++ equivalent
// runs instead of a call through the interpreter.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

class CallGlobals {
  public:
    // math.nan
    nb::object nan();
    // bool(math.isnan(value)) and bool(math.isfinite(value))
    bool isnan(PyObject* value);
    // True while math.isnan is the standard one (isnan above then runs no Python code).
    bool isnan_is_native();
    bool isfinite(PyObject* value);
    // bool(re.fullmatch(pattern, text)); `native` is the C++ test of the same pattern.
    bool fullmatch(PyObject* pattern, PyObject* text, bool (*native)(PyObject*));
    // number(value): a new reference, or nullptr with the error set.
    PyObject* number(PyObject* value);
    // True while the module global `number` is the module's own function.
    bool number_is_native();
    // bool(different(old, new))
    bool different(PyObject* old_value, PyObject* new_value);
    // QUOTE_FIELDS or BAR_FIELDS; `as_built` tells whether it is the module's own table with the
    // entries it was built with.
    nb::object table(bool quote, bool& as_built);

  private:
    nb::handle math();
    nb::object math_attribute(PyObject* name);

    nb::object math_;
    nb::object isnan_;
    nb::object isfinite_;
    nb::object fullmatch_;
    nb::object number_;
    nb::object different_;
    bool isnan_native_ = false;
    bool isfinite_native_ = false;
    bool fullmatch_native_ = false;
    bool number_native_ = false;
    bool different_native_ = false;
};

}  // namespace zqkit::data
