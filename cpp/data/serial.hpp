// Serial: one instrument's K-line series for one period, kept in a fixed-length DataFrame that the
// user reads directly and that update() changes in place.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

// A plain class (base object, no docstring, no slots) whose methods are C++.
nb::object create_serial();

}  // namespace zqkit::data
