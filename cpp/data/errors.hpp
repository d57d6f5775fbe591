// ZqError, the one exception class the package raises to its users.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

// Creates the class (a real subclass of Exception) and records it in the module state.
nb::object create_zq_error();

// Raises `ZqError(message)`, the class being the module global read now, as `raise` would.
[[noreturn]] void raise_zq_error(const char* message);

// As above, with `cause` as __cause__ and __context__ (`raise ZqError(message) from cause`).
[[noreturn]] void raise_zq_error_from(const char* message, nb::python_error& cause);

// `raise instance`: sets the pending error the way the interpreter's raise statement does.
[[noreturn]] void raise_instance(nb::handle instance);

}  // namespace zqkit::data
