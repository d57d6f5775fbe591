// decode: one pushed market item, validated completely, to a new dict in the bar or quote layout.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

nb::object create_decode();

}  // namespace zqkit::data
