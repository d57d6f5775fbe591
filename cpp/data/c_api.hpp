// What zqkit.data lends the package's other extension modules: C entry points to its own
// function bodies, so that a caller holding the very function object a module global names can
// skip the call through the interpreter. Handed over in a capsule, the module attribute
// `__c_api__` (a dunder, so that the module's public names stay as documented).
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

struct CApi {
    // The module's own `different`; a caller compares the global it found with it by identity.
    PyObject* different;
    // bool(different(old, new)) as that function answers it, its module globals read now: 1 or
    // 0, or -1 with the error set. Clears `*quiet` when the answer may have run Python code (a
    // replaced math.isnan, an operand's own comparison); leaves it alone otherwise.
    int (*different_test)(PyObject* old_value, PyObject* new_value, int* quiet);
};

inline constexpr const char* c_api_attribute = "__c_api__";
// The capsule's name, also the dotted path PyCapsule_Import takes.
inline constexpr const char* c_api_capsule = "zqkit.data.__c_api__";

// zqkit.data's side: the capsule, made at import once `different` exists.
nanobind::object create_c_api();

}  // namespace zqkit::data
