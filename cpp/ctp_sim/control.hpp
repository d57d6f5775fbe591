// Module functions that set up simulated fronts and inject faults, for tests and the demo.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::ctp {

void register_control(nanobind::module_& module);

}  // namespace zqkit::ctp
