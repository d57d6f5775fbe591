// Building real Python classes from C++: the class statement's metaclass call, methods that
// bind like `def` methods, and `raise ... from ...` inside an `except` block.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "core/py_errors.hpp"

namespace zqkit::core {

namespace nb = nanobind;

// Calls the metaclass of `bases` (type, ABCMeta …) with (name, bases, namespace), as a class
// statement in `module` would, after filling in __module__ and __qualname__.
nb::object make_class(nb::handle module, const char* name, nb::tuple bases, nb::dict ns);

// Installs a C++ callable as a method of a Python class; the first parameter receives `self`.
template <typename F, typename... Extra>
void add_method(nb::handle cls, const char* name, F&& body, const Extra&... extra) {
    nb::cpp_function_def(std::forward<F>(body), nb::scope(cls), nb::name(name), nb::is_method(),
                         extra...);
}

// `raise exc from cause` inside `except` of `cause`: `cause` also becomes the context, with the
// exception handled by our caller (if any) chained behind it as usual. Always throws.
[[noreturn]] void raise_from_handled(nb::handle exc, nb::handle cause);

// True when the pending Python error is an instance of `type`.
bool error_matches(nb::handle type);

}  // namespace zqkit::core
