// Argument binding for the module's native callables, with the interpreter's own TypeError texts,
// so that a C++ function rejects a bad call exactly as the equivalent Python `def` would.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace zqkit::data {

struct Signature {
    // Name shown in messages: "decode" or a qualified method name such as "ZqError.__init__".
    const char* name;
    // Parameter names: positional-or-keyword ones first (`self` first for a method), then
    // keyword-only ones.
    std::initializer_list<const char*> parameters;
    // How many of `parameters` may be given by position.
    int positional;
    // How many leading positional parameters have no default (keyword-only ones all have one).
    int required;
};

// Binds a vectorcall argument list to `out` (one borrowed reference per parameter, nullptr for a
// parameter that was not passed). Returns false with a TypeError set on a bad call.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

}  // namespace zqkit::data
