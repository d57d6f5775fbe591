// Where the functions of zqkit.trading find their module at call time.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::trading {

namespace nb = nanobind;

// Remembers the module dict; its reference is kept for the life of the process on purpose,
// since functions of this module may still run while the interpreter finalises.
void set_module_dict(nb::handle dict);

// A module global read at call time (NameError when it was deleted), so that monkeypatching
// zqkit.trading.<name> reaches the code.
nb::object global(const char* name);
nb::object global(nb::handle name);

}  // namespace zqkit::trading
