// `Transport`: a plain Python class whose methods are the C++ functions of this module.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

void bind_transport(nb::module_& m);

}  // namespace zqkit::transport
