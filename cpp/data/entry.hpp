// The boundary between the interpreter and the C++ bodies: C++ exceptions become Python errors.
#pragma once

#include <nanobind/nanobind.h>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"

namespace zqkit::data {

namespace nb = nanobind;

// The C entry points of this module (PyCFunctions, slots) run their bodies through core::guarded.
using core::checked;
using core::checked_status;
using core::guarded;

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace zqkit::data
