// Small Python operations with the interpreter's semantics and errors.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace zqkit::transport {

namespace nb = nanobind;

// bool(value)
bool truthy(nb::handle value);

// len(value)
Py_ssize_t size_of(nb::handle value);

// item in container
bool contains(nb::handle container, nb::handle item);

// text.startswith(prefix), without a method call for an exact str
bool starts_with(nb::handle text, const char* prefix);

// isinstance(value, cls)
bool is_instance(nb::handle value, nb::handle cls);

// `a, b, ... = item` with exactly `count` targets, raising the interpreter's unpacking errors.
std::vector<nb::object> unpack(nb::handle item, size_t count);

}  // namespace zqkit::transport
