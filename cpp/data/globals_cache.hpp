// What the module globals resolve to, kept between calls until something changes them.
//
// Every call must see the module globals as they are now (tests and users monkeypatch them), but
// looking each one up on every call costs as much as the work of a small call. From 3.12 the
// interpreter's dict watchers report every change to the module dict, to the dicts of the modules
// that `math` and `re` name, and to the two wire tables; the resolution below stays valid until
// one of them fires. On 3.11 nothing is kept and each call looks the names up itself.
#pragma once

#include <Python.h>

namespace zqkit::data {

struct ResolvedGlobals {
    PyObject* math_nan;
    PyObject* math_isnan;
    PyObject* math_isfinite;
    PyObject* re_fullmatch;
    PyObject* number;
    PyObject* different;
    PyObject* bar_fields;
    PyObject* quote_fields;
    // The wire tables still hold exactly the entries they were built with.
    bool bar_fields_as_built;
    bool quote_fields_as_built;
};

// The current resolution, or nullptr when there is none to be had (the caller then looks each
// name up). The pointers are borrowed: use them before any Python code can run again.
const ResolvedGlobals* resolved_globals();

// Called once at import, after the module's names are bound.
void watch_globals();

}  // namespace zqkit::data
