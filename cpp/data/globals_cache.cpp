#include "globals_cache.hpp"

#include "decode.hpp"
#include "names.hpp"
#include "state.hpp"

namespace zqkit::data {

#if PY_VERSION_HEX >= 0x030C0000

namespace {

ResolvedGlobals cache{};
bool cache_valid = false;
int watcher = -1;

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    cache_valid = false;
    return 0;
}

PyObject* lookup(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

// The dict an attribute read on `module` goes to, when `module` is a plain module.
PyObject* plain_module_dict(PyObject* module) {
    if (module == nullptr || !PyModule_CheckExact(module)) return nullptr;
    return PyModule_GetDict(module);
}

bool watch(PyObject* dict) {
    if (PyDict_Watch(watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

bool resolve() {
    PyObject* globals = state().globals;
    PyObject* math = plain_module_dict(lookup(globals, name::math.ptr()));
    PyObject* re = plain_module_dict(lookup(globals, name::re.ptr()));
    if (math == nullptr || re == nullptr) return false;
    ResolvedGlobals found{};
    found.math_nan = lookup(math, name::nan.ptr());
    found.math_isnan = lookup(math, name::isnan.ptr());
    found.math_isfinite = lookup(math, name::isfinite.ptr());
    found.re_fullmatch = lookup(re, name::fullmatch.ptr());
    found.number = lookup(globals, name::number.ptr());
    found.different = lookup(globals, name::different.ptr());
    found.bar_fields = lookup(globals, name::bar_fields.ptr());
    found.quote_fields = lookup(globals, name::quote_fields.ptr());
    for (PyObject* value :
         {found.math_nan, found.math_isnan, found.math_isfinite, found.re_fullmatch, found.number,
          found.different, found.bar_fields, found.quote_fields}) {
        if (value == nullptr) return false;
    }
    if (!watch(globals) || !watch(math) || !watch(re)) return false;
    for (PyObject* table : {found.bar_fields, found.quote_fields}) {
        if (PyDict_Check(table) && !watch(table)) return false;
    }
    found.bar_fields_as_built = table_as_built(found.bar_fields, false);
    found.quote_fields_as_built = table_as_built(found.quote_fields, true);
    cache = found;
    cache_valid = true;
    return true;
}

}  // namespace

const ResolvedGlobals* resolved_globals() {
    if (cache_valid) return &cache;
    if (watcher < 0) return nullptr;
    return resolve() ? &cache : nullptr;
}

void watch_globals() {
    watcher = PyDict_AddWatcher(forget);
    // Without a free watcher slot every call simply looks its names up.
    if (watcher < 0) PyErr_Clear();
}

#else

const ResolvedGlobals* resolved_globals() {
    return nullptr;
}

void watch_globals() {}

#endif

}  // namespace zqkit::data
