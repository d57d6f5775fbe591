// ZqError, the one exception class the package raises to its users.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

// Creates the class (a real subclass of Exception) and records it in the module state.
nb::object create_zq_error();

// Raises `ZqError(message)`, the class being the module global read now, as `raise` would.
[[noreturn]] void raise_zq_error(const char* message);

// The same error left pending without a C++ exception, for rejections on paths where unwinding
// would cost more than the whole call. The caller then returns nullptr (or an empty object) to
// the interpreter.
void set_zq_error(const char* message);

// As set_zq_error, with `cause` (borrowed) as __cause__ and __context__, as
// `raise ZqError(message) from cause` inside `except ... as cause` leaves them.
void set_zq_error_from(const char* message, PyObject* cause);

// The pending exception as a new reference, the error indicator cleared.
PyObject* take_error();

// `raise instance`: sets the pending error the way the interpreter's raise statement does.
[[noreturn]] void raise_instance(nb::handle instance);

}  // namespace zqkit::data
