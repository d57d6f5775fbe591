// Shared helpers for every zqkit extension module.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::core {

namespace nb = nanobind;

// Reads a module global at call time, so that monkeypatching the module reaches us.
nb::object module_global(nb::handle module_dict, const char* name);
// The same for a name already held as a str (interned names of hot paths).
nb::object module_global(nb::handle module_dict, nb::handle name);

}  // namespace zqkit::core
